#include "frontend/scheduler.hpp"

#include <algorithm>

namespace vestrel {
namespace {

// Vectors the frontend enters for the statuses step hands back.
constexpr uint32_t kVectorIllegal = 4;
constexpr uint32_t kVectorLineA = 10;
constexpr uint32_t kVectorLineF = 11;
constexpr uint32_t kVectorTrapBase = 32;

}  // namespace

void reset_cpu_from_vectors(m68k::Cpu& cpu, Bus& bus) {
    cpu.set_cpu_type(m68k::CpuType::Scc68070);
    cpu.reset();
    auto read_long = [&](uint32_t address) {
        const uint32_t high = bus.read_word(address);
        return (high << 16) | bus.read_word(address + 2);
    };
    const uint32_t sp = read_long(0);
    cpu.addr_regs[7] = sp;
    cpu.sp_bank[m68k::kIspSlot] = sp;
    cpu.sp_bank[m68k::kMspSlot] = sp;
    cpu.pc = read_long(4);
    cpu.prefetch_count = 0;
}

uint32_t pending_irq_level(const Bus& bus) { return bus.irq_level(); }

SliceResult run_cpu_slice(m68k::Cpu& cpu, Bus& bus, int32_t done, uint32_t line_cycles) {
    const int32_t remaining = static_cast<int32_t>(line_cycles) - done;
    const int32_t budget = std::clamp(remaining, 1, kSliceCycles);
    bus.scc.pc_copy = cpu.pc;
    bus.scc.line_cycle_pos = static_cast<uint32_t>(std::max(done, 0));
    bus.refresh_fetch_wait();
    cpu.slice_len = budget;
    cpu.slice_budget = budget;
    // While the slice runs, software that clears a source lowers the level the CPU sees.
    bus.cpu_irq_level = &cpu.pending_level;
    if (cpu.pending_level != 0) m68k::service_interrupt(cpu, bus);

    SliceResult result;
    int32_t exception_cycles = 0;
    const m68k::StepResult r = m68k::run_slice(cpu, bus, result.steps);
    const m68k::StepStatus status = r.status();
    // Stopped: the CPU was stopped at the slice's start or a STOP ran (the rest of the line
    // goes to the timers even when the STOP used up the budget).
    const bool stopped = status == m68k::StepStatus::Stopped;
    if (status != m68k::StepStatus::Ok && !stopped) {
        uint32_t vector = kVectorIllegal;
        switch (status) {
            case m68k::StepStatus::LineA: vector = kVectorLineA; break;
            case m68k::StepStatus::LineF: vector = kVectorLineF; break;
            case m68k::StepStatus::Trap: vector = kVectorTrapBase + (r.number() & 0xF); break;
            default: vector = kVectorIllegal; break;  // breakpoint, illegal instruction
        }
        if (status != m68k::StepStatus::Trap) cpu.pc = cpu.ppc;  // stack the faulting opcode
        exception_cycles = m68k::take_exception(cpu, bus, vector);
    }
    bus.cpu_irq_level = nullptr;

    if (stopped) {
        // The wait states of a slice that ends in the stopped state are not charged: the
        // timers get the whole rest of the line from the slice's start instead.
        bus.scc.wait_tally = 0;
        bus.scc.tick_timers(static_cast<uint32_t>(std::max(remaining, 0)));
        result.stopped = true;
        return result;
    }
    const int64_t consumed = int64_t{cpu.slice_len} - cpu.slice_budget + bus.scc.wait_tally +
                             std::max(exception_cycles, 0);
    bus.scc.wait_tally = 0;
    result.consumed = static_cast<uint32_t>(std::max<int64_t>(consumed, 0));
    bus.scc.tick_timers(result.consumed);
    return result;
}

void run_line(m68k::Cpu& cpu, Bus& bus, uint64_t line, uint32_t line_cycles, int32_t& carry,
              uint64_t& instructions_executed) {
    bus.step_scanline(line);
    // The only place a display-program interrupt request becomes the latch.
    if (bus.mcd212.irq_request) {
        bus.scc.lir |= SccPeripherals::kLirLatch;
        bus.mcd212.irq_request = false;
    }
    cpu.pending_level = pending_irq_level(bus);

    const auto length = static_cast<int32_t>(line_cycles);
    int32_t done = carry;
    while (done < length) {
        const SliceResult slice = run_cpu_slice(cpu, bus, done, line_cycles);
        instructions_executed += slice.steps;
        if (slice.stopped) {
            done = length;
            break;
        }
        done += static_cast<int32_t>(std::min<uint32_t>(slice.consumed, static_cast<uint32_t>(length) * 2));
        cpu.pending_level = pending_irq_level(bus);
    }
    carry = std::clamp(done - length, 0, kMaxCarry);

    bus.mcd212.render_scanline(line);
    bus.slave.tick_disc_ready(line_cycles);
    bus.cdic.cdic_tick(line_cycles, bus.disc);
    bus.dvc_line_step(line_cycles);
}

void run_emulated_frame(m68k::Cpu& cpu, Bus& bus, uint64_t& instructions_executed) {
    const VideoMode mode = bus.mcd212.video_mode;
    bus.slave.video_mode = mode;
    const FrameShape shape = frame_shape(mode);
    int32_t carry = 0;
    for (uint64_t line = 0; line < shape.lines; ++line)
        run_line(cpu, bus, line, shape.line_cycles, carry, instructions_executed);
}

bool run_frame(m68k::Cpu& cpu, Bus& bus, uint64_t& instructions_executed, FrameHost& host) {
    if (!host.begin_frame()) return false;
    host.before_lines();
    run_emulated_frame(cpu, bus, instructions_executed);
    return host.end_frame();
}

}  // namespace vestrel
