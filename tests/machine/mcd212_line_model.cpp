// The line model: one pixel at a time, in the order the rules are stated, with its own
// constants. Speed does not matter here; being easy to check against the rules does.
#include "mcd212_line_model.hpp"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace vestrel::line_model {
namespace {

constexpr uint32_t kBlack = 0xFF101010;  // an empty or transparent plane
constexpr uint32_t kMemoryMask = 0x7FFFF;

// DYUV deltas, indexed by a 4-bit code.
constexpr int kDelta[16] = {0, 1, 4, 9, 16, 27, 44, 79, 128, 177, 212, 229, 240, 247, 252, 255};

uint32_t backdrop(uint32_t index) {
    const uint32_t level = index < 8 ? 0x7B : 0xF9;
    const uint32_t r = (index & 4) ? level : 0;
    const uint32_t g = (index & 2) ? level : 0;
    const uint32_t b = (index & 1) ? level : 0;
    return 0xFF000000u | (r << 16) | (g << 8) | b;
}

int limit(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

// Chroma products scaled by 256, truncated toward zero.
int chroma(int factor, int c) { return factor * (c - 128) / 256; }

uint32_t yuv(int y, int u, int v) {
    const int r = limit(y + chroma(351, v), 0, 255);
    const int g = limit(y + chroma(-86, u) + chroma(-179, v), 0, 255);
    const int b = limit(y + chroma(444, u), 0, 255);
    return 0xFF000000u | (static_cast<uint32_t>(r) << 16) | (static_cast<uint32_t>(g) << 8) | static_cast<uint32_t>(b);
}

struct Plane {
    Pixels pixels{};
    std::array<uint8_t, kWidth> transparent{};
};

struct State {
    uint16_t dcr1, vsr1, dcr2, vsr2;
};

// Region-flag transparency of pixel x under condition byte `cond`.
uint8_t region_rule(const Mcd212& m, uint32_t cond, uint32_t x) {
    const uint32_t n = (cond & 1) ? 0 : 1;
    return static_cast<uint8_t>((m.region_flags[n][x] ^ ((cond >> 3) & 1)) & 1);
}

uint8_t key_rule(uint32_t pixel, uint32_t cond, uint32_t transparent_colour, uint32_t mask_colour) {
    const uint32_t mask = ~mask_colour & 0xFCFCFC;
    const uint32_t key = transparent_colour & mask;
    return static_cast<uint8_t>(((pixel & mask) == key ? 1 : 0) ^ ((cond >> 3) & 1));
}

void decode(const Mcd212& m, bool plane_b, State& s, Plane& out) {
    uint16_t& dcr = plane_b ? s.dcr2 : s.dcr1;
    uint16_t& vsr = plane_b ? s.vsr2 : s.vsr1;
    const uint16_t ddr = plane_b ? m.ddr2 : m.ddr1;
    const std::vector<uint8_t>& mem = plane_b ? m.bank1_copy : m.bank0_copy;
    const uint32_t coding = plane_b ? (m.image_coding_method >> 8) & 0xF : m.image_coding_method & 0xF;
    const uint32_t cond = plane_b ? (m.transparency_control >> 8) & 0xFF : m.transparency_control & 0xFF;
    const uint32_t k = cond & 7;
    const uint32_t dyuv_start = plane_b ? m.dyuv_start_b : m.dyuv_start_a;
    const uint32_t transparent_colour = plane_b ? m.transparent_colour_b : m.transparent_colour_a;
    const uint32_t mask_colour = plane_b ? m.mask_colour_b : m.mask_colour_a;
    const uint8_t uniform = (cond & 0xF) == 0 ? 1 : 0;

    const uint32_t a = (static_cast<uint32_t>(dcr & 0x3F) << 16) | vsr;
    if (coding == 0 || a == 0) {
        for (uint32_t x = 0; x < kWidth; ++x) {
            out.pixels[x] = kBlack;
            out.transparent[x] = uniform;
        }
        return;
    }
    auto byte_at = [&](uint32_t address) -> uint32_t { return mem[address & kMemoryMask]; };
    auto write_back = [&](uint16_t& d, uint16_t& v, uint32_t address) {
        v = static_cast<uint16_t>(address & 0xFFFF);
        d = static_cast<uint16_t>((d & ~0x3Fu) | ((address >> 16) & 0x3F));
    };

    if (coding == 5) {  // DYUV
        int y = (dyuv_start >> 16) & 0xFF;
        int u = (dyuv_start >> 8) & 0xFF;
        int v = dyuv_start & 0xFF;
        for (uint32_t j = 0; j < 192; ++j) {
            const uint32_t b0 = byte_at(a + 2 * j);
            const uint32_t b1 = byte_at(a + 2 * j + 1);
            const uint32_t b2 = byte_at(a + 2 * j + 2);
            const uint32_t b3 = byte_at(a + 2 * j + 3);
            const int y0 = (y + kDelta[b0 & 0xF]) % 256;
            u = (u + kDelta[b0 >> 4]) % 256;
            v = (v + kDelta[b1 >> 4]) % 256;
            const int y1 = (y0 + kDelta[b1 & 0xF]) % 256;
            const int u_next = (u + kDelta[b2 >> 4]) % 256;
            const int v_next = (v + kDelta[b3 >> 4]) % 256;
            const int ui = (u + u_next) / 2;
            const int vi = (v + v_next) / 2;
            out.pixels[4 * j] = out.pixels[4 * j + 1] = yuv(y0, u, v);
            out.pixels[4 * j + 2] = out.pixels[4 * j + 3] = yuv(y1, ui, vi);
            y = y1;
        }
        for (uint32_t x = 0; x < kWidth; ++x) {
            out.transparent[x] = (k >= 3 && k <= 6) ? region_rule(m, cond, x) : uniform;
        }
        write_back(dcr, vsr, a + 384);
        return;
    }

    const uint32_t file = ddr & 0x300;
    const uint32_t factor = (ddr >> 10) & 3;
    const bool rgb555 = plane_b && coding == 1;
    const uint32_t nibble_mask = file == 0x200 ? 0x7 : 0xF;
    // Plane A's address as plane A's own decode left it, for RGB555's high bytes.
    uint32_t high_address = (static_cast<uint32_t>(s.dcr1 & 0x3F) << 16) | s.vsr1;
    std::array<uint8_t, kWidth> rgb_flag{};

    uint32_t address = a;
    uint32_t x = 0;
    while (x < kWidth) {
        const uint32_t byte = byte_at(address);
        uint32_t d = m.clut[0];
        uint32_t t = m.clut[0];
        uint8_t flag = 0;
        if (rgb555) {
            const uint32_t h = m.bank0_copy[high_address & kMemoryMask];
            const uint32_t l = byte;
            const uint32_t r = (h & 0x7C) << 1;
            const uint32_t g = ((l >> 2) | (h << 6)) & 0xF8;
            const uint32_t b = (l << 3) & 0xFF;
            d = t = 0xFF000000u + (r << 16) + (g << 8) + b;
            flag = static_cast<uint8_t>((h >> 7) & 1);
        } else if (!plane_b) {
            if (coding == 1) d = t = m.clut[byte];
            if (coding == 3) d = t = m.clut[byte & 0x7F];
            if (coding == 4) d = t = m.clut[(byte & 0x7F) | ((m.image_coding_method & (1u << 22)) ? 0x80 : 0)];
            if (coding == 11) {
                d = m.clut[(byte >> 4) & nibble_mask];
                t = m.clut[byte & nibble_mask];
            }
        } else {
            if (coding == 3) d = t = m.clut[128 + (byte & 0x7F)];
            if (coding == 11) {
                d = m.clut[128 + ((byte >> 4) & nibble_mask)];
                t = m.clut[128 + (byte & nibble_mask)];
            }
        }
        ++address;
        ++high_address;
        uint32_t run = 2;
        if (file == 0x200) {
            if (byte & 0x80) {
                const uint32_t n = byte_at(address);
                ++address;
                ++high_address;
                run = n == 0 ? kWidth : 2 * n;
            }
        } else if (file == 0x300) {
            run = 2u << (factor + 1);
        }
        for (uint32_t r = 0; r < run && x < kWidth; ++r, ++x) {
            out.pixels[x] = (x % 2 == 0) ? d : t;
            rgb_flag[x] = flag;
        }
    }

    for (uint32_t p = 0; p < kWidth; ++p) {
        const uint32_t pixel = out.pixels[p];
        uint8_t tr = uniform;
        if (rgb555) {
            if (k == 2) tr = static_cast<uint8_t>(rgb_flag[p] ^ ((cond >> 3) & 1));
            if (k >= 3 && k <= 6) tr = region_rule(m, cond, p);
        } else {
            if (k == 1) tr = key_rule(pixel, cond, transparent_colour, mask_colour);
            if (k == 3 || k == 4) tr = region_rule(m, cond, p);
            if (k == 5 || k == 6) {
                tr = static_cast<uint8_t>(key_rule(pixel, cond, transparent_colour, mask_colour) |
                                          region_rule(m, cond, p));
            }
        }
        out.transparent[p] = tr;
    }
    write_back(dcr, vsr, address);
    if (rgb555) write_back(s.dcr1, s.vsr1, high_address);
}

uint32_t hold_length(uint32_t mosaic, uint32_t coding) {
    uint32_t hold = coding == 11 ? (mosaic & 0xFF) : 2 * (mosaic & 0xFF);
    return hold == 0 ? 1 : hold;
}

uint32_t weigh(uint32_t c, uint32_t w) {
    const uint32_t lifted = c > 16 ? c - 16 : 0;
    const uint32_t p = (lifted * w) >> 6;
    return p > 255 ? 255 : p;
}

uint32_t mix(uint32_t a, uint32_t wa, uint32_t b, uint32_t wb) {
    uint32_t out = 0xFF000000u;
    for (int shift = 16; shift >= 0; shift -= 8) {
        uint32_t s = weigh((a >> shift) & 0xFF, wa) + weigh((b >> shift) & 0xFF, wb);
        if (s > 239) s = 239;
        uint32_t c = (s * 298 + 128) >> 8;
        if (c > 255) c = 255;
        out += c << shift;
    }
    return out;
}

std::string hex(uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
    return text;
}

std::string describe(const Mcd212& m, uint64_t line) {
    std::string s = " [line " + std::to_string(line) + (m.video_mode == VideoMode::Ntsc ? " ntsc" : " pal");
    s += " dcr1 " + hex(m.dcr1) + " vsr1 " + hex(m.vsr1) + " ddr1 " + hex(m.ddr1);
    s += " dcr2 " + hex(m.dcr2) + " vsr2 " + hex(m.vsr2) + " ddr2 " + hex(m.ddr2);
    s += " icm " + hex(m.image_coding_method) + " tc " + hex(m.transparency_control);
    s += " order " + hex(m.plane_order) + " mosaic " + hex(m.mosaic_a) + "/" + hex(m.mosaic_b);
    s += " cursor " + hex(m.cursor_control) + "@" + hex(m.cursor_position) + " csr1r " + hex(m.csr1r);
    s += " wa0 " + std::to_string(m.weight_a[0]) + " wb0 " + std::to_string(m.weight_b[0]) + "]";
    return s;
}

}  // namespace

LineResult render_line(const Mcd212& m, uint64_t line) {
    LineResult r;
    const bool ntsc = m.video_mode == VideoMode::Ntsc;
    const uint32_t first = ntsc ? 22 : 32;
    const uint32_t count = ntsc ? 240 : 280;
    r.dcr1 = m.dcr1;
    r.vsr1 = m.vsr1;
    r.dcr2 = m.dcr2;
    r.vsr2 = m.vsr2;
    r.csr1r = m.csr1r;
    if (line < first || line >= first + count) return r;
    r.active = true;
    const auto i = static_cast<uint32_t>(line - first);

    State s{m.dcr1, m.vsr1, m.dcr2, m.vsr2};
    Plane a;
    Plane b;
    if (m.dcr1 & 0x8000) {
        decode(m, false, s, a);
    } else {
        a.transparent.fill(1);
    }
    if (m.dcr2 & 0x8000) {
        decode(m, true, s, b);
    } else {
        b.transparent.fill(1);
    }
    r.dcr1 = s.dcr1;
    r.vsr1 = s.vsr1;
    r.dcr2 = s.dcr2;
    r.vsr2 = s.vsr2;

    const uint32_t coding_a = m.image_coding_method & 0xF;
    const uint32_t coding_b = (m.image_coding_method >> 8) & 0xF;
    const uint32_t hold_a = hold_length(m.mosaic_a, coding_a);
    const uint32_t hold_b = hold_length(m.mosaic_b, coding_b);
    for (uint32_t x = 0; x < kWidth; ++x) {
        const bool ta = a.transparent[x] != 0;
        const bool tb = b.transparent[x] != 0;
        if (ta && tb) {
            r.output[x] = (m.image_coding_method & 0x41010) ? m.external_video[x] : backdrop(m.backdrop_colour & 0xF);
            continue;
        }
        uint32_t pa = a.pixels[(m.mosaic_a & 0x800000) ? x - x % hold_a : x];
        uint32_t pb = b.pixels[(m.mosaic_b & 0x800000) ? x - x % hold_b : x];
        if (ta) pa = kBlack;
        if (tb) pb = kBlack;
        if (!ta && !tb && (m.transparency_control & 0x800000)) {
            if (m.plane_order & 1) {
                pa = kBlack;
            } else {
                pb = kBlack;
            }
        }
        r.output[x] = mix(pa, m.weight_a[x], pb, m.weight_b[x]);
    }

    if (m.cursor_control & 0x800000) {
        uint32_t index = m.cursor_control & 0xF;
        bool draw = true;
        if (m.blink_off) {
            if (m.cursor_control & 0x400000) {
                index ^= 7;
            } else {
                draw = false;
            }
        }
        const int64_t row = static_cast<int64_t>(line) - ((m.cursor_position >> 12) & 0x3FF) - first;
        if (draw && row >= 0 && row <= 15) {
            const uint32_t pattern = m.cursor_pattern[static_cast<size_t>(row)];
            for (uint32_t j = 0; j < 16; ++j) {
                if (!((pattern >> (15 - j)) & 1)) continue;
                const bool high_resolution = (m.cursor_control & 0x8000) != 0;
                const uint32_t x = (m.cursor_position & 0x3FF) + (high_resolution ? j : j * 2);
                if (x < kWidth) r.output[x] = backdrop(index);
                if (!high_resolution && x + 1 < kWidth) r.output[x + 1] = backdrop(index);
            }
        }
    }

    r.row = (280 - count) + 2 * i;
    if (m.dcr1 & 0x1000) {
        r.interlace = true;
        const uint32_t* previous = &m.previous_field[static_cast<size_t>(i) * kWidth];
        for (uint32_t x = 0; x < kWidth; ++x) {
            if (m.csr1r & 0x20) {
                r.upper[x] = r.output[x];
                r.lower[x] = previous[x];
            } else {
                r.upper[x] = previous[x];
                r.lower[x] = r.output[x];
            }
        }
    } else {
        r.upper = r.output;
        r.lower = r.output;
    }
    const uint32_t last = first + count - 1;
    r.black_top = ntsc && line == first;
    r.black_bottom = ntsc && line == last;
    if (line == last) r.csr1r = static_cast<uint8_t>(m.csr1r ^ 0x20);
    return r;
}

Regions regions(const Mcd212& m) {
    Regions out;
    uint32_t wa = m.weight_a[0];
    uint32_t wb = m.weight_b[0];
    uint32_t f[2] = {0, 0};
    const bool two_lists = (m.image_coding_method & (1u << 19)) != 0;
    // Applies entry `e` with its flag going to f[flag]; returns false for an end of list.
    auto apply = [&](uint32_t e, uint32_t flag) {
        const uint32_t op = (e >> 20) & 0xF;
        if (op == 0) return false;
        const uint32_t weight = (e >> 10) & 0x3F;
        const bool b = ((e >> 21) & 1) != 0;
        if (op == 4 || op == 6 || op >= 12) (b ? wb : wa) = weight;
        if (op == 8 || op == 9 || op >= 12) f[flag] = op & 1;
        return true;
    };
    // A list: entries [begin, end) with cursor c.
    struct List {
        uint32_t begin, end, c;
    };
    List lists[2] = {{0, two_lists ? 4u : 8u, 0}, {4, 8, 4}};
    const int list_count = two_lists ? 2 : 1;
    for (uint32_t x = 0; x < kWidth; ++x) {
        for (int l = 0; l < list_count; ++l) {
            List& list = lists[l];
            if (list.c < list.end && (m.region_control[list.c] & 0x3FF) == x) {
                const uint32_t e = m.region_control[list.c];
                const uint32_t flag = two_lists ? static_cast<uint32_t>(l) : (e >> 16) & 1;
                list.c = apply(e, flag) ? list.c + 1 : list.end;
            }
        }
        out.weight_a[x] = static_cast<uint8_t>(wa);
        out.weight_b[x] = static_cast<uint8_t>(wb);
        out.flags[0][x] = static_cast<uint8_t>(f[0]);
        out.flags[1][x] = static_cast<uint8_t>(f[1]);
    }
    return out;
}

std::string compare_regions(const Mcd212& m) {
    const Regions want = regions(m);
    for (uint32_t x = 0; x < kWidth; ++x) {
        const char* what = nullptr;
        if (m.weight_a[x] != want.weight_a[x]) what = "weight A";
        if (m.weight_b[x] != want.weight_b[x]) what = "weight B";
        if (m.region_flags[0][x] != want.flags[0][x]) what = "region flag 0";
        if (m.region_flags[1][x] != want.flags[1][x]) what = "region flag 1";
        if (what) {
            std::string s = std::string(what) + " differs at x " + std::to_string(x) + ", controls";
            for (uint32_t e : m.region_control) s += " " + hex(e);
            return s + " icm " + hex(m.image_coding_method);
        }
    }
    return {};
}

std::string render_and_compare(Mcd212& m, uint64_t line) {
    const LineResult want = render_line(m, line);
    const std::string state = describe(m, line);
    const bool ntsc = m.video_mode == VideoMode::Ntsc;
    const uint32_t i = want.active ? static_cast<uint32_t>(line - (ntsc ? 22 : 32)) : 0;
    Pixels previous_before{};
    if (want.active) {
        std::copy_n(m.previous_field.begin() + static_cast<ptrdiff_t>(i) * kWidth, kWidth, previous_before.begin());
    }
    m.render_scanline(line);

    auto differ = [&](const char* what, uint64_t got, uint64_t expected) {
        return std::string(what) + ": renderer " + hex(got) + ", model " + hex(expected) + state;
    };
    if (m.dcr1 != want.dcr1) return differ("DCR1", m.dcr1, want.dcr1);
    if (m.vsr1 != want.vsr1) return differ("VSR1", m.vsr1, want.vsr1);
    if (m.dcr2 != want.dcr2) return differ("DCR2", m.dcr2, want.dcr2);
    if (m.vsr2 != want.vsr2) return differ("VSR2", m.vsr2, want.vsr2);
    if (m.csr1r != want.csr1r) return differ("CSR1R", m.csr1r, want.csr1r);
    if (!want.active) return {};
    for (uint32_t x = 0; x < kWidth; ++x) {
        const uint32_t upper = m.frame_buffer[static_cast<size_t>(want.row) * kWidth + x];
        const uint32_t lower = m.frame_buffer[static_cast<size_t>(want.row + 1) * kWidth + x];
        const uint32_t previous = m.previous_field[static_cast<size_t>(i) * kWidth + x];
        const std::string at = " at x " + std::to_string(x);
        if (upper != want.upper[x]) return differ(("row " + std::to_string(want.row) + at).c_str(), upper, want.upper[x]);
        if (lower != want.lower[x]) {
            return differ(("row " + std::to_string(want.row + 1) + at).c_str(), lower, want.lower[x]);
        }
        const uint32_t want_previous = want.interlace ? want.output[x] : previous_before[x];
        if (previous != want_previous) return differ(("previous field" + at).c_str(), previous, want_previous);
    }
    auto all_black = [&](uint32_t from, uint32_t to) {
        for (size_t p = static_cast<size_t>(from) * kWidth; p < static_cast<size_t>(to) * kWidth; ++p) {
            if (m.frame_buffer[p] != 0xFF000000u) return false;
        }
        return true;
    };
    if (want.black_top && !all_black(0, 40)) return "NTSC rows 0-39 not black" + state;
    if (want.black_bottom && !all_black(520, 560)) return "NTSC rows 520-559 not black" + state;
    return {};
}

}  // namespace vestrel::line_model
