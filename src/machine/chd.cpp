#include "machine/chd.hpp"

#include <unistd.h>
#include <sys/stat.h>

#include <FLAC/stream_decoder.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace vestrel::chd {
namespace {

constexpr char kMagic[8] = {'M', 'C', 'o', 'm', 'p', 'r', 'H', 'D'};
constexpr uint32_t kV3HeaderBytes = 120;
constexpr uint32_t kV4HeaderBytes = 108;
constexpr uint32_t kMapHeaderBytes = 16;
// Versions 3 and 4: 16 bytes per hunk, then this marker.
constexpr uint32_t kLegacyEntryBytes = 16;
constexpr char kEndOfMap[16] = "EndOfListCookie";
constexpr uint32_t kLegacyFlagParent = 0x1;
constexpr uint8_t kLegacyNoCrc = 0x10;
// Writers use hunks of 16 bytes to 1 MiB; a CD hunk is about 20 KB.
constexpr uint32_t kMaxHunkBytes = 1u << 20;
// Far beyond any CD or DVD, and keeps a hostile header from asking for gigabytes of map.
constexpr uint64_t kMaxHunkCount = 1u << 22;
// Writers point a self reference at the hunk's earlier twin; a longer chain is a loop.
constexpr int kMaxSelfChain = 32;
constexpr uint32_t kMaxFieldBits = 32;
// A disc has at most 99 tracks; anything longer than this is a loop in the list.
constexpr int kMaxMetadataEntries = 1024;

// Map entry types as stored in a compressed map (codec slots 0-3 are 0-3).
enum MapToken : uint8_t {
    kTokNone = 4,
    kTokSelf = 5,
    kTokParent = 6,
    kTokRleSmall = 7,
    kTokRleLarge = 8,
    kTokSelf0 = 9,
    kTokSelf1 = 10,
    kTokParentSelf = 11,
    kTokParent0 = 12,
    kTokParent1 = 13,
};

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint32_t be24(const uint8_t* p) { return (uint32_t{p[0]} << 16) | be16(p + 1); }
uint64_t be48(const uint8_t* p) { return (uint64_t{be16(p)} << 32) | be32(p + 2); }
uint64_t be64(const uint8_t* p) { return (uint64_t{be32(p)} << 32) | be32(p + 4); }

std::string tag_text(uint32_t tag) {
    std::string s;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = static_cast<char>((tag >> shift) & 0xFF);
        if (c < 0x20 || c > 0x7E) return fmt::format("0x{:08X}", tag);
        s += c;
    }
    return "'" + s + "'";
}

// An MSB-first bit reader; reading past the end yields zero bits and marks an overflow.
class BitReader {
public:
    BitReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint32_t peek(uint32_t bits) const {
        if (bits == 0) return 0;
        const size_t byte = static_cast<size_t>(pos_ >> 3);
        uint64_t window = 0;
        for (size_t i = 0; i < 5; ++i) {
            window <<= 8;
            if (byte + i < size_) window |= data_[byte + i];
        }
        const uint32_t shift = static_cast<uint32_t>(pos_ & 7);
        const uint64_t mask = (uint64_t{1} << bits) - 1;
        return static_cast<uint32_t>((window >> (40 - shift - bits)) & mask);
    }
    void remove(uint32_t bits) {
        pos_ += bits;
        if (pos_ > uint64_t{size_} * 8) overflow_ = true;
    }
    uint32_t read(uint32_t bits) {
        const uint32_t v = peek(bits);
        remove(bits);
        return v;
    }
    bool overflow() const { return overflow_; }

private:
    const uint8_t* data_;
    size_t size_;
    uint64_t pos_ = 0;
    bool overflow_ = false;
};

// A canonical Huffman decoder in this format's code order: codes are handed out from the
// longest length down, so longer codes are numerically smaller.
class HuffmanDecoder {
public:
    HuffmanDecoder(uint32_t num_codes, uint32_t max_bits)
        : max_bits_(max_bits), lengths_(num_codes, 0), lookup_(size_t{1} << max_bits, 0) {}

    // Code lengths in 4-bit (or wider) fields with a simple run-length escape.
    bool import_rle(BitReader& bits) {
        const uint32_t field = max_bits_ >= 16 ? 5 : max_bits_ >= 8 ? 4 : 3;
        const uint32_t n = static_cast<uint32_t>(lengths_.size());
        for (uint32_t cur = 0; cur < n;) {
            uint32_t len = bits.read(field);
            if (len != 1) {
                lengths_[cur++] = static_cast<uint8_t>(len);
                continue;
            }
            len = bits.read(field);
            if (len == 1) {
                lengths_[cur++] = 1;
                continue;
            }
            const uint32_t repeat = bits.read(field) + 3;
            if (repeat > n - cur) return false;
            for (uint32_t k = 0; k < repeat; ++k) lengths_[cur++] = static_cast<uint8_t>(len);
        }
        return build() && !bits.overflow();
    }

    // Code lengths themselves Huffman-coded with a small 24-symbol tree (the huff codec).
    bool import_huffman(BitReader& bits) {
        bad_ = false;
        HuffmanDecoder small(24, 6);
        small.lengths_[0] = static_cast<uint8_t>(bits.read(3));
        const uint32_t start = bits.read(3) + 1;
        uint32_t count = 0;
        for (uint32_t i = 1; i < 24; ++i) {
            if (i < start || count == 7) {
                small.lengths_[i] = 0;
            } else {
                count = bits.read(3);
                small.lengths_[i] = static_cast<uint8_t>(count == 7 ? 0 : count);
            }
        }
        if (!small.build()) return false;

        uint32_t rle_bits = 0;
        for (uint32_t t = static_cast<uint32_t>(lengths_.size()) - 9; t != 0; t >>= 1) ++rle_bits;
        const uint32_t n = static_cast<uint32_t>(lengths_.size());
        uint8_t last = 0;
        uint32_t cur = 0;
        while (cur < n) {
            const uint32_t value = small.decode(bits);
            if (small.bad_) return false;
            if (value != 0) {
                last = static_cast<uint8_t>(value - 1);
                lengths_[cur++] = last;
            } else {
                uint32_t repeat = bits.read(3) + 2;
                if (repeat == 7 + 2) repeat += bits.read(rle_bits);
                for (; repeat != 0 && cur < n; --repeat) lengths_[cur++] = last;
            }
            if (bits.overflow()) return false;
        }
        return build() && !bits.overflow();
    }

