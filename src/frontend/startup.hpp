// The program's start-up, the command queue the menu and the hotkeys feed, the commands' effects
// on the console, and the loop state `main` keeps for the whole run. Nothing here touches GTK
// or SDL: the machine is reached through `Console` and the window through `HostUi`, so the
// whole of it runs in tests without a display.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <expected>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "frontend/controls.hpp"
#include "frontend/telemetry.hpp"
#include "machine/video_mode.hpp"

namespace vestrel {

class Slave;
class PacingClock;
struct InputSnapshot;

enum class PointerDevice : uint8_t { Gamepad = 0, Mouse = 1 };

constexpr std::string_view pointer_device_name(PointerDevice d) {
    return d == PointerDevice::Mouse ? "Mouse" : "Gamepad";
}

enum class CommandTag : uint8_t {
    InsertDisc = 0,
    OpenDiscAndReset = 1,
    EjectDisc = 2,
    Reset = 3,
    Exit = 4,
    SetControlProfile = 5,
    SetPointerDevice = 6,
    ReloadControls = 7,
    ToggleMouseCapture = 8,
    ToggleMute = 9,
    VolumeUp = 10,
    VolumeDown = 11,
    ToggleFullscreen = 12,
    SaveScreenshot = 13,
    SetVideoMode = 14,
    ToggleWaitStates = 15,
    ShowHelp = 16,
    ShowAbout = 17,
    None = 255,  // what an empty queue gives
};

// One request from the menu or a hotkey, carried out at the start of the next frame.
struct Command {
    CommandTag tag = CommandTag::None;
    // A ControlProfile, PointerDevice or VideoMode for the tags that take one.
    uint8_t payload = 0;
    // The disc image, for InsertDisc and OpenDiscAndReset only.
    std::optional<std::filesystem::path> path;

    static Command make(CommandTag tag, uint8_t payload = 0) { return {tag, payload, {}}; }
    static Command with_path(CommandTag tag, std::filesystem::path p) {
        return {tag, 0, std::move(p)};
    }
};

// First-in first-out, behind a mutex: the menu's handlers and the hotkeys push, the frame
// loop pops.
class CommandQueue {
public:
    void push(Command command);
    // The oldest command, or one tagged None when the queue is empty.
    Command pop();
    void clear();

private:
    std::mutex mutex_;
    std::deque<Command> commands_;
};

// The process-wide queue.
CommandQueue& command_queue();
void push_command(Command command);
Command pop_command();

// Menu ids whose check marks `main` sets when it carries out a command.
namespace menu_id {
inline constexpr int kInsertDisc = 1000;
inline constexpr int kOpenDiscAndReset = 1001;
inline constexpr int kReset = 1002;
inline constexpr int kExit = 1003;
inline constexpr int kEject = 1004;
inline constexpr int kProfileStandard = 1010;
inline constexpr int kProfileWasd = 1011;
inline constexpr int kProfileNumpad = 1012;
inline constexpr int kShowControls = 1013;
inline constexpr int kToggleMouse = 1014;
inline constexpr int kProfileCustom = 1015;
inline constexpr int kEditControls = 1016;
inline constexpr int kReloadControls = 1017;
inline constexpr int kMute = 1020;
inline constexpr int kVolumeUp = 1021;
inline constexpr int kVolumeDown = 1022;
inline constexpr int kFullscreen = 1030;
inline constexpr int kScreenshot = 1031;
inline constexpr int kPal = 1032;
inline constexpr int kNtsc = 1033;
inline constexpr int kHelp = 1040;
inline constexpr int kAbout = 1041;
inline constexpr int kWaitStates = 1050;
inline constexpr int kPointerGamepad = 1060;
inline constexpr int kPointerMouse = 1061;
}  // namespace menu_id

inline constexpr std::string_view kNoDiscGameName = "Nessun disco (BIOS Standalone)";
inline constexpr std::string_view kUnnamedGame = "Gioco CD-i";
inline constexpr std::string_view kSystemRomPath = "bios/cdi220b.rom";
inline constexpr std::string_view kNvramPath = "bios/nvram_mk48t08.bin";
inline constexpr std::string_view kDvcRomPath = "dvc/vmpega.rom";
inline constexpr std::string_view kSystemRomMissing = "BIOS cdi220b.rom non trovato";
inline constexpr size_t kSystemRomMaxBytes = 524'288;
// The initial stack pointer and PC: a shorter file cannot start the CPU.
inline constexpr size_t kSystemRomMinBytes = 8;
inline constexpr size_t kNvramBytes = 8'192;
inline constexpr uint32_t kBlackPixel = 0xFF000000;
// Exit status of a fatal error (the missing system ROM).
inline constexpr int kFatalExitStatus = 101;

inline constexpr int32_t kPointerStartX = 575;
inline constexpr int32_t kPointerStartY = 335;

// The frame loop's previous-frame key states, for the hotkeys' press edges.
struct HotkeyStates {
    bool ctrl_i = false;
    bool ctrl_o = false;
    bool f5 = false;
    bool f11 = false;
    bool f12 = false;
    bool m = false;
    bool middle = false;

