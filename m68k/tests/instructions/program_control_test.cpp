// Branches, DBcc and loop mode, Scc, TRAPcc, jumps, the returns (RTE frames per type), STOP,
// RESET and TRAPV, run through `step` with the real decode tables.
#include <gtest/gtest.h>

#include <initializer_list>

#include "core/exceptions.hpp"
#include "core/instructions/program_control.hpp"
#include "m68k/cpu.hpp"
#include "support/test_bus.hpp"

namespace m68k {
namespace {

constexpr uint32_t kCode = 0x1000;
constexpr uint32_t kStack = 0x8000;

// Handler of vector n at 0x4000 + 16 n.
constexpr uint32_t handler_of(uint32_t vector) { return 0x4000 + 16 * vector; }

struct Rig {
    Cpu cpu;
    test::TestBus bus;

    explicit Rig(CpuType type, std::initializer_list<uint16_t> code) {
        cpu.set_cpu_type(type);
        for (uint32_t v = 0; v < 64; ++v) bus.poke_long(4 * v, handler_of(v));
        uint32_t a = kCode;
        for (uint16_t w : code) {
            bus.poke_word(a, w);
            a += 2;
        }
        cpu.pc = kCode;
        cpu.addr_regs[7] = kStack;
    }
    StepResult run() { return step(cpu, bus); }
    uint32_t cycles() {
        const StepResult r = run();
        EXPECT_EQ(r.status(), StepStatus::Ok);
        return r.cycles();
    }
    void user_mode() {
        cpu.sp_bank[kIspSlot] = kStack;
        cpu.set_sr(0x0000);
        cpu.addr_regs[7] = 0x6000;
    }
};

TEST(ProgramControlTestCondition, AllSixteenConditionsOverEveryFlagCombination) {
    for (uint32_t ccr = 0; ccr < 16; ++ccr) {
        Cpu cpu;
        cpu.set_ccr(static_cast<uint8_t>(ccr));
        const bool c = ccr & 1, v = ccr & 2, z = ccr & 4, n = ccr & 8;
        const bool expected[16] = {true, false, !c && !z, c || z, !c, c, !z, z,
                                   !v, v, !n, n, n == v, n != v, !z && n == v, z || n != v};
        for (uint32_t cc = 0; cc < 16; ++cc) {
            EXPECT_EQ(test_condition(cpu, cc), expected[cc]) << "ccr " << ccr << " cc " << cc;
        }
    }
}

TEST(ProgramControlLoopMode, EligibleOpcodes) {
    const struct {
        uint16_t word;
        bool eligible;
    } cases[] = {
        {0x3280, true},   // MOVE.W D0,(A1)
        {0x32A8, false},  // MOVE.W (d16,A0),(A1)
        {0x3248, false},  // MOVEA.W A0,A1
        {0x12D8, true},   // MOVE.B (A0)+,(A1)+
        {0xD250, true},   // ADD.W (A0),D1
        {0xD350, true},   // ADD.W D1,(A0)
        {0x80D0, false},  // DIVU (A0),D0
        {0xE0D0, true},   // ASR (A0)
        {0xE1D0, false},  // ASL (A0)
        {0x5250, false},  // ADDQ.W #1,(A0)
        {0x4A10, true},   // TST.B (A0)
        {0x4AD0, false},  // TAS (A0)
        {0xC308, true},   // ABCD -(A0),-(A1)
        {0xB308, true},   // CMPM.B (A0)+,(A1)+
        {0x4218, true},   // CLR.B (A0)+
        {0x4828, false},  // NBCD (d16,A0)
        {0x4820, true},   // NBCD -(A0)
        {0x6000, false},  // BRA
    };
    for (const auto& c : cases) EXPECT_EQ(loop_mode_eligible(c.word), c.eligible) << std::hex << c.word;
}

TEST(ProgramControlBranch, CountsAndDisplacementsOnM68000) {
    {
        Rig r(CpuType::M68000, {0x6704});  // BEQ.S, Z clear
        EXPECT_EQ(r.cycles(), 8u);
        EXPECT_EQ(r.cpu.pc, kCode + 2);
    }
    {
        Rig r(CpuType::M68000, {0x6700, 0x0100});  // BEQ.W, Z clear: the word is consumed
        EXPECT_EQ(r.cycles(), 12u);
        EXPECT_EQ(r.cpu.pc, kCode + 4);
    }
    {
        Rig r(CpuType::M68000, {0x6700, 0xFFF0});  // BEQ.W, Z set
        r.cpu.flag_not_z = 0;
        EXPECT_EQ(r.cycles(), 10u);
        EXPECT_EQ(r.cpu.pc, kCode + 2 - 0x10);
        EXPECT_EQ(r.cpu.prefetch_count, 2) << "queue reloaded at the target";
    }
    {
        Rig r(CpuType::M68000, {0x6100, 0x0040});  // BSR.W
        EXPECT_EQ(r.cycles(), 18u);
        EXPECT_EQ(r.cpu.pc, kCode + 2 + 0x40);
        EXPECT_EQ(r.cpu.addr_regs[7], kStack - 4);
        EXPECT_EQ(r.bus.peek_long(kStack - 4), kCode + 4) << "return address after the displacement";
    }
}

TEST(ProgramControlBranch, DisplacementFFPerClass) {
    {
        Rig r(CpuType::Scc68070, {0x60FF});
        r.run();
        EXPECT_EQ(r.cpu.pc, kCode + 1) << "the 8-bit -1 on the 68000 class";
    }
    {
        Rig r(CpuType::M68020, {0x60FF, 0x0001, 0x0000});
        r.run();
        EXPECT_EQ(r.cpu.pc, kCode + 2 + 0x10000) << "a 32-bit displacement on the 68020 class";
    }
}

// An odd user stack: the push faults, and the address error is stacked on the (even)
// supervisor stack. An odd supervisor stack would halt instead.
TEST(ProgramControlBranch, BsrWithOddStackFaultsOnScc68070) {
    Rig r(CpuType::Scc68070, {0x6140});
    r.user_mode();
    r.cpu.addr_regs[7] = 0x6001;
    r.run();
    EXPECT_EQ(r.cpu.vector_this_step, kVectorAddressError);
    EXPECT_EQ(r.cpu.pc, handler_of(kVectorAddressError));
    EXPECT_EQ(r.cpu.sp_bank[kUspSlot], 0x6001u) << "rolled back";
}

TEST(ProgramControlDbcc, CountsAndCounter) {
    const struct {
        uint16_t opcode;
        uint32_t d0_before, d0_after, pc_after, cycles;
    } cases[] = {
        {0x51C8, 0x00010000, 0x0001FFFF, kCode + 4, 14},  // DBF expires: the upper word stays
        {0x51C8, 0x00000005, 0x00000004, kCode + 2 - 6, 10},
        {0x50C8, 0x00000005, 0x00000005, kCode + 4, 12},  // DBT: condition true
    };
    for (const auto& c : cases) {
        Rig r(CpuType::M68000, {c.opcode, 0xFFFA});
        r.cpu.data_regs[0] = c.d0_before;
        SCOPED_TRACE(testing::Message() << std::hex << c.opcode << " " << c.d0_before);
        EXPECT_EQ(r.cycles(), c.cycles);
        EXPECT_EQ(r.cpu.data_regs[0], c.d0_after);
        EXPECT_EQ(r.cpu.pc, c.pc_after);
    }
}

// The 68000 class takes an odd branch target's address error with the counter as it was
// before the DBcc; a counter that expires does not branch, so nothing faults.
TEST(ProgramControlDbcc, OddTargetFaultsWithTheCounterUnchanged) {
    for (CpuType type : {CpuType::M68000, CpuType::M68010, CpuType::Scc68070}) {
        for (const bool tracing : {false, true}) {
            SCOPED_TRACE(testing::Message() << "type " << static_cast<int>(type) << " trace " << tracing);
            Rig r(type, {0x51C8, 0x0001});  // DBF D0,*+3
            r.cpu.data_regs[0] = 0xABCD0005;
            if (tracing) r.cpu.set_sr(0xA700);
            r.run();
            r.run();
            EXPECT_EQ(r.cpu.vector_this_step, kVectorAddressError);
            EXPECT_EQ(r.cpu.pc, handler_of(kVectorAddressError));
            EXPECT_EQ(r.cpu.data_regs[0], 0xABCD0005u);
        }
        Rig expiry(type, {0x51C8, 0x0001});
        expiry.cpu.data_regs[0] = 0xABCD0000;
        expiry.run();
        EXPECT_EQ(expiry.cpu.data_regs[0], 0xABCDFFFFu);
        EXPECT_EQ(expiry.cpu.pc, kCode + 4);
        EXPECT_FALSE(expiry.cpu.vector_this_step.has_value());
    }
}

TEST(ProgramControlDbcc, ExpiryReadsTheWordAfterTheDisplacementOnScc68070) {
    Rig r(CpuType::Scc68070, {0x51C8, 0xFFFA});
    r.bus.events.clear();
    r.run();
    ASSERT_EQ(r.bus.events.size(), 3u);  // opcode, displacement, the discarded read
    EXPECT_EQ(r.bus.events[2], (test::BusEvent{test::Access::ReadWord, kCode + 4, 0}));
}

TEST(ProgramControlDbcc, M68010LoopModeRunsFromTheQueue) {
    // loop: NBCD (A0)+ ; DBF D0,loop
    const std::initializer_list<uint16_t> program = {0x4818, 0x51C8, 0xFFFC};
    Rig r(CpuType::M68010, program);
    r.cpu.addr_regs[0] = 0x2000;
    r.cpu.data_regs[0] = 3;
    r.bus.poke_long(0x2000, 0x01020304);
    r.run();                     // NBCD
    EXPECT_EQ(r.cycles(), 10u);  // DBcc branches and enters loop mode
    EXPECT_TRUE(r.cpu.loop_mode_active);
    r.bus.events.clear();
    r.run();  // NBCD from the queue
    EXPECT_EQ(r.cycles(), 6u);
    r.run();
    EXPECT_EQ(r.cycles(), 6u);
    for (const auto& e : r.bus.events) {
        EXPECT_TRUE(e.address >= 0x2000 && e.address < 0x2004) << "no instruction fetch in loop mode: " << std::hex << e.address;
    }
    r.run();
    EXPECT_EQ(r.cycles(), 16u) << "the counter expires";
    EXPECT_FALSE(r.cpu.loop_mode_active);
    EXPECT_EQ(r.cpu.pc, kCode + 6);
    EXPECT_EQ(r.cpu.data_regs[0], 0xFFFFu);
    EXPECT_EQ(r.cpu.addr_regs[0], 0x2004u);
    EXPECT_EQ(r.bus.peek_long(0x2000), 0x99979695u) << "0 - byte - X, X set after the first";

    Rig plain(CpuType::M68000, program);
    plain.cpu.addr_regs[0] = 0x2000;
    plain.cpu.data_regs[0] = 3;
    plain.run();
    plain.run();
    EXPECT_FALSE(plain.cpu.loop_mode_active) << "only the M68010 loops";
}

TEST(ProgramControlScc, M68000ReadsBeforeWritingOthersOnlyWrite) {
    for (CpuType t : {CpuType::M68000, CpuType::M68010, CpuType::Scc68070}) {
        Rig r(t, {0x57D0});  // SEQ (A0)
        r.cpu.addr_regs[0] = 0x2001;
        r.cpu.flag_not_z = 0;
        r.bus.events.clear();
        const uint32_t c = r.cycles();
        EXPECT_EQ(r.bus.peek_word(0x2000) & 0xFF, 0xFF);
        bool read = false;
        for (const auto& e : r.bus.events) read |= e.kind == test::Access::ReadByte && e.address == 0x2001;
        EXPECT_EQ(read, t == CpuType::M68000);
        EXPECT_EQ(c, t == CpuType::M68000 ? 12u : t == CpuType::M68010 ? 8u : 5u);
    }
    Rig r(CpuType::M68000, {0x56C3});  // SNE D3, Z set
    r.cpu.data_regs[3] = 0x123456FF;
    r.cpu.flag_not_z = 0;
    EXPECT_EQ(r.cycles(), 4u);
    EXPECT_EQ(r.cpu.data_regs[3], 0x12345600u);
}

TEST(ProgramControlTrapcc, TakenStacksTheNextInstruction) {
    Rig r(CpuType::M68020, {0x57FA, 0x1234});  // TRAPEQ.W
    r.cpu.flag_not_z = 0;
    r.run();
    EXPECT_EQ(r.cpu.vector_this_step, kVectorTrapv);
    EXPECT_EQ(r.bus.peek_long(r.cpu.addr_regs[7] + 2), kCode + 4);
    Rig not_taken(CpuType::M68020, {0x57FA, 0x1234});
    not_taken.run();
    EXPECT_EQ(not_taken.cpu.pc, kCode + 4);
}

TEST(ProgramControlJump, JsrCountsPerTypeAndReturnAddress) {
    // JSR (8,A0,D0.W)
    Rig r(CpuType::M68000, {0x4EB0, 0x0008});
    r.cpu.addr_regs[0] = 0x3000;
    r.cpu.data_regs[0] = 0x10;
    EXPECT_EQ(r.cycles(), 22u);
    EXPECT_EQ(r.cpu.pc, 0x3018u);
    EXPECT_EQ(r.bus.peek_long(kStack - 4), kCode + 4);
    Rig r10(CpuType::M68010, {0x4EB0, 0x0008});
    EXPECT_EQ(r10.cycles(), 16u);
}

TEST(ProgramControlJump, OddTargetTakesTheAddressErrorEvenWhenTracing) {
    for (const uint16_t op : {0x4ED0, 0x4E90}) {  // JMP (A0), JSR (A0)
        Rig r(CpuType::M68000, {op});
        r.cpu.addr_regs[0] = 0x3001;
        r.cpu.set_sr(0xA700);
        r.run();
        EXPECT_EQ(r.cpu.pc, 0x3001u) << "no trace after a jump to an odd address";
        EXPECT_EQ(r.cpu.addr_regs[7], kStack) << "JSR pushes nothing before its target faults";
        r.run();
        EXPECT_EQ(r.cpu.vector_this_step, kVectorAddressError);
        EXPECT_EQ(r.cpu.pc, handler_of(kVectorAddressError));
    }
}

TEST(ProgramControlReturns, RtsRtrRtd) {
    {
        Rig r(CpuType::M68000, {0x4E75});
        r.bus.poke_long(kStack, 0x2468);
        EXPECT_EQ(r.cycles(), 16u);
        EXPECT_EQ(r.cpu.pc, 0x2468u);
        EXPECT_EQ(r.cpu.addr_regs[7], kStack + 4);
    }
    {
        Rig r(CpuType::M68000, {0x4E77});
        r.bus.poke_word(kStack, 0xFF15);
        r.bus.poke_long(kStack + 2, 0x2468);
        EXPECT_EQ(r.cycles(), 20u);
        EXPECT_EQ(r.cpu.get_sr(), 0x2715) << "only the CCR changes";
        EXPECT_EQ(r.cpu.addr_regs[7], kStack + 6);
    }
    {
        Rig r(CpuType::M68010, {0x4E74, 0x0010});
        r.bus.poke_long(kStack, 0x2468);
        EXPECT_EQ(r.cycles(), 20u);
        EXPECT_EQ(r.cpu.pc, 0x2468u);
        EXPECT_EQ(r.cpu.addr_regs[7], kStack + 0x14);
    }
}

TEST(ProgramControlRte, M68000AndScc68070Frames) {
    {
        Rig r(CpuType::M68000, {0x4E73});
        r.bus.poke_word(kStack, 0x0015);
        r.bus.poke_long(kStack + 2, 0x2468);
        r.cpu.sp_bank[kUspSlot] = 0x7000;
        EXPECT_EQ(r.cycles(), 20u);
        EXPECT_EQ(r.cpu.pc, 0x2468u);
        EXPECT_EQ(r.cpu.addr_regs[7], 0x7000u) << "back on the user stack";
        EXPECT_EQ(r.cpu.sp_bank[kIspSlot], kStack + 6);
    }
    {
        Rig r(CpuType::Scc68070, {0x4E73});
        r.bus.poke_word(kStack, 0x2700);
        r.bus.poke_long(kStack + 2, 0x2468);
        r.bus.poke_word(kStack + 6, 0x8008);
        EXPECT_EQ(r.cycles(), 13u);  // 20 scaled
        EXPECT_EQ(r.cpu.addr_regs[7], kStack + 58);
        EXPECT_EQ(r.cpu.pc, 0x2468u);
    }
    {
        Rig r(CpuType::Scc68070, {0x4E73});
        r.bus.poke_word(kStack, 0x2700);
        r.bus.poke_long(kStack + 2, 0x2468);
        r.bus.poke_word(kStack + 6, 0x2008);
        r.run();
        EXPECT_EQ(r.cpu.vector_this_step, kVectorFormatError);
        EXPECT_EQ(r.cpu.addr_regs[7], kStack - 8) << "nothing popped; the error's frame pushed";
    }
}

TEST(ProgramControlRte, M68030ThrowawayThenFormat0) {
    Rig r(CpuType::M68030, {0x4E73});
    // Throwaway frame on the interrupt stack; its SR selects the master stack.
    r.bus.poke_word(kStack, 0x3000);
    r.bus.poke_word(kStack + 6, 0x1000);
    r.cpu.sp_bank[kMspSlot] = 0x9000;
    r.bus.poke_word(0x9000, 0x0004);
    r.bus.poke_long(0x9002, 0x2468);
    r.bus.poke_word(0x9006, 0x0000);
    r.cpu.sp_bank[kUspSlot] = 0x7000;
    r.run();
    EXPECT_EQ(r.cpu.pc, 0x2468u);
    EXPECT_EQ(r.cpu.get_sr(), 0x0004);
    EXPECT_EQ(r.cpu.sp_bank[kMspSlot], 0x9008u);
    EXPECT_EQ(r.cpu.sp_bank[kIspSlot], kStack + 8);
    EXPECT_EQ(r.cpu.addr_regs[7], 0x7000u);
}

// A stack full of throwaway words (an unmapped region reading one constant) must not hold one
// step forever: the second throwaway is a format error.
TEST(ProgramControlRte, RepeatedThrowawayFramesEndInAFormatError) {
    for (CpuType t : {CpuType::M68020, CpuType::M68030, CpuType::M68040, CpuType::M68060}) {
        Rig r(t, {0x4E73});
        // Every 8-byte frame: SR 0x2000 (still the interrupt stack), format word 0x1000.
        for (uint32_t a = 0x2000; a < 0x10000; a += 2) r.bus.poke_word(a, (a & 7) == 0 ? 0x2000 : 0x1000);
        r.run();
        EXPECT_EQ(r.cpu.vector_this_step, kVectorFormatError) << static_cast<int>(t);
        EXPECT_EQ(r.cpu.pc, handler_of(kVectorFormatError));
    }
}

TEST(ProgramControlPrivileged, UserModeTakesThePrivilegeViolation) {
    for (const uint16_t op : {0x4E73, 0x4E70, 0x4E72}) {  // RTE, RESET, STOP
        Rig r(CpuType::M68000, {op, 0x2700});
        r.user_mode();
        r.run();
        EXPECT_EQ(r.cpu.vector_this_step, kVectorPrivilege) << std::hex << op;
        EXPECT_EQ(r.bus.peek_long(r.cpu.addr_regs[7] + 2), kCode) << "stacked PC at the instruction";
    }
}

TEST(ProgramControlStop, StopsAndReports) {
    Rig r(CpuType::M68000, {0x4E72, 0x2700});
    EXPECT_EQ(r.cycles(), 4u);
    EXPECT_EQ(r.cpu.stopped & 1, 1u);
    EXPECT_EQ(r.run().status(), StepStatus::Stopped);

    Rig m60(CpuType::M68060, {0x4E72, 0x0700});
    m60.run();
    EXPECT_EQ(m60.cpu.vector_this_step, kVectorPrivilege) << "the M68060 traps an immediate without S";
    EXPECT_EQ(m60.cpu.stopped, 0u);
}

// STOP advances the PC past its immediate before it stops (MC68000 programmer's manual); a
// trace exception taken after it stacks that address and the SR that STOP loaded.
TEST(ProgramControlStop, TraceFrameAfterStop) {
    const struct {
        CpuType type;
        uint32_t frame_size;
    } cases[] = {{CpuType::M68000, 6}, {CpuType::M68010, 8}, {CpuType::Scc68070, 8}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.type));
        Rig r(c.type, {0x4E72, 0x2715});  // STOP #$2715 with T1 set going in
        r.cpu.set_sr(0xA700);
        EXPECT_EQ(r.run().status(), StepStatus::Ok);
        EXPECT_EQ(r.cpu.stopped, 0u) << "the trace ends the stop";
        EXPECT_EQ(r.cpu.vector_this_step, kVectorTrace);
        EXPECT_EQ(r.cpu.pc, handler_of(kVectorTrace));
        EXPECT_EQ(r.cpu.get_sr(), 0x2715);
        const uint32_t sp = kStack - c.frame_size;
        EXPECT_EQ(r.cpu.addr_regs[7], sp);
        EXPECT_EQ(r.bus.peek_word(sp), 0x2715);
        EXPECT_EQ(r.bus.peek_long(sp + 2), kCode + 4);
        if (c.frame_size == 8) {
            EXPECT_EQ(r.bus.peek_word(sp + 6), 0x0024);  // format 0, vector 9
        }
    }
}