    uint32_t decode(BitReader& bits) {
        const uint32_t entry = lookup_[bits.peek(max_bits_)];
        const uint32_t len = entry & 0x1F;
        if (len == 0) {  // a code the tree does not have
            bad_ = true;
            bits.remove(1);
            return 0;
        }
        bits.remove(len);
        return entry >> 5;
    }
    bool bad() const { return bad_; }

private:
    bool build() {
        uint32_t histogram[33] = {};
        for (uint8_t len : lengths_) {
            if (len > max_bits_) return false;
            histogram[len]++;
        }
        uint32_t start = 0;
        for (int len = 32; len > 0; --len) {
            const uint32_t total = start + histogram[len];
            // Complete at every length, except a lone one-bit code (a one-symbol tree).
            if (len != 1 && (total & 1)) return false;
            histogram[len] = start;
            start = total >> 1;
        }
        std::fill(lookup_.begin(), lookup_.end(), 0u);
        for (uint32_t sym = 0; sym < lengths_.size(); ++sym) {
            const uint32_t len = lengths_[sym];
            if (len == 0) continue;
            const uint32_t code = histogram[len]++;
            const uint32_t shift = max_bits_ - len;
            const uint64_t first = uint64_t{code} << shift;
            const uint64_t last = ((uint64_t{code} + 1) << shift);
            if (last > lookup_.size()) return false;
            for (uint64_t i = first; i < last; ++i) lookup_[i] = (sym << 5) | len;
        }
        return true;
    }

    uint32_t max_bits_;
    std::vector<uint8_t> lengths_;
    std::vector<uint32_t> lookup_;
    bool bad_ = false;
};

// ---- CD sector ECC regeneration (ECMA-130 P and Q parity) ----

constexpr uint8_t kCdSync[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
constexpr size_t kEccPOffset = 0x81C;
constexpr size_t kEccQOffset = 0x8C8;
constexpr size_t kModeOffset = 15;

struct EccTables {
    uint8_t f[256];
    uint8_t b[256];
    EccTables() {
        for (uint32_t i = 0; i < 256; ++i) {
            const uint32_t j = ((i << 1) ^ ((i & 0x80) ? 0x11D : 0)) & 0xFF;
            f[i] = static_cast<uint8_t>(j);
            b[i ^ j] = static_cast<uint8_t>(i);
        }
    }
};
const EccTables kEcc;

// GF(2^8) doubling with the parity code's polynomial x^8 + x^4 + x^3 + x^2 + 1, written out
// rather than looked up so the row loops below compile to vector code.
inline uint8_t gf_double(uint8_t x) {
    return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1D : 0));
}

// Check bytes of kMajor codewords laid out as kMinor rows, row n holding byte n of every
// codeword side by side. dest receives kMajor bytes of the first check byte, then kMajor of
// the second.
template <size_t kMajor, size_t kMinor>
void parity_of_rows(const uint8_t* rows, uint8_t* dest) {
    uint8_t a[kMajor] = {}, b[kMajor] = {};
    for (size_t n = 0; n < kMinor; ++n) {
        const uint8_t* row = rows + n * kMajor;
        for (size_t m = 0; m < kMajor; ++m) {
            a[m] = gf_double(static_cast<uint8_t>(a[m] ^ row[m]));
            b[m] ^= row[m];
        }
    }
    for (size_t m = 0; m < kMajor; ++m) {
        const uint8_t p = kEcc.b[kEcc.f[a[m]] ^ b[m]];
        dest[m] = p;
        dest[m + kMajor] = static_cast<uint8_t>(p ^ b[m]);
    }
}

constexpr size_t kPMajor = 86, kPMinor = 24, kQMajor = 52, kQMinor = 43;
constexpr size_t kQSpan = kQMajor * kQMinor;  // bytes from the header through the P parity

// Q codewords run diagonally: codeword pair k takes, for byte n, the two bytes at
// 86k + 88n (mod the span). kQOffsets[n][k] is that offset, so the gather is a table walk.
struct QOffsets {
    uint16_t at[kQMinor][kQMajor / 2];
    constexpr QOffsets() : at{} {
        for (size_t n = 0; n < kQMinor; ++n)
            for (size_t k = 0; k < kQMajor / 2; ++k) at[n][k] = static_cast<uint16_t>((86 * k + 88 * n) % kQSpan);
    }
};
constexpr QOffsets kQOffsets;

// Rebuilds sync, P and Q of a sector whose writer stripped them. Mode 2 sectors compute the
// parity with the header taken as zero, as the disc does.
void regenerate_sector(uint8_t* sector) {
    std::memcpy(sector, kCdSync, sizeof kCdSync);
    uint8_t header[4] = {};
    const bool mode2 = sector[kModeOffset] == 2;
    if (mode2) {
        std::memcpy(header, sector + 12, 4);
        std::memset(sector + 12, 0, 4);
    }
    // P codeword m takes byte m of each 86-byte row from the header on: the rows are the data.
    parity_of_rows<kPMajor, kPMinor>(sector + 12, sector + kEccPOffset);
    uint8_t q_rows[kQMinor][kQMajor];
    for (size_t n = 0; n < kQMinor; ++n)
        for (size_t k = 0; k < kQMajor / 2; ++k) std::memcpy(&q_rows[n][2 * k], sector + 12 + kQOffsets.at[n][k], 2);
    parity_of_rows<kQMajor, kQMinor>(&q_rows[0][0], sector + kEccQOffset);
    if (mode2) std::memcpy(sector + 12, header, 4);
}

enum class Codec : uint8_t { Zlib, Lzma, Zstd, Huff, Flac, CdZlib, CdLzma, CdZstd, CdFlac };

std::optional<Codec> codec_for_tag(uint32_t t) {
    switch (t) {
        case tag("zlib"): return Codec::Zlib;
        case tag("lzma"): return Codec::Lzma;
        case tag("zstd"): return Codec::Zstd;
        case tag("huff"): return Codec::Huff;
        case tag("flac"): return Codec::Flac;
        case tag("cdzl"): return Codec::CdZlib;
        case tag("cdlz"): return Codec::CdLzma;
        case tag("cdzs"): return Codec::CdZstd;
        case tag("cdfl"): return Codec::CdFlac;
        default: return std::nullopt;
    }
}

bool is_cd_codec(Codec c) {
    return c == Codec::CdZlib || c == Codec::CdLzma || c == Codec::CdZstd || c == Codec::CdFlac;
}

// The dictionary the writers' LZMA settings derive from the output size.
uint32_t lzma_dictionary(uint32_t size) {
    const uint32_t want = std::max<uint32_t>(size, 4096);
    for (uint32_t i = 11; i <= 30; ++i) {
        if (want <= (2u << i)) return 2u << i;
        if (want <= (3u << i)) return 3u << i;
    }
    return 1u << 31;
}

