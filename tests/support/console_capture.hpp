// Collects the UART bytes the machine would print while it lives.
#pragma once

#include <string>

#include "machine/scc68070.hpp"

namespace vestrel {

class ConsoleCapture {
public:
    ConsoleCapture() { console_capture(&text); }
    ~ConsoleCapture() { console_capture(nullptr); }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;
    std::string text;
};

}  // namespace vestrel
