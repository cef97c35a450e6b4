// Helpers of the CDIC sector engine: BCD sector times and the synthetic Q subcode.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "machine/cdic.hpp"

namespace vestrel {

using RawSector = std::array<uint8_t, kRawSectorSize>;

// v + (v / 10) * 6 within 8 bits (v below 100 gives its two BCD digits).
uint8_t to_bcd(uint32_t v);
// Minute, second and frame in BCD of an LBA's absolute time (LBA + 150 frames).
std::array<uint8_t, 3> bcd_time_of_lba(uint32_t lba);
// ECMA-130 Q-channel CRC: CRC-16 polynomial 0x1021, initial 0, MSB first, inverted.
uint16_t q_crc(std::span<const uint8_t, 10> bytes);
// The ten Q bytes of a sector followed by the CRC (high byte first). For a TOC read the row
// is (lba / 3) mod 4 and row 2 carries `total_sectors` as the lead-out time.
std::array<uint8_t, 12> q_subcode(uint32_t lba, bool toc, uint32_t total_sectors);

}  // namespace vestrel
