// The cartridge's MPEG-1 video decoder: it takes the video elementary stream the demultiplexer
// extracts, a payload at a time, and hands back decoded pictures in display order.
//
// It never fails loudly and logs nothing: missing data means "no picture yet", bad data is
// skipped macroblock by macroblock or block by block, and reads past the end of the buffered
// bytes give zero bits.
//
//   video.cpp   construction, append, decode (picture, slice and macroblock layers, motion
//               vectors, display order, compaction)
//   buffer.cpp  the bit reader, start-code search, sequence-end scan and sequence header
//   block.cpp   block decoding (DC prediction, coefficients, dequantisation, inverse DCT) and
//               motion-compensated prediction
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vestrel {

namespace mpeg {
template <size_t Bits>
struct VlcTable;
}

// One sample plane; `width` is also the row stride.
struct Plane {
    std::vector<uint8_t> data;
    uint64_t width = 0;
    uint64_t height = 0;
};

// A decoded picture. Planes cover whole macroblocks; the picture itself is the top-left
// `width` x `height` of `y`, and the chroma planes are half size in both directions.
struct VideoFrame {
    Plane y;
    Plane cr;
    Plane cb;
    uint64_t width = 0;
    uint64_t height = 0;

    VideoFrame() = default;
    // All samples zero.
    VideoFrame(uint64_t luma_width, uint64_t luma_height, uint64_t chroma_width, uint64_t chroma_height,
               uint64_t picture_width, uint64_t picture_height);
};

// Forward or backward motion state of the picture being decoded.
struct MotionState {
    uint32_t r_size = 0;
    int32_t h = 0;
    int32_t v = 0;
    bool full_pel = false;
    bool is_set = false;
};

// What `decode` hands back: when `ready`, frames[index] is the next picture to display.
struct DecodeResult {
    bool ready = false;
    uint64_t index = 0;
};

class VideoDecoder {
public:
    static constexpr uint32_t kSequenceHeaderCode = 0xB3;
    static constexpr uint32_t kSequenceEndCode = 0xB7;
    static constexpr uint32_t kUserDataCode = 0xB2;
    static constexpr uint32_t kExtensionCode = 0xB5;
    static constexpr uint32_t kPictureCode = 0x00;
    static constexpr uint32_t kFirstSliceCode = 0x01;
    static constexpr uint32_t kLastSliceCode = 0xAF;
    // The sequence header after its start code: the fields up to the intra matrix flag, and
    // each loaded matrix. With both matrices it is 1,088 bits, without them 64.
    static constexpr uint64_t kSequenceHeaderFixedBits = 63;
    static constexpr uint64_t kMatrixBits = 512;
    // Consumed bytes are dropped from the front of `data` once the position passes this.
    static constexpr uint64_t kCompactionBits = 262'152;

    // Picture coding types.
    static constexpr uint32_t kPictureI = 1;
    static constexpr uint32_t kPictureP = 2;
    static constexpr uint32_t kPictureB = 3;

    // Macroblock type flags.
    static constexpr int32_t kMbIntra = 0x01;
    static constexpr int32_t kMbPattern = 0x02;
    static constexpr int32_t kMbBackward = 0x04;
    static constexpr int32_t kMbForward = 0x08;
    static constexpr int32_t kMbQuant = 0x10;

    // The first video payload; looks for the sequence header straight away.
    explicit VideoDecoder(std::vector<uint8_t> first_payload);

    // More payload bytes; while no sequence header has been parsed, tries again to find it.
    void append(std::span<const uint8_t> bytes);

    // The next picture in display order, if one can be produced from the bytes so far.
    DecodeResult decode();

    // The stream will bring no more bytes: from now on `decode` also takes the last picture,
    // when all its macroblocks are there, and then releases the newest reference. Cleared by
    // the next `append` that brings bytes.
    void mark_end_of_stream() { end_of_stream = true; }

    // One `decode` as though the stream had ended, for when no bytes have come for a while:
    // a picture whose macroblocks are all there is returned, one cut short is left as it was,
    // and once nothing is left to decode the newest reference is released. The next `append`
    // undoes its effect.
    DecodeResult drain();

    // Nothing more will come out: an end code has been reached with nothing but zero bytes
    // after it, or a drain found nothing left, and the last picture has been handed out.
    bool finished() const;

    // --- stream layer (buffer.cpp) ---
    // Value byte of the next start code, leaving the position after it; -1 when none is in the
    // buffer (a start code in the last four bytes waits for more data unless the end is known).
    int32_t next_start_code();
    // Parses the sequence header with the position just after its start code.
    bool decode_sequence_header();

    // --- bit reader (buffer.cpp) ---
    // n bits (n <= 32), most significant first; 0 without moving when fewer than n remain.
    uint32_t read_bits(uint32_t n);
    // The next n bits without consuming them, zero-padded past the end.
    uint32_t peek_bits(uint32_t n) const;
    uint64_t bits_left() const;
    // Skips n bits only when that many remain.
    void skip_bits(uint64_t n);

    // --- picture layer (video.cpp) ---
    int32_t decode_motion_vector(uint32_t r_size, int32_t previous);

    // --- block layer (block.cpp) ---
    void decode_block(uint32_t block_number);
    void predict_macroblock(uint64_t reference, int32_t h, int32_t v, bool average);
    void predict_block(const Plane& source, Plane& destination, uint32_t size, int32_t h, int32_t v,
                       bool average);

    std::vector<uint8_t> data;
    uint64_t bit_position = 0;
    std::vector<VideoFrame> frames;
    MotionState motion_forward;
    MotionState motion_backward;
    double picture_rate = 0.0;
    uint64_t width = 0;
    uint64_t height = 0;
    uint64_t mb_width = 0;
    uint64_t mb_height = 0;
    uint64_t mb_count = 0;
    uint64_t luma_width = 0;
    uint64_t luma_height = 0;
    uint64_t chroma_width = 0;
    uint64_t chroma_height = 0;
    uint64_t mb_row = 0;
    uint64_t mb_col = 0;
    uint64_t current = 0;
    uint64_t forward = 1;
    uint64_t backward = 2;
    std::array<int32_t, 64> block{};
    std::array<uint8_t, 64> intra_matrix{};
    std::array<uint8_t, 64> non_intra_matrix{};
    int32_t start_code = -1;
    uint32_t picture_type = 0;
    uint32_t quantizer_scale = 0;
    int32_t macroblock_address = 0;
    int32_t macroblock_type = 0;
    std::array<int32_t, 3> dc_predictor{128, 128, 128};
    bool has_sequence_header = false;
    bool slice_begin = false;
    bool macroblock_intra = false;
    bool has_reference = false;
    // A sequence end code 00 00 01 B7 arrived somewhere in `data`: the buffered stream has an
    // end, so a start code in its last four bytes is complete. It says nothing about where the
    // decoder is; `finished` does.
    bool sequence_end_seen = false;
    // Set by mark_end_of_stream.
    bool end_of_stream = false;

private:
    // What a picture's decoding changes besides the samples of `current`, kept so a picture
    // tried on incomplete data can be decoded again from the start once the rest arrives.
    struct PictureState {
        uint64_t bit_position;
        int32_t start_code;
        uint32_t picture_type;
        uint64_t current, forward, backward;
        MotionState motion_forward, motion_backward;
        uint32_t quantizer_scale;
        std::array<int32_t, 3> dc_predictor;
        int32_t macroblock_address;
        int32_t macroblock_type;
        bool macroblock_intra;
        bool slice_begin;
        uint64_t mb_row, mb_col;
        bool end_code_passed;
        uint64_t end_code_end;
    };
    PictureState save_state() const;
    void restore_state(const PictureState& s);

    template <size_t Bits>
    int32_t read_vlc(const mpeg::VlcTable<Bits>& table);
    // Moves on n bits, or to the end of the data when fewer remain (which marks the read short).
    void advance(uint64_t n);
    int32_t read_dct_coeff();
    void scan_sequence_end(size_t from);
    bool find_sequence_header();
    bool sequence_header_buffered() const;
    // The next picture start code or a sequence end code is buffered, so the picture that
    // starts here is all there.
    bool picture_complete();
    bool decode_picture();
    void decode_slice(uint32_t slice_code);
    // An impossible address abandons the macroblock and leaves the bit position where it is.
    void decode_macroblock();
    void predict_current();
    void compact();
    void note_start_code(int32_t code);
    bool end_known() const { return end_of_stream || draining_ || sequence_end_seen; }

    // A sequence end code was read since the last picture start code: the sequence really
    // ends here, so the reference may be released.
    bool end_code_passed_ = false;
    // Byte offset just after the last sequence end code read.
    uint64_t end_code_end_ = 0;
    // Inside `drain`.
    bool draining_ = false;
    // A drain (or a decode after mark_end_of_stream) found no picture left.
    bool drained_ = false;
    // A read wanted bits beyond the end of the data.
    bool starved_ = false;
    // The picture ended on its last macroblock.
    bool picture_done_ = false;
};

}  // namespace vestrel
