// Shared by the MPEG fuzz targets: feeding a video decoder the way the cartridge does and
// checking that it stays within bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "dvc/mpeg/video.hpp"

namespace vestrel::fuzz {

inline size_t picture_codes(std::span<const uint8_t> s) {
    size_t n = 0;
    for (size_t i = 0; i + 4 <= s.size(); ++i) n += s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1 && s[i + 3] == 0;
    return n;
}

// Takes pictures until the decoder has none ready; every index must name a frame, and a
// decoder that keeps handing out pictures is a fault. A picture withheld is withheld until
// something changes: asked again with no new bytes, the decoder still has none. Returns the
// number taken.
template <typename Next>
size_t take_pictures(VideoDecoder& dec, Next next, size_t limit) {
    size_t taken = 0;
    for (;;) {
        const DecodeResult r = next();
        if (!r.ready) {
            if (next().ready) __builtin_trap();
            return taken;
        }
        if (r.index >= dec.frames.size() || dec.frames[r.index].y.data.size() < dec.width * dec.height) __builtin_trap();
        if (++taken > limit) __builtin_trap();
    }
}

// The end of a stream as the frame step meets it: drains, then the stream marked ended. At
// most one picture per picture start code plus the reference held back may ever come out.
inline void finish(VideoDecoder& dec, size_t taken, size_t codes) {
    const size_t limit = codes + 1;
    taken += take_pictures(dec, [&] { return dec.drain(); }, limit + 2);
    // The frame step decodes on after a drain found nothing; nothing new has come.
    if (dec.decode().ready) __builtin_trap();
    dec.mark_end_of_stream();
    taken += take_pictures(dec, [&] { return dec.decode(); }, limit + 2);
    if (taken > limit) __builtin_trap();
    // Nothing is left once the end is known.
    if (dec.decode().ready) __builtin_trap();
}

}  // namespace vestrel::fuzz
