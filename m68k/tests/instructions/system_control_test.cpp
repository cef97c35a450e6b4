// Status-register and USP moves, MOVEC per type, and the 68040/68060 cache and MMU forms, run
// through `step` with the real decode tables.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "core/exceptions.hpp"
#include "m68k/cpu.hpp"
#include "support/test_bus.hpp"

namespace m68k {
namespace {

constexpr uint32_t kCode = 0x1000;
constexpr uint32_t kStack = 0x8000;
constexpr uint32_t kUserStack = 0x6000;

struct Rig {
    Cpu cpu;
    test::TestBus bus;

    Rig(CpuType type, std::initializer_list<uint16_t> code, bool user = false) {
        cpu.set_cpu_type(type);
        for (uint32_t v = 0; v < 64; ++v) bus.poke_long(4 * v, 0x4000 + 16 * v);
        uint32_t a = kCode;
        for (uint16_t w : code) {
            bus.poke_word(a, w);
            a += 2;
        }
        cpu.pc = kCode;
        cpu.addr_regs[7] = kStack;
        cpu.sp_bank[kUspSlot] = kUserStack;
        if (user) {
            cpu.set_sr(0x0000);
        }
    }
    StepResult run() { return step(cpu, bus); }
};

// Outcome of one instruction: executed, privilege violation, or a status for the scheduler.
enum class Outcome { Executes, Privilege, Illegal, LineF };

Outcome outcome_of(Rig& r) {
    const StepResult s = r.run();
    if (s.status() == StepStatus::Illegal) return Outcome::Illegal;
    if (s.status() == StepStatus::LineF) return Outcome::LineF;
    if (r.cpu.vector_this_step == kVectorPrivilege) return Outcome::Privilege;
    return Outcome::Executes;
}

TEST(SystemControl, GatingPerTypeAndMode) {
    const struct {
        CpuType type;
        bool user;
        std::initializer_list<uint16_t> code;
        Outcome expected;
    } cases[] = {
        {CpuType::Scc68070, true, {0x40C0}, Outcome::Executes},          // MOVE SR,D0
        {CpuType::M68000, true, {0x40C0}, Outcome::Executes},
        {CpuType::M68010, true, {0x40C0}, Outcome::Privilege},
        {CpuType::M68020, true, {0x40C0}, Outcome::Privilege},
        {CpuType::M68010, true, {0x42C0}, Outcome::Executes},            // MOVE CCR,D0
        {CpuType::Scc68070, true, {0x46C0}, Outcome::Privilege},         // MOVE D0,SR
        {CpuType::M68000, true, {0x46D0}, Outcome::Privilege},           // MOVE (A0),SR, odd A0: 8, not 3
        {CpuType::M68000, true, {0x4E60}, Outcome::Privilege},           // MOVE A0,USP
        {CpuType::Scc68070, false, {0x4E7B, 0x1801}, Outcome::Executes}, // MOVEC D1,VBR
        {CpuType::Scc68070, false, {0x4E7B, 0x1002}, Outcome::Illegal},  // MOVEC D1,CACR
        {CpuType::Scc68070, true, {0x4E7B, 0x1002}, Outcome::Privilege}, // privilege first
        {CpuType::M68060, true, {0x4E7B, 0x1803}, Outcome::Illegal},     // MSP: validity first on 060
        {CpuType::M68060, true, {0x4E7B, 0x1801}, Outcome::Privilege},
        {CpuType::M68030, false, {0x4E7A, 0x1803}, Outcome::Executes},   // MOVEC MSP,D1
        {CpuType::M68040, false, {0xF4D8}, Outcome::Executes},           // CINVA IC/DC
        {CpuType::M68040, false, {0xF400}, Outcome::LineF},              // scope 0
        {CpuType::M68040, true, {0xF4D8}, Outcome::Privilege},
        {CpuType::M68040, true, {0xF518}, Outcome::Privilege},           // PFLUSHA
        {CpuType::M68060, false, {0x4AC8}, Outcome::Executes},           // HALT
        {CpuType::M68060, true, {0x4AC8}, Outcome::Privilege},
        {CpuType::M68060, true, {0x4ACC}, Outcome::Executes},            // PULSE
    };
    for (const auto& c : cases) {
        Rig r(c.type, c.code, c.user);
        r.cpu.addr_regs[0] = 0x2001;
        SCOPED_TRACE(testing::Message() << "type " << static_cast<int>(c.type) << " op " << std::hex << *c.code.begin()
                                        << (c.user ? " user" : " supervisor"));
        EXPECT_EQ(outcome_of(r), c.expected);
    }
}

// An exception taken inside the step is scaled like any count on the SCC68070: 34 becomes 22.
TEST(SystemControl, PrivilegeViolationCountsPerType) {
    Rig scc(CpuType::Scc68070, {0x46C0}, true);
    EXPECT_EQ(scc.run().cycles(), 22u);
    Rig m68k(CpuType::M68000, {0x46C0}, true);
    EXPECT_EQ(m68k.run().cycles(), 34u);
    EXPECT_EQ(m68k.bus.peek_long(m68k.cpu.addr_regs[7] + 2), kCode) << "stacked PC at the instruction";
}

TEST(SystemControl, MoveFromSrKeepsTheUpperWordAndCounts) {
    Rig r(CpuType::Scc68070, {0x40C0}, true);
    r.cpu.data_regs[0] = 0xABCD0000;
    r.cpu.set_ccr(0x1F);
    const StepResult s = r.run();
    EXPECT_EQ(s.cycles(), 3u);  // 4 scaled
    EXPECT_EQ(r.cpu.data_regs[0], 0xABCD001Fu);

    Rig mem(CpuType::M68000, {0x40D0});  // MOVE SR,(A0): read, then write
    mem.cpu.addr_regs[0] = 0x2000;
    mem.bus.events.clear();
    EXPECT_EQ(mem.run().cycles(), 12u);
    EXPECT_EQ(mem.bus.peek_word(0x2000), 0x2700);
    std::vector<test::Access> at_operand;
    for (const auto& e : mem.bus.events) {
        if (e.address == 0x2000) at_operand.push_back(e.kind);
    }
    EXPECT_EQ(at_operand, (std::vector<test::Access>{test::Access::ReadWord, test::Access::WriteWord}));
}

TEST(SystemControl, MoveToSrSwitchesStacksAndMasks) {
    Rig r(CpuType::Scc68070, {0x46FC, 0xFFFF - 0x2000 - 0x4000});  // MOVE #imm,SR with S and T0 clear
    EXPECT_EQ(r.run().cycles(), 8u);                                // 12 scaled
    EXPECT_EQ(r.cpu.get_sr(), 0xFFFF & 0xA71F & ~0x2000);
    EXPECT_EQ(r.cpu.addr_regs[7], kUserStack);
    EXPECT_EQ(r.cpu.sp_bank[kIspSlot], kStack);

    Rig ccr(CpuType::M68000, {0x44FC, 0xFFE0});  // MOVE #0xFFE0,CCR: only X N Z V C
    EXPECT_EQ(ccr.run().cycles(), 16u);
    EXPECT_EQ(ccr.cpu.get_sr(), 0x2700);
}

TEST(SystemControl, UspMovesLeaveA7) {
    Rig r(CpuType::M68000, {0x4E60, 0x4E69});  // MOVE A0,USP ; MOVE USP,A1
    r.cpu.addr_regs[0] = 0x12345678;
    EXPECT_EQ(r.run().cycles(), 4u);
    EXPECT_EQ(r.cpu.sp_bank[kUspSlot], 0x12345678u);
    EXPECT_EQ(r.cpu.addr_regs[7], kStack);
    r.run();
    EXPECT_EQ(r.cpu.addr_regs[1], 0x12345678u);
    Rig r10(CpuType::M68010, {0x4E60});
    EXPECT_EQ(r10.run().cycles(), 6u);
}

TEST(SystemControl, MovecReadsAndWritesWholeRegisters) {
    Rig r(CpuType::M68010, {0x4E7B, 0x9801, 0x4E7A, 0x2801});  // MOVEC A1,VBR ; MOVEC VBR,D2
    r.cpu.addr_regs[1] = 0x00ABCDEF;
    EXPECT_EQ(r.run().cycles(), 12u);
    EXPECT_EQ(r.cpu.vbr, 0x00ABCDEFu);
    r.run();
    EXPECT_EQ(r.cpu.data_regs[2], 0x00ABCDEFu);
}

TEST(SystemControl, PtestAndPlpaWithoutTranslation) {
    Rig t(CpuType::M68040, {0xF568});  // PTESTR (A0)
    t.cpu.addr_regs[0] = 0x12345678;
    t.run();
    EXPECT_EQ(t.cpu.mmusr, 0x12345001u);
    EXPECT_FALSE(t.cpu.alt_fc_access);

    Rig p(CpuType::M68060, {0xF5C8});  // PLPAR (A0)
    p.cpu.addr_regs[0] = 0x12345678;
    p.run();
    EXPECT_EQ(p.cpu.addr_regs[0], 0x12345678u);
    EXPECT_FALSE(p.cpu.vector_this_step.has_value());
}

}  // namespace
}  // namespace m68k
