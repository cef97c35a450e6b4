// CPU state: types, reset, the split SR with its stack switching, MOVEC's register file.
#include <gtest/gtest.h>

#include "m68k/cpu.hpp"

namespace m68k {
namespace {

TEST(CpuState, FreshCpuIsSupervisorWithMask7) {
    Cpu cpu;
    EXPECT_EQ(cpu.get_sr(), 0x2700);
    EXPECT_EQ(cpu.cpu_type, CpuType::M68000);
    EXPECT_EQ(cpu.pcr, 0x04300100u);
    EXPECT_EQ(cpu.reset_cycles, 132u);
    EXPECT_EQ(cpu.mmu_fault_status, 0xFF);
    EXPECT_TRUE(cpu.fpu_null_state);
    EXPECT_NE(cpu.decode_table, nullptr);
}

struct TypeCase {
    CpuType type;
    uint32_t addr_mask;
    uint32_t sr_mask;
    bool mmu;
    bool m68000_class;
};

constexpr TypeCase kTypes[] = {
    {CpuType::M68000, 0x00FFFFFF, 0xA71F, false, true},    {CpuType::M68010, 0x00FFFFFF, 0xA71F, false, true},
    {CpuType::M68EC020, 0xFFFFFFFF, 0xF71F, false, false}, {CpuType::M68020, 0xFFFFFFFF, 0xF71F, false, false},
    {CpuType::M68EC030, 0xFFFFFFFF, 0xF71F, false, false}, {CpuType::M68030, 0xFFFFFFFF, 0xF71F, true, false},
    {CpuType::M68EC040, 0xFFFFFFFF, 0xF71F, false, false}, {CpuType::M68LC040, 0xFFFFFFFF, 0xF71F, false, false},
    {CpuType::M68040, 0xFFFFFFFF, 0xF71F, true, false},    {CpuType::Scc68070, 0xFFFFFFFF, 0xA71F, false, true},
    {CpuType::M68060, 0xFFFFFFFF, 0xB71F, true, false},
};

// Reset of every type: SR 0x2704, A7 from the ISP, control registers cleared, the
// programmer's registers and PC kept.
TEST(CpuState, ResetOfEachType) {
    for (const auto& c : kTypes) {
        SCOPED_TRACE(static_cast<int>(c.type));
        Cpu cpu;
        cpu.set_cpu_type(c.type);
        EXPECT_EQ(cpu.addr_mask, c.addr_mask);
        EXPECT_EQ(cpu.sr_mask, c.sr_mask);
        EXPECT_EQ(cpu.mmu_present, c.mmu);
        EXPECT_EQ(cpu.m68000_class, c.m68000_class);
        cpu.data_regs[3] = 0x33333333;
        cpu.addr_regs[2] = 0x22222222;
        cpu.pc = 0x1234;
        cpu.sfc = 5;
        cpu.pending_level = 3;
        cpu.addr_regs[7] = 0x8000;  // the live ISP
        cpu.set_sr(0x0015);  // user mode: A7 = USP
        cpu.addr_regs[7] = 0x7000;
        cpu.vbr = 0x400;
        cpu.cacr = 1;
        cpu.tc = 0x8000;
        cpu.mmu_enabled = true;
        cpu.stopped = 1;
        cpu.aborted = 1;
        cpu.prefetch_count = 2;
        cpu.atc[5].valid = 1;
        cpu.branch_cache.state[9] = 7;
        cpu.reset();
        EXPECT_EQ(cpu.get_sr(), 0x2704);
        EXPECT_EQ(cpu.addr_regs[7], 0x8000u);
        EXPECT_EQ(cpu.sp_bank[kUspSlot], 0x7000u) << "the user stack is saved";
        EXPECT_EQ(cpu.data_regs[3], 0x33333333u);
        EXPECT_EQ(cpu.addr_regs[2], 0x22222222u);
        EXPECT_EQ(cpu.pc, 0x1234u);
        EXPECT_EQ(cpu.sfc, 5u);
        EXPECT_EQ(cpu.pending_level, 3u);
        EXPECT_EQ(cpu.vbr, 0u);
        EXPECT_EQ(cpu.cacr, 0u);
        EXPECT_EQ(cpu.tc, 0u);
        EXPECT_FALSE(cpu.mmu_enabled);
        EXPECT_EQ(cpu.stopped, 0u);
        EXPECT_EQ(cpu.aborted, 0u);
        EXPECT_EQ(cpu.prefetch_count, 0);
        EXPECT_EQ(cpu.atc[5].valid, 0);
        EXPECT_EQ(cpu.branch_cache.state[9], 0);
        EXPECT_EQ(cpu.pcr, 0x04300100u);
    }
}

TEST(CpuState, SrMasksAndStackSwitch) {
    struct Case {
        CpuType type;
        uint16_t value;
        uint16_t sr;
        int slot;  // live stack after the write
    };
    const Case cases[] = {
        {CpuType::M68000, 0x3000, 0x2000, kIspSlot},    // no M on the 68000 class
        {CpuType::Scc68070, 0x3000, 0x2000, kIspSlot},
        {CpuType::Scc68070, 0x4000, 0x0000, kUspSlot},  // no T0 either
        {CpuType::M68020, 0x3000, 0x3000, kMspSlot},
        {CpuType::M68020, 0x1000, 0x0000, kUspSlot},    // M without S is dropped
        {CpuType::M68060, 0x3000, 0x3000, kIspSlot},    // M kept but never selects the MSP
        {CpuType::M68020, 0xFFFF, 0xF71F, kMspSlot},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.type) << " " << std::hex << c.value);
        Cpu cpu;
        cpu.set_cpu_type(c.type);
        cpu.sp_bank = {0x100, 0, 0, 0, 0x400, 0, 0x600, 0};
        cpu.addr_regs[7] = 0x444;  // the live ISP
        const uint32_t a7 = cpu.set_sr(c.value);
        EXPECT_EQ(cpu.get_sr(), c.sr);
        EXPECT_EQ(cpu.stack_slot(), c.slot);
        EXPECT_EQ(a7, cpu.addr_regs[7]);
        EXPECT_EQ(cpu.sp_bank[kIspSlot], 0x444u) << "the old stack is written back";
        if (c.slot != kIspSlot) {
            EXPECT_EQ(a7, cpu.sp_bank[c.slot]);
        }
    }
}

