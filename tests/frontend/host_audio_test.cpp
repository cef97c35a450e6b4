// The host audio callback's arithmetic: priming, rate correction, interpolation, underrun decay
// and channel layout, on a real AudioQueue without any audio library.
//
// The threaded test also runs under ThreadSanitizer without CMake (one line):
//   g++ -std=c++23 -fsanitize=thread -g -O1 -Isrc src/machine/audio.cpp src/frontend/host_audio.cpp
//       tests/frontend/host_audio_test.cpp -lgtest -lgtest_main -pthread -o /tmp/host_audio_tsan
//       && /tmp/host_audio_tsan
#include "frontend/host_audio.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

namespace vestrel {
namespace {

// A resampler on its own queue holding `n` pairs (k, -k) for k = 0 .. n-1.
OutputResampler make_resampler(size_t n, double device_rate = 48'000.0, uint32_t channels = 2) {
    OutputResampler r;
    r.queue = std::make_shared<AudioQueue>();
    r.source_rate = std::make_shared<SourceRateCell>(kSourceRate);
    r.device_rate = device_rate;
    r.channels = channels;
    std::vector<StereoPair> pairs(n);
    for (size_t k = 0; k < n; ++k) pairs[k] = {static_cast<float>(k), -static_cast<float>(k)};
    r.queue->append_bounded(pairs, 1'000'000);
    return r;
}

std::vector<float> callback(OutputResampler& r, size_t frames) {
    std::vector<float> out(frames * r.channels, 123.0f);
    audio_callback(r, out);
    return out;
}

bool all_zero(const std::vector<float>& v) {
    for (float x : v)
        if (x != 0.0f) return false;
    return true;
}

TEST(HostAudio, RateFactor) {
    const struct {
        size_t n;
        double factor;
    } cases[] = {{0, 0.95}, {1'500, 0.975}, {3'000, 1.0}, {4'500, 1.025}, {6'000, 1.05}, {40'000, 1.05}};
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(rate_factor(c.n), c.factor) << c.n;
}

TEST(HostAudio, PrimingWithFewPairsStartsOnTheFourthCallback) {
    OutputResampler r = make_resampler(1'500);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(all_zero(callback(r, 64))) << i;
        EXPECT_TRUE(r.underrun);
    }
    EXPECT_EQ(r.queue->size(), 1'500u);
    const auto out = callback(r, 64);
    EXPECT_FALSE(r.underrun);
    EXPECT_EQ(out[0], 0.0f);  // the oldest pair (0, -0)
    EXPECT_GT(out[2 * 63], 40.0f);
    EXPECT_LT(out[2 * 63 + 1], -40.0f);
}

TEST(HostAudio, EmptyQueueRestartsThePrimingCount) {
    OutputResampler r = make_resampler(1'500);
    callback(r, 16);
    callback(r, 16);
    auto held = std::make_shared<AudioQueue>();
    std::swap(r.queue, held);  // one callback meets an empty queue
    EXPECT_TRUE(all_zero(callback(r, 16)));
    EXPECT_EQ(r.priming_callbacks, 0u);
    std::swap(r.queue, held);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(all_zero(callback(r, 16))) << i;
    callback(r, 16);
    EXPECT_FALSE(r.underrun);
}

TEST(HostAudio, LonePairPrimesAsBothSides) {
    OutputResampler r = make_resampler(0);
    r.queue->append_bounded(std::vector<StereoPair>{{0.5f, -0.25f}});
    for (int i = 0; i < 3; ++i) callback(r, 4);
    const auto out = callback(r, 1);
    EXPECT_EQ(r.prev_pair, (StereoPair{0.5f, -0.25f}));
    EXPECT_EQ(r.next_pair, r.prev_pair);
    EXPECT_EQ(out[0], 0.5f);
    EXPECT_EQ(out[1], -0.25f);
}

// With 3,000 pairs queued, 37,800 Hz to 48,000 Hz steps 0.7875 source pairs per frame: the
// output follows the ramp k -> i * 0.7875 and consumes a pair for about every 1.27 frames.
TEST(HostAudio, LinearInterpolationAtTheNominalStep) {
    OutputResampler r = make_resampler(3'000);
    constexpr size_t kFrames = 480;
    const auto out = callback(r, kFrames);
    EXPECT_FALSE(r.underrun);
    for (size_t i = 0; i < kFrames; ++i) {
        ASSERT_NEAR(out[2 * i], static_cast<double>(i) * 0.7875, 2e-3) << i;
        ASSERT_NEAR(out[2 * i + 1], -static_cast<double>(i) * 0.7875, 2e-3) << i;
    }
    // Two pairs taken by priming, then one per whole step of the 479 steps made.
    EXPECT_EQ(r.queue->size(), 3'000u - 2 - 377);
}

TEST(HostAudio, FactorTakenFromTheLengthBeforeConsuming) {
    OutputResampler fast = make_resampler(6'000);
    const auto a = callback(fast, 100);
    EXPECT_NEAR(a[2 * 99], 99 * 0.7875 * 1.05, 2e-3);
    OutputResampler half = make_resampler(3'000);
    half.source_rate->store(18'900);  // the cell is honoured
    const auto b = callback(half, 100);
    EXPECT_NEAR(b[2 * 99], 99 * 0.39375, 2e-3);
}

TEST(HostAudio, UnderrunDecaysAndPrimesAgain) {
    OutputResampler r = make_resampler(0, 37'800.0);
    r.underrun = false;
    r.prev_pair = {1.0f, -1.0f};
    r.next_pair = {0.5f, -0.5f};
    // n = 0: factor 0.95, so the step is 0.95.
    const auto out = callback(r, 6);
    EXPECT_FLOAT_EQ(out[0], 1.0f);
    EXPECT_FLOAT_EQ(out[2], 0.5f * 0.95f + 1.0f * 0.05f);
    // Position 1.9: prev := (0.5, -0.5), next := prev * 0.85, t = 0.9.
    EXPECT_NEAR(out[4], 0.425 * 0.9 + 0.5 * 0.1, 1e-6);
    EXPECT_NEAR(out[5], -(0.425 * 0.9 + 0.5 * 0.1), 1e-6);
    // Position 2.85: one more decay step.
    EXPECT_NEAR(out[6], 0.36125 * 0.85 + 0.425 * 0.15, 1e-6);
    EXPECT_TRUE(r.underrun);
    EXPECT_EQ(r.priming_callbacks, 0u);
    EXPECT_TRUE(all_zero(callback(r, 8)));  // empty queue while priming: silence
}

TEST(HostAudio, ChannelLayouts) {
    OutputResampler mono = make_resampler(2'500, 48'000.0, 1);
    mono.queue->clear();
    mono.queue->append_bounded(std::vector<StereoPair>(2'500, StereoPair{0.5f, 0.25f}));
    const auto m = callback(mono, 8);
    ASSERT_EQ(m.size(), 8u);
    for (float v : m) EXPECT_FLOAT_EQ(v, 0.375f);

    OutputResampler six = make_resampler(0, 48'000.0, 6);
    six.queue->append_bounded(std::vector<StereoPair>(2'500, StereoPair{0.5f, -0.25f}));
    const auto s = callback(six, 4);
    for (size_t f = 0; f < 4; ++f) {
        EXPECT_FLOAT_EQ(s[6 * f], 0.5f);
        EXPECT_FLOAT_EQ(s[6 * f + 1], -0.25f);
        for (size_t c = 2; c < 6; ++c) EXPECT_EQ(s[6 * f + c], 0.0f);
    }
}

// The emulation thread decoding sectors while the audio thread runs callbacks, as in the
// program: every callback fills its buffer with finite samples and the queue stays bounded.
TEST(HostAudio, ProducerThreadWhileCallbacksRun) {
    AudioOutput producer_side;
    OutputResampler r;
    r.queue = producer_side.queue;
    r.source_rate = producer_side.source_rate;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        std::vector<uint8_t> data(kAdpcmSectorBytes);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 29 + 3);
        for (int sector = 0; sector < 300; ++sector) {
            producer_side.decode_adpcm_sector(data, sector % 2 == 0, false, sector % 3 ? 37'800 : 18'900);
            if (sector % 8 == 0) std::this_thread::yield();
        }
        done = true;
    });
    std::vector<float> out(512 * 2);
    bool finite = true;
    size_t callbacks = 0;
    while (!done || callbacks < 50) {
        audio_callback(r, out);
        for (float v : out) finite &= std::isfinite(v);
        ++callbacks;
    }
    producer.join();
    EXPECT_TRUE(finite);
    EXPECT_LE(r.queue->size(), kMaxQueuedPairs);
}

TEST(HostAudio, WavImage) {
    const std::vector<float> samples = {0.0f, 1.0f, -1.0f, 2.0f, 0.5f, -0.5f};
    const auto wav = encode_wav_s16(samples, 37'800, 2);
    ASSERT_EQ(wav.size(), 44u + 12u);
    EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
    EXPECT_EQ(std::string(wav.begin() + 8, wav.begin() + 16), "WAVEfmt ");
    const auto u32 = [&](size_t at) { return wav[at] | wav[at + 1] << 8 | wav[at + 2] << 16 | wav[at + 3] << 24; };
    const auto s16 = [&](size_t at) { return static_cast<int16_t>(wav[at] | wav[at + 1] << 8); };
    EXPECT_EQ(u32(4), 36u + 12u);
    EXPECT_EQ(u32(24), 37'800u);
    EXPECT_EQ(u32(28), 37'800u * 4);
    EXPECT_EQ(u32(40), 12u);
    const int16_t expected[] = {0, 32'767, -32'767, 32'767, 16'384, -16'384};
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(s16(44 + 2 * i), expected[i]) << i;
}

}  // namespace
}  // namespace vestrel
