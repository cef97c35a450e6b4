#include "core/decode.hpp"

#include <array>
#include <memory>
#include <mutex>

#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "core/handler.hpp"
#include "core/instructions/bcd.hpp"
#include "core/instructions/compare_swap.hpp"
#include "core/instructions/data_movement.hpp"
#include "core/instructions/fast_paths.hpp"
#include "core/instructions/integer_arith.hpp"
#include "core/instructions/logical.hpp"
#include "core/instructions/program_control.hpp"
#include "core/instructions/system_control.hpp"

namespace m68k {

int32_t op_invalid(Cpu&, CpuBus&, uint16_t) { return kSentinelIllegal; }
int32_t op_line_a(Cpu&, CpuBus&, uint16_t) { return kSentinelLineA; }
int32_t op_line_f(Cpu&, CpuBus&, uint16_t) { return kSentinelLineF; }
int32_t op_unimplemented_integer(Cpu& cpu, CpuBus& bus, uint16_t) {
    return take_exception(cpu, bus, kVectorUnimplementedInteger);
}

namespace {

// The addressing-mode sets of the 68000 family, on the opcode's mode/register field.
struct Ea {
    uint8_t kind;
    explicit constexpr Ea(uint16_t opcode) : kind(ea_kind_from_mode(opcode >> 3, opcode)) {}
    constexpr bool valid() const { return kind != kNoEaKind; }
    constexpr bool data_alterable() const { return kind == 0 || (kind >= 2 && kind <= 8); }
    constexpr bool memory_alterable() const { return kind >= 2 && kind <= 8; }
    constexpr bool alterable() const { return kind <= 8; }
    constexpr bool data() const { return valid() && kind != 1; }
    constexpr bool control() const {
        return kind == 2 || kind == 5 || kind == 6 || kind == 7 || kind == 8 || kind == 9 || kind == 10;
    }
    constexpr bool control_alterable() const {
        return kind == 2 || kind == 5 || kind == 6 || kind == 7 || kind == 8;
    }
    constexpr bool is(EaKind k) const { return kind == static_cast<uint8_t>(k); }
};

struct TypeTraits {
    CpuType type;
    bool c000;    // 68000 class
    bool c020;    // 68020 class
    bool c040;    // 68040 class
    bool m68060;
    bool m68000;
    bool ec020_to_040;  // M68EC020-M68040 (types 3-9)
};

constexpr TypeTraits traits_of(CpuType t) {
    const uint32_t v = static_cast<uint32_t>(t);
    return TypeTraits{t,
                      is_68000_class(t),
                      is_68020_class(t),
                      is_68040_class(t),
                      t == CpuType::M68060,
                      t == CpuType::M68000,
                      v >= 3 && v <= 9};
}

// Line 0: bit manipulation, MOVEP, immediate forms, CMP2/CHK2, CAS, CAS2, CALLM/RTM, MOVES.
Handler classify_line0(const TypeTraits& t, uint16_t op) {
    const Ea ea(op);
    const uint32_t mode = (op >> 3) & 7;
    const uint32_t size = (op >> 6) & 3;
    if (op & 0x0100) {
        if (mode == 1) return t.m68060 ? op_unimplemented_integer : op_movep;
        switch (size) {
        case 0: return ea.data() ? op_btst : op_invalid;  // #imm included
        case 1: return ea.data_alterable() ? op_bchg : op_invalid;
        case 2: return ea.data_alterable() ? op_bclr : op_invalid;
        default: return ea.data_alterable() ? op_bset : op_invalid;
        }
    }
    // CMP2/CHK2 (size 3 of ORI, ANDI, SUBI).
    auto cmp2 = [&]() -> Handler {
        if (!ea.control()) return op_invalid;
        if (t.c000) return op_invalid;
        if (t.m68060) return op_unimplemented_integer;
        return op_cmp2_chk2;
    };
    auto cas = [&]() -> Handler { return t.c020 ? op_cas : op_invalid; };
    auto cas2 = [&]() -> Handler {
        if (t.c000) return op_invalid;
        if (t.m68060) return op_unimplemented_integer;
        return op_cas2;
    };
    switch ((op >> 9) & 7) {
    case 0:
        if (op == 0x003C) return op_ori_ccr;
        if (op == 0x007C) return op_ori_sr;
        if (size == 3) return cmp2();
        return ea.data_alterable() ? op_ori_ea : op_invalid;
    case 1:
        if (op == 0x023C) return op_andi_ccr;
        if (op == 0x027C) return op_andi_sr;
        if (size == 3) return cmp2();
        return ea.data_alterable() ? op_andi_ea : op_invalid;
    case 2:
        if (size == 3) return cmp2();
        return ea.data_alterable() ? op_subi : op_invalid;
    case 3:
        if (size == 3) {
            if (!t.ec020_to_040) return op_invalid;
            if (mode <= 1) return op_rtm;
            return ea.control() ? op_callm : op_invalid;
        }
        return ea.data_alterable() ? op_addi : op_invalid;
    case 4:
        switch (size) {
        case 0: return ea.data() && !ea.is(EaKind::Immediate) ? op_btst : op_invalid;
        case 1: return ea.data_alterable() ? op_bchg : op_invalid;
        case 2: return ea.data_alterable() ? op_bclr : op_invalid;
        default: return ea.data_alterable() ? op_bset : op_invalid;
        }
    case 5:
        if (op == 0x0A3C) return op_eori_ccr;
        if (op == 0x0A7C) return op_eori_sr;
        if (size == 3) return cas();
        return ea.data_alterable() ? op_eori_ea : op_invalid;
    case 6:
        if (size == 3) return op == 0x0CFC ? cas2() : cas();
        if (ea.data_alterable()) return op_cmpi;
        if (t.c020 && (ea.is(EaKind::PcDisp16) || ea.is(EaKind::PcIndexed))) return op_cmpi;
        return op_invalid;
    default:
        if (size == 3) return op == 0x0EFC ? cas2() : cas();
        if (t.m68000) return op_invalid;
        return ea.memory_alterable() ? op_moves : op_invalid;
    }
}

// Line 4: miscellaneous.
Handler classify_line4(const TypeTraits& t, uint16_t op) {
    const Ea ea(op);
    const uint32_t mode = (op >> 3) & 7;
    const uint32_t size = (op >> 6) & 3;
    if (op & 0x0100) {
        if ((op & 0xFFF8) == 0x49C0) return t.c020 ? extb_long : op_invalid;
        switch ((op >> 6) & 7) {
        case 7: return ea.control() ? op_lea : op_invalid;
        case 6: return ea.data() ? op_chk : op_invalid;
        case 4: return t.c020 && ea.data() ? op_chk : op_invalid;
        default: return op_invalid;
        }
    }
    switch ((op >> 9) & 7) {
    case 0:
        if (size == 3) return ea.data_alterable() ? op_move_from_sr : op_invalid;
        return ea.data_alterable() ? op_negx : op_invalid;
    case 1:
        if (size == 3) return !t.m68000 && ea.data_alterable() ? op_move_from_ccr : op_invalid;
        return ea.data_alterable() ? op_clr : op_invalid;
    case 2:
        if (size == 3) return ea.data() ? op_move_to_ccr : op_invalid;
        return ea.data_alterable() ? op_neg : op_invalid;
    case 3:
        if (size == 3) return ea.data() ? op_move_to_sr : op_invalid;
        return ea.data_alterable() ? op_not : op_invalid;
    case 4:
        switch (size) {
        case 0:
            if (mode == 1) return t.c020 ? op_link_long : op_invalid;
            return ea.data_alterable() ? op_nbcd : op_invalid;
        case 1:
            if (mode == 0) return op_swap;
            if (mode == 1) return op_bkpt;
            return ea.control() ? op_pea : op_invalid;
        default:
            if (mode == 0) return ext_reg;
            return ea.control_alterable() || ea.is(EaKind::PreDec) ? op_movem_to_memory : op_invalid;
        }
    case 5:
        if (op == 0x4AFC) return op_illegal;
        if (op == 0x4AC8) return t.m68060 ? op_halt : op_invalid;
        if (op == 0x4ACC) return t.m68060 ? op_pulse : op_invalid;
        if (size == 3) return ea.data_alterable() ? op_tas : op_invalid;
        if (ea.data_alterable()) return op_tst;
        if (t.c020) {
            if (ea.is(EaKind::AddrReg)) return size != 0 ? op_tst : op_invalid;
            if (ea.is(EaKind::PcDisp16) || ea.is(EaKind::PcIndexed) || ea.is(EaKind::Immediate)) return op_tst;
        }
        return op_invalid;
    case 6:
        switch (size) {
        case 0: return t.c020 && ea.data() ? op_mul_long : op_invalid;
        case 1: return t.c020 && ea.data() ? op_div_long : op_invalid;
        default:
            return ea.control() || ea.is(EaKind::PostInc) ? op_movem_to_registers : op_invalid;
        }
    default:
        break;
    }
    // 4Exx.
    if (size == 2) return ea.control() ? op_jsr : op_invalid;
    if (size == 3) return ea.control() ? op_jmp : op_invalid;
    if (size == 0) return op_invalid;  // 4E00-4E3F
    switch (op & 0x3F) {
    case 0x30: return op_reset;
    case 0x31: return op_nop;
    case 0x32: return op_stop;
    case 0x33: return op_rte;
    case 0x34: return t.m68000 ? op_invalid : op_rtd;
    case 0x35: return op_rts;
    case 0x36: return op_trapv;
    case 0x37: return op_rtr;
    case 0x3A:
    case 0x3B: return t.m68000 ? op_invalid : op_movec;
    case 0x38: case 0x39: case 0x3C: case 0x3D: case 0x3E: case 0x3F: return op_invalid;
    default: break;
    }
    switch ((op >> 3) & 7) {
    case 0: case 1: return op_trap;
    case 2: return op_link_word;
    case 3: return op_unlk;
    default: return op_move_usp;  // 4E60-4E6F
    }
}

// Line 5: ADDQ, SUBQ, Scc, DBcc, TRAPcc.
Handler classify_line5(const TypeTraits& t, uint16_t op) {
    const Ea ea(op);
    const uint32_t size = (op >> 6) & 3;
    if (size == 3) {
        const uint32_t low = op & 0x3F;
        if (((op >> 3) & 7) == 1) return op_dbcc;
        if (low == 0x3A || low == 0x3B || low == 0x3C) return t.c020 ? op_trapcc : op_invalid;
        return ea.data_alterable() ? op_scc : op_invalid;
    }
    if (!ea.alterable() || (size == 0 && ea.is(EaKind::AddrReg))) return op_invalid;
    return (op & 0x0100) ? op_subq : op_addq;
}

// Lines 8, 9, B, C, D share the opmode layout.
Handler classify_line8(const TypeTraits& t, uint16_t op) {
    const Ea ea(op);
    const uint32_t opmode = (op >> 6) & 7;
    const uint32_t mode = (op >> 3) & 7;
    if (opmode == 3) return ea.data() ? op_divu_word : op_invalid;
    if (opmode == 7) return ea.data() ? op_divs_word : op_invalid;
    if (opmode == 4 && mode <= 1) return mode == 0 ? op_sbcd_register : op_sbcd_memory;
    if (opmode == 5 && mode <= 1) {
        if (!t.c020) return op_invalid;
        return mode == 0 ? op_pack_register : op_pack_memory;
    }
    if (opmode == 6 && mode <= 1) {
        if (!t.c020) return op_invalid;
        return mode == 0 ? op_unpk_register : op_unpk_memory;
    }
    if (opmode < 3) return ea.data() ? op_or_to_register : op_invalid;
    return ea.memory_alterable() ? op_or_to_ea : op_invalid;
}

Handler classify_add_sub(uint16_t op, bool add) {
    const Ea ea(op);
    const uint32_t opmode = (op >> 6) & 7;
    const uint32_t mode = (op >> 3) & 7;
    if (opmode == 3 || opmode == 7) {
        if (!ea.valid()) return op_invalid;
        return add ? op_adda : op_suba;
    }
    if (opmode < 3) {
        if (!ea.valid() || (opmode == 0 && ea.is(EaKind::AddrReg))) return op_invalid;
        return add ? op_add_to_register : op_sub_to_register;
    }
    if (mode == 0) return add ? op_addx_register : op_subx_register;
    if (mode == 1) return add ? op_addx_memory : op_subx_memory;
    if (!ea.memory_alterable()) return op_invalid;
    return add ? op_add_to_ea : op_sub_to_ea;
}

Handler classify_lineB(uint16_t op) {
    const Ea ea(op);
    const uint32_t opmode = (op >> 6) & 7;
    if (opmode == 3 || opmode == 7) return ea.valid() ? op_cmpa : op_invalid;
    if (opmode < 3) {
        if (!ea.valid() || (opmode == 0 && ea.is(EaKind::AddrReg))) return op_invalid;
        return op_cmp;
    }
    if (((op >> 3) & 7) == 1) return op_cmpm;
    return ea.data_alterable() ? op_eor : op_invalid;
}

Handler classify_lineC(uint16_t op) {
    const Ea ea(op);
    const uint32_t opmode = (op >> 6) & 7;
    const uint32_t mode = (op >> 3) & 7;
    if (opmode == 3) return ea.data() ? op_mulu_word : op_invalid;
    if (opmode == 7) return ea.data() ? op_muls_word : op_invalid;
    if (opmode == 4 && mode <= 1) return mode == 0 ? op_abcd_register : op_abcd_memory;
    if (opmode == 5 && mode <= 1) return op_exg;  // Dx,Dy and Ax,Ay
    if (opmode == 6 && mode == 1) return op_exg;  // Dx,Ay
    if (opmode < 3) return ea.data() ? op_and_to_register : op_invalid;
    return ea.memory_alterable() ? op_and_to_ea : op_invalid;
}

Handler classify_lineE(const TypeTraits& t, uint16_t op) {
    const Ea ea(op);
    if (((op >> 6) & 3) != 3) return op_shift_register;
    if (!(op & 0x0800)) return ea.memory_alterable() ? op_shift_memory : op_invalid;
    if (!t.c020) return op_invalid;
    switch ((op >> 8) & 7) {
    case 0: case 1: case 3: case 5:  // BFTST, BFEXTU, BFEXTS, BFFFO
        return ea.is(EaKind::DataReg) || ea.control() ? op_bitfield : op_invalid;
    default:  // BFCHG, BFCLR, BFSET, BFINS
        return ea.is(EaKind::DataReg) || ea.control_alterable() ? op_bitfield : op_invalid;
    }
}

}  // namespace

Handler classify(CpuType type, uint16_t op) {
    const TypeTraits t = traits_of(type);
    switch (op >> 12) {
    case 0x0: return classify_line0(t, op);
    case 0x1: case 0x2: case 0x3: return op_move;
    case 0x4: return classify_line4(t, op);
    case 0x5: return classify_line5(t, op);
    case 0x6: return ((op >> 8) & 0xF) == 0 ? op_bra : ((op >> 8) & 0xF) == 1 ? op_bsr : op_bcc;
    case 0x7: return (op & 0x0100) ? op_invalid : op_moveq;
    case 0x8: return classify_line8(t, op);
    case 0x9: return classify_add_sub(op, false);
    case 0xA: return op_line_a;
    case 0xB: return classify_lineB(op);
    case 0xC: return classify_lineC(op);
    case 0xD: return classify_add_sub(op, true);
    case 0xE: return classify_lineE(t, op);
    default: return t.c020 ? op_fline_68020 : op_line_f;
    }
}

const Handler* decode_table_for(CpuType type) {
    uint32_t index = static_cast<uint32_t>(type);
    if (index >= kCpuTypeCount) index = static_cast<uint32_t>(CpuType::Scc68070);
    using Table = std::array<Handler, 65536>;
    static std::array<std::unique_ptr<Table>, kCpuTypeCount> tables;
    static std::array<std::once_flag, kCpuTypeCount> built;
    std::call_once(built[index], [&] {
        auto table = std::make_unique<Table>();
        for (uint32_t op = 0; op < 65536; ++op) {
            const auto type = static_cast<CpuType>(index);
            const auto opcode = static_cast<uint16_t>(op);
            (*table)[op] = specialised_handler(type, opcode, classify(type, opcode));
        }
        tables[index] = std::move(table);
    });
    return tables[index]->data();
}

StepResult decode_sentinel(int32_t r, uint16_t opcode) {
    if (r == kSentinelLineA) return StepResult::make(StepStatus::LineA, 0, opcode, 0);
    if (r == kSentinelLineF) return StepResult::make(StepStatus::LineF, 0, opcode, 0);
    if (r == kSentinelIllegal) return StepResult::make(StepStatus::Illegal, 0, opcode, 0);
    if (r >= kSentinelTrapBase && r < kSentinelTrapBase + 16) {
        return StepResult::make(StepStatus::Trap, static_cast<uint8_t>(r - kSentinelTrapBase), 0, 0);
    }
    if (r >= kSentinelBkptBase && r < kSentinelBkptBase + 8) {
        return StepResult::make(StepStatus::Breakpoint, static_cast<uint8_t>(r - kSentinelBkptBase), 0, 0);
    }
    // No other negative result occurs; pass it through as a count, as the step converts it.
    return StepResult::ok(static_cast<uint32_t>(r));
}

}  // namespace m68k
