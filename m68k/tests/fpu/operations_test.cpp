#include "fpu/operations.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace m68k {
namespace {

std::string hex(Fx80 x) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04X:%016llX", x.sign_exp, static_cast<unsigned long long>(x.mantissa));
    return buf;
}

Fx80 fx(uint16_t se, uint64_t m) { return Fx80{m, se}; }

const Fx80 kOne = fx(0x3FFF, 0x8000000000000000);
const Fx80 kTwo = fx(0x4000, 0x8000000000000000);
constexpr uint32_t kFpcrRn = 0x00;

TEST(FpuConstantRom, ValuesAndUnusedOffsets) {
    EXPECT_EQ(hex(fpu_constant_rom(0x00)), "4000:C90FDAA22168C235");
    EXPECT_EQ(hex(fpu_constant_rom(0x0C)), "4000:ADF85458A2BB4A9A");
    EXPECT_EQ(hex(fpu_constant_rom(0x0F)), "0000:0000000000000000");
    EXPECT_EQ(hex(fpu_constant_rom(0x01)), "0000:0000000000000000");
    EXPECT_EQ(hex(fpu_constant_rom(0x40)), "0000:0000000000000000");
    EXPECT_EQ(hex(fpu_constant_rom(0x32)), hex(kOne));
    EXPECT_EQ(hex(fpu_constant_rom(0x33)), "4002:A000000000000000");
}

#if defined(__x86_64__) && LDBL_MANT_DIG == 64
Fx80 from_ld(long double v) {
    Fx80 x;
    std::memcpy(&x.mantissa, &v, 8);
    std::memcpy(&x.sign_exp, reinterpret_cast<const char*>(&v) + 8, 2);
    return x;
}

// The x87's own constants and correctly rounded powers of ten (10^128 and above included).
TEST(FpuConstantRom, MatchesX87AndStrtold) {
    long double pi, lg2, l2e, ln2;
    asm("fldpi" : "=t"(pi));
    asm("fldlg2" : "=t"(lg2));
    asm("fldl2e" : "=t"(l2e));
    asm("fldln2" : "=t"(ln2));
    EXPECT_EQ(hex(fpu_constant_rom(0x00)), hex(from_ld(pi)));
    EXPECT_EQ(hex(fpu_constant_rom(0x0B)), hex(from_ld(lg2)));
    EXPECT_EQ(hex(fpu_constant_rom(0x0D)), hex(from_ld(l2e)));
    EXPECT_EQ(hex(fpu_constant_rom(0x30)), hex(from_ld(ln2)));
    EXPECT_EQ(hex(fpu_constant_rom(0x31)), hex(from_ld(logl(10.0L))));
    for (int i = 0; i <= 12; ++i) {
        const std::string text = "1e" + std::to_string(1 << i);
        EXPECT_EQ(hex(fpu_constant_rom(static_cast<uint8_t>(0x33 + i))), hex(from_ld(std::strtold(text.c_str(), nullptr))))
            << text;
    }
}
#endif

TEST(FpuRemainder, ModAndRemExamples) {
    const Fx80 x2_75 = fx(0x4000, 0xB000000000000000);
    const Fx80 x0_75 = fx(0x3FFE, 0xC000000000000000);
    struct Case {
        const char* name;
        Fx80 a, b;
        bool rem;
        Fx80 want;
        uint8_t quotient, qsign, flags;
    } cases[] = {
        {"fmod 2.75,1", x2_75, kOne, false, x0_75, 2, 0, 0},
        {"frem 2.75,1", x2_75, kOne, true, fx(0xBFFD, 0x8000000000000000), 3, 0, 0},
        {"frem 0.75,1", x0_75, kOne, true, fx(0xBFFD, 0x8000000000000000), 1, 0, 0},
        {"fmod 5,inf", fx(0x4001, 0xA000000000000000), fx80_inf(0), false, fx(0x4001, 0xA000000000000000), 0, 0, 0},
        {"fmod -0,3", fx(0x8000, 0), fx(0x4000, 0xC000000000000000), false, fx(0x8000, 0), 0, 1, 0},
        {"fmod inf,3", fx80_inf(0), kTwo, false, kFx80DefaultNan, 0, 0, kFlagOperr},
        {"fmod 3,0", kTwo, fx(0, 0), false, kFx80DefaultNan, 0, 0, kFlagOperr},
        {"fmod 3,unnormal 0", kTwo, fx(0x3FFF, 0), false, kFx80DefaultNan, 0, 0, kFlagOperr},
        {"frem 3,2 ties even", fx(0x4000, 0xC000000000000000), kTwo, true, fx(0xBFFF, 0x8000000000000000), 2, 0, 0},
        {"frem 5,2 ties even", fx(0x4001, 0xA000000000000000), kTwo, true, kOne, 2, 0, 0},
        {"fmod -7,2", fx(0xC001, 0xE000000000000000), kTwo, false, fx(0xBFFF, 0x8000000000000000), 3, 1, 0},
        {"fmod 2^100,3: quotient low bits", fx(0x4063, 0x8000000000000000), fx(0x4000, 0xC000000000000000), false,
         kOne, 0x55, 0, 0},
        {"fmod max,min denormal", fx(0x7FFE, 0xFFFFFFFFFFFFFFFF), fx(0, 1), false, fx(0, 0), 0, 0, 0},
    };
    for (const Case& c : cases) {
        uint8_t flags = 0;
        const RemainderResult r = fx80_remainder(c.a, c.b, c.rem, flags);
        EXPECT_EQ(hex(r.value), hex(c.want)) << c.name;
        EXPECT_EQ(r.quotient, c.quotient) << c.name;
        EXPECT_EQ(r.quotient_sign, c.qsign) << c.name;
        EXPECT_EQ(flags, c.flags) << c.name;
    }
}

