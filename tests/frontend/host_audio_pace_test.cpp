// The host audio output against a host whose emulation does not keep the device's time: a pace
// held anywhere from 0.96 to 1.02 of the device's clock, a slow spell followed by full speed,
// and one stall of the emulation or of the device. The producers and devices are the ones the
// program really has: ADPCM sectors and MPEG audio frames, reaching the queue as whole bursts at
// the start of the emulated frame that makes them; devices at 44.1, 48 and 96 kHz with the
// buffer the program asks SDL for (about 1/25 s, rounded up to a power of two), and 1,024-frame
// devices. Everything is judged from the output alone: the producer writes a 500 Hz sine, so
// at a pace p every cycle that plays must last 1 / (500 p) s, and every dip in its level is a
// cut the listener hears.
#include "frontend/host_audio.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "audio_bursts.hpp"

namespace vestrel {
namespace {

const Producer kProducers[] = {
    {"ADPCM mono 4,032-pair sectors", 4'032, 37'800},
    {"ADPCM stereo 2,016-pair sectors", 2'016, 37'800},
    {"ADPCM mono 18.9 kHz, 8,064 pairs doubled", 4'032, 18'900},
    {"MPEG 44.1 kHz, 987-pair frames", 1'152, 44'100},
    {"MPEG 48 kHz, 907-pair frames", 1'152, 48'000},
};

// The buffer the program asks for: rate / 25 rounded up to a power of two.
constexpr size_t program_buffer(unsigned rate) { return std::bit_ceil(rate / 25u); }

const Device kDevices[] = {
    {44'100, program_buffer(44'100)}, {48'000, program_buffer(48'000)}, {96'000, program_buffer(96'000)},
    {44'100, 1'024},                  {48'000, 1'024},
};

constexpr double kToneHz = 500.0;
constexpr double kToneLevel = 0.5;
constexpr double kProducerStart = 0.5;

// A stall of the host: the emulation stops and its pacing goes on from a new grid (its time is
// lost, the program never rushes frames); or the device's callbacks stop, and either the device
// goes on from where it was (a sound server that played silence meanwhile: its time is lost)
// or asks for the buffers it missed in a quick run.
enum class Stall { None, EmulationLosesTime, DeviceLosesTime, DeviceCatchesUp };

struct Scenario {
    // The emulation's pace against the device's clock: `pace` until `spell_from`, then
    // `spell_pace` until `spell_to`, then `pace` again.
    double pace = 1.0;
    double spell_from = -1.0;
    double spell_to = -1.0;
    double spell_pace = 1.0;
    Stall stall = Stall::None;
    double stall_at = -1.0;
    double stall_length = 0.0;
    double seconds = 70.0;
};

double pace_at(const Scenario& s, double t) {
    return t >= s.spell_from && t < s.spell_to ? s.spell_pace : s.pace;
}

// Host time at which the emulation reaches emulated time `e`, before any stall.
double host_time_of(const Scenario& s, double e) {
    double t = kProducerStart;
    if (s.spell_from >= 0) {
        const double before = std::max(0.0, s.spell_from - kProducerStart) * s.pace;
        if (e <= before) return t + e / s.pace;
        e -= before;
        t = std::max(t, s.spell_from);
        const double during = (s.spell_to - t) * s.spell_pace;
        if (e <= during) return t + e / s.spell_pace;
        e -= during;
        t = s.spell_to;
    }
    return t + e / s.pace;
}

// One cycle of the output: where it ends (device seconds), its pitch, its peak.
struct Cycle {
    double time;
    double hz;
    double peak;
};

struct Result {
    std::vector<Cycle> cycles;
    uint64_t underruns = 0;
    uint64_t dropped = 0;
};

