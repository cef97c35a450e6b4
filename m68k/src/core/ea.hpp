// Memory access, instruction fetch and effective addresses.
//
// Every access of the core goes through these: they apply the address mask, the 68000-class
// odd-address rule, the one-shot restart latches, MMU translation with its page-straddle splits,
// and the abort rule (after a fault, data accesses and EA computations of the rest of the
// instruction do nothing and reads give 0; instruction fetches still reach the bus).
//
// Speed: the data accessors and fetch_word/fetch_long are inline. Their inline part handles the
// usual state (no translation, no restart latch, not aborted, aligned or no odd-address rule,
// no prefetch queue for fetches) and calls the out-of-line *_full routine for everything else;
// both give the same registers, bus accesses and order.
//
// Compile-time EA API (for routines specialised on the addressing mode and size):
//   compute_ea_t<EaKind K, uint8_t Size>(cpu, bus, reg)        == compute_ea(cpu, bus, K, reg, Size)
//   ea_address_t<EaKind K, uint8_t Size>(cpu, bus, reg)        == compute_ea(...).value, memory kinds
//                                                                 2-10 only (no Operand built)
//   read_ea_t<EaKind K, uint8_t Size>(cpu, bus, reg)           == read_ea(cpu, bus, K, reg, Size)
//   write_ea_t<EaKind K, uint8_t Size>(cpu, bus, reg, value)   == write_ea(...) (MOVE destination)
//   read_operand_t<uint8_t Size>(cpu, bus, op)                 == read_operand(cpu, bus, op, Size)
//   write_operand_t<uint8_t Size>(cpu, bus, op, value)         == write_operand(cpu, bus, op, Size, v)
//   read_memory_t<uint8_t Size>(cpu, bus, address)             read_data_byte/word/long by size
//   write_memory_t<uint8_t Size>(cpu, bus, address, value)     write_data_byte/word/long by size
// Each is exactly its runtime twin (same bus accesses, order, abort behaviour); the kind and size
// switches fold away. Sizes are kSizeByte/kSizeWord/kSizeLong.
#pragma once

#include <cstdint>

#include "core/handler.hpp"
#include "core/prefetch.hpp"
#include "m68k/cpu.hpp"

