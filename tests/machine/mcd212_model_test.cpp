// The renderer and the region computation against the plain line model, on many random lines
// and register settings. The model itself is first held to values worked by hand.
#include <algorithm>
#include <memory>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "machine/mcd212.hpp"
#include "mcd212_line_model.hpp"

namespace vestrel {
namespace {

// ---- The model on values worked by hand ----

TEST(Mcd212LineModel, HandWorkedLines) {
    {   // CLUT8 0xEBEBEB at weight 63 over nothing: 219 x 63 >> 6 = 215 -> (215 x 298 + 128) >> 8 = 250.
        auto m = std::make_unique<Mcd212>();
        m->dcr1 = 0x8001;
        m->image_coding_method = 1;
        m->transparency_control = 0x08;
        m->clut[0] = 0xFFEBEBEB;
        m->weight_a.fill(63);
        const auto r = line_model::render_line(*m, 32);
        EXPECT_EQ(r.output[0], 0xFFFAFAFAu);
        EXPECT_EQ(r.output[767], 0xFFFAFAFAu);
        EXPECT_EQ(r.vsr1, 384u);
        EXPECT_EQ(r.row, 0u);
    }
    {   // DYUV bytes 0 from Y 16, U 128, V 128: plane black everywhere, 384 bytes taken.
        auto m = std::make_unique<Mcd212>();
        m->dcr2 = 0x8000;
        m->vsr2 = 0x100;
        m->image_coding_method = 0x500;
        m->transparency_control = 0x0800;
        m->dyuv_start_b = 0x108080;
        m->weight_b.fill(64);
        const auto r = line_model::render_line(*m, 40);
        EXPECT_EQ(r.output[5], 0xFF000000u);  // 0xFF101010 lifts to 0
        EXPECT_EQ(r.vsr2, 0x100u + 384);
        EXPECT_EQ(r.row, 16u);
    }
    {   // Run-length CLUT7 0x85 0x00 fills the line with clut[5] and takes 2 bytes; a cursor
        // row 0x8001 at X 100 (low resolution) covers pixels 100, 101, 130 and 131.
        auto m = std::make_unique<Mcd212>();
        m->dcr1 = 0x8000;
        m->vsr1 = 0x200;
        m->ddr1 = 0x200;
        m->bank0_copy[0x200] = 0x85;
        m->bank0_copy[0x201] = 0x00;
        m->image_coding_method = 3;
        m->transparency_control = 0x08;
        m->clut[5] = 0xFF505050;  // 64 x 64 >> 6 = 64 -> 75
        m->weight_a.fill(64);
        m->cursor_control = 0x800004;  // index 4: 0xFF7B0000
        m->cursor_position = (10u << 12) | 100;
        m->cursor_pattern[0] = 0x8001;
        const auto r = line_model::render_line(*m, 42);
        EXPECT_EQ(r.vsr1, 0x202u);
        EXPECT_EQ(r.output[99], 0xFF4B4B4Bu);
        EXPECT_EQ(r.output[767], 0xFF4B4B4Bu);
        for (uint32_t x : {100u, 101u, 130u, 131u}) EXPECT_EQ(r.output[x], 0xFF7B0000u) << x;
        EXPECT_EQ(r.output[102], 0xFF4B4B4Bu);
    }
    {   // NTSC line 261 writes rows 518 and 519 and flips the field parity.
        auto m = std::make_unique<Mcd212>();
        m->video_mode = VideoMode::Ntsc;
        m->backdrop_colour = 1;
        const auto r = line_model::render_line(*m, 261);
        EXPECT_EQ(r.row, 518u);
        EXPECT_EQ(r.output[0], 0xFF00007Bu);
        EXPECT_TRUE(r.black_bottom);
        EXPECT_EQ(r.csr1r, 0x20);
    }
    {   // Region control 0x00403C64: plane A weight 15 from pixel 100.
        auto m = std::make_unique<Mcd212>();
        m->weight_a[0] = 20;
        m->region_control[0] = 0x00403C64;
        const auto r = line_model::regions(*m);
        EXPECT_EQ(r.weight_a[99], 20);
        EXPECT_EQ(r.weight_a[100], 15);
        EXPECT_EQ(r.weight_a[767], 15);
    }
}

// ---- Random settings ----

class RandomVideo {
public:
    explicit RandomVideo(uint32_t seed) : rng_(seed) {}

