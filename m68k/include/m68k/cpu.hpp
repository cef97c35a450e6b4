// The state of one emulated 68000-family processor and the operations the machine calls on it.
//
// `Cpu` is a plain value: the machine owns one for the whole run and passes it, with its bus, to
// every operation below. The frame scheduler writes `pending_level`, `slice_budget` and
// `slice_len` directly.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "m68k/cpu_bus.hpp"
#include "m68k/fx80.hpp"

namespace m68k {

// Processor models. The values are fixed: the type gates of the whole core compare them.
enum class CpuType : uint32_t {
    Invalid = 0,
    M68000 = 1,
    M68010 = 2,
    M68EC020 = 3,
    M68020 = 4,
    M68EC030 = 5,
    M68030 = 6,
    M68EC040 = 7,
    M68LC040 = 8,
    M68040 = 9,
    Scc68070 = 10,
    M68060 = 11,
};

inline constexpr int kCpuTypeCount = 12;

// 68000 class: M68000, M68010, Scc68070 (no 68020 instruction, odd data addresses fault).
constexpr bool is_68000_class(CpuType t) {
    return t == CpuType::M68000 || t == CpuType::M68010 || t == CpuType::Scc68070;
}
// 68020 class: every working type outside the 68000 class.
constexpr bool is_68020_class(CpuType t) {
    return t != CpuType::Invalid && !is_68000_class(t) && static_cast<uint32_t>(t) < kCpuTypeCount;
}
// 68040/060 class.
constexpr bool is_68040_class(CpuType t) {
    return t == CpuType::M68EC040 || t == CpuType::M68LC040 || t == CpuType::M68040 ||
           t == CpuType::M68060;
}
// Only these two model the two-word prefetch queue.
constexpr bool uses_prefetch_queue(CpuType t) {
    return t == CpuType::M68000 || t == CpuType::M68010;
}

// What `step` reports. Only Ok carries cycles.
enum class StepStatus : uint8_t {
    Ok = 0,
    LineA = 1,
    LineF = 2,
    Trap = 3,
    Breakpoint = 4,
    Illegal = 5,
    Stopped = 6,
};

// 64-bit step result: bits 0-7 status, 8-15 number (TRAP n / BKPT k), 16-31 opcode (line A,
// line F, illegal), 32-63 cycles (Ok only).
struct StepResult {
    uint64_t raw = 0;

    constexpr StepStatus status() const { return static_cast<StepStatus>(raw & 0xFF); }
    constexpr uint8_t number() const { return static_cast<uint8_t>((raw >> 8) & 0xFF); }
    constexpr uint16_t opcode() const { return static_cast<uint16_t>((raw >> 16) & 0xFFFF); }
    constexpr uint32_t cycles() const { return static_cast<uint32_t>(raw >> 32); }

    static constexpr StepResult make(StepStatus status, uint8_t number, uint16_t opcode,
                                     uint32_t cycles) {
        return StepResult{static_cast<uint64_t>(status) | (static_cast<uint64_t>(number) << 8) |
                          (static_cast<uint64_t>(opcode) << 16) |
                          (static_cast<uint64_t>(cycles) << 32)};
    }
    static constexpr StepResult ok(uint32_t cycles) { return make(StepStatus::Ok, 0, 0, cycles); }
    static constexpr StepResult stopped_result() { return make(StepStatus::Stopped, 0, 0, 0); }

    friend constexpr bool operator==(const StepResult&, const StepResult&) = default;
};

// One address-translation cache entry (68030/040/060 MMU).
struct AtcEntry {
    uint32_t tag = 0;  // page number << 1 | supervisor bit
    uint32_t physical_page = 0;
    uint8_t valid = 0;
    uint8_t write_protect = 0;
    uint8_t supervisor_only = 0;
};

// 68060 branch cache: state bits 0-1 taken counter, bit 2 valid, bit 3 made in user mode.
struct BranchCache {
    std::array<uint32_t, 256> tags{};
    std::array<uint8_t, 256> state{};
};

// State right after a fault's exception frame was pushed; step restores it.
struct FaultSnapshot {
    bool valid = false;
    uint32_t pc = 0;
    uint16_t sr = 0;
    std::array<uint32_t, 16> regs{};
};

// The status register as it stood at the start of the instruction, kept in the split form so
// that step saves it with plain copies. Reads and writes as a 16-bit SR.
struct StartStatus {
    uint32_t t1 = 0, t0 = 0, s = 0, m = 0, mask = 0;
    uint32_t x = 0, n = 0, not_z = 1, v = 0, c = 0;

