// The picture layer: display order over the three picture buffers, the end of the stream,
// skipped pictures and motion vector reconstruction.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "mpeg_support.hpp"

namespace vestrel {
namespace {

using mpeg_test::read_fixture;
using Bytes = std::vector<uint8_t>;

constexpr size_t kPictureBytes = 64 * 48 * 3 / 2;
const Bytes kEnd{0x00, 0x00, 0x01, 0xB7};

// Offsets of the picture start codes.
std::vector<size_t> picture_offsets(const Bytes& s) {
    std::vector<size_t> out;
    for (size_t i = 0; i + 4 <= s.size(); ++i)
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1 && s[i + 3] == 0) out.push_back(i);
    return out;
}

// Display indices of the reference pictures the decoded ones are (within the decoder's
// rounding: the closest); '-' for one that matches none, 'z' for an all-zero picture.
std::string identify(const std::vector<Bytes>& pictures, const Bytes& reference) {
    std::string out;
    for (const Bytes& p : pictures) {
        if (std::all_of(p.begin(), p.end(), [](uint8_t v) { return v == 0; })) {
            out += 'z';
            continue;
        }
        char id = '-';
        double best = 40.0;  // below this a picture matches nothing
        for (size_t r = 0; r * kPictureBytes < reference.size(); ++r) {
            double sq = 0;
            for (size_t k = 0; k < kPictureBytes; ++k) {
                const double e = double(p[k]) - reference[r * kPictureBytes + k];
                sq += e * e;
            }
            const double psnr = 10.0 * std::log10(255.0 * 255.0 * kPictureBytes / std::max(sq, 1e-9));
            if (psnr > best) {
                best = psnr;
                id = char(r < 10 ? '0' + r : 'a' + r - 10);
            }
        }
        out += id;
    }
    return out;
}

class DisplayOrder : public ::testing::Test {
protected:
    void SetUp() override {
        stream = read_fixture("ibbp_64x48.m1v");
        reference = read_fixture("ibbp_64x48.yuv");
        offsets = picture_offsets(stream);
        // Decode order: I0 P3 B1 B2 P6 B4 B5 P9 B7 B8 I12 B10 B11 P13.
        ASSERT_EQ(offsets.size(), 14u);
    }
    // The stream up to (not including) decoded picture `count`, then `tail`.
    Bytes cut(size_t count, const Bytes& tail) const {
        const size_t end = count < offsets.size() ? offsets[count] : stream.size();
        Bytes s(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(end));
        s.insert(s.end(), tail.begin(), tail.end());
        return s;
    }
    std::string run(const Bytes& s, size_t chunk, bool mark_end) const {
        return identify(mpeg_test::decode_all(s, chunk, mark_end), reference);
    }
    Bytes stream, reference;
    std::vector<size_t> offsets;
};

TEST_F(DisplayOrder, CutStreamsEndWithTheirNewestReference) {
    Bytes end_and_byte = kEnd;
    end_and_byte.push_back(0x00);
    struct Row {
        size_t pictures;
        Bytes tail;
        bool mark_end;
        const char* expected;
    };
    const Row rows[] = {
        {5, kEnd, false, "01236"},           // I P B B P, end code
        {4, kEnd, false, "0123"},            // I P B B: the P comes last
        {5, end_and_byte, false, "01236"},   // a byte after the end code
        {5, {}, true, "01236"},              // no end code: drained
        {5, {}, false, "012"},               // no end code, no drain: the last two wait
        {1, kEnd, false, "0"},               // one picture
        {14, {}, true, "0123456789abcd"},    // everything
    };
    for (const Row& r : rows) {
        for (size_t chunk : {size_t{100000}, size_t{61}}) {
            SCOPED_TRACE(std::to_string(r.pictures) + " pictures, chunk " + std::to_string(chunk));
            EXPECT_EQ(run(cut(r.pictures, r.tail), chunk, r.mark_end), r.expected);
        }
    }
}

TEST_F(DisplayOrder, RefusedHeadersDelayNoPicture) {
    // Sequence headers of zero width or height ahead of the real one are stepped over in the
    // same call: with every byte there, the calls hand out what they would without them, and
    // none comes on a later call with nothing new.
    const Bytes zero_width{0x00, 0x00, 0x01, 0xB3, 0x00, 0x00, 0x30, 0x13, 0xFF, 0xFF, 0xE0, 0x18};
    const Bytes zero_height{0x00, 0x00, 0x01, 0xB3, 0x04, 0x00, 0x00, 0x13, 0xFF, 0xFF, 0xE0, 0x18};
    for (const std::vector<Bytes>& prefix : std::vector<std::vector<Bytes>>{
             {zero_width}, {zero_height}, {zero_width, zero_height}, {zero_height, zero_width, zero_height}}) {
        Bytes s;
        for (const Bytes& h : prefix) s.insert(s.end(), h.begin(), h.end());
        const Bytes rest = cut(5, kEnd);
        s.insert(s.end(), rest.begin(), rest.end());
        for (size_t chunk : {size_t{100000}, size_t{61}}) {
            SCOPED_TRACE(std::to_string(prefix.size()) + " refused headers, chunk " + std::to_string(chunk));
            EXPECT_EQ(run(s, chunk, false), "01236");
        }
        VideoDecoder dec(s);
        std::string calls;
        for (int i = 0; i < 8; ++i) calls += dec.decode().ready ? 'R' : '-';
        EXPECT_EQ(calls, "RRRRR---");
    }
}

TEST_F(DisplayOrder, UnderflowHoldsTheReferenceBack) {
    // The stream arrives picture by picture; a call with nothing new must not show the newest
    // reference ahead of the B pictures that come before it in display order.
    VideoDecoder dec(Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(offsets[1])));
    std::vector<Bytes> shown;
    auto drain = [&] {
        for (int i = 0; i < 8; ++i) {
            const DecodeResult r = dec.decode();
            if (!r.ready) return;
            shown.push_back(mpeg_test::visible_yuv(dec.frames[r.index]));
        }
    };
    for (size_t k = 1; k < offsets.size(); ++k) {
        drain();
        drain();
        dec.append(std::span(stream).subspan(offsets[k], (k + 1 < offsets.size() ? offsets[k + 1] : stream.size()) - offsets[k]));
    }
    drain();
    EXPECT_EQ(identify(shown, reference), "0123456789ab");  // B10 B11 shown, I12 and P13 wait
    dec.mark_end_of_stream();
    drain();
    EXPECT_EQ(identify(shown, reference), "0123456789abcd");
}

