#include "core/timing_060.hpp"

#include <algorithm>
#include <array>

namespace m68k {
namespace {

enum class Use : uint8_t { Read, Modify, Write };

bool is_memory_ea(uint32_t mode, uint32_t reg) {
    if (mode >= 2 && mode <= 6) return true;
    return mode == 7 && reg <= 3;
}
bool is_indexed_ea(uint32_t mode, uint32_t reg) { return mode == 6 || (mode == 7 && reg == 3); }

// Memory flags of an operand plus its indexed extra; none for registers and immediates.
uint16_t operand_flags(uint32_t mode, uint32_t reg, Use use) {
    mode &= 7;
    reg &= 7;
    if (!is_memory_ea(mode, reg)) return 0;
    uint16_t f = use == Use::Read ? kClassMemoryRead
               : use == Use::Write ? kClassMemoryWrite
                                   : static_cast<uint16_t>(kClassMemoryRead | kClassMemoryWrite);
    if (is_indexed_ea(mode, reg)) f |= kClassExtraCycle;
    return f;
}

uint16_t ea_flags(uint16_t op, Use use) { return operand_flags(op >> 3, op, use); }

// Lines 8, 9, 11, 12, 13: <ea>,Dn and <ea>,An read the source; Dn,<ea> modifies it.
uint16_t alu_form(uint16_t op, bool compare_only) {
    const uint32_t opmode = (op >> 6) & 7;
    const bool to_memory = opmode >= 4 && opmode <= 6;
    return static_cast<uint16_t>(0x404 | ea_flags(op, to_memory && !compare_only ? Use::Modify : Use::Read));
}

uint16_t class_line0(uint16_t op) {
    if (op >= 0x00C0 && op <= 0x00FF) return 0x2205;
    const uint16_t group = op & 0xFFC0;
    if (group == 0x0AC0 || group == 0x0CC0 || group == 0x0EC0) return 0x2205;
    if (op == 0x003C || op == 0x007C || op == 0x023C || op == 0x027C || op == 0x0A3C || op == 0x0A7C) return 0x205;
    if ((op & 0x0100) || ((op >> 9) & 7) == 4) {
        const bool btst = ((op >> 6) & 3) == 0;
        return static_cast<uint16_t>(0x405 | ea_flags(op, btst ? Use::Read : Use::Modify));
    }
    const bool cmpi = ((op >> 9) & 7) == 6;
    return static_cast<uint16_t>(0x404 | ea_flags(op, cmpi ? Use::Read : Use::Modify));
}

uint16_t class_line4(uint16_t op) {
    const uint32_t size = (op >> 6) & 3;
    const uint32_t mode = (op >> 3) & 7;
    if ((op & 0xF9C0) == 0x40C0) return 0x205;                   // MOVE from SR / CCR
    if ((op & 0xF9C0) == 0x44C0) return 0x205;                   // MOVE to CCR / SR
    if ((op & 0xFB80) == 0x4880 && mode >= 2) return 0xC20A;     // MOVEM
    if ((op & 0xFFC0) == 0x4AC0 && op != 0x4AFC) return 0xC409;  // TAS
    if ((op & 0xFF80) == 0x4C00) return 0x609;                   // MUL.L, DIV.L
    if ((op & 0xF1C0) == 0x41C0) return is_indexed_ea(mode, op & 7) ? 0x1004 : 0x4;  // LEA
    if ((op & 0xF140) == 0x4100) return 0x209;                   // CHK.W, CHK.L
    if ((op & 0xF900) == 0x4000 && size != 3) return static_cast<uint16_t>(0x404 | ea_flags(op, Use::Modify));
    if ((op & 0xFFC0) == 0x4800) return static_cast<uint16_t>(0x404 | ea_flags(op, Use::Modify));  // NBCD
    if ((op & 0xFFF8) == 0x4840) return 0x404;                   // SWAP
    if ((op & 0xFF00) == 0x4A00 && size != 3) return static_cast<uint16_t>(0x404 | ea_flags(op, Use::Read));
    return 0x205;
}

uint16_t class_line5(uint16_t op) {
    const uint32_t mode = (op >> 3) & 7;
    if ((op & 0xC0) == 0xC0) {
        if (mode == 1) return 0x98D;                                       // DBcc
        if (mode == 7 && (op & 7) >= 2) return 0x205;                      // TRAPcc
        if (mode == 0) return 0x804;                                       // Scc Dn
        return static_cast<uint16_t>(0x8804 | ea_flags(op, Use::Write) | kClassMemoryWrite);
    }
    return static_cast<uint16_t>(0x404 | ea_flags(op, Use::Modify));      // ADDQ, SUBQ
}

uint16_t class_line8(uint16_t op) {
    if ((op & 0xF0C0) == 0x80C0) return 0x609;  // DIVU.W, DIVS.W
    const uint16_t f = op & 0xF1F0;
    if (f == 0x8100 || f == 0x8140 || f == 0x8180) return 0x609;  // SBCD, PACK, UNPK
    return alu_form(op, false);
}

uint16_t class_add_sub(uint16_t op) {
    if ((op & 0x0130) == 0x0100 && ((op >> 6) & 3) != 3) return 0xC05;  // ADDX, SUBX
    return alu_form(op, false);
}

uint16_t class_line11(uint16_t op) {
    const uint32_t opmode = (op >> 6) & 7;
    return alu_form(op, opmode < 4 || opmode == 7);  // CMP, CMPA read; EOR modifies
}

uint16_t class_line12(uint16_t op) {
    if ((op & 0xF0C0) == 0xC0C0) return 0x409;  // MULU.W, MULS.W
    if ((op & 0xF1F0) == 0xC100) return 0x609;  // ABCD
    const uint16_t e = op & 0xF1F8;
    if (e == 0xC140 || e == 0xC148 || e == 0xC188) return 0x5;  // EXG
    return alu_form(op, false);
}

uint16_t class_line14(uint16_t op) {
    if ((op & 0xF8C0) == 0xE8C0) return 0x2205;  // bit fields
    if ((op & 0xC0) == 0xC0) return 0xC404;      // memory shifts
    if (((op >> 3) & 3) == 2) return 0xC05;      // ROXL, ROXR in registers
    return 0x404;
}

uint16_t class_move(uint16_t op) {
    const uint32_t dmode = (op >> 6) & 7;
    const uint32_t dreg = (op >> 9) & 7;
    uint16_t dest = 0;
    if (is_memory_ea(dmode, dreg)) dest = is_indexed_ea(dmode, dreg) ? 0x9000 : kClassMemoryWrite;
    return static_cast<uint16_t>(0x404 | ea_flags(op, Use::Read) | dest);
}

uint16_t compute_class(uint16_t op) {
    switch (op >> 12) {
    case 0: return class_line0(op);
    case 1:
    case 2:
    case 3: return class_move(op);
    case 4: return class_line4(op);
    case 5: return class_line5(op);
    case 6: return (op & 0xFF00) == 0x6000 ? 0x9D : 0x89D;
    case 7: return 0x404;
    case 8: return class_line8(op);
    case 9:
    case 13: return class_add_sub(op);
    case 11: return class_line11(op);
    case 12: return class_line12(op);
    case 14: return class_line14(op);
    default: return 0x2205;  // lines 10 and 15
    }
}

const std::array<uint16_t, 65536>& class_table() {
    static const std::array<uint16_t, 65536> table = [] {
        std::array<uint16_t, 65536> t{};
        for (uint32_t op = 0; op < 65536; ++op) t[op] = compute_class(static_cast<uint16_t>(op));
        return t;
    }();
    return table;
}

constexpr uint16_t d_bit(uint32_t n) { return static_cast<uint16_t>(1u << (n & 7)); }
constexpr uint16_t a_bit(uint32_t n) { return static_cast<uint16_t>(0x100u << (n & 7)); }

RegisterMasks ea_masks(uint16_t op) {
    const uint32_t r = op & 7;
    switch ((op >> 3) & 7) {
    case 0: return {d_bit(r), 0};
    case 1:
    case 2:
    case 5: return {a_bit(r), 0};
    case 3:
    case 4: return {a_bit(r), a_bit(r)};
    case 6: return {0xFFFF, 0};
    default: return {0, 0};
    }
}

RegisterMasks with(RegisterMasks m, uint16_t read, uint16_t write) {
    return {static_cast<uint16_t>(m.read | read), static_cast<uint16_t>(m.write | write)};
}

}  // namespace

uint16_t opcode_class_entry(uint16_t opcode) { return class_table()[opcode]; }

RegisterMasks opcode_register_masks(uint16_t op) {
    const uint32_t r = op & 7;
    const uint32_t x = (op >> 9) & 7;
    const uint32_t mode = (op >> 3) & 7;
    const RegisterMasks e = ea_masks(op);
    switch (op >> 12) {
    case 1:
    case 2:
    case 3:
        switch ((op >> 6) & 7) {
        case 0: return with(e, d_bit(x), d_bit(x));
        case 1:
        case 3:
        case 4: return with(e, a_bit(x), a_bit(x));
        case 2:
        case 5: return with(e, a_bit(x), 0);
        case 6: return {0xFFFF, e.write};
        default: return e;
        }
    case 4:
        if (((op >> 6) & 7) == 7) {  // LEA
            const uint16_t read = mode == 0 ? d_bit(r) : mode == 6 ? 0xFFFF : mode == 7 ? 0 : a_bit(r);
            return {read, a_bit(x)};
        }
        if (op >= 0x4700 && (op & 0xFF00) != 0x4A00) return {0xFFFF, 0xFFFF};
        return with(e, 0, mode == 0 ? d_bit(r) : 0);
    case 5:
        switch (mode) {
        case 0: return {d_bit(r), d_bit(r)};
        case 2:
        case 5: return {a_bit(r), 0};
        case 6: return {0xFFFF, 0};
        case 7: return {0, 0};
        default: return {a_bit(r), a_bit(r)};
        }
    case 7: return {0, d_bit(x)};
    case 8:
    case 9:
    case 11:
    case 12:
    case 13: {
        const uint32_t opmode = (op >> 6) & 7;
        if (opmode == 3 || opmode == 7) return with(e, a_bit(x), a_bit(x));
        if (opmode >= 4) return with(e, d_bit(x), 0);
        return with(e, d_bit(x), d_bit(x));
    }
    case 14:
        if ((op & 0xC0) != 0xC0) {
            const uint16_t read = static_cast<uint16_t>(d_bit(r) | ((op & 0x20) ? d_bit(x) : 0));
            return {read, d_bit(r)};
        }
        return {0xFFFF, 0xFFFF};
    default: return {0xFFFF, 0xFFFF};  // lines 0, 6, 10, 15 never pair
    }
}

int32_t timing_060_cycles(Cpu& cpu, int32_t c, bool /*executed*/) {
    const uint16_t cls = opcode_class_entry(cpu.ir);
    bool taken = cpu.flow_changed;
    if (cls & kClassBranch) {
        if (cls & kClassBranchByPc) taken = cpu.pc != cpu.ppc + 4;
        const uint8_t old = cpu.pairing_state;
        cpu.pairing_state = 2;
        if (!(cpu.cacr & (1u << 23))) {
            if (cls & kClassBranchByPc) return taken ? 2 : 3;
            return taken ? 7 : 1;
        }
        const uint32_t i = (cpu.ppc >> 1) & 0xFF;
        uint8_t& st = cpu.branch_cache.state[i];
        const bool hit = (st & 4) && cpu.branch_cache.tags[i] == cpu.ppc;
        int32_t cost;
        if (hit && (st & 2)) {
            cost = taken ? (old == 2 ? 1 : 0) : 7;
        } else {
            cost = taken ? 7 : 1;
        }
        if (hit) {
            const uint8_t counter = st & 3;
            const uint8_t next = taken ? static_cast<uint8_t>(std::min(counter + 1, 3))
                                       : static_cast<uint8_t>(counter == 0 ? 0 : counter - 1);
            st = static_cast<uint8_t>((st & ~3u) | next);
        } else if (taken) {
            cpu.branch_cache.tags[i] = cpu.ppc;
            st = static_cast<uint8_t>(4 | 2 | (cpu.sr_s == 0 ? 8 : 0));
        }
        return cost;
    }

    const int32_t a = c / 4;
    const int32_t base = (cls & (kClassScaled | kClassScaled2)) ? std::max(1, a)
                                                                 : static_cast<int32_t>(class_base_cycles(cls));
    if (cpu.flow_changed) {
        cpu.pairing_state = 2;
        return std::max(5, a);
    }
    const int32_t result = base + ((cls & kClassExtraCycle) ? 1 : 0);
    const RegisterMasks m = opcode_register_masks(cpu.ir);
    const bool memory = (cls & (kClassMemoryRead | kClassMemoryWrite)) != 0;
    const bool pairs = cpu.pairing_state != 2 && (cpu.pairing_state & 1) && (cls & 0x3203) == 0 &&
                       (cpu.pcr & 1) && ((m.read | m.write) & cpu.prev_write_mask & 0xFFFF) == 0 &&
                       !((cls & kClassAfterCarried) && (cpu.prev_write_mask & 0x10000)) &&
                       !(memory && (cpu.prev_write_mask & 0x1000000));
    if (pairs) {
        cpu.pairing_state = 2;
        return result > 0 ? result - 1 : 0;
    }
    if ((cls & 3) == 1) {
        cpu.pairing_state = 2;
    } else {
        cpu.prev_write_mask = m.write | ((cls & kClassCarried) ? 0x10000u : 0u) | (memory ? 0x1000000u : 0u);
        cpu.pairing_state = 1;
    }
    return result;
}

}  // namespace m68k
