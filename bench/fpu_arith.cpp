// Extended add, multiply, divide and square root in millions of operations per second.
//
// Operands carry full 64-bit random significands (not widened doubles) so every call goes
// through the sticky and rounding paths; the exponents stay moderate so results are normal.
// Each operation runs in round-to-nearest extended and in round-to-zero double, the two
// rounding set-ups programs use most.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "fpu/softfloat.hpp"

namespace {

using m68k::Fx80;

constexpr size_t kOperands = 1024;  // a power of two: indices wrap with a mask
constexpr size_t kMask = kOperands - 1;

// Positive or negative normal values with magnitudes between 2^-64 and 2^64.
std::vector<Fx80> operands(bool positive_only) {
    std::mt19937_64 rng(20261210);
    std::uniform_int_distribution<int> exp_dist(-64, 64);
    std::vector<Fx80> out;
    out.reserve(kOperands);
    for (size_t i = 0; i < kOperands; ++i) {
        const uint64_t mantissa = rng() | m68k::kFx80IntegerBit;
        const unsigned sign = positive_only ? 0 : static_cast<unsigned>(rng() & 1);
        const auto exp = static_cast<uint16_t>(m68k::kFx80Bias + exp_dist(rng));
        out.push_back(m68k::fx80_make(sign, exp, mantissa));
    }
    return out;
}

void report_mops(benchmark::State& state) {
    state.counters["Mops"] = benchmark::Counter(static_cast<double>(state.iterations()) / 1e6,
                                                benchmark::Counter::kIsRate);
}

using Binary = Fx80 (*)(Fx80, Fx80, m68k::RoundingPrecision, m68k::RoundingMode, uint8_t&);

template <Binary Op>
void BM_Binary(benchmark::State& state) {
    const std::vector<Fx80> xs = operands(false);
    const auto precision = static_cast<m68k::RoundingPrecision>(state.range(0));
    const auto mode = static_cast<m68k::RoundingMode>(state.range(1));
    size_t i = 0;
    for (auto _ : state) {
        uint8_t flags = 0;
        benchmark::DoNotOptimize(Op(xs[i & kMask], xs[(i * 7 + 3) & kMask], precision, mode, flags));
        benchmark::DoNotOptimize(flags);
        ++i;
    }
    report_mops(state);
}

void BM_Sqrt(benchmark::State& state) {
    const std::vector<Fx80> xs = operands(true);
    const auto precision = static_cast<m68k::RoundingPrecision>(state.range(0));
    const auto mode = static_cast<m68k::RoundingMode>(state.range(1));
    size_t i = 0;
    for (auto _ : state) {
        uint8_t flags = 0;
        benchmark::DoNotOptimize(m68k::fx80_sqrt(xs[i++ & kMask], precision, mode, flags));
        benchmark::DoNotOptimize(flags);
    }
    report_mops(state);
}

// {precision, mode}: extended round-to-nearest, double round-to-zero.
void rounding_setups(benchmark::internal::Benchmark* b) {
    b->ArgNames({"prec", "mode"});
    b->Args({m68k::kPrecisionExtended, m68k::kRoundNearest});
    b->Args({m68k::kPrecisionDouble, m68k::kRoundZero});
}

}  // namespace

BENCHMARK(BM_Binary<m68k::fx80_add>)->Name("BM_Fx80Add")->Apply(rounding_setups);
BENCHMARK(BM_Binary<m68k::fx80_mul>)->Name("BM_Fx80Mul")->Apply(rounding_setups);
BENCHMARK(BM_Binary<m68k::fx80_div>)->Name("BM_Fx80Div")->Apply(rounding_setups);
BENCHMARK(BM_Sqrt)->Name("BM_Fx80Sqrt")->Apply(rounding_setups);
