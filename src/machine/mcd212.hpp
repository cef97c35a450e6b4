// The MCD212 video decoder of the CD-i 220.
//
// It owns RAM banks 0 and 1 (the CPU's main RAM at 0x000000 and 0x200000, and the video memory
// of display channels 1 and 2), their start-of-frame copies that the renderer reads, the frame
// buffer the window shows and the display state. The software drives it through ten system
// registers at 0x4FFFE0-0x4FFFFF and through display control programs in its banks: the ICA
// (per channel, run at line 0) and the DCA (per channel, run at each active line). Their
// instructions set line start addresses, raise the video interrupt and load the control
// registers the line renderer uses.
//
// Per line the bus calls `run_display_programs(line)` from `step_scanline`, the frontend moves
// `irq_request` into LIR bit 7, the CPU runs, then the frontend calls `render_scanline(line)`.
// The device holds no pointers to other devices; the bus reads the plain fields it needs
// (CSR1W, CSR1R, CSR2R, DCR1/2, `current_line`, `video_mode`) for its wait states and its
// video-latch edge rule.
//
// Frame buffer layout (`frame_buffer`, also `frame_pixels()`):
//   768 x 560 pixels, row-major, row 0 at the top, stride 768 pixels (3,072 bytes), each pixel
//   a 32-bit 0xAARRGGBB value in host order (bytes B, G, R, A in memory on little-endian hosts,
//   which is cairo's CAIRO_FORMAT_RGB24 layout). Rendered pixels have alpha 0xFF; a reset
//   leaves every pixel 0x00000000, so present it as RGB24, not ARGB32.
//   Each active display line i fills the row pair 2i and 2i + 1 (PAL: lines 32-311 give rows
//   0-559). NTSC has 240 active lines (22-261) giving rows 40-519; rows 0-39 and 520-559 are
//   black (0xFF000000).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "machine/video_mode.hpp"

namespace vestrel {

namespace mcd212_detail {
// (factor x (i - 128)) / 256 for every 8-bit chroma value i.
constexpr std::array<int16_t, 256> chroma_table(int32_t factor) {
    std::array<int16_t, 256> t{};
    for (int32_t i = 0; i < 256; ++i) t[static_cast<size_t>(i)] = static_cast<int16_t>(factor * (i - 128) / 256);
    return t;
}
}  // namespace mcd212_detail

class Mcd212 {
public:
    // ---- Sizes and layout ----
    static constexpr uint32_t kBankSize = 0x80000;  // 512 KB per bank
    static constexpr uint32_t kBankMask = kBankSize - 1;
    static constexpr uint32_t kBank0Base = 0x000000;
    static constexpr uint32_t kBank1Base = 0x200000;
    static constexpr uint32_t kRegisterBase = 0x4FFFE0;
    static constexpr uint32_t kRegisterOffsetMask = 0x1E;

    static constexpr uint32_t kLineWidth = 768;
    static constexpr uint32_t kFrameWidth = kLineWidth;
    static constexpr uint32_t kFrameHeight = 560;
    static constexpr uint32_t kFrameStride = kFrameWidth;  // in pixels
    static constexpr uint32_t kFramePixels = kFrameWidth * kFrameHeight;
    static constexpr uint32_t kPreviousFieldLines = 312;

    static constexpr uint32_t kPalFirstActiveLine = 32;
    static constexpr uint32_t kPalActiveLines = 280;
    static constexpr uint32_t kNtscFirstActiveLine = 22;
    static constexpr uint32_t kNtscActiveLines = 240;

    // The colour a transparent or empty plane contributes to the mix.
    static constexpr uint32_t kPlaneBlack = 0xFF101010;
    static constexpr uint32_t kOpaqueBlack = 0xFF000000;

    // ---- System register offsets (address AND 0x1E) ----
    static constexpr uint32_t kRegCsr2 = 0x00;  // write CSR2W, read CSR2R
    static constexpr uint32_t kRegDcr2 = 0x02;
    static constexpr uint32_t kRegVsr2 = 0x04;
    static constexpr uint32_t kRegDdr2 = 0x08;
    static constexpr uint32_t kRegDcp2 = 0x0A;
    static constexpr uint32_t kRegCsr1 = 0x10;  // write CSR1W, read CSR1R
    static constexpr uint32_t kRegDcr1 = 0x12;
    static constexpr uint32_t kRegVsr1 = 0x14;
    static constexpr uint32_t kRegDdr1 = 0x18;
    static constexpr uint32_t kRegDcp1 = 0x1A;

