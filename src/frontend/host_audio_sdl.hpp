// The host audio stream on SDL2: the default output device, float32 samples, a callback
// buffer of about 40 ms, with audio_callback (host_audio.hpp) as the device callback.
// Part of the GUI program only.
#pragma once

#include <SDL.h>

#include <memory>
#include <optional>
#include <string_view>

#include "frontend/host_audio.hpp"

namespace vestrel {

// An open, playing device. Dropping it closes the device (which waits for a running callback)
// and only then frees the callback's state, releasing its queue and rate handles.
class HostAudioStream {
public:
    HostAudioStream(SDL_AudioDeviceID device, std::unique_ptr<OutputResampler> state);
    HostAudioStream(HostAudioStream&& other) noexcept;
    HostAudioStream& operator=(HostAudioStream&&) = delete;
    HostAudioStream(const HostAudioStream&) = delete;
    ~HostAudioStream();

    SDL_AudioDeviceID device() const { return device_; }
    // SDL2 has no stream-error callback: the main loop passes its events here, and the
    // removal of our device is reported through on_stream_error.
    void handle_event(const SDL_Event& event) const;
    // Takes every pending SDL event and hands each to handle_event; for when no other part
    // of the program reads SDL's events.
    void handle_pending_events() const;

private:
    SDL_AudioDeviceID device_ = 0;
    std::unique_ptr<OutputResampler> state_;
};

// Opens and starts the default output device, or logs why not and returns none (the emulator
// then runs silent). Initialises SDL's audio subsystem itself.
std::optional<HostAudioStream> init_host_audio(std::shared_ptr<AudioQueue> queue,
                                               std::shared_ptr<SourceRateCell> source_rate);

void on_stream_error(std::string_view text);

}  // namespace vestrel
