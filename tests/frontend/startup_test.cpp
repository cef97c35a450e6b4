#include "frontend/startup.hpp"

#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/log.hpp"
#include "frontend/input.hpp"
#include "fake_console.hpp"
#include "../support/log_capture.hpp"

namespace vestrel {
namespace {

namespace fs = std::filesystem;
using testing::FakeConsole;
using testing::FakeUi;
using testing::StillClock;

void write_file(const fs::path& p, const std::vector<uint8_t>& bytes) {
    if (!p.parent_path().empty()) fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A ROM whose reset vectors are SP 0x00001000 and PC 0x00400008.
std::vector<uint8_t> test_rom(size_t size = 64) {
    std::vector<uint8_t> rom(size, 0x4E);
    const uint8_t vectors[8] = {0x00, 0x00, 0x10, 0x00, 0x00, 0x40, 0x00, 0x08};
    std::copy(std::begin(vectors), std::end(vectors), rom.begin());
    return rom;
}

// A scratch folder that is the working directory for the test's duration, two levels deep
// so "../" candidates stay inside it.
class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("vestrel_startup_" + std::to_string(::getpid()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        work_ = root_ / "run";
        fs::create_directories(work_);
        old_ = fs::current_path();
        fs::current_path(work_);
        log_capture(&lines_);
    }
    void TearDown() override {
        log_capture(nullptr);
        fs::current_path(old_);
        fs::remove_all(root_);
    }

    // The message part of each captured line ("[... INFO  vestrel] text" -> "text").
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const std::string& l : lines_) {
            const size_t end = l.find("] ");
            out.push_back(end == std::string::npos ? l : l.substr(end + 2));
        }
        return out;
    }
    bool logged(std::string_view text) const {
        for (const std::string& m : messages()) {
            if (m == text) return true;
        }
        return false;
    }

    fs::path root_, work_, old_;
    std::vector<std::string> lines_;
    FakeConsole console_;
    FakeUi ui_;
    StillClock clock_;
    LoopState state_;
    Frontend f_{state_, console_, ui_, clock_};
};

TEST_F(StartupTest, StandaloneStartLogsInOrder) {
    write_file("bios/cdi220b.rom", test_rom());
    ASSERT_TRUE(start_console(f_, std::nullopt));
    log_loop_started();
    const std::vector<std::string> expected = {
        "=== Vestrel - Philips CD-i Emulator ===",
        "Caricato BIOS da bios/cdi220b.rom",
        "Avvio console in modalità Standalone BIOS (nessun disco inserito) - Standard PAL 50 Hz",
        "CPU SCC68070 reimpostata - PC: 0x00400008",
        "Loop di emulazione avviato. Usa il menu o i tasti rapidi: [Ctrl+I] Inserisci Disco, "
        "[Ctrl+O] Apri e Riavvia, [F5] Reset, [F11] Schermo Intero, [Rotellina/Tasto Centrale] "
        "Cattura/Libera Mouse",
    };
    EXPECT_EQ(messages(), expected);
    EXPECT_EQ(state_.game_name, "Nessun disco (BIOS Standalone)");
    EXPECT_EQ(console_.mode, VideoMode::Pal);
    EXPECT_EQ(console_.fb.front(), kBlackPixel);
    EXPECT_EQ(console_.cpu_resets, 1);
    EXPECT_TRUE(lines_[0].find(" INFO  vestrel] ") != std::string::npos) << lines_[0];
}

TEST_F(StartupTest, RomFoundThroughEachFallback) {
    const std::vector<std::pair<fs::path, std::string>> cases = {
        {work_ / "bios/cdi220b.rom", "bios/cdi220b.rom"},
        {root_ / "bios/cdi220b.rom", "../bios/cdi220b.rom"},
        {work_ / "file utili/bios/cdi220b.rom", "file utili/bios/cdi220b.rom"},
        {root_ / "file utili/bios/cdi220b.rom", "../file utili/bios/cdi220b.rom"},
    };
    for (const auto& [where, found] : cases) {
        fs::remove_all(work_ / "bios");
        fs::remove_all(work_ / "file utili");
        fs::remove_all(root_ / "bios");
        fs::remove_all(root_ / "file utili");
        write_file(where, test_rom());
        EXPECT_EQ(find_resource_path("bios/cdi220b.rom"), fs::path(found)) << found;
    }
    // An earlier candidate wins over a later one.
    write_file(work_ / "bios/cdi220b.rom", test_rom());
    EXPECT_EQ(find_resource_path("bios/cdi220b.rom"), fs::path("bios/cdi220b.rom"));
    EXPECT_EQ(find_resource_path("nothing/here.rom"), std::nullopt);
    // An absolute path is its own only candidate.
    EXPECT_EQ(find_resource_path((work_ / "bios/cdi220b.rom").string()),
              work_ / "bios/cdi220b.rom");
}

TEST_F(StartupTest, MissingRomIsFatalAndNamesThePlacesSearched) {
    const auto result = start_console(f_, std::nullopt);
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().fatal);
    EXPECT_EQ(result.error().message, "BIOS cdi220b.rom non trovato");
    EXPECT_EQ(console_.cpu_resets, 0);
    // One line before the message, naming every place the lookup tried, from the working
    // directory (root_/run) up.
    const std::vector<std::string> m = messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0], "=== Vestrel - Philips CD-i Emulator ===");
    EXPECT_NE(lines_[1].find("ERROR vestrel] "), std::string::npos) << lines_[1];
    const std::string run = work_.string();
    const std::string up = root_.string();
    for (const std::string& place : {run + "/bios/cdi220b.rom", up + "/bios/cdi220b.rom",
                                     run + "/file utili/bios/cdi220b.rom",
                                     up + "/file utili/bios/cdi220b.rom"}) {
        EXPECT_NE(m[1].find(place), std::string::npos) << place << " missing from: " << m[1];
    }
}

