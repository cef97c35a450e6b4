#include "core/exceptions.hpp"

#include <cstdio>
#include <cstdlib>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "core/ea.hpp"
#include "core/prefetch.hpp"
#include "mmu/mmu.hpp"

namespace m68k {
namespace {

constexpr int32_t kLowVectorCycles[12] = {40, 40, 50, 50, 34, 38, 40, 34, 34, 34, 34, 34};

bool stacks_next_pc(uint32_t vector) {
    return vector == 5 || vector == 7 || vector == 9 || (vector >= 24 && vector <= 47);
}

uint16_t format_word(uint32_t format, uint32_t vector) {
    return static_cast<uint16_t>((format << 12) | ((vector * 4) & 0x0FFF));
}

// The 68000's 6-byte frame, written PC low word, SR, PC high word as the chip does.
void push_short_frame(Cpu& cpu, CpuBus& bus, uint16_t sr, uint32_t pc) {
    const uint32_t sp = cpu.addr_regs[7] - 6;
    cpu.addr_regs[7] = sp;
    write_data_word(cpu, bus, sp + 4, pc & 0xFFFF);
    write_data_word(cpu, bus, sp, sr);
    write_data_word(cpu, bus, sp + 2, pc >> 16);
}

void push_format0(Cpu& cpu, CpuBus& bus, uint16_t sr, uint32_t pc, uint16_t fmt_word) {
    push_word(cpu, bus, fmt_word);
    push_long(cpu, bus, pc);
    push_word(cpu, bus, sr);
}

// Address-error frames bypass the checks: raw bus writes at masked addresses.
void raw_word(Cpu& cpu, CpuBus& bus, uint32_t address, uint32_t value) {
    bus.write_word(address & cpu.addr_mask, static_cast<uint16_t>(value));
}
void raw_long(Cpu& cpu, CpuBus& bus, uint32_t address, uint32_t value) {
    bus.write_long(address & cpu.addr_mask, value);
}

void print_address_error_diagnostic(Cpu& cpu, CpuBus& bus, uint32_t address, bool write, bool instruction) {
    const uint32_t sp = cpu.addr_regs[7];
    std::fputs(fmt::format("m68k address error: addr=0x{:08X} write={} instr={} pc=0x{:08X} ppc=0x{:08X} "
                           "sp=0x{:08X} sr=0x{:04X}\n",
                           address, write, instruction, cpu.pc, cpu.ppc, sp, cpu.get_sr())
                   .c_str(),
               stderr);
    std::string words;
    for (int i = 0; i < 16; ++i) {
        if (i) words += ' ';
        words += fmt::format("{:04X}", bus.read_word(sp - 16 + 2u * static_cast<uint32_t>(i)));
    }
    std::fputs(fmt::format("m68k stack around sp (0x{:08X}-16..+16): {}\n", sp, words).c_str(), stderr);
    std::fputs(fmt::format("m68k regs d0-d7=[{:08X}] a0-a7=[{:08X}] vbr=0x{:08X}\n",
                           fmt::join(cpu.data_regs, ", "), fmt::join(cpu.addr_regs, ", "), cpu.vbr)
                   .c_str(),
               stderr);
}

void save_fault_snapshot(Cpu& cpu) {
    cpu.fault_snapshot.valid = true;
    cpu.fault_snapshot.pc = cpu.pc;
    cpu.fault_snapshot.sr = cpu.get_sr();
    for (int i = 0; i < 8; ++i) {
        cpu.fault_snapshot.regs[i] = cpu.data_regs[i];
        cpu.fault_snapshot.regs[8 + i] = cpu.addr_regs[i];
    }
}

void roll_back_to_instruction_start(Cpu& cpu) {
    cpu.set_sr_flags(cpu.sr_at_start);
    for (int i = 0; i < 8; ++i) {
        cpu.data_regs[i] = cpu.insn_snapshot[i];
        cpu.addr_regs[i] = cpu.insn_snapshot[8 + i];
    }
}

// A fault while an exception is being taken: the processor halts.
void double_fault(Cpu& cpu) {
    cpu.stopped = 1;
    cpu.aborted = 1;
}

}  // namespace

int32_t exception_cycles(uint32_t vector) {
    if (vector < 12) return kLowVectorCycles[vector];
    if (vector >= 24 && vector <= 31) return 44;
    return 34;
}

uint16_t enter_supervisor(Cpu& cpu) {
    const uint16_t old_sr = cpu.get_sr();
    cpu.sp_bank[cpu.stack_slot()] = cpu.addr_regs[7];
    cpu.sr_s = 4;
    const int slot = (cpu.sr_m && cpu.cpu_type != CpuType::M68060) ? kMspSlot : kIspSlot;
    cpu.addr_regs[7] = cpu.sp_bank[slot];
    cpu.sr_t1 = 0;
    cpu.sr_t0 = 0;
    return old_sr;
}

void push_word(Cpu& cpu, CpuBus& bus, uint32_t value) {
    cpu.addr_regs[7] -= 2;
    write_data_word(cpu, bus, cpu.addr_regs[7], value & 0xFFFF);
}

void push_long(Cpu& cpu, CpuBus& bus, uint32_t value) {
    cpu.addr_regs[7] -= 4;
    write_data_long(cpu, bus, cpu.addr_regs[7], value);
}

void jump_to_vector(Cpu& cpu, CpuBus& bus, uint32_t vector) {
    cpu.pairing_state = 2;
    cpu.loop_mode_active = false;
    cpu.vector_this_step = vector;
    cpu.pc = read_data_long(cpu, bus, cpu.vbr + 4 * vector);
    if (cpu.prefetch_model) {
        cpu.prefetch_count = 0;
        if ((cpu.pc & 1) == 0) {
            prefetch_fill_first(cpu, bus);
            prefetch_fill_second(cpu, bus);
        }
    }
}

int32_t take_exception(Cpu& cpu, CpuBus& bus, uint32_t vector) {
    if (cpu.in_exception) {
        double_fault(cpu);
        return 0;
    }
    cpu.in_exception = true;
    const uint16_t old_sr = enter_supervisor(cpu);
    const uint32_t stacked_pc = stacks_next_pc(vector) ? cpu.pc : cpu.ppc;
    if (cpu.cpu_type == CpuType::M68000) {
        push_short_frame(cpu, bus, old_sr, stacked_pc);
    } else {
        push_format0(cpu, bus, old_sr, stacked_pc, format_word(0, vector));
    }
    jump_to_vector(cpu, bus, vector);
    cpu.in_exception = false;
    return exception_cycles(vector);
}

int32_t take_exception_format2(Cpu& cpu, CpuBus& bus, uint32_t vector) {
    const uint16_t old_sr = enter_supervisor(cpu);
    const CpuType t = cpu.cpu_type;
    if (t == CpuType::M68000) {
        push_short_frame(cpu, bus, old_sr, cpu.pc);
    } else if (t == CpuType::M68010 || t == CpuType::Scc68070) {
        push_format0(cpu, bus, old_sr, cpu.pc, format_word(0, vector));
    } else {
        push_long(cpu, bus, cpu.ppc);
        push_word(cpu, bus, 0x2000 | ((vector & 0x3FF) * 4));
        push_long(cpu, bus, cpu.pc);
        push_word(cpu, bus, old_sr);
    }
    jump_to_vector(cpu, bus, vector);
    return exception_cycles(vector);
}

int32_t take_fline_format2(Cpu& cpu, CpuBus& bus, uint32_t address) {
    cpu.fpiar = cpu.ppc;
    const uint16_t old_sr = enter_supervisor(cpu);
    push_long(cpu, bus, address);
    push_word(cpu, bus, 0x202C);
    push_long(cpu, bus, cpu.pc);
    push_word(cpu, bus, old_sr);
    jump_to_vector(cpu, bus, kVectorLineF);
    return 34;
}

void take_fpu_disabled_fline(Cpu& cpu, CpuBus& bus) {
    const uint16_t old_sr = enter_supervisor(cpu);
    push_long(cpu, bus, cpu.ppc);
    push_long(cpu, bus, 0);
    push_word(cpu, bus, 0x402C);
    push_long(cpu, bus, cpu.ppc);
    push_word(cpu, bus, old_sr);
    jump_to_vector(cpu, bus, kVectorLineF);
}

void take_address_error(Cpu& cpu, CpuBus& bus, uint32_t address, bool write, bool instruction) {
    if (cpu.aborted) return;
    // Raised while an exception is being taken (an odd VBR or stack): halt instead of
    // re-entering this path without end.
    if (cpu.in_exception) {
        double_fault(cpu);
        return;
    }
    if (std::getenv("M68K_DIAG_ADDRESS_ERROR") != nullptr) {
        print_address_error_diagnostic(cpu, bus, address, write, instruction);
    }
    roll_back_to_instruction_start(cpu);
    const uint32_t status = (write ? 0u : 0x10u) | ((cpu.sr_at_start & 0x2000) ? 4u : 0u) |
                            (instruction ? 2u : 9u);
    cpu.in_exception = true;
    const uint16_t old_sr = enter_supervisor(cpu);
    const CpuType t = cpu.cpu_type;
    uint32_t& sp = cpu.addr_regs[7];
    // Where words must be even, a frame on an odd stack would fault again: a double fault.
    if (cpu.odd_address_rule && (sp & 1)) {
        cpu.in_exception = false;
        double_fault(cpu);
        return;
    }
    if (t == CpuType::M68000) {
        sp -= 14;
        raw_word(cpu, bus, sp + 12, cpu.ppc & 0xFFFF);
        raw_word(cpu, bus, sp + 10, cpu.ppc >> 16);
        raw_word(cpu, bus, sp + 8, old_sr);
        raw_word(cpu, bus, sp + 6, cpu.ir);
        raw_word(cpu, bus, sp + 4, address & 0xFFFF);
        raw_word(cpu, bus, sp + 2, address >> 16);
        raw_word(cpu, bus, sp, status);
    } else if (t == CpuType::M68010 || t == CpuType::Scc68070) {
        // Reserved and internal words are not written: the stack keeps what it held there.
        sp -= 58;
        raw_word(cpu, bus, sp + 24, 0);  // instruction input
        raw_word(cpu, bus, sp + 20, 0);  // data input
        raw_word(cpu, bus, sp + 16, 0);  // data output
        raw_word(cpu, bus, sp + 12, 0);  // fault address
        raw_word(cpu, bus, sp + 10, 0);
        raw_word(cpu, bus, sp + 8, 0);   // SSW
        raw_word(cpu, bus, sp + 6, 0x800C);
        raw_long(cpu, bus, sp + 2, cpu.ppc);
        raw_word(cpu, bus, sp, old_sr);
    } else if (t == CpuType::M68EC040 || t == CpuType::M68LC040 || t == CpuType::M68040) {
        sp -= 12;
        raw_long(cpu, bus, sp + 8, address & ~1u);
        raw_word(cpu, bus, sp + 6, 0x200C);
        raw_long(cpu, bus, sp + 2, cpu.ppc);
        raw_word(cpu, bus, sp, old_sr);
    } else {
        sp -= 8;
        raw_word(cpu, bus, sp + 6, 0x000C);
        raw_long(cpu, bus, sp + 2, cpu.ppc);
        raw_word(cpu, bus, sp, old_sr);
    }
    jump_to_vector(cpu, bus, kVectorAddressError);
    cpu.in_exception = false;
    save_fault_snapshot(cpu);
    cpu.aborted = 1;
}

void take_bus_error(Cpu& cpu, CpuBus& bus, uint32_t address, bool write, bool instruction, uint32_t size,
                    uint8_t status) {
    // The function code of the faulting access: its mode, from before the supervisor entry.
    const uint32_t fc = cpu.alt_fc_access ? cpu.alt_fc
                                          : ((cpu.sr_s ? 4u : 0u) | (instruction ? 2u : 1u));
    // Taken before the frame's own writes replace it.
    const uint32_t data_out = write ? cpu.last_write_data : 0;
    const uint16_t old_sr = enter_supervisor(cpu);
    cpu.alt_fc_access = false;
    const CpuType t = cpu.cpu_type;
    if (t == CpuType::M68030) {
        // FormatB, 92 bytes, every word not named below 0.
        uint32_t ssw;
        uint32_t data_fault = 0;
        uint32_t stage_b = 0;
        if (instruction) {
            ssw = fc | 0x5000;
            stage_b = address;
        } else {
            ssw = fc | 0x100 | (write ? 0 : 0x40) | (size == 1 ? 0x10u : size == 2 ? 0x20u : 0u);
            data_fault = address;
        }
        cpu.addr_regs[7] -= 92;
        const uint32_t sp = cpu.addr_regs[7];
        for (uint32_t off = 0; off < 92; off += 2) write_data_word(cpu, bus, sp + off, 0);
        write_data_word(cpu, bus, sp, old_sr);
        write_data_long(cpu, bus, sp + 2, cpu.ppc);
        write_data_word(cpu, bus, sp + 6, 0xB008);
        write_data_word(cpu, bus, sp + 10, ssw);
        write_data_long(cpu, bus, sp + 16, data_fault);
        write_data_long(cpu, bus, sp + 24, data_out);
        write_data_long(cpu, bus, sp + 36, stage_b);
    } else if (t == CpuType::M68040) {
        const uint32_t size_bits = size == 1 ? 0x20u : size == 2 ? 0x40u : 0u;
        const uint32_t ssw = 0x400 | (write ? 0 : 0x100) | size_bits | fc;
        cpu.addr_regs[7] -= 60;
        const uint32_t sp = cpu.addr_regs[7];
        for (uint32_t off = 0; off < 60; off += 2) write_data_word(cpu, bus, sp + off, 0);
        write_data_word(cpu, bus, sp, old_sr);
        write_data_long(cpu, bus, sp + 2, cpu.ppc);
        write_data_word(cpu, bus, sp + 6, 0x7008);
        write_data_long(cpu, bus, sp + 8, address);
        write_data_word(cpu, bus, sp + 12, ssw);
        if (write) {
            write_data_word(cpu, bus, sp + 14, fc + size_bits + 0x80);
            write_data_long(cpu, bus, sp + 24, address);
            write_data_long(cpu, bus, sp + 28, data_out);
        }
        write_data_long(cpu, bus, sp + 20, address);
    } else {
        static constexpr uint32_t kCause[6] = {0x1000, 0x800, 0x400, 0x200, 0x80, 0x100};
        const uint32_t cause = status < 6 ? kCause[status] : 0;
        const uint32_t fslw = cause + (instruction ? 0x8000u : 0u) + (fc << 16) +
                              (size == 1 ? 0x200000u : size == 2 ? 0x400000u : 0u) +
                              (write ? 0x800000u : 0x1000000u);
        push_long(cpu, bus, fslw);
        push_long(cpu, bus, address);
        push_word(cpu, bus, 0x4008);
        push_long(cpu, bus, cpu.ppc);
        push_word(cpu, bus, old_sr);
    }
    jump_to_vector(cpu, bus, kVectorBusError);
}

void raise_access_fault(Cpu& cpu, CpuBus& bus, TranslateResult result, bool write, bool instruction,
                        uint32_t size) {
    const uint8_t status = translate_status(result);
    cpu.mmu_fault_status = status;
    const uint32_t kind = translate_fault_kind(result);
    if (kind == 0) {
        take_exception(cpu, bus, kVectorMmuConfig);
        save_fault_snapshot(cpu);
        cpu.aborted = 1;
        cpu.alt_fc_access = false;
        return;
    }
    if (cpu.aborted) {
        cpu.alt_fc_access = false;
        return;
    }
    if (cpu.in_exception) {
        cpu.stopped = 1;
    } else {
        roll_back_to_instruction_start(cpu);
        cpu.in_exception = true;
        cpu.mmu_fault_status = 0xFF;
        take_bus_error(cpu, bus, translate_address_of(result), write, instruction, size, status);
        cpu.in_exception = false;
        save_fault_snapshot(cpu);
    }
    cpu.aborted = 1;
    cpu.alt_fc_access = false;
}

void restore_fault_snapshot(Cpu& cpu) {
    if (cpu.fault_snapshot.valid) {
        cpu.fault_snapshot.valid = false;
        cpu.pc = cpu.fault_snapshot.pc;
        cpu.set_sr_flags(cpu.fault_snapshot.sr);
        for (int i = 0; i < 8; ++i) {
            cpu.data_regs[i] = cpu.fault_snapshot.regs[i];
            cpu.addr_regs[i] = cpu.fault_snapshot.regs[8 + i];
        }
    }
    if (cpu.stopped == 0) cpu.aborted = 0;
}

bool service_interrupt(Cpu& cpu, CpuBus& bus) {
    const uint32_t level = cpu.pending_level & 7;
    if (level == 0) return false;
    const uint32_t mask = (cpu.int_mask >> 8) & 7;
    // Level 7 ignores the mask only on its rise from a lower level; while it stays at 7 the mask
    // decides as for any level (MC68000 UM 6.3.2), so a handler that has not yet cleared its
    // source is not entered again.
    const bool rise_to_7 = level == 7 && cpu.last_request_level < 7;
    cpu.last_request_level = level;
    if (!(level > mask || rise_to_7)) return false;
    // A halted CPU is still marked aborted: clear that first, or the whole entry (frame and
    // vector read) would be silenced. A snapshot of the fault that halted it is stale now.
    cpu.aborted = 0;
    cpu.fault_snapshot.valid = false;
    cpu.in_exception = true;
    const uint16_t old_sr = enter_supervisor(cpu);
    cpu.int_mask = level << 8;
    const CpuType t = cpu.cpu_type;
    const uint32_t pc = cpu.pc;
    uint8_t vector;
    if (t == CpuType::M68000) {
        const uint32_t sp = cpu.addr_regs[7] - 6;
        cpu.addr_regs[7] = sp;
        write_data_word(cpu, bus, sp + 4, pc & 0xFFFF);
        vector = bus.acknowledge_interrupt(static_cast<uint8_t>(level));
        write_data_word(cpu, bus, sp, old_sr);
        write_data_word(cpu, bus, sp + 2, pc >> 16);
    } else if (t == CpuType::M68010) {
        vector = bus.acknowledge_interrupt(static_cast<uint8_t>(level));
        const uint32_t sp = cpu.addr_regs[7] - 8;
        cpu.addr_regs[7] = sp;
        write_data_word(cpu, bus, sp + 4, pc & 0xFFFF);
        write_data_word(cpu, bus, sp, old_sr);
        write_data_word(cpu, bus, sp + 2, pc >> 16);
        write_data_word(cpu, bus, sp + 6, format_word(0, vector));
    } else {
        vector = bus.acknowledge_interrupt(static_cast<uint8_t>(level));
        push_format0(cpu, bus, old_sr, pc, format_word(0, vector));
    }
    const uint32_t type_value = static_cast<uint32_t>(t);
    if (cpu.sr_m) {
        if (type_value >= 3 && type_value <= 9) {
            cpu.sp_bank[kMspSlot] = cpu.addr_regs[7];
            cpu.sr_m = 0;
            cpu.addr_regs[7] = cpu.sp_bank[kIspSlot];
            push_word(cpu, bus, format_word(1, vector));
            push_long(cpu, bus, pc);
            push_word(cpu, bus, old_sr | 0x2000);
        } else if (t == CpuType::M68060) {
            cpu.sr_m = 0;
        }
    }
    jump_to_vector(cpu, bus, vector);
    cpu.in_exception = false;
    cpu.slice_budget -= t == CpuType::M68010 ? kInterruptCycles68010 : kInterruptCycles;
    cpu.pending_level = 0;
    // A fault while taking the interrupt (odd stack or vector) halts; otherwise the entry wakes
    // a stopped or halted CPU.
    cpu.stopped = cpu.aborted ? 1 : 0;
    return true;
}

}  // namespace m68k
