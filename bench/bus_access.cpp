// The bus's hot paths: instruction-fetch-like word reads from RAM and ROM with wait states,
// and RAM writes, as the CPU issues them.
#include <benchmark/benchmark.h>

#include <memory>

#include "machine/bus.hpp"

namespace {

void BM_RamWordRead(benchmark::State& state) {
    auto bus = std::make_unique<vestrel::Bus>();
    bus->mcd212.dcr1 = 0x8300;
    bus->mcd212.csr1r = 0x80;
    bus->mcd212.current_line = 100;
    uint32_t address = 0;
    for (auto _ : state) {
        bus->scc.line_cycle_pos = address & 0x3FF;
        benchmark::DoNotOptimize(bus->read_word(address));
        address = (address + 2) & 0x7FFFE;
    }
}
BENCHMARK(BM_RamWordRead);

void BM_RomWordRead(benchmark::State& state) {
    auto bus = std::make_unique<vestrel::Bus>();
    uint32_t address = 0x400000;
    for (auto _ : state) {
        benchmark::DoNotOptimize(bus->read_word(address));
        address = 0x400000 | ((address + 2) & 0x7FFFE);
    }
    bus->scc.wait_tally = 0;
}
BENCHMARK(BM_RomWordRead);

void BM_RamByteWrite(benchmark::State& state) {
    auto bus = std::make_unique<vestrel::Bus>();
    uint32_t address = 0x200000;
    for (auto _ : state) {
        bus->write_byte(address, static_cast<uint8_t>(address));
        address = 0x200000 | ((address + 1) & 0x7FFFF);
    }
}
BENCHMARK(BM_RamByteWrite);

// A MOVE.L to bank 0 with the display off: the store of a CPU-bound loop.
void BM_RamLongWrite(benchmark::State& state) {
    auto bus = std::make_unique<vestrel::Bus>();
    uint32_t address = 0x2000;
    for (auto _ : state) {
        bus->write_long(address, address);
        address = (address + 4) & 0x7FFFC;
    }
    benchmark::DoNotOptimize(bus->scc.wait_tally);
}
BENCHMARK(BM_RamLongWrite);

void BM_OnChipTimerRead(benchmark::State& state) {
    auto bus = std::make_unique<vestrel::Bus>();
    for (auto _ : state) benchmark::DoNotOptimize(bus->read_word(0x80002024));
}
BENCHMARK(BM_OnChipTimerRead);

}  // namespace
