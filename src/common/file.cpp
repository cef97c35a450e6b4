#include "common/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fmt/format.h>

namespace vestrel {

Error os_error(int err) { return Error{fmt::format("{} (os error {})", std::strerror(err), err)}; }

void FileHandle::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::expected<RegularFile, Error> open_regular_file(const std::filesystem::path& path) {
    // O_NONBLOCK only so that opening a FIFO returns at once; it is cleared again below.
    FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) return std::unexpected(os_error(errno));
    struct stat st {};
    if (::fstat(file.get(), &st) != 0) return std::unexpected(os_error(errno));
    if (S_ISDIR(st.st_mode)) return std::unexpected(os_error(EISDIR));
    if (!S_ISREG(st.st_mode)) return std::unexpected(Error{"not a regular file"});
    const int flags = ::fcntl(file.get(), F_GETFL);
    if (flags >= 0) ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);
    return RegularFile{std::move(file), static_cast<uint64_t>(st.st_size)};
}

std::expected<FilePrefix, Error> read_file_prefix(const std::filesystem::path& path, size_t limit) {
    auto opened = open_regular_file(path);
    if (!opened) return std::unexpected(opened.error());
    FilePrefix out;
    out.file_size = opened->size;
    out.bytes.resize(static_cast<size_t>(std::min<uint64_t>(limit, out.file_size)));
    size_t got = 0;
    while (got < out.bytes.size()) {
        const ssize_t n = ::read(opened->file.get(), out.bytes.data() + got, out.bytes.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(os_error(errno));
        }
        if (n == 0) break;  // the file shrank while it was read
        got += static_cast<size_t>(n);
    }
    out.bytes.resize(got);
    return out;
}

}  // namespace vestrel
