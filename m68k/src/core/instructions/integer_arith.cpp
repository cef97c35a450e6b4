#include "core/instructions/integer_arith.hpp"

#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "core/handler.hpp"
#include "core/prefetch.hpp"
#include "core/timing.hpp"
#include "core/unimplemented.hpp"

namespace m68k {

// Not written yet: each stub fails loudly (core/unimplemented.hpp).
M68K_STUB(op_addi)
M68K_STUB(op_subi)
M68K_STUB(op_cmpi)
M68K_STUB(op_add_to_register)
M68K_STUB(op_add_to_ea)
M68K_STUB(op_sub_to_register)
M68K_STUB(op_sub_to_ea)
M68K_STUB(op_adda)
M68K_STUB(op_suba)
M68K_STUB(op_addx_register)
M68K_STUB(op_addx_memory)
M68K_STUB(op_subx_register)
M68K_STUB(op_subx_memory)
M68K_STUB(op_cmp)
M68K_STUB(op_cmpa)
M68K_STUB(op_cmpm)
M68K_STUB(op_addq)
M68K_STUB(op_subq)
M68K_STUB(op_negx)
M68K_STUB(op_clr)
M68K_STUB(op_neg)
M68K_STUB(op_tst)
M68K_STUB(op_chk)
M68K_STUB(ext_reg)
M68K_STUB(extb_long)
M68K_STUB(op_mulu_word)
M68K_STUB(op_muls_word)
M68K_STUB(op_divu_word)
M68K_STUB(op_divs_word)
M68K_STUB(op_mul_long)
M68K_STUB(op_div_long)

}  // namespace m68k
