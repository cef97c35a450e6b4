// The CD-i 220 base player: one record that owns every device and implements the CPU's bus.
//
// Address decoding: the SCC68070 on-chip registers answer at 0x80000000-0x8000FFFF and at any
// address whose bits 16-23 are 0x80; everything else is decoded on its low 24 bits:
//
//   0x000000-0x07FFFF  RAM bank 0 (MCD212)         0x400000-0x47FFFF  system ROM
//   0x200000-0x27FFFF  RAM bank 1 (MCD212)         0x4FFFE0-0x4FFFFF  MCD212 registers
//   0x300000-0x303BFF  CDIC RAM                    0x500000-0x57FFFF  plain RAM
//   0x303C00-0x303FFF  CDIC registers              0xD00000-0xDFFFFF  cartridge RAM
//   0x310000-0x317FFF  slave                       0xE00000-0xE3FFFF  cartridge registers
//   0x320000-0x323FFF  NVRAM (each byte twice)     0xE40000-0xE7FFFF  cartridge ROM
//                                                  0xE80000-0xEFFFFF  cartridge Picture DRAM
//
// Nothing fails: unmapped reads give 0xFF per byte and unmapped writes are dropped, each with a
// trace line. RAM and ROM accesses charge wait states into `scc.wait_tally` while the switch is
// on; the frontend adds the tally to the CPU slice.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "common/error.hpp"
#include "dvc/dvc.hpp"
#include "m68k/cpu_bus.hpp"
#include "machine/cdic.hpp"
#include "machine/cdrom.hpp"
#include "machine/dma.hpp"
#include "machine/mcd212.hpp"
#include "machine/scc68070.hpp"
#include "machine/slave.hpp"
#include "machine/video_mode.hpp"

namespace vestrel {

// Cycles per display line: the column arithmetic of the wait states and the frame scheduler.
inline constexpr uint32_t kPalLineCycles = 993;
inline constexpr uint32_t kNtscLineCycles = 985;

constexpr uint32_t line_cycles(VideoMode mode) {
    return mode == VideoMode::Ntsc ? kNtscLineCycles : kPalLineCycles;
}

// The last line position at which a fetching channel still holds the RAM: column 471 with the
// DCA on, 407 without, where column = pos * 480 / line cycles. Kept as positions so an access
// needs a compare instead of a divide.
constexpr uint32_t last_fetch_pos(VideoMode mode, bool dca_line) {
    const uint32_t last_column = dca_line ? 471 : 407;
    return ((last_column + 1) * line_cycles(mode) - 1) / 480;
}

// Wait cycles of one RAM-bank access. `fetching`: the channel fetches display data (DCR1 bit 15,
// the bank's DCR bit 9 and CSR1R bit 7); `dca_line`: an active line with the bank's DCR bit 8.
constexpr uint32_t ram_wait_cycles(uint32_t pos, VideoMode mode, bool fetching, bool dca_line) {
    constexpr uint32_t kIdle = 2;
    if (!fetching || pos > last_fetch_pos(mode, dca_line)) return kIdle;
    const uint32_t phase = pos & 7;
    return phase <= 5 ? 8 - phase : kIdle;
}

// Wait cycles of one system-ROM read under CSR1W: bit 3 selects the timing of bits 8-9.
constexpr uint32_t rom_wait_cycles(uint16_t csr1w) {
    constexpr std::array<uint32_t, 4> kTable{0, 1, 2, 1};
    if ((csr1w & 0x0008) == 0) return 1;
    return kTable[(csr1w >> 8) & 3];
}

// rom_wait_cycles for every combination of CSR1W bits 3, 8 and 9, gathered as bits 0, 5 and 6
// of csr1w >> 3: one masked load per ROM read.
inline constexpr uint32_t kRomWaitIndexMask = 0x61;
inline constexpr std::array<uint8_t, kRomWaitIndexMask + 1> kRomWaitByBits = [] {
    std::array<uint8_t, kRomWaitIndexMask + 1> table{};
    for (uint32_t i = 0; i < table.size(); ++i)
        table[i] = static_cast<uint8_t>(rom_wait_cycles(static_cast<uint16_t>(i << 3)));
    return table;
}();

// Whether a 32-bit CPU address selects an SCC68070 on-chip register.
constexpr bool is_on_chip(uint32_t address) {
    return (address >= 0x80000000u && address < 0x80010000u) || ((address >> 16) & 0xFF) == 0x80;
}

class Bus final : public m68k::CpuBus {
public:
    static constexpr uint32_t kRomSize = 0x80000;
    static constexpr uint32_t kRamSize = 0x80000;
    static constexpr uint32_t kNvramSize = 0x2000;
    static constexpr uint8_t kSlaveVector = 26;
    static constexpr uint8_t kAutovectorBase = 24;

