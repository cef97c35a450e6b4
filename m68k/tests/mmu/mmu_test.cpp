// The MMU over hand-built tables: 68040/68060 walks and ATC, the 68030 table search, transparent
// translation, write protection, fault frames and the 68030 MMU instructions.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "mmu/mmu.hpp"
#include "support/custom_table.hpp"
#include "support/test_bus.hpp"

namespace m68k {
namespace {

using test::Access;

constexpr uint32_t kAddress = 0x12345678;
constexpr uint32_t kHandler = 0x3000;
constexpr uint32_t kStack = 0x8000;

struct Rig {
    explicit Rig(CpuType type) {
        cpu.set_cpu_type(type);
        cpu.reset();
        for (uint32_t v = 0; v < 64; ++v) bus.poke_long(4 * v, kHandler + 0x10 * v);
        cpu.addr_regs[7] = kStack;
        bus.events.clear();
    }
    size_t reads() const {
        return static_cast<size_t>(std::count_if(bus.events.begin(), bus.events.end(), [](const test::BusEvent& e) {
            return e.kind == Access::ReadWord || e.kind == Access::ReadLong;
        }));
    }
    TranslateResult translate(uint32_t address, bool write, bool supervisor, bool instruction = false) {
        return translate_address(cpu, bus, address, write, supervisor, instruction);
    }
    Cpu cpu;
    test::TestBus bus;
};

// ---- 68040 / 68060 ----

// Root at 0x10000, pointer table at 0x11000, page table at 0x12000, laid out for kAddress:
// root index 9, pointer index 0x0D, page index 5 (4 KB) or 2 (8 KB).
void build_040_tables(test::TestBus& bus, uint32_t root_flags = 0, uint32_t pointer_flags = 0,
                      uint32_t page_flags = 0) {
    bus.poke_long(0x10000 + 9 * 4, 0x00011000 | 2 | root_flags);
    bus.poke_long(0x11000 + 0x0D * 4, 0x00012000 | 3 | pointer_flags);
    bus.poke_long(0x12000 + 5 * 4, 0x00345000 | 1 | page_flags);
    bus.poke_long(0x12000 + 2 * 4, 0x00346000 | 1 | page_flags);
}

void enable_040(Rig& r, uint32_t tc) {
    r.cpu.urp = 0x10000;
    r.cpu.srp = 0x10000;
    r.cpu.movec_write(0x003, tc);
}

TEST(Mmu040, WalksFourAndEightKilobytePagesAndCaches) {
    struct Case {
        CpuType type;
        uint32_t tc;
        uint32_t physical;
        uint32_t page_descriptor;
    };
    const Case cases[] = {
        {CpuType::M68040, 0x8000, 0x00345678, 0x12014},
        {CpuType::M68040, 0xC000, 0x00347678, 0x12008},
        {CpuType::M68060, 0x8000, 0x00345678, 0x12014},
        {CpuType::M68060, 0xC000, 0x00347678, 0x12008},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tc);
        Rig r(c.type);
        build_040_tables(r.bus);
        enable_040(r, c.tc);
        const TranslateResult t = r.translate(kAddress, false, false);
        ASSERT_EQ(translate_fault_kind(t), kNoFault);
        EXPECT_EQ(translate_address_of(t), c.physical);
        // Six word reads, high word first: root, pointer, page descriptor.
        ASSERT_EQ(r.bus.events.size(), 6u);
        EXPECT_EQ(r.bus.events[0].address, 0x10024u);
        EXPECT_EQ(r.bus.events[1].address, 0x10026u);
        EXPECT_EQ(r.bus.events[2].address, 0x11034u);
        EXPECT_EQ(r.bus.events[4].address, c.page_descriptor);
        const uint32_t page = kAddress >> (c.tc & 0x4000 ? 13 : 12);
        const AtcEntry& e = r.cpu.atc[page & 0x3F];
        EXPECT_TRUE(e.valid);
        EXPECT_EQ(e.tag, page << 1);
        // A hit reads no descriptor; the same page in supervisor mode is another tag.
        r.bus.events.clear();
        EXPECT_EQ(translate_address_of(r.translate(kAddress + 1, false, false)), c.physical + 1);
        EXPECT_EQ(r.reads(), 0u);
        EXPECT_EQ(translate_address_of(r.translate(kAddress, false, true)), c.physical);
        EXPECT_EQ(r.reads(), 6u);
    }
}

TEST(Mmu040, FaultStatuses) {
    struct Case {
        const char* name;
        uint32_t root, pointer, page;  // descriptors (0 leaves the built one)
        bool write, supervisor;
        uint8_t status;
    };
    const Case cases[] = {
        {"root invalid", 0x00011001, 0, 0, false, false, kStatusRootInvalid},
        {"pointer invalid", 0, 0x00012000, 0, false, false, kStatusPointerInvalid},
        {"page invalid", 0, 0, 0x00345000, false, false, kStatusPageInvalid},
        {"indirect to invalid", 0, 0, 0x00013002, false, false, kStatusIndirectInvalid},
        {"write protected in root", 0x00011006, 0, 0, true, true, kStatusWriteProtected},
        {"write protected in page", 0, 0, 0x00345005, true, false, kStatusWriteProtected},
        {"supervisor only", 0, 0, 0x00345081, false, false, kStatusSupervisorOnly},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r(CpuType::M68040);
        build_040_tables(r.bus);
        if (c.root) r.bus.poke_long(0x10024, c.root);
        if (c.pointer) r.bus.poke_long(0x11034, c.pointer);
        if (c.page) r.bus.poke_long(0x12014, c.page);
        enable_040(r, 0x8000);
        const TranslateResult t = r.translate(kAddress, c.write, c.supervisor);
        EXPECT_EQ(translate_fault_kind(t), kFaultAccess);
        EXPECT_EQ(translate_status(t), c.status);
        EXPECT_EQ(translate_address_of(t), kAddress);
        EXPECT_FALSE(r.cpu.atc[(kAddress >> 12) & 0x3F].valid);
    }
}

TEST(Mmu040, IndirectPageDescriptorAndSupervisorPages) {
    Rig r(CpuType::M68040);
    build_040_tables(r.bus);
    r.bus.poke_long(0x12014, 0x00013002);
    r.bus.poke_long(0x13000, 0x00777081);  // supervisor-only page
    enable_040(r, 0x8000);
    const TranslateResult t = r.translate(kAddress, false, true);
    ASSERT_EQ(translate_fault_kind(t), kNoFault);
    EXPECT_EQ(translate_address_of(t), 0x00777678u);
    EXPECT_EQ(r.bus.events.back().kind, Access::ReadLong);
    // The supervisor-made entry does not serve a user access, which walks and faults.
    EXPECT_EQ(translate_status(r.translate(kAddress, false, false)), kStatusSupervisorOnly);
}

TEST(Mmu040, WriteProtectedPageReadsThenWriteRewalksAndFaults) {
    Rig r(CpuType::M68040);
    build_040_tables(r.bus, 0, 4);
    enable_040(r, 0x8000);
    EXPECT_EQ(translate_fault_kind(r.translate(kAddress, false, false)), kNoFault);
    EXPECT_TRUE(r.cpu.atc[(kAddress >> 12) & 0x3F].write_protect);
    r.bus.events.clear();
    const TranslateResult w = r.translate(kAddress, true, false);
    EXPECT_EQ(translate_status(w), kStatusWriteProtected);
    EXPECT_EQ(r.reads(), 6u) << "the write missed the ATC and walked again";
    // The tables are never written (no used or modified bits).
    EXPECT_TRUE(std::none_of(r.bus.events.begin(), r.bus.events.end(),
                             [](const test::BusEvent& e) { return e.kind >= Access::WriteByte; }));
}

TEST(Mmu040, TransparentTranslationBypassesDataOnly) {
    for (const CpuType type : {CpuType::M68040, CpuType::M68060}) {
        SCOPED_TRACE(static_cast<int>(type));
        Rig r(type);
        enable_040(r, 0x8000);  // empty tables: every walk faults at the root
        r.cpu.movec_write(0x006, 0x00FFE000);
        for (const bool supervisor : {false, true}) {
            for (const bool write : {false, true}) {
                const TranslateResult t = r.translate(kAddress, write, supervisor);
                EXPECT_EQ(translate_fault_kind(t), kNoFault);
                EXPECT_EQ(translate_address_of(t), kAddress);
            }
            EXPECT_EQ(translate_status(r.translate(kAddress, false, supervisor, true)), kStatusRootInvalid);
        }
        EXPECT_EQ(r.reads(), 4u) << "only the two fetches walked";
        // ITT1 matching 0x12xxxxxx for supervisor only (S field 1) passes supervisor fetches.
        r.cpu.movec_write(0x006, 0);
        r.cpu.movec_write(0x005, 0x1200A000);
        EXPECT_EQ(translate_fault_kind(r.translate(kAddress, false, true, true)), kNoFault);
        EXPECT_EQ(translate_fault_kind(r.translate(kAddress, false, false, true)), kFaultAccess);
        EXPECT_EQ(translate_fault_kind(r.translate(0x13000000, false, true, true)), kFaultAccess);
        // An explicit function code (MOVES, PTEST) decides the mode: FC 6 is a supervisor fetch.
        r.cpu.alt_fc_access = true;
        r.cpu.alt_fc = 6;
        EXPECT_EQ(translate_fault_kind(r.translate(kAddress, false, false, false)), kNoFault);
    }
}

TEST(Mmu040, MovecFlushRulesAndDisabledTranslation) {
    Rig r(CpuType::M68040);
    build_040_tables(r.bus);
    enable_040(r, 0x8000);
    r.translate(kAddress, false, false);
    AtcEntry& e = r.cpu.atc[(kAddress >> 12) & 0x3F];
    ASSERT_TRUE(e.valid);
    r.cpu.movec_write(0x805, 0x1234);  // MMUSR
    EXPECT_TRUE(e.valid);
    r.cpu.movec_write(0x003, 0x8000);  // TC
    EXPECT_FALSE(e.valid);
    r.cpu.movec_write(0x003, 0);
    EXPECT_EQ(translate_address_of(r.translate(kAddress, true, false)), kAddress);
    // Types without an MMU never translate, whatever TC says.
    Rig lc(CpuType::M68LC040);
    enable_040(lc, 0x8000);
    EXPECT_EQ(translate_fault_kind(lc.translate(kAddress, false, false)), kNoFault);
    EXPECT_EQ(lc.reads(), 0u);
}

// A user data access that faults raises the bus error with the type's frame; supervisor data
// is left untranslated by DTT0 so the frame and the vector read reach memory.
TEST(Mmu040, FaultRaisesBusErrorFrame) {
    for (const CpuType type : {CpuType::M68040, CpuType::M68060}) {
        SCOPED_TRACE(static_cast<int>(type));
        Rig r(type);
        enable_040(r, 0x8000);
        r.cpu.movec_write(0x006, 0x00FFA000);
        r.cpu.set_sr(0x0000);
        r.cpu.sp_bank[kIspSlot] = kStack;
        r.cpu.ppc = 0x1000;
        r.cpu.sr_at_start = 0;
        EXPECT_EQ(read_data_word(r.cpu, r.bus, 0x00001000), 0u);
        EXPECT_EQ(r.cpu.aborted, 1u);
        EXPECT_EQ(r.cpu.pc, kHandler + 0x10 * kVectorBusError);
        const uint32_t sp = r.cpu.addr_regs[7];
        EXPECT_EQ(r.bus.peek_long(sp + 2), 0x1000u);
        if (type == CpuType::M68040) {
            EXPECT_EQ(sp, kStack - 60);
            EXPECT_EQ(r.bus.peek_word(sp + 6), 0x7008);
            EXPECT_EQ(r.bus.peek_long(sp + 8), 0x1000u);
            EXPECT_EQ(r.bus.peek_word(sp + 12), 0x400 | 0x100 | 0x40 | 1);  // read, word, user data
        } else {
            EXPECT_EQ(sp, kStack - 16);
            EXPECT_EQ(r.bus.peek_word(sp + 6), 0x4008);
            EXPECT_EQ(r.bus.peek_long(sp + 8), 0x1000u);
            // Root not resident, user data, word, read.
            EXPECT_EQ(r.bus.peek_long(sp + 12), 0x1000u + (1u << 16) + 0x400000u + 0x1000000u);
        }
    }
}

// Through step: a user instruction whose data read faults is rolled back and continues at
// the bus-error handler; its code page is mapped, so the fetch itself translates.
int32_t load_long_postinc_a0(Cpu& cpu, CpuBus& bus, uint16_t) {
    cpu.data_regs[0] = read_data_long(cpu, bus, cpu.addr_regs[0]);
    cpu.addr_regs[0] += 4;
    return 12;
}

TEST(Mmu040, FaultInsideStepRollsBackToTheHandler) {
    Rig r(CpuType::M68040);
    r.bus.poke_long(0x10000, 0x00011000 | 2);
    r.bus.poke_long(0x11000, 0x00012000 | 2);
    r.bus.poke_long(0x12004, 0x00005000 | 1);  // logical 0x1000 -> physical 0x5000
    r.bus.poke_word(0x5000, 0x2018);
    enable_040(r, 0x8000);
    r.cpu.movec_write(0x006, 0x00FFA000);  // supervisor data untranslated
    const test::CustomTable table(load_long_postinc_a0);
    table.install(r.cpu);
    r.cpu.set_sr(0x0000);
    r.cpu.sp_bank[kIspSlot] = kStack;
    r.cpu.pc = 0x1000;
    r.cpu.addr_regs[0] = kAddress;
    r.cpu.data_regs[0] = 0x11111111;
    const StepResult res = step(r.cpu, r.bus);
    EXPECT_EQ(res.status(), StepStatus::Ok);
    EXPECT_EQ(r.cpu.ir, 0x2018);
    EXPECT_EQ(r.cpu.pc, kHandler + 0x10 * kVectorBusError);
    EXPECT_EQ(r.cpu.addr_regs[0], kAddress) << "rolled back";
    EXPECT_EQ(r.cpu.data_regs[0], 0x11111111u);
    EXPECT_EQ(r.cpu.aborted, 0u);
    EXPECT_EQ(r.bus.peek_long(r.cpu.addr_regs[7] + 2), 0x1000u);
    EXPECT_EQ(r.bus.peek_long(r.cpu.addr_regs[7] + 8), kAddress);
}

// The indirect page descriptor (MC68040 and MC68060 UM, descriptor formats) is only the page
// descriptor's address in bits 31-2 and PDT 2: its bit 2 is an address bit, not WP, and its
// bit 7 an address bit, not S. The descriptor it points to carries the page's flags.
TEST(Mmu040, IndirectDescriptorCarriesOnlyTheAddress) {
    struct Case {
        const char* name;
        uint32_t indirect;           // placed as kAddress's page descriptor
        uint32_t target_at, target;  // the page descriptor it points to
        bool write, supervisor;
        uint32_t fault_kind;
        uint32_t result;  // physical address or status
    };
    const Case cases[] = {
        {"address bit 2 set, write", 0x00013006, 0x13004, 0x00777001, true, false, kNoFault, 0x00777678},
        {"address bit 7 set, user read", 0x00013082, 0x13080, 0x00777001, false, false, kNoFault, 0x00777678},
        {"address bits 2 and 7, user write", 0x00013086, 0x13084, 0x00777001, true, false, kNoFault, 0x00777678},
        {"target write-protected", 0x00013006, 0x13004, 0x00777005, true, true, kFaultAccess,
         kStatusWriteProtected},
        {"target write-protected, read", 0x00013006, 0x13004, 0x00777005, false, false, kNoFault, 0x00777678},
        {"target supervisor-only", 0x00013006, 0x13004, 0x00777081, false, false, kFaultAccess,
         kStatusSupervisorOnly},
        {"target invalid", 0x00013006, 0x13004, 0x00777000, false, true, kFaultAccess, kStatusIndirectInvalid},
    };
    for (const CpuType type : {CpuType::M68040, CpuType::M68060}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << " type " << static_cast<int>(type));
            Rig r(type);
            build_040_tables(r.bus);
            r.bus.poke_long(0x12014, c.indirect);
            r.bus.poke_long(c.target_at, c.target);
            enable_040(r, 0x8000);
            const TranslateResult t = r.translate(kAddress, c.write, c.supervisor);
            EXPECT_EQ(translate_fault_kind(t), c.fault_kind);
            EXPECT_EQ(c.fault_kind == kNoFault ? translate_address_of(t) : translate_status(t), c.result);
        }
    }
}

