// MCD212 system registers, display control programs, control loads and regions.
#include "machine/mcd212.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "common/log.hpp"

namespace vestrel {

namespace {

LogTarget g_log("vestrel::mcd212");

constexpr uint32_t kRegionPositionMask = 0x3FF;
constexpr uint32_t kColourMask = 0xFCFCFC;
constexpr uint32_t kValueMask = 0xFFFFFF;
constexpr uint32_t kDcpLoadMask = 0xFFFC;
constexpr uint32_t kDcaPointerMask = 0x7FFFC;
constexpr uint32_t kJumpMask = 0x7FFFE;
constexpr uint32_t kDcaStride = 4 * Mcd212::kDcaMaxInstructions;  // 64 bytes per line
constexpr uint32_t kCodingTwoRegionLists = 1u << 19;
constexpr uint16_t kBlinkStepFast = 6;
constexpr uint16_t kBlinkStepSlow = 5;
constexpr uint32_t kBlinkFramesPerUnit = 60;

}  // namespace

// One display channel's registers, so one decoder serves both channels.
struct Mcd212::Channel {
    const std::vector<uint8_t>* bank;
    uint16_t* dcr;
    uint16_t* vsr;
    uint16_t* ddr;
    uint16_t* dcp_load;
    uint32_t* dca_pointer;
    uint8_t irq_bit;
    bool plane_b;
};

Mcd212::Mcd212()
    : bank0(kBankSize),
      bank1(kBankSize),
      bank0_copy(kBankSize),
      bank1_copy(kBankSize),
      frame_buffer(kFramePixels),
      previous_field(kLineWidth * kPreviousFieldLines) {
    reset_state();
    video_mode = VideoMode::Pal;
}

void Mcd212::reset() { reset_state(); }

void Mcd212::fill_frame(uint32_t pixel) {
    std::ranges::fill(frame_buffer, pixel);
    solid_rows_.fill(0);
}

void Mcd212::reset_state() {
    std::ranges::fill(bank0, 0);
    std::ranges::fill(bank1, 0);
    std::ranges::fill(bank0_copy, 0);
    std::ranges::fill(bank1_copy, 0);
    for (auto& pages : written_pages) pages.fill(0);  // banks and copies are equal again
    std::ranges::fill(frame_buffer, 0);
    solid_rows_.fill(0);
    std::ranges::fill(previous_field, 0);
    external_video.fill(kOpaqueBlack);

    for (auto& flags : region_flags) flags.fill(0);
    weight_a.fill(0);
    weight_b.fill(0);
    for (uint32_t n = 0; n < clut.size(); ++n) clut[n] = 0xFF000000u + n * 0x010101u;
    transparent_colour_a = transparent_colour_b = 0;
    mask_colour_a = mask_colour_b = 0;
    dyuv_start_a = dyuv_start_b = 0;
    cursor_pattern.fill(0);
    region_control.fill(0);
    mosaic_a = mosaic_b = 0;

    image_coding_method = transparency_control = plane_order = 0;
    cursor_position = cursor_control = backdrop_colour = 0;

    csr1w = csr2w = dcr1 = dcr2 = vsr1 = vsr2 = ddr1 = ddr2 = 0;
    dcp1_load = dcp2_load = 0;
    dca_pointer1 = dca_pointer2 = 0;
    csr1r = csr2r = 0;
    clut_bank_a = clut_bank_b = 0;
    blink_counter = 0;
    blink_off = false;
    irq_request = false;
    current_line = 0;
}

// ---- System registers ----

void Mcd212::mcd212_write_register(uint32_t offset, uint16_t value) {
    offset &= kRegisterOffsetMask;
    LOG_TRACE(g_log, ">>> MCD212 WRITE reg 0x{:02X} = 0x{:04X}", offset, value);
    switch (offset) {
        case kRegCsr2: csr2w = value; break;
        case kRegDcr2: dcr2 = value; break;
        case kRegVsr2: vsr2 = value; break;
        case kRegDdr2: ddr2 = value; break;
        case kRegDcp2: dca_pointer2 = (dca_pointer2 & 0xFFFF0000u) | value; break;
        case kRegCsr1: csr1w = value; break;
        case kRegDcr1: dcr1 = value; break;
        case kRegVsr1: vsr1 = value; break;
        case kRegDdr1: ddr1 = value; break;
        case kRegDcp1: dca_pointer1 = (dca_pointer1 & 0xFFFF0000u) | value; break;
        default: break;
    }
}

uint16_t Mcd212::mcd212_read_register(uint32_t offset) {
    switch (offset & kRegisterOffsetMask) {
        case kRegCsr2: {
            const uint16_t word = static_cast<uint16_t>((csr2r << 8) | csr2r);
            if (csr2r & kCsr2rIrqMask) {
                csr2r = static_cast<uint8_t>(csr2r & ~kCsr2rIrqMask);
                irq_request = false;
            }
            return word;
        }
        case kRegDcr2: return dcr2;
        case kRegVsr2: return vsr2;
        case kRegDdr2: return ddr2;
        case kRegDcp2: return static_cast<uint16_t>(dca_pointer2);
        case kRegCsr1: return static_cast<uint16_t>((csr1r << 8) | csr1r);
        case kRegDcr1: return dcr1;
        case kRegVsr1: return vsr1;
        case kRegDdr1: return ddr1;
        case kRegDcp1: return static_cast<uint16_t>(dca_pointer1);
        default: return 0;
    }
}

// ---- Display control programs ----

Mcd212::Channel Mcd212::channel(uint32_t number) {
    if (number == 1) {
        return Channel{&bank0, &dcr1, &vsr1, &ddr1, &dcp1_load, &dca_pointer1, kCsr2rIrqChannel1, false};
    }
    return Channel{&bank1, &dcr2, &vsr2, &ddr2, &dcp2_load, &dca_pointer2, kCsr2rIrqChannel2, true};
}

namespace {

// A program word; callers keep `address` at most kProgramAddressLimit, so all four bytes lie
// inside the bank.
uint32_t fetch_instruction(const std::vector<uint8_t>& bank, uint32_t address) {
    return (uint32_t{bank[address]} << 24) | (uint32_t{bank[address + 1]} << 16) |
           (uint32_t{bank[address + 2]} << 8) | bank[address + 3];
}

void load_dcp(uint16_t& dcp_load, uint16_t& ddr, uint32_t v) {
    dcp_load = static_cast<uint16_t>(v & kDcpLoadMask);
    ddr = static_cast<uint16_t>((ddr & ~Mcd212::kDdrAddressHigh) | ((v >> 16) & Mcd212::kDdrAddressHigh));
}

void load_vsr(uint16_t& vsr, uint16_t& dcr, uint32_t v) {
    vsr = static_cast<uint16_t>(v & 0xFFFF);
    dcr = static_cast<uint16_t>((dcr & ~Mcd212::kDcrAddressHigh) | ((v >> 16) & Mcd212::kDcrAddressHigh));
}

}  // namespace

// The instructions ICAs and DCAs decode alike: stop, no-op, interrupt, display parameters and
// control loads. The caller has handled the kind-specific top bytes 0x20-0x5F.
bool Mcd212::execute_common(Channel& ch, uint32_t v) {
    const uint32_t t = v >> 24;
    if (t < 0x10) return true;
    if (t < 0x60) return false;  // no-op (the kind-specific codes never reach here)
    if (t < 0x70) {
        csr2r = static_cast<uint8_t>(csr2r | ch.irq_bit);
        irq_request = true;
        return false;
    }
    if (t < 0x78) return false;  // the control loader ignores these codes
    if (t < 0x80) {
        *ch.ddr = static_cast<uint16_t>((*ch.ddr & ~0x0F00u) | ((v & 0xF) << 8));
        *ch.dcr = static_cast<uint16_t>((*ch.dcr & ~kDcrDisplayParam) | ((v & 0x10) ? kDcrDisplayParam : 0));
        return false;
    }
    if (ch.plane_b) {
        load_control_plane_b(static_cast<uint8_t>(t), v & kValueMask);
    } else {
        load_control_plane_a(static_cast<uint8_t>(t), v & kValueMask);
    }
    return false;
}

void Mcd212::run_ica(Channel ch) {
    uint32_t address = (csr1r & kCsr1rFieldParity) ? kIcaStartOddField : kIcaStart;
    for (uint32_t executed = 0; executed < kIcaMaxInstructions; ++executed) {
        const uint32_t v = fetch_instruction(*ch.bank, address);
        const uint32_t t = v >> 24;
        if (t >= 0x20 && t < 0x60) {
            const uint32_t group = t >> 4;
            if (group == 0x2 || group == 0x3) {
                load_dcp(*ch.dcp_load, *ch.ddr, v);
                if (group == 0x3) return;
            } else if (group == 0x4) {
                address = v & kJumpMask;
                if (address > kProgramAddressLimit) return;
                continue;
            } else {
                load_vsr(*ch.vsr, *ch.dcr, v);
                return;
            }
        } else if (execute_common(ch, v)) {
            return;
        }
        address += 4;
        if (address > kProgramAddressLimit) return;
    }
}

void Mcd212::run_dca(Channel ch) {
    const uint32_t start = *ch.dca_pointer & kDcaPointerMask;
    bool pointer_loaded = false;
    for (uint32_t n = 0; n < kDcaMaxInstructions; ++n) {
        const uint32_t address = start + 4 * n;
        if (address > kProgramAddressLimit) break;
        const uint32_t v = fetch_instruction(*ch.bank, address);
        const uint32_t group = v >> 28;
        if (group == 0x2) continue;  // load DCP is an ICA instruction
        if (group == 0x3) {
            load_dcp(*ch.dcp_load, *ch.ddr, v);
            *ch.dca_pointer = v & kDcaPointerMask;
            pointer_loaded = true;
            break;
        }
        if (group == 0x4 || group == 0x5) {
            load_vsr(*ch.vsr, *ch.dcr, v);
            if (group == 0x5) break;
            continue;
        }
        if (execute_common(ch, v)) break;
    }
    if (!pointer_loaded) *ch.dca_pointer = start + kDcaStride;
}

void Mcd212::note_write_range(uint32_t index, uint32_t offset, uint32_t length) {
    if (length == 0) return;
    if (length >= kBankSize) length = kBankSize;
    for (uint32_t page = 0; page < (length + (offset & ((1u << kPageShift) - 1)) + (1u << kPageShift) - 1) >> kPageShift;
         ++page) {
        note_write(index, offset + (page << kPageShift));
    }
}

void Mcd212::track_writes() {
    // Writes made before tracking started were not marked: take everything once.
    for (auto& pages : written_pages) pages.fill(~uint64_t{0});
    tracking_writes_ = true;
}

void Mcd212::copy_banks() {
    if (!tracking_writes_) {
        std::ranges::copy(bank0, bank0_copy.begin());
        std::ranges::copy(bank1, bank1_copy.begin());
        return;
    }
    constexpr uint32_t kPageBytes = 1u << kPageShift;
    const std::array<std::pair<const std::vector<uint8_t>*, std::vector<uint8_t>*>, 2> banks = {
        std::pair{&bank0, &bank0_copy}, std::pair{&bank1, &bank1_copy}};
    for (uint32_t index = 0; index < 2; ++index) {
        const uint8_t* from = banks[index].first->data();
        uint8_t* to = banks[index].second->data();
        for (uint32_t word = 0; word < written_pages[index].size(); ++word) {
            uint64_t bits = written_pages[index][word];
            written_pages[index][word] = 0;
            while (bits) {
                // Runs of written pages go in one copy.
                const auto first = static_cast<uint32_t>(std::countr_zero(bits));
                const auto run = static_cast<uint32_t>(std::countr_one(bits >> first));
                const size_t start = (size_t{word} * 64 + first) * kPageBytes;
                std::memcpy(to + start, from + start, size_t{run} * kPageBytes);
                bits = run + first >= 64 ? 0 : bits & ~(((uint64_t{1} << run) - 1) << first);
            }
        }
    }
}

bool Mcd212::run_display_programs(uint64_t line) {
    current_line = line;
    if (line == 0) {
        csr1r = static_cast<uint8_t>(csr1r & ~kCsr1rDisplayActive);
        copy_banks();
        if (dcr2 & kDcrIcaEnable) run_ica(channel(2));
        if (dcr1 & kDcrIcaEnable) run_ica(channel(1));
        if (dcr1 & kDcrDcaEnable) dca_pointer1 = (static_cast<uint32_t>(ddr1 & kDdrAddressHigh) << 16) | dcp1_load;
        if (dcr2 & kDcrDcaEnable) dca_pointer2 = (static_cast<uint32_t>(ddr2 & kDdrAddressHigh) << 16) | dcp2_load;

        // Cursor blink: on and off times count in units of 60 steps.
        blink_counter = static_cast<uint16_t>(blink_counter + ((dcr1 & kDcrBlinkStep) ? kBlinkStepFast : kBlinkStepSlow));
        const uint32_t on = (cursor_control >> 19) & 7;
        const uint32_t off = (cursor_control >> 16) & 7;
        if (!blink_off && on != 0 && blink_counter >= on * kBlinkFramesPerUnit) {
            blink_off = true;
            blink_counter = 0;
        }
        if (blink_off && (off == 0 || blink_counter >= off * kBlinkFramesPerUnit)) {
            blink_off = false;
            blink_counter = 0;
        }
        return true;
    }
    if (is_active_line(line)) {
        csr1r = static_cast<uint8_t>(csr1r | kCsr1rDisplayActive);
        if (dcr2 & kDcrDcaEnable) run_dca(channel(2));
        if (dcr1 & kDcrDcaEnable) run_dca(channel(1));
    } else {
        csr1r = static_cast<uint8_t>(csr1r & ~kCsr1rDisplayActive);
    }
    return false;
}

// ---- Control loads ----

void Mcd212::load_control_plane_a(uint8_t code, uint32_t v) {
    v &= kValueMask;
    if (code >= 0x80 && code <= 0xBF) {
        clut[clut_bank_a * 64u + (code & 0x3Fu)] = (v & kColourMask) | 0xFF000000u;
        return;
    }
    switch (code) {
        case 0xC0: image_coding_method = v; break;
        case 0xC1: transparency_control = v; break;
        case 0xC2: plane_order = v & 7; break;
        case 0xC3: clut_bank_a = static_cast<uint8_t>(v & 3); break;
        case 0xC4: transparent_colour_a = v & kColourMask; break;
        case 0xC7: mask_colour_a = v & kColourMask; break;
        case 0xCA: dyuv_start_a = v; break;
        case 0xCD: cursor_position = v; break;
        case 0xCE: cursor_control = v; break;
        case 0xCF: cursor_pattern[(v >> 16) & 0xF] = static_cast<uint16_t>(v & 0xFFFF); break;
        case 0xD0: case 0xD1: case 0xD2: case 0xD3:
        case 0xD4: case 0xD5: case 0xD6: case 0xD7:
            region_control[code & 7] = v;
            update_region_weights();
            break;
        case 0xD8: backdrop_colour = v; break;
        case 0xD9: mosaic_a = v; break;
        case 0xDB:
            weight_a[0] = static_cast<uint8_t>(v & 0xFF);
            update_region_weights();
            break;
        default: break;
    }
}

void Mcd212::load_control_plane_b(uint8_t code, uint32_t v) {
    v &= kValueMask;
    if (code >= 0x80 && code <= 0xBF) {
        clut[clut_bank_b * 64u + (code & 0x3Fu)] = (v & kColourMask) | 0xFF000000u;
        return;
    }
    switch (code) {
        case 0xC3: clut_bank_b = static_cast<uint8_t>((v & 1) | 2); break;
        case 0xC6: transparent_colour_b = v & kColourMask; break;
        case 0xC9: mask_colour_b = v & kColourMask; break;
        case 0xCB: dyuv_start_b = v; break;
        case 0xD0: case 0xD1: case 0xD2: case 0xD3:
        case 0xD4: case 0xD5: case 0xD6: case 0xD7:
            region_control[code & 7] = v;
            update_region_weights();
            break;
        case 0xDA: mosaic_b = v; break;
        case 0xDC:
            weight_b[0] = static_cast<uint8_t>(v & 0xFF);
            update_region_weights();
            break;
        default: break;
    }
}

// ---- Regions ----

void Mcd212::update_region_weights() {
    uint8_t wa = weight_a[0];
    uint8_t wb = weight_b[0];
    uint8_t flags[2] = {0, 0};

    // Applies one entry; `flag` is the region flag it sets. Returns false when it ends its list.
    auto apply = [&](uint32_t entry, uint8_t& flag) {
        const uint32_t op = (entry >> 20) & 0xF;
        if (op == 0) return false;
        const bool sets_weight = op == 4 || op == 6 || op >= 12;
        const bool sets_flag = op == 8 || op == 9 || op >= 12;  // 10 and 11 do nothing
        if (sets_weight) {
            const auto weight = static_cast<uint8_t>((entry >> 10) & 0x3F);
            if ((entry >> 21) & 1) {
                wb = weight;
            } else {
                wa = weight;
            }
        }
        if (sets_flag) flag = static_cast<uint8_t>(op & 1);
        return true;
    };

    const bool two_lists = (image_coding_method & kCodingTwoRegionLists) != 0;
    uint32_t i = 0;  // list 0 (or the one list)
    uint32_t j = 4;  // list 1 in two-list mode
    const uint32_t end0 = two_lists ? 4 : 8;
    for (uint32_t x = 0; x < kLineWidth; ++x) {
        if (i < end0 && (region_control[i] & kRegionPositionMask) == x) {
            const uint32_t entry = region_control[i];
            uint8_t& flag = two_lists ? flags[0] : flags[(entry >> 16) & 1];
            i = apply(entry, flag) ? i + 1 : end0;
        }
        if (two_lists && j < 8 && (region_control[j] & kRegionPositionMask) == x) {
            j = apply(region_control[j], flags[1]) ? j + 1 : 8;
        }
        weight_a[x] = wa;
        weight_b[x] = wb;
        region_flags[0][x] = flags[0];
        region_flags[1][x] = flags[1];
    }
}

}  // namespace vestrel
