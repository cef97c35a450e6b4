// Drives `step` with a routine of the test's own for every opcode, so the core's paths (faults,
// roll-back, conversion, trace) can be tested without the instruction families.
#pragma once

#include <array>

#include "m68k/cpu.hpp"

namespace m68k::test {

struct CustomTable {
    std::array<Handler, 65536> routines;
    explicit CustomTable(Handler h) { routines.fill(h); }
    // Call after set_cpu_type, which installs the type's own table.
    void install(Cpu& cpu) const { cpu.decode_table = routines.data(); }
};

}  // namespace m68k::test
