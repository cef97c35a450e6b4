// BCD instructions and PACK/UNPK.
// Each routine follows the handler convention of core/handler.hpp.
#pragma once

#include <cstdint>

#include "m68k/cpu.hpp"

namespace m68k {

// Decimal sum and difference of two bytes with X (destination - source for sbcd_core); set X, C,
// Z (only cleared), and N and V by the type's rule. Invalid digits follow the same formulas.
uint32_t abcd_core(Cpu& cpu, uint32_t source, uint32_t destination);
uint32_t sbcd_core(Cpu& cpu, uint32_t source, uint32_t destination);

int32_t op_abcd_register(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_abcd_memory(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_sbcd_register(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_sbcd_memory(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_nbcd(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_pack_register(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_pack_memory(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_unpk_register(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_unpk_memory(Cpu& cpu, CpuBus& bus, uint16_t opcode);

}  // namespace m68k
