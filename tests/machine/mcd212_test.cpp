#include "machine/mcd212.hpp"

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/log.hpp"
#include "mcd212_line_model.hpp"

namespace vestrel {
namespace {

void put_long(std::vector<uint8_t>& bank, uint32_t address, uint32_t value) {
    bank[address] = static_cast<uint8_t>(value >> 24);
    bank[address + 1] = static_cast<uint8_t>(value >> 16);
    bank[address + 2] = static_cast<uint8_t>(value >> 8);
    bank[address + 3] = static_cast<uint8_t>(value);
}

// Writes a program of instructions at `address` of `bank`.
void put_program(std::vector<uint8_t>& bank, uint32_t address, const std::vector<uint32_t>& program) {
    for (uint32_t v : program) {
        put_long(bank, address, v);
        address += 4;
    }
}

constexpr uint32_t kNop = 0x10000000;
constexpr uint32_t kStop = 0x00000000;
constexpr uint32_t kInterrupt = 0x60000000;

TEST(Mcd212Construction, DefaultsAndReset) {
    auto m = std::make_unique<Mcd212>();
    EXPECT_EQ(m->clut[0], 0xFF000000u);
    EXPECT_EQ(m->clut[1], 0xFF010101u);
    EXPECT_EQ(m->clut[255], 0xFFFFFFFFu);
    EXPECT_EQ(m->external_video[0], 0xFF000000u);
    EXPECT_EQ(m->external_video[767], 0xFF000000u);
    EXPECT_EQ(m->frame_buffer.size(), size_t{768} * 560);
    EXPECT_EQ(m->previous_field.size(), size_t{768} * 312);
    EXPECT_EQ(m->bank0.size(), size_t{524288});
    EXPECT_EQ(m->video_mode, VideoMode::Pal);

    m->video_mode = VideoMode::Ntsc;
    m->bank1[5] = 7;
    m->bank0_copy[9] = 1;
    m->clut[3] = 0xFF123456;
    m->dcr1 = 0x8300;
    m->weight_a.fill(63);
    m->frame_buffer[100] = 0xFFFFFFFF;
    m->external_video[4] = 0xFF00FF00;
    m->irq_request = true;
    m->blink_off = true;
    m->reset();
    EXPECT_EQ(m->video_mode, VideoMode::Ntsc) << "a reset keeps the video standard";
    EXPECT_EQ(m->bank1[5], 0);
    EXPECT_EQ(m->bank0_copy[9], 0);
    EXPECT_EQ(m->clut[3], 0xFF030303u);
    EXPECT_EQ(m->dcr1, 0);
    EXPECT_EQ(m->weight_a[10], 0);
    EXPECT_EQ(m->frame_buffer[100], 0u);
    EXPECT_EQ(m->external_video[4], 0xFF000000u);
    EXPECT_FALSE(m->irq_request);
    EXPECT_FALSE(m->blink_off);
}

TEST(Mcd212Tables, ConstantTables) {
    // The DYUV delta table and the chroma coefficients of the CD-i DYUV coding.
    EXPECT_EQ(Mcd212::dyuv_delta_lower[0x97], 79);
    EXPECT_EQ(Mcd212::dyuv_delta_upper[0x97], 177);
    EXPECT_EQ(Mcd212::dyuv_delta_upper[0xF0], 255);
    EXPECT_EQ(Mcd212::clamp[0], 0u);
    EXPECT_EQ(Mcd212::clamp[256 + 100], 100u);
    EXPECT_EQ(Mcd212::clamp[767], 255u);
    EXPECT_EQ(Mcd212::v_to_r[255], 351 * 127 / 256);  // 174
    EXPECT_EQ(Mcd212::v_to_r[0], -175);               // 351 x -128 / 256
    EXPECT_EQ(Mcd212::u_to_g[137], -3);               // -774 / 256 truncates toward zero
    EXPECT_EQ(Mcd212::v_to_g[132], -2);               // -716 / 256
    EXPECT_EQ(Mcd212::u_to_b[137], 15);               // 3996 / 256
}

TEST(Mcd212Registers, ReadWriteTable) {
    struct Case {
        uint32_t offset;
        uint16_t written;
        uint16_t read_back;
    };
    // CSR2W and CSR1W are write-only: their offsets read the status registers (0 here).
    const Case cases[] = {
        {0x00, 0x1234, 0x0000}, {0x02, 0x8301, 0x8301}, {0x04, 0xBEEF, 0xBEEF},
        {0x08, 0x0F3F, 0x0F3F}, {0x0A, 0x4567, 0x4567}, {0x10, 0x0208, 0x0000},
        {0x12, 0x9234, 0x9234}, {0x14, 0x1111, 0x1111}, {0x18, 0x0A01, 0x0A01},
        {0x1A, 0xFFFC, 0xFFFC}, {0x06, 0x1234, 0x0000}, {0x0C, 0x1234, 0x0000},
        {0x0E, 0x1234, 0x0000}, {0x16, 0x1234, 0x0000}, {0x1C, 0x1234, 0x0000},
        {0x1E, 0x1234, 0x0000},
    };
    for (const auto& c : cases) {
        auto m = std::make_unique<Mcd212>();
        m->mcd212_write_register(c.offset, c.written);
        EXPECT_EQ(m->mcd212_read_register(c.offset), c.read_back) << "offset " << c.offset;
    }
    auto m = std::make_unique<Mcd212>();
    m->mcd212_write_register(0x00, 0x1234);
    m->mcd212_write_register(0x10, 0x0208);
    EXPECT_EQ(m->csr2w, 0x1234);
    EXPECT_EQ(m->csr1w, 0x0208);
    m->csr1r = 0xA0;
    EXPECT_EQ(m->mcd212_read_register(0x10), 0xA0A0) << "CSR1R in both bytes";

    // A DCP write replaces the pointer's low word only.
    m->dca_pointer1 = 0x00051234;
    m->mcd212_write_register(0x1A, 0x8888);
    EXPECT_EQ(m->dca_pointer1, 0x00058888u);
    m->dca_pointer2 = 0x00030000;
    m->mcd212_write_register(0x0A, 0x0040);
    EXPECT_EQ(m->dca_pointer2, 0x00030040u);
}

TEST(Mcd212Registers, WriteTraceLine) {
    std::vector<std::string> lines;
    log_set_filter(LogFilter::parse("vestrel::mcd212=trace"));
    log_capture(&lines);
    auto m = std::make_unique<Mcd212>();
    m->mcd212_write_register(0x12, 0x8300);
    log_capture(nullptr);
    log_set_filter(LogFilter::parse(""));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(">>> MCD212 WRITE reg 0x12 = 0x8300"), std::string::npos) << lines[0];
}

TEST(Mcd212Registers, Csr2rReadClearsInterruptOnce) {
    auto m = std::make_unique<Mcd212>();
    m->dcr1 = Mcd212::kDcrIcaEnable;
    put_program(m->bank0, 0x400, {kInterrupt, kStop});
    m->run_display_programs(0);
    EXPECT_TRUE(m->irq_request);
    EXPECT_EQ(m->mcd212_read_register(0x00), 0x0404);
    EXPECT_FALSE(m->irq_request);
    EXPECT_EQ(m->mcd212_read_register(0x00), 0x0000);

    m->dcr1 = 0;
    m->dcr2 = Mcd212::kDcrIcaEnable;
    put_program(m->bank1, 0x400, {kInterrupt, kStop});
    m->run_display_programs(0);
    EXPECT_EQ(m->csr2r, Mcd212::kCsr2rIrqChannel2);
    EXPECT_EQ(m->mcd212_read_register(0x00), 0x0202);
    EXPECT_EQ(m->csr2r, 0);

    // A read with no interrupt bit set leaves a pending request alone.
    m->irq_request = true;
    m->csr2r = 0x01;
    EXPECT_EQ(m->mcd212_read_register(0x00), 0x0101);
    EXPECT_TRUE(m->irq_request);
    EXPECT_EQ(m->csr2r, 0x01);
}

TEST(Mcd212Registers, BankAccessWrapsAndIsBigEndian) {
    auto m = std::make_unique<Mcd212>();
    m->ram_write_word(1, 0x1000, 0xABCD);
    EXPECT_EQ(m->bank1[0x1000], 0xAB);
    EXPECT_EQ(m->bank1[0x1001], 0xCD);
    EXPECT_EQ(m->ram_read_word(1, 0x1000), 0xABCD);
    EXPECT_EQ(m->ram_read_byte(1, 0x1001), 0xCD);
    m->ram_write_byte(0, 0x80000 + 3, 0x5A);  // offsets wrap within the bank
    EXPECT_EQ(m->bank0[3], 0x5A);
    m->ram_write_word(0, 0x7FFFF, 0x1122);  // last byte, then wraps to the first
    EXPECT_EQ(m->bank0[0x7FFFF], 0x11);
    EXPECT_EQ(m->bank0[0], 0x22);
    EXPECT_EQ(m->ram_read_word(0, 0x7FFFF), 0x1122);
}

// ---- ICA ----

TEST(Mcd212Ica, InstructionsOfTheFrameProgram) {
    struct Case {
        const char* name;
        std::vector<uint32_t> program;
        uint16_t vsr1, dcr1_low, ddr1, dcp1_load;
        bool irq;
    };
    const Case cases[] = {
        {"load VSR and stop", {0x50010200, kInterrupt}, 0x0200, 0x01, 0, 0, false},
        {"load DCP continues", {0x20051234, kInterrupt, kStop}, 0, 0, 0x05, 0x1234, true},
        {"load DCP and stop", {0x303F5677, kInterrupt}, 0, 0, 0x3F, 0x5674, false},
        {"jump", {0x40000410, kStop, kStop, kStop, kInterrupt, kStop}, 0, 0, 0, 0, true},
        {"stop", {0x0F000000, kInterrupt}, 0, 0, 0, 0, false},
        {"no-op and 0x70 codes", {kNop, 0x77123456, 0x1FFFFFFF, kInterrupt, kStop}, 0, 0, 0, 0, true},
        {"display parameters", {0x7800001B, kStop}, 0, 0, 0x0B00, 0, false},
    };
    for (const auto& c : cases) {
        auto m = std::make_unique<Mcd212>();
        m->dcr1 = Mcd212::kDcrIcaEnable;
        put_program(m->bank0, 0x400, c.program);
        m->run_display_programs(0);
        EXPECT_EQ(m->vsr1, c.vsr1) << c.name;
        EXPECT_EQ(m->dcr1 & 0x3F, c.dcr1_low) << c.name;
        EXPECT_EQ(m->ddr1, c.ddr1) << c.name;
        EXPECT_EQ(m->dcp1_load, c.dcp1_load) << c.name;
        EXPECT_EQ(m->irq_request, c.irq) << c.name;
    }
    // The display-parameter instruction's bit 4 sets DCR bit 11, and a clear bit clears it.
    auto m = std::make_unique<Mcd212>();
    m->dcr1 = Mcd212::kDcrIcaEnable;
    put_program(m->bank0, 0x400, {0x78000010, kStop});
    m->run_display_programs(0);
    EXPECT_EQ(m->dcr1, Mcd212::kDcrIcaEnable | Mcd212::kDcrDisplayParam);
    put_program(m->bank0, 0x400, {0x78000000, kStop});
    m->run_display_programs(0);
    EXPECT_EQ(m->dcr1, Mcd212::kDcrIcaEnable);
}

TEST(Mcd212Ica, RunsOnlyWhenEnabledAndFromTheFieldEntry) {
    auto m = std::make_unique<Mcd212>();
    put_program(m->bank0, 0x400, {0x50000111, kStop});
    put_program(m->bank0, 0x404, {0x50000222, kStop});
    m->run_display_programs(0);
    EXPECT_EQ(m->vsr1, 0) << "ICA enable clear";
    m->dcr1 = Mcd212::kDcrIcaEnable;
    m->run_display_programs(0);
    EXPECT_EQ(m->vsr1, 0x0111);
    m->csr1r = Mcd212::kCsr1rFieldParity;
    m->run_display_programs(0);
    EXPECT_EQ(m->vsr1, 0x0222) << "odd field starts at 0x404";
}

TEST(Mcd212Ica, InstructionLimitAndAddressBound) {
    {   // A jump to itself runs out its count and leaves everything as it was.
        auto m = std::make_unique<Mcd212>();
        m->dcr1 = Mcd212::kDcrIcaEnable;
        put_program(m->bank0, 0x400, {0x40000400});
        m->run_display_programs(0);
        EXPECT_FALSE(m->irq_request);
        EXPECT_EQ(m->vsr1, 0);
        EXPECT_EQ(m->dcr1, Mcd212::kDcrIcaEnable);
    }
    for (uint32_t nops : {3839u, 3840u}) {  // the 3,840th instruction is the last one run
        auto m = std::make_unique<Mcd212>();
        m->dcr2 = Mcd212::kDcrIcaEnable;
        std::vector<uint32_t> program(nops, kNop);
        program.push_back(kInterrupt);
        put_program(m->bank1, 0x400, program);
        m->run_display_programs(0);
        EXPECT_EQ(m->irq_request, nops == 3839) << nops;
    }
    {   // No-ops up to the bank end stop the program; so does a jump past 0x7FFFC.
        auto m = std::make_unique<Mcd212>();
        m->dcr1 = Mcd212::kDcrIcaEnable;
        put_program(m->bank0, 0x400, {0x4007FFF8});
        put_program(m->bank0, 0x7FFF8, {kNop, kNop});
        m->run_display_programs(0);
        EXPECT_FALSE(m->irq_request);
        put_program(m->bank0, 0x400, {0x4007FFFE});
        put_program(m->bank0, 0x7FFFC, {kInterrupt});
        m->run_display_programs(0);
        EXPECT_FALSE(m->irq_request);
    }
}

TEST(Mcd212Ica, ChannelTwoRunsFirstAndLoadsGoToItsPlane) {
    auto m = std::make_unique<Mcd212>();
    m->dcr1 = Mcd212::kDcrIcaEnable;
    m->dcr2 = Mcd212::kDcrIcaEnable;
    // Both channels load region control 0; channel 1 runs last and wins.
    put_program(m->bank1, 0x400, {0xD0000111, 0xC3000000, 0x85123456, kStop});
    put_program(m->bank0, 0x400, {0xD0000222, 0xC3000001, 0x85ABCDEF, kStop});
    m->run_display_programs(0);
    EXPECT_EQ(m->region_control[0], 0x222u);
    EXPECT_EQ(m->clut_bank_b, 2);
    EXPECT_EQ(m->clut_bank_a, 1);
    EXPECT_EQ(m->clut[133], 0xFF103454u) << "bank 2 entry 5";
    EXPECT_EQ(m->clut[69], 0xFFA8CCECu) << "bank 1 entry 5";
}

TEST(Mcd212Ica, ProgramsReadTheLiveBanksAndTheCopiesFollow) {
    auto m = std::make_unique<Mcd212>();
    m->dcr1 = Mcd212::kDcrIcaEnable;
    put_program(m->bank0, 0x400, {0x50000123, kStop});
    m->bank1[0x7FFFF] = 0x42;
    EXPECT_TRUE(m->run_display_programs(0));
    EXPECT_EQ(m->vsr1, 0x0123);
    EXPECT_EQ(m->bank0_copy[0x403], 0x23);
    EXPECT_EQ(m->bank1_copy[0x7FFFF], 0x42);
    m->bank1[0x7FFFF] = 0x43;
    EXPECT_FALSE(m->run_display_programs(32));
    EXPECT_EQ(m->bank1_copy[0x7FFFF], 0x42) << "copies are taken at line 0 only";
}

// With write tracking on, line 0 copies the pages marked since the last copy, and those pages
// only: what was written before tracking started, a word across a page boundary, a loader's
// range over several pages, and bank 1 alike.
TEST(Mcd212Ica, TrackedCopiesTakeEveryMarkedPage) {
    auto m = std::make_unique<Mcd212>();
    m->bank0[0x12345] = 0x11;  // before tracking: taken by the first copy
    m->track_writes();
    EXPECT_TRUE(m->tracking_writes());
    m->run_display_programs(0);
    EXPECT_EQ(m->bank0_copy[0x12345], 0x11);

    m->ram_write_word(0, 0x1FFF, 0xABCD);  // the two bytes fall in two pages
    m->ram_write_byte(1, 0x7FFFF, 0x42);
    std::fill_n(m->bank0.begin() + 0x30FF0, 0x2020, uint8_t{0x5A});
    m->note_write_range(0, 0x30FF0, 0x2020);  // pages 0x30, 0x31 and 0x32
    m->bank0[0x40000] = 0x77;                 // never reported: the copy keeps the old byte
    m->run_display_programs(32);
    EXPECT_EQ(m->bank0_copy[0x1FFF], 0) << "copies wait for line 0";
    m->run_display_programs(0);
    EXPECT_EQ(m->bank0_copy[0x1FFF], 0xAB);
    EXPECT_EQ(m->bank0_copy[0x2000], 0xCD);
    EXPECT_EQ(m->bank1_copy[0x7FFFF], 0x42);
    for (uint32_t a : {0x30FF0u, 0x31800u, 0x3300Fu}) EXPECT_EQ(m->bank0_copy[a], 0x5A) << std::hex << a;
    EXPECT_EQ(m->bank0_copy[0x40000], 0);

    m->reset();  // banks and copies cleared alike; tracking stays on
    EXPECT_TRUE(m->tracking_writes());
    m->ram_write_byte(0, 0x100, 9);
    m->run_display_programs(0);
    EXPECT_EQ(m->bank0_copy[0x100], 9);
    EXPECT_EQ(m->bank0_copy[0x12345], 0);
}

// ---- DCA ----

TEST(Mcd212Dca, LinePrograms) {
    {   // 16 no-ops: the pointer moves on by 64 bytes.
        auto m = std::make_unique<Mcd212>();
        m->dcr1 = Mcd212::kDcrDcaEnable;
        m->dca_pointer1 = 0x1000;
        put_program(m->bank0, 0x1000, std::vector<uint32_t>(17, kNop));
        put_program(m->bank0, 0x1040, {kInterrupt});
        m->run_display_programs(32);
        EXPECT_EQ(m->dca_pointer1, 0x1040u);
        EXPECT_FALSE(m->irq_request) << "at most 16 instructions";
    }
    {   // Load DCP and stop sets DDR, the DCP word and the pointer.
        auto m = std::make_unique<Mcd212>();
        m->dcr2 = Mcd212::kDcrDcaEnable;
        m->dca_pointer2 = 0x2000;
        put_program(m->bank1, 0x2000, {0x30012340, kInterrupt});
        m->run_display_programs(100);
        EXPECT_EQ(m->ddr2 & 0x3F, 1);
        EXPECT_EQ(m->dcp2_load, 0x2340);
        EXPECT_EQ(m->dca_pointer2, 0x12340u);
        EXPECT_FALSE(m->irq_request);
    }
    {   // Load VSR continues in a DCA, 0x2X is a no-op, 0x5X stops; a stop still advances 64.
        auto m = std::make_unique<Mcd212>();
        m->dcr1 = Mcd212::kDcrDcaEnable;
        m->dca_pointer1 = 0x3002;  // the low bits are ignored
        put_program(m->bank0, 0x3000, {0x40020111, 0x20051234, kInterrupt, 0x50030222, kInterrupt});
        m->run_display_programs(32);
        EXPECT_EQ(m->vsr1, 0x0222);
        EXPECT_EQ(m->dcr1 & 0x3F, 3);
        EXPECT_EQ(m->dcp1_load, 0);
        EXPECT_EQ(m->ddr1, 0);
        EXPECT_EQ(m->csr2r, Mcd212::kCsr2rIrqChannel1);
        EXPECT_EQ(m->dca_pointer1, 0x3040u);
    }
    {   // Near the bank end the program ends at the bound.
        auto m = std::make_unique<Mcd212>();
        m->dcr1 = Mcd212::kDcrDcaEnable;
        m->dca_pointer1 = 0x7FFF8;
        put_program(m->bank0, 0x7FFF8, {kNop, kNop});
        m->run_display_programs(32);
        EXPECT_EQ(m->dca_pointer1, 0x7FFF8u + 64);
    }
}

TEST(Mcd212Dca, ActiveLinesAndPointerReload) {
    struct Case {
        VideoMode mode;
        uint64_t line;
        bool active;
    };
    const Case cases[] = {
        {VideoMode::Pal, 31, false}, {VideoMode::Pal, 32, true},   {VideoMode::Pal, 311, true},
        {VideoMode::Pal, 312, false}, {VideoMode::Ntsc, 21, false}, {VideoMode::Ntsc, 22, true},
        {VideoMode::Ntsc, 261, true}, {VideoMode::Ntsc, 262, false},
    };
    for (const auto& c : cases) {
        auto m = std::make_unique<Mcd212>();
        m->video_mode = c.mode;
        m->dcr1 = Mcd212::kDcrDcaEnable;
        m->dca_pointer1 = 0x1000;
        put_program(m->bank0, 0x1000, {kInterrupt, kStop});
        m->run_display_programs(c.line);
        EXPECT_EQ(m->irq_request, c.active) << c.line;
        EXPECT_EQ((m->csr1r & Mcd212::kCsr1rDisplayActive) != 0, c.active) << c.line;
        EXPECT_EQ(m->current_line, c.line);
    }
    // Line 0: pointers reload from DDR bits 0-5 and the loaded DCP word when DCA is enabled.
    auto m = std::make_unique<Mcd212>();
    m->dcr1 = Mcd212::kDcrIcaEnable | Mcd212::kDcrDcaEnable;
    m->dcr2 = Mcd212::kDcrIcaEnable;
    put_program(m->bank0, 0x400, {0x20025000, kStop});
    put_program(m->bank1, 0x400, {0x20036000, kStop});
    m->dca_pointer2 = 0x777;
    m->csr1r = Mcd212::kCsr1rDisplayActive;
    m->run_display_programs(0);
    EXPECT_EQ(m->dca_pointer1, 0x25000u);
    EXPECT_EQ(m->dca_pointer2, 0x777u) << "channel 2's DCA is off";
    EXPECT_EQ(m->csr1r & Mcd212::kCsr1rDisplayActive, 0);
}

// ---- Control loads ----

TEST(Mcd212Loads, ControlRegisterTable) {
    struct Case {
        bool plane_b;
        uint8_t code;
        uint32_t value;
        uint32_t Mcd212::*field;
        uint32_t expected;
    };
    const Case cases[] = {
        {false, 0xC0, 0x123456, &Mcd212::image_coding_method, 0x123456},
        {false, 0xC1, 0x800F08, &Mcd212::transparency_control, 0x800F08},
        {false, 0xC2, 0x00000F, &Mcd212::plane_order, 7},
        {false, 0xC4, 0xFFFFFF, &Mcd212::transparent_colour_a, 0xFCFCFC},
        {false, 0xC7, 0x030303, &Mcd212::mask_colour_a, 0},
        {false, 0xCA, 0x108080, &Mcd212::dyuv_start_a, 0x108080},
        {false, 0xCD, 0x0AB123, &Mcd212::cursor_position, 0x0AB123},
        {false, 0xCE, 0x89ABCD, &Mcd212::cursor_control, 0x89ABCD},
        {false, 0xD8, 0x00000F, &Mcd212::backdrop_colour, 0x0F},
        {false, 0xD9, 0x800004, &Mcd212::mosaic_a, 0x800004},
        {true, 0xC6, 0x123456, &Mcd212::transparent_colour_b, 0x103454},
        {true, 0xC9, 0xFFFFFF, &Mcd212::mask_colour_b, 0xFCFCFC},
        {true, 0xCB, 0x204060, &Mcd212::dyuv_start_b, 0x204060},
        {true, 0xDA, 0x800008, &Mcd212::mosaic_b, 0x800008},
        // Plane A's registers ignore channel 2 and the other way round.
        {true, 0xC0, 0x123456, &Mcd212::image_coding_method, 0},
        {true, 0xD8, 0x000001, &Mcd212::backdrop_colour, 0},
        {true, 0xC4, 0x123456, &Mcd212::transparent_colour_a, 0},
        {false, 0xC6, 0x123456, &Mcd212::transparent_colour_b, 0},
        {false, 0xDA, 0x800008, &Mcd212::mosaic_b, 0},
        {false, 0xCB, 0x204060, &Mcd212::dyuv_start_b, 0},
    };
    for (const auto& c : cases) {
        auto m = std::make_unique<Mcd212>();
        if (c.plane_b) {
            m->load_control_plane_b(c.code, c.value);
        } else {
            m->load_control_plane_a(c.code, c.value);
        }
        EXPECT_EQ((*m).*c.field, c.expected) << std::hex << "code 0x" << int{c.code} << (c.plane_b ? " B" : " A");
    }
}

TEST(Mcd212Loads, ClutBanksCursorAndIgnoredCodes) {
    auto m = std::make_unique<Mcd212>();
    m->load_control_plane_b(0xC3, 0);
    EXPECT_EQ(m->clut_bank_b, 2);
    m->load_control_plane_b(0x85, 0x123456);
    EXPECT_EQ(m->clut[133], 0xFF103454u);
    m->load_control_plane_b(0xC3, 3);
    EXPECT_EQ(m->clut_bank_b, 3);
    m->load_control_plane_b(0xBF, 0xFFFFFF);
    EXPECT_EQ(m->clut[255], 0xFFFCFCFCu);
    m->load_control_plane_a(0xC3, 7);
    EXPECT_EQ(m->clut_bank_a, 3);
    m->load_control_plane_a(0x80, 0x010203);
    EXPECT_EQ(m->clut[192], 0xFF000000u);
    m->load_control_plane_a(0xCF, 0x05ABCD);
    EXPECT_EQ(m->cursor_pattern[5], 0xABCD);
    m->load_control_plane_a(0xCF, 0x1F0001);  // row number is 4 bits
    EXPECT_EQ(m->cursor_pattern[15], 0x0001);

    const auto before = std::make_unique<Mcd212>(*m);
    for (uint8_t code : {0xC5, 0xC8, 0xCC, 0xDD, 0xFF, 0x7F, 0x00}) {
        m->load_control_plane_a(code, 0xFFFFFF);
        m->load_control_plane_b(code, 0xFFFFFF);
    }
    EXPECT_EQ(m->clut, before->clut);
    EXPECT_EQ(m->image_coding_method, before->image_coding_method);
    EXPECT_EQ(m->cursor_control, before->cursor_control);
    EXPECT_EQ(m->weight_a, before->weight_a);
}

// ---- Regions and weights ----

TEST(Mcd212Regions, OneListWeightsAndFlags) {
    auto m = std::make_unique<Mcd212>();
    m->load_control_plane_a(0xDB, 20);
    EXPECT_EQ(m->weight_a[767], 20) << "the weight register fills the line";
    m->load_control_plane_a(0xD0, 0x00403C64);  // op 4, weight 15, plane A, X 100
    EXPECT_EQ(m->weight_a[99], 20);
    EXPECT_EQ(m->weight_a[100], 15);
    EXPECT_EQ(m->weight_a[767], 15);
    EXPECT_EQ(m->weight_b[100], 0);

    // op 6 sets plane B; op 9 sets a flag to 1 (flag 1 by bit 16), op 8 back to 0;
    // op 13 sets plane A's weight and flag 0.
    m->load_control_plane_b(0xD1, 0x0060A0C8);  // op 6, weight 40, X 200
    m->load_control_plane_a(0xD2, 0x0091012C);  // op 9, flag 1, X 300
    m->load_control_plane_a(0xD3, 0x00810190);  // op 8, flag 1, X 400
    m->load_control_plane_a(0xD4, 0x00D0FDF4);  // op 13, weight 63, X 500
    EXPECT_EQ(m->weight_b[199], 0);
    EXPECT_EQ(m->weight_b[200], 40);
    EXPECT_EQ(m->region_flags[1][299], 0);
    EXPECT_EQ(m->region_flags[1][300], 1);
    EXPECT_EQ(m->region_flags[1][399], 1);
    EXPECT_EQ(m->region_flags[1][400], 0);
    EXPECT_EQ(m->region_flags[0][499], 0);
    EXPECT_EQ(m->region_flags[0][500], 1);
    EXPECT_EQ(m->weight_a[500], 63);

    // Element 0 took pixel 0's value, so a recomputation starts from it.
    EXPECT_EQ(m->weight_a[0], 20);
}

// Every operation of an entry at X 100, with region flag 0 clear before it or set by an entry
// at X 50: which weight it sets (its plane is bit 1 of the operation) and whether it sets flag 0
// (to bit 0 of the operation).
TEST(Mcd212Regions, EveryOperation) {
    struct Case {
        uint32_t op;
        int weight_plane;  // -1 none, 0 plane A, 1 plane B
        bool sets_flag;
    };
    const Case cases[] = {
        {0, -1, false}, {1, -1, false},  {2, -1, false},  {3, -1, false}, {4, 0, false},  {5, -1, false},
        {6, 1, false},  {7, -1, false},  {8, -1, true},   {9, -1, true},  {10, -1, false}, {11, -1, false},
        {12, 0, true},  {13, 0, true},   {14, 1, true},   {15, 1, true},
    };
    for (const auto& c : cases) {
        for (const uint8_t before : {0, 1}) {
            auto m = std::make_unique<Mcd212>();
            m->load_control_plane_a(0xDB, 5);
            m->load_control_plane_b(0xDC, 7);
            m->load_control_plane_a(0xD0, before ? 0x00900032u : 0x00100032u);  // X 50: op 9 or op 1
            m->load_control_plane_a(0xD1, (c.op << 20) | (30u << 10) | 100);  // X 100, weight 30
            const uint8_t after = c.sets_flag ? static_cast<uint8_t>(c.op & 1) : before;
            EXPECT_EQ(m->region_flags[0][99], before) << "op " << c.op;
            EXPECT_EQ(m->region_flags[0][100], after) << "op " << c.op << ", flag before " << int{before};
            EXPECT_EQ(m->region_flags[1][767], 0) << "op " << c.op;
            EXPECT_EQ(m->weight_a[767], c.weight_plane == 0 ? 30 : 5) << "op " << c.op;
            EXPECT_EQ(m->weight_b[767], c.weight_plane == 1 ? 30 : 7) << "op " << c.op;
            EXPECT_EQ(m->weight_a[99], 5) << "op " << c.op;
        }
    }
}

TEST(Mcd212Regions, EndsBlocksAndTwoLists) {
    {   // op 0 ends the list: later entries never apply.
        auto m = std::make_unique<Mcd212>();
        m->region_control = {0x00400C0A, 0x00000014, 0x00402828, 0, 0, 0, 0, 0};
        m->update_region_weights();
        EXPECT_EQ(m->weight_a[10], 3);
        EXPECT_EQ(m->weight_a[767], 3);
    }
    {   // An entry at an X behind its predecessor blocks the rest of the list.
        auto m = std::make_unique<Mcd212>();
        m->region_control = {0x00400C64, 0x00401432, 0x004028C8, 0, 0, 0, 0, 0};
        m->update_region_weights();
        EXPECT_EQ(m->weight_a[100], 3);
        EXPECT_EQ(m->weight_a[767], 3);
    }
    {   // The same X twice: the second never applies.
        auto m = std::make_unique<Mcd212>();
        m->region_control = {0x00400C64, 0x00401464, 0x004028C8, 0, 0, 0, 0, 0};
        m->update_region_weights();
        EXPECT_EQ(m->weight_a[767], 3);
    }
    {   // Two lists: entries 0-3 drive flag 0, entries 4-7 flag 1, whatever their flag bit.
        auto m = std::make_unique<Mcd212>();
        m->image_coding_method = 1u << 19;
        m->region_control = {0x00910064, 0x008000C8, 0, 0, 0x00900032, 0x00410496, 0, 0};
        m->update_region_weights();
        EXPECT_EQ(m->region_flags[0][99], 0);
        EXPECT_EQ(m->region_flags[0][100], 1);
        EXPECT_EQ(m->region_flags[0][200], 0);
        EXPECT_EQ(m->region_flags[1][49], 0);
        EXPECT_EQ(m->region_flags[1][50], 1);
        EXPECT_EQ(m->weight_a[150], 1);
        // The same entries as one list: entry 4 comes after entry 2's end marker.
        m->image_coding_method = 0;
        m->update_region_weights();
        EXPECT_EQ(m->region_flags[1][100], 1);
        EXPECT_EQ(m->region_flags[1][50], 0);
    }
}

// ---- Cursor blink ----

TEST(Mcd212Blink, OnOffPhases) {
    auto m = std::make_unique<Mcd212>();
    m->cursor_control = (1u << 19) | (1u << 16);  // on 1, off 1
    m->dcr1 = Mcd212::kDcrBlinkStep;              // +6 per frame: 60 / 6 = 10 frames
    std::string phases;
    for (int frame = 0; frame < 40; ++frame) {
        m->run_display_programs(0);
        phases += m->blink_off ? '0' : '1';
    }
    // On for the first nine steps, then alternating every ten frames.
    EXPECT_EQ(phases, std::string(9, '1') + std::string(10, '0') + std::string(10, '1') +
                          std::string(10, '0') + "1");

    auto never = std::make_unique<Mcd212>();
    never->cursor_control = 1u << 16;  // on 0: never blinks
    for (int frame = 0; frame < 100; ++frame) never->run_display_programs(0);
    EXPECT_FALSE(never->blink_off);
    auto no_off = std::make_unique<Mcd212>();
    no_off->cursor_control = 1u << 19;  // off 0: never stays off
    for (int frame = 0; frame < 100; ++frame) {
        no_off->run_display_programs(0);
        EXPECT_FALSE(no_off->blink_off);
    }
    // Slow step: 5 per frame, on 2 = 120 -> 24 frames on.
    auto slow = std::make_unique<Mcd212>();
    slow->cursor_control = (2u << 19) | (1u << 16);
    int on_frames = 0;
    while (!slow->blink_off && on_frames < 100) {
        slow->run_display_programs(0);
        ++on_frames;
    }
    EXPECT_EQ(on_frames, 24);
}

// ---- Robustness ----

// Random words over both banks run as display programs, with random register writes, control
// loads and reads between lines. Every line must still be what the line model draws from the
// state the programs left, the region arrays what the model computes after each region load,
// and the state within what the registers can hold.
TEST(Mcd212Robustness, RandomProgramsAndRegisters) {
    std::mt19937 rng(212);
    auto m = std::make_unique<Mcd212>();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int frames = 0;
    int failures = 0;
    auto check = [&](const std::string& difference, uint32_t line) {
        if (difference.empty() || failures >= 5) return;
        ++failures;
        ADD_FAILURE() << "frame " << frames << " line " << line << ": " << difference;
    };
    while (std::chrono::steady_clock::now() < deadline && frames < 200 && failures < 5) {
        // Sprinkle random words over both banks, with programs at the ICA entries.
        for (int n = 0; n < 4096; ++n) {
            const uint32_t address = rng() & Mcd212::kBankMask & ~3u;
            put_long((rng() & 1) ? m->bank0 : m->bank1, address, rng());
        }
        for (uint32_t a = 0x400; a < 0x480; a += 4) {
            put_long(m->bank0, a, rng());
            put_long(m->bank1, a, rng());
        }
        for (uint32_t offset = 0; offset < 0x20; offset += 2) m->mcd212_write_register(offset, static_cast<uint16_t>(rng()));
        m->dcr1 |= 0x8300;
        m->dcr2 |= 0x8300;
        m->video_mode = (rng() & 1) ? VideoMode::Ntsc : VideoMode::Pal;
        const uint32_t lines = m->video_mode == VideoMode::Ntsc ? 262 : 312;
        for (uint32_t line = 0; line < lines; ++line) {
            m->run_display_programs(line);
            if ((rng() & 15) == 0) {
                const auto code_a = static_cast<uint8_t>(rng());
                const auto code_b = static_cast<uint8_t>(rng());
                m->load_control_plane_a(code_a, rng());
                m->load_control_plane_b(code_b, rng());
                const bool region_load = (code_a >= 0xD0 && code_a <= 0xD7) || code_a == 0xDB ||
                                         (code_b >= 0xD0 && code_b <= 0xD7) || code_b == 0xDC;
                if (region_load) check(line_model::compare_regions(*m), line);
                m->mcd212_read_register(rng());
            }
            check(line_model::render_and_compare(*m, line), line);
        }
        // What the programs may leave: opaque CLUT colours, masked key colours, bank and order
        // registers in range, DCA pointers within 22 bits, interrupt bits only with a request.
        for (uint32_t n = 0; n < 256; ++n) ASSERT_EQ(m->clut[n] >> 24, 0xFFu) << "entry " << n;
        for (uint32_t c : {m->transparent_colour_a, m->transparent_colour_b, m->mask_colour_a, m->mask_colour_b}) {
            ASSERT_EQ(c & ~0xFCFCFCu, 0u);
        }
        ASSERT_LE(m->clut_bank_a, 3);
        ASSERT_TRUE(m->clut_bank_b == 0 || m->clut_bank_b == 2 || m->clut_bank_b == 3);
        ASSERT_LE(m->plane_order, 7u);
        ASSERT_LE(m->dca_pointer1, 0x3FFFFFu);
        ASSERT_LE(m->dca_pointer2, 0x3FFFFFu);
        ASSERT_EQ(m->csr2r & ~Mcd212::kCsr2rIrqMask, 0);
        ASSERT_EQ(m->irq_request, (m->csr2r & Mcd212::kCsr2rIrqMask) != 0);
        ++frames;
    }
    EXPECT_GT(frames, 0);
}

}  // namespace
}  // namespace vestrel
