// A slow, plain model of the MCD212's display line and region rules, written from the chip's
// line rules on their own (no code or tables shared with the renderer), so that the renderer's
// fast paths can be compared with it on random lines and register settings.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "machine/mcd212.hpp"

namespace vestrel::line_model {

constexpr uint32_t kWidth = 768;
using Pixels = std::array<uint32_t, kWidth>;

// What rendering one line must leave behind.
struct LineResult {
    bool active = false;      // false: the line is outside the active range and changes nothing
    uint32_t row = 0;         // first row of the line's row pair
    Pixels upper{};           // rows `row` and `row + 1`
    Pixels lower{};
    bool interlace = false;   // the previous field's line takes the output line
    Pixels output{};          // the mixed line with its cursor
    uint16_t dcr1 = 0, vsr1 = 0, dcr2 = 0, vsr2 = 0;
    uint8_t csr1r = 0;
    bool black_top = false;     // NTSC rows 0-39 black
    bool black_bottom = false;  // NTSC rows 520-559 black
};

// The line `line` as the chip would draw it from `m`'s state (read only).
LineResult render_line(const Mcd212& m, uint64_t line);

// The per-pixel weights and region flags the region controls give, from the weight registers
// (element 0 of each weight array) and the one-list or two-list mode of the coding method.
struct Regions {
    std::array<uint8_t, kWidth> weight_a{};
    std::array<uint8_t, kWidth> weight_b{};
    std::array<std::array<uint8_t, kWidth>, 2> flags{};
};
Regions regions(const Mcd212& m);

// Renders `line` on `m` and compares every field the renderer writes with the model. Returns
// an empty string on agreement, else a description of the first difference and of the state.
std::string render_and_compare(Mcd212& m, uint64_t line);

// Compares `m`'s weight arrays and region flags with the model; empty on agreement.
std::string compare_regions(const Mcd212& m);

}  // namespace vestrel::line_model
