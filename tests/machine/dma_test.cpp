#include "machine/dma.hpp"

#include <gtest/gtest.h>

namespace vestrel {
namespace {

TEST(DmaRegisters, WordsReadBackPerChannel) {
    DmaChannels ch{};
    struct Case {
        uint32_t offset;
        uint16_t value;
        uint16_t read_back;
    };
    // Channel 0 and channel 1 (offset + 0x40) hold their own copies.
    for (uint32_t base : {0u, 0x40u}) {
        for (const Case c : {Case{0x04, 0x1281, 0x1281}, Case{0x0A, 0x0123, 0x0123},
                             Case{0x0C, 0x0050, 0x0050}, Case{0x0E, 0x1000, 0x1000},
                             Case{0x14, 0xABCD, 0xABCD}, Case{0x16, 0x1234, 0x1234},
                             Case{0x08, 0xFFFF, 0x0000}, Case{0x0B, 0xFFFF, 0x0000}}) {
            dma_write_register(ch, base + c.offset, c.value);
            EXPECT_EQ(dma_read_register(ch, base + c.offset), c.read_back)
                << std::hex << base + c.offset;
        }
    }
    EXPECT_EQ(ch[0].mar, 0x00501000u);
    EXPECT_EQ(ch[1].dar, 0xABCD1234u);
    EXPECT_EQ(ch[0].dcr, 0x12);
    EXPECT_EQ(ch[0].ocr, 0x81);
    EXPECT_EQ(dma_read_register(ch, 0x0D), 0);  // odd offsets read 0
    EXPECT_EQ(dma_read_register(ch, 0x70), 0);  // past the window
    dma_write_register(ch, 0x70, 0xFFFF);       // ignored
}

TEST(DmaRegisters, StartBitSetsCompleteAndIsNotStored) {
    DmaChannels ch{};
    dma_write_register(ch, 0x06, 0x3385);
    EXPECT_EQ(ch[0].scr, 0x33);
    EXPECT_EQ(ch[0].ccr, 0x05);
    EXPECT_EQ(ch[0].csr, DmaChannel::kCsrComplete);
    EXPECT_EQ(dma_read_register(ch, 0x06), 0x3305);
    EXPECT_EQ(dma_read_register(ch, 0x00), 0x8000);
    EXPECT_EQ(ch[1].csr, 0);
}

TEST(DmaRegisters, StatusWriteClearsOnlyBits754) {
    struct Case {
        uint8_t csr;
        uint16_t value;
        uint8_t after;
    };
    for (const Case c : {Case{0xFF, 0xFF00, 0x4F}, Case{0xB0, 0x8000, 0x30}, Case{0xB0, 0x00FF, 0xB0},
                         Case{0x4F, 0xFF00, 0x4F}, Case{0xB0, 0x1000, 0xA0}}) {
        DmaChannels ch{};
        ch[0].csr = c.csr;
        dma_write_register(ch, 0x00, c.value);
        EXPECT_EQ(ch[0].csr, c.after) << std::hex << int(c.csr) << " " << c.value;
        EXPECT_EQ(ch[0].cer, 0);
    }
}

}  // namespace
}  // namespace vestrel

// ---------------------------------------------------------------- channel 0 block transfer

#include "machine/bus.hpp"

#include <memory>