    // ---- Register bits ----
    static constexpr uint8_t kCsr1rDisplayActive = 0x80;
    static constexpr uint8_t kCsr1rFieldParity = 0x20;
    static constexpr uint8_t kCsr2rIrqChannel2 = 0x02;
    static constexpr uint8_t kCsr2rIrqChannel1 = 0x04;
    static constexpr uint8_t kCsr2rIrqMask = kCsr2rIrqChannel1 | kCsr2rIrqChannel2;
    static constexpr uint16_t kCsr1wRomWaitEnable = 0x0008;
    static constexpr uint16_t kDcrDisplayEnable = 0x8000;
    static constexpr uint16_t kDcrBlinkStep = 0x2000;  // DCR1 only
    static constexpr uint16_t kDcrInterlace = 0x1000;  // DCR1 only
    static constexpr uint16_t kDcrDisplayParam = 0x0800;
    static constexpr uint16_t kDcrIcaEnable = 0x0200;
    static constexpr uint16_t kDcrDcaEnable = 0x0100;
    static constexpr uint16_t kDcrAddressHigh = 0x003F;  // bits 16-21 of the line address
    static constexpr uint16_t kDdrAddressHigh = 0x003F;  // bits 16-21 of the loaded DCP
    static constexpr uint16_t kDdrFileTypeMask = 0x0300;
    static constexpr uint16_t kDdrFileRunLength = 0x0200;
    static constexpr uint16_t kDdrFileMosaic = 0x0300;

    // ---- Display program limits ----
    static constexpr uint32_t kIcaStart = 0x400;
    static constexpr uint32_t kIcaStartOddField = 0x404;
    static constexpr uint32_t kIcaMaxInstructions = 3840;
    static constexpr uint32_t kDcaMaxInstructions = 16;
    static constexpr uint32_t kProgramAddressLimit = 0x7FFFC;

    // ---- Constant tables ----
    // DYUV deltas: entry i is D[i AND 0xF] (lower) and D[i >> 4] (upper).
    static constexpr std::array<uint8_t, 16> kDyuvDeltas = {0,   1,   4,   9,   16,  27,  44,  79,
                                                            128, 177, 212, 229, 240, 247, 252, 255};
    static constexpr std::array<uint8_t, 256> dyuv_delta_lower = [] {
        std::array<uint8_t, 256> t{};
        for (size_t i = 0; i < 256; ++i) t[i] = kDyuvDeltas[i & 0xF];
        return t;
    }();
    static constexpr std::array<uint8_t, 256> dyuv_delta_upper = [] {
        std::array<uint8_t, 256> t{};
        for (size_t i = 0; i < 256; ++i) t[i] = kDyuvDeltas[i >> 4];
        return t;
    }();
    // clamp[s + 256] = s limited to 0-255, for s from -256 to 511.
    static constexpr std::array<uint32_t, 768> clamp = [] {
        std::array<uint32_t, 768> t{};
        for (uint32_t i = 0; i < 768; ++i) t[i] = i < 256 ? 0 : (i <= 511 ? i - 256 : 255);
        return t;
    }();
    // Chroma to RGB coefficients scaled by 256 (C++ division truncates toward zero).
    static constexpr std::array<int16_t, 256> u_to_b = mcd212_detail::chroma_table(444);
    static constexpr std::array<int16_t, 256> u_to_g = mcd212_detail::chroma_table(-86);
    static constexpr std::array<int16_t, 256> v_to_g = mcd212_detail::chroma_table(-179);
    static constexpr std::array<int16_t, 256> v_to_r = mcd212_detail::chroma_table(351);

    Mcd212();

    // Machine reset: every register, both banks and their copies, the buffers and the CLUT back
    // to their construction values (the frame buffer to 0x00000000); keeps the video mode.
    void reset();

