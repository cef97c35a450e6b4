#include "fpu/packed.hpp"

#include <bit>
#include <cmath>
#include <cstdlib>

namespace m68k {

namespace {

constexpr uint32_t kSignBit = 0x80000000;
constexpr uint32_t kExponentSignBit = 0x40000000;
constexpr uint32_t kNonFiniteExponent = 0xFFF;
constexpr uint64_t kSeventeenDigitsMax = 99999999999999999ULL;
constexpr uint64_t kSixteenDigitsMax = 9999999999999999ULL;
constexpr int kPackedExponentLimit = 1000;
// 10^n leaves the extended range a little above n = 4932; larger scalings go in two steps.
constexpr int32_t kSingleStepPow10 = 4000;
constexpr double kLog10Of2 = 0.30102999566398120;
constexpr Fx80 kTen{0xA000000000000000ULL, 0x4002};

// floor(log10 |x|) for a finite non-zero x. Inside the host double's range it comes from the
// truncated double; outside it from the exponent and the leading mantissa bits.
int32_t decimal_exponent_estimate(Fx80 x) {
    const uint16_t e = fx80_exp(x);
    if (e >= 0x3C01 && e <= 0x43FE) {
        return static_cast<int32_t>(std::floor(std::log10(std::fabs(fx80_host_estimate(x)))));
    }
    int64_t exp2;
    uint64_t m = x.mantissa;
    if (e == 0) {
        const int shift = std::countl_zero(m);
        m <<= shift;
        exp2 = -16382 - shift;
    } else {
        exp2 = int64_t{e} - kFx80Bias;
    }
    const double frac = static_cast<double>(m >> 11) / 4503599627370496.0 / 2.0;  // [1, 2)
    return static_cast<int32_t>(std::floor(std::log10(frac) + static_cast<double>(exp2) * kLog10Of2));
}

}  // namespace

PackedDecimal packed_from_longs(uint32_t long0, uint32_t long1, uint32_t long2) {
    return PackedDecimal{{long0, long1, long2}};
}

Fx80 fx80_scale_pow10(Fx80 x, int32_t n, uint8_t& flags) {
    if (n == 0) return x;
    uint32_t count = n < 0 ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n);
    Fx80 result = fx80_one();
    Fx80 base = kTen;
    while (count != 0) {
        if (count & 1) result = fx80_mul(result, base, kPrecisionExtended, kRoundNearest, flags);
        count >>= 1;
        if (count != 0) base = fx80_mul(base, base, kPrecisionExtended, kRoundNearest, flags);
    }
    return n > 0 ? fx80_mul(x, result, kPrecisionExtended, kRoundNearest, flags)
                 : fx80_div(x, result, kPrecisionExtended, kRoundNearest, flags);
}

Fx80 packed_to_fx80(const PackedDecimal& packed, uint8_t& flags) {
    const uint32_t l0 = packed.longs[0], l1 = packed.longs[1], l2 = packed.longs[2];
    const unsigned sign = (l0 & kSignBit) ? 1 : 0;
    const uint32_t exp_digits = (l0 >> 16) & 0xFFF;
    if (exp_digits == kNonFiniteExponent) {
        if ((l0 & 0xF) != 0 || l1 != 0 || l2 != 0) return kFx80DefaultNan;
        return fx80_inf(sign);
    }
    uint64_t mantissa = l0 & 0xF;
    for (uint32_t word : {l1, l2}) {
        for (int shift = 28; shift >= 0; shift -= 4) mantissa = mantissa * 10 + ((word >> shift) & 0xF);
    }
    if (mantissa == 0) return fx80_zero(sign);
    int32_t exponent = static_cast<int32_t>(100 * ((exp_digits >> 8) & 0xF) + 10 * ((exp_digits >> 4) & 0xF) +
                                            (exp_digits & 0xF));
    if (l0 & kExponentSignBit) exponent = -exponent;
    Fx80 value = fx80_from_int64(static_cast<int64_t>(mantissa));
    if (sign) value = fx80_negate(value);
    return fx80_scale_pow10(value, exponent - 16, flags);
}

