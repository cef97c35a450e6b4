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
};

}  // namespace m68k
