// Game controllers through SDL2: opened and closed as they come and go, read once per frame
// into the input snapshot's gamepad states.
#pragma once

#include <SDL.h>

#include <functional>
#include <memory>
#include <vector>

#include "frontend/input.hpp"

namespace vestrel {

class SdlGamepads {
public:
    // The controller subsystem, or nothing when SDL cannot start it.
    static std::unique_ptr<SdlGamepads> create();
    ~SdlGamepads();
    SdlGamepads(const SdlGamepads&) = delete;
    SdlGamepads& operator=(const SdlGamepads&) = delete;

    // Takes every pending SDL event (opening and closing controllers; every other event goes
    // to `other`), then reads each connected controller.
    std::vector<GamepadState> poll(const std::function<void(const SDL_Event&)>& other = {});

    struct Pads;

private:
    SdlGamepads();
    std::unique_ptr<Pads> pads_;
};

}  // namespace vestrel