// FLAC block size: a quarter of the bytes (stereo 16-bit samples), halved down to the limit.
uint32_t flac_block_size(uint32_t bytes, uint32_t limit) {
    uint32_t n = bytes / 4;
    while (n > limit) n /= 2;
    return n;
}

}  // namespace

namespace {

// Slicing-by-8 tables: kCrcTables[k][b] is the effect of byte b followed by k zero bytes, so
// eight bytes fold in at once (every hunk is checked, and this is most of a cheap hunk's cost).
struct CrcTables {
    uint16_t t[8][256];
    CrcTables() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint16_t c = static_cast<uint16_t>(i << 8);
            for (int k = 0; k < 8; ++k) c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
            t[0][i] = c;
        }
        for (int k = 1; k < 8; ++k)
            for (uint32_t i = 0; i < 256; ++i)
                t[k][i] = static_cast<uint16_t>((t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 8]);
    }
};
const CrcTables kCrc;

}  // namespace

namespace {

uint16_t crc16_tables(const uint8_t* p, size_t n, uint16_t crc) {
    const auto& t = kCrc.t;
    for (; n >= 8; n -= 8, p += 8) {
        crc = static_cast<uint16_t>(t[7][(crc >> 8) ^ p[0]] ^ t[6][(crc & 0xFF) ^ p[1]] ^ t[5][p[2]] ^
                                    t[4][p[3]] ^ t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]]);
    }
    for (; n > 0; --n, ++p) crc = static_cast<uint16_t>((crc << 8) ^ t[0][((crc >> 8) ^ *p) & 0xFF]);
    return crc;
}

#if defined(__x86_64__)
// Folding with carry-less multiplies. The CRC is worked in 32 bits over x^16 times the
// polynomial, which keeps every residue mod the real one; the last 16-byte residue and the tail
// then go through the tables. Bytes are taken most significant first, as the CRC reads them.
constexpr uint64_t kCrcPoly32 = uint64_t{0x11021} << 16;

constexpr uint64_t x_power_mod(uint32_t n) {  // x^n mod (x^16 * poly), n >= 32
    uint64_t r = uint64_t{1} << 31;           // x^31
    for (uint32_t i = 31; i < n; ++i) {
        r <<= 1;
        if (r >> 32) r ^= kCrcPoly32;
    }
    return r;
}

struct FoldConstants {
    // Multipliers that move a 128-bit residue on by 512, 384, 256 and 128 bits: {high half, low half}.
    uint64_t by512[2] = {x_power_mod(512 + 64), x_power_mod(512)};
    uint64_t by384[2] = {x_power_mod(384 + 64), x_power_mod(384)};
    uint64_t by256[2] = {x_power_mod(256 + 64), x_power_mod(256)};
    uint64_t by128[2] = {x_power_mod(128 + 64), x_power_mod(128)};
};
constexpr FoldConstants kFold;

#define VESTREL_CLMUL __attribute__((target("pclmul,ssse3")))

VESTREL_CLMUL inline __m128i byte_reverse(__m128i x) {
    return _mm_shuffle_epi8(x, _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
}

VESTREL_CLMUL inline __m128i load_msb_first(const uint8_t* q) {
    return byte_reverse(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q)));
}

VESTREL_CLMUL inline __m128i fold(__m128i x, const uint64_t (&k)[2]) {
    const __m128i kk = _mm_set_epi64x(static_cast<long long>(k[0]), static_cast<long long>(k[1]));
    return _mm_xor_si128(_mm_clmulepi64_si128(x, kk, 0x11), _mm_clmulepi64_si128(x, kk, 0x00));
}

// n >= 64.
VESTREL_CLMUL uint16_t crc16_clmul(const uint8_t* p, size_t n, uint16_t crc) {
    // The initial value counts as if XORed into the first two message bytes.
    __m128i x0 = _mm_xor_si128(load_msb_first(p), _mm_set_epi64x(static_cast<long long>(uint64_t{crc} << 48), 0));
    __m128i x1 = load_msb_first(p + 16), x2 = load_msb_first(p + 32), x3 = load_msb_first(p + 48);
    p += 64;
    n -= 64;
    for (; n >= 64; n -= 64, p += 64) {
        x0 = _mm_xor_si128(fold(x0, kFold.by512), load_msb_first(p));
        x1 = _mm_xor_si128(fold(x1, kFold.by512), load_msb_first(p + 16));
        x2 = _mm_xor_si128(fold(x2, kFold.by512), load_msb_first(p + 32));
        x3 = _mm_xor_si128(fold(x3, kFold.by512), load_msb_first(p + 48));
    }
    const __m128i x = _mm_xor_si128(_mm_xor_si128(fold(x0, kFold.by384), fold(x1, kFold.by256)),
                                    _mm_xor_si128(fold(x2, kFold.by128), x3));
    alignas(16) uint8_t residue[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(residue), byte_reverse(x));
    return crc16_tables(p, n, crc16_tables(residue, sizeof residue, 0));
}

const bool kHaveClmul = [] {
    __builtin_cpu_init();  // a static initialiser may run before the runtime's own CPU probe
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
}();
#undef VESTREL_CLMUL
#endif

}  // namespace

uint16_t crc16(std::span<const uint8_t> data, uint16_t crc) {
#if defined(__x86_64__)
    if (data.size() >= 256 && kHaveClmul) return crc16_clmul(data.data(), data.size(), crc);
#endif
    return crc16_tables(data.data(), data.size(), crc);
}

// The decoder states, made once per file and reset for each hunk.
struct ChdFile::Codecs {
    std::array<std::optional<Codec>, 4> slots{};
    z_stream zlib{};
    bool zlib_ready = false;
    lzma_stream lzma = LZMA_STREAM_INIT;
    ZSTD_DCtx* zstd = nullptr;
    FLAC__StreamDecoder* flac = nullptr;
    std::vector<uint8_t> cd_buffer;  // sector data then subcode, before re-interleaving
    HuffmanDecoder huff_tree{256, 16};  // its 64K-entry lookup table is kept between hunks

    // The FLAC feed: a made-up stream header, then the hunk's frames.
    struct FlacFeed {
        uint8_t header[42];
        const uint8_t* data = nullptr;
        size_t size = 0;
        size_t pos = 0;  // over header + data
        uint8_t* out = nullptr;
        size_t samples_wanted = 0;
        size_t samples_done = 0;
        bool big_endian = false;
        bool failed = false;
    } feed;

    ~Codecs() {
        if (zlib_ready) inflateEnd(&zlib);
        lzma_end(&lzma);
        if (zstd) ZSTD_freeDCtx(zstd);
        if (flac) FLAC__stream_decoder_delete(flac);
    }

