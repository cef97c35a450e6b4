// The CD-i 220 slave processor: pointer packets, disc status and a few identification answers,
// exchanged with the software through four byte channels at 0x310000-0x317FFF. A waiting
// packet is signalled with IRQ2 (level 2, vector 26).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "machine/video_mode.hpp"

namespace vestrel {

enum class DiscStatus : uint8_t {
    NoDisc = 0x00,
    Inserted = 0x41,  // disc present, table of contents not read yet
    TocReady = 0x44,
};

// One byte channel: a command being collected from the software and the packet waiting for it.
struct SlaveChannel {
    static constexpr size_t kResponseSize = 8;
    static constexpr size_t kCommandSize = 18;

    std::array<uint8_t, kResponseSize> response{};
    uint32_t response_length = 0;  // bytes still to be read; 0 = nothing waiting
    uint32_t read_index = 0;       // next response byte
    uint32_t expected_length = 0;  // length of the command being collected; 0 = none
    uint32_t received_count = 0;   // command bytes collected so far
    std::array<uint8_t, kCommandSize> command{};

    // Replaces any unread response with `packet` (at most kResponseSize bytes are kept).
    void queue_response(std::span<const uint8_t> packet);
    // Forgets the command being collected.
    void drop_command() {
        expected_length = 0;
        received_count = 0;
    }
    // Forgets both the command and the response.
    void clear() { *this = SlaveChannel{}; }
};

// Pointer button bits as the frontend and the packets use them.
inline constexpr uint8_t kPointerButton1 = 0x01;
inline constexpr uint8_t kPointerButton2 = 0x02;
inline constexpr uint32_t kPointerMaxX = 767;
inline constexpr uint32_t kPointerMaxY = 559;

// The absolute 4-byte pointer packet the frontend puts into channel 0.
struct PointerReport {
    std::array<uint8_t, 4> bytes{};

    // `x` and `y` must already lie within 0-767 and 0-559; `buttons` holds kPointerButton1/2.
    static PointerReport encode(uint32_t x, uint32_t y, uint8_t buttons);
};

class Slave {
public:
    static constexpr uint32_t kChannelCount = 4;
    static constexpr uint32_t kPointerChannel = 0;
    static constexpr uint32_t kStatusChannel = 3;
    static constexpr uint8_t kIrqLevel = 2;
    static constexpr uint8_t kIrqVector = 26;
    // Cycles from insertion until the table of contents counts as read.
    static constexpr uint32_t kDiscReadyCycles = 4'500'000;
    static constexpr int32_t kNoReport = -1;

    // A byte or word write at `offset` = bus address - 0x310000 (a byte write passes the byte).
    void slave_write(uint32_t offset, uint16_t value);
    // One byte of the channel's waiting packet in both halves, or 0x00FF when nothing waits.
    // Every call consumes one byte, whatever the access size.
    uint16_t slave_read(uint32_t offset);
    // Insertion (true) or ejection (false): restarts the disc-ready countdown and queues the
    // disc-status packet on channel 3 with IRQ2.
    void set_disc_inserted(bool inserted);
    // Machine reset: empties every channel, clears IRQ2, then reports the disc slot's state.
    // The pointer, the frontend's report memory and the video mode are kept.
    void reset(bool disc_in_slot);
    // Advances the disc-ready countdown by one line's nominal cycles; true when the disc just
    // became ready (the status packet is then queued with IRQ2).
    bool tick_disc_ready(uint32_t line_cycles);
    // Puts a pointer packet into channel 0 with IRQ2: the position is limited to the screen,
    // the unlimited one is remembered as the last report.
    void send_pointer_report(int32_t x, int32_t y, uint8_t buttons);

    std::array<SlaveChannel, kChannelCount> channels{};

    // Pointer position: written by the software through channel 0 and by the frontend.
    uint32_t pointer_x = 192;
    uint32_t pointer_y = 140;
    // Set when the software wrote a position; the frontend adopts it and clears the flag.
    bool position_set = false;

    // The frontend's memory of the last pointer report.
    int32_t last_report_x = kNoReport;
    int32_t last_report_y = kNoReport;
    uint8_t button_state = 0;

    uint32_t disc_ready_countdown = 0;
    DiscStatus disc_state = DiscStatus::NoDisc;
    bool has_disc = false;
    bool irq2 = false;
    // Kept equal to the MCD212's: the bus copies it after every MCD212 register write.
    VideoMode video_mode = VideoMode::Pal;

private:
    void write_pointer_channel(SlaveChannel& ch);
    void write_status_channel(SlaveChannel& ch);
    void respond(SlaveChannel& ch, std::span<const uint8_t> packet, bool raise_irq);
};

}  // namespace vestrel
