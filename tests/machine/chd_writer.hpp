// Test support: a small CHD writer (versions 5, 4 and 3) written from the public format
// descriptions, for making fixtures without any outside tool, plus the CD sector helpers the
// fixtures need. It shares no
// code with the reader on purpose, so one misreading of the format cannot pass both sides.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vestrel::test {

struct ChdWriterOptions {
    // 5, or 3 or 4 for the older layout (a 16-byte map entry per hunk behind the header, raw
    // deflate or nothing, CRC-32 per hunk).
    uint32_t version = 5;
    // Up to four codec tags ("cdlz", "zlib", ...); empty writes an uncompressed file. Versions 3
    // and 4 take nothing, "zlib" or "zlib+" (header compression 1 or 2).
    std::vector<std::string> codecs;
    uint32_t hunk_bytes = 19584;
    uint32_t unit_bytes = 2448;
    // Identical hunks become references to their first copy.
    bool self_references = true;
    // Sample byte order the plain flac codec marks: 'L', 'B', or 0 to keep the smaller.
    char flac_order = 0;
    // Adds a CD track metadata entry (included in the overall SHA-1): one track of the whole
    // disc, as text ("CHT2", "CHTR") or as the binary table ("CHCD").
    bool cd_metadata = false;
    std::string track_tag = "CHT2";
    bool track_table_little_endian = false;  // "CHCD" only
};

// What the writer did, for tests that want to see each kind of entry exercised.
struct ChdWriterStats {
    std::array<uint32_t, 4> codec_hunks{};  // hunks stored with each codec slot
    uint32_t none_hunks = 0;
    uint32_t self_hunks = 0;      // all self references
    uint32_t self_explicit = 0;   // of those, with an explicit target
    uint32_t rle_tokens = 0;
    uint32_t mini_hunks = 0;      // versions 3 and 4: an 8-byte pattern filling the hunk
    uint32_t stripped_frames = 0;  // CD frames whose sync and ECC were left for the reader
};

// Writes `data` (the logical bytes; the last hunk is zero-padded) as a CHD file.
std::vector<uint8_t> write_chd(std::span<const uint8_t> data, const ChdWriterOptions& options,
                               ChdWriterStats* stats = nullptr);

// The header's offsets and sizes the tests patch when making broken files.
namespace chd_layout {
inline constexpr size_t kVersion = 12;
inline constexpr size_t kCompressors = 16;
inline constexpr size_t kLogicalBytes = 32;
inline constexpr size_t kMapOffset = 40;
inline constexpr size_t kHunkBytes = 56;
inline constexpr size_t kUnitBytes = 60;
inline constexpr size_t kRawSha1 = 64;
inline constexpr size_t kSha1 = 84;
inline constexpr size_t kParentSha1 = 104;

// Versions 3 and 4: the same start, then these.
inline constexpr size_t kLegacyFlags = 16;
inline constexpr size_t kLegacyCompression = 20;
inline constexpr size_t kLegacyTotalHunks = 24;
inline constexpr size_t kLegacyLogicalBytes = 28;
inline constexpr size_t kLegacyMetaOffset = 36;
inline constexpr size_t kV3HeaderBytes = 120;
inline constexpr size_t kV3Md5 = 44;
inline constexpr size_t kV3ParentMd5 = 60;
inline constexpr size_t kV3HunkBytes = 76;
inline constexpr size_t kV3Sha1 = 80;
inline constexpr size_t kV3ParentSha1 = 100;
inline constexpr size_t kV4HeaderBytes = 108;
inline constexpr size_t kV4HunkBytes = 44;
inline constexpr size_t kV4Sha1 = 48;
inline constexpr size_t kV4ParentSha1 = 68;
inline constexpr size_t kV4RawSha1 = 88;
// Each 16-byte map entry: be64 offset, be32 CRC-32, be16 length low bits, length bits 16-23,
// flags (low nibble the type, 0x10 no CRC).
inline constexpr size_t kLegacyEntryBytes = 16;
inline constexpr size_t kLegacyEntryCrc = 8;
inline constexpr size_t kLegacyEntryLength = 12;
inline constexpr size_t kLegacyEntryFlags = 15;
}  // namespace chd_layout

uint64_t get_be(std::span<const uint8_t> bytes, size_t offset, size_t width);
void put_be(std::span<uint8_t> bytes, size_t offset, size_t width, uint64_t value);

// FIPS 180 SHA-1.
std::array<uint8_t, 20> sha1(std::span<const uint8_t> data);
// RFC 1321 MD5.
std::array<uint8_t, 16> md5(std::span<const uint8_t> data);
// CRC-16/CCITT-FALSE, computed bit by bit.
uint16_t crc16_bitwise(std::span<const uint8_t> data);
// The zlib CRC-32 (reflected 0xEDB88320, inverted in and out), computed bit by bit.
uint32_t crc32_bitwise(std::span<const uint8_t> data);

// ---- CD sectors ----
inline constexpr size_t kSectorBytes = 2352;
inline constexpr size_t kFrameBytes = 2448;

// Sync, header (BCD time of `lba` + 150 frames, mode 2), subheader twice, `data` (2,048 bytes),
// EDC and the P and Q parity.
std::array<uint8_t, kSectorBytes> make_form1_sector(uint32_t lba, std::span<const uint8_t> data,
                                                    uint8_t file = 1, uint8_t channel = 0,
                                                    uint8_t submode = 0x08);
// A Form 2 sector (2,324 data bytes, EDC, no parity).
std::array<uint8_t, kSectorBytes> make_form2_sector(uint32_t lba, std::span<const uint8_t> data,
                                                    uint8_t submode = 0x24);
// Fills P and Q parity of a sector (header counted as zero in mode 2).
void write_sector_ecc(std::span<uint8_t, kSectorBytes> sector);
// True when every P and Q codeword of the sector has zero syndromes (checked independently of
// any parity generator).
bool sector_ecc_syndromes_zero(std::span<const uint8_t, kSectorBytes> sector);

}  // namespace vestrel::test
