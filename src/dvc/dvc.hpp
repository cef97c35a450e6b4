// The Digital Video Cartridge: its memories, its two register files (A for the audio side at
// 0xE03000, B for the video side at 0xE04000), the MPEG system-stream demultiplexer fed by DMA
// channel 1 and the data port, the layer II audio path, the MPEG-1 video decoder, its clocks and
// the line output into the MCD212's external video line.
//
//   dvc.cpp         record, reset, ROM, register windows, interrupt request, clocks, frame
//                   step, colour conversion, line output
//   demux.cpp       the system-stream demultiplexer
//   mpeg_audio.cpp  layer II framing, decoding and resampling
//   mpeg/           the video decoder
//
// Register files are byte arrays in big-endian order; a register acts when the lower (odd)
// byte of its word is written, using the whole word, so a CPU word write acts once.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "common/error.hpp"
#include "dvc/demux.hpp"
#include "dvc/mpeg/video.hpp"
#include "dvc/mpeg_audio.hpp"
#include "machine/audio.hpp"

namespace vestrel {

// YCbCr (studio range) to 0xFFRRGGBB in 16.16 fixed point.
uint32_t ycbcr_to_argb(int32_t y, int32_t cb, int32_t cr);

// Scales the picture in `frame` to w x h by nearest sample into `out` (row stride w); writes
// nothing when w or h is 0 or `out` cannot hold w x h pixels.
void convert_frame_to_argb(const VideoFrame& frame, std::span<uint32_t> out, uint64_t w, uint64_t h);

// hours << 22 | minutes << 16 | seconds << 6 | pictures, counting `picture_count` pictures at
// the rounded `frame_rate` (25 when it is not above 0).
uint32_t picture_time_code(uint32_t picture_count, double frame_rate);

class Dvc {
public:
    static constexpr uint32_t kRamSize = 0x100000;     // 0xD00000-0xDFFFFF
    static constexpr uint32_t kRomSize = 0x40000;      // 0xE40000-0xE7FFFF
    static constexpr uint32_t kDramSize = 0x80000;     // 0xE80000-0xEFFFFF
    static constexpr uint32_t kRegisterFileSize = 256;
    static constexpr uint32_t kLineWidth = 768;
    static constexpr uint8_t kDefaultVector = 28;
    // Bit 15 of both command registers: start a DMA transfer; cleared when it is done.
    static constexpr uint16_t kDmaRequestBit = 0x8000;
    static constexpr uint32_t kPictureWidth = 352;
    static constexpr uint32_t kPictureHeight = 288;
    static constexpr uint32_t kPicturePixels = kPictureWidth * kPictureHeight;
    static constexpr uint32_t kBlack = 0xFF000000;
    // Bytes waiting in `input` never exceed this; more are dropped.
    static constexpr size_t kMaxInputBytes = 1u << 20;
    // Decoded pairs waiting for the bus never exceed this; newer ones are dropped.
    static constexpr size_t kMaxAudioPairs = 32'768;
    // The cartridge's clocks count CPU cycles at this rate, whatever the video standard.
    static constexpr uint64_t kCyclesPerSecond = 15'500'000;
    static constexpr uint64_t kClockHz = 45'000;
    static constexpr uint64_t kIntervalHz = 5'625;
    // Picture turns without a picture or new bytes before the decoder is drained: it then shows
    // what is complete, and calls it the end only once every byte has been decoded.
    static constexpr uint32_t kDrainTurns = 15;

    // Register file A (audio side), byte offsets of the words.
    enum FmaReg : uint32_t {
        kFmaCommand = 0x00,
        kFmaStatus = 0x02,
        kFmaStreamSelect = 0x08,
        kFmaStreamReadback = 0x0A,
        kFmaIntVector = 0x0C,
        kFmaClockUpper = 0x10,
        kFmaClockLower = 0x12,
        kFmaFrameHeader = 0x14,
        kFmaRunStatus = 0x18,
        kFmaIntStatus = 0x1A,
        kFmaIntMask = 0x1C,
        kFmaConstant24 = 0x24,
    };
    // Register file B (video side).
    enum FmvReg : uint32_t {
        kFmvPictureWidth = 0x02,
        kFmvPictureHeight = 0x04,
        kFmvPictureFormat = 0x06,
        kFmvTimeCode = 0x08,
        kFmvPictureWidthCopy = 0x52,
        kFmvPictureHeightCopy = 0x54,
        kFmvPictureFormatCopy = 0x56,
        kFmvTimeCodeCopy = 0x58,
        kFmvPictureFlag = 0x5C,
        kFmvBufferStatus = 0x5E,
        kFmvIntMask = 0x60,
        kFmvIntStatus = 0x62,
        kFmvIntervalPeriod = 0x64,
        kFmvTopLine = 0x6C,
        kFmvStampFlags = 0x8C,
        kFmvClock = 0x98,
        kFmvTimeStamp = 0xA0,
        kFmvDecoderPresent = 0xA4,
        kFmvCommand = 0xC0,
        kFmvControl = 0xC2,
        kFmvStreamSelect = 0xC4,
        kFmvIntVector = 0xDC,
        kFmvDataPort = 0xDE,
    };

