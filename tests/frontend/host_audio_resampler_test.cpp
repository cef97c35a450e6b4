// The host audio resampler against the producers the machine really has, with no device: a
// producer appends whole bursts on the CD's cadence (ADPCM sectors) or the cartridge's (MPEG
// audio frames), each at the start of the emulated frame that makes it, and a consumer calls
// audio_callback on the exact schedule of a 48,000 Hz or 44,100 Hz device with 512- or
// 1,024-frame buffers, for 60 emulated seconds. What a listener needs: the playback step steady
// within a sector and from sector to sector, its mean the source rate over the device rate,
// the queue bounded, a producer 1 % off followed without running dry, the pitch kept when a busy
// host stalls the producer or the device, no backlog when the device starts late, and no click
// when playback restarts after a dry queue.
#include "frontend/host_audio.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>
#include <vector>

#include "audio_bursts.hpp"

namespace vestrel {
namespace {

const Producer kProducers[] = {
    {"ADPCM 4-bit mono 37.8 kHz (4,032-pair sectors)", 4'032, 37'800},
    {"ADPCM 4-bit stereo 37.8 kHz (2,016-pair sectors)", 2'016, 37'800},
    {"ADPCM 8-bit mono 37.8 kHz (2,016-pair sectors)", 2'016, 37'800},
    {"ADPCM 4-bit mono 18.9 kHz doubled (8,064-pair sectors)", 4'032, 18'900},
    {"ADPCM 4-bit stereo 18.9 kHz doubled (4,032-pair sectors)", 2'016, 18'900},
    {"MPEG audio 44.1 kHz (987-pair frames)", 1'152, 44'100},
    {"MPEG audio 48 kHz (907-pair frames)", 1'152, 48'000},
};

const Device kDevices[] = {{48'000, 512}, {48'000, 1'024}, {44'100, 512}, {44'100, 1'024}};


struct Options {
    double producer_speed = 1.0;  // 1.01: the emulation's clock runs 1 % fast
    // The device runs from time 0; the producer's first burst comes at producer_start (as in
    // the program, where the device opens before any disc is read).
    double producer_start = 0.5;
    double consumer_start = 0.0;
    double seconds = 60.0;
    // Producer output: a sine of this frequency (0: a constant 0.25), and a gap with no
    // bursts from gap_start for gap_length seconds.
    double tone_hz = 440.0;
    double gap_start = -1.0;
    double gap_length = 0.0;
    bool keep_output = false;
    // A busy host: each burst reaches the queue up to 4 ms after its frame starts, and each
    // callback comes up to 3 ms early or late (from a fixed pseudo-random sequence).
    bool jitter = false;
    // A host stall: the first burst due at or after stall_after arrives on time, and then the
    // producer delivers nothing for stall_length seconds. Either it catches up (the bursts due
    // meanwhile all arrive when the stall ends) or the time is lost (the emulation goes on from
    // where it stopped, so every later burst comes stall_length late).
    double stall_after = -1.0;
    double stall_length = 0.0;
    bool stall_time_lost = false;
    // The device stalls instead: from the first callback due at or after stall_after it asks
    // for nothing for stall_length seconds and then goes on from there (a sound server that
    // played silence meanwhile), so that the queue is left higher.
    bool stall_device = false;
};

// A small fixed pseudo-random sequence in [0, 1), so that runs repeat exactly.
double next_random(uint64_t& state) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(state >> 11) / 9007199254740992.0;
}

struct Callback {
    double time;
    double step;
    size_t queued_before;
    size_t queued_after;
};

struct SimRun {
    std::vector<Callback> callbacks;
    std::vector<float> left;  // the output's left channel, with keep_output
    uint64_t underruns = 0;
    uint64_t dropped = 0;
    double first_sound = -1.0;  // time of the first non-silent output frame
    size_t largest_burst = 0;
};

std::string describe(const Producer& p, const Device& d, double speed);

SimRun simulate(const Producer& p, const Device& d, const Options& o) {
    OutputResampler r;
    r.queue = std::make_shared<AudioQueue>();
    r.source_rate = std::make_shared<SourceRateCell>(kSourceRate);
    r.device_rate = d.rate;
    r.channels = 2;

    const double period = p.period() / o.producer_speed;
    ToneBursts bursts(p, o.tone_hz, o.tone_hz > 0 ? 0.5f : 0.25f);
    SimRun run;
    const char* want = std::getenv("VESTREL_RESAMPLER_TRACE");
    const bool trace = want && describe(p, d, o.producer_speed).find(want) != std::string::npos;
    std::vector<float> out(d.frames * 2);
    uint64_t j = 0;  // callbacks made
    uint64_t random = 12345;
    double produce_delay = 0.0;
    double consume_offset = 0.0;
    double stall_begin = -1.0;
    double device_shift = 0.0;
    for (;;) {
        const double emulated = static_cast<double>(bursts.made()) * period;
        // The burst reaches the queue when the host runs the emulated frame that makes it.
        double produce_at =
            o.producer_start + std::floor(emulated / kFrameSeconds) * kFrameSeconds + produce_delay;
        if (!o.stall_device && stall_begin >= 0 && produce_at > stall_begin)
            produce_at = o.stall_time_lost ? produce_at + o.stall_length
                                           : std::max(produce_at, stall_begin + o.stall_length);
        double consume_at = o.consumer_start + static_cast<double>(j * d.frames) / d.rate + consume_offset + device_shift;
        if (o.stall_device && o.stall_after >= 0 && device_shift == 0.0 && consume_at >= o.stall_after) {
            device_shift = o.stall_length;
            consume_at += device_shift;
        }
        if (consume_at >= o.seconds) break;
        if (produce_at <= consume_at) {
            const auto& burst = bursts.next();
            if (o.jitter) produce_delay = 0.004 * next_random(random);
            if (o.gap_start >= 0 && emulated >= o.gap_start && emulated < o.gap_start + o.gap_length) continue;
            run.largest_burst = std::max(run.largest_burst, burst.size());
            r.queue->append_bounded(burst);
            if (o.stall_after >= 0 && stall_begin < 0 && produce_at >= o.stall_after) stall_begin = produce_at;
        } else {
            const size_t before = r.queue->size();
            const size_t low_before = r.block_low;
            audio_callback(r, out);
            if (trace && r.block_frames == 0)
                std::printf("%8.3f block low %6zu  error %8.1f  pace %.6f  factor %.6f  queued %zu\n", consume_at,
                            std::min(low_before, r.queue->size()), r.smoothed_error, r.pace, r.factor, r.queue->size());
            run.callbacks.push_back({consume_at, r.step, before, r.queue->size()});
            for (size_t f = 0; f < d.frames; ++f) {
                if (run.first_sound < 0 && out[2 * f] != 0.0f)
                    run.first_sound = consume_at + static_cast<double>(f) / d.rate;
                if (o.keep_output) run.left.push_back(out[2 * f]);
            }
            ++j;
            if (o.jitter) consume_offset = 0.003 * (2.0 * next_random(random) - 1.0);
        }
    }
    if (trace && std::getenv("VESTREL_RESAMPLER_TRACE_CALLBACKS")) {
        for (size_t i = 0; i < run.callbacks.size(); i += 20)
            std::printf("%8.3f step %.6f before %6zu after %6zu\n", run.callbacks[i].time, run.callbacks[i].step,
                        run.callbacks[i].queued_before, run.callbacks[i].queued_after);
    }
    if (std::getenv("VESTREL_RESAMPLER_SUMMARY")) {
        double lo = 1e9, hi = 0;
        for (const auto& c : run.callbacks)
            if (c.time >= 30.0) lo = std::min(lo, c.step), hi = std::max(hi, c.step);
        std::printf("SUMMARY p-p %.4f %% underruns %llu dropped %llu  %s%s\n", 100 * (hi - lo) / lo,
                    static_cast<unsigned long long>(r.underruns), static_cast<unsigned long long>(r.dropped_pairs),
                    describe(p, d, o.producer_speed).c_str(), o.producer_start > 0 ? (o.jitter ? " busy" : "") : " late");
    }
    run.underruns = r.underruns;
    run.dropped = r.dropped_pairs;
    return run;
}

struct StepStats {
    double min = 1e9, max = 0, mean = 0;
    size_t count = 0;
    size_t most_queued = 0;
};

StepStats step_stats(const SimRun& run, double from, double to = 1e9) {
    StepStats s;
    double sum = 0;
    for (const auto& c : run.callbacks) {
        if (c.time < from || c.time >= to) continue;
        s.min = std::min(s.min, c.step);
        s.max = std::max(s.max, c.step);
        s.most_queued = std::max(s.most_queued, c.queued_before);
        sum += c.step;
        ++s.count;
    }
    s.mean = s.count ? sum / static_cast<double>(s.count) : 0;
    return s;
}

std::string describe(const Producer& p, const Device& d, double speed) {
    char text[200];
    std::snprintf(text, sizeof text, "%s, device %.0f Hz with %zu-frame buffers, producer at %.2fx", p.name,
                  d.rate, d.frames, speed);
    return text;
}

// The steady state begins this long after the start: enough for the correction to learn a
// producer 1 % off.
constexpr double kSettleSeconds = 30.0;

// The queue's bound in the steady state: the target's margin, a burst, a buffer's worth, and
// room for the frame-start jitter of the producer and the measuring noise.
size_t queue_bound(const SimRun& run, const Device& d) {
    return kTargetLowPairs + run.largest_burst + static_cast<size_t>(d.frames * kSourceRate / d.rate) + 1'600;
}

TEST(HostAudioResampler, StepSteadyAndMeanExactForEveryProducerAndDevice) {
    for (const auto& p : kProducers) {
        for (const auto& d : kDevices) {
            const std::string what = describe(p, d, 1.0);
            const SimRun run = simulate(p, d, {});
            const StepStats s = step_stats(run, kSettleSeconds);
            const StepStats all = step_stats(run, 0);
            const double nominal = kSourceRate / d.rate;
            EXPECT_EQ(run.underruns, 0u) << what;
            EXPECT_EQ(run.dropped, 0u) << what;
            EXPECT_LT((s.max - s.min) / s.mean, 0.002) << what;
            EXPECT_NEAR(all.mean / nominal, 1.0, 0.001) << what;
            EXPECT_NEAR(s.mean / nominal, 1.0, 0.001) << what;
            EXPECT_LE(all.most_queued, queue_bound(run, d)) << what;
        }
    }
}

TEST(HostAudioResampler, ProducerOnePercentOffIsFollowedWithoutRunningDry) {
    for (const double speed : {1.01, 0.99}) {
        for (const auto& p : kProducers) {
            for (const auto& d : kDevices) {
                const std::string what = describe(p, d, speed);
                Options o;
                o.producer_speed = speed;
                const SimRun run = simulate(p, d, o);
                const StepStats s = step_stats(run, kSettleSeconds);
                const StepStats all = step_stats(run, 0);
                const double expected = kSourceRate / d.rate * speed;
                EXPECT_EQ(run.underruns, 0u) << what;
                EXPECT_LT((s.max - s.min) / s.mean, 0.002) << what;
                EXPECT_NEAR(s.mean / expected, 1.0, 0.001) << what;
                // While the correction learns the drift the queue strays by up to a frame's
                // worth of pairs and a half; then it is back within the nominal bound.
                EXPECT_LE(s.most_queued, queue_bound(run, d)) << what;
                EXPECT_LE(all.most_queued, queue_bound(run, d) + 1'200) << what;
            }
        }
    }
}

// The same on a busy host, where neither side keeps exact time.
TEST(HostAudioResampler, StepSteadyOnABusyHost) {
    for (const auto& p : kProducers) {
        for (const auto& d : kDevices) {
            const std::string what = describe(p, d, 1.0) + ", busy host";
            Options o;
            o.jitter = true;
            const SimRun run = simulate(p, d, o);
            const StepStats s = step_stats(run, kSettleSeconds);
            const StepStats all = step_stats(run, 0);
            const double nominal = kSourceRate / d.rate;
            EXPECT_EQ(run.underruns, 0u) << what;
            EXPECT_LT((s.max - s.min) / s.mean, 0.002) << what;
            EXPECT_NEAR(all.mean / nominal, 1.0, 0.001) << what;
            EXPECT_LE(all.most_queued, queue_bound(run, d)) << what;
        }
    }
}

// A busy host stalls the producer or the device. A stall that the queue's margin covers must
// neither run it dry nor bend the pitch audibly: the step stays within 12 cents (a factor of
// 2^(12/1200)) of the source rate over the device rate, but for a moment of at most a quarter
// second in all. The stalls: 150 ms of the producer right after a 4,032-pair sector arrived
// (the queue then holds the sector and the target's margin, 173 ms), then catching up; 40 ms
// of the producer whose time is lost, as when the frame pacing starts a new grid after a late
// frame (the queue is left 1,512 pairs lower); and 40 or 100 ms of the device, which then goes
// on from where it was (the queue is left 1,512 or 3,780 pairs higher, short of a backlog).
TEST(HostAudioResampler, HostStallLeavesThePitchAlone) {
    struct Stall {
        const char* name;
        double length;
        bool time_lost;
        bool device;
    };
    const Stall stalls[] = {
        {"producer stalls 150 ms and catches up", 0.150, false, false},
        {"producer loses 40 ms", 0.040, true, false},
        {"device loses 40 ms", 0.040, true, true},
        {"device loses 100 ms", 0.100, true, true},
    };
    const Producer& p = kProducers[0];
    const double twelve_cents = std::pow(2.0, 12.0 / 1200.0);
    for (const Stall& stall : stalls) {
      // At several moments within a measuring block of the correction's and a sector's period.
      for (const double at : {20.0, 20.035, 20.07, 20.105, 20.14, 20.175, 20.21, 20.245, 20.28, 20.315}) {
        for (const auto& d : kDevices) {
            const std::string what = describe(p, d, 1.0) + ", " + stall.name + " at " + std::to_string(at) + " s";
            Options o;
            o.stall_after = at;
            o.stall_length = stall.length;
            o.stall_time_lost = stall.time_lost;
            o.stall_device = stall.device;
            const SimRun run = simulate(p, d, o);
            const double nominal = kSourceRate / d.rate;
            double off_pitch = 0.0;  // seconds
            double worst = 1.0;
            for (const auto& c : run.callbacks) {
                if (c.time < 10.0) continue;
                const double ratio = c.step / nominal;
                if (ratio > twelve_cents || ratio < 1.0 / twelve_cents) off_pitch += d.frames / d.rate;
                if (std::abs(std::log(ratio)) > std::abs(std::log(worst))) worst = ratio;
            }
            EXPECT_EQ(run.underruns, 0u) << what;
            EXPECT_LE(off_pitch, 0.25) << what << ": worst " << 1200.0 * std::log2(worst) << " cents";
        }
      }
    }
}

// The device starts pulling a second after the producer: the queue is at its one-second cap.
// The sound must start in step with the picture (no backlog played), within 0.2 s (a burst
// period more for the 213 ms sectors at 18.9 kHz), and the step must never sit at the clamp.
TEST(HostAudioResampler, LateDeviceStartDropsTheBacklog) {
    for (const auto& p : kProducers) {
        for (const auto& d : kDevices) {
            const std::string what = describe(p, d, 1.0) + ", device 1 s late";
            Options o;
            o.producer_start = 0.0;
            o.consumer_start = 1.0;
            const SimRun run = simulate(p, d, o);
            const double period = p.samples / p.material_rate;
            const double limit = period > 0.15 ? period + 0.05 : 0.2;
            ASSERT_GT(run.first_sound, 0) << what;
            EXPECT_LT(run.first_sound - o.consumer_start, limit) << what;
            const StepStats after = step_stats(run, run.first_sound);
            EXPECT_LE(after.most_queued, queue_bound(run, d)) << what;
            const double nominal = kSourceRate / d.rate;
            EXPECT_LT(after.max / nominal, 1.005) << what;
            EXPECT_GT(after.min / nominal, 0.995) << what;
            EXPECT_EQ(run.underruns, 0u) << what;
            const StepStats s = step_stats(run, kSettleSeconds);
            EXPECT_LT((s.max - s.min) / s.mean, 0.002) << what;
        }
    }
}

// The producer stops for half a second: the queue runs dry, the output decays, and when the
// bursts come back playback restarts with a fade: no sample-to-sample step larger than the
// signal's own (a constant level, whose own step is 0, restarts over the fade's length).
TEST(HostAudioResampler, RestartAfterADryQueueFadesIn) {
    const Producer& p = kProducers[0];
    for (const auto& d : kDevices) {
        for (const double tone : {440.0, 0.0}) {
            const std::string what = describe(p, d, 1.0) + (tone > 0 ? ", 440 Hz tone" : ", constant level");
            Options o;
            o.seconds = 8.0;
            o.tone_hz = tone;
            o.gap_start = 2.5;
            o.gap_length = 0.5;
            o.keep_output = true;
            const SimRun run = simulate(p, d, o);
            EXPECT_EQ(run.underruns, 1u) << what;
            // The signal's own largest step at this device rate (amplitude 0.5), or the fade's
            // for a constant 0.25: 1.5 / fade length.
            const double fade_frames = std::round(d.rate * kFadeSeconds);
            const double own = tone > 0 ? 0.5 * 2 * std::numbers::pi * tone / d.rate : 0.25 * 1.5 / fade_frames;
            double largest = 0;
            size_t restarts = 0;
            size_t zeros = 0;  // in a row
            for (size_t i = 1; i < run.left.size(); ++i) {
                largest = std::max(largest, static_cast<double>(std::abs(run.left[i] - run.left[i - 1])));
                if (run.left[i] == 0.0f) {
                    ++zeros;
                } else {
                    restarts += zeros >= 100;  // after 2 ms of silence or more
                    zeros = 0;
                }
            }
            EXPECT_EQ(restarts, 2u) << what << ": the start and the restart after the gap";
            EXPECT_LE(largest, own * 1.02) << what;
        }
    }
}

}  // namespace
}  // namespace vestrel
