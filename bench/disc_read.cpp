// Reading every sector of a cdlz CHD of 20,000 sectors, in order, the way the sector engine
// does. 75 sectors a second is 1x CD speed; the counter `cd_speed` shows the multiple.
// Content: 0 = a mix of all kinds below; 1 = compressible kinds only (text-like Form 1, patterned
// Form 2, silence); 2 = noise-like kinds only (random Form 1, CD audio), where the time is
// almost all liblzma's.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "machine/cdrom.hpp"

// The fixture writer is test support code; the benchmark compiles it in rather than having a
// library of test code.
#include "../tests/machine/chd_writer.cpp"

namespace {

constexpr uint32_t kSectors = 20000;
constexpr double kSectorsPerSecondAt1x = 75.0;

enum Content { kMixed = 0, kCompressible = 1, kNoisy = 2 };

// Form 1 text-like and random data, Form 2 patterns, CD audio and silent stretches.
std::vector<uint8_t> make_frames(int content) {
    using namespace vestrel::test;
    std::vector<uint8_t> frames(size_t{kSectors} * kFrameBytes, 0);
    uint32_t rng = 12345;
    auto next = [&rng] {
        rng ^= rng << 13;
        rng ^= rng >> 17;
        rng ^= rng << 5;
        return rng;
    };
    std::vector<uint8_t> data(2324);
    for (uint32_t lba = 0; lba < kSectors; ++lba) {
        uint8_t* out = frames.data() + size_t{lba} * kFrameBytes;
        static constexpr uint32_t kKinds[3][5] = {{0, 1, 2, 3, 4}, {0, 2, 4, 0, 2}, {1, 3, 1, 3, 1}};
        const uint32_t kind = kKinds[content][(lba / 64) % 5];
        if (kind == 0) {
            for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>("CD-i text block "[(i + lba) % 16]);
            const auto s = make_form1_sector(lba, data);
            std::memcpy(out, s.data(), kSectorBytes);
        } else if (kind == 1) {
            for (auto& v : data) v = static_cast<uint8_t>(next());
            const auto s = make_form1_sector(lba, data);
            std::memcpy(out, s.data(), kSectorBytes);
        } else if (kind == 2) {
            for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(((i / 8) ^ lba) & 0x3C);
            const auto s = make_form2_sector(lba, data);
            std::memcpy(out, s.data(), kSectorBytes);
        } else if (kind == 3) {
            for (size_t i = 0; i < 588; ++i) {
                const double t = double(lba * 588 + i) / 44100.0;
                const auto v = static_cast<int16_t>(9000 * std::sin(2 * M_PI * 330 * t) + (next() & 255));
                out[4 * i] = out[4 * i + 2] = uint8_t(v);
                out[4 * i + 1] = out[4 * i + 3] = uint8_t(uint16_t(v) >> 8);
            }
        }  // kind 4: silence
        for (size_t k = 0; k < 96; ++k) out[kSectorBytes + k] = static_cast<uint8_t>((lba + k) & 0x7F);
    }
    return frames;
}

// The CHD bytes, made once per content kind (the writer is slow next to the reader).
const std::vector<uint8_t>& fixture(int content) {
    static std::vector<uint8_t> files[3];
    if (files[content].empty()) {
        vestrel::test::ChdWriterOptions opt;
        opt.codecs = {"cdlz"};
        files[content] = vestrel::test::write_chd(make_frames(content), opt);
    }
    return files[content];
}

void BM_ReadAllSectorsCdlz(benchmark::State& state) {
    const auto path = std::filesystem::temp_directory_path() / ("vestrel_bench_" + std::to_string(::getpid()) + ".chd");
    const auto& file = fixture(static_cast<int>(state.range(0)));
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                static_cast<std::streamsize>(file.size()));
    auto disc = vestrel::open_disc_image(path);
    std::filesystem::remove(path);  // the open file stays readable
    if (!disc) {
        state.SkipWithError(disc.error().message.c_str());
        return;
    }
    vestrel::SectorBuffer sector{};
    for (auto _ : state) {
        for (uint32_t lba = 0; lba < disc->total_sectors(); ++lba) {
            if (!disc->read_sector(lba, sector)) {
                state.SkipWithError("read failed");
                return;
            }
            benchmark::DoNotOptimize(sector.data());
        }
    }
    const double sectors = double(state.iterations()) * disc->total_sectors();
    state.SetItemsProcessed(static_cast<int64_t>(sectors));
    state.counters["cd_speed"] =
        benchmark::Counter(sectors / kSectorsPerSecondAt1x, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReadAllSectorsCdlz)->ArgName("content")->Arg(kMixed)->Arg(kCompressible)->Arg(kNoisy)->Unit(benchmark::kMillisecond);

}  // namespace
