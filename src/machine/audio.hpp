// The sound path up to the host: the AudioQueue of stereo pairs shared with the host audio
// thread, the source-rate cell beside it, and the AudioOutput with which the CDIC decodes CD-i
// (CD-ROM XA) ADPCM sectors into that queue.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace vestrel {

// One stereo sample pair, nominally within -1..1 (volumes above 1.0 may exceed it).
struct StereoPair {
    float left = 0.0f;
    float right = 0.0f;

    friend bool operator==(const StereoPair&, const StereoPair&) = default;
};

// Rate of every queued pair; producers store it, the host output reads it.
inline constexpr uint32_t kSourceRate = 37'800;
// The queue is kept at one second of sound or less.
inline constexpr size_t kMaxQueuedPairs = 37'800;
inline constexpr size_t kInitialQueueCapacity = 32'768;
// 18 sound groups of 128 bytes.
inline constexpr size_t kAdpcmSectorBytes = 2'304;
inline constexpr size_t kSoundGroups = 18;
inline constexpr size_t kSoundGroupBytes = 128;
// 4-bit mono doubled from 18,900 Hz: the most pairs one sector can give.
inline constexpr size_t kMaxPairsPerSector = 8'064;

// A FIFO of pairs in a power-of-two ring. Popping never frees memory, so the audio callback
// can consume under the lock without touching the allocator; only the producer grows it.
class PairRing {
public:
    explicit PairRing(size_t capacity = kInitialQueueCapacity);

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    size_t capacity() const { return slots_.size(); }
    const StereoPair& front() const { return slots_[head_]; }
    // The i-th oldest pair; i must be below size().
    const StereoPair& operator[](size_t i) const { return slots_[(head_ + i) & mask_]; }

    // Takes the oldest pair out; the ring must not be empty.
    StereoPair pop_front();
    // Drops the min(n, size()) oldest pairs.
    void drop_front(size_t n);
    // Appends, doubling the storage when full (producer side only).
    void push_back(StereoPair p);
    void clear() {
        head_ = 0;
        size_ = 0;
    }

private:
    void grow();

    std::vector<StereoPair> slots_;
    size_t mask_ = 0;
    size_t head_ = 0;
    size_t size_ = 0;
};

// The queue shared by the emulation thread (producers) and the host audio thread (consumer).
// Every holder takes `mutex` for one short copy and never holds another lock with it.
struct AudioQueue {
    std::mutex mutex;
    PairRing pairs;  // guarded by mutex
    // Pairs brought by the latest append (guarded by mutex): the size of the producer's bursts,
    // which the host output needs to judge how low the queue will fall before the next one.
    size_t last_append = 0;
    // Appends since construction (guarded by mutex), so the host output can tell whether a
    // burst arrived since its last look.
    uint64_t appends = 0;

    // Appends `fresh` in order after dropping the oldest queued pairs, so that at most `limit`
    // remain. New pairs are dropped only when `fresh` alone exceeds the limit (oldest first).
    void append_bounded(std::span<const StereoPair> fresh, size_t limit = kMaxQueuedPairs);
    void clear();
    size_t size();
};

using SourceRateCell = std::atomic<uint32_t>;

// The CDIC's handle on the queue and the rate cell, with the ADPCM predictor state and the
// user's volume. Volume and mute take effect from the next decoded sector.
class AudioOutput {
public:
    AudioOutput();

    // Decodes the 18 sound groups of `data` (nothing happens below 2,304 bytes) and appends the
    // pairs, scaled by the volume (0 when muted), to the queue. 8-bit data is level A; `rate`
    // 18,900 doubles the pairs by linear interpolation, any other rate counts as 37,800.
    void decode_adpcm_sector(std::span<const uint8_t> data, bool stereo, bool eight_bit,
                             uint32_t rate);
    // Zeroes the predictor history and empties the queue (machine reset).
    void clear_queue();
    // Zeroes the predictor history only (an audio map starts).
    void clear_history() { history = {}; }

    std::shared_ptr<AudioQueue> queue;
    std::shared_ptr<SourceRateCell> source_rate;
    // Previous and second previous output: left (or mono) p1, p2, then right p1, p2.
    std::array<int16_t, 4> history{};
    float volume = 1.0f;  // kept within 0.0-2.0 by the frontend
    bool muted = false;

private:
    std::vector<StereoPair> scratch_;  // decoded pairs, built outside the queue lock
};

}  // namespace vestrel
