#include "dvc/dvc.hpp"

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "common/file.hpp"
#include "common/log.hpp"

namespace vestrel {
namespace {

LogTarget kDvcLog{"vestrel::dvc"};

constexpr uint32_t kRegisterWindowBase = 0xE00000;
constexpr uint32_t kCountedBase = 0xE01000;
constexpr uint32_t kCountedEnd = 0xE02000;
constexpr uint32_t kFmaBase = 0xE03000;
constexpr uint32_t kFmvBase = 0xE04000;
constexpr uint32_t kDramEnableWrites = 64;
constexpr size_t kInputCapacity = 131'072;
constexpr size_t kAudioPairCapacity = 16'384;
// `fmv_buffer_status` reports room while less than half of the input bound is used.
constexpr size_t kBufferRoomBytes = 524'288;

// fma_command bits.
constexpr uint16_t kFmaAudioReset = 0x0001;
constexpr uint16_t kFmaStart = 0x0002;
constexpr uint16_t kDmaRequest = Dvc::kDmaRequestBit;
// fmv_command bits.
constexpr uint16_t kFmvPlayInterval = 0x0008;
constexpr uint16_t kFmvPlay = 0x0020;
constexpr uint16_t kFmvPause = 0x0010;
constexpr uint16_t kFmvStop = 0x0080;
constexpr uint16_t kFmvReset = 0x0100;
constexpr uint16_t kFmvIntervalOn = 0x1000;
constexpr uint16_t kFmvIntervalOff = 0x2000;

// Status bits.
constexpr uint16_t kFmaEndOfStream = 0x0001;
constexpr uint16_t kFmaAudioDecoded = 0x0004;
constexpr uint16_t kFmaAudioStarted = 0x0010;
constexpr uint16_t kIntervalEvent = 0x0100;
constexpr uint16_t kFmvFirstPicture = 0x0003;
constexpr uint16_t kFmvPicture = 0x0004;
constexpr uint16_t kFmvUnderflow = 0x0020;
constexpr uint16_t kFmvDrained = 0x0208;
constexpr uint16_t kFmvEndCodes = 0x0600;
constexpr uint16_t kFmvFieldTick = 0x0800;
constexpr uint16_t kFmvPaused = 0x1000;
constexpr uint16_t kFmvControlEvent = 0x2080;
constexpr uint16_t kFmvStampPresent = 0x4000;

}  // namespace

uint32_t ycbcr_to_argb(int32_t y, int32_t cb, int32_t cr) {
    const int32_t yy = ((y - 16) * 76'309) >> 16;
    const int32_t u = cb - 128;
    const int32_t v = cr - 128;
    const int32_t r = std::clamp(yy + ((v * 104'597) >> 16), 0, 255);
    const int32_t g = std::clamp(yy - ((v * 53'278 + u * 25'674) >> 16), 0, 255);
    const int32_t b = std::clamp(yy + ((u * 132'201) >> 16), 0, 255);
    return Dvc::kBlack | static_cast<uint32_t>(r) << 16 | static_cast<uint32_t>(g) << 8 | static_cast<uint32_t>(b);
}

void convert_frame_to_argb(const VideoFrame& frame, std::span<uint32_t> out, uint64_t w, uint64_t h) {
    if (w == 0 || h == 0 || w * h > out.size()) return;
    const uint64_t sw = std::max<uint64_t>(frame.width, 1);
    const uint64_t sh = std::max<uint64_t>(frame.height, 1);
    // The planes cover whole macroblocks around the picture; a frame too small for its own
    // size (never made by the decoder) is left out rather than read past its end.
    const auto covers = [](const Plane& p, uint64_t pw, uint64_t ph) {
        return p.width >= pw && p.height >= ph && p.data.size() >= p.width * p.height;
    };
    if (!covers(frame.y, sw, sh) || !covers(frame.cb, (sw + 1) / 2, (sh + 1) / 2) ||
        !covers(frame.cr, (sw + 1) / 2, (sh + 1) / 2)) {
        return;
    }
    for (uint64_t r = 0; r < h; ++r) {
        const uint64_t sy = std::min(r * sh / h, sh - 1);
        const uint8_t* y_row = frame.y.data.data() + sy * frame.y.width;
        const uint8_t* cb_row = frame.cb.data.data() + (sy >> 1) * frame.cb.width;
        const uint8_t* cr_row = frame.cr.data.data() + (sy >> 1) * frame.cr.width;
        uint32_t* o = out.data() + r * w;
        for (uint64_t c = 0; c < w; ++c) {
            const uint64_t sx = std::min(c * sw / w, sw - 1);
            o[c] = ycbcr_to_argb(y_row[sx], cb_row[sx >> 1], cr_row[sx >> 1]);
        }
    }
}

uint32_t picture_time_code(uint32_t picture_count, double frame_rate) {
    constexpr uint32_t kDefaultFps = 25;
    // Rates are 25.0 or a sequence header's 23.976-60, so the rounding never gives 0; a
    // hostile value still falls back to the default.
    const double rounded = std::round(frame_rate);
    const uint32_t fps = frame_rate > 0.0 && rounded >= 1.0 && rounded <= 1000.0 ? static_cast<uint32_t>(rounded)
                                                                                 : kDefaultFps;
    const uint32_t pictures = picture_count % fps;
    const uint32_t s = picture_count / fps;
    return ((s / 3600) % 24) << 22 | ((s / 60) % 60) << 16 | (s % 60) << 6 | (pictures & 0x3F);
}

Dvc::Dvc() : ram(kRamSize), picture_dram(kDramSize), picture_buffer(kPicturePixels, kBlack) {
    input.reserve(kInputCapacity);
    audio_pairs.reserve(kAudioPairCapacity);
    dvc_reset_registers();
}

// ---- ROM ----

std::expected<void, Error> Dvc::dvc_load_rom(const std::filesystem::path& path) {
    // Only the first 256 KB are kept; the file's length decides the mirroring.
    auto file = read_file_prefix(path, kRomSize);
    if (!file) return std::unexpected(Error{fmt::format("{}: {}", path.string(), file.error().message)});
    load_rom_image(file->bytes, static_cast<size_t>(file->file_size));
    return {};
}

size_t Dvc::load_rom_image(std::span<const uint8_t> image) { return load_rom_image(image, image.size()); }

size_t Dvc::load_rom_image(std::span<const uint8_t> image, size_t file_size) {
    std::vector<uint8_t> fresh(kRomSize, 0xFF);
    const size_t copied = std::min<size_t>(image.size(), kRomSize);
    std::copy_n(image.begin(), copied, fresh.begin());
    // A half-size image answers in both halves of the window.
    if (file_size == kRomSize / 2) std::copy_n(image.begin(), copied, fresh.begin() + kRomSize / 2);
    rom = std::move(fresh);
    LOG_INFO(kDvcLog, "DVC ROM caricata ({} byte)", copied);
    return copied;
}

// ---- Reset ----

void Dvc::dvc_reset_registers() {
    fma_regs.fill(0);
    fmv_regs.fill(0);
    set_fma(kFmaStatus, 0x0200);
    set_fma(0x04, 0x0007);
    set_fma(0x06, 0x0900);
    set_fma(0x0E, 0x0042);
    set_fma(kFmaConstant24, 0x0004);
    set_fmv(kFmvIntervalPeriod, 0x0037);
    set_fmv(kFmvBufferStatus, 0x2000);
    set_fmv(0x9E, 0xFE96);
    set_fmv(0xA8, 0x0708);
    set_fmv(0xAA, 0x0708);
    set_fmv(0xAC, 0x0708);
    set_fmv(kFmvTopLine, 0x001A);
    set_fmv(0x6E, 0x004A);
    set_fmv(kFmvPictureWidth, 0x0160);
    set_fmv(kFmvPictureHeight, 0x00F0);
    set_fmv(kFmvPictureWidthCopy, 0x0160);
    set_fmv(kFmvPictureHeightCopy, 0x00F0);
    set_fmv(kFmvPictureFormat, 0x0023);
    set_fmv(kFmvPictureFormatCopy, 0x0708);
}

void Dvc::reset_demux() {
    input.clear();
    demux.reset();
    mpeg_audio.reset();
    audio_pairs.clear();
    video_decoder.reset();
    decoded_count = 0;
    frame_steps = 0;
    picture_count = 0;
    underflow = 0;
}

void Dvc::reset() {
    std::fill(ram.begin(), ram.end(), 0);
    std::fill(picture_dram.begin(), picture_dram.end(), 0);
    std::fill(picture_buffer.begin(), picture_buffer.end(), kBlack);
    dram_enabled = false;
    counted_writes = 0;
    reset_demux();
    dvc_reset_registers();
}

// ---- Register windows ----

void Dvc::count_write() {
    if (dram_enabled) return;
    if (counted_writes < UINT32_MAX) ++counted_writes;
    if (counted_writes >= kDramEnableWrites) {
        dram_enabled = true;
        LOG_INFO(kDvcLog, "DVC Picture DRAM abilitata (64 scritture registri completate)");
    }
}

void Dvc::write_fma(uint32_t offset, uint16_t word) {
    switch (offset) {
    case kFmaIntStatus:
        set_fma(kFmaIntStatus, 0);
        break;
    case kFmaStreamSelect:
        demux.audio_stream = static_cast<uint8_t>(word & 0x1F);
        break;
    case kFmaCommand:
        if ((word & kFmaAudioReset) != 0) {
            audio_started = false;
            mpeg_audio.reset();
            set_fma(kFmaStatus, 0x0200);
            set_fma(kFmaIntStatus, 0);
        }
        if ((word & kFmaStart) != 0) {
            audio_started = true;
            set_fma(kFmaStatus, fma_word(kFmaStatus) | kFmaAudioStarted);
            set_fma(kFmaIntStatus, fma_word(kFmaIntStatus) | kFmaAudioStarted);
        }
        if ((word & kDmaRequest) != 0) {
            for_fma = true;
            dma_pending = true;
            set_fma(kFmaStatus, fma_word(kFmaStatus) & ~0x0008);
        }
        break;
    default:
        break;
    }
}

void Dvc::write_fmv(uint32_t offset, uint16_t word) {
    switch (offset) {
    case kFmvCommand:
        if ((word & kFmvPlayInterval) != 0) playing = play_latched = interval_enabled = true;
        if ((word & kFmvPlay) != 0) {
            playing = true;
            play_latched = false;
        }
        if ((word & kFmvPause) != 0) {
            playing = false;
            set_fmv(kFmvIntStatus, fmv_word(kFmvIntStatus) | kFmvPaused);
        }
        if ((word & kFmvStop) != 0) playing = play_latched = false;
        if ((word & kFmvReset) != 0) {
            playing = play_latched = false;
            reset_demux();
            set_fmv(kFmvIntStatus, 0);
        }
        if ((word & kFmvIntervalOn) != 0) interval_enabled = true;
        if ((word & kFmvIntervalOff) != 0) interval_enabled = playing = false;
        if ((word & kDmaRequest) != 0) {
            for_fma = false;
            dma_pending = true;
        }
        break;
    case kFmvControl:
        if ((word & 0x000C) != 0) set_fmv(kFmvIntStatus, fmv_word(kFmvIntStatus) | kFmvControlEvent);
        break;
    case kFmvStreamSelect:
        demux.video_stream = static_cast<uint8_t>(word & 0x0F);
        break;
    case kFmvDataPort:
        push_input(static_cast<uint8_t>(word >> 8));
        push_input(static_cast<uint8_t>(word));
        break;
    case kFmvIntStatus:
        set_fmv(kFmvIntStatus, 0);
        break;
    case kFmvIntervalPeriod:
        interval_count = 0;  // the written value is the new period
        break;
    default:
        break;
    }
}

void Dvc::dvc_write_byte(uint32_t address, uint8_t value) {
    if (address >= kCountedBase && address < kCountedEnd) {
        count_write();
        return;
    }
    const bool fma = address >= kFmaBase && address < kFmaBase + kRegisterFileSize;
    const bool fmv = address >= kFmvBase && address < kFmvBase + kRegisterFileSize;
    if (!fma && !fmv) return;
    const uint32_t offset = address & 0xFF;
    RegisterFile& file = fma ? fma_regs : fmv_regs;
    file[offset] = value;
    if ((offset & 1) == 0) return;
    const uint32_t word_offset = offset - 1;
    if (fma) {
        write_fma(word_offset, load(file, word_offset));
    } else {
        write_fmv(word_offset, load(file, word_offset));
    }
    count_write();
}

void Dvc::refresh_fmv() {
    set_fmv(kFmvBufferStatus, input.size() < kBufferRoomBytes ? 0x2000 : 0);
    set_fmv(kFmvClock, static_cast<uint16_t>(clock_45k >> 6));
    set_fmv(kFmvDecoderPresent, video_decoder ? 1 : 0);
    set_fmv(kFmvStreamSelect, fmv_word(kFmvStreamSelect) & 0x000F);
}

void Dvc::refresh_fma() {
    set_fma(kFmaClockUpper, static_cast<uint16_t>(clock_45k >> 16));
    set_fma(kFmaStreamReadback, fma_word(kFmaStreamSelect) & 0x000F);
    if (audio_started) set_fma(kFmaRunStatus, fma_word(kFmaRunStatus) | 0x0100);
    const ByteFifo& ring = demux.audio_ring;
    if (ring.size() >= 4) std::copy_n(ring.data(), 4, fma_regs.begin() + kFmaFrameHeader);
}

uint8_t Dvc::dvc_read_byte(uint32_t address) {
    if (address >= kFmvBase && address < kFmvBase + kRegisterFileSize) {
        const uint32_t offset = address & 0xFF;
        refresh_fmv();
        const uint8_t b = fmv_regs[offset];
        if (offset == kFmvIntStatus + 1) set_fmv(kFmvIntStatus, 0);
        return b;
    }
    if (address >= kFmaBase && address < kFmaBase + kRegisterFileSize) {
        const uint32_t offset = address & 0xFF;
        if (offset == kFmaClockUpper) set_fma(kFmaClockLower, static_cast<uint16_t>(clock_45k));
        if (offset == kFmaConstant24) set_fma(kFmaConstant24, 0x0004);
        refresh_fma();
        const uint8_t b = fma_regs[offset];
        if (offset == kFmaIntStatus + 1) set_fma(kFmaIntStatus, 0);
        return b;
    }
    return 0xFF;
}

uint16_t Dvc::dvc_read_word(uint32_t word_index) {
    const uint32_t address = kRegisterWindowBase + ((2 * word_index) & 0xFFFF);
    const uint8_t upper = dvc_read_byte(address);
    return static_cast<uint16_t>((upper << 8) | dvc_read_byte(address + 1));
}

void Dvc::dvc_write_word(uint32_t word_index, uint16_t value) {
    const uint32_t address = kRegisterWindowBase + ((2 * word_index) & 0xFFFF);
    dvc_write_byte(address, static_cast<uint8_t>(value >> 8));
    dvc_write_byte(address + 1, static_cast<uint8_t>(value));
}

// ---- Interrupt request ----

uint8_t Dvc::irq_vector() const {
    if (!dvc_irq_pending()) return kDefaultVector;
    const uint8_t audio_vector = fma_regs[kFmaIntVector + 1];
    if ((fma_word(kFmaIntStatus) & fma_word(kFmaIntMask)) != 0 && audio_vector != 0) return audio_vector;
    const auto video_vector = static_cast<uint8_t>((fmv_word(kFmvIntVector) >> 3) & 0xFF);
    return video_vector != 0 ? video_vector : kDefaultVector;
}

// ---- Demultiplexing pass ----

void Dvc::demux_and_decode() {
    demux.stream_bytes.append(input);
    input.clear();
    demux.parse();

    if (mpeg_audio.run(demux.audio_ring, audio_pairs, kMaxAudioPairs) > 0) {
        set_fma(kFmaStatus, fma_word(kFmaStatus) | kFmaAudioDecoded);
        set_fma(kFmaIntStatus, fma_word(kFmaIntStatus) | kFmaAudioDecoded);
    }

    if (demux.program_end_at && (video_decoder || !demux.video_payload.empty())) {
        // The program ends here, and so does its video: the decoder meets the end where the
        // program end code stood, after the pictures before it.
        static constexpr uint8_t kSequenceEnd[] = {0x00, 0x00, 0x01, VideoDecoder::kSequenceEndCode};
        const size_t at = std::min(*demux.program_end_at, demux.video_payload.size());
        demux.video_payload.insert(demux.video_payload.begin() + static_cast<std::ptrdiff_t>(at),
                                   std::begin(kSequenceEnd), std::end(kSequenceEnd));
    }
    demux.program_end_at.reset();
    if (!demux.video_payload.empty()) {
        if (!video_decoder) {
            LOG_TRACE(kDvcLog, ">>> [DVC] INITIALIZING VIDEO DECODER WITH FIRST PACKET (len={})",
                      demux.video_payload.size());
            video_decoder.emplace(std::exchange(demux.video_payload, {}));
        } else {
            video_decoder->append(demux.video_payload);
            demux.video_payload.clear();
        }
    }

    if (demux.end_codes != 0) {
        set_fmv(kFmvIntStatus, fmv_word(kFmvIntStatus) | kFmvEndCodes);
        set_fma(kFmaIntStatus, fma_word(kFmaIntStatus) | kFmaEndOfStream);
        demux.end_codes = 0;
    }
    if (demux.decode_stamp) {
        set_fmv(kFmvTimeStamp, static_cast<uint16_t>((*demux.decode_stamp >> 7) & 0x7FFF));
        set_fmv(kFmvStampFlags, fmv_word(kFmvStampFlags) | kFmvStampPresent);
    }
}

// ---- Clocks ----

void Dvc::dvc_tick(uint32_t cycles) {
    clock_accumulator += uint64_t{cycles} * kClockHz;
    const uint64_t k = clock_accumulator / kCyclesPerSecond;
    clock_45k += static_cast<uint32_t>(k);
    clock_accumulator -= k * kCyclesPerSecond;

    interval_accumulator += uint64_t{cycles} * kIntervalHz;
    while (interval_accumulator >= kCyclesPerSecond) {
        const uint16_t period = fmv_word(kFmvIntervalPeriod);
        if (period == 0) {
            interval_accumulator %= kCyclesPerSecond;
            break;
        }
        interval_accumulator -= kCyclesPerSecond;
        if (interval_count >= period) {
            interval_count = 0;
            if (playing || interval_enabled) {
                set_fma(kFmaIntStatus, fma_word(kFmaIntStatus) | kIntervalEvent);
                set_fmv(kFmvIntStatus, fmv_word(kFmvIntStatus) | kIntervalEvent);
            }
        } else {
            ++interval_count;
        }
    }
}

// ---- Frame step ----

void Dvc::show_picture(const VideoFrame& frame, uint64_t index) {
    const uint64_t before = decoded_count++;
    if (before % 30 == 0) {
        LOG_TRACE(kDvcLog, ">>> [DVC] DECODED MPEG FRAME #{} (idx={})", decoded_count, index);
    }
    const uint64_t W = video_decoder->width;
    const uint64_t H = video_decoder->height;
    const uint64_t w = std::min<uint64_t>(std::max<uint64_t>(W, 1), kPictureWidth);
    const uint64_t h = std::min<uint64_t>(std::max<uint64_t>(H, 1), kPictureHeight);
    convert_frame_to_argb(frame, picture_buffer, w, h);
    last_width = w;
    underflow = 0;

    set_fmv(kFmvPictureWidth, static_cast<uint16_t>(W));
    set_fmv(kFmvPictureHeight, static_cast<uint16_t>(H));
    set_fmv(kFmvPictureWidthCopy, static_cast<uint16_t>(W));
    set_fmv(kFmvPictureHeightCopy, static_cast<uint16_t>(H));
    set_fmv(kFmvPictureFormat, 0x0023);
    set_fmv(kFmvPictureFormatCopy, 0x0708);

    ++picture_count;
    const uint32_t time_code = picture_time_code(picture_count, frame_rate);
    const auto upper = static_cast<uint16_t>(time_code >> 16);
    const auto lower = static_cast<uint16_t>(time_code);
    set_fmv(kFmvTimeCodeCopy, upper);
    set_fmv(kFmvTimeCodeCopy + 2, lower);
    set_fmv(kFmvTimeCode, upper);
    set_fmv(kFmvTimeCode + 2, lower);

    set_fmv(kFmvPictureFlag, 0x0001);
    uint16_t status = fmv_word(kFmvIntStatus) | kFmvPicture;
    if (decoded_count == 1) status |= kFmvFirstPicture;
    set_fmv(kFmvIntStatus, status);
}

void Dvc::end_of_stream() {
    LOG_TRACE(kDvcLog, ">>> [DVC] END OF SEQUENCE / DRAIN after {} frames (underflow={})", decoded_count, underflow);
    set_fmv(kFmvIntStatus, fmv_word(kFmvIntStatus) | kFmvDrained);
    set_fma(kFmaIntStatus, fma_word(kFmaIntStatus) | kFmaEndOfStream);
    set_fmv(kFmvPictureFlag, 0);
    underflow = 0;
    playing = play_latched = interval_enabled = audio_started = false;
}

void Dvc::dvc_frame_step() {
    demux_and_decode();
    set_fmv(kFmvIntStatus, fmv_word(kFmvIntStatus) | kFmvFieldTick);
    const uint64_t n = frame_steps++;
    if (video_decoder && video_decoder->picture_rate > 0.0) frame_rate = video_decoder->picture_rate;
    if (n % 2 == 0) return;

    if (video_decoder) {
        const DecodeResult r = video_decoder->decode();
        if (r.ready && r.index < video_decoder->frames.size()) {
            show_picture(video_decoder->frames[r.index], r.index);
            return;
        }
    }

    if (decoded_count == 0 || !(playing || play_latched)) return;
    if (underflow < UINT32_MAX) ++underflow;
    // Bytes on their way: not yet demultiplexed, or a payload not yet handed over.
    const bool idle = input.empty() && demux.video_payload.empty();
    bool ended = false;
    if (!video_decoder) {
        ended = idle && underflow >= kDrainTurns;
    } else if (idle && !demux.holds_partial_unit() && video_decoder->finished()) {
        // An end code the decoder has reached, with nothing after it, and every picture shown.
        ended = true;
    } else if (idle && underflow >= kDrainTurns) {
        // Nothing new for a while, which may be no more than a pause in the feed: a picture
        // whose macroblocks are all there may be shown, one cut short keeps waiting, and the
        // end comes only once every byte has been decoded.
        const DecodeResult r = video_decoder->drain();
        if (r.ready && r.index < video_decoder->frames.size()) {
            show_picture(video_decoder->frames[r.index], r.index);
            return;
        }
        ended = video_decoder->finished();
    }
    if (ended) {
        end_of_stream();
    } else {
        set_fmv(kFmvIntStatus, fmv_word(kFmvIntStatus) | kFmvUnderflow);
    }
}

// ---- Line output ----

void Dvc::dvc_render_line(uint64_t line_index, std::span<uint32_t, kLineWidth> out) const {
    std::fill(out.begin(), out.end(), kBlack);
    uint64_t H = fmv_word(kFmvPictureHeight);
    if (H == 0) H = 240;
    H = std::min<uint64_t>(H, kPictureHeight);
    const uint16_t top = fmv_word(kFmvTopLine);
    const uint64_t T = top >= 1 && top <= 240 && top != 0x001A ? top : (H <= 240 ? (240 - H) / 2 : 0);
    if (line_index < T || line_index >= T + H) return;
    const uint64_t row = line_index - T;
    uint64_t W = fmv_word(kFmvPictureWidth);
    if (W == 0) W = kPictureWidth;
    W = std::min<uint64_t>(W, kPictureWidth);
    const uint64_t stride = std::min<uint64_t>(last_width != 0 ? last_width : W, kPictureWidth);
    // row < 288 and W, stride <= 352 keep p inside the 352 x 288 buffer; output columns run
    // from 384 - W >= 32 to 385 + W <= 737.
    const bool from_dram = dram_enabled && decoded_count == 0;
    for (uint64_t i = 0; i < W; ++i) {
        const uint64_t p = row * stride + i;
        uint32_t pixel = picture_buffer[p];
        if (from_dram && pixel == kBlack) {
            const size_t o = (2 * p) & 0x7FFFE;
            const uint16_t word = static_cast<uint16_t>((picture_dram[o] << 8) | picture_dram[o + 1]);
            pixel = word == 0 ? kBlack
                              : kBlack | uint32_t{(word >> 10) & 0x1Fu} << 19 | uint32_t{(word >> 5) & 0x1Fu} << 11 |
                                    uint32_t{word & 0x1Fu} << 3;
        }
        out[384 - W + 2 * i] = pixel;
        out[385 - W + 2 * i] = pixel;
    }
}

}  // namespace vestrel
