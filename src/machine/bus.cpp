#include "machine/bus.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include <fmt/format.h>

#include "common/log.hpp"

namespace vestrel {
namespace {

LogTarget kLog{"vestrel::bus"};

// Window bounds on the low 24 address bits (inclusive first, exclusive end).
constexpr uint32_t kBank0Base = 0x000000;
constexpr uint32_t kBank1Base = 0x200000;
constexpr uint32_t kBankSize = Mcd212::kBankSize;
constexpr uint32_t kCdicRamBase = 0x300000;
constexpr uint32_t kCdicRegBase = 0x303C00;
constexpr uint32_t kCdicRegEnd = 0x304000;
constexpr uint32_t kCdicRegMask = 0x3FE;
constexpr uint32_t kSlaveBase = 0x310000;
constexpr uint32_t kSlaveEnd = 0x318000;
constexpr uint32_t kNvramBase = 0x320000;
constexpr uint32_t kNvramEnd = 0x324000;
constexpr uint32_t kRomBase = 0x400000;
constexpr uint32_t kMcdBase = 0x4FFFE0;
constexpr uint32_t kMcdEnd = 0x500000;
constexpr uint32_t kRamBase = 0x500000;
constexpr uint32_t kCartRamBase = 0xD00000;
constexpr uint32_t kCartRegBase = 0xE00000;
constexpr uint32_t kCartRomBase = 0xE40000;
constexpr uint32_t kCartDramBase = 0xE80000;
constexpr uint32_t kCartEnd = 0xF00000;

constexpr uint32_t kAddressMask = 0xFFFFFF;
constexpr uint32_t kOnChipMask = 0xFFFF;
constexpr uint32_t kResetVectorBytes = 8;

// The MK48T08's clock registers at the top of the NVRAM as the chip leaves the factory.
constexpr std::array<uint8_t, 8> kNvramClock{0x00, 0x00, 0x00, 0x12, 0x01, 0x01, 0x01, 0x95};

// The ICA watch: long writes of a "load VSR and stop" instruction into the first 8 KB.
constexpr uint32_t kIcaWatchMask = 0xF0000000;
constexpr uint32_t kIcaWatchValue = 0x50000000;
constexpr uint32_t kIcaWatchLimit = 0x1FFF;

// [base, base + size) holds a byte access at p; a word access needs p + 1 inside too.
constexpr bool in_window(uint32_t p, uint32_t base, uint32_t end) { return p >= base && p < end; }
constexpr bool word_in_window(uint32_t p, uint32_t base, uint32_t end) {
    return p >= base && p + 1 < end;
}

constexpr uint8_t pick_byte(uint16_t word, uint32_t address) {
    return (address & 1) == 0 ? static_cast<uint8_t>(word >> 8) : static_cast<uint8_t>(word);
}
constexpr uint16_t merge_byte(uint16_t word, uint32_t address, uint8_t value) {
    return (address & 1) == 0 ? static_cast<uint16_t>((word & 0x00FF) | (value << 8))
                              : static_cast<uint16_t>((word & 0xFF00) | value);
}
uint16_t load_word(const uint8_t* bytes) { return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]); }
void store_word(uint8_t* bytes, uint16_t value) {
    // One 16-bit store rather than two byte stores.
    if constexpr (std::endian::native == std::endian::little) value = std::byteswap(value);
    std::memcpy(bytes, &value, sizeof value);
}

bool in_dma_window(uint32_t r) {
    return r >= SccPeripherals::kDmaFirst && r <= SccPeripherals::kDmaLast;
}
uint32_t dma_offset(uint32_t r) { return (r & 0xFFFE) - SccPeripherals::kDmaFirst; }

}  // namespace

Bus::Bus() : rom(kRomSize), ram(kRamSize) {
    std::copy(kNvramClock.begin(), kNvramClock.end(), nvram.end() - kNvramClock.size());
    map_pages();
    // Every store into the banks below marks its page, so line 0 copies only what changed.
    mcd212.track_writes();
    // The system ROM is the instruction-stream window: its reads have no effect but the wait.
    fetch_window.host = rom.data();
    fetch_window.base = kRomBase;
    fetch_window.limit = kRomSize - 1;
    fetch_window.mask = kAddressMask;
    fetch_window.counters[0] = &scc.wait_tally;
    fetch_window.counters[1] = &scc.line_cycle_pos;
    refresh_fetch_wait();
}

