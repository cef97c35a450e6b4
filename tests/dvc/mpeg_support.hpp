// Helpers shared by the MPEG video decoder tests: fixture loading and whole-stream decoding.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dvc/mpeg/video.hpp"

namespace vestrel::mpeg_test {

inline std::vector<uint8_t> read_fixture(const std::string& name) {
    std::ifstream in(std::string(VESTREL_SOURCE_DIR) + "/tests/fixtures/mpeg/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A picture as the planes' visible part: Y, then Cb, then Cr, like raw yuv420p.
inline std::vector<uint8_t> visible_yuv(const VideoFrame& f) {
    std::vector<uint8_t> out;
    const uint64_t cw = (f.width + 1) / 2, ch = (f.height + 1) / 2;
    for (uint64_t r = 0; r < f.height; ++r)
        out.insert(out.end(), f.y.data.begin() + r * f.y.width, f.y.data.begin() + r * f.y.width + f.width);
    for (const Plane* p : {&f.cb, &f.cr})
        for (uint64_t r = 0; r < ch; ++r)
            out.insert(out.end(), p->data.begin() + r * p->width, p->data.begin() + r * p->width + cw);
    return out;
}

// Feeds `stream` in pieces of `chunk` bytes, calling decode after each piece as the frame step
// would, then drains the decoder at the end. Returns every picture in display order. The
// number of calls is bounded so that a decoder that never stops returning pictures fails.
inline std::vector<std::vector<uint8_t>> decode_all(const std::vector<uint8_t>& stream, size_t chunk,
                                                     bool mark_end = true) {
    std::vector<std::vector<uint8_t>> pictures;
    if (stream.empty()) return pictures;
    const size_t first = std::min(chunk, stream.size());
    VideoDecoder dec(std::vector<uint8_t>(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(first)));
    size_t fed = first;
    auto take = [&] {
        for (int guard = 0; guard < 64; ++guard) {
            const DecodeResult r = dec.decode();
            if (!r.ready) return;
            pictures.push_back(visible_yuv(dec.frames.at(r.index)));
        }
    };
    take();
    while (fed < stream.size()) {
        const size_t n = std::min(chunk, stream.size() - fed);
        dec.append(std::span<const uint8_t>(stream.data() + fed, n));
        fed += n;
        take();
    }
    if (mark_end) dec.mark_end_of_stream();
    take();
    return pictures;
}

}  // namespace vestrel::mpeg_test
