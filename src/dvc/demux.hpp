// The cartridge's MPEG system-stream demultiplexer: packs, packets and their headers in, the
// video elementary stream and the MPEG audio bytes out. MPEG-2 pack and packet headers are
// tolerated. Any byte stream is safe: malformed headers only cost their packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vestrel {

// A byte FIFO that consumes from the front by moving an offset and compacts only when the
// dead prefix outweighs the live bytes, so dropping a header costs nothing per packet.
class ByteFifo {
public:
    size_t size() const { return bytes_.size() - head_; }
    bool empty() const { return size() == 0; }
    const uint8_t* data() const { return bytes_.data() + head_; }
    std::span<const uint8_t> view() const { return {data(), size()}; }
    uint8_t operator[](size_t i) const { return bytes_[head_ + i]; }

    void append(std::span<const uint8_t> more) { bytes_.insert(bytes_.end(), more.begin(), more.end()); }
    void push_back(uint8_t b) { bytes_.push_back(b); }
    // Drops the min(n, size()) oldest bytes.
    void drop_front(size_t n);
    void clear() {
        bytes_.clear();
        head_ = 0;
    }

private:
    std::vector<uint8_t> bytes_;
    size_t head_ = 0;
};

// A 33-bit MPEG time stamp.
using TimeStamp = uint64_t;

// Decodes the five stamp bytes at `p`; absent when a marker bit is clear.
std::optional<TimeStamp> read_time_stamp(const uint8_t* p);

class Demux {
public:
    // A bound on unparsed bytes while a zero-length packet waits for the next start code:
    // beyond it the waiting bytes hold no prefix and can go (the last two are kept).
    static constexpr size_t kMaxPendingBytes = 1u << 20;

    // Appends system-stream bytes and parses as far as they go.
    void feed(std::span<const uint8_t> bytes);
    // Parses what `stream_bytes` holds.
    void parse();
    // Empties every buffer and forgets the end codes and the stamp; keeps the selections.
    void reset();
    // A pack or packet has begun to arrive but is not complete.
    bool holds_partial_unit() const { return stream_bytes.size() > 2; }

    ByteFifo stream_bytes;
    std::vector<uint8_t> video_payload;
    ByteFifo audio_ring;
    uint64_t end_codes = 0;
    // Length of `video_payload` when the last program end code was met, until the cartridge
    // takes it.
    std::optional<size_t> program_end_at;
    std::optional<uint8_t> audio_stream;  // 5-bit; absent: every audio stream
    std::optional<uint8_t> video_stream;  // 4-bit; absent: every video stream
    std::optional<TimeStamp> decode_stamp;

private:
    void route_packet(const uint8_t* p, size_t n);
};

}  // namespace vestrel
