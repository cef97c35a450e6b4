#include "frontend/host_audio.hpp"

#include <algorithm>
#include <cmath>

namespace vestrel {
namespace {

void fill_silence(std::span<float> out) { std::fill(out.begin(), out.end(), 0.0f); }

// Both sides of the first interpolation step, taken out of the queue (a lone pair twice).
void take_first_pairs(OutputResampler& r, PairRing& pairs) {
    r.prev_pair = pairs.pop_front();
    r.next_pair = pairs.empty() ? r.prev_pair : pairs.pop_front();
    r.position = 0.0;
    r.underrun = false;
    r.priming_callbacks = 0;
}

}  // namespace

double rate_factor(size_t queued_pairs) {
    const double excess = static_cast<double>(queued_pairs) - static_cast<double>(kTargetQueuedPairs);
    return std::clamp(1.0 + 0.05 * excess / static_cast<double>(kTargetQueuedPairs), 0.95, 1.05);
}

void audio_callback(OutputResampler& r, std::span<float> out) {
    const uint32_t source_rate = r.source_rate->load(std::memory_order_relaxed);
    std::lock_guard lock(r.queue->mutex);
    PairRing& pairs = r.queue->pairs;
    const size_t n = pairs.size();

    if (r.underrun) {
        if (n >= kPrimingPairs) {
            take_first_pairs(r, pairs);
        } else if (n == 0) {
            r.priming_callbacks = 0;
            fill_silence(out);
            return;
        } else if (++r.priming_callbacks < kPrimingCallbacks) {
            fill_silence(out);
            return;
        } else {
            take_first_pairs(r, pairs);
        }
    }

    const double step = static_cast<double>(source_rate) / r.device_rate * rate_factor(n);
    const size_t channels = std::max<uint32_t>(r.channels, 1);
    for (size_t frame = 0; frame + channels <= out.size(); frame += channels) {
        while (r.position >= 1.0) {
            r.position -= 1.0;
            r.prev_pair = r.next_pair;
            if (pairs.empty()) {
                // Decay toward silence for the rest of this buffer; the next callbacks prime.
                r.next_pair = {r.prev_pair.left * kUnderrunDecay, r.prev_pair.right * kUnderrunDecay};
                r.underrun = true;
                r.priming_callbacks = 0;
            } else {
                r.next_pair = pairs.pop_front();
            }
        }
        const auto t = static_cast<float>(r.position);
        const float left = r.next_pair.left * t + r.prev_pair.left * (1.0f - t);
        const float right = r.next_pair.right * t + r.prev_pair.right * (1.0f - t);
        if (channels == 1) {
            out[frame] = (left + right) * 0.5f;
        } else {
            out[frame] = left;
            out[frame + 1] = right;
            for (size_t c = 2; c < channels; ++c) out[frame + c] = 0.0f;
        }
        r.position += step;
    }
    // A partial frame at the end (never asked for by a device) stays silent.
    for (size_t i = out.size() - out.size() % channels; i < out.size(); ++i) out[i] = 0.0f;
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