TEST_F(DisplayOrder, IOnlyStreamIsOnePictureBehind) {
    const Bytes gray = read_fixture("gray_48x32.m1v");
    Bytes s = gray;
    s.insert(s.end(), kEnd.begin(), kEnd.end());
    VideoDecoder dec(s);
    std::vector<uint64_t> indices;
    for (int i = 0; i < 6; ++i) {
        const DecodeResult r = dec.decode();
        if (!r.ready) break;
        indices.push_back(r.index);
    }
    // Each picture lands in a different buffer than the one shown; the last comes from
    // `backward` at the end.
    ASSERT_EQ(indices.size(), 3u);
    EXPECT_NE(indices[0], indices[1]);
    EXPECT_NE(indices[1], indices[2]);
    EXPECT_FALSE(dec.has_reference);
}

TEST_F(DisplayOrder, SkippedPictureStillTakesItsTurn) {
    // Zero forward_f_code of B1 (decode position 2): it is not decoded, and its turn shows the
    // current buffer unchanged (never written yet: all zero); the rest decode normally.
    Bytes s = cut(5, kEnd);
    const size_t p = offsets[2] + 4;
    s[p + 3] &= uint8_t(~0x03);
    s[p + 4] &= uint8_t(~0x80);
    EXPECT_EQ(run(s, s.size(), false), "0z236");

    // An undefined picture type (4, a D picture) on P3: its turn shows the `forward` buffer,
    // which after a single I picture has never been written.
    Bytes d = cut(5, kEnd);
    const size_t q = offsets[1] + 4;
    d[q + 1] = uint8_t((d[q + 1] & ~0x38) | (4 << 3));
    const std::string order = run(d, d.size(), false);
    ASSERT_EQ(order.size(), 5u);
    EXPECT_EQ(order[0], 'z');
}

TEST(MotionVector, Reconstruction) {
    struct Row {
        Bytes bits;  // motion_code then residual
        uint32_t r_size;
        int32_t previous;
        int32_t expected;
    };
    // motion_code +2 is 0010, -1 is 011, 0 is 1, +16 is 0000 0011 000.
    const Row rows[] = {
        {{0b0010'1000}, 1, 30, -30},  // +2, residual 1: 30 + 4 = 34, wraps by 64
        {{0b0010'0000}, 1, 0, 3},     // +2, residual 0
        {{0b0110'0000}, 0, 5, 4},     // -1 without residual bits
        {{0b0110'0000}, 0, -16, 15},  // below -16 wraps
        {{0b1000'0000}, 3, 7, 7},     // 0 reads no residual
        {{0b0111'1000}, 2, 0, -4},    // -1, residual 11: -(0 + 3 + 1)
        {{0b0000'0011, 0b0001'1000}, 2, 0, -64},  // +16, residual 11: 60 + 3 + 1 = 64, above 63
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.expected);
        Bytes b = r.bits;
        VideoDecoder dec(b);
        dec.bit_position = 0;
        EXPECT_EQ(dec.decode_motion_vector(r.r_size, r.previous), r.expected);
    }
}

}  // namespace
}  // namespace vestrel
