#include "frontend/scheduler.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "machine/cdic_sector.hpp"
#include "machine/scc68070.hpp"
#include "../support/console_capture.hpp"
#include "../support/rom_run.hpp"

namespace vestrel {
namespace {

constexpr uint32_t kProgram = 0x1000;
constexpr uint32_t kStackTop = 0x8000;
constexpr uint16_t kNop = 0x4E71;
constexpr uint16_t kStop = 0x4E72;
constexpr uint16_t kBraSelf = 0x60FE;

// A machine with a program in RAM bank 0 and the CPU in supervisor mode at its start.
struct Rig {
    std::unique_ptr<Bus> bus = std::make_unique<Bus>();
    m68k::Cpu cpu;
    uint64_t instructions = 0;

    explicit Rig(std::initializer_list<uint16_t> program, uint16_t sr = 0x2700) {
        poke(kProgram, program);
        cpu.set_cpu_type(m68k::CpuType::Scc68070);
        cpu.reset();
        cpu.addr_regs[7] = kStackTop;
        cpu.sp_bank[m68k::kIspSlot] = kStackTop;
        cpu.pc = kProgram;
        cpu.prefetch_count = 0;
        cpu.set_sr(sr);
        cpu.addr_regs[7] = kStackTop;
    }
    void poke(uint32_t address, std::initializer_list<uint16_t> words) {
        for (uint16_t w : words) {
            bus->mcd212.bank0[address] = static_cast<uint8_t>(w >> 8);
            bus->mcd212.bank0[address + 1] = static_cast<uint8_t>(w);
            address += 2;
        }
    }
    // NOPs from `address` to the end of bank 0.
    void nop_sled(uint32_t address) {
        for (uint32_t a = address; a + 1 < Mcd212::kBankSize; a += 2) poke(a, {kNop});
    }
    void vector(uint32_t number, uint32_t handler) {
        poke(number * 4, {static_cast<uint16_t>(handler >> 16), static_cast<uint16_t>(handler)});
    }
    uint32_t stacked_pc() {
        const uint32_t sp = cpu.addr_regs[7];
        return bus->read_long(sp + 2);
    }
    // Timer cycles handed out so far (T0 counts ticks from 0).
    uint32_t timer_cycles() const { return bus->scc.t0 * 96u + bus->scc.timer_prescaler; }
};

TEST(SchedulerLevels, HighestSourceWins) {
    struct Case {
        const char* name;
        uint8_t lir;
        bool timer;
        uint8_t picr1;
        bool cdic;
        bool slave;
        uint32_t level;
    };
    const Case cases[] = {
        {"none", 0, false, 0, false, false, 0},
        {"slave", 0, false, 0, false, true, 2},
        {"slave and cdic", 0, false, 0, true, true, 4},
        {"video default level", 0x80, false, 0, false, false, 5},
        {"video level 6", 0xE0, false, 0, true, true, 6},
        {"video level 1 under cdic", 0x90, false, 0, true, false, 4},
        {"LIR low bits raise nothing", 0x07, false, 0, false, false, 0},
        {"level bits without latch", 0x70, false, 0, false, false, 0},
        {"timer level 3", 0, true, 0x03, false, true, 3},
        {"timer level 0 adds nothing", 0, true, 0x70, false, false, 0},
        {"timer level 7", 0x80, true, 0x07, true, true, 7},
        {"PICR1 without pending", 0, false, 0x06, false, false, 0},
    };
    for (const Case& c : cases) {
        auto bus = std::make_unique<Bus>();
        bus->scc.lir = c.lir;
        bus->scc.timer_pending = c.timer;
        bus->scc.picr1 = c.picr1;
        bus->cdic.irq_pending = c.cdic;
        bus->slave.irq2 = c.slave;
        bus->scc.picr2 = 6;
        bus->scc.uart_pending = true;  // the UART never raises a level
        EXPECT_EQ(pending_irq_level(*bus), c.level) << c.name;
    }
    // The cartridge's request counts as level 4.
    auto bus = std::make_unique<Bus>();
    bus->dvc.fmv_regs[0x61] = 1;
    bus->dvc.fmv_regs[0x63] = 1;
    bus->dvc.fmv_regs[0xDD] = 0x40;
    EXPECT_EQ(pending_irq_level(*bus), 4u);
    // A waiting display-program request is not a level until a line start latches it.
    bus = std::make_unique<Bus>();
    bus->mcd212.irq_request = true;
    EXPECT_EQ(pending_irq_level(*bus), 0u);
}

TEST(SchedulerSlice, InterruptEntryOverrunsTheBudget) {
    Rig rig({kBraSelf}, 0x2000);
    rig.vector(26, 0x2000);
    rig.poke(0x2000, {kBraSelf});
    rig.bus->scc.wait_states_on = false;
    rig.bus->slave.irq2 = true;
    rig.cpu.pending_level = pending_irq_level(*rig.bus);
    const SliceResult r = run_cpu_slice(rig.cpu, *rig.bus, 0, kPalLineCycles);
    EXPECT_FALSE(r.stopped);
    EXPECT_EQ(r.consumed, 44u);
    EXPECT_EQ(r.steps, 0u);
    EXPECT_EQ(rig.cpu.pc, 0x2000u);
    EXPECT_FALSE(rig.bus->slave.irq2);  // the acknowledge answered vector 26
    EXPECT_EQ(rig.timer_cycles(), 44u);
    // With wait states the bus's tally rides on top and is then cleared.
    Rig waits({kBraSelf}, 0x2000);
    waits.vector(26, 0x2000);
    waits.poke(0x2000, {kBraSelf});
    waits.bus->slave.irq2 = true;
    waits.cpu.pending_level = 2;
    const SliceResult w = run_cpu_slice(waits.cpu, *waits.bus, 0, kPalLineCycles);
    EXPECT_GT(w.consumed, 44u);
    EXPECT_EQ(waits.bus->scc.wait_tally, 0u);
    EXPECT_EQ(waits.timer_cycles(), w.consumed);
}

TEST(SchedulerSlice, BudgetIsTheRestOfTheLineAtMost32) {
    Rig rig({kNop, kNop, kNop, kNop, kNop, kNop, kNop, kNop, kNop, kNop, kNop, kNop, kNop, kNop, kNop, kNop});
    rig.bus->scc.wait_states_on = false;
    run_cpu_slice(rig.cpu, *rig.bus, 0, kPalLineCycles);
    EXPECT_EQ(rig.cpu.slice_len, 32);
    EXPECT_EQ(rig.bus->scc.line_cycle_pos, 0u);
    run_cpu_slice(rig.cpu, *rig.bus, 990, kPalLineCycles);
    EXPECT_EQ(rig.cpu.slice_len, 3);
    EXPECT_EQ(rig.bus->scc.pc_copy, rig.cpu.ppc);  // the PC at the slice's start
    run_cpu_slice(rig.cpu, *rig.bus, 1200, kPalLineCycles);
    EXPECT_EQ(rig.cpu.slice_len, 1);
}

TEST(SchedulerSlice, ExceptionStatuses) {
    struct Case {
        const char* name;
        std::initializer_list<uint16_t> program;
        uint32_t vector;
        uint32_t stacked_pc;
    };
    const Case cases[] = {
        {"TRAP #5", {0x4E45}, 37, kProgram + 2},
        {"TRAP #15", {0x4E4F}, 47, kProgram + 2},
        {"line A", {0xA123}, 10, kProgram},
        {"line F", {0xF000}, 11, kProgram},
        {"illegal", {0x4AFC}, 4, kProgram},
        {"breakpoint", {0x4848}, 4, kProgram},
    };
    for (const Case& c : cases) {
        Rig rig(c.program);
        rig.bus->scc.wait_states_on = false;
        for (uint32_t v = 2; v < 64; ++v) rig.vector(v, 0x6000);
        rig.vector(c.vector, 0x3000);
        rig.poke(0x3000, {kBraSelf});
        rig.poke(0x6000, {kBraSelf});
        const SliceResult r = run_cpu_slice(rig.cpu, *rig.bus, 0, kPalLineCycles);
        EXPECT_FALSE(r.stopped) << c.name;
        EXPECT_EQ(r.steps, 0u) << c.name;
        EXPECT_EQ(rig.cpu.pc, 0x3000u) << c.name;
        EXPECT_EQ(rig.stacked_pc(), c.stacked_pc) << c.name;
        EXPECT_GT(r.consumed, 0u) << c.name;
        EXPECT_EQ(rig.timer_cycles(), r.consumed) << c.name;
    }
}

TEST(SchedulerLine, StoppedCpuGivesTheLineToTheTimers) {
    Rig rig({kNop});
    rig.cpu.stopped = 1;
    rig.bus->scc.wait_tally = 7;  // dropped, not charged
    int32_t carry = 0;
    run_line(rig.cpu, *rig.bus, 1, kPalLineCycles, carry, rig.instructions);
    EXPECT_EQ(carry, 0);
    EXPECT_EQ(rig.instructions, 0u);
    EXPECT_EQ(rig.timer_cycles(), kPalLineCycles);
    EXPECT_EQ(rig.bus->scc.wait_tally, 0u);
    EXPECT_EQ(rig.cpu.pc, kProgram);
    // Every further line alike, starting at the carry.
    run_line(rig.cpu, *rig.bus, 2, kPalLineCycles, carry, rig.instructions);
    EXPECT_EQ(rig.timer_cycles(), 2 * kPalLineCycles);
    carry = 100;
    run_line(rig.cpu, *rig.bus, 3, kPalLineCycles, carry, rig.instructions);
    EXPECT_EQ(rig.timer_cycles(), 3 * kPalLineCycles - 100);
    EXPECT_EQ(carry, 0);
}

TEST(SchedulerLine, StopInstructionEndsTheLine) {
    Rig rig({kNop, kNop, kStop, 0x2700});
    int32_t carry = 0;
    run_line(rig.cpu, *rig.bus, 1, kPalLineCycles, carry, rig.instructions);
    EXPECT_NE(rig.cpu.stopped, 0u);
    EXPECT_EQ(carry, 0);
    EXPECT_EQ(rig.instructions, 3u);
    // One call with the whole line from the slice's start: its wait states are not charged.
    EXPECT_EQ(rig.timer_cycles(), kPalLineCycles);
    EXPECT_EQ(rig.bus->scc.wait_tally, 0u);
}

TEST(SchedulerLine, InterruptWakesAStoppedCpu) {
    Rig rig({kNop}, 0x2000);
    rig.vector(26, 0x2000);
    rig.nop_sled(0x2000);
    rig.cpu.stopped = 1;
    int32_t carry = 0;
    run_line(rig.cpu, *rig.bus, 1, kPalLineCycles, carry, rig.instructions);
    EXPECT_EQ(rig.cpu.pc, kProgram);  // nothing pending: still stopped
    rig.bus->slave.irq2 = true;
    run_line(rig.cpu, *rig.bus, 2, kPalLineCycles, carry, rig.instructions);
    EXPECT_EQ(rig.cpu.stopped, 0u);
    EXPECT_GT(rig.cpu.pc, 0x2000u);
    EXPECT_FALSE(rig.bus->slave.irq2);
    EXPECT_GT(rig.instructions, 0u);
}

TEST(SchedulerLine, OverrunCarriesIntoTheNextLine) {
    // Slices overrun their budget by the last instruction; what a line runs past its end
    // shortens the next one, so the timers see exactly lines x L plus the last carry.
    for (bool waits : {false, true}) {
        Rig rig({kNop});
        rig.nop_sled(kProgram);
        rig.bus->scc.wait_states_on = waits;
        int32_t carry = 0;
        bool carried = false;
        constexpr uint32_t kLines = 40;
        for (uint64_t line = 1; line <= kLines; ++line) {
            run_line(rig.cpu, *rig.bus, line, kPalLineCycles, carry, rig.instructions);
            EXPECT_GE(carry, 0);
            EXPECT_LE(carry, kMaxCarry);
            carried |= carry > 0;
        }
        // Without wait states 3-cycle NOPs fill the 993-cycle line exactly; fetch waits do not.
        EXPECT_EQ(carried, waits);
        EXPECT_EQ(rig.timer_cycles(), kLines * kPalLineCycles + static_cast<uint32_t>(carry)) << waits;
        EXPECT_GT(rig.instructions, kLines * 100) << waits;
        EXPECT_EQ(rig.bus->scc.wait_tally, 0u);
    }
}

TEST(SchedulerLine, InterruptEntryAtTheLineEndBecomesCarry) {
    Rig rig({kNop}, 0x2000);
    rig.nop_sled(kProgram);
    rig.vector(26, 0x2000);
    rig.bus->scc.wait_states_on = false;
    // Three cycles before the end of the line, a 44-cycle interrupt entry runs past it.
    const SliceResult r = [&] {
        rig.bus->slave.irq2 = true;
        rig.cpu.pending_level = 2;
        return run_cpu_slice(rig.cpu, *rig.bus, kPalLineCycles - 3, kPalLineCycles);
    }();
    EXPECT_EQ(rig.cpu.slice_len, 3);
    EXPECT_EQ(r.consumed, 44u);
}

TEST(SchedulerLine, VideoRequestLatchesAtTheLineStart) {
    Rig rig({kNop});
    rig.cpu.stopped = 1;
    rig.bus->mcd212.irq_request = true;
    int32_t carry = 0;
    run_line(rig.cpu, *rig.bus, 1, kPalLineCycles, carry, rig.instructions);
    EXPECT_EQ(rig.bus->scc.lir & 0x80, 0x80);
    EXPECT_FALSE(rig.bus->mcd212.irq_request);
    EXPECT_EQ(rig.cpu.pending_level, 5u);  // masked at 7: still pending
}

TEST(SchedulerLine, DiscReadyAfter4532PalLines) {
    Rig rig({kNop});
    rig.cpu.stopped = 1;
    const auto path = std::filesystem::temp_directory_path() / "vestrel_scheduler_test.iso";
    {
        std::ofstream out(path, std::ios::binary);
        const std::vector<char> data(4 * 2048, 0);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    ASSERT_TRUE(rig.bus->insert_disc(path).has_value());
    rig.bus->slave.channels[Slave::kStatusChannel].clear();
    rig.bus->slave.irq2 = false;
    int32_t carry = 0;
    for (uint64_t i = 1; i < 4532; ++i) run_line(rig.cpu, *rig.bus, 100, kPalLineCycles, carry, rig.instructions);
    EXPECT_EQ(rig.bus->slave.disc_state, DiscStatus::Inserted);
    EXPECT_FALSE(rig.bus->slave.irq2);
    run_line(rig.cpu, *rig.bus, 100, kPalLineCycles, carry, rig.instructions);
    EXPECT_EQ(rig.bus->slave.disc_state, DiscStatus::TocReady);
    EXPECT_TRUE(rig.bus->slave.irq2);
    const SlaveChannel& ch = rig.bus->slave.channels[Slave::kStatusChannel];
    ASSERT_EQ(ch.response_length, 4u);
    EXPECT_EQ(ch.response[2], 0x44);
    // Only once.
    rig.bus->slave.channels[Slave::kStatusChannel].clear();
    rig.bus->slave.irq2 = false;
    for (int i = 0; i < 100; ++i) run_line(rig.cpu, *rig.bus, 100, kPalLineCycles, carry, rig.instructions);
    EXPECT_FALSE(rig.bus->slave.irq2);
    std::filesystem::remove(path);
}

TEST(SchedulerFrame, VideoStandardSetsTheShape) {
    Rig rig({kNop});
    rig.cpu.stopped = 1;
    rig.bus->mcd212.video_mode = VideoMode::Ntsc;
    run_emulated_frame(rig.cpu, *rig.bus, rig.instructions);
    EXPECT_EQ(rig.bus->slave.video_mode, VideoMode::Ntsc);
    EXPECT_EQ(rig.bus->frame_counter, 1u);
    EXPECT_EQ(rig.timer_cycles(), 262u * 985u);
    rig.bus->scc.t0 = 0;
    rig.bus->scc.timer_prescaler = 0;
    rig.bus->mcd212.video_mode = VideoMode::Pal;
    run_emulated_frame(rig.cpu, *rig.bus, rig.instructions);
    EXPECT_EQ(rig.bus->slave.video_mode, VideoMode::Pal);
    EXPECT_EQ(rig.timer_cycles(), 312u * 993u);
}

// A program in the system ROM is fetched through the bus's instruction-stream window, which
// charges the ROM's wait itself. It must charge what read_word would, also right after the
// program rewrites CSR1W in mid-slice and after the wait-state switch is flipped between frames:
// a machine without the window must run the very same instructions and cycles.
TEST(SchedulerFrame, RomFetchWindowKeepsTheWaitStates) {
    // Writes each CSR1W value in turn (bit 3 and bits 8-9 pick the ROM wait), counting in D0.
    const std::vector<uint16_t> program = {
        0x33FC, 0x0008, 0x004F, 0xFFF0,  // move.w #$0008,$4FFFF0 (CSR1W)
        0x5280, 0x4E71, 0x4E71,          // addq.l #1,d0; nop; nop
        0x33FC, 0x0208, 0x004F, 0xFFF0,  // move.w #$0208,...
        0x5280, 0x4E71,
        0x33FC, 0x0308, 0x004F, 0xFFF0,  // move.w #$0308,...
        0x5280,
        0x33FC, 0x0000, 0x004F, 0xFFF0,  // move.w #$0000,...
        0x5280, 0x2200,                  // addq.l #1,d0; move.l d0,d1
        0x60CE,                          // bra to the start
    };
    auto make = [&](bool window) {
        auto rig = std::make_unique<Rig>(std::initializer_list<uint16_t>{kNop});
        for (size_t i = 0; i < program.size(); ++i) {
            rig->bus->rom[0x100 + 2 * i] = static_cast<uint8_t>(program[i] >> 8);
            rig->bus->rom[0x101 + 2 * i] = static_cast<uint8_t>(program[i]);
        }
        rig->cpu.pc = 0x400100;
        if (!window) rig->bus->fetch_window.limit = 0;
        return rig;
    };
    auto with = make(true);
    auto without = make(false);
    for (int frame = 0; frame < 6; ++frame) {
        for (auto* rig : {with.get(), without.get()}) {
            rig->bus->scc.wait_states_on = frame % 3 != 2;
            run_emulated_frame(rig->cpu, *rig->bus, rig->instructions);
        }
        ASSERT_EQ(with->instructions, without->instructions) << "frame " << frame;
        ASSERT_EQ(with->cpu.pc, without->cpu.pc) << "frame " << frame;
        ASSERT_EQ(with->cpu.data_regs[0], without->cpu.data_regs[0]) << "frame " << frame;
        ASSERT_EQ(with->timer_cycles(), without->timer_cycles()) << "frame " << frame;
    }
    EXPECT_GT(with->cpu.data_regs[0], 1000u);  // the program ran from the ROM all along
}

// ---------------------------------------------------------------- test ROMs


TEST(SchedulerRoms, UartReachesStandardOutput) {
    ConsoleCapture out;
    RomRun run("uart_hello.rom");
    run.frames(2);
    EXPECT_EQ(out.text, "OK\n[1B]\n");
    EXPECT_NE(run.cpu.stopped, 0u);
}

TEST(SchedulerRoms, TimerInterruptsOver50PalFrames) {
    RomRun run("timer_irq.rom");
    run.frames(50);
    // 15,490,800 cycles at one interrupt per 256 ticks of 96 cycles: 630.3.
    const uint32_t count = run.ram_long(0x1000);
    EXPECT_GE(count, 629u);
    EXPECT_LE(count, 631u);
    EXPECT_EQ(run.ram_long(0x1004), 0u) << "interrupts on a wrong vector";
    EXPECT_EQ(run.ram_long(0x1008), 0u) << "TSR not cleared by the handler's write";
    EXPECT_FALSE(run.bus->scc.timer_pending && run.bus->scc.tsr == 0);
}

TEST(SchedulerRoms, DmaChannel0BothWays) {
    ConsoleCapture out;
    RomRun run("dma_ch0.rom");
    run.frames(1);
    const uint32_t cdic_addresses[] = {0x3BFF, 0x0000, 0x0001, 0x0002, 0x0003, 0x0004};
    for (uint32_t i = 0; i < 6; ++i) {
        EXPECT_EQ(run.bus->cdic.cdic_ram[cdic_addresses[i]], i + 1) << i;
        EXPECT_EQ(run.bus->ram[0x100 + i], i + 1) << i;
    }
    EXPECT_EQ(run.ram_long(0x500200), 0x00500106u);  // MAR advanced by twice the count
    EXPECT_EQ(run.bus->read_word(0x500204), 0u);     // MTC
    EXPECT_EQ(run.bus->read_byte(0x500206) & 0x80, 0x80);  // CSR: complete
    EXPECT_EQ(out.text, "DMA");
}

TEST(SchedulerRoms, IcaWatchLine) {
    ConsoleCapture out;
    RomRun run("ica_watch.rom");
    run.frames(1);
    EXPECT_EQ(out.text.rfind("[ICA WRITE] addr=0x000100, val=0x50001234 at PC=0x004000", 0), 0u) << out.text;
    EXPECT_EQ(std::count(out.text.begin(), out.text.end(), '\n'), 1);
    EXPECT_EQ(out.text.find("002000"), std::string::npos);
    EXPECT_EQ(run.ram_long(0x100), 0x50001234u);
    EXPECT_EQ(run.ram_long(0x2000), 0x50001234u);
}

// Two frames of display_bars.s: CLUT8 bars on plane A over a flat DYUV plane B, weight 32 each.
// Expected colours from the mixing rule, worked by hand in the ROM's header.
TEST(SchedulerRoms, DisplayBarsThroughTheDisplayPrograms) {
    RomRun run("display_bars.rom");
    run.frames(2);
    struct Sample {
        uint32_t row, x, colour;
    };
    const Sample samples[] = {
        {0, 0, 0xFF729BA6},          {0, 95, 0xFF729BA6},         {1, 40, 0xFF729BA6},
        {279, 5 * 96, 0xFF723B47},   {300, 5 * 96 + 95, 0xFF723B47},
        {559, 7 * 96, 0xFF133B47},   {559, 767, 0xFF133B47},      {120, 7 * 96 + 50, 0xFF133B47},
    };
    const auto pixels = run.bus->mcd212.frame_pixels();
    for (const auto& s : samples) {
        EXPECT_EQ(pixels[s.row * Mcd212::kFrameStride + s.x], s.colour) << "row " << s.row << " x " << s.x;
    }
    // Neighbouring bars differ at their boundary: the bars are 96 pixels wide, not shifted.
    EXPECT_NE(pixels[200 * Mcd212::kFrameStride + 95], pixels[200 * Mcd212::kFrameStride + 96]);
}

// video_irq.s prints one "V" per video interrupt; the channel-1 program raises it once per
// frame whichever field entry (0x400 or 0x404) the frame starts at. The ROM turns the display
// on during the first frame, after that frame's program has run, so counting starts after it.
TEST(SchedulerRoms, OneVideoInterruptPerFrame) {
    ConsoleCapture out;
    RomRun run("video_irq.rom");
    run.frames(1);
    const uint32_t before = run.ram_long(0x1000);
    EXPECT_LE(before, 1u);
    for (uint32_t frames = 1; frames <= 6; ++frames) {
        run.frames(1);
        EXPECT_EQ(run.ram_long(0x1000), before + frames);
    }
    EXPECT_EQ(out.text, std::string(before + 6, 'V'));
}

// ---- cdic_read.s: the CDIC programmed through bus writes, reading a disc the test writes ----
// 300 mode-2 sectors, file 1 channel 0 data unless listed; data bytes (i * 7 + lba).
struct DiscSector {
    uint32_t lba;
    uint8_t file, chan, submode, coding;
};
constexpr DiscSector kDiscSpecial[] = {
    {101, 1, 1, 0x08, 0},  // channel 1: filtered out
    {103, 2, 0, 0x08, 0},  // file 2: filtered out
    {104, 1, 0, 0x64, 0},  // real-time ADPCM, 4-bit mono 37,800 Hz: the audio buffer
    {106, 1, 0, 0x89, 0},  // end of file (and of record): ends the 0x2A read
    {200, 5, 3, 0x08, 0},  // a 0x29 read takes any file and channel
    {201, 5, 4, 0x08, 0},
};

RawSector test_disc_sector(uint32_t lba) {
    uint8_t sub[4] = {1, 0, 0x08, 0};
    for (const auto& d : kDiscSpecial) {
        if (d.lba == lba) {
            sub[0] = d.file;
            sub[1] = d.chan;
            sub[2] = d.submode;
            sub[3] = d.coding;
        }
    }
    RawSector s{};
    for (int i = 1; i <= 10; ++i) s[i] = 0xFF;
    const auto t = bcd_time_of_lba(lba);
    s[12] = t[0];
    s[13] = t[1];
    s[14] = t[2];
    s[15] = 2;
    for (int i = 0; i < 4; ++i) s[16 + i] = s[20 + i] = sub[i];
    for (size_t i = 24; i < s.size(); ++i) s[i] = static_cast<uint8_t>(i * 7 + lba);
    return s;
}

// The line cdic_read.s prints for a sector that reached the data ('D') or audio ('A') buffer.
std::string cdic_line(uint32_t lba, char buffer) {
    const RawSector s = test_disc_sector(lba);
    uint32_t sum = 0;
    for (size_t i = 20; i < s.size(); ++i) sum += s[i];
    char text[32];
    std::snprintf(text, sizeof text, "%02X%02X%02X02 %c %04X\n", s[12], s[13], s[14], buffer, sum & 0xFFFF);
    return text;
}

TEST(SchedulerRoms, CdicReadsFilteredSectorsAtTheDiscRate) {
    // Named per process: other test runs may share the temporary folder.
    const auto image = std::filesystem::path(testing::TempDir()) /
                       ("cdic_read_disc_" + std::to_string(::getpid()) + ".bin");
    {
        std::ofstream out(image, std::ios::binary);
        for (uint32_t lba = 0; lba < 300; ++lba) {
            const RawSector s = test_disc_sector(lba);
            out.write(reinterpret_cast<const char*>(s.data()), static_cast<std::streamsize>(s.size()));
        }
    }
    ConsoleCapture out;
    RomRun run("cdic_read.rom");
    ASSERT_TRUE(run.bus->insert_disc(image).has_value());
    // One sector per 206,700 cycles, the first 36,700 after the command; PAL frames are
    // 309,816 cycles. Read A's sectors end periods 0, 2, 4, 5 and 6 (at 36,700 .. 1,276,900),
    // B's comes 36,700 later, C's two at 1,350,300 and 1,557,000; then the cancel, and DMA.
    const std::string expected[] = {
        cdic_line(100, 'D'), cdic_line(102, 'D'), cdic_line(104, 'A'), cdic_line(105, 'D'),
        cdic_line(106, 'D'), cdic_line(10, 'D'),  cdic_line(200, 'D'), cdic_line(201, 'D'),
    };
    const size_t lines_after_frame[] = {1, 2, 3, 4, 7, 8, 8, 8, 8, 8};
    for (size_t frame = 0; frame < std::size(lines_after_frame); ++frame) {
        run.frames(1);
        size_t sectors = 0;  // lines "TTTTTTMM K SSSS"
        for (size_t at = 0; (at = out.text.find('\n', at)) != std::string::npos; ++at)
            sectors += at >= 15 && out.text[at - 5] == ' ' && out.text[at - 7] == ' ';
        EXPECT_EQ(sectors, lines_after_frame[frame])
            << "after frame " << frame + 1 << ":\n"
            << out.text;
    }
    std::string all;
    for (const auto& line : expected) all += line;
    // Channel 0 copied the last sector (LBA 201) to 0x8000.
    const std::string sum201 = cdic_line(201, 'D').substr(11);
    EXPECT_EQ(out.text, all + "DMA " + sum201 + "END\n");
    const RawSector last = test_disc_sector(201);
    for (size_t i = 20; i < last.size(); i += 97)
        EXPECT_EQ(run.bus->read_byte(static_cast<uint32_t>(0x8000 + i - 20)), last[i]) << "byte " << i;
    EXPECT_EQ(run.bus->read_byte(0x8000 + 2'331), last[2'351]);
    EXPECT_EQ(run.bus->read_byte(0x8000 + 2'332), 0u) << "DMA ran past its count";
    EXPECT_FALSE(run.bus->cdic.irq_pending);
    EXPECT_EQ(run.bus->cdic.active_command, 0u) << "the cancelled read goes on";
    std::filesystem::remove(image);
}


}  // namespace
}  // namespace vestrel
