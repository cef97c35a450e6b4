// The block layer: dequantisation, the inverse DCT, block decoding from bits, and
// motion-compensated prediction.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "dvc/mpeg/block.hpp"
#include "dvc/mpeg/tables.hpp"
#include "mpeg_support.hpp"

namespace vestrel {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(MpegDequantise, Table) {
    struct Row {
        int32_t level;
        uint32_t scale;
        uint8_t weight;
        bool intra;
        int32_t expected;
    };
    // ISO 11172-2: the product over 16 truncated toward zero, an even result stepped one toward
    // zero (mismatch control; zero stays zero), then clamped to -2048..2047.
    const Row rows[] = {
        {1, 8, 16, false, 23},       // 3 x 8 x 16 / 16 = 24, made odd
        {-1, 2, 16, true, -3},       // -64 / 16 = -4, made odd towards zero
        {-1, 1, 19, true, -1},       // -38 / 16 truncates to -2, made odd: -1
        {-1, 1, 15, false, -1},      // -45 / 16 truncates to -2, made odd: -1
        {1, 1, 15, false, 1},        // 45 / 16 = 2, made odd
        {-1, 1, 4, false, 0},        // -12 / 16 truncates to 0, which stays 0
        {-2, 3, 21, true, -15},      // -252 / 16 = -15.75 truncates to -15, odd already
        {-1, 1, 16, false, -3},      // (-2 - 1) x 16 / 16
        {1, 1, 8, true, 1},
        {0, 5, 16, true, 0},         // a zero level gives zero
        {2, 3, 17, false, 15},       // 5 x 3 x 17 = 255 / 16 = 15, odd already
        {3, 5, 16, true, 29},        // 480 / 16 = 30
        {-3, 5, 16, true, -29},
        {255, 31, 83, true, 2047},   // clamped
        {-255, 31, 255, false, -2048},
        {-256, 1, 16, false, -513},  // (-512 - 1) x 16 / 16
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.level * 1000 + int(r.scale));
        EXPECT_EQ(mpeg::dequantise(r.level, r.scale, r.weight, r.intra), r.expected);
    }
}

TEST(MpegInverseDct, DcOnlyBlockIsFlatAndMatchesTheShortcut) {
    for (int32_t dc : {-2048, -300, -1, 0, 1, 77, 128, 255, 256, 2047}) {
        SCOPED_TRACE(dc);
        std::array<int32_t, 64> v{};
        v[0] = dc * 256;
        mpeg::inverse_dct(v);
        for (int32_t s : v) EXPECT_EQ(s, (dc * 256 + 128) >> 8);
        // A non-intra DC coefficient carries the premultiplier 32 instead.
        std::array<int32_t, 64> w{};
        w[0] = dc * 32;
        mpeg::inverse_dct(w);
        for (int32_t s : w) EXPECT_EQ(s, (dc * 32 + 128) >> 8);
    }
}

TEST(MpegInverseDct, SingleCoefficientsFollowTheTrueTransform) {
    // The premultipliers are rounded integers, so accuracy falls with frequency: within one
    // level for the low ones, about four at (7, 7) for a coefficient of 100.
    for (int32_t f : {100, -100, 7, -2047}) {
        for (int u = 0; u < 8; ++u) {
            for (int vv = 0; vv < 8; ++vv) {
                SCOPED_TRACE(f * 100 + u * 10 + vv);
                std::array<int32_t, 64> v{};
                const int z = vv * 8 + u;  // row vv (vertical frequency), column u
                v[z] = f * mpeg::kPremultiplier[z];
                mpeg::inverse_dct(v);
                const double cu = u == 0 ? std::sqrt(0.5) : 1.0, cv = vv == 0 ? std::sqrt(0.5) : 1.0;
                const double tolerance = (u + vv <= 4 ? 0.01 : 0.045) * std::abs(f) + 1.0;
                for (int y = 0; y < 8; ++y) {
                    for (int x = 0; x < 8; ++x) {
                        const double exact = 0.25 * cu * cv * f * std::cos((2 * x + 1) * u * std::numbers::pi / 16) *
                                             std::cos((2 * y + 1) * vv * std::numbers::pi / 16);
                        EXPECT_NEAR(v[y * 8 + x], exact, tolerance) << x << "," << y;
                    }
                }
            }
        }
    }
}

