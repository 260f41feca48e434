#include "logging.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <pthread.h>

namespace tavren::logging {

void write_stderr_line(std::string_view message) noexcept {
    // Block SIGPIPE on this thread for the write: a host whose standard error
    // is a closed pipe must not be killed by a diagnostic line. A SIGPIPE that
    // the write raised is consumed before the old mask comes back.
    sigset_t pipe_set, old_set;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    bool masked = pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set) == 0;
    bool was_pending = false;
    if (masked) {
        sigset_t pending;
        if (sigpending(&pending) == 0) was_pending = sigismember(&pending, SIGPIPE) == 1;
    }

    flockfile(stderr);
    if (!message.empty()) (void)fwrite_unlocked(message.data(), 1, message.size(), stderr);
    (void)fputc_unlocked('\n', stderr);
    (void)fflush_unlocked(stderr);
    clearerr_unlocked(stderr);
    funlockfile(stderr);

    if (masked) {
        if (!was_pending) {
            sigset_t pending;
            if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
                timespec zero{0, 0};
                (void)sigtimedwait(&pipe_set, nullptr, &zero);
            }
        }
        (void)pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
    }
}

void emit_log(uint8_t /*level*/, std::string_view message) noexcept { write_stderr_line(message); }

bool env_flag_present(const char* name) noexcept { return std::getenv(name) != nullptr; }

}  // namespace tavren::logging