// A transparent translation register with W (bit 2) set lets reads through and faults writes
// as a write-protected page would (MC68040 and MC68060 UM, transparent translation registers);
// W is ignored on instruction fetches, which never write. DTT0/DTT1 = 0x5000C004: base 0x50,
// mask 0, enabled, both modes.
TEST(Mmu040, TransparentWriteProtect) {
    struct Case {
        const char* name;
        uint32_t dtt0, dtt1, itt0;
        uint32_t address;
        bool write, supervisor, instruction;
        uint32_t fault_kind;
        uint8_t status;  // for a fault; otherwise the address passes unchanged
    };
    const Case cases[] = {
        {"W, supervisor write", 0x5000C004, 0, 0, 0x50001000, true, true, false, kFaultAccess, kStatusWriteProtected},
        {"W, user write", 0x5000C004, 0, 0, 0x50FFFFFC, true, false, false, kFaultAccess, kStatusWriteProtected},
        {"W, supervisor read", 0x5000C004, 0, 0, 0x50001000, false, true, false, kNoFault, 0},
        {"W, user read", 0x5000C004, 0, 0, 0x50001000, false, false, false, kNoFault, 0},
        {"no W, write", 0x5000C000, 0, 0, 0x50001000, true, true, false, kNoFault, 0},
        {"W in DTT1, write", 0, 0x5000C004, 0, 0x50001000, true, true, false, kFaultAccess, kStatusWriteProtected},
        {"W with a mask, write", 0x500FC004, 0, 0, 0x5A001000, true, true, false, kFaultAccess,
         kStatusWriteProtected},
        // Not matched (S field 1: supervisor only): the user write walks the empty tables.
        {"W, other mode", 0x5000A004, 0, 0, 0x50001000, true, false, false, kFaultAccess, kStatusRootInvalid},
        {"W in ITT0, fetch", 0, 0, 0x5000C004, 0x50001000, false, true, true, kNoFault, 0},
    };
    for (const CpuType type : {CpuType::M68040, CpuType::M68060}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << " type " << static_cast<int>(type));
            Rig r(type);
            enable_040(r, 0x8000);  // empty tables: every walk faults at the root
            r.cpu.movec_write(0x006, c.dtt0);
            r.cpu.movec_write(0x007, c.dtt1);
            r.cpu.movec_write(0x004, c.itt0);
            const TranslateResult t = r.translate(c.address, c.write, c.supervisor, c.instruction);
            EXPECT_EQ(translate_fault_kind(t), c.fault_kind);
            EXPECT_EQ(translate_address_of(t), c.address);
            if (c.fault_kind != kNoFault) {
                EXPECT_EQ(translate_status(t), c.status);
            }
        }
    }
}

