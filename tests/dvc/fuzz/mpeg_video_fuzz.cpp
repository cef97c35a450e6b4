// libFuzzer target: the MPEG-1 video decoder alone, the elementary stream arriving in pieces
// whose size the first byte chooses, a decode after each piece, then the end of the stream.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t chunk = 16 + size_t{data[0]} * 16;
    const std::span<const uint8_t> stream(data + 1, size - 1);
    const size_t codes = vestrel::fuzz::picture_codes(stream);
    const size_t first = std::min(chunk, stream.size());
    vestrel::VideoDecoder dec(std::vector<uint8_t>(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(first)));
    size_t taken = 0;
    for (size_t at = first;;) {
        taken += vestrel::fuzz::take_pictures(dec, [&] { return dec.decode(); }, codes + 1);
        if (at >= stream.size()) break;
        const size_t n = std::min(chunk, stream.size() - at);
        dec.append(stream.subspan(at, n));
        at += n;
    }
    vestrel::fuzz::finish(dec, taken, codes);
    return 0;
}
