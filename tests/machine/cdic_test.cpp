// CDIC register file and commands.
#include "machine/cdic.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.hpp"
#include "../support/log_capture.hpp"

namespace vestrel {
namespace {

namespace reg = cdic_reg;

void start(Cdic& c, uint16_t time_high, uint16_t time_low, uint16_t cmd, uint16_t dbuf = 0xC000) {
    c.cdic_write_register(reg::kTimeHigh, time_high);
    c.cdic_write_register(reg::kTimeLow, time_low);
    c.cdic_write_register(reg::kCommand, cmd);
    c.cdic_write_register(reg::kDbuf, dbuf);
}

TEST(CdicRegisters, InitialValuesAndReset) {
    LogCapture quiet;
    Cdic c;
    EXPECT_EQ(c.channel, 0xFFFFFFFFu);
    EXPECT_EQ(c.audio_channel, 0xFFFF);
    EXPECT_EQ(c.interrupt_vector, 0x000F);
    EXPECT_EQ(c.dec_addr, 0xFFFF);
    EXPECT_EQ(c.cdic_read_register(reg::kChannelHigh), 0xFFFF);

    const auto queue = c.audio_out.queue;
    c.audio_out.volume = 1.5f;
    c.audio_out.muted = true;
    c.audio_out.history = {1, 2, 3, 4};
    std::vector<StereoPair> pairs(100);
    queue->append_bounded(pairs);
    start(c, 0x0010, 0x0000, 0x29);
    c.cdic_write_register(reg::kXbuf, 0x8000);
    c.cdic_write_register(reg::kZBuffer, 0x2800);
    c.cdic_ram[5] = 9;
    c.byte_swapped = true;
    c.map_cycles = 77;

    c.reset();
    EXPECT_EQ(c.active_command, 0);
    EXPECT_EQ(c.mode, ReadMode::Idle);
    EXPECT_EQ(c.curr_lba, 0u);
    EXPECT_EQ(c.time, 0u);
    EXPECT_EQ(c.command, 0);
    EXPECT_EQ(c.xbuf, 0);
    EXPECT_FALSE(c.irq_pending);
    EXPECT_FALSE(c.dec_map);
    EXPECT_EQ(c.dec_addr, 0xFFFF);
    EXPECT_EQ(c.interrupt_vector, 0x000F);
    EXPECT_FALSE(c.byte_swapped);
    EXPECT_EQ(c.map_cycles, 0u);
    EXPECT_EQ(c.cdic_ram[5], 0);
    // The host stream keeps its handle: the same queue, now empty; volume and mute survive.
    EXPECT_EQ(c.audio_out.queue, queue);
    EXPECT_EQ(queue->size(), 0u);
    EXPECT_EQ(c.audio_out.history, (std::array<int16_t, 4>{}));
    EXPECT_EQ(c.audio_out.volume, 1.5f);
    EXPECT_TRUE(c.audio_out.muted);
}

TEST(CdicRegisters, StoredRegistersAndUnmappedOffsets) {
    Cdic c;
    const uint32_t plain[] = {reg::kCommand, reg::kTimeHigh, reg::kTimeLow, reg::kFile,
                              reg::kChannelHigh, reg::kChannelLow, reg::kAudioChannel};
    for (uint32_t off : plain) {
        c.cdic_write_register(off, static_cast<uint16_t>(0x1230 + off));
        EXPECT_EQ(c.cdic_read_register(off), 0x1230 + off) << off;
    }
    EXPECT_EQ(c.time, 0x12321234u);
    EXPECT_EQ(c.channel, 0x1238123Au);
    // Write-only registers read 0; unmapped offsets read 0 and ignore writes.
    c.cdic_write_register(reg::kInterruptVector, 0x0042);
    EXPECT_EQ(c.cdic_read_register(reg::kInterruptVector), 0);
    EXPECT_EQ(c.interrupt_vector, 0x0042);
    const Cdic before = c;
    for (uint32_t off : {0x00Eu, 0x100u, 0x3F2u}) {
        c.cdic_write_register(off, 0xFFFF);
        EXPECT_EQ(c.cdic_read_register(off), 0) << off;
    }
    EXPECT_EQ(c.time, before.time);
    EXPECT_EQ(c.xbuf, before.xbuf);
    EXPECT_EQ(c.data_buffer, before.data_buffer);
    // The bus passes address & 0x3FE; an odd offset names the same word.
    EXPECT_EQ(c.cdic_read_register(reg::kFile | 1), c.file);
}

TEST(CdicRegisters, IrqVector) {
    Cdic c;
    EXPECT_EQ(c.irq_vector(), 15);
    c.cdic_write_register(reg::kInterruptVector, 0x0100);
    EXPECT_EQ(c.irq_vector(), 28);
    c.cdic_write_register(reg::kInterruptVector, 0x0165);
    EXPECT_EQ(c.irq_vector(), 0x65);
}

TEST(CdicCommands, StartLbaFromTime) {
    struct Case {
        uint16_t high, low, cmd;
        uint32_t lba;
        ReadMode mode;
    };
    const Case cases[] = {
        {0x0002, 0x0000, 0x29, 0, ReadMode::Data},      // 00:02:00 is LBA 0
        {0x0001, 0x0000, 0x29, 75, ReadMode::Data},     // below 150: no subtraction
        {0x0002, 0x8000, 0x29, 0, ReadMode::Data},      // frame byte bit 7: frame ignored
        {0x0002, 0x1000, 0x2C, 10, ReadMode::Data},     // 00:02:10
        {0x0002, 0x7400, 0x2A, 74, ReadMode::DataWithAudio},
        {0x0159, 0x7400, 0x28, 4'500 + 59 * 75 + 74 - 150, ReadMode::CdDa},  // 01:59:74
        {0x000A, 0x0000, 0x29, 600, ReadMode::Data},    // invalid BCD 0x0A decodes as 10
        {0x0002, 0x00FF, 0x29, 0, ReadMode::Data},      // bits 0-7 ignored
        {0x0010, 0x2000, 0x27, 0, ReadMode::Toc},       // TOC always starts at 0
        {0x0000, 0x0000, 0x23, 0, ReadMode::Data},
    };
    LogCapture quiet;
    for (const Case& k : cases) {
        Cdic c;
        start(c, k.high, k.low, k.cmd);
        EXPECT_EQ(c.curr_lba, k.lba) << std::hex << k.high << ' ' << k.low;
        EXPECT_EQ(c.mode, k.mode);
        EXPECT_EQ(c.active_command, k.cmd);
        EXPECT_EQ(c.read_cycles, kReadStartCycles);
        EXPECT_EQ(c.data_buffer, 0x4000);  // bit 15 cleared after the command
    }
}

TEST(CdicCommands, DataBufferWrites) {
    LogCapture log;
    Cdic c;
    // Bit 15 without bit 14: the read starts and is cancelled at once.
    start(c, 0x0003, 0, 0x29, 0x8000);
    EXPECT_EQ(log.count_containing("CDIC init disc read: cmd=0x29, mode=1, LBA=75"), 1u);
    EXPECT_EQ(log.count_containing("CDIC cancel_disc_read called (curr_lba=75)"), 1u);
    EXPECT_EQ(c.active_command, 0);
    EXPECT_EQ(c.curr_lba, 0u);
    EXPECT_EQ(c.data_buffer, 0x0000);

    // 0x23 while a 0x29 read runs: ignored, no init line.
    start(c, 0x0003, 0, 0x29);
    c.read_cycles = 1'234;
    log.clear();
    start(c, 0x0004, 0, 0x23);
    EXPECT_EQ(log.count_containing("CDIC init disc read"), 0u);
    EXPECT_EQ(log.count_containing("CDIC Command 0x23 received (LBA=75, time=0x00040000)"), 1u);
    EXPECT_EQ(c.active_command, 0x29);
    EXPECT_EQ(c.curr_lba, 75u);
    EXPECT_EQ(c.read_cycles, 1'234u);

    // A restarting command replaces the read.
    start(c, 0x0004, 0, 0x2A);
    EXPECT_EQ(c.active_command, 0x2A);
    EXPECT_EQ(c.curr_lba, 150u);

    // Bit 15 clear, bit 14 set: only DBUF changes.
    c.cdic_write_register(reg::kDbuf, 0x4001);
    EXPECT_EQ(c.active_command, 0x2A);
    EXPECT_EQ(c.cdic_read_register(reg::kDbuf), 0x4001);
    // Both clear: the read is cancelled.
    c.cdic_write_register(reg::kDbuf, 0x0000);
    EXPECT_EQ(c.active_command, 0);

    // Cancel with 0x8000 logs the cancel line twice.
    start(c, 0x0004, 0, 0x29);
    log.clear();
    c.cdic_write_register(reg::kCommand, 0x2B);
    c.cdic_write_register(reg::kDbuf, 0x8000);
    EXPECT_EQ(log.count_containing("CDIC cancel_disc_read called"), 2u);

    // Unknown and no-op commands run nothing; the bit-14 rule still applies.
    log.clear();
    start(c, 0x0004, 0, 0x29);
    start(c, 0x0004, 0, 0x2E);
    start(c, 0x0004, 0, 0x31);
    EXPECT_EQ(log.count_containing("CDIC: Unhandled command 0x31"), 1u);
    EXPECT_EQ(log.count_containing("CDIC init disc read"), 1u);
    EXPECT_EQ(c.active_command, 0x29);
    start(c, 0x0004, 0, 0x31, 0x8000);
    EXPECT_EQ(c.active_command, 0);
}

TEST(CdicRegisters, StatusReadsKeepTheInterruptInvariant) {
    Cdic c;
    c.cdic_write_register(reg::kXbuf, 0x8001);
    EXPECT_TRUE(c.irq_pending);
    c.cdic_write_register(reg::kAbuf, 0x8000);
    EXPECT_EQ(c.cdic_read_register(reg::kXbuf), 0x8001);  // returned set, left clear
    EXPECT_EQ(c.xbuf, 0x0001);
    EXPECT_TRUE(c.irq_pending);  // ABUF still requests
    EXPECT_EQ(c.cdic_read_register(reg::kAbuf), 0x8000);
    EXPECT_FALSE(c.irq_pending);
    EXPECT_EQ(c.cdic_read_register(reg::kAbuf), 0x0000);

    // A write sets the flag from both registers.
    c.cdic_write_register(reg::kAbuf, 0x8000);
    c.cdic_write_register(reg::kXbuf, 0x0000);
    EXPECT_TRUE(c.irq_pending);
    c.cdic_write_register(reg::kAbuf, 0x0000);
    EXPECT_FALSE(c.irq_pending);

    // The bus's byte write of ABUF's high byte: a read (clearing bit 15), then the merged word.
    c.cdic_write_register(reg::kAbuf, 0x8012);
    const uint16_t word = c.cdic_read_register(reg::kAbuf);
    c.cdic_write_register(reg::kAbuf, static_cast<uint16_t>((word & 0x00FF) | 0x4000));
    EXPECT_EQ(c.abuf, 0x4012);
    EXPECT_FALSE(c.irq_pending);
}

TEST(CdicRegisters, DmaControlRequestsATransfer) {
    Cdic c;
    c.cdic_write_register(reg::kDmaControl, 0x0A08);
    EXPECT_TRUE(c.dma_requested);
    EXPECT_EQ(c.dma_control, 0x0A08);
    EXPECT_EQ(c.cdic_read_register(reg::kDmaControl), 0);
}

TEST(CdicRegisters, RamAccessWrapsLikeTheDma) {
    Cdic c;
    c.write_ram_word(0x3BFF, 0xABCD);
    EXPECT_EQ(c.cdic_ram[0x3BFF], 0xAB);
    EXPECT_EQ(c.cdic_ram[0x0000], 0xCD);
    EXPECT_EQ(c.read_ram_word(0x3BFF), 0xABCD);
    c.write_ram_byte(kCdicRamSize + 2, 0x11);
    EXPECT_EQ(c.read_ram_byte(2), 0x11);
}

TEST(CdicAudioMap, ZBufferControl) {
    Cdic c;
    // Without a map, each read toggles bit 0.
    const uint16_t a = c.cdic_read_register(reg::kZBuffer);
    const uint16_t b = c.cdic_read_register(reg::kZBuffer);
    EXPECT_EQ(a ^ b, 1);

    c.audio_out.history = {5, 6, 7, 8};
    c.cdic_write_register(reg::kZBuffer, 0x2800);
    EXPECT_TRUE(c.dec_map);
    EXPECT_EQ(c.dec_addr, 0x2800);
    EXPECT_EQ(c.decoder_busy, 1);
    EXPECT_EQ(c.audio_out.history, (std::array<int16_t, 4>{}));
    EXPECT_EQ(c.cdic_read_register(reg::kZBuffer), c.cdic_read_register(reg::kZBuffer));

    // A second start while playing changes nothing.
    c.cdic_write_register(reg::kZBuffer, 0x3200);
    EXPECT_EQ(c.dec_addr, 0x2800);
    EXPECT_EQ(c.z_buffer, 0x3200);

    c.cdic_write_register(reg::kZBuffer, 0x0000);
    EXPECT_FALSE(c.dec_map);
    EXPECT_EQ(c.dec_addr, 0xFFFF);

    // Bit 13 is part of the address; other bits outside 0x3A00 are dropped.
    c.cdic_write_register(reg::kZBuffer, 0x32FF);
    EXPECT_EQ(c.dec_addr, 0x3200);
}

}  // namespace
}  // namespace vestrel
