#include "core/instructions/logical.hpp"

#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "core/handler.hpp"
#include "core/prefetch.hpp"
#include "core/timing.hpp"
#include "core/unimplemented.hpp"

namespace m68k {

// Not written yet: each stub fails loudly (core/unimplemented.hpp).
M68K_STUB(op_ori_ea)
M68K_STUB(op_andi_ea)
M68K_STUB(op_eori_ea)
M68K_STUB(op_ori_ccr)
M68K_STUB(op_andi_ccr)
M68K_STUB(op_eori_ccr)
M68K_STUB(op_ori_sr)
M68K_STUB(op_andi_sr)
M68K_STUB(op_eori_sr)
M68K_STUB(op_or_to_register)
M68K_STUB(op_or_to_ea)
M68K_STUB(op_and_to_register)
M68K_STUB(op_and_to_ea)
M68K_STUB(op_eor)
M68K_STUB(op_not)
M68K_STUB(op_tas)
M68K_STUB(op_btst)
M68K_STUB(op_bchg)
M68K_STUB(op_bclr)
M68K_STUB(op_bset)
M68K_STUB(op_shift_register)
M68K_STUB(op_shift_memory)
M68K_STUB(op_bitfield)

}  // namespace m68k
