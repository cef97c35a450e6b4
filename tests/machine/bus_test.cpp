#include "machine/bus.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/log.hpp"
#include "../support/console_capture.hpp"

namespace vestrel {
namespace {

// Captures the trace lines of one test.
class TraceCapture {
public:
    TraceCapture() {
        log_set_filter(LogFilter::parse("trace"));
        log_capture(&lines);
    }
    ~TraceCapture() {
        log_capture(nullptr);
        log_set_filter(LogFilter::parse(""));
    }
    size_t count(std::string_view needle) const {
        return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(needle) != std::string::npos;
        }));
    }
    std::vector<std::string> lines;
};

void fit_cartridge(Bus& bus) {
    bus.dvc.rom = std::vector<uint8_t>(Dvc::kRomSize, 0);
    bus.dvc.dram_enabled = true;
}

// Every memory window: where a byte at `address` lives.
struct MemoryWindow {
    const char* name;
    uint32_t address;
    std::function<uint8_t*(Bus&)> cell;
};

std::vector<MemoryWindow> memory_windows() {
    return {
        {"bank 0", 0x001000, [](Bus& b) { return &b.mcd212.bank0[0x1000]; }},
        {"bank 0 top", 0x07FFFE, [](Bus& b) { return &b.mcd212.bank0[0x7FFFE]; }},
        {"bank 1", 0x201000, [](Bus& b) { return &b.mcd212.bank1[0x1000]; }},
        {"cdic ram", 0x300010, [](Bus& b) { return &b.cdic.cdic_ram[0x10]; }},
        {"cdic ram top", 0x303BFE, [](Bus& b) { return &b.cdic.cdic_ram[0x3BFE]; }},
        {"ram 0x500000", 0x500010, [](Bus& b) { return &b.ram[0x10]; }},
        {"ram 0x500000 top", 0x57FFFE, [](Bus& b) { return &b.ram[0x7FFFE]; }},
        {"cartridge ram", 0xD00010, [](Bus& b) { return &b.dvc.ram[0x10]; }},
        {"picture dram", 0xE80010, [](Bus& b) { return &b.dvc.picture_dram[0x10]; }},
        // The upper byte of the 32-bit address is ignored outside the on-chip range.
        {"bank 1 high alias", 0x12201000, [](Bus& b) { return &b.mcd212.bank1[0x1000]; }},
    };
}

TEST(BusMap, MemoryWindowsByteAndWordReadAndWrite) {
    for (const MemoryWindow& w : memory_windows()) {
        auto bus = std::make_unique<Bus>();
        fit_cartridge(*bus);
        uint8_t* cell = w.cell(*bus);
        bus->write_byte(w.address, 0x5A);
        EXPECT_EQ(cell[0], 0x5A) << w.name;
        EXPECT_EQ(bus->read_byte(w.address), 0x5A) << w.name;
        bus->write_word(w.address, 0x1234);
        EXPECT_EQ(cell[0], 0x12) << w.name;
        EXPECT_EQ(cell[1], 0x34) << w.name;
        EXPECT_EQ(bus->read_word(w.address), 0x1234) << w.name;
        EXPECT_EQ(bus->read_byte(w.address + 1), 0x34) << w.name;
        bus->write_long(w.address & ~3u, 0xCAFEBABE);
        EXPECT_EQ(bus->read_long(w.address & ~3u), 0xCAFEBABEu) << w.name;
    }
}

TEST(BusMap, RomsAreReadOnlyAndLogEveryDroppedByte) {
    TraceCapture trace;
    auto bus = std::make_unique<Bus>();
    fit_cartridge(*bus);
    bus->rom[0x10] = 0xAB;
    bus->rom[0x11] = 0xCD;
    (*bus->dvc.rom)[0x20] = 0x77;
    EXPECT_EQ(bus->read_byte(0x400010), 0xAB);
    EXPECT_EQ(bus->read_word(0x400010), 0xABCD);
    EXPECT_EQ(bus->read_byte(0xE40020), 0x77);
    bus->write_word(0x400010, 0x1111);
    bus->write_byte(0xE40020, 0x22);
    EXPECT_EQ(bus->rom[0x10], 0xAB);
    EXPECT_EQ((*bus->dvc.rom)[0x20], 0x77);
    EXPECT_EQ(trace.count("Unmapped write_byte at 0x400010: 0x11"), 1u);
    EXPECT_EQ(trace.count("Unmapped write_byte at 0x400011: 0x11"), 1u);
    EXPECT_EQ(trace.count("Unmapped write_byte at 0xE40020: 0x22"), 1u);
}

