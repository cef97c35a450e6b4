// MCD212 line renderer: decodes planes A and B from the start-of-frame bank copies, applies
// transparency, mixes the planes by their weights over the backdrop or the external video line,
// draws the cursor and writes the row pair into the frame buffer.
//
// The coding method, file type and transparency rule are chosen once per line; the pixel loops
// below them are branch-light and work on stack buffers only. The DYUV conversion and the
// mixers work on SSE2 lanes, which every x86-64 host has; there is no scalar fallback.
#include <algorithm>
#include <array>
#include <cstring>

#if !defined(__SSE2__)
#error "The MCD212 line renderer needs SSE2 (any x86-64 host)."
#endif
#include <emmintrin.h>

#include "machine/mcd212.hpp"

namespace vestrel {

namespace {

constexpr uint32_t W = Mcd212::kLineWidth;

using Line = std::array<uint32_t, W>;
using Flags = std::array<uint8_t, W>;

// Backdrop (and cursor) colours: bit 2 red, bit 1 green, bit 0 blue; half or full intensity.
constexpr std::array<uint32_t, 16> kBackdrop = [] {
    std::array<uint32_t, 16> t{};
    for (uint32_t i = 0; i < 16; ++i) {
        const uint32_t level = i < 8 ? 0x7B : 0xF9;
        t[i] = 0xFF000000u | (((i >> 2) & 1) * level << 16) | (((i >> 1) & 1) * level << 8) | ((i & 1) * level);
    }
    return t;
}();

constexpr uint32_t kCodingOff = 0;
constexpr uint32_t kCodingClut8 = 1;  // plane B: RGB555
constexpr uint32_t kCodingClut7 = 3;
constexpr uint32_t kCodingClut77 = 4;  // plane A only
constexpr uint32_t kCodingDyuv = 5;
constexpr uint32_t kCodingClut4 = 11;

constexpr uint32_t kDyuvBytesPerLine = 384;
constexpr uint32_t kIcmClut77High = 1u << 22;
constexpr uint32_t kIcmExternalVideo = 0x41010;
constexpr uint32_t kTcRearPlaneBlack = 1u << 23;
constexpr uint32_t kMosaicHoldEnable = 1u << 23;
constexpr uint32_t kCursorEnable = 1u << 23;
constexpr uint32_t kCursorBlinkInvert = 1u << 22;
constexpr uint32_t kCursorHighResolution = 1u << 15;
constexpr uint32_t kColourMask = 0xFCFCFC;
constexpr uint32_t kPlaneBlackColour = Mcd212::kPlaneBlack;

enum class FileType : uint8_t { Normal, RunLength, Mosaic };

// One pixel pair decoded from a source byte: d for even pixels, t for odd ones, and the RGB555
// transparency bit.
struct PixelPair {
    uint32_t d;
    uint32_t t;
    uint8_t flag;
};

// Decodes run-coded bytes from `bank` starting at `address` until the line is full; returns the
// number of bytes consumed. `lookup(byte, index)` maps a colour byte (the index-th byte read) to
// its pixel pair; only RGB555 (kFlags) keeps the pair's transparency bit in `flags`.
template <FileType kFile, bool kFlags, typename Lookup>
uint32_t decode_runs(const uint8_t* bank, uint32_t address, uint32_t mosaic_run, Lookup lookup,
                     Line& line, Flags& flags) {
    if constexpr (kFile == FileType::Normal) {
        const uint32_t start = address & Mcd212::kBankMask;
        if (start + W / 2 <= Mcd212::kBankSize) {  // the usual case: no wrap past the bank end
            const uint8_t* src = bank + start;
            for (uint32_t n = 0; n < W / 2; n += 2) {
                const PixelPair p0 = lookup(src[n], n);
                const PixelPair p1 = lookup(src[n + 1], n + 1);
                uint32_t* dst = &line[2 * n];
                dst[0] = p0.d;
                dst[1] = p0.t;
                dst[2] = p1.d;
                dst[3] = p1.t;
                if constexpr (kFlags) {
                    flags[2 * n] = flags[2 * n + 1] = p0.flag;
                    flags[2 * n + 2] = flags[2 * n + 3] = p1.flag;
                }
            }
            return W / 2;
        }
        for (uint32_t n = 0; n < W / 2; ++n) {
            const PixelPair pair = lookup(bank[(address + n) & Mcd212::kBankMask], n);
            line[2 * n] = pair.d;
            line[2 * n + 1] = pair.t;
            if constexpr (kFlags) flags[2 * n] = flags[2 * n + 1] = pair.flag;
        }
        return W / 2;
    }
    uint32_t pos = 0;
    uint32_t x = 0;
    while (x < W) {
        const uint8_t byte = bank[(address + pos) & Mcd212::kBankMask];
        const PixelPair pair = lookup(byte, pos);
        ++pos;
        uint32_t run = 2;
        if constexpr (kFile == FileType::RunLength) {
            if (byte & 0x80) {
                const uint8_t count = bank[(address + pos) & Mcd212::kBankMask];
                ++pos;
                run = count == 0 ? W : 2u * count;
            }
        } else if constexpr (kFile == FileType::Mosaic) {
            run = mosaic_run;
        }
        const uint32_t end = std::min(x + run, W);
        for (; x + 1 < end; x += 2) {
            line[x] = pair.d;
            line[x + 1] = pair.t;
            if constexpr (kFlags) flags[x] = flags[x + 1] = pair.flag;
        }
        if (x < end) {  // runs are even, so this only guards the line end
            line[x] = pair.d;
            if constexpr (kFlags) flags[x] = pair.flag;
            ++x;
        }
    }
    return pos;
}

template <bool kFlags, typename Lookup>
uint32_t decode_file(FileType file, const uint8_t* bank, uint32_t address, uint32_t mosaic_run,
                     Lookup lookup, Line& line, Flags& flags) {
    switch (file) {
        case FileType::RunLength:
            return decode_runs<FileType::RunLength, kFlags>(bank, address, mosaic_run, lookup, line, flags);
        case FileType::Mosaic:
            return decode_runs<FileType::Mosaic, kFlags>(bank, address, mosaic_run, lookup, line, flags);
        case FileType::Normal:
            break;
    }
    return decode_runs<FileType::Normal, kFlags>(bank, address, mosaic_run, lookup, line, flags);
}

// Per-plane inputs of one line.
struct PlaneSetup {
    bool plane_b;
    uint16_t* dcr;
    uint16_t* vsr;
    uint16_t ddr;
    const uint8_t* bank;
    uint32_t coding;
    uint32_t condition;  // transparency condition byte
    uint32_t dyuv_start;
    uint32_t transparent_colour;
    uint32_t mask_colour;
};

uint32_t line_address(uint16_t dcr, uint16_t vsr) {
    return (static_cast<uint32_t>(dcr & Mcd212::kDcrAddressHigh) << 16) | vsr;
}

void write_back_address(uint16_t& dcr, uint16_t& vsr, uint32_t address) {
    vsr = static_cast<uint16_t>(address & 0xFFFF);
    dcr = static_cast<uint16_t>((dcr & ~Mcd212::kDcrAddressHigh) | ((address >> 16) & Mcd212::kDcrAddressHigh));
}

// What the caller knows of a plane's transparency flags without reading them: all clear, all
// set, or mixed (read them).
enum class FlagState : uint8_t { Clear, Set, Mixed };

FlagState fill_uniform(Flags& flags, uint32_t condition) {
    const bool transparent = (condition & 0xF) == 0;
    flags.fill(transparent ? 1 : 0);
    return transparent ? FlagState::Set : FlagState::Clear;
}

// Region-flag transparency: flag 0 when the condition's bit 0 is set, else flag 1.
void fill_region(Flags& flags, const Mcd212& m, uint32_t condition) {
    const auto& region = m.region_flags[(condition & 1) ? 0 : 1];
    const uint8_t inv = (condition >> 3) & 1;
    for (uint32_t x = 0; x < W; ++x) flags[x] = region[x] ^ inv;
}

// Colour-key transparency, optionally OR'd with the region rule.
void fill_key(Flags& flags, const Mcd212& m, const Line& line, const PlaneSetup& p, bool with_region) {
    const uint32_t mask = ~p.mask_colour & kColourMask;
    const uint32_t key = p.transparent_colour & mask;
    const uint8_t inv = (p.condition >> 3) & 1;
    for (uint32_t x = 0; x < W; ++x) flags[x] = static_cast<uint8_t>(((line[x] & mask) == key) ^ inv);
    if (with_region) {
        const auto& region = m.region_flags[(p.condition & 1) ? 0 : 1];
        for (uint32_t x = 0; x < W; ++x) flags[x] |= region[x] ^ inv;
    }
}

constexpr uint32_t kDyuvBytesRead = kDyuvBytesPerLine + 2;  // the next pair is read for the chroma

// trunc(x / 256) for each 16-bit lane, rounding toward zero as the chroma tables do.
inline __m128i div256_toward_zero(__m128i x) {
    const __m128i sign = _mm_srai_epi16(x, 15);
    const __m128i magnitude = _mm_sub_epi16(_mm_xor_si128(x, sign), sign);
    const __m128i q = _mm_srli_epi16(magnitude, 8);
    return _mm_sub_epi16(_mm_xor_si128(q, sign), sign);
}

// Eight Y, U and V values (16-bit lanes, U and V already less 128) to eight pixels, each
// stored twice. The chroma products are split as factor = 256 + rest where needed
// (444 = 256 + 188, 351 = 256 + 95) so they fit 16-bit lanes; d and rest x d / 256 share a
// sign, so the truncated sum equals the table's value.
inline void yuv8_to_rgb(__m128i y, __m128i u, __m128i v, uint32_t* out) {
    const __m128i r = _mm_add_epi16(_mm_add_epi16(y, v), div256_toward_zero(_mm_mullo_epi16(v, _mm_set1_epi16(95))));
    const __m128i g = _mm_sub_epi16(_mm_sub_epi16(y, div256_toward_zero(_mm_mullo_epi16(u, _mm_set1_epi16(86)))),
                                    div256_toward_zero(_mm_mullo_epi16(v, _mm_set1_epi16(179))));
    const __m128i b = _mm_add_epi16(_mm_add_epi16(y, u), div256_toward_zero(_mm_mullo_epi16(u, _mm_set1_epi16(188))));
    const __m128i r8 = _mm_packus_epi16(r, r);  // the saturation is the 0-255 clamp
    const __m128i g8 = _mm_packus_epi16(g, g);
    const __m128i b8 = _mm_packus_epi16(b, b);
    const __m128i bg = _mm_unpacklo_epi8(b8, g8);
    const __m128i ra = _mm_unpacklo_epi8(r8, _mm_set1_epi8(-1));
    const __m128i lo = _mm_unpacklo_epi16(bg, ra);
    const __m128i hi = _mm_unpackhi_epi16(bg, ra);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi32(lo, lo));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_unpackhi_epi32(lo, lo));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpacklo_epi32(hi, hi));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm_unpackhi_epi32(hi, hi));
}

