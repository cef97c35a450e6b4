#include "frontend/startup.hpp"

#include <algorithm>
#include <system_error>
#include <vector>

#include "common/file.hpp"
#include "common/log.hpp"
#include "common/utf8.hpp"
#include "frontend/input.hpp"
#include "machine/slave.hpp"

namespace vestrel {
namespace {

LogTarget kLog{"vestrel"};

namespace fs = std::filesystem;

constexpr std::string_view kReplacementChar = "\xEF\xBF\xBD";
constexpr float kMenuVolumeStep = 0.05f;
constexpr float kMaxVolume = 2.0f;
constexpr float kMinVolume = 0.0f;

constexpr std::array<std::string_view, 9> kDvcTitleMarkers = {
    "LAIR", "GUEST", "EDEN", "MAD DOG", "SPACE ACE", "BRAIN DEAD", "VCD", "MPEG", "DIGITAL VIDEO"};
constexpr std::array<std::string_view, 4> kNtscPathMarkers = {"USA", "JAPAN", "NTSC", "(US)"};

std::string ascii_upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

void log_region(VideoMode mode) {
    if (mode == VideoMode::Ntsc) {
        LOG_INFO(kLog, "Rilevata immagine disco USA/Giappone: console impostata a NTSC 60 Hz");
    } else {
        LOG_INFO(kLog, "Rilevata immagine disco PAL (Europa): 50 Hz / 312 linee");
    }
}

// A title that needs the cartridge gets its ROM when the file is there; a missing or broken
// ROM leaves the cartridge as it was.
void fit_dvc_if_found(Frontend& f) {
    if (const auto rom = find_resource_path(kDvcRomPath, f.base_dir)) {
        if (f.console.load_dvc_rom(*rom)) {
            LOG_INFO(kLog, "Caricata estensione Digital Video Cartridge (DVC) da {}",
                     lossy_path_text(*rom));
        }
    }
}

// The places a lookup tried, as absolute paths, for a message that must say where to put a file.
std::string searched_places(std::string_view rel, const fs::path& base_dir) {
    std::string out;
    for (const fs::path& candidate : resource_candidates(rel, base_dir)) {
        std::error_code ec;
        fs::path place = fs::absolute(candidate, ec);
        if (ec) place = candidate;
        if (!out.empty()) out += ", ";
        out += lossy_path_text(place.lexically_normal());
    }
    return out;
}

fs::path controls_path(const Frontend& f) {
    return f.base_dir.empty() ? fs::path(kControlsFileName) : f.base_dir / kControlsFileName;
}

}  // namespace

void CommandQueue::push(Command command) {
    std::lock_guard lock(mutex_);
    commands_.push_back(std::move(command));
}

Command CommandQueue::pop() {
    std::lock_guard lock(mutex_);
    if (commands_.empty()) return Command{};
    Command front = std::move(commands_.front());
    commands_.pop_front();
    return front;
}

void CommandQueue::clear() {
    std::lock_guard lock(mutex_);
    commands_.clear();
}

CommandQueue& command_queue() {
    static CommandQueue queue;
    return queue;
}

void push_command(Command command) { command_queue().push(std::move(command)); }
Command pop_command() { return command_queue().pop(); }

std::string lossy_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        const int n = utf8_sequence(bytes, i);
        if (n > 0) {
            out.append(bytes.substr(i, static_cast<size_t>(n)));
            i += static_cast<size_t>(n);
        } else {
            out.append(kReplacementChar);
            i += static_cast<size_t>(-n);
        }
    }
    return out;
}

std::string lossy_path_text(const fs::path& path) { return lossy_utf8(path.native()); }

std::array<fs::path, 4> resource_candidates(std::string_view rel, const fs::path& base_dir) {
    const fs::path r{std::string(rel)};
    std::array<fs::path, 4> candidates = {r, fs::path("..") / r, fs::path("file utili") / r,
                                          fs::path("..") / "file utili" / r};
    if (!base_dir.empty()) {
        for (fs::path& candidate : candidates) candidate = base_dir / candidate;
    }
    return candidates;
}

std::optional<fs::path> find_resource_path(std::string_view rel, const fs::path& base_dir) {
    for (const fs::path& candidate : resource_candidates(rel, base_dir)) {
        std::error_code ec;
        if (fs::exists(fs::status(candidate, ec))) return candidate;
    }
    return std::nullopt;
}

bool title_needs_dvc(std::string_view name) {
    const std::string upper = ascii_upper(name);
    return std::ranges::any_of(kDvcTitleMarkers, [&](std::string_view marker) {
        return upper.find(marker) != std::string::npos;
    });
}

