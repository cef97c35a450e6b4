// The opcode class table shared by the 68040 and 68060 cycle models, the register masks of the
// 68060's pairing test, and the 68060 model itself (superscalar pairing and branch cache).
#pragma once

#include <cstdint>

#include "m68k/cpu.hpp"

namespace m68k {

// Class word bits.
inline constexpr uint16_t kClassCannotStartPair = 0x0001;  // pairing class 1 (bits 0-1)
inline constexpr uint16_t kClassBranch = 0x0080;
inline constexpr uint16_t kClassBranchByPc = 0x0100;  // with kClassBranch: taken when PC != ppc + 4
inline constexpr uint16_t kClassScaled = 0x0200;       // the 68000 count / 4 instead of the base
inline constexpr uint16_t kClassCarried = 0x0400;      // carried to prev_write_mask bit 16
inline constexpr uint16_t kClassAfterCarried = 0x0800; // cannot pair after a kClassCarried one
inline constexpr uint16_t kClassExtraCycle = 0x1000;
inline constexpr uint16_t kClassScaled2 = 0x2000;
inline constexpr uint16_t kClassMemoryRead = 0x4000;
inline constexpr uint16_t kClassMemoryWrite = 0x8000;

constexpr uint32_t class_base_cycles(uint16_t w) { return (w >> 2) & 0x1F; }

// The class word of an opcode. The 65,536-entry table is built once, on first use, under the
// language's one-time initialisation guard, and is read-only afterwards.
uint16_t opcode_class_entry(uint16_t opcode);

// Registers an opcode reads and writes: bit n Dn, bit 8 + n An.
struct RegisterMasks {
    uint16_t read = 0;
    uint16_t write = 0;
    friend constexpr bool operator==(const RegisterMasks&, const RegisterMasks&) = default;
};
RegisterMasks opcode_register_masks(uint16_t opcode);

// The 68060 count of the instruction in `ir`, from its 68000 count; updates pairing_state,
// prev_write_mask and the branch cache. `executed` is unused (step always passes true).
int32_t timing_060_cycles(Cpu& cpu, int32_t cycles, bool executed);

}  // namespace m68k
