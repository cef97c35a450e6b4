#include "fpu/instructions.hpp"

#include <bit>

#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "core/handler.hpp"
#include "fpu/operations.hpp"
#include "fpu/packed.hpp"
#include "fpu/softfloat.hpp"

namespace m68k {
namespace {

constexpr int32_t kMoveCycles = 4;
constexpr int32_t kMovemCycles = 8;
constexpr int32_t kTrapCycles = 34;
constexpr uint32_t kPcrFpuDisabled = 0x2;
constexpr uint8_t kOpmodeRomLoad = 0x17;  // class 0: FMOVECR through the register form
// Opmodes up to 0x26 the M68060 leaves to software: the transcendental functions, FINT,
// FINTRZ, FGETEXP, FGETMAN, FMOD, FREM and FSCALE.
constexpr uint64_t kM68060TrappedOpmodes = 0x62F277F74EULL;

constexpr uint32_t kSelectFpcr = 0x4;
constexpr uint32_t kSelectFpsr = 0x2;
constexpr uint32_t kSelectFpiar = 0x1;

constexpr uint32_t kExtendedBytes = 12;

bool m68060_traps_opmode(uint8_t opmode) {
    if (opmode == kOpmodeRomLoad || (opmode >= 0x30 && opmode <= 0x37)) return true;
    return opmode <= 0x26 && ((kM68060TrappedOpmodes >> opmode) & 1) != 0;
}

bool is_register_format(FpFormat f) {
    return f == FpFormat::Long || f == FpFormat::Single || f == FpFormat::Word || f == FpFormat::Byte;
}

bool is_packed(FpFormat f) { return f == FpFormat::PackedStatic || f == FpFormat::PackedDynamic; }

// How far (An)+ and -(An) move: a byte on A7 keeps the stack word-aligned.
uint32_t step_size(uint32_t size, uint32_t reg) { return size == 1 && reg == 7 ? 2 : size; }

// Modes 2, 5, 6 and mode 7 registers 0-3.
bool is_computed_mode(uint32_t mode, uint32_t reg) {
    return mode == 2 || mode == 5 || mode == 6 || (mode == 7 && reg <= 3);
}

uint32_t computed_address(Cpu& cpu, CpuBus& bus, uint32_t mode, uint32_t reg) {
    return compute_ea(cpu, bus, ea_kind_from_mode(mode, reg), static_cast<uint8_t>(reg), kSizeLong).value;
}

// The address of a memory operand of `size` bytes with (An)+ and -(An) applied. The caller has
// checked the mode is one of 2-6 or 7 with register 0-3.
uint32_t memory_address(Cpu& cpu, CpuBus& bus, uint32_t mode, uint32_t reg, uint32_t size) {
    if (mode == 3) {
        const uint32_t a = cpu.addr_regs[reg];
        cpu.addr_regs[reg] = a + step_size(size, reg);
        return a;
    }
    if (mode == 4) {
        cpu.addr_regs[reg] -= step_size(size, reg);
        return cpu.addr_regs[reg];
    }
    return computed_address(cpu, bus, mode, reg);
}

uint32_t reverse_byte(uint32_t v) {
    uint32_t r = 0;
    for (int i = 0; i < 8; ++i) r |= ((v >> i) & 1) << (7 - i);
    return r;
}

Fx80 from_integer(int32_t v) { return fx80_from_int64(v); }

Fx80 convert_source(FpFormat format, const uint32_t (&w)[3]) {
    switch (format) {
        case FpFormat::Long: return from_integer(static_cast<int32_t>(w[0]));
        case FpFormat::Word: return from_integer(static_cast<int16_t>(w[0] & 0xFFFF));
        case FpFormat::Byte: return from_integer(static_cast<int8_t>(w[0] & 0xFF));
        case FpFormat::Single: return fx80_from_single(w[0]);
        case FpFormat::Double: return fx80_from_double((uint64_t{w[0]} << 32) | w[1]);
        case FpFormat::Extended: return fx80_from_extended_longs(w[0], w[1], w[2]);
        case FpFormat::PackedStatic:
        case FpFormat::PackedDynamic: {
            uint8_t dropped = 0;
            return packed_to_fx80(packed_from_longs(w[0], w[1], w[2]), dropped);
        }
    }
    return {};
}

// Reads the operand's raw words from memory: the first element holds a byte, word or long;
// doubles take two longs, extended and packed three.
void read_memory_words(Cpu& cpu, CpuBus& bus, uint32_t address, FpFormat format, uint32_t (&w)[3]) {
    switch (fp_format_size(format)) {
        case 1: w[0] = read_data_byte(cpu, bus, address); break;
        case 2: w[0] = read_data_word(cpu, bus, address); break;
        case 4: w[0] = read_data_long(cpu, bus, address); break;
        default:
            for (uint32_t i = 0; i * 4 < fp_format_size(format); ++i) {
                w[i] = read_data_long(cpu, bus, address + 4 * i);
            }
            break;
    }
}

void read_immediate_words(Cpu& cpu, CpuBus& bus, FpFormat format, uint32_t (&w)[3]) {
    const uint32_t size = fp_format_size(format);
    if (size <= 2) {
        w[0] = fetch_word(cpu, bus);  // a byte immediate is the low byte of one word
        return;
    }
    for (uint32_t i = 0; i * 4 < size; ++i) w[i] = fetch_long(cpu, bus);
}

// The k-factor of a packed destination, a signed 7-bit value.
int packed_k_factor(const Cpu& cpu, FpFormat format, uint16_t command) {
    const uint32_t raw = format == FpFormat::PackedStatic ? command : cpu.data_regs[(command >> 4) & 7];
    const uint32_t k = raw & 0x7F;
    return k >= 0x40 ? static_cast<int>(k) - 0x80 : static_cast<int>(k);
}

// The memory image of FP[source] in a destination format, rounded by FPCR's mode.
void store_words(const Cpu& cpu, Fx80 x, FpFormat format, uint16_t command, uint32_t (&w)[3]) {
    const RoundingMode mode = fpu_rounding_mode(cpu.fpcr);
    uint8_t dropped = 0;  // FMOVE to memory never touches FPSR
    switch (format) {
        case FpFormat::Long: w[0] = static_cast<uint32_t>(fx80_to_integer(x, mode, 32)); break;
        case FpFormat::Word: w[0] = static_cast<uint32_t>(fx80_to_integer(x, mode, 16)) & 0xFFFF; break;
        case FpFormat::Byte: w[0] = static_cast<uint32_t>(fx80_to_integer(x, mode, 8)) & 0xFF; break;
        case FpFormat::Single: w[0] = fx80_to_single(x, mode, dropped); break;
        case FpFormat::Double: {
            const uint64_t d = fx80_to_double(x, mode, dropped);
            w[0] = static_cast<uint32_t>(d >> 32);
            w[1] = static_cast<uint32_t>(d);
            break;
        }
        case FpFormat::Extended: {
            const ExtendedLongs e = fx80_to_extended_longs(x);
            w[0] = e.longs[0];
            w[1] = e.longs[1];
            w[2] = e.longs[2];
            break;
        }
        case FpFormat::PackedStatic:
        case FpFormat::PackedDynamic: {
            const PackedDecimal p = fx80_to_packed(x, packed_k_factor(cpu, format, command), dropped);
            w[0] = p.longs[0];
            w[1] = p.longs[1];
            w[2] = p.longs[2];
            break;
        }
    }
}

// Class 0 and class 2 share the operation step.
int32_t operation_or_line_f(Cpu& cpu, uint8_t opmode, uint32_t n, Fx80 source) {
    const int32_t c = fpu_operation(cpu, opmode, n, source);
    return c == 0 ? kSentinelLineF : c;
}

void load_constant(Cpu& cpu, uint32_t n, uint8_t offset) {
    cpu.fp[n] = fpu_constant_rom(offset);
    fpu_set_condition_codes(cpu, cpu.fp[n]);
}

int32_t register_to_register(Cpu& cpu, CpuBus& bus, uint16_t command) {
    const uint32_t m = (command >> 10) & 7;
    const uint32_t n = (command >> 7) & 7;
    const uint8_t opmode = command & 0x7F;
    if (cpu.cpu_type == CpuType::M68060 && m68060_traps_opmode(opmode)) return take_fline_format2(cpu, bus, 0);
    if (opmode == kOpmodeRomLoad) {
        load_constant(cpu, n, static_cast<uint8_t>(m));
        return kMoveCycles;
    }
    return operation_or_line_f(cpu, opmode, n, cpu.fp[m]);
}

int32_t memory_to_register(Cpu& cpu, CpuBus& bus, uint16_t opcode, uint16_t command) {
    const auto format = static_cast<FpFormat>((command >> 10) & 7);
    const uint32_t n = (command >> 7) & 7;
    const uint8_t opmode = command & 0x7F;
    const bool m68060 = cpu.cpu_type == CpuType::M68060;
    if (format == FpFormat::PackedDynamic) {  // FMOVECR
        if (m68060) return take_fline_format2(cpu, bus, 0);
        load_constant(cpu, n, opmode);
        return kMoveCycles;
    }
    if (m68060) {
        if (m68060_traps_opmode(opmode) && opmode != kOpmodeRomLoad) {
            return take_fline_format2(cpu, bus, fpu_operand_address(cpu, bus, opcode, format));
        }
        if (format == FpFormat::PackedStatic) {
            const bool immediate = (opcode & 0x3F) == 0x3C;
            return take_exception(cpu, bus, immediate ? kVectorFpUnimplementedEa : kVectorFpUnsupportedType);
        }
    }
    const FpOperandRead src = fpu_read_operand(cpu, bus, opcode, format);
    if (!src.valid) return kSentinelLineF;
    return operation_or_line_f(cpu, opmode, n, src.value);
}

int32_t register_to_memory(Cpu& cpu, CpuBus& bus, uint16_t opcode, uint16_t command) {
    const auto format = static_cast<FpFormat>((command >> 10) & 7);
    const uint32_t mode = (opcode >> 3) & 7;
    const uint32_t reg = opcode & 7;
    const bool to_data_reg = mode == 0;
    if (to_data_reg ? !is_register_format(format) : !(is_computed_mode(mode, reg) || mode == 3 || mode == 4)) {
        return kSentinelLineF;
    }
    uint32_t w[3] = {0, 0, 0};
    store_words(cpu, cpu.fp[(command >> 7) & 7], format, command, w);
    const uint32_t size = fp_format_size(format);
    if (to_data_reg) {
        const uint32_t keep = size == 1 ? 0xFFFFFF00u : size == 2 ? 0xFFFF0000u : 0u;
        cpu.data_regs[reg] = (cpu.data_regs[reg] & keep) | w[0];
        return kMoveCycles;
    }
    const uint32_t address = memory_address(cpu, bus, mode, reg, size);
    switch (size) {
        case 1: write_data_byte(cpu, bus, address, w[0]); break;
        case 2: write_data_word(cpu, bus, address, w[0]); break;
        default:
            for (uint32_t i = 0; i * 4 < size; ++i) write_data_long(cpu, bus, address + 4 * i, w[i]);
            break;
    }
    return kMoveCycles;
}

// FMOVE and FMOVEM of FPCR, FPSR and FPIAR.
int32_t control_registers(Cpu& cpu, CpuBus& bus, uint16_t opcode, uint16_t command, bool into_registers) {
    const uint32_t select = (command >> 10) & 7;
    const uint32_t count = static_cast<uint32_t>(std::popcount(select));
    const uint32_t mode = (opcode >> 3) & 7;
    const uint32_t reg = opcode & 7;
    uint32_t* const targets[3] = {&cpu.fpcr, &cpu.fpsr, &cpu.fpiar};
    constexpr uint32_t kBits[3] = {kSelectFpcr, kSelectFpsr, kSelectFpiar};

    if (mode == 0) {
        if (count != 1) return kSentinelLineF;
        for (int i = 0; i < 3; ++i) {
            if ((select & kBits[i]) == 0) continue;
            if (into_registers) {
                *targets[i] = cpu.data_regs[reg];
            } else {
                cpu.data_regs[reg] = *targets[i];
            }
        }
        return kMoveCycles;
    }
    const bool immediate = mode == 7 && reg == 4;
    if (mode == 1 || (mode == 7 && reg > 4) || (immediate && !into_registers)) return kSentinelLineF;
    if (immediate) {
        if (cpu.cpu_type == CpuType::M68060 && count >= 2) {
            return take_exception(cpu, bus, kVectorFpUnimplementedEa);
        }
        for (int i = 0; i < 3; ++i) {
            if (select & kBits[i]) *targets[i] = fetch_long(cpu, bus);
        }
        return kMoveCycles;
    }
    uint32_t address;
    if (mode == 3) {
        address = cpu.addr_regs[reg];
        cpu.addr_regs[reg] += 4 * count;
    } else if (mode == 4) {
        cpu.addr_regs[reg] -= 4 * count;
        address = cpu.addr_regs[reg];
    } else {
        address = computed_address(cpu, bus, mode, reg);
    }
    for (int i = 0; i < 3; ++i) {
        if ((select & kBits[i]) == 0) continue;
        if (into_registers) {
            *targets[i] = read_data_long(cpu, bus, address);
        } else {
            write_data_long(cpu, bus, address, *targets[i]);
        }
        address += 4;
    }
    return kMoveCycles;
}

// FMOVEM of FP0-FP7.
int32_t move_multiple(Cpu& cpu, CpuBus& bus, uint16_t opcode, uint16_t command, bool into_registers) {
    const uint32_t mode = (opcode >> 3) & 7;
    const uint32_t reg = opcode & 7;
    const bool dynamic = (command & 0x0800) != 0;
    if (mode <= 1 || (mode == 7 && reg >= 4)) return kSentinelLineF;
    if (dynamic && cpu.cpu_type == CpuType::M68060) return take_exception(cpu, bus, kVectorFpUnimplementedEa);
    uint32_t list = dynamic ? cpu.data_regs[(command >> 4) & 7] & 0xFF : command & 0xFF;
    // With bit 12 set the list names FP0 in bit 7; make bit i name FPi either way.
    if (command & 0x1000) list = reverse_byte(list);
    const uint32_t bytes = kExtendedBytes * static_cast<uint32_t>(std::popcount(list));
    uint32_t address;
    if (mode == 3) {
        address = cpu.addr_regs[reg];
        cpu.addr_regs[reg] += bytes;
    } else if (mode == 4) {
        cpu.addr_regs[reg] -= bytes;
        address = cpu.addr_regs[reg];
    } else {
        address = computed_address(cpu, bus, mode, reg);
    }
    for (uint32_t i = 0; i < 8; ++i) {
        if (((list >> i) & 1) == 0) continue;
        if (into_registers) {
            const uint32_t l0 = read_data_long(cpu, bus, address);
            const uint32_t l1 = read_data_long(cpu, bus, address + 4);
            const uint32_t l2 = read_data_long(cpu, bus, address + 8);
            cpu.fp[i] = fx80_from_extended_longs(l0, l1, l2);
        } else {
            const ExtendedLongs e = fx80_to_extended_longs(cpu.fp[i]);
            for (uint32_t k = 0; k < 3; ++k) write_data_long(cpu, bus, address + 4 * k, e.longs[k]);
        }
        address += kExtendedBytes;
    }
    return kMovemCycles;
}

}  // namespace

uint32_t fp_format_size(FpFormat format) {
    switch (format) {
        case FpFormat::Long:
        case FpFormat::Single: return 4;
        case FpFormat::Word: return 2;
        case FpFormat::Byte: return 1;
        case FpFormat::Double: return 8;
        case FpFormat::Extended:
        case FpFormat::PackedStatic:
        case FpFormat::PackedDynamic: return kExtendedBytes;
    }
    return 0;
}

void fpsr_set_exceptions(Cpu& cpu, uint8_t flags) { cpu.fpsr = fpsr_with_exceptions(cpu.fpsr, flags); }

void fpu_set_condition_codes(Cpu& cpu, Fx80 value) { cpu.fpsr = fpsr_with_condition_codes(cpu.fpsr, value); }

int32_t fpu_operation(Cpu& cpu, uint8_t opmode, uint32_t n, Fx80 source) {
    n &= 7;
    const FpuOpResult r = fpu_compute(opmode, cpu.fp[n], source, cpu.fpcr);
    switch (r.kind) {
        case FpuOpKind::Invalid: return 0;
        case FpuOpKind::Store:
        case FpuOpKind::StoreQuotient:
        case FpuOpKind::ConditionOnly: cpu.fp[n] = r.value; break;
        case FpuOpKind::SinCos:
            cpu.fp[n] = r.value;
            cpu.fp[opmode & 7] = r.cosine;
            break;
        case FpuOpKind::Compare:
        case FpuOpKind::Test: break;
    }
    cpu.fpsr = fpsr_after(cpu.fpsr, r, cpu.fp[n]);
    return kMoveCycles;
}

FpOperandRead fpu_read_operand(Cpu& cpu, CpuBus& bus, uint16_t opcode, FpFormat format) {
    const uint32_t mode = (opcode >> 3) & 7;
    const uint32_t reg = opcode & 7;
    uint32_t w[3] = {0, 0, 0};
    if (mode == 0) {
        if (!is_register_format(format)) return {};
        w[0] = cpu.data_regs[reg];
    } else if (mode == 7 && reg == 4) {
        read_immediate_words(cpu, bus, format, w);
    } else if (mode == 1 || (mode == 7 && reg > 4)) {
        return {};
    } else {
        const uint32_t address = memory_address(cpu, bus, mode, reg, fp_format_size(format));
        read_memory_words(cpu, bus, address, format, w);
    }
    return {true, convert_source(format, w)};
}

uint32_t fpu_operand_address(Cpu& cpu, CpuBus& bus, uint16_t opcode, FpFormat format) {
    const uint32_t mode = (opcode >> 3) & 7;
    const uint32_t reg = opcode & 7;
    const uint32_t size = fp_format_size(format);
    if (mode <= 1 || (mode == 7 && reg > 4)) return 0;
    if (mode == 7 && reg == 4) {
        cpu.pc += size <= 2 ? 2 : size;
        return 0;
    }
    return memory_address(cpu, bus, mode, reg, size);
}

int32_t fpu_unimplemented_ea(Cpu& cpu, CpuBus& bus, uint32_t mode, uint32_t reg) {
    mode &= 7;
    reg &= 7;
    uint32_t address = 0;
    if (mode == 3 || mode == 4 || is_computed_mode(mode, reg)) address = memory_address(cpu, bus, mode, reg, 1);
    return take_fline_format2(cpu, bus, address);
}

int32_t fpu_general(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const CpuType type = cpu.cpu_type;
    if (is_68000_class(type) || type == CpuType::M68EC040 || type == CpuType::M68LC040) return kSentinelLineF;
    if (type == CpuType::M68060 && (cpu.pcr & kPcrFpuDisabled) != 0) {
        take_fpu_disabled_fline(cpu, bus);
        return kTrapCycles;
    }
    const auto command = static_cast<uint16_t>(read_data_word(cpu, bus, cpu.pc));
    // A fault on the command word has taken its exception; fetching on would skew the stream.
    if (cpu.aborted) return kMoveCycles;
    cpu.fpu_null_state = false;
    const uint32_t opclass = command >> 13;
    if (opclass == 1) return kSentinelLineF;
    if (opclass == 3 && type == CpuType::M68060 && is_packed(static_cast<FpFormat>((command >> 10) & 7))) {
        return take_exception(cpu, bus, kVectorFpUnsupportedType);
    }
    fetch_word(cpu, bus);
    switch (opclass) {
        case 0: return register_to_register(cpu, bus, command);
        case 2: return memory_to_register(cpu, bus, opcode, command);
        case 3: return register_to_memory(cpu, bus, opcode, command);
        case 4: return control_registers(cpu, bus, opcode, command, true);
        case 5: return control_registers(cpu, bus, opcode, command, false);
        case 6: return move_multiple(cpu, bus, opcode, command, true);
        default: return move_multiple(cpu, bus, opcode, command, false);
    }
}

}  // namespace m68k
