// The arithmetic of the host audio output, free of any audio library: the resampler state the
// device callback owns and `audio_callback`, which fills one device buffer from the
// AudioQueue. The SDL2 device around it is host_audio_sdl (GUI program only); the headless
// runner drives the same function to record what would be heard.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "machine/audio.hpp"

namespace vestrel {

// Playback starts once this many pairs wait (about 53 ms) ...
inline constexpr size_t kPrimingPairs = 2'000;
// ... or after this many callbacks in a row that each found some but fewer.
inline constexpr uint32_t kPrimingCallbacks = 4;
// The rate correction holds the queue near this length.
inline constexpr size_t kTargetQueuedPairs = 3'000;
// Each source step past the end of the queue decays the last pair by this.
inline constexpr float kUnderrunDecay = 0.85f;

struct OutputResampler {
    std::shared_ptr<AudioQueue> queue;
    std::shared_ptr<SourceRateCell> source_rate;
    StereoPair prev_pair{};
    StereoPair next_pair{};
    double position = 0.0;  // in [0, 1) between prev_pair and next_pair
    double device_rate = 48'000.0;
    uint32_t channels = 2;  // at least 1
    uint32_t priming_callbacks = 0;
    bool underrun = true;  // priming until enough pairs wait
};

// clamp(1 + 0.05 * (n - 3,000) / 3,000, 0.95, 1.05): a fuller queue drains up to 5 % faster.
double rate_factor(size_t queued_pairs);

// Fills every sample of `out` (whole frames of `r.channels` interleaved floats). Takes the
// queue's lock once for the whole buffer and never allocates.
void audio_callback(OutputResampler& r, std::span<float> out);

// A RIFF/WAVE file image of 16-bit PCM from interleaved floats (clamped to -1..1).
std::vector<uint8_t> encode_wav_s16(std::span<const float> interleaved, uint32_t rate,
                                    uint16_t channels);

}  // namespace vestrel
