#include "core/instructions/system_control.hpp"

#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "core/handler.hpp"
#include "core/prefetch.hpp"
#include "core/timing.hpp"
#include "mmu/mmu.hpp"

namespace m68k {

namespace {

constexpr int32_t kFaultCycles = 50;

bool is_040_family(CpuType t) {
    return t == CpuType::M68EC040 || t == CpuType::M68LC040 || t == CpuType::M68040;
}

// Store a word-sized status value: the low word of a data register, else the memory operand
// (read first on the M68000, which does a read-modify-write).
void store_status_word(Cpu& cpu, CpuBus& bus, uint16_t opcode, uint8_t kind, uint32_t value) {
    const uint8_t reg = opcode & 7;
    if (kind == static_cast<uint8_t>(EaKind::DataReg)) {
        cpu.data_regs[reg] = (cpu.data_regs[reg] & 0xFFFF0000u) | (value & 0xFFFF);
        return;
    }
    const Operand op = compute_ea(cpu, bus, kind, reg, kSizeWord);
    if (cpu.cpu_type == CpuType::M68000) (void)read_operand(cpu, bus, op, kSizeWord);
    write_operand(cpu, bus, op, kSizeWord, value);
}

}  // namespace

int32_t op_move_from_sr(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const CpuType t = cpu.cpu_type;
    if (cpu.sr_s == 0 && t != CpuType::M68000 && t != CpuType::Scc68070) {
        return take_exception(cpu, bus, kVectorPrivilege);
    }
    const uint8_t kind = ea_kind_from_mode(opcode >> 3, opcode);
    const bool is_reg = kind == static_cast<uint8_t>(EaKind::DataReg);
    store_status_word(cpu, bus, opcode, kind, cpu.get_sr());
    if (cpu.aborted) return kFaultCycles;
    if (t == CpuType::M68000) return is_reg ? 6 : 8 + ea_timing_68000(kind, kSizeWord);
    if (cpu.m68000_class) return is_reg ? 4 : 8;
    return is_reg ? 6 : 8;
}

int32_t op_move_from_ccr(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t kind = ea_kind_from_mode(opcode >> 3, opcode);
    const uint8_t reg = opcode & 7;
    const uint32_t value = cpu.get_ccr();
    if (kind == static_cast<uint8_t>(EaKind::DataReg)) {
        cpu.data_regs[reg] = (cpu.data_regs[reg] & 0xFFFF0000u) | value;
        return 4;
    }
    const Operand op = compute_ea(cpu, bus, kind, reg, kSizeWord);
    write_operand(cpu, bus, op, kSizeWord, value);
    return 10;
}

int32_t op_move_to_ccr(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t kind = ea_kind_from_mode(opcode >> 3, opcode);
    const uint32_t word = read_ea(cpu, bus, kind, opcode & 7, kSizeWord);
    if (cpu.aborted == 0) cpu.set_ccr(static_cast<uint8_t>(word));
    prefetch_fill_first(cpu, bus);
    prefetch_fill_second(cpu, bus);
    return cpu.cpu_type == CpuType::M68000 ? 12 + ea_timing_68000(kind, kSizeWord) : 12;
}

int32_t op_move_to_sr(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    if (cpu.sr_s == 0) return take_exception(cpu, bus, kVectorPrivilege);
    const uint8_t kind = ea_kind_from_mode(opcode >> 3, opcode);
    const uint32_t word = read_ea(cpu, bus, kind, opcode & 7, kSizeWord);
    if (cpu.aborted) return kFaultCycles;
    cpu.set_sr(static_cast<uint16_t>(word));
    prefetch_fill_first(cpu, bus);
    prefetch_fill_second(cpu, bus);
    return cpu.cpu_type == CpuType::M68000 ? 12 + ea_timing_68000(kind, kSizeWord) : 12;
}

int32_t op_move_usp(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    if (cpu.sr_s == 0) return take_exception(cpu, bus, kVectorPrivilege);
    const uint32_t reg = opcode & 7;
    if (opcode & 8) {
        cpu.addr_regs[reg] = cpu.sp_bank[kUspSlot];
    } else {
        cpu.sp_bank[kUspSlot] = cpu.addr_regs[reg];
        if (is_040_family(cpu.cpu_type)) cpu.flow_changed = true;
    }
    return cpu.cpu_type == CpuType::M68010 ? 6 : 4;
}

int32_t op_movec(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const bool m060 = cpu.cpu_type == CpuType::M68060;
    if (!m060 && cpu.sr_s == 0) return take_exception(cpu, bus, kVectorPrivilege);
    const uint16_t ext = fetch_word(cpu, bus);
    const uint16_t code = ext & 0xFFF;
    if (!movec_register_valid(cpu.cpu_type, code)) return kSentinelIllegal;
    if (m060 && cpu.sr_s == 0) return take_exception(cpu, bus, kVectorPrivilege);
    const uint32_t general = ext >> 12;
    uint32_t& r = general < 8 ? cpu.data_regs[general] : cpu.addr_regs[general - 8];
    if (opcode & 1) {
        cpu.movec_write(code, r);
    } else {
        r = cpu.movec_read(code);
    }
    if (is_040_family(cpu.cpu_type)) cpu.flow_changed = true;
    return 12;
}

int32_t op_halt(Cpu& cpu, CpuBus& bus, uint16_t /*opcode*/) {
    if (cpu.sr_s == 0) return take_exception(cpu, bus, kVectorPrivilege);
    cpu.stopped = 1;
    return 4;
}

int32_t op_pulse(Cpu& /*cpu*/, CpuBus& /*bus*/, uint16_t /*opcode*/) { return 4; }

// No cache is modelled, so beyond its checks the instruction does nothing.
int32_t op_cinv_cpush(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    if (((opcode >> 3) & 3) == 0) return kSentinelLineF;
    if (cpu.sr_s == 0) return take_exception(cpu, bus, kVectorPrivilege);
    return 4;
}

int32_t op_pflush(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    if (opcode > 0xF51F) return kSentinelLineF;
    if (cpu.sr_s == 0) return take_exception(cpu, bus, kVectorPrivilege);
    cpu.flush_atc();
    if (is_040_family(cpu.cpu_type)) cpu.flow_changed = true;
    return 4;
}

int32_t op_ptest(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    if (cpu.sr_s == 0) return take_exception(cpu, bus, kVectorPrivilege);
    const bool write = (opcode & 0x20) == 0;
    cpu.alt_fc_access = true;
    cpu.alt_fc = static_cast<uint8_t>(cpu.dfc & 7);
    const TranslateResult r =
        translate_address(cpu, bus, cpu.addr_regs[opcode & 7], write, (cpu.dfc & 4) != 0, false);
    cpu.mmusr = translate_fault_kind(r) == kNoFault ? (translate_address_of(r) & 0xFFFFF000u) + 1 : 0;
    cpu.alt_fc_access = false;
    cpu.flow_changed = true;
    return 4;
}

int32_t op_plpa(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    if (cpu.sr_s == 0) return take_exception(cpu, bus, kVectorPrivilege);
    const bool write = (opcode & 0x40) == 0;
    const uint32_t reg = opcode & 7;
    cpu.alt_fc_access = true;
    cpu.alt_fc = static_cast<uint8_t>(cpu.dfc & 7);
    const TranslateResult r = translate_address(cpu, bus, cpu.addr_regs[reg], write, (cpu.dfc & 4) != 0, false);
    cpu.alt_fc_access = false;
    if (translate_fault_kind(r) == kNoFault) {
        cpu.addr_regs[reg] = translate_address_of(r);
        return 4;
    }
    raise_access_fault(cpu, bus, r, write, false, 4);
    return kFaultCycles;
}

}  // namespace m68k
