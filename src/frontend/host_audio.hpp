// The arithmetic of the host audio output, free of any audio library: the resampler state the
// device callback owns and `audio_callback`, which fills one device buffer from the
// AudioQueue. The SDL2 device around it is host_audio_sdl (GUI program only).
//
// The producers add sound in bursts: a whole ADPCM sector at once (4,032 pairs for a 4-bit
// mono sector, 2,016 for stereo, 8,064 for mono at 18,900 Hz once doubled), or an MPEG audio
// frame from the cartridge (987 pairs at 44.1 kHz, 907 at 48 kHz). The queue's length is
// therefore a saw-tooth, and a rate correction computed from it at every callback would bend
// the pitch with every sector. Here the correction follows only the slow drift between the
// emulation's clock and the device's: the queue's low point (its length after each callback,
// the least of it over a measuring block longer than any burst period) is smoothed over
// seconds and held near a target by a small proportional-integral correction whose changes
// are rate-limited, so the playback step stays steady within a sector and from sector to
// sector.
#pragma once

#include <array>
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
// The rate correction holds the queue's low point (what is left after a callback, at its
// least between two bursts) near this many pairs, about 66 ms: room for a late frame of the
// emulation, a device that asks for two buffers at once, and the gentle correction's band.
inline constexpr size_t kTargetLowPairs = 2'500;
// When priming ends, the queue's low point is judged from the latest burst and the time since
// it arrived; a queue found full before any burst was seen arrive (a device that started late)
// waits this long at most for one, playing silence, so that the sound starts in step with the
// picture.
inline constexpr double kStartWaitSeconds = 0.25;
// A measuring block lasts at least this long (device time): longer than the longest burst
// period (a mono 18,900 Hz sector, 213 ms) with a frame's jitter, so each block sees a low.
inline constexpr double kBlockSeconds = 0.35;
// In the first blocks after playback starts the low point shows how far the start's estimate
// was off (a sound server may pull unevenly while its stream settles): more than this above
// the target is dropped at once, so that the sound is in step from its first second on.
inline constexpr size_t kStartSlackPairs = 1'000;
inline constexpr uint32_t kStartBlocks = 3;
// The correction follows the least low point of this many latest blocks.
inline constexpr size_t kLowWindowBlocks = 3;
// A block whose low point stays this far above the target holds a backlog: the oldest pairs
// are dropped down to the target (with a short fade out and in) instead of being played fast.
inline constexpr size_t kBacklogPairs = 4'000;
// The producers' bursts reach the queue when the host runs the emulated frame that makes
// them, so the gap between two bursts can be longer than their period by up to a frame: a
// PAL frame's worth of pairs (37,800 / 50). Playback starts with this much more under it.
inline constexpr size_t kFramePairs = 756;
// The correction: a gentle proportional gain per pair of smoothed error near the target, so
// that a start a few hundred pairs off bends the pitch by no more than a few cents, and a
// steep one beyond kSteepErrorPairs, so that a clock 1 % off is caught well before the queue
// runs dry; an integral gain per pair and second that learns the clocks' ratio; the smoothing
// time of the low point; and the most the factor moves in a second.
inline constexpr double kProportionalGain = 2e-6;
// The gentle part alone never bends the pitch by more than about 7 cents: a step of several
// thousand pairs (short of a backlog) is made good over some seconds instead.
inline constexpr double kMaxGentle = 0.004;
inline constexpr double kSteepGain = 2e-5;
inline constexpr double kSteepErrorPairs = 1000.0;
inline constexpr double kIntegralGain = 7e-8;
// The steep part of the correction moves into the integral part at this rate per second, so
// that a large drift is learnt within seconds and the error comes back near the target.
inline constexpr double kSteepLearningRate = 0.15;
// A clock a percent off moves the low point by about 400 pairs a second, in lumps of up to a
// frame's worth. A stalled host moves it at once and leaves it there: when the emulation's
// frame pacing goes on from a new grid after a stall, the queue is left lower by the emulated
// time lost; when the device (or the sound server) goes on from where it was, the queue is left
// higher by what it did not take. A move of more than kStepPairs within kStepBlocks blocks is
// such a step: it is no drift, so it is kept out of the steep and the integral parts (which
// would learn it as one and then overshoot for seconds) and is made good by the gentle part
// alone, as far as the queue still shows it.
inline constexpr double kStepPairs = 1'000.0;
inline constexpr size_t kStepBlocks = 3;
// The low point (without a step) is smoothed over kSmoothingSeconds for the steep part and
// again over kSlowSmoothingSeconds for the integral part; with a step, over
// kSlowSmoothingSeconds for the gentle part. The factor moves by at most
// kMaxFactorChangePerSecond a second.
inline constexpr double kSmoothingSeconds = 1.0;
inline constexpr double kSlowSmoothingSeconds = 5.0;
inline constexpr double kMaxFactorChangePerSecond = 0.01;
// The outer bound of the correction.
inline constexpr double kMinRateFactor = 0.95;
inline constexpr double kMaxRateFactor = 1.05;
// Fades: when the queue runs dry (the last output level fades to silence), when playback
// starts or restarts, and around a dropped backlog.
inline constexpr double kFadeSeconds = 0.005;

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
    // The output level when the queue ran dry, fading to silence over kFadeSeconds (frames
    // into that fade in `tail_pos`) under whatever plays next.
    StereoPair tail{};
    uint32_t tail_pos = 0;
    // The queue's append count at the previous callback (none yet: UINT64_MAX); the output
    // frames since the callback that first saw the latest burst (unknown: UINT64_MAX); the
    // frames spent waiting for a burst once priming could end.
    uint64_t seen_appends = UINT64_MAX;
    uint64_t frames_since_append = UINT64_MAX;
    uint64_t start_wait_frames = 0;

    // The rate correction: `factor` scales the nominal step (source rate / device rate) and
    // changes only at the end of a measuring block; `step` is the last callback's step.
    double factor = 1.0;
    double step = 0.0;
    double drift = 0.0;       // integral part: the clocks' ratio as learnt so far, minus 1
    double smoothed_error = 0.0;  // low point minus target, smoothed, in pairs
    double slow_error = 0.0;      // the same smoothed again, for the integral part
    double level_error = 0.0;     // the error, step included, over kSlowSmoothingSeconds: the gentle part
    double step_pairs = 0.0;      // how much of the error a step made (signed, as the error)
    // The low points of the latest blocks since playback started or the latest step.
    std::array<double, kStepBlocks> recent_levels{};
    uint32_t recent_levels_count = 0;
    uint32_t blocks_since_start = 0;
    uint64_t block_frames = 0;
    size_t block_low = SIZE_MAX;
    // The lows of the latest blocks: the correction follows the least of them, a low point
    // over about a second, which sees several bursts of any producer.
    std::array<size_t, kLowWindowBlocks> recent_lows{};
    uint32_t recent_count = 0;
    // Output frames of silence still to play before the queue's first pair, so that the queue
    // starts with the target's margin under it.
    uint64_t hold_frames = 0;
    // The fade envelope: frames into the current fade, and its direction (+1 in, -1 out, 0
    // none). `pending_drop` pairs go once a fade out ends.
    uint32_t fade_pos = 0;
    int fade_dir = 0;
    size_t pending_drop = 0;
    // Counters for tests and measurements.
    uint64_t underruns = 0;
    uint64_t dropped_pairs = 0;
};

// Fills every sample of `out` (whole frames of `r.channels` interleaved floats). Takes the
// queue's lock once for the whole buffer and never allocates.
void audio_callback(OutputResampler& r, std::span<float> out);

// A RIFF/WAVE file image of 16-bit PCM from interleaved floats (clamped to -1..1).
std::vector<uint8_t> encode_wav_s16(std::span<const float> interleaved, uint32_t rate,
                                    uint16_t channels);

}  // namespace vestrel