void Bus::map_pages() {
    // Only windows that fill whole pages, answer the same for every byte and never depend on
    // the cartridge go in. The memories keep their size, so their storage never moves.
    auto map = [this](std::array<Page, kPageCount>& table, uint32_t base, uint32_t size, uint8_t* host,
                      PageWait wait) {
        for (uint32_t offset = 0; offset < size; offset += kPageMask + 1) {
            uint64_t* written = &unwatched_;
            if (wait == PageWait::Bank0 || wait == PageWait::Bank1)
                written = mcd212.written_word(wait == PageWait::Bank0 ? 0 : 1, offset);
            table[(base + offset) >> kPageShift] = Page{host + offset, written, wait};
        }
    };
    map(read_pages_, kBank0Base, kBankSize, mcd212.bank0.data(), PageWait::Bank0);
    map(write_pages_, kBank0Base, kBankSize, mcd212.bank0.data(), PageWait::Bank0);
    map(read_pages_, kBank1Base, kBankSize, mcd212.bank1.data(), PageWait::Bank1);
    map(write_pages_, kBank1Base, kBankSize, mcd212.bank1.data(), PageWait::Bank1);
    map(read_pages_, kRomBase, kRomSize, rom.data(), PageWait::Rom);  // writes are dropped
    map(read_pages_, kRamBase, kRamSize, ram.data(), PageWait::None);
    map(write_pages_, kRamBase, kRamSize, ram.data(), PageWait::None);
}

// ---------------------------------------------------------------- page-table paths

uint8_t Bus::read_byte(uint32_t address) {
    const Page* page = page_for(read_pages_, address);
    if (page == nullptr) [[unlikely]]
        return read_byte_decoded(address);
    charge_page(page->wait);
    return page->host[address & kPageMask];
}

uint16_t Bus::read_word(uint32_t address) {
    const Page* page = page_for(read_pages_, address);
    // A word at a page's last byte may leave the window: the decoder knows.
    if (page == nullptr || (address & kPageMask) == kPageMask) [[unlikely]]
        return read_word_decoded(address);
    charge_page(page->wait);
    return load_word(&page->host[address & kPageMask]);
}

void Bus::write_byte(uint32_t address, uint8_t value) {
    const Page* page = page_for(write_pages_, address);
    if (page == nullptr) [[unlikely]] {
        write_byte_decoded(address, value);
        return;
    }
    charge_page(page->wait);
    *page->written |= written_bit(address);
    page->host[address & kPageMask] = value;
}

void Bus::write_word(uint32_t address, uint16_t value) {
    const Page* page = page_for(write_pages_, address);
    if (page == nullptr || (address & kPageMask) == kPageMask) [[unlikely]] {
        write_word_decoded(address, value);
        return;
    }
    charge_page(page->wait);
    *page->written |= written_bit(address) | written_bit(address + 1);
    store_word(&page->host[address & kPageMask], value);
}

// ---------------------------------------------------------------- decoded reads

