// Speed of the cartridge's MPEG-1 video decoder. "pictures_per_s" is decoded pictures per second
// of CPU; real time needs 25-30, but each one lands in a single field's frame step.
//   BM_DecodeCif: 1,000 CIF pictures (352 x 288, I B B P, 1.15 Mb/s, a detailed moving
//                 picture), made at configure time with ffmpeg; skipped when it is absent.
//   BM_DecodePattern: the committed 25-picture test pattern, which decodes about twice as fast
//                 as real material.
// VESTREL_MPEG_BENCH_STREAM names another elementary stream for BM_DecodeCif.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <benchmark/benchmark.h>

#include "dvc/mpeg/video.hpp"

namespace {

std::vector<uint8_t> load(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void decode_stream(benchmark::State& state, const std::vector<uint8_t>& stream, const char* missing) {
    if (stream.empty()) {
        state.SkipWithError(missing);
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

void BM_DecodeCif(benchmark::State& state) {
    const char* env = std::getenv("VESTREL_MPEG_BENCH_STREAM");
    const std::vector<uint8_t> stream = load(env ? env : VESTREL_CIF_STREAM);
    decode_stream(state, stream,
                  "skipped: no CIF stream (ffmpeg was not found when the build was configured; "
                  "or set VESTREL_MPEG_BENCH_STREAM)");
}
BENCHMARK(BM_DecodeCif)->Unit(benchmark::kMillisecond);

void BM_DecodePattern(benchmark::State& state) {
    const auto path =
        std::filesystem::path(__FILE__).parent_path() / ".." / "tests" / "fixtures" / "mpeg" / "cif_bench.m1v";
    decode_stream(state, load(path), "skipped: tests/fixtures/mpeg/cif_bench.m1v not found");
}
BENCHMARK(BM_DecodePattern)->Unit(benchmark::kMillisecond);

}  // namespace
