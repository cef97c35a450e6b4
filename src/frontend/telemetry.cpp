#include "frontend/telemetry.hpp"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <thread>

#include <fmt/format.h>

#include "common/file.hpp"
#include "common/log.hpp"

namespace vestrel {
namespace {

LogTarget kLog{"vestrel"};

using namespace std::chrono_literals;

constexpr std::chrono::nanoseconds kPalPeriod{20'000'000};
constexpr std::chrono::nanoseconds kNtscPeriod{16'666'667};

// Speed warnings: not during the first frames after a reset, and not when the emulation is
// plainly stalled (20 % or less).
constexpr uint64_t kFirstWarnedFrame = 101;
constexpr double kSpeedHigh = 108.0;
constexpr double kSpeedLow = 92.0;
constexpr double kSpeedStalled = 20.0;
// The SCC68070 at 15.5 MHz with wait states runs about 3.2-3.5 MIPS; more means lost timing.
constexpr double kMipsCeiling = 4.5;
// Below this a rate shows as idle / falls back to the measured frame rate.
constexpr double kIdleRate = 0.5;
constexpr double kSectorsPerSecondSingleSpeed = 75.0;

constexpr uint32_t kPixelsPerMetre = 2835;  // 72 dpi

void put_u16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

double target_fps(VideoMode mode) { return mode == VideoMode::Ntsc ? 60.0 : 50.0; }

}  // namespace

Instant SteadyPacingClock::now() { return std::chrono::steady_clock::now(); }

void SteadyPacingClock::sleep_for(std::chrono::nanoseconds duration) {
    std::this_thread::sleep_for(duration);
}

void SteadyPacingClock::sleep_until(Instant deadline) {
#if defined(__linux__)
    // steady_clock is CLOCK_MONOTONIC in libstdc++ and libc++ on Linux.
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
    if (ns <= 0) return;
    const timespec at{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
#else
    std::this_thread::sleep_until(deadline);
#endif
}

void SteadyPacingClock::spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

uint32_t telemetry_interval(VideoMode mode) { return mode == VideoMode::Ntsc ? 30 : 25; }

std::chrono::nanoseconds frame_period(VideoMode mode) {
    return mode == VideoMode::Ntsc ? kNtscPeriod : kPalPeriod;
}

void telemetry_start(Telemetry& t, Instant now, std::array<uint32_t, 2> plane_starts) {
    t.next_deadline = now;
    t.stats_instant = now;
    t.last_plane_starts = plane_starts;
}

void telemetry_restart(Telemetry& t, Instant now) {
    t.next_deadline = now;
    t.stats_instant = now;
    t.frames_in_interval = 0;
    t.rendered_frames = 0;
}

void telemetry_restart(Telemetry& t, Instant now, uint64_t instructions_executed,
                       uint32_t cd_sectors_read) {
    telemetry_restart(t, now);
    t.last_instruction_total = instructions_executed;
    t.last_cd_sectors = cd_sectors_read;
}

void telemetry_skip_pause(Telemetry& t, std::chrono::nanoseconds held, Instant now) {
    t.stats_instant = std::min(t.stats_instant + held, now);
    // The grid moves on by the pause, so the frame the dialog interrupted still gets its period.
    t.next_deadline += held;
}

bool detect_rendered_frame(Telemetry& t, std::array<uint32_t, 2> plane_starts) {
    const bool changed = plane_starts != t.last_plane_starts;
    t.last_plane_starts = plane_starts;
    return changed;
}

void pace_frame(Telemetry& t, VideoMode mode, PacingClock& clock) {
    const std::chrono::nanoseconds period = frame_period(mode);
    const Instant now = clock.now();
    if (now < t.next_deadline) {
        if (t.next_deadline - now > kPacingSpinWindow) clock.sleep_until(t.next_deadline - kPacingSpinWindow);
        while (clock.now() < t.next_deadline) clock.spin_pause();
        t.next_deadline += period;
    } else {
        // Late: start a new grid rather than rushing frames to catch up.
        t.next_deadline = now + period;
    }
}

bool count_frame(Telemetry& t, uint64_t& frame_counter, bool rendered, VideoMode mode) {
    ++frame_counter;
    if (t.frames_in_interval == 0) {
        t.interval_mode = mode;
        t.interval_mixed = false;
    } else if (mode != t.interval_mode) {
        t.interval_mixed = true;
    }
    ++t.frames_in_interval;
    if (rendered) ++t.rendered_frames;
    return frame_counter % telemetry_interval(mode) == 0;
}

std::string format_window_title(const Telemetry& t, std::string_view game_name, VideoMode mode,
                                bool wait_states_on) {
    const double speed = t.measured_fps / target_fps(mode) * 100.0;
    const std::string cd = t.cd_rate > kIdleRate
                               ? fmt::format("{:.1f} sec/s ({:.1f}x)", t.cd_rate,
                                             t.cd_rate / kSectorsPerSecondSingleSpeed)
                               : std::string("IDLE");
    const double render = t.render_rate > kIdleRate ? t.render_rate : t.measured_fps;
    return fmt::format(
        "Vestrel \u2013 {} | {:.0f}% ({:.1f} FPS {}) | CPU: {:.2f} MIPS | CD: {} | Render: {:.0f} FPS"
        " | WaitStates: {}",
        game_name, speed, t.measured_fps, mode == VideoMode::Ntsc ? "60Hz (NTSC)" : "50Hz (PAL)",
        t.mips, cd, render, wait_states_on ? "ON" : "TURBO");
}

std::string update_telemetry(Telemetry& t, const TelemetryInputs& in) {
    const double elapsed = std::chrono::duration<double>(in.now - t.stats_instant).count();
    if (elapsed > 0.0) {
        t.measured_fps = t.frames_in_interval / elapsed;
        const uint64_t instructions = in.instructions_executed >= t.last_instruction_total
                                          ? in.instructions_executed - t.last_instruction_total
                                          : 0;
        t.mips = static_cast<double>(instructions) / elapsed / 1'000'000.0;
        const uint32_t sectors =
            in.cd_sectors_read >= t.last_cd_sectors ? in.cd_sectors_read - t.last_cd_sectors : 0;
        t.cd_rate = sectors / elapsed;
        t.render_rate = t.rendered_frames / elapsed;
        t.rendered_frames = 0;
        t.frames_in_interval = 0;
        t.last_cd_sectors = in.cd_sectors_read;
        t.last_instruction_total = in.instructions_executed;
    }
    t.stats_instant = in.now;

    const double target = target_fps(in.video_mode);
    const double speed = t.measured_fps / target * 100.0;
    const bool judged = !t.interval_mixed;
    if (elapsed > 0.0) t.interval_mixed = false;
    if (judged && in.frame_counter >= kFirstWarnedFrame &&
        (speed > kSpeedHigh || (speed < kSpeedLow && speed > kSpeedStalled))) {
        LOG_WARN(kLog,
                 "[TELEMETRIA ANOMALIA VELOCITÀ] Velocità: {:.1f}% ({:.1f} FPS su target {:.0f} Hz) | "
                 "MIPS: {:.2f} | CD: {:.1f} sec/s",
                 speed, t.measured_fps, target, t.mips, t.cd_rate);
    }
    if (t.mips > kMipsCeiling && in.wait_states_on) {
        LOG_WARN(kLog,
                 "[TELEMETRIA ANOMALIA CPU] Esecuzione anomala CPU: {:.2f} MIPS (attesi ~3.2-3.5 "
                 "MIPS per SCC68070 a 15.5MHz)",
                 t.mips);
    }
    return format_window_title(t, in.game_name, in.video_mode, in.wait_states_on);
}

std::vector<uint8_t> encode_screenshot_bmp(std::span<const uint32_t> frame_buffer) {
    std::vector<uint8_t> file(kBmpFileSize, 0);
    uint8_t* h = file.data();
    h[0] = 'B';
    h[1] = 'M';
    put_u32(h + 2, static_cast<uint32_t>(kBmpFileSize));
    put_u32(h + 10, static_cast<uint32_t>(kBmpHeaderSize));
    put_u32(h + 14, 40);  // BITMAPINFOHEADER
    put_u32(h + 18, kScreenWidth);
    put_u32(h + 22, static_cast<uint32_t>(-static_cast<int32_t>(kScreenHeight)));  // top-down
    put_u16(h + 26, 1);
    put_u16(h + 28, 32);
    put_u32(h + 30, 0);
    put_u32(h + 34, static_cast<uint32_t>(kScreenPixels * 4));
    put_u32(h + 38, kPixelsPerMetre);
    put_u32(h + 42, kPixelsPerMetre);

    uint8_t* p = h + kBmpHeaderSize;
    const size_t n = std::min(frame_buffer.size(), kScreenPixels);
    for (size_t i = 0; i < kScreenPixels; ++i, p += 4) {
        const uint32_t px = i < n ? frame_buffer[i] : 0;
        p[0] = static_cast<uint8_t>(px);
        p[1] = static_cast<uint8_t>(px >> 8);
        p[2] = static_cast<uint8_t>(px >> 16);
        p[3] = 0xFF;  // the buffer's own top byte may be 0 after a reset
    }
    return file;
}

std::filesystem::path screenshot_path(uint64_t frame, uint64_t copy) {
    const std::string name = copy <= 1 ? fmt::format("screenshot_frame_{}.bmp", frame)
                                       : fmt::format("screenshot_frame_{}_{}.bmp", frame, copy);
    return std::filesystem::path(kScreenshotFolder) / name;
}

void save_screenshot(uint64_t frame, std::span<const uint32_t> frame_buffer,
                     const std::filesystem::path& working_dir) {
    const std::filesystem::path folder = working_dir / kScreenshotFolder;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec || !std::filesystem::is_directory(folder)) {
        LOG_ERROR(kLog, "Impossibile creare la cartella degli screenshot {}: {}", kScreenshotFolder,
                  ec ? ec.message() : std::string("esiste già un file con questo nome"));
        return;
    }
    const std::vector<uint8_t> file = encode_screenshot_bmp(frame_buffer);
    // The frame number restarts with every reset, so its name may be taken: try the next
    // suffix. "x" creates the file only if no file of that name exists, so nothing is replaced.
    for (uint64_t copy = 1;; ++copy) {
        const std::filesystem::path rel = screenshot_path(frame, copy);
        const std::filesystem::path full = working_dir / rel;
        std::FILE* out = std::fopen(full.c_str(), "wbx");
        if (out == nullptr) {
            const int error = errno;
            if (error == EEXIST) continue;
            LOG_ERROR(kLog, "Impossibile salvare lo screenshot in {}: {}", rel.generic_string(),
                      os_error(error).message);
            return;
        }
        const bool written = std::fwrite(file.data(), 1, file.size(), out) == file.size();
        const int write_error = errno;
        if (std::fclose(out) != 0 || !written) {
            const int error = written ? errno : write_error;
            // The file is ours and incomplete: a cut picture is no screenshot.
            std::filesystem::remove(full, ec);
            LOG_ERROR(kLog, "Impossibile salvare lo screenshot in {}: {}", rel.generic_string(),
                      os_error(error).message);
            return;
        }
        LOG_INFO(kLog, "Screenshot salvato in {}", rel.generic_string());
        return;
    }
}

}  // namespace vestrel
