// The specialised routines of the decode table against the classifier's general routines: the same
// opcode from the same random state (registers, flags, stack, code and data) must give the same
// registers, flags, PC, fault state, cycle count and bus accesses in the same order.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/decode.hpp"
#include "m68k/cpu.hpp"
#include "m68k/cpu_bus.hpp"

namespace m68k {
namespace {

// 4 KiB of RAM mirrored over the whole address space, so that any register value addresses it
// (vector table and stack included); every access is recorded.
class SmallBus final : public CpuBus {
public:
    static constexpr uint32_t kMask = 0xFFF;

    struct Event {
        uint8_t kind;
        uint32_t address;
        uint32_t value;
        friend bool operator==(const Event&, const Event&) = default;
    };

    uint8_t read_byte(uint32_t a) override { return log(0, a, ram[a & kMask]); }
    uint16_t read_word(uint32_t a) override { return static_cast<uint16_t>(log(1, a, word(a))); }
    uint32_t read_long(uint32_t a) override { return log(2, a, (word(a) << 16) | word(a + 2)); }
    void write_byte(uint32_t a, uint8_t v) override {
        log(3, a, v);
        ram[a & kMask] = v;
    }
    void write_word(uint32_t a, uint16_t v) override {
        log(4, a, v);
        put_word(a, v);
    }
    void write_long(uint32_t a, uint32_t v) override {
        log(5, a, v);
        put_word(a, static_cast<uint16_t>(v >> 16));
        put_word(a + 2, static_cast<uint16_t>(v));
    }
    uint8_t acknowledge_interrupt(uint8_t level) override { return static_cast<uint8_t>(log(6, level, 24)); }

    uint32_t word(uint32_t a) const { return (uint32_t{ram[a & kMask]} << 8) | ram[(a + 1) & kMask]; }
    void put_word(uint32_t a, uint16_t v) {
        ram[a & kMask] = static_cast<uint8_t>(v >> 8);
        ram[(a + 1) & kMask] = static_cast<uint8_t>(v);
    }

