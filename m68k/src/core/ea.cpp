#include "core/ea.hpp"

#include "core/exceptions.hpp"
#include "core/prefetch.hpp"
#include "mmu/mmu.hpp"

namespace m68k {
namespace {

using ea_detail::translating;

uint32_t page_size(const Cpu& cpu) {
    if (cpu.cpu_type == CpuType::M68030) {
        uint32_t bits = (cpu.tc >> 20) & 0xF;
        if (bits < 8) bits = 8;
        return 1u << bits;
    }
    return (cpu.tc & 0x4000) ? 8192u : 4096u;
}

// Translates a data access in place; false when it faulted (the access then does nothing).
bool translate_data(Cpu& cpu, CpuBus& bus, uint32_t& address, bool write, uint32_t size) {
    if (!translating(cpu)) return true;
    const TranslateResult r = translate_address(cpu, bus, address, write, cpu.sr_s != 0, false);
    if (translate_fault_kind(r) == kNoFault) {
        address = translate_address_of(r) & cpu.addr_mask;
        return true;
    }
    raise_access_fault(cpu, bus, r, write, false, size);
    return false;
}

bool translate_fetch(Cpu& cpu, CpuBus& bus, uint32_t& address, uint32_t size) {
    if (!translating(cpu)) return true;
    const TranslateResult r = translate_address(cpu, bus, address, false, cpu.sr_s != 0, true);
    if (translate_fault_kind(r) == kNoFault) {
        address = translate_address_of(r) & cpu.addr_mask;
        return true;
    }
    raise_access_fault(cpu, bus, r, false, true, size);
    return false;
}

// The one-shot restart latches, on the masked logical address.
bool take_read_latch(Cpu& cpu, uint32_t address, uint32_t mask, uint32_t& value) {
    if (cpu.read_latch && cpu.read_latch->address == address) {
        value = cpu.read_latch->data & mask;
        cpu.read_latch.reset();
        return true;
    }
    return false;
}

bool drop_write(Cpu& cpu, uint32_t address) {
    if (cpu.skip_write_addr && *cpu.skip_write_addr == address) {
        cpu.skip_write_addr.reset();
        return true;
    }
    return false;
}

bool odd_fault(Cpu& cpu, CpuBus& bus, uint32_t address, bool write) {
    if (cpu.odd_address_rule && (address & 1)) {
        take_address_error(cpu, bus, address, write, false);
        return true;
    }
    return false;
}

}  // namespace

uint32_t read_data_byte_full(Cpu& cpu, CpuBus& bus, uint32_t address) {
    if (cpu.aborted) return 0;
    address &= cpu.addr_mask;
    uint32_t v;
    if (take_read_latch(cpu, address, 0xFF, v)) return v;
    if (!translate_data(cpu, bus, address, false, 1)) return 0;
    return bus.read_byte(address);
}

uint32_t read_data_word_full(Cpu& cpu, CpuBus& bus, uint32_t address) {
    if (cpu.aborted) return 0;
    address &= cpu.addr_mask;
    if (odd_fault(cpu, bus, address, false)) return 0;
    if (translating(cpu) && (address & (page_size(cpu) - 1)) == page_size(cpu) - 1) {
        const uint32_t hi = read_data_byte(cpu, bus, address);
        if (cpu.aborted) return 0;
        const uint32_t lo = read_data_byte(cpu, bus, address + 1);
        return (hi << 8) | lo;
    }
    uint32_t v;
    if (take_read_latch(cpu, address, 0xFFFF, v)) return v;
    if (!translate_data(cpu, bus, address, false, 2)) return 0;
    return bus.read_word(address);
}

uint32_t read_data_long_full(Cpu& cpu, CpuBus& bus, uint32_t address) {
    if (cpu.aborted) return 0;
    address &= cpu.addr_mask;
    if (odd_fault(cpu, bus, address, false)) return 0;
    if (translating(cpu) && (address & (page_size(cpu) - 1)) > page_size(cpu) - 4) {
        const uint32_t hi = read_data_word(cpu, bus, address);
        if (cpu.aborted) return 0;
        const uint32_t lo = read_data_word(cpu, bus, address + 2);
        return (hi << 16) | lo;
    }
    uint32_t v;
    if (take_read_latch(cpu, address, 0xFFFFFFFF, v)) return v;
    if (!translate_data(cpu, bus, address, false, 4)) return 0;
    const uint32_t hi = bus.read_word(address);
    const uint32_t lo = bus.read_word(address + 2);
    return (hi << 16) | lo;
}

void write_data_byte_full(Cpu& cpu, CpuBus& bus, uint32_t address, uint32_t value) {
    if (cpu.aborted) return;
    address &= cpu.addr_mask;
    if (drop_write(cpu, address)) return;
    cpu.last_write_data = value & 0xFF;
    if (!translate_data(cpu, bus, address, true, 1)) return;
    bus.write_byte(address, static_cast<uint8_t>(value));
}

void write_data_word_full(Cpu& cpu, CpuBus& bus, uint32_t address, uint32_t value) {
    if (cpu.aborted) return;
    address &= cpu.addr_mask;
    if (odd_fault(cpu, bus, address, true)) return;
    if (translating(cpu) && (address & (page_size(cpu) - 1)) == page_size(cpu) - 1) {
        write_data_byte(cpu, bus, address, (value >> 8) & 0xFF);
        if (cpu.aborted) return;
        write_data_byte(cpu, bus, address + 1, value & 0xFF);
        return;
    }
    if (drop_write(cpu, address)) return;
    cpu.last_write_data = value & 0xFFFF;
    if (!translate_data(cpu, bus, address, true, 2)) return;
    bus.write_word(address, static_cast<uint16_t>(value));
}

void write_data_long_full(Cpu& cpu, CpuBus& bus, uint32_t address, uint32_t value) {
    if (cpu.aborted) return;
    address &= cpu.addr_mask;
    if (odd_fault(cpu, bus, address, true)) return;
    if (translating(cpu) && (address & (page_size(cpu) - 1)) > page_size(cpu) - 4) {
        write_data_word(cpu, bus, address, value >> 16);
        if (cpu.aborted) return;
        write_data_word(cpu, bus, address + 2, value & 0xFFFF);
        return;
    }
    if (drop_write(cpu, address)) return;
    cpu.last_write_data = value;
    if (!translate_data(cpu, bus, address, true, 4)) return;
    bus.write_long(address, value);
}

uint32_t read_data_long_low_first(Cpu& cpu, CpuBus& bus, uint32_t address) {
    const uint32_t lo = read_data_word(cpu, bus, address + 2);
    const uint32_t hi = read_data_word(cpu, bus, address);
    return (hi << 16) | lo;
}

void write_data_long_low_first(Cpu& cpu, CpuBus& bus, uint32_t address, uint32_t value) {
    write_data_word(cpu, bus, address + 2, value & 0xFFFF);
    prefetch_fill(cpu, bus);
    write_data_word(cpu, bus, address, value >> 16);
}

void write_memory_sized(Cpu& cpu, CpuBus& bus, uint32_t address, uint8_t size, uint32_t value) {
    if (size == kSizeByte) {
        write_data_byte(cpu, bus, address, value);
    } else if (size == kSizeWord) {
        write_data_word(cpu, bus, address, value);
    } else {
        write_data_word(cpu, bus, address, value >> 16);
        write_data_word(cpu, bus, address + 2, value & 0xFFFF);
    }
}

uint16_t fetch_word_full(Cpu& cpu, CpuBus& bus) {
    if (cpu.pc & 1) {
        take_address_error(cpu, bus, cpu.pc, false, true);
        return 0;
    }
    if (cpu.prefetch_model) return prefetch_take_word(cpu, bus);
    uint32_t address = cpu.pc & cpu.addr_mask;
    if (!translate_fetch(cpu, bus, address, 2)) return 0;
    const uint16_t w = bus.read_word(address);
    cpu.pc += 2;
    return w;
}

uint32_t fetch_long_full(Cpu& cpu, CpuBus& bus) {
    if (cpu.pc & 1) {
        take_address_error(cpu, bus, cpu.pc, false, true);
        return 0;
    }
    if (cpu.prefetch_model) {
        const uint32_t hi = prefetch_take_word(cpu, bus);
        if (cpu.aborted) return 0;
        const uint32_t lo = prefetch_take_word(cpu, bus);
        return (hi << 16) | lo;
    }
    uint32_t address = cpu.pc & cpu.addr_mask;
    if (translating(cpu) && (address & (page_size(cpu) - 1)) > page_size(cpu) - 4) {
        const uint32_t hi = fetch_word(cpu, bus);
        if (cpu.aborted) return 0;
        const uint32_t lo = fetch_word(cpu, bus);
        return (hi << 16) | lo;
    }
    if (!translate_fetch(cpu, bus, address, 4)) return 0;
    const uint32_t hi = bus.read_word(address);
    const uint32_t lo = bus.read_word(address + 2);
    cpu.pc += 4;
    return (hi << 16) | lo;
}

uint32_t compute_indexed_ea(Cpu& cpu, CpuBus& bus, uint32_t base, uint16_t ext) {
    const bool full_capable = is_68020_class(cpu.cpu_type);
    const uint32_t scale = full_capable ? (1u << ((ext >> 9) & 3)) : 1u;
    const uint32_t x = (ext >> 12) & 15;
    const uint32_t xv = x < 8 ? cpu.data_regs[x] : cpu.addr_regs[x - 8];
    uint32_t index = (ext & 0x800) ? xv : sign_extend_word(xv);
    index *= scale;
    if (!(ext & 0x100) || !full_capable) return base + sign_extend_byte(ext) + index;

    uint32_t bd = 0;
    if (ext & 0x20) bd = ((ext >> 4) & 3) == 2 ? sign_extend_word(fetch_word(cpu, bus)) : fetch_long(cpu, bus);
    if (ext & 0x80) base = 0;
    if (ext & 0x40) index = 0;
    if ((ext & 7) == 0) return base + index + bd;
    uint32_t od = 0;
    if (ext & 2) od = (ext & 3) == 3 ? fetch_long(cpu, bus) : sign_extend_word(fetch_word(cpu, bus));
    if (ext & 4) return read_data_long(cpu, bus, base + bd) + index + od;
    return read_data_long(cpu, bus, base + bd + index) + od;
}

Operand compute_ea_full(Cpu& cpu, CpuBus& bus, uint8_t kind, uint8_t reg, uint8_t size) {
    if (cpu.aborted) return Operand{OperandTag::Memory, reg, 0};
    reg &= 7;
    uint32_t& an = cpu.addr_regs[reg];
    switch (kind) {
    case 0: return Operand{OperandTag::DataReg, reg, 0};
    case 1: return Operand{OperandTag::AddrReg, reg, 0};
    case 2: return Operand{OperandTag::Memory, reg, an};
    case 3: {
        const uint32_t a = an;
        an += ea_detail::address_step(reg, size);
        return Operand{OperandTag::Memory, reg, a};
    }
    case 4:
        an -= ea_detail::address_step(reg, size);
        return Operand{OperandTag::Memory, reg, an};
    case 5: {
        const uint32_t base = an;
        return Operand{OperandTag::Memory, reg, base + sign_extend_word(fetch_word(cpu, bus))};
    }
    case 6: {
        const uint32_t base = an;
        const uint16_t ext = fetch_word(cpu, bus);
        return Operand{OperandTag::Memory, reg, compute_indexed_ea(cpu, bus, base, ext)};
    }
    case 7: return Operand{OperandTag::Memory, reg, sign_extend_word(fetch_word(cpu, bus))};
    case 8: return Operand{OperandTag::Memory, reg, fetch_long(cpu, bus)};
    case 9: {
        const uint32_t base = cpu.pc;
        return Operand{OperandTag::Memory, reg, base + sign_extend_word(fetch_word(cpu, bus))};
    }
    case 10: {
        const uint32_t base = cpu.pc;
        const uint16_t ext = fetch_word(cpu, bus);
        return Operand{OperandTag::Memory, reg, compute_indexed_ea(cpu, bus, base, ext)};
    }
    default: return Operand{OperandTag::Immediate, reg, fetch_immediate(cpu, bus, size)};
    }
}

namespace {

template <uint8_t Size>
uint32_t read_ea_sized(Cpu& cpu, CpuBus& bus, uint8_t kind, uint8_t reg) {
    switch (kind) {
    case 0: return read_ea_t<EaKind::DataReg, Size>(cpu, bus, reg);
    case 1: return read_ea_t<EaKind::AddrReg, Size>(cpu, bus, reg);
    case 2: return read_ea_t<EaKind::Indirect, Size>(cpu, bus, reg);
    case 3: return read_ea_t<EaKind::PostInc, Size>(cpu, bus, reg);
    case 4: return read_ea_t<EaKind::PreDec, Size>(cpu, bus, reg);
    case 5: return read_ea_t<EaKind::Disp16, Size>(cpu, bus, reg);
    case 6: return read_ea_t<EaKind::Indexed, Size>(cpu, bus, reg);
    case 7: return read_ea_t<EaKind::AbsWord, Size>(cpu, bus, reg);
    case 8: return read_ea_t<EaKind::AbsLong, Size>(cpu, bus, reg);
    case 9: return read_ea_t<EaKind::PcDisp16, Size>(cpu, bus, reg);
    case 10: return read_ea_t<EaKind::PcIndexed, Size>(cpu, bus, reg);
    default: return read_ea_t<EaKind::Immediate, Size>(cpu, bus, reg);
    }
}

template <uint8_t Size>
void write_ea_sized(Cpu& cpu, CpuBus& bus, uint8_t kind, uint8_t reg, uint32_t value) {
    switch (kind) {
    case 0: write_ea_t<EaKind::DataReg, Size>(cpu, bus, reg, value); return;
    case 1: write_ea_t<EaKind::AddrReg, Size>(cpu, bus, reg, value); return;
    case 2: write_ea_t<EaKind::Indirect, Size>(cpu, bus, reg, value); return;
    case 3: write_ea_t<EaKind::PostInc, Size>(cpu, bus, reg, value); return;
    case 4: write_ea_t<EaKind::PreDec, Size>(cpu, bus, reg, value); return;
    case 5: write_ea_t<EaKind::Disp16, Size>(cpu, bus, reg, value); return;
    case 6: write_ea_t<EaKind::Indexed, Size>(cpu, bus, reg, value); return;
    case 7: write_ea_t<EaKind::AbsWord, Size>(cpu, bus, reg, value); return;
    case 8: write_ea_t<EaKind::AbsLong, Size>(cpu, bus, reg, value); return;
    case 9: write_ea_t<EaKind::PcDisp16, Size>(cpu, bus, reg, value); return;
    case 10: write_ea_t<EaKind::PcIndexed, Size>(cpu, bus, reg, value); return;
    default: write_ea_t<EaKind::Immediate, Size>(cpu, bus, reg, value); return;
    }
}

}  // namespace

uint32_t read_ea_full(Cpu& cpu, CpuBus& bus, uint8_t kind, uint8_t reg, uint8_t size) {
    if (size == kSizeByte) return read_ea_sized<kSizeByte>(cpu, bus, kind, reg);
    if (size == kSizeWord) return read_ea_sized<kSizeWord>(cpu, bus, kind, reg);
    return read_ea_sized<kSizeLong>(cpu, bus, kind, reg);
}

void write_ea_full(Cpu& cpu, CpuBus& bus, uint8_t kind, uint8_t reg, uint8_t size, uint32_t value) {
    if (size == kSizeByte) {
        write_ea_sized<kSizeByte>(cpu, bus, kind, reg, value);
    } else if (size == kSizeWord) {
        write_ea_sized<kSizeWord>(cpu, bus, kind, reg, value);
    } else {
        write_ea_sized<kSizeLong>(cpu, bus, kind, reg, value);
    }
}

}  // namespace m68k