    constexpr operator uint16_t() const {
        const uint32_t z = not_z == 0 ? 1 : 0;
        return static_cast<uint16_t>(t1 | t0 | (s << 11) | (m << 11) | mask | ((x >> 4) & 0x10) |
                                     ((n >> 4) & 8) | (z << 2) | ((v >> 6) & 2) | ((c >> 8) & 1));
    }
    constexpr StartStatus& operator=(uint16_t sr) {
        t1 = sr & 0x8000u;
        t0 = sr & 0x4000u;
        s = (sr >> 11) & 4u;
        m = (sr >> 11) & 2u;
        mask = sr & 0x700u;
        x = (sr & 0x10u) << 4;
        n = (static_cast<uint32_t>(sr) << 4) & 0x80;
        not_z = (sr & 4) ? 0 : 1;
        v = (static_cast<uint32_t>(sr) << 6) & 0x80;
        c = (sr & 1u) << 8;
        return *this;
    }
};

// One-shot restart latch: the next data read of exactly `address` returns `data`.
struct ReadLatch {
    uint32_t address = 0;
    uint32_t data = 0;
};

// The per-type conversion of 68000 cycle counts that step applies (set by set_cpu_type).
enum class CycleModel : uint8_t { Native = 0, Scc68070 = 1, M68020 = 2, M68040 = 3, M68060 = 4 };

struct Cpu;
// Every instruction routine: a 68000-terms cycle count (>= 0) or one of the sentinels of
// m68k/src/core/handler.hpp.
using Handler = int32_t (*)(Cpu& cpu, CpuBus& bus, uint16_t opcode);

// Bank slots of the stack pointers.
inline constexpr int kUspSlot = 0;
inline constexpr int kIspSlot = 4;
inline constexpr int kMspSlot = 6;

struct Cpu {
    Cpu();

    // Programmer's registers.
    std::array<uint32_t, 8> data_regs{};
    std::array<uint32_t, 8> addr_regs{};  // A7 is always the live stack pointer
    std::array<uint32_t, 8> sp_bank{};    // slot 0 USP, 4 ISP, 6 MSP; the live slot is stale
    uint32_t pc = 0;
    uint32_t ppc = 0;  // address of the instruction being executed
    uint16_t ir = 0;   // opcode being executed
    CpuType cpu_type = CpuType::M68000;  // written only by set_cpu_type

    // Status register, held split.
    uint32_t sr_t1 = 0;       // 0x8000 or 0
    uint32_t sr_t0 = 0;       // 0x4000 or 0
    uint32_t sr_s = 4;        // 4 or 0
    uint32_t sr_m = 0;        // 2 or 0, never 2 while sr_s is 0
    uint32_t int_mask = 0x700;  // SR & 0x700
    uint32_t flag_x = 0;      // bit 8
    uint32_t flag_n = 0;      // bit 7
    uint32_t flag_not_z = 1;  // zero exactly when Z is set
    uint32_t flag_v = 0;      // bit 7
    uint32_t flag_c = 0;      // bit 8

    // Control registers.
    uint32_t vbr = 0;
    uint32_t sfc = 0;
    uint32_t dfc = 0;
    uint32_t cacr = 0;
    uint32_t caar = 0;
    uint32_t itt0 = 0, itt1 = 0, dtt0 = 0, dtt1 = 0;
    uint32_t tc = 0, mmusr = 0, urp = 0, crp_limit = 0, srp = 0, srp_limit = 0, tt0 = 0, tt1 = 0;
    uint32_t pcr = 0x04300100;
    uint32_t buscr = 0;
    uint32_t addr_mask = 0x00FFFFFF;
    uint32_t sr_mask = 0xA71F;
    bool m68000_class = true;

    // Derived at set_cpu_type so the hot paths test a flag, not the type.
    bool odd_address_rule = true;  // word/long data at odd addresses faults
    bool prefetch_model = true;    // M68000/M68010 prefetch queue
    // How step turns a routine's 68000 count into this type's count (CycleModel value).
    uint8_t cycle_model = 0;

    // MMU state.
    bool mmu_present = false;
    bool mmu_enabled = false;
    std::array<AtcEntry, 64> atc{};
    uint8_t mmu_fault_status = 0xFF;

    // Floating-point state.
    std::array<Fx80, 8> fp{};
    uint32_t fpcr = 0;
    uint32_t fpsr = 0;
    uint32_t fpiar = 0;
    bool fpu_null_state = true;
    bool fpu_present = true;

    // Run and interrupt state.
    uint32_t pending_level = 0;  // 0-7, written by the frame scheduler
    // The request level at the last interrupt check that found one: level 7 is taken when it
    // rises from below, not again while it stays. Reset clears it. The checks run only while a
    // level is requested, so a fall to 0 and back is no new rise unless a level 1-6 was seen
    // in between (a source that drops at its acknowledge and asks again a tick later, as the
    // SCC68070 timer does, stays one request).
    uint32_t last_request_level = 0;
    uint32_t stopped = 0;        // 0 running; bit 0 STOP; 1 after a double fault (halt)
    bool in_exception = false;   // an exception frame is being pushed
    uint32_t aborted = 0;        // 1 once a fault cut the instruction short

    // Restart and fault bookkeeping.
    std::array<uint32_t, 16> insn_snapshot{};  // D0-D7, A0-A7 at the instruction start
    StartStatus sr_at_start{};
    FaultSnapshot fault_snapshot{};
    std::optional<ReadLatch> read_latch;
    std::optional<uint32_t> skip_write_addr;
    uint32_t last_write_data = 0;
    bool alt_fc_access = false;
    uint8_t alt_fc = 0;
    std::optional<uint32_t> vector_this_step;
    bool flow_changed = false;

