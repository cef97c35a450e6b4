#include "machine/cdrom.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "common/file.hpp"
#include "common/log.hpp"
#include "machine/chd.hpp"
#include "machine/cue_sheet.hpp"

namespace vestrel {
namespace {

LogTarget kLog{"vestrel::cdrom"};

constexpr uint64_t kIsoSectorBytes = 2048;
constexpr size_t kIsoDataOffset = 24;  // where a mode 2 form 1 sector keeps its user data
constexpr uint32_t kChdFallbackSectorsPerHunk = 8;
// Real sheets are a few hundred bytes; the cap keeps a mislabelled huge file out of memory.
constexpr uint64_t kMaxCueSheetBytes = 1 << 20;

// The text after the last dot of the file name, lower-cased; empty when there is none.
std::string lower_extension(const std::filesystem::path& path) {
    std::string ext = path.extension().string();
    if (ext.empty()) return {};
    ext.erase(0, 1);  // the dot
    if (!is_valid_utf8(ext)) return {};
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return ext;
}

// Reads exactly out.size() bytes at `offset`; false on any error or a short read.
bool read_exact(int fd, uint64_t offset, std::span<uint8_t> out) {
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::pread(fd, out.data() + done, out.size() - done,
                                  static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The image file a path stands for: the file a sheet's first usable FILE line names, or the
// path itself. A sheet that names nothing is refused: read as raw sectors it would only be
// its own text played as a disc.
std::expected<std::filesystem::path, Error> resolve_image_path(const std::filesystem::path& path) {
    if (lower_extension(path.filename()) != "cue") return path;
    auto sheet = read_file_prefix(path, kMaxCueSheetBytes + 1);
    if (!sheet) return std::unexpected(sheet.error());
    if (sheet->file_size > kMaxCueSheetBytes)
        return std::unexpected(Error{fmt::format("not a CUE sheet: {} bytes, more than a sheet can hold ({})",
                                                 sheet->file_size, kMaxCueSheetBytes)});
    const std::string_view text(reinterpret_cast<const char*>(sheet->bytes.data()), sheet->bytes.size());
    if (!is_valid_utf8(text)) return std::unexpected(Error{"not a CUE sheet: the file is not UTF-8 text"});
    const std::optional<std::string> name = cue_file_name(text);
    if (!name) return std::unexpected(Error{"the CUE sheet has no FILE line with a quoted file name"});
    // An absolute name replaces the sheet's folder.
    return path.parent_path() / std::filesystem::path(*name);
}

}  // namespace

struct DiscImage::Impl {
    std::filesystem::path path;
    std::filesystem::path image_path;
    Kind kind = Kind::Raw;
    uint32_t total_sectors = 0;

    // Raw
    FileHandle image_file;
    uint64_t sector_size = 0;

    // Chd
    std::unique_ptr<chd::ChdFile> chd_image;
    std::vector<uint8_t> hunk_buffer;
    std::vector<uint8_t> compressed_buffer;
    std::optional<uint32_t> cached_hunk;
    uint64_t hunk_size = 0;
    uint32_t sectors_per_hunk = 0;
    uint64_t hunks_decompressed = 0;

    bool read_raw(uint32_t lba, std::span<uint8_t, kCdSectorBytes> buffer);
    bool read_chd(uint32_t lba, std::span<uint8_t, kCdSectorBytes> buffer, bool report_failure);
};

DiscImage::DiscImage(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DiscImage::DiscImage(DiscImage&&) noexcept = default;
DiscImage& DiscImage::operator=(DiscImage&&) noexcept = default;
DiscImage::~DiscImage() = default;

uint32_t DiscImage::total_sectors() const { return impl_->total_sectors; }
const std::filesystem::path& DiscImage::path() const { return impl_->path; }
const std::filesystem::path& DiscImage::image_path() const { return impl_->image_path; }
DiscImage::Kind DiscImage::kind() const { return impl_->kind; }
uint64_t DiscImage::sector_size() const { return impl_->sector_size; }
uint64_t DiscImage::hunk_size() const { return impl_->hunk_size; }
uint32_t DiscImage::sectors_per_hunk() const { return impl_->sectors_per_hunk; }
uint64_t DiscImage::hunks_decompressed() const { return impl_->hunks_decompressed; }

std::expected<DiscImage, Error> open_disc_image(const std::filesystem::path& path) {
    auto impl = std::make_unique<DiscImage::Impl>();
    impl->path = path;
    auto resolved = resolve_image_path(path);
    if (!resolved) return std::unexpected(resolved.error());
    impl->image_path = std::move(*resolved);
    const std::filesystem::path& image_path = impl->image_path;
    const bool from_sheet = image_path != path;

    auto file = open_regular_file(image_path);
    if (!file) {
        // The caller names the sheet; the message must name the file that is missing.
        if (from_sheet)
            return std::unexpected(Error{fmt::format("cannot open {}, named by the sheet: {}", image_path.string(),
                                                     file.error().message)});
        return std::unexpected(file.error());
    }

    if (lower_extension(image_path.filename()) == "chd") {
        Error error;
        impl->chd_image = chd::ChdFile::open_fd(file->file.release(), error);
        if (!impl->chd_image) return std::unexpected(std::move(error));
        const uint64_t hunk_size = impl->chd_image->hunk_bytes();
        uint32_t per_hunk = kChdFallbackSectorsPerHunk;
        if (hunk_size % chd::kCdFrameBytes == 0)
            per_hunk = static_cast<uint32_t>(hunk_size / chd::kCdFrameBytes);
        else if (hunk_size % kCdSectorBytes == 0)
            per_hunk = static_cast<uint32_t>(hunk_size / kCdSectorBytes);
        impl->kind = DiscImage::Kind::Chd;
        impl->hunk_size = hunk_size;
        impl->sectors_per_hunk = per_hunk;
        impl->total_sectors = per_hunk * impl->chd_image->hunk_count();  // wraps, as 32-bit
        if (impl->total_sectors == 0) return std::unexpected(Error{"the CHD image holds no sectors"});
        impl->hunk_buffer.assign(hunk_size, 0);
        LOG_INFO(kLog, "Opened CHD: {}, hunk_size={}, sectors_per_hunk={}, total_sectors={}",
                 image_path.string(), hunk_size, per_hunk, impl->total_sectors);
        return DiscImage(std::move(impl));
    }

    const uint64_t length = file->size;
    impl->kind = DiscImage::Kind::Raw;
    impl->sector_size = lower_extension(image_path.filename()) == "iso" ? kIsoSectorBytes
                                                                         : kCdSectorBytes;
    impl->total_sectors = static_cast<uint32_t>(length / impl->sector_size);
    if (impl->total_sectors == 0)
        return std::unexpected(Error{fmt::format("the image holds no whole sector ({} bytes; a sector is {})", length,
                                                 impl->sector_size)});
    impl->image_file = std::move(file->file);
    LOG_INFO(kLog, "Opened raw disc image: {}, sector_size={}, total_sectors={}",
             image_path.string(), impl->sector_size, impl->total_sectors);
    return DiscImage(std::move(impl));
}

bool DiscImage::read_sector(uint32_t lba, std::span<uint8_t, kCdSectorBytes> buffer, bool report_failure) {
    if (lba >= impl_->total_sectors) {
        if (report_failure) LOG_ERROR(kLog, "CD-ROM: Sector {} out of bounds (max {})", lba, impl_->total_sectors);
        return false;
    }
    return impl_->kind == Kind::Chd ? impl_->read_chd(lba, buffer, report_failure) : impl_->read_raw(lba, buffer);
}

bool DiscImage::Impl::read_raw(uint32_t lba, std::span<uint8_t, kCdSectorBytes> buffer) {
    const uint64_t offset = uint64_t{lba} * sector_size;
    if (sector_size == kCdSectorBytes) return read_exact(image_file.get(), offset, buffer);
    // ISO: user data only; the rest of the sector stays zero, nothing is made up.
    std::fill(buffer.begin(), buffer.end(), uint8_t{0});
    if (!read_exact(image_file.get(), offset, buffer.subspan(kIsoDataOffset, kIsoSectorBytes))) {
        std::fill(buffer.begin(), buffer.end(), uint8_t{0});
        return false;
    }
    return true;
}

bool DiscImage::Impl::read_chd(uint32_t lba, std::span<uint8_t, kCdSectorBytes> buffer, bool report_failure) {
    const uint32_t hunk = lba / sectors_per_hunk;
    const uint32_t index = lba % sectors_per_hunk;
    if (cached_hunk != hunk) {
        if (hunk >= chd_image->hunk_count()) {
            if (report_failure) LOG_ERROR(kLog, "CD-ROM: Failed to get hunk {}: {}", hunk, "hunk out of range");
            return false;
        }
        // Forget the cached hunk first: a failed decompress leaves the buffer undefined, and
        // it must never be served later as that hunk's data.
        cached_hunk.reset();
        ++hunks_decompressed;
        if (auto error = chd_image->read_hunk(hunk, hunk_buffer, compressed_buffer)) {
            if (report_failure) LOG_ERROR(kLog, "CD-ROM: Error reading hunk {}: {}", hunk, error->message);
            return false;
        }
        cached_hunk = hunk;
    }
    const uint64_t frame = hunk_size % chd::kCdFrameBytes == 0 ? chd::kCdFrameBytes : kCdSectorBytes;
    const uint64_t offset = frame * index;
    if (offset + kCdSectorBytes > hunk_buffer.size()) {
        if (report_failure) LOG_ERROR(kLog, "CD-ROM: Sector offset out of hunk bounds");
        return false;
    }
    std::copy_n(hunk_buffer.begin() + static_cast<ptrdiff_t>(offset), kCdSectorBytes, buffer.begin());
    return true;
}

}  // namespace vestrel
