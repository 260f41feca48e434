// The DiskANN reader's single-query search: the query entry that ties the
// stages together over the reader's views (diskann_reader_views.hpp).
#include <cmath>
#include <span>
#include <vector>

#include "diskann_format.hpp"
#include "diskann_io.hpp"
#include "diskann_reader_views.hpp"
#include "diskann_search.hpp"
#include "diskann_search_load.hpp"
#include "diskann_windows.hpp"
#include "error.hpp"
#include "read_options.hpp"

namespace tavren::diskann_io {

namespace fmtd = diskann_format;

ds::SingleSearchInput single_search_input(const DiskAnnIndexReader& reader, ReaderSource& source,
                                          const read_options::ReadPlan& plan) {
    const DiskAnnHeader& header = reader.header();
    const DiskAnnCacheBudgets& budgets = reader.cache_budgets();
    const auto& pages = header.sections[fmtd::kSectionAdjacencyPages];
    const DiskAnnResidentData& res = reader.resident();
    const ds::AdjacencyLoadInput load{diskann_windows::ReadWindowPlanner(pages.offset, pages.length, plan.window_bytes),
                                      reader.adjacency_preload(), &reader.input(), budgets.adjacency_cache_bytes > 0};
    ds::SingleSearchInput in{
        ds::GraphSearchInput{load, header.vector_count, header.entry_node, header.max_degree, res.pq_codes,
                             header.pq_m, header.pq_bits},
        plan.beam_width, header.interleaved(), std::nullopt, std::nullopt};
    if (in.interleaved) {
        in.interleaved_rerank =
            ds::InterleavedRerankInput{load, header.record_bytes, header.raw_vector_encoding, header.metric};
    } else {
        const auto& raw = header.sections[fmtd::kSectionRawVectors];
        in.raw = ds::RawVectorRerankInput{
            diskann_windows::VectorWindowPlanner::create(plan, raw.offset, raw.length, header.record_bytes),
            header.raw_vector_encoding,
            header.metric,
            budgets.vector_cache_bytes,
            budgets.vector_cache_bytes > 0 ? &source.shared_vector_cache() : nullptr,
            &reader.input()};
    }
    return in;
}

void DiskAnnIndexReader::search(std::span<const float> query, uint64_t top_k, uint64_t l_search,
                                std::vector<int64_t>& ids, std::vector<float>& distances) {
    // A rejected query still leaves the record of one query.
    stats_ = DiskAnnSearchStats::for_queries(1);
    const std::span<const float> prepared = ds::prepare_diskann_query(query, header_.dimension, header_.metric, *scratch_);
    search_preprocessed(prepared, top_k, l_search, ids, distances);
}

void DiskAnnIndexReader::search_preprocessed(std::span<const float> query, uint64_t top_k, uint64_t l_search,
                                             std::vector<int64_t>& ids, std::vector<float>& distances) {
    stats_ = DiskAnnSearchStats::for_queries(1);
    ids.clear();
    distances.clear();
    if (top_k == 0) return;
    ensure_resident();

    // The scratch stays in place: this session is used by one thread at a
    // time and the views below never touch it, and search_preprocessed of the
    // search module recycles its adjacency windows on every way out, so the
    // next query finds it clean even after an error.
    ReaderSource source(*this);
    const ds::SingleSearchInput in = single_search_input(*this, source, session_read_plan(*this));
    ds::search_preprocessed(in, source, query, static_cast<size_t>(top_k), static_cast<size_t>(l_search), *scratch_,
                            stats_, ids, distances);
}

void DiskAnnIndexReader::warmup_queries(std::span<const float> queries, uint64_t l_search) {
    const uint64_t d = header_.dimension;
    if (d == 0 ? !queries.empty() : queries.size() % d != 0) {
        invalid_input("warmup query length {} is not divisible by dimension {}", queries.size(), d);
    }
    for (const float v : queries) {
        if (!std::isfinite(v)) invalid_input("warmup query values must be finite");
    }
    optimize_for_search();
    if (queries.empty()) return;
    // Warm-up is not a search of the host's: its record stays as it was.
    const DiskAnnSearchStats saved = stats_;
    std::vector<int64_t> ids;
    std::vector<float> distances;
    try {
        for (size_t at = 0; at < queries.size(); at += d) {
            search(queries.subspan(at, d), 1, l_search, ids, distances);
        }
    } catch (...) {
        stats_ = saved;
        throw;
    }
    stats_ = saved;
}

}  // namespace tavren::diskann_io