    bool init(uint32_t hunk_bytes, std::string& why) {
        bool need_zlib = false, need_zstd = false, need_flac = false;
        for (const auto& c : slots) {
            if (!c) continue;
            need_zlib |= *c == Codec::Zlib || *c == Codec::CdZlib || *c == Codec::CdLzma || *c == Codec::CdFlac;
            need_zstd |= *c == Codec::Zstd || *c == Codec::CdZstd;
            need_flac |= *c == Codec::Flac || *c == Codec::CdFlac;
            if (is_cd_codec(*c)) cd_buffer.resize(hunk_bytes);
        }
        if (need_zlib) {
            if (inflateInit2(&zlib, -MAX_WBITS) != Z_OK) {
                why = "cannot initialise zlib";
                return false;
            }
            zlib_ready = true;
        }
        if (need_zstd && !(zstd = ZSTD_createDCtx())) {
            why = "cannot initialise zstd";
            return false;
        }
        if (need_flac && !(flac = FLAC__stream_decoder_new())) {
            why = "cannot initialise FLAC";
            return false;
        }
        return true;
    }

    bool inflate_raw(std::span<const uint8_t> src, std::span<uint8_t> dst) {
        if (!zlib_ready || inflateReset(&zlib) != Z_OK) return false;
        zlib.next_in = const_cast<Bytef*>(src.data());
        zlib.avail_in = static_cast<uInt>(src.size());
        zlib.next_out = dst.data();
        zlib.avail_out = static_cast<uInt>(dst.size());
        const int rc = inflate(&zlib, Z_FINISH);
        return rc == Z_STREAM_END && zlib.total_out == dst.size();
    }

    bool lzma_raw(std::span<const uint8_t> src, std::span<uint8_t> dst) {
        lzma_options_lzma opt{};
        opt.dict_size = lzma_dictionary(static_cast<uint32_t>(dst.size()));
        opt.lc = 3;
        opt.lp = 0;
        opt.pb = 2;
        opt.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
        lzma_set_ext_size(opt, dst.size());
        const lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
        if (lzma_raw_decoder(&lzma, filters) != LZMA_OK) return false;
        lzma.next_in = src.data();
        lzma.avail_in = src.size();
        lzma.next_out = dst.data();
        lzma.avail_out = dst.size();
        const lzma_ret rc = lzma_code(&lzma, LZMA_FINISH);
        return (rc == LZMA_STREAM_END || rc == LZMA_OK) && lzma.avail_out == 0;
    }

    bool zstd_frame(std::span<const uint8_t> src, std::span<uint8_t> dst) {
        if (!zstd || ZSTD_isError(ZSTD_DCtx_reset(zstd, ZSTD_reset_session_only))) return false;
        ZSTD_inBuffer in{src.data(), src.size(), 0};
        ZSTD_outBuffer out{dst.data(), dst.size(), 0};
        while (out.pos < out.size) {
            const size_t in_before = in.pos, out_before = out.pos;
            const size_t rc = ZSTD_decompressStream(zstd, &out, &in);
            if (ZSTD_isError(rc)) return false;
            if (in.pos == in_before && out.pos == out_before) return false;  // input ran out
        }
        return out.pos == dst.size();
    }

    bool huff(std::span<const uint8_t> src, std::span<uint8_t> dst) {
        BitReader bits(src.data(), src.size());
        HuffmanDecoder& tree = huff_tree;
        if (!tree.import_huffman(bits)) return false;
        for (uint8_t& b : dst) b = static_cast<uint8_t>(tree.decode(bits));
        return !tree.bad() && !bits.overflow();
    }

    // Decodes 16-bit stereo FLAC frames into `dst` (dst.size() / 4 samples) in the given byte
    // order. `consumed` receives how many bytes of `src` the frames took.
    bool flac_frames(std::span<const uint8_t> src, std::span<uint8_t> dst, uint32_t block_size,
                     bool big_endian, size_t& consumed) {
        if (!flac || block_size < 16 || block_size > 65535) return false;
        static constexpr uint8_t kTemplate[42] = {
            'f', 'L', 'a', 'C', 0x80, 0x00, 0x00, 0x22,  // last metadata block: STREAMINFO, 34 bytes
            0, 0, 0, 0,                                  // block sizes, filled in
            0, 0, 0, 0, 0, 0,                            // frame sizes unknown
            0x0A, 0xC4, 0x42, 0xF0, 0, 0, 0, 0,          // 44,100 Hz, 2 channels, 16 bits, length unknown
            0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};  // no MD5
        std::memcpy(feed.header, kTemplate, sizeof kTemplate);
        for (int k : {8, 10}) {
            feed.header[k] = static_cast<uint8_t>(block_size >> 8);
            feed.header[k + 1] = static_cast<uint8_t>(block_size);
        }
        feed.data = src.data();
        feed.size = src.size();
        feed.pos = 0;
        feed.out = dst.data();
        feed.samples_wanted = dst.size() / 4;
        feed.samples_done = 0;
        feed.big_endian = big_endian;
        feed.failed = false;
        if (FLAC__stream_decoder_init_stream(flac, &flac_read, nullptr, &flac_tell, nullptr, nullptr,
                                             &flac_write, nullptr, &flac_error, &feed) !=
            FLAC__STREAM_DECODER_INIT_STATUS_OK)
            return false;
        bool ok = true;
        while (feed.samples_done < feed.samples_wanted) {
            if (!FLAC__stream_decoder_process_single(flac) || feed.failed ||
                FLAC__stream_decoder_get_state(flac) == FLAC__STREAM_DECODER_END_OF_STREAM) {
                ok = false;
                break;
            }
        }
        FLAC__uint64 position = 0;
        if (ok && (!FLAC__stream_decoder_get_decode_position(flac, &position) ||
                   position < sizeof feed.header || position - sizeof feed.header > src.size()))
            ok = false;
        FLAC__stream_decoder_finish(flac);
        consumed = ok ? static_cast<size_t>(position - sizeof feed.header) : 0;
        return ok && !feed.failed && feed.samples_done == feed.samples_wanted;
    }

    static FLAC__StreamDecoderReadStatus flac_read(const FLAC__StreamDecoder*, FLAC__byte buffer[],
                                                   size_t* bytes, void* client) {
        auto& f = *static_cast<FlacFeed*>(client);
        const size_t total = sizeof f.header + f.size;
        size_t n = 0;
        while (n < *bytes && f.pos < total) {
            if (f.pos < sizeof f.header) {
                const size_t k = std::min(*bytes - n, sizeof f.header - f.pos);
                std::memcpy(buffer + n, f.header + f.pos, k);
                n += k;
                f.pos += k;
            } else {
                const size_t off = f.pos - sizeof f.header;
                const size_t k = std::min(*bytes - n, f.size - off);
                std::memcpy(buffer + n, f.data + off, k);
                n += k;
                f.pos += k;
            }
        }
        *bytes = n;
        return n == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM
                      : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
    }

