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

// Opens `path` for reading and checks that it is a regular file. The descriptor is the
// caller's to close. Never blocks on a FIFO.
std::expected<int, Error> open_regular_file(const std::filesystem::path& path);

struct FilePrefix {
    std::vector<uint8_t> bytes;  // at most the limit asked for
    uint64_t file_size = 0;      // the whole file's length
};

// The first `limit` bytes of a regular file, and its length.
std::expected<FilePrefix, Error> read_file_prefix(const std::filesystem::path& path, size_t limit);

}  // namespace vestrel
