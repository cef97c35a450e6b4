#include "fpu/softfloat.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace m68k {

namespace {

constexpr int kKeptBits[3] = {64, 24, 53};
constexpr int64_t kBiasedMaxFinite = 0x7FFE;

int kept_bits(RoundingPrecision precision) { return kKeptBits[precision < 3 ? precision : 0]; }

int clz128(u128 v) {
    const uint64_t hi = static_cast<uint64_t>(v >> 64);
    if (hi != 0) return std::countl_zero(hi);
    return 64 + std::countl_zero(static_cast<uint64_t>(v));
}

// Shift right by `s` (any count), ORing the lost bits into bit 0.
u128 shift_right_sticky(u128 v, int64_t s) {
    if (s <= 0) return v;
    if (s >= 128) return v != 0 ? 1 : 0;
    const u128 lost = v & ((u128(1) << s) - 1);
    return (v >> s) | (lost != 0 ? 1 : 0);
}

bool round_up(RoundingMode mode, unsigned sign, bool odd, bool above_half, bool half, bool inexact) {
    switch (mode) {
        case kRoundNearest: return above_half || (half && odd);
        case kRoundZero: return false;
        case kRoundMinus: return sign != 0 && inexact;
        default: return sign == 0 && inexact;
    }
}

struct Unpacked {
    unsigned sign;
    int64_t exp;  // unbiased exponent of mantissa bit 63
    uint64_t mantissa;
};

// Finite operand: normals and unnormals as stored, denormals normalised.
Unpacked unpack(Fx80 x) {
    const unsigned sign = fx80_sign(x);
    const uint16_t e = fx80_exp(x);
    if (e == 0) {
        if (x.mantissa == 0) return {sign, -16382, 0};
        const int shift = std::countl_zero(x.mantissa);
        return {sign, -16382 - shift, x.mantissa << shift};
    }
    return {sign, e - int64_t{kFx80Bias}, x.mantissa};
}

// Any non-zero mantissa normalised (unnormals too); used where leading zeros would cost bits.
Unpacked unpack_normalised(Fx80 x) {
    Unpacked u = unpack(x);
    if (u.mantissa != 0 && (u.mantissa & kFx80IntegerBit) == 0) {
        const int shift = std::countl_zero(u.mantissa);
        u.mantissa <<= shift;
        u.exp -= shift;
    }
    return u;
}

Fx80 nan_of_two(Fx80 a, Fx80 b, uint8_t& flags) {
    if (fx80_is_snan(a) || fx80_is_snan(b)) flags |= kFlagSnan | kFlagOperr;
    return fx80_quiet(fx80_is_nan(a) ? a : b);
}

Fx80 exact_zero_sum(RoundingMode mode) { return fx80_zero(mode == kRoundMinus ? 1 : 0); }

}  // namespace

Fx80 fx80_propagate_nan(Fx80 x, uint8_t& flags) {
    if (fx80_is_snan(x)) flags |= kFlagSnan | kFlagOperr;
    return fx80_quiet(x);
}

Fx80 fx80_from_int64(int64_t v) {
    if (v == 0) return fx80_zero(0);
    const unsigned sign = v < 0 ? 1 : 0;
    const uint64_t mag = sign ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    const int shift = std::countl_zero(mag);
    return fx80_make(sign, static_cast<uint16_t>(0x403E - shift), mag << shift);
}

