// Integer arithmetic: ADD/SUB/CMP in all their forms, ADDQ/SUBQ, NEG/NEGX/CLR/TST, EXT/EXTB, CHK, MUL, DIV.
// Each routine follows the handler convention of core/handler.hpp.
#pragma once

#include <cstdint>

#include "m68k/cpu.hpp"

namespace m68k {

// Flag routines shared with CAS/CAS2 and CMP2/CHK2. Values are masked to the size by the callers
// or inside; none touches the bus.
void flags_add(Cpu& cpu, uint32_t source, uint32_t destination, uint32_t result, uint8_t size);
void flags_sub(Cpu& cpu, uint32_t source, uint32_t destination, uint32_t result, uint8_t size);
uint32_t addx_with_flags(Cpu& cpu, uint8_t size, uint32_t source, uint32_t destination);
uint32_t subx_with_flags(Cpu& cpu, uint8_t size, uint32_t source, uint32_t destination);
// N, Z, V, C of destination - source; X unchanged. Returns 4.
int32_t cmp_flags(Cpu& cpu, uint8_t size, uint32_t source, uint32_t destination);
// Word sources are sign-extended; the compare is on 32 bits. Returns 6.
int32_t cmpa_flags(Cpu& cpu, uint8_t size, uint32_t source, uint32_t an);
// M68000 data-register write with its prefetch: returns 4 (byte, word) or 6 (long).
int32_t write_data_register_timed(Cpu& cpu, CpuBus& bus, uint8_t reg, uint8_t size, uint32_t value);

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
