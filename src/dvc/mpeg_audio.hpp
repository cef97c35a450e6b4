// The cartridge's MPEG audio: layer II frames found in the demultiplexed audio bytes, decoded
// one frame at a time by libmpg123 and resampled to the machine's 37,800 Hz stereo.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "dvc/demux.hpp"
#include "machine/audio.hpp"

struct mpg123_handle_struct;

namespace vestrel {

// What the four header bytes of a layer II frame say.
struct Layer2Header {
    uint32_t bit_rate = 0;     // bits per second
    uint32_t sample_rate = 0;  // Hz
    bool padding = false;
    // 144 x bit rate / sample rate, plus the padding byte.
    size_t frame_bytes() const { return 144u * bit_rate / sample_rate + (padding ? 1u : 0u); }
};

// MPEG-1 or MPEG-2 (low sampling rate) layer II with a tabled bit rate and sampling rate;
// free format, bit-rate index 15, sampling index 3 and the other layers are refused.
std::optional<Layer2Header> parse_layer2_header(const uint8_t* header);

// Number of 37,800 Hz output pairs for m input samples at `rate`, rounded to nearest.
constexpr size_t resampled_count(size_t m, uint32_t rate) {
    return rate == 0 ? 0 : (m * kSourceRate + rate / 2) / rate;
}

// Linear interpolation of `left` and `right` (of equal length) from `rate` to 37,800 Hz,
// appended as interleaved 16-bit samples (left first).
void resample_to_source_rate(std::span<const double> left, std::span<const double> right, uint32_t rate,
                             std::vector<int16_t>& out);

class MpegAudio {
public:
    MpegAudio();
    ~MpegAudio();
    MpegAudio(MpegAudio&& other) noexcept;
    MpegAudio& operator=(MpegAudio&& other) noexcept;
    MpegAudio(const MpegAudio&) = delete;
    MpegAudio& operator=(const MpegAudio&) = delete;

    // Decodes exactly one whole frame into per-channel samples in -1..1; false on an error
    // (including a frame that yields no sound). The decoder state carries to the next frame.
    bool decode_frame(std::span<const uint8_t> frame, uint32_t& rate, std::vector<double>& left,
                      std::vector<double>& right, int& channels);
    // Forgets the decoder's history and empties `samples`.
    void reset();

    // Frames the bytes at the front of `ring`, decodes and resamples them into `samples` and
    // then moves `samples` into `pairs` (at most `max_pairs` pairs are kept there, the rest
    // dropped). Returns the number of frames decoded; an incomplete frame stays in the ring.
    size_t run(ByteFifo& ring, std::vector<StereoPair>& pairs, size_t max_pairs);

    // Resampled sound, left and right interleaved, waiting to become pairs.
    std::vector<int16_t> samples;

private:
    void open();

    mpg123_handle_struct* handle_ = nullptr;
    std::vector<double> left_;
    std::vector<double> right_;
};

}  // namespace vestrel
