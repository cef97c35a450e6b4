#include "machine/scc68070.hpp"

#include <gtest/gtest.h>

#include <string>

#include "../support/console_capture.hpp"

namespace vestrel {
namespace {

TEST(SccTimers, PrescalerTurns96CyclesIntoOneTick) {
    struct Case {
        uint32_t cycles;
        uint16_t t0_after;
        uint32_t prescaler_after;
    };
    for (const Case c : {Case{95, 0, 95}, Case{96, 1, 0}, Case{191, 1, 95}, Case{96 * 300 + 5, 300, 5}}) {
        SccPeripherals scc;
        scc.tick_timers(c.cycles);
        EXPECT_EQ(scc.t0, c.t0_after) << c.cycles;
        EXPECT_EQ(scc.timer_prescaler, c.prescaler_after) << c.cycles;
    }
    // The remainder carries into the next call.
    SccPeripherals scc;
    scc.tick_timers(50);
    scc.tick_timers(50);
    EXPECT_EQ(scc.t0, 1);
    EXPECT_EQ(scc.timer_prescaler, 4u);
}

TEST(SccTimers, SlicesOfAnyLengthAddUpToOneLongTick) {
    // The scheduler ticks once per CPU slice; short slices only feed the prescaler, and the
    // split must never lose, add or delay a cycle, whatever the lengths.
    for (const uint32_t slice : {1u, 7u, 32u, 95u, 96u, 97u, 133u}) {
        SccPeripherals scc;
        uint32_t total = 0;
        for (uint32_t n = 0; n < 500; ++n) {
            const uint32_t cycles = slice + n % 3;  // uneven lengths around the chosen one
            scc.tick_timers(cycles);
            total += cycles;
            ASSERT_EQ(scc.t0, total / SccPeripherals::kCyclesPerTick) << slice << " after " << total;
            ASSERT_EQ(scc.timer_prescaler, total % SccPeripherals::kCyclesPerTick) << slice;
        }
    }
}

TEST(SccTimers, ReloadsAndMatches) {
    SccPeripherals scc;
    scc.rr = 0xFFF0;
    scc.t0 = 0xFFFF;
    scc.tick_timers(96);
    EXPECT_EQ(scc.t0, 0xFFF0);
    EXPECT_EQ(scc.tsr, SccPeripherals::kTsrT0Reload);

    // T1 in match mode compares with T0 after T0's own step.
    SccPeripherals m;
    m.tcr = 0x10;
    m.t1 = 5;
    m.t0 = 4;
    m.tick_timers(96);
    EXPECT_EQ(m.tsr, SccPeripherals::kTsrT1Match);
    EXPECT_EQ(m.t1, 5);

    // Counting modes of T1 and T2 reload from RR and flag it; idle modes leave them alone.
    SccPeripherals c;
    c.tcr = 0x33;
    c.rr = 7;
    c.t1 = 0xFFFF;
    c.t2 = 0xFFFF;
    c.tick_timers(96);
    EXPECT_EQ(c.t1, 7);
    EXPECT_EQ(c.t2, 7);
    EXPECT_EQ(c.tsr, SccPeripherals::kTsrT1Reload | SccPeripherals::kTsrT2Reload);
    c.tick_timers(96);
    EXPECT_EQ(c.t1, 8);
    EXPECT_EQ(c.t2, 8);

    SccPeripherals t2m;
    t2m.tcr = 0x21;  // T1 idle, T2 match
    t2m.t1 = 9;
    t2m.t2 = 1;
    t2m.tick_timers(96);
    EXPECT_EQ(t2m.tsr, SccPeripherals::kTsrT2Match);
    EXPECT_EQ(t2m.t1, 9);
}

TEST(SccTimers, PendingFlagFollowsPicr1AndTsr) {
    SccPeripherals scc;
    scc.picr1 = 0x03;
    scc.tsr = 0x80;
    EXPECT_FALSE(scc.timer_pending);
    scc.tick_timers(96);
    EXPECT_TRUE(scc.timer_pending);
    EXPECT_EQ(scc.acknowledge_on_chip(3), OnChipAck::Timer);
    EXPECT_FALSE(scc.timer_pending);

    scc.tick_timers(96);
    ASSERT_TRUE(scc.timer_pending);
    scc.write_register(SccPeripherals::kTsr, 0x80);
    EXPECT_EQ(scc.tsr, 0);
    EXPECT_FALSE(scc.timer_pending);

    // Level 0 collects flags in TSR without raising anything.
    SccPeripherals quiet;
    quiet.t0 = 0xFFFF;
    quiet.tick_timers(96);
    EXPECT_EQ(quiet.tsr, 0x80);
    EXPECT_FALSE(quiet.timer_pending);

    // TSR bit 0 alone (a value below 2) never raises the flag.
    SccPeripherals low;
    low.picr1 = 1;
    low.tsr = 1;
    low.tick_timers(96);
    EXPECT_FALSE(low.timer_pending);
}

TEST(SccRegisters, Picr1WriteClearsPendingOnlyAsStated) {
    struct Case {
        uint8_t value;
        uint8_t tsr;
        bool pending_after;
        uint8_t picr1_after;
    };
    for (const Case c : {Case{0x05, 0x80, true, 0x05}, Case{0x0D, 0x80, false, 0x05},
                         Case{0x00, 0x80, false, 0x00}, Case{0x05, 0x01, false, 0x05},
                         Case{0xFF, 0x80, false, 0x77}}) {
        SccPeripherals scc;
        scc.tsr = c.tsr;
        scc.timer_pending = true;
        scc.write_register(SccPeripherals::kPicr1, c.value);
        EXPECT_EQ(scc.timer_pending, c.pending_after) << int(c.value);
        EXPECT_EQ(scc.read_register(SccPeripherals::kPicr1), c.picr1_after) << int(c.value);
    }
    SccPeripherals scc;
    scc.write_register(SccPeripherals::kPicr2, 0xFF);
    EXPECT_EQ(scc.read_register(SccPeripherals::kPicr2), 0x77);
}

TEST(SccRegisters, LirBits7And3AreWriteOneToClear) {
    struct Case {
        uint8_t before;
        uint8_t value;
        uint8_t after;
    };
    for (const Case c : {Case{0x80, 0x80, 0x00}, Case{0x80, 0x50, 0xD0}, Case{0x00, 0xFF, 0x77},
                         Case{0x80, 0x00, 0x80}, Case{0xF7, 0x07, 0x87}}) {
        SccPeripherals scc;
        scc.lir = c.before;
        scc.write_register(SccPeripherals::kLir, c.value);
        EXPECT_EQ(scc.read_register(SccPeripherals::kLir), c.after)
            << int(c.before) << " <- " << int(c.value);
    }
}

TEST(SccRegisters, ByteMapReadsAndWrites) {
    SccPeripherals scc;
    for (uint16_t r = 0x2022; r <= 0x2029; ++r) scc.write_register(r, static_cast<uint8_t>(r));
    EXPECT_EQ(scc.rr, 0x2223);
    EXPECT_EQ(scc.t0, 0x2425);
    EXPECT_EQ(scc.t1, 0x2627);
    EXPECT_EQ(scc.t2, 0x2829);
    for (uint16_t r = 0x2022; r <= 0x2029; ++r) EXPECT_EQ(scc.read_register(r), r & 0xFF);
    scc.write_register(SccPeripherals::kTcr, 0x31);
    EXPECT_EQ(scc.read_register(SccPeripherals::kTcr), 0x31);
    EXPECT_EQ(scc.read_register(SccPeripherals::kUartStatusA), 0x04);
    EXPECT_EQ(scc.read_register(SccPeripherals::kUartStatusB), 0x04);
    EXPECT_EQ(scc.read_register(SccPeripherals::kUartTransmitA), 0x00);
    EXPECT_EQ(scc.read_register(0x3000), 0x00);
    scc.write_register(0x3000, 0xFF);  // ignored
    scc.tsr = 0xDA;
    scc.write_register(SccPeripherals::kTsr, 0x50);
    EXPECT_EQ(scc.read_register(SccPeripherals::kTsr), 0x8A);
}

TEST(SccAcknowledge, OrderAndLevels) {
    SccPeripherals scc;
    scc.lir = 0x80;  // level 0 in bits 4-6 means level 5
    EXPECT_EQ(scc.video_level(), 5);
    EXPECT_EQ(scc.acknowledge_on_chip(4), OnChipAck::None);
    EXPECT_EQ(scc.acknowledge_on_chip(5), OnChipAck::Video);
    EXPECT_EQ(scc.lir, 0);

    // Video answers before a timer at the same level.
    scc.lir = 0x80 | 0x30;
    scc.picr1 = 3;
    scc.timer_pending = true;
    EXPECT_EQ(scc.acknowledge_on_chip(3), OnChipAck::Video);
    EXPECT_TRUE(scc.timer_pending);
    EXPECT_EQ(scc.acknowledge_on_chip(3), OnChipAck::Timer);
    EXPECT_EQ(scc.acknowledge_on_chip(3), OnChipAck::None);

    // The UART answers at its PICR2 level while its flag is up.
    scc.picr2 = 6;
    scc.uart_pending = true;
    EXPECT_EQ(scc.acknowledge_on_chip(6), OnChipAck::Uart);
    EXPECT_FALSE(scc.uart_pending);
}

TEST(SccUart, BytesReachTheConsole) {
    ConsoleCapture out;
    SccPeripherals scc;
    for (uint8_t b : {0x4F, 0x4B, 0x0A, 0x1B, 0x7F, 0x80, 0xFF, 0x09, 0x0D, 0x20, 0x7E})
        scc.write_register(SccPeripherals::kUartTransmitB, b);
    scc.write_register(SccPeripherals::kUartTransmitA, 'x');
    EXPECT_EQ(out.text, "OK\n[1B][7F][80][FF]\t\r ~x");
}

TEST(SccUart, PendingFlagFromControlAndTransmit) {
    ConsoleCapture out;
    struct Case {
        uint8_t control;
        bool before;
        bool after_control;
    };
    for (const Case c : {Case{0x04, false, true}, Case{0x08, true, false}, Case{0x0C, true, false},
                         Case{0x00, true, true}, Case{0x00, false, false}}) {
        SccPeripherals scc;
        scc.uart_pending = c.before;
        scc.write_register(SccPeripherals::kUartControl, c.control);
        EXPECT_EQ(scc.uart_pending, c.after_control) << int(c.control);
        EXPECT_EQ(scc.read_register(SccPeripherals::kUartControl), c.control);
        scc.uart_pending = false;
        scc.write_register(SccPeripherals::kUartTransmitB, 'a');
        // A transmit raises the flag only in mode 1.
        EXPECT_EQ(scc.uart_pending, (c.control & 0x0C) == 0x04) << int(c.control);
    }
}

TEST(SccReset, KeepsOnlyTheWaitStateSwitch) {
    SccPeripherals scc;
    scc.wait_states_on = false;
    scc.lir = 0x80;
    scc.t0 = 5;
    scc.wait_tally = 9;
    scc.timer_prescaler = 40;
    scc.reset();
    EXPECT_FALSE(scc.wait_states_on);
    EXPECT_EQ(scc.lir, 0);
    EXPECT_EQ(scc.t0, 0);
    EXPECT_EQ(scc.wait_tally, 0u);
    EXPECT_EQ(scc.timer_prescaler, 0u);
}

}  // namespace
}  // namespace vestrel
