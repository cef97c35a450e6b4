// The FPU's conditional instructions (FBcc, FDBcc, FScc, FTRAPcc) and its state frames (FSAVE,
// FRESTORE). The entry points the F line calls are declared in core/fpu_entry.hpp.
#pragma once

#include <cstdint>

#include "core/fpu_entry.hpp"
#include "m68k/cpu.hpp"

namespace m68k {

// The predicate of a 6-bit condition field on FPSR's condition codes. Only the low four bits
// count: the signalling conditions act like their quiet twins and never set BSUN.
bool fpu_condition_true(uint32_t fpsr, uint32_t condition);

// Size in bytes of the FSAVE idle frame of the CPU's family (28, 44 or 12).
uint32_t fsave_idle_frame_size(CpuType type);
// Writes the idle frame of the CPU's family upward from `address` with write_data_long.
void fsave_idle_frame(CpuBus& bus, Cpu& cpu, uint32_t address);

}  // namespace m68k