uint8_t Bus::read_byte_decoded(uint32_t address) {
    if (is_on_chip(address)) return on_chip_read_byte(address & kOnChipMask);
    const uint32_t p = address & kAddressMask;
    if (p < kBank0Base + kBankSize) {
        charge_ram(0);
        return mcd212.bank0[p - kBank0Base];
    }
    if (in_window(p, kBank1Base, kBank1Base + kBankSize)) {
        charge_ram(1);
        return mcd212.bank1[p - kBank1Base];
    }
    if (in_window(p, kCdicRamBase, kCdicRegBase)) return cdic.cdic_ram[p - kCdicRamBase];
    if (in_window(p, kCdicRegBase, kCdicRegEnd)) return pick_byte(cdic_read(p & kCdicRegMask), p);
    if (in_window(p, kSlaveBase, kSlaveEnd)) return pick_byte(slave_read(p - kSlaveBase), p);
    if (in_window(p, kNvramBase, kNvramEnd)) return nvram[(p - kNvramBase) >> 1];
    if (in_window(p, kRomBase, kRomBase + kRomSize)) {
        charge_rom();
        return rom[p - kRomBase];
    }
    if (in_window(p, kMcdBase, kMcdEnd))
        return pick_byte(mcd212_read(p & Mcd212::kRegisterOffsetMask), p);
    if (in_window(p, kRamBase, kRamBase + kRamSize)) return ram[p - kRamBase];
    if (in_window(p, kCartRamBase, kCartRegBase))
        return dvc.fitted() ? dvc.ram[p - kCartRamBase] : 0x00;
    if (in_window(p, kCartRegBase, kCartRomBase)) {
        if (!dvc.fitted()) return 0xFF;
        const uint8_t byte = dvc.dvc_read_byte(p);
        lower_cpu_irq_level();  // status reads clear the cartridge's flags
        return byte;
    }
    if (in_window(p, kCartRomBase, kCartDramBase)) {
        if (!dvc.fitted()) return 0xFF;
        const uint32_t i = p - kCartRomBase;
        return i < dvc.rom->size() ? (*dvc.rom)[i] : 0xFF;
    }
    if (in_window(p, kCartDramBase, kCartEnd))
        return dvc.fitted() && dvc.dram_enabled ? dvc.picture_dram[p - kCartDramBase] : 0xFF;
    LOG_TRACE(kLog, "Unmapped read_byte at 0x{:06X}", p);
    return 0xFF;
}

uint16_t Bus::read_word_decoded(uint32_t address) {
    if (is_on_chip(address)) return on_chip_read_word(address & kOnChipMask);
    const uint32_t p = address & kAddressMask;
    if (p + 1 < kBank0Base + kBankSize) {
        charge_ram(0);
        return load_word(&mcd212.bank0[p - kBank0Base]);
    }
    if (word_in_window(p, kBank1Base, kBank1Base + kBankSize)) {
        charge_ram(1);
        return load_word(&mcd212.bank1[p - kBank1Base]);
    }
    if (word_in_window(p, kRomBase, kRomBase + kRomSize)) {
        charge_rom();
        return load_word(&rom[p - kRomBase]);
    }
    if (word_in_window(p, kRamBase, kRamBase + kRamSize)) return load_word(&ram[p - kRamBase]);
    if (word_in_window(p, kCdicRamBase, kCdicRegBase)) return load_word(&cdic.cdic_ram[p - kCdicRamBase]);
    if (word_in_window(p, kCdicRegBase, kCdicRegEnd)) return cdic_read(p & kCdicRegMask);
    if (word_in_window(p, kSlaveBase, kSlaveEnd)) return slave_read(p - kSlaveBase);
    if (word_in_window(p, kMcdBase, kMcdEnd)) return mcd212_read(p & Mcd212::kRegisterOffsetMask);
    if (word_in_window(p, kCartRamBase, kCartRegBase))
        return dvc.fitted() ? load_word(&dvc.ram[p - kCartRamBase]) : 0xFFFF;
    if (word_in_window(p, kCartRegBase, kCartRomBase)) {
        if (!dvc.fitted()) return 0xFFFF;
        const uint16_t word = dvc.dvc_read_word((p - kCartRegBase) >> 1);
        lower_cpu_irq_level();
        return word;
    }
    if (word_in_window(p, kCartRomBase, kCartDramBase)) {
        if (!dvc.fitted()) return 0xFFFF;
        const uint32_t i = p - kCartRomBase;
        return i + 1 < dvc.rom->size() ? load_word(&(*dvc.rom)[i]) : 0xFFFF;
    }
    if (word_in_window(p, kCartDramBase, kCartEnd))
        return dvc.fitted() && dvc.dram_enabled ? load_word(&dvc.picture_dram[p - kCartDramBase]) : 0xFFFF;
    // The NVRAM, window edges and unmapped space: two byte reads.
    const uint8_t high = read_byte_decoded(address);
    return static_cast<uint16_t>((high << 8) | read_byte_decoded(address + 1));
}

uint32_t Bus::read_long(uint32_t address) {
    const uint32_t high = read_word(address);
    return (high << 16) | read_word(address + 2);
}

// ---------------------------------------------------------------- decoded writes

