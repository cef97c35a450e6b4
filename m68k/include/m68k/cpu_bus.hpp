// The one interface between the CPU core and whatever machine it sits in.
#pragma once

#include <cstdint>

namespace m68k {

// All addresses are 32-bit and already masked by the CPU; words and longs are big-endian.
// Every access completes: the bus never raises a bus error (those come only from the MMU).
// The core reads instructions and data as words; read_long serves only the MMU table walk.
class CpuBus {
public:
    virtual ~CpuBus() = default;

    virtual uint8_t read_byte(uint32_t address) = 0;
    virtual uint16_t read_word(uint32_t address) = 0;
    // The word at address in bits 16-31, the word at address + 2 in bits 0-15.
    virtual uint32_t read_long(uint32_t address) = 0;
    virtual void write_byte(uint32_t address, uint8_t value) = 0;
    virtual void write_word(uint32_t address, uint16_t value) = 0;
    // Stores the high word at address and the low word at address + 2.
    virtual void write_long(uint32_t address, uint32_t value) = 0;
    // Level 1-7 in, vector number out; called only while taking an interrupt.
    virtual uint8_t acknowledge_interrupt(uint8_t level) = 0;

    // An optional shortcut for the instruction stream. A bus may publish one window of memory
    // whose word reads have no side effect but a fixed wait: for an address a whose offset
    // o = (a & mask) - base is below `limit` (the window's size less one, so the word's second
    // byte is inside too), read_word(a) returns the big-endian word at host + o and adds `wait`
    // to each of the two counters. The core then reads opcodes and extension words there itself
    // instead of calling read_word. The bus keeps the window true whenever the core runs
    // (limit 0: no window); all other reads go through the calls.
    struct FetchWindow {
        const uint8_t* host = nullptr;
        uint32_t base = 0;
        uint32_t limit = 0;
        uint32_t mask = 0;
        uint32_t wait = 0;
        uint32_t* counters[2] = {nullptr, nullptr};
    };
    FetchWindow fetch_window;

    // read_word(address) through the window when it covers the word; false otherwise.
    bool fetch_through_window(uint32_t address, uint16_t& word) {
        const FetchWindow& w = fetch_window;
        const uint32_t offset = (address & w.mask) - w.base;
        if (offset >= w.limit) return false;
        word = static_cast<uint16_t>((w.host[offset] << 8) | w.host[offset + 1]);
        *w.counters[0] += w.wait;
        *w.counters[1] += w.wait;
        return true;
    }
};

}  // namespace m68k
