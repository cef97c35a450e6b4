// The FPU's transcendental operations as pure functions of the operand, the rounding precision
// and mode, and the caller's exception flag byte. Each result is evaluated in double-extended
// arithmetic and rounded once.
#pragma once

#include <cstdint>

#include "fpu/softfloat.hpp"

namespace m68k {

// Opmodes of the eighteen functions.
inline constexpr uint8_t kOpFsinh = 0x02;
inline constexpr uint8_t kOpFlognp1 = 0x06;
inline constexpr uint8_t kOpFetoxm1 = 0x08;
inline constexpr uint8_t kOpFtanh = 0x09;
inline constexpr uint8_t kOpFatan = 0x0A;
inline constexpr uint8_t kOpFasin = 0x0C;
inline constexpr uint8_t kOpFatanh = 0x0D;
inline constexpr uint8_t kOpFsin = 0x0E;
inline constexpr uint8_t kOpFtan = 0x0F;
inline constexpr uint8_t kOpFetox = 0x10;
inline constexpr uint8_t kOpFtwotox = 0x11;
inline constexpr uint8_t kOpFtentox = 0x12;
inline constexpr uint8_t kOpFlogn = 0x14;
inline constexpr uint8_t kOpFlog10 = 0x15;
inline constexpr uint8_t kOpFlog2 = 0x16;
inline constexpr uint8_t kOpFcosh = 0x19;
inline constexpr uint8_t kOpFacos = 0x1C;
inline constexpr uint8_t kOpFcos = 0x1D;

struct TranscendentalResult {
    bool valid;  // false: the opmode is none of the eighteen; nothing was computed
    Fx80 value;
};

struct SinCosResult {
    Fx80 sine;
    Fx80 cosine;
};

TranscendentalResult fpu_transcendental(uint8_t opmode, Fx80 x, RoundingPrecision precision,
                                        RoundingMode mode, uint8_t& flags);
// FSINCOS: the sine is rounded first, then the cosine, into the same flag byte.
SinCosResult fpu_fsincos(Fx80 x, RoundingPrecision precision, RoundingMode mode, uint8_t& flags);

}  // namespace m68k
