// The video decoder's stream layer: bit reader, start-code search, sequence header, appending,
// the sequence-end scan and compaction.
#include <gtest/gtest.h>

#include "mpeg_support.hpp"

namespace vestrel {
namespace {

using mpeg_test::read_fixture;
using Bytes = std::vector<uint8_t>;

// A sequence header of the given size and rate code, loading no matrix, followed by `tail`
// zero bytes.
Bytes sequence_header(uint32_t width, uint32_t height, uint32_t rate_code, size_t tail = 136) {
    Bytes b{0x00, 0x00, 0x01, 0xB3,
            uint8_t(width >> 4), uint8_t((width & 0xF) << 4 | height >> 8), uint8_t(height & 0xFF),
            uint8_t(0x10 | rate_code), 0xFF, 0xFF, 0xE0, 0x18};  // both load flags clear
    b.insert(b.end(), tail, 0x00);
    return b;
}

TEST(MpegBitReader, ReadsPastTheEndGiveZeroWithoutMoving) {
    VideoDecoder dec(Bytes{0xA5, 0x0F});
    dec.bit_position = 0;
    EXPECT_EQ(dec.read_bits(4), 0xAu);
    EXPECT_EQ(dec.read_bits(8), 0x50u);
    EXPECT_EQ(dec.bit_position, 12u);
    EXPECT_EQ(dec.read_bits(5), 0u);  // only 4 left
    EXPECT_EQ(dec.bit_position, 12u);
    EXPECT_EQ(dec.peek_bits(8), 0xF0u);  // zero-padded
    dec.skip_bits(5);
    EXPECT_EQ(dec.bit_position, 12u);
    EXPECT_EQ(dec.read_bits(4), 0xFu);
    EXPECT_EQ(dec.read_bits(1), 0u);
    EXPECT_EQ(dec.bit_position, 16u);
}

TEST(MpegStartCode, NeedsFiveBytesAndResumesWithoutSkipping) {
    // A code in the last four bytes is left for later, and found once a byte follows (behind a
    // parsed header, so that append itself does not search).
    Bytes b = sequence_header(16, 16, 3);
    const uint64_t base = b.size();
    b.insert(b.end(), {0x12, 0x00, 0x00, 0x01, 0xB8, 0x00, 0x00, 0x01, 0x00});
    VideoDecoder dec(b);
    ASSERT_TRUE(dec.has_sequence_header);
    dec.bit_position = base * 8 + 3;  // aligned up first
    EXPECT_EQ(dec.next_start_code(), 0xB8);
    EXPECT_EQ(dec.bit_position, (base + 5) * 8);
    EXPECT_EQ(dec.next_start_code(), -1);
    EXPECT_EQ(dec.bit_position, (base + 5) * 8);
    const uint8_t more[] = {0x42};
    dec.append(more);
    EXPECT_EQ(dec.next_start_code(), 0x00);
    EXPECT_EQ(dec.bit_position, (base + 9) * 8);

    // The scan stops where a start code could still begin.
    VideoDecoder scan(Bytes(20, 0x77));
    EXPECT_EQ(scan.next_start_code(), -1);
    EXPECT_EQ(scan.bit_position, 16u * 8);
    // Once the end is known, the last four bytes are searched too.
    VideoDecoder tail(Bytes{0x55, 0x00, 0x00, 0x01, 0xB7});
    tail.bit_position = 0;
    tail.mark_end_of_stream();
    EXPECT_EQ(tail.next_start_code(), 0xB7);
}

TEST(MpegSequenceHeader, SizeRateAndGeometry) {
    struct Row {
        uint32_t width, height, rate_code;
        double rate;
        uint64_t mb_width, mb_height;
    };
    const Row rows[] = {
        {352, 240, 4, 30000.0 / 1001.0, 22, 15}, {352, 288, 3, 25.0, 22, 18}, {200, 120, 0, 0.0, 13, 8},
        {16, 16, 1, 24000.0 / 1001.0, 1, 1},     {17, 1, 8, 60.0, 2, 1},      {64, 48, 9, 0.0, 4, 3},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.width * 1000 + r.height);
        VideoDecoder dec(sequence_header(r.width, r.height, r.rate_code));
        ASSERT_TRUE(dec.has_sequence_header);
        EXPECT_EQ(dec.width, r.width);
        EXPECT_EQ(dec.height, r.height);
        EXPECT_DOUBLE_EQ(dec.picture_rate, r.rate);
        EXPECT_EQ(dec.mb_width, r.mb_width);
        EXPECT_EQ(dec.mb_height, r.mb_height);
        EXPECT_EQ(dec.mb_count, r.mb_width * r.mb_height);
        ASSERT_EQ(dec.frames.size(), 3u);
        for (const VideoFrame& f : dec.frames) {
            EXPECT_EQ(f.y.width, 16 * r.mb_width);
            EXPECT_EQ(f.y.data.size(), 256 * r.mb_width * r.mb_height);
            EXPECT_EQ(f.cb.width, 8 * r.mb_width);
            EXPECT_EQ(f.cr.data.size(), 64 * r.mb_width * r.mb_height);
            EXPECT_EQ(f.width, r.width);
        }
        EXPECT_EQ(dec.non_intra_matrix[0], 16);
        EXPECT_EQ(dec.intra_matrix[63], 83);  // the default matrix, raster order
        EXPECT_EQ(dec.intra_matrix[8], 16);
    }
}

TEST(MpegSequenceHeader, LoadedMatricesAreStoredInZigzagPositions) {
    Bytes b = sequence_header(64, 48, 3, 0);
    b[11] |= 0x02;  // load_intra_quantizer_matrix, the second-last bit of byte 11
    // Matrix byte i holds i + 1 and belongs at zig-zag[i]; each spans two stream bytes.
    std::vector<uint8_t> bits;
    for (int i = 0; i < 64; ++i)
        for (int k = 7; k >= 0; --k) bits.push_back(((i + 1) >> k) & 1);
    bits.push_back(0);  // non-intra flag clear
    b.resize(12 + 80, 0);
    for (size_t i = 0; i < bits.size(); ++i) {
        const size_t pos = 11 * 8 + 7 + i;  // just after the intra flag
        if (bits[i]) b[pos / 8] |= uint8_t(0x80 >> (pos % 8));
    }
    b.resize(200, 0);
    VideoDecoder dec(b);
    ASSERT_TRUE(dec.has_sequence_header);
    EXPECT_EQ(dec.intra_matrix[0], 1);
    EXPECT_EQ(dec.intra_matrix[1], 2);
    EXPECT_EQ(dec.intra_matrix[8], 3);
    EXPECT_EQ(dec.intra_matrix[16], 4);
    EXPECT_EQ(dec.intra_matrix[63], 64);
    EXPECT_EQ(dec.non_intra_matrix[63], 16);
}

TEST(MpegSequenceHeader, WaitsForTheWholeHeaderAcrossAppends) {
    const Bytes stream = read_fixture("ibbp_64x48.m1v");
    ASSERT_GT(stream.size(), 200u);
    // Garbage and a picture start code before the header are skipped.
    Bytes junk{0x00, 0x00, 0x01, 0x00, 0x12, 0x34, 0x00, 0x00, 0x01, 0xB8, 0x99};
    junk.insert(junk.end(), stream.begin(), stream.end());
    for (size_t cut = 1; cut < 160; ++cut) {
        SCOPED_TRACE(cut);
        VideoDecoder dec(Bytes(junk.begin(), junk.begin() + cut));
        // The header's start code is at 11; it loads no matrix, so 64 bits after it are needed.
        EXPECT_EQ(dec.has_sequence_header, cut >= 11 + 4 + 8);
        dec.append(std::span(junk).subspan(cut));
        ASSERT_TRUE(dec.has_sequence_header);
        EXPECT_EQ(dec.width, 64u);
        EXPECT_EQ(dec.height, 48u);
        EXPECT_DOUBLE_EQ(dec.picture_rate, 25.0);
    }
}

TEST(MpegSequenceHeader, WaitsOnlyForTheBitsItHolds) {
    // 64 bits after the start code, and 512 more for each matrix it loads (ISO 11172-2).
    struct Row {
        bool intra, non_intra;
        size_t bytes_after_code;
    };
    for (const Row r : {Row{false, false, 8}, Row{true, false, 72}, Row{false, true, 72}, Row{true, true, 136}}) {
        SCOPED_TRACE(r.intra * 10 + r.non_intra);
        Bytes b = sequence_header(32, 16, 3, 200);
        if (r.intra) b[11] |= 0x02;
        const size_t non_intra_bit = 4 * 8 + 63 + (r.intra ? 512 : 0);
        if (r.non_intra) b[non_intra_bit / 8] |= uint8_t(0x80 >> (non_intra_bit % 8));
        for (size_t cut = 4; cut <= 4 + 140; ++cut) {
            VideoDecoder dec(Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(cut)));
            ASSERT_EQ(dec.has_sequence_header, cut >= 4 + r.bytes_after_code) << cut;
        }
    }
    // Once no more bytes will come, a header cut short is taken as it stands.
    Bytes cut_short = sequence_header(32, 16, 3, 0);
    cut_short[11] |= 0x02;
    VideoDecoder dec(cut_short);
    EXPECT_FALSE(dec.has_sequence_header);
    dec.mark_end_of_stream();
    dec.decode();
    EXPECT_TRUE(dec.has_sequence_header);
    EXPECT_EQ(dec.width, 32u);
}

