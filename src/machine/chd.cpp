#include "machine/chd.hpp"

#include <unistd.h>

namespace vestrel::chd {

struct ChdFile::Codecs {};

ChdFile::ChdFile() = default;
ChdFile::~ChdFile() {
    if (fd_ >= 0) ::close(fd_);
}

std::unique_ptr<ChdFile> ChdFile::open_fd(int fd, Error& error) {
    if (fd >= 0) ::close(fd);
    error = Error{"CHD images are not supported yet"};
    return nullptr;
}

std::unique_ptr<ChdFile> ChdFile::open_memory(std::vector<uint8_t>, Error& error) {
    error = Error{"CHD images are not supported yet"};
    return nullptr;
}

std::optional<Error> ChdFile::read_hunk(uint32_t, std::span<uint8_t>, std::vector<uint8_t>&) {
    return Error{"CHD images are not supported yet"};
}

}  // namespace vestrel::chd
