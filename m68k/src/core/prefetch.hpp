// The M68000/M68010 two-word prefetch queue. It fixes which instruction-word reads reach the
// bus and in what order; it never changes cycle counts. Every function does nothing (and reads
// no bus) on other types.
#pragma once

#include <cstdint>

#include "m68k/cpu.hpp"

namespace m68k {

// The instruction word at PC; PC += 2; refills one word unless `fetching_ext`.
uint16_t prefetch_take_word(Cpu& cpu, CpuBus& bus);
// The queue work behind the inline gates below (M68000/M68010 only).
void prefetch_fill_queue(Cpu& cpu, CpuBus& bus);
void prefetch_fill_first_queue(Cpu& cpu, CpuBus& bus);
void prefetch_fill_second_queue(Cpu& cpu, CpuBus& bus);

// Fill up to two words while the fill gate holds (type, no loop mode, PC even, running, not aborted).
inline void prefetch_fill(Cpu& cpu, CpuBus& bus) {
    if (cpu.prefetch_model) prefetch_fill_queue(cpu, bus);
}
// After a change of flow: empty the queue and read the word at PC, then the word at PC + 2.
inline void prefetch_fill_first(Cpu& cpu, CpuBus& bus) {
    if (cpu.prefetch_model) prefetch_fill_first_queue(cpu, bus);
}
inline void prefetch_fill_second(Cpu& cpu, CpuBus& bus) {
    if (cpu.prefetch_model) prefetch_fill_second_queue(cpu, bus);
}
// The timed variants the handlers call where the processor prefetches; on the bus they are all
// prefetch_fill. The bool ones return whether the instruction is still running.
inline void prefetch_refill_timed(Cpu& cpu, CpuBus& bus) { prefetch_fill(cpu, bus); }
inline bool prefetch_refill_with_cycles(Cpu& cpu, CpuBus& bus, int32_t /*cycles*/) {
    prefetch_fill(cpu, bus);
    return cpu.aborted == 0;
}
inline bool prefetch_refill_by_size(Cpu& cpu, CpuBus& bus, uint8_t /*size*/) {
    prefetch_fill(cpu, bus);
    return cpu.aborted == 0;
}
// M68000 only; nothing on M68010.
inline void prefetch_with_delay(Cpu& cpu, CpuBus& bus, int32_t /*delay*/) {
    if (cpu.cpu_type == CpuType::M68000) prefetch_fill(cpu, bus);
}

}  // namespace m68k