// ---- 68030 ----

// TC 0x80C0AA00: PS 12, IS 0, TIA 10, TIB 10. For kAddress the A index is 0x048 and the B
// index 0x345. Short tables: A at 0x20000, B at 0x21000.
constexpr uint32_t kTc030 = 0x80C0AA00;
constexpr uint32_t kADesc = 0x20000 + 0x048 * 4;
constexpr uint32_t kBDesc = 0x21000 + 0x345 * 4;

Rig make_030(uint32_t tc = kTc030) {
    Rig r(CpuType::M68030);
    r.cpu.tc = tc;
    r.cpu.mmu_enabled = true;
    r.cpu.crp_limit = 0x7FFF0002;
    r.cpu.urp = 0x20000;
    r.bus.poke_long(kADesc, 0x00021000 | 2);
    r.bus.poke_long(kBDesc, 0x00ABC000 | 1);
    return r;
}

TEST(Mmu030, TableSearchShapes) {
    struct Case {
        const char* name;
        uint32_t a_desc, b_desc;  // 0 leaves the built one
        uint32_t extra_at, extra;  // another descriptor to place
        bool write;
        uint32_t fault_kind;
        uint32_t result;  // physical address or status
    };
    const Case cases[] = {
        {"two levels", 0, 0, 0, 0, false, kNoFault, 0x00ABC678},
        {"early termination at A", 0x00400001, 0, 0, 0, false, kNoFault, 0x00745678},
        {"indirect at the last level", 0, 0x00022002, 0x22000, 0x00DEF001, false, kNoFault, 0x00DEF678},
        {"indirect to a table", 0, 0x00022002, 0x22000, 0x00023002, false, kFaultAccess, kStatusIndirectInvalid},
        {"invalid at A", 0x00021000, 0, 0, 0, false, kFaultAccess, kStatusPageInvalid},
        {"invalid at B", 0, 0x00ABC000, 0, 0, false, kFaultAccess, kStatusPageInvalid},
        {"write protect in A, read", 0x00021006, 0, 0, 0, false, kNoFault, 0x00ABC678},
        {"write protect in A, write", 0x00021006, 0, 0, 0, true, kFaultAccess, kStatusWriteProtected},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r = make_030();
        if (c.a_desc) r.bus.poke_long(kADesc, c.a_desc);
        if (c.b_desc) r.bus.poke_long(kBDesc, c.b_desc);
        if (c.extra_at) r.bus.poke_long(c.extra_at, c.extra);
        const TranslateResult t = r.translate(kAddress, c.write, false);
        EXPECT_EQ(translate_fault_kind(t), c.fault_kind);
        EXPECT_EQ(c.fault_kind == kNoFault ? translate_address_of(t) : translate_status(t), c.result);
    }
}

