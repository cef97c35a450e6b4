#include "frontend/controls.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../support/child_run.hpp"
#include "common/log.hpp"

namespace vestrel {
namespace {

namespace fs = std::filesystem;

std::string file_text(std::string_view profile, std::string_view up, std::string_view down,
                      std::string_view left, std::string_view right, std::string_view btn1,
                      std::string_view btn2) {
    return fmt::format(
        "# Configurazione Comandi Vestrel\n# Profilo: Standard | WASD | Numpad | Custom\nprofile={}\n\n"
        "# Tasti personalizzati (attivi con profile=Custom o come override):\n"
        "up={}\ndown={}\nleft={}\nright={}\nbtn1={}\nbtn2={}\n",
        profile, up, down, left, right, btn1, btn2);
}

// The warning lines in a child's log output.
std::vector<std::string> warnings_in(std::string_view output) {
    std::vector<std::string> lines;
    while (!output.empty()) {
        const size_t eol = output.find('\n');
        const std::string_view line = output.substr(0, eol);
        if (line.find("WARN ") != std::string_view::npos) lines.emplace_back(line);
        output = eol == std::string_view::npos ? std::string_view{} : output.substr(eol + 1);
    }
    return lines;
}

// Runs a controls call in a child under `limits` and gives back its log.
ChildResult run_logged(const ChildLimits& limits, const std::function<void(Controls&)>& call) {
    return run_in_child(limits, [&] {
        std::vector<std::string> lines;
        log_capture(&lines);
        Controls controls;
        call(controls);
        log_capture(nullptr);
        std::string out;
        for (const auto& l : lines) out += l + "\n";
        return out;
    });
}

const std::string kDefaultFile = file_text("Standard", "Up", "Down", "Left", "Right", "Z", "X");
const std::string kWasdFile = file_text("WASD", "W", "S", "A", "D", "J", "K");

class ControlsFile : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               fmt::format("vestrel_controls_{}_{}", ::getpid(),
                           testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = dir_ / "vestrel_controls.ini";
        log_set_filter(LogFilter::parse("info"));
        log_capture(&log_);
    }
    void TearDown() override {
        log_capture(nullptr);
        log_set_filter(LogFilter::parse(""));
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, ec);
        fs::remove_all(dir_);
    }
    void write(std::string_view text) {
        std::ofstream(path_, std::ios::binary) << text;
    }
    std::string read() const {
        std::ifstream in(path_, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    }
    fs::path dir_, path_;
    std::vector<std::string> log_;
};

TEST_F(ControlsFile, MissingFileIsWrittenWithTheDefaultsSilently) {
    Controls c;
    load_controls(c, path_);
    EXPECT_EQ(c, Controls{});
    EXPECT_EQ(read(), kDefaultFile);
    EXPECT_TRUE(log_.empty());
}

TEST_F(ControlsFile, TextsInAndOut) {
    const Controls standard{};
    Controls custom_start{ControlProfile::Custom, Key::I, Key::K, Key::J, Key::L, Key::Space, Key::Tab};
    const std::string custom_start_file = file_text("Custom", "I", "K", "J", "L", "Space", "Tab");
    struct Case {
        const char* name;
        Controls before;
        std::string in;
        Controls after;
        std::string out;  // the file afterwards
        bool logged;
    };
    const Case cases[] = {
        {"the default file reads back and is rewritten unchanged", standard, kDefaultFile, standard,
         kDefaultFile, false},
        {"custom with one key", standard, "profile=Custom\nbtn1=Space\n",
         {ControlProfile::Custom, Key::Up, Key::Down, Key::Left, Key::Right, Key::Space, Key::X},
         "profile=Custom\nbtn1=Space\n", true},
        {"a fixed profile is rewritten mid-parse: later keys live in memory only", standard,
         "profile=WASD\nup=Up\n",
         {ControlProfile::Wasd, Key::Up, Key::S, Key::A, Key::D, Key::J, Key::K}, kWasdFile, false},
        {"a key before the profile line is overwritten", standard, "up=Q\nprofile=numpad\n",
         {ControlProfile::Numpad, Key::NumPad8, Key::NumPad2, Key::NumPad4, Key::NumPad6,
          Key::NumPad1, Key::NumPad0},
         file_text("Numpad", "NumPad8", "NumPad2", "NumPad4", "NumPad6", "NumPad1", "NumPad0"), false},
        {"blank before '=': the line is skipped", custom_start, "profile =WASD\n", custom_start,
         "profile =WASD\n", false},
        {"blank after '=': no profile named, so Standard keys and the file kept", custom_start,
         "profile= WASD\n", standard, "profile= WASD\n", true},
        {"unknown profile value: Standard keys, the file kept", custom_start, "profile=arcade\n",
         standard, "profile=arcade\n", true},
        {"a digit names the numeric pad; F1 is not a name", custom_start,
         "profile=custom\nbtn2=5\nbtn1=F1\n",
         {ControlProfile::Custom, Key::I, Key::K, Key::J, Key::L, Key::Space, Key::NumPad5},
         "profile=custom\nbtn2=5\nbtn1=F1\n", true},
        {"comments, leading blanks, CRLF, case", standard,
         "; comment\r\n# up=W\r\n   PROFILE=CUSTOM   \r\n\tUp= kp7 \r\nleft =Q\r\n  down=  return\r\n",
         {ControlProfile::Custom, Key::NumPad7, Key::Enter, Key::Left, Key::Right, Key::Z, Key::X},
         "; comment\r\n# up=W\r\n   PROFILE=CUSTOM   \r\n\tUp= kp7 \r\nleft =Q\r\n  down=  return\r\n", true},
        {"two '=' and no '=' are skipped", custom_start, "up=W=S\nleft\n=X\nprofile=Custom\n",
         custom_start, "up=W=S\nleft\n=X\nprofile=Custom\n", true},
        {"custom alone sets nothing new but still logs", custom_start, "profile=custom", custom_start,
         "profile=custom", true},
        {"keys without a custom profile are used and not logged", standard, "left=H\n",
         {ControlProfile::Standard, Key::Up, Key::Down, Key::H, Key::Right, Key::Z, Key::X},
         "left=H\n", false},
        {"custom written back reads back", standard, custom_start_file, custom_start,
         custom_start_file, true},
        {"Latin-1 bytes in a custom file: read, not rewritten", standard,
         "# tasti per l'\xE0rea \xE8 qui\nprofile=Custom\nup=\xFFW\nleft=Q\n",
         {ControlProfile::Custom, Key::Up, Key::Down, Key::Q, Key::Right, Key::Z, Key::X},
         "# tasti per l'\xE0rea \xE8 qui\nprofile=Custom\nup=\xFFW\nleft=Q\n", true},
        {"Latin-1 bytes with a fixed profile: the rewrite rule applies", custom_start,
         "# \xE8\nprofile=WASD\n", {ControlProfile::Wasd, Key::W, Key::S, Key::A, Key::D, Key::J, Key::K},
         kWasdFile, false},
        {"non-breaking spaces around a name", standard, "profile=Custom\nbtn1=\u00A0Space\u3000\n",
         {ControlProfile::Custom, Key::Up, Key::Down, Key::Left, Key::Right, Key::Space, Key::X},
         "profile=Custom\nbtn1=\u00A0Space\u3000\n", true},
        {"binary garbage", standard, std::string("\0\x01=\x02\n\xC3\x28profile\n=\n\0", 16), standard,
         std::string("\0\x01=\x02\n\xC3\x28profile\n=\n\0", 16), false},
    };
    for (const auto& c : cases) {
        write(c.in);
        log_.clear();
        Controls controls = c.before;
        load_controls(controls, path_);
        EXPECT_EQ(controls, c.after) << c.name;
        EXPECT_EQ(read(), c.out) << c.name;
        EXPECT_EQ(log_.size(), c.logged ? 1u : 0u) << c.name;
    }
}

// A profile value that names no profile: the file stays as the person wrote it, its keys are
// used wherever they stand, Standard's fill the rest, and a warning names the file and the value.
TEST_F(ControlsFile, MisspeltProfileKeepsTheFileAndItsKeys) {
    const std::string mine =
        "# i miei tasti\nprofile=Custon\nup=W\ndown=S\nleft=A\nright=D\nbtn1=Space\nbtn2=Enter\n";
    struct Case {
        const char* name;
        std::string in;
        Controls after;
    };
    const Case cases[] = {
        {"six keys after the line", mine,
         {ControlProfile::Standard, Key::W, Key::S, Key::A, Key::D, Key::Space, Key::Enter}},
        {"keys before the line count too; a missing and an unknown one are Standard's",
         "up=W\nbtn1=F1\nprofile=Custon\nleft=Q\n",
         {ControlProfile::Standard, Key::W, Key::Down, Key::Q, Key::Right, Key::Z, Key::X}},
        {"an empty value", "profile=\nbtn2=K\n",
         {ControlProfile::Standard, Key::Up, Key::Down, Key::Left, Key::Right, Key::Z, Key::K}},
    };
    for (const auto& c : cases) {
        write(c.in);
        log_.clear();
        // Keys in memory from before (a custom set) must not leak into the result.
        Controls controls{ControlProfile::Custom, Key::I, Key::K, Key::J, Key::L, Key::Tab, Key::M};
        load_controls(controls, path_);
        EXPECT_EQ(controls, c.after) << c.name;
        EXPECT_EQ(read(), c.in) << c.name;
        ASSERT_EQ(log_.size(), 1u) << c.name;
        EXPECT_NE(log_[0].find("WARN "), std::string::npos) << log_[0];
        EXPECT_NE(log_[0].find(path_.string()), std::string::npos) << log_[0];
    }
    write(mine);
    log_.clear();
    Controls controls;
    load_controls(controls, path_);
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_NE(log_[0].find("\"Custon\""), std::string::npos) << log_[0];
}

// Choosing a profile from the menu. Custom is the file itself: its keys are taken and its lines
// kept, only its profile line saying so; the fixed profiles rewrite it from the template.
TEST_F(ControlsFile, ChoosingAProfile) {
    const Controls wasd{ControlProfile::Wasd, Key::W, Key::S, Key::A, Key::D, Key::J, Key::K};
    struct Case {
        const char* name;
        std::string in;  // empty: no file
        ControlProfile chosen;
        Controls after;
        std::string out;
    };
    const Case cases[] = {
        {"custom: the keys the person wrote, the file untouched",
         "# miei\nprofile=Custom\nup=I\nbtn1=Space\n", ControlProfile::Custom,
         {ControlProfile::Custom, Key::I, Key::S, Key::A, Key::D, Key::Space, Key::K},
         "# miei\nprofile=Custom\nup=I\nbtn1=Space\n"},
        {"custom over a file of another profile: only the profile line changes",
         "; x\r\nprofile=WASD\r\nup=Up\r\n", ControlProfile::Custom,
         {ControlProfile::Custom, Key::Up, Key::S, Key::A, Key::D, Key::J, Key::K},
         "; x\r\nprofile=Custom\r\nup=Up\r\n"},
        {"custom over a misspelt profile line", "profile=Custon\nleft=H\n", ControlProfile::Custom,
         {ControlProfile::Custom, Key::W, Key::S, Key::H, Key::D, Key::J, Key::K},
         "profile=Custom\nleft=H\n"},
        {"custom over a file without a profile line", "btn2=Tab", ControlProfile::Custom,
         {ControlProfile::Custom, Key::W, Key::S, Key::A, Key::D, Key::J, Key::Tab},
         "btn2=Tab\nprofile=Custom\n"},
        {"custom without a file writes the keys in memory", "", ControlProfile::Custom,
         {ControlProfile::Custom, Key::W, Key::S, Key::A, Key::D, Key::J, Key::K},
         file_text("Custom", "W", "S", "A", "D", "J", "K")},
        {"standard rewrites the file", "# miei\nprofile=Custom\nup=I\n", ControlProfile::Standard,
         Controls{}, kDefaultFile},
        {"numpad rewrites the file", "profile=Custom\nup=I\n", ControlProfile::Numpad,
         {ControlProfile::Numpad, Key::NumPad8, Key::NumPad2, Key::NumPad4, Key::NumPad6,
          Key::NumPad1, Key::NumPad0},
         file_text("Numpad", "NumPad8", "NumPad2", "NumPad4", "NumPad6", "NumPad1", "NumPad0")},
        {"wasd rewrites the file", "profile=Custom\nup=I\n", ControlProfile::Wasd, wasd, kWasdFile},
    };
    for (const auto& c : cases) {
        fs::remove(path_);
        if (!c.in.empty()) write(c.in);
        Controls controls = wasd;
        select_profile(controls, c.chosen, path_);
        EXPECT_EQ(controls, c.after) << c.name;
        EXPECT_EQ(read(), c.out) << c.name;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator{}), 1) << c.name;
    }
}

