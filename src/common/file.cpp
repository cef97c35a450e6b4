#include "common/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>

#include <fmt/format.h>

namespace vestrel {
namespace {

// The kernel's own limit on a chain of symbolic links.
constexpr int kMaxLinkHops = 40;
// Names taken by someone else's new file in the same folder, tried before giving up.
constexpr int kMaxTempNameTries = 100;

Error not_a_regular_file() { return Error{"not a regular file"}; }

// Where a write to a path lands: the end of its chain of symbolic links, and the permission
// bits of the file there when there is one.
struct WriteTarget {
    std::filesystem::path path;
    std::optional<mode_t> mode;
};

std::expected<WriteTarget, Error> resolve_write_target(std::filesystem::path path) {
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        if (!path.has_filename()) return std::unexpected(os_error(EISDIR));
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT) return WriteTarget{path, std::nullopt};
            return std::unexpected(os_error(errno));
        }
        if (S_ISLNK(st.st_mode)) {
            std::error_code ec;
            const std::filesystem::path link = std::filesystem::read_symlink(path, ec);
            if (ec) return std::unexpected(os_error(ec.value()));
            path = link.is_absolute() ? link : path.parent_path() / link;
            continue;
        }
        if (S_ISDIR(st.st_mode)) return std::unexpected(os_error(EISDIR));
        if (!S_ISREG(st.st_mode)) return std::unexpected(not_a_regular_file());
        // The rename would replace a file the person made read-only; refuse it as open() would.
        if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
            return std::unexpected(os_error(errno));
        }
        return WriteTarget{path, st.st_mode & 07777};
    }
    return std::unexpected(os_error(ELOOP));
}

// Flushes a folder's entries, so that a rename in it reaches the disk. The file is already in
// place when this runs, so a failure changes nothing for the caller and is not reported.
void sync_folder(const std::filesystem::path& folder) {
    FileHandle dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
}

}  // namespace

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

std::expected<void, Error> write_whole_file(const std::filesystem::path& path,
                                            std::span<const uint8_t> bytes) {
    const auto target = resolve_write_target(path);
    if (!target) return std::unexpected(target.error());
    const std::filesystem::path folder = target->path.parent_path();

    // A hidden name of its own in the same folder, so the rename cannot cross file systems.
    static std::atomic<uint32_t> temp_counter{0};
    std::filesystem::path temp;
    FileHandle file;
    for (int attempt = 0;; ++attempt) {
        temp = folder / fmt::format(".{}.{}-{}.tmp", target->path.filename().string(), ::getpid(),
                                    temp_counter.fetch_add(1, std::memory_order_relaxed));
        // 0666 less the umask for a new file, as any program creates one.
        file = FileHandle(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (file.get() >= 0) break;
        if (errno != EEXIST || attempt + 1 == kMaxTempNameTries) return std::unexpected(os_error(errno));
    }
    auto discard = [&](int err) -> std::expected<void, Error> {
        file.reset();
        ::unlink(temp.c_str());
        return std::unexpected(os_error(err));
    };

    // The umask may have taken bits the old file had. Not every file system keeps them, so a
    // failure here is no reason to lose the write.
    if (target->mode) ::fchmod(file.get(), *target->mode);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(file.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return discard(errno);
        }
        if (n == 0) return discard(EIO);
        done += static_cast<size_t>(n);
    }
    // A full disk may only show at the flush (space is taken when the data is placed).
    if (::fsync(file.get()) != 0) return discard(errno);
    if (::close(file.release()) != 0) return discard(errno);
    if (::rename(temp.c_str(), target->path.c_str()) != 0) return discard(errno);
    sync_folder(folder);
    return {};
}

std::expected<void, Error> write_whole_file(const std::filesystem::path& path, std::string_view text) {
    return write_whole_file(
        path, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

}  // namespace vestrel