TEST(MpegSequenceHeader, ZeroSizeIsRefusedAndTheSearchGoesOn) {
    Bytes b = sequence_header(0, 48, 3, 0);
    const Bytes good = sequence_header(32, 16, 5);
    b.insert(b.end(), good.begin(), good.end());
    b.resize(b.size() + 200, 0);
    // The search goes on from the next start code at once, not on a later call.
    VideoDecoder dec(b);
    ASSERT_TRUE(dec.has_sequence_header);
    EXPECT_EQ(dec.width, 32u);
    EXPECT_EQ(dec.height, 16u);
    EXPECT_DOUBLE_EQ(dec.picture_rate, 30.0);
    EXPECT_EQ(dec.frames.size(), 3u);

    // Arriving in pieces, each append searches as far as its bytes reach.
    VideoDecoder split(Bytes(b.begin(), b.begin() + 6));
    EXPECT_FALSE(split.has_sequence_header);
    split.append(std::span(b).subspan(6));
    ASSERT_TRUE(split.has_sequence_header);
    EXPECT_EQ(split.width, 32u);
}

TEST(MpegSequenceHeader, OnlyTheFirstCounts) {
    Bytes b = sequence_header(64, 48, 3);
    const Bytes second = sequence_header(352, 288, 5);
    b.insert(b.end(), second.begin(), second.end());
    VideoDecoder dec(b);
    dec.decode();
    EXPECT_EQ(dec.width, 64u);
    EXPECT_DOUBLE_EQ(dec.picture_rate, 25.0);
    EXPECT_EQ(dec.frames[0].y.data.size(), 64u * 48);
}

