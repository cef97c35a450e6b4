#include "frontend/window_gtk.hpp"

#include <gtk/gtk.h>

#include <algorithm>
#include <cstring>

#include "frontend/menu_gtk.hpp"
#include "frontend/telemetry.hpp"

// Last: Xlib's macros (None, Status, ...) would clash with names in the headers above.
#include <gdk/gdkx.h>

namespace vestrel {

struct GtkWindowHost::State {
    GtkWidget* window = nullptr;
    GtkWidget* box = nullptr;
    GtkWidget* area = nullptr;
    cairo_surface_t* picture = nullptr;
    GdkCursor* blank_cursor = nullptr;
    // The X display whose errors are ignored while the window exists (none on other backends).
    GdkDisplay* x_errors = nullptr;
    bool closed = false;
    // Set when the X window was destroyed from outside: no GTK call may touch the window again.
    bool x_window_gone = false;
    bool captured = false;

    std::bitset<kKeyCount> keys;
    // Keys and buttons that went down since the last snapshot, so a tap shorter than a frame
    // is still seen once.
    std::bitset<kKeyCount> tapped;
    bool ctrl_i_pressed = false;
    bool ctrl_o_pressed = false;
    bool left_tapped = false;
    bool middle_tapped = false;
    bool right_tapped = false;
    // The key each hardware key went down as, so its release clears the same key even when a
    // modifier changed what the key means in between.
    std::array<Key, 256> key_by_code{};
    std::array<bool, 256> code_down{};
    bool left = false;
    bool middle = false;
    bool right = false;
    std::optional<MousePosition> mouse;
    // The console's key mapping, so the menu takes no key the console reads.
    const Controls* controls = nullptr;