// The chroma of eight pixel pairs: each pair's own value, then the mean with the next pair's
// (rounded down), interleaved; 16-bit lanes less 128, first the pairs 0-3, then 4-7.
struct ChromaLanes {
    __m128i low;
    __m128i high;
};
inline ChromaLanes chroma16(const uint8_t* pairs) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i own = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(pairs)), zero);
    const __m128i next = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(pairs + 1)), zero);
    const __m128i mean = _mm_srli_epi16(_mm_add_epi16(own, next), 1);
    const __m128i bias = _mm_set1_epi16(128);
    return {_mm_sub_epi16(_mm_unpacklo_epi16(own, mean), bias), _mm_sub_epi16(_mm_unpackhi_epi16(own, mean), bias)};
}

// Running DYUV sums packed in one word: Y in bits 0-20, U in 21-41, V in 42-62. A line adds
// at most 386 deltas of 255 to a field, below 2^21, so no field carries into the next and the
// low byte of each is its value modulo 256. An even byte steps Y and U, an odd byte Y and V.
constexpr uint32_t kDyuvUShift = 21;
constexpr uint32_t kDyuvVShift = 42;
constexpr std::array<uint64_t, 256> kDyuvEvenStep = [] {
    std::array<uint64_t, 256> t{};
    for (size_t b = 0; b < 256; ++b) t[b] = Mcd212::dyuv_delta_lower[b] | (uint64_t{Mcd212::dyuv_delta_upper[b]} << kDyuvUShift);
    return t;
}();
constexpr std::array<uint64_t, 256> kDyuvOddStep = [] {
    std::array<uint64_t, 256> t{};
    for (size_t b = 0; b < 256; ++b) t[b] = Mcd212::dyuv_delta_lower[b] | (uint64_t{Mcd212::dyuv_delta_upper[b]} << kDyuvVShift);
    return t;
}();

