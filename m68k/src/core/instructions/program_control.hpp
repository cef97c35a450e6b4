// Program control: branches, DBcc, Scc, TRAPcc, JMP/JSR, the returns, TRAP, TRAPV, NOP, RESET, STOP, LPSTOP, BKPT, ILLEGAL.
// Each routine follows the handler convention of core/handler.hpp.
#pragma once

#include <cstdint>

#include "m68k/cpu.hpp"

namespace m68k {

int32_t op_bra(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_bsr(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_bcc(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_dbcc(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_scc(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_trapcc(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_jmp(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_jsr(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_rts(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_rte(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_rtr(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_rtd(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_trap(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_trapv(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_nop(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_reset(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_stop(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_lpstop(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_bkpt(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_illegal(Cpu& cpu, CpuBus& bus, uint16_t opcode);

}  // namespace m68k
