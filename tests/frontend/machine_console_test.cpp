#include "frontend/machine_console.hpp"

#include <unistd.h>

#include <fstream>
#include <vector>

#include <gtest/gtest.h>

#include "common/log.hpp"
#include "fake_console.hpp"

namespace vestrel {
namespace {

namespace fs = std::filesystem;

TEST(MachineConsoleTest, StartUpLoadsTheRomAndItsVectors) {
    MachineConsole console;
    std::vector<uint8_t> rom(600'000, 0x4E);
    const uint8_t vectors[8] = {0x00, 0x00, 0x10, 0x00, 0x00, 0x40, 0x00, 0x08};
    std::copy(std::begin(vectors), std::end(vectors), rom.begin());
    console.load_system_rom(rom);
    EXPECT_EQ(console.read_word(0), 0x0000);  // the vectors reached RAM
    EXPECT_EQ(console.read_word(2), 0x1000);
    console.reset_cpu();
    EXPECT_EQ(console.pc(), 0x00400008u);
    EXPECT_EQ(console.read_word(0x47FFFE), 0x4E4E);  // 512 KB taken, the rest dropped
}

TEST(MachineConsoleTest, VideoModeFrameBufferAndPlanes) {
    MachineConsole console;
    console.set_video_mode(VideoMode::Ntsc);
    EXPECT_EQ(console.bus().mcd212.video_mode, VideoMode::Ntsc);
    EXPECT_EQ(console.slave().video_mode, VideoMode::Ntsc);
    console.fill_frame_buffer(kBlackPixel);
    ASSERT_EQ(console.frame_buffer().size(), kScreenPixels);
    EXPECT_EQ(console.frame_buffer()[12345], kBlackPixel);
    console.bus().mcd212.dcr2 = 0x0005;
    console.bus().mcd212.vsr2 = 0x1234;
    EXPECT_EQ(console.plane_starts()[1], 0x00051234u);
}

TEST(MachineConsoleTest, CartridgeRomLoadAndRemoval) {
    const fs::path dir = fs::temp_directory_path() / ("vestrel_mc_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path half = dir / "half.rom";
    {
        std::vector<char> bytes(Dvc::kRomSize / 2, 0x11);
        bytes[0] = 0x22;
        std::ofstream(half, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    MachineConsole console;
    EXPECT_FALSE(console.dvc_fitted());
    EXPECT_FALSE(console.load_dvc_rom(dir / "missing.rom"));
    EXPECT_FALSE(console.dvc_fitted());
    ASSERT_TRUE(console.load_dvc_rom(half));
    ASSERT_TRUE(console.dvc_fitted());
    const auto& rom = *console.bus().dvc.rom;
    ASSERT_EQ(rom.size(), Dvc::kRomSize);
    EXPECT_EQ(rom[Dvc::kRomSize / 2], 0x22);  // a half-size image is mirrored
    console.remove_dvc();
    EXPECT_FALSE(console.dvc_fitted());
    fs::remove_all(dir);
}

TEST(MachineConsoleTest, EjectTellsTheSlaveAndEmptiesTheSlot) {
    MachineConsole console;
    console.slave().set_disc_inserted(true);
    console.eject_disc();
    EXPECT_FALSE(console.disc_in_slot());
    const SlaveChannel& ch3 = console.slave().channels[Slave::kStatusChannel];
    EXPECT_EQ(ch3.response[0], 0xB0);
    EXPECT_EQ(ch3.response[2], 0x00);
    EXPECT_TRUE(console.slave().irq2);
    EXPECT_FALSE(console.insert_disc("/nonexistent/disc.iso"));
    EXPECT_FALSE(console.disc_in_slot());
}

// The menu's sound and speed commands, carried out on the real machine.
TEST(MachineConsoleTest, SoundAndWaitStateCommandsActOnTheMachine) {
    MachineConsole console;
    LoopState state;
    testing::FakeUi ui;
    testing::StillClock clock;
    Frontend f{state, console, ui, clock};
    const AudioOutput& audio = console.bus().cdic.audio_out;
    console.set_volume(1.0f);

    execute_command(f, Command::make(CommandTag::ToggleMute));
    EXPECT_TRUE(audio.muted);
    execute_command(f, Command::make(CommandTag::VolumeUp));
    execute_command(f, Command::make(CommandTag::VolumeUp));
    EXPECT_FLOAT_EQ(audio.volume, 1.1f);
    execute_command(f, Command::make(CommandTag::ToggleMute));
    execute_command(f, Command::make(CommandTag::VolumeDown));
    EXPECT_FALSE(audio.muted);
    EXPECT_FLOAT_EQ(audio.volume, 1.05f);

    execute_command(f, Command::make(CommandTag::ToggleWaitStates));
    EXPECT_FALSE(console.bus().scc.wait_states_on);
    EXPECT_EQ(ui.checks[menu_id::kWaitStates], false);
    // A reset puts them back on, on the machine and in the menu.
    execute_command(f, Command::make(CommandTag::Reset));
    EXPECT_TRUE(console.bus().scc.wait_states_on);
    EXPECT_EQ(ui.checks[menu_id::kWaitStates], true);
}

}  // namespace
}  // namespace vestrel
