// Data movement: MOVE/MOVEA, MOVEQ, MOVEM, MOVEP, LEA, PEA, LINK, UNLK, SWAP, EXG, MOVES, MOVE16.
// Each routine follows the handler convention of core/handler.hpp.
#pragma once

#include <cstdint>

#include "m68k/cpu.hpp"

namespace m68k {

int32_t op_move(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_moveq(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_movem_to_memory(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_movem_to_registers(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_movep(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_lea(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_pea(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_link_word(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_link_long(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_unlk(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_swap(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_exg(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_moves(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_move16(Cpu& cpu, CpuBus& bus, uint16_t opcode);

}  // namespace m68k
