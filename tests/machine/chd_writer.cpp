#include "chd_writer.hpp"

#include <FLAC/stream_encoder.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <queue>
#include <stdexcept>

namespace vestrel::test {
namespace {

// ---- small helpers ----

uint32_t tag_of(const std::string& s) {
    if (s.size() != 4) throw std::invalid_argument("codec tags have four letters");
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
           (uint32_t(uint8_t(s[2])) << 8) | uint32_t(uint8_t(s[3]));
}

void append_be(std::vector<uint8_t>& out, uint64_t value, size_t width) {
    for (size_t i = width; i-- > 0;) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t bit_width_of(uint64_t v) {
    uint32_t n = 0;
    while (v) {
        ++n;
        v >>= 1;
    }
    return n;
}

// MSB-first bit writer.
class BitWriter {
public:
    void put(uint32_t value, uint32_t bits) {
        for (uint32_t i = bits; i-- > 0;) {
            if (used_ == 0) bytes_.push_back(0);
            if ((value >> i) & 1) bytes_.back() |= static_cast<uint8_t>(0x80 >> used_);
            used_ = (used_ + 1) & 7;
        }
    }
    std::vector<uint8_t> take() { return std::move(bytes_); }

private:
    std::vector<uint8_t> bytes_;
    uint32_t used_ = 0;
};

// Huffman code lengths limited to `max_bits`: build a real Huffman tree, flattening the
// weights until it fits (a full tree, so the code stays complete).
std::vector<uint8_t> huffman_lengths(std::vector<uint64_t> freq, uint32_t max_bits) {
    const size_t n = freq.size();
    std::vector<uint8_t> lengths(n, 0);
    std::vector<size_t> used;
    for (size_t i = 0; i < n; ++i)
        if (freq[i]) used.push_back(i);
    if (used.empty()) return lengths;
    if (used.size() == 1) {
        lengths[used[0]] = 1;
        return lengths;
    }
    for (;;) {
        struct Node { uint64_t w; int left, right; };
        std::vector<Node> nodes;
        using Item = std::pair<uint64_t, int>;
        std::priority_queue<Item, std::vector<Item>, std::greater<>> heap;
        for (size_t s : used) {
            nodes.push_back({freq[s], -1, static_cast<int>(s)});
            heap.push({freq[s], static_cast<int>(nodes.size() - 1)});
        }
        while (heap.size() > 1) {
            auto [wa, a] = heap.top();
            heap.pop();
            auto [wb, b] = heap.top();
            heap.pop();
            nodes.push_back({wa + wb, a, b});
            heap.push({wa + wb, static_cast<int>(nodes.size() - 1)});
        }
        uint32_t deepest = 0;
        std::vector<std::pair<int, uint32_t>> stack{{heap.top().second, 0}};
        while (!stack.empty()) {
            auto [i, d] = stack.back();
            stack.pop_back();
            if (nodes[i].left < 0) {
                lengths[nodes[i].right] = static_cast<uint8_t>(d);
                deepest = std::max(deepest, d);
            } else {
                stack.push_back({nodes[i].left, d + 1});
                stack.push_back({nodes[i].right, d + 1});
            }
        }
        if (deepest <= max_bits) return lengths;
        for (size_t s : used) freq[s] = (freq[s] + 1) / 2;
    }
}

// Canonical codes, longest lengths first and numbered from zero.
std::vector<uint32_t> canonical_codes(const std::vector<uint8_t>& lengths) {
    std::vector<uint32_t> codes(lengths.size(), 0);
    uint32_t next = 0;
    for (uint32_t len = 32; len >= 1; --len) {
        for (size_t s = 0; s < lengths.size(); ++s)
            if (lengths[s] == len) codes[s] = next++;
        next >>= 1;
    }
    return codes;
}

// ---- GF(2^8) and CD parity, solved directly from the two check equations ----

struct Gf {
    uint8_t exp[512];
    uint8_t log[256];
    Gf() {
        uint32_t x = 1;
        for (int i = 0; i < 255; ++i) {
            exp[i] = static_cast<uint8_t>(x);
            log[x] = static_cast<uint8_t>(i);
            x <<= 1;
            if (x & 0x100) x ^= 0x11D;
        }
        for (int i = 255; i < 512; ++i) exp[i] = exp[i - 255];
        log[0] = 0;
    }
    uint8_t mul(uint8_t a, uint8_t b) const { return (a && b) ? exp[log[a] + log[b]] : 0; }
    uint8_t div(uint8_t a, uint8_t b) const { return a ? exp[(log[a] + 255 - log[b]) % 255] : 0; }
    uint8_t pow_alpha(uint32_t k) const { return exp[k % 255]; }
};
const Gf kGf;

constexpr size_t kPOffset = 0x81C;
constexpr size_t kQOffset = 0x8C8;
constexpr uint8_t kSync[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

// Positions (from byte 12) of P codeword `j` (24 data bytes) and Q codeword `j` (43 bytes).
size_t p_position(size_t j, size_t k) { return j + 86 * k; }
size_t q_position(size_t j, size_t k) { return ((j >> 1) * 86 + (j & 1) + 88 * k) % (52 * 43); }

// Computes both parity planes of a sector copy whose header is already as the parity sees it.
void compute_parity(uint8_t* s) {
    auto solve = [](uint8_t a, uint8_t b, uint8_t& p0, uint8_t& p1) {
        // p0 + p1 = A and alpha*p0 + p1 = B (the last two positions weigh alpha^1 and alpha^0).
        p0 = kGf.div(a ^ b, 3);
        p1 = a ^ p0;
    };
    for (size_t j = 0; j < 86; ++j) {
        uint8_t a = 0, b = 0;
        for (size_t k = 0; k < 24; ++k) {
            const uint8_t v = s[12 + p_position(j, k)];
            a ^= v;
            b ^= kGf.mul(v, kGf.pow_alpha(25 - k));
        }
        solve(a, b, s[kPOffset + j], s[kPOffset + 86 + j]);
    }
    for (size_t j = 0; j < 52; ++j) {
        uint8_t a = 0, b = 0;
        for (size_t k = 0; k < 43; ++k) {
            const uint8_t v = s[12 + q_position(j, k)];
            a ^= v;
            b ^= kGf.mul(v, kGf.pow_alpha(44 - k));
        }
        solve(a, b, s[kQOffset + j], s[kQOffset + 52 + j]);
    }
}

bool parity_matches(std::span<const uint8_t> sector) {
    std::array<uint8_t, kSectorBytes> copy{};
    std::copy(sector.begin(), sector.begin() + kSectorBytes, copy.begin());
    write_sector_ecc(copy);
    return std::equal(copy.begin() + kPOffset, copy.end(), sector.begin() + kPOffset);
}

uint32_t edc(std::span<const uint8_t> data) {
    uint32_t crc = 0;
    for (uint8_t byte : data) {
        crc ^= byte;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ ((crc & 1) ? 0xD8018001u : 0u);
    }
    return crc;
}

uint8_t bcd(uint32_t v) { return static_cast<uint8_t>(((v / 10) << 4) | (v % 10)); }

void write_header(uint8_t* s, uint32_t lba, uint8_t mode) {
    std::memcpy(s, kSync, 12);
    const uint32_t t = lba + 150;
    s[12] = bcd(t / 4500);
    s[13] = bcd((t / 75) % 60);
    s[14] = bcd(t % 75);
    s[15] = mode;
}

// ---- codecs ----

std::optional<std::vector<uint8_t>> deflate_raw(std::span<const uint8_t> in) {
    z_stream z{};
    if (deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return std::nullopt;
    std::vector<uint8_t> out(deflateBound(&z, in.size()) + 16);
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (rc != Z_STREAM_END) return std::nullopt;
    return out;
}

std::optional<std::vector<uint8_t>> lzma_raw(std::span<const uint8_t> in) {
    lzma_options_lzma opt{};
    if (lzma_lzma_preset(&opt, 8)) return std::nullopt;
    uint32_t dict = 1u << 31;
    const uint32_t want = std::max<uint32_t>(static_cast<uint32_t>(in.size()), 4096);
    for (uint32_t i = 11; i <= 30; ++i) {
        if (want <= (2u << i)) { dict = 2u << i; break; }
        if (want <= (3u << i)) { dict = 3u << i; break; }
    }
    opt.dict_size = dict;
    opt.lc = 3;
    opt.lp = 0;
    opt.pb = 2;
    opt.ext_flags = 0;  // no end marker: the reader knows the size
    const lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream s = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(&s, filters) != LZMA_OK) return std::nullopt;
    std::vector<uint8_t> out(in.size() + in.size() / 2 + 4096);
    s.next_in = in.data();
    s.avail_in = in.size();
    s.next_out = out.data();
    s.avail_out = out.size();
    lzma_ret rc;
    do {
        rc = lzma_code(&s, LZMA_FINISH);
    } while (rc == LZMA_OK && s.avail_out > 0);
    out.resize(s.total_out);
    lzma_end(&s);
    if (rc != LZMA_STREAM_END) return std::nullopt;
    return out;
}

std::optional<std::vector<uint8_t>> zstd_frame(std::span<const uint8_t> in) {
    std::vector<uint8_t> out(ZSTD_compressBound(in.size()));
    const size_t n = ZSTD_compress(out.data(), out.size(), in.data(), in.size(), 9);
    if (ZSTD_isError(n)) return std::nullopt;
    out.resize(n);
    return out;
}

std::optional<std::vector<uint8_t>> huff_encode(std::span<const uint8_t> in) {
    std::vector<uint64_t> freq(256, 0);
    for (uint8_t b : in) freq[b]++;
    const auto lengths = huffman_lengths(freq, 16);
    const auto codes = canonical_codes(lengths);

    // The lengths as literals (length + 1) and repeats of the previous length (symbol 0).
    struct Item { uint8_t sym; uint32_t count; };
    std::vector<Item> items;
    for (size_t i = 0; i < 256;) {
        size_t run = 1;
        while (i + run < 256 && lengths[i + run] == lengths[i]) ++run;
        items.push_back({static_cast<uint8_t>(lengths[i] + 1), 0});
        size_t rest = run - 1;
        while (rest > 0) {
            if (rest == 1) {
                items.push_back({static_cast<uint8_t>(lengths[i] + 1), 0});
                rest = 0;
            } else {
                const size_t c = std::min<size_t>(rest, 264);
                items.push_back({0, static_cast<uint32_t>(c)});
                rest -= c;
            }
        }
        i += run;
    }
    std::vector<uint64_t> small_freq(24, 0);
    for (const Item& it : items) small_freq[it.sym]++;
    const auto small = huffman_lengths(small_freq, 6);
    const auto small_codes = canonical_codes(small);

    BitWriter w;
    w.put(small[0], 3);
    size_t first = 1;
    while (first < 24 && small[first] == 0) ++first;
    size_t last = 23;
    while (last > 0 && small[last] == 0) --last;
    const size_t start = std::min<size_t>(first, 8);
    w.put(static_cast<uint32_t>(start - 1), 3);
    for (size_t i = start; i <= last; ++i) w.put(small[i], 3);
    if (last < 23) w.put(7, 3);
    for (const Item& it : items) {
        w.put(small_codes[it.sym], small[it.sym]);
        if (it.sym == 0) {
            if (it.count < 9) {
                w.put(it.count - 2, 3);
            } else {
                w.put(7, 3);
                w.put(it.count - 9, 8);
            }
        }
    }
    for (uint8_t b : in) w.put(codes[b], lengths[b]);
    return w.take();
}

struct FlacSink {
    std::vector<uint8_t> bytes;
};

FLAC__StreamEncoderWriteStatus flac_sink(const FLAC__StreamEncoder*, const FLAC__byte buffer[], size_t bytes,
                                         uint32_t samples, uint32_t, void* client) {
    // The stream marker and metadata come with no samples; the reader makes up its own.
    if (samples > 0) {
        auto& sink = *static_cast<FlacSink*>(client);
        sink.bytes.insert(sink.bytes.end(), buffer, buffer + bytes);
    }
    return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
}

// Stereo 16-bit FLAC frames of `in` read in the given byte order.
std::optional<std::vector<uint8_t>> flac_encode(std::span<const uint8_t> in, bool big_endian, uint32_t limit) {
    const size_t samples = in.size() / 4;
    uint32_t block = static_cast<uint32_t>(samples);
    while (block > limit) block /= 2;
    std::vector<FLAC__int32> pcm(samples * 2);
    for (size_t i = 0; i < samples * 2; ++i) {
        const uint8_t a = in[2 * i], b = in[2 * i + 1];
        pcm[i] = static_cast<int16_t>(big_endian ? (a << 8) | b : (b << 8) | a);
    }
    FLAC__StreamEncoder* enc = FLAC__stream_encoder_new();
    if (!enc) return std::nullopt;
    FlacSink sink;
    FLAC__stream_encoder_set_compression_level(enc, 5);
    FLAC__stream_encoder_set_channels(enc, 2);
    FLAC__stream_encoder_set_bits_per_sample(enc, 16);
    FLAC__stream_encoder_set_sample_rate(enc, 44100);
    FLAC__stream_encoder_set_blocksize(enc, block);
    FLAC__stream_encoder_set_total_samples_estimate(enc, samples);
    bool ok = FLAC__stream_encoder_init_stream(enc, &flac_sink, nullptr, nullptr, nullptr, &sink) ==
              FLAC__STREAM_ENCODER_INIT_STATUS_OK;
    ok = ok && FLAC__stream_encoder_process_interleaved(enc, pcm.data(), static_cast<uint32_t>(samples));
    ok = FLAC__stream_encoder_finish(enc) && ok;
    FLAC__stream_encoder_delete(enc);
    if (!ok) return std::nullopt;
    return sink.bytes;
}

std::optional<std::vector<uint8_t>> generic_codec(const std::string& name, std::span<const uint8_t> in,
                                                  char flac_order) {
    if (name == "zlib") return deflate_raw(in);
    if (name == "lzma") return lzma_raw(in);
    if (name == "zstd") return zstd_frame(in);
    if (name == "huff") return huff_encode(in);
    if (name == "flac") {
        if (in.size() % 4) return std::nullopt;
        std::optional<std::vector<uint8_t>> best;
        char best_order = 0;
        for (char order : {'L', 'B'}) {
            if (flac_order && flac_order != order) continue;
            auto r = flac_encode(in, order == 'B', 2048);
            if (r && (!best || r->size() < best->size())) {
                best = std::move(r);
                best_order = order;
            }
        }
        if (!best) return std::nullopt;
        best->insert(best->begin(), static_cast<uint8_t>(best_order));
        return best;
    }
    throw std::invalid_argument("unknown codec " + name);
}

std::optional<std::vector<uint8_t>> cd_codec(const std::string& name, std::span<const uint8_t> hunk,
                                             uint32_t& stripped) {
    const size_t frames = hunk.size() / kFrameBytes;
    std::vector<uint8_t> sectors(frames * kSectorBytes), sub(frames * 96);
    std::vector<uint8_t> bitmap((frames + 7) / 8, 0);
    uint32_t stripped_here = 0;
    for (size_t f = 0; f < frames; ++f) {
        uint8_t* s = sectors.data() + f * kSectorBytes;
        std::memcpy(s, hunk.data() + f * kFrameBytes, kSectorBytes);
        std::memcpy(sub.data() + f * 96, hunk.data() + f * kFrameBytes + kSectorBytes, 96);
        if (name != "cdfl" && std::memcmp(s, kSync, 12) == 0 && parity_matches({s, kSectorBytes})) {
            bitmap[f / 8] |= static_cast<uint8_t>(1u << (f % 8));
            std::memset(s, 0, 12);
            std::memset(s + kPOffset, 0, kSectorBytes - kPOffset);
            ++stripped_here;
        }
    }
    std::vector<uint8_t> out;
    if (name == "cdfl") {
        auto base = flac_encode(sectors, true, 2352);
        auto subs = deflate_raw(sub);
        if (!base || !subs) return std::nullopt;
        out = std::move(*base);
        out.insert(out.end(), subs->begin(), subs->end());
        return out;
    }
    std::optional<std::vector<uint8_t>> base, subs;
    if (name == "cdzl") base = deflate_raw(sectors), subs = deflate_raw(sub);
    else if (name == "cdlz") base = lzma_raw(sectors), subs = deflate_raw(sub);
    else if (name == "cdzs") base = zstd_frame(sectors), subs = zstd_frame(sub);
    else throw std::invalid_argument("unknown codec " + name);
    if (!base || !subs) return std::nullopt;
    const size_t length_bytes = hunk.size() < 65536 ? 2 : 3;
    if (base->size() >= (size_t{1} << (8 * length_bytes))) return std::nullopt;
    out = bitmap;
    append_be(out, base->size(), length_bytes);
    out.insert(out.end(), base->begin(), base->end());
    out.insert(out.end(), subs->begin(), subs->end());
    stripped += stripped_here;
    return out;
}

bool is_cd(const std::string& name) { return name.size() == 4 && name.starts_with("cd"); }

// The data of a one-track CD metadata entry covering the whole image.
std::vector<uint8_t> track_metadata(const ChdWriterOptions& opt, uint64_t logical_bytes) {
    const uint64_t frames = logical_bytes / opt.unit_bytes;
    std::vector<uint8_t> data;
    if (opt.track_tag == "CHCD") {
        // Track count, then 99 records of six u32: type (6 = MODE2_RAW), subcode type (2 = none),
        // data bytes, subcode bytes, frames, and the padding frames up to the end of the hunk.
        const uint64_t hunks = (logical_bytes + opt.hunk_bytes - 1) / opt.hunk_bytes;
        const uint64_t stored = hunks * opt.hunk_bytes / opt.unit_bytes;
        const uint32_t first[6] = {6, 2, 2352, 0, static_cast<uint32_t>(frames), static_cast<uint32_t>(stored - frames)};
        auto put32 = [&](uint32_t v) {
            for (int i = 0; i < 4; ++i) {
                const int shift = opt.track_table_little_endian ? 8 * i : 24 - 8 * i;
                data.push_back(static_cast<uint8_t>(v >> shift));
            }
        };
        put32(1);
        for (int t = 0; t < 99; ++t)
            for (int k = 0; k < 6; ++k) put32(t == 0 ? first[k] : 0);
        return data;
    }
    std::string text = "TRACK:1 TYPE:MODE2_RAW SUBTYPE:NONE FRAMES:" + std::to_string(frames);
    if (opt.track_tag == "CHT2") text += " PREGAP:0 PGTYPE:MODE2_RAW PGSUB:NONE POSTGAP:0";
    else if (opt.track_tag != "CHTR") throw std::invalid_argument("unknown track tag " + opt.track_tag);
    data.assign(text.begin(), text.end());
    data.push_back(0);
    return data;
}

// Entry: be32 tag, flags (bit 0: part of the overall hash), be24 length, be64 next, data.
std::vector<uint8_t> metadata_entry(const std::string& tag, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> e;
    append_be(e, tag_of(tag), 4);
    e.push_back(0x01);
    append_be(e, data.size(), 3);
    append_be(e, 0, 8);
    e.insert(e.end(), data.begin(), data.end());
    return e;
}

// SHA-1 of the raw SHA-1 followed by the tag and data hash of each hashed metadata entry.
std::array<uint8_t, 20> overall_sha1(const std::array<uint8_t, 20>& raw, const ChdWriterOptions& opt,
                                     const std::vector<uint8_t>& meta_data) {
    std::vector<uint8_t> input(raw.begin(), raw.end());
    if (opt.cd_metadata) {
        append_be(input, tag_of(opt.track_tag), 4);
        const auto h = sha1(meta_data);
        input.insert(input.end(), h.begin(), h.end());
    }
    return sha1(input);
}

// Versions 3 and 4: header, one 16-byte entry per hunk, the end-of-map cookie, the metadata,
// then the hunks in order.
std::vector<uint8_t> write_legacy_chd(std::span<const uint8_t> data, const ChdWriterOptions& opt,
                                      ChdWriterStats& st) {
    const uint32_t hb = opt.hunk_bytes;
    uint32_t compression = 0;
    if (opt.codecs.size() == 1 && opt.codecs[0] == "zlib") compression = 1;
    else if (opt.codecs.size() == 1 && opt.codecs[0] == "zlib+") compression = 2;
    else if (!opt.codecs.empty()) throw std::invalid_argument("versions 3 and 4 store zlib or nothing");
    const bool v3 = opt.version == 3;
    const size_t header_bytes = v3 ? chd_layout::kV3HeaderBytes : chd_layout::kV4HeaderBytes;
    const uint64_t logical = data.size();
    const uint32_t hunks = static_cast<uint32_t>((logical + hb - 1) / hb);

    std::vector<uint8_t> file(header_bytes, 0);
    std::memcpy(file.data(), "MComprHD", 8);
    put_be(file, 8, 4, header_bytes);
    put_be(file, chd_layout::kVersion, 4, opt.version);
    put_be(file, chd_layout::kLegacyCompression, 4, compression);
    put_be(file, chd_layout::kLegacyTotalHunks, 4, hunks);
    put_be(file, chd_layout::kLegacyLogicalBytes, 8, logical);
    put_be(file, v3 ? chd_layout::kV3HunkBytes : chd_layout::kV4HunkBytes, 4, hb);

    const size_t map_at = file.size();
    file.resize(map_at + chd_layout::kLegacyEntryBytes * hunks, 0);
    const char cookie[16] = "EndOfListCookie";
    file.insert(file.end(), cookie, cookie + 16);

    std::vector<uint8_t> meta_data;
    if (opt.cd_metadata) {
        meta_data = track_metadata(opt, logical);
        put_be(file, chd_layout::kLegacyMetaOffset, 8, file.size());
        const auto entry = metadata_entry(opt.track_tag, meta_data);
        file.insert(file.end(), entry.begin(), entry.end());
    }

    std::map<std::vector<uint8_t>, uint32_t> seen;
    for (uint32_t i = 0; i < hunks; ++i) {
        std::vector<uint8_t> h(hb, 0);
        const uint64_t off = uint64_t{i} * hb;
        std::copy_n(data.begin() + off, std::min<uint64_t>(hb, logical - off), h.begin());
        uint8_t type;
        uint64_t offset;
        uint32_t length = 0;
        bool mini = true;
        for (size_t k = 8; k < hb && mini; ++k) mini = h[k] == h[k % 8];
        auto [it, fresh] = seen.emplace(h, i);
        if (mini && hb >= 8) {
            type = 3;  // the pattern sits in the offset field
            offset = get_be(h, 0, 8);
            ++st.mini_hunks;
        } else if (opt.self_references && !fresh) {
            type = 4;
            offset = it->second;
            ++st.self_hunks;
        } else {
            auto packed = compression ? deflate_raw(h) : std::nullopt;
            offset = file.size();
            if (packed && packed->size() < hb) {
                type = 1;
                length = static_cast<uint32_t>(packed->size());
                file.insert(file.end(), packed->begin(), packed->end());
                ++st.codec_hunks[0];
            } else {
                type = 2;
                length = hb;
                file.insert(file.end(), h.begin(), h.end());
                ++st.none_hunks;
            }
        }
        const size_t e = map_at + chd_layout::kLegacyEntryBytes * i;
        put_be(file, e, 8, offset);
        put_be(file, e + chd_layout::kLegacyEntryCrc, 4, crc32_bitwise(h));
        put_be(file, e + chd_layout::kLegacyEntryLength, 2, length & 0xFFFF);
        file[e + chd_layout::kLegacyEntryLength + 2] = static_cast<uint8_t>(length >> 16);
        file[e + chd_layout::kLegacyEntryFlags] = type;
    }

    const auto raw = sha1(data);
    if (v3) {
        const auto m = md5(data);
        std::copy(m.begin(), m.end(), file.begin() + chd_layout::kV3Md5);
        std::copy(raw.begin(), raw.end(), file.begin() + chd_layout::kV3Sha1);
    } else {
        const auto overall = overall_sha1(raw, opt, meta_data);
        std::copy(raw.begin(), raw.end(), file.begin() + chd_layout::kV4RawSha1);
        std::copy(overall.begin(), overall.end(), file.begin() + chd_layout::kV4Sha1);
    }
    return file;
}

}  // namespace

uint64_t get_be(std::span<const uint8_t> bytes, size_t offset, size_t width) {
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) v = (v << 8) | bytes[offset + i];
    return v;
}

void put_be(std::span<uint8_t> bytes, size_t offset, size_t width, uint64_t value) {
    for (size_t i = 0; i < width; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
}

uint16_t crc16_bitwise(std::span<const uint8_t> data) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : data) {
        for (int i = 7; i >= 0; --i) {
            const bool top = ((crc >> 15) ^ (b >> i)) & 1;
            crc = static_cast<uint16_t>(crc << 1);
            if (top) crc ^= 0x1021;
        }
    }
    return crc;
}

uint32_t crc32_bitwise(std::span<const uint8_t> data) {
    uint32_t crc = 0xFFFFFFFF;
    for (uint8_t b : data) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0u);
    }
    return ~crc;
}