void decode_dyuv(const PlaneSetup& p, uint32_t address, Line& line) {
    // Read straight from the bank unless the line wraps past its end.
    std::array<uint8_t, kDyuvBytesRead> wrapped;
    const uint8_t* src = p.bank + (address & Mcd212::kBankMask);
    if ((address & Mcd212::kBankMask) + kDyuvBytesRead > Mcd212::kBankSize) {
        for (uint32_t n = 0; n < kDyuvBytesRead; ++n) wrapped[n] = p.bank[(address + n) & Mcd212::kBankMask];
        src = wrapped.data();
    }
    // First the running sums: Y per byte (two pixels), U and V per byte pair (four pixels) plus
    // the next pair's, which the last chroma mean needs; then the colour conversion.
    constexpr uint32_t kPairs = W / 4;
    alignas(16) std::array<uint8_t, W / 2> ys;
    alignas(16) std::array<uint8_t, kPairs + 8> us;  // the SIMD means read up to us[kPairs]
    alignas(16) std::array<uint8_t, kPairs + 8> vs;
    uint64_t acc = ((p.dyuv_start >> 16) & 0xFF) | (uint64_t{(p.dyuv_start >> 8) & 0xFF} << kDyuvUShift) |
                   (uint64_t{p.dyuv_start & 0xFF} << kDyuvVShift);
    for (uint32_t j = 0; j < kPairs; ++j) {
        acc += kDyuvEvenStep[src[2 * j]];
        ys[2 * j] = static_cast<uint8_t>(acc);
        us[j] = static_cast<uint8_t>(acc >> kDyuvUShift);
        acc += kDyuvOddStep[src[2 * j + 1]];
        ys[2 * j + 1] = static_cast<uint8_t>(acc);
        vs[j] = static_cast<uint8_t>(acc >> kDyuvVShift);
    }
    us[kPairs] = static_cast<uint8_t>((acc + kDyuvEvenStep[src[2 * kPairs]]) >> kDyuvUShift);
    vs[kPairs] = static_cast<uint8_t>((acc + kDyuvOddStep[src[2 * kPairs + 1]]) >> kDyuvVShift);
    const __m128i zero = _mm_setzero_si128();
    for (uint32_t j = 0; j < kPairs; j += 8) {
        const __m128i y = _mm_load_si128(reinterpret_cast<const __m128i*>(&ys[2 * j]));
        const auto [u_low, u_high] = chroma16(&us[j]);
        const auto [v_low, v_high] = chroma16(&vs[j]);
        yuv8_to_rgb(_mm_unpacklo_epi8(y, zero), u_low, v_low, &line[4 * j]);
        yuv8_to_rgb(_mm_unpackhi_epi8(y, zero), u_high, v_high, &line[4 * j + 16]);
    }
}

