// The I/O seam between index code and the host.
//
// Readers are written against SeekRead, writers against SeekWrite; neither
// knows that the other side is a C host. The export layer adapts the host's C
// records to these interfaces (ffi/src/host_io.hpp); nothing here sees them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>

#include "error.hpp"
#include "numeric.hpp"

namespace tavren::io {

// One range of a batched positional read. `buf` is owned by the caller and
// must stay valid (and not overlap other requests of the same list) for the call.
struct ReadRequest {
    uint8_t* buf;
    size_t len;
    uint64_t offset;
};

// The host's read hints; 0 means not given (or, for max_ranges_per_call, no limit).
struct ReadCapabilities {
    uint64_t read_latency_ns = 0;
    uint64_t io_block_size = 0;
    uint64_t max_ranges_per_call = 0;
};

// Positional reads. REQUIRES: callers keep each request list within
// capabilities().max_ranges_per_call when that is non-zero; pread never splits
// a list. An empty list succeeds without touching the source. On failure
// (throws Error) the buffers hold unspecified bytes.
// Thread rule: pread is const and keeps no state, so several threads may read
// through one source at once if the source allows it (the host's does).
class SeekRead {
public:
    virtual ~SeekRead() = default;
    virtual void pread(std::span<ReadRequest> requests) const = 0;
    virtual ReadCapabilities capabilities() const = 0;
};

// Sequential output. Used by one thread at a time, in file order.
class SeekWrite {
public:
    virtual ~SeekWrite() = default;
    // Appends all of `bytes` or throws Error.
    virtual void write_all(std::span<const uint8_t> bytes) = 0;
    // The current output position.
    virtual uint64_t pos() = 0;
};

// What a MeasuredSeekRead counted while measuring.
struct ReadMeasurement {
    uint64_t read_calls = 0;
    uint64_t read_bytes = 0;
    std::chrono::nanoseconds read_time{0};
};

// A SeekRead wrapper that, while measuring, counts calls, requested bytes
// (both saturating) and the wall time of the inner reads, failed reads
// included. Made with measuring off; then pread only forwards.
// Thread rule: the counters make it a one-thread-at-a-time source.
template <class Inner>
class MeasuredSeekRead final : public SeekRead {
    static_assert(std::is_base_of_v<SeekRead, Inner>);

public:
    explicit MeasuredSeekRead(Inner inner) : inner_(std::move(inner)) {}

    void pread(std::span<ReadRequest> requests) const override {
        if (!read_time_) {
            inner_.pread(requests);
            return;
        }
        uint64_t bytes = 0;
        for (const ReadRequest& r : requests) bytes = saturating_add(bytes, r.len);
        const auto start = std::chrono::steady_clock::now();
        try {
            inner_.pread(requests);
        } catch (...) {
            account(bytes, start);
            throw;
        }
        account(bytes, start);
    }

    ReadCapabilities capabilities() const override { return inner_.capabilities(); }

    // Zeroes the counters and switches measuring on.
    void begin_measurement() noexcept {
        read_calls_ = 0;
        read_bytes_ = 0;
        read_time_ = std::chrono::nanoseconds(0);
    }

    // Switches measuring off and returns the counters; all zero when measuring was off.
    ReadMeasurement take_measurement() noexcept {
        if (!read_time_) return {};
        ReadMeasurement m{read_calls_, read_bytes_, *read_time_};
        read_calls_ = 0;
        read_bytes_ = 0;
        read_time_.reset();
        return m;
    }

    bool measuring() const noexcept { return read_time_.has_value(); }
    const Inner& inner() const noexcept { return inner_; }
    Inner& inner() noexcept { return inner_; }

private:
    void account(uint64_t bytes, std::chrono::steady_clock::time_point start) const {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
        read_calls_ = saturating_add(read_calls_, 1);
        read_bytes_ = saturating_add(read_bytes_, bytes);
        std::chrono::nanoseconds::rep sum;
        if (__builtin_add_overflow(read_time_->count(), elapsed.count(), &sum)) {
            panic("overflow when adding durations");
        }
        *read_time_ = std::chrono::nanoseconds(sum);
    }

    Inner inner_;
    mutable uint64_t read_calls_ = 0;
    mutable uint64_t read_bytes_ = 0;
    mutable std::optional<std::chrono::nanoseconds> read_time_;  // absent: not measuring
};

// Sequential reads at a position over a borrowed byte buffer (a file header
// already in memory). A read that does not fit leaves the position unchanged.
class PreadCursor {
public:
    explicit PreadCursor(std::span<const uint8_t> source, uint64_t position = 0) noexcept
        : source_(source), position_(position) {}

    // Fills all of `dest` from the position and advances it. Failures:
    // UnexpectedEof "failed to fill whole buffer" when fewer bytes remain
    // (position unchanged); InvalidData "read cursor overflow".
    void read_exact(std::span<uint8_t> dest);

    // Little-endian fields, each through read_exact.
    uint8_t read_u8();
    uint16_t read_u16();
    uint32_t read_u32();
    int32_t read_i32();
    uint64_t read_u64();
    int64_t read_i64();
    float read_f32();

    uint64_t position() const noexcept { return position_; }
    void set_position(uint64_t position) noexcept { position_ = position; }
    std::span<const uint8_t> source() const noexcept { return source_; }

private:
    std::span<const uint8_t> source_;
    uint64_t position_;
};

}  // namespace tavren::io
