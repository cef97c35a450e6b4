#include "frontend/controls.hpp"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <string>
#include <vector>

#include "common/file.hpp"
#include "common/log.hpp"

namespace vestrel {
namespace {

LogTarget kLog{"vestrel::gui"};

// A controls file is a few hundred bytes; anything far larger is not one and is left alone.
constexpr size_t kMaxControlsFileBytes = 1u << 20;

constexpr std::array<std::string_view, kKeyCount> kKeyNames = {
    "Key0", "Key1", "Key2", "Key3", "Key4", "Key5", "Key6", "Key7", "Key8", "Key9",
    "A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "K", "L", "M", "N", "O", "P", "Q", "R",
    "S", "T", "U", "V", "W", "X", "Y", "Z",
    "F1", "F2", "F3", "F4", "F5", "F6", "F7", "F8", "F9", "F10", "F11", "F12", "F13", "F14", "F15",
    "Down", "Left", "Right", "Up",
    "Apostrophe", "Backquote", "Backslash", "Comma", "Equal", "LeftBracket", "Minus", "Period",
    "RightBracket", "Semicolon", "Slash",
    "Backspace", "Delete", "End", "Enter", "Escape", "Home", "Insert", "Menu", "PageDown",
    "PageUp", "Pause",
    "Space", "Tab", "NumLock", "CapsLock", "ScrollLock",
    "LeftShift", "RightShift", "LeftCtrl", "RightCtrl",
    "NumPad0", "NumPad1", "NumPad2", "NumPad3", "NumPad4", "NumPad5", "NumPad6", "NumPad7",
    "NumPad8", "NumPad9",
    "NumPadDot", "NumPadSlash", "NumPadAsterisk", "NumPadMinus", "NumPadPlus", "NumPadEnter",
    "LeftAlt", "RightAlt", "LeftSuper", "RightSuper",
    "Unknown",
};

struct NamedKey {
    std::string_view name;  // upper case
    Key key;
};

// Names read besides the single letters and digits; the first of each key is not the one
// written (key_to_ini_name writes the key's own name).
constexpr NamedKey kReadNames[] = {
    {"UP", Key::Up},
    {"DOWN", Key::Down},
    {"LEFT", Key::Left},
    {"RIGHT", Key::Right},
    {"SPACE", Key::Space},
    {"ENTER", Key::Enter},
    {"RETURN", Key::Enter},
    {"TAB", Key::Tab},
    {"BACKSPACE", Key::Backspace},
    {"SHIFT", Key::LeftShift},
    {"LEFTSHIFT", Key::LeftShift},
    {"RIGHTSHIFT", Key::RightShift},
    {"CTRL", Key::LeftCtrl},
    {"LEFTCTRL", Key::LeftCtrl},
    {"RIGHTCTRL", Key::RightCtrl},
    {"ALT", Key::LeftAlt},
    {"LEFTALT", Key::LeftAlt},
    {"RIGHTALT", Key::RightAlt},
};

struct ProfileKeys {
    Key up, down, left, right, btn1, btn2;
};

constexpr ProfileKeys kStandardKeys{Key::Up, Key::Down, Key::Left, Key::Right, Key::Z, Key::X};
constexpr ProfileKeys kWasdKeys{Key::W, Key::S, Key::A, Key::D, Key::J, Key::K};
constexpr ProfileKeys kNumpadKeys{Key::NumPad8, Key::NumPad2, Key::NumPad4,
                                  Key::NumPad6, Key::NumPad1, Key::NumPad0};

bool is_ascii_blank(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Length of a Unicode white-space character encoded at the start of `s`, or 0.
size_t unicode_blank_prefix(std::string_view s) {
    if (s.empty()) return 0;
    if (is_ascii_blank(static_cast<unsigned char>(s[0]))) return 1;
    static constexpr std::string_view kWide[] = {
        "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004",
        "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A", "\u2028", "\u2029",
        "\u202F", "\u205F", "\u3000",
    };
    for (std::string_view w : kWide) {
        if (s.starts_with(w)) return w.size();
    }
    return 0;
}

size_t unicode_blank_suffix(std::string_view s) {
    if (s.empty()) return 0;
    if (is_ascii_blank(static_cast<unsigned char>(s.back()))) return 1;
    for (size_t n = 2; n <= 3 && n <= s.size(); ++n) {
        if (unicode_blank_prefix(s.substr(s.size() - n)) == n) return n;
    }
    return 0;
}

// Trims white space at both ends, Unicode's included (the file may come from any editor).
std::string_view trim(std::string_view s) {
    while (size_t n = unicode_blank_prefix(s)) s.remove_prefix(n);
    while (size_t n = unicode_blank_suffix(s)) s.remove_suffix(n);
    return s;
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string ascii_upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

enum class ReadOutcome : uint8_t { Read, Missing, Unusable };

struct FileRead {
    ReadOutcome outcome = ReadOutcome::Read;
    std::string text;     // the whole file, when read
    std::string problem;  // why a file that is there cannot be used
};

// Reads the whole file as bytes. Invalid UTF-8 is no reason to give up: every name the file
// holds is ASCII, so stray bytes just fail to match.
FileRead read_file(const std::filesystem::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 && errno == ENOENT) return {ReadOutcome::Missing, {}, {}};
    // Never more than the limit is read, so a huge file costs no more than a large one.
    auto read = read_file_prefix(file, kMaxControlsFileBytes);
    if (!read) return {ReadOutcome::Unusable, {}, read.error().message};
    if (read->file_size > kMaxControlsFileBytes) {
        return {ReadOutcome::Unusable, {},
                fmt::format("{} byte, oltre il limite di {}", read->file_size, kMaxControlsFileBytes)};
    }
    return {ReadOutcome::Read, std::string(read->bytes.begin(), read->bytes.end()), {}};
}

// The key lines' names and the field each sets.
struct KeyField {
    std::string_view name;
    Key Controls::*member;
};
constexpr std::array<KeyField, 6> kKeyFields = {{{"up", &Controls::up},
                                                 {"down", &Controls::down},
                                                 {"left", &Controls::left},
                                                 {"right", &Controls::right},
                                                 {"btn1", &Controls::btn1},
                                                 {"btn2", &Controls::btn2}}};

// The index of a key line's name in kKeyFields.
std::optional<size_t> key_field_index(std::string_view key) {
    for (size_t i = 0; i < kKeyFields.size(); ++i) {
        if (key == kKeyFields[i].name) return i;
    }
    return std::nullopt;
}

// One "name=value" line of the file, as the reader sees it.
struct Setting {
    std::string key;         // lower-cased, not trimmed
    std::string_view value;  // as written
};

// The setting a line holds: a trimmed line that is no comment and has exactly one "=".
std::optional<Setting> parse_setting(std::string_view line) {
    line = trim(line);
    if (line.empty() || line.starts_with('#') || line.starts_with(';')) return std::nullopt;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos || line.find('=', eq + 1) != std::string_view::npos) {
        return std::nullopt;
    }
    // Neither side is trimmed: "up =X" names the key "up " and is skipped.
    return Setting{ascii_lower(line.substr(0, eq)), line.substr(eq + 1)};
}

// Calls `fn(line)` for every line of `text`, without its line feed.
template <typename Fn>
void for_each_line(std::string_view text, Fn&& fn) {
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        fn(text.substr(0, eol));
        text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
    }
}

std::optional<ControlProfile> profile_from_value(std::string_view lower_value) {
    if (lower_value == "standard") return ControlProfile::Standard;
    if (lower_value == "wasd") return ControlProfile::Wasd;
    if (lower_value == "numpad") return ControlProfile::Numpad;
    if (lower_value == "custom") return ControlProfile::Custom;
    return std::nullopt;
}

// The six keys as the log lines list them.
std::string keys_text(const Controls& c) {
    return fmt::format("up={}, down={}, left={}, right={}, btn1={}, btn2={}", c.up, c.down, c.left,
                       c.right, c.btn1, c.btn2);
}

void log_custom_keys(const Controls& c) {
    LOG_INFO(kLog, "Comandi personalizzati caricati da vestrel_controls.ini: {}", keys_text(c));
}

// Custom chosen over a file that exists: its key lines are taken over the keys in memory, and
// the text is kept except that its profile lines say Custom (one is added when there is none).
// Gives the text to write back, or nothing when it already says Custom.
std::optional<std::string> take_custom_keys(Controls& controls, std::string_view text) {
    std::string out;
    bool changed = false;
    bool has_profile = false;
    bool custom_set = false;
    for_each_line(text, [&](std::string_view line) {
        const bool last = line.data() + line.size() == text.data() + text.size();
        std::string_view kept = line;
        if (const auto setting = parse_setting(line)) {
            if (const auto i = key_field_index(setting->key)) {
                if (const auto k = ini_name_to_key(setting->value)) {
                    controls.*kKeyFields[*i].member = *k;
                    custom_set = true;
                }
            } else if (setting->key == "profile") {
                has_profile = true;
                if (ascii_lower(setting->value) != "custom") {
                    changed = true;
                    kept = line.ends_with('\r') ? "profile=Custom\r" : "profile=Custom";
                }
            }
        }
        out += kept;
        if (!last) out += '\n';
    });
    controls.profile = ControlProfile::Custom;
    if (custom_set) log_custom_keys(controls);
    if (!has_profile) {
        if (!out.empty() && !out.ends_with('\n')) out += '\n';
        out += "profile=Custom\n";
        changed = true;
    }
    if (!changed) return std::nullopt;
    return out;
}

// Replaces the file with `text`. A failure leaves the old file whole and is said once: the keys
// in use stay, only they are not saved.
void write_text(const std::filesystem::path& file, std::string_view text) {
    if (const auto written = write_whole_file(file, text); !written) {
        LOG_WARN(kLog, "{}: impossibile salvare i comandi, {}; file non modificato, i tasti in uso "
                       "non sono salvati",
                 file.string(), written.error().message);
    }
}

}  // namespace

