// Specialised routines for the hot instruction forms of the queue-less types (SCC68070 and the
// 68020 class): the operation, size and addressing modes fixed at compile time, flags inline.
//
// Each one gives exactly what the general routine of its opcode gives (registers, flags, bus
// accesses in order, cycle count, fault behaviour); memory goes through the same core/ea.hpp
// primitives, so translation, latches and the abort rule apply unchanged. The M68000/M68010
// keep the general routines: their queue refills sit inside the routines.
#pragma once

#include <cstdint>

#include "m68k/cpu.hpp"

namespace m68k {

// The specialised routine for `opcode` on `type`, given the routine the classifier chose for
// it; `general` itself when there is none.
Handler specialised_handler(CpuType type, uint16_t opcode, Handler general);

}  // namespace m68k
