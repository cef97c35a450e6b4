#include "frontend/machine_console.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "common/log.hpp"
#include "frontend/scheduler.hpp"
#include "frontend/telemetry.hpp"

namespace vestrel {
namespace {

LogTarget kDvcLog{"vestrel::dvc"};

constexpr size_t kHalfDvcRom = Dvc::kRomSize / 2;

}  // namespace

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
    std::ranges::fill(bus_->mcd212.frame_buffer, pixel);
}

std::array<uint32_t, 2> MachineConsole::plane_starts() const {
    const Mcd212& v = bus_->mcd212;
    return {plane_start_address(v.dcr1, v.vsr1), plane_start_address(v.dcr2, v.vsr2)};
}

bool MachineConsole::load_dvc_rom(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::vector<uint8_t> bytes;
    bytes.reserve(Dvc::kRomSize);
    std::istreambuf_iterator<char> it(file);
    const std::istreambuf_iterator<char> end;
    size_t total = 0;
    for (; it != end; ++it, ++total) {
        if (bytes.size() < Dvc::kRomSize) bytes.push_back(static_cast<uint8_t>(*it));
    }
    if (file.bad()) return false;
    const size_t copied = bytes.size();
    std::vector<uint8_t> rom(Dvc::kRomSize, 0xFF);
    std::ranges::copy(bytes, rom.begin());
    // A half-size image fills both halves of the window.
    if (total == kHalfDvcRom) std::ranges::copy(bytes, rom.begin() + kHalfDvcRom);
    bus_->dvc.rom = std::move(rom);
    LOG_INFO(kDvcLog, "DVC ROM caricata ({} byte)", copied);
    return true;
}

void MachineConsole::run_emulated_frame(uint64_t& instructions_executed) {
    vestrel::run_emulated_frame(cpu_, *bus_, instructions_executed);
}

}  // namespace vestrel
