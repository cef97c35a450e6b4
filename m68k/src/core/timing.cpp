#include "core/timing.hpp"

#include <algorithm>

#include "core/instructions/program_control.hpp"

namespace m68k {
namespace {

// MOVE on the 68020, cache case: source class (rows) by destination column.
constexpr int32_t kMove020[10][8] = {
    {2, 4, 4, 5, 5, 4, 6, 7},  {4, 6, 6, 7, 7, 6, 8, 7},    {6, 8, 8, 9, 9, 8, 10, 9},
    {6, 7, 7, 7, 7, 7, 9, 9},  {6, 7, 7, 7, 7, 7, 9, 9},    {7, 8, 8, 8, 8, 8, 10, 10},
    {7, 8, 8, 8, 8, 8, 10, 10}, {6, 7, 7, 7, 7, 7, 9, 9},   {6, 7, 7, 7, 7, 7, 9, 9},
    {9, 10, 10, 10, 10, 10, 12, 12},
};

uint32_t move_source_class(uint32_t mode, uint32_t reg, uint8_t size) {
    switch (mode) {
    case 0:
    case 1: return 0;
    case 2: return 3;
    case 3: return 4;
    case 4: return 5;
    case 5: return 6;
    case 6: return 9;
    default:
        switch (reg) {
        case 0: return 7;
        case 1: return 8;
        case 2: return 6;
        case 3: return 9;
        case 4: return size == kSizeLong ? 2 : 1;
        default: return 0;
        }
    }
}

uint32_t move_destination_column(uint32_t mode, uint32_t reg) {
    switch (mode) {
    case 2: return 1;
    case 3: return 2;
    case 4: return 3;
    case 5: return 4;
    case 6: return 7;
    case 7: return reg == 0 ? 5 : reg == 1 ? 6 : 0;
    default: return 0;  // Dn, An
    }
}

int32_t move_020(uint16_t op) {
    const uint32_t line = op >> 12;
    const uint8_t size = line == 1 ? kSizeByte : line == 2 ? kSizeLong : kSizeWord;
    const uint32_t row = move_source_class((op >> 3) & 7, op & 7, size);
    const uint32_t column = move_destination_column((op >> 6) & 7, (op >> 9) & 7);
    return kMove020[row][column];
}

int32_t branch_020(const Cpu& cpu, uint16_t op) {
    const uint32_t condition = (op >> 8) & 0xF;
    if (condition == 0) return 7;
    if (condition == 1) return 8;
    if (cpu.flow_changed) return 7;
    const uint32_t disp = op & 0xFF;
    return disp == 0 || disp == 0xFF ? 6 : 4;
}

bool z_set(const Cpu& cpu) { return cpu.flag_not_z == 0; }

uint32_t ea_mode(uint16_t op) { return (op >> 3) & 7; }

int32_t ea_cost(uint16_t op, uint8_t size) { return timing_020_ea_cost(ea_mode(op), op & 7, size); }

bool memory_mode(uint16_t op) { return ea_mode(op) >= 2; }

// Working out an address without reading the operand (LEA, PEA, MOVEM, stores of SR).
int32_t address_cost(uint16_t op) {
    switch (ea_mode(op)) {
    case 6: return 4;
    case 7: return (op & 7) == 1 || (op & 7) == 3 ? 4 : 2;
    default: return 2;
    }
}

// Working out a jump target (JMP, JSR).
int32_t jump_cost(uint16_t op) {
    switch (ea_mode(op)) {
    case 5: return 4;
    case 6: return 6;
    case 7:
        switch (op & 7) {
        case 2: return 4;
        case 3: return 6;
        default: return 2;
        }
    default: return 2;
    }
}

// The registers a MOVEM moved, recovered from the handler's count (a fixed base plus four
// cycles a word register, eight a long one).
int32_t movem_registers(int32_t c, int32_t base, bool lng) {
    return std::max(0, (c - base) / (lng ? 8 : 4));
}

// BTST, BCHG, BCLR, BSET: BTST only reads; the others write the byte back. The static forms
// also fetch the bit number.
int32_t bit_operation_020(uint16_t op) {
    const bool test = ((op >> 6) & 3) == 0;
    const int32_t immediate = (op & 0x0100) ? 0 : 2;
    if (!memory_mode(op)) return (test ? 4 : 6) + immediate;
    return (test ? 4 : 8) + immediate + ea_cost(op, kSizeByte);
}

// -1: no count here; the caller falls back to the scaling.
int32_t line0_020(const Cpu& cpu, uint16_t op) {
    if (op == 0x0CFC || op == 0x0EFC) return 22 + (z_set(cpu) ? 3 : 0);  // CAS2
    if ((op & 0x0138) == 0x0108) {  // MOVEP: word or long, from or to memory
        static constexpr int32_t kMovep[4] = {12, 18, 11, 14};
        return kMovep[(op >> 6) & 3];
    }
    if ((op & 0x0100) || (op & 0xFF00) == 0x0800) return bit_operation_020(op);
    const uint32_t kind = (op >> 9) & 7;
    const uint32_t s = (op >> 6) & 3;
    if (s == 3) {
        if (!memory_mode(op)) return -1;
        if (kind == 5 || kind == 6 || kind == 7) {  // CAS
            const uint8_t size = kind == 5 ? kSizeByte : kind == 6 ? kSizeWord : kSizeLong;
            return 12 + ea_cost(op, size) + (z_set(cpu) ? 3 : 0);
        }
        if (kind <= 2) return 18 + ea_cost(op, static_cast<uint8_t>(kind));  // CMP2, CHK2
        return -1;  // CALLM, RTM
    }
    const bool alu = kind == 0 || kind == 1 || kind == 2 || kind == 3 || kind == 5 || kind == 6;
    if (!alu) return -1;  // MOVES
    if (ea_mode(op) == 7 && (op & 7) == 4) return 12;  // to CCR / SR
    const uint8_t size = static_cast<uint8_t>(s);
    const int32_t immediate = size == kSizeLong ? 4 : 2;
    if (!memory_mode(op)) return 2 + immediate;
    return (kind == 6 ? 2 : 4) + immediate + ea_cost(op, size);  // CMPI only reads
}

// 0x4E40-0x4E7F: TRAP, LINK.W, UNLK, MOVE USP and the one-word control instructions.
int32_t line4_control_020(uint16_t op) {
    switch ((op >> 3) & 7) {
    case 0:
    case 1: return -1;  // TRAP: taken as an exception
    case 2: return 5;   // LINK.W
    case 3: return 6;   // UNLK
    case 4:
    case 5: return 2;   // MOVE USP
    default: break;
    }
    switch (op & 0xF) {
    case 0x0: return 518;  // RESET
    case 0x1: return 2;    // NOP
    case 0x2: return 8;    // STOP
    case 0x3: return 24;   // RTE, four-word frame
    case 0x4:              // RTD
    case 0x5: return 10;   // RTS
    case 0x6: return 3;    // TRAPV that did not trap
    case 0x7: return 14;   // RTR
    case 0xA: return 6;    // MOVEC to a general register
    case 0xB: return 12;   // MOVEC to a control register
    default: return -1;
    }
}

int32_t line4_020(uint16_t op, int32_t c) {
    const uint32_t s = (op >> 6) & 3;
    const uint32_t mode = ea_mode(op);
    if ((op & 0x01C0) == 0x01C0) return mode == 0 ? 4 : 2 + address_cost(op);  // EXTB.L, LEA
    if ((op & 0x0140) == 0x0100) {                                             // CHK.W, CHK.L
        return 8 + ea_cost(op, (op & 0x0080) ? kSizeWord : kSizeLong);
    }
    switch (op & 0xFFC0) {
    case 0x40C0:
    case 0x42C0: return mode == 0 ? 4 : 8 + address_cost(op);  // MOVE from SR / CCR
    case 0x44C0: return 4 + ea_cost(op, kSizeWord);             // MOVE to CCR
    case 0x46C0: return 8 + ea_cost(op, kSizeWord);             // MOVE to SR
    case 0x4800:
        if (mode == 1) return 6;                                 // LINK.L
        return mode == 0 ? 6 : 6 + ea_cost(op, kSizeByte);       // NBCD
    case 0x4840:
        if (mode == 1) return -1;                                // BKPT
        return mode == 0 ? 4 : 5 + address_cost(op);             // SWAP, PEA
    case 0x4880:
    case 0x48C0:
        if (mode == 0) return 4;                                 // EXT.W, EXT.L
        return 4 + 3 * movem_registers(c, 8, s == 3) + address_cost(op);  // MOVEM to memory
    case 0x4AC0:
        if (op == 0x4AFC) return -1;                             // ILLEGAL
        return mode == 0 ? 4 : 12 + ea_cost(op, kSizeByte);      // TAS
    case 0x4C00: return 43 + ea_cost(op, kSizeLong);             // MULU.L, MULS.L
    case 0x4C40: return 78 + ea_cost(op, kSizeLong);             // DIVU.L, DIVS.L
    case 0x4C80:
    case 0x4CC0: return 8 + 4 * movem_registers(c, 12, s == 3) + address_cost(op);  // MOVEM to registers
    case 0x4E40: return line4_control_020(op);
    case 0x4E80: return 4 + jump_cost(op);                       // JSR
    case 0x4EC0: return 4 + jump_cost(op);                       // JMP
    default: break;
    }
    if ((op & 0xF900) == 0x4000 && s != 3) {  // NEGX, CLR, NEG, NOT
        return memory_mode(op) ? 4 + ea_cost(op, static_cast<uint8_t>(s)) : 2;
    }
    if ((op & 0xFF00) == 0x4A00 && s != 3) return 2 + ea_cost(op, static_cast<uint8_t>(s));  // TST
    return -1;
}

int32_t line5_020(const Cpu& cpu, uint16_t op) {
    const uint32_t s = (op >> 6) & 3;
    const uint32_t mode = ea_mode(op);
    if (s != 3) return memory_mode(op) ? 4 + ea_cost(op, static_cast<uint8_t>(s)) : 2;  // ADDQ, SUBQ
    if (mode == 1) {  // DBcc: the loop went round, the condition held, or the count ran out
        const bool looped = cpu.flow_changed || cpu.pc != cpu.ppc + 4;
        return looped || test_condition(cpu, (op >> 8) & 0xF) ? 6 : 10;
    }
    if (mode == 7 && (op & 7) >= 2) {  // TRAPcc that did not trap, by operand size
        switch (op & 7) {
        case 2: return 5;
        case 3: return 7;
        case 4: return 3;
        default: return -1;
        }
    }
    return mode == 0 ? 4 : 6 + ea_cost(op, kSizeByte);  // Scc
}

// The register-to-register and memory-to-memory forms that share opmodes 4-6 with the
// Dn,<ea> forms: SBCD, PACK, UNPK, SUBX, CMPM, ABCD, EXG, ADDX.
int32_t alu_pair_020(uint16_t op) {
    const uint32_t line = op >> 12;
    const uint32_t opmode = (op >> 6) & 7;
    const bool predecrement = ea_mode(op) == 1;
    switch (line) {
    case 8:
        if (opmode == 4) return predecrement ? 16 : 4;  // SBCD
        if (opmode == 5) return predecrement ? 13 : 6;  // PACK
        return predecrement ? 13 : 8;                   // UNPK
    case 9:
    case 13: return predecrement ? 12 : 2;  // SUBX, ADDX
    case 11: return predecrement ? 8 : 2;   // CMPM; EOR Dn,Dn
    default:
        if (opmode == 4) return predecrement ? 16 : 4;  // ABCD
        return 2;                                        // EXG
    }
}

// OR, SUB, CMP, EOR, AND, ADD and the word multiplies and divides.
int32_t alu_line_020(uint16_t op) {
    const uint32_t line = op >> 12;
    const uint32_t opmode = (op >> 6) & 7;
    if (line == 8 && opmode == 3) return 44 + ea_cost(op, kSizeWord);   // DIVU.W
    if (line == 8 && opmode == 7) return 56 + ea_cost(op, kSizeWord);   // DIVS.W
    if (line == 12 && (opmode == 3 || opmode == 7)) return 27 + ea_cost(op, kSizeWord);  // MULU.W, MULS.W
    if (opmode == 3 || opmode == 7) {
        const uint8_t size = opmode == 3 ? kSizeWord : kSizeLong;
        return (line == 11 ? 4 : 2) + ea_cost(op, size);  // CMPA, SUBA, ADDA
    }
    const uint8_t size = static_cast<uint8_t>(opmode & 3);
    if (opmode < 4) return 2 + ea_cost(op, size);  // <ea>,Dn
    if (!memory_mode(op)) return alu_pair_020(op);
    return 4 + ea_cost(op, size);  // Dn,<ea>
}

// Bit fields by operation (bits 8-10): in a register, in memory within four bytes, in memory
// across five bytes.
constexpr int32_t kBitField020[8][3] = {
    {6, 11, 15},   // BFTST
    {8, 15, 20},   // BFEXTU
    {12, 16, 24},  // BFCHG
    {8, 15, 20},   // BFEXTS
    {12, 16, 24},  // BFCLR
    {18, 28, 32},  // BFFFO
    {12, 16, 24},  // BFSET
    {10, 17, 25},  // BFINS
};

int32_t line14_020(const Cpu& cpu, uint16_t op) {
    if ((op & 0xF8C0) == 0xE8C0) {
        const auto& row = kBitField020[(op >> 8) & 7];
        if (!memory_mode(op)) return row[0];
        return row[cpu.bitfield_five_bytes ? 2 : 1] + ea_cost(op, kSizeLong);
    }
    if ((op & 0x00C0) == 0x00C0) {  // memory, by one bit: ASd, LSd, ROXd, ROd
        const uint32_t kind = (op >> 9) & 3;
        const bool asl = kind == 0 && (op & 0x0100) != 0;
        return (kind == 3 ? 7 : asl ? 6 : 5) + ea_cost(op, kSizeWord);
    }
    const uint32_t kind = (op >> 3) & 3;
    const bool count_in_register = (op & 0x0020) != 0;
    const bool left = (op & 0x0100) != 0;
    switch (kind) {
    case 0: if (left) return 8; [[fallthrough]];  // ASL works out the overflow; ASR shifts like LSR
    case 1: return count_in_register ? 6 : 4;
    case 2: return 12;  // ROXd
    default: return 8;  // ROd
    }
}

}  // namespace

int32_t timing_020_ea_cost(uint32_t mode, uint32_t reg, uint8_t size) {
    switch (mode & 7) {
    case 0:
    case 1: return 0;
    case 2:
    case 3: return 4;
    case 4:
    case 5: return 5;
    case 6: return 7;
    default:
        switch (reg & 7) {
        case 0:
        case 1: return 4;
        case 2: return 5;
        case 3: return 7;
        case 4: return size == kSizeLong ? 4 : 2;
        default: return 0;
        }
    }
}

int32_t timing_020_030_cycles(Cpu& cpu, int32_t c, bool /*executed*/) {
    if (cpu.vector_this_step) {
        const uint32_t v = *cpu.vector_this_step;
        if (v == 4 || v == 8 || v == 10 || v == 11) return 20;
        if (v == 7) return 25;
        return scc68070_cycles(c);
    }
    const uint16_t op = cpu.ir;
    int32_t r = -1;
    switch (op >> 12) {
    case 1:
    case 2:
    case 3: return move_020(op);
    case 6: return branch_020(cpu, op);
    case 7: return 2;
    case 0: r = line0_020(cpu, op); break;
    case 4: r = line4_020(op, c); break;
    case 5: r = line5_020(cpu, op); break;
    case 8:
    case 9:
    case 11:
    case 12:
    case 13: r = alu_line_020(op); break;
    case 14: r = line14_020(cpu, op); break;
    default: break;  // lines 10 and 15 have no count
    }
    return r >= 0 ? r : scc68070_cycles(c);
}

int32_t timing_040_cycles(Cpu& cpu, int32_t c) {
    if (cpu.vector_this_step) return scc68070_cycles(c);
    const uint16_t op = cpu.ir;
    const uint16_t cls = opcode_class_entry(op);
    if (cls & kClassBranch) {
        if (cls & kClassBranchByPc) return 3;
        return cpu.flow_changed ? 3 : 2;
    }
    const int32_t a = c / 4;
    if (cpu.flow_changed) return std::max(4, a);
    if ((op & 0xFF00) == 0xF400) return std::max(12, a);  // CINV, CPUSH
    const uint16_t muldiv = op & 0xF1C0;
    const bool scaled = muldiv == 0xC0C0 || muldiv == 0xC1C0 || muldiv == 0x80C0 || muldiv == 0x81C0 ||
                        (op & 0xFF80) == 0x4C00 || (cls & (kClassScaled | kClassScaled2)) != 0;
    const int32_t base = scaled ? std::max(1, a) : static_cast<int32_t>(class_base_cycles(cls));
    return base + ((cls & kClassExtraCycle) ? 1 : 0);
}

}  // namespace m68k