    // ---- System registers (the bus window 0x4FFFE0-0x4FFFFF) ----
    // `offset` is the bus address AND 0x1E. Offsets outside the register table are ignored.
    void mcd212_write_register(uint32_t offset, uint16_t value);
    // Reading CSR2R (offset 0x00) clears its interrupt bits and, if one was set, `irq_request`.
    // The bus applies its video-latch edge rule afterwards.
    uint16_t mcd212_read_register(uint32_t offset);

    // ---- RAM banks (bus windows 0x000000-0x07FFFF and 0x200000-0x27FFFF) ----
    // `bank` is 0 or 1; `offset` is taken modulo the bank size. Words are big-endian.
    std::vector<uint8_t>& bank(uint32_t index) { return index == 0 ? bank0 : bank1; }
    const std::vector<uint8_t>& bank(uint32_t index) const { return index == 0 ? bank0 : bank1; }
    uint8_t ram_read_byte(uint32_t index, uint32_t offset) const {
        return bank(index)[offset & kBankMask];
    }
    uint16_t ram_read_word(uint32_t index, uint32_t offset) const {
        const auto& b = bank(index);
        return static_cast<uint16_t>((b[offset & kBankMask] << 8) | b[(offset + 1) & kBankMask]);
    }
    void ram_write_byte(uint32_t index, uint32_t offset, uint8_t value) {
        bank(index)[offset & kBankMask] = value;
        note_write(index, offset);
    }
    void ram_write_word(uint32_t index, uint32_t offset, uint16_t value) {
        auto& b = bank(index);
        b[offset & kBankMask] = static_cast<uint8_t>(value >> 8);
        b[(offset + 1) & kBankMask] = static_cast<uint8_t>(value);
        note_write(index, offset);
        note_write(index, offset + 1);
    }

    // ---- Write tracking for the start-of-frame copies ----
    // By default line 0 copies both whole banks. An owner that reports every write into the
    // banks through `note_write` (the bus on each RAM store, loaders through
    // `note_write_range`) calls `track_writes()` once; from then on line 0 copies only the
    // 4 KB pages written since the previous copy. A page not marked is equal in the bank and
    // its copy, so the copies still show the banks as they were at line 0.
    static constexpr uint32_t kPageShift = 12;
    static constexpr uint32_t kPagesPerBank = kBankSize >> kPageShift;
    void note_write(uint32_t index, uint32_t offset) {
        const uint32_t page = (offset & kBankMask) >> kPageShift;
        written_pages[index & 1][page >> 6] |= uint64_t{1} << (page & 63);
    }
    void note_write_range(uint32_t index, uint32_t offset, uint32_t length);
    // The word of `written_pages` that holds the 4 KB pages of the 64 KB at `offset`; bit
    // (offset >> 12) & 63 of it is the page at `offset`.
    uint64_t* written_word(uint32_t index, uint32_t offset) {
        return &written_pages[index & 1][((offset & kBankMask) >> kPageShift) >> 6];
    }
    void track_writes();
    bool tracking_writes() const { return tracking_writes_; }

    // ---- Per-line hooks ----
    // Start of display line `line` (from `step_scanline`): at line 0 copies the banks, runs the
    // ICAs, reloads the DCA pointers and steps the cursor blink; on active lines runs the DCAs.
    // Returns true for line 0.
    bool run_display_programs(uint64_t line);
    // After the line's CPU slices: renders active line `line` into the frame buffer (lines
    // outside the active range are ignored). Defined in mcd212_render.cpp.
    void render_scanline(uint64_t line);

    // ---- Control loads (display program codes 0x80-0xFF) ----
    void load_control_plane_a(uint8_t code, uint32_t value);
    void load_control_plane_b(uint8_t code, uint32_t value);
    // Recomputes `weight_a`, `weight_b` and `region_flags` from the region controls.
    void update_region_weights();

    // Fills the whole frame buffer with one pixel (the frontend's blank screens).
    void fill_frame(uint32_t pixel);

    // ---- Video standard ----
    uint32_t first_active_line() const {
        return video_mode == VideoMode::Ntsc ? kNtscFirstActiveLine : kPalFirstActiveLine;
    }
    uint32_t active_line_count() const {
        return video_mode == VideoMode::Ntsc ? kNtscActiveLines : kPalActiveLines;
    }
    bool is_active_line(uint64_t line) const {
        return line >= first_active_line() && line < first_active_line() + active_line_count();
    }

