// Speed of the cartridge's MPEG-1 video decoder on the committed CIF fixture (352 x 288,
// I B B P at 1.15 Mb/s, 25 pictures). "pictures_per_s" is decoded pictures per second of CPU;
// real time needs 25-30, but each one lands in a single field's frame step.
// VESTREL_MPEG_BENCH_STREAM names another elementary stream to measure.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <benchmark/benchmark.h>

#include "dvc/mpeg/video.hpp"

namespace {

std::vector<uint8_t> load_stream() {
    const char* env = std::getenv("VESTREL_MPEG_BENCH_STREAM");
    const std::filesystem::path path =
        env ? std::filesystem::path(env)
            : std::filesystem::path(__FILE__).parent_path() / ".." / "tests" / "fixtures" / "mpeg" / "cif_bench.m1v";
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void BM_DecodeStream(benchmark::State& state) {
    const std::vector<uint8_t> stream = load_stream();
    if (stream.empty()) {
        state.SkipWithError("stream not found");
        return;
    }
    int64_t pictures = 0;
    for (auto _ : state) {
        vestrel::VideoDecoder dec(stream);
        dec.mark_end_of_stream();
        for (;;) {
            const vestrel::DecodeResult r = dec.decode();
            if (!r.ready) break;
            benchmark::DoNotOptimize(dec.frames[r.index].y.data.data());
            ++pictures;
        }
    }
    state.counters["pictures_per_s"] = benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeStream)->Unit(benchmark::kMillisecond);

}  // namespace
