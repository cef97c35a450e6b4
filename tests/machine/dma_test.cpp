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