VideoMode video_mode_for_path(const fs::path& path) {
    const std::string upper = ascii_upper(lossy_path_text(path.filename()));
    const bool ntsc = std::ranges::any_of(kNtscPathMarkers, [&](std::string_view marker) {
        return upper.find(marker) != std::string::npos;
    });
    return ntsc ? VideoMode::Ntsc : VideoMode::Pal;
}

std::string game_name_for_path(const fs::path& path) {
    const fs::path stem = path.stem();
    if (stem.empty() || stem == "." || stem == "..") return std::string(kUnnamedGame);
    return lossy_path_text(stem);
}

std::optional<std::string> disc_argument(int argc, const char* const* argv) {
    if (argc < 2 || argv[1] == nullptr) return std::nullopt;
    const std::string_view arg = argv[1];
    if (arg == "--standalone" || arg == "--bios") return std::nullopt;
    return std::string(arg);
}

std::expected<void, StartupError> start_console(Frontend& f, std::optional<std::string> argument) {
    LOG_INFO(kLog, "=== Vestrel - Philips CD-i Emulator ===");

    const auto rom_path = find_resource_path(kSystemRomPath, f.base_dir);
    if (!rom_path) {
        LOG_ERROR(kLog, "BIOS cercato in: {}", searched_places(kSystemRomPath, f.base_dir));
        return std::unexpected(StartupError{true, std::string(kSystemRomMissing)});
    }
    auto rom = read_file_prefix(*rom_path, kSystemRomMaxBytes);
    if (!rom)
        return std::unexpected(
            StartupError{false, fmt::format("{}: {}", lossy_path_text(*rom_path), rom.error().message)});
    if (rom->bytes.size() < kSystemRomMinBytes)
        return std::unexpected(StartupError{
            false, fmt::format("{}: file troppo corto per un BIOS ({} byte, ne servono almeno {} per i "
                               "vettori di reset)",
                               lossy_path_text(*rom_path), rom->bytes.size(), kSystemRomMinBytes)});
    f.console.load_system_rom(rom->bytes);
    LOG_INFO(kLog, "Caricato BIOS da {}", lossy_path_text(*rom_path));

    if (const auto nvram_path = find_resource_path(kNvramPath, f.base_dir)) {
        // An unreadable image leaves the NVRAM as constructed and says so.
        if (auto nvram = read_file_prefix(*nvram_path, kNvramBytes)) {
            f.console.load_nvram(nvram->bytes);
            LOG_INFO(kLog, "Caricato NVRAM da {}", lossy_path_text(*nvram_path));
        } else {
            LOG_WARN(kLog, "Impossibile leggere NVRAM da {}: {}", lossy_path_text(*nvram_path),
                     nvram.error().message);
        }
    }

    f.state.game_name = std::string(kNoDiscGameName);

    std::optional<fs::path> disc_path;
    if (argument) {
        disc_path = find_resource_path(*argument, f.base_dir);
        if (!disc_path) {
            LOG_WARN(kLog, "Immagine disco non trovata: {} - avvio senza disco", lossy_utf8(*argument));
        }
    }

    if (disc_path) {
        if (auto inserted = f.console.insert_disc(*disc_path); !inserted) {
            LOG_ERROR(kLog, "Errore caricamento disco di gioco da {}: {}",
                      lossy_path_text(*disc_path), inserted.error());
        } else {
            f.state.game_name = game_name_for_path(*disc_path);
            LOG_INFO(kLog, "Caricato disco di gioco all'avvio: {}", f.state.game_name);
            if (title_needs_dvc(f.state.game_name)) fit_dvc_if_found(f);
            const VideoMode mode = video_mode_for_path(*disc_path);
            log_region(mode);
            f.console.set_video_mode(mode);
            f.console.fill_frame_buffer(kBlackPixel);
        }
    } else {
        LOG_INFO(kLog,
                 "Avvio console in modalità Standalone BIOS (nessun disco inserito) - Standard PAL "
                 "50 Hz");
        f.console.set_video_mode(VideoMode::Pal);
        f.console.fill_frame_buffer(kBlackPixel);
    }

    f.console.reset_cpu();
    LOG_INFO(kLog, "CPU SCC68070 reimpostata - PC: 0x{:08X}", f.console.pc());
    return {};
}

void log_loop_started() {
    LOG_INFO(kLog,
             "Loop di emulazione avviato. Usa il menu o i tasti rapidi: [Ctrl+I] Inserisci Disco, "
             "[Ctrl+O] Apri e Riavvia, [F5] Reset, [F11] Schermo Intero, [Rotellina/Tasto "
             "Centrale] Cattura/Libera Mouse");
}

void log_emulation_stopped(uint32_t pc) {
    LOG_INFO(kLog, "Emulazione arrestata. PC finale: 0x{:08X}", pc);
}