Result simulate(const Producer& p, const Device& d, const Scenario& s) {
    OutputResampler r;
    r.queue = std::make_shared<AudioQueue>();
    r.source_rate = std::make_shared<SourceRateCell>(kSourceRate);
    r.device_rate = d.rate;
    r.channels = 2;

    const double period = p.period();  // emulated seconds
    ToneBursts bursts(p, kToneHz, static_cast<float>(kToneLevel));
    Result result;
    std::vector<float> out(d.frames * 2);
    uint64_t callbacks = 0;
    // Output analysis: the previous sample, the last upward zero crossing (in output frames),
    // and the peak since it.
    float previous = 0.0f;
    double last_crossing = -1.0;
    double peak = 0.0;
    uint64_t frame_index = 0;
    for (;;) {
        // The burst arrives when the host runs the emulated frame that makes it.
        const double emulated = static_cast<double>(bursts.made()) * period;
        double produce_at = host_time_of(s, std::floor(emulated / kFrameSeconds) * kFrameSeconds);
        if (s.stall == Stall::EmulationLosesTime && produce_at >= s.stall_at) produce_at += s.stall_length;
        const double device_time = static_cast<double>(callbacks * d.frames) / d.rate;
        double consume_at = device_time;
        if (s.stall == Stall::DeviceLosesTime && device_time >= s.stall_at) consume_at += s.stall_length;
        if (s.stall == Stall::DeviceCatchesUp && device_time >= s.stall_at && device_time < s.stall_at + s.stall_length)
            consume_at = s.stall_at + s.stall_length;
        if (consume_at >= s.seconds) break;
        if (produce_at <= consume_at) {
            r.queue->append_bounded(bursts.next());
            continue;
        }
        audio_callback(r, out);
        ++callbacks;
        for (size_t f = 0; f < d.frames; ++f, ++frame_index) {
            const float v = out[2 * f];
            peak = std::max(peak, static_cast<double>(std::abs(v)));
            if (previous < 0.0f && v >= 0.0f) {
                const double at = static_cast<double>(frame_index) - 1.0 + previous / (previous - v);
                if (last_crossing >= 0)
                    result.cycles.push_back({consume_at, d.rate / (at - last_crossing), peak});
                last_crossing = at;
                peak = 0.0;
            }
            previous = v;
        }
    }
    result.underruns = r.underruns;
    result.dropped = r.dropped_pairs;
    return result;
}

// A cycle that is a dip: quieter than the tone (a fade, silence) or much longer than the slowest
// pace allows (a gap).
bool is_dip(const Cycle& c) { return c.peak < 0.9 * kToneLevel || c.hz < 0.8 * kToneHz * 0.95; }

// The dips from `from` on, once the sound has first reached its full level (its start fades
// in): runs of dipping cycles, those less than 50 ms apart counted as one.
size_t count_dips(const Result& run, double from) {
    size_t dips = 0;
    double last_dip = -1.0;
    bool started = false;
    for (const Cycle& c : run.cycles) {
        started = started || !is_dip(c);
        if (!started || c.time < from || !is_dip(c)) continue;
        if (last_dip < 0 || c.time - last_dip > 0.05) ++dips;
        last_dip = c.time;
    }
    return dips;
}

// The spread of the pitch (highest minus lowest, in cents) from `from` on.
double spread_cents(const Result& run, double from) {
    double lo = 1e9;
    double hi = -1e9;
    for (const Cycle& c : run.cycles) {
        if (c.time < from || is_dip(c)) continue;
        const double cents = 1200.0 * std::log2(c.hz / kToneHz);
        lo = std::min(lo, cents);
        hi = std::max(hi, cents);
    }
    return hi - lo;
}

// The worst pitch error in cents from `from` on, against 500 Hz times the pace of the time.
double worst_cents(const Result& run, const Scenario& s, double from) {
    double worst = 0.0;
    for (const Cycle& c : run.cycles) {
        if (c.time < from) continue;
        const double cents = 1200.0 * std::log2(c.hz / (kToneHz * pace_at(s, c.time)));
        if (std::abs(cents) > std::abs(worst)) worst = cents;
    }
    return worst;
}

std::string describe(const Producer& p, const Device& d) {
    char text[160];
    std::snprintf(text, sizeof text, "%s, device %.0f Hz with %zu-frame buffers", p.name, d.rate, d.frames);
    return text;
}

bool summary_wanted() { return std::getenv("VESTREL_PACE_SUMMARY") != nullptr; }

constexpr double kTwelveCents = 12.0;

