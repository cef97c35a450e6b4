// Host input once per frame: focus and mouse capture, the hotkeys, the keyboard, gamepads and
// mouse turned into one CD-i pointer, and the scripted click that starts a disc from the BIOS
// shell. The decision is a pure function of an `InputSnapshot`; the window and the gamepad
// layer only fill the snapshot, and the caller carries out the returned actions.
#pragma once

#include <bitset>
#include <cstdint>
#include <optional>
#include <vector>

#include "frontend/controls.hpp"
#include "frontend/startup.hpp"

namespace vestrel {

class Slave;

// One connected game controller. Stick axes run -1..+1 with +y meaning up.
struct GamepadState {
    bool dpad_up = false;
    bool dpad_down = false;
    bool dpad_left = false;
    bool dpad_right = false;
    bool south = false;
    bool east = false;
    bool west = false;
    bool start = false;
    float dpad_x = 0.0f;  // controllers that report the D-pad as an axis
    float dpad_y = 0.0f;
    float left_x = 0.0f;
    float left_y = 0.0f;
};

// Where the mouse is over the picture, in frame-buffer pixels (before rounding).
struct MousePosition {
    double x = 0.0;
    double y = 0.0;
};

// A controller stick's raw value (-32768..32767, Y growing downwards as SDL reports it) as the
// snapshot's -1..+1 with Y growing upwards.
float stick_axis_x(int16_t raw);
float stick_axis_y(int16_t raw);

struct InputSnapshot {
    // Keys reach the window only while it has the focus; without it no key acts.
    bool focused = false;
    std::bitset<kKeyCount> keys;
    // Ctrl+I and Ctrl+O as the key presses gave them since the last snapshot: the letter went
    // down while a Ctrl key was held. A chord shorter than a frame, or repeated within one, is
    // still seen.
    bool ctrl_i_pressed = false;
    bool ctrl_o_pressed = false;
    std::optional<MousePosition> mouse;  // none while the mouse is outside the picture
    bool mouse_left = false;
    bool mouse_middle = false;
    bool mouse_right = false;
    std::vector<GamepadState> gamepads;

    bool held(Key key) const { return keys.test(static_cast<size_t>(key)); }
    void press(Key key) { keys.set(static_cast<size_t>(key)); }
};

// What the frame must do after the decision; the pointer report has already been sent.
struct InputActions {
    bool capture_cursor = false;  // hide and confine the host cursor this frame
    bool release_cursor = false;  // show and free it again
    bool open_insert_dialog = false;
    bool open_reset_dialog = false;
    bool reset = false;
    bool toggle_fullscreen = false;
    bool screenshot = false;
    bool toggle_mute = false;
    bool volume_up = false;  // held: every frame
    bool volume_down = false;
};

inline constexpr int32_t kPointerStep = 8;
inline constexpr float kKeyVolumeStep = 0.02f;

// The input part of a frame, after the emulated lines: updates the loop state (capture, pointer,
// hotkey memory) and the slave (a pointer report when something changed).
InputActions decide_input(LoopState& state, const InputSnapshot& in, Slave& slave,
                          bool disc_in_slot);

// Carries out the actions: the cursor, the dialogs and queued commands, fullscreen, screenshot,
// mute and the held volume keys.
void apply_input_actions(Frontend& f, const InputActions& actions, CommandQueue& queue);

// The volume after the held volume keys of one frame.
float apply_volume_keys(float volume, bool up, bool down);

// The keys the console reads: the fixed movement and button keys, the hotkeys, the volume
// keys, Escape, and the profile's six keys.
std::bitset<kKeyCount> console_keys(const Controls& controls);

// Whether a key press goes to the menu bar instead of the console: F10 alone opens the bar,
// Alt with a menu title's underlined letter opens that menu. Never a key the console reads,
// nor while the console reads the Alt key itself.
bool key_opens_menu(Key key, bool alt, bool ctrl, bool shift, const Controls& controls);

// One frame of the scripted start of a disc: clicks the BIOS shell's play button and hands the
// pointer to the user once the disc's application runs. Called before the emulated lines while
// a disc is in the slot and the hand-off has not happened.
void auto_boot_step(Frontend& f);

}  // namespace vestrel
