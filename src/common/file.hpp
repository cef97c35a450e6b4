// Reading the files a user names (ROMs, NVRAM images, disc images and their sheets): only
// regular files are taken, so a folder, a FIFO or a device gives a clear error instead of a
// hang, an endless read or an empty image passed off as a good one. Writing one replaces it
// whole or leaves it as it was, so a full disk never costs the person the old file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace vestrel {

// The operating system's text for an error number, as other tools print it:
// "No such file or directory (os error 2)".
Error os_error(int err);

// An open file descriptor, closed when dropped. Move-only.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    FileHandle(FileHandle&& o) noexcept : fd_(o.release()) {}
    FileHandle& operator=(FileHandle&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = o.release();
        }
        return *this;
    }
    ~FileHandle() { reset(); }
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset();

private:
    int fd_ = -1;
};

struct RegularFile {
    FileHandle file;
    uint64_t size = 0;  // its length when it was opened
};

// Opens `path` for reading and checks that it is a regular file. Never blocks on a FIFO.
std::expected<RegularFile, Error> open_regular_file(const std::filesystem::path& path);

struct FilePrefix {
    std::vector<uint8_t> bytes;  // at most the limit asked for
    uint64_t file_size = 0;      // the whole file's length
};

// The first `limit` bytes of a regular file, and its length.
std::expected<FilePrefix, Error> read_file_prefix(const std::filesystem::path& path, size_t limit);

// Puts `bytes` in `path` whole, or changes nothing. They go into a new file beside it, which is
// renamed over `path` only once every write, the flush to the disk and the close succeeded; on
// any failure the new file is removed, the old one is untouched and the system's reason comes
// back. A file that is replaced keeps its permission bits. A folder, a FIFO or a device at
// `path` is refused without being opened (opening a FIFO waits for a reader), and so is a file
// the caller may not write. A symbolic link is written through: the link stays, the file it
// names is replaced.
std::expected<void, Error> write_whole_file(const std::filesystem::path& path,
                                            std::span<const uint8_t> bytes);
std::expected<void, Error> write_whole_file(const std::filesystem::path& path, std::string_view text);

}  // namespace vestrel