TEST(Mmu030, LongDescriptorsFunctionCodeLevelAndSupervisorRoot) {
    // FCL with long descriptors: FC table at 0x30000 (8 bytes per FC), its entry for FC 1 a
    // long table descriptor marked supervisor-only, leading to the short A table.
    Rig r = make_030(kTc030 | 0x01000000);
    r.cpu.crp_limit = 3;
    r.cpu.urp = 0x30000;
    r.bus.poke_long(0x30008, 0x00000103);  // FC 1: S, long tables follow
    r.bus.poke_long(0x3000C, 0x00040000);
    r.bus.poke_long(0x40000 + 0x048 * 8, 0x00000002);  // long: short tables follow
    r.bus.poke_long(0x40000 + 0x048 * 8 + 4, 0x00021000);
    r.bus.poke_long(0x30028, 0x00000003);  // FC 5 goes the same way without S
    r.bus.poke_long(0x3002C, 0x00040000);
    EXPECT_EQ(translate_status(r.translate(kAddress, false, false)), kStatusSupervisorOnly);
    // Supervisor data (FC 5) through the CPU root pointer: SRE is clear.
    EXPECT_EQ(translate_address_of(r.translate(kAddress, false, true)), 0x00ABC678u);
    // With SRE the supervisor root pointer serves FC 5; its table is empty.
    r.cpu.tc |= 0x02000000;
    r.cpu.srp_limit = 2;
    r.cpu.srp = 0x50000;
    EXPECT_EQ(translate_status(r.translate(kAddress, false, true)), kStatusPageInvalid);
}

