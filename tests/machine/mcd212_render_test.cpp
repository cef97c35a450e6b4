// Renderer fixtures. Expected pixels come from the published rules of each coding (CLUT
// indexing, the RGB555 bit layout, the DYUV delta coding with its chroma coefficients, the
// run-length forms) and from the mixing formula worked by hand, never from a run of the code.
#include "machine/mcd212.hpp"
#include "machine/bus.hpp"
#include "mcd212_line_model.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vestrel {
namespace {

constexpr uint32_t kBlack = Mcd212::kPlaneBlack;

// One component through the mixer: lift out of the 16-235 range, weigh, add, expand.
uint32_t mix_component(uint32_t a, uint32_t wa, uint32_t b, uint32_t wb) {
    auto weigh = [](uint32_t c, uint32_t w) { return std::min<uint32_t>((c > 16 ? c - 16 : 0) * w >> 6, 255); };
    const uint32_t s = std::min<uint32_t>(weigh(a, wa) + weigh(b, wb), 239);
    return std::min<uint32_t>((s * 298 + 128) >> 8, 255);
}

uint32_t mix(uint32_t a, uint32_t wa, uint32_t b, uint32_t wb) {
    uint32_t out = 0xFF000000;
    for (uint32_t shift : {16u, 8u, 0u}) out |= mix_component((a >> shift) & 0xFF, wa, (b >> shift) & 0xFF, wb) << shift;
    return out;
}

// A colour shown by one plane at weight 64 over a transparent other plane.
uint32_t shown(uint32_t colour) { return mix(colour, 64, kBlack, 0); }

class Render : public ::testing::Test {
protected:
    static constexpr uint32_t kAddressA = 0x1000;
    static constexpr uint32_t kAddressB = 0x2000;

    void SetUp() override {
        // Distinct CLUT colours inside the 16-235 range, so the mixer keeps them apart.
        for (uint32_t i = 0; i < 256; ++i) {
            m->clut[i] = 0xFF000000u | ((16 + i % 216) << 16) | ((235 - i % 216) << 8) | (16 + (i / 216) * 100);
        }
    }

    void plane_a(uint32_t coding, uint32_t address = kAddressA) {
        m->dcr1 = static_cast<uint16_t>((m->dcr1 & ~0x803Fu) | Mcd212::kDcrDisplayEnable | ((address >> 16) & 0x3F));
        m->vsr1 = static_cast<uint16_t>(address);
        m->image_coding_method = (m->image_coding_method & ~0xFu) | coding;
        m->transparency_control = (m->transparency_control & ~0xFFu) | 0x08;  // opaque
        m->weight_a.fill(64);
    }
    void plane_b(uint32_t coding, uint32_t address = kAddressB) {
        m->dcr2 = static_cast<uint16_t>((m->dcr2 & ~0x803Fu) | Mcd212::kDcrDisplayEnable | ((address >> 16) & 0x3F));
        m->vsr2 = static_cast<uint16_t>(address);
        m->image_coding_method = (m->image_coding_method & ~0xF00u) | (coding << 8);
        m->transparency_control = (m->transparency_control & ~0xFF00u) | 0x0800;
        m->weight_b.fill(64);
    }
    void bytes_a(const std::vector<uint8_t>& bytes, uint32_t address = kAddressA) {
        std::copy(bytes.begin(), bytes.end(), m->bank0_copy.begin() + address);
    }
    void bytes_b(const std::vector<uint8_t>& bytes, uint32_t address = kAddressB) {
        std::copy(bytes.begin(), bytes.end(), m->bank1_copy.begin() + address);
    }
    uint32_t px(uint32_t row, uint32_t x) const { return m->frame_buffer[row * Mcd212::kFrameStride + x]; }
    uint32_t address_a() const { return (uint32_t{m->dcr1 & 0x3Fu} << 16) | m->vsr1; }
    uint32_t address_b() const { return (uint32_t{m->dcr2 & 0x3Fu} << 16) | m->vsr2; }

    // Writes the frame as a BMP beside the test binary, for a person to look at after a failure.
    void dump_on_failure(const char* name) const {
        if (!HasFailure()) return;
        const std::string path = std::string(VESTREL_BINARY_DIR) + "/" + name + ".bmp";
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) return;
        auto le = [&](uint32_t v, int n) {
            for (int k = 0; k < n; ++k) std::fputc(static_cast<int>((v >> (8 * k)) & 0xFF), f);
        };
        const uint32_t data = Mcd212::kFramePixels * 4;
        std::fputs("BM", f);
        le(54 + data, 4), le(0, 4), le(54, 4), le(40, 4), le(768, 4), le(static_cast<uint32_t>(-560), 4);
        le(1, 2), le(32, 2), le(0, 4), le(data, 4), le(2835, 4), le(2835, 4), le(0, 4), le(0, 4);
        for (uint32_t p : m->frame_buffer) le(p | 0xFF000000u, 4);
        std::fclose(f);
    }

    std::unique_ptr<Mcd212> m = std::make_unique<Mcd212>();
};

TEST_F(Render, BackdropWhenBothPlanesAreOff) {
    struct Case {
        uint32_t backdrop;
        uint32_t colour;
    };
    const Case cases[] = {{0, 0xFF000000}, {1, 0xFF00007B}, {2, 0xFF007B00}, {4, 0xFF7B0000},
                          {7, 0xFF7B7B7B}, {8, 0xFF000000}, {9, 0xFF0000F9}, {12, 0xFFF90000},
                          {14, 0xFFF9F900}, {15, 0xFFF9F9F9}, {0x13, 0xFF007B7B}};
    for (const auto& c : cases) {
        m->backdrop_colour = c.backdrop;
        m->render_scanline(32);
        m->render_scanline(311);
        for (uint32_t row : {0u, 1u, 558u, 559u}) {
            EXPECT_EQ(px(row, 0), c.colour) << "backdrop " << c.backdrop << " row " << row;
            EXPECT_EQ(px(row, 767), c.colour) << "backdrop " << c.backdrop << " row " << row;
        }
    }
    dump_on_failure("render_backdrop");
}