    void clear_held() {
        keys.reset();
        tapped.reset();
        ctrl_i_pressed = ctrl_o_pressed = false;
        left_tapped = middle_tapped = right_tapped = false;
        code_down.fill(false);
        left = middle = right = false;
    }
};

namespace {

using State = GtkWindowHost::State;

// Anyone can destroy the program's X windows at any moment (a window tool, a session ending, a
// crashed window manager). Until the destruction's event is read, requests on them still go out:
// a title, a cursor, and GDK's own, such as the user time it sets on every key press. They fail
// with BadWindow, and GDK ends the program on any X error that none of its traps covers. A
// handler of our own beside GDK's would not do: GDK puts its handler back in place of any other
// while one of its own traps is pushed, and that is when such an error is often read. So one
// trap, popped when the window goes, covers every request the program makes while it has one:
// an error in that time is ignored whenever it arrives, whatever its kind, while GDK's own traps
// within still see theirs.
GdkDisplay* trap_x_errors(GdkDisplay* display) {
    if (!GDK_IS_X11_DISPLAY(display)) return nullptr;
    gdk_x11_display_error_trap_push(display);
    return display;
}

std::optional<Key> key_for_keyval(guint keyval) {
    if (keyval >= GDK_KEY_a && keyval <= GDK_KEY_z) {
        return static_cast<Key>(static_cast<int>(Key::A) + static_cast<int>(keyval - GDK_KEY_a));
    }
    if (keyval >= GDK_KEY_A && keyval <= GDK_KEY_Z) {
        return static_cast<Key>(static_cast<int>(Key::A) + static_cast<int>(keyval - GDK_KEY_A));
    }
    if (keyval >= GDK_KEY_0 && keyval <= GDK_KEY_9) {
        return static_cast<Key>(static_cast<int>(Key::Key0) + static_cast<int>(keyval - GDK_KEY_0));
    }
    if (keyval >= GDK_KEY_F1 && keyval <= GDK_KEY_F15) {
        return static_cast<Key>(static_cast<int>(Key::F1) + static_cast<int>(keyval - GDK_KEY_F1));
    }
    if (keyval >= GDK_KEY_KP_0 && keyval <= GDK_KEY_KP_9) {
        return static_cast<Key>(static_cast<int>(Key::NumPad0) +
                                static_cast<int>(keyval - GDK_KEY_KP_0));
    }
    switch (keyval) {
        case GDK_KEY_Down: return Key::Down;
        case GDK_KEY_Left: return Key::Left;
        case GDK_KEY_Right: return Key::Right;
        case GDK_KEY_Up: return Key::Up;
        case GDK_KEY_apostrophe: return Key::Apostrophe;
        case GDK_KEY_grave: return Key::Backquote;
        case GDK_KEY_backslash: return Key::Backslash;
        case GDK_KEY_comma: return Key::Comma;
        case GDK_KEY_equal:
        case GDK_KEY_plus: return Key::Equal;  // layouts with a key of its own for "+"
        case GDK_KEY_bracketleft: return Key::LeftBracket;
        case GDK_KEY_minus: return Key::Minus;
        case GDK_KEY_period: return Key::Period;
        case GDK_KEY_bracketright: return Key::RightBracket;
        case GDK_KEY_semicolon: return Key::Semicolon;
        case GDK_KEY_slash: return Key::Slash;
        case GDK_KEY_BackSpace: return Key::Backspace;
        case GDK_KEY_Delete: return Key::Delete;
        case GDK_KEY_End: return Key::End;
        case GDK_KEY_Return: return Key::Enter;
        case GDK_KEY_Escape: return Key::Escape;
        case GDK_KEY_Home: return Key::Home;
        case GDK_KEY_Insert: return Key::Insert;
        case GDK_KEY_Menu: return Key::Menu;
        case GDK_KEY_Page_Down: return Key::PageDown;
        case GDK_KEY_Page_Up: return Key::PageUp;
        case GDK_KEY_Pause: return Key::Pause;
        case GDK_KEY_space: return Key::Space;
        case GDK_KEY_Tab: return Key::Tab;
        case GDK_KEY_Num_Lock: return Key::NumLock;
        case GDK_KEY_Caps_Lock: return Key::CapsLock;
        case GDK_KEY_Scroll_Lock: return Key::ScrollLock;
        case GDK_KEY_Shift_L: return Key::LeftShift;
        case GDK_KEY_Shift_R: return Key::RightShift;
        case GDK_KEY_Control_L: return Key::LeftCtrl;
        case GDK_KEY_Control_R: return Key::RightCtrl;
        case GDK_KEY_Alt_L: return Key::LeftAlt;
        case GDK_KEY_Alt_R:
        case GDK_KEY_ISO_Level3_Shift: return Key::RightAlt;
        case GDK_KEY_Super_L: return Key::LeftSuper;
        case GDK_KEY_Super_R: return Key::RightSuper;
        // The keypad without Num Lock gives its navigation meanings.
        case GDK_KEY_KP_Insert: return Key::NumPad0;
        case GDK_KEY_KP_End: return Key::NumPad1;
        case GDK_KEY_KP_Down: return Key::NumPad2;
        case GDK_KEY_KP_Page_Down: return Key::NumPad3;
        case GDK_KEY_KP_Left: return Key::NumPad4;
        case GDK_KEY_KP_Begin: return Key::NumPad5;
        case GDK_KEY_KP_Right: return Key::NumPad6;
        case GDK_KEY_KP_Home: return Key::NumPad7;
        case GDK_KEY_KP_Up: return Key::NumPad8;
        case GDK_KEY_KP_Page_Up: return Key::NumPad9;
        case GDK_KEY_KP_Decimal:
        case GDK_KEY_KP_Delete: return Key::NumPadDot;
        case GDK_KEY_KP_Divide: return Key::NumPadSlash;
        case GDK_KEY_KP_Multiply: return Key::NumPadAsterisk;
        case GDK_KEY_KP_Subtract: return Key::NumPadMinus;
        case GDK_KEY_KP_Add: return Key::NumPadPlus;
        case GDK_KEY_KP_Enter: return Key::NumPadEnter;
        default: return std::nullopt;
    }
}

// The key as it is without modifiers (level 0 of the hardware key).
guint base_keyval(GtkWidget* widget, const GdkEventKey* event) {
    GdkKeymap* keymap = gdk_keymap_get_for_display(gtk_widget_get_display(widget));
    guint keyval = 0;
    if (gdk_keymap_translate_keyboard_state(keymap, event->hardware_keycode,
                                            static_cast<GdkModifierType>(0), event->group, &keyval,
                                            nullptr, nullptr, nullptr)) {
        return keyval;
    }
    return event->keyval;
}

gboolean on_key_press(GtkWidget* widget, GdkEventKey* event, gpointer data) {
    auto* s = static_cast<State*>(data);
    const auto key = key_for_keyval(base_keyval(widget, event));
    const size_t code = event->hardware_keycode & 0xFF;
    const auto mods = event->state & gtk_accelerator_get_default_mod_mask();
    if (key && s->controls != nullptr &&
        key_opens_menu(*key, (mods & GDK_MOD1_MASK) != 0, (mods & GDK_CONTROL_MASK) != 0,
                       (mods & GDK_SHIFT_MASK) != 0, *s->controls)) {
        return FALSE;  // F10 or a menu's Alt letter: GTK opens the menu
    }
    if (key) {
        // A press for a key already down is the keyboard's auto-repeat, not a new press.
        const bool repeat = s->code_down[code];
        const bool ctrl = (mods & GDK_CONTROL_MASK) != 0 ||
                          s->keys.test(static_cast<size_t>(Key::LeftCtrl)) ||
                          s->keys.test(static_cast<size_t>(Key::RightCtrl));
        if (!repeat && ctrl && *key == Key::I) s->ctrl_i_pressed = true;
        if (!repeat && ctrl && *key == Key::O) s->ctrl_o_pressed = true;
        s->keys.set(static_cast<size_t>(*key));
        s->tapped.set(static_cast<size_t>(*key));
        s->key_by_code[code] = *key;
        s->code_down[code] = true;
    }
    return TRUE;  // every other key steers the console, not GTK's focus
}

gboolean on_key_release(GtkWidget* widget, GdkEventKey* event, gpointer data) {
    auto* s = static_cast<State*>(data);
    const size_t code = event->hardware_keycode & 0xFF;
    if (s->code_down[code]) {
        s->code_down[code] = false;
        s->keys.reset(static_cast<size_t>(s->key_by_code[code]));
    } else if (const auto key = key_for_keyval(base_keyval(widget, event))) {
        s->keys.reset(static_cast<size_t>(*key));
    }
    return TRUE;
}

gboolean on_focus_out(GtkWidget*, GdkEvent*, gpointer data) {
    static_cast<State*>(data)->clear_held();
    return FALSE;
}

void on_grab_notify(GtkWidget*, gboolean was_grabbed, gpointer data) {
    // Shadowed by a menu or a dialog: releases go elsewhere, so forget what is held.
    if (!was_grabbed) static_cast<State*>(data)->clear_held();
}

gboolean on_delete(GtkWidget*, GdkEvent*, gpointer data) {
    static_cast<State*>(data)->closed = true;
    return TRUE;
}

// The X window destroyed from outside (a window tool, a crashed compositor). The loop ends as
// on a close; GTK is kept from destroying the toplevel now (it would while frames still
// touch it), and the widgets are left alone at the end: taking down a realized widget whose X
// window is gone trips GTK's own checks.
gboolean on_x_window_destroyed(GtkWidget*, GdkEvent*, gpointer data) {
    auto* s = static_cast<State*>(data);
    s->closed = true;
    s->x_window_gone = true;
    s->captured = false;
    s->clear_held();
    return TRUE;
}

MousePosition to_frame(GtkWidget* area, double x, double y) {
    const double w = std::max(1, gtk_widget_get_allocated_width(area));
    const double h = std::max(1, gtk_widget_get_allocated_height(area));
    return {x * kScreenWidth / w, y * kScreenHeight / h};
}

bool* button_flag(State* s, guint button) {
    switch (button) {
        case 1: return &s->left;
        case 2: return &s->middle;
        case 3: return &s->right;
        default: return nullptr;
    }
}

bool* button_tap(State* s, guint button) {
    switch (button) {
        case 1: return &s->left_tapped;
        case 2: return &s->middle_tapped;
        case 3: return &s->right_tapped;
        default: return nullptr;
    }
}

gboolean on_button(GtkWidget* area, GdkEventButton* event, gpointer data) {
    auto* s = static_cast<State*>(data);
    if (event->type != GDK_BUTTON_PRESS && event->type != GDK_BUTTON_RELEASE) return TRUE;
    const bool down = event->type == GDK_BUTTON_PRESS;
    if (bool* flag = button_flag(s, event->button)) *flag = down;
    if (bool* tap = button_tap(s, event->button); tap != nullptr && down) *tap = true;
    s->mouse = to_frame(area, event->x, event->y);
    gtk_widget_grab_focus(area);
    return TRUE;
}

gboolean on_motion(GtkWidget* area, GdkEventMotion* event, gpointer data) {
    static_cast<State*>(data)->mouse = to_frame(area, event->x, event->y);
    return TRUE;
}

gboolean on_enter(GtkWidget* area, GdkEventCrossing* event, gpointer data) {
    static_cast<State*>(data)->mouse = to_frame(area, event->x, event->y);
    return FALSE;
}

gboolean on_leave(GtkWidget* area, GdkEventCrossing* event, gpointer data) {
    auto* s = static_cast<State*>(data);
    s->mouse.reset();
    // While captured the pointer is kept inside the picture.
    if (s->captured && event->mode == GDK_CROSSING_NORMAL &&
        gtk_window_is_active(GTK_WINDOW(s->window))) {
        GdkWindow* gw = gtk_widget_get_window(area);
        const int w = gtk_widget_get_allocated_width(area);
        const int h = gtk_widget_get_allocated_height(area);
        if (gw != nullptr && w > 2 && h > 2) {
            int ox = 0;
            int oy = 0;
            gdk_window_get_origin(gw, &ox, &oy);
            const int x = std::clamp(static_cast<int>(event->x), 1, w - 2);
            const int y = std::clamp(static_cast<int>(event->y), 1, h - 2);
            gdk_device_warp(gdk_event_get_device(reinterpret_cast<GdkEvent*>(event)),
                            gtk_widget_get_screen(area), ox + x, oy + y);
        }
    }
    return FALSE;
}

gboolean on_draw(GtkWidget* area, cairo_t* cr, gpointer data) {
    auto* s = static_cast<State*>(data);
    const double w = gtk_widget_get_allocated_width(area);
    const double h = gtk_widget_get_allocated_height(area);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_paint(cr);
    if (s->picture != nullptr) {
        cairo_scale(cr, w / kScreenWidth, h / kScreenHeight);
        cairo_set_source_surface(cr, s->picture, 0, 0);
        cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
        cairo_paint(cr);
    }
    return TRUE;
}

}  // namespace

GtkWindowHost::GtkWindowHost() : state_(std::make_unique<State>()) {}

GtkWindowHost::~GtkWindowHost() {
    menu_.reset();
    if (state_->window != nullptr && !state_->x_window_gone) gtk_widget_destroy(state_->window);
    if (state_->picture != nullptr) cairo_surface_destroy(state_->picture);
    if (state_->blank_cursor != nullptr) g_object_unref(state_->blank_cursor);
    // Let GTK finish the destruction before the program goes on.
    for (int i = 0; i < 100 && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
    if (state_->x_errors != nullptr) gdk_x11_display_error_trap_pop_ignored(state_->x_errors);
}

std::expected<std::unique_ptr<GtkWindowHost>, std::string> GtkWindowHost::create() {
    // Number formatting stays in the C locale whatever the desktop's language.
    gtk_disable_setlocale();
    if (!gtk_init_check(nullptr, nullptr)) {
        const char* display = std::getenv("DISPLAY");
        return std::unexpected(std::string("cannot open display: ") +
                               (display != nullptr ? display : "(DISPLAY not set)"));
    }
    std::unique_ptr<GtkWindowHost> host(new GtkWindowHost());
    State& s = *host->state_;
    s.x_errors = trap_x_errors(gdk_display_get_default());
    s.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(s.window), std::string(kInitialWindowTitle).c_str());
    gtk_window_set_resizable(GTK_WINDOW(s.window), TRUE);
    s.box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(s.window), s.box);

