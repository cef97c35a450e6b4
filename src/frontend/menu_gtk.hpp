// The menu bar and the dialogs in GTK: widgets built from the menu model, one "activate"
// handler that hands the item's id to `menu_action`, check marks that only the program sets,
// the disc chooser, the help and about boxes, and the controls file opened in an editor.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>

#include <gtk/gtk.h>

#include "frontend/menu.hpp"

namespace vestrel {

class GtkMenuHost final : public MenuServices {
public:
    // `before_dialog` runs before any modal dialog (it frees the captured mouse).
    GtkMenuHost(GtkWindow* window, std::function<void()> before_dialog);

    // The menu bar widget, built once, with the first marks set.
    GtkWidget* build(ControlProfile profile, PointerDevice device, VideoMode mode);

    // Sets a mark without the item's handler seeing it.
    void set_check(int id, bool checked);
    bool checked(int id) const;

    std::optional<std::filesystem::path> open_disc_dialog() override;
    // The disc dialog opens next in this disc's folder (a disc given on the command line).
    void remember_disc(const std::filesystem::path& disc);
    void show_help() override;
    void show_about() override;
    void launch_editor(const std::filesystem::path& file) override;

    // How long the dialogs were open since the last call.
    std::chrono::nanoseconds take_dialog_time();

    struct Item {
        GtkMenuItem* widget = nullptr;
        gulong handler = 0;
        bool checked = false;
        GtkMenuHost* owner = nullptr;
        int id = 0;
    };

private:
    void message_box(const char* caption, const std::string& text);
    GtkWidget* make_item(const MenuEntry& entry);

    GtkWindow* window_;
    std::function<void()> before_dialog_;
    std::map<int, Item> items_;
    std::chrono::nanoseconds dialog_time_{};
    // The folder of the disc last chosen in the disc dialog; empty before the first.
    std::filesystem::path last_disc_folder_;
};

}  // namespace vestrel
