// m68k-vectors: runs the 68000 single-step test vectors on a fresh Cpu each and compares the
// result with the vector's final state.
//
//   m68k-vectors [--cpu m68000|scc68070] [--verbose] [--optional-set DIR] PATH...
//
// PATH is a vector file or a folder of them (*.json.bin). One line per file, then the totals.
// Exit status 0 when nothing failed, 1 otherwise (a missing or unreadable file, or a folder
// without vector files, fails too), 2 for bad usage.
//
// --optional-set DIR: relative PATHs are taken inside DIR, the folder of the optional full set;
// the environment variable VESTREL_M68K_VECTORS, when set, names that folder instead. Only the
// absence of that folder is a skip: one line, exit status 77 (the CTest skip code).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "core/exceptions.hpp"
#include "core/unimplemented.hpp"
#include "m68k/cpu.hpp"
#include "masks.hpp"
#include "vector_file.hpp"

namespace fs = std::filesystem;

namespace m68k::vectors {
namespace {

constexpr uint32_t kAddressMask = 0x00FFFFFF;
constexpr int kVerboseFailuresPerFile = 5;

struct BusAccess {
    bool write;
    bool byte;
    uint32_t address;  // byte address for byte accesses
    uint32_t value;
    friend bool operator==(const BusAccess&, const BusAccess&) = default;
};

// The vector's RAM on a 24-bit bus, recording every access.
class VectorBus final : public CpuBus {
public:
    VectorBus() : mem_(1u << 24, 0) {}

    uint8_t read_byte(uint32_t a) override {
        a &= kAddressMask;
        log.push_back({false, true, a, mem_[a]});
        return mem_[a];
    }
    uint16_t read_word(uint32_t a) override {
        a &= kAddressMask;
        const uint16_t v = peek_word(a);
        log.push_back({false, false, a, v});
        return v;
    }
    uint32_t read_long(uint32_t a) override {
        const uint32_t hi = read_word(a);
        return (hi << 16) | read_word(a + 2);
    }
    void write_byte(uint32_t a, uint8_t v) override {
        a &= kAddressMask;
        log.push_back({true, true, a, v});
        poke_byte(a, v);
    }
    void write_word(uint32_t a, uint16_t v) override {
        a &= kAddressMask;
        log.push_back({true, false, a, v});
        poke_byte(a, static_cast<uint8_t>(v >> 8));
        poke_byte((a + 1) & kAddressMask, static_cast<uint8_t>(v));
    }
    // The 68000 moves a long as two word cycles, high word first.
    void write_long(uint32_t a, uint32_t v) override {
        write_word(a, static_cast<uint16_t>(v >> 16));
        write_word(a + 2, static_cast<uint16_t>(v));
    }
    uint8_t acknowledge_interrupt(uint8_t level) override { return static_cast<uint8_t>(24 + level); }

    uint8_t peek(uint32_t a) const { return mem_[a & kAddressMask]; }
    uint16_t peek_word(uint32_t a) const {
        return static_cast<uint16_t>((mem_[a & kAddressMask] << 8) | mem_[(a + 1) & kAddressMask]);
    }
    uint32_t peek_long(uint32_t a) const { return (static_cast<uint32_t>(peek_word(a)) << 16) | peek_word(a + 2); }
    void load(const std::vector<MemoryWord>& ram) {
        for (const auto& w : ram) {
            poke_byte(w.address, static_cast<uint8_t>(w.value >> 8));
            poke_byte(w.address + 1, static_cast<uint8_t>(w.value));
        }
    }
    // Clears only what the test touched, never the whole 16 MiB.
    void clear() {
        for (uint32_t a : touched_) mem_[a] = 0;
        touched_.clear();
        log.clear();
    }

