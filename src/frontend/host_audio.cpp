#include "frontend/host_audio.hpp"

#include <algorithm>
#include <cmath>

namespace vestrel {
namespace {

// 0 at x = 0, 1 at x = 1, with zero slope at both ends: a fade whose own slope never exceeds
// 1.5 / length.
float smoothstep(float x) { return x * x * (3.0f - 2.0f * x); }

// Both sides of the first interpolation step, taken out of the queue (a lone pair twice).
void take_first_pairs(OutputResampler& r, PairRing& pairs) {
    r.prev_pair = pairs.pop_front();
    ++r.played_pairs;
    if (pairs.empty()) {
        r.next_pair = r.prev_pair;
    } else {
        r.next_pair = pairs.pop_front();
        ++r.played_pairs;
    }
    r.position = 0.0;
}

void start_block(OutputResampler& r) {
    r.block_frames = 0;
    r.block_low = SIZE_MAX;
}

// The queue has been moved under the correction (a start, a dropped backlog): the low points
// it saw before say nothing of what comes.
void forget_low_points(OutputResampler& r) {
    r.smoothed_error = 0.0;
    r.recent_count = 0;
}

// Priming ends: play from the oldest pair, fading in. The latest burst of `last_append` pairs
// came `since` seconds ago, so the next is due in about a burst period less that, a frame
// later at worst: the queue will fall to about n - last_append - kFramePairs + since x source
// rate before it. Silence is played first
// when that leaves less than the target under it, and the oldest pairs are dropped when it
// leaves more (a device that started late finds up to a second queued, which would otherwise
// trail the picture).
void start_playback(OutputResampler& r, PairRing& pairs, size_t last_append, double since,
                    double source_rate, double step) {
    const size_t n = pairs.size();
    const auto arrived = static_cast<size_t>(std::max(0.0, since * source_rate));
    const size_t taken = last_append + kFramePairs;
    const size_t low = std::min(n, n - std::min(taken, n) + arrived);
    r.hold_frames = 0;
    if (low > r.target_low) {
        const size_t drop = std::min(low - r.target_low, n - 1);
        pairs.drop_front(drop);
        r.dropped_pairs += drop;
    } else {
        r.hold_frames = static_cast<uint64_t>(static_cast<double>(r.target_low - low) / step);
    }
    take_first_pairs(r, pairs);
    r.underrun = false;
    r.priming_callbacks = 0;
    r.start_wait_frames = 0;
    r.fade_dir = 1;
    r.fade_pos = 0;
    r.pending_drop = 0;
    forget_low_points(r);
    ++r.pace_line;
    r.factor = r.pace;
    r.blocks_since_start = 0;
    start_block(r);
}

struct LineFit {
    double slope = 0.0;   // pairs per second
    double spread = 0.0;  // s^2
};

// The common slope of the straight lines fitted to the brought counts of the latest `seconds`
// (none before `r.pace_since`).
LineFit fit_lines(const OutputResampler& r, double seconds) {
    const size_t n = std::min<size_t>(r.pace_count, kPaceHistory);
    const auto point = [&](size_t age) -> const OutputResampler::PacePoint& {
        return r.pace_points[(r.pace_count - 1 - age) % kPaceHistory];
    };
    LineFit fit;
    if (n == 0) return fit;
    const double now = point(0).time;
    const double since = std::max(now - seconds, r.pace_since);
    double covariance = 0.0;
    size_t age = 0;
    while (age < n && point(age).time >= since) {
        // One line: the points from `age` on that carry its number.
        const uint32_t line = point(age).line;
        size_t end = age;
        double mean_t = 0.0;
        double mean_b = 0.0;
        while (end < n && point(end).line == line && point(end).time >= since) {
            mean_t += point(end).time - now;
            mean_b += point(end).brought - point(age).brought;
            ++end;
        }
        const auto count = static_cast<double>(end - age);
        mean_t /= count;
        mean_b /= count;
        for (size_t i = age; i < end; ++i) {
            const double t = point(i).time - now - mean_t;
            fit.spread += t * t;
            covariance += t * (point(i).brought - point(age).brought - mean_b);
        }
        age = end;
    }
    if (fit.spread > 0.0) fit.slope = covariance / fit.spread;
    return fit;
}

// The end of a measuring block: the backlog rule, the pace measured from the brought counts,
// and the level term. `factor` changes only here.
void end_block(OutputResampler& r, double source_rate) {
    const double dt = static_cast<double>(r.block_frames) / r.device_rate;
    const size_t low = r.block_low;
    OutputResampler::PacePoint point{r.block_low_time, r.block_low_brought, r.pace_line};
    start_block(r);
    if (low == SIZE_MAX) return;
    // A low point far off the line of the one before, at the measured pace, is a step: the host
    // stalled. It starts a new line.
    if (r.pace_count > 0) {
        const auto& last = r.pace_points[(r.pace_count - 1) % kPaceHistory];
        const double expected = last.brought + (point.time - last.time) * r.pace * source_rate;
        const double step_pairs = std::max(kStepPairs, kStepBuffers * r.buffer_pairs);
        if (last.line == point.line && std::abs(point.brought - expected) > step_pairs)
            point.line = ++r.pace_line;
    }
    r.recent_lows[r.recent_count++ % kLowWindowBlocks] = low;
    const size_t window = std::min<size_t>(r.recent_count, kLowWindowBlocks);
    const size_t least = *std::min_element(r.recent_lows.begin(), r.recent_lows.begin() + window);
    const size_t extra = r.target_low - kTargetLowPairs;
    const size_t backlog = extra + (r.blocks_since_start++ < kStartBlocks ? kStartSlackPairs : kBacklogPairs);
    if (least > r.target_low + backlog && r.fade_dir == 0 && r.hold_frames == 0) {
        r.pending_drop = least - r.target_low;
        r.fade_dir = -1;
        r.fade_pos = 0;
        forget_low_points(r);
        ++r.pace_line;
        return;
    }
    r.pace_points[r.pace_count++ % kPaceHistory] = point;
    const double error = static_cast<double>(least) - static_cast<double>(r.target_low);
    // The queue left its band the way the pace of the latest seconds takes it: the pace has
    // changed. A stall's step moves the queue just as far, but leaves the recent pace alone.
    const LineFit recent = fit_lines(r, kRecentPaceSeconds);
    const double recent_pace = recent.slope / source_rate;
    if (recent.spread >= kMinPaceSpread && std::abs(error) > kBandPairs && (error < 0) == (recent_pace < r.pace)) {
        r.pace_since = point.time;
        r.pace_prior = std::clamp(recent_pace, kMinRateFactor, kMaxRateFactor);
        r.prior_spread = kMinPaceSpread;
        r.pace = r.pace_prior;
    } else {
        const LineFit fit = fit_lines(r, kPaceWindowSeconds);
        const double slope = (fit.slope * fit.spread + r.pace_prior * source_rate * r.prior_spread) /
                             (fit.spread + r.prior_spread);
        r.pace = std::clamp(slope / source_rate, kMinRateFactor, kMaxRateFactor);
    }
    r.smoothed_error += (1.0 - std::exp(-dt / kSmoothingSeconds)) * (error - r.smoothed_error);
    const double beyond = std::max(0.0, std::abs(error) - kBandPairs) * kSteepGain;
    const double level = kGentleGain * r.smoothed_error + (error < 0 ? -beyond : beyond);
    r.factor = std::clamp(r.pace + level, kMinRateFactor, kMaxRateFactor);
}

// A fade has run its length: a fade in is over; a fade out drops the backlog and fades in
// again from the pair after it.
void end_fade(OutputResampler& r, PairRing& pairs) {
    r.fade_pos = 0;
    if (r.fade_dir < 0 && pairs.size() > r.pending_drop + 1) {
        pairs.drop_front(r.pending_drop);
        r.dropped_pairs += r.pending_drop;
        take_first_pairs(r, pairs);
    }
    r.pending_drop = 0;
    r.fade_dir = r.fade_dir < 0 ? 1 : 0;
}

void write_frame(std::span<float> out, size_t frame, size_t channels, float left, float right) {
    if (channels == 1) {
        out[frame] = (left + right) * 0.5f;
    } else {
        out[frame] = left;
        out[frame + 1] = right;
        for (size_t c = 2; c < channels; ++c) out[frame + c] = 0.0f;
    }
}

}  // namespace

void audio_callback(OutputResampler& r, std::span<float> out) {
    const uint32_t source_rate = r.source_rate->load(std::memory_order_relaxed);
    const size_t channels = std::max<uint32_t>(r.channels, 1);
    const size_t frames = out.size() / channels;
    const auto fade_len = static_cast<uint32_t>(std::max(1.0, std::round(r.device_rate * kFadeSeconds)));
    const double step = static_cast<double>(source_rate) / r.device_rate * r.factor;
    r.step = step;
    // A device that takes more than kBufferPairs at a time needs that much more under the queue.
    r.buffer_pairs = static_cast<double>(frames) * source_rate / r.device_rate;
    const auto buffer_pairs = static_cast<size_t>(r.buffer_pairs);
    r.target_low = kTargetLowPairs + (buffer_pairs > kBufferPairs ? buffer_pairs - kBufferPairs : 0);

    std::lock_guard lock(r.queue->mutex);
    PairRing& pairs = r.queue->pairs;
    const size_t n = pairs.size();
    const uint64_t appends = r.queue->appends;
    if (r.seen_appends != UINT64_MAX && appends != r.seen_appends) r.frames_since_append = 0;
    r.seen_appends = appends;

    if (r.underrun) {
        bool ready = false;
        if (n >= kPrimingPairs) {
            ready = true;
        } else if (n == 0) {
            r.priming_callbacks = 0;
        } else if (++r.priming_callbacks >= kPrimingCallbacks) {
            ready = true;
        }
        if (!ready) {
            r.start_wait_frames = 0;
        } else if (r.frames_since_append != UINT64_MAX ||
                   static_cast<double>(r.start_wait_frames) >= kStartWaitSeconds * r.device_rate) {
            // The burst arrived during the previous buffer, about half a buffer ago; but the
            // low point is measured after a callback, which takes a whole buffer's pairs
            // ahead of time, about half a buffer more: the two halves cancel.
            const double since = r.frames_since_append == UINT64_MAX
                                     ? 0.0
                                     : static_cast<double>(r.frames_since_append) / r.device_rate;
            start_playback(r, pairs, r.queue->last_append, since, source_rate, step);
        } else {
            r.start_wait_frames += frames;
        }
    }

    StereoPair last = r.tail;
    for (size_t frame = 0; frame + channels <= out.size(); frame += channels) {
        // What was left when the queue last ran dry, fading out under the rest.
        float left = 0.0f;
        float right = 0.0f;
        if (r.tail_pos < fade_len) {
            const float g = smoothstep(1.0f - static_cast<float>(r.tail_pos) / static_cast<float>(fade_len));
            left = r.tail.left * g;
            right = r.tail.right * g;
            if (++r.tail_pos == fade_len) r.tail = {};
        }
        if (!r.underrun && r.hold_frames > 0) {
            --r.hold_frames;
        } else if (!r.underrun) {
            while (r.position >= 1.0 && !r.underrun) {
                r.position -= 1.0;
                r.prev_pair = r.next_pair;
                if (pairs.empty()) {
                    // Dry: the level reached fades out from here, and the next callbacks prime.
                    r.underrun = true;
                    r.priming_callbacks = 0;
                    r.start_wait_frames = 0;
                    r.fade_dir = 0;
                    r.pending_drop = 0;
                    ++r.underruns;
                    r.tail = last;
                    r.tail_pos = 1;
                    left = last.left;
                    right = last.right;
                } else {
                    r.next_pair = pairs.pop_front();
                    ++r.played_pairs;
                }
            }
            if (!r.underrun) {
                float gain = 1.0f;
                if (r.fade_dir != 0) {
                    const float x = static_cast<float>(r.fade_pos) / static_cast<float>(fade_len);
                    gain = smoothstep(r.fade_dir > 0 ? x : 1.0f - x);
                    if (++r.fade_pos >= fade_len) end_fade(r, pairs);
                }
                const auto t = static_cast<float>(r.position);
                left += gain * (r.next_pair.left * t + r.prev_pair.left * (1.0f - t));
                right += gain * (r.next_pair.right * t + r.prev_pair.right * (1.0f - t));
                r.position += step;
            }
        }
        write_frame(out, frame, channels, left, right);
        last = {left, right};
    }
    // A partial frame at the end (never asked for by a device) stays silent.
    for (size_t i = out.size() - out.size() % channels; i < out.size(); ++i) out[i] = 0.0f;

    if (r.frames_since_append != UINT64_MAX) r.frames_since_append += frames;
    r.device_frames += frames;
    if (r.underrun) return;
    if (pairs.size() < r.block_low) {
        r.block_low = pairs.size();
        r.block_low_brought = static_cast<double>(r.played_pairs + pairs.size());
        r.block_low_time = static_cast<double>(r.device_frames) / r.device_rate;
    }
    r.block_frames += frames;
    if (static_cast<double>(r.block_frames) >= kBlockSeconds * r.device_rate) end_block(r, source_rate);
}

std::vector<uint8_t> encode_wav_s16(std::span<const float> interleaved, uint32_t rate,
                                    uint16_t channels) {
    const uint32_t data_bytes = static_cast<uint32_t>(interleaved.size() * 2);
    std::vector<uint8_t> wav;
    wav.reserve(44 + data_bytes);
    const auto put_text = [&](const char* s) {
        for (int i = 0; i < 4; ++i) wav.push_back(static_cast<uint8_t>(s[i]));
    };
    const auto put16 = [&](uint32_t v) {
        wav.push_back(static_cast<uint8_t>(v));
        wav.push_back(static_cast<uint8_t>(v >> 8));
    };
    const auto put32 = [&](uint32_t v) {
        put16(v & 0xFFFF);
        put16(v >> 16);
    };
    put_text("RIFF");
    put32(36 + data_bytes);
    put_text("WAVE");
    put_text("fmt ");
    put32(16);
    put16(1);  // PCM
    put16(channels);
    put32(rate);
    put32(rate * channels * 2);
    put16(channels * 2u);
    put16(16);
    put_text("data");
    put32(data_bytes);
    for (float v : interleaved) {
        const float c = std::clamp(v, -1.0f, 1.0f);
        const auto s = static_cast<int16_t>(std::lrint(c * 32'767.0f));
        put16(static_cast<uint16_t>(s));
    }
    return wav;
}

}  // namespace vestrel
