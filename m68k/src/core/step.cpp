// One instruction: fetch, decode and execute, per-type cycle conversion, trace, interrupts.
#include "core/decode.hpp"
#include "core/exceptions.hpp"
#include "core/prefetch.hpp"
#include "core/timing.hpp"
#include "m68k/cpu.hpp"

namespace m68k {
namespace {

int32_t convert_cycles(Cpu& cpu, int32_t c) {
    switch (cpu.cpu_type) {
    case CpuType::Invalid:
    case CpuType::M68000:
    case CpuType::M68010: return c;
    case CpuType::M68EC020:
    case CpuType::M68020:
    case CpuType::M68EC030:
    case CpuType::M68030: return timing_020_030_cycles(cpu, c, true);
    case CpuType::M68EC040:
    case CpuType::M68LC040:
    case CpuType::M68040: return timing_040_cycles(cpu, c);
    case CpuType::M68060: return timing_060_cycles(cpu, c, true);
    default: return scc68070_cycles(c);
    }
}

uint16_t fetch_opcode(Cpu& cpu, CpuBus& bus) {
    if (!cpu.prefetch_model) {
        // The usual case, an even PC with no translation, reads the opcode straight from the
        // bus: fetch_word's result, without its call and re-checks on every step.
        if ((cpu.pc & 1) == 0 && !(cpu.mmu_present && cpu.mmu_enabled)) {
            const uint16_t op = bus.read_word(cpu.pc & cpu.addr_mask);
            cpu.pc += 2;
            return op;
        }
        return fetch_word(cpu, bus);
    }
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

}  // namespace

StepResult step(Cpu& cpu, CpuBus& bus) {
    if (cpu.stopped != 0) {
        if (cpu.stopped == 1 && cpu.sr_s == 0) {
            // A STOP that loaded a user-mode SR: privilege violation at the STOP.
            cpu.stopped = 0;
            cpu.ppc = cpu.pc - 4;
            const int32_t c = take_exception(cpu, bus, kVectorPrivilege);
            return StepResult::ok(static_cast<uint32_t>(c + 4));
        }
        return StepResult::stopped_result();
    }

    cpu.vector_this_step.reset();
    cpu.ppc = cpu.pc;
    for (int i = 0; i < 8; ++i) {
        cpu.insn_snapshot[i] = cpu.data_regs[i];
        cpu.insn_snapshot[8 + i] = cpu.addr_regs[i];
    }
    cpu.sr_at_start = cpu.get_sr();

    const uint16_t opcode = fetch_opcode(cpu, bus);
    cpu.ir = opcode;
    if (cpu.aborted) {
        restore_fault_snapshot(cpu);
        return StepResult::ok(0);
    }

    const StepResult r = decode_execute(cpu, bus, opcode);
    if (r.status() != StepStatus::Ok) {
        cpu.pairing_state = 2;
        return r;
    }

    const int32_t cycles = convert_cycles(cpu, static_cast<int32_t>(r.cycles()));
    if (cpu.aborted) {
        restore_fault_snapshot(cpu);
        return StepResult::ok(static_cast<uint32_t>(cycles));
    }

    if (cpu.prefetch_model && !cpu.loop_mode_active && (cpu.pc & 1) == 0 && cpu.stopped == 0) {
        prefetch_fill(cpu, bus);
    }

    const bool t1 = (cpu.sr_at_start & 0x8000) != 0;
    const bool t0 = (cpu.sr_at_start & 0x4000) != 0;
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

}  // namespace m68k