TEST_F(ControlsFile, CustomLogLine) {
    write("profile=Custom\nup=KP8\nbtn2=leftshift\n");
    Controls c;
    load_controls(c, path_);
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_TRUE(log_[0].ends_with(
        "INFO  vestrel::gui] Comandi personalizzati caricati da vestrel_controls.ini: up=NumPad8, "
        "down=Down, left=Left, right=Right, btn1=Z, btn2=LeftShift"))
        << log_[0];
}

// A file that is there but cannot be used is neither parsed nor replaced; one warning names it,
// gives the reason and lists the keys used instead: the keys in memory, for a read and for
// Custom alike.
TEST_F(ControlsFile, UnusableFileIsKeptAndTheKeysInUseNamed) {
    const std::string huge = "profile=WASD\n" + std::string(2u << 20, 'x');
    const std::string unreadable = "profile=Custom\nup=Q\n";
    struct Case {
        const char* name;
        std::function<void()> make;
        std::string reason;
        bool root_reads_it;  // permissions do not stop root
        std::string kept;    // the file's bytes, which must stay (a folder: its one file)
    };
    const Case cases[] = {
        {"a folder where the file should be",
         [&] {
             fs::create_directory(path_);
             std::ofstream(path_ / "keep.txt") << "mine";
         },
         "Is a directory (os error 21)", false, ""},
        {"a file too large to be a controls file", [&] { write(huge); }, std::to_string(huge.size()),
         false, huge},
        {"no read permission",
         [&] {
             write(unreadable);
             fs::permissions(path_, fs::perms::owner_write);
         },
         "Permission denied (os error 13)", true, unreadable},
    };
    const Controls wasd{ControlProfile::Wasd, Key::W, Key::S, Key::A, Key::D, Key::J, Key::K};
    const std::string wasd_keys = "up=W, down=S, left=A, right=D, btn1=J, btn2=K";
    const std::string standard_keys = "up=Up, down=Down, left=Left, right=Right, btn1=Z, btn2=X";
    for (const auto& c : cases) {
        if (c.root_reads_it && ::geteuid() == 0) continue;
        for (const bool custom : {false, true}) {
            fs::remove_all(path_);
            c.make();
            log_.clear();
            Controls controls = custom ? Controls{} : wasd;
            if (custom) {
                select_profile(controls, ControlProfile::Custom, path_);
                EXPECT_EQ(controls, (Controls{ControlProfile::Custom, Key::Up, Key::Down, Key::Left,
                                              Key::Right, Key::Z, Key::X}))
                    << c.name;
            } else {
                load_controls(controls, path_);
                EXPECT_EQ(controls, wasd) << c.name;
            }
            ASSERT_EQ(log_.size(), 1u) << c.name << (custom ? ", custom" : ", read");
            const std::string& line = log_[0];
            EXPECT_NE(line.find("WARN  vestrel::gui] " + path_.string() + ": "), std::string::npos)
                << line;
            EXPECT_NE(line.find(c.reason), std::string::npos) << line;
            EXPECT_TRUE(line.ends_with(custom ? standard_keys : wasd_keys)) << line;
            if (custom) {
                EXPECT_NE(line.find("Custom"), std::string::npos) << line;
            }

            std::error_code ec;
            fs::permissions(path_, fs::perms::owner_all, ec);
            if (fs::is_directory(path_)) {
                std::ifstream kept(path_ / "keep.txt");
                std::string text;
                kept >> text;
                EXPECT_EQ(text, "mine") << c.name;
                EXPECT_EQ(std::distance(fs::directory_iterator(path_), fs::directory_iterator{}), 1);
            } else {
                EXPECT_EQ(read(), c.kept) << c.name;
            }
            EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator{}), 1)
                << c.name << ": nothing written beside it";
        }
    }
}

