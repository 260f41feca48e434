// The search module's narrow views implemented over a DiskANN reader's
// resident data (no second cache, no copy of a section), shared by the
// reader's single-query, batch and calibration code. Internal to the reader:
// nothing outside diskann_reader_search.cpp and diskann_batch.cpp includes it.
//
// Thread rules: a view belongs to one session and one thread; what it
// reaches (the shared caches, the validation state) is safe across sessions.
#pragma once

#include <span>

#include "diskann_format.hpp"
#include "diskann_io.hpp"
#include "diskann_search.hpp"
#include "diskann_search_load.hpp"
#include "diskann_windows.hpp"
#include "read_options.hpp"

namespace tavren::diskann_io {

namespace ds = diskann_search;

inline ds::LockWait to_search_lock(const LockWait& w) noexcept { return ds::LockWait{w.acquisitions, w.wait_ns}; }

// The reader's shared window cache as the loaders see it. A reservation the
// cache hands out is released to the loader, which publishes or cancels the
// offset itself on every way out.
class SharedCacheView final : public ds::SharedWindowCacheView {
public:
    explicit SharedCacheView(SharedWindowCache& cache) noexcept : cache_(&cache) {}

    size_t shard_count() const noexcept override { return cache_->shard_count(); }
    size_t shard_of(uint64_t offset) const noexcept override { return cache_->shard_of(offset); }
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
        // A page found valid once stays valid: answer from its state byte
        // without building the check, which would allocate on every round.
        AdjacencyValidationCache& validation = *resident_.adjacency_validation;
        if (validation.state(page) == AdjacencyValidationCache::kValid) return;
        validation.validate_page(page, page_bytes, reader_.header(), resident_.adjacency_index);
    }
    ds::SharedWindowCacheView& shared_adjacency_cache() override { return adjacency_view_; }
    void compute_distance_table(std::span<const float> query, std::span<float> table) const override {
        resident_.pq.compute_distance_table_by_dimension(query, reader_.header().metric, table);
    }
    int64_t row_id(size_t node) const override { return reader_.row_id(node); }

    ds::SharedWindowCacheView& shared_vector_cache() noexcept { return vector_view_; }

private:
    const DiskAnnIndexReader& reader_;
    DiskAnnResidentData& resident_;
    SharedCacheView adjacency_view_;
    SharedCacheView vector_view_;
};


// The read plan of a session: the profile's defaults adjusted to the host's hints.
inline read_options::ReadPlan session_read_plan(const DiskAnnIndexReader& reader) {
    return read_options::ReadPlan::default_for(reader.read_profile()).with_capabilities(reader.read_capabilities());
}

// Everything one query needs of the session (header, read plan, preload,
// budgets), with `source` as its view of the resident data. The resident
// sections must be loaded. InvalidData "DiskANN raw-vector record size must
// be greater than zero" from the raw-vector planner.
ds::SingleSearchInput single_search_input(const DiskAnnIndexReader& reader, ReaderSource& source,
                                          const read_options::ReadPlan& plan);

}  // namespace tavren::diskann_io
