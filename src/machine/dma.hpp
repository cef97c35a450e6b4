// The SCC68070's two DMA channels as the software sees their registers. Channel 0 moves blocks
// between memory and CDIC RAM when the CDIC asks (Bus::dma_ch0_cdic_transfer); channel 1 feeds
// the cartridge, whose line step reads and updates these registers.
#pragma once

#include <array>
#include <cstdint>

namespace vestrel {

struct DmaChannel {
    static constexpr uint8_t kCsrComplete = 0x80;  // CSR bit 7: operation complete
    static constexpr uint8_t kOcrToMemory = 0x80;  // OCR bit 7: device to memory
    static constexpr uint8_t kCcrStart = 0x80;     // CCR bit 7: start, never stored

    uint32_t mar = 0;  // memory address
    uint32_t dar = 0;  // device address (stored only)
    uint16_t mtc = 0;  // transfer count in words
    uint8_t csr = 0;
    uint8_t cer = 0;   // always 0
    uint8_t dcr = 0;
    uint8_t ocr = 0;
    uint8_t scr = 0;
    uint8_t ccr = 0;
};

using DmaChannels = std::array<DmaChannel, 2>;

// Offsets within the DMA register window 0x4000-0x406F: 0x40 and above address channel 1.
inline constexpr uint32_t kDmaChannel1Offset = 0x40;
inline constexpr uint32_t kDmaWindowSize = 0x70;

// The word at `offset` (an odd offset reads 0); offsets past the window read 0.
uint16_t dma_read_register(const DmaChannels& channels, uint32_t offset);
// A word write at `offset`; unknown and odd offsets are ignored.
void dma_write_register(DmaChannels& channels, uint32_t offset, uint16_t value);

}  // namespace vestrel
