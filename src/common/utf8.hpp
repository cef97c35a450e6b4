// UTF-8 as the program checks outside text (file names, log messages) before showing it.
#pragma once

#include <cstddef>
#include <string_view>

namespace vestrel {

// Length of the well-formed UTF-8 sequence at s[i]: no overlong forms, no surrogates, nothing
// past U+10FFFF. When none starts there: minus the count of bytes that begin one and that a
// reader replaces with a single U+FFFD (at least 1).
inline int utf8_sequence(std::string_view s, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    int length = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) lo = 0xA0;  // no overlong forms
        if (lead == 0xED) hi = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
    } else {
        return -1;
    }
    for (int k = 1; k < length; ++k) {
        if (i + k >= s.size()) return -k;
        const unsigned char c = byte(i + k);
        const unsigned char min = k == 1 ? lo : 0x80;
        const unsigned char max = k == 1 ? hi : 0xBF;
        if (c < min || c > max) return -k;
    }
    return length;
}

}  // namespace vestrel
