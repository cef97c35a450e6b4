#include "machine/chd.hpp"

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "chd_writer.hpp"
#include "common/log.hpp"
#include "../support/log_capture.hpp"
#include "machine/cdrom.hpp"

namespace vestrel {
namespace {

namespace fs = std::filesystem;
using test::kFrameBytes;
using test::kSectorBytes;

// A fresh folder for one test's files, removed afterwards.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/vestrel_chd_XXXXXX";
        path_ = ::mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path_); }
    fs::path write(const std::string& name, std::span<const uint8_t> bytes) const {
        const fs::path p = path_ / name;
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
        return p;
    }

private:
    fs::path path_;
};

// A small deterministic generator so fixtures are the same on every run.
struct Rng {
    uint32_t s;
    uint32_t next() {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    }
};

// A disc's worth of varied sectors in 8-sector blocks: Form 1 data (text-like and random),
// Form 2 video-like data, CD audio, zero blocks, and blocks that repeat earlier ones (some in
// a row, some walking forward) so the writer makes self references and runs.
std::vector<uint8_t> make_bin(uint32_t sectors, uint32_t seed = 1) {
    std::vector<uint8_t> bin(size_t{sectors} * kSectorBytes, 0);
    Rng rng{seed * 2654435761u + 1};
    const uint32_t blocks = (sectors + 7) / 8;
    for (uint32_t b = 0; b < blocks; ++b) {
        const uint32_t kind = b % 11;
        for (uint32_t k = 0; k < 8 && b * 8 + k < sectors; ++k) {
            const uint32_t lba = b * 8 + k;
            uint8_t* out = bin.data() + size_t{lba} * kSectorBytes;
            if (b >= 8 && (kind == 3 || kind == 4)) {  // copies of blocks 1 and 2 in a row
                std::memcpy(out, bin.data() + size_t{(kind - 2) * 8 + k} * kSectorBytes, kSectorBytes);
                continue;
            }
            if (kind == 5 || kind == 6) continue;  // zero blocks
            std::vector<uint8_t> data(2324);
            if (kind == 0 || kind == 7) {
                static const char words[] = "the quick brown fox jumps over the lazy dog CD-i ";
                for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(words[(i + lba * 7) % 49]);
                const auto s = test::make_form1_sector(lba, data);
                std::memcpy(out, s.data(), kSectorBytes);
            } else if (kind == 1 || kind == 8) {
                for (auto& v : data) v = static_cast<uint8_t>(rng.next());
                const auto s = test::make_form1_sector(lba, data, 1, 2, 0x08);
                std::memcpy(out, s.data(), kSectorBytes);
            } else if (kind == 2 || kind == 9) {
                for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>((i / 16 + lba) & 0xF0);
                const auto s = test::make_form2_sector(lba, data);
                std::memcpy(out, s.data(), kSectorBytes);
            } else {  // audio: a tone with a little noise, little-endian stereo
                for (size_t i = 0; i < 588; ++i) {
                    const double t = double(lba * 588 + i) / 44100.0;
                    const auto l = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * t) + (rng.next() & 63));
                    const auto r = static_cast<int16_t>(6000 * std::sin(2 * M_PI * 660 * t));
                    out[4 * i] = uint8_t(l), out[4 * i + 1] = uint8_t(uint16_t(l) >> 8);
                    out[4 * i + 2] = uint8_t(r), out[4 * i + 3] = uint8_t(uint16_t(r) >> 8);
                }
            }
        }
    }
    return bin;
}

// The BIN as CHD frames: each sector followed by 96 subcode bytes.
std::vector<uint8_t> with_subcode(const std::vector<uint8_t>& bin) {
    const size_t n = bin.size() / kSectorBytes;
    std::vector<uint8_t> frames(n * kFrameBytes, 0);
    for (size_t i = 0; i < n; ++i) {
        std::memcpy(frames.data() + i * kFrameBytes, bin.data() + i * kSectorBytes, kSectorBytes);
        bool zero = std::all_of(bin.begin() + i * kSectorBytes, bin.begin() + (i + 1) * kSectorBytes,
                                [](uint8_t v) { return v == 0; });
        for (size_t k = 0; k < 96 && !zero; ++k)
            frames[i * kFrameBytes + kSectorBytes + k] = static_cast<uint8_t>(k < 12 ? 0xFF : (i + k) & 0x3F);
    }
    return frames;
}

std::unique_ptr<chd::ChdFile> open_bytes(std::vector<uint8_t> bytes, std::string* error = nullptr) {
    Error e;
    auto f = chd::ChdFile::open_memory(std::move(bytes), e);
    if (error) *error = e.message;
    return f;
}

std::vector<uint8_t> read_all_hunks(chd::ChdFile& f) {
    std::vector<uint8_t> all, hunk(f.hunk_bytes()), scratch;
    for (uint32_t h = 0; h < f.hunk_count(); ++h) {
        auto err = f.read_hunk(h, hunk, scratch);
        EXPECT_FALSE(err) << "hunk " << h << ": " << (err ? err->message : "");
        all.insert(all.end(), hunk.begin(), hunk.end());
    }
    return all;
}

TEST(ChdKnownAnswers, ChecksumsAndHash) {
    const std::string check = "123456789";
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(check.data()), check.size());
    EXPECT_EQ(chd::crc16(bytes), 0x29B1);
    EXPECT_EQ(test::crc16_bitwise(bytes), 0x29B1);
    const std::string abc = "abc";
    const auto h = test::sha1({reinterpret_cast<const uint8_t*>(abc.data()), abc.size()});
    const uint8_t want[20] = {0xa9, 0x99, 0x3e, 0x36, 0x47, 0x06, 0x81, 0x6a, 0xba, 0x3e,
                              0x25, 0x71, 0x78, 0x50, 0xc2, 0x6c, 0x9c, 0xd0, 0xd8, 0x9d};
    EXPECT_TRUE(std::equal(h.begin(), h.end(), want));
    EXPECT_EQ(test::crc32_bitwise(bytes), 0xCBF43926u);
    const auto m = test::md5({reinterpret_cast<const uint8_t*>(abc.data()), abc.size()});
    const uint8_t want_md5[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                  0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    EXPECT_TRUE(std::equal(m.begin(), m.end(), want_md5));
    const auto empty = test::md5({});
    EXPECT_EQ(empty[0], 0xd4);
    EXPECT_EQ(empty[15], 0x7e);
}

// The fast CRC paths (wide tables, carry-less folding over long runs) against the bit-by-bit
// one, at lengths around each path's edges and with a chained initial value.
TEST(ChdKnownAnswers, Crc16AgreesWithBitwiseAtEveryLength) {
    Rng rng{5};
    std::vector<uint8_t> data(19584 + 77);
    for (auto& b : data) b = static_cast<uint8_t>(rng.next());
    for (size_t len : {0, 1, 7, 8, 63, 64, 65, 255, 256, 257, 319, 320, 321, 1000, 19584, 19584 + 77}) {
        const std::span<const uint8_t> part(data.data(), len);
        EXPECT_EQ(chd::crc16(part), test::crc16_bitwise(part)) << "length " << len;
        for (size_t split : {size_t{1}, len / 3, len > 300 ? len - 300 : 0}) {
            if (split > len) continue;
            const uint16_t head = chd::crc16(part.first(split));
            EXPECT_EQ(chd::crc16(part.subspan(split), head), test::crc16_bitwise(part))
                << "length " << len << " split " << split;
        }
    }
    std::vector<uint8_t> ones(4096, 0xFF);
    EXPECT_EQ(chd::crc16(ones), test::crc16_bitwise(ones));
}

