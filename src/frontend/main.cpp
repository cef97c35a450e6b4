// vestrel: the CD-i 220 player in a GTK window.
#include <cstdio>
#include <memory>
#include <vector>

#include "common/log.hpp"
#include "common/standard_streams.hpp"
#include "frontend/gamepad_sdl.hpp"
#include "frontend/host_audio_sdl.hpp"
#include "frontend/input.hpp"
#include "frontend/machine_console.hpp"
#include "frontend/platform.hpp"
#include "frontend/startup.hpp"
#include "frontend/telemetry.hpp"
#include "frontend/window_gtk.hpp"

namespace vestrel {
namespace {

LogTarget kLog{"vestrel"};

// Before the window exists nothing asks for it; this answers anyway.
class NoUi final : public HostUi {
public:
    bool has_window() const override { return false; }
    bool is_maximized() override { return false; }
    void set_maximized(bool) override {}
    void set_check(int, bool) override {}
    void set_title(const std::string&) override {}
    void set_cursor_captured(bool) override {}
    std::optional<std::filesystem::path> open_disc_dialog() override { return std::nullopt; }
    void show_help() override {}
    void show_about() override {}
};

// The window and the gamepads as the frame loop sees them.
class ProgramWindowIo final : public WindowFrameIo {
public:
    ProgramWindowIo(GtkWindowHost& window, SdlGamepads* gamepads, const HostAudioStream* audio)
        : window_(window), gamepads_(gamepads), audio_(audio) {
        refresh();
    }
    bool is_open() const override { return window_.is_open(); }
    const InputSnapshot& input() override { return snapshot_; }
    void present(std::span<const uint32_t> frame_buffer) override {
        window_.present(frame_buffer);
        // Paint, menu picks and dialogs run here; the next frame reads what they left.
        window_.pump();
        refresh();
    }
    // Input at the start of the run, and after every frame's pump.
    void refresh() {
        snapshot_ = window_.input_snapshot();
        // SDL's events are read every frame, with or without gamepad support: the audio
        // device's removal comes as one.
        if (gamepads_ != nullptr) {
            snapshot_.gamepads = gamepads_->poll([this](const SDL_Event& event) {
                if (audio_ != nullptr) audio_->handle_event(event);
            });
        } else if (audio_ != nullptr) {
            audio_->handle_pending_events();
        }
    }

private:
    GtkWindowHost& window_;
    SdlGamepads* gamepads_;
    const HostAudioStream* audio_;
    InputSnapshot snapshot_;
};

int run(int argc, char** argv) {
    log_init_from_env();
    platform_begin_timer_resolution();

    auto console = std::make_unique<MachineConsole>();
    LoopState state;
    SteadyPacingClock clock;
    NoUi no_ui;
    {
        Frontend early{state, *console, no_ui, clock};
        auto started = start_console(early, disc_argument(argc, argv));
        if (!started) {
            if (started.error().fatal) {
                std::fprintf(stderr, "%s\n", escape_control_characters(started.error().message).c_str());
                return kFatalExitStatus;
            }
            std::fprintf(stderr, "Error: %s\n", escape_control_characters(started.error().message).c_str());
            return 1;
        }
    }

    auto window = GtkWindowHost::create();
    if (!window) {
        std::fprintf(stderr, "Error: %s\n", escape_control_characters(window.error()).c_str());
        return 1;
    }
    state.controls = Controls{};
    load_controls(state.controls);
    (*window)->set_console_controls(&state.controls);
    (*window)->attach_menu(state.controls.profile, PointerDevice::Gamepad, console->video_mode());
    if (const auto disc = disc_argument(argc, argv)) (*window)->remember_disc(*disc);

    std::optional<HostAudioStream> audio =
        init_host_audio(console->bus().cdic.audio_out.queue,
                        console->bus().cdic.audio_out.source_rate);

    std::unique_ptr<SdlGamepads> gamepads = SdlGamepads::create();
    if (gamepads) LOG_INFO(kLog, "Driver Gamepad USB attivo (Xbox / PlayStation / Generico USB)");

    console->set_wait_states(true);
    log_loop_started();

    Frontend f{state, *console, **window, clock};
    telemetry_start(state.telemetry, clock.now(), console->plane_starts());
    {
        ProgramWindowIo host(**window, gamepads.get(), audio ? &*audio : nullptr);
        while (run_host_frame(f, host, command_queue())) {
        }
    }

    if (state.cursor_hidden) (*window)->set_cursor_captured(false);
    platform_end_timer_resolution();
    log_emulation_stopped(console->pc());
    gamepads.reset();
    audio.reset();
    window->reset();
    console.reset();
    return 0;
}

}  // namespace
}  // namespace vestrel

int main(int argc, char** argv) {
    vestrel::open_closed_standard_streams();
    return vestrel::run(argc, argv);
}
