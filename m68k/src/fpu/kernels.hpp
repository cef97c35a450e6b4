// Transcendental kernels in double-extended arithmetic: reduction by multiples of pi/2, the sine
// and cosine series, logarithm, exponential, e^x - 1 and arctangent. Special operands are the
// callers' business unless a kernel says otherwise.
#pragma once

#include <cstdint>

#include "fpu/pair.hpp"

namespace m68k {

struct HalfPiReduction {
    int64_t k;     // quadrant count; from |x| >= 2^32 on only k mod 4, which is all that is used
    Fx80Pair r;    // x - k pi/2
};

struct SinCosPairs {
    bool valid;  // false: x was a NaN or an infinity and both results are final NaNs
    Fx80Pair sine;
    Fx80Pair cosine;
};

// e^x as sum x 2^k, the power of two left for the final rounding.
struct ScaledExp {
    int64_t k;
    Fx80Pair sum;
};

// k x c for an integer k and a constant pair c, exact in sign for negative k.
Fx80Pair pair_times_int(Fx80Pair c, int64_t k);
// a x 2 (or any exact scalar), as a renormalised pair.
Fx80Pair pair_times_exact(Fx80Pair a, Fx80 b);

HalfPiReduction reduce_half_pi(Fx80 x);
SinCosPairs pair_sincos_series(Fx80Pair r);
SinCosPairs pair_sincos(Fx80 x, uint8_t& flags);
Fx80Pair pair_ln(Fx80Pair x);
ScaledExp pair_exp_scaled(Fx80Pair x);
Fx80Pair pair_exp(Fx80Pair x);
Fx80Pair pair_expm1(Fx80 x);
Fx80Pair pair_atan(Fx80Pair x);

}  // namespace m68k