TEST(ChdKnownAnswers, SectorParityHasZeroSyndromes) {
    std::vector<uint8_t> data(2048);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    auto s = test::make_form1_sector(1234, data);
    EXPECT_TRUE(test::sector_ecc_syndromes_zero(s));
    s[100] ^= 1;
    EXPECT_FALSE(test::sector_ecc_syndromes_zero(s));
}

// ---- a hand-made map, built bit by bit here rather than by the writer ----

std::vector<uint8_t> bits_to_bytes(const std::string& bits) {
    std::vector<uint8_t> out((bits.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i] == '1') out[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
    return out;
}

std::string bits_of(uint64_t value, uint32_t width) {
    std::string s;
    for (uint32_t i = width; i-- > 0;) s += ((value >> i) & 1) ? '1' : '0';
    return s;
}

struct ExpandedEntry {
    uint8_t type;
    uint32_t length;
    uint64_t offset;
    uint16_t crc;
};

// A file with a compressed map made from `stream` (the bitstream) and the entries it should
// expand to (for the map CRC; offsets of stored entries count from the start of the data).
// The map lies right behind the header and `data` at the end of the file.
std::vector<uint8_t> manual_chd(uint32_t hunk_bytes, uint32_t hunks, const std::vector<uint8_t>& data,
                                const std::string& stream, const std::vector<ExpandedEntry>& expanded,
                                uint8_t length_bits, uint8_t self_bits, uint8_t parent_bits = 0,
                                uint32_t codec = chd::tag("zlib")) {
    std::vector<uint8_t> f(124, 0);
    std::memcpy(f.data(), "MComprHD", 8);
    test::put_be(f, 8, 4, 124);
    test::put_be(f, 12, 4, 5);
    test::put_be(f, 16, 4, codec);
    test::put_be(f, 32, 8, uint64_t{hunks} * hunk_bytes);
    test::put_be(f, 40, 8, 124);
    test::put_be(f, 56, 4, hunk_bytes);
    test::put_be(f, 60, 4, hunk_bytes);
    const auto bytes = bits_to_bytes(stream);
    const uint64_t first = 124 + 16 + bytes.size();
    std::vector<uint8_t> exp;
    for (const auto& e : expanded) {
        const uint64_t offset = e.type <= 4 ? e.offset + first : e.offset;
        exp.push_back(e.type);
        for (int i = 2; i >= 0; --i) exp.push_back(static_cast<uint8_t>(e.length >> (8 * i)));
        for (int i = 5; i >= 0; --i) exp.push_back(static_cast<uint8_t>(offset >> (8 * i)));
        exp.push_back(static_cast<uint8_t>(e.crc >> 8));
        exp.push_back(static_cast<uint8_t>(e.crc));
    }
    std::vector<uint8_t> head(16, 0);
    test::put_be(head, 0, 4, bytes.size());
    test::put_be(head, 4, 6, first);
    test::put_be(head, 10, 2, test::crc16_bitwise(exp));
    head[12] = length_bits, head[13] = self_bits, head[14] = parent_bits;
    f.insert(f.end(), head.begin(), head.end());
    f.insert(f.end(), bytes.begin(), bytes.end());
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

// The flat tree: all sixteen symbols four bits long, so each token is its own value in 4 bits.
const std::string kFlatTree = "0001" "0100" "1101";

TEST(ChdMap, HandComputedBitstreamDecodes) {
    // Five 16-byte hunks: hunk 0 stored, hunks 1-4 the same data (one SELF_0, then a small run).
    // Code lengths: symbol 4 one bit, 9 two, 0 and 7 three; codes are handed out longest first,
    // so 0 = 000, 7 = 001, 9 = 01, 4 = 1 (a DEFLATE-style order would give different codes).
    std::vector<uint8_t> data(16);
    for (size_t i = 0; i < 16; ++i) data[i] = static_cast<uint8_t>(0x30 + i);
    const uint16_t crc = test::crc16_bitwise(data);
    const std::string tree = "0011" "0001" "0000" "0000" "0001" "0001" "0000" "0000"
                             "0011" "0000" "0010" "0001" "0000" "0011";
    const std::string tokens = "1" "01" "001" "000";  // NONE, SELF_0, RLE_SMALL + count 0
    const std::string fields = bits_of(crc, 16);
    const std::vector<ExpandedEntry> expanded = {
        {4, 16, 0, crc}, {5, 0, 0, 0}, {5, 0, 0, 0}, {5, 0, 0, 0}, {5, 0, 0, 0}};
    std::string error;
    auto f = open_bytes(manual_chd(16, 5, data, tree + tokens + fields, expanded, 0, 0), &error);
    ASSERT_TRUE(f) << error;
    EXPECT_EQ(f->map_entry(0).kind, chd::HunkKind::Uncompressed);
    for (uint32_t h = 1; h < 5; ++h) {
        EXPECT_EQ(f->map_entry(h).kind, chd::HunkKind::Self) << h;
        EXPECT_EQ(f->map_entry(h).offset, 0u) << h;
    }
    std::vector<uint8_t> out(16), scratch;
    EXPECT_FALSE(f->read_hunk(4, out, scratch));
    EXPECT_EQ(out, data);
}

TEST(ChdCodecs, HandComputedHuffStream) {
    // Sixteen bytes, "AABA" four times: 'A' and 'B' one bit each ('A' = 0, 'B' = 1). Their code lengths are sent
    // as literals (length + 1) and repeats of the last length, themselves coded with a small
    // tree: repeat = 1, literal "length 0" = 00, literal "length 1" = 01.
    const std::vector<uint8_t> data = {'A', 'A', 'B', 'A', 'A', 'A', 'B', 'A', 'A', 'A', 'B', 'A', 'A', 'A', 'B', 'A'};
    const std::string small_tree = "001" "000" "010" "010" "111";  // lengths 1, 2, 2, then the end
    const std::string lengths = "00"                   // symbol 0x00: length 0
                                "1" "111" "00110111"   // 64 more (9 + 55)
                                "01" "01"              // 'A', 'B': length 1
                                "00"                   // 0x43: length 0
                                "1" "111" "10110011";  // 188 more (9 + 179)
    const std::string symbols = "0010" "0010" "0010" "0010";
    const auto stream = bits_to_bytes(small_tree + lengths + symbols);
    const uint16_t crc = test::crc16_bitwise(data);
    const auto len = static_cast<uint32_t>(stream.size());
    const std::string map = kFlatTree + "0000" + bits_of(len, 8) + bits_of(crc, 16);
    std::string error;
    auto f = open_bytes(manual_chd(16, 1, stream, map, {{0, len, 0, crc}}, 8, 0, 0, chd::tag("huff")), &error);
    ASSERT_TRUE(f) << error;
    std::vector<uint8_t> out(16), scratch;
    const auto err = f->read_hunk(0, out, scratch);
    ASSERT_FALSE(err) << err->message;
    EXPECT_EQ(out, data);
}

TEST(ChdMap, BadEntriesFailTheirHunkOnly) {
    // Hunk 0 is always a good stored hunk; hunk 1 is the case under test.
    std::vector<uint8_t> good(16, 0x5A);
    const uint16_t crc = test::crc16_bitwise(good);
    struct Case {
        const char* name;
        std::string hunk1;  // token and fields of hunk 1
        ExpandedEntry entry1;
        uint8_t length_bits, self_bits, parent_bits;
        std::vector<uint8_t> extra;  // bytes stored after hunk 0
        const char* error;
    };
    const std::vector<Case> cases = {
        {"self to itself", "0101" + bits_of(1, 4), {5, 0, 1, 0}, 5, 4, 0, {}, "loop"},
        {"self out of range", "0101" + bits_of(9, 4), {5, 0, 9, 0}, 5, 4, 0, {}, "out of range"},
        {"parent entry", "0110" + bits_of(3, 8), {6, 0, 3, 0}, 5, 4, 8, {}, "parent"},
        {"length above the hunk size", "0000" + bits_of(17, 5) + bits_of(0, 16), {0, 17, 16, 0}, 5, 4, 0,
         std::vector<uint8_t>(17, 1), "exceeds"},
        {"data past the end", "0000" + bits_of(12, 5) + bits_of(0, 16), {0, 12, 16, 0}, 5, 4, 0,
         std::vector<uint8_t>(3, 1), "past the end"},
        {"zero compressed length", "0000" + bits_of(0, 5) + bits_of(0, 16), {0, 0, 16, 0}, 5, 4, 0, {},
         "corrupt"},
        {"stored data corrupt", "0000" + bits_of(4, 5) + bits_of(0, 16), {0, 4, 16, 0}, 5, 4, 0,
         {1, 2, 3, 4}, "corrupt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> data = good;
        data.insert(data.end(), c.extra.begin(), c.extra.end());
        const std::string stream = kFlatTree + "0100" + c.hunk1.substr(0, 4) + bits_of(crc, 16) + c.hunk1.substr(4);
        auto f = open_bytes(manual_chd(16, 2, data, stream, {{4, 16, 0, crc}, c.entry1}, c.length_bits,
                                       c.self_bits, c.parent_bits));
        ASSERT_TRUE(f);
        std::vector<uint8_t> out(16), scratch;
        EXPECT_FALSE(f->read_hunk(0, out, scratch));
        const auto err = f->read_hunk(1, out, scratch);
        ASSERT_TRUE(err);
        EXPECT_NE(err->message.find(c.error), std::string::npos) << err->message;
        const auto range = f->read_hunk(2, out, scratch);
        ASSERT_TRUE(range);
        EXPECT_EQ(range->message, "hunk out of range");
    }
}

TEST(ChdMap, SelfCycleIsRefused) {
    // Hunks 1 and 2 point at each other.
    const std::string stream = kFlatTree + "0100" "0101" "0101" + bits_of(0, 16) + bits_of(2, 2) + bits_of(1, 2);
    auto f = open_bytes(manual_chd(16, 3, std::vector<uint8_t>(16, 0), stream,
                                   {{4, 16, 0, 0}, {5, 0, 2, 0}, {5, 0, 1, 0}}, 5, 2));
    ASSERT_TRUE(f);
    std::vector<uint8_t> out(16), scratch;
    const auto err = f->read_hunk(1, out, scratch);
    ASSERT_TRUE(err);
    EXPECT_NE(err->message.find("loop"), std::string::npos);
}

TEST(ChdMap, MalformedMapsAreOpenErrors) {
    struct Case {
        const char* name;
        std::string stream;
        std::vector<ExpandedEntry> expanded;
        uint8_t length_bits;
        const char* error;
    };
    const std::vector<Case> cases = {
        {"unknown entry type", kFlatTree + "1110", {{14, 0, 0, 0}}, 5, "invalid entry type 14"},
        {"unused codec slot", kFlatTree + "0010" + bits_of(4, 5) + bits_of(0, 16), {{2, 4, 0, 0}}, 5,
         "unused codec slot"},
        {"stream ends early", kFlatTree + "0000", {{0, 0, 0, 0}}, 20, "truncated"},
        {"field width 40", kFlatTree + "0100" + bits_of(0, 16), {{4, 16, 0, 0}}, 40, "field width"},
        {"map CRC wrong", kFlatTree + "0100" + bits_of(0, 16), {{4, 16, 0, 1}}, 5, "map CRC"},
        {"incomplete tree", "0010" "0001" "0000" "1100", {{4, 16, 0, 0}}, 5, "Huffman"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        auto f = open_bytes(manual_chd(16, 1, std::vector<uint8_t>(16, 0), c.stream, c.expanded, c.length_bits, 0),
                            &error);
        EXPECT_FALSE(f);
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

// ---- round trips through the writer ----

struct RoundTrip {
    const char* name;
    std::vector<std::string> codecs;
    uint32_t hunk_bytes;
    uint32_t sectors;
    char flac_order = 0;
    bool metadata = false;
    uint32_t version = 5;
    const char* track_tag = "CHT2";
};

class ChdRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(ChdRoundTrip, EverySectorMatchesTheBin) {
    const RoundTrip& rt = GetParam();
    LogCapture quiet;  // the 16 KB cases log every unreadable index
    const auto bin = make_bin(rt.sectors, rt.hunk_bytes);
    const bool cd_frames = rt.hunk_bytes % kFrameBytes == 0;
    const auto logical = cd_frames ? with_subcode(bin) : bin;
    test::ChdWriterOptions opt;
    opt.codecs = rt.codecs;
    opt.hunk_bytes = rt.hunk_bytes;
    opt.unit_bytes = cd_frames ? kFrameBytes : kSectorBytes;
    opt.flac_order = rt.flac_order;
    opt.cd_metadata = rt.metadata;
    opt.version = rt.version;
    opt.track_tag = rt.track_tag;
    test::ChdWriterStats stats;
    const auto file = test::write_chd(logical, opt, &stats);

    // The writer really used what the case is about.
    if (rt.codecs.size() == 1) {
        EXPECT_GT(stats.codec_hunks[0], 0u) << rt.codecs[0];
    }
    if (rt.codecs.empty()) {
        EXPECT_GT(stats.none_hunks, 0u);
    } else if (rt.sectors >= 64 && rt.hunk_bytes <= 19584) {
        EXPECT_GT(stats.self_hunks + stats.mini_hunks, 0u);
    }
    if (rt.version < 5 && rt.sectors >= 64) {
        EXPECT_GT(stats.mini_hunks, 0u);  // the zero blocks
    }

    // Whole-image hashes against the header.
    {
        auto f = open_bytes(file);
        ASSERT_TRUE(f);
        auto all = read_all_hunks(*f);
        ASSERT_GE(all.size(), logical.size());
        all.resize(logical.size());
        EXPECT_EQ(all, logical);
        const auto raw = test::sha1(all);
        EXPECT_TRUE(std::equal(raw.begin(), raw.end(), f->header().raw_sha1.begin()));
        if (rt.version == 3) {
            const auto md5 = test::md5(all);
            EXPECT_TRUE(std::equal(md5.begin(), md5.end(), f->header().md5.begin()));
        } else if (!rt.metadata) {
            const auto overall = test::sha1(raw);
            EXPECT_TRUE(std::equal(overall.begin(), overall.end(), f->header().sha1.begin()));
        }
        const auto tracks = f->cd_tracks();
        if (rt.metadata) {
            ASSERT_EQ(tracks.size(), 1u);
            EXPECT_EQ(tracks[0].number, 1u);
            EXPECT_EQ(tracks[0].type, "MODE2_RAW");
            EXPECT_EQ(tracks[0].frames, logical.size() / opt.unit_bytes);
        } else {
            EXPECT_TRUE(tracks.empty());
        }
    }

    // Sector by sector through the disc image, in order: each hunk decompressed once.
    TempDir dir;
    auto disc = open_disc_image(dir.write("disc.chd", file));
    ASSERT_TRUE(disc) << disc.error().message;
    const uint32_t per_hunk = disc->sectors_per_hunk();
    SectorBuffer sector{};
    uint32_t checked = 0;
    for (uint32_t lba = 0; lba < disc->total_sectors(); ++lba) {
        const uint32_t hunk = lba / per_hunk, index = lba % per_hunk;
        const uint64_t frame = cd_frames ? kFrameBytes : kSectorBytes;
        const uint64_t at = uint64_t{hunk} * rt.hunk_bytes + index * frame;
        const bool fits = index * frame + kSectorBytes <= rt.hunk_bytes;
        ASSERT_EQ(disc->read_sector(lba, sector), fits) << lba;
        if (!fits) continue;
        std::vector<uint8_t> want(kSectorBytes, 0);
        for (size_t i = 0; i < kSectorBytes && at + i < logical.size(); ++i) want[i] = logical[at + i];
        ASSERT_TRUE(std::equal(want.begin(), want.end(), sector.begin())) << "lba " << lba;
        ++checked;
    }
    EXPECT_GT(checked, 0u);
    EXPECT_EQ(disc->hunks_decompressed(), (disc->total_sectors() + per_hunk - 1) / per_hunk);
}

const RoundTrip kRoundTrips[] = {
    {"cdzl", {"cdzl"}, 19584, 240},
    {"cdlz", {"cdlz"}, 19584, 240},
    {"cdzs", {"cdzs"}, 19584, 240},
    {"cdfl", {"cdfl"}, 19584, 240},
    {"mixed", {"cdlz", "cdzl", "cdfl"}, 19584, 240, 0, true},
    {"cdzl_one_frame", {"cdzl"}, 2448, 120},
    {"cdlz_one_frame", {"cdlz"}, 2448, 120},
    {"cdzs_three_frames", {"cdzs"}, 7344, 100},
    {"cdzl_long_length", {"cdzl"}, 2448 * 27, 200},
    {"cdlz_single_hunk", {"cdlz"}, 19584, 8},
    {"zlib", {"zlib"}, 18816, 240},
    {"lzma", {"lzma"}, 18816, 240},
    {"zstd", {"zstd"}, 18816, 240},
    {"huff", {"huff"}, 18816, 240},
    {"flac_little", {"flac"}, 18816, 240, 'L'},
    {"flac_big", {"flac"}, 18816, 240, 'B'},
    {"zlib_frames", {"zlib"}, 19584, 240},
    {"zlib_16k", {"zlib"}, 16384, 200},
    {"huff_16k", {"huff"}, 16384, 200},
    {"lzma_16k", {"lzma"}, 16384, 200},
    {"uncompressed_frames", {}, 19584, 240},
    {"uncompressed_sectors", {}, 18816, 240},
    // Versions 3 and 4. The rows at 9,792 bytes (four frames, what those versions wrote for
    // CDs) hold the same disc as the v5 row beside them, so all three read alike.
    {"v5_cdzl_four_frames", {"cdzl"}, 9792, 240, 0, true},
    {"v4_zlib", {"zlib"}, 9792, 240, 0, true, 4},
    {"v3_zlib", {"zlib"}, 9792, 240, 0, false, 3},
    {"v3_zlib_plus_table", {"zlib+"}, 9792, 240, 0, true, 3, "CHCD"},
    {"v3_uncompressed", {}, 9792, 240, 0, false, 3},
    {"v4_uncompressed", {}, 9792, 240, 0, false, 4},
    {"v4_zlib_eight_frames_chtr", {"zlib"}, 19584, 240, 0, true, 4, "CHTR"},
    {"v4_zlib_sectors", {"zlib"}, 18816, 240, 0, false, 4},
    {"v3_zlib_16k", {"zlib"}, 16384, 200, 0, false, 3},
    {"v3_single_hunk", {"zlib"}, 9792, 3, 0, false, 3},
};

INSTANTIATE_TEST_SUITE_P(Codecs, ChdRoundTrip, ::testing::ValuesIn(kRoundTrips),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ChdRoundTripDetail, WriterExercisesSelfRunsAndStrippedFrames) {
    const auto bin = make_bin(240);
    test::ChdWriterOptions opt;
    opt.codecs = {"cdlz"};
    test::ChdWriterStats stats;
    const auto file = test::write_chd(with_subcode(bin), opt, &stats);
    EXPECT_GT(stats.self_explicit, 0u);
    EXPECT_GT(stats.self_hunks, stats.self_explicit);  // SELF_0 / SELF_1 forms too
    EXPECT_GT(stats.rle_tokens, 0u);
    EXPECT_GT(stats.stripped_frames, 0u);

    // Regenerated Form 1 sectors carry parity a separate syndrome check accepts.
    TempDir dir;
    auto disc = open_disc_image(dir.write("d.chd", file));
    ASSERT_TRUE(disc);
    SectorBuffer s{};
    ASSERT_TRUE(disc->read_sector(1, s));
    EXPECT_EQ(s[0], 0x00);
    EXPECT_EQ(s[1], 0xFF);
    EXPECT_TRUE(test::sector_ecc_syndromes_zero(s));
}

// Mode 1 parity covers the header, Mode 2 parity counts it as zero: a hunk of both, random
// data, every frame stripped, must come back byte for byte.
TEST(ChdRoundTripDetail, StrippedModeOneAndModeTwoSectorsRegenerate) {
    Rng rng{11};
    std::vector<uint8_t> bin(8 * kSectorBytes);
    std::vector<uint8_t> data(2048);
    for (uint32_t lba = 0; lba < 8; ++lba) {
        for (auto& v : data) v = static_cast<uint8_t>(rng.next());
        auto s = test::make_form1_sector(lba + 300, data);
        if (lba % 2 == 0) {
            s[15] = 1;  // Mode 1: the user data starts at byte 16, but the parity is all we check
            test::write_sector_ecc(s);
        }
        std::copy(s.begin(), s.end(), bin.begin() + lba * kSectorBytes);
    }
    test::ChdWriterOptions opt;
    opt.codecs = {"cdlz"};
    test::ChdWriterStats stats;
    const auto file = test::write_chd(with_subcode(bin), opt, &stats);
    ASSERT_EQ(stats.stripped_frames, 8u);
    TempDir dir;
    auto disc = open_disc_image(dir.write("m.chd", file));
    ASSERT_TRUE(disc);
    SectorBuffer s{};
    for (uint32_t lba = 0; lba < 8; ++lba) {
        ASSERT_TRUE(disc->read_sector(lba, s));
        EXPECT_TRUE(std::equal(s.begin(), s.end(), bin.begin() + lba * kSectorBytes)) << "sector " << lba;
        EXPECT_TRUE(test::sector_ecc_syndromes_zero(s)) << "sector " << lba;
    }
}

// The legacy entry keeps a length's bits 16-23 apart from its low 16: hunks long enough to
// need them read back.
TEST(ChdRoundTripDetail, LegacyLengthsAbove64K) {
    const auto frames = with_subcode(make_bin(400, 2448 * 200));
    test::ChdWriterOptions opt;
    opt.version = 4;
    opt.codecs = {"zlib"};
    opt.hunk_bytes = 2448 * 200;
    const auto file = test::write_chd(frames, opt);
    auto f = open_bytes(file);
    ASSERT_TRUE(f);
    uint32_t longest = 0;
    for (uint32_t h = 0; h < f->hunk_count(); ++h)
        if (f->map_entry(h).kind == chd::HunkKind::Codec0) longest = std::max(longest, f->map_entry(h).length);
    EXPECT_GT(longest, 65535u);
    EXPECT_EQ(read_all_hunks(*f), frames);
}

TEST(ChdRoundTripDetail, OverallHashIncludesFlaggedMetadata) {
    const auto frames = with_subcode(make_bin(40));
    for (uint32_t version : {4u, 5u}) {
        SCOPED_TRACE(version);
        test::ChdWriterOptions opt;
        opt.version = version;
        opt.codecs = {version == 5 ? "cdzl" : "zlib"};
        opt.cd_metadata = true;
        const auto file = test::write_chd(frames, opt);
        auto f = open_bytes(file);
        ASSERT_TRUE(f);
        const auto& h = f->header();
        ASSERT_NE(h.meta_offset, 0u);
        // Entry: tag, flags, be24 length, be64 next, data.
        const size_t len = test::get_be(file, h.meta_offset + 5, 3);
        const auto meta_hash = test::sha1({file.data() + h.meta_offset + 16, len});
        std::vector<uint8_t> input(h.raw_sha1.begin(), h.raw_sha1.end());
        for (int i = 0; i < 4; ++i) input.push_back(file[h.meta_offset + i]);
        input.insert(input.end(), meta_hash.begin(), meta_hash.end());
        const auto overall = test::sha1(input);
        EXPECT_TRUE(std::equal(overall.begin(), overall.end(), h.sha1.begin()));
    }
}

// ---- the disc image over a CHD: cache, geometry and failures ----

TEST(ChdDisc, CueSheetMayNameAChd) {
    const auto frames = with_subcode(make_bin(16));
    test::ChdWriterOptions opt;
    opt.codecs = {"cdzl"};
    TempDir dir;
    dir.write("Game.CHD", test::write_chd(frames, opt));
    const std::string sheet = "FILE \"Game.CHD\" BINARY\n  TRACK 01 MODE2/2352\n";
    auto disc = open_disc_image(dir.write("game.cue", {reinterpret_cast<const uint8_t*>(sheet.data()), sheet.size()}));
    ASSERT_TRUE(disc) << disc.error().message;
    EXPECT_EQ(disc->kind(), DiscImage::Kind::Chd);
    EXPECT_EQ(disc->total_sectors(), 16u);
}

TEST(ChdDisc, HunkGeometryAndCache) {
    LogCapture log;
    const auto frames = with_subcode(make_bin(64));
    test::ChdWriterOptions opt;
    opt.codecs = {"cdzl"};
    opt.self_references = false;
    TempDir dir;
    auto disc = open_disc_image(dir.write("g.chd", test::write_chd(frames, opt)));
    ASSERT_TRUE(disc);
    EXPECT_EQ(disc->kind(), DiscImage::Kind::Chd);
    EXPECT_EQ(disc->sectors_per_hunk(), 8u);
    EXPECT_EQ(disc->total_sectors(), 64u);
    EXPECT_TRUE(log.has("Opened CHD: "));
    EXPECT_TRUE(log.has("hunk_size=19584, sectors_per_hunk=8, total_sectors=64"));
    SectorBuffer s{};
    ASSERT_TRUE(disc->read_sector(9, s));  // hunk 1, offset 2,448
    EXPECT_TRUE(std::equal(s.begin(), s.end(), frames.begin() + 9 * kFrameBytes));
    EXPECT_EQ(disc->hunks_decompressed(), 1u);
    for (uint32_t lba = 8; lba < 16; ++lba) ASSERT_TRUE(disc->read_sector(lba, s));
    EXPECT_EQ(disc->hunks_decompressed(), 1u);
    ASSERT_TRUE(disc->read_sector(16, s));
    EXPECT_EQ(disc->hunks_decompressed(), 2u);
    EXPECT_FALSE(disc->read_sector(64, s));
    EXPECT_TRUE(log.has("CD-ROM: Sector 64 out of bounds (max 64)"));
}

TEST(ChdDisc, HunksOfNeitherFrameSize) {
    LogCapture log;
    std::vector<uint8_t> data(16384 * 3);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 >> 4);
    test::ChdWriterOptions opt;
    opt.codecs = {"zlib"};
    opt.hunk_bytes = 16384;
    TempDir dir;
    auto disc = open_disc_image(dir.write("n.chd", test::write_chd(data, opt)));
    ASSERT_TRUE(disc);
    EXPECT_EQ(disc->sectors_per_hunk(), 8u);
    EXPECT_EQ(disc->total_sectors(), 24u);
    SectorBuffer s{};
    EXPECT_TRUE(disc->read_sector(8 + 5, s));  // ends at byte 14,112
    EXPECT_TRUE(std::equal(s.begin(), s.end(), data.begin() + 16384 + 5 * 2352));
    EXPECT_FALSE(disc->read_sector(8 + 6, s));  // would end at 16,464
    EXPECT_FALSE(disc->read_sector(8 + 7, s));
    EXPECT_TRUE(log.has("CD-ROM: Sector offset out of hunk bounds"));
}

// Offset of the stored bytes of hunk `h` in a writer-made file: the data lies in hunk order
// from the end of the header (the map, at the end, is read back through the reader).
uint64_t hunk_offset(const std::vector<uint8_t>& file, uint32_t h) {
    auto f = open_bytes(file);
    return f->map_entry(h).offset;
}

TEST(ChdDisc, FailedHunkIsNeverServedLater) {
    LogCapture log;
    const auto frames = with_subcode(make_bin(32));
    test::ChdWriterOptions opt;
    opt.codecs = {"cdzl"};
    opt.self_references = false;
    auto file = test::write_chd(frames, opt);
    file[hunk_offset(file, 2) + 40] ^= 0x55;  // damage hunk 2's compressed bytes
    TempDir dir;
    auto disc = open_disc_image(dir.write("f.chd", file));
    ASSERT_TRUE(disc);
    SectorBuffer s{};
    ASSERT_TRUE(disc->read_sector(8, s));    // hunk 1 cached
    EXPECT_FALSE(disc->read_sector(16, s));  // hunk 2 fails, and its bytes went into the buffer
    EXPECT_TRUE(log.has("CD-ROM: Error reading hunk 2: "));
    ASSERT_TRUE(disc->read_sector(9, s));    // hunk 1 again: decompressed anew, correct
    EXPECT_TRUE(std::equal(s.begin(), s.end(), frames.begin() + 9 * kFrameBytes));
    EXPECT_FALSE(disc->read_sector(17, s));  // hunk 2 still refused
    EXPECT_EQ(disc->hunks_decompressed(), 4u);
}

TEST(ChdDisc, StoredHunkCrcMismatch) {
    std::vector<uint8_t> noise(19584 * 2);
    Rng rng{7};
    for (auto& b : noise) b = static_cast<uint8_t>(rng.next());
    for (uint32_t version : {3u, 5u}) {
        SCOPED_TRACE(version);
        LogCapture log;
        test::ChdWriterOptions opt;
        opt.version = version;
        opt.codecs = {version == 5 ? "cdzl" : "zlib"};
        test::ChdWriterStats stats;
        auto file = test::write_chd(noise, opt, &stats);
        ASSERT_EQ(stats.none_hunks, 2u);  // noise does not compress: stored as is
        file[hunk_offset(file, 1) + 100] ^= 1;
        TempDir dir;
        auto disc = open_disc_image(dir.write("c.chd", file));
        ASSERT_TRUE(disc);
        SectorBuffer s{};
        EXPECT_TRUE(disc->read_sector(0, s));
        EXPECT_FALSE(disc->read_sector(8, s));
        EXPECT_TRUE(log.has("CD-ROM: Error reading hunk 1: CRC mismatch"));
    }
}

TEST(ChdDisc, TruncatedUncompressedFileFailsOnlyMissingHunks) {
    LogCapture log;
    const auto frames = with_subcode(make_bin(40));
    test::ChdWriterOptions opt;  // uncompressed: map first, data after
    auto file = test::write_chd(frames, opt);
    file.resize(file.size() - 19584 - 10);
    TempDir dir;
    auto disc = open_disc_image(dir.write("t.chd", file));
    ASSERT_TRUE(disc);
    SectorBuffer s{};
    EXPECT_TRUE(disc->read_sector(0, s));
    EXPECT_FALSE(disc->read_sector(39, s));
    EXPECT_TRUE(log.has("past the end of the file"));
}

// ---- header problems: each a clear open error ----

TEST(ChdOpen, BadHeadersNameTheReason) {
    const auto frames = with_subcode(make_bin(16));
    auto make = [&](uint32_t version) {
        test::ChdWriterOptions opt;
        opt.version = version;
        opt.codecs = {version == 5 ? "cdzl" : "zlib"};
        opt.hunk_bytes = version == 5 ? 19584 : 9792;
        return test::write_chd(frames, opt);
    };
    const std::vector<uint8_t> good[] = {make(3), make(4), make(5)};
    using Patch = std::function<void(std::vector<uint8_t>&)>;
    struct Case {
        const char* name;
        uint32_t version;  // of the file patched
        Patch patch;
        const char* error;
    };
    namespace L = test::chd_layout;
    auto legacy_entry = [](std::vector<uint8_t>& f, uint32_t hunk) {
        return test::get_be(f, 8, 4) + L::kLegacyEntryBytes * hunk;
    };
    const uint8_t parent[20] = {1};
    const std::vector<Case> cases = {
        {"empty", 5, [](auto& f) { f.clear(); }, "not a CHD file"},
        {"bad magic", 5, [](auto& f) { f[0] = 'X'; }, "not a CHD file"},
        {"version 1", 5, [](auto& f) { test::put_be(f, 12, 4, 1); }, "unsupported CHD version 1 "},
        {"version 2", 3, [](auto& f) { test::put_be(f, 12, 4, 2); }, "unsupported CHD version 2 "},
        {"version 6", 5, [](auto& f) { test::put_be(f, 12, 4, 6); }, "unsupported CHD version 6"},
        {"version 0", 4, [](auto& f) { test::put_be(f, 12, 4, 0); }, "unsupported CHD version 0"},
        {"header length", 5, [](auto& f) { test::put_be(f, 8, 4, 120); }, "header length 120"},
        {"header cut", 5, [](auto& f) { f.resize(100); }, "truncated"},
        {"hunk size 0", 5, [](auto& f) { test::put_be(f, 56, 4, 0); }, "hunk size 0"},
        {"hunk size huge", 5, [](auto& f) { test::put_be(f, 56, 4, 0x40000000); }, "too large"},
        {"unit size 0", 5, [](auto& f) { test::put_be(f, 60, 4, 0); }, "unit size 0"},
        {"huge hunk count", 5, [](auto& f) { test::put_be(f, 32, 8, uint64_t{1} << 60); }, "hunk count"},
        {"parent", 5, [&](auto& f) { std::copy(parent, parent + 20, f.begin() + 104); }, "requires a parent"},
        {"unknown codec", 5, [](auto& f) { test::put_be(f, 20, 4, chd::tag("abcd")); }, "unsupported CHD codec 'abcd'"},
        {"cd codec odd hunk", 5, [](auto& f) { test::put_be(f, 56, 4, 16384); }, "multiple of 2448"},
        {"map past the end", 5, [](auto& f) { test::put_be(f, 40, 8, f.size() + 5); }, "past the end"},
        {"map cut", 5, [](auto& f) { f.resize(f.size() - 3); }, "past the end"},
        {"map stream damaged", 5, [](auto& f) { f[f.size() - 4] ^= 0xFF; }, "map"},
        // Versions 3 and 4.
        {"v3 header length", 3, [](auto& f) { test::put_be(f, 8, 4, 108); }, "header length 108"},
        {"v4 header length", 4, [](auto& f) { test::put_be(f, 8, 4, 124); }, "header length 124"},
        {"v3 header cut", 3, [](auto& f) { f.resize(110); }, "truncated"},
        {"v4 header cut", 4, [](auto& f) { f.resize(60); }, "truncated"},
        {"v3 hunk size 0", 3, [](auto& f) { test::put_be(f, L::kV3HunkBytes, 4, 0); }, "hunk size 0"},
        {"v4 hunk size huge", 4, [](auto& f) { test::put_be(f, L::kV4HunkBytes, 4, 0x40000000); }, "too large"},
        {"v4 huge hunk count", 4, [](auto& f) { test::put_be(f, L::kLegacyTotalHunks, 4, 0xFFFFFFFF); },
         "hunk count"},
        {"v3 parent", 3, [](auto& f) { test::put_be(f, L::kLegacyFlags, 4, 1); }, "requires a parent"},
        {"v4 parent", 4, [](auto& f) { test::put_be(f, L::kLegacyFlags, 4, 3); }, "requires a parent"},
        {"v4 unknown compression", 4, [](auto& f) { test::put_be(f, L::kLegacyCompression, 4, 3); },
         "unsupported CHD compression 3"},
        {"v3 compressed hunk, no compression", 3, [](auto& f) { test::put_be(f, L::kLegacyCompression, 4, 0); },
         "no compression"},
        {"v3 map past the end", 3, [](auto& f) { test::put_be(f, L::kLegacyTotalHunks, 4, 100000); }, "past the end"},
        {"v4 map cut", 4, [](auto& f) { f.resize(108 + 16 * 2); }, "past the end"},
        {"v4 end marker damaged", 4,
         [&](auto& f) { f[legacy_entry(f, static_cast<uint32_t>(test::get_be(f, L::kLegacyTotalHunks, 4))) + 3] ^= 1; },
         "end marker"},
        {"v3 entry type 0", 3, [&](auto& f) { f[legacy_entry(f, 1) + L::kLegacyEntryFlags] = 0; }, "invalid entry type 0"},
        {"v4 entry type 7", 4, [&](auto& f) { f[legacy_entry(f, 2) + L::kLegacyEntryFlags] = 0x17; },
         "invalid entry type 7"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto bad = good[c.version - 3];
        c.patch(bad);
        auto disc = open_disc_image(dir.write("bad.chd", bad));
        ASSERT_FALSE(disc);
        EXPECT_NE(disc.error().message.find(c.error), std::string::npos) << disc.error().message;
    }
}

TEST(ChdOpen, EveryTruncationIsHandled) {
    const auto frames = with_subcode(make_bin(24));
    struct Kind { uint32_t version; std::vector<std::string> codecs; };
    for (const auto& kind : {Kind{5, {"cdlz"}}, Kind{5, {}}, Kind{3, {"zlib"}}, Kind{4, {"zlib"}}, Kind{4, {}}}) {
        SCOPED_TRACE(kind.version);
        test::ChdWriterOptions opt;
        opt.version = kind.version;
        opt.codecs = kind.codecs;
        const auto file = test::write_chd(frames, opt);
        for (size_t cut = 0; cut < file.size(); cut += 97) {
            auto f = open_bytes(std::vector<uint8_t>(file.begin(), file.begin() + cut));
            if (!f) continue;
            std::vector<uint8_t> out(f->hunk_bytes()), scratch;
            for (uint32_t h = 0; h < f->hunk_count(); ++h) {
                if (!f->read_hunk(h, out, scratch)) {
                    EXPECT_TRUE(std::equal(out.begin(), out.end(), frames.begin() + h * f->hunk_bytes()));
                }
            }
            (void)f->cd_tracks();
        }
    }
}

// ---- versions 3 and 4: map entries built by hand ----

struct LegacyEntry {
    uint8_t flags;  // type in the low nibble, 0x10 = no CRC
    uint64_t offset;  // of stored types: counted from the start of the data
    uint32_t crc;
    uint32_t length;
};

// A version 3 or 4 file: header, the entries, the end marker, then `data`.
std::vector<uint8_t> manual_legacy_chd(uint32_t version, uint32_t hunk_bytes, const std::vector<LegacyEntry>& entries,
                                       const std::vector<uint8_t>& data, uint32_t compression = 1) {
    const size_t header = version == 3 ? 120 : 108;
    std::vector<uint8_t> f(header, 0);
    std::memcpy(f.data(), "MComprHD", 8);
    test::put_be(f, 8, 4, header);
    test::put_be(f, 12, 4, version);
    test::put_be(f, 20, 4, compression);
    test::put_be(f, 24, 4, entries.size());
    test::put_be(f, 28, 8, uint64_t{hunk_bytes} * entries.size());
    test::put_be(f, version == 3 ? 76 : 44, 4, hunk_bytes);
    const uint64_t first = header + 16 * entries.size() + 16;
    for (const auto& e : entries) {
        const uint8_t type = e.flags & 0x0F;
        std::vector<uint8_t> raw(16, 0);
        test::put_be(raw, 0, 8, type == 1 || type == 2 ? first + e.offset : e.offset);
        test::put_be(raw, 8, 4, e.crc);
        test::put_be(raw, 12, 2, e.length & 0xFFFF);  // low 16 bits, then the high 8
        raw[14] = static_cast<uint8_t>(e.length >> 16);
        raw[15] = e.flags;
        f.insert(f.end(), raw.begin(), raw.end());
    }
    const std::string cookie = "EndOfListCookie";
    f.insert(f.end(), cookie.begin(), cookie.end());
    f.push_back(0);
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

TEST(ChdLegacyMap, MiniSelfAndNoCrcEntries) {
    // Hunk 0: mini, whose eight offset bytes, first to last, repeat through the hunk. Hunk 1:
    // self to hunk 0 with its own CRC. Hunk 2: stored, flagged no CRC, with a wrong one.
    std::vector<uint8_t> mini(32);
    for (size_t i = 0; i < mini.size(); ++i) mini[i] = static_cast<uint8_t>(0x11 * (i % 8 + 1));
    const uint32_t crc = test::crc32_bitwise(mini);
    std::vector<uint8_t> stored(32, 0xA5);
    for (uint32_t version : {3u, 4u}) {
        SCOPED_TRACE(version);
        std::string error;
        auto f = open_bytes(manual_legacy_chd(version, 32,
                                              {{3, 0x1122334455667788, crc, 0}, {4, 0, crc, 0}, {0x12, 0, 1234, 32}},
                                              stored),
                            &error);
        ASSERT_TRUE(f) << error;
        EXPECT_EQ(f->header().version, version);
        EXPECT_EQ(f->hunk_count(), 3u);
        std::vector<uint8_t> out(32), scratch;
        for (uint32_t h = 0; h < 3; ++h) {
            const auto err = f->read_hunk(h, out, scratch);
            ASSERT_FALSE(err) << h << ": " << err->message;
            EXPECT_EQ(out, h < 2 ? mini : stored) << h;
        }
    }
}

TEST(ChdLegacyMap, HunkCrc32IsChecked) {
    // The CRC-32 of the data after decompression, for stored, compressed, mini and self hunks.
    std::vector<uint8_t> data(64);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i / 4);
    z_stream z{};
    ASSERT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<uint8_t> packed(256);
    z.next_in = data.data(), z.avail_in = 64, z.next_out = packed.data(), z.avail_out = 256;
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    packed.resize(z.total_out);
    deflateEnd(&z);
    const auto len = static_cast<uint32_t>(packed.size());
    std::vector<uint8_t> stored = data;
    stored.insert(stored.end(), packed.begin(), packed.end());
    const uint32_t good = test::crc32_bitwise(data), zero = test::crc32_bitwise(std::vector<uint8_t>(64, 0));
    struct Case {
        uint32_t hunk;
        std::vector<LegacyEntry> entries;
        bool ok;
    };
    const std::vector<Case> cases = {
        {0, {{2, 0, good, 64}}, true},
        {0, {{2, 0, good ^ 1, 64}}, false},
        {0, {{1, 64, good, len}}, true},
        {0, {{1, 64, good ^ 0x80000000, len}}, false},
        {0, {{3, 0, zero, 0}}, true},
        {0, {{3, 0, zero ^ 4, 0}}, false},
        {1, {{2, 0, good, 64}, {4, 0, good ^ 1, 0}}, false},  // the self entry's own CRC
        {1, {{0x12, 0, 7, 64}, {4, 0, good, 0}}, true},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        LogCapture quiet;
        auto f = open_bytes(manual_legacy_chd(4, 64, cases[i].entries, stored));
        ASSERT_TRUE(f);
        std::vector<uint8_t> out(64), scratch;
        const auto err = f->read_hunk(cases[i].hunk, out, scratch);
        EXPECT_EQ(!err, cases[i].ok);
        if (err) {
            EXPECT_NE(err->message.find("CRC mismatch"), std::string::npos) << err->message;
        } else {
            EXPECT_EQ(out, cases[i].entries[0].flags == 3 ? std::vector<uint8_t>(64, 0) : data);
        }
    }
}

TEST(ChdLegacyMap, BadEntriesFailTheirHunkOnly) {
    // Hunk 0 is a good stored hunk; hunk 1 is the case under test.
    const std::vector<uint8_t> good(16, 0x5A);
    const uint32_t crc = test::crc32_bitwise(good);
    struct Case {
        const char* name;
        LegacyEntry hunk1;
        std::vector<uint8_t> extra;  // bytes stored after hunk 0
        const char* error;
    };
    const std::vector<Case> cases = {
        {"self to itself", {4, 1, crc, 0}, {}, "loop"},
        {"self out of range", {4, 9, crc, 0}, {}, "out of range"},
        {"parent entry", {5, 0, crc, 0}, {}, "parent"},
        {"secondary codec", {6, 16, crc, 4}, {1, 2, 3, 4}, "secondary"},
        {"length above the hunk size", {1, 16, crc, 17}, std::vector<uint8_t>(17, 1), "exceeds"},
        {"length high byte", {1, 16, crc, 0x010004}, {1, 2, 3, 4}, "exceeds"},
        {"data past the end", {1, 16, crc, 12}, std::vector<uint8_t>(3, 1), "past the end"},
        {"stored data past the end", {2, 16, crc, 16}, std::vector<uint8_t>(15, 1), "past the end"},
        {"offset far past the end", {2, uint64_t{1} << 62, crc, 16}, {}, "past the end"},
        {"zero compressed length", {1, 16, crc, 0}, {}, "corrupt"},
        {"stored data corrupt", {1, 16, crc, 4}, {1, 2, 3, 4}, "'zlib' data is corrupt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> data = good;
        data.insert(data.end(), c.extra.begin(), c.extra.end());
        std::string error;
        auto f = open_bytes(manual_legacy_chd(3, 16, {{2, 0, crc, 16}, c.hunk1}, data), &error);
        ASSERT_TRUE(f) << error;
        std::vector<uint8_t> out(16), scratch;
        EXPECT_FALSE(f->read_hunk(0, out, scratch));
        const auto err = f->read_hunk(1, out, scratch);
        ASSERT_TRUE(err);
        EXPECT_NE(err->message.find(c.error), std::string::npos) << err->message;
        const auto range = f->read_hunk(2, out, scratch);
        ASSERT_TRUE(range);
        EXPECT_EQ(range->message, "hunk out of range");
    }
}

// ---- CD track metadata ----

TEST(ChdTracks, EveryTrackFormatAndVersion) {
    const auto frames = with_subcode(make_bin(40));
    struct Case {
        uint32_t version;
        const char* tag;
        bool little_endian;
    };
    const Case cases[] = {{3, "CHCD", false}, {3, "CHCD", true}, {4, "CHCD", false}, {4, "CHTR", false},
                          {4, "CHT2", false}, {3, "CHT2", false}, {5, "CHT2", false}, {5, "CHTR", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.version) + " " + c.tag + (c.little_endian ? " LE" : ""));
        test::ChdWriterOptions opt;
        opt.version = c.version;
        opt.codecs = {c.version == 5 ? "cdzl" : "zlib"};
        opt.hunk_bytes = 9792;
        opt.cd_metadata = true;
        opt.track_tag = c.tag;
        opt.track_table_little_endian = c.little_endian;
        auto f = open_bytes(test::write_chd(frames, opt));
        ASSERT_TRUE(f);
        const auto tracks = f->cd_tracks();
        ASSERT_EQ(tracks.size(), 1u);
        EXPECT_EQ(tracks[0].number, 1u);
        EXPECT_EQ(tracks[0].type, "MODE2_RAW");
        EXPECT_EQ(tracks[0].subtype, "NONE");
        EXPECT_EQ(tracks[0].frames, 40u);
    }
}

TEST(ChdTracks, BrokenMetadataGivesNoTracksButStillOpens) {
    const auto frames = with_subcode(make_bin(16));
    test::ChdWriterOptions opt;
    opt.version = 4;
    opt.codecs = {"zlib"};
    opt.cd_metadata = true;
    const auto good = test::write_chd(frames, opt);
    const size_t meta = test::get_be(good, test::chd_layout::kLegacyMetaOffset, 8);
    using Patch = std::function<void(std::vector<uint8_t>&)>;
    const std::vector<std::pair<const char*, Patch>> cases = {
        {"offset past the end", [](auto& f) { test::put_be(f, test::chd_layout::kLegacyMetaOffset, 8, f.size() + 1); }},
        {"length past the end", [&](auto& f) { test::put_be(f, meta + 5, 3, 0xFFFFFF); }},
        {"loop", [&](auto& f) { test::put_be(f, meta + 8, 8, meta); }},
        {"no frame count", [&](auto& f) { f[meta + 16 + 36] = 'X'; }},  // "FRAMES" becomes "XRAMES"
        {"binary table count", [&](auto& f) {
             test::put_be(f, meta, 4, chd::tag("CHCD"));
             test::put_be(f, meta + 16, 4, 0x01000001);
         }},
    };
    for (const auto& [name, patch] : cases) {
        SCOPED_TRACE(name);
        auto bad = good;
        patch(bad);
        std::string error;
        auto f = open_bytes(bad, &error);
        ASSERT_TRUE(f) << error;
        EXPECT_TRUE(f->cd_tracks().empty());
        std::vector<uint8_t> out(f->hunk_bytes()), scratch;
        EXPECT_FALSE(f->read_hunk(0, out, scratch));
    }
}

}  // namespace
}  // namespace vestrel
