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

// White space as Unicode defines it (the White_Space property), so a sheet indented with, say,
// no-break spaces by some editor still counts. A byte order mark is not white space.
constexpr std::string_view kWideSpaces[] = {
    "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
    "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
    "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
    "\xE3\x80\x80",
};

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Length of the white-space character at the front (or back) of `s`, 0 if there is none.
size_t leading_space(std::string_view s) {
    if (s.empty()) return 0;
    if (is_ascii_space(s.front())) return 1;
    for (std::string_view w : kWideSpaces)
        if (s.starts_with(w)) return w.size();
    return 0;
}

size_t trailing_space(std::string_view s) {
    if (s.empty()) return 0;
    if (is_ascii_space(s.back())) return 1;
    for (std::string_view w : kWideSpaces)
        if (s.ends_with(w)) return w.size();
    return 0;
}

std::string_view trim(std::string_view s) {
    while (size_t n = leading_space(s)) s.remove_prefix(n);
    while (size_t n = trailing_space(s)) s.remove_suffix(n);
    return s;
}

}  // namespace

std::optional<std::string> cue_file_name(std::string_view sheet) {
    if (!is_valid_utf8(sheet)) return std::nullopt;
    // Editors on some systems begin a UTF-8 file with a byte order mark; it is no part of the
    // first line.
    if (sheet.starts_with(kByteOrderMark)) sheet.remove_prefix(kByteOrderMark.size());
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