    Bus();
    // The page tables point into this record's own memories.
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // ---- CpuBus ----
    // RAM banks 0 and 1, the system ROM (reads) and the plain RAM go through the page tables;
    // everything else, and a word that would cross a page end, through the full decoder.
    uint8_t read_byte(uint32_t address) override;
    uint16_t read_word(uint32_t address) override;
    uint32_t read_long(uint32_t address) override;
    void write_byte(uint32_t address, uint8_t value) override;
    void write_word(uint32_t address, uint16_t value) override;
    // Prints the "[ICA WRITE]" watch line when it applies, then writes two words, high first.
    void write_long(uint32_t address, uint32_t value) override;
    uint8_t acknowledge_interrupt(uint8_t level) override;

    // The full address decoder without the page tables: the same results and side effects,
    // for the accesses the tables do not cover and as the reference that they must match.
    uint8_t read_byte_decoded(uint32_t address);
    uint16_t read_word_decoded(uint32_t address);
    void write_byte_decoded(uint32_t address, uint8_t value);
    void write_word_decoded(uint32_t address, uint16_t value);

    // The system ROM is the instruction-stream window (`fetch_window`). Its wait is the ROM's
    // under CSR1W while the switch is on: the scheduler refreshes it at each slice's start and
    // a CSR1W write at once, so fields set directly between slices take effect too.
    void refresh_fetch_wait() {
        fetch_window.wait = scc.wait_states_on ? kRomWaitByBits[(mcd212.csr1w >> 3) & kRomWaitIndexMask] : 0;
    }

    // ---- Machine steps ----
    // The console reset: every device back to its power-on state; keeps the ROM, the NVRAM,
    // the disc, the cartridge ROM, the wait-state switch, the video modes and the pointer.
    void reset_machine();
    // The start of display line `line`; true exactly for line 0.
    bool step_scanline(uint64_t line);
    // Opens the image and puts it in the disc slot; on an error nothing changes.
    std::expected<void, Error> insert_disc(const std::filesystem::path& path);
    // Empties the disc slot; the slave's disc state is the caller's business.
    void remove_disc() { disc.reset(); }
    // The cartridge's counters and DMA input for one line. Defined in dma.cpp.
    void dvc_line_step(uint32_t cycles);

    // Copies an image into the system ROM (at most 512 KB; the rest stays as it was) and
    // returns the number of bytes taken.
    size_t load_system_rom(std::span<const uint8_t> image);
    // Copies an image into the start of the NVRAM (at most 8 KB).
    size_t load_nvram(std::span<const uint8_t> image);
    // Start-up without a reset: the ROM's first 8 bytes (initial SSP and PC) into RAM 0-7.
    void copy_reset_vectors();

    // The highest interrupt level the machine's sources request now, among the levels up to
    // `ceiling` (0 when none): the video latch, the timers, the CDIC or the cartridge (4) and
    // the slave (2).
    uint32_t irq_level(uint32_t ceiling = 7) const {
        uint32_t level = 0;
        const auto request = [&](uint32_t l) {
            if (l <= ceiling) level = std::max(level, l);
        };
        if ((scc.lir & SccPeripherals::kLirLatch) != 0) request(scc.video_level());
        if (scc.timer_pending) request(scc.timer_level());
        if (cdic.irq_pending || dvc.dvc_irq_pending()) request(Cdic::kIrqLevel);
        if (slave.irq2) request(Slave::kIrqLevel);
        return level;
    }
    // The level the CPU samples at each instruction boundary, while a CPU slice runs (the
    // scheduler points it at the CPU's pending level; nullptr otherwise). The scheduler raises
    // it between slices. An access that clears a source or moves its level brings it down at
    // once, so the CPU never takes a level that nothing requests any more: the acknowledge
    // would find no source and answer the autovector.
    uint32_t* cpu_irq_level = nullptr;

    // The DMA channel-0 block transfer between memory and CDIC RAM that the CDIC asked for.
    // Defined in dma.cpp.
    void dma_ch0_cdic_transfer();
    // The video-latch edge rule: a rising CSR2R interrupt bit sets LIR bit 7.
    void apply_video_edge();

    // ---- Devices and memories (public: the frontend and the tests reach in) ----
    // The system ROM, the plain RAM and the MCD212's banks are written in place, never resized
    // or reassigned: the page tables hold pointers into them.
    Dvc dvc;
    std::optional<DiscImage> disc;
    Mcd212 mcd212;
    Slave slave;
    Cdic cdic;
    std::vector<uint8_t> rom;
    std::vector<uint8_t> ram;  // 0x500000
    DmaChannels dma{};
    std::array<uint8_t, kNvramSize> nvram{};
    uint64_t frame_counter = 0;
    SccPeripherals scc;

private:
    static constexpr uint32_t kPageShift = 16;
    static constexpr uint32_t kPageMask = (1u << kPageShift) - 1;
    static constexpr uint32_t kPageCount = 256;  // over the low 24 address bits

