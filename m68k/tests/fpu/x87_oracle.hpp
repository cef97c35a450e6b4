// The host's x87 unit as an oracle for the extended core: the same 80-bit format, driven with an
// explicit control word (precision and rounding) and its status word read back as our flag byte.
#pragma once

#include <cfloat>
#include <cstdint>
#include <cstring>
#include <random>

#include "fpu/softfloat.hpp"

#if defined(__x86_64__) && LDBL_MANT_DIG == 64
#define VESTREL_HAVE_X87 1
#else
#define VESTREL_HAVE_X87 0
#endif

namespace m68k::test {

enum class X87Op { Add, Sub, Mul, Div, Sqrt, RoundInt };

struct X87Result {
    Fx80 value;
    uint8_t flags;
};

#if VESTREL_HAVE_X87

// x87 RC: 00 nearest, 01 down, 10 up, 11 zero. PC: 00 24 bits, 10 53, 11 64.
inline uint16_t x87_control_word(RoundingPrecision precision, RoundingMode mode) {
    static constexpr uint16_t kRc[4] = {0x000, 0xC00, 0x400, 0x800};
    static constexpr uint16_t kPc[3] = {0x300, 0x000, 0x200};
    return static_cast<uint16_t>(0x3F | kRc[mode & 3] | kPc[precision < 3 ? precision : 0]);
}

inline uint8_t x87_flags(uint16_t sw) {
    uint8_t f = 0;
    if (sw & 0x01) f |= kFlagOperr;
    if (sw & 0x04) f |= kFlagDz;
    if (sw & 0x08) f |= kFlagOvfl;
    if (sw & 0x10) f |= kFlagUnfl;
    if (sw & 0x20) f |= kFlagInex2;
    return f;
}

inline Fx80 x87_load(const unsigned char (&bytes)[16]) {
    Fx80 r;
    std::memcpy(&r.mantissa, bytes, 8);
    std::memcpy(&r.sign_exp, bytes + 8, 2);
    return r;
}

inline void x87_store(Fx80 x, unsigned char (&bytes)[16]) {
    std::memset(bytes, 0, sizeof bytes);
    std::memcpy(bytes, &x.mantissa, 8);
    std::memcpy(bytes + 8, &x.sign_exp, 2);
}

inline X87Result x87_compute(X87Op op, Fx80 a, Fx80 b, RoundingPrecision precision, RoundingMode mode) {
    unsigned char ba[16], bb[16], br[16];
    x87_store(a, ba);
    x87_store(b, bb);
    uint16_t cw = x87_control_word(precision, mode);
    uint16_t old_cw = 0, sw = 0;
    // st0 = a, st1 = b; the non-popping "op st(1), st" forms compute st0 := st0 op st1.
    switch (op) {
        case X87Op::Add:
            asm volatile("fnstcw %[old]\n\tfldcw %[cw]\n\tfnclex\n\tfldt %[b]\n\tfldt %[a]\n\t"
                         "fadd %%st(1), %%st\n\tfstpt %[r]\n\tfstp %%st(0)\n\tfnstsw %[sw]\n\tfldcw %[old]"
                         : [r] "=m"(br), [sw] "=m"(sw), [old] "+m"(old_cw)
                         : [a] "m"(ba), [b] "m"(bb), [cw] "m"(cw));
            break;
        case X87Op::Sub:
            asm volatile("fnstcw %[old]\n\tfldcw %[cw]\n\tfnclex\n\tfldt %[b]\n\tfldt %[a]\n\t"
                         "fsub %%st(1), %%st\n\tfstpt %[r]\n\tfstp %%st(0)\n\tfnstsw %[sw]\n\tfldcw %[old]"
                         : [r] "=m"(br), [sw] "=m"(sw), [old] "+m"(old_cw)
                         : [a] "m"(ba), [b] "m"(bb), [cw] "m"(cw));
            break;
        case X87Op::Mul:
            asm volatile("fnstcw %[old]\n\tfldcw %[cw]\n\tfnclex\n\tfldt %[b]\n\tfldt %[a]\n\t"
                         "fmul %%st(1), %%st\n\tfstpt %[r]\n\tfstp %%st(0)\n\tfnstsw %[sw]\n\tfldcw %[old]"
                         : [r] "=m"(br), [sw] "=m"(sw), [old] "+m"(old_cw)
                         : [a] "m"(ba), [b] "m"(bb), [cw] "m"(cw));
            break;
        case X87Op::Div:
            asm volatile("fnstcw %[old]\n\tfldcw %[cw]\n\tfnclex\n\tfldt %[b]\n\tfldt %[a]\n\t"
                         "fdiv %%st(1), %%st\n\tfstpt %[r]\n\tfstp %%st(0)\n\tfnstsw %[sw]\n\tfldcw %[old]"
                         : [r] "=m"(br), [sw] "=m"(sw), [old] "+m"(old_cw)
                         : [a] "m"(ba), [b] "m"(bb), [cw] "m"(cw));
            break;
        case X87Op::Sqrt:
            asm volatile("fnstcw %[old]\n\tfldcw %[cw]\n\tfnclex\n\tfldt %[a]\n\t"
                         "fsqrt\n\tfstpt %[r]\n\tfnstsw %[sw]\n\tfldcw %[old]"
                         : [r] "=m"(br), [sw] "=m"(sw), [old] "+m"(old_cw)
                         : [a] "m"(ba), [cw] "m"(cw));
            break;
        case X87Op::RoundInt:
            asm volatile("fnstcw %[old]\n\tfldcw %[cw]\n\tfnclex\n\tfldt %[a]\n\t"
                         "frndint\n\tfstpt %[r]\n\tfnstsw %[sw]\n\tfldcw %[old]"
                         : [r] "=m"(br), [sw] "=m"(sw), [old] "+m"(old_cw)
                         : [a] "m"(ba), [cw] "m"(cw));
            break;
    }
    return {x87_load(br), x87_flags(sw)};
}

// FST to single and double, FIST to 16 and 32 bits, under the rounding control of `mode`.
inline uint32_t x87_to_single(Fx80 a, RoundingMode mode) {
    unsigned char ba[16];
    x87_store(a, ba);
    uint16_t cw = x87_control_word(kPrecisionExtended, mode), old_cw = 0;
    uint32_t out = 0;
    asm volatile("fnstcw %[old]\n\tfldcw %[cw]\n\tfldt %[a]\n\tfstps %[r]\n\tfnclex\n\tfldcw %[old]"
                 : [r] "=m"(out), [old] "+m"(old_cw)
                 : [a] "m"(ba), [cw] "m"(cw));
    return out;
}
inline uint64_t x87_to_double(Fx80 a, RoundingMode mode) {
    unsigned char ba[16];
    x87_store(a, ba);
    uint16_t cw = x87_control_word(kPrecisionExtended, mode), old_cw = 0;
    uint64_t out = 0;
    asm volatile("fnstcw %[old]\n\tfldcw %[cw]\n\tfldt %[a]\n\tfstpl %[r]\n\tfnclex\n\tfldcw %[old]"
                 : [r] "=m"(out), [old] "+m"(old_cw)
                 : [a] "m"(ba), [cw] "m"(cw));
    return out;
}
inline int32_t x87_to_int32(Fx80 a, RoundingMode mode) {
    unsigned char ba[16];
    x87_store(a, ba);
    uint16_t cw = x87_control_word(kPrecisionExtended, mode), old_cw = 0;
    int32_t out = 0;
    asm volatile("fnstcw %[old]\n\tfldcw %[cw]\n\tfldt %[a]\n\tfistpl %[r]\n\tfnclex\n\tfldcw %[old]"
                 : [r] "=m"(out), [old] "+m"(old_cw)
                 : [a] "m"(ba), [cw] "m"(cw));
    return out;
}
inline int16_t x87_to_int16(Fx80 a, RoundingMode mode) {
    unsigned char ba[16];
    x87_store(a, ba);
    uint16_t cw = x87_control_word(kPrecisionExtended, mode), old_cw = 0;
    int16_t out = 0;
    asm volatile("fnstcw %[old]\n\tfldcw %[cw]\n\tfldt %[a]\n\tfistps %[r]\n\tfnclex\n\tfldcw %[old]"
                 : [r] "=m"(out), [old] "+m"(old_cw)
                 : [a] "m"(ba), [cw] "m"(cw));
    return out;
}

#endif  // VESTREL_HAVE_X87

// Seeded operands with exponents clustered at the ends of the range, around 1.0 and close to a
// partner's exponent (for cancellation); no unnormals or pseudo-denormals.
class OperandGenerator {
public:
    explicit OperandGenerator(uint64_t seed) : rng_(seed) {}