TEST(CpuState, SupervisorToUserAndBack) {
    Cpu cpu;
    cpu.set_cpu_type(CpuType::Scc68070);
    cpu.addr_regs[7] = 0x8000;
    cpu.sp_bank[kUspSlot] = 0x4000;
    EXPECT_EQ(cpu.set_sr(0x0000), 0x4000u);
    EXPECT_EQ(cpu.sp_bank[kIspSlot], 0x8000u);
    cpu.addr_regs[7] = 0x3FFC;
    EXPECT_EQ(cpu.set_sr(0x2700), 0x8000u);
    EXPECT_EQ(cpu.sp_bank[kUspSlot], 0x3FFCu);
}

TEST(CpuState, CcrAndSetSrFlagsDoNotSwitchStacks) {
    Cpu cpu;
    cpu.addr_regs[7] = 0x1000;
    cpu.set_sr_flags(0x001F);
    EXPECT_EQ(cpu.addr_regs[7], 0x1000u);
    EXPECT_EQ(cpu.get_sr(), 0x001F);
    EXPECT_EQ(cpu.get_ccr(), 0x1F);
    cpu.set_ccr(0x04);
    EXPECT_EQ(cpu.flag_not_z, 0u);
    EXPECT_EQ(cpu.get_ccr(), 0x04);
    // Readers look only at the flag bits: junk elsewhere is ignored.
    cpu.flag_c = 0xFEFF;
    cpu.flag_n = 0xFF7F;
    cpu.flag_not_z = 0x1234;
    EXPECT_EQ(cpu.get_ccr(), 0x00);
}

