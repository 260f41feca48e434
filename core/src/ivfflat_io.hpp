// CONTRACT (declarations agreed between the reader-facade and file-reader
// owners; the file-reader owner completes this header and implements it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "io.hpp"
#include "row_id_filter.hpp"
#include "search_result.hpp"

namespace tavren::ivfflat_io {

class IVFFlatIndexReader {
public:
    // Checks the 64 header bytes (already read by the facade) and takes the
    // input. Reads nothing; the metadata is loaded on first use. Throws Error.
    static IVFFlatIndexReader open_with_header(std::unique_ptr<io::SeekRead> input,
                                               std::span<const uint8_t, 64> header);

    // Loads centroids and offset table once; later calls do nothing.
    void ensure_loaded();

    size_t dimension() const noexcept;
    size_t nlist() const noexcept;
    uint32_t metric() const noexcept;
    uint64_t total() const noexcept;  // the header's vector count, unchecked until loaded

    // One query: exactly k padded results. filter may be null.
    SearchResult search_with_filter(std::span<const float> query, size_t k, size_t nprobe,
                                    const row_id_filter::RowIdFilter* filter);
};

// nq queries, probe ranks [probe_start, probe_end) of each query's probe order,
// optional seeds (both empty or both nq * k long), optional filter.
// Returns nq * k padded results.
SearchResult search_batch_ivfflat_reader_filter_range(IVFFlatIndexReader& reader, std::span<const float> queries,
                                                      size_t nq, size_t k, size_t probe_start, size_t probe_end,
                                                      std::span<const int64_t> seed_ids,
                                                      std::span<const float> seed_distances,
                                                      const row_id_filter::RowIdFilter* filter);

}  // namespace tavren::ivfflat_io