TEST(BusMap, UnmappedAccessesGiveFFAndOneTracePerByte) {
    TraceCapture trace;
    auto bus = std::make_unique<Bus>();
    EXPECT_EQ(bus->read_byte(0x600000), 0xFF);
    EXPECT_EQ(trace.count("Unmapped read_byte at 0x600000"), 1u);
    EXPECT_EQ(bus->read_word(0x7F0000), 0xFFFF);
    EXPECT_EQ(trace.count("Unmapped read_byte at 0x7F0000"), 1u);
    EXPECT_EQ(trace.count("Unmapped read_byte at 0x7F0001"), 1u);
    bus->write_byte(0x600000, 0x12);
    EXPECT_EQ(trace.count("Unmapped write_byte at 0x600000: 0x12"), 1u);
    // Between the windows: past bank 0, the gap below the MCD212 registers.
    EXPECT_EQ(bus->read_byte(0x080000), 0xFF);
    EXPECT_EQ(bus->read_byte(0x4FFFDF), 0xFF);
    EXPECT_EQ(bus->read_long(0xF00000), 0xFFFFFFFFu);
    EXPECT_EQ(trace.lines.size(), 1u + 2u + 1u + 2u + 4u);
}

TEST(BusMap, AbsentCartridgeAnswersQuietly) {
    TraceCapture trace;
    auto bus = std::make_unique<Bus>();
    struct Case {
        uint32_t address;
        uint8_t byte;
        uint16_t word;
    };
    for (const Case c : {Case{0xD00000, 0x00, 0xFFFF}, Case{0xE03000, 0xFF, 0xFFFF},
                         Case{0xE40000, 0xFF, 0xFFFF}, Case{0xE80000, 0xFF, 0xFFFF}}) {
        EXPECT_EQ(bus->read_byte(c.address), c.byte) << std::hex << c.address;
        EXPECT_EQ(bus->read_word(c.address), c.word) << std::hex << c.address;
        bus->write_byte(c.address, 0x12);
        bus->write_word(c.address, 0x1234);
    }
    EXPECT_TRUE(std::all_of(bus->dvc.ram.begin(), bus->dvc.ram.begin() + 16, [](uint8_t b) { return b == 0; }));
    // Only the ROM window logs its writes; the others stay silent.
    EXPECT_EQ(trace.lines.size(), 3u);
    EXPECT_EQ(trace.count("Unmapped write_byte at 0xE40000"), 2u);

    // A fitted cartridge with the Picture DRAM still locked reads 0xFF there and drops writes.
    fit_cartridge(*bus);
    bus->dvc.dram_enabled = false;
    bus->write_byte(0xE80000, 0x12);
    EXPECT_EQ(bus->dvc.picture_dram[0], 0);
    EXPECT_EQ(bus->read_byte(0xE80000), 0xFF);
}

TEST(BusMap, NvramAnswersEachByteTwice) {
    auto bus = std::make_unique<Bus>();
    bus->nvram[0] = 0xA5;
    EXPECT_EQ(bus->read_byte(0x320000), 0xA5);
    EXPECT_EQ(bus->read_byte(0x320001), 0xA5);
    EXPECT_EQ(bus->read_word(0x320000), 0xA5A5);
    bus->write_word(0x320000, 0x1234);
    EXPECT_EQ(bus->nvram[0], 0x34);
    bus->write_byte(0x323FFF, 0x99);
    EXPECT_EQ(bus->nvram[0x1FFF], 0x99);
    // The clock registers at the top of a new NVRAM.
    const std::array<uint8_t, 8> clock{0x00, 0x00, 0x00, 0x12, 0x01, 0x01, 0x01, 0x95};
    Bus fresh;
    EXPECT_TRUE(std::equal(clock.begin(), clock.end(), fresh.nvram.end() - 8));
    EXPECT_TRUE(std::all_of(fresh.nvram.begin(), fresh.nvram.end() - 8, [](uint8_t b) { return b == 0; }));
}

TEST(BusMap, OnChipRegistersAndTheirAliases) {
    auto bus = std::make_unique<Bus>();
    bus->mcd212.bank0[0x12013] = 0x3C;
    EXPECT_EQ(bus->read_byte(0x80002013), 0x04);
    EXPECT_EQ(bus->read_byte(0x00802013), 0x04);
    EXPECT_EQ(bus->read_byte(0x7F802013), 0x04);
    EXPECT_EQ(bus->read_byte(0x80012013), 0x3C);  // bits 16-23 are 0x01: RAM bank 0
    // Words are the byte at r (high) and r + 1 (low).
    bus->write_word(0x80002024, 0xBEEF);
    EXPECT_EQ(bus->scc.t0, 0xBEEF);
    EXPECT_EQ(bus->read_word(0x80802024), 0xBEEF);
    bus->write_word(0x80002044, 0x0005);  // PICR1 is the low byte at 0x2045
    EXPECT_EQ(bus->scc.picr1, 0x05);
    bus->write_byte(0x80001001, 0x30);
    EXPECT_EQ(bus->scc.lir, 0x30);
    EXPECT_EQ(bus->read_byte(0x80001001), 0x30);
    EXPECT_EQ(bus->read_word(0x80003000), 0x0000);
}

