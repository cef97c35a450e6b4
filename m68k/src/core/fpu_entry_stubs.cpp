// Loud stand-ins for the FPU entry points until m68k/src/fpu defines them; delete this file then.
#include "core/fpu_entry.hpp"

#include "core/unimplemented.hpp"

namespace m68k {

int32_t fpu_general(Cpu& cpu, CpuBus&, uint16_t opcode) { return unimplemented_routine(cpu, "fpu_general", opcode); }
int32_t fpu_unimplemented_ea(Cpu& cpu, CpuBus&, uint32_t, uint32_t) {
    return unimplemented_routine(cpu, "fpu_unimplemented_ea", cpu.ir);
}
int32_t fpu_fbcc(Cpu& cpu, uint32_t, uint32_t) { return unimplemented_routine(cpu, "fpu_fbcc", cpu.ir); }
int32_t fpu_fdbcc(Cpu& cpu, CpuBus&, uint32_t, uint32_t) { return unimplemented_routine(cpu, "fpu_fdbcc", cpu.ir); }
int32_t fpu_fscc(Cpu& cpu, CpuBus&, uint32_t, uint32_t, uint32_t) {
    return unimplemented_routine(cpu, "fpu_fscc", cpu.ir);
}
int32_t fpu_ftrapcc(Cpu& cpu, CpuBus&, uint32_t, uint32_t) { return unimplemented_routine(cpu, "fpu_ftrapcc", cpu.ir); }
int32_t fpu_save_restore(Cpu& cpu, CpuBus&, uint8_t) { return unimplemented_routine(cpu, "fpu_save_restore", cpu.ir); }

}  // namespace m68k
