// The CDIC's timed half: the audio-map player and the sector engine, each on its own clock of
// one sector period (75 sectors per second).
#include <algorithm>
#include <cstring>

#include "common/log.hpp"
#include "machine/cdic.hpp"
#include "machine/cdic_sector.hpp"

namespace vestrel {
namespace {

LogTarget kLog{"vestrel::cdic"};

constexpr uint16_t kBit15 = 0x8000;
constexpr uint16_t kDbufBufferSelect = 0x0001;  // which of the two data buffers got the sector
constexpr uint16_t kDbufAudioBuffer = 0x0004;   // the sector went to an audio buffer
constexpr uint16_t kDbufKeepRead = 0x4000;

constexpr uint8_t kSubmodeEof = 0x80;
constexpr uint8_t kSubmodeForm2 = 0x20;
constexpr uint8_t kSubmodeTrigger = 0x10;
constexpr uint8_t kSubmodeAudio = 0x04;
constexpr uint8_t kSubmodeEor = 0x01;
constexpr uint8_t kCodingRejectBits = 0x4A;  // emphasis and the reserved bits
constexpr uint8_t kCodingBitsMask = 0x30;
constexpr uint8_t kCodingEightBit = 0x10;
constexpr uint8_t kCodingHalfRate = 0x04;
constexpr uint8_t kCodingStereo = 0x01;
constexpr uint8_t kMapEnd = 0xFF;

constexpr uint32_t kDataBuffer1 = 0x0A00;
constexpr uint32_t kAudioBufferOffset = 0x2808;
constexpr uint16_t kMapToggle = 0x1A00;  // 0x2800 <-> 0x3200
constexpr uint32_t kMapAddressLimit = 15'348;
constexpr uint32_t kMapDecodeLimit = 13'045;  // above this the 2,304 bytes would not fit
constexpr uint32_t kMapCodingOffset = 11;
constexpr uint32_t kMapDataOffset = 12;
constexpr size_t kSectorDataOffset = 24;

constexpr uint8_t kCmdReadSingle = 0x23;
constexpr uint8_t kCmdReadSingleAlt = 0x24;
constexpr uint8_t kCmdReadToc = 0x27;
constexpr uint8_t kCmdReadWithAudio = 0x2A;

constexpr std::array<uint8_t, 12> kSwappedSync = {0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
                                                  0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xFF};

// TOC rows: control/ADR, POINT, PMIN, PSEC, PFRAME; row 2's time is the lead-out.
constexpr std::array<std::array<uint8_t, 5>, 4> kTocRows = {{
    {0x41, 0xA0, 0x01, 0x10, 0x00},  // first track 1, disc type CD-i
    {0x41, 0xA1, 0x01, 0x00, 0x00},  // last track 1
    {0x41, 0xA2, 0x00, 0x00, 0x00},
    {0x41, 0x01, 0x00, 0x02, 0x00},  // track 1 at 00:02:00
}};

bool has_real_time_audio(const RawSector& s, uint16_t audio_channel) {
    const uint8_t submode = s[22];
    const uint8_t coding = s[23];
    if ((submode & (kSubmodeForm2 | kSubmodeAudio)) != (kSubmodeForm2 | kSubmodeAudio)) return false;
    if (coding & kCodingRejectBits) return false;
    if ((coding & kCodingBitsMask) == kCodingBitsMask) return false;
    if (s[24] == 0x00 && s[25] == 0x00 && s[26] == 0x01 && s[27] == 0xBA) return false;  // MPEG pack
    return (audio_channel >> (s[21] & 0x0F)) & 1;
}

bool is_plain(const RawSector& s, const std::array<uint8_t, 3>& expected_time) {
    if (s[12] != expected_time[0] || s[13] != expected_time[1] || s[14] != expected_time[2])
        return false;
    if (s[15] == 1) return true;
    return s[15] == 2 && std::equal(s.begin() + 16, s.begin() + 20, s.begin() + 20);
}

}  // namespace

uint8_t to_bcd(uint32_t v) { return static_cast<uint8_t>(v + (v / 10) * 6); }

std::array<uint8_t, 3> bcd_time_of_lba(uint32_t lba) {
    const uint32_t t = lba + 150;
    return {to_bcd(t / 4'500), to_bcd((t / 75) % 60), to_bcd(t % 75)};
}

uint16_t q_crc(std::span<const uint8_t, 10> bytes) {
    uint16_t crc = 0;
    for (uint8_t b : bytes) {
        crc ^= static_cast<uint16_t>(b << 8);
        for (int i = 0; i < 8; ++i)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return static_cast<uint16_t>(~crc);
}

std::array<uint8_t, 12> q_subcode(uint32_t lba, bool toc, uint32_t total_sectors) {
    const auto t = bcd_time_of_lba(lba);
    std::array<uint8_t, 12> q{};
    if (toc) {
        auto row = kTocRows[(lba / 3) % 4];
        if (row[1] == 0xA2) {
            // The lead-out is the image's length itself, without the two-second offset.
            row[2] = to_bcd(total_sectors / 4'500);
            row[3] = to_bcd((total_sectors / 75) % 60);
            row[4] = to_bcd(total_sectors % 75);
        }
        q = {row[0], 0, row[1], 0xA0, t[1], t[2], 0, row[2], row[3], row[4], 0, 0};
    } else {
        q = {0x41, 1, 1, t[0], t[1], t[2], 0, t[0], t[1], t[2], 0, 0};
    }
    const uint16_t crc = q_crc(std::span<const uint8_t, 10>(q.data(), 10));
    q[10] = static_cast<uint8_t>(crc >> 8);
    q[11] = static_cast<uint8_t>(crc);
    return q;
}

void Cdic::cdic_tick(uint32_t cycles, SectorSource* disc) {
    map_cycles += cycles;
    while (map_cycles >= kCyclesPerSector) {
        map_cycles -= kCyclesPerSector;
        if (decoder_busy > 0) {
            if (--decoder_busy == 0 && dec_map) map_step();
        } else if (dec_map) {
            map_step();
        }
    }

    if (active_command == 0) return;
    read_cycles += cycles;
    while (read_cycles >= kCyclesPerSector) {
        read_cycles -= kCyclesPerSector;
        process_sector(disc);
        if (active_command == 0) break;
        ++curr_lba;
    }
}

void Cdic::map_step() {
    const auto end_map = [this] {
        dec_addr = kNoMapAddress;
        decoder_busy = 0;
        dec_map = false;
    };
    if (dec_addr == kNoMapAddress) {
        end_map();
        return;
    }
    const uint32_t a = dec_addr & 0x3FFE;
    if (a >= kMapAddressLimit) {
        end_map();
        return;
    }
    const uint8_t coding = cdic_ram[a + kMapCodingOffset];
    if (coding == kMapEnd) {
        LOG_INFO(kLog, "CDIC AUDIO MAP END: addr=0x{:04X}, coding=0xFF, was_decoding={}", a, dec_map);
        end_map();
    } else {
        dec_addr ^= kMapToggle;
        const bool stereo = (coding & 3) == 1;
        const bool mono = (coding & 3) == 0;
        const bool eight_bit = (coding & kCodingBitsMask) == kCodingEightBit;
        const bool half_rate = (coding & 0x0C) == kCodingHalfRate;
        const uint32_t rate = half_rate ? 18'900 : 37'800;
        // Sector periods the decoded buffer lasts.
        const uint32_t periods = (coding & kCodingBitsMask) == 0 ? 4 : 2;
        decoder_busy = static_cast<uint8_t>(periods << ((mono ? 1 : 0) + (half_rate ? 1 : 0)));
        if (a < kMapDecodeLimit) {
            LOG_INFO(kLog, "CDIC DECODE AUDIO MAP: addr=0x{:04X}, coding=0x{:02X}, stereo={}, 8bit={}, rate={}",
                     a, coding, stereo, eight_bit, rate);
            audio_out.decode_adpcm_sector(
                std::span<const uint8_t>(cdic_ram).subspan(a + kMapDataOffset, kAdpcmSectorBytes), stereo,
                eight_bit, rate);
        }
    }
    abuf |= kBit15;
    irq_pending = true;
}

void Cdic::process_sector(SectorSource* disc) {
    LOG_INFO(kLog, "CDIC process_sector: LBA={}, mode={}", curr_lba, static_cast<uint8_t>(mode));
    if (disc == nullptr) {
        note_failure(SectorFailure::NoDisc);
        return;
    }
    const bool toc = mode == ReadMode::Toc || command == kCmdReadToc || active_command == kCmdReadToc;
    RawSector s{};
    if (toc) {
        // The data part of a TOC sector is the image's first sector, as read.
        if (disc->read_sector(0, s, true)) ++sectors_read;
    } else {
        // The image says why a sector fails only for the first one of the read.
        if (!disc->read_sector(curr_lba, s, read_failure != SectorFailure::ReadFailed)) {
            note_failure(SectorFailure::ReadFailed);
            return;
        }
        ++sectors_read;
        // Only the whole swapped sync pattern switches swapping on, so a sector that merely
        // starts FF 00 (CD-DA, damage) cannot corrupt every later sector.
        if (std::equal(kSwappedSync.begin(), kSwappedSync.end(), s.begin())) {
            LOG_INFO(kLog, "CDIC: Byteswapping detected on LBA={}", curr_lba);
            byte_swapped = true;
        }
        if (byte_swapped)
            for (size_t i = 0; i + 1 < s.size(); i += 2) std::swap(s[i], s[i + 1]);

        const auto expected_time = bcd_time_of_lba(curr_lba);
        if (!is_plain(s, expected_time)) {
            RawSector descrambled = s;
            for (size_t i = 12; i < s.size(); ++i) descrambled[i] ^= scrambler_table[i];
            // Sectors that are neither (ISO, CD-DA, damaged) pass on unchanged.
            if (is_plain(descrambled, expected_time)) s = descrambled;
        }

        if (s[15] == 2 && mode == ReadMode::DataWithAudio) {
            const uint8_t submode = s[22];
            if (uint16_t{s[20]} << 8 != file) {
                LOG_INFO(kLog, "CDIC filter REJECT FILE: LBA={}, buf[20]=0x{:02X} (val=0x{:04X}) vs self.file=0x{:04X}",
                         curr_lba, s[20], uint16_t{s[20]} << 8, file);
                return;
            }
            if (submode & kSubmodeEof) {
                LOG_DEBUG(kLog, "CDIC SUBMODE_EOF at LBA={}", curr_lba);
                active_command = 0;
            }
            if ((submode & (kSubmodeEof | kSubmodeTrigger | kSubmodeEor)) == 0) {
                if (submode == 0) {
                    LOG_INFO(kLog, "CDIC filter REJECT NO APPLICABLE DATA: LBA={}, submode=0x{:02X}", curr_lba,
                             submode);
                    return;
                }
                if (!((channel >> (s[21] % 32)) & 1)) {
                    LOG_INFO(kLog, "CDIC filter REJECT CHAN: LBA={}, chan={}, self.channel=0x{:08X}", curr_lba,
                             s[21] & 0x1F, channel);
                    return;
                }
            }
            if (has_real_time_audio(s, audio_channel)) {
                const uint8_t c = s[23];
                const uint32_t periods = (c & kCodingBitsMask) != 0 ? 2 : 4;
                decoder_busy = static_cast<uint8_t>(periods << ((c & kCodingHalfRate) ? 1 : 0)
                                                            << ((c & kCodingStereo) ? 0 : 1));
                dec_map = false;  // real-time audio stops a playing map
                audio_out.decode_adpcm_sector(std::span<const uint8_t>(s).subspan(kSectorDataOffset, kAdpcmSectorBytes),
                                              (c & kCodingStereo) != 0,
                                              (c & kCodingBitsMask) == kCodingEightBit,
                                              (c & kCodingHalfRate) ? 18'900 : 37'800);
            }
        }
    }

    const bool audio = !toc && s[15] == 2 && has_real_time_audio(s, audio_channel);
    const auto q = q_subcode(curr_lba, toc, disc->total_sectors());

    data_buffer = static_cast<uint16_t>((data_buffer & ~kDbufAudioBuffer) ^ kDbufBufferSelect);
    const uint32_t base = (data_buffer & kDbufBufferSelect) ? kDataBuffer1 : 0;
    std::copy_n(s.begin() + 12, 8, cdic_ram.begin() + base);
    uint32_t dest = base + 8;
    if (command == kCmdReadWithAudio && audio) {
        data_buffer |= kDbufAudioBuffer;
        dest = base + kAudioBufferOffset;
    }
    const auto put = [this](uint32_t addr, uint8_t v) {
        if (addr < kCdicRamSize) cdic_ram[addr] = v;
    };
    for (size_t i = 20; i < s.size(); ++i) put(dest++, s[i]);
    for (uint8_t v : q) {
        put(dest++, 0);
        put(dest++, v);
    }

    xbuf |= kBit15;
    data_buffer |= kDbufKeepRead;
    irq_pending = true;
    LOG_INFO(kLog, "CDIC Sector ready: LBA={}, submode=0x{:02X}, XBUF=0x{:04X}, IRQ4 asserted (audio={})", curr_lba,
             s[22], xbuf, audio);
    if (active_command == 0 || command == kCmdReadSingle || command == kCmdReadSingleAlt) cancel_disc_read();
}

void Cdic::note_failure(SectorFailure failure) {
    if (failure != read_failure) {
        close_failure_run();
        read_failure = failure;
        first_failed_lba = curr_lba;
        if (failure == SectorFailure::NoDisc) {
            LOG_ERROR(kLog, "CDIC process_sector: cdrom is None!");
        } else {
            LOG_ERROR(kLog, "CDIC process_sector: read_sector({}) failed!", curr_lba);
        }
    }
    ++failed_sectors;
}

void Cdic::close_failure_run() {
    // One failed sector was said in full by its own line.
    if (failed_sectors > 1) {
        LOG_ERROR(kLog, "CDIC process_sector: {} sectors failed from LBA={} ({})", failed_sectors, first_failed_lba,
                  read_failure == SectorFailure::NoDisc ? "cdrom is None" : "read_sector failed");
    }
    read_failure = SectorFailure::None;
    failed_sectors = 0;
}

}  // namespace vestrel