TEST(BusMap, DmaWindowTakesWholeWords) {
    TraceCapture trace;
    auto bus = std::make_unique<Bus>();
    bus->write_word(0x8000400A, 0x0102);
    EXPECT_EQ(bus->dma[0].mtc, 0x0102);
    bus->write_word(0x8000404C, 0x0050);
    bus->write_word(0x8000404E, 0x1000);
    EXPECT_EQ(bus->dma[1].mar, 0x00501000u);
    EXPECT_EQ(bus->read_byte(0x8000404E), 0x10);
    EXPECT_EQ(bus->read_byte(0x8000404F), 0x00);
    // A byte write merges with the current word: CER at 0x4001 takes CSR << 8 along and so
    // clears the CSR bits that were set.
    bus->dma[0].csr = 0xB0;
    bus->write_byte(0x80004001, 0x00);
    EXPECT_EQ(bus->dma[0].csr, 0x00);
    bus->write_byte(0x8000400B, 0x07);  // low byte of MTC
    EXPECT_EQ(bus->dma[0].mtc, 0x0107);
    EXPECT_EQ(trace.count("DMA REG WRITE: offset 0x0A = 0x0102"), 1u);
    EXPECT_EQ(trace.count("DMA BYTE WRITE: reg=0x400B, offset=0x0A, new_val=0x0107"), 1u);
    EXPECT_EQ(trace.count("SCC DMA ch1 write offset 0x0C: 0x0050"), 1u);
}

TEST(BusDevices, CdicSlaveAndMcd212Windows) {
    auto bus = std::make_unique<Bus>();
    bus->write_word(0x303C06, 0x0022);  // file number
    EXPECT_EQ(bus->cdic.file, 0x0022);
    bus->write_byte(0x303C06, 0x11);  // read-modify-write of the high byte
    EXPECT_EQ(bus->cdic.file, 0x1122);
    EXPECT_EQ(bus->read_word(0x303C06), 0x1122);
    EXPECT_EQ(bus->read_byte(0x303C07), 0x22);
    bus->write_word(0x303FFC, 0x0033);
    EXPECT_EQ(bus->cdic.interrupt_vector, 0x0033);

    // A slave channel with nothing waiting reads 0x00FF.
    EXPECT_EQ(bus->read_word(0x310000), 0x00FF);
    EXPECT_EQ(bus->read_byte(0x310001), 0xFF);

    bus->write_word(0x4FFFF2, 0x8300);
    EXPECT_EQ(bus->mcd212.dcr1, 0x8300);
    EXPECT_EQ(bus->read_word(0x4FFFF2), 0x8300);
    bus->write_word(0x4FFFF0, 0x0208);
    bus->write_byte(0x4FFFF1, 0x09);  // merges into the last CSR1W, not into CSR1R
    EXPECT_EQ(bus->mcd212.csr1w, 0x0209);
    bus->slave.video_mode = VideoMode::Ntsc;
    bus->write_byte(0x4FFFF3, 0x00);
    EXPECT_EQ(bus->mcd212.dcr1, 0x8300);
    EXPECT_EQ(bus->slave.video_mode, bus->mcd212.video_mode);  // copied after every write
}

TEST(BusDevices, VideoLatchEdgeRule) {
    auto bus = std::make_unique<Bus>();
    bus->mcd212.csr2r = Mcd212::kCsr2rIrqChannel1 | Mcd212::kCsr2rIrqChannel2;
    (void)bus->read_word(0x4FFFF2);  // any register read looks at CSR2R
    EXPECT_EQ(bus->scc.lir & 0x80, 0x80);
    EXPECT_TRUE(bus->scc.video_edge);
    bus->scc.lir = 0;
    (void)bus->read_byte(0x4FFFF3);  // no new edge
    EXPECT_EQ(bus->scc.lir, 0);
    EXPECT_EQ(bus->read_word(0x4FFFE0) & 0x06, 0x06);  // CSR2R returns its bits and clears them
    EXPECT_EQ(bus->mcd212.csr2r & 0x06, 0);
    EXPECT_FALSE(bus->scc.video_edge);
    EXPECT_EQ(bus->scc.lir, 0);
    bus->mcd212.csr2r = Mcd212::kCsr2rIrqChannel2;
    bus->apply_video_edge();
    EXPECT_EQ(bus->scc.lir, 0x80);
}

TEST(BusWatch, IcaWriteLine) {
    ConsoleCapture out;
    auto bus = std::make_unique<Bus>();
    bus->scc.pc_copy = 0x00400123;
    bus->write_long(0x000100, 0x50001234);
    EXPECT_EQ(out.text, "[ICA WRITE] addr=0x000100, val=0x50001234 at PC=0x00400123\n");
    EXPECT_EQ(bus->mcd212.bank0[0x100], 0x50);
    EXPECT_EQ(bus->mcd212.bank0[0x103], 0x34);
    out.text.clear();
    bus->write_long(0x002000, 0x50001234);
    bus->write_long(0x000100, 0x40001234);
    bus->write_word(0x000100, 0x5000);
    EXPECT_EQ(out.text, "");
    bus->write_long(0xFF001FFC, 0x5FFFFFFF);  // the low 24 bits decide
    EXPECT_EQ(out.text, "[ICA WRITE] addr=0x001FFC, val=0x5FFFFFFF at PC=0x00400123\n");
}

