#include "core/instructions/data_movement.hpp"

#include <bit>

#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "core/handler.hpp"
#include "core/prefetch.hpp"
#include "core/timing.hpp"
#include "core/unimplemented.hpp"

namespace m68k {
namespace {

constexpr bool is_m68000(const Cpu& cpu) { return cpu.cpu_type == CpuType::M68000; }

void set_nz(Cpu& cpu, uint32_t value, uint8_t size) {
    const uint32_t v = value & size_mask(size);
    cpu.flag_n = (v & size_msb(size)) ? 0x80u : 0u;
    cpu.flag_not_z = v;
    cpu.flag_v = 0;
    cpu.flag_c = 0;
}

// The MOVE size field: 1 byte, 3 word, 2 long.
constexpr uint8_t move_size(uint16_t opcode) {
    switch ((opcode >> 12) & 3) {
    case 1: return kSizeByte;
    case 3: return kSizeWord;
    default: return kSizeLong;
    }
}

// 68000 destination time of MOVE: -(An) costs as much as (An); no immediate destination.
constexpr int32_t move_destination_time(uint8_t kind, uint8_t size) {
    return kind == 4 ? ea_timing_68000(2, size) : ea_timing_68000(kind, size);
}

int32_t op_movea(Cpu& cpu, CpuBus& bus, uint8_t size, uint8_t src_kind, uint8_t src_reg, uint8_t dst_reg) {
    const uint32_t value = read_ea(cpu, bus, src_kind, src_reg, size);
    prefetch_fill(cpu, bus);
    if (!cpu.aborted) cpu.addr_regs[dst_reg & 7] = size == kSizeWord ? sign_extend_word(value) : value;
    if (is_m68000(cpu)) return 4 + ea_timing_68000(src_kind, size);
    return 4;
}

// The M68000's own destination write order for MOVE.
void move_write_m68000(Cpu& cpu, CpuBus& bus, uint8_t kind, uint8_t reg, uint8_t size, uint32_t value,
                       bool register_source) {
    switch (kind) {
    case 3: {  // (An)+
        const Operand op = compute_ea(cpu, bus, kind, reg, size);
        write_memory_sized(cpu, bus, op.value, size, value);
        return;
    }
    case 2: case 5: case 6:
        if (size == kSizeLong && register_source) {
            const Operand op = compute_ea(cpu, bus, kind, reg, size);
            write_memory_sized(cpu, bus, op.value, size, value);
        } else {
            write_ea(cpu, bus, kind, reg, size, value);
        }
        return;
    case 4: {  // -(An)
        const Operand op = compute_ea(cpu, bus, kind, reg, size);
        prefetch_fill(cpu, bus);
        if (size == kSizeLong) {
            write_data_word(cpu, bus, op.value + 2, value & 0xFFFF);
            write_data_word(cpu, bus, op.value, value >> 16);
        } else if (size == kSizeWord) {
            write_data_word(cpu, bus, op.value, value);
        } else {
            write_data_byte(cpu, bus, op.value, value);
        }
        return;
    }
    case 8: {
        // After a memory source the chip writes before refilling its queue for the second
        // address word; after a register or immediate source it refills first.
        if (cpu.aborted) return;
        const uint32_t hi = fetch_word(cpu, bus);
        cpu.fetching_ext = !register_source;
        const uint32_t lo = fetch_word(cpu, bus);
        cpu.fetching_ext = false;
        const uint32_t address = (hi << 16) | lo;
        if (size == kSizeLong) {
            write_data_long(cpu, bus, address, value);
        } else if (size == kSizeWord) {
            write_data_word(cpu, bus, address, value);
        } else {
            write_data_byte(cpu, bus, address, value);
        }
        return;
    }
    default: write_ea(cpu, bus, kind, reg, size, value); return;
    }
}

// The bytes one MOVEM register takes.
constexpr uint32_t movem_step(uint8_t size) { return size == kSizeWord ? 2u : 4u; }

int32_t movem_extra_68000(uint8_t kind) {
    switch (kind) {
    case 5: case 7: case 9: return 4;
    case 6: case 10: return 6;
    case 8: return 8;
    default: return 0;
    }
}

}  // namespace

int32_t op_move(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t size = move_size(opcode);
    const uint32_t src_mode = (opcode >> 3) & 7;
    const uint8_t src_reg = opcode & 7;
    const uint32_t dst_mode = (opcode >> 6) & 7;
    const uint8_t dst_reg = (opcode >> 9) & 7;
    const uint8_t src_kind = ea_kind_from_mode(src_mode, src_reg);
    if (src_kind == kNoEaKind) return kSentinelIllegal;
    if (size == kSizeByte && src_mode == 1) return kSentinelIllegal;
    if (dst_mode == 7 && dst_reg >= 2) return kSentinelIllegal;
    if (dst_mode == 1) {
        if (size == kSizeByte) return kSentinelIllegal;
        return op_movea(cpu, bus, size, src_kind, src_reg, dst_reg);
    }
    const uint8_t dst_kind = ea_kind_from_mode(dst_mode, dst_reg);
    const uint32_t value = read_ea(cpu, bus, src_kind, src_reg, size);
    const bool register_source = src_kind <= 1 || src_kind == 11;
    if (is_m68000(cpu)) {
        move_write_m68000(cpu, bus, dst_kind, dst_reg, size, value, register_source);
        set_nz(cpu, value, size);
        return 4 + ea_timing_68000(src_kind, size) + move_destination_time(dst_kind, size);
    }
    write_ea(cpu, bus, dst_kind, dst_reg, size, value);
    set_nz(cpu, value, size);
    if (src_kind <= 1) return 2;
    return size == kSizeLong ? 13 : 9;
}

int32_t op_moveq(Cpu& cpu, CpuBus&, uint16_t opcode) {
    const uint32_t value = sign_extend_byte(opcode);
    cpu.data_regs[(opcode >> 9) & 7] = value;
    set_nz(cpu, value, kSizeLong);
    return 4;
}

int32_t op_movem_to_memory(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t size = (opcode & 0x40) ? kSizeLong : kSizeWord;
    const uint8_t kind = ea_kind_from_mode(opcode >> 3, opcode);
    const uint8_t reg = opcode & 7;
    const uint16_t mask = fetch_word(cpu, bus);
    const uint32_t step_bytes = movem_step(size);
    int32_t count = 0;
    if (kind == 4) {
        const uint32_t start = cpu.addr_regs[reg];
        uint32_t address = start;
        const bool m68000 = is_m68000(cpu);
        for (uint32_t bits = mask; bits != 0; bits &= bits - 1) {
            const int bit = std::countr_zero(bits);
            ++count;
            address -= step_bytes;
            // Bit 0 is A7 and bit 15 is D0 in this mode.
            const int r = 15 - bit;
            uint32_t value = r < 8 ? cpu.data_regs[r] : cpu.addr_regs[r - 8];
            if (r - 8 == reg) value = cpu.m68000_class ? start : start - step_bytes;
            if (size == kSizeWord) {
                write_data_word(cpu, bus, address, value);
            } else if (m68000) {
                write_data_word(cpu, bus, address + 2, value & 0xFFFF);
                write_data_word(cpu, bus, address, value >> 16);
            } else {
                write_data_long(cpu, bus, address, value);
            }
        }
        if (!cpu.aborted) cpu.addr_regs[reg] = address;
    } else {
        const Operand op = compute_ea(cpu, bus, kind, reg, size);
        uint32_t address = op.value;
        for (uint32_t bits = mask; bits != 0; bits &= bits - 1) {
            const int r = std::countr_zero(bits);
            ++count;
            const uint32_t value = r < 8 ? cpu.data_regs[r] : cpu.addr_regs[r - 8];
            if (size == kSizeWord) {
                write_data_word(cpu, bus, address, value);
            } else {
                write_data_long(cpu, bus, address, value);
            }
            address += step_bytes;
        }
    }
    int32_t cycles = 8 + count * (size == kSizeWord ? 4 : 8);
    if (is_m68000(cpu)) cycles += movem_extra_68000(kind);
    return cycles;
}

int32_t op_movem_to_registers(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t size = (opcode & 0x40) ? kSizeLong : kSizeWord;
    const uint8_t kind = ea_kind_from_mode(opcode >> 3, opcode);
    const uint8_t reg = opcode & 7;
    const uint16_t mask = fetch_word(cpu, bus);
    const uint32_t step_bytes = movem_step(size);
    uint32_t address = kind == 3 ? cpu.addr_regs[reg] : compute_ea(cpu, bus, kind, reg, size).value;
    int32_t count = 0;
    for (uint32_t bits = mask; bits != 0; bits &= bits - 1) {
        const int r = std::countr_zero(bits);
        ++count;
        const uint32_t value = size == kSizeWord ? sign_extend_word(read_data_word(cpu, bus, address))
                                                 : read_data_long(cpu, bus, address);
        if (!cpu.aborted) {
            if (r < 8) {
                cpu.data_regs[r] = value;
            } else {
                cpu.addr_regs[r - 8] = value;
            }
        }
        address += step_bytes;
    }
    if (kind == 3 && !cpu.aborted) cpu.addr_regs[reg] = address;
    if (cpu.prefetch_model) read_data_word(cpu, bus, address);
    int32_t cycles = 12 + count * (size == kSizeWord ? 4 : 8);
    if (is_m68000(cpu)) cycles += movem_extra_68000(kind);
    return cycles;
}

int32_t op_movep(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint32_t dx = (opcode >> 9) & 7;
    const uint32_t ay = opcode & 7;
    const uint32_t address = cpu.addr_regs[ay] + sign_extend_word(fetch_word(cpu, bus));
    const bool lng = (opcode & 0x40) != 0;
    const int bytes = lng ? 4 : 2;
    if (opcode & 0x80) {
        const uint32_t value = cpu.data_regs[dx];
        for (int i = 0; i < bytes; ++i) {
            const int shift = 8 * (bytes - 1 - i);
            write_data_byte(cpu, bus, address + 2u * static_cast<uint32_t>(i), (value >> shift) & 0xFF);
        }
    } else {
        uint32_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value = (value << 8) | read_data_byte(cpu, bus, address + 2u * static_cast<uint32_t>(i));
        }
        if (!cpu.aborted) {
            uint32_t& d = cpu.data_regs[dx];
            d = lng ? value : ((d & 0xFFFF0000u) | value);
        }
    }
    return lng ? 24 : 16;
}