    uint32_t next() { return static_cast<uint32_t>(rng_()); }
    uint32_t below(uint32_t n) { return next() % n; }
    bool chance(uint32_t in) { return below(in) == 0; }

    // Picture memory: random bytes, with stretches of one value so that runs, keys and flat
    // DYUV areas occur.
    void fill_memory(Mcd212& m) {
        for (auto* bank : {&m.bank0_copy, &m.bank1_copy}) {
            for (uint32_t a = 0; a < Mcd212::kBankSize;) {
                const uint32_t length = 1 + below(64);
                const bool flat = chance(3);
                const auto value = static_cast<uint8_t>(next());
                for (uint32_t n = 0; n < length && a < Mcd212::kBankSize; ++n, ++a) {
                    (*bank)[a] = flat ? value : static_cast<uint8_t>(next());
                }
            }
        }
        for (auto& p : m.previous_field) p = colour();
    }

    uint32_t coding() {
        static constexpr uint32_t kUsual[] = {0, 1, 3, 4, 5, 11, 1, 3, 5, 11};
        return chance(6) ? below(16) : kUsual[below(std::size(kUsual))];
    }

    uint32_t colour() { return 0xFF000000u | (next() & 0xFFFFFF); }

    // A whole new set of registers.
    void registers(Mcd212& m) {
        m.video_mode = chance(3) ? VideoMode::Ntsc : VideoMode::Pal;
        for (auto& c : m.clut) c = colour();
        plane(m, false);
        plane(m, true);
        m.image_coding_method = coding() | (coding() << 8) | (chance(3) ? 1u << 22 : 0) |
                                (chance(2) ? 1u << 19 : 0) | (chance(5) ? (0x41010u & next()) : 0);
        m.transparency_control = condition() | (condition() << 8) | (chance(3) ? 1u << 23 : 0);
        m.plane_order = below(8);
        // Keys that hit: a CLUT colour, sometimes with a mask that widens the match.
        m.transparent_colour_a = m.clut[below(256)] & 0xFCFCFC;
        m.transparent_colour_b = m.clut[below(256)] & 0xFCFCFC;
        m.mask_colour_a = chance(2) ? 0 : next() & 0xFCFCFC & (chance(2) ? 0x0C0C0C : 0xFFFFFF);
        m.mask_colour_b = chance(2) ? 0 : next() & 0xFCFCFC & (chance(2) ? 0x0C0C0C : 0xFFFFFF);
        m.dyuv_start_a = next() & 0xFFFFFF;
        m.dyuv_start_b = next() & 0xFFFFFF;
        m.mosaic_a = mosaic();
        m.mosaic_b = mosaic();
        m.backdrop_colour = next() & 0xFFFFFF;
        cursor(m);
        for (auto& p : m.external_video) p = colour();
        regions(m);
        m.csr1r = static_cast<uint8_t>(next());
        m.dcr1 = static_cast<uint16_t>(m.dcr1 | (chance(4) ? Mcd212::kDcrInterlace : 0));
    }

    // One plane's enable, address and file type.
    void plane(Mcd212& m, bool b) {
        uint16_t& dcr = b ? m.dcr2 : m.dcr1;
        uint16_t& vsr = b ? m.vsr2 : m.vsr1;
        uint16_t& ddr = b ? m.ddr2 : m.ddr1;
        dcr = static_cast<uint16_t>((next() & 0x7FC0) | (chance(4) ? 0 : Mcd212::kDcrDisplayEnable) | below(8));
        vsr = static_cast<uint16_t>(next());
        if (chance(12)) {  // address 0: an empty plane
            dcr &= static_cast<uint16_t>(~0x3Fu);
            vsr = 0;
        }
        if (chance(8)) dcr |= 7;  // near the bank end: the address wraps
        if (chance(8)) vsr = static_cast<uint16_t>(0xFFFF - below(400));
        ddr = static_cast<uint16_t>(next() & 0x0F3F);
    }

