#include "machine/dma.hpp"

#include <algorithm>
#include <array>

#include <fmt/ranges.h>

#include "common/log.hpp"
#include "machine/bus.hpp"

namespace vestrel {
namespace {

LogTarget kLog{"vestrel::dma"};
LogTarget kBusLog{"vestrel::bus"};

constexpr uint32_t kRegisterMask = 0x3F;
// Register offsets within one channel.
constexpr uint32_t kRegStatus = 0x00;    // CSR, CER
constexpr uint32_t kRegControl = 0x04;   // DCR, OCR
constexpr uint32_t kRegSequence = 0x06;  // SCR, CCR
constexpr uint32_t kRegCount = 0x0A;     // MTC
constexpr uint32_t kRegMarHigh = 0x0C;
constexpr uint32_t kRegMarLow = 0x0E;
constexpr uint32_t kRegDarHigh = 0x14;
constexpr uint32_t kRegDarLow = 0x16;

// CSR bits a write can clear: 7, 5 and 4.
constexpr uint8_t kCsrKeptOnWrite = 0x4F;

uint16_t word_of(uint8_t high, uint8_t low) { return static_cast<uint16_t>((high << 8) | low); }
uint32_t with_high(uint32_t reg, uint16_t v) { return (reg & 0x0000FFFFu) | (uint32_t{v} << 16); }
uint32_t with_low(uint32_t reg, uint16_t v) { return (reg & 0xFFFF0000u) | v; }

}  // namespace

uint16_t dma_read_register(const DmaChannels& channels, uint32_t offset) {
    if (offset >= kDmaWindowSize) return 0;
    const DmaChannel& ch = channels[offset >= kDmaChannel1Offset ? 1 : 0];
    switch (offset & kRegisterMask) {
        case kRegStatus: return word_of(ch.csr, ch.cer);
        case kRegControl: return word_of(ch.dcr, ch.ocr);
        case kRegSequence: return word_of(ch.scr, ch.ccr);
        case kRegCount: return ch.mtc;
        case kRegMarHigh: return static_cast<uint16_t>(ch.mar >> 16);
        case kRegMarLow: return static_cast<uint16_t>(ch.mar);
        case kRegDarHigh: return static_cast<uint16_t>(ch.dar >> 16);
        case kRegDarLow: return static_cast<uint16_t>(ch.dar);
        default: return 0;
    }
}

void dma_write_register(DmaChannels& channels, uint32_t offset, uint16_t value) {
    if (offset >= kDmaWindowSize) return;
    const unsigned index = offset >= kDmaChannel1Offset ? 1 : 0;
    const uint32_t o = offset & kRegisterMask;
    LOG_TRACE(kLog, "SCC DMA ch{} write offset 0x{:02X}: 0x{:04X}", index, o, value);
    DmaChannel& ch = channels[index];
    const uint8_t high = static_cast<uint8_t>(value >> 8);
    const uint8_t low = static_cast<uint8_t>(value);
    switch (o) {
        case kRegStatus: ch.csr &= static_cast<uint8_t>(~high | kCsrKeptOnWrite); break;
        case kRegControl:
            ch.dcr = high;
            ch.ocr = low;
            break;
        case kRegSequence:
            ch.scr = high;
            ch.ccr = low & static_cast<uint8_t>(~DmaChannel::kCcrStart);
            if ((low & DmaChannel::kCcrStart) != 0) ch.csr |= DmaChannel::kCsrComplete;
            break;
        case kRegCount: ch.mtc = value; break;
        case kRegMarHigh: ch.mar = with_high(ch.mar, value); break;
        case kRegMarLow: ch.mar = with_low(ch.mar, value); break;
        case kRegDarHigh: ch.dar = with_high(ch.dar, value); break;
        case kRegDarLow: ch.dar = with_low(ch.dar, value); break;
        default: break;
    }
}

void Bus::dma_ch0_cdic_transfer() {
    // A transfer whose memory side reaches the CDIC register window writes those registers,
    // and a write to dma_control asks for a transfer again: that request is absorbed by the
    // transfer already running instead of nesting one inside it without bound.
    if (dma_running_) return;
    dma_running_ = true;

    DmaChannel& ch = dma[0];
    const uint32_t words = ch.mtc;
    const uint32_t memory = ch.mar;
    const uint32_t device = cdic.dma_control & 0x3FFF;
    const bool to_memory = (ch.ocr & DmaChannel::kOcrToMemory) != 0;
    LOG_TRACE(kBusLog, "DMA Ch0 Executing: {} words ({} bytes) {} 0x{:08X} dev CDIC 0x{:04X} at PC=0x{:06X}",
              words, words * 2, to_memory ? "to mem" : "from mem", memory, device, scc.pc_copy);

    uint32_t d = device % kCdicRamSize;
    for (uint32_t i = 0; i < words; ++i) {
        const uint32_t m = memory + 2 * i;  // 32-bit, wrapping
        const uint32_t d1 = (d + 1) % kCdicRamSize;
        if (to_memory) {
            write_byte(m, cdic.cdic_ram[d]);
            write_byte(m + 1, cdic.cdic_ram[d1]);
        } else {
            cdic.cdic_ram[d] = read_byte(m);
            cdic.cdic_ram[d1] = read_byte(m + 1);
        }
        d = (d + 2) % kCdicRamSize;
    }

    ch.mar = memory + 2 * words;
    ch.mtc = 0;
    ch.csr |= DmaChannel::kCsrComplete;
    cdic.dma_requested = false;
    dma_running_ = false;
}

void Bus::dvc_line_step(uint32_t cycles) {
    if (!dvc.fitted()) return;
    dvc.dvc_tick(cycles);
    if (!dvc.dma_pending) return;
    dvc.dma_pending = false;  // one request, one look, even when the count is 0

    DmaChannel& ch = dma[1];
    const uint32_t start = ch.mar;
    const uint32_t words = ch.mtc;
    // The first bytes are read for the trace line whether it is on or not: the reads are
    // real bus accesses, with their wait states.
    constexpr uint32_t kDumpBytes = 16;
    std::array<uint8_t, kDumpBytes> dump{};
    const uint32_t dumped = std::min(2 * words, kDumpBytes);
    for (uint32_t i = 0; i < dumped; ++i) dump[i] = read_byte(start + i);
    LOG_TRACE(kBusLog, "PERFORM DVC DMA at frame {}: start=0x{:08X}, count={} (for_fma={}) | bytes[0..16]=[{:02X}]",
              frame_counter, start, words, dvc.for_fma, fmt::join(dump.begin(), dump.begin() + dumped, ", "));
    if (words == 0) return;

    for (uint32_t i = 0; i < words; ++i) {
        const uint32_t m = start + 2 * i;  // 32-bit, wrapping
        dvc.push_input(read_byte(m));
        dvc.push_input(read_byte(m + 1));
    }
    dvc.demux_and_decode();
    LOG_TRACE(kBusLog, "After DVC DMA: demux_video_len={}, demux_audio_len={}, has_decoder={}, decoded_count={}",
              dvc.demux.video_payload.size(), dvc.demux.audio_ring.size(), dvc.video_decoder.has_value(),
              dvc.decoded_count);

    ch.mar = start + 2 * words;
    ch.mtc = 0;
    ch.csr |= DmaChannel::kCsrComplete;
    if (dvc.for_fma) {
        dvc.set_fma(Dvc::kFmaCommand, dvc.fma_word(Dvc::kFmaCommand) & ~Dvc::kDmaRequestBit);
    } else {
        dvc.set_fmv(Dvc::kFmvCommand, dvc.fmv_word(Dvc::kFmvCommand) & ~Dvc::kDmaRequestBit);
    }
}

}  // namespace vestrel