TEST(MpegSequenceEnd, SeenWhereverItArrivesEvenAcrossAppends) {
    const Bytes end{0x00, 0x00, 0x01, 0xB7};
    for (size_t split = 0; split <= 4; ++split) {
        for (size_t lead = 0; lead < 3; ++lead) {
            SCOPED_TRACE(split * 10 + lead);
            Bytes first(lead, 0x55);
            first.insert(first.end(), end.begin(), end.begin() + split);
            VideoDecoder dec(first);
            EXPECT_EQ(dec.sequence_end_seen, split == 4);
            // Split again: one byte per append.
            for (size_t i = split; i < 4; ++i) dec.append(std::span(end).subspan(i, 1));
            EXPECT_TRUE(dec.sequence_end_seen);
        }
    }
    VideoDecoder near_miss(Bytes{0x00, 0x00, 0x01});
    const uint8_t other[] = {0xB3};
    near_miss.append(other);
    EXPECT_FALSE(near_miss.sequence_end_seen);
}

TEST(MpegCompaction, ConsumedBytesGoOnceThePositionPassesTheThreshold) {
    // An I-only stream with a long run of user data after its first picture: the buffer drops
    // what it has read once a picture is shown past 32,769 bytes, and decoding goes on intact.
    const Bytes gray = read_fixture("gray_48x32.m1v");
    const Bytes reference = read_fixture("gray_48x32.yuv");
    ASSERT_EQ(gray.size(), 186u);
    ASSERT_FALSE(reference.empty());
    Bytes stream(gray.begin(), gray.begin() + 0x3E);  // header, GOP, picture 0
    const Bytes filler_code{0x00, 0x00, 0x01, 0xB2};
    stream.insert(stream.end(), filler_code.begin(), filler_code.end());
    stream.insert(stream.end(), 40'000, 0xFF);
    stream.insert(stream.end(), gray.begin() + 0x3E, gray.end());  // pictures 1 and 2
    const Bytes end{0x00, 0x00, 0x01, 0xB7};
    stream.insert(stream.end(), end.begin(), end.end());

    VideoDecoder dec(stream);
    const size_t full = dec.data.size();
    ASSERT_TRUE(dec.decode().ready);  // picture 0, shown after picture 1 was decoded
    const size_t removed = full - dec.data.size();
    EXPECT_GT(removed, 32'768u);
    EXPECT_LT(dec.bit_position, 8u);
    EXPECT_GE(removed * 8 + dec.bit_position, VideoDecoder::kCompactionBits);
    for (int i = 0; i < 2; ++i) {
        const DecodeResult r = dec.decode();
        ASSERT_TRUE(r.ready);
        EXPECT_EQ(mpeg_test::visible_yuv(dec.frames[r.index]), Bytes(reference.begin(), reference.begin() + 48 * 32 * 3 / 2));
    }
    EXPECT_FALSE(dec.decode().ready);

    // Below the threshold nothing moves.
    VideoDecoder small(gray);
    ASSERT_TRUE(small.decode().ready);
    EXPECT_EQ(small.data.size(), gray.size());
}

}  // namespace
}  // namespace vestrel