    static FLAC__StreamDecoderTellStatus flac_tell(const FLAC__StreamDecoder*, FLAC__uint64* offset,
                                                   void* client) {
        *offset = static_cast<const FlacFeed*>(client)->pos;
        return FLAC__STREAM_DECODER_TELL_STATUS_OK;
    }

    static FLAC__StreamDecoderWriteStatus flac_write(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                                     const FLAC__int32* const buffer[], void* client) {
        auto& f = *static_cast<FlacFeed*>(client);
        const uint32_t n = frame->header.blocksize;
        if (frame->header.channels != 2 || frame->header.bits_per_sample != 16 ||
            n > f.samples_wanted - f.samples_done) {
            f.failed = true;
            return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        }
        uint8_t* out = f.out + f.samples_done * 4;
        for (uint32_t i = 0; i < n; ++i) {
            for (int ch = 0; ch < 2; ++ch) {
                const auto s = static_cast<uint16_t>(static_cast<int16_t>(buffer[ch][i]));
                const uint8_t hi = static_cast<uint8_t>(s >> 8), lo = static_cast<uint8_t>(s);
                *out++ = f.big_endian ? hi : lo;
                *out++ = f.big_endian ? lo : hi;
            }
        }
        f.samples_done += n;
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    }

    static void flac_error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* client) {
        static_cast<FlacFeed*>(client)->failed = true;
    }

    // The CD wrappers: ECC bitmap, base stream length, sector data stream, subcode stream.
    bool cd(Codec codec, std::span<const uint8_t> src, std::span<uint8_t> dst) {
        const size_t frames = dst.size() / kCdFrameBytes;
        const size_t sector_bytes = frames * kCdSectorBytes;
        const std::span<uint8_t> sectors(cd_buffer.data(), sector_bytes);
        const std::span<uint8_t> subcode(cd_buffer.data() + sector_bytes, frames * kCdSubcodeBytes);
        const size_t ecc_bytes = (frames + 7) / 8;
        if (codec == Codec::CdFlac) {
            size_t used = 0;
            if (!flac_frames(src, sectors, flac_block_size(static_cast<uint32_t>(sector_bytes), kCdSectorBytes),
                             true, used))
                return false;
            if (!inflate_raw(src.subspan(used), subcode)) return false;
        } else {
            const size_t length_bytes = dst.size() < 65536 ? 2 : 3;
            const size_t header = ecc_bytes + length_bytes;
            if (src.size() < header) return false;
            size_t base_len = (size_t{src[ecc_bytes]} << 8) | src[ecc_bytes + 1];
            if (length_bytes == 3) base_len = (base_len << 8) | src[ecc_bytes + 2];
            if (base_len > src.size() - header) return false;
            const auto base = src.subspan(header, base_len);
            const auto sub = src.subspan(header + base_len);
            bool ok = false;
            switch (codec) {
                case Codec::CdZlib: ok = inflate_raw(base, sectors) && inflate_raw(sub, subcode); break;
                case Codec::CdLzma: ok = lzma_raw(base, sectors) && inflate_raw(sub, subcode); break;
                case Codec::CdZstd: ok = zstd_frame(base, sectors) && zstd_frame(sub, subcode); break;
                default: break;
            }
            if (!ok) return false;
        }
        for (size_t f = 0; f < frames; ++f) {
            uint8_t* frame = dst.data() + f * kCdFrameBytes;
            std::memcpy(frame, sectors.data() + f * kCdSectorBytes, kCdSectorBytes);
            std::memcpy(frame + kCdSectorBytes, subcode.data() + f * kCdSubcodeBytes, kCdSubcodeBytes);
            if (codec != Codec::CdFlac && (src[f / 8] & (1u << (f % 8)))) regenerate_sector(frame);
        }
        return true;
    }

    bool decompress(Codec codec, std::span<const uint8_t> src, std::span<uint8_t> dst) {
        switch (codec) {
            case Codec::Zlib: return inflate_raw(src, dst);
            case Codec::Lzma: return lzma_raw(src, dst);
            case Codec::Zstd: return zstd_frame(src, dst);
            case Codec::Huff: return huff(src, dst);
            case Codec::Flac: {
                if (src.empty() || (src[0] != 'L' && src[0] != 'B')) return false;
                size_t used = 0;
                return flac_frames(src.subspan(1), dst, flac_block_size(static_cast<uint32_t>(dst.size()), 2048),
                                   src[0] == 'B', used);
            }
            default: return cd(codec, src, dst);
        }
    }
};

ChdFile::ChdFile() = default;

ChdFile::~ChdFile() {
    if (fd_ >= 0) ::close(fd_);
}

std::unique_ptr<ChdFile> ChdFile::open_fd(int fd, Error& error) {
    std::unique_ptr<ChdFile> chd(new ChdFile());
    chd->fd_ = fd;
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        error = Error{fmt::format("{} (os error {})", std::strerror(errno), errno)};
        return nullptr;
    }
    chd->file_size_ = static_cast<uint64_t>(st.st_size);
    if (auto e = chd->load()) {
        error = std::move(*e);
        return nullptr;
    }
    return chd;
}

std::unique_ptr<ChdFile> ChdFile::open_memory(std::vector<uint8_t> bytes, Error& error) {
    std::unique_ptr<ChdFile> chd(new ChdFile());
    chd->file_size_ = bytes.size();
    chd->memory_ = std::move(bytes);
    if (auto e = chd->load()) {
        error = std::move(*e);
        return nullptr;
    }
    return chd;
}

