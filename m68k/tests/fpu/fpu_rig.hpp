// Test rig for the FPU instructions: a CPU over a test bus with the F-line, TRAPcc and
// unimplemented-FPU vectors pointing at known handlers, stepping one instruction at kCode.
#pragma once

#include <bit>
#include <initializer_list>

#include "core/exceptions.hpp"
#include "fpu/softfloat.hpp"
#include "m68k/cpu.hpp"
#include "support/test_bus.hpp"

namespace m68k::fpu_test {

constexpr uint32_t kCode = 0x1000;
constexpr uint32_t kStack = 0x8000;
constexpr uint32_t kData = 0x3000;
constexpr uint32_t kLineFHandler = 0x5000;
constexpr uint32_t kVector55Handler = 0x5500;
constexpr uint32_t kVector60Handler = 0x6000;
constexpr uint32_t kTrapHandler = 0x7000;

inline Fx80 fx(double d) { return fx80_from_double(std::bit_cast<uint64_t>(d)); }

struct Rig {
    Cpu cpu;
    test::TestBus bus;

    explicit Rig(CpuType type = CpuType::M68040) {
        cpu.set_cpu_type(type);
        cpu.addr_regs[7] = kStack;
        bus.poke_long(kVectorLineF * 4, kLineFHandler);
        bus.poke_long(kVectorTrapv * 4, kTrapHandler);
        bus.poke_long(kVectorFpUnsupportedType * 4, kVector55Handler);
        bus.poke_long(kVectorFpUnimplementedEa * 4, kVector60Handler);
    }
    // Places the words at kCode and steps once.
    StepResult run(std::initializer_list<uint16_t> words) {
        uint32_t a = kCode;
        for (uint16_t w : words) {
            bus.poke_word(a, w);
            a += 2;
        }
        cpu.pc = kCode;
        return step(cpu, bus);
    }
    uint32_t sp() const { return cpu.addr_regs[7]; }
};

}  // namespace m68k::fpu_test