void Bus::write_byte_decoded(uint32_t address, uint8_t value) {
    if (is_on_chip(address)) {
        on_chip_write_byte(address & kOnChipMask, value);
        return;
    }
    const uint32_t p = address & kAddressMask;
    if (p < kBank0Base + kBankSize) {
        charge_ram(0);
        mcd212.ram_write_byte(0, p - kBank0Base, value);
        return;
    }
    if (in_window(p, kBank1Base, kBank1Base + kBankSize)) {
        charge_ram(1);
        mcd212.ram_write_byte(1, p - kBank1Base, value);
        return;
    }
    if (in_window(p, kCdicRamBase, kCdicRegBase)) {
        cdic.cdic_ram[p - kCdicRamBase] = value;
        return;
    }
    if (in_window(p, kCdicRegBase, kCdicRegEnd)) {
        const uint32_t offset = p & kCdicRegMask;
        cdic_write(offset, merge_byte(cdic_read(offset), p, value));
        return;
    }
    if (in_window(p, kSlaveBase, kSlaveEnd)) {
        slave.slave_write(p - kSlaveBase, value);
        return;
    }
    if (in_window(p, kNvramBase, kNvramEnd)) {
        nvram[(p - kNvramBase) >> 1] = value;
        return;
    }
    if (in_window(p, kMcdBase, kMcdEnd)) {
        const uint32_t offset = p & Mcd212::kRegisterOffsetMask;
        // CSR2R and CSR1R read back status, not what was written: merge into the last write.
        uint16_t current;
        if (offset == Mcd212::kRegCsr2) current = mcd212.csr2w;
        else if (offset == Mcd212::kRegCsr1) current = mcd212.csr1w;
        else current = mcd212.mcd212_read_register(offset);
        mcd212_write(offset, merge_byte(current, p, value));
        return;
    }
    if (in_window(p, kRamBase, kRamBase + kRamSize)) {
        ram[p - kRamBase] = value;
        return;
    }
    if (in_window(p, kCartRamBase, kCartRegBase)) {
        if (dvc.fitted()) dvc.ram[p - kCartRamBase] = value;
        return;
    }
    if (in_window(p, kCartRegBase, kCartRomBase)) {
        if (!dvc.fitted()) return;
        dvc.dvc_write_byte(p, value);
        lower_cpu_irq_level();  // mask, status and vector writes can withdraw the request
        return;
    }
    if (in_window(p, kCartDramBase, kCartEnd)) {
        if (dvc.fitted() && dvc.dram_enabled) dvc.picture_dram[p - kCartDramBase] = value;
        return;
    }
    LOG_TRACE(kLog, "Unmapped write_byte at 0x{:06X}: 0x{:02X}", p, value);
}

void Bus::write_word_decoded(uint32_t address, uint16_t value) {
    if (is_on_chip(address)) {
        on_chip_write_word(address & kOnChipMask, value);
        return;
    }
    const uint32_t p = address & kAddressMask;
    if (p + 1 < kBank0Base + kBankSize) {
        charge_ram(0);
        mcd212.ram_write_word(0, p - kBank0Base, value);
        return;
    }
    if (word_in_window(p, kBank1Base, kBank1Base + kBankSize)) {
        charge_ram(1);
        mcd212.ram_write_word(1, p - kBank1Base, value);
        return;
    }
    if (word_in_window(p, kRamBase, kRamBase + kRamSize)) {
        store_word(&ram[p - kRamBase], value);
        return;
    }
    if (word_in_window(p, kCdicRamBase, kCdicRegBase)) {
        store_word(&cdic.cdic_ram[p - kCdicRamBase], value);
        return;
    }
    if (word_in_window(p, kCdicRegBase, kCdicRegEnd)) {
        cdic_write(p & kCdicRegMask, value);
        return;
    }
    if (word_in_window(p, kSlaveBase, kSlaveEnd)) {
        slave.slave_write(p - kSlaveBase, value);
        return;
    }
    if (word_in_window(p, kMcdBase, kMcdEnd)) {
        mcd212_write(p & Mcd212::kRegisterOffsetMask, value);
        return;
    }
    if (word_in_window(p, kCartRamBase, kCartRegBase)) {
        if (dvc.fitted()) store_word(&dvc.ram[p - kCartRamBase], value);
        return;
    }
    if (word_in_window(p, kCartRegBase, kCartRomBase)) {
        if (!dvc.fitted()) return;
        dvc.dvc_write_word((p - kCartRegBase) >> 1, value);
        lower_cpu_irq_level();
        return;
    }
    if (word_in_window(p, kCartDramBase, kCartEnd)) {
        if (dvc.fitted() && dvc.dram_enabled) store_word(&dvc.picture_dram[p - kCartDramBase], value);
        return;
    }
    // The NVRAM, the ROMs, window edges and unmapped space: two byte writes, high first.
    write_byte_decoded(address, static_cast<uint8_t>(value >> 8));
    write_byte_decoded(address + 1, static_cast<uint8_t>(value));
}