int32_t op_lea(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t kind = ea_kind_from_mode(opcode >> 3, opcode);
    const Operand op = compute_ea(cpu, bus, kind, opcode & 7, kSizeLong);
    if (!cpu.aborted) cpu.addr_regs[(opcode >> 9) & 7] = op.value;
    if (!cpu.m68000_class) return 4;
    switch (kind) {
    case 2: return 4;
    case 5: case 7: case 9: return 8;
    default: return 12;  // (d8,An,Xn), absolute long, (d8,PC,Xn)
    }
}

int32_t op_pea(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint8_t kind = ea_kind_from_mode(opcode >> 3, opcode);
    const Operand op = compute_ea(cpu, bus, kind, opcode & 7, kSizeLong);
    const bool m68000 = is_m68000(cpu);
    auto push = [&] {
        if (cpu.aborted) return;
        cpu.addr_regs[7] -= 4;
        write_data_long(cpu, bus, cpu.addr_regs[7], op.value);
    };
    if (m68000 && (kind == 7 || kind == 8)) {
        push();
        prefetch_fill(cpu, bus);
    } else {
        prefetch_fill(cpu, bus);
        push();
    }
    if (!m68000) return 12;
    switch (kind) {
    case 2: return 12;
    case 5: case 7: case 9: return 16;
    default: return 20;
    }
}

