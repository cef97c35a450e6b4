#include "frontend/gamepad_sdl.hpp"

#include <SDL.h>

#include <algorithm>
#include <map>

namespace vestrel {

struct SdlGamepads::Pads {
    std::map<SDL_JoystickID, SDL_GameController*> open;
};

SdlGamepads::SdlGamepads() : pads_(std::make_unique<Pads>()) {}

std::unique_ptr<SdlGamepads> SdlGamepads::create() {
    // The program handles its own signals and window; SDL only reads controllers here
    // (SDL_GAMECONTROLLERCONFIG is honoured by SDL itself).
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_SetHint(SDL_HINT_JOYSTICK_ALLOW_BACKGROUND_EVENTS, "1");
    if (SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER) != 0) return nullptr;
    return std::unique_ptr<SdlGamepads>(new SdlGamepads());
}

SdlGamepads::~SdlGamepads() {
    for (auto& [id, controller] : pads_->open) SDL_GameControllerClose(controller);
    SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
}

std::vector<GamepadState> SdlGamepads::poll(const std::function<void(const SDL_Event&)>& other) {
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        if (event.type == SDL_CONTROLLERDEVICEADDED) {
            if (SDL_GameController* c = SDL_GameControllerOpen(event.cdevice.which)) {
                const SDL_JoystickID id = SDL_JoystickInstanceID(SDL_GameControllerGetJoystick(c));
                if (!pads_->open.emplace(id, c).second) SDL_GameControllerClose(c);
            }
        } else if (event.type == SDL_CONTROLLERDEVICEREMOVED) {
            const auto it = pads_->open.find(event.cdevice.which);
            if (it != pads_->open.end()) {
                SDL_GameControllerClose(it->second);
                pads_->open.erase(it);
            }
        } else if (other) {
            other(event);
        }
    }
    std::vector<GamepadState> states;
    states.reserve(pads_->open.size());
    for (const auto& [id, c] : pads_->open) {
        if (!SDL_GameControllerGetAttached(c)) continue;
        const auto button = [c](SDL_GameControllerButton b) {
            return SDL_GameControllerGetButton(c, b) != 0;
        };
        GamepadState g;
        g.dpad_up = button(SDL_CONTROLLER_BUTTON_DPAD_UP);
        g.dpad_down = button(SDL_CONTROLLER_BUTTON_DPAD_DOWN);
        g.dpad_left = button(SDL_CONTROLLER_BUTTON_DPAD_LEFT);
        g.dpad_right = button(SDL_CONTROLLER_BUTTON_DPAD_RIGHT);
        g.south = button(SDL_CONTROLLER_BUTTON_A);
        g.east = button(SDL_CONTROLLER_BUTTON_B);
        g.west = button(SDL_CONTROLLER_BUTTON_X);
        g.start = button(SDL_CONTROLLER_BUTTON_START);
        // SDL's stick Y grows downwards; the snapshot's grows upwards.
        g.left_x = stick_axis_x(SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_LEFTX));
        g.left_y = stick_axis_y(SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_LEFTY));
        states.push_back(g);
    }
    return states;
}

}  // namespace vestrel
