// One instruction: fetch, decode and execute, per-type cycle conversion, trace, interrupts.
#include "core/decode.hpp"
#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "core/handler.hpp"
#include "core/prefetch.hpp"
#include "core/timing.hpp"
#include "m68k/cpu.hpp"

#include <array>

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
// `trace_at_start`: the T1 and T0 bits of the SR the instruction started with.
[[gnu::noinline]] uint32_t finish_step(Cpu& cpu, CpuBus& bus, int32_t cycles, uint32_t trace_at_start) {
    if (cpu.aborted) {
        restore_fault_snapshot(cpu);
        return static_cast<uint32_t>(cycles);
    }

    prefetch_fill(cpu, bus);

    const bool t1 = (trace_at_start & 0x8000u) != 0;
    const bool t0 = (trace_at_start & 0x4000u) != 0;
    const bool flow = cpu.flow_changed;
    cpu.flow_changed = false;
    // A 68000-class jump to an odd address faults at its own prefetch, before any trace: the
    // next opcode fetch takes that address error.
    const bool odd_target = cpu.odd_address_rule && (cpu.pc & 1) != 0;
    if ((t1 || (t0 && flow)) && !odd_target) {
        cpu.stopped &= ~1u;
        // On the 68000 class only an odd stack can fault the trace frame, and the address
        // error's frame would land on that same stack: a halt. Undoing the finished instruction
        // first could make the stack even again.
        if (cpu.odd_address_rule) cpu.save_instruction_start();
        const int32_t c2 = take_exception_format2(cpu, bus, kVectorTrace);
        // An MMU fault on the trace frame: continue at its handler.
        if (cpu.aborted) restore_fault_snapshot(cpu);
        return static_cast<uint32_t>(cycles + c2);
    }

    if (cpu.pending_level != 0) service_interrupt(cpu, bus);
    return static_cast<uint32_t>(cycles);
}

// Opcodes that touch no data memory and fetch at most an immediate or a displacement: MOVEQ,
// register-to-register MOVE and arithmetic, ADDQ/SUBQ to a register, Scc Dn, DBcc, Bcc and BRA
// (not BSR), register shifts, and a few register-only line-4 forms. A branch to an odd address
// faults at the next opcode fetch, which saves the start state first. With fetches that go straight to the bus (even PC, no queue, no translation) nothing
// in them can fault, so there is nothing to roll back and step need not save the start state.
constexpr bool register_only(uint32_t op) {
    const uint32_t line = op >> 12;
    const uint32_t mode = (op >> 3) & 7;
    const uint32_t reg = op & 7;
    const uint32_t opmode = (op >> 6) & 7;
    const uint32_t size = (op >> 6) & 3;
    const bool reg_or_imm = mode <= 1 || (mode == 7 && reg == 4);
    switch (line) {
        case 0x7: return true;
        case 0x1: case 0x2: case 0x3: return mode <= 1 && ((op >> 6) & 7) <= 1;
        case 0x5: return mode <= 1;                   // ADDQ, SUBQ, Scc Dn, DBcc
        case 0x6: return ((op >> 8) & 0xF) != 1;      // not BSR
        case 0xE: return size != 3;
        case 0x8: case 0xC:
            if (opmode == 3 || opmode == 7) return false;  // divide, multiply
            return (op & 0x100) ? mode == 0 : reg_or_imm;
        case 0x9: case 0xB: case 0xD:
            if (opmode == 3 || opmode == 7) return reg_or_imm;  // ADDA, CMPA, SUBA
            return (op & 0x100) ? mode == 0 : reg_or_imm;
        case 0x4: {
            if (op == 0x4E71) return true;                   // NOP
            if ((op & 0xFFF8) == 0x4840) return true;        // SWAP
            if ((op & 0xFFB8) == 0x4880) return true;        // EXT.W, EXT.L
            if ((op & 0xFFF8) == 0x49C0) return true;        // EXTB.L
            const uint32_t sub = (op >> 8) & 0xF;            // NEGX, CLR, NEG, NOT, TST
            return (sub == 0 || sub == 2 || sub == 4 || sub == 6 || sub == 0xA) && size != 3 && mode == 0;
        }
        default: return false;
    }
}