TEST(FpuOperations, GetExpGetManAndScale) {
    uint8_t flags = 0;
    EXPECT_EQ(hex(fx80_getexp(fx(0x3FFD, 0x8000000000000000), flags)), "C000:8000000000000000");  // 0.25 -> -2
    EXPECT_EQ(hex(fx80_getexp(fx(0x3FFF, 0xC000000000000000), flags)), "0000:0000000000000000");  // 1.5 -> +0
    EXPECT_EQ(hex(fx80_getexp(fx(0, 1), flags)), hex(fx80_from_int64(-16445)));
    EXPECT_EQ(hex(fx80_getman(fx(0x4002, 0xC000000000000000), flags)), "3FFF:C000000000000000");  // 12 -> 1.5
    EXPECT_EQ(flags, 0);
    EXPECT_TRUE(fx80_is_nan(fx80_getexp(fx80_inf(1), flags)));
    EXPECT_EQ(flags, kFlagOperr);

    struct Scale {
        const char* name;
        Fx80 fpn, src;
        Fx80 want;
        uint8_t flags;
    } scales[] = {
        {"by 1.5", kOne, fx(0x3FFF, 0xC000000000000000), kTwo, kFlagInex2},
        {"by -1", kTwo, fx80_one(1), kOne, 0},
        {"by +inf", kOne, fx80_inf(0), kFx80DefaultNan, kFlagOperr},
        {"by qnan returns it", kOne, fx(0x7FFF, 0xC000000000000123), fx(0x7FFF, 0xC000000000000123), 0},
        {"by snan", kOne, fx(0x7FFF, 0x8000000000000123), fx(0x7FFF, 0xC000000000000123), kFlagSnan | kFlagOperr},
        {"nan fpn wins", fx(0xFFFF, 0xC000000000000001), fx(0x7FFF, 0xC000000000000002), fx(0xFFFF, 0xC000000000000001), 0},
        {"by 2^40 saturates", kOne, fx(0x4027, 0x8000000000000000), fx80_inf(0), kFlagOperr | kFlagOvfl | kFlagInex2},
        {"zero by 5", fx(0x8000, 0), fx(0x4001, 0xA000000000000000), fx(0x8000, 0), 0},
    };
    for (const Scale& s : scales) {
        uint8_t f = 0;
        EXPECT_EQ(hex(fpu_fscale(s.fpn, s.src, 0, kRoundNearest, f)), hex(s.want)) << s.name;
        EXPECT_EQ(f, s.flags) << s.name;
    }
}