std::array<uint8_t, 16> md5(std::span<const uint8_t> data) {
    static const uint32_t kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                        5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                        4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                        6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
    uint32_t k[64];
    for (int i = 0; i < 64; ++i) k[i] = static_cast<uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
    uint32_t h[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};
    std::vector<uint8_t> msg(data.begin(), data.end());
    const uint64_t bits = uint64_t{data.size()} * 8;
    msg.push_back(0x80);
    while (msg.size() % 64 != 56) msg.push_back(0);
    for (int i = 0; i < 8; ++i) msg.push_back(static_cast<uint8_t>(bits >> (8 * i)));  // little-endian
    auto rol = [](uint32_t x, uint32_t n) { return (x << n) | (x >> (32 - n)); };
    for (size_t off = 0; off < msg.size(); off += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; ++i)
            w[i] = uint32_t{msg[off + 4 * i]} | (uint32_t{msg[off + 4 * i + 1]} << 8) |
                   (uint32_t{msg[off + 4 * i + 2]} << 16) | (uint32_t{msg[off + 4 * i + 3]} << 24);
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
        for (int i = 0; i < 64; ++i) {
            uint32_t f, g;
            if (i < 16) f = (b & c) | (~b & d), g = i;
            else if (i < 32) f = (d & b) | (~d & c), g = (5 * i + 1) % 16;
            else if (i < 48) f = b ^ c ^ d, g = (3 * i + 5) % 16;
            else f = c ^ (b | ~d), g = (7 * i) % 16;
            const uint32_t t = d;
            d = c;
            c = b;
            b = b + rol(a + f + k[i] + w[g], kShift[i]);
            a = t;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d;
    }
    std::array<uint8_t, 16> out{};
    for (int i = 0; i < 16; ++i) out[i] = static_cast<uint8_t>(h[i / 4] >> (8 * (i % 4)));
    return out;
}

