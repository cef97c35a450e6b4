#include "core/instructions/fast_paths.hpp"

#include "core/ea.hpp"
#include "core/handler.hpp"
#include "core/instructions/data_movement.hpp"
#include "core/instructions/integer_arith.hpp"
#include "core/instructions/logical.hpp"
#include "core/instructions/program_control.hpp"
#include "core/instructions/shift_ops.hpp"
#include "core/timing.hpp"

#define M68K_FAST [[gnu::always_inline]] inline

namespace m68k {
namespace {

// The count the general routines return once an operand access has faulted.
constexpr int32_t kAbortCycles = 50;

constexpr uint8_t kByte = kSizeByte;
constexpr uint8_t kWord = kSizeWord;
constexpr uint8_t kLong = kSizeLong;

// The indexed modes (6, 10) keep the general routines; by_kind below leaves them out.
constexpr bool memory_alterable(uint8_t k) { return k >= 2 && k <= 8 && k != 6; }
constexpr bool data_alterable(uint8_t k) { return k == 0 || memory_alterable(k); }
constexpr bool control_kind(uint8_t k) { return k == 2 || k == 5 || k == 7 || k == 8 || k == 9; }

template <uint8_t S>
constexpr uint32_t address_step(uint32_t reg) {
    if constexpr (S == kByte) return reg == 7 ? 2u : 1u;
    return S == kWord ? 2u : 4u;
}

// ---- Operands ----------------------------------------------------------------------------------
// These follow compute_ea/read_operand/write_operand/write_ea step for step: once the
// instruction is aborted an EA computes nothing, reads give 0 and writes are dropped.

// The address of a memory mode (2-5, 7-9).
template <uint8_t K, uint8_t S>
M68K_FAST uint32_t address_of(Cpu& cpu, CpuBus& bus, uint32_t reg) {
    if (cpu.aborted) return 0;
    uint32_t& an = cpu.addr_regs[reg];
    if constexpr (K == 2) {
        return an;
    } else if constexpr (K == 3) {
        const uint32_t a = an;
        an += address_step<S>(reg);
        return a;
    } else if constexpr (K == 4) {
        an -= address_step<S>(reg);
        return an;
    } else if constexpr (K == 5) {
        const uint32_t base = an;
        return base + sign_extend_word(fetch_word(cpu, bus));
    } else if constexpr (K == 7) {
        return sign_extend_word(fetch_word(cpu, bus));
    } else if constexpr (K == 8) {
        return fetch_long(cpu, bus);
    } else {
        static_assert(K == 9);
        const uint32_t base = cpu.pc;
        return base + sign_extend_word(fetch_word(cpu, bus));
    }
}

template <uint8_t S>
M68K_FAST uint32_t read_memory(Cpu& cpu, CpuBus& bus, uint32_t address) {
    if constexpr (S == kByte) return read_data_byte(cpu, bus, address);
    else if constexpr (S == kWord) return read_data_word(cpu, bus, address);
    else return read_data_long(cpu, bus, address);
}

// A source operand, zero-extended from its size.
template <uint8_t K, uint8_t S>
M68K_FAST uint32_t read_source(Cpu& cpu, CpuBus& bus, uint32_t reg) {
    constexpr uint32_t mask = size_mask(S);
    if constexpr (K == 0) {
        return cpu.aborted ? 0u : cpu.data_regs[reg] & mask;
    } else if constexpr (K == 1) {
        return cpu.aborted ? 0u : cpu.addr_regs[reg] & mask;
    } else if constexpr (K == 11) {
        if (cpu.aborted) return 0;
        if constexpr (S == kLong) return fetch_long(cpu, bus);
        else return fetch_word(cpu, bus) & mask;
    } else {
        return read_memory<S>(cpu, bus, address_of<K, S>(cpu, bus, reg));
    }
}

M68K_FAST void write_dn_low(Cpu& cpu, uint32_t reg, uint32_t mask, uint32_t value) {
    uint32_t& d = cpu.data_regs[reg];
    d = (d & ~mask) | (value & mask);
}

// A MOVE destination: a long in memory is one bus long on every type.
template <uint8_t K, uint8_t S>
M68K_FAST void write_move(Cpu& cpu, CpuBus& bus, uint32_t reg, uint32_t value) {
    if constexpr (K == 0) {
        if (!cpu.aborted) write_dn_low(cpu, reg, size_mask(S), value);
    } else {
        const uint32_t address = address_of<K, S>(cpu, bus, reg);
        if constexpr (S == kByte) write_data_byte(cpu, bus, address, value);
        else if constexpr (S == kWord) write_data_word(cpu, bus, address, value);
        else write_data_long(cpu, bus, address, value);
    }
}

// The write of a read-modify-write operand: the 68000 class writes a long as two words, the
// low one first.
template <bool C000, uint8_t S>
M68K_FAST void write_back(Cpu& cpu, CpuBus& bus, uint32_t address, uint32_t value) {
    if constexpr (S == kByte) {
        write_data_byte(cpu, bus, address, value);
    } else if constexpr (S == kWord) {
        write_data_word(cpu, bus, address, value);
    } else if constexpr (C000) {
        write_data_word(cpu, bus, address + 2, value & 0xFFFF);
        write_data_word(cpu, bus, address, value >> 16);
    } else {
        write_data_long(cpu, bus, address, value);
    }
}

// ---- Flags (operands already masked to the size) ------------------------------------------------

template <uint8_t S>
M68K_FAST void set_nz(Cpu& cpu, uint32_t v) {
    cpu.flag_n = (v & size_msb(S)) ? 0x80u : 0u;
    cpu.flag_not_z = v;
}

template <uint8_t S>
M68K_FAST void set_logic(Cpu& cpu, uint32_t v) {
    set_nz<S>(cpu, v);
    cpu.flag_v = 0;
    cpu.flag_c = 0;
}

template <uint8_t S>
M68K_FAST void set_add(Cpu& cpu, uint32_t src, uint32_t dst, uint32_t res) {
    set_nz<S>(cpu, res);
    cpu.flag_v = ((src ^ res) & (dst ^ res) & size_msb(S)) ? 0x80u : 0u;
    cpu.flag_c = cpu.flag_x = (uint64_t{src} + dst > size_mask(S)) ? 0x100u : 0u;
}

template <uint8_t S>
M68K_FAST void set_sub(Cpu& cpu, uint32_t src, uint32_t dst, uint32_t res) {
    set_nz<S>(cpu, res);
    cpu.flag_v = ((src ^ dst) & (res ^ dst) & size_msb(S)) ? 0x80u : 0u;
    cpu.flag_c = cpu.flag_x = dst < src ? 0x100u : 0u;
}

template <uint8_t S>
M68K_FAST void set_cmp(Cpu& cpu, uint32_t src, uint32_t dst, uint32_t res) {
    set_nz<S>(cpu, res);
    cpu.flag_v = ((src ^ dst) & (res ^ dst) & size_msb(S)) ? 0x80u : 0u;
    cpu.flag_c = dst < src ? 0x100u : 0u;
}

template <bool Add, uint8_t S>
M68K_FAST uint32_t add_sub(Cpu& cpu, uint32_t src, uint32_t dst) {
    const uint32_t res = (Add ? dst + src : dst - src) & size_mask(S);
    if constexpr (Add) set_add<S>(cpu, src, dst, res);
    else set_sub<S>(cpu, src, dst, res);
    return res;
}

constexpr uint32_t dst_reg(uint16_t op) { return (op >> 9) & 7u; }
constexpr uint32_t src_reg(uint16_t op) { return op & 7u; }

// ---- MOVE, MOVEA, MOVEQ -------------------------------------------------------------------------

template <uint8_t S, uint8_t SK, uint8_t DK>
int32_t fast_move(Cpu& cpu, CpuBus& bus, uint16_t op) {
    const uint32_t value = read_source<SK, S>(cpu, bus, src_reg(op));
    write_move<DK, S>(cpu, bus, dst_reg(op), value);
    set_logic<S>(cpu, value);
    if constexpr (SK <= 1) return 2;
    return S == kLong ? 13 : 9;
}

template <uint8_t S, uint8_t SK>
int32_t fast_movea(Cpu& cpu, CpuBus& bus, uint16_t op) {
    const uint32_t value = read_source<SK, S>(cpu, bus, src_reg(op));
    if (!cpu.aborted) cpu.addr_regs[dst_reg(op)] = S == kWord ? sign_extend_word(value) : value;
    return 4;
}

int32_t fast_moveq(Cpu& cpu, CpuBus&, uint16_t op) {
    const uint32_t value = sign_extend_byte(op);
    cpu.data_regs[dst_reg(op)] = value;
    set_logic<kLong>(cpu, value);
    return 4;
}

// ---- ADD, SUB, CMP, ADDA, SUBA, CMPA, ADDQ, SUBQ ------------------------------------------------

template <bool Add, uint8_t S, uint8_t K>
int32_t fast_add_sub_to_register(Cpu& cpu, CpuBus& bus, uint16_t op) {
    const uint32_t src = read_source<K, S>(cpu, bus, src_reg(op));
    if (cpu.aborted) return 4;
    const uint32_t dn = dst_reg(op);
    const uint32_t res = add_sub<Add, S>(cpu, src, cpu.data_regs[dn] & size_mask(S));
    write_dn_low(cpu, dn, size_mask(S), res);
    return 4;
}

template <bool C000, bool Add, uint8_t S, uint8_t K>
int32_t fast_add_sub_to_memory(Cpu& cpu, CpuBus& bus, uint16_t op) {
    const uint32_t src = cpu.data_regs[dst_reg(op)] & size_mask(S);
    const uint32_t address = address_of<K, S>(cpu, bus, src_reg(op));
    const uint32_t dst = read_memory<S>(cpu, bus, address);
    if (cpu.aborted) return 8;
    const uint32_t res = (Add ? dst + src : dst - src) & size_mask(S);
    write_back<C000, S>(cpu, bus, address, res);
    if (cpu.aborted) return 8;
    if constexpr (Add) set_add<S>(cpu, src, dst, res);
    else set_sub<S>(cpu, src, dst, res);
    return 8;
}

template <bool Add, uint8_t S, uint8_t K>
int32_t fast_add_sub_address(Cpu& cpu, CpuBus& bus, uint16_t op) {
    uint32_t src = read_source<K, S>(cpu, bus, src_reg(op));
    if constexpr (S == kWord) src = sign_extend_word(src);
    if (cpu.aborted) return 8;
    uint32_t& an = cpu.addr_regs[dst_reg(op)];
    an = Add ? an + src : an - src;
    return 8;
}

template <uint8_t S, uint8_t K>
int32_t fast_cmp(Cpu& cpu, CpuBus& bus, uint16_t op) {
    const uint32_t src = read_source<K, S>(cpu, bus, src_reg(op));
    if (cpu.aborted) return kAbortCycles;
    const uint32_t dst = cpu.data_regs[dst_reg(op)] & size_mask(S);
    set_cmp<S>(cpu, src, dst, (dst - src) & size_mask(S));
    return 4;
}

template <uint8_t S, uint8_t K>
int32_t fast_cmpa(Cpu& cpu, CpuBus& bus, uint16_t op) {
    uint32_t src = read_source<K, S>(cpu, bus, src_reg(op));
    if (cpu.aborted) return kAbortCycles;
    if constexpr (S == kWord) src = sign_extend_word(src);
    const uint32_t an = cpu.addr_regs[dst_reg(op)];
    set_cmp<kLong>(cpu, src, an, an - src);
    return 6;
}

template <bool C000, bool Add, uint8_t S, uint8_t K>
int32_t fast_add_sub_quick(Cpu& cpu, CpuBus& bus, uint16_t op) {
    const uint32_t field = (op >> 9) & 7;
    const uint32_t q = field == 0 ? 8 : field;
    if constexpr (K == 1) {
        uint32_t& an = cpu.addr_regs[src_reg(op)];
        an = Add ? an + q : an - q;
        return 4;
    } else if constexpr (K == 0) {
        const uint32_t dn = src_reg(op);
        const uint32_t res = add_sub<Add, S>(cpu, q, cpu.data_regs[dn] & size_mask(S));
        write_dn_low(cpu, dn, size_mask(S), res);
        return 4;
    } else {
        const uint32_t address = address_of<K, S>(cpu, bus, src_reg(op));
        const uint32_t dst = read_memory<S>(cpu, bus, address);
        if (cpu.aborted) return kAbortCycles;
        const uint32_t res = (Add ? dst + q : dst - q) & size_mask(S);
        write_back<C000, S>(cpu, bus, address, res);
        if (cpu.aborted) return kAbortCycles;
        if constexpr (Add) set_add<S>(cpu, q, dst, res);
        else set_sub<S>(cpu, q, dst, res);
        return 4;
    }
}

// ---- AND, OR, EOR, NOT, TST, CLR, NEG -----------------------------------------------------------

enum class Logic : uint8_t { Or, And, Eor };

template <Logic L>
constexpr uint32_t logic(uint32_t a, uint32_t b) {
    return L == Logic::Or ? (a | b) : L == Logic::And ? (a & b) : (a ^ b);
}

template <Logic L, uint8_t S, uint8_t K>
int32_t fast_logic_to_register(Cpu& cpu, CpuBus& bus, uint16_t op) {
    const uint32_t src = read_source<K, S>(cpu, bus, src_reg(op));
    if (cpu.aborted) return kAbortCycles;
    const uint32_t dn = dst_reg(op);
    const uint32_t res = logic<L>(cpu.data_regs[dn], src) & size_mask(S);
    set_logic<S>(cpu, res);
    write_dn_low(cpu, dn, size_mask(S), res);
    return 4;
}

template <bool C000, Logic L, uint8_t S, uint8_t K>
int32_t fast_logic_to_ea(Cpu& cpu, CpuBus& bus, uint16_t op) {
    const uint32_t src = cpu.data_regs[dst_reg(op)];
    if constexpr (K == 0) {
        if (cpu.aborted) return kAbortCycles;
        const uint32_t reg = src_reg(op);
        const uint32_t res = logic<L>(cpu.data_regs[reg] & size_mask(S), src) & size_mask(S);
        set_logic<S>(cpu, res);
        write_dn_low(cpu, reg, size_mask(S), res);
    } else {
        const uint32_t address = address_of<K, S>(cpu, bus, src_reg(op));
        const uint32_t value = read_memory<S>(cpu, bus, address);
        if (cpu.aborted) return kAbortCycles;
        const uint32_t res = logic<L>(value, src) & size_mask(S);
        set_logic<S>(cpu, res);
        write_back<C000, S>(cpu, bus, address, res);
        if (cpu.aborted) return kAbortCycles;
    }
    return 8;
}

template <bool C000, uint8_t S, uint8_t K>
int32_t fast_not(Cpu& cpu, CpuBus& bus, uint16_t op) {
    constexpr bool lng = S == kLong;
    if constexpr (K == 0) {
        if (cpu.aborted) return kAbortCycles;
        const uint32_t reg = src_reg(op);
        const uint32_t res = ~cpu.data_regs[reg] & size_mask(S);
        set_logic<S>(cpu, res);
        write_dn_low(cpu, reg, size_mask(S), res);
        if constexpr (!C000) return 4;
        return lng ? 6 : 4;
    } else {
        const uint32_t address = address_of<K, S>(cpu, bus, src_reg(op));
        const uint32_t value = read_memory<S>(cpu, bus, address);
        if (cpu.aborted) return kAbortCycles;
        const uint32_t res = ~value & size_mask(S);
        set_logic<S>(cpu, res);
        write_back<C000, S>(cpu, bus, address, res);
        if (cpu.aborted) return kAbortCycles;
        if constexpr (!C000) return 4;
        return (lng ? 12 : 8) + ea_timing_68000(K, S);
    }
}

template <bool C000, uint8_t S, uint8_t K>
int32_t fast_tst(Cpu& cpu, CpuBus& bus, uint16_t op) {
    const uint32_t value = read_source<K, S>(cpu, bus, src_reg(op));
    if (cpu.aborted) return kAbortCycles;
    set_logic<S>(cpu, value);
    return C000 ? 4 + ea_timing_68000(K, S) : 4;
}

// CLR (Neg false) and NEG (Neg true); in memory the flags are kept when the write faults.
template <bool C000, bool Neg, uint8_t S, uint8_t K>
int32_t fast_clr_neg(Cpu& cpu, CpuBus& bus, uint16_t op) {
    constexpr uint32_t mask = size_mask(S);
    auto compute = [&cpu](uint32_t value) -> uint32_t {
        if constexpr (!Neg) {
            cpu.flag_n = 0;
            cpu.flag_v = 0;
            cpu.flag_c = 0;
            cpu.flag_not_z = 0;
            return 0;
        } else {
            const uint32_t res = (0u - value) & mask;
            set_nz<S>(cpu, res);
            cpu.flag_v = value == size_msb(S) ? 0x80u : 0u;
            cpu.flag_c = cpu.flag_x = value != 0 ? 0x100u : 0u;
            return res;
        }
    };
    if constexpr (K == 0) {
        if (cpu.aborted) return kAbortCycles;
        const uint32_t reg = src_reg(op);
        write_dn_low(cpu, reg, mask, compute(cpu.data_regs[reg] & mask));
        if constexpr (!C000) return 4;
        return S == kLong ? 6 : 4;
    } else {
        const uint32_t address = address_of<K, S>(cpu, bus, src_reg(op));
        uint32_t value = 0;
        if constexpr (Neg) value = read_memory<S>(cpu, bus, address);
        if (cpu.aborted) return kAbortCycles;
        const uint32_t sx = cpu.flag_x, sn = cpu.flag_n, sz = cpu.flag_not_z, sv = cpu.flag_v, sc = cpu.flag_c;
        const uint32_t res = compute(value);
        write_back<C000, S>(cpu, bus, address, res);
        if (cpu.aborted) {
            cpu.flag_x = sx; cpu.flag_n = sn; cpu.flag_not_z = sz; cpu.flag_v = sv; cpu.flag_c = sc;
            return kAbortCycles;
        }
        if constexpr (!C000) return 4;
        return (S == kLong ? 12 : 8) + ea_timing_68000(K, S);
    }
}

// ---- Shifts and rotates on a data register, single-bit test, EXT, SWAP --------------------------

template <shifts::ShiftKind Kind, bool Left, uint8_t S, bool CountInRegister>
int32_t fast_shift_register(Cpu& cpu, CpuBus&, uint16_t op) {
    const uint32_t field = (op >> 9) & 7;
    uint32_t count;
    if constexpr (CountInRegister) count = cpu.data_regs[field] & 63;
    else count = field == 0 ? 8 : field;
    uint32_t& d = cpu.data_regs[src_reg(op)];
    constexpr uint32_t mask = size_mask(S);
    const uint32_t value = d & mask;
    shifts::ShiftResult r;
    if constexpr (Kind == shifts::ShiftKind::Arithmetic) {
        r = Left ? shifts::shift_left(cpu, S, count, value, true) : shifts::shift_asr(cpu, S, count, value);
    } else if constexpr (Kind == shifts::ShiftKind::Logical) {
        r = Left ? shifts::shift_left(cpu, S, count, value, false) : shifts::shift_lsr(cpu, S, count, value);
    } else if constexpr (Kind == shifts::ShiftKind::RotateExtend) {
        r = shifts::rotate_extend(cpu, S, count, value, Left);
    } else {
        r = shifts::shift_rotate(cpu, S, count, value, Left);
    }
    d = (d & ~mask) | (r.value & mask);
    return r.cycles;
}

template <bool Static, uint8_t K>
int32_t fast_btst(Cpu& cpu, CpuBus& bus, uint16_t op) {
    uint32_t bit = Static ? fetch_word(cpu, bus) : cpu.data_regs[dst_reg(op)];
    if constexpr (K == 0) {
        bit &= 31;
        cpu.flag_not_z = cpu.data_regs[src_reg(op)] & (1u << bit);
        return 6;
    } else {
        bit &= 7;
        const uint32_t value = read_source<K, kByte>(cpu, bus, src_reg(op));
        cpu.flag_not_z = value & (1u << bit);
        return 4;
    }
}

int32_t fast_ext_word(Cpu& cpu, CpuBus&, uint16_t op) {
    uint32_t& d = cpu.data_regs[src_reg(op)];
    const uint32_t v = sign_extend_byte(d) & 0xFFFFu;
    d = (d & 0xFFFF0000u) | v;
    set_logic<kWord>(cpu, v);
    return 4;
}

int32_t fast_ext_long(Cpu& cpu, CpuBus&, uint16_t op) {
    uint32_t& d = cpu.data_regs[src_reg(op)];
    d = sign_extend_word(d);
    set_logic<kLong>(cpu, d);
    return 4;
}

int32_t fast_swap(Cpu& cpu, CpuBus&, uint16_t op) {
    uint32_t& d = cpu.data_regs[src_reg(op)];
    d = (d >> 16) | (d << 16);
    set_logic<kLong>(cpu, d);
    return 4;
}

// ---- Branches, DBcc, Scc, JSR, RTS, LEA --------------------------------------------------------

enum class Disp : uint8_t { Byte, Word, Long };

template <Disp D>
M68K_FAST uint32_t displacement(Cpu& cpu, CpuBus& bus, uint16_t op) {
    if constexpr (D == Disp::Word) return sign_extend_word(fetch_word(cpu, bus));
    else if constexpr (D == Disp::Long) return fetch_long(cpu, bus);
    else return sign_extend_byte(op);
}

template <Disp D>
int32_t fast_bra(Cpu& cpu, CpuBus& bus, uint16_t op) {
    const uint32_t base = cpu.ppc + 2;
    const uint32_t d = displacement<D>(cpu, bus, op);
    cpu.flow_changed = true;
    cpu.pc = base + d;
    return 10;
}

template <Disp D>
int32_t fast_bsr(Cpu& cpu, CpuBus& bus, uint16_t op) {
    const uint32_t base = cpu.ppc + 2;
    const uint32_t d = displacement<D>(cpu, bus, op);
    cpu.flow_changed = true;
    const uint32_t ret = cpu.pc;
    cpu.pc = base + d;
    cpu.addr_regs[7] -= 4;
    write_data_long(cpu, bus, cpu.addr_regs[7], ret);
    return 18;
}

template <uint32_t Cc, Disp D>
int32_t fast_bcc(Cpu& cpu, CpuBus& bus, uint16_t op) {
    const uint32_t base = cpu.ppc + 2;
    const bool taken = test_condition(cpu, Cc);
    const uint32_t d = displacement<D>(cpu, bus, op);
    if (!taken) return D == Disp::Word ? 12 : 8;
    cpu.flow_changed = true;
    cpu.pc = base + d;
    return 10;
}

template <bool C000, uint32_t Cc>
int32_t fast_dbcc(Cpu& cpu, CpuBus& bus, uint16_t op) {
    if (cpu.loop_mode_active) return op_dbcc(cpu, bus, op);
    const uint32_t reg = src_reg(op);
    const bool cond = test_condition(cpu, Cc);
    const uint32_t old_count = cpu.data_regs[reg] & 0xFFFF;
    const uint32_t disp_address = cpu.pc;
    const uint32_t disp = sign_extend_word(fetch_word(cpu, bus));
    if (cpu.aborted) return kAbortCycles;
    if (cond) return 12;
    if (old_count == 0) {
        cpu.data_regs[reg] |= 0xFFFF;
        // The word after the displacement is read and discarded.
        if ((cpu.pc & 1) == 0) (void)bus.read_word(cpu.pc & cpu.addr_mask);
        return 14;
    }
    const uint32_t target = disp_address + disp;
    cpu.pc = target;
    // An odd target faults at its fetch on the SCC68070 with the counter as it was.
    if constexpr (C000) {
        if (target & 1) return 10;
    }
    cpu.data_regs[reg] -= 1;  // the low word is not 0, so no borrow leaves it
    return C000 ? 10 : 12;
}

template <uint32_t Cc, uint8_t K>
int32_t fast_scc(Cpu& cpu, CpuBus& bus, uint16_t op) {
    const uint32_t v = test_condition(cpu, Cc) ? 0xFFu : 0u;
    if constexpr (K == 0) {
        if (cpu.aborted) return kAbortCycles;
        uint32_t& d = cpu.data_regs[src_reg(op)];
        d = (d & 0xFFFFFF00u) | v;
        return 4;
    } else {
        write_data_byte(cpu, bus, address_of<K, kByte>(cpu, bus, src_reg(op)), v);
        if (cpu.aborted) return kAbortCycles;
        return 8;
    }
}

template <uint8_t K>
int32_t fast_jsr(Cpu& cpu, CpuBus& bus, uint16_t op) {
    const uint32_t target = address_of<K, kLong>(cpu, bus, src_reg(op));
    cpu.flow_changed = true;
    const uint32_t ret = cpu.pc;
    cpu.pc = target;
    // An odd target faults at its fetch, with nothing pushed.
    if (!(cpu.odd_address_rule && (target & 1))) {
        cpu.addr_regs[7] -= 4;
        write_data_long(cpu, bus, cpu.addr_regs[7], ret);
    }
    return 16;
}

template <uint8_t K>
int32_t fast_jmp(Cpu& cpu, CpuBus& bus, uint16_t op) {
    cpu.flow_changed = true;
    cpu.pc = address_of<K, kLong>(cpu, bus, src_reg(op));
    return 8;
}

template <uint8_t K>
int32_t fast_pea(Cpu& cpu, CpuBus& bus, uint16_t op) {
    const uint32_t address = address_of<K, kLong>(cpu, bus, src_reg(op));
    if (!cpu.aborted) {
        cpu.addr_regs[7] -= 4;
        write_data_long(cpu, bus, cpu.addr_regs[7], address);
    }
    return 12;
}

int32_t fast_rts(Cpu& cpu, CpuBus& bus, uint16_t) {
    cpu.flow_changed = true;
    cpu.pc = read_data_long(cpu, bus, cpu.addr_regs[7]);
    cpu.addr_regs[7] += 4;
    return 16;
}

template <bool C000, uint8_t K>
int32_t fast_lea(Cpu& cpu, CpuBus& bus, uint16_t op) {
    const uint32_t address = address_of<K, kLong>(cpu, bus, src_reg(op));
    if (!cpu.aborted) cpu.addr_regs[dst_reg(op)] = address;
    if constexpr (!C000 || K == 2) return 4;
    return K == 8 ? 12 : 8;
}

// ---- Immediate forms: ADDI, SUBI, CMPI, ORI, ANDI, EORI -----------------------------------------

template <uint8_t S>
M68K_FAST uint32_t fetch_immediate_of(Cpu& cpu, CpuBus& bus) {
    if constexpr (S == kLong) return fetch_long(cpu, bus);
    else return fetch_word(cpu, bus) & size_mask(S);
}

template <bool C000, bool Add, uint8_t S, uint8_t K>
int32_t fast_add_sub_immediate(Cpu& cpu, CpuBus& bus, uint16_t op) {
    constexpr int32_t cycles = S == kLong ? (Add ? 12 : 16) : 8;
    const uint32_t src = fetch_immediate_of<S>(cpu, bus);
    if constexpr (K == 0) {
        const uint32_t reg = src_reg(op);
        if (cpu.aborted) return cycles;
        const uint32_t res = add_sub<Add, S>(cpu, src, cpu.data_regs[reg] & size_mask(S));
        write_dn_low(cpu, reg, size_mask(S), res);
    } else {
        const uint32_t address = address_of<K, S>(cpu, bus, src_reg(op));
        const uint32_t dst = read_memory<S>(cpu, bus, address);
        if (cpu.aborted) return cycles;
        const uint32_t res = (Add ? dst + src : dst - src) & size_mask(S);
        write_back<C000, S>(cpu, bus, address, res);
        if (cpu.aborted) return cycles;
        if constexpr (Add) set_add<S>(cpu, src, dst, res);
        else set_sub<S>(cpu, src, dst, res);
    }
    return cycles;
}

template <uint8_t S, uint8_t K>
int32_t fast_cmpi(Cpu& cpu, CpuBus& bus, uint16_t op) {
    const uint32_t src = fetch_immediate_of<S>(cpu, bus);
    const uint32_t dst = read_source<K, S>(cpu, bus, src_reg(op));
    if (cpu.aborted) return kAbortCycles;
    set_cmp<S>(cpu, src, dst, (dst - src) & size_mask(S));
    return 4;
}

// ANDI goes on after a fault (flags from the zero read, the write dropped); ORI and EORI stop.
template <bool C000, Logic L, uint8_t S, uint8_t K>
int32_t fast_logic_immediate(Cpu& cpu, CpuBus& bus, uint16_t op) {
    constexpr bool checks = L != Logic::And;
    constexpr bool lng = S == kLong;
    const uint32_t imm = fetch_immediate_of<S>(cpu, bus);
    if (cpu.aborted) return kAbortCycles;
    if constexpr (K == 0) {
        const uint32_t reg = src_reg(op);
        const uint32_t res = logic<L>(imm, cpu.data_regs[reg] & size_mask(S)) & size_mask(S);
        set_logic<S>(cpu, res);
        write_dn_low(cpu, reg, size_mask(S), res);
        return lng ? 16 : 8;
    } else {
        const uint32_t address = address_of<K, S>(cpu, bus, src_reg(op));
        const uint32_t value = read_memory<S>(cpu, bus, address);
        if (checks && cpu.aborted) return kAbortCycles;
        const uint32_t res = logic<L>(imm, value) & size_mask(S);
        set_logic<S>(cpu, res);
        write_back<C000, S>(cpu, bus, address, res);
        if (checks && cpu.aborted) return kAbortCycles;
        if constexpr (C000 && L != Logic::And) return (lng ? 20 : 12) + ea_timing_68000(K, S);
        return lng ? 16 : 8;
    }
}

// ---- MOVEM --------------------------------------------------------------------------------------

template <uint8_t S>
M68K_FAST void write_sized(Cpu& cpu, CpuBus& bus, uint32_t address, uint32_t value) {
    if constexpr (S == kWord) write_data_word(cpu, bus, address, value);
    else write_data_long(cpu, bus, address, value);
}

template <bool C000, uint8_t S, uint8_t K>
int32_t fast_movem_to_memory(Cpu& cpu, CpuBus& bus, uint16_t op) {
    constexpr uint32_t step = S == kWord ? 2u : 4u;
    const uint32_t reg = src_reg(op);
    const uint32_t mask = fetch_word(cpu, bus);
    int32_t count = 0;
    if constexpr (K == 4) {
        const uint32_t start = cpu.addr_regs[reg];
        uint32_t address = start;
        // Bit 0 is A7 and bit 15 is D0 in this mode.
        for (uint32_t bits = mask; bits != 0; bits &= bits - 1) {
            const uint32_t r = 15u - static_cast<uint32_t>(__builtin_ctz(bits));
            ++count;
            address -= step;
            uint32_t value = r < 8 ? cpu.data_regs[r] : cpu.addr_regs[r - 8];
            if (r - 8 == reg) value = C000 ? start : start - step;
            write_sized<S>(cpu, bus, address, value);
        }
        if (!cpu.aborted) cpu.addr_regs[reg] = address;
    } else {
        uint32_t address = address_of<K, S>(cpu, bus, reg);
        for (uint32_t bits = mask; bits != 0; bits &= bits - 1) {
            const uint32_t r = static_cast<uint32_t>(__builtin_ctz(bits));
            ++count;
            write_sized<S>(cpu, bus, address, r < 8 ? cpu.data_regs[r] : cpu.addr_regs[r - 8]);
            address += step;
        }
    }
    return 8 + count * (S == kWord ? 4 : 8);
}

template <uint8_t S, uint8_t K>
int32_t fast_movem_to_registers(Cpu& cpu, CpuBus& bus, uint16_t op) {
    constexpr uint32_t step = S == kWord ? 2u : 4u;
    const uint32_t reg = src_reg(op);
    const uint32_t mask = fetch_word(cpu, bus);
    uint32_t address;
    if constexpr (K == 3) address = cpu.addr_regs[reg];
    else address = address_of<K, S>(cpu, bus, reg);
    int32_t count = 0;
    for (uint32_t bits = mask; bits != 0; bits &= bits - 1) {
        const uint32_t r = static_cast<uint32_t>(__builtin_ctz(bits));
        ++count;
        uint32_t value;
        if constexpr (S == kWord) value = sign_extend_word(read_data_word(cpu, bus, address));
        else value = read_data_long(cpu, bus, address);
        if (!cpu.aborted) {
            if (r < 8) cpu.data_regs[r] = value;
            else cpu.addr_regs[r - 8] = value;
        }
        address += step;
    }
    if (K == 3 && !cpu.aborted) cpu.addr_regs[reg] = address;
    return 12 + count * (S == kWord ? 4 : 8);
}

// ---- Table selection ----------------------------------------------------------------------------

// Calls f.template operator()<K>() for the run-time kind k.
template <typename F>
Handler by_kind(uint8_t k, F&& f) {
    switch (k) {
    case 0: return f.template operator()<0>();
    case 1: return f.template operator()<1>();
    case 2: return f.template operator()<2>();
    case 3: return f.template operator()<3>();
    case 4: return f.template operator()<4>();
    case 5: return f.template operator()<5>();
    case 7: return f.template operator()<7>();
    case 8: return f.template operator()<8>();
    case 9: return f.template operator()<9>();
    case 11: return f.template operator()<11>();
    default: return nullptr;
    }
}

template <typename F>
Handler by_size(uint32_t size, F&& f) {
    switch (size) {
    case 0: return f.template operator()<kByte>();
    case 1: return f.template operator()<kWord>();
    case 2: return f.template operator()<kLong>();
    default: return nullptr;
    }
}

template <typename F>
Handler by_condition(uint32_t cc, F&& f) {
    switch (cc & 15) {
    case 0: return f.template operator()<0>();
    case 1: return f.template operator()<1>();
    case 2: return f.template operator()<2>();
    case 3: return f.template operator()<3>();
    case 4: return f.template operator()<4>();
    case 5: return f.template operator()<5>();
    case 6: return f.template operator()<6>();
    case 7: return f.template operator()<7>();
    case 8: return f.template operator()<8>();
    case 9: return f.template operator()<9>();
    case 10: return f.template operator()<10>();
    case 11: return f.template operator()<11>();
    case 12: return f.template operator()<12>();
    case 13: return f.template operator()<13>();
    case 14: return f.template operator()<14>();
    default: return f.template operator()<15>();
    }
}

constexpr uint8_t kind_of(uint16_t op) { return ea_kind_from_mode(op >> 3, op); }

template <bool C000>
Handler select(uint16_t op, Handler general) {
    const uint8_t kind = kind_of(op);
    const uint32_t size = (op >> 6) & 3;

    if (general == op_move) {
        const uint8_t msize = ((op >> 12) & 3) == 1 ? kByte : ((op >> 12) & 3) == 3 ? kWord : kLong;
        const uint8_t dkind = ea_kind_from_mode(op >> 6, op >> 9);
        if (msize == kByte && kind == 1) return nullptr;  // the general routine's illegal case
        return by_size(msize, [&]<uint8_t S>() -> Handler {
            return by_kind(kind, [&]<uint8_t SK>() -> Handler {
                if (dkind == 1) {
                    if constexpr (S == kByte) return nullptr;
                    else return &fast_movea<S, SK>;
                }
                return by_kind(dkind, [&]<uint8_t DK>() -> Handler {
                    if constexpr (data_alterable(DK)) return &fast_move<S, SK, DK>;
                    else return nullptr;
                });
            });
        });
    }
    if (general == op_moveq) return &fast_moveq;

    if (general == op_add_to_register || general == op_sub_to_register) {
        const bool add = general == op_add_to_register;
        return by_size(size, [&]<uint8_t S>() {
            return by_kind(kind, [&]<uint8_t K>() -> Handler {
                return add ? &fast_add_sub_to_register<true, S, K> : &fast_add_sub_to_register<false, S, K>;
            });
        });
    }
    if (general == op_add_to_ea || general == op_sub_to_ea) {
        const bool add = general == op_add_to_ea;
        return by_size(size, [&]<uint8_t S>() {
            return by_kind(kind, [&]<uint8_t K>() -> Handler {
                if constexpr (memory_alterable(K)) {
                    return add ? &fast_add_sub_to_memory<C000, true, S, K> : &fast_add_sub_to_memory<C000, false, S, K>;
                } else {
                    return nullptr;
                }
            });
        });
    }
    if (general == op_adda || general == op_suba) {
        const bool add = general == op_adda;
        const uint32_t asize = (op & 0x0100) ? kLong : kWord;
        return by_size(asize, [&]<uint8_t S>() {
            return by_kind(kind, [&]<uint8_t K>() -> Handler {
                return add ? &fast_add_sub_address<true, S, K> : &fast_add_sub_address<false, S, K>;
            });
        });
    }
    if (general == op_cmp) {
        return by_size(size, [&]<uint8_t S>() {
            return by_kind(kind, [&]<uint8_t K>() -> Handler { return &fast_cmp<S, K>; });
        });
    }
    if (general == op_cmpa) {
        const uint32_t asize = (op & 0x0100) ? kLong : kWord;
        return by_size(asize, [&]<uint8_t S>() {
            return by_kind(kind, [&]<uint8_t K>() -> Handler { return &fast_cmpa<S, K>; });
        });
    }
    if (general == op_addq || general == op_subq) {
        const bool add = general == op_addq;
        return by_size(size, [&]<uint8_t S>() {
            return by_kind(kind, [&]<uint8_t K>() -> Handler {
                if constexpr (K <= 8) {
                    return add ? &fast_add_sub_quick<C000, true, S, K> : &fast_add_sub_quick<C000, false, S, K>;
                } else {
                    return nullptr;
                }
            });
        });
    }
    if (general == op_or_to_register || general == op_and_to_register) {
        const bool is_or = general == op_or_to_register;
        return by_size(size, [&]<uint8_t S>() {
            return by_kind(kind, [&]<uint8_t K>() -> Handler {
                return is_or ? &fast_logic_to_register<Logic::Or, S, K> : &fast_logic_to_register<Logic::And, S, K>;
            });
        });
    }
    if (general == op_or_to_ea || general == op_and_to_ea || general == op_eor) {
        const Logic l = general == op_or_to_ea ? Logic::Or : general == op_and_to_ea ? Logic::And : Logic::Eor;
        return by_size(size, [&]<uint8_t S>() {
            return by_kind(kind, [&]<uint8_t K>() -> Handler {
                if constexpr (data_alterable(K)) {
                    if (l == Logic::Or) return &fast_logic_to_ea<C000, Logic::Or, S, K>;
                    if (l == Logic::And) return &fast_logic_to_ea<C000, Logic::And, S, K>;
                    return &fast_logic_to_ea<C000, Logic::Eor, S, K>;
                } else {
                    return nullptr;
                }
            });
        });
    }
    if (general == op_not || general == op_clr || general == op_neg) {
        return by_size(size, [&]<uint8_t S>() {
            return by_kind(kind, [&]<uint8_t K>() -> Handler {
                if constexpr (data_alterable(K)) {
                    if (general == op_not) return &fast_not<C000, S, K>;
                    if (general == op_clr) return &fast_clr_neg<C000, false, S, K>;
                    return &fast_clr_neg<C000, true, S, K>;
                } else {
                    return nullptr;
                }
            });
        });
    }
    if (general == op_tst) {
        return by_size(size, [&]<uint8_t S>() {
            return by_kind(kind, [&]<uint8_t K>() -> Handler { return &fast_tst<C000, S, K>; });
        });
    }
    if (general == op_shift_register) {
        const bool left = (op & 0x0100) != 0;
        const bool in_register = (op & 0x20) != 0;
        const uint32_t shift = (op >> 3) & 3;
        return by_size(size, [&]<uint8_t S>() -> Handler {
            using shifts::ShiftKind;
            auto pick = [&]<ShiftKind Kind>() -> Handler {
                if (left) return in_register ? &fast_shift_register<Kind, true, S, true> : &fast_shift_register<Kind, true, S, false>;
                return in_register ? &fast_shift_register<Kind, false, S, true> : &fast_shift_register<Kind, false, S, false>;
            };
            switch (shift) {
            case 0: return pick.template operator()<ShiftKind::Arithmetic>();
            case 1: return pick.template operator()<ShiftKind::Logical>();
            case 2: return pick.template operator()<ShiftKind::RotateExtend>();
            default: return pick.template operator()<ShiftKind::Rotate>();
            }
        });
    }
    if (general == op_btst) {
        const bool is_static = (op & 0x0100) == 0;
        return by_kind(kind, [&]<uint8_t K>() -> Handler {
            if constexpr (K == 1) {
                return nullptr;
            } else if constexpr (K == 11) {
                return is_static ? nullptr : &fast_btst<false, K>;
            } else {
                return is_static ? &fast_btst<true, K> : &fast_btst<false, K>;
            }
        });
    }
    if (general == ext_reg) return ((op >> 6) & 7) == 2 ? &fast_ext_word : &fast_ext_long;
    if (general == op_swap) return &fast_swap;

    if (general == op_bra || general == op_bsr || general == op_bcc) {
        const uint32_t field = op & 0xFF;
        const Disp d = field == 0 ? Disp::Word : (field == 0xFF && !C000) ? Disp::Long : Disp::Byte;
        auto with_disp = [&]<typename F>(F&& f) -> Handler {
            switch (d) {
            case Disp::Word: return f.template operator()<Disp::Word>();
            case Disp::Long: return f.template operator()<Disp::Long>();
            default: return f.template operator()<Disp::Byte>();
            }
        };
        if (general == op_bra) return with_disp([]<Disp D>() -> Handler { return &fast_bra<D>; });
        if (general == op_bsr) return with_disp([]<Disp D>() -> Handler { return &fast_bsr<D>; });
        return by_condition(op >> 8, [&]<uint32_t Cc>() {
            return with_disp([]<Disp D>() -> Handler { return &fast_bcc<Cc, D>; });
        });
    }
    if (general == op_dbcc) {
        return by_condition(op >> 8, []<uint32_t Cc>() -> Handler { return &fast_dbcc<C000, Cc>; });
    }
    if (general == op_scc) {
        return by_condition(op >> 8, [&]<uint32_t Cc>() {
            return by_kind(kind, [&]<uint8_t K>() -> Handler {
                if constexpr (data_alterable(K)) return &fast_scc<Cc, K>;
                else return nullptr;
            });
        });
    }
    if (general == op_jsr) {
        return by_kind(kind, [&]<uint8_t K>() -> Handler {
            if constexpr (control_kind(K)) return &fast_jsr<K>;
            else return nullptr;
        });
    }
    if (general == op_movem_to_memory || general == op_movem_to_registers) {
        const bool to_memory = general == op_movem_to_memory;
        const uint32_t msize = (op & 0x40) ? kLong : kWord;
        return by_size(msize, [&]<uint8_t S>() {
            return by_kind(kind, [&]<uint8_t K>() -> Handler {
                if constexpr (S == kByte) {
                    return nullptr;
                } else if constexpr (K == 4) {
                    return to_memory ? &fast_movem_to_memory<C000, S, K> : nullptr;
                } else if constexpr (K == 3) {
                    return to_memory ? nullptr : &fast_movem_to_registers<S, K>;
                } else if constexpr (control_kind(K)) {
                    if (to_memory) return K == 9 ? nullptr : &fast_movem_to_memory<C000, S, K>;
                    return &fast_movem_to_registers<S, K>;
                } else {
                    return nullptr;
                }
            });
        });
    }
    if (general == op_addi || general == op_subi) {
        const bool add = general == op_addi;
        return by_size(size, [&]<uint8_t S>() {
            return by_kind(kind, [&]<uint8_t K>() -> Handler {
                if constexpr (data_alterable(K)) {
                    return add ? &fast_add_sub_immediate<C000, true, S, K> : &fast_add_sub_immediate<C000, false, S, K>;
                } else {
                    return nullptr;
                }
            });
        });
    }
    if (general == op_cmpi) {
        return by_size(size, [&]<uint8_t S>() {
            return by_kind(kind, [&]<uint8_t K>() -> Handler {
                if constexpr (data_alterable(K) || K == 9) return &fast_cmpi<S, K>;
                else return nullptr;
            });
        });
    }
    if (general == op_ori_ea || general == op_andi_ea || general == op_eori_ea) {
        const Logic l = general == op_ori_ea ? Logic::Or : general == op_andi_ea ? Logic::And : Logic::Eor;
        return by_size(size, [&]<uint8_t S>() {
            return by_kind(kind, [&]<uint8_t K>() -> Handler {
                if constexpr (data_alterable(K)) {
                    if (l == Logic::Or) return &fast_logic_immediate<C000, Logic::Or, S, K>;
                    if (l == Logic::And) return &fast_logic_immediate<C000, Logic::And, S, K>;
                    return &fast_logic_immediate<C000, Logic::Eor, S, K>;
                } else {
                    return nullptr;
                }
            });
        });
    }
    if (general == op_jmp || general == op_pea) {
        const bool jmp = general == op_jmp;
        return by_kind(kind, [&]<uint8_t K>() -> Handler {
            if constexpr (control_kind(K)) return jmp ? &fast_jmp<K> : &fast_pea<K>;
            else return nullptr;
        });
    }
    if (general == op_rts) return &fast_rts;
    if (general == op_lea) {
        return by_kind(kind, [&]<uint8_t K>() -> Handler {
            if constexpr (control_kind(K)) return &fast_lea<C000, K>;
            else return nullptr;
        });
    }
    return nullptr;
}

}  // namespace

Handler specialised_handler(CpuType type, uint16_t opcode, Handler general) {
    Handler h = nullptr;
    if (type == CpuType::Scc68070) {
        h = select<true>(opcode, general);
    } else if (is_68020_class(type)) {
        h = select<false>(opcode, general);
    }
    return h != nullptr ? h : general;
}

}  // namespace m68k