// A path through a plain file, or into a folder that is not there: nothing can be read or
// written there, and the one warning says why.
TEST_F(ControlsFile, PathsThatLeadNowhereWarnOnce) {
    write("profile=Custom\nup=Q\n");
    struct Case {
        fs::path file;
        std::string reason;
    };
    const Case cases[] = {
        {path_ / "vestrel_controls.ini", "Not a directory (os error 20)"},
        {dir_ / "no such folder" / "vestrel_controls.ini", "No such file or directory (os error 2)"},
    };
    for (const auto& c : cases) {
        for (int writer = 0; writer < 3; ++writer) {
            log_.clear();
            Controls controls;
            if (writer == 0) load_controls(controls, c.file);
            if (writer == 1) save_controls(controls, c.file);
            if (writer == 2) select_profile(controls, ControlProfile::Numpad, c.file);
            ASSERT_EQ(log_.size(), 1u) << c.file << " writer " << writer;
            EXPECT_NE(log_[0].find("WARN  vestrel::gui] " + c.file.string() + ": "), std::string::npos)
                << log_[0];
            EXPECT_NE(log_[0].find(c.reason), std::string::npos) << log_[0];
        }
    }
    EXPECT_EQ(read(), "profile=Custom\nup=Q\n");
    EXPECT_FALSE(fs::exists(dir_ / "no such folder"));
}

