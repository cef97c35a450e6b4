// The code tables: every list must be prefix-free with distinct values, and the expanded
// lookups must give what a bit-by-bit walk gives, past the end of the data included.
#include <gtest/gtest.h>

#include <set>

#include "dvc/mpeg/tables.hpp"
#include "mpeg_support.hpp"

namespace vestrel {
namespace {

template <size_t N>
void expect_prefix_free(const std::array<mpeg::VlcCode, N>& codes, double expected_kraft) {
    double kraft = 0;
    std::set<int> values;
    for (size_t i = 0; i < N; ++i) {
        kraft += 1.0 / double(1u << codes[i].length);
        EXPECT_TRUE(values.insert(codes[i].value).second) << "duplicate value " << codes[i].value;
        for (size_t j = 0; j < N; ++j) {
            if (i == j || codes[j].length < codes[i].length) continue;
            EXPECT_NE(codes[j].code >> (codes[j].length - codes[i].length), codes[i].code)
                << "code " << i << " is a prefix of code " << j;
        }
    }
    EXPECT_DOUBLE_EQ(kraft, expected_kraft);
}

TEST(MpegTables, CodeListsArePrefixFree) {
    // Sums of 2^-length: 1 means every bit pattern starts a code; less, the undefined share.
    expect_prefix_free(mpeg::kMbaCodes, 1.0 - 22.0 / 2048);  // 0000 0000, 0000 0010, six of 0000 0001
    expect_prefix_free(mpeg::kMbTypeICodes, 0.75);             // 00
    expect_prefix_free(mpeg::kMbTypePCodes, 1.0 - 1.0 / 64);   // 000000
    expect_prefix_free(mpeg::kMbTypeBCodes, 1.0 - 1.0 / 64);
    expect_prefix_free(mpeg::kCbpCodes, 1.0 - 1.0 / 256);      // 0000 0000
    expect_prefix_free(mpeg::kMotionCodes, 1.0 - 24.0 / 2048); // 0000 000, 0000 0010
    expect_prefix_free(mpeg::kDcLumaCodes, 1.0 - 1.0 / 128);   // 1111 111
    expect_prefix_free(mpeg::kDcChromaCodes, 1.0 - 1.0 / 256); // 1111 1111
    expect_prefix_free(mpeg::kDctShortCodes, 1.0 - 1.0 / 64);  // 000000: the long table
    expect_prefix_free(mpeg::kDctLongCodes, (1.0 - 1.0 / 64) / 64);  // all but twelve zeros
}

TEST(MpegTables, LookupMatchesReadingBitByBit) {
    // Every motion code, alone at the very end of the data, then padded: the reader consumes
    // exactly its bits, and an undefined pattern stops where its defined prefix ends.
    for (const mpeg::VlcCode& c : mpeg::kMotionCodes) {
        SCOPED_TRACE(c.value);
        std::vector<uint8_t> bytes(2, 0);
        for (int i = 0; i < c.length; ++i)
            if ((c.code >> (c.length - 1 - i)) & 1) bytes[i / 8] |= uint8_t(0x80 >> (i % 8));
        VideoDecoder dec(bytes);
        dec.bit_position = 0;
        // Without residual bits the range is -16..15, so +16 wraps.
        EXPECT_EQ(dec.decode_motion_vector(0, 0), c.value == 16 ? -16 : c.value);
        EXPECT_EQ(dec.bit_position, c.length);
    }
    // Zeros start no motion code: the walk stops at the seventh bit (codes begin 0000 001 at the
    // latest) and yields 0.
    VideoDecoder zeros(std::vector<uint8_t>{0x00, 0x00, 0x00});
    zeros.bit_position = 0;
    EXPECT_EQ(zeros.decode_motion_vector(0, 5), 5);
    EXPECT_EQ(zeros.bit_position, 7u);
    // Past the end: only the bits that exist are consumed.
    VideoDecoder end(std::vector<uint8_t>{0x00});
    end.bit_position = 4;
    EXPECT_EQ(end.decode_motion_vector(0, 5), 5);
    EXPECT_EQ(end.bit_position, 8u);
}

}  // namespace
}  // namespace vestrel
