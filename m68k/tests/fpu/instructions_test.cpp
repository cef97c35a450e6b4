// The FPU general instruction driven through `step`: formats, addressing, control registers,
// FMOVEM, FMOVECR, the type gating and the M68060's traps.
#include <gtest/gtest.h>

#include <bit>
#include <initializer_list>

#include "core/exceptions.hpp"
#include "fpu/instructions.hpp"
#include "fpu/operations.hpp"
#include "fpu/packed.hpp"
#include "fpu/softfloat.hpp"
#include "m68k/cpu.hpp"
#include "support/test_bus.hpp"
#include "fpu_rig.hpp"

namespace m68k {
namespace {

using namespace fpu_test;

// Every type the F line reaches: who runs FMOVECR, who raises line F, and the M68060's trap.
TEST(FpuGeneral, TypeGating) {
    struct Case {
        CpuType type;
        StepStatus status;
        bool runs;
    };
    const Case cases[] = {
        {CpuType::M68000, StepStatus::LineF, false},   {CpuType::M68010, StepStatus::LineF, false},
        {CpuType::Scc68070, StepStatus::LineF, false}, {CpuType::M68EC020, StepStatus::Ok, true},
        {CpuType::M68020, StepStatus::Ok, true},       {CpuType::M68EC030, StepStatus::Ok, true},
        {CpuType::M68030, StepStatus::Ok, true},       {CpuType::M68EC040, StepStatus::LineF, false},
        {CpuType::M68LC040, StepStatus::LineF, false}, {CpuType::M68040, StepStatus::Ok, true},
        {CpuType::M68060, StepStatus::Ok, false},  // taken inside the step: format-2 line F
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.type));
        Rig rig(c.type);
        const StepResult r = rig.run({0xF200, 0x5C80});  // FMOVECR #0,FP1
        EXPECT_EQ(r.status(), c.status);
        EXPECT_EQ(rig.cpu.fp[1] == fpu_constant_rom(0), c.runs);
        EXPECT_EQ(rig.cpu.fpu_null_state, !c.runs && c.type != CpuType::M68060);
    }
    Rig rig(CpuType::M68060);
    rig.run({0xF200, 0x5C80});
    EXPECT_EQ(rig.cpu.pc, kLineFHandler);
    EXPECT_EQ(rig.bus.peek_word(rig.sp() + 6), 0x202C);
    EXPECT_EQ(rig.bus.peek_long(rig.sp() + 2), kCode + 4) << "the next instruction";
    EXPECT_EQ(rig.cpu.fpiar, kCode);
}

TEST(FpuGeneral, ClassZeroOperationsAndRomLoad) {
    Rig rig;
    rig.cpu.fp[0] = fx(1.5);
    rig.cpu.fp[1] = fx(2.25);
    EXPECT_EQ(rig.run({0xF200, 0x0422}).status(), StepStatus::Ok);  // FADD FP1,FP0
    EXPECT_EQ(rig.cpu.fp[0], fx(3.75));
    EXPECT_EQ(rig.cpu.pc, kCode + 4);

    rig.run({0xF200, 0x0317});  // opmode 0x17, m = 0: pi into FP6
    EXPECT_EQ(rig.cpu.fp[6], fpu_constant_rom(0));
    rig.cpu.fpsr = 0x0000FFFF;
    rig.run({0xF200, 0x0C97});  // m = 3: +0 into FP1, Z only, the rest of FPSR kept
    EXPECT_EQ(rig.cpu.fp[1], fx(0.0));
    EXPECT_EQ(rig.cpu.fpsr, kFpsrZ | 0x0000FFFF);

    // No instruction: line F, nothing changed.
    const Cpu before = rig.cpu;
    EXPECT_EQ(rig.run({0xF200, 0x0405}).status(), StepStatus::LineF);
    EXPECT_EQ(rig.cpu.fp, before.fp);
    EXPECT_EQ(rig.cpu.fpsr, before.fpsr);
    EXPECT_EQ(rig.run({0xF200, 0x2000}).status(), StepStatus::LineF) << "class 1";
}

