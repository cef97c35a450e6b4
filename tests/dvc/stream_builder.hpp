// Test helper: hand-built MPEG system-stream pieces (packs, packets, time stamps) and the
// fixture files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

namespace vestrel::test {

using Bytes = std::vector<uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes read_fixture(const std::string& name) {
    const auto path = std::filesystem::path(VESTREL_SOURCE_DIR) / "tests/fixtures/mpeg" / name;
    std::ifstream f(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// An MPEG-1 pack header (12 bytes).
inline Bytes mpeg1_pack() { return {0x00, 0x00, 0x01, 0xBA, 0x21, 0x00, 0x01, 0x00, 0x01, 0x80, 0x00, 0x01}; }

// An MPEG-2 pack header with `stuffing` (0-7) stuffing bytes.
inline Bytes mpeg2_pack(uint8_t stuffing = 0) {
    Bytes b{0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x01, 0x89, 0xC3,
            static_cast<uint8_t>(0xF8 | stuffing)};
    b.insert(b.end(), stuffing, 0xFF);
    return b;
}

inline Bytes end_code() { return {0x00, 0x00, 0x01, 0xB9}; }

// The five bytes of a 33-bit time stamp behind the 4-bit `prefix`; `valid` false clears
// the middle marker bit.
inline Bytes stamp(uint8_t prefix, uint64_t v, bool valid = true) {
    return {static_cast<uint8_t>(prefix << 4 | ((v >> 30) & 7) << 1 | 1), static_cast<uint8_t>(v >> 22),
            static_cast<uint8_t>(((v >> 15) & 0x7F) << 1 | (valid ? 1 : 0)), static_cast<uint8_t>(v >> 7),
            static_cast<uint8_t>((v & 0x7F) << 1 | 1)};
}

// A packet with start code `code`, its header bytes and payload; the length field covers both.
inline Bytes packet(uint8_t code, const Bytes& header, const Bytes& payload) {
    const size_t length = header.size() + payload.size();
    Bytes b{0x00, 0x00, 0x01, code, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
    return b + header + payload;
}

// A packet whose length field says 0.
inline Bytes open_packet(uint8_t code, const Bytes& rest) { return Bytes{0x00, 0x00, 0x01, code, 0x00, 0x00} + rest; }

}  // namespace vestrel::test
