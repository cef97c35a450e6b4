// Disc images: a CUE sheet, a CHD file, an ISO file or a raw BIN file seen as a row of raw
// 2,352-byte CD sectors addressed by LBA (0 is the image's first sector).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <span>

#include "common/error.hpp"

namespace vestrel {

inline constexpr size_t kCdSectorBytes = 2352;

// One raw CD sector as the sector engine sees it: sync, header, subheader, data, EDC/ECC.
using SectorBuffer = std::array<uint8_t, kCdSectorBytes>;

// An open disc image. The file stays open until the image is dropped. Move-only.
class DiscImage {
public:
    enum class Kind : uint8_t { Raw, Chd };

    DiscImage(DiscImage&&) noexcept;
    DiscImage& operator=(DiscImage&&) noexcept;
    ~DiscImage();

    // Fills `buffer` with sector `lba`. False when the sector is out of range or cannot be read
    // (the reason is logged for range and CHD failures unless `report_failure` is false: a
    // reader that already said why a run of sectors fails); the image stays usable either way.
    bool read_sector(uint32_t lba, std::span<uint8_t, kCdSectorBytes> buffer, bool report_failure = true);

    uint32_t total_sectors() const;
    // The path given to open_disc_image (the sheet, for a CUE image).
    const std::filesystem::path& path() const;
    // The file the sectors come from (the file a sheet names, else the same as path()).
    const std::filesystem::path& image_path() const;
    Kind kind() const;
    // Bytes per stored sector of a raw image: 2,048 for ISO, 2,352 otherwise; 0 for a CHD.
    uint64_t sector_size() const;
    // CHD geometry (0 for a raw image) and how many hunks were decompressed so far.
    uint64_t hunk_size() const;
    uint32_t sectors_per_hunk() const;
    uint64_t hunks_decompressed() const;

private:
    struct Impl;
    explicit DiscImage(std::unique_ptr<Impl> impl);
    friend std::expected<DiscImage, Error> open_disc_image(const std::filesystem::path& path);

    std::unique_ptr<Impl> impl_;
};

// Opens by extension (case-insensitive): "cue" follows the sheet's first quoted FILE line, "chd"
// reads a CHD file, "iso" gives 2,048-byte sectors, anything else raw 2,352-byte sectors.
// Only regular files are opened. Refused: a sheet over 1 MiB, not UTF-8 or naming no file; an
// image that holds no whole sector. The error text is the operating system's or the CHD
// reader's own message, or says which of these it is; a file a sheet names is named in it.
std::expected<DiscImage, Error> open_disc_image(const std::filesystem::path& path);

}  // namespace vestrel
