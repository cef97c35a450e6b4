#include "core/prefetch.hpp"

namespace m68k {
namespace {

bool fill_gate(const Cpu& cpu) {
    return cpu.prefetch_model && !cpu.loop_mode_active && (cpu.pc & 1) == 0 && cpu.stopped == 0 &&
           cpu.aborted == 0;
}

void read_into_slot(Cpu& cpu, CpuBus& bus) {
    const uint32_t address = (cpu.pc + 2u * cpu.prefetch_count) & cpu.addr_mask;
    cpu.prefetch_queue[cpu.prefetch_count] = bus.read_word(address);
    ++cpu.prefetch_count;
}

}  // namespace

uint16_t prefetch_take_word(Cpu& cpu, CpuBus& bus) {
    uint16_t word;
    if (cpu.prefetch_count > 0) {
        word = cpu.prefetch_queue[0];
        cpu.prefetch_queue[0] = cpu.prefetch_queue[1];
        --cpu.prefetch_count;
    } else {
        word = bus.read_word(cpu.pc & cpu.addr_mask);
    }
    cpu.pc += 2;
    if (cpu.aborted == 0 && !cpu.fetching_ext && !cpu.loop_mode_active && cpu.prefetch_model &&
        cpu.prefetch_count <= 1 && (cpu.pc & 1) == 0) {
        read_into_slot(cpu, bus);
    }
    return word;
}

void prefetch_fill_queue(Cpu& cpu, CpuBus& bus) {
    while (fill_gate(cpu) && cpu.prefetch_count < 2) read_into_slot(cpu, bus);
}

void prefetch_fill_first_queue(Cpu& cpu, CpuBus& bus) {
    if (!cpu.prefetch_model) return;
    cpu.prefetch_count = 0;
    if ((cpu.pc & 1) == 0) read_into_slot(cpu, bus);
}

void prefetch_fill_second_queue(Cpu& cpu, CpuBus& bus) {
    if (!cpu.prefetch_model) return;
    if (cpu.prefetch_count == 1 && (cpu.pc & 1) == 0 && cpu.aborted == 0) read_into_slot(cpu, bus);
}

}  // namespace m68k
