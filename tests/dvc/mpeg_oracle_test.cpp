// The decoder against reference pictures of small streams (made once with ffmpeg, see
// tests/fixtures/mpeg/README.md). The inverse DCT is this decoder's own, so pictures match the
// reference closely but not exactly; dequantisation follows the standard.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <string>

#include "dvc/demux.hpp"
#include "mpeg_support.hpp"

namespace vestrel {
namespace {

using mpeg_test::decode_all;
using mpeg_test::read_fixture;

struct Difference {
    int max = 0;
    double mean = 0;      // signed: drift shows here
    double psnr = 99.0;
};

Difference compare(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    Difference d;
    double sum = 0, sq = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const int e = int(a[i]) - int(b[i]);
        d.max = std::max(d.max, std::abs(e));
        sum += e;
        sq += double(e) * e;
    }
    d.mean = sum / double(a.size());
    if (sq > 0) d.psnr = 10.0 * std::log10(255.0 * 255.0 * double(a.size()) / sq);
    return d;
}

// Floors: the lowest PSNR measured over all planes less 2 dB, the largest error measured
// plus 2 (the reference is IEEE 1180-accurate, this inverse DCT is not).
struct OracleCase {
    const char* stream;
    const char* reference;
    uint64_t width, height;
    double min_psnr;
    int max_error;
};

class Oracle : public ::testing::TestWithParam<OracleCase> {};

TEST_P(Oracle, EveryPictureInDisplayOrderMatchesTheReference) {
    const OracleCase& c = GetParam();
    auto stream = read_fixture(c.stream);
    if (std::string(c.stream).ends_with(".mpg")) {
        // A system stream: its video, as the demultiplexer extracts it.
        Demux demux;
        demux.feed(stream);
        stream = demux.video_payload;
    }
    const auto reference = read_fixture(c.reference);
    ASSERT_FALSE(stream.empty());
    const size_t picture_bytes = c.width * c.height + 2 * ((c.width + 1) / 2) * ((c.height + 1) / 2);
    ASSERT_EQ(reference.size() % picture_bytes, 0u);
    const size_t expected_pictures = reference.size() / picture_bytes;

    // Whole, and in small pieces: delivery must not change the pictures.
    const size_t luma_bytes = c.width * c.height;
    double min_luma_psnr = 99.0, min_psnr = 99.0;
    int max_error = 0;
    for (size_t chunk : {stream.size(), size_t{97}, size_t{1000}}) {
        SCOPED_TRACE(chunk);
        const auto pictures = decode_all(stream, chunk);
        ASSERT_EQ(pictures.size(), expected_pictures);
        for (size_t i = 0; i < pictures.size(); ++i) {
            SCOPED_TRACE(i);
            ASSERT_EQ(pictures[i].size(), picture_bytes);
            const auto at = reference.begin() + static_cast<std::ptrdiff_t>(i * picture_bytes);
            const std::vector<uint8_t> ref(at, at + static_cast<std::ptrdiff_t>(picture_bytes));
            const Difference d = compare(pictures[i], ref);
            EXPECT_GE(d.psnr, c.min_psnr);
            EXPECT_LE(d.max, c.max_error);
            EXPECT_LT(std::abs(d.mean), 0.5);
            const Difference y = compare({pictures[i].begin(), pictures[i].begin() + static_cast<std::ptrdiff_t>(luma_bytes)},
                                         {ref.begin(), ref.begin() + static_cast<std::ptrdiff_t>(luma_bytes)});
            min_luma_psnr = std::min(min_luma_psnr, y.psnr);
            min_psnr = std::min(min_psnr, d.psnr);
            max_error = std::max(max_error, d.max);
        }
    }
    std::cout << c.stream << ": " << expected_pictures << " pictures, lowest PSNR " << min_psnr << " dB (Y " << min_luma_psnr
              << " dB), largest error " << max_error << "\n";
}

INSTANTIATE_TEST_SUITE_P(Streams, Oracle,
                         ::testing::Values(OracleCase{"ibbp_64x48.m1v", "ibbp_64x48.yuv", 64, 48, 50.0, 6},
                                           OracleCase{"mandel_q2_64x48.m1v", "mandel_q2_64x48.yuv", 64, 48, 52.0, 5},
                                           // Scrolling: forward f_code 2 in its P pictures.
                                           OracleCase{"motion_64x48.m1v", "motion_64x48.yuv", 64, 48, 48.5, 6},
                                           // Its last macroblock ends within 23 bits of the end of the data.
                                           OracleCase{"tail_64x48.m1v", "tail_64x48.yuv", 64, 48, 50.5, 6},
                                           OracleCase{"gray_48x32.m1v", "gray_48x32.yuv", 48, 32, 99.0, 0},
                                           // Loaded intra and non-intra matrices.
                                           OracleCase{"matrix_64x48.m1v", "matrix_64x48.yuv", 64, 48, 50.0, 5},
                                           // 3.5 x 2.5 macroblocks: the planes are cut for the reference.
                                           OracleCase{"partial_56x40.m1v", "partial_56x40.yuv", 56, 40, 51.0, 5},
                                           // 70 bytes, a flat colour: shorter than a sequence header with
                                           // both matrices; exact.
                                           OracleCase{"tiny_16x16.m1v", "tiny_16x16.yuv", 16, 16, 99.0, 0},
                                           // Two sequences, each closed by a sequence end code.
                                           OracleCase{"two_seq_32x32.m1v", "two_seq_32x32.yuv", 32, 32, 47.5, 5},
                                           // The video of a system stream with layer II sound.
                                           OracleCase{"av_48x32.mpg", "av_48x32.yuv", 48, 32, 48.3, 5}),
                         // Test names from the stream file: "ibbp_64x48" and so on.
                         [](const ::testing::TestParamInfo<OracleCase>& info) {
                             std::string name(info.param.stream);
                             name = name.substr(0, name.find('.'));
                             for (char& c : name) if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

}  // namespace
}  // namespace vestrel
