// Address translation of the 68030, 68040 and 68060 (only those with an MMU translate).
#pragma once

#include <cstdint>

#include "core/exceptions.hpp"
#include "m68k/cpu.hpp"

namespace m68k {

inline constexpr uint32_t kNoFault = 0xFF;

constexpr TranslateResult make_translate_result(uint32_t address, uint8_t status, uint8_t kind) {
    return static_cast<TranslateResult>(address) | (static_cast<TranslateResult>(status) << 32) |
           (static_cast<TranslateResult>(kind) << 40);
}
constexpr uint32_t translate_fault_kind(TranslateResult r) { return static_cast<uint32_t>((r >> 40) & 0xFF); }
constexpr uint8_t translate_status(TranslateResult r) { return static_cast<uint8_t>((r >> 32) & 0xFF); }
constexpr uint32_t translate_address_of(TranslateResult r) { return static_cast<uint32_t>(r); }

TranslateResult translate_address(Cpu& cpu, CpuBus& bus, uint32_t address, bool write, bool supervisor,
                                  bool instruction);

// The 68030 coprocessor-form MMU instructions; 0 means the decoder treats the opcode as line F.
int32_t op_pmmu(Cpu& cpu, CpuBus& bus, uint16_t opcode);

}  // namespace m68k
