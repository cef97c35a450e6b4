// The vector reader on a hand-made file: a valid test parses, and every truncation or broken
// block is an error, never a crash or an out-of-bounds read.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "vectors/vector_file.hpp"

namespace m68k::vectors {
namespace {

void put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::vector<uint8_t> state_block(uint32_t pc, uint32_t address, uint16_t word) {
    std::vector<uint8_t> b;
    for (uint32_t i = 0; i < 19; ++i) put32(b, i == 18 ? pc : i);
    put32(b, 0x4E71);
    put32(b, 0x4E71);
    put32(b, 1);
    put32(b, address);
    b.push_back(static_cast<uint8_t>(word));
    b.push_back(static_cast<uint8_t>(word >> 8));
    std::vector<uint8_t> out;
    put32(out, static_cast<uint32_t>(b.size() + 8));
    put32(out, 0x01234567);
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

std::vector<uint8_t> one_test_file() {
    std::vector<uint8_t> body;
    const std::string name = "000 NOP 4e71";
    put32(body, static_cast<uint32_t>(12 + name.size()));
    put32(body, 0x89ABCDEF);
    put32(body, static_cast<uint32_t>(name.size()));
    body.insert(body.end(), name.begin(), name.end());
    auto s1 = state_block(0x1004, 0x1000, 0x4E71);
    auto s2 = state_block(0x1006, 0x1000, 0x4E71);
    body.insert(body.end(), s1.begin(), s1.end());
    body.insert(body.end(), s2.begin(), s2.end());
    std::vector<uint8_t> tx;
    put32(tx, 4);  // cycles
    put32(tx, 1);  // one entry: a word read
    tx.push_back(2);
    put32(tx, 4);
    for (uint32_t v : {6u, 0x1004u, 0x4E71u, 1u, 1u}) put32(tx, v);
    put32(body, static_cast<uint32_t>(tx.size() + 8));
    put32(body, 0x456789AB);
    body.insert(body.end(), tx.begin(), tx.end());

    std::vector<uint8_t> file;
    put32(file, 0x1A3F5D71);
    put32(file, 1);
    put32(file, static_cast<uint32_t>(body.size() + 8));
    put32(file, 0xABC12367);
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

std::string write_temp(const std::vector<uint8_t>& bytes) {
    // One file per test: ctest runs the tests of this suite in parallel processes.
    const std::string path = std::string(VESTREL_BINARY_DIR) + "/vector_reader_" +
                             testing::UnitTest::GetInstance()->current_test_info()->name() + ".bin";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
}

TEST(VectorReader, ParsesAHandMadeTest) {
    auto tests = read_vector_file(write_temp(one_test_file()));
    ASSERT_TRUE(tests.has_value()) << tests.error();
    ASSERT_EQ(tests->size(), 1u);
    const VectorTest& t = (*tests)[0];
    EXPECT_EQ(t.name, "000 NOP 4e71");
    EXPECT_EQ(t.initial.pc, 0x1004u);
    EXPECT_EQ(t.final_state.pc, 0x1006u);
    EXPECT_EQ(t.initial.ram.at(0).address, 0x1000u);
    EXPECT_EQ(t.initial.ram.at(0).value, 0x4E71);
    EXPECT_EQ(t.cycles, 4u);
    ASSERT_EQ(t.transactions.size(), 1u);
    EXPECT_EQ(t.transactions[0].kind, TxKind::Read);
    EXPECT_EQ(t.transactions[0].value(), 0x4E71u);
    EXPECT_FALSE(t.has_address_error());
}

TEST(VectorReader, EveryTruncationAndBrokenByteIsAnError) {
    const auto good = one_test_file();
    for (size_t len = 0; len < good.size(); ++len) {
        const std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(len));
        EXPECT_FALSE(read_vector_file(write_temp(cut)).has_value()) << len;
    }
    // Corrupt each byte of the block headers in turn (sizes and magics).
    for (size_t at : {0u, 8u, 12u, 16u, 20u}) {
        auto bad = good;
        bad[at] ^= 0x5A;
        EXPECT_FALSE(read_vector_file(write_temp(bad)).has_value()) << at;
    }
    auto trailing = good;
    trailing.push_back(0);
    EXPECT_FALSE(read_vector_file(write_temp(trailing)).has_value());
    EXPECT_FALSE(read_vector_file("/nonexistent/vectors.json.bin").has_value());
}

}  // namespace
}  // namespace m68k::vectors