    bool operator==(const HotkeyStates&) const = default;
};

// The state the menu's check marks show: the pointer device, the key profile, the video
// standard and the wait-state switch.
struct MenuMarks {
    PointerDevice pointer_device = PointerDevice::Gamepad;
    ControlProfile profile = ControlProfile::Standard;
    VideoMode video_mode = VideoMode::Pal;
    bool wait_states = true;

    bool operator==(const MenuMarks&) const = default;
};

// Everything `main` keeps for the run beside the machine, the window and the host devices.
struct LoopState {
    std::string game_name{kNoDiscGameName};
    uint64_t frame_counter = 0;
    uint64_t instructions_executed = 0;
    Telemetry telemetry;
    Controls controls;
    bool mouse_captured = true;
    bool cursor_hidden = false;
    int32_t pointer_x = kPointerStartX;
    int32_t pointer_y = kPointerStartY;
    PointerDevice pointer_device = PointerDevice::Gamepad;
    uint8_t last_gamepad_buttons = 0;
    uint32_t auto_boot_counter = 0;
    bool auto_boot_done = false;
    bool halt_reported = false;
    HotkeyStates previous_keys;
    // What the marks show now; none until they are first set.
    std::optional<MenuMarks> marks_shown;
};

// What the frontend needs of the emulated console. The program's implementation wraps the
// Bus and the Cpu; tests use a fake that records calls.
class Console {
public:
    virtual ~Console() = default;

    // The system ROM's bytes (at most 524,288 are used), then its first 8 bytes into RAM.
    virtual void load_system_rom(std::span<const uint8_t> bytes) = 0;
    // At most 8,192 bytes into the NVRAM.
    virtual void load_nvram(std::span<const uint8_t> bytes) = 0;

    virtual std::expected<void, std::string> insert_disc(const std::filesystem::path& path) = 0;
    virtual bool disc_in_slot() const = 0;
    // Tells the slave the disc is gone, then drops the image.
    virtual void eject_disc() = 0;

    // The machine's reset (the disc is kept).
    virtual void reset_machine() = 0;
    // The CPU's reset as an SCC68070, then the vector load through two word reads per long.
    virtual void reset_cpu() = 0;
    virtual uint32_t pc() const = 0;
    // Once the CPU has halted on a double fault: the address of the instruction that raised it.
    virtual std::optional<uint32_t> cpu_halt_pc() const = 0;
    virtual uint16_t read_word(uint32_t address) = 0;

    // The MCD212's and the slave's video modes.
    virtual VideoMode video_mode() const = 0;
    virtual void set_video_mode(VideoMode mode) = 0;
    virtual void fill_frame_buffer(uint32_t pixel) = 0;
    virtual std::span<const uint32_t> frame_buffer() const = 0;
    virtual std::array<uint32_t, 2> plane_starts() const = 0;
    // Sectors the CD drive has read so far (not the read position: a read that fails or has
    // no disc goes on moving without reading anything).
    virtual uint32_t cd_sectors_read() const = 0;

    virtual bool dvc_fitted() const = 0;
    virtual bool load_dvc_rom(const std::filesystem::path& path) = 0;
    // A new cartridge record without ROM: no cartridge fitted.
    virtual void remove_dvc() = 0;

    virtual bool wait_states() const = 0;
    virtual void set_wait_states(bool on) = 0;

    virtual float volume() const = 0;
    virtual void set_volume(float volume) = 0;
    virtual bool muted() const = 0;
    virtual void set_muted(bool muted) = 0;

    virtual Slave& slave() = 0;

