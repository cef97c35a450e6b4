// The decode table: one classifier, memoised into a 65,536-entry routine table per CpuType.
//
// The table fixes what the opcode and the type decide (which instruction, which addressing
// modes are legal, which types run it). Privilege, extension-word checks and the abort tests
// stay in the routines.
#pragma once

#include <cstdint>

#include "m68k/cpu.hpp"

namespace m68k {

// The routine for one opcode on one type (pure; no table involved).
Handler classify(CpuType type, uint16_t opcode);

// The memoised table of a type, built on first use and kept for the process: the classifier's
// routine, or its specialised equivalent where there is one (core/instructions/fast_paths.hpp).
const Handler* decode_table_for(CpuType type);

// The StepResult of a routine's negative result (a sentinel of core/handler.hpp).
StepResult decode_sentinel(int32_t result, uint16_t opcode);

// Decoder-level outcomes, routed to by the table.
int32_t op_invalid(Cpu& cpu, CpuBus& bus, uint16_t opcode);        // undefined encoding: illegal
int32_t op_line_a(Cpu& cpu, CpuBus& bus, uint16_t opcode);         // the whole A line
int32_t op_line_f(Cpu& cpu, CpuBus& bus, uint16_t opcode);         // F line of the 68000 class
int32_t op_unimplemented_integer(Cpu& cpu, CpuBus& bus, uint16_t opcode);  // M68060 vector 61
// The F line of the 68020 class: coprocessor privilege, then the PMMU, FPU, cache, MMU,
// MOVE16 and LPSTOP forms (core/fline.cpp).
int32_t op_fline_68020(Cpu& cpu, CpuBus& bus, uint16_t opcode);

}  // namespace m68k