    s.area = gtk_drawing_area_new();
    gtk_widget_set_size_request(s.area, kScreenWidth, kScreenHeight);
    gtk_widget_set_can_focus(s.area, TRUE);
    gtk_widget_add_events(s.area, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK |
                                      GDK_POINTER_MOTION_MASK | GDK_ENTER_NOTIFY_MASK |
                                      GDK_LEAVE_NOTIFY_MASK);
    gtk_box_pack_end(GTK_BOX(s.box), s.area, TRUE, TRUE, 0);

    s.picture = cairo_image_surface_create(CAIRO_FORMAT_RGB24, kScreenWidth, kScreenHeight);
    s.blank_cursor = gdk_cursor_new_for_display(gtk_widget_get_display(s.window), GDK_BLANK_CURSOR);

    g_signal_connect(s.window, "key-press-event", G_CALLBACK(on_key_press), &s);
    g_signal_connect(s.window, "key-release-event", G_CALLBACK(on_key_release), &s);
    g_signal_connect(s.window, "focus-out-event", G_CALLBACK(on_focus_out), &s);
    g_signal_connect(s.window, "delete-event", G_CALLBACK(on_delete), &s);
    g_signal_connect(s.window, "destroy-event", G_CALLBACK(on_x_window_destroyed), &s);
    g_signal_connect(s.area, "grab-notify", G_CALLBACK(on_grab_notify), &s);
    g_signal_connect(s.area, "draw", G_CALLBACK(on_draw), &s);
    g_signal_connect(s.area, "button-press-event", G_CALLBACK(on_button), &s);
    g_signal_connect(s.area, "button-release-event", G_CALLBACK(on_button), &s);
    g_signal_connect(s.area, "motion-notify-event", G_CALLBACK(on_motion), &s);
    g_signal_connect(s.area, "enter-notify-event", G_CALLBACK(on_enter), &s);
    g_signal_connect(s.area, "leave-notify-event", G_CALLBACK(on_leave), &s);