TEST(Mmu030, UnusableConfigurationsAreConfigurationErrors) {
    struct Case {
        uint32_t tc;
        uint32_t root_type;
        bool error;
    };
    const Case cases[] = {
        {0x80C0AA00, 2, false},
        {0x80C0AB00, 2, true},   // fields add up to 33
        {0x80C0A900, 2, true},   // 31
        {0x8075AA00, 2, true},   // PS 7 with 32 in all
        {0x80C00000, 2, true},   // no level
        {0x80F88100, 2, false},  // PS 15, IS 8, TIA 8, TIB 1: odd sizes that add up
        {0x80C0AA00, 1, true},   // root pointer types 0 and 1 are unusable
        {0x80C0AA00, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tc);
        Rig r = make_030(c.tc);
        r.cpu.crp_limit = c.root_type;
        const TranslateResult t = r.translate(kAddress, false, false);
        if (c.error) {
            EXPECT_EQ(translate_fault_kind(t), kFaultConfiguration);
            EXPECT_EQ(translate_status(t), 3);
            EXPECT_EQ(match_transparent_translation(r.cpu, r.bus, kAddress, 1, false, 7).mmusr, kMmusrBusError);
        } else {
            EXPECT_NE(translate_fault_kind(t), kFaultConfiguration);
        }
    }
}

TEST(Mmu030, ConfigurationErrorTakesVector56) {
    Rig r = make_030(0x80C0AB00);
    r.cpu.tt0 = 0x00FF8143;  // every supervisor access transparent, so the frame is written
    r.cpu.set_sr(0x0000);
    r.cpu.sp_bank[kIspSlot] = kStack;
    r.cpu.ppc = 0x1000;
    EXPECT_EQ(read_data_word(r.cpu, r.bus, 0x00001000), 0u);
    EXPECT_EQ(r.cpu.aborted, 1u);
    EXPECT_EQ(r.cpu.pc, kHandler + 0x10 * kVectorMmuConfig);
    EXPECT_EQ(r.cpu.addr_regs[7], kStack - 8);
    EXPECT_EQ(r.bus.peek_word(kStack - 2), 0x00E0);
    EXPECT_EQ(r.cpu.mmu_fault_status, 3);
}

