#include "machine/cue_sheet.hpp"

#include <cstdint>

namespace vestrel {

bool is_valid_utf8(std::string_view text) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const uint8_t b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            if (b == 0xE0) lo = 0xA0;  // overlong
            if (b == 0xED) hi = 0x9F;  // surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            if (b == 0xF0) lo = 0x90;  // overlong
            if (b == 0xF4) hi = 0x8F;  // past U+10FFFF
        } else {
            return false;
        }
        if (n - i < len) return false;
        if (p[i + 1] < lo || p[i + 1] > hi) return false;
        for (size_t k = 2; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
        }
        i += len;
    }
    return true;
}

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

}  // namespace

std::optional<std::string> cue_file_name(std::string_view sheet) {
    if (!is_valid_utf8(sheet)) return std::nullopt;
    size_t start = 0;
    while (start <= sheet.size()) {
        size_t end = sheet.find('\n', start);
        if (end == std::string_view::npos) end = sheet.size();
        std::string_view line = sheet.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        line = trim(line);
        // Only the upper-case keyword with one space counts; a FILE line without a quoted
        // name is passed over so a later one can still supply it.
        if (line.size() >= 5 && line.starts_with("FILE ")) {
            const size_t open = line.find('"');
            if (open != std::string_view::npos) {
                const size_t close = line.find('"', open + 1);
                if (close != std::string_view::npos)
                    return std::string(line.substr(open + 1, close - open - 1));
            }
        }
        if (end == sheet.size()) break;
        start = end + 1;
    }
    return std::nullopt;
}

}  // namespace vestrel
