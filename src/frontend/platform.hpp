// The few operating-system calls the program makes outside GTK and SDL.
#pragma once

namespace vestrel {

// A fine timer resolution for the frame pacing's sleeps. Linux sleeps are already fine
// grained, so these do nothing; they mark where the program asks and gives it back.
void platform_begin_timer_resolution();
void platform_end_timer_resolution();

}  // namespace vestrel
