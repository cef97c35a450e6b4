// One ADPCM sector decode and queue append, the CDIC's per-sector audio cost (at most 75 per
// second), for each coding that changes the work.
#include <benchmark/benchmark.h>

#include <vector>

#include "machine/audio.hpp"

namespace {

void BM_DecodeAdpcmSector(benchmark::State& state) {
    const bool stereo = state.range(0) != 0;
    const bool eight_bit = state.range(1) != 0;
    const auto rate = static_cast<uint32_t>(state.range(2));
    std::vector<uint8_t> data(vestrel::kAdpcmSectorBytes);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
    vestrel::AudioOutput out;
    for (auto _ : state) {
        out.decode_adpcm_sector(data, stereo, eight_bit, rate);
        if (out.queue->size() > 30'000) out.queue->clear();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeAdpcmSector)
    ->Args({1, 0, 37'800})
    ->Args({0, 0, 18'900})
    ->Args({1, 1, 37'800});

}  // namespace
