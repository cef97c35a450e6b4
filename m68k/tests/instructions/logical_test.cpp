// Logical, shift, bit and bit-field instructions beyond the 68000 vectors: the SCC68070's own
// counts and the 68020 bit fields against a bit-by-bit model.
#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
#include <random>

#include "m68k/cpu.hpp"
#include "support/test_bus.hpp"

namespace m68k {
namespace {

constexpr uint32_t kCode = 0x1000;

struct Rig {
    Cpu cpu;
    test::TestBus bus;
    Rig(CpuType type, std::initializer_list<uint16_t> words) {
        cpu.set_cpu_type(type);
        uint32_t a = kCode;
        for (uint16_t w : words) {
            bus.poke_word(a, w);
            a += 2;
        }
        cpu.pc = kCode;
        cpu.addr_regs[7] = 0x8000;
    }
    StepResult run() { return step(cpu, bus); }
    // Runs a fresh two-word instruction at the code address (the tables below reuse one rig).
    void load(uint16_t opcode, uint16_t ext) {
        bus.poke_word(kCode, opcode);
        bus.poke_word(kCode + 2, ext);
        cpu.pc = kCode;
        bus.events.clear();
    }
};

TEST(Logical, ShiftEdgeCases) {
    struct Case {
        uint16_t opcode;
        uint32_t d0, d1;
        uint8_t x_in;
        uint32_t d0_out;
        uint8_t ccr_out;  // XNZVC
    };
    const Case cases[] = {
        {0xE300, 0x40, 0, 0, 0x80, 0x0A},          // ASL.B #1: V set, C/X clear
        {0xE500, 0x40, 0, 0, 0x00, 0x17},          // ASL.B #2: zero, V, C and X set
        {0xE3A8, 0x80000001, 32, 0, 0, 0x15},      // LSL.L D1,D0 by 32: C = bit 0
        {0xE3A8, 0x80000001, 33, 0, 0, 0x04},      // by 33: C = 0
        {0xE370, 0x1234, 17, 1, 0x1234, 0x11},     // ROXL.W D1,D0 by 17: unchanged, C = X
        {0xE378, 0x8001, 16, 0, 0x8001, 0x09},     // ROL.W by 16: unchanged, C = bit 0
        {0xE2A0, 0x80000000, 40, 0, 0xFFFFFFFF, 0x19},  // ASR.L by 40: all sign, C = 1
        {0xE368, 0x0001, 65, 0, 0x0002, 0x00},     // LSL.W by 65 = 1 (count mod 64)
        {0xE3A8, 0x5, 0, 1, 0x5, 0x10},            // count 0: C cleared, X kept
    };
    for (const auto& c : cases) {
        Rig r(CpuType::Scc68070, {c.opcode});
        r.cpu.data_regs[0] = c.d0;
        r.cpu.data_regs[1] = c.d1;
        r.cpu.set_ccr(c.x_in ? 0x10 : 0);
        const StepResult s = r.run();
        SCOPED_TRACE(testing::Message() << std::hex << c.opcode << " d0 " << c.d0 << " d1 " << c.d1);
        EXPECT_EQ(r.cpu.data_regs[0] & (c.opcode & 0x80 ? 0xFFFFFFFFu : 0xFFFFu), c.d0_out);
        EXPECT_EQ(r.cpu.get_ccr(), c.ccr_out);
        EXPECT_EQ(s.cycles(), 4u) << "every register shift costs 6 before scaling";
    }
    // The M68000 charges the unreduced count: LSL.L D1,D0 by 63 costs 8 + 126.
    Rig m(CpuType::M68000, {0xE3A8});
    m.cpu.data_regs[1] = 63;
    EXPECT_EQ(m.run().cycles(), 134u);
}

TEST(Logical, Scc68070Counts) {
    struct Case { uint16_t opcode; uint16_t ext; uint32_t cycles; };
    const Case cases[] = {
        {0x0250, 0x0000, 5},   // ANDI.W #0,(A0): 8
        {0x0050, 0x0000, 10},  // ORI.W #0,(A0): 16
        {0x0A50, 0x0000, 10},  // EORI.W #0,(A0): 16
        {0xB141, 0x4E71, 5},   // EOR.W D0,D1: 8 on this type
        {0x4AD0, 0x4E71, 3},   // TAS (A0): 4
        {0x0810, 0x0009, 3},   // BTST #9,(A0): 4
        {0x08C0, 0x0011, 5},   // BSET #17,D0: 8
        {0x4650, 0x4E71, 8},   // NOT.W (A0): 12, the 68000-class count
        {0x4680, 0x4E71, 4},   // NOT.L D0: 6
        {0x46B9, 0x0000, 18},  // NOT.L (xxx).L: 28
    };
    for (const auto& c : cases) {
        Rig r(CpuType::Scc68070, {c.opcode, c.ext});
        r.cpu.addr_regs[0] = 0x3000;
        EXPECT_EQ(r.run().cycles(), c.cycles) << std::hex << c.opcode;
    }
}

TEST(Logical, BitNumbersAndTas) {
    Rig r(CpuType::Scc68070, {0x0800, 0x0021, 0x0810, 0x0009, 0x4AD0});
    r.cpu.data_regs[0] = 0x2;    // BTST #33,D0 tests bit 1
    r.cpu.addr_regs[0] = 0x3000;
    r.bus.poke_word(0x3000, 0x0000);
    r.run();
    EXPECT_EQ(r.cpu.get_ccr() & 0x04, 0) << "bit 1 of D0 is set";
    r.run();                      // BTST #9,(A0) tests bit 1 of the byte
    EXPECT_EQ(r.cpu.get_ccr() & 0x04, 0x04);
    r.run();                      // TAS (A0)
    EXPECT_EQ(r.bus.peek_word(0x3000) >> 8, 0x80);
    EXPECT_EQ(r.cpu.get_ccr() & 0x0C, 0x04);
}

TEST(Logical, SrFormsArePrivileged) {
    Rig r(CpuType::Scc68070, {0x0A7C, 0x2000});  // EORI #0x2000,SR
    r.cpu.set_sr(0x0000);
    r.bus.poke_long(8 * 4, 0x5000);
    r.run();
    EXPECT_EQ(r.cpu.pc, 0x5000u);
    EXPECT_EQ(r.bus.peek_long(0x7FFA), kCode) << "stacked PC is the instruction";
}

// The bit-field reference: bit i of a field at `offset` is bit 7 - ((offset + i) & 7) of byte
// (offset + i) >> 3, walked one bit at a time.
struct Reference {
    std::array<uint8_t, 32> mem{};  // mem[16] is at the base address
    int bit(int64_t pos) const { return (mem[static_cast<size_t>(16 + (pos >> 3))] >> (7 - (pos & 7))) & 1; }
    void put(int64_t pos, int v) {
        uint8_t& b = mem[static_cast<size_t>(16 + (pos >> 3))];
        const uint8_t m = static_cast<uint8_t>(1u << (7 - (pos & 7)));
        b = v ? (b | m) : (b & ~m);
    }
};

constexpr uint32_t kBase = 0x3010;

TEST(Logical, MemoryBitFieldsMatchBitByBitModel) {
    std::mt19937 rng(1234);
    Rig r(CpuType::M68020, {});
    for (int n = 0; n < 3000; ++n) {
        const uint32_t operation = 8 + rng() % 8;
        const int32_t offset = static_cast<int32_t>(rng() % 96) - 48;
        const uint32_t width = 1 + rng() % 32;
        const uint32_t insert = rng();
        Reference ref;
        for (auto& b : ref.mem) b = static_cast<uint8_t>(rng());
        // BFxxx (A0){D1:width},D2
        const uint16_t opcode = static_cast<uint16_t>(0xE8D0 | ((operation - 8) << 8));
        const uint16_t ext = static_cast<uint16_t>((2 << 12) | 0x0800 | (1 << 6) | (width & 31));
        r.load(opcode, ext);
        for (size_t i = 0; i < ref.mem.size(); i += 2) {
            r.bus.poke_word(kBase - 16 + static_cast<uint32_t>(i), static_cast<uint16_t>((ref.mem[i] << 8) | ref.mem[i + 1]));
        }
        r.cpu.addr_regs[0] = kBase;
        r.cpu.data_regs[1] = static_cast<uint32_t>(offset);
        r.cpu.data_regs[2] = insert;
        r.cpu.set_ccr(0x13);

        uint32_t field = 0;
        for (uint32_t i = 0; i < width; ++i) field = (field << 1) | static_cast<uint32_t>(ref.bit(offset + static_cast<int64_t>(i)));
        const uint32_t mask = width == 32 ? 0xFFFFFFFFu : (1u << width) - 1;
        const uint32_t flag_value = operation == 15 ? (insert & mask) : field;
        uint32_t d2 = insert;
        uint32_t ffo = width;
        for (uint32_t i = 0; i < width; ++i) {
            if ((field >> (width - 1 - i)) & 1) { ffo = i; break; }
        }
        switch (operation) {
        case 9: d2 = field; break;
        case 11: d2 = (width < 32 && ((field >> (width - 1)) & 1)) ? (field | ~mask) : field; break;
        case 13: d2 = static_cast<uint32_t>(offset) + ffo; break;
        default: break;
        }
        for (uint32_t i = 0; i < width; ++i) {
            const int64_t pos = offset + static_cast<int64_t>(i);
            const int old = ref.bit(pos);
            const int src = static_cast<int>((insert >> (width - 1 - i)) & 1);
            if (operation == 10) ref.put(pos, !old);
            if (operation == 12) ref.put(pos, 0);
            if (operation == 14) ref.put(pos, 1);
            if (operation == 15) ref.put(pos, src);
        }

        r.run();
        SCOPED_TRACE(testing::Message() << "op " << operation << " offset " << offset << " width " << width);
        ASSERT_EQ(r.cpu.data_regs[2], d2);
        const uint8_t ccr = static_cast<uint8_t>(0x10 | ((flag_value >> (width - 1)) & 1 ? 0x08 : 0) | (flag_value ? 0 : 0x04));
        ASSERT_EQ(r.cpu.get_ccr(), ccr);
        for (size_t i = 0; i < ref.mem.size(); ++i) {
            ASSERT_EQ(r.bus.peek_word(kBase - 16 + static_cast<uint32_t>(i)) >> 8, ref.mem[i]) << "byte " << i;
        }
        const uint32_t first_bit = static_cast<uint32_t>(offset & 7);
        EXPECT_EQ(r.cpu.bitfield_five_bytes, first_bit + width > 32);
    }
}

TEST(Logical, RegisterBitFieldsWrap) {
    std::mt19937 rng(99);
    Rig r(CpuType::M68030, {});
    for (int n = 0; n < 2000; ++n) {
        const uint32_t operation = 8 + rng() % 8;
        const uint32_t offset = rng();  // any 32-bit value; only offset mod 32 matters
        const uint32_t width = 1 + rng() % 32;
        const uint32_t value = rng();
        const uint32_t insert = rng();
        const uint16_t opcode = static_cast<uint16_t>(0xE8C3 | ((operation - 8) << 8));  // D3
        const uint16_t ext = static_cast<uint16_t>((2 << 12) | 0x0800 | (1 << 6) | (width & 31));
        r.load(opcode, ext);
        r.cpu.data_regs[1] = offset;
        r.cpu.data_regs[2] = insert;
        r.cpu.data_regs[3] = value;
        auto pos = [&](uint32_t i) { return 31 - ((offset + i) & 31); };
        uint32_t field = 0;
        for (uint32_t i = 0; i < width; ++i) field = (field << 1) | ((value >> pos(i)) & 1);
        uint32_t expect = value;
        for (uint32_t i = 0; i < width; ++i) {
            const uint32_t m = 1u << pos(i);
            const bool src = (insert >> (width - 1 - i)) & 1;
            if (operation == 10) expect ^= m;
            if (operation == 12) expect &= ~m;
            if (operation == 14) expect |= m;
            if (operation == 15) expect = src ? (expect | m) : (expect & ~m);
        }
        r.run();
        SCOPED_TRACE(testing::Message() << "op " << operation << " offset " << offset << " width " << width);
        ASSERT_EQ(r.cpu.data_regs[3], expect);
        if (operation == 9) {
            ASSERT_EQ(r.cpu.data_regs[2], field);
        }
    }
    // BFEXTU D0{30:4} takes bits 1, 0, 31, 30.
    Rig e(CpuType::M68020, {0xE9C0, 0x2784});
    e.cpu.data_regs[0] = 0x80000002;
    e.run();
    EXPECT_EQ(e.cpu.data_regs[2], 0xAu);
}

}  // namespace
}  // namespace m68k

