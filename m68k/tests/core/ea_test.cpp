// Memory access and effective addresses, with a recording bus.
#include <gtest/gtest.h>

#include <memory>
#include <type_traits>
#include <vector>

#include "core/ea.hpp"
#include "core/prefetch.hpp"
#include "m68k/cpu.hpp"
#include "support/test_bus.hpp"

namespace m68k {
namespace {

using test::Access;
using test::BusEvent;

struct Rig {
    explicit Rig(CpuType type) {
        cpu.set_cpu_type(type);
        cpu.addr_regs[7] = 0x8000;
        for (uint32_t v = 0; v < 256; ++v) bus.poke_long(4 * v, 0x3000);
    }
    Cpu cpu;
    test::TestBus bus;
};

TEST(Ea, OddAddressRuleOfThe68000Class) {
    Rig scc(CpuType::Scc68070);
    scc.bus.events.clear();
    EXPECT_EQ(read_data_word(scc.cpu, scc.bus, 0x2001), 0u);
    EXPECT_EQ(scc.cpu.aborted, 1u);
    for (const auto& e : scc.bus.events) EXPECT_NE(e.address, 0x2001u) << "no access at the odd address";

    Rig byte(CpuType::Scc68070);
    byte.bus.events.clear();
    read_data_byte(byte.cpu, byte.bus, 0x2001);
    EXPECT_EQ(byte.bus.events, (std::vector<BusEvent>{{Access::ReadByte, 0x2001, 0}}));

    Rig c020(CpuType::M68020);
    c020.bus.events.clear();
    read_data_word(c020.cpu, c020.bus, 0x2001);
    EXPECT_EQ(c020.bus.events, (std::vector<BusEvent>{{Access::ReadWord, 0x2001, 0}}));
    EXPECT_EQ(c020.cpu.aborted, 0u);
}

TEST(Ea, AbortSilencesTheRestOfTheInstruction) {
    Rig r(CpuType::Scc68070);
    r.cpu.aborted = 1;
    r.cpu.addr_regs[3] = 0x2000;
    r.bus.events.clear();
    EXPECT_EQ(read_data_long(r.cpu, r.bus, 0x2000), 0u);
    write_data_word(r.cpu, r.bus, 0x2000, 1);
    const Operand op = compute_ea(r.cpu, r.bus, static_cast<uint8_t>(EaKind::PostInc), 3, kSizeLong);
    EXPECT_EQ(op.tag, OperandTag::Memory);
    EXPECT_EQ(op.value, 0u);
    EXPECT_EQ(r.cpu.addr_regs[3], 0x2000u) << "no increment";
    EXPECT_TRUE(r.bus.events.empty());
}

TEST(Ea, LongWritePaths) {
    Rig via_ea(CpuType::Scc68070);
    via_ea.cpu.addr_regs[0] = 0x2000;
    via_ea.bus.events.clear();
    write_ea(via_ea.cpu, via_ea.bus, static_cast<uint8_t>(EaKind::Indirect), 0, kSizeLong, 0x11223344);
    EXPECT_EQ(via_ea.bus.events, (std::vector<BusEvent>{{Access::WriteLong, 0x2000, 0x11223344}}));

    Rig via_operand(CpuType::Scc68070);
    via_operand.bus.events.clear();
    write_operand(via_operand.cpu, via_operand.bus, Operand{OperandTag::Memory, 0, 0x2000}, kSizeLong, 0x11223344);
    EXPECT_EQ(via_operand.bus.events,
              (std::vector<BusEvent>{{Access::WriteWord, 0x2002, 0x3344}, {Access::WriteWord, 0x2000, 0x1122}}));

    Rig c020(CpuType::M68020);
    c020.bus.events.clear();
    write_operand(c020.cpu, c020.bus, Operand{OperandTag::Memory, 0, 0x2000}, kSizeLong, 0x11223344);
    EXPECT_EQ(c020.bus.events, (std::vector<BusEvent>{{Access::WriteLong, 0x2000, 0x11223344}}));

    Rig sized(CpuType::Scc68070);
    sized.bus.events.clear();
    write_memory_sized(sized.cpu, sized.bus, 0x2000, kSizeLong, 0x11223344);
    EXPECT_EQ(sized.bus.events,
              (std::vector<BusEvent>{{Access::WriteWord, 0x2000, 0x1122}, {Access::WriteWord, 0x2002, 0x3344}}));
}

TEST(Ea, ModesAndSteps) {
    struct Case {
        EaKind kind;
        uint8_t reg;
        uint8_t size;
        uint32_t address;   // resolved
        uint32_t an_after;  // of the register (A7 for reg 7)
    };
    const Case cases[] = {
        {EaKind::PostInc, 7, kSizeByte, 0x4000, 0x4002},  // A7 keeps word alignment
        {EaKind::PostInc, 3, kSizeByte, 0x4000, 0x4001},
        {EaKind::PreDec, 7, kSizeByte, 0x3FFE, 0x3FFE},
        {EaKind::PreDec, 3, kSizeLong, 0x3FFC, 0x3FFC},
        {EaKind::Disp16, 3, kSizeWord, 0x4000 - 2, 0x4000},  // extension word 0xFFFE
        {EaKind::PcDisp16, 0, kSizeWord, 0x1002 - 2, 0},     // base = the extension word's address
        {EaKind::AbsWord, 0, kSizeWord, 0xFFFFFFFE, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        Rig r(CpuType::Scc68070);
        r.cpu.addr_regs[3] = 0x4000;
        r.cpu.addr_regs[7] = 0x4000;
        r.cpu.pc = 0x1002;
        r.bus.poke_word(0x1002, 0xFFFE);
        const Operand op = compute_ea(r.cpu, r.bus, static_cast<uint8_t>(c.kind), c.reg, c.size);
        EXPECT_EQ(op.value, c.address);
        if (c.kind != EaKind::PcDisp16 && c.kind != EaKind::AbsWord) {
            EXPECT_EQ(r.cpu.addr_regs[c.reg], c.an_after);
        }
    }
}

TEST(Ea, IndexedExtensionWords) {
    // Brief format: d8 + Xn.W, no scale on the 68000 class; full format only on the 68020 class.
    Rig m0(CpuType::M68000);
    m0.cpu.data_regs[2] = 0x00010004;  // word index 4
    EXPECT_EQ(compute_indexed_ea(m0.cpu, m0.bus, 0x1000, 0x2610), 0x1000u + 0x10 + 4) << "scale bits ignored";
    EXPECT_EQ(compute_indexed_ea(m0.cpu, m0.bus, 0x1000, 0x2910), 0x1000u + 0x10 + 0x10004)
        << "long index; bit 8 (full format) ignored";

    Rig c020(CpuType::M68020);
    c020.cpu.data_regs[2] = 4;
    EXPECT_EQ(compute_indexed_ea(c020.cpu, c020.bus, 0x1000, 0x2210), 0x1000u + 0x10 + 8) << "scale 2";
    // Full format, base displacement word 0x0100, no memory indirection.
    c020.cpu.pc = 0x2000;
    c020.bus.poke_word(0x2000, 0x0100);
    EXPECT_EQ(compute_indexed_ea(c020.cpu, c020.bus, 0x1000, 0x2120), 0x1000u + 0x100 + 4);
    EXPECT_EQ(c020.cpu.pc, 0x2002u);
}

TEST(Ea, LongReadWrapsOn32BitTypes) {
    Rig r(CpuType::M68020);
    r.bus.events.clear();
    read_data_long(r.cpu, r.bus, 0xFFFFFFFE);
    EXPECT_EQ(r.bus.events, (std::vector<BusEvent>{{Access::ReadWord, 0xFFFFFFFE, r.bus.peek_word(0xFFFFFE)},
                                                   {Access::ReadWord, 0x00000000, r.bus.peek_word(0)}}));
}

TEST(Ea, ReadLatchAndSkippedWriteAreOneShot) {
    Rig r(CpuType::Scc68070);
    r.bus.poke_word(0x2000, 0x1111);
    r.cpu.read_latch = ReadLatch{0x2000, 0xABCD1234};
    r.bus.events.clear();
    EXPECT_EQ(read_data_word(r.cpu, r.bus, 0x2000), 0x1234u);
    EXPECT_TRUE(r.bus.events.empty());
    EXPECT_EQ(read_data_word(r.cpu, r.bus, 0x2000), 0x1111u);
    r.cpu.skip_write_addr = 0x2000;
    write_data_word(r.cpu, r.bus, 0x2000, 0x2222);
    EXPECT_EQ(r.bus.peek_word(0x2000), 0x1111);
    write_data_word(r.cpu, r.bus, 0x2000, 0x2222);
    EXPECT_EQ(r.bus.peek_word(0x2000), 0x2222);
    EXPECT_EQ(r.cpu.last_write_data, 0x2222u);
}

TEST(Ea, RegisterOperands) {
    Rig r(CpuType::Scc68070);
    r.cpu.data_regs[1] = 0x11223344;
    write_operand(r.cpu, r.bus, Operand{OperandTag::DataReg, 1, 0}, kSizeByte, 0xFFFFFFAA);
    EXPECT_EQ(r.cpu.data_regs[1], 0x112233AAu);
    write_operand(r.cpu, r.bus, Operand{OperandTag::AddrReg, 1, 0}, kSizeWord, 0xFFFF8000);
    EXPECT_EQ(r.cpu.addr_regs[1], 0xFFFF8000u) << "An takes all 32 bits";
    r.cpu.addr_regs[2] = 0x12345678;
    EXPECT_EQ(read_operand(r.cpu, r.bus, Operand{OperandTag::AddrReg, 2, 0}, kSizeWord), 0x5678u);
}

TEST(Prefetch, OnlyTheQueueTypesPrefetch) {
    // M68000: NOP from a full queue reads exactly one word, at the new PC + 2.
    Rig m0(CpuType::M68000);
    m0.cpu.pc = 0x1000;
    m0.cpu.prefetch_queue = {0x4E71, 0x4E71};
    m0.cpu.prefetch_count = 2;
    m0.bus.events.clear();
    EXPECT_EQ(step(m0.cpu, m0.bus), StepResult::ok(4));
    EXPECT_EQ(m0.bus.events, (std::vector<BusEvent>{{Access::ReadWord, 0x1004, 0}}));
    EXPECT_EQ(m0.cpu.pc, 0x1002u);

    // SCC68070: every instruction word is read once, on demand.
    Rig scc(CpuType::Scc68070);
    scc.cpu.pc = 0x1000;
    scc.bus.poke_word(0x1000, 0x4E71);
    scc.bus.events.clear();
    step(scc.cpu, scc.bus);
    EXPECT_EQ(scc.bus.events, (std::vector<BusEvent>{{Access::ReadWord, 0x1000, 0x4E71}}));
    prefetch_fill(scc.cpu, scc.bus);
    prefetch_fill_first(scc.cpu, scc.bus);
    EXPECT_EQ(scc.bus.events.size(), 1u);
}

// ---- The compile-time EA API and the inline accessors against the generic composition ----

template <uint8_t S>
uint32_t read_ea_typed(Cpu& c, CpuBus& b, uint8_t kind, uint8_t reg) {
    switch (kind) {
    case 0: return read_ea_t<EaKind::DataReg, S>(c, b, reg);
    case 1: return read_ea_t<EaKind::AddrReg, S>(c, b, reg);
    case 2: return read_ea_t<EaKind::Indirect, S>(c, b, reg);
    case 3: return read_ea_t<EaKind::PostInc, S>(c, b, reg);
    case 4: return read_ea_t<EaKind::PreDec, S>(c, b, reg);
    case 5: return read_ea_t<EaKind::Disp16, S>(c, b, reg);
    case 6: return read_ea_t<EaKind::Indexed, S>(c, b, reg);
    case 7: return read_ea_t<EaKind::AbsWord, S>(c, b, reg);
    case 8: return read_ea_t<EaKind::AbsLong, S>(c, b, reg);
    case 9: return read_ea_t<EaKind::PcDisp16, S>(c, b, reg);
    case 10: return read_ea_t<EaKind::PcIndexed, S>(c, b, reg);
    default: return read_ea_t<EaKind::Immediate, S>(c, b, reg);
    }
}

template <uint8_t S>
void write_ea_typed(Cpu& c, CpuBus& b, uint8_t kind, uint8_t reg, uint32_t v) {
    switch (kind) {
    case 0: write_ea_t<EaKind::DataReg, S>(c, b, reg, v); return;
    case 1: write_ea_t<EaKind::AddrReg, S>(c, b, reg, v); return;
    case 2: write_ea_t<EaKind::Indirect, S>(c, b, reg, v); return;
    case 3: write_ea_t<EaKind::PostInc, S>(c, b, reg, v); return;
    case 4: write_ea_t<EaKind::PreDec, S>(c, b, reg, v); return;
    case 5: write_ea_t<EaKind::Disp16, S>(c, b, reg, v); return;
    case 6: write_ea_t<EaKind::Indexed, S>(c, b, reg, v); return;
    case 7: write_ea_t<EaKind::AbsWord, S>(c, b, reg, v); return;
    case 8: write_ea_t<EaKind::AbsLong, S>(c, b, reg, v); return;
    case 9: write_ea_t<EaKind::PcDisp16, S>(c, b, reg, v); return;
    case 10: write_ea_t<EaKind::PcIndexed, S>(c, b, reg, v); return;
    default: write_ea_t<EaKind::Immediate, S>(c, b, reg, v); return;
    }
}

template <uint8_t S>
Operand compute_ea_typed(Cpu& c, CpuBus& b, uint8_t kind, uint8_t reg) {
    switch (kind) {
    case 0: return compute_ea_t<EaKind::DataReg, S>(c, b, reg);
    case 1: return compute_ea_t<EaKind::AddrReg, S>(c, b, reg);
    case 2: return compute_ea_t<EaKind::Indirect, S>(c, b, reg);
    case 3: return compute_ea_t<EaKind::PostInc, S>(c, b, reg);
    case 4: return compute_ea_t<EaKind::PreDec, S>(c, b, reg);
    case 5: return compute_ea_t<EaKind::Disp16, S>(c, b, reg);
    case 6: return compute_ea_t<EaKind::Indexed, S>(c, b, reg);
    case 7: return compute_ea_t<EaKind::AbsWord, S>(c, b, reg);
    case 8: return compute_ea_t<EaKind::AbsLong, S>(c, b, reg);
    case 9: return compute_ea_t<EaKind::PcDisp16, S>(c, b, reg);
    case 10: return compute_ea_t<EaKind::PcIndexed, S>(c, b, reg);
    default: return compute_ea_t<EaKind::Immediate, S>(c, b, reg);
    }
}

template <typename F>
auto by_size(uint8_t size, F&& f) {
    if (size == kSizeByte) return f(std::integral_constant<uint8_t, kSizeByte>{});
    if (size == kSizeWord) return f(std::integral_constant<uint8_t, kSizeWord>{});
    return f(std::integral_constant<uint8_t, kSizeLong>{});
}

// The operand access written out by hand, as the reference for the library's forms.
uint32_t reference_read_operand(Cpu& cpu, CpuBus& bus, const Operand& op, uint8_t size) {
    switch (op.tag) {
    case OperandTag::DataReg: return cpu.data_regs[op.reg & 7] & size_mask(size);
    case OperandTag::AddrReg: return cpu.addr_regs[op.reg & 7] & size_mask(size);
    case OperandTag::Memory:
        if (size == kSizeByte) return read_data_byte_full(cpu, bus, op.value);
        if (size == kSizeWord) return read_data_word_full(cpu, bus, op.value);
        return read_data_long_full(cpu, bus, op.value);
    default: return op.value & size_mask(size);
    }
}

void reference_write_operand(Cpu& cpu, CpuBus& bus, const Operand& op, uint8_t size, uint32_t value) {
    if (op.tag == OperandTag::AddrReg) {
        cpu.addr_regs[op.reg & 7] = value;
    } else if (op.tag == OperandTag::DataReg) {
        const uint32_t mask = size_mask(size);
        cpu.data_regs[op.reg & 7] = (cpu.data_regs[op.reg & 7] & ~mask) | (value & mask);
    } else if (op.tag == OperandTag::Memory) {
        prefetch_fill(cpu, bus);
        if (size == kSizeByte) {
            write_data_byte_full(cpu, bus, op.value, value);
        } else if (size == kSizeWord) {
            write_data_word_full(cpu, bus, op.value, value);
        } else if (cpu.m68000_class) {
            write_data_word_full(cpu, bus, op.value + 2, value & 0xFFFF);
            write_data_word_full(cpu, bus, op.value, value >> 16);
        } else {
            write_data_long_full(cpu, bus, op.value, value);
        }
    }
}

enum class State { Plain, OddBase, Aborted, ReadLatch, SkipWrite };

// A reusable rig: a 16 MiB bus is too dear to build for every case, so each case restores the
// few regions any access of these tests can touch.
struct EaRig {
    Cpu cpu;
    test::TestBus bus;

    EaRig& prepare(CpuType type, State state) {
        bus.recording = false;
        cpu = Cpu{};
        cpu.set_cpu_type(type);
        for (uint32_t v = 0; v < 256; ++v) bus.poke_long(4 * v, 0x3000);
        for (uint32_t a = 0x1000; a < 0x1100; a += 2) bus.poke_word(a, 0);
        bus.poke_word(0x1000, 0x0024);  // d16 / brief extension (D0.W, d8 0x24) / immediate
        bus.poke_word(0x1004, 0x3000);
        for (uint32_t a = 0x1E00; a < 0x2200; a += 2) bus.poke_word(a, static_cast<uint16_t>(a * 40503u));
        for (uint32_t a = 0x240000; a < 0x240008; a += 2) bus.poke_word(a, 0);
        for (uint32_t a = 0xFFFFF0; a < 0x1000000; a += 2) bus.poke_word(a, 0);
        cpu.pc = 0x1000;
        for (int i = 0; i < 8; ++i) {
            cpu.data_regs[i] = 0x11111110u * static_cast<uint32_t>(i) + 6;
            cpu.addr_regs[i] = state == State::OddBase ? 0x2001 : 0x2000;
        }
        if (state == State::Aborted) cpu.aborted = 1;
        if (state == State::ReadLatch) cpu.read_latch = ReadLatch{0x2000, 0xCAFEF00D};
        if (state == State::SkipWrite) cpu.skip_write_addr = 0x2000;
        bus.events.clear();
        bus.recording = true;
        return *this;
    }
};

void expect_same(const EaRig& want, const EaRig& got) {
    EXPECT_EQ(got.cpu.data_regs, want.cpu.data_regs);
    EXPECT_EQ(got.cpu.addr_regs, want.cpu.addr_regs);
    EXPECT_EQ(got.cpu.pc, want.cpu.pc);
    EXPECT_EQ(got.cpu.aborted, want.cpu.aborted);
    EXPECT_EQ(got.cpu.vector_this_step, want.cpu.vector_this_step);
    EXPECT_EQ(got.cpu.read_latch.has_value(), want.cpu.read_latch.has_value());
    EXPECT_EQ(got.cpu.skip_write_addr.has_value(), want.cpu.skip_write_addr.has_value());
    EXPECT_EQ(got.cpu.last_write_data, want.cpu.last_write_data);
    EXPECT_EQ(got.bus.events, want.bus.events);
}

// Every kind, size, type and rare state: the typed and runtime forms do exactly what the
// generic compute-then-access composition does, fault or not.
TEST(EaTyped, MatchesTheGenericComposition) {
    const CpuType types[] = {CpuType::Scc68070, CpuType::M68000, CpuType::M68020};
    const State states[] = {State::Plain, State::OddBase, State::Aborted, State::ReadLatch, State::SkipWrite};
    auto ref_rig = std::make_unique<EaRig>(), rt_rig = std::make_unique<EaRig>(),
         typed_rig = std::make_unique<EaRig>();
    for (const CpuType type : types) {
        for (const State state : states) {
            for (uint8_t kind = 0; kind <= 11; ++kind) {
                for (uint8_t size = 0; size <= 2; ++size) {
                    if (kind == 1 && size == kSizeByte) continue;
                    SCOPED_TRACE(testing::Message() << "type " << static_cast<int>(type) << " state "
                                                    << static_cast<int>(state) << " kind " << int{kind}
                                                    << " size " << int{size});
                    const uint8_t reg = 3;
                    // Reads.
                    EaRig& ref = ref_rig->prepare(type, state);
                    EaRig& rt = rt_rig->prepare(type, state);
                    EaRig& typed = typed_rig->prepare(type, state);
                    const Operand op = compute_ea_full(ref.cpu, ref.bus, kind, reg, size);
                    const uint32_t want = reference_read_operand(ref.cpu, ref.bus, op, size);
                    EXPECT_EQ(read_ea(rt.cpu, rt.bus, kind, reg, size), want);
                    expect_same(ref, rt);
                    const uint32_t got = by_size(size, [&](auto s) {
                        return read_ea_typed<decltype(s)::value>(typed.cpu, typed.bus, kind, reg);
                    });
                    EXPECT_EQ(got, want);
                    expect_same(ref, typed);

                    // MOVE-destination writes.
                    const uint32_t value = 0x89ABCDEF;
                    EaRig& wref = ref_rig->prepare(type, state);
                    EaRig& wrt = rt_rig->prepare(type, state);
                    EaRig& wtyped = typed_rig->prepare(type, state);
                    const Operand wop = compute_ea_full(wref.cpu, wref.bus, kind, reg, size);
                    if (wop.tag == OperandTag::Memory) {
                        if (size == kSizeByte) write_data_byte_full(wref.cpu, wref.bus, wop.value, value);
                        if (size == kSizeWord) write_data_word_full(wref.cpu, wref.bus, wop.value, value);
                        if (size == kSizeLong) write_data_long_full(wref.cpu, wref.bus, wop.value, value);
                    } else if (wop.tag != OperandTag::Immediate) {
                        reference_write_operand(wref.cpu, wref.bus, wop, size, value);
                    }
                    write_ea(wrt.cpu, wrt.bus, kind, reg, size, value);
                    expect_same(wref, wrt);
                    by_size(size, [&](auto s) {
                        write_ea_typed<decltype(s)::value>(wtyped.cpu, wtyped.bus, kind, reg, value);
                        return 0;
                    });
                    expect_same(wref, wtyped);

                    // Read-modify-write through an Operand, runtime and typed.
                    EaRig& oref = ref_rig->prepare(type, state);
                    EaRig& ort = rt_rig->prepare(type, state);
                    EaRig& otyped = typed_rig->prepare(type, state);
                    const Operand o1 = compute_ea_full(oref.cpu, oref.bus, kind, reg, size);
                    const uint32_t v1 = reference_read_operand(oref.cpu, oref.bus, o1, size);
                    reference_write_operand(oref.cpu, oref.bus, o1, size, v1 + 1);
                    const Operand o3 = compute_ea(ort.cpu, ort.bus, kind, reg, size);
                    EXPECT_EQ(read_operand(ort.cpu, ort.bus, o3, size), v1);
                    write_operand(ort.cpu, ort.bus, o3, size, v1 + 1);
                    expect_same(oref, ort);
                    by_size(size, [&](auto s) {
                        constexpr uint8_t S = decltype(s)::value;
                        const Operand o2 = compute_ea_typed<S>(otyped.cpu, otyped.bus, kind, reg);
                        EXPECT_EQ(o2.tag, o1.tag);
                        EXPECT_EQ(o2.value, o1.value);
                        const uint32_t v2 = read_operand_t<S>(otyped.cpu, otyped.bus, o2);
                        EXPECT_EQ(v2, v1);
                        write_operand_t<S>(otyped.cpu, otyped.bus, o2, v2 + 1);
                        return 0;
                    });
                    expect_same(oref, otyped);
                }
            }
        }
    }
}

// The inline accessors take their short path only in the plain state; in every other state they
// must do what the complete routines do.
TEST(EaTyped, InlineAccessorsMatchTheCompleteOnes) {
    const CpuType types[] = {CpuType::Scc68070, CpuType::M68000, CpuType::M68020};
    const State states[] = {State::Plain, State::Aborted, State::ReadLatch, State::SkipWrite};
    auto full_rig = std::make_unique<EaRig>(), fast_rig = std::make_unique<EaRig>();
    for (const CpuType type : types) {
        for (const State state : states) {
            for (const uint32_t address : {0x2000u, 0x2001u, 0x1FFFFFEu}) {
                SCOPED_TRACE(testing::Message() << "type " << static_cast<int>(type) << " state "
                                                << static_cast<int>(state) << " address " << address);
                EaRig& full = full_rig->prepare(type, state);
                EaRig& fast = fast_rig->prepare(type, state);
                uint32_t want[3], got[3];
                want[0] = read_data_byte_full(full.cpu, full.bus, address);
                want[1] = read_data_word_full(full.cpu, full.bus, address);
                want[2] = read_data_long_full(full.cpu, full.bus, address);
                write_data_byte_full(full.cpu, full.bus, address, 0x12);
                write_data_word_full(full.cpu, full.bus, address, 0x3456);
                write_data_long_full(full.cpu, full.bus, address, 0x789ABCDE);
                got[0] = read_data_byte(fast.cpu, fast.bus, address);
                got[1] = read_data_word(fast.cpu, fast.bus, address);
                got[2] = read_data_long(fast.cpu, fast.bus, address);
                write_data_byte(fast.cpu, fast.bus, address, 0x12);
                write_data_word(fast.cpu, fast.bus, address, 0x3456);
                write_data_long(fast.cpu, fast.bus, address, 0x789ABCDE);
                EXPECT_EQ(std::vector<uint32_t>(got, got + 3), std::vector<uint32_t>(want, want + 3));
                expect_same(full, fast);

                // Instruction fetches from an even and an odd PC.
                EaRig& ffull = full_rig->prepare(type, state);
                EaRig& ffast = fast_rig->prepare(type, state);
                ffull.cpu.pc = ffast.cpu.pc = address;
                const uint32_t w1 = fetch_word_full(ffull.cpu, ffull.bus);
                const uint32_t l1 = fetch_long_full(ffull.cpu, ffull.bus);
                EXPECT_EQ(fetch_word(ffast.cpu, ffast.bus), w1);
                EXPECT_EQ(fetch_long(ffast.cpu, ffast.bus), l1);
                expect_same(ffull, ffast);
            }
        }
    }
}

}  // namespace
}  // namespace m68k