TEST(Mmu030, BusErrorFrameB) {
    Rig r = make_030();
    r.bus.poke_long(kBDesc, 0x00ABC000);  // invalid
    r.cpu.tt0 = 0x00FF8143;
    r.cpu.set_sr(0x0000);
    r.cpu.sp_bank[kIspSlot] = kStack;
    r.cpu.ppc = 0x1000;
    write_data_word(r.cpu, r.bus, kAddress, 0xBEEF);
    EXPECT_EQ(r.cpu.aborted, 1u);
    EXPECT_EQ(r.cpu.pc, kHandler + 0x10 * kVectorBusError);
    const uint32_t sp = r.cpu.addr_regs[7];
    EXPECT_EQ(sp, kStack - 92);
    EXPECT_EQ(r.bus.peek_word(sp + 6), 0xB008);
    EXPECT_EQ(r.bus.peek_word(sp + 10), 0x0001 | 0x100 | 0x20);  // user data, write, word
    EXPECT_EQ(r.bus.peek_long(sp + 16), kAddress);
    EXPECT_EQ(r.bus.peek_long(sp + 24), 0xBEEFu);
}

// The TT registers as the MC68030 manual lays them out: FC base in bits 6-4, FC mask in 2-0,
// R/W in bit 9 (1 read) unless RWM (bit 8) is set.
TEST(Mmu030, TransparentTranslationRegisters) {
    struct Case {
        uint32_t tt;
        uint32_t address;
        uint8_t fc;
        bool write;
        bool match;
    };
    const Case cases[] = {
        {0x000F8250, 0x00001000, 5, false, true},
        {0x000F8250, 0x0FFFFFFF, 5, false, true},
        {0x000F8250, 0x00001000, 5, true, false},   // writes are not covered
        {0x000F8250, 0x00001000, 1, false, false},  // user data
        {0x000F8250, 0x00001000, 6, false, false},  // supervisor program
        {0x000F8250, 0x10000000, 5, false, false},
        {0x807F8107, 0x80000000, 1, true, true},
        {0x807F8107, 0xFFFFFFFF, 6, false, true},
        {0x807F8107, 0xC0001234, 2, true, true},
        {0x807F8107, 0x7FFFFFFF, 5, false, false},
        {0x807F0107, 0x80000000, 5, false, false},  // not enabled
        {0x00008050, 0x00001000, 5, true, true},    // R/W 0: writes only
        {0x00008050, 0x00001000, 5, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.tt << " " << c.address << " fc " << int{c.fc});
        EXPECT_EQ(tt_register_matches_030(c.tt, c.address, c.fc, c.write), c.match);
        Rig r = make_030();
        r.cpu.tt1 = c.tt;
        // PTEST level 0 reports the same rule as the T bit.
        EXPECT_EQ(match_transparent_translation(r.cpu, r.bus, c.address, c.fc, c.write, 0).mmusr,
                  c.match ? kMmusrTransparent : 0u);
    }
    // In translation: supervisor data reads pass, writes walk the (empty) tables.
    Rig r = make_030();
    r.bus.poke_long(kADesc, 0);
    r.cpu.tt0 = 0x000F8250;
    EXPECT_EQ(translate_address_of(r.translate(kAddress, false, true)), kAddress);
    EXPECT_EQ(translate_status(r.translate(kAddress, true, true)), kStatusPageInvalid);
}

