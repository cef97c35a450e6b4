// Hex formatting helpers for trace lines.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include <fmt/format.h>

namespace vestrel {

// Bytes as "[01, FF]", the layout of a debug-printed byte list.
inline std::string hex_bytes(std::span<const uint8_t> bytes) {
    std::string out = "[";
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) out += ", ";
        out += fmt::format("{:02X}", bytes[i]);
    }
    out += "]";
    return out;
}

}  // namespace vestrel