TEST(BusAcknowledge, VectorsPerSource) {
    auto bus = std::make_unique<Bus>();
    // Video latch: answers 56 + level and drops the MCD212's request too.
    bus->scc.lir = 0x80;
    bus->mcd212.irq_request = true;
    EXPECT_EQ(bus->acknowledge_interrupt(5), 61);
    EXPECT_EQ(bus->scc.lir, 0);
    EXPECT_FALSE(bus->mcd212.irq_request);
    // Timer.
    bus->scc.picr1 = 3;
    bus->scc.timer_pending = true;
    EXPECT_EQ(bus->acknowledge_interrupt(3), 59);
    EXPECT_FALSE(bus->scc.timer_pending);
    EXPECT_EQ(bus->acknowledge_interrupt(3), 27);  // nothing left: the autovector
    // Slave, pending or not.
    bus->slave.irq2 = true;
    EXPECT_EQ(bus->acknowledge_interrupt(2), 26);
    EXPECT_FALSE(bus->slave.irq2);
    EXPECT_EQ(bus->acknowledge_interrupt(2), 26);
    EXPECT_EQ(bus->acknowledge_interrupt(6), 30);
    // CDIC: the low byte of its vector register, 28 when that is 0; its flag stays.
    bus->cdic.irq_pending = true;
    bus->cdic.interrupt_vector = 0x000F;
    EXPECT_EQ(bus->acknowledge_interrupt(4), 15);
    bus->cdic.interrupt_vector = 0x0100;
    EXPECT_EQ(bus->acknowledge_interrupt(4), 28);
    EXPECT_TRUE(bus->cdic.irq_pending);
    bus->cdic.irq_pending = false;
    EXPECT_EQ(bus->acknowledge_interrupt(4), 28);
    // The cartridge's video side: vector (register B 0xDC) >> 3.
    fit_cartridge(*bus);
    bus->dvc.fmv_regs[0x60 + 1] = 0x01;  // mask
    bus->dvc.fmv_regs[0x62 + 1] = 0x01;  // status
    bus->dvc.fmv_regs[0xDC] = 0x02;      // vector 0x0200 >> 3 = 0x40
    EXPECT_EQ(bus->acknowledge_interrupt(4), 0x40);
    bus->dvc.fmv_regs[0xDC] = 0x08;  // 0x0800 >> 3 = 0x100: low byte 0
    EXPECT_EQ(bus->acknowledge_interrupt(4), 28);
}

// ---------------------------------------------------------------- wait states

struct WaitCase {
    const char* name;
    VideoMode mode;
    uint16_t dcr1;
    uint16_t dcr2;
    uint8_t csr1r;
    uint64_t line;
    uint32_t pos;
    uint32_t address;
    uint32_t cycles;
};

TEST(BusWaitStates, RamTable) {
    const VideoMode P = VideoMode::Pal;
    const VideoMode N = VideoMode::Ntsc;
    const WaitCase cases[] = {
        {"fetch at 0", P, 0x8300, 0, 0x80, 40, 0, 0x0, 8},
        {"fetch at 3", P, 0x8300, 0, 0x80, 40, 3, 0x0, 5},
        {"fetch at 5", P, 0x8300, 0, 0x80, 40, 5, 0x0, 3},
        {"phase 6", P, 0x8300, 0, 0x80, 40, 6, 0x0, 2},
        {"phase 7", P, 0x8300, 0, 0x80, 40, 7, 0x0, 2},
        {"PAL col 471", P, 0x8300, 0, 0x80, 40, 976, 0x0, 8},
        {"PAL col 472", P, 0x8300, 0, 0x80, 40, 977, 0x0, 2},
        {"NTSC col 471", N, 0x8300, 0, 0x80, 40, 968, 0x0, 8},
        {"NTSC col 472", N, 0x8300, 0, 0x80, 40, 969, 0x0, 2},
        {"PAL no DCA col 407", P, 0x8200, 0, 0x80, 40, 844, 0x0, 4},
        {"PAL no DCA col 408", P, 0x8200, 0, 0x80, 40, 845, 0x0, 2},
        {"NTSC no DCA col 407", N, 0x8200, 0, 0x80, 40, 837, 0x0, 3},
        {"NTSC no DCA col 408", N, 0x8200, 0, 0x80, 40, 838, 0x0, 2},
        {"PAL before active", P, 0x8300, 0, 0x80, 31, 848, 0x0, 2},
        {"NTSC first active", N, 0x8300, 0, 0x80, 22, 848, 0x0, 8},
        {"display off", P, 0x0300, 0, 0x80, 40, 0, 0x0, 2},
        {"no ICA", P, 0x8100, 0, 0x80, 40, 0, 0x0, 2},
        {"not active", P, 0x8300, 0, 0x00, 40, 0, 0x0, 2},
        {"bank 1 by DCR2", P, 0x8000, 0x0300, 0x80, 40, 1, 0x200000, 7},
        {"bank 1 DCR2 off", P, 0x8300, 0x0000, 0x80, 40, 1, 0x200000, 2},
        {"bank 1 needs DCR1 15", P, 0x0000, 0x0300, 0x80, 40, 1, 0x200000, 2},
        {"bank 1 DCA bit", P, 0x8000, 0x0200, 0x80, 40, 848, 0x200000, 2},
    };
    for (const WaitCase& c : cases) {
        auto bus = std::make_unique<Bus>();
        bus->mcd212.video_mode = c.mode;
        bus->mcd212.dcr1 = c.dcr1;
        bus->mcd212.dcr2 = c.dcr2;
        bus->mcd212.csr1r = c.csr1r;
        bus->mcd212.current_line = c.line;
        bus->scc.line_cycle_pos = c.pos;
        (void)bus->read_byte(c.address);
        EXPECT_EQ(bus->scc.wait_tally, c.cycles) << c.name;
        EXPECT_EQ(bus->scc.line_cycle_pos, c.pos + c.cycles) << c.name;
        // Writes and word accesses cost the same, once each.
        bus->scc.wait_tally = 0;
        bus->scc.line_cycle_pos = c.pos;
        bus->write_word(c.address, 0);
        EXPECT_EQ(bus->scc.wait_tally, c.cycles) << c.name;
    }
}

