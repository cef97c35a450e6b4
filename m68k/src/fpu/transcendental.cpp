#include "fpu/transcendental.hpp"

#include <cmath>

#include "fpu/kernels.hpp"

namespace m68k {

namespace {

constexpr Fx80Pair kPairOne = pair_of(fx80_one());
constexpr Fx80 kHalf{kFx80IntegerBit, 0x3FFE};
constexpr int kSinhSeriesRounds = 41;
constexpr int kSeriesExponentGap = 130;
constexpr double kTanhSaturation = 32.0;
constexpr double kSeriesThreshold = 0.5;
// Beyond these |x| the exponential of the operand is far outside the extended range (by
// hundreds of binades), so the result is an overflow or an underflow without evaluation.
constexpr double kExpRangeLimit = 12000.0;      // e^x, sinh, cosh, e^x - 1
constexpr double kTwoToXRangeLimit = 17000.0;   // 2^x
constexpr double kTenToXRangeLimit = 5000.0;    // 10^x
// From here on sinh and cosh are e^|x| / 2 to far beyond 128 bits, and e^x - 1 is e^x.
constexpr double kHyperbolicLargeArgument = 64.0;
constexpr double kExpm1LargeArgument = 200.0;
constexpr double kExpm1SaturatedArgument = -100.0;
// Below 2^-5000 the x^2 and x^3 terms fall out of the extended range inside the pair
// arithmetic, so the pair is (x, 0) or (1, 0) and the one rounding would call it exact.
constexpr uint16_t kTinyArgumentExponent = 0x3FFF - 5000;

struct Ctx {
    RoundingPrecision precision;
    RoundingMode mode;
    uint8_t& flags;