// Fewer bytes than the two reset vectors is no ROM: refused like an unreadable file, so the
// CPU never starts from vectors that are not there.
TEST_F(StartupTest, RomShorterThanItsResetVectorsIsRefused) {
    for (const size_t size : {size_t{0}, size_t{1}, size_t{7}}) {
        write_file("bios/cdi220b.rom", std::vector<uint8_t>(size, 0x4E));
        const auto result = start_console(f_, std::nullopt);
        ASSERT_FALSE(result) << size;
        EXPECT_FALSE(result.error().fatal) << size;
        EXPECT_EQ(result.error().message.rfind("bios/cdi220b.rom: ", 0), 0u) << result.error().message;
        EXPECT_NE(result.error().message.find(std::to_string(size) + " byte"), std::string::npos)
            << result.error().message;
        EXPECT_EQ(console_.cpu_resets, 0) << size;
        EXPECT_FALSE(logged("Caricato BIOS da bios/cdi220b.rom")) << size;
    }
    write_file("bios/cdi220b.rom", std::vector<uint8_t>(test_rom(8)));
    EXPECT_TRUE(start_console(f_, std::nullopt));
    EXPECT_EQ(console_.pc(), 0x00400008u);
}

TEST_F(StartupTest, RomUnreadableIsAnErrorNotFatal) {
    fs::create_directories("bios/cdi220b.rom");  // a folder: found, but cannot be read
    const auto result = start_console(f_, std::nullopt);
    ASSERT_FALSE(result);
    EXPECT_FALSE(result.error().fatal);
    EXPECT_EQ(result.error().message, "bios/cdi220b.rom: Is a directory (os error 21)");
}

