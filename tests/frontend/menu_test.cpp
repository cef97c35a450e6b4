#include "frontend/menu.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_console.hpp"

namespace vestrel {
namespace {

using testing::FakeUi;

std::vector<int> ids_of(std::span<const MenuEntry> entries) {
    std::vector<int> ids;
    for (const MenuEntry& e : entries) {
        if (e.kind == MenuEntryKind::Submenu) {
            for (int id : ids_of(e.children)) ids.push_back(id);
        } else if (e.kind == MenuEntryKind::Separator) {
            ids.push_back(0);
        } else {
            ids.push_back(e.id);
        }
    }
    return ids;
}

TEST(MenuModel, MenusItemsAndOrder) {
    const auto bar = menu_bar_definition();
    ASSERT_EQ(bar.size(), 5u);
    const std::vector<std::pair<std::string_view, std::vector<int>>> expected = {
        {"File", {1000, 1001, 1004, 0, 1002, 0, 1003}},
        {"Comandi", {1060, 1061, 0, 1010, 1011, 1012, 1015, 0, 1016, 1017, 0, 1014, 1013}},
        {"Audio", {1020, 1021, 1022}},
        {"Video", {1030, 1031, 0, 1032, 1033, 0, 1050}},
        {"Aiuto", {1040, 1041}},
    };
    for (size_t i = 0; i < bar.size(); ++i) {
        EXPECT_EQ(bar[i].title, expected[i].first);
        EXPECT_EQ(ids_of(bar[i].entries), expected[i].second) << bar[i].title;
    }
    EXPECT_EQ(bar[1].entries[0].kind, MenuEntryKind::Submenu);
    EXPECT_EQ(bar[1].entries[0].label, "Dispositivo di Controllo");
}

TEST(MenuModel, MnemonicsKeepTheTitlesAndAvoidTheConsoleKeys) {
    std::set<Key> letters;
    for (const MenuDefinition& menu : menu_bar_definition()) {
        std::string shown(menu.mnemonic_title);
        ASSERT_EQ(std::count(shown.begin(), shown.end(), '_'), 1) << menu.title;
        shown.erase(shown.find('_'), 1);
        EXPECT_EQ(shown, menu.title);
        const Key key = menu_mnemonic_key(menu);
        letters.insert(key);
        // Nothing the console reads in any of the fixed layouts, nor a hotkey letter.
        for (ControlProfile p :
             {ControlProfile::Standard, ControlProfile::Wasd, ControlProfile::Numpad}) {
            Controls c;
            apply_profile(c, p);
            for (Key k : {c.up, c.down, c.left, c.right, c.btn1, c.btn2}) {
                EXPECT_NE(key, k) << menu.title;
            }
        }
        for (Key k : {Key::A, Key::D, Key::W, Key::S, Key::Z, Key::X, Key::J, Key::K, Key::I,
                      Key::O, Key::M}) {
            EXPECT_NE(key, k) << menu.title;
        }
    }
    EXPECT_EQ(letters.size(), 5u);  // one letter per menu
}

// Only the desktop's openers: a terminal editor ($EDITOR, $VISUAL) would fight the program
// for its terminal.
TEST(MenuEditor, DesktopOpenersOnly) {
    using Argv = std::vector<std::string>;
    const std::filesystem::path file = "/home/u/vestrel_controls.ini";
    EXPECT_EQ(editor_commands(file),
              (std::vector<Argv>{{"xdg-open", file.string()}, {"gio", "open", file.string()}}));
    EXPECT_NE(no_editor_warning(file).find(file.string()), std::string::npos);
}

TEST(MenuModel, LabelsAndKeyTexts) {
    const std::vector<std::tuple<int, std::string_view, std::string_view>> cases = {
        {1000, "Inserisci Disco nel Lettore (a caldo)...", "Ctrl+I"},
        {1001, "Apri Disco e Riavvia Console...", "Ctrl+O"},
        {1002, "Riavvia Console (Reset)", "F5"},
        {1003, "Esci", "Alt+F4"},
        {1004, "Espelli Disco (Eject)", ""},
        {1014, "Libera / Cattura Mouse", "Tasto Centrale"},
        {1016, "Modifica Comandi in un Editor di Testo...", ""},
        {1022, "Volume Giù (-)", "-"},
        {1021, "Volume Su (+)", "+"},
        {1050, "Velocità Hardware Reale CD-i (Wait-States)", ""},
        {1061, "Mouse Philips CD-i (Cursore Host)", ""},
        {1041, "Informazioni su Vestrel...", ""},
    };
    for (const auto& [id, label, keys] : cases) {
        const MenuEntry* e = find_menu_entry(id);
        ASSERT_NE(e, nullptr) << id;
        EXPECT_EQ(e->label, label);
        EXPECT_EQ(e->key_text, keys);
    }
    EXPECT_EQ(find_menu_entry(1005), nullptr);
}

TEST(MenuModel, CheckGroupsAndInitialMarks) {
    std::set<int> checkable;
    for (const MenuDefinition& m : menu_bar_definition()) {
        for (const MenuEntry& e : m.entries) {
            if (e.kind == MenuEntryKind::CheckItem) checkable.insert(e.id);
            for (const MenuEntry& c : e.children) {
                if (c.kind == MenuEntryKind::CheckItem) checkable.insert(c.id);
            }
        }
    }
    EXPECT_EQ(checkable, (std::set<int>{1010, 1011, 1012, 1015, 1032, 1033, 1050, 1060, 1061}));
    EXPECT_EQ(menu_check_group(1011).size(), 4u);
    EXPECT_EQ(menu_check_group(1033).size(), 2u);
    EXPECT_EQ(menu_check_group(1050).size(), 1u);
    EXPECT_TRUE(menu_check_group(1002).empty());

    std::set<int> on;
    for (int id : checkable) {
        if (initially_checked(id, ControlProfile::Wasd, PointerDevice::Gamepad, VideoMode::Pal)) {
            on.insert(id);
        }
    }
    EXPECT_EQ(on, (std::set<int>{1011, 1032, 1050, 1060}));
    EXPECT_TRUE(initially_checked(1033, ControlProfile::Standard, PointerDevice::Gamepad,
                                  VideoMode::Ntsc));
}

TEST(MenuAction, EveryIdDoesItsAction) {
    struct Case {
        int id;
        CommandTag tag;
        uint8_t payload;
    };
    const std::vector<Case> queued = {
        {1002, CommandTag::Reset, 0},          {1003, CommandTag::Exit, 0},
        {1004, CommandTag::EjectDisc, 0},      {1010, CommandTag::SetControlProfile, 0},
        {1011, CommandTag::SetControlProfile, 1}, {1012, CommandTag::SetControlProfile, 2},
        {1015, CommandTag::SetControlProfile, 3}, {1014, CommandTag::ToggleMouseCapture, 0},
        {1017, CommandTag::ReloadControls, 0}, {1020, CommandTag::ToggleMute, 0},
        {1021, CommandTag::VolumeUp, 0},       {1022, CommandTag::VolumeDown, 0},
        {1030, CommandTag::ToggleFullscreen, 0}, {1031, CommandTag::SaveScreenshot, 0},
        {1032, CommandTag::SetVideoMode, 0},   {1033, CommandTag::SetVideoMode, 1},
        {1050, CommandTag::ToggleWaitStates, 0}, {1060, CommandTag::SetPointerDevice, 0},
        {1061, CommandTag::SetPointerDevice, 1},
    };
    for (const Case& c : queued) {
        FakeUi ui;
        CommandQueue q;
        EXPECT_TRUE(menu_action(c.id, ui, q)) << c.id;
        const Command cmd = q.pop();
        EXPECT_EQ(cmd.tag, c.tag) << c.id;
        EXPECT_EQ(cmd.payload, c.payload) << c.id;
        EXPECT_EQ(q.pop().tag, CommandTag::None) << c.id;
        EXPECT_EQ(ui.dialogs + ui.helps + ui.abouts, 0) << c.id;
    }

    FakeUi ui;
    CommandQueue q;
    // The help box is shown for both of its items, directly; so is the about box.
    menu_action(1013, ui, q);
    menu_action(1040, ui, q);
    menu_action(1041, ui, q);
    EXPECT_EQ(ui.helps, 2);
    EXPECT_EQ(ui.abouts, 1);
    EXPECT_EQ(q.pop().tag, CommandTag::None);

    // A cancelled disc dialog queues nothing; a chosen path is queued with its command.
    menu_action(1001, ui, q);
    EXPECT_EQ(q.pop().tag, CommandTag::None);
    ui.dialog_answer = "games/x.chd";
    menu_action(1000, ui, q);
    menu_action(1001, ui, q);
    const Command insert = q.pop();
    EXPECT_EQ(insert.tag, CommandTag::InsertDisc);
    EXPECT_EQ(insert.path, std::filesystem::path("games/x.chd"));
    EXPECT_EQ(q.pop().tag, CommandTag::OpenDiscAndReset);

    // The editor opens first, then the custom profile is queued.
    menu_action(1016, ui, q);
    ASSERT_EQ(ui.editors.size(), 1u);
    EXPECT_EQ(ui.editors[0], std::filesystem::path("vestrel_controls.ini"));
    const Command custom = q.pop();
    EXPECT_EQ(custom.tag, CommandTag::SetControlProfile);
    EXPECT_EQ(custom.payload, 3);

    EXPECT_FALSE(menu_action(1005, ui, q));
    EXPECT_EQ(q.pop().tag, CommandTag::None);
}

TEST(MenuDialogs, HelpAndAboutTexts) {
    const std::string help = help_text();
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        const size_t nl = help.find('\n', start);
        lines.push_back(help.substr(start, nl - start));
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    ASSERT_EQ(lines.size(), 40u);
    EXPECT_EQ(lines[0], "Vestrel - Configurazione Comandi Philips CD-i");
    EXPECT_EQ(lines[1], std::string(49, '='));
    EXPECT_EQ(lines[12], "\u2022 Tasto 1: [J]  |  Tasto 2: [K]");
    EXPECT_EQ(lines[24], "\u2022 Clic Sinistro = Tasto 1  |  Clic Destro = Tasto 2");
    EXPECT_EQ(lines[39], "\u2022 + / - : Regola volume");
    EXPECT_NE(help.back(), '\n');

    const std::string about = about_text();
    EXPECT_EQ(std::count(about.begin(), about.end(), '\n'), 9);
    EXPECT_EQ(about.rfind("Vestrel - Emulatore Philips CD-i\nVersione: 0.2.0 (", 0), 0u);
    EXPECT_NE(about.find("C++"), std::string::npos);
    EXPECT_NE(about.find("GTK 3"), std::string::npos);
    EXPECT_NE(about.find("\n\u2022 Interfaccia grafica nativa GTK 3 con menu di controllo e "
                         "selezione file\n"),
              std::string::npos);
    EXPECT_TRUE(about.ends_with("\n\u2022 Supporto Gamepad USB (SDL2) e cattura mouse precisa"));
    EXPECT_EQ(lines[19], "\u2022 Modificabile tramite 'Comandi -> Modifica Comandi in un Editor di Testo...'");
}

// No text names a Windows piece this build does not use.
TEST(MenuDialogs, TextsNameNoWindowsPieces) {
    std::vector<std::string> texts = {help_text(), about_text(), std::string(kMenuAttachedLog)};
    for (const MenuDefinition& m : menu_bar_definition()) {
        for (const MenuEntry& e : m.entries) {
            texts.emplace_back(e.label);
            for (const MenuEntry& c : e.children) texts.emplace_back(c.label);
        }
    }
    for (const std::string& text : texts) {
        for (const char* name : {"Windows", "Win32", "Notepad", "DirectInput", "XInput"}) {
            EXPECT_EQ(text.find(name), std::string::npos) << name << " in: " << text;
        }
    }
    EXPECT_EQ(kMenuAttachedLog, "GTK 3 Native Menu attached and window subclassed successfully.");
}

TEST(MenuDialogs, DiscFilterIgnoresLetterCase) {
    const auto matches = [](const char* name) {
        for (std::string_view p : disc_filter_patterns()) {
            if (::fnmatch(std::string(p).c_str(), name, 0) == 0) return true;
        }
        return false;
    };
    for (const char* name : {"a.chd", "B.CHD", "c.Iso", "d.bin", "e.CuE"}) {
        EXPECT_TRUE(matches(name)) << name;
    }
    for (const char* name : {"a.chd.txt", "b.wav", "chd"}) EXPECT_FALSE(matches(name)) << name;
}

}  // namespace
}  // namespace vestrel
