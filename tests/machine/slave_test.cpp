#include "machine/slave.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/log.hpp"
#include "../support/log_capture.hpp"

namespace vestrel {
namespace {

constexpr uint32_t kStatusOffset = 6;  // channel 3
constexpr uint32_t kPointerOffset = 0;  // channel 0

std::vector<uint8_t> drain(Slave& slave, uint32_t offset) {
    std::vector<uint8_t> out;
    for (int i = 0; i < 16; ++i) {
        const uint16_t w = slave.slave_read(offset);
        if (w == 0x00FF) break;
        EXPECT_EQ(w >> 8, w & 0xFF) << "a byte is returned in both halves";
        out.push_back(static_cast<uint8_t>(w));
    }
    return out;
}

void write_bytes(Slave& slave, uint32_t offset, const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) slave.slave_write(offset, b);
}

TEST(Slave, StatusChannelCommands) {
    struct Case {
        const char* name;
        bool has_disc;
        DiscStatus state;
        VideoMode mode;
        std::vector<uint16_t> words;  // written to channel 3
        std::vector<uint8_t> response;
        bool irq2;
    };
    const Case cases[] = {
        {"revision", false, DiscStatus::NoDisc, VideoMode::Pal, {0xF0}, {0xF0, 0x32, 0x31}, true},
        {"revision, word high byte", false, DiscStatus::NoDisc, VideoMode::Pal, {0xF000},
         {0xF0, 0x32, 0x31}, true},
        {"pointer type", false, DiscStatus::NoDisc, VideoMode::Pal, {0xF3}, {0xF3, 0x01}, true},
        {"test plug", false, DiscStatus::NoDisc, VideoMode::Pal, {0xF4}, {0xF4, 0x00}, true},
        {"video standard PAL", false, DiscStatus::NoDisc, VideoMode::Pal, {0xF6}, {0xF6, 0x01}, false},
        {"video standard NTSC", false, DiscStatus::NoDisc, VideoMode::Ntsc, {0xF6}, {0xF6, 0x02}, false},
        {"disc status, ready disc", true, DiscStatus::TocReady, VideoMode::Pal,
         {0xB0, 0x00, 0x00, 0x00}, {0xB0, 0x00, 0x44, 0x15}, true},
        {"disc status, no disc", false, DiscStatus::TocReady, VideoMode::Pal,
         {0xB0, 0x11, 0x22, 0x33}, {0xB0, 0x00, 0x00, 0x15}, true},
        {"disc status needs four bytes", true, DiscStatus::TocReady, VideoMode::Pal,
         {0xB0, 0x00, 0x00}, {}, false},
        {"B1", false, DiscStatus::NoDisc, VideoMode::Pal, {0xB1, 1, 2, 3}, {0xB1, 0, 0, 0}, true},
        {"80 swallows its three bytes", false, DiscStatus::NoDisc, VideoMode::Pal,
         {0x80, 0xF0, 0xF0, 0xF0}, {}, false},
        {"81 swallows its three bytes", false, DiscStatus::NoDisc, VideoMode::Pal,
         {0x81, 0xF3, 0xF3, 0xF3}, {}, false},
        {"80 then a new command", false, DiscStatus::NoDisc, VideoMode::Pal,
         {0x80, 0, 0, 0, 0xF3}, {0xF3, 0x01}, true},
        {"developer mode", false, DiscStatus::NoDisc, VideoMode::Pal, {0xF7}, {}, false},
        {"x-bus interrupts", false, DiscStatus::NoDisc, VideoMode::Pal, {0xFA}, {}, false},
        {"unknown byte then revision", false, DiscStatus::NoDisc, VideoMode::Pal, {0x42, 0xF0},
         {0xF0, 0x32, 0x31}, true},
        {"a new answer replaces an unread one", false, DiscStatus::NoDisc, VideoMode::Pal,
         {0xF0, 0xF3}, {0xF3, 0x01}, true},
    };
    for (const auto& c : cases) {
        Slave slave;
        slave.has_disc = c.has_disc;
        slave.disc_state = c.state;
        slave.video_mode = c.mode;
        for (uint16_t w : c.words) slave.slave_write(kStatusOffset, w);
        EXPECT_EQ(slave.irq2, c.irq2) << c.name;
        EXPECT_EQ(drain(slave, kStatusOffset), c.response) << c.name;
        EXPECT_EQ(slave.channels[3].received_count, c.response.empty() && c.words.size() == 3 ? 3u : 0u)
            << c.name << ": only an unfinished command stays collected";
    }
}

TEST(Slave, ReadConsumesOneByteAndClearsIrqOnFirst) {
    Slave slave;
    slave.slave_write(kStatusOffset, 0xF0);
    ASSERT_TRUE(slave.irq2);
    EXPECT_EQ(slave.slave_read(kStatusOffset), 0xF0F0);
    EXPECT_FALSE(slave.irq2);
    slave.irq2 = true;  // raised by someone else: a later byte leaves it alone
    // Byte and word reads of either address consume alike: the bus calls slave_read once each.
    EXPECT_EQ(slave.slave_read(kStatusOffset + 1), 0x3232);
    EXPECT_TRUE(slave.irq2);
    EXPECT_EQ(slave.slave_read(kStatusOffset), 0x3131);
    EXPECT_EQ(slave.slave_read(kStatusOffset), 0x00FF);
    EXPECT_EQ(slave.channels[3].read_index, 0u);
    // Other channels are independent.
    EXPECT_EQ(slave.slave_read(kPointerOffset), 0x00FF);
}

TEST(Slave, ChannelIsTakenFromAddressBits1And2) {
    Slave slave;
    // 0x310006, 0x310007, 0x31000E and 0x317FFE all reach channel 3.
    for (uint32_t offset : {0x6u, 0x7u, 0xEu, 0x7FFEu}) {
        slave.slave_write(offset, 0xF3);
        EXPECT_EQ(drain(slave, 0x6), (std::vector<uint8_t>{0xF3, 0x01})) << offset;
    }
}

TEST(Slave, PointerChannelPositionCommand) {
    struct Case {
        std::vector<uint8_t> bytes;
        bool set;
        uint32_t x, y;
    };
    const Case cases[] = {
        {{0xC5, 0x12, 0x34}, true, 0xB4, 0x85},
        {{0xFF, 0x7F, 0x7F}, true, 0x3FF, 0x3FF},
        {{0xC0, 0x00, 0x00}, true, 0, 0},
        {{0xC5, 0x12}, false, 192, 140},
        {{0xBF, 0x12, 0x34}, false, 192, 140},  // below 0xC0: every byte is dropped
        {{0x10, 0xC5, 0x12, 0x34}, true, 0xB4, 0x85},
    };
    for (const auto& c : cases) {
        Slave slave;
        write_bytes(slave, kPointerOffset, c.bytes);
        EXPECT_EQ(slave.position_set, c.set) << testing::PrintToString(c.bytes);
        EXPECT_EQ(slave.pointer_x, c.x) << testing::PrintToString(c.bytes);
        EXPECT_EQ(slave.pointer_y, c.y) << testing::PrintToString(c.bytes);
        EXPECT_FALSE(slave.irq2);
        EXPECT_EQ(slave.slave_read(kPointerOffset), 0x00FF);
    }
}

TEST(Slave, ChannelsOneAndTwoCollectAndDrop) {
    struct Case {
        uint32_t offset;
        std::vector<uint8_t> bytes;
        uint32_t held;  // command bytes still being collected afterwards
    };
    const Case cases[] = {
        {2, {0x12, 0x34}, 0},                 // channel 1 stores nothing before 0xF0
        {2, {0x12, 0xF0, 0x01}, 2},
        {2, std::vector<uint8_t>(17, 0xF0), 0},
        {2, std::vector<uint8_t>(16, 0xF0), 16},
        {4, {0x82}, 0},
        {4, {0x83}, 0},
        {4, {0x55}, 0},
        {4, {0xC3, 1, 2, 3}, 4},
        {4, {0xC3, 1, 2, 3, 4}, 0},
        {4, {0xF0, 1}, 2},
    };
    for (const auto& c : cases) {
        Slave slave;
        write_bytes(slave, c.offset, c.bytes);
        EXPECT_EQ(slave.channels[c.offset >> 1].received_count, c.held)
            << "offset " << c.offset << " " << testing::PrintToString(c.bytes);
        EXPECT_FALSE(slave.irq2);
    }
    // A complete long command on channel 2 leaves the channel ready for the next one.
    Slave slave;
    write_bytes(slave, 4, std::vector<uint8_t>(17, 0xF0));
    write_bytes(slave, 4, {0xC1});
    EXPECT_EQ(slave.channels[2].expected_length, 5u);
}

TEST(Slave, DiscInsertionResetAndCountdown) {
    Slave slave;
    slave.set_disc_inserted(true);
    EXPECT_TRUE(slave.has_disc);
    EXPECT_EQ(slave.disc_state, DiscStatus::Inserted);
    EXPECT_TRUE(slave.irq2);
    EXPECT_EQ(drain(slave, kStatusOffset), (std::vector<uint8_t>{0xB0, 0x00, 0x41, 0x15}));

    // Nominal line lengths: PAL reaches the ready state on line 4,532, NTSC on 4,569.
    for (auto [line_cycles, lines] : {std::pair{993u, 4532u}, std::pair{985u, 4569u}}) {
        slave.set_disc_inserted(true);
        drain(slave, kStatusOffset);
        slave.irq2 = false;
        uint32_t n = 0;
        while (!slave.tick_disc_ready(line_cycles) && n < 10000) ++n;
        EXPECT_EQ(n + 1, lines) << line_cycles;
        EXPECT_EQ(slave.disc_state, DiscStatus::TocReady);
        EXPECT_TRUE(slave.irq2);
        EXPECT_EQ(drain(slave, kStatusOffset), (std::vector<uint8_t>{0xB0, 0x00, 0x44, 0x15}));
        EXPECT_FALSE(slave.tick_disc_ready(line_cycles)) << "only one ready packet";
        EXPECT_EQ(slave.slave_read(kStatusOffset), 0x00FF);
    }

    // Ejection stops the countdown.
    slave.set_disc_inserted(false);
    EXPECT_EQ(drain(slave, kStatusOffset), (std::vector<uint8_t>{0xB0, 0x00, 0x00, 0x15}));
    for (int i = 0; i < 5000; ++i) EXPECT_FALSE(slave.tick_disc_ready(993));
    EXPECT_EQ(slave.disc_state, DiscStatus::NoDisc);
    EXPECT_EQ(slave.disc_ready_countdown, 0u);
}

TEST(Slave, ResetReportsTheSlotAndKeepsThePointer) {
    for (bool disc : {false, true}) {
        Slave slave;
        slave.video_mode = VideoMode::Ntsc;
        slave.send_pointer_report(300, 200, kPointerButton1);
        slave.position_set = true;
        slave.slave_write(kStatusOffset, 0xB0);  // half a command
        slave.slave_write(4, 0xC1);

        slave.reset(disc);
        EXPECT_TRUE(slave.irq2);
        EXPECT_EQ(slave.slave_read(kPointerOffset), 0x00FF) << "channel 0 emptied";
        EXPECT_EQ(slave.channels[2].received_count, 0u);
        EXPECT_EQ(drain(slave, kStatusOffset),
                  (std::vector<uint8_t>{0xB0, 0x00, static_cast<uint8_t>(disc ? 0x41 : 0x00), 0x15}));
        EXPECT_EQ(slave.pointer_x, 300u);
        EXPECT_EQ(slave.pointer_y, 200u);
        EXPECT_EQ(slave.last_report_x, 300);
        EXPECT_EQ(slave.last_report_y, 200);
        EXPECT_EQ(slave.button_state, kPointerButton1);
        EXPECT_TRUE(slave.position_set);
        EXPECT_EQ(slave.video_mode, VideoMode::Ntsc);
    }
}

TEST(Slave, PointerReportPackets) {
    struct Case {
        int32_t x, y;
        uint8_t buttons;
        std::array<uint8_t, 4> bytes;
        uint32_t px, py;
    };
    const Case cases[] = {
        {0, 0, 0, {0x08, 0x00, 0x00, 0x00}, 0, 0},
        {575, 335, 0, {0x0C, 0x3F, 0x02, 0x4F}, 575, 335},
        {575, 335, kPointerButton1, {0x1C, 0x3F, 0x02, 0x4F}, 575, 335},
        {384, 280, 0, {0x0B, 0x00, 0x02, 0x18}, 384, 280},
        {767, 559, kPointerButton1 | kPointerButton2, {0x3D, 0x7F, 0x04, 0x2F}, 767, 559},
        {100, 50, kPointerButton2, {0x28, 0x64, 0x00, 0x32}, 100, 50},
        {-5, 9999, 0, {0x08, 0x00, 0x04, 0x2F}, 0, 559},  // limited to the screen
    };
    for (const auto& c : cases) {
        Slave slave;
        slave.send_pointer_report(c.x, c.y, c.buttons);
        EXPECT_TRUE(slave.irq2);
        EXPECT_EQ(slave.pointer_x, c.px);
        EXPECT_EQ(slave.pointer_y, c.py);
        EXPECT_EQ(slave.last_report_x, c.x);
        EXPECT_EQ(slave.last_report_y, c.y);
        EXPECT_EQ(slave.button_state, c.buttons);
        EXPECT_EQ(drain(slave, kPointerOffset), std::vector<uint8_t>(c.bytes.begin(), c.bytes.end()))
            << c.x << "," << c.y;
    }
}

TEST(Slave, RandomTrafficKeepsTheChannelsInBounds) {
    Slave slave;
    slave.set_disc_inserted(true);
    uint32_t seed = 12345;
    const auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    for (int i = 0; i < 200000; ++i) {
        const uint32_t offset = next() & 0x7FFF;
        switch (next() % 4) {
        case 0: slave.slave_write(offset, static_cast<uint16_t>(next())); break;
        case 1: slave.slave_write(offset, static_cast<uint8_t>(0xB0 + (next() & 0x4F))); break;
        case 2: slave.slave_read(offset); break;
        default: slave.tick_disc_ready(next() & 0xFFFFF); break;
        }
        for (const SlaveChannel& ch : slave.channels) {
            ASSERT_LE(ch.response_length + ch.read_index, SlaveChannel::kResponseSize);
            ASSERT_LE(ch.received_count, SlaveChannel::kCommandSize);
        }
        ASSERT_LE(slave.pointer_x, 1023u);
        ASSERT_LE(slave.pointer_y, 1023u);
    }
}

TEST(Slave, LogLines) {
    LogCapture log;
    Slave slave;
    slave.slave_write(0x6, 0x00F0);
    slave.slave_write(0x1F, 0x0012);
    slave.video_mode = VideoMode::Ntsc;
    slave.slave_write(0x6, 0xF6);
    slave.set_disc_inserted(true);
    write_bytes(slave, 0x6, {0xB0, 0, 0, 0});
    EXPECT_TRUE(log.has_line_ending("SLAVE WRITE ch3 (offset 0x6) = 0xF0 (raw 0x00F0)"));
    EXPECT_TRUE(log.has_line_ending("SLAVE WRITE ch3 (offset 0x1F) = 0x12 (raw 0x0012)"));
    EXPECT_TRUE(log.has_line_ending("INFO  vestrel::slave] Slave CMD 0xF0: Request Slave Revision"));
    EXPECT_TRUE(log.has_line_ending("TRACE vestrel::slave] Slave CMD 0xF6: Request NTSC/PAL Status -> 0x02 (Ntsc)"));
    EXPECT_TRUE(log.has_line_ending("Slave: set_disc_inserted(true) -> state 0x41, pushing to Ch3 with IRQ2"));
    EXPECT_TRUE(log.has_line_ending(
        "Slave CMD 0xB0 completed: Request Disc Status (has_disc=true) -> byte=0x41"));
}

}  // namespace
}  // namespace vestrel
