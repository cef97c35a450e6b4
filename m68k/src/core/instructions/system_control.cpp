#include "core/instructions/system_control.hpp"

#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "core/handler.hpp"
#include "core/prefetch.hpp"
#include "core/timing.hpp"
#include "core/unimplemented.hpp"

namespace m68k {

// Not written yet: each stub fails loudly (core/unimplemented.hpp).
M68K_STUB(op_move_from_sr)
M68K_STUB(op_move_from_ccr)
M68K_STUB(op_move_to_ccr)
M68K_STUB(op_move_to_sr)
M68K_STUB(op_move_usp)
M68K_STUB(op_movec)
M68K_STUB(op_halt)
M68K_STUB(op_pulse)
M68K_STUB(op_cinv_cpush)
M68K_STUB(op_pflush)
M68K_STUB(op_ptest)
M68K_STUB(op_plpa)

}  // namespace m68k
