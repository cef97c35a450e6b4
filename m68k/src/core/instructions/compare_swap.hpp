// Compare-and-swap, bounds-check and module instructions.
// Each routine follows the handler convention of core/handler.hpp.
#pragma once

#include <cstdint>

#include "m68k/cpu.hpp"

namespace m68k {

int32_t op_cmp2_chk2(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_cas(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_cas2(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_callm(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_rtm(Cpu& cpu, CpuBus& bus, uint16_t opcode);

}  // namespace m68k
