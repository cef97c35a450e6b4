// The return convention of every instruction routine.
//
// A routine returns its cycle count in 68000 terms (>= 0; step converts it per CpuType), or one
// of the sentinels below, which the decoder turns into a step status for the frame scheduler.
// An exception a routine takes itself (privilege violation, CHK, zero divide, address error...)
// is not a sentinel: the routine returns that exception's cycle count.
#pragma once

#include <cstdint>

#include "m68k/cpu.hpp"

namespace m68k {

inline constexpr int32_t kSentinelLineA = -1000000;
inline constexpr int32_t kSentinelLineF = -1000001;
inline constexpr int32_t kSentinelTrapBase = -1000100;  // + n, n = 0-15
inline constexpr int32_t kSentinelBkptBase = -1000200;  // + k, k = 0-7
inline constexpr int32_t kSentinelIllegal = -1000300;

constexpr int32_t sentinel_trap(uint32_t n) { return kSentinelTrapBase + static_cast<int32_t>(n & 15); }
constexpr int32_t sentinel_bkpt(uint32_t k) { return kSentinelBkptBase + static_cast<int32_t>(k & 7); }

// Operand sizes: 0 byte, 1 word, 2 long.
inline constexpr uint8_t kSizeByte = 0;
inline constexpr uint8_t kSizeWord = 1;
inline constexpr uint8_t kSizeLong = 2;

constexpr uint32_t size_mask(uint8_t size) {
    return size == kSizeByte ? 0xFFu : size == kSizeWord ? 0xFFFFu : 0xFFFFFFFFu;
}
constexpr uint32_t size_bytes(uint8_t size) { return size == kSizeByte ? 1u : size == kSizeWord ? 2u : 4u; }
// The sign bit of a value of this size.
constexpr uint32_t size_msb(uint8_t size) {
    return size == kSizeByte ? 0x80u : size == kSizeWord ? 0x8000u : 0x80000000u;
}

// Sign extension through the narrow types (no signed overflow anywhere).
constexpr uint32_t sign_extend_byte(uint32_t v) { return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(v & 0xFF))); }
constexpr uint32_t sign_extend_word(uint32_t v) { return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(v & 0xFFFF))); }

}  // namespace m68k
