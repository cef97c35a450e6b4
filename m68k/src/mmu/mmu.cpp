#include "mmu/mmu.hpp"

#include "core/unimplemented.hpp"

namespace m68k {

// Table walks are not built yet: with translation enabled, logical addresses pass unchanged.
TranslateResult translate_address(Cpu& /*cpu*/, CpuBus& /*bus*/, uint32_t address, bool /*write*/,
                                  bool /*supervisor*/, bool /*instruction*/) {
    return make_translate_result(address, 0, kNoFault);
}

int32_t op_pmmu(Cpu& cpu, CpuBus& /*bus*/, uint16_t opcode) {
    if (cpu.cpu_type != CpuType::M68030 && cpu.cpu_type != CpuType::M68040) return 0;
    return unimplemented_routine(cpu, "op_pmmu", opcode);
}

}  // namespace m68k
