// The decoder's byte buffer: bit reader, start-code search, sequence-end scan and the sequence
// header.
#include <algorithm>
#include <cstring>

#include "dvc/mpeg/tables.hpp"
#include "dvc/mpeg/video.hpp"

namespace vestrel {

uint64_t VideoDecoder::bits_left() const {
    const uint64_t total = 8 * static_cast<uint64_t>(data.size());
    return bit_position < total ? total - bit_position : 0;
}

uint32_t VideoDecoder::peek_bits(uint32_t n) const {
    if (n == 0) return 0;
    const uint64_t byte = bit_position >> 3;
    const uint32_t shift = static_cast<uint32_t>(bit_position & 7);
    uint64_t word = 0;
    if (byte + 8 <= data.size()) {
        std::memcpy(&word, data.data() + byte, 8);
        word = __builtin_bswap64(word);
    } else {
        // Near the end: missing bytes read as zero bits.
        for (uint64_t i = 0; i < 8; ++i) word = word << 8 | (byte + i < data.size() ? data[byte + i] : 0u);
    }
    return static_cast<uint32_t>((word << shift) >> (64 - n));
}

uint32_t VideoDecoder::read_bits(uint32_t n) {
    if (bits_left() < n) {
        starved_ = true;
        return 0;
    }
    const uint32_t value = peek_bits(n);
    bit_position += n;
    return value;
}

void VideoDecoder::skip_bits(uint64_t n) {
    if (bits_left() >= n) {
        bit_position += n;
    } else {
        starved_ = true;
    }
}

int32_t VideoDecoder::next_start_code() {
    bit_position = (bit_position + 7) & ~uint64_t{7};
    // A code in the last four bytes waits for a fifth, unless no more bytes will come.
    const size_t needed = end_known() ? 4 : 5;
    const size_t size = data.size();
    const uint8_t* p = data.data();
    size_t pos = static_cast<size_t>(bit_position >> 3);
    while (pos + needed <= size) {
        if (p[pos + 2] > 1) {
            pos += 3;  // no prefix can start at pos, pos + 1 or pos + 2
        } else if (p[pos + 2] == 1 && p[pos + 1] == 0 && p[pos] == 0) {
            bit_position = 8 * static_cast<uint64_t>(pos + 4);
            return p[pos + 3];
        } else {
            ++pos;
        }
    }
    // The skip by three may overshoot the last place a scan could test.
    if (size + 1 >= needed && pos > size + 1 - needed) pos = std::max<size_t>(size + 1 - needed, bit_position >> 3);
    bit_position = 8 * static_cast<uint64_t>(pos);
    return -1;
}

void VideoDecoder::scan_sequence_end(size_t from) {
    for (size_t i = from; i + 4 <= data.size(); ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && data[i + 3] == kSequenceEndCode) {
            sequence_end_seen = true;
            return;
        }
    }
}

bool VideoDecoder::find_sequence_header() {
    // A refused header sends the search on; the next one may already be here, and leaving it
    // for a later call would hand out pictures then that could have come now, with no new bytes.
    for (;;) {
        if (start_code != static_cast<int32_t>(kSequenceHeaderCode)) {
            do {
                start_code = next_start_code();
            } while (start_code != static_cast<int32_t>(kSequenceHeaderCode) && start_code != -1);
            if (start_code == -1) return false;
        }
        if (decode_sequence_header()) return true;
        // Still on the header: it waits for the rest of its bytes.
        if (start_code == static_cast<int32_t>(kSequenceHeaderCode)) return false;
    }
}

// The header's length after its start code: 64 bits, and 512 more for each matrix it loads.
// Until those bits are there it waits; once no more bytes will come it takes what there is.
bool VideoDecoder::sequence_header_buffered() const {
    if (end_of_stream || draining_) return true;
    const uint64_t left = bits_left();
    const auto bit_at = [this](uint64_t offset) {
        const uint64_t p = bit_position + offset;
        return (data[p >> 3] >> (7 - (p & 7))) & 1;
    };
    uint64_t needed = kSequenceHeaderFixedBits;  // up to and including the intra flag
    if (left < needed) return false;
    if (bit_at(needed - 1)) needed += kMatrixBits;
    ++needed;  // the non-intra flag
    if (left < needed) return false;
    if (bit_at(needed - 1)) needed += kMatrixBits;
    return left >= needed;
}

bool VideoDecoder::decode_sequence_header() {
    if (!sequence_header_buffered()) return false;
    const uint32_t new_width = read_bits(12);
    const uint32_t new_height = read_bits(12);
    if (new_width == 0 || new_height == 0) {
        // Search on from the next byte boundary rather than re-reading shifted fields.
        start_code = -1;
        return false;
    }
    width = new_width;
    height = new_height;
    skip_bits(4);  // pel aspect ratio
    picture_rate = mpeg::kPictureRates[read_bits(4)];
    skip_bits(30);  // bit rate, marker, VBV buffer size, constrained parameters flag

    if (read_bits(1)) {
        for (size_t i = 0; i < 64; ++i) intra_matrix[mpeg::kZigzag[i]] = static_cast<uint8_t>(read_bits(8));
    } else {
        intra_matrix = mpeg::kDefaultIntraMatrix;
    }
    if (read_bits(1)) {
        for (size_t i = 0; i < 64; ++i) non_intra_matrix[mpeg::kZigzag[i]] = static_cast<uint8_t>(read_bits(8));
    } else {
        non_intra_matrix.fill(16);
    }

    mb_width = (width + 15) / 16;
    mb_height = (height + 15) / 16;
    mb_count = mb_width * mb_height;
    luma_width = 16 * mb_width;
    luma_height = 16 * mb_height;
    chroma_width = 8 * mb_width;
    chroma_height = 8 * mb_height;
    frames.clear();
    for (int i = 0; i < 3; ++i) frames.emplace_back(luma_width, luma_height, chroma_width, chroma_height, width, height);
    current = 0;
    forward = 1;
    backward = 2;
    has_sequence_header = true;
    return true;
}

}  // namespace vestrel
