// System control: moves to and from SR, CCR and USP, MOVEC, HALT, PULSE, and the 68040/68060 cache and MMU forms of the F line.
// Each routine follows the handler convention of core/handler.hpp.
#pragma once

#include <cstdint>

#include "m68k/cpu.hpp"

namespace m68k {

int32_t op_move_from_sr(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_move_from_ccr(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_move_to_ccr(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_move_to_sr(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_move_usp(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_movec(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_halt(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_pulse(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_cinv_cpush(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_pflush(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_ptest(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_plpa(Cpu& cpu, CpuBus& bus, uint16_t opcode);

}  // namespace m68k
