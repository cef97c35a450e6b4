#include "core/unimplemented.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace m68k {
namespace {
std::atomic<bool> g_record_mode{false};
std::atomic<const char*> g_last{nullptr};
}  // namespace

int32_t unimplemented_routine(Cpu& /*cpu*/, const char* name, uint16_t opcode) {
    g_last.store(name);
    if (!g_record_mode.load()) {
        std::fprintf(stderr, "m68k: instruction routine %s is not implemented (opcode 0x%04X)\n", name,
                     opcode);
        std::abort();
    }
    return 0;
}

void set_unimplemented_record_mode(bool on) { g_record_mode.store(on); }

const char* take_unimplemented() { return g_last.exchange(nullptr); }

}  // namespace m68k