    host->menu_ = std::make_unique<GtkMenuHost>(GTK_WINDOW(s.window), [state = &s] {
        // A dialog needs the host cursor: show it and stop keeping it inside the picture.
        if (state->area != nullptr && !state->x_window_gone) {
            if (GdkWindow* gw = gtk_widget_get_window(state->area)) gdk_window_set_cursor(gw, nullptr);
        }
        state->captured = false;
        state->clear_held();
    });
    return host;
}

void GtkWindowHost::remember_disc(const std::filesystem::path& disc) { menu_->remember_disc(disc); }

void GtkWindowHost::attach_menu(ControlProfile profile, PointerDevice device, VideoMode mode) {
    State& s = *state_;
    GtkWidget* bar = menu_->build(profile, device, mode);
    gtk_box_pack_start(GTK_BOX(s.box), bar, FALSE, FALSE, 0);
    gtk_widget_show_all(s.window);
    gtk_widget_grab_focus(s.area);
    // Open at 768 x 560 for the picture, then let the user make the window smaller too.
    for (int i = 0; i < 200 && !gtk_widget_get_mapped(s.area); ++i) {
        g_main_context_iteration(nullptr, FALSE);
    }
    pump();
    gtk_widget_set_size_request(s.area, 1, 1);
}

void GtkWindowHost::set_console_controls(const Controls* controls) { state_->controls = controls; }

