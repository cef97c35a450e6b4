#include "core/instructions/bcd.hpp"

#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "core/handler.hpp"
#include "core/prefetch.hpp"
#include "core/timing.hpp"
#include "core/unimplemented.hpp"

namespace m68k {

// Not written yet: each stub fails loudly (core/unimplemented.hpp).
M68K_STUB(op_abcd_register)
M68K_STUB(op_abcd_memory)
M68K_STUB(op_sbcd_register)
M68K_STUB(op_sbcd_memory)
M68K_STUB(op_nbcd)
M68K_STUB(op_pack_register)
M68K_STUB(op_pack_memory)
M68K_STUB(op_unpk_register)
M68K_STUB(op_unpk_memory)

}  // namespace m68k
