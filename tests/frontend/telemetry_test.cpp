#include "frontend/telemetry.hpp"

#include <unistd.h>

#include <clocale>
#include <fstream>
#include <iterator>
#include <locale>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/log.hpp"

namespace vestrel {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;

// A clock that moves only when the code under test sleeps or spins.
class FakeClock final : public PacingClock {
public:
    Instant now() override { return now_; }
    void sleep_for(nanoseconds d) override {
        sleeps.push_back(d);
        now_ += d;
    }
    void spin_pause() override {
        ++spins;
        now_ += 10us;
    }
    void advance(nanoseconds d) { now_ += d; }
    void set(Instant t) { now_ = t; }

    std::vector<nanoseconds> sleeps;
    int spins = 0;

private:
    Instant now_ = Instant{} + 1000s;
};

class LogCapture {
public:
    LogCapture() {
        log_set_filter(LogFilter::parse("info"));
        log_capture(&lines);
    }
    ~LogCapture() {
        log_capture(nullptr);
        log_set_filter(LogFilter::parse(""));
    }
    int count_containing(std::string_view text) const {
        int n = 0;
        for (const auto& l : lines) n += l.find(text) != std::string::npos;
        return n;
    }
    std::vector<std::string> lines;
};

// pace_frame's tests are in pacing_test.cpp.

TEST(Telemetry, RenderedFrameDetector) {
    Telemetry t;
    telemetry_start(t, Instant{}, {plane_start_address(0x05, 0x1234), plane_start_address(0, 0)});
    EXPECT_EQ(t.last_plane_starts[0], 0x051234u);
    EXPECT_EQ(plane_start_address(0xFFC1, 0x1FFFF), 0x01FFFFu) << "DCR bits 0-5, VSR 16 bits";

    struct Step {
        std::array<uint32_t, 2> starts;
        bool rendered;
    };
    const Step steps[] = {
        {{0x051234, 0}, false},
        {{0x051234, 0}, false},
        {{0x060000, 0}, true},
        {{0x060000, 0}, false},
        {{0x060000, 0x100}, true},
        {{0x051234, 0x100}, true},
    };
    for (const auto& s : steps) EXPECT_EQ(detect_rendered_frame(t, s.starts), s.rendered);
    telemetry_restart(t, Instant{} + 5s);
    EXPECT_FALSE(detect_rendered_frame(t, {0x051234, 0x100})) << "a reset keeps the last starts";
}

TEST(Telemetry, CountFrameTellsWhenStatisticsAreDue) {
    Telemetry t;
    uint64_t frame = 0;
    int due_pal = 0;
    for (int i = 0; i < 75; ++i) due_pal += count_frame(t, frame, i % 3 == 0, VideoMode::Pal);
    EXPECT_EQ(due_pal, 3);
    EXPECT_EQ(frame, 75u);
    EXPECT_EQ(t.rendered_frames, 25u);
    EXPECT_EQ(t.frames_in_interval, 75u);
    uint64_t ntsc = 0;
    int due_ntsc = 0;
    for (int i = 0; i < 90; ++i) due_ntsc += count_frame(t, ntsc, false, VideoMode::Ntsc);
    EXPECT_EQ(due_ntsc, 3);
}

TEST(Telemetry, WindowTitles) {
    struct Case {
        double fps, mips, cd, render;
        VideoMode mode;
        bool wait_states;
        const char* game;
        const char* title;
    };
    const Case cases[] = {
        {50.0, 0.0, 0.0, 0.0, VideoMode::Pal, true, "Nessun disco (BIOS Standalone)",
         "Vestrel \u2013 Nessun disco (BIOS Standalone) | 100% (50.0 FPS 50Hz (PAL)) | CPU: 0.00 MIPS"
         " | CD: IDLE | Render: 50 FPS | WaitStates: ON"},
        {49.87, 3.256, 75.0, 12.4, VideoMode::Pal, true, "Hotel Mario",
         "Vestrel \u2013 Hotel Mario | 100% (49.9 FPS 50Hz (PAL)) | CPU: 3.26 MIPS"
         " | CD: 75.0 sec/s (1.0x) | Render: 12 FPS | WaitStates: ON"},
        {59.4, 5.0, 150.0, 0.5, VideoMode::Ntsc, false, "Burn:Cycle (USA)",
         "Vestrel \u2013 Burn:Cycle (USA) | 99% (59.4 FPS 60Hz (NTSC)) | CPU: 5.00 MIPS"
         " | CD: 150.0 sec/s (2.0x) | Render: 59 FPS | WaitStates: TURBO"},
        {25.0, 1.0, 0.5, 0.51, VideoMode::Pal, true, "x",
         "Vestrel \u2013 x | 50% (25.0 FPS 50Hz (PAL)) | CPU: 1.00 MIPS | CD: IDLE | Render: 1 FPS"
         " | WaitStates: ON"},
    };
    for (const auto& c : cases) {
        Telemetry t;
        t.measured_fps = c.fps;
        t.mips = c.mips;
        t.cd_rate = c.cd;
        t.render_rate = c.render;
        EXPECT_EQ(format_window_title(t, c.game, c.mode, c.wait_states), c.title);
    }
}

// A numeric punctuation that writes decimals the Italian way.
struct CommaDecimal : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
};

