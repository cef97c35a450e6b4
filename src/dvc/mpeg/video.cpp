// Construction and appending, the picture, slice and macroblock layers, and display order.
#include "dvc/mpeg/video.hpp"

#include <algorithm>
#include <utility>

#include "dvc/mpeg/buffer.hpp"
#include "dvc/mpeg/tables.hpp"

namespace vestrel {

VideoFrame::VideoFrame(uint64_t luma_width, uint64_t luma_height, uint64_t chroma_width, uint64_t chroma_height,
                       uint64_t picture_width, uint64_t picture_height)
    : y{std::vector<uint8_t>(luma_width * luma_height), luma_width, luma_height},
      cr{std::vector<uint8_t>(chroma_width * chroma_height), chroma_width, chroma_height},
      cb{std::vector<uint8_t>(chroma_width * chroma_height), chroma_width, chroma_height},
      width(picture_width),
      height(picture_height) {}

VideoDecoder::VideoDecoder(std::vector<uint8_t> first_payload) : data(std::move(first_payload)) {
    scan_sequence_end(0);
    find_sequence_header();
}

void VideoDecoder::append(std::span<const uint8_t> bytes) {
    const size_t old_size = data.size();
    data.insert(data.end(), bytes.begin(), bytes.end());
    // A sequence end code may straddle the seam.
    scan_sequence_end(old_size >= 3 ? old_size - 3 : 0);
    if (!bytes.empty()) end_of_stream = drained_ = false;
    if (has_sequence_header) return;
    find_sequence_header();
}

void VideoDecoder::note_start_code(int32_t code) {
    if (code == static_cast<int32_t>(kSequenceEndCode)) {
        end_code_passed_ = true;
        end_code_end_ = bit_position / 8;
    }
}

DecodeResult VideoDecoder::drain() {
    draining_ = true;
    const DecodeResult r = decode();
    draining_ = false;
    return r;
}

bool VideoDecoder::finished() const {
    if (has_reference) return false;
    if (drained_) return true;
    if (!end_code_passed_ || start_code != -1) return false;
    // Zero bytes may pad a stream after its end code; anything else is more to come.
    for (size_t i = static_cast<size_t>(std::min<uint64_t>(end_code_end_, data.size())); i < data.size(); ++i) {
        if (data[i] != 0) return false;
    }
    return true;
}

DecodeResult VideoDecoder::decode() {
    if (!has_sequence_header && !find_sequence_header()) return {};
    const bool at_end = end_of_stream || draining_;

    for (;;) {
        if (start_code != static_cast<int32_t>(kPictureCode)) {
            int32_t code;
            do {
                code = next_start_code();
                note_start_code(code);
            } while (code > 0);
            if (code < 0) {
                // Out of pictures. Only at the real end of the stream (an end code, or no more
                // bytes coming) is the newest reference shown; a mere underflow keeps it back
                // for the pictures still to come.
                start_code = -1;
                if (at_end) drained_ = true;
                if (has_reference && (at_end || end_code_passed_)) {
                    has_reference = false;
                    return {true, backward};
                }
                return {};
            }
            start_code = static_cast<int32_t>(kPictureCode);
            end_code_passed_ = false;
        }

        // A picture is decoded once the next picture or an end code shows that it is all there.
        // At the end of the stream the last one is tried on the bytes there are, and kept only
        // when every macroblock was read from real data; otherwise everything is as before.
        const bool bounded = picture_complete();
        if (!bounded && !at_end) return {};
        PictureState saved{};
        if (!bounded) saved = save_state();
        starved_ = false;
        picture_done_ = false;
        const bool decoded = decode_picture();
        if (!bounded && (starved_ || (decoded && !picture_done_))) {
            restore_state(saved);
            return {};
        }

        if (!decoded) {
            // Not decoded: move past it, but it still takes its display turn below.
            start_code = -1;
        }
        if (picture_type == kPictureB) {
            compact();
            return {true, current};
        }
        if (has_reference) {
            compact();
            return {true, forward};
        }
        has_reference = true;
    }
}

VideoDecoder::PictureState VideoDecoder::save_state() const {
    return {bit_position,
            start_code,
            picture_type,
            current,
            forward,
            backward,
            motion_forward,
            motion_backward,
            quantizer_scale,
            dc_predictor,
            macroblock_address,
            macroblock_type,
            macroblock_intra,
            slice_begin,
            mb_row,
            mb_col,
            end_code_passed_,
            end_code_end_};
}

void VideoDecoder::restore_state(const PictureState& s) {
    bit_position = s.bit_position;
    start_code = s.start_code;
    picture_type = s.picture_type;
    current = s.current;
    forward = s.forward;
    backward = s.backward;
    motion_forward = s.motion_forward;
    motion_backward = s.motion_backward;
    quantizer_scale = s.quantizer_scale;
    dc_predictor = s.dc_predictor;
    macroblock_address = s.macroblock_address;
    macroblock_type = s.macroblock_type;
    macroblock_intra = s.macroblock_intra;
    slice_begin = s.slice_begin;
    mb_row = s.mb_row;
    mb_col = s.mb_col;
    end_code_passed_ = s.end_code_passed;
    end_code_end_ = s.end_code_end;
}

bool VideoDecoder::picture_complete() {
    const uint64_t saved = bit_position;
    bool complete = false;
    for (;;) {
        const int32_t code = next_start_code();
        if (code == static_cast<int32_t>(kPictureCode) || code == static_cast<int32_t>(kSequenceEndCode)) {
            complete = true;
            break;
        }
        if (code < 0) break;
    }
    bit_position = saved;
    return complete;
}

// Reads the picture header and, when the picture can be decoded, its slices. Returns false for a
// picture that is skipped (undefined type or a zero f_code); `picture_type` is set either way.
bool VideoDecoder::decode_picture() {
    skip_bits(10);  // temporal reference
    picture_type = read_bits(3);
    skip_bits(16);  // VBV delay
    bool valid = picture_type >= kPictureI && picture_type <= kPictureB;
    if (picture_type == kPictureP || picture_type == kPictureB) {
        motion_forward.full_pel = read_bits(1) != 0;
        const uint32_t f_code = read_bits(3);
        if (f_code == 0) valid = false;
        motion_forward.r_size = f_code > 0 ? f_code - 1 : 0;
    }
    if (picture_type == kPictureB) {
        motion_backward.full_pel = read_bits(1) != 0;
        const uint32_t f_code = read_bits(3);
        if (f_code == 0) valid = false;
        motion_backward.r_size = f_code > 0 ? f_code - 1 : 0;
    }
    if (!valid) return false;

    const bool reference_picture = picture_type != kPictureB;
    const uint64_t old_forward = forward;
    if (reference_picture) forward = backward;

    picture_done_ = false;
    int32_t code = next_start_code();
    for (;;) {
        while (code == static_cast<int32_t>(kUserDataCode) || code == static_cast<int32_t>(kExtensionCode)) {
            code = next_start_code();
        }
        if (code < static_cast<int32_t>(kFirstSliceCode) || code > static_cast<int32_t>(kLastSliceCode)) break;
        decode_slice(static_cast<uint32_t>(code));
        if (picture_done_) break;
        code = next_start_code();
    }
    note_start_code(code);
    // After the last macroblock this is still the slice's code, so the next call scans on from
    // the end of the picture's data; 0 means the next picture's start code has been read.
    start_code = code;

    if (reference_picture) {
        backward = current;
        current = old_forward;
    }
    return true;
}

void VideoDecoder::decode_slice(uint32_t slice_code) {
    slice_begin = true;
    macroblock_address = static_cast<int32_t>((slice_code - 1) * mb_width) - 1;
    motion_forward.h = motion_forward.v = 0;
    motion_backward.h = motion_backward.v = 0;
    dc_predictor.fill(128);
    quantizer_scale = read_bits(5);
    while (read_bits(1)) skip_bits(8);  // extra information

    const int64_t last = static_cast<int64_t>(mb_count) - 1;
    // A slice ends at 23 zero bits (the next start code's prefix). The stream's very last
    // macroblock may end closer than that to the end of the data: once no more bytes will come,
    // whatever is left is taken, zero-padded.
    for (;;) {
        if (macroblock_address >= last || peek_bits(23) == 0) break;
        if (bits_left() < 23 && !end_of_stream && !draining_) break;
        decode_macroblock();
    }
    if (macroblock_address >= last) picture_done_ = true;
}

void VideoDecoder::decode_macroblock() {
    int64_t increment = 0;
    for (;;) {
        const int32_t code = read_vlc(mpeg::kMbaTable);
        if (code == mpeg::kMbaStuffing) continue;
        if (code == mpeg::kMbaEscape) {
            increment += 33;
            continue;
        }
        increment += code;
        break;
    }

    const int64_t count = static_cast<int64_t>(mb_count);
    if (slice_begin) {
        slice_begin = false;
        // Kept within -1..mb_count so the address never overflows; beyond the picture it ends
        // the slice just the same.
        macroblock_address = static_cast<int32_t>(std::clamp<int64_t>(macroblock_address + increment, -1, count));
        if (macroblock_address < 0) return;
    } else {
        if (macroblock_address + increment >= count) return;
        if (increment > 1) {
            dc_predictor.fill(128);
            if (picture_type == kPictureP) motion_forward.h = motion_forward.v = 0;
            for (int64_t i = 0; i < increment - 1; ++i) {
                ++macroblock_address;
                if (macroblock_address < 0) continue;
                mb_row = static_cast<uint64_t>(macroblock_address) / mb_width;
                mb_col = static_cast<uint64_t>(macroblock_address) % mb_width;
                predict_current();
            }
        }
        ++macroblock_address;
    }
    if (macroblock_address < 0) return;
    mb_row = static_cast<uint64_t>(macroblock_address) / mb_width;
    mb_col = static_cast<uint64_t>(macroblock_address) % mb_width;
    if (mb_row >= mb_height) return;

    if (picture_type == kPictureP) {
        macroblock_type = read_vlc(mpeg::kMbTypePTable);
    } else if (picture_type == kPictureI) {
        macroblock_type = read_vlc(mpeg::kMbTypeITable);
    } else {
        macroblock_type = read_vlc(mpeg::kMbTypeBTable);
    }
    macroblock_intra = (macroblock_type & kMbIntra) != 0;
    motion_forward.is_set = (macroblock_type & kMbForward) != 0;
    motion_backward.is_set = (macroblock_type & kMbBackward) != 0;
    if (macroblock_type & kMbQuant) quantizer_scale = read_bits(5);

    uint32_t pattern;
    if (macroblock_intra) {
        motion_forward.h = motion_forward.v = 0;
        motion_backward.h = motion_backward.v = 0;
        pattern = (macroblock_type & kMbPattern) ? static_cast<uint32_t>(read_vlc(mpeg::kCbpTable)) : 0x3F;
    } else {
        dc_predictor.fill(128);
        if (motion_forward.is_set) {
            motion_forward.h = decode_motion_vector(motion_forward.r_size, motion_forward.h);
            motion_forward.v = decode_motion_vector(motion_forward.r_size, motion_forward.v);
        } else if (picture_type == kPictureP) {
            motion_forward.h = motion_forward.v = 0;
        }
        if (motion_backward.is_set) {
            motion_backward.h = decode_motion_vector(motion_backward.r_size, motion_backward.h);
            motion_backward.v = decode_motion_vector(motion_backward.r_size, motion_backward.v);
        }
        predict_current();
        pattern = (macroblock_type & kMbPattern) ? static_cast<uint32_t>(read_vlc(mpeg::kCbpTable)) : 0;
    }

    for (uint32_t b = 0; b < 6; ++b) {
        if (pattern & (0x20u >> b)) decode_block(b);
    }
}

// Chooses the prediction of the current macroblock from the motion records as they stand.
void VideoDecoder::predict_current() {
    const int32_t fh = motion_forward.full_pel ? motion_forward.h * 2 : motion_forward.h;
    const int32_t fv = motion_forward.full_pel ? motion_forward.v * 2 : motion_forward.v;
    if (picture_type == kPictureB) {
        const int32_t bh = motion_backward.full_pel ? motion_backward.h * 2 : motion_backward.h;
        const int32_t bv = motion_backward.full_pel ? motion_backward.v * 2 : motion_backward.v;
        if (motion_forward.is_set) {
            predict_macroblock(forward, fh, fv, false);
            if (motion_backward.is_set) predict_macroblock(backward, bh, bv, true);
        } else {
            predict_macroblock(backward, bh, bv, false);
        }
    } else {
        predict_macroblock(forward, fh, fv, false);
    }
}

int32_t VideoDecoder::decode_motion_vector(uint32_t r_size, int32_t previous) {
    const int32_t code = read_vlc(mpeg::kMotionTable);
    int32_t difference = code;
    if (r_size > 0 && code != 0) {
        const int32_t r = static_cast<int32_t>(read_bits(r_size));
        difference = code > 0 ? ((code - 1) << r_size) + r + 1 : -(((-code - 1) << r_size) + r + 1);
    }
    int32_t result = previous + difference;
    const int32_t range = 16 << r_size;
    if (result > range - 1) result -= 2 * range;
    if (result < -range) result += 2 * range;
    return result;
}

void VideoDecoder::compact() {
    if (bit_position < kCompactionBits) return;
    const uint64_t bytes = bit_position / 8;
    data.erase(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(bytes));
    bit_position %= 8;
    end_code_end_ = end_code_end_ > bytes ? end_code_end_ - bytes : 0;
}

}  // namespace vestrel