    std::vector<BusAccess> log;

private:
    void poke_byte(uint32_t a, uint8_t v) {
        a &= kAddressMask;
        mem_[a] = v;
        touched_.push_back(a);
    }
    std::vector<uint8_t> mem_;
    std::vector<uint32_t> touched_;
};

struct Failure {
    std::string test;
    std::vector<std::string> reasons;
};

struct FileResult {
    int passed = 0, failed = 0, skipped = 0;
    int reduced_passed = 0, reduced_failed = 0;
    int order_differences = 0;  // in files where order is not a gate
    std::string first_order_note;
    std::vector<Failure> failures;
};

class Checker {
public:
    void expect(const char* what, uint32_t expected, uint32_t actual) {
        if (expected != actual) reasons.push_back(fmt::format("{}: expected 0x{:08X}, got 0x{:08X}", what, expected, actual));
    }
    void fail(std::string reason) { reasons.push_back(std::move(reason)); }
    std::vector<std::string> reasons;
};

bool contains_word(const std::vector<uint32_t>& sorted_words, uint32_t byte_address) {
    return std::binary_search(sorted_words.begin(), sorted_words.end(), byte_address & ~1u);
}

std::vector<uint32_t> word_addresses(const std::vector<MemoryWord>& ram) {
    std::vector<uint32_t> v;
    v.reserve(ram.size());
    for (const auto& w : ram) v.push_back(w.address);
    std::sort(v.begin(), v.end());
    return v;
}

std::vector<BusAccess> expected_accesses(const VectorTest& t) {
    std::vector<BusAccess> v;
    for (const auto& x : t.transactions) {
        if (x.kind != TxKind::Read && x.kind != TxKind::Write) continue;
        v.push_back({x.kind == TxKind::Write, x.is_byte(), x.byte_address(), x.value()});
    }
    return v;
}

std::string describe(const BusAccess& a) {
    return fmt::format("{} {} 0x{:06X} = 0x{:X}", a.write ? "write" : "read", a.byte ? "byte" : "word", a.address, a.value);
}

class Runner {
public:
    explicit Runner(RunCpu cpu) : run_cpu_(cpu) {}

    // Runs one test; returns the reasons it failed (empty when it passed).
    std::vector<std::string> run(const std::string& family, const VectorTest& t, Judgement& j) {
        bus_.clear();
        bus_.load(t.initial.ram);
        bus_.log.clear();

        Cpu cpu;
        cpu.set_cpu_type(run_cpu_ == RunCpu::M68000 ? CpuType::M68000 : CpuType::Scc68070);
        for (int i = 0; i < 8; ++i) cpu.data_regs[i] = t.initial.d[i];
        for (int i = 0; i < 7; ++i) cpu.addr_regs[i] = t.initial.a[i];
        cpu.sp_bank[kUspSlot] = t.initial.usp;
        cpu.sp_bank[kIspSlot] = t.initial.ssp;
        cpu.set_sr_flags(static_cast<uint16_t>(t.initial.sr));
        cpu.addr_regs[7] = (t.initial.sr & 0x2000) ? t.initial.ssp : t.initial.usp;
        cpu.pc = t.initial.pc - 4;
        if (run_cpu_ == RunCpu::M68000) {
            cpu.prefetch_queue = {static_cast<uint16_t>(t.initial.prefetch[0]), static_cast<uint16_t>(t.initial.prefetch[1])};
            cpu.prefetch_count = 2;
        }

        uint32_t cycles = run_like_scheduler(cpu);
        const bool status_reported = last_status_ != StepStatus::Ok;
        // A jump or return to an odd address faults on the next opcode fetch here.
        if ((cpu.pc & 1) && cpu.stopped == 0) cycles += run_like_scheduler(cpu);

        Checker c;
        if (const char* name = take_unimplemented()) c.fail(fmt::format("unimplemented routine {}", name));
        judge_after_run(j, status_reported);
        (void)family;
        if (j.reduced) {
            check_reduced(c, t, j, cpu);
        } else {
            check_strict(c, t, j, cpu, cycles);
        }
        return c.reasons;
    }

    int last_order_difference = 0;
    std::string last_order_note;

private:
    // The frame scheduler's part: it takes the exceptions the step reports.
    uint32_t run_like_scheduler(Cpu& cpu) {
        const StepResult r = step(cpu, bus_);
        last_status_ = r.status();
        switch (r.status()) {
        case StepStatus::Ok: return r.cycles();
        case StepStatus::LineA: cpu.pc = cpu.ppc; return static_cast<uint32_t>(take_exception(cpu, bus_, kVectorLineA));
        case StepStatus::LineF: cpu.pc = cpu.ppc; return static_cast<uint32_t>(take_exception(cpu, bus_, kVectorLineF));
        case StepStatus::Breakpoint:
        case StepStatus::Illegal: cpu.pc = cpu.ppc; return static_cast<uint32_t>(take_exception(cpu, bus_, kVectorIllegal));
        case StepStatus::Trap: return static_cast<uint32_t>(take_exception(cpu, bus_, kVectorTrapBase + r.number()));
        case StepStatus::Stopped: return 0;
        }
        return 0;
    }