void show_menu_marks(Frontend& f) {
    const MenuMarks now{
        .pointer_device = f.state.pointer_device,
        .profile = f.state.controls.profile,
        .video_mode = f.console.video_mode(),
        .wait_states = f.console.wait_states(),
    };
    std::optional<MenuMarks>& shown = f.state.marks_shown;
    if (shown == now) return;
    HostUi& ui = f.ui;
    if (!shown || shown->pointer_device != now.pointer_device) {
        ui.set_check(menu_id::kPointerGamepad, now.pointer_device == PointerDevice::Gamepad);
        ui.set_check(menu_id::kPointerMouse, now.pointer_device == PointerDevice::Mouse);
    }
    if (!shown || shown->profile != now.profile) {
        ui.set_check(menu_id::kProfileStandard, now.profile == ControlProfile::Standard);
        ui.set_check(menu_id::kProfileWasd, now.profile == ControlProfile::Wasd);
        ui.set_check(menu_id::kProfileNumpad, now.profile == ControlProfile::Numpad);
        ui.set_check(menu_id::kProfileCustom, now.profile == ControlProfile::Custom);
    }
    if (!shown || shown->video_mode != now.video_mode) {
        ui.set_check(menu_id::kPal, now.video_mode == VideoMode::Pal);
        ui.set_check(menu_id::kNtsc, now.video_mode == VideoMode::Ntsc);
    }
    if (!shown || shown->wait_states != now.wait_states) {
        ui.set_check(menu_id::kWaitStates, now.wait_states);
    }
    shown = now;
}

void load_disc(Frontend& f, const fs::path& path) {
    f.state.game_name = game_name_for_path(path);
    LOG_INFO(kLog, "Gioco caricato con successo: {}", f.state.game_name);
    if (title_needs_dvc(f.state.game_name)) {
        fit_dvc_if_found(f);
    } else {
        f.console.remove_dvc();
    }
    const VideoMode mode = video_mode_for_path(path);
    log_region(mode);
    f.console.set_video_mode(mode);
    f.console.fill_frame_buffer(kBlackPixel);
    reset_console(f);
}

void reset_console(Frontend& f) {
    f.console.reset_machine();
    f.console.reset_cpu();
    f.console.set_wait_states(true);
    LoopState& s = f.state;
    telemetry_restart(s.telemetry, f.clock.now(), s.instructions_executed, f.console.cd_sectors_read());
    s.auto_boot_counter = 0;
    s.auto_boot_done = false;
    s.halt_reported = false;
    s.mouse_captured = true;
    s.pointer_x = kPointerStartX;
    s.pointer_y = kPointerStartY;
    s.frame_counter = 0;
}

void eject_disc(Frontend& f) {
    f.console.eject_disc();
    f.state.game_name = std::string(kNoDiscGameName);
    f.state.auto_boot_counter = 0;
    f.state.auto_boot_done = false;
}

void set_video_mode(Frontend& f, VideoMode mode) {
    f.console.set_video_mode(mode);
    f.console.fill_frame_buffer(kBlackPixel);
}

void toggle_fullscreen(Frontend& f) {
    if (!f.ui.has_window()) return;
    if (f.ui.is_maximized()) {
        f.ui.set_maximized(false);
        LOG_INFO(kLog, "Schermo intero: {}", "FINESTRA");
    } else {
        f.ui.set_maximized(true);
        LOG_INFO(kLog, "Schermo intero: {}", "SCHERMO INTERO (4:3)");
    }
}

