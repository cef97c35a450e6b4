// Streams fed to the cartridge a field at a time, as a disc delivers them, through DMA channel
// 1 and the frame step: faster and slower than the stream's own rate, with pauses in the feed,
// with and without end codes. Every picture must be shown once, whole and in display order
// (checked against ffmpeg's decode, tests/fixtures/mpeg/make_video_fixtures.sh), and the end
// reported exactly once, after the last picture.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "machine/bus.hpp"
#include "stream_builder.hpp"

namespace vestrel {
namespace {

using test::Bytes;
using test::operator+;

constexpr uint32_t kFmvCommandAddress = 0xE040C0;
constexpr uint32_t kBufferAddress = 0x10000;

// ffmpeg's decode (raw yuv420p pictures) converted as the cartridge converts its pictures.
std::vector<std::vector<uint32_t>> reference_pictures(const std::string& name, uint64_t w, uint64_t h) {
    const Bytes yuv = test::read_fixture(name);
    const uint64_t cw = (w + 1) / 2, ch = (h + 1) / 2;
    const uint64_t size = w * h + 2 * cw * ch;
    std::vector<std::vector<uint32_t>> out;
    for (uint64_t at = 0; at + size <= yuv.size(); at += size) {
        VideoFrame f((w + 15) / 16 * 16, (h + 15) / 16 * 16, (w + 15) / 16 * 8, (h + 15) / 16 * 8, w, h);
        for (uint64_t r = 0; r < h; ++r)
            for (uint64_t c = 0; c < w; ++c) f.y.data[r * f.y.width + c] = yuv[at + r * w + c];
        for (uint64_t r = 0; r < ch; ++r) {
            for (uint64_t c = 0; c < cw; ++c) {
                f.cb.data[r * f.cb.width + c] = yuv[at + w * h + r * cw + c];
                f.cr.data[r * f.cr.width + c] = yuv[at + w * h + cw * ch + r * cw + c];
            }
        }
        std::vector<uint32_t> argb(w * h);
        convert_frame_to_argb(f, argb, w, h);
        out.push_back(std::move(argb));
    }
    return out;
}

double rgb_psnr(std::span<const uint32_t> a, std::span<const uint32_t> b) {
    double sq = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        for (int shift : {0, 8, 16}) {
            const double e = double((a[i] >> shift) & 0xFF) - double((b[i] >> shift) & 0xFF);
            sq += e * e;
        }
    }
    return sq == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 * 3.0 * double(a.size()) / sq);
}

struct Feed {
    size_t bytes_per_field;
    uint64_t pause_at = 0;  // field at which the feed stops for `pause_fields` fields
    uint64_t pause_fields = 0;
};

struct Played {
    std::vector<size_t> shown;       // for each picture shown, the reference it matches best
    std::vector<double> best_psnr;   // how well it matches that one
    std::vector<double> psnr;        // and how well the one due in display order
    int ends = 0;                    // fields that raised 0x0208
    size_t pictures_before_end = 0;  // pictures shown when the end came
    uint64_t fields_after_last = 0;  // fields from the last picture to the end
    uint64_t end_field = 0;
};

class StreamFeed : public ::testing::Test {
protected:
    StreamFeed() : bus(std::make_unique<Bus>()) { bus->dvc.load_rom_image(Bytes(16, 0)); }

    // Plays `stream` from RAM by DMA, `feed.bytes_per_field` bytes at the start of each field,
    // until 80 fields after the end (or a bound).
    Played play(const Bytes& stream, const Feed& feed, const std::vector<std::vector<uint32_t>>& refs, uint64_t w,
                uint64_t h) {
        Dvc& dvc = bus->dvc;
        bus->write_word(kFmvCommandAddress, 0x0008);  // play
        Played p;
        size_t fed = 0;
        uint64_t last_picture = 0;
        uint64_t end_field = 0;
        for (uint64_t field = 0; field < 4000; ++field) {
            const bool paused = field >= feed.pause_at && field < feed.pause_at + feed.pause_fields;
            if (fed < stream.size() && !paused) {
                const size_t n = std::min(feed.bytes_per_field, stream.size() - fed);
                for (size_t i = 0; i < n; ++i) bus->write_byte(kBufferAddress + static_cast<uint32_t>(i), stream[fed + i]);
                if (n % 2 != 0) bus->write_byte(kBufferAddress + static_cast<uint32_t>(n), 0);
                bus->dma[1].mar = kBufferAddress;
                bus->dma[1].mtc = static_cast<uint16_t>((n + 1) / 2);
                bus->write_word(kFmvCommandAddress, 0x8000);
                bus->dvc_line_step(993);
                fed += n;
            }
            const uint64_t before = dvc.decoded_count;
            dvc.set_fmv(Dvc::kFmvIntStatus, 0);
            dvc.dvc_frame_step();
            if (dvc.decoded_count != before) {
                const std::span<const uint32_t> shown(dvc.picture_buffer.data(), w * h);
                size_t best = 0;
                double best_psnr = -1;
                for (size_t k = 0; k < refs.size(); ++k) {
                    const double q = rgb_psnr(shown, refs[k]);
                    if (q > best_psnr) best_psnr = q, best = k;
                }
                const size_t due = p.shown.size();
                p.shown.push_back(best);
                p.best_psnr.push_back(best_psnr);
                p.psnr.push_back(due < refs.size() ? rgb_psnr(shown, refs[due]) : 0.0);
                last_picture = field;
            }
            if ((dvc.fmv_word(Dvc::kFmvIntStatus) & 0x0208) == 0x0208) {
                if (p.ends++ == 0) {
                    p.pictures_before_end = p.shown.size();
                    p.fields_after_last = field - last_picture;
                    end_field = field;
                    p.end_field = field;
                }
            }
            if (p.ends > 0 && field > end_field + 80) break;
        }
        return p;
    }