// Blank lines leave rows alone that already hold their colour. After any frame that drew
// something else there (a plane, only part of the frame, the cursor, external video, an
// interlaced field, the other standard, a frontend fill), the next blank frame must still be
// what a fresh decoder draws.
TEST_F(Render, BlankFramesAfterOtherPictures) {
    enum Step { Blank, Plane, PlanePart, Cursor, External, Interlace, Ntsc, Fill, OtherBackdrop };
    const Step steps[] = {Blank, Blank,   Plane, Blank, PlanePart, Blank, Cursor, Blank,         External,
                          Blank, Interlace, Blank, Ntsc, Blank,    Fill,  Blank,  OtherBackdrop, Blank};
    for (uint32_t i = 0; i < 0x10000; ++i) m->bank0_copy[kAddressA + i] = static_cast<uint8_t>(i * 7);
    auto frame = [&](Mcd212& d, Step step) {
        d.dcr1 = d.dcr2 = 0;
        d.image_coding_method = 0;
        d.cursor_control = 0;
        d.video_mode = step == Ntsc ? VideoMode::Ntsc : VideoMode::Pal;
        d.backdrop_colour = step == OtherBackdrop ? 5 : 3;
        if (step == Fill) d.fill_frame(0xFF123456u);
        if (step == Interlace) d.dcr1 = Mcd212::kDcrInterlace;
        if (step == External) d.image_coding_method = 0x40000;
        if (step == Cursor) {
            d.cursor_control = 0x800007;
            d.cursor_position = (100u << 12) | 200;
            d.cursor_pattern.fill(0xFFFF);
        }
        for (uint64_t line = 0; line < 312; ++line) {
            if (step == Plane || (step == PlanePart && line == 100)) plane_a(1);  // CLUT8
            if (step == PlanePart && line == 120) m->dcr1 = 0;
            d.render_scanline(line);
        }
    };
    for (size_t n = 0; n < std::size(steps); ++n) {
        frame(*m, steps[n]);
        if (steps[n] != Blank) continue;
        auto fresh = std::make_unique<Mcd212>();
        frame(*fresh, Blank);
        ASSERT_TRUE(m->frame_buffer == fresh->frame_buffer) << "blank frame after step " << n - 1;
    }
    dump_on_failure("render_blank_after");
}

TEST_F(Render, MixingWorkedByHand) {
    struct Case {
        const char* name;
        uint32_t a, wa, b, wb;  // colours of planes A and B and their weights; 0 = transparent
        uint32_t tc_high, order;
        uint32_t expected;
    };
    const Case cases[] = {
        // 219 x 63 >> 6 = 215; (215 x 298 + 128) >> 8 = 250.
        {"weight 63", 0xFFEBEBEB, 63, 0, 0, 0, 0, 0xFFFAFAFA},
        // R: 112 x 32 >> 6 = 56 -> 65; G: 176 x 32 >> 6 = 88 -> 102; B: 0 -> 0.
        {"weight 32", 0xFF80C010, 32, 0, 0, 0, 0, 0xFF416600},
        // Weight 64: 112 -> 130, 176 -> 205.
        {"weight 64", 0xFF80C010, 64, 0, 0, 0, 0, 0xFF82CD00},
        // Below 16 contributes nothing.
        {"dark", 0xFF0F0F0F, 63, 0, 0, 0, 0, 0xFF000000},
        // 48 x 255 >> 6 = 191 -> 222.
        {"weight 255", 0xFF404040, 255, 0, 0, 0, 0, 0xFFDEDEDE},
        // 64 x 20 >> 6 = 20 and 32 x 40 >> 6 = 20: s = 40 -> 47.
        {"two planes", 0xFF505050, 20, 0xFF303030, 40, 0, 0, 0xFF2F2F2F},
        // 215 + 56 capped at 239 -> 278 capped at 255.
        {"saturation", 0xFFEBEBEB, 63, 0xFF808080, 32, 0, 0, 0xFFFFFFFF},
        // Rear plane black: 20 + 30 = 50 -> 58 when both show; B rear: 20 -> 23; A rear: 30 -> 35.
        {"both shown", 0xFF505050, 20, 0xFF303030, 60, 0, 0, 0xFF3A3A3A},
        {"B is rear", 0xFF505050, 20, 0xFF303030, 60, 1, 0, 0xFF171717},
        {"A is rear", 0xFF505050, 20, 0xFF303030, 60, 1, 1, 0xFF232323},
        {"zero weights", 0xFFEBEBEB, 0, 0xFF808080, 0, 0, 0, 0xFF000000},
    };
    for (const auto& c : cases) {
        m = std::make_unique<Mcd212>();
        plane_a(1);  // CLUT8: all bytes 0 show clut[0]
        plane_b(3);  // CLUT7 of plane B: all bytes 0 show clut[128]
        m->clut[0] = c.a;
        m->clut[128] = c.b;
        if (c.b == 0) m->transparency_control &= ~0xFF00u;  // plane B always transparent
        m->transparency_control |= c.tc_high << 23;
        m->plane_order = c.order;
        m->load_control_plane_a(0xDB, c.wa);
        m->load_control_plane_b(0xDC, c.wb);
        m->render_scanline(32);
        EXPECT_EQ(px(0, 0), c.expected) << c.name;
        EXPECT_EQ(px(1, 767), c.expected) << c.name;
        if (!c.tc_high) {  // the oracle the other fixtures use agrees with the hand values
            EXPECT_EQ(mix(c.a, c.wa, c.b ? c.b : kBlack, c.b ? c.wb : 0), c.expected) << c.name;
        }
    }
}

TEST_F(Render, RegionWeightsApplyPerPixel) {
    plane_a(1);
    plane_b(3);
    m->clut[0] = 0xFF505050;
    m->clut[128] = 0xFF303030;
    m->load_control_plane_a(0xDB, 20);
    m->load_control_plane_b(0xDC, 40);
    m->load_control_plane_a(0xD0, 0x0040FC65);  // X 101: plane A weight 63
    m->load_control_plane_a(0xD1, 0x00600066);  // X 102: plane B weight 0
    m->render_scanline(32);
    EXPECT_EQ(px(0, 100), 0xFF2F2F2Fu);  // 20 + 20 = 40 -> 47
    // 64 x 63 >> 6 = 63; + 20 = 83 -> (83 x 298 + 128) >> 8 = 97.
    EXPECT_EQ(px(0, 101), 0xFF616161u);
    EXPECT_EQ(px(0, 102), 0xFF494949u);  // 63 -> 73
    EXPECT_EQ(px(1, 767), 0xFF494949u);
}

// A plane whose display enable is clear is transparent everywhere, whatever the line before it
// showed, also when the other plane's weight changes along the line. Both planes are switched
// off in turn, and each is tried with an opaque and a transparent partner.
TEST_F(Render, DisabledPlaneIsTransparentOnEveryLine) {
    const uint32_t red = 0xFFEB1010;
    const uint32_t blue = 0xFF1010EB;
    for (const bool disable_a : {true, false}) {
        for (const bool other_keyed : {false, true}) {
            m = std::make_unique<Mcd212>();
            SetUp();
            plane_a(1);
            plane_b(3);
            m->clut[0] = red;
            m->clut[128] = blue;
            m->backdrop_colour = 2;
            m->load_control_plane_a(0xD0, 0x0060512C);  // X 300: plane B weight 20
            m->load_control_plane_a(0xD1, 0x00404190);  // X 400: plane A weight 16
            m->render_scanline(40);
            EXPECT_EQ(px(16, 299), mix(red, 64, blue, 64));
            if (disable_a) {
                m->dcr1 &= ~Mcd212::kDcrDisplayEnable;
            } else {
                m->dcr2 &= ~Mcd212::kDcrDisplayEnable;
            }
            if (other_keyed) {  // the shown plane keys out its colour from x = 500 on
                m->load_control_plane_a(0xD2, 0x009101F4);  // X 500: region flag 1 set
                m->transparency_control = disable_a ? 0x0408 : 0x0804;  // k = 4 (flag 1)
            }
            m->render_scanline(41);
            for (const uint32_t x : {0u, 299u, 300u, 399u, 400u, 499u, 500u, 767u}) {
                const uint32_t wa = x < 400 ? 64 : 16;
                const uint32_t wb = x < 300 ? 64 : 20;
                uint32_t expected = disable_a ? mix(kBlack, 0, blue, wb) : mix(red, wa, kBlack, 0);
                if (other_keyed && x >= 500) expected = 0xFF007B00;  // backdrop 2 behind nothing
                EXPECT_EQ(px(18, x), expected) << "plane " << (disable_a ? "A" : "B") << " off, keyed "
                                               << other_keyed << ", x " << x;
            }
        }
    }
}

