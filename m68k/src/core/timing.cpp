#include "core/timing.hpp"

namespace m68k {

// The 68020-68060 cycle models are their own piece of work; until they land the 68000 count
// stands on those types.
int32_t timing_020_030_cycles(Cpu& /*cpu*/, int32_t cycles, bool /*executed*/) { return cycles; }
int32_t timing_040_cycles(Cpu& /*cpu*/, int32_t cycles) { return cycles; }
int32_t timing_060_cycles(Cpu& /*cpu*/, int32_t cycles, bool /*executed*/) { return cycles; }

}  // namespace m68k
