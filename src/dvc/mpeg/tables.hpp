// Fixed tables of the MPEG-1 video syntax (ISO/IEC 11172-2): the variable-length codes, the
// zig-zag scan and the default intra matrix, plus this decoder's coefficient premultipliers.
//
// Each code table is expanded at compile time into a lookup indexed by the next `bits` bits of
// the stream. An entry gives the value and the code length. A bit pattern that starts no
// defined code gets value 0 and the length of its longest defined prefix plus one, the same
// place a bit-by-bit walk of the code tree would stop. Looking up zero-padded bits past the end
// of the data therefore follows the zero branches, as the bit-by-bit reader does.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vestrel::mpeg {

struct VlcCode {
    uint32_t code;    // the code's bits, right-aligned
    uint8_t length;   // its length in bits
    int16_t value;
};

struct VlcEntry {
    int16_t value;
    uint8_t length;
};

template <size_t Bits>
struct VlcTable {
    static constexpr uint32_t kBits = Bits;
    std::array<VlcEntry, (size_t{1} << Bits)> entries{};
};

// `skip` leading bits common to every code in `codes` are taken as already matched: they are
// stripped from the codes and counted in every entry's length.
template <size_t Bits, size_t N>
constexpr VlcTable<Bits> make_vlc(const std::array<VlcCode, N>& codes, uint8_t skip = 0) {
    VlcTable<Bits> table{};
    for (uint32_t index = 0; index < (uint32_t{1} << Bits); ++index) {
        VlcEntry entry{0, 0};
        uint8_t longest_prefix = 0;
        bool found = false;
        for (const VlcCode& c : codes) {
            // A malformed code list stops the compile here (a throw is not a constant).
            if (c.length <= skip || size_t{c.length} - skip > Bits) throw "code length out of range";
            const uint8_t len = static_cast<uint8_t>(c.length - skip);
            const uint32_t code = c.code & ((uint32_t{1} << len) - 1);
            if ((index >> (Bits - len)) == code) {
                entry = {c.value, c.length};
                found = true;
                break;
            }
            // How many leading bits of the index this code shares.
            uint8_t shared = 0;
            while (shared < len && ((index >> (Bits - 1 - shared)) & 1) == ((code >> (len - 1 - shared)) & 1)) ++shared;
            if (shared > longest_prefix) longest_prefix = shared;
        }
        if (!found) entry = {0, static_cast<uint8_t>(skip + longest_prefix + 1)};
        table.entries[index] = entry;
    }
    return table;
}

// macroblock_address_increment; two values stand for the escape and stuffing codes.
inline constexpr int16_t kMbaStuffing = 34;
inline constexpr int16_t kMbaEscape = 35;
inline constexpr std::array<VlcCode, 35> kMbaCodes{{
    {0b1, 1, 1},           {0b011, 3, 2},         {0b010, 3, 3},         {0b0011, 4, 4},
    {0b0010, 4, 5},        {0b00011, 5, 6},       {0b00010, 5, 7},       {0b0000111, 7, 8},
    {0b0000110, 7, 9},     {0b00001011, 8, 10},   {0b00001010, 8, 11},   {0b00001001, 8, 12},
    {0b00001000, 8, 13},   {0b00000111, 8, 14},   {0b00000110, 8, 15},   {0b0000010111, 10, 16},
    {0b0000010110, 10, 17}, {0b0000010101, 10, 18}, {0b0000010100, 10, 19}, {0b0000010011, 10, 20},
    {0b0000010010, 10, 21}, {0b00000100011, 11, 22}, {0b00000100010, 11, 23}, {0b00000100001, 11, 24},
    {0b00000100000, 11, 25}, {0b00000011111, 11, 26}, {0b00000011110, 11, 27}, {0b00000011101, 11, 28},
    {0b00000011100, 11, 29}, {0b00000011011, 11, 30}, {0b00000011010, 11, 31}, {0b00000011001, 11, 32},
    {0b00000011000, 11, 33}, {0b00000001111, 11, kMbaStuffing}, {0b00000001000, 11, kMbaEscape},
}};
inline constexpr auto kMbaTable = make_vlc<11>(kMbaCodes);