TEST_F(Render, TwoPlanesKeepEveryPixelOfClut4) {
    plane_a(11);
    plane_b(3);
    bytes_a({0x1F, 0xE2});
    bytes_b({0x05, 0x06});
    m->render_scanline(32);
    EXPECT_EQ(px(0, 0), mix(m->clut[1], 64, m->clut[133], 64));
    EXPECT_EQ(px(0, 1), mix(m->clut[15], 64, m->clut[133], 64));
    EXPECT_EQ(px(0, 2), mix(m->clut[14], 64, m->clut[134], 64));
    EXPECT_EQ(px(0, 3), mix(m->clut[2], 64, m->clut[134], 64));
}

TEST_F(Render, ColourLookupCodings) {
    struct Case {
        const char* name;
        bool plane_b_case;
        uint32_t coding;
        uint32_t icm_extra;
        std::vector<uint8_t> bytes;
        std::vector<std::pair<uint32_t, uint32_t>> pixels;  // x, CLUT index
    };
    const Case cases[] = {
        {"A CLUT8", false, 1, 0, {0x05, 0xFE}, {{0, 0x05}, {1, 0x05}, {2, 0xFE}, {3, 0xFE}, {4, 0}}},
        {"A CLUT7", false, 3, 0, {0x85, 0x7E}, {{0, 0x05}, {2, 0x7E}}},
        {"A CLUT77 low", false, 4, 0, {0x85}, {{0, 0x05}, {1, 0x05}}},
        {"A CLUT77 high", false, 4, 1u << 22, {0x05, 0x85}, {{0, 0x85}, {2, 0x85}}},
        {"A CLUT4", false, 11, 0, {0x1F, 0xE2}, {{0, 1}, {1, 15}, {2, 14}, {3, 2}}},
        {"A other coding", false, 2, 0, {0x55}, {{0, 0}, {1, 0}}},
        {"A coding 14", false, 14, 0, {0x55}, {{0, 0}}},
        {"B CLUT7", true, 3, 0, {0x05, 0xFF}, {{0, 133}, {1, 133}, {2, 255}}},
        {"B CLUT4", true, 11, 0, {0x1F}, {{0, 129}, {1, 143}}},
        {"B coding 4", true, 4, 1u << 22, {0x55}, {{0, 0}}},
    };
    for (const auto& c : cases) {
        m = std::make_unique<Mcd212>();
        SetUp();
        if (c.plane_b_case) {
            plane_b(c.coding);
            bytes_b(c.bytes);
        } else {
            plane_a(c.coding);
            bytes_a(c.bytes);
        }
        m->image_coding_method |= c.icm_extra;
        m->render_scanline(32);
        for (const auto& [x, index] : c.pixels) {
            EXPECT_EQ(px(0, x), shown(m->clut[index])) << c.name << " x " << x;
        }
        // A normal file takes one byte per two pixels.
        if (c.plane_b_case) {
            EXPECT_EQ(address_b(), kAddressB + 384) << c.name;
        } else {
            EXPECT_EQ(address_a(), kAddressA + 384) << c.name;
        }
    }
}

TEST_F(Render, Rgb555) {
    // High byte: T RRRRR GG; low byte: GGG BBBBB; components scaled to 8 bits.
    struct Case {
        uint8_t high, low;
        uint32_t colour;
    };
    const Case cases[] = {
        {0x7F, 0xE0, 0xFFF8F800}, {0x00, 0x1F, 0xFF0000F8}, {0x03, 0x00, 0xFF00C000},
        {0x00, 0x20, 0xFF000800}, {0x04, 0x00, 0xFF080000}, {0xFF, 0xFF, 0xFFF8F8F8},
    };
    plane_b(1);
    m->dcr1 = 0x0001;  // plane A off, but its address (0x10000) supplies the high bytes
    m->vsr1 = 0x0000;
    std::vector<uint8_t> high;
    std::vector<uint8_t> low;
    for (const auto& c : cases) {
        high.push_back(c.high);
        low.push_back(c.low);
    }
    bytes_a(high, 0x10000);
    bytes_b(low);
    m->render_scanline(32);
    for (size_t n = 0; n < std::size(cases); ++n) {
        EXPECT_EQ(px(0, 2 * n), shown(cases[n].colour)) << n;
        EXPECT_EQ(px(1, 2 * n + 1), shown(cases[n].colour)) << n;
    }
    EXPECT_EQ(address_b(), kAddressB + 384);
    EXPECT_EQ(address_a(), 0x10000u + 384) << "plane A's address advances with the high bytes";
    EXPECT_EQ(m->dcr1 & 0xFFC0, 0) << "other DCR1 bits kept";

    // With plane A shown too, the high bytes follow plane A's own line.
    m = std::make_unique<Mcd212>();
    SetUp();
    plane_a(1);
    plane_b(1);
    m->bank0_copy[kAddressA + 384] = 0x7C;  // red
    m->render_scanline(32);
    EXPECT_EQ(address_a(), kAddressA + 768);
    EXPECT_EQ(px(0, 0), mix(m->clut[0], 64, 0xFFF80000, 64));
}

TEST_F(Render, Rgb555TransparencyBit) {
    struct Case {
        uint32_t nibble;
        bool first_transparent, second_transparent;  // pair 0 has T set, pair 1 clear
    };
    const Case cases[] = {{0x2, true, false}, {0xA, false, true}, {0x1, false, false},
                          {0x0, true, true}, {0x9, false, false}};
    for (const auto& c : cases) {
        m = std::make_unique<Mcd212>();
        plane_b(1);
        m->backdrop_colour = 9;
        m->transparency_control = c.nibble << 8;
        m->transparent_colour_b = 0x000000;  // no colour key for RGB555, even with k = 1
        bytes_a({0x80, 0x00}, 0);
        m->dcr1 = 0;
        m->vsr1 = 0;
        m->render_scanline(32);
        EXPECT_EQ(px(0, 0) == 0xFF0000F9, c.first_transparent) << c.nibble;
        EXPECT_EQ(px(0, 2) == 0xFF0000F9, c.second_transparent) << c.nibble;
    }
}

