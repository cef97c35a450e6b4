// The console's video standard, shared by the MCD212, the slave and the frontend.
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
    template <typename FormatContext>
    auto format(vestrel::VideoMode mode, FormatContext& ctx) const {
        return fmt::formatter<std::string_view>::format(vestrel::video_mode_name(mode), ctx);
    }
};