namespace m68k {
namespace {

// The M68010 keeps 68000-style shift counts and the 68000-class memory counts of ORI/EORI and
// BCHG/BSET, but ANDI and register bit operations have flat counts.
TEST(Logical, M68010Counts) {
    struct Case { uint16_t opcode; uint16_t ext; uint32_t d1; uint32_t cycles; };
    const Case cases[] = {
        {0xE188, 0x4E71, 0, 24},   // LSL.L #8,D0: 8 + 2 x 8
        {0xE368, 0x4E71, 40, 86},  // LSL.W D1,D0 by 40: 6 + 2 x 40, unreduced
        {0x0250, 0x0000, 0, 8},    // ANDI.W #0,(A0)
        {0x0050, 0x0000, 0, 16},   // ORI.W #0,(A0)
        {0x0368, 0x0010, 20, 16},  // BCHG D1,(16,A0): 8 + 8
        {0x0340, 0x4E71, 20, 8},   // BCHG D1,D0, bit 20
        {0x0340, 0x4E71, 3, 6},    // BCHG D1,D0, bit 3
    };
    for (const auto& c : cases) {
        Rig r(CpuType::M68010, {c.opcode, c.ext});
        r.cpu.addr_regs[0] = 0x3000;
        r.cpu.data_regs[1] = c.d1;
        EXPECT_EQ(r.run().cycles(), c.cycles) << std::hex << c.opcode;
    }
}

}  // namespace
}  // namespace m68k

namespace m68k {
namespace {

// NOT has no vector file: results, flags and the M68000 counts here.
TEST(Logical, NotOnM68000) {
    Rig r(CpuType::M68000, {0x4600, 0x4650, 0x4E71, 0x4E71});  // NOT.B D0; NOT.W (A0)
    r.cpu.data_regs[0] = 0x123456FF;
    r.cpu.addr_regs[0] = 0x3000;
    r.bus.poke_word(0x3000, 0x7FFF);
    r.cpu.set_ccr(0x13);  // X, V, C
    EXPECT_EQ(r.run().cycles(), 4u);
    EXPECT_EQ(r.cpu.data_regs[0], 0x12345600u);
    EXPECT_EQ(r.cpu.get_ccr(), 0x14) << "Z set, V and C cleared, X kept";
    EXPECT_EQ(r.run().cycles(), 12u);
    EXPECT_EQ(r.bus.peek_word(0x3000), 0x8000);
    EXPECT_EQ(r.cpu.get_ccr(), 0x18);
}

}  // namespace
}  // namespace m68k
