// Integer arithmetic: ADD/SUB/CMP in all their forms, ADDQ/SUBQ, NEG/NEGX/CLR/TST, EXT/EXTB, CHK, MUL, DIV.
// Each routine follows the handler convention of core/handler.hpp.
#pragma once

#include <cstdint>

#include "m68k/cpu.hpp"

namespace m68k {

int32_t op_addi(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_subi(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_cmpi(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_add_to_register(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_add_to_ea(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_sub_to_register(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_sub_to_ea(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_adda(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_suba(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_addx_register(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_addx_memory(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_subx_register(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_subx_memory(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_cmp(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_cmpa(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_cmpm(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_addq(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_subq(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_negx(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_clr(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_neg(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_tst(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_chk(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t ext_reg(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t extb_long(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_mulu_word(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_muls_word(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_divu_word(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_divs_word(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_mul_long(Cpu& cpu, CpuBus& bus, uint16_t opcode);
int32_t op_div_long(Cpu& cpu, CpuBus& bus, uint16_t opcode);

}  // namespace m68k