std::array<uint8_t, 20> sha1(std::span<const uint8_t> data) {
    uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::vector<uint8_t> msg(data.begin(), data.end());
    const uint64_t bits = uint64_t{data.size()} * 8;
    msg.push_back(0x80);
    while (msg.size() % 64 != 56) msg.push_back(0);
    append_be(msg, bits, 8);
    auto rol = [](uint32_t x, int n) { return (x << n) | (x >> (32 - n)); };
    for (size_t off = 0; off < msg.size(); off += 64) {
        uint32_t w[80];
        for (int i = 0; i < 16; ++i) w[i] = static_cast<uint32_t>(get_be(msg, off + 4 * i, 4));
        for (int i = 16; i < 80; ++i) w[i] = rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int i = 0; i < 80; ++i) {
            uint32_t f, k;
            if (i < 20) f = (b & c) | (~b & d), k = 0x5A827999;
            else if (i < 40) f = b ^ c ^ d, k = 0x6ED9EBA1;
            else if (i < 60) f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
            else f = b ^ c ^ d, k = 0xCA62C1D6;
            const uint32_t t = rol(a, 5) + f + e + k + w[i];
            e = d, d = c, c = rol(b, 30), b = a, a = t;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
    }
    std::array<uint8_t, 20> out{};
    for (int i = 0; i < 5; ++i) put_be(out, 4 * i, 4, h[i]);
    return out;
}

