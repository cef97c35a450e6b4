#include "dvc/mpeg_audio.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <mpg123.h>

namespace vestrel {
namespace {

constexpr size_t kHeaderBytes = 4;
constexpr double kSampleScale = 32768.0;

// Layer II bit rates in kbit/s by index 1-14.
constexpr std::array<uint32_t, 15> kMpeg1Rates{0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
constexpr std::array<uint32_t, 15> kMpeg2Rates{0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
constexpr std::array<uint32_t, 3> kMpeg1SampleRates{44100, 48000, 32000};
constexpr std::array<uint32_t, 3> kMpeg2SampleRates{22050, 24000, 16000};

int16_t to_sample(double x) {
    return static_cast<int16_t>(std::clamp(x * kSampleScale, -32768.0, 32767.0));
}

}  // namespace

std::optional<Layer2Header> parse_layer2_header(const uint8_t* h) {
    if (h[0] != 0xFF || (h[1] & 0xF0) != 0xF0) return std::nullopt;  // 12-bit sync
    if (((h[1] >> 1) & 3) != 2) return std::nullopt;                 // layer II
    const bool mpeg1 = (h[1] & 0x08) != 0;
    const uint32_t rate_index = h[2] >> 4;
    const uint32_t sample_index = (h[2] >> 2) & 3;
    if (rate_index == 0 || rate_index == 15 || sample_index == 3) return std::nullopt;
    Layer2Header header;
    header.bit_rate = (mpeg1 ? kMpeg1Rates : kMpeg2Rates)[rate_index] * 1000;
    header.sample_rate = (mpeg1 ? kMpeg1SampleRates : kMpeg2SampleRates)[sample_index];
    header.padding = (h[2] & 0x02) != 0;
    return header;
}

void resample_to_source_rate(std::span<const double> left, std::span<const double> right, uint32_t rate,
                             std::vector<int16_t>& out) {
    const size_t m = left.size();
    if (m == 0 || right.size() != m || rate == 0) return;
    const size_t k = resampled_count(m, rate);
    out.reserve(out.size() + 2 * k);
    for (size_t j = 0; j < k; ++j) {
        const double pos = static_cast<double>(j) * static_cast<double>(rate) / kSourceRate;
        const auto i0 = std::min(static_cast<size_t>(std::floor(pos)), m - 1);
        const size_t i1 = std::min(i0 + 1, m - 1);
        const double f = pos - static_cast<double>(i0);
        out.push_back(to_sample(left[i0] + (left[i1] - left[i0]) * f));
        out.push_back(to_sample(right[i0] + (right[i1] - right[i0]) * f));
    }
}

MpegAudio::MpegAudio() {
    int err = MPG123_OK;
    handle_ = mpg123_new(nullptr, &err);
    if (handle_ == nullptr) std::abort();  // like any allocation failure
    // Whole frames are fed one at a time: decode the first at once, never resync on our
    // behalf (the caller skips bad bytes itself) and keep the stream's own rate.
    mpg123_param(handle_, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_NO_READAHEAD | MPG123_NO_RESYNC, 0.0);
    mpg123_param(handle_, MPG123_REMOVE_FLAGS, MPG123_GAPLESS | MPG123_AUTO_RESAMPLE, 0.0);
    mpg123_format_none(handle_);
    mpg123_format2(handle_, 0, MPG123_MONO | MPG123_STEREO, MPG123_ENC_FLOAT_32);
    open();
    samples.reserve(4096);
}

MpegAudio::~MpegAudio() {
    if (handle_ != nullptr) mpg123_delete(handle_);
}

MpegAudio::MpegAudio(MpegAudio&& other) noexcept
    : samples(std::move(other.samples)),
      handle_(std::exchange(other.handle_, nullptr)),
      left_(std::move(other.left_)),
      right_(std::move(other.right_)) {}

MpegAudio& MpegAudio::operator=(MpegAudio&& other) noexcept {
    if (this != &other) {
        if (handle_ != nullptr) mpg123_delete(handle_);
        handle_ = std::exchange(other.handle_, nullptr);
        samples = std::move(other.samples);
        left_ = std::move(other.left_);
        right_ = std::move(other.right_);
    }
    return *this;
}

void MpegAudio::open() {
    mpg123_close(handle_);
    mpg123_open_feed(handle_);
}

void MpegAudio::reset() {
    open();
    samples.clear();
}

bool MpegAudio::decode_frame(std::span<const uint8_t> frame, uint32_t& rate, std::vector<double>& left,
                             std::vector<double>& right, int& channels) {
    left.clear();
    right.clear();
    channels = 0;
    rate = 0;
    if (mpg123_feed(handle_, frame.data(), frame.size()) != MPG123_OK) return false;
    bool produced = false;
    for (;;) {
        off_t number = 0;
        unsigned char* audio = nullptr;
        size_t bytes = 0;
        const int r = mpg123_decode_frame(handle_, &number, &audio, &bytes);
        if (r == MPG123_NEED_MORE) break;
        if (r == MPG123_NEW_FORMAT) continue;
        if (r != MPG123_OK) return false;
        long frame_rate = 0;
        int frame_channels = 0;
        int encoding = 0;
        if (mpg123_getformat(handle_, &frame_rate, &frame_channels, &encoding) != MPG123_OK) return false;
        if (frame_channels < 1 || frame_rate <= 0 || encoding != MPG123_ENC_FLOAT_32) return false;
        const size_t per_channel = bytes / (sizeof(float) * static_cast<size_t>(frame_channels));
        for (size_t i = 0; i < per_channel; ++i) {
            float l = 0.0f;
            std::memcpy(&l, audio + (i * static_cast<size_t>(frame_channels)) * sizeof(float), sizeof l);
            left.push_back(l);
            if (frame_channels >= 2) {
                float r2 = 0.0f;
                std::memcpy(&r2, audio + (i * static_cast<size_t>(frame_channels) + 1) * sizeof(float), sizeof r2);
                right.push_back(r2);
            }
        }
        channels = frame_channels;
        rate = static_cast<uint32_t>(frame_rate);
        produced = produced || per_channel > 0;
    }
    if (!produced) return false;
    if (channels == 1) right = left;  // mono plays on both sides
    return true;
}

size_t MpegAudio::run(ByteFifo& ring, std::vector<StereoPair>& pairs, size_t max_pairs) {
    size_t frames = 0;
    while (ring.size() >= kHeaderBytes) {
        const auto header = parse_layer2_header(ring.data());
        if (!header) {
            ring.drop_front(1);
            continue;
        }
        const size_t n = header->frame_bytes();
        if (ring.size() < n) break;
        uint32_t rate = 0;
        int channels = 0;
        if (!decode_frame({ring.data(), n}, rate, left_, right_, channels)) {
            ring.drop_front(1);
            open();
            continue;
        }
        resample_to_source_rate(left_, right_, rate, samples);
        ring.drop_front(n);
        ++frames;
    }
    if (frames == 0) return 0;
    for (size_t i = 0; i + 1 < samples.size(); i += 2) {
        if (pairs.size() >= max_pairs) continue;
        pairs.push_back({static_cast<float>(samples[i] / kSampleScale), static_cast<float>(samples[i + 1] / kSampleScale)});
    }
    samples.clear();  // appended in pairs, so nothing is left over
    return frames;
}

}  // namespace vestrel
