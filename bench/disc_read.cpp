// Reading every sector of a cdlz CHD of 20,000 sectors, in order, the way the sector engine
// does. 75 sectors a second is 1x CD speed; the counter `cd_speed` shows the multiple.
// The content imitates a CD-i disc, in stretches of 64 sectors of one kind:
//   program   Form 1 file-system and program data (68000-like code words and tables)
//   adpcm     Form 2 real-time ADPCM sound groups (noise-like sample nibbles)
//   video     Form 2 real-time picture data (smooth lines with noisy low bits)
//   cdda      CD-DA stereo audio with a noise floor (big-endian, as CHD files hold it)
//   empty     Form 2 sectors of zeros, as padding between real-time records
// Content 0 = all five kinds in turn (the headline); 1 = the compressible kinds only (program,
// video, empty); 2 = the noise-like kinds only (adpcm, cdda), the worst case, where nearly all
// the time is liblzma's; 3 = highly repetitive sectors (a repeated text block in Form 1, a short
// pattern in Form 2, digital silence), where liblzma has little to do and the reader's own work
// (parity regeneration, CRC, copying) shows. BM_LzmaBaseStreams decodes only the same files' LZMA streams, with the
// reader's settings, to show how much of the reader's time is liblzma's own.
#include <benchmark/benchmark.h>

#include <lzma.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "machine/cdrom.hpp"
#include "machine/chd.hpp"

// The fixture writer is test support code; the benchmark compiles it in rather than having a
// library of test code.
#include "../tests/machine/chd_writer.cpp"

namespace {

constexpr uint32_t kSectors = 20000;
constexpr double kSectorsPerSecondAt1x = 75.0;

enum Content { kMixed = 0, kCompressible = 1, kNoisy = 2, kRepetitive = 3 };
enum Kind : uint32_t { kProgram, kAdpcm, kVideo, kCdda, kEmpty, kText, kPattern, kSilence };

class Rng {
public:
    uint32_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }

private:
    uint32_t state_ = 12345;
};

// Code words of a 68000 program (moves, branches, stack frames) with random operands and
// string tables between them.
void program_data(uint32_t lba, Rng& rng, std::span<uint8_t> out) {
    static constexpr uint16_t kWords[] = {0x4E56, 0x4E5E, 0x4E75, 0x2F0E, 0x2C5F, 0x48E7, 0x4CDF, 0x2028,
                                          0x206E, 0x226E, 0x3028, 0x4A80, 0x6700, 0x6600, 0x6000, 0x4EB9,
                                          0x41EE, 0x43F9, 0x7000, 0x7201, 0xD080, 0x5380, 0xB081, 0x4E40};
    size_t i = 0;
    if (lba % 8 == 0) {  // a directory or module header sector: names and small numbers
        static constexpr char kNames[] = "CDI_APP \0MODULE  \0cdi_audio\0picture.dyuv\0copyright.txt\0";
        for (; i < out.size(); ++i) out[i] = (i % 48 < 32) ? uint8_t(kNames[i % (sizeof kNames - 1)]) : uint8_t(rng.next() & 0x0F);
        return;
    }
    while (i + 1 < out.size()) {
        const uint32_t r = rng.next();
        uint16_t w = kWords[r % std::size(kWords)];
        if ((r >> 8) % 10 < 3) w = static_cast<uint16_t>(r >> 16);  // an operand or address
        out[i++] = static_cast<uint8_t>(w >> 8);
        out[i++] = static_cast<uint8_t>(w);
    }
}

// 18 sound groups: 16 bytes of filter and range parameters (each stored twice, as the format
// does), then 112 bytes of sample nibbles, small values being the common ones.
void adpcm_data(Rng& rng, std::span<uint8_t> out) {
    std::fill(out.begin(), out.end(), uint8_t{0});
    for (size_t g = 0; g < 18; ++g) {
        uint8_t* group = out.data() + g * 128;
        for (size_t k = 0; k < 4; ++k) group[k] = group[k + 4] = static_cast<uint8_t>(rng.next() & 0x3F);
        for (size_t k = 8; k < 12; ++k) group[k] = group[k + 4] = static_cast<uint8_t>(rng.next() & 0x3F);
        for (size_t k = 16; k < 128; ++k) {
            const uint32_t r = rng.next();
            const auto nibble = [](uint32_t v) { return static_cast<uint8_t>(((v & 7) + ((v >> 3) & 7) + 1) & 15); };
            group[k] = static_cast<uint8_t>(nibble(r) | (nibble(r >> 8) << 4));
        }
    }
}