TEST(FpuGeneral, FmovecrSetsOnlyConditionCodes) {
    Rig rig;
    rig.cpu.fpcr = 0x40;  // single precision must not round the constant
    rig.cpu.fpsr = 0x0F00FF00;
    rig.run({0xF200, 0x5D33});  // FMOVECR #0x33,FP2: 10.0
    EXPECT_EQ(rig.cpu.fp[2], fx(10.0));
    rig.run({0xF200, 0x5C80});  // pi, which is inexact in single
    EXPECT_EQ(rig.cpu.fp[1], fpu_constant_rom(0));
    EXPECT_EQ(rig.cpu.fpsr, 0x0000FF00u);
}

// Integer stores round the extended value by FPCR's mode and saturate; FPSR never changes.
TEST(FpuGeneral, FmoveToIntegerRegister) {
    struct Case {
        Fx80 value;
        uint32_t fpcr;
        uint16_t command;  // FMOVE.<size> FP0,D0
        uint32_t d0_before;
        uint32_t d0_after;
    };
    const Case cases[] = {
        {fx(2.5), 0x00, 0x6000, 0, 2},
        {fx(3.5), 0x00, 0x6000, 0, 4},
        {fx(-2.5), 0x00, 0x6000, 0, 0xFFFFFFFE},
        {fx(-2.5), 0x20, 0x6000, 0, 0xFFFFFFFD},  // RM
        {fx(2.7), 0x10, 0x6000, 0, 2},            // RZ
        {fx(2.1), 0x30, 0x6000, 0, 3},            // RP
        {kFx80DefaultNan, 0x00, 0x6000, 0, 0x80000000},
        {fx(3e9), 0x00, 0x6000, 0, 0x7FFFFFFF},
        {fx(-3e9), 0x00, 0x6000, 0, 0x80000000},
        // 2.5 + 2^-60: a truncated double would make it a tie and round to 2.
        {fx80_make(0, 0x4000, 0xA000000000000004ULL), 0x00, 0x6000, 0, 3},
        {fx(-1.0), 0x00, 0x7000, 0x12345678, 0x1234FFFF},  // word keeps the upper half
        {fx(300.0), 0x00, 0x7800, 0x12345678, 0x1234567F},  // byte saturates to 0x7F
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.cpu.fp[0] = c.value;
        rig.cpu.fpcr = c.fpcr;
        rig.cpu.fpsr = 0x0A00FF5A;
        rig.cpu.data_regs[0] = c.d0_before;
        ASSERT_EQ(rig.run({0xF200, c.command}).status(), StepStatus::Ok);
        EXPECT_EQ(rig.cpu.data_regs[0], c.d0_after) << std::hex << c.d0_after;
        EXPECT_EQ(rig.cpu.fpsr, 0x0A00FF5Au);
    }
}

TEST(FpuGeneral, FmoveToSingleAndDoubleRoundOnceByMode) {
    Rig rig;
    rig.cpu.addr_regs[0] = kData;
    rig.cpu.fp[0] = fx80_make(0, 0x3FFF, 0x8000000000000001ULL);  // 1 + 2^-63
    rig.run({0xF210, 0x7400});  // FMOVE.D FP0,(A0)
    EXPECT_EQ(rig.bus.peek_long(kData), 0x3FF00000u);
    EXPECT_EQ(rig.bus.peek_long(kData + 4), 0u);
    rig.cpu.fpcr = 0x30;  // RP
    rig.run({0xF210, 0x7400});
    EXPECT_EQ(rig.bus.peek_long(kData + 4), 1u);
    rig.run({0xF210, 0x6400});  // FMOVE.S FP0,(A0) under RP
    EXPECT_EQ(rig.bus.peek_long(kData), 0x3F800001u);

    rig.cpu.fpcr = 0;
    rig.cpu.fp[0] = fx80_make(0, 0x3FFF - 1030, 0x8000000000000000ULL);  // 2^-1030: a double denormal
    rig.run({0xF210, 0x7400});
    EXPECT_EQ(rig.bus.peek_long(kData), 0x00001000u);
    EXPECT_EQ(rig.bus.peek_long(kData + 4), 0u);
    rig.cpu.fp[0] = fx80_make(0, 0x3FFF + 1100, 0x8000000000000000ULL);
    rig.run({0xF210, 0x7400});
    EXPECT_EQ(rig.bus.peek_long(kData), 0x7FF00000u);

    rig.cpu.fp[0] = fx80_negate(kFx80DefaultNan);
    rig.run({0xF210, 0x6400});
    EXPECT_EQ(rig.bus.peek_long(kData), 0x7FC00000u) << "positive quiet NaN";
    EXPECT_EQ(rig.cpu.fpsr, 0u);
}

