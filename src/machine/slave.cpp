#include "machine/slave.hpp"

#include <algorithm>

#include "common/log.hpp"

namespace vestrel {
namespace {

LogTarget kLog{"vestrel::slave"};

// Command lengths, counting the first byte.
constexpr uint32_t kPositionCommandLength = 3;
constexpr uint32_t kLongCommandLength = 17;
constexpr uint32_t kShortCommandLength = 5;
constexpr uint32_t kStatusCommandLength = 4;

// First bytes of the channel protocol.
constexpr uint8_t kPositionCommandMin = 0xC0;
constexpr uint8_t kLongCommand = 0xF0;
constexpr uint8_t kCmdDiscStatus = 0xB0;
constexpr uint8_t kCmdB1 = 0xB1;
constexpr uint8_t kCmd80 = 0x80;
constexpr uint8_t kCmd81 = 0x81;
constexpr uint8_t kCmdRevision = 0xF0;
constexpr uint8_t kCmdPointerType = 0xF3;
constexpr uint8_t kCmdTestPlug = 0xF4;
constexpr uint8_t kCmdVideoStandard = 0xF6;
constexpr uint8_t kCmdDeveloperMode = 0xF7;
constexpr uint8_t kCmdXBusInterrupts = 0xFA;
constexpr uint8_t kStatusPacketTail = 0x15;

constexpr uint16_t kEmptyRead = 0x00FF;

std::array<uint8_t, 4> disc_status_packet(uint8_t state) {
    return {kCmdDiscStatus, 0x00, state, kStatusPacketTail};
}

}  // namespace

void SlaveChannel::queue_response(std::span<const uint8_t> packet) {
    const size_t n = std::min(packet.size(), response.size());
    std::copy_n(packet.begin(), n, response.begin());
    read_index = 0;
    response_length = static_cast<uint32_t>(n);
}

PointerReport PointerReport::encode(uint32_t x, uint32_t y, uint8_t buttons) {
    x = std::min(x, kPointerMaxX);
    y = std::min(y, kPointerMaxY);
    uint8_t b0 = 0x08 | static_cast<uint8_t>(x >> 7);
    if (buttons & kPointerButton1) b0 |= 0x10;
    if (buttons & kPointerButton2) b0 |= 0x20;
    return PointerReport{{b0, static_cast<uint8_t>(x & 0x7F), static_cast<uint8_t>(y >> 7),
                          static_cast<uint8_t>(y & 0x7F)}};
}

void Slave::respond(SlaveChannel& ch, std::span<const uint8_t> packet, bool raise_irq) {
    ch.queue_response(packet);
    if (raise_irq) irq2 = true;
}

void Slave::slave_write(uint32_t offset, uint16_t value) {
    const uint32_t index = (offset >> 1) & 3;
    const uint8_t byte = static_cast<uint8_t>((value >> 8) | (value & 0xFF));
    LOG_TRACE(kLog, "SLAVE WRITE ch{} (offset 0x{:X}) = 0x{:02X} (raw 0x{:04X})", index, offset,
              byte, value);
    SlaveChannel& ch = channels[index];

    // Channel 1 listens only for the start of a long command.
    if (index == 1 && ch.received_count == 0 && byte != kLongCommand) return;
    if (ch.received_count < SlaveChannel::kCommandSize) ch.command[ch.received_count++] = byte;

    const bool first = ch.received_count == 1;
    switch (index) {
    case 0:
        write_pointer_channel(ch);
        break;
    case 1:
        if (first) ch.expected_length = kLongCommandLength;
        if (ch.received_count >= ch.expected_length) ch.drop_command();
        break;
    case 2:
        if (first) {
            const uint8_t b = ch.command[0];
            if (b == kLongCommand) {
                ch.expected_length = kLongCommandLength;
            } else if ((b & 0xF0) == 0xC0) {
                ch.expected_length = kShortCommandLength;
            } else {
                // 0x82, 0x83 and anything unknown are single bytes.
                ch.drop_command();
                break;
            }
        }
        if (ch.received_count >= ch.expected_length) ch.drop_command();
        break;
    default:
        write_status_channel(ch);
        break;
    }
}

void Slave::write_pointer_channel(SlaveChannel& ch) {
    if (ch.command[0] < kPositionCommandMin) {
        ch.drop_command();
        return;
    }
    ch.expected_length = kPositionCommandLength;
    if (ch.received_count < kPositionCommandLength) return;
    const uint8_t b0 = ch.command[0];
    const uint8_t b1 = ch.command[1];
    const uint8_t b2 = ch.command[2];
    pointer_x = (static_cast<uint32_t>(b1 & 0x70) << 3) | (b2 & 0x7Fu);
    pointer_y = (static_cast<uint32_t>(b1 & 0x0F) << 6) | (b0 & 0x3Fu);
    position_set = true;
    ch.drop_command();
}

void Slave::write_status_channel(SlaveChannel& ch) {
    const uint8_t cmd = ch.command[0];
    if (ch.received_count == 1) {
        switch (cmd) {
        case kCmdDiscStatus:
        case kCmdB1:
        case kCmd80:
        case kCmd81:
            ch.expected_length = kStatusCommandLength;
            return;
        case kCmdRevision: {
            LOG_INFO(kLog, "Slave CMD 0xF0: Request Slave Revision");
            const uint8_t packet[] = {0xF0, 0x32, 0x31};
            respond(ch, packet, true);
            break;
        }
        case kCmdPointerType: {
            LOG_INFO(kLog, "Slave CMD 0xF3: Request Pointer Type");
            const uint8_t packet[] = {0xF3, 0x01};
            respond(ch, packet, true);
            break;
        }
        case kCmdTestPlug: {
            LOG_INFO(kLog, "Slave CMD 0xF4: Request Test Plug Status");
            const uint8_t packet[] = {0xF4, 0x00};
            respond(ch, packet, true);
            break;
        }
        case kCmdVideoStandard: {
            const uint8_t m = static_cast<uint8_t>(static_cast<uint8_t>(video_mode) + 1);
            LOG_TRACE(kLog, "Slave CMD 0xF6: Request NTSC/PAL Status -> 0x{:02X} ({})", m,
                      video_mode);
            // The software polls for this answer; no interrupt announces it.
            const uint8_t packet[] = {0xF6, m};
            respond(ch, packet, false);
            break;
        }
        case kCmdDeveloperMode:
            LOG_INFO(kLog, "Slave CMD 0xF7: Arm Developer Mode");
            break;
        case kCmdXBusInterrupts:
            LOG_INFO(kLog, "Slave CMD 0xFA: Enable X-Bus Interrupts");
            break;
        default:
            break;
        }
        ch.drop_command();
        return;
    }

    if (ch.received_count < ch.expected_length) return;
    if (cmd == kCmdDiscStatus) {
        const uint8_t s = has_disc ? static_cast<uint8_t>(disc_state) : 0;
        LOG_INFO(kLog,
                 "Slave CMD 0xB0 completed: Request Disc Status (has_disc={}) -> byte=0x{:02X}",
                 has_disc, s);
        respond(ch, disc_status_packet(s), true);
    } else if (cmd == kCmdB1) {
        const uint8_t packet[] = {kCmdB1, 0x00, 0x00, 0x00};
        respond(ch, packet, true);
    }
    ch.drop_command();
}

uint16_t Slave::slave_read(uint32_t offset) {
    SlaveChannel& ch = channels[(offset >> 1) & 3];
    if (ch.response_length == 0) return kEmptyRead;
    const uint8_t b = ch.response[ch.read_index % SlaveChannel::kResponseSize];
    if (ch.read_index == 0) irq2 = false;
    ++ch.read_index;
    --ch.response_length;
    if (ch.response_length == 0) ch.read_index = 0;
    return static_cast<uint16_t>(b * 0x0101u);
}

void Slave::set_disc_inserted(bool inserted) {
    has_disc = inserted;
    disc_ready_countdown = 0;
    disc_state = inserted ? DiscStatus::Inserted : DiscStatus::NoDisc;
    const uint8_t state = static_cast<uint8_t>(disc_state);
    LOG_INFO(kLog, "Slave: set_disc_inserted({}) -> state 0x{:02X}, pushing to Ch3 with IRQ2",
             inserted, state);
    respond(channels[kStatusChannel], disc_status_packet(state), true);
}

void Slave::reset(bool disc_in_slot) {
    for (SlaveChannel& ch : channels) ch.clear();
    irq2 = false;
    set_disc_inserted(disc_in_slot);
}

bool Slave::tick_disc_ready(uint32_t line_cycles) {
    if (!has_disc || disc_state != DiscStatus::Inserted) return false;
    disc_ready_countdown += line_cycles;
    if (disc_ready_countdown < kDiscReadyCycles) return false;
    disc_state = DiscStatus::TocReady;
    LOG_INFO(kLog, "Slave: disc TOC ready (0x41 -> 0x44) -> pushing status packet to Ch3 with IRQ2");
    respond(channels[kStatusChannel], disc_status_packet(static_cast<uint8_t>(disc_state)), true);
    return true;
}

void Slave::send_pointer_report(int32_t x, int32_t y, uint8_t buttons) {
    button_state = buttons;
    const uint32_t cx = static_cast<uint32_t>(std::clamp<int32_t>(x, 0, kPointerMaxX));
    const uint32_t cy = static_cast<uint32_t>(std::clamp<int32_t>(y, 0, kPointerMaxY));
    pointer_x = cx;
    pointer_y = cy;
    last_report_x = x;
    last_report_y = y;
    respond(channels[kPointerChannel], PointerReport::encode(cx, cy, buttons).bytes, true);
}

}  // namespace vestrel
