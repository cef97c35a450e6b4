// Packed decimal: the FPU's 12-byte decimal record (sign, three-digit exponent, 17 mantissa
// digits) and its conversions to and from Fx80.
#pragma once

#include <array>
#include <cstdint>

#include "fpu/softfloat.hpp"

namespace m68k {

// Three longs in the 68000's big-endian order, as read from or written to memory.
struct PackedDecimal {
    std::array<uint32_t, 3> longs{};

    friend constexpr bool operator==(const PackedDecimal&, const PackedDecimal&) = default;
};

inline constexpr int kPackedDigits = 17;

PackedDecimal packed_from_longs(uint32_t long0, uint32_t long1, uint32_t long2);
// Reading never refuses a record: nibbles above 9 count at face value, a NaN record reads as the
// default NaN.
Fx80 packed_to_fx80(const PackedDecimal& packed, uint8_t& flags);
// Writing under a k-factor (-64..63): k > 0 keeps k significant digits, k <= 0 keeps the digits
// down to the 10^k place. An exponent of 1000 or more sets OPERR and writes its thousands digit
// in long 0 bits 15-12.
PackedDecimal fx80_to_packed(Fx80 x, int k, uint8_t& flags);
PackedDecimal packed_encode(unsigned sign, int32_t exponent, const std::array<uint8_t, kPackedDigits>& digits);
// x * 10^n in extended precision, round to nearest, flags ORed into `flags`.
Fx80 fx80_scale_pow10(Fx80 x, int32_t n, uint8_t& flags);

}  // namespace m68k
