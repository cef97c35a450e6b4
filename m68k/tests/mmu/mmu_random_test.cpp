// Random translation trees against a model written from the MC68030, MC68040 and MC68060
// user's manuals: every access and every 68030 PTEST the model can judge must agree with the
// MMU. The trees are drawn to reach the places where a descriptor's bits mean different things
// by kind: indirect descriptors pointing at addresses with bit 2 (and bit 7) set, long indirect
// and invalid descriptors full of unused bits, early termination at every level, and 68040/68060
// transparent translation registers with W set.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <unordered_map>
#include <vector>

#include "mmu/mmu.hpp"
#include "support/test_bus.hpp"

namespace m68k {
namespace {

// Descriptor memory as the model reads it. The generator writes each long here and into the
// bus; the model never looks at the bus.
struct Memory {
    test::TestBus& bus;
    std::unordered_map<uint32_t, uint32_t> longs;
    uint32_t next_table = 0x100000;

    void put(uint32_t address, uint32_t value) {
        longs[address] = value;
        bus.poke_long(address, value);
    }
    uint32_t get(uint32_t address) const {
        const auto it = longs.find(address);
        return it == longs.end() ? 0 : it->second;
    }
    bool has(uint32_t address) const { return longs.count(address) != 0; }
    // Zeroed memory inside the bus's 16 MiB, aligned as asked.
    uint32_t allocate(uint32_t size, uint32_t align) {
        next_table = (next_table + align - 1) & ~(align - 1);
        const uint32_t at = next_table;
        next_table += size;
        return at;
    }
    // Back to an empty bus for the next tree.
    void clear() {
        for (const auto& [address, value] : longs) bus.poke_long(address, 0);
        longs.clear();
        next_table = 0x100000;
    }
};

// What the manual says an access gives: a physical address, or a fault with one of the listed
// statuses (two when a write to a write-protected page is also a user access to a
// supervisor-only one: the manuals do not rank them).
struct Verdict {
    bool fault = false;
    uint32_t physical = 0;
    uint8_t status = 0, or_status = 0;
};

Verdict pass(uint32_t physical) { return {false, physical, 0, 0}; }
Verdict fail(uint8_t status) { return {true, 0, status, status}; }
Verdict protection(bool write_fault, bool supervisor_fault) {
    if (write_fault && supervisor_fault) return {true, 0, kStatusWriteProtected, kStatusSupervisorOnly};
    if (supervisor_fault) return fail(kStatusSupervisorOnly);
    return fail(kStatusWriteProtected);
}

void expect_verdict(TranslateResult t, const Verdict& v, uint32_t logical) {
    if (v.fault) {
        ASSERT_EQ(translate_fault_kind(t), kFaultAccess);
        const uint8_t status = translate_status(t);
        EXPECT_TRUE(status == v.status || status == v.or_status) << int{status} << " for " << int{v.status};
        EXPECT_EQ(translate_address_of(t), logical);
    } else {
        ASSERT_EQ(translate_fault_kind(t), kNoFault) << "status " << int{translate_status(t)};
        EXPECT_EQ(translate_address_of(t), v.physical);
    }
}

uint32_t chance(std::mt19937& rng, uint32_t percent) { return rng() % 100 < percent ? 1u : 0u; }

// A logical address near one already used (sharing its upper tables), or a fresh one.
uint32_t pick_address(std::mt19937& rng, std::vector<uint32_t>& used) {
    uint32_t a = rng();
    if (!used.empty() && chance(rng, 70)) {
        const uint32_t near = used[rng() % used.size()];
        const uint32_t spread = 1u << (rng() % 26);
        a = near ^ (rng() & (spread - 1));
    }
    used.push_back(a);
    return a;
}

// ---- MC68030 (User's Manual, MMU chapter: TC, root pointers, descriptor formats, MMUSR) ----

struct Shape030 {
    uint32_t ps = 12, is = 0;
    std::vector<uint32_t> ti;  // TIA, TIB, ... up to the first 0
    bool fcl = false, sre = false;
    uint32_t tc() const {
        uint32_t v = 0x80000000u | (sre ? 1u << 25 : 0) | (fcl ? 1u << 24 : 0) | (ps << 20) | (is << 16);
        for (size_t i = 0; i < ti.size(); ++i) v |= ti[i] << (12 - 4 * i);
        return v;
    }
};

Shape030 random_shape(std::mt19937& rng) {
    for (;;) {
        Shape030 s;
        s.ps = 8 + rng() % 8;
        s.is = rng() % 5;
        s.fcl = chance(rng, 30) != 0;
        s.sre = chance(rng, 50) != 0;
        const uint32_t levels = 1 + rng() % 4;
        uint32_t left = 32 - s.ps - s.is;
        for (uint32_t i = 0; i + 1 < levels; ++i) {
            const uint32_t w = 1 + rng() % 9;
            if (w >= left) break;
            s.ti.push_back(w);
            left -= w;
        }
        if (left >= 1 && left <= 10) {
            s.ti.push_back(left);
            return s;
        }
    }
}

// One level of the search: the number of entries of its table and how it indexes.
struct Level030 {
    bool function_code;
    uint32_t width;  // index bits (3 for the function-code level)
};

struct Tree030 {
    Shape030 shape;
    uint32_t crp_type = 2, srp_type = 2;  // 2 short, 3 long descriptors at the top
    uint32_t crp_table = 0, srp_table = 0;

