// The I/O seam between index code and the host.
//
// Readers are written against SeekRead, writers against SeekWrite; neither
// knows that the other side is a C host. The adapters over the host's C
// records (FfiInputFile, FfiOutputCallbacks) live in io.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

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

}  // namespace tavren::io