TEST(FpuGeneral, ExtendedImagesMoveRaw) {
    Rig rig;
    rig.cpu.addr_regs[0] = kData;
    rig.cpu.addr_regs[1] = kData + 0x100;
    // An unnormal, then a signalling NaN: both load and store unchanged.
    const uint32_t images[2][3] = {{0x40010000, 0x12345678, 0x9ABCDEF0}, {0xFFFF0000, 0x20000000, 0x00000001}};
    for (const auto& img : images) {
        rig.bus.poke_long(kData, img[0] | 0xBEEF);  // the low half of long 0 is ignored
        rig.bus.poke_long(kData + 4, img[1]);
        rig.bus.poke_long(kData + 8, img[2]);
        rig.cpu.fpsr = 0;
        rig.run({0xF210, 0x4A00});  // FMOVE.X (A0),FP4
        EXPECT_EQ(rig.cpu.fp[4], fx80_from_extended_longs(img[0], img[1], img[2]));
        EXPECT_EQ(rig.cpu.fpsr & kFpsrExceptionMask, 0u);
        rig.run({0xF221, 0x6A00});  // FMOVE.X FP4,-(A1)
        EXPECT_EQ(rig.bus.peek_long(rig.cpu.addr_regs[1]), img[0]);
        EXPECT_EQ(rig.bus.peek_long(rig.cpu.addr_regs[1] + 4), img[1]);
        EXPECT_EQ(rig.bus.peek_long(rig.cpu.addr_regs[1] + 8), img[2]);
    }
    EXPECT_EQ(rig.cpu.addr_regs[1], kData + 0x100 - 24);
}

TEST(FpuGeneral, SourceFormatsAndAddressing) {
    Rig rig;
    rig.cpu.fp[0] = fx(1.0);
    rig.run({0xF23C, 0x5022, 0xFFFD});  // FADD.W #-3,FP0
    EXPECT_EQ(rig.cpu.fp[0], fx(-2.0));
    EXPECT_EQ(rig.cpu.pc, kCode + 6);
    EXPECT_NE(rig.cpu.fpsr & kFpsrN, 0u);

    rig.cpu.data_regs[1] = 0x123456F0;
    rig.run({0xF201, 0x5900});  // FMOVE.B D1,FP2: the low byte, sign-extended
    EXPECT_EQ(rig.cpu.fp[2], fx(-16.0));

    rig.run({0xF23C, 0x5500, 0x4049, 0x0000, 0x0000, 0x0000});  // FMOVE.D #50.0,FP2
    EXPECT_EQ(rig.cpu.fp[2], fx(50.0));
    EXPECT_EQ(rig.cpu.pc, kCode + 12);

    rig.cpu.addr_regs[0] = kData;
    rig.bus.poke_long(kData, 0x7FF00000);  // a signalling double NaN
    rig.bus.poke_long(kData + 4, 0x00000001);
    rig.run({0xF218, 0x5580});  // FMOVE.D (A0)+,FP3
    EXPECT_TRUE(fx80_is_nan(rig.cpu.fp[3]));
    EXPECT_FALSE(fx80_is_snan(rig.cpu.fp[3]));
    EXPECT_EQ(rig.cpu.addr_regs[0], kData + 8);

    rig.bus.poke_word(kStack, 0x0742);
    rig.run({0xF21F, 0x5800});  // FMOVE.B (A7)+,FP0: the byte at A7, which moves by 2
    EXPECT_EQ(rig.cpu.fp[0], fx(7.0));
    EXPECT_EQ(rig.sp(), kStack + 2);

    // Packed 1.25E0 through memory.
    rig.cpu.addr_regs[2] = kData + 0x40;
    rig.bus.poke_long(kData + 0x40, 0x00000001);
    rig.bus.poke_long(kData + 0x44, 0x25000000);
    rig.bus.poke_long(kData + 0x48, 0x00000000);
    rig.run({0xF212, 0x4C80});  // FMOVE.P (A2),FP1
    EXPECT_EQ(rig.cpu.fp[1], fx(1.25));

    // Not allowed: extended from a data register, anything from An, mode 7 register 5.
    for (auto words : {std::pair<uint16_t, uint16_t>{0xF200, 0x4800}, {0xF208, 0x4000}, {0xF23D, 0x4000}}) {
        EXPECT_EQ(rig.run({words.first, words.second}).status(), StepStatus::LineF);
    }
}

