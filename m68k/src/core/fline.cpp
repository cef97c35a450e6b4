// The F line of the 68020 class. It is rare and full of extension-word tests, so it is decoded
// here at run time rather than spread over the table.
#include "core/decode.hpp"
#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "core/fpu_entry.hpp"
#include "core/handler.hpp"
#include "core/instructions/data_movement.hpp"
#include "core/instructions/program_control.hpp"
#include "core/instructions/system_control.hpp"
#include "mmu/mmu.hpp"

namespace m68k {
namespace {

bool save_mode_valid(uint16_t op) {  // cpSAVE: control alterable or -(An)
    const uint8_t k = ea_kind_from_mode(op >> 3, op);
    return k == 2 || k == 4 || k == 5 || k == 6 || k == 7 || k == 8;
}
bool restore_mode_valid(uint16_t op) {  // cpRESTORE: control or (An)+
    const uint8_t k = ea_kind_from_mode(op >> 3, op);
    return k == 2 || k == 3 || k == 5 || k == 6 || k == 7 || k == 8 || k == 9 || k == 10;
}

int32_t fpu_conditional(Cpu& cpu, CpuBus& bus, uint16_t op) {
    const uint32_t mode = (op >> 3) & 7;
    const uint32_t reg = op & 7;
    const uint32_t low = op & 0x3F;
    const bool dbcc = mode == 1;
    const bool trapcc = low == 0x3A || low == 0x3B || low == 0x3C;
    if (!dbcc && !trapcc && ea_kind_from_mode(mode, reg) == kNoEaKind) return kSentinelLineF;
    const uint32_t condition = fetch_word(cpu, bus) & 0x3F;
    const uint32_t operand_words = low == 0x3A ? 1 : low == 0x3B ? 2 : 0;
    if (cpu.cpu_type == CpuType::M68060) {
        if (dbcc) {
            fetch_word(cpu, bus);
            return take_fline_format2(cpu, bus, 0);
        }
        if (trapcc) {
            if (operand_words == 1) fetch_word(cpu, bus);
            if (operand_words == 2) fetch_long(cpu, bus);
            return take_fline_format2(cpu, bus, 0);
        }
        return fpu_unimplemented_ea(cpu, bus, mode, reg);
    }
    if (dbcc) return fpu_fdbcc(cpu, bus, reg, condition);
    if (trapcc) return fpu_ftrapcc(cpu, bus, condition, operand_words);
    return fpu_fscc(cpu, bus, mode, reg, condition);
}

}  // namespace

int32_t op_fline_68020(Cpu& cpu, CpuBus& bus, uint16_t op) {
    const uint32_t cp = (op >> 9) & 7;
    const uint32_t kind = (op >> 6) & 7;
    const bool c040 = is_68040_class(cpu.cpu_type);
    if (cpu.sr_s == 0 && !(cp == 0 && c040)) {
        if ((kind == 4 && save_mode_valid(op)) || (kind == 5 && restore_mode_valid(op))) {
            return take_exception(cpu, bus, kVectorPrivilege);
        }
    }
    const CpuType t = cpu.cpu_type;
    switch (op >> 8) {
    case 0xF0:
    case 0xF1: {
        const int32_t c = op_pmmu(cpu, bus, op);
        return c == 0 ? kSentinelLineF : c;
    }
    case 0xF2:
        if (kind == 0) return fpu_general(cpu, bus, op);
        if (kind == 1) return fpu_conditional(cpu, bus, op);
        {
            const uint32_t displacement =
                kind == 2 ? sign_extend_word(fetch_word(cpu, bus)) : fetch_long(cpu, bus);
            return fpu_fbcc(cpu, op & 0x3F, displacement);
        }
    case 0xF3:
        if (op < 0xF380) {
            const bool ok = kind == 4 ? save_mode_valid(op) : restore_mode_valid(op);
            if (!ok) return kSentinelLineF;
        }
        return fpu_save_restore(cpu, bus, static_cast<uint8_t>(op & 0xFF));
    case 0xF4:
        if (c040 && ((op >> 3) & 3) != 0) return op_cinv_cpush(cpu, bus, op);
        return kSentinelLineF;
    case 0xF5:
        if (op <= 0xF51F) return c040 ? op_pflush(cpu, bus, op) : kSentinelLineF;
        if ((op >= 0xF548 && op <= 0xF54F) || (op >= 0xF568 && op <= 0xF56F)) {
            return c040 && t != CpuType::M68060 ? op_ptest(cpu, bus, op) : kSentinelLineF;
        }
        if ((op >= 0xF588 && op <= 0xF58F) || (op >= 0xF5C8 && op <= 0xF5CF)) {
            return t == CpuType::M68060 ? op_plpa(cpu, bus, op) : kSentinelLineF;
        }
        return kSentinelLineF;
    case 0xF6:
        return c040 && op <= 0xF627 ? op_move16(cpu, bus, op) : kSentinelLineF;
    case 0xF8:
        // op_lpstop checks its extension word (0x01C0) itself.
        return t == CpuType::M68060 && op == 0xF800 ? op_lpstop(cpu, bus, op) : kSentinelLineF;
    default:
        return kSentinelLineF;
    }
}

}  // namespace m68k
