// Random memory run as code on every CPU type: whatever the bytes decode to, the core must keep
// its state consistent, keep its bus accesses inside what the type can address, and come back
// from every step. The driver takes the reported exceptions the way the frame scheduler does.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/exceptions.hpp"
#include "m68k/cpu.hpp"
#include "support/step_loop.hpp"

namespace m68k {
namespace {

// Thrown by the bus when one call into the core has made far more accesses than any
// instruction or slice can: the core is going round without end.
struct Runaway {};

// 64 KiB mirrored over the whole address space, so random pointers land in the image. It notes
// every access no core of the type may make.
class CheckingBus final : public CpuBus {
public:
    static constexpr uint32_t kAccessCap = 1u << 18;

    static constexpr uint32_t kSize = 1u << 16;

    explicit CheckingBus(const Cpu& cpu) : ram(kSize) {
        // The second word of a long goes to the first word's address + 2 unmasked.
        highest_ = cpu.addr_mask == 0xFFFFFFFFu ? 0xFFFFFFFFu : cpu.addr_mask + 2;
        even_words_ = cpu.odd_address_rule;
        table_walks_ = cpu.mmu_present;
    }

    void publish_window() {
        fetch_window.host = ram.data();
        fetch_window.base = 0;
        fetch_window.limit = kSize - 1;
        fetch_window.mask = kSize - 1;
        fetch_window.wait = 1;
        fetch_window.counters[0] = &window_waits_[0];
        fetch_window.counters[1] = &window_waits_[1];
    }

    uint8_t read_byte(uint32_t a) override {
        check(a, false, "read_byte");
        return ram[a & (kSize - 1)];
    }
    uint16_t read_word(uint32_t a) override {
        check(a, true, "read_word");
        return word(a);
    }
    uint32_t read_long(uint32_t a) override {
        if (!table_walks_) note("read_long on a type without an MMU", a);
        check(a, true, "read_long");
        return (static_cast<uint32_t>(word(a)) << 16) | word(a + 2);
    }
    void write_byte(uint32_t a, uint8_t v) override {
        check(a, false, "write_byte");
        ram[a & (kSize - 1)] = v;
    }
    void write_word(uint32_t a, uint16_t v) override {
        check(a, true, "write_word");
        put(a, v);
    }
    void write_long(uint32_t a, uint32_t v) override {
        check(a, true, "write_long");
        put(a, static_cast<uint16_t>(v >> 16));
        put(a + 2, static_cast<uint16_t>(v));
    }
    uint8_t acknowledge_interrupt(uint8_t level) override {
        if (level < 1 || level > 7) note("acknowledge of level", level);
        return ack_vector;
    }

    uint32_t peek_long(uint32_t a) const { return (static_cast<uint32_t>(word(a)) << 16) | word(a + 2); }

    std::vector<uint8_t> ram;
    std::vector<std::string> faults;
    uint32_t accesses = 0;  // since the driver last cleared it
    uint8_t ack_vector = 0x18;

private:
    void check(uint32_t a, bool word_access, const char* what) {
        if (++accesses > kAccessCap) throw Runaway{};
        if (a > highest_) note(std::string(what) + " beyond the address range", a);
        if (word_access && even_words_ && (a & 1)) note(std::string(what) + " at an odd address", a);
    }
    void note(const std::string& what, uint32_t a) {
        if (faults.size() < 8) faults.push_back(what + " " + std::to_string(a));
    }
    uint16_t word(uint32_t a) const {
        return static_cast<uint16_t>((ram[a & (kSize - 1)] << 8) | ram[(a + 1) & (kSize - 1)]);
    }
    void put(uint32_t a, uint16_t v) {
        ram[a & (kSize - 1)] = static_cast<uint8_t>(v >> 8);
        ram[(a + 1) & (kSize - 1)] = static_cast<uint8_t>(v);
    }

