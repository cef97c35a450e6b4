// libFuzzer target: the system-stream demultiplexer with the video decoder behind it, as the
// cartridge runs them: the stream arrives in pieces whose size the first byte chooses, each
// piece is demultiplexed, its video handed to the decoder and a picture asked for.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "dvc/demux.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t chunk = 16 + size_t{data[0]} * 16;
    vestrel::Demux demux;
    if (data[1] & 0x80) demux.video_stream = data[1] & 0x0F;
    if (data[1] & 0x40) demux.audio_stream = data[1] & 0x1F;
    const std::span<const uint8_t> stream(data + 2, size - 2);

    std::optional<vestrel::VideoDecoder> dec;
    std::vector<uint8_t> video;  // everything handed to the decoder, to bound its pictures
    size_t taken = 0;
    for (size_t at = 0; at < stream.size();) {
        const size_t n = std::min(chunk, stream.size() - at);
        demux.feed(stream.subspan(at, n));
        at += n;
        // Bytes waiting for a packet's end stay within what has arrived, or within the bound
        // for a packet of unknown length.
        if (demux.stream_bytes.size() > std::max(at, vestrel::Demux::kMaxPendingBytes + chunk)) __builtin_trap();
        if (!demux.video_payload.empty()) {
            video.insert(video.end(), demux.video_payload.begin(), demux.video_payload.end());
            if (!dec) {
                dec.emplace(demux.video_payload);
            } else {
                dec->append(demux.video_payload);
            }
            demux.video_payload.clear();
        }
        demux.audio_ring.drop_front(demux.audio_ring.size());
        if (dec) taken += vestrel::fuzz::take_pictures(*dec, [&] { return dec->decode(); }, size);
    }
    if (dec) vestrel::fuzz::finish(*dec, taken, vestrel::fuzz::picture_codes(video));
    return 0;
}
