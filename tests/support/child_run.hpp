// Test helper: runs a body in a forked child under limits the test process must not take on
// itself. A file size limit (RLIMIT_FSIZE, with SIGXFSZ ignored so a write fails with EFBIG
// instead of killing the child) stands in for a full disk; a time limit turns a call that would
// block for good into a failed test instead of a hung one. The body's result comes back as text.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>

namespace vestrel {

struct ChildLimits {
    uint64_t file_size = RLIM_INFINITY;  // bytes any file may grow to
    unsigned seconds = 20;               // until SIGALRM ends the child
};

struct ChildResult {
    bool finished = false;  // the body returned; false when it was killed or timed out
    bool timed_out = false;
    std::string output;     // what the body returned
};

inline ChildResult run_in_child(const ChildLimits& limits, const std::function<std::string()>& body) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return {};
    const pid_t pid = ::fork();
    if (pid < 0) return {};
    if (pid == 0) {
        ::close(pipe_fds[0]);
        const rlimit size{limits.file_size, limits.file_size};
        ::setrlimit(RLIMIT_FSIZE, &size);
        ::signal(SIGXFSZ, SIG_IGN);
        ::alarm(limits.seconds);
        int status = 0;
        try {
            const std::string out = body();
            for (size_t done = 0; done < out.size();) {
                const ssize_t n = ::write(pipe_fds[1], out.data() + done, out.size() - done);
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
        } catch (...) {
            status = 2;
        }
        // No destructors, no test framework teardown: the parent owns those.
        ::_exit(status);
    }
    ::close(pipe_fds[1]);
    ChildResult result;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
        if (n > 0) {
            result.output.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(pipe_fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    result.timed_out = WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM;
    return result;
}

}  // namespace vestrel
