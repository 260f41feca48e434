#include "host_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace tavren::ann {
namespace {

void wait_ns(uint64_t ns, LatencyMode mode) {
    if (ns == 0) return;
    if (mode == LatencyMode::Spin) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(ns);
        while (std::chrono::steady_clock::now() < until) {
        }
        return;
    }
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(ns / 1'000'000'000);
    deadline.tv_nsec += static_cast<long>(ns % 1'000'000'000);
    if (deadline.tv_nsec >= 1'000'000'000) {
        deadline.tv_nsec -= 1'000'000'000;
        deadline.tv_sec += 1;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

std::runtime_error sys_error(const std::string& what, const std::string& path) {
    return std::runtime_error(path + ": " + what + ": " + std::strerror(errno));
}

}  // namespace

FfiInputFile InputSource::record() {
    FfiInputFile f{};
    f.user_data = this;
    f.read_ranges_fn = &InputSource::read_ranges;
    f.read_latency_ns = latency_ns_ != 0 ? latency_ns_ : idle_latency_hint_ns();
    f.io_block_size = io_block_size_;
    f.max_ranges_per_call = max_ranges_;
    return f;
}

int InputSource::read_ranges(void* user_data, const FfiReadRange* ranges, size_t count) {
    auto* self = static_cast<InputSource*>(user_data);
    uint64_t bytes = 0;
    for (size_t i = 0; i < count; ++i) bytes += ranges[i].len;
    self->counters_.add(count, bytes);
    wait_ns(self->latency_ns_, self->latency_mode_);
    if (self->max_ranges_ != 0 && count > self->max_ranges_) {
        self->failures_.fetch_add(1);
        return 1;
    }
    for (size_t i = 0; i < count; ++i) {
        if (ranges[i].len != 0 && ranges[i].buf == nullptr) {
            self->failures_.fetch_add(1);
            return 1;
        }
        if (!self->read_range(ranges[i].offset, ranges[i].buf, ranges[i].len)) {
            self->failures_.fetch_add(1);
            return 1;
        }
    }
    return 0;
}

FileSource::FileSource(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw sys_error("cannot open", path);
    struct stat st;
    if (::fstat(fd_, &st) != 0) {
        ::close(fd_);
        throw sys_error("cannot stat", path);
    }
    size_ = static_cast<uint64_t>(st.st_size);
}

FileSource::~FileSource() {
    if (fd_ >= 0) ::close(fd_);
}

bool FileSource::read_range(uint64_t offset, uint8_t* buf, uint64_t len) const {
    if (offset > size_ || len > size_ - offset) return false;
    uint64_t done = 0;
    while (done < len) {
        ssize_t got = ::pread(fd_, buf + done, len - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return false;
        done += static_cast<uint64_t>(got);
    }
    return true;
}

bool MemorySource::read_range(uint64_t offset, uint8_t* buf, uint64_t len) const {
    if (offset > size_ || len > size_ - offset) return false;
    if (len != 0) std::memcpy(buf, data_ + offset, len);
    return true;
}

FfiOutputCallbacks OutputSink::callbacks(bool with_flush, bool with_position) {
    FfiOutputCallbacks cb{};
    cb.user_data = this;
    cb.write_fn = &OutputSink::write_cb;
    cb.flush_fn = with_flush ? &OutputSink::flush_cb : nullptr;
    cb.position_fn = with_position ? &OutputSink::position_cb : nullptr;
    return cb;
}

int OutputSink::write_cb(void* user_data, const uint8_t* bytes, size_t len) {
    auto* self = static_cast<OutputSink*>(user_data);
    ++self->write_calls_;
    if (len != 0 && bytes == nullptr) return 1;
    if (!self->append(bytes, len)) return 1;
    self->bytes_ += len;
    return 0;
}

int OutputSink::flush_cb(void* user_data) {
    auto* self = static_cast<OutputSink*>(user_data);
    ++self->flush_calls_;
    return self->flush() ? 0 : 1;
}

int64_t OutputSink::position_cb(void* user_data) { return static_cast<OutputSink*>(user_data)->position(); }

FileSink::FileSink(const std::string& path, bool sync) : path_(path), sync_(sync) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) throw sys_error("cannot create", path);
}

FileSink::~FileSink() {
    if (fd_ >= 0) ::close(fd_);
}

void FileSink::close() {
    if (fd_ < 0) return;
    int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0) throw sys_error("close failed", path_);
}

bool FileSink::append(const uint8_t* bytes, size_t len) {
    if (fd_ < 0) return false;
    size_t done = 0;
    while (done < len) {
        ssize_t put = ::write(fd_, bytes + done, len - done);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

bool FileSink::flush() { return fd_ >= 0 && (!sync_ || ::fsync(fd_) == 0); }

int64_t FileSink::position() {
    if (fd_ < 0) return -1;
    return static_cast<int64_t>(::lseek(fd_, 0, SEEK_CUR));
}

bool MemorySink::append(const uint8_t* bytes, size_t len) {
    try {
        while (len > 0) {
            const size_t used = static_cast<size_t>(size_ % kBlock);
            if (used == 0 && size_ / kBlock == blocks_.size()) {
                blocks_.push_back(std::unique_ptr<uint8_t[]>(new uint8_t[kBlock]));
            }
            const size_t n = std::min(len, kBlock - used);
            std::memcpy(blocks_.back().get() + used, bytes, n);
            bytes += n;
            len -= n;
            size_ += n;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

std::vector<uint8_t> MemorySink::take() {
    std::vector<uint8_t> out;
    out.reserve(size_);
    for (size_t b = 0; b < blocks_.size(); ++b) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kBlock, size_ - b * kBlock));
        out.insert(out.end(), blocks_[b].get(), blocks_[b].get() + n);
    }
    blocks_.clear();
    size_ = 0;
    return out;
}

std::vector<uint8_t> read_file(const std::string& path) {
    FileSource src(path);
    std::vector<uint8_t> bytes(src.size());
    FfiInputFile rec = src.record();
    FfiReadRange range{0, bytes.data(), bytes.size()};
    if (rec.read_ranges_fn(rec.user_data, &range, 1) != 0) throw std::runtime_error(path + ": read failed");
    return bytes;
}

}  // namespace tavren::ann
