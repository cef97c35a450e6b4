// Exception entry, address-error frames and roll-back, interrupts, and the two halting rules.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "core/handler.hpp"
#include "m68k/cpu.hpp"
#include "support/custom_table.hpp"
#include "support/test_bus.hpp"

namespace m68k {
namespace {

using test::Access;
using test::BusEvent;

constexpr uint32_t kCode = 0x1000;
constexpr uint32_t kStack = 0x8000;
constexpr uint32_t kHandler = 0x3000;

struct Rig {
    explicit Rig(CpuType type) {
        cpu.set_cpu_type(type);
        cpu.addr_regs[7] = kStack;
        cpu.pc = kCode;
        for (uint32_t v = 0; v < 256; ++v) bus.poke_long(4 * v, kHandler + 0x10 * v);
    }
    Cpu cpu;
    test::TestBus bus;
};

// MOVE.W (A0)+,D0 as the routine: the read of an odd A0 faults.
int32_t move_w_postinc_a0_to_d0(Cpu& cpu, CpuBus& bus, uint16_t) {
    const uint32_t v = read_ea(cpu, bus, static_cast<uint8_t>(EaKind::PostInc), 0, kSizeWord);
    cpu.data_regs[0] = (cpu.data_regs[0] & 0xFFFF0000) | v;
    cpu.flag_not_z = v;
    return 8;
}

TEST(Exceptions, FrontendTakenFrames) {
    struct Case {
        CpuType type;
        uint32_t vector;
        bool next_pc;  // stacked PC after the instruction
        uint32_t frame_size;
        uint16_t format_word;  // 0 for the 68000's short frame
        int32_t cycles;
    };
    const Case cases[] = {
        {CpuType::Scc68070, 35, true, 8, 0x008C, 34},  // TRAP #3
        {CpuType::Scc68070, 4, false, 8, 0x0010, 34},  // illegal
        {CpuType::M68000, 10, false, 6, 0, 34},        // line A
        {CpuType::M68010, 11, false, 8, 0x002C, 34},   // line F
        {CpuType::M68020, 8, false, 8, 0x0020, 34},    // privilege violation
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.vector);
        Rig r(c.type);
        r.cpu.ppc = kCode;
        r.cpu.pc = kCode + 2;
        r.cpu.set_sr(0x8015);  // user mode, traced: the entry clears T
        r.cpu.sp_bank[kIspSlot] = kStack;
        r.cpu.addr_regs[7] = 0x6000;
        EXPECT_EQ(take_exception(r.cpu, r.bus, c.vector), c.cycles);
        const uint32_t sp = r.cpu.addr_regs[7];
        EXPECT_EQ(sp, kStack - c.frame_size);
        EXPECT_EQ(r.bus.peek_word(sp), c.type == CpuType::Scc68070 || c.type == CpuType::M68000 ? 0x8015 & 0xA71F : 0x8015);
        EXPECT_EQ(r.bus.peek_long(sp + 2), c.next_pc ? kCode + 2 : kCode);
        if (c.format_word) {
            EXPECT_EQ(r.bus.peek_word(sp + 6), c.format_word);
        }
        EXPECT_EQ(r.cpu.get_sr() & 0xE000, 0x2000) << "supervisor, trace off";
        EXPECT_EQ(r.cpu.sp_bank[kUspSlot], 0x6000u);
        EXPECT_EQ(r.cpu.pc, kHandler + 0x10 * c.vector);
        EXPECT_FALSE(r.cpu.in_exception);
    }
}

TEST(Exceptions, Format2ReportsNextInstruction) {
    struct Case {
        CpuType type;
        uint32_t frame_size;
        uint16_t format_word;
    };
    const Case cases[] = {
        {CpuType::Scc68070, 8, 0x0014},
        {CpuType::M68020, 12, 0x2014},
        {CpuType::M68000, 6, 0},
    };
    for (const auto& c : cases) {
        Rig r(c.type);
        r.cpu.ppc = kCode;
        r.cpu.pc = kCode + 4;
        EXPECT_EQ(take_exception_format2(r.cpu, r.bus, kVectorZeroDivide), 38);
        const uint32_t sp = r.cpu.addr_regs[7];
        EXPECT_EQ(sp, kStack - c.frame_size);
        EXPECT_EQ(r.bus.peek_long(sp + 2), kCode + 4);
        if (c.format_word) {
            EXPECT_EQ(r.bus.peek_word(sp + 6), c.format_word);
        }
        if (c.frame_size == 12) {
            EXPECT_EQ(r.bus.peek_long(sp + 8), kCode) << "the instruction's address";
        }
    }
}

TEST(Exceptions, CycleTable) {
    const std::pair<uint32_t, int32_t> cases[] = {{0, 40}, {2, 50}, {3, 50}, {4, 34}, {5, 38}, {6, 40},
                                                  {8, 34}, {24, 44}, {31, 44}, {32, 34}, {61, 34}};
    for (auto [v, c] : cases) EXPECT_EQ(exception_cycles(v), c) << v;
}

// MOVE.W (A0)+,D0 with A0 odd on the SCC68070: no bus access at A0, A0 rolled back, a 58-byte
// Format8 frame whose reserved words keep what the stack held, then the vector-3 handler.
TEST(Exceptions, AddressErrorFrameScc68070) {
    Rig r(CpuType::Scc68070);
    test::CustomTable table(move_w_postinc_a0_to_d0);
    table.install(r.cpu);
    for (uint32_t a = kStack - 64; a < kStack; a += 2) r.bus.poke_word(a, 0xA5A5);
    r.bus.poke_word(kCode, 0x3018);
    r.cpu.addr_regs[0] = 0x2001;
    r.cpu.data_regs[0] = 0x11112222;
    r.bus.events.clear();
    const StepResult res = step(r.cpu, r.bus);
    EXPECT_EQ(res.status(), StepStatus::Ok);
    EXPECT_EQ(res.cycles(), 5u) << "the routine's 8, scaled";
    for (const auto& e : r.bus.events) EXPECT_NE(e.address, 0x2000u & ~1u) << "no access at A0";
    EXPECT_EQ(r.cpu.addr_regs[0], 0x2001u) << "rolled back";
    EXPECT_EQ(r.cpu.data_regs[0], 0x11112222u);
    const uint32_t sp = kStack - 58;
    EXPECT_EQ(r.cpu.addr_regs[7], sp);
    EXPECT_EQ(r.bus.peek_word(sp), 0x2700);
    EXPECT_EQ(r.bus.peek_long(sp + 2), kCode);
    EXPECT_EQ(r.bus.peek_word(sp + 6), 0x800C);
    for (uint32_t off : {8u, 10u, 12u, 16u, 20u, 24u}) EXPECT_EQ(r.bus.peek_word(sp + off), 0) << off;
    for (uint32_t off : {14u, 18u, 22u, 26u, 40u, 56u}) EXPECT_EQ(r.bus.peek_word(sp + off), 0xA5A5) << off;
    EXPECT_EQ(r.cpu.pc, kHandler + 0x30);
    EXPECT_EQ(r.cpu.aborted, 0u);
    EXPECT_FALSE(r.cpu.fault_snapshot.valid);
}

TEST(Exceptions, AddressErrorFrame68000) {
    Rig r(CpuType::M68000);
    test::CustomTable table(move_w_postinc_a0_to_d0);
    table.install(r.cpu);
    r.cpu.prefetch_queue = {0x3018, 0x4E71};
    r.cpu.prefetch_count = 2;
    r.cpu.addr_regs[0] = 0x2001;
    r.cpu.set_sr_flags(0x2704);
    step(r.cpu, r.bus);
    const uint32_t sp = kStack - 14;
    EXPECT_EQ(r.cpu.addr_regs[7], sp);
    EXPECT_EQ(r.bus.peek_word(sp), 0x10 | 4 | 9) << "read, supervisor, data";
    EXPECT_EQ(r.bus.peek_long(sp + 2), 0x2001u);
    EXPECT_EQ(r.bus.peek_word(sp + 6), 0x3018) << "IR";
    EXPECT_EQ(r.bus.peek_word(sp + 8), 0x2704);
    EXPECT_EQ(r.bus.peek_long(sp + 10), kCode);
    EXPECT_EQ(r.cpu.addr_regs[0], 0x2001u);
    EXPECT_EQ(r.cpu.pc, kHandler + 0x30);
    EXPECT_EQ(r.cpu.prefetch_count, 2) << "the handler's first words are queued";
}

TEST(Exceptions, OddPcFaultsOnFetch) {
    Rig r(CpuType::Scc68070);
    r.cpu.pc = kCode + 1;
    r.bus.events.clear();
    const StepResult res = step(r.cpu, r.bus);
    EXPECT_EQ(res, StepResult::ok(50)) << "the address error's time, unconverted";
    EXPECT_EQ(r.bus.peek_word(kStack - 58 + 6), 0x800C);
    EXPECT_EQ(r.bus.peek_long(kStack - 58 + 2), kCode + 1);
    EXPECT_EQ(r.cpu.pc, kHandler + 0x30);
}

TEST(Exceptions, DiagnosticLinesOnlyWhenAsked) {
    for (bool set : {false, true}) {
        if (set) {
            setenv("M68K_DIAG_ADDRESS_ERROR", "", 1);
        } else {
            unsetenv("M68K_DIAG_ADDRESS_ERROR");
        }
        Rig r(CpuType::Scc68070);
        r.cpu.pc = kCode + 1;
        r.cpu.data_regs[1] = 0xABCD;
        testing::internal::CaptureStderr();
        step(r.cpu, r.bus);
        const std::string err = testing::internal::GetCapturedStderr();
        if (!set) {
            EXPECT_EQ(err, "");
            continue;
        }
        EXPECT_NE(err.find("m68k address error: addr=0x00001001 write=false instr=true pc=0x00001001 "
                           "ppc=0x00001001 sp=0x00008000 sr=0x2700\n"),
                  std::string::npos)
            << err;
        EXPECT_NE(err.find("m68k stack around sp (0x00008000-16..+16): 0000 "), std::string::npos) << err;
        EXPECT_NE(err.find("m68k regs d0-d7=[00000000, 0000ABCD, "), std::string::npos) << err;
        EXPECT_NE(err.find("vbr=0x00000000\n"), std::string::npos) << err;
    }
    unsetenv("M68K_DIAG_ADDRESS_ERROR");
}

// An odd VBR makes the vector read itself fault while the exception is being taken: the CPU
// halts instead of recursing.
TEST(Exceptions, DoubleFaultHalts) {
    for (CpuType type : {CpuType::Scc68070, CpuType::M68010}) {
        Rig r(type);
        r.cpu.vbr = 1;
        r.bus.poke_word(kCode, 0x4AFC);
        const StepResult res = step(r.cpu, r.bus);
        ASSERT_EQ(res.status(), StepStatus::Illegal);
        r.cpu.pc = r.cpu.ppc;  // the scheduler's part
        EXPECT_EQ(take_exception(r.cpu, r.bus, kVectorIllegal), 34);
        EXPECT_EQ(r.cpu.stopped, 1u);
        EXPECT_EQ(step(r.cpu, r.bus).status(), StepStatus::Stopped);
    }
    // An odd stack during an address error's own frame push and vector read.
    Rig r(CpuType::Scc68070);
    r.cpu.vbr = 1;
    r.cpu.pc = kCode + 1;
    step(r.cpu, r.bus);
    EXPECT_EQ(r.cpu.stopped, 1u);
    EXPECT_EQ(r.cpu.aborted, 1u) << "a halted CPU stays aborted";
    EXPECT_EQ(step(r.cpu, r.bus).status(), StepStatus::Stopped);
}

// An interrupt wakes a halted CPU with a full frame and runs its handler.
TEST(Exceptions, InterruptWakesHaltedCpu) {
    Rig r(CpuType::Scc68070);
    r.cpu.vbr = 1;
    r.cpu.pc = kCode + 1;
    step(r.cpu, r.bus);
    ASSERT_EQ(r.cpu.stopped, 1u);
    r.cpu.vbr = 0;  // the handler table is sane again (the test's stand-in for a fixed-up system)
    r.bus.poke_word(kHandler + 0x10 * 30, 0x4E71);
    r.cpu.pending_level = 6;
    r.cpu.set_sr_flags(0x2000);
    r.bus.vector_for_ack = 30;
    const uint32_t sp_before = r.cpu.addr_regs[7];
    ASSERT_TRUE(service_interrupt(r.cpu, r.bus));
    EXPECT_EQ(r.cpu.stopped, 0u);
    EXPECT_EQ(r.cpu.aborted, 0u);
    EXPECT_EQ(r.cpu.addr_regs[7], sp_before - 8);
    EXPECT_EQ(r.bus.peek_word(sp_before - 2), 30 * 4) << "full frame";
    EXPECT_EQ(r.cpu.pc, kHandler + 0x10 * 30);
    const StepResult res = step(r.cpu, r.bus);
    EXPECT_EQ(res, StepResult::ok(3)) << "the handler's NOP runs";
    EXPECT_EQ(r.cpu.pc, kHandler + 0x10 * 30 + 2);
}

TEST(Exceptions, InterruptEntryScc68070) {
    Rig r(CpuType::Scc68070);
    r.cpu.set_sr_flags(0x2300);
    r.cpu.pc = 0x12344;
    r.cpu.stopped = 1;
    r.cpu.slice_budget = 32;
    r.cpu.pending_level = 4;
    r.bus.vector_for_ack = 28;
    r.bus.events.clear();
    ASSERT_TRUE(service_interrupt(r.cpu, r.bus));
    ASSERT_FALSE(r.bus.events.empty());
    EXPECT_EQ(r.bus.events[0], (BusEvent{Access::Ack, 4, 28})) << "acknowledge before any stack write";
    const uint32_t sp = kStack - 8;
    EXPECT_EQ(r.bus.peek_word(sp), 0x2300);
    EXPECT_EQ(r.bus.peek_long(sp + 2), 0x12344u);
    EXPECT_EQ(r.bus.peek_word(sp + 6), 28 * 4);
    EXPECT_EQ(r.cpu.get_sr() & 0x0700, 0x0400);
    EXPECT_EQ(r.cpu.slice_budget, 32 - 44);
    EXPECT_EQ(r.cpu.pending_level, 0u);
    EXPECT_EQ(r.cpu.stopped, 0u);
    EXPECT_EQ(r.cpu.pc, kHandler + 0x10 * 28);
}

TEST(Exceptions, InterruptMaskAndOrderPerType) {
    struct Case {
        uint32_t level, mask;
        bool taken;
    };
    for (const Case& c : {Case{7, 7, true}, Case{3, 3, false}, Case{4, 3, true}, Case{0, 0, false}}) {
        Rig r(CpuType::Scc68070);
        r.cpu.set_sr_flags(static_cast<uint16_t>(0x2000 | (c.mask << 8)));
        r.cpu.pending_level = c.level;
        EXPECT_EQ(service_interrupt(r.cpu, r.bus), c.taken) << c.level << "/" << c.mask;
        if (!c.taken) {
            EXPECT_EQ(r.cpu.pending_level, c.level);
        }
    }
    // The 68000 acknowledges after its first stack write; the 68010 costs 46.
    Rig m0(CpuType::M68000);
    m0.cpu.set_sr_flags(0x2000);
    m0.cpu.pending_level = 2;
    m0.bus.events.clear();
    service_interrupt(m0.cpu, m0.bus);
    ASSERT_GE(m0.bus.events.size(), 4u);
    EXPECT_EQ(m0.bus.events[0].kind, Access::WriteWord);
    EXPECT_EQ(m0.bus.events[0].address, kStack - 2);
    EXPECT_EQ(m0.bus.events[1].kind, Access::Ack);
    EXPECT_EQ(m0.cpu.slice_budget, -44);
    Rig m10(CpuType::M68010);
    m10.cpu.set_sr_flags(0x2000);
    m10.cpu.pending_level = 2;
    service_interrupt(m10.cpu, m10.bus);
    EXPECT_EQ(m10.cpu.slice_budget, -46);
}

// Level 7 (MC68000 UM 6.3.2, and the later manuals alike): the mask cannot hold off a rise of
// the request to 7, but while the request stays at 7 it is compared with the mask like any
// other level. A lower level seen in between, or a reset, makes the next 7 a new rise.
TEST(Exceptions, LevelSevenIsTakenOnItsRise) {
    struct Check {
        uint32_t level;  // 0: reset the CPU instead
        uint32_t mask;
        bool taken;
    };
    struct Sequence {
        const char* name;
        std::vector<Check> checks;
    };
    const Sequence sequences[] = {
        {"first request at mask 7", {{7, 7, true}}},
        {"held at 7 under mask 7", {{7, 0, true}, {7, 7, false}, {7, 7, false}}},
        {"held at 7, mask lowered by the program", {{7, 7, true}, {7, 6, true}, {7, 7, false}}},
        {"a lower level between", {{7, 0, true}, {3, 7, false}, {7, 7, true}}},
        {"a lower level taken between", {{7, 0, true}, {6, 5, true}, {7, 7, true}}},
        {"reset between", {{7, 0, true}, {0, 7, false}, {7, 7, true}}},
        {"levels 1-6 stay level-sensitive", {{5, 4, true}, {5, 4, true}, {5, 5, false}, {6, 5, true}}},
    };
    for (const CpuType type : {CpuType::M68000, CpuType::M68010, CpuType::Scc68070, CpuType::M68EC020,
                               CpuType::M68020, CpuType::M68030, CpuType::M68040, CpuType::M68060}) {
        for (const Sequence& seq : sequences) {
            SCOPED_TRACE(testing::Message() << seq.name << " type " << static_cast<int>(type));
            Rig r(type);
            r.cpu.reset();
            r.cpu.addr_regs[7] = kStack;
            for (const Check& c : seq.checks) {
                if (c.level == 0) {
                    r.cpu.reset();
                    r.cpu.addr_regs[7] = kStack;
                    continue;
                }
                r.cpu.set_sr_flags(static_cast<uint16_t>(0x2000 | (c.mask << 8)));
                r.cpu.pending_level = c.level;
                const uint32_t sp = r.cpu.addr_regs[7];
                EXPECT_EQ(service_interrupt(r.cpu, r.bus), c.taken) << c.level << "/" << c.mask;
                EXPECT_EQ(r.cpu.addr_regs[7] != sp, c.taken);
            }
        }
    }
}

// Through step: a level-7 handler that spins before clearing its source is entered once while
// the scheduler keeps offering 7; once the source is gone and comes back, it is entered again.
TEST(Exceptions, LevelSevenHeldDoesNotReenterThroughStep) {
    Rig r(CpuType::Scc68070);
    r.cpu.reset();
    r.cpu.addr_regs[7] = kStack;
    r.cpu.set_sr_flags(0x2000);
    r.bus.vector_for_ack = 31;
    const uint32_t handler = kHandler + 0x10 * 31;
    r.bus.poke_word(handler, 0x60FE);  // BRA.S to itself
    r.cpu.pending_level = 7;
    ASSERT_TRUE(service_interrupt(r.cpu, r.bus));
    for (int i = 0; i < 8; ++i) {
        r.cpu.pending_level = 7;  // as the scheduler samples it after each slice
        step(r.cpu, r.bus);
        EXPECT_EQ(r.cpu.pc, handler);
        EXPECT_EQ(r.cpu.addr_regs[7], kStack - 8) << "one frame";
    }
    r.cpu.pending_level = 2;  // the source cleared, a slave request left at level 2 under mask 7
    step(r.cpu, r.bus);
    r.cpu.pending_level = 7;
    step(r.cpu, r.bus);
    EXPECT_EQ(r.cpu.addr_regs[7], kStack - 16) << "the next rise nests";
}

TEST(Exceptions, InterruptFromMasterStackPushesThrowawayFrame) {
    Rig r(CpuType::M68020);
    r.cpu.set_sr(0x3000);  // master mode: A7 = MSP
    r.cpu.addr_regs[7] = kStack;
    r.cpu.sp_bank[kIspSlot] = 0x9000;
    r.cpu.pending_level = 5;
    r.bus.vector_for_ack = 29;
    ASSERT_TRUE(service_interrupt(r.cpu, r.bus));
    EXPECT_EQ(r.cpu.sr_m, 0u);
    EXPECT_EQ(r.cpu.sp_bank[kMspSlot], kStack - 8);
    EXPECT_EQ(r.bus.peek_word(kStack - 2), 29 * 4) << "Format0 on the MSP";
    EXPECT_EQ(r.cpu.addr_regs[7], 0x9000u - 8);
    EXPECT_EQ(r.bus.peek_word(0x9000 - 2), 0x1000 | (29 * 4)) << "Format1 on the ISP";
    EXPECT_EQ(r.bus.peek_word(0x9000 - 8), 0x3000 | 0x2000);
}

}  // namespace
}  // namespace m68k
