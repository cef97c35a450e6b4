// The cartridge as the machine drives it: DMA channel 1 through the line step, the hand-off of
// its sound, its line output and frame step from step_scanline, its interrupt vector.
#include <gtest/gtest.h>

#include <memory>

#include "../support/log_capture.hpp"
#include "machine/bus.hpp"
#include "stream_builder.hpp"

namespace vestrel {
namespace {

using test::Bytes;

constexpr uint32_t kFmvCommandAddress = 0xE040C0;
constexpr uint32_t kFmaCommandAddress = 0xE03000;

class DvcOnBus : public ::testing::Test {
protected:
    DvcOnBus() : bus(std::make_unique<Bus>()) {
        bus->dvc.load_rom_image(Bytes(16, 0));
        bus->scc.wait_states_on = true;
    }
    void program_dma(uint32_t address, uint16_t words) {
        bus->dma[1].mar = address;
        bus->dma[1].mtc = words;
    }
    void put(uint32_t address, const Bytes& bytes) {
        for (size_t i = 0; i < bytes.size(); ++i) bus->write_byte(address + static_cast<uint32_t>(i), bytes[i]);
    }
    std::unique_ptr<Bus> bus;
};

TEST_F(DvcOnBus, OneWordTransfer) {
    LogCapture log;
    put(0x1000, {0xAB, 0xCD});
    program_dma(0x1000, 1);
    bus->write_word(kFmvCommandAddress, 0x8000);
    ASSERT_TRUE(bus->dvc.dma_pending);
    bus->scc.wait_tally = 0;
    bus->dvc_line_step(993);
    EXPECT_FALSE(bus->dvc.dma_pending);
    EXPECT_EQ(bus->dma[1].mar, 0x1002u);
    EXPECT_EQ(bus->dma[1].mtc, 0);
    EXPECT_EQ(bus->dma[1].csr & DmaChannel::kCsrComplete, DmaChannel::kCsrComplete);
    EXPECT_EQ(bus->dvc.fmv_word(Dvc::kFmvCommand), 0);
    // No start code: the pass keeps the two bytes for later.
    EXPECT_EQ(Bytes(bus->dvc.demux.stream_bytes.data(), bus->dvc.demux.stream_bytes.data() + 2), (Bytes{0xAB, 0xCD}));
    // Two dump reads and two transfer reads of bank 0, 2 wait cycles each.
    EXPECT_EQ(bus->scc.wait_tally, 8u);
    EXPECT_EQ(bus->dvc.clock_45k, 2u);
    EXPECT_TRUE(log.has("PERFORM DVC DMA at frame 0: start=0x00001000, count=1 (for_fma=false) | bytes[0..16]=[AB, CD]"));
    EXPECT_TRUE(log.has("After DVC DMA: demux_video_len=0, demux_audio_len=0, has_decoder=false, decoded_count=0"));
}

TEST_F(DvcOnBus, CountZeroOnlyTakesTheRequest) {
    program_dma(0x2000, 0);
    bus->write_word(kFmaCommandAddress, 0x8000);
    bus->dma[1].csr = 0;
    bus->dvc_line_step(993);
    EXPECT_FALSE(bus->dvc.dma_pending);
    EXPECT_EQ(bus->dma[1].mar, 0x2000u);
    EXPECT_EQ(bus->dma[1].csr, 0);
    EXPECT_EQ(bus->dvc.fma_word(Dvc::kFmaCommand), 0x8000) << "the request bit stays";
}

TEST_F(DvcOnBus, NothingWithoutTheCartridge) {
    bus->dvc = Dvc();
    bus->dvc.dma_pending = true;
    program_dma(0x1000, 1);
    bus->dvc_line_step(993);
    EXPECT_EQ(bus->dvc.clock_45k, 0u);
    EXPECT_TRUE(bus->dvc.dma_pending);
    EXPECT_EQ(bus->dma[1].mar, 0x1000u);
}

TEST_F(DvcOnBus, AudioStreamFromMemoryToTheQueue) {
    // An MPEG-1 program stream of six layer II frames, through DMA in two transfers.
    const Bytes stream = test::read_fixture("audio_mpeg1.mpg");
    put(0x10000, stream);
    const uint16_t half = static_cast<uint16_t>(stream.size() / 4);
    program_dma(0x10000, half);
    bus->write_word(kFmaCommandAddress, 0x8002);  // start, DMA
    bus->dvc_line_step(993);
    EXPECT_EQ(bus->dma[1].mar, 0x10000u + 2 * half);
    bus->dma[1].mtc = half;
    bus->write_word(kFmaCommandAddress, 0x8000);
    bus->dvc_line_step(993);
    EXPECT_EQ(bus->dvc.audio_pairs.size(), 6u * 987u);
    EXPECT_EQ(bus->dvc.fma_word(Dvc::kFmaCommand), 0) << "the request bit is cleared on the audio side";
    EXPECT_EQ(bus->dvc.fma_word(Dvc::kFmaIntStatus) & 0x0014, 0x0014);

    bus->cdic.audio_out.source_rate->store(0);
    bus->step_scanline(1);
    EXPECT_TRUE(bus->dvc.audio_pairs.empty());
    EXPECT_EQ(bus->cdic.audio_out.queue->size(), 6u * 987u);
    EXPECT_EQ(bus->cdic.audio_out.source_rate->load(), kSourceRate);
}

TEST_F(DvcOnBus, LineOutputFrameStepAndVector) {
    std::fill(bus->dvc.picture_buffer.begin(), bus->dvc.picture_buffer.end(), 0xFF336699);
    bus->step_scanline(31);  // before the first active PAL line
    EXPECT_NE(bus->mcd212.external_video_line()[100], 0xFF336699u);
    bus->step_scanline(32);
    EXPECT_EQ(bus->mcd212.external_video_line()[31], 0xFF000000u);
    EXPECT_EQ(bus->mcd212.external_video_line()[32], 0xFF336699u);
    EXPECT_EQ(bus->mcd212.external_video_line()[735], 0xFF336699u);
    EXPECT_EQ(bus->mcd212.external_video_line()[736], 0xFF000000u);
    bus->step_scanline(32 + 240);  // index 240 of a 240-line picture
    EXPECT_EQ(bus->mcd212.external_video_line()[100], 0xFF000000u);

    bus->step_scanline(0);
    EXPECT_EQ(bus->dvc.fmv_word(Dvc::kFmvIntStatus), 0x0800);
    EXPECT_EQ(bus->dvc.frame_steps, 1u);

    bus->write_word(0xE04060, 0x0800);  // mask the field tick
    bus->write_word(0xE040DC, 0x0200);  // vector 0x40
    EXPECT_TRUE(bus->dvc.dvc_irq_pending());
    EXPECT_EQ(bus->acknowledge_interrupt(4), 0x40);
    EXPECT_EQ(bus->read_word(0xE04062), 0x0800);  // the acknowledge cleared nothing; the read does
    EXPECT_FALSE(bus->dvc.dvc_irq_pending());
    EXPECT_EQ(bus->acknowledge_interrupt(4), 28);
}

TEST_F(DvcOnBus, ResetKeepsTheRomAndRestoresRegisters) {
    bus->write_word(0xE04064, 0x0001);
    bus->write_byte(0xD00010, 0x5A);
    bus->reset_machine();
    EXPECT_TRUE(bus->dvc.fitted());
    EXPECT_EQ(bus->read_word(0xE04064), 0x0037);
    EXPECT_EQ(bus->read_byte(0xD00010), 0);
}

// A random register and DMA workload with random memory as the stream: the cartridge path
// survives anything the software can do.
TEST_F(DvcOnBus, RandomSoftwareStaysInBounds) {
    uint32_t seed = 99;
    const auto next = [&] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    for (uint32_t a = 0; a < 0x8000; ++a) bus->write_byte(0x20000 + a, static_cast<uint8_t>(next()));
    for (int i = 0; i < 4000; ++i) {
        const uint32_t r = next();
        switch (r % 6) {
        case 0: bus->write_word(0xE03000 + (next() & 0xFE), static_cast<uint16_t>(next())); break;
        case 1: bus->write_word(0xE04000 + (next() & 0xFE), static_cast<uint16_t>(next())); break;
        case 2: bus->read_byte(0xE03000 + (next() & 0x1FFF)); break;
        case 3:
            program_dma(0x20000 + (next() & 0x7FFF), static_cast<uint16_t>(next() & 0x3FF));
            bus->write_word(kFmvCommandAddress, 0x8000);
            break;
        case 4: bus->step_scanline(next() % 312); break;
        default: bus->dvc_line_step(993); break;
        }
        ASSERT_LE(bus->dvc.input.size(), Dvc::kMaxInputBytes);
        ASSERT_LE(bus->dvc.audio_pairs.size(), Dvc::kMaxAudioPairs);
    }
}

}  // namespace
}  // namespace vestrel