TEST_F(Render, DyuvDecoding) {
    struct Case {
        const char* name;
        uint32_t start;  // Y, U, V
        std::vector<uint8_t> bytes;
        std::vector<std::pair<uint32_t, uint32_t>> pixels;  // x, decoded colour
    };
    const Case cases[] = {
        // All-zero deltas keep the start value: (16, 128, 128) is black.
        {"flat", 0x108080, {}, {{0, 0xFF101010}, {767, 0xFF101010}}},
        // Pair 0: dU = D[3] = 9, dY0 = D[8] = 128, dV = D[2] = 4, dY1 = D[1] = 1, so (144, 137, 132)
        // and (145, interpolated with pair 1's U 141 and V 141: 139, 136).
        // R = y + 351(v-128)/256, G = y - 86(u-128)/256 - 179(v-128)/256, B = y + 444(u-128)/256.
        // (144, 137, 132): R 144 + 5, G 144 - 3 - 2, B 144 + 15.
        // (145, 139, 136): R 145 + 10, G 145 - 3 - 5, B 145 + 19.
        // Pair 1 (dU D[2], dV D[3]): (145, 141, 141): R 145 + 17, G 145 - 4 - 9, B 145 + 22.
        {"deltas",
         0x108080,
         {0x38, 0x21, 0x20, 0x30},
         {{0, 0xFF958B9F}, {1, 0xFF958B9F}, {2, 0xFF9B89A4}, {3, 0xFF9B89A4}, {4, 0xFFA284A7}, {7, 0xFFA284A7},
          {8, 0xFFA284A7}}},
        // Clamping: (235, 128, 255): R 235 + 174 -> 255, G 235 - 88 = 147, B 235.
        {"clamp high", 0xEB80FF, {}, {{0, 0xFFFF93EB}}},
        // (16, 0, 128): G 16 + 43 = 59, B 16 - 222 -> 0.
        {"clamp low", 0x100080, {}, {{0, 0xFF103B00}}},
        // Deltas wrap modulo 256: Y 0xF0 + D[15] = 255 -> 0xEF.
        {"wrap", 0xF08080, {0x0F, 0x00}, {{0, 0xFFEFEFEF}, {2, 0xFFEFEFEF}}},
    };
    for (const auto& c : cases) {
        for (bool on_b : {false, true}) {
            m = std::make_unique<Mcd212>();
            if (on_b) {
                plane_b(5);
                m->dyuv_start_b = c.start;
                bytes_b(c.bytes);
            } else {
                plane_a(5);
                m->dyuv_start_a = c.start;
                bytes_a(c.bytes);
            }
            m->render_scanline(32);
            for (const auto& [x, colour] : c.pixels) {
                EXPECT_EQ(px(0, x), shown(colour)) << c.name << (on_b ? " B" : " A") << " x " << x;
            }
            EXPECT_EQ(on_b ? address_b() : address_a(), (on_b ? kAddressB : kAddressA) + 384u) << c.name;
        }
    }
    // A line that wraps past the bank end reads on from its start.
    m = std::make_unique<Mcd212>();
    plane_a(5, 0x7FFFE);
    m->dyuv_start_a = 0x108080;
    bytes_a({0x38, 0x21}, 0x7FFFE);
    bytes_a({0x20, 0x30}, 0);
    m->render_scanline(32);
    EXPECT_EQ(px(0, 0), shown(0xFF958B9F));
    EXPECT_EQ(px(0, 2), shown(0xFF9B89A4));
    EXPECT_EQ(px(0, 4), shown(0xFFA284A7));
    EXPECT_EQ(address_a(), 0x7FFFEu + 384);
    // DYUV ignores the file type: a run-length DDR still takes 384 bytes.
    m = std::make_unique<Mcd212>();
    plane_a(5);
    m->ddr1 = Mcd212::kDdrFileRunLength;
    bytes_a({0x85, 0x00});
    m->render_scanline(32);
    EXPECT_EQ(address_a(), kAddressA + 384);
}

TEST_F(Render, RunLengthAndMosaicFiles) {
    struct Case {
        const char* name;
        uint32_t coding;
        uint16_t ddr;
        std::vector<uint8_t> bytes;
        uint32_t consumed;
        std::vector<std::pair<uint32_t, uint32_t>> pixels;  // x, CLUT index
    };
    std::vector<uint8_t> mosaic_bytes(192);
    for (uint32_t k = 0; k < 192; ++k) mosaic_bytes[k] = static_cast<uint8_t>(k);
    const Case cases[] = {
        {"RL7 one run", 3, 0x0200, {0x85, 0x00}, 2, {{0, 5}, {1, 5}, {400, 5}, {767, 5}}},
        {"RL7 runs", 3, 0x0200, {0x03, 0x84, 0x02, 0x85, 0x00}, 5,
         {{0, 3}, {1, 3}, {2, 4}, {5, 4}, {6, 5}, {767, 5}}},
        {"RL7 long run stops at the line end", 3, 0x0200, {0x81, 0xFF, 0x82, 0xFF}, 4,
         {{0, 1}, {509, 1}, {510, 2}, {767, 2}}},
        // RL3: 3-bit indices, bit 7 is the run flag.
        {"RL3", 11, 0x0200, {0x9A, 0x03, 0x34, 0x85, 0x00}, 5,
         {{0, 1}, {1, 2}, {4, 1}, {5, 2}, {6, 3}, {7, 4}, {8, 0}, {9, 5}, {767, 5}}},
        {"CLUT8 in RL file", 1, 0x0200, {0x85, 0x02, 0x06}, 384, {{0, 0x85}, {3, 0x85}, {4, 6}}},
        {"mosaic factor 0", 1, 0x0300, mosaic_bytes, 192, {{0, 0}, {3, 0}, {4, 1}, {767, 191}}},
        {"mosaic factor 3", 1, 0x0F00, mosaic_bytes, 24, {{0, 0}, {31, 0}, {32, 1}, {767, 23}}},
        {"mosaic CLUT4 factor 1", 11, 0x0700, {0x12, 0x34}, 96, {{0, 1}, {1, 2}, {6, 1}, {7, 2}, {8, 3}, {9, 4}}},
    };
    for (const auto& c : cases) {
        m = std::make_unique<Mcd212>();
        SetUp();
        plane_a(c.coding);
        m->ddr1 = c.ddr;
        bytes_a(c.bytes);
        m->render_scanline(32);
        for (const auto& [x, index] : c.pixels) {
            EXPECT_EQ(px(0, x), shown(m->clut[index])) << c.name << " x " << x;
        }
        EXPECT_EQ(address_a(), kAddressA + c.consumed) << c.name;
    }
}