// Every writer on a disk that takes no more bytes (a file size limit stands in for a full
// disk): the old file keeps every byte, nothing is left beside it, and one warning names the
// file and the system's reason.
TEST_F(ControlsFile, AFailedWriteKeepsTheOldFile) {
    const std::string mine = "# i miei tasti, scritti a mano\nprofile=Custom\nup=I\ndown=K\nleft=J\n"
                             "right=L\nbtn1=Space\nbtn2=Tab\n";
    const std::string fixed_with_notes = "# appunti\nprofile=WASD\nup=I\n";
    struct Case {
        const char* name;
        std::optional<std::string> old;  // nothing: no file before
        std::function<void(Controls&)> write;
    };
    const Case cases[] = {
        {"start-up, no file yet", std::nullopt, [&](Controls& c) { load_controls(c, path_); }},
        {"start-up rewrite of a fixed profile", fixed_with_notes,
         [&](Controls& c) { load_controls(c, path_); }},
        {"save", mine, [&](Controls& c) { save_controls(c, path_); }},
        {"Standard chosen", mine, [&](Controls& c) { select_profile(c, ControlProfile::Standard, path_); }},
        {"WASD chosen", mine, [&](Controls& c) { select_profile(c, ControlProfile::Wasd, path_); }},
        {"Numpad chosen", mine, [&](Controls& c) { select_profile(c, ControlProfile::Numpad, path_); }},
        {"Custom chosen over another profile", kDefaultFile,
         [&](Controls& c) { select_profile(c, ControlProfile::Custom, path_); }},
    };
    const std::string reason = fmt::format("{} (os error {})", std::strerror(EFBIG), EFBIG);
    for (const auto& c : cases) {
        fs::remove(path_);
        if (c.old) write(*c.old);
        const ChildResult run = run_logged({.file_size = 40}, c.write);
        ASSERT_TRUE(run.finished) << c.name << (run.timed_out ? ": timed out" : ": killed");
        if (c.old) {
            EXPECT_EQ(read(), *c.old) << c.name;
        } else {
            EXPECT_FALSE(fs::exists(path_)) << c.name;
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator{}), c.old ? 1 : 0)
            << c.name << ": nothing left beside it";
        const auto warned = warnings_in(run.output);
        ASSERT_EQ(warned.size(), 1u) << c.name << "\n" << run.output;
        EXPECT_NE(warned[0].find("WARN  vestrel::gui] " + path_.string() + ": "), std::string::npos)
            << warned[0];
        EXPECT_NE(warned[0].find(reason), std::string::npos) << warned[0];
    }
}

