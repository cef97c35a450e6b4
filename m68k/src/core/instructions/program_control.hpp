// Program control: branches, DBcc, Scc, TRAPcc, JMP/JSR, the returns, TRAP, TRAPV, NOP, RESET, STOP, LPSTOP, BKPT, ILLEGAL.
// Each routine follows the handler convention of core/handler.hpp.
#pragma once

#include <cstdint>

#include "m68k/cpu.hpp"

namespace m68k {

// The integer condition of Bcc, DBcc, Scc and TRAPcc (cc = 0-15).
constexpr bool test_condition(const Cpu& cpu, uint32_t cc) {
    const bool c = (cpu.flag_c & 0x100) != 0;
    const bool v = (cpu.flag_v & 0x80) != 0;
    const bool n = (cpu.flag_n & 0x80) != 0;
    const bool z = cpu.flag_not_z == 0;
    switch (cc & 15) {
    case 0: return true;
    case 1: return false;
    case 2: return !c && !z;
    case 3: return c || z;
    case 4: return !c;
    case 5: return c;
    case 6: return !z;
    case 7: return z;
    case 8: return !v;
    case 9: return v;
    case 10: return !n;
    case 11: return n;
    case 12: return n == v;
    case 13: return n != v;
    case 14: return !z && n == v;
    default: return z || n != v;
    }
}

// Whether the M68010 may loop this one-word instruction under a DBcc.
bool loop_mode_eligible(uint16_t word);

// The most format-1 (throwaway) frames one 68020-class RTE pops before the frame it returns
// through; a further throwaway word is a format error, so a stack that keeps yielding format 1
// (a bus answering one constant) cannot hold one step forever.
inline constexpr int kRteMaxThrowawayFrames = 1;

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
