// Every difference between the vectors and this core that is masked on purpose, in one place.
#pragma once

#include <cstdint>
#include <string>

#include "vector_file.hpp"

namespace m68k::vectors {

enum class RunCpu { M68000, Scc68070 };

// What one test is judged by.
struct Judgement {
    bool skip = false;            // not run at all
    const char* skip_reason = "";
    bool reduced = false;         // address-error test: the reduced comparison
    bool compare_cycles = true;
    bool compare_prefetch = true;
    bool order_gate = false;      // bus-access order is a gate for this file
    bool compare_order = true;    // bus-access order comparable for this test (else masked)
    bool compare_accesses = true; // every read in the initial RAM, every write in the final RAM
    uint16_t sr_ignore = 0;       // SR bits not compared (the SCC68070 replay only)
    bool trace_candidate = false; // T1 set before the instruction
    bool expect_trace = false;    // the vectors stop before the trace exception our step takes
    bool stop_no_advance = false; // a supervisor STOP: PC and queue do not advance on the chip
    uint32_t an_ignore = 0;       // reduced comparison: address registers (bit n) not compared
    uint16_t status_word_mask = 0x0017;  // reduced comparison: R/W and FC bits of the frame
    bool compare_ir = true;       // reduced comparison: the frame's IR word
    bool access_address_plus2 = false;  // reduced comparison: the chip may report address + 2
};

// The file's family is its name without ".json.bin", e.g. "MOVE.w".
Judgement judge(const std::string& family, const VectorTest& test, RunCpu cpu);

// After the run: whether the trace exception applies (not after a status the scheduler takes).
void judge_after_run(Judgement& j, bool status_reported);

// The address registers an address error leaves changed on the chip but rolled back here.
uint32_t address_registers_with_side_effects(uint16_t opcode);

}  // namespace m68k::vectors
