#include "fpu/conditional.hpp"

#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "core/handler.hpp"
#include "fpu/operations.hpp"
#include "fpu/softfloat.hpp"

namespace m68k {
namespace {

constexpr int32_t kBranchCycles = 8;
constexpr int32_t kSetCycles = 4;
constexpr int32_t kFrameCycles = 8;
constexpr int32_t kTrapCycles = 34;
constexpr uint32_t kPcrFpuDisabled = 0x2;
constexpr uint8_t kRestoreBit = 0x40;
constexpr uint8_t kNoSaveRestore = 0x80;

// First longs of the idle frames.
constexpr uint32_t kIdle68881 = 0x1F180000;  // 68020/68030 with their coprocessor
constexpr uint32_t kIdle68040 = 0x41280000;
constexpr uint32_t kIdle68060 = 0x00006000;
constexpr uint32_t kIdle68881Last = 0x70000000;
constexpr uint32_t kNullFrameSize = 4;
constexpr uint32_t kRestoreStep68060 = 12;

enum class FrameFamily : uint8_t { Coprocessor, M68040, M68060 };

FrameFamily frame_family(CpuType t) {
    if (t == CpuType::M68060) return FrameFamily::M68060;
    return is_68040_class(t) ? FrameFamily::M68040 : FrameFamily::Coprocessor;
}

bool is_null_frame(CpuType t, uint32_t first_long) {
    return frame_family(t) == FrameFamily::M68060 ? (first_long & 0xFF00) == 0 : (first_long >> 24) == 0;
}

int32_t fsave(Cpu& cpu, CpuBus& bus, uint32_t mode, uint32_t reg) {
    const bool control = mode == 2 || mode == 5 || mode == 6 || (mode == 7 && reg <= 1);
    if (!control && mode != 3 && mode != 4) return kSentinelLineF;
    const bool null = cpu.fpu_null_state;
    const uint32_t size = null ? kNullFrameSize : fsave_idle_frame_size(cpu.cpu_type);
    uint32_t address;
    if (mode == 3) {
        address = cpu.addr_regs[reg];
        cpu.addr_regs[reg] += size;
    } else if (mode == 4) {
        cpu.addr_regs[reg] -= size;
        address = cpu.addr_regs[reg];
    } else {
        address = compute_ea(cpu, bus, ea_kind_from_mode(mode, reg), static_cast<uint8_t>(reg), kSizeLong).value;
    }
    if (null) {
        write_data_long(cpu, bus, address, 0);
    } else {
        fsave_idle_frame(bus, cpu, address);
    }
    return kFrameCycles;
}

void reset_fpu(Cpu& cpu) {
    cpu.fpcr = 0;
    cpu.fpsr = 0;
    cpu.fpiar = 0;
    cpu.fp.fill(kFx80DefaultNan);
    cpu.fpu_null_state = true;
}

int32_t frestore(Cpu& cpu, CpuBus& bus, uint32_t mode, uint32_t reg) {
    const bool allowed = mode == 2 || mode == 3 || mode == 5 || mode == 6 || (mode == 7 && reg <= 3);
    if (!allowed) return kSentinelLineF;
    const uint32_t address = mode == 2 || mode == 3
        ? cpu.addr_regs[reg]
        : compute_ea(cpu, bus, ea_kind_from_mode(mode, reg), static_cast<uint8_t>(reg), kSizeLong).value;
    const uint32_t first = read_data_long(cpu, bus, address);
    if (cpu.aborted) return kFrameCycles;
    uint32_t advance = kNullFrameSize;
    if (is_null_frame(cpu.cpu_type, first)) {
        reset_fpu(cpu);
    } else {
        cpu.fpu_null_state = false;
        advance = frame_family(cpu.cpu_type) == FrameFamily::M68060 ? kRestoreStep68060
                                                                   : kNullFrameSize + ((first >> 16) & 0xFF);
    }
    if (mode == 3) cpu.addr_regs[reg] += advance;
    return kFrameCycles;
}

}  // namespace

bool fpu_condition_true(uint32_t fpsr, uint32_t condition) {
    const bool n = (fpsr & kFpsrN) != 0;
    const bool z = (fpsr & kFpsrZ) != 0;
    const bool nan = (fpsr & kFpsrNan) != 0;
    switch (condition & 0xF) {
        case 0x0: return false;
        case 0x1: return z;
        case 0x2: return !(nan || z || n);
        case 0x3: return z || !(nan || n);
        case 0x4: return n && !(nan || z);
        case 0x5: return z || (n && !nan);
        case 0x6: return !(nan || z);
        case 0x7: return !nan;
        case 0x8: return nan;
        case 0x9: return nan || z;
        case 0xA: return nan || !(n || z);
        case 0xB: return nan || z || !n;
        case 0xC: return nan || (n && !z);
        case 0xD: return nan || z || n;
        case 0xE: return !z;
        default: return true;
    }
}

uint32_t fsave_idle_frame_size(CpuType type) {
    switch (frame_family(type)) {
        case FrameFamily::Coprocessor: return 28;
        case FrameFamily::M68040: return 44;
        case FrameFamily::M68060: return 12;
    }
    return 0;
}

void fsave_idle_frame(CpuBus& bus, Cpu& cpu, uint32_t address) {
    const uint32_t size = fsave_idle_frame_size(cpu.cpu_type);
    uint32_t first = kIdle68881;
    if (frame_family(cpu.cpu_type) == FrameFamily::M68040) first = kIdle68040;
    if (frame_family(cpu.cpu_type) == FrameFamily::M68060) first = kIdle68060;
    const bool coprocessor = frame_family(cpu.cpu_type) == FrameFamily::Coprocessor;
    for (uint32_t offset = 0; offset < size; offset += 4) {
        uint32_t value = 0;
        if (offset == 0) value = first;
        if (coprocessor && offset == size - 4) value = kIdle68881Last;
        write_data_long(cpu, bus, address + offset, value);
    }
}

int32_t fpu_fbcc(Cpu& cpu, uint32_t condition, uint32_t displacement) {
    if (fpu_condition_true(cpu.fpsr, condition)) {
        cpu.pc = cpu.ppc + 2 + displacement;
        cpu.flow_changed = true;
    }
    return kBranchCycles;
}

int32_t fpu_fdbcc(Cpu& cpu, CpuBus& bus, uint32_t data_reg, uint32_t condition) {
    const uint32_t base = cpu.pc;
    const uint32_t displacement = sign_extend_word(fetch_word(cpu, bus));
    if (fpu_condition_true(cpu.fpsr, condition)) return kBranchCycles;
    uint32_t& d = cpu.data_regs[data_reg & 7];
    const uint32_t counter = d & 0xFFFF;
    d = (d & 0xFFFF0000u) | ((counter - 1) & 0xFFFF);
    if (counter != 0) {
        cpu.pc = base + displacement;
        cpu.flow_changed = true;
    }
    return kBranchCycles;
}

int32_t fpu_fscc(Cpu& cpu, CpuBus& bus, uint32_t mode, uint32_t reg, uint32_t condition) {
    mode &= 7;
    reg &= 7;
    const uint32_t value = fpu_condition_true(cpu.fpsr, condition) ? 0xFF : 0x00;
    if (mode == 0) {
        cpu.data_regs[reg] = (cpu.data_regs[reg] & 0xFFFFFF00u) | value;
        return kSetCycles;
    }
    const uint32_t step = reg == 7 ? 2 : 1;  // A7 stays word-aligned
    uint32_t address;
    if (mode == 3) {
        address = cpu.addr_regs[reg];
        cpu.addr_regs[reg] += step;
    } else if (mode == 4) {
        cpu.addr_regs[reg] -= step;
        address = cpu.addr_regs[reg];
    } else if (mode == 2 || mode == 5 || mode == 6 || (mode == 7 && reg <= 3)) {
        address = compute_ea(cpu, bus, ea_kind_from_mode(mode, reg), static_cast<uint8_t>(reg), kSizeByte).value;
    } else {
        return 0;
    }
    write_data_byte(cpu, bus, address, value);
    return kSetCycles;
}

int32_t fpu_ftrapcc(Cpu& cpu, CpuBus& bus, uint32_t condition, uint32_t operand_words) {
    for (uint32_t i = 0; i < operand_words && i < 2; ++i) fetch_word(cpu, bus);
    if (fpu_condition_true(cpu.fpsr, condition)) return take_exception_format2(cpu, bus, kVectorTrapv);
    return kSetCycles;
}

int32_t fpu_save_restore(Cpu& cpu, CpuBus& bus, uint8_t opcode_low) {
    if (opcode_low & kNoSaveRestore) return kSentinelLineF;
    if (cpu.cpu_type == CpuType::M68060 && (cpu.pcr & kPcrFpuDisabled) != 0) {
        take_fpu_disabled_fline(cpu, bus);
        return kTrapCycles;
    }
    const uint32_t mode = (opcode_low >> 3) & 7;
    const uint32_t reg = opcode_low & 7;
    return (opcode_low & kRestoreBit) ? frestore(cpu, bus, mode, reg) : fsave(cpu, bus, mode, reg);
}

}  // namespace m68k
