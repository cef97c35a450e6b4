#include "core/instructions/program_control.hpp"

#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "core/handler.hpp"
#include "core/prefetch.hpp"
#include "core/timing.hpp"

namespace m68k {

// 4E71: nothing but its 68000 count; the 68040 family counts it as a change of flow.
int32_t op_nop(Cpu& cpu, CpuBus& /*bus*/, uint16_t /*opcode*/) {
    if (cpu.cpu_type == CpuType::M68EC040 || cpu.cpu_type == CpuType::M68LC040 ||
        cpu.cpu_type == CpuType::M68040) {
        cpu.flow_changed = true;
    }
    return 4;
}

// 4E40-4E4F: the scheduler takes vector 32 + n with PC after the instruction.
int32_t op_trap(Cpu& /*cpu*/, CpuBus& /*bus*/, uint16_t opcode) { return sentinel_trap(opcode & 0xF); }

// 4848-484F.
int32_t op_bkpt(Cpu& /*cpu*/, CpuBus& /*bus*/, uint16_t opcode) { return sentinel_bkpt(opcode & 0x7); }

// 4AFC: illegal on every type.
int32_t op_illegal(Cpu& /*cpu*/, CpuBus& /*bus*/, uint16_t /*opcode*/) { return kSentinelIllegal; }

namespace {

constexpr int32_t kFaultCycles = 50;

bool is_040_family(CpuType t) {
    return t == CpuType::M68EC040 || t == CpuType::M68LC040 || t == CpuType::M68040;
}

// Empty the M68000/M68010 queue and read the two words at the new PC.
void reload_queue(Cpu& cpu, CpuBus& bus) {
    prefetch_fill_first(cpu, bus);
    prefetch_fill_second(cpu, bus);
}

// The displacement of a branch, with `fetching_ext` held at `taken` while an extension is read.
uint32_t branch_displacement(Cpu& cpu, CpuBus& bus, uint16_t opcode, bool taken, int32_t& not_taken_cycles) {
    const uint32_t field = opcode & 0xFF;
    not_taken_cycles = 8;
    if (field == 0) {
        cpu.fetching_ext = taken;
        const uint32_t d = sign_extend_word(fetch_word(cpu, bus));
        cpu.fetching_ext = false;
        not_taken_cycles = 12;
        return d;
    }
    if (field == 0xFF && !cpu.m68000_class) {
        cpu.fetching_ext = taken;
        const uint32_t d = fetch_long(cpu, bus);
        cpu.fetching_ext = false;
        return d;
    }
    return sign_extend_byte(field);
}

void push_return(Cpu& cpu, CpuBus& bus, uint32_t ret) {
    cpu.addr_regs[7] -= 4;
    write_data_long(cpu, bus, cpu.addr_regs[7], ret);
}

// The frame part every RTE pops: SR, PC, and (with `format_advance` >= 0) the format word and
// the rest of the frame. Returns the SR to load.
uint16_t pop_sr_pc(Cpu& cpu, CpuBus& bus, int32_t format_advance) {
    const uint16_t sr = static_cast<uint16_t>(read_data_word(cpu, bus, cpu.addr_regs[7]));
    cpu.addr_regs[7] += 2;
    cpu.pc = read_data_long(cpu, bus, cpu.addr_regs[7]);
    cpu.addr_regs[7] += 4;
    if (format_advance >= 0) {
        (void)read_data_word(cpu, bus, cpu.addr_regs[7]);
        cpu.addr_regs[7] += static_cast<uint32_t>(format_advance);
    }
    return sr;
}

int32_t rte_68010(Cpu& cpu, CpuBus& bus) {
    const uint32_t format = read_data_word(cpu, bus, cpu.addr_regs[7] + 6) >> 12;
    if (cpu.aborted) return 24;
    if (format == 0) {
        const uint16_t sr = pop_sr_pc(cpu, bus, -1);
        cpu.addr_regs[7] += 2;
        if (cpu.aborted) return 24;
        cpu.set_sr(sr);
        reload_queue(cpu, bus);
        return 24;
    }
    if (format == 8) {
        const uint16_t sr = pop_sr_pc(cpu, bus, 52);
        if (cpu.aborted) return 20;
        cpu.set_sr(sr);
        reload_queue(cpu, bus);
        return 20;
    }
    return take_exception(cpu, bus, kVectorFormatError);
}

int32_t rte_68020_class(Cpu& cpu, CpuBus& bus) {
    const CpuType t = cpu.cpu_type;
    uint32_t format = read_data_word(cpu, bus, cpu.addr_regs[7] + 6) >> 12;
    int throwaways = 0;
    while (format == 1 && cpu.aborted == 0) {
        if (throwaways == kRteMaxThrowawayFrames) return take_exception(cpu, bus, kVectorFormatError);
        ++throwaways;
        const uint16_t sr = static_cast<uint16_t>(read_data_word(cpu, bus, cpu.addr_regs[7]));
        cpu.addr_regs[7] += 8;
        if (cpu.aborted) break;
        cpu.set_sr(sr);  // may move to the master or interrupt stack
        format = read_data_word(cpu, bus, cpu.addr_regs[7] + 6) >> 12;
    }
    if (cpu.aborted) return 20;

    const bool c020_030 = t == CpuType::M68EC020 || t == CpuType::M68020 || t == CpuType::M68EC030 ||
                          t == CpuType::M68030;
    const uint32_t sp = cpu.addr_regs[7];
    int32_t advance = -1;
    switch (format) {
    case 0x0: advance = 2; break;
    case 0x2: advance = 6; break;
    case 0x4:
        if (t == CpuType::M68060) advance = 10;
        break;
    case 0x7:
        if (is_040_family(t)) {
            advance = 54;
            const uint32_t ssw = read_data_word(cpu, bus, sp + 12);
            const uint32_t wb3s = read_data_word(cpu, bus, sp + 14);
            // An ATC fault on a write whose write-back 3 is still pending: the handler has
            // done the write, so the restart must not repeat it.
            if ((ssw & 0x400) && !(ssw & 0x100) && !(wb3s & 0x80)) {
                const uint32_t addr = read_data_long(cpu, bus, sp + 24);
                if (cpu.aborted == 0) cpu.skip_write_addr = addr;
            }
        }
        break;
    case 0xA:
        if (c020_030) advance = 26;
        break;
    case 0xB:
        if (c020_030) {
            advance = 86;
            const uint32_t ssw = read_data_word(cpu, bus, sp + 10);
            if ((ssw & 0xF100) == 0) {
                const uint32_t fault = read_data_long(cpu, bus, sp + 16);
                if (ssw & 0x40) {
                    const uint32_t data = read_data_long(cpu, bus, sp + 44);
                    if (cpu.aborted == 0) cpu.read_latch = ReadLatch{fault, data};
                } else if (cpu.aborted == 0) {
                    cpu.skip_write_addr = fault;
                }
            }
        }
        break;
    default: break;
    }
    if (cpu.aborted) return 20;
    if (advance < 0) return take_exception(cpu, bus, kVectorFormatError);
    const uint16_t sr = pop_sr_pc(cpu, bus, advance);
    if (cpu.aborted) return 20;
    cpu.set_sr(sr);
    return 20;
}

}  // namespace

bool loop_mode_eligible(uint16_t w) {
    const uint32_t mode = (w >> 3) & 7;
    const bool mem = mode >= 2 && mode <= 4;
    const uint32_t size = (w >> 6) & 3;
    switch (w >> 12) {
    case 0x1: case 0x2: case 0x3: {
        const uint32_t dst_mode = (w >> 6) & 7;
        return mode <= 4 && dst_mode >= 2 && dst_mode <= 4;
    }
    case 0x4: {
        if (!mem) return false;
        const uint32_t sub = (w >> 8) & 0xF;
        if (sub == 0 || sub == 2 || sub == 4 || sub == 6 || sub == 10) return size <= 2;
        if (sub == 8) return size == 0;
        return false;
    }
    case 0x8: case 0xC: {
        if ((w & 0x1F8) == 0x108) return true;
        const uint32_t opmode = (w >> 6) & 7;
        return mem && opmode != 3 && opmode != 7;
    }
    case 0x9: case 0xD: case 0xB:
        if ((w & 0x138) == 0x108) return size != 3;
        return mem;
    case 0xE:
        return mem && ((w >> 6) & 7) == 3 && (w & 0x800) == 0;
    default: return false;
    }
}

int32_t op_bra(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint32_t base = cpu.ppc + 2;
    int32_t unused;
    const uint32_t d = branch_displacement(cpu, bus, opcode, true, unused);
    cpu.flow_changed = true;
    cpu.pc = base + d;
    reload_queue(cpu, bus);
    return 10;
}

int32_t op_bsr(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint32_t base = cpu.ppc + 2;
    int32_t unused;
    const uint32_t d = branch_displacement(cpu, bus, opcode, true, unused);
    cpu.flow_changed = true;
    const uint32_t ret = cpu.pc;
    cpu.pc = base + d;
    push_return(cpu, bus, ret);
    reload_queue(cpu, bus);
    return 18;
}

int32_t op_bcc(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint32_t base = cpu.ppc + 2;
    const bool taken = test_condition(cpu, opcode >> 8);
    int32_t not_taken_cycles;
    const uint32_t d = branch_displacement(cpu, bus, opcode, taken, not_taken_cycles);
    if (!taken) return not_taken_cycles;
    cpu.flow_changed = true;
    cpu.pc = base + d;
    reload_queue(cpu, bus);
    return 10;
}

int32_t op_dbcc(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint32_t reg = opcode & 7;
    const bool cond = test_condition(cpu, opcode >> 8);
    const uint32_t old_count = cpu.data_regs[reg] & 0xFFFF;
    const auto decrement = [&] { cpu.data_regs[reg] = (cpu.data_regs[reg] & 0xFFFF0000u) | ((old_count - 1) & 0xFFFF); };

    if (cpu.loop_mode_active) {
        if (cond) {
            cpu.loop_mode_active = false;
            cpu.pc += 2;
            reload_queue(cpu, bus);
            return 12;
        }
        decrement();
        if (old_count == 0) {
            cpu.loop_mode_active = false;
            cpu.pc += 2;
            reload_queue(cpu, bus);
            return 16;
        }
        cpu.pc -= 4;
        cpu.prefetch_queue = cpu.loop_words;
        cpu.prefetch_count = 2;
        return 6;
    }

    const uint32_t disp_address = cpu.pc;
    cpu.fetching_ext = !cond;
    const uint32_t disp = sign_extend_word(fetch_word(cpu, bus));
    cpu.fetching_ext = false;
    if (cpu.aborted) return kFaultCycles;
    if (cond) return 12;

    if (old_count == 0) {
        decrement();
        // The processor reads the word after the displacement and discards it.
        if ((cpu.pc & 1) == 0) (void)bus.read_word(cpu.pc & cpu.addr_mask);
        reload_queue(cpu, bus);
        return 14;
    }
    cpu.pc = disp_address + disp;
    // The 68000 class faults at the odd target's fetch with the counter as it was; DBcc keeps
    // no start-state copy to roll back to, so it leaves the counter alone.
    if (!(cpu.odd_address_rule && (cpu.pc & 1))) decrement();
    reload_queue(cpu, bus);
    if (disp == 0xFFFFFFFCu && cpu.cpu_type == CpuType::M68010 && cpu.prefetch_count == 2 &&
        loop_mode_eligible(cpu.prefetch_queue[0])) {
        cpu.loop_mode_active = true;
        cpu.loop_words = {cpu.prefetch_queue[0], opcode};
    }
    return cpu.m68000_class ? 10 : 12;
}

int32_t op_scc(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const bool cond = test_condition(cpu, opcode >> 8);
    const uint32_t v = cond ? 0xFF : 0x00;
    const uint8_t kind = ea_kind_from_mode(opcode >> 3, opcode);
    const uint8_t reg = opcode & 7;
    const bool m68000 = cpu.cpu_type == CpuType::M68000;
    if (m68000 && kind == static_cast<uint8_t>(EaKind::DataReg)) {
        prefetch_fill(cpu, bus);
        cpu.data_regs[reg] = (cpu.data_regs[reg] & 0xFFFFFF00u) | v;
        return cond ? 6 : 4;
    }
    const Operand op = compute_ea(cpu, bus, kind, reg, kSizeByte);
    if (m68000) (void)read_operand(cpu, bus, op, kSizeByte);
    write_operand(cpu, bus, op, kSizeByte, v);
    if (cpu.aborted) return kFaultCycles;
    if (m68000) return 8 + ea_timing_68000(kind, kSizeByte);
    return kind == static_cast<uint8_t>(EaKind::DataReg) ? 4 : 8;
}

int32_t op_trapcc(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint32_t form = opcode & 7;
    if (form == 2) (void)fetch_word(cpu, bus);
    else if (form == 3) (void)fetch_long(cpu, bus);
    if (test_condition(cpu, opcode >> 8)) return take_exception_format2(cpu, bus, kVectorTrapv);
    return 4;
}

namespace {

uint32_t jump_target(Cpu& cpu, CpuBus& bus, uint16_t opcode, uint8_t kind) {
    cpu.fetching_ext = true;
    const Operand op = compute_ea(cpu, bus, kind, opcode & 7, kSizeLong);
    cpu.fetching_ext = false;
    return op.tag == OperandTag::Memory ? op.value : 0;
}

constexpr int32_t jmp_cycles_68000(uint8_t kind) {
    switch (kind) {
    case 2: return 8;
    case 5: case 7: case 9: return 10;
    case 8: return 12;
    default: return 14;  // the indexed modes
    }
}

}  // namespace

int32_t op_jmp(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t kind = ea_kind_from_mode(opcode >> 3, opcode);
    cpu.flow_changed = true;
    cpu.pc = jump_target(cpu, bus, opcode, kind);
    reload_queue(cpu, bus);
    return cpu.cpu_type == CpuType::M68000 ? jmp_cycles_68000(kind) : 8;
}

int32_t op_jsr(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t kind = ea_kind_from_mode(opcode >> 3, opcode);
    const uint32_t target = jump_target(cpu, bus, opcode, kind);
    cpu.flow_changed = true;
    const uint32_t ret = cpu.pc;
    // The 68000 class fetches at the target before it pushes: an odd target faults (at the
    // next opcode fetch here) with nothing pushed.
    cpu.pc = target;
    prefetch_fill_first(cpu, bus);
    if (!(cpu.odd_address_rule && (target & 1))) push_return(cpu, bus, ret);
    prefetch_fill_second(cpu, bus);
    return cpu.cpu_type == CpuType::M68000 ? jmp_cycles_68000(kind) + 8 : 16;
}

int32_t op_rts(Cpu& cpu, CpuBus& bus, uint16_t /*opcode*/) {
    cpu.flow_changed = true;
    cpu.pc = read_data_long(cpu, bus, cpu.addr_regs[7]);
    cpu.addr_regs[7] += 4;
    reload_queue(cpu, bus);
    return 16;
}

int32_t op_rtr(Cpu& cpu, CpuBus& bus, uint16_t /*opcode*/) {
    const uint32_t ccr = read_data_word(cpu, bus, cpu.addr_regs[7]);
    cpu.addr_regs[7] += 2;
    if (cpu.aborted == 0) cpu.set_ccr(static_cast<uint8_t>(ccr));
    cpu.flow_changed = true;
    cpu.pc = read_data_long(cpu, bus, cpu.addr_regs[7]);
    cpu.addr_regs[7] += 4;
    reload_queue(cpu, bus);
    return 20;
}

int32_t op_rtd(Cpu& cpu, CpuBus& bus, uint16_t /*opcode*/) {
    cpu.flow_changed = true;
    const uint32_t d = sign_extend_word(fetch_word(cpu, bus));
    cpu.pc = read_data_long(cpu, bus, cpu.addr_regs[7]);
    cpu.addr_regs[7] += 4 + d;
    reload_queue(cpu, bus);
    return 20;
}

int32_t op_rte(Cpu& cpu, CpuBus& bus, uint16_t /*opcode*/) {
    if (cpu.sr_s == 0) return take_exception(cpu, bus, kVectorPrivilege);
    if (cpu.cpu_type == CpuType::M68000) {
        const uint16_t sr = pop_sr_pc(cpu, bus, -1);
        if (cpu.aborted) return 20;
        cpu.set_sr(sr);
        reload_queue(cpu, bus);
        return 20;
    }
    if (cpu.m68000_class) return rte_68010(cpu, bus);
    return rte_68020_class(cpu, bus);
}

int32_t op_trapv(Cpu& cpu, CpuBus& bus, uint16_t /*opcode*/) {
    if ((cpu.flag_v & 0x80) == 0) return 4;
    if (cpu.cpu_type == CpuType::M68000) (void)read_data_word(cpu, bus, cpu.pc + 2);
    return take_exception_format2(cpu, bus, kVectorTrapv);
}

// No bus or device action: the machine resets its devices itself.
int32_t op_reset(Cpu& cpu, CpuBus& bus, uint16_t /*opcode*/) {
    if (cpu.sr_s == 0) return take_exception(cpu, bus, kVectorPrivilege);
    return 132;
}

int32_t op_stop(Cpu& cpu, CpuBus& bus, uint16_t /*opcode*/) {
    if (cpu.sr_s == 0) return take_exception(cpu, bus, kVectorPrivilege);
    cpu.fetching_ext = true;
    const uint16_t imm = fetch_word(cpu, bus);
    cpu.fetching_ext = false;
    if (cpu.cpu_type == CpuType::M68060 && (imm & 0x2000) == 0) {
        cpu.ppc = cpu.pc;
        return take_exception(cpu, bus, kVectorPrivilege);
    }
    cpu.stop_with_sr(imm);
    return 4;
}

int32_t op_lpstop(Cpu& cpu, CpuBus& bus, uint16_t /*opcode*/) {
    if (read_data_word(cpu, bus, cpu.pc) != 0x01C0) return kSentinelLineF;
    if (cpu.sr_s == 0) return take_exception(cpu, bus, kVectorPrivilege);
    (void)fetch_word(cpu, bus);
    const uint16_t imm = fetch_word(cpu, bus);
    if ((imm & 0x2000) == 0) return take_exception(cpu, bus, kVectorPrivilege);
    cpu.stop_with_sr(imm);
    return 4;
}

}  // namespace m68k