TEST(Telemetry, TitleIgnoresTheLocale) {
    const std::locale saved = std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
    const char* c_locale = std::setlocale(LC_NUMERIC, "it_IT.UTF-8");
    Telemetry t;
    t.measured_fps = 49.87;
    t.mips = 3.5;
    const std::string title = format_window_title(t, "g", VideoMode::Pal, true);
    std::locale::global(saved);
    if (c_locale) std::setlocale(LC_NUMERIC, "C");
    EXPECT_NE(title.find("(49.9 FPS"), std::string::npos) << title;
    EXPECT_NE(title.find("CPU: 3.50 MIPS"), std::string::npos) << title;
}

TEST(Telemetry, UpdateMeasuresTheInterval) {
    FakeClock clock;
    Telemetry t;
    telemetry_start(t, clock.now(), {});
    t.last_instruction_total = 1'000'000;
    t.last_cd_sectors = 100;
    uint64_t frame = 0;
    for (int i = 0; i < 25; ++i) count_frame(t, frame, i < 10, VideoMode::Pal);
    clock.advance(500ms);
    TelemetryInputs in{clock.now(), frame, 2'600'000, 137, true, VideoMode::Pal, "Disc"};
    const std::string title = update_telemetry(t, in);
    EXPECT_DOUBLE_EQ(t.measured_fps, 50.0);
    EXPECT_DOUBLE_EQ(t.mips, 3.2);
    EXPECT_DOUBLE_EQ(t.cd_rate, 74.0);
    EXPECT_DOUBLE_EQ(t.render_rate, 20.0);
    EXPECT_EQ(t.rendered_frames, 0u);
    EXPECT_EQ(t.frames_in_interval, 0u);
    EXPECT_EQ(t.last_instruction_total, 2'600'000u);
    EXPECT_EQ(t.last_cd_sectors, 137u);
    EXPECT_EQ(t.stats_instant, clock.now());
    EXPECT_EQ(title,
              "Vestrel \u2013 Disc | 100% (50.0 FPS 50Hz (PAL)) | CPU: 3.20 MIPS | CD: 74.0 sec/s "
              "(1.0x) | Render: 20 FPS | WaitStates: ON");

    // Counters that went backwards (a new disc, say) give 0, not a huge unsigned difference.
    for (int i = 0; i < 25; ++i) count_frame(t, frame, false, VideoMode::Pal);
    clock.advance(500ms);
    update_telemetry(t, {clock.now(), frame, 5, 3, true, VideoMode::Pal, "Disc"});
    EXPECT_EQ(t.mips, 0.0);
    EXPECT_EQ(t.cd_rate, 0.0);
    EXPECT_EQ(t.last_cd_sectors, 3u);

    // No time passed: the values and counters stay.
    t.rendered_frames = 4;
    count_frame(t, frame, false, VideoMode::Pal);
    const double fps = t.measured_fps;
    update_telemetry(t, {clock.now(), frame, 9'999'999, 500, true, VideoMode::Pal, "Disc"});
    EXPECT_EQ(t.measured_fps, fps);
    EXPECT_EQ(t.rendered_frames, 4u);
    EXPECT_EQ(t.frames_in_interval, 1u);
    EXPECT_EQ(t.last_cd_sectors, 3u);
}

