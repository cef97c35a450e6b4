#include "dvc/mpeg/video.hpp"

#include <utility>

namespace vestrel {

VideoFrame::VideoFrame(uint64_t luma_width, uint64_t luma_height, uint64_t chroma_width, uint64_t chroma_height,
                       uint64_t picture_width, uint64_t picture_height)
    : y{std::vector<uint8_t>(luma_width * luma_height), luma_width, luma_height},
      cr{std::vector<uint8_t>(chroma_width * chroma_height), chroma_width, chroma_height},
      cb{std::vector<uint8_t>(chroma_width * chroma_height), chroma_width, chroma_height},
      width(picture_width),
      height(picture_height) {}

VideoDecoder::VideoDecoder(std::vector<uint8_t> first_payload) : data(std::move(first_payload)) {}

void VideoDecoder::append(std::span<const uint8_t> bytes) { data.insert(data.end(), bytes.begin(), bytes.end()); }

DecodeResult VideoDecoder::decode() { return {}; }

int32_t VideoDecoder::next_start_code() { return -1; }
bool VideoDecoder::decode_sequence_header() { return false; }
uint32_t VideoDecoder::read_bits(uint32_t) { return 0; }
uint32_t VideoDecoder::peek_bits(uint32_t) const { return 0; }
uint64_t VideoDecoder::bits_left() const { return 0; }
void VideoDecoder::skip_bits(uint64_t) {}
int32_t VideoDecoder::decode_motion_vector(uint32_t, int32_t previous) { return previous; }
void VideoDecoder::decode_block(uint32_t) {}
void VideoDecoder::predict_macroblock(uint64_t, int32_t, int32_t, bool) {}
void VideoDecoder::predict_block(const Plane&, Plane&, uint32_t, int32_t, int32_t, bool) {}

}  // namespace vestrel
