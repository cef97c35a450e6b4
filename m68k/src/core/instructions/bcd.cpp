#include "core/instructions/bcd.hpp"

#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "core/handler.hpp"
#include "core/prefetch.hpp"
#include "core/timing.hpp"

namespace m68k {

namespace {

enum class NvRule : uint8_t { M68000, M68020, Unchanged };

NvRule nv_rule(CpuType t) {
    if (is_68000_class(t)) return NvRule::M68000;
    if (is_68040_class(t)) return NvRule::Unchanged;
    return NvRule::M68020;
}

// `v68000`: the 68000 class's V for this operation.
void set_bcd_flags(Cpu& cpu, uint32_t result, bool carry, bool v68000) {
    cpu.flag_c = carry ? 0x100 : 0;
    cpu.flag_x = cpu.flag_c;
    cpu.flag_not_z |= result;
    switch (nv_rule(cpu.cpu_type)) {
    case NvRule::M68000:
        cpu.flag_n = result & 0x80;
        cpu.flag_v = v68000 ? 0x80 : 0;
        break;
    case NvRule::M68020:
        cpu.flag_n = result & 0x80;
        cpu.flag_v = 0;
        break;
    case NvRule::Unchanged: break;
    }
}

uint32_t x_bit(const Cpu& cpu) { return (cpu.flag_x >> 8) & 1; }

// The byte step of a predecrement: A7 keeps the stack word-aligned.
uint32_t byte_step(uint32_t reg) { return reg == 7 ? 2 : 1; }

void write_byte_result_timed(Cpu& cpu, CpuBus& bus, uint32_t reg, uint32_t value) {
    prefetch_fill(cpu, bus);
    cpu.data_regs[reg] = (cpu.data_regs[reg] & 0xFFFFFF00u) | (value & 0xFF);
}

using Core = uint32_t (*)(Cpu&, uint32_t, uint32_t);

int32_t bcd_register(Cpu& cpu, CpuBus& bus, uint16_t opcode, Core core) {
    const uint32_t y = opcode & 7;
    const uint32_t x = (opcode >> 9) & 7;
    const uint32_t r = core(cpu, cpu.data_regs[y] & 0xFF, cpu.data_regs[x] & 0xFF);
    write_byte_result_timed(cpu, bus, x, r);
    return 6;
}

int32_t bcd_memory(Cpu& cpu, CpuBus& bus, uint16_t opcode, Core core) {
    const uint32_t y = opcode & 7;
    const uint32_t x = (opcode >> 9) & 7;
    // Both registers move before any access; with x = y the source is the upper byte.
    const uint32_t source_address = cpu.addr_regs[y] -= byte_step(y);
    const uint32_t destination_address = cpu.addr_regs[x] -= byte_step(x);
    const uint32_t s = read_data_byte(cpu, bus, source_address);
    const uint32_t d = read_data_byte(cpu, bus, destination_address);
    const uint32_t r = core(cpu, s, d);
    prefetch_fill(cpu, bus);
    write_data_byte(cpu, bus, destination_address, r);
    return 18;
}

}  // namespace

uint32_t abcd_core(Cpu& cpu, uint32_t s, uint32_t d) {
    const uint32_t x = x_bit(cpu);
    const uint32_t bin = s + d + x;
    const uint32_t low = (s & 0xF) + (d & 0xF) + x;
    uint32_t r = bin + (low >= 10 ? 6 : 0);
    const bool carry = (r & 0x3F0) > 0x90;
    if (carry) r += 0x60;
    const uint32_t result = r & 0xFF;
    set_bcd_flags(cpu, result, carry, (bin & 0x80) == 0 && (result & 0x80) != 0);
    return result;
}

uint32_t sbcd_core(Cpu& cpu, uint32_t s, uint32_t d) {
    const int32_t x = static_cast<int32_t>(x_bit(cpu));
    const int32_t bin = static_cast<int32_t>(d) - static_cast<int32_t>(s) - x;
    const int32_t low = static_cast<int32_t>(d & 0xF) - static_cast<int32_t>(s & 0xF) - x;
    const int32_t r = low < 0 ? bin - 6 : bin;
    const bool carry = (static_cast<uint32_t>(r) & 0x300) != 0;
    const uint32_t result = static_cast<uint32_t>(bin < 0 ? r - 0x60 : r) & 0xFF;
    set_bcd_flags(cpu, result, carry, (bin & 0x80) != 0 && (result & 0x80) == 0);
    return result;
}

int32_t op_abcd_register(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return bcd_register(cpu, bus, opcode, abcd_core); }
int32_t op_sbcd_register(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return bcd_register(cpu, bus, opcode, sbcd_core); }
int32_t op_abcd_memory(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return bcd_memory(cpu, bus, opcode, abcd_core); }
int32_t op_sbcd_memory(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return bcd_memory(cpu, bus, opcode, sbcd_core); }

int32_t op_nbcd(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t kind = ea_kind_from_mode(opcode >> 3, opcode);
    const uint8_t reg = opcode & 7;
    const Operand op = compute_ea(cpu, bus, kind, reg, kSizeByte);
    const int32_t c = static_cast<int32_t>(read_operand(cpu, bus, op, kSizeByte));
    const int32_t x = static_cast<int32_t>(x_bit(cpu));
    const int32_t bin = 0 - c - x;
    const bool borrow = (c & 0xF) + x > 0;
    const int32_t dd = borrow ? bin - 6 : bin;
    const bool carry = (static_cast<uint32_t>(dd) & 0x1F0) >= 0xA0;
    const uint32_t result = static_cast<uint32_t>(carry ? dd - 0x60 : dd) & 0xFF;
    set_bcd_flags(cpu, result, carry, (bin & 0x80) != 0 && (result & 0x80) == 0);
    if (kind == static_cast<uint8_t>(EaKind::DataReg)) {
        if (cpu.cpu_type == CpuType::M68000) {
            write_byte_result_timed(cpu, bus, reg, result);
        } else {
            write_operand(cpu, bus, op, kSizeByte, result);
        }
        return 6;
    }
    write_operand(cpu, bus, op, kSizeByte, result);
    return cpu.m68000_class ? 8 + ea_timing_68000(kind, kSizeByte) : 8;
}

int32_t op_pack_register(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint32_t adj = fetch_word(cpu, bus);
    const uint32_t y = opcode & 7;
    const uint32_t x = (opcode >> 9) & 7;
    const uint32_t v = ((cpu.data_regs[y] & 0xFFFF) + adj) & 0xFFFF;
    cpu.data_regs[x] = (cpu.data_regs[x] & 0xFFFFFF00u) | ((v >> 4) & 0xF0) | (v & 0x0F);
    return 6;
}

int32_t op_unpk_register(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint32_t adj = fetch_word(cpu, bus);
    const uint32_t y = opcode & 7;
    const uint32_t x = (opcode >> 9) & 7;
    const uint32_t b = cpu.data_regs[y];
    const uint32_t v = (((b << 4) & 0x0F00) | (b & 0x0F)) + adj;
    cpu.data_regs[x] = (cpu.data_regs[x] & 0xFFFF0000u) | (v & 0xFFFF);
    return 8;
}

int32_t op_pack_memory(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint32_t adj = fetch_word(cpu, bus);
    const uint32_t y = opcode & 7;
    const uint32_t x = (opcode >> 9) & 7;
    cpu.addr_regs[y] -= 2;
    const uint32_t w = read_data_word(cpu, bus, cpu.addr_regs[y]);
    cpu.addr_regs[x] -= byte_step(x);
    const uint32_t v = w + adj;
    write_data_byte(cpu, bus, cpu.addr_regs[x], (v & 0xF) | ((v >> 4) & 0xF0));
    return 13;
}

int32_t op_unpk_memory(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint32_t adj = fetch_word(cpu, bus);
    const uint32_t y = opcode & 7;
    const uint32_t x = (opcode >> 9) & 7;
    cpu.addr_regs[y] -= byte_step(y);
    const uint32_t b = read_data_byte(cpu, bus, cpu.addr_regs[y]);
    cpu.addr_regs[x] -= 2;
    write_data_word(cpu, bus, cpu.addr_regs[x], (((b & 0xF) | ((b << 4) & 0xF00)) + adj) & 0xFFFF);
    return 13;
}

}  // namespace m68k
