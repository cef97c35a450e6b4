#include "common/standard_streams.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace vestrel {
namespace {

// What the child found wrong, as its exit status (its standard error may be closed).
enum Fault : int {
    kNone = 0,
    kSetUp = 10,
    kStillClosed = 20,   // + descriptor
    kNotDevNull = 30,    // + descriptor
    kOpenReplaced = 40,  // + descriptor
    kWrongAccess = 50,   // + descriptor
    kLowNumberLeft = 60,
};

bool is_closed(uint32_t mask, int fd) { return (mask >> fd) & 1; }

// In a child: a pipe on each of 0-2, the ones in `closed_mask` closed, then the call.
int check_in_child(uint32_t closed_mask) {
    struct stat null_node {};
    int ends[2];
    if (stat("/dev/null", &null_node) != 0 || pipe(ends) != 0) return kSetUp;
    for (int fd = 0; fd <= 2; ++fd)
        if (dup2(ends[fd == 0 ? 0 : 1], fd) != fd) return kSetUp;
    struct stat pipe_node {};
    if (fstat(ends[1], &pipe_node) != 0) return kSetUp;
    close(ends[0]);
    close(ends[1]);
    for (int fd = 0; fd <= 2; ++fd)
        if (is_closed(closed_mask, fd)) close(fd);

    open_closed_standard_streams();

    for (int fd = 0; fd <= 2; ++fd) {
        struct stat now {};
        if (fcntl(fd, F_GETFD) == -1 || fstat(fd, &now) != 0) return kStillClosed + fd;
        if (!is_closed(closed_mask, fd)) {
            if (now.st_ino != pipe_node.st_ino) return kOpenReplaced + fd;
            continue;
        }
        if (!S_ISCHR(now.st_mode) || now.st_rdev != null_node.st_rdev) return kNotDevNull + fd;
        char byte = 'x';
        const bool usable = fd == 0 ? read(fd, &byte, 1) == 0 : write(fd, &byte, 1) == 1;
        if (!usable) return kWrongAccess + fd;
    }
    const int next = open("/dev/null", O_RDONLY);
    if (next < 3) return kLowNumberLeft;
    return kNone;
}

TEST(StandardStreams, ClosedOnesGetDevNullOpenOnesAreKept) {
    // Every combination of closed descriptors among 0-2, none closed included.
    for (uint32_t mask = 0; mask < 8; ++mask) {
        const pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0) _exit(check_in_child(mask));
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "closed mask " << mask << ": status " << status;
        EXPECT_EQ(WEXITSTATUS(status), kNone) << "closed mask " << mask;
    }
}

}  // namespace
}  // namespace vestrel
