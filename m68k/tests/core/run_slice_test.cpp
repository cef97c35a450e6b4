// run_slice against the frame scheduler's loop around step: same state, bus traffic, counts.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "core/exceptions.hpp"
#include "m68k/cpu.hpp"
#include "support/step_loop.hpp"
#include "support/test_bus.hpp"

namespace m68k {
namespace {

constexpr uint32_t kCode = 0x1000;
constexpr uint32_t kHandler = 0x3000;

struct Program {
    const char* name;
    std::vector<uint16_t> code;
    uint16_t sr;
    uint32_t pending_level;
    uint32_t a0;
    uint32_t a1;
};

struct Machine {
    Cpu cpu;
    test::TestBus bus;
};

void load(Machine& m, CpuType type, const Program& p) {
    m.cpu.set_cpu_type(type);
    m.cpu.reset();
    m.cpu.set_sr(0x2700);
    m.cpu.addr_regs[7] = 0x8000;
    m.cpu.sp_bank[kUspSlot] = 0x7000;
    m.cpu.set_sr(p.sr);
    m.cpu.pc = kCode;
    m.cpu.prefetch_count = 0;
    m.cpu.addr_regs[0] = p.a0;
    m.cpu.addr_regs[1] = p.a1;
    m.cpu.pending_level = p.pending_level;
    for (uint32_t v = 0; v < 256; ++v) m.bus.poke_long(4 * v, kHandler);
    // Every handler: count in D6 and loop.
    m.bus.poke_word(kHandler, 0x5286);      // ADDQ.L #1,D6
    m.bus.poke_word(kHandler + 2, 0x60FC);  // BRA.S kHandler
    uint32_t a = kCode;
    for (uint16_t w : p.code) {
        m.bus.poke_word(a, w);
        a += 2;
    }
    m.bus.events.clear();
}

// One scheduler slice: the loop, then the exception of a status it hands back.
template <typename Loop>
StepResult slice(Machine& m, int32_t budget, uint64_t& steps, Loop loop) {
    m.cpu.slice_len = budget;
    m.cpu.slice_budget = budget;
    const StepResult r = loop(m.cpu, m.bus, steps);
    const StepStatus s = r.status();
    if (s != StepStatus::Ok && s != StepStatus::Stopped) {
        uint32_t vector = 4;
        if (s == StepStatus::LineA) vector = 10;
        if (s == StepStatus::LineF) vector = 11;
        if (s == StepStatus::Trap) vector = 32 + (r.number() & 0xF);
        if (s != StepStatus::Trap) m.cpu.pc = m.cpu.ppc;
        take_exception(m.cpu, m.bus, vector);
    }
    return r;
}

void expect_same_state(const Cpu& x, const Cpu& y) {
    EXPECT_EQ(x.data_regs, y.data_regs);
    EXPECT_EQ(x.addr_regs, y.addr_regs);
    EXPECT_EQ(x.sp_bank, y.sp_bank);
    EXPECT_EQ(x.pc, y.pc);
    EXPECT_EQ(x.ppc, y.ppc);
    EXPECT_EQ(x.ir, y.ir);
    EXPECT_EQ(x.get_sr(), y.get_sr());
    EXPECT_EQ(static_cast<uint16_t>(x.sr_at_start), static_cast<uint16_t>(y.sr_at_start));
    EXPECT_EQ(x.insn_snapshot, y.insn_snapshot);
    EXPECT_EQ(x.stopped, y.stopped);
    EXPECT_EQ(x.aborted, y.aborted);
    EXPECT_EQ(x.pending_level, y.pending_level);
    EXPECT_EQ(x.slice_budget, y.slice_budget);
    EXPECT_EQ(x.vector_this_step, y.vector_this_step);
    EXPECT_EQ(x.prefetch_count, y.prefetch_count);
    EXPECT_EQ(x.prefetch_queue, y.prefetch_queue);
    EXPECT_EQ(x.flow_changed, y.flow_changed);
}

TEST(RunSlice, MatchesTheStepLoop) {
    const Program programs[] = {
        // MOVEQ #5,D0; loop: ADDQ.L #1,D1; DBF D0,loop; STOP #$2700; NOP
        {"loop then stop", {0x7005, 0x5281, 0x51C8, 0xFFFC, 0x4E72, 0x2700, 0x4E71}, 0x2700, 0, 0x4000, 0x5000},
        // MOVEQ #1,D0; TRAP #3; NOP
        {"trap", {0x7001, 0x4E43, 0x4E71}, 0x2700, 0, 0x4000, 0x5000},
        // MOVEQ #1,D0; ILLEGAL
        {"illegal", {0x7001, 0x4AFC}, 0x2700, 0, 0x4000, 0x5000},
        // ADDQ.L #1,D1; line A; line F
        {"line a and f", {0x5281, 0xA000, 0xF000}, 0x2700, 0, 0x4000, 0x5000},
        // loop: ADDQ.L #1,D1; BRA.S loop, with a level-5 interrupt pending under mask 0
        {"interrupt pending", {0x5281, 0x60FC}, 0x2000, 5, 0x4000, 0x5000},
        // the same, the interrupt masked
        {"interrupt masked", {0x5281, 0x60FC}, 0x2700, 5, 0x4000, 0x5000},
        // traced: ADDQ.L #1,D1; MOVE.L D1,(A0)+; BRA.S
        {"trace", {0x5281, 0x20C1, 0x60FA}, 0xA700, 0, 0x4000, 0x5000},
        // MOVE.L (A0)+,(A1)+ with A1 odd: the address error rolls A0 back
        {"odd write", {0x7003, 0x22D8, 0x4E71}, 0x2700, 0, 0x4000, 0x5001},
        // STOP with a user-mode SR: privilege violation at the STOP
        {"stop to user", {0x4E72, 0x0000, 0x4E71}, 0x2700, 0, 0x4000, 0x5000},
        // a user-mode program meeting a privileged instruction (MOVE to SR)
        {"privileged", {0x5281, 0x46C1, 0x4E71}, 0x0000, 0, 0x4000, 0x5000},
    };
    const CpuType types[] = {CpuType::Scc68070, CpuType::M68000, CpuType::M68020, CpuType::M68030};
    const int32_t budgets[] = {1, 7, 40, 400};
    for (const CpuType type : types) {
        for (const Program& p : programs) {
            for (const int32_t budget : budgets) {
                SCOPED_TRACE(testing::Message() << p.name << " type " << static_cast<int>(type) << " budget "
                                                << budget);
                Machine want;
                Machine got;
                load(want, type, p);
                load(got, type, p);
                uint64_t want_steps = 0;
                uint64_t got_steps = 0;
                for (int n = 0; n < 6; ++n) {
                    const StepResult w = slice(want, budget, want_steps, step_loop);
                    const StepResult g = slice(got, budget, got_steps, run_slice);
                    ASSERT_EQ(w, g) << "slice " << n;
                    ASSERT_EQ(want_steps, got_steps) << "slice " << n;
                }
                expect_same_state(want.cpu, got.cpu);
                EXPECT_EQ(want.bus.events, got.bus.events);
            }
        }
    }
}

// Register-only instructions before a faulting one: the fault rolls back to the faulting
// instruction's own start, not to an older one.
TEST(RunSlice, FaultRollsBackToTheFaultingInstructionsStart) {
    // MOVEQ #-1,D0 (sets N); ADDQ.L #1,A0 (A0 odd); MOVE.L (A0)+,D1 faults at the odd address.
    const Program p{"fault", {0x70FF, 0x5288, 0x2218, 0x4E71}, 0x2700, 0, 0x4000, 0x5000};
    for (const CpuType type : {CpuType::Scc68070, CpuType::M68010}) {
        SCOPED_TRACE(static_cast<int>(type));
        Machine m;
        load(m, type, p);
        for (int i = 0; i < 3; ++i) ASSERT_EQ(step(m.cpu, m.bus).status(), StepStatus::Ok);
        EXPECT_EQ(m.cpu.pc, kHandler);
        EXPECT_EQ(m.cpu.data_regs[0], 0xFFFFFFFFu);
        EXPECT_EQ(m.cpu.addr_regs[0], 0x4001u) << "(A0)+ undone, ADDQ kept";
        const uint32_t sp = m.cpu.addr_regs[7];
        EXPECT_EQ(m.bus.peek_word(sp), 0x2708) << "the stacked SR keeps the N of MOVEQ";
        EXPECT_EQ(m.bus.peek_long(sp + 2), kCode + 4) << "the faulting instruction";
    }
}

TEST(RunSlice, StoppedOrSpentBudgetRunsNothing) {
    Machine m;
    load(m, CpuType::Scc68070, {"nop", {0x4E71}, 0x2700, 0, 0x4000, 0x5000});
    uint64_t steps = 5;
    m.cpu.stopped = 1;
    m.cpu.slice_budget = 10;
    EXPECT_EQ(run_slice(m.cpu, m.bus, steps), StepResult::stopped_result());
    m.cpu.slice_budget = 0;
    EXPECT_EQ(run_slice(m.cpu, m.bus, steps), StepResult::ok(0)) << "the budget is tested first";
    EXPECT_EQ(steps, 5u) << "steps is added to, not reset";
    EXPECT_EQ(m.cpu.pc, kCode);
    EXPECT_TRUE(m.bus.events.empty());
}

}  // namespace
}  // namespace m68k
