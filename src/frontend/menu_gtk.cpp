#include "frontend/menu_gtk.hpp"

#include <unistd.h>

#include <string>
#include <system_error>
#include <vector>
#include <utility>

#include "common/log.hpp"

namespace vestrel {
namespace {

LogTarget kLog{"vestrel::gui"};

void on_item_activate(GtkMenuItem* widget, gpointer data) {
    auto* item = static_cast<GtkMenuHost::Item*>(data);
    // GTK flipped the mark itself; put the program's mark back, so marks change only when the
    // command is carried out.
    if (GTK_IS_CHECK_MENU_ITEM(widget)) {
        g_signal_handler_block(widget, item->handler);
        gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(widget), item->checked);
        g_signal_handler_unblock(widget, item->handler);
    }
    menu_action(item->id, *item->owner, command_queue());
}

// Adds the time from its making to its end to a total: a dialog's building, its nested loop
// and its destruction all hold the frame loop.
class DialogClock {
public:
    explicit DialogClock(std::chrono::nanoseconds& total)
        : total_(total), start_(std::chrono::steady_clock::now()) {}
    ~DialogClock() { total_ += std::chrono::steady_clock::now() - start_; }
    DialogClock(const DialogClock&) = delete;
    DialogClock& operator=(const DialogClock&) = delete;

private:
    std::chrono::nanoseconds& total_;
    std::chrono::steady_clock::time_point start_;
};

// A modal dialog from its making to its end. One whose X window someone else destroyed answers
// GTK_RESPONSE_NONE and is then only released from being modal, so the main window takes input
// again. GTK's default would destroy it at once, under gtk_dialog_run; but taking down, or even
// hiding, a widget whose X window is gone trips GTK's own checks, so it is left as it is (the
// main window is kept the same way).
class ModalDialog {
public:
    explicit ModalDialog(GtkWidget* dialog) : dialog_(dialog) {
        g_signal_connect(dialog_, "destroy-event", G_CALLBACK(on_destroyed), &x_window_gone_);
    }
    ~ModalDialog() {
        if (x_window_gone_) {
            gtk_window_set_modal(GTK_WINDOW(dialog_), FALSE);
        } else {
            gtk_widget_destroy(dialog_);
        }
    }
    ModalDialog(const ModalDialog&) = delete;
    ModalDialog& operator=(const ModalDialog&) = delete;

    GtkWidget* widget() const { return dialog_; }
    gint run() { return gtk_dialog_run(GTK_DIALOG(dialog_)); }

private:
    static gboolean on_destroyed(GtkWidget* dialog, GdkEvent*, gpointer gone) {
        *static_cast<bool*>(gone) = true;
        gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_NONE);
        return TRUE;
    }

    GtkWidget* dialog_;
    bool x_window_gone_ = false;
};

// The label with its key text right-aligned and dimmed beside it.
GtkWidget* item_child(const MenuEntry& entry) {
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 24);
    GtkWidget* label = gtk_label_new(std::string(entry.label).c_str());
    gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
    gtk_box_pack_start(GTK_BOX(box), label, TRUE, TRUE, 0);
    if (!entry.key_text.empty()) {
        GtkWidget* keys = gtk_label_new(std::string(entry.key_text).c_str());
        gtk_style_context_add_class(gtk_widget_get_style_context(keys), "dim-label");
        gtk_box_pack_end(GTK_BOX(box), keys, FALSE, FALSE, 0);
    }
    return box;
}

}  // namespace

GtkMenuHost::GtkMenuHost(GtkWindow* window, std::function<void()> before_dialog)
    : window_(window), before_dialog_(std::move(before_dialog)) {}

