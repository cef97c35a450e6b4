// The producers of the host audio tests: a producer appends whole bursts to the queue (an
// ADPCM sector, an MPEG audio frame), each holding a sine tone that runs on from the burst
// before, and a device asks for a fixed number of frames a callback.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <vector>

#include "machine/audio.hpp"

namespace vestrel {

// The bursts one producer makes: `samples` of the material at `material_rate` each, which
// reach the queue as 37,800 Hz pairs (ADPCM at 18,900 Hz doubled, MPEG resampled).
struct Producer {
    const char* name;
    double samples;        // per burst, at the material's rate
    double material_rate;  // Hz

    double period() const { return samples / material_rate; }  // emulated seconds per burst
};

struct Device {
    double rate;
    size_t frames;  // per callback
};

// One emulated PAL frame; a burst reaches the queue at the start of the frame that makes it.
inline constexpr double kFrameSeconds = 0.020;

// The bursts of one producer in order: whole pairs, as many as the material gives up to the
// end of each (so the count per burst may vary by one), holding a sine of `hz` and amplitude
// `level` (or the constant `level` for 0 Hz).
class ToneBursts {
public:
    ToneBursts(const Producer& p, double hz, float level)
        : pairs_per_burst_(p.samples * kSourceRate / p.material_rate), hz_(hz), level_(level) {}

    const std::vector<StereoPair>& next() {
        const auto total = static_cast<uint64_t>(std::floor(static_cast<double>(++made_) * pairs_per_burst_));
        burst_.resize(static_cast<size_t>(total - pairs_));
        pairs_ = total;
        for (auto& pair : burst_) {
            const float v = hz_ > 0 ? static_cast<float>(level_ * std::sin(2 * std::numbers::pi * phase_)) : level_;
            pair = {v, v};
            phase_ += hz_ / kSourceRate;
            phase_ -= std::floor(phase_);
        }
        return burst_;
    }
    uint64_t made() const { return made_; }

private:
    double pairs_per_burst_;
    double hz_;
    float level_;
    uint64_t made_ = 0;
    uint64_t pairs_ = 0;
    double phase_ = 0.0;
    std::vector<StereoPair> burst_;
};

}  // namespace vestrel
