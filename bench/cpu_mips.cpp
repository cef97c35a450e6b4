// Instruction throughput of the SCC68070 core over a flat RAM bus: a CPU-bound loop of MOVE,
// ADD/SUB, CMP/Bcc, DBcc, MOVEM, shifts and memory operands. Reports millions of instructions
// per second ("MIPS"); the player needs about 3.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <memory>

#include "m68k/cpu.hpp"
#include "m68k/cpu_bus.hpp"

namespace {

// 1 MiB of RAM, mirrored over the address space; no wait states, no devices.
class FlatBus final : public m68k::CpuBus {
public:
    static constexpr uint32_t kSize = 1u << 20;
    static constexpr uint32_t kMask = kSize - 1;

    uint8_t read_byte(uint32_t a) override { return ram_[a & kMask]; }
    uint16_t read_word(uint32_t a) override {
        return static_cast<uint16_t>((ram_[a & kMask] << 8) | ram_[(a + 1) & kMask]);
    }
    uint32_t read_long(uint32_t a) override {
        return (static_cast<uint32_t>(read_word(a)) << 16) | read_word(a + 2);
    }
    void write_byte(uint32_t a, uint8_t v) override { ram_[a & kMask] = v; }
    void write_word(uint32_t a, uint16_t v) override {
        ram_[a & kMask] = static_cast<uint8_t>(v >> 8);
        ram_[(a + 1) & kMask] = static_cast<uint8_t>(v);
    }
    void write_long(uint32_t a, uint32_t v) override {
        write_word(a, static_cast<uint16_t>(v >> 16));
        write_word(a + 2, static_cast<uint16_t>(v));
    }
    uint8_t acknowledge_interrupt(uint8_t) override { return 24; }

private:
    std::array<uint8_t, kSize> ram_{};
};

constexpr uint32_t kCode = 0x1000;

// The loop body runs 100 times per pass of the outer loop.
constexpr uint16_t kProgram[] = {
    0x7E63,          // 1000 start: MOVEQ   #99,D7
    0x41F8, 0x4000,  // 1002        LEA     ($4000).W,A0
    0x43F8, 0x5000,  // 1006        LEA     ($5000).W,A1
    0x2018,          // 100A loop:  MOVE.L  (A0)+,D0
    0xD280,          // 100C        ADD.L   D0,D1
    0x9242,          // 100E        SUB.W   D2,D1
    0x22C1,          // 1010        MOVE.L  D1,(A1)+
    0xE78A,          // 1012        LSL.L   #3,D2
    0xE243,          // 1014        ASR.W   #1,D3
    0xB481,          // 1016        CMP.L   D1,D2
    0x6602,          // 1018        BNE.S   skip
    0x5284,          // 101A        ADDQ.L  #1,D4
    0x48E7, 0xF000,  // 101C skip:  MOVEM.L D0-D3,-(A7)
    0x4CDF, 0x000F,  // 1020        MOVEM.L (A7)+,D0-D3
    0x51CF, 0xFFE4,  // 1024        DBF     D7,loop
    0x60D6,          // 1028        BRA.S   start
};

// The program and its data in RAM, an SCC68070 reset to the program's start.
void load_program(FlatBus& bus, m68k::Cpu& cpu) {
    uint32_t a = kCode;
    for (uint16_t w : kProgram) {
        bus.write_word(a, w);
        a += 2;
    }
    for (uint32_t i = 0; i < 0x200; i += 2) bus.write_word(0x4000 + i, static_cast<uint16_t>(i * 2654435761u >> 16));
    cpu.set_cpu_type(m68k::CpuType::Scc68070);
    cpu.reset();
    cpu.addr_regs[7] = 0x8000;
    cpu.pc = kCode;
}

void BM_Scc68070Mips(benchmark::State& state) {
    auto bus = std::make_unique<FlatBus>();
    m68k::Cpu cpu;
    load_program(*bus, cpu);
    constexpr int kStepsPerIteration = 1000;
    uint64_t steps = 0;
    uint64_t cycles = 0;
    for (auto _ : state) {
        for (int i = 0; i < kStepsPerIteration; ++i) {
            const m68k::StepResult r = m68k::step(cpu, *bus);
            if (r.status() != m68k::StepStatus::Ok) {
                state.SkipWithError("the benchmark program left the Ok path");
                return;
            }
            cycles += r.cycles();
        }
        steps += kStepsPerIteration;
    }
    if (cpu.pc < kCode || cpu.pc >= kCode + sizeof(kProgram)) {
        state.SkipWithError("the benchmark program left its loop");
        return;
    }
    benchmark::DoNotOptimize(cycles);
    state.SetItemsProcessed(static_cast<int64_t>(steps));
    state.counters["MIPS"] = benchmark::Counter(static_cast<double>(steps) / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Scc68070Mips);

// The same program through run_slice, the way the frame scheduler runs it: one call per slice.
void BM_Scc68070MipsRunSlice(benchmark::State& state) {
    auto bus = std::make_unique<FlatBus>();
    m68k::Cpu cpu;
    load_program(*bus, cpu);
    constexpr int32_t kSliceCycles = 4000;
    uint64_t steps = 0;
    for (auto _ : state) {
        cpu.slice_len = kSliceCycles;
        cpu.slice_budget = kSliceCycles;
        if (m68k::run_slice(cpu, *bus, steps).status() != m68k::StepStatus::Ok) {
            state.SkipWithError("the benchmark program left the Ok path");
            return;
        }
    }
    if (cpu.pc < kCode || cpu.pc >= kCode + sizeof(kProgram)) {
        state.SkipWithError("the benchmark program left its loop");
        return;
    }
    state.SetItemsProcessed(static_cast<int64_t>(steps));
    state.counters["MIPS"] = benchmark::Counter(static_cast<double>(steps) / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Scc68070MipsRunSlice);

}  // namespace