bool GtkWindowHost::is_open() const { return !state_->closed; }

void GtkWindowHost::present(std::span<const uint32_t> frame_buffer) {
    State& s = *state_;
    cairo_surface_flush(s.picture);
    uint8_t* data = cairo_image_surface_get_data(s.picture);
    const int stride = cairo_image_surface_get_stride(s.picture);
    const size_t pixels = std::min(frame_buffer.size(), kScreenPixels);
    // Most frames show what the window already shows (a still picture): only a changed one is
    // copied and drawn again, which spares the scaling paint, the costliest part of a frame.
    bool changed = false;
    for (uint32_t y = 0; y < kScreenHeight; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(data + static_cast<size_t>(y) * stride);
        const size_t start = static_cast<size_t>(y) * kScreenWidth;
        const size_t n = start < pixels ? std::min<size_t>(kScreenWidth, pixels - start) : 0;
        if (n > 0 && std::memcmp(row, frame_buffer.data() + start, n * sizeof(uint32_t)) != 0) {
            std::memcpy(row, frame_buffer.data() + start, n * sizeof(uint32_t));
            changed = true;
        }
        if (std::any_of(row + n, row + kScreenWidth, [](uint32_t v) { return v != 0xFF000000u; })) {
            std::fill(row + n, row + kScreenWidth, 0xFF000000u);
            changed = true;
        }
    }
    if (!changed) return;
    cairo_surface_mark_dirty(s.picture);
    if (!s.x_window_gone) gtk_widget_queue_draw(s.area);
}

