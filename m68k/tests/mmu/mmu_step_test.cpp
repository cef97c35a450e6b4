// The MMU as programs meet it, every case run through step with translation on: the 68030 and
// 68040 PTEST and the 68060 PLPA as decoded, long accesses that straddle a page, and the restart
// of a faulted instruction by RTE of a 68040 format 7 or 68030 format B frame.
//
// The page tables are laid out by hand from the manuals' descriptor formats: 68040/68060 4 KB
// pages (root index = bits 31-25, pointer index 24-18, page index 17-12; resident tables have
// UDT 2, pages PDT 1, WP is bit 2); 68030 TC 0x80C0AA00 (PS 12, IS 0, TIA 10, TIB 10, short
// descriptors: DT 2 for a table, 1 for a page, WP bit 2). Supervisor accesses are left
// untranslated by the transparent translation registers, so frames, vectors and handlers sit at
// their physical addresses; user code and data go through the tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <map>
#include <vector>

#include "core/exceptions.hpp"
#include "m68k/cpu.hpp"
#include "support/test_bus.hpp"

namespace m68k {
namespace {

using test::Access;

constexpr uint32_t kCode = 0x1000;     // user code, mapped to itself
constexpr uint32_t kStack = 0x8000;    // supervisor stack (untranslated)
constexpr uint32_t kHandler = 0x3000;  // handler of vector v at kHandler + 0x10 * v
constexpr uint32_t kRoot = 0x10000;    // user root table
constexpr uint16_t kRte = 0x4E73;

// A bump allocator of tables in the 0x10000-0x3FFFF region.
struct Tables {
    explicit Tables(test::TestBus& b) : bus(b) {}
    test::TestBus& bus;
    uint32_t next = kRoot + 0x1000;
    std::map<uint32_t, uint32_t> made;  // descriptor address -> table it points to

