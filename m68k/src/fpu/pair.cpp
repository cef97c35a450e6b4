#include "fpu/pair.hpp"

namespace m68k {

namespace {

// 2^32 + 1: splits a 64-bit mantissa into two halves whose products are exact.
constexpr Fx80 kSplitter{0x8000000080000000ULL, 0x401F};
constexpr int kSeriesRounds = 201;
constexpr int kSeriesExponentGap = 130;

Fx80 small_int(int n) { return fx80_from_int64(n); }

// The series stop once the sum dwarfs the next power or term.
bool negligible(Fx80 sum, Fx80 next) {
    if (fx80_is_zero(next)) return true;
    return !fx80_is_zero(sum) && int{fx80_exp(sum)} - int{fx80_exp(next)} > kSeriesExponentGap;
}

}  // namespace

Fx80 ext_add(Fx80 a, Fx80 b) {
    uint8_t f = 0;
    return fx80_add(a, b, kPrecisionExtended, kRoundNearest, f);
}
Fx80 ext_sub(Fx80 a, Fx80 b) {
    uint8_t f = 0;
    return fx80_sub(a, b, kPrecisionExtended, kRoundNearest, f);
}
Fx80 ext_mul(Fx80 a, Fx80 b) {
    uint8_t f = 0;
    return fx80_mul(a, b, kPrecisionExtended, kRoundNearest, f);
}
Fx80 ext_div(Fx80 a, Fx80 b) {
    uint8_t f = 0;
    return fx80_div(a, b, kPrecisionExtended, kRoundNearest, f);
}

Fx80Pair fx80_split(Fx80 a) {
    const Fx80 c = ext_mul(a, kSplitter);
    const Fx80 ah = ext_sub(c, ext_sub(c, a));
    return {ah, ext_sub(a, ah)};
}

Fx80Pair fx80_two_product(Fx80 a, Fx80 b) {
    const Fx80 p = ext_mul(a, b);
    const Fx80Pair sa = fx80_split(a), sb = fx80_split(b);
    Fx80 e = ext_sub(ext_mul(sa.hi, sb.hi), p);
    e = ext_add(e, ext_mul(sa.hi, sb.lo));
    e = ext_add(e, ext_mul(sa.lo, sb.hi));
    e = ext_add(e, ext_mul(sa.lo, sb.lo));
    return {p, e};
}

Fx80Pair pair_renormalise(Fx80 s, Fx80 t) {
    const Fx80 hi = ext_add(s, t);
    return {hi, ext_sub(t, ext_sub(hi, s))};
}

Fx80Pair pair_add(Fx80Pair x, Fx80Pair y) {
    const Fx80 s = ext_add(x.hi, y.hi);
    const Fx80 bb = ext_sub(s, x.hi);
    const Fx80 err = ext_add(ext_sub(x.hi, ext_sub(s, bb)), ext_sub(y.hi, bb));
    const Fx80 t = ext_add(err, ext_add(x.lo, y.lo));
    return pair_renormalise(s, t);
}

Fx80Pair pair_add_scalar(Fx80Pair x, Fx80 b) {
    const Fx80 s = ext_add(x.hi, b);
    const Fx80 bb = ext_sub(s, x.hi);
    const Fx80 err = ext_add(ext_sub(x.hi, ext_sub(s, bb)), ext_sub(b, bb));
    return pair_renormalise(s, ext_add(err, x.lo));
}

Fx80Pair pair_mul(Fx80Pair x, Fx80Pair y) {
    const Fx80Pair pe = fx80_two_product(x.hi, y.hi);
    const Fx80 t = ext_add(pe.lo, ext_add(ext_mul(x.hi, y.lo), ext_mul(x.lo, y.hi)));
    return pair_renormalise(pe.hi, t);
}

Fx80Pair pair_mul_scalar(Fx80Pair x, Fx80 b) {
    const Fx80 p = ext_mul(x.hi, b);
    const Fx80Pair sx = fx80_split(x.hi), sb = fx80_split(b);
    Fx80 e = ext_sub(ext_mul(sx.hi, sb.hi), p);
    e = ext_add(e, ext_mul(sx.hi, sb.lo));
    e = ext_add(e, ext_mul(sx.lo, sb.hi));
    e = ext_add(e, ext_mul(sx.lo, sb.lo));
    return pair_renormalise(p, ext_add(e, ext_mul(x.lo, b)));
}

namespace {

// q x y as a pair, for the exact remainders of the division.
Fx80Pair times_pair(Fx80 q, Fx80Pair y) {
    const Fx80Pair pe = fx80_two_product(y.hi, q);
    const Fx80 h = ext_add(pe.lo, ext_mul(y.lo, q));
    const Fx80 m = ext_add(pe.hi, h);
    return {m, ext_sub(h, ext_sub(m, pe.hi))};
}

}  // namespace

Fx80Pair pair_div(Fx80Pair x, Fx80Pair y) {
    const Fx80 q1 = ext_div(x.hi, y.hi);
    const Fx80Pair r1 = pair_add(x, pair_negate(times_pair(q1, y)));
    const Fx80 q2 = ext_div(r1.hi, y.hi);
    const Fx80Pair r2 = pair_add(r1, pair_negate(times_pair(q2, y)));
    const Fx80 q3 = ext_div(r2.hi, y.hi);
    const Fx80 m = ext_add(q1, q2);
    const Fx80 o = ext_sub(q2, ext_sub(m, q1));
    const Fx80 r = ext_add(m, q3);
    const Fx80 s = ext_sub(r, m);
    const Fx80 w = ext_add(ext_sub(m, ext_sub(r, s)), ext_sub(q3, s));
    return pair_renormalise(r, ext_add(w, o));
}

Fx80Pair pair_sqrt(Fx80Pair x) {
    if (fx80_is_zero(x.hi)) return x;
    uint8_t f = 0;
    const Fx80 s = fx80_sqrt(x.hi, kPrecisionExtended, kRoundNearest, f);
    const Fx80Pair q = pair_div(x, pair_of(s));
    const Fx80Pair t = pair_add_scalar(q, s);
    const Fx80 half = fx80_make(0, 0x3FFE, kFx80IntegerBit);
    const Fx80Pair ce = fx80_two_product(t.hi, half);
    return pair_renormalise(ce.hi, ext_add(ce.lo, ext_mul(t.lo, half)));
}

Fx80Pair pair_atan_series(Fx80Pair x, bool alternate) {
    const Fx80Pair x2 = pair_mul(x, x);
    Fx80Pair power = x;
    Fx80Pair sum = x;
    for (int i = 1; i <= kSeriesRounds; ++i) {
        power = pair_mul(power, x2);
        Fx80Pair term = pair_div(power, pair_of(small_int(2 * i + 1)));
        if (alternate && (i & 1) != 0) term = pair_negate(term);
        sum = pair_add(sum, term);
        if (negligible(sum.hi, power.hi)) break;
    }
    return sum;
}

TranscendentalConstants init_transcendental_constants() {
    const Fx80Pair one = pair_of(fx80_one());
    auto inverse = [&](int n) { return pair_div(one, pair_of(small_int(n))); };
    const Fx80Pair atan5 = pair_atan_series(inverse(5), true);
    const Fx80Pair atan239 = pair_atan_series(inverse(239), true);
    TranscendentalConstants c{};
    c.pi = pair_add(pair_mul_scalar(atan5, small_int(16)), pair_negate(pair_mul_scalar(atan239, small_int(4))));
    c.ln2 = pair_mul_scalar(pair_atan_series(inverse(3), false), small_int(2));
    c.ln10 = pair_add(pair_mul_scalar(c.ln2, small_int(3)),
                      pair_mul_scalar(pair_atan_series(inverse(9), false), small_int(2)));
    c.half_pi = pair_mul_scalar(c.pi, fx80_make(0, 0x3FFE, kFx80IntegerBit));
    c.log2e = pair_div(one, c.ln2);
    c.log10e = pair_div(one, c.ln10);
    return c;
}

const TranscendentalConstants& transcendental_constants() {
    // A function-local static: initialised exactly once, safely, on first use.
    static const TranscendentalConstants table = init_transcendental_constants();
    return table;
}

}  // namespace m68k