TEST(BusWaitStates, RomAndOtherWindows) {
    struct Case {
        uint16_t csr1w;
        uint32_t cycles;
    };
    for (const Case c : {Case{0x0000, 1}, Case{0x0208, 2}, Case{0x0008, 0}, Case{0x0108, 1},
                         Case{0x0308, 1}, Case{0x0300, 1}}) {
        auto bus = std::make_unique<Bus>();
        bus->mcd212.csr1w = c.csr1w;
        (void)bus->read_word(0x400000);
        EXPECT_EQ(bus->scc.wait_tally, c.cycles) << std::hex << c.csr1w;
        (void)bus->read_byte(0x400001);
        EXPECT_EQ(bus->scc.wait_tally, 2 * c.cycles) << std::hex << c.csr1w;
    }
    auto bus = std::make_unique<Bus>();
    (void)bus->read_long(0x000000);  // two words
    EXPECT_EQ(bus->scc.wait_tally, 4u);
    bus->scc.wait_tally = 0;
    for (uint32_t a : {0x500000u, 0x300000u, 0x320000u, 0x80002020u, 0x4FFFF2u, 0x600000u})
        (void)bus->read_word(a);
    bus->write_word(0x400000, 0);  // ROM writes cost nothing
    EXPECT_EQ(bus->scc.wait_tally, 0u);
}

TEST(BusWaitStates, RamWaitsMatchTheColumnRuleAtEveryPosition) {
    // The rule as a column of the 480 across the line; the bus must agree without dividing.
    auto by_column = [](uint32_t pos, VideoMode mode, bool fetching, bool dca_line) -> uint32_t {
        if (!fetching) return 2;
        const uint64_t column = uint64_t{pos} * 480 / line_cycles(mode);
        const uint32_t phase = pos & 7;
        if (column <= 471 && (column <= 407 || dca_line) && phase <= 5) return 8 - phase;
        return 2;
    };
    for (const VideoMode mode : {VideoMode::Pal, VideoMode::Ntsc}) {
        // Past the line end too: waits and the carry push the position beyond it.
        for (uint32_t pos = 0; pos < 2 * line_cycles(mode); ++pos) {
            for (const bool fetching : {false, true}) {
                for (const bool dca : {false, true}) {
                    ASSERT_EQ(ram_wait_cycles(pos, mode, fetching, dca), by_column(pos, mode, fetching, dca))
                        << "pos " << pos << " ntsc " << (mode == VideoMode::Ntsc) << " fetch " << fetching
                        << " dca " << dca;
                }
            }
        }
    }
    EXPECT_EQ(ram_wait_cycles(0xFFFFFFFFu, VideoMode::Pal, true, true), 2u);
}

TEST(BusWaitStates, SwitchOffChargesNothing) {
    auto bus = std::make_unique<Bus>();
    bus->scc.wait_states_on = false;
    bus->mcd212.dcr1 = 0x8300;
    bus->mcd212.csr1r = 0x80;
    bus->mcd212.current_line = 40;
    bus->scc.line_cycle_pos = 17;
    (void)bus->read_word(0x000000);
    bus->write_byte(0x200000, 1);
    (void)bus->read_byte(0x400000);
    EXPECT_EQ(bus->scc.wait_tally, 0u);
    EXPECT_EQ(bus->scc.line_cycle_pos, 17u);
}

}  // namespace
}  // namespace vestrel

// ---------------------------------------------------------------- robustness