    static uint32_t our_usp(const Cpu& cpu) { return cpu.sr_s ? cpu.sp_bank[kUspSlot] : cpu.addr_regs[7]; }
    static uint32_t our_ssp(const Cpu& cpu) { return cpu.sr_s ? cpu.addr_regs[7] : cpu.sp_bank[kIspSlot]; }

    void check_strict(Checker& c, const VectorTest& t, const Judgement& j, const Cpu& cpu, uint32_t cycles) {
        const VectorState& f = t.final_state;
        // The address of the next instruction, which the final PC or a trace frame holds.
        const uint32_t next_pc = j.stop_no_advance ? f.pc : f.pc - 4;
        // One rule for every SR judged: the final one and a trace frame's.
        const uint32_t sr_mask = ~static_cast<uint32_t>(j.sr_ignore);
        uint32_t exp_ssp = f.ssp;
        uint32_t exp_sr = f.sr;
        uint32_t exp_pc = next_pc;
        uint32_t exp_cycles = t.cycles;
        if (j.expect_trace) {
            // Final state plus the trace frame (SR, next PC) at SSP - 6, running at the handler.
            exp_ssp = f.ssp - 6;
            exp_sr = (f.sr | 0x2000) & ~0x8000u;
            exp_pc = bus_.peek_long(0x24);
            exp_cycles += 34;
            c.expect("trace frame SR", f.sr & 0xFFFF & sr_mask, bus_.peek_word(exp_ssp) & sr_mask);
            c.expect("trace frame PC", next_pc, bus_.peek_long(exp_ssp + 2));
        }
        for (int i = 0; i < 8; ++i) c.expect(kDNames[i], f.d[i], cpu.data_regs[i]);
        for (int i = 0; i < 7; ++i) c.expect(kANames[i], f.a[i], cpu.addr_regs[i]);
        c.expect("USP", f.usp, our_usp(cpu));
        c.expect("SSP", exp_ssp, our_ssp(cpu));
        c.expect("SR", exp_sr & sr_mask, cpu.get_sr() & sr_mask);
        c.expect("PC", exp_pc, cpu.pc);
        if (j.compare_prefetch && cpu.prefetch_count == 2) {
            c.expect("prefetch[0]", f.prefetch[0], cpu.prefetch_queue[0]);
            c.expect("prefetch[1]", f.prefetch[1], cpu.prefetch_queue[1]);
        }
        for (const auto& w : f.ram) {
            // The trace frame lies over whatever the vectors list there.
            if (j.expect_trace && ((w.address - (exp_ssp & kAddressMask)) & kAddressMask) < 6) continue;
            const uint16_t ours = bus_.peek_word(w.address);
            if (ours != w.value) {
                c.fail(fmt::format("RAM 0x{:06X}: expected 0x{:04X}, got 0x{:04X}", w.address, w.value, ours));
            }
        }
        if (j.compare_cycles) c.expect("cycles", exp_cycles, cycles);
        if (j.compare_accesses) check_accesses(c, t);
        check_order(c, t, j);
    }

    void check_accesses(Checker& c, const VectorTest& t) {
        const auto reads_ok = word_addresses(t.initial.ram);
        const auto writes_ok = word_addresses(t.final_state.ram);
        for (const auto& a : bus_.log) {
            if (a.write ? !contains_word(writes_ok, a.address) : !contains_word(reads_ok, a.address)) {
                c.fail("stray access: " + describe(a));
                return;
            }
        }
    }

    void check_order(Checker& c, const VectorTest& t, const Judgement& j) {
        last_order_difference = 0;
        if (!j.compare_order) return;
        const auto expected = expected_accesses(t);
        size_t i = 0;
        while (i < expected.size() && i < bus_.log.size() && expected[i] == bus_.log[i]) ++i;
        if (i == expected.size() && i == bus_.log.size()) return;
        const std::string what = fmt::format("bus access {}: expected {}, got {}", i,
                                             i < expected.size() ? describe(expected[i]) : "nothing",
                                             i < bus_.log.size() ? describe(bus_.log[i]) : "nothing");
        if (!j.order_gate) {
            last_order_difference = 1;
            last_order_note = what;
            return;
        }
        c.fail(fmt::format("bus access {}: expected {}, got {}", i,
                           i < expected.size() ? describe(expected[i]) : "nothing",
                           i < bus_.log.size() ? describe(bus_.log[i]) : "nothing"));
    }

