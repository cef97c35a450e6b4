// The shift and rotate arithmetic of ASL/ASR, LSL/LSR, ROXL/ROXR, ROL/ROR: result, flags and the
// count the routine returns. Inline so that a caller with a fixed size gets it folded.
#pragma once

#include <cstdint>

#include "core/handler.hpp"
#include "m68k/cpu.hpp"

namespace m68k::shifts {

inline void set_logic_flags(Cpu& cpu, uint32_t value, uint8_t size) {
    const uint32_t v = value & size_mask(size);
    cpu.flag_n = (v & size_msb(size)) ? 0x80u : 0u;
    cpu.flag_not_z = v;
    cpu.flag_v = 0;
    cpu.flag_c = 0;
}


struct ShiftResult {
    uint32_t value;
    int32_t cycles;
};

constexpr uint32_t width_of(uint8_t size) { return size == kSizeByte ? 8u : size == kSizeWord ? 16u : 32u; }

inline int32_t shift_cycles(const Cpu& cpu, uint8_t size, uint32_t count) {
    if (cpu.prefetch_model) return (size == kSizeLong ? 8 : 6) + 2 * static_cast<int32_t>(count);
    return 6;
}

inline void shift_flags(Cpu& cpu, uint32_t result, uint8_t size, uint32_t carry, bool set_x) {
    const uint32_t v = result & size_mask(size);
    cpu.flag_n = (v & size_msb(size)) ? 0x80u : 0u;
    cpu.flag_not_z = v;
    cpu.flag_c = carry ? 0x100u : 0u;
    if (set_x) cpu.flag_x = cpu.flag_c;
}

enum class ShiftKind : uint8_t { Arithmetic = 0, Logical = 1, RotateExtend = 2, Rotate = 3 };

// ASL and LSL move the same bits; only ASL reports a change of sign in V.
inline ShiftResult shift_left(Cpu& cpu, uint8_t size, uint32_t count, uint32_t value, bool arithmetic) {
    const uint32_t w = width_of(size);
    const uint64_t mask = size_mask(size);
    const uint64_t v = value & mask;
    const int32_t cycles = shift_cycles(cpu, size, count);
    if (count == 0) {
        set_logic_flags(cpu, static_cast<uint32_t>(v), size);
        return {static_cast<uint32_t>(v), cycles};
    }
    const uint32_t result = count >= w ? 0u : static_cast<uint32_t>((v << count) & mask);
    const uint32_t carry = count <= w ? static_cast<uint32_t>((v >> (w - count)) & 1) : 0u;
    bool overflow = false;
    if (arithmetic) {
        if (count >= w) {
            overflow = v != 0;
        } else {
            // The top count + 1 bits must all be equal for the sign to survive every step.
            const uint64_t top = ((uint64_t{1} << (count + 1)) - 1) << (w - 1 - count);
            overflow = (v & top) != 0 && (v & top) != top;
        }
    }
    shift_flags(cpu, result, size, carry, true);
    cpu.flag_v = overflow ? 0x80u : 0u;
    return {result, cycles};
}

inline ShiftResult shift_asr(Cpu& cpu, uint8_t size, uint32_t count, uint32_t value) {
    const uint32_t w = width_of(size);
    const uint32_t mask = size_mask(size);
    const uint32_t v = value & mask;
    const int32_t cycles = shift_cycles(cpu, size, count);
    if (count == 0) {
        set_logic_flags(cpu, v, size);
        return {v, cycles};
    }
    const bool negative = (v & size_msb(size)) != 0;
    uint32_t result;
    uint32_t carry;
    if (count >= w) {
        result = negative ? mask : 0u;
        carry = negative ? 1u : 0u;
    } else {
        const uint64_t extended = negative ? (uint64_t{v} | ~uint64_t{mask}) : uint64_t{v};
        result = static_cast<uint32_t>(extended >> count) & mask;
        carry = (v >> (count - 1)) & 1;
    }
    shift_flags(cpu, result, size, carry, true);
    cpu.flag_v = 0;
    return {result, cycles};
}

inline ShiftResult shift_lsr(Cpu& cpu, uint8_t size, uint32_t count, uint32_t value) {
    const uint32_t w = width_of(size);
    const uint64_t v = value & size_mask(size);
    const int32_t cycles = shift_cycles(cpu, size, count);
    if (count == 0) {
        set_logic_flags(cpu, static_cast<uint32_t>(v), size);
        return {static_cast<uint32_t>(v), cycles};
    }
    const uint32_t result = count >= w ? 0u : static_cast<uint32_t>(v >> count);
    const uint32_t carry = count <= w ? static_cast<uint32_t>((v >> (count - 1)) & 1) : 0u;
    shift_flags(cpu, result, size, carry, true);
    cpu.flag_v = 0;
    return {result, cycles};
}

// ROL and ROR: C is the last bit rotated out, which lands in bit 0 (left) or the top bit (right).
inline ShiftResult shift_rotate(Cpu& cpu, uint8_t size, uint32_t count, uint32_t value, bool left) {
    const uint32_t w = width_of(size);
    const uint64_t mask = size_mask(size);
    const uint64_t v = value & mask;
    const int32_t cycles = shift_cycles(cpu, size, count);
    if (count == 0) {
        set_logic_flags(cpu, static_cast<uint32_t>(v), size);
        return {static_cast<uint32_t>(v), cycles};
    }
    const uint32_t k = count % w;
    const uint64_t rotated = left ? (v << k) | (v >> (w - k)) : (v >> k) | (v << (w - k));
    const uint32_t result = k == 0 ? static_cast<uint32_t>(v) : static_cast<uint32_t>(rotated & mask);
    const bool carry = left ? (result & 1) != 0 : (result & size_msb(size)) != 0;
    shift_flags(cpu, result, size, carry, false);
    cpu.flag_v = 0;
    return {result, cycles};
}

// The operand and X as one (w + 1)-bit value, X on top.
inline ShiftResult rotate_extend(Cpu& cpu, uint8_t size, uint32_t count, uint32_t value, bool left) {
    const uint32_t w = width_of(size);
    const uint64_t mask = size_mask(size);
    const uint64_t v = value & mask;
    const int32_t cycles = shift_cycles(cpu, size, count);
    const uint32_t k = count % (w + 1);
    if (k == 0) {
        set_logic_flags(cpu, static_cast<uint32_t>(v), size);
        cpu.flag_c = cpu.flag_x;
        return {static_cast<uint32_t>(v), cycles};
    }
    const uint64_t full_mask = (uint64_t{1} << (w + 1)) - 1;
    const uint64_t full = (uint64_t{(cpu.flag_x >> 8) & 1} << w) | v;
    const uint64_t r = left ? ((full << k) | (full >> (w + 1 - k))) & full_mask
                            : ((full >> k) | (full << (w + 1 - k))) & full_mask;
    const uint32_t result = static_cast<uint32_t>(r & mask);
    shift_flags(cpu, result, size, static_cast<uint32_t>((r >> w) & 1), true);
    cpu.flag_v = 0;
    return {result, cycles};
}

inline ShiftResult shift_by(Cpu& cpu, ShiftKind kind, bool left, uint8_t size, uint32_t count, uint32_t value) {
    switch (kind) {
    case ShiftKind::Arithmetic:
        return left ? shift_left(cpu, size, count, value, true) : shift_asr(cpu, size, count, value);
    case ShiftKind::Logical:
        return left ? shift_left(cpu, size, count, value, false) : shift_lsr(cpu, size, count, value);
    case ShiftKind::RotateExtend: return rotate_extend(cpu, size, count, value, left);
    default: return shift_rotate(cpu, size, count, value, left);
    }
}

}  // namespace m68k::shifts
