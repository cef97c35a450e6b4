// Bits of 2/pi for reducing huge trigonometric arguments.
#pragma once

#include <cstdint>

namespace m68k {

inline constexpr int kTwoOverPiWords = 262;
extern const uint64_t kTwoOverPiBits[kTwoOverPiWords];

}  // namespace m68k
