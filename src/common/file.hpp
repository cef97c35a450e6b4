// Reading the files a user names (ROMs, NVRAM images, disc images and their sheets): only
// regular files are taken, so a folder, a FIFO or a device gives a clear error instead of a
// hang, an endless read or an empty image passed off as a good one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
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

}  // namespace vestrel