TEST(Telemetry, VideoStandardSwitchMeasuresTheFramesActuallyRun) {
    // PAL until frame 27, then NTSC: the next update comes at frame 30, only 3 frames later.
    FakeClock clock;
    Telemetry t;
    telemetry_start(t, clock.now(), {});
    LogCapture log;
    uint64_t frame = 0;
    VideoMode mode = VideoMode::Pal;
    std::vector<double> rates;
    for (int i = 0; i < 160; ++i) {
        if (frame == 27) mode = VideoMode::Ntsc;
        clock.advance(frame_period(mode));
        if (count_frame(t, frame, false, mode)) {
            update_telemetry(t, {clock.now(), frame, 0, 0, true, mode, "g"});
            rates.push_back(t.measured_fps);
        }
    }
    ASSERT_GE(rates.size(), 3u);
    EXPECT_NEAR(rates[0], 50.0, 1e-6);  // frame 25
    // Frames 26-27 under PAL and 28-30 under NTSC: 5 frames in 90 ms, not 30.
    EXPECT_NEAR(rates[1], 5 / 0.09, 1e-3);
    for (size_t i = 2; i < rates.size(); ++i) EXPECT_NEAR(rates[i], 60.0, 1e-3) << i;
    EXPECT_EQ(log.count_containing("ANOMALIA"), 0);
}

// The interval in which the standard changes holds frames of both rates, so its speed says
// nothing; the intervals on either side are judged as usual.
TEST(Telemetry, AnIntervalSpanningAVideoStandardSwitchIsNotJudged) {
    FakeClock clock;
    Telemetry t;
    telemetry_start(t, clock.now(), {});
    LogCapture log;
    uint64_t frame = 0;
    VideoMode mode = VideoMode::Pal;
    std::vector<std::pair<uint64_t, double>> updates;
    for (int i = 0; i < 300; ++i) {
        if (frame == 110) mode = VideoMode::Ntsc;  // PAL frames 101-110, NTSC 111-120
        if (frame == 190) mode = VideoMode::Pal;   // NTSC frames 181-190, PAL 191-200
        if (frame == 250) mode = VideoMode::Ntsc;  // right after an update: a clean interval
        // From frame 271 on every frame takes 25 ms: 66.7 % of 60 Hz, a real slowdown.
        clock.advance(frame >= 270 ? nanoseconds(25ms) : frame_period(mode));
        if (count_frame(t, frame, false, mode)) {
            update_telemetry(t, {clock.now(), frame, 0, 0, true, mode, "g"});
            updates.emplace_back(frame, t.measured_fps);
        }
    }
    // 10 PAL and 10 NTSC frames in 366.7 ms: 54.5 FPS, 90.9 % of 60 Hz and 109.1 % of 50 Hz.
    for (const auto& [at, fps] : updates) {
        if (at == 120 || at == 200) {
            EXPECT_NEAR(fps, 20 / 0.3666667, 1e-3) << at;
        }
    }
    EXPECT_EQ(log.count_containing("[TELEMETRIA ANOMALIA VELOCIT"), 1);
    EXPECT_EQ(log.count_containing("Velocità: 66.7% (40.0 FPS su target 60 Hz)"), 1);
}

TEST(Telemetry, RestartMeasuresFromTheRestart) {
    // A reset 12 frames into an interval: the first update after it divides by the time since
    // the reset, so it must count only what happened since then.
    constexpr uint64_t kInstructionsPerFrame = 66'000;  // 3.3 MIPS at 50 frames per second
    FakeClock clock;
    Telemetry t;
    telemetry_start(t, clock.now(), {});
    LogCapture log;
    uint64_t frame = 0;
    uint64_t instructions = 0;
    uint32_t lba = 1000;
    for (int i = 0; i < 12; ++i) {
        clock.advance(20ms);
        instructions += kInstructionsPerFrame;
        lba += 2;
        count_frame(t, frame, true, VideoMode::Pal);
    }
    frame = 0;  // the reset restarts the frame count
    lba = 0;
    telemetry_restart(t, clock.now(), instructions, lba);
    for (int i = 0; i < 25; ++i) {
        clock.advance(20ms);
        instructions += kInstructionsPerFrame;
        lba += 1;
        const bool rendered = i % 5 == 0;
        if (count_frame(t, frame, rendered, VideoMode::Pal)) {
            update_telemetry(t, {clock.now(), frame, instructions, lba, true, VideoMode::Pal, "g"});
        }
    }
    EXPECT_NEAR(t.measured_fps, 50.0, 1e-6);
    EXPECT_NEAR(t.mips, 3.3, 1e-6);
    EXPECT_NEAR(t.cd_rate, 50.0, 1e-6);
    EXPECT_NEAR(t.render_rate, 10.0, 1e-6);
    EXPECT_EQ(log.count_containing("ANOMALIA"), 0);
}

