// The CDIC, the CD interface controller of the CD-i 220: 15,360 bytes of RAM for sector and
// audio buffers, and the register file through which the software starts disc reads, selects
// files and channels, plays ADPCM audio maps, requests DMA and acknowledges interrupts.
//
// The bus maps `cdic_ram` at 0x300000-0x303BFF and the registers at 0x303C00-0x303FFF, calling
// cdic_read_register / cdic_write_register with offset = address & 0x3FE. After each register
// write it checks `dma_requested` and runs the channel-0 transfer (which clears it), using
// read_ram_byte / write_ram_byte or the word helpers. Once per line the frontend calls
// cdic_tick with the line's nominal cycles and the disc slot.
//
//   cdic.cpp         registers, commands, start address, reset
//   cdic_sector.cpp  cdic_tick: the audio-map player and the sector engine (process_sector)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "machine/audio.hpp"

namespace vestrel {

inline constexpr size_t kCdicRamSize = 15'360;
inline constexpr size_t kRawSectorSize = 2'352;
inline constexpr size_t kScramblerTableSize = 2'448;
// 75 sectors per second at the CPU clock.
inline constexpr uint32_t kCyclesPerSector = 206'700;
// A read start pre-loads the read clock so the first sector arrives 36,700 cycles later.
inline constexpr uint32_t kReadStartCycles = 170'000;

// Register offsets within the 0x303C00 window (address & 0x3FE).
namespace cdic_reg {
inline constexpr uint32_t kCommand = 0x000;
inline constexpr uint32_t kTimeHigh = 0x002;
inline constexpr uint32_t kTimeLow = 0x004;
inline constexpr uint32_t kFile = 0x006;
inline constexpr uint32_t kChannelHigh = 0x008;
inline constexpr uint32_t kChannelLow = 0x00A;
inline constexpr uint32_t kAudioChannel = 0x00C;
inline constexpr uint32_t kAbuf = 0x3F4;
inline constexpr uint32_t kXbuf = 0x3F6;
inline constexpr uint32_t kDmaControl = 0x3F8;
inline constexpr uint32_t kZBuffer = 0x3FA;
inline constexpr uint32_t kInterruptVector = 0x3FC;
inline constexpr uint32_t kDbuf = 0x3FE;
}  // namespace cdic_reg

enum class ReadMode : uint8_t { Idle = 0, Data = 1, DataWithAudio = 2, CdDa = 3, Toc = 4 };

// Why sectors of the running read are failing; each is logged once per read.
enum class SectorFailure : uint8_t { None = 0, NoDisc = 1, ReadFailed = 2 };

// What the sector engine needs of the disc in the slot. The bus normally passes its
// `std::optional<DiscImage>` slot to the cdic_tick template below, which adapts it.
class SectorSource {
public:
    // Fills all 2,352 bytes of `out`; false when the sector cannot be read. The source logs
    // why only when `report_failure` is set: the engine asks for that once per read.
    virtual bool read_sector(uint32_t lba, std::span<uint8_t, kRawSectorSize> out, bool report_failure) = 0;
    virtual uint32_t total_sectors() const = 0;

protected:
    ~SectorSource() = default;
};

// ECMA-130 Annex B scrambler sequence: a 15-bit LFSR (x^15 + x + 1) preset to 1, eight output
// bits per byte LSB first; bytes 0-11 (the sync pattern) are not scrambled.
constexpr std::array<uint8_t, kScramblerTableSize> make_scrambler_table() {
    std::array<uint8_t, kScramblerTableSize> table{};
    uint32_t reg = 1;
    for (size_t i = 12; i < table.size(); ++i) {
        uint8_t byte = 0;
        for (int bit = 0; bit < 8; ++bit) {
            byte |= static_cast<uint8_t>((reg & 1u) << bit);
            const uint32_t feedback = (reg ^ (reg >> 1)) & 1u;
            reg = (reg >> 1) | (feedback << 14);
        }
        table[i] = byte;
    }
    return table;
}

class Cdic {
public:
    static constexpr uint8_t kIrqLevel = 4;
    static constexpr uint8_t kDefaultIrqVector = 28;
    static constexpr uint16_t kNoMapAddress = 0xFFFF;

    Cdic() = default;

    // --- cdic.cpp: registers and commands ---
    // A word read of the register at `offset` (address & 0x3FE); ABUF, XBUF and z_buffer reads
    // change state. Unlisted offsets read 0.
    uint16_t cdic_read_register(uint32_t offset);
    // A word write; may start or cancel a read, start or stop an audio map, or request DMA.
    void cdic_write_register(uint32_t offset, uint16_t value);
    // Stops the running read; buffers, registers and the audio map are untouched.
    void cancel_disc_read();
    // Machine reset: RAM zeroed, queue and filter history cleared, registers and state back to
    // their initial values. Volume and mute survive.
    void reset();
    // Vector answered at the level-4 acknowledge while irq_pending is set.
    uint8_t irq_vector() const {
        const auto v = static_cast<uint8_t>(interrupt_vector & 0xFF);
        return v == 0 ? kDefaultIrqVector : v;
    }