TEST_F(Render, PixelHoldMosaic) {
    std::vector<uint8_t> bytes(384);
    for (uint32_t k = 0; k < 384; ++k) bytes[k] = static_cast<uint8_t>(k * 37 + 11);
    // The CLUT index that pixel `x` of the decoded line has.
    auto index_at = [&](uint32_t coding, uint32_t x) -> uint32_t {
        const uint8_t byte = bytes[x / 2];
        if (coding == 11) return (x & 1) ? (byte & 0xF) : (byte >> 4);
        return byte;
    };
    struct Case {
        uint32_t coding;
        uint32_t mosaic;
        uint32_t hold;  // pixel x shows pixel x - x mod hold
    };
    const Case cases[] = {
        {1, 0x800002, 4},   // CLUT8 holds twice the factor
        {1, 0x800005, 10},
        {1, 0x800000, 1},   // factor 0: nothing held
        {1, 0x000002, 1},   // hold off
        {11, 0x800002, 2},  // CLUT4 holds the factor itself
        {11, 0x800003, 3},
    };
    for (const auto& c : cases) {
        m = std::make_unique<Mcd212>();
        SetUp();
        plane_a(c.coding);
        bytes_a(bytes);
        m->mosaic_a = c.mosaic;
        m->render_scanline(32);
        for (uint32_t x : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 9u, 10u, 11u, 19u, 20u, 33u, 766u, 767u}) {
            EXPECT_EQ(px(0, x), shown(m->clut[index_at(c.coding, x - x % c.hold)]))
                << std::hex << c.mosaic << std::dec << " x " << x;
        }
    }
    // Plane B's hold uses mosaic_b.
    m = std::make_unique<Mcd212>();
    SetUp();
    plane_b(3);
    bytes_b(bytes);
    m->mosaic_b = 0x800001;
    m->render_scanline(32);
    EXPECT_EQ(px(0, 1), shown(m->clut[128 + (bytes[0] & 0x7F)]));
    EXPECT_EQ(px(0, 2), shown(m->clut[128 + (bytes[1] & 0x7F)]));
    EXPECT_EQ(px(0, 3), shown(m->clut[128 + (bytes[1] & 0x7F)]));
}

// Plane A CLUT8: pixels 0-1 show the key colour, pixels 2-3 a colour one blue step away.
// Region flag 0 is set from pixel 2 on; region flag 1 is clear everywhere.
TEST_F(Render, TransparencyConditions) {
    struct Case {
        uint32_t nibble;
        bool t0, t2;
    };
    const Case cases[] = {
        {0x0, true, true},   {0x1, true, false},  {0x2, false, false}, {0x3, false, true},
        {0x4, false, false}, {0x5, true, true},   {0x6, true, false},  {0x7, false, false},
        {0x8, false, false}, {0x9, false, true},  {0xA, false, false}, {0xB, true, false},
        {0xC, true, true},   {0xD, true, true},   {0xE, true, true},   {0xF, false, false},
    };
    for (bool on_b : {false, true}) {
        for (const auto& c : cases) {
            m = std::make_unique<Mcd212>();
            SetUp();
            m->clut[40] = m->clut[168] = 0xFF204060;
            m->clut[41] = m->clut[169] = 0xFF204064;
            m->backdrop_colour = 9;
            m->load_control_plane_a(0xD0, 0x00900002);  // op 9 at X 2: region flag 0 := 1
            if (on_b) {
                plane_b(3);
                bytes_b({40, 41});
                m->transparent_colour_b = 0x204060;
                m->transparent_colour_a = 0x204064;  // the other plane's key is not used
                m->transparency_control = c.nibble << 8;
            } else {
                plane_a(1);
                bytes_a({40, 41});
                m->transparent_colour_a = 0x204060;
                m->transparent_colour_b = 0x204064;
                m->transparency_control = c.nibble;
            }
            m->render_scanline(32);
            const uint32_t base = on_b ? 128 : 0;
            EXPECT_EQ(px(0, 0), c.t0 ? 0xFF0000F9 : shown(m->clut[base + 40]))
                << (on_b ? "B" : "A") << " nibble " << c.nibble << " x 0";
            EXPECT_EQ(px(0, 2), c.t2 ? 0xFF0000F9 : shown(m->clut[base + 41]))
                << (on_b ? "B" : "A") << " nibble " << c.nibble << " x 2";
        }
    }
    // The mask colour removes bits from the comparison: blue bit 2 masked keys both colours.
    m = std::make_unique<Mcd212>();
    SetUp();
    m->clut[40] = 0xFF204060;
    m->clut[41] = 0xFF204064;
    m->backdrop_colour = 9;
    plane_a(1);
    bytes_a({40, 41});
    m->transparent_colour_a = 0x204060;
    m->mask_colour_a = 0x000004;
    m->transparency_control = 1;
    m->render_scanline(32);
    EXPECT_EQ(px(0, 0), 0xFF0000F9u);
    EXPECT_EQ(px(0, 2), 0xFF0000F9u);
}

TEST_F(Render, DyuvTransparencyHasNoColourKey) {
    struct Case {
        uint32_t nibble;
        bool t0, t2;
    };
    const Case cases[] = {{0x0, true, true},   {0x1, false, false}, {0x3, false, true},
                          {0x5, false, true},  {0xB, true, false},  {0x6, false, false},
                          {0xE, true, true},   {0x9, false, false}};
    for (const auto& c : cases) {
        m = std::make_unique<Mcd212>();
        plane_a(5);
        m->dyuv_start_a = 0x108080;
        m->transparent_colour_a = 0x101010;  // matches the decoded colour, and must not key
        m->backdrop_colour = 9;
        m->load_control_plane_a(0xD0, 0x00900002);
        m->transparency_control = c.nibble;
        m->render_scanline(32);
        EXPECT_EQ(px(0, 0) == 0xFF0000F9, c.t0) << c.nibble;
        EXPECT_EQ(px(0, 2) == 0xFF0000F9, c.t2) << c.nibble;
    }
}

TEST_F(Render, ExternalVideoBehindTransparentPlanes) {
    struct Case {
        uint32_t icm_bits;
        bool external;
    };
    const Case cases[] = {{0, false}, {0x10, true}, {0x1000, true}, {0x40000, true}, {0x20, false}};
    for (const auto& c : cases) {
        m = std::make_unique<Mcd212>();
        m->backdrop_colour = 2;
        for (uint32_t x = 0; x < 768; ++x) m->external_video[x] = 0xFF000000u | x;
        m->image_coding_method = c.icm_bits;
        m->render_scanline(32);
        EXPECT_EQ(px(0, 300), c.external ? 0xFF00012Cu : 0xFF007B00u) << c.icm_bits;
        EXPECT_EQ(px(1, 5), c.external ? 0xFF000005u : 0xFF007B00u) << c.icm_bits;
    }
}

TEST_F(Render, ExternalVideoWhereKeyedPixelsLeaveBothPlanesClear) {
    for (bool with_b : {false, true}) {
        m = std::make_unique<Mcd212>();
        SetUp();
        for (uint32_t x = 0; x < 768; ++x) m->external_video[x] = 0xFF000000u | (x << 8);
        plane_a(1);
        bytes_a({40, 44});  // colours that differ in their top six bits
        m->transparent_colour_a = m->clut[40] & 0xFCFCFC;
        m->transparency_control = 0x01;  // plane A: colour key
        if (with_b) {                    // plane B keyed on the same pixels, at uneven weights
            plane_b(3);
            bytes_b({40, 44});
            m->transparent_colour_b = m->clut[168] & 0xFCFCFC;
            m->transparency_control = 0x0101;  // both planes keyed
            m->weight_b[700] = 10;
        }
        m->image_coding_method |= 0x10;
        m->render_scanline(32);
        EXPECT_EQ(px(0, 1), 0xFF000100u) << with_b;
        const uint32_t expected = with_b ? mix(m->clut[44], 64, m->clut[172], 64) : shown(m->clut[44]);
        EXPECT_EQ(px(0, 2), expected) << with_b;
        EXPECT_EQ(px(1, 3), expected) << with_b;
    }
}

