#include "frontend/host_audio_sdl.hpp"

#include <bit>
#include <string>

#include "common/log.hpp"

namespace vestrel {
namespace {

LogTarget kLog{"vestrel::audio"};

constexpr int kFallbackRate = 48'000;
constexpr int kFallbackChannels = 2;
// About 40 ms per device buffer (2,048 frames at 44.1 and 48 kHz). SDL2's PulseAudio backend
// asks the server for one buffer of latency, so the buffer is all the slack the audio thread
// has: on a busy host, 512 frames (10 ms) and 1,024 frames (21 ms) still gave holes in the
// sound (8 in 30 s with 1,024), 2,048 gave none. The resampler keeps its own margin under the
// queue whatever the buffer; SDL's default (about 46 ms, up to 4,096 frames) is no better.
constexpr int kCallbacksPerSecond = 25;

// The device's sample format in the log, as "F32", "I16", "U8" and so on.
std::string format_name(SDL_AudioFormat f) {
    if (SDL_AUDIO_ISFLOAT(f)) return SDL_AUDIO_BITSIZE(f) == 64 ? "F64" : "F32";
    return std::string(SDL_AUDIO_ISSIGNED(f) ? "I" : "U") + std::to_string(SDL_AUDIO_BITSIZE(f));
}

void sdl_callback(void* userdata, Uint8* stream, int len) {
    auto* state = static_cast<OutputResampler*>(userdata);
    audio_callback(*state, std::span<float>(reinterpret_cast<float*>(stream),
                                            static_cast<size_t>(len) / sizeof(float)));
}

bool usable(const SDL_AudioSpec& spec) { return spec.freq > 0 && spec.channels > 0; }

SDL_AudioSpec wanted_spec(int freq, int channels, OutputResampler* state) {
    SDL_AudioSpec want{};
    want.freq = freq;
    want.format = AUDIO_F32SYS;
    want.channels = static_cast<Uint8>(channels);
    want.samples = static_cast<Uint16>(std::bit_ceil(static_cast<unsigned>(freq / kCallbacksPerSecond)));
    want.callback = sdl_callback;
    want.userdata = state;
    return want;
}

}  // namespace

HostAudioStream::HostAudioStream(SDL_AudioDeviceID device, std::unique_ptr<OutputResampler> state)
    : device_(device), state_(std::move(state)) {}

HostAudioStream::HostAudioStream(HostAudioStream&& other) noexcept
    : device_(other.device_), state_(std::move(other.state_)) {
    other.device_ = 0;
}

HostAudioStream::~HostAudioStream() {
    if (device_ == 0) return;
    SDL_CloseAudioDevice(device_);  // waits for a running callback
    state_.reset();
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

void HostAudioStream::handle_event(const SDL_Event& event) const {
    if (event.type == SDL_AUDIODEVICEREMOVED && !event.adevice.iscapture && event.adevice.which == device_)
        on_stream_error("the audio output device was removed");
}

void HostAudioStream::handle_pending_events() const {
    SDL_Event event;
    while (SDL_PollEvent(&event)) handle_event(event);
}

void on_stream_error(std::string_view text) { LOG_ERROR(kLog, "Audio output stream error: {}", text); }

std::optional<HostAudioStream> init_host_audio(std::shared_ptr<AudioQueue> queue,
                                               std::shared_ptr<SourceRateCell> source_rate) {
    // The audio subsystem starts SDL's events, which would turn SIGINT and SIGTERM into a quit
    // event nobody reads: the program keeps the signals' default action.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    // -1 devices means "cannot tell", not "none".
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0 || SDL_GetNumAudioDevices(0) == 0) {
        LOG_WARN(kLog, "No audio output device found; running in silent mode");
        if (SDL_WasInit(SDL_INIT_AUDIO)) SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return std::nullopt;
    }
    LOG_INFO(kLog, "Initializing audio on default output device");

    auto state = std::make_unique<OutputResampler>();
    state->queue = std::move(queue);
    state->source_rate = std::move(source_rate);

    // The default device's configuration; backends without that query (ALSA alone, the dummy
    // and disk drivers) fall back to the first device's, then to what a 48 kHz stereo open gets.
    SDL_AudioSpec config{};
    char* name = nullptr;
    bool have_config = SDL_GetDefaultAudioInfo(&name, &config, 0) == 0 && usable(config);
    SDL_free(name);
    if (!have_config) have_config = SDL_GetAudioDeviceSpec(0, 0, &config) == 0 && usable(config);

    SDL_AudioDeviceID device = 0;
    if (!have_config) {
        const SDL_AudioSpec want = wanted_spec(kFallbackRate, kFallbackChannels, state.get());
        device = SDL_OpenAudioDevice(nullptr, 0, &want, &config,
                                     SDL_AUDIO_ALLOW_FREQUENCY_CHANGE | SDL_AUDIO_ALLOW_CHANNELS_CHANGE);
        if (device == 0 || !usable(config)) {
            LOG_WARN(kLog, "Could not get default output config: {}; running silent", SDL_GetError());
            if (device != 0) SDL_CloseAudioDevice(device);
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
            return std::nullopt;
        }
    }
    LOG_INFO(kLog, "Host audio initialized: {} Hz, {} channels, format {}", config.freq,
             int{config.channels}, format_name(config.format));
    state->device_rate = static_cast<double>(config.freq);
    state->channels = config.channels;

    if (device == 0) {
        // No changes allowed: SDL converts float32 to whatever the device takes.
        const SDL_AudioSpec want = wanted_spec(config.freq, config.channels, state.get());
        SDL_AudioSpec have{};
        device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
        if (device == 0) {
            LOG_WARN(kLog, "Failed to build output stream: {}; running silent", SDL_GetError());
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
            return std::nullopt;
        }
    }
    // Unpausing cannot fail in SDL2.
    SDL_PauseAudioDevice(device, 0);
    LOG_INFO(kLog, "Real-time host audio stream started successfully");
    return HostAudioStream(device, std::move(state));
}

}  // namespace vestrel
