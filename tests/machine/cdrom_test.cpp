#include "machine/cdrom.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/log.hpp"
#include "../support/log_capture.hpp"
#include "machine/bus.hpp"
#include "machine/cue_sheet.hpp"

namespace vestrel {
namespace {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/vestrel_cdrom_XXXXXX";
        path_ = ::mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }
    fs::path write(const std::string& name, const std::string& bytes) const {
        const fs::path p = path_ / name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }

private:
    fs::path path_;
};

// `sectors` raw sectors whose every byte names its sector (`tag` + lba) and position.
std::string raw_sectors(uint32_t sectors, char tag) {
    std::string s(size_t{sectors} * kCdSectorBytes, '\0');
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<char>(i % 2 ? tag + i / kCdSectorBytes : (i / 2) & 0x7F);
    return s;
}

TEST(DiscImageOpen, ExtensionsChooseTheFormat) {
    LogCapture log;
    TempDir dir;
    const std::string four_k(4 * 2048, 'i');  // 4 ISO sectors or 3 raw ones
    struct Case {
        const char* name;
        DiscImage::Kind kind;
        uint64_t sector_size;
        uint32_t sectors;
    };
    const Case cases[] = {
        {"game.iso", DiscImage::Kind::Raw, 2048, 4},  {"GAME.ISO", DiscImage::Kind::Raw, 2048, 4},
        {"game.Iso", DiscImage::Kind::Raw, 2048, 4},  {"game.bin", DiscImage::Kind::Raw, 2352, 3},
        {"game.IMG", DiscImage::Kind::Raw, 2352, 3},  {"game", DiscImage::Kind::Raw, 2352, 3},
        {".iso", DiscImage::Kind::Raw, 2352, 3},      {"game.iso.bin", DiscImage::Kind::Raw, 2352, 3},
        {"game.bin.iso", DiscImage::Kind::Raw, 2048, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto disc = open_disc_image(dir.write(c.name, four_k));
        ASSERT_TRUE(disc) << disc.error().message;
        EXPECT_EQ(disc->kind(), c.kind);
        EXPECT_EQ(disc->sector_size(), c.sector_size);
        EXPECT_EQ(disc->total_sectors(), c.sectors);
    }
    EXPECT_TRUE(log.has_line_ending(fmt::format("Opened raw disc image: {}, sector_size=2048, total_sectors=4",
                                                (dir.path() / "GAME.ISO").string())));

    // Upper- and mixed-case CHD and CUE extensions reach their readers (a bad CHD says so).
    for (const char* name : {"x.CHD", "x.Chd"}) {
        auto disc = open_disc_image(dir.write(name, "not a chd at all"));
        ASSERT_FALSE(disc);
        EXPECT_EQ(disc.error().message, "not a CHD file");
    }
    dir.write("track.bin", raw_sectors(2, 'a'));
    auto cue = open_disc_image(dir.write("x.CuE", "FILE \"track.bin\" BINARY\n"));
    ASSERT_TRUE(cue);
    EXPECT_EQ(cue->image_path(), dir.path() / "track.bin");
}

TEST(DiscImageOpen, CueSheetForms) {
    TempDir dir;
    dir.write("track.bin", raw_sectors(3, 'a'));
    dir.write("other.bin", raw_sectors(5, 'b'));
    dir.write("data.iso", std::string(2048 * 7, 'd'));
    dir.write("My Disc.bin", raw_sectors(2, 'c'));
    TempDir elsewhere;
    const fs::path absolute = elsewhere.write("far.bin", raw_sectors(4, 'f'));
    const std::string bom = "\xEF\xBB\xBF";

    constexpr const char* kNoFile = "the CUE sheet has no FILE line with a quoted file name";
    struct Case {
        const char* name;
        std::string sheet;
        std::string expect_file;  // empty: the sheet is refused with `error`
        uint32_t sectors;
        const char* error = kNoFile;
    };
    const std::vector<Case> cases = {
        {"plain", "FILE \"track.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n", "track.bin", 3},
        {"unquoted then quoted", "FILE other.bin BINARY\nFILE \"track.bin\" BINARY\n", "track.bin", 3},
        {"first usable wins", "FILE \"other.bin\" BINARY\nFILE \"track.bin\" BINARY\n", "other.bin", 5},
        {"indented with blanks and tabs", "REM x\n \t FILE \"other.bin\" BINARY\n", "other.bin", 5},
        {"indented with no-break spaces", "\xC2\xA0\xE3\x80\x80" "FILE \"other.bin\" BINARY\xE2\x80\xA8\n", "other.bin", 5},
        {"CRLF line ends", "REM x\r\nFILE \"other.bin\" BINARY\r\n", "other.bin", 5},
        {"spaces inside the name", "FILE \"My Disc.bin\" BINARY\n", "My Disc.bin", 2},
        {"names an ISO", "FILE \"data.iso\" BINARY\n", "data.iso", 7},
        {"absolute path", "FILE \"" + absolute.string() + "\" BINARY\n", absolute.string(), 4},
        {"lower-case keyword", "file \"track.bin\" BINARY\n", "", 0},
        {"two spaces after FILE", "FILE  \"track.bin\" BINARY\n", "track.bin", 3},
        {"tab after FILE", "FILE\t\"track.bin\" BINARY\n", "", 0},
        {"one quote only", "FILE \"track.bin BINARY\n", "", 0},
        {"no FILE line", "TRACK 01 MODE2/2352\nINDEX 01 00:00:00\n", "", 0},
        {"invalid UTF-8", "REM \xFF\xFE\nFILE \"track.bin\" BINARY\n", "", 0,
         "not a CUE sheet: the file is not UTF-8 text"},
        {"byte order mark before FILE", bom + "FILE \"track.bin\" BINARY\n", "track.bin", 3},
        {"BOM line then FILE", bom + "REM x\nFILE \"track.bin\" BINARY\n", "track.bin", 3},
        {"BOM only", bom, "", 0},
        {"a second BOM is text", bom + bom + "FILE \"track.bin\" BINARY\n", "", 0},
        {"empty sheet", "", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path sheet = dir.write("disc.cue", c.sheet);
        auto disc = open_disc_image(sheet);
        if (c.expect_file.empty()) {
            ASSERT_FALSE(disc);
            EXPECT_EQ(disc.error().message, c.error);
            continue;
        }
        ASSERT_TRUE(disc) << disc.error().message;
        EXPECT_EQ(disc->path(), sheet);
        EXPECT_EQ(disc->image_path(), fs::path(c.expect_file).is_absolute() ? fs::path(c.expect_file)
                                                                             : dir.path() / c.expect_file);
        EXPECT_EQ(disc->total_sectors(), c.sectors);
    }
}

// Every input a user could name by mistake, through the entry the program and the headless
// runner use to insert a disc: each is refused with a message that says what is wrong, and
// nothing is left in the slot.
TEST(DiscImageOpen, BadInputsAreRefusedWithAClearMessage) {
    TempDir dir;
    const fs::path folder = dir.path() / "folder.cue";
    fs::create_directory(folder);
    const fs::path fifo = dir.path() / "pipe.cue";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path fifo_bin = dir.path() / "pipe.bin";
    ASSERT_EQ(::mkfifo(fifo_bin.c_str(), 0600), 0);
    dir.write("fifo.cue", "FILE \"pipe.bin\" BINARY\n");
    // Just over the cap; a sheet of /dev/zero's kind must not be read whole.
    std::string huge(size_t{1} << 20, ' ');
    huge += "\nFILE \"track.bin\" BINARY\n";
    dir.write("track.bin", raw_sectors(1, 't'));
    dir.write("big.cue", huge);

    struct Case {
        fs::path path;
        std::string error;
    };
    const std::vector<Case> cases = {
        {dir.path() / "nothing.bin", "No such file or directory (os error 2)"},
        {dir.path(), "Is a directory (os error 21)"},
        {folder, "Is a directory (os error 21)"},
        {fifo, "not a regular file"},
        {dir.path() / "fifo.cue", "cannot open " + fifo_bin.string() + ", named by the sheet: not a regular file"},
        {"/dev/zero", "not a regular file"},
        {dir.write("zero.cue", ""), "the CUE sheet has no FILE line with a quoted file name"},
        {dir.path() / "big.cue",
         fmt::format("not a CUE sheet: {} bytes, more than a sheet can hold (1048576)", huge.size())},
        {dir.write("gone.cue", "FILE \"gone.bin\" BINARY\n"),
         "cannot open " + (dir.path() / "gone.bin").string() + ", named by the sheet: No such file or directory (os error 2)"},
        {dir.write("empty.iso", ""), "the image holds no whole sector (0 bytes; a sector is 2048)"},
        {dir.write("short.iso", std::string(2047, 'i')), "the image holds no whole sector (2047 bytes; a sector is 2048)"},
        {dir.write("empty.bin", ""), "the image holds no whole sector (0 bytes; a sector is 2352)"},
        {dir.write("short.bin", std::string(kCdSectorBytes - 1, 'b')),
         "the image holds no whole sector (2351 bytes; a sector is 2352)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.string());
        auto bus = std::make_unique<Bus>();
        auto inserted = bus->insert_disc(c.path);
        ASSERT_FALSE(inserted);
        EXPECT_EQ(inserted.error().message, c.error);
        EXPECT_FALSE(bus->disc.has_value());
    }
}

TEST(DiscImageRead, RawSectorsAndPartialTails) {
    LogCapture log;
    TempDir dir;
    const std::string three = raw_sectors(3, 'a');
    SectorBuffer buf{};

    auto disc = open_disc_image(dir.write("three.bin", three));
    ASSERT_TRUE(disc);
    for (uint32_t lba = 0; lba < 3; ++lba) {
        ASSERT_TRUE(disc->read_sector(lba, buf));
        EXPECT_EQ(std::string(buf.begin(), buf.end()), three.substr(lba * kCdSectorBytes, kCdSectorBytes));
    }
    EXPECT_FALSE(disc->read_sector(3, buf));
    EXPECT_TRUE(log.has_line_ending("CD-ROM: Sector 3 out of bounds (max 3)"));
    EXPECT_FALSE(disc->read_sector(0xFFFFFFFFu, buf));
    EXPECT_TRUE(log.has_line_ending("CD-ROM: Sector 4294967295 out of bounds (max 3)"));

    auto longer = open_disc_image(dir.write("long.bin", three.substr(0, kCdSectorBytes + 1)));
    ASSERT_TRUE(longer);
    EXPECT_EQ(longer->total_sectors(), 1u);
    EXPECT_TRUE(longer->read_sector(0, buf));
    EXPECT_FALSE(longer->read_sector(1, buf));

}

TEST(DiscImageRead, IsoDataSitsAtOffset24OfAZeroSector) {
    TempDir dir;
    std::string iso(2 * 2048, '\0');
    for (size_t i = 0; i < iso.size(); ++i) iso[i] = static_cast<char>(1 + i % 251);
    auto disc = open_disc_image(dir.write("d.iso", iso));
    ASSERT_TRUE(disc);
    for (uint32_t lba = 0; lba < 2; ++lba) {
        SectorBuffer buf;
        buf.fill(0xAA);  // whatever the caller left there is overwritten
        ASSERT_TRUE(disc->read_sector(lba, buf));
        for (size_t i = 0; i < 24; ++i) ASSERT_EQ(buf[i], 0) << i;
        for (size_t i = 2072; i < kCdSectorBytes; ++i) ASSERT_EQ(buf[i], 0) << i;
        EXPECT_EQ(std::string(buf.begin() + 24, buf.begin() + 2072), iso.substr(lba * 2048, 2048));
    }
}

TEST(DiscImageRead, FileShrunkWhileOpenFailsQuietly) {
    TempDir dir;
    const fs::path p = dir.write("d.bin", raw_sectors(3, 'a'));
    const fs::path iso = dir.write("d.iso", std::string(3 * 2048, 'x'));
    auto disc = open_disc_image(p);
    auto disc_iso = open_disc_image(iso);
    ASSERT_TRUE(disc && disc_iso);
    fs::resize_file(p, kCdSectorBytes + 100);
    fs::resize_file(iso, 2048 + 100);
    LogCapture log;
    SectorBuffer buf{};
    EXPECT_TRUE(disc->read_sector(0, buf));
    EXPECT_FALSE(disc->read_sector(1, buf));  // short read
    EXPECT_FALSE(disc->read_sector(2, buf));  // nothing left
    buf.fill(0xAA);
    EXPECT_FALSE(disc_iso->read_sector(1, buf));
    EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(log.lines().empty());
}

TEST(DiscImageRead, MovedImageKeepsItsFile) {
    TempDir dir;
    const std::string data = raw_sectors(2, 'm');
    auto opened = open_disc_image(dir.write("m.bin", data));
    ASSERT_TRUE(opened);
    DiscImage disc = std::move(*opened);
    fs::remove(dir.path() / "m.bin");  // the open file stays readable
    SectorBuffer buf{};
    ASSERT_TRUE(disc.read_sector(1, buf));
    EXPECT_EQ(std::string(buf.begin(), buf.end()), data.substr(kCdSectorBytes));
}

TEST(CueSheet, Utf8Validation) {
    struct Case {
        const char* bytes;
        bool valid;
    };
    const Case cases[] = {
        {"plain", true},          {"caf\xC3\xA9", true},         {"\xE2\x82\xAC", true},
        {"\xF0\x9F\x92\xBF", true}, {"\xC3", false},             {"\xC0\xAF", false},
        {"\xE0\x80\xAF", false},    {"\xED\xA0\x80", false},     {"\xF4\x90\x80\x80", false},
        {"\x80", false},            {"\xFF", false},             {"\xE2\x82", false},
    };
    for (const Case& c : cases) EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << c.bytes;
}

}  // namespace
}  // namespace vestrel
