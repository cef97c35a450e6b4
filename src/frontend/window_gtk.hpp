// The program's window: a GTK 3 toplevel with the menu bar above a drawing area that shows the
// 768 x 560 frame buffer scaled to its size. Key and mouse state are kept from the window's
// events and handed out as an `InputSnapshot`; GTK is pumped once per frame by the loop.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "frontend/input.hpp"
#include "frontend/startup.hpp"

namespace vestrel {

class GtkMenuHost;

class GtkWindowHost final : public HostUi {
public:
    // Initialises GTK and opens the window; fails when no display can be opened.
    static std::expected<std::unique_ptr<GtkWindowHost>, std::string> create();
    ~GtkWindowHost() override;
    GtkWindowHost(const GtkWindowHost&) = delete;
    GtkWindowHost& operator=(const GtkWindowHost&) = delete;

    // Builds the menu bar from the menu model and sets its first marks.
    void attach_menu(ControlProfile profile, PointerDevice device, VideoMode mode);
    // The disc dialog opens in this disc's folder until another disc is chosen.
    void remember_disc(const std::filesystem::path& disc);

    // The key mapping in force (kept by the caller for the window's life): keys it uses never
    // open the menu.
    void set_console_controls(const Controls* controls);

    bool is_open() const;
    // Copies the frame into the window's picture and asks for a repaint.
    void present(std::span<const uint32_t> frame_buffer);
    // Runs pending GTK work (events, paint, menu picks, dialogs), bounded per call.
    void pump();
    // Keys, buttons, pointer and focus as the last events left them; a key or button that
    // went down and up again since the last call counts as held once.
    InputSnapshot input_snapshot();

    bool has_window() const override { return true; }
    bool is_maximized() override;
    void set_maximized(bool maximized) override;
    void set_check(int menu_id, bool checked) override;
    void set_title(const std::string& title) override;
    void set_cursor_captured(bool captured) override;
    std::optional<std::filesystem::path> open_disc_dialog() override;
    void show_help() override;
    void show_about() override;
    std::chrono::nanoseconds take_dialog_time() override;

    struct State;  // the GTK side, shared with the signal handlers

private:
    GtkWindowHost();
    std::unique_ptr<State> state_;
    std::unique_ptr<GtkMenuHost> menu_;
};

}  // namespace vestrel
