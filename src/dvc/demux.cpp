#include "dvc/demux.hpp"

#include <algorithm>

namespace vestrel {
namespace {

constexpr uint8_t kProgramEndCode = 0xB9;
constexpr uint8_t kPackStartCode = 0xBA;
constexpr uint8_t kFirstAudioStream = 0xC0;
constexpr uint8_t kLastVideoStream = 0xEF;
constexpr size_t kMpeg1PackBytes = 12;
constexpr size_t kMpeg2PackBytes = 14;
constexpr size_t kPacketHeaderBytes = 6;
constexpr size_t kStampBytes = 5;

// Position of the first 00 00 01 at or after `from`, or `size` when there is none.
size_t find_prefix(const uint8_t* p, size_t size, size_t from) {
    for (size_t i = from; i + 2 < size; ++i) {
        if (p[i + 2] > 1) {
            i += 2;  // none of the three positions ending here can start a prefix
            continue;
        }
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) return i;
    }
    return size;
}

}  // namespace

void ByteFifo::drop_front(size_t n) {
    head_ += std::min(n, size());
    if (head_ == bytes_.size()) {
        clear();
    } else if (head_ >= 4096 && head_ > bytes_.size() / 2) {
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<ptrdiff_t>(head_));
        head_ = 0;
    }
}

std::optional<TimeStamp> read_time_stamp(const uint8_t* p) {
    if ((p[0] & 1) == 0 || (p[2] & 1) == 0 || (p[4] & 1) == 0) return std::nullopt;
    return (TimeStamp{(p[0] >> 1) & 7u} << 30) | (TimeStamp{p[1]} << 22) | (TimeStamp{p[2]} >> 1 << 15) |
           (TimeStamp{p[3]} << 7) | (TimeStamp{p[4]} >> 1);
}

void Demux::feed(std::span<const uint8_t> bytes) {
    stream_bytes.append(bytes);
    parse();
}

void Demux::reset() {
    stream_bytes.clear();
    video_payload.clear();
    audio_ring.clear();
    end_codes = 0;
    program_end_at.reset();
    decode_stamp.reset();
}

void Demux::parse() {
    while (stream_bytes.size() > 2) {
        const uint8_t* p = stream_bytes.data();
        const size_t size = stream_bytes.size();
        const size_t start = find_prefix(p, size, 0);
        if (start == size) {
            stream_bytes.drop_front(size - 2);  // a prefix may still be split across the seam
            return;
        }
        stream_bytes.drop_front(start);
        p = stream_bytes.data();
        const size_t n = stream_bytes.size();
        if (n < 4) return;

        const uint8_t code = p[3];
        if (code == kProgramEndCode) {
            stream_bytes.drop_front(4);
            ++end_codes;
            program_end_at = video_payload.size();
            continue;
        }
        if (code == kPackStartCode) {
            if (n < kMpeg1PackBytes) return;
            if ((p[4] & 0xF0) == 0x20) {
                stream_bytes.drop_front(kMpeg1PackBytes);
                continue;
            }
            if (n < kMpeg2PackBytes) return;
            const size_t pack = kMpeg2PackBytes + (p[13] & 7);
            if (n < pack) return;
            stream_bytes.drop_front(pack);
            continue;
        }
        if (n < kPacketHeaderBytes) return;
        const size_t length = (size_t{p[4]} << 8) | p[5];
        if (length == 0) {
            const size_t next = find_prefix(p, n, 4);
            if (next == n) {
                if (n > kMaxPendingBytes) stream_bytes.drop_front(n - 2);
                return;
            }
            stream_bytes.drop_front(next);
            continue;
        }
        const size_t total = length + kPacketHeaderBytes;
        if (n < total) return;
        if (code >= kFirstAudioStream && code <= kLastVideoStream) route_packet(p, total);
        stream_bytes.drop_front(total);
    }
}

// One audio or video packet of n bytes: skips its header and routes the payload.
void Demux::route_packet(const uint8_t* p, size_t n) {
    const uint8_t code = p[3];
    size_t pos = kPacketHeaderBytes;
    while (pos < n && p[pos] == 0xFF) ++pos;
    if (pos >= n) return;
    if (p[pos] >= 0x40 && p[pos] <= 0x7F) pos += 2;  // buffer-size field
    if (pos >= n) return;

    std::optional<TimeStamp> presentation;
    std::optional<TimeStamp> decode;
    const uint8_t b = p[pos];
    if (b >= 0x80 && b <= 0xBF) {
        if (pos + 2 >= n) return;
        const uint8_t flags = p[pos + 1];
        const size_t header = p[pos + 2];
        if ((flags & 0x80) != 0 && header > 4) {
            if (pos + 3 + kStampBytes > n) return;
            presentation = read_time_stamp(p + pos + 3);
        }
        if ((flags & 0x40) != 0 && header > 9) {
            if (pos + 8 + kStampBytes > n) return;
            decode = read_time_stamp(p + pos + 8);
        }
        pos += 3 + header;
    } else if ((b >> 4) == 2) {
        if (pos + kStampBytes > n) return;
        presentation = read_time_stamp(p + pos);
        pos += kStampBytes;
    } else if ((b >> 4) == 3) {
        if (pos + kStampBytes > n) return;
        presentation = read_time_stamp(p + pos);
        if (pos + 2 * kStampBytes > n) return;
        decode = read_time_stamp(p + pos + kStampBytes);
        pos += 2 * kStampBytes;
    } else if (b == 0x0F) {
        pos += 1;
    }
    if (pos > n) return;

    const uint8_t* payload = p + pos;
    const size_t payload_size = n - pos;
    if ((code & 0xF0) == 0xE0) {
        if (video_stream && *video_stream != (code & 0x0F)) return;
        video_payload.insert(video_payload.end(), payload, payload + payload_size);
        if (decode) {
            decode_stamp = decode;
        } else if (presentation) {
            decode_stamp = presentation;
        }
    } else if ((code & 0xE0) == 0xC0) {
        if (audio_stream && *audio_stream != (code & 0x1F)) return;
        audio_ring.append({payload, payload_size});
    }
}

}  // namespace vestrel
