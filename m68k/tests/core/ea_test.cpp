// Memory access and effective addresses, with a recording bus.
#include <gtest/gtest.h>

#include "core/ea.hpp"
#include "core/prefetch.hpp"
#include "m68k/cpu.hpp"
#include "support/test_bus.hpp"

namespace m68k {
namespace {

using test::Access;
using test::BusEvent;

struct Rig {
    explicit Rig(CpuType type) {
        cpu.set_cpu_type(type);
        cpu.addr_regs[7] = 0x8000;
        for (uint32_t v = 0; v < 256; ++v) bus.poke_long(4 * v, 0x3000);
    }
    Cpu cpu;
    test::TestBus bus;
};

TEST(Ea, OddAddressRuleOfThe68000Class) {
    Rig scc(CpuType::Scc68070);
    scc.bus.events.clear();
    EXPECT_EQ(read_data_word(scc.cpu, scc.bus, 0x2001), 0u);
    EXPECT_EQ(scc.cpu.aborted, 1u);
    for (const auto& e : scc.bus.events) EXPECT_NE(e.address, 0x2001u) << "no access at the odd address";

    Rig byte(CpuType::Scc68070);
    byte.bus.events.clear();
    read_data_byte(byte.cpu, byte.bus, 0x2001);
    EXPECT_EQ(byte.bus.events, (std::vector<BusEvent>{{Access::ReadByte, 0x2001, 0}}));

    Rig c020(CpuType::M68020);
    c020.bus.events.clear();
    read_data_word(c020.cpu, c020.bus, 0x2001);
    EXPECT_EQ(c020.bus.events, (std::vector<BusEvent>{{Access::ReadWord, 0x2001, 0}}));
    EXPECT_EQ(c020.cpu.aborted, 0u);
}

TEST(Ea, AbortSilencesTheRestOfTheInstruction) {
    Rig r(CpuType::Scc68070);
    r.cpu.aborted = 1;
    r.cpu.addr_regs[3] = 0x2000;
    r.bus.events.clear();
    EXPECT_EQ(read_data_long(r.cpu, r.bus, 0x2000), 0u);
    write_data_word(r.cpu, r.bus, 0x2000, 1);
    const Operand op = compute_ea(r.cpu, r.bus, static_cast<uint8_t>(EaKind::PostInc), 3, kSizeLong);
    EXPECT_EQ(op.tag, OperandTag::Memory);
    EXPECT_EQ(op.value, 0u);
    EXPECT_EQ(r.cpu.addr_regs[3], 0x2000u) << "no increment";
    EXPECT_TRUE(r.bus.events.empty());
}

TEST(Ea, LongWritePaths) {
    Rig via_ea(CpuType::Scc68070);
    via_ea.cpu.addr_regs[0] = 0x2000;
    via_ea.bus.events.clear();
    write_ea(via_ea.cpu, via_ea.bus, static_cast<uint8_t>(EaKind::Indirect), 0, kSizeLong, 0x11223344);
    EXPECT_EQ(via_ea.bus.events, (std::vector<BusEvent>{{Access::WriteLong, 0x2000, 0x11223344}}));

    Rig via_operand(CpuType::Scc68070);
    via_operand.bus.events.clear();
    write_operand(via_operand.cpu, via_operand.bus, Operand{OperandTag::Memory, 0, 0x2000}, kSizeLong, 0x11223344);
    EXPECT_EQ(via_operand.bus.events,
              (std::vector<BusEvent>{{Access::WriteWord, 0x2002, 0x3344}, {Access::WriteWord, 0x2000, 0x1122}}));

    Rig c020(CpuType::M68020);
    c020.bus.events.clear();
    write_operand(c020.cpu, c020.bus, Operand{OperandTag::Memory, 0, 0x2000}, kSizeLong, 0x11223344);
    EXPECT_EQ(c020.bus.events, (std::vector<BusEvent>{{Access::WriteLong, 0x2000, 0x11223344}}));

    Rig sized(CpuType::Scc68070);
    sized.bus.events.clear();
    write_memory_sized(sized.cpu, sized.bus, 0x2000, kSizeLong, 0x11223344);
    EXPECT_EQ(sized.bus.events,
              (std::vector<BusEvent>{{Access::WriteWord, 0x2000, 0x1122}, {Access::WriteWord, 0x2002, 0x3344}}));
}

TEST(Ea, ModesAndSteps) {
    struct Case {
        EaKind kind;
        uint8_t reg;
        uint8_t size;
        uint32_t address;   // resolved
        uint32_t an_after;  // of the register (A7 for reg 7)
    };
    const Case cases[] = {
        {EaKind::PostInc, 7, kSizeByte, 0x4000, 0x4002},  // A7 keeps word alignment
        {EaKind::PostInc, 3, kSizeByte, 0x4000, 0x4001},
        {EaKind::PreDec, 7, kSizeByte, 0x3FFE, 0x3FFE},
        {EaKind::PreDec, 3, kSizeLong, 0x3FFC, 0x3FFC},
        {EaKind::Disp16, 3, kSizeWord, 0x4000 - 2, 0x4000},  // extension word 0xFFFE
        {EaKind::PcDisp16, 0, kSizeWord, 0x1002 - 2, 0},     // base = the extension word's address
        {EaKind::AbsWord, 0, kSizeWord, 0xFFFFFFFE, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        Rig r(CpuType::Scc68070);
        r.cpu.addr_regs[3] = 0x4000;
        r.cpu.addr_regs[7] = 0x4000;
        r.cpu.pc = 0x1002;
        r.bus.poke_word(0x1002, 0xFFFE);
        const Operand op = compute_ea(r.cpu, r.bus, static_cast<uint8_t>(c.kind), c.reg, c.size);
        EXPECT_EQ(op.value, c.address);
        if (c.kind != EaKind::PcDisp16 && c.kind != EaKind::AbsWord) {
            EXPECT_EQ(r.cpu.addr_regs[c.reg], c.an_after);
        }
    }
}

TEST(Ea, IndexedExtensionWords) {
    // Brief format: d8 + Xn.W, no scale on the 68000 class; full format only on the 68020 class.
    Rig m0(CpuType::M68000);
    m0.cpu.data_regs[2] = 0x00010004;  // word index 4
    EXPECT_EQ(compute_indexed_ea(m0.cpu, m0.bus, 0x1000, 0x2610), 0x1000u + 0x10 + 4) << "scale bits ignored";
    EXPECT_EQ(compute_indexed_ea(m0.cpu, m0.bus, 0x1000, 0x2910), 0x1000u + 0x10 + 0x10004)
        << "long index; bit 8 (full format) ignored";

    Rig c020(CpuType::M68020);
    c020.cpu.data_regs[2] = 4;
    EXPECT_EQ(compute_indexed_ea(c020.cpu, c020.bus, 0x1000, 0x2210), 0x1000u + 0x10 + 8) << "scale 2";
    // Full format, base displacement word 0x0100, no memory indirection.
    c020.cpu.pc = 0x2000;
    c020.bus.poke_word(0x2000, 0x0100);
    EXPECT_EQ(compute_indexed_ea(c020.cpu, c020.bus, 0x1000, 0x2120), 0x1000u + 0x100 + 4);
    EXPECT_EQ(c020.cpu.pc, 0x2002u);
}

TEST(Ea, LongReadWrapsOn32BitTypes) {
    Rig r(CpuType::M68020);
    r.bus.events.clear();
    read_data_long(r.cpu, r.bus, 0xFFFFFFFE);
    EXPECT_EQ(r.bus.events, (std::vector<BusEvent>{{Access::ReadWord, 0xFFFFFFFE, r.bus.peek_word(0xFFFFFE)},
                                                   {Access::ReadWord, 0x00000000, r.bus.peek_word(0)}}));
}

TEST(Ea, ReadLatchAndSkippedWriteAreOneShot) {
    Rig r(CpuType::Scc68070);
    r.bus.poke_word(0x2000, 0x1111);
    r.cpu.read_latch = ReadLatch{0x2000, 0xABCD1234};
    r.bus.events.clear();
    EXPECT_EQ(read_data_word(r.cpu, r.bus, 0x2000), 0x1234u);
    EXPECT_TRUE(r.bus.events.empty());
    EXPECT_EQ(read_data_word(r.cpu, r.bus, 0x2000), 0x1111u);
    r.cpu.skip_write_addr = 0x2000;
    write_data_word(r.cpu, r.bus, 0x2000, 0x2222);
    EXPECT_EQ(r.bus.peek_word(0x2000), 0x1111);
    write_data_word(r.cpu, r.bus, 0x2000, 0x2222);
    EXPECT_EQ(r.bus.peek_word(0x2000), 0x2222);
    EXPECT_EQ(r.cpu.last_write_data, 0x2222u);
}

TEST(Ea, RegisterOperands) {
    Rig r(CpuType::Scc68070);
    r.cpu.data_regs[1] = 0x11223344;
    write_operand(r.cpu, r.bus, Operand{OperandTag::DataReg, 1, 0}, kSizeByte, 0xFFFFFFAA);
    EXPECT_EQ(r.cpu.data_regs[1], 0x112233AAu);
    write_operand(r.cpu, r.bus, Operand{OperandTag::AddrReg, 1, 0}, kSizeWord, 0xFFFF8000);
    EXPECT_EQ(r.cpu.addr_regs[1], 0xFFFF8000u) << "An takes all 32 bits";
    r.cpu.addr_regs[2] = 0x12345678;
    EXPECT_EQ(read_operand(r.cpu, r.bus, Operand{OperandTag::AddrReg, 2, 0}, kSizeWord), 0x5678u);
}

TEST(Prefetch, OnlyTheQueueTypesPrefetch) {
    // M68000: NOP from a full queue reads exactly one word, at the new PC + 2.
    Rig m0(CpuType::M68000);
    m0.cpu.pc = 0x1000;
    m0.cpu.prefetch_queue = {0x4E71, 0x4E71};
    m0.cpu.prefetch_count = 2;
    m0.bus.events.clear();
    EXPECT_EQ(step(m0.cpu, m0.bus), StepResult::ok(4));
    EXPECT_EQ(m0.bus.events, (std::vector<BusEvent>{{Access::ReadWord, 0x1004, 0}}));
    EXPECT_EQ(m0.cpu.pc, 0x1002u);

    // SCC68070: every instruction word is read once, on demand.
    Rig scc(CpuType::Scc68070);
    scc.cpu.pc = 0x1000;
    scc.bus.poke_word(0x1000, 0x4E71);
    scc.bus.events.clear();
    step(scc.cpu, scc.bus);
    EXPECT_EQ(scc.bus.events, (std::vector<BusEvent>{{Access::ReadWord, 0x1000, 0x4E71}}));
    prefetch_fill(scc.cpu, scc.bus);
    prefetch_fill_first(scc.cpu, scc.bus);
    EXPECT_EQ(scc.bus.events.size(), 1u);
}

}  // namespace
}  // namespace m68k
