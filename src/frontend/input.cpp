#include "frontend/input.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "common/log.hpp"
#include "frontend/menu.hpp"
#include "machine/slave.hpp"

namespace vestrel {
namespace {

LogTarget kLog{"vestrel"};

constexpr float kDpadAxisThreshold = 0.4f;
constexpr float kStickThreshold = 0.35f;
constexpr float kMaxVolume = 2.0f;

constexpr int32_t kMaxX = static_cast<int32_t>(kPointerMaxX);
constexpr int32_t kMaxY = static_cast<int32_t>(kPointerMaxY);

// The BIOS shell's play button and where the pointer goes once the disc's program runs.
constexpr int32_t kPlayButtonX = 575;
constexpr int32_t kPlayButtonY = 335;
constexpr int32_t kHandOffX = 384;
constexpr int32_t kHandOffY = 280;
constexpr uint32_t kDvcShellStateAddress = 0xD01202;
constexpr uint32_t kBiosShellStateAddress = 0x5172;
constexpr uint32_t kShellReady = 2;
constexpr uint64_t kFirstHandOffFrame = 251;

struct ScriptStep {
    uint32_t count;
    uint8_t buttons;
};
// Two clicks 150 frames apart: move, press, release.
constexpr std::array<ScriptStep, 6> kBootScript = {{
    {0, 0}, {29, kPointerButton1}, {49, 0}, {149, 0}, {179, kPointerButton1}, {199, 0}}};

constexpr std::string_view kCapturedText = "CATTURATO (focus console, puntatore host nascosto)";
constexpr std::string_view kFreeText =
    "LIBERO (puntatore desktop visibile, rotellina o clic per ricatturare)";

int32_t sign(int32_t v) { return (v > 0) - (v < 0); }

// -1, 0 or +1 for one direction pair of a gamepad: D-pad buttons, then the D-pad axis, then
// the stick. `minus_is_positive_axis` says the axes are positive in the "minus" direction.
int32_t gamepad_direction(bool minus_button, bool plus_button, float dpad_axis, float stick,
                          bool minus_is_positive_axis) {
    if (minus_button) return -1;
    if (plus_button) return +1;
    const float flip = minus_is_positive_axis ? -1.0f : 1.0f;
    const float dpad = dpad_axis * flip;
    if (dpad < -kDpadAxisThreshold) return -1;
    if (dpad > kDpadAxisThreshold) return +1;
    const float s = stick * flip;
    if (s < -kStickThreshold) return -1;
    if (s > kStickThreshold) return +1;
    return 0;
}

uint8_t gamepad_buttons(const GamepadState& g) {
    uint8_t b = 0;
    if (g.south || g.start) b |= kPointerButton1;
    if (g.east || g.west) b |= kPointerButton2;
    return b;
}

bool ctrl_held(const InputSnapshot& in) {
    return in.held(Key::LeftCtrl) || in.held(Key::RightCtrl);
}

bool differs_from_last_report(const Slave& slave, int32_t x, int32_t y, uint8_t buttons) {
    return x != slave.last_report_x || y != slave.last_report_y || buttons != slave.button_state;
}

// A scripted pointer state, unless the slave already reported exactly that.
void send_script_report(Slave& slave, int32_t x, int32_t y, uint8_t buttons) {
    if (slave.last_report_x == x && slave.last_report_y == y && slave.button_state == buttons) {
        return;
    }
    slave.send_pointer_report(x, y, buttons);
}

}  // namespace

InputActions decide_input(LoopState& s, const InputSnapshot& in, Slave& slave, bool disc_in_slot) {
    InputActions out;
    const bool focused = in.focused;

    // The cursor follows the capture state as it stood at the start of the frame.
    if (focused && s.mouse_captured) {
        out.capture_cursor = true;
        s.cursor_hidden = true;
    } else if (s.cursor_hidden) {
        out.release_cursor = true;
        s.cursor_hidden = false;
    }

    const bool ctrl = ctrl_held(in);
    const HotkeyStates now{
        .ctrl_i = ctrl && in.held(Key::I),
        .ctrl_o = ctrl && in.held(Key::O),
        .f5 = in.held(Key::F5),
        .f11 = in.held(Key::F11),
        .f12 = in.held(Key::F12),
        .m = in.held(Key::M),
        .middle = in.mouse_middle,
    };
    const HotkeyStates& before = s.previous_keys;

    if (focused) {
        out.open_insert_dialog = in.ctrl_i_pressed || (now.ctrl_i && !before.ctrl_i);
        out.open_reset_dialog = in.ctrl_o_pressed || (now.ctrl_o && !before.ctrl_o);
        out.reset = now.f5 && !before.f5;
        out.toggle_fullscreen = now.f11 && !before.f11;
        out.screenshot = now.f12 && !before.f12;
        out.toggle_mute = now.m && !before.m;
        out.volume_up = in.held(Key::Equal) || in.held(Key::NumPadPlus);
        out.volume_down = in.held(Key::Minus) || in.held(Key::NumPadMinus);
        if (now.middle && !before.middle) {
            s.mouse_captured = !s.mouse_captured;
            LOG_INFO(kLog, "Controllo mouse: {}", s.mouse_captured ? kCapturedText : kFreeText);
        }
        if (!s.mouse_captured && in.mouse_left) {
            s.mouse_captured = true;
            LOG_INFO(kLog, "Controllo mouse: {}", kCapturedText);
        }
    }

    int32_t dx = 0;
    int32_t dy = 0;
    uint8_t buttons = 0;
    if (focused) {
        const Controls& c = s.controls;
        const auto any = [&](std::initializer_list<Key> keys) {
            return std::ranges::any_of(keys, [&](Key k) { return in.held(k); });
        };
        if (any({c.left, Key::Left, Key::A})) dx = -1;
        if (any({c.right, Key::Right, Key::D})) dx = dx == -1 ? 0 : 1;
        if (any({c.up, Key::Up, Key::W})) dy = -1;
        if (any({c.down, Key::Down, Key::S})) dy = dy == -1 ? 0 : 1;
        if (any({c.btn1, Key::Space, Key::Enter, Key::Z, Key::J})) buttons |= kPointerButton1;
        if (any({c.btn2, Key::LeftShift, Key::RightShift, Key::X, Key::K})) {
            buttons |= kPointerButton2;
        }
    }

    for (const GamepadState& g : in.gamepads) {
        // Up is the positive direction of both axes, so the "minus" (up) direction is positive.
        dy += gamepad_direction(g.dpad_up, g.dpad_down, g.dpad_y, g.left_y, true);
        dx += gamepad_direction(g.dpad_left, g.dpad_right, g.dpad_x, g.left_x, false);
        buttons |= gamepad_buttons(g);
    }

    std::optional<std::pair<int32_t, int32_t>> mouse_pos;
    if (focused && s.mouse_captured && in.mouse) {
        const auto x = static_cast<int32_t>(std::clamp<long>(std::lround(in.mouse->x), 0, kMaxX));
        const auto y = static_cast<int32_t>(std::clamp<long>(std::lround(in.mouse->y), 0, kMaxY));
        mouse_pos = {x, y};
        if (in.mouse_left) buttons |= kPointerButton1;
        if (in.mouse_right) buttons |= kPointerButton2;
    }

    int32_t base_x = s.pointer_x;
    int32_t base_y = s.pointer_y;
    if (slave.position_set) {
        base_x = static_cast<int32_t>(slave.pointer_x);
        base_y = static_cast<int32_t>(slave.pointer_y);
        slave.position_set = false;
    }

    int32_t new_x = base_x;
    int32_t new_y = base_y;
    if (disc_in_slot && !s.auto_boot_done) {
        // The scripted start owns the pointer until the hand-off.
    } else if (s.pointer_device == PointerDevice::Mouse) {
        new_x = mouse_pos ? mouse_pos->first : s.pointer_x;
        new_y = mouse_pos ? mouse_pos->second : s.pointer_y;
        if (differs_from_last_report(slave, new_x, new_y, buttons)) {
            slave.send_pointer_report(new_x, new_y, buttons);
        }
    } else {
        if (dx != 0) new_x = std::clamp(base_x + kPointerStep * sign(dx), 0, kMaxX);
        if (dy != 0) new_y = std::clamp(base_y + kPointerStep * sign(dy), 0, kMaxY);
        if (dx != 0 || dy != 0 || buttons != s.last_gamepad_buttons) {
            s.last_gamepad_buttons = buttons;
            if (differs_from_last_report(slave, new_x, new_y, buttons)) {
                slave.send_pointer_report(new_x, new_y, buttons);
            }
        }
    }
    s.pointer_x = new_x;
    s.pointer_y = new_y;

    s.previous_keys = now;
    return out;
}

std::bitset<kKeyCount> console_keys(const Controls& c) {
    std::bitset<kKeyCount> keys;
    for (Key k : {Key::Left, Key::Right, Key::Up, Key::Down, Key::A, Key::D, Key::W, Key::S,
                  Key::Space, Key::Enter, Key::Z, Key::J, Key::LeftShift, Key::RightShift, Key::X,
                  Key::K, Key::LeftCtrl, Key::RightCtrl, Key::I, Key::O, Key::F5, Key::F11,
                  Key::F12, Key::M, Key::Equal, Key::NumPadPlus, Key::Minus, Key::NumPadMinus,
                  Key::Escape, c.up, c.down, c.left, c.right, c.btn1, c.btn2}) {
        keys.set(static_cast<size_t>(k));
    }
    return keys;
}

bool key_opens_menu(Key key, bool alt, bool ctrl, bool shift, const Controls& controls) {
    const std::bitset<kKeyCount> used = console_keys(controls);
    if (used.test(static_cast<size_t>(key))) return false;
    if (key == Key::F10) return !alt && !ctrl && !shift;
    if (!alt || ctrl || shift) return false;
    const bool console_alt = used.test(static_cast<size_t>(Key::LeftAlt)) ||
                             used.test(static_cast<size_t>(Key::RightAlt));
    if (console_alt) return false;
    return std::ranges::any_of(menu_bar_definition(), [&](const MenuDefinition& menu) {
        return menu_mnemonic_key(menu) == key;
    });
}

float stick_axis_x(int16_t raw) {
    return std::clamp(static_cast<float>(raw) / 32767.0f, -1.0f, 1.0f);
}

float stick_axis_y(int16_t raw) { return -stick_axis_x(raw); }

float apply_volume_keys(float volume, bool up, bool down) {
    if (up) volume = std::min(volume + kKeyVolumeStep, kMaxVolume);
    if (down) volume = std::max(volume - kKeyVolumeStep, 0.0f);
    return volume;
}

void apply_input_actions(Frontend& f, const InputActions& a, CommandQueue& queue) {
    if (a.capture_cursor) f.ui.set_cursor_captured(true);
    if (a.release_cursor) f.ui.set_cursor_captured(false);
    if (a.open_insert_dialog) {
        if (auto path = f.ui.open_disc_dialog()) {
            queue.push(Command::with_path(CommandTag::InsertDisc, std::move(*path)));
        }
    }
    if (a.open_reset_dialog) {
        if (auto path = f.ui.open_disc_dialog()) {
            queue.push(Command::with_path(CommandTag::OpenDiscAndReset, std::move(*path)));
        }
    }
    if (a.reset) queue.push(Command::make(CommandTag::Reset));
    if (a.toggle_fullscreen) toggle_fullscreen(f);
    if (a.screenshot) {
        save_screenshot(f.state.frame_counter, f.console.frame_buffer(), f.base_dir);
    }
    if (a.toggle_mute) {
        const bool muted = !f.console.muted();
        f.console.set_muted(muted);
        LOG_INFO(kLog, "Audio: {}", muted ? "MUTED" : "UNMUTED");
    }
    if (a.volume_up || a.volume_down) {
        f.console.set_volume(apply_volume_keys(f.console.volume(), a.volume_up, a.volume_down));
    }
}

void auto_boot_step(Frontend& f) {
    Console& console = f.console;
    LoopState& s = f.state;
    Slave& slave = console.slave();
    const auto read_long = [&](uint32_t address) {
        const uint32_t high = console.read_word(address);
        return (high << 16) | console.read_word(address + 2);
    };

    uint32_t shell_state = 0;
    bool have_state = false;
    if (console.dvc_fitted()) {
        shell_state = read_long(kDvcShellStateAddress);
        have_state = shell_state >= kShellReady;
    }
    if (!have_state) shell_state = read_long(kBiosShellStateAddress);

    if (shell_state >= kShellReady) {
        const uint32_t c = s.auto_boot_counter++;
        for (const ScriptStep& step : kBootScript) {
            if (step.count != c) continue;
            if (step.buttons != 0) {
                LOG_INFO(kLog,
                         "Shell BIOS pronta (stato {}): avvio automatico disco CD-i (click PLAY "
                         "CD-I)...",
                         shell_state);
            }
            send_script_report(slave, kPlayButtonX, kPlayButtonY, step.buttons);
        }
    }

    const uint32_t pc = console.pc();
    const bool in_ram = pc >= 0x10000 && pc < 0x300000;
    const bool in_cartridge = pc >= 0xD00000 && pc < 0xE00000;
    if ((in_ram || in_cartridge) && s.frame_counter >= kFirstHandOffFrame) {
        LOG_INFO(kLog,
                 "Applicazione disco in esecuzione in RAM (PC=0x{:06X}), controllo passato "
                 "all'utente.",
                 pc);
        console.set_wait_states(true);
        s.auto_boot_done = true;
        s.pointer_x = kHandOffX;
        s.pointer_y = kHandOffY;
        send_script_report(slave, kHandOffX, kHandOffY, 0);
    }
}

}  // namespace vestrel