bool ChdFile::read_at(uint64_t offset, std::span<uint8_t> out) const {
    if (offset > file_size_ || out.size() > file_size_ - offset) return false;
    if (out.empty()) return true;
    if (fd_ < 0) {
        std::memcpy(out.data(), memory_.data() + offset, out.size());
        return true;
    }
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::optional<Error> ChdFile::load() {
    if (auto e = load_header()) return e;
    codecs_ = std::make_unique<Codecs>();
    std::string why;
    if (header_.version < 5) {
        // Both zlib kinds of versions 3 and 4 store raw deflate.
        if (header_.compression != 0) codecs_->slots[0] = Codec::Zlib;
        if (!codecs_->init(header_.hunk_bytes, why)) return Error{why};
        return load_legacy_map();
    }
    for (size_t i = 0; i < 4; ++i) {
        const uint32_t t = header_.compressors[i];
        if (t == 0) continue;
        const auto codec = codec_for_tag(t);
        if (!codec) return Error{fmt::format("unsupported CHD codec {}", tag_text(t))};
        if (is_cd_codec(*codec) && header_.hunk_bytes % kCdFrameBytes != 0)
            return Error{fmt::format("CHD codec {} needs a hunk size that is a multiple of {}, not {}",
                                     tag_text(t), kCdFrameBytes, header_.hunk_bytes)};
        if (*codec == Codec::Flac && header_.hunk_bytes % 4 != 0)
            return Error{fmt::format("CHD codec 'flac' needs a hunk size that is a multiple of 4, not {}",
                                     header_.hunk_bytes)};
        codecs_->slots[i] = codec;
    }
    if (!codecs_->init(header_.hunk_bytes, why)) return Error{why};
    return header_.compressors[0] == 0 ? load_uncompressed_map() : load_compressed_map();
}

std::optional<Error> ChdFile::load_header() {
    uint8_t raw[kHeaderBytes];
    if (file_size_ < 16 || !read_at(0, std::span<uint8_t>(raw, 16)) || std::memcmp(raw, kMagic, 8) != 0)
        return Error{"not a CHD file"};
    header_.version = be32(raw + 12);
    uint32_t expected_length = 0;
    switch (header_.version) {
        case 1:
        case 2:
            return Error{fmt::format("unsupported CHD version {} (versions 1 and 2 hold hard disks, not CDs)",
                                     header_.version)};
        case 3: expected_length = kV3HeaderBytes; break;
        case 4: expected_length = kV4HeaderBytes; break;
        case 5: expected_length = kHeaderBytes; break;
        default: return Error{fmt::format("unsupported CHD version {}", header_.version)};
    }
    const uint32_t length = be32(raw + 8);
    if (length != expected_length) return Error{fmt::format("invalid CHD header length {}", length)};
    if (!read_at(0, std::span<uint8_t>(raw, length))) return Error{"CHD header is truncated"};
    if (auto e = header_.version == 5 ? load_v5_header(raw) : load_legacy_header(raw)) return e;
    return check_header();
}

// Version 5: codec tags, then hunk count from the logical size; a parent is named by its hash.
std::optional<Error> ChdFile::load_v5_header(const uint8_t* raw) {
    for (size_t i = 0; i < 4; ++i) header_.compressors[i] = be32(raw + 16 + 4 * i);
    header_.logical_bytes = be64(raw + 32);
    header_.map_offset = be64(raw + 40);
    header_.meta_offset = be64(raw + 48);
    header_.hunk_bytes = be32(raw + 56);
    header_.unit_bytes = be32(raw + 60);
    std::memcpy(header_.raw_sha1.data(), raw + 64, 20);
    std::memcpy(header_.sha1.data(), raw + 84, 20);
    std::memcpy(header_.parent_sha1.data(), raw + 104, 20);
    if (header_.hunk_bytes == 0) return Error{"invalid CHD hunk size 0"};
    if (header_.unit_bytes == 0) return Error{"invalid CHD unit size 0"};
    const uint64_t hunks = header_.logical_bytes / header_.hunk_bytes +
                           (header_.logical_bytes % header_.hunk_bytes != 0 ? 1 : 0);
    if (hunks > kMaxHunkCount) return Error{fmt::format("CHD hunk count {} is too large", hunks)};
    header_.hunk_count = static_cast<uint32_t>(hunks);
    if (std::any_of(header_.parent_sha1.begin(), header_.parent_sha1.end(), [](uint8_t b) { return b != 0; }))
        return Error{"CHD file requires a parent image, which is not supported"};
    return std::nullopt;
}

// Versions 3 and 4 share their first 44 bytes: flags, compression, hunk count, logical size
// and metadata offset. The map follows the header at once.
std::optional<Error> ChdFile::load_legacy_header(const uint8_t* raw) {
    header_.flags = be32(raw + 16);
    header_.compression = be32(raw + 20);
    header_.hunk_count = be32(raw + 24);
    header_.logical_bytes = be64(raw + 28);
    header_.meta_offset = be64(raw + 36);
    header_.map_offset = be32(raw + 8);
    if (header_.version == 3) {  // MD5s, then the hunk size, then one SHA-1, of the data
        std::memcpy(header_.md5.data(), raw + 44, 16);
        header_.hunk_bytes = be32(raw + 76);
        std::memcpy(header_.raw_sha1.data(), raw + 80, 20);
        std::memcpy(header_.parent_sha1.data(), raw + 100, 20);
    } else {  // the hunk size, then SHA-1s only: overall, parent, data
        header_.hunk_bytes = be32(raw + 44);
        std::memcpy(header_.sha1.data(), raw + 48, 20);
        std::memcpy(header_.parent_sha1.data(), raw + 68, 20);
        std::memcpy(header_.raw_sha1.data(), raw + 88, 20);
    }
    if (header_.flags & kLegacyFlagParent) return Error{"CHD file requires a parent image, which is not supported"};
    if (header_.compression > 2) return Error{fmt::format("unsupported CHD compression {}", header_.compression)};
    return std::nullopt;
}

std::optional<Error> ChdFile::check_header() const {
    if (header_.hunk_bytes == 0) return Error{"invalid CHD hunk size 0"};
    if (header_.hunk_bytes > kMaxHunkBytes)
        return Error{fmt::format("CHD hunk size {} is too large", header_.hunk_bytes)};
    if (header_.hunk_count > kMaxHunkCount)
        return Error{fmt::format("CHD hunk count {} is too large", header_.hunk_count)};
    return std::nullopt;
}

std::optional<Error> ChdFile::load_uncompressed_map() {
    const uint64_t map_bytes = uint64_t{header_.hunk_count} * 4;
    if (header_.map_offset > file_size_ || map_bytes > file_size_ - header_.map_offset)
        return Error{"CHD map extends past the end of the file"};
    std::vector<uint8_t> raw(map_bytes);
    if (!read_at(header_.map_offset, raw)) return Error{"cannot read the CHD map"};
    map_.resize(header_.hunk_count);
    for (uint32_t i = 0; i < header_.hunk_count; ++i) {
        const uint32_t slot = be32(raw.data() + 4 * size_t{i});
        map_[i].kind = slot == 0 ? HunkKind::Zero : HunkKind::Uncompressed;
        map_[i].offset = uint64_t{slot} * header_.hunk_bytes;
        map_[i].length = header_.hunk_bytes;
    }
    return std::nullopt;  // no per-hunk CRCs in uncompressed files
}

std::optional<Error> ChdFile::load_compressed_map() {
    uint8_t head[kMapHeaderBytes];
    if (header_.map_offset > file_size_ || kMapHeaderBytes > file_size_ - header_.map_offset ||
        !read_at(header_.map_offset, head))
        return Error{"CHD map extends past the end of the file"};
    const uint32_t map_bytes = be32(head);
    const uint64_t first_offset = be48(head + 4);
    const uint16_t map_crc = be16(head + 10);
    const uint32_t length_bits = head[12], self_bits = head[13], parent_bits = head[14];
    if (length_bits > kMaxFieldBits || self_bits > kMaxFieldBits || parent_bits > kMaxFieldBits)
        return Error{"CHD map has an invalid field width"};
    if (map_bytes > file_size_ - header_.map_offset - kMapHeaderBytes)
        return Error{"CHD map extends past the end of the file"};
    std::vector<uint8_t> stream(map_bytes);
    if (!read_at(header_.map_offset + kMapHeaderBytes, stream)) return Error{"cannot read the CHD map"};

    BitReader bits(stream.data(), stream.size());
    HuffmanDecoder tree(16, 8);
    if (!tree.import_rle(bits)) return Error{"CHD map has an invalid Huffman tree"};

    const uint32_t n = header_.hunk_count;
    std::vector<uint8_t> tokens(n);
    uint8_t last = 0;
    uint32_t repeat = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (repeat > 0) {
            tokens[i] = last;
            --repeat;
            continue;
        }
        const uint32_t v = tree.decode(bits);
        if (v == kTokRleSmall) {
            tokens[i] = last;
            repeat = 2 + tree.decode(bits);
        } else if (v == kTokRleLarge) {
            tokens[i] = last;
            repeat = 2 + 16 + (tree.decode(bits) << 4);
            repeat += tree.decode(bits);
        } else {
            tokens[i] = last = static_cast<uint8_t>(v);
        }
        if (tree.bad() || bits.overflow()) return Error{"CHD map is truncated or corrupt"};
    }

    map_.resize(n);
    uint64_t cur = first_offset;
    uint64_t last_self = 0;
    uint64_t last_parent = 0;
    const uint64_t units_per_hunk = header_.hunk_bytes / header_.unit_bytes;
    uint16_t crc = 0xFFFF;
    for (uint32_t i = 0; i < n; ++i) {
        MapEntry& e = map_[i];
        uint8_t type = tokens[i];
        switch (type) {
            case 0: case 1: case 2: case 3:
                if (!codecs_->slots[type]) return Error{fmt::format("CHD map names unused codec slot {}", type)};
                e.kind = static_cast<HunkKind>(type);
                e.offset = cur;
                e.length = bits.read(length_bits);
                e.crc = bits.read(16);
                e.has_crc = true;
                cur += e.length;
                break;
            case kTokNone:
                e.kind = HunkKind::Uncompressed;
                e.offset = cur;
                e.length = header_.hunk_bytes;
                e.crc = bits.read(16);
                e.has_crc = true;
                cur += e.length;
                break;
            case kTokSelf:
                e.kind = HunkKind::Self;
                e.offset = last_self = bits.read(self_bits);
                break;
            case kTokSelf1:
            case kTokSelf0:
                if (type == kTokSelf1) ++last_self;
                type = kTokSelf;
                e.kind = HunkKind::Self;
                e.offset = last_self;
                break;
            case kTokParent:
                e.kind = HunkKind::Parent;
                e.offset = last_parent = bits.read(parent_bits);
                break;
            case kTokParentSelf:
                type = kTokParent;
                e.kind = HunkKind::Parent;
                e.offset = last_parent = uint64_t{i} * header_.hunk_bytes / header_.unit_bytes;
                break;
            case kTokParent1:
            case kTokParent0:
                if (type == kTokParent1) last_parent += units_per_hunk;
                type = kTokParent;
                e.kind = HunkKind::Parent;
                e.offset = last_parent;
                break;
            default:
                return Error{fmt::format("CHD map has an invalid entry type {}", type)};
        }
        // The checksum covers the expanded 12-byte entries: type, be24 length, be48 offset, be16 crc.
        const uint8_t rec[12] = {type,
                                 static_cast<uint8_t>(e.length >> 16), static_cast<uint8_t>(e.length >> 8),
                                 static_cast<uint8_t>(e.length),
                                 static_cast<uint8_t>(e.offset >> 40), static_cast<uint8_t>(e.offset >> 32),
                                 static_cast<uint8_t>(e.offset >> 24), static_cast<uint8_t>(e.offset >> 16),
                                 static_cast<uint8_t>(e.offset >> 8), static_cast<uint8_t>(e.offset),
                                 static_cast<uint8_t>(e.crc >> 8), static_cast<uint8_t>(e.crc)};
        crc = crc16(rec, crc);
    }
    if (bits.overflow()) return Error{"CHD map is truncated or corrupt"};
    if (crc != map_crc) return Error{"CHD map CRC mismatch"};
    return std::nullopt;
}