namespace vestrel {
namespace {

constexpr uint32_t kDmaControlAddress = 0x303FF8;

void program_channel0(Bus& bus, uint32_t mar, uint16_t words, bool to_memory) {
    bus.write_word(0x8000400C, static_cast<uint16_t>(mar >> 16));
    bus.write_word(0x8000400E, static_cast<uint16_t>(mar));
    bus.write_word(0x8000400A, words);
    bus.write_word(0x80004004, to_memory ? 0x0080 : 0x0000);
}

TEST(DmaTransfer, CdicToMemoryWrapsAt15360) {
    auto bus = std::make_unique<Bus>();
    bus->scc.wait_states_on = false;
    const uint32_t sources[] = {0x3BFF, 0x0000, 0x0001, 0x0002, 0x0003, 0x0004};
    for (uint32_t i = 0; i < 6; ++i) bus->cdic.cdic_ram[sources[i]] = static_cast<uint8_t>(0xA0 + i);
    program_channel0(*bus, 0x500100, 3, true);
    bus->write_word(kDmaControlAddress, 0x3BFF);  // the CDIC's request starts it at once
    for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(bus->ram[0x100 + i], 0xA0 + i) << i;
    EXPECT_EQ(bus->ram[0x106], 0);
    EXPECT_EQ(bus->dma[0].mar, 0x500106u);
    EXPECT_EQ(bus->dma[0].mtc, 0);
    EXPECT_EQ(bus->dma[0].csr & DmaChannel::kCsrComplete, DmaChannel::kCsrComplete);
    EXPECT_FALSE(bus->cdic.dma_requested);
    EXPECT_EQ(bus->read_word(0x8000400A), 0);
    EXPECT_EQ(bus->read_word(0x8000400E), 0x0106);
}

TEST(DmaTransfer, MemoryToCdicAndTheWaitTally) {
    auto bus = std::make_unique<Bus>();
    for (uint32_t i = 0; i < 8; ++i) bus->mcd212.bank0[0x2000 + i] = static_cast<uint8_t>(i + 1);
    program_channel0(*bus, 0x2000, 4, false);
    bus->scc.wait_tally = 0;
    // dma_control keeps 14 bits; 0x7C02 & 0x3FFF = 0x3C02, modulo 15,360 = 2.
    bus->write_word(kDmaControlAddress, 0x7C02);
    for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(bus->cdic.cdic_ram[2 + i], i + 1) << i;
    EXPECT_EQ(bus->dma[0].mar, 0x2008u);
    // Eight RAM byte reads at 2 cycles each (no display fetch).
    EXPECT_EQ(bus->scc.wait_tally, 16u);
}

TEST(DmaTransfer, ByteWriteToTheCdicWindowAlsoStartsIt) {
    auto bus = std::make_unique<Bus>();
    bus->cdic.cdic_ram[0x10] = 0x42;
    bus->cdic.cdic_ram[0x11] = 0x43;
    program_channel0(*bus, 0x500000, 1, true);
    bus->write_byte(kDmaControlAddress + 1, 0x10);
    EXPECT_EQ(bus->ram[0], 0x42);
    EXPECT_EQ(bus->ram[1], 0x43);
}

TEST(DmaTransfer, MemorySideOnTheCdicRegistersDoesNotNest) {
    // The memory side lands on dma_control itself, which asks for a transfer again; it must
    // not start a second one inside the first (that never ended).
    auto bus = std::make_unique<Bus>();
    bus->cdic.cdic_ram[0] = 0x00;
    bus->cdic.cdic_ram[1] = 0x00;
    program_channel0(*bus, 0x303FF8, 1, true);
    bus->write_word(kDmaControlAddress, 0x0000);
    EXPECT_EQ(bus->dma[0].mar, 0x303FFAu);
    EXPECT_EQ(bus->dma[0].mtc, 0);
    EXPECT_FALSE(bus->cdic.dma_requested);

    // A longer block across the whole register window ends as well.
    program_channel0(*bus, 0x303C00, 0x200, true);
    bus->write_word(kDmaControlAddress, 0x0000);
    EXPECT_EQ(bus->dma[0].mar, 0x304000u);
    EXPECT_EQ(bus->dma[0].mtc, 0);
    // After it, an ordinary request works again.
    bus->cdic.cdic_ram[0] = 0x99;
    program_channel0(*bus, 0x500000, 1, true);
    bus->write_word(kDmaControlAddress, 0x0000);
    EXPECT_EQ(bus->ram[0], 0x99);
}

}  // namespace
}  // namespace vestrel
