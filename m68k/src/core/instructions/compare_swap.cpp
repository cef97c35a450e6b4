#include "core/instructions/compare_swap.hpp"

#include "core/ea.hpp"
#include "core/exceptions.hpp"
#include "core/handler.hpp"
#include "core/prefetch.hpp"
#include "core/timing.hpp"
#include "core/unimplemented.hpp"

namespace m68k {

// Not written yet: each stub fails loudly (core/unimplemented.hpp).
M68K_STUB(op_cmp2_chk2)
M68K_STUB(op_cas)
M68K_STUB(op_cas2)
M68K_STUB(op_callm)
M68K_STUB(op_rtm)

}  // namespace m68k