GtkWidget* GtkMenuHost::make_item(const MenuEntry& entry) {
    switch (entry.kind) {
        case MenuEntryKind::Separator:
            return gtk_separator_menu_item_new();
        case MenuEntryKind::Submenu: {
            GtkWidget* parent = gtk_menu_item_new_with_label(std::string(entry.label).c_str());
            GtkWidget* menu = gtk_menu_new();
            for (const MenuEntry& child : entry.children) {
                gtk_menu_shell_append(GTK_MENU_SHELL(menu), make_item(child));
            }
            gtk_menu_item_set_submenu(GTK_MENU_ITEM(parent), menu);
            return parent;
        }
        case MenuEntryKind::Item:
        case MenuEntryKind::CheckItem: {
            GtkWidget* widget = entry.kind == MenuEntryKind::CheckItem ? gtk_check_menu_item_new()
                                                                       : gtk_menu_item_new();
            gtk_container_add(GTK_CONTAINER(widget), item_child(entry));
            Item& item = items_[entry.id];
            item.widget = GTK_MENU_ITEM(widget);
            item.owner = this;
            item.id = entry.id;
            item.handler = g_signal_connect(widget, "activate", G_CALLBACK(on_item_activate), &item);
            return widget;
        }
    }
    return gtk_separator_menu_item_new();
}

GtkWidget* GtkMenuHost::build(ControlProfile profile, PointerDevice device, VideoMode mode) {
    GtkWidget* bar = gtk_menu_bar_new();
    for (const MenuDefinition& def : menu_bar_definition()) {
        // Alt and the underlined letter open the menu; F10 opens the bar.
        GtkWidget* title = gtk_menu_item_new_with_mnemonic(std::string(def.mnemonic_title).c_str());
        GtkWidget* menu = gtk_menu_new();
        for (const MenuEntry& entry : def.entries) {
            gtk_menu_shell_append(GTK_MENU_SHELL(menu), make_item(entry));
        }
        gtk_menu_item_set_submenu(GTK_MENU_ITEM(title), menu);
        gtk_menu_shell_append(GTK_MENU_SHELL(bar), title);
    }
    for (auto& [id, item] : items_) {
        if (GTK_IS_CHECK_MENU_ITEM(item.widget)) {
            set_check(id, initially_checked(id, profile, device, mode));
        }
    }
    LOG_INFO(kLog, "{}", kMenuAttachedLog);
    return bar;
}

void GtkMenuHost::set_check(int id, bool value) {
    const auto it = items_.find(id);
    if (it == items_.end() || !GTK_IS_CHECK_MENU_ITEM(it->second.widget)) return;
    Item& item = it->second;
    item.checked = value;
    g_signal_handler_block(item.widget, item.handler);
    gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item.widget), value);
    g_signal_handler_unblock(item.widget, item.handler);
}

bool GtkMenuHost::checked(int id) const {
    const auto it = items_.find(id);
    return it != items_.end() && it->second.checked;
}

std::optional<std::filesystem::path> GtkMenuHost::open_disc_dialog() {
    const DialogClock clock(dialog_time_);
    if (before_dialog_) before_dialog_();
    ModalDialog modal(gtk_file_chooser_dialog_new(
        std::string(kDiscDialogTitle).c_str(), window_, GTK_FILE_CHOOSER_ACTION_OPEN, "_Annulla",
        GTK_RESPONSE_CANCEL, "_Apri", GTK_RESPONSE_ACCEPT, nullptr));
    GtkWidget* dialog = modal.widget();
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    GtkFileFilter* discs = gtk_file_filter_new();
    gtk_file_filter_set_name(discs, std::string(kDiscFilterName).c_str());
    for (std::string_view pattern : disc_filter_patterns()) {
        gtk_file_filter_add_pattern(discs, std::string(pattern).c_str());
    }
    GtkFileFilter* all = gtk_file_filter_new();
    gtk_file_filter_set_name(all, std::string(kAllFilesFilterName).c_str());
    gtk_file_filter_add_pattern(all, "*");
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(dialog), discs);
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(dialog), all);
    gtk_file_chooser_set_filter(GTK_FILE_CHOOSER(dialog), discs);
    // Where the last disc came from, else the working directory; GTK alone would open on its
    // "Recent" page, empty for most.
    std::error_code ec;
    std::filesystem::path folder = last_disc_folder_;
    if (folder.empty() || !std::filesystem::is_directory(folder, ec)) {
        folder = std::filesystem::current_path(ec);
    }
    if (!folder.empty()) {
        gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), folder.c_str());
    }

    std::optional<std::filesystem::path> chosen;
    if (modal.run() == GTK_RESPONSE_ACCEPT) {
        if (gchar* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog))) {
            chosen = std::filesystem::path(name);
            last_disc_folder_ = chosen->parent_path();
            g_free(name);
        }
    }
    return chosen;
}

