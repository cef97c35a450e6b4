// Reader for the 68000 single-step test vectors (binary format of the public test set).
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

namespace m68k::vectors {

struct MemoryWord {
    uint32_t address;  // even, below 2^24
    uint16_t value;    // high byte at address
};

struct VectorState {
    std::array<uint32_t, 8> d{};
    std::array<uint32_t, 7> a{};
    uint32_t usp = 0, ssp = 0, sr = 0, pc = 0;
    std::array<uint32_t, 2> prefetch{};
    std::vector<MemoryWord> ram;
};

enum class TxKind : uint8_t { Idle = 0, Write = 1, Read = 2, Tas = 3, ReadAddressError = 4, WriteAddressError = 5 };

struct Transaction {
    TxKind kind;
    uint32_t cycles;
    uint32_t fc = 0, address = 0, data = 0, uds = 0, lds = 0;

    bool is_byte() const { return !(uds && lds); }
    // The byte address of a byte access, the word address otherwise.
    uint32_t byte_address() const { return is_byte() && lds && !uds ? (address | 1) : address; }
    uint32_t value() const {
        if (!is_byte()) return data & 0xFFFF;
        return uds ? (data >> 8) & 0xFF : data & 0xFF;
    }
};

struct VectorTest {
    std::string name;
    VectorState initial;
    VectorState final_state;
    uint32_t cycles = 0;
    std::vector<Transaction> transactions;

    bool has_address_error() const {
        for (const auto& t : transactions) {
            if (t.kind == TxKind::ReadAddressError || t.kind == TxKind::WriteAddressError) return true;
        }
        return false;
    }
};

// Reads a whole file; the error names the test index and byte offset of the first problem.
std::expected<std::vector<VectorTest>, std::string> read_vector_file(const std::string& path);

}  // namespace m68k::vectors
