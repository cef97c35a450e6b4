// 68000 cycle counts that routines add to their base counts, and the conversion of a 68000
// count to the later processors.
#pragma once

#include <cstdint>

#include "core/ea.hpp"
#include "core/timing_060.hpp"

namespace m68k {

// Source-operand effective-address time; byte and word cost the same.
constexpr int32_t ea_timing_68000(uint8_t kind, uint8_t size) {
    const bool lng = size == kSizeLong;
    switch (kind) {
    case 0: case 1: return 0;
    case 2: case 3: case 11: return lng ? 8 : 4;
    case 4: return lng ? 10 : 6;
    case 5: case 7: case 9: return lng ? 12 : 8;
    case 6: case 10: return lng ? 14 : 10;
    case 8: return lng ? 16 : 12;
    default: return 0;
    }
}

// M68000 count of BTST (0), BCHG (1), BCLR (2), BSET (3). `is_static`: the bit number comes
// from an extension word. The caller has already reduced the bit number.
constexpr int32_t cycles_by_ea_and_count(uint8_t kind, uint8_t operation, bool is_static, uint32_t bit) {
    if (kind == 0) {
        int32_t c = 6;
        if (is_static) c += 4;
        if (operation == 2) c += 2;
        if (operation != 0 && bit >= 16) c += 2;
        return c;
    }
    if (kind == 11) return 10;
    int32_t c = 4;
    if (operation != 0) c += 4;
    if (is_static) c += 4;
    return c + ea_timing_68000(kind, kSizeByte);
}

static_assert(ea_timing_68000(4, kSizeWord) == 6 && ea_timing_68000(4, kSizeLong) == 10);
static_assert(ea_timing_68000(11, kSizeLong) == 8);
static_assert(cycles_by_ea_and_count(0, 2, false, 17) == 10);
static_assert(cycles_by_ea_and_count(0, 0, true, 3) == 10);
static_assert(cycles_by_ea_and_count(2, 3, true, 0) == 16);
static_assert(cycles_by_ea_and_count(5, 0, false, 0) == 12);
static_assert(cycles_by_ea_and_count(11, 0, false, 5) == 10);

// The 68020-68060 cycle models; step calls them on the 68020 class after an instruction that
// ended Ok. `executed` is unused (step always passes true).
// 68EC020-68030: the 68020 cache-case counts where the model has them, else the fallback.
int32_t timing_020_030_cycles(Cpu& cpu, int32_t cycles, bool executed);
// 68EC040, 68LC040, 68040: from the opcode class table.
int32_t timing_040_cycles(Cpu& cpu, int32_t cycles);

// The 68020 cache-case time to fetch an operand: mode and register field, operand size.
int32_t timing_020_ea_cost(uint32_t mode, uint32_t reg, uint8_t size);

// max(2, (5c + 7) / 8), truncating toward zero.
constexpr int32_t scc68070_cycles(int32_t c) {
    const int64_t t = (5 * static_cast<int64_t>(c) + 7) / 8;
    return t < 2 ? 2 : static_cast<int32_t>(t);
}
static_assert(scc68070_cycles(0) == 2 && scc68070_cycles(1) == 2 && scc68070_cycles(4) == 3 &&
              scc68070_cycles(8) == 5 && scc68070_cycles(10) == 7 && scc68070_cycles(12) == 8 &&
              scc68070_cycles(132) == 83);

}  // namespace m68k
