// The scheduler's loop as it runs step, one instruction per call: what run_slice must match.
#pragma once

#include <cstdint>

#include "m68k/cpu.hpp"

namespace m68k {

inline StepResult step_loop(Cpu& cpu, CpuBus& bus, uint64_t& steps) {
    while (true) {
        if (cpu.slice_budget <= 0) return StepResult::ok(0);
        if (cpu.stopped != 0) return StepResult::stopped_result();
        const StepResult r = step(cpu, bus);
        if (r.status() != StepStatus::Ok) return r;
        cpu.slice_budget -= static_cast<int32_t>(r.cycles());
        ++steps;
        if (cpu.stopped != 0) return StepResult::stopped_result();
    }
}

}  // namespace m68k