bool execute_command(Frontend& f, const Command& command) {
    LoopState& s = f.state;
    switch (command.tag) {
        case CommandTag::InsertDisc:
        case CommandTag::OpenDiscAndReset: {
            if (!command.path) break;
            const fs::path& path = *command.path;
            LOG_INFO(kLog, "Caricamento disco di gioco: {}", lossy_path_text(path));
            if (auto inserted = f.console.insert_disc(path); !inserted) {
                LOG_ERROR(kLog, "Impossibile caricare il gioco {}: {}", lossy_path_text(path),
                          inserted.error());
            } else {
                load_disc(f, path);
            }
            break;
        }
        case CommandTag::EjectDisc:
            LOG_INFO(kLog, "Espulsione disco dal lettore CD-i");
            eject_disc(f);
            break;
        case CommandTag::Reset:
            LOG_INFO(kLog, "Riavvio dell'emulatore (Reset)");
            reset_console(f);
            break;
        case CommandTag::Exit:
            LOG_INFO(kLog, "Uscita richiesta dal menu File");
            return false;
        case CommandTag::SetControlProfile: {
            if (command.payload > static_cast<uint8_t>(ControlProfile::Custom)) break;
            const auto profile = static_cast<ControlProfile>(command.payload);
            select_profile(s.controls, profile, controls_path(f));
            LOG_INFO(kLog, "Profilo comandi aggiornato a: {}", profile);
            break;
        }
        case CommandTag::SetPointerDevice: {
            if (command.payload > static_cast<uint8_t>(PointerDevice::Mouse)) break;
            s.pointer_device = static_cast<PointerDevice>(command.payload);
            LOG_INFO(kLog, "Dispositivo di puntamento/controllo impostato a: {}", s.pointer_device);
            break;
        }
        case CommandTag::ReloadControls:
            load_controls(s.controls, controls_path(f));
            LOG_INFO(kLog, "Comandi ricaricati da file INI. Profilo: {}", s.controls.profile);
            break;
        case CommandTag::ToggleMouseCapture:
            s.mouse_captured = !s.mouse_captured;
            LOG_INFO(kLog, "Mouse capture: {}", s.mouse_captured ? "ATTIVO" : "LIBERO");
            break;
        case CommandTag::ToggleMute: {
            const bool muted = !f.console.muted();
            f.console.set_muted(muted);
            LOG_INFO(kLog, "Audio: {}", muted ? "MUTED" : "UNMUTED");
            break;
        }
        case CommandTag::VolumeUp:
            f.console.set_volume(std::min(f.console.volume() + kMenuVolumeStep, kMaxVolume));
            break;
        case CommandTag::VolumeDown:
            f.console.set_volume(std::max(f.console.volume() - kMenuVolumeStep, kMinVolume));
            break;
        case CommandTag::ToggleFullscreen:
            toggle_fullscreen(f);
            break;
        case CommandTag::SaveScreenshot:
            save_screenshot(s.frame_counter, f.console.frame_buffer(), f.base_dir);
            break;
        case CommandTag::SetVideoMode: {
            if (command.payload > static_cast<uint8_t>(VideoMode::Ntsc)) break;
            const auto mode = static_cast<VideoMode>(command.payload);
            set_video_mode(f, mode);
            LOG_INFO(kLog, "Modalità video impostata a: {}", mode);
            break;
        }
        case CommandTag::ToggleWaitStates: {
            const bool on = !f.console.wait_states();
            f.console.set_wait_states(on);
            LOG_INFO(kLog, "Velocità Hardware Reale CD-i (Wait-States): {}",
                     on ? "ABILITATA (Authentic CD-i 220)" : "DISABILITATA (Turbo Zero-Wait)");
            break;
        }
        case CommandTag::ShowHelp:
            f.ui.show_help();
            break;
        case CommandTag::ShowAbout:
            f.ui.show_about();
            break;
        case CommandTag::None:
            break;
    }
    show_menu_marks(f);
    return true;
}

bool drain_commands(Frontend& f, CommandQueue& queue) {
    for (;;) {
        const Command command = queue.pop();
        if (command.tag == CommandTag::None) return true;
        if (!execute_command(f, command)) return false;
    }
}

bool run_host_frame(Frontend& f, WindowFrameIo& host, CommandQueue& queue) {
    LoopState& s = f.state;
    if (!host.is_open() || (host.input().focused && host.input().held(Key::Escape))) return false;
    if (!drain_commands(f, queue)) return false;
    if (f.console.disc_in_slot() && !s.auto_boot_done) auto_boot_step(f);

    f.console.run_emulated_frame(s.instructions_executed);
    if (const auto halt_pc = f.console.cpu_halt_pc(); halt_pc && !s.halt_reported) {
        // Said once: the window stays open so the user can reset or load another disc.
        LOG_ERROR(kLog, "CPU bloccata da un doppio errore (bus o indirizzo durante un'eccezione) - PC: 0x{:08X}",
                  *halt_pc);
        s.halt_reported = true;
    }
    const bool rendered = detect_rendered_frame(s.telemetry, f.console.plane_starts());

    const InputActions actions =
        decide_input(s, host.input(), f.console.slave(), f.console.disc_in_slot());
    apply_input_actions(f, actions, queue);
    show_menu_marks(f);

    host.present(f.console.frame_buffer());
    // A dialog stands the emulation still on purpose: its time is no slow frame, and the
    // pacing starts a new grid after it.
    if (const auto held = f.ui.take_dialog_time(); held > std::chrono::nanoseconds::zero()) {
        telemetry_skip_pause(s.telemetry, held, f.clock.now());
    }
    const VideoMode mode = f.console.video_mode();
    pace_frame(s.telemetry, mode, f.clock);
    if (count_frame(s.telemetry, s.frame_counter, rendered, f.console.video_mode())) {
        const TelemetryInputs in{
            .now = f.clock.now(),
            .frame_counter = s.frame_counter,
            .instructions_executed = s.instructions_executed,
            .cd_sectors_read = f.console.cd_sectors_read(),
            .wait_states_on = f.console.wait_states(),
            .video_mode = f.console.video_mode(),
            .game_name = s.game_name,
        };
        f.ui.set_title(update_telemetry(s.telemetry, in));
    }
    return true;
}

}  // namespace vestrel
