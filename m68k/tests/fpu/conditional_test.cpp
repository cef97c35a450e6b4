// FPU condition predicates, FBcc/FDBcc/FScc/FTRAPcc and the FSAVE/FRESTORE frames.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <initializer_list>
#include <limits>

#include "core/exceptions.hpp"
#include "core/handler.hpp"
#include "fpu/conditional.hpp"
#include "fpu/instructions.hpp"
#include "fpu/operations.hpp"
#include "fpu/softfloat.hpp"
#include "m68k/cpu.hpp"
#include "support/test_bus.hpp"
#include "fpu_rig.hpp"

namespace m68k {
namespace {

using namespace fpu_test;

// The expected truth of each predicate, from C comparisons of the two operands.
bool c_predicate(uint32_t p, double a, double b) {
    const bool un = std::isnan(a) || std::isnan(b);
    switch (p) {
        case 0x0: return false;
        case 0x1: return a == b;
        case 0x2: return a > b;
        case 0x3: return a >= b;
        case 0x4: return a < b;
        case 0x5: return a <= b;
        case 0x6: return a < b || a > b;
        case 0x7: return !un;
        case 0x8: return un;
        case 0x9: return un || a == b;
        case 0xA: return un || a > b;
        case 0xB: return un || a >= b;
        case 0xC: return un || a < b;
        case 0xD: return un || a <= b;
        case 0xE: return !(a == b);
        default: return true;
    }
}

// All 32 conditions after FCMP of every pair of special values agree with C's comparisons.
TEST(FpuConditional, PredicatesMatchComparisons) {
    const double inf = std::numeric_limits<double>::infinity();
    const double values[] = {-inf, -1.5, -0.0, 0.0, 1e-310, 1.5, inf, std::nan(""), -std::nan("")};
    for (double a : values) {
        for (double b : values) {
            Cpu cpu;
            cpu.set_cpu_type(CpuType::M68040);
            cpu.fp[0] = fx(a);
            ASSERT_EQ(fpu_operation(cpu, 0x38, 0, fx(b)), 4);
            for (uint32_t cond = 0; cond < 32; ++cond) {
                EXPECT_EQ(fpu_condition_true(cpu.fpsr, cond), c_predicate(cond & 0xF, a, b))
                    << a << " vs " << b << " condition " << cond;
            }
        }
    }
}

TEST(FpuConditional, Fbcc) {
    Rig rig;
    rig.cpu.fpsr = kFpsrZ;
    rig.run({0xF291, 0x0010});  // FBSEQ: taken like FBEQ
    EXPECT_EQ(rig.cpu.pc, kCode + 2 + 0x10);
    rig.run({0xF28E, 0x0010});  // FBNE: not taken
    EXPECT_EQ(rig.cpu.pc, kCode + 4);
    rig.run({0xF2CF, 0xFFFF, 0xFFF0});  // FBT with a 32-bit displacement
    EXPECT_EQ(rig.cpu.pc, kCode + 2 - 0x10);

    // Signalling conditions with NAN set: no BSUN, FPSR unchanged.
    rig.cpu.fpsr = kFpsrNan;
    rig.run({0xF292, 0x0010});  // FBGT
    EXPECT_EQ(rig.cpu.pc, kCode + 4);
    EXPECT_EQ(rig.cpu.fpsr, kFpsrNan);
    // The conditional instructions run on the FPU-less 68040s too.
    Rig ec(CpuType::M68EC040);
    ec.run({0xF28F, 0x0010});
    EXPECT_EQ(ec.cpu.pc, kCode + 2 + 0x10);
}

TEST(FpuConditional, Fdbcc) {
    struct Case {
        uint16_t condition;
        uint32_t d0_before;
        uint32_t d0_after;
        bool branches;
    };
    const Case cases[] = {
        {0x00, 0x00000000, 0x0000FFFF, false},  // false, counter exhausted
        {0x00, 0x12340001, 0x12340000, true},
        {0x0F, 0x12340001, 0x12340001, false},  // true: nothing happens
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.cpu.data_regs[0] = c.d0_before;
        rig.run({0xF248, c.condition, 0xFFF0});
        EXPECT_EQ(rig.cpu.data_regs[0], c.d0_after);
        EXPECT_EQ(rig.cpu.pc, c.branches ? kCode + 4 - 0x10 : kCode + 6);
    }
}

TEST(FpuConditional, Fscc) {
    Rig rig;
    rig.cpu.fpsr = kFpsrN;
    rig.cpu.data_regs[0] = 0x12345600;
    rig.run({0xF240, 0x0014});  // FSLT D0
    EXPECT_EQ(rig.cpu.data_regs[0], 0x123456FFu);
    rig.run({0xF240, 0x0001});  // FSEQ D0
    EXPECT_EQ(rig.cpu.data_regs[0], 0x12345600u);

    rig.bus.poke_word(kStack, 0);
    rig.run({0xF25F, 0x000F});  // FST (A7)+
    EXPECT_EQ(rig.sp(), kStack + 2);
    EXPECT_EQ(rig.bus.peek_word(kStack), 0xFF00);
    rig.cpu.addr_regs[1] = kData + 1;
    rig.run({0xF261, 0x000F});  // FST -(A1)
    EXPECT_EQ(rig.cpu.addr_regs[1], kData);
    EXPECT_EQ(rig.bus.peek_word(kData), 0xFF00);
    rig.cpu.addr_regs[2] = kData;
    rig.run({0xF26A, 0x000F, 0x0011});  // FST (17,A2)
    EXPECT_EQ(rig.bus.peek_word(kData + 0x10), 0x00FF);
    EXPECT_EQ(rig.cpu.pc, kCode + 6);
    EXPECT_EQ(fpu_fscc(rig.cpu, rig.bus, 7, 4, 0xF), 0) << "no such address";
}

TEST(FpuConditional, Ftrapcc) {
    Rig rig;
    rig.run({0xF27B, 0x0000, 0x1234, 0x5678});  // FTRAPF.L: operands skipped
    EXPECT_EQ(rig.cpu.pc, kCode + 8);
    rig.cpu.fpsr = kFpsrZ;
    rig.run({0xF27A, 0x0011, 0x1234});  // FTRAPSEQ.W: taken
    EXPECT_EQ(rig.cpu.pc, kTrapHandler);
    EXPECT_EQ(rig.bus.peek_word(rig.sp() + 6), 0x201C);
    EXPECT_EQ(rig.bus.peek_long(rig.sp() + 2), kCode + 6) << "the next instruction";
    EXPECT_EQ(rig.bus.peek_long(rig.sp() + 8), kCode);
}

struct FrameCase {
    CpuType type;
    std::initializer_list<uint32_t> idle;
};

// FSAVE -(A7) writes the family's frame below the old A7, first long lowest; a null FPU saves
// one zero long.
TEST(FpuFrames, FsaveFramesPerType) {
    const FrameCase cases[] = {
        {CpuType::M68EC020, {0x1F180000, 0, 0, 0, 0, 0, 0x70000000}},
        {CpuType::M68030, {0x1F180000, 0, 0, 0, 0, 0, 0x70000000}},
        {CpuType::M68EC040, {0x41280000, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {CpuType::M68040, {0x41280000, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {CpuType::M68060, {0x00006000, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.type));
        Rig rig(c.type);
        for (uint32_t a = kStack - 64; a < kStack; a += 4) rig.bus.poke_long(a, 0xDEADBEEF);
        rig.run({0xF327});  // null state
        EXPECT_EQ(rig.sp(), kStack - 4);
        EXPECT_EQ(rig.bus.peek_long(kStack - 4), 0u);

        rig.cpu.fpu_null_state = false;
        rig.cpu.addr_regs[7] = kStack;
        rig.run({0xF327});
        const uint32_t size = static_cast<uint32_t>(c.idle.size() * 4);
        EXPECT_EQ(rig.sp(), kStack - size);
        EXPECT_EQ(fsave_idle_frame_size(c.type), size);
        uint32_t a = rig.sp();
        for (uint32_t v : c.idle) {
            EXPECT_EQ(rig.bus.peek_long(a), v) << "offset " << a - rig.sp();
            a += 4;
        }
        EXPECT_FALSE(rig.cpu.fpu_null_state) << "FSAVE changes nothing";
    }
}

TEST(FpuFrames, FrestoreAndRoundTrip) {
    Rig rig;
    rig.cpu.addr_regs[0] = kData;
    rig.bus.poke_long(kData, 0x1F180000);  // a 68881 idle frame
    rig.run({0xF358});                     // FRESTORE (A0)+
    EXPECT_EQ(rig.cpu.addr_regs[0], kData + 28);
    EXPECT_FALSE(rig.cpu.fpu_null_state);

    rig.cpu.fp[3] = fx(1.0);
    rig.cpu.fpcr = 0x30;
    rig.cpu.fpsr = 0x08000000;
    rig.cpu.fpiar = 0x1234;
    rig.bus.poke_long(kData + 28, 0x00FFFFFF);  // null: the top byte is zero
    rig.run({0xF358});
    EXPECT_EQ(rig.cpu.addr_regs[0], kData + 32);
    EXPECT_TRUE(rig.cpu.fpu_null_state);
    for (const Fx80& r : rig.cpu.fp) EXPECT_EQ(r, kFx80DefaultNan);
    EXPECT_EQ(rig.cpu.fpcr, 0u);
    EXPECT_EQ(rig.cpu.fpsr, 0u);
    EXPECT_EQ(rig.cpu.fpiar, 0u);

    rig.cpu.addr_regs[1] = kData + 0x100;
    rig.bus.poke_long(kData + 0x100, 0xDEADBEEF);
    rig.run({0xF311});  // FSAVE (A1): the null frame again
    EXPECT_EQ(rig.bus.peek_long(kData + 0x100), 0u);
    EXPECT_EQ(rig.cpu.addr_regs[1], kData + 0x100);

    // The M68060 judges by bits 15-8 and always steps 12.
    Rig r60(CpuType::M68060);
    r60.cpu.addr_regs[0] = kData;
    r60.bus.poke_long(kData, 0x00006000);
    r60.run({0xF358});
    EXPECT_FALSE(r60.cpu.fpu_null_state);
    EXPECT_EQ(r60.cpu.addr_regs[0], kData + 12);
    r60.bus.poke_long(kData + 12, 0x1F180000);
    r60.run({0xF358});
    EXPECT_TRUE(r60.cpu.fpu_null_state) << "bits 15-8 clear";
    EXPECT_EQ(r60.cpu.addr_regs[0], kData + 16);
}

TEST(FpuFrames, RefusedFormsAndDisabledFpu) {
    Rig rig;
    for (uint8_t low : {uint8_t{0x00}, uint8_t{0x08}, uint8_t{0x3A}, uint8_t{0x3C}, uint8_t{0x60}, uint8_t{0x7C},
                        uint8_t{0x80}, uint8_t{0xD0}}) {
        EXPECT_EQ(fpu_save_restore(rig.cpu, rig.bus, low), kSentinelLineF) << std::hex << int{low};
    }
    Rig r60(CpuType::M68060);
    r60.cpu.pcr |= 2;
    r60.cpu.fpu_null_state = false;
    r60.cpu.addr_regs[0] = kData;
    r60.run({0xF350});  // FRESTORE (A0)
    EXPECT_EQ(r60.cpu.pc, kLineFHandler);
    EXPECT_EQ(r60.bus.peek_word(r60.sp() + 6), 0x402C);
    EXPECT_FALSE(r60.cpu.fpu_null_state);
}

}  // namespace
}  // namespace m68k