TEST_F(StartupTest, OversizedRomAndNvramAreCut) {
    write_file("bios/cdi220b.rom", test_rom(600'000));
    write_file("bios/nvram_mk48t08.bin", std::vector<uint8_t>(10'000, 0xAB));
    ASSERT_TRUE(start_console(f_, std::nullopt));
    EXPECT_EQ(console_.rom.size(), kSystemRomMaxBytes);
    EXPECT_EQ(console_.nvram.size(), kNvramBytes);
    EXPECT_TRUE(logged("Caricato NVRAM da bios/nvram_mk48t08.bin"));
}

TEST_F(StartupTest, UnreadableNvramWarnsInsteadOfClaimingSuccess) {
    write_file("bios/cdi220b.rom", test_rom());
    fs::create_directories("bios/nvram_mk48t08.bin");
    ASSERT_TRUE(start_console(f_, std::nullopt));
    EXPECT_FALSE(logged("Caricato NVRAM da bios/nvram_mk48t08.bin"));
    bool warned = false;
    for (const std::string& l : lines_) {
        warned |= l.find("WARN") != std::string::npos && l.find("NVRAM") != std::string::npos;
    }
    EXPECT_TRUE(warned);
    EXPECT_TRUE(console_.nvram.empty());
}

TEST_F(StartupTest, DiscOnTheCommandLine) {
    write_file("bios/cdi220b.rom", test_rom());
    write_file("../games/Hotel (us).bin", {1, 2, 3});
    ASSERT_TRUE(start_console(f_, std::string("games/Hotel (us).bin")));
    ASSERT_EQ(console_.inserted.size(), 1u);
    EXPECT_EQ(console_.inserted[0], fs::path("../games/Hotel (us).bin"));
    EXPECT_EQ(state_.game_name, "Hotel (us)");
    EXPECT_EQ(console_.mode, VideoMode::Ntsc);
    EXPECT_EQ(console_.slave_.video_mode, VideoMode::Ntsc);
    EXPECT_TRUE(logged("Caricato disco di gioco all'avvio: Hotel (us)"));
    EXPECT_TRUE(logged("Rilevata immagine disco USA/Giappone: console impostata a NTSC 60 Hz"));
    EXPECT_FALSE(console_.dvc);
}

TEST_F(StartupTest, DiscThatFailsOrIsMissing) {
    write_file("bios/cdi220b.rom", test_rom());
    write_file("broken.iso", {1});
    console_.fail_insert = true;
    ASSERT_TRUE(start_console(f_, std::string("broken.iso")));
    EXPECT_TRUE(logged("Errore caricamento disco di gioco da broken.iso: Os { code: 2 }"));
    EXPECT_EQ(state_.game_name, "Nessun disco (BIOS Standalone)");
    EXPECT_EQ(console_.fills, 0);  // the picture is left as it was

    // A path that names nothing: no disc, and one warning that names it.
    lines_.clear();
    console_.inserted.clear();
    ASSERT_TRUE(start_console(f_, std::string("not-there.iso")));
    EXPECT_TRUE(console_.inserted.empty());
    EXPECT_EQ(state_.game_name, "Nessun disco (BIOS Standalone)");
    EXPECT_EQ(console_.mode, VideoMode::Pal);
    EXPECT_TRUE(logged("Avvio console in modalità Standalone BIOS (nessun disco inserito) - Standard "
                       "PAL 50 Hz"));
    size_t warnings = 0;
    for (const std::string& l : lines_) {
        if (l.find("WARN  vestrel] ") == std::string::npos) continue;
        ++warnings;
        EXPECT_NE(l.find("not-there.iso"), std::string::npos) << l;
    }
    EXPECT_EQ(warnings, 1u);
}

TEST_F(StartupTest, DvcTitleGetsTheCartridgeRomWhenThere) {
    write_file("bios/cdi220b.rom", test_rom());
    write_file("Mad Dog McCree.chd", {1});
    ASSERT_TRUE(start_console(f_, std::string("Mad Dog McCree.chd")));
    EXPECT_FALSE(console_.dvc);  // no dvc/vmpega.rom: the disc loads anyway
    write_file("dvc/vmpega.rom", {1, 2});
    ASSERT_TRUE(start_console(f_, std::string("Mad Dog McCree.chd")));
    EXPECT_TRUE(console_.dvc);
    EXPECT_TRUE(logged("Caricata estensione Digital Video Cartridge (DVC) da dvc/vmpega.rom"));
}

TEST(StartupText, CommandLineArgument) {
    const auto arg = [](std::vector<const char*> argv) {
        return disc_argument(static_cast<int>(argv.size()), argv.data());
    };
    EXPECT_EQ(arg({"vestrel"}), std::nullopt);
    EXPECT_EQ(arg({"vestrel", "--bios"}), std::nullopt);
    EXPECT_EQ(arg({"vestrel", "--standalone", "x.iso"}), std::nullopt);
    EXPECT_EQ(arg({"vestrel", "--BIOS"}), std::optional<std::string>("--BIOS"));
    EXPECT_EQ(arg({"vestrel", "a.chd", "b.chd"}), std::optional<std::string>("a.chd"));
}

TEST(StartupText, TitlesThatNeedTheCartridge) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"Dragon's Lair", true},   {"the 7th guest", true},  {"Lost Eden", true},
        {"mad dog II", true},      {"Space Ace", true},      {"Brain Dead 13", true},
        {"Top Gun VCD", true},     {"mpeg demo", true},      {"Digital Video Sampler", true},
        {"Hotel Mario", false},    {"MadDog", false},        {"", false},
    };
    for (const auto& [name, needs] : cases) EXPECT_EQ(title_needs_dvc(name), needs) << name;
}

TEST(StartupText, VideoStandardFromThePath) {
    const std::vector<std::pair<std::string, VideoMode>> cases = {
        {"games/Hotel Mario (Europe).chd", VideoMode::Pal},
        {"games/Zelda (us).chd", VideoMode::Ntsc},
        // Only the image's own name counts: the folders above it are the person's.
        {"usa-discs/Burn Cycle (Europe).chd", VideoMode::Pal},
        {"/home/susan/Demo Disc (Europe).bin", VideoMode::Pal},
        {"/home/susan/Demo Disc (USA).bin", VideoMode::Ntsc},
        {"/mnt/NTSC/japan/Europe.cue", VideoMode::Pal},
        {"x/Japan Only.iso", VideoMode::Ntsc},
        {"x/ntsc.bin", VideoMode::Ntsc},
        {"x/Russia.bin", VideoMode::Pal},  // "US" alone is no marker
        {"x/\xff\xfeusa.bin", VideoMode::Ntsc},
    };
    for (const auto& [path, mode] : cases) EXPECT_EQ(video_mode_for_path(path), mode) << path;
}

TEST(StartupText, GameNamesAndLossyText) {
    EXPECT_EQ(game_name_for_path("dir/Hotel Mario.chd"), "Hotel Mario");
    EXPECT_EQ(game_name_for_path("dir/archive.tar.gz"), "archive.tar");
    EXPECT_EQ(game_name_for_path("dir/"), "Gioco CD-i");
    EXPECT_EQ(game_name_for_path("dir/Caf\xe9.iso"), "Caf\xEF\xBF\xBD");
    EXPECT_EQ(lossy_utf8("\xC3\xA8"), "\xC3\xA8");
    EXPECT_EQ(lossy_utf8("a\xE2\x82"), "a\xEF\xBF\xBD");         // cut sequence: one mark
    EXPECT_EQ(lossy_utf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
    EXPECT_EQ(lossy_utf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong
}

TEST(CommandQueueTest, FirstInFirstOutAndEmpty) {
    CommandQueue q;
    EXPECT_EQ(q.pop().tag, CommandTag::None);
    q.push(Command::make(CommandTag::Reset));
    q.push(Command::with_path(CommandTag::InsertDisc, "a.chd"));
    q.push(Command::make(CommandTag::SetVideoMode, 1));
    EXPECT_EQ(q.pop().tag, CommandTag::Reset);
    const Command c = q.pop();
    EXPECT_EQ(c.tag, CommandTag::InsertDisc);
    EXPECT_EQ(c.path, fs::path("a.chd"));
    EXPECT_EQ(q.pop().payload, 1);
    EXPECT_EQ(static_cast<uint8_t>(q.pop().tag), 255);
}

// The command handling, on a console that has started.
class CommandTest : public StartupTest {
protected:
    void SetUp() override {
        StartupTest::SetUp();
        write_file("bios/cdi220b.rom", test_rom());
        ASSERT_TRUE(start_console(f_, std::nullopt));
        lines_.clear();
        console_.cpu_resets = 0;
    }
    bool run(std::vector<Command> commands) {
        for (Command& c : commands) queue_.push(std::move(c));
        return drain_commands(f_, queue_);
    }
    CommandQueue queue_;
};

TEST_F(CommandTest, ExitStopsTheQueueAtOnce) {
    EXPECT_FALSE(run({Command::make(CommandTag::Exit), Command::make(CommandTag::Reset)}));
    EXPECT_EQ(console_.machine_resets, 0);
    EXPECT_TRUE(logged("Uscita richiesta dal menu File"));
    EXPECT_EQ(queue_.pop().tag, CommandTag::Reset);  // left queued, never carried out
}

TEST_F(CommandTest, VolumeStaysWithinBounds) {
    console_.vol = 1.98f;
    run({Command::make(CommandTag::VolumeUp)});
    EXPECT_FLOAT_EQ(console_.vol, 2.0f);
    console_.vol = 0.03f;
    run({Command::make(CommandTag::VolumeDown)});
    EXPECT_FLOAT_EQ(console_.vol, 0.0f);
    console_.vol = 1.0f;
    run({Command::make(CommandTag::VolumeUp), Command::make(CommandTag::VolumeUp)});
    EXPECT_FLOAT_EQ(console_.vol, 1.1f);
}

TEST_F(CommandTest, ResetRestartsConsoleAndLoopState) {
    state_.frame_counter = 77;
    state_.instructions_executed = 5000;
    state_.auto_boot_counter = 9;
    state_.auto_boot_done = true;
    state_.mouse_captured = false;
    state_.pointer_x = 3;
    console_.waits = false;
    console_.sectors_read = 1234;
    clock_.t += std::chrono::seconds(3);
    run({Command::make(CommandTag::Reset)});
    EXPECT_EQ(console_.machine_resets, 1);
    EXPECT_EQ(console_.cpu_resets, 1);
    EXPECT_TRUE(console_.waits);
    EXPECT_EQ(state_.frame_counter, 0u);
    EXPECT_EQ(state_.instructions_executed, 5000u);  // never reset
    EXPECT_EQ(state_.auto_boot_counter, 0u);
    EXPECT_FALSE(state_.auto_boot_done);
    EXPECT_TRUE(state_.mouse_captured);
    EXPECT_EQ(state_.pointer_x, 575);
    EXPECT_EQ(state_.pointer_y, 335);
    EXPECT_EQ(state_.telemetry.next_deadline, clock_.t);
    EXPECT_EQ(state_.telemetry.stats_instant, clock_.t);
    EXPECT_EQ(state_.telemetry.last_cd_sectors, 1234u);
    EXPECT_TRUE(logged("Riavvio dell'emulatore (Reset)"));
}

TEST_F(CommandTest, VideoModeSwitchWithoutReset) {
    console_.fb.assign(kScreenPixels, 0xFF123456);
    run({Command::make(CommandTag::SetVideoMode, static_cast<uint8_t>(VideoMode::Ntsc))});
    EXPECT_EQ(console_.mode, VideoMode::Ntsc);
    EXPECT_EQ(console_.slave_.video_mode, VideoMode::Ntsc);
    EXPECT_EQ(console_.fb[1000], kBlackPixel);
    EXPECT_EQ(ui_.checks[menu_id::kPal], false);
    EXPECT_EQ(ui_.checks[menu_id::kNtsc], true);
    EXPECT_EQ(console_.machine_resets, 0);
    EXPECT_TRUE(logged("Modalità video impostata a: Ntsc"));
    // A payload outside the enum changes nothing.
    run({Command::make(CommandTag::SetVideoMode, 7)});
    EXPECT_EQ(console_.mode, VideoMode::Ntsc);
}

TEST_F(CommandTest, EjectKeepsTheFrameCounterAndNextInsertResets) {
    write_file("Hotel Mario.chd", {1});
    run({Command::with_path(CommandTag::InsertDisc, "Hotel Mario.chd")});
    EXPECT_EQ(state_.game_name, "Hotel Mario");
    EXPECT_EQ(console_.machine_resets, 1);
    state_.frame_counter = 300;
    state_.auto_boot_done = true;
    state_.auto_boot_counter = 200;
    run({Command::make(CommandTag::EjectDisc)});
    EXPECT_EQ(state_.frame_counter, 300u);
    EXPECT_EQ(console_.machine_resets, 1);
    EXPECT_EQ(console_.cpu_resets, 1);
    EXPECT_EQ(state_.game_name, "Nessun disco (BIOS Standalone)");
    EXPECT_FALSE(state_.auto_boot_done);
    EXPECT_EQ(state_.auto_boot_counter, 0u);
    const SlaveChannel& ch3 = console_.slave_.channels[Slave::kStatusChannel];
    EXPECT_EQ(ch3.response_length, 4u);
    EXPECT_EQ(ch3.response[0], 0xB0);
    EXPECT_EQ(ch3.response[2], 0x00);
    EXPECT_EQ(ch3.response[3], 0x15);
    EXPECT_TRUE(logged("Espulsione disco dal lettore CD-i"));
    run({Command::with_path(CommandTag::OpenDiscAndReset, "Hotel Mario.chd")});
    EXPECT_EQ(console_.machine_resets, 2);
    EXPECT_EQ(state_.frame_counter, 0u);
}

TEST_F(CommandTest, DiscLoadLogsAndCartridgeRules) {
    console_.dvc = true;
    run({Command::with_path(CommandTag::OpenDiscAndReset, "games/Hotel Mario.chd")});
    EXPECT_TRUE(logged("Caricamento disco di gioco: games/Hotel Mario.chd"));
    EXPECT_TRUE(logged("Gioco caricato con successo: Hotel Mario"));
    EXPECT_TRUE(logged("Rilevata immagine disco PAL (Europa): 50 Hz / 312 linee"));
    EXPECT_FALSE(console_.dvc);  // a title without video: the cartridge is taken out
    EXPECT_EQ(ui_.checks[menu_id::kPal], true);

    console_.dvc = true;
    run({Command::with_path(CommandTag::InsertDisc, "Space Ace.chd")});
    EXPECT_TRUE(console_.dvc);  // needs the cartridge, no ROM found: kept as it was
    EXPECT_EQ(console_.dvc_removals, 1);

    console_.fail_insert = true;
    const int resets = console_.machine_resets;
    run({Command::with_path(CommandTag::InsertDisc, "bad.iso")});
    EXPECT_TRUE(logged("Impossibile caricare il gioco bad.iso: Os { code: 2 }"));
    EXPECT_EQ(console_.machine_resets, resets);
    EXPECT_EQ(state_.game_name, "Space Ace");
}

TEST_F(CommandTest, TogglesAndTheirMarks) {
    run({Command::make(CommandTag::ToggleWaitStates)});
    EXPECT_FALSE(console_.waits);
    EXPECT_EQ(ui_.checks[menu_id::kWaitStates], false);
    EXPECT_TRUE(logged("Velocità Hardware Reale CD-i (Wait-States): DISABILITATA (Turbo Zero-Wait)"));
    run({Command::make(CommandTag::ToggleWaitStates)});
    EXPECT_TRUE(logged("Velocità Hardware Reale CD-i (Wait-States): ABILITATA (Authentic CD-i 220)"));

    run({Command::make(CommandTag::SetPointerDevice, static_cast<uint8_t>(PointerDevice::Mouse))});
    EXPECT_EQ(state_.pointer_device, PointerDevice::Mouse);
    EXPECT_EQ(ui_.checks[menu_id::kPointerMouse], true);
    EXPECT_EQ(ui_.checks[menu_id::kPointerGamepad], false);
    EXPECT_TRUE(logged("Dispositivo di puntamento/controllo impostato a: Mouse"));

    run({Command::make(CommandTag::ToggleMouseCapture), Command::make(CommandTag::ToggleMute)});
    EXPECT_FALSE(state_.mouse_captured);
    EXPECT_TRUE(console_.mute);
    EXPECT_TRUE(logged("Mouse capture: LIBERO"));
    EXPECT_TRUE(logged("Audio: MUTED"));

    run({Command::make(CommandTag::ToggleFullscreen), Command::make(CommandTag::ToggleFullscreen)});
    EXPECT_TRUE(logged("Schermo intero: SCHERMO INTERO (4:3)"));
    EXPECT_TRUE(logged("Schermo intero: FINESTRA"));
    EXPECT_FALSE(ui_.maximized);
    ui_.window = false;
    lines_.clear();
    run({Command::make(CommandTag::ToggleFullscreen)});
    EXPECT_TRUE(lines_.empty());

    run({Command::make(CommandTag::ShowHelp), Command::make(CommandTag::ShowAbout)});
    EXPECT_EQ(ui_.helps, 1);
    EXPECT_EQ(ui_.abouts, 1);
}

TEST_F(CommandTest, MarksShowTheStateAfterEveryCommandThatChangesIt) {
    write_file("Hotel Mario (USA).chd", {1});
    run({Command::make(CommandTag::ToggleWaitStates)});
    EXPECT_EQ(ui_.checks[menu_id::kWaitStates], false);
    run({Command::make(CommandTag::Reset)});  // F5 and the File menu's reset
    EXPECT_TRUE(console_.waits);
    EXPECT_EQ(ui_.checks[menu_id::kWaitStates], true);

    run({Command::make(CommandTag::ToggleWaitStates)});
    run({Command::with_path(CommandTag::OpenDiscAndReset, "Hotel Mario (USA).chd")});
    EXPECT_EQ(ui_.checks[menu_id::kWaitStates], true);
    EXPECT_EQ(ui_.checks[menu_id::kNtsc], true);
    EXPECT_EQ(ui_.checks[menu_id::kPal], false);

    // The file changed behind the program's back: reloading it moves the profile marks.
    std::ofstream(fs::path(kControlsFileName)) << "profile=Numpad\n";
    run({Command::make(CommandTag::ReloadControls)});
    EXPECT_EQ(ui_.checks[menu_id::kProfileNumpad], true);
    EXPECT_EQ(ui_.checks[menu_id::kProfileStandard], false);
}

TEST_F(CommandTest, ProfileCommandsWriteTheFileAndMarks) {
    run({Command::make(CommandTag::SetControlProfile, static_cast<uint8_t>(ControlProfile::Wasd))});
    EXPECT_EQ(state_.controls.up, Key::W);
    EXPECT_EQ(ui_.checks[menu_id::kProfileWasd], true);
    EXPECT_EQ(ui_.checks[menu_id::kProfileStandard], false);
    EXPECT_TRUE(logged("Profilo comandi aggiornato a: Wasd"));
    std::ifstream in{fs::path(kControlsFileName)};
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("profile=WASD"), std::string::npos) << text;

    run({Command::make(CommandTag::SetControlProfile, static_cast<uint8_t>(ControlProfile::Custom))});
    EXPECT_EQ(state_.controls.up, Key::W);  // custom keeps the keys

    run({Command::make(CommandTag::ReloadControls)});
    EXPECT_TRUE(logged("Comandi ricaricati da file INI. Profilo: Custom"));
    EXPECT_EQ(ui_.checks[menu_id::kProfileCustom], true);
}

TEST_F(CommandTest, ScreenshotCommandWritesTheFrame) {
    state_.frame_counter = 1234;
    run({Command::make(CommandTag::SaveScreenshot)});
    const fs::path shot = "screenshots_hotel_mario/screenshot_frame_1234.bmp";
    ASSERT_TRUE(fs::exists(shot));
    EXPECT_EQ(fs::file_size(shot), kBmpFileSize);
}

}  // namespace
}  // namespace vestrel

