// Test doubles for the console and the window side of the frontend.
#pragma once

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "frontend/menu.hpp"
#include "frontend/startup.hpp"
#include "frontend/telemetry.hpp"
#include "machine/slave.hpp"

namespace vestrel::testing {

class FakeConsole final : public Console {
public:
    void load_system_rom(std::span<const uint8_t> bytes) override {
        rom.assign(bytes.begin(), bytes.end());
    }
    void load_nvram(std::span<const uint8_t> bytes) override {
        nvram.assign(bytes.begin(), bytes.end());
    }
    std::expected<void, std::string> insert_disc(const std::filesystem::path& path) override {
        inserted.push_back(path);
        if (fail_insert) return std::unexpected(std::string("Os { code: 2 }"));
        disc = true;
        return {};
    }
    bool disc_in_slot() const override { return disc; }
    void eject_disc() override {
        slave_.set_disc_inserted(false);
        disc = false;
        ++ejects;
    }
    void reset_machine() override { ++machine_resets; }
    void reset_cpu() override {
        ++cpu_resets;
        // The vector load: the long at 4 of the ROM as it reached memory.
        pc_ = rom.size() >= 8 ? (uint32_t{rom[4]} << 24 | uint32_t{rom[5]} << 16 |
                                 uint32_t{rom[6]} << 8 | rom[7])
                              : 0;
    }
    uint32_t pc() const override { return pc_; }
    std::optional<uint32_t> cpu_halt_pc() const override { return halt_pc; }
    uint16_t read_word(uint32_t address) override {
        reads.push_back(address);
        const auto it = memory.find(address);
        return it == memory.end() ? 0 : it->second;
    }
    VideoMode video_mode() const override { return mode; }
    void set_video_mode(VideoMode m) override {
        mode = m;
        slave_.video_mode = m;
    }
    void fill_frame_buffer(uint32_t pixel) override {
        fb.assign(kScreenPixels, pixel);
        ++fills;
    }
    std::span<const uint32_t> frame_buffer() const override { return fb; }
    std::array<uint32_t, 2> plane_starts() const override { return planes; }
    uint32_t cd_sectors_read() const override { return sectors_read; }
    bool dvc_fitted() const override { return dvc; }
    bool load_dvc_rom(const std::filesystem::path&) override {
        dvc = true;
        ++dvc_loads;
        return true;
    }
    void remove_dvc() override {
        dvc = false;
        ++dvc_removals;
    }
    bool wait_states() const override { return waits; }
    void set_wait_states(bool on) override { waits = on; }
    float volume() const override { return vol; }
    void set_volume(float v) override { vol = v; }
    bool muted() const override { return mute; }
    void set_muted(bool m) override { mute = m; }
    Slave& slave() override { return slave_; }
    void run_emulated_frame(uint64_t& instructions) override {
        ++frames_run;
        instructions += 1000;
    }

    // The word the fake memory holds for a long at `address`.
    void set_long(uint32_t address, uint32_t value) {
        memory[address] = static_cast<uint16_t>(value >> 16);
        memory[address + 2] = static_cast<uint16_t>(value);
    }

    std::vector<uint8_t> rom, nvram;
    std::vector<std::filesystem::path> inserted;
    std::vector<uint32_t> reads;
    std::map<uint32_t, uint16_t> memory;
    std::vector<uint32_t> fb = std::vector<uint32_t>(kScreenPixels, 0x12345678);
    std::array<uint32_t, 2> planes{};
    bool fail_insert = false;
    bool disc = false;
    std::optional<uint32_t> halt_pc;
    bool dvc = false;
    bool waits = true;
    bool mute = false;
    float vol = 1.0f;
    uint32_t pc_ = 0;
    uint32_t sectors_read = 0;
    VideoMode mode = VideoMode::Pal;
    int ejects = 0, machine_resets = 0, cpu_resets = 0, fills = 0, dvc_loads = 0,
        dvc_removals = 0, frames_run = 0;
    Slave slave_;
};

class StillClock final : public PacingClock {
public:
    Instant now() override { return t; }
    void sleep_for(std::chrono::nanoseconds d) override { t += d; }
    void spin_pause() override { t += std::chrono::microseconds(10); }
    Instant t{std::chrono::seconds(100)};
};

class FakeUi final : public HostUi, public MenuServices {
public:
    bool has_window() const override { return window; }
    bool is_maximized() override { return maximized; }
    void set_maximized(bool m) override { maximized = m; }
    void set_check(int id, bool checked) override { checks[id] = checked; }
    void set_title(const std::string& t) override { titles.push_back(t); }
    void set_cursor_captured(bool c) override { cursor_calls.push_back(c); }
    std::optional<std::filesystem::path> open_disc_dialog() override {
        ++dialogs;
        return dialog_answer;
    }
    void show_help() override {
        ++helps;
        hold_loop();
    }
    void show_about() override {
        ++abouts;
        hold_loop();
    }
    std::chrono::nanoseconds take_dialog_time() override { return std::exchange(dialog_time, {}); }
    // A dialog that stays open `dialog_length` on `clock`.
    void hold_loop() {
        if (clock != nullptr) clock->t += dialog_length;
        dialog_time += dialog_length;
    }
    void launch_editor(const std::filesystem::path& file) override { editors.push_back(file); }

    bool window = true;
    bool maximized = false;
    std::map<int, bool> checks;
    std::vector<std::string> titles;
    std::vector<bool> cursor_calls;
    std::optional<std::filesystem::path> dialog_answer;
    std::vector<std::filesystem::path> editors;
    int dialogs = 0, helps = 0, abouts = 0;
    StillClock* clock = nullptr;
    std::chrono::nanoseconds dialog_length{};
    std::chrono::nanoseconds dialog_time{};
};

}  // namespace vestrel::testing