    Fx80 round(Fx80Pair p) const { return fx80_add(p.hi, p.lo, precision, mode, flags); }
    Fx80 round_scaled(Fx80Pair p, int64_t k) const {
        return fx80_add_scaled(p.hi, p.lo, k, precision, mode, flags);
    }
    Fx80 operr() const {
        flags |= kFlagOperr;
        return kFx80DefaultNan;
    }
    Fx80 pole(unsigned sign) const {
        flags |= kFlagDz;
        return fx80_inf(sign);
    }
    // A result beyond the range by far: rounded by the mode with OVFL or UNFL.
    Fx80 overflow(unsigned sign) const {
        return fx80_round_pack(sign, int64_t{1} << 20, kFx80IntegerBit, 0, precision, mode, flags);
    }
    Fx80 underflow(unsigned sign) const {
        return fx80_round_pack(sign, -(int64_t{1} << 20), kFx80IntegerBit, 0, precision, mode, flags);
    }
};

double estimate(Fx80 x) { return fx80_host_estimate(x); }

// f(x) for a tiny x where f(x) = x + c x^3 (or x + c x^2): x nudged by far less than half a unit,
// away from zero or toward it, and rounded once, so the directed modes, INEX2 and UNFL come out
// as for the exact value.
Fx80 round_nudged(Fx80 x, bool away, const Ctx& c) {
    constexpr int32_t kLift = 256;
    constexpr int32_t kNudge = 100;
    uint8_t dropped = 0;
    const Fx80 a = fx80_scale(x, kLift, kPrecisionExtended, kRoundNearest, dropped);  // exact
    Fx80 b = fx80_scale(fx80_abs(a), -kNudge, kPrecisionExtended, kRoundNearest, dropped);
    if ((fx80_sign(x) != 0) == away) b = fx80_negate(b);
    return fx80_add_scaled(a, b, -kLift, c.precision, c.mode, c.flags);
}

// The tiny-argument results, or false when the function has none.
bool tiny_argument(uint8_t opmode, Fx80 x, const Ctx& c, Fx80& out) {
    const bool positive = fx80_sign(x) == 0;
    const Fx80 far_below = fx80_make(0, 0x3FFF - 16000, kFx80IntegerBit);
    switch (opmode) {
        case kOpFsin: case kOpFtanh: case kOpFatan: out = round_nudged(x, false, c); return true;
        case kOpFtan: case kOpFsinh: case kOpFasin: case kOpFatanh: out = round_nudged(x, true, c); return true;
        case kOpFetoxm1: out = round_nudged(x, positive, c); return true;  // x + x^2/2
        case kOpFlognp1: out = round_nudged(x, !positive, c); return true;  // x - x^2/2
        case kOpFcos: out = c.round({fx80_one(), fx80_negate(far_below)}); return true;  // 1 - x^2/2
        case kOpFcosh: out = c.round({fx80_one(), far_below}); return true;  // 1 + x^2/2
        default: return false;
    }
}

// |x| > 1 and |x| == 1, decided on the fields.
bool magnitude_above_one(Fx80 x) {
    const uint16_t e = fx80_exp(x);
    return e >= 0x4000 || (e == 0x3FFF && x.mantissa > kFx80IntegerBit);
}
bool magnitude_is_one(Fx80 x) { return fx80_exp(x) == 0x3FFF && x.mantissa == kFx80IntegerBit; }

const TranscendentalConstants& constants() { return transcendental_constants(); }

Fx80 one_minus_square_root(Fx80 x, Fx80Pair& ratio) {
    const Fx80Pair px = pair_of(x);
    const Fx80Pair one_minus_sq = pair_add(kPairOne, pair_negate(pair_mul(px, px)));
    ratio = pair_div(px, pair_sqrt(one_minus_sq));
    return x;
}

Fx80 eval_sinh(Fx80 x, const Ctx& c) {
    if (fx80_is_zero(x) || fx80_is_inf(x)) return x;
    const double d = std::fabs(estimate(x));
    const unsigned sign = fx80_sign(x);
    if (d <= kSeriesThreshold) {
        const Fx80Pair px = pair_of(x);
        const Fx80Pair x2 = pair_mul(px, px);
        Fx80Pair term = px, sum = px;
        for (int i = 0, n = 3; i < kSinhSeriesRounds; ++i, n += 2) {
            term = pair_div(pair_mul(term, x2), pair_of(fx80_from_int64(int64_t{n} * (n - 1))));
            sum = pair_add(sum, term);
            if (fx80_is_zero(term.hi) ||
                (!fx80_is_zero(sum.hi) && int{fx80_exp(sum.hi)} - int{fx80_exp(term.hi)} > kSeriesExponentGap)) {
                break;
            }
        }
        return c.round(sum);
    }
    if (d > kExpRangeLimit) return c.overflow(sign);
    if (d > kHyperbolicLargeArgument) {
        const ScaledExp e = pair_exp_scaled(pair_of(fx80_abs(x)));
        return c.round_scaled(sign ? pair_negate(e.sum) : e.sum, e.k - 1);
    }
    const Fx80Pair e = pair_exp(pair_of(x));
    const Fx80Pair diff = pair_add(e, pair_negate(pair_div(kPairOne, e)));
    return c.round(pair_times_exact(diff, kHalf));
}

Fx80 eval_cosh(Fx80 x, const Ctx& c) {
    if (fx80_is_zero(x)) return fx80_one();
    if (fx80_is_inf(x)) return fx80_inf(0);
    const double d = std::fabs(estimate(x));
    if (d > kExpRangeLimit) return c.overflow(0);
    if (d > kHyperbolicLargeArgument) {
        const ScaledExp e = pair_exp_scaled(pair_of(fx80_abs(x)));
        return c.round_scaled(e.sum, e.k - 1);
    }
    const Fx80Pair e = pair_exp(pair_of(x));
    const Fx80Pair sum = pair_add(e, pair_div(kPairOne, e));
    return c.round(pair_times_exact(sum, kHalf));
}

// e^y for y = x * factor, factor a constant pair (nullptr: y = x); `limit` screens |x|.
Fx80 eval_exp_family(Fx80 x, const Fx80Pair* factor, double limit, const Ctx& c) {
    if (fx80_is_zero(x)) return fx80_one();
    if (fx80_is_inf(x)) return fx80_sign(x) ? fx80_zero(0) : x;
    const double d = estimate(x);
    if (d > limit) return c.overflow(0);
    if (d < -limit) return c.underflow(0);
    const Fx80Pair y = factor ? pair_times_exact(*factor, x) : pair_of(x);
    // The power of two goes into the one final rounding, so results below the normal range
    // round once, by the mode, with UNFL and INEX2, and large ones never meet an infinite 2^k.
    const ScaledExp e = pair_exp_scaled(y);
    return c.round_scaled(e.sum, e.k);
}

Fx80 eval_expm1(Fx80 x, const Ctx& c) {
    if (fx80_is_zero(x)) return x;
    if (fx80_is_inf(x)) return fx80_sign(x) ? fx80_one(1) : x;
    const double d = estimate(x);
    if (d > kExpRangeLimit) return c.overflow(0);
    if (d > kExpm1LargeArgument) {
        const ScaledExp e = pair_exp_scaled(pair_of(x));
        return c.round_scaled(e.sum, e.k);
    }
    if (d < kExpm1SaturatedArgument) {
        // e^x is below 2^-144: -1 plus a positive amount far under half a unit of -1.
        return c.round({fx80_one(1), fx80_make(0, 0x3FFF - 200, kFx80IntegerBit)});
    }
    return c.round(pair_expm1(x));
}

Fx80 eval_tanh(Fx80 x, const Ctx& c) {
    if (fx80_is_zero(x)) return x;
    const unsigned sign = fx80_sign(x);
    if (fx80_is_inf(x)) return fx80_one(sign);
    if (std::fabs(estimate(x)) > kTanhSaturation) {
        c.flags |= kFlagInex2;
        return fx80_one(sign);
    }
    uint8_t dropped = 0;
    const Fx80 two_x = fx80_scale(x, 1, kPrecisionExtended, kRoundNearest, dropped);
    const Fx80Pair t = pair_expm1(two_x);
    return c.round(pair_div(t, pair_add_scalar(t, fx80_from_int64(2))));
}

Fx80 eval_lognp1(Fx80 x, const Ctx& c) {
    if (fx80_is_zero(x)) return x;
    if (fx80_is_inf(x)) return fx80_sign(x) ? c.operr() : x;
    if (fx80_sign(x)) {
        if (magnitude_is_one(x)) return c.pole(1);
        if (magnitude_above_one(x)) return c.operr();
    }
    const Fx80Pair px = pair_of(x);
    if (std::fabs(estimate(x)) <= kSeriesThreshold) {
        const Fx80Pair z = pair_div(px, pair_add_scalar(px, fx80_from_int64(2)));
        return c.round(pair_times_exact(pair_atan_series(z, false), fx80_from_int64(2)));
    }
    return c.round(pair_ln(pair_add_scalar(px, fx80_one())));
}

Fx80 eval_log(Fx80 x, const Fx80Pair* factor, const Ctx& c) {
    if (fx80_is_zero(x)) return c.pole(1);
    if (fx80_sign(x)) return c.operr();
    if (fx80_is_inf(x)) return x;
    const Fx80Pair ln = pair_ln(pair_of(x));
    return c.round(factor ? pair_mul(ln, *factor) : ln);
}

Fx80 eval_atan(Fx80 x, const Ctx& c) {
    if (fx80_is_zero(x)) return x;
    if (fx80_is_inf(x)) {
        const Fx80Pair h = constants().half_pi;
        return c.round(fx80_sign(x) ? pair_negate(h) : h);
    }
    return c.round(pair_atan(pair_of(x)));
}

Fx80 eval_asin(Fx80 x, const Ctx& c) {
    if (fx80_is_zero(x)) return x;
    if (fx80_is_inf(x) || magnitude_above_one(x)) return c.operr();
    if (magnitude_is_one(x)) {
        const Fx80Pair h = constants().half_pi;
        return c.round(fx80_sign(x) ? pair_negate(h) : h);
    }
    Fx80Pair ratio;
    one_minus_square_root(x, ratio);
    return c.round(pair_atan(ratio));
}

Fx80 eval_acos(Fx80 x, const Ctx& c) {
    if (fx80_is_inf(x) || magnitude_above_one(x)) return c.operr();
    if (magnitude_is_one(x)) return fx80_sign(x) ? c.round(constants().pi) : fx80_zero(0);
    Fx80Pair ratio;
    one_minus_square_root(x, ratio);
    return c.round(pair_add(constants().half_pi, pair_negate(pair_atan(ratio))));
}

Fx80 eval_atanh(Fx80 x, const Ctx& c) {
    if (fx80_is_zero(x)) return x;
    if (fx80_is_inf(x) || magnitude_above_one(x)) return c.operr();
    if (magnitude_is_one(x)) return c.pole(fx80_sign(x));
    const Fx80Pair px = pair_of(x);
    if (std::fabs(estimate(x)) <= kSeriesThreshold) return c.round(pair_atan_series(px, false));
    const Fx80Pair num = pair_add_scalar(px, fx80_one());
    const Fx80Pair den = pair_add(kPairOne, pair_negate(px));
    return c.round(pair_times_exact(pair_ln(pair_div(num, den)), kHalf));
}

Fx80 eval_sin_or_cos(Fx80 x, bool cosine, const Ctx& c) {
    if (fx80_is_zero(x) && !cosine) return x;
    const SinCosPairs sc = pair_sincos(x, c.flags);
    return c.round(cosine ? sc.cosine : sc.sine);
}

Fx80 eval_tan(Fx80 x, const Ctx& c) {
    if (fx80_is_zero(x)) return x;
    if (fx80_is_inf(x)) return c.operr();
    const HalfPiReduction red = reduce_half_pi(x);
    const SinCosPairs sc = pair_sincos_series(red.r);
    if ((red.k & 1) == 0) return c.round(pair_div(sc.sine, sc.cosine));
    return c.round(pair_negate(pair_div(sc.cosine, sc.sine)));
}

}  // namespace

TranscendentalResult fpu_transcendental(uint8_t opmode, Fx80 x, RoundingPrecision precision,
                                        RoundingMode mode, uint8_t& flags) {
    switch (opmode) {
        case kOpFsinh: case kOpFlognp1: case kOpFetoxm1: case kOpFtanh: case kOpFatan:
        case kOpFasin: case kOpFatanh: case kOpFsin: case kOpFtan: case kOpFetox:
        case kOpFtwotox: case kOpFtentox: case kOpFlogn: case kOpFlog10: case kOpFlog2:
        case kOpFcosh: case kOpFacos: case kOpFcos:
            break;
        default:
            return {false, {}};
    }
    if (fx80_is_nan(x)) return {true, fx80_propagate_nan(x, flags)};
    const Ctx c{precision, mode, flags};
    if (!fx80_is_zero(x) && fx80_exp(x) < kTinyArgumentExponent) {
        Fx80 out;
        if (tiny_argument(opmode, x, c, out)) return {true, out};
    }
    const TranscendentalConstants& k = constants();
    switch (opmode) {
        case kOpFsinh: return {true, eval_sinh(x, c)};
        case kOpFlognp1: return {true, eval_lognp1(x, c)};
        case kOpFetoxm1: return {true, eval_expm1(x, c)};
        case kOpFtanh: return {true, eval_tanh(x, c)};
        case kOpFatan: return {true, eval_atan(x, c)};
        case kOpFasin: return {true, eval_asin(x, c)};
        case kOpFatanh: return {true, eval_atanh(x, c)};
        case kOpFsin: return {true, eval_sin_or_cos(x, false, c)};
        case kOpFtan: return {true, eval_tan(x, c)};
        case kOpFetox: return {true, eval_exp_family(x, nullptr, kExpRangeLimit, c)};
        case kOpFtwotox: return {true, eval_exp_family(x, &k.ln2, kTwoToXRangeLimit, c)};
        case kOpFtentox: return {true, eval_exp_family(x, &k.ln10, kTenToXRangeLimit, c)};
        case kOpFlogn: return {true, eval_log(x, nullptr, c)};
        case kOpFlog10: return {true, eval_log(x, &k.log10e, c)};
        case kOpFlog2: return {true, eval_log(x, &k.log2e, c)};
        case kOpFcosh: return {true, eval_cosh(x, c)};
        case kOpFacos: return {true, eval_acos(x, c)};
        default: return {true, eval_sin_or_cos(x, true, c)};
    }
}

SinCosResult fpu_fsincos(Fx80 x, RoundingPrecision precision, RoundingMode mode, uint8_t& flags) {
    const SinCosPairs sc = pair_sincos(x, flags);
    if (!sc.valid) return {sc.sine.hi, sc.cosine.hi};
    if (fx80_is_zero(x)) return {x, fx80_one()};
    if (fx80_exp(x) < kTinyArgumentExponent) {
        const Ctx c{precision, mode, flags};
        Fx80 sine, cosine;
        tiny_argument(kOpFsin, x, c, sine);
        tiny_argument(kOpFcos, x, c, cosine);
        return {sine, cosine};
    }
    SinCosResult r;
    r.sine = fx80_add(sc.sine.hi, sc.sine.lo, precision, mode, flags);
    r.cosine = fx80_add(sc.cosine.hi, sc.cosine.lo, precision, mode, flags);
    return r;
}

}  // namespace m68k
