// Step results, per-type cycle conversion and the statuses the frame scheduler acts on.
#include <gtest/gtest.h>

#include "core/decode.hpp"
#include "core/handler.hpp"
#include "core/timing.hpp"
#include "m68k/cpu.hpp"
#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "support/custom_table.hpp"
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

// The M68060 traps MOVEP as an unimplemented integer instruction, at the instruction.
TEST(Step, M68060MovepTakesVector61) {
    Cpu cpu;
    cpu.set_cpu_type(CpuType::M68060);
    test::TestBus bus;
    bus.poke_long(61 * 4, 0x5000);
    bus.poke_word(kCodeBase, 0x0108);
    cpu.pc = kCodeBase;
    cpu.addr_regs[7] = 0x8000;
    const StepResult r = step(cpu, bus);
    EXPECT_EQ(r.status(), StepStatus::Ok);
    EXPECT_EQ(cpu.pc, 0x5000u);
    EXPECT_EQ(bus.peek_long(0x8000 - 6), kCodeBase);
    EXPECT_EQ(bus.peek_word(0x8000 - 2), 61 * 4);
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

int32_t g_routine_cycles = 0;
int32_t fixed_cycles(Cpu&, CpuBus&, uint16_t) { return g_routine_cycles; }

// A routine that takes the privilege violation inside the step.
int32_t privileged(Cpu& cpu, CpuBus& bus, uint16_t) { return take_exception(cpu, bus, kVectorPrivilege); }

// A routine whose data read faults and which then returns the count of its longest form.
int32_t faulting_read(Cpu& cpu, CpuBus& bus, uint16_t) {
    read_data_word(cpu, bus, 0x2001);
    return 50;
}

struct Rig {
    explicit Rig(CpuType type, Handler routine = fixed_cycles) : table(routine) {
        cpu.set_cpu_type(type);
        table.install(cpu);
        cpu.pc = kCodeBase;
        cpu.addr_regs[7] = 0x8000;
        for (uint32_t v = 0; v < 256; ++v) bus.poke_long(4 * v, 0x3000 + 0x10 * v);
    }
    test::CustomTable table;
    Cpu cpu;
    test::TestBus bus;
};

TEST(Step, CycleConversionPerType) {
    struct Case {
        CpuType type;
        int32_t routine;
        uint32_t step;
    };
    const Case cases[] = {
        {CpuType::M68000, 4, 4},     {CpuType::M68010, 132, 132}, {CpuType::Scc68070, 0, 2},
        {CpuType::Scc68070, 1, 2},   {CpuType::Scc68070, 4, 3},   {CpuType::Scc68070, 10, 7},
        {CpuType::Scc68070, 132, 83},
    };
    for (const auto& c : cases) {
        Rig r(c.type);
        g_routine_cycles = c.routine;
        EXPECT_EQ(step(r.cpu, r.bus), StepResult::ok(c.step)) << static_cast<int>(c.type) << " " << c.routine;
    }
}

TEST(Step, InStepExceptionIsScaledOnScc68070) {
    Rig r(CpuType::Scc68070, privileged);
    EXPECT_EQ(step(r.cpu, r.bus), StepResult::ok(22));
    EXPECT_EQ(r.cpu.pc, 0x3000u + 0x80);
    EXPECT_EQ(r.bus.peek_long(0x8000 - 6), kCodeBase) << "the instruction's address";
}

TEST(Step, FaultedInstructionKeepsItsCountAndSkipsTheRest) {
    Rig r(CpuType::Scc68070, faulting_read);
    r.cpu.set_sr_flags(0xA700);  // traced: the fault still ends the step
    r.cpu.pending_level = 7;
    EXPECT_EQ(step(r.cpu, r.bus), StepResult::ok(32));  // 50 scaled
    EXPECT_EQ(r.cpu.pc, 0x3000u + 0x30);
    EXPECT_EQ(r.cpu.pending_level, 7u) << "no interrupt check after a fault";
    EXPECT_EQ(r.cpu.aborted, 0u);
}

TEST(Step, StoppedStates) {
    // Stopped in supervisor mode: nothing happens, even with an interrupt pending.
    Rig sup(CpuType::Scc68070);
    sup.cpu.stopped = 1;
    sup.cpu.pending_level = 7;
    EXPECT_EQ(step(sup.cpu, sup.bus), StepResult::stopped_result());
    EXPECT_EQ(sup.cpu.pending_level, 7u);
    EXPECT_EQ(sup.cpu.pc, kCodeBase);

    // A STOP that loaded a user SR: privilege violation at the STOP, unconverted cycles + 4.
    Rig user(CpuType::Scc68070);
    user.cpu.pc = kCodeBase + 4;
    user.cpu.sp_bank[kIspSlot] = 0x8000;
    user.cpu.stop_with_sr(0x0000);
    EXPECT_EQ(step(user.cpu, user.bus), StepResult::ok(34 + 4));
    EXPECT_EQ(user.cpu.stopped, 0u);
    EXPECT_EQ(user.bus.peek_long(0x8000 - 6), kCodeBase) << "stacked PC is the STOP";
}

TEST(Step, TraceAfterTheInstructionAndNoInterrupt) {
    Rig r(CpuType::M68000);
    g_routine_cycles = 4;
    r.cpu.set_sr_flags(0xA000);
    r.cpu.pending_level = 7;
    EXPECT_EQ(step(r.cpu, r.bus), StepResult::ok(4 + 34));
    EXPECT_EQ(r.cpu.pc, 0x3000u + 0x90);
    EXPECT_EQ(r.bus.peek_long(0x8000 - 4), kCodeBase + 2) << "the next instruction";
    EXPECT_EQ(r.bus.peek_word(0x8000 - 6), 0xA000);
    EXPECT_EQ(r.cpu.pending_level, 7u);
}

// The trace frame faults on the odd supervisor stack, and so would the address error's own
// frame: a double fault, which halts.
TEST(Step, TraceFrameOnAnOddStackHalts) {
    Rig r(CpuType::Scc68070);
    g_routine_cycles = 4;
    r.cpu.sp_bank[kUspSlot] = 0x6000;
    r.cpu.set_sr(0x8000);  // user mode, traced
    r.cpu.sp_bank[kIspSlot] = 0x7001;
    step(r.cpu, r.bus);
    EXPECT_EQ(r.cpu.stopped, 1u);
    EXPECT_EQ(step(r.cpu, r.bus).status(), StepStatus::Stopped);
}

TEST(Step, InterruptCheckAfterTheInstruction) {
    Rig r(CpuType::Scc68070);
    g_routine_cycles = 4;
    r.cpu.set_sr_flags(0x2000);
    r.cpu.pending_level = 3;
    r.bus.vector_for_ack = 27;
    r.cpu.slice_budget = 10;
    EXPECT_EQ(step(r.cpu, r.bus), StepResult::ok(3)) << "the entry's cost is not in the step's cycles";
    EXPECT_EQ(r.cpu.slice_budget, 10 - 44);
    EXPECT_EQ(r.cpu.pc, 0x3000u + 0x10 * 27);
    EXPECT_EQ(r.bus.peek_long(0x8000 - 6), kCodeBase + 2);
}

}  // namespace
}  // namespace m68k