    // Halted by a double fault (a fault while an exception was being taken), as opposed to
    // waiting in STOP: the fault that stopped it is still marked.
    bool halted() const { return stopped != 0 && aborted != 0; }

    // The bookkeeping step does before each instruction: what a fault rolls back to.
    void save_instruction_start() {
        for (int i = 0; i < 8; ++i) {
            insn_snapshot[i] = data_regs[i];
            insn_snapshot[8 + i] = addr_regs[i];
        }
        sr_at_start.t1 = sr_t1;
        sr_at_start.t0 = sr_t0;
        sr_at_start.s = sr_s;
        sr_at_start.m = sr_m;
        sr_at_start.mask = int_mask;
        sr_at_start.x = flag_x;
        sr_at_start.n = flag_n;
        sr_at_start.not_z = flag_not_z;
        sr_at_start.v = flag_v;
        sr_at_start.c = flag_c;
    }

    // 68000/68010 prefetch queue and 68010 loop mode.
    std::array<uint16_t, 2> prefetch_queue{};
    uint8_t prefetch_count = 0;
    bool fetching_ext = false;
    bool loop_mode_active = false;
    std::array<uint16_t, 2> loop_words{};

    // Cycle-model state.
    BranchCache branch_cache{};
    uint8_t pairing_state = 2;
    uint32_t prev_write_mask = 0;
    bool bitfield_five_bytes = false;

    // Frame-scheduler slice bookkeeping.
    int32_t slice_budget = 0;
    int32_t slice_len = 0;
    uint32_t reset_cycles = 132;

    // The decode table of cpu_type (65,536 routines), shared by every Cpu of that type.
    const Handler* decode_table = nullptr;

    // Store the type and what it derives (masks, MMU presence, decode table).
    void set_cpu_type(CpuType type);
    // Processor reset; the caller then loads SP and PC from addresses 0 and 4.
    void reset();

    inline uint16_t get_sr() const;
    // Write the whole SR with a stack switch; returns the new A7.
    uint32_t set_sr(uint16_t value);
    // Write the SR without a stack switch (fault paths, snapshot restore).
    void set_sr_flags(uint16_t value);
    inline uint8_t get_ccr() const;
    inline void set_ccr(uint8_t value);
    // The core of STOP and LPSTOP.
    void stop_with_sr(uint16_t value);

    uint32_t movec_read(uint16_t code) const;
    void movec_write(uint16_t code, uint32_t value);

    // The bank slot of the live stack: 0, 4 or 6.
    int stack_slot() const;
    // Invalidate every ATC entry.
    void flush_atc();
};

inline uint16_t Cpu::get_sr() const {
    const uint32_t z = flag_not_z == 0 ? 1 : 0;
    return static_cast<uint16_t>(sr_t1 | sr_t0 | (sr_s << 11) | (sr_m << 11) | int_mask |
                                 ((flag_x >> 4) & 0x10) | ((flag_n >> 4) & 8) | (z << 2) |
                                 ((flag_v >> 6) & 2) | ((flag_c >> 8) & 1));
}

inline uint8_t Cpu::get_ccr() const { return static_cast<uint8_t>(get_sr() & 0x1F); }

inline void Cpu::set_ccr(uint8_t value) {
    flag_x = (value & 0x10u) << 4;
    flag_n = (static_cast<uint32_t>(value) << 4) & 0x80;
    flag_not_z = (value & 4) ? 0 : 1;
    flag_v = (static_cast<uint32_t>(value) << 6) & 0x80;
    flag_c = (value & 1u) << 8;
}

// MOVEC's register file per type: code = extension word & 0xFFF.
bool movec_register_valid(CpuType type, uint16_t code);

// Execute one instruction (or report why not). The frame scheduler's only way to run code.
StepResult step(Cpu& cpu, CpuBus& bus);

// Run instructions while `slice_budget` is above zero and the CPU is not stopped, taking each
// instruction's cycles off `slice_budget` and adding one to `steps` per instruction run.
// Returns Stopped when the CPU is (or becomes) stopped, the first status other than Ok (the
// caller takes that exception; `pc` and `ppc` are as step leaves them), or Ok with no cycles
// when the budget ran out. Runs exactly what calling step in that loop would run.
StepResult run_slice(Cpu& cpu, CpuBus& bus, uint64_t& steps);

// Take a group-1/2 exception (the scheduler uses it for the line A, line F, breakpoint, illegal
// and TRAP statuses). Returns the exception's 68000 cycle count, charged unscaled.
int32_t take_exception(Cpu& cpu, CpuBus& bus, uint32_t vector);

// Take the pending interrupt if its level is above the mask, or is 7 and was below 7 at the
// previous check (level 7 is taken on its rise). Subtracts the entry cost (44, 46 on M68010)
// from `slice_budget`, clears `pending_level` and wakes a stopped CPU.
bool service_interrupt(Cpu& cpu, CpuBus& bus);

// The scheduler's view of the run state.
constexpr bool is_stopped(const Cpu& cpu) { return cpu.stopped != 0; }

}  // namespace m68k
