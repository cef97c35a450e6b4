// The arithmetic of the host audio output, free of any audio library: the resampler state the
// device callback owns and `audio_callback`, which fills one device buffer from the
// AudioQueue. The SDL2 device around it is host_audio_sdl (GUI program only).
//
// The producers add sound in bursts: a whole ADPCM sector at once (4,032 pairs for a 4-bit
// mono sector, 2,016 for stereo, 8,064 for mono at 18,900 Hz once doubled), or an MPEG audio
// frame from the cartridge (987 pairs at 44.1 kHz, 907 at 48 kHz). The queue's length is
// therefore a saw-tooth, and a rate correction computed from it at every callback would bend
// the pitch with every sector. Here the two clocks are measured directly instead: the pairs the
// emulation brought per second of device time give its pace, which the playback step follows,
// and one small term holds the queue's low point (its length after a callback, at its least
// over a measuring block longer than any burst period) near a target. The step changes only at
// the end of a block, so it stays steady within a sector and from sector to sector.
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
// least between two bursts) near this many pairs, about 93 ms: room for a late frame of the
// emulation, a device that asks for two buffers at once, and for the queue to fall through the
// gentle band and be caught when the emulation's pace drops by several percent at once.
inline constexpr size_t kTargetLowPairs = 3'500;
// That margin holds for a device that takes up to kBufferPairs pairs a callback (1,024 frames at
// 44.1 kHz); one that takes more has the difference added to the target and the backlog limit.
inline constexpr size_t kBufferPairs = 1'000;
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
inline constexpr size_t kStartSlackPairs = 1'500;
inline constexpr uint32_t kStartBlocks = 3;
// The correction follows the least low point of this many latest blocks.
inline constexpr size_t kLowWindowBlocks = 2;
// A low point this far above the target holds a backlog (a device that lost time): the oldest
// pairs are dropped down to the target (with a short fade out and in) instead of being played
// fast. It lies beyond the band below, so that a pace that rises is caught before it.
inline constexpr size_t kBacklogPairs = 3'300;
// The producers' bursts reach the queue when the host runs the emulated frame that makes them,
// so the gap between two bursts can be longer than their period by up to a frame: a PAL
// frame's worth of pairs (37,800 / 50). Playback starts with this much more under it.
inline constexpr size_t kFramePairs = 756;
// The pace of the emulation against the device's clock: the pairs brought per second of device
// time, seen at each block's low point (what was played plus what is left), fitted with
// straight lines of one common slope over the latest kPaceWindowSeconds. A restart after a dry
// queue, a dropped backlog and a step (a low point more than kStepPairs, or kStepBuffers
// callbacks' pairs, off the line of the one before: a host that stalled) begin a new line, so
// that none of them bends the slope. The slope is weighed against the pace believed when the
// measurement began, as if that were kPriorSpread worth of points (their squared distances
// from their line's mean time, summed), so that its first noisy seconds do not bend the pitch.
inline constexpr double kPaceWindowSeconds = 20.0;
inline constexpr double kPriorSpread = 8.0;  // s^2
inline constexpr double kStepPairs = 1'000.0;
inline constexpr double kStepBuffers = 1.3;
inline constexpr size_t kPaceHistory = 64;  // blocks: more than the window holds
// The level term: a gentle gain per pair of the low point's error (smoothed over
// kSmoothingSeconds), which a stall of the host that leaves the queue a couple of thousand
// pairs off bends by a few cents at most, and a steep one beyond kBandPairs. When the queue
// leaves that band in the direction the pace of the latest kRecentPaceSeconds explains, the
// pace has changed (the emulation slowed down or sped up): that pace is taken at once, and the
// measurement starts again from there, with it as the belief of weight kMinPaceSpread (the
// recent pace needs at least that spread to count at all).
inline constexpr double kBandPairs = 2'000.0;
inline constexpr double kGentleGain = 2e-6;
inline constexpr double kSteepGain = 2e-4;
inline constexpr double kSmoothingSeconds = 1.0;
inline constexpr double kRecentPaceSeconds = 2.5;
inline constexpr double kMinPaceSpread = 1.0;  // s^2: about 1.5 s of blocks
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
    size_t target_low = kTargetLowPairs;  // for this device's buffer
    double buffer_pairs = 0.0;            // what one callback takes
    double smoothed_error = 0.0;          // low point minus target, smoothed, in pairs
    // The emulation's measured pace against the device's clock, the pace believed when the
    // measurement began and its weight, and the device time it began at.
    double pace = 1.0;
    double pace_prior = 1.0;
    double prior_spread = kPriorSpread;
    double pace_since = 0.0;
    // Device frames played and pairs taken to play them (dropped pairs not counted) since
    // construction; the brought count and device time at the block's low point.
    uint64_t device_frames = 0;
    uint64_t played_pairs = 0;
    double block_low_brought = 0.0;
    double block_low_time = 0.0;
    // The brought count at the low point of each of the latest blocks, and the line it is on.
    struct PacePoint {
        double time;     // device seconds
        double brought;  // pairs
        uint32_t line;
    };
    std::array<PacePoint, kPaceHistory> pace_points{};
    uint32_t pace_count = 0;
    uint32_t pace_line = 0;
    uint32_t blocks_since_start = 0;
    uint64_t block_frames = 0;
    size_t block_low = SIZE_MAX;
    // The lows of the latest blocks: the correction follows the least of them, a low point
    // over about 0.7 s, which sees at least three bursts of any producer.
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