    // One emulated frame of lines; adds the executed instructions.
    virtual void run_emulated_frame(uint64_t& instructions_executed) = 0;
};

// What the commands and the input need of the window, its menu and the dialogs.
class HostUi {
public:
    virtual ~HostUi() = default;
    // False when there is no window (fullscreen then does nothing).
    virtual bool has_window() const { return true; }
    virtual bool is_maximized() = 0;
    virtual void set_maximized(bool maximized) = 0;
    virtual void set_check(int menu_id, bool checked) = 0;
    virtual void set_title(const std::string& title) = 0;
    // Hides and confines the host cursor (true) or shows and frees it (false).
    virtual void set_cursor_captured(bool captured) = 0;
    virtual std::optional<std::filesystem::path> open_disc_dialog() = 0;
    virtual void show_help() = 0;
    virtual void show_about() = 0;
    // How long modal dialogs held the loop since the last call (the time they were open).
    virtual std::chrono::nanoseconds take_dialog_time() { return {}; }
};

// The shared pieces a command, the input step and the auto-boot step act on.
struct Frontend {
    LoopState& state;
    Console& console;
    HostUi& ui;
    PacingClock& clock;
    // Where the data files, the controls file and the screenshots are looked up; empty means
    // the working directory.
    std::filesystem::path base_dir{};
};

// Text from bytes that may not be valid UTF-8: each bad sequence becomes U+FFFD.
std::string lossy_utf8(std::string_view bytes);
std::string lossy_path_text(const std::filesystem::path& path);

// The first of rel, ../rel, "file utili"/rel and ../"file utili"/rel that exists, tried
// relative to `base_dir` (the working directory when empty). The result is as relative as
// the candidate that was found.
std::optional<std::filesystem::path> find_resource_path(std::string_view rel,
                                                        const std::filesystem::path& base_dir = {});
// The four places find_resource_path tries, in its order.
std::array<std::filesystem::path, 4> resource_candidates(std::string_view rel,
                                                         const std::filesystem::path& base_dir = {});

bool title_needs_dvc(std::string_view name);
// From the image's own file name only: the folders above it are the user's, not the disc's.
VideoMode video_mode_for_path(const std::filesystem::path& path);
// The file stem as text, or "Gioco CD-i" when there is none.
std::string game_name_for_path(const std::filesystem::path& path);

// Only the first argument counts: none, "--standalone" or "--bios" mean no disc; anything else
// names a disc image.
std::optional<std::string> disc_argument(int argc, const char* const* argv);

struct StartupError {
    bool fatal = false;  // the missing system ROM: exit status 101
    std::string message;
};

// Start-up with the machine constructed: the banner, the system ROM, the NVRAM, the disc from
// the command line, the video standard and the CPU's reset, with their log lines.
std::expected<void, StartupError> start_console(Frontend& f, std::optional<std::string> argument);

// The log line after start-up, before the frame loop.
void log_loop_started();

// Carries out one command; false when the loop must end (Exit).
bool execute_command(Frontend& f, const Command& command);
// Carries out every queued command, oldest first; false at Exit (later ones stay queued).
bool drain_commands(Frontend& f, CommandQueue& queue);

// Sets every check mark that differs from the machine's and the loop's state, whatever
// changed it (a command, a reset, the auto-boot hand-off).
void show_menu_marks(Frontend& f);

void load_disc(Frontend& f, const std::filesystem::path& path);
void reset_console(Frontend& f);
void eject_disc(Frontend& f);
void set_video_mode(Frontend& f, VideoMode mode);
void toggle_fullscreen(Frontend& f);

// The window side of one host frame: open state, input, presentation.
class WindowFrameIo {
public:
    virtual ~WindowFrameIo() = default;
    virtual bool is_open() const = 0;
    // Keys, mouse and focus from the window, gamepads added.
    virtual const InputSnapshot& input() = 0;
    virtual void present(std::span<const uint32_t> frame_buffer) = 0;
};

// One host frame: leave on a closed window or Escape, the queued commands, the auto-boot
// step, the emulated lines, the rendered-frame detector, input, present, pacing, and the
// statistics. False when the loop must end.
bool run_host_frame(Frontend& f, WindowFrameIo& host, CommandQueue& queue);

// The last log line of a run.
void log_emulation_stopped(uint32_t pc);

}  // namespace vestrel

template <>
struct fmt::formatter<vestrel::PointerDevice> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(vestrel::PointerDevice d, FormatContext& ctx) const {
        return fmt::formatter<std::string_view>::format(vestrel::pointer_device_name(d), ctx);
    }
};