// A FIFO named like the file: no reader or writer opens it (opening one blocks until someone
// opens the other end, which nobody will), and each says so once.
TEST_F(ControlsFile, AFifoIsNeverOpened) {
    ASSERT_EQ(::mkfifo(path_.c_str(), 0644), 0);
    struct Case {
        const char* name;
        std::function<void(Controls&)> call;
    };
    const Case cases[] = {
        {"start-up read", [&](Controls& c) { load_controls(c, path_); }},
        {"save", [&](Controls& c) { save_controls(c, path_); }},
        {"Standard chosen", [&](Controls& c) { select_profile(c, ControlProfile::Standard, path_); }},
        {"WASD chosen", [&](Controls& c) { select_profile(c, ControlProfile::Wasd, path_); }},
        {"Numpad chosen", [&](Controls& c) { select_profile(c, ControlProfile::Numpad, path_); }},
        {"Custom chosen", [&](Controls& c) { select_profile(c, ControlProfile::Custom, path_); }},
    };
    for (const auto& c : cases) {
        const ChildResult run = run_logged({.seconds = 5}, c.call);
        ASSERT_TRUE(run.finished) << c.name << (run.timed_out ? ": blocked" : ": killed");
        const auto warned = warnings_in(run.output);
        ASSERT_EQ(warned.size(), 1u) << c.name << "\n" << run.output;
        EXPECT_NE(warned[0].find("WARN  vestrel::gui] " + path_.string() + ": "), std::string::npos)
            << warned[0];
        EXPECT_NE(warned[0].find("not a regular file"), std::string::npos) << warned[0];
        EXPECT_TRUE(fs::is_fifo(path_)) << c.name;
    }
}