// FCMP's condition codes against C comparisons over the special values.
TEST(FpuOperations, CompareMatchesCComparisons) {
    const double values[] = {-INFINITY, -1.0, -0.0, 0.0, 1.0, 2.0, INFINITY, NAN};
    for (double a : values) {
        for (double b : values) {
            uint64_t ab, bb;
            std::memcpy(&ab, &a, 8);
            std::memcpy(&bb, &b, 8);
            const FpuOpResult r = fpu_compute(0x38, fx80_from_double(ab), fx80_from_double(bb), kFpcrRn);
            ASSERT_EQ(r.kind, FpuOpKind::Compare);
            const bool unordered = std::isnan(a) || std::isnan(b);
            EXPECT_EQ((r.condition & kFpsrNan) != 0, unordered) << a << " " << b;
            EXPECT_EQ((r.condition & kFpsrZ) != 0, a == b) << a << " " << b;
            EXPECT_EQ((r.condition & kFpsrN) != 0, a < b) << a << " " << b;
            EXPECT_EQ(r.condition & kFpsrI, 0u);
        }
    }
}

uint32_t run(uint8_t opmode, Fx80 fpn, Fx80 src, uint32_t fpcr, uint32_t fpsr, Fx80* stored = nullptr) {
    const FpuOpResult r = fpu_compute(opmode, fpn, src, fpcr);
    Fx80 out = fpn;
    if (r.kind != FpuOpKind::Compare && r.kind != FpuOpKind::Test && r.kind != FpuOpKind::Invalid) out = r.value;
    if (stored) *stored = out;
    return fpsr_after(fpsr, r, out);
}

// FPSR bookkeeping per opmode class.
TEST(FpuOperations, FpsrRulesPerOpmodeClass) {
    const Fx80 snan = fx(0x7FFF, 0x8000000000000001);
    const uint32_t prior = 0xF0AA3E78;  // bits everywhere, to see what each class keeps
    Fx80 out;

    // FMOVE, FABS, FNEG: condition codes only; a signalling NaN stays signalling.
    uint32_t fpsr = run(0x00, kOne, snan, kFpcrRn, prior, &out);
    EXPECT_EQ(out, snan);
    EXPECT_EQ(fpsr, (prior & ~kFpsrConditionMask) | kFpsrNan);
    fpsr = run(0x1A, kOne, fx(0, 0), kFpcrRn, prior, &out);
    EXPECT_EQ(out, fx(0x8000, 0));
    EXPECT_EQ(fpsr, (prior & ~kFpsrConditionMask) | kFpsrZ | kFpsrN);
    // FTST of -0: Z and N, nothing else changes.
    fpsr = run(0x3A, kOne, fx(0x8000, 0), kFpcrRn, prior, &out);
    EXPECT_EQ(out, kOne);
    EXPECT_EQ(fpsr, (prior & ~kFpsrConditionMask) | kFpsrZ | kFpsrN);

    // FSMOVE of a 25-bit value rounds to 24 bits and reports INEX2 as a store.
    fpsr = run(0x40, kOne, fx(0x3FFF, 0x8000018000000000), kFpcrRn, 0, &out);
    EXPECT_EQ(hex(out), "3FFF:8000020000000000");
    EXPECT_EQ(fpsr, (uint32_t{kFlagInex2} << 8) | kFpsrAccruedInex);
    fpsr = run(0x5E, kOne, fx(0x3FFF, 0x8000000000000401), kFpcrRn, 0, &out);  // FDNEG
    EXPECT_EQ(hex(out), "BFFF:8000000000000800");
    fpsr = run(0x40, kOne, snan, kFpcrRn, 0, &out);
    EXPECT_EQ(out, snan);

    // A store replaces the exception byte and ORs the accrued byte.
    fpsr = run(0x20, kOne, fx(0x4000, 0xC000000000000000), kFpcrRn, 0x0000FF00 | kFpsrAccruedDz, &out);
    EXPECT_EQ(hex(out), "3FFD:AAAAAAAAAAAAAAAB");
    EXPECT_EQ(fpsr, (uint32_t{kFlagInex2} << 8) | kFpsrAccruedDz | kFpsrAccruedInex);
    // An underflow to zero accrues UNFL (it comes with INEX2).
    fpsr = run(0x23, fx(0x0001, 0x8000000000000000), fx(0x3FBE, 0x8000000000000000), kFpcrRn, 0, &out);
    EXPECT_EQ(out, fx(0, 0));
    EXPECT_EQ(fpsr, kFpsrZ | (uint32_t{kFlagUnfl | kFlagInex2} << 8) | kFpsrAccruedUnfl | kFpsrAccruedInex);
    EXPECT_EQ(fpsr_with_exceptions(0, kFlagUnfl), uint32_t{kFlagUnfl} << 8);
    EXPECT_EQ(fpsr_with_exceptions(0, kFlagSnan | kFlagOperr), 0x6000u | kFpsrAccruedIop);

    // FCMP with a NaN: NAN alone, exception byte cleared for a quiet NaN, accrued kept.
    fpsr = run(0x38, kOne, fx(0xFFFF, 0xC000000000000000), kFpcrRn, prior, &out);
    EXPECT_EQ(fpsr, (prior & ~(kFpsrConditionMask | kFpsrExceptionMask)) | kFpsrNan);
    fpsr = run(0x38, kOne, snan, kFpcrRn, 0, &out);
    EXPECT_EQ(fpsr, kFpsrNan | 0x6000u | kFpsrAccruedIop);
    fpsr = run(0x38, fx(0, 0), fx(0x8000, 0), kFpcrRn, prior, &out);
    EXPECT_EQ(fpsr, (prior & ~(kFpsrConditionMask | kFpsrExceptionMask)) | kFpsrZ);

    // FMOD writes the quotient byte.
    fpsr = run(0x21, fx(0xC001, 0xE000000000000000), kTwo, kFpcrRn, 0, &out);
    EXPECT_EQ((fpsr >> 16) & 0xFF, 0x83u);

    // No instruction: nothing changes.
    for (uint8_t op : {0x05, 0x42, 0x50, 0x29, 0x39, 0x3B, 0x4E, 0x17}) {
        EXPECT_EQ(fpu_compute(op, kOne, kOne, kFpcrRn).kind, FpuOpKind::Invalid) << int(op);
        EXPECT_EQ(run(op, kOne, kOne, kFpcrRn, prior), prior);
    }
}

