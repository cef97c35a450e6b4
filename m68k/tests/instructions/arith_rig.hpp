// A CPU of a chosen type over the recording bus, running one instruction through the decode table
// and giving the routine's own count (before the per-type conversion of step).
#pragma once

#include <cstdint>
#include <initializer_list>

#include "m68k/cpu.hpp"
#include "support/test_bus.hpp"

namespace m68k::test {

struct ArithRig {
    static constexpr uint32_t kCode = 0x1000;
    static constexpr uint32_t kStack = 0x8000;
    static constexpr uint32_t kHandlers = 0x4000;  // vector n's handler at kHandlers + 4n

    Cpu cpu;
    TestBus bus;

    explicit ArithRig(CpuType type) {
        cpu.set_cpu_type(type);
        cpu.set_sr(0x2700);
        cpu.addr_regs[7] = kStack;
        for (uint32_t v = 0; v < 64; ++v) bus.poke_long(v * 4, kHandlers + 4 * v);
    }

    // Code words at kCode; the first is the opcode.
    void load(std::initializer_list<uint16_t> words) {
        uint32_t a = kCode;
        for (uint16_t w : words) {
            bus.poke_word(a, w);
            a += 2;
        }
    }

    // Runs the routine the table gives the opcode at kCode and returns its count.
    int32_t run() {
        const uint16_t opcode = bus.peek_word(kCode);
        cpu.ppc = kCode;
        cpu.pc = kCode + 2;
        cpu.ir = opcode;
        cpu.prefetch_count = 0;
        cpu.vector_this_step.reset();
        return cpu.decode_table[opcode](cpu, bus, opcode);
    }

    bool flag_z() const { return cpu.flag_not_z == 0; }
    bool flag_n() const { return (cpu.flag_n & 0x80) != 0; }
    bool flag_v() const { return (cpu.flag_v & 0x80) != 0; }
    bool flag_c() const { return (cpu.flag_c & 0x100) != 0; }
    bool flag_x() const { return (cpu.flag_x & 0x100) != 0; }
    // The vector taken inside the routine, or -1.
    int vector() const { return cpu.vector_this_step ? static_cast<int>(*cpu.vector_this_step) : -1; }
};

}  // namespace m68k::test
