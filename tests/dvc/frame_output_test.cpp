#include <gtest/gtest.h>

#include <array>

#include "dvc/dvc.hpp"

namespace vestrel {
namespace {

using Line = std::array<uint32_t, Dvc::kLineWidth>;

TEST(DvcClocks, FortyFiveKilohertz) {
    Dvc dvc;
    dvc.dvc_tick(993);
    EXPECT_EQ(dvc.clock_45k, 2u);
    EXPECT_EQ(dvc.clock_accumulator, 13'685'000u);
    dvc.dvc_tick(993);
    EXPECT_EQ(dvc.clock_45k, 5u);

    // One emulated PAL second, line by line: the cartridge counts 15.5 MHz, so a little short.
    Dvc second;
    for (int line = 0; line < 312 * 50; ++line) second.dvc_tick(993);
    EXPECT_EQ(second.clock_45k, 44'973u);

    Dvc wrap;
    wrap.clock_45k = 0xFFFFFFFF;
    wrap.dvc_tick(993);
    EXPECT_EQ(wrap.clock_45k, 1u);
}

// 2,756 cycles make one interval tick (5,625 Hz of 15.5 MHz) with a small remainder.
constexpr uint32_t kOneTick = 2'756;

TEST(DvcClocks, IntervalTimer) {
    Dvc dvc;
    dvc.interval_enabled = true;
    for (int t = 1; t <= 55; ++t) dvc.dvc_tick(kOneTick);
    EXPECT_EQ(dvc.interval_count, 55);
    EXPECT_EQ(dvc.fmv_word(Dvc::kFmvIntStatus), 0);
    dvc.dvc_tick(kOneTick);  // the 56th tick
    EXPECT_EQ(dvc.interval_count, 0);
    EXPECT_EQ(dvc.fmv_word(Dvc::kFmvIntStatus), 0x0100);
    EXPECT_EQ(dvc.fma_word(Dvc::kFmaIntStatus), 0x0100);

    // Without playing or the interval flag the count runs but raises nothing.
    Dvc quiet;
    for (int t = 0; t < 56; ++t) quiet.dvc_tick(kOneTick);
    EXPECT_EQ(quiet.interval_count, 0);
    EXPECT_EQ(quiet.fmv_word(Dvc::kFmvIntStatus), 0);

    // A period of 0 drops the ticks.
    Dvc stopped;
    stopped.playing = true;
    stopped.set_fmv(Dvc::kFmvIntervalPeriod, 0);
    stopped.interval_count = 7;
    stopped.dvc_tick(100'000);
    EXPECT_EQ(stopped.interval_count, 7);
    EXPECT_LT(stopped.interval_accumulator, Dvc::kCyclesPerSecond);
    stopped.set_fmv(Dvc::kFmvIntervalPeriod, 2);
    stopped.dvc_tick(kOneTick);  // count 7 >= 2: an event at once
    EXPECT_EQ(stopped.fmv_word(Dvc::kFmvIntStatus), 0x0100);
}

TEST(DvcTimeCode, HoursMinutesSecondsPictures) {
    struct Case {
        uint32_t pictures;
        double rate;
        uint32_t code;
    };
    for (const Case c : {Case{75, 25.0, 0x0000'00C0}, Case{90, 25.0, 0x0000'00CF}, Case{30, 29.97, 0x0000'0040},
                         Case{29, 29.97, 0x0000'001D}, Case{24, 23.976, 0x0000'0040},
                         Case{25 * 3661, 25.0, 1u << 22 | 1u << 16 | 1u << 6},
                         Case{25 * 86'400 + 3, 25.0, 3}, Case{60, 0.0, 0x0000'008A}}) {
        EXPECT_EQ(picture_time_code(c.pictures, c.rate), c.code) << c.pictures << " at " << c.rate;
    }
}

TEST(DvcFrameStep, FieldTicksAndTheEndWithoutPictures) {
    Dvc dvc;
    dvc.dvc_frame_step();
    EXPECT_EQ(dvc.fmv_word(Dvc::kFmvIntStatus), 0x0800);
    EXPECT_EQ(dvc.frame_steps, 1u);
    dvc.set_fmv(Dvc::kFmvIntStatus, 0);
    dvc.dvc_frame_step();  // a picture turn, but nothing was ever shown: no underflow
    EXPECT_EQ(dvc.fmv_word(Dvc::kFmvIntStatus), 0x0800);

    // After a picture, while playing: underflow on each picture turn, the end on the 15th.
    dvc.decoded_count = 1;
    dvc.playing = dvc.play_latched = dvc.interval_enabled = dvc.audio_started = true;
    dvc.set_fmv(Dvc::kFmvPictureFlag, 1);
    for (int turn = 1; turn < 15; ++turn) {
        dvc.set_fmv(Dvc::kFmvIntStatus, 0);
        dvc.dvc_frame_step();
        EXPECT_EQ(dvc.fmv_word(Dvc::kFmvIntStatus), 0x0800) << "field " << turn;
        dvc.dvc_frame_step();
        EXPECT_EQ(dvc.fmv_word(Dvc::kFmvIntStatus), 0x0820) << "turn " << turn;
        EXPECT_EQ(dvc.underflow, static_cast<uint32_t>(turn));
    }
    dvc.set_fmv(Dvc::kFmvIntStatus, 0);
    dvc.dvc_frame_step();
    dvc.dvc_frame_step();
    EXPECT_EQ(dvc.fmv_word(Dvc::kFmvIntStatus), 0x0A08);
    EXPECT_EQ(dvc.fma_word(Dvc::kFmaIntStatus), 0x0001);
    EXPECT_EQ(dvc.fmv_word(Dvc::kFmvPictureFlag), 0);
    EXPECT_EQ(dvc.underflow, 0u);
    EXPECT_FALSE(dvc.playing || dvc.play_latched || dvc.interval_enabled || dvc.audio_started);
    // Later turns report nothing until play starts again.
    dvc.set_fmv(Dvc::kFmvIntStatus, 0);
    dvc.dvc_frame_step();
    dvc.dvc_frame_step();
    EXPECT_EQ(dvc.fmv_word(Dvc::kFmvIntStatus), 0x0800);
}

TEST(DvcColour, YCbCrToArgb) {
    struct Case {
        int32_t y, cb, cr;
        uint32_t argb;
    };
    for (const Case c : {Case{16, 128, 128, 0xFF000000}, Case{235, 128, 128, 0xFFFEFEFE},
                         Case{128, 128, 128, 0xFF828282}, Case{0, 128, 128, 0xFF000000},
                         Case{255, 128, 128, 0xFFFFFFFF},
                         // Arithmetic shifts round negative products down: G 141, B 73.
                         Case{128, 100, 128, 0xFF828D49}, Case{81, 90, 240, 0xFFFD0000},
                         Case{235, 240, 240, 0xFFFF78FF}, Case{16, 16, 16, 0xFF008700}}) {
        EXPECT_EQ(ycbcr_to_argb(c.y, c.cb, c.cr), c.argb) << c.y << " " << c.cb << " " << c.cr;
    }
}

// A frame whose planes cover 32 x 16 (chroma 16 x 8) holding a 20 x 10 picture; Y carries
// the position, Cb and Cr the chroma position.
VideoFrame pattern_frame() {
    VideoFrame f(32, 16, 16, 8, 20, 10);
    for (uint64_t y = 0; y < 16; ++y)
        for (uint64_t x = 0; x < 32; ++x) f.y.data[y * 32 + x] = static_cast<uint8_t>(16 + x + 20 * y);
    for (uint64_t y = 0; y < 8; ++y)
        for (uint64_t x = 0; x < 16; ++x) {
            f.cb.data[y * 16 + x] = static_cast<uint8_t>(100 + x);
            f.cr.data[y * 16 + x] = static_cast<uint8_t>(140 + y);
        }
    return f;
}

TEST(DvcColour, NearestSampleScaling) {
    const VideoFrame f = pattern_frame();
    struct Case {
        uint64_t w, h;
    };
    for (const Case c : {Case{20, 10}, Case{10, 5}, Case{40, 20}, Case{7, 3}}) {
        std::vector<uint32_t> out(c.w * c.h, 0);
        convert_frame_to_argb(f, out, c.w, c.h);
        for (uint64_t r = 0; r < c.h; ++r) {
            for (uint64_t col = 0; col < c.w; ++col) {
                const uint64_t sx = col * 20 / c.w;
                const uint64_t sy = r * 10 / c.h;
                const uint32_t want = ycbcr_to_argb(16 + static_cast<int32_t>(sx + 20 * sy), 100 + static_cast<int32_t>(sx / 2),
                                                    140 + static_cast<int32_t>(sy / 2));
                ASSERT_EQ(out[r * c.w + col], want) << c.w << "x" << c.h << " at " << col << "," << r;
            }
        }
    }
    // Nothing is written for a zero size, a too-small output or planes that do not cover the
    // picture.
    std::vector<uint32_t> out(200, 7);
    convert_frame_to_argb(f, out, 0, 10);
    convert_frame_to_argb(f, std::span(out).first(199), 20, 10);
    VideoFrame broken = f;
    broken.cb.data.resize(10);
    convert_frame_to_argb(broken, out, 20, 10);
    EXPECT_EQ(std::count(out.begin(), out.end(), 7u), 200);
}

class DvcLineOutput : public ::testing::Test {
protected:
    DvcLineOutput() {
        // Each picture pixel tells its position.
        for (uint32_t p = 0; p < Dvc::kPicturePixels; ++p) dvc.picture_buffer[p] = 0xFF000000 | (p + 1);
    }
    Line render(uint64_t index) {
        Line line{};
        dvc.dvc_render_line(index, line);
        return line;
    }
    Dvc dvc;
};

TEST_F(DvcLineOutput, PlacementAndDoubling) {
    struct Case {
        const char* name;
        uint16_t width, height, top;
        uint64_t index;
        bool shown;
        uint64_t row;
        uint32_t first_column, last_column;
    };
    const Case cases[] = {
        {"352x240, first line", 352, 240, 0x1A, 0, true, 0, 32, 735},
        {"352x240, last line", 352, 240, 0x1A, 239, true, 239, 32, 735},
        {"352x240, past the picture", 352, 240, 0x1A, 240, false, 0, 0, 0},
        {"176 wide", 176, 240, 0x1A, 5, true, 5, 208, 559},
        {"width 0 means 352", 0, 240, 0x1A, 5, true, 5, 32, 735},
        {"width 0x200 limited to 352", 0x200, 240, 0x1A, 5, true, 5, 32, 735},
        {"height 120 centred", 352, 120, 0x1A, 59, false, 0, 0, 0},
        {"height 120 centred, first", 352, 120, 0x1A, 60, true, 0, 32, 735},
        {"height 0 means 240", 352, 0, 0x1A, 239, true, 239, 32, 735},
        {"top line 10", 352, 240, 10, 9, false, 0, 0, 0},
        {"top line 10, first", 352, 240, 10, 10, true, 0, 32, 735},
        {"top line 241 ignored", 352, 240, 241, 0, true, 0, 32, 735},
        {"height 288 not centred", 352, 288, 0x1A, 279, true, 279, 32, 735},
        {"height 288, last row", 352, 288, 0x1A, 287, true, 287, 32, 735},
        {"height 400 limited to 288", 352, 400, 0x1A, 288, false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        dvc.set_fmv(Dvc::kFmvPictureWidth, c.width);
        dvc.set_fmv(Dvc::kFmvPictureHeight, c.height);
        dvc.set_fmv(Dvc::kFmvTopLine, c.top);
        dvc.last_width = c.width == 176 ? 176 : 352;
        const Line line = render(c.index);
        if (!c.shown) {
            EXPECT_EQ(std::count(line.begin(), line.end(), 0xFF000000u), 768) << c.name;
            continue;
        }
        const uint64_t w = (c.last_column - c.first_column + 1) / 2;
        for (uint32_t col = 0; col < 768; ++col) {
            const bool inside = col >= c.first_column && col <= c.last_column;
            const uint32_t want =
                inside ? 0xFF000000 | static_cast<uint32_t>(c.row * dvc.last_width + (col - c.first_column) / 2 + 1)
                       : 0xFF000000;
            ASSERT_EQ(line[col], want) << c.name << " column " << col;
        }
        EXPECT_EQ(w, std::min<uint64_t>(c.width == 0 ? 352 : c.width, 352)) << c.name;
    }
}

TEST_F(DvcLineOutput, PictureDramBeforeTheFirstPicture) {
    std::fill(dvc.picture_buffer.begin(), dvc.picture_buffer.end(), 0xFF000000);
    dvc.picture_buffer[2] = 0xFF123456;  // a converted pixel wins over the DRAM
    const std::array<uint16_t, 4> words{0x7FFF, 0x0000, 0x8421, 0x7C1F};
    for (size_t i = 0; i < words.size(); ++i) {
        dvc.picture_dram[2 * i] = static_cast<uint8_t>(words[i] >> 8);
        dvc.picture_dram[2 * i + 1] = static_cast<uint8_t>(words[i]);
    }
    // Still disabled: the picture buffer alone.
    EXPECT_EQ(render(0)[32], 0xFF000000u);
    dvc.dram_enabled = true;
    const Line line = render(0);
    EXPECT_EQ(line[32], 0xFFF8F8F8u);
    EXPECT_EQ(line[33], 0xFFF8F8F8u);
    EXPECT_EQ(line[34], 0xFF000000u);
    EXPECT_EQ(line[36], 0xFF123456u);
    EXPECT_EQ(line[38], 0xFFF800F8u);
    // Row 1 reads the DRAM at the row's own offset.
    dvc.picture_dram[2 * 352] = 0x00;
    dvc.picture_dram[2 * 352 + 1] = 0x1F;
    EXPECT_EQ(render(1)[32], 0xFF0000F8u);
    // Once a picture was decoded the DRAM no longer shows.
    dvc.decoded_count = 1;
    EXPECT_EQ(render(0)[32], 0xFF000000u);
}

TEST_F(DvcLineOutput, EveryIndexAndSizeStaysInBounds) {
    // Out-of-range register values and line indices: no read past either buffer.
    for (const uint16_t v : {0, 1, 26, 240, 241, 288, 289, 352, 0xFFFF}) {
        dvc.set_fmv(Dvc::kFmvPictureWidth, v);
        dvc.set_fmv(Dvc::kFmvPictureHeight, v);
        dvc.set_fmv(Dvc::kFmvTopLine, v);
        for (const uint64_t stride : {0u, 1u, 176u, 352u}) {
            dvc.last_width = stride;
            for (const uint64_t index : {0u, 1u, 239u, 279u, 287u, 288u, 1000u}) render(index);
        }
    }
}

}  // namespace
}  // namespace vestrel
