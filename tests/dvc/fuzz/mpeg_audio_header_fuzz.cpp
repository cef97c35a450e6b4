// libFuzzer target: the layer II header check, at every offset of the input, then the framing
// and decoding loop over the whole input. An accepted header names a standard bit rate and
// sampling rate, and its frame is long enough that the loop, which drops a whole frame at a
// time, always moves on; the loop leaves at most an incomplete frame behind.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dvc/mpeg_audio.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (size_t i = 0; i + 4 <= size; ++i) {
        const auto h = vestrel::parse_layer2_header(data + i);
        if (!h) continue;
        if (data[i] != 0xFF || (data[i + 1] & 0xF0) != 0xF0) __builtin_trap();  // sync
        if (((data[i + 1] >> 1) & 3) != 2) __builtin_trap();                        // layer II
        const uint32_t fs = h->sample_rate;
        if (fs != 16000 && fs != 22050 && fs != 24000 && fs != 32000 && fs != 44100 && fs != 48000) __builtin_trap();
        if (h->bit_rate < 8000 || h->bit_rate > 384000 || h->bit_rate % 8000 != 0) __builtin_trap();
        if (h->frame_bytes() < 4) __builtin_trap();
    }

    static vestrel::MpegAudio audio;
    audio.reset();
    vestrel::ByteFifo ring;
    ring.append({data, size});
    std::vector<vestrel::StereoPair> pairs;
    audio.run(ring, pairs, 4096);
    // What is left cannot hold a header and the whole frame it announces.
    if (ring.size() >= 4) {
        const auto h = vestrel::parse_layer2_header(ring.data());
        if (!h || ring.size() >= h->frame_bytes()) __builtin_trap();
    }
    if (pairs.size() > 4096) __builtin_trap();
    return 0;
}
