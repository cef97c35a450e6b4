#include "vector_file.hpp"

#include <cstring>
#include <fstream>
#include <iterator>

namespace m68k::vectors {
namespace {

constexpr uint32_t kFileMagic = 0x1A3F5D71;
constexpr uint32_t kTestMagic = 0xABC12367;
constexpr uint32_t kNameMagic = 0x89ABCDEF;
constexpr uint32_t kStateMagic = 0x01234567;
constexpr uint32_t kTxMagic = 0x456789AB;

class Cursor {
public:
    explicit Cursor(const std::vector<uint8_t>& buf) : buf_(buf) {}
    bool u8(uint8_t& v) {
        if (pos_ + 1 > buf_.size()) return false;
        v = buf_[pos_++];
        return true;
    }
    bool u16(uint16_t& v) {
        if (pos_ + 2 > buf_.size()) return false;
        v = static_cast<uint16_t>(buf_[pos_] | (buf_[pos_ + 1] << 8));
        pos_ += 2;
        return true;
    }
    bool u32(uint32_t& v) {
        if (pos_ + 4 > buf_.size()) return false;
        v = static_cast<uint32_t>(buf_[pos_]) | (static_cast<uint32_t>(buf_[pos_ + 1]) << 8) |
            (static_cast<uint32_t>(buf_[pos_ + 2]) << 16) | (static_cast<uint32_t>(buf_[pos_ + 3]) << 24);
        pos_ += 4;
        return true;
    }
    bool bytes(std::string& s, uint32_t n) {
        if (n > buf_.size() - pos_) return false;
        s.assign(reinterpret_cast<const char*>(buf_.data() + pos_), n);
        pos_ += n;
        return true;
    }
    size_t pos() const { return pos_; }
    size_t size() const { return buf_.size(); }

private:
    const std::vector<uint8_t>& buf_;
    size_t pos_ = 0;
};

// Reads a block header and checks its magic; `end` is where the block must finish.
bool block(Cursor& c, uint32_t magic, size_t& end) {
    const size_t start = c.pos();
    uint32_t size, m;
    if (!c.u32(size) || !c.u32(m) || m != magic || size < 8 || size > c.size() - start) return false;
    end = start + size;
    return true;
}

bool read_state(Cursor& c, VectorState& s) {
    size_t end;
    if (!block(c, kStateMagic, end)) return false;
    uint32_t regs[19];
    for (auto& r : regs) {
        if (!c.u32(r)) return false;
    }
    for (int i = 0; i < 8; ++i) s.d[i] = regs[i];
    for (int i = 0; i < 7; ++i) s.a[i] = regs[8 + i];
    s.usp = regs[15];
    s.ssp = regs[16];
    s.sr = regs[17];
    s.pc = regs[18];
    if (!c.u32(s.prefetch[0]) || !c.u32(s.prefetch[1])) return false;
    uint32_t n;
    if (!c.u32(n) || n > (c.size() - c.pos()) / 6) return false;
    s.ram.resize(n);
    for (auto& w : s.ram) {
        if (!c.u32(w.address) || !c.u16(w.value)) return false;
        if ((w.address & 1) || w.address >= (1u << 24)) return false;
    }
    return c.pos() == end;
}

bool read_test(Cursor& c, VectorTest& t) {
    size_t test_end;
    if (!block(c, kTestMagic, test_end)) return false;
    size_t name_end;
    uint32_t len;
    if (!block(c, kNameMagic, name_end) || !c.u32(len) || !c.bytes(t.name, len) || c.pos() != name_end) {
        return false;
    }
    if (!read_state(c, t.initial) || !read_state(c, t.final_state)) return false;
    size_t tx_end;
    uint32_t count;
    if (!block(c, kTxMagic, tx_end) || !c.u32(t.cycles) || !c.u32(count)) return false;
    if (count > (c.size() - c.pos()) / 5) return false;
    t.transactions.resize(count);
    for (auto& x : t.transactions) {
        uint8_t kind;
        if (!c.u8(kind) || kind > 5 || !c.u32(x.cycles)) return false;
        x.kind = static_cast<TxKind>(kind);
        if (kind != 0) {
            if (!c.u32(x.fc) || !c.u32(x.address) || !c.u32(x.data) || !c.u32(x.uds) || !c.u32(x.lds)) {
                return false;
            }
        }
    }
    return c.pos() == tx_end && c.pos() == test_end;
}

}  // namespace

std::expected<std::vector<VectorTest>, std::string> read_vector_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::unexpected("cannot open " + path);
    std::vector<uint8_t> buf((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Cursor c(buf);
    uint32_t magic, count;
    if (!c.u32(magic) || magic != kFileMagic || !c.u32(count)) return std::unexpected(path + ": not a test-vector file");
    std::vector<VectorTest> tests;
    tests.reserve(count < 100000 ? count : 0);
    for (uint32_t i = 0; i < count; ++i) {
        VectorTest t;
        const size_t at = c.pos();
        if (!read_test(c, t)) {
            return std::unexpected(path + ": test " + std::to_string(i) + " is corrupt (block at byte " +
                                   std::to_string(at) + ")");
        }
        tests.push_back(std::move(t));
    }
    if (c.pos() != c.size()) return std::unexpected(path + ": trailing bytes after the last test");
    return tests;
}

}  // namespace m68k::vectors
