// The console the program runs: the Bus with every device, and the CPU, behind the frontend's
// `Console` interface.
#pragma once

#include <memory>

#include "frontend/startup.hpp"
#include "m68k/cpu.hpp"
#include "machine/bus.hpp"

namespace vestrel {

class MachineConsole final : public Console {
public:
    MachineConsole();

    void load_system_rom(std::span<const uint8_t> bytes) override;
    void load_nvram(std::span<const uint8_t> bytes) override;
    std::expected<void, std::string> insert_disc(const std::filesystem::path& path) override;
    bool disc_in_slot() const override { return bus_->disc.has_value(); }
    void eject_disc() override;
    void reset_machine() override { bus_->reset_machine(); }
    void reset_cpu() override;
    uint32_t pc() const override { return cpu_.pc; }
    std::optional<uint32_t> cpu_halt_pc() const override {
        return cpu_.halted() ? std::optional<uint32_t>(cpu_.ppc) : std::nullopt;
    }
    uint16_t read_word(uint32_t address) override { return bus_->read_word(address); }
    VideoMode video_mode() const override { return bus_->mcd212.video_mode; }
    void set_video_mode(VideoMode mode) override;
    void fill_frame_buffer(uint32_t pixel) override;
    std::span<const uint32_t> frame_buffer() const override { return bus_->mcd212.frame_pixels(); }
    std::array<uint32_t, 2> plane_starts() const override;
    uint32_t cd_sectors_read() const override { return bus_->cdic.sectors_read; }
    bool dvc_fitted() const override { return bus_->dvc.fitted(); }
    bool load_dvc_rom(const std::filesystem::path& path) override;
    void remove_dvc() override { bus_->dvc = Dvc(); }
    bool wait_states() const override { return bus_->scc.wait_states_on; }
    void set_wait_states(bool on) override { bus_->scc.wait_states_on = on; }
    float volume() const override { return bus_->cdic.audio_out.volume; }
    void set_volume(float volume) override { bus_->cdic.audio_out.volume = volume; }
    bool muted() const override { return bus_->cdic.audio_out.muted; }
    void set_muted(bool muted) override { bus_->cdic.audio_out.muted = muted; }
    Slave& slave() override { return bus_->slave; }
    void run_emulated_frame(uint64_t& instructions_executed) override;

    Bus& bus() { return *bus_; }
    m68k::Cpu& cpu() { return cpu_; }

private:
    // The Bus is large (memories by value): it lives on the heap.
    std::unique_ptr<Bus> bus_;
    m68k::Cpu cpu_;
};

}  // namespace vestrel
