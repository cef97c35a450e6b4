// ABCD, SBCD, NBCD (decimal results, X/C, sticky Z, N and V per type) and PACK/UNPK.
#include <gtest/gtest.h>

#include <initializer_list>

#include "core/instructions/bcd.hpp"
#include "m68k/cpu.hpp"
#include "support/test_bus.hpp"

namespace m68k {
namespace {

constexpr uint32_t kCode = 0x1000;

uint32_t to_bcd(uint32_t n) { return ((n / 10) << 4) | (n % 10); }

Cpu cpu_of(CpuType t, bool x) {
    Cpu cpu;
    cpu.set_cpu_type(t);
    cpu.flag_x = x ? 0x100 : 0;
    return cpu;
}

// Every pair of valid BCD bytes against decimal arithmetic on the host.
TEST(Bcd, ValidDigitsAgreeWithDecimalArithmetic) {
    for (uint32_t s = 0; s < 100; ++s) {
        for (uint32_t d = 0; d < 100; ++d) {
            for (uint32_t x = 0; x < 2; ++x) {
                Cpu a = cpu_of(CpuType::Scc68070, x);
                EXPECT_EQ(abcd_core(a, to_bcd(s), to_bcd(d)), to_bcd((s + d + x) % 100));
                EXPECT_EQ(a.flag_c != 0, s + d + x >= 100);
                EXPECT_EQ(a.flag_x, a.flag_c);

                Cpu b = cpu_of(CpuType::Scc68070, x);
                const int diff = static_cast<int>(d) - static_cast<int>(s) - static_cast<int>(x);
                EXPECT_EQ(sbcd_core(b, to_bcd(s), to_bcd(d)), to_bcd(static_cast<uint32_t>((diff + 100) % 100)));
                EXPECT_EQ(b.flag_c != 0, diff < 0);
            }
        }
    }
}

TEST(Bcd, EdgeCasesAndTypeRules) {
    enum Op { Add, Sub };
    const struct {
        Op op;
        CpuType type;
        uint32_t s, d;
        bool x;
        uint32_t result;
        bool c, n, v;
    } cases[] = {
        {Add, CpuType::Scc68070, 0x01, 0x99, false, 0x00, true, false, false},
        {Add, CpuType::Scc68070, 0x05, 0x75, false, 0x80, false, true, true},  // uncorrected 0x7A
        {Add, CpuType::M68020, 0x05, 0x75, false, 0x80, false, true, false},
        {Add, CpuType::Scc68070, 0x45, 0x45, false, 0x90, false, true, false},  // uncorrected 0x8A
        {Sub, CpuType::Scc68070, 0x01, 0x00, false, 0x99, true, true, false},
        {Sub, CpuType::Scc68070, 0x01, 0x10, false, 0x09, false, false, false},
        {Sub, CpuType::Scc68070, 0x21, 0x00, false, 0x79, true, false, true},
        {Add, CpuType::M68000, 0x0F, 0x0F, false, 0x24, false, false, false},  // invalid digits
    };
    for (const auto& c : cases) {
        Cpu cpu = cpu_of(c.type, c.x);
        cpu.flag_not_z = 0;
        const uint32_t r = c.op == Add ? abcd_core(cpu, c.s, c.d) : sbcd_core(cpu, c.s, c.d);
        SCOPED_TRACE(testing::Message() << std::hex << c.s << (c.op == Add ? " + " : " from ") << c.d);
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(cpu.flag_c != 0, c.c);
        EXPECT_EQ(cpu.flag_n != 0, c.n);
        EXPECT_EQ(cpu.flag_v != 0, c.v);
        EXPECT_EQ(cpu.flag_not_z, r) << "Z is only ever cleared, starting set";
    }
    // The 68040 class leaves N and V alone.
    Cpu cpu = cpu_of(CpuType::M68040, false);
    cpu.flag_n = 0x80;
    cpu.flag_v = 0;
    abcd_core(cpu, 0x05, 0x75);
    EXPECT_EQ(cpu.flag_n, 0x80u);
    EXPECT_EQ(cpu.flag_v, 0u);
    sbcd_core(cpu, 0x01, 0x00);
    EXPECT_EQ(cpu.flag_n, 0x80u);
}

TEST(Bcd, ZIsStickyAcrossAChain) {
    Cpu cpu = cpu_of(CpuType::Scc68070, false);
    cpu.flag_not_z = 0;
    abcd_core(cpu, 0x00, 0x00);
    EXPECT_EQ(cpu.flag_not_z, 0u);
    abcd_core(cpu, 0x01, 0x00);
    EXPECT_NE(cpu.flag_not_z, 0u);
    abcd_core(cpu, 0x00, 0x00);
    EXPECT_NE(cpu.flag_not_z, 0u) << "a zero byte does not set Z again";
}

struct Rig {
    Cpu cpu;
    test::TestBus bus;
    Rig(CpuType type, std::initializer_list<uint16_t> code) {
        cpu.set_cpu_type(type);
        uint32_t a = kCode;
        for (uint16_t w : code) {
            bus.poke_word(a, w);
            a += 2;
        }
        cpu.pc = kCode;
        cpu.addr_regs[7] = 0x8000;
    }
    uint32_t run() { return step(cpu, bus).cycles(); }
};

TEST(Bcd, Nbcd) {
    const struct {
        uint32_t value;
        bool x;
        uint32_t result;
        bool c;
    } cases[] = {{0x00, false, 0x00, false}, {0x00, true, 0x99, true}, {0x60, false, 0x40, true}, {0x01, false, 0x99, true}};
    for (const auto& c : cases) {
        Rig r(CpuType::M68000, {0x4800});  // NBCD D0
        r.cpu.data_regs[0] = 0x12345600 | c.value;
        r.cpu.flag_x = c.x ? 0x100 : 0;
        r.cpu.flag_not_z = 0;
        EXPECT_EQ(r.run(), 6u);
        EXPECT_EQ(r.cpu.data_regs[0], 0x12345600u | c.result);
        EXPECT_EQ(r.cpu.flag_c != 0, c.c);
        EXPECT_EQ(r.cpu.flag_not_z == 0, c.result == 0);
    }
    Rig m(CpuType::M68000, {0x4828, 0x0010});  // NBCD (16,A0)
    m.cpu.addr_regs[0] = 0x2000;
    m.bus.poke_word(0x2010, 0x2500);
    EXPECT_EQ(m.run(), 16u);
    EXPECT_EQ(m.bus.peek_word(0x2010), 0x7500);
}

TEST(Bcd, MemoryFormsPredecrementFirstAndA7StepsByTwo) {
    Rig r(CpuType::M68000, {0xCF0F});  // ABCD -(A7),-(A7)
    r.bus.poke_word(0x7FFE, 0x1200);
    r.bus.poke_word(0x7FFC, 0x3400);
    EXPECT_EQ(r.run(), 18u);
    EXPECT_EQ(r.cpu.addr_regs[7], 0x7FFCu);
    EXPECT_EQ(r.bus.peek_word(0x7FFC), 0x4600) << "the high bytes of the two words";

    Rig same(CpuType::M68000, {0xC108});  // ABCD -(A0),-(A0)
    same.cpu.addr_regs[0] = 0x2002;
    same.bus.poke_word(0x2000, 0x1927);
    same.run();
    EXPECT_EQ(same.cpu.addr_regs[0], 0x2000u);
    EXPECT_EQ(same.bus.peek_word(0x2000), 0x4627) << "source at A0 - 1, destination at A0 - 2";
}

TEST(Bcd, PackUnpackExhaustive) {
    for (const uint32_t adj : {0x0000u, 0x3030u, 0xFFFFu, 0x1234u}) {
        Rig r(CpuType::M68020, {0x8340, static_cast<uint16_t>(adj), 0x8380, static_cast<uint16_t>(adj)});
        for (uint32_t w = 0; w < 0x10000; ++w) {
            r.cpu.pc = kCode;  // PACK D0,D1,#adj
            r.cpu.data_regs[0] = 0xAAAA0000 | w;
            r.cpu.data_regs[1] = 0x55555555;
            r.run();
            const uint32_t v = (w + adj) & 0xFFFF;
            const uint32_t digits = (((v >> 8) & 0xF) << 4) | (v & 0xF);
            ASSERT_EQ(r.cpu.data_regs[1], 0x55555500u | digits) << std::hex << w << " " << adj;
        }
        for (uint32_t b = 0; b < 0x100; ++b) {
            r.cpu.pc = kCode + 4;  // UNPK D0,D1,#adj
            r.cpu.data_regs[0] = 0xAAAAAA00 | b;
            r.cpu.data_regs[1] = 0x55555555;
            r.run();
            const uint32_t expanded = (((b >> 4) << 8) | (b & 0xF)) + adj;
            ASSERT_EQ(r.cpu.data_regs[1], 0x55550000u | (expanded & 0xFFFF)) << std::hex << b << " " << adj;
        }
    }
    Rig pack(CpuType::M68020, {0x8348, 0x0000});  // PACK -(A0),-(A1),#0
    pack.cpu.addr_regs[0] = 0x2002;
    pack.cpu.addr_regs[1] = 0x3001;
    pack.bus.poke_word(0x2000, 0x0102);
    pack.run();
    EXPECT_EQ(pack.bus.peek_word(0x3000) >> 8, 0x12);
    Rig unpk(CpuType::M68020, {0x8388, 0x3030});  // UNPK -(A0),-(A1),#0x3030
    unpk.cpu.addr_regs[0] = 0x2001;
    unpk.cpu.addr_regs[1] = 0x3002;
    unpk.bus.poke_word(0x2000, 0x1200);
    unpk.run();
    EXPECT_EQ(unpk.bus.peek_word(0x3000), 0x3132);
}

}  // namespace
}  // namespace m68k
