// Writes the demo disc that demo.rom plays, as a raw 2,352-byte-sector image:
//   demo_disc_writer OUT.bin
// LBA 0-15 are empty. From LBA 16 one file (file 1) interleaves, in 304 sectors:
// - every 8th sector (0, 8, ..., 296): real-time sound, channel 1, form 2, 4-bit mono ADPCM at
//   37,800 Hz, so that 4,032 samples every 8 sectors play at exactly the disc's rate;
// - in the other slots, first the picture, channel 0, form 1, 2,048 bytes a sector: one sector
//   with its 256-entry palette (R, G, B bytes), then 384 x 280 CLUT8 pixels, row by row (the last
//   sector padded with zeros);
// - then filler sectors on channel 2, which the player filters out; the last one ends the file
//   (submode end of file), so the player starts again from LBA 16.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <span>
#include <string_view>
#include <vector>

#include "../machine/chd_writer.hpp"

namespace {

using vestrel::test::kSectorBytes;
using Sector = std::array<uint8_t, kSectorBytes>;

constexpr uint32_t kFirstLba = 16;
constexpr uint32_t kSlots = 304;
constexpr uint32_t kAudioEvery = 8;
constexpr int kWidth = 384;
constexpr int kHeight = 280;
constexpr int kSampleRate = 37'800;
constexpr size_t kSamplesPerSector = 4'032;  // 18 sound groups x 8 units x 28 samples

// ---- the picture: a sunset over the sea, with the program's name in the sky ----

struct Rgb {
    uint8_t r, g, b;
};

// Palette entries by use. Components stay within video levels 16-235.
constexpr int kSky = 0;        // 0-127: sky, top to horizon
constexpr int kSea = 128;      // 128-191: sea, horizon to bottom
constexpr int kSun = 192;      // 192-223: sun, centre to rim
constexpr int kGlint = 224;    // 224-239: the sun's glitter on the water
constexpr int kLetter = 240;   // 240: letters; 241: their shadow

Rgb mix(Rgb a, Rgb b, double t) {
    auto lerp = [t](uint8_t x, uint8_t y) { return static_cast<uint8_t>(std::lround(x + (y - x) * t)); };
    return {lerp(a.r, b.r), lerp(a.g, b.g), lerp(a.b, b.b)};
}

std::array<Rgb, 256> make_palette() {
    std::array<Rgb, 256> p{};
    for (int i = 0; i < 128; ++i) {
        const double t = i / 127.0;
        p[kSky + i] = t < 0.6 ? mix({24, 28, 96}, {180, 72, 120}, t / 0.6)
                              : mix({180, 72, 120}, {235, 170, 60}, (t - 0.6) / 0.4);
    }
    for (int i = 0; i < 64; ++i) p[kSea + i] = mix({120, 60, 96}, {16, 24, 60}, i / 63.0);
    for (int i = 0; i < 32; ++i) p[kSun + i] = mix({235, 235, 200}, {235, 140, 40}, i / 31.0);
    for (int i = 0; i < 16; ++i) p[kGlint + i] = mix({235, 200, 120}, {200, 110, 80}, i / 15.0);
    p[kLetter] = {235, 235, 235};
    p[kLetter + 1] = {40, 24, 64};
    return p;
}

// 5 x 7 letters, one row per byte, bit 4 leftmost.
struct Glyph {
    char c;
    std::array<uint8_t, 7> rows;
};
constexpr Glyph kFont[] = {
    {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}}, {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}}, {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}}, {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
};

const Glyph* glyph(char c) {
    for (const Glyph& g : kFont)
        if (g.c == c) return &g;
    return nullptr;
}

