// Double-extended arithmetic: a value held as the unevaluated sum hi + lo of two Fx80, built from
// the core by error-free transformations. The transcendental functions compute in it and round
// once. Every core step runs in extended precision, round to nearest, with its flags discarded.
#pragma once

#include "fpu/softfloat.hpp"

namespace m68k {

struct Fx80Pair {
    Fx80 hi;
    Fx80 lo;  // the rounding error left by hi: hi == round(hi + lo)
};

constexpr Fx80Pair pair_of(Fx80 x) { return {x, fx80_zero(0)}; }
constexpr Fx80Pair pair_negate(Fx80Pair x) { return {fx80_negate(x.hi), fx80_negate(x.lo)}; }

// Core steps in extended precision, RN, flags dropped.
Fx80 ext_add(Fx80 a, Fx80 b);
Fx80 ext_sub(Fx80 a, Fx80 b);
Fx80 ext_mul(Fx80 a, Fx80 b);
Fx80 ext_div(Fx80 a, Fx80 b);

Fx80Pair fx80_split(Fx80 a);
Fx80Pair fx80_two_product(Fx80 a, Fx80 b);
// hi = s + t, lo = t - (hi - s) (needs |s| >= |t|).
Fx80Pair pair_renormalise(Fx80 s, Fx80 t);
Fx80Pair pair_add(Fx80Pair x, Fx80Pair y);
Fx80Pair pair_add_scalar(Fx80Pair x, Fx80 b);
Fx80Pair pair_mul(Fx80Pair x, Fx80Pair y);
Fx80Pair pair_mul_scalar(Fx80Pair x, Fx80 b);
Fx80Pair pair_div(Fx80Pair x, Fx80Pair y);
Fx80Pair pair_sqrt(Fx80Pair x);
// atan(x) = x - x^3/3 + ... with `alternate`, atanh(x) = x + x^3/3 + ... without.
Fx80Pair pair_atan_series(Fx80Pair x, bool alternate);

struct TranscendentalConstants {
    Fx80Pair pi;
    Fx80Pair half_pi;
    Fx80Pair ln2;
    Fx80Pair ln10;
    Fx80Pair log2e;
    Fx80Pair log10e;
};

TranscendentalConstants init_transcendental_constants();
// The process-wide table, computed once on first use.
const TranscendentalConstants& transcendental_constants();

}  // namespace m68k