// A slow or busy host holds the emulation at a steady pace off the device's clock: not a single
// cut, and from 40 s on every cycle within 12 cents of the tone at that pace.
TEST(HostAudioPace, SteadyPaceIsFollowedWithoutACut) {
    for (const double pace : {0.96, 0.97, 0.98, 0.99, 1.0, 1.01, 1.02}) {
        for (const auto& p : kProducers) {
            for (const auto& d : kDevices) {
                Scenario s;
                s.pace = pace;
                const std::string what = describe(p, d) + ", pace " + std::to_string(pace);
                const Result run = simulate(p, d, s);
                const size_t dips = count_dips(run, 0.0);
                const double worst = worst_cents(run, s, 40.0);
                if (summary_wanted())
                    std::printf("steady %.2f  dips %zu  worst %+.1f c  under %llu drop %llu  spread %.1f c  %s\n", pace, dips, worst,
                                static_cast<unsigned long long>(run.underruns),
                                static_cast<unsigned long long>(run.dropped), spread_cents(run, 40.0), what.c_str());
                EXPECT_EQ(dips, 0u) << what;
                EXPECT_LE(std::abs(worst), kTwelveCents) << what;
            }
        }
    }
}

// A slow spell, then full speed again: not a single cut, and in tune from 30 s after the spell.
TEST(HostAudioPace, SlowSpellThenFullSpeed) {
    struct Spell {
        double pace;
        double length;
    };
    const Spell spells[] = {{0.96, 45}, {0.975, 45}, {0.97, 120}, {0.96, 80}};
    for (const Spell& spell : spells) {
        for (const auto& p : kProducers) {
            for (const auto& d : kDevices) {
                Scenario s;
                s.spell_from = 10.0;
                s.spell_to = 10.0 + spell.length;
                s.spell_pace = spell.pace;
                s.seconds = s.spell_to + 45.0;
                char text[80];
                std::snprintf(text, sizeof text, ", %.3f for %.0f s", spell.pace, spell.length);
                const std::string what = describe(p, d) + text;
                const Result run = simulate(p, d, s);
                const size_t dips = count_dips(run, 0.0);
                const double worst = worst_cents(run, s, s.spell_to + 30.0);
                if (summary_wanted())
                    std::printf("spell  dips %zu  worst %+.1f c  under %llu drop %llu  %s\n", dips, worst,
                                static_cast<unsigned long long>(run.underruns),
                                static_cast<unsigned long long>(run.dropped), what.c_str());
                EXPECT_EQ(dips, 0u) << what;
                EXPECT_LE(std::abs(worst), kTwelveCents) << what;
            }
        }
    }
}

// One stall: at most two dips (running dry and the restart's correction, or a dropped backlog),
// and from 10 s after it (time to make good what the stall left in the queue) no dip and every
// cycle in tune.
TEST(HostAudioPace, OneStallCostsAtMostTwoDips) {
    const Stall kinds[] = {Stall::EmulationLosesTime, Stall::DeviceLosesTime, Stall::DeviceCatchesUp};
    const char* names[] = {"emulation loses", "device loses", "device catches up after"};
    for (size_t kind = 0; kind < 3; ++kind) {
        for (const double length : {0.04, 0.1, 0.3}) {
            for (const auto& p : kProducers) {
                for (const auto& d : kDevices) {
                    Scenario s;
                    s.stall = kinds[kind];
                    s.stall_at = 20.0 + 0.037 * static_cast<double>(&p - kProducers);
                    s.stall_length = length;
                    s.seconds = 60.0;
                    char text[80];
                    std::snprintf(text, sizeof text, ", %s %.2f s", names[kind], length);
                    const std::string what = describe(p, d) + text;
                    const Result run = simulate(p, d, s);
                    const size_t dips = count_dips(run, 0.0);
                    const size_t late_dips = count_dips(run, s.stall_at + 10.0);
                    const double worst = worst_cents(run, s, s.stall_at + 10.0);
                    if (summary_wanted())
                        std::printf("stall  dips %zu late %zu  worst %+.1f c  under %llu drop %llu  %s\n", dips,
                                    late_dips, worst, static_cast<unsigned long long>(run.underruns),
                                    static_cast<unsigned long long>(run.dropped), what.c_str());
                    EXPECT_LE(dips, 2u) << what;
                    EXPECT_EQ(late_dips, 0u) << what;
                    EXPECT_LE(std::abs(worst), kTwelveCents) << what;
                }
            }
        }
    }
}

}  // namespace
}  // namespace vestrel