TEST(FpuGeneral, DestinationAddressing) {
    Rig rig;
    rig.cpu.fp[0] = fx(-5.0);
    rig.bus.poke_word(kStack - 2, 0xAAAA);
    rig.run({0xF227, 0x7800});  // FMOVE.B FP0,-(A7)
    EXPECT_EQ(rig.sp(), kStack - 2);
    EXPECT_EQ(rig.bus.peek_word(kStack - 2), 0xFBAA);

    rig.cpu.fp[3] = fx(1.0);
    rig.run({0xF239, 0x6D82, 0x0000, 0x3100});  // FMOVE.P FP3,$3100.L{#2}
    EXPECT_EQ(rig.bus.peek_long(0x3100), 0x00000001u);
    EXPECT_EQ(rig.bus.peek_long(0x3104), 0x00000000u);
    EXPECT_EQ(rig.cpu.pc, kCode + 8);

    // Not allowed: double to Dn, any An, an immediate destination.
    for (auto words : {std::pair<uint16_t, uint16_t>{0xF200, 0x7400}, {0xF208, 0x6000}, {0xF23C, 0x6000}}) {
        const Cpu before = rig.cpu;
        EXPECT_EQ(rig.run({words.first, words.second}).status(), StepStatus::LineF);
        EXPECT_EQ(rig.cpu.addr_regs, before.addr_regs);
    }
}

// The k-factor is a signed 7-bit field, static in the command or the low bits of Dn.
TEST(FpuGeneral, PackedKFactor) {
    struct Case {
        uint16_t command;  // FMOVE.P FP0,(A0){k}
        uint32_t d1;
        int k;
    };
    const Case cases[] = {
        {0x6C7E, 0, -2},            // static -2
        {0x6C05, 0, 5},             // static 5
        {0x7C10, 0xFFFFFF82u, 2},   // dynamic D1: only bits 6-0 count
        {0x7C10, 0x0000007Fu, -1},  // dynamic D1: -1
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.cpu.fp[0] = fx(1234.5678);
        rig.cpu.data_regs[1] = c.d1;
        rig.cpu.addr_regs[0] = kData;
        ASSERT_EQ(rig.run({0xF210, c.command}).status(), StepStatus::Ok);
        uint8_t flags = 0;
        const PackedDecimal expected = fx80_to_packed(fx(1234.5678), c.k, flags);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(rig.bus.peek_long(kData + 4 * i), expected.longs[i]) << c.k;
        EXPECT_EQ(rig.cpu.fpsr, 0u);
    }
}