void write_sector_ecc(std::span<uint8_t, kSectorBytes> sector) {
    uint8_t copy[kSectorBytes];
    std::memcpy(copy, sector.data(), kSectorBytes);
    if (copy[15] == 2) std::memset(copy + 12, 0, 4);
    compute_parity(copy);
    std::memcpy(sector.data() + kPOffset, copy + kPOffset, kSectorBytes - kPOffset);
}

bool sector_ecc_syndromes_zero(std::span<const uint8_t, kSectorBytes> sector) {
    uint8_t s[kSectorBytes];
    std::memcpy(s, sector.data(), kSectorBytes);
    if (s[15] == 2) std::memset(s + 12, 0, 4);
    // Each codeword v_0..v_{n-1} (data then the two check bytes) must satisfy
    // sum v_i = 0 and sum alpha^(n-1-i) v_i = 0.
    auto check = [&](size_t n, auto&& byte_at) {
        uint8_t s0 = 0, s1 = 0;
        for (size_t i = 0; i < n; ++i) {
            const uint8_t v = byte_at(i);
            s0 ^= v;
            s1 ^= kGf.mul(v, kGf.pow_alpha(static_cast<uint32_t>(n - 1 - i)));
        }
        return s0 == 0 && s1 == 0;
    };
    for (size_t j = 0; j < 86; ++j) {
        if (!check(26, [&](size_t i) {
                return i < 24 ? s[12 + j + 86 * i] : s[kPOffset + j + 86 * (i - 24)];
            }))
            return false;
    }
    for (size_t j = 0; j < 52; ++j) {
        if (!check(45, [&](size_t i) {
                return i < 43 ? s[12 + ((j >> 1) * 86 + (j & 1) + 88 * i) % 2236] : s[kQOffset + j + 52 * (i - 43)];
            }))
            return false;
    }
    return true;
}