    // CDIC RAM as the bus and the DMA see it; addresses wrap modulo 15,360 as the DMA does.
    uint8_t read_ram_byte(uint32_t address) const { return cdic_ram[address % kCdicRamSize]; }
    void write_ram_byte(uint32_t address, uint8_t value) { cdic_ram[address % kCdicRamSize] = value; }
    // Big-endian word at `address`, its second byte at (address + 1) modulo 15,360.
    uint16_t read_ram_word(uint32_t address) const {
        return static_cast<uint16_t>(read_ram_byte(address) << 8 | read_ram_byte(address + 1));
    }
    void write_ram_word(uint32_t address, uint16_t value) {
        write_ram_byte(address, static_cast<uint8_t>(value >> 8));
        write_ram_byte(address + 1, static_cast<uint8_t>(value));
    }

    // --- cdic_sector.cpp: the timed half ---
    // One emulated line: the audio-map player, then the disc read. `disc` is the slot's image
    // for this call, or nullptr when the slot is empty.
    void cdic_tick(uint32_t cycles, SectorSource* disc);
    // The same with the bus's disc slot; `Disc` needs read_sector(lba, span, report) and
    // total_sectors().
    template <class Disc>
    void cdic_tick(uint32_t cycles, std::optional<Disc>& disc_slot);

    static constexpr std::array<uint8_t, kScramblerTableSize> scrambler_table = make_scrambler_table();

    std::array<uint8_t, kCdicRamSize> cdic_ram{};
    AudioOutput audio_out;

    uint32_t time = 0;              // start time: minute, second, frame in BCD in bits 8-31
    uint32_t channel = 0xFFFFFFFF;  // channel mask of the 0x2A filter
    uint32_t curr_lba = 0;          // next sector of the running read
    uint32_t sectors_read = 0;      // sectors that came off the disc, for the drive's rate
    uint32_t map_cycles = 0;        // audio-map player clock
    uint32_t read_cycles = 0;       // disc-read clock, advancing only while a read runs
    uint16_t command = 0;
    uint16_t file = 0;              // file number in the high byte
    uint16_t audio_channel = 0xFFFF;
    uint16_t abuf = 0;              // ABUF: audio-map status, bit 15 = buffer done
    uint16_t xbuf = 0;              // XBUF: sector status, bit 15 = sector ready
    uint16_t dma_control = 0;       // CDIC RAM address of the next DMA
    uint16_t z_buffer = 0;          // audio-map control
    uint16_t interrupt_vector = 0x000F;
    uint16_t data_buffer = 0;       // DBUF
    uint16_t dec_addr = kNoMapAddress;  // next audio-map buffer
    uint8_t active_command = 0;     // command code of the running read; 0 = idle
    ReadMode mode = ReadMode::Idle;
    uint8_t decoder_busy = 0;       // sector periods until the next map step
    bool dec_map = false;           // an audio map is playing
    bool irq_pending = false;       // level 4; equals bit 15 of (ABUF | XBUF) after their writes
    bool dma_requested = false;
    bool byte_swapped = false;      // sticky: the image has byte-swapped words
    // The failure of the running read already logged, how many sectors it hit, from where.
    SectorFailure read_failure = SectorFailure::None;
    uint32_t failed_sectors = 0;
    uint32_t first_failed_lba = 0;

private:
    void start_disc_read(uint8_t code, ReadMode read_mode);
    void write_z_buffer(uint16_t value);
    void write_data_buffer(uint16_t value);
    void map_step();
    void process_sector(SectorSource* disc);
    // Logs the failure's line the first time it hits the running read, then only counts.
    void note_failure(SectorFailure failure);
    // The read ends or its failure changes: says how many sectors the last one hit.
    void close_failure_run();
};

namespace cdic_detail {
template <class Disc>
class SlotSource final : public SectorSource {
public:
    explicit SlotSource(Disc& disc) : disc_(disc) {}
    bool read_sector(uint32_t lba, std::span<uint8_t, kRawSectorSize> out, bool report_failure) override {
        return disc_.read_sector(lba, out, report_failure);
    }
    uint32_t total_sectors() const override { return static_cast<uint32_t>(disc_.total_sectors()); }

private:
    Disc& disc_;
};
}  // namespace cdic_detail

template <class Disc>
void Cdic::cdic_tick(uint32_t cycles, std::optional<Disc>& disc_slot) {
    if (!disc_slot) {
        cdic_tick(cycles, static_cast<SectorSource*>(nullptr));
        return;
    }
    cdic_detail::SlotSource<Disc> source(*disc_slot);
    cdic_tick(cycles, &source);
}

}  // namespace vestrel
