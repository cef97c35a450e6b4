// A reader of CHD ("MComprHD") version 5 files without a parent: the header, the hunk map
// (compressed or not) and the hunk codecs none, zlib, lzma, zstd, huff, flac and the CD codecs
// cdzl, cdlz, cdzs and cdfl. Every hunk is checked against its CRC-16.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "common/error.hpp"

namespace vestrel::chd {

inline constexpr uint32_t kHeaderBytes = 124;
inline constexpr uint32_t kCdFrameBytes = 2448;  // 2,352 sector bytes + 96 subcode bytes
inline constexpr uint32_t kCdSectorBytes = 2352;
inline constexpr uint32_t kCdSubcodeBytes = 96;

// Builds a big-endian FourCC tag such as tag("cdlz").
constexpr uint32_t tag(const char (&s)[5]) {
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
           (uint32_t(uint8_t(s[2])) << 8) | uint32_t(uint8_t(s[3]));
}

struct Header {
    uint32_t version = 0;
    std::array<uint32_t, 4> compressors{};  // 0 = slot unused; slot 0 unused = uncompressed file
    uint64_t logical_bytes = 0;
    uint64_t map_offset = 0;
    uint64_t meta_offset = 0;
    uint32_t hunk_bytes = 0;
    uint32_t unit_bytes = 0;
    std::array<uint8_t, 20> raw_sha1{};
    std::array<uint8_t, 20> sha1{};
    std::array<uint8_t, 20> parent_sha1{};
    uint32_t hunk_count = 0;  // ceil(logical_bytes / hunk_bytes)
};

// How one hunk is stored, after the map's pseudo-types are resolved.
enum class HunkKind : uint8_t {
    Codec0 = 0, Codec1 = 1, Codec2 = 2, Codec3 = 3,
    Uncompressed = 4,  // stored verbatim (hunk_bytes at `offset`)
    Self = 5,          // same data as hunk `offset`
    Parent = 6,        // lives in a parent image: unreadable here
    Zero = 7,          // uncompressed file, map entry 0: all zero
};

struct MapEntry {
    uint64_t offset = 0;
    uint32_t length = 0;
    uint16_t crc = 0;
    HunkKind kind = HunkKind::Zero;
};

class ChdFile {
public:
    ~ChdFile();
    ChdFile(const ChdFile&) = delete;
    ChdFile& operator=(const ChdFile&) = delete;

    // Reads the header and the map of the open file `fd`, which the ChdFile then owns (it is
    // closed on failure too). On failure returns nullptr and sets `error`.
    static std::unique_ptr<ChdFile> open_fd(int fd, Error& error);
    // The same over bytes in memory (tests and fuzzing).
    static std::unique_ptr<ChdFile> open_memory(std::vector<uint8_t> bytes, Error& error);

    const Header& header() const { return header_; }
    uint32_t hunk_bytes() const { return header_.hunk_bytes; }
    uint32_t hunk_count() const { return header_.hunk_count; }
    const MapEntry& map_entry(uint32_t hunk) const { return map_[hunk]; }

    // Decompresses hunk `hunk` into `out` (exactly hunk_bytes() long), using `compressed` as
    // scratch space for the stored bytes. On failure `out` holds no defined data.
    std::optional<Error> read_hunk(uint32_t hunk, std::span<uint8_t> out,
                                   std::vector<uint8_t>& compressed);

private:
    struct Codecs;
    ChdFile();
    std::optional<Error> load();
    std::optional<Error> load_header();
    std::optional<Error> load_compressed_map();
    std::optional<Error> load_uncompressed_map();
    bool read_at(uint64_t offset, std::span<uint8_t> out) const;

    int fd_ = -1;
    std::vector<uint8_t> memory_;  // the file's bytes when opened from memory
    uint64_t file_size_ = 0;
    bool uncompressed_ = false;  // no per-hunk CRCs in uncompressed files
    Header header_;
    std::vector<MapEntry> map_;
    std::unique_ptr<Codecs> codecs_;
};

// CRC-16/CCITT-FALSE (polynomial 0x1021, initial 0xFFFF), the checksum of hunks and maps.
uint16_t crc16(std::span<const uint8_t> data, uint16_t crc = 0xFFFF);

}  // namespace vestrel::chd