// Decodes one enabled plane into `line` and `flags` and writes the address reached back.
// Plane B's RGB555 also advances plane A's address by the bytes it took from bank 0.
FlagState decode_plane(Mcd212& m, const PlaneSetup& p, Line& line, Flags& flags) {
    const uint32_t address = line_address(*p.dcr, *p.vsr);
    if (p.coding == kCodingOff || address == 0) {
        line.fill(Mcd212::kPlaneBlack);
        return fill_uniform(flags, p.condition);
    }
    const uint32_t k = p.condition & 7;

    if (p.coding == kCodingDyuv) {
        decode_dyuv(p, address, line);
        FlagState state = FlagState::Mixed;
        if (k >= 3 && k <= 6) {
            fill_region(flags, m, p.condition);
        } else {
            state = fill_uniform(flags, p.condition);
        }
        write_back_address(*p.dcr, *p.vsr, address + kDyuvBytesPerLine);
        return state;
    }

    FileType file = FileType::Normal;
    const uint32_t file_bits = p.ddr & Mcd212::kDdrFileTypeMask;
    if (file_bits == Mcd212::kDdrFileRunLength) file = FileType::RunLength;
    if (file_bits == Mcd212::kDdrFileMosaic) file = FileType::Mosaic;
    const uint32_t mosaic_run = 2u << (((p.ddr >> 10) & 3) + 1);
    const auto& clut = m.clut;

    uint32_t consumed = 0;
    bool rgb555 = false;
    if (!p.plane_b && (p.coding == kCodingClut8 || p.coding == kCodingClut7 || p.coding == kCodingClut77)) {
        const uint32_t mask = p.coding == kCodingClut8 ? 0xFF : 0x7F;
        const uint32_t high = (p.coding == kCodingClut77 && (m.image_coding_method & kIcmClut77High)) ? 0x80 : 0;
        consumed = decode_file<false>(file, p.bank, address, mosaic_run, [&](uint8_t byte, uint32_t) {
            const uint32_t c = clut[(byte & mask) | high];
            return PixelPair{c, c, 0};
        }, line, flags);
    } else if (p.plane_b && p.coding == kCodingClut7) {
        consumed = decode_file<false>(file, p.bank, address, mosaic_run, [&](uint8_t byte, uint32_t) {
            const uint32_t c = clut[128 + (byte & 0x7F)];
            return PixelPair{c, c, 0};
        }, line, flags);
    } else if (p.coding == kCodingClut4) {
        const uint32_t mask = file == FileType::RunLength ? 0x7 : 0xF;
        const uint32_t base = p.plane_b ? 128 : 0;
        consumed = decode_file<false>(file, p.bank, address, mosaic_run, [&](uint8_t byte, uint32_t) {
            return PixelPair{clut[base + ((byte >> 4) & mask)], clut[base + (byte & mask)], 0};
        }, line, flags);
    } else if (p.plane_b && p.coding == kCodingClut8) {
        // RGB555: the high byte comes from plane A's bank at plane A's current address.
        rgb555 = true;
        const uint8_t* high_bank = m.bank0_copy.data();
        const uint32_t high_address = line_address(m.dcr1, m.vsr1);
        consumed = decode_file<true>(file, p.bank, address, mosaic_run, [&](uint8_t low, uint32_t index) {
            const uint8_t high = high_bank[(high_address + index) & Mcd212::kBankMask];
            const uint32_t r = (high & 0x7Cu) << 1;
            const uint32_t g = ((uint32_t{low} >> 2) | (uint32_t{high} << 6)) & 0xF8u;
            const uint32_t b = (uint32_t{low} << 3) & 0xFFu;
            const uint32_t c = 0xFF000000u | (r << 16) | (g << 8) | b;
            return PixelPair{c, c, static_cast<uint8_t>(high >> 7)};
        }, line, flags);
        write_back_address(m.dcr1, m.vsr1, high_address + consumed);
    } else {
        const uint32_t c = clut[0];
        consumed = decode_file<false>(file, p.bank, address, mosaic_run, [&](uint8_t, uint32_t) {
            return PixelPair{c, c, 0};
        }, line, flags);
    }

    FlagState state = FlagState::Mixed;
    switch (k) {
        case 1:
            if (rgb555) {
                state = fill_uniform(flags, p.condition);
            } else {
                fill_key(flags, m, line, p, false);
            }
            break;
        case 2:
            if (rgb555) {
                const uint8_t inv = (p.condition >> 3) & 1;
                for (auto& f : flags) f ^= inv;
            } else {
                state = fill_uniform(flags, p.condition);
            }
            break;
        case 3:
        case 4: fill_region(flags, m, p.condition); break;
        case 5:
        case 6:
            if (rgb555) {
                fill_region(flags, m, p.condition);
            } else {
                fill_key(flags, m, line, p, true);
            }
            break;
        default: state = fill_uniform(flags, p.condition); break;
    }
    write_back_address(*p.dcr, *p.vsr, address + consumed);
    return state;
}

