#include "common/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

namespace vestrel {

Error os_error(int err) { return Error{fmt::format("{} (os error {})", std::strerror(err), err)}; }

std::expected<int, Error> open_regular_file(const std::filesystem::path& path) {
    // O_NONBLOCK only so that opening a FIFO returns at once; it is cleared again below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::unexpected(os_error(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        return std::unexpected(os_error(err));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        if (S_ISDIR(st.st_mode)) return std::unexpected(os_error(EISDIR));
        return std::unexpected(Error{"not a regular file"});
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

std::expected<FilePrefix, Error> read_file_prefix(const std::filesystem::path& path, size_t limit) {
    const auto fd = open_regular_file(path);
    if (!fd) return std::unexpected(fd.error());
    FilePrefix out;
    struct stat st {};
    if (::fstat(*fd, &st) != 0) {
        const int err = errno;
        ::close(*fd);
        return std::unexpected(os_error(err));
    }
    out.file_size = static_cast<uint64_t>(st.st_size);
    out.bytes.resize(static_cast<size_t>(std::min<uint64_t>(limit, out.file_size)));
    size_t got = 0;
    while (got < out.bytes.size()) {
        const ssize_t n = ::read(*fd, out.bytes.data() + got, out.bytes.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(*fd);
            return std::unexpected(os_error(err));
        }
        if (n == 0) break;  // the file shrank while it was read
        got += static_cast<size_t>(n);
    }
    ::close(*fd);
    out.bytes.resize(got);
    return out;
}

}  // namespace vestrel