// macroblock_type: 0x01 intra, 0x02 pattern, 0x04 motion backward, 0x08 motion forward, 0x10 quant.
inline constexpr std::array<VlcCode, 2> kMbTypeICodes{{{0b1, 1, 0x01}, {0b01, 2, 0x11}}};
inline constexpr std::array<VlcCode, 7> kMbTypePCodes{{
    {0b1, 1, 0x0A}, {0b01, 2, 0x02}, {0b001, 3, 0x08}, {0b00011, 5, 0x01},
    {0b00010, 5, 0x1A}, {0b00001, 5, 0x12}, {0b000001, 6, 0x11},
}};
inline constexpr std::array<VlcCode, 11> kMbTypeBCodes{{
    {0b10, 2, 0x0C}, {0b11, 2, 0x0E}, {0b010, 3, 0x04}, {0b011, 3, 0x06},
    {0b0010, 4, 0x08}, {0b0011, 4, 0x0A}, {0b00011, 5, 0x01}, {0b00010, 5, 0x1E},
    {0b000011, 6, 0x1A}, {0b000010, 6, 0x16}, {0b000001, 6, 0x11},
}};
inline constexpr auto kMbTypeITable = make_vlc<2>(kMbTypeICodes);
inline constexpr auto kMbTypePTable = make_vlc<6>(kMbTypePCodes);
inline constexpr auto kMbTypeBTable = make_vlc<6>(kMbTypeBCodes);

// coded_block_pattern (MPEG-1 has no code for pattern 0).
inline constexpr std::array<VlcCode, 63> kCbpCodes{{
    {0b111, 3, 60},        {0b1101, 4, 4},        {0b1100, 4, 8},        {0b1011, 4, 16},
    {0b1010, 4, 32},       {0b10011, 5, 12},      {0b10010, 5, 48},      {0b10001, 5, 20},
    {0b10000, 5, 40},      {0b01111, 5, 28},      {0b01110, 5, 44},      {0b01101, 5, 52},
    {0b01100, 5, 56},      {0b01011, 5, 1},       {0b01010, 5, 61},      {0b01001, 5, 2},
    {0b01000, 5, 62},      {0b001111, 6, 24},     {0b001110, 6, 36},     {0b001101, 6, 3},
    {0b001100, 6, 63},     {0b0010111, 7, 5},     {0b0010110, 7, 9},     {0b0010101, 7, 17},
    {0b0010100, 7, 33},    {0b0010011, 7, 6},     {0b0010010, 7, 10},    {0b0010001, 7, 18},
    {0b0010000, 7, 34},    {0b00011111, 8, 7},    {0b00011110, 8, 11},   {0b00011101, 8, 19},
    {0b00011100, 8, 35},   {0b00011011, 8, 13},   {0b00011010, 8, 49},   {0b00011001, 8, 21},
    {0b00011000, 8, 41},   {0b00010111, 8, 14},   {0b00010110, 8, 50},   {0b00010101, 8, 22},
    {0b00010100, 8, 42},   {0b00010011, 8, 15},   {0b00010010, 8, 51},   {0b00010001, 8, 23},
    {0b00010000, 8, 43},   {0b00001111, 8, 25},   {0b00001110, 8, 37},   {0b00001101, 8, 26},
    {0b00001100, 8, 38},   {0b00001011, 8, 29},   {0b00001010, 8, 45},   {0b00001001, 8, 53},
    {0b00001000, 8, 57},   {0b00000111, 8, 30},   {0b00000110, 8, 46},   {0b00000101, 8, 54},
    {0b00000100, 8, 58},   {0b000000111, 9, 31},  {0b000000110, 9, 47},  {0b000000101, 9, 55},
    {0b000000100, 9, 59},  {0b000000011, 9, 27},  {0b000000010, 9, 39},
}};
inline constexpr auto kCbpTable = make_vlc<9>(kCbpCodes);

// motion_code, sign bit included (a trailing 1 is negative).
inline constexpr std::array<VlcCode, 33> kMotionCodes{{
    {0b1, 1, 0},
    {0b010, 3, 1},           {0b011, 3, -1},
    {0b0010, 4, 2},          {0b0011, 4, -2},
    {0b00010, 5, 3},         {0b00011, 5, -3},
    {0b0000110, 7, 4},       {0b0000111, 7, -4},
    {0b00001010, 8, 5},      {0b00001011, 8, -5},
    {0b00001000, 8, 6},      {0b00001001, 8, -6},
    {0b00000110, 8, 7},      {0b00000111, 8, -7},
    {0b0000010110, 10, 8},   {0b0000010111, 10, -8},
    {0b0000010100, 10, 9},   {0b0000010101, 10, -9},
    {0b0000010010, 10, 10},  {0b0000010011, 10, -10},
    {0b00000100010, 11, 11}, {0b00000100011, 11, -11},
    {0b00000100000, 11, 12}, {0b00000100001, 11, -12},
    {0b00000011110, 11, 13}, {0b00000011111, 11, -13},
    {0b00000011100, 11, 14}, {0b00000011101, 11, -14},
    {0b00000011010, 11, 15}, {0b00000011011, 11, -15},
    {0b00000011000, 11, 16}, {0b00000011001, 11, -16},
}};
inline constexpr auto kMotionTable = make_vlc<11>(kMotionCodes);

