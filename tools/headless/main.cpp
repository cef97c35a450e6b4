// vestrel-headless: runs the machine for a number of frames with no window, no audio device
// and no pacing, for end-to-end tests and benchmarks. The UART bytes go to standard output as
// in the program; the run ends with one summary line.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "common/file.hpp"
#include "common/log.hpp"
#include "common/standard_streams.hpp"
#include "frontend/scheduler.hpp"
#include "frontend/telemetry.hpp"
#include "machine/bus.hpp"

namespace vestrel {
namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
constexpr int kExitHalted = 3;
constexpr uint64_t kDefaultFrames = 50;

struct PointerEvent {
    int32_t x = 0;
    int32_t y = 0;
    uint8_t buttons = 0;
    uint64_t frame = 0;
};

struct Options {
    std::filesystem::path rom;
    std::optional<std::filesystem::path> disc;
    std::optional<std::filesystem::path> nvram;
    std::optional<std::filesystem::path> cartridge;
    std::optional<std::filesystem::path> bmp;
    std::optional<std::filesystem::path> wav;
    uint64_t frames = kDefaultFrames;
    bool ntsc = false;
    std::vector<PointerEvent> pointer;
};

constexpr std::string_view kUsage =
    "usage: vestrel-headless --rom FILE [--disc FILE] [--nvram FILE] [--cartridge FILE]\n"
    "                        [--frames N] [--ntsc] [--bmp OUT.bmp] [--wav OUT.wav]\n"
    "                        [--pointer X,Y,BUTTONS@FRAME ...]\n";

template <class T>
bool parse_number(std::string_view text, T& out) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc{} && ptr == end;
}

// "X,Y,BUTTONS@FRAME", all decimal.
std::optional<PointerEvent> parse_pointer(std::string_view text) {
    const size_t at = text.find('@');
    if (at == std::string_view::npos) return std::nullopt;
    const std::string_view pos = text.substr(0, at);
    const size_t c1 = pos.find(',');
    const size_t c2 = c1 == std::string_view::npos ? c1 : pos.find(',', c1 + 1);
    if (c2 == std::string_view::npos) return std::nullopt;
    PointerEvent e;
    uint32_t buttons = 0;
    if (!parse_number(pos.substr(0, c1), e.x) || !parse_number(pos.substr(c1 + 1, c2 - c1 - 1), e.y) ||
        !parse_number(pos.substr(c2 + 1), buttons) || !parse_number(text.substr(at + 1), e.frame) ||
        buttons > 3) {
        return std::nullopt;
    }
    e.buttons = static_cast<uint8_t>(buttons);
    return e;
}

std::optional<Options> parse_options(int argc, char** argv, std::string& error) {
    Options o;
    bool have_rom = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&]() -> std::optional<std::string_view> {
            if (i + 1 >= argc) {
                error = fmt::format("{} needs a value", arg);
                return std::nullopt;
            }
            return std::string_view(argv[++i]);
        };
        if (arg == "--ntsc") {
            o.ntsc = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            error.clear();
            return std::nullopt;
        }
        constexpr std::string_view kValueOptions[] = {"--rom",  "--disc", "--nvram",  "--cartridge",
                                                      "--bmp",  "--wav",  "--frames", "--pointer"};
        if (std::ranges::find(kValueOptions, arg) == std::end(kValueOptions)) {
            error = fmt::format("unknown option {}", arg);
            return std::nullopt;
        }
        const auto v = value();
        if (!v) return std::nullopt;
        if (arg == "--rom") {
            o.rom = *v;
            have_rom = true;
        } else if (arg == "--disc") {
            o.disc = std::filesystem::path(*v);
        } else if (arg == "--nvram") {
            o.nvram = std::filesystem::path(*v);
        } else if (arg == "--cartridge") {
            o.cartridge = std::filesystem::path(*v);
        } else if (arg == "--bmp") {
            o.bmp = std::filesystem::path(*v);
        } else if (arg == "--wav") {
            o.wav = std::filesystem::path(*v);
        } else if (arg == "--frames") {
            if (!parse_number(*v, o.frames)) {
                error = fmt::format("--frames: not a frame count: {}", *v);
                return std::nullopt;
            }
        } else if (arg == "--pointer") {
            // One or more events follow until the next option.
            auto e = parse_pointer(*v);
            if (!e) {
                error = fmt::format("--pointer: expected X,Y,BUTTONS@FRAME, got {}", *v);
                return std::nullopt;
            }
            o.pointer.push_back(*e);
            while (i + 1 < argc && std::string_view(argv[i + 1]).substr(0, 2) != "--") {
                e = parse_pointer(argv[++i]);
                if (!e) {
                    error = fmt::format("--pointer: expected X,Y,BUTTONS@FRAME, got {}", argv[i]);
                    return std::nullopt;
                }
                o.pointer.push_back(*e);
            }
        }
    }
    if (!have_rom) {
        error = "--rom FILE is required";
        return std::nullopt;
    }
    return o;
}

