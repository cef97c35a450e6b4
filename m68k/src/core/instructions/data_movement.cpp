#include "core/instructions/data_movement.hpp"

#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "core/handler.hpp"
#include "core/prefetch.hpp"
#include "core/timing.hpp"
#include "core/unimplemented.hpp"

namespace m68k {

// Not written yet: each stub fails loudly (core/unimplemented.hpp).
M68K_STUB(op_move)
M68K_STUB(op_moveq)
M68K_STUB(op_movem_to_memory)
M68K_STUB(op_movem_to_registers)
M68K_STUB(op_movep)
M68K_STUB(op_lea)
M68K_STUB(op_pea)
M68K_STUB(op_link_word)
M68K_STUB(op_link_long)
M68K_STUB(op_unlk)
M68K_STUB(op_swap)
M68K_STUB(op_exg)
M68K_STUB(op_moves)
M68K_STUB(op_move16)

}  // namespace m68k