    // Address-error tests: the frame and state differ from the chip on purpose; check what the
    // two must share.
    void check_reduced(Checker& c, const VectorTest& t, const Judgement& j, const Cpu& cpu) {
        const VectorState& f = t.final_state;
        c.expect("vector", kVectorAddressError, cpu.vector_this_step.value_or(0xFFFFFFFF));
        c.expect("PC", f.pc - 4, cpu.pc);
        c.expect("SR (T, S, mask)", f.sr & 0xA700, cpu.get_sr() & 0xA700u);
        for (int i = 0; i < 8; ++i) c.expect(kDNames[i], f.d[i], cpu.data_regs[i]);
        for (int i = 0; i < 7; ++i) {
            if (!(j.an_ignore & (1u << i))) c.expect(kANames[i], f.a[i], cpu.addr_regs[i]);
        }
        const bool a7_moves = (j.an_ignore & 0x80) != 0;
        if (!a7_moves) {
            c.expect("USP", f.usp, our_usp(cpu));
            c.expect("SSP", f.ssp, our_ssp(cpu));
        }
        // The chip's frame lies at its final SSP, ours at ours: they differ when A7 itself had
        // the (An)+/-(An) side effect, so each side's frame is read where it lies.
        const uint32_t theirs = f.ssp & kAddressMask;
        const uint32_t ours_at = our_ssp(cpu) & kAddressMask;
        auto find_final = [&](uint32_t address, uint16_t& value) {
            for (const auto& w : f.ram) {
                if (w.address == (address & kAddressMask)) {
                    value = w.value;
                    return true;
                }
            }
            return false;
        };
        auto frame_word = [&](const char* what, uint32_t offset, uint16_t mask) {
            uint16_t exp = 0;
            if (!find_final(theirs + offset, exp)) return;
            const uint16_t ours = bus_.peek_word(ours_at + offset);
            if ((exp & mask) != (ours & mask)) {
                c.fail(fmt::format("{}: expected 0x{:04X}, got 0x{:04X} (mask 0x{:04X})", what, exp, ours, mask));
            }
        };
        frame_word("status word (R/W, FC)", 0, j.status_word_mask);
        {
            uint16_t hi = 0, lo = 0;
            if (find_final(theirs + 2, hi) && find_final(theirs + 4, lo)) {
                const uint32_t exp = ((static_cast<uint32_t>(hi) << 16) | lo) & kAddressMask;
                const uint32_t got = bus_.peek_long(ours_at + 2) & kAddressMask;
                const bool ok = exp == got || (j.access_address_plus2 && exp == ((got + 2) & kAddressMask));
                if (!ok) c.fail(fmt::format("access address: expected 0x{:06X}, got 0x{:06X}", exp, got));
            }
        }
        if (j.compare_ir) frame_word("IR", 6, 0xFFFF);
        frame_word("stacked SR (T, S, mask)", 8, 0xA700);
        auto in_frame = [](uint32_t a, uint32_t frame) { return a >= frame && a < frame + 14; };
        for (const auto& w : f.ram) {
            if (in_frame(w.address, theirs) || in_frame(w.address, ours_at)) continue;
            const uint16_t ours = bus_.peek_word(w.address);
            if (ours != w.value) {
                c.fail(fmt::format("RAM 0x{:06X}: expected 0x{:04X}, got 0x{:04X}", w.address, w.value, ours));
            }
        }
    }

    static constexpr const char* kDNames[8] = {"D0", "D1", "D2", "D3", "D4", "D5", "D6", "D7"};
    static constexpr const char* kANames[7] = {"A0", "A1", "A2", "A3", "A4", "A5", "A6"};

