// MCD212 line renderer.
#include "machine/mcd212.hpp"

namespace vestrel {

void Mcd212::render_scanline(uint64_t line) {
    if (!is_active_line(line)) return;
}

}  // namespace vestrel