    // Which wait states an access through a page charges.
    enum class PageWait : uint8_t { None, Bank0, Bank1, Rom };
    struct Page {
        uint8_t* host = nullptr;  // the page's first byte; nullptr: the full decoder
        // Write pages: the word of 4 KB page bits that a store marks (the video decoder's
        // written-page word for the banks, `unwatched_` elsewhere), so a store marks unchecked.
        uint64_t* written = nullptr;
        PageWait wait = PageWait::None;
    };
    static uint64_t written_bit(uint32_t address) { return uint64_t{1} << ((address >> Mcd212::kPageShift) & 63); }

    // The page an access at `address` may take, or nullptr. The on-chip range 0x80000000-
    // 0x8000FFFF shares its low bits with bank 0, so it is turned away here; the alias at bits
    // 16-23 = 0x80 has no page of its own.
    static const Page* page_for(const std::array<Page, kPageCount>& table, uint32_t address) {
        const Page& page = table[(address >> kPageShift) & (kPageCount - 1)];
        if (page.host == nullptr || (address >> kPageShift) == 0x8000) return nullptr;
        return &page;
    }
    void map_pages();
    void charge_page(PageWait wait) {
        if (wait == PageWait::None || !scc.wait_states_on) return;
        if (wait == PageWait::Rom) {
            charge(kRomWaitByBits[(mcd212.csr1w >> 3) & kRomWaitIndexMask]);
        } else {
            charge_ram_on(wait == PageWait::Bank0 ? mcd212.dcr1 : mcd212.dcr2);
        }
    }

    void charge(uint32_t cycles) {
        scc.wait_tally += cycles;
        scc.line_cycle_pos += cycles;
    }
    // `dcr`: the accessed bank's display control register; the switch is on.
    void charge_ram_on(uint16_t dcr) {
        const bool fetching = (mcd212.dcr1 & Mcd212::kDcrDisplayEnable) != 0 &&
                              (dcr & Mcd212::kDcrIcaEnable) != 0 &&
                              (mcd212.csr1r & Mcd212::kCsr1rDisplayActive) != 0;
        const bool dca_line = fetching && mcd212.current_line >= mcd212.first_active_line() &&
                              (dcr & Mcd212::kDcrDcaEnable) != 0;
        charge(ram_wait_cycles(scc.line_cycle_pos, mcd212.video_mode, fetching, dca_line));
    }
    void charge_ram(uint32_t bank) {
        if (scc.wait_states_on) charge_ram_on(bank == 0 ? mcd212.dcr1 : mcd212.dcr2);
    }
    void charge_rom() {
        if (scc.wait_states_on) charge(rom_wait_cycles(mcd212.csr1w));
    }
    // Long writes that the ICA watch prints; kept out of line so write_long stays small.
    [[gnu::cold, gnu::noinline]] void print_ica_write(uint32_t p, uint32_t value) const;

    uint8_t on_chip_read_byte(uint32_t r);
    uint16_t on_chip_read_word(uint32_t r);
    void on_chip_write_byte(uint32_t r, uint8_t value);
    void on_chip_write_word(uint32_t r, uint16_t value);
    uint16_t mcd212_read(uint32_t offset);
    void mcd212_write(uint32_t offset, uint16_t value);
    uint16_t cdic_read(uint32_t offset) {
        const uint16_t word = cdic.cdic_read_register(offset);
        lower_cpu_irq_level();  // ABUF and XBUF reads clear the request
        return word;
    }
    void cdic_write(uint32_t offset, uint16_t value);
    uint16_t slave_read(uint32_t offset) {
        const uint16_t word = slave.slave_read(offset);
        lower_cpu_irq_level();  // the first byte of an answer clears IRQ2
        return word;
    }
    // After a device access that may have cleared a source or moved its level (see
    // cpu_irq_level): the CPU keeps the highest level still requested at or below the one it
    // saw. A source that rose, or moved above that, waits for the slice's end as usual.
    void lower_cpu_irq_level() {
        if (cpu_irq_level != nullptr) *cpu_irq_level = irq_level(*cpu_irq_level);
    }
    void hand_off_cartridge_audio();

    bool dma_running_ = false;  // a channel-0 transfer is in progress
    uint64_t unwatched_ = 0;  // the written-page word of pages nobody copies
    std::array<Page, kPageCount> read_pages_{};
    std::array<Page, kPageCount> write_pages_{};
};

}  // namespace vestrel
