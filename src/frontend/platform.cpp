#include "frontend/platform.hpp"

namespace vestrel {

void platform_begin_timer_resolution() {}
void platform_end_timer_resolution() {}

}  // namespace vestrel