uint32_t hold_length(uint32_t mosaic, uint32_t coding) {
    const uint32_t factor = mosaic & 0xFF;
    const uint32_t hold = coding == kCodingClut4 ? factor : 2 * factor;
    return hold == 0 ? 1 : hold;
}

// Held plane lines for the pixel-hold mosaic (transparency and weights stay per pixel).
void apply_hold(Line& line, uint32_t hold) {
    for (uint32_t x = 0; x < W; x += hold) {
        const uint32_t c = line[x];
        const uint32_t end = std::min(x + hold, W);
        for (uint32_t i = x + 1; i < end; ++i) line[i] = c;
    }
}

// True when every byte of the line is non-zero (flags hold 0 or 1).
bool all_set(const Flags& flags) {
    uint64_t all = ~uint64_t{0};
    for (uint32_t x = 0; x < W; x += 8) {
        uint64_t word;
        std::memcpy(&word, flags.data() + x, sizeof word);
        all &= word;
    }
    return all == 0x0101010101010101ull;
}

// True when no byte of the line is set.
bool none_set(const Flags& flags) {
    uint64_t any = 0;
    for (uint32_t x = 0; x < W; x += 8) {
        uint64_t word;
        std::memcpy(&word, flags.data() + x, sizeof word);
        any |= word;
    }
    return any == 0;
}

bool opaque(FlagState state, const Flags& flags) {
    return state == FlagState::Clear || (state == FlagState::Mixed && none_set(flags));
}

// True when every pixel of the line has the same weight (each equals its right neighbour).
bool uniform(const std::array<uint8_t, W>& weights) {
    return std::memcmp(weights.data(), weights.data() + 1, W - 1) == 0;
}

// True when every odd byte equals the even byte before it.
bool pair_equal(const std::array<uint8_t, W>& bytes) {
    uint64_t differ = 0;
    for (uint32_t x = 0; x < W; x += 8) {
        uint64_t word;
        std::memcpy(&word, bytes.data() + x, sizeof word);
        differ |= (word ^ (word >> 8)) & 0x00FF00FF00FF00FFull;
    }
    return differ == 0;
}

struct MixInputs {
    const Line& plane_a;
    const Line& plane_b;
    const Flags& trans_a;
    const Flags& trans_b;
    const std::array<uint8_t, W>& weight_a;
    const std::array<uint8_t, W>& weight_b;
    const std::array<uint32_t, W>& external;
    uint32_t behind;
    bool use_external;
    bool rear_black;
    bool a_is_rear;
};

// Four pixels at a time. (s x 298 + 128) >> 8 is computed as s + ((s x 42 + 128) >> 8) to stay
// within 16-bit lanes; every component takes the same path, so the alpha byte is forced after.
inline __m128i spread4(const uint8_t* p) {  // each of four bytes repeated four times
    int32_t word;
    std::memcpy(&word, p, sizeof word);
    const __m128i v = _mm_cvtsi32_si128(word);
    const __m128i pairs = _mm_unpacklo_epi8(v, v);
    return _mm_unpacklo_epi16(pairs, pairs);
}

inline __m128i select(__m128i mask, __m128i yes, __m128i no) {
    return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

inline __m128i weighed_sum(__m128i la, __m128i wa, __m128i lb, __m128i wb) {
    const __m128i cap = _mm_set1_epi16(255);
    const __m128i pa = _mm_min_epi16(_mm_srli_epi16(_mm_mullo_epi16(la, wa), 6), cap);
    const __m128i pb = _mm_min_epi16(_mm_srli_epi16(_mm_mullo_epi16(lb, wb), 6), cap);
    const __m128i s = _mm_min_epi16(_mm_add_epi16(pa, pb), _mm_set1_epi16(239));
    const __m128i fraction = _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(s, _mm_set1_epi16(42)), _mm_set1_epi16(128)), 8);
    return _mm_add_epi16(s, fraction);  // at most 278; the pack saturates to 255
}

// Bytes 0, 2, 4 and 6 from `p`, each repeated four times (the even pixels of eight).
inline __m128i spread_even4(const uint8_t* p) {
    int64_t word;
    std::memcpy(&word, p, sizeof word);
    const __m128i v = _mm_and_si128(_mm_cvtsi64_si128(word), _mm_set1_epi16(0x00FF));
    const __m128i even = _mm_packus_epi16(v, v);
    const __m128i pairs = _mm_unpacklo_epi8(even, even);
    return _mm_unpacklo_epi16(pairs, pairs);
}

inline __m128i even_pixels(const uint32_t* p) {
    const __m128 first = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    const __m128 second = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4)));
    return _mm_castps_si128(_mm_shuffle_ps(first, second, _MM_SHUFFLE(2, 0, 2, 0)));
}