std::string_view key_name(Key key) {
    const auto i = static_cast<size_t>(key);
    return i < kKeyNames.size() ? kKeyNames[i] : kKeyNames.back();
}

std::string_view profile_name(ControlProfile profile) {
    switch (profile) {
    case ControlProfile::Wasd: return "Wasd";
    case ControlProfile::Numpad: return "Numpad";
    case ControlProfile::Custom: return "Custom";
    default: return "Standard";
    }
}

std::string_view profile_file_name(ControlProfile profile) {
    return profile == ControlProfile::Wasd ? "WASD" : profile_name(profile);
}

void apply_profile(Controls& controls, ControlProfile profile) {
    controls.profile = profile;
    const ProfileKeys* keys = nullptr;
    switch (profile) {
    case ControlProfile::Standard: keys = &kStandardKeys; break;
    case ControlProfile::Wasd: keys = &kWasdKeys; break;
    case ControlProfile::Numpad: keys = &kNumpadKeys; break;
    case ControlProfile::Custom: return;
    }
    if (!keys) {
        // Not a profile at all: fall back to the default.
        controls.profile = ControlProfile::Standard;
        keys = &kStandardKeys;
    }
    controls.up = keys->up;
    controls.down = keys->down;
    controls.left = keys->left;
    controls.right = keys->right;
    controls.btn1 = keys->btn1;
    controls.btn2 = keys->btn2;
}

