// The FPU routines the 68020-class F-line decoder calls. They are defined under m68k/src/fpu:
// fpu_general and fpu_unimplemented_ea in fpu/instructions.cpp, the rest in fpu/conditional.cpp.
#pragma once

#include <cstdint>

#include "m68k/cpu.hpp"

namespace m68k {

// F200-F23F: cycles or the line-F sentinel.
int32_t fpu_general(Cpu& cpu, CpuBus& bus, uint16_t opcode);
// M68060 FScc trap: takes the format-2 line-F exception with the operand's address; returns 34.
int32_t fpu_unimplemented_ea(Cpu& cpu, CpuBus& bus, uint32_t mode, uint32_t reg);
// FBcc: the displacement is fetched and sign-extended; the target is ppc + 2 + displacement.
int32_t fpu_fbcc(Cpu& cpu, uint32_t condition, uint32_t displacement);
// FDBcc: PC points at the displacement word.
int32_t fpu_fdbcc(Cpu& cpu, CpuBus& bus, uint32_t data_reg, uint32_t condition);
// FScc: 4, or 0 when the effective address cannot be formed.
int32_t fpu_fscc(Cpu& cpu, CpuBus& bus, uint32_t mode, uint32_t reg, uint32_t condition);
// FTRAPcc with 0, 1 or 2 operand words still to consume.
int32_t fpu_ftrapcc(Cpu& cpu, CpuBus& bus, uint32_t condition, uint32_t operand_words);
// FSAVE / FRESTORE (opcode low byte).
int32_t fpu_save_restore(Cpu& cpu, CpuBus& bus, uint8_t opcode_low);

}  // namespace m68k