    uint64_t bits() { return rng_(); }

    uint64_t mantissa() {
        switch (rng_() % 6) {
            case 0: return ~uint64_t{0} << (rng_() % 64);         // ones then zeros
            case 1: return uint64_t{1} << (rng_() % 64) | (rng_() & 1);  // sparse
            case 2: return rng_() & (~uint64_t{0} << (rng_() % 64));  // short mantissa
            default: return rng_();
        }
    }

    uint16_t exponent() {
        switch (rng_() % 8) {
            case 0: return static_cast<uint16_t>(rng_() % 70);                // denormal range
            case 1: return static_cast<uint16_t>(0x7FFE - rng_() % 70);       // overflow range
            case 2: return static_cast<uint16_t>(0x3FFF + (int)(rng_() % 140) - 70);
            default: return static_cast<uint16_t>(1 + rng_() % 0x7FFE);
        }
    }

    Fx80 finite() {
        const uint16_t e = exponent();
        uint64_t m = mantissa();
        if (e == 0) m &= ~kFx80IntegerBit;
        else m |= kFx80IntegerBit;
        return fx80_make(rng_() & 1, e, m);
    }

    // Mostly finite; now and then a zero or an infinity.
    Fx80 operand() {
        const unsigned pick = rng_() % 64;
        if (pick == 0) return fx80_zero(rng_() & 1);
        if (pick == 1) return fx80_inf(rng_() & 1);
        return finite();
    }

    // A partner for `a`: often with a nearby exponent so sums cancel and products land at the ends.
    Fx80 partner(Fx80 a) {
        if (rng_() % 3 != 0 || !fx80_is_finite(a)) return operand();
        int e = fx80_exp(a) + static_cast<int>(rng_() % 130) - 65;
        if (e < 0) e = 0;
        if (e > 0x7FFE) e = 0x7FFE;
        uint64_t m = rng_() % 2 ? a.mantissa ^ (rng_() >> (rng_() % 64)) : mantissa();
        if (e == 0) m &= ~kFx80IntegerBit;
        else m |= kFx80IntegerBit;
        return fx80_make(rng_() & 1, static_cast<uint16_t>(e), m);
    }

private:
    std::mt19937_64 rng_;
};

}  // namespace m68k::test
