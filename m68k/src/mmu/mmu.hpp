// Address translation of the 68030, 68040 and 68060 (only those with an MMU translate).
#pragma once

#include <cstdint>

#include "core/exceptions.hpp"
#include "m68k/cpu.hpp"

namespace m68k {

inline constexpr uint32_t kNoFault = 0xFF;
inline constexpr uint8_t kFaultConfiguration = 0;  // 68030 TC or root pointer unusable: vector 56
inline constexpr uint8_t kFaultAccess = 2;         // bus error

// Status bytes of an access fault.
inline constexpr uint8_t kStatusRootInvalid = 0;
inline constexpr uint8_t kStatusPointerInvalid = 1;
inline constexpr uint8_t kStatusIndirectInvalid = 2;
inline constexpr uint8_t kStatusPageInvalid = 3;
inline constexpr uint8_t kStatusWriteProtected = 4;
inline constexpr uint8_t kStatusSupervisorOnly = 5;

constexpr TranslateResult make_translate_result(uint32_t address, uint8_t status, uint8_t kind) {
    return static_cast<TranslateResult>(address) | (static_cast<TranslateResult>(status) << 32) |
           (static_cast<TranslateResult>(kind) << 40);
}
constexpr uint32_t translate_fault_kind(TranslateResult r) { return static_cast<uint32_t>((r >> 40) & 0xFF); }
constexpr uint8_t translate_status(TranslateResult r) { return static_cast<uint8_t>((r >> 32) & 0xFF); }
constexpr uint32_t translate_address_of(TranslateResult r) { return static_cast<uint32_t>(r); }

// Logical to physical. `alt_fc_access` overrides `supervisor` and `instruction` with `alt_fc`.
// Descriptor reads go to the bus at physical addresses; the tables are never written.
TranslateResult translate_address(Cpu& cpu, CpuBus& bus, uint32_t address, bool write, bool supervisor,
                                  bool instruction);

// One 68030 TT register against an access with this function code.
bool tt_register_matches_030(uint32_t tt, uint32_t address, uint8_t fc, bool write);

enum class SearchOutcome : uint8_t { Found, Invalid, LimitReached, ConfigurationError };

// The 68030 table search.
struct TableSearch {
    SearchOutcome outcome = SearchOutcome::ConfigurationError;
    bool indirect_invalid = false;  // the levels ran out on a table whose target is no page
    uint32_t levels = 0;            // descriptors read for table levels
    uint32_t last_descriptor_address = 0;
    uint32_t descriptor = 0;        // the page descriptor's address field (bits 31-8 significant)
    uint32_t translated_bits = 0;   // IS plus the index bits used
    bool write_protected = false;
    bool supervisor_only = false;
};

// `level_limit` -1 searches to the page; otherwise at most that many levels.
TableSearch search_translation_table(Cpu& cpu, CpuBus& bus, uint32_t address, uint8_t fc, int level_limit);

struct PtestResult {
    uint32_t mmusr = 0;
    uint32_t last_descriptor_address = 0;
};
// The 68030 PTEST: level 0 tests TT0/TT1, higher levels search the tables.
PtestResult match_transparent_translation(Cpu& cpu, CpuBus& bus, uint32_t address, uint8_t fc, bool write,
                                          uint32_t level);

// 68030 MMUSR bits.
inline constexpr uint32_t kMmusrBusError = 0x8000;
inline constexpr uint32_t kMmusrSupervisor = 0x2000;
inline constexpr uint32_t kMmusrWriteProtected = 0x0800;
inline constexpr uint32_t kMmusrInvalid = 0x0400;
inline constexpr uint32_t kMmusrTransparent = 0x0040;

void flush_atc(Cpu& cpu);

// The 68030 coprocessor-form MMU instructions; 0 means the decoder treats the opcode as line F.
int32_t op_pmmu(Cpu& cpu, CpuBus& bus, uint16_t opcode);

}  // namespace m68k
