// The video standard the player runs: it sets the frame's line count and line length, and the
// slave reports it to the software.
#pragma once

#include <cstdint>
#include <string_view>

#include <fmt/format.h>

namespace vestrel {

enum class VideoMode : uint8_t { Pal = 0, Ntsc = 1 };

constexpr std::string_view video_mode_name(VideoMode mode) {
    return mode == VideoMode::Ntsc ? "Ntsc" : "Pal";
}

}  // namespace vestrel

template <>
struct fmt::formatter<vestrel::VideoMode> : fmt::formatter<std::string_view> {
    auto format(vestrel::VideoMode mode, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(vestrel::video_mode_name(mode), ctx);
    }
};
