// The M68000/M68010 two-word prefetch queue. It fixes which instruction-word reads reach the
// bus and in what order; it never changes cycle counts. Every function does nothing (and reads
// no bus) on other types.
#pragma once

#include <cstdint>

#include "m68k/cpu.hpp"

namespace m68k {

// The instruction word at PC; PC += 2; refills one word unless `fetching_ext`.
uint16_t prefetch_take_word(Cpu& cpu, CpuBus& bus);
// Fill up to two words while the fill gate holds (type, no loop mode, PC even, running, not aborted).
void prefetch_fill(Cpu& cpu, CpuBus& bus);
// After a change of flow: empty the queue and read the word at PC, then the word at PC + 2.
void prefetch_fill_first(Cpu& cpu, CpuBus& bus);
void prefetch_fill_second(Cpu& cpu, CpuBus& bus);
// The timed variants the handlers call where the processor prefetches; on the bus they are all
// prefetch_fill. The bool ones return whether the instruction is still running.
void prefetch_refill_timed(Cpu& cpu, CpuBus& bus);
bool prefetch_refill_with_cycles(Cpu& cpu, CpuBus& bus, int32_t cycles);
bool prefetch_refill_by_size(Cpu& cpu, CpuBus& bus, uint8_t size);
// M68000 only; nothing on M68010.
void prefetch_with_delay(Cpu& cpu, CpuBus& bus, int32_t delay);

}  // namespace m68k
