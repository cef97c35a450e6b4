// Integer arithmetic: the forms the 68000 vectors do not cover (SUB family, NEG/NEGX, TST,
// DIVU/DIVS), the per-type counts, and the 68020 long multiply/divide against 128-bit host math.
#include <gtest/gtest.h>

#include <climits>

#include "core/exceptions.hpp"
#include "instructions/arith_rig.hpp"

namespace m68k {
namespace {

using test::ArithRig;

constexpr uint32_t kNextPc = ArithRig::kCode + 2;

struct DivCase {
    const char* name;
    uint16_t opcode;  // Dn = D0, divisor in D1
    uint32_t d0, d1;
    bool c_before;
    uint32_t d0_after;
    bool v;
    bool n, z;             // from the quotient; on an overflow, the 68000's
    int32_t cycles_68000;  // -1: not checked
};

// The overflow rows start with N clear and Z set. The 68000 sets N and clears Z on an overflow
// (the public 68000 vectors show it for every overflowing DIVU and DIVS); the other types keep
// both, as their manuals leave them undefined.
TEST(Divide, WordFormsOnEveryType) {
    const DivCase cases[] = {
        {"DIVU overflow", 0x80C1, 0x00010000, 1, true, 0x00010000, true, true, false, 10},
        {"DIVU overflow 6BE81EC0/451D", 0x80C1, 0x6BE81EC0, 0x451D, false, 0x6BE81EC0, true, true, false, 10},
        {"DIVU 0/1", 0x80C1, 0, 1, false, 0, false, false, true, 136},
        {"DIVU 100/7", 0x80C1, 100, 7, true, (2u << 16) | 14, false, false, false, -1},
        {"DIVU quotient 0x8000", 0x80C1, 0x00010000, 2, false, 0x00008000, false, true, false, -1},
        {"DIVS INT32_MIN/-1", 0x81C1, 0x80000000, 0xFFFF, true, 0x80000000, true, true, false, 18},
        {"DIVS -7/2", 0x81C1, static_cast<uint32_t>(-7), 2, true, 0xFFFFFFFD, false, true, false, -1},
        {"DIVS 7/-2", 0x81C1, 7, 0xFFFE, false, 0x0001FFFD, false, true, false, -1},
        {"DIVS quotient 32768", 0x81C1, 0x00008000, 1, true, 0x00008000, true, true, false, -1},
        {"DIVS quotient -32769", 0x81C1, static_cast<uint32_t>(-32769), 1, false, static_cast<uint32_t>(-32769),
         true, true, false, -1},
        {"DIVS 1/2", 0x81C1, 1, 2, false, 0x00010000, false, false, true, -1},
    };
    constexpr CpuType kTypes[] = {CpuType::M68000,  CpuType::M68010,   CpuType::M68EC020, CpuType::M68020,
                                  CpuType::M68EC030, CpuType::M68030,  CpuType::M68EC040, CpuType::M68LC040,
                                  CpuType::M68040,  CpuType::Scc68070, CpuType::M68060};
    for (CpuType type : kTypes) {
        for (const auto& c : cases) {
            ArithRig r(type);
            r.load({c.opcode});
            r.cpu.data_regs[0] = c.d0;
            r.cpu.data_regs[1] = c.d1;
            r.cpu.flag_c = c.c_before ? 0x100 : 0;
            r.cpu.flag_x = 0x100;
            r.cpu.flag_n = 0;
            r.cpu.flag_not_z = c.v ? 0 : 1;
            const int32_t cycles = r.run();
            SCOPED_TRACE(testing::Message() << c.name << " type " << static_cast<int>(type));
            EXPECT_EQ(r.cpu.data_regs[0], c.d0_after);
            EXPECT_EQ(r.flag_v(), c.v);
            EXPECT_FALSE(r.flag_c());  // cleared on overflow too
            EXPECT_TRUE(r.flag_x());
            const bool keeps = c.v && type != CpuType::M68000;
            EXPECT_EQ(r.flag_n(), keeps ? false : c.n);
            EXPECT_EQ(r.flag_z(), keeps ? true : c.z);
            EXPECT_EQ(r.vector(), -1);
            if (type == CpuType::M68000 && c.cycles_68000 >= 0) {
                EXPECT_EQ(cycles, c.cycles_68000);
            }
            if (type == CpuType::Scc68070) {
                EXPECT_EQ(cycles, c.opcode == 0x80C1 ? 140 : 158);
            }
        }
    }
}

TEST(Divide, ZeroDivisorTrapsWithTheNextPcAndClearsC) {
    for (uint16_t opcode : {uint16_t{0x80C1}, uint16_t{0x81C1}}) {
        ArithRig r(CpuType::M68000);
        r.load({opcode});
        r.cpu.data_regs[0] = 0x12345678;
        r.cpu.data_regs[1] = 0xFFFF0000;  // low word zero
        r.cpu.flag_c = 0x100;
        r.cpu.flag_n = 0x80;
        r.run();
        EXPECT_EQ(r.vector(), static_cast<int>(kVectorZeroDivide));
        EXPECT_EQ(r.cpu.data_regs[0], 0x12345678u);
        EXPECT_EQ(r.bus.peek_long(r.cpu.addr_regs[7] + 2), kNextPc);
        const uint16_t stacked_sr = r.bus.peek_word(r.cpu.addr_regs[7]);
        EXPECT_EQ(stacked_sr & 0x01, 0);  // C
        EXPECT_EQ(stacked_sr & 0x08, 0x08);  // N untouched
        EXPECT_EQ(r.cpu.pc, ArithRig::kHandlers + 4 * kVectorZeroDivide);
    }
}

// The long forms by zero (MC68020/030/040 and MC68060 manuals, DIVS/DIVU): C is always cleared;
// N, Z and V are undefined and stay as they were, X is not affected. The stacked SR shows it.
TEST(Divide, LongZeroDivisorClearsCOnly) {
    struct Form {
        const char* name;
        std::initializer_list<uint16_t> words;
        bool wide;  // 64-bit dividend: unimplemented on the 68060
    };
    const Form forms[] = {
        {"DIVU.L D1,D0", {0x4C41, 0x0000}, false},
        {"DIVS.L D1,D0", {0x4C41, 0x0800}, false},
        {"DIVUL.L D1,D2:D0", {0x4C41, 0x0002}, false},
        {"DIVSL.L D1,D2:D0", {0x4C41, 0x0802}, false},
        {"DIVU.L D1,D2:D0 (64)", {0x4C41, 0x0402}, true},
        {"DIVS.L D1,D2:D0 (64)", {0x4C41, 0x0C02}, true},
        {"DIVSL.L #0,D5:D0", {0x4C7C, 0x0805, 0x0000, 0x0000}, false},
    };
    // X, N, Z, V, C as set before, and what the frame must show after: only C cleared.
    const uint8_t ccrs[][2] = {{0x13, 0x12}, {0x1F, 0x1E}, {0x01, 0x00}, {0x0C, 0x0C}};
    for (CpuType type : {CpuType::M68020, CpuType::M68030, CpuType::M68040, CpuType::M68060}) {
        for (const Form& f : forms) {
            if (f.wide && type == CpuType::M68060) continue;
            for (const auto& ccr : ccrs) {
                SCOPED_TRACE(testing::Message() << f.name << " type " << static_cast<int>(type) << " ccr "
                                                << static_cast<int>(ccr[0]));
                ArithRig r(type);
                r.load(f.words);
                r.cpu.data_regs[0] = 0x12345678;
                r.cpu.data_regs[1] = 0;
                r.cpu.data_regs[2] = 0x9ABCDEF0;
                r.cpu.set_ccr(ccr[0]);
                r.run();
                EXPECT_EQ(r.vector(), static_cast<int>(kVectorZeroDivide));
                EXPECT_EQ(r.bus.peek_word(r.cpu.addr_regs[7]) & 0x1F, ccr[1]);
                EXPECT_EQ(r.cpu.data_regs[0], 0x12345678u);
                EXPECT_EQ(r.cpu.data_regs[2], 0x9ABCDEF0u);
            }
        }
    }
}

TEST(Multiply, WordCountsOnM68000) {
    struct Case {
        uint16_t opcode, imm;
        int32_t cycles;
    };
    // MULU #imm,D0 / MULS #imm,D0: 38 + 2 per one bit (MULU) or bit change (MULS) + 4.
    const Case cases[] = {{0xC0FC, 0xFFFF, 74}, {0xC1FC, 0x5555, 74}, {0xC1FC, 0x0000, 42}, {0xC0FC, 0, 42}};
    for (const auto& c : cases) {
        ArithRig r(CpuType::M68000);
        r.load({c.opcode, c.imm});
        r.cpu.data_regs[0] = 3;
        EXPECT_EQ(r.run(), c.cycles) << std::hex << c.opcode << " " << c.imm;
        ArithRig s(CpuType::Scc68070);
        s.load({c.opcode, c.imm});
        EXPECT_EQ(s.run(), 42);
    }
}

struct AluCase {
    const char* name;
    CpuType type;
    std::initializer_list<uint16_t> code;
    uint32_t d0, d1, x_in;
    uint32_t d0_after;
    const char* flags;  // XNZVC, '1' set, '0' clear
    int32_t cycles;
};

std::string flag_string(const ArithRig& r) {
    std::string s;
    for (bool b : {r.flag_x(), r.flag_n(), r.flag_z(), r.flag_v(), r.flag_c()}) s += b ? '1' : '0';
    return s;
}

TEST(Alu, RegisterFormsWithoutVectors) {
    const CpuType m0 = CpuType::M68000, scc = CpuType::Scc68070;
    const AluCase cases[] = {
        {"SUB.B 1 from 0", m0, {0x9001}, 0xABCDEF00, 1, 0, 0xABCDEFFF, "11001", 4},
        {"SUB.W overflow", m0, {0x9041}, 0x00008000, 1, 0, 0x00007FFF, "00010", 4},
        {"SUB.L D1,D0", m0, {0x9081}, 5, 5, 1, 0, "00100", 8},
        {"SUBX.L keeps Z", m0, {0x9181}, 5, 4, 1, 0, "00100", 8},
        {"SUBX.B borrow", scc, {0x9101}, 0x00, 0x00, 1, 0xFF, "11001", 4},
        {"NEG.B 0x80", m0, {0x4400}, 0x80, 0, 0, 0x80, "11011", 4},
        {"NEG.W 0", m0, {0x4440}, 0xFFFF0000, 0, 1, 0xFFFF0000, "00100", 4},
        {"NEG.L 1", m0, {0x4480}, 1, 0, 0, 0xFFFFFFFF, "11001", 6},
        {"NEGX.B 0, X=0", m0, {0x4000}, 0, 0, 0, 0, "00100", 4},
        {"NEGX.B 0, X=1", m0, {0x4000}, 0, 0, 1, 0xFF, "11001", 4},
        {"TST.W negative", scc, {0x4A40}, 0x00008000, 0, 1, 0x00008000, "11000", 4},
        {"SUBQ.W #8,D0", m0, {0x5140}, 0x00010003, 0, 0, 0x0001FFFB, "11001", 4},
        {"SUBQ.L #1,D0", m0, {0x5380}, 1, 0, 0, 0, "00100", 8},
        {"ADDQ.B #1,D0", scc, {0x5200}, 0x7F, 0, 0, 0x80, "01010", 4},
        {"SUBI.L #1,D0", scc, {0x0480, 0x0000, 0x0001}, 0, 0, 0, 0xFFFFFFFF, "11001", 16},
        {"ADDI.L #1,D0", scc, {0x0680, 0x0000, 0x0001}, 0xFFFFFFFF, 0, 0, 0, "10101", 12},
        {"SUBI.L #1,D0 68000", m0, {0x0480, 0x0000, 0x0001}, 2, 0, 1, 1, "00000", 16},
        {"EXT.W", m0, {0x4880}, 0x123456F0, 0, 1, 0x1234FFF0, "11000", 4},
    };
    for (const auto& c : cases) {
        ArithRig r(c.type);
        r.load(c.code);
        r.cpu.data_regs[0] = c.d0;
        r.cpu.data_regs[1] = c.d1;
        r.cpu.flag_x = c.x_in ? 0x100 : 0;
        r.cpu.flag_not_z = 0;  // Z set going in: ADDX/SUBX/NEGX only clear it
        r.cpu.flag_v = r.cpu.flag_c = r.cpu.flag_n = 0;
        const int32_t cycles = r.run();
        SCOPED_TRACE(c.name);
        EXPECT_EQ(r.cpu.data_regs[0], c.d0_after);
        EXPECT_EQ(flag_string(r), c.flags);
        EXPECT_EQ(cycles, c.cycles);
    }
}

TEST(Alu, MemoryFormsAndAddressRegisters) {
    {  // ADDQ.L #1,(A0) on M68000: 12 + 8
        ArithRig r(CpuType::M68000);
        r.load({0x5290});
        r.cpu.addr_regs[0] = 0x3000;
        r.bus.poke_long(0x3000, 0x0000FFFF);
        EXPECT_EQ(r.run(), 20);
        EXPECT_EQ(r.bus.peek_long(0x3000), 0x00010000u);
    }
    {  // SUBQ.W #8,A0: all 32 bits, no flags
        ArithRig r(CpuType::Scc68070);
        r.load({0x5148});
        r.cpu.addr_regs[0] = 0x00010004;
        r.cpu.flag_not_z = 0;
        EXPECT_EQ(r.run(), 4);
        EXPECT_EQ(r.cpu.addr_regs[0], 0x0000FFFCu);
        EXPECT_TRUE(r.flag_z());
    }
    {  // SUBA.W with 0x8000 adds 0x8000 to the full register
        ArithRig r(CpuType::M68000);
        r.load({0x90C1});
        r.cpu.addr_regs[0] = 0x00010000;
        r.cpu.data_regs[1] = 0x8000;
        EXPECT_EQ(r.run(), 8);
        EXPECT_EQ(r.cpu.addr_regs[0], 0x00018000u);
    }
    {  // SUBX.B -(A1),-(A0)
        ArithRig r(CpuType::M68000);
        r.load({0x9109});
        r.cpu.addr_regs[0] = 0x3001;
        r.cpu.addr_regs[1] = 0x3011;
        r.bus.poke_word(0x3000, 0x5000);
        r.bus.poke_word(0x3010, 0x2000);
        r.cpu.flag_x = 0x100;
        EXPECT_EQ(r.run(), 18);
        EXPECT_EQ(r.bus.peek_word(0x3000), 0x2F00);
        EXPECT_EQ(r.cpu.addr_regs[0], 0x3000u);
        EXPECT_EQ(r.cpu.addr_regs[1], 0x3010u);
    }
    {  // NEG.W (A0) on the SCC68070: the whole class keeps the 68000 count (8 + 4)
        ArithRig r(CpuType::Scc68070);
        r.load({0x4450});
        r.cpu.addr_regs[0] = 0x3000;
        r.bus.poke_word(0x3000, 1);
        EXPECT_EQ(r.run(), 12);
        EXPECT_EQ(r.bus.peek_word(0x3000), 0xFFFF);
    }
    {  // CLR.W (A0): the M68000 reads before writing, the SCC68070 only writes
        for (CpuType type : {CpuType::M68000, CpuType::Scc68070}) {
            ArithRig r(type);
            r.load({0x4250});
            r.cpu.addr_regs[0] = 0x3000;
            r.bus.poke_word(0x3000, 0x1234);
            r.bus.events.clear();
            r.run();
            bool read = false;
            for (const auto& e : r.bus.events) read |= e.kind == test::Access::ReadWord && e.address == 0x3000;
            EXPECT_EQ(read, type == CpuType::M68000);
            EXPECT_EQ(r.bus.peek_word(0x3000), 0);
        }
    }
}

TEST(Chk, NegativeWordBelowBoundCountsOnM68000AndM68010) {
    // D0 = -32768, bound 1: the 16-bit compare overflows, which the 68000 finishes early.
    int32_t counts[2];
    int i = 0;
    for (CpuType type : {CpuType::M68000, CpuType::M68010}) {
        ArithRig r(type);
        r.load({0x4181});
        r.cpu.data_regs[0] = 0x8000;
        r.cpu.data_regs[1] = 1;
        counts[i++] = r.run();
        EXPECT_EQ(r.vector(), static_cast<int>(kVectorChk));
        EXPECT_TRUE(r.flag_n());
    }
    ArithRig probe(CpuType::M68010);
    probe.load({0x4181});
    probe.cpu.data_regs[0] = 0xFFFF;  // -1: no overflow, full count
    probe.cpu.data_regs[1] = 1;
    const int32_t full_010 = probe.run();
    EXPECT_EQ(counts[1], full_010);
    ArithRig probe0(CpuType::M68000);
    probe0.load({0x4181});
    probe0.cpu.data_regs[0] = 0xFFFF;
    probe0.cpu.data_regs[1] = 1;
    EXPECT_EQ(counts[0], probe0.run() - 2);
}

// --- 68020 long multiply and divide against 128-bit host arithmetic ---

__extension__ using i128 = __int128;
__extension__ using u128 = unsigned __int128;

uint32_t next_random(uint64_t& s) {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(s >> 33);
}

uint32_t interesting(uint64_t& s) {
    static constexpr uint32_t kEdges[] = {0, 1, 2, 0xFFFFFFFF, 0xFFFFFFFE, 0x80000000, 0x7FFFFFFF, 0x10000, 0xFFFF};
    const uint32_t pick = next_random(s);
    if (pick % 3 == 0) return kEdges[(pick >> 8) % std::size(kEdges)];
    if (pick % 3 == 1) return next_random(s) >> (next_random(s) % 32);
    return next_random(s);
}

TEST(LongForms, MultiplyMatchesHostArithmetic) {
    uint64_t seed = 0x5EED;
    ArithRig r(CpuType::M68030);
    for (int i = 0; i < 4000; ++i) {
        const uint32_t a = interesting(seed), b = interesting(seed);
        const bool is_signed = i & 1, wide = (i >> 1) & 1;
        // MULx.L D2,D0 or D2,D1:D0
        const uint16_t ext = static_cast<uint16_t>(0x0000 | (is_signed ? 0x0800 : 0) | (wide ? 0x0400 : 0) | 1);
        r.load({0x4C02, ext});
        r.cpu.data_regs[0] = a;
        r.cpu.data_regs[1] = 0xDEADBEEF;
        r.cpu.data_regs[2] = b;
        r.cpu.flag_x = 0x100;
        ASSERT_EQ(r.run(), 40);
        const i128 p = is_signed ? static_cast<i128>(static_cast<int32_t>(a)) * static_cast<int32_t>(b)
                                 : static_cast<i128>(static_cast<u128>(a) * b);
        const uint64_t bits = static_cast<uint64_t>(p);
        SCOPED_TRACE(testing::Message() << std::hex << a << " * " << b << " signed " << is_signed << " wide " << wide);
        EXPECT_EQ(r.cpu.data_regs[0], static_cast<uint32_t>(bits));
        EXPECT_FALSE(r.flag_c());
        EXPECT_TRUE(r.flag_x());
        if (wide) {
            EXPECT_EQ(r.cpu.data_regs[1], static_cast<uint32_t>(bits >> 32));
            EXPECT_EQ(r.flag_n(), (bits >> 63) != 0);
            EXPECT_EQ(r.flag_z(), bits == 0);
            EXPECT_FALSE(r.flag_v());
        } else {
            EXPECT_EQ(r.cpu.data_regs[1], 0xDEADBEEFu);
            const bool fits = is_signed ? (p >= INT32_MIN && p <= INT32_MAX) : p <= 0xFFFFFFFF;
            EXPECT_EQ(r.flag_v(), !fits);
            EXPECT_EQ(r.flag_z(), static_cast<uint32_t>(bits) == 0);
        }
    }
}

TEST(LongForms, DivideMatchesHostArithmetic) {
    uint64_t seed = 0xD1CE;
    ArithRig r(CpuType::M68020);
    for (int i = 0; i < 4000; ++i) {
        const uint32_t lo = interesting(seed), hi = (i & 4) ? interesting(seed) : 0, divisor = interesting(seed);
        const bool is_signed = i & 1, wide = (i >> 1) & 1;
        if (divisor == 0) continue;
        // DIVx.L D2,D1:D0 (Dq = D0, Dr = D1)
        const uint16_t ext = static_cast<uint16_t>((is_signed ? 0x0800 : 0) | (wide ? 0x0400 : 0) | 1);
        r.load({0x4C42, ext});
        r.cpu.data_regs[0] = lo;
        r.cpu.data_regs[1] = hi;
        r.cpu.data_regs[2] = divisor;
        r.cpu.flag_not_z = 0;
        r.cpu.flag_n = 0x80;
        ASSERT_EQ(r.run(), 40);
        i128 dividend;
        if (is_signed) {
            dividend = wide ? static_cast<i128>(static_cast<int64_t>((static_cast<uint64_t>(hi) << 32) | lo))
                            : static_cast<i128>(static_cast<int32_t>(lo));
        } else {
            dividend = wide ? static_cast<i128>((static_cast<uint64_t>(hi) << 32) | lo) : static_cast<i128>(lo);
        }
        const i128 d = is_signed ? static_cast<i128>(static_cast<int32_t>(divisor)) : static_cast<i128>(divisor);
        const i128 q = dividend / d, rem = dividend % d;
        const bool overflow = is_signed ? (q < INT32_MIN || q > INT32_MAX) : q > 0xFFFFFFFF;
        SCOPED_TRACE(testing::Message() << std::hex << hi << ":" << lo << " / " << divisor << " signed " << is_signed
                                        << " wide " << wide);
        EXPECT_EQ(r.flag_v(), overflow);
        EXPECT_FALSE(r.flag_c());
        if (overflow) {
            EXPECT_EQ(r.cpu.data_regs[0], lo);
            EXPECT_EQ(r.cpu.data_regs[1], hi);
            EXPECT_TRUE(r.flag_z());
            EXPECT_TRUE(r.flag_n());
        } else {
            EXPECT_EQ(r.cpu.data_regs[0], static_cast<uint32_t>(q));
            EXPECT_EQ(r.cpu.data_regs[1], static_cast<uint32_t>(rem));
            EXPECT_EQ(r.flag_z(), static_cast<uint32_t>(q) == 0);
        }
    }
}

TEST(LongForms, EdgeRowsAndTypeRules) {
    {  // INT64_MIN / -1 overflows without a host trap
        ArithRig r(CpuType::M68040);
        r.load({0x4C42, 0x0C01});
        r.cpu.data_regs[0] = 0;
        r.cpu.data_regs[1] = 0x80000000;
        r.cpu.data_regs[2] = 0xFFFFFFFF;
        r.run();
        EXPECT_TRUE(r.flag_v());
        EXPECT_EQ(r.cpu.data_regs[1], 0x80000000u);
    }
    {  // 32-bit DIVS.L INT32_MIN / -1
        ArithRig r(CpuType::M68020);
        r.load({0x4C42, 0x0800});
        r.cpu.data_regs[0] = 0x80000000;
        r.cpu.data_regs[2] = 0xFFFFFFFF;
        r.run();
        EXPECT_TRUE(r.flag_v());
        EXPECT_EQ(r.cpu.data_regs[0], 0x80000000u);
    }
    {  // DIVU.L D2,D0 with Dr = Dq: only the quotient stays
        ArithRig r(CpuType::M68020);
        r.load({0x4C42, 0x0000});
        r.cpu.data_regs[0] = 17;
        r.cpu.data_regs[2] = 5;
        r.run();
        EXPECT_EQ(r.cpu.data_regs[0], 3u);
    }
    for (CpuType type : {CpuType::M68020, CpuType::M68040}) {  // MULS.L D0,D1:D1 (Dh = Dl)
        ArithRig r(type);
        r.load({0x4C00, 0x1C01});
        r.cpu.data_regs[0] = 0x10000;
        r.cpu.data_regs[1] = 0x30000;  // product 3 << 32
        r.run();
        EXPECT_EQ(r.cpu.data_regs[1], type == CpuType::M68040 ? 0u : 3u);
    }
    for (uint16_t opcode : {uint16_t{0x4C00}, uint16_t{0x4C40}}) {  // 64-bit forms on the 68060
        ArithRig r(CpuType::M68060);
        r.load({opcode, 0x0C01});
        r.cpu.data_regs[0] = 7;
        r.cpu.data_regs[1] = 9;
        r.run();
        EXPECT_EQ(r.vector(), static_cast<int>(kVectorUnimplementedInteger));
        EXPECT_EQ(r.cpu.data_regs[0], 7u);
        EXPECT_EQ(r.cpu.data_regs[1], 9u);
    }
    {  // zero divisor: vector 5
        ArithRig r(CpuType::M68030);
        r.load({0x4C42, 0x0801});
        r.cpu.data_regs[0] = 1;
        r.run();
        EXPECT_EQ(r.vector(), static_cast<int>(kVectorZeroDivide));
        EXPECT_EQ(r.cpu.data_regs[0], 1u);
    }
    {  // EXTB.L
        ArithRig r(CpuType::M68020);
        r.load({0x49C0});
        r.cpu.data_regs[0] = 0x12345680;
        EXPECT_EQ(r.run(), 4);
        EXPECT_EQ(r.cpu.data_regs[0], 0xFFFFFF80u);
        EXPECT_TRUE(r.flag_n());
    }
}

}  // namespace
}  // namespace m68k

namespace m68k {
namespace {

TEST(Faults, OddOperandCountsPerType) {
    // NEG.W (A0), TST.W (A0), ADDQ.W #1,(A0), CMP.W (A0),D0 with A0 odd: the M68000 keeps its
    // table count for the first three; the other types, and CMP everywhere, give 50.
    struct Case {
        uint16_t opcode;
        int32_t m68000, m68010;
    };
    const Case cases[] = {{0x4450, 12, 50}, {0x4A50, 8, 50}, {0x5250, 12, 50}, {0xB050, 50, 50}};
    for (const auto& c : cases) {
        for (CpuType type : {CpuType::M68000, CpuType::M68010}) {
            test::ArithRig r(type);
            r.load({c.opcode});
            r.cpu.addr_regs[0] = 0x3001;
            EXPECT_EQ(r.run(), type == CpuType::M68000 ? c.m68000 : c.m68010) << std::hex << c.opcode;
            EXPECT_EQ(r.cpu.aborted, 1u);
        }
    }
}

}  // namespace
}  // namespace m68k