Fx80 fx80_round_pack(unsigned sign, int64_t exponent, uint64_t hi, uint64_t lo,
                     RoundingPrecision precision, RoundingMode mode, uint8_t& flags) {
    u128 m = (u128(hi) << 64) | lo;
    if (m == 0) return fx80_zero(sign);
    const int shift = clz128(m);
    m <<= shift;
    // Saturate so that no exponent, however far outside the range, wraps.
    const int64_t limit = int64_t{1} << 40;
    if (exponent > limit) exponent = limit;
    if (exponent < -limit) exponent = -limit;
    int64_t biased = exponent + kFx80Bias - shift;

    if (biased <= 0) {
        m = biased <= -127 ? u128(1) : shift_right_sticky(m, 1 - biased);
        biased = 1;
    }

    const int n = kept_bits(precision);
    u128 kept = m >> (128 - n);
    const u128 rest = m & ((u128(1) << (128 - n)) - 1);
    const u128 half = u128(1) << (127 - n);
    const bool inexact = rest != 0;
    if (inexact) flags |= kFlagInex2;
    if (round_up(mode, sign, (kept & 1) != 0, rest > half, rest == half, inexact)) {
        ++kept;
        if ((kept >> n) != 0) {
            kept >>= 1;
            ++biased;
        }
    }

    const uint64_t top_bit = uint64_t{1} << (n - 1);
    if ((static_cast<uint64_t>(kept) & top_bit) != 0) {
        if (biased > kBiasedMaxFinite) {
            flags |= kFlagOvfl | kFlagInex2;
            const bool to_inf = mode == kRoundNearest || (mode == kRoundMinus && sign != 0) ||
                                (mode == kRoundPlus && sign == 0);
            if (to_inf) return fx80_inf(sign);
            // Largest finite value of the rounding precision, exponent range extended.
            const uint64_t all_ones = ~uint64_t{0} << (64 - n);
            return fx80_make(sign, static_cast<uint16_t>(kBiasedMaxFinite), all_ones);
        }
        return fx80_make(sign, static_cast<uint16_t>(biased), static_cast<uint64_t>(kept) << (64 - n));
    }
    // Denormalised result (biased is 1 here): a non-zero value that lands on zero or on a
    // denormal inexactly has underflowed.
    if (inexact) flags |= kFlagUnfl;
    if (kept == 0) return fx80_zero(sign);
    return fx80_make(sign, 0, static_cast<uint64_t>(kept) << (64 - n));
}

Fx80 fx80_round_to_int(Fx80 x, RoundingMode mode, uint8_t& flags) {
    if (fx80_is_nan(x)) return fx80_propagate_nan(x, flags);
    const uint16_t e = fx80_exp(x);
    const unsigned sign = fx80_sign(x);
    if (e == kFx80ExpMax || (e == 0 && x.mantissa == 0)) return x;
    if (e >= 0x403E) return x;
    if (e >= 0x3FFF) {
        const int frac_bits = 0x403E - e;  // 1..63
        const uint64_t frac = x.mantissa & ((uint64_t{1} << frac_bits) - 1);
        uint64_t integer = x.mantissa >> frac_bits;
        const uint64_t half = uint64_t{1} << (frac_bits - 1);
        if (frac != 0) flags |= kFlagInex2;
        if (round_up(mode, sign, (integer & 1) != 0, frac > half, frac == half, frac != 0)) ++integer;
        if (integer == 0) return fx80_zero(sign);
        const int shift = std::countl_zero(integer);
        return fx80_make(sign, static_cast<uint16_t>(0x403E - shift), integer << shift);
    }
    flags |= kFlagInex2;
    bool one = false;
    switch (mode) {
        case kRoundNearest: one = e == 0x3FFE && x.mantissa > kFx80IntegerBit; break;
        case kRoundZero: one = false; break;
        case kRoundMinus: one = sign != 0; break;
        default: one = sign == 0; break;
    }
    return one ? fx80_one(sign) : fx80_zero(sign);
}

Fx80 fx80_add(Fx80 a, Fx80 b, RoundingPrecision precision, RoundingMode mode, uint8_t& flags) {
    if (fx80_is_nan(a) || fx80_is_nan(b)) return nan_of_two(a, b, flags);
    if (fx80_is_inf(a)) {
        if (fx80_is_inf(b) && fx80_sign(a) != fx80_sign(b)) {
            flags |= kFlagOperr;
            return kFx80DefaultNan;
        }
        return a;
    }
    if (fx80_is_inf(b)) return b;
    const bool za = fx80_is_zero(a), zb = fx80_is_zero(b);
    if (za && zb) {
        // Zeros of one sign keep it in every mode (+0 + +0 is +0 under RM too).
        if (fx80_sign(a) == fx80_sign(b)) return fx80_zero(fx80_sign(a));
        return exact_zero_sum(mode);
    }
    if (za || zb) {
        const Unpacked u = unpack(za ? b : a);
        return fx80_round_pack(u.sign, u.exp, u.mantissa, 0, precision, mode, flags);
    }
    Unpacked ua = unpack(a), ub = unpack(b);
    const bool a_big = ua.exp >= ub.exp;
    const Unpacked& big = a_big ? ua : ub;
    const Unpacked& small = a_big ? ub : ua;
    const int64_t d = big.exp - small.exp;
    const u128 big_field = u128(big.mantissa) << 64;
    const u128 small_field = shift_right_sticky(u128(small.mantissa) << 64, d);
    int64_t exp = big.exp;
    if (big.sign == small.sign) {
        u128 sum = big_field + small_field;
        if (sum < big_field) {  // carry out of bit 127
            sum = (sum >> 1) | (sum & 1) | (u128(1) << 127);
            ++exp;
        }
        return fx80_round_pack(big.sign, exp, static_cast<uint64_t>(sum >> 64),
                               static_cast<uint64_t>(sum), precision, mode, flags);
    }
    if (big_field == small_field) return exact_zero_sum(mode);
    unsigned sign = big.sign;
    u128 diff;
    if (big_field < small_field) {
        diff = small_field - big_field;
        sign = small.sign;
    } else {
        diff = big_field - small_field;
    }
    return fx80_round_pack(sign, exp, static_cast<uint64_t>(diff >> 64), static_cast<uint64_t>(diff),
                           precision, mode, flags);
}

