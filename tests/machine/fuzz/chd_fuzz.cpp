// libFuzzer target: the CHD reader over arbitrary bytes. Opening and reading hunks must never
// crash, hang or read out of bounds; errors are fine.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "machine/chd.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vestrel::Error error;
    auto chd = vestrel::chd::ChdFile::open_memory(std::vector<uint8_t>(data, data + size), error);
    if (!chd) return 0;
    (void)chd->cd_tracks();
    std::vector<uint8_t> hunk(chd->hunk_bytes()), scratch;
    const uint32_t count = chd->hunk_count();
    for (uint32_t h = 0; h < std::min<uint32_t>(count, 16); ++h) (void)chd->read_hunk(h, hunk, scratch);
    if (count > 16) (void)chd->read_hunk(count - 1, hunk, scratch);
    (void)chd->read_hunk(count, hunk, scratch);  // out of range
    return 0;
}
