// libFuzzer target: the CUE sheet parser over arbitrary text.
#include <cstdint>
#include <string_view>

#include "machine/cue_sheet.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto name = vestrel::cue_file_name(text);
    // A name is only ever found in valid text, and it is a piece of the sheet.
    if (name && (!vestrel::is_valid_utf8(text) || text.find(*name) == std::string_view::npos))
        __builtin_trap();
    return 0;
}
