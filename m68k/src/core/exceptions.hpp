// Exception entry, frames, address and bus errors, interrupts.
#pragma once

#include <cstdint>

#include "m68k/cpu.hpp"

namespace m68k {

// Exception stack-frame kinds.
enum class FrameFormat : uint8_t {
    Short68000,  // 6 bytes: SR, PC
    Group0,      // 14 bytes: 68000 address/bus error
    Format0,
    Format1,     // throwaway
    Format2,
    Format4,
    Format7,
    Format8,     // 68010/SCC68070 address error, 58 bytes
    FormatB,
};

// Vector numbers the core raises.
inline constexpr uint32_t kVectorBusError = 2;
inline constexpr uint32_t kVectorAddressError = 3;
inline constexpr uint32_t kVectorIllegal = 4;
inline constexpr uint32_t kVectorZeroDivide = 5;
inline constexpr uint32_t kVectorChk = 6;
inline constexpr uint32_t kVectorTrapv = 7;
inline constexpr uint32_t kVectorPrivilege = 8;
inline constexpr uint32_t kVectorTrace = 9;
inline constexpr uint32_t kVectorLineA = 10;
inline constexpr uint32_t kVectorLineF = 11;
inline constexpr uint32_t kVectorFormatError = 14;
inline constexpr uint32_t kVectorTrapBase = 32;
inline constexpr uint32_t kVectorMmuConfig = 56;
inline constexpr uint32_t kVectorUnimplementedInteger = 61;

// The 68000 cycle count of taking an exception (charged unscaled by the caller that takes it
// outside a routine).
int32_t exception_cycles(uint32_t vector);

// Interrupt entry cost taken off `slice_budget`.
inline constexpr int32_t kInterruptCycles = 44;
inline constexpr int32_t kInterruptCycles68010 = 46;

// Supervisor entry: returns the old SR.
uint16_t enter_supervisor(Cpu& cpu);
void push_word(Cpu& cpu, CpuBus& bus, uint32_t value);
void push_long(Cpu& cpu, CpuBus& bus, uint32_t value);

// take_exception is declared in m68k/cpu.hpp.
// Exceptions that report the next instruction (zero divide, CHK, TRAPV/TRAPcc, trace).
int32_t take_exception_format2(Cpu& cpu, CpuBus& bus, uint32_t vector);
// Line-F exception of an unimplemented FPU form, with the given effective address; returns 34.
int32_t take_fline_format2(Cpu& cpu, CpuBus& bus, uint32_t address);
// M68060 line-F when PCR disables the FPU; the caller charges 34.
void take_fpu_disabled_fline(Cpu& cpu, CpuBus& bus);
// The common tail: PC from the vector table, queue reload on M68000/M68010.
void jump_to_vector(Cpu& cpu, CpuBus& bus, uint32_t vector);
// From the odd-address checks; the instruction's own cycles stand.
void take_address_error(Cpu& cpu, CpuBus& bus, uint32_t address, bool write, bool instruction);

// MMU translation outcome: bits 0-31 address, 32-39 status byte, 40-47 fault kind (0xFF none).
using TranslateResult = uint64_t;
void raise_access_fault(Cpu& cpu, CpuBus& bus, TranslateResult result, bool write, bool instruction,
                        uint32_t size);
void take_bus_error(Cpu& cpu, CpuBus& bus, uint32_t address, bool write, bool instruction,
                    uint32_t size, uint8_t status);
// Called by step when `aborted` is set after the instruction.
void restore_fault_snapshot(Cpu& cpu);

}  // namespace m68k