// dct_dc_size_luminance and dct_dc_size_chrominance.
inline constexpr std::array<VlcCode, 9> kDcLumaCodes{{
    {0b100, 3, 0}, {0b00, 2, 1}, {0b01, 2, 2}, {0b101, 3, 3}, {0b110, 3, 4},
    {0b1110, 4, 5}, {0b11110, 5, 6}, {0b111110, 6, 7}, {0b1111110, 7, 8},
}};
inline constexpr std::array<VlcCode, 9> kDcChromaCodes{{
    {0b00, 2, 0}, {0b01, 2, 1}, {0b10, 2, 2}, {0b110, 3, 3}, {0b1110, 4, 4},
    {0b11110, 5, 5}, {0b111110, 6, 6}, {0b1111110, 7, 7}, {0b11111110, 8, 8},
}};
inline constexpr auto kDcLumaTable = make_vlc<7>(kDcLumaCodes);
inline constexpr auto kDcChromaTable = make_vlc<8>(kDcChromaCodes);

// dct_coeff without its sign bit: value run << 8 | level. The code "1" is end of block or
// run 0 level 1 depending on what follows and where (kDctOne); kDctEscape introduces the
// fixed-length form.
inline constexpr int16_t kDctOne = 0x0001;
inline constexpr int16_t kDctEscape = -1;
constexpr int16_t rl(int run, int level) { return static_cast<int16_t>(run << 8 | level); }

// Codes of at most 8 bits (all have a 1 within their first six bits).
inline constexpr std::array<VlcCode, 24> kDctShortCodes{{
    {0b1, 1, kDctOne},
    {0b011, 3, rl(1, 1)},       {0b0100, 4, rl(0, 2)},      {0b0101, 4, rl(2, 1)},
    {0b00101, 5, rl(0, 3)},     {0b00111, 5, rl(3, 1)},     {0b00110, 5, rl(4, 1)},
    {0b000110, 6, rl(1, 2)},    {0b000111, 6, rl(5, 1)},    {0b000101, 6, rl(6, 1)},
    {0b000100, 6, rl(7, 1)},    {0b0000110, 7, rl(0, 4)},   {0b0000100, 7, rl(2, 2)},
    {0b0000111, 7, rl(8, 1)},   {0b0000101, 7, rl(9, 1)},   {0b000001, 6, kDctEscape},
    {0b00100110, 8, rl(0, 5)},  {0b00100001, 8, rl(0, 6)},  {0b00100101, 8, rl(1, 3)},
    {0b00100100, 8, rl(3, 2)},  {0b00100111, 8, rl(10, 1)}, {0b00100011, 8, rl(11, 1)},
    {0b00100010, 8, rl(12, 1)}, {0b00100000, 8, rl(13, 1)},
}};