std::optional<Key> ini_name_to_key(std::string_view name) {
    const std::string upper = ascii_upper(trim(name));
    if (upper.size() == 1) {
        const char c = upper[0];
        if (c >= 'A' && c <= 'Z') return static_cast<Key>(static_cast<uint8_t>(Key::A) + (c - 'A'));
        if (c >= '0' && c <= '9') {
            return static_cast<Key>(static_cast<uint8_t>(Key::NumPad0) + (c - '0'));
        }
        return std::nullopt;
    }
    for (const NamedKey& n : kReadNames) {
        if (upper == n.name) return n.key;
    }
    for (std::string_view prefix : {std::string_view("KP"), std::string_view("NUMPAD")}) {
        if (upper.size() == prefix.size() + 1 && upper.starts_with(prefix)) {
            const char d = upper.back();
            if (d >= '0' && d <= '9') {
                return static_cast<Key>(static_cast<uint8_t>(Key::NumPad0) + (d - '0'));
            }
        }
    }
    return std::nullopt;
}

std::string_view key_to_ini_name(Key key) {
    const auto code = static_cast<uint8_t>(key);
    const bool letter = code >= static_cast<uint8_t>(Key::A) && code <= static_cast<uint8_t>(Key::Z);
    const bool numpad =
        code >= static_cast<uint8_t>(Key::NumPad0) && code <= static_cast<uint8_t>(Key::NumPad9);
    switch (key) {
    case Key::Down: case Key::Left: case Key::Right: case Key::Up:
    case Key::Backspace: case Key::Enter: case Key::Space: case Key::Tab:
    case Key::LeftShift: case Key::RightShift: case Key::LeftCtrl: case Key::RightCtrl:
    case Key::LeftAlt: case Key::RightAlt:
        return key_name(key);
    default:
        return letter || numpad ? key_name(key) : "Z";
    }
}