// The transform's butterflies written out once more, in 64-bit arithmetic: where the decoder's
// 32-bit intermediates overflowed, the two would part.
std::array<int64_t, 64> wide_inverse_dct(const std::array<int32_t, 64>& in) {
    std::array<int64_t, 64> v;
    for (int i = 0; i < 64; ++i) v[i] = in[i];
    const auto pass = [](int64_t* x, int step, bool scale) {
        int64_t s[8];
        for (int k = 0; k < 8; ++k) s[k] = x[k * step];
        const int64_t b1 = s[4], b3 = s[2] + s[6], b4 = s[5] - s[3], t1 = s[1] + s[7], t2 = s[3] + s[5];
        const int64_t b6 = s[1] - s[7], b7 = t1 + t2, m0 = s[0];
        const int64_t e4 = ((b6 * 473 - b4 * 196 + 128) >> 8) - b7;
        const int64_t e0 = e4 - (((t1 - t2) * 362 + 128) >> 8);
        const int64_t e1 = m0 - b1, e2 = (((s[2] - s[6]) * 362 + 128) >> 8) - b3, e3 = m0 + b1;
        const int64_t y3 = e1 + e2, y4 = e3 + b3, y5 = e1 - e2, y6 = e3 - b3;
        const int64_t y7 = -e0 - ((b4 * 473 + b6 * 196 + 128) >> 8);
        const int64_t out[8] = {b7 + y4, e4 + y3, y5 - e0, y6 - y7, y6 + y7, e0 + y5, y3 - e4, y4 - b7};
        for (int k = 0; k < 8; ++k) x[k * step] = scale ? (out[k] + 128) >> 8 : out[k];
    };
    for (int c = 0; c < 8; ++c) pass(v.data() + c, 8, false);
    for (int r = 0; r < 8; ++r) pass(v.data() + 8 * r, 1, true);
    return v;
}

TEST(MpegInverseDct, ExtremeCoefficientsStayWithin32Bits) {
    // Every coefficient at the clamp limits with several sign patterns, then random blocks of
    // in-range coefficients: the 32-bit transform must equal the 64-bit one exactly.
    std::mt19937 rng(7);
    for (int pattern = 0; pattern < 64; ++pattern) {
        SCOPED_TRACE(pattern);
        std::array<int32_t, 64> v{};
        for (int i = 0; i < 64; ++i) {
            int32_t q;
            if (pattern < 4) {
                const bool negative = pattern == 1 || (pattern == 2 && (i & 1)) || (pattern == 3 && ((i >> 3) ^ i) & 1);
                q = negative ? mpeg::kCoefficientMin : mpeg::kCoefficientMax;
            } else {
                q = static_cast<int32_t>(rng() % 4096) - 2048;
            }
            v[i] = q * (i == 0 ? 256 : mpeg::kPremultiplier[i]);
        }
        const auto wide = wide_inverse_dct(v);
        mpeg::inverse_dct(v);
        for (int i = 0; i < 64; ++i) ASSERT_EQ(int64_t{v[i]}, wide[i]) << i;
    }
}

// A decoder with a 32 x 16 picture (two macroblocks) whose position is set by hand and whose
// bits are `bits`, so blocks and predictions can be driven directly.
VideoDecoder block_decoder(const Bytes& bits) {
    Bytes s{0x00, 0x00, 0x01, 0xB3, 0x02, 0x00, 0x10, 0x13, 0xFF, 0xFF, 0xE0, 0x18};
    s.resize(160, 0);
    VideoDecoder dec(s);
    EXPECT_TRUE(dec.has_sequence_header);
    dec.data = bits;
    dec.bit_position = 0;
    dec.mb_row = 0;
    dec.mb_col = 0;
    dec.quantizer_scale = 1;
    return dec;
}