TEST(ControlsNames, ReadNames) {
    struct Case {
        const char* name;
        std::optional<Key> key;
    };
    const Case cases[] = {
        {"a", Key::A}, {"Z", Key::Z}, {" m ", Key::M},
        {"0", Key::NumPad0}, {"9", Key::NumPad9}, {"kp3", Key::NumPad3}, {"NumPad6", Key::NumPad6},
        {"up", Key::Up}, {"DOWN", Key::Down}, {"Left", Key::Left}, {"rIGHT", Key::Right},
        {"space", Key::Space}, {"Enter", Key::Enter}, {"RETURN", Key::Enter}, {"tab", Key::Tab},
        {"Backspace", Key::Backspace}, {"shift", Key::LeftShift}, {"LeftShift", Key::LeftShift},
        {"RightShift", Key::RightShift}, {"ctrl", Key::LeftCtrl}, {"LEFTCTRL", Key::LeftCtrl},
        {"RightCtrl", Key::RightCtrl}, {"alt", Key::LeftAlt}, {"LeftAlt", Key::LeftAlt},
        {"RightAlt", Key::RightAlt},
        {"F1", std::nullopt}, {"Escape", std::nullopt}, {"", std::nullopt}, {"KP", std::nullopt},
        {"KP10", std::nullopt}, {"NumPadX", std::nullopt}, {"Key5", std::nullopt},
        {"!", std::nullopt}, {"Sp ace", std::nullopt}, {"\xC3\xA9", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ini_name_to_key(c.name), c.key) << '"' << c.name << '"';
}

TEST(ControlsNames, EveryKeyWritesANameThatReadsBack) {
    for (size_t code = 0; code < 256; ++code) {
        const Key key = static_cast<Key>(code);
        const std::string_view name = key_to_ini_name(key);
        const auto back = ini_name_to_key(name);
        ASSERT_TRUE(back.has_value()) << code;
        const bool nameable = (code >= 10 && code <= 35) || (code >= 51 && code <= 54) ||
                              code == 66 || code == 69 || code == 77 || code == 78 ||
                              (code >= 82 && code <= 95) || code == 102 || code == 103;
        EXPECT_EQ(*back, nameable ? key : Key::Z) << code << " " << name;
    }
    EXPECT_EQ(key_to_ini_name(Key::F1), "Z");
    EXPECT_EQ(key_to_ini_name(Key::NumPad8), "NumPad8");
    EXPECT_EQ(key_name(static_cast<Key>(200)), "Unknown");
    EXPECT_EQ(key_name(Key::F12), "F12");
    EXPECT_EQ(static_cast<int>(Key::F5), 40);
    EXPECT_EQ(static_cast<int>(Key::Escape), 70);
    EXPECT_EQ(static_cast<int>(Key::NumPadPlus), 100);
    EXPECT_EQ(static_cast<int>(Key::RightAlt), 103);
}

TEST(ControlsNames, ProfilesAndTheSavedText) {
    Controls c{ControlProfile::Custom, Key::F1, Key::Down, Key::Left, Key::Right, Key::Z, Key::X};
    EXPECT_EQ(controls_file_text(c), file_text("Custom", "Z", "Down", "Left", "Right", "Z", "X"));
    apply_profile(c, ControlProfile::Custom);
    EXPECT_EQ(c.up, Key::F1) << "custom keeps the keys";
    apply_profile(c, ControlProfile::Wasd);
    EXPECT_EQ(controls_file_text(c), kWasdFile);
    EXPECT_EQ(fmt::format("{}", c.profile), "Wasd");
    EXPECT_EQ(profile_file_name(ControlProfile::Wasd), "WASD");
    apply_profile(c, static_cast<ControlProfile>(9));
    EXPECT_EQ(c, Controls{}) << "an out-of-range profile falls back to Standard";
}

}  // namespace
}  // namespace vestrel
