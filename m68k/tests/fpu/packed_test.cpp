#include "fpu/packed.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <random>
#include <string>

namespace m68k {
namespace {

std::string hex(Fx80 x) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04X:%016llX", x.sign_exp, static_cast<unsigned long long>(x.mantissa));
    return buf;
}

Fx80 fx(uint16_t se, uint64_t m) { return Fx80{m, se}; }

PackedDecimal pd(uint32_t a, uint32_t b, uint32_t c) { return packed_from_longs(a, b, c); }

struct WriteCase {
    const char* name;
    Fx80 x;
    int k;
    PackedDecimal want;
    uint8_t want_flags;  // INEX1 and OPERR only; scaling's INEX2 is not looked at
};

TEST(PackedDecimal, WritesRecords) {
    const WriteCase cases[] = {
        {"1.0 k=17", fx80_one(), 17, pd(0x00000001, 0, 0), 0},
        {"1.0 k=1", fx80_one(), 1, pd(0x00000001, 0, 0), 0},
        {"1234.5678 k=3", fx(0x4009, 0x9A522B6AE7D566CF), 3, pd(0x00030001, 0x23000000, 0), kFlagInex1},
        {"0.5 k=0", fx(0x3FFE, 0x8000000000000000), 0, pd(0x40010005, 0, 0), 0},
        {"0.001 k=0", fx(0x3FF5, 0x83126E978D4FDF3B), 0, pd(0x40030001, 0, 0), 0},
        {"9.99 k=2", fx(0x4002, 0x9FD70A3D70A3D70A), 2, pd(0x00010001, 0, 0), kFlagInex1},
        {"-inf", fx80_inf(1), 17, pd(0x8FFF0000, 0, 0), 0},
        {"nan", fx(0xFFFF, 0xC000000000000001), 17, pd(0x8FFF000F, 0xFFFFFFFF, 0), 0},
        {"-0", fx(0x8000, 0), 5, pd(0x80000000, 0, 0), 0},
        {"2.5 k=1 half up", fx(0x4000, 0xA000000000000000), 1, pd(0x00000003, 0, 0), kFlagInex1},
        {"-12.5 k=0 half up", fx(0xC002, 0xC800000000000000), 0, pd(0x80010001, 0x30000000, 0), kFlagInex1},
        {"-12 k=-1", fx(0xC002, 0xC000000000000000), -1, pd(0x80010001, 0x20000000, 0), 0},
        // Four-digit exponents: OPERR, and the thousands digit in bits 15-12.
        {"1e1024 k=1", fx(0x4D48, 0xC976758681750C17), 1, pd(0x00241001, 0, 0), kFlagOperr},
        {"1e4096 k=1", fx(0x7525, 0xC46052028A20979B), 1, pd(0x00964001, 0, 0), kFlagOperr},
        {"2^-16445 k=3", fx(0x0000, 0x0000000000000001), 3, pd(0x49514003, 0x65000000, 0), kFlagOperr | kFlagInex1},
    };
    for (const WriteCase& c : cases) {
        uint8_t flags = 0;
        const PackedDecimal got = fx80_to_packed(c.x, c.k, flags);
        EXPECT_EQ(got.longs, c.want.longs) << c.name << std::hex << " got " << got.longs[0] << " " << got.longs[1]
                                           << " " << got.longs[2];
        EXPECT_EQ(flags & (kFlagInex1 | kFlagOperr), c.want_flags) << c.name;
    }
}

TEST(PackedDecimal, EncodeWritesTheFourthExponentDigit) {
    std::array<uint8_t, kPackedDigits> one{};
    one[0] = 1;
    EXPECT_EQ(packed_encode(0, 4000, one).longs, pd(0x00004001, 0, 0).longs);
    EXPECT_EQ(packed_encode(0, -1234, one).longs, pd(0x42341001, 0, 0).longs);
    EXPECT_EQ(packed_encode(1, 999, one).longs, pd(0x89990001, 0, 0).longs);
}

TEST(PackedDecimal, ReadsRecords) {
    struct Case {
        PackedDecimal p;
        Fx80 want;
    } cases[] = {
        {pd(0x0FFF0000, 0, 0), fx80_inf(0)},
        {pd(0x8FFF0000, 0, 0), fx80_inf(1)},
        {pd(0x8FFF0000, 1, 0), kFx80DefaultNan},
        {pd(0x80120000, 0, 0), fx(0x8000, 0)},  // zero digits, any exponent
        {pd(0x00000001, 0, 0), fx80_one()},
        {pd(0x40010001, 0x50000000, 0), fx(0x3FFC, 0x999999999999999A)},  // 0.15, RN
        {pd(0x0000000A, 0, 0), fx(0x4002, 0xA000000000000000)},           // nibble 10 at face value
    };
    for (const Case& c : cases) {
        uint8_t flags = 0;
        EXPECT_EQ(hex(packed_to_fx80(c.p, flags)), hex(c.want)) << std::hex << c.p.longs[0];
    }
}

#if defined(__x86_64__) && LDBL_MANT_DIG == 64
Fx80 from_ld(long double v) {
    Fx80 x;
    std::memcpy(&x.mantissa, &v, 8);
    std::memcpy(&x.sign_exp, reinterpret_cast<const char*>(&v) + 8, 2);
    return x;
}

// Records whose power of ten is exact (|E - 16| <= 27) read as strtold reads their text.
TEST(PackedDecimal, ReadingMatchesStrtold) {
    std::mt19937_64 rng(5);
    for (int i = 0; i < 20000; ++i) {
        std::array<uint8_t, kPackedDigits> digits{};
        std::string text = (rng() & 1) ? "-" : "";
        for (int d = 0; d < kPackedDigits; ++d) digits[d] = static_cast<uint8_t>(rng() % 10);
        if (digits[0] == 0) digits[0] = 1;
        const int e = static_cast<int>(rng() % 55) - 11;
        text += static_cast<char>('0' + digits[0]);
        text += '.';
        for (int d = 1; d < kPackedDigits; ++d) text += static_cast<char>('0' + digits[d]);
        text += 'e';
        text += std::to_string(e);
        const PackedDecimal p = packed_encode(text[0] == '-', e, digits);
        uint8_t flags = 0;
        ASSERT_EQ(hex(packed_to_fx80(p, flags)), hex(from_ld(std::strtold(text.c_str(), nullptr)))) << text;
    }
}

// Writing with 17 digits agrees with printf's correctly rounded digits to within one in the last.
TEST(PackedDecimal, WritingMatchesPrintfWithinOneDigit) {
    std::mt19937_64 rng(6);
    for (int i = 0; i < 20000; ++i) {
        const int e = static_cast<int>(rng() % 0x7FFE);
        const Fx80 x = fx(static_cast<uint16_t>(e | ((rng() & 1) << 15)), (e == 0 ? rng() >> 1 : rng() | kFx80IntegerBit));
        long double v;
        std::memcpy(&v, &x, 10);
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.16Le", v);
        // "-d.dddddddddddddddde+EEEE"
        const char* s = buf;
        const bool neg = *s == '-';
        if (neg) ++s;
        long long want_digits = 0;
        for (const char* c = s; *c && *c != 'e'; ++c) {
            if (*c != '.') want_digits = want_digits * 10 + (*c - '0');
        }
        const int want_exp = std::atoi(std::strchr(s, 'e') + 1);
        uint8_t flags = 0;
        const PackedDecimal p = fx80_to_packed(x, 17, flags);
        long long got_digits = p.longs[0] & 0xF;
        for (uint32_t w : {p.longs[1], p.longs[2]}) {
            for (int sh = 28; sh >= 0; sh -= 4) got_digits = got_digits * 10 + ((w >> sh) & 0xF);
        }
        const uint32_t l0 = p.longs[0];
        int got_exp = static_cast<int>(((l0 >> 12) & 0xF) * 1000 + ((l0 >> 24) & 0xF) * 100 + ((l0 >> 20) & 0xF) * 10 +
                                       ((l0 >> 16) & 0xF));
        if (l0 & 0x40000000) got_exp = -got_exp;
        ASSERT_EQ((l0 >> 31) != 0, neg) << buf;
        // Compare as one number so that 9.999...9e5 and 1.000...0e6 are neighbours.
        const long double got_val = static_cast<long double>(got_digits) * powl(10.0L, got_exp - want_exp);
        ASSERT_LE(fabsl(got_val - static_cast<long double>(want_digits)), 1.0L) << buf << " got " << got_digits << "e" << got_exp;
        ASSERT_EQ((flags & kFlagOperr) != 0, got_exp >= 1000 || got_exp <= -1000) << buf;
    }
}
#endif

// Records against a decimal reference (make_packed_fixture.py): k-factors from -20 to 18, ties
// rounded half up on the 17 digits.
TEST(PackedDecimal, WritingMatchesDecimalReference) {
    std::ifstream in(std::string(VESTREL_SOURCE_DIR) + "/m68k/tests/fpu/packed_fixture.txt");
    ASSERT_TRUE(in) << "fixture missing";
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        unsigned se = 0, l0 = 0, l1 = 0, l2 = 0;
        unsigned long long m = 0;
        int k = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%x:%llx %d %x %x %x", &se, &m, &k, &l0, &l1, &l2), 6) << line;
        uint8_t flags = 0;
        const PackedDecimal got = fx80_to_packed(fx(static_cast<uint16_t>(se), m), k, flags);
        EXPECT_EQ(got.longs, pd(l0, l1, l2).longs) << line << std::hex << " got " << got.longs[0] << " "
                                                    << got.longs[1] << " " << got.longs[2];
        ++count;
    }
    EXPECT_EQ(count, 300);
}

TEST(PackedDecimal, ScalePow10) {
    uint8_t flags = 0;
    EXPECT_EQ(fx80_scale_pow10(fx80_one(), 0, flags), fx80_one());
    EXPECT_EQ(hex(fx80_scale_pow10(fx80_one(), 16, flags)), "4034:8E1BC9BF04000000");
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(hex(fx80_scale_pow10(fx(0x4034, 0x8E1BC9BF04000000), -16, flags)), hex(fx80_one()));
}

}  // namespace
}  // namespace m68k
