#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dvc/dvc.hpp"
#include "../support/log_capture.hpp"

namespace vestrel {
namespace {

constexpr uint32_t kFma = 0xE03000;
constexpr uint32_t kFmv = 0xE04000;

uint32_t word_index(uint32_t address) { return (address - 0xE00000) >> 1; }

TEST(DvcRecord, ResetValuesOfBothFiles) {
    Dvc dvc;
    struct Reg {
        bool fma;
        uint32_t offset;
        uint16_t value;
    };
    for (const Reg r : {Reg{true, 0x02, 0x0200}, Reg{true, 0x04, 0x0007}, Reg{true, 0x06, 0x0900},
                        Reg{true, 0x0E, 0x0042}, Reg{true, 0x24, 0x0004}, Reg{true, 0x00, 0}, Reg{true, 0x1A, 0},
                        Reg{false, 0x02, 0x0160}, Reg{false, 0x04, 0x00F0}, Reg{false, 0x06, 0x0023},
                        Reg{false, 0x52, 0x0160}, Reg{false, 0x54, 0x00F0}, Reg{false, 0x56, 0x0708},
                        Reg{false, 0x5E, 0x2000}, Reg{false, 0x64, 0x0037}, Reg{false, 0x6C, 0x001A},
                        Reg{false, 0x6E, 0x004A}, Reg{false, 0x9E, 0xFE96}, Reg{false, 0xA8, 0x0708},
                        Reg{false, 0xAA, 0x0708}, Reg{false, 0xAC, 0x0708}, Reg{false, 0xC0, 0}}) {
        EXPECT_EQ(r.fma ? dvc.fma_word(r.offset) : dvc.fmv_word(r.offset), r.value)
            << (r.fma ? "A " : "B ") << std::hex << r.offset;
    }
    EXPECT_EQ(dvc.picture_buffer.size(), 352u * 288u);
    EXPECT_EQ(dvc.picture_buffer[1000], 0xFF000000u);
    EXPECT_FALSE(dvc.fitted());
    EXPECT_DOUBLE_EQ(dvc.frame_rate, 25.0);
}

TEST(DvcRegisters, CommandRunsOnTheLowerByteWithTheWholeWord) {
    Dvc dvc;
    dvc.dvc_write_byte(kFma, 0x80);  // upper byte only: stored, no action, not counted
    EXPECT_FALSE(dvc.dma_pending);
    EXPECT_EQ(dvc.counted_writes, 0u);
    dvc.dvc_write_byte(kFma + 1, 0x02);  // lower byte: 0x8002 acts
    EXPECT_TRUE(dvc.dma_pending);
    EXPECT_TRUE(dvc.for_fma);
    EXPECT_TRUE(dvc.audio_started);
    EXPECT_EQ(dvc.counted_writes, 1u);

    // A lone lower-byte write acts with the stale upper byte.
    Dvc stale;
    stale.set_fmv(Dvc::kFmvCommand, 0x8000);
    stale.dvc_write_byte(kFmv + 0xC1, 0x00);
    EXPECT_TRUE(stale.dma_pending);
    EXPECT_FALSE(stale.for_fma);

    // A word write acts once and counts once.
    Dvc word;
    word.dvc_write_word(word_index(kFmv + 0xC0), 0x0010);
    EXPECT_EQ(word.fmv_word(Dvc::kFmvIntStatus), 0x1000);
    EXPECT_EQ(word.counted_writes, 1u);
}

TEST(DvcRegisters, CommandBitsInOrder) {
    struct Case {
        const char* name;
        bool fma;
        uint16_t command;
        bool playing, latched, interval, started, pending, for_fma;
        uint16_t fmv_int_status;
    };
    const Case cases[] = {
        {"play with interval", false, 0x0008, true, true, true, false, false, false, 0},
        {"play", false, 0x0020, true, false, false, false, false, false, 0},
        {"pause", false, 0x0010, false, false, false, false, false, false, 0x1000},
        {"stop after play", false, 0x0088, false, false, true, false, false, false, 0},
        {"reset after play", false, 0x0108, false, false, true, false, false, false, 0},
        {"interval on", false, 0x1000, false, false, true, false, false, false, 0},
        {"interval off after play", false, 0x2008, false, true, false, false, false, false, 0},
        {"video dma", false, 0x8000, false, false, false, false, true, false, 0},
        {"audio reset then dma", true, 0x8001, false, false, false, false, true, true, 0},
        {"audio start", true, 0x0002, false, false, false, true, false, false, 0},
        {"audio reset after start", true, 0x0003, false, false, false, true, false, false, 0},
    };
    for (const Case& c : cases) {
        Dvc dvc;
        dvc.dvc_write_word(word_index((c.fma ? kFma : kFmv + 0xC0)), c.command);
        EXPECT_EQ(dvc.playing, c.playing) << c.name;
        EXPECT_EQ(dvc.play_latched, c.latched) << c.name;
        EXPECT_EQ(dvc.interval_enabled, c.interval) << c.name;
        EXPECT_EQ(dvc.audio_started, c.started) << c.name;
        EXPECT_EQ(dvc.dma_pending, c.pending) << c.name;
        EXPECT_EQ(dvc.for_fma, c.for_fma) << c.name;
        EXPECT_EQ(dvc.fmv_word(Dvc::kFmvIntStatus), c.fmv_int_status) << c.name;
    }
}

TEST(DvcRegisters, AudioSideStatusWords) {
    Dvc dvc;
    dvc.set_fma(Dvc::kFmaStatus, 0x020C);
    dvc.dvc_write_word(word_index(kFma), 0x0002);  // start
    EXPECT_EQ(dvc.fma_word(Dvc::kFmaStatus), 0x021C);
    EXPECT_EQ(dvc.fma_word(Dvc::kFmaIntStatus), 0x0010);
    dvc.dvc_write_word(word_index(kFma), 0x8000);  // a DMA request clears 0x0008
    EXPECT_EQ(dvc.fma_word(Dvc::kFmaStatus), 0x0214);
    dvc.mpeg_audio.samples = {1, 2};
    dvc.dvc_write_word(word_index(kFma), 0x0001);  // audio reset
    EXPECT_EQ(dvc.fma_word(Dvc::kFmaStatus), 0x0200);
    EXPECT_EQ(dvc.fma_word(Dvc::kFmaIntStatus), 0);
    EXPECT_TRUE(dvc.mpeg_audio.samples.empty());
    EXPECT_FALSE(dvc.audio_started);
}

TEST(DvcRegisters, StreamSelectionsAndWriteActions) {
    Dvc dvc;
    dvc.dvc_write_word(word_index(kFma + 0x08), 0x00FF);
    EXPECT_EQ(dvc.demux.audio_stream, 0x1F);
    dvc.dvc_write_word(word_index(kFmv + 0xC4), 0x0031);
    EXPECT_EQ(dvc.demux.video_stream, 0x01);
    EXPECT_EQ(dvc.dvc_read_word(word_index(kFmv + 0xC4)), 0x0001);  // masked by the read refresh
    EXPECT_EQ(dvc.dvc_read_word(word_index(kFma + 0x0A)), 0x000F);  // readback of the selection

    dvc.dvc_write_word(word_index(kFmv + 0xC2), 0x0004);
    EXPECT_EQ(dvc.fmv_word(Dvc::kFmvIntStatus), 0x2080);
    dvc.dvc_write_word(word_index(kFmv + 0xC2), 0x0003);
    EXPECT_EQ(dvc.fmv_word(Dvc::kFmvIntStatus), 0x2080);
    dvc.dvc_write_word(word_index(kFmv + 0x62), 0xFFFF);  // any write clears it
    EXPECT_EQ(dvc.fmv_word(Dvc::kFmvIntStatus), 0);
    dvc.set_fma(Dvc::kFmaIntStatus, 0x0115);
    dvc.dvc_write_byte(kFma + 0x1B, 0x55);
    EXPECT_EQ(dvc.fma_word(Dvc::kFmaIntStatus), 0);

    dvc.interval_count = 9;
    dvc.dvc_write_word(word_index(kFmv + 0x64), 0x0010);
    EXPECT_EQ(dvc.interval_count, 0);
    EXPECT_EQ(dvc.fmv_word(Dvc::kFmvIntervalPeriod), 0x0010);
}

TEST(DvcRegisters, DataPortFillsInputUpToItsBound) {
    Dvc dvc;
    dvc.dvc_write_word(word_index(kFmv + 0xDE), 0x1234);
    EXPECT_EQ(dvc.input, (std::vector<uint8_t>{0x12, 0x34}));
    dvc.input.assign(Dvc::kMaxInputBytes - 1, 0);
    dvc.dvc_write_word(word_index(kFmv + 0xDE), 0xABCD);
    ASSERT_EQ(dvc.input.size(), Dvc::kMaxInputBytes);
    EXPECT_EQ(dvc.input.back(), 0xAB);  // only the upper byte fits
    dvc.dvc_write_word(word_index(kFmv + 0xDE), 0xEEEE);
    EXPECT_EQ(dvc.input.size(), Dvc::kMaxInputBytes);
}

TEST(DvcRegisters, ClearOnReadOfTheLowerStatusByte) {
    for (const uint32_t status : {kFma + 0x1A, kFmv + 0x62}) {
        Dvc dvc;
        const bool fma = status == kFma + 0x1A;
        const auto set = [&](uint16_t v) { fma ? dvc.set_fma(0x1A, v) : dvc.set_fmv(0x62, v); };
        const auto get = [&] { return fma ? dvc.fma_word(0x1A) : dvc.fmv_word(0x62); };
        set(0x0104);
        EXPECT_EQ(dvc.dvc_read_byte(status), 0x01);
        EXPECT_EQ(get(), 0x0104) << "the upper byte alone clears nothing";
        EXPECT_EQ(dvc.dvc_read_byte(status + 1), 0x04);
        EXPECT_EQ(get(), 0);
        set(0x0820);
        EXPECT_EQ(dvc.dvc_read_word(word_index(status)), 0x0820);
        EXPECT_EQ(get(), 0);
    }
}

TEST(DvcRegisters, ReadRefreshes) {
    Dvc dvc;
    dvc.clock_45k = 0x12345678;
    // Window B: clock, decoder flag, buffer room.
    EXPECT_EQ(dvc.dvc_read_word(word_index(kFmv + 0x98)), (0x12345678u >> 6) & 0xFFFF);
    EXPECT_EQ(dvc.dvc_read_word(word_index(kFmv + 0xA4)), 0);
    dvc.video_decoder.emplace(std::vector<uint8_t>{});
    EXPECT_EQ(dvc.dvc_read_word(word_index(kFmv + 0xA4)), 1);
    EXPECT_EQ(dvc.dvc_read_word(word_index(kFmv + 0x5E)), 0x2000);
    dvc.input.assign(524'288, 0);
    EXPECT_EQ(dvc.dvc_read_word(word_index(kFmv + 0x5E)), 0);

    // Window A: the lower clock word is latched only by a read of byte 0x10.
    EXPECT_EQ(dvc.dvc_read_word(word_index(kFma + 0x12)), 0);
    EXPECT_EQ(dvc.dvc_read_byte(kFma + 0x11), 0x34);  // upper word, refreshed by any read
    EXPECT_EQ(dvc.dvc_read_word(word_index(kFma + 0x12)), 0);
    EXPECT_EQ(dvc.dvc_read_byte(kFma + 0x10), 0x12);
    dvc.clock_45k = 0;
    EXPECT_EQ(dvc.dvc_read_word(word_index(kFma + 0x12)), 0x5678);

    dvc.set_fma(0x24, 0xBEEF);
    EXPECT_EQ(dvc.dvc_read_byte(kFma + 0x25), 0xEF);  // only a read of byte 0x24 restores it
    EXPECT_EQ(dvc.dvc_read_word(word_index(kFma + 0x24)), 0x0004);

    EXPECT_EQ(dvc.dvc_read_word(word_index(kFma + 0x18)), 0);
    dvc.audio_started = true;
    EXPECT_EQ(dvc.dvc_read_word(word_index(kFma + 0x18)), 0x0100);

    // The frame header peeks at the audio ring, leaving the bytes there.
    dvc.demux.audio_ring.append(std::vector<uint8_t>{0xFF, 0xFD, 0x80, 0x04, 0x55});
    EXPECT_EQ(dvc.dvc_read_word(word_index(kFma + 0x14)), 0xFFFD);
    EXPECT_EQ(dvc.dvc_read_word(word_index(kFma + 0x16)), 0x8004);
    EXPECT_EQ(dvc.demux.audio_ring.size(), 5u);
}

TEST(DvcRegisters, DecodingOfTheWindow) {
    Dvc dvc;
    // Word accesses alias every 64 KB; byte accesses decode on the exact address.
    dvc.dvc_write_word(word_index(0xE13000), 0x0002);
    EXPECT_TRUE(dvc.audio_started);
    Dvc bytes;
    bytes.dvc_write_byte(0xE13001, 0x02);
    EXPECT_FALSE(bytes.audio_started);
    EXPECT_EQ(bytes.counted_writes, 0u);
    EXPECT_EQ(bytes.dvc_read_byte(0xE13002), 0xFF);
    EXPECT_EQ(bytes.dvc_read_byte(0xE01000), 0xFF);
    EXPECT_EQ(bytes.dvc_read_byte(0xE03100), 0xFF);
    EXPECT_EQ(bytes.dvc_read_word(word_index(0xE33002)), 0x0200);
}

TEST(DvcRegisters, SixtyFourCountedWritesEnableThePictureDram) {
    LogCapture log;
    Dvc dvc;
    dvc.dvc_write_word(word_index(0xE01000), 0x1234);  // counts twice
    EXPECT_EQ(dvc.counted_writes, 2u);
    dvc.dvc_write_byte(kFma + 0x40, 1);  // even bytes of A and B do not count
    dvc.dvc_write_byte(kFmv + 0x40, 1);
    dvc.dvc_write_byte(0xE05001, 1);  // nor does the rest of the window
    EXPECT_EQ(dvc.counted_writes, 2u);
    for (int i = 0; i < 61; ++i) dvc.dvc_write_byte(kFmv + 0x41, 1);
    EXPECT_FALSE(dvc.dram_enabled);
    dvc.dvc_write_byte(kFma + 0x41, 1);
    EXPECT_TRUE(dvc.dram_enabled);
    for (int i = 0; i < 10; ++i) dvc.dvc_write_byte(0xE01FFF, 1);
    EXPECT_EQ(log.count_containing("DVC Picture DRAM abilitata (64 scritture registri completate)"), 1u);
    dvc.reset();
    EXPECT_FALSE(dvc.dram_enabled);
    EXPECT_EQ(dvc.counted_writes, 0u);
}

TEST(DvcInterrupts, RequestAndVector) {
    struct Case {
        const char* name;
        uint16_t fma_status, fma_mask, fma_vector, fmv_status, fmv_mask, fmv_vector;
        bool pending;
        uint8_t vector;
    };
    const Case cases[] = {
        {"nothing", 0, 0, 0, 0, 0, 0, false, 28},
        {"audio side", 0x0004, 0x0004, 0x0042, 0, 0, 0, true, 0x42},
        {"audio vector byte 0", 0x0004, 0x0004, 0x4200, 0, 0, 0, false, 28},
        {"audio unmasked", 0x0004, 0x0001, 0x0042, 0, 0, 0, false, 28},
        {"video side", 0, 0, 0, 0x0800, 0x0800, 0x0210, true, 0x42},
        {"video vector below 8", 0, 0, 0, 0x0800, 0x0800, 0x0007, false, 28},
        {"video vector 0x0800 gives 0", 0, 0, 0, 0x0001, 0x0001, 0x0800, true, 28},
        {"audio first", 0x0001, 0x0001, 0x0050, 0x0001, 0x0001, 0x0210, true, 0x50},
        {"audio quiet, video asks", 0x0001, 0x0002, 0x0050, 0x0001, 0x0001, 0x0210, true, 0x42},
    };
    for (const Case& c : cases) {
        Dvc dvc;
        dvc.set_fma(0x1A, c.fma_status);
        dvc.set_fma(0x1C, c.fma_mask);
        dvc.set_fma(0x0C, c.fma_vector);
        dvc.set_fmv(0x62, c.fmv_status);
        dvc.set_fmv(0x60, c.fmv_mask);
        dvc.set_fmv(0xDC, c.fmv_vector);
        EXPECT_EQ(dvc.dvc_irq_pending(), c.pending) << c.name;
        EXPECT_EQ(dvc.irq_vector(), c.vector) << c.name;
    }
}

TEST(DvcRecord, ResetKeepsRomClocksFlagsAndSelections) {
    Dvc dvc;
    dvc.load_rom_image(std::vector<uint8_t>(16, 0xAA));
    dvc.ram[5] = 1;
    dvc.picture_dram[5] = 1;
    dvc.picture_buffer[5] = 0xFFFFFFFF;
    dvc.clock_45k = 77;
    dvc.clock_accumulator = 5;
    dvc.interval_count = 3;
    dvc.frame_rate = 30.0;
    dvc.playing = dvc.audio_started = dvc.dma_pending = true;
    dvc.demux.audio_stream = 2;
    dvc.demux.video_stream = 1;
    dvc.input = {1, 2, 3};
    dvc.audio_pairs.push_back({0.5f, 0.5f});
    dvc.video_decoder.emplace(std::vector<uint8_t>{1});
    dvc.decoded_count = dvc.frame_steps = 4;
    dvc.set_fmv(0x62, 0xFFFF);
    dvc.reset();
    EXPECT_TRUE(dvc.fitted());
    EXPECT_EQ(dvc.ram[5], 0);
    EXPECT_EQ(dvc.picture_dram[5], 0);
    EXPECT_EQ(dvc.picture_buffer[5], 0xFF000000u);
    EXPECT_EQ(dvc.clock_45k, 77u);
    EXPECT_EQ(dvc.clock_accumulator, 5u);
    EXPECT_EQ(dvc.interval_count, 3);
    EXPECT_DOUBLE_EQ(dvc.frame_rate, 30.0);
    EXPECT_TRUE(dvc.playing && dvc.audio_started && dvc.dma_pending);
    EXPECT_EQ(dvc.demux.audio_stream, 2);
    EXPECT_EQ(dvc.demux.video_stream, 1);
    EXPECT_TRUE(dvc.input.empty());
    EXPECT_TRUE(dvc.audio_pairs.empty());
    EXPECT_FALSE(dvc.video_decoder);
    EXPECT_EQ(dvc.decoded_count, 0u);
    EXPECT_EQ(dvc.frame_steps, 0u);
    EXPECT_EQ(dvc.fmv_word(0x62), 0);
    EXPECT_EQ(dvc.fmv_word(0x64), 0x0037);
}

class DvcRom : public ::testing::Test {
protected:
    std::filesystem::path write(const std::string& name, size_t size) {
        // Named per process: other test runs may share the temporary folder.
        const auto path = std::filesystem::path(::testing::TempDir()) / (std::to_string(::getpid()) + "_" + name);
        std::ofstream f(path, std::ios::binary);
        for (size_t i = 0; i < size; ++i) f.put(static_cast<char>(i * 7 + i / 256));
        return path;
    }
    LogCapture log;
};

TEST_F(DvcRom, ImageSizes) {
    Dvc dvc;
    ASSERT_TRUE(dvc.dvc_load_rom(write("half.rom", 131'072)));
    EXPECT_EQ((*dvc.rom)[0x1234], (*dvc.rom)[0x20000 + 0x1234]);
    EXPECT_EQ((*dvc.rom)[0x1FFFF], (*dvc.rom)[0x3FFFF]);
    EXPECT_TRUE(log.has("DVC ROM caricata (131072 byte)"));

    ASSERT_TRUE(dvc.dvc_load_rom(write("small.rom", 65'536)));
    EXPECT_EQ((*dvc.rom)[0xFFFF], static_cast<uint8_t>(0xFFFF * 7 + 0xFF));
    EXPECT_EQ((*dvc.rom)[0x10000], 0xFF);
    EXPECT_EQ((*dvc.rom)[0x3FFFF], 0xFF);

    ASSERT_TRUE(dvc.dvc_load_rom(write("big.rom", 300'000)));
    EXPECT_EQ(dvc.rom->size(), Dvc::kRomSize);
    EXPECT_TRUE(log.has("DVC ROM caricata (262144 byte)"));
}

TEST_F(DvcRom, MissingFileChangesNothing) {
    Dvc dvc;
    EXPECT_FALSE(dvc.dvc_load_rom(std::filesystem::path(::testing::TempDir()) / "no_such.rom"));
    EXPECT_FALSE(dvc.fitted());
    dvc.load_rom_image(std::vector<uint8_t>{1, 2});
    EXPECT_FALSE(dvc.dvc_load_rom("/"));  // a directory cannot be read as a file
    EXPECT_EQ((*dvc.rom)[1], 2);
}

}  // namespace
}  // namespace vestrel
