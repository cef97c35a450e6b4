// The emulated frame: 312 (PAL) or 262 (NTSC) display lines, each stepping the machine, the
// CPU in slices of at most 32 cycles and the per-line devices in a fixed order. Plain functions
// of the Cpu and the Bus with no window, clock or audio device, so the program, the headless
// runner and the tests all run the same code.
#pragma once

#include <cstdint>

#include "m68k/cpu.hpp"
#include "machine/bus.hpp"
#include "machine/video_mode.hpp"

namespace vestrel {

inline constexpr uint32_t kPalLines = 312;
inline constexpr uint32_t kNtscLines = 262;
inline constexpr int32_t kSliceCycles = 32;
inline constexpr int32_t kMaxCarry = 100;

struct FrameShape {
    uint32_t lines;
    uint32_t line_cycles;  // L
};

constexpr FrameShape frame_shape(VideoMode mode) {
    return mode == VideoMode::Ntsc ? FrameShape{kNtscLines, kNtscLineCycles}
                                   : FrameShape{kPalLines, kPalLineCycles};
}

// The CPU's reset as the SCC68070, then the vector load through the bus: A7, ISP and MSP from
// the long at 0 and the PC from the long at 4, each long as two word reads.
void reset_cpu_from_vectors(m68k::Cpu& cpu, Bus& bus);

// The interrupt level the machine's sources request (0 when none): the video latch, the
// timers, the CDIC or the cartridge (4) and the slave (2).
uint32_t pending_irq_level(const Bus& bus);

// What one CPU slice did.
struct SliceResult {
    uint32_t consumed = 0;  // cycles charged, wait states and exceptions included
    bool stopped = false;   // the CPU stopped: the rest of the line went to the timers
    uint64_t steps = 0;     // instructions executed
};

// One slice of at most 32 cycles when `done` cycles of the line of `line_cycles` have run.
SliceResult run_cpu_slice(m68k::Cpu& cpu, Bus& bus, int32_t done, uint32_t line_cycles);

// One scan line. `carry` is the overrun of the previous line of the frame on entry and this
// line's overrun (0-100) on return.
void run_line(m68k::Cpu& cpu, Bus& bus, uint64_t line, uint32_t line_cycles, int32_t& carry,
              uint64_t& instructions_executed);

// One emulated frame in the MCD212's video standard; adds the executed instructions.
void run_emulated_frame(m68k::Cpu& cpu, Bus& bus, uint64_t& instructions_executed);

// What a host frame needs besides the emulated lines: the window, the commands, the input and
// the pacing. The program implements it over its window; the headless runner over nothing.
class FrameHost {
public:
    virtual ~FrameHost() = default;
    // Window gone, Escape, or the commands asked to leave: false ends the loop.
    virtual bool begin_frame() = 0;
    // Before the emulated lines (auto-boot).
    virtual void before_lines() {}
    // After them: the rendered-frame detector, the input, the picture, the pacing and the
    // statistics. False ends the loop.
    virtual bool end_frame() = 0;
};

// One pass of the frame loop; false when the loop should end.
bool run_frame(m68k::Cpu& cpu, Bus& bus, uint64_t& instructions_executed, FrameHost& host);

}  // namespace vestrel