void Bus::print_ica_write(uint32_t p, uint32_t value) const {
    console_write(fmt::format("[ICA WRITE] addr=0x{:06X}, val=0x{:08X} at PC=0x{:08X}\n", p, value, scc.pc_copy));
}

void Bus::write_long(uint32_t address, uint32_t value) {
    const uint32_t p = address & kAddressMask;
    if ((value & kIcaWatchMask) == kIcaWatchValue && p <= kIcaWatchLimit) [[unlikely]]
        print_ica_write(p, value);
    // Both words in one page: one look-up, still two charges (the second sees the first's).
    const Page* page = page_for(write_pages_, address);
    if (page != nullptr && (address & kPageMask) <= kPageMask - 3) [[likely]] {
        uint8_t* host = &page->host[address & kPageMask];
        *page->written |= written_bit(address) | written_bit(address + 3);
        charge_page(page->wait);
        store_word(host, static_cast<uint16_t>(value >> 16));
        charge_page(page->wait);
        store_word(host + 2, static_cast<uint16_t>(value));
        return;
    }
    write_word(address, static_cast<uint16_t>(value >> 16));
    write_word(address + 2, static_cast<uint16_t>(value));
}

// ---------------------------------------------------------------- devices

uint16_t Bus::mcd212_read(uint32_t offset) {
    const uint16_t word = mcd212.mcd212_read_register(offset);
    apply_video_edge();
    return word;
}

void Bus::mcd212_write(uint32_t offset, uint16_t value) {
    mcd212.mcd212_write_register(offset, value);
    slave.video_mode = mcd212.video_mode;
    refresh_fetch_wait();  // CSR1W sets the ROM's wait
}

void Bus::cdic_write(uint32_t offset, uint16_t value) {
    cdic.cdic_write_register(offset, value);
    lower_cpu_irq_level();  // ABUF and XBUF writes set the request to their bit 15
    if (cdic.dma_requested) dma_ch0_cdic_transfer();
}

void Bus::apply_video_edge() {
    const bool raised = (mcd212.csr2r & Mcd212::kCsr2rIrqMask) != 0;
    if (raised == scc.video_edge) return;
    if (raised) scc.lir |= SccPeripherals::kLirLatch;
    scc.video_edge = raised;
}

uint8_t Bus::on_chip_read_byte(uint32_t r) {
    if (in_dma_window(r)) return pick_byte(dma_read_register(dma, dma_offset(r)), r);
    return scc.read_register(static_cast<uint16_t>(r));
}

uint16_t Bus::on_chip_read_word(uint32_t r) {
    if (in_dma_window(r)) return dma_read_register(dma, dma_offset(r));
    const uint8_t high = scc.read_register(static_cast<uint16_t>(r));
    return static_cast<uint16_t>((high << 8) | scc.read_register(static_cast<uint16_t>((r + 1) & kOnChipMask)));
}

void Bus::on_chip_write_byte(uint32_t r, uint8_t value) {
    if (in_dma_window(r)) {
        const uint32_t offset = dma_offset(r);
        const uint16_t merged = merge_byte(dma_read_register(dma, offset), r, value);
        LOG_TRACE(kLog, "DMA BYTE WRITE: reg=0x{:04X}, offset=0x{:02X}, new_val=0x{:04X} at PC=0x{:06X}", r,
                  offset, merged, scc.pc_copy);
        dma_write_register(dma, offset, merged);
        return;
    }
    scc.write_register(static_cast<uint16_t>(r), value);
    lower_cpu_irq_level();  // TSR, PICR1 and LIR writes clear or move the on-chip requests
}

