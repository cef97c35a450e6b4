#include "fpu/kernels.hpp"

#include <bit>
#include <cmath>
#include <limits>

#include "fpu/two_over_pi_table.hpp"

namespace m68k {

namespace {

constexpr double kTwoOverPi = 0.6366197723675814;
constexpr double kLog2E = 1.4426950408889634;
constexpr double kSqrt2 = 1.4142135623730951;
constexpr int kTrigSeriesRounds = 31;
constexpr int kExpSeriesRounds = 61;
constexpr int kSeriesExponentGap = 130;
constexpr int kMaxHalvings = 64;
constexpr uint16_t kHugeAtanArgument = 0x3FFF + 80;

constexpr Fx80Pair kPairOne = pair_of(fx80_one());
constexpr Fx80Pair kPairMinusOne = {fx80_one(1), fx80_zero(1)};
constexpr Fx80 kHalf{kFx80IntegerBit, 0x3FFE};

bool negligible(Fx80 sum, Fx80 term) {
    if (fx80_is_zero(term)) return true;
    return !fx80_is_zero(sum) && int{fx80_exp(sum)} - int{fx80_exp(term)} > kSeriesExponentGap;
}

// Host-double integer estimates saturate instead of overflowing the conversion.
int64_t to_int64_saturated(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
    if (v <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(v);
}

int32_t clamp_int32(int64_t v) {
    if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

// Exponent of the top set bit of a finite non-zero value.
int64_t top_exponent(Fx80 x) {
    if (fx80_exp(x) == 0) return (63 - std::countl_zero(x.mantissa)) - 16445;
    return int64_t{fx80_exp(x)} - kFx80Bias;
}

Fx80 scale_ext(Fx80 x, int64_t n) {
    uint8_t f = 0;
    return fx80_scale(x, clamp_int32(n), kPrecisionExtended, kRoundNearest, f);
}

Fx80 pow2_ext(int64_t k) {
    uint8_t f = 0;
    return fx80_round_pack(0, clamp_int32(k), kFx80IntegerBit, 0, kPrecisionExtended, kRoundNearest, f);
}

// |x| from 2^32 on is reduced exactly against the digits of 2/pi: the pair pi/2 carries about
// 128 bits, which stop being enough once k itself has dozens of bits.
constexpr uint16_t kWideReductionExponent = 0x401F;
constexpr int kWindowWords = 4;               // 256 bits of 2/pi per reduction
constexpr int kWindowBits = 64 * kWindowWords;

// A 320-bit product, word 0 most significant.
struct Wide {
    uint64_t w[kWindowWords + 1];

    // Bits [low, low + 64), bit 0 being the least significant bit of the product.
    uint64_t get64(int low) const {
        if (low < 0) return low <= -64 ? 0 : get64(0) << -low;
        const int idx = low / 64, sh = low % 64;
        auto word = [&](int k) -> uint64_t { return k <= kWindowWords ? w[kWindowWords - k] : 0; };
        return sh == 0 ? word(idx) : (word(idx) >> sh) | (word(idx + 1) << (64 - sh));
    }
    int highest_bit() const {
        for (int i = 0; i <= kWindowWords; ++i) {
            if (w[i] != 0) return (kWindowWords - i) * 64 + 63 - std::countl_zero(w[i]);
        }
        return -1;
    }
};

HalfPiReduction reduce_half_pi_wide(Fx80 x) {
    const unsigned sign = fx80_sign(x);
    const int64_t e = int64_t{fx80_exp(x)} - kFx80Bias;  // exponent of mantissa bit 63
    const uint64_t m = x.mantissa;
    if (m == 0) return {0, pair_of(fx80_zero(sign))};
    // x * 2/pi = m * sum(b_i 2^(e - 63 - i)): the bits with e - 63 - i >= 2 only add multiples
    // of four, so the window starts at bit e - 64.
    const int64_t first = e - 64 < 1 ? 1 : e - 64;
    const int s = static_cast<int>(e - 63 - first);  // <= 1
    const int64_t offset = first - 1;
    const int64_t q = offset / 64;
    const int r = static_cast<int>(offset % 64);
    uint64_t window[kWindowWords];
    for (int k = 0; k < kWindowWords; ++k) {
        const uint64_t a = kTwoOverPiBits[q + k];
        const uint64_t b = kTwoOverPiBits[q + k + 1];
        window[k] = r == 0 ? a : (a << r) | (b >> (64 - r));
    }
    Wide p{};
    u128 carry = 0;
    for (int k = kWindowWords - 1; k >= 0; --k) {
        const u128 prod = u128(m) * window[k] + carry;
        p.w[k + 1] = static_cast<uint64_t>(prod);
        carry = prod >> 64;
    }
    p.w[0] = static_cast<uint64_t>(carry);

    // p x 2^(s - 255): the bits from `frac_bits` up count quadrants, those below are the fraction.
    const int frac_bits = kWindowBits - 1 - s;
    int64_t quadrant = static_cast<int64_t>(p.get64(frac_bits) & 3);
    // Clear the quadrant bits, and take the fraction from the nearer quadrant.
    for (int i = 0; i <= kWindowWords; ++i) {
        const int low = (kWindowWords - i) * 64;
        if (low >= frac_bits) p.w[i] = 0;
        else if (low + 64 > frac_bits) p.w[i] &= (uint64_t{1} << (frac_bits - low)) - 1;
    }
    const bool upper_half = ((p.get64(frac_bits - 1)) & 1) != 0;
    if (upper_half) {
        // 2^frac_bits - fraction, in 320-bit two's complement, then masked back.
        uint64_t borrow = 0;
        for (int i = kWindowWords; i >= 0; --i) {
            const uint64_t v = p.w[i];
            p.w[i] = 0 - v - borrow;
            borrow = (v != 0 || borrow != 0) ? 1 : 0;
        }
        for (int i = 0; i <= kWindowWords; ++i) {
            const int low = (kWindowWords - i) * 64;
            if (low >= frac_bits) p.w[i] = 0;
            else if (low + 64 > frac_bits) p.w[i] &= (uint64_t{1} << (frac_bits - low)) - 1;
        }
        quadrant = (quadrant + 1) & 3;
    }
    const int lead = p.highest_bit();
    Fx80Pair r_pair = pair_of(fx80_zero(0));
    if (lead >= 0) {
        // The fraction's top 128 bits as an exact pair of quadrants, then times pi/2.
        const uint64_t top = p.get64(lead - 63);
        const uint64_t next = p.get64(lead - 127);
        const int32_t top_exp = lead - frac_bits;  // exponent of the fraction's leading bit
        uint8_t f = 0;
        const Fx80 a = fx80_round_pack(0, top_exp, top, 0, kPrecisionExtended, kRoundNearest, f);
        const Fx80 b = fx80_round_pack(0, top_exp - 64, next, 0, kPrecisionExtended, kRoundNearest, f);
        r_pair = pair_mul(pair_add(pair_of(a), pair_of(b)), transcendental_constants().half_pi);
        if (upper_half) r_pair = pair_negate(r_pair);
    }
    if (sign) return {(4 - quadrant) & 3, pair_negate(r_pair)};
    return {quadrant, r_pair};
}

}  // namespace

Fx80Pair pair_times_int(Fx80Pair c, int64_t k) {
    return pair_times_exact(c, fx80_from_int64(k));
}

Fx80Pair pair_times_exact(Fx80Pair a, Fx80 b) {
    const Fx80Pair pe = fx80_two_product(a.hi, b);
    return pair_renormalise(pe.hi, ext_add(pe.lo, ext_mul(a.lo, b)));
}

HalfPiReduction reduce_half_pi(Fx80 x) {
    if (fx80_is_finite(x) && fx80_exp(x) >= kWideReductionExponent) return reduce_half_pi_wide(x);
    const double d = fx80_host_estimate(x);
    const int64_t k = to_int64_saturated(std::round(d * kTwoOverPi));
    const Fx80Pair r = pair_add(pair_of(x), pair_negate(pair_times_int(transcendental_constants().half_pi, k)));
    return {k, r};
}

SinCosPairs pair_sincos_series(Fx80Pair r) {
    const Fx80Pair m = pair_negate(pair_mul(r, r));
    Fx80Pair term = r, sine = r;
    for (int i = 0, n = 3; i < kTrigSeriesRounds; ++i, n += 2) {
        term = pair_div(pair_mul(term, m), pair_of(fx80_from_int64(int64_t{n} * (n - 1))));
        sine = pair_add(sine, term);
        if (negligible(sine.hi, term.hi)) break;
    }
    term = kPairOne;
    Fx80Pair cosine = kPairOne;
    for (int i = 0, n = 2; i < kTrigSeriesRounds; ++i, n += 2) {
        term = pair_div(pair_mul(term, m), pair_of(fx80_from_int64(int64_t{n} * (n - 1))));
        cosine = pair_add(cosine, term);
        if (negligible(cosine.hi, term.hi)) break;
    }
    return {true, sine, cosine};
}

SinCosPairs pair_sincos(Fx80 x, uint8_t& flags) {
    if (fx80_is_nan(x)) {
        const Fx80Pair q = pair_of(fx80_propagate_nan(x, flags));
        return {false, q, q};
    }
    if (fx80_is_inf(x)) {
        flags |= kFlagOperr;
        return {false, pair_of(kFx80DefaultNan), pair_of(kFx80DefaultNan)};
    }
    if (fx80_is_zero(x)) return {true, {x, fx80_zero(fx80_sign(x))}, kPairOne};
    const HalfPiReduction red = reduce_half_pi(x);
    const SinCosPairs sc = pair_sincos_series(red.r);
    switch (red.k & 3) {
        case 0: return {true, sc.sine, sc.cosine};
        case 1: return {true, sc.cosine, pair_negate(sc.sine)};
        case 2: return {true, pair_negate(sc.sine), pair_negate(sc.cosine)};
        default: return {true, pair_negate(sc.cosine), sc.sine};
    }
}

Fx80Pair pair_ln(Fx80Pair x) {
    int64_t k = top_exponent(x.hi);
    Fx80Pair m{scale_ext(x.hi, -k), scale_ext(x.lo, -k)};
    if (fx80_host_estimate(m.hi) > kSqrt2) {
        m = {scale_ext(m.hi, -1), scale_ext(m.lo, -1)};
        ++k;
    }
    const Fx80Pair z = pair_div(pair_add(m, kPairMinusOne), pair_add(m, kPairOne));
    const Fx80Pair series = pair_times_exact(pair_atan_series(z, false), fx80_from_int64(2));
    return pair_add(pair_times_int(transcendental_constants().ln2, k), series);
}

ScaledExp pair_exp_scaled(Fx80Pair x) {
    const int64_t k = to_int64_saturated(std::round(fx80_host_estimate(x.hi) * kLog2E));
    const Fx80Pair r = pair_add(x, pair_negate(pair_times_int(transcendental_constants().ln2, k)));
    Fx80Pair term = kPairOne, sum = kPairOne;
    for (int i = 1; i <= kExpSeriesRounds; ++i) {
        term = pair_div(pair_mul(term, r), pair_of(fx80_from_int64(i)));
        sum = pair_add(sum, term);
        if (negligible(sum.hi, term.hi)) break;
    }
    return {k, sum};
}

Fx80Pair pair_exp(Fx80Pair x) {
    const ScaledExp s = pair_exp_scaled(x);
    const Fx80 t = pow2_ext(s.k);
    const Fx80Pair pe = fx80_two_product(s.sum.hi, t);
    return pair_renormalise(pe.hi, ext_add(pe.lo, ext_mul(s.sum.lo, t)));
}

Fx80Pair pair_expm1(Fx80 x) {
    if (fx80_is_finite(x) && std::fabs(fx80_host_estimate(x)) <= 0.5) {
        const Fx80Pair px = pair_of(x);
        Fx80Pair term = px, sum = px;
        for (int i = 2; i <= kExpSeriesRounds; ++i) {
            term = pair_div(pair_mul(term, px), pair_of(fx80_from_int64(i)));
            sum = pair_add(sum, term);
            if (negligible(sum.hi, term.hi)) break;
        }
        return sum;
    }
    return pair_add(pair_exp(pair_of(x)), kPairMinusOne);
}

Fx80Pair pair_atan(Fx80Pair x) {
    const bool negative = fx80_sign(x.hi) != 0;
    if (negative) x = pair_negate(x);
    bool inverted = false;
    if (fx80_exp(x.hi) != 0 && !fx80_is_nan(x.hi) && fx80_host_estimate(x.hi) > 1.0) {
        // Far above 2^64, 1/x is needed only to a few bits past pi/2's last place, and the
        // exact products of the pair quotient would overflow in their splitting.
        x = fx80_exp(x.hi) > kHugeAtanArgument ? pair_of(ext_div(fx80_one(), x.hi)) : pair_div(kPairOne, x);
        inverted = true;
    }
    int halvings = 0;
    while (halvings < kMaxHalvings && fx80_is_finite(x.hi) && !fx80_is_zero(x.hi) &&
           fx80_host_estimate(x.hi) > 0.3) {
        const Fx80Pair root = pair_sqrt(pair_add_scalar(pair_mul(x, x), fx80_one()));
        x = pair_div(x, pair_add_scalar(root, fx80_one()));
        ++halvings;
    }
    Fx80Pair a = pair_atan_series(x, true);
    const Fx80 two = fx80_from_int64(2);
    for (int i = 0; i < halvings; ++i) a = pair_times_exact(a, two);
    if (inverted) a = pair_add(transcendental_constants().half_pi, pair_negate(a));
    return negative ? pair_negate(a) : a;
}

}  // namespace m68k
