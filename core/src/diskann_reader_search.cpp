// The DiskANN reader's single-query search: the search module's narrow views
// implemented over the reader's resident data (no second cache, no copy of
// a section), and the query entry that ties the stages together.
#include <cmath>
#include <span>
#include <vector>

#include "diskann_format.hpp"
#include "diskann_io.hpp"
#include "diskann_search.hpp"
#include "diskann_search_load.hpp"
#include "diskann_windows.hpp"
#include "error.hpp"
#include "read_options.hpp"

namespace tavren::diskann_io {

namespace {

namespace ds = diskann_search;
namespace fmtd = diskann_format;

ds::LockWait to_search_lock(const LockWait& w) noexcept { return ds::LockWait{w.acquisitions, w.wait_ns}; }

// The reader's shared window cache as the loaders see it. A reservation the
// cache hands out is released to the loader, which publishes or cancels the
// offset itself on every way out.
class SharedCacheView final : public ds::SharedWindowCacheView {
public:
    explicit SharedCacheView(SharedWindowCache& cache) noexcept : cache_(&cache) {}

    ds::SharedLookup lookup_or_reserve(uint64_t offset, uint64_t len) override {
        SharedWindowLookup found = cache_->lookup_or_reserve(offset, len);
        ds::SharedLookup out;
        out.lock = to_search_lock(found.lock_wait);
        switch (found.kind) {
            case SharedWindowLookup::Kind::Hit:
                out.kind = ds::SharedLookupKind::Hit;
                out.window = std::move(found.window);
                break;
            case SharedWindowLookup::Kind::Reserved:
                out.kind = ds::SharedLookupKind::Reserved;
                found.reservation.release();
                break;
            case SharedWindowLookup::Kind::Wait:
                out.kind = ds::SharedLookupKind::Wait;
                break;
        }
        return out;
    }
    ds::SharedPublish publish(uint64_t offset, ds::SharedWindow window) override {
        const WindowPublishResult r = cache_->publish(offset, std::move(window));
        return ds::SharedPublish{r.evicted, to_search_lock(r.lock_wait)};
    }
    ds::LockWait cancel(std::span<const uint64_t> offsets) override {
        return to_search_lock(cache_->cancel(offsets));
    }
    ds::SharedWaitResult wait_for(uint64_t offset, uint64_t len) override {
        WindowWaitResult r = cache_->wait_for(offset, len);
        return ds::SharedWaitResult{std::move(r.window), to_search_lock(r.lock_wait)};
    }

private:
    SharedWindowCache* cache_;
};

// What the beam search and the reranks read of the reader: locators, the
// once-per-family page validation, the PQ table and row IDs, all from the
// resident data the reader shares with its clones.
class ReaderSource final : public ds::DiskAnnSearchSource {
public:
    explicit ReaderSource(const DiskAnnIndexReader& reader)
        : reader_(reader), resident_(reader.resident()),
          adjacency_view_(*resident_.adjacency_cache), vector_view_(*resident_.raw_vector_cache) {}

    AdjacencyLocator adjacency_locator(size_t node) const override { return reader_.adjacency_locator(node); }
    void validate_page_once(uint64_t page, std::span<const uint8_t> page_bytes) override {
        resident_.adjacency_validation->validate_page(page, page_bytes, reader_.header(), resident_.adjacency_index);
    }
    ds::SharedWindowCacheView& shared_adjacency_cache() override { return adjacency_view_; }
    void compute_distance_table(std::span<const float> query, std::span<float> table) const override {
        resident_.pq.compute_distance_table(query, reader_.header().metric, table);
    }
    int64_t row_id(size_t node) const override { return reader_.row_id(node); }

    ds::SharedWindowCacheView& shared_vector_cache() noexcept { return vector_view_; }

private:
    const DiskAnnIndexReader& reader_;
    DiskAnnResidentData& resident_;
    SharedCacheView adjacency_view_;
    SharedCacheView vector_view_;
};

}  // namespace

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
    // The scratch stays in place: this session is used by one thread at a
    // time and the views never touch it, and search_preprocessed of the
    // search module recycles its adjacency windows on every way out, so the
    // next query finds it clean even after an error.
    with_search_input([&](const ds::SingleSearchInput& in, ds::DiskAnnSearchSource& source) {
        ds::search_preprocessed(in, source, query, static_cast<size_t>(top_k), static_cast<size_t>(l_search),
                                *scratch_, stats_, ids, distances);
    });
}

void DiskAnnIndexReader::with_search_input(const SearchInputVisitor& f) {
    ensure_resident();
    const read_options::ReadPlan plan =
        read_options::ReadPlan::default_for(read_profile()).with_capabilities(read_capabilities_);
    const auto& pages = header_.sections[fmtd::kSectionAdjacencyPages];
    const DiskAnnResidentData& res = resident();
    ReaderSource source(*this);

    const ds::AdjacencyLoadInput load{diskann_windows::ReadWindowPlanner(pages.offset, pages.length, plan.window_bytes),
                                      adjacency_preload(), input_.get(), cache_budgets_.adjacency_cache_bytes > 0};
    ds::SingleSearchInput in{
        ds::GraphSearchInput{load, header_.vector_count, header_.entry_node, header_.max_degree, res.pq_codes,
                             header_.pq_m, header_.pq_bits},
        plan.beam_width, header_.interleaved(), std::nullopt, std::nullopt};
    if (in.interleaved) {
        in.interleaved_rerank =
            ds::InterleavedRerankInput{load, header_.record_bytes, header_.raw_vector_encoding, header_.metric};
    } else {
        const auto& raw = header_.sections[fmtd::kSectionRawVectors];
        in.raw = ds::RawVectorRerankInput{
            diskann_windows::VectorWindowPlanner::create(plan, raw.offset, raw.length, header_.record_bytes),
            header_.raw_vector_encoding,
            header_.metric,
            cache_budgets_.vector_cache_bytes,
            cache_budgets_.vector_cache_bytes > 0 ? &source.shared_vector_cache() : nullptr,
            input_.get()};
    }
    f(in, source);
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
