// Data movement on the types the 68000 vectors do not cover: the SCC68070 main road and the
// 68020+ forms.
#include <gtest/gtest.h>

#include <initializer_list>

#include "m68k/cpu.hpp"
#include "support/test_bus.hpp"

namespace m68k {
namespace {

constexpr uint32_t kCode = 0x1000;

struct Rig {
    Cpu cpu;
    test::TestBus bus;
    explicit Rig(CpuType type, std::initializer_list<uint16_t> words) {
        cpu.set_cpu_type(type);
        uint32_t a = kCode;
        for (uint16_t w : words) {
            bus.poke_word(a, w);
            a += 2;
        }
        cpu.pc = kCode;
        cpu.addr_regs[7] = 0x8000;
    }
    StepResult run() {
        bus.events.clear();
        return step(cpu, bus);
    }
};

// MOVE.L D0,-(A1): one long write on the SCC68070 (the 68000's word order is a vector matter).
TEST(DataMovement, MoveLongPredecrementIsOneWriteOnScc68070) {
    Rig r(CpuType::Scc68070, {0x2300});
    r.cpu.data_regs[0] = 0x80001234;
    r.cpu.addr_regs[1] = 0x3004;
    const StepResult s = r.run();
    EXPECT_EQ(s.status(), StepStatus::Ok);
    EXPECT_EQ(r.cpu.addr_regs[1], 0x3000u);
    EXPECT_EQ(r.bus.peek_long(0x3000), 0x80001234u);
    int long_writes = 0;
    for (const auto& e : r.bus.events) long_writes += e.kind == test::Access::WriteLong;
    EXPECT_EQ(long_writes, 1);
    EXPECT_NE(r.cpu.flag_n, 0u);
    EXPECT_EQ(r.cpu.get_ccr() & 0x0F, 0x08);
}

// Flat counts of the non-68000 types, after the SCC68070 scaling.
TEST(DataMovement, Scc68070MoveCounts) {
    struct Case { uint16_t opcode; uint32_t cycles; };
    const Case cases[] = {
        {0x3200, 2},  // MOVE.W D0,D1: 2 -> 2
        {0x2290, 9},  // MOVE.L (A0),(A1): 13 -> 9
        {0x1290, 6},  // MOVE.B (A0),(A1): 9 -> 6
        {0x3248, 3},  // MOVEA.W A0,A1: 4 -> 3
    };
    for (const auto& c : cases) {
        Rig r(CpuType::Scc68070, {c.opcode});
        r.cpu.addr_regs[0] = 0x3000;
        r.cpu.addr_regs[1] = 0x3100;
        EXPECT_EQ(r.run().cycles(), c.cycles) << std::hex << c.opcode;
    }
}

TEST(DataMovement, IllegalMoveForms) {
    // MOVE.B A0,D1; MOVE.W D0,(d16,PC) as destination; MOVE.W from mode 7 register 5; MOVEA.B.
    for (uint16_t op : {0x1208, 0x35C0, 0x303D, 0x1240}) {
        Rig r(CpuType::Scc68070, {op});
        EXPECT_EQ(r.run().status(), StepStatus::Illegal) << std::hex << op;
    }
}

// MOVEM.W A7 in the list with -(A7): the 68000 class stores the start value, the 68020 less 2.
TEST(DataMovement, MovemPredecrementStoresStackPointerByType) {
    for (CpuType t : {CpuType::Scc68070, CpuType::M68020}) {
        Rig r(t, {0x48A7, 0x0001});  // MOVEM.W A7,-(A7)
        r.run();
        EXPECT_EQ(r.cpu.addr_regs[7], 0x7FFEu);
        EXPECT_EQ(r.bus.peek_word(0x7FFE), t == CpuType::Scc68070 ? 0x8000 : 0x7FFE);
    }
}

TEST(DataMovement, MovemLoads) {
    // MOVEM.L (A0)+,D0/A0: A0 ends at the final address, not the loaded long.
    Rig r(CpuType::Scc68070, {0x4CD8, 0x0101});
    r.cpu.addr_regs[0] = 0x3000;
    r.bus.poke_long(0x3000, 0x11111111);
    r.bus.poke_long(0x3004, 0x22222222);
    r.run();
    EXPECT_EQ(r.cpu.data_regs[0], 0x11111111u);
    EXPECT_EQ(r.cpu.addr_regs[0], 0x3008u);

    // MOVEM.W (A0),D0 sign-extends; the M68000 reads one more word after the list.
    Rig w(CpuType::M68000, {0x4C90, 0x0001});
    w.cpu.addr_regs[0] = 0x3000;
    w.bus.poke_word(0x3000, 0x8001);
    w.run();
    EXPECT_EQ(w.cpu.data_regs[0], 0xFFFF8001u);
    bool extra = false;
    for (const auto& e : w.bus.events) extra |= e.kind == test::Access::ReadWord && e.address == 0x3002;
    EXPECT_TRUE(extra);
}

TEST(DataMovement, LinkA7ByType) {
    for (CpuType t : {CpuType::Scc68070, CpuType::M68040}) {
        Rig r(t, {0x4E57, 0xFFF8});  // LINK A7,#-8
        r.run();
        EXPECT_EQ(r.bus.peek_long(0x7FFC), t == CpuType::M68040 ? 0x7FFCu : 0x8000u);
        EXPECT_EQ(r.cpu.addr_regs[7], 0x7FF4u);
    }
    // LINK.L (68020 class) fetches its 32-bit displacement after the push.
    Rig l(CpuType::M68020, {0x480E, 0xFFFF, 0xFF00});  // LINK.L A6,#-256
    l.cpu.addr_regs[6] = 0x12345678;
    l.run();
    EXPECT_EQ(l.bus.peek_long(0x7FFC), 0x12345678u);
    EXPECT_EQ(l.cpu.addr_regs[6], 0x7FFCu);
    EXPECT_EQ(l.cpu.addr_regs[7], 0x7FFCu - 256);
    EXPECT_EQ(l.cpu.pc, kCode + 6);
}

TEST(DataMovement, UnlkA7TakesTheLongRead) {
    Rig r(CpuType::Scc68070, {0x4E5F});
    r.bus.poke_long(0x8000, 0x00ABCDE0);
    r.run();
    EXPECT_EQ(r.cpu.addr_regs[7], 0x00ABCDE0u);
}

// MOVES An,(An)+: SCC68070 stores the start value for long only; the M68060 for every size.
TEST(DataMovement, MovesAddressRegisterPostIncrement) {
    struct Case { CpuType type; uint16_t opcode; uint32_t stored; };
    const Case cases[] = {
        {CpuType::Scc68070, 0x0E98, 0x3000},  // MOVES.L A0,(A0)+
        {CpuType::Scc68070, 0x0E58, 0x3002},  // MOVES.W A0,(A0)+
        {CpuType::M68060, 0x0E58, 0x3000},
        {CpuType::M68020, 0x0E98, 0x3004},
    };
    for (const auto& c : cases) {
        Rig r(c.type, {c.opcode, 0x8800});
        r.cpu.addr_regs[0] = 0x3000;
        r.run();
        const uint32_t got = (c.opcode & 0x80) ? r.bus.peek_long(0x3000) : r.bus.peek_word(0x3000);
        EXPECT_EQ(got, c.stored & ((c.opcode & 0x80) ? 0xFFFFFFFFu : 0xFFFFu));
    }
    // Without S: privilege violation, nothing written.
    Rig u(CpuType::Scc68070, {0x0E98, 0x8800});
    u.cpu.set_sr(0x0000);
    u.cpu.addr_regs[0] = 0x3000;
    u.bus.poke_long(8 * 4, 0x5000);
    u.run();
    EXPECT_EQ(u.cpu.pc, 0x5000u);
    EXPECT_EQ(u.bus.peek_long(0x3000), 0u);
}

TEST(DataMovement, Move16Forms) {
    Rig r(CpuType::M68040, {0xF620, 0x0000});  // MOVE16 (A0)+,(A0)+
    r.cpu.addr_regs[0] = 0x3008;                // low 4 bits ignored for the transfer
    for (uint32_t i = 0; i < 4; ++i) r.bus.poke_long(0x3000 + 4 * i, 0x01010101u * (i + 1));
    r.run();
    EXPECT_EQ(r.cpu.addr_regs[0], 0x3018u);
    EXPECT_EQ(r.bus.peek_long(0x300C), 0x04040404u);
    EXPECT_EQ(r.cpu.pc, kCode + 4) << "one extension word, no absolute address";

    Rig two(CpuType::M68040, {0xF621, 0x2000});  // MOVE16 (A1)+,(A2)+
    two.cpu.addr_regs[1] = 0x3000;
    two.cpu.addr_regs[2] = 0x4005;
    for (uint32_t i = 0; i < 4; ++i) two.bus.poke_long(0x3000 + 4 * i, 0x11111111u * (i + 1));
    two.run();
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(two.bus.peek_long(0x4000 + 4 * i), 0x11111111u * (i + 1));
    EXPECT_EQ(two.cpu.addr_regs[1], 0x3010u);
    EXPECT_EQ(two.cpu.addr_regs[2], 0x4015u);

    Rig a(CpuType::M68040, {0xF608, 0x0000, 0x4000});  // MOVE16 (0x4000).L,(A0)+
    a.cpu.addr_regs[0] = 0x3000;
    a.bus.poke_long(0x4004, 0xCAFEF00D);
    a.run();
    EXPECT_EQ(a.bus.peek_long(0x3004), 0xCAFEF00Du);
    EXPECT_EQ(a.cpu.addr_regs[0], 0x3010u);
}

TEST(DataMovement, LeaPeaSwapExgOnScc68070) {
    Rig r(CpuType::Scc68070, {0x43E8, 0x0010, 0x4868, 0xFFFE, 0x4840, 0xC189});
    // LEA (16,A0),A1; PEA (-2,A0); SWAP D0; EXG D0,A1
    r.cpu.addr_regs[0] = 0x3000;
    r.cpu.data_regs[0] = 0x12345678;
    EXPECT_EQ(r.run().cycles(), 5u);  // LEA (d16,An): 8 -> 5
    EXPECT_EQ(r.cpu.addr_regs[1], 0x3010u);
    EXPECT_EQ(r.run().cycles(), 8u);  // PEA: 12 -> 8
    EXPECT_EQ(r.bus.peek_long(0x7FFC), 0x2FFEu);
    r.run();
    EXPECT_EQ(r.cpu.data_regs[0], 0x56781234u);
    EXPECT_EQ(r.run().cycles(), 4u);  // EXG: 6 -> 4
    EXPECT_EQ(r.cpu.addr_regs[1], 0x56781234u);
    EXPECT_EQ(r.cpu.data_regs[0], 0x3010u);
}

}  // namespace
}  // namespace m68k

namespace m68k {
namespace {

TEST(DataMovement, M68010MovesCounts) {
    struct Case { uint16_t opcode; uint16_t ext; uint32_t cycles; };
    const Case cases[] = {
        {0x0E90, 0x8800, 22},  // MOVES.L A0,(A0): 18 + 4
        {0x0E58, 0x0800, 20},  // MOVES.W D0,(A0)+
        {0x0E79, 0x0000, 24},  // MOVES.W (xxx).L,D0
    };
    for (const auto& c : cases) {
        Rig r(CpuType::M68010, {c.opcode, c.ext, 0x0000, 0x3000});
        r.cpu.addr_regs[0] = 0x3000;
        EXPECT_EQ(r.run().cycles(), c.cycles) << std::hex << c.opcode;
    }
}

}  // namespace
}  // namespace m68k
