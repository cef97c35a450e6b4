// Frame pacing, the rendered-picture detector, the statistics in the window title and the
// screenshot writer. Everything takes its state and inputs as arguments, so it runs without a
// window; the clock is an interface so tests run in no time.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "machine/video_mode.hpp"

namespace vestrel {

using Instant = std::chrono::steady_clock::time_point;

// The monotonic clock and the waits that pacing needs.
class PacingClock {
public:
    virtual ~PacingClock() = default;
    virtual Instant now() = 0;
    virtual void sleep_for(std::chrono::nanoseconds duration) = 0;
    // Sleeps until the clock reads `deadline` (returns at once when it already does). By
    // default a sleep for the time left.
    virtual void sleep_until(Instant deadline) {
        const Instant t = now();
        if (t < deadline) sleep_for(deadline - t);
    }
    // One pause between clock readings of the busy wait.
    virtual void spin_pause() = 0;
};

// The real clock: std::chrono::steady_clock (CLOCK_MONOTONIC), a sleep to an absolute
// deadline on that clock (clock_nanosleep with TIMER_ABSTIME, which on Linux wakes within
// tens of microseconds and does not drift by the time spent computing the remainder), and the
// processor's pause hint.
class SteadyPacingClock final : public PacingClock {
public:
    Instant now() override;
    void sleep_for(std::chrono::nanoseconds duration) override;
    void sleep_until(Instant deadline) override;
    void spin_pause() override;
};

// pace_frame sleeps to this long before the frame's deadline and busy-waits only the rest. A
// sleep on the monotonic clock wakes 100 to 160 microseconds after the instant asked for here
// (the kernel's timer slack of 50 microseconds included), so a longer window would be spun away
// at every frame; a frame that starts a few tens of microseconds after its deadline keeps the
// grid all the same.
inline constexpr std::chrono::nanoseconds kPacingSpinWindow{100'000};

inline constexpr std::string_view kInitialWindowTitle = "Vestrel - Philips CD-i";

inline constexpr uint32_t kScreenWidth = 768;
inline constexpr uint32_t kScreenHeight = 560;
inline constexpr size_t kScreenPixels = size_t{kScreenWidth} * kScreenHeight;
inline constexpr size_t kBmpHeaderSize = 54;
inline constexpr size_t kBmpFileSize = kBmpHeaderSize + kScreenPixels * 4;  // 1,720,374

inline constexpr std::string_view kScreenshotFolder = "screenshots_hotel_mario";

// The pacing and statistics state the frame loop keeps for the whole run.
struct Telemetry {
    Instant next_deadline{};
    Instant stats_instant{};
    double measured_fps = 50.0;
    double mips = 0.0;
    double cd_rate = 0.0;
    double render_rate = 0.0;
    uint64_t last_instruction_total = 0;
    uint32_t last_cd_sectors = 0;
    uint32_t rendered_frames = 0;
    // Frames finished since the last statistics update (or timing restart): the frame rate is
    // measured over these, not over the nominal interval, which a change of video standard
    // would make wrong.
    uint32_t frames_in_interval = 0;
    // The video standard of the interval's first frame, and whether a later frame had the
    // other one: such an interval mixes both frame rates and its speed means nothing.
    VideoMode interval_mode = VideoMode::Pal;
    bool interval_mixed = false;
    std::array<uint32_t, 2> last_plane_starts{};
};

// What one statistics update reads besides the `Telemetry`.
struct TelemetryInputs {
    Instant now{};
    uint64_t frame_counter = 0;
    uint64_t instructions_executed = 0;
    // Sectors the drive has read so far (Console::cd_sectors_read).
    uint32_t cd_sectors_read = 0;
    bool wait_states_on = true;
    VideoMode video_mode = VideoMode::Pal;
    std::string_view game_name;
};

// Frames per statistics interval: 25 under PAL, 30 under NTSC.
uint32_t telemetry_interval(VideoMode mode);
// Nominal frame period: 20 ms under PAL, 16,666,667 ns under NTSC.
std::chrono::nanoseconds frame_period(VideoMode mode);

// Start of a display plane's data: (DCR bits 0-5) << 16 | VSR.
constexpr uint32_t plane_start_address(uint32_t dcr, uint32_t vsr) {
    return ((dcr & 0x3Fu) << 16) | (vsr & 0xFFFFu);
}

// Start-up: both instants at `now`, the plane starts as read just before the loop.
void telemetry_start(Telemetry& t, Instant now, std::array<uint32_t, 2> plane_starts);
// A console reset or disc load: both instants restart at `now`, and the interval's counts
// start again from the counters' values at this moment, so the first rates after the restart
// cover the same frames as the time they are divided by. The last rates shown carry on.
void telemetry_restart(Telemetry& t, Instant now, uint64_t instructions_executed,
                       uint32_t cd_sectors_read);
// As above, leaving the instruction and sector baselines where the last update put them.
void telemetry_restart(Telemetry& t, Instant now);

// The loop stood still for `held` on purpose (a modal dialog): the statistics leave that time
// out of the interval, and the pacing grid starts again after it, later by `held`.
void telemetry_skip_pause(Telemetry& t, std::chrono::nanoseconds held, Instant now);

// Right after the emulated lines: true when either plane start differs from the last frame's.
bool detect_rendered_frame(Telemetry& t, std::array<uint32_t, 2> plane_starts);

// Waits for the frame's deadline: a sleep to kPacingSpinWindow before it when more than that
// remains, then a busy wait for the rest. On time the deadlines stay on a fixed grid; a late
// frame restarts the grid at now.
void pace_frame(Telemetry& t, VideoMode mode, PacingClock& clock);

// After pacing: counts the frame (`frame_counter` grows by one) and tells whether the
// statistics are due now, by the video standard in force.
bool count_frame(Telemetry& t, uint64_t& frame_counter, bool rendered, VideoMode mode);

// Measures the last interval, logs the speed and CPU warnings, and returns the window title.
// An interval in which the video standard changed is not judged for speed.
std::string update_telemetry(Telemetry& t, const TelemetryInputs& in);

// The window title for the current statistics.
std::string format_window_title(const Telemetry& t, std::string_view game_name, VideoMode mode,
                                bool wait_states_on);

// The screenshot file: a 768 x 560 top-down 32-bit BMP. Missing pixels of a short buffer are
// written black.
std::vector<uint8_t> encode_screenshot_bmp(std::span<const uint32_t> frame_buffer);

// "screenshots_hotel_mario/screenshot_frame_{frame}.bmp", relative to the working directory;
// when that name is taken, copy 2 is "screenshot_frame_{frame}_2.bmp", and so on.
std::filesystem::path screenshot_path(uint64_t frame, uint64_t copy = 1);

// Writes the screenshot under `working_dir` (the process's working directory when empty) to
// the first name that is free: an existing file is never replaced. Success logs the relative
// path; a folder that cannot be made or a file that cannot be written is logged as an error
// naming it.
void save_screenshot(uint64_t frame, std::span<const uint32_t> frame_buffer,
                     const std::filesystem::path& working_dir = {});

}  // namespace vestrel
