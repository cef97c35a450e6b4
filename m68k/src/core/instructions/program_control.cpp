#include "core/instructions/program_control.hpp"

#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "core/handler.hpp"
#include "core/prefetch.hpp"
#include "core/timing.hpp"
#include "core/unimplemented.hpp"

namespace m68k {

// 4E71: nothing but its 68000 count; the 68040 family counts it as a change of flow.
int32_t op_nop(Cpu& cpu, CpuBus& /*bus*/, uint16_t /*opcode*/) {
    if (cpu.cpu_type == CpuType::M68EC040 || cpu.cpu_type == CpuType::M68LC040 ||
        cpu.cpu_type == CpuType::M68040) {
        cpu.flow_changed = true;
    }
    return 4;
}

// 4E40-4E4F: the scheduler takes vector 32 + n with PC after the instruction.
int32_t op_trap(Cpu& /*cpu*/, CpuBus& /*bus*/, uint16_t opcode) { return sentinel_trap(opcode & 0xF); }

// 4848-484F.
int32_t op_bkpt(Cpu& /*cpu*/, CpuBus& /*bus*/, uint16_t opcode) { return sentinel_bkpt(opcode & 0x7); }

// 4AFC: illegal on every type.
int32_t op_illegal(Cpu& /*cpu*/, CpuBus& /*bus*/, uint16_t /*opcode*/) { return kSentinelIllegal; }

// Not written yet: each stub fails loudly (core/unimplemented.hpp).
M68K_STUB(op_bra)
M68K_STUB(op_bsr)
M68K_STUB(op_bcc)
M68K_STUB(op_dbcc)
M68K_STUB(op_scc)
M68K_STUB(op_trapcc)
M68K_STUB(op_jmp)
M68K_STUB(op_jsr)
M68K_STUB(op_rts)
M68K_STUB(op_rte)
M68K_STUB(op_rtr)
M68K_STUB(op_rtd)
M68K_STUB(op_trapv)
M68K_STUB(op_reset)
M68K_STUB(op_stop)
M68K_STUB(op_lpstop)

}  // namespace m68k
