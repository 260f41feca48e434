// The log function: one line per call on standard error, nothing filtered,
// and a closed or failing standard error never harms the host.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "logging.hpp"
#include "stderr_capture.hpp"

using tavren::logging::emit_log;

namespace {

using tavren::testing::StderrCapture;

// Runs `body` in a child process and returns its wait status.
template <class Body>
int in_child(Body body) {
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

bool sigpipe_pending() {
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
}

}  // namespace

TEST(EmitLog, WritesMessageAndOneLineFeed) {
    struct Case {
        uint8_t level;
        std::string message;
        std::string written;
    };
    const Case cases[] = {
        {2, "automatic approximate coarse assignment disabled: x", "automatic approximate coarse assignment disabled: x\n"},
        {3, "", "\n"},                               // an empty message is a bare line feed
        {0, "a\nb\n", "a\nb\n\n"},                   // inner line feeds unchanged, then one more
        {255, "[tavren-vindex] t=1", "[tavren-vindex] t=1\n"},  // the level is not written
        {1, std::string("nul\0inside", 10), std::string("nul\0inside\n", 11)},
    };
    for (const Case& c : cases) {
        StderrCapture capture;
        emit_log(c.level, c.message);
        EXPECT_EQ(capture.finish(), c.written);
    }
}

TEST(EmitLog, ConcurrentLinesNeverInterleave) {
    constexpr int kThreads = 8, kLines = 300;
    StderrCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                emit_log(3, "thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                                std::string(static_cast<size_t>(i % 50), 'x'));
            }
        });
    }
    for (auto& th : threads) th.join();
    const std::string text = capture.finish();
    std::set<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        lines.insert(text.substr(start, end - start));
        start = end + 1;
    }
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kLines; ++i) {
            const std::string expect = "thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                                       std::string(static_cast<size_t>(i % 50), 'x');
            ASSERT_TRUE(lines.count(expect)) << expect;
        }
    }
}

// Standard error is a pipe whose reader has gone: the write fails with EPIPE
// and raises SIGPIPE, whose default action would end the host. The host must
// live on, see no pending SIGPIPE and keep its signal mask; later lines work.
TEST(EmitLog, ClosedStderrPipeDoesNotKillTheProcess) {
    const int status = in_child([] {
        signal(SIGPIPE, SIG_DFL);
        int fds[2];
        if (pipe(fds) != 0) _exit(10);
        close(fds[0]);
        dup2(fds[1], 2);
        close(fds[1]);
        sigset_t before, after;
        pthread_sigmask(SIG_SETMASK, nullptr, &before);
        emit_log(2, "nobody reads this");
        emit_log(2, "");
        pthread_sigmask(SIG_SETMASK, nullptr, &after);
        if (sigismember(&after, SIGPIPE) != sigismember(&before, SIGPIPE)) _exit(11);
        if (sigpipe_pending()) _exit(12);
        // A working standard error again: the line arrives (no sticky error).
        int good[2];
        if (pipe(good) != 0) _exit(13);
        dup2(good[1], 2);
        close(good[1]);
        emit_log(2, "ok");
        char buf[8] = {};
        if (read(good[0], buf, sizeof buf) != 3 || std::string(buf, 3) != "ok\n") _exit(14);
        _exit(0);
    });
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A SIGPIPE the host already had pending (blocked) stays pending.
TEST(EmitLog, HostsPendingSigpipeIsKept) {
    const int status = in_child([] {
        sigset_t pipe_set;
        sigemptyset(&pipe_set);
        sigaddset(&pipe_set, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_set, nullptr);
        raise(SIGPIPE);
        if (!sigpipe_pending()) _exit(20);
        int fds[2];
        if (pipe(fds) != 0) _exit(21);
        close(fds[0]);
        dup2(fds[1], 2);
        close(fds[1]);
        emit_log(2, "nobody reads this either");
        if (!sigpipe_pending()) _exit(22);
        _exit(0);
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(EmitLog, ClosedOrInvalidStderrIsIgnored) {
    const int status = in_child([] {
        signal(SIGPIPE, SIG_DFL);
        close(2);
        emit_log(2, "no descriptor 2 at all");
        // Descriptor 2 open read-only: every write fails with EBADF.
        const int fd = open("/dev/null", O_RDONLY);
        if (fd != 2) _exit(30);
        emit_log(2, "write fails");
        _exit(0);
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(EmitLog, EnvironmentFlagIsReadAtEachCall) {
    const char* name = "TAVREN_TEST_LOG_FLAG_PRESENCE";
    unsetenv(name);
    EXPECT_FALSE(tavren::logging::env_flag_present(name));
    setenv(name, "", 1);
    EXPECT_TRUE(tavren::logging::env_flag_present(name));  // present whatever its value
    setenv(name, "0", 1);
    EXPECT_TRUE(tavren::logging::env_flag_present(name));
    unsetenv(name);
    EXPECT_FALSE(tavren::logging::env_flag_present(name));
}
