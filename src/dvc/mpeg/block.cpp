// Block reconstruction (DC prediction, run-level coefficients, dequantisation, the integer
// inverse DCT) and motion-compensated prediction.
#include <algorithm>

#include "dvc/mpeg/block.hpp"
#include "dvc/mpeg/buffer.hpp"
#include "dvc/mpeg/tables.hpp"
#include "dvc/mpeg/video.hpp"

namespace vestrel {

namespace mpeg {

int32_t dequantise(int32_t level, uint32_t quantizer_scale, uint8_t weight, bool intra) {
    // ISO 11172-2 reconstruction: the quotient truncates toward zero, so a coefficient and its
    // negation reconstruct symmetrically, as in every standard decoder.
    const int32_t sign = (level > 0) - (level < 0);
    const int32_t c = intra ? 0 : sign;
    int32_t q = (2 * level + c) * static_cast<int32_t>(quantizer_scale) * weight / 16;
    // Mismatch control: an even result steps one toward zero; zero stays zero.
    if ((q & 1) == 0) q -= (q > 0) - (q < 0);
    return std::clamp(q, kCoefficientMin, kCoefficientMax);
}

namespace {

// One pass over eight values spaced `stride` apart. Column pass: shift 0; row pass: shift 8.
template <int Stride, bool Round>
inline void idct_1d(int32_t* v) {
    const int32_t x0 = v[0], x1 = v[Stride], x2 = v[2 * Stride], x3 = v[3 * Stride];
    const int32_t x4 = v[4 * Stride], x5 = v[5 * Stride], x6 = v[6 * Stride], x7 = v[7 * Stride];
    const int32_t b1 = x4;
    const int32_t b3 = x2 + x6;
    const int32_t b4 = x5 - x3;
    const int32_t t1 = x1 + x7;
    const int32_t t2 = x3 + x5;
    const int32_t b6 = x1 - x7;
    const int32_t b7 = t1 + t2;
    const int32_t m0 = x0;
    const int32_t e4 = ((b6 * 473 - b4 * 196 + 128) >> 8) - b7;
    const int32_t e0 = e4 - (((t1 - t2) * 362 + 128) >> 8);
    const int32_t e1 = m0 - b1;
    const int32_t e2 = (((x2 - x6) * 362 + 128) >> 8) - b3;
    const int32_t e3 = m0 + b1;
    const int32_t y3 = e1 + e2;
    const int32_t y4 = e3 + b3;
    const int32_t y5 = e1 - e2;
    const int32_t y6 = e3 - b3;
    const int32_t y7 = -e0 - ((b4 * 473 + b6 * 196 + 128) >> 8);
    const int32_t out[8] = {b7 + y4, e4 + y3, y5 - e0, y6 - y7, y6 + y7, e0 + y5, y3 - e4, y4 - b7};
    for (int k = 0; k < 8; ++k) v[k * Stride] = Round ? (out[k] + 128) >> 8 : out[k];
}

}  // namespace

// With coefficients within -2048..2047 times the premultipliers (and a DC entry within
// -2048..2047 << 8), every intermediate stays below 6.5e8, well inside 32 bits.
void inverse_dct(std::array<int32_t, 64>& values) {
    for (int i = 0; i < 8; ++i) idct_1d<8, false>(values.data() + i);
    for (int r = 0; r < 8; ++r) idct_1d<1, true>(values.data() + 8 * r);
}

}  // namespace mpeg

void VideoDecoder::decode_block(uint32_t block_number) {
    const bool intra = macroblock_intra;
    const uint8_t* matrix = intra ? intra_matrix.data() : non_intra_matrix.data();
    uint32_t n = 0;
    if (intra) {
        const int32_t size = block_number < 4 ? read_vlc(mpeg::kDcLumaTable) : read_vlc(mpeg::kDcChromaTable);
        const size_t component = block_number < 4 ? 0 : block_number - 3;
        int32_t differential = 0;
        if (size > 0) {
            differential = static_cast<int32_t>(read_bits(static_cast<uint32_t>(size)));
            if ((differential & (1 << (size - 1))) == 0) differential = differential + 1 - (1 << size);
        }
        // A hostile stream can walk the predictor anywhere: wrap rather than overflow, and keep
        // the coefficient within the range the inverse DCT is safe for (a real DC is 0-255).
        const int32_t dc = static_cast<int32_t>(static_cast<uint32_t>(dc_predictor[component]) +
                                                static_cast<uint32_t>(differential));
        dc_predictor[component] = dc;
        block[0] = std::clamp(dc, mpeg::kCoefficientMin, mpeg::kCoefficientMax) * 256;
        n = 1;
    }

    for (;;) {
        const int32_t value = read_dct_coeff();
        int32_t run = 0;
        int32_t level = 0;
        if (value == mpeg::kDctOne) {
            if (n > 0 && read_bits(1) == 0) break;  // end of block
            level = read_bits(1) ? -1 : 1;
        } else if (value == mpeg::kDctEscape) {
            run = static_cast<int32_t>(read_bits(6));
            level = static_cast<int32_t>(read_bits(8));
            if (level == 0) {
                level = static_cast<int32_t>(read_bits(8));
            } else if (level == 128) {
                level = static_cast<int32_t>(read_bits(8)) - 256;
            } else if (level > 128) {
                level -= 256;
            }
        } else {
            run = value >> 8;
            level = value & 0xFF;
            if (read_bits(1)) level = -level;
        }
        n += static_cast<uint32_t>(run);
        if (n > 63) {
            block.fill(0);  // abandoned: nothing is written
            return;
        }
        const uint8_t z = mpeg::kZigzag[n];
        ++n;
        block[z] = mpeg::dequantise(level, quantizer_scale, matrix[z], intra) * mpeg::kPremultiplier[z];
    }

    std::array<int32_t, 64> values = block;
    block.fill(0);
    if (n == 1) {
        values.fill((values[0] + 128) >> 8);
    } else {
        mpeg::inverse_dct(values);
    }

    Plane* plane;
    uint64_t row;
    uint64_t col;
    if (block_number < 4) {
        plane = &frames[current].y;
        row = mb_row * 16 + (block_number >= 2 ? 8 : 0);
        col = mb_col * 16 + ((block_number & 1) ? 8 : 0);
    } else {
        plane = block_number == 4 ? &frames[current].cb : &frames[current].cr;
        row = mb_row * 8;
        col = mb_col * 8;
    }
    mpeg::write_block(values, plane->data.data() + row * plane->width + col, plane->width, intra);
}

namespace mpeg {

void write_block(const std::array<int32_t, 64>& values, uint8_t* out, uint64_t stride, bool intra) {
    for (int r = 0; r < 8; ++r, out += stride) {
        for (int c = 0; c < 8; ++c) {
            const int32_t v = values[8 * r + c] + (intra ? 0 : out[c]);
            out[c] = static_cast<uint8_t>(std::clamp(v, 0, 255));
        }
    }
}

}  // namespace mpeg

void VideoDecoder::predict_macroblock(uint64_t reference, int32_t h, int32_t v, bool average) {
    // Predicting a picture from itself would read samples it is overwriting.
    if (reference == current || reference >= frames.size() || current >= frames.size()) return;
    const VideoFrame& source = frames[reference];
    VideoFrame& destination = frames[current];
    predict_block(source.y, destination.y, 16, h, v, average);
    predict_block(source.cr, destination.cr, 8, h / 2, v / 2, average);
    predict_block(source.cb, destination.cb, 8, h / 2, v / 2, average);
}

void VideoDecoder::predict_block(const Plane& source, Plane& destination, uint32_t size, int32_t h, int32_t v,
                                 bool average) {
    const int64_t n = size;
    const int64_t w = static_cast<int64_t>(mb_width) * n;
    const int64_t row = static_cast<int64_t>(mb_row);
    const int64_t col = static_cast<int64_t>(mb_col);
    const int64_t d = (row * w + col) * n;
    const int64_t s = (row * n + (v >> 1)) * w + col * n + (h >> 1);
    const int64_t limit = w * ((static_cast<int64_t>(mb_height) - 1) * n + 1) - n;
    if (d < 0 || s < 0 || d > limit || s > limit) return;
    const bool half_h = (h & 1) != 0;
    const bool half_v = (v & 1) != 0;
    // A half-sample read takes one more row or column; it must stay inside the plane too.
    const int64_t last = s + (n - 1 + (half_v ? 1 : 0)) * w + (n - 1 + (half_h ? 1 : 0));
    const int64_t plane_size = static_cast<int64_t>(source.data.size());
    if (last >= plane_size || d + (n - 1) * w + (n - 1) >= static_cast<int64_t>(destination.data.size())) return;
    mpeg::predict_samples(source.data.data() + s, destination.data.data() + d, static_cast<uint64_t>(w), size,
                          half_h, half_v, average);
}

namespace mpeg {

namespace {

template <bool HalfH, bool HalfV>
inline void predict_kernel(const uint8_t* src, uint8_t* dst, uint64_t stride, uint32_t n, bool average) {
    for (uint32_t r = 0; r < n; ++r, src += stride, dst += stride) {
        for (uint32_t k = 0; k < n; ++k) {
            uint32_t p;
            if constexpr (HalfH && HalfV) {
                p = (src[k] + src[k + 1] + src[k + stride] + src[k + stride + 1] + 2u) >> 2;
            } else if constexpr (HalfV) {
                p = (src[k] + src[k + stride] + 1u) >> 1;
            } else if constexpr (HalfH) {
                p = (src[k] + src[k + 1] + 1u) >> 1;
            } else {
                p = src[k];
            }
            dst[k] = static_cast<uint8_t>(average ? (dst[k] + p + 1u) >> 1 : p);
        }
    }
}

}  // namespace

void predict_samples(const uint8_t* src, uint8_t* dst, uint64_t stride, uint32_t n, bool half_h, bool half_v,
                     bool average) {
    if (half_h && half_v) {
        predict_kernel<true, true>(src, dst, stride, n, average);
    } else if (half_v) {
        predict_kernel<false, true>(src, dst, stride, n, average);
    } else if (half_h) {
        predict_kernel<true, false>(src, dst, stride, n, average);
    } else {
        predict_kernel<false, false>(src, dst, stride, n, average);
    }
}

}  // namespace mpeg

}  // namespace vestrel
