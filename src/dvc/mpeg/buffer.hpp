// The decoder's variable-length code reader, shared by the picture and block layers.
#pragma once

#include <algorithm>

#include "dvc/mpeg/tables.hpp"
#include "dvc/mpeg/video.hpp"

namespace vestrel {

// Past the end the lookup sees zero bits, and only the bits that exist are consumed: the same
// as reading the code one bit at a time.
inline void VideoDecoder::advance(uint64_t n) {
    const uint64_t left = bits_left();
    if (n > left) {
        starved_ = true;
        n = left;
    }
    bit_position += n;
}

template <size_t Bits>
inline int32_t VideoDecoder::read_vlc(const mpeg::VlcTable<Bits>& table) {
    const mpeg::VlcEntry entry = table.entries[peek_bits(Bits)];
    advance(entry.length);
    return entry.value;
}

inline int32_t VideoDecoder::read_dct_coeff() {
    const uint32_t bits = peek_bits(16);
    const mpeg::VlcEntry entry = (bits >> (16 - mpeg::kDctLongPrefix)) != 0
                                     ? mpeg::kDctShortTable.entries[bits >> 8]
                                     : mpeg::kDctLongTable.entries[bits & 0x3FF];
    advance(entry.length);
    return entry.value;
}

}  // namespace vestrel
