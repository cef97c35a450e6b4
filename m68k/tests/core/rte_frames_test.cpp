// RTE of the bus-fault frames on every type that accepts them, the frames built by hand from the
// manuals' layouts, and the restart they ask of the instruction that runs next.
//
// 68020/68030 long bus fault frame (format B, 46 words): +0 SR, +2 PC, +6 format/vector, +10 SSW
// (bit 8 DF: re-run the data cycle; bit 6 RW: read), +16 data cycle fault address, +44 data input
// buffer. 68040 access error frame (format 7, 30 words): +6 format/vector, +12 SSW (bit 10 ATC,
// bit 8 RW), +14 write-back 3 status (bit 7 valid), +20 fault address, +24 write-back 3 address.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/exceptions.hpp"
#include "m68k/cpu.hpp"
#include "support/test_bus.hpp"

namespace m68k {
namespace {

constexpr uint32_t kResume = 0x1000;  // MOVE.L (A0),D0 or MOVE.L D0,(A0), then NOP
constexpr uint32_t kRteAt = 0x2000;
constexpr uint32_t kStack = 0x8000;
constexpr uint32_t kHandler = 0x3000;
constexpr uint32_t kOperand = 0x4000;

struct FrameCase {
    uint16_t format;      // 0x7 or 0xB
    uint16_t ssw;
    uint16_t wb3s;        // format 7 only
    bool write;
    bool restart_latch;   // the next access of kOperand is served or dropped
};

struct Rig {
    explicit Rig(CpuType type) {
        cpu.set_cpu_type(type);
        cpu.reset();
        for (uint32_t v = 0; v < 64; ++v) bus.poke_long(4 * v, kHandler + 0x10 * v);
        bus.poke_word(kRteAt, 0x4E73);
        bus.poke_long(kOperand, 0x11112222);
    }
    // The frame at kStack - size, returning to kResume in supervisor mode.
    uint32_t push_frame(const FrameCase& c) {
        const uint32_t size = c.format == 0xB ? 92 : 60;
        const uint32_t sp = kStack - size;
        for (uint32_t off = 0; off < size; off += 2) bus.poke_word(sp + off, 0);
        bus.poke_word(sp, 0x2700);
        bus.poke_long(sp + 2, kResume);
        bus.poke_word(sp + 6, static_cast<uint16_t>((c.format << 12) | 0x008));
        if (c.format == 0xB) {
            bus.poke_word(sp + 10, c.ssw);
            bus.poke_long(sp + 16, kOperand);
            bus.poke_long(sp + 44, 0xCAFEF00D);
        } else {
            bus.poke_long(sp + 8, kOperand);
            bus.poke_word(sp + 12, c.ssw);
            bus.poke_word(sp + 14, c.wb3s);
            bus.poke_long(sp + 20, kOperand);
            bus.poke_long(sp + 24, kOperand);
        }
        cpu.set_sr(0x2700);
        cpu.addr_regs[7] = sp;
        cpu.pc = kRteAt;
        return size;
    }
    Cpu cpu;
    test::TestBus bus;
};

TEST(RteFrames, RestartLatchesOnEveryTypeThatTakesTheFrame) {
    const FrameCase format_b[] = {
        {0xB, 0x0041, 0, false, true},   // read, DF clear: the buffer is the data
        {0xB, 0x0141, 0, false, false},  // DF set: the read runs again
        {0xB, 0x0001, 0, true, true},    // write, DF clear: done by the handler, dropped
        {0xB, 0x0101, 0, true, false},
        {0xB, 0x1041, 0, false, false},  // a pipe fault (FB) pending: no data restart
    };
    const FrameCase format_7[] = {
        {0x7, 0x0401, 0x0001, true, true},    // ATC write fault, write-back done: dropped
        {0x7, 0x0401, 0x0081, true, false},   // write-back still valid: written again
        {0x7, 0x0501, 0x0001, false, false},  // a read: nothing latched
        {0x7, 0x0001, 0x0001, true, false},   // not an ATC fault
    };
    struct TypeCase {
        CpuType type;
        const FrameCase* cases;
        size_t count;
    };
    const TypeCase types[] = {
        {CpuType::M68EC020, format_b, std::size(format_b)}, {CpuType::M68020, format_b, std::size(format_b)},
        {CpuType::M68EC030, format_b, std::size(format_b)}, {CpuType::M68030, format_b, std::size(format_b)},
        {CpuType::M68EC040, format_7, std::size(format_7)}, {CpuType::M68LC040, format_7, std::size(format_7)},
        {CpuType::M68040, format_7, std::size(format_7)},
    };
    for (const auto& t : types) {
        for (size_t i = 0; i < t.count; ++i) {
            const FrameCase& c = t.cases[i];
            SCOPED_TRACE(::testing::Message() << "type " << static_cast<int>(t.type) << " ssw " << std::hex << c.ssw);
            Rig r(t.type);
            r.bus.poke_word(kResume, c.write ? 0x2080 : 0x2010);
            r.bus.poke_word(kResume + 2, 0x4E71);
            const uint32_t size = r.push_frame(c);
            r.cpu.addr_regs[0] = kOperand;
            r.cpu.data_regs[0] = c.write ? 0x33334444 : 0;
            step(r.cpu, r.bus);  // RTE
            ASSERT_EQ(r.cpu.pc, kResume);
            EXPECT_EQ(r.cpu.addr_regs[7], kStack) << "the whole frame of " << size << " bytes popped";
            r.bus.events.clear();
            step(r.cpu, r.bus);  // the restarted MOVE
            EXPECT_EQ(r.cpu.pc, kResume + 2);
            const bool bus_touched = std::any_of(r.bus.events.begin(), r.bus.events.end(),
                                                 [](const test::BusEvent& e) { return e.address == kOperand; });
            EXPECT_EQ(bus_touched, !c.restart_latch);
            if (c.write) {
                EXPECT_EQ(r.bus.peek_long(kOperand), c.restart_latch ? 0x11112222u : 0x33334444u);
            } else {
                EXPECT_EQ(r.cpu.data_regs[0], c.restart_latch ? 0xCAFEF00Du : 0x11112222u);
            }
            EXPECT_FALSE(r.cpu.read_latch.has_value());
            EXPECT_FALSE(r.cpu.skip_write_addr.has_value());
        }
    }
}

// A frame the type does not take is a format error (vector 14) and pops nothing.
TEST(RteFrames, OtherTypesRejectTheFrames) {
    const struct {
        CpuType type;
        uint16_t format;
    } cases[] = {
        {CpuType::M68020, 0x7}, {CpuType::M68030, 0x7}, {CpuType::M68040, 0xB},
        {CpuType::M68060, 0x7}, {CpuType::M68060, 0xB}, {CpuType::M68010, 0xB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << static_cast<int>(c.type) << " format " << c.format);
        Rig r(c.type);
        r.push_frame({c.format, 0x0041, 0, false, false});
        const uint32_t sp = r.cpu.addr_regs[7];
        step(r.cpu, r.bus);
        EXPECT_EQ(r.cpu.pc, kHandler + 0x10 * kVectorFormatError);
        EXPECT_EQ(r.cpu.addr_regs[7], sp - 8) << "a format 0 frame on top of the untouched one";
        EXPECT_FALSE(r.cpu.read_latch.has_value());
        EXPECT_FALSE(r.cpu.skip_write_addr.has_value());
    }
}

}  // namespace
}  // namespace m68k