namespace m68k {

// Addressing modes.
enum class EaKind : uint8_t {
    DataReg = 0,
    AddrReg = 1,
    Indirect = 2,      // (An)
    PostInc = 3,       // (An)+
    PreDec = 4,        // -(An)
    Disp16 = 5,        // (d16,An)
    Indexed = 6,       // (d8,An,Xn) and the full extension formats
    AbsWord = 7,
    AbsLong = 8,
    PcDisp16 = 9,      // (d16,PC)
    PcIndexed = 10,    // (d8,PC,Xn) and the full extension formats
    Immediate = 11,
};

inline constexpr uint8_t kNoEaKind = 0xFF;

// Mode 0-6 give themselves; mode 7 gives 7-11 for registers 0-4 and 0xFF for 5-7.
constexpr uint8_t ea_kind_from_mode(uint32_t mode, uint32_t reg) {
    mode &= 7;
    reg &= 7;
    if (mode < 7) return static_cast<uint8_t>(mode);
    return reg <= 4 ? static_cast<uint8_t>(7 + reg) : kNoEaKind;
}

enum class OperandTag : uint8_t { DataReg = 0, AddrReg = 1, Memory = 2, Immediate = 3 };

// A resolved effective address.
struct Operand {
    OperandTag tag = OperandTag::Memory;
    uint8_t reg = 0;     // register number; for memory the mode's register field
    uint32_t value = 0;  // memory: the address; immediate: the operand
};

// Data access. Reads return the value zero-extended.
inline uint32_t read_data_byte(Cpu& cpu, CpuBus& bus, uint32_t address);
inline uint32_t read_data_word(Cpu& cpu, CpuBus& bus, uint32_t address);
inline uint32_t read_data_long(Cpu& cpu, CpuBus& bus, uint32_t address);
inline void write_data_byte(Cpu& cpu, CpuBus& bus, uint32_t address, uint32_t value);
inline void write_data_word(Cpu& cpu, CpuBus& bus, uint32_t address, uint32_t value);
// One bus write_long.
inline void write_data_long(Cpu& cpu, CpuBus& bus, uint32_t address, uint32_t value);
// The word at address + 2 first, then the word at address.
uint32_t read_data_long_low_first(Cpu& cpu, CpuBus& bus, uint32_t address);
// Low word at address + 2, queue refill (M68000/M68010), then the high word.
void write_data_long_low_first(Cpu& cpu, CpuBus& bus, uint32_t address, uint32_t value);
// Byte, word, or a long as two word writes high word first (never one bus long).
void write_memory_sized(Cpu& cpu, CpuBus& bus, uint32_t address, uint8_t size, uint32_t value);

// The complete accessors behind the inline ones (every state).
uint32_t read_data_byte_full(Cpu& cpu, CpuBus& bus, uint32_t address);
uint32_t read_data_word_full(Cpu& cpu, CpuBus& bus, uint32_t address);
uint32_t read_data_long_full(Cpu& cpu, CpuBus& bus, uint32_t address);
void write_data_byte_full(Cpu& cpu, CpuBus& bus, uint32_t address, uint32_t value);
void write_data_word_full(Cpu& cpu, CpuBus& bus, uint32_t address, uint32_t value);
void write_data_long_full(Cpu& cpu, CpuBus& bus, uint32_t address, uint32_t value);
uint16_t fetch_word_full(Cpu& cpu, CpuBus& bus);
uint32_t fetch_long_full(Cpu& cpu, CpuBus& bus);

// Instruction stream: PC advances when the fetch succeeds.
inline uint16_t fetch_word(Cpu& cpu, CpuBus& bus);
inline uint32_t fetch_long(Cpu& cpu, CpuBus& bus);
inline uint32_t fetch_immediate(Cpu& cpu, CpuBus& bus, uint8_t size);

// Effective addresses. `kind` is an EaKind value 0-11 (the decoder rejects 0xFF).
inline Operand compute_ea(Cpu& cpu, CpuBus& bus, uint8_t kind, uint8_t reg, uint8_t size);
uint32_t compute_indexed_ea(Cpu& cpu, CpuBus& bus, uint32_t base, uint16_t extension);
inline uint32_t read_operand(Cpu& cpu, CpuBus& bus, const Operand& op, uint8_t size);
// Registers: a byte/word replaces the low part of Dn; An takes all 32 bits (caller
// sign-extends). Memory: M68000/M68010 refill the queue first; a long is two word writes
// (address + 2 first) on the 68000 class, one write_long elsewhere.
inline void write_operand(Cpu& cpu, CpuBus& bus, const Operand& op, uint8_t size, uint32_t value);
inline uint32_t read_ea(Cpu& cpu, CpuBus& bus, uint8_t kind, uint8_t reg, uint8_t size);
// MOVE destinations: a long in memory is one write_long on every type; no queue refill.
inline void write_ea(Cpu& cpu, CpuBus& bus, uint8_t kind, uint8_t reg, uint8_t size, uint32_t value);

// The out-of-line forms behind the inline register-direct shortcuts of the three above.
Operand compute_ea_full(Cpu& cpu, CpuBus& bus, uint8_t kind, uint8_t reg, uint8_t size);
uint32_t read_ea_full(Cpu& cpu, CpuBus& bus, uint8_t kind, uint8_t reg, uint8_t size);
void write_ea_full(Cpu& cpu, CpuBus& bus, uint8_t kind, uint8_t reg, uint8_t size, uint32_t value);

}  // namespace m68k

#include "core/ea_inline.hpp"