namespace {
int32_t link_common(Cpu& cpu, CpuBus& bus, uint32_t reg, bool long_form) {
    uint32_t displacement = 0;
    if (!long_form) displacement = sign_extend_word(fetch_word(cpu, bus));
    uint32_t value = cpu.addr_regs[reg];
    const CpuType t = cpu.cpu_type;
    if (reg == 7 && (t == CpuType::M68EC040 || t == CpuType::M68LC040 || t == CpuType::M68040)) value -= 4;
    cpu.addr_regs[7] -= 4;
    write_data_long(cpu, bus, cpu.addr_regs[7], value);
    cpu.addr_regs[reg] = cpu.addr_regs[7];
    if (long_form) {
        if (cpu.aborted) return 16;
        displacement = fetch_long(cpu, bus);
    }
    cpu.addr_regs[7] += displacement;
    return 16;
}
}  // namespace

int32_t op_link_word(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return link_common(cpu, bus, opcode & 7, false); }

int32_t op_link_long(Cpu& cpu, CpuBus& bus, uint16_t opcode) { return link_common(cpu, bus, opcode & 7, true); }

int32_t op_unlk(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint32_t reg = opcode & 7;
    cpu.addr_regs[7] = cpu.addr_regs[reg];
    const uint32_t sp = cpu.addr_regs[7];
    uint32_t value;
    if (cpu.prefetch_model) {
        const uint32_t hi = read_data_word(cpu, bus, sp);
        const uint32_t lo = read_data_word(cpu, bus, sp + 2);
        value = (hi << 16) | lo;
    } else {
        value = read_data_long(cpu, bus, sp);
    }
    cpu.addr_regs[7] = sp + 4;
    cpu.addr_regs[reg] = value;
    return 12;
}

int32_t op_swap(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    prefetch_fill(cpu, bus);
    uint32_t& d = cpu.data_regs[opcode & 7];
    d = (d >> 16) | (d << 16);
    set_nz(cpu, d, kSizeLong);
    return 4;
}

int32_t op_exg(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint32_t x = (opcode >> 9) & 7;
    const uint32_t y = opcode & 7;
    uint32_t* a;
    uint32_t* b;
    switch ((opcode >> 3) & 0x1F) {
    case 8: a = &cpu.data_regs[x]; b = &cpu.data_regs[y]; break;
    case 9: a = &cpu.addr_regs[x]; b = &cpu.addr_regs[y]; break;
    default: a = &cpu.data_regs[x]; b = &cpu.addr_regs[y]; break;
    }
    const uint32_t t = *a;
    *a = *b;
    *b = t;
    prefetch_fill(cpu, bus);
    return 6;
}