TEST(MpegDecodeBlock, IntraDcOnlyFillsTheBlock) {
    // dct_dc_size_luminance 3 (101), differential 110 = +6, end of block (10).
    VideoDecoder dec = block_decoder({0b1011'1010});
    dec.macroblock_intra = true;
    dec.decode_block(0);
    EXPECT_EQ(dec.dc_predictor[0], 134);
    const Plane& y = dec.frames[dec.current].y;
    for (int r = 0; r < 16; ++r)
        for (int c = 0; c < 16; ++c) EXPECT_EQ(y.data[r * y.width + c], (r < 8 && c < 8) ? 134 : 0) << r << "," << c;
    EXPECT_EQ(dec.bit_position, 8u);
    for (int32_t b : dec.block) EXPECT_EQ(b, 0);

    // A negative differential (top bit clear): chrominance size 2 (10), bits 00 -> 0 + 1 - 4 = -3,
    // into Cr; end of block.
    VideoDecoder cr = block_decoder({0b1000'1000});
    cr.macroblock_intra = true;
    cr.decode_block(5);
    EXPECT_EQ(cr.dc_predictor[2], 125);
    EXPECT_EQ(cr.frames[cr.current].cr.data[0], 125);
    EXPECT_EQ(cr.frames[cr.current].cb.data[0], 0);
}

TEST(MpegDecodeBlock, NonIntraEscapeAddsToThePrediction) {
    // Escape (000001), run 0, level byte 0x80 then 0x7F: -129; end of block (10).
    // Dequantised: (-258 - 1) x 1 x 16 >> 4 = -259, times 32; DC-only: (-8288 + 128) >> 8 = -32.
    VideoDecoder dec = block_decoder({0b0000'0100, 0b0000'1000, 0b0000'0111, 0b1111'1000});
    dec.macroblock_intra = false;
    Plane& y = dec.frames[dec.current].y;
    std::fill(y.data.begin(), y.data.end(), 100);
    dec.mb_col = 1;
    dec.decode_block(3);  // bottom right of macroblock 1
    EXPECT_EQ(y.data[8 * y.width + 24], 68);
    EXPECT_EQ(y.data[15 * y.width + 31], 68);
    EXPECT_EQ(y.data[7 * y.width + 24], 100);
    EXPECT_EQ(y.data[8 * y.width + 23], 100);
}

TEST(MpegDecodeBlock, PositionPastSixtyThreeAbandonsTheBlock) {
    // Escape with run 63 and level 1 fills position 63; the next code (11s: run 0, level 1)
    // would be the 65th coefficient.
    VideoDecoder dec = block_decoder({0b0000'0111, 0b1111'0000, 0b0001'1100});
    dec.macroblock_intra = false;
    Plane& y = dec.frames[dec.current].y;
    std::fill(y.data.begin(), y.data.end(), 50);
    dec.decode_block(0);
    EXPECT_TRUE(std::all_of(y.data.begin(), y.data.end(), [](uint8_t v) { return v == 50; }));
    for (int32_t b : dec.block) EXPECT_EQ(b, 0);

    // Cut off by the end of the data: undefined codes count up to the limit, then stop.
    VideoDecoder cut = block_decoder({0b0100'0000});
    cut.macroblock_intra = false;
    cut.decode_block(0);
    EXPECT_EQ(cut.bit_position, 8u);
    for (int32_t b : cut.block) EXPECT_EQ(b, 0);
}

TEST(MpegPrediction, HalfSampleRoundingAndAveraging) {
    // A 2 x 2 prediction from a 3-wide source.
    const uint8_t src[] = {10, 21, 40,  //
                           30, 51, 60,  //
                           0,  0,  0};
    struct Row {
        bool half_h, half_v, average;
        uint8_t before;
        std::array<uint8_t, 4> expected;
    };
    const Row rows[] = {
        {false, false, false, 0, {10, 21, 30, 51}},
        {true, false, false, 0, {16, 31, 41, 56}},   // (a + b + 1) >> 1
        {false, true, false, 0, {20, 36, 15, 26}},   // down
        {true, true, false, 0, {28, 43, 20, 28}},    // (a + b + c + d + 2) >> 2
        {false, false, true, 51, {31, 36, 41, 51}},  // (d + p + 1) >> 1
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.half_h * 100 + r.half_v * 10 + r.average);
        uint8_t dst[9];
        std::fill(std::begin(dst), std::end(dst), r.before);
        mpeg::predict_samples(src, dst, 3, 2, r.half_h, r.half_v, r.average);
        EXPECT_EQ(dst[0], r.expected[0]);
        EXPECT_EQ(dst[1], r.expected[1]);
        EXPECT_EQ(dst[3], r.expected[2]);
        EXPECT_EQ(dst[4], r.expected[3]);
        EXPECT_EQ(dst[2], r.before);  // outside the block
    }
    uint8_t d = 51;
    const uint8_t p = 100;
    mpeg::predict_samples(&p, &d, 1, 1, false, false, true);
    EXPECT_EQ(d, 76);
}

TEST(MpegPrediction, VectorsAndThePlaneEdges) {
    VideoDecoder dec = block_decoder({});
    dec.current = 0;
    Plane& ref = dec.frames[1].y;
    for (uint64_t r = 0; r < ref.height; ++r)
        for (uint64_t c = 0; c < ref.width; ++c) ref.data[r * ref.width + c] = uint8_t(c * 5 + r);
    Plane& dst = dec.frames[0].y;
    struct Row {
        uint64_t mb_col;
        int32_t h, v;
        bool written;
        uint8_t first;  // the block's top-left sample
    };
    const Row rows[] = {
        {1, -3, 0, true, (70 + 75 + 1) / 2},  // h = -3 reads columns 14 and 15 for column 16
        {1, 0, 0, true, 80},
        {0, 2, 0, true, 5},                 // one column right
        {0, -1, 0, false, 0},               // starts left of the plane
        {1, 1, 0, false, 0},                // half-sample read past the last column
        {0, 0, 1, false, 0},                // half-sample read below the last row
        {0, 0, -2, false, 0},               // starts above the plane
        {0, 0, 2, false, 0},                // starts below the last block row
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.mb_col * 1000 + r.h * 10 + r.v);
        std::fill(dst.data.begin(), dst.data.end(), 0);
        dec.mb_col = r.mb_col;
        dec.predict_block(ref, dst, 16, r.h, r.v, false);
        const uint8_t top_left = dst.data[r.mb_col * 16];
        if (r.written) {
            EXPECT_EQ(top_left, r.first);
        } else {
            EXPECT_TRUE(std::all_of(dst.data.begin(), dst.data.end(), [](uint8_t v) { return v == 0; }));
        }
    }
    // Chroma takes half the vector, truncated toward zero: -3 / 2 = -1, a half-sample step.
    Plane& cref = dec.frames[1].cb;
    for (uint64_t c = 0; c < cref.data.size(); ++c) cref.data[c] = uint8_t(c % cref.width * 4);
    dec.mb_col = 1;
    dec.predict_macroblock(1, -3, 0, false);
    EXPECT_EQ(dec.frames[0].cb.data[8], (28 + 32 + 1) / 2);
    // Never from the picture being decoded.
    dec.predict_macroblock(0, 0, 0, false);
}

}  // namespace
}  // namespace vestrel