// Picture lines: a slow gradient per line with a few noisy low bits.
void video_data(uint32_t lba, Rng& rng, std::span<uint8_t> out) {
    for (size_t i = 0; i < out.size(); ++i) {
        const uint32_t x = static_cast<uint32_t>(i % 384), line = static_cast<uint32_t>(lba * 6 + i / 384);
        out[i] = static_cast<uint8_t>(((x / 3 + line) & 0xF0) | (rng.next() & 0x07));
    }
}

std::vector<uint8_t> make_frames(int content) {
    using namespace vestrel::test;
    std::vector<uint8_t> frames(size_t{kSectors} * kFrameBytes, 0);
    Rng rng;
    std::vector<uint8_t> data(2324);
    static constexpr Kind kKinds[4][5] = {{kProgram, kAdpcm, kVideo, kCdda, kEmpty},
                                          {kProgram, kVideo, kEmpty, kProgram, kVideo},
                                          {kAdpcm, kCdda, kAdpcm, kCdda, kAdpcm},
                                          {kText, kPattern, kSilence, kText, kPattern}};
    for (uint32_t lba = 0; lba < kSectors; ++lba) {
        uint8_t* out = frames.data() + size_t{lba} * kFrameBytes;
        std::array<uint8_t, kSectorBytes> s{};
        switch (kKinds[content][(lba / 64) % 5]) {
            case kProgram:
                program_data(lba, rng, data);
                s = make_form1_sector(lba, data, 1, 0, 0x08);
                break;
            case kAdpcm:
                adpcm_data(rng, data);
                s = make_form2_sector(lba, data, 0x64);
                break;
            case kVideo:
                video_data(lba, rng, data);
                s = make_form2_sector(lba, data, 0x62);
                break;
            case kCdda:
                for (size_t i = 0; i < 588; ++i) {
                    const double t = double(lba * 588 + i) / 44100.0;
                    const auto l = static_cast<int16_t>(9000 * std::sin(2 * M_PI * 330 * t) + int(rng.next() & 511) - 256);
                    const auto r = static_cast<int16_t>(7000 * std::sin(2 * M_PI * 440 * t) + int(rng.next() & 511) - 256);
                    // CHD files hold CD audio big-endian, byte-swapped against a BIN.
                    s[4 * i] = uint8_t(uint16_t(l) >> 8);
                    s[4 * i + 1] = uint8_t(l);
                    s[4 * i + 2] = uint8_t(uint16_t(r) >> 8);
                    s[4 * i + 3] = uint8_t(r);
                }
                break;
            case kEmpty:
                std::fill(data.begin(), data.end(), uint8_t{0});
                s = make_form2_sector(lba, data, 0x00);
                break;
            case kText:
                for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>("CD-i text block "[(i + lba) % 16]);
                s = make_form1_sector(lba, data);
                break;
            case kPattern:
                for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(((i / 8) ^ lba) & 0x3C);
                s = make_form2_sector(lba, data);
                break;
            case kSilence:
                break;
        }
        std::memcpy(out, s.data(), kSectorBytes);
        for (size_t k = 0; k < 96; ++k) out[kSectorBytes + k] = static_cast<uint8_t>((lba + k) & 0x7F);
    }
    return frames;
}

// The CHD bytes, made once per content kind and codec list (the writer is slow next to the
// reader). Codec list 0 is cdlz alone; 1 is the usual choice of the public tools for CD images,
// where each hunk takes the smallest of cdlz, cdzl and cdfl.
const std::vector<uint8_t>& fixture(int content, int codecs = 0) {
    static std::vector<uint8_t> files[4][2];
    auto& file = files[content][codecs];
    if (file.empty()) {
        vestrel::test::ChdWriterOptions opt;
        opt.codecs = codecs == 0 ? std::vector<std::string>{"cdlz"} : std::vector<std::string>{"cdlz", "cdzl", "cdfl"};
        file = vestrel::test::write_chd(make_frames(content), opt);
    }
    return file;
}

