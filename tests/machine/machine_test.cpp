#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "machine/bus.hpp"

namespace vestrel {
namespace {

std::array<uint8_t, 4> status_packet(const Bus& bus) {
    const SlaveChannel& ch = bus.slave.channels[Slave::kStatusChannel];
    EXPECT_EQ(ch.response_length, 4u);
    return {ch.response[0], ch.response[1], ch.response[2], ch.response[3]};
}

std::filesystem::path write_iso(const char* name, size_t sectors) {
    const auto path = std::filesystem::temp_directory_path() / name;
    std::ofstream out(path, std::ios::binary);
    const std::vector<char> data(sectors * 2048, 0);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    return path;
}

TEST(MachineReset, MemoriesAndKeptState) {
    auto bus = std::make_unique<Bus>();
    const std::array<uint8_t, 10> image{0x00, 0x00, 0x10, 0x00, 0x00, 0x40, 0x00, 0x08, 0xEE, 0xEE};
    EXPECT_EQ(bus->load_system_rom(image), image.size());
    bus->mcd212.bank0[0x100] = 1;
    bus->mcd212.bank1[0x100] = 1;
    bus->ram[0x100] = 1;
    bus->nvram[5] = 0x77;
    bus->cdic.cdic_ram[3] = 9;
    bus->scc.lir = 0x80;
    bus->scc.t0 = 4;
    bus->scc.wait_tally = 9;
    bus->scc.wait_states_on = false;
    bus->dma[1].mar = 5;
    bus->frame_counter = 12;
    bus->mcd212.video_mode = VideoMode::Ntsc;
    bus->slave.video_mode = VideoMode::Ntsc;
    bus->reset_machine();

    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 8, bus->mcd212.bank0.begin()));
    EXPECT_TRUE(std::all_of(bus->mcd212.bank0.begin() + 8, bus->mcd212.bank0.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(bus->mcd212.bank1[0x100], 0);
    EXPECT_EQ(bus->ram[0x100], 0);
    EXPECT_EQ(bus->cdic.cdic_ram[3], 0);
    EXPECT_EQ(bus->nvram[5], 0x77);
    EXPECT_EQ(bus->rom[8], 0xEE);
    EXPECT_EQ(bus->scc.lir, 0);
    EXPECT_EQ(bus->scc.t0, 0);
    EXPECT_EQ(bus->scc.wait_tally, 0u);
    EXPECT_FALSE(bus->scc.wait_states_on);
    EXPECT_EQ(bus->dma[1].mar, 0u);
    EXPECT_EQ(bus->frame_counter, 12u);
    EXPECT_EQ(bus->mcd212.video_mode, VideoMode::Ntsc);
    EXPECT_EQ(bus->slave.video_mode, VideoMode::Ntsc);
    // No disc: the slave still reports, with IRQ2.
    EXPECT_EQ(status_packet(*bus), (std::array<uint8_t, 4>{0xB0, 0x00, 0x00, 0x15}));
    EXPECT_TRUE(bus->slave.irq2);
}

TEST(MachineReset, SystemRomOfAnySize) {
    auto bus = std::make_unique<Bus>();
    const std::vector<uint8_t> huge(Bus::kRomSize + 1000, 0x11);
    EXPECT_EQ(bus->load_system_rom(huge), Bus::kRomSize);
    const std::vector<uint8_t> tiny{0x12};
    EXPECT_EQ(bus->load_system_rom(tiny), 1u);
    EXPECT_EQ(bus->rom[0], 0x12);
    EXPECT_EQ(bus->rom[1], 0x11);
    const std::vector<uint8_t> nv(20000, 0x33);
    EXPECT_EQ(bus->load_nvram(nv), Bus::kNvramSize);
    bus->copy_reset_vectors();
    EXPECT_EQ(bus->mcd212.bank0[0], 0x12);
}

TEST(MachineDisc, InsertResetAndMissingFile) {
    auto bus = std::make_unique<Bus>();
    const auto path = write_iso("vestrel_machine_test.iso", 4);
    ASSERT_TRUE(bus->insert_disc(path).has_value());
    ASSERT_TRUE(bus->disc.has_value());
    EXPECT_EQ(bus->disc->total_sectors(), 4u);
    EXPECT_EQ(bus->slave.disc_state, DiscStatus::Inserted);
    EXPECT_EQ(status_packet(*bus), (std::array<uint8_t, 4>{0xB0, 0x00, 0x41, 0x15}));

    // A missing file leaves the previous disc in the slot.
    bus->slave.irq2 = false;
    const auto result = bus->insert_disc(std::filesystem::temp_directory_path() / "vestrel_no_such_disc.iso");
    EXPECT_FALSE(result.has_value());
    EXPECT_FALSE(result.error().message.empty());
    ASSERT_TRUE(bus->disc.has_value());
    EXPECT_EQ(bus->disc->total_sectors(), 4u);
    EXPECT_FALSE(bus->slave.irq2);

    bus->reset_machine();
    EXPECT_EQ(status_packet(*bus), (std::array<uint8_t, 4>{0xB0, 0x00, 0x41, 0x15}));
    EXPECT_TRUE(bus->slave.irq2);
    EXPECT_TRUE(bus->disc.has_value());
    std::filesystem::remove(path);
}

TEST(MachineScanline, LineZeroAndTheFrameCounter) {
    auto bus = std::make_unique<Bus>();
    EXPECT_TRUE(bus->step_scanline(0));
    EXPECT_EQ(bus->frame_counter, 1u);
    EXPECT_FALSE(bus->step_scanline(1));
    EXPECT_FALSE(bus->step_scanline(40));
    EXPECT_EQ(bus->frame_counter, 1u);
    EXPECT_TRUE(bus->step_scanline(0));
    EXPECT_EQ(bus->frame_counter, 2u);
}

TEST(MachineScanline, EdgeRuleAfterTheDisplayPrograms) {
    auto bus = std::make_unique<Bus>();
    // An ICA whose first instruction raises the channel-1 interrupt, from either entry point.
    bus->mcd212.dcr1 = 0x8200;
    for (uint32_t at : {0x400u, 0x404u}) {
        bus->mcd212.bank0[at] = 0x60;
        bus->mcd212.bank0[at + 4] = 0x00;  // stop
    }
    bus->step_scanline(0);
    EXPECT_TRUE(bus->mcd212.irq_request);
    EXPECT_NE(bus->mcd212.csr2r & 0x06, 0);
    // The bus's edge rule sets the latch; moving irq_request is the scheduler's job.
    EXPECT_EQ(bus->scc.lir & 0x80, 0x80);
}

TEST(MachineScanline, CartridgeAudioHandOffIsBounded) {
    auto bus = std::make_unique<Bus>();
    bus->cdic.audio_out.source_rate->store(0);
    bus->dvc.audio_pairs.assign(100, StereoPair{0.5f, -0.5f});
    bus->step_scanline(1);  // no cartridge: nothing moves
    EXPECT_EQ(bus->dvc.audio_pairs.size(), 100u);
    EXPECT_EQ(bus->cdic.audio_out.queue->size(), 0u);

    bus->dvc.rom = std::vector<uint8_t>(Dvc::kRomSize, 0);
    bus->step_scanline(1);
    EXPECT_TRUE(bus->dvc.audio_pairs.empty());
    EXPECT_EQ(bus->cdic.audio_out.queue->size(), 100u);
    EXPECT_EQ(bus->cdic.audio_out.source_rate->load(), kSourceRate);
    for (int i = 0; i < 20; ++i) {
        bus->dvc.audio_pairs.assign(4000, StereoPair{0.1f, 0.1f});
        bus->step_scanline(2);
    }
    EXPECT_EQ(bus->cdic.audio_out.queue->size(), kMaxQueuedPairs);
}

}  // namespace
}  // namespace vestrel
