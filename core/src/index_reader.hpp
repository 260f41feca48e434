// The read side of the index facade: the one reader type the C interface
// keeps behind a reader handle.
//
// VectorIndexReader recognises an index file by the little-endian u32 magic
// in its first four bytes, opens the matching format reader and routes every
// operation to it. It runs the checks all index types share (query length and
// finiteness, search parameters, the row count of a filter for the automatic
// IVF width), resolves the search width, and hands IVF searches to the
// progressive searches (progressive.hpp). It adds no text to any error: the C
// layer puts the operation's prefix in front.
//
// The index types form a closed set, in the order IVF-FLAT, IVF-SQ, IVF-PQ,
// IVF-RQ, DiskANN. All five magics are recognised; a type whose format reader
// is not part of this build fails to open with "index type {type} is not
// available in this build". A DiskANN reader opens, reports its metadata and
// read state, loads for search (diskann_io.hpp) and answers every search
// form, warm-up and calibration. An IVF type joins with its file reader (which
// satisfies ivf_search::IvfIndexReader), one alternative of the variant
// (IvfVariant<Reader, IndexType>) and one case of the magic switch in
// index_reader.cpp.
//
// Thread rule: every operation but metadata() and the accessors needs the
// reader exclusively (they load data and change scratch state); calls on one
// reader must not overlap. Different readers may be used from different
// threads at once. The facade itself takes no lock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "io.hpp"
#include "ivfflat_format.hpp"
#include "read_options.hpp"
#include "search_params.hpp"
#include "search_result.hpp"

namespace tavren::index {

// File magics (little-endian u32 at offset 0).
inline constexpr uint32_t kIvfFlatFileMagic = ivfflat_format::kMagic;
inline constexpr uint32_t kIvfSqFileMagic = 0x49565351;
inline constexpr uint32_t kIvfPqFileMagic = 0x49565051;
inline constexpr uint32_t kIvfRqFileMagic = 0x49565251;
inline constexpr uint32_t kDiskAnnFileMagic = 0x4E4E4144;

// The bytes read at offset 0 to recognise a file; when that read fails, the
// first kMagicProbeBytes alone tell an unknown magic from a short file.
inline constexpr size_t kReaderHeaderProbeBytes = 64;
inline constexpr size_t kMagicProbeBytes = 4;

struct DiskAnnGraphParams {
    uint64_t max_degree = 0;
    uint64_t build_list_size = 0;
    float alpha = 0.0f;
    friend bool operator==(const DiskAnnGraphParams&, const DiskAnnGraphParams&) = default;
};

// What an open reader holds, from its file header; reading it never touches
// the file.
struct VectorIndexMetadata {
    uint32_t index_type = 0;  // IndexType code
    uint64_t dimension = 0;
    uint64_t nlist = 0;   // 1 for DiskANN
    uint32_t metric = 0;  // MetricType code
    int64_t vector_count = 0;
    std::optional<uint64_t> pq_m;       // PQ sub-quantizers
    std::optional<uint64_t> code_bits;  // bits per PQ or SQ code
    std::optional<uint64_t> rq_bits;    // bits per IVF-RQ code
    std::optional<DiskAnnGraphParams> diskann;
    friend bool operator==(const VectorIndexMetadata&, const VectorIndexMetadata&) = default;
};

// How a DiskANN reader reads, as the host's read-plan record reports it.
struct DiskAnnReadReport {
    uint64_t latency_ns = 0;      // the latency that chose the deployment profile at open
    read_options::ReadPlan plan;  // the profile's plan adjusted to the host's hints
    uint64_t max_ranges_per_call = 0;
    uint64_t preloaded_adjacency_bytes = 0;
    uint64_t adjacency_cache_bytes = 0;  // 0 while the resident sections are not loaded
    uint64_t vector_cache_bytes = 0;     // 0 while the resident sections are not loaded
    uint64_t memory_budget_bytes = 0;
};

class VectorIndexReader {
public:
    // Reads the first 64 bytes with one pread of one request and opens the
    // reader of the file's magic, which takes `input` for its whole life.
    // When that read fails, the first 4 bytes are read with one more pread:
    // if that fails too its error is thrown; if they hold a known magic the
    // first read's error is thrown; otherwise InvalidData "unknown vector
    // index magic: 0x{:08X}". Errors of the format open pass through
    // unchanged. On failure nothing is kept and `input` is released.
    static VectorIndexReader open_with_options(std::unique_ptr<io::SeekRead> input,
                                               const read_options::VectorIndexReaderOptions& options);

    VectorIndexReader(VectorIndexReader&&) noexcept;
    VectorIndexReader& operator=(VectorIndexReader&&) noexcept;
    ~VectorIndexReader();

    VectorIndexMetadata metadata() const noexcept;
    uint64_t dimension() const noexcept;
    // The read state of a DiskANN reader; absent for every other type.
    std::optional<DiskAnnReadReport> diskann_read_report() const;

    // One query of `dimension()` values: exactly top_k pairs, ascending,
    // padded with (-1, kF32Max). Checks, in order: the query
    // (validate_query), the parameters, then for a filtered search with the
    // automatic width the filter's row count ("invalid serialized
    // RoaringTreemap filter: {}"), whatever the index type; then the width is
    // resolved and the type searched. The filter bytes are the portable
    // serialisation of a 64-bit Roaring bitmap.
    SearchResult search(std::span<const float> query, const VectorSearchParams& params);
    SearchResult search_with_roaring_filter(std::span<const float> query, const VectorSearchParams& params,
                                            std::span<const uint8_t> filter);
    // `nq` queries back to back: nq x top_k pairs, query after query.
    SearchResult search_batch(std::span<const float> queries, uint64_t nq, const VectorSearchParams& params);
    SearchResult search_batch_with_roaring_filter(std::span<const float> queries, uint64_t nq,
                                                  const VectorSearchParams& params, std::span<const uint8_t> filter);

    // Checks nq x dimension values, all finite, then loads what the first
    // search would load. IVF readers run no query and ignore l_search.
    void warmup_queries(std::span<const float> queries, uint64_t nq, uint64_t l_search);
    // Loads what the first search would otherwise load; calling it again is allowed.
    void optimize_for_search();
    // Only a DiskANN reader calibrates; every other type fails with
    // InvalidInput "search-width calibration is currently only available for
    // DiskANN" after the query and top_k checks.
    uint64_t calibrate_search_width(std::span<const float> queries, uint64_t nq, uint64_t top_k);

    struct Variants;  // the closed set of format readers (index_reader.cpp)

private:
    explicit VectorIndexReader(std::unique_ptr<Variants> variants) noexcept;

    SearchResult search_single(std::span<const float> query, const VectorSearchParams& params,
                               const std::optional<std::span<const uint8_t>>& filter);
    SearchResult search_many(std::span<const float> queries, uint64_t nq, const VectorSearchParams& params,
                             const std::optional<std::span<const uint8_t>>& filter);

    std::unique_ptr<Variants> variants_;
};

}  // namespace tavren::index