TEST_F(Render, EmptyPlaneAndWriteBack) {
    // Coding 0 or address 0: plane black, uniform transparency, nothing written back.
    struct Case {
        uint32_t coding, address, nibble;
        uint32_t expected;
    };
    const Case cases[] = {{0, kAddressA, 0, 0xFF00007B}, {0, kAddressA, 8, 0xFF000000},
                          {1, 0, 0, 0xFF00007B}, {1, 0, 8, 0xFF000000}};
    for (const auto& c : cases) {
        m = std::make_unique<Mcd212>();
        m->backdrop_colour = 1;
        plane_a(c.coding, c.address);
        m->transparency_control = c.nibble;
        m->render_scanline(32);
        EXPECT_EQ(px(0, 10), c.expected);
        EXPECT_EQ(address_a(), c.address) << "no write-back";
    }
    // The address carries into DCR bits 0-5; the next line continues there.
    m = std::make_unique<Mcd212>();
    SetUp();
    plane_a(1, 0xFF80);
    m->dcr1 |= Mcd212::kDcrIcaEnable;
    m->bank0_copy[0xFF80 + 384] = 0x33;
    m->render_scanline(32);
    EXPECT_EQ(m->vsr1, 0x0100);
    EXPECT_EQ(m->dcr1, Mcd212::kDcrDisplayEnable | Mcd212::kDcrIcaEnable | 0x01);
    m->render_scanline(33);
    EXPECT_EQ(px(2, 0), shown(m->clut[0x33]));
    EXPECT_EQ(address_a(), 0x10280u);
    // Addresses wrap within the bank.
    m = std::make_unique<Mcd212>();
    SetUp();
    plane_a(1, 0x3FFFFF);
    m->bank0_copy[0x7FFFF] = 0x21;
    m->bank0_copy[0] = 0x22;
    m->render_scanline(32);
    EXPECT_EQ(px(0, 0), shown(m->clut[0x21]));
    EXPECT_EQ(px(0, 2), shown(m->clut[0x22]));
    EXPECT_EQ(address_a(), (0x3FFFFFu + 384) & 0x3FFFFF);
}

TEST_F(Render, Cursor) {
    struct Case {
        const char* name;
        uint32_t control;
        uint32_t position;
        bool blink_off;
        uint64_t line;
        std::vector<uint32_t> on;   // pixels in the cursor colour
        std::vector<uint32_t> off;  // pixels not in it
        uint32_t colour;
    };
    const uint32_t x100 = 100;
    const Case cases[] = {
        {"low resolution", 0x800004, x100, false, 32, {100, 101, 130, 131}, {99, 102, 129, 132}, 0xFF7B0000},
        {"high resolution", 0x808004, x100, false, 32, {100, 115}, {101, 114, 116}, 0xFF7B0000},
        {"disabled", 0x000004, x100, false, 32, {}, {100, 101, 130}, 0},
        {"blink off hides", 0x800004, x100, true, 32, {}, {100, 130}, 0},
        {"blink off inverts", 0xC00004, x100, true, 32, {100, 131}, {}, 0xFF007B7B},
        {"row offset", 0x80000C, x100 | (5u << 12), false, 37, {100, 130}, {}, 0xFFF90000},
        {"above the row", 0x80000C, x100 | (5u << 12), false, 36, {}, {100, 130}, 0},
        {"right edge", 0x800007, 766, false, 32, {766, 767}, {765}, 0xFF7B7B7B},
    };
    for (const auto& c : cases) {
        m = std::make_unique<Mcd212>();
        m->cursor_control = c.control;
        m->cursor_position = c.position;
        m->cursor_pattern[0] = 0x8001;
        m->blink_off = c.blink_off;
        m->render_scanline(c.line);
        const uint32_t row = 2 * static_cast<uint32_t>(c.line - 32);
        for (uint32_t x : c.on) EXPECT_EQ(px(row, x), c.colour) << c.name << " x " << x;
        for (uint32_t x : c.off) EXPECT_EQ(px(row, x), 0xFF000000u) << c.name << " x " << x;
    }
}

TEST_F(Render, InterlaceRows) {
    m->dcr1 = Mcd212::kDcrInterlace;
    m->backdrop_colour = 1;
    std::fill(m->previous_field.begin(), m->previous_field.begin() + 768, 0xFF123456);
    m->render_scanline(32);  // parity clear: this field to the odd row
    EXPECT_EQ(px(0, 0), 0xFF123456u);
    EXPECT_EQ(px(1, 0), 0xFF00007Bu);
    EXPECT_EQ(m->previous_field[767], 0xFF00007Bu);

    m->csr1r = Mcd212::kCsr1rFieldParity;
    m->backdrop_colour = 2;
    m->render_scanline(32);  // parity set: this field to the even row
    EXPECT_EQ(px(0, 0), 0xFF007B00u);
    EXPECT_EQ(px(1, 0), 0xFF00007Bu);
    EXPECT_EQ(m->previous_field[0], 0xFF007B00u);

    // Without interlace both rows show the line and the previous field is left alone.
    m->dcr1 = 0;
    m->backdrop_colour = 4;
    m->render_scanline(33);
    EXPECT_EQ(px(2, 0), 0xFF7B0000u);
    EXPECT_EQ(px(3, 0), 0xFF7B0000u);
    EXPECT_EQ(m->previous_field[768], 0u);
}

TEST_F(Render, ActiveLinesBordersAndFieldParity) {
    struct Case {
        VideoMode mode;
        uint64_t line;
        int row;  // -1: nothing written
        bool toggles;
    };
    const Case cases[] = {
        {VideoMode::Pal, 31, -1, false},  {VideoMode::Pal, 32, 0, false},    {VideoMode::Pal, 310, 556, false},
        {VideoMode::Pal, 311, 558, true}, {VideoMode::Pal, 312, -1, false},  {VideoMode::Ntsc, 21, -1, false},
        {VideoMode::Ntsc, 22, 40, false}, {VideoMode::Ntsc, 261, 518, true}, {VideoMode::Ntsc, 262, -1, false},
    };
    for (const auto& c : cases) {
        m = std::make_unique<Mcd212>();
        m->video_mode = c.mode;
        m->backdrop_colour = 15;
        m->fill_frame(0x12345678u);
        m->render_scanline(c.line);
        uint32_t written = 0;
        for (uint32_t row = 0; row < 560; ++row) written += px(row, 0) == 0xFFF9F9F9u;
        if (c.row < 0) {
            EXPECT_EQ(written, 0u) << c.line;
        } else {
            EXPECT_EQ(written, 2u) << c.line;
            EXPECT_EQ(px(static_cast<uint32_t>(c.row), 0), 0xFFF9F9F9u) << c.line;
            EXPECT_EQ(px(static_cast<uint32_t>(c.row) + 1, 767), 0xFFF9F9F9u) << c.line;
        }
        EXPECT_EQ((m->csr1r & Mcd212::kCsr1rFieldParity) != 0, c.toggles) << c.line;
        if (c.mode == VideoMode::Ntsc && c.line == 22) {
            EXPECT_EQ(px(0, 0), 0xFF000000u);
            EXPECT_EQ(px(39, 767), 0xFF000000u);
            EXPECT_EQ(px(520, 0), 0x12345678u);
        }
        if (c.mode == VideoMode::Ntsc && c.line == 261) {
            EXPECT_EQ(px(520, 0), 0xFF000000u);
            EXPECT_EQ(px(559, 767), 0xFF000000u);
            EXPECT_EQ(px(39, 0), 0x12345678u);
        }
    }
}

