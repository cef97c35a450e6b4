#include "frontend/menu.hpp"

#include <array>

namespace vestrel {
namespace {

using K = MenuEntryKind;
namespace id = menu_id;

constexpr MenuEntry sep() { return {K::Separator, 0, {}, {}, {}}; }
constexpr MenuEntry item(int i, std::string_view label, std::string_view keys = {}) {
    return {K::Item, i, label, keys, {}};
}
constexpr MenuEntry check(int i, std::string_view label) { return {K::CheckItem, i, label, {}, {}}; }

constexpr std::array kFile = {
    item(id::kInsertDisc, "Inserisci Disco nel Lettore (a caldo)...", "Ctrl+I"),
    item(id::kOpenDiscAndReset, "Apri Disco e Riavvia Console...", "Ctrl+O"),
    item(id::kEject, "Espelli Disco (Eject)"),
    sep(),
    item(id::kReset, "Riavvia Console (Reset)", "F5"),
    sep(),
    item(id::kExit, "Esci", "Alt+F4"),
};

constexpr std::array kPointerDevices = {
    check(id::kPointerGamepad, "Controller CD-i (Gamepad USB / Tastiera)"),
    check(id::kPointerMouse, "Mouse Philips CD-i (Cursore Host)"),
};

constexpr std::array kCommands = {
    MenuEntry{K::Submenu, 0, "Dispositivo di Controllo", {}, kPointerDevices},
    sep(),
    check(id::kProfileStandard, "Profilo Tasti: Standard (Frecce + Z / X)"),
    check(id::kProfileWasd, "Profilo Tasti: WASD + J / K (Stile PC)"),
    check(id::kProfileNumpad, "Profilo Tasti: Tastierino Numerico (Numpad)"),
    check(id::kProfileCustom, "Profilo Tasti: Personalizzato (vestrel_controls.ini)"),
    sep(),
    item(id::kEditControls, "Modifica Comandi in un Editor di Testo..."),
    item(id::kReloadControls, "Ricarica Comandi da File INI"),
    sep(),
    item(id::kToggleMouse, "Libera / Cattura Mouse", "Tasto Centrale"),
    item(id::kShowControls, "Visualizza Configurazione Tasti..."),
};

constexpr std::array kAudio = {
    item(id::kMute, "Muto / Riattiva Audio", "M"),
    item(id::kVolumeUp, "Volume Su (+)", "+"),
    item(id::kVolumeDown, "Volume Giù (-)", "-"),
};

constexpr std::array kVideo = {
    item(id::kFullscreen, "Schermo Intero", "F11"),
    item(id::kScreenshot, "Salva Screenshot", "F12"),
    sep(),
    check(id::kPal, "PAL (50 Hz) [Standard CD-i 220]"),
    check(id::kNtsc, "NTSC (60 Hz)"),
    sep(),
    check(id::kWaitStates, "Velocità Hardware Reale CD-i (Wait-States)"),
};

constexpr std::array kHelp = {
    item(id::kHelp, "Guida Comandi CD-i..."),
    item(id::kAbout, "Informazioni su Vestrel..."),
};

constexpr std::array<MenuDefinition, 5> kMenuBar = {{
    {"File", kFile, "_File"},
    {"Comandi", kCommands, "_Comandi"},
    {"Audio", kAudio, "A_udio"},
    {"Video", kVideo, "_Video"},
    {"Aiuto", kHelp, "Aiu_to"},
}};

constexpr std::array kPointerGroup = {id::kPointerGamepad, id::kPointerMouse};
constexpr std::array kProfileGroup = {id::kProfileStandard, id::kProfileWasd, id::kProfileNumpad,
                                      id::kProfileCustom};
constexpr std::array kVideoGroup = {id::kPal, id::kNtsc};
constexpr std::array kWaitGroup = {id::kWaitStates};

constexpr std::array<std::string_view, 4> kDiscPatterns = {"*.[cC][hH][dD]", "*.[iI][sS][oO]",
                                                           "*.[bB][iI][nN]", "*.[cC][uU][eE]"};

constexpr std::array<std::string_view, 40> kHelpLines = {
    "Vestrel - Configurazione Comandi Philips CD-i",
    "=================================================",
    "",
    "Sono disponibili profili rapidi selezionabili dal menu Comandi:",
    "",
    "1. PROFILO STANDARD (Predefinito):",
    "\u2022 Movimento / D-Pad: Frecce Direzionali",
    "\u2022 Tasto 1 (Azione / Conferma): [Z]",
    "\u2022 Tasto 2 (Salto / Azione 2): [X]",
    "",
    "2. PROFILO WASD (Stile PC):",
    "\u2022 Movimento: [W] [A] [S] [D]",
    "\u2022 Tasto 1: [J]  |  Tasto 2: [K]",
    "",
    "3. PROFILO TASTIERINO (Numpad):",
    "\u2022 Movimento: [8] [4] [6] [2]",
    "\u2022 Tasto 1: [1]  |  Tasto 2: [0]",
    "",
    "4. PROFILO PERSONALIZZATO:",
    "\u2022 Modificabile tramite 'Comandi -> Modifica Comandi in un Editor di Testo...'",
    "\u2022 Salva in vestrel_controls.ini qualsiasi tasto (es. Space, Enter, Shift...)",
    "",
    "MOUSE E TOUCH:",
    "\u2022 Muovi il mouse per muovere la freccia o il cursore.",
    "\u2022 Clic Sinistro = Tasto 1  |  Clic Destro = Tasto 2",
    "\u2022 Tasto Centrale: Sblocca / blocca il cursore dalla finestra.",
    "",
    "GAMEPAD USB / XBOX / PLAYSTATION:",
    "\u2022 Croce Direzionale o Levetta Analogica Sinistra = Movimento",
    "\u2022 Tasto A / Croce = Tasto 1",
    "\u2022 Tasto B / Cerchio / X = Tasto 2",
    "\u2022 Tasto Start = Azione / Pausa",
    "",
    "SCORCIATOIE RAPIDE:",
    "\u2022 F12: Salva Screenshot (screenshots_hotel_mario/)",
    "\u2022 Ctrl+O: Apri file gioco (CHD / ISO / BIN)",
    "\u2022 F5: Riavvia console (Reset)",
    "\u2022 F11: Schermo Intero",
    "\u2022 M: Muto / Riattiva audio",
    "\u2022 + / - : Regola volume",
};

constexpr std::array<std::string_view, 10> kAboutLines = {
    "Vestrel - Emulatore Philips CD-i",
    "Versione: 0.2.0 (Linux)",
    "Scritto in C++23 con interfaccia GTK 3 e audio SDL2",
    "",
    "Caratteristiche implementate:",
    "\u2022 Microprocessore SCC68070 & OS-9 CD-RTOS",
    "\u2022 Controller Video MCD212 con piani A & B e supporto bitmap",
    "\u2022 Decoder Audio CD-i ADPCM Level B Stereo con riempimento mappe audio SoundMap",
    "\u2022 Interfaccia grafica nativa GTK 3 con menu di controllo e selezione file",
    "\u2022 Supporto Gamepad USB (SDL2) e cattura mouse precisa",
};

template <size_t N>
std::string join_lines(const std::array<std::string_view, N>& lines) {
    std::string text;
    for (size_t i = 0; i < N; ++i) {
        if (i != 0) text += '\n';
        text += lines[i];
    }
    return text;
}

const MenuEntry* find_in(std::span<const MenuEntry> entries, int wanted) {
    for (const MenuEntry& e : entries) {
        if (e.kind == K::Submenu) {
            if (const MenuEntry* found = find_in(e.children, wanted)) return found;
        } else if (e.kind != K::Separator && e.id == wanted) {
            return &e;
        }
    }
    return nullptr;
}

}  // namespace

std::span<const MenuDefinition> menu_bar_definition() { return kMenuBar; }

Key menu_mnemonic_key(const MenuDefinition& menu) {
    const size_t mark = menu.mnemonic_title.find('_');
    if (mark == std::string_view::npos || mark + 1 >= menu.mnemonic_title.size()) {
        return Key::Unknown;
    }
    char c = menu.mnemonic_title[mark + 1];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c < 'A' || c > 'Z') return Key::Unknown;
    return static_cast<Key>(static_cast<int>(Key::A) + (c - 'A'));
}