TEST(Telemetry, Warnings) {
    struct Case {
        uint64_t frame_counter;
        uint32_t frames;  // frames in a one-second interval: the measured rate
        VideoMode mode;
        uint64_t instructions;
        bool wait_states;
        bool speed_warning;
        bool cpu_warning;
    };
    const Case cases[] = {
        {100, 40, VideoMode::Pal, 3'000'000, true, false, false},  // too early after a reset
        {101, 40, VideoMode::Pal, 3'000'000, true, true, false},   // 80 %
        {101, 55, VideoMode::Pal, 3'000'000, true, true, false},   // 110 %
        {101, 54, VideoMode::Pal, 3'000'000, true, false, false},  // 108 % exactly
        {101, 46, VideoMode::Pal, 3'000'000, true, false, false},  // 92 % exactly
        {101, 10, VideoMode::Pal, 3'000'000, true, false, false},  // 20 %: stalled, not reported
        {101, 11, VideoMode::Pal, 3'000'000, true, true, false},   // 22 %
        {101, 50, VideoMode::Ntsc, 3'000'000, true, true, false},  // 83 % of 60 Hz
        {500, 50, VideoMode::Pal, 4'600'000, true, false, true},
        {500, 50, VideoMode::Pal, 4'600'000, false, false, false},  // turbo: expected
        {500, 50, VideoMode::Pal, 4'500'000, true, false, false},
        {5, 50, VideoMode::Pal, 9'000'000, true, false, true},  // the CPU check has no delay
    };
    for (const auto& c : cases) {
        FakeClock clock;
        Telemetry t;
        telemetry_start(t, clock.now(), {});
        t.frames_in_interval = c.frames;
        clock.advance(1s);
        LogCapture log;
        update_telemetry(t, {clock.now(), c.frame_counter, c.instructions, 0, c.wait_states, c.mode, "g"});
        EXPECT_EQ(log.count_containing("WARN  vestrel] [TELEMETRIA ANOMALIA VELOCIT"), c.speed_warning)
            << c.frame_counter << " " << c.frames;
        EXPECT_EQ(log.count_containing("WARN  vestrel] [TELEMETRIA ANOMALIA CPU]"), c.cpu_warning)
            << c.instructions;
    }
    FakeClock clock;
    Telemetry t;
    telemetry_start(t, clock.now(), {});
    t.frames_in_interval = 40;
    clock.advance(1s);
    LogCapture log;
    update_telemetry(t, {clock.now(), 200, 4'600'000, 75, true, VideoMode::Pal, "g"});
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_NE(log.lines[0].find("] [TELEMETRIA ANOMALIA VELOCITÀ] Velocità: 80.0% (40.0 FPS su target "
                                "50 Hz) | MIPS: 4.60 | CD: 75.0 sec/s"),
              std::string::npos)
        << log.lines[0];
    EXPECT_NE(log.lines[1].find("] [TELEMETRIA ANOMALIA CPU] Esecuzione anomala CPU: 4.60 MIPS (attesi "
                                "~3.2-3.5 MIPS per SCC68070 a 15.5MHz)"),
              std::string::npos)
        << log.lines[1];
}

TEST(Screenshot, BmpLayout) {
    std::vector<uint32_t> fb(kScreenPixels, 0xFF000000);
    fb[0] = 0x00123456;
    fb[kScreenWidth] = 0xFFABCDEF;       // row 1, column 0
    fb[kScreenPixels - 1] = 0xFF010203;  // bottom-right
    const std::vector<uint8_t> bmp = encode_screenshot_bmp(fb);
    ASSERT_EQ(bmp.size(), 1'720'374u);
    const uint8_t header[54] = {
        'B', 'M', 0x36, 0x40, 0x1A, 0x00, 0, 0, 0, 0, 54, 0, 0, 0,  // size, reserved, offset
        40, 0, 0, 0, 0x00, 0x03, 0, 0, 0xD0, 0xFD, 0xFF, 0xFF,      // info size, 768, -560
        1, 0, 32, 0, 0, 0, 0, 0, 0x00, 0x40, 0x1A, 0x00,            // planes, bpp, BI_RGB, image size
        0x13, 0x0B, 0, 0, 0x13, 0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    };
    EXPECT_TRUE(std::equal(std::begin(header), std::end(header), bmp.begin()));
    const auto pixel = [&](size_t i) {
        return std::vector<uint8_t>(bmp.begin() + 54 + 4 * i, bmp.begin() + 58 + 4 * i);
    };
    EXPECT_EQ(pixel(0), (std::vector<uint8_t>{0x56, 0x34, 0x12, 0xFF}));
    EXPECT_EQ(pixel(kScreenWidth), (std::vector<uint8_t>{0xEF, 0xCD, 0xAB, 0xFF}));
    EXPECT_EQ(pixel(kScreenPixels - 1), (std::vector<uint8_t>{0x03, 0x02, 0x01, 0xFF}));
    EXPECT_EQ(pixel(1), (std::vector<uint8_t>{0, 0, 0, 0xFF}));

    // A short buffer never reads past its end; the rest is black.
    const std::vector<uint32_t> short_fb(10, 0xFFFFFFFF);
    const std::vector<uint8_t> partial = encode_screenshot_bmp(short_fb);
    ASSERT_EQ(partial.size(), 1'720'374u);
    EXPECT_EQ(partial[54 + 4 * 9], 0xFF);
    EXPECT_EQ(partial[54 + 4 * 10], 0x00);
}

