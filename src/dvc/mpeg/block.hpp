// The sample-level pieces of block reconstruction and motion compensation, kept apart from the
// decoder state so they can be checked on their own.
#pragma once

#include <array>
#include <cstdint>

namespace vestrel::mpeg {

inline constexpr int32_t kCoefficientMin = -2048;
inline constexpr int32_t kCoefficientMax = 2047;

// One coefficient of level `level` (-256..255) weighted by `weight` of its matrix, as ISO 11172-2
// reconstructs it.
int32_t dequantise(int32_t level, uint32_t quantizer_scale, uint8_t weight, bool intra);

// In place, on premultiplied coefficients in raster order: a column pass, then a row pass that
// scales the results back down by 256.
void inverse_dct(std::array<int32_t, 64>& values);

// Stores an 8 x 8 block (intra) or adds it to the prediction already there, clamped to 0-255.
void write_block(const std::array<int32_t, 64>& values, uint8_t* out, uint64_t stride, bool intra);

// An n x n prediction from `src` into `dst` (both with row stride `stride`), with half-sample
// interpolation in either direction and optional averaging with what `dst` holds.
void predict_samples(const uint8_t* src, uint8_t* dst, uint64_t stride, uint32_t n, bool half_h, bool half_v,
                     bool average);

}  // namespace vestrel::mpeg
