#include "machine/scc68070.hpp"

#include <cstdio>

#include <fmt/format.h>

namespace vestrel {
namespace {

std::string* g_console_capture = nullptr;

constexpr uint8_t kUartStatusValue = 0x04;  // transmitter always ready
constexpr uint8_t kUartModeMask = 0x0C;
constexpr uint8_t kUartModeRaise = 0x04;
constexpr uint8_t kRegisterMask = 0x77;  // PICR and LIR bits 3 and 7 are not stored as written
constexpr uint8_t kLirBit3 = 0x08;
constexpr uint8_t kPicrClearBit = 0x08;
constexpr uint8_t kTsrPendingMin = 2;  // TSR bit 0 alone raises nothing

constexpr uint8_t kTcrT1Mask = 0x30;
constexpr uint8_t kTcrT1Count = 0x30;
constexpr uint8_t kTcrT1Match = 0x10;
constexpr uint8_t kTcrT2Mask = 0x03;
constexpr uint8_t kTcrT2Count = 0x03;
constexpr uint8_t kTcrT2Match = 0x01;

uint8_t high_byte(uint16_t v) { return static_cast<uint8_t>(v >> 8); }
uint8_t low_byte(uint16_t v) { return static_cast<uint8_t>(v & 0xFF); }
void set_high(uint16_t& reg, uint8_t v) { reg = static_cast<uint16_t>((reg & 0x00FF) | (v << 8)); }
void set_low(uint16_t& reg, uint8_t v) { reg = static_cast<uint16_t>((reg & 0xFF00) | v); }

}  // namespace

void console_write(std::string_view text) {
    if (g_console_capture != nullptr) {
        g_console_capture->append(text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    (void)std::fflush(stdout);  // a failed flush loses nothing the emulation depends on
}

void console_capture(std::string* capture) { g_console_capture = capture; }

std::string uart_byte_text(uint8_t byte) {
    const bool plain = (byte >= 0x20 && byte <= 0x7E) || byte == 0x09 || byte == 0x0A || byte == 0x0D;
    if (plain) return std::string(1, static_cast<char>(byte));
    return fmt::format("[{:02X}]", byte);
}

uint8_t SccPeripherals::read_register(uint16_t r) const {
    switch (r) {
        case kLir: return lir;
        case kUartStatusA:
        case kUartStatusB: return kUartStatusValue;
        case kUartControl: return uart_control;
        case kTsr: return tsr;
        case kTcr: return tcr;
        case 0x2022: return high_byte(rr);
        case 0x2023: return low_byte(rr);
        case 0x2024: return high_byte(t0);
        case 0x2025: return low_byte(t0);
        case 0x2026: return high_byte(t1);
        case 0x2027: return low_byte(t1);
        case 0x2028: return high_byte(t2);
        case 0x2029: return low_byte(t2);
        case kPicr1: return picr1;
        case kPicr2: return picr2;
        default: return 0x00;  // the transmit registers and everything unlisted
    }
}

void SccPeripherals::write_register(uint16_t r, uint8_t value) {
    switch (r) {
        case kLir: {
            uint8_t next = value & kRegisterMask;
            if ((value & kLirLatch) == 0) next |= lir & kLirLatch;
            if ((value & kLirBit3) == 0) next |= lir & kLirBit3;
            lir = next;
            break;
        }
        case kUartControl:
            uart_control = value;
            switch ((value >> 2) & 3) {
                case 1: uart_pending = true; break;
                case 2:
                case 3: uart_pending = false; break;
                default: break;
            }
            break;
        case kUartTransmitA:
        case kUartTransmitB: uart_transmit(value); break;
        case kTsr:
            tsr = static_cast<uint8_t>(tsr & ~value);
            if (tsr < kTsrPendingMin) timer_pending = false;
            break;
        case kTcr: tcr = value; break;
        case 0x2022: set_high(rr, value); break;
        case 0x2023: set_low(rr, value); break;
        case 0x2024: set_high(t0, value); break;
        case 0x2025: set_low(t0, value); break;
        case 0x2026: set_high(t1, value); break;
        case 0x2027: set_low(t1, value); break;
        case 0x2028: set_high(t2, value); break;
        case 0x2029: set_low(t2, value); break;
        case kPicr1:
            picr1 = value & kRegisterMask;
            if ((value & kPicrClearBit) != 0 || (value & 7) == 0 || tsr < kTsrPendingMin)
                timer_pending = false;
            break;
        case kPicr2: picr2 = value & kRegisterMask; break;
        default: break;
    }
}

void SccPeripherals::uart_transmit(uint8_t byte) {
    console_write(uart_byte_text(byte));
    if ((uart_control & kUartModeMask) == kUartModeRaise) uart_pending = true;
}

void SccPeripherals::tick_timers_over(uint32_t cycles) {
    // Bring the prescaler below one tick first so a huge count cannot wrap it.
    uint64_t total = uint64_t{timer_prescaler} + cycles;
    while (total >= kCyclesPerTick) {
        total -= kCyclesPerTick;
        if (t0 == 0xFFFF) {
            t0 = rr;
            tsr |= kTsrT0Reload;
        } else {
            ++t0;
        }
        switch (tcr & kTcrT1Mask) {
            case kTcrT1Count:
                if (t1 == 0xFFFF) {
                    t1 = rr;
                    tsr |= kTsrT1Reload;
                } else {
                    ++t1;
                }
                break;
            case kTcrT1Match:
                if (t1 == t0) tsr |= kTsrT1Match;
                break;
            default: break;
        }
        switch (tcr & kTcrT2Mask) {
            case kTcrT2Count:
                if (t2 == 0xFFFF) {
                    t2 = rr;
                    tsr |= kTsrT2Reload;
                } else {
                    ++t2;
                }
                break;
            case kTcrT2Match:
                if (t2 == t0) tsr |= kTsrT2Match;
                break;
            default: break;
        }
        if (timer_level() != 0 && tsr >= kTsrPendingMin) timer_pending = true;
    }
    timer_prescaler = static_cast<uint32_t>(total);
}

OnChipAck SccPeripherals::acknowledge_on_chip(uint8_t level) {
    if ((lir & kLirLatch) != 0 && level == video_level()) {
        lir &= static_cast<uint8_t>(~kLirLatch);
        return OnChipAck::Video;
    }
    if (timer_level() != 0 && timer_level() == level && timer_pending) {
        timer_pending = false;
        return OnChipAck::Timer;
    }
    const uint8_t uart_level = picr2 & 7;
    if (uart_level != 0 && uart_level == level && uart_pending) {
        uart_pending = false;
        return OnChipAck::Uart;
    }
    return OnChipAck::None;
}

}  // namespace vestrel