// The old file stays whole unless the new one was written whole.
bool write_file(const std::filesystem::path& path, std::span<const uint8_t> bytes, std::string& error) {
    if (const auto written = write_whole_file(path, bytes); !written) {
        error = fmt::format("cannot write {}: {}", path.string(), written.error().message);
        return false;
    }
    return true;
}

void put_le(std::vector<uint8_t>& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// 16-bit stereo PCM at the queue's source rate.
std::vector<uint8_t> encode_wav(const std::vector<StereoPair>& pairs) {
    constexpr uint32_t kChannels = 2;
    constexpr uint32_t kBytesPerSample = 2;
    const uint32_t data_bytes = static_cast<uint32_t>(pairs.size() * kChannels * kBytesPerSample);
    std::vector<uint8_t> out;
    out.reserve(44 + data_bytes);
    for (char c : std::string_view("RIFF")) out.push_back(static_cast<uint8_t>(c));
    put_le(out, 36 + data_bytes, 4);
    for (char c : std::string_view("WAVEfmt ")) out.push_back(static_cast<uint8_t>(c));
    put_le(out, 16, 4);
    put_le(out, 1, 2);  // PCM
    put_le(out, kChannels, 2);
    put_le(out, kSourceRate, 4);
    put_le(out, kSourceRate * kChannels * kBytesPerSample, 4);
    put_le(out, kChannels * kBytesPerSample, 2);
    put_le(out, 16, 2);
    for (char c : std::string_view("data")) out.push_back(static_cast<uint8_t>(c));
    put_le(out, data_bytes, 4);
    auto sample = [](float v) {
        const float clamped = std::clamp(v, -1.0f, 1.0f);
        return static_cast<uint32_t>(static_cast<uint16_t>(static_cast<int16_t>(clamped * 32767.0f)));
    };
    for (const StereoPair& p : pairs) {
        put_le(out, sample(p.left), 2);
        put_le(out, sample(p.right), 2);
    }
    return out;
}

void drain_audio(Bus& bus, std::vector<StereoPair>& into) {
    AudioQueue& q = *bus.cdic.audio_out.queue;
    std::lock_guard lock(q.mutex);
    while (!q.pairs.empty()) into.push_back(q.pairs.pop_front());
}

int fail(const std::string& message, int code = kExitFailure) {
    std::fprintf(stderr, "vestrel-headless: %s\n", escape_control_characters(message).c_str());
    return code;
}

int run(int argc, char** argv) {
    log_init_from_env();
    std::string error;
    const auto options = parse_options(argc, argv, error);
    if (!options) {
        if (error.empty()) {
            std::fputs(kUsage.data(), stdout);
            return 0;
        }
        std::fputs(kUsage.data(), stderr);
        return fail(error, kExitUsage);
    }
    const Options& o = *options;

    auto bus = std::make_unique<Bus>();
    // Each file is read only as far as the machine uses it, so a huge or endless one cannot
    // exhaust memory; the named path in every message says which input was wrong.
    auto read_input = [&](const std::filesystem::path& path, size_t limit) {
        auto file = read_file_prefix(path, limit);
        if (!file) error = fmt::format("{}: {}", path.string(), file.error().message);
        return file;
    };
    const auto rom = read_input(o.rom, Bus::kRomSize);
    if (!rom) return fail(error);
    if (rom->bytes.size() < 8)
        return fail(fmt::format("{}: too short for a system ROM ({} bytes)", o.rom.string(), rom->bytes.size()));
    if (rom->file_size > Bus::kRomSize)
        std::fprintf(stderr, "vestrel-headless: %s: only the first %u bytes are used\n",
                     escape_control_characters(o.rom.string()).c_str(),
                     Bus::kRomSize);
    bus->load_system_rom(rom->bytes);
    if (o.nvram) {
        const auto nv = read_input(*o.nvram, Bus::kNvramSize);
        if (!nv) return fail(error);
        bus->load_nvram(nv->bytes);
    }
    if (o.cartridge) {
        const auto cart = read_input(*o.cartridge, Dvc::kRomSize);
        if (!cart) return fail(error);
        bus->dvc.load_rom_image(cart->bytes, static_cast<size_t>(cart->file_size));
    }
    if (o.disc) {
        const auto inserted = bus->insert_disc(*o.disc);
        if (!inserted) return fail(fmt::format("{}: {}", o.disc->string(), inserted.error().message));
    }
    if (o.ntsc) {
        bus->mcd212.video_mode = VideoMode::Ntsc;
        bus->slave.video_mode = VideoMode::Ntsc;
    }
    bus->copy_reset_vectors();

    m68k::Cpu cpu;
    reset_cpu_from_vectors(cpu, *bus);
    bus->scc.wait_states_on = true;

    std::vector<StereoPair> audio;
    uint64_t instructions = 0;
    const auto start = std::chrono::steady_clock::now();
    uint64_t frames_run = 0;
    for (; frames_run < o.frames && !cpu.halted(); ++frames_run) {
        for (const PointerEvent& e : o.pointer)
            if (e.frame == frames_run) bus->slave.send_pointer_report(e.x, e.y, e.buttons);
        run_emulated_frame(cpu, *bus, instructions);
        if (o.wav) drain_audio(*bus, audio);
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    if (o.bmp && !write_file(*o.bmp, encode_screenshot_bmp(bus->mcd212.frame_pixels()), error)) return fail(error);
    if (o.wav && !write_file(*o.wav, encode_wav(audio), error)) return fail(error);

    const double emulated = double(frames_run) / (bus->mcd212.video_mode == VideoMode::Ntsc ? 60.0 : 50.0);
    const double speed = wall > 0 ? emulated / wall : 0.0;
    const double mips = wall > 0 ? double(instructions) / wall / 1e6 : 0.0;
    std::fflush(stdout);
    std::fputs(fmt::format("frames={} emulated_s={:.3f} wall_s={:.3f} speed={:.1f} instructions={} mips={:.2f}\n",
                           frames_run, emulated, wall, speed, instructions, mips)
                   .c_str(),
               stdout);
    std::fflush(stdout);
    if (cpu.halted()) {
        // The run stops at the halt: the frames after it would only hide the failure.
        std::fprintf(stderr,
                     "vestrel-headless: the CPU halted in frame %llu at PC 0x%08X: double fault "
                     "(a bus or address error while an exception was being taken)\n",
                     static_cast<unsigned long long>(frames_run), cpu.ppc);
        return kExitHalted;
    }
    return 0;
}

}  // namespace
}  // namespace vestrel

int main(int argc, char** argv) {
    vestrel::open_closed_standard_streams();
    return vestrel::run(argc, argv);
}
