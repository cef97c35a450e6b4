// CDIC sector engine, Q subcode, TOC and audio maps.
#include "machine/cdic_sector.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "common/log.hpp"
#include "../support/log_capture.hpp"
#include "machine/bus.hpp"
#include "machine/cdic.hpp"
#include "machine/cdrom.hpp"

namespace vestrel {
namespace {

namespace reg = cdic_reg;

// An in-memory disc; reads beyond its end fail.
class FakeDisc final : public SectorSource {
public:
    std::vector<RawSector> sectors;
    uint32_t reads = 0;
    // Whether each read was allowed to log its own failure.
    std::vector<bool> reports;

    bool read_sector(uint32_t lba, std::span<uint8_t, kRawSectorSize> out, bool report_failure) override {
        ++reads;
        reports.push_back(report_failure);
        if (lba >= sectors.size()) return false;
        std::copy(sectors[lba].begin(), sectors[lba].end(), out.begin());
        return true;
    }
    uint32_t total_sectors() const override { return static_cast<uint32_t>(sectors.size()); }
};

struct SectorSpec {
    uint8_t file = 1, chan = 0, submode = 0x08, coding = 0;
    uint8_t mode = 2;
};

// A plain sector with its sync, header, subheader and copy, and data bytes = (i * 7 + lba).
RawSector make_sector(uint32_t lba, const SectorSpec& spec = {}) {
    RawSector s{};
    for (int i = 1; i <= 10; ++i) s[i] = 0xFF;
    const auto t = bcd_time_of_lba(lba);
    s[12] = t[0];
    s[13] = t[1];
    s[14] = t[2];
    s[15] = spec.mode;
    for (size_t i = 24; i < s.size(); ++i) s[i] = static_cast<uint8_t>(i * 7 + lba);
    if (spec.mode == 2) {
        const uint8_t sub[4] = {spec.file, spec.chan, spec.submode, spec.coding};
        for (int i = 0; i < 4; ++i) s[16 + i] = s[20 + i] = sub[i];
    }
    return s;
}

FakeDisc disc_of(uint32_t count, const SectorSpec& spec = {}) {
    FakeDisc d;
    for (uint32_t lba = 0; lba < count; ++lba) d.sectors.push_back(make_sector(lba, spec));
    return d;
}

void start(Cdic& c, uint32_t lba, uint16_t cmd) {
    const uint32_t t = lba + 150;
    const uint16_t high = static_cast<uint16_t>(to_bcd(t / 4'500) << 8 | to_bcd((t / 75) % 60));
    c.cdic_write_register(reg::kTimeHigh, high);
    c.cdic_write_register(reg::kTimeLow, static_cast<uint16_t>(to_bcd(t % 75) << 8));
    c.cdic_write_register(reg::kCommand, cmd);
    c.cdic_write_register(reg::kDbuf, 0xC000);
}

// Advances to the end of the running read's current sector period.
void next_period(Cdic& c, SectorSource* disc) { c.cdic_tick(kCyclesPerSector - c.read_cycles, disc); }

// The 2,332 bytes after the first 8 of the buffer the last sector went to.
std::vector<uint8_t> delivered(const Cdic& c) {
    const uint32_t base = (c.data_buffer & 1) ? 0x0A00 : 0;
    const uint32_t dest = base + ((c.data_buffer & 4) ? 0x2808 : 8);
    return {c.cdic_ram.begin() + dest, c.cdic_ram.begin() + dest + 2'332};
}

bool matches(const std::vector<uint8_t>& got, const RawSector& s) {
    return std::equal(got.begin(), got.end(), s.begin() + 20);
}

TEST(CdicSector, ScramblerSequence) {
    const uint8_t head[] = {0x01, 0x80, 0x00, 0x60, 0x00, 0x28, 0x00, 0x1E,
                            0x80, 0x08, 0x60, 0x06, 0xA8, 0x02, 0xFE, 0x81};
    for (size_t i = 0; i < 12; ++i) EXPECT_EQ(Cdic::scrambler_table[i], 0) << i;
    for (size_t i = 0; i < sizeof head; ++i) EXPECT_EQ(Cdic::scrambler_table[12 + i], head[i]) << i;
}

TEST(CdicSector, QSubcode) {
    const uint8_t check[10] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', 0};
    // CRC-16/GSM's check value covers the first nine bytes.
    uint16_t crc = 0;
    for (int i = 0; i < 9; ++i) {
        crc ^= static_cast<uint16_t>(check[i] << 8);
        for (int b = 0; b < 8; ++b) crc = static_cast<uint16_t>(crc & 0x8000 ? crc << 1 ^ 0x1021 : crc << 1);
    }
    EXPECT_EQ(static_cast<uint16_t>(~crc), 0xCE3C);

    const std::array<uint8_t, 12> lba0 = {0x41, 0x01, 0x01, 0x00, 0x02, 0x00,
                                          0x00, 0x00, 0x02, 0x00, 0xA3, 0x72};
    EXPECT_EQ(q_subcode(0, false, 0), lba0);
    const auto t = bcd_time_of_lba(4'500 * 3 + 75 * 59 + 74 - 150);
    EXPECT_EQ(t, (std::array<uint8_t, 3>{0x03, 0x59, 0x74}));
}

TEST(CdicSector, TocRows) {
    const struct {
        uint32_t lba;
        std::array<uint8_t, 5> row;
    } cases[] = {
        {0, {0x41, 0xA0, 0x01, 0x10, 0x00}}, {2, {0x41, 0xA0, 0x01, 0x10, 0x00}},
        {3, {0x41, 0xA1, 0x01, 0x00, 0x00}}, {6, {0x41, 0xA2, 0x00, 0x13, 0x25}},
        {8, {0x41, 0xA2, 0x00, 0x13, 0x25}}, {9, {0x41, 0x01, 0x00, 0x02, 0x00}},
        {12, {0x41, 0xA0, 0x01, 0x10, 0x00}},
    };
    for (const auto& k : cases) {
        const auto q = q_subcode(k.lba, true, 1'000);
        const auto t = bcd_time_of_lba(k.lba);
        const std::array<uint8_t, 10> expected = {k.row[0], 0, k.row[1], 0xA0, t[1], t[2], 0,
                                                  k.row[2], k.row[3], k.row[4]};
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), q.begin())) << k.lba;
        EXPECT_EQ(q[10] << 8 | q[11], q_crc(std::span<const uint8_t, 10>(q.data(), 10))) << k.lba;
    }
}

TEST(CdicSector, ReadTiming) {
    LogCapture quiet;
    FakeDisc disc = disc_of(400);
    Cdic c;
    start(c, 0, 0x29);
    // The tick of the line in which the command ran counts as the first.
    std::vector<int> lines_with_sector;
    for (int line = 1; line <= 37 + 209 * 3; ++line) {
        const uint32_t before = disc.reads;
        c.cdic_tick(993, &disc);
        if (disc.reads != before) lines_with_sector.push_back(line);
    }
    ASSERT_GE(lines_with_sector.size(), 3u);
    EXPECT_EQ(lines_with_sector[0], 37);
    for (size_t i = 1; i < lines_with_sector.size(); ++i) {
        const int gap = lines_with_sector[i] - lines_with_sector[i - 1];
        EXPECT_TRUE(gap == 208 || gap == 209) << gap;
    }
    EXPECT_EQ(c.curr_lba, lines_with_sector.size());
    EXPECT_TRUE(c.irq_pending);
    EXPECT_EQ(c.xbuf & 0x8000, 0x8000);
}

TEST(CdicSector, IdleReadClockDoesNotRun) {
    Cdic c;
    c.cdic_tick(500'000, nullptr);
    EXPECT_EQ(c.read_cycles, 0u);
    EXPECT_EQ(c.map_cycles, 500'000u - 2 * kCyclesPerSector);
}

TEST(CdicSector, DeliveryIntoAlternatingBuffers) {
    LogCapture quiet;
    FakeDisc disc = disc_of(10);
    Cdic c;
    start(c, 4, 0x29);
    next_period(c, &disc);
    EXPECT_EQ(c.data_buffer & 0x4005, 0x4001);
    EXPECT_TRUE(std::equal(c.cdic_ram.begin() + 0x0A00, c.cdic_ram.begin() + 0x0A08, disc.sectors[4].begin() + 12));
    EXPECT_TRUE(matches(delivered(c), disc.sectors[4]));
    // Q words follow the sector: 12 words with a zero high byte.
    const auto q = q_subcode(4, false, 10);
    for (size_t i = 0; i < 12; ++i) EXPECT_EQ(c.read_ram_word(0x0A00 + 8 + 2'332 + 2 * i), q[i]) << i;

    EXPECT_EQ(c.cdic_read_register(reg::kXbuf), 0x8000);
    EXPECT_FALSE(c.irq_pending);
    next_period(c, &disc);
    EXPECT_EQ(c.data_buffer & 1, 0);
    EXPECT_TRUE(matches(delivered(c), disc.sectors[5]));
    EXPECT_TRUE(c.irq_pending);
    EXPECT_EQ(c.curr_lba, 6u);
}

TEST(CdicSector, SingleSectorCommandsStopAfterOne) {
    LogCapture log;
    for (uint16_t cmd : {0x23, 0x24}) {
        FakeDisc disc = disc_of(10);
        Cdic c;
        start(c, 2, cmd);
        next_period(c, &disc);
        EXPECT_EQ(c.active_command, 0) << cmd;
        EXPECT_TRUE(matches(delivered(c), disc.sectors[2]));
        c.cdic_tick(10 * kCyclesPerSector, &disc);
        EXPECT_EQ(disc.reads, 1u);
    }
}

// The mode-2 filter of a 0x2A read, one sector each.
TEST(CdicSector, FilterTable) {
    struct Case {
        const char* what;
        uint16_t cmd;
        SectorSpec spec;
        uint16_t file;
        uint32_t channel;
        bool delivered;
        bool read_ends;
        const char* log;
    };
    const Case cases[] = {
        {"file mismatch", 0x2A, {.file = 2}, 0x0100, 0xFFFFFFFF, false, false,
         "CDIC filter REJECT FILE: LBA=0, buf[20]=0x02 (val=0x0200) vs self.file=0x0100"},
        {"file register low byte must be 0", 0x2A, {.file = 1}, 0x0101, 0xFFFFFFFF, false, false,
         "REJECT FILE"},
        {"channel not selected", 0x2A, {.chan = 3, .submode = 0x08}, 0x0100, 0x00000001, false, false,
         "CDIC filter REJECT CHAN: LBA=0, chan=3, self.channel=0x00000001"},
        {"channel selected", 0x2A, {.chan = 3, .submode = 0x08}, 0x0100, 0x00000008, true, false, ""},
        {"channel taken modulo 32", 0x2A, {.chan = 35, .submode = 0x08}, 0x0100, 0x00000008, true, false, ""},
        {"trigger ignores the channel", 0x2A, {.chan = 3, .submode = 0x10}, 0x0100, 0, true, false, ""},
        {"end of record ignores the channel", 0x2A, {.chan = 3, .submode = 0x01}, 0x0100, 0, true, false, ""},
        {"no applicable data", 0x2A, {.submode = 0x00}, 0x0100, 0xFFFFFFFF, false, false,
         "CDIC filter REJECT NO APPLICABLE DATA: LBA=0, submode=0x00"},
        {"submode 0 outside 0x2A", 0x29, {.submode = 0x00}, 0x0100, 0xFFFFFFFF, true, false, ""},
        {"file mismatch outside 0x2A", 0x29, {.file = 7}, 0x0100, 0, true, false, ""},
        {"end of file ends a 0x2A read", 0x2A, {.submode = 0x89}, 0x0100, 0, true, true,
         "CDIC SUBMODE_EOF at LBA=0"},
        {"end of file on a 0x29 read", 0x29, {.submode = 0x89}, 0x0100, 0, true, false, ""},
        {"mode 1 is never filtered", 0x2A, {.file = 9, .mode = 1}, 0x0100, 0, true, false, ""},
    };
    for (const Case& k : cases) {
        LogCapture log;
        FakeDisc disc = disc_of(4, k.spec);
        Cdic c;
        c.cdic_write_register(reg::kFile, k.file);
        c.cdic_write_register(reg::kChannelHigh, static_cast<uint16_t>(k.channel >> 16));
        c.cdic_write_register(reg::kChannelLow, static_cast<uint16_t>(k.channel));
        start(c, 0, k.cmd);
        next_period(c, &disc);
        EXPECT_EQ(c.irq_pending, k.delivered) << k.what;
        EXPECT_EQ((c.xbuf & 0x8000) != 0, k.delivered) << k.what;
        EXPECT_EQ(c.data_buffer & 1, k.delivered ? 1 : 0) << k.what;
        if (k.delivered) {
            EXPECT_TRUE(matches(delivered(c), disc.sectors[0])) << k.what;
        } else {
            EXPECT_EQ(c.cdic_ram[0x0A08], 0) << k.what;
        }
        EXPECT_EQ(c.active_command == 0, k.read_ends) << k.what;
        EXPECT_EQ(c.curr_lba, k.read_ends ? 0u : 1u) << k.what;
        if (*k.log) {
            EXPECT_EQ(log.count_containing(k.log), 1u) << k.what;
        }
    }
}

TEST(CdicSector, ImageRepairs) {
    LogCapture log;
    const RawSector plain = make_sector(0);
    RawSector scrambled = plain;
    for (size_t i = 12; i < scrambled.size(); ++i) scrambled[i] ^= Cdic::scrambler_table[i];
    RawSector swapped = plain;
    for (size_t i = 0; i < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
    RawSector iso{};  // an ISO sector: zero header, data at 24
    for (size_t i = 24; i < 24 + 2'048; ++i) iso[i] = static_cast<uint8_t>(i);
    RawSector ff00 = plain;  // CD-DA that happens to start FF 00
    ff00[0] = 0xFF;
    ff00[1] = 0x00;
    ff00[12] = 0x55;
    RawSector damaged = plain;
    damaged[13] = 0x99;

    struct Case {
        const char* what;
        RawSector raw;
        RawSector expected;
        bool swapping;
    };
    const Case cases[] = {
        {"plain", plain, plain, false},       {"scrambled", scrambled, plain, false},
        {"byte-swapped", swapped, plain, true}, {"iso", iso, iso, false},
        {"starts FF 00", ff00, ff00, false},   {"damaged header", damaged, damaged, false},
    };
    for (const Case& k : cases) {
        FakeDisc disc;
        disc.sectors = {k.raw, k.raw};
        Cdic c;
        log.clear();
        start(c, 0, 0x29);
        next_period(c, &disc);
        EXPECT_EQ(c.byte_swapped, k.swapping) << k.what;
        EXPECT_TRUE(std::equal(c.cdic_ram.begin() + 0x0A00, c.cdic_ram.begin() + 0x0A08, k.expected.begin() + 12))
            << k.what;
        EXPECT_TRUE(matches(delivered(c), k.expected)) << k.what;
        EXPECT_EQ(log.count_containing("CDIC: Byteswapping detected on LBA=0"), k.swapping ? 1u : 0u) << k.what;
    }

    // Once seen, swapping stays on for the sectors that follow.
    FakeDisc disc;
    disc.sectors = {swapped, make_sector(1)};
    for (size_t i = 0; i < kRawSectorSize; i += 2) std::swap(disc.sectors[1][i], disc.sectors[1][i + 1]);
    Cdic c;
    start(c, 0, 0x29);
    next_period(c, &disc);
    next_period(c, &disc);
    EXPECT_TRUE(matches(delivered(c), make_sector(1)));
}

TEST(CdicSector, ReadFailuresAndNoDisc) {
    LogCapture log;
    FakeDisc disc = disc_of(2);
    Cdic c;
    start(c, 1, 0x29);
    next_period(c, &disc);
    c.cdic_read_register(reg::kXbuf);
    next_period(c, &disc);
    next_period(c, &disc);
    EXPECT_EQ(log.count_containing("CDIC process_sector: read_sector(2) failed!"), 1u);
    EXPECT_FALSE(c.irq_pending);
    EXPECT_EQ(c.active_command, 0x29);
    EXPECT_EQ(c.curr_lba, 4u);

    next_period(c, nullptr);
    EXPECT_EQ(log.count_containing("CDIC process_sector: cdrom is None!"), 1u);
    EXPECT_EQ(c.curr_lba, 5u);
}

// The same failure for every sector of one read is one error: its line once, and how many
// sectors failed when the read ends or the failure changes. Only sectors that came off the
// disc count as read.
TEST(CdicSector, ReadFailuresAreReportedOncePerRead) {
    constexpr auto kNone = "CDIC process_sector: cdrom is None!";
    const auto failed_line = [](uint32_t lba) {
        return fmt::format("CDIC process_sector: read_sector({}) failed!", lba);
    };
    const auto summary = [](uint32_t n, uint32_t lba, const char* why) {
        return fmt::format("CDIC process_sector: {} sectors failed from LBA={} ({})", n, lba, why);
    };

    {  // A read running past the end of a two-sector image, until the software cancels it.
        LogCapture log;
        FakeDisc disc = disc_of(2);
        Cdic c;
        start(c, 1, 0x29);
        for (int i = 0; i < 5; ++i) next_period(c, &disc);
        EXPECT_EQ(log.count_containing(failed_line(2)), 1u);
        EXPECT_EQ(log.count_containing("failed!"), 1u);
        EXPECT_EQ(disc.reports, (std::vector<bool>{true, true, false, false, false}));
        EXPECT_EQ(c.sectors_read, 1u);
        EXPECT_EQ(log.count_containing("sectors failed"), 0u);  // the read is still running
        c.cdic_write_register(reg::kDbuf, 0x0000);
        EXPECT_EQ(log.count_containing(summary(4, 2, "read_sector failed")), 1u);
        c.cdic_write_register(reg::kDbuf, 0x0000);  // nothing left to say
        EXPECT_EQ(log.count_containing("sectors failed"), 1u);
    }
    {  // Ejected during a read: one line, and the next read command is a new read.
        LogCapture log;
        FakeDisc disc = disc_of(10);
        Cdic c;
        start(c, 0, 0x2A);
        next_period(c, &disc);
        next_period(c, &disc);
        for (int i = 0; i < 75; ++i) next_period(c, nullptr);
        EXPECT_EQ(log.count_containing(kNone), 1u);
        EXPECT_EQ(c.curr_lba, 77u);
        EXPECT_EQ(c.sectors_read, 2u);
        start(c, 0, 0x29);
        EXPECT_EQ(log.count_containing(summary(75, 2, "cdrom is None")), 1u);
        next_period(c, nullptr);
        EXPECT_EQ(log.count_containing(kNone), 2u);
    }
    {  // The failure changes within one read, then a machine reset ends the read.
        LogCapture log;
        FakeDisc disc = disc_of(2);
        Cdic c;
        start(c, 1, 0x29);
        for (int i = 0; i < 3; ++i) next_period(c, &disc);  // LBA 1 read, 2 and 3 fail
        next_period(c, nullptr);                            // LBA 4
        EXPECT_EQ(log.count_containing(summary(2, 2, "read_sector failed")), 1u);
        EXPECT_EQ(log.count_containing(kNone), 1u);
        next_period(c, nullptr);  // LBA 5
        next_period(c, &disc);    // LBA 6: the disc is back, still past its end
        EXPECT_EQ(log.count_containing(summary(2, 4, "cdrom is None")), 1u);
        EXPECT_EQ(log.count_containing(failed_line(6)), 1u);
        c.reset();  // one failed sector needs no count: its own line says it
        EXPECT_EQ(log.count_containing("sectors failed"), 2u);
    }
    {  // A single failed sector of a one-sector command: its lines and nothing more.
        LogCapture log;
        FakeDisc disc = disc_of(2);
        Cdic c;
        start(c, 5, 0x23);
        next_period(c, &disc);
        EXPECT_EQ(log.count_containing(failed_line(5)), 1u);
        c.cdic_write_register(reg::kDbuf, 0x0000);
        EXPECT_EQ(log.count_containing("sectors failed"), 0u);
        EXPECT_EQ(c.sectors_read, 0u);
    }
}

TEST(CdicSector, TocRead) {
    LogCapture quiet;
    FakeDisc disc = disc_of(1'000);
    Cdic c;
    start(c, 500, 0x27);
    EXPECT_EQ(c.curr_lba, 0u);
    for (uint32_t period = 0; period < 14; ++period) {
        next_period(c, &disc);
        const uint32_t base = (c.data_buffer & 1) ? 0x0A00 : 0;
        const auto q = q_subcode(period, true, 1'000);
        EXPECT_EQ(c.read_ram_word(base + 8 + 2'332 + 4), q[2]) << period;  // POINT
        // The data part is always the image's first sector.
        EXPECT_TRUE(matches(delivered(c), disc.sectors[0])) << period;
    }
    EXPECT_EQ(c.active_command, 0x27);
    EXPECT_EQ(c.read_ram_word(8 + 2'332 + 2 * 7), 0x01);  // period 13 (buffer 0): row 0, PMIN 01
}

// A form-2 real-time audio sector of a 0x2A read.
TEST(CdicSector, RealTimeAudio) {
    struct Case {
        const char* what;
        uint8_t coding;
        uint16_t audio_channel;
        bool mpeg;
        bool decoded;
        uint8_t busy;
        size_t pairs;
    };
    const Case cases[] = {
        {"4-bit stereo 37,800", 0x01, 0x0001, false, true, 4, 2'016},
        {"4-bit mono 18,900", 0x04, 0x0001, false, true, 16, 8'064},
        {"8-bit stereo", 0x11, 0x0001, false, true, 2, 1'008},
        {"emphasis", 0x41, 0x0001, false, false, 0, 0},
        {"reserved bits per sample", 0x31, 0x0001, false, false, 0, 0},
        {"channel disabled", 0x01, 0x0002, false, false, 0, 0},
        {"MPEG pack", 0x01, 0x0001, true, false, 0, 0},
    };
    for (const Case& k : cases) {
        LogCapture quiet;
        FakeDisc disc = disc_of(3, {.chan = 0, .submode = 0x64, .coding = k.coding});
        if (k.mpeg) {
            const uint8_t pack[4] = {0x00, 0x00, 0x01, 0xBA};
            std::copy(pack, pack + 4, disc.sectors[0].begin() + 24);
        }
        Cdic c;
        c.cdic_write_register(reg::kFile, 0x0100);
        c.cdic_write_register(reg::kChannelLow, 0x0001);
        c.cdic_write_register(reg::kAudioChannel, k.audio_channel);
        c.cdic_write_register(reg::kZBuffer, 0x2800);  // a playing map
        start(c, 0, 0x2A);
        c.decoder_busy = 0;
        c.map_cycles = 0;
        next_period(c, &disc);
        EXPECT_EQ(c.audio_out.queue->size(), k.pairs) << k.what;
        EXPECT_EQ(c.decoder_busy, k.busy) << k.what;
        EXPECT_EQ(c.dec_map, !k.decoded) << k.what;
        // Audio sectors land in an audio buffer, the rest in a data buffer.
        EXPECT_EQ((c.data_buffer & 4) != 0, k.decoded) << k.what;
        EXPECT_TRUE(matches(delivered(c), disc.sectors[0])) << k.what;
        EXPECT_TRUE(c.irq_pending) << k.what;
    }
}

// The routing flag does not depend on the filter: a 0x29 read with the command register later
// set to 0x2A routes audio sectors, but only a 0x2A read decodes them.
TEST(CdicSector, AudioRoutingFollowsTheCommandRegister) {
    LogCapture quiet;
    FakeDisc disc = disc_of(3, {.submode = 0x64, .coding = 0x01});
    Cdic c;
    start(c, 0, 0x29);
    next_period(c, &disc);
    EXPECT_EQ(c.data_buffer & 4, 0);
    c.cdic_write_register(reg::kCommand, 0x2A);
    next_period(c, &disc);
    EXPECT_EQ(c.data_buffer & 4, 4);
    EXPECT_EQ(c.data_buffer & 1, 0);
    EXPECT_TRUE(std::equal(c.cdic_ram.begin() + 0x3208, c.cdic_ram.begin() + 0x3208 + 2'332,
                           disc.sectors[1].begin() + 20) ||
                std::equal(c.cdic_ram.begin() + 0x2808, c.cdic_ram.begin() + 0x2808 + 2'332,
                           disc.sectors[1].begin() + 20));
    EXPECT_EQ(c.audio_out.queue->size(), 0u);
}

void put_map_buffer(Cdic& c, uint32_t addr, uint8_t coding) {
    c.cdic_ram[addr + 11] = coding;
    for (size_t i = 0; i < kAdpcmSectorBytes; ++i) c.cdic_ram[addr + 12 + i] = static_cast<uint8_t>(i % 128 < 16 ? 0x04 : 0x21);
}

TEST(CdicAudioMap, PlaysUntilTheEndMarker) {
    LogCapture log;
    Cdic c;
    put_map_buffer(c, 0x2800, 0x01);  // 4-bit stereo: 4 periods
    put_map_buffer(c, 0x3200, 0xFF);
    c.cdic_write_register(reg::kZBuffer, 0x2800);
    c.cdic_tick(kCyclesPerSector, nullptr);  // busy 1 -> 0: first step
    EXPECT_EQ(log.count_containing("CDIC DECODE AUDIO MAP: addr=0x2800, coding=0x01, stereo=true, 8bit=false, rate=37800"), 1u);
    EXPECT_EQ(c.audio_out.queue->size(), 2'016u);
    EXPECT_EQ(c.dec_addr, 0x3200);
    EXPECT_EQ(c.decoder_busy, 4);
    EXPECT_TRUE(c.irq_pending);
    EXPECT_EQ(c.cdic_read_register(reg::kAbuf), 0x8000);
    EXPECT_FALSE(c.irq_pending);

    c.cdic_tick(3 * kCyclesPerSector, nullptr);
    EXPECT_FALSE(c.irq_pending);
    c.cdic_tick(kCyclesPerSector, nullptr);
    EXPECT_EQ(log.count_containing("CDIC AUDIO MAP END: addr=0x3200, coding=0xFF, was_decoding=true"), 1u);
    EXPECT_TRUE(c.irq_pending);
    EXPECT_FALSE(c.dec_map);
    EXPECT_EQ(c.dec_addr, 0xFFFF);
    EXPECT_EQ(c.audio_out.queue->size(), 2'016u);
}

TEST(CdicAudioMap, BusyPeriodsPerCoding) {
    const struct {
        uint8_t coding;
        uint8_t busy;
        size_t pairs;
    } cases[] = {{0x01, 4, 2'016}, {0x00, 8, 4'032}, {0x05, 8, 4'032}, {0x04, 16, 8'064},
                 {0x11, 2, 1'008}, {0x10, 4, 2'016}, {0x03, 4, 4'032}};  // coding 3: mono samples, stereo busy
    for (const auto& k : cases) {
        LogCapture quiet;
        Cdic c;
        put_map_buffer(c, 0x2800, k.coding);
        c.cdic_write_register(reg::kZBuffer, 0x2800);
        c.cdic_tick(kCyclesPerSector, nullptr);
        EXPECT_EQ(c.decoder_busy, k.busy) << int{k.coding};
        EXPECT_EQ(c.audio_out.queue->size(), k.pairs) << int{k.coding};
    }
}

TEST(CdicAudioMap, AddressLimits) {
    LogCapture quiet;
    {
        Cdic c;  // too high: the map ends silently
        c.cdic_write_register(reg::kZBuffer, 0x2000);
        c.dec_addr = 15'348;
        c.cdic_tick(kCyclesPerSector, nullptr);
        EXPECT_FALSE(c.dec_map);
        EXPECT_FALSE(c.irq_pending);
        EXPECT_EQ(c.dec_addr, 0xFFFF);
    }
    {
        Cdic c;  // fits the coding byte but not the data: stepped without decoding
        c.cdic_write_register(reg::kZBuffer, 0x2000);
        c.dec_addr = 13'046;
        c.cdic_ram[13'046 + 11] = 0x01;
        c.cdic_tick(kCyclesPerSector, nullptr);
        EXPECT_TRUE(c.dec_map);
        EXPECT_TRUE(c.irq_pending);
        EXPECT_EQ(c.decoder_busy, 4);
        EXPECT_EQ(c.audio_out.queue->size(), 0u);
    }
}

TEST(CdicAudioMap, StopKeepsQueuedSound) {
    LogCapture quiet;
    Cdic c;
    put_map_buffer(c, 0x2800, 0x01);
    put_map_buffer(c, 0x3200, 0x01);
    c.cdic_write_register(reg::kZBuffer, 0x2800);
    c.cdic_tick(kCyclesPerSector, nullptr);
    c.cdic_write_register(reg::kZBuffer, 0x0000);
    c.cdic_tick(10 * kCyclesPerSector, nullptr);
    EXPECT_EQ(c.audio_out.queue->size(), 2'016u);
    EXPECT_FALSE(c.dec_map);
}

// The bus's own disc slot: a raw image on disk, lent through the optional<DiscImage> overload.
TEST(CdicSector, ReadsFromTheDiscSlot) {
    LogCapture log;
    const auto path = std::filesystem::temp_directory_path() / "vestrel_cdic_slot_test.bin";
    {
        std::ofstream f(path, std::ios::binary);
        for (uint32_t lba = 0; lba < 5; ++lba) {
            const RawSector s = make_sector(lba);
            f.write(reinterpret_cast<const char*>(s.data()), static_cast<std::streamsize>(s.size()));
        }
    }
    auto opened = open_disc_image(path);
    ASSERT_TRUE(opened.has_value());
    std::optional<DiscImage> slot(std::move(*opened));
    Cdic c;
    start(c, 3, 0x29);
    c.cdic_tick(kCyclesPerSector - c.read_cycles, slot);
    EXPECT_TRUE(matches(delivered(c), make_sector(3)));
    EXPECT_EQ(c.read_ram_word(0x0A00 + 8 + 2'332 + 2 * 10), q_subcode(3, false, 5)[10]);

    std::optional<DiscImage> empty;
    c.cdic_tick(kCyclesPerSector, empty);
    EXPECT_EQ(c.curr_lba, 5u);
    EXPECT_EQ(c.data_buffer & 1, 1);  // nothing delivered without a disc

    // Past the image's end the image says why once per read, not once per sector.
    for (int i = 0; i < 4; ++i) c.cdic_tick(kCyclesPerSector, slot);
    EXPECT_EQ(log.count_containing("CD-ROM: Sector 5 out of bounds (max 5)"), 1u);
    EXPECT_EQ(log.count_containing("out of bounds"), 1u);
    EXPECT_EQ(c.sectors_read, 1u);
    slot.reset();
    std::filesystem::remove(path);
}

// The road of a sector as the software drives it: register writes through the bus, the read
// clock, the level-4 acknowledge, the status reads, and channel-0 DMA into and out of RAM.
TEST(CdicThroughTheBus, ReadAcknowledgeAndDma) {
    LogCapture quiet;
    const auto path = std::filesystem::temp_directory_path() / "vestrel_cdic_bus_test.bin";
    {
        std::ofstream f(path, std::ios::binary);
        for (uint32_t lba = 0; lba < 20; ++lba) {
            const RawSector s = make_sector(lba, {.file = 1, .chan = static_cast<uint8_t>(lba % 4)});
            f.write(reinterpret_cast<const char*>(s.data()), static_cast<std::streamsize>(s.size()));
        }
    }
    Bus bus;
    ASSERT_TRUE(bus.insert_disc(path).has_value());
    constexpr uint32_t kRegs = 0x303C00;
    bus.write_word(kRegs + reg::kTimeHigh, 0x0002);  // 00:02:00 = LBA 0
    bus.write_word(kRegs + reg::kTimeLow, 0x0000);
    bus.write_word(kRegs + reg::kFile, 0x0100);
    bus.write_word(kRegs + reg::kChannelLow, 0x0004);  // channel 2 only
    bus.write_word(kRegs + reg::kCommand, 0x002A);
    bus.write_word(kRegs + reg::kDbuf, 0xC000);

    // Only the sectors of channel 2 (LBAs 2, 6, 10, ...) raise the interrupt.
    std::vector<uint32_t> arrived;
    for (int line = 0; line < 209 * 12 && arrived.size() < 3; ++line) {
        bus.cdic.cdic_tick(993, bus.disc);
        if (bus.cdic.irq_pending) {
            EXPECT_EQ(bus.acknowledge_interrupt(Cdic::kIrqLevel), 15);  // interrupt_vector 0x000F
            EXPECT_EQ(bus.read_word(kRegs + reg::kXbuf), 0x8000);
            EXPECT_FALSE(bus.cdic.irq_pending);
            arrived.push_back(bus.cdic.curr_lba - 1);
        }
    }
    EXPECT_EQ(arrived, (std::vector<uint32_t>{2, 6, 10}));

    // LBA 10 went to the buffer DBUF bit 0 names: copy it to RAM at 0x1000 with channel 0.
    const uint16_t dbuf = bus.read_word(kRegs + reg::kDbuf);
    const uint16_t source = (dbuf & 1) ? 0x0A08 : 0x0008;
    constexpr uint32_t kDma0 = 0x80004000;
    bus.write_word(kDma0 + 0x04, 0x0080);  // OCR bit 7: device to memory
    bus.write_word(kDma0 + 0x0A, 2'332 / 2);
    bus.write_word(kDma0 + 0x0C, 0x0000);
    bus.write_word(kDma0 + 0x0E, 0x1000);
    bus.write_word(kRegs + reg::kDmaControl, source);
    EXPECT_FALSE(bus.cdic.dma_requested);
    const RawSector lba10 = make_sector(10, {.file = 1, .chan = 2});
    for (uint32_t i = 0; i < 2'332; ++i) ASSERT_EQ(bus.read_byte(0x1000 + i), lba10[20 + i]) << i;
    EXPECT_EQ(bus.read_word(kDma0 + 0x0A), 0);
    EXPECT_EQ(bus.read_word(kDma0 + 0x0E), 0x1000 + 2'332);
    EXPECT_EQ(bus.read_word(kDma0 + 0x00) & 0x8000, 0x8000);

    // And back: four bytes of RAM into an audio-map buffer.
    bus.write_word(0x2000, 0xFF01);
    bus.write_word(0x2002, 0x0203);
    bus.write_word(kDma0 + 0x04, 0x0000);
    bus.write_word(kDma0 + 0x0A, 2);
    bus.write_word(kDma0 + 0x0E, 0x2000);
    bus.write_word(kRegs + reg::kDmaControl, 0x2800 + 10);
    EXPECT_EQ(bus.cdic.read_ram_word(0x2800 + 10), 0xFF01);
    EXPECT_EQ(bus.cdic.read_ram_word(0x2800 + 12), 0x0203);

    // A byte write of ABUF's high byte reads the word first, clearing its bit 15.
    bus.write_word(kRegs + reg::kAbuf, 0x8055);
    EXPECT_TRUE(bus.cdic.irq_pending);
    bus.write_byte(kRegs + reg::kAbuf, 0x12);
    EXPECT_EQ(bus.cdic.abuf, 0x1255);
    EXPECT_FALSE(bus.cdic.irq_pending);

    // Cancel through DBUF; the clock stops.
    bus.write_word(kRegs + reg::kDbuf, 0x0000);
    EXPECT_EQ(bus.cdic.active_command, 0);
    bus.cdic.cdic_tick(10 * kCyclesPerSector, bus.disc);
    EXPECT_FALSE(bus.cdic.irq_pending);
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace vestrel