    uint32_t table_at(uint32_t descriptor_address, uint32_t size, uint32_t type) {
        auto it = made.find(descriptor_address);
        if (it != made.end()) return it->second;
        const uint32_t t = next;
        next += std::max(size, 0x200u);
        made[descriptor_address] = t;
        bus.poke_long(descriptor_address, t | type);
        return t;
    }
    // 68040/68060, 4 KB pages.
    void map_040(uint32_t logical, uint32_t physical, uint32_t flags = 0) {
        const uint32_t pointer = table_at(kRoot + (logical >> 25) * 4, 0x200, 2);
        const uint32_t page = table_at(pointer + ((logical >> 18) & 0x7F) * 4, 0x100, 2);
        bus.poke_long(page + ((logical >> 12) & 0x3F) * 4, (physical & 0xFFFFF000u) | 1 | flags);
    }
    uint32_t page_descriptor_040(uint32_t logical) const {
        const uint32_t pointer = made.at(kRoot + (logical >> 25) * 4);
        const uint32_t page = made.at(pointer + ((logical >> 18) & 0x7F) * 4);
        return page + ((logical >> 12) & 0x3F) * 4;
    }
    // 68030 with TC 0x80C0AA00.
    void map_030(uint32_t logical, uint32_t physical, uint32_t flags = 0) {
        const uint32_t b = table_at(kRoot + (logical >> 22) * 4, 0x1000, 2);
        bus.poke_long(b + ((logical >> 12) & 0x3FF) * 4, (physical & 0xFFFFF000u) | 1 | flags);
    }
    uint32_t page_descriptor_030(uint32_t logical) const {
        return made.at(kRoot + (logical >> 22) * 4) + ((logical >> 12) & 0x3FF) * 4;
    }
};

struct Rig {
    explicit Rig(CpuType type) : tables(bus) {
        cpu.set_cpu_type(type);
        cpu.reset();
        for (uint32_t v = 0; v < 64; ++v) {
            bus.poke_long(4 * v, kHandler + 0x10 * v);
            bus.poke_word(kHandler + 0x10 * v, kRte);
        }
        cpu.addr_regs[7] = kStack;
        if (type == CpuType::M68030) {
            cpu.tc = 0x80C0AA00;
            cpu.crp_limit = 0x7FFF0002;  // short descriptors follow
            cpu.urp = kRoot;
            cpu.tt0 = 0x00FF8143;  // FC 4-7, any address, reads and writes
            tables.map_030(kCode, kCode);
        } else {
            cpu.tc = 0x8000;
            cpu.urp = kRoot;
            cpu.srp = 0x50000;  // empty: nothing supervisor is walked
            cpu.itt0 = cpu.dtt0 = 0x00FFA000;  // supervisor only, any address
            tables.map_040(kCode, kCode);
            if (type == CpuType::M68060) {
                // The 68060 has no transparent translation: supervisor space goes through the
                // same tables, the low 64 KiB mapped to itself.
                cpu.srp = kRoot;
                for (uint32_t page = 0; page < 0x10000; page += 0x1000) tables.map_040(page, page);
            }
        }
        cpu.mmu_enabled = true;
    }
    void code(std::initializer_list<uint16_t> words, uint32_t at = kCode) {
        for (const uint16_t w : words) {
            bus.poke_word(at, w);
            at += 2;
        }
    }
    void user_at(uint32_t pc) {
        cpu.sp_bank[kIspSlot] = kStack;
        cpu.set_sr(0x0000);
        cpu.addr_regs[7] = 0x0F00;
        cpu.pc = pc;
    }
    void supervisor_at(uint32_t pc) {
        cpu.set_sr(0x2700);
        cpu.addr_regs[7] = kStack;
        cpu.pc = pc;
    }
    StepResult run() {
        bus.events.clear();
        return step(cpu, bus);
    }
    bool read_at(uint32_t address) const {
        return std::any_of(bus.events.begin(), bus.events.end(), [&](const test::BusEvent& e) {
            return e.kind == Access::ReadWord && e.address == address;
        });
    }
    Cpu cpu;
    test::TestBus bus;
    Tables tables;
};

constexpr uint32_t kAddress = 0x12345678;

// ---- PTEST and PLPA ----

// 68040 PTESTR/PTESTW (A0): the function code is DFC's, so DFC 1 walks the user tables while
// DFC 5 (supervisor data) passes DTT0 untranslated; MMUSR takes the physical page | 1, or 0 on
// a fault, and PTEST itself never faults.
TEST(MmuStep, Ptest040AsDecoded) {
    struct Case {
        uint16_t opcode;
        uint32_t dfc;
        uint32_t page_flags;
        uint32_t mmusr;
    };
    const Case cases[] = {
        {0xF568, 1, 0, 0x00ABC001},  // PTESTR, resident
        {0xF548, 1, 0, 0x00ABC001},  // PTESTW
        {0xF568, 1, 4, 0x00ABC001},  // write protected: a read is fine
        {0xF548, 1, 4, 0},           // ... a write is not
        {0xF568, 1, 0x80, 0},        // supervisor-only page, user function code
        {0xF568, 5, 0, 0x12345001},  // transparent: the logical page itself
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.opcode << " dfc " << c.dfc << " flags " << c.page_flags);
        Rig r(CpuType::M68040);
        r.tables.map_040(kAddress, 0x00ABC000, c.page_flags);
        r.code({c.opcode, 0x4E71}, 0x2000);
        r.supervisor_at(0x2000);
        r.cpu.dfc = c.dfc;
        r.cpu.addr_regs[0] = kAddress;
        r.cpu.mmusr = 0xDEADBEEF;
        EXPECT_EQ(r.run().status(), StepStatus::Ok);
        EXPECT_EQ(r.cpu.mmusr, c.mmusr);
        EXPECT_EQ(r.cpu.pc, 0x2002u) << "no exception";
        EXPECT_EQ(r.cpu.addr_regs[7], kStack);
        EXPECT_EQ(r.cpu.addr_regs[0], kAddress);
        EXPECT_FALSE(r.cpu.alt_fc_access);
    }
    // In user mode it is privileged.
    Rig r(CpuType::M68040);
    r.code({0xF568});
    r.user_at(kCode);
    r.run();
    EXPECT_EQ(r.cpu.pc, kHandler + 0x10 * kVectorPrivilege);
}

// 68030 PTEST in the coprocessor form. It is privileged, so the code runs in supervisor mode
// through TT0 while the test walks function code 1 with translation on.
// MMUSR: the number of levels searched in bits 0-2, I (bit 10) for an invalid descriptor,
// W (bit 11) for write protection met; with the A field the last descriptor's address goes to
// the named address register.
TEST(MmuStep, Ptest030AsDecoded) {
    struct Case {
        const char* name;
        uint16_t ext;
        uint32_t page_flags;
        bool invalid_page;
        uint32_t mmusr;
        bool a1_written;
    };
    // PTESTR #1,(A0),#7,A1 = 0x9F31; PTESTW #1,(A0),#7 = 0x9C11; PTESTR #1,(A0),#1,A1 = 0x8731.
    const Case cases[] = {
        {"found at B", 0x9F31, 0, false, 2, true},
        {"write protected", 0x9C11, 4, false, 2 | 0x0800, false},
        {"invalid at B", 0x9F31, 0, true, 2 | 0x0400, true},
        {"level limit 1", 0x8731, 0, false, 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r(CpuType::M68030);
        r.tables.map_030(kAddress, 0x00ABC000, c.page_flags);
        if (c.invalid_page) r.bus.poke_long(r.tables.page_descriptor_030(kAddress), 0x00ABC000);
        r.code({0xF010, c.ext, 0x4E71}, 0x2000);
        r.supervisor_at(0x2000);
        r.cpu.addr_regs[0] = kAddress;
        r.cpu.addr_regs[1] = 0xAAAAAAAA;
        EXPECT_EQ(r.run().status(), StepStatus::Ok);
        EXPECT_EQ(r.cpu.mmusr, c.mmusr);
        EXPECT_EQ(r.cpu.pc, 0x2004u);
        const uint32_t a_descriptor = kRoot + (kAddress >> 22) * 4;
        const uint32_t last = (c.ext & 0x1C00) == 0x0400 ? a_descriptor : r.tables.page_descriptor_030(kAddress);
        EXPECT_EQ(r.cpu.addr_regs[1], c.a1_written ? last : 0xAAAAAAAAu);
    }
}

// 68060 PLPAR (A0): A0 becomes the physical address; when the translation faults the access
// fault is taken (format 4: the logical address, FSLW with the cause "root descriptor invalid",
// read, long) and A0 is left alone.
TEST(MmuStep, Plpa060AsDecoded) {
    Rig r(CpuType::M68060);
    r.tables.map_040(kAddress, 0x00345000);
    r.code({0xF5C8, 0x4E71}, 0x2000);
    r.supervisor_at(0x2000);
    r.cpu.dfc = 1;
    r.cpu.addr_regs[0] = kAddress;
    EXPECT_EQ(r.run().status(), StepStatus::Ok);
    EXPECT_EQ(r.cpu.addr_regs[0], 0x00345678u);
    EXPECT_EQ(r.cpu.pc, 0x2002u);

    r.supervisor_at(0x2000);
    r.cpu.addr_regs[0] = 0x7E000000;  // root index 63: nothing there
    r.cpu.set_sr(0x2704);
    EXPECT_EQ(r.run().status(), StepStatus::Ok);
    EXPECT_EQ(r.cpu.pc, kHandler + 0x10 * kVectorBusError);
    EXPECT_EQ(r.cpu.addr_regs[0], 0x7E000000u);
    const uint32_t sp = r.cpu.addr_regs[7];
    ASSERT_EQ(sp, kStack - 16);
    EXPECT_EQ(r.bus.peek_word(sp), 0x2704);
    EXPECT_EQ(r.bus.peek_long(sp + 2), 0x2000u) << "the PLPA";
    EXPECT_EQ(r.bus.peek_word(sp + 6), 0x4008);
    EXPECT_EQ(r.bus.peek_long(sp + 8), 0x7E000000u);
    // Cause 0x1000, supervisor data function code 5, long (size 0), read.
    EXPECT_EQ(r.bus.peek_long(sp + 12), 0x1000u + (5u << 16) + 0x1000000u);
}

// ---- Write protection where the manuals put it ----

// A supervisor MOVE.L D1,(A0) on the 68030 whose page descriptor sits at an address with bit 2
// set: the short indirect descriptor that points at it has no WP, so the write goes through,
// and PTESTW #5,(A0),#7 reports two levels and nothing else. TC 0x80C0AA00, CRP
// 0x7FFF0002:0x00100000; A index 0 is an early-terminating page mapping the low 4 MiB to itself
// (code, stack, vectors); for 0x40000010 the A descriptor at 0x100400 leads to the B table at
// 0x102000, whose entry 0 is indirect to 0x103004, a page at 0x50000000.
TEST(MmuStep, WriteThroughIndirectDescriptor030) {
    Cpu cpu;
    test::TestBus bus;
    cpu.set_cpu_type(CpuType::M68030);
    cpu.reset();
    for (uint32_t v = 0; v < 64; ++v) bus.poke_long(4 * v, kHandler + 0x10 * v);
    bus.poke_long(0x100000, 0x00000001);
    bus.poke_long(0x100400, 0x00102002);
    bus.poke_long(0x102000, 0x00103006);
    bus.poke_long(0x103004, 0x50000001);
    cpu.tc = 0x80C0AA00;
    cpu.crp_limit = 0x7FFF0002;
    cpu.urp = 0x00100000;
    cpu.mmu_enabled = true;
    uint32_t at = 0x2000;
    for (const uint16_t w : {0x2081, 0xF010, 0x9C15, 0x4E71}) {  // MOVE.L D1,(A0); PTESTW #5,(A0),#7; NOP
        bus.poke_word(at, w);
        at += 2;
    }
    cpu.set_sr(0x2700);
    cpu.addr_regs[7] = kStack;
    cpu.pc = 0x2000;
    cpu.addr_regs[0] = 0x40000010;
    cpu.data_regs[1] = 0xCAFEF00D;
    bus.events.clear();
    EXPECT_EQ(step(cpu, bus).status(), StepStatus::Ok);
    EXPECT_EQ(cpu.pc, 0x2002u) << "no bus error";
    EXPECT_EQ(cpu.addr_regs[7], kStack);
    const auto wrote = [&](uint32_t address) {
        return std::any_of(bus.events.begin(), bus.events.end(), [&](const test::BusEvent& e) {
            return e.kind >= Access::WriteByte && e.kind <= Access::WriteLong && e.address == address;
        });
    };
    EXPECT_TRUE(wrote(0x50000010));
    EXPECT_EQ(bus.peek_long(0x50000010), 0xCAFEF00Du);
    EXPECT_EQ(step(cpu, bus).status(), StepStatus::Ok);
    EXPECT_EQ(cpu.mmusr, 0x0002u);
}

// DTT0 = 0x5000C004 (W set) on the 68040 and 68060: a supervisor MOVE.L D1,(A0) to 0x50001000
// takes the access fault a write-protected page gives, with memory left alone; MOVE.L (A0),D2
// reads. ITT0 and DTT1 = 0x0000C000 leave the low 16 MiB (code, stack, vectors) untranslated.
// The frame is compared with that of the same write to a page whose descriptor has WP.
TEST(MmuStep, TransparentWriteProtectFaults) {
    for (const CpuType type : {CpuType::M68040, CpuType::M68060}) {
        SCOPED_TRACE(static_cast<int>(type));
        std::vector<uint16_t> frames[2];
        for (const bool through_tt : {true, false}) {
            Rig r(type);
            r.cpu.itt0 = 0x0000C000;
            r.cpu.itt1 = 0;
            r.cpu.dtt1 = 0x0000C000;
            if (through_tt) {
                r.cpu.dtt0 = 0x5000C004;
            } else {
                r.cpu.dtt0 = 0;
                r.cpu.srp = kRoot;
                r.tables.map_040(0x50001000, 0x50001000, 4);
            }
            r.code({0x2081, 0x2410, 0x4E71}, 0x2000);
            r.supervisor_at(0x2000);
            r.cpu.addr_regs[0] = 0x50001000;
            r.cpu.data_regs[1] = 0xCAFEF00D;
            r.bus.poke_long(0x50001000, 0x11223344);
            EXPECT_EQ(r.run().status(), StepStatus::Ok);
            EXPECT_EQ(r.cpu.pc, kHandler + 0x10 * kVectorBusError);
            EXPECT_EQ(r.bus.peek_long(0x50001000), 0x11223344u) << "memory unchanged";
            const uint32_t sp = r.cpu.addr_regs[7];
            EXPECT_EQ(r.bus.peek_long(sp + 2), 0x2000u);
            if (type == CpuType::M68040) {
                ASSERT_EQ(sp, kStack - 60);
                EXPECT_EQ(r.bus.peek_word(sp + 6), 0x7008);
                EXPECT_EQ(r.bus.peek_word(sp + 12), 0x0405);  // write, long, supervisor data
                EXPECT_EQ(r.bus.peek_long(sp + 20), 0x50001000u);
            } else {
                ASSERT_EQ(sp, kStack - 16);
                EXPECT_EQ(r.bus.peek_word(sp + 6), 0x4008);
                EXPECT_EQ(r.bus.peek_long(sp + 8), 0x50001000u);
                // FSLW: write, long, function code 5, cause WP (bit 7).
                EXPECT_EQ(r.bus.peek_long(sp + 12), 0x00800000u + (5u << 16) + 0x80u);
            }
            for (uint32_t a = sp; a < kStack; a += 2) frames[through_tt].push_back(r.bus.peek_word(a));
            // The read passes.
            r.supervisor_at(0x2002);
            EXPECT_EQ(r.run().status(), StepStatus::Ok);
            EXPECT_EQ(r.cpu.data_regs[2], 0x11223344u);
            EXPECT_EQ(r.cpu.pc, 0x2004u);
        }
        EXPECT_EQ(frames[0], frames[1]);
    }
}

// ---- Accesses across a page ----

// MOVE.L (A0)+,D0 and MOVE.L D0,(A0) at 0x5FFE: the high word is on logical page 5 (physical
// 0x345000), the low word on page 6 (physical 0x789000). Each half is translated on its own.
TEST(MmuStep, LongAcrossAPageWalksBothPages) {
    for (const CpuType type : {CpuType::M68030, CpuType::M68040, CpuType::M68060}) {
        SCOPED_TRACE(static_cast<int>(type));
        Rig r(type);
        const bool m030 = type == CpuType::M68030;
        for (const auto& [logical, physical] : {std::pair{0x5000u, 0x345000u}, std::pair{0x6000u, 0x789000u}}) {
            if (m030) {
                r.tables.map_030(logical, physical);
            } else {
                r.tables.map_040(logical, physical);
            }
        }
        const uint32_t d5 = m030 ? r.tables.page_descriptor_030(0x5000) : r.tables.page_descriptor_040(0x5000);
        const uint32_t d6 = m030 ? r.tables.page_descriptor_030(0x6000) : r.tables.page_descriptor_040(0x6000);
        r.bus.poke_word(0x345FFE, 0x1234);
        r.bus.poke_word(0x789000, 0x5678);
        r.code({0x2018, 0x2080});  // MOVE.L (A0)+,D0; MOVE.L D0,(A0)
        r.user_at(kCode);
        r.cpu.addr_regs[0] = 0x5FFE;
        r.run();
        EXPECT_EQ(r.cpu.data_regs[0], 0x12345678u);
        EXPECT_EQ(r.cpu.addr_regs[0], 0x6002u);
        EXPECT_TRUE(r.read_at(d5) && r.read_at(d6)) << "both page descriptors were read";
        EXPECT_TRUE(r.read_at(0x345FFE) && r.read_at(0x789000));

        r.cpu.addr_regs[0] = 0x5FFE;
        r.cpu.data_regs[0] = 0xCAFEF00D;
        r.run();
        EXPECT_EQ(r.bus.peek_word(0x345FFE), 0xCAFE);
        EXPECT_EQ(r.bus.peek_word(0x789000), 0xF00D);
    }
}

// The second page is not resident: the fault names the second word's address, as a word
// access, and the instruction is rolled back (A0 and D0 as they were; the frame's PC is the
// instruction's).
TEST(MmuStep, FaultOnTheSecondPageRollsBack) {
    for (const CpuType type : {CpuType::M68030, CpuType::M68040, CpuType::M68060}) {
        SCOPED_TRACE(static_cast<int>(type));
        Rig r(type);
        if (type == CpuType::M68030) {
            r.tables.map_030(0x5000, 0x345000);
            r.tables.map_030(0x6000, 0x789000);
            r.bus.poke_long(r.tables.page_descriptor_030(0x6000), 0x00789000);  // invalid
        } else {
            r.tables.map_040(0x5000, 0x345000);
            r.tables.map_040(0x6000, 0x789000);
            r.bus.poke_long(r.tables.page_descriptor_040(0x6000), 0x00789000);
        }
        r.code({0x2018});  // MOVE.L (A0)+,D0
        r.user_at(kCode);
        r.cpu.addr_regs[0] = 0x5FFE;
        r.cpu.data_regs[0] = 0x11111111;
        r.run();
        EXPECT_EQ(r.cpu.pc, kHandler + 0x10 * kVectorBusError);
        EXPECT_EQ(r.cpu.addr_regs[0], 0x5FFEu);
        EXPECT_EQ(r.cpu.data_regs[0], 0x11111111u);
        const uint32_t sp = r.cpu.addr_regs[7];
        EXPECT_EQ(r.bus.peek_long(sp + 2), kCode);
        EXPECT_EQ(r.bus.peek_word(sp), 0x0000) << "user mode SR";
        switch (type) {
        case CpuType::M68030:
            // Format B: SSW = DF | read | word | FC 1; data fault address.
            EXPECT_EQ(sp, kStack - 92);
            EXPECT_EQ(r.bus.peek_word(sp + 6), 0xB008);
            EXPECT_EQ(r.bus.peek_word(sp + 10), 0x0100 | 0x40 | 0x20 | 1);
            EXPECT_EQ(r.bus.peek_long(sp + 16), 0x6000u);
            break;
        case CpuType::M68040:
            // Format 7: SSW = ATC | read | word | FC 1; effective and fault address.
            EXPECT_EQ(sp, kStack - 60);
            EXPECT_EQ(r.bus.peek_word(sp + 6), 0x7008);
            EXPECT_EQ(r.bus.peek_word(sp + 12), 0x0400 | 0x100 | 0x40 | 1);
            EXPECT_EQ(r.bus.peek_long(sp + 8), 0x6000u);
            EXPECT_EQ(r.bus.peek_long(sp + 20), 0x6000u);
            break;
        default:
            // Format 4: the address and FSLW = page invalid, FC 1, word, read.
            EXPECT_EQ(sp, kStack - 16);
            EXPECT_EQ(r.bus.peek_word(sp + 6), 0x4008);
            EXPECT_EQ(r.bus.peek_long(sp + 8), 0x6000u);
            EXPECT_EQ(r.bus.peek_long(sp + 12), 0x200u + (1u << 16) + 0x400000u + 0x1000000u);
            break;
        }
    }
}

// MOVE.L #imm,D0 at 0x1FFC: the immediate's high word is the last of code page 1, its low word
// the first of page 2 (physical 0x9000). With page 2 missing the fetch of that word faults as a
// word-sized program read at 0x2000, and the frame's PC is the MOVE's.
TEST(MmuStep, ImmediateAcrossACodePage) {
    for (const CpuType type : {CpuType::M68030, CpuType::M68040, CpuType::M68060}) {
        for (const bool mapped : {true, false}) {
            SCOPED_TRACE(::testing::Message() << static_cast<int>(type) << (mapped ? " mapped" : " missing"));
            Rig r(type);
            const bool m030 = type == CpuType::M68030;
            if (m030) {
                r.tables.map_030(0x2000, 0x9000);
            } else {
                r.tables.map_040(0x2000, 0x9000);
            }
            if (!mapped) {
                r.bus.poke_long(m030 ? r.tables.page_descriptor_030(0x2000) : r.tables.page_descriptor_040(0x2000), 0);
            }
            r.code({0x203C, 0x1234}, 0x1FFC);
            r.bus.poke_word(0x9000, 0x5678);
            r.user_at(0x1FFC);
            r.cpu.data_regs[0] = 0x11111111;
            r.run();
            if (mapped) {
                EXPECT_EQ(r.cpu.data_regs[0], 0x12345678u);
                EXPECT_EQ(r.cpu.pc, 0x2002u);
                continue;
            }
            EXPECT_EQ(r.cpu.pc, kHandler + 0x10 * kVectorBusError);
            EXPECT_EQ(r.cpu.data_regs[0], 0x11111111u);
            const uint32_t sp = r.cpu.addr_regs[7];
            EXPECT_EQ(r.bus.peek_long(sp + 2), 0x1FFCu);
            if (type == CpuType::M68030) {
                EXPECT_EQ(r.bus.peek_word(sp + 10), 0x5000 | 2) << "FC, FB, user program";
                EXPECT_EQ(r.bus.peek_long(sp + 36), 0x2000u) << "stage B address";
            } else if (type == CpuType::M68040) {
                EXPECT_EQ(r.bus.peek_word(sp + 12), 0x0400 | 0x100 | 0x40 | 2);
                EXPECT_EQ(r.bus.peek_long(sp + 20), 0x2000u);
            } else {
                EXPECT_EQ(r.bus.peek_long(sp + 8), 0x2000u);
                EXPECT_EQ(r.bus.peek_long(sp + 12), 0x200u + 0x8000u + (2u << 16) + 0x400000u + 0x1000000u);
            }
        }
    }
}

// ---- Restart by RTE ----

// 68040 format 7 after a write fault. With the write-back still marked valid (bit 7 of WB3S,
// as the processor stacks it) the re-run repeats the write and faults again; once the handler
// has done the write itself and cleared that bit, the re-run's write to the write-back address
// is dropped, once. Page 6 stays write protected throughout.
TEST(MmuStep, Rte040Format7SkipsTheWriteTheHandlerDid) {
    for (const bool handler_wrote : {false, true}) {
        SCOPED_TRACE(handler_wrote);
        Rig r(CpuType::M68040);
        r.tables.map_040(0x6000, 0x789000, 4);
        r.code({0x2080, 0x2080});  // MOVE.L D0,(A0) twice
        r.user_at(kCode);
        r.cpu.addr_regs[0] = 0x6000;
        r.cpu.data_regs[0] = 0xCAFEF00D;
        r.run();
        ASSERT_EQ(r.cpu.pc, kHandler + 0x10 * kVectorBusError);
        const uint32_t sp = r.cpu.addr_regs[7];
        EXPECT_EQ(r.bus.peek_word(sp + 12), 0x0400 | 1) << "ATC fault, write, long, FC 1";
        EXPECT_EQ(r.bus.peek_word(sp + 14), 0x0080 | 1) << "write-back pending";
        EXPECT_EQ(r.bus.peek_long(sp + 24), 0x6000u);
        EXPECT_EQ(r.bus.peek_long(sp + 28), 0xCAFEF00Du);
        if (handler_wrote) {
            r.bus.poke_long(0x789000, 0xCAFEF00D);
            r.bus.poke_word(sp + 14, 0x0001);
        }
        r.run();  // RTE
        EXPECT_EQ(r.cpu.pc, kCode);
        EXPECT_EQ(r.cpu.addr_regs[7], 0x0F00u) << "back on the user stack";
        r.run();  // the MOVE again
        if (!handler_wrote) {
            EXPECT_EQ(r.cpu.pc, kHandler + 0x10 * kVectorBusError) << "the write faulted again";
            continue;
        }
        EXPECT_EQ(r.cpu.pc, kCode + 2) << "the write was dropped, not faulted";
        EXPECT_EQ(r.bus.peek_long(0x789000), 0xCAFEF00Du);
        EXPECT_FALSE(r.cpu.skip_write_addr.has_value());
        r.run();  // the second MOVE is not dropped: it faults
        EXPECT_EQ(r.cpu.pc, kHandler + 0x10 * kVectorBusError);
    }
}

// 68030 format B. With DF (SSW bit 8) still set the data cycle is re-run. Cleared by the
// handler, a read takes the data input buffer (+44) and a write is dropped; both once.
TEST(MmuStep, Rte030FormatBReturnsTheHandlersData) {
    struct Case {
        const char* name;
        uint16_t opcode;  // on A0
        uint32_t a0;
        bool clear_df;
        uint32_t fault_address;
        uint16_t ssw;
        uint32_t d0_after;
    };
    const Case cases[] = {
        {"read, DF set", 0x2010, 0x6000, false, 0x6000, 0x0100 | 0x40 | 1, 0},
        {"read, DF clear", 0x2010, 0x6000, true, 0x6000, 0x0100 | 0x40 | 1, 0xBEEF1234},
        // Across pages: the fault is on the second word at 0x6000; its data is the buffer's
        // low word, the first word comes from page 5.
        {"straddling read, DF clear", 0x2010, 0x5FFE, true, 0x6000, 0x0100 | 0x40 | 0x20 | 1, 0xAAAA1234},
        {"write, DF clear", 0x2080, 0x6000, true, 0x6000, 0x0100 | 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r(CpuType::M68030);
        r.tables.map_030(0x5000, 0x345000);
        r.tables.map_030(0x6000, 0x789000);
        r.bus.poke_long(r.tables.page_descriptor_030(0x6000), 0x00789000);  // invalid
        r.bus.poke_word(0x345FFE, 0xAAAA);
        const bool write = c.opcode == 0x2080;
        r.code({c.opcode, c.opcode});
        r.user_at(kCode);
        r.cpu.addr_regs[0] = c.a0;
        r.cpu.data_regs[0] = write ? 0xCAFEF00D : 0;
        r.run();
        ASSERT_EQ(r.cpu.pc, kHandler + 0x10 * kVectorBusError);
        const uint32_t sp = r.cpu.addr_regs[7];
        EXPECT_EQ(r.bus.peek_word(sp + 10), c.ssw);
        EXPECT_EQ(r.bus.peek_long(sp + 16), c.fault_address);
        if (c.clear_df) {
            r.bus.poke_word(sp + 10, static_cast<uint16_t>(c.ssw & ~0x0100));
            r.bus.poke_long(sp + 44, 0xBEEF1234);
        }
        r.run();  // RTE
        EXPECT_EQ(r.cpu.pc, kCode);
        EXPECT_EQ(r.cpu.addr_regs[7], 0x0F00u);
        r.run();  // the instruction again
        if (!c.clear_df) {
            EXPECT_EQ(r.cpu.pc, kHandler + 0x10 * kVectorBusError) << "the read faulted again";
            continue;
        }
        EXPECT_EQ(r.cpu.pc, kCode + 2);
        if (!write) {
            EXPECT_EQ(r.cpu.data_regs[0], c.d0_after);
        }
        EXPECT_FALSE(r.cpu.read_latch.has_value());
        EXPECT_FALSE(r.cpu.skip_write_addr.has_value());
        r.run();  // once only: the same access faults again
        EXPECT_EQ(r.cpu.pc, kHandler + 0x10 * kVectorBusError);
    }
}

}  // namespace
}  // namespace m68k