std::array<uint8_t, kSectorBytes> make_form1_sector(uint32_t lba, std::span<const uint8_t> data, uint8_t file,
                                                    uint8_t channel, uint8_t submode) {
    std::array<uint8_t, kSectorBytes> s{};
    write_header(s.data(), lba, 2);
    const uint8_t sub[4] = {file, channel, submode, 0};
    std::memcpy(s.data() + 16, sub, 4);
    std::memcpy(s.data() + 20, sub, 4);
    std::memcpy(s.data() + 24, data.data(), std::min<size_t>(data.size(), 2048));
    const uint32_t e = edc({s.data() + 16, 2056});
    for (int i = 0; i < 4; ++i) s[2072 + i] = static_cast<uint8_t>(e >> (8 * i));
    write_sector_ecc(s);
    return s;
}

std::array<uint8_t, kSectorBytes> make_form2_sector(uint32_t lba, std::span<const uint8_t> data, uint8_t submode) {
    std::array<uint8_t, kSectorBytes> s{};
    write_header(s.data(), lba, 2);
    const uint8_t sub[4] = {1, 1, static_cast<uint8_t>(submode | 0x20), 0};
    std::memcpy(s.data() + 16, sub, 4);
    std::memcpy(s.data() + 20, sub, 4);
    std::memcpy(s.data() + 24, data.data(), std::min<size_t>(data.size(), 2324));
    const uint32_t e = edc({s.data() + 16, 2332});
    for (int i = 0; i < 4; ++i) s[2348 + i] = static_cast<uint8_t>(e >> (8 * i));
    return s;
}

