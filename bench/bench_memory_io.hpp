// In-memory host I/O for the benchmarks that write an index and read it back
// in the same process: a sink that keeps the bytes, a file over shared bytes
// that copies each range (no counters, no locks: timings stay the library's),
// and a DiskANN file built through the facade into such a sink.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <span>
#include <utility>
#include <vector>

#include "error.hpp"
#include "index.hpp"
#include "io.hpp"
#include "pool.hpp"

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

// A DiskANN file of the first n rows of `base` (row IDs 0 .. n - 1), built
// through the facade with l2, full-precision build distances and `extra`
// options, on at most `threads` pool threads.
inline std::vector<uint8_t> build_diskann_file(std::span<const float> base, size_t n, size_t d, size_t threads,
                                               const index::OptionPairs& extra = {}) {
    VectorSink sink;
    pool::run_with_thread_cap(threads, [&] {
        index::OptionPairs options = {{"index.type", "diskann"}, {"dimension", std::to_string(d)},
                                      {"metric", "l2"}, {"diskann.build-distance", "full_precision"}};
        options.insert(options.end(), extra.begin(), extra.end());
        index::VectorIndexTrainer trainer =
            index::VectorIndexTrainer::create(index::VectorIndexConfig::from_options(options));
        const std::vector<float> rows(base.begin(), base.begin() + static_cast<std::ptrdiff_t>(n * d));
        trainer.add_training_vectors_mut(rows, n);
        index::VectorIndexWriter writer = std::move(trainer).finish();
        std::vector<int64_t> ids(n);
        for (size_t i = 0; i < n; ++i) ids[i] = static_cast<int64_t>(i);
        writer.add_vectors(ids, rows, n);
        writer.write(sink);
    });
    return std::move(sink.bytes);
}

}  // namespace tavren::bench