int32_t op_moves(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    if (!cpu.sr_s) return take_exception(cpu, bus, kVectorPrivilege);
    const uint8_t size = (opcode >> 6) & 3;
    const uint16_t ext = fetch_word(cpu, bus);
    const bool address_register = (ext & 0x8000) != 0;
    const uint32_t rn = (ext >> 12) & 7;
    const uint8_t kind = ea_kind_from_mode(opcode >> 3, opcode);
    const uint8_t reg = opcode & 7;
    const uint32_t captured = address_register ? cpu.addr_regs[rn] : cpu.data_regs[rn];
    const Operand op = compute_ea(cpu, bus, kind, reg, size);
    const CpuType t = cpu.cpu_type;
    if (ext & 0x0800) {
        uint32_t value = address_register ? cpu.addr_regs[rn] : cpu.data_regs[rn];
        if (address_register && (kind == 3 || kind == 4)) {
            if ((t == CpuType::M68010 || t == CpuType::Scc68070) && size == kSizeLong) value = captured;
            if (t == CpuType::M68060) value = captured;
        }
        cpu.alt_fc_access = true;
        cpu.alt_fc = static_cast<uint8_t>(cpu.dfc & 7);
        if (size == kSizeByte) {
            write_data_byte(cpu, bus, op.value, value);
        } else if (size == kSizeWord) {
            write_data_word(cpu, bus, op.value, value);
        } else {
            write_data_long(cpu, bus, op.value, value);
        }
        cpu.alt_fc_access = false;
    } else {
        cpu.alt_fc_access = true;
        cpu.alt_fc = static_cast<uint8_t>(cpu.sfc & 7);
        uint32_t value = size == kSizeByte ? read_data_byte(cpu, bus, op.value)
                         : size == kSizeWord ? read_data_word(cpu, bus, op.value)
                                             : read_data_long(cpu, bus, op.value);
        cpu.alt_fc_access = false;
        if (!cpu.aborted) {
            if (address_register) {
                if (size == kSizeByte) value = sign_extend_byte(value);
                if (size == kSizeWord) value = sign_extend_word(value);
                cpu.addr_regs[rn] = value;
            } else {
                uint32_t& d = cpu.data_regs[rn];
                const uint32_t m = size_mask(size);
                d = (d & ~m) | (value & m);
            }
        }
    }
    if (is_68040_class(t) && t != CpuType::M68060) {
        cpu.flow_changed = true;
        return 4;
    }
    if (t == CpuType::M68010) {
        int32_t c;
        switch (kind) {
        case 2: c = 18; break;
        case 6: case 8: c = 24; break;
        default: c = 20; break;
        }
        return size == kSizeLong ? c + 4 : c;
    }
    return 4;
}

int32_t op_move16(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const uint32_t y = opcode & 7;
    uint32_t src;
    uint32_t dst;
    if ((opcode & 0xFFF8) == 0xF620) {
        const uint16_t ext = fetch_word(cpu, bus);
        const uint32_t x = (ext >> 12) & 7;
        src = cpu.addr_regs[y] & ~15u;
        dst = cpu.addr_regs[x] & ~15u;
        uint32_t data[4];
        for (uint32_t i = 0; i < 4; ++i) data[i] = read_data_long(cpu, bus, src + 4 * i);
        for (uint32_t i = 0; i < 4; ++i) write_data_long(cpu, bus, dst + 4 * i, data[i]);
        if (!cpu.aborted) {
            cpu.addr_regs[y] += 16;
            if (x != y) cpu.addr_regs[x] += 16;
        }
        return 4;
    }
    const uint32_t absolute = fetch_long(cpu, bus);
    const uint32_t sub = (opcode >> 3) & 3;  // 0 (Ay)+ to abs, 1 abs to (Ay)+, 2 (Ay) to abs, 3 abs to (Ay)
    const bool from_register = (sub & 1) == 0;
    src = (from_register ? cpu.addr_regs[y] : absolute) & ~15u;
    dst = (from_register ? absolute : cpu.addr_regs[y]) & ~15u;
    uint32_t data[4];
    for (uint32_t i = 0; i < 4; ++i) data[i] = read_data_long(cpu, bus, src + 4 * i);
    for (uint32_t i = 0; i < 4; ++i) write_data_long(cpu, bus, dst + 4 * i, data[i]);
    if (!cpu.aborted && sub < 2) cpu.addr_regs[y] += 16;
    return 4;
}

}  // namespace m68k