    uint32_t highest_ = 0;
    bool even_words_ = false;
    bool table_walks_ = false;
    uint32_t window_waits_[2] = {0, 0};
};

// What must hold between instructions, whatever ran.
std::string broken_invariant(const Cpu& cpu) {
    if (cpu.in_exception) return "in_exception left set";
    // A halt may leave the snapshot of the fault that caused it; interrupt entry drops it.
    if (cpu.fault_snapshot.valid && cpu.stopped == 0) return "fault snapshot left unconsumed";
    if (cpu.alt_fc_access) return "alternate function code left on";
    if (cpu.fetching_ext) return "fetching_ext left set";
    if (cpu.aborted && cpu.stopped == 0) return "aborted while running";
    if (cpu.sr_s != 0 && cpu.sr_s != 4) return "S field";
    if (cpu.sr_m != 0 && cpu.sr_m != 2) return "M field";
    if (cpu.sr_m != 0 && cpu.sr_s == 0) return "M set in user mode";
    if (cpu.sr_t1 & ~0x8000u || cpu.sr_t0 & ~0x4000u) return "trace fields";
    if (cpu.int_mask & ~0x700u) return "interrupt mask field";
    if (cpu.flag_x & ~0x100u || cpu.flag_c & ~0x100u) return "X or C field";
    if (cpu.flag_n & ~0x80u || cpu.flag_v & ~0x80u) return "N or V field";
    if (cpu.get_sr() & ~cpu.sr_mask) return "SR bits the type lacks";
    if (cpu.prefetch_count > 2) return "prefetch count";
    if (cpu.pending_level > 7) return "pending level";
    return {};
}

constexpr CpuType kTypes[] = {
    CpuType::M68000,  CpuType::M68010,  CpuType::M68EC020, CpuType::M68020,
    CpuType::M68EC030, CpuType::M68030, CpuType::M68EC040, CpuType::M68LC040,
    CpuType::M68040,  CpuType::Scc68070, CpuType::M68060,
};

constexpr int kImagesPerType = 48;
constexpr int kInstructionsPerImage = 1500;

// Exceptions every cycle model charges stay far below this; a count past it is a wrapped
// negative or garbage.
constexpr uint32_t kCycleCeiling = 100000;

uint32_t random_address(std::mt19937& rng) {
    // Mostly even, as code and vectors usually are; some odd to reach the address-error paths.
    const uint32_t a = static_cast<uint32_t>(rng());
    return rng() % 8 == 0 ? a : a & ~1u;
}

void randomise(Cpu& cpu, CheckingBus& bus, std::mt19937& rng) {
    for (auto& b : bus.ram) b = static_cast<uint8_t>(rng());
    // The vector table (and a VBR moved by random code still lands in random bytes).
    for (uint32_t v = 0; v < 256; ++v) {
        const uint32_t a = random_address(rng);
        const uint32_t at = 4 * v;
        bus.ram[at] = static_cast<uint8_t>(a >> 24);
        bus.ram[at + 1] = static_cast<uint8_t>(a >> 16);
        bus.ram[at + 2] = static_cast<uint8_t>(a >> 8);
        bus.ram[at + 3] = static_cast<uint8_t>(a);
    }
    for (auto& d : cpu.data_regs) d = static_cast<uint32_t>(rng());
    for (auto& a : cpu.addr_regs) a = random_address(rng);
    for (auto& s : cpu.sp_bank) s = random_address(rng);
    uint16_t sr = static_cast<uint16_t>(rng());
    if (rng() % 4 != 0) sr |= 0x2000;  // mostly supervisor
    if (rng() % 4 != 0) sr &= 0x3FFF;  // mostly untraced
    cpu.set_sr(sr);
    cpu.pc = random_address(rng);
    // Translation through random tables, half the time on the types that have an MMU; often
    // with supervisor data left untranslated so that the fault frames reach memory.
    if (cpu.mmu_present && rng() % 2) {
        const bool untranslated_supervisor_data = rng() % 2;
        if (cpu.cpu_type == CpuType::M68030) {
            // A usable layout (PS 12, TIA 10, TIB 10) with random FCL and SRE, or anything.
            cpu.tc = rng() % 2 ? 0x80C0AA00u | (static_cast<uint32_t>(rng()) & 0x03000000u)
                               : static_cast<uint32_t>(rng()) | 0x80000000u;
            cpu.crp_limit = static_cast<uint32_t>(rng());
            cpu.srp_limit = static_cast<uint32_t>(rng());
            if (untranslated_supervisor_data) cpu.tt0 = 0x00FF8154;  // FC 5 and 4, either direction
        } else {
            cpu.tc = 0x8000u | (static_cast<uint32_t>(rng()) & 0x4000u);
            if (untranslated_supervisor_data) cpu.dtt0 = 0x00FFA000;
        }
        cpu.urp = static_cast<uint32_t>(rng()) & (CheckingBus::kSize - 1);
        cpu.srp = static_cast<uint32_t>(rng()) & (CheckingBus::kSize - 1);
        cpu.mmu_enabled = true;
    }
    bus.ack_vector = static_cast<uint8_t>(rng());
    if (rng() % 2) bus.publish_window();
}

// The scheduler's handling of a status other than Ok and Stopped.
void take_reported_exception(Cpu& cpu, CheckingBus& bus, StepResult r) {
    uint32_t vector = kVectorIllegal;
    switch (r.status()) {
        case StepStatus::LineA: vector = kVectorLineA; break;
        case StepStatus::LineF: vector = kVectorLineF; break;
        case StepStatus::Trap: vector = kVectorTrapBase + (r.number() & 0xF); break;
        default: break;
    }
    if (r.status() != StepStatus::Trap) cpu.pc = cpu.ppc;
    take_exception(cpu, bus, vector);
}

// Runs one image; returns what went wrong, or nothing.
std::string run_image(CpuType type, std::mt19937& rng) {
    Cpu cpu;
    cpu.set_cpu_type(type);
    cpu.reset();
    CheckingBus bus(cpu);
    randomise(cpu, bus, rng);
    std::ostringstream where;
    int run = 0;
    while (run < kInstructionsPerImage) {
        if (rng() % 64 == 0) cpu.pending_level = 1 + rng() % 7;
        // The scheduler offers a pending interrupt at the start of each slice; a stopped CPU
        // waits for one.
        if (cpu.pending_level != 0) service_interrupt(cpu, bus);
        if (cpu.stopped != 0) {
            // A fresh request: the level falls and rises to 7, which even a mask of 7 lets in.
            cpu.pending_level = 1;
            service_interrupt(cpu, bus);
            cpu.pending_level = 7;
            service_interrupt(cpu, bus);
        }
        StepResult r;
        bus.accesses = 0;
        try {
            if (rng() % 2) {
                r = step(cpu, bus);
                ++run;
            } else {
                cpu.slice_budget = cpu.slice_len = static_cast<int32_t>(1 + rng() % 64);
                uint64_t steps = 0;
                r = run_slice(cpu, bus, steps);
                run += static_cast<int>(steps) + 1;
            }
        } catch (const Runaway&) {
            where << " from 0x" << std::hex << cpu.ppc;
            return "the core never came back" + where.str();
        }
        where.str("");
        where << " after opcode 0x" << std::hex << cpu.ir << " at 0x" << cpu.ppc;
        if (r.status() > StepStatus::Stopped) return "unknown step status" + where.str();
        if (r.cycles() >= kCycleCeiling) return "cycle count " + std::to_string(r.cycles()) + where.str();
        if (r.status() != StepStatus::Ok && r.status() != StepStatus::Stopped) take_reported_exception(cpu, bus, r);
        const std::string broken = broken_invariant(cpu);
        if (!broken.empty()) return broken + where.str();
        // An exception ends the step at its handler: nothing may move the PC after the vector
        // fetch (untranslated, so the vector's address is plain to see).
        if (cpu.vector_this_step && cpu.stopped == 0 && !cpu.mmu_enabled &&
            cpu.pc != bus.peek_long((cpu.vbr + 4 * *cpu.vector_this_step) & cpu.addr_mask)) {
            return "PC is not the handler of vector " + std::to_string(*cpu.vector_this_step) + where.str();
        }
        if (!bus.faults.empty()) return bus.faults.front() + where.str();
    }
    return {};
}

void poke_long(CheckingBus& bus, uint32_t a, uint32_t v) {
    for (uint32_t i = 0; i < 4; ++i) bus.ram[(a + i) & (CheckingBus::kSize - 1)] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// An odd PC whose address-error handler is odd too faults at every opcode fetch. Each of those
// exceptions takes the address error's time (50 cycles), so a slice still ends.
TEST(FaultLoops, OddHandlerStillUsesUpTheSlice) {
    for (const CpuType type : kTypes) {
        SCOPED_TRACE(static_cast<int>(type));
        Cpu cpu;
        cpu.set_cpu_type(type);
        cpu.reset();
        CheckingBus bus(cpu);
        poke_long(bus, 4 * kVectorAddressError, 0x3001);
        cpu.addr_regs[7] = 0x8000;
        cpu.pc = 0x2001;
        cpu.slice_budget = cpu.slice_len = 120;
        uint64_t steps = 0;
        StepResult r;
        ASSERT_NO_THROW(r = run_slice(cpu, bus, steps));
        EXPECT_EQ(r.status(), StepStatus::Ok);
        EXPECT_EQ(steps, 3u);
        EXPECT_EQ(cpu.slice_budget, 120 - 3 * 50);
        EXPECT_EQ(cpu.pc, 0x3001u);
        EXPECT_TRUE(bus.faults.empty()) << bus.faults.front();
    }
}

// On the types whose word accesses must be even, an address error with an odd supervisor stack
// cannot stack its frame: the processor halts, as on a double bus fault, and writes nothing.
TEST(FaultLoops, OddSupervisorStackHaltsTheAddressError) {
    for (const CpuType type : {CpuType::M68000, CpuType::M68010, CpuType::Scc68070}) {
        SCOPED_TRACE(static_cast<int>(type));
        Cpu cpu;
        cpu.set_cpu_type(type);
        cpu.reset();
        CheckingBus bus(cpu);
        for (uint32_t v = 0; v < 64; ++v) poke_long(bus, 4 * v, 0x3000 + 0x10 * v);
        // MOVE.W (A0),D0 with A0 odd; then CHK.W #0,D1 with D1 negative (its frame faults).
        bus.ram[0x1000] = 0x30;
        bus.ram[0x1001] = 0x10;
        bus.ram[0x2000] = 0x43;
        bus.ram[0x2001] = 0xBC;
        bus.ram[0x2002] = 0x00;
        bus.ram[0x2003] = 0x00;
        for (const uint32_t pc : {0x1000u, 0x2000u}) {
            SCOPED_TRACE(pc);
            cpu.reset();
            cpu.addr_regs[7] = 0x7FFF;
            cpu.addr_regs[0] = 0x4001;
            cpu.data_regs[1] = 0x8000;
            cpu.pc = pc;
            const std::vector<uint8_t> before = bus.ram;
            cpu.prefetch_count = 0;
            ASSERT_NO_THROW(step(cpu, bus));
            EXPECT_EQ(cpu.stopped, 1u);
            EXPECT_EQ(step(cpu, bus).status(), StepStatus::Stopped);
            EXPECT_TRUE(bus.faults.empty()) << bus.faults.front();
            EXPECT_TRUE(bus.ram == before) << "nothing was stacked";
        }
    }
}

// A traced ADDQ.W #5,A7 in supervisor mode completes with an odd stack; the trace frame then
// faults, and so would the address error's frame on that same stack: a double fault. (Undoing
// the finished instruction would wrongly make the stack even again.)
TEST(FaultLoops, TraceAfterTheStackWentOddHalts) {
    for (const CpuType type : {CpuType::M68000, CpuType::M68010, CpuType::Scc68070}) {
        SCOPED_TRACE(static_cast<int>(type));
        Cpu cpu;
        cpu.set_cpu_type(type);
        cpu.reset();
        CheckingBus bus(cpu);
        for (uint32_t v = 0; v < 64; ++v) poke_long(bus, 4 * v, 0x3000 + 0x10 * v);
        bus.ram[0x1000] = 0x5A;
        bus.ram[0x1001] = 0x4F;
        cpu.set_sr(0xA700);
        cpu.addr_regs[7] = 0x8000;
        cpu.pc = 0x1000;
        const std::vector<uint8_t> before = bus.ram;
        ASSERT_NO_THROW(step(cpu, bus));
        EXPECT_EQ(cpu.stopped, 1u);
        EXPECT_TRUE(bus.faults.empty()) << bus.faults.front();
        EXPECT_TRUE(bus.ram == before) << "nothing was stacked";
    }
}

TEST(RandomCode, EveryTypeSurvivesRandomImages) {
    std::mt19937 rng(0x19B0C0DE);
    for (const CpuType type : kTypes) {
        for (int image = 0; image < kImagesPerType; ++image) {
            const std::string failure = run_image(type, rng);
            if (!failure.empty()) {
                ADD_FAILURE() << "type " << static_cast<int>(type) << " image " << image << ": " << failure;
                break;  // one report per type
            }
        }
    }
}

// run_slice against the scheduler's loop around step, on the same random images: the same
// instructions must run, with the same results and the same budget left.
std::string compare_slices(CpuType type, std::mt19937& rng) {
    Cpu a;
    a.set_cpu_type(type);
    a.reset();
    CheckingBus bus_a(a);
    randomise(a, bus_a, rng);
    Cpu b = a;
    CheckingBus bus_b(b);
    bus_b.ram = bus_a.ram;
    if (bus_a.fetch_window.limit != 0) bus_b.publish_window();
    bus_b.ack_vector = bus_a.ack_vector;
    for (int slice = 0; slice < 40; ++slice) {
        if (rng() % 16 == 0) a.pending_level = b.pending_level = 1 + rng() % 7;
        if (a.pending_level != 0) {
            service_interrupt(a, bus_a);
            service_interrupt(b, bus_b);
        }
        if (a.stopped != 0) break;
        a.slice_budget = a.slice_len = b.slice_budget = b.slice_len = static_cast<int32_t>(1 + rng() % 200);
        uint64_t steps_a = 0, steps_b = 0;
        StepResult ra, rb;
        bus_a.accesses = bus_b.accesses = 0;
        try {
            ra = run_slice(a, bus_a, steps_a);
            rb = step_loop(b, bus_b, steps_b);
        } catch (const Runaway&) {
            return "the core never came back";
        }
        std::ostringstream where;
        where << " in slice " << slice << " at 0x" << std::hex << b.ppc << " (opcode 0x" << b.ir << ")";
        if (ra != rb) return "different results" + where.str();
        if (steps_a != steps_b) return "different instruction counts" + where.str();
        if (a.slice_budget != b.slice_budget) return "different budgets left" + where.str();
        if (a.data_regs != b.data_regs || a.addr_regs != b.addr_regs) return "different registers" + where.str();
        if (a.pc != b.pc || a.ppc != b.ppc || a.get_sr() != b.get_sr()) return "different PC or SR" + where.str();
        if (a.stopped != b.stopped) return "different run state" + where.str();
        if (ra.status() != StepStatus::Ok && ra.status() != StepStatus::Stopped) {
            take_reported_exception(a, bus_a, ra);
            take_reported_exception(b, bus_b, rb);
        }
    }
    if (bus_a.ram != bus_b.ram) return "different memory";
    return {};
}

TEST(RandomCode, RunSliceRunsWhatTheStepLoopRuns) {
    std::mt19937 rng(0x5117CE);
    for (const CpuType type : kTypes) {
        for (int image = 0; image < 24; ++image) {
            const std::string failure = compare_slices(type, rng);
            if (!failure.empty()) {
                ADD_FAILURE() << "type " << static_cast<int>(type) << " image " << image << ": " << failure;
                break;
            }
        }
    }
}

}  // namespace
}  // namespace m68k