Fx80 fx80_sub(Fx80 a, Fx80 b, RoundingPrecision precision, RoundingMode mode, uint8_t& flags) {
    return fx80_add(a, fx80_negate(b), precision, mode, flags);
}

Fx80 fx80_mul(Fx80 a, Fx80 b, RoundingPrecision precision, RoundingMode mode, uint8_t& flags) {
    if (fx80_is_nan(a) || fx80_is_nan(b)) return nan_of_two(a, b, flags);
    const unsigned sign = fx80_sign(a) ^ fx80_sign(b);
    if (fx80_is_inf(a) || fx80_is_inf(b)) {
        if (fx80_is_zero(a) || fx80_is_zero(b)) {
            flags |= kFlagOperr;
            return kFx80DefaultNan;
        }
        return fx80_inf(sign);
    }
    if (fx80_is_zero(a) || fx80_is_zero(b)) return fx80_zero(sign);
    const Unpacked ua = unpack(a), ub = unpack(b);
    const u128 product = u128(ua.mantissa) * ub.mantissa;
    return fx80_round_pack(sign, ua.exp + ub.exp + 1, static_cast<uint64_t>(product >> 64),
                           static_cast<uint64_t>(product), precision, mode, flags);
}

Fx80 fx80_div(Fx80 a, Fx80 b, RoundingPrecision precision, RoundingMode mode, uint8_t& flags) {
    if (fx80_is_nan(a) || fx80_is_nan(b)) return nan_of_two(a, b, flags);
    const unsigned sign = fx80_sign(a) ^ fx80_sign(b);
    if (fx80_is_inf(b)) {
        if (fx80_is_inf(a)) {
            flags |= kFlagOperr;
            return kFx80DefaultNan;
        }
        return fx80_zero(sign);
    }
    if (fx80_is_inf(a)) return fx80_inf(sign);
    // An unnormal zero divisor (exponent set, mantissa 0) divides like a true zero.
    if (b.mantissa == 0) {
        if (fx80_is_zero(a)) {
            flags |= kFlagOperr;
            return kFx80DefaultNan;
        }
        flags |= kFlagDz;
        return fx80_inf(sign);
    }
    if (a.mantissa == 0) return fx80_zero(sign);
    const Unpacked ua = unpack_normalised(a), ub = unpack_normalised(b);
    const u128 dividend = u128(ua.mantissa) << 64;
    const u128 q = dividend / ub.mantissa;
    const u128 r = dividend % ub.mantissa;
    // One quotient bit beyond the kept ones, from the remainder, so that rounding to nearest
    // sees a real round bit and not just a sticky bit.
    const u128 twice = r << 1;
    const bool round_bit = twice >= ub.mantissa;
    const bool sticky = (twice - (round_bit ? u128(ub.mantissa) : 0)) != 0;
    const uint64_t lo = (static_cast<uint64_t>(q & 1) << 63) | (uint64_t{round_bit} << 62) | uint64_t{sticky};
    return fx80_round_pack(sign, ua.exp - ub.exp, static_cast<uint64_t>(q >> 1), lo, precision, mode,
                           flags);
}

