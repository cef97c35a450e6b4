// Logical, shift, bit and bit-field instructions.
// Each routine follows the handler convention of core/handler.hpp.
#pragma once

#include <cstdint>

#include "m68k/cpu.hpp"

namespace m68k {

int32_t op_ori_ea(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_andi_ea(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_eori_ea(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_ori_ccr(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_andi_ccr(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_eori_ccr(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_ori_sr(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_andi_sr(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_eori_sr(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_or_to_register(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_or_to_ea(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_and_to_register(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_and_to_ea(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_eor(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_not(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_tas(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_btst(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_bchg(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_bclr(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_bset(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_shift_register(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_shift_memory(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_bitfield(Cpu& cpu, CpuBus& bus, uint16_t opcode);

}  // namespace m68k
