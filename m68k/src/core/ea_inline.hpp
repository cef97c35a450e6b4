// The inline half of core/ea.hpp: the usual-state fast paths of the accessors and the
// compile-time EA API. Include core/ea.hpp, not this file.
#pragma once

#include <cstdint>

#include "core/ea.hpp"

namespace m68k {
namespace ea_detail {

inline bool translating(const Cpu& cpu) { return cpu.mmu_present && cpu.mmu_enabled; }

// The usual state of a data access: nothing cut the instruction short, no restart latch waits
// for an address and no MMU stands between the core and the bus.
inline bool plain_read(const Cpu& cpu) {
    return cpu.aborted == 0 && !cpu.read_latch.has_value() && !translating(cpu);
}
inline bool plain_write(const Cpu& cpu) {
    return cpu.aborted == 0 && !cpu.skip_write_addr.has_value() && !translating(cpu);
}
inline bool odd_faults(const Cpu& cpu, uint32_t address) {
    return cpu.odd_address_rule && (address & 1) != 0;
}
// Fetches that read straight from the bus: no queue model, no translation.
inline bool plain_fetch(const Cpu& cpu) { return !cpu.prefetch_model && !translating(cpu); }

// (An)+ / -(An) step: a byte access through A7 keeps the stack word-aligned.
constexpr uint32_t address_step(uint8_t reg, uint8_t size) {
    if (size == kSizeByte) return reg == 7 ? 2 : 1;
    return size == kSizeWord ? 2 : 4;
}

}  // namespace ea_detail

inline uint32_t read_data_byte(Cpu& cpu, CpuBus& bus, uint32_t address) {
    if (ea_detail::plain_read(cpu)) [[likely]] return bus.read_byte(address & cpu.addr_mask);
    return read_data_byte_full(cpu, bus, address);
}

inline uint32_t read_data_word(Cpu& cpu, CpuBus& bus, uint32_t address) {
    address &= cpu.addr_mask;
    if (ea_detail::plain_read(cpu) && !ea_detail::odd_faults(cpu, address)) [[likely]] {
        return bus.read_word(address);
    }
    return read_data_word_full(cpu, bus, address);
}

inline uint32_t read_data_long(Cpu& cpu, CpuBus& bus, uint32_t address) {
    address &= cpu.addr_mask;
    if (ea_detail::plain_read(cpu) && !ea_detail::odd_faults(cpu, address)) [[likely]] {
        const uint32_t hi = bus.read_word(address);
        const uint32_t lo = bus.read_word(address + 2);
        return (hi << 16) | lo;
    }
    return read_data_long_full(cpu, bus, address);
}

inline void write_data_byte(Cpu& cpu, CpuBus& bus, uint32_t address, uint32_t value) {
    if (ea_detail::plain_write(cpu)) [[likely]] {
        cpu.last_write_data = value & 0xFF;
        bus.write_byte(address & cpu.addr_mask, static_cast<uint8_t>(value));
        return;
    }
    write_data_byte_full(cpu, bus, address, value);
}

inline void write_data_word(Cpu& cpu, CpuBus& bus, uint32_t address, uint32_t value) {
    address &= cpu.addr_mask;
    if (ea_detail::plain_write(cpu) && !ea_detail::odd_faults(cpu, address)) [[likely]] {
        cpu.last_write_data = value & 0xFFFF;
        bus.write_word(address, static_cast<uint16_t>(value));
        return;
    }
    write_data_word_full(cpu, bus, address, value);
}

inline void write_data_long(Cpu& cpu, CpuBus& bus, uint32_t address, uint32_t value) {
    address &= cpu.addr_mask;
    if (ea_detail::plain_write(cpu) && !ea_detail::odd_faults(cpu, address)) [[likely]] {
        cpu.last_write_data = value;
        bus.write_long(address, value);
        return;
    }
    write_data_long_full(cpu, bus, address, value);
}

// The instruction-stream word at `address` (already masked): through the bus's window when it
// covers it, else by the call.
inline uint16_t read_stream_word(CpuBus& bus, uint32_t address) {
    uint16_t w;
    if (bus.fetch_through_window(address, w)) [[likely]] return w;
    return bus.read_word(address);
}

inline uint16_t fetch_word(Cpu& cpu, CpuBus& bus) {
    if ((cpu.pc & 1) == 0 && ea_detail::plain_fetch(cpu)) [[likely]] {
        const uint16_t w = read_stream_word(bus, cpu.pc & cpu.addr_mask);
        cpu.pc += 2;
        return w;
    }
    return fetch_word_full(cpu, bus);
}

inline uint32_t fetch_long(Cpu& cpu, CpuBus& bus) {
    if ((cpu.pc & 1) == 0 && ea_detail::plain_fetch(cpu)) [[likely]] {
        const uint32_t address = cpu.pc & cpu.addr_mask;
        const uint32_t hi = read_stream_word(bus, address);
        const uint32_t lo = read_stream_word(bus, address + 2);
        cpu.pc += 4;
        return (hi << 16) | lo;
    }
    return fetch_long_full(cpu, bus);
}

inline uint32_t fetch_immediate(Cpu& cpu, CpuBus& bus, uint8_t size) {
    if (size == kSizeByte) return fetch_word(cpu, bus) & 0xFF;
    if (size == kSizeWord) return fetch_word(cpu, bus);
    return fetch_long(cpu, bus);
}

// ---- Compile-time EA API ----

template <uint8_t Size>
inline uint32_t read_memory_t(Cpu& cpu, CpuBus& bus, uint32_t address) {
    if constexpr (Size == kSizeByte) {
        return read_data_byte(cpu, bus, address);
    } else if constexpr (Size == kSizeWord) {
        return read_data_word(cpu, bus, address);
    } else {
        return read_data_long(cpu, bus, address);
    }
}

template <uint8_t Size>
inline void write_memory_t(Cpu& cpu, CpuBus& bus, uint32_t address, uint32_t value) {
    if constexpr (Size == kSizeByte) {
        write_data_byte(cpu, bus, address, value);
    } else if constexpr (Size == kSizeWord) {
        write_data_word(cpu, bus, address, value);
    } else {
        write_data_long(cpu, bus, address, value);
    }
}

// The address of a memory EA (kinds Indirect to PcIndexed); 0 once aborted, with no side effect.
template <EaKind K, uint8_t Size>
inline uint32_t ea_address_t(Cpu& cpu, CpuBus& bus, uint8_t reg) {
    static_assert(K >= EaKind::Indirect && K <= EaKind::PcIndexed, "memory kinds only");
    if (cpu.aborted) return 0;
    reg &= 7;
    uint32_t& an = cpu.addr_regs[reg];
    if constexpr (K == EaKind::Indirect) {
        return an;
    } else if constexpr (K == EaKind::PostInc) {
        const uint32_t a = an;
        an += ea_detail::address_step(reg, Size);
        return a;
    } else if constexpr (K == EaKind::PreDec) {
        an -= ea_detail::address_step(reg, Size);
        return an;
    } else if constexpr (K == EaKind::Disp16) {
        const uint32_t base = an;
        return base + sign_extend_word(fetch_word(cpu, bus));
    } else if constexpr (K == EaKind::Indexed) {
        const uint32_t base = an;
        const uint16_t ext = fetch_word(cpu, bus);
        return compute_indexed_ea(cpu, bus, base, ext);
    } else if constexpr (K == EaKind::AbsWord) {
        return sign_extend_word(fetch_word(cpu, bus));
    } else if constexpr (K == EaKind::AbsLong) {
        return fetch_long(cpu, bus);
    } else if constexpr (K == EaKind::PcDisp16) {
        const uint32_t base = cpu.pc;
        return base + sign_extend_word(fetch_word(cpu, bus));
    } else {
        const uint32_t base = cpu.pc;
        const uint16_t ext = fetch_word(cpu, bus);
        return compute_indexed_ea(cpu, bus, base, ext);
    }
}

template <EaKind K, uint8_t Size>
inline Operand compute_ea_t(Cpu& cpu, CpuBus& bus, uint8_t reg) {
    if (cpu.aborted) return Operand{OperandTag::Memory, reg, 0};
    if constexpr (K == EaKind::DataReg) {
        return Operand{OperandTag::DataReg, static_cast<uint8_t>(reg & 7), 0};
    } else if constexpr (K == EaKind::AddrReg) {
        return Operand{OperandTag::AddrReg, static_cast<uint8_t>(reg & 7), 0};
    } else if constexpr (K == EaKind::Immediate) {
        return Operand{OperandTag::Immediate, static_cast<uint8_t>(reg & 7), fetch_immediate(cpu, bus, Size)};
    } else {
        const uint32_t a = ea_address_t<K, Size>(cpu, bus, reg);
        return Operand{OperandTag::Memory, static_cast<uint8_t>(reg & 7), a};
    }
}

template <EaKind K, uint8_t Size>
inline uint32_t read_ea_t(Cpu& cpu, CpuBus& bus, uint8_t reg) {
    // Once aborted every read gives 0 and nothing is fetched.
    if (cpu.aborted) return 0;
    if constexpr (K == EaKind::DataReg) {
        return cpu.data_regs[reg & 7] & size_mask(Size);
    } else if constexpr (K == EaKind::AddrReg) {
        return cpu.addr_regs[reg & 7] & size_mask(Size);
    } else if constexpr (K == EaKind::Immediate) {
        return fetch_immediate(cpu, bus, Size) & size_mask(Size);
    } else {
        const uint32_t a = ea_address_t<K, Size>(cpu, bus, reg);
        return read_memory_t<Size>(cpu, bus, a);
    }
}

// Register write of an operand: An takes all 32 bits, Dn only the low part of the size.
template <uint8_t Size>
inline void write_data_register_t(Cpu& cpu, uint8_t reg, uint32_t value) {
    uint32_t& d = cpu.data_regs[reg & 7];
    constexpr uint32_t mask = size_mask(Size);
    if constexpr (mask == 0xFFFFFFFFu) {
        d = value;
    } else {
        d = (d & ~mask) | (value & mask);
    }
}

template <EaKind K, uint8_t Size>
inline void write_ea_t(Cpu& cpu, CpuBus& bus, uint8_t reg, uint32_t value) {
    if (cpu.aborted) return;
    if constexpr (K == EaKind::DataReg) {
        write_data_register_t<Size>(cpu, reg, value);
    } else if constexpr (K == EaKind::AddrReg) {
        cpu.addr_regs[reg & 7] = value;
    } else if constexpr (K == EaKind::Immediate) {
        // Not a destination the decoder accepts; the words are still consumed.
        (void)fetch_immediate(cpu, bus, Size);
    } else {
        const uint32_t a = ea_address_t<K, Size>(cpu, bus, reg);
        write_memory_t<Size>(cpu, bus, a, value);
    }
}

template <uint8_t Size>
inline uint32_t read_operand_t(Cpu& cpu, CpuBus& bus, const Operand& op) {
    switch (op.tag) {
    case OperandTag::DataReg: return cpu.data_regs[op.reg & 7] & size_mask(Size);
    case OperandTag::AddrReg: return cpu.addr_regs[op.reg & 7] & size_mask(Size);
    case OperandTag::Memory: return read_memory_t<Size>(cpu, bus, op.value);
    default: return op.value & size_mask(Size);
    }
}

template <uint8_t Size>
inline void write_operand_t(Cpu& cpu, CpuBus& bus, const Operand& op, uint32_t value) {
    switch (op.tag) {
    case OperandTag::DataReg: write_data_register_t<Size>(cpu, op.reg, value); return;
    case OperandTag::AddrReg: cpu.addr_regs[op.reg & 7] = value; return;
    case OperandTag::Memory:
        prefetch_fill(cpu, bus);
        if constexpr (Size == kSizeLong) {
            if (cpu.m68000_class) {
                write_data_word(cpu, bus, op.value + 2, value & 0xFFFF);
                write_data_word(cpu, bus, op.value, value >> 16);
            } else {
                write_data_long(cpu, bus, op.value, value);
            }
        } else {
            write_memory_t<Size>(cpu, bus, op.value, value);
        }
        return;
    default: return;
    }
}

// Register-direct operands are the common case of the runtime forms: no call for them.
inline Operand compute_ea(Cpu& cpu, CpuBus& bus, uint8_t kind, uint8_t reg, uint8_t size) {
    if (kind <= 1 && cpu.aborted == 0) {
        return Operand{kind == 0 ? OperandTag::DataReg : OperandTag::AddrReg, static_cast<uint8_t>(reg & 7), 0};
    }
    return compute_ea_full(cpu, bus, kind, reg, size);
}

inline uint32_t read_ea(Cpu& cpu, CpuBus& bus, uint8_t kind, uint8_t reg, uint8_t size) {
    if (kind == 0 && cpu.aborted == 0) return cpu.data_regs[reg & 7] & size_mask(size);
    return read_ea_full(cpu, bus, kind, reg, size);
}

inline void write_ea(Cpu& cpu, CpuBus& bus, uint8_t kind, uint8_t reg, uint8_t size, uint32_t value) {
    if (kind == 0 && cpu.aborted == 0) {
        uint32_t& d = cpu.data_regs[reg & 7];
        const uint32_t mask = size_mask(size);
        d = (d & ~mask) | (value & mask);
        return;
    }
    write_ea_full(cpu, bus, kind, reg, size, value);
}

inline uint32_t read_operand(Cpu& cpu, CpuBus& bus, const Operand& op, uint8_t size) {
    if (size == kSizeByte) return read_operand_t<kSizeByte>(cpu, bus, op);
    if (size == kSizeWord) return read_operand_t<kSizeWord>(cpu, bus, op);
    return read_operand_t<kSizeLong>(cpu, bus, op);
}

inline void write_operand(Cpu& cpu, CpuBus& bus, const Operand& op, uint8_t size, uint32_t value) {
    if (size == kSizeByte) {
        write_operand_t<kSizeByte>(cpu, bus, op, value);
    } else if (size == kSizeWord) {
        write_operand_t<kSizeWord>(cpu, bus, op, value);
    } else {
        write_operand_t<kSizeLong>(cpu, bus, op, value);
    }
}

}  // namespace m68k