void read_all_sectors(benchmark::State& state, int codecs) {
    const auto path = std::filesystem::temp_directory_path() / ("vestrel_bench_" + std::to_string(::getpid()) + ".chd");
    const auto& file = fixture(static_cast<int>(state.range(0)), codecs);
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

void BM_ReadAllSectorsCdlz(benchmark::State& state) { read_all_sectors(state, 0); }
BENCHMARK(BM_ReadAllSectorsCdlz)
    ->ArgName("content")
    ->Arg(kMixed)
    ->Arg(kCompressible)
    ->Arg(kNoisy)
    ->Arg(kRepetitive)
    ->Unit(benchmark::kMillisecond);

// The same content with the public tools' CD codec choice, for comparison with real files.
void BM_ReadAllSectorsCdDefault(benchmark::State& state) { read_all_sectors(state, 1); }
BENCHMARK(BM_ReadAllSectorsCdDefault)->ArgName("content")->Arg(kMixed)->Arg(kNoisy)->Unit(benchmark::kMillisecond);

// liblzma alone on the sector streams of the cdlz file above, one raw decoder reused across
// hunks as the reader does: the floor under BM_ReadAllSectorsCdlz. `cd_speed` counts all
// sectors, so the two figures compare directly.
void BM_LzmaBaseStreams(benchmark::State& state) {
    const auto& file = fixture(static_cast<int>(state.range(0)));
    vestrel::Error error;
    auto chd = vestrel::chd::ChdFile::open_memory(file, error);
    if (!chd) {
        state.SkipWithError(error.message.c_str());
        return;
    }
    const uint32_t frames = chd->hunk_bytes() / vestrel::chd::kCdFrameBytes;
    const size_t header = (frames + 7) / 8 + 2;
    std::vector<uint8_t> out(size_t{frames} * vestrel::chd::kCdSectorBytes);
    lzma_stream strm = LZMA_STREAM_INIT;
    uint64_t lzma_bytes = 0;
    for (auto _ : state) {
        lzma_bytes = 0;
        for (uint32_t h = 0; h < chd->hunk_count(); ++h) {
            const auto& e = chd->map_entry(h);
            if (e.kind != vestrel::chd::HunkKind::Codec0) continue;
            const uint8_t* src = file.data() + e.offset;
            const size_t base = (size_t{src[header - 2]} << 8) | src[header - 1];
            lzma_options_lzma opt{};
            opt.dict_size = 24576;
            opt.lc = 3;
            opt.pb = 2;
            opt.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
            lzma_set_ext_size(opt, out.size());
            const lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
            if (lzma_raw_decoder(&strm, filters) != LZMA_OK) {
                state.SkipWithError("lzma_raw_decoder failed");
                break;
            }
            strm.next_in = src + header;
            strm.avail_in = base;
            strm.next_out = out.data();
            strm.avail_out = out.size();
            const lzma_ret rc = lzma_code(&strm, LZMA_FINISH);
            if ((rc != LZMA_OK && rc != LZMA_STREAM_END) || strm.avail_out != 0) {
                state.SkipWithError("lzma_code failed");
                break;
            }
            lzma_bytes += out.size();
            benchmark::DoNotOptimize(out.data());
        }
    }
    lzma_end(&strm);
    const double sectors = double(state.iterations()) * kSectors;
    state.counters["cd_speed"] = benchmark::Counter(sectors / kSectorsPerSecondAt1x, benchmark::Counter::kIsRate);
    state.counters["lzma_MBps"] =
        benchmark::Counter(double(state.iterations()) * double(lzma_bytes) / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LzmaBaseStreams)
    ->ArgName("content")
    ->Arg(kMixed)
    ->Arg(kCompressible)
    ->Arg(kNoisy)
    ->Arg(kRepetitive)
    ->Unit(benchmark::kMillisecond);

}  // namespace
