// CPU state: construction, types, reset, the split status register and MOVEC's register file.
#include "m68k/cpu.hpp"

#include <cassert>

#include "core/decode.hpp"

namespace m68k {
namespace {

struct TypeEntry {
    uint32_t addr_mask;
    uint32_t sr_mask;
    bool mmu;
};

constexpr TypeEntry kTypeTable[kCpuTypeCount] = {
    {0, 0, false},                    // Invalid: unchanged
    {0x00FFFFFF, 0xA71F, false},      // M68000
    {0x00FFFFFF, 0xA71F, false},      // M68010
    {0xFFFFFFFF, 0xF71F, false},      // M68EC020
    {0xFFFFFFFF, 0xF71F, false},      // M68020
    {0xFFFFFFFF, 0xF71F, false},      // M68EC030
    {0xFFFFFFFF, 0xF71F, true},       // M68030
    {0xFFFFFFFF, 0xF71F, false},      // M68EC040
    {0xFFFFFFFF, 0xF71F, false},      // M68LC040
    {0xFFFFFFFF, 0xF71F, true},       // M68040
    {0xFFFFFFFF, 0xA71F, false},      // Scc68070
    {0xFFFFFFFF, 0xB71F, true},       // M68060
};

constexpr uint32_t kPcrReset = 0x04300100;

constexpr CycleModel cycle_model_of(CpuType t) {
    switch (t) {
    case CpuType::Invalid:
    case CpuType::M68000:
    case CpuType::M68010: return CycleModel::Native;
    case CpuType::M68EC020:
    case CpuType::M68020:
    case CpuType::M68EC030:
    case CpuType::M68030: return CycleModel::M68020;
    case CpuType::M68EC040:
    case CpuType::M68LC040:
    case CpuType::M68040: return CycleModel::M68040;
    case CpuType::M68060: return CycleModel::M68060;
    default: return CycleModel::Scc68070;
    }
}

}  // namespace

Cpu::Cpu() { decode_table = decode_table_for(cpu_type); }

void Cpu::set_cpu_type(CpuType type) {
    pairing_state = 2;
    cpu_type = type;
    m68000_class = is_68000_class(type);
    odd_address_rule = m68000_class;
    prefetch_model = uses_prefetch_queue(type);
    cycle_model = static_cast<uint8_t>(cycle_model_of(type));
    decode_table = decode_table_for(type);
    const uint32_t index = static_cast<uint32_t>(type);
    if (type == CpuType::Invalid || index >= kCpuTypeCount) return;
    addr_mask = kTypeTable[index].addr_mask;
    sr_mask = kTypeTable[index].sr_mask;
    mmu_present = kTypeTable[index].mmu;
}

int Cpu::stack_slot() const {
    const uint32_t m = cpu_type == CpuType::M68060 ? 0 : ((sr_s >> 1) & sr_m);
    const int slot = static_cast<int>(sr_s | m);
    assert(slot == 0 || slot == 4 || slot == 6);
    return slot;
}

void Cpu::flush_atc() {
    for (auto& e : atc) e.valid = 0;
}

void Cpu::reset() {
    pairing_state = 2;
    stopped = 0;
    last_request_level = 0;
    sr_t1 = sr_t0 = 0;
    sr_m = 0;
    aborted = 0;
    vbr = 0;
    cacr = 0;
    pcr = kPcrReset;
    buscr = 0;
    branch_cache.state.fill(0);
    tc = 0;
    mmu_enabled = false;
    tt0 = tt1 = 0;
    flush_atc();
    prefetch_queue = {0, 0};
    prefetch_count = 0;
    fetching_ext = false;
    itt0 = itt1 = dtt0 = dtt1 = 0;
    flag_x = flag_n = flag_v = flag_c = 0;
    flag_not_z = 0;
    sp_bank[sr_s] = addr_regs[7];
    sr_s = 4;
    addr_regs[7] = sp_bank[kIspSlot];
    int_mask = 0x700;
}

void Cpu::set_sr_flags(uint16_t raw) {
    const uint32_t value = raw & sr_mask;
    set_ccr(static_cast<uint8_t>(value & 0x1F));
    sr_t1 = value & 0x8000;
    sr_t0 = value & 0x4000;
    uint32_t sm = (value >> 11) & 6;
    if (sm < 4) sm = 0;  // M without S is dropped
    sr_s = sm & 4;
    sr_m = sm & 2;
    int_mask = value & 0x700;
}

uint32_t Cpu::set_sr(uint16_t value) {
    sp_bank[stack_slot()] = addr_regs[7];
    set_sr_flags(value);
    addr_regs[7] = sp_bank[stack_slot()];
    return addr_regs[7];
}

void Cpu::stop_with_sr(uint16_t value) {
    pairing_state = 2;
    set_sr(value);
    stopped |= 1;
}

bool movec_register_valid(CpuType type, uint16_t code) {
    const uint32_t v = static_cast<uint32_t>(type);
    const bool m010 = type == CpuType::M68010 || type == CpuType::Scc68070;
    const bool c020_030 = v >= 3 && v <= 6;
    const bool ec040 = type == CpuType::M68EC040;
    const bool lc040 = type == CpuType::M68LC040 || type == CpuType::M68040;
    const bool m060 = type == CpuType::M68060;
    if (!m010 && !c020_030 && !ec040 && !lc040 && !m060) return false;
    switch (code) {
    case 0x000: case 0x001: case 0x800: case 0x801: return true;
    case 0x002: return !m010;
    case 0x003: return lc040 || m060;
    case 0x004: case 0x005: case 0x006: case 0x007: return ec040 || lc040 || m060;
    case 0x008: return m060;
    case 0x802: return c020_030;
    case 0x803: case 0x804: return c020_030 || ec040 || lc040;
    case 0x805: return lc040;
    case 0x806: case 0x807: return lc040 || m060;
    case 0x808: return m060;
    default: return false;
    }
}

uint32_t Cpu::movec_read(uint16_t code) const {
    const bool m060 = cpu_type == CpuType::M68060;
    switch (code) {
    case 0x000: return sfc;
    case 0x001: return dfc;
    case 0x002: return cacr;
    case 0x003: return tc;
    case 0x004: return itt0;
    case 0x005: return itt1;
    case 0x006: return dtt0;
    case 0x007: return dtt1;
    case 0x008: return m060 ? buscr : 0;
    case 0x800: return sr_s == 0 ? addr_regs[7] : sp_bank[kUspSlot];
    case 0x801: return vbr;
    case 0x802: return caar;
    case 0x803: return (sr_s && sr_m) ? addr_regs[7] : sp_bank[kMspSlot];
    case 0x804: return (sr_s && !sr_m) ? addr_regs[7] : sp_bank[kIspSlot];
    case 0x805: return mmusr;
    case 0x806: return urp;
    case 0x807: return srp;
    case 0x808: return m060 ? pcr : 0;
    default: return 0;
    }
}

void Cpu::movec_write(uint16_t code, uint32_t value) {
    const CpuType t = cpu_type;
    switch (code) {
    case 0x000: sfc = value & 7; break;
    case 0x001: dfc = value & 7; break;
    case 0x002:
        if (t == CpuType::M68EC020 || t == CpuType::M68020) {
            cacr = value & 0x3;
        } else if (t == CpuType::M68EC030 || t == CpuType::M68030) {
            cacr = value & 0x3313;
        } else if (t == CpuType::M68EC040 || t == CpuType::M68LC040 || t == CpuType::M68040) {
            cacr = value & 0x80008000;
        } else if (t == CpuType::M68060) {
            if (value & 0x400000) {
                branch_cache.state.fill(0);
            } else if (value & 0x200000) {
                for (auto& s : branch_cache.state) {
                    if (s & 0x08) s = 0;
                }
            }
            if (!(value & 0x800000) && (cacr & 0x800000)) branch_cache.state.fill(0);
            cacr = value & 0xF880E000;
        }
        break;
    case 0x003:
        if (t == CpuType::M68LC040 || t == CpuType::M68040) {
            tc = value & 0xC000;
        } else if (t == CpuType::M68060) {
            tc = value & 0xFFFE;
        } else {
            tc = value;
        }
        mmu_enabled = (tc & 0x8000) != 0;
        flush_atc();
        break;
    case 0x004: itt0 = value & 0xFFFFE364; flush_atc(); break;
    case 0x005: itt1 = value & 0xFFFFE364; flush_atc(); break;
    case 0x006: dtt0 = value & 0xFFFFE364; flush_atc(); break;
    case 0x007: dtt1 = value & 0xFFFFE364; flush_atc(); break;
    case 0x008:
        if (t == CpuType::M68060) buscr = (buscr & 0x50000000) | (value & 0xA0000000);
        break;
    case 0x800:
        if (sr_s == 0) addr_regs[7] = value; else sp_bank[kUspSlot] = value;
        break;
    case 0x801: vbr = value; break;
    case 0x802: caar = value; break;
    case 0x803:
        if (sr_s && sr_m) addr_regs[7] = value; else sp_bank[kMspSlot] = value;
        break;
    case 0x804:
        if (sr_s && !sr_m) addr_regs[7] = value; else sp_bank[kIspSlot] = value;
        break;
    case 0x805: mmusr = value; break;
    case 0x806: urp = value; flush_atc(); break;
    case 0x807: srp = value; flush_atc(); break;
    case 0x808:
        if (t == CpuType::M68060) pcr = (pcr & ~0x83u) | (value & 0x83u);
        break;
    default: break;
    }
}

}  // namespace m68k