// With kPairs every odd pixel's inputs equal its even neighbour's (the caller checked), so
// only the even pixels are mixed and each result fills its pair. kUniform: one weight per plane
// for the whole line; kOpaque: no transparent pixel in either plane.
template <bool kPairs, bool kUniform, bool kOpaque>
void mix_line(const MixInputs& in, uint32_t* out) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i black = _mm_set1_epi32(static_cast<int32_t>(kPlaneBlackColour));
    const __m128i behind = _mm_set1_epi32(static_cast<int32_t>(in.behind));
    const __m128i alpha = _mm_set1_epi32(static_cast<int32_t>(0xFF000000u));
    const __m128i sixteen = _mm_set1_epi8(16);
    const __m128i line_wa = _mm_set1_epi16(in.weight_a[0]);
    const __m128i line_wb = _mm_set1_epi16(in.weight_b[0]);
    constexpr uint32_t kStep = kPairs ? 8 : 4;
    for (uint32_t x = 0; x < W; x += kStep) {
        __m128i ta = zero;
        __m128i tb = zero;
        __m128i a, b, wa, wb;
        if constexpr (kPairs) {
            if constexpr (!kOpaque) {
                ta = _mm_cmpgt_epi8(spread_even4(&in.trans_a[x]), zero);
                tb = _mm_cmpgt_epi8(spread_even4(&in.trans_b[x]), zero);
            }
            a = even_pixels(&in.plane_a[x]);
            b = even_pixels(&in.plane_b[x]);
            if constexpr (!kUniform) {
                wa = spread_even4(&in.weight_a[x]);
                wb = spread_even4(&in.weight_b[x]);
            }
        } else {
            if constexpr (!kOpaque) {
                ta = _mm_cmpgt_epi8(spread4(&in.trans_a[x]), zero);  // all ones: transparent
                tb = _mm_cmpgt_epi8(spread4(&in.trans_b[x]), zero);
            }
            a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&in.plane_a[x]));
            b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&in.plane_b[x]));
            if constexpr (!kUniform) {
                wa = spread4(&in.weight_a[x]);
                wb = spread4(&in.weight_b[x]);
            }
        }
        if constexpr (!kOpaque) {
            a = select(ta, black, a);
            b = select(tb, black, b);
        }
        if (in.rear_black) {
            const __m128i both = _mm_andnot_si128(_mm_or_si128(ta, tb), _mm_set1_epi32(-1));
            if (in.a_is_rear) {
                a = select(both, black, a);
            } else {
                b = select(both, black, b);
            }
        }
        const __m128i la = _mm_subs_epu8(a, sixteen);
        const __m128i lb = _mm_subs_epu8(b, sixteen);
        __m128i wa_low = line_wa, wa_high = line_wa, wb_low = line_wb, wb_high = line_wb;
        if constexpr (!kUniform) {
            wa_low = _mm_unpacklo_epi8(wa, zero);
            wa_high = _mm_unpackhi_epi8(wa, zero);
            wb_low = _mm_unpacklo_epi8(wb, zero);
            wb_high = _mm_unpackhi_epi8(wb, zero);
        }
        const __m128i low = weighed_sum(_mm_unpacklo_epi8(la, zero), wa_low, _mm_unpacklo_epi8(lb, zero), wb_low);
        const __m128i high = weighed_sum(_mm_unpackhi_epi8(la, zero), wa_high, _mm_unpackhi_epi8(lb, zero), wb_high);
        __m128i result = _mm_or_si128(_mm_packus_epi16(low, high), alpha);
        if constexpr (kPairs) {  // no external video here: it varies per pixel
            if constexpr (!kOpaque) result = select(_mm_and_si128(ta, tb), behind, result);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(&out[x]), _mm_unpacklo_epi32(result, result));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(&out[x + 4]), _mm_unpackhi_epi32(result, result));
        } else {
            if constexpr (!kOpaque) {
                const __m128i background =
                    in.use_external ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(&in.external[x])) : behind;
                result = select(_mm_and_si128(ta, tb), background, result);
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(&out[x]), result);
        }
    }
}

template <bool kPairs>
void mix_line(const MixInputs& in, bool uniform_weights, bool opaque, uint32_t* out) {
    if (uniform_weights) {
        opaque ? mix_line<kPairs, true, true>(in, out) : mix_line<kPairs, true, false>(in, out);
    } else {
        opaque ? mix_line<kPairs, false, true>(in, out) : mix_line<kPairs, false, false>(in, out);
    }
}

void mix_line(const MixInputs& in, bool pairs, bool uniform_weights, bool opaque, uint32_t* out) {
    if (pairs) {
        mix_line<true>(in, uniform_weights, opaque, out);
    } else {
        mix_line<false>(in, uniform_weights, opaque, out);
    }
}

// One plane over a fully transparent other plane at one weight: the other plane adds nothing,
// so only the shown plane is weighed. `external` is null when the backdrop shows behind.
inline __m128i weighed_one(__m128i l, __m128i w) {
    const __m128i p = _mm_min_epi16(_mm_srli_epi16(_mm_mullo_epi16(l, w), 6), _mm_set1_epi16(239));
    const __m128i fraction = _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(p, _mm_set1_epi16(42)), _mm_set1_epi16(128)), 8);
    return _mm_add_epi16(p, fraction);
}