TEST(FpuGeneral, ControlRegisters) {
    Rig rig;
    rig.cpu.data_regs[0] = 0xFFFFFFFF;
    rig.run({0xF200, 0x9000});  // FMOVE D0,FPCR: every bit
    EXPECT_EQ(rig.cpu.fpcr, 0xFFFFFFFFu);
    EXPECT_EQ(rig.run({0xF200, 0xBC00}).status(), StepStatus::LineF) << "three registers to D0";
    EXPECT_EQ(rig.run({0xF208, 0xA400}).status(), StepStatus::LineF) << "An";

    rig.cpu.fpcr = 0x11;
    rig.cpu.fpsr = 0x22;
    rig.cpu.fpiar = 0x33;
    rig.cpu.addr_regs[0] = kData + 12;
    rig.run({0xF220, 0xBC00});  // FMOVEM FPCR/FPSR/FPIAR,-(A0)
    EXPECT_EQ(rig.cpu.addr_regs[0], kData);
    EXPECT_EQ(rig.bus.peek_long(kData), 0x11u);
    EXPECT_EQ(rig.bus.peek_long(kData + 4), 0x22u);
    EXPECT_EQ(rig.bus.peek_long(kData + 8), 0x33u);
    rig.run({0xF200, 0xA800});  // FMOVE FPSR,D0
    EXPECT_EQ(rig.cpu.data_regs[0], 0x22u);

    rig.bus.poke_long(kData + 4, 0x0F00FFFF);
    rig.run({0xF218, 0x8C00});  // FMOVEM (A0)+,FPSR/FPIAR: the first two longs
    EXPECT_EQ(rig.cpu.fpsr, 0x11u);
    EXPECT_EQ(rig.cpu.fpiar, 0x0F00FFFFu);
    EXPECT_EQ(rig.cpu.addr_regs[0], kData + 8);

    rig.run({0xF23C, 0x9800, 0x0000, 0x0030, 0x0800, 0x0000});  // FMOVEM #,FPCR/FPSR
    EXPECT_EQ(rig.cpu.fpcr, 0x30u);
    EXPECT_EQ(rig.cpu.fpsr, 0x08000000u);
    EXPECT_EQ(rig.cpu.pc, kCode + 12);
}

TEST(FpuGeneral, FmovemOrderAndAddressing) {
    for (uint16_t order : {uint16_t{0x1000}, uint16_t{0}}) {
        Rig rig;
        for (int i = 0; i < 8; ++i) rig.cpu.fp[i] = fx(i + 1.0);
        rig.cpu.addr_regs[0] = kData;
        rig.run({0xF210, static_cast<uint16_t>(0xE081 | order)});  // list 0x81 to (A0)
        EXPECT_EQ(rig.bus.peek_long(kData + 4), fx80_to_extended_longs(fx(1.0)).longs[1]) << "FP0 first";
        EXPECT_EQ(rig.bus.peek_long(kData + 12), fx80_to_extended_longs(fx(8.0)).longs[0]) << "then FP7";
        EXPECT_EQ(rig.bus.peek_long(kData + 16), fx80_to_extended_longs(fx(8.0)).longs[1]);
        EXPECT_EQ(rig.bus.peek_long(kData + 24), 0u) << "nothing else";
    }
    Rig rig;
    for (int i = 0; i < 8; ++i) rig.cpu.fp[i] = fx(i + 1.0);
    rig.cpu.addr_regs[0] = kData + 36;
    rig.run({0xF220, 0xE007});  // FP0-FP2 to -(A0)
    EXPECT_EQ(rig.cpu.addr_regs[0], kData);
    EXPECT_EQ(rig.bus.peek_long(kData + 28), fx80_to_extended_longs(fx(3.0)).longs[1]);
    rig.cpu.data_regs[5] = 0xFFE0;  // dynamic list: FP5-FP7 with bit 12 clear
    rig.run({0xF218, 0xC850});      // FMOVEM (A0)+,D5
    EXPECT_EQ(rig.cpu.fp[5], fx(1.0));
    EXPECT_EQ(rig.cpu.fp[7], fx(3.0));
    EXPECT_EQ(rig.cpu.addr_regs[0], kData + 36);
    EXPECT_EQ(rig.run({0xF200, 0xE0FF}).status(), StepStatus::LineF) << "Dn";
    EXPECT_EQ(rig.run({0xF23C, 0xC0FF}).status(), StepStatus::LineF) << "immediate";
}

