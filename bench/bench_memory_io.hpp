// In-memory host I/O for the benchmarks that write an index and read it back
// in the same process: a sink that keeps the bytes, and a file over shared
// bytes that copies each range (no counters, no locks: timings stay the
// library's).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "error.hpp"
#include "io.hpp"

namespace tavren::bench {

class VectorSink final : public io::SeekWrite {
public:
    void write_all(std::span<const uint8_t> b) override { bytes.insert(bytes.end(), b.begin(), b.end()); }
    uint64_t pos() override { return bytes.size(); }
    std::vector<uint8_t> bytes;
};

class BytesFile final : public io::SeekRead {
public:
    explicit BytesFile(std::shared_ptr<const std::vector<uint8_t>> b) : bytes_(std::move(b)) {}
    void pread(std::span<io::ReadRequest> requests) const override {
        for (auto& r : requests) {
            if (r.offset + r.len > bytes_->size()) fail(ErrorKind::UnexpectedEof, "failed to fill whole buffer");
            std::memcpy(r.buf, bytes_->data() + r.offset, r.len);
        }
    }
    io::ReadCapabilities capabilities() const override { return {}; }

private:
    std::shared_ptr<const std::vector<uint8_t>> bytes_;
};

}  // namespace tavren::bench