template <bool kPairs, bool kOpaque>
void show_one_plane(const Line& shown, const Flags& trans, uint32_t weight, const uint32_t* external,
                    uint32_t behind_colour, uint32_t* out) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i w = _mm_set1_epi16(static_cast<int16_t>(weight));
    const __m128i behind = _mm_set1_epi32(static_cast<int32_t>(behind_colour));
    const __m128i alpha = _mm_set1_epi32(static_cast<int32_t>(0xFF000000u));
    const __m128i sixteen = _mm_set1_epi8(16);
    constexpr uint32_t kStep = kPairs ? 8 : 4;
    for (uint32_t x = 0; x < W; x += kStep) {
        const __m128i a = kPairs ? even_pixels(&shown[x]) : _mm_loadu_si128(reinterpret_cast<const __m128i*>(&shown[x]));
        const __m128i l = _mm_subs_epu8(a, sixteen);
        __m128i result = _mm_or_si128(
            _mm_packus_epi16(weighed_one(_mm_unpacklo_epi8(l, zero), w), weighed_one(_mm_unpackhi_epi8(l, zero), w)), alpha);
        if constexpr (kPairs) {  // no external video here: it varies per pixel
            if constexpr (!kOpaque) result = select(_mm_cmpgt_epi8(spread_even4(&trans[x]), zero), behind, result);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(&out[x]), _mm_unpacklo_epi32(result, result));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(&out[x + 4]), _mm_unpackhi_epi32(result, result));
        } else {
            if constexpr (!kOpaque) {
                const __m128i background =
                    external ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(&external[x])) : behind;
                result = select(_mm_cmpgt_epi8(spread4(&trans[x]), zero), background, result);
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(&out[x]), result);
        }
    }
}

void show_one_plane(const Line& shown, const Flags& trans, uint32_t weight, const uint32_t* external,
                    uint32_t behind, bool pairs, bool opaque, uint32_t* out) {
    if (pairs) {
        opaque ? show_one_plane<true, true>(shown, trans, weight, external, behind, out)
               : show_one_plane<true, false>(shown, trans, weight, external, behind, out);
    } else {
        opaque ? show_one_plane<false, true>(shown, trans, weight, external, behind, out)
               : show_one_plane<false, false>(shown, trans, weight, external, behind, out);
    }
}

}  // namespace

