#include "core/instructions/compare_swap.hpp"

#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "core/handler.hpp"
#include "core/instructions/integer_arith.hpp"

namespace m68k {
namespace {

bool is_040(CpuType t) { return t == CpuType::M68EC040 || t == CpuType::M68LC040 || t == CpuType::M68040; }

uint32_t read_sized(Cpu& cpu, CpuBus& bus, uint32_t address, uint8_t size) {
    if (size == kSizeByte) return read_data_byte(cpu, bus, address);
    if (size == kSizeWord) return read_data_word(cpu, bus, address);
    return read_data_long(cpu, bus, address);
}

void write_sized(Cpu& cpu, CpuBus& bus, uint32_t address, uint8_t size, uint32_t value) {
    if (size == kSizeByte) write_data_byte(cpu, bus, address, value);
    else if (size == kSizeWord) write_data_word(cpu, bus, address, value);
    else write_data_long(cpu, bus, address, value);
}

void write_dn_low(Cpu& cpu, uint32_t reg, uint8_t size, uint32_t value) {
    uint32_t& d = cpu.data_regs[reg & 7];
    const uint32_t mask = size_mask(size);
    d = (d & ~mask) | (value & mask);
}

uint32_t general_register(const Cpu& cpu, uint32_t r) {
    r &= 15;
    return r < 8 ? cpu.data_regs[r] : cpu.addr_regs[r - 8];
}

int32_t sign_extend(uint32_t v, uint8_t size) {
    if (size == kSizeByte) return static_cast<int32_t>(sign_extend_byte(v));
    if (size == kSizeWord) return static_cast<int32_t>(sign_extend_word(v));
    return static_cast<int32_t>(v);
}

}  // namespace

int32_t op_cas(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint16_t ext = fetch_word(cpu, bus);
    const uint32_t dc = ext & 7;
    const uint32_t du = (ext >> 6) & 7;
    const uint8_t size = static_cast<uint8_t>(((opcode >> 9) & 3) - 1);
    const uint32_t mode = (opcode >> 3) & 7;
    const uint8_t reg = static_cast<uint8_t>(opcode & 7);
    if (mode <= 1 || (mode == 7 && reg >= 2)) return take_exception(cpu, bus, kVectorIllegal);

    uint32_t address;
    bool new_an = false;
    uint32_t an_value = 0;
    const uint32_t step = (size == kSizeByte && reg == 7) ? 2 : size_bytes(size);
    if (mode == 3) {
        address = cpu.addr_regs[reg];
        an_value = address + step;
        new_an = true;
    } else if (mode == 4) {
        address = cpu.addr_regs[reg] - step;
        an_value = address;
        new_an = true;
    } else {
        address = compute_ea(cpu, bus, ea_kind_from_mode(mode, reg), reg, size).value;
    }
    if (cpu.cpu_type == CpuType::M68060 && size != kSizeByte && (address & (size_bytes(size) - 1)) != 0) {
        return take_exception(cpu, bus, kVectorUnimplementedInteger);
    }
    if (new_an) cpu.addr_regs[reg] = an_value;

    const uint32_t operand = read_sized(cpu, bus, address, size);
    if (cpu.aborted) return 20;
    cmp_flags(cpu, size, cpu.data_regs[dc], operand);
    if (cpu.flag_not_z == 0) {
        write_sized(cpu, bus, address, size, cpu.data_regs[du] & size_mask(size));
    } else {
        write_dn_low(cpu, dc, size, operand);
    }
    if (is_040(cpu.cpu_type)) cpu.flow_changed = true;
    return 20;
}

int32_t op_cas2(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint16_t ext1 = fetch_word(cpu, bus);
    const uint16_t ext2 = fetch_word(cpu, bus);
    const uint8_t size = ((opcode >> 9) & 7) == 6 ? kSizeWord : kSizeLong;
    const uint32_t address1 = general_register(cpu, ext1 >> 12);
    const uint32_t address2 = general_register(cpu, ext2 >> 12);
    const uint32_t dc1 = ext1 & 7, du1 = (ext1 >> 6) & 7;
    const uint32_t dc2 = ext2 & 7, du2 = (ext2 >> 6) & 7;
    const uint32_t operand1 = read_sized(cpu, bus, address1, size);
    const uint32_t operand2 = read_sized(cpu, bus, address2, size);
    if (cpu.aborted) return 40;
    cmp_flags(cpu, size, cpu.data_regs[dc1], operand1);
    bool equal = cpu.flag_not_z == 0;
    if (equal) {
        cmp_flags(cpu, size, cpu.data_regs[dc2], operand2);
        equal = cpu.flag_not_z == 0;
    }
    if (equal) {
        write_sized(cpu, bus, address1, size, cpu.data_regs[du1] & size_mask(size));
        write_sized(cpu, bus, address2, size, cpu.data_regs[du2] & size_mask(size));
    } else if (is_68040_class(cpu.cpu_type)) {
        write_dn_low(cpu, dc1, size, operand1);
        write_dn_low(cpu, dc2, size, operand2);
    } else {
        write_dn_low(cpu, dc2, size, operand2);
        write_dn_low(cpu, dc1, size, operand1);
    }
    if (is_040(cpu.cpu_type)) cpu.flow_changed = true;
    return 40;
}

int32_t op_cmp2_chk2(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint32_t size_code = (opcode >> 9) & 3;
    if (size_code == 3) return take_exception(cpu, bus, kVectorIllegal);
    const uint8_t size = static_cast<uint8_t>(size_code);
    const uint16_t ext = fetch_word(cpu, bus);
    const uint32_t mode = (opcode >> 3) & 7;
    const uint8_t reg = static_cast<uint8_t>(opcode & 7);
    if (mode == 7 && reg >= 4) return take_exception(cpu, bus, kVectorIllegal);
    const Operand op = compute_ea(cpu, bus, ea_kind_from_mode(mode, reg), reg, size);
    const int32_t lower = sign_extend(read_sized(cpu, bus, op.value, size), size);
    const int32_t upper = sign_extend(read_sized(cpu, bus, op.value + size_bytes(size), size), size);
    if (cpu.aborted) return 12;
    const uint32_t rn = ext >> 12;
    const int32_t value = rn < 8 ? sign_extend(cpu.data_regs[rn], size) : static_cast<int32_t>(cpu.addr_regs[rn - 8]);
    cpu.flag_n = 0;
    cpu.flag_v = 0;
    cpu.flag_c = 0;
    cpu.flag_not_z = 1;
    if (value == lower || value == upper) {
        cpu.flag_not_z = 0;
        return 12;
    }
    const bool in_range = lower <= upper ? (lower < value && value < upper) : (value < upper || value > lower);
    if (in_range) return 12;
    cpu.flag_c = 0x100;
    if (ext & 0x0800) return take_exception_format2(cpu, bus, kVectorChk);
    return 12;
}

int32_t op_callm(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    if (cpu.cpu_type != CpuType::M68020) return take_exception(cpu, bus, kVectorLineF);
    (void)fetch_word(cpu, bus);  // argument count: the simplified module frame copies none
    const uint32_t mode = (opcode >> 3) & 7;
    const uint8_t reg = static_cast<uint8_t>(opcode & 7);
    if (mode == 7 && reg >= 5) return take_exception(cpu, bus, kVectorIllegal);
    const uint32_t descriptor = compute_ea(cpu, bus, ea_kind_from_mode(mode, reg), reg, kSizeLong).value;
    (void)read_data_byte(cpu, bus, descriptor);
    (void)read_data_byte(cpu, bus, descriptor + 1);
    const uint32_t entry = read_data_long(cpu, bus, descriptor + 4);
    (void)read_data_long(cpu, bus, descriptor + 8);
    uint32_t& sp = cpu.addr_regs[7];
    sp -= 4;
    write_data_long(cpu, bus, sp, cpu.pc);
    sp -= 4;
    write_data_long(cpu, bus, sp, descriptor | 0xC0000000u);
    if (cpu.aborted) return 60;
    cpu.pc = entry;
    cpu.flow_changed = true;
    return 60;
}

int32_t op_rtm(Cpu& cpu, CpuBus& bus, uint16_t) {
    if (cpu.cpu_type != CpuType::M68020) return take_exception(cpu, bus, kVectorLineF);
    uint32_t& sp = cpu.addr_regs[7];
    (void)read_data_long(cpu, bus, sp);
    sp += 4;
    const uint32_t pc = read_data_long(cpu, bus, sp);
    sp += 4;
    if (cpu.aborted) return 40;
    cpu.pc = pc;
    cpu.flow_changed = true;
    return 40;
}

}  // namespace m68k