std::string controls_file_text(const Controls& c) {
    return fmt::format(
        "# Configurazione Comandi Vestrel\n"
        "# Profilo: Standard | WASD | Numpad | Custom\n"
        "profile={}\n"
        "\n"
        "# Tasti personalizzati (attivi con profile=Custom o come override):\n"
        "up={}\n"
        "down={}\n"
        "left={}\n"
        "right={}\n"
        "btn1={}\n"
        "btn2={}\n",
        profile_file_name(c.profile), key_to_ini_name(c.up), key_to_ini_name(c.down),
        key_to_ini_name(c.left), key_to_ini_name(c.right), key_to_ini_name(c.btn1),
        key_to_ini_name(c.btn2));
}

void save_controls(const Controls& controls, const std::filesystem::path& file) {
    write_text(file, controls_file_text(controls));
}

void load_controls(Controls& controls, const std::filesystem::path& file) {
    const FileRead read = read_file(file);
    switch (read.outcome) {
    case ReadOutcome::Missing:
        save_controls(controls, file);
        return;
    case ReadOutcome::Unusable:
        // Rewriting it would throw away whatever the person keeps there.
        LOG_WARN(kLog, "{}: impossibile leggere i comandi, {}; file non modificato, in uso il profilo "
                       "{}: {}",
                 file.string(), read.problem, controls.profile, keys_text(controls));
        return;
    case ReadOutcome::Read:
        break;
    }

    bool custom_set = false;
    // The key lines read since the last profile that set all six keys.
    std::array<bool, kKeyFields.size()> from_file{};
    // A fixed profile always stands in the file with its own keys: the record as it was at the
    // last such line. Written once after the parse, so a failure is reported once.
    std::optional<Controls> rewrite;
    for_each_line(read.text, [&](std::string_view line) {
        const auto setting = parse_setting(line);
        if (!setting) return;
        if (const auto i = key_field_index(setting->key)) {
            if (const auto k = ini_name_to_key(setting->value)) {
                controls.*kKeyFields[*i].member = *k;
                from_file[*i] = true;
                custom_set = true;
            }
            return;
        }
        if (setting->key != "profile") return;
        const auto profile = profile_from_value(ascii_lower(setting->value));
        if (profile == ControlProfile::Custom) {
            controls.profile = ControlProfile::Custom;
            custom_set = true;
        } else if (profile) {
            apply_profile(controls, *profile);
            from_file.fill(false);
            rewrite = controls;
        } else {
            // A misspelt name is no reason to throw the person's file away: their keys are
            // used, Standard's where they wrote none.
            LOG_WARN(kLog, "{}: profilo \"{}\" sconosciuto, file non modificato; tasti del file, "
                           "Standard dove mancano",
                     file.string(), setting->value);
            Controls standard;
            for (size_t i = 0; i < kKeyFields.size(); ++i) {
                if (!from_file[i]) controls.*kKeyFields[i].member = standard.*kKeyFields[i].member;
            }
            controls.profile = ControlProfile::Standard;
        }
    });

    if (rewrite) save_controls(*rewrite, file);
    if (controls.profile == ControlProfile::Custom && custom_set) log_custom_keys(controls);
}

void select_profile(Controls& controls, ControlProfile profile, const std::filesystem::path& file) {
    apply_profile(controls, profile);
    if (profile != ControlProfile::Custom) {
        save_controls(controls, file);
        return;
    }
    const FileRead read = read_file(file);
    switch (read.outcome) {
    case ReadOutcome::Missing: save_controls(controls, file); return;
    case ReadOutcome::Unusable:
        // Custom means the file's keys; without them the keys in use carry on, and the person
        // is told which, rather than left to believe their own keys are active.
        LOG_WARN(kLog, "{}: impossibile leggere i comandi, {}; file non modificato, Custom usa i "
                       "tasti già in uso: {}",
                 file.string(), read.problem, keys_text(controls));
        return;
    case ReadOutcome::Read: break;
    }
    if (const auto rewritten = take_custom_keys(controls, read.text)) write_text(file, *rewritten);
}

}  // namespace vestrel
