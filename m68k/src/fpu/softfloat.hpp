// The FPU's extended-precision arithmetic core: pure integer arithmetic on Fx80 values.
//
// Every operation reads its operands, returns a rounded result and ORs exception bits into a
// flag byte the caller owns (and clears beforehand); nothing here touches FPCR or FPSR.
#pragma once

#include <cstdint>

#include "m68k/fx80.hpp"

namespace m68k {

__extension__ typedef unsigned __int128 u128;

// Exception flag byte, in the order of FPSR bits 15-8.
inline constexpr uint8_t kFlagBsun = 0x80;
inline constexpr uint8_t kFlagSnan = 0x40;
inline constexpr uint8_t kFlagOperr = 0x20;
inline constexpr uint8_t kFlagOvfl = 0x10;
inline constexpr uint8_t kFlagUnfl = 0x08;
inline constexpr uint8_t kFlagDz = 0x04;
inline constexpr uint8_t kFlagInex2 = 0x02;
inline constexpr uint8_t kFlagInex1 = 0x01;

// Rounding precision: index into the kept-bit table {64, 24, 53}. The exponent range stays the
// extended one at every precision.
using RoundingPrecision = uint8_t;
inline constexpr RoundingPrecision kPrecisionExtended = 0;
inline constexpr RoundingPrecision kPrecisionSingle = 1;
inline constexpr RoundingPrecision kPrecisionDouble = 2;

// Rounding mode, in FPCR's encoding.
using RoundingMode = uint8_t;
inline constexpr RoundingMode kRoundNearest = 0;
inline constexpr RoundingMode kRoundZero = 1;
inline constexpr RoundingMode kRoundMinus = 2;
inline constexpr RoundingMode kRoundPlus = 3;

inline constexpr uint16_t kFx80ExpMax = 0x7FFF;
inline constexpr int32_t kFx80Bias = 16383;
inline constexpr uint64_t kFx80IntegerBit = 0x8000000000000000ULL;
inline constexpr uint64_t kFx80QuietBit = 0x4000000000000000ULL;

// ---- classification and small constructors ----
constexpr uint16_t fx80_exp(Fx80 x) { return x.sign_exp & 0x7FFF; }
constexpr unsigned fx80_sign(Fx80 x) { return x.sign_exp >> 15; }
constexpr bool fx80_is_nan(Fx80 x) {
    return fx80_exp(x) == kFx80ExpMax && (x.mantissa << 1) != 0;
}
constexpr bool fx80_is_inf(Fx80 x) {
    return fx80_exp(x) == kFx80ExpMax && (x.mantissa << 1) == 0;
}
constexpr bool fx80_is_snan(Fx80 x) { return fx80_is_nan(x) && (x.mantissa & kFx80QuietBit) == 0; }
// A true zero: exponent field and mantissa both zero (either sign).
constexpr bool fx80_is_zero(Fx80 x) { return fx80_exp(x) == 0 && x.mantissa == 0; }
constexpr bool fx80_is_finite(Fx80 x) { return fx80_exp(x) != kFx80ExpMax; }
constexpr Fx80 fx80_negate(Fx80 x) { return {x.mantissa, static_cast<uint16_t>(x.sign_exp ^ 0x8000)}; }
constexpr Fx80 fx80_abs(Fx80 x) { return {x.mantissa, static_cast<uint16_t>(x.sign_exp & 0x7FFF)}; }
constexpr Fx80 fx80_make(unsigned sign, uint16_t exp, uint64_t mantissa) {
    return {mantissa, static_cast<uint16_t>((sign << 15) | exp)};
}
constexpr Fx80 fx80_zero(unsigned sign) { return fx80_make(sign, 0, 0); }
constexpr Fx80 fx80_inf(unsigned sign) { return fx80_make(sign, kFx80ExpMax, kFx80IntegerBit); }
constexpr Fx80 fx80_one(unsigned sign = 0) { return fx80_make(sign, 0x3FFF, kFx80IntegerBit); }
inline constexpr Fx80 kFx80DefaultNan{0xFFFFFFFFFFFFFFFFULL, 0x7FFF};
constexpr Fx80 fx80_quiet(Fx80 x) { return {x.mantissa | kFx80QuietBit, x.sign_exp}; }

// A NaN operand quieted, with SNAN|OPERR for a signalling one.
Fx80 fx80_propagate_nan(Fx80 x, uint8_t& flags);

// An exact integer (|v| < 2^64) as an Fx80.
Fx80 fx80_from_int64(int64_t v);

// ---- the arithmetic core ----
// mantissa = hi:lo, whose bit 127 has the unbiased exponent `exponent`.
Fx80 fx80_round_pack(unsigned sign, int64_t exponent, uint64_t hi, uint64_t lo,
                     RoundingPrecision precision, RoundingMode mode, uint8_t& flags);
Fx80 fx80_round_to_int(Fx80 x, RoundingMode mode, uint8_t& flags);
Fx80 fx80_add(Fx80 a, Fx80 b, RoundingPrecision precision, RoundingMode mode, uint8_t& flags);
Fx80 fx80_sub(Fx80 a, Fx80 b, RoundingPrecision precision, RoundingMode mode, uint8_t& flags);
Fx80 fx80_mul(Fx80 a, Fx80 b, RoundingPrecision precision, RoundingMode mode, uint8_t& flags);
Fx80 fx80_div(Fx80 a, Fx80 b, RoundingPrecision precision, RoundingMode mode, uint8_t& flags);
Fx80 fx80_sqrt(Fx80 x, RoundingPrecision precision, RoundingMode mode, uint8_t& flags);
Fx80 fx80_scale(Fx80 x, int32_t n, RoundingPrecision precision, RoundingMode mode, uint8_t& flags);

// ---- memory-format conversions ----
// Loads are exact (a signalling NaN comes back quiet).
Fx80 fx80_from_single(uint32_t bits);
Fx80 fx80_from_double(uint64_t bits);
// Stores round the extended value once, by the mode, straight to the format (its denormals
// included). NaNs give the positive quiet NaN. The flags they raise are reported but FMOVE to
// memory drops them.
uint32_t fx80_to_single(Fx80 x, RoundingMode mode, uint8_t& flags);
uint64_t fx80_to_double(Fx80 x, RoundingMode mode, uint8_t& flags);
// Integer stores: rounded by the mode, then saturated to `bits` (8, 16 or 32) signed bits; a NaN
// gives the most negative value. Returned sign-extended.
int32_t fx80_to_integer(Fx80 x, RoundingMode mode, unsigned bits);

// The host double made by truncating the mantissa to 52 fraction bits (exponent field
// 0x3C01-0x43FE; below: signed zero; above: signed infinity). The transcendental and packed
// estimates rely on exactly this value.
double fx80_host_estimate(Fx80 x);

}  // namespace m68k
