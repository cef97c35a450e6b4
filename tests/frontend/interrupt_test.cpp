// Interrupts that the software clears before the CPU takes them: the level the CPU sees must
// follow every clear at once, or the acknowledge finds no source and answers the autovector.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "frontend/scheduler.hpp"
#include "machine/scc68070.hpp"
#include "../support/console_capture.hpp"
#include "../support/rom_run.hpp"

namespace vestrel {
namespace {

std::string repeat(std::string_view unit, uint64_t n) {
    std::string s;
    for (uint64_t i = 0; i < n; ++i) s += unit;
    return s;
}

// ---------------------------------------------------------------- one access, one boundary

constexpr uint32_t kProgram = 0x1000;
constexpr uint32_t kStackTop = 0x8000;
constexpr uint32_t kMarkers = 0x3000;  // vector v enters kMarkers + 2v, a branch to itself
constexpr uint16_t kBraSelf = 0x60FE;
constexpr uint16_t kMoveToSr = 0x46FC;

// A machine whose every vector lands on its own marker, so the PC tells which one was taken.
struct Rig {
    std::unique_ptr<Bus> bus = std::make_unique<Bus>();
    m68k::Cpu cpu;

    Rig() {
        poke_long(0, kStackTop);
        poke_long(4, kProgram);
        for (uint32_t v = 2; v < 256; ++v) {
            poke_long(4 * v, kMarkers + 2 * v);
            poke(kMarkers + 2 * v, {kBraSelf});
        }
        reset_cpu_from_vectors(cpu, *bus);  // supervisor, mask 7
    }
    void poke(uint32_t address, const std::vector<uint16_t>& words) {
        for (uint16_t w : words) {
            bus->mcd212.bank0[address] = static_cast<uint8_t>(w >> 8);
            bus->mcd212.bank0[address + 1] = static_cast<uint8_t>(w);
            address += 2;
        }
    }
    void poke_long(uint32_t address, uint32_t value) {
        poke(address, {static_cast<uint16_t>(value >> 16), static_cast<uint16_t>(value)});
    }
    // The vector whose marker the CPU sits on, or -1.
    int vector_taken() const {
        if (cpu.pc < kMarkers || cpu.pc >= kMarkers + 512) return -1;
        return static_cast<int>((cpu.pc - kMarkers) / 2);
    }
};

// The level's source as set up before the line, the access that clears or lowers it, and the
// mask the program then drops to.
struct ClearCase {
    const char* name;
    std::function<void(Bus&)> raise;
    std::vector<uint16_t> access;
    uint16_t sr_after;
    int vector_if_kept;          // what the CPU takes when the access is left out
    int vector_if_cleared = -1;  // and after the access (-1: none, the program loops)
};

// move.b #value,(address).l; move.w #value,(address).l; tst.b/tst.w (address).l
std::vector<uint16_t> move_b(uint8_t value, uint32_t address) {
    return {0x13FC, value, static_cast<uint16_t>(address >> 16), static_cast<uint16_t>(address)};
}
std::vector<uint16_t> move_w(uint16_t value, uint32_t address) {
    return {0x33FC, value, static_cast<uint16_t>(address >> 16), static_cast<uint16_t>(address)};
}
std::vector<uint16_t> tst_b(uint32_t address) {
    return {0x4A39, static_cast<uint16_t>(address >> 16), static_cast<uint16_t>(address)};
}
std::vector<uint16_t> tst_w(uint32_t address) {
    return {0x4A79, static_cast<uint16_t>(address >> 16), static_cast<uint16_t>(address)};
}

constexpr uint32_t kTsr = 0x80002020;
constexpr uint32_t kPicr1 = 0x80002045;
constexpr uint32_t kLir = 0x80001001;
constexpr uint32_t kAbuf = 0x303FF4;
constexpr uint32_t kXbuf = 0x303FF6;
constexpr uint32_t kSlaveStatus = 0x310006;
constexpr uint32_t kFmvIntMask = 0xE04060;
constexpr uint32_t kFmvIntStatus = 0xE04062;

void timer_at(Bus& bus, uint8_t level) {
    bus.scc.picr1 = level;
    bus.scc.tsr = 0x80;
    bus.scc.timer_pending = true;
}
void cdic_request(Bus& bus) {
    bus.cdic.interrupt_vector = 80;
    bus.cdic.xbuf = 0x8000;
    bus.cdic.irq_pending = true;
}
void cartridge_request(Bus& bus) {
    const std::vector<uint8_t> rom(16, 0);
    bus.dvc.load_rom_image(rom);
    auto set = [&](uint32_t offset, uint16_t v) {
        bus.dvc.fmv_regs[offset] = static_cast<uint8_t>(v >> 8);
        bus.dvc.fmv_regs[offset + 1] = static_cast<uint8_t>(v);
    };
    set(0x60, 0x0001);  // mask
    set(0x62, 0x0001);  // status
    set(0xDC, 80 << 3);  // vector 80
}

const std::vector<ClearCase>& clear_cases() {
    static const std::vector<ClearCase> cases = {
        {"TsrWrite", [](Bus& b) { timer_at(b, 3); }, move_b(0x80, kTsr), 0x2000, 59},
        {"Picr1LevelZero", [](Bus& b) { timer_at(b, 3); }, move_b(0x00, kPicr1), 0x2000, 59},
        {"Picr1Bit3", [](Bus& b) { timer_at(b, 3); }, move_b(0x0B, kPicr1), 0x2000, 59},
        // Level 5 moved to 2, under a mask of 2.
        {"Picr1Lowered", [](Bus& b) { timer_at(b, 5); }, move_b(0x02, kPicr1), 0x2200, 61},
        // Level 3 moved to 6: nothing requests 3 any more, and 6 waits for the slice's end.
        {"Picr1Raised", [](Bus& b) { timer_at(b, 3); }, move_b(0x06, kPicr1), 0x2000, 59},
        {"Tsr0x80AsWord", [](Bus& b) { timer_at(b, 3); }, move_w(0x8000, kTsr), 0x2000, 59},
        {"LirClear", [](Bus& b) { b.scc.lir = 0x80; }, move_b(0x80, kLir), 0x2000, 61},
        // Latch kept, its level moved from 5 to 2, under a mask of 2.
        {"LirLowered", [](Bus& b) { b.scc.lir = 0xD0; }, move_b(0x20, kLir), 0x2200, 61},
        {"LirRaised", [](Bus& b) { b.scc.lir = 0xA0; }, move_b(0x60, kLir), 0x2000, 58},
        {"XbufRead", [](Bus& b) { cdic_request(b); }, tst_w(kXbuf), 0x2000, 80},
        {"XbufByteRead", [](Bus& b) { cdic_request(b); }, tst_b(kXbuf), 0x2000, 80},
        {"AbufRead",
         [](Bus& b) {
             cdic_request(b);
             b.cdic.xbuf = 0;
             b.cdic.abuf = 0x8000;
         },
         tst_w(kAbuf), 0x2000, 80},
        {"XbufWrite", [](Bus& b) { cdic_request(b); }, move_w(0x0000, kXbuf), 0x2000, 80},
        {"XbufByteWrite", [](Bus& b) { cdic_request(b); }, move_b(0x00, kXbuf + 1), 0x2000, 80},
        {"SlaveAnswerRead",
         [](Bus& b) {
             for (uint8_t byte : {0xB1, 0x00, 0x00, 0x00}) b.write_byte(kSlaveStatus, byte);
         },
         tst_b(kSlaveStatus), 0x2000, 26},
        {"CartridgeStatusRead", [](Bus& b) { cartridge_request(b); }, tst_b(kFmvIntStatus + 1), 0x2000, 80},
        {"CartridgeStatusWordRead", [](Bus& b) { cartridge_request(b); }, tst_w(kFmvIntStatus), 0x2000, 80},
        {"CartridgeStatusWrite", [](Bus& b) { cartridge_request(b); }, move_w(0, kFmvIntStatus), 0x2000, 80},
        {"CartridgeMaskWrite", [](Bus& b) { cartridge_request(b); }, move_b(0, kFmvIntMask + 1), 0x2000, 80},
        // The CDIC's request goes, the timer's level 3 stays: the CPU takes the timer.
        {"CdicGoneTimerStays",
         [](Bus& b) {
             cdic_request(b);
             timer_at(b, 3);
         },
         tst_w(kXbuf), 0x2000, 80, 59},
    };
    return cases;
}

// Runs the case's program (the access when `with_access`, then the mask drop and a loop) with
// the level sampled once before it, as at a line's start. Two slices, in case the mask drop
// falls in the second; with no sampling between them only the access itself can bring the
// level down.
Rig run_case(const ClearCase& c, bool with_access) {
    Rig rig;
    c.raise(*rig.bus);
    std::vector<uint16_t> program = with_access ? c.access : std::vector<uint16_t>{};
    program.push_back(kMoveToSr);
    program.push_back(c.sr_after);
    program.push_back(kBraSelf);
    rig.poke(kProgram, program);
    rig.cpu.pending_level = pending_irq_level(*rig.bus);
    EXPECT_NE(rig.cpu.pending_level, 0u) << c.name;
    run_cpu_slice(rig.cpu, *rig.bus, 0, kPalLineCycles);
    run_cpu_slice(rig.cpu, *rig.bus, 40, kPalLineCycles);
    return rig;
}

TEST(InterruptClears, AClearedSourceIsNotTakenAfterTheMaskDrops) {
    for (const ClearCase& c : clear_cases()) {
        SCOPED_TRACE(c.name);
        const Rig kept = run_case(c, false);
        EXPECT_EQ(kept.vector_taken(), c.vector_if_kept) << "the source does not request its level";

        const Rig cleared = run_case(c, true);
        EXPECT_EQ(cleared.vector_taken(), c.vector_if_cleared);
        if (c.vector_if_cleared < 0) {
            const uint32_t loop = kProgram + 2 * static_cast<uint32_t>(c.access.size()) + 4;
            EXPECT_EQ(cleared.cpu.pc, loop);
            EXPECT_EQ(cleared.cpu.addr_regs[7], kStackTop);
        }
    }
}

// A source that rises during a slice is still seen only at the slice's end: the clears lower
// the level, they do not sample new requests early.
TEST(InterruptClears, ARequestRaisedMidSliceWaitsForTheSliceEnd) {
    Rig rig;
    // Mask 0 from the start; the program raises the CDIC's request through XBUF bit 15.
    rig.cpu.set_sr(0x2000);
    rig.bus->cdic.interrupt_vector = 80;
    std::vector<uint16_t> program = move_w(0x8000, kXbuf);
    program.push_back(kBraSelf);
    rig.poke(kProgram, program);
    rig.cpu.pending_level = pending_irq_level(*rig.bus);
    run_cpu_slice(rig.cpu, *rig.bus, 0, kPalLineCycles);
    EXPECT_EQ(rig.vector_taken(), -1);
    EXPECT_EQ(rig.cpu.pending_level, 0u);
    EXPECT_EQ(pending_irq_level(*rig.bus), 4u);
    // Outside a slice the bus leaves the CPU alone.
    EXPECT_EQ(rig.bus->cpu_irq_level, nullptr);
}

// ---------------------------------------------------------------- whole ROMs


TEST(InterruptRoms, TimerHandlerRunsOncePerPeriod) {
    struct Standard {
        VideoMode mode;
        uint64_t lines;
        uint64_t line_cycles;
    };
    // 96 CPU cycles a tick, a reload every 1000 ticks: 161 marks in 50 PAL frames
    // (15,490,800 cycles), 134 in 50 NTSC frames (12,903,500).
    for (const Standard s : {Standard{VideoMode::Pal, 312, 993}, Standard{VideoMode::Ntsc, 262, 985}}) {
        SCOPED_TRACE(s.mode == VideoMode::Pal ? "PAL" : "NTSC");
        ConsoleCapture out;
        RomRun run("irq_timer_once.rom", s.mode);
        run.frames(50);
        const uint64_t periods = 50 * s.lines * s.line_cycles / 96 / 1000;
        EXPECT_EQ(periods, s.mode == VideoMode::Pal ? 161u : 134u);
        EXPECT_EQ(out.text, repeat("t", periods));
        EXPECT_TRUE(run.in_program()) << std::hex << run.cpu.pc;
        EXPECT_GT(run.cpu.data_regs[7], 100'000u);  // the main loop kept running
    }
}

// The CDIC's and the slave's requests: one mark per request taken, none for a request the
// program read away with the mask up. Each round prints `taken` then "p".
TEST(InterruptRoms, DeviceHandlersRunOncePerRequest) {
    struct Case {
        const char* rom;
        const char* taken;
    };
    for (const Case c : {Case{"irq_cdic_once.rom", "c"}, Case{"irq_slave_once.rom", "s"}}) {
        SCOPED_TRACE(c.rom);
        ConsoleCapture out;
        RomRun run(c.rom);
        run.frames(20);
        const uint32_t rounds = run.ram_long(0x1004);
        const uint32_t handled = run.ram_long(0x1000);
        EXPECT_GT(rounds, 1000u);
        const std::string unit = std::string(c.taken) + "p";
        ASSERT_TRUE(handled == rounds || handled == rounds + 1) << handled << " " << rounds;
        EXPECT_EQ(out.text, repeat(unit, rounds) + (handled > rounds ? c.taken : ""));
        EXPECT_TRUE(run.in_program()) << std::hex << run.cpu.pc;
    }
}

// Level 7 is taken when the request rises to it, not again while it stays (MC68000 UM 6.3.2;
// the SCC68070 core behaves the same). Timer 0 at level 7 reloads every 1000 ticks of 96
// cycles: 161 reloads in 50 PAL frames (15,490,800 cycles), as for irq_timer_once.rom. Its
// handler clears TSR only after more than ten ticks, while the timer asks again at each tick:
// still one "<>" and one entry per reload, and the main loop keeps running on an intact stack.
TEST(InterruptRoms, LevelSevenTimerOncePerReload) {
    ConsoleCapture out;
    RomRun run("irq7_timer.rom");
    run.frames(50);
    EXPECT_EQ(run.ram_long(0x1000), 161u) << "handler entries";
    EXPECT_EQ(out.text, repeat("<>", 161));
    EXPECT_EQ(run.ram_long(0x1004), 0u) << "interrupts on a wrong vector";
    EXPECT_TRUE(run.in_program()) << std::hex << run.cpu.pc;
    EXPECT_GT(run.cpu.data_regs[7], 100'000u);
    EXPECT_EQ(run.cpu.addr_regs[7], 0x10000u) << "back in the main loop, nothing left on the stack";
}

// The video latch at level 7 (LIR bits 4-6): one field interrupt per frame, each one a new rise
// of the level, so each is taken once even though the handler keeps the mask at 7 for a while.
// The display is turned on during the first frame, so counting starts after it.
TEST(InterruptRoms, LevelSevenVideoLatchOncePerFrame) {
    ConsoleCapture out;
    RomRun run("irq7_video.rom");
    run.frames(1);
    const uint32_t before = run.ram_long(0x1000);
    EXPECT_LE(before, 1u);
    for (uint32_t frames = 1; frames <= 10; ++frames) {
        run.frames(1);
        EXPECT_EQ(run.ram_long(0x1000), before + frames);
    }
    EXPECT_EQ(out.text, std::string(before + 10, 'V'));
    EXPECT_EQ(run.ram_long(0x1004), 0u) << "interrupts on a wrong vector";
    EXPECT_EQ(run.cpu.addr_regs[7], 0x10000u) << "waiting in STOP, nothing left on the stack";
}

}  // namespace
}  // namespace vestrel
