// A reader of CHD ("MComprHD") files of versions 3, 4 and 5 without a parent: the header, the
// hunk map and the hunk codecs. Version 5 has a compressed map (or a plain one in uncompressed
// files) and the codecs none, zlib, lzma, zstd, huff, flac and the CD codecs cdzl, cdlz, cdzs
// and cdfl; every hunk is checked against its CRC-16. Versions 3 and 4 have a 16-byte map entry
// per hunk and raw deflate; every hunk is checked against its CRC-32. Versions 1 and 2 hold hard
// disks and are refused.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/error.hpp"

namespace vestrel::chd {

inline constexpr uint32_t kHeaderBytes = 124;  // version 5; 3 has 120 and 4 has 108
inline constexpr uint32_t kCdFrameBytes = 2448;  // 2,352 sector bytes + 96 subcode bytes
inline constexpr uint32_t kCdSectorBytes = 2352;
inline constexpr uint32_t kCdSubcodeBytes = 96;

// Builds a big-endian FourCC tag such as tag("cdlz").
constexpr uint32_t tag(const char (&s)[5]) {
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
           (uint32_t(uint8_t(s[2])) << 8) | uint32_t(uint8_t(s[3]));
}

// The fields of every version, those a version lacks left zero.
struct Header {
    uint32_t version = 0;
    // Version 5: FourCC tags, 0 = slot unused; slot 0 unused = uncompressed file.
    std::array<uint32_t, 4> compressors{};
    uint32_t flags = 0;        // versions 3 and 4: 0x1 has a parent, 0x2 writable
    uint32_t compression = 0;  // versions 3 and 4: 0 none, 1 and 2 zlib
    uint64_t logical_bytes = 0;
    uint64_t map_offset = 0;  // versions 3 and 4: right behind the header
    uint64_t meta_offset = 0;
    uint32_t hunk_bytes = 0;
    uint32_t unit_bytes = 0;  // version 5 only
    std::array<uint8_t, 16> md5{};  // version 3 only, of the logical bytes
    std::array<uint8_t, 20> raw_sha1{};  // of the logical bytes (version 3: its only SHA-1)
    std::array<uint8_t, 20> sha1{};      // versions 4 and 5: data and hashed metadata
    std::array<uint8_t, 20> parent_sha1{};
    uint32_t hunk_count = 0;  // version 5: ceil(logical_bytes / hunk_bytes); 3 and 4 store it
};

// How one hunk is stored, after the map's pseudo-types are resolved.
enum class HunkKind : uint8_t {
    Codec0 = 0, Codec1 = 1, Codec2 = 2, Codec3 = 3,
    Uncompressed = 4,  // stored verbatim (hunk_bytes at `offset`)
    Self = 5,          // same data as hunk `offset`
    Parent = 6,        // lives in a parent image: unreadable here
    Zero = 7,          // uncompressed file, map entry 0: all zero
    Mini = 8,          // versions 3 and 4: the eight bytes of `offset`, repeated
    Secondary = 9,     // versions 3 and 4: a second codec no CD image uses: unreadable here
};

struct MapEntry {
    uint64_t offset = 0;
    uint32_t length = 0;
    uint32_t crc = 0;  // CRC-16 in version 5, CRC-32 in versions 3 and 4
    HunkKind kind = HunkKind::Zero;
    bool has_crc = false;
};

// One track of a CD image as its metadata describes it.
struct CdTrack {
    uint32_t number = 0;
    std::string type;     // MODE1, MODE1_RAW, MODE2, MODE2_FORM1, MODE2_FORM2, MODE2_FORM_MIX, MODE2_RAW, AUDIO
    std::string subtype;  // RW, RW_RAW, NONE
    uint32_t frames = 0;
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

    // The CD tracks the metadata lists (text entries, or the binary table of versions 3 and 4),
    // in track order; empty when there are none or the metadata cannot be read. Sectors map to
    // frames without them: these only describe the disc.
    std::vector<CdTrack> cd_tracks() const;

    // Decompresses hunk `hunk` into `out` (exactly hunk_bytes() long), using `compressed` as
    // scratch space for the stored bytes. On failure `out` holds no defined data.
    std::optional<Error> read_hunk(uint32_t hunk, std::span<uint8_t> out,
                                   std::vector<uint8_t>& compressed);

private:
    struct Codecs;
    ChdFile();
    std::optional<Error> load();
    std::optional<Error> load_header();
    std::optional<Error> load_v5_header(const uint8_t* raw);
    std::optional<Error> load_legacy_header(const uint8_t* raw);
    std::optional<Error> check_header() const;
    std::optional<Error> load_compressed_map();
    std::optional<Error> load_uncompressed_map();
    std::optional<Error> load_legacy_map();
    bool read_at(uint64_t offset, std::span<uint8_t> out) const;

    int fd_ = -1;
    std::vector<uint8_t> memory_;  // the file's bytes when opened from memory
    uint64_t file_size_ = 0;
    Header header_;
    std::vector<MapEntry> map_;
    std::unique_ptr<Codecs> codecs_;
};

// CRC-16/CCITT-FALSE (polynomial 0x1021, initial 0xFFFF), the checksum of hunks and maps.
uint16_t crc16(std::span<const uint8_t> data, uint16_t crc = 0xFFFF);

}  // namespace vestrel::chd
