#include "core/instructions/integer_arith.hpp"

#include <bit>

#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "core/handler.hpp"
#include "core/prefetch.hpp"
#include "core/timing.hpp"
#include "core/unimplemented.hpp"

namespace m68k {
namespace {

// The count a form returns once an operand access has faulted (the 68000's address-error time).
constexpr int32_t kAbortCycles = 50;

constexpr uint32_t bit7(bool b) { return b ? 0x80u : 0u; }
constexpr uint32_t bit8(bool b) { return b ? 0x100u : 0u; }

void set_nz(Cpu& cpu, uint32_t result, uint8_t size) {
    result &= size_mask(size);
    cpu.flag_n = bit7((result & size_msb(size)) != 0);
    cpu.flag_not_z = result;
}

void set_logic_flags(Cpu& cpu, uint32_t result, uint8_t size) {
    set_nz(cpu, result, size);
    cpu.flag_v = 0;
    cpu.flag_c = 0;
}

void write_dn_low(Cpu& cpu, uint32_t reg, uint8_t size, uint32_t value) {
    uint32_t& d = cpu.data_regs[reg & 7];
    const uint32_t mask = size_mask(size);
    d = (d & ~mask) | (value & mask);
}

constexpr uint8_t kind_of(uint16_t opcode) { return ea_kind_from_mode(opcode >> 3, opcode); }
constexpr uint8_t reg_of(uint16_t opcode) { return static_cast<uint8_t>(opcode & 7); }
constexpr uint32_t reg_hi(uint16_t opcode) { return (opcode >> 9) & 7u; }
constexpr uint8_t size_of(uint16_t opcode) { return static_cast<uint8_t>((opcode >> 6) & 3); }

bool is_m68000(const Cpu& cpu) { return cpu.cpu_type == CpuType::M68000; }
bool register_or_immediate(uint8_t kind) { return kind <= 1 || kind == static_cast<uint8_t>(EaKind::Immediate); }

// ADD/SUB to memory: the flags change only once the result is written.
template <bool Add>
void store_add_sub(Cpu& cpu, CpuBus& bus, const Operand& op, uint8_t size, uint32_t src, uint32_t dst) {
    const uint32_t res = (Add ? dst + src : dst - src) & size_mask(size);
    write_operand(cpu, bus, op, size, res);
    if (cpu.aborted) return;
    if (Add) flags_add(cpu, src, dst, res, size); else flags_sub(cpu, src, dst, res, size);
}

// ADD/SUB ea,Dn and Dn,ea, sharing their shapes.
template <bool Add>
int32_t add_sub_to_register(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t size = size_of(opcode);
    const uint8_t kind = kind_of(opcode);
    const uint32_t dn = reg_hi(opcode);
    const uint32_t mask = size_mask(size);
    const uint32_t src = read_ea(cpu, bus, kind, reg_of(opcode), size) & mask;
    int32_t cycles = 4;
    if (is_m68000(cpu)) {
        cycles = (size == kSizeLong ? (register_or_immediate(kind) ? 8 : 6) : 4) + ea_timing_68000(kind, size);
    }
    if (cpu.aborted) return cycles;
    const uint32_t dst = cpu.data_regs[dn] & mask;
    const uint32_t res = (Add ? dst + src : dst - src) & mask;
    if (Add) flags_add(cpu, src, dst, res, size); else flags_sub(cpu, src, dst, res, size);
    write_dn_low(cpu, dn, size, res);
    return cycles;
}

template <bool Add>
int32_t add_sub_to_ea(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t size = static_cast<uint8_t>(size_of(opcode) & 3);
    const uint8_t kind = kind_of(opcode);
    const uint32_t mask = size_mask(size);
    const uint32_t src = cpu.data_regs[reg_hi(opcode)] & mask;
    const Operand op = compute_ea(cpu, bus, kind, reg_of(opcode), size);
    const uint32_t dst = read_operand(cpu, bus, op, size) & mask;
    const int32_t cycles =
        is_m68000(cpu) ? (size == kSizeLong ? 12 : 8) + ea_timing_68000(kind, size) : 8;
    if (cpu.aborted) return cycles;
    store_add_sub<Add>(cpu, bus, op, size, src, dst);
    return cycles;
}

template <bool Add>
int32_t add_sub_address(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const bool lng = (opcode & 0x0100) != 0;
    const uint8_t size = lng ? kSizeLong : kSizeWord;
    const uint8_t kind = kind_of(opcode);
    uint32_t src = read_ea(cpu, bus, kind, reg_of(opcode), size);
    if (!lng) src = sign_extend_word(src);
    if (cpu.aborted) return is_m68000(cpu) ? kAbortCycles : 8;
    uint32_t& an = cpu.addr_regs[reg_hi(opcode)];
    an = Add ? an + src : an - src;
    if (!is_m68000(cpu)) return 8;
    return (lng ? (register_or_immediate(kind) ? 8 : 6) : 8) + ea_timing_68000(kind, size);
}

template <bool Add>
int32_t add_sub_x_register(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t size = size_of(opcode);
    if (is_m68000(cpu)) prefetch_refill_by_size(cpu, bus, size);
    const uint32_t mask = size_mask(size);
    const uint32_t src = cpu.data_regs[reg_of(opcode)] & mask;
    const uint32_t dx = reg_hi(opcode);
    const uint32_t dst = cpu.data_regs[dx] & mask;
    const uint32_t res = Add ? addx_with_flags(cpu, size, src, dst) : subx_with_flags(cpu, size, src, dst);
    write_dn_low(cpu, dx, size, res);
    return is_m68000(cpu) && size == kSizeLong ? 8 : 4;
}

template <bool Add>
int32_t add_sub_x_memory(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t size = size_of(opcode);
    const bool low_first = is_m68000(cpu) && size == kSizeLong;
    const uint8_t predec = static_cast<uint8_t>(EaKind::PreDec);
    const Operand s = compute_ea(cpu, bus, predec, reg_of(opcode), size);
    const uint32_t src = low_first ? read_data_long_low_first(cpu, bus, s.value) : read_operand(cpu, bus, s, size);
    const Operand d = compute_ea(cpu, bus, predec, static_cast<uint8_t>(reg_hi(opcode)), size);
    const uint32_t dst = low_first ? read_data_long_low_first(cpu, bus, d.value) : read_operand(cpu, bus, d, size);
    if (cpu.aborted) return kAbortCycles;
    const uint32_t saved_x = cpu.flag_x, saved_n = cpu.flag_n, saved_z = cpu.flag_not_z;
    const uint32_t saved_v = cpu.flag_v, saved_c = cpu.flag_c;
    const uint32_t res = Add ? addx_with_flags(cpu, size, src, dst) : subx_with_flags(cpu, size, src, dst);
    if (low_first) write_data_long_low_first(cpu, bus, d.value, res); else write_operand(cpu, bus, d, size, res);
    if (cpu.aborted) {
        cpu.flag_x = saved_x; cpu.flag_n = saved_n; cpu.flag_not_z = saved_z;
        cpu.flag_v = saved_v; cpu.flag_c = saved_c;
        return kAbortCycles;
    }
    return is_m68000(cpu) && size == kSizeLong ? 30 : 18;
}

template <bool Add>
int32_t add_sub_immediate(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t size = size_of(opcode);
    const uint8_t kind = kind_of(opcode);
    const uint32_t mask = size_mask(size);
    const uint32_t src = fetch_immediate(cpu, bus, size) & mask;
    const Operand op = compute_ea(cpu, bus, kind, reg_of(opcode), size);
    const uint32_t dst = read_operand(cpu, bus, op, size) & mask;
    int32_t cycles;
    if (is_m68000(cpu)) {
        if (kind == 0) cycles = size == kSizeLong ? 16 : 8;
        else cycles = (size == kSizeLong ? 20 : 12) + ea_timing_68000(kind, size);
    } else {
        cycles = size == kSizeLong ? (Add ? 12 : 16) : 8;
    }
    if (cpu.aborted) return cycles;
    store_add_sub<Add>(cpu, bus, op, size, src, dst);
    return cycles;
}

template <bool Add>
int32_t add_sub_quick(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t size = size_of(opcode);
    const uint8_t kind = kind_of(opcode);
    uint32_t q = (opcode >> 9) & 7;
    if (q == 0) q = 8;
    const bool m68000 = is_m68000(cpu);
    if (kind == static_cast<uint8_t>(EaKind::AddrReg)) {
        if (m68000) prefetch_with_delay(cpu, bus, 4);
        uint32_t& an = cpu.addr_regs[reg_of(opcode)];
        an = Add ? an + q : an - q;
        return m68000 ? 8 : 4;
    }
    const uint32_t mask = size_mask(size);
    if (kind == static_cast<uint8_t>(EaKind::DataReg)) {
        const uint32_t dn = reg_of(opcode);
        const uint32_t dst = cpu.data_regs[dn] & mask;
        const uint32_t res = (Add ? dst + q : dst - q) & mask;
        if (Add) flags_add(cpu, q, dst, res, size); else flags_sub(cpu, q, dst, res, size);
        if (m68000) prefetch_with_delay(cpu, bus, size == kSizeLong ? 4 : 0);
        write_dn_low(cpu, dn, size, res);
        return m68000 && size == kSizeLong ? 8 : 4;
    }
    const Operand op = compute_ea(cpu, bus, kind, reg_of(opcode), size);
    const uint32_t dst = read_operand(cpu, bus, op, size) & mask;
    // The M68000 count replaces the routine's own, the fault's 50 included.
    const int32_t cycles = m68000 ? (size == kSizeLong ? 12 : 8) + ea_timing_68000(kind, size) : 4;
    const int32_t abort_cycles = m68000 ? cycles : kAbortCycles;
    if (cpu.aborted) return abort_cycles;
    const uint32_t res = (Add ? dst + q : dst - q) & mask;
    write_operand(cpu, bus, op, size, res);
    if (cpu.aborted) return abort_cycles;
    if (Add) flags_add(cpu, q, dst, res, size); else flags_sub(cpu, q, dst, res, size);
    return cycles;
}

// CLR, NEG, NEGX count on the whole 68000 class: 8 + ea (byte, word) or 12 + ea (long) in memory.
int32_t unary_cycles(const Cpu& cpu, uint8_t kind, uint8_t size) {
    if (!cpu.m68000_class) return 4;
    if (kind == 0) return size == kSizeLong ? 6 : 4;
    return (size == kSizeLong ? 12 : 8) + ea_timing_68000(kind, size);
}

enum class Unary { Clr, Neg, Negx };

template <Unary U>
int32_t unary(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t size = size_of(opcode);
    const uint8_t kind = kind_of(opcode);
    const uint32_t mask = size_mask(size);
    const uint32_t msb = size_msb(size);
    auto compute = [&](uint32_t value) {
        value &= mask;
        uint32_t res = 0;
        if constexpr (U == Unary::Clr) {
            cpu.flag_n = 0;
            cpu.flag_v = 0;
            cpu.flag_c = 0;
            cpu.flag_not_z = 0;
        } else if constexpr (U == Unary::Neg) {
            res = (0u - value) & mask;
            set_nz(cpu, res, size);
            cpu.flag_v = bit7(value == msb);
            cpu.flag_c = cpu.flag_x = bit8(value != 0);
        } else {
            const uint32_t x = (cpu.flag_x >> 8) & 1;
            res = (0u - value - x) & mask;
            cpu.flag_n = bit7((res & msb) != 0);
            if (res != 0) cpu.flag_not_z = res;
            cpu.flag_v = bit7((res & value & msb) != 0);
            // Or, not add: 0xFFFFFFFF + X wraps to 0 in 32 bits.
            cpu.flag_c = cpu.flag_x = bit8((value | x) != 0);
        }
        return res;
    };
    if (is_m68000(cpu) && kind == 0) {
        const uint32_t dn = reg_of(opcode);
        const uint32_t res = compute(cpu.data_regs[dn]);
        return write_data_register_timed(cpu, bus, static_cast<uint8_t>(dn), size, res);
    }
    const Operand op = compute_ea(cpu, bus, kind, reg_of(opcode), size);
    uint32_t value = 0;
    if (U != Unary::Clr || cpu.cpu_type == CpuType::M68000) value = read_operand(cpu, bus, op, size);
    // The M68000 count replaces the routine's own, the fault's 50 included.
    const int32_t abort_cycles = is_m68000(cpu) ? unary_cycles(cpu, kind, size) : kAbortCycles;
    if (cpu.aborted) return abort_cycles;
    const uint32_t sx = cpu.flag_x, sn = cpu.flag_n, sz = cpu.flag_not_z, sv = cpu.flag_v, sc = cpu.flag_c;
    const uint32_t res = compute(value);
    write_operand(cpu, bus, op, size, res);
    if (cpu.aborted) {
        cpu.flag_x = sx; cpu.flag_n = sn; cpu.flag_not_z = sz; cpu.flag_v = sv; cpu.flag_c = sc;
        return abort_cycles;
    }
    return unary_cycles(cpu, kind, size);
}

// 68000 DIVU.W time for a dividend whose quotient fits (the shift-and-subtract loop).
int32_t divu_cycles_68000(uint32_t dividend, uint32_t divisor) {
    if ((dividend >> 16) >= divisor) return 10;
    int32_t count = 38;
    const uint32_t h = divisor << 16;
    for (int i = 0; i < 15; ++i) {
        const bool top = (dividend & 0x80000000u) != 0;
        dividend <<= 1;
        if (top) {
            dividend -= h;
        } else if (dividend >= h) {
            dividend -= h;
            count += 1;
        } else {
            count += 2;
        }
    }
    return 2 * count;
}

int32_t divs_cycles_68000(int32_t dividend, int16_t divisor) {
    const uint32_t a = dividend < 0 ? 0u - static_cast<uint32_t>(dividend) : static_cast<uint32_t>(dividend);
    const uint32_t b = divisor < 0 ? 0u - static_cast<uint32_t>(static_cast<int32_t>(divisor))
                                   : static_cast<uint32_t>(divisor);
    if ((a >> 16) >= b) return dividend < 0 ? 18 : 16;
    const uint32_t q = a / b;
    int32_t base;
    if (divisor >= 0) base = dividend >= 0 ? 60 : 63;
    else base = dividend >= 0 ? 61 : 62;
    const int32_t zeros = 15 - std::popcount(q & 0xFFFEu);
    return 2 * (base + zeros);
}

// DIVU.W/DIVS.W overflow: V set (C is cleared by the caller). The 68000 also sets N and clears
// Z, early or late overflow alike; the other types keep them.
void set_overflow_flags(Cpu& cpu) {
    cpu.flag_v = 0x80;
    if (is_m68000(cpu)) {
        cpu.flag_n = 0x80;
        cpu.flag_not_z = 1;
    }
}

// 64-bit product of two 32-bit values, as the hardware forms it.
struct Product {
    uint32_t high;
    uint32_t low;
};

}  // namespace

void flags_add(Cpu& cpu, uint32_t source, uint32_t destination, uint32_t result, uint8_t size) {
    const uint32_t mask = size_mask(size);
    const uint32_t msb = size_msb(size);
    source &= mask;
    destination &= mask;
    result &= mask;
    set_nz(cpu, result, size);
    cpu.flag_v = bit7(((source ^ result) & (destination ^ result) & msb) != 0);
    const uint64_t sum = static_cast<uint64_t>(source) + destination;
    cpu.flag_c = cpu.flag_x = bit8(sum > mask);
}

void flags_sub(Cpu& cpu, uint32_t source, uint32_t destination, uint32_t result, uint8_t size) {
    const uint32_t mask = size_mask(size);
    const uint32_t msb = size_msb(size);
    source &= mask;
    destination &= mask;
    result &= mask;
    set_nz(cpu, result, size);
    cpu.flag_v = bit7(((source ^ destination) & (result ^ destination) & msb) != 0);
    cpu.flag_c = cpu.flag_x = bit8(destination < source);
}

uint32_t addx_with_flags(Cpu& cpu, uint8_t size, uint32_t source, uint32_t destination) {
    const uint32_t mask = size_mask(size);
    const uint32_t msb = size_msb(size);
    source &= mask;
    destination &= mask;
    const uint64_t sum = static_cast<uint64_t>(source) + destination + ((cpu.flag_x >> 8) & 1);
    const uint32_t res = static_cast<uint32_t>(sum) & mask;
    cpu.flag_n = bit7((res & msb) != 0);
    if (res != 0) cpu.flag_not_z = res;
    cpu.flag_v = bit7(((destination ^ res) & (source ^ res) & msb) != 0);
    cpu.flag_c = cpu.flag_x = bit8(sum > mask);
    return res;
}

uint32_t subx_with_flags(Cpu& cpu, uint8_t size, uint32_t source, uint32_t destination) {
    const uint32_t mask = size_mask(size);
    const uint32_t msb = size_msb(size);
    source &= mask;
    destination &= mask;
    const uint32_t x = (cpu.flag_x >> 8) & 1;
    const uint32_t res = (destination - source - x) & mask;
    cpu.flag_n = bit7((res & msb) != 0);
    if (res != 0) cpu.flag_not_z = res;
    cpu.flag_v = bit7(((destination ^ res) & (source ^ destination) & msb) != 0);
    cpu.flag_c = cpu.flag_x = bit8(static_cast<uint64_t>(destination) < static_cast<uint64_t>(source) + x);
    return res;
}

int32_t cmp_flags(Cpu& cpu, uint8_t size, uint32_t source, uint32_t destination) {
    const uint32_t mask = size_mask(size);
    const uint32_t msb = size_msb(size);
    source &= mask;
    destination &= mask;
    const uint32_t res = (destination - source) & mask;
    set_nz(cpu, res, size);
    cpu.flag_v = bit7(((source ^ destination) & (res ^ destination) & msb) != 0);
    cpu.flag_c = bit8(destination < source);
    return 4;
}

int32_t cmpa_flags(Cpu& cpu, uint8_t size, uint32_t source, uint32_t an) {
    if (size == kSizeWord) source = sign_extend_word(source);
    const uint32_t res = an - source;
    cpu.flag_n = bit7((res & 0x80000000u) != 0);
    cpu.flag_not_z = res;
    cpu.flag_v = bit7(((an ^ res) & (source ^ an) & 0x80000000u) != 0);
    cpu.flag_c = bit8(an < source);
    return 6;
}

int32_t write_data_register_timed(Cpu& cpu, CpuBus& bus, uint8_t reg, uint8_t size, uint32_t value) {
    prefetch_fill(cpu, bus);
    write_dn_low(cpu, reg, size, value);
    return size == kSizeLong ? 6 : 4;
}

int32_t op_add_to_register(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return add_sub_to_register<true>(cpu, bus, opcode); }
int32_t op_sub_to_register(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return add_sub_to_register<false>(cpu, bus, opcode); }
int32_t op_add_to_ea(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return add_sub_to_ea<true>(cpu, bus, opcode); }
int32_t op_sub_to_ea(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return add_sub_to_ea<false>(cpu, bus, opcode); }
int32_t op_adda(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return add_sub_address<true>(cpu, bus, opcode); }
int32_t op_suba(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return add_sub_address<false>(cpu, bus, opcode); }
int32_t op_addx_register(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return add_sub_x_register<true>(cpu, bus, opcode); }
int32_t op_subx_register(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return add_sub_x_register<false>(cpu, bus, opcode); }
int32_t op_addx_memory(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return add_sub_x_memory<true>(cpu, bus, opcode); }
int32_t op_subx_memory(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return add_sub_x_memory<false>(cpu, bus, opcode); }
int32_t op_addi(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return add_sub_immediate<true>(cpu, bus, opcode); }
int32_t op_subi(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return add_sub_immediate<false>(cpu, bus, opcode); }
int32_t op_addq(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return add_sub_quick<true>(cpu, bus, opcode); }
int32_t op_subq(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return add_sub_quick<false>(cpu, bus, opcode); }
int32_t op_clr(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return unary<Unary::Clr>(cpu, bus, opcode); }
int32_t op_neg(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return unary<Unary::Neg>(cpu, bus, opcode); }
int32_t op_negx(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return unary<Unary::Negx>(cpu, bus, opcode); }

int32_t op_cmp(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t size = size_of(opcode);
    const uint8_t kind = kind_of(opcode);
    const uint32_t src = read_ea(cpu, bus, kind, reg_of(opcode), size);
    if (cpu.aborted) return kAbortCycles;
    const int32_t c = cmp_flags(cpu, size, src, cpu.data_regs[reg_hi(opcode)]);
    if (!is_m68000(cpu)) return c;
    return (size == kSizeLong ? 6 : 4) + ea_timing_68000(kind, size);
}

int32_t op_cmpa(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t size = (opcode & 0x0100) ? kSizeLong : kSizeWord;
    const uint8_t kind = kind_of(opcode);
    const uint32_t src = read_ea(cpu, bus, kind, reg_of(opcode), size);
    if (cpu.aborted) return kAbortCycles;
    const int32_t c = cmpa_flags(cpu, size, src, cpu.addr_regs[reg_hi(opcode)]);
    if (!is_m68000(cpu)) return c;
    return 6 + ea_timing_68000(kind, size);
}

int32_t op_cmpm(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t size = size_of(opcode);
    const uint8_t postinc = static_cast<uint8_t>(EaKind::PostInc);
    const Operand s = compute_ea(cpu, bus, postinc, reg_of(opcode), size);
    const uint32_t src = read_operand(cpu, bus, s, size);
    const Operand d = compute_ea(cpu, bus, postinc, static_cast<uint8_t>(reg_hi(opcode)), size);
    const uint32_t dst = read_operand(cpu, bus, d, size);
    if (cpu.aborted) return kAbortCycles;
    const int32_t c = cmp_flags(cpu, size, src, dst);
    if (!is_m68000(cpu)) return c;
    return size == kSizeLong ? 20 : 12;
}

int32_t op_cmpi(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t size = size_of(opcode);
    const uint8_t kind = kind_of(opcode);
    const uint32_t src = fetch_immediate(cpu, bus, size);
    const uint32_t dst = read_ea(cpu, bus, kind, reg_of(opcode), size);
    if (cpu.aborted) return kAbortCycles;
    const int32_t c = cmp_flags(cpu, size, src, dst);
    if (!is_m68000(cpu)) return c;
    if (kind == 0) return size == kSizeLong ? 14 : 8;
    return (size == kSizeLong ? 12 : 8) + ea_timing_68000(kind, size);
}

int32_t op_tst(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t size = size_of(opcode);
    const uint8_t kind = kind_of(opcode);
    const uint32_t value = read_ea(cpu, bus, kind, reg_of(opcode), size);
    const int32_t cycles = cpu.m68000_class ? 4 + ea_timing_68000(kind, size) : 4;
    // The M68000 count replaces the routine's own, the fault's 50 included.
    if (cpu.aborted) return is_m68000(cpu) ? cycles : kAbortCycles;
    set_logic_flags(cpu, value, size);
    return cycles;
}

int32_t op_chk(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const bool word = ((opcode >> 7) & 3) == 3;
    const uint8_t size = word ? kSizeWord : kSizeLong;
    const uint8_t kind = kind_of(opcode);
    const uint32_t raw_bound = read_ea(cpu, bus, kind, reg_of(opcode), size);
    const int32_t ea_time = is_m68000(cpu) && word ? ea_timing_68000(kind, kSizeWord) : 0;
    if (cpu.aborted) return kAbortCycles + ea_time;
    const uint32_t raw_dn = cpu.data_regs[reg_hi(opcode)];
    const int64_t bound = word ? static_cast<int16_t>(raw_bound) : static_cast<int32_t>(raw_bound);
    const int64_t dn = word ? static_cast<int16_t>(raw_dn) : static_cast<int32_t>(raw_dn);
    cpu.flag_n = bit7(dn < 0);
    cpu.flag_not_z = 1;
    cpu.flag_v = 0;
    cpu.flag_c = 0;
    if (dn >= 0 && dn <= bound) return 10 + ea_time;
    const int32_t count = take_exception_format2(cpu, bus, kVectorChk);
    if (dn > bound) return count - 2 + ea_time;
    // Dn negative: the 68000 finishes its 16-bit compare early when bound - Dn overflows.
    if (is_m68000(cpu) && word && bound - dn > 32768) return count - 2 + ea_time;
    return count + ea_time;
}

int32_t ext_reg(Cpu& cpu, CpuBus&, uint16_t opcode) {
    uint32_t& d = cpu.data_regs[reg_of(opcode)];
    if (((opcode >> 6) & 7) == 2) {
        const uint32_t v = sign_extend_byte(d) & 0xFFFFu;
        d = (d & 0xFFFF0000u) | v;
        set_logic_flags(cpu, v, kSizeWord);
    } else {
        d = sign_extend_word(d);
        set_logic_flags(cpu, d, kSizeLong);
    }
    return 4;
}

int32_t extb_long(Cpu& cpu, CpuBus&, uint16_t opcode) {
    uint32_t& d = cpu.data_regs[reg_of(opcode)];
    d = sign_extend_byte(d);
    set_logic_flags(cpu, d, kSizeLong);
    return 4;
}

int32_t op_mulu_word(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t kind = kind_of(opcode);
    const uint32_t src = read_ea(cpu, bus, kind, reg_of(opcode), kSizeWord) & 0xFFFFu;
    if (cpu.aborted) return kAbortCycles;
    uint32_t& d = cpu.data_regs[reg_hi(opcode)];
    const uint32_t res = src * (d & 0xFFFFu);
    set_logic_flags(cpu, res, kSizeLong);
    if (!is_m68000(cpu)) {
        d = res;
        return 42;
    }
    prefetch_refill_timed(cpu, bus);
    d = res;
    return 38 + 2 * std::popcount(src) + ea_timing_68000(kind, kSizeWord);
}

int32_t op_muls_word(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t kind = kind_of(opcode);
    const uint32_t src = read_ea(cpu, bus, kind, reg_of(opcode), kSizeWord) & 0xFFFFu;
    if (cpu.aborted) return kAbortCycles;
    uint32_t& d = cpu.data_regs[reg_hi(opcode)];
    const int32_t product = static_cast<int32_t>(static_cast<int16_t>(src)) * static_cast<int16_t>(d & 0xFFFFu);
    const uint32_t res = static_cast<uint32_t>(product);
    set_logic_flags(cpu, res, kSizeLong);
    if (!is_m68000(cpu)) {
        d = res;
        return 42;
    }
    prefetch_refill_timed(cpu, bus);
    d = res;
    return 38 + 2 * std::popcount((src ^ (src << 1)) & 0xFFFFu) + ea_timing_68000(kind, kSizeWord);
}

int32_t op_divu_word(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t kind = kind_of(opcode);
    const uint32_t divisor = read_ea(cpu, bus, kind, reg_of(opcode), kSizeWord) & 0xFFFFu;
    if (cpu.aborted) return kAbortCycles;
    if (divisor == 0) {
        cpu.flag_c = 0;
        return take_exception_format2(cpu, bus, kVectorZeroDivide);
    }
    uint32_t& d = cpu.data_regs[reg_hi(opcode)];
    const uint32_t dividend = d;
    int32_t cycles = 140;
    if (is_m68000(cpu)) {
        cycles = divu_cycles_68000(dividend, divisor);
        prefetch_fill(cpu, bus);
        cycles += ea_timing_68000(kind, kSizeWord);
    }
    const uint32_t quotient = dividend / divisor;
    cpu.flag_c = 0;
    if (quotient > 0xFFFFu) {
        set_overflow_flags(cpu);
        return cycles;
    }
    const uint32_t remainder = dividend % divisor;
    d = (remainder << 16) | quotient;
    set_logic_flags(cpu, quotient, kSizeWord);
    return cycles;
}

int32_t op_divs_word(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t kind = kind_of(opcode);
    const uint32_t raw = read_ea(cpu, bus, kind, reg_of(opcode), kSizeWord) & 0xFFFFu;
    if (cpu.aborted) return kAbortCycles;
    if (raw == 0) {
        cpu.flag_c = 0;
        return take_exception_format2(cpu, bus, kVectorZeroDivide);
    }
    uint32_t& d = cpu.data_regs[reg_hi(opcode)];
    const int16_t divisor = static_cast<int16_t>(raw);
    const int32_t dividend = static_cast<int32_t>(d);
    int32_t cycles = 158;
    if (is_m68000(cpu)) {
        cycles = divs_cycles_68000(dividend, divisor);
        prefetch_fill(cpu, bus);
        cycles += ea_timing_68000(kind, kSizeWord);
    }
    // 64-bit so that INT32_MIN / -1 stays defined.
    const int64_t quotient = static_cast<int64_t>(dividend) / divisor;
    const int64_t remainder = static_cast<int64_t>(dividend) % divisor;
    cpu.flag_c = 0;
    if (quotient < -32768 || quotient > 32767) {
        set_overflow_flags(cpu);
        return cycles;
    }
    const uint32_t q = static_cast<uint32_t>(quotient) & 0xFFFFu;
    d = ((static_cast<uint32_t>(remainder) & 0xFFFFu) << 16) | q;
    set_logic_flags(cpu, q, kSizeWord);
    return cycles;
}

int32_t op_mul_long(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint16_t ext = fetch_word(cpu, bus);
    const uint32_t dl = (ext >> 12) & 7;
    const uint32_t dh = ext & 7;
    const bool is_signed = (ext & 0x0800) != 0;
    const bool wide = (ext & 0x0400) != 0;
    if (wide && cpu.cpu_type == CpuType::M68060) return take_exception(cpu, bus, kVectorUnimplementedInteger);
    const uint32_t src = read_ea(cpu, bus, kind_of(opcode), reg_of(opcode), kSizeLong);
    if (cpu.aborted) return kAbortCycles;
    const uint32_t dst = cpu.data_regs[dl];
    uint64_t product;
    bool overflow;
    if (is_signed) {
        const int64_t p = static_cast<int64_t>(static_cast<int32_t>(src)) * static_cast<int32_t>(dst);
        product = static_cast<uint64_t>(p);
        overflow = p != static_cast<int64_t>(static_cast<int32_t>(static_cast<uint32_t>(product)));
    } else {
        product = static_cast<uint64_t>(src) * dst;
        overflow = (product >> 32) != 0;
    }
    const Product r{static_cast<uint32_t>(product >> 32), static_cast<uint32_t>(product)};
    cpu.flag_c = 0;
    if (!wide) {
        cpu.data_regs[dl] = r.low;
        set_nz(cpu, r.low, kSizeLong);
        cpu.flag_v = bit7(overflow);
        return 40;
    }
    if (is_68040_class(cpu.cpu_type)) {
        cpu.data_regs[dh] = r.high;
        cpu.data_regs[dl] = r.low;
    } else {
        cpu.data_regs[dl] = r.low;
        cpu.data_regs[dh] = r.high;
    }
    cpu.flag_n = bit7((r.high & 0x80000000u) != 0);
    cpu.flag_not_z = r.high | r.low;
    cpu.flag_v = 0;
    return 40;
}

int32_t op_div_long(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint16_t ext = fetch_word(cpu, bus);
    const uint32_t dq = (ext >> 12) & 7;
    const uint32_t dr = ext & 7;
    const bool is_signed = (ext & 0x0800) != 0;
    const bool wide = (ext & 0x0400) != 0;
    if (wide && cpu.cpu_type == CpuType::M68060) return take_exception(cpu, bus, kVectorUnimplementedInteger);
    const uint32_t divisor = read_ea(cpu, bus, kind_of(opcode), reg_of(opcode), kSizeLong);
    if (cpu.aborted) return kAbortCycles;
    if (divisor == 0) {
        cpu.flag_c = 0;  // N, Z and V are undefined and kept
        return take_exception_format2(cpu, bus, kVectorZeroDivide);
    }
    uint32_t quotient;
    uint32_t remainder;
    if (is_signed) {
        // 128-bit so that INT64_MIN / -1 and INT32_MIN / -1 stay defined.
        __extension__ using i128 = __int128;
        const i128 dividend =
            wide ? static_cast<i128>(static_cast<int64_t>((static_cast<uint64_t>(cpu.data_regs[dr]) << 32) | cpu.data_regs[dq]))
                 : static_cast<i128>(static_cast<int32_t>(cpu.data_regs[dq]));
        const i128 d = static_cast<int32_t>(divisor);
        const i128 q = dividend / d;
        if (q < INT32_MIN || q > INT32_MAX) {
            cpu.flag_v = 0x80;
            cpu.flag_c = 0;
            return 40;
        }
        quotient = static_cast<uint32_t>(static_cast<int32_t>(q));
        remainder = static_cast<uint32_t>(static_cast<int32_t>(dividend % d));
    } else {
        const uint64_t dividend =
            wide ? (static_cast<uint64_t>(cpu.data_regs[dr]) << 32) | cpu.data_regs[dq] : cpu.data_regs[dq];
        const uint64_t q = dividend / divisor;
        if (q > 0xFFFFFFFFu) {
            cpu.flag_v = 0x80;
            cpu.flag_c = 0;
            return 40;
        }
        quotient = static_cast<uint32_t>(q);
        remainder = static_cast<uint32_t>(dividend % divisor);
    }
    cpu.data_regs[dr] = remainder;
    cpu.data_regs[dq] = quotient;
    set_logic_flags(cpu, quotient, kSizeLong);
    return 40;
}

}  // namespace m68k