// A byte per opcode: one compare in step.
struct RegisterOnlyTable {
    std::array<uint8_t, 0x10000> flags{};
    constexpr RegisterOnlyTable() {
        for (uint32_t op = 0; op < 0x10000; ++op) flags[op] = register_only(op) ? 1 : 0;
    }
    constexpr bool test(uint16_t op) const { return flags[op] != 0; }
};
constexpr RegisterOnlyTable kRegisterOnly;
static_assert(kRegisterOnly.test(0x7001) && kRegisterOnly.test(0xD280) && kRegisterOnly.test(0xE78A) &&
              !kRegisterOnly.test(0x2018) && !kRegisterOnly.test(0x22C1) && kRegisterOnly.test(0x51CF) && !kRegisterOnly.test(0x6100) && kRegisterOnly.test(0x66FE) &&
              !kRegisterOnly.test(0x80C1) && !kRegisterOnly.test(0xD388) && !kRegisterOnly.test(0x4E75));

// The SCC68070's state as run_slice sees it: its cycle conversion, no queue model, no MMU. All
// three only change in set_cpu_type, so a slice tests them once.
inline bool scc68070_plain(const Cpu& cpu) {
    return cpu.cycle_model == static_cast<uint8_t>(CycleModel::Scc68070) && !cpu.prefetch_model &&
           !cpu.mmu_present;
}

// One instruction of a running CPU (the caller has checked `stopped`). Inlined into both step
// and run_slice so that a whole slice costs one call. kScc: the caller has checked
// scc68070_plain.
template <bool kScc>
[[gnu::always_inline]] inline StepResult step_running(Cpu& cpu, CpuBus& bus) {
    cpu.vector_this_step.reset();
    cpu.ppc = cpu.pc;
    const uint32_t trace_at_start = cpu.sr_t1 | cpu.sr_t0;

    uint16_t opcode;
    const bool plain = kScc || ea_detail::plain_fetch(cpu);
    if ((cpu.pc & 1) == 0 && plain) [[likely]] {
        opcode = read_stream_word(bus, cpu.pc & cpu.addr_mask);
        cpu.pc += 2;
        // The start state is what a fault rolls back to; a trace or interrupt frame on a bad
        // stack is such a fault too.
        if ((trace_at_start | cpu.pending_level) != 0 || !kRegisterOnly.test(opcode)) {
            cpu.save_instruction_start();
        }
    } else {
        cpu.save_instruction_start();
        opcode = fetch_opcode_slow(cpu, bus);
    }
    cpu.ir = opcode;
    if (cpu.aborted) [[unlikely]] {
        // The fetch faulted: the step took the exception's time. Were it free, a handler at an
        // odd or unmapped address would fault at every fetch and no slice would ever end.
        restore_fault_snapshot(cpu);
        const int32_t c = cpu.vector_this_step ? exception_cycles(*cpu.vector_this_step) : 0;
        return StepResult::ok(static_cast<uint32_t>(c));
    }

    int32_t raw = cpu.decode_table[opcode](cpu, bus, opcode);
    if (raw < 0) [[unlikely]] {
        // Only step writes `ir`: it still holds the opcode.
        const StepResult r = decode_sentinel(raw, cpu.ir);
        if (r.status() != StepStatus::Ok) {
            cpu.pairing_state = 2;
            return r;
        }
        raw = static_cast<int32_t>(r.cycles());
    }

    const int32_t cycles = kScc ? scc68070_cycles(raw) : convert_cycles(cpu, raw);
    // One test for the usual end: no fault, no queue to refill, no trace, no interrupt.
    const uint32_t queue = kScc ? 0u : static_cast<uint32_t>(cpu.prefetch_model);
    if ((cpu.aborted | cpu.pending_level | trace_at_start | queue) == 0) [[likely]] {
        cpu.flow_changed = false;
        return StepResult::ok(static_cast<uint32_t>(cycles));
    }
    return StepResult::ok(finish_step(cpu, bus, cycles, trace_at_start));
}

}  // namespace

StepResult step(Cpu& cpu, CpuBus& bus) {
    if (cpu.stopped != 0) [[unlikely]] return step_stopped(cpu, bus);
    return step_running<false>(cpu, bus);
}

namespace {

template <bool kScc>
StepResult run_slice_loop(Cpu& cpu, CpuBus& bus, uint64_t& steps) {
    if (cpu.slice_budget <= 0) return StepResult::ok(0);
    if (cpu.stopped != 0) return StepResult::stopped_result();
    // From here `stopped` is tested after each instruction, the only thing that sets it.
    uint64_t n = 0;
    StepResult result = StepResult::ok(0);
    do {
        const StepResult r = step_running<kScc>(cpu, bus);
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
    } while (cpu.slice_budget > 0);
    steps += n;
    return result;
}

}  // namespace

StepResult run_slice(Cpu& cpu, CpuBus& bus, uint64_t& steps) {
    if (scc68070_plain(cpu)) return run_slice_loop<true>(cpu, bus, steps);
    return run_slice_loop<false>(cpu, bus, steps);
}

}  // namespace m68k