void Bus::on_chip_write_word(uint32_t r, uint16_t value) {
    if (in_dma_window(r)) {
        const uint32_t offset = dma_offset(r);
        LOG_TRACE(kLog, "DMA REG WRITE: offset 0x{:02X} = 0x{:04X} at PC=0x{:06X}", offset, value, scc.pc_copy);
        dma_write_register(dma, offset, value);
        return;
    }
    scc.write_register(static_cast<uint16_t>(r), static_cast<uint8_t>(value >> 8));
    scc.write_register(static_cast<uint16_t>((r + 1) & kOnChipMask), static_cast<uint8_t>(value));
    lower_cpu_irq_level();
}

uint8_t Bus::acknowledge_interrupt(uint8_t level) {
    switch (scc.acknowledge_on_chip(level)) {
        case OnChipAck::Video:
            mcd212.irq_request = false;
            return static_cast<uint8_t>(SccPeripherals::kOnChipVectorBase + level);
        case OnChipAck::Timer:
        case OnChipAck::Uart: return static_cast<uint8_t>(SccPeripherals::kOnChipVectorBase + level);
        case OnChipAck::None: break;
    }
    if (level == Slave::kIrqLevel) {
        slave.irq2 = false;
        return kSlaveVector;
    }
    if (level == Cdic::kIrqLevel) {
        // The CDIC's flag stays: the software clears it through XBUF and ABUF.
        if (cdic.irq_pending) return cdic.irq_vector();
        return dvc.irq_vector();  // 28 when the cartridge does not request
    }
    return static_cast<uint8_t>(kAutovectorBase + level);
}

// ---------------------------------------------------------------- machine steps

size_t Bus::load_system_rom(std::span<const uint8_t> image) {
    const size_t n = std::min(image.size(), rom.size());
    std::copy_n(image.begin(), n, rom.begin());
    return n;
}

size_t Bus::load_nvram(std::span<const uint8_t> image) {
    const size_t n = std::min(image.size(), nvram.size());
    std::copy_n(image.begin(), n, nvram.begin());
    return n;
}

void Bus::copy_reset_vectors() {
    std::copy_n(rom.begin(), kResetVectorBytes, mcd212.bank0.begin());
    mcd212.note_write_range(0, 0, kResetVectorBytes);
}

void Bus::reset_machine() {
    mcd212.reset();  // banks, copies, registers, buffers, CLUT; keeps the video mode
    copy_reset_vectors();
    cdic.reset();
    std::fill(ram.begin(), ram.end(), 0);
    dvc.reset();
    slave.reset(disc.has_value());
    scc.reset();
    dma = DmaChannels{};
}

bool Bus::step_scanline(uint64_t line) {
    const uint64_t first = mcd212.first_active_line();
    const uint64_t end = first + mcd212.active_line_count();
    if (line >= first && line < end && dvc.fitted()) {
        dvc.dvc_render_line(line - first, mcd212.external_video_line());
    } else if (line == 0) {
        ++frame_counter;
    }
    const bool frame_start = mcd212.run_display_programs(line);
    apply_video_edge();
    if (line == 0 && dvc.fitted()) dvc.dvc_frame_step();
    if (dvc.fitted() && !dvc.audio_pairs.empty()) hand_off_cartridge_audio();
    return frame_start;
}

void Bus::hand_off_cartridge_audio() {
    // Bounded like the ADPCM path: an MPEG-only title with no host audio draining the queue
    // must not grow it without end.
    cdic.audio_out.source_rate->store(kSourceRate);
    cdic.audio_out.queue->append_bounded(dvc.audio_pairs, kMaxQueuedPairs);
    dvc.audio_pairs.clear();
}

std::expected<void, Error> Bus::insert_disc(const std::filesystem::path& path) {
    auto image = open_disc_image(path);
    if (!image) return std::unexpected(image.error());
    disc.reset();
    disc.emplace(std::move(*image));
    slave.set_disc_inserted(true);
    return {};
}

}  // namespace vestrel
