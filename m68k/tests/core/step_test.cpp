// Step results, per-type cycle conversion and the statuses the frame scheduler acts on.
#include <gtest/gtest.h>

#include "core/decode.hpp"
#include "core/handler.hpp"
#include "core/timing.hpp"
#include "m68k/cpu.hpp"
#include "support/test_bus.hpp"

namespace m68k {
namespace {

constexpr uint32_t kCodeBase = 0x1000;

struct StatusCase {
    uint16_t opcode;
    StepStatus status;
    uint8_t number;
    uint16_t payload_opcode;
    uint32_t cycles;  // Ok only
};

TEST(Step, StatusesOnScc68070) {
    const StatusCase cases[] = {
        {0x4AFC, StepStatus::Illegal, 0, 0x4AFC, 0},
        {0xA123, StepStatus::LineA, 0, 0xA123, 0},
        {0xF200, StepStatus::LineF, 0, 0xF200, 0},
        {0x4E4F, StepStatus::Trap, 15, 0, 0},
        {0x484F, StepStatus::Breakpoint, 7, 0, 0},
        {0x50FC, StepStatus::Illegal, 0, 0x50FC, 0},  // TRAPT: 68020 class only
        {0x49C0, StepStatus::Illegal, 0, 0x49C0, 0},  // EXTB.L: 68020 class only
        {0x7100, StepStatus::Illegal, 0, 0x7100, 0},  // MOVEQ with bit 8 set
        {0x4E71, StepStatus::Ok, 0, 0, 3},            // NOP: 4 scaled
    };
    for (const auto& c : cases) {
        Cpu cpu;
        cpu.set_cpu_type(CpuType::Scc68070);
        test::TestBus bus;
        bus.poke_word(kCodeBase, c.opcode);
        cpu.pc = kCodeBase;
        const StepResult r = step(cpu, bus);
        SCOPED_TRACE(testing::Message() << std::hex << c.opcode);
        EXPECT_EQ(r.status(), c.status);
        EXPECT_EQ(r.number(), c.number);
        EXPECT_EQ(r.opcode(), c.payload_opcode);
        if (c.status == StepStatus::Ok) {
            EXPECT_EQ(r.cycles(), c.cycles);
        }
        EXPECT_EQ(cpu.pc, kCodeBase + 2) << "PC is past the opcode word";
        EXPECT_EQ(cpu.ppc, kCodeBase);
    }
}

TEST(Step, ResultLayout) {
    const StepResult r = StepResult::make(StepStatus::Trap, 0x0F, 0xBEEF, 0x12345678);
    EXPECT_EQ(r.raw, 0x12345678BEEF0F03ull);
    EXPECT_EQ(r.status(), StepStatus::Trap);
    EXPECT_EQ(r.number(), 0x0F);
    EXPECT_EQ(r.opcode(), 0xBEEF);
    EXPECT_EQ(r.cycles(), 0x12345678u);
    EXPECT_EQ(StepResult::ok(83).raw, 83ull << 32);
    EXPECT_EQ(StepResult::stopped_result().raw, 6u);
}

TEST(Step, Scc68070CycleConversion) {
    const std::pair<int32_t, int32_t> cases[] = {{0, 2}, {1, 2}, {4, 3}, {8, 5}, {10, 7}, {12, 8}, {34, 22}, {132, 83}};
    for (auto [in, out] : cases) EXPECT_EQ(scc68070_cycles(in), out) << in;
}

}  // namespace
}  // namespace m68k
