// The decode table: type gates of representative opcodes, and every opcode of the 68000 test
// vectors classified as the family its file names.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/decode.hpp"
#include "core/instructions/bcd.hpp"
#include "core/instructions/compare_swap.hpp"
#include "core/instructions/data_movement.hpp"
#include "core/instructions/fast_paths.hpp"
#include "core/instructions/integer_arith.hpp"
#include "core/instructions/logical.hpp"
#include "core/instructions/program_control.hpp"
#include "core/instructions/system_control.hpp"
#include "m68k/cpu.hpp"
#include "vectors/vector_file.hpp"

namespace m68k {
namespace {

struct GateCase {
    uint16_t opcode;
    CpuType type;
    Handler expected;
};

TEST(Decode, TypeGates) {
    const GateCase cases[] = {
        {0x4AFC, CpuType::M68000, op_illegal},
        {0x4AFC, CpuType::M68060, op_illegal},
        {0xA000, CpuType::M68040, op_line_a},
        {0xF200, CpuType::Scc68070, op_line_f},
        {0xF200, CpuType::M68020, op_fline_68020},
        {0x42C0, CpuType::M68000, op_invalid},  // MOVE from CCR
        {0x42C0, CpuType::M68010, op_move_from_ccr},
        {0x4E7A, CpuType::M68000, op_invalid},  // MOVEC
        {0x4E7A, CpuType::Scc68070, op_movec},
        {0x4E74, CpuType::M68000, op_invalid},  // RTD
        {0x4E74, CpuType::M68010, op_rtd},
        {0x0E10, CpuType::M68000, op_invalid},  // MOVES
        {0x0E10, CpuType::M68010, op_moves},
        {0x49C0, CpuType::Scc68070, op_invalid},  // EXTB.L
        {0x49C0, CpuType::M68020, extb_long},
        {0x4880, CpuType::M68000, ext_reg},
        {0x4890, CpuType::M68000, op_movem_to_memory},
        {0x4848, CpuType::M68000, op_bkpt},
        {0x4840, CpuType::M68000, op_swap},
        {0x4850, CpuType::M68000, op_pea},
        {0x50FC, CpuType::Scc68070, op_invalid},  // TRAPcc
        {0x50FC, CpuType::M68030, op_trapcc},
        {0x50C8, CpuType::M68000, op_dbcc},
        {0x50C0, CpuType::M68000, op_scc},
        {0x0108, CpuType::M68000, op_movep},
        {0x0108, CpuType::M68060, op_unimplemented_integer},
        {0x00D0, CpuType::M68000, op_invalid},  // CMP2
        {0x00D0, CpuType::M68020, op_cmp2_chk2},
        {0x00D0, CpuType::M68060, op_unimplemented_integer},
        {0x0CFC, CpuType::M68040, op_cas2},
        {0x0AD0, CpuType::M68060, op_cas},
        {0x4AC8, CpuType::M68060, op_halt},
        {0x4AC8, CpuType::M68040, op_invalid},
        {0x4A48, CpuType::M68000, op_invalid},  // TST.W An
        {0x4A48, CpuType::M68020, op_tst},
        {0x4A3C, CpuType::M68000, op_invalid},  // TST.B #imm
        {0x4A3C, CpuType::M68020, op_tst},
        {0x0C3A, CpuType::M68000, op_invalid},  // CMPI (d16,PC)
        {0x0C3A, CpuType::M68020, op_cmpi},
        {0x0C3C, CpuType::M68000, op_invalid},  // CMPI #imm is no destination
        {0x7100, CpuType::M68000, op_invalid},  // MOVEQ with bit 8 set
        {0x7000, CpuType::M68000, op_moveq},
        {0x60FF, CpuType::M68000, op_bra},
        {0xD108, CpuType::M68000, op_addx_memory},
        {0xD100, CpuType::M68000, op_addx_register},
        {0xD110, CpuType::M68000, op_add_to_ea},
        {0xD008, CpuType::M68000, op_invalid},  // ADD.B An,Dn
        {0xD048, CpuType::M68000, op_add_to_register},
        {0xB148, CpuType::M68000, op_cmpm},
        {0xB140, CpuType::M68000, op_eor},
        {0xC140, CpuType::M68000, op_exg},
        {0xC148, CpuType::M68000, op_exg},
        {0xC188, CpuType::M68000, op_exg},
        {0xC180, CpuType::M68000, op_invalid},
        {0xC100, CpuType::M68000, op_abcd_register},
        {0x8140, CpuType::M68000, op_invalid},  // PACK
        {0x8140, CpuType::M68020, op_pack_register},
        {0xE8C0, CpuType::M68000, op_invalid},  // BFTST
        {0xE8C0, CpuType::M68020, op_bitfield},
        {0xEAC0, CpuType::M68020, op_bitfield},
        {0xEAFA, CpuType::M68020, op_invalid},  // BFCHG (d16,PC) is not alterable
        {0xE0D0, CpuType::M68000, op_shift_memory},
        {0xE0C0, CpuType::M68000, op_invalid},  // memory shift of Dn
        {0x4E40, CpuType::M68000, op_trap},
        {0x4E60, CpuType::M68000, op_move_usp},
        {0x4E7B, CpuType::M68060, op_movec},
        {0x4E78, CpuType::M68060, op_invalid},
        {0x4E00, CpuType::M68000, op_invalid},
        {0x4180, CpuType::M68000, op_chk},
        {0x4100, CpuType::M68000, op_invalid},  // CHK.L
        {0x4100, CpuType::M68020, op_chk},
        {0x41C0, CpuType::M68000, op_invalid},  // LEA Dn
        {0x41D0, CpuType::M68000, op_lea},
        {0x4808, CpuType::M68020, op_link_long},
        {0x4808, CpuType::M68000, op_invalid},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(classify(c.type, c.opcode), c.expected)
            << std::hex << c.opcode << " on type " << std::dec << static_cast<int>(c.type);
    }
}

TEST(Decode, TablesMatchTheClassifier) {
    for (CpuType t : {CpuType::M68000, CpuType::Scc68070, CpuType::M68060}) {
        const Handler* table = decode_table_for(t);
        EXPECT_EQ(table, decode_table_for(t)) << "built once";
        for (uint32_t op = 0; op < 65536; op += 97) {
            const auto opcode = static_cast<uint16_t>(op);
            EXPECT_EQ(table[op], specialised_handler(t, opcode, classify(t, opcode)));
        }
    }
}

// The 68000 class gives line F for the whole F line.
TEST(Decode, WholeFLineTrapsOnThe68000Class) {
    for (CpuType t : {CpuType::M68000, CpuType::M68010, CpuType::Scc68070}) {
        for (uint32_t op = 0xF000; op <= 0xFFFF; ++op) {
            ASSERT_EQ(classify(t, static_cast<uint16_t>(op)), op_line_f) << std::hex << op;
        }
    }
}

std::set<Handler> routines_of_family(const std::string& family) {
    const std::string base = family.substr(0, family.find('.'));
    static const std::map<std::string, std::set<Handler>> kFamilies = {
        {"ABCD", {op_abcd_register, op_abcd_memory}},
        {"ADD", {op_add_to_register, op_add_to_ea, op_addi, op_addq}},  // the files hold ADDI and ADDQ too
        {"ADDA", {op_adda}},
        {"ADDX", {op_addx_register, op_addx_memory}},
        {"AND", {op_and_to_register, op_and_to_ea, op_andi_ea}},
        {"ANDItoCCR", {op_andi_ccr}},
        {"ANDItoSR", {op_andi_sr}},
        {"ASL", {op_shift_register, op_shift_memory}},
        {"ASR", {op_shift_register, op_shift_memory}},
        {"LSL", {op_shift_register, op_shift_memory}},
        {"LSR", {op_shift_register, op_shift_memory}},
        {"ROL", {op_shift_register, op_shift_memory}},
        {"ROR", {op_shift_register, op_shift_memory}},
        {"ROXL", {op_shift_register, op_shift_memory}},
        {"ROXR", {op_shift_register, op_shift_memory}},
        {"BCHG", {op_bchg}},
        {"BCLR", {op_bclr}},
        {"BSET", {op_bset}},
        {"BTST", {op_btst}},
        {"BSR", {op_bsr}},
        {"Bcc", {op_bcc, op_bra}},
        {"CHK", {op_chk}},
        {"CLR", {op_clr}},
        {"CMP", {op_cmp, op_cmpm, op_cmpi}},  // the CMP files hold CMPM and CMPI too
        {"CMPA", {op_cmpa}},
        {"EOR", {op_eor, op_eori_ea}},
        {"EORItoCCR", {op_eori_ccr}},
        {"EORItoSR", {op_eori_sr}},
        {"EXG", {op_exg}},
        {"EXT", {ext_reg}},
        {"ILLEGAL_LINEA", {op_line_a}},
        {"ILLEGAL_LINEF", {op_line_f}},
        {"JMP", {op_jmp}},
        {"JSR", {op_jsr}},
        {"LEA", {op_lea}},
        {"LINK", {op_link_word}},
        {"MOVE", {op_move}},
        {"MOVEA", {op_move}},
        {"MOVEM", {op_movem_to_memory, op_movem_to_registers}},
        {"MOVEP", {op_movep}},
        {"MOVEfromSR", {op_move_from_sr}},
        {"MOVEfromUSP", {op_move_usp}},
        {"MOVEtoUSP", {op_move_usp}},
        {"MOVEtoCCR", {op_move_to_ccr}},
        {"MOVEtoSR", {op_move_to_sr}},
        {"MULS", {op_muls_word}},
        {"MULU", {op_mulu_word}},
        {"NOP", {op_nop}},
        {"OR", {op_or_to_register, op_or_to_ea, op_ori_ea}},
        {"ORItoCCR", {op_ori_ccr}},
        {"ORItoSR", {op_ori_sr}},
        {"PEA", {op_pea}},
        {"RESET", {op_reset}},
        {"RTE", {op_rte}},
        {"RTR", {op_rtr}},
        {"RTS", {op_rts}},
        {"TRAP", {op_trap}},
        {"TRAPV", {op_trapv}},
        {"SUB", {op_sub_to_register, op_sub_to_ea, op_subi, op_subq}},
        {"SUBA", {op_suba}},
        {"SUBX", {op_subx_register, op_subx_memory}},
        {"TST", {op_tst}},
        {"TAS", {op_tas}},
        {"SWAP", {op_swap}},
        {"UNLINK", {op_unlk}},
        {"NEG", {op_neg}},
        {"NEGX", {op_negx}},
        {"NOT", {op_not}},
        {"NBCD", {op_nbcd}},
        {"SBCD", {op_sbcd_register, op_sbcd_memory}},
        {"Scc", {op_scc}},
        {"DBcc", {op_dbcc}},
        {"DIVS", {op_divs_word}},
        {"DIVU", {op_divu_word}},
        {"CMPM", {op_cmpm}},
        {"STOP", {op_stop}},
    };
    const std::string key = family == "MOVE.q" ? "MOVEQ" : base;
    if (key == "MOVEQ") return {op_moveq};
    const auto it = kFamilies.find(key);
    return it == kFamilies.end() ? std::set<Handler>{} : it->second;
}

TEST(Decode, VectorOpcodesClassifyAsTheirFamily) {
    const std::filesystem::path dir = VESTREL_M68K_VECTORS;
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) GTEST_SKIP() << "test vectors not found at " << dir;
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (!name.ends_with(".json.bin")) continue;
        const std::string family = name.substr(0, name.size() - 9);
        const auto allowed = routines_of_family(family);
        ASSERT_FALSE(allowed.empty()) << "no family mapping for " << family;
        auto tests = vectors::read_vector_file(e.path().string());
        ASSERT_TRUE(tests.has_value()) << tests.error();
        ++files;
        for (const auto& t : *tests) {
            const uint16_t op = static_cast<uint16_t>(t.initial.prefetch[0]);
            if (!allowed.count(classify(CpuType::M68000, op))) {
                ADD_FAILURE() << family << ": " << t.name;
                break;  // one report per file
            }
        }
    }
    EXPECT_GT(files, 0);
}

}  // namespace
}  // namespace m68k