// Versions 3 and 4: be64 offset, be32 CRC-32, be16 length with its bits 16-23 in the next
// byte, then flags (the type in the low nibble, 0x10 no CRC).
std::optional<Error> ChdFile::load_legacy_map() {
    const uint64_t map_bytes = uint64_t{header_.hunk_count} * kLegacyEntryBytes;
    if (header_.map_offset > file_size_ || map_bytes + sizeof kEndOfMap > file_size_ - header_.map_offset)
        return Error{"CHD map extends past the end of the file"};
    std::vector<uint8_t> raw(map_bytes + sizeof kEndOfMap);
    if (!read_at(header_.map_offset, raw)) return Error{"cannot read the CHD map"};
    if (std::memcmp(raw.data() + map_bytes, kEndOfMap, sizeof kEndOfMap) != 0)
        return Error{"CHD map end marker is missing"};
    map_.resize(header_.hunk_count);
    for (uint32_t i = 0; i < header_.hunk_count; ++i) {
        const uint8_t* p = raw.data() + size_t{i} * kLegacyEntryBytes;
        MapEntry& e = map_[i];
        e.offset = be64(p);
        e.crc = be32(p + 8);
        e.length = be16(p + 12) | (uint32_t{p[14]} << 16);
        e.has_crc = (p[15] & kLegacyNoCrc) == 0;
        const uint8_t type = p[15] & 0x0F;
        switch (type) {
            case 1:
                if (!codecs_->slots[0])
                    return Error{"CHD map has a compressed hunk but the file has no compression"};
                e.kind = HunkKind::Codec0;
                break;
            case 2:
                e.kind = HunkKind::Uncompressed;
                e.length = header_.hunk_bytes;
                break;
            case 3: e.kind = HunkKind::Mini; break;
            case 4: e.kind = HunkKind::Self; break;
            case 5: e.kind = HunkKind::Parent; break;
            case 6: e.kind = HunkKind::Secondary; break;
            default: return Error{fmt::format("CHD map has an invalid entry type {}", type)};
        }
    }
    return std::nullopt;
}

