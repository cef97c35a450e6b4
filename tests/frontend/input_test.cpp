#include "frontend/input.hpp"

#include <array>
#include <vector>

#include <gtest/gtest.h>

#include "common/log.hpp"
#include "fake_console.hpp"
#include "machine/slave.hpp"

namespace vestrel {
namespace {

using testing::FakeConsole;
using testing::FakeUi;
using testing::StillClock;

using Packet = std::array<uint8_t, 4>;

Packet channel0(const Slave& s) {
    const auto& r = s.channels[Slave::kPointerChannel].response;
    return {r[0], r[1], r[2], r[3]};
}

// The frame loop's input step on a fresh loop state, with the slave's packets collected.
struct InputRig {
    LoopState state;
    Slave slave;
    bool disc = false;
    std::vector<Packet> sent;

    InputActions frame(const InputSnapshot& in) {
        slave.channels[Slave::kPointerChannel].response_length = 0;
        const InputActions a = decide_input(state, in, slave, disc);
        if (slave.channels[Slave::kPointerChannel].response_length == 4) {
            sent.push_back(channel0(slave));
        }
        return a;
    }
};

InputSnapshot focused_with(std::initializer_list<Key> keys) {
    InputSnapshot in;
    in.focused = true;
    for (Key k : keys) in.press(k);
    return in;
}

TEST(InputHotkeys, HeldKeyFiresOncePerPress) {
    InputRig rig;
    int resets = 0;
    for (int i = 0; i < 10; ++i) resets += rig.frame(focused_with({Key::F5})).reset;
    EXPECT_EQ(resets, 1);
    rig.frame(focused_with({}));
    EXPECT_TRUE(rig.frame(focused_with({Key::F5})).reset);
}

TEST(InputHotkeys, CtrlFirstThenLetterFiresAtTheLetter) {
    InputRig rig;
    EXPECT_FALSE(rig.frame(focused_with({Key::LeftCtrl})).open_insert_dialog);
    EXPECT_FALSE(rig.frame(focused_with({Key::LeftCtrl})).open_insert_dialog);
    EXPECT_TRUE(rig.frame(focused_with({Key::LeftCtrl, Key::I})).open_insert_dialog);
    EXPECT_FALSE(rig.frame(focused_with({Key::LeftCtrl, Key::I})).open_insert_dialog);
    EXPECT_TRUE(rig.frame(focused_with({Key::RightCtrl, Key::O})).open_reset_dialog);
    EXPECT_FALSE(rig.frame(focused_with({Key::O})).open_reset_dialog);
}

TEST(InputHotkeys, KeysActOnlyWithTheFocus) {
    InputRig rig;
    InputSnapshot in;  // not focused
    for (Key k : {Key::F5, Key::F11, Key::F12, Key::M, Key::Equal, Key::Minus, Key::LeftCtrl,
                  Key::I}) {
        in.press(k);
    }
    in.ctrl_i_pressed = in.ctrl_o_pressed = true;
    in.mouse_middle = true;
    const InputActions a = rig.frame(in);
    EXPECT_FALSE(a.reset);
    EXPECT_FALSE(a.toggle_fullscreen);
    EXPECT_FALSE(a.screenshot);
    EXPECT_FALSE(a.toggle_mute);
    EXPECT_FALSE(a.volume_up);
    EXPECT_FALSE(a.volume_down);
    EXPECT_FALSE(a.open_insert_dialog);
    EXPECT_FALSE(a.open_reset_dialog);
    EXPECT_TRUE(rig.state.mouse_captured);
}

TEST(InputHotkeys, ChordsComeFromTheKeyPresses) {
    InputRig rig;
    InputSnapshot held = focused_with({Key::LeftCtrl, Key::I});
    EXPECT_TRUE(rig.frame(held).open_insert_dialog);
    // Let go and pressed again between two frames: the held state looks unchanged, the press
    // still counts.
    held.ctrl_i_pressed = true;
    EXPECT_TRUE(rig.frame(held).open_insert_dialog);
    held.ctrl_i_pressed = false;
    EXPECT_FALSE(rig.frame(held).open_insert_dialog);
    // A chord pressed and let go within one frame: nothing is held any more.
    InputSnapshot tap = focused_with({});
    tap.ctrl_o_pressed = true;
    const InputActions a = rig.frame(tap);
    EXPECT_TRUE(a.open_reset_dialog);
    EXPECT_FALSE(a.open_insert_dialog);
}

TEST(InputMenuKeys, F10AndAltLettersOpenTheMenuUnlessTheConsoleUsesThem) {
    Controls standard;
    Controls custom;
    custom.profile = ControlProfile::Custom;
    custom.btn1 = Key::F;  // the console now reads F
    Controls alt_button;
    alt_button.profile = ControlProfile::Custom;
    alt_button.btn2 = Key::LeftAlt;
    Controls wasd;
    apply_profile(wasd, ControlProfile::Wasd);
    struct Case {
        Key key;
        bool alt, ctrl, shift;
        const Controls& controls;
        bool opens;
    };
    const Case cases[] = {
        {Key::F10, false, false, false, standard, true},
        {Key::F10, false, false, true, standard, false},
        {Key::F10, true, false, false, standard, false},
        {Key::F, true, false, false, standard, true},   // File
        {Key::C, true, false, false, standard, true},   // Comandi
        {Key::U, true, false, false, wasd, true},       // Audio
        {Key::V, true, false, false, standard, true},   // Video
        {Key::T, true, false, false, standard, true},   // Aiuto
        {Key::F, false, false, false, standard, false},
        {Key::F, true, true, false, standard, false},
        {Key::F, true, false, true, standard, false},
        {Key::G, true, false, false, standard, false},  // no menu has it
        {Key::A, true, false, false, standard, false},  // the console's left
        {Key::I, true, false, false, standard, false},  // Ctrl+I's letter
        {Key::Z, true, false, false, standard, false},
        {Key::F, true, false, false, custom, false},
        {Key::V, true, false, false, alt_button, false},
        {Key::F5, false, false, false, standard, false},
        {Key::Escape, false, false, false, standard, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(key_opens_menu(c.key, c.alt, c.ctrl, c.shift, c.controls), c.opens)
            << key_name(c.key) << " alt=" << c.alt << " ctrl=" << c.ctrl << " shift=" << c.shift;
    }
}

TEST(InputHotkeys, MiddleButtonTogglesCaptureAndLeftClickRecaptures) {
    InputRig rig;
    std::vector<std::string> lines;
    log_capture(&lines);
    InputSnapshot in = focused_with({});
    in.mouse_middle = true;
    rig.frame(in);
    EXPECT_FALSE(rig.state.mouse_captured);
    rig.frame(in);  // still held: no second toggle
    EXPECT_FALSE(rig.state.mouse_captured);
    InputSnapshot click = focused_with({});
    click.mouse_left = true;
    rig.frame(click);
    EXPECT_TRUE(rig.state.mouse_captured);
    log_capture(nullptr);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("Controllo mouse: LIBERO (puntatore desktop visibile, rotellina o "
                            "clic per ricatturare)"),
              std::string::npos);
    EXPECT_NE(lines[1].find("Controllo mouse: CATTURATO (focus console, puntatore host nascosto)"),
              std::string::npos);
}

TEST(InputCursor, HiddenWhileFocusedAndCapturedAndShownOnce) {
    InputRig rig;
    EXPECT_TRUE(rig.frame(focused_with({})).capture_cursor);
    EXPECT_TRUE(rig.state.cursor_hidden);
    const InputActions lost = rig.frame(InputSnapshot{});
    EXPECT_FALSE(lost.capture_cursor);
    EXPECT_TRUE(lost.release_cursor);
    EXPECT_FALSE(rig.frame(InputSnapshot{}).release_cursor);
}

TEST(InputGamepadMode, ArrowMovesEightPixelsAndStopsAtTheEdge) {
    InputRig rig;
    rig.state.pointer_x = 750;
    const InputSnapshot right = focused_with({Key::Right});
    rig.frame(right);
    EXPECT_EQ(rig.state.pointer_x, 758);
    rig.frame(right);
    rig.frame(right);
    EXPECT_EQ(rig.state.pointer_x, 767);
    ASSERT_EQ(rig.sent.size(), 3u);
    EXPECT_EQ(rig.sent[0], (Packet{0x0D, 758 & 0x7F, 0x02, 0x4F}));
    rig.frame(right);  // at the edge with unchanged buttons: nothing more
    rig.frame(focused_with({}));
    EXPECT_EQ(rig.sent.size(), 3u);
    EXPECT_EQ(rig.state.pointer_x, 767);
}

TEST(InputGamepadMode, DirectionsButtonsAndProfileKeys) {
    struct Case {
        std::vector<Key> keys;
        int32_t dx, dy;
        uint8_t buttons;
    };
    const std::vector<Case> cases = {
        {{Key::Left, Key::Right}, 0, 0, 0},
        {{Key::A}, -8, 0, 0},
        {{Key::W, Key::D}, 8, -8, 0},
        {{Key::S}, 0, 8, 0},
        {{Key::Space}, 0, 0, kPointerButton1},
        {{Key::J, Key::RightShift}, 0, 0, kPointerButton1 | kPointerButton2},
        {{Key::NumPad8}, 0, -8, 0},  // the Numpad profile's up key
        {{Key::NumPad1, Key::NumPad0}, 0, 0, kPointerButton1 | kPointerButton2},
    };
    for (const Case& c : cases) {
        InputRig rig;
        apply_profile(rig.state.controls, ControlProfile::Numpad);
        InputSnapshot in = focused_with({});
        for (Key k : c.keys) in.press(k);
        rig.frame(in);
        EXPECT_EQ(rig.state.pointer_x, 575 + c.dx) << static_cast<int>(c.keys[0]);
        EXPECT_EQ(rig.state.pointer_y, 335 + c.dy) << static_cast<int>(c.keys[0]);
        EXPECT_EQ(rig.slave.button_state, c.buttons) << static_cast<int>(c.keys[0]);
    }
}

TEST(InputGamepadMode, IdleSendsNothingButReleasingAButtonDoes) {
    InputRig rig;
    rig.frame(focused_with({}));
    EXPECT_TRUE(rig.sent.empty());
    rig.frame(focused_with({Key::Z}));
    rig.frame(focused_with({Key::Z}));  // held, nothing changed
    rig.frame(focused_with({}));
    ASSERT_EQ(rig.sent.size(), 2u);
    EXPECT_EQ(rig.sent[0], (Packet{0x1C, 0x3F, 0x02, 0x4F}));
    EXPECT_EQ(rig.sent[1], (Packet{0x0C, 0x3F, 0x02, 0x4F}));
}

TEST(InputGamepads, ReadWithoutFocusWithThresholdsAndSigns) {
    struct Case {
        GamepadState pad;
        int32_t dx, dy;
        uint8_t buttons;
    };
    GamepadState stick_small;
    stick_small.left_x = 0.3f;
    stick_small.left_y = -0.3f;
    GamepadState dpad_axis_wins;
    dpad_axis_wins.dpad_x = -0.5f;
    dpad_axis_wins.left_x = 1.0f;
    GamepadState stick_up;
    stick_up.left_y = 0.9f;  // up is positive in the snapshot
    GamepadState button_wins;
    button_wins.dpad_down = true;
    button_wins.left_y = 1.0f;
    GamepadState buttons;
    buttons.start = true;
    buttons.west = true;
    const std::vector<Case> cases = {
        {stick_small, 0, 0, 0},
        {dpad_axis_wins, -8, 0, 0},
        {stick_up, 0, -8, 0},
        {button_wins, 0, 8, 0},
        {buttons, 0, 0, kPointerButton1 | kPointerButton2},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        InputRig rig;
        InputSnapshot in;  // unfocused: the keyboard is ignored, pads are not
        in.press(Key::Left);
        in.gamepads.push_back(cases[i].pad);
        rig.frame(in);
        EXPECT_EQ(rig.state.pointer_x, 575 + cases[i].dx) << i;
        EXPECT_EQ(rig.state.pointer_y, 335 + cases[i].dy) << i;
        EXPECT_EQ(rig.slave.button_state, cases[i].buttons) << i;
    }
    // Two pads pushing right add up to 2 and still move by 8.
    InputRig rig;
    GamepadState right;
    right.dpad_right = true;
    InputSnapshot two;
    two.gamepads = {right, right};
    rig.frame(two);
    EXPECT_EQ(rig.state.pointer_x, 583);
}

TEST(InputMouseMode, FollowsTheMouseAndReportsChanges) {
    InputRig rig;
    rig.state.pointer_device = PointerDevice::Mouse;
    InputSnapshot in = focused_with({});
    in.mouse = MousePosition{575.0, 335.0};
    rig.frame(in);  // first frame: the slave has reported nothing yet
    ASSERT_EQ(rig.sent.size(), 1u);
    rig.frame(in);
    EXPECT_EQ(rig.sent.size(), 1u);
    in.mouse_right = true;
    rig.frame(in);
    ASSERT_EQ(rig.sent.size(), 2u);
    EXPECT_EQ(rig.sent[1], (Packet{0x2C, 0x3F, 0x02, 0x4F}));
    in.mouse = MousePosition{-3.0, 900.4};
    in.mouse_right = false;
    rig.frame(in);
    EXPECT_EQ(rig.state.pointer_x, 0);
    EXPECT_EQ(rig.state.pointer_y, 559);
    in.mouse = MousePosition{10.5, 20.49};  // halves away from zero
    rig.frame(in);
    EXPECT_EQ(rig.state.pointer_x, 11);
    EXPECT_EQ(rig.state.pointer_y, 20);
    // Outside the picture or not captured: the position stays.
    in.mouse.reset();
    rig.frame(in);
    EXPECT_EQ(rig.state.pointer_x, 11);
    rig.state.mouse_captured = false;
    in.mouse = MousePosition{300, 300};
    rig.frame(in);
    EXPECT_EQ(rig.state.pointer_x, 11);
}

TEST(InputPointer, SoftwarePositionBecomesTheBase) {
    InputRig rig;
    rig.slave.pointer_x = 100;
    rig.slave.pointer_y = 50;
    rig.slave.position_set = true;
    rig.frame(focused_with({Key::Down}));
    EXPECT_FALSE(rig.slave.position_set);
    EXPECT_EQ(rig.state.pointer_x, 100);
    EXPECT_EQ(rig.state.pointer_y, 58);
}

TEST(InputPointer, NothingIsReportedDuringAutoBoot) {
    InputRig rig;
    rig.disc = true;
    rig.frame(focused_with({Key::Right, Key::Z}));
    EXPECT_TRUE(rig.sent.empty());
    EXPECT_EQ(rig.state.pointer_x, 575);
    rig.state.auto_boot_done = true;
    rig.frame(focused_with({Key::Right, Key::Z}));
    EXPECT_EQ(rig.sent.size(), 1u);
}

TEST(InputGamepads, RawStickPushedUpMovesThePointerUp) {
    InputRig rig;
    GamepadState g;
    g.left_y = stick_axis_y(-32768);  // SDL: stick fully up
    g.left_x = stick_axis_x(32767);
    InputSnapshot in;
    in.gamepads.push_back(g);
    rig.frame(in);
    EXPECT_EQ(rig.state.pointer_y, 335 - 8);
    EXPECT_EQ(rig.state.pointer_x, 575 + 8);
    EXPECT_FLOAT_EQ(stick_axis_y(16384), -16384.0f / 32767.0f);
}

TEST(InputVolume, KeysStepAndClamp) {
    EXPECT_FLOAT_EQ(apply_volume_keys(1.0f, true, false), 1.02f);
    EXPECT_FLOAT_EQ(apply_volume_keys(1.99f, true, false), 2.0f);
    EXPECT_FLOAT_EQ(apply_volume_keys(0.01f, false, true), 0.0f);
    EXPECT_FLOAT_EQ(apply_volume_keys(1.0f, true, true), 1.0f);
}

TEST(InputActionsTest, DialogsQueueOnlyWhenAPathIsChosen) {
    LoopState state;
    FakeConsole console;
    FakeUi ui;
    StillClock clock;
    Frontend f{state, console, ui, clock};
    CommandQueue queue;
    InputActions a;
    a.open_reset_dialog = true;
    apply_input_actions(f, a, queue);
    EXPECT_EQ(ui.dialogs, 1);
    EXPECT_EQ(queue.pop().tag, CommandTag::None);
    ui.dialog_answer = "disc.chd";
    a.open_insert_dialog = true;
    a.reset = true;
    a.toggle_mute = true;
    apply_input_actions(f, a, queue);
    EXPECT_EQ(queue.pop().tag, CommandTag::InsertDisc);
    EXPECT_EQ(queue.pop().tag, CommandTag::OpenDiscAndReset);
    EXPECT_EQ(queue.pop().tag, CommandTag::Reset);
    EXPECT_TRUE(console.mute);
}

// The scripted start with the BIOS shell state at 0x5172.
class AutoBootTest : public ::testing::Test {
protected:
    std::vector<Packet> run_frames(int n) {
        std::vector<Packet> sent;
        for (int i = 0; i < n && !state.auto_boot_done; ++i) {
            console.slave_.channels[0].response_length = 0;
            auto_boot_step(f);
            if (console.slave_.channels[0].response_length == 4) {
                sent.push_back(channel0(console.slave_));
                at.push_back(i);
            }
            ++state.frame_counter;
        }
        return sent;
    }
    LoopState state;
    FakeConsole console;
    FakeUi ui;
    StillClock clock;
    Frontend f{state, console, ui, clock};
    std::vector<int> at;
};

TEST_F(AutoBootTest, ClicksTwiceAndNeverHandsOffBeforeFrame251) {
    console.set_long(0x5172, 2);
    console.pc_ = 0x00400100;  // still in the BIOS
    const auto sent = run_frames(400);
    const Packet up{0x0C, 0x3F, 0x02, 0x4F};
    const Packet down{0x1C, 0x3F, 0x02, 0x4F};
    // The move at 149 repeats what the slave last reported (575, 335, no button): not sent.
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(at, (std::vector<int>{0, 29, 49, 179, 199}));
    EXPECT_EQ(sent, (std::vector<Packet>{up, down, up, down, up}));
    EXPECT_EQ(console.reads[0], 0x5172u);
    EXPECT_EQ(console.reads[1], 0x5174u);
    EXPECT_FALSE(state.auto_boot_done);
}

TEST_F(AutoBootTest, HandOffOncePcRunsFromRamAtFrame251) {
    console.set_long(0x5172, 2);
    console.pc_ = 0x00020000;
    console.waits = false;
    const auto sent = run_frames(300);
    EXPECT_TRUE(state.auto_boot_done);
    EXPECT_EQ(state.frame_counter, 252u);  // handed off during frame 251
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), (Packet{0x0B, 0x00, 0x02, 0x18}));
    EXPECT_EQ(at.back(), 251);
    EXPECT_TRUE(console.waits);
    EXPECT_EQ(state.pointer_x, 384);
    EXPECT_EQ(state.pointer_y, 280);
}