std::vector<uint8_t> make_pixels() {
    constexpr int horizon = 176;
    constexpr int sun_x = 192, sun_y = 170, sun_r = 44;
    std::vector<uint8_t> px(kWidth * kHeight);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            uint8_t v;
            const double d = std::hypot(x - sun_x, y - sun_y);
            if (y < horizon) {
                v = d < sun_r ? static_cast<uint8_t>(kSun + std::min(31, static_cast<int>(d * 32 / sun_r)))
                              : static_cast<uint8_t>(kSky + y * 127 / (horizon - 1));
            } else {
                const int depth = y - horizon;
                v = static_cast<uint8_t>(kSea + depth * 63 / (kHeight - 1 - horizon));
                // Glitter: broken bands under the sun, narrowing towards the horizon.
                const int half = 10 + depth * 4 / 5;
                const uint32_t h = static_cast<uint32_t>(x / 4 * 7919 + depth / 2 * 104729) * 2654435761u;
                const bool band = (depth / 2) % 2 == 0 && (h >> 28) % 3 != 0;
                if (std::abs(x - sun_x) < half && band)
                    v = static_cast<uint8_t>(kGlint + std::min(15, std::abs(x - sun_x) * 16 / half));
            }
            px[y * kWidth + x] = v;
        }
    }
    // "VESTREL" at 4x scale with a drop shadow, centred near the top.
    constexpr std::string_view name = "VESTREL";
    constexpr int scale = 4, advance = 6 * scale;
    const int left = (kWidth - static_cast<int>(name.size()) * advance + scale) / 2;
    constexpr int top = 28;
    for (int pass = 0; pass < 2; ++pass) {
        const int shift = pass == 0 ? 2 : 0;
        const uint8_t colour = pass == 0 ? kLetter + 1 : kLetter;
        for (size_t i = 0; i < name.size(); ++i) {
            const Glyph* g = glyph(name[i]);
            for (int row = 0; row < 7; ++row)
                for (int col = 0; col < 5; ++col)
                    if (g->rows[row] >> (4 - col) & 1)
                        for (int dy = 0; dy < scale; ++dy)
                            for (int dx = 0; dx < scale; ++dx)
                                px[(top + row * scale + dy + shift) * kWidth + left +
                                   static_cast<int>(i) * advance + col * scale + dx + shift] = colour;
        }
    }
    return px;
}

// ---- the sound: arpeggios of C, A minor, F and G, a quarter second a note ----

