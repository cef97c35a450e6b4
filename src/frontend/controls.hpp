// The keyboard mapping that steers the CD-i pointer, and its file "vestrel_controls.ini".
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace vestrel {

// Host keys, numbered as the controls file and the input code count them. The window layer
// maps its own key events onto these.
enum class Key : uint8_t {
    Key0 = 0, Key1, Key2, Key3, Key4, Key5, Key6, Key7, Key8, Key9,
    A = 10, B, C, D, E, F, G, H, I, J, K, L, M, N, O, P, Q, R, S, T, U, V, W, X, Y, Z,
    F1 = 36, F2, F3, F4, F5, F6, F7, F8, F9, F10, F11, F12, F13, F14, F15,
    Down = 51, Left, Right, Up,
    Apostrophe = 55, Backquote, Backslash, Comma, Equal, LeftBracket, Minus, Period, RightBracket,
    Semicolon, Slash,
    Backspace = 66, Delete, End, Enter, Escape, Home, Insert, Menu, PageDown, PageUp, Pause,
    Space = 77, Tab, NumLock, CapsLock, ScrollLock,
    LeftShift = 82, RightShift, LeftCtrl, RightCtrl,
    NumPad0 = 86, NumPad1, NumPad2, NumPad3, NumPad4, NumPad5, NumPad6, NumPad7, NumPad8, NumPad9,
    NumPadDot = 96, NumPadSlash, NumPadAsterisk, NumPadMinus, NumPadPlus, NumPadEnter,
    LeftAlt = 102, RightAlt, LeftSuper, RightSuper,
    Unknown = 106,
};
inline constexpr size_t kKeyCount = 107;

// The key's own name ("Up", "NumPad8", "Z", "Key5"), as the logs print it.
std::string_view key_name(Key key);

enum class ControlProfile : uint8_t { Standard = 0, Wasd = 1, Numpad = 2, Custom = 3 };

// The profile's log text: "Standard", "Wasd", "Numpad", "Custom".
std::string_view profile_name(ControlProfile profile);
// The profile's name in the file: "Standard", "WASD", "Numpad", "Custom".
std::string_view profile_file_name(ControlProfile profile);

struct Controls {
    ControlProfile profile = ControlProfile::Standard;
    Key up = Key::Up;
    Key down = Key::Down;
    Key left = Key::Left;
    Key right = Key::Right;
    Key btn1 = Key::Z;
    Key btn2 = Key::X;

    bool operator==(const Controls&) const = default;
};

inline constexpr std::string_view kControlsFileName = "vestrel_controls.ini";

// Sets `profile` and, for every profile but Custom (which keeps the keys), its six keys.
void apply_profile(Controls& controls, ControlProfile profile);

// A key name of the file (any letter case, blanks around ignored), or nothing when unknown.
std::optional<Key> ini_name_to_key(std::string_view name);
// The name the file uses for a key; keys the file cannot name are written as "Z".
std::string_view key_to_ini_name(Key key);

// The file's text for a record.
std::string controls_file_text(const Controls& controls);

// Replaces the file whole. On failure the old file stays as it was and one warning names it and
// the system's reason; a folder, a FIFO or a device in its place is refused unopened.
void save_controls(const Controls& controls, const std::filesystem::path& file = kControlsFileName);

// A profile chosen from the menu. A fixed profile sets its keys and rewrites the file; Custom
// is the file itself: its keys are taken and its lines kept, only its profile line made to say
// Custom. With no file the keys in use are written as Custom's; with a file that cannot be
// used (a folder, a FIFO, no read permission, too large) the keys in use become Custom's, the
// file is left alone and a warning names it and those keys.
void select_profile(Controls& controls, ControlProfile profile,
                    const std::filesystem::path& file = kControlsFileName);

// Reads the file into `controls`. A missing file is written from the record; a file that
// exists but cannot be used is left alone and warned about, naming the keys that stay in use.
// A profile line naming a fixed profile sets that profile's keys and has the file rewritten
// with them; one naming no profile is warned about and changes nothing in the file: its key
// lines are used, Standard's keys where it has none.
void load_controls(Controls& controls, const std::filesystem::path& file = kControlsFileName);

}  // namespace vestrel

template <>
struct fmt::formatter<vestrel::ControlProfile> : fmt::formatter<std::string_view> {
    auto format(vestrel::ControlProfile p, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(vestrel::profile_name(p), ctx);
    }
};

template <>
struct fmt::formatter<vestrel::Key> : fmt::formatter<std::string_view> {
    auto format(vestrel::Key k, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(vestrel::key_name(k), ctx);
    }
};