Fx80 fx80_sqrt(Fx80 x, RoundingPrecision precision, RoundingMode mode, uint8_t& flags) {
    if (fx80_is_nan(x)) return fx80_propagate_nan(x, flags);
    if (fx80_is_inf(x)) {
        if (fx80_sign(x) == 0) return x;
        flags |= kFlagOperr;
        return kFx80DefaultNan;
    }
    if (fx80_is_zero(x)) return x;
    if (fx80_sign(x) != 0) {
        flags |= kFlagOperr;
        return kFx80DefaultNan;
    }
    if (x.mantissa == 0) return fx80_zero(0);
    const Unpacked u = unpack_normalised(x);
    const bool odd = (u.exp & 1) != 0;
    u128 rem = u128(u.mantissa) << (odd ? 64 : 63);
    u128 root = 0;
    u128 p = u128(1) << 126;
    while (p > rem) p >>= 2;
    while (p != 0) {
        if (rem >= root + p) {
            rem -= root + p;
            root = (root >> 1) + p;
        } else {
            root >>= 1;
        }
        p >>= 2;
    }
    // Round bit: the root lies at or above s + 1/2 exactly when the remainder exceeds s (a root
    // is never exactly half-way). Sticky: any remainder.
    const bool round_bit = rem > root;
    const uint64_t lo = (uint64_t{round_bit} << 63) | uint64_t{rem != 0};
    return fx80_round_pack(0, u.exp >> 1, static_cast<uint64_t>(root), lo, precision, mode, flags);
}

Fx80 fx80_scale(Fx80 x, int32_t n, RoundingPrecision precision, RoundingMode mode, uint8_t& flags) {
    if (fx80_is_nan(x)) return fx80_propagate_nan(x, flags);
    if (fx80_is_inf(x) || fx80_is_zero(x)) return x;
    const Unpacked u = unpack(x);
    int64_t e = u.exp + n;
    if (e > std::numeric_limits<int32_t>::max()) e = std::numeric_limits<int32_t>::max();
    if (e < std::numeric_limits<int32_t>::min()) e = std::numeric_limits<int32_t>::min();
    return fx80_round_pack(u.sign, e, u.mantissa, 0, precision, mode, flags);
}

// ---- memory formats ----

namespace {

struct BinaryFormat {
    int mant_bits;  // including the hidden bit
    int exp_bits;
    int emin;  // unbiased exponent of the smallest normal
    int emax;
};
constexpr BinaryFormat kSingle{24, 8, -126, 127};
constexpr BinaryFormat kDouble{53, 11, -1022, 1023};

// One rounding of a finite value straight to an IEEE binary format, denormals included.
uint64_t round_to_binary(Fx80 x, const BinaryFormat& f, RoundingMode mode, uint8_t& flags) {
    const unsigned sign = fx80_sign(x);
    const uint64_t sign_bit = uint64_t{sign} << (f.mant_bits - 1 + f.exp_bits);
    const Unpacked u = unpack_normalised(x);
    if (u.mantissa == 0) return sign_bit;
    const int frac_bits = f.mant_bits - 1;
    // Bits dropped from the 64-bit mantissa: the normal case keeps mant_bits, a denormal fewer.
    int64_t drop = 64 - f.mant_bits;
    if (u.exp < f.emin) drop += f.emin - u.exp;
    u128 wide = u128(u.mantissa) << 64;  // keep the dropped bits in the low half
    u128 shifted = shift_right_sticky(wide, drop);
    uint64_t kept = static_cast<uint64_t>(shifted >> 64);
    const uint64_t rest = static_cast<uint64_t>(shifted);
    const uint64_t half = kFx80IntegerBit;
    const bool inexact = rest != 0;
    if (inexact) flags |= kFlagInex2;
    int64_t exp = u.exp < f.emin ? f.emin : u.exp;
    if (round_up(mode, sign, (kept & 1) != 0, rest > half, rest == half, inexact)) {
        ++kept;
        if ((kept >> f.mant_bits) != 0) {
            kept >>= 1;
            ++exp;
        }
    }
    const uint64_t hidden = uint64_t{1} << frac_bits;
    if ((kept & hidden) == 0) {  // denormal or zero
        if (inexact) flags |= kFlagUnfl;
        return sign_bit | kept;
    }
    if (exp > f.emax) {
        flags |= kFlagOvfl | kFlagInex2;
        const bool to_inf = mode == kRoundNearest || (mode == kRoundMinus && sign != 0) ||
                            (mode == kRoundPlus && sign == 0);
        const uint64_t exp_all = (uint64_t{1} << f.exp_bits) - 1;
        if (to_inf) return sign_bit | (exp_all << frac_bits);
        return sign_bit | ((exp_all - 1) << frac_bits) | (hidden - 1);
    }
    const uint64_t biased = static_cast<uint64_t>(exp + f.emax);
    return sign_bit | (biased << frac_bits) | (kept & (hidden - 1));
}

}  // namespace