namespace vestrel {
namespace {

// Random accesses of every size over every window and over random addresses, with lines
// stepped and wait-state positions moved between them. Between the random accesses the map must
// still hold: RAM returns what was just stored (through any upper address byte), the system ROM
// keeps its image, the NVRAM answers each byte at both of its addresses, unmapped space reads
// 0xFF, and every wait cycle charged moves the line position by as much.
TEST(BusRobustness, RandomTrafficStaysInBounds) {
    ConsoleCapture out;  // UART and watch lines from random writes
    std::mt19937 rng(20261210);
    const uint32_t bases[] = {0x000000, 0x07FF00, 0x200000, 0x27FF00, 0x300000, 0x303B00, 0x303C00,
                              0x310000, 0x320000, 0x323F00, 0x400000, 0x47FF00, 0x4FFFE0, 0x500000,
                              0x57FF00, 0xD00000, 0xE00000, 0xE03000, 0xE04000, 0xE40000, 0xE80000,
                              0xEFFF00, 0x80000000, 0x80002000, 0x80004000, 0x00801000, 0xFFFFFF00};
    const uint32_t ram_bases[] = {0x000000, 0x200000, 0x500000};
    // An upper address byte the decoder ignores (0x80 would reach the on-chip registers).
    auto upper = [&] {
        const uint32_t u = rng() & 0xFF;
        return (u == 0x80 ? 0u : u) << 24;
    };
    for (int round = 0; round < 2; ++round) {
        auto bus = std::make_unique<Bus>();
        std::vector<uint8_t> rom(0x80000);
        for (auto& b : rom) b = static_cast<uint8_t>(rng());
        bus->load_system_rom(rom);
        if (round == 1) {
            bus->dvc.rom = std::vector<uint8_t>(100, 0x11);  // a short cartridge ROM
            bus->dvc.dram_enabled = true;
        }
        for (int i = 0; i < 200000; ++i) {
            const uint32_t base = bases[rng() % std::size(bases)];
            const uint32_t address = (rng() % 4 == 0) ? static_cast<uint32_t>(rng()) : base + rng() % 0x120;
            const uint32_t value = static_cast<uint32_t>(rng());
            const uint32_t tally = bus->scc.wait_tally;
            const uint32_t position = bus->scc.line_cycle_pos;
            switch (rng() % 7) {
                case 0: (void)bus->read_byte(address); break;
                case 1: (void)bus->read_word(address); break;
                case 2: (void)bus->read_long(address); break;
                case 3: bus->write_byte(address, static_cast<uint8_t>(value)); break;
                case 4: bus->write_word(address, static_cast<uint16_t>(value)); break;
                case 5: bus->write_long(address, value); break;
                default: (void)bus->acknowledge_interrupt(static_cast<uint8_t>(1 + rng() % 7)); break;
            }
            ASSERT_EQ(bus->scc.wait_tally - tally, bus->scc.line_cycle_pos - position) << "access " << i;
            if (i % 997 == 0) bus->step_scanline(rng() % 312);
            if (i % 50 == 0) bus->scc.line_cycle_pos = rng() % 1100;
            if (i % 16 != 0) continue;

            const uint32_t ram = upper() | ram_bases[rng() % 3] | (rng() & 0x7FFFC);
            bus->write_long(ram, value);
            ASSERT_EQ(bus->read_long(ram), value) << std::hex << ram;
            ASSERT_EQ(bus->read_word(ram + 2), value & 0xFFFF) << std::hex << ram;
            bus->write_byte(ram + 1, static_cast<uint8_t>(~value));
            ASSERT_EQ(bus->read_word(ram), ((value >> 16) & 0xFF00) | (~value & 0xFF)) << std::hex << ram;
            ASSERT_EQ(bus->read_byte(ram + 3), value & 0xFF) << std::hex << ram;

            const uint32_t rom_offset = rng() % 0x80000;
            ASSERT_EQ(bus->read_byte(upper() | (0x400000 + rom_offset)), rom[rom_offset]) << std::hex << rom_offset;

            const uint32_t nv = 0x320000 + (rng() % 8000) * 2;
            bus->write_byte(nv + (rng() & 1), static_cast<uint8_t>(value));
            ASSERT_EQ(bus->read_byte(nv), value & 0xFF) << std::hex << nv;
            ASSERT_EQ(bus->read_word(nv), (value & 0xFF) * 0x0101u) << std::hex << nv;

            uint32_t unmapped = 0x600000 + rng() % 0x700000;  // 0x600000-0xCFFFFF
            if (((unmapped >> 16) & 0xFF) == 0x80) unmapped += 0x10000;
            ASSERT_EQ(bus->read_byte(unmapped), 0xFF) << std::hex << unmapped;
            ASSERT_EQ(bus->read_word(unmapped & ~1u), 0xFFFF) << std::hex << unmapped;
        }
        EXPECT_EQ(bus->rom, rom) << "round " << round << ": writes reached the system ROM";
    }
}

}  // namespace
}  // namespace vestrel

// ---------------------------------------------------------------- page tables

