#include "mmu/mmu.hpp"

#include <array>

#include "core/ea.hpp"
#include "core/exceptions.hpp"

namespace m68k {
namespace {

constexpr uint32_t kTcSre = 1u << 25;
constexpr uint32_t kTcFcl = 1u << 24;
constexpr uint32_t kTc040Enable = 0x8000;
constexpr uint32_t kTc030Enable = 0x80000000;
constexpr uint32_t kTc040Page8k = 0x4000;
constexpr uint32_t kTtEnable = 0x8000;
constexpr uint32_t kTt040WriteProtect = 0x4;

// Descriptor reads are physical: straight to the bus, two words high first, never translated.
uint32_t read_descriptor(const Cpu& cpu, CpuBus& bus, uint32_t address) {
    const uint32_t hi = bus.read_word(address & cpu.addr_mask);
    const uint32_t lo = bus.read_word((address + 2) & cpu.addr_mask);
    return (hi << 16) | lo;
}

// The access's function code: user/supervisor data 1/5, program 2/6.
uint8_t access_fc(bool supervisor, bool instruction) {
    return static_cast<uint8_t>((supervisor ? 4 : 0) | (instruction ? 2 : 1));
}

bool tt_register_matches_040(uint32_t tt, uint32_t address, bool supervisor) {
    if (!(tt & kTtEnable)) return false;
    const uint32_t mask = (tt >> 16) & 0xFF;
    if ((((address >> 24) ^ (tt >> 24)) & ~mask & 0xFF) != 0) return false;
    switch ((tt >> 13) & 3) {
    case 0: return !supervisor;
    case 1: return supervisor;
    default: return true;
    }
}

// The 68040/68060 register of the pair that matches (the first when both do), or 0: a
// matching register has E set, so it is never 0.
uint32_t matching_tt_040(const Cpu& cpu, uint32_t address, bool supervisor, bool instruction) {
    const uint32_t a = instruction ? cpu.itt0 : cpu.dtt0;
    if (tt_register_matches_040(a, address, supervisor)) return a;
    const uint32_t b = instruction ? cpu.itt1 : cpu.dtt1;
    if (tt_register_matches_040(b, address, supervisor)) return b;
    return 0;
}

// Either 68030 TT register matches the access.
bool tt_matches_030(const Cpu& cpu, uint32_t address, uint8_t fc, bool write) {
    return tt_register_matches_030(cpu.tt0, address, fc, write) || tt_register_matches_030(cpu.tt1, address, fc, write);
}

// Address bits [32 - used - bits, 32 - used) as an index; 64-bit so no shift reaches 32.
uint32_t index_bits(uint32_t address, uint32_t used, uint32_t bits) {
    const uint64_t shifted = (static_cast<uint64_t>(address) << used) & 0xFFFFFFFFull;
    return static_cast<uint32_t>(shifted >> (32 - bits));
}

TranslateResult translate_040(Cpu& cpu, CpuBus& bus, uint32_t address, bool write, bool supervisor) {
    const bool page8k = (cpu.tc & kTc040Page8k) != 0;
    const uint32_t page_shift = page8k ? 13 : 12;
    const uint32_t offset_mask = (1u << page_shift) - 1;
    const uint32_t page = address >> page_shift;
    const uint32_t tag = (page << 1) | (supervisor ? 1u : 0u);
    AtcEntry& entry = cpu.atc[page & 0x3F];
    if (entry.valid && entry.tag == tag && !(write && entry.write_protect) &&
        !(!supervisor && entry.supervisor_only)) {
        return make_translate_result(entry.physical_page | (address & offset_mask), 0, kNoFault);
    }

    const uint32_t root_table = (supervisor ? cpu.srp : cpu.urp) & ~0x1FFu;
    const uint32_t root = read_descriptor(cpu, bus, root_table + (address >> 25) * 4);
    if (!(root & 2)) return make_translate_result(address, kStatusRootInvalid, kFaultAccess);

    const uint32_t pointer_table = root & 0xFFFFFE00u;
    const uint32_t pointer = read_descriptor(cpu, bus, pointer_table + ((address >> 18) & 0x7F) * 4);
    if (!(pointer & 2)) return make_translate_result(address, kStatusPointerInvalid, kFaultAccess);

    const uint32_t page_table = pointer & (page8k ? ~0x7Fu : ~0xFFu);
    const uint32_t page_index = page8k ? ((address >> 13) & 0x1F) : ((address >> 12) & 0x3F);
    uint32_t descriptor = read_descriptor(cpu, bus, page_table + page_index * 4);
    switch (descriptor & 3) {
    case 0: return make_translate_result(address, kStatusPageInvalid, kFaultAccess);
    case 2:
        descriptor = bus.read_long((descriptor & ~3u) & cpu.addr_mask);
        if ((descriptor & 3) == 0) return make_translate_result(address, kStatusIndirectInvalid, kFaultAccess);
        break;
    default: break;
    }

    const bool write_protect = ((root | pointer | descriptor) & 4) != 0;
    if (write && write_protect) return make_translate_result(address, kStatusWriteProtected, kFaultAccess);
    const bool supervisor_only = (descriptor & 0x80) != 0;
    if (!supervisor && supervisor_only) return make_translate_result(address, kStatusSupervisorOnly, kFaultAccess);

    entry.tag = tag;
    entry.physical_page = descriptor & ~offset_mask;
    entry.valid = 1;
    entry.write_protect = write_protect ? 1 : 0;
    entry.supervisor_only = supervisor_only ? 1 : 0;
    return make_translate_result(entry.physical_page | (address & offset_mask), 0, kNoFault);
}

TranslateResult translate_030(Cpu& cpu, CpuBus& bus, uint32_t address, bool write, uint8_t fc) {
    const TableSearch s = search_translation_table(cpu, bus, address, fc, -1);
    switch (s.outcome) {
    case SearchOutcome::ConfigurationError:
        return make_translate_result(address, kStatusPageInvalid, kFaultConfiguration);
    case SearchOutcome::Invalid:
    case SearchOutcome::LimitReached:
        return make_translate_result(address, s.indirect_invalid ? kStatusIndirectInvalid : kStatusPageInvalid,
                                     kFaultAccess);
    case SearchOutcome::Found: break;
    }
    if (!(fc & 4) && s.supervisor_only) return make_translate_result(address, kStatusSupervisorOnly, kFaultAccess);
    if (write && s.write_protected) return make_translate_result(address, kStatusWriteProtected, kFaultAccess);
    // After an early termination at the function-code level with IS 0 the offset is all 32 bits.
    const uint64_t offset_mask = (uint64_t{1} << (32 - s.translated_bits)) - 1;
    const uint32_t physical = (s.descriptor & ~0xFFu) + static_cast<uint32_t>(address & offset_mask);
    return make_translate_result(physical, 0, kNoFault);
}

// PTEST, PLOAD and PFLUSH take a control addressing mode: no register, immediate or stepping
// mode, so a bad form never moves an address register.
bool control_kind(uint8_t kind) {
    return kind == 2 || (kind >= 5 && kind <= 10);
}

int32_t pmove(Cpu& cpu, CpuBus& bus, uint16_t ext, uint8_t kind, uint8_t reg) {
    const uint32_t preg = (ext >> 10) & 0x1F;
    const bool to_memory = (ext & 0x200) != 0;
    if (kind == kNoEaKind) return 0;
    if (to_memory && kind >= 9) return 0;  // PC-relative and immediate are not alterable
    switch (preg) {
    case 2:
    case 3:
    case 16: {
        uint32_t& field = preg == 2 ? cpu.tt0 : preg == 3 ? cpu.tt1 : cpu.tc;
        if (to_memory) {
            write_ea(cpu, bus, kind, reg, kSizeLong, field);
            return 4;
        }
        const uint32_t value = read_ea(cpu, bus, kind, reg, kSizeLong);
        if (cpu.aborted) return 4;
        field = value;
        if (preg == 16) {
            cpu.mmu_enabled = (value & (is_68040_class(cpu.cpu_type) ? kTc040Enable : kTc030Enable)) != 0;
        }
        return 4;
    }
    case 24:
        if (to_memory) {
            write_ea(cpu, bus, kind, reg, kSizeWord, cpu.mmusr);
            return 4;
        } else {
            const uint32_t value = read_ea(cpu, bus, kind, reg, kSizeWord);
            if (!cpu.aborted) cpu.mmusr = value;
            return 4;
        }
    case 18:
    case 19: {
        if (kind < 2 || kind > 10) return 0;
        uint32_t address;
        uint32_t& an = cpu.addr_regs[reg & 7];
        // A root pointer is 8 bytes: the stepping modes move An by 8.
        if (kind == 3) {
            address = an;
            an += 8;
        } else if (kind == 4) {
            an -= 8;
            address = an;
        } else {
            address = compute_ea(cpu, bus, kind, reg, kSizeLong).value;
        }
        uint32_t& limit = preg == 18 ? cpu.srp_limit : cpu.crp_limit;
        uint32_t& pointer = preg == 18 ? cpu.srp : cpu.urp;
        if (to_memory) {
            write_data_long(cpu, bus, address, limit);
            write_data_long(cpu, bus, address + 4, pointer);
            return 8;
        }
        const uint32_t l = read_data_long(cpu, bus, address);
        const uint32_t p = read_data_long(cpu, bus, address + 4);
        if (!cpu.aborted) {
            limit = l;
            pointer = p;
        }
        return 8;
    }
    default: return 0;
    }
}

int32_t ptest_030(Cpu& cpu, CpuBus& bus, uint16_t ext, uint8_t kind, uint8_t reg) {
    const uint32_t f = ext & 0x1F;
    uint8_t fc;
    if (f & 0x10) {
        fc = static_cast<uint8_t>(f & 7);
    } else if ((f & 0x18) == 0x08) {
        fc = static_cast<uint8_t>(cpu.data_regs[f & 7] & 7);
    } else if (f == 1) {
        fc = static_cast<uint8_t>(cpu.dfc & 7);
    } else {
        fc = static_cast<uint8_t>(cpu.sfc & 7);
    }
    if (!control_kind(kind)) return 0;
    const Operand op = compute_ea(cpu, bus, kind, reg, kSizeLong);
    if (cpu.aborted) return 8;
    const uint32_t level = (ext >> 10) & 7;
    const PtestResult r = match_transparent_translation(cpu, bus, op.value, fc, (ext & 0x200) == 0, level);
    cpu.mmusr = r.mmusr;
    if ((ext & 0x100) && level != 0) cpu.addr_regs[(ext >> 5) & 7] = r.last_descriptor_address;
    return 8;
}

}  // namespace

bool tt_register_matches_030(uint32_t tt, uint32_t address, uint8_t fc, bool write) {
    if (!(tt & kTtEnable)) return false;
    const uint32_t mask = (tt >> 16) & 0xFF;
    if ((((address >> 24) ^ (tt >> 24)) & ~mask & 0xFF) != 0) return false;
    const uint32_t fc_base = (tt >> 4) & 7;
    const uint32_t fc_mask = tt & 7;
    if (((fc ^ fc_base) & ~fc_mask & 7) != 0) return false;
    const bool rw_ignored = (tt & 0x100) != 0;
    const bool tt_read = (tt & 0x200) != 0;
    return rw_ignored || tt_read == !write;
}

TableSearch search_translation_table(Cpu& cpu, CpuBus& bus, uint32_t address, uint8_t fc, int level_limit) {
    TableSearch s;
    const uint32_t tc = cpu.tc;
    const bool use_srp = (tc & kTcSre) && (fc & 4);
    const uint32_t root_type = (use_srp ? cpu.srp_limit : cpu.crp_limit) & 3;
    if (root_type < 2) return s;

    // The field sizes must add up to the whole address, and pages are at least 256 bytes.
    const uint32_t ps = (tc >> 20) & 0xF;
    const uint32_t is = (tc >> 16) & 0xF;
    std::array<uint32_t, 4> ti{};
    uint32_t index_levels = 0;
    uint32_t sum = ps + is;
    for (uint32_t i = 0; i < 4; ++i) {
        const uint32_t bits = (tc >> (12 - 4 * i)) & 0xF;
        if (bits == 0) break;
        ti[index_levels++] = bits;
        sum += bits;
    }
    const bool fc_level = (tc & kTcFcl) != 0;
    if (ps < 8 || sum != 32 || (index_levels == 0 && !fc_level)) return s;

    uint32_t table = (use_srp ? cpu.srp : cpu.urp) & ~0xFu;
    bool long_format = root_type == 3;
    uint32_t used = is;
    uint32_t pointer = 0;
    const uint32_t total_levels = index_levels + (fc_level ? 1 : 0);
    for (uint32_t level = 0; level < total_levels; ++level) {
        if (level_limit >= 0 && s.levels >= static_cast<uint32_t>(level_limit)) {
            s.outcome = SearchOutcome::LimitReached;
            return s;
        }
        uint32_t index;
        if (fc_level && level == 0) {
            index = fc & 7u;
        } else {
            const uint32_t bits = ti[level - (fc_level ? 1 : 0)];
            index = index_bits(address, used, bits);
            used += bits;
        }
        const uint32_t at = table + index * (long_format ? 8 : 4);
        const uint32_t first = read_descriptor(cpu, bus, at);
        pointer = long_format ? read_descriptor(cpu, bus, at + 4) : first;
        ++s.levels;
        s.last_descriptor_address = at;
        const uint32_t type = first & 3;
        if (type == 0) {
            s.outcome = SearchOutcome::Invalid;
            return s;
        }
        // A table type at the last level is an indirect descriptor: only the page descriptor's
        // address, no WP or S (MC68030 UM, descriptor formats). Page and table descriptors
        // carry both.
        if (type == 1 || level + 1 < total_levels) {
            if (first & 4) s.write_protected = true;
            if (long_format && (first & 0x100)) s.supervisor_only = true;
        }
        if (type == 1) {
            s.outcome = SearchOutcome::Found;
            s.descriptor = pointer;
            s.translated_bits = used;
            return s;
        }
        table = pointer & ~0xFu;
        long_format = type == 3;
    }

    // The levels ran out on a table descriptor: it is an indirect one, pointing at the page
    // descriptor in the size its type gives.
    const uint32_t at = pointer & ~3u;
    const uint32_t first = read_descriptor(cpu, bus, at);
    const uint32_t page = long_format ? read_descriptor(cpu, bus, at + 4) : first;
    s.last_descriptor_address = at;
    if ((first & 3) != 1) {
        s.outcome = SearchOutcome::Invalid;
        s.indirect_invalid = true;
        return s;
    }
    if (first & 4) s.write_protected = true;
    if (long_format && (first & 0x100)) s.supervisor_only = true;
    s.outcome = SearchOutcome::Found;
    s.descriptor = page;
    s.translated_bits = used;
    return s;
}

PtestResult match_transparent_translation(Cpu& cpu, CpuBus& bus, uint32_t address, uint8_t fc, bool write,
                                          uint32_t level) {
    PtestResult r;
    if (level == 0) {
        if (tt_matches_030(cpu, address, fc, write)) r.mmusr = kMmusrTransparent;
        return r;
    }
    const TableSearch s = search_translation_table(cpu, bus, address, fc, static_cast<int>(level));
    r.mmusr = s.levels & 7;
    if (s.write_protected) r.mmusr |= kMmusrWriteProtected;
    if (!(fc & 4) && s.supervisor_only) r.mmusr |= kMmusrSupervisor;
    if (s.outcome == SearchOutcome::Invalid) r.mmusr |= kMmusrInvalid;
    if (s.outcome == SearchOutcome::ConfigurationError) r.mmusr |= kMmusrBusError;
    r.last_descriptor_address = s.last_descriptor_address;
    return r;
}

TranslateResult translate_address(Cpu& cpu, CpuBus& bus, uint32_t address, bool write, bool supervisor,
                                  bool instruction) {
    if (!cpu.mmu_present || !cpu.mmu_enabled) return make_translate_result(address, 0, kNoFault);
    uint8_t fc = access_fc(supervisor, instruction);
    if (cpu.alt_fc_access) {
        fc = static_cast<uint8_t>(cpu.alt_fc & 7);
        supervisor = (fc & 4) != 0;
        instruction = (fc & 3) == 2;
    }
    if (is_68040_class(cpu.cpu_type)) {
        const uint32_t tt = matching_tt_040(cpu, address, supervisor, instruction);
        if (tt != 0) {
            // W: the block is read-only, a write faults as on a write-protected page
            // (MC68040 and MC68060 UM, transparent translation registers).
            if (write && (tt & kTt040WriteProtect)) {
                return make_translate_result(address, kStatusWriteProtected, kFaultAccess);
            }
            return make_translate_result(address, 0, kNoFault);
        }
    } else if (cpu.cpu_type == CpuType::M68030 && tt_matches_030(cpu, address, fc, write)) {
        return make_translate_result(address, 0, kNoFault);
    }
    switch (cpu.cpu_type) {
    case CpuType::M68040:
    case CpuType::M68060: return translate_040(cpu, bus, address, write, supervisor);
    case CpuType::M68030: return translate_030(cpu, bus, address, write, fc);
    default: return make_translate_result(address, 0, kNoFault);
    }
}

void flush_atc(Cpu& cpu) { cpu.flush_atc(); }

int32_t op_pmmu(Cpu& cpu, CpuBus& bus, uint16_t opcode) {
    const CpuType t = cpu.cpu_type;
    if (t != CpuType::M68030 && t != CpuType::M68040) return 0;
    // Only the general coprocessor form carries the MMU instructions.
    if ((opcode >> 6) & 7) return 0;
    if (cpu.sr_s == 0) {
        if (t == CpuType::M68030) return take_exception(cpu, bus, kVectorPrivilege);
        return 0;
    }
    const uint16_t ext = fetch_word(cpu, bus);
    if (cpu.aborted) return 8;
    const uint8_t reg = static_cast<uint8_t>(opcode & 7);
    const uint8_t kind = ea_kind_from_mode(opcode >> 3, opcode);

    if ((ext & 0xE000) == 0x8000) {
        if (t != CpuType::M68030) return 4;
        return ptest_030(cpu, bus, ext, kind, reg);
    }
    const bool pload = (ext & 0xFDE0) == 0x2000;
    const bool pflush = (ext & 0xE200) == 0x2000;
    if (pload || pflush || ext == 0xA000 || (ext >= 0x2C00 && ext <= 0x2C07)) {
        // No ATC on the 68030 model: nothing to load or flush, but an operand's extension words
        // are still consumed so the next instruction starts where it should.
        const bool has_ea = pload || ((ext >> 10) & 7) == 6;
        if (has_ea && control_kind(kind)) compute_ea(cpu, bus, kind, reg, kSizeLong);
        return 8;
    }
    if (ext & 0x8000) return 0;
    return pmove(cpu, bus, ext, kind, reg);
}

}  // namespace m68k
