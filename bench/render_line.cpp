// Speed of the MCD212 line renderer per coding method, in pixels per second ("pixels/s", 768
// a line). A PAL picture needs 280 lines x 50 frames = 14,000 lines per second; the
// "x_realtime" counter is lines per second over that.
#include <memory>
#include <random>

#include <benchmark/benchmark.h>

#include "machine/mcd212.hpp"

namespace {

using vestrel::Mcd212;

constexpr double kLinesPerSecondNeeded = 280.0 * 50.0;

enum Setup : int64_t {
    kClut8 = 0,
    kClut7,
    kClut4,
    kRunLength7,
    kDyuv,
    kRgb555,
    kClut8OverDyuvKeyed,
    kBothOff,
};

std::unique_ptr<Mcd212> make(int64_t setup) {
    auto m = std::make_unique<Mcd212>();
    std::mt19937 rng(7);
    for (auto& b : m->bank0) b = static_cast<uint8_t>(rng());
    for (auto& b : m->bank1) b = static_cast<uint8_t>(rng());
    m->bank0_copy = m->bank0;  // the picture as line 0 would take it
    m->bank1_copy = m->bank1;
    for (uint32_t i = 0; i < 256; ++i) m->clut[i] = 0xFF000000u | (rng() & 0xFCFCFC);
    m->dcr1 = Mcd212::kDcrDisplayEnable | 0x01;
    m->dcr2 = Mcd212::kDcrDisplayEnable | 0x02;
    m->transparency_control = 0x0808;  // both opaque
    m->load_control_plane_a(0xDB, 40);
    m->load_control_plane_b(0xDC, 24);
    m->cursor_control = 0x800007;
    m->cursor_pattern.fill(0xF00F);
    switch (setup) {
        case kClut8: m->image_coding_method = 0x0001; m->dcr2 = 0; break;
        case kClut7: m->image_coding_method = 0x0303; break;
        case kClut4: m->image_coding_method = 0x0B0B; break;
        case kRunLength7:
            m->image_coding_method = 0x0003;
            m->ddr1 = Mcd212::kDdrFileRunLength;
            m->dcr2 = 0;
            break;
        case kDyuv: m->image_coding_method = 0x0505; break;
        case kRgb555: m->image_coding_method = 0x0101; break;
        case kClut8OverDyuvKeyed:
            m->image_coding_method = 0x0501;
            m->transparency_control = 0x0801;  // plane A colour key
            m->transparent_colour_a = m->clut[0x40] & 0xFCFCFC;
            m->mask_colour_a = 0x0C0C0C;
            break;
        case kBothOff: m->dcr1 = m->dcr2 = 0; break;
        default: break;
    }
    return m;
}

void BM_RenderScanline(benchmark::State& state, Setup setup) {
    auto m = make(setup);
    const uint16_t dcr1 = m->dcr1;
    const uint16_t dcr2 = m->dcr2;
    uint64_t line = 32;
    for (auto _ : state) {
        if (line == 32) {  // each field starts from the same picture
            m->dcr1 = dcr1;
            m->dcr2 = dcr2;
            m->vsr1 = m->vsr2 = 0;
        }
        m->render_scanline(line);
        line = line == 311 ? 32 : line + 1;
        benchmark::ClobberMemory();
    }
    const auto lines = static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations() * Mcd212::kLineWidth);
    state.counters["pixels/s"] = benchmark::Counter(lines * Mcd212::kLineWidth, benchmark::Counter::kIsRate);
    state.counters["lines/s"] = benchmark::Counter(lines, benchmark::Counter::kIsRate);
    state.counters["x_realtime"] = benchmark::Counter(lines / kLinesPerSecondNeeded, benchmark::Counter::kIsRate);
}

// Whole frames: the start-of-frame bank copies (both whole banks, or with `tracked` only the
// pages written since, here the 4 KB a program's variables might touch each frame) and 312
// lines, the planes starting again from the same picture each frame.
void BM_Frame(benchmark::State& state, Setup setup, bool tracked) {
    auto m = make(setup);
    if (tracked) m->track_writes();
    const uint16_t dcr1 = m->dcr1;
    const uint16_t dcr2 = m->dcr2;
    uint8_t counter = 0;
    for (auto _ : state) {
        m->dcr1 = dcr1;
        m->dcr2 = dcr2;
        m->vsr1 = m->vsr2 = 0;
        for (uint32_t n = 0; n < 4096; n += 64) m->ram_write_byte(0, 0x7000 + n, ++counter);
        for (uint64_t line = 0; line < 312; ++line) {
            m->run_display_programs(line);
            m->render_scanline(line);
        }
        benchmark::ClobberMemory();
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()) / 50.0, benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK_CAPTURE(BM_RenderScanline, clut8_plane_a, kClut8);
BENCHMARK_CAPTURE(BM_RenderScanline, clut7_both_planes, kClut7);
BENCHMARK_CAPTURE(BM_RenderScanline, clut4_both_planes, kClut4);
BENCHMARK_CAPTURE(BM_RenderScanline, rl7_plane_a, kRunLength7);
BENCHMARK_CAPTURE(BM_RenderScanline, dyuv_both_planes, kDyuv);
BENCHMARK_CAPTURE(BM_RenderScanline, clut8_a_rgb555_b, kRgb555);
BENCHMARK_CAPTURE(BM_RenderScanline, keyed_clut8_a_over_dyuv_b, kClut8OverDyuvKeyed);
BENCHMARK_CAPTURE(BM_RenderScanline, both_planes_off, kBothOff);
BENCHMARK_CAPTURE(BM_Frame, clut7_both_planes, kClut7, false);
BENCHMARK_CAPTURE(BM_Frame, dyuv_both_planes, kDyuv, false);
BENCHMARK_CAPTURE(BM_Frame, clut8_a_rgb555_b, kRgb555, false);
BENCHMARK_CAPTURE(BM_Frame, clut8_over_dyuv, kClut8OverDyuvKeyed, false);
BENCHMARK_CAPTURE(BM_Frame, clut8_over_dyuv_written_pages_only, kClut8OverDyuvKeyed, true);