TEST(ProgramControlMisc, ResetAndTrapv) {
    Rig reset(CpuType::Scc68070, {0x4E70});
    EXPECT_EQ(reset.cycles(), 83u);  // 132 scaled
    Rig clear(CpuType::M68000, {0x4E76});
    EXPECT_EQ(clear.cycles(), 4u);
    Rig set(CpuType::M68000, {0x4E76});
    set.cpu.set_ccr(0x02);
    set.run();
    EXPECT_EQ(set.cpu.vector_this_step, kVectorTrapv);
    EXPECT_EQ(set.bus.peek_long(set.cpu.addr_regs[7] + 2), kCode + 2) << "stacked PC is the next instruction";
}

// A short SCC68070 program across the families: BSR/RTS around a MOVEM save and restore, a DBcc
// loop of ABCD adding two 8-digit decimal numbers, DIVU and a shift, ending in STOP.
TEST(ProgramControlProgram, Scc68070DecimalAddSubroutine) {
    Rig r(CpuType::Scc68070, {
                                 0x41F8, 0x2004,          // lea     (0x2004).w,a0
                                 0x43F8, 0x2014,          // lea     (0x2014).w,a1
                                 0x6114,                  // bsr.s   add_bcd
                                 0x2A38, 0x2010,          // move.l  (0x2010).w,d5
                                 0x223C, 0x0001, 0x86A0,  // move.l  #100000,d1
                                 0x82FC, 0x0007,          // divu.w  #7,d1
                                 0xE98D,                  // lsl.l   #4,d5
                                 0x4E72, 0x2700,          // stop    #0x2700
                                 // add_bcd:
                                 0x48E7, 0x80C0,  // movem.l d0/a0-a1,-(sp)
                                 0x7003,          // moveq   #3,d0
                                 0x44FC, 0x0004,  // move    #4,ccr (X clear, Z set)
                                 0xC308,          // loop: abcd -(a0),-(a1)
                                 0x51C8, 0xFFFC,  // dbf     d0,loop
                                 0x4CDF, 0x0301,  // movem.l (sp)+,d0/a0-a1
                                 0x4E75,          // rts
                             });
    r.bus.poke_long(0x2000, 0x12345678);
    r.bus.poke_long(0x2010, 0x87654329);
    r.cpu.data_regs[0] = 0xDEADBEEF;
    int steps = 0;
    while (r.cpu.stopped == 0 && steps < 100) {
        ASSERT_EQ(r.run().status(), StepStatus::Ok);
        ++steps;
    }
    EXPECT_EQ(steps, 21);
    EXPECT_EQ(r.bus.peek_long(0x2010), 0x00000007u) << "12345678 + 87654329 = 1 00000007";
    EXPECT_EQ(r.bus.peek_long(0x2000), 0x12345678u);
    EXPECT_EQ(r.cpu.data_regs[0], 0xDEADBEEFu) << "restored by MOVEM";
    EXPECT_EQ(r.cpu.addr_regs[0], 0x2004u);
    EXPECT_EQ(r.cpu.addr_regs[1], 0x2014u);
    EXPECT_EQ(r.cpu.addr_regs[7], kStack);
    EXPECT_EQ(r.cpu.data_regs[1], 0x000537CDu) << "100000 / 7 = 14285 remainder 5";
    EXPECT_EQ(r.cpu.data_regs[5], 0x70u);
    EXPECT_EQ(r.cpu.pc, kCode + 0x1E);
    EXPECT_EQ(r.cpu.get_sr(), 0x2700);
}

}  // namespace
}  // namespace m68k
