// FSIN, FETOX and FLOGN (and the core operations under them) in operations per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "fpu/softfloat.hpp"
#include "fpu/transcendental.hpp"

namespace {

using m68k::Fx80;

// Operands spread over the functions' usual ranges, built exactly from small random integers.
std::vector<Fx80> operands(double lo, double hi) {
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> dist(lo, hi);
    std::vector<Fx80> out;
    for (int i = 0; i < 1024; ++i) {
        uint64_t bits;
        const double d = dist(rng);
        __builtin_memcpy(&bits, &d, sizeof bits);
        out.push_back(m68k::fx80_from_double(bits));
    }
    return out;
}

void run_transcendental(benchmark::State& state, uint8_t opmode, double lo, double hi) {
    const std::vector<Fx80> xs = operands(lo, hi);
    size_t i = 0;
    for (auto _ : state) {
        uint8_t flags = 0;
        benchmark::DoNotOptimize(m68k::fpu_transcendental(opmode, xs[i++ & 1023], 0, 0, flags));
    }
    state.counters["Mops"] = benchmark::Counter(static_cast<double>(state.iterations()) / 1e6,
                                                benchmark::Counter::kIsRate);
}

void BM_Fsin(benchmark::State& s) { run_transcendental(s, m68k::kOpFsin, -100.0, 100.0); }
void BM_Fetox(benchmark::State& s) { run_transcendental(s, m68k::kOpFetox, -50.0, 50.0); }
void BM_Flogn(benchmark::State& s) { run_transcendental(s, m68k::kOpFlogn, 1e-5, 1e5); }

template <Fx80 (*Op)(Fx80, Fx80, m68k::RoundingPrecision, m68k::RoundingMode, uint8_t&)>
void BM_Core(benchmark::State& state) {
    const std::vector<Fx80> xs = operands(0.5, 1000.0);
    size_t i = 0;
    for (auto _ : state) {
        uint8_t flags = 0;
        benchmark::DoNotOptimize(Op(xs[i & 1023], xs[(i + 1) & 1023], 0, 0, flags));
        ++i;
    }
    state.counters["Mops"] = benchmark::Counter(static_cast<double>(state.iterations()) / 1e6,
                                                benchmark::Counter::kIsRate);
}

void BM_Fsqrt(benchmark::State& state) {
    const std::vector<Fx80> xs = operands(0.5, 1000.0);
    size_t i = 0;
    for (auto _ : state) {
        uint8_t flags = 0;
        benchmark::DoNotOptimize(m68k::fx80_sqrt(xs[i++ & 1023], 0, 0, flags));
    }
    state.counters["Mops"] = benchmark::Counter(static_cast<double>(state.iterations()) / 1e6,
                                                benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_Fsin);
BENCHMARK(BM_Fetox);
BENCHMARK(BM_Flogn);
BENCHMARK(BM_Core<m68k::fx80_add>)->Name("BM_Fadd");
BENCHMARK(BM_Core<m68k::fx80_mul>)->Name("BM_Fmul");
BENCHMARK(BM_Core<m68k::fx80_div>)->Name("BM_Fdiv");
BENCHMARK(BM_Fsqrt);
