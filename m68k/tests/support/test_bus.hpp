// A flat 16 MiB RAM bus that records every access, for the CPU core's tests.
#pragma once

#include <cstdint>
#include <vector>

#include "m68k/cpu_bus.hpp"

namespace m68k::test {

enum class Access : uint8_t { ReadByte, ReadWord, ReadLong, WriteByte, WriteWord, WriteLong, Ack };

struct BusEvent {
    Access kind;
    uint32_t address;  // the level for Ack
    uint32_t value;

    friend bool operator==(const BusEvent&, const BusEvent&) = default;
};

class TestBus final : public CpuBus {
public:
    static constexpr uint32_t kSize = 1u << 24;

    TestBus() : ram_(kSize, 0) {}

    uint8_t read_byte(uint32_t a) override {
        const uint8_t v = ram_[a & (kSize - 1)];
        log(Access::ReadByte, a, v);
        return v;
    }
    uint16_t read_word(uint32_t a) override {
        const uint16_t v = peek_word(a);
        log(Access::ReadWord, a, v);
        return v;
    }
    uint32_t read_long(uint32_t a) override {
        const uint32_t v = (static_cast<uint32_t>(peek_word(a)) << 16) | peek_word(a + 2);
        log(Access::ReadLong, a, v);
        return v;
    }
    void write_byte(uint32_t a, uint8_t v) override {
        log(Access::WriteByte, a, v);
        ram_[a & (kSize - 1)] = v;
    }
    void write_word(uint32_t a, uint16_t v) override {
        log(Access::WriteWord, a, v);
        poke_word(a, v);
    }
    void write_long(uint32_t a, uint32_t v) override {
        log(Access::WriteLong, a, v);
        poke_word(a, static_cast<uint16_t>(v >> 16));
        poke_word(a + 2, static_cast<uint16_t>(v));
    }
    uint8_t acknowledge_interrupt(uint8_t level) override {
        log(Access::Ack, level, vector_for_ack);
        return vector_for_ack;
    }

    // Direct access that is not recorded.
    uint16_t peek_word(uint32_t a) const {
        return static_cast<uint16_t>((ram_[a & (kSize - 1)] << 8) | ram_[(a + 1) & (kSize - 1)]);
    }
    uint32_t peek_long(uint32_t a) const { return (static_cast<uint32_t>(peek_word(a)) << 16) | peek_word(a + 2); }
    void poke_word(uint32_t a, uint16_t v) {
        ram_[a & (kSize - 1)] = static_cast<uint8_t>(v >> 8);
        ram_[(a + 1) & (kSize - 1)] = static_cast<uint8_t>(v);
    }
    void poke_long(uint32_t a, uint32_t v) {
        poke_word(a, static_cast<uint16_t>(v >> 16));
        poke_word(a + 2, static_cast<uint16_t>(v));
    }

    std::vector<BusEvent> events;
    bool recording = true;
    uint8_t vector_for_ack = 0;

private:
    void log(Access k, uint32_t a, uint32_t v) {
        if (recording) events.push_back(BusEvent{k, a, v});
    }
    std::vector<uint8_t> ram_;
};

}  // namespace m68k::test