    Dvc();

    // The cartridge counts as fitted exactly while its ROM is loaded.
    bool fitted() const { return rom.has_value(); }

    // Reads the whole file into the ROM window (a 128 KB image fills both halves); on an
    // error nothing changes.
    std::expected<void, Error> dvc_load_rom(const std::filesystem::path& path);
    // The same from bytes already read; returns the number of bytes taken.
    size_t load_rom_image(std::span<const uint8_t> image);
    // `image` holds the first bytes of a file of `file_size` bytes.
    size_t load_rom_image(std::span<const uint8_t> image, size_t file_size);

    // Register windows 0xE00000-0xE3FFFF: byte access with the bus address, word access with
    // the word index (address - 0xE00000) >> 1, aliased every 64 KB.
    uint8_t dvc_read_byte(uint32_t address);
    void dvc_write_byte(uint32_t address, uint8_t value);
    uint16_t dvc_read_word(uint32_t word_index);
    void dvc_write_word(uint32_t word_index, uint16_t value);

    // Level-4 request and the vector the acknowledge answers with. The scheduler asks after
    // every slice, so the request is worked out here, inline.
    static constexpr uint16_t kFmvMinVector = 8;
    bool dvc_irq_pending() const {
        const bool video = (fmv_word(kFmvIntStatus) & fmv_word(kFmvIntMask)) != 0 &&
                           fmv_word(kFmvIntVector) >= kFmvMinVector;
        const bool audio = (fma_word(kFmaIntStatus) & fma_word(kFmaIntMask)) != 0 &&
                           fma_regs[kFmaIntVector + 1] != 0;
        return video || audio;
    }
    uint8_t irq_vector() const;

    // The cartridge part of the machine reset: memories zeroed, stream state dropped,
    // registers to their defaults; the ROM, clocks, flags and selections stay.
    void reset();
    void dvc_reset_registers();
    // Drops every buffered byte, sample and picture; registers and selections stay.
    void reset_demux();

    // Moves `input` through the demultiplexer into the audio path and the video decoder.
    void demux_and_decode();
    // Appends one byte to `input` unless it is full.
    void push_input(uint8_t b) {
        if (input.size() < kMaxInputBytes) input.push_back(b);
    }

    // The 45 kHz clock and the 5,625 Hz interval timer, advanced by CPU cycles.
    void dvc_tick(uint32_t cycles);
    // Once per field, at line 0.
    void dvc_frame_step();
    // Line `line_index` of the active display (0 = first active line).
    void dvc_render_line(uint64_t line_index, std::span<uint32_t, kLineWidth> line) const;

    uint16_t fma_word(uint32_t offset) const { return load(fma_regs, offset); }
    uint16_t fmv_word(uint32_t offset) const { return load(fmv_regs, offset); }
    void set_fma(uint32_t offset, uint16_t value) { store(fma_regs, offset, value); }
    void set_fmv(uint32_t offset, uint16_t value) { store(fmv_regs, offset, value); }

    Demux demux;
    std::vector<uint8_t> input;
    MpegAudio mpeg_audio;
    // Decoded MPEG audio at 37,800 Hz waiting for the bus to move it into the AudioQueue.
    std::vector<StereoPair> audio_pairs;
    std::optional<VideoDecoder> video_decoder;
    std::vector<uint8_t> ram;
    std::vector<uint8_t> picture_dram;  // big-endian RGB555 words
    std::array<uint8_t, kRegisterFileSize> fma_regs{};
    std::array<uint8_t, kRegisterFileSize> fmv_regs{};
    // The last converted picture, rows of `last_width` pixels.
    std::vector<uint32_t> picture_buffer;
    std::optional<std::vector<uint8_t>> rom;
    uint64_t clock_accumulator = 0;
    uint64_t interval_accumulator = 0;
    double frame_rate = 25.0;
    uint64_t last_width = kPictureWidth;
    uint64_t decoded_count = 0;
    uint64_t frame_steps = 0;
    uint32_t counted_writes = 0;
    uint32_t clock_45k = 0;
    uint32_t picture_count = 0;
    uint32_t underflow = 0;
    uint16_t interval_count = 0;
    bool dram_enabled = false;
    bool playing = false;
    bool play_latched = false;
    bool interval_enabled = false;
    bool audio_started = false;
    bool for_fma = false;
    bool dma_pending = false;

private:
    using RegisterFile = std::array<uint8_t, kRegisterFileSize>;
    static uint16_t load(const RegisterFile& f, uint32_t o) {
        return static_cast<uint16_t>((f[o] << 8) | f[o + 1]);
    }
    static void store(RegisterFile& f, uint32_t o, uint16_t v) {
        f[o] = static_cast<uint8_t>(v >> 8);
        f[o + 1] = static_cast<uint8_t>(v);
    }

    void write_fma(uint32_t offset, uint16_t word);
    void write_fmv(uint32_t offset, uint16_t word);
    void count_write();
    void refresh_fma();
    void refresh_fmv();
    void show_picture(const VideoFrame& frame, uint64_t index);
    void end_of_stream();
};

}  // namespace vestrel
