#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "dvc/dvc.hpp"
#include "dvc/mpeg_audio.hpp"
#include "stream_builder.hpp"

namespace vestrel {
namespace {

using test::Bytes;
using test::operator+;

TEST(Layer2Header, LengthsAndRefusals) {
    struct Case {
        const char* name;
        Bytes header;
        size_t length;  // 0: refused
    };
    const Case cases[] = {
        {"128 kb/s 44.1 kHz", {0xFF, 0xFD, 0x80, 0x04}, 417},
        {"128 kb/s 44.1 kHz padded", {0xFF, 0xFD, 0x82, 0x04}, 418},
        {"192 kb/s 48 kHz", {0xFF, 0xFD, 0xA4, 0x04}, 576},
        {"384 kb/s 32 kHz", {0xFF, 0xFC, 0xE8, 0x00}, 1728},
        {"MPEG-2 64 kb/s 24 kHz", {0xFF, 0xF5, 0x84, 0xC4}, 384},
        {"MPEG-2 160 kb/s 16 kHz", {0xFF, 0xF4, 0xE8, 0xC4}, 1440},
        {"free format", {0xFF, 0xFD, 0x04, 0x04}, 0},
        {"bit-rate index 15", {0xFF, 0xFD, 0xF4, 0x04}, 0},
        {"sampling index 3", {0xFF, 0xFD, 0x8C, 0x04}, 0},
        {"layer I", {0xFF, 0xFF, 0x80, 0x04}, 0},
        {"layer III", {0xFF, 0xFB, 0x80, 0x04}, 0},
        {"MPEG-2.5", {0xFF, 0xE5, 0x84, 0xC4}, 0},
        {"no sync", {0xFE, 0xFD, 0x80, 0x04}, 0},
    };
    for (const Case& c : cases) {
        const auto h = parse_layer2_header(c.header.data());
        EXPECT_EQ(h ? h->frame_bytes() : 0u, c.length) << c.name;
    }
}

TEST(Resampling, PairsPerFrame) {
    struct Case {
        uint32_t rate;
        size_t pairs;
    };
    for (const Case c : {Case{44100, 987}, Case{48000, 907}, Case{32000, 1361}, Case{22050, 1975},
                         Case{24000, 1814}, Case{16000, 2722}, Case{37800, 1152}}) {
        EXPECT_EQ(resampled_count(1152, c.rate), c.pairs) << c.rate;
        std::vector<int16_t> out;
        const std::vector<double> zero(1152, 0.0);
        resample_to_source_rate(zero, zero, c.rate, out);
        EXPECT_EQ(out.size(), 2 * c.pairs) << c.rate;
    }
}

TEST(Resampling, InterpolationClampingAndTruncation) {
    std::vector<int16_t> out;
    // Two samples at half the rate: positions 0, 0.5, 1, 1.5 (the last held at the end).
    resample_to_source_rate(std::vector<double>{0.0, 1.0}, std::vector<double>{-1.0, 0.5}, 18'900, out);
    EXPECT_EQ(out, (std::vector<int16_t>{0, -32768, 16384, -8192, 32767, 16384, 32767, 16384}));
    out.clear();
    // Toward zero, not down: -0.00002 x 32768 = -0.65 gives 0; 1.5 clamps.
    resample_to_source_rate(std::vector<double>{-0.00002, 1.5}, std::vector<double>{0.00004, -3.0}, 37'800, out);
    EXPECT_EQ(out, (std::vector<int16_t>{0, 1, 32767, -32768}));
}

class AudioFixtures : public ::testing::Test {
protected:
    Bytes stereo = test::read_fixture("stereo_44100.mp2");
    Bytes stereo48 = test::read_fixture("stereo_48000.mp2");
    Bytes mono = test::read_fixture("mono_24000.mp2");

    // Splits a fixture into its frames by their headers.
    static std::vector<Bytes> frames_of(const Bytes& b) {
        std::vector<Bytes> out;
        for (size_t at = 0; at + 4 <= b.size();) {
            const auto h = parse_layer2_header(b.data() + at);
            if (!h) return {};
            out.emplace_back(b.begin() + static_cast<ptrdiff_t>(at), b.begin() + static_cast<ptrdiff_t>(at + h->frame_bytes()));
            at += h->frame_bytes();
        }
        return out;
    }
};

TEST_F(AudioFixtures, FramesDecodeLikeTheReferenceDecoder) {
    const Bytes ref_bytes = test::read_fixture("stereo_44100.f32");
    std::vector<float> ref(ref_bytes.size() / 4);
    std::memcpy(ref.data(), ref_bytes.data(), ref.size() * 4);
    const auto frames = frames_of(stereo);
    ASSERT_EQ(frames.size(), 6u);
    MpegAudio audio;
    std::vector<double> left, right;
    uint32_t rate = 0;
    int channels = 0;
    double worst = 0.0;
    for (size_t f = 0; f < 3; ++f) {
        ASSERT_TRUE(audio.decode_frame(frames[f], rate, left, right, channels)) << f;
        ASSERT_EQ(left.size(), 1152u);  // at once, with no frame of delay
        EXPECT_EQ(rate, 44100u);
        EXPECT_EQ(channels, 2);
        for (size_t i = 0; i < 1152; ++i) {
            worst = std::max(worst, std::abs(left[i] - ref[2 * (f * 1152 + i)]));
            worst = std::max(worst, std::abs(right[i] - ref[2 * (f * 1152 + i) + 1]));
        }
    }
    EXPECT_LE(worst, 1e-5);

    // A reset leaves no history: the same frame then decodes as on a fresh decoder.
    std::vector<double> fresh_left, fresh_right;
    MpegAudio fresh;
    ASSERT_TRUE(fresh.decode_frame(frames[4], rate, fresh_left, fresh_right, channels));
    audio.reset();
    ASSERT_TRUE(audio.decode_frame(frames[4], rate, left, right, channels));
    EXPECT_EQ(left, fresh_left);
    EXPECT_EQ(right, fresh_right);
}

TEST_F(AudioFixtures, MonoIsDuplicatedAndRatesMixFrameByFrame) {
    MpegAudio audio;
    ByteFifo ring;
    ring.append(mono);
    std::vector<StereoPair> pairs;
    EXPECT_EQ(audio.run(ring, pairs, Dvc::kMaxAudioPairs), 4u);
    ASSERT_EQ(pairs.size(), 4u * 1814u);
    bool sound = false;
    for (const StereoPair& p : pairs) {
        ASSERT_EQ(p.left, p.right);
        sound = sound || std::abs(p.left) > 0.1f;
    }
    EXPECT_TRUE(sound);

    pairs.clear();
    ring.append(stereo + mono + stereo48);
    EXPECT_EQ(audio.run(ring, pairs, Dvc::kMaxAudioPairs), 13u);
    EXPECT_EQ(pairs.size(), 6u * 987u + 4u * 1814u + 3u * 907u);
    EXPECT_TRUE(ring.empty());
}

// Counts sign changes of one side.
size_t crossings(const std::vector<StereoPair>& pairs, bool left) {
    size_t n = 0;
    for (size_t i = 1; i < pairs.size(); ++i) {
        const float a = left ? pairs[i - 1].left : pairs[i - 1].right;
        const float b = left ? pairs[i].left : pairs[i].right;
        n += (a < 0) != (b < 0);
    }
    return n;
}

TEST_F(AudioFixtures, TonesKeepTheirPitchAndSide) {
    MpegAudio audio;
    ByteFifo ring;
    ring.append(stereo);
    std::vector<StereoPair> pairs;
    ASSERT_EQ(audio.run(ring, pairs, Dvc::kMaxAudioPairs), 6u);
    // Skip the first frame (the decoder's filter delay), then 5 x 987 pairs at 37,800 Hz:
    // 1 kHz on the left, 2.5 kHz on the right.
    const std::vector<StereoPair> tail(pairs.begin() + 987, pairs.end());
    const double seconds = static_cast<double>(tail.size()) / kSourceRate;
    EXPECT_NEAR(static_cast<double>(crossings(tail, true)) / (2 * seconds), 1000.0, 15.0);
    EXPECT_NEAR(static_cast<double>(crossings(tail, false)) / (2 * seconds), 2500.0, 15.0);
    float peak = 0.0f;
    for (const StereoPair& p : tail) peak = std::max(peak, std::abs(p.left));
    EXPECT_GT(peak, 0.05f);
    EXPECT_LE(peak, 1.0f);
}

TEST_F(AudioFixtures, GarbageIncompleteFramesAndTheCap) {
    const auto frames = frames_of(stereo);
    MpegAudio audio;
    ByteFifo ring;
    std::vector<StereoPair> pairs;
    // Four bytes of garbage go one at a time; the frame behind them decodes.
    ring.append(Bytes{0x12, 0xFF, 0xFF, 0x00} + frames[0]);
    EXPECT_EQ(audio.run(ring, pairs, Dvc::kMaxAudioPairs), 1u);
    EXPECT_EQ(pairs.size(), 987u);
    EXPECT_TRUE(ring.empty());

    // Half a frame waits and yields nothing.
    ring.append(Bytes(frames[1].begin(), frames[1].begin() + 200));
    EXPECT_EQ(audio.run(ring, pairs, Dvc::kMaxAudioPairs), 0u);
    EXPECT_EQ(ring.size(), 200u);
    EXPECT_EQ(pairs.size(), 987u);

    // At the cap further pairs are dropped, the frame still counts.
    pairs.assign(Dvc::kMaxAudioPairs - 10, StereoPair{});
    ring.append(Bytes(frames[1].begin() + 200, frames[1].end()));
    EXPECT_EQ(audio.run(ring, pairs, Dvc::kMaxAudioPairs), 1u);
    EXPECT_EQ(pairs.size(), Dvc::kMaxAudioPairs);
    EXPECT_TRUE(audio.samples.empty());
}

TEST_F(AudioFixtures, StatusBitsOncePerPassInTheCartridge) {
    Dvc dvc;
    const auto frames = frames_of(stereo);
    dvc.input = test::packet(0xC0, {0x0F}, frames[0] + frames[1]) + test::packet(0xC0, {0x0F}, {frames[2].begin(), frames[2].begin() + 100});
    dvc.demux_and_decode();
    EXPECT_EQ(dvc.audio_pairs.size(), 2u * 987u);
    EXPECT_EQ(dvc.fma_word(Dvc::kFmaStatus), 0x0204);
    EXPECT_EQ(dvc.fma_word(Dvc::kFmaIntStatus), 0x0004);
    EXPECT_EQ(dvc.demux.audio_ring.size(), 100u);

    // A pass that only adds to the waiting half frame sets nothing.
    dvc.set_fma(Dvc::kFmaIntStatus, 0);
    dvc.input = test::packet(0xC0, {0x0F}, {frames[2].begin() + 100, frames[2].begin() + 200});
    dvc.demux_and_decode();
    EXPECT_EQ(dvc.fma_word(Dvc::kFmaIntStatus), 0);

    // With the pairs at their bound the bits are still set.
    dvc.audio_pairs.assign(Dvc::kMaxAudioPairs, StereoPair{});
    dvc.input = test::packet(0xC0, {0x0F}, {frames[2].begin() + 200, frames[2].end()});
    dvc.demux_and_decode();
    EXPECT_EQ(dvc.fma_word(Dvc::kFmaIntStatus), 0x0004);
    EXPECT_EQ(dvc.audio_pairs.size(), Dvc::kMaxAudioPairs);

    // The audio reset empties the resampled samples and the decoder history, not the pairs.
    dvc.dvc_write_word((0xE03000 - 0xE00000) >> 1, 0x0001);
    EXPECT_EQ(dvc.audio_pairs.size(), Dvc::kMaxAudioPairs);
    EXPECT_EQ(dvc.fma_word(Dvc::kFmaStatus), 0x0200);
}

}  // namespace
}  // namespace vestrel