std::optional<Error> ChdFile::read_hunk(uint32_t hunk, std::span<uint8_t> out, std::vector<uint8_t>& compressed) {
    if (hunk >= header_.hunk_count) return Error{"hunk out of range"};
    if (out.size() != header_.hunk_bytes) return Error{"hunk buffer has the wrong size"};
    uint32_t cur = hunk;
    for (int step = 0; map_[cur].kind == HunkKind::Self; ++step) {
        const uint64_t target = map_[cur].offset;
        if (target >= header_.hunk_count)
            return Error{fmt::format("self reference to hunk {} is out of range", target)};
        if (step == kMaxSelfChain) return Error{"self references form a loop"};
        cur = static_cast<uint32_t>(target);
    }
    const MapEntry& e = map_[cur];
    switch (e.kind) {
        case HunkKind::Zero:
            std::fill(out.begin(), out.end(), uint8_t{0});
            break;
        case HunkKind::Mini:
            for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(e.offset >> (56 - 8 * (i % 8)));
            break;
        case HunkKind::Parent:
            return Error{"hunk lives in a parent image, which is not supported"};
        case HunkKind::Secondary:
            return Error{"hunk uses a secondary codec, which is not supported"};
        case HunkKind::Uncompressed:
            if (!read_at(e.offset, out)) return Error{"hunk data lies past the end of the file"};
            break;
        default: {
            if (e.length > header_.hunk_bytes)
                return Error{fmt::format("compressed length {} exceeds the hunk size", e.length)};
            compressed.resize(e.length);
            if (!read_at(e.offset, compressed)) return Error{"hunk data lies past the end of the file"};
            const auto slot = static_cast<size_t>(e.kind);
            if (!codecs_->decompress(*codecs_->slots[slot], compressed, out))
                return Error{fmt::format("{} data is corrupt", header_.version < 5 ? tag_text(tag("zlib"))
                                                                             : tag_text(header_.compressors[slot]))};
            break;
        }
    }
    // The data's own entry, and in versions 3 and 4 a self entry too, carry a checksum.
    const MapEntry& asked = map_[hunk];
    if (!e.has_crc && !asked.has_crc) return std::nullopt;
    const bool legacy = header_.version < 5;
    const uint32_t actual = legacy ? static_cast<uint32_t>(::crc32(0, out.data(), static_cast<uInt>(out.size())))
                                   : crc16(out);
    for (const MapEntry* m : {&e, &asked}) {
        if (m->has_crc && m->crc != actual)
            return Error{legacy ? fmt::format("CRC mismatch (stored 0x{:08X}, computed 0x{:08X})", m->crc, actual)
                                : fmt::format("CRC mismatch (stored 0x{:04X}, computed 0x{:04X})", m->crc, actual)};
    }
    return std::nullopt;
}

namespace {

// "TRACK:1 TYPE:MODE2_RAW SUBTYPE:NONE FRAMES:1234 ...": the fields needed, in any order.
std::optional<CdTrack> parse_track_text(std::span<const uint8_t> data) {
    std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    text = text.substr(0, text.find('\0'));
    CdTrack track;
    bool number = false, type = false, subtype = false, frames = false;
    while (!text.empty()) {
        const size_t end = std::min(text.find(' '), text.size());
        const std::string_view field = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        const size_t colon = field.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view key = field.substr(0, colon), value = field.substr(colon + 1);
        auto as_number = [&](uint32_t& out) {
            const auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), out);
            return ec == std::errc{} && ptr == value.data() + value.size();
        };
        if (key == "TRACK") number = as_number(track.number);
        else if (key == "FRAMES") frames = as_number(track.frames);
        else if (key == "TYPE") track.type = value, type = !value.empty();
        else if (key == "SUBTYPE") track.subtype = value, subtype = !value.empty();
    }
    if (!number || !type || !subtype || !frames) return std::nullopt;
    return track;
}

// The binary table of versions 3 and 4: a track count, then 99 records of six u32 (type, subcode
// type, data bytes, subcode bytes, frames, padding frames). Its byte order is not fixed: take
// big-endian unless the count only makes sense the other way round.
bool parse_track_table(std::span<const uint8_t> data, std::vector<CdTrack>& tracks) {
    static constexpr const char* kTypes[] = {"MODE1",       "MODE1_RAW",      "MODE2",     "MODE2_FORM1",
                                             "MODE2_FORM2", "MODE2_FORM_MIX", "MODE2_RAW", "AUDIO"};
    static constexpr const char* kSubtypes[] = {"RW", "RW_RAW", "NONE"};
    constexpr uint32_t kMaxTracks = 99, kRecordBytes = 24;
    if (data.size() < 4) return false;
    bool little = false;
    auto u32 = [&](size_t at) {
        const uint8_t* p = data.data() + at;
        return little ? (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0] : be32(p);
    };
    uint32_t count = u32(0);
    if (count == 0 || count > kMaxTracks) {
        little = true;
        count = u32(0);
    }
    if (count == 0 || count > kMaxTracks || data.size() < 4 + size_t{count} * kRecordBytes) return false;
    for (uint32_t t = 0; t < count; ++t) {
        const size_t at = 4 + size_t{t} * kRecordBytes;
        const uint32_t type = u32(at), subtype = u32(at + 4);
        if (type >= std::size(kTypes) || subtype >= std::size(kSubtypes)) return false;
        tracks.push_back({t + 1, kTypes[type], kSubtypes[subtype], u32(at + 16)});
    }
    return true;
}

}  // namespace

std::vector<CdTrack> ChdFile::cd_tracks() const {
    std::vector<CdTrack> text, table;
    uint64_t at = header_.meta_offset;
    for (int n = 0; at != 0; ++n) {
        uint8_t head[16];
        if (n == kMaxMetadataEntries || !read_at(at, head)) return {};
        const uint32_t entry_tag = be32(head);
        const uint32_t length = be24(head + 5);
        if (entry_tag == tag("CHT2") || entry_tag == tag("CHTR") || entry_tag == tag("CHCD")) {
            if (length > file_size_ - at - sizeof head) return {};
            std::vector<uint8_t> data(length);
            if (!read_at(at + sizeof head, data)) return {};
            if (entry_tag == tag("CHCD")) {
                if (!parse_track_table(data, table)) return {};
            } else {
                auto track = parse_track_text(data);
                if (!track) return {};
                text.push_back(std::move(*track));
            }
        }
        at = be64(head + 8);
    }
    std::vector<CdTrack>& tracks = text.empty() ? table : text;
    std::stable_sort(tracks.begin(), tracks.end(), [](const CdTrack& a, const CdTrack& b) { return a.number < b.number; });
    return std::move(tracks);
}

}  // namespace vestrel::chd