// ---- A whole display built through the display control programs, as a program would ----
// The same writes as tests/fixtures/video/display_bars.s: CLUT8 colour bars on plane A and a
// flat DYUV picture on plane B, mixed at weight 32 each.
struct Write {
    uint32_t address;
    uint32_t value;
};

// The ICAs (both field entries: 0x400 is a no-op falling into 0x404), the channel-1 DCA that
// reloads the bar line every active line, and the picture data.
std::vector<Write> display_bars_program() {
    std::vector<Write> w;
    auto ica = [&](uint32_t bank_base, const std::vector<uint32_t>& words) {
        uint32_t a = bank_base + 0x400;
        w.push_back({a, 0x10000000});  // even-field entry: no-op
        for (uint32_t v : words) w.push_back({a += 4, v});
    };
    ica(0x000000, {0xC3000000,                                        // plane A CLUT bank 0
                   0x80B4B4B4, 0x81B4B410, 0x8210B4B4, 0x8310B410,    // white yellow cyan green
                   0x84B410B4, 0x85B41010, 0x861010B4, 0x87101010,    // magenta red blue black
                   0xC0000501,                                        // A CLUT8, B DYUV
                   0xC1000808,                                        // both planes opaque
                   0xDB000020,                                        // weight A 32
                   0xD8000001,                                        // backdrop (hidden)
                   0x20001000,                                        // DCA at 0x1000
                   0x50002000});                                      // plane A line, stop
    ica(0x200000, {0xCB64965A,   // DYUV start Y 100, U 150, V 90
                   0xDC000020,   // weight B 32
                   0x50002000}); // plane B line, stop
    w.push_back({0x1000, 0x40002000});  // DCA: line address 0x2000 ...
    w.push_back({0x1004, 0x30001000});  // ... and the same DCA next line, stop
    for (uint32_t bar = 0; bar < 8; ++bar) {  // 48 bytes (96 pixels) per bar
        for (uint32_t n = 0; n < 48; n += 4) w.push_back({0x2000 + bar * 48 + n, bar * 0x01010101u});
    }
    return w;
}

TEST(Mcd212Display, ColourBarsOverDyuvThroughTheBus) {
    auto bus = std::make_unique<Bus>();
    for (const auto& [address, value] : display_bars_program()) bus->write_long(address, value);
    bus->write_word(0x4FFFE2, 0x8200);  // DCR2: display, ICA
    bus->write_word(0x4FFFF2, 0x8300);  // DCR1: display, ICA, DCA
    for (int frame = 0; frame < 2; ++frame) {
        for (uint64_t line = 0; line < 312; ++line) {
            bus->step_scanline(line);
            bus->mcd212.render_scanline(line);
        }
    }
    // Plane B: (100, 150, 90) gives R 100 - 52, G 100 - 7 + 26, B 100 + 38 = (48, 119, 138).
    // White bar 180: R (164 x 32 >> 6) + (32 x 32 >> 6) = 82 + 16 = 98 -> (98 x 298 + 128) >> 8 = 114;
    // G 82 + 51 = 133 -> 155; B 82 + 61 = 143 -> 166.
    // Red bar: R 114; G 0 + 51 -> 59; B 0 + 61 -> 71. Black bar 16: R 0 + 16 -> 19.
    struct Sample {
        uint32_t row, x, colour;
    };
    const Sample samples[] = {
        {0, 0, 0xFF729BA6},   {0, 95, 0xFF729BA6}, {1, 50, 0xFF729BA6}, {300, 5 * 96, 0xFF723B47},
        {559, 7 * 96 + 95, 0xFF133B47}, {280, 5 * 96 + 47, 0xFF723B47},
    };
    for (const auto& s : samples) {
        EXPECT_EQ(bus->mcd212.frame_pixels()[s.row * Mcd212::kFrameStride + s.x], s.colour)
            << "row " << s.row << " x " << s.x;
    }
    // Every bar, from the formula: bar colour and the DYUV colour at weight 32 each.
    const uint32_t bars[8] = {0xFFB4B4B4, 0xFFB4B410, 0xFF10B4B4, 0xFF10B410,
                              0xFFB410B4, 0xFFB41010, 0xFF1010B4, 0xFF101010};
    for (uint32_t bar = 0; bar < 8; ++bar) {
        EXPECT_EQ(bus->mcd212.frame_pixels()[200 * Mcd212::kFrameStride + bar * 96 + 10],
                  mix(bars[bar], 32, 0xFF30778A, 32))
            << "bar " << bar;
    }
}

TEST(Mcd212Display, OneVideoInterruptPerFrameFromEitherEntry) {
    auto bus = std::make_unique<Bus>();
    // 0x400: no-op, 0x404: interrupt, 0x408: stop. Both field entries meet the interrupt once.
    bus->write_long(0x400, 0x10000000);
    bus->write_long(0x404, 0x60000000);
    bus->write_long(0x408, 0x00000000);
    bus->write_word(0x4FFFF2, 0x8200);
    uint32_t interrupts = 0;
    for (int frame = 0; frame < 6; ++frame) {
        for (uint64_t line = 0; line < 312; ++line) {
            bus->step_scanline(line);
            if (bus->mcd212.irq_request) {  // the frontend's latch, then the handler's CSR2R read
                bus->mcd212.irq_request = false;
                ++interrupts;
                EXPECT_EQ(line, 0u);
                EXPECT_EQ(bus->read_word(0x4FFFE0) & 0x06, 0x04);
            }
            bus->mcd212.render_scanline(line);
        }
    }
    EXPECT_EQ(interrupts, 6u);
    EXPECT_EQ(bus->mcd212.csr1r & Mcd212::kCsr1rFieldParity, 0) << "six fields: parity back to even";
}

}  // namespace
}  // namespace vestrel

