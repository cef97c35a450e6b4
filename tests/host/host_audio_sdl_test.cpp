// The SDL2 audio stream on SDL's own test drivers: "disk" writes what the callback produced
// to a file, "dummy" discards it, and an unknown driver name takes the silent path.
#include "frontend/host_audio_sdl.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "common/log.hpp"
#include "../support/log_capture.hpp"

namespace vestrel {
namespace {

std::vector<uint8_t> read_file(const std::filesystem::path& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

bool wait_until_drained(AudioQueue& q, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (q.size() == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(HostAudioSdl, UnknownDriverRunsSilent) {
    LogCapture log;
    setenv("SDL_AUDIODRIVER", "no_such_driver", 1);
    AudioOutput out;
    auto stream = init_host_audio(out.queue, out.source_rate);
    EXPECT_FALSE(stream.has_value());
    EXPECT_EQ(log.count_containing("WARN  vestrel::audio] No audio output device found; running in silent mode"), 1u);
    // The queue still fills, bounded by the producer.
    std::vector<StereoPair> pairs(30'000);
    out.queue->append_bounded(pairs);
    out.queue->append_bounded(pairs);
    EXPECT_EQ(out.queue->size(), kMaxQueuedPairs);
}

TEST(HostAudioSdl, DummyDriverConsumesTheQueue) {
    LogCapture log;
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    AudioOutput out;
    out.queue->append_bounded(std::vector<StereoPair>(2'500, StereoPair{0.25f, -0.25f}));
    auto stream = init_host_audio(out.queue, out.source_rate);
    ASSERT_TRUE(stream.has_value());
    EXPECT_EQ(log.count_containing("Real-time host audio stream started successfully"), 1u);
    EXPECT_EQ(log.count_containing("Host audio initialized: "), 1u);
    EXPECT_TRUE(wait_until_drained(*out.queue, std::chrono::milliseconds(3'000)));

    // The removal comes through SDL's event queue, read with no gamepad layer running.
    SDL_Event removed{};
    removed.type = SDL_AUDIODEVICEREMOVED;
    removed.adevice.which = stream->device();
    ASSERT_EQ(SDL_PushEvent(&removed), 1) << SDL_GetError();
    stream->handle_pending_events();
    EXPECT_EQ(log.count_containing(
                  "Audio output stream error: the audio output device was removed"),
              1u);
    stream.reset();
    EXPECT_EQ(out.queue.use_count(), 1);  // the callback's handle is released with the stream
}

// Decoded ADPCM played through the disk driver comes out as the float32 samples the callback
// made: sound, within the volume's range, and not cut short.
TEST(HostAudioSdl, DiskDriverPlaysDecodedAdpcm) {
    LogCapture log;
    const auto file = std::filesystem::temp_directory_path() / "vestrel_host_audio_disk.raw";
    std::filesystem::remove(file);
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", file.c_str(), 1);

    AudioOutput out;
    const auto image = read_file(std::string(VESTREL_SOURCE_DIR) + "/tests/fixtures/audio/xa_stereo_37800.str");
    ASSERT_EQ(image.size(), 3u * 2'352);
    float peak_in = 0;
    for (size_t off = 0; off < image.size(); off += 2'352)
        out.decode_adpcm_sector(std::span(image).subspan(off + 24, kAdpcmSectorBytes), true, false, 37'800);
    {
        std::lock_guard lock(out.queue->mutex);
        for (size_t i = 0; i < out.queue->pairs.size(); ++i)
            peak_in = std::max({peak_in, std::abs(out.queue->pairs[i].left), std::abs(out.queue->pairs[i].right)});
    }
    auto stream = init_host_audio(out.queue, out.source_rate);
    ASSERT_TRUE(stream.has_value());
    EXPECT_TRUE(wait_until_drained(*out.queue, std::chrono::milliseconds(5'000)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stream.reset();

    const auto bytes = read_file(file);
    std::filesystem::remove(file);
    const size_t floats = bytes.size() / sizeof(float);
    ASSERT_GT(floats, 6'048u);  // at least one sample per source pair and channel
    std::vector<float> samples(floats);
    std::memcpy(samples.data(), bytes.data(), floats * sizeof(float));
    float peak_out = 0;
    size_t nonzero = 0;
    for (float v : samples) {
        ASSERT_TRUE(std::isfinite(v));
        peak_out = std::max(peak_out, std::abs(v));
        nonzero += v != 0.0f;
    }
    EXPECT_GT(nonzero, 6'000u);
    EXPECT_LE(peak_out, peak_in + 1e-6f);
    EXPECT_GT(peak_out, 0.5f * peak_in);
}

}  // namespace
}  // namespace vestrel