// Indirect descriptors (MC68030 UM, descriptor formats): a short one is the page descriptor's
// address in bits 31-2 and DT in 1-0; a long one has DT in its first long (every other bit
// there unused) and the address in its second. Neither has WP or S: those come from the table
// descriptors on the way and the page descriptor at the end. TC 0x80C0AA00, CRP 0x7FFF0002:0x00100000;
// for 0x40000010 the A index is 0x100 (descriptor at 0x100400) and the B index 0, the B table
// at 0x102000. PTEST #1 or #5,(A0),#7 gives MMUSR with N = 2.
TEST(Mmu030, IndirectDescriptorsCarryOnlyTheAddress) {
    struct Case {
        const char* name;
        uint32_t a_desc;                 // at 0x100400
        std::array<uint32_t, 2> b_desc;  // at 0x102000 (second long for a long table)
        std::array<uint32_t, 2> page;    // at 0x103004 (short) or 0x103008 (long)
        bool write, supervisor;
        uint32_t fault_kind;
        uint32_t result;  // physical address or status
        uint32_t mmusr;
    };
    const Case cases[] = {
        {"short indirect at 0x103004, write", 0x00102002, {0x00103006, 0}, {0x50000001, 0}, true, true, kNoFault,
         0x50000010, 0x0002},
        {"short indirect, page WP, write", 0x00102002, {0x00103006, 0}, {0x50000005, 0}, true, true, kFaultAccess,
         kStatusWriteProtected, 0x0802},
        {"short indirect, page WP, read", 0x00102002, {0x00103006, 0}, {0x50000005, 0}, false, true, kNoFault,
         0x50000010, 0x0802},
        {"short indirect, table WP, write", 0x00102006, {0x00103006, 0}, {0x50000001, 0}, true, false, kFaultAccess,
         kStatusWriteProtected, 0x0802},
        {"short indirect to an invalid page", 0x00102002, {0x00103006, 0}, {0x50000000, 0}, false, true,
         kFaultAccess, kStatusIndirectInvalid, 0x0402},
        // Long B table: the indirect's first long has the unused bits 8 (S in a table
        // descriptor) and 2 (WP) set, DT 2 (short page descriptor) or 3 (long).
        {"long indirect, unused bits, user write", 0x00102003, {0x00000106, 0x00103004}, {0x50000001, 0}, true,
         false, kNoFault, 0x50000010, 0x0002},
        {"long indirect to a long page, user write", 0x00102003, {0x0000FF07, 0x00103008},
         {0x00000001, 0x50000000}, true, false, kNoFault, 0x50000010, 0x0002},
        {"long page S, user read", 0x00102003, {0x00000007, 0x00103008}, {0x00000101, 0x50000000}, false, false,
         kFaultAccess, kStatusSupervisorOnly, 0x2002},
        {"long page S, supervisor write", 0x00102003, {0x00000007, 0x00103008}, {0x00000101, 0x50000000}, true,
         true, kNoFault, 0x50000010, 0x0002},
        {"long page WP, user write", 0x00102003, {0x00000007, 0x00103008}, {0x00000005, 0x50000000}, true, false,
         kFaultAccess, kStatusWriteProtected, 0x0802},
    };
    constexpr uint32_t kLogical = 0x40000010;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r(CpuType::M68030);
        r.cpu.tc = 0x80C0AA00;
        r.cpu.mmu_enabled = true;
        r.cpu.crp_limit = 0x7FFF0002;
        r.cpu.urp = 0x00100000;
        r.bus.poke_long(0x100400, c.a_desc);
        r.bus.poke_long(0x102000, c.b_desc[0]);
        r.bus.poke_long(0x102004, c.b_desc[1]);
        const bool long_page = (c.b_desc[0] & 3) == 3;
        const uint32_t page_at = long_page ? 0x103008 : 0x103004;
        r.bus.poke_long(page_at, c.page[0]);
        r.bus.poke_long(page_at + 4, c.page[1]);
        const TranslateResult t = r.translate(kLogical, c.write, c.supervisor);
        EXPECT_EQ(translate_fault_kind(t), c.fault_kind);
        EXPECT_EQ(c.fault_kind == kNoFault ? translate_address_of(t) : translate_status(t), c.result);
        const uint8_t fc = c.supervisor ? 5 : 1;
        const PtestResult p = match_transparent_translation(r.cpu, r.bus, kLogical, fc, c.write, 7);
        EXPECT_EQ(p.mmusr, c.mmusr);
        EXPECT_EQ(p.last_descriptor_address, page_at);
    }
}

// ---- 68030 MMU instructions ----

constexpr uint32_t kCode = 0x1000;

int32_t run_pmmu(Rig& r, uint16_t opcode, std::initializer_list<uint16_t> words) {
    uint32_t at = kCode;
    for (const uint16_t w : words) {
        r.bus.poke_word(at, w);
        at += 2;
    }
    r.cpu.ppc = kCode - 2;
    r.cpu.pc = kCode;
    return op_pmmu(r.cpu, r.bus, opcode);
}