namespace vestrel {
namespace {

class FakeWindowFrameIo final : public WindowFrameIo {
public:
    bool is_open() const override { return open; }
    const InputSnapshot& input() override { return snapshot; }
    void present(std::span<const uint32_t> fb) override {
        ++presents;
        last_size = fb.size();
    }
    bool open = true;
    InputSnapshot snapshot;
    int presents = 0;
    size_t last_size = 0;
};

class FrameLoopTest : public ::testing::Test {
protected:
    void SetUp() override { telemetry_start(state_.telemetry, clock_.now(), {}); }
    LoopState state_;
    FakeConsole console_;
    FakeUi ui_;
    StillClock clock_;
    Frontend f_{state_, console_, ui_, clock_};
    FakeWindowFrameIo host_;
    CommandQueue queue_;
};

TEST_F(FrameLoopTest, FramesCountPresentAndRetitleEveryInterval) {
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(run_host_frame(f_, host_, queue_));
    EXPECT_EQ(console_.frames_run, 50);
    EXPECT_EQ(host_.presents, 50);
    EXPECT_EQ(host_.last_size, kScreenPixels);
    EXPECT_EQ(state_.frame_counter, 50u);
    EXPECT_EQ(state_.instructions_executed, 50'000u);
    ASSERT_EQ(ui_.titles.size(), 2u);  // at frames 25 and 50
    EXPECT_EQ(ui_.titles[1].rfind("Vestrel \u2013 Nessun disco (BIOS Standalone) | 100% (50.0 FPS "
                                  "50Hz (PAL))",
                                  0),
              0u)
        << ui_.titles[1];
    // Paced to the grid: the first frame's deadline is the start, then one period per frame.
    EXPECT_EQ(clock_.t - Instant{std::chrono::seconds(100)}, std::chrono::milliseconds(49 * 20));
}

TEST_F(FrameLoopTest, EscapeClosedWindowAndExitEndTheLoopBeforeTheFrame) {
    host_.snapshot.focused = true;
    host_.snapshot.press(Key::Escape);
    EXPECT_FALSE(run_host_frame(f_, host_, queue_));
    host_.snapshot = {};
    host_.open = false;
    EXPECT_FALSE(run_host_frame(f_, host_, queue_));
    host_.open = true;
    queue_.push(Command::make(CommandTag::Exit));
    EXPECT_FALSE(run_host_frame(f_, host_, queue_));
    EXPECT_EQ(console_.frames_run, 0);
}

TEST_F(FrameLoopTest, AHaltedCpuIsReportedOncePerReset) {
    LogCapture log;
    const std::string line = "CPU bloccata da un doppio errore (bus o indirizzo durante un'eccezione) - PC: 0x00400010";
    run_host_frame(f_, host_, queue_);
    EXPECT_FALSE(log.has(line));
    console_.halt_pc = 0x00400010;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(run_host_frame(f_, host_, queue_));
    EXPECT_EQ(log.count_containing(line), 1u);
    // A reset that halts again is a new failure, said again.
    queue_.push(Command::make(CommandTag::Reset));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(run_host_frame(f_, host_, queue_));
    EXPECT_EQ(log.count_containing(line), 2u);
}

TEST_F(FrameLoopTest, MarksFollowF5AndTheAutoBootHandOff) {
    run_host_frame(f_, host_, queue_);
    EXPECT_EQ(ui_.checks[menu_id::kWaitStates], true);  // every mark is set on the first frame
    EXPECT_EQ(ui_.checks[menu_id::kPal], true);
    EXPECT_EQ(ui_.checks[menu_id::kPointerGamepad], true);
    EXPECT_EQ(ui_.checks[menu_id::kProfileStandard], true);

    queue_.push(Command::make(CommandTag::ToggleWaitStates));
    run_host_frame(f_, host_, queue_);
    EXPECT_EQ(ui_.checks[menu_id::kWaitStates], false);
    host_.snapshot.focused = true;
    host_.snapshot.press(Key::F5);
    run_host_frame(f_, host_, queue_);  // queues the reset
    host_.snapshot = {};
    run_host_frame(f_, host_, queue_);  // carries it out
    EXPECT_EQ(console_.machine_resets, 1);
    EXPECT_EQ(ui_.checks[menu_id::kWaitStates], true);

    // The hand-off to the disc's program switches the wait states back on.
    queue_.push(Command::make(CommandTag::ToggleWaitStates));
    run_host_frame(f_, host_, queue_);
    EXPECT_EQ(ui_.checks[menu_id::kWaitStates], false);
    console_.disc = true;
    console_.pc_ = 0x20000;
    state_.frame_counter = 260;
    run_host_frame(f_, host_, queue_);
    EXPECT_TRUE(state_.auto_boot_done);
    EXPECT_EQ(ui_.checks[menu_id::kWaitStates], true);
}

TEST_F(FrameLoopTest, ADialogIsNoSlowFrame) {
    std::vector<std::string> lines;
    log_capture(&lines);
    ui_.clock = &clock_;
    ui_.dialog_length = std::chrono::seconds(1);
    for (int i = 0; i < 110; ++i) run_host_frame(f_, host_, queue_);
    queue_.push(Command::make(CommandTag::ShowHelp));
    run_host_frame(f_, host_, queue_);
    // The frame the dialog interrupted still waits out its period, counted from the dialog's end.
    EXPECT_EQ(state_.telemetry.next_deadline, clock_.t + std::chrono::milliseconds(20));
    for (int i = 0; i < 39; ++i) run_host_frame(f_, host_, queue_);
    log_capture(nullptr);
    EXPECT_EQ(ui_.helps, 1);
    for (const std::string& l : lines) {
        EXPECT_EQ(l.find("TELEMETRIA ANOMALIA"), std::string::npos) << l;
    }
    ASSERT_EQ(ui_.titles.size(), 6u);  // at frames 25, 50, ..., 150
    EXPECT_NE(ui_.titles[4].find("| 100% (50.0 FPS 50Hz (PAL))"), std::string::npos)
        << ui_.titles[4];
}

TEST_F(FrameLoopTest, CommandsComeFirstAndAutoBootOnlyWithADisc) {
    console_.set_long(0x5172, 2);
    run_host_frame(f_, host_, queue_);
    EXPECT_TRUE(console_.reads.empty());  // no disc: no auto-boot step
    queue_.push(Command::with_path(CommandTag::InsertDisc, "game.chd"));
    run_host_frame(f_, host_, queue_);
    EXPECT_EQ(console_.machine_resets, 1);
    EXPECT_EQ(state_.auto_boot_counter, 1u);  // the step ran after the load's reset
    EXPECT_EQ(state_.frame_counter, 1u);
}

}  // namespace
}  // namespace vestrel
