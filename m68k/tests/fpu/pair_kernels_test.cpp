#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "fpu/kernels.hpp"
#include "fpu/pair.hpp"

namespace m68k {
namespace {

__extension__ typedef __int128 i128;

std::string hex(Fx80 x) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04X:%016llX", x.sign_exp, static_cast<unsigned long long>(x.mantissa));
    return buf;
}

Fx80 fx(uint16_t se, uint64_t m) { return Fx80{m, se}; }

int unbiased(Fx80 x) { return int{fx80_exp(x)} - kFx80Bias; }

// hi + lo as a signed 128-bit fixed-point number whose bit 127 weighs 2^top.
i128 to_fixed(Fx80Pair p, int top) {
    auto part = [&](Fx80 x) -> i128 {
        if (fx80_is_zero(x)) return 0;
        const int shift = unbiased(x) - top + 64;  // where mantissa bit 0 lands
        u128 v = x.mantissa;
        v = shift >= 0 ? v << shift : v >> -shift;
        return fx80_sign(x) ? -static_cast<i128>(v) : static_cast<i128>(v);
    };
    return part(p.hi) + part(p.lo);
}

u128 u128_of(uint64_t hi, uint64_t lo) { return (u128(hi) << 64) | lo; }

TEST(Fx80Pair, TwoProductGivesTheExactError) {
    const Fx80Pair r = fx80_two_product(fx(0x3FFF, 0x8000000000000001), fx(0x3FFF, 0x8000000000000001));
    EXPECT_EQ(hex(r.hi), "3FFF:8000000000000002");
    EXPECT_EQ(hex(r.lo), "3F81:8000000000000000");  // 2^-126
}

#if defined(__x86_64__) && LDBL_MANT_DIG == 64
TEST(Fx80Pair, TwoProductErrorMatchesFmal) {
    std::mt19937_64 rng(3);
    for (int i = 0; i < 20000; ++i) {
        const Fx80 a = fx(static_cast<uint16_t>(0x3FFF + static_cast<int>(rng() % 2000) - 1000 + (rng() % 2) * 0x8000),
                          rng() | kFx80IntegerBit);
        const Fx80 b = fx(static_cast<uint16_t>(0x3FFF + static_cast<int>(rng() % 2000) - 1000), rng() | kFx80IntegerBit);
        const Fx80Pair r = fx80_two_product(a, b);
        long double la, lb, lp;
        std::memcpy(&la, &a, 10);
        std::memcpy(&lb, &b, 10);
        std::memcpy(&lp, &r.hi, 10);
        const long double e = std::fmal(la, lb, -lp);
        Fx80 fe;
        std::memcpy(&fe.mantissa, &e, 8);
        std::memcpy(&fe.sign_exp, reinterpret_cast<const char*>(&e) + 8, 2);
        ASSERT_EQ(hex(r.lo), hex(fe)) << hex(a) << " x " << hex(b);
    }
}
#endif

TEST(Fx80Pair, AddDivideAndRoot) {
    const Fx80Pair one = pair_of(fx80_one());
    const Fx80 tiny = fx(0x3FFF - 70, kFx80IntegerBit);
    const Fx80Pair s = pair_add(one, pair_of(tiny));
    EXPECT_EQ(s.hi, fx80_one());
    EXPECT_EQ(s.lo, tiny);

    // 1/3: the correctly rounded hi and a negative lo of a third of its last place.
    const Fx80Pair third = pair_div(one, pair_of(fx(0x4000, 0xC000000000000000)));
    EXPECT_EQ(hex(third.hi), "3FFD:AAAAAAAAAAAAAAAB");
    EXPECT_EQ(fx80_sign(third.lo), 1u);
    EXPECT_EQ(unbiased(third.lo), -2 - 63 - 2);
    EXPECT_EQ(third.lo.mantissa >> 56, 0xAAu);
    // 3 x (hi + lo) is 1 to within 2^-120.
    const i128 err = to_fixed(pair_mul_scalar(third, fx(0x4000, 0xC000000000000000)), 0) -
                     static_cast<i128>(u128(1) << 127);
    EXPECT_LT(err < 0 ? -err : err, i128{1} << 8);

    const Fx80Pair root2 = pair_sqrt(pair_of(fx(0x4000, 0x8000000000000000)));
    EXPECT_EQ(hex(root2.hi), "3FFF:B504F333F9DE6484");
    EXPECT_EQ(fx80_sign(root2.lo), 0u);
    // lo is about 0.35 of hi's last place (2^-63).
    EXPECT_EQ(unbiased(root2.lo), -65);
    const i128 sq = to_fixed(pair_mul(root2, root2), 1) - static_cast<i128>(u128(1) << 127);
    EXPECT_LT(sq < 0 ? -sq : sq, i128{1} << 8);

    EXPECT_EQ(pair_sqrt(pair_of(fx80_zero(1))).hi, fx80_zero(1));
    const Fx80Pair z = pair_atan_series(pair_of(fx80_zero(0)), true);
    EXPECT_TRUE(fx80_is_zero(z.hi) && fx80_is_zero(z.lo));
}

// The shared constants: hi is the constant ROM's value, hi + lo is good to about 2^-120.
TEST(Fx80Pair, ConstantsAreRightToAboutTwoHundredFortyBits) {
    const TranscendentalConstants& c = transcendental_constants();
    struct Want {
        const char* name;
        const Fx80Pair& pair;
        const char* hi;
        int top;
        u128 exact;  // value x 2^(127 - top), rounded
    } wants[] = {
        {"pi", c.pi, "4000:C90FDAA22168C235", 1, u128_of(0xc90fdaa22168c234, 0xc4c6628b80dc1cd1)},
        {"half_pi", c.half_pi, "3FFF:C90FDAA22168C235", 0, u128_of(0xc90fdaa22168c234, 0xc4c6628b80dc1cd1)},
        {"ln2", c.ln2, "3FFE:B17217F7D1CF79AC", -1, u128_of(0xb17217f7d1cf79ab, 0xc9e3b39803f2f6af)},
        {"ln10", c.ln10, "4000:935D8DDDAAA8AC17", 1, u128_of(0x935d8dddaaa8ac16, 0xea56d62b82d30a29)},
        {"log2e", c.log2e, "3FFF:B8AA3B295C17F0BC", 0, u128_of(0xb8aa3b295c17f0bb, 0xbe87fed0691d3e89)},
        {"log10e", c.log10e, "3FFD:DE5BD8A937287195", -2, u128_of(0xde5bd8a937287195, 0x355baaafad33dc32)},
    };
    for (const Want& w : wants) {
        EXPECT_EQ(hex(w.pair.hi), w.hi) << w.name;
        const i128 err = to_fixed(w.pair, w.top) - static_cast<i128>(w.exact);
        EXPECT_LT(err < 0 ? -err : err, i128{1} << 8) << w.name;
    }
}

TEST(TranscendentalKernels, ReductionAndQuadrants) {
    const TranscendentalConstants& c = transcendental_constants();
    // The extended pi lies above the pair pi by |pi.lo|.
    const HalfPiReduction red = reduce_half_pi(fx(0x4000, 0xC90FDAA22168C235));
    EXPECT_EQ(red.k, 2);
    EXPECT_NEAR(static_cast<double>(fx80_host_estimate(red.r.hi)), 5.0166e-20, 0.0001e-20);
    EXPECT_EQ(red.r.hi, fx80_negate(c.pi.lo));

    uint8_t flags = 0;
    const SinCosPairs sc = pair_sincos(fx(0xBFFF, 0xC90FDAA22168C235), flags);
    EXPECT_EQ(sc.sine.hi, fx80_one(1));
    EXPECT_EQ(fx80_sign(sc.sine.lo), 0u);
    EXPECT_EQ(sc.cosine.hi, c.half_pi.lo);
    EXPECT_NEAR(fx80_host_estimate(sc.cosine.hi), -2.5083e-20, 0.0001e-20);
    EXPECT_EQ(flags, 0);
}

TEST(TranscendentalKernels, LogExpAndArctangentAnchors) {
    const TranscendentalConstants& c = transcendental_constants();
    const Fx80Pair ln2 = pair_ln(pair_of(fx(0x4000, kFx80IntegerBit)));
    EXPECT_EQ(ln2.hi, c.ln2.hi);
    EXPECT_EQ(ln2.lo, c.ln2.lo);
    // ln 1.5 = ln 0.75 + ln 2.
    const Fx80Pair ln15 = pair_ln(pair_of(fx(0x3FFF, 0xC000000000000000)));
    EXPECT_EQ(hex(ln15.hi), "3FFD:CF991F65FCC25F96");

    const Fx80Pair e0 = pair_exp(pair_of(fx80_zero(0)));
    EXPECT_EQ(e0.hi, fx80_one());
    EXPECT_TRUE(fx80_is_zero(e0.lo));

    // Both sides of the series threshold agree to far below the last place.
    const Fx80Pair a = pair_expm1(fx(0x3FFE, 0x8000000000000000));
    const Fx80Pair b = pair_expm1(fx(0x3FFE, 0x800000006DF37F67));  // 0.5000000001
    EXPECT_EQ(hex(a.hi), "3FFE:A61298E1E069BC97");
    EXPECT_EQ(fx80_exp(b.hi), fx80_exp(a.hi));

    // atan 1 = pi / 4, not inverted, halved twice.
    const Fx80Pair quarter_pi = pair_atan(pair_of(fx80_one()));
    const i128 err = to_fixed(quarter_pi, -1) - static_cast<i128>(u128_of(0xc90fdaa22168c234, 0xc4c6628b80dc1cd1));
    EXPECT_LT(err < 0 ? -err : err, i128{1} << 8);
}

}  // namespace
}  // namespace m68k
