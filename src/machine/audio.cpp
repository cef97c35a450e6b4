#include "machine/audio.hpp"

#include <algorithm>
#include <bit>

namespace vestrel {
namespace {

// Prediction filter coefficients in 256ths: (0, 0), (0.9375, 0), (1.796875, -0.8125),
// (1.53125, -0.859375).
constexpr std::array<int32_t, 4> kK0 = {0, 240, 460, 392};
constexpr std::array<int32_t, 4> kK1 = {0, 0, -208, -220};

constexpr size_t kSamplesPerUnit = 28;
constexpr size_t kParamBytes = 16;
constexpr uint32_t kHalfRate = 18'900;
constexpr float kSampleScale = 1.0f / 32'768.0f;

// One ADPCM sample through the channel's predictor; `s` is the shifted sample.
inline int16_t predict(int32_t s, uint32_t filter, int16_t& p1, int16_t& p2) {
    int32_t v = s + ((kK0[filter] * p1 + kK1[filter] * p2 + 128) >> 8);
    v = std::clamp(v, -32'768, 32'767);
    p2 = p1;
    p1 = static_cast<int16_t>(v);
    return p1;
}

}  // namespace

PairRing::PairRing(size_t capacity) : slots_(std::bit_ceil(std::max<size_t>(capacity, 1))) {
    mask_ = slots_.size() - 1;
}

StereoPair PairRing::pop_front() {
    const StereoPair p = slots_[head_];
    head_ = (head_ + 1) & mask_;
    --size_;
    return p;
}

void PairRing::drop_front(size_t n) {
    n = std::min(n, size_);
    head_ = (head_ + n) & mask_;
    size_ -= n;
}

void PairRing::push_back(StereoPair p) {
    if (size_ == slots_.size()) grow();
    slots_[(head_ + size_) & mask_] = p;
    ++size_;
}

void PairRing::grow() {
    std::vector<StereoPair> bigger(slots_.size() * 2);
    for (size_t i = 0; i < size_; ++i) bigger[i] = (*this)[i];
    slots_ = std::move(bigger);
    mask_ = slots_.size() - 1;
    head_ = 0;
}

void AudioQueue::append_bounded(std::span<const StereoPair> fresh, size_t limit) {
    if (fresh.size() > limit) fresh = fresh.last(limit);
    std::lock_guard lock(mutex);
    const size_t total = pairs.size() + fresh.size();
    if (total > limit) pairs.drop_front(total - limit);
    for (const StereoPair& p : fresh) pairs.push_back(p);
    if (!fresh.empty()) {
        last_append = fresh.size();
        ++appends;
    }
}

void AudioQueue::clear() {
    std::lock_guard lock(mutex);
    pairs.clear();
    last_append = 0;
}

size_t AudioQueue::size() {
    std::lock_guard lock(mutex);
    return pairs.size();
}

AudioOutput::AudioOutput()
    : queue(std::make_shared<AudioQueue>()),
      source_rate(std::make_shared<SourceRateCell>(kSourceRate)) {
    scratch_.reserve(kMaxPairsPerSector);
}

void AudioOutput::decode_adpcm_sector(std::span<const uint8_t> data, bool stereo, bool eight_bit,
                                      uint32_t rate) {
    if (data.size() < kAdpcmSectorBytes) return;
    const float gain = muted ? 0.0f : volume;

    // Level A has 4 units of 8-bit samples per group, levels B and C 8 units of nibbles.
    const size_t units = eight_bit ? 4 : 8;
    std::array<std::array<int16_t, kSamplesPerUnit>, 8> decoded;

    scratch_.clear();
    for (size_t g = 0; g < kSoundGroups; ++g) {
        const uint8_t* group = data.data() + g * kSoundGroupBytes;
        for (size_t u = 0; u < units; ++u) {
            // Units 4-7 take their parameter from the second copy (bytes 12-15).
            const uint8_t param = group[u < 4 ? 4 + u : 8 + u];
            const uint32_t filter = (param >> 4) & 3;
            const uint32_t range = std::min<uint32_t>(param & 0x0F, 12);
            const bool right = stereo && (u & 1);
            int16_t& p1 = history[right ? 2 : 0];
            int16_t& p2 = history[right ? 3 : 1];
            for (size_t k = 0; k < kSamplesPerUnit; ++k) {
                int32_t s;
                if (eight_bit) {
                    const uint8_t b = group[kParamBytes + u + 4 * k];
                    s = static_cast<int16_t>(static_cast<uint16_t>(b << 8));
                } else {
                    const uint8_t b = group[kParamBytes + u / 2 + 4 * k];
                    const uint8_t nibble = (u & 1) ? (b >> 4) : (b & 0x0F);
                    s = static_cast<int16_t>(static_cast<uint16_t>(nibble << 12));
                }
                decoded[u][k] = predict(s >> range, filter, p1, p2);
            }
        }
        if (stereo) {
            // Even units are left, odd units right, each in unit and sample order.
            for (size_t u = 0; u < units; u += 2)
                for (size_t k = 0; k < kSamplesPerUnit; ++k)
                    scratch_.push_back({decoded[u][k] * kSampleScale * gain,
                                        decoded[u + 1][k] * kSampleScale * gain});
        } else {
            for (size_t u = 0; u < units; ++u)
                for (size_t k = 0; k < kSamplesPerUnit; ++k) {
                    const float y = decoded[u][k] * kSampleScale * gain;
                    scratch_.push_back({y, y});
                }
        }
    }

    if (rate == kHalfRate) {
        // Double in place from the back: P[j], (P[j] + P[j+1]) / 2, the last pair repeated.
        const size_t n = scratch_.size();
        scratch_.resize(2 * n);
        for (size_t j = n; j-- > 0;) {
            const StereoPair a = scratch_[j];
            const StereoPair b = j + 1 < n ? scratch_[2 * (j + 1)] : a;
            scratch_[2 * j] = a;
            scratch_[2 * j + 1] = {(a.left + b.left) * 0.5f, (a.right + b.right) * 0.5f};
        }
    }

    source_rate->store(kSourceRate, std::memory_order_relaxed);
    // std::mutex cannot be poisoned, so the append always happens.
    queue->append_bounded(scratch_);
}

void AudioOutput::clear_queue() {
    history = {};
    queue->clear();
}

}  // namespace vestrel
