// The Digital Video Cartridge as the bus sees it so far: its memories, its two register files,
// the fitted test and its interrupt request. The MPEG machinery behind the registers (the
// demultiplexer, the decoders, the clocks and the line output) is not here yet: its hooks are
// empty, so a fitted cartridge answers in its windows but produces no picture or sound.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "machine/audio.hpp"

namespace vestrel {

class Dvc {
public:
    static constexpr uint32_t kRamSize = 0x100000;     // 0xD00000-0xDFFFFF
    static constexpr uint32_t kRomSize = 0x40000;      // 0xE40000-0xE7FFFF
    static constexpr uint32_t kDramSize = 0x80000;     // 0xE80000-0xEFFFFF
    static constexpr uint32_t kRegisterFileSize = 256;
    static constexpr uint32_t kLineWidth = 768;
    static constexpr uint8_t kDefaultVector = 28;

    Dvc();

    // The cartridge counts as fitted exactly while its ROM is loaded.
    bool fitted() const { return rom.has_value(); }

    // Register windows 0xE00000-0xE3FFFF: byte access with the bus address, word access with
    // the word index (address - 0xE00000) >> 1.
    uint8_t dvc_read_byte(uint32_t address);
    void dvc_write_byte(uint32_t address, uint8_t value);
    uint16_t dvc_read_word(uint32_t word_index);
    void dvc_write_word(uint32_t word_index, uint16_t value);

    // Level-4 request and the vector the acknowledge answers with.
    bool dvc_irq_pending() const;
    uint8_t irq_vector() const;

    // The cartridge part of the machine reset: memories zeroed, registers to their defaults.
    void reset();

    // Per-line hooks of the bus (no picture or sound yet).
    void dvc_render_line(uint64_t line_index, std::span<uint32_t, kLineWidth> line) { (void)line_index, (void)line; }
    void dvc_frame_step() {}

    std::vector<uint8_t> ram;
    std::vector<uint8_t> picture_dram;
    std::optional<std::vector<uint8_t>> rom;
    std::array<uint8_t, kRegisterFileSize> fma_regs{};
    std::array<uint8_t, kRegisterFileSize> fmv_regs{};
    // Decoded MPEG audio waiting for the bus to move it into the AudioQueue.
    std::vector<StereoPair> audio_pairs;
    bool dram_enabled = false;

private:
    uint16_t fma_word(uint32_t offset) const;
    uint16_t fmv_word(uint32_t offset) const;
    uint8_t* register_byte(uint32_t address);
};

}  // namespace vestrel
