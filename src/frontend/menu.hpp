// The menu bar as data (menus, items, ids, key texts, check groups), the action behind each id,
// and the dialog texts. The GTK layer builds its widgets from this; tests read it directly.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "frontend/controls.hpp"
#include "frontend/startup.hpp"

namespace vestrel {

enum class MenuEntryKind : uint8_t { Item, CheckItem, Separator, Submenu };

struct MenuEntry {
    MenuEntryKind kind = MenuEntryKind::Item;
    int id = 0;                     // 0 for separators and submenus
    std::string_view label;         // the submenu's title for a submenu
    std::string_view key_text;      // shown only; the frame loop reads the keys itself
    std::span<const MenuEntry> children{};  // a submenu's items
};

struct MenuDefinition {
    std::string_view title;
    std::span<const MenuEntry> entries;
    // The title with "_" before the letter that opens the menu with Alt; the letters are ones
    // the console never reads.
    std::string_view mnemonic_title;
};

// The key of the letter after the "_" of the menu's mnemonic title.
Key menu_mnemonic_key(const MenuDefinition& menu);

// "File", "Comandi", "Audio", "Video", "Aiuto", in that order.
std::span<const MenuDefinition> menu_bar_definition();

// The entry with this id anywhere in the tree, or nothing.
const MenuEntry* find_menu_entry(int id);

// The ids whose marks exclude one another; the wait-state item stands alone.
std::span<const int> menu_check_group(int id);

// The check mark an item starts with.
bool initially_checked(int id, ControlProfile profile, PointerDevice device, VideoMode mode);

// The dialogs and the editor a menu pick may open directly.
class MenuServices {
public:
    virtual ~MenuServices() = default;
    virtual std::optional<std::filesystem::path> open_disc_dialog() = 0;
    virtual void show_help() = 0;
    virtual void show_about() = 0;
    // Opens the file in the desktop's editor without waiting; failures are ignored.
    virtual void launch_editor(const std::filesystem::path& file) = 0;
};

// What a pick of `id` does: queue a command or open a dialog. False for an id not in the menu.
bool menu_action(int id, MenuServices& services, CommandQueue& queue);

inline constexpr std::string_view kDiscDialogTitle = "Seleziona Gioco CD-i (CHD / ISO / BIN)";
inline constexpr std::string_view kDiscFilterName = "Giochi CD-i (*.chd;*.iso;*.bin;*.cue)";
inline constexpr std::string_view kAllFilesFilterName = "Tutti i file (*.*)";
inline constexpr std::string_view kHelpCaption = "Vestrel - Guida e Mappatura Comandi";
inline constexpr std::string_view kAboutCaption = "Informazioni su Vestrel";
inline constexpr std::string_view kMenuAttachedLog =
    "GTK 3 Native Menu attached and window subclassed successfully.";

// The commands that may open the controls file in the desktop's editor, in the order to try
// them. Terminal editors ($EDITOR, $VISUAL) are never among them: they would share the
// program's terminal.
std::vector<std::vector<std::string>> editor_commands(const std::filesystem::path& file);

// The warning when no editor could be started.
std::string no_editor_warning(const std::filesystem::path& file);

// The disc filter's patterns, each matching its extension in any letter case.
std::span<const std::string_view> disc_filter_patterns();

std::string help_text();
std::string about_text();

}  // namespace vestrel