    std::array<uint8_t, kMask + 1> ram{};
    std::vector<Event> events;

private:
    uint32_t log(uint8_t kind, uint32_t a, uint32_t v) {
        events.push_back(Event{kind, a, v});
        return v;
    }
};

// A value that often sits on a boundary the flags care about.
uint32_t interesting(std::mt19937& rng) {
    static constexpr uint32_t kEdges[] = {0, 1, 0x7F, 0x80, 0xFF, 0x7FFF, 0x8000, 0xFFFF,
                                          0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0x00010000};
    switch (rng() % 4) {
    case 0: return kEdges[rng() % std::size(kEdges)];
    case 1: return rng() & 0xFF;
    default: return static_cast<uint32_t>(rng());
    }
}

struct Setup {
    SmallBus bus;
    Cpu cpu;
};

// `base` is a reset CPU of the type under test.
void prepare(Setup& s, const Cpu& base, uint16_t opcode, uint32_t seed) {
    std::mt19937 rng(seed);
    uint64_t fill = (uint64_t{rng()} << 32) | rng() | 1;
    for (size_t i = 0; i < s.bus.ram.size(); i += 8) {
        fill ^= fill << 13;
        fill ^= fill >> 7;
        fill ^= fill << 17;
        for (size_t k = 0; k < 8; ++k) s.bus.ram[i + k] = static_cast<uint8_t>(fill >> (8 * k));
    }
    s.bus.events.clear();
    Cpu& cpu = s.cpu;
    cpu = base;
    // Random CCR, supervisor or user, no trace (trace is the step's business).
    cpu.set_sr(static_cast<uint16_t>((rng() & 0x271F) | ((rng() & 1) ? 0x2000 : 0)));
    for (auto& d : cpu.data_regs) d = interesting(rng);
    for (int i = 0; i < 8; ++i) {
        // Mostly even addresses; odd ones test the address-error path.
        uint32_t a = static_cast<uint32_t>(rng());
        if (rng() % 8 != 0) a &= ~1u;
        cpu.addr_regs[i] = a;
    }
    cpu.sp_bank[kUspSlot] = static_cast<uint32_t>(rng()) & ~1u;
    const uint32_t pc = (static_cast<uint32_t>(rng()) & 0xFFFFFE) | 0x1000;
    s.bus.put_word(pc, opcode);
    cpu.ppc = pc;
    cpu.pc = pc + 2;
    cpu.ir = opcode;
    cpu.sr_at_start = cpu.get_sr();
    for (int i = 0; i < 8; ++i) {
        cpu.insn_snapshot[i] = cpu.data_regs[i];
        cpu.insn_snapshot[8 + i] = cpu.addr_regs[i];
    }
}

// The first difference between two runs, or an empty string.
std::string compare(const Setup& a, const Setup& b, int32_t ra, int32_t rb) {
    const Cpu& x = a.cpu;
    const Cpu& y = b.cpu;
    if (ra != rb) return "cycles " + std::to_string(ra) + " vs " + std::to_string(rb);
    for (int i = 0; i < 8; ++i) {
        if (x.data_regs[i] != y.data_regs[i]) return "D" + std::to_string(i);
        if (x.addr_regs[i] != y.addr_regs[i]) return "A" + std::to_string(i);
        if (x.sp_bank[i] != y.sp_bank[i]) return "stack bank " + std::to_string(i);
    }
    if (x.pc != y.pc) return "PC";
    if (x.get_sr() != y.get_sr()) return "SR";
    if (x.flag_x != y.flag_x || x.flag_n != y.flag_n || x.flag_not_z != y.flag_not_z || x.flag_v != y.flag_v ||
        x.flag_c != y.flag_c) {
        return "raw flags";
    }
    if (x.aborted != y.aborted) return "aborted";
    if (x.vector_this_step != y.vector_this_step) return "vector";
    if (x.fault_snapshot.valid != y.fault_snapshot.valid || x.fault_snapshot.pc != y.fault_snapshot.pc ||
        x.fault_snapshot.sr != y.fault_snapshot.sr || x.fault_snapshot.regs != y.fault_snapshot.regs) {
        return "fault snapshot";
    }
    if (x.flow_changed != y.flow_changed) return "flow";
    if (x.last_write_data != y.last_write_data) return "last write";
    if (x.stopped != y.stopped || x.in_exception != y.in_exception) return "run state";
    if (x.fetching_ext != y.fetching_ext || x.prefetch_count != y.prefetch_count) return "fetch state";
    if (a.bus.events != b.bus.events) return "bus accesses";
    return {};
}

// Every specialised opcode of a type, each from `states` random states.
void check_type(CpuType type, uint32_t opcode_stride, int states) {
    const Handler* table = decode_table_for(type);
    static Setup general;
    static Setup special;
    Cpu base;
    base.set_cpu_type(type);
    base.reset();
    int specialised = 0;
    int failures = 0;
    for (uint32_t op = 0; op < 65536 && failures < 10; op += opcode_stride) {
        const auto opcode = static_cast<uint16_t>(op);
        const Handler fast = table[op];
        const Handler slow = classify(type, opcode);
        if (fast == slow) continue;
        ++specialised;
        for (int i = 0; i < states; ++i) {
            const uint32_t seed = op * 131u + static_cast<uint32_t>(i) * 7919u + static_cast<uint32_t>(type);
            prepare(general, base, opcode, seed);
            prepare(special, base, opcode, seed);
            const int32_t rg = slow(general.cpu, general.bus, opcode);
            const int32_t rs = fast(special.cpu, special.bus, opcode);
            const std::string diff = compare(general, special, rg, rs);
            if (!diff.empty()) {
                ADD_FAILURE() << "type " << static_cast<int>(type) << " opcode " << std::hex << op << std::dec
                              << " seed " << seed << ": " << diff;
                ++failures;
                break;
            }
        }
    }
    EXPECT_GT(specialised, 0) << "no specialised opcode on type " << static_cast<int>(type);
}

TEST(FastPaths, Scc68070MatchesTheGeneralRoutines) { check_type(CpuType::Scc68070, 1, 6); }

TEST(FastPaths, The68020ClassMatchesTheGeneralRoutines) {
    for (CpuType t : {CpuType::M68EC020, CpuType::M68020, CpuType::M68EC030, CpuType::M68030, CpuType::M68EC040,
                      CpuType::M68LC040, CpuType::M68040, CpuType::M68060}) {
        check_type(t, 5, 2);
    }
}

// The queue types keep the general routines everywhere: their refills sit inside them.
TEST(FastPaths, QueueTypesHaveNoSpecialisedRoutine) {
    for (CpuType t : {CpuType::M68000, CpuType::M68010}) {
        const Handler* table = decode_table_for(t);
        for (uint32_t op = 0; op < 65536; ++op) {
            ASSERT_EQ(table[op], classify(t, static_cast<uint16_t>(op))) << std::hex << op;
        }
    }
}

// The hot forms of a CPU-bound loop do get a specialised routine on the SCC68070.
TEST(FastPaths, HotFormsAreSpecialised) {
    const Handler* table = decode_table_for(CpuType::Scc68070);
    for (uint16_t op : {0x2018, 0xD280, 0x9242, 0x22C1, 0xE78A, 0xE243, 0xB481, 0x6602, 0x5284, 0x51CF, 0x60D6,
                        0x7000, 0x41F8, 0xE699, 0xB181, 0x4A80, 0x4280, 0x4E75, 0x4EB9, 0x0800, 0x48E7,
                        0x4CDF, 0x0C40}) {
        EXPECT_NE(table[op], classify(CpuType::Scc68070, op)) << std::hex << op;
    }
}

}  // namespace
}  // namespace m68k
