// The FPU's general instruction (F200-F23F): command-word decoding, operand reads and writes in
// the seven memory formats, control-register and FMOVEM transfers, FMOVECR, and the M68060's
// traps for the forms that processor leaves to software. The arithmetic itself is
// fpu/operations.hpp; the entry points the F line calls are declared in core/fpu_entry.hpp.
#pragma once

#include <cstdint>

#include "core/fpu_entry.hpp"
#include "m68k/cpu.hpp"
#include "m68k/fx80.hpp"

namespace m68k {

// Command bits 12-10 of the memory classes.
enum class FpFormat : uint8_t {
    Long = 0,
    Single = 1,
    Extended = 2,
    PackedStatic = 3,
    Word = 4,
    Double = 5,
    Byte = 6,
    PackedDynamic = 7,  // class 2: FMOVECR instead
};

// Bytes the format occupies in memory.
uint32_t fp_format_size(FpFormat format);

// Vectors of the M68060's unimplemented data type and unimplemented effective address.
inline constexpr uint32_t kVectorFpUnsupportedType = 55;
inline constexpr uint32_t kVectorFpUnimplementedEa = 60;

// One arithmetic opmode on FP[n] and an already-read source, applied to the registers and FPSR.
// Returns 4, or 0 when the opmode is no instruction (nothing changed; the caller raises line F).
int32_t fpu_operation(Cpu& cpu, uint8_t opmode, uint32_t n, Fx80 source);
// FPSR's exception byte := flags; the derived accrued bits ORed in.
void fpsr_set_exceptions(Cpu& cpu, uint8_t flags);
// FPSR bits 27-24 := the condition codes of `value`.
void fpu_set_condition_codes(Cpu& cpu, Fx80 value);

struct FpOperandRead {
    bool valid = false;  // false: the addressing is not allowed for this format
    Fx80 value{};
};
// Reads and converts a source operand named by the opcode's effective-address field (PC past
// the command word).
FpOperandRead fpu_read_operand(Cpu& cpu, CpuBus& bus, uint16_t opcode, FpFormat format);
// The operand's address for a trap frame (0 for a register, an immediate or an invalid mode),
// with (An)+ and -(An) applied and an immediate's extension words skipped.
uint32_t fpu_operand_address(Cpu& cpu, CpuBus& bus, uint16_t opcode, FpFormat format);

}  // namespace m68k