std::chrono::nanoseconds GtkMenuHost::take_dialog_time() { return std::exchange(dialog_time_, {}); }

void GtkMenuHost::message_box(const char* caption, const std::string& text) {
    const DialogClock clock(dialog_time_);
    if (before_dialog_) before_dialog_();
    ModalDialog modal(gtk_message_dialog_new(window_, GTK_DIALOG_MODAL, GTK_MESSAGE_INFO,
                                             GTK_BUTTONS_OK, "%s", text.c_str()));
    gtk_window_set_title(GTK_WINDOW(modal.widget()), caption);
    modal.run();
}

void GtkMenuHost::show_help() { message_box(std::string(kHelpCaption).c_str(), help_text()); }

void GtkMenuHost::remember_disc(const std::filesystem::path& disc) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(disc, ec);
    if (!ec) last_disc_folder_ = absolute.parent_path();
}

void GtkMenuHost::show_about() { message_box(std::string(kAboutCaption).c_str(), about_text()); }

namespace {

// The openers still to try for one file; freed when one succeeds or none is left.
struct EditorLaunch {
    std::vector<std::vector<std::string>> commands;
    size_t next = 0;
    std::string file;
};

void try_next_editor(EditorLaunch* launch);

// An opener ends soon with a failure status when the desktop has no handler for the file.
void on_opener_exit(GPid pid, gint status, gpointer data) {
    g_spawn_close_pid(pid);
    auto* launch = static_cast<EditorLaunch*>(data);
    if (g_spawn_check_wait_status(status, nullptr)) {
        delete launch;
        return;
    }
    try_next_editor(launch);
}

// In the child: a session of its own, so nothing it starts can take the program's terminal.
void detach_from_terminal(gpointer) { setsid(); }

void try_next_editor(EditorLaunch* launch) {
    while (launch->next < launch->commands.size()) {
        std::vector<char*> argv;
        for (std::string& arg : launch->commands[launch->next++]) argv.push_back(arg.data());
        argv.push_back(nullptr);
        // Standard input is /dev/null (GLib's default), the output goes nowhere.
        const auto flags = static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD |
                                                    G_SPAWN_STDOUT_TO_DEV_NULL |
                                                    G_SPAWN_STDERR_TO_DEV_NULL);
        GPid pid = 0;
        GError* error = nullptr;
        if (!g_spawn_async(nullptr, argv.data(), nullptr, flags, detach_from_terminal, nullptr, &pid,
                           &error)) {
            LOG_DEBUG(kLog, "{} not started: {}", argv[0], error != nullptr ? error->message : "");
            g_clear_error(&error);
            continue;
        }
        g_child_watch_add(pid, on_opener_exit, launch);
        return;
    }
    LOG_WARN(kLog, "{}", no_editor_warning(launch->file));
    delete launch;
}

}  // namespace

void GtkMenuHost::launch_editor(const std::filesystem::path& file) {
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(file, ec);
    if (ec) absolute = file;
    // Started on its own and not waited for; the next opener is tried only when one fails.
    auto* launch = new EditorLaunch{editor_commands(absolute), 0, absolute.string()};
    try_next_editor(launch);
}

}  // namespace vestrel