std::vector<int16_t> make_tune(size_t samples) {
    // MIDI note numbers; A4 (69) is 440 Hz.
    constexpr int notes[] = {72, 76, 79, 84, 69, 72, 76, 81, 65, 69, 72, 77, 67, 71, 74, 79};
    constexpr size_t note_len = kSampleRate / 4;
    std::vector<int16_t> out(samples, 0);
    for (size_t n = 0; n < std::size(notes); ++n) {
        const double f = 440.0 * std::pow(2.0, (notes[n] - 69) / 12.0);
        for (size_t i = 0; i < note_len; ++i) {
            const double t = static_cast<double>(i) / kSampleRate;
            // A plucked tone: quick attack, decay, and a faded tail so each note ends at rest.
            const double attack = std::min(1.0, t / 0.004);
            const double tail = std::min(1.0, static_cast<double>(note_len - i) / (0.01 * kSampleRate));
            const double env = attack * tail * std::exp(-t * 6.0);
            const double w = std::sin(2 * std::numbers::pi * f * t) + 0.3 * std::sin(4 * std::numbers::pi * f * t);
            const size_t at = n * note_len + i;
            if (at < samples) out[at] = static_cast<int16_t>(std::lround(11'000.0 * env * w));
        }
    }
    return out;
}

// 4-bit ADPCM: each 28-sample unit takes the filter and range that reproduce it best, the
// encoder running the decoder's own arithmetic so that its history matches the player's.
class AdpcmEncoder {
public:
    // One sector of 18 sound groups (2,304 bytes) from 4,032 mono samples.
    std::array<uint8_t, 2'304> sector(std::span<const int16_t, kSamplesPerSector> in) {
        std::array<uint8_t, 2'304> out{};
        for (size_t g = 0; g < 18; ++g) {
            uint8_t* group = out.data() + 128 * g;
            for (int u = 0; u < 8; ++u) {
                const auto unit = in.subspan(g * 224 + static_cast<size_t>(u) * 28, 28);
                uint8_t nibbles[28];
                const uint8_t param = encode_unit(unit, nibbles);
                // Units 0-3 at bytes 0-3 and 4-7, units 4-7 at 8-11 and 12-15.
                const int base = u < 4 ? u : 4 + u;
                group[base] = group[base + 4] = param;
                for (int k = 0; k < 28; ++k) {
                    uint8_t& b = group[16 + u / 2 + 4 * k];
                    b |= (u % 2 == 0) ? nibbles[k] : static_cast<uint8_t>(nibbles[k] << 4);
                }
            }
        }
        return out;
    }

private:
    static constexpr int kK0[4] = {0, 240, 460, 392};
    static constexpr int kK1[4] = {0, 0, -208, -220};
    int p1_ = 0, p2_ = 0;

    static int decode(int nibble, int range, int filter, int p1, int p2) {
        const int s = static_cast<int16_t>(nibble << 12) >> range;
        return std::clamp(s + ((kK0[filter] * p1 + kK1[filter] * p2 + 128) >> 8), -32'768, 32'767);
    }

    uint8_t encode_unit(std::span<const int16_t> unit, uint8_t* nibbles) {
        double best_error = -1;
        uint8_t best_param = 0;
        int best_p1 = 0, best_p2 = 0;
        uint8_t trial[28];
        for (int filter = 0; filter < 4; ++filter) {
            for (int range = 0; range <= 12; ++range) {
                int p1 = p1_, p2 = p2_;
                double error = 0;
                for (size_t k = 0; k < unit.size(); ++k) {
                    const int predicted = (kK0[filter] * p1 + kK1[filter] * p2 + 128) >> 8;
                    const double step = static_cast<double>(1 << (12 - range));
                    int n = static_cast<int>(std::lround((unit[k] - predicted) / step));
                    n = std::clamp(n, -8, 7);
                    const int v = decode(n & 0xF, range, filter, p1, p2);
                    error += static_cast<double>(v - unit[k]) * (v - unit[k]);
                    trial[k] = static_cast<uint8_t>(n & 0xF);
                    p2 = p1;
                    p1 = v;
                }
                if (best_error < 0 || error < best_error) {
                    best_error = error;
                    best_param = static_cast<uint8_t>(filter << 4 | range);
                    best_p1 = p1;
                    best_p2 = p2;
                    std::copy(trial, trial + 28, nibbles);
                }
            }
        }
        p1_ = best_p1;
        p2_ = best_p2;
        return best_param;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: demo_disc_writer OUT.bin\n");
        return 2;
    }
    const std::array<Rgb, 256> palette = make_palette();
    const std::vector<uint8_t> pixels = make_pixels();
    std::vector<std::vector<uint8_t>> picture;  // the 2,048-byte payloads, palette first
    picture.emplace_back(2'048, 0);
    for (int i = 0; i < 256; ++i) {
        picture[0][3 * i] = palette[i].r;
        picture[0][3 * i + 1] = palette[i].g;
        picture[0][3 * i + 2] = palette[i].b;
    }
    for (size_t at = 0; at < pixels.size(); at += 2'048) {
        std::vector<uint8_t> chunk(2'048, 0);
        std::copy(pixels.begin() + at, pixels.begin() + std::min(at + 2'048, pixels.size()), chunk.begin());
        picture.push_back(std::move(chunk));
    }

    constexpr size_t sound_sectors = kSlots / kAudioEvery;
    const std::vector<int16_t> tune = make_tune(sound_sectors * kSamplesPerSector);
    AdpcmEncoder encoder;

    std::ofstream out(argv[1], std::ios::binary);
    auto put = [&](const Sector& s) { out.write(reinterpret_cast<const char*>(s.data()), kSectorBytes); };
    const std::vector<uint8_t> empty(2'048, 0);
    for (uint32_t lba = 0; lba < kFirstLba; ++lba) put(vestrel::test::make_form1_sector(lba, empty, 0, 0, 0));

    size_t next_picture = 0;
    for (uint32_t slot = 0; slot < kSlots; ++slot) {
        const uint32_t lba = kFirstLba + slot;
        if (slot % kAudioEvery == 0) {
            const size_t n = slot / kAudioEvery;
            const auto samples = std::span(tune).subspan(n * kSamplesPerSector).first<kSamplesPerSector>();
            const auto groups = encoder.sector(samples);
            // Form 2, real time, audio; file 1, channel 1, coding 0 (mono, 37,800 Hz, 4 bits).
            put(vestrel::test::make_form2_sector(lba, groups, 0x44));
        } else if (next_picture < picture.size()) {
            put(vestrel::test::make_form1_sector(lba, picture[next_picture++], 1, 0, 0x08));
        } else {
            const uint8_t submode = slot + 1 == kSlots ? 0x89 : 0x08;  // the last: end of file
            put(vestrel::test::make_form1_sector(lba, empty, 1, 2, submode));
        }
    }
    out.close();
    if (!out || next_picture != picture.size()) {
        std::fprintf(stderr, "demo_disc_writer: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