TEST_F(AutoBootTest, ShellNotReadyNeverCountsButHandOffStillHappens) {
    console.set_long(0x5172, 1);
    console.pc_ = 0x00D00010;  // cartridge code
    const auto sent = run_frames(260);
    EXPECT_EQ(state.auto_boot_counter, 0u);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], (Packet{0x0B, 0x00, 0x02, 0x18}));
    // PC boundaries: the ends of the ranges are outside.
    for (uint32_t pc : {0x300000u, 0xE00000u, 0xFFFFu}) {
        LoopState s;
        s.frame_counter = 300;
        Frontend g{s, console, ui, clock};
        console.pc_ = pc;
        auto_boot_step(g);
        EXPECT_FALSE(s.auto_boot_done) << std::hex << pc;
    }
}

TEST_F(AutoBootTest, CartridgeStateIsReadFirstWhenFitted) {
    console.dvc = true;
    console.set_long(0xD01202, 3);
    console.set_long(0x5172, 0);
    run_frames(1);
    EXPECT_EQ(console.reads, (std::vector<uint32_t>{0xD01202, 0xD01204}));
    EXPECT_EQ(state.auto_boot_counter, 1u);
    console.reads.clear();
    console.set_long(0xD01202, 1);  // below 2: the BIOS state decides
    console.set_long(0x5172, 2);
    run_frames(1);
    EXPECT_EQ(console.reads, (std::vector<uint32_t>{0xD01202, 0xD01204, 0x5172, 0x5174}));
    EXPECT_EQ(state.auto_boot_counter, 2u);
}

TEST_F(AutoBootTest, AnActionAlreadyReportedIsNotSentAgain) {
    console.set_long(0x5172, 2);
    console.pc_ = 0x400000;
    console.slave_.send_pointer_report(575, 335, 0);
    std::vector<std::string> lines;
    log_capture(&lines);
    const auto sent = run_frames(30);
    log_capture(nullptr);
    ASSERT_EQ(sent.size(), 1u);  // only the press at 29
    EXPECT_EQ(sent[0][0], 0x1C);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Shell BIOS pronta (stato 2): avvio automatico disco CD-i (click PLAY "
                            "CD-I)..."),
              std::string::npos);
}

}  // namespace
}  // namespace vestrel