const MenuEntry* find_menu_entry(int wanted) {
    for (const MenuDefinition& menu : kMenuBar) {
        if (const MenuEntry* found = find_in(menu.entries, wanted)) return found;
    }
    return nullptr;
}

std::span<const int> menu_check_group(int wanted) {
    for (std::span<const int> group : {std::span<const int>(kPointerGroup),
                                       std::span<const int>(kProfileGroup),
                                       std::span<const int>(kVideoGroup),
                                       std::span<const int>(kWaitGroup)}) {
        for (int member : group) {
            if (member == wanted) return group;
        }
    }
    return {};
}

bool initially_checked(int i, ControlProfile profile, PointerDevice device, VideoMode mode) {
    switch (i) {
        case id::kPointerGamepad: return device == PointerDevice::Gamepad;
        case id::kPointerMouse: return device == PointerDevice::Mouse;
        case id::kProfileStandard: return profile == ControlProfile::Standard;
        case id::kProfileWasd: return profile == ControlProfile::Wasd;
        case id::kProfileNumpad: return profile == ControlProfile::Numpad;
        case id::kProfileCustom: return profile == ControlProfile::Custom;
        case id::kPal: return mode == VideoMode::Pal;
        case id::kNtsc: return mode == VideoMode::Ntsc;
        case id::kWaitStates: return true;
        default: return false;
    }
}

