// The host audio callback's arithmetic: priming and the start's margin, interpolation, the
// rate correction's blocks, the backlog drop, the fades and the channel layout, on a real
// AudioQueue without any audio library. The resampler against realistic producers and device
// schedules is in host_audio_resampler_test.cpp.
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

// Already playing from the two oldest pairs, with no fade and no hold.
OutputResampler playing_resampler(size_t n, double device_rate = 48'000.0, uint32_t channels = 2) {
    OutputResampler r = make_resampler(n, device_rate, channels);
    std::lock_guard lock(r.queue->mutex);
    if (n >= 2) {
        r.prev_pair = r.queue->pairs.pop_front();
        r.next_pair = r.queue->pairs.pop_front();
    }
    r.underrun = false;
    r.seen_appends = r.queue->appends;
    r.blocks_since_start = kStartBlocks;  // well past the start
    return r;
}

// Puts the queue at exactly `n` pairs of `value`.
void refill(OutputResampler& r, size_t n, StereoPair value = {0.25f, 0.25f}) {
    r.queue->clear();
    r.queue->append_bounded(std::vector<StereoPair>(n, value), 1'000'000);
}

double largest_step(const std::vector<float>& out, size_t channels, size_t channel = 0) {
    double largest = 0;
    for (size_t i = channels + channel; i < out.size(); i += channels)
        largest = std::max(largest, static_cast<double>(std::abs(out[i] - out[i - channels])));
    return largest;
}

bool all_zero(const std::vector<float>& v) {
    for (float x : v)
        if (x != 0.0f) return false;
    return true;
}

