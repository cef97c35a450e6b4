// The error value carried by std::expected results across the machine and the frontend: a
// message meant for the user, already in its final wording.
#pragma once

#include <string>

namespace vestrel {

struct Error {
    std::string message;
};

}  // namespace vestrel