namespace vestrel {
namespace {

// Trace lines without their time stamps, which may differ between two runs.
std::vector<std::string> without_time(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& line : lines) out.push_back(line.substr(std::min(line.find(' '), line.size())));
    return out;
}

// The page-table paths against the full decoder: two machines in the same state take the same
// access, one each way, and must answer, charge, log and store alike. The addresses are the
// start, middle and end bytes of every 64 KB page under several upper bytes, which covers the
// window ends, the internal page joins of the big windows, the on-chip range and its alias.
TEST(BusPages, TablesMatchTheDecoderEverywhere) {
    ConsoleCapture out;  // the ICA watch lines of the long writes
    TraceCapture trace;
    auto prepare = [](Bus& bus, bool cartridge) {
        for (size_t i = 0; i < bus.rom.size(); ++i) bus.rom[i] = static_cast<uint8_t>(i * 7 + 3);
        for (size_t i = 0; i < Mcd212::kBankSize; ++i) {
            bus.mcd212.bank0[i] = static_cast<uint8_t>(i * 5 + 1);
            bus.mcd212.bank1[i] = static_cast<uint8_t>(i * 3 + 2);
            bus.ram[i] = static_cast<uint8_t>(i * 11 + 4);
        }
        bus.mcd212.dcr1 = 0x8300;  // both channels fetch, with the DCA
        bus.mcd212.dcr2 = 0x0300;
        bus.mcd212.csr1r = 0x80;
        bus.mcd212.csr1w = 0x0208;  // two ROM wait cycles
        bus.mcd212.current_line = 40;
        if (cartridge) fit_cartridge(bus);
    };
    const uint32_t offsets[] = {0x0000, 0x0001, 0x7FFF, 0xFFFD, 0xFFFE, 0xFFFF};
    const uint32_t uppers[] = {0x00000000, 0x12000000, 0xFF000000};
    for (const bool cartridge : {false, true}) {
        auto fast = std::make_unique<Bus>();
        auto decoded = std::make_unique<Bus>();
        prepare(*fast, cartridge);
        prepare(*decoded, cartridge);
        std::vector<uint32_t> addresses;
        for (const uint32_t upper : uppers)
            for (uint32_t page = 0; page < 256; ++page)
                for (const uint32_t offset : offsets) addresses.push_back(upper | page << 16 | offset);
        for (const uint32_t offset : offsets) addresses.push_back(0x80000000u | offset);
        for (const uint32_t offset : offsets) addresses.push_back(0x80010000u | offset);

        uint32_t step = 0;
        for (const uint32_t a : addresses) {
            for (int op = 0; op < 6; ++op) {
                ++step;
                const uint32_t value = 0x9E3779B9u * step;
                const uint32_t pos = (step * 37) % 1100;
                fast->scc.line_cycle_pos = decoded->scc.line_cycle_pos = pos;
                fast->scc.wait_tally = decoded->scc.wait_tally = 0;
                uint32_t got_fast = 0;
                uint32_t got_decoded = 0;
                trace.lines.clear();
                switch (op) {
                    case 0: got_fast = fast->read_byte(a); break;
                    case 1: got_fast = fast->read_word(a); break;
                    case 2: got_fast = fast->read_long(a); break;
                    case 3: fast->write_byte(a, static_cast<uint8_t>(value)); break;
                    case 4: fast->write_word(a, static_cast<uint16_t>(value)); break;
                    default: fast->write_long(a, value); break;
                }
                const std::vector<std::string> fast_lines = without_time(trace.lines);
                trace.lines.clear();
                switch (op) {
                    case 0: got_decoded = decoded->read_byte_decoded(a); break;
                    case 1: got_decoded = decoded->read_word_decoded(a); break;
                    case 2: got_decoded = uint32_t{decoded->read_word_decoded(a)} << 16 |
                                          decoded->read_word_decoded(a + 2); break;
                    case 3: decoded->write_byte_decoded(a, static_cast<uint8_t>(value)); break;
                    case 4: decoded->write_word_decoded(a, static_cast<uint16_t>(value)); break;
                    default:
                        decoded->write_word_decoded(a, static_cast<uint16_t>(value >> 16));
                        decoded->write_word_decoded(a + 2, static_cast<uint16_t>(value));
                        break;
                }
                ASSERT_EQ(got_fast, got_decoded) << std::hex << a << " op " << op;
                ASSERT_EQ(fast->scc.wait_tally, decoded->scc.wait_tally) << std::hex << a << " op " << op;
                ASSERT_EQ(fast->scc.line_cycle_pos, decoded->scc.line_cycle_pos) << std::hex << a << " op " << op;
                ASSERT_EQ(fast_lines, without_time(trace.lines)) << std::hex << a << " op " << op;
            }
        }
        EXPECT_EQ(fast->mcd212.bank0, decoded->mcd212.bank0);
        EXPECT_EQ(fast->mcd212.bank1, decoded->mcd212.bank1);
        EXPECT_EQ(fast->ram, decoded->ram);
        EXPECT_EQ(fast->rom, decoded->rom);
        EXPECT_EQ(fast->nvram, decoded->nvram);
        EXPECT_EQ(fast->cdic.cdic_ram, decoded->cdic.cdic_ram);
        EXPECT_EQ(fast->dvc.ram, decoded->dvc.ram);
        EXPECT_EQ(fast->dvc.picture_dram, decoded->dvc.picture_dram);
        EXPECT_EQ(fast->mcd212.dcr1, decoded->mcd212.dcr1);
        EXPECT_EQ(fast->scc.t0, decoded->scc.t0);
    }
}

// The cases where a fast path would most easily go wrong, spelled out.
TEST(BusPages, EdgesOfTheMappedWindows) {
    TraceCapture trace;
    auto bus = std::make_unique<Bus>();
    bus->mcd212.bank0[0x7FFFF] = 0x12;
    bus->mcd212.bank0[0x0FFFF] = 0x34;
    bus->mcd212.bank0[0x10000] = 0x56;
    bus->ram[0x7FFFF] = 0x78;
    bus->rom[0x7FFFF] = 0x9A;
    // The last byte of a window: its half of the word, 0xFF for the unmapped half.
    EXPECT_EQ(bus->read_word(0x07FFFF), 0x12FF);
    EXPECT_EQ(bus->read_word(0x57FFFF), 0x78FF);
    EXPECT_EQ(bus->read_word(0x47FFFF), 0x9AFF);
    // A page join inside a window is one word access, charged once.
    bus->scc.wait_tally = 0;
    EXPECT_EQ(bus->read_word(0x00FFFF), 0x3456);
    EXPECT_EQ(bus->scc.wait_tally, 2u);
    // The on-chip range shares bank 0's low bits and must not reach it.
    bus->mcd212.bank0[0x2013] = 0x3C;
    EXPECT_EQ(bus->read_byte(0x80002013), 0x04);
    bus->write_byte(0x80002013, 0x55);
    EXPECT_EQ(bus->mcd212.bank0[0x2013], 0x3C);
    // A word write over the end of bank 1 stores one byte and logs the other.
    bus->write_word(0x27FFFF, 0xABCD);
    EXPECT_EQ(bus->mcd212.bank1[0x7FFFF], 0xAB);
    EXPECT_EQ(trace.count("Unmapped write_byte at 0x280000: 0xCD"), 1u);
}

// Line 0 copies only the pages stores marked, so every store path must mark every page it
// touches: bytes, words and longs through the page tables and the decoder, across 4 KB and
// 64 KB joins and the bank ends, at plain and alias addresses; and the reset vectors. Each kind
// gets its own machine so that no other store marks a page for it.
TEST(BusPages, EveryBankStoreReachesTheNextFrameCopy) {
    const uint32_t offsets[] = {0x00000, 0x00FFE, 0x02FFF, 0x0FFFE, 0x1FFFC, 0x3FFFD, 0x7FFFE};
    for (int kind = 0; kind < 6; ++kind) {
        auto bus = std::make_unique<Bus>();
        bus->mcd212.run_display_programs(0);  // the first copy takes everything
        uint32_t value = 0x12345678;
        for (const uint32_t base : {0x000000u, 0xFF200000u}) {
            for (const uint32_t offset : offsets) {
                value = value * 0x9E3779B9u + 1;
                const uint32_t a = base + offset;
                const uint32_t even = a & ~1u;
                switch (kind) {
                    case 0: bus->write_byte(a, static_cast<uint8_t>(value)); break;
                    case 1: bus->write_word(even, static_cast<uint16_t>(value)); break;
                    case 2: bus->write_long(even, value); break;
                    case 3: bus->write_byte_decoded(a, static_cast<uint8_t>(value)); break;
                    case 4: bus->write_word_decoded(even, static_cast<uint16_t>(value)); break;
                    default:
                        bus->rom[offset & 7] = static_cast<uint8_t>(value);
                        bus->copy_reset_vectors();
                        break;
                }
            }
        }
        bus->mcd212.run_display_programs(0);
        EXPECT_TRUE(bus->mcd212.bank0 == bus->mcd212.bank0_copy) << "kind " << kind;
        EXPECT_TRUE(bus->mcd212.bank1 == bus->mcd212.bank1_copy) << "kind " << kind;
    }
}

// The instruction-stream window answers exactly as read_word for every ROM wait setting, and
// declines every word it does not wholly hold.
TEST(BusPages, FetchWindowIsReadWordForTheRom) {
    struct Case {
        uint32_t address;
        bool covered;
    };
    const Case cases[] = {
        {0x400000, true},      {0x43FFFF, true},  {0x47FFFE, true},   {0x12400010, true},
        {0xFF47FFFE, true},    {0x80400000, true},  // the upper byte is not decoded
        {0x47FFFF, false},     {0x480000, false},   {0x3FFFFE, false}, {0x001000, false},
        {0x80000000, false},   {0x4FFFF0, false},
    };
    auto bus = std::make_unique<Bus>();
    auto reference = std::make_unique<Bus>();
    for (size_t i = 0; i < bus->rom.size(); ++i) bus->rom[i] = reference->rom[i] = static_cast<uint8_t>(i * 13 + 5);
    for (const bool on : {true, false}) {
        for (uint32_t bits = 0; bits < 8; ++bits) {
            const auto csr1w = static_cast<uint16_t>(((bits & 1) << 3) | ((bits >> 1) << 8));
            bus->scc.wait_states_on = reference->scc.wait_states_on = on;
            bus->mcd212.csr1w = reference->mcd212.csr1w = csr1w;
            bus->refresh_fetch_wait();
            for (const Case& c : cases) {
                bus->scc.wait_tally = reference->scc.wait_tally = 0;
                bus->scc.line_cycle_pos = reference->scc.line_cycle_pos = 100;
                uint16_t word = 0;
                ASSERT_EQ(bus->fetch_through_window(c.address, word), c.covered) << std::hex << c.address;
                if (!c.covered) continue;
                EXPECT_EQ(word, reference->read_word_decoded(c.address)) << std::hex << c.address;
                EXPECT_EQ(bus->scc.wait_tally, reference->scc.wait_tally) << std::hex << c.address << " " << csr1w;
                EXPECT_EQ(bus->scc.line_cycle_pos, reference->scc.line_cycle_pos) << std::hex << c.address;
            }
        }
    }
}

}  // namespace
}  // namespace vestrel