class ScreenshotFiles : public testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("vestrel_shot_" + std::to_string(::getpid()) +
                "_" + testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::filesystem::path dir_;
};

TEST_F(ScreenshotFiles, WritesTheNumberedFile) {
    std::vector<uint32_t> fb(kScreenPixels, 0xFF102030);
    LogCapture log;
    save_screenshot(1234, fb, dir_);
    const auto file = dir_ / "screenshots_hotel_mario" / "screenshot_frame_1234.bmp";
    ASSERT_TRUE(std::filesystem::exists(file));
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(bytes.size(), 1'720'374u);
    EXPECT_EQ(bytes[54], 0x30);
    EXPECT_EQ(bytes[22], 0xD0);
    EXPECT_EQ(bytes[25], 0xFF);
    EXPECT_EQ(log.count_containing("INFO  vestrel] Screenshot salvato in "
                                   "screenshots_hotel_mario/screenshot_frame_1234.bmp"),
              1);
}

// The frame number restarts at every reset, so a name can be taken already: the picture goes
// to the first free name and no earlier file is touched.
TEST_F(ScreenshotFiles, NeverReplacesAFile) {
    const struct {
        std::vector<std::string> present;
        std::string written;
    } cases[] = {
        {{}, "screenshot_frame_6.bmp"},
        {{"screenshot_frame_6.bmp"}, "screenshot_frame_6_2.bmp"},
        {{"screenshot_frame_6.bmp", "screenshot_frame_6_2.bmp"}, "screenshot_frame_6_3.bmp"},
        {{"screenshot_frame_6_2.bmp"}, "screenshot_frame_6.bmp"},
        {{"screenshot_frame_6.bmp", "screenshot_frame_6_3.bmp"}, "screenshot_frame_6_2.bmp"},
        {{"screenshot_frame_60.bmp"}, "screenshot_frame_6.bmp"},
    };
    const auto folder = dir_ / "screenshots_hotel_mario";
    const std::vector<uint32_t> fb(kScreenPixels, 0xFF102030);
    for (const auto& k : cases) {
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        for (const auto& name : k.present) std::ofstream(folder / name) << "earlier picture";
        LogCapture log;
        save_screenshot(6, fb, dir_);
        EXPECT_EQ(std::filesystem::file_size(folder / k.written), 1'720'374u) << k.written;
        for (const auto& name : k.present) {
            EXPECT_EQ(std::filesystem::file_size(folder / name), 15u) << name << " was replaced";
        }
        EXPECT_EQ(log.count_containing("Screenshot salvato in screenshots_hotel_mario/" + k.written), 1)
            << k.written;
    }
    // F12 twice on the same frame: two files.
    std::filesystem::remove_all(folder);
    save_screenshot(6, fb, dir_);
    save_screenshot(6, fb, dir_);
    EXPECT_TRUE(std::filesystem::exists(folder / "screenshot_frame_6.bmp"));
    EXPECT_TRUE(std::filesystem::exists(folder / "screenshot_frame_6_2.bmp"));
}

TEST_F(ScreenshotFiles, FailureIsLoggedWithThePath) {
    // The folder's name is taken by a file: nothing is written, and the error names the folder.
    std::ofstream(dir_ / "screenshots_hotel_mario") << "not a folder";
    std::vector<uint32_t> fb(kScreenPixels, 0);
    LogCapture log;
    save_screenshot(7, fb, dir_);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].find("ERROR vestrel] "), std::string::npos) << log.lines[0];
    EXPECT_NE(log.lines[0].find("screenshots_hotel_mario"), std::string::npos) << log.lines[0];
    EXPECT_EQ(log.count_containing("salvato"), 0);
    EXPECT_TRUE(std::filesystem::is_regular_file(dir_ / "screenshots_hotel_mario"));
}

}  // namespace
}  // namespace vestrel
