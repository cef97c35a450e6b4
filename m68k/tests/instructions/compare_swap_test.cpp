// CAS, CAS2, CMP2/CHK2, CALLM and RTM on the 68020 class.
#include <gtest/gtest.h>

#include "core/exceptions.hpp"
#include "instructions/arith_rig.hpp"

namespace m68k {
namespace {

using test::ArithRig;

constexpr uint32_t kData = 0x3000;

TEST(Cas, EqualWritesUpdateAndUnequalLoadsCompare) {
    {  // CAS.L D0,D1,(A0), memory equal to D0
        ArithRig r(CpuType::M68020);
        r.load({0x0ED0, 0x0040});
        r.cpu.addr_regs[0] = kData;
        r.bus.poke_long(kData, 0x11223344);
        r.cpu.data_regs[0] = 0x11223344;
        r.cpu.data_regs[1] = 0xCAFEF00D;
        EXPECT_EQ(r.run(), 20);
        EXPECT_EQ(r.bus.peek_long(kData), 0xCAFEF00Du);
        EXPECT_TRUE(r.flag_z());
    }
    {  // memory 5, D0 3: D0 := 5, flags of 5 - 3
        ArithRig r(CpuType::M68030);
        r.load({0x0ED0, 0x0040});
        r.cpu.addr_regs[0] = kData;
        r.bus.poke_long(kData, 5);
        r.cpu.data_regs[0] = 3;
        r.cpu.flag_x = 0x100;
        r.run();
        EXPECT_EQ(r.cpu.data_regs[0], 5u);
        EXPECT_EQ(r.bus.peek_long(kData), 5u);
        EXPECT_FALSE(r.flag_z() || r.flag_n() || r.flag_v() || r.flag_c());
        EXPECT_TRUE(r.flag_x());
    }
    {  // CAS.W D0,D1,(A0)+, unequal: only D0's low word is loaded; A0 steps by 2
        ArithRig r(CpuType::M68040);
        r.load({0x0CD8, 0x0040});
        r.cpu.addr_regs[0] = kData;
        r.bus.poke_word(kData, 0x0001);
        r.cpu.data_regs[0] = 0xABCD0002;
        r.run();
        EXPECT_EQ(r.cpu.data_regs[0], 0xABCD0001u);
        EXPECT_EQ(r.cpu.addr_regs[0], kData + 2);
        EXPECT_TRUE(r.flag_n() && r.flag_c());  // 1 - 2
        EXPECT_TRUE(r.cpu.flow_changed);
    }
    {  // CAS.B D0,D1,-(A7): the byte step on A7 is 2
        ArithRig r(CpuType::M68020);
        r.load({0x0AE7, 0x0040});
        r.cpu.addr_regs[7] = kData + 2;
        r.bus.poke_word(kData, 0x4200);
        r.cpu.data_regs[0] = 0x42;
        r.cpu.data_regs[1] = 0x99;
        r.run();
        EXPECT_EQ(r.cpu.addr_regs[7], kData);
        EXPECT_EQ(r.bus.peek_word(kData), 0x9900);
    }
}

TEST(Cas, BadModesAndMisalignedOn68060) {
    {
        ArithRig r(CpuType::M68020);
        r.load({0x0EC0, 0x0040});  // CAS.L with a data register
        r.run();
        EXPECT_EQ(r.vector(), static_cast<int>(kVectorIllegal));
    }
    {  // CAS.W (A0)+ at an odd address on the 68060: vector 61, A0 unchanged
        ArithRig r(CpuType::M68060);
        r.load({0x0CD8, 0x0040});
        r.cpu.addr_regs[0] = kData + 1;
        r.run();
        EXPECT_EQ(r.vector(), static_cast<int>(kVectorUnimplementedInteger));
        EXPECT_EQ(r.cpu.addr_regs[0], kData + 1);
    }
    {  // the same on the 68030 runs
        ArithRig r(CpuType::M68030);
        r.load({0x0CD8, 0x0040});
        r.cpu.addr_regs[0] = kData + 1;
        r.run();
        EXPECT_EQ(r.vector(), -1);
        EXPECT_EQ(r.cpu.addr_regs[0], kData + 3);
    }
}

TEST(Cas2, BothEqualWritesBothAndFailureLoadOrderByType) {
    // CAS2.L D0:D2,D1:D3,(A0):(A1)
    auto setup = [](ArithRig& r, uint32_t m1, uint32_t m2) {
        r.load({0x0EFC, 0x8040, 0x90C2});
        r.cpu.addr_regs[0] = kData;
        r.cpu.addr_regs[1] = kData + 0x10;
        r.bus.poke_long(kData, m1);
        r.bus.poke_long(kData + 0x10, m2);
    };
    {
        ArithRig r(CpuType::M68020);
        setup(r, 10, 20);
        r.cpu.data_regs[0] = 10;
        r.cpu.data_regs[2] = 20;
        r.cpu.data_regs[1] = 111;
        r.cpu.data_regs[3] = 222;
        EXPECT_EQ(r.run(), 40);
        EXPECT_EQ(r.bus.peek_long(kData), 111u);
        EXPECT_EQ(r.bus.peek_long(kData + 0x10), 222u);
        EXPECT_TRUE(r.flag_z());
    }
    {  // first equal, second not: flags from the second comparison, nothing written
        ArithRig r(CpuType::M68020);
        setup(r, 10, 20);
        r.cpu.data_regs[0] = 10;
        r.cpu.data_regs[2] = 21;
        r.run();
        EXPECT_EQ(r.bus.peek_long(kData), 10u);
        EXPECT_TRUE(r.flag_c());  // 20 - 21
        EXPECT_EQ(r.cpu.data_regs[0], 10u);
        EXPECT_EQ(r.cpu.data_regs[2], 20u);
    }
    for (CpuType type : {CpuType::M68020, CpuType::M68040}) {  // Dc1 = Dc2 = D0, both fail
        ArithRig r(type);
        r.load({0x0EFC, 0x8040, 0x90C0});
        r.cpu.addr_regs[0] = kData;
        r.cpu.addr_regs[1] = kData + 0x10;
        r.bus.poke_long(kData, 10);
        r.bus.poke_long(kData + 0x10, 20);
        r.cpu.data_regs[0] = 99;
        r.run();
        EXPECT_EQ(r.cpu.data_regs[0], type == CpuType::M68040 ? 20u : 10u);
    }
}

TEST(Cmp2, AgainstTheCircularRangeTest) {
    // CMP2.size (A0),Rn: reference (v - lo) mod 2^n <= (hi - lo) mod 2^n at the operand size
    // (An: 32 bits with the bounds sign-extended), equality with a bound giving Z.
    uint64_t s = 0xC0FFEE;
    auto rnd = [&s]() {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(s >> 32);
    };
    ArithRig r(CpuType::M68030);
    for (int i = 0; i < 3000; ++i) {
        const uint8_t size = static_cast<uint8_t>(i % 3);
        const bool address_reg = (i / 3) % 4 == 0;
        const uint32_t mask = size == 0 ? 0xFF : size == 1 ? 0xFFFF : 0xFFFFFFFF;
        // Small spreads so that in-range, bound and out-of-range values all occur.
        const uint32_t base = rnd();
        const uint32_t lo = (base + (rnd() % 9)) & mask, hi = (base + (rnd() % 9) + ((i & 8) ? 0x80000000u : 0)) & mask;
        const uint32_t v = base + (rnd() % 12) - 1;
        const uint16_t opcode = static_cast<uint16_t>(0x00D0 | (size << 9));
        const uint16_t ext = static_cast<uint16_t>((address_reg ? 0x9000 : 0x1000));  // D1 or A1
        r.load({opcode, ext});
        r.cpu.addr_regs[0] = kData;
        if (size == 0) {
            r.bus.poke_word(kData, static_cast<uint16_t>((lo << 8) | hi));
        } else if (size == 1) {
            r.bus.poke_word(kData, static_cast<uint16_t>(lo));
            r.bus.poke_word(kData + 2, static_cast<uint16_t>(hi));
        } else {
            r.bus.poke_long(kData, lo);
            r.bus.poke_long(kData + 4, hi);
        }
        const uint32_t value = (v & mask) | (address_reg ? 0 : 0x5A5A5A5Au & ~mask);
        if (address_reg) {
            r.cpu.addr_regs[1] = static_cast<uint32_t>(static_cast<int32_t>(
                size == 0 ? static_cast<int8_t>(v) : size == 1 ? static_cast<int16_t>(v) : static_cast<int32_t>(v)));
        } else {
            r.cpu.data_regs[1] = value;
        }
        ASSERT_EQ(r.run(), 12);
        auto sx = [&](uint32_t x) -> uint32_t {
            return size == 0 ? static_cast<uint32_t>(static_cast<int8_t>(x))
                 : size == 1 ? static_cast<uint32_t>(static_cast<int16_t>(x)) : x;
        };
        uint32_t lo_c = lo, hi_c = hi, v_c = v & mask, m = mask;
        if (address_reg) {
            lo_c = sx(lo);
            hi_c = sx(hi);
            v_c = r.cpu.addr_regs[1];
            m = 0xFFFFFFFF;
        }
        const bool in = ((v_c - lo_c) & m) <= ((hi_c - lo_c) & m);
        const bool on_bound = v_c == lo_c || v_c == hi_c;
        SCOPED_TRACE(testing::Message() << std::hex << "size " << int(size) << " lo " << lo << " hi " << hi << " v "
                                        << v_c << " an " << address_reg);
        EXPECT_EQ(r.flag_z(), on_bound);
        EXPECT_EQ(r.flag_c(), !in);
        EXPECT_FALSE(r.flag_n() || r.flag_v());
    }
}

TEST(Cmp2, Chk2TrapsOutOfRangeAndThe68060TakesVector61) {
    {
        ArithRig r(CpuType::M68020);
        r.load({0x04D0, 0x0800});  // CHK2.L (A0),D0
        r.cpu.addr_regs[0] = kData;
        r.bus.poke_long(kData, 10);
        r.bus.poke_long(kData + 4, 20);
        r.cpu.data_regs[0] = 21;
        r.run();
        EXPECT_EQ(r.vector(), static_cast<int>(kVectorChk));
        EXPECT_EQ(r.bus.peek_long(r.cpu.addr_regs[7] + 2), ArithRig::kCode + 4);  // next PC
        EXPECT_EQ(r.bus.peek_word(r.cpu.addr_regs[7]) & 1, 1);  // C set
    }
    {
        ArithRig r(CpuType::M68020);
        r.load({0x04D0, 0x0800});
        r.cpu.addr_regs[0] = kData;
        r.bus.poke_long(kData, 10);
        r.bus.poke_long(kData + 4, 20);
        r.cpu.data_regs[0] = 15;
        r.run();
        EXPECT_EQ(r.vector(), -1);
    }
    {
        ArithRig r(CpuType::M68060);
        r.load({0x04D0, 0x0800});
        r.run();
        EXPECT_EQ(r.vector(), static_cast<int>(kVectorUnimplementedInteger));
    }
}

TEST(Module, CallmAndRtmOnTheM68020Only) {
    {
        ArithRig r(CpuType::M68020);
        r.load({0x06D0, 0x0000});  // CALLM #0,(A0)
        r.cpu.addr_regs[0] = kData;
        r.bus.poke_long(kData + 4, 0x5000);
        EXPECT_EQ(r.run(), 60);
        EXPECT_EQ(r.cpu.pc, 0x5000u);
        EXPECT_EQ(r.cpu.addr_regs[7], ArithRig::kStack - 8);
        EXPECT_EQ(r.bus.peek_long(ArithRig::kStack - 4), ArithRig::kCode + 4);
        EXPECT_EQ(r.bus.peek_long(ArithRig::kStack - 8), kData | 0xC0000000u);
        // RTM D0 returns past the CALLM
        r.bus.poke_word(ArithRig::kCode, 0x06C0);
        EXPECT_EQ(r.run(), 40);
        EXPECT_EQ(r.cpu.pc, ArithRig::kCode + 4);
        EXPECT_EQ(r.cpu.addr_regs[7], ArithRig::kStack);
    }
    for (uint16_t opcode : {uint16_t{0x06D0}, uint16_t{0x06C0}}) {
        ArithRig r(CpuType::M68030);
        r.load({opcode, 0x0000});
        r.cpu.addr_regs[0] = kData;
        r.run();
        EXPECT_EQ(r.vector(), static_cast<int>(kVectorLineF));
    }
}

}  // namespace
}  // namespace m68k