void GtkWindowHost::pump() {
    for (int i = 0; i < 1000 && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
}

InputSnapshot GtkWindowHost::input_snapshot() {
    State& s = *state_;
    InputSnapshot in;
    in.focused = !s.x_window_gone && gtk_window_is_active(GTK_WINDOW(s.window));
    in.keys = s.keys | s.tapped;
    in.ctrl_i_pressed = s.ctrl_i_pressed;
    in.ctrl_o_pressed = s.ctrl_o_pressed;
    s.ctrl_i_pressed = s.ctrl_o_pressed = false;
    in.mouse = s.mouse;
    in.mouse_left = s.left || s.left_tapped;
    in.mouse_middle = s.middle || s.middle_tapped;
    in.mouse_right = s.right || s.right_tapped;
    s.tapped.reset();
    s.left_tapped = s.middle_tapped = s.right_tapped = false;
    return in;
}

bool GtkWindowHost::is_maximized() {
    return !state_->x_window_gone && gtk_window_is_maximized(GTK_WINDOW(state_->window));
}

void GtkWindowHost::set_maximized(bool maximized) {
    if (state_->x_window_gone) return;
    if (maximized) {
        gtk_window_maximize(GTK_WINDOW(state_->window));
    } else {
        gtk_window_unmaximize(GTK_WINDOW(state_->window));
    }
}

void GtkWindowHost::set_check(int menu_id, bool checked) {
    if (!state_->x_window_gone) menu_->set_check(menu_id, checked);
}

void GtkWindowHost::set_title(const std::string& title) {
    if (!state_->x_window_gone) gtk_window_set_title(GTK_WINDOW(state_->window), title.c_str());
}

void GtkWindowHost::set_cursor_captured(bool captured) {
    State& s = *state_;
    if (s.captured == captured || s.x_window_gone) return;
    s.captured = captured;
    if (GdkWindow* gw = gtk_widget_get_window(s.area)) {
        gdk_window_set_cursor(gw, captured ? s.blank_cursor : nullptr);
    }
}

std::optional<std::filesystem::path> GtkWindowHost::open_disc_dialog() {
    if (state_->x_window_gone) return std::nullopt;
    return menu_->open_disc_dialog();
}
void GtkWindowHost::show_help() {
    if (!state_->x_window_gone) menu_->show_help();
}
void GtkWindowHost::show_about() {
    if (!state_->x_window_gone) menu_->show_about();
}
std::chrono::nanoseconds GtkWindowHost::take_dialog_time() { return menu_->take_dialog_time(); }

}  // namespace vestrel