bool menu_action(int i, MenuServices& services, CommandQueue& queue) {
    const auto push = [&](CommandTag tag, uint8_t payload = 0) {
        queue.push(Command::make(tag, payload));
    };
    const auto profile = [&](ControlProfile p) {
        push(CommandTag::SetControlProfile, static_cast<uint8_t>(p));
    };
    switch (i) {
        case id::kInsertDisc:
        case id::kOpenDiscAndReset:
            if (auto path = services.open_disc_dialog()) {
                queue.push(Command::with_path(i == id::kInsertDisc ? CommandTag::InsertDisc
                                                                   : CommandTag::OpenDiscAndReset,
                                              std::move(*path)));
            }
            return true;
        case id::kReset: push(CommandTag::Reset); return true;
        case id::kExit: push(CommandTag::Exit); return true;
        case id::kEject: push(CommandTag::EjectDisc); return true;
        case id::kProfileStandard: profile(ControlProfile::Standard); return true;
        case id::kProfileWasd: profile(ControlProfile::Wasd); return true;
        case id::kProfileNumpad: profile(ControlProfile::Numpad); return true;
        case id::kProfileCustom: profile(ControlProfile::Custom); return true;
        case id::kShowControls:
        case id::kHelp: services.show_help(); return true;
        case id::kToggleMouse: push(CommandTag::ToggleMouseCapture); return true;
        case id::kEditControls:
            services.launch_editor(kControlsFileName);
            profile(ControlProfile::Custom);
            return true;
        case id::kReloadControls: push(CommandTag::ReloadControls); return true;
        case id::kMute: push(CommandTag::ToggleMute); return true;
        case id::kVolumeUp: push(CommandTag::VolumeUp); return true;
        case id::kVolumeDown: push(CommandTag::VolumeDown); return true;
        case id::kFullscreen: push(CommandTag::ToggleFullscreen); return true;
        case id::kScreenshot: push(CommandTag::SaveScreenshot); return true;
        case id::kPal: push(CommandTag::SetVideoMode, static_cast<uint8_t>(VideoMode::Pal)); return true;
        case id::kNtsc: push(CommandTag::SetVideoMode, static_cast<uint8_t>(VideoMode::Ntsc)); return true;
        case id::kAbout: services.show_about(); return true;
        case id::kWaitStates: push(CommandTag::ToggleWaitStates); return true;
        case id::kPointerGamepad:
            push(CommandTag::SetPointerDevice, static_cast<uint8_t>(PointerDevice::Gamepad));
            return true;
        case id::kPointerMouse:
            push(CommandTag::SetPointerDevice, static_cast<uint8_t>(PointerDevice::Mouse));
            return true;
        default: return false;
    }
}

std::vector<std::vector<std::string>> editor_commands(const std::filesystem::path& file) {
    return {{"xdg-open", file.string()}, {"gio", "open", file.string()}};
}

std::string no_editor_warning(const std::filesystem::path& file) {
    return "Nessun editor avviato per " + file.string() +
           " (provati xdg-open, gio open): modificarlo a mano e usare \"Ricarica Comandi "
           "da File INI\"";
}

std::span<const std::string_view> disc_filter_patterns() { return kDiscPatterns; }

std::string help_text() { return join_lines(kHelpLines); }
std::string about_text() { return join_lines(kAboutLines); }

}  // namespace vestrel
