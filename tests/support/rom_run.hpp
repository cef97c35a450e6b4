// One of the assembled test ROMs (build/roms) running on a fresh machine, frame by frame.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "frontend/scheduler.hpp"
#include "machine/bus.hpp"

namespace vestrel {

inline std::vector<uint8_t> rom_image(const char* name) {
    const auto path = std::filesystem::path(VESTREL_BINARY_DIR) / "roms" / name;
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct RomRun {
    std::unique_ptr<Bus> bus = std::make_unique<Bus>();
    m68k::Cpu cpu;
    uint64_t instructions = 0;
    size_t rom_size = 0;

    explicit RomRun(const char* name, VideoMode mode = VideoMode::Pal) {
        rom_size = bus->load_system_rom(rom_image(name));
        bus->mcd212.video_mode = mode;
        bus->copy_reset_vectors();
        reset_cpu_from_vectors(cpu, *bus);
    }
    void frames(int n) {
        for (int i = 0; i < n; ++i) run_emulated_frame(cpu, *bus, instructions);
    }
    uint32_t ram_long(uint32_t address) { return bus->read_long(address); }
    // Still in the program (main loop or handler), not run away through an unset vector.
    bool in_program() const { return cpu.pc >= 0x400000 && cpu.pc < 0x400000 + rom_size && cpu.stopped == 0; }
};

}  // namespace vestrel
