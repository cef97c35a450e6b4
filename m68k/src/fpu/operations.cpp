#include "fpu/operations.hpp"

#include <bit>
#include <limits>

#include "fpu/transcendental.hpp"

namespace m68k {

namespace {

constexpr uint64_t kSingleMantissaMask = 0xFFFFFF0000000000ULL;

Fx80 from_uint64(uint64_t v) {
    if (v == 0) return fx80_zero(0);
    const int shift = std::countl_zero(v);
    return fx80_make(0, static_cast<uint16_t>(0x403E - shift), v << shift);
}

// Exponent of the top set bit of a finite value whose mantissa is not zero.
int32_t top_exponent(Fx80 x) {
    if (fx80_exp(x) == 0) return (63 - std::countl_zero(x.mantissa)) - 16445;
    return int32_t{fx80_exp(x)} - kFx80Bias;
}

// |a| compared with |b| on the fields (both finite): -1, 0 or 1.
int compare_magnitude(Fx80 a, Fx80 b) {
    if (fx80_exp(a) != fx80_exp(b)) return fx80_exp(a) < fx80_exp(b) ? -1 : 1;
    if (a.mantissa != b.mantissa) return a.mantissa < b.mantissa ? -1 : 1;
    return 0;
}

uint32_t compare_condition(Fx80 a, Fx80 b, uint8_t& flags) {
    if (fx80_is_nan(a) || fx80_is_nan(b)) {
        if (fx80_is_snan(a) || fx80_is_snan(b)) flags |= kFlagSnan | kFlagOperr;
        return kFpsrNan;
    }
    if (fx80_is_zero(a) && fx80_is_zero(b)) return kFpsrZ;
    if (fx80_sign(a) != fx80_sign(b)) return fx80_sign(a) ? kFpsrN : 0;
    int c;
    if (fx80_is_inf(a) || fx80_is_inf(b)) {
        c = fx80_is_inf(a) == fx80_is_inf(b) ? 0 : (fx80_is_inf(a) ? 1 : -1);
    } else {
        c = compare_magnitude(a, b);
    }
    if (c == 0) return kFpsrZ;
    const bool a_below = fx80_sign(a) ? c > 0 : c < 0;
    return a_below ? kFpsrN : 0;
}

}  // namespace

uint32_t fpu_condition_codes(Fx80 value) {
    uint32_t cc = fx80_sign(value) ? kFpsrN : 0;
    if (fx80_is_zero(value)) cc |= kFpsrZ;
    if (fx80_is_inf(value)) cc |= kFpsrI;
    if (fx80_is_nan(value)) cc |= kFpsrNan;
    return cc;
}

uint32_t fpsr_with_condition_codes(uint32_t fpsr, Fx80 value) {
    return (fpsr & ~kFpsrConditionMask) | fpu_condition_codes(value);
}

uint32_t fpsr_with_exceptions(uint32_t fpsr, uint8_t flags) {
    uint32_t accrued = 0;
    if (flags & (kFlagBsun | kFlagSnan | kFlagOperr)) accrued |= kFpsrAccruedIop;
    if (flags & kFlagOvfl) accrued |= kFpsrAccruedOvfl;
    if ((flags & kFlagUnfl) && (flags & kFlagInex2)) accrued |= kFpsrAccruedUnfl;
    if (flags & kFlagDz) accrued |= kFpsrAccruedDz;
    if (flags & (kFlagOvfl | kFlagInex2 | kFlagInex1)) accrued |= kFpsrAccruedInex;
    return (fpsr & ~kFpsrExceptionMask) | (uint32_t{flags} << 8) | accrued;
}

RoundingPrecision fpu_precision(uint8_t opmode, uint32_t fpcr) {
    if (opmode & 0x40) return (opmode & 0x04) ? kPrecisionDouble : kPrecisionSingle;
    switch ((fpcr >> 6) & 3) {
        case 1: return kPrecisionSingle;
        case 2: return kPrecisionDouble;
        default: return kPrecisionExtended;
    }
}

RoundingMode fpu_rounding_mode(uint32_t fpcr) { return static_cast<RoundingMode>((fpcr >> 4) & 3); }

Fx80 fpu_constant_rom(uint8_t offset) {
    switch (offset & 0x7F) {
        case 0x00: return fx80_make(0, 0x4000, 0xC90FDAA22168C235);  // pi
        case 0x0B: return fx80_make(0, 0x3FFD, 0x9A209A84FBCFF799);  // log10(2)
        case 0x0C: return fx80_make(0, 0x4000, 0xADF85458A2BB4A9A);  // e
        case 0x0D: return fx80_make(0, 0x3FFF, 0xB8AA3B295C17F0BC);  // log2(e)
        case 0x0E: return fx80_make(0, 0x3FFD, 0xDE5BD8A937287195);  // log10(e)
        case 0x30: return fx80_make(0, 0x3FFE, 0xB17217F7D1CF79AC);  // ln(2)
        case 0x31: return fx80_make(0, 0x4000, 0x935D8DDDAAA8AC17);  // ln(10)
        // 10^(2^i), each correctly rounded: repeated squaring would drift from 10^128 on.
        case 0x32: return fx80_make(0, 0x3FFF, 0x8000000000000000);
        case 0x33: return fx80_make(0, 0x4002, 0xA000000000000000);
        case 0x34: return fx80_make(0, 0x4005, 0xC800000000000000);
        case 0x35: return fx80_make(0, 0x400C, 0x9C40000000000000);
        case 0x36: return fx80_make(0, 0x4019, 0xBEBC200000000000);
        case 0x37: return fx80_make(0, 0x4034, 0x8E1BC9BF04000000);
        case 0x38: return fx80_make(0, 0x4069, 0x9DC5ADA82B70B59E);
        case 0x39: return fx80_make(0, 0x40D3, 0xC2781F49FFCFA6D5);
        case 0x3A: return fx80_make(0, 0x41A8, 0x93BA47C980E98CE0);
        case 0x3B: return fx80_make(0, 0x4351, 0xAA7EEBFB9DF9DE8E);
        case 0x3C: return fx80_make(0, 0x46A3, 0xE319A0AEA60E91C7);
        case 0x3D: return fx80_make(0, 0x4D48, 0xC976758681750C17);
        case 0x3E: return fx80_make(0, 0x5A92, 0x9E8B3B5DC53D5DE5);
        case 0x3F: return fx80_make(0, 0x7525, 0xC46052028A20979B);
        default: return fx80_zero(0);
    }
}

RemainderResult fx80_remainder(Fx80 a, Fx80 b, bool round_quotient, uint8_t& flags) {
    if (fx80_is_nan(a)) return {fx80_propagate_nan(a, flags), 0, 0};
    if (fx80_is_nan(b)) return {fx80_propagate_nan(b, flags), 0, 0};
    const uint8_t qsign = static_cast<uint8_t>(fx80_sign(a) ^ fx80_sign(b));
    if (fx80_is_inf(b)) {
        if (fx80_is_inf(a)) {
            flags |= kFlagOperr;
            return {kFx80DefaultNan, 0, 0};
        }
        return {a, 0, qsign};
    }
    // A divisor with a zero mantissa (an unnormal zero included) is a zero divisor.
    if (fx80_is_inf(a) || b.mantissa == 0) {
        flags |= kFlagOperr;
        return {kFx80DefaultNan, 0, 0};
    }
    if (a.mantissa == 0) return {a, 0, qsign};

    // Denormals are normalised; unnormals divide with their mantissas as they stand.
    const int32_t ea = top_exponent(a), eb = top_exponent(b);
    uint64_t ma = a.mantissa, mb = b.mantissa;
    if (fx80_exp(a) == 0) ma <<= std::countl_zero(ma);
    if (fx80_exp(b) == 0) mb <<= std::countl_zero(mb);
    const int64_t d = int64_t{ea} - eb;

    unsigned sign = fx80_sign(a);
    uint64_t q = 0;
    Fx80 r;
    uint8_t dropped = 0;
    if (d < 0) {
        r = fx80_abs(a);
        if (round_quotient) {
            const Fx80 twice = fx80_scale(r, 1, kPrecisionExtended, kRoundNearest, dropped);
            const int c = compare_magnitude(twice, fx80_abs(b));
            if (c > 0 || (c == 0 && (q & 1))) {
                r = fx80_add(fx80_abs(b), fx80_negate(r), kPrecisionExtended, kRoundNearest, dropped);
                ++q;
                sign ^= 1;
            }
        }
    } else {
        // Long division, one bit per step: a's mantissa followed by d zero bits, over b's.
        u128 partial = 0;
        const int64_t steps = d + 64;
        for (int64_t i = 0; i < steps; ++i) {
            const uint64_t bit = i < 64 ? (ma >> (63 - i)) & 1 : 0;
            partial = (partial << 1) | bit;
            q <<= 1;
            if (partial >= mb) {
                partial -= mb;
                q |= 1;
            }
        }
        uint64_t p = static_cast<uint64_t>(partial);
        if (round_quotient) {
            const u128 twice = u128(p) << 1;
            if (twice > mb || (twice == mb && (q & 1))) {
                p = mb - p;
                ++q;
                sign ^= 1;
            }
        }
        r = fx80_scale(from_uint64(p), eb - 63, kPrecisionExtended, kRoundNearest, dropped);
    }
    r = fx80_is_zero(r) ? fx80_zero(sign) : fx80_make(sign, fx80_exp(r), r.mantissa);
    return {r, static_cast<uint8_t>(q & 0x7F), qsign};
}

Fx80 fx80_getexp(Fx80 x, uint8_t& flags) {
    if (fx80_is_nan(x)) return fx80_propagate_nan(x, flags);
    if (fx80_is_inf(x)) {
        flags |= kFlagOperr;
        return kFx80DefaultNan;
    }
    if (fx80_is_zero(x)) return x;
    return fx80_from_int64(top_exponent(x));
}

Fx80 fx80_getman(Fx80 x, uint8_t& flags) {
    if (fx80_is_nan(x)) return fx80_propagate_nan(x, flags);
    if (fx80_is_inf(x)) {
        flags |= kFlagOperr;
        return kFx80DefaultNan;
    }
    if (fx80_is_zero(x)) return x;
    uint64_t m = x.mantissa;
    if (fx80_exp(x) == 0) m <<= std::countl_zero(m);
    return fx80_make(fx80_sign(x), 0x3FFF, m);
}

Fx80 fpu_fscale(Fx80 fpn, Fx80 source, RoundingPrecision precision, RoundingMode mode, uint8_t& flags) {
    if (fx80_is_nan(fpn) || fx80_is_nan(source)) {
        if (fx80_is_snan(fpn) || fx80_is_snan(source)) flags |= kFlagSnan | kFlagOperr;
        return fx80_quiet(fx80_is_nan(fpn) ? fpn : source);
    }
    if (fx80_is_inf(source)) {
        flags |= kFlagOperr;
        return kFx80DefaultNan;
    }
    const Fx80 whole = fx80_round_to_int(source, kRoundZero, flags);
    int32_t n = 0;
    if (!fx80_is_zero(whole) && whole.mantissa != 0 && fx80_exp(whole) >= 0x3FFF) {
        const uint16_t e = fx80_exp(whole);
        const bool negative = fx80_sign(whole) != 0;
        const uint64_t mag = e > 0x403E ? ~uint64_t{0} : whole.mantissa >> (0x403E - e);
        const uint64_t limit = negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
        if (e > 0x403E || mag > limit) {
            flags |= kFlagOperr;
            n = negative ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int32_t>::max();
        } else {
            n = negative ? static_cast<int32_t>(-static_cast<int64_t>(mag)) : static_cast<int32_t>(mag);
        }
    }
    return fx80_scale(fpn, n, precision, mode, flags);
}

Fx80 fx80_sglmul(Fx80 a, Fx80 b, RoundingMode mode, uint8_t& flags) {
    if (fx80_is_finite(a)) a.mantissa &= kSingleMantissaMask;
    if (fx80_is_finite(b)) b.mantissa &= kSingleMantissaMask;
    return fx80_mul(a, b, kPrecisionSingle, mode, flags);
}

Fx80 fx80_round_to_precision(Fx80 x, RoundingPrecision precision, RoundingMode mode, uint8_t& flags) {
    if (!fx80_is_finite(x) || x.mantissa == 0) return x;
    const unsigned sign = fx80_sign(x);
    const int64_t e = fx80_exp(x) == 0 ? -16382 : int64_t{fx80_exp(x)} - kFx80Bias;
    return fx80_round_pack(sign, e, x.mantissa, 0, precision, mode, flags);
}

FpuOpResult fpu_compute(uint8_t opmode, Fx80 fpn, Fx80 source, uint32_t fpcr) {
    opmode &= 0x7F;
    const RoundingPrecision prec = fpu_precision(opmode, fpcr);
    const RoundingMode mode = fpu_rounding_mode(fpcr);
    FpuOpResult r;
    r.kind = FpuOpKind::Store;
    uint8_t& f = r.flags;
    switch (opmode) {
        case 0x00: r.kind = FpuOpKind::ConditionOnly; r.value = source; break;
        case 0x18: r.kind = FpuOpKind::ConditionOnly; r.value = fx80_abs(source); break;
        case 0x1A: r.kind = FpuOpKind::ConditionOnly; r.value = fx80_negate(source); break;
        // The single and double forms exist to round: they are stores at their precision.
        case 0x40: case 0x44: r.value = fx80_round_to_precision(source, prec, mode, f); break;
        case 0x58: case 0x5C: r.value = fx80_round_to_precision(fx80_abs(source), prec, mode, f); break;
        case 0x5A: case 0x5E: r.value = fx80_round_to_precision(fx80_negate(source), prec, mode, f); break;
        case 0x01: r.value = fx80_round_to_int(source, mode, f); break;
        case 0x03: r.value = fx80_round_to_int(source, kRoundZero, f); break;
        case 0x04: case 0x41: case 0x45: r.value = fx80_sqrt(source, prec, mode, f); break;
        case 0x1E: r.value = fx80_getexp(source, f); break;
        case 0x1F: r.value = fx80_getman(source, f); break;
        case 0x20: case 0x60: case 0x64: r.value = fx80_div(fpn, source, prec, mode, f); break;
        case 0x22: case 0x62: case 0x66: r.value = fx80_add(fpn, source, prec, mode, f); break;
        case 0x23: case 0x63: case 0x67: r.value = fx80_mul(fpn, source, prec, mode, f); break;
        case 0x28: case 0x68: case 0x6C: r.value = fx80_sub(fpn, source, prec, mode, f); break;
        case 0x24: r.value = fx80_div(fpn, source, kPrecisionSingle, mode, f); break;
        case 0x27: r.value = fx80_sglmul(fpn, source, mode, f); break;
        case 0x26: r.value = fpu_fscale(fpn, source, prec, mode, f); break;
        case 0x21: case 0x25: {
            const RemainderResult rem = fx80_remainder(fpn, source, opmode == 0x25, f);
            r.kind = FpuOpKind::StoreQuotient;
            r.value = rem.value;
            r.quotient = static_cast<uint8_t>((rem.quotient_sign << 7) | rem.quotient);
            break;
        }
        case 0x30: case 0x31: case 0x32: case 0x33: case 0x34: case 0x35: case 0x36: case 0x37: {
            const SinCosResult sc = fpu_fsincos(source, prec, mode, f);
            r.kind = FpuOpKind::SinCos;
            r.value = sc.sine;
            r.cosine = sc.cosine;
            break;
        }
        case 0x38:
            r.kind = FpuOpKind::Compare;
            r.condition = compare_condition(fpn, source, f);
            break;
        case 0x3A:
            r.kind = FpuOpKind::Test;
            r.condition = fpu_condition_codes(source);
            break;
        default: {
            const TranscendentalResult t = fpu_transcendental(opmode, source, prec, mode, f);
            if (!t.valid) return FpuOpResult{};
            r.value = t.value;
            break;
        }
    }
    return r;
}

uint32_t fpsr_after(uint32_t fpsr, const FpuOpResult& result, Fx80 stored_fpn) {
    switch (result.kind) {
        case FpuOpKind::Invalid: return fpsr;
        case FpuOpKind::ConditionOnly: return fpsr_with_condition_codes(fpsr, stored_fpn);
        case FpuOpKind::Test: return (fpsr & ~kFpsrConditionMask) | result.condition;
        case FpuOpKind::Compare:
            return fpsr_with_exceptions((fpsr & ~kFpsrConditionMask) | result.condition, result.flags);
        case FpuOpKind::StoreQuotient:
            fpsr = (fpsr & ~kFpsrQuotientMask) | (uint32_t{result.quotient} << 16);
            [[fallthrough]];
        case FpuOpKind::Store:
        case FpuOpKind::SinCos:
            return fpsr_with_exceptions(fpsr_with_condition_codes(fpsr, stored_fpn), result.flags);
    }
    return fpsr;
}

}  // namespace m68k
