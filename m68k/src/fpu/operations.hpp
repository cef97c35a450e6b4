// The FPU's arithmetic operations as pure functions: the opmode table evaluated on FP[n] and an
// already-read source, the FPSR bookkeeping rules, the constant ROM, and the remainder core.
// The instruction side keeps FP0-FP7, FPCR and FPSR and applies what these return.
#pragma once

#include <cstdint>

#include "fpu/softfloat.hpp"

namespace m68k {

// FPSR fields.
inline constexpr uint32_t kFpsrN = 0x08000000;
inline constexpr uint32_t kFpsrZ = 0x04000000;
inline constexpr uint32_t kFpsrI = 0x02000000;
inline constexpr uint32_t kFpsrNan = 0x01000000;
inline constexpr uint32_t kFpsrConditionMask = 0x0F000000;
inline constexpr uint32_t kFpsrQuotientMask = 0x00FF0000;
inline constexpr uint32_t kFpsrExceptionMask = 0x0000FF00;
// Accrued byte.
inline constexpr uint32_t kFpsrAccruedIop = 0x80;
inline constexpr uint32_t kFpsrAccruedOvfl = 0x40;
inline constexpr uint32_t kFpsrAccruedUnfl = 0x20;
inline constexpr uint32_t kFpsrAccruedDz = 0x10;
inline constexpr uint32_t kFpsrAccruedInex = 0x08;

// The condition-code bits (27-24) of a value.
uint32_t fpu_condition_codes(Fx80 value);
// FPSR with bits 27-24 replaced by the condition codes of `value`.
uint32_t fpsr_with_condition_codes(uint32_t fpsr, Fx80 value);
// FPSR with the exception byte replaced by `flags` and the derived bits ORed into the accrued
// byte (UNFL accrues only together with INEX2).
uint32_t fpsr_with_exceptions(uint32_t fpsr, uint8_t flags);

// Precision and mode of an opmode under FPCR: opmode bit 6 forces single (bit 2 clear) or double.
RoundingPrecision fpu_precision(uint8_t opmode, uint32_t fpcr);
RoundingMode fpu_rounding_mode(uint32_t fpcr);

// FMOVECR: the constant at a 7-bit ROM offset (+0 for the unused offsets).
Fx80 fpu_constant_rom(uint8_t offset);

struct RemainderResult {
    Fx80 value;
    uint8_t quotient;       // the low 7 bits of the quotient's magnitude
    uint8_t quotient_sign;  // 0 or 1
};
// FMOD (round_quotient false) and FREM (true).
RemainderResult fx80_remainder(Fx80 a, Fx80 b, bool round_quotient, uint8_t& flags);

Fx80 fx80_getexp(Fx80 x, uint8_t& flags);
Fx80 fx80_getman(Fx80 x, uint8_t& flags);
// FSCALE: fpn x 2^(integer part of source). A NaN source returns the NaN (FP[n]'s wins); an
// infinite source is an operand error.
Fx80 fpu_fscale(Fx80 fpn, Fx80 source, RoundingPrecision precision, RoundingMode mode, uint8_t& flags);
// FSGLMUL: both mantissas cut to 24 bits, then a single-precision product.
Fx80 fx80_sglmul(Fx80 a, Fx80 b, RoundingMode mode, uint8_t& flags);
// A value rounded to a precision (zeros, infinities and NaNs unchanged; a signalling NaN stays).
Fx80 fx80_round_to_precision(Fx80 x, RoundingPrecision precision, RoundingMode mode, uint8_t& flags);

// How the instruction side applies a result.
enum class FpuOpKind : uint8_t {
    Invalid,        // no instruction: nothing changes, the caller raises line F
    Store,          // FP[n] := value; condition codes from it; exceptions replaced, accrued ORed
    StoreQuotient,  // Store, and the quotient byte (FPSR bits 23-16)
    ConditionOnly,  // FP[n] := value; condition codes from it; exception and accrued bytes kept
    SinCos,         // FP[n] := value, then FP[opmode & 7] := cosine; codes from FP[n]; as Store
    Compare,        // nothing stored; condition := `condition`; exceptions as Store
    Test,           // nothing stored; condition := `condition`
};

struct FpuOpResult {
    FpuOpKind kind = FpuOpKind::Invalid;
    Fx80 value{};
    Fx80 cosine{};
    uint8_t flags = 0;
    uint8_t quotient = 0;     // bit 7 the sign, bits 6-0 the quotient's low bits
    uint32_t condition = 0;   // Compare and Test: bits 27-24
};

// One arithmetic opmode on fpn (FP[n]) and an already-read source.
FpuOpResult fpu_compute(uint8_t opmode, Fx80 fpn, Fx80 source, uint32_t fpcr);
// The FPSR after applying a result (the condition codes of `stored_fpn`, which is FP[n] after all
// writes, for the kinds that store).
uint32_t fpsr_after(uint32_t fpsr, const FpuOpResult& result, Fx80 stored_fpn);

}  // namespace m68k
