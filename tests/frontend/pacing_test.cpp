// pace_frame on a simulated clock: a sleep to an absolute deadline that ends a fraction of a
// millisecond before the frame's deadline, a busy wait only for the rest, deadlines on a
// fixed grid while frames are on time, and a new grid after a late frame. Plus the real
// clock's absolute sleep, which must never return early.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "frontend/telemetry.hpp"

namespace vestrel {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;

// A clock that moves only when the code under test sleeps or spins. A sleep wakes
// `wake_latency` after the instant it asked for, as a real one does.
class SimulatedClock final : public PacingClock {
public:
    Instant now() override { return now_; }
    void sleep_for(nanoseconds d) override { sleep_until(now_ + d); }
    void sleep_until(Instant deadline) override {
        wakes.push_back(deadline);
        if (deadline > now_) now_ = deadline + wake_latency;
    }
    void spin_pause() override {
        ++spins;
        now_ += 1us;
    }
    void advance(nanoseconds d) { now_ += d; }
    void set(Instant t) { now_ = t; }

    std::vector<Instant> wakes;
    nanoseconds wake_latency{};
    int spins = 0;

private:
    Instant now_ = Instant{} + 1000s;
};

TEST(Pacing, SleepsToJustBeforeTheDeadlineAndSpinsOnlyTheRest) {
    struct Case {
        const char* name;
        VideoMode mode;
        nanoseconds early;  // time left before the deadline when pacing starts (< 0: late)
        bool sleeps;
        int most_spins;     // 1 us each
        nanoseconds next_from_deadline;
    };
    const Case cases[] = {
        {"5 ms early", VideoMode::Pal, 5ms, true, 100, 20ms},
        {"1.5 ms early: still a sleep", VideoMode::Pal, 1500us, true, 100, 20ms},
        {"150 us early: still a sleep", VideoMode::Pal, 150us, true, 100, 20ms},
        {"80 us early: spin only", VideoMode::Pal, 80us, false, 80, 20ms},
        {"NTSC period", VideoMode::Ntsc, 10ms, true, 100, nanoseconds{16'666'667}},
        {"on the deadline", VideoMode::Pal, 0ms, false, 0, 20ms},
        {"5 ms late: no catch-up", VideoMode::Pal, -5ms, false, 0, 25ms},
        {"5 ms late NTSC", VideoMode::Ntsc, -5ms, false, 0, nanoseconds{21'666'667}},
    };
    for (const auto& c : cases) {
        SimulatedClock clock;
        Telemetry t;
        const Instant deadline = clock.now() + 50ms;
        t.next_deadline = deadline;
        clock.set(deadline - c.early);
        pace_frame(t, c.mode, clock);
        EXPECT_EQ(!clock.wakes.empty(), c.sleeps) << c.name;
        if (c.sleeps && !clock.wakes.empty()) {
            ASSERT_EQ(clock.wakes.size(), 1u) << c.name;
            EXPECT_EQ(clock.wakes[0], deadline - kPacingSpinWindow) << c.name << ": an absolute deadline";
        }
        EXPECT_LE(clock.spins, c.most_spins) << c.name;
        if (c.early > 0ms) {
            EXPECT_GE(clock.now(), deadline) << c.name << ": returns at the deadline";
            EXPECT_LT(clock.now(), deadline + 2us) << c.name << ": and not later";
        }
        EXPECT_EQ(t.next_deadline - deadline, c.next_from_deadline) << c.name;
    }
}

// The busy wait is a fraction of a millisecond per frame: at most the spin window, and less
// when the sleep wakes late; a sleep that overshoots the deadline itself spins not at all and
// keeps the grid.
TEST(Pacing, BusyWaitStaysWithinTheWindow) {
    for (const nanoseconds latency : {0us, 90us, 350us}) {
        SimulatedClock clock;
        clock.wake_latency = latency;
        Telemetry t;
        telemetry_start(t, clock.now(), {});
        pace_frame(t, VideoMode::Pal, clock);  // the first frame starts the grid
        const Instant grid = t.next_deadline;
        const int spins_before = clock.spins;
        for (int frame = 0; frame < 50; ++frame) {
            clock.advance(3ms);  // the frame's work
            pace_frame(t, VideoMode::Pal, clock);
        }
        const int spins = clock.spins - spins_before;
        const auto window = std::chrono::duration_cast<std::chrono::microseconds>(kPacingSpinWindow).count();
        const auto left = std::max<long>(0, window - std::chrono::duration_cast<std::chrono::microseconds>(latency).count());
        EXPECT_LE(spins, 50 * left) << latency.count();
        EXPECT_EQ(t.next_deadline, grid + 50 * 20ms) << latency.count() << ": every frame on the grid";
    }
}

TEST(Pacing, OnTimeFramesStayOnTheGridAndALateOneRestartsIt) {
    SimulatedClock clock;
    Telemetry t;
    telemetry_start(t, clock.now(), {});
    const Instant start = clock.now();
    for (int frame = 1; frame <= 10; ++frame) {
        clock.advance(7ms);  // the frame's work
        pace_frame(t, VideoMode::Pal, clock);
    }
    // The first frame is already late against a deadline of "now", so the grid starts there.
    EXPECT_EQ(t.next_deadline, start + 7ms + 20ms * 10);

    const Instant before = clock.now();
    clock.advance(45ms);  // a long frame
    pace_frame(t, VideoMode::Pal, clock);
    EXPECT_EQ(t.next_deadline, before + 45ms + 20ms);
    clock.advance(5ms);
    pace_frame(t, VideoMode::Pal, clock);
    EXPECT_EQ(clock.now(), before + 65ms) << "the next frame waits a full period";
}

// The real clock's absolute sleep never returns before its deadline (how much after it is the
// host's business: the measurements are in scripts/measure-realtime.sh, not in tests).
TEST(Pacing, RealClockSleepsToAnAbsoluteDeadline) {
    SteadyPacingClock clock;
    for (int i = 0; i < 5; ++i) {
        const Instant deadline = clock.now() + 2ms;
        clock.sleep_until(deadline);
        EXPECT_GE(clock.now(), deadline);
    }
    const Instant before = clock.now();
    clock.sleep_until(before - 1ms);  // already past: returns at once
    EXPECT_LT(clock.now() - before, 500ms);
}

}  // namespace
}  // namespace vestrel
