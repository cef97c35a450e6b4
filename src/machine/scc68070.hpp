// The SCC68070's on-chip peripherals that the CD-i software reaches at 0x80000000: three timers
// counting in steps of 96 CPU cycles, the interrupt priority registers PICR1/PICR2, the video
// interrupt latch LIR and the UART's transmit side. The bus's own bookkeeping (wait-state switch
// and tally, line cycle position, PC copy) lives here too, since the frontend reaches both alike.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vestrel {

// Raw standard output for the UART bytes and the watch lines: not the logger, always on.
// Each call writes and flushes; tests may capture the text instead.
void console_write(std::string_view text);
// Sends console text to `capture` instead of standard output (tests); nullptr restores.
void console_capture(std::string* capture);

// Which on-chip source answered an interrupt acknowledge.
enum class OnChipAck : uint8_t { None, Video, Timer, Uart };

struct SccPeripherals {
    // On-chip register offsets (address AND 0xFFFF).
    static constexpr uint16_t kLir = 0x1001;
    static constexpr uint16_t kUartStatusA = 0x2011;
    static constexpr uint16_t kUartStatusB = 0x2013;
    static constexpr uint16_t kUartControl = 0x2015;
    static constexpr uint16_t kUartTransmitA = 0x2017;
    static constexpr uint16_t kUartTransmitB = 0x2019;
    static constexpr uint16_t kTsr = 0x2020;
    static constexpr uint16_t kTcr = 0x2021;
    static constexpr uint16_t kRrHigh = 0x2022;
    static constexpr uint16_t kT2Low = 0x2029;
    static constexpr uint16_t kPicr1 = 0x2045;
    static constexpr uint16_t kPicr2 = 0x2047;
    static constexpr uint16_t kDmaFirst = 0x4000;
    static constexpr uint16_t kDmaLast = 0x406F;

    static constexpr uint32_t kCyclesPerTick = 96;
    static constexpr uint8_t kOnChipVectorBase = 56;
    static constexpr uint8_t kLirLatch = 0x80;
    static constexpr uint8_t kDefaultVideoLevel = 5;

    // TSR bits.
    static constexpr uint8_t kTsrT0Reload = 0x80;
    static constexpr uint8_t kTsrT1Match = 0x40;
    static constexpr uint8_t kTsrT1Reload = 0x10;
    static constexpr uint8_t kTsrT2Match = 0x08;
    static constexpr uint8_t kTsrT2Reload = 0x02;

    uint32_t timer_prescaler = 0;  // cycles not yet turned into ticks (0-95 between calls)
    uint16_t rr = 0;
    uint16_t t0 = 0;
    uint16_t t1 = 0;
    uint16_t t2 = 0;
    uint8_t tsr = 0;
    uint8_t tcr = 0;
    uint8_t picr1 = 0;
    uint8_t picr2 = 0;
    uint8_t lir = 0;
    bool video_edge = false;  // whether CSR2R bits 1-2 were set at the last look
    bool timer_pending = false;
    bool uart_pending = false;
    uint8_t uart_control = 0;

    // Bus bookkeeping.
    // The tally and the position are kept apart: side by side, the compiler fuses their two
    // adds into one 8-byte vector access, which stalls on the 4-byte stores around it.
    uint32_t wait_tally = 0;       // wait cycles charged since the frontend last took them
    uint32_t pc_copy = 0;          // the CPU's PC at slice start, for trace lines only
    uint32_t line_cycle_pos = 0;   // CPU cycle position within the display line
    bool wait_states_on = true;

    // Byte access to an on-chip register outside the DMA window.
    uint8_t read_register(uint16_t r) const;
    void write_register(uint16_t r, uint8_t value);

    // Advances the timers by `cycles` CPU cycles. Most slices end short of a tick: those only
    // add to the prescaler, without the call.
    void tick_timers(uint32_t cycles) {
        if (uint64_t{timer_prescaler} + cycles < kCyclesPerTick) {
            timer_prescaler += cycles;
            return;
        }
        tick_timers_over(cycles);
    }

    // The on-chip part of the interrupt acknowledge (the video latch, the timers, the UART, in
    // that order): clears the source that answers. The vector is then 56 + level.
    OnChipAck acknowledge_on_chip(uint8_t level);

    // The level the video latch requests: LIR bits 4-6, or 5 when they are 0.
    uint8_t video_level() const {
        const uint8_t level = (lir >> 4) & 7;
        return level != 0 ? level : kDefaultVideoLevel;
    }
    uint8_t timer_level() const { return picr1 & 7; }

    // The machine reset: every field but the wait-state switch back to zero.
    void reset() {
        const bool switch_on = wait_states_on;
        *this = SccPeripherals{};
        wait_states_on = switch_on;
    }

private:
    void tick_timers_over(uint32_t cycles);
    void uart_transmit(uint8_t byte);
};

// The text a UART byte prints as: the character itself for printable ASCII, tab, line feed and
// carriage return, "[XX]" for everything else.
std::string uart_byte_text(uint8_t byte);

}  // namespace vestrel
