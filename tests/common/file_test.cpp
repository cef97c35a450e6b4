#include "common/file.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "../support/child_run.hpp"

namespace vestrel {
namespace {

namespace fs = std::filesystem;

class WholeFileWrite : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               fmt::format("vestrel_file_{}_{}", ::getpid(),
                           testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        old_umask_ = ::umask(022);
    }
    void TearDown() override {
        ::umask(old_umask_);
        std::error_code ec;
        fs::permissions(dir_ / "kept", fs::perms::owner_all, ec);
        fs::remove_all(dir_);
    }
    static void put(const fs::path& file, std::string_view bytes) {
        std::ofstream(file, std::ios::binary) << bytes;
    }
    static std::string get(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    }
    static fs::perms mode_of(const fs::path& file) {
        return fs::status(file).permissions() & fs::perms::mask;
    }
    // Every name in the folder, so that a new file left beside the old one shows.
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(dir_)) out.push_back(e.path().filename().string());
        std::ranges::sort(out);
        return out;
    }
    fs::path dir_;
    mode_t old_umask_ = 0;
};

TEST_F(WholeFileWrite, WritesNewFilesAndReplacesOld) {
    const std::string text = "profile=WASD\n";
    struct Case {
        const char* name;
        std::function<void()> make;
        fs::path path;                      // written to
        fs::path lands_in;                  // the file that must then hold the text
        std::optional<fs::perms> mode;      // its permission bits afterwards
        std::vector<std::string> names;     // the folder afterwards
    };
    const Case cases[] = {
        // 0666 less the umask 022.
        {"a new file", [] {}, dir_ / "new.ini", dir_ / "new.ini",
         fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read,
         {"new.ini"}},
        {"an old file keeps its mode", [&] {
             put(dir_ / "old.ini", std::string(5000, 'o'));
             fs::permissions(dir_ / "old.ini", fs::perms::owner_read | fs::perms::owner_write |
                                                   fs::perms::group_read);
         },
         dir_ / "old.ini", dir_ / "old.ini",
         fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read, {"old.ini"}},
        {"a private old file stays private", [&] {
             put(dir_ / "old.ini", "x");
             fs::permissions(dir_ / "old.ini", fs::perms::owner_read | fs::perms::owner_write);
         },
         dir_ / "old.ini", dir_ / "old.ini", fs::perms::owner_read | fs::perms::owner_write,
         {"old.ini"}},
        {"a link is written through and stays a link", [&] {
             fs::create_directory(dir_ / "real");
             put(dir_ / "real" / "target.ini", "old");
             fs::create_symlink("real/target.ini", dir_ / "link.ini");
         },
         dir_ / "link.ini", dir_ / "real" / "target.ini", std::nullopt, {"link.ini", "real"}},
        {"a link to no file yet creates the file it names",
         [&] { fs::create_symlink("named.ini", dir_ / "link.ini"); }, dir_ / "link.ini",
         dir_ / "named.ini", std::nullopt, {"link.ini", "named.ini"}},
    };
    for (const auto& c : cases) {
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        c.make();
        const auto written = write_whole_file(c.path, text);
        ASSERT_TRUE(written.has_value()) << c.name << ": " << written.error().message;
        EXPECT_EQ(get(c.lands_in), text) << c.name;
        if (c.mode) {
            EXPECT_EQ(mode_of(c.lands_in), *c.mode) << c.name;
        }
        EXPECT_EQ(names(), c.names) << c.name;
        if (c.path != c.lands_in) {
            EXPECT_TRUE(fs::is_symlink(c.path)) << c.name;
        }
    }
}

// Places a write must not go: refused before anything is opened (a FIFO would block the caller
// until a reader came; a rename over a device would replace it), with the system's reason, and
// the place left as it was.
TEST_F(WholeFileWrite, RefusesWhatIsNoRegularFile) {
    struct Case {
        const char* name;
        std::function<void()> make;
        fs::path path;
        std::string error;
        bool root_writes_it = false;  // permissions do not stop root
    };
    const Case cases[] = {
        {"a folder", [&] { fs::create_directory(dir_ / "kept"); }, dir_ / "kept",
         "Is a directory (os error 21)"},
        {"a FIFO", [&] { ASSERT_EQ(::mkfifo((dir_ / "kept").c_str(), 0644), 0); }, dir_ / "kept",
         "not a regular file"},
        {"a link to a FIFO", [&] {
             ASSERT_EQ(::mkfifo((dir_ / "kept").c_str(), 0644), 0);
             fs::create_symlink("kept", dir_ / "link");
         },
         dir_ / "link", "not a regular file"},
        {"a device", [] {}, "/dev/null", "not a regular file"},
        {"a folder that is not there", [] {}, dir_ / "gone" / "file", "No such file or directory (os error 2)"},
        {"a path through a file", [&] { put(dir_ / "kept", "mine"); }, dir_ / "kept" / "file",
         "Not a directory (os error 20)"},
        {"a loop of links", [&] {
             fs::create_symlink("b", dir_ / "a");
             fs::create_symlink("a", dir_ / "b");
         },
         dir_ / "a", "Too many levels of symbolic links (os error 40)"},
        {"a read-only file", [&] {
             put(dir_ / "kept", "mine");
             fs::permissions(dir_ / "kept", fs::perms::owner_read);
         },
         dir_ / "kept", "Permission denied (os error 13)", true},
    };
    for (const auto& c : cases) {
        if (c.root_writes_it && ::geteuid() == 0) continue;
        std::error_code ec;
        fs::permissions(dir_ / "kept", fs::perms::owner_all, ec);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        c.make();
        const auto before = names();
        const fs::file_type type = fs::symlink_status(c.path).type();
        const ChildResult run = run_in_child({.seconds = 5}, [&] {
            const auto written = write_whole_file(c.path, "new");
            return written ? std::string("written") : written.error().message;
        });
        ASSERT_TRUE(run.finished) << c.name << (run.timed_out ? ": blocked" : ": killed");
        EXPECT_EQ(run.output, c.error) << c.name;
        EXPECT_EQ(names(), before) << c.name;
        EXPECT_EQ(fs::symlink_status(c.path).type(), type) << c.name;
        if (fs::is_regular_file(dir_ / "kept")) {
            fs::permissions(dir_ / "kept", fs::perms::owner_all, ec);
            EXPECT_EQ(get(dir_ / "kept"), "mine") << c.name;
        }
    }
}

// A disk that takes no more bytes, with a file size limit standing in for it: the write fails
// with the system's reason, the old file keeps every byte and nothing is left beside it.
TEST_F(WholeFileWrite, AFullDiskLeavesTheOldFile) {
    const std::string old_bytes(20000, 'k');
    const std::string new_bytes(20480, 'n');
    const std::string reason = fmt::format("{} (os error {})", std::strerror(EFBIG), EFBIG);
    for (const bool old_file : {true, false}) {
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        if (old_file) put(dir_ / "shot.bmp", old_bytes);
        const ChildResult run = run_in_child({.file_size = 8192}, [&] {
            const auto written = write_whole_file(dir_ / "shot.bmp", new_bytes);
            return written ? std::string("written") : written.error().message;
        });
        ASSERT_TRUE(run.finished) << (run.timed_out ? "timed out" : "killed");
        EXPECT_EQ(run.output, reason);
        if (old_file) {
            EXPECT_EQ(get(dir_ / "shot.bmp"), old_bytes);
            EXPECT_EQ(names(), std::vector<std::string>{"shot.bmp"});
        } else {
            EXPECT_TRUE(names().empty());
        }
    }
}

}  // namespace
}  // namespace vestrel