TEST(Mmu030, PtestStatusBits) {
    struct Case {
        const char* name;
        uint32_t a_desc, b_desc;
        uint16_t ext;
        uint32_t mmusr;
        uint32_t a1;  // last descriptor address when the A bit asks for it
    };
    // PTESTR #5,(A0),#7,A1 = 0x9F35; PTESTW #1,(A0),#7 = 0x9C11; level 1 = 0x8735 family.
    const Case cases[] = {
        {"found at B", 0, 0, 0x9F35, 2, kBDesc},
        {"level limit 1", 0, 0, 0x8735, 1, kADesc},
        {"invalid at A", 0x00021000, 0, 0x9F35, 1 | kMmusrInvalid, kADesc},
        // An invalid descriptor's bits 31-2 are unused: bit 2 is no WP.
        {"invalid at A, unused bits set", 0xFFFFFFFC, 0, 0x9F35, 1 | kMmusrInvalid, kADesc},
        {"write protect met", 0x00021006, 0, 0x9C11, 2 | kMmusrWriteProtected, 0},
        {"indirect to a table", 0, 0x00022002, 0x9F35, 2 | kMmusrInvalid, 0x22000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r = make_030();
        r.cpu.mmu_enabled = false;  // the instruction stream stays untranslated
        if (c.a_desc) r.bus.poke_long(kADesc, c.a_desc);
        if (c.b_desc) r.bus.poke_long(kBDesc, c.b_desc);
        r.bus.poke_long(0x22000, 0x00023002);
        r.cpu.addr_regs[0] = kAddress;
        r.cpu.addr_regs[1] = 0xAAAAAAAA;
        EXPECT_EQ(run_pmmu(r, 0xF010, {c.ext}), 8);
        EXPECT_EQ(r.cpu.mmusr, c.mmusr);
        EXPECT_EQ(r.cpu.addr_regs[1], (c.ext & 0x100) ? c.a1 : 0xAAAAAAAA);
        EXPECT_EQ(r.cpu.pc, kCode + 2);
    }
    // Function code from D2 (01xxx) with a supervisor-only long descriptor: S in MMUSR.
    Rig r = make_030();
    r.cpu.mmu_enabled = false;
    r.cpu.crp_limit = 3;
    r.cpu.urp = 0x40000;
    r.bus.poke_long(0x40000 + 0x048 * 8, 0x00000102);
    r.bus.poke_long(0x40000 + 0x048 * 8 + 4, 0x00021000);
    r.cpu.addr_regs[0] = kAddress;
    r.cpu.data_regs[2] = 0xF9;  // FC 1
    EXPECT_EQ(run_pmmu(r, 0xF010, {0x9E0A}), 8);
    EXPECT_EQ(r.cpu.mmusr, 2 | kMmusrSupervisor);
    // A data-register operand is not a PTEST form.
    EXPECT_EQ(run_pmmu(r, 0xF000, {0x9E0A}), 0);
}

TEST(Mmu030, PmoveRegisters) {
    Rig r(CpuType::M68030);
    r.cpu.addr_regs[0] = 0x2000;
    // PMOVE (A0),TC enables translation from bit 31, without touching anything else.
    r.bus.poke_long(0x2000, 0x80C0AA00);
    EXPECT_EQ(run_pmmu(r, 0xF010, {0x4000}), 4);
    EXPECT_EQ(r.cpu.tc, 0x80C0AA00u);
    EXPECT_TRUE(r.cpu.mmu_enabled);
    r.cpu.mmu_enabled = false;
    // PMOVE (A0)+,CRP: limit then pointer, A0 steps by 8.
    r.bus.poke_long(0x2000, 0x7FFF0002);
    r.bus.poke_long(0x2004, 0x00020000);
    EXPECT_EQ(run_pmmu(r, 0xF018, {0x4C00}), 8);
    EXPECT_EQ(r.cpu.crp_limit, 0x7FFF0002u);
    EXPECT_EQ(r.cpu.urp, 0x00020000u);
    EXPECT_EQ(r.cpu.addr_regs[0], 0x2008u);
    // PMOVE SRP,(A0), PMOVE MMUSR,(A0) and PMOVE TT1,D3.
    r.cpu.srp_limit = 0x11112222;
    r.cpu.srp = 0x33334444;
    EXPECT_EQ(run_pmmu(r, 0xF010, {0x4A00}), 8);
    EXPECT_EQ(r.bus.peek_long(0x2008), 0x11112222u);
    EXPECT_EQ(r.bus.peek_long(0x200C), 0x33334444u);
    r.cpu.mmusr = 0x0C42;
    EXPECT_EQ(run_pmmu(r, 0xF010, {0x6200}), 4);
    EXPECT_EQ(r.bus.peek_word(0x2008), 0x0C42);
    r.cpu.tt1 = 0x807F8107;
    EXPECT_EQ(run_pmmu(r, 0xF003, {0x0E00}), 4);
    EXPECT_EQ(r.cpu.data_regs[3], 0x807F8107u);
    // CRP needs memory; an unknown register is no instruction.
    EXPECT_EQ(run_pmmu(r, 0xF003, {0x4C00}), 0);
    EXPECT_EQ(run_pmmu(r, 0xF010, {0x5C00}), 0);
}

TEST(Mmu030, FlushLoadPrivilegeAndTypes) {
    Rig r(CpuType::M68030);
    r.cpu.addr_regs[0] = 0x2000;
    EXPECT_EQ(run_pmmu(r, 0xF000, {0x2400}), 8);  // PFLUSHA
    EXPECT_EQ(r.cpu.pc, kCode + 2);
    // PLOADR #1,(d16,A0): its displacement word is consumed.
    EXPECT_EQ(run_pmmu(r, 0xF028, {0x2211, 0x0010}), 8);
    EXPECT_EQ(r.cpu.pc, kCode + 4);
    EXPECT_EQ(r.cpu.addr_regs[0], 0x2000u);
    // PSAVE-type opcodes of coprocessor 0 are not MMU instructions here.
    EXPECT_EQ(run_pmmu(r, 0xF110, {0x2400}), 0);
    // 68040: PTEST in this form does nothing; user mode is no instruction.
    Rig r40(CpuType::M68040);
    EXPECT_EQ(run_pmmu(r40, 0xF010, {0x9F35}), 4);
    // User mode: the 68030 takes the privilege violation before the extension word.
    r.cpu.set_sr(0x0000);
    r.cpu.sp_bank[kIspSlot] = kStack;
    EXPECT_EQ(run_pmmu(r, 0xF010, {0x4000}), exception_cycles(kVectorPrivilege));
    EXPECT_EQ(r.cpu.pc, kHandler + 0x10 * kVectorPrivilege);
    r40.cpu.set_sr(0x0000);
    EXPECT_EQ(run_pmmu(r40, 0xF010, {0x4000}), 0);
    // Other types have no such instructions.
    Rig r60(CpuType::M68060);
    EXPECT_EQ(run_pmmu(r60, 0xF010, {0x4000}), 0);
}

}  // namespace
}  // namespace m68k
