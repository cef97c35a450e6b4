// The extended-precision family (ADDX, SUBX, NEGX and the BCD ABCD, SBCD, NBCD) on every CPU
// type, register and memory forms, every size, against a bit-by-bit (digit-by-digit for BCD)
// ripple model: the carry chain there cannot wrap the way a sum formed in the operand's width can.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "m68k/cpu.hpp"
#include "support/test_bus.hpp"

namespace m68k {
namespace {

enum class Op { Addx, Subx, Negx, Abcd, Sbcd, Nbcd };

constexpr const char* kOpNames[] = {"ADDX", "SUBX", "NEGX", "ABCD", "SBCD", "NBCD"};

struct Expected {
    uint32_t result;
    bool carry;  // C and X
    bool n, v;   // binary forms only
};

// destination op source with X, one bit at a time.
Expected ripple_binary(Op op, uint32_t bits, uint32_t source, uint32_t destination, bool x) {
    if (op == Op::Negx) destination = 0;
    int carry = x ? 1 : 0;
    uint32_t result = 0;
    for (uint32_t i = 0; i < bits; ++i) {
        const int a = static_cast<int>((destination >> i) & 1);
        const int b = static_cast<int>((source >> i) & 1);
        const int t = op == Op::Addx ? a + b + carry : a - b - carry;
        result |= static_cast<uint32_t>(t & 1) << i;
        carry = op == Op::Addx ? t >> 1 : (t < 0 ? 1 : 0);
    }
    const uint32_t top = bits - 1;
    const bool sd = (destination >> top) & 1, ss = (source >> top) & 1, sr = (result >> top) & 1;
    const bool v = op == Op::Addx ? (sd == ss && sr != sd) : (sd != ss && sr != sd);
    return {result, carry != 0, sr, v};
}

// Two decimal digits, the low one first; operands are valid BCD.
Expected ripple_bcd(Op op, uint32_t source, uint32_t destination, bool x) {
    if (op == Op::Nbcd) destination = 0;
    int carry = x ? 1 : 0;
    uint32_t result = 0;
    for (uint32_t digit = 0; digit < 2; ++digit) {
        const int a = static_cast<int>((destination >> (4 * digit)) & 0xF);
        const int b = static_cast<int>((source >> (4 * digit)) & 0xF);
        int t = op == Op::Abcd ? a + b + carry : a - b - carry;
        carry = 0;
        if (t > 9) {
            t -= 10;
            carry = 1;
        } else if (t < 0) {
            t += 10;
            carry = 1;
        }
        result |= static_cast<uint32_t>(t) << (4 * digit);
    }
    return {result, carry != 0, false, false};
}

constexpr uint32_t kCode = 0x1000;
constexpr uint32_t kSource = 0x3010;       // memory forms: -(A1) source, -(A0) or (A0) destination
constexpr uint32_t kDestination = 0x3020;

uint16_t opcode_of(Op op, uint32_t size, bool memory) {
    const uint16_t m = memory ? 0x0008 : 0;
    switch (op) {
    case Op::Addx: return static_cast<uint16_t>(0xD101 | (size << 6) | m);  // ADDX D1,D0 / -(A1),-(A0)
    case Op::Subx: return static_cast<uint16_t>(0x9101 | (size << 6) | m);
    case Op::Negx: return static_cast<uint16_t>((memory ? 0x4010 : 0x4000) | (size << 6));  // D0 / (A0)
    case Op::Abcd: return static_cast<uint16_t>(0xC101 | m);
    case Op::Sbcd: return static_cast<uint16_t>(0x8101 | m);
    case Op::Nbcd: return memory ? 0x4810 : 0x4800;
    }
    return 0;
}

struct Case {
    uint32_t source, destination;
    bool x, z;
};

std::vector<Case> cases_for(bool bcd, uint32_t mask) {
    std::vector<uint32_t> edges;
    if (bcd) {
        edges = {0x00, 0x01, 0x09, 0x10, 0x50, 0x98, 0x99};
    } else {
        const uint32_t msb = (mask >> 1) + 1;
        edges = {0, 1, msb - 1, msb, msb + 1, mask - 1, mask};
    }
    std::vector<Case> v;
    for (uint32_t s : edges) {
        for (uint32_t d : edges) {
            for (int xz = 0; xz < 4; ++xz) v.push_back({s, d, (xz & 1) != 0, (xz & 2) != 0});
        }
    }
    std::mt19937 rng(0x5EED + mask);
    auto random_operand = [&] {
        if (!bcd) return static_cast<uint32_t>(rng()) & mask;
        return static_cast<uint32_t>(rng() % 10) | (static_cast<uint32_t>(rng() % 10) << 4);
    };
    for (int i = 0; i < 64; ++i) {
        const uint32_t s = random_operand();
        const uint32_t d = random_operand();
        v.push_back({s, d, (rng() & 1) != 0, (rng() & 1) != 0});
    }
    return v;
}

TEST(ExtendedPrecision, EveryTypeSizeAndFormMatchesTheRippleModel) {
    constexpr CpuType kTypes[] = {CpuType::M68000,  CpuType::M68010,   CpuType::M68EC020, CpuType::M68020,
                                  CpuType::M68EC030, CpuType::M68030,  CpuType::M68EC040, CpuType::M68LC040,
                                  CpuType::M68040,  CpuType::Scc68070, CpuType::M68060};
    const Op ops[] = {Op::Addx, Op::Subx, Op::Negx, Op::Abcd, Op::Sbcd, Op::Nbcd};
    test::TestBus bus;
    bus.recording = false;
    int failures = 0;
    for (CpuType type : kTypes) {
        for (Op op : ops) {
            const bool bcd = op == Op::Abcd || op == Op::Sbcd || op == Op::Nbcd;
            const bool unary = op == Op::Negx || op == Op::Nbcd;
            for (uint32_t size = 0; size < (bcd ? 1u : 3u); ++size) {
                const uint32_t bytes = 1u << size;
                const uint32_t mask = size == 2 ? 0xFFFFFFFFu : (1u << (8 * bytes)) - 1;
                for (const bool memory : {false, true}) {
                    const uint16_t opcode = opcode_of(op, size, memory);
                    for (const Case& c : cases_for(bcd, mask)) {
                        Cpu cpu;
                        cpu.set_cpu_type(type);
                        cpu.set_sr(0x2700);
                        cpu.addr_regs[7] = 0x8000;
                        cpu.flag_x = c.x ? 0x100 : 0;
                        cpu.flag_not_z = c.z ? 0 : 1;
                        bus.poke_word(kCode, opcode);
                        cpu.pc = kCode;
                        // The operand: Dn holds it under noise that a byte or word form must keep.
                        const uint32_t noise = 0x5A3C96E1u & ~mask;
                        const uint32_t unary_operand = c.source;
                        uint32_t destination = unary ? unary_operand : c.destination;
                        if (memory) {
                            const uint32_t dest_address = unary ? kDestination : kDestination - bytes;
                            for (uint32_t i = 0; i < bytes; ++i) {
                                bus.write_byte(kSource - bytes + i, static_cast<uint8_t>(c.source >> (8 * (bytes - 1 - i))));
                                bus.write_byte(dest_address + i, static_cast<uint8_t>(destination >> (8 * (bytes - 1 - i))));
                            }
                            cpu.addr_regs[1] = kSource;
                            cpu.addr_regs[0] = kDestination;
                        } else {
                            cpu.data_regs[1] = c.source | noise;
                            cpu.data_regs[0] = destination | noise;
                        }
                        const StepResult r = step(cpu, bus);

                        const Expected e = bcd ? ripple_bcd(op, c.source, c.destination, c.x)
                                               : ripple_binary(op, 8 * bytes, c.source, c.destination, c.x);
                        uint32_t got;
                        if (memory) {
                            const uint32_t dest_address = unary ? kDestination : kDestination - bytes;
                            got = 0;
                            for (uint32_t i = 0; i < bytes; ++i) got = (got << 8) | bus.read_byte(dest_address + i);
                        } else {
                            got = cpu.data_regs[0] & mask;
                        }
                        const bool z_expected = c.z && e.result == 0;
                        bool ok = r.status() == StepStatus::Ok && !cpu.vector_this_step && got == e.result &&
                                  ((cpu.flag_c & 0x100) != 0) == e.carry && ((cpu.flag_x & 0x100) != 0) == e.carry &&
                                  (cpu.flag_not_z == 0) == z_expected;
                        if (!memory) ok = ok && (cpu.data_regs[0] & ~mask) == noise;
                        if (memory && !unary) {
                            ok = ok && cpu.addr_regs[1] == kSource - bytes && cpu.addr_regs[0] == kDestination - bytes;
                        }
                        if (!bcd) ok = ok && ((cpu.flag_n & 0x80) != 0) == e.n && ((cpu.flag_v & 0x80) != 0) == e.v;
                        if (!ok && ++failures <= 20) {
                            ADD_FAILURE() << kOpNames[static_cast<int>(op)] << " size " << size
                                          << (memory ? " memory" : " register") << " type "
                                          << static_cast<int>(type) << std::hex << " src 0x" << c.source
                                          << " dst 0x" << c.destination << " X " << c.x << " Z " << c.z
                                          << ": expected 0x" << e.result << " C/X " << e.carry << " N "
                                          << e.n << " V " << e.v << ", got 0x" << got << " C "
                                          << (cpu.flag_c >> 8 & 1) << " X " << (cpu.flag_x >> 8 & 1) << " Z "
                                          << (cpu.flag_not_z == 0) << " N " << (cpu.flag_n >> 7 & 1) << " V "
                                          << (cpu.flag_v >> 7 & 1);
                        }
                    }
                }
            }
        }
    }
    EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace m68k