void Mcd212::render_scanline(uint64_t line) {
    if (!is_active_line(line)) return;
    const uint32_t first = first_active_line();
    const uint32_t count = active_line_count();
    const auto i = static_cast<uint32_t>(line - first);

    Line plane_a;
    Line plane_b;
    Flags trans_a;
    Flags trans_b;
    // A disabled plane stays FlagState::Set, which makes it `none` below; its line and flags
    // are filled only where a mixer reads them.

    const uint32_t coding_a = image_coding_method & 0xF;
    const uint32_t coding_b = (image_coding_method >> 8) & 0xF;

    FlagState state_a = FlagState::Set;
    FlagState state_b = FlagState::Set;
    const bool enabled_a = (dcr1 & kDcrDisplayEnable) != 0;
    const bool enabled_b = (dcr2 & kDcrDisplayEnable) != 0;
    if (enabled_a) {
        const PlaneSetup p{false, &dcr1, &vsr1, ddr1, bank0_copy.data(), coding_a,
                           transparency_control & 0xFF, dyuv_start_a, transparent_colour_a, mask_colour_a};
        state_a = decode_plane(*this, p, plane_a, trans_a);
    }
    if (enabled_b) {
        const PlaneSetup p{true, &dcr2, &vsr2, ddr2, bank1_copy.data(), coding_b,
                           (transparency_control >> 8) & 0xFF, dyuv_start_b, transparent_colour_b, mask_colour_b};
        state_b = decode_plane(*this, p, plane_b, trans_b);
    }

    if (state_a != FlagState::Set && (mosaic_a & kMosaicHoldEnable)) apply_hold(plane_a, hold_length(mosaic_a, coding_a));
    if (state_b != FlagState::Set && (mosaic_b & kMosaicHoldEnable)) apply_hold(plane_b, hold_length(mosaic_b, coding_b));

    // The line is mixed straight into its frame buffer row; the other row of the pair is filled
    // from it (or, interlaced, from the previous field) afterwards.
    const uint32_t r0 = (kPalActiveLines - count) + 2 * i;
    uint32_t* row0 = frame_buffer.data() + static_cast<size_t>(r0) * kFrameStride;
    uint32_t* row1 = row0 + kFrameStride;
    const bool interlace = (dcr1 & kDcrInterlace) != 0;
    const bool odd_field = (csr1r & kCsr1rFieldParity) != 0;
    uint32_t* out = (interlace && !odd_field) ? row1 : row0;

    // Mix.
    const bool use_external = (image_coding_method & kIcmExternalVideo) != 0;
    const uint32_t behind = kBackdrop[backdrop_colour & 0xF];
    const bool none_a = state_a == FlagState::Set || (state_a == FlagState::Mixed && all_set(trans_a));
    const bool none_b = state_b == FlagState::Set || (state_b == FlagState::Mixed && all_set(trans_b));
    // A blank line (no plane, no external video, no cursor) whose rows already hold the
    // backdrop colour has nothing to write: most lines of a static screen are such.
    const bool blank = none_a && none_b && !use_external && !interlace && !(cursor_control & kCursorEnable);
    if (blank) {
        if (solid_rows_[r0] != behind || solid_rows_[r0 + 1] != behind) {
            std::fill_n(row0, W, behind);
            std::fill_n(row1, W, behind);
            solid_rows_[r0] = solid_rows_[r0 + 1] = behind;
        }
    } else {
        solid_rows_[r0] = solid_rows_[r0 + 1] = 0;
        if (none_a && none_b) {
            if (use_external) {
                std::copy(external_video.begin(), external_video.end(), out);
            } else {
                std::fill_n(out, W, behind);
            }
        } else if ((none_a || none_b) && uniform(none_a ? weight_b : weight_a)) {
            const Line& shown = none_a ? plane_b : plane_a;
            const Flags& shown_trans = none_a ? trans_b : trans_a;
            const uint32_t weight = none_a ? weight_b[0] : weight_a[0];
            // One plane over nothing at one weight. Its pairs repeat unless it is CLUT4 or a region
            // splits one.
            const FlagState state = none_a ? state_b : state_a;
            const bool pairs = !use_external && (none_a ? coding_b : coding_a) != kCodingClut4 &&
                               (state != FlagState::Mixed || pair_equal(shown_trans));
            show_one_plane(shown, shown_trans, weight, use_external ? external_video.data() : nullptr, behind, pairs,
                           opaque(state, shown_trans), out);
        } else {
            // The general mixer reads both planes, so a plane that was not decoded (its display
            // enable clear) is filled here as what it is: transparent everywhere.
            if (!enabled_a) {
                plane_a.fill(kPlaneBlackColour);
                trans_a.fill(1);
            }
            if (!enabled_b) {
                plane_b.fill(kPlaneBlackColour);
                trans_b.fill(1);
            }
            // Every coding but CLUT4 repeats each decoded value over a pixel pair, and so do the
            // pixel-hold mosaics of those codings; regions at odd positions can still split a pair.
            const bool pairs = !use_external && coding_a != kCodingClut4 && coding_b != kCodingClut4 &&
                               (state_a != FlagState::Mixed || pair_equal(trans_a)) &&
                               (state_b != FlagState::Mixed || pair_equal(trans_b)) && pair_equal(weight_a) &&
                               pair_equal(weight_b);
            mix_line({plane_a, plane_b, trans_a, trans_b, weight_a, weight_b, external_video, behind, use_external,
                      (transparency_control & kTcRearPlaneBlack) != 0, (plane_order & 1) != 0},
                     pairs, uniform(weight_a) && uniform(weight_b), opaque(state_a, trans_a) && opaque(state_b, trans_b), out);
        }

        // Cursor.
        if (cursor_control & kCursorEnable) {
            uint32_t index = cursor_control & 0xF;
            const bool visible = !blink_off || (cursor_control & kCursorBlinkInvert);
            if (blink_off) index ^= 7;
            const int64_t row = static_cast<int64_t>(line) - ((cursor_position >> 12) & 0x3FF) - first;
            if (visible && row >= 0 && row < 16) {
                const uint32_t colour = kBackdrop[index];
                const uint16_t pattern = cursor_pattern[static_cast<size_t>(row)];
                const bool wide = (cursor_control & kCursorHighResolution) == 0;
                const uint32_t origin = cursor_position & 0x3FF;
                for (uint32_t j = 0; j < 16; ++j) {
                    if (!(pattern & (0x8000u >> j))) continue;
                    const uint32_t x = origin + (wide ? 2 * j : j);
                    if (x < W) out[x] = colour;
                    if (wide && x + 1 < W) out[x + 1] = colour;
                }
            }
        }

        // The other row of the pair.
        if (interlace) {
            uint32_t* previous = previous_field.data() + static_cast<size_t>(i) * kLineWidth;
            std::memcpy(out == row0 ? row1 : row0, previous, W * sizeof(uint32_t));
            std::memcpy(previous, out, W * sizeof(uint32_t));
        } else {
            std::memcpy(row1, row0, W * sizeof(uint32_t));
        }

    }

    const uint32_t last = first + count - 1;
    if (video_mode == VideoMode::Ntsc) {
        const uint32_t border_rows = kPalActiveLines - count;  // 40
        if (line == first) {
            std::fill_n(frame_buffer.begin(), static_cast<size_t>(border_rows) * kFrameStride, kOpaqueBlack);
            std::fill_n(solid_rows_.begin(), border_rows, 0u);
        }
        if (line == last) {
            std::fill(frame_buffer.begin() + static_cast<ptrdiff_t>((kFrameHeight - border_rows) * kFrameStride),
                      frame_buffer.end(), kOpaqueBlack);
            std::fill(solid_rows_.end() - border_rows, solid_rows_.end(), 0u);
        }
    }
    if (line == last) csr1r = static_cast<uint8_t>(csr1r ^ kCsr1rFieldParity);
}

}  // namespace vestrel
