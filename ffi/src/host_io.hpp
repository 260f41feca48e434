// The host's C records (include/tavren_dadiza.h) as the core's I/O seam:
// HostInputFile is a SeekRead over an FfiInputFile, HostOutputFile a
// SeekWrite over FfiOutputCallbacks. Only the export layer sees the records.
#pragma once

#include <cstdint>
#include <span>

#include "io.hpp"
#include "tavren_dadiza.h"

namespace tavren::ffi {

// The host's input file as a SeekRead: a copy of the caller's record. Each
// non-empty pread makes exactly one call of read_ranges_fn with one
// FfiReadRange per request, in request order; the range array is the only
// allocation of a call. Failures (kind Other): "read_ranges_fn is null" (a
// NULL callback and at least one request), "read_ranges callback failed" (a
// non-zero result; the host's cause is not reported).
// Thread rule: the host's callback must accept concurrent calls with the same
// user_data; this object adds no state of its own.
class HostInputFile final : public io::SeekRead {
public:
    explicit HostInputFile(const ::FfiInputFile& record) noexcept : record_(record) {}

    void pread(std::span<io::ReadRequest> requests) const override;
    // The record's three hints.
    io::ReadCapabilities capabilities() const override;

    const ::FfiInputFile& record() const noexcept { return record_; }

private:
    ::FfiInputFile record_;
};

// The host's output as a SeekWrite, made at the start of one write-index call
// and dropped at its end. bytes_written counts the bytes write_fn accepted
// since construction.
class HostOutputFile final : public io::SeekWrite {
public:
    explicit HostOutputFile(const ::FfiOutputCallbacks& callbacks) noexcept : callbacks_(callbacks) {}

    // Calls write_fn exactly once, also for an empty slice. Failures (kind
    // Other): "write_fn is null", "write callback failed" (bytes_written
    // unchanged), "output position overflow" (the host already has the bytes).
    void write_all(std::span<const uint8_t> bytes) override;
    // position_fn's result when present and not negative, else bytes_written;
    // position_fn is called again at every call, nothing is cached.
    uint64_t pos() override;
    // Calls flush_fn once when present; a non-zero result fails with kind
    // Other, "flush callback failed". Without flush_fn nothing happens.
    void flush();

    uint64_t bytes_written() const noexcept { return bytes_written_; }
    const ::FfiOutputCallbacks& callbacks() const noexcept { return callbacks_; }

private:
    ::FfiOutputCallbacks callbacks_;
    uint64_t bytes_written_ = 0;
};

}  // namespace tavren::ffi
