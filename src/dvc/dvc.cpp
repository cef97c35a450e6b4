#include "dvc/dvc.hpp"

#include <algorithm>

namespace vestrel {
namespace {

constexpr uint32_t kRegisterWindowBase = 0xE00000;
constexpr uint32_t kFmaBase = 0xE03000;
constexpr uint32_t kFmvBase = 0xE04000;

// Register offsets used by the interrupt request.
constexpr uint32_t kFmaIntVector = 0x0C;
constexpr uint32_t kFmaIntStatus = 0x1A;
constexpr uint32_t kFmaIntMask = 0x1C;
constexpr uint32_t kFmvIntMask = 0x60;
constexpr uint32_t kFmvIntStatus = 0x62;
constexpr uint32_t kFmvIntVector = 0xDC;
constexpr uint16_t kFmvMinVector = 8;

}  // namespace

Dvc::Dvc() : ram(kRamSize), picture_dram(kDramSize) {}

uint16_t Dvc::fma_word(uint32_t offset) const {
    return static_cast<uint16_t>((fma_regs[offset] << 8) | fma_regs[offset + 1]);
}

uint16_t Dvc::fmv_word(uint32_t offset) const {
    return static_cast<uint16_t>((fmv_regs[offset] << 8) | fmv_regs[offset + 1]);
}

uint8_t* Dvc::register_byte(uint32_t address) {
    if (address >= kFmaBase && address < kFmaBase + kRegisterFileSize) return &fma_regs[address - kFmaBase];
    if (address >= kFmvBase && address < kFmvBase + kRegisterFileSize) return &fmv_regs[address - kFmvBase];
    return nullptr;
}

uint8_t Dvc::dvc_read_byte(uint32_t address) {
    const uint8_t* b = register_byte(address);
    return b != nullptr ? *b : 0x00;
}

void Dvc::dvc_write_byte(uint32_t address, uint8_t value) {
    if (uint8_t* b = register_byte(address)) *b = value;
}

uint16_t Dvc::dvc_read_word(uint32_t word_index) {
    const uint32_t address = kRegisterWindowBase + word_index * 2;
    return static_cast<uint16_t>((dvc_read_byte(address) << 8) | dvc_read_byte(address + 1));
}

void Dvc::dvc_write_word(uint32_t word_index, uint16_t value) {
    const uint32_t address = kRegisterWindowBase + word_index * 2;
    dvc_write_byte(address, static_cast<uint8_t>(value >> 8));
    dvc_write_byte(address + 1, static_cast<uint8_t>(value));
}

bool Dvc::dvc_irq_pending() const {
    const bool video = (fmv_word(kFmvIntStatus) & fmv_word(kFmvIntMask)) != 0 &&
                       fmv_word(kFmvIntVector) >= kFmvMinVector;
    const bool audio = (fma_word(kFmaIntStatus) & fma_word(kFmaIntMask)) != 0 &&
                       fma_regs[kFmaIntVector + 1] != 0;
    return video || audio;
}

uint8_t Dvc::irq_vector() const {
    if (!dvc_irq_pending()) return kDefaultVector;
    const uint8_t audio_vector = fma_regs[kFmaIntVector + 1];
    if ((fma_word(kFmaIntStatus) & fma_word(kFmaIntMask)) != 0 && audio_vector != 0) return audio_vector;
    const auto video_vector = static_cast<uint8_t>((fmv_word(kFmvIntVector) >> 3) & 0xFF);
    return video_vector != 0 ? video_vector : kDefaultVector;
}

void Dvc::reset() {
    std::fill(ram.begin(), ram.end(), 0);
    std::fill(picture_dram.begin(), picture_dram.end(), 0);
    fma_regs.fill(0);
    fmv_regs.fill(0);
    audio_pairs.clear();
    dram_enabled = false;
}

}  // namespace vestrel
