// Pitch through the whole sound path: ADPCM sectors of a tone of known frequency, decoded by the
// CDIC's AudioOutput into the queue on the CD's sector cadence, played by audio_callback on an
// exact device schedule; the frequency of what comes out, measured from its zero crossings,
// must be the frequency written, steadily, sector after sector.
//
// The sectors are built here from the format itself, not from the decoder: with prediction
// filter 0 and range 0 an ADPCM sample is its code alone (a 4-bit code times 4,096, an 8-bit
// code times 256), so a sine quantised to those codes is a sector that plays that sine.
#include "frontend/host_audio.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <vector>

namespace vestrel {
namespace {

constexpr double kFrameSeconds = 0.020;  // the emulated frame that appends each sector

struct Format {
    const char* name;
    bool stereo;
    bool eight_bit;
    size_t samples_per_channel;  // per sector
};

// One sector (18 sound groups) holding `format.samples_per_channel` samples per channel of a
// sine of `hz` at 37,800 Hz, from sample `first` on.
std::array<uint8_t, kAdpcmSectorBytes> tone_sector(const Format& format, double hz, uint64_t first) {
    std::array<uint8_t, kAdpcmSectorBytes> sector{};  // every parameter 0: filter 0, range 0
    const auto sine = [&](uint64_t n) { return std::sin(2 * std::numbers::pi * hz * static_cast<double>(n) / kSourceRate); };
    const size_t units = format.eight_bit ? 4 : 8;
    const size_t channels = format.stereo ? 2 : 1;
    for (size_t g = 0; g < kSoundGroups; ++g) {
        uint8_t* group = sector.data() + g * kSoundGroupBytes;
        for (size_t u = 0; u < units; ++u) {
            for (size_t k = 0; k < 28; ++k) {
                // Mono takes the units in order; stereo puts even units left, odd right.
                const size_t index = format.stereo ? g * (units / 2) * 28 + (u / 2) * 28 + k : g * units * 28 + u * 28 + k;
                const double v = sine(first + index) * (channels == 2 && (u & 1) ? -1.0 : 1.0);
                if (format.eight_bit) {
                    group[16 + u + 4 * k] = static_cast<uint8_t>(static_cast<int8_t>(std::lround(100.0 * v)));
                } else {
                    const auto code = static_cast<uint8_t>(std::lround(6.0 * v) & 0x0F);
                    group[16 + u / 2 + 4 * k] |= (u & 1) ? static_cast<uint8_t>(code << 4) : code;
                }
            }
        }
    }
    return sector;
}

// Upward zero crossings of `x` (in samples, interpolated), from `from` on.
std::vector<double> crossings(const std::vector<float>& x, size_t from) {
    std::vector<double> at;
    for (size_t i = std::max<size_t>(from, 1); i < x.size(); ++i)
        if (x[i - 1] < 0.0f && x[i] >= 0.0f) at.push_back(static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]));
    return at;
}

double cents(double measured, double written) { return 1200.0 * std::log2(measured / written); }

TEST(HostAudioPitch, ToneWrittenOnTheDiscIsTheToneHeard) {
    const Format formats[] = {
        {"4-bit mono", false, false, 4'032},
        {"8-bit stereo", true, true, 1'008},
    };
    const struct {
        double rate;
        size_t frames;
    } devices[] = {{48'000, 512}, {44'100, 1'024}};
    constexpr double kToneHz = 1'000.0;
    constexpr double kSeconds = 20.0;
    for (const auto& format : formats) {
        for (const auto& d : devices) {
            SCOPED_TRACE(::testing::Message() << format.name << ", " << d.rate << " Hz device, " << d.frames << "-frame buffers");
            AudioOutput cdic_audio;
            OutputResampler r;
            r.queue = cdic_audio.queue;
            r.source_rate = cdic_audio.source_rate;
            r.device_rate = d.rate;
            r.channels = 2;

            const double period = static_cast<double>(format.samples_per_channel) / kSourceRate;
            std::vector<float> left;
            std::vector<float> out(d.frames * 2);
            uint64_t sectors = 0;
            uint64_t callbacks = 0;
            for (;;) {
                const double produce_at = 0.5 + std::floor(static_cast<double>(sectors) * period / kFrameSeconds) * kFrameSeconds;
                const double consume_at = static_cast<double>(callbacks * d.frames) / d.rate;
                if (consume_at >= kSeconds) break;
                if (produce_at <= consume_at) {
                    const auto sector = tone_sector(format, kToneHz, sectors * format.samples_per_channel);
                    cdic_audio.decode_adpcm_sector(sector, format.stereo, format.eight_bit, 37'800);
                    ++sectors;
                } else {
                    audio_callback(r, out);
                    for (size_t f = 0; f < d.frames; ++f) left.push_back(out[2 * f]);
                    ++callbacks;
                }
            }
            EXPECT_EQ(r.underruns, 0u);

            // From 2 s on: the whole stretch, and every window of one sector period.
            const auto at = crossings(left, static_cast<size_t>(2.0 * d.rate));
            ASSERT_GT(at.size(), 1'000u);
            const double overall = d.rate * static_cast<double>(at.size() - 1) / (at.back() - at.front());
            // Within 0.1 % (1.7 cents): the correction's slow start-up settling included.
            EXPECT_NEAR(cents(overall, kToneHz), 0.0, 1.7) << overall << " Hz";
            const auto window = static_cast<size_t>(kToneHz * period);  // cycles per sector
            double low = 1e9, high = -1e9;
            for (size_t i = 0; i + window < at.size(); i += window) {
                const double hz = d.rate * static_cast<double>(window) / (at[i + window] - at[i]);
                low = std::min(low, cents(hz, kToneHz));
                high = std::max(high, cents(hz, kToneHz));
            }
            // 0.2 % is 3.5 cents; the old per-callback correction swung by about +-50.
            EXPECT_GT(low, -3.5);
            EXPECT_LT(high, 3.5);
        }
    }
}

}  // namespace
}  // namespace vestrel
