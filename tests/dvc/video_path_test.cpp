// Pictures through the whole cartridge: a video elementary stream in system-stream packets,
// the frame step's picture turns, the picture registers and the end of the stream.
#include <gtest/gtest.h>

#include "../support/log_capture.hpp"
#include "dvc/dvc.hpp"
#include "stream_builder.hpp"

namespace vestrel {
namespace {

using test::Bytes;
using test::operator+;

// The elementary stream cut into video packets of at most 2,000 bytes behind MPEG-1 packs.
Bytes as_program_stream(const Bytes& video, bool with_end_code) {
    Bytes out;
    for (size_t at = 0; at < video.size(); at += 2000) {
        const size_t n = std::min<size_t>(2000, video.size() - at);
        out = out + test::mpeg1_pack() +
              test::packet(0xE0, test::stamp(2, 3600 * (at / 2000 + 1)),
                           Bytes(video.begin() + static_cast<ptrdiff_t>(at), video.begin() + static_cast<ptrdiff_t>(at + n)));
    }
    return with_end_code ? out + test::end_code() : out;
}

struct Turn {
    uint16_t fmv_status;
    uint64_t decoded;
};

// Runs frame steps until the stream ends (or `limit` calls) and records every call.
std::vector<Turn> play(Dvc& dvc, int limit) {
    std::vector<Turn> turns;
    for (int i = 0; i < limit; ++i) {
        dvc.set_fmv(Dvc::kFmvIntStatus, 0);
        dvc.dvc_frame_step();
        turns.push_back({dvc.fmv_word(Dvc::kFmvIntStatus), dvc.decoded_count});
        if ((turns.back().fmv_status & 0x0208) == 0x0208) break;
    }
    return turns;
}

TEST(DvcVideoPath, FlatPictureConvertsExactly) {
    Dvc dvc;
    // With a sequence end code after the last picture.
    dvc.input = as_program_stream(test::read_fixture("gray_48x32.m1v") + Bytes{0x00, 0x00, 0x01, 0xB7}, false);
    dvc.dvc_write_word((0xE040C0 - 0xE00000) >> 1, 0x0008);  // play
    const auto turns = play(dvc, 40);
    ASSERT_GE(turns.size(), 2u);
    EXPECT_EQ(turns[0].fmv_status, 0x0800) << "the first call only demultiplexes";
    EXPECT_EQ(turns[1].fmv_status, 0x0807) << "the first picture";
    EXPECT_EQ(dvc.decoded_count, 3u);
    // Three pictures, then the sequence end code (taken from the decoder) ends the stream.
    EXPECT_EQ(turns.back().fmv_status & 0x0208, 0x0208);
    EXPECT_EQ(turns.size(), 8u) << "pictures on calls 2, 4 and 6, the end on call 8";
    EXPECT_FALSE(dvc.playing);

    EXPECT_EQ(dvc.last_width, 48u);
    EXPECT_EQ(dvc.fmv_word(Dvc::kFmvPictureWidth), 48);
    EXPECT_EQ(dvc.fmv_word(Dvc::kFmvPictureHeight), 32);
    EXPECT_EQ(dvc.fmv_word(0x52), 48);
    EXPECT_EQ(dvc.fmv_word(0x54), 32);
    EXPECT_EQ(dvc.fmv_word(0x06), 0x0023);
    EXPECT_EQ(dvc.fmv_word(0x56), 0x0708);
    EXPECT_EQ(dvc.fmv_word(0x5A), 3);  // 3 pictures at 25 per second
    EXPECT_EQ(dvc.fmv_word(0x0A), 3);
    EXPECT_DOUBLE_EQ(dvc.frame_rate, 25.0);
    EXPECT_EQ(dvc.fmv_word(Dvc::kFmvTimeStamp), (3600 >> 7) & 0x7FFF);

    // The reference decode is flat 0x7E with neutral chroma.
    const Bytes ref = test::read_fixture("gray_48x32.yuv");
    const uint32_t want = ycbcr_to_argb(ref[0], ref[48 * 32], ref[48 * 32 + 24 * 16]);
    for (size_t p = 0; p < 48u * 32u; ++p) ASSERT_EQ(dvc.picture_buffer[p], want) << p;

    // The line output shows it doubled and centred, 32 lines from line 104 of the index range.
    std::array<uint32_t, Dvc::kLineWidth> line{};
    dvc.dvc_render_line(104, line);
    EXPECT_EQ(line[384 - 48], want);
    EXPECT_EQ(line[384 + 47], want);
    EXPECT_EQ(line[384 - 49], 0xFF000000u);
    EXPECT_EQ(line[384 + 48], 0xFF000000u);
    dvc.dvc_render_line(103, line);
    EXPECT_EQ(line[384], 0xFF000000u);
}

TEST(DvcVideoPath, EveryPictureShowsThenTheStreamDrains) {
    // 14 pictures and no sequence end code: the drain must still show the last ones.
    LogCapture log;
    Dvc dvc;
    dvc.input = as_program_stream(test::read_fixture("ibbp_64x48.m1v"), false);
    dvc.dvc_write_word((0xE040C0 - 0xE00000) >> 1, 0x0008);
    const auto turns = play(dvc, 200);
    EXPECT_EQ(dvc.decoded_count, 14u);
    ASSERT_FALSE(turns.empty());
    EXPECT_EQ(turns.back().fmv_status & 0x0208, 0x0208);
    EXPECT_EQ(dvc.fma_word(Dvc::kFmaIntStatus) & 0x0001, 0x0001);
    EXPECT_EQ(dvc.fmv_word(Dvc::kFmvPictureFlag), 0);
    // Pictures came on every second call only, and underflow was reported in between.
    size_t underflows = 0;
    for (size_t i = 0; i < turns.size(); ++i) {
        if (i % 2 == 0) {
            EXPECT_EQ(turns[i].fmv_status & 0x0004, 0) << i;
        }
        underflows += (turns[i].fmv_status & 0x0020) != 0;
    }
    EXPECT_GT(underflows, 0u);
    // The last picture waits for a start code that never comes: it is shown after a wait of 15
    // picture turns, and the newest reference after another 15, once every byte is decoded.
    EXPECT_LT(turns.size(), 28u + 2 * 2 * 15 + 8) << "the drain came within the bounded wait";
    // The whole stream arrives in one pass, so the first payload is all of it.
    EXPECT_EQ(log.count_containing(">>> [DVC] INITIALIZING VIDEO DECODER WITH FIRST PACKET (len=5250)"), 1u);
    EXPECT_EQ(log.count_containing(">>> [DVC] DECODED MPEG FRAME #"), 1u);  // pictures 1, 31, 61, ...
    EXPECT_TRUE(log.has(">>> [DVC] DECODED MPEG FRAME #1 (idx="));
    EXPECT_TRUE(log.has(">>> [DVC] END OF SEQUENCE / DRAIN after 14 frames (underflow="));
}

TEST(DvcVideoPath, EndCodesAndTheDrain) {
    // Three intra pictures, each shown once the next is decoded (the third once the end is
    // known), then what follows them. With an end code the pictures come on calls 2, 4 and 6.
    const Bytes gray = test::read_fixture("gray_48x32.m1v");
    const Bytes end{0x00, 0x00, 0x01, 0xB7};
    const Bytes refused{0x00, 0x00, 0x01, 0xB3, 0x00, 0x00, 0x20, 0x13, 0xFF, 0xFF, 0xE0, 0x18,
                        0x00, 0x00, 0x01, 0xB3, 0x03, 0x00, 0x00, 0x13, 0xFF, 0xFF, 0xE0, 0x18};
    struct Row {
        const char* what;
        Bytes stream;
        uint64_t pictures;
        bool ends;
        int first_call, last_call;  // the call that raises 0x0208, within these bounds
    };
    const Row rows[] = {
        {"end code", gray + end, 3, true, 8, 8},
        {"end code, zero padding", gray + end + Bytes{0, 0, 0}, 3, true, 8, 8},
        // Bytes after the end code may be more to come: only the drain can end it, after 15
        // picture turns with nothing new.
        {"end code and a byte", gray + end + Bytes{0x12}, 3, true, 8 + 2 * 14, 8 + 2 * 16},
        // No end code: the last picture is shown after the wait, the end comes after another.
        {"no end code", gray, 3, true, 6 + 2 * 2 * 14, 6 + 2 * 2 * 16},
        // I P P in 70 bytes, less than a sequence header with both matrices: all three shown.
        {"tiny stream", test::read_fixture("tiny_16x16.m1v"), 3, true, 6 + 2 * 2 * 14, 6 + 2 * 2 * 16},
        // The last picture cut short: it is never shown, and without every byte decoded the
        // drain never calls it the end (it cannot be told from a pause in the feed).
        {"last picture cut short", Bytes(gray.begin(), gray.end() - 20), 1, false, 0, 0},
        // Sequence headers of zero width and zero height ahead: stepped over at once, so the
        // pictures keep their calls.
        {"refused headers first", refused + gray + end, 3, true, 8, 8},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Dvc dvc;
        dvc.input = as_program_stream(r.stream, false);
        dvc.dvc_write_word((0xE040C0 - 0xE00000) >> 1, 0x0008);
        int end_call = 0, ends = 0;
        for (int call = 1; call <= 200; ++call) {
            dvc.set_fmv(Dvc::kFmvIntStatus, 0);
            dvc.dvc_frame_step();
            const uint16_t status = dvc.fmv_word(Dvc::kFmvIntStatus);
            // Once the end is raised nothing new arrives, so no picture may follow it.
            if (ends > 0) {
                EXPECT_EQ(status & 0x0004, 0) << "call " << call;
            }
            if ((status & 0x0208) == 0x0208 && ends++ == 0) end_call = call;
        }
        EXPECT_EQ(dvc.decoded_count, r.pictures);
        EXPECT_EQ(ends, r.ends ? 1 : 0);
        if (r.ends) {
            EXPECT_GE(end_call, r.first_call);
            EXPECT_LE(end_call, r.last_call);
            EXPECT_FALSE(dvc.playing);
        } else {
            EXPECT_TRUE(dvc.playing);
        }
    }
}

TEST(DvcVideoPath, ProgramStreamWithSoundAndPictures) {
    // ffmpeg's MPEG-2 program stream of the same pictures with six layer II frames.
    Dvc dvc;
    dvc.input = test::read_fixture("av_vob.mpg");
    dvc.dvc_write_word((0xE040C0 - 0xE00000) >> 1, 0x0008);
    play(dvc, 200);
    EXPECT_EQ(dvc.decoded_count, 14u);
    EXPECT_EQ(dvc.audio_pairs.size(), 6u * 987u);
    EXPECT_EQ(dvc.fmv_word(Dvc::kFmvStampFlags), 0x4000);
    EXPECT_FALSE(dvc.playing);
}

TEST(DvcVideoPath, SameResultWhenFedThroughTheDataPort) {
    const Bytes stream = as_program_stream(test::read_fixture("ibbp_64x48.m1v"), true);
    Dvc whole;
    whole.input = stream;
    play(whole, 3);
    Dvc port;
    for (size_t i = 0; i + 1 < stream.size(); i += 2) {
        port.dvc_write_word((0xE040DE - 0xE00000) >> 1, static_cast<uint16_t>(stream[i] << 8 | stream[i + 1]));
    }
    if (stream.size() % 2 != 0) {
        port.dvc_write_byte(0xE040DE, stream.back());
        port.dvc_write_byte(0xE040DF, 0);
    }
    play(port, 3);
    EXPECT_EQ(port.decoded_count, whole.decoded_count);
    EXPECT_EQ(port.picture_buffer, whole.picture_buffer);
}

}  // namespace
}  // namespace vestrel