// Codes that start with six zeros: 10 to 16 bits.
inline constexpr std::array<VlcCode, 88> kDctLongCodes{{
    {0b0000001010, 10, rl(0, 7)},   {0b0000001100, 10, rl(1, 4)},   {0b0000001011, 10, rl(2, 3)},
    {0b0000001111, 10, rl(4, 2)},   {0b0000001001, 10, rl(5, 2)},   {0b0000001110, 10, rl(14, 1)},
    {0b0000001101, 10, rl(15, 1)},  {0b0000001000, 10, rl(16, 1)},
    {0b000000011101, 12, rl(0, 8)},  {0b000000011000, 12, rl(0, 9)},  {0b000000010011, 12, rl(0, 10)},
    {0b000000010000, 12, rl(0, 11)}, {0b000000011011, 12, rl(1, 5)},  {0b000000010100, 12, rl(2, 4)},
    {0b000000011100, 12, rl(3, 3)},  {0b000000010010, 12, rl(4, 3)},  {0b000000011110, 12, rl(6, 2)},
    {0b000000010101, 12, rl(7, 2)},  {0b000000010001, 12, rl(8, 2)},  {0b000000011111, 12, rl(17, 1)},
    {0b000000011010, 12, rl(18, 1)}, {0b000000011001, 12, rl(19, 1)}, {0b000000010111, 12, rl(20, 1)},
    {0b000000010110, 12, rl(21, 1)},
    {0b0000000011010, 13, rl(0, 12)}, {0b0000000011001, 13, rl(0, 13)}, {0b0000000011000, 13, rl(0, 14)},
    {0b0000000010111, 13, rl(0, 15)}, {0b0000000010110, 13, rl(1, 6)},  {0b0000000010101, 13, rl(1, 7)},
    {0b0000000010100, 13, rl(2, 5)},  {0b0000000010011, 13, rl(3, 4)},  {0b0000000010010, 13, rl(5, 3)},
    {0b0000000010001, 13, rl(9, 2)},  {0b0000000010000, 13, rl(10, 2)}, {0b0000000011111, 13, rl(22, 1)},
    {0b0000000011110, 13, rl(23, 1)}, {0b0000000011101, 13, rl(24, 1)}, {0b0000000011100, 13, rl(25, 1)},
    {0b0000000011011, 13, rl(26, 1)},
    {0b00000000011111, 14, rl(0, 16)}, {0b00000000011110, 14, rl(0, 17)}, {0b00000000011101, 14, rl(0, 18)},
    {0b00000000011100, 14, rl(0, 19)}, {0b00000000011011, 14, rl(0, 20)}, {0b00000000011010, 14, rl(0, 21)},
    {0b00000000011001, 14, rl(0, 22)}, {0b00000000011000, 14, rl(0, 23)}, {0b00000000010111, 14, rl(0, 24)},
    {0b00000000010110, 14, rl(0, 25)}, {0b00000000010101, 14, rl(0, 26)}, {0b00000000010100, 14, rl(0, 27)},
    {0b00000000010011, 14, rl(0, 28)}, {0b00000000010010, 14, rl(0, 29)}, {0b00000000010001, 14, rl(0, 30)},
    {0b00000000010000, 14, rl(0, 31)},
    {0b000000000011000, 15, rl(0, 32)}, {0b000000000010111, 15, rl(0, 33)}, {0b000000000010110, 15, rl(0, 34)},
    {0b000000000010101, 15, rl(0, 35)}, {0b000000000010100, 15, rl(0, 36)}, {0b000000000010011, 15, rl(0, 37)},
    {0b000000000010010, 15, rl(0, 38)}, {0b000000000010001, 15, rl(0, 39)}, {0b000000000010000, 15, rl(0, 40)},
    {0b000000000011111, 15, rl(1, 8)},  {0b000000000011110, 15, rl(1, 9)},  {0b000000000011101, 15, rl(1, 10)},
    {0b000000000011100, 15, rl(1, 11)}, {0b000000000011011, 15, rl(1, 12)}, {0b000000000011010, 15, rl(1, 13)},
    {0b000000000011001, 15, rl(1, 14)},
    {0b0000000000010011, 16, rl(1, 15)}, {0b0000000000010010, 16, rl(1, 16)}, {0b0000000000010001, 16, rl(1, 17)},
    {0b0000000000010000, 16, rl(1, 18)}, {0b0000000000010100, 16, rl(6, 3)},  {0b0000000000011010, 16, rl(11, 2)},
    {0b0000000000011001, 16, rl(12, 2)}, {0b0000000000011000, 16, rl(13, 2)}, {0b0000000000010111, 16, rl(14, 2)},
    {0b0000000000010110, 16, rl(15, 2)}, {0b0000000000010101, 16, rl(16, 2)}, {0b0000000000011111, 16, rl(27, 1)},
    {0b0000000000011110, 16, rl(28, 1)}, {0b0000000000011101, 16, rl(29, 1)}, {0b0000000000011100, 16, rl(30, 1)},
    {0b0000000000011011, 16, rl(31, 1)},
}};

// The short table is looked up with the next 8 bits when any of the first six is set, the long
// one with the 10 bits after six zeros.
inline constexpr uint8_t kDctLongPrefix = 6;
inline constexpr auto kDctShortTable = make_vlc<8>(kDctShortCodes);
inline constexpr auto kDctLongTable = make_vlc<10>(kDctLongCodes, kDctLongPrefix);

inline constexpr std::array<uint8_t, 64> kZigzag{
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

// Raster order.
inline constexpr std::array<uint8_t, 64> kDefaultIntraMatrix{
    8,  16, 19, 22, 26, 27, 29, 34,
    16, 16, 22, 24, 27, 29, 34, 37,
    19, 22, 26, 27, 29, 34, 34, 38,
    22, 22, 26, 27, 29, 34, 37, 40,
    22, 26, 27, 29, 32, 35, 40, 48,
    26, 27, 29, 32, 35, 40, 48, 58,
    26, 27, 29, 34, 38, 46, 56, 69,
    27, 29, 35, 38, 46, 56, 69, 83,
};

// Scales every dequantised coefficient for the fast inverse DCT (raster order).
inline constexpr std::array<int32_t, 64> kPremultiplier{
    32, 44, 42, 38, 32, 25, 17, 9,
    44, 62, 58, 52, 44, 35, 24, 12,
    42, 58, 55, 49, 42, 33, 23, 12,
    38, 52, 49, 44, 38, 30, 20, 10,
    32, 44, 42, 38, 32, 25, 17, 9,
    25, 35, 33, 30, 25, 20, 14, 7,
    17, 24, 23, 20, 17, 14, 9,  5,
    9,  12, 12, 10, 9,  7,  5,  2,
};

inline constexpr std::array<double, 16> kPictureRates{
    0.0, 24000.0 / 1001.0, 24.0, 25.0, 30000.0 / 1001.0, 30.0, 50.0, 60000.0 / 1001.0, 60.0,
    0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0,
};

}  // namespace vestrel::mpeg