    std::vector<Level030> levels() const {
        std::vector<Level030> v;
        if (shape.fcl) v.push_back({true, 3});
        for (const uint32_t w : shape.ti) v.push_back({false, w});
        return v;
    }
};

// Where a search for one address and function code stands: the table it reads next, the size
// of that table's descriptors, and the logical bits not yet used for indexing.
struct Walk030 {
    uint32_t table;
    bool long_format;
    uint32_t below;

    Walk030(const Tree030& t, uint8_t fc) {
        const bool use_srp = t.shape.sre && (fc & 4);
        table = use_srp ? t.srp_table : t.crp_table;
        long_format = (use_srp ? t.srp_type : t.crp_type) == 3;
        below = 32 - t.shape.is;
    }

    // The address of this level's descriptor; uses up the level's index bits.
    uint32_t descriptor_at(const Level030& level, uint32_t logical, uint8_t fc) {
        uint32_t index = fc;
        if (!level.function_code) {
            below -= level.width;
            index = (logical >> below) & ((1u << level.width) - 1);
        }
        return table + index * (long_format ? 8 : 4);
    }
};

// What the search meets for one address and function code, read from the model's memory.
struct Search030 {
    uint32_t levels = 0;  // table levels read (the indirect's target is not one)
    uint32_t last = 0;    // address of the last descriptor read
    bool invalid = false, indirect_invalid = false;
    bool wp = false, s = false;
    uint32_t page = 0;
    uint64_t offset_mask = 0;
    bool indirect_bit2 = false;  // met an indirect descriptor whose address has bit 2 set
};

Search030 model_search(const Memory& m, const Tree030& t, uint32_t logical, uint8_t fc) {
    Search030 r;
    Walk030 w(t, fc);
    const std::vector<Level030> levels = t.levels();
    for (size_t i = 0; i < levels.size(); ++i) {
        const uint32_t at = w.descriptor_at(levels[i], logical, fc);
        const bool long_format = w.long_format;
        const uint32_t below = w.below;
        const uint32_t first = m.get(at);
        const uint32_t address = long_format ? m.get(at + 4) : first;
        ++r.levels;
        r.last = at;
        const uint32_t dt = first & 3;
        if (dt == 0) {  // invalid: every other bit unused
            r.invalid = true;
            return r;
        }
        const bool last_level = i + 1 == levels.size();
        if (dt == 1 || !last_level) {  // page or table descriptor: WP bit 2, long S bit 8
            r.wp |= (first & 4) != 0;
            r.s |= long_format && (first & 0x100) != 0;
        }
        if (dt == 1) {
            r.page = address & 0xFFFFFF00u;
            r.offset_mask = (uint64_t{1} << below) - 1;
            return r;
        }
        if (!last_level) {
            w.table = address & 0xFFFFFFF0u;
            w.long_format = dt == 3;
            continue;
        }
        // Indirect: the address of a page descriptor (short for DT 2, long for DT 3), no flags.
        const uint32_t target = address & 0xFFFFFFFCu;
        const bool long_target = dt == 3;
        r.indirect_bit2 = (target & 4) != 0;
        const uint32_t t0 = m.get(target);
        r.last = target;
        if ((t0 & 3) != 1) {
            r.invalid = r.indirect_invalid = true;
            return r;
        }
        r.wp |= (t0 & 4) != 0;
        r.s |= long_target && (t0 & 0x100) != 0;
        r.page = (long_target ? m.get(target + 4) : t0) & 0xFFFFFF00u;
        r.offset_mask = (uint64_t{1} << below) - 1;
    }
    return r;
}

uint32_t flags_030(std::mt19937& rng, bool long_format, bool page) {
    uint32_t f = chance(rng, 25) ? 4u : 0u;                // WP
    if (long_format && chance(rng, 25)) f |= 0x100;        // S
    if (chance(rng, 50)) f |= 8;                           // U
    if (page && chance(rng, 50)) f |= 0x10;                // M
    if (page && chance(rng, 30)) f |= 0x40;                // CI
    return f;
}

// Writes a descriptor at `at` (long or short) for the level `i`, choosing its kind.
void make_descriptor_030(Memory& m, const Tree030& t, std::mt19937& rng, uint32_t at, bool long_format, size_t i,
                         uint32_t below_after) {
    const std::vector<Level030> levels = t.levels();
    const bool last_level = i + 1 == levels.size();
    const uint32_t roll = rng() % 100;
    auto put = [&](uint32_t first, uint32_t second) {
        m.put(at, first);
        if (long_format) m.put(at + 4, second);
    };
    if (roll < (last_level ? 10u : 6u)) {  // invalid, unused bits at random
        put(rng() & ~3u, rng());
        return;
    }
    const bool page = last_level ? roll < 55 : roll < 22;
    if (page) {
        // The page address aligned to what is left untranslated (at least 256 bytes).
        const uint64_t span = uint64_t{1} << std::max(below_after, 8u);
        const uint32_t base = static_cast<uint32_t>(rng() & ~(span - 1));
        const uint32_t flags = flags_030(rng, long_format, true) | 1;
        if (long_format) {
            put((rng() & 0xFFFF0000u) | flags, base);
        } else {
            put(base | flags, 0);
        }
        return;
    }
    if (!last_level) {
        const bool next_long = chance(rng, 40) != 0;
        const uint32_t entries = 1u << levels[i + 1].width;
        const uint32_t table = m.allocate(entries * (next_long ? 8 : 4), 16);
        const uint32_t flags = flags_030(rng, long_format, false) | (next_long ? 3u : 2u);
        if (long_format) {
            put(0x7FFF0000u | flags, table);  // upper limit 0x7FFF: never exceeded
        } else {
            put(table | flags, 0);
        }
        return;
    }
    // Indirect to a short page descriptor, often at an address with bit 2 set, or to a long one.
    const bool long_target = chance(rng, 40) != 0;
    uint32_t target = m.allocate(8, 8);
    if (!long_target && chance(rng, 60)) target += 4;
    const uint32_t dt = long_target ? 3u : 2u;
    if (long_format) {
        put((rng() & ~3u) | dt, target);  // every bit of the first long but DT unused
    } else {
        put(target | dt, 0);
    }
    const uint64_t span = uint64_t{1} << std::max(below_after, 8u);
    const uint32_t base = static_cast<uint32_t>(rng() & ~(span - 1));
    if (chance(rng, 15)) {
        m.put(target, rng() & ~3u);  // invalid
        if (long_target) m.put(target + 4, rng());
    } else if (long_target) {
        m.put(target, (rng() & 0xFFFF0000u) | flags_030(rng, true, true) | 1);
        m.put(target + 4, base);
    } else {
        m.put(target, base | flags_030(rng, false, true) | 1);
    }
}

// Makes the descriptors the search for this address and function code will read.
void grow_030(Memory& m, const Tree030& t, std::mt19937& rng, uint32_t logical, uint8_t fc) {
    Walk030 w(t, fc);
    const std::vector<Level030> levels = t.levels();
    for (size_t i = 0; i < levels.size(); ++i) {
        const uint32_t at = w.descriptor_at(levels[i], logical, fc);
        if (!m.has(at)) make_descriptor_030(m, t, rng, at, w.long_format, i, w.below);
        const uint32_t first = m.get(at);
        const uint32_t dt = first & 3;
        if (dt < 2 || i + 1 == levels.size()) return;
        w.table = (w.long_format ? m.get(at + 4) : first) & 0xFFFFFFF0u;
        w.long_format = dt == 3;
    }
}

TEST(MmuRandom, Mc68030TablesAgainstTheManual) {
    std::mt19937 rng(0x68030);
    test::TestBus bus;
    bus.recording = false;
    Memory m{bus, {}};
    int judged = 0, through_bit2 = 0;
    for (int tree = 0; tree < 200; ++tree) {
        m.clear();
        Tree030 t;
        t.shape = random_shape(rng);
        t.crp_type = 2 + rng() % 2;
        t.srp_type = 2 + rng() % 2;
        const uint32_t top_width = t.levels()[0].width;
        t.crp_table = m.allocate((1u << top_width) * 8, 16);
        t.srp_table = m.allocate((1u << top_width) * 8, 16);

        Cpu cpu;
        cpu.set_cpu_type(CpuType::M68030);
        cpu.reset();
        cpu.tc = t.shape.tc();
        cpu.mmu_enabled = true;
        cpu.crp_limit = 0x7FFF0000u | t.crp_type;
        cpu.urp = t.crp_table;
        cpu.srp_limit = 0x7FFF0000u | t.srp_type;
        cpu.srp = t.srp_table;

        std::vector<uint32_t> used;
        for (int k = 0; k < 60; ++k) {
            const uint32_t logical = pick_address(rng, used);
            const uint8_t fc = static_cast<uint8_t>(std::array{1, 2, 5, 6}[rng() % 4]);
            grow_030(m, t, rng, logical, fc);
            const Search030 s = model_search(m, t, logical, fc);
            const bool supervisor = (fc & 4) != 0;
            const bool program = (fc & 3) == 2;
            for (const bool write : {false, true}) {
                if (program && write) continue;
                SCOPED_TRACE(testing::Message() << std::hex << "tc " << cpu.tc << " address " << logical << " fc "
                                                << int{fc} << " write " << write << " tree " << std::dec << tree);
                Verdict v;
                if (s.invalid) {
                    v = fail(s.indirect_invalid ? kStatusIndirectInvalid : kStatusPageInvalid);
                } else if ((write && s.wp) || (!supervisor && s.s)) {
                    v = protection(write && s.wp, !supervisor && s.s);
                } else {
                    v = pass(s.page + static_cast<uint32_t>(logical & s.offset_mask));
                }
                expect_verdict(translate_address(cpu, bus, logical, write, supervisor, program), v, logical);
                // PTEST #fc,(An),#7: N, W, S (user function codes only), I, and the last
                // descriptor's address.
                const PtestResult p = match_transparent_translation(cpu, bus, logical, fc, write, 7);
                const uint32_t mmusr = (s.levels & 7) | (s.wp ? 0x0800u : 0) | (!supervisor && s.s ? 0x2000u : 0) |
                                       (s.invalid ? 0x0400u : 0);
                EXPECT_EQ(p.mmusr, mmusr);
                EXPECT_EQ(p.last_descriptor_address, s.last);
                ++judged;
                if (s.indirect_bit2 && !s.invalid) ++through_bit2;
                if (testing::Test::HasFailure()) return;
            }
        }
    }
    EXPECT_GT(judged, 15000);
    EXPECT_GT(through_bit2, 1000) << "translations through an indirect descriptor with bit 2 set";
}

// ---- MC68040 and MC68060 (User's Manuals, MMU chapters: TT registers, table walk, descriptors) ----

struct Tree040 {
    bool page8k = false;
    uint32_t urp = 0, srp = 0;
    uint32_t itt0 = 0, itt1 = 0, dtt0 = 0, dtt1 = 0;
    uint32_t page_size() const { return page8k ? 0x2000u : 0x1000u; }
};

bool tt_matches(uint32_t tt, uint32_t logical, bool supervisor) {
    if (!(tt & 0x8000)) return false;
    const uint32_t base = tt >> 24, mask = (tt >> 16) & 0xFF;
    if (((logical >> 24) ^ base) & ~mask & 0xFF) return false;
    const uint32_t s_field = (tt >> 13) & 3;  // 00 user, 01 supervisor, 1x either
    return s_field >= 2 || (s_field == 1) == supervisor;
}

// Root (bits 31-25), pointer (24-18) and page index; UDT 0/1 invalid, PDT 0 invalid, PDT 2
// indirect (bits 31-2 the page descriptor's address). WP is bit 2 at every level, S bit 7 of the
// page descriptor.
struct Seen040 {
    bool judged = true;
    bool tt_write_protect = false;  // a write refused by a TT register's W
    bool indirect_bit2 = false;     // a walk through an indirect descriptor with bit 2 set
};

Verdict model_040(const Memory& m, const Tree040& t, uint32_t logical, bool write, bool supervisor, bool program,
                  Seen040& seen) {
    seen = {};
    const uint32_t a = program ? t.itt0 : t.dtt0;
    const uint32_t b = program ? t.itt1 : t.dtt1;
    const bool ma = tt_matches(a, logical, supervisor), mb = tt_matches(b, logical, supervisor);
    if (ma || mb) {
        // Both matching with different W: the manuals leave the choice open, no verdict.
        if (ma && mb && ((a ^ b) & 4)) seen.judged = false;
        const uint32_t tt = ma ? a : b;
        seen.tt_write_protect = write && (tt & 4);
        if (seen.tt_write_protect) return fail(kStatusWriteProtected);
        return pass(logical);
    }
    const uint32_t root = m.get(((supervisor ? t.srp : t.urp) & 0xFFFFFE00u) + (logical >> 25) * 4);
    if ((root & 2) == 0) return fail(kStatusRootInvalid);
    const uint32_t pointer = m.get((root & 0xFFFFFE00u) + ((logical >> 18) & 0x7F) * 4);
    if ((pointer & 2) == 0) return fail(kStatusPointerInvalid);
    const uint32_t page_table = pointer & (t.page8k ? 0xFFFFFF80u : 0xFFFFFF00u);
    const uint32_t index = t.page8k ? (logical >> 13) & 0x1F : (logical >> 12) & 0x3F;
    uint32_t page = m.get(page_table + index * 4);
    if ((page & 3) == 0) return fail(kStatusPageInvalid);
    if ((page & 3) == 2) {
        seen.indirect_bit2 = (page & 4) != 0;
        page = m.get(page & 0xFFFFFFFCu);
        if ((page & 3) == 0) return fail(kStatusIndirectInvalid);
    }
    const bool wp = ((root | pointer | page) & 4) != 0;
    const bool s = (page & 0x80) != 0;
    if ((write && wp) || (!supervisor && s)) return protection(write && wp, !supervisor && s);
    return pass((page & ~(t.page_size() - 1)) | (logical & (t.page_size() - 1)));
}

uint32_t random_tt(std::mt19937& rng, const std::vector<uint32_t>& used) {
    if (!chance(rng, 60)) return chance(rng, 50) ? 0 : rng() & ~0x8000u;  // disabled
    const uint32_t near = used.empty() ? rng() : used[rng() % used.size()];
    const uint32_t masks[] = {0x00, 0x00, 0x01, 0x03, 0x0F, 0x80};
    const uint32_t mask = masks[rng() % 6];
    // Base, mask, E, S field, U1/U0 and CM at random, W (bit 2) half the time.
    return (near & 0xFF000000u) | (mask << 16) | 0x8000 | ((rng() % 4) << 13) | (rng() & 0x0360) |
           (chance(rng, 50) ? 4u : 0u);
}

// Makes the descriptors the walk for this address will read.
void grow_040(Memory& m, const Tree040& t, std::mt19937& rng, uint32_t logical, bool supervisor) {
    const uint32_t root_at = ((supervisor ? t.srp : t.urp) & 0xFFFFFE00u) + (logical >> 25) * 4;
    if (!m.has(root_at)) {
        if (chance(rng, 5)) {
            m.put(root_at, rng() & ~2u);
        } else {
            m.put(root_at, m.allocate(0x200, 0x200) | 2 | (rng() & 1) | (chance(rng, 20) ? 4 : 0) | (rng() & 8));
        }
    }
    const uint32_t root = m.get(root_at);
    if ((root & 2) == 0) return;
    const uint32_t pointer_at = (root & 0xFFFFFE00u) + ((logical >> 18) & 0x7F) * 4;
    const uint32_t page_table_size = t.page8k ? 0x80 : 0x100;
    if (!m.has(pointer_at)) {
        if (chance(rng, 5)) {
            m.put(pointer_at, rng() & ~2u);
        } else {
            m.put(pointer_at, m.allocate(page_table_size, page_table_size) | 2 | (rng() & 1) |
                                  (chance(rng, 20) ? 4 : 0) | (rng() & 8));
        }
    }
    const uint32_t pointer = m.get(pointer_at);
    if ((pointer & 2) == 0) return;
    const uint32_t page_table = pointer & ~(page_table_size - 1);
    const uint32_t index = t.page8k ? (logical >> 13) & 0x1F : (logical >> 12) & 0x3F;
    const uint32_t page_at = page_table + index * 4;
    if (m.has(page_at)) return;
    // A resident page descriptor: address, PDT 1 or 3, WP, S, and G, U1/U0, CM, M, U at random.
    auto resident = [&]() {
        return (rng() & ~(t.page_size() - 1)) | (chance(rng, 50) ? 1u : 3u) | (chance(rng, 20) ? 4u : 0u) |
               (chance(rng, 20) ? 0x80u : 0u) | (rng() & 0x778);
    };
    const uint32_t roll = rng() % 100;
    if (roll < 8) {
        m.put(page_at, rng() & ~3u);
    } else if (roll < 60) {
        m.put(page_at, resident());
    } else {
        // Indirect, its address often with bit 2 (and sometimes bit 7) set.
        uint32_t target = m.allocate(0x100, 0x100) + 4 * (rng() % 64);
        if (chance(rng, 60)) target |= 4;
        m.put(page_at, target | 2);
        m.put(target, chance(rng, 12) ? rng() & ~3u : resident());
    }
}

TEST(MmuRandom, Mc68040And68060TablesAndTransparentTranslationAgainstTheManuals) {
    for (const CpuType type : {CpuType::M68040, CpuType::M68060}) {
        SCOPED_TRACE(static_cast<int>(type));
        std::mt19937 rng(type == CpuType::M68040 ? 0x68040 : 0x68060);
        test::TestBus bus;
        bus.recording = false;
        Memory m{bus, {}};
        int judged = 0, tt_write_protect = 0, through_bit2 = 0;
        for (int tree = 0; tree < 250; ++tree) {
            m.clear();
            Tree040 t;
            t.page8k = chance(rng, 50) != 0;
            t.urp = m.allocate(0x200, 0x200);
            t.srp = chance(rng, 30) ? t.urp : m.allocate(0x200, 0x200);
            std::vector<uint32_t> used;
            for (int i = 0; i < 8; ++i) used.push_back(rng());
            t.itt0 = random_tt(rng, used);
            t.itt1 = random_tt(rng, used);
            t.dtt0 = random_tt(rng, used);
            t.dtt1 = random_tt(rng, used);

            Cpu cpu;
            cpu.set_cpu_type(type);
            cpu.reset();
            cpu.urp = t.urp;
            cpu.srp = t.srp;
            cpu.movec_write(0x003, t.page8k ? 0xC000 : 0x8000);  // TC, which also empties the ATC
            cpu.movec_write(0x004, t.itt0);
            cpu.movec_write(0x005, t.itt1);
            cpu.movec_write(0x006, t.dtt0);
            cpu.movec_write(0x007, t.dtt1);

            // The ATC stays across the tree's accesses: the tables only grow where they were
            // invalid, so no cached page changes.
            for (int k = 0; k < 40; ++k) {
                uint32_t logical = pick_address(rng, used);
                const uint32_t tt = std::array{t.itt0, t.itt1, t.dtt0, t.dtt1}[rng() % 4];
                if ((tt & 0x8000) && chance(rng, 30)) logical = (tt & 0xFF000000u) | (logical & 0x00FFFFFFu);
                const bool supervisor = chance(rng, 50) != 0;
                const bool program = chance(rng, 25) != 0;
                grow_040(m, t, rng, logical, supervisor);
                for (const bool write : {false, true, false}) {
                    if (program && write) continue;
                    SCOPED_TRACE(testing::Message() << std::hex << "address " << logical << " s " << supervisor
                                                    << " program " << program << " write " << write << " tree "
                                                    << std::dec << tree);
                    Seen040 seen;
                    const Verdict v = model_040(m, t, logical, write, supervisor, program, seen);
                    const TranslateResult r = translate_address(cpu, bus, logical, write, supervisor, program);
                    if (!seen.judged) continue;
                    expect_verdict(r, v, logical);
                    ++judged;
                    tt_write_protect += seen.tt_write_protect ? 1 : 0;
                    through_bit2 += seen.indirect_bit2 ? 1 : 0;
                    if (testing::Test::HasFailure()) return;
                }
            }
        }
        EXPECT_GT(judged, 18000);
        EXPECT_GT(tt_write_protect, 300) << "writes refused by a TT register's W";
        EXPECT_GT(through_bit2, 300) << "walks through an indirect descriptor with bit 2 set";
    }
}

}  // namespace
}  // namespace m68k
