// The one thing the player needs from a CUE sheet: the data file its first usable FILE line
// names. Kept apart from cdrom so the parser can be fuzzed on its own.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vestrel {

// The quoted name of the first line that, trimmed, begins with "FILE " and holds two double
// quotes (a leading byte order mark is skipped). nullopt when no line does, or when the sheet
// is not valid UTF-8.
std::optional<std::string> cue_file_name(std::string_view sheet);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool is_valid_utf8(std::string_view text);

}  // namespace vestrel
