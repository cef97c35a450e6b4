// BCD instructions and PACK/UNPK.
// Each routine follows the handler convention of core/handler.hpp.
#pragma once

#include <cstdint>

#include "m68k/cpu.hpp"

namespace m68k {

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