    RunCpu run_cpu_;
    VectorBus bus_;
    StepStatus last_status_ = StepStatus::Ok;
};

std::string family_of(const fs::path& p) {
    std::string name = p.filename().string();
    const std::string suffix = ".json.bin";
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        name.resize(name.size() - suffix.size());
    }
    return name;
}

bool run_file(Runner& runner, const fs::path& path, RunCpu cpu, bool verbose, FileResult& r) {
    auto tests = read_vector_file(path.string());
    if (!tests) {
        std::fprintf(stderr, "m68k-vectors: %s\n", tests.error().c_str());
        return false;
    }
    const std::string family = family_of(path);
    for (const auto& t : *tests) {
        Judgement j = judge(family, t, cpu);
        if (j.skip) {
            ++r.skipped;
            continue;
        }
        auto reasons = runner.run(family, t, j);
        r.order_differences += runner.last_order_difference;
        if (runner.last_order_difference && r.first_order_note.empty()) r.first_order_note = t.name + ": " + runner.last_order_note;
        if (reasons.empty()) {
            ++r.passed;
            if (j.reduced) ++r.reduced_passed;
        } else {
            ++r.failed;
            if (j.reduced) ++r.reduced_failed;
            if (verbose && static_cast<int>(r.failures.size()) < kVerboseFailuresPerFile) {
                r.failures.push_back({t.name + (j.reduced ? " [address error, reduced comparison]" : ""), std::move(reasons)});
            }
        }
    }
    return true;
}

int usage() {
    std::fprintf(stderr, "usage: m68k-vectors [--cpu m68000|scc68070] [--verbose] [--optional-set DIR] PATH...\n");
    return 2;
}

int main_impl(int argc, char** argv) {
    RunCpu cpu = RunCpu::M68000;
    bool verbose = false;
    std::optional<fs::path> optional_set;
    std::vector<fs::path> paths;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--cpu") {
            if (++i >= argc) return usage();
            const std::string v = argv[i];
            if (v == "m68000") {
                cpu = RunCpu::M68000;
            } else if (v == "scc68070") {
                cpu = RunCpu::Scc68070;
            } else {
                std::fprintf(stderr, "m68k-vectors: unknown CPU '%s' (m68000 or scc68070)\n", v.c_str());
                return 2;
            }
        } else if (arg == "--verbose") {
            verbose = true;
        } else if (arg == "--optional-set") {
            if (++i >= argc) return usage();
            optional_set = argv[i];
        } else if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "m68k-vectors: unknown option '%s'\n", arg.c_str());
            return usage();
        } else {
            paths.emplace_back(arg);
        }
    }
    if (paths.empty()) return usage();

    if (optional_set) {
        if (const char* env = std::getenv("VESTREL_M68K_VECTORS"); env != nullptr && *env != '\0') optional_set = env;
        std::error_code ec;
        if (!fs::is_directory(*optional_set, ec)) {
            std::printf("m68k-vectors: skipped: the full vector set is not at %s (VESTREL_M68K_VECTORS names its folder)\n",
                        optional_set->string().c_str());
            return 77;
        }
        for (auto& p : paths) {
            if (p.is_relative()) p = *optional_set / p;
        }
    }

    std::vector<fs::path> files;
    for (const auto& p : paths) {
        std::error_code ec;
        if (fs::is_directory(p, ec)) {
            std::vector<fs::path> found;
            for (const auto& e : fs::directory_iterator(p, ec)) {
                const std::string n = e.path().filename().string();
                if (e.is_regular_file() && n.size() > 9 && n.ends_with(".json.bin")) found.push_back(e.path());
            }
            if (ec || found.empty()) {
                std::fprintf(stderr, "m68k-vectors: %s holds no readable vector files\n", p.string().c_str());
                return 1;
            }
            std::sort(found.begin(), found.end());
            files.insert(files.end(), found.begin(), found.end());
        } else if (fs::exists(p, ec)) {
            files.push_back(p);
        } else {
            std::fprintf(stderr, "m68k-vectors: %s not found\n", p.string().c_str());
            return 1;
        }
    }

    set_unimplemented_record_mode(true);
    Runner runner(cpu);
    int total_passed = 0, total_failed = 0, total_skipped = 0;
    bool read_errors = false;
    for (const auto& file : files) {
        FileResult r;
        if (!run_file(runner, file, cpu, verbose, r)) {
            read_errors = true;
            continue;
        }
        std::printf("%s: %d passed, %d failed, %d skipped\n", family_of(file).c_str(), r.passed, r.failed, r.skipped);
        if (verbose) {
            if (r.reduced_passed + r.reduced_failed > 0) {
                std::printf("  address-error tests (reduced comparison): %d passed, %d failed\n", r.reduced_passed, r.reduced_failed);
            }
            if (r.order_differences > 0) {
                std::printf("  bus-access order differs in %d tests (not a gate for this file); first: %s\n",
                            r.order_differences, r.first_order_note.c_str());
            }
            for (const auto& f : r.failures) {
                std::printf("  FAIL %s\n", f.test.c_str());
                for (const auto& reason : f.reasons) std::printf("    %s\n", reason.c_str());
            }
        }
        total_passed += r.passed;
        total_failed += r.failed;
        total_skipped += r.skipped;
    }
    std::printf("%d passed, %d failed, %d skipped\n", total_passed, total_failed, total_skipped);
    return (total_failed > 0 || read_errors) ? 1 : 0;
}

}  // namespace
}  // namespace m68k::vectors

int main(int argc, char** argv) { return m68k::vectors::main_impl(argc, argv); }
