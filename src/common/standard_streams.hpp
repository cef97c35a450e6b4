// Standard input, output and error as the program expects them: open, whatever started it.
#pragma once

namespace vestrel {

// Opens /dev/null on each of descriptors 0-2 that is closed, so that no file, socket or display
// connection opened later takes its number and gets the log written into it. Call it first in
// main, before anything opens a descriptor; aborts when /dev/null cannot be opened.
void open_closed_standard_streams();

}  // namespace vestrel