std::vector<uint8_t> write_chd(std::span<const uint8_t> data, const ChdWriterOptions& opt, ChdWriterStats* stats) {
    ChdWriterStats local;
    ChdWriterStats& st = stats ? *stats : local;
    st = {};
    const uint32_t hb = opt.hunk_bytes;
    if (hb == 0 || opt.codecs.size() > 4) throw std::invalid_argument("bad writer options");
    if (opt.version == 3 || opt.version == 4) return write_legacy_chd(data, opt, st);
    if (opt.version != 5) throw std::invalid_argument("the writer makes versions 3, 4 and 5");
    const uint64_t logical = data.size();
    const uint32_t hunks = static_cast<uint32_t>((logical + hb - 1) / hb);
    auto hunk_data = [&](uint32_t i) {
        std::vector<uint8_t> h(hb, 0);
        const uint64_t off = uint64_t{i} * hb;
        std::copy_n(data.begin() + off, std::min<uint64_t>(hb, logical - off), h.begin());
        return h;
    };

    std::vector<uint8_t> file(124, 0);
    std::memcpy(file.data(), "MComprHD", 8);
    put_be(file, 8, 4, 124);
    put_be(file, chd_layout::kVersion, 4, 5);
    for (size_t i = 0; i < opt.codecs.size(); ++i) put_be(file, chd_layout::kCompressors + 4 * i, 4, tag_of(opt.codecs[i]));
    put_be(file, chd_layout::kLogicalBytes, 8, logical);
    put_be(file, chd_layout::kHunkBytes, 4, hb);
    put_be(file, chd_layout::kUnitBytes, 4, opt.unit_bytes);

    std::vector<uint8_t> meta_data;
    auto add_metadata = [&] {
        if (!opt.cd_metadata) return;
        put_be(file, 48, 8, file.size());
        meta_data = track_metadata(opt, logical);
        const auto entry = metadata_entry(opt.track_tag, meta_data);
        file.insert(file.end(), entry.begin(), entry.end());
    };

    if (opt.codecs.empty()) {
        // Uncompressed: a be32 slot number per hunk, the data hunk-aligned behind the map.
        const size_t map_at = file.size();
        file.resize(map_at + 4 * size_t{hunks}, 0);
        put_be(file, chd_layout::kMapOffset, 8, map_at);
        file.resize((file.size() + hb - 1) / hb * hb, 0);
        for (uint32_t i = 0; i < hunks; ++i) {
            const auto h = hunk_data(i);
            if (std::all_of(h.begin(), h.end(), [](uint8_t b) { return b == 0; })) continue;
            put_be(file, map_at + 4 * size_t{i}, 4, file.size() / hb);
            file.insert(file.end(), h.begin(), h.end());
            ++st.none_hunks;
        }
        add_metadata();
    } else {
        add_metadata();
        const uint64_t first_offset = file.size();
        struct Entry { uint8_t type; uint32_t length; uint64_t offset; uint16_t crc; uint64_t self; };
        std::vector<Entry> entries(hunks);
        std::map<std::vector<uint8_t>, uint32_t> seen;
        uint64_t cur = first_offset;
        for (uint32_t i = 0; i < hunks; ++i) {
            const auto h = hunk_data(i);
            Entry& e = entries[i];
            if (opt.self_references) {
                auto [it, fresh] = seen.emplace(h, i);
                if (!fresh) {
                    e = {5, 0, it->second, 0, it->second};
                    ++st.self_hunks;
                    continue;
                }
            }
            e.crc = crc16_bitwise(h);
            std::optional<std::vector<uint8_t>> best;
            int best_slot = -1;
            uint32_t best_stripped = 0;
            for (size_t s = 0; s < opt.codecs.size(); ++s) {
                uint32_t stripped = 0;
                auto r = is_cd(opt.codecs[s]) ? cd_codec(opt.codecs[s], h, stripped)
                                              : generic_codec(opt.codecs[s], h, opt.flac_order);
                if (r && r->size() < hb && (!best || r->size() < best->size())) {
                    best = std::move(r);
                    best_slot = static_cast<int>(s);
                    best_stripped = stripped;
                }
            }
            if (best) {
                e.type = static_cast<uint8_t>(best_slot);
                e.length = static_cast<uint32_t>(best->size());
                file.insert(file.end(), best->begin(), best->end());
                ++st.codec_hunks[best_slot];
                st.stripped_frames += best_stripped;
            } else {
                e.type = 4;
                e.length = hb;
                file.insert(file.end(), h.begin(), h.end());
                ++st.none_hunks;
            }
            e.offset = cur;
            cur += e.length;
        }

        // Tokens with the compact self forms, then run-length coded.
        std::vector<uint8_t> tokens(hunks);
        uint64_t last_self = 0, max_self = 0;
        uint32_t max_length = hb;
        for (uint32_t i = 0; i < hunks; ++i) {
            Entry& e = entries[i];
            tokens[i] = e.type;
            if (e.type == 5) {
                if (e.self == last_self) {
                    tokens[i] = 9;
                } else if (e.self == last_self + 1) {
                    tokens[i] = 10;
                    last_self = e.self;
                } else {
                    last_self = e.self;
                    max_self = std::max(max_self, e.self);
                    ++st.self_explicit;
                }
            } else if (e.type < 4) {
                max_length = std::max(max_length, e.length);
            }
        }
        std::vector<uint8_t> symbols;
        for (uint32_t i = 0; i < hunks;) {
            uint32_t run = 1;
            while (i + run < hunks && tokens[i + run] == tokens[i]) ++run;
            symbols.push_back(tokens[i]);
            uint32_t rest = run - 1;
            while (rest > 0) {
                if (rest < 3) {
                    symbols.insert(symbols.end(), rest, tokens[i]);
                    rest = 0;
                } else if (rest <= 18) {
                    symbols.push_back(7);
                    symbols.push_back(static_cast<uint8_t>(rest - 3));
                    ++st.rle_tokens;
                    rest = 0;
                } else {
                    const uint32_t c = std::min<uint32_t>(rest, 274);
                    symbols.push_back(8);
                    symbols.push_back(static_cast<uint8_t>((c - 19) >> 4));
                    symbols.push_back(static_cast<uint8_t>((c - 19) & 15));
                    ++st.rle_tokens;
                    rest -= c;
                }
            }
            i += run;
        }
        std::vector<uint64_t> freq(16, 0);
        for (uint8_t s : symbols) freq[s]++;
        const auto lengths = huffman_lengths(freq, 8);
        const auto codes = canonical_codes(lengths);

        BitWriter w;
        for (size_t s = 0; s < 16;) {
            size_t run = 1;
            while (s + run < 16 && lengths[s + run] == lengths[s]) ++run;
            if (lengths[s] == 1) {
                for (size_t k = 0; k < run; ++k) w.put(1, 4), w.put(1, 4);
            } else if (run >= 3) {
                const size_t c = std::min<size_t>(run, 18);
                w.put(1, 4);
                w.put(lengths[s], 4);
                w.put(static_cast<uint32_t>(c - 3), 4);
                run = c;
            } else {
                for (size_t k = 0; k < run; ++k) w.put(lengths[s], 4);
            }
            s += run;
        }
        for (uint8_t s : symbols) w.put(codes[s], lengths[s]);
        const uint32_t length_bits = bit_width_of(max_length);
        const uint32_t self_bits = bit_width_of(max_self);
        for (uint32_t i = 0; i < hunks; ++i) {
            const Entry& e = entries[i];
            if (e.type < 4) w.put(e.length, length_bits), w.put(e.crc, 16);
            else if (e.type == 4) w.put(e.crc, 16);
            else if (tokens[i] == 5) w.put(static_cast<uint32_t>(e.self), self_bits);
        }
        const auto stream = w.take();

        std::vector<uint8_t> expanded;
        for (const Entry& e : entries) {
            expanded.push_back(e.type);
            append_be(expanded, e.type == 5 ? 0 : e.length, 3);
            append_be(expanded, e.type == 5 ? e.self : e.offset, 6);
            append_be(expanded, e.type == 5 ? 0 : e.crc, 2);
        }
        put_be(file, chd_layout::kMapOffset, 8, file.size());
        append_be(file, stream.size(), 4);
        append_be(file, first_offset, 6);
        append_be(file, crc16_bitwise(expanded), 2);
        file.push_back(static_cast<uint8_t>(length_bits));
        file.push_back(static_cast<uint8_t>(self_bits));
        file.push_back(0);
        file.push_back(0);
        file.insert(file.end(), stream.begin(), stream.end());
    }

    const auto raw = sha1(data);
    const auto overall = overall_sha1(raw, opt, meta_data);
    std::copy(raw.begin(), raw.end(), file.begin() + chd_layout::kRawSha1);
    std::copy(overall.begin(), overall.end(), file.begin() + chd_layout::kSha1);
    return file;
}

}  // namespace vestrel::test
