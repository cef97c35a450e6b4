// One instruction: fetch, decode and execute, per-type cycle conversion, trace, interrupts.
#include "core/decode.hpp"
#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "core/handler.hpp"
#include "core/prefetch.hpp"
#include "core/timing.hpp"
#include "m68k/cpu.hpp"

namespace m68k {
namespace {

// Each step pays for this, so the usual models are a compare away.
inline int32_t convert_cycles(Cpu& cpu, int32_t c) {
    const auto model = static_cast<CycleModel>(cpu.cycle_model);
    if (model == CycleModel::Scc68070) return scc68070_cycles(c);
    if (model == CycleModel::Native) return c;
    if (model == CycleModel::M68020) return timing_020_030_cycles(cpu, c, true);
    if (model == CycleModel::M68040) return timing_040_cycles(cpu, c);
    return timing_060_cycles(cpu, c, true);
}

// The opcode fetch for every state but the plain one (queue model, odd PC, translation).
[[gnu::noinline]] uint16_t fetch_opcode_slow(Cpu& cpu, CpuBus& bus) {
    if (!cpu.prefetch_model) return fetch_word_full(cpu, bus);
    if (cpu.pc & 1) {
        take_address_error(cpu, bus, cpu.pc, false, true);
        return 0;
    }
    uint16_t op;
    if (cpu.prefetch_count > 0) {
        op = cpu.prefetch_queue[0];
        cpu.prefetch_queue[0] = cpu.prefetch_queue[1];
        --cpu.prefetch_count;
    } else {
        op = bus.read_word(cpu.pc & cpu.addr_mask);
    }
    cpu.pc += 2;
    return op;
}

// A routine's negative result: the status it stands for. Any other negative value is passed on
// as a count, as the conversion takes it.
[[gnu::noinline]] StepResult sentinel_result(int32_t r, uint16_t opcode) {
    if (r == kSentinelLineA) return StepResult::make(StepStatus::LineA, 0, opcode, 0);
    if (r == kSentinelLineF) return StepResult::make(StepStatus::LineF, 0, opcode, 0);
    if (r == kSentinelIllegal) return StepResult::make(StepStatus::Illegal, 0, opcode, 0);
    if (r >= kSentinelTrapBase && r < kSentinelTrapBase + 16) {
        return StepResult::make(StepStatus::Trap, static_cast<uint8_t>(r - kSentinelTrapBase), 0, 0);
    }
    if (r >= kSentinelBkptBase && r < kSentinelBkptBase + 8) {
        return StepResult::make(StepStatus::Breakpoint, static_cast<uint8_t>(r - kSentinelBkptBase), 0, 0);
    }
    return StepResult::ok(static_cast<uint32_t>(r));
}

[[gnu::noinline]] StepResult step_stopped(Cpu& cpu, CpuBus& bus) {
    if (cpu.stopped == 1 && cpu.sr_s == 0) {
        // A STOP that loaded a user-mode SR: privilege violation at the STOP.
        cpu.stopped = 0;
        cpu.ppc = cpu.pc - 4;
        const int32_t c = take_exception(cpu, bus, kVectorPrivilege);
        return StepResult::ok(static_cast<uint32_t>(c + 4));
    }
    return StepResult::stopped_result();
}

// The end of an instruction in the rarer states: a fault to roll back, the queue to refill,
// a trace bit set at its start, an interrupt pending.
[[gnu::noinline]] StepResult finish_step(Cpu& cpu, CpuBus& bus, int32_t cycles) {
    if (cpu.aborted) {
        restore_fault_snapshot(cpu);
        return StepResult::ok(static_cast<uint32_t>(cycles));
    }

    prefetch_fill(cpu, bus);

    const bool t1 = cpu.sr_at_start.t1 != 0;
    const bool t0 = cpu.sr_at_start.t0 != 0;
    const bool flow = cpu.flow_changed;
    cpu.flow_changed = false;
    // A 68000-class jump to an odd address faults at its own prefetch, before any trace: the
    // next opcode fetch takes that address error.
    const bool odd_target = cpu.odd_address_rule && (cpu.pc & 1) != 0;
    if ((t1 || (t0 && flow)) && !odd_target) {
        cpu.stopped &= ~1u;
        const int32_t c2 = take_exception_format2(cpu, bus, kVectorTrace);
        // An odd stack faulted the trace frame: continue at the address-error handler.
        if (cpu.aborted) restore_fault_snapshot(cpu);
        return StepResult::ok(static_cast<uint32_t>(cycles + c2));
    }

    if (cpu.pending_level != 0) service_interrupt(cpu, bus);
    return StepResult::ok(static_cast<uint32_t>(cycles));
}

// One instruction of a running CPU (the caller has checked `stopped`). Inlined into both step
// and run_slice so that a whole slice costs one call.
[[gnu::always_inline]] inline StepResult step_running(Cpu& cpu, CpuBus& bus) {
    cpu.vector_this_step.reset();
    cpu.ppc = cpu.pc;
    cpu.save_instruction_start();

    uint16_t opcode;
    if ((cpu.pc & 1) == 0 && ea_detail::plain_fetch(cpu)) [[likely]] {
        opcode = bus.read_word(cpu.pc & cpu.addr_mask);
        cpu.pc += 2;
    } else {
        opcode = fetch_opcode_slow(cpu, bus);
    }
    cpu.ir = opcode;
    if (cpu.aborted) [[unlikely]] {
        restore_fault_snapshot(cpu);
        return StepResult::ok(0);
    }

    int32_t raw = cpu.decode_table[opcode](cpu, bus, opcode);
    if (raw < 0) [[unlikely]] {
        // Only step writes `ir`: it still holds the opcode.
        const StepResult r = sentinel_result(raw, cpu.ir);
        if (r.status() != StepStatus::Ok) {
            cpu.pairing_state = 2;
            return r;
        }
        raw = static_cast<int32_t>(r.cycles());
    }

    const int32_t cycles = convert_cycles(cpu, raw);
    // One test for the usual end: no fault, no queue to refill, no trace, no interrupt.
    const uint32_t trace_at_start = cpu.sr_at_start.t1 | cpu.sr_at_start.t0;
    if ((cpu.aborted | cpu.pending_level | trace_at_start | static_cast<uint32_t>(cpu.prefetch_model)) == 0)
        [[likely]] {
        cpu.flow_changed = false;
        return StepResult::ok(static_cast<uint32_t>(cycles));
    }
    return finish_step(cpu, bus, cycles);
}

}  // namespace

StepResult step(Cpu& cpu, CpuBus& bus) {
    if (cpu.stopped != 0) [[unlikely]] return step_stopped(cpu, bus);
    return step_running(cpu, bus);
}

StepResult run_slice(Cpu& cpu, CpuBus& bus, uint64_t& steps) {
    uint64_t n = 0;
    StepResult result = StepResult::ok(0);
    while (cpu.slice_budget > 0) {
        if (cpu.stopped != 0) {
            result = StepResult::stopped_result();
            break;
        }
        const StepResult r = step_running(cpu, bus);
        if (r.status() != StepStatus::Ok) [[unlikely]] {
            result = r;
            break;
        }
        cpu.slice_budget -= static_cast<int32_t>(r.cycles());
        ++n;
        // A STOP ends the slice even when it used up the budget.
        if (cpu.stopped != 0) [[unlikely]] {
            result = StepResult::stopped_result();
            break;
        }
    }
    steps += n;
    return result;
}

}  // namespace m68k
