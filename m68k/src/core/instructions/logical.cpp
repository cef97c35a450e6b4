#include "core/instructions/logical.hpp"

#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "core/handler.hpp"
#include "core/instructions/shift_ops.hpp"
#include "core/prefetch.hpp"
#include "core/timing.hpp"

namespace m68k {
namespace {

// The count a routine returns once a fault cut it short (the 68000's address-error time).
constexpr int32_t kAbortCycles = 50;

constexpr bool is_m68000(const Cpu& cpu) { return cpu.cpu_type == CpuType::M68000; }

void set_logic_flags(Cpu& cpu, uint32_t value, uint8_t size) {
    const uint32_t v = value & size_mask(size);
    cpu.flag_n = (v & size_msb(size)) ? 0x80u : 0u;
    cpu.flag_not_z = v;
    cpu.flag_v = 0;
    cpu.flag_c = 0;
}

void write_dn_low(Cpu& cpu, uint32_t reg, uint8_t size, uint32_t value) {
    uint32_t& d = cpu.data_regs[reg & 7];
    const uint32_t mask = size_mask(size);
    d = (d & ~mask) | (value & mask);
}

// A data register result with the M68000's prefetch bookkeeping.
void write_logical_result_timed(Cpu& cpu, CpuBus& bus, uint32_t reg, uint8_t size, uint32_t value) {
    if (is_m68000(cpu)) {
        prefetch_fill(cpu, bus);
        if (cpu.aborted) return;
    }
    write_dn_low(cpu, reg, size, value);
}

void write_sr_timed(Cpu& cpu, CpuBus& bus, uint16_t value) {
    if (!cpu.m68000_class) cpu.flow_changed = true;
    cpu.set_sr(value);
    prefetch_fill_first(cpu, bus);
    prefetch_fill_second(cpu, bus);
}

enum class LogicOp : uint8_t { Or, And, Eor };

constexpr uint32_t apply(LogicOp op, uint32_t a, uint32_t b) {
    return op == LogicOp::Or ? (a | b) : op == LogicOp::And ? (a & b) : (a ^ b);
}

int32_t immediate_to_ea(Cpu& cpu, CpuBus& bus, uint16_t opcode, LogicOp op) {
    const uint8_t size = (opcode >> 6) & 3;
    const uint8_t kind = ea_kind_from_mode(opcode >> 3, opcode);
    const uint8_t reg = opcode & 7;
    const bool lng = size == kSizeLong;
    const uint32_t imm = fetch_immediate(cpu, bus, size);
    if (cpu.aborted) return kAbortCycles;
    if (is_m68000(cpu) && kind == 0) {
        const uint32_t result = apply(op, imm, cpu.data_regs[reg]) & size_mask(size);
        set_logic_flags(cpu, result, size);
        write_logical_result_timed(cpu, bus, reg, size, result);
        return lng ? 16 : 8;
    }
    const bool checks = op != LogicOp::And;
    const Operand dst = compute_ea(cpu, bus, kind, reg, size);
    const uint32_t value = read_operand(cpu, bus, dst, size);
    if (checks && cpu.aborted) return kAbortCycles;
    const uint32_t result = apply(op, imm, value) & size_mask(size);
    set_logic_flags(cpu, result, size);
    write_operand(cpu, bus, dst, size, result);
    if (checks && cpu.aborted) return kAbortCycles;
    const bool memory = kind != 0;
    const bool full_count = memory && (is_m68000(cpu) || (cpu.m68000_class && op != LogicOp::And));
    if (full_count) return (lng ? 20 : 12) + ea_timing_68000(kind, size);
    return lng ? 16 : 8;
}

int32_t immediate_to_ccr(Cpu& cpu, CpuBus& bus, LogicOp op) {
    const uint32_t imm = fetch_word(cpu, bus);
    cpu.set_ccr(static_cast<uint8_t>(apply(op, cpu.get_ccr(), imm & 0xFF)));
    prefetch_fill_first(cpu, bus);
    prefetch_fill_second(cpu, bus);
    return 20;
}

int32_t immediate_to_sr(Cpu& cpu, CpuBus& bus, LogicOp op) {
    if (!cpu.sr_s) return take_exception(cpu, bus, kVectorPrivilege);
    const uint32_t imm = fetch_word(cpu, bus);
    write_sr_timed(cpu, bus, static_cast<uint16_t>(apply(op, cpu.get_sr(), imm)));
    return 20;
}

// OR, AND ea,Dn.
int32_t logic_to_register(Cpu& cpu, CpuBus& bus, uint16_t opcode, LogicOp op) {
    const uint8_t size = (opcode >> 6) & 3;
    const uint8_t kind = ea_kind_from_mode(opcode >> 3, opcode);
    const uint32_t dn = (opcode >> 9) & 7;
    const uint32_t source = read_ea(cpu, bus, kind, opcode & 7, size);
    if (cpu.aborted) return kAbortCycles;
    const uint32_t result = apply(op, cpu.data_regs[dn], source) & size_mask(size);
    set_logic_flags(cpu, result, size);
    write_dn_low(cpu, dn, size, result);
    if (!is_m68000(cpu)) return 4;
    if (size != kSizeLong) return 4 + ea_timing_68000(kind, size);
    const bool fast_source = kind <= 1 || kind == 11;
    return (fast_source ? 8 : 6) + ea_timing_68000(kind, size);
}

// OR, AND, EOR Dn,ea.
int32_t logic_to_ea(Cpu& cpu, CpuBus& bus, uint16_t opcode, LogicOp op) {
    const uint8_t size = (opcode >> 6) & 3;
    const uint8_t kind = ea_kind_from_mode(opcode >> 3, opcode);
    const uint32_t dn = (opcode >> 9) & 7;
    const Operand dst = compute_ea(cpu, bus, kind, opcode & 7, size);
    const uint32_t value = read_operand(cpu, bus, dst, size);
    if (cpu.aborted) return kAbortCycles;
    const uint32_t result = apply(op, value, cpu.data_regs[dn]) & size_mask(size);
    set_logic_flags(cpu, result, size);
    write_operand(cpu, bus, dst, size, result);
    if (cpu.aborted) return kAbortCycles;
    if (!is_m68000(cpu)) return 8;
    const bool lng = size == kSizeLong;
    if (kind == 0) return lng ? 8 : 4;
    return (lng ? 12 : 8) + ea_timing_68000(kind, size);
}


// ---- Single-bit instructions --------------------------------------------------------------

enum class BitOp : uint8_t { Test = 0, Change = 1, Clear = 2, Set = 3 };

int32_t bit_cycles_68000_class(const Cpu& cpu, BitOp op, uint8_t kind, uint32_t bit) {
    if (kind == 0) {
        switch (op) {
        case BitOp::Test: return 6;
        case BitOp::Clear: return 10;
        default: return cpu.m68000_class ? (bit < 16 ? 6 : 8) : 8;
        }
    }
    switch (op) {
    case BitOp::Test: return 4;
    case BitOp::Clear: return 8;
    default:
        if (!cpu.m68000_class) return 8;
        return 8 + ea_timing_68000(kind, kSizeByte);
    }
}

int32_t bit_instruction(Cpu& cpu, CpuBus& bus, uint16_t opcode, BitOp op) {
    const bool is_static = (opcode & 0x0100) == 0;
    uint32_t bit = is_static ? fetch_word(cpu, bus) : cpu.data_regs[(opcode >> 9) & 7];
    const uint8_t kind = ea_kind_from_mode(opcode >> 3, opcode);
    const uint8_t reg = opcode & 7;
    if (kind == 0) {
        bit &= 31;
        uint32_t& d = cpu.data_regs[reg];
        const uint32_t m = 1u << bit;
        cpu.flag_not_z = d & m;
        if (op != BitOp::Test) {
            if (is_m68000(cpu)) prefetch_with_delay(cpu, bus, 0);
            if (op == BitOp::Change) d ^= m;
            else if (op == BitOp::Clear) d &= ~m;
            else d |= m;
        }
        if (is_m68000(cpu)) return cycles_by_ea_and_count(kind, static_cast<uint8_t>(op), is_static, bit);
        return bit_cycles_68000_class(cpu, op, kind, bit);
    }
    bit &= 7;
    const Operand operand = compute_ea(cpu, bus, kind, reg, kSizeByte);
    const uint32_t value = read_operand(cpu, bus, operand, kSizeByte);
    const uint32_t m = 1u << bit;
    cpu.flag_not_z = value & m;
    if (op != BitOp::Test) {
        const uint32_t changed = op == BitOp::Change ? (value ^ m) : op == BitOp::Clear ? (value & ~m) : (value | m);
        write_operand(cpu, bus, operand, kSizeByte, changed);
    }
    if (is_m68000(cpu)) return cycles_by_ea_and_count(kind, static_cast<uint8_t>(op), is_static, bit);
    return bit_cycles_68000_class(cpu, op, kind, bit);
}

// ---- Bit fields ---------------------------------------------------------------------------

struct BitfieldWindow {
    uint64_t window;  // the first byte in bits 32-39
    uint32_t field;
    uint32_t span;    // bytes, 1-5
};

constexpr uint64_t low_bits(uint32_t n) { return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1; }

BitfieldWindow bitfield_read_bytes(Cpu& cpu, CpuBus& bus, uint32_t address, uint32_t bit_offset, uint32_t width) {
    const uint32_t span = (bit_offset + width - 1) / 8 + 1;
    uint64_t window = 0;
    switch (span) {
    case 1: window = uint64_t{read_data_byte(cpu, bus, address)} << 32; break;
    case 2: window = uint64_t{read_data_word(cpu, bus, address)} << 24; break;
    case 3:
        window = uint64_t{read_data_word(cpu, bus, address)} << 24;
        window |= uint64_t{read_data_byte(cpu, bus, address + 2)} << 16;
        break;
    case 4: window = uint64_t{read_data_long(cpu, bus, address)} << 8; break;
    default:
        window = uint64_t{read_data_long(cpu, bus, address)} << 8;
        window |= read_data_byte(cpu, bus, address + 4);
        break;
    }
    const uint32_t field = static_cast<uint32_t>((window >> (40 - bit_offset - width)) & low_bits(width));
    return {window, field, span};
}

void bitfield_write_bytes(Cpu& cpu, CpuBus& bus, uint32_t address, uint64_t window, uint32_t span) {
    switch (span) {
    case 1: write_data_byte(cpu, bus, address, static_cast<uint32_t>(window >> 32) & 0xFF); break;
    case 2: write_data_word(cpu, bus, address, static_cast<uint32_t>(window >> 24) & 0xFFFF); break;
    case 3:
        write_data_word(cpu, bus, address, static_cast<uint32_t>(window >> 24) & 0xFFFF);
        write_data_byte(cpu, bus, address + 2, static_cast<uint32_t>(window >> 16) & 0xFF);
        break;
    case 4: write_data_long(cpu, bus, address, static_cast<uint32_t>(window >> 8)); break;
    default:
        write_data_long(cpu, bus, address, static_cast<uint32_t>(window >> 8));
        write_data_byte(cpu, bus, address + 4, static_cast<uint32_t>(window) & 0xFF);
        break;
    }
}

using shifts::ShiftKind;
using shifts::ShiftResult;
using shifts::shift_by;

constexpr uint32_t rotl32(uint32_t v, uint32_t k) { k &= 31; return k == 0 ? v : (v << k) | (v >> (32 - k)); }
constexpr uint32_t rotr32(uint32_t v, uint32_t k) { k &= 31; return k == 0 ? v : (v >> k) | (v << (32 - k)); }

}  // namespace

int32_t op_ori_ea(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return immediate_to_ea(cpu, bus, opcode, LogicOp::Or); }
int32_t op_andi_ea(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return immediate_to_ea(cpu, bus, opcode, LogicOp::And); }
int32_t op_eori_ea(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return immediate_to_ea(cpu, bus, opcode, LogicOp::Eor); }
int32_t op_ori_ccr(Cpu& cpu, CpuBus& bus, uint16_t) { return immediate_to_ccr(cpu, bus, LogicOp::Or); }
int32_t op_andi_ccr(Cpu& cpu, CpuBus& bus, uint16_t) { return immediate_to_ccr(cpu, bus, LogicOp::And); }
int32_t op_eori_ccr(Cpu& cpu, CpuBus& bus, uint16_t) { return immediate_to_ccr(cpu, bus, LogicOp::Eor); }
int32_t op_ori_sr(Cpu& cpu, CpuBus& bus, uint16_t) { return immediate_to_sr(cpu, bus, LogicOp::Or); }
int32_t op_andi_sr(Cpu& cpu, CpuBus& bus, uint16_t) { return immediate_to_sr(cpu, bus, LogicOp::And); }
int32_t op_eori_sr(Cpu& cpu, CpuBus& bus, uint16_t) { return immediate_to_sr(cpu, bus, LogicOp::Eor); }
int32_t op_or_to_register(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return logic_to_register(cpu, bus, opcode, LogicOp::Or); }
int32_t op_or_to_ea(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return logic_to_ea(cpu, bus, opcode, LogicOp::Or); }
int32_t op_and_to_register(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return logic_to_register(cpu, bus, opcode, LogicOp::And); }
int32_t op_and_to_ea(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return logic_to_ea(cpu, bus, opcode, LogicOp::And); }
int32_t op_eor(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return logic_to_ea(cpu, bus, opcode, LogicOp::Eor); }

int32_t op_not(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t size = (opcode >> 6) & 3;
    const uint8_t kind = ea_kind_from_mode(opcode >> 3, opcode);
    const uint8_t reg = opcode & 7;
    const bool lng = size == kSizeLong;
    if (is_m68000(cpu) && kind == 0) {
        const uint32_t result = ~cpu.data_regs[reg] & size_mask(size);
        set_logic_flags(cpu, result, size);
        prefetch_fill(cpu, bus);
        write_dn_low(cpu, reg, size, result);
        return lng ? 6 : 4;
    }
    const Operand op = compute_ea(cpu, bus, kind, reg, size);
    const uint32_t value = read_operand(cpu, bus, op, size);
    if (cpu.aborted) return kAbortCycles;
    const uint32_t result = ~value & size_mask(size);
    set_logic_flags(cpu, result, size);
    write_operand(cpu, bus, op, size, result);
    if (cpu.aborted) return kAbortCycles;
    if (!cpu.m68000_class) return 4;
    if (kind == 0) return lng ? 6 : 4;
    return (lng ? 12 : 8) + ea_timing_68000(kind, size);
}

int32_t op_tas(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t kind = ea_kind_from_mode(opcode >> 3, opcode);
    const Operand op = compute_ea(cpu, bus, kind, opcode & 7, kSizeByte);
    const uint32_t value = read_operand(cpu, bus, op, kSizeByte);
    set_logic_flags(cpu, value, kSizeByte);
    write_operand(cpu, bus, op, kSizeByte, value | 0x80);
    const CpuType t = cpu.cpu_type;
    if (t == CpuType::M68EC040 || t == CpuType::M68LC040 || t == CpuType::M68040) cpu.flow_changed = true;
    if (is_m68000(cpu) && kind != 0) return 10 + ea_timing_68000(kind, kSizeByte);
    return 4;
}

int32_t op_btst(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return bit_instruction(cpu, bus, opcode, BitOp::Test); }
int32_t op_bchg(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return bit_instruction(cpu, bus, opcode, BitOp::Change); }
int32_t op_bclr(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return bit_instruction(cpu, bus, opcode, BitOp::Clear); }
int32_t op_bset(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return bit_instruction(cpu, bus, opcode, BitOp::Set); }

int32_t op_shift_register(Cpu& cpu, CpuBus&, uint16_t opcode) {
    const uint8_t size = (opcode >> 6) & 3;
    const auto kind = static_cast<ShiftKind>((opcode >> 3) & 3);
    const bool left = (opcode & 0x0100) != 0;
    const uint32_t field = (opcode >> 9) & 7;
    const uint32_t count = (opcode & 0x20) ? (cpu.data_regs[field] & 63) : (field == 0 ? 8 : field);
    uint32_t& d = cpu.data_regs[opcode & 7];
    const uint32_t mask = size_mask(size);
    const ShiftResult r = shift_by(cpu, kind, left, size, count, d & mask);
    d = (d & ~mask) | (r.value & mask);
    return r.cycles;
}

int32_t op_shift_memory(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t kind = ea_kind_from_mode(opcode >> 3, opcode);
    const auto shift = static_cast<ShiftKind>((opcode >> 9) & 3);
    const bool left = (opcode & 0x0100) != 0;
    const Operand op = compute_ea(cpu, bus, kind, opcode & 7, kSizeWord);
    const uint32_t value = read_operand(cpu, bus, op, kSizeWord);
    if (cpu.aborted) return kAbortCycles;
    const ShiftResult r = shift_by(cpu, shift, left, kSizeWord, 1, value);
    write_operand(cpu, bus, op, kSizeWord, r.value);
    if (cpu.aborted) return kAbortCycles;
    if (is_m68000(cpu)) return 8 + ea_timing_68000(kind, kSizeWord);
    return r.cycles + 4;
}

int32_t op_bitfield(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint32_t operation = (opcode >> 8) & 0xF;
    const uint32_t mode = (opcode >> 3) & 7;
    const uint8_t reg = opcode & 7;
    if (mode == 7 && reg >= 4) return take_exception(cpu, bus, kVectorIllegal);
    const uint16_t ext = fetch_word(cpu, bus);
    const uint32_t dn = (ext >> 12) & 7;
    const uint32_t offset = (ext & 0x0800) ? cpu.data_regs[(ext >> 6) & 7] : ((ext >> 6) & 31);
    uint32_t width = (ext & 0x0020) ? (cpu.data_regs[ext & 7] & 31) : (ext & 31);
    if (width == 0) width = 32;
    const uint32_t field_mask = static_cast<uint32_t>(low_bits(width));
    const uint32_t insert = cpu.data_regs[dn] & field_mask;

    uint32_t field;
    uint64_t window = 0;
    uint32_t span = 0;
    uint32_t address = 0;
    uint32_t bit_offset = 0;
    const bool in_register = mode == 0;
    if (in_register) {
        field = rotl32(cpu.data_regs[reg], offset) >> (32 - width);
    } else {
        const Operand base = compute_ea(cpu, bus, ea_kind_from_mode(mode, reg), reg, kSizeByte);
        // The signed offset picks the byte: an arithmetic shift, not a division.
        address = base.value + static_cast<uint32_t>(static_cast<int32_t>(offset) >> 3);
        bit_offset = offset & 7;
        const BitfieldWindow w = bitfield_read_bytes(cpu, bus, address, bit_offset, width);
        window = w.window;
        field = w.field;
        span = w.span;
        cpu.bitfield_five_bytes = span == 5;
    }

    const uint32_t flag_source = operation == 15 ? insert : field;
    cpu.flag_n = (flag_source >> (width - 1)) & 1 ? 0x80u : 0u;
    cpu.flag_not_z = flag_source;
    cpu.flag_v = 0;
    cpu.flag_c = 0;

    bool changes = false;
    uint32_t new_field = field;
    switch (operation) {
    case 9: cpu.data_regs[dn] = field; break;  // BFEXTU
    case 11:                                  // BFEXTS
        cpu.data_regs[dn] = width == 32 || !((field >> (width - 1)) & 1) ? field : (field | ~field_mask);
        break;
    case 13: {  // BFFFO
        uint32_t position = width;
        for (uint32_t i = 0; i < width; ++i) {
            if ((field >> (width - 1 - i)) & 1) {
                position = i;
                break;
            }
        }
        cpu.data_regs[dn] = offset + position;
        break;
    }
    case 10: new_field = ~field & field_mask; changes = true; break;  // BFCHG
    case 12: new_field = 0; changes = true; break;                     // BFCLR
    case 14: new_field = field_mask; changes = true; break;            // BFSET
    case 15: new_field = insert; changes = true; break;                // BFINS
    default: break;                                                   // BFTST
    }
    if (changes) {
        if (in_register) {
            const uint32_t top_mask = width == 32 ? 0xFFFFFFFFu : field_mask << (32 - width);
            uint32_t rotated = rotl32(cpu.data_regs[reg], offset);
            rotated = (rotated & ~top_mask) | ((new_field << (32 - width)) & top_mask);
            if (width == 32) rotated = new_field;
            cpu.data_regs[reg] = rotr32(rotated, offset);
        } else {
            const uint32_t shift = 40 - bit_offset - width;
            const uint64_t m = low_bits(width) << shift;
            window = (window & ~m) | ((uint64_t{new_field} << shift) & m);
            bitfield_write_bytes(cpu, bus, address, window, span);
        }
    }
    return in_register ? 8 : 12;
}

}  // namespace m68k