// ---- Whole frames of mixed scenes against the line model ----
// Every coding, file type, transparency rule, mosaic, region, cursor, interlace and NTSC path
// over random picture data, with a DCA reloading colours and weights each line and CPU writes
// landing in the banks mid-frame (seen from the next frame on). Each line is compared with the
// line model as it is rendered, and copying only the written pages at line 0 must give the same
// frames as copying the whole banks.
namespace vestrel {
namespace {

struct Scene {
    const char* name;
    uint32_t icm, tc;
    uint16_t dcr1, dcr2, ddr1, ddr2;
    uint32_t mosaic_a, mosaic_b, cursor_control, plane_order;
    bool regions, ntsc, dca;
};

// Renders three frames of `s`; returns the frame buffers one after another, and reports the
// first line that differs from the model in `difference`.
std::vector<uint32_t> render_scene(const Scene& s, bool track_writes, std::string& difference) {
    auto m = std::make_unique<Mcd212>();
    std::mt19937 rng(1234);
    for (auto& b : m->bank0) b = static_cast<uint8_t>(rng());
    for (auto& b : m->bank1) b = static_cast<uint8_t>(rng());
    for (uint32_t i = 0; i < 256; ++i) m->clut[i] = 0xFF000000u | (rng() & 0xFCFCFC);
    if (s.ntsc) m->video_mode = VideoMode::Ntsc;
    m->dcr1 = static_cast<uint16_t>(s.dcr1 | 0x0001);  // plane A at 0x1xxxx
    m->dcr2 = static_cast<uint16_t>(s.dcr2 | 0x0002);  // plane B at 0x2xxxx
    m->vsr1 = 0x0100;
    m->vsr2 = 0x0300;
    m->ddr1 = s.ddr1;
    m->ddr2 = s.ddr2;
    m->image_coding_method = s.icm;
    m->transparency_control = s.tc;
    m->plane_order = s.plane_order;
    m->transparent_colour_a = m->clut[0x21] & 0xFCFCFC;
    m->transparent_colour_b = m->clut[0xA3] & 0xFCFCFC;
    m->mask_colour_a = 0x0C0C0C;
    m->dyuv_start_a = 0x508080;
    m->dyuv_start_b = 0x30A070;
    m->mosaic_a = s.mosaic_a;
    m->mosaic_b = s.mosaic_b;
    m->backdrop_colour = 0x0B;
    m->cursor_control = s.cursor_control;
    m->cursor_position = (60u << 12) | 301;
    for (uint32_t r = 0; r < 16; ++r) m->cursor_pattern[r] = static_cast<uint16_t>(0x8001u | (0x0FF0u >> (r % 5)));
    for (uint32_t x = 0; x < Mcd212::kLineWidth; ++x) {
        m->external_video[x] = 0xFF000000u | (x * 0x010203u & 0xFFFFFF);
    }
    m->load_control_plane_a(0xDB, 40);
    m->load_control_plane_b(0xDC, 24);
    if (s.regions) {
        m->load_control_plane_a(0xD0, 0xC00000u | (20u << 10) | 101);  // weight A 20
        m->load_control_plane_a(0xD1, 0xE00000u | (50u << 10) | 333);  // weight B 50
        m->load_control_plane_a(0xD2, 0xD00000u | (10u << 10) | 500);  // weight A 10, flag 0 on
        m->load_control_plane_a(0xD3, 0x800000u | 640);                // flag 0 off
    }
    if (s.dca) {
        // Channel 1's DCA at 0x30000, 64 bytes a line: a colour, a weight, then stop.
        m->ddr1 = static_cast<uint16_t>(m->ddr1 | 0x0003);
        m->dcr1 = static_cast<uint16_t>(m->dcr1 | Mcd212::kDcrDcaEnable);
        for (uint32_t line = 0; line < 320; ++line) {
            const uint32_t a = 0x30000 + 64 * line;
            const uint32_t words[3] = {(0x80u + (line & 0x3F)) << 24 | (line * 0x030507u & 0xFCFCFC),
                                       0xDB000000u | (line % 64), 0};
            for (uint32_t w = 0; w < 3; ++w) {
                for (uint32_t k = 0; k < 4; ++k) m->bank0[a + 4 * w + k] = static_cast<uint8_t>(words[w] >> (24 - 8 * k));
            }
        }
    }
    if (track_writes) m->track_writes();
    std::vector<uint32_t> frames;
    for (int frame = 0; frame < 3; ++frame) {
        for (uint64_t line = 0; line < 312; ++line) {
            m->run_display_programs(line);
            if (frame == 1 && line == 150) {  // the CPU rewrites part of both pictures
                for (uint32_t n = 0; n < 0x8000; n += 2) {
                    m->ram_write_byte(0, 0x10000 + n, static_cast<uint8_t>(n * 7));
                    m->ram_write_byte(0, 0x10000 + n + 1, static_cast<uint8_t>((n + 1) * 7));
                    m->ram_write_word(1, 0x20000 + n, static_cast<uint16_t>(((n * 13) & 0xFF) << 8 | (((n + 1) * 13) & 0xFF)));
                }
            }
            std::string d = line_model::render_and_compare(*m, line);
            if (difference.empty() && !d.empty()) difference = "frame " + std::to_string(frame) + ": " + d;
        }
        frames.insert(frames.end(), m->frame_buffer.begin(), m->frame_buffer.end());
    }
    return frames;
}

TEST(Mcd212Frames, ScenesMatchTheLineModel) {
    constexpr uint16_t on = Mcd212::kDcrDisplayEnable;
    constexpr uint32_t cursor = 0x800000u | (2u << 19) | (1u << 16) | 0x5;
    const Scene scenes[] = {
        {"clut8 over dyuv", 0x0501, 0x0808, on, on, 0, 0, 0, 0, 0, 0, false, false, false},
        {"clut7 keyed, rear black", 0x0303, 0x800801, on, on, 0, 0, 0, 0, 0, 1, false, false, false},
        {"clut4 run-length and mosaic file", 0x0B0B, 0x0108, on, on, 0x0200, 0x0700, 0, 0, 0, 0, false, false, false},
        {"rl7 over rgb555", 0x0103, 0x0208, on, on, 0x0200, 0, 0, 0, 0, 0, false, false, false},
        {"rgb555 keyed", 0x0101, 0x0108, on, on, 0, 0, 0, 0, 0, 0, false, false, false},
        {"dyuv both, regions, hold", 0x0505, 0x0304, on, on, 0, 0, 0x800003, 0x800001, 0, 0, true, false, false},
        {"clut77 high, external video", 0x441314, 0x0105, on, on, 0, 0, 0, 0, 0, 0, false, false, false},
        {"keyed with regions", 0x0301, 0x0E06, on, on, 0, 0, 0, 0x800002, 0, 1, true, false, false},
        {"two region lists", 0x080B01, 0x0503, on, on, 0, 0x0300, 0, 0, 0, 0, true, false, false},
        {"ntsc interlace cursor dca", 0x0501, 0x0808, on | Mcd212::kDcrInterlace, on, 0, 0, 0, 0, cursor, 0, false, true, true},
        {"pal cursor dca, plane b only", 0x0500, 0x0808, 0, on, 0, 0, 0, 0, cursor | 0x8000, 0, false, false, true},
        {"plane a off over regions", 0x0501, 0x0808, 0, on, 0, 0, 0, 0, 0, 0, true, false, false},
        {"both off", 0x0501, 0x0808, 0, 0, 0, 0, 0, 0, 0, 0, false, false, false},
    };
    for (const auto& s : scenes) {
        std::string whole, tracked;
        const std::vector<uint32_t> frames = render_scene(s, false, whole);
        EXPECT_EQ(whole, "") << s.name;
        EXPECT_TRUE(render_scene(s, true, tracked) == frames) << s.name << ", written pages only";
        EXPECT_EQ(tracked, "") << s.name << ", written pages only";
    }
}

}  // namespace
}  // namespace vestrel