PackedDecimal packed_encode(unsigned sign, int32_t exponent, const std::array<uint8_t, kPackedDigits>& digits) {
    const uint32_t mag = static_cast<uint32_t>(std::abs(static_cast<int64_t>(exponent)) % 10000);
    uint32_t l0 = (sign ? kSignBit : 0) | (exponent < 0 ? kExponentSignBit : 0);
    l0 |= ((mag / 100) % 10) << 24 | ((mag / 10) % 10) << 20 | (mag % 10) << 16;
    l0 |= (mag / 1000) << 12;  // the fourth exponent digit
    l0 |= digits[0] & 0xFu;
    uint32_t l1 = 0, l2 = 0;
    for (int i = 1; i <= 8; ++i) l1 = (l1 << 4) | (digits[i] & 0xFu);
    for (int i = 9; i <= 16; ++i) l2 = (l2 << 4) | (digits[i] & 0xFu);
    return PackedDecimal{{l0, l1, l2}};
}

PackedDecimal fx80_to_packed(Fx80 x, int k, uint8_t& flags) {
    const unsigned sign = fx80_sign(x);
    const uint32_t sign_bit = sign ? kSignBit : 0;
    if (fx80_is_nan(x)) return PackedDecimal{{sign_bit | 0x0FFF000F, 0xFFFFFFFF, 0}};
    if (fx80_is_inf(x)) return PackedDecimal{{sign_bit | 0x0FFF0000, 0, 0}};
    if (x.mantissa == 0) return PackedDecimal{{sign_bit, 0, 0}};

    const Fx80 ax = fx80_abs(x);
    const int32_t l = decimal_exponent_estimate(ax);
    const int32_t n = 16 - l;
    const Fx80 m = (n > kSingleStepPow10 || n < -kSingleStepPow10)
                       ? fx80_scale_pow10(fx80_scale_pow10(ax, n / 2, flags), n - n / 2, flags)
                       : fx80_scale_pow10(ax, n, flags);
    const Fx80 rounded = fx80_round_to_int(m, kRoundNearest, flags);
    uint64_t v = 0;
    const uint16_t re = fx80_exp(rounded);
    if (!fx80_is_finite(rounded) || re > 0x403E) {
        flags |= kFlagOperr;
        v = kSeventeenDigitsMax;
    } else if (rounded.mantissa != 0 && re >= 0x3FFF) {
        v = rounded.mantissa >> (0x403E - re);
    }
    int32_t o = l;
    if (v > kSeventeenDigitsMax) {
        v /= 10;
        o = l + 1;
    } else if (v >= 1 && v <= kSixteenDigitsMax) {
        v *= 10;
        o = l - 1;
    }

    std::array<uint8_t, kPackedDigits> digits{};
    for (int i = kPackedDigits - 1; i >= 0; --i) {
        digits[i] = static_cast<uint8_t>(v % 10);
        v /= 10;
    }

    int r;
    if (k > 0) {
        r = k < kPackedDigits ? k : kPackedDigits;
    } else {
        const int64_t want = int64_t{o} - k + 1;
        r = static_cast<int>(want < 1 ? 1 : want > kPackedDigits ? kPackedDigits : want);
    }
    if (r < kPackedDigits) {
        bool dropped_nonzero = false;
        for (int i = r; i < kPackedDigits; ++i) dropped_nonzero |= digits[i] != 0;
        if (dropped_nonzero) flags |= kFlagInex1;
        const bool round_up = digits[r] >= 5;  // half up on the decimal digits, whatever FPCR says
        for (int i = r; i < kPackedDigits; ++i) digits[i] = 0;
        if (round_up) {
            int i = r - 1;
            while (i >= 0 && digits[i] == 9) digits[i--] = 0;
            if (i >= 0) {
                ++digits[i];
            } else {
                for (int j = kPackedDigits - 1; j > 0; --j) digits[j] = digits[j - 1];
                digits[0] = 1;
                ++o;
            }
        }
    }
    if (o >= kPackedExponentLimit || o <= -kPackedExponentLimit) flags |= kFlagOperr;
    return packed_encode(sign, o, digits);
}

}  // namespace m68k