Fx80 fx80_from_single(uint32_t bits) {
    const unsigned sign = bits >> 31;
    const uint32_t e = (bits >> 23) & 0xFF;
    const uint32_t frac = bits & 0x7FFFFF;
    if (e == 0xFF) {
        if (frac == 0) return fx80_inf(sign);
        return fx80_make(sign, kFx80ExpMax, kFx80IntegerBit | kFx80QuietBit | (uint64_t{frac} << 40));
    }
    if (e == 0) {
        if (frac == 0) return fx80_zero(sign);
        const int shift = std::countl_zero(uint64_t{frac} << 40);
        return fx80_make(sign, static_cast<uint16_t>(0x3F81 - shift), (uint64_t{frac} << 40) << shift);
    }
    return fx80_make(sign, static_cast<uint16_t>(e - 127 + kFx80Bias),
                     kFx80IntegerBit | (uint64_t{frac} << 40));
}

Fx80 fx80_from_double(uint64_t bits) {
    const unsigned sign = static_cast<unsigned>(bits >> 63);
    const uint32_t e = static_cast<uint32_t>(bits >> 52) & 0x7FF;
    const uint64_t frac = bits & 0xFFFFFFFFFFFFFULL;
    if (e == 0x7FF) {
        if (frac == 0) return fx80_inf(sign);
        return fx80_make(sign, kFx80ExpMax, kFx80IntegerBit | kFx80QuietBit | (frac << 11));
    }
    if (e == 0) {
        if (frac == 0) return fx80_zero(sign);
        const int shift = std::countl_zero(frac << 11);
        return fx80_make(sign, static_cast<uint16_t>(0x3C01 - shift), (frac << 11) << shift);
    }
    return fx80_make(sign, static_cast<uint16_t>(e - 1023 + kFx80Bias), kFx80IntegerBit | (frac << 11));
}

uint32_t fx80_to_single(Fx80 x, RoundingMode mode, uint8_t& flags) {
    if (fx80_is_nan(x)) return 0x7FC00000;
    if (fx80_is_inf(x)) return (uint32_t{fx80_sign(x)} << 31) | 0x7F800000;
    return static_cast<uint32_t>(round_to_binary(x, kSingle, mode, flags));
}

uint64_t fx80_to_double(Fx80 x, RoundingMode mode, uint8_t& flags) {
    if (fx80_is_nan(x)) return 0x7FF8000000000000ULL;
    if (fx80_is_inf(x)) return (uint64_t{fx80_sign(x)} << 63) | 0x7FF0000000000000ULL;
    return round_to_binary(x, kDouble, mode, flags);
}

int32_t fx80_to_integer(Fx80 x, RoundingMode mode, unsigned bits) {
    const int64_t lo = -(int64_t{1} << (bits - 1));
    const int64_t hi = (int64_t{1} << (bits - 1)) - 1;
    if (fx80_is_nan(x)) return static_cast<int32_t>(lo);
    if (fx80_is_inf(x)) return static_cast<int32_t>(fx80_sign(x) ? lo : hi);
    uint8_t dropped = 0;
    const Fx80 r = fx80_round_to_int(x, mode, dropped);
    const unsigned sign = fx80_sign(r);
    const uint16_t e = fx80_exp(r);
    if (r.mantissa == 0 || e < 0x3FFF) return 0;  // zeros (an unnormal zero included)
    if (e > 0x3FFF + 62) return static_cast<int32_t>(sign ? lo : hi);
    const uint64_t mag = r.mantissa >> (0x403E - e);
    if (sign) {
        return mag > static_cast<uint64_t>(-lo) ? static_cast<int32_t>(lo)
                                                : static_cast<int32_t>(-static_cast<int64_t>(mag));
    }
    return mag > static_cast<uint64_t>(hi) ? static_cast<int32_t>(hi) : static_cast<int32_t>(mag);
}

double fx80_host_estimate(Fx80 x) {
    const unsigned sign = fx80_sign(x);
    const uint16_t e = fx80_exp(x);
    uint64_t bits;
    if (e == kFx80ExpMax) {
        if (fx80_is_nan(x)) return std::numeric_limits<double>::quiet_NaN();
        bits = 0x7FF0000000000000ULL;
    } else if (e >= 0x3C01 && e <= 0x43FE) {
        bits = (uint64_t{e - 0x3C00u} << 52) | ((x.mantissa >> 11) & 0xFFFFFFFFFFFFFULL);
    } else if (e > 0x43FE) {
        bits = 0x7FF0000000000000ULL;
    } else {
        bits = 0;
    }
    bits |= uint64_t{sign} << 63;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

}  // namespace m68k
