// The 68020-68060 cycle models: (type, opcode, state) -> cycles, the 68060's pairing and branch
// cache, and the opcode class table.
#include <gtest/gtest.h>

#include <array>
#include <thread>
#include <vector>

#include "core/timing.hpp"
#include "core/timing_060.hpp"
#include "m68k/cpu.hpp"
#include "support/test_bus.hpp"

namespace m68k {
namespace {

struct Case {
    const char* name;
    CpuType type;
    uint16_t opcode;
    int32_t count;  // the routine's 68000 count
    bool flow = false;
    int vector = -1;  // exception taken in the step
    bool z = false;
    int32_t expected = 0;
    bool five_bytes = false;  // the bit field spanned five bytes
    uint32_t pc = 0x1002;     // PC after the instruction (ppc is 0x1000)
};

int32_t convert(Cpu& cpu, int32_t c) {
    if (cpu.cpu_type == CpuType::M68060) return timing_060_cycles(cpu, c, true);
    if (is_68040_class(cpu.cpu_type)) return timing_040_cycles(cpu, c);
    return timing_020_030_cycles(cpu, c, true);
}

TEST(CycleModels, SingleInstructionTable) {
    const Case cases[] = {
        {"BNE.B taken", CpuType::M68020, 0x6602, 10, true, -1, false, 7},
        {"BNE.B not taken", CpuType::M68020, 0x6602, 8, false, -1, false, 4},
        {"BNE.W not taken", CpuType::M68020, 0x6600, 12, false, -1, false, 6},
        {"BNE.L not taken", CpuType::M68020, 0x66FF, 12, false, -1, false, 6},
        {"BRA.B", CpuType::M68EC020, 0x6002, 10, true, -1, false, 7},
        {"BSR.B", CpuType::M68030, 0x6102, 18, true, -1, false, 8},
        {"MOVE.L (A0)+,(A1)+", CpuType::M68020, 0x22D8, 20, false, -1, false, 7},
        {"MOVE.L D0,D1", CpuType::M68020, 0x2200, 4, false, -1, false, 2},
        {"MOVEA.L (A0),A1", CpuType::M68020, 0x2250, 12, false, -1, false, 6},
        {"MOVE.W #imm,D0", CpuType::M68030, 0x303C, 8, false, -1, false, 4},
        {"MOVE.L #imm,(A0)", CpuType::M68030, 0x20BC, 20, false, -1, false, 8},
        {"MOVE.B (d8,A0,Xn),abs.L", CpuType::M68020, 0x13F0, 26, false, -1, false, 12},
        {"MOVE.W (d16,PC),-(A1)", CpuType::M68020, 0x333A, 16, false, -1, false, 8},
        {"MOVE.W D0,(d16,PC) counts column 0", CpuType::M68020, 0x35C0, 8, false, -1, false, 2},
        {"MOVEQ", CpuType::M68020, 0x7001, 4, false, -1, false, 2},
        {"CAS2.L, compare failed", CpuType::M68020, 0x0EFC, 40, false, -1, false, 22},
        {"CAS2.L, compare succeeded", CpuType::M68020, 0x0EFC, 40, false, -1, true, 25},
        {"CAS.L D0,D1,(A0)", CpuType::M68030, 0x0ED0, 20, false, -1, false, 16},
        {"CAS.W D0,D1,(d16,A0) succeeded", CpuType::M68030, 0x0CE8, 20, false, -1, true, 20},
        {"ADDI.L #imm,D1", CpuType::M68020, 0x0681, 16, false, -1, false, 6},
        {"CMPI.W #imm,(A0)", CpuType::M68020, 0x0C50, 12, false, -1, false, 8},
        {"ADD.L D0,D1", CpuType::M68020, 0xD280, 8, false, -1, false, 2},
        {"ADD.W D0,(A0)", CpuType::M68020, 0xD150, 12, false, -1, false, 8},
        {"CMPA.L (A0),A1", CpuType::M68020, 0xB3D0, 14, false, -1, false, 8},
        {"DIVU.W D1,D0", CpuType::M68020, 0x80C1, 140, false, -1, false, 44},
        {"MULS.W (A0),D0", CpuType::M68020, 0xC1D0, 50, false, -1, false, 31},
        {"ADDQ.L #1,D0", CpuType::M68020, 0x5280, 8, false, -1, false, 2},
        {"TST.L -(A0)", CpuType::M68020, 0x4AA0, 14, false, -1, false, 7},
        {"BTST D1,D0", CpuType::M68020, 0x0300, 6, false, -1, false, 4},
        {"BTST #imm,D0", CpuType::M68020, 0x0800, 10, false, -1, false, 6},
        {"BCHG D1,D0", CpuType::M68030, 0x0340, 8, false, -1, false, 6},
        {"BSET #imm,(A0)", CpuType::M68020, 0x08D0, 16, false, -1, false, 14},
        {"BTST D1,(d16,A0)", CpuType::M68020, 0x0328, 12, false, -1, false, 9},
        {"BCLR D1,(A0)+", CpuType::M68020, 0x0398, 12, false, -1, false, 12},
        {"MOVEP.W (d16,A0),D1", CpuType::M68020, 0x0308, 16, false, -1, false, 12},
        {"MOVEP.L D0,(d16,A0)", CpuType::M68030, 0x01C8, 24, false, -1, false, 14},
        {"EXG D0,D1", CpuType::M68020, 0xC141, 6, false, -1, false, 2},
        {"EXG D0,A1", CpuType::M68030, 0xC189, 6, false, -1, false, 2},
        {"ADDX.L D0,D1", CpuType::M68020, 0xD380, 8, false, -1, false, 2},
        {"SUBX.B -(A0),-(A1)", CpuType::M68020, 0x9308, 18, false, -1, false, 12},
        {"ADDX.L -(A0),-(A1)", CpuType::M68030, 0xD388, 30, false, -1, false, 12},
        {"LSL.L #1,D0", CpuType::M68020, 0xE388, 10, false, -1, false, 4},
        {"LSR.W D1,D0", CpuType::M68020, 0xE268, 8, false, -1, false, 6},
        {"ASL.W #2,D0", CpuType::M68020, 0xE540, 10, false, -1, false, 8},
        {"ASR.L D1,D0", CpuType::M68030, 0xE2A0, 10, false, -1, false, 6},
        {"ROL.L #1,D0", CpuType::M68020, 0xE398, 10, false, -1, false, 8},
        {"ROXL.W #1,D0", CpuType::M68020, 0xE350, 8, false, -1, false, 12},
        {"ROXR.L D1,D0", CpuType::M68030, 0xE2B0, 10, false, -1, false, 12},
        {"ASL.W (A0)", CpuType::M68020, 0xE1D0, 12, false, -1, false, 10},
        {"ASR.W (A0)", CpuType::M68020, 0xE0D0, 12, false, -1, false, 9},
        {"ROR.W (d16,A0)", CpuType::M68020, 0xE6E8, 16, false, -1, false, 12},
        {"BFEXTU D0,D1", CpuType::M68020, 0xE9C0, 8, false, -1, false, 8},
        {"BFCHG D0", CpuType::M68030, 0xEAC0, 8, false, -1, false, 12},
        {"BFTST (A0), four bytes", CpuType::M68020, 0xE8D0, 8, false, -1, false, 15},
        {"BFINS D1,(A0), four bytes", CpuType::M68020, 0xEFD0, 8, false, -1, false, 21},
        {"BFINS D1,(A0), five bytes", CpuType::M68020, 0xEFD0, 8, false, -1, false, 29, true},
        {"BFFFO (d16,A0), five bytes", CpuType::M68030, 0xEDE8, 8, false, -1, false, 37, true},
        {"ABCD D0,D1", CpuType::M68020, 0xC300, 6, false, -1, false, 4},
        {"ABCD -(A0),-(A1)", CpuType::M68020, 0xC308, 18, false, -1, false, 16},
        {"SBCD -(A0),-(A1)", CpuType::M68030, 0x8308, 18, false, -1, false, 16},
        {"NBCD D0", CpuType::M68020, 0x4800, 6, false, -1, false, 6},
        {"NBCD (A0)", CpuType::M68020, 0x4810, 12, false, -1, false, 10},
        {"PACK D0,D1,#adj", CpuType::M68020, 0x8340, 8, false, -1, false, 6},
        {"PACK -(A0),-(A1),#adj", CpuType::M68020, 0x8348, 8, false, -1, false, 13},
        {"UNPK D0,D1,#adj", CpuType::M68030, 0x8380, 8, false, -1, false, 8},
        {"UNPK -(A0),-(A1),#adj", CpuType::M68030, 0x8388, 8, false, -1, false, 13},
        {"CMPM.W (A0)+,(A1)+", CpuType::M68020, 0xB348, 12, false, -1, false, 8},
        {"DBRA, loop taken", CpuType::M68020, 0x51C8, 10, true, -1, false, 6},
        {"DBRA, count ran out", CpuType::M68020, 0x51C8, 14, false, -1, false, 10, false, 0x1004},
        {"DBEQ, condition held", CpuType::M68030, 0x57C8, 12, false, -1, true, 6, false, 0x1004},
        {"ST D0", CpuType::M68020, 0x50C0, 4, false, -1, false, 4},
        {"SEQ (A0)", CpuType::M68020, 0x57D0, 8, false, -1, true, 10},
        {"TRAPF", CpuType::M68020, 0x51FC, 4, false, -1, false, 3},
        {"TRAPF.W #imm", CpuType::M68020, 0x51FA, 4, false, -1, false, 5},
        {"TRAPF.L #imm", CpuType::M68030, 0x51FB, 4, false, -1, false, 7},
        {"TRAPV, no trap", CpuType::M68020, 0x4E76, 4, false, -1, false, 3},
        {"LEA (d16,A0),A1", CpuType::M68020, 0x43E8, 8, false, -1, false, 4},
        {"LEA (d8,A0,Xn),A1", CpuType::M68020, 0x43F0, 12, false, -1, false, 6},
        {"PEA abs.L", CpuType::M68030, 0x4879, 20, false, -1, false, 9},
        {"JMP (A0)", CpuType::M68020, 0x4ED0, 8, true, -1, false, 6},
        {"JMP (d8,PC,Xn)", CpuType::M68020, 0x4EFB, 8, true, -1, false, 10},
        {"JSR (d16,PC)", CpuType::M68030, 0x4EBA, 16, true, -1, false, 8},
        {"RTS", CpuType::M68020, 0x4E75, 16, true, -1, false, 10},
        {"RTD #imm", CpuType::M68020, 0x4E74, 20, true, -1, false, 10},
        {"RTR", CpuType::M68030, 0x4E77, 20, true, -1, false, 14},
        {"RTE", CpuType::M68020, 0x4E73, 20, true, -1, false, 24},
        {"LINK.W A6,#imm", CpuType::M68020, 0x4E56, 16, false, -1, false, 5},
        {"LINK.L A6,#imm", CpuType::M68020, 0x480E, 16, false, -1, false, 6},
        {"UNLK A6", CpuType::M68030, 0x4E5E, 12, false, -1, false, 6},
        {"EXT.W D0", CpuType::M68020, 0x4880, 4, false, -1, false, 4},
        {"EXT.L D0", CpuType::M68020, 0x48C0, 4, false, -1, false, 4},
        {"EXTB.L D0", CpuType::M68030, 0x49C0, 4, false, -1, false, 4},
        {"SWAP D0", CpuType::M68020, 0x4840, 4, false, -1, false, 4},
        {"MOVEM.L four registers,-(A7)", CpuType::M68020, 0x48E7, 8 + 4 * 8, false, -1, false, 4 + 3 * 4 + 2},
        {"MOVEM.W (A0)+, two registers", CpuType::M68020, 0x4C98, 12 + 2 * 4, false, -1, false, 8 + 4 * 2 + 2},
        {"MOVEM.L (d8,A0,Xn), three registers", CpuType::M68030, 0x4CF0, 12 + 3 * 8, false, -1, false, 8 + 4 * 3 + 4},
        {"MOVE SR,D0", CpuType::M68020, 0x40C0, 4, false, -1, false, 4},
        {"MOVE SR,(A0)", CpuType::M68020, 0x40D0, 8, false, -1, false, 10},
        {"MOVE CCR,-(A0)", CpuType::M68030, 0x42E0, 8, false, -1, false, 10},
        {"MOVE #imm,CCR", CpuType::M68020, 0x44FC, 12, false, -1, false, 6},
        {"MOVE D0,SR", CpuType::M68020, 0x46C0, 12, false, -1, false, 8},
        {"MOVE (A0),SR", CpuType::M68030, 0x46D0, 16, false, -1, false, 12},
        {"MOVE A0,USP", CpuType::M68020, 0x4E60, 4, false, -1, false, 2},
        {"MOVEC D0,VBR", CpuType::M68020, 0x4E7B, 12, false, -1, false, 12},
        {"MOVEC VBR,D0", CpuType::M68030, 0x4E7A, 12, false, -1, false, 6},
        {"ORI #imm,CCR", CpuType::M68020, 0x003C, 20, false, -1, false, 12},
        {"ANDI #imm,SR", CpuType::M68030, 0x027C, 20, false, -1, false, 12},
        {"CHK.W D1,D0, in bounds", CpuType::M68020, 0x4181, 10, false, -1, false, 8},
        {"CHK.L (A0),D0, in bounds", CpuType::M68020, 0x4110, 14, false, -1, false, 12},
        {"CHK2.W (A0),D0", CpuType::M68020, 0x02D0, 8, false, -1, false, 22},
        {"CMP2.B (d16,A0),D0", CpuType::M68030, 0x00E8, 8, false, -1, false, 23},
        {"MULU.L D1,D0", CpuType::M68020, 0x4C01, 40, false, -1, false, 43},
        {"DIVS.L (A0),D0", CpuType::M68020, 0x4C50, 40, false, -1, false, 82},
        {"MULU.W D1,D0", CpuType::M68030, 0xC0C1, 40, false, -1, false, 27},
        {"DIVS.W #imm,D0", CpuType::M68020, 0x81FC, 120, false, -1, false, 58},
        {"TAS D0", CpuType::M68020, 0x4AC0, 4, false, -1, false, 4},
        {"TAS (A0)", CpuType::M68020, 0x4AD0, 14, false, -1, false, 16},
        {"NOP", CpuType::M68020, 0x4E71, 4, false, -1, false, 2},
        {"STOP #imm", CpuType::M68020, 0x4E72, 4, false, -1, false, 8},
        {"RESET", CpuType::M68030, 0x4E70, 132, false, -1, false, 518},
        {"MOVES falls back", CpuType::M68020, 0x0E10, 16, false, -1, false, 10},
        {"CALLM falls back", CpuType::M68020, 0x06D0, 40, false, -1, false, 25},
        {"line A falls back", CpuType::M68020, 0xA000, 4, false, -1, false, 3},
        {"privilege violation in the step", CpuType::M68030, 0x46C0, 34, false, 8, false, 20},
        {"TRAPV that traps", CpuType::M68030, 0x4E76, 34, false, 7, false, 25},
        {"zero divide: the scaling", CpuType::M68020, 0x80C1, 38, false, 5, false, 24},
        {"040 DIVU.W", CpuType::M68040, 0x80C1, 140, false, -1, false, 35},
        {"040 MULS.L", CpuType::M68LC040, 0x4C00, 70, false, -1, false, 17},
        {"040 MOVEQ", CpuType::M68EC040, 0x7001, 4, false, -1, false, 1},
        {"040 MOVE.L (d8,A0,Xn),D0 indexed extra", CpuType::M68040, 0x2030, 18, false, -1, false, 2},
        {"040 Bcc taken", CpuType::M68040, 0x6602, 10, true, -1, false, 3},
        {"040 Bcc not taken", CpuType::M68040, 0x6602, 8, false, -1, false, 2},
        {"040 DBcc", CpuType::M68040, 0x51C8, 10, false, -1, false, 3},
        {"040 JMP (A0)", CpuType::M68040, 0x4ED0, 8, true, -1, false, 4},
        {"040 JMP with a large count", CpuType::M68040, 0x4ED0, 40, true, -1, false, 10},
        {"040 CINVA", CpuType::M68040, 0xF4D8, 4, false, -1, false, 12},
        {"040 exception", CpuType::M68040, 0x4E76, 34, false, 7, false, 22},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Cpu cpu;
        cpu.set_cpu_type(c.type);
        cpu.ir = c.opcode;
        cpu.ppc = 0x1000;
        cpu.pc = c.pc;
        cpu.flow_changed = c.flow;
        if (c.vector >= 0) cpu.vector_this_step = static_cast<uint32_t>(c.vector);
        cpu.flag_not_z = c.z ? 0 : 1;
        cpu.bitfield_five_bytes = c.five_bytes;
        EXPECT_EQ(convert(cpu, c.count), c.expected);
    }
}

// Every opcode gets a count in range, whatever the routine's own count (a MOVEM count below
// its base must not go negative).
TEST(CycleModel020, EveryOpcodeInRange) {
    Cpu cpu;
    cpu.set_cpu_type(CpuType::M68030);
    cpu.ppc = 0x1000;
    cpu.pc = 0x1002;
    for (uint32_t op = 0; op < 65536; ++op) {
        for (const int32_t c : {0, 4, 200}) {
            cpu.ir = static_cast<uint16_t>(op);
            const int32_t cycles = timing_020_030_cycles(cpu, c, true);
            ASSERT_GE(cycles, 2) << std::hex << op << " " << std::dec << c;
            ASSERT_LE(cycles, 600) << std::hex << op << " " << std::dec << c;
        }
    }
}

// Counts that depend on what the instruction did, run through step on a 68020: the register
// count MOVEM moved and the three ways out of DBcc.
TEST(CycleModel020, CountsThroughStep) {
    struct Run {
        const char* name;
        std::array<uint16_t, 2> code;
        uint32_t d0;
        bool z;
        uint32_t cycles;
    };
    const Run runs[] = {
        {"MOVEM.L D0-D3,-(A7)", {0x48E7, 0xF000}, 0, false, 4 + 3 * 4 + 2},
        {"MOVEM.W (A0)+,D0/D1", {0x4C98, 0x0003}, 0, false, 8 + 4 * 2 + 2},
        {"MOVEM.L (A0),D0-A6", {0x4CD0, 0x7FFF}, 0, false, 8 + 4 * 15 + 2},
        {"MOVEM.L (A0), no register", {0x4CD0, 0x0000}, 0, false, 8 + 2},
        {"DBRA D0, loop taken", {0x51C8, 0xFFFE}, 5, false, 6},
        {"DBRA D0, count ran out", {0x51C8, 0xFFFE}, 0, false, 10},
        {"DBEQ D0, condition held", {0x57C8, 0xFFFE}, 5, true, 6},
    };
    test::TestBus bus;
    bus.recording = false;
    for (const auto& r : runs) {
        SCOPED_TRACE(r.name);
        Cpu cpu;
        cpu.set_cpu_type(CpuType::M68020);
        bus.poke_word(0x1000, r.code[0]);
        bus.poke_word(0x1002, r.code[1]);
        cpu.pc = 0x1000;
        cpu.addr_regs[0] = 0x4000;
        cpu.addr_regs[7] = 0x8000;
        cpu.data_regs[0] = r.d0;
        cpu.flag_not_z = r.z ? 0 : 1;
        const StepResult result = step(cpu, bus);
        EXPECT_EQ(result.status(), StepStatus::Ok);
        EXPECT_EQ(result.cycles(), r.cycles);
    }
}

struct Step {
    uint16_t opcode;
    int32_t count;
    bool flow;
    int32_t expected;
    uint32_t ppc = 0x1000;
};

int32_t run_060(Cpu& cpu, const Step& s) {
    cpu.ir = s.opcode;
    cpu.ppc = s.ppc;
    cpu.pc = s.ppc + 2;
    cpu.flow_changed = s.flow;
    return timing_060_cycles(cpu, s.count, true);
}

void run_sequence(Cpu& cpu, std::initializer_list<Step> steps) {
    int i = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(i++);
        EXPECT_EQ(run_060(cpu, s), s.expected);
    }
}

Cpu make_060(uint32_t pcr, uint32_t cacr = 0) {
    Cpu cpu;
    cpu.set_cpu_type(CpuType::M68060);
    cpu.pcr = pcr;
    cpu.cacr = cacr;
    return cpu;
}

TEST(CycleModel060, Pairing) {
    {
        SCOPED_TRACE("independent MOVEQs pair");
        Cpu cpu = make_060(0x04300101);
        run_sequence(cpu, {{0x7001, 4, false, 1}, {0x7202, 4, false, 0}, {0x7403, 4, false, 1}});
    }
    {
        SCOPED_TRACE("a register dependency stops the pair");
        Cpu cpu = make_060(0x04300101);
        run_sequence(cpu, {{0x7001, 4, false, 1}, {0x5280, 8, false, 1}});
    }
    {
        SCOPED_TRACE("two memory operands never pair");
        Cpu cpu = make_060(0x04300101);
        run_sequence(cpu, {{0x2010, 12, false, 1}, {0x2211, 12, false, 1}});
    }
    {
        SCOPED_TRACE("PCR bit 0 clear (the reset value)");
        Cpu cpu = make_060(0x04300100);
        run_sequence(cpu, {{0x7001, 4, false, 1}, {0x7202, 4, false, 1}, {0x7403, 4, false, 1}});
    }
    {
        SCOPED_TRACE("a change of flow ends pairing");
        Cpu cpu = make_060(0x04300101);
        run_sequence(cpu, {{0x7001, 4, false, 1}, {0x4ED0, 8, true, 5}, {0x7202, 4, false, 1}, {0x7403, 4, false, 0}});
    }
}

TEST(CycleModel060, BranchCache) {
    constexpr uint32_t kBranch = 0x2468;
    const uint32_t i = (kBranch >> 1) & 0xFF;
    {
        SCOPED_TRACE("cache off");
        Cpu cpu = make_060(0x04300101);
        run_sequence(cpu, {{0x6602, 10, true, 7, kBranch}, {0x6602, 8, false, 1, kBranch}});
        EXPECT_EQ(cpu.branch_cache.state[i], 0);
        // DBcc judged by the PC: falling through leaves PC at ppc + 4.
        cpu.ir = 0x51C8;
        cpu.ppc = kBranch;
        cpu.pc = kBranch + 4;
        EXPECT_EQ(timing_060_cycles(cpu, 14, true), 3);
        cpu.pc = kBranch - 0x20;
        EXPECT_EQ(timing_060_cycles(cpu, 10, true), 2);
    }
    Cpu cpu = make_060(0x04300101, 1u << 23);
    EXPECT_EQ(run_060(cpu, {0x6602, 10, true, 0, kBranch}), 7);
    EXPECT_EQ(cpu.branch_cache.tags[i], kBranch);
    EXPECT_EQ(cpu.branch_cache.state[i], 6) << "valid, counter 2, made in supervisor mode";
    // Predicted and taken: 1 right after another branch (pairing state 2), 0 otherwise.
    EXPECT_EQ(run_060(cpu, {0x6602, 10, true, 0, kBranch}), 1);
    EXPECT_EQ(cpu.branch_cache.state[i], 7);
    EXPECT_EQ(run_060(cpu, {0x7001, 4, false, 0}), 1);
    EXPECT_EQ(run_060(cpu, {0x6602, 10, true, 0, kBranch}), 0);
    EXPECT_EQ(cpu.branch_cache.state[i], 7) << "the counter saturates";
    // Mispredicted: 7, and the counter goes down 3 -> 2 -> 1; at 1 it predicts not taken.
    EXPECT_EQ(run_060(cpu, {0x6602, 8, false, 0, kBranch}), 7);
    EXPECT_EQ(run_060(cpu, {0x6602, 8, false, 0, kBranch}), 7);
    EXPECT_EQ(cpu.branch_cache.state[i], 5);
    EXPECT_EQ(run_060(cpu, {0x6602, 8, false, 0, kBranch}), 1);
    EXPECT_EQ(run_060(cpu, {0x6602, 8, false, 0, kBranch}), 1);
    EXPECT_EQ(cpu.branch_cache.state[i], 4);
    // Another branch on the same entry replaces it only when taken; in user mode bit 3 is set.
    EXPECT_EQ(run_060(cpu, {0x6702, 8, false, 0, kBranch + 0x200}), 1);
    EXPECT_EQ(cpu.branch_cache.tags[i], kBranch);
    cpu.sr_s = 0;
    EXPECT_EQ(run_060(cpu, {0x6702, 10, true, 0, kBranch + 0x200}), 7);
    EXPECT_EQ(cpu.branch_cache.tags[i], kBranch + 0x200);
    EXPECT_EQ(cpu.branch_cache.state[i], 14);
}

TEST(OpcodeClass, EntriesAndMasks) {
    struct ClassCase {
        uint16_t opcode;
        uint16_t entry;
    };
    const ClassCase classes[] = {
        {0x6000, 0x9D},    {0x6602, 0x89D},   {0x6102, 0x89D},  {0x51C8, 0x98D},  {0x7001, 0x404},
        {0x41F0, 0x1004},  {0x43D0, 0x4},     {0x57F0, 0x9804}, {0x57C0, 0x804},  {0x48D0, 0xC20A},
        {0x4AD0, 0xC409},  {0x4C00, 0x609},   {0x4180, 0x209},  {0x4850, 0x205},  {0x4A90, 0x4404},
        {0x4290, 0xC404},  {0x0050, 0xC404},  {0x0C50, 0x4404}, {0x0810, 0x4405}, {0x08D0, 0xC405},
        {0x00D0, 0x2205},  {0x0ED0, 0x2205},  {0x007C, 0x205},  {0xD380, 0xC05},  {0x9380, 0xC05},
        {0xD150, 0xC404},  {0xD050, 0x4404},  {0xB150, 0xC404}, {0xB050, 0x4404}, {0xC0C1, 0x409},
        {0xC300, 0x609},   {0xC141, 0x5},     {0x80C1, 0x609},  {0xE8C0, 0x2205}, {0xE0D0, 0xC404},
        {0xE390, 0xC05},   {0xE388, 0x404},   {0x2030, 0x5404}, {0x21B0, 0xD404}, {0x2080, 0x8404},
        {0xA000, 0x2205},  {0xF4D8, 0x2205},
    };
    for (const auto& c : classes) {
        EXPECT_EQ(opcode_class_entry(c.opcode), c.entry) << std::hex << c.opcode;
    }
    struct MaskCase {
        uint16_t opcode;
        RegisterMasks masks;
    };
    const MaskCase masks[] = {
        {0x2200, {0x0003, 0x0002}},  // MOVE.L D0,D1
        {0x22D8, {0x0300, 0x0300}},  // MOVE.L (A0)+,(A1)+
        {0x2280, {0x0201, 0x0000}},  // MOVE.L D0,(A1)
        {0x43D0, {0x0100, 0x0200}},  // LEA (A0),A1
        {0x4E75, {0xFFFF, 0xFFFF}},  // RTS
        {0x4280, {0x0001, 0x0001}},  // CLR.L D0
        {0x5280, {0x0001, 0x0001}},  // ADDQ.L #1,D0
        {0x7202, {0x0000, 0x0002}},  // MOVEQ #2,D1
        {0xD280, {0x0003, 0x0002}},  // ADD.L D0,D1
        {0xD390, {0x0102, 0x0000}},  // ADD.L D1,(A0)
        {0xD3C8, {0x0300, 0x0200}},  // ADDA.L A0,A1
        {0xE3A8, {0x0003, 0x0001}},  // LSL.L D1,D0
        {0xE388, {0x0001, 0x0001}},  // LSL.L #1,D0
        {0x6602, {0xFFFF, 0xFFFF}},
    };
    for (const auto& m : masks) {
        EXPECT_EQ(opcode_register_masks(m.opcode), m.masks) << std::hex << m.opcode;
    }
}

// Many threads reaching the table at once all see the same, complete table (run under TSan).
TEST(OpcodeClass, TableIsSharedRaceFree) {
    std::vector<uint64_t> sums(8, 0);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < sums.size(); ++t) {
        threads.emplace_back([&sums, t] {
            uint64_t s = 0;
            for (uint32_t op = 0; op < 65536; ++op) s += opcode_class_entry(static_cast<uint16_t>(op)) * (op + 1);
            sums[t] = s;
        });
    }
    for (auto& th : threads) th.join();
    for (const uint64_t s : sums) EXPECT_EQ(s, sums[0]);
}

}  // namespace
}  // namespace m68k