    uint32_t condition() { return chance(8) ? next() & 0xFF : below(16); }

    uint32_t mosaic() {
        if (chance(2)) return next() & 0x7FFFFF;
        return 0x800000u | (chance(2) ? below(6) : next() & 0xFF);
    }

    void cursor(Mcd212& m) {
        m.cursor_control = chance(2) ? 0 : (0x800000u | (next() & 0x47800F));
        m.cursor_position = (below(m.active_line_count()) << 12) | below(800);
        for (auto& row : m.cursor_pattern) row = static_cast<uint16_t>(next());
        m.blink_off = chance(3);
    }

    // Weights and region flags through the control loads, as a display program sets them.
    void regions(Mcd212& m) {
        m.load_control_plane_a(0xDB, chance(8) ? next() & 0xFF : below(64));
        m.load_control_plane_b(0xDC, chance(8) ? next() & 0xFF : below(64));
        const uint32_t entries = chance(3) ? 0 : below(9);
        uint32_t x = 0;
        for (uint32_t e = 0; e < 8; ++e) {
            uint32_t value = 0;
            if (e < entries) {
                x = chance(6) ? below(768) : std::min<uint32_t>(x + below(200), 1023);
                value = (below(16) << 20) | (next() & 0x1FC00) | x;
            }
            if (e & 1) {  // either channel may load them
                m.load_control_plane_b(static_cast<uint8_t>(0xD0 + e), value);
            } else {
                m.load_control_plane_a(static_cast<uint8_t>(0xD0 + e), value);
            }
        }
    }

    // A few registers changed between two lines of one picture.
    void nudge(Mcd212& m) {
        switch (below(9)) {
            case 0: m.dcr1 ^= Mcd212::kDcrDisplayEnable; break;
            case 1: m.dcr2 ^= Mcd212::kDcrDisplayEnable; break;
            case 2: m.image_coding_method ^= (1u << below(24)); break;
            case 3: m.transparency_control = (m.transparency_control & ~0xFFu) | condition(); break;
            case 4: regions(m); break;
            case 5: m.mosaic_a = mosaic(); break;
            case 6: plane(m, below(2) != 0); break;
            case 7:
                if (chance(4)) m.fill_frame(colour());  // the frontend's blank screens
                break;
            default: break;  // the same registers again
        }
    }

private:
    std::mt19937 rng_;
};

TEST(Mcd212LineModel, RendererMatchesOnRandomLines) {
    RandomVideo r(20261211);
    auto m = std::make_unique<Mcd212>();
    r.fill_memory(*m);
    int failures = 0;
    for (int trial = 0; trial < 6000 && failures < 5; ++trial) {
        r.registers(*m);
        const std::string regions = line_model::compare_regions(*m);
        if (!regions.empty()) {
            ++failures;
            ADD_FAILURE() << "trial " << trial << ": " << regions;
        }
        const uint32_t first = m->first_active_line();
        const uint32_t count = m->active_line_count();
        // Mostly active lines, with the first and last ones and some outside the range.
        uint64_t line = first + r.below(count);
        if (r.chance(10)) line = r.chance(2) ? first : first + count - 1;
        if (r.chance(20)) line = r.below(330);
        const uint32_t lines = 1 + r.below(4);
        for (uint32_t n = 0; n < lines && failures < 5; ++n, ++line) {
            const std::string difference = line_model::render_and_compare(*m, line);
            if (!difference.empty()) {
                ++failures;
                ADD_FAILURE() << "trial " << trial << ", line " << n << " of " << lines << ": " << difference;
            }
            r.nudge(*m);
        }
    }
}

}  // namespace
}  // namespace vestrel