    std::unique_ptr<Bus> bus;
};

// Pictures in display order, each close to ffmpeg's (the lowest RGB PSNR measured is 45.7 dB) and no closer to any other (a few of the
// mandelbrot pictures differ from their neighbours by less than the decoders do).
void expect_every_picture_once(const Played& p, size_t pictures, double floor) {
    ASSERT_EQ(p.shown.size(), pictures);
    for (size_t i = 0; i < pictures; ++i) {
        EXPECT_GE(p.psnr[i], floor) << "picture " << i;
        EXPECT_GE(p.psnr[i], p.best_psnr[i] - 1.0) << "picture " << i << " looks most like " << p.shown[i];
    }
    EXPECT_EQ(p.ends, 1);
    EXPECT_EQ(p.pictures_before_end, pictures);
}

TEST_F(StreamFeed, SystemStreamAtSeveralRatesAndWithPauses) {
    // 30 pictures and layer II sound in 14,336 bytes: about 240 bytes per field at 25 pictures
    // a second. ffmpeg writes no end code, so the end is the drain's.
    const Bytes stream = test::read_fixture("av_48x32.mpg");
    const auto refs = reference_pictures("av_48x32.yuv", 48, 32);
    ASSERT_EQ(refs.size(), 30u);
    const Feed feeds[] = {
        {96}, {240}, {1024}, {4096},
        // Pauses long enough for the wait before a drain, starting where the buffered data has
        // run out (mid-picture), and at 4 KB per field.
        {256, 20, 31}, {256, 20, 40}, {4096, 1, 31}, {4096, 1, 40}, {4096, 2, 31}, {128, 33, 40},
    };
    for (const Feed& f : feeds) {
        SCOPED_TRACE(::testing::Message() << f.bytes_per_field << " bytes per field, pause of " << f.pause_fields
                                          << " at " << f.pause_at);
        bus = std::make_unique<Bus>();
        bus->dvc.load_rom_image(Bytes(16, 0));
        const Played p = play(stream, f, refs, 48, 32);
        expect_every_picture_once(p, 30, 43.0);
        EXPECT_GT(bus->dvc.audio_pairs.size(), 0u);
    }
}

TEST_F(StreamFeed, ProgramEndCodeEndsTheStreamOnceReached) {
    // The same stream closed by a program end code: the end comes when the decoder gets there,
    // right after the last picture, not when the code arrives and not after a wait.
    const Bytes stream = test::read_fixture("av_48x32.mpg") + test::end_code();
    const auto refs = reference_pictures("av_48x32.yuv", 48, 32);
    for (size_t rate : {size_t{240}, size_t{4096}}) {
        SCOPED_TRACE(rate);
        bus = std::make_unique<Bus>();
        bus->dvc.load_rom_image(Bytes(16, 0));
        const Played p = play(stream, {rate}, refs, 48, 32);
        expect_every_picture_once(p, 30, 43.0);
        EXPECT_LE(p.fields_after_last, 2u);
        // Pictures come on every second field from field 1, so the 30th is due at field 59 at
        // the earliest; a few pictures may still be buffered when the last byte arrives. A drain
        // would need 15 picture turns (30 fields) on top.
        const uint64_t last_byte_field = (stream.size() + rate - 1) / rate;
        EXPECT_LE(p.end_field, std::max<uint64_t>(61, last_byte_field + 15));
    }
}

TEST_F(StreamFeed, TwoSequencesPlayThroughTheEndCodeBetweenThem) {
    // Two sequences of 8 pictures, each closed by a sequence end code, in video packets of at
    // most 2,000 bytes: the first end code is passed, the second ends the stream.
    const Bytes video = test::read_fixture("two_seq_32x32.m1v");
    Bytes stream;
    for (size_t at = 0; at < video.size(); at += 2000) {
        const size_t n = std::min<size_t>(2000, video.size() - at);
        stream = stream + test::mpeg1_pack() +
                 test::packet(0xE0, {0x0F}, Bytes(video.begin() + static_cast<ptrdiff_t>(at),
                                                  video.begin() + static_cast<ptrdiff_t>(at + n)));
    }
    const auto refs = reference_pictures("two_seq_32x32.yuv", 32, 32);
    ASSERT_EQ(refs.size(), 16u);
    for (size_t rate : {size_t{64}, size_t{256}, size_t{2048}, stream.size()}) {
        SCOPED_TRACE(rate);
        bus = std::make_unique<Bus>();
        bus->dvc.load_rom_image(Bytes(16, 0));
        const Played p = play(stream, {rate}, refs, 32, 32);
        expect_every_picture_once(p, 16, 43.0);
        EXPECT_LE(p.fields_after_last, 2u) << "the final end code ends it at once";
    }
}

}  // namespace
}  // namespace vestrel