TEST(FpuGeneral, M68060Traps) {
    // Run: FADD, FMUL, FSQRT.
    {
        Rig rig(CpuType::M68060);
        rig.cpu.fp[0] = fx(4.0);
        rig.run({0xF200, 0x0004});
        EXPECT_EQ(rig.cpu.fp[0], fx(2.0));
        rig.run({0xF200, 0x0023});
        EXPECT_EQ(rig.cpu.fp[0], fx(4.0));
        rig.run({0xF200, 0x0022});
        EXPECT_EQ(rig.cpu.fp[0], fx(8.0));
    }
    // FINT traps with a format-2 frame and a zero address.
    {
        Rig rig(CpuType::M68060);
        rig.cpu.fp[0] = fx(2.5);
        rig.run({0xF200, 0x0001});
        EXPECT_EQ(rig.cpu.fp[0], fx(2.5));
        EXPECT_EQ(rig.cpu.pc, kLineFHandler);
        EXPECT_EQ(rig.bus.peek_word(rig.sp() + 6), 0x202C);
        EXPECT_EQ(rig.bus.peek_long(rig.sp() + 8), 0u);
    }
    // A trapped opmode from memory reports the operand's address and applies (An)+.
    {
        Rig rig(CpuType::M68060);
        rig.cpu.addr_regs[0] = kData;
        rig.run({0xF218, 0x480E});  // FSIN.X (A0)+,FP0
        EXPECT_EQ(rig.bus.peek_long(rig.sp() + 8), kData);
        EXPECT_EQ(rig.cpu.addr_regs[0], kData + 12);
        EXPECT_EQ(rig.bus.peek_long(rig.sp() + 2), kCode + 4);
    }
    // Packed operands, a dynamic list and a multi-register immediate: vectors 55 and 60.
    struct VectorCase {
        std::initializer_list<uint16_t> words;
        uint32_t handler;
    };
    const VectorCase cases[] = {
        {{0xF210, 0x6C00}, kVector55Handler},                          // FMOVE.P FP0,(A0)
        {{0xF210, 0x4C00}, kVector55Handler},                          // FMOVE.P (A0),FP0
        {{0xF23C, 0x4C00, 0, 0, 0, 0, 0, 0}, kVector60Handler},        // FMOVE.P #,FP0
        {{0xF210, 0xF810}, kVector60Handler},                          // FMOVEM (A0),D1
        {{0xF23C, 0x9800, 0, 0, 0, 0}, kVector60Handler},              // FMOVEM #,FPCR/FPSR
    };
    for (const auto& c : cases) {
        Rig rig(CpuType::M68060);
        rig.cpu.addr_regs[0] = kData;
        EXPECT_EQ(rig.run(c.words).status(), StepStatus::Ok);
        EXPECT_EQ(rig.cpu.pc, c.handler) << std::hex << *(c.words.begin() + 1);
    }
    {
        Rig rig(CpuType::M68060);
        rig.run({0xF23C, 0x9000, 0x0000, 0x0010});  // one control register from an immediate runs
        EXPECT_EQ(rig.cpu.fpcr, 0x10u);
    }
    // PCR bit 1 disables the FPU: a format-4 line F at the instruction.
    {
        Rig rig(CpuType::M68060);
        rig.cpu.pcr |= 2;
        rig.cpu.fp[0] = fx(4.0);
        rig.run({0xF200, 0x0004});
        EXPECT_EQ(rig.cpu.fp[0], fx(4.0));
        EXPECT_EQ(rig.cpu.pc, kLineFHandler);
        EXPECT_EQ(rig.bus.peek_word(rig.sp() + 6), 0x402C);
        EXPECT_EQ(rig.bus.peek_long(rig.sp() + 2), kCode);
        EXPECT_TRUE(rig.cpu.fpu_null_state);
    }
}

// The M68060 FScc trap computes the byte operand's address.
TEST(FpuGeneral, M68060FsccTrapAddress) {
    Rig rig(CpuType::M68060);
    rig.cpu.addr_regs[2] = kData;
    rig.run({0xF262, 0x0001});  // FSEQ -(A2)
    EXPECT_EQ(rig.cpu.pc, kLineFHandler);
    EXPECT_EQ(rig.cpu.addr_regs[2], kData - 1);
    EXPECT_EQ(rig.bus.peek_long(rig.sp() + 8), kData - 1);
    EXPECT_EQ(rig.bus.peek_word(kData - 2), 0) << "nothing written";
}

}  // namespace
}  // namespace m68k