    // The frame buffer: kFrameWidth x kFrameHeight, stride kFrameStride, 0xAARRGGBB.
    std::span<const uint32_t> frame_pixels() const { return frame_buffer; }
    // The external video line the cartridge writes before an active line's CPU slices.
    std::span<uint32_t, kLineWidth> external_video_line() { return external_video; }

    // ---- State (public: the bus, the frontend and the tests read it directly) ----
    std::vector<uint8_t> bank0;       // kBankSize bytes
    std::vector<uint8_t> bank1;       // kBankSize bytes
    std::vector<uint8_t> bank0_copy;  // taken at line 0; the renderer reads these
    std::vector<uint8_t> bank1_copy;
    std::vector<uint32_t> frame_buffer;    // kFramePixels, layout above; written only by the
                                           // renderer, reset and fill_frame
    std::vector<uint32_t> previous_field;  // kLineWidth x kPreviousFieldLines (interlace)
    std::array<uint32_t, kLineWidth> external_video{};

    std::array<std::array<uint8_t, kLineWidth>, 2> region_flags{};  // region flag 0 and 1, 0 or 1
    std::array<uint8_t, kLineWidth> weight_a{};  // element 0 doubles as plane A's weight register
    std::array<uint8_t, kLineWidth> weight_b{};

    std::array<uint32_t, 256> clut{};  // 0xFFRRGGBB
    uint32_t transparent_colour_a = 0;
    uint32_t transparent_colour_b = 0;
    uint32_t mask_colour_a = 0;
    uint32_t mask_colour_b = 0;
    uint32_t dyuv_start_a = 0;  // Y in bits 16-23, U in 8-15, V in 0-7
    uint32_t dyuv_start_b = 0;
    std::array<uint16_t, 16> cursor_pattern{};
    std::array<uint32_t, 8> region_control{};
    uint32_t mosaic_a = 0;
    uint32_t mosaic_b = 0;

    // Control registers loaded by the display programs (24 bits used).
    uint32_t image_coding_method = 0;
    uint32_t transparency_control = 0;
    uint32_t plane_order = 0;  // 0-7
    uint32_t cursor_position = 0;
    uint32_t cursor_control = 0;
    uint32_t backdrop_colour = 0;

    // System registers.
    uint16_t csr1w = 0;
    uint16_t csr2w = 0;
    uint16_t dcr1 = 0;
    uint16_t dcr2 = 0;
    uint16_t vsr1 = 0;
    uint16_t vsr2 = 0;
    uint16_t ddr1 = 0;
    uint16_t ddr2 = 0;
    uint16_t dcp1_load = 0;  // DCP words loaded by display-program instructions
    uint16_t dcp2_load = 0;
    uint32_t dca_pointer1 = 0;  // low 16 bits are DCP1
    uint32_t dca_pointer2 = 0;  // low 16 bits are DCP2
    uint8_t csr1r = 0;          // bit 7 display active, bit 5 field parity
    uint8_t csr2r = 0;          // bit 2 channel-1 interrupt, bit 1 channel-2 interrupt

    uint8_t clut_bank_a = 0;  // 0-3
    uint8_t clut_bank_b = 0;  // 2 or 3 after a load
    uint16_t blink_counter = 0;
    bool blink_off = false;
    bool irq_request = false;  // moved into LIR bit 7 by the frontend
    uint64_t current_line = 0;
    VideoMode video_mode = VideoMode::Pal;
    // Pages written since the last start-of-frame copy, one bit per 4 KB page of each bank.
    std::array<std::array<uint64_t, kPagesPerBank / 64>, 2> written_pages{};

private:
    bool tracking_writes_ = false;
    void copy_banks();
    struct Channel;
    Channel channel(uint32_t number);
    void run_ica(Channel ch);
    void run_dca(Channel ch);
    // Executes one instruction shared by both program kinds; returns true at a stop.
    bool execute_common(Channel& ch, uint32_t instruction);
    void reset_state();
    // Per frame row: the colour a blank line last filled it with, or 0 (no opaque pixel is 0)
    // once anything else wrote it. A blank line whose two rows already hold its colour is
    // left as it is.
    std::array<uint32_t, kFrameHeight> solid_rows_{};
};

}  // namespace vestrel
