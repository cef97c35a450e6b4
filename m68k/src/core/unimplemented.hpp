// Loud stubs for instruction routines that are not written yet.
//
// By default a stub prints its name and aborts, so no test can pass through it by accident (in
// particular it never returns the illegal-instruction sentinel). Test drivers that want to count
// such slots switch to record mode: the stub then records its name, changes nothing and returns
// 0 cycles, and the driver reads the name with take_unimplemented().
#pragma once

#include <cstdint>

#include "m68k/cpu.hpp"

namespace m68k {

int32_t unimplemented_routine(Cpu& cpu, const char* name, uint16_t opcode);
void set_unimplemented_record_mode(bool on);
// The name of the last stub reached since the previous call, or nullptr.
const char* take_unimplemented();

}  // namespace m68k

#define M68K_STUB(name)                                                        \
    int32_t name(Cpu& cpu, CpuBus& /*bus*/, uint16_t opcode) {                  \
        return unimplemented_routine(cpu, #name, opcode);                      \
    }