// The spec's priming rule still decides when playback may start: with fewer than 2,000 pairs,
// on the fourth callback in a row that finds some. It then starts with the target's margin
// under the queue's low point: the burst of 1,500 pairs arrived three callbacks ago, so the
// queue would fall to 151 pairs (192 frames at 0.7875) before a burst due a frame later at the
// latest; (target - 151) / 0.7875 frames of silence come first, then the oldest pair fades in.
TEST(HostAudio, PrimingWithFewPairsStartsOnTheFourthCallbackAfterTheMargin) {
    OutputResampler r = make_resampler(0);
    EXPECT_TRUE(all_zero(callback(r, 64)));  // the empty queue is seen
    r.queue->append_bounded(std::vector<StereoPair>(1'500, StereoPair{0.5f, -0.25f}));
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(all_zero(callback(r, 64))) << i;
        EXPECT_TRUE(r.underrun);
    }
    EXPECT_EQ(r.queue->size(), 1'500u);
    const auto first = callback(r, 64);
    EXPECT_FALSE(r.underrun);
    EXPECT_TRUE(all_zero(first));
    const auto hold = static_cast<size_t>(static_cast<double>(kTargetLowPairs - 151) / 0.7875);
    EXPECT_EQ(r.hold_frames, hold - 64u);
    EXPECT_EQ(r.queue->size(), 1'498u);  // the two oldest pairs taken
    const size_t silent = hold - 64;
    const auto rest = callback(r, silent + 300);
    for (size_t f = 0; f < silent; ++f) ASSERT_EQ(rest[2 * f], 0.0f) << f;
    EXPECT_GT(rest[2 * (silent + 1)], 0.0f);
    EXPECT_LT(rest[2 * (silent + 1)], 0.01f) << "fades in from silence";
    EXPECT_FLOAT_EQ(rest[2 * (silent + 240)], 0.5f) << "full level after 5 ms";
    EXPECT_FLOAT_EQ(rest[2 * (silent + 240) + 1], -0.25f);
    EXPECT_LE(largest_step(rest, 2), 0.5 * 1.5 / 240 + 1e-6) << "a smooth fade: no click";
}

// With 2,500 pairs the first callback may start; a queue found that full before any burst was
// seen arrive waits up to 0.25 s for one (its phase is unknown), then starts anyway.
TEST(HostAudio, FullQueueWithNoBurstSeenWaitsForOne) {
    OutputResampler r = make_resampler(2'500);
    for (int i = 0; i < 23; ++i) {
        EXPECT_TRUE(all_zero(callback(r, 512))) << i;
        EXPECT_TRUE(r.underrun) << i;
    }
    r.queue->append_bounded(std::vector<StereoPair>(1'000, StereoPair{0.5f, 0.5f}));
    callback(r, 512);
    EXPECT_FALSE(r.underrun) << "a burst arrived: its time is known";
    // The same queue and no burst: playback starts after 0.25 s.
    OutputResampler q = make_resampler(2'500);
    for (int i = 0; i < 24; ++i) callback(q, 512);
    EXPECT_TRUE(q.underrun);
    callback(q, 512);
    EXPECT_FALSE(q.underrun);
}

// A device that starts late finds the queue at its cap: the oldest pairs are dropped so that the
// queue's low point is the target, and the sound starts in step with the picture.
TEST(HostAudio, LateStartDropsTheBacklog) {
    OutputResampler r = make_resampler(0);
    callback(r, 512);
    r.queue->append_bounded(std::vector<StereoPair>(kMaxQueuedPairs, StereoPair{0.1f, 0.1f}));
    r.queue->append_bounded(std::vector<StereoPair>(4'032, StereoPair{0.2f, 0.2f}));
    EXPECT_EQ(r.queue->size(), kMaxQueuedPairs);
    callback(r, 512);
    EXPECT_FALSE(r.underrun);
    EXPECT_EQ(r.hold_frames, 0u);
    // Kept: the target, the burst and a frame's worth, less the two pairs taken and one buffer.
    EXPECT_EQ(r.dropped_pairs, kMaxQueuedPairs - (kTargetLowPairs + 4'032 + kFramePairs));
    EXPECT_NEAR(static_cast<double>(r.queue->size()), kTargetLowPairs + 4'032 + kFramePairs - 2 - 512 * 0.7875, 2.0);
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
    r.seen_appends = UINT64_MAX;
    r.queue->append_bounded(std::vector<StereoPair>(1, StereoPair{}));
    callback(r, 16);  // sees the burst arrive
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(all_zero(callback(r, 16))) << i;
        EXPECT_TRUE(r.underrun) << i;
    }
    callback(r, 16);
    EXPECT_FALSE(r.underrun);
}

TEST(HostAudio, LonePairPrimesAsBothSides) {
    OutputResampler r = make_resampler(0);
    callback(r, 4);
    r.queue->append_bounded(std::vector<StereoPair>{{0.5f, -0.25f}});
    for (int i = 0; i < 4; ++i) callback(r, 4);
    EXPECT_FALSE(r.underrun);
    EXPECT_EQ(r.prev_pair, (StereoPair{0.5f, -0.25f}));
    EXPECT_EQ(r.next_pair, r.prev_pair);
}

// Playing at factor 1, 37,800 Hz to 48,000 Hz steps 0.7875 source pairs per frame: the output
// follows the ramp k -> i * 0.7875 and consumes a pair for about every 1.27 frames.
TEST(HostAudio, LinearInterpolationAtTheNominalStep) {
    OutputResampler r = playing_resampler(3'000);
    constexpr size_t kFrames = 480;
    const auto out = callback(r, kFrames);
    EXPECT_FALSE(r.underrun);
    EXPECT_DOUBLE_EQ(r.step, 0.7875);
    for (size_t i = 0; i < kFrames; ++i) {
        ASSERT_NEAR(out[2 * i], static_cast<double>(i) * 0.7875, 2e-3) << i;
        ASSERT_NEAR(out[2 * i + 1], -static_cast<double>(i) * 0.7875, 2e-3) << i;
    }
    // Two pairs taken to start, then one per whole step of the 479 steps made.
    EXPECT_EQ(r.queue->size(), 3'000u - 2 - 377);
    OutputResampler half = playing_resampler(3'000);
    half.source_rate->store(18'900);  // the cell is honoured
    const auto b = callback(half, 100);
    EXPECT_NEAR(b[2 * 99], 99 * 0.39375, 2e-3);
}

// The step is steady within a callback and from callback to callback: the factor changes only
// at the end of a measuring block (at least 0.35 s). A queue whose low point sits on the
// target keeps it at 1; one held 1,500 pairs above (a producer far faster than the device)
// raises it block by block, at most 1 % a second, never past the 5 % bound.
TEST(HostAudio, CorrectionChangesOnlyAtBlockEndsAndSlowly) {
    OutputResampler r = playing_resampler(kTargetLowPairs + 400);
    for (int i = 0; i < 200; ++i) {
        refill(r, kTargetLowPairs + 403);  // 512 frames take 403 pairs: the low is the target
        callback(r, 512);
        ASSERT_NEAR(r.factor, 1.0, 1e-5) << i;
    }
    OutputResampler high = playing_resampler(100);
    double previous = 1.0;
    std::vector<double> factors;
    for (int i = 0; i < 20 * 94; ++i) {  // 20 s of 512-frame callbacks
        refill(high, kTargetLowPairs + 1'500 + 403);
        callback(high, 512);
        ASSERT_LE(high.factor - previous, 0.01 * 0.36) << i;
        ASSERT_GE(high.factor, previous) << i;
        if (high.factor != previous) factors.push_back(high.factor);
        previous = high.factor;
    }
    EXPECT_EQ(high.dropped_pairs, 0u) << "1,500 above the target is no backlog";
    EXPECT_GT(factors.size(), 20u);
    EXPECT_GT(high.factor, 1.003);
    EXPECT_LE(high.factor, kMaxRateFactor);
}

// A low point held far above the target for a block is a backlog: it fades out, the oldest
// pairs go, and the sound fades in again; the factor is left alone.
TEST(HostAudio, BacklogIsDroppedWithFades) {
    OutputResampler r = playing_resampler(100);
    r.prev_pair = r.next_pair = {0.5f, 0.5f};
    std::vector<float> all;
    for (int i = 0; i < 40; ++i) {
        refill(r, kTargetLowPairs + 6'000 + 403, StereoPair{0.5f, 0.5f});
        const auto out = callback(r, 512);
        all.insert(all.end(), out.begin(), out.end());
        if (r.dropped_pairs) break;
    }
    EXPECT_NEAR(static_cast<double>(r.dropped_pairs), 6'000.0, 5.0);
    EXPECT_EQ(r.factor, 1.0);
    const auto after = callback(r, 512);
    all.insert(all.end(), after.begin(), after.end());
    EXPECT_LE(largest_step(all, 2), 0.5 * 1.5 / 240 + 1e-6);
}

// A dry queue: the level reached is held and fades out over 5 ms (no step to silence), the
// following callbacks prime again.
TEST(HostAudio, UnderrunFadesOutAndPrimesAgain) {
    OutputResampler r = playing_resampler(0);
    r.prev_pair = {0.5f, -0.5f};
    r.next_pair = {0.5f, -0.5f};
    const auto out = callback(r, 512);
    EXPECT_TRUE(r.underrun);
    EXPECT_EQ(r.underruns, 1u);
    EXPECT_FLOAT_EQ(out[0], 0.5f);
    EXPECT_FLOAT_EQ(out[2], 0.5f) << "the level is held ...";
    EXPECT_LE(largest_step(out, 2), 0.5 * 1.5 / 240 + 1e-6) << "... and fades";
    EXPECT_EQ(out[2 * 300], 0.0f);
    EXPECT_EQ(out[2 * 300 + 1], 0.0f);
    EXPECT_EQ(r.priming_callbacks, 0u);
    EXPECT_TRUE(all_zero(callback(r, 8)));  // empty queue while priming: silence
}

TEST(HostAudio, ChannelLayouts) {
    OutputResampler mono = playing_resampler(0, 48'000.0, 1);
    refill(mono, 2'500, StereoPair{0.5f, 0.25f});
    mono.prev_pair = mono.next_pair = {0.5f, 0.25f};
    const auto m = callback(mono, 8);
    ASSERT_EQ(m.size(), 8u);
    for (float v : m) EXPECT_FLOAT_EQ(v, 0.375f);

    OutputResampler six = playing_resampler(0, 48'000.0, 6);
    refill(six, 2'500, StereoPair{0.5f, -0.25f});
    six.prev_pair = six.next_pair = {0.5f, -0.25f};
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
