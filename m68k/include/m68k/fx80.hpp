// The FPU's 80-bit extended value: a 64-bit significand with an explicit integer bit and a
// 16-bit sign and biased exponent (bias 0x3FFF).
#pragma once

#include <cstdint>

namespace m68k {

struct Fx80 {
    uint64_t mantissa = 0;
    uint16_t sign_exp = 0;

    friend constexpr bool operator==(const Fx80&, const Fx80&) = default;
};

}  // namespace m68k