TEST(FpuOperations, PrecisionModeAndRoundingForms) {
    // FPCR precision bits 7-6 and mode bits 5-4; opmode bit 6 forces single or double.
    EXPECT_EQ(fpu_precision(0x22, 0x40), kPrecisionSingle);
    EXPECT_EQ(fpu_precision(0x22, 0x80), kPrecisionDouble);
    EXPECT_EQ(fpu_precision(0x22, 0xC0), kPrecisionExtended);
    EXPECT_EQ(fpu_precision(0x62, 0x80), kPrecisionSingle);
    EXPECT_EQ(fpu_precision(0x66, 0x40), kPrecisionDouble);
    EXPECT_EQ(fpu_rounding_mode(0x30), kRoundPlus);

    // FINT ignores the precision: 2.5 and -2.5 round to even.
    FpuOpResult r = fpu_compute(0x01, kOne, fx(0x4000, 0xA000000000000000), 0x40);
    EXPECT_EQ(r.value, kTwo);
    EXPECT_EQ(r.flags, kFlagInex2);
    r = fpu_compute(0x01, kOne, fx(0xC000, 0xA000000000000000), 0x00);
    EXPECT_EQ(r.value, fx80_negate(kTwo));
    r = fpu_compute(0x03, kOne, fx(0xC000, 0xE000000000000000), 0x00);  // FINTRZ -3.5
    EXPECT_EQ(hex(r.value), "C000:C000000000000000");

    // FSGLMUL cuts both mantissas to 24 bits before a single-precision product.
    r = fpu_compute(0x27, fx(0x3FFF, 0x80000100000000FF), fx(0x4000, 0x8000000000000001), 0x00);
    EXPECT_EQ(hex(r.value), "4000:8000010000000000");
    EXPECT_EQ(r.flags, 0);
    // FSGLDIV rounds to single.
    r = fpu_compute(0x24, kOne, fx(0x4000, 0xC000000000000000), 0x00);
    EXPECT_EQ(hex(r.value), "3FFD:AAAAAB0000000000");

    // FSINCOS: the sine for FP[n], the cosine for FP[opmode & 7].
    r = fpu_compute(0x33, kOne, fx(0x8000, 0), 0x00);
    EXPECT_EQ(r.kind, FpuOpKind::SinCos);
    EXPECT_EQ(r.value, fx(0x8000, 0));
    EXPECT_EQ(r.cosine, kOne);
    // Transcendentals reach through with FPCR's settings; their single and double forms do not.
    r = fpu_compute(0x10, kOne, fx(0, 0), 0x00);
    EXPECT_EQ(r.kind, FpuOpKind::Store);
    EXPECT_EQ(r.value, kOne);
    EXPECT_EQ(fpu_compute(0x50, kOne, kOne, 0).kind, FpuOpKind::Invalid);
}

}  // namespace
}  // namespace m68k
