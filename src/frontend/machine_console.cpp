#include "frontend/machine_console.hpp"

#include <algorithm>

#include "common/log.hpp"
#include "frontend/scheduler.hpp"
#include "frontend/telemetry.hpp"

namespace vestrel {

MachineConsole::MachineConsole() : bus_(std::make_unique<Bus>()) {}

void MachineConsole::load_system_rom(std::span<const uint8_t> bytes) {
    bus_->load_system_rom(bytes);
    bus_->copy_reset_vectors();
}

void MachineConsole::load_nvram(std::span<const uint8_t> bytes) { bus_->load_nvram(bytes); }

std::expected<void, std::string> MachineConsole::insert_disc(const std::filesystem::path& path) {
    if (auto inserted = bus_->insert_disc(path); !inserted) {
        return std::unexpected(inserted.error().message);
    }
    return {};
}

void MachineConsole::eject_disc() {
    bus_->slave.set_disc_inserted(false);
    bus_->remove_disc();
}

void MachineConsole::reset_cpu() {
    reset_cpu_from_vectors(cpu_, *bus_);
    // Taken off the slice budget as the reset's cost; the next slice sets its own budget.
    cpu_.slice_budget -= static_cast<int32_t>(cpu_.reset_cycles);
}

void MachineConsole::set_video_mode(VideoMode mode) {
    bus_->mcd212.video_mode = mode;
    bus_->slave.video_mode = mode;
}

void MachineConsole::fill_frame_buffer(uint32_t pixel) {
    bus_->mcd212.fill_frame(pixel);
}

std::array<uint32_t, 2> MachineConsole::plane_starts() const {
    const Mcd212& v = bus_->mcd212;
    return {plane_start_address(v.dcr1, v.vsr1), plane_start_address(v.dcr2, v.vsr2)};
}

bool MachineConsole::load_dvc_rom(const std::filesystem::path& path) {
    return bus_->dvc.dvc_load_rom(path).has_value();
}

void MachineConsole::run_emulated_frame(uint64_t& instructions_executed) {
    vestrel::run_emulated_frame(cpu_, *bus_, instructions_executed);
}

}  // namespace vestrel