TEST(CpuState, StopLoadsSrAndStops) {
    Cpu cpu;
    cpu.stop_with_sr(0x2000);
    EXPECT_EQ(cpu.stopped, 1u);
    EXPECT_EQ(cpu.get_sr(), 0x2000);
}

TEST(CpuState, MovecRegisterFile) {
    struct Valid {
        CpuType type;
        uint16_t code;
        bool valid;
    };
    const Valid valid[] = {
        {CpuType::Scc68070, 0x801, true},  {CpuType::Scc68070, 0x002, false}, {CpuType::M68000, 0x801, false},
        {CpuType::M68010, 0x800, true},    {CpuType::M68020, 0x802, true},    {CpuType::M68040, 0x802, false},
        {CpuType::M68060, 0x803, false},   {CpuType::M68060, 0x808, true},    {CpuType::M68EC040, 0x003, false},
        {CpuType::M68LC040, 0x805, true},  {CpuType::M68030, 0x004, false},   {CpuType::M68EC040, 0x004, true},
    };
    for (const auto& v : valid) {
        EXPECT_EQ(movec_register_valid(v.type, v.code), v.valid) << static_cast<int>(v.type) << " " << v.code;
    }

    Cpu scc;
    scc.set_cpu_type(CpuType::Scc68070);
    scc.movec_write(0x801, 0x12345);
    EXPECT_EQ(scc.vbr, 0x12345u);
    EXPECT_EQ(scc.movec_read(0x801), 0x12345u);

    Cpu c020;
    c020.set_cpu_type(CpuType::M68020);
    c020.movec_write(0x002, 0xF);
    EXPECT_EQ(c020.cacr, 0x3u);

    Cpu c060;
    c060.set_cpu_type(CpuType::M68060);
    c060.cacr = 0x800000;
    c060.branch_cache.state.fill(5);
    c060.movec_write(0x002, 0);  // branch cache switched off: emptied
    EXPECT_EQ(c060.branch_cache.state[100], 0);

    Cpu c040;
    c040.set_cpu_type(CpuType::M68040);
    c040.atc[1].valid = 1;
    c040.movec_write(0x805, 1);  // MMUSR does not flush
    EXPECT_EQ(c040.atc[1].valid, 1);
    c040.movec_write(0x806, 0x1000);  // URP does
    EXPECT_EQ(c040.atc[1].valid, 0);

    // The live stack pointer is A7, the others are in the bank.
    Cpu s;
    s.set_cpu_type(CpuType::M68010);
    s.addr_regs[7] = 0x9000;
    s.sp_bank[kUspSlot] = 0x5000;
    EXPECT_EQ(s.movec_read(0x800), 0x5000u);
    s.movec_write(0x800, 0x5100);
    EXPECT_EQ(s.sp_bank[kUspSlot], 0x5100u);
    EXPECT_EQ(s.addr_regs[7], 0x9000u);
}

// The saved start-of-instruction SR reads back as the SR it was saved from, for every value
// the types can hold, and a 16-bit store into it reads back the same way.
TEST(CpuState, StartStatusKeepsTheWholeSr) {
    Cpu cpu;
    cpu.set_cpu_type(CpuType::M68020);  // the widest SR mask: T1, T0, S, M, mask, CCR
    for (uint32_t v = 0; v < 0x10000; ++v) {
        const uint16_t sr = static_cast<uint16_t>(v & 0xF71F);
        if ((sr & 0x3000) == 0x1000) continue;  // M without S is not a state
        cpu.set_sr_flags(sr);
        cpu.data_regs[3] = v;
        cpu.addr_regs[7] = ~v;
        cpu.save_instruction_start();
        ASSERT_EQ(static_cast<uint16_t>(cpu.sr_at_start), sr);
        ASSERT_EQ(cpu.insn_snapshot[3], v);
        ASSERT_EQ(cpu.insn_snapshot[15], ~v);
        StartStatus stored;
        stored = sr;
        ASSERT_EQ(static_cast<uint16_t>(stored), sr);
    }
}

}  // namespace
}  // namespace m68k
