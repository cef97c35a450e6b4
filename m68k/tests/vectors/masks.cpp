#include "masks.hpp"

namespace m68k::vectors {
namespace {

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// Every file's bus-access order is compared strictly.
bool order_gated(const std::string&) { return true; }

// A test that takes an exception on the chip: it reads the vector table in supervisor data space,
// or faults on an address.
bool takes_exception(const VectorTest& t) {
    for (const auto& x : t.transactions) {
        if (x.kind == TxKind::ReadAddressError || x.kind == TxKind::WriteAddressError) return true;
        if (x.kind == TxKind::Read && x.fc == 5 && x.address < 0x400) return true;
    }
    return false;
}

}  // namespace

uint32_t address_registers_with_side_effects(uint16_t op) {
    uint32_t mask = 0;
    const uint32_t src_mode = (op >> 3) & 7;
    if (src_mode == 3 || src_mode == 4) mask |= 1u << (op & 7);
    const uint32_t line = op >> 12;
    if (line >= 1 && line <= 3) {
        const uint32_t dst_mode = (op >> 6) & 7;
        if (dst_mode == 3 || dst_mode == 4) mask |= 1u << ((op >> 9) & 7);
    }
    // -(Ay),-(Ax) and (Ay)+,(Ax)+ forms: ABCD, SBCD, ADDX, SUBX, CMPM.
    const bool rm_form = (line == 0x8 || line == 0x9 || line == 0xB || line == 0xC || line == 0xD) &&
                         (op & 0x0100) && ((op >> 3) & 7) == 1;
    if (rm_form) mask |= (1u << (op & 7)) | (1u << ((op >> 9) & 7));
    return mask;
}

Judgement judge(const std::string& family, const VectorTest& t, RunCpu cpu) {
    Judgement j;
    j.order_gate = order_gated(family);
    j.compare_order = cpu == RunCpu::M68000;
    const uint16_t opcode = static_cast<uint16_t>(t.initial.prefetch[0]);

    if (cpu == RunCpu::Scc68070) {
        // The replay checks instruction results only: no 68000 prefetch, no 68000 cycle counts.
        j.compare_cycles = false;
        j.compare_prefetch = false;
        j.compare_order = false;
        j.compare_accesses = false;
        // The SCC68070's exception frames are the 68010 kind, which the vectors do not show.
        if (takes_exception(t)) return Judgement{.skip = true, .skip_reason = "exception (68000 frame)"};
        // Its trace frame is Format0 (8 bytes); the vectors show none at all.
        if (t.initial.sr & 0x8000) return Judgement{.skip = true, .skip_reason = "trace (68000 frame)"};
        // RTE pops a format word on the SCC68070, which holds random data in the vectors.
        if (family == "RTE") return Judgement{.skip = true, .skip_reason = "RTE frame format"};
        // The SCC68070 runs MOVE from SR in user mode; the 68000 traps it.
        if (family == "MOVEfromSR" && !(t.initial.sr & 0x2000)) {
            return Judgement{.skip = true, .skip_reason = "user-mode MOVE from SR"};
        }
        // ILLEGAL, line A/F and TRAP are taken by the frame scheduler with the 68010 frame.
        if (family == "ILLEGAL_LINEA" || family == "ILLEGAL_LINEF" || family == "TRAP") {
            return Judgement{.skip = true, .skip_reason = "exception (68000 frame)"};
        }
        // After a division overflow the vectors show the 68000's N and Z (set and clear); the
        // SCC68070 keeps both. It has no trace frames here, so the final SR is the only SR judged.
        if ((family == "DIVU" || family == "DIVS") && (t.final_state.sr & 0x2)) j.sr_ignore = 0x000C;
    }

    if (t.has_address_error()) {
        // The frame differs on purpose (status word, stacked PC, rolled-back registers and CCR,
        // cycles): judged by the reduced comparison.
        j.reduced = true;
        j.compare_cycles = false;
        j.compare_prefetch = false;
        j.compare_order = false;
        j.compare_accesses = false;
        j.an_ignore = address_registers_with_side_effects(opcode);
        // A PC-relative operand read is a data access here; the chip reports program space.
        const uint32_t src_mode = (opcode >> 3) & 7, src_reg = opcode & 7;
        if (src_mode == 7 && (src_reg == 2 || src_reg == 3)) j.status_word_mask = 0x0014;
        // On a faulting write the chip has already loaded the next opcode into IR; the frame here
        // holds the faulting instruction's opcode.
        for (const auto& x : t.transactions) {
            if (x.kind == TxKind::WriteAddressError) j.compare_ir = false;
        }
        // MOVE.L to -(An) is one long write here (faulting at the address); the chip writes the
        // low word first and faults at address + 2.
        if ((opcode >> 12) == 2 && ((opcode >> 6) & 7) == 4) j.access_address_plus2 = true;
        return j;
    }

    j.trace_candidate = (t.initial.sr & 0x8000) != 0;
    // A traced instruction that leaves the supervisor stack odd: the trace frame's push raises an
    // address error here, and the vectors stop before showing what the chip does next.
    if (j.trace_candidate && (t.final_state.ssp & 1) != 0) {
        return Judgement{.skip = true, .skip_reason = "trace frame onto an odd stack"};
    }
    // TAS: the vectors do not model its indivisible bus cycle, so their counts are not ground truth.
    if (starts_with(family, "TAS")) {
        j.compare_cycles = false;
        j.compare_order = false;
    }
    // TRAPV: the upstream data is unverified; it is compared in full but kept out of the
    // required files rather than masked.
    // A supervisor STOP: the chip's PC and queue do not advance while it is stopped, so the
    // vectors' final PC is already the address after the STOP (where a trace frame resumes too).
    if (opcode == 0x4E72 && (t.initial.sr & 0x2000)) {
        j.stop_no_advance = true;
        j.compare_prefetch = false;
        j.compare_order = false;
    }
    return j;
}

void judge_after_run(Judgement& j, bool status_reported) {
    // The vectors end before the trace exception that follows a traced instruction. TRAP, line A,
    // line F and illegal come back as a status the scheduler takes: no trace follows those.
    if (j.trace_candidate && !status_reported && !j.reduced) {
        j.expect_trace = true;
        j.compare_prefetch = false;
        j.compare_order = false;
        j.compare_accesses = false;
    }
}

}  // namespace m68k::vectors
