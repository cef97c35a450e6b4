#include "machine/cdic.hpp"

#include "common/log.hpp"

namespace vestrel {
namespace {

LogTarget kLog{"vestrel::cdic"};

constexpr uint16_t kBit15 = 0x8000;
constexpr uint16_t kDbufExecute = 0x8000;  // DBUF bit 15: carry out `command`
constexpr uint16_t kDbufKeepRead = 0x4000; // DBUF bit 14: clear means cancel the read
constexpr uint16_t kZBufferPlay = 0x2000;  // z_buffer bit 13: start (set) or stop (clear) a map
constexpr uint16_t kMapAddressMask = 0x3A00;
constexpr uint32_t kTrackOffset = 150;    // the two seconds before track 1
constexpr uint8_t kFrameIgnored = 0x80;   // frame byte bit 7: start on the second

constexpr uint8_t kCmdReadSingle = 0x23;
constexpr uint8_t kCmdReadSingleAlt = 0x24;
constexpr uint8_t kCmdReadToc = 0x27;
constexpr uint8_t kCmdReadCdDa = 0x28;
constexpr uint8_t kCmdReadData = 0x29;
constexpr uint8_t kCmdReadWithAudio = 0x2A;
constexpr uint8_t kCmdCancel = 0x2B;
constexpr uint8_t kCmdReadDataAlt = 0x2C;
constexpr uint8_t kCmdNothing = 0x2E;

constexpr uint32_t bcd_byte(uint32_t b) { return ((b >> 4) * 10 + (b & 0x0F)) & 0xFF; }

}  // namespace

uint16_t Cdic::cdic_read_register(uint32_t offset) {
    switch (offset & 0x3FE) {
        case cdic_reg::kCommand:
            LOG_TRACE(kLog, "CDIC read Command: 0x{:04X}", command);
            return command;
        case cdic_reg::kTimeHigh: return static_cast<uint16_t>(time >> 16);
        case cdic_reg::kTimeLow: return static_cast<uint16_t>(time);
        case cdic_reg::kFile: return file;
        case cdic_reg::kChannelHigh: return static_cast<uint16_t>(channel >> 16);
        case cdic_reg::kChannelLow: return static_cast<uint16_t>(channel);
        case cdic_reg::kAudioChannel: return audio_channel;
        case cdic_reg::kAbuf: {
            const uint16_t v = abuf;
            abuf &= ~kBit15;
            irq_pending = (xbuf & kBit15) != 0;
            LOG_TRACE(kLog, "CDIC read ABUF: 0x{:04X}", v);
            return v;
        }
        case cdic_reg::kXbuf: {
            const uint16_t v = xbuf;
            xbuf &= ~kBit15;
            irq_pending = (abuf & kBit15) != 0;
            LOG_TRACE(kLog, "CDIC read XBUF: 0x{:04X}", v);
            return v;
        }
        case cdic_reg::kZBuffer:
            // Without a map playing, bit 0 toggles on every read (software polls it).
            if (!dec_map) z_buffer ^= 1;
            return z_buffer;
        case cdic_reg::kDbuf:
            LOG_TRACE(kLog, "CDIC read DBUF: 0x{:04X}", data_buffer);
            return data_buffer;
        default: return 0;  // dma_control, interrupt_vector and unmapped offsets
    }
}

void Cdic::cdic_write_register(uint32_t offset, uint16_t value) {
    switch (offset & 0x3FE) {
        case cdic_reg::kCommand:
            command = value;
            LOG_DEBUG(kLog, "CDIC WRITE command = 0x{:04X}", command);
            break;
        case cdic_reg::kTimeHigh: time = (time & 0x0000FFFFu) | (uint32_t{value} << 16); break;
        case cdic_reg::kTimeLow: time = (time & 0xFFFF0000u) | value; break;
        case cdic_reg::kFile: file = value; break;
        case cdic_reg::kChannelHigh: channel = (channel & 0x0000FFFFu) | (uint32_t{value} << 16); break;
        case cdic_reg::kChannelLow: channel = (channel & 0xFFFF0000u) | value; break;
        case cdic_reg::kAudioChannel:
            audio_channel = value;
            LOG_INFO(kLog, "CDIC WRITE audio_channel = 0x{:04X}", value);
            break;
        case cdic_reg::kAbuf:
            abuf = value;
            irq_pending = ((value | xbuf) & kBit15) != 0;
            break;
        case cdic_reg::kXbuf:
            xbuf = value;
            irq_pending = ((value | abuf) & kBit15) != 0;
            break;
        case cdic_reg::kDmaControl:
            LOG_INFO(kLog, "CDIC WRITE dma_control = 0x{:04X}", value);
            dma_control = value;
            dma_requested = true;
            break;
        case cdic_reg::kZBuffer: write_z_buffer(value); break;
        case cdic_reg::kInterruptVector:
            LOG_TRACE(kLog, "CDIC WRITE interrupt_vector = 0x{:04X}", value);
            interrupt_vector = value;
            break;
        case cdic_reg::kDbuf: write_data_buffer(value); break;
        default: break;
    }
}

void Cdic::start_disc_read(uint8_t code, ReadMode read_mode) {
    close_failure_run();  // a new command is a new read
    active_command = code;
    mode = read_mode;
    if (code == kCmdReadToc) {
        curr_lba = 0;
    } else {
        const uint32_t minute = bcd_byte(time >> 24);
        const uint32_t second = bcd_byte((time >> 16) & 0xFF);
        const uint32_t frame_byte = (time >> 8) & 0xFF;
        uint32_t lba = (minute * 60 + second) * 75;
        if (!(frame_byte & kFrameIgnored)) lba += bcd_byte(frame_byte);
        if (lba >= kTrackOffset) lba -= kTrackOffset;
        curr_lba = lba;
    }
    read_cycles = kReadStartCycles;
    LOG_INFO(kLog, "CDIC init disc read: cmd=0x{:02X}, mode={}, LBA={}", active_command,
             static_cast<uint8_t>(mode), curr_lba);
}

void Cdic::write_data_buffer(uint16_t value) {
    LOG_TRACE(kLog, "CDIC WRITE data_buffer = 0x{:04X}", value);
    data_buffer = value;
    if (value & kDbufExecute) {
        LOG_INFO(kLog, "CDIC Command 0x{:02X} received (LBA={}, time=0x{:08X})", command, curr_lba,
                 time);
        switch (command) {
            case kCmdReadSingle:
            case kCmdReadSingleAlt:
                if (active_command == 0) start_disc_read(static_cast<uint8_t>(command), ReadMode::Data);
                break;
            case kCmdReadToc: start_disc_read(kCmdReadToc, ReadMode::Toc); break;
            case kCmdReadCdDa: start_disc_read(kCmdReadCdDa, ReadMode::CdDa); break;
            case kCmdReadData:
            case kCmdReadDataAlt: start_disc_read(static_cast<uint8_t>(command), ReadMode::Data); break;
            case kCmdReadWithAudio: start_disc_read(kCmdReadWithAudio, ReadMode::DataWithAudio); break;
            case kCmdCancel: cancel_disc_read(); break;
            case kCmdNothing: break;
            default: LOG_DEBUG(kLog, "CDIC: Unhandled command 0x{:02X}", command); break;
        }
        data_buffer &= ~kDbufExecute;
    }
    if (!(data_buffer & kDbufKeepRead)) cancel_disc_read();
}

void Cdic::cancel_disc_read() {
    LOG_DEBUG(kLog, "CDIC cancel_disc_read called (curr_lba={})", curr_lba);
    close_failure_run();
    active_command = 0;
    mode = ReadMode::Idle;
    curr_lba = 0;
    read_cycles = 0;
}

void Cdic::write_z_buffer(uint16_t value) {
    LOG_TRACE(kLog, "CDIC WRITE z_buffer = 0x{:04X} (dec_map={}, dec_addr=0x{:04X})", value, dec_map,
              dec_addr);
    z_buffer = value;
    if (!(value & kZBufferPlay)) {
        // Audio already queued keeps playing.
        dec_addr = kNoMapAddress;
        dec_map = false;
        return;
    }
    if (dec_map && dec_addr != kNoMapAddress) return;
    // Bit 13 is part of the address: 0x2800 starts at 0x2800, 0x3200 at 0x3200.
    dec_addr = value & kMapAddressMask;
    decoder_busy = 1;
    dec_map = true;
    audio_out.clear_history();
}

void Cdic::reset() {
    // Keep the queue handles (the host stream holds them), the volume and the mute flag.
    close_failure_run();
    AudioOutput audio = std::move(audio_out);
    audio.clear_queue();
    *this = Cdic{};
    audio_out = std::move(audio);
}

}  // namespace vestrel
