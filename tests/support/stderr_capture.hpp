// Captures what is written to file descriptor 2 (standard error) between
// construction and finish(), for tests of log lines and diagnostics.
#pragma once

#include <string>
#include <thread>

namespace tavren::testing {

// Redirects file descriptor 2 into a pipe until finish(); a reader thread
// drains the pipe so writers never block. Call finish() exactly once, before
// destruction, and start no second capture while one is open.
class StderrCapture {
public:
    StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Restores file descriptor 2 and returns everything written meanwhile.
    std::string finish();

private:
    int fds_[2]{};
    int saved_ = -1;
    std::thread reader_;
    std::string text_;
};

}  // namespace tavren::testing
