// An in-memory SeekRead for reader tests: serves a byte buffer, counts every
// host call, range and byte, can cap the ranges per call (reported through
// capabilities() like a host's hint), and can fail chosen calls or ranges.
//
// The counters live in a shared state, so a test keeps a handle to them after
// moving the source into the reader it tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "io.hpp"

namespace tavren::testing {

// One range as the source saw it.
struct SeenRange {
    uint64_t offset;
    size_t len;
};

// What the source has served so far.
struct SourceStats {
    uint64_t calls = 0;           // non-empty pread calls (an empty list is not a host call)
    uint64_t ranges = 0;          // ranges over all calls
    uint64_t bytes = 0;           // bytes requested over all calls
    uint64_t max_call_bytes = 0;  // most bytes requested by one call
    uint64_t cap_violations = 0;  // calls that held more ranges than the cap
    std::vector<std::vector<SeenRange>> log;  // every call's ranges, in order
};

struct MemorySourceState;

class MemorySource final : public io::SeekRead {
public:
    struct Options {
        uint64_t max_ranges_per_call = 0;     // the hint; 0 = no cap
        uint64_t read_latency_ns = 0;
        uint64_t io_block_size = 0;
        std::optional<uint64_t> fail_on_call;  // 0-based index of the call that fails
        // Fail any call holding a range that touches [fail_from, fail_to).
        std::optional<std::pair<uint64_t, uint64_t>> fail_range;
        bool keep_log = true;  // false: counters only (long runs)
    };

    explicit MemorySource(std::vector<uint8_t> bytes);
    MemorySource(std::vector<uint8_t> bytes, Options options);

    // Fails (Error kind Other, "read_ranges callback failed", like a host that
    // returns non-zero) when a range lies outside the bytes, when the call
    // exceeds the cap, or when an injected failure matches. Failed calls are
    // counted too.
    void pread(std::span<io::ReadRequest> requests) const override;
    io::ReadCapabilities capabilities() const override;

    // A handle to the counters that outlives the source.
    struct Observer {
        std::shared_ptr<const MemorySourceState> state;
        SourceStats stats() const;
        void reset() const;
    };
    Observer observer() const { return Observer{state_}; }
    SourceStats stats() const { return observer().stats(); }

    // Makes a unique_ptr<SeekRead> and hands back its observer.
    static std::unique_ptr<io::SeekRead> make(std::vector<uint8_t> bytes, Options options, Observer* observer);

private:
    std::shared_ptr<MemorySourceState> state_;
};

struct MemorySourceState {
    std::vector<uint8_t> bytes;
    MemorySource::Options options;
    mutable std::mutex mutex;
    mutable SourceStats stats;
};

// Every logged call after the first `skip` as "offset+len" ranges joined by
// ',', calls joined by ' | ': a read pattern two runs can compare.
std::string calls_after(const SourceStats& stats, size_t skip);

}  // namespace tavren::testing
