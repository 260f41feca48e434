#include "stderr_capture.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace tavren::testing {

StderrCapture::StderrCapture() {
    std::fflush(stderr);
    if (pipe(fds_) != 0) std::abort();
    saved_ = dup(2);
    dup2(fds_[1], 2);
    close(fds_[1]);
    reader_ = std::thread([this] {
        char buf[4096];
        ssize_t r;
        while ((r = read(fds_[0], buf, sizeof buf)) > 0) text_.append(buf, static_cast<size_t>(r));
    });
}

std::string StderrCapture::finish() {
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    reader_.join();
    close(fds_[0]);
    return text_;
}

}  // namespace tavren::testing
