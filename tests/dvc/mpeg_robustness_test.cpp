// Damaged streams: truncated, bit-flipped, zero-tailed and random. The decoder must neither
// crash nor read out of bounds (run under ASan and UBSan), and must stop handing out pictures.
#include <gtest/gtest.h>

#include <random>

#include "mpeg_support.hpp"

namespace vestrel {
namespace {

using mpeg_test::decode_all;
using mpeg_test::read_fixture;
using Bytes = std::vector<uint8_t>;

// decode_all stops after 64 pictures per call; a damaged stream of n pictures may not give more
// pictures than it has picture start codes plus the one held back.
size_t picture_codes(const Bytes& s) {
    size_t n = 0;
    for (size_t i = 0; i + 4 <= s.size(); ++i) n += s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1 && s[i + 3] == 0;
    return n;
}

void expect_bounded(const Bytes& s, size_t chunk) {
    const auto pictures = decode_all(s, chunk);
    EXPECT_LE(pictures.size(), picture_codes(s) + 1);
}

const char* const kStreams[] = {"ibbp_64x48.m1v", "mandel_q2_64x48.m1v", "tail_64x48.m1v"};

TEST(MpegRobustness, TruncatedAnywhere) {
    for (const char* name : kStreams) {
        const Bytes stream = read_fixture(name);
        ASSERT_FALSE(stream.empty());
        for (size_t cut = 0; cut < stream.size(); cut += 37) {
            SCOPED_TRACE(std::string(name) + " " + std::to_string(cut));
            expect_bounded(Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut)), 256);
        }
    }
}

TEST(MpegRobustness, BitFlipsAndOverwrites) {
    std::mt19937 rng(1234);
    for (const char* name : kStreams) {
        const Bytes stream = read_fixture(name);
        for (int round = 0; round < 60; ++round) {
            SCOPED_TRACE(std::string(name) + " " + std::to_string(round));
            Bytes s = stream;
            const int flips = 1 + round % 8;
            for (int i = 0; i < flips; ++i) {
                const size_t at = rng() % s.size();
                if (round % 3 == 0) {
                    s[at] = uint8_t(rng());  // a whole byte, possibly making start codes
                } else {
                    s[at] ^= uint8_t(1u << (rng() % 8));
                }
            }
            expect_bounded(s, round % 2 ? s.size() : 301);
        }
    }
}

TEST(MpegRobustness, ZeroTailsAndGarbage) {
    std::mt19937 rng(99);
    const Bytes stream = read_fixture("ibbp_64x48.m1v");
    Bytes zero_tail(stream.begin(), stream.begin() + 3000);
    zero_tail.insert(zero_tail.end(), 4000, 0x00);
    expect_bounded(zero_tail, 500);

    // A valid header followed by noise that is full of start codes.
    Bytes noisy(stream.begin(), stream.begin() + 200);
    for (int i = 0; i < 20000; ++i) {
        const uint32_t r = rng();
        if (r % 50 == 0) {
            noisy.insert(noisy.end(), {0x00, 0x00, 0x01, uint8_t(r >> 8 & 0x3F)});  // pictures and slices
        } else {
            noisy.push_back(uint8_t(r >> 16));
        }
    }
    expect_bounded(noisy, 777);
}

TEST(MpegRobustness, HostileHeaderFields) {
    // The largest size the header can give, a one-macroblock picture, and slice codes far past
    // the last row: pictures are allocated and nothing is read or written outside them.
    struct Row {
        uint32_t width, height;
    };
    for (const Row r : {Row{4095, 16}, Row{1, 1}, Row{16, 4095}}) {
        SCOPED_TRACE(r.width * 10000 + r.height);
        Bytes s{0x00, 0x00, 0x01, 0xB3, uint8_t(r.width >> 4), uint8_t((r.width & 0xF) << 4 | r.height >> 8),
                uint8_t(r.height & 0xFF), 0x13, 0xFF, 0xFF, 0xE0, 0x18};
        s.resize(150, 0);
        for (int p = 0; p < 4; ++p) {
            // Picture header: P picture, f_code 7; slice 0xAF; then macroblocks with big vectors.
            s.insert(s.end(), {0x00, 0x00, 0x01, 0x00, 0x00, 0x10, 0x00, 0x07, 0x80});
            s.insert(s.end(), {0x00, 0x00, 0x01, 0xAF, 0x08});
            for (int i = 0; i < 40; ++i) s.push_back(uint8_t(0x9C + i * 7));
            s.insert(s.end(), {0x00, 0x00, 0x01, 0x01, 0x08});
            for (int i = 0; i < 40; ++i) s.push_back(uint8_t(0x81 + i * 13));
        }
        s.insert(s.end(), {0x00, 0x00, 0x01, 0xB7});
        expect_bounded(s, s.size());
    }
}

}  // namespace
}  // namespace vestrel
