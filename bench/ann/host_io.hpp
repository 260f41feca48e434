// Hosts of the library's I/O callbacks, as an embedding application writes
// them: an index written to a real file (write(2), optional fsync and
// position) or to a byte vector, and read back through pread(2) or from
// memory, with an optional injected latency per read call to mimic remote
// storage, and counters of calls, ranges and bytes.
//
// Thread rules: the read callback may be called from several threads at once
// (several reader handles over one source, or one reader's pool workers); the
// counters are atomic and the sources keep no other mutable state. An output
// sink is used by one thread at a time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tavren_dadiza.h"

namespace tavren::ann {

struct IoSnapshot {
    uint64_t calls = 0;
    uint64_t ranges = 0;
    uint64_t bytes = 0;
};

class IoCounters {
public:
    void add(uint64_t ranges, uint64_t bytes) {
        calls_.fetch_add(1, std::memory_order_relaxed);
        ranges_.fetch_add(ranges, std::memory_order_relaxed);
        bytes_.fetch_add(bytes, std::memory_order_relaxed);
    }
    void reset() {
        calls_.store(0);
        ranges_.store(0);
        bytes_.store(0);
    }
    IoSnapshot snapshot() const { return {calls_.load(), ranges_.load(), bytes_.load()}; }

private:
    std::atomic<uint64_t> calls_{0}, ranges_{0}, bytes_{0};
};

// How an injected latency is spent: sleeping (the thread is idle, as while
// waiting on a network) or spinning (the core stays busy).
enum class LatencyMode { Sleep, Spin };

// The read side. The FfiInputFile returned by record() points at this object,
// which must outlive every reader opened with it.
class InputSource {
public:
    virtual ~InputSource() = default;
    InputSource(const InputSource&) = delete;
    InputSource& operator=(const InputSource&) = delete;

    // The record to open readers with. Its read_latency_ns hint is the
    // injected latency (0 when none), max_ranges_per_call the configured one.
    FfiInputFile record();

    void set_latency_ns(uint64_t ns, LatencyMode mode = LatencyMode::Sleep) {
        latency_ns_ = ns;
        latency_mode_ = mode;
    }
    uint64_t latency_ns() const { return latency_ns_; }
    // 0 = no limit. A call with more ranges fails, as a strict host would.
    void set_max_ranges_per_call(uint64_t n) { max_ranges_ = n; }
    void set_io_block_size(uint64_t n) { io_block_size_ = n; }

    IoCounters& counters() { return counters_; }
    // Calls refused (bad range, too many ranges, I/O error).
    uint64_t failures() const { return failures_.load(); }
    virtual uint64_t size() const = 0;

protected:
    InputSource() = default;
    // The latency hint when none is injected: 0 (not given) lets the library
    // time its first read, which a busy machine can make slow enough to pick
    // another read profile from run to run.
    virtual uint64_t idle_latency_hint_ns() const { return 0; }
    // Fills one range completely or returns false.
    virtual bool read_range(uint64_t offset, uint8_t* buf, uint64_t len) const = 0;

private:
    static int read_ranges(void* user_data, const FfiReadRange* ranges, size_t count);

    IoCounters counters_;
    std::atomic<uint64_t> failures_{0};
    uint64_t latency_ns_ = 0;
    LatencyMode latency_mode_ = LatencyMode::Sleep;
    uint64_t max_ranges_ = 0;
    uint64_t io_block_size_ = 0;
};

// pread(2) over a file opened read-only.
class FileSource final : public InputSource {
public:
    explicit FileSource(const std::string& path);
    ~FileSource() override;
    uint64_t size() const override { return size_; }

private:
    bool read_range(uint64_t offset, uint8_t* buf, uint64_t len) const override;
    int fd_ = -1;
    uint64_t size_ = 0;
};

// Reads from bytes the caller keeps alive.
class MemorySource final : public InputSource {
public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    explicit MemorySource(const std::vector<uint8_t>& bytes) : MemorySource(bytes.data(), bytes.size()) {}
    uint64_t size() const override { return size_; }

private:
    bool read_range(uint64_t offset, uint8_t* buf, uint64_t len) const override;
    // A memory copy takes well under a microsecond: say so, so that every
    // run reads with the memory profile.
    uint64_t idle_latency_hint_ns() const override { return 1000; }
    const uint8_t* data_;
    size_t size_;
};

// The write side. callbacks() points at this object, which must outlive the
// write call.
class OutputSink {
public:
    virtual ~OutputSink() = default;
    OutputSink(const OutputSink&) = delete;
    OutputSink& operator=(const OutputSink&) = delete;

    // with_flush / with_position choose whether the optional callbacks are given.
    FfiOutputCallbacks callbacks(bool with_flush, bool with_position);
    uint64_t write_calls() const { return write_calls_; }
    uint64_t bytes_written() const { return bytes_; }
    uint64_t flush_calls() const { return flush_calls_; }

protected:
    OutputSink() = default;
    virtual bool append(const uint8_t* bytes, size_t len) = 0;
    virtual bool flush() = 0;
    virtual int64_t position() = 0;

private:
    static int write_cb(void* user_data, const uint8_t* bytes, size_t len);
    static int flush_cb(void* user_data);
    static int64_t position_cb(void* user_data);
    uint64_t write_calls_ = 0;
    uint64_t bytes_ = 0;
    uint64_t flush_calls_ = 0;
};

// write(2) to a new file (truncated); flush is fsync(2) when `sync` is set,
// position is lseek(fd, 0, SEEK_CUR).
class FileSink final : public OutputSink {
public:
    explicit FileSink(const std::string& path, bool sync = false);
    ~FileSink() override;
    // Closes the file; throws std::runtime_error if close fails.
    void close();

private:
    bool append(const uint8_t* bytes, size_t len) override;
    bool flush() override;
    int64_t position() override;
    std::string path_;
    int fd_ = -1;
    bool sync_;
};

// Collects the output in blocks of 8 MiB, so that a growing index is never
// copied while it is written; take() joins them.
class MemorySink final : public OutputSink {
public:
    uint64_t size() const { return size_; }
    std::vector<uint8_t> take();

private:
    static constexpr size_t kBlock = size_t{8} << 20;
    bool append(const uint8_t* bytes, size_t len) override;
    bool flush() override { return true; }
    int64_t position() override { return static_cast<int64_t>(size_); }
    std::vector<std::unique_ptr<uint8_t[]>> blocks_;
    uint64_t size_ = 0;
};

// Reads a whole file into memory.
std::vector<uint8_t> read_file(const std::string& path);

}  // namespace tavren::ann
