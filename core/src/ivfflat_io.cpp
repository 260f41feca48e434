#include "ivfflat_io.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "distance.hpp"
#include "error.hpp"
#include "ivfflat_format.hpp"
#include "numeric.hpp"

namespace tavren::ivfflat_io {

namespace util = index_io_util;
namespace fmtv = ivfflat_format;

ivf_lists::ListFormat flat_list_format(size_t d) {
    return ivf_lists::ListFormat{"IVF-FLAT", static_cast<uint64_t>(d) * 4, 4};
}

// ---- Read buffers ----------------------------------------------------------------

AlignedFlatPayload::AlignedFlatPayload(uint64_t total_len, uint64_t prefix_len, uint64_t row_bytes)
    : ivf_lists::AlignedPayload(total_len, prefix_len, row_bytes, flat_list_format(1)) {}

// ---- Flat scan -------------------------------------------------------------------

namespace {

// The rows of a run against a block of prepared queries, each row read once
// per four queries; heap j receives what scan_prepared gives it for query j.
void scan_block_prepared(std::span<const FlatScanner::Query* const> queries, std::span<const int64_t> row_ids,
                         std::span<const float> rows, size_t d, uint32_t metric, const RowIdFilter* filter,
                         std::span<ReaderTopKHeap* const> heaps) {
    assert_eq(queries.size(), heaps.size(), "one heap per query of a block");
    const size_t n = row_ids.size();
    check_len(saturating_mul(n, d), rows.size());
    if (n == 0 || queries.empty()) return;
    for (const FlatScanner::Query* q : queries) assert_eq(q->values.size(), d, "query length must equal the index dimension");

    // Rows go in chunks small enough to stay in the second-level cache while
    // the queries pass over them four at a time. Under l2 a full heap's worst
    // rank, taken before a chunk, bounds its queries' distances: a tile whose
    // sums all pass their bounds stops early, and what it gives instead (+inf)
    // the heap refuses as it would the distance itself, since its worst only
    // falls while the chunk is pushed.
    constexpr size_t kChunkRows = 32;
    constexpr size_t kSub = distance::kQueryBlockMax;
    float dist[kChunkRows * kSub];
    size_t picked[kChunkRows];
    const float* qp[kSub];
    float qn[kSub];
    float bound[kSub];
    const bool bounded = metric == kMetricL2;
    const float* base = rows.data();
    for (size_t r0 = 0; r0 < n; r0 += kChunkRows) {
        const size_t m = std::min(kChunkRows, n - r0);
        if (filter == nullptr) {
            for (size_t j0 = 0; j0 < queries.size(); j0 += kSub) {
                const size_t b = std::min(kSub, queries.size() - j0);
                for (size_t j = 0; j < b; ++j) {
                    qp[j] = queries[j0 + j]->values.data();
                    qn[j] = queries[j0 + j]->norm;
                    const ReaderTopKHeap& h = *heaps[j0 + j];
                    bound[j] = h.full() ? h.worst_rank() : std::numeric_limits<float>::infinity();
                }
                distance::query_block_distances(std::span<const float* const>(qp, b), std::span<const float>(qn, b),
                                                metric, base + r0 * d, m, d, dist,
                                                bounded ? std::span<const float>(bound, b) : std::span<const float>());
                for (size_t r = 0; r < m; ++r) {
                    const int64_t id = row_ids[r0 + r];
                    for (size_t j = 0; j < b; ++j) heaps[j0 + j]->push(id, dist[r * b + j]);
                }
            }
            continue;
        }
        // Rows the filter lacks get no distance work; the others are scored
        // one at a time against each group of four queries.
        size_t kept = 0;
        for (size_t r = 0; r < m; ++r) {
            if (filter->contains(row_ids[r0 + r])) picked[kept++] = r0 + r;
        }
        for (size_t j0 = 0; j0 < queries.size(); j0 += kSub) {
            const size_t b = std::min(kSub, queries.size() - j0);
            for (size_t j = 0; j < b; ++j) {
                qp[j] = queries[j0 + j]->values.data();
                qn[j] = queries[j0 + j]->norm;
            }
            for (size_t t = 0; t < kept; ++t) {
                distance::query_block_distances(std::span<const float* const>(qp, b), std::span<const float>(qn, b),
                                                metric, base + picked[t] * d, 1, d, dist);
                for (size_t j = 0; j < b; ++j) heaps[j0 + j]->push(row_ids[picked[t]], dist[j]);
            }
        }
    }
}

// The rows of a run against a prepared query.
void scan_prepared(const FlatScanner::Query& query, std::span<const int64_t> row_ids, std::span<const float> rows,
                   size_t d, uint32_t metric, const RowIdFilter* filter, ReaderTopKHeap& heap) {
    const size_t n = row_ids.size();
    check_len(saturating_mul(n, d), rows.size());
    if (n == 0) return;
    const float* base = rows.data();
    if (metric == kMetricL2) {
        for (size_t i = 0; i < n; ++i) {
            const int64_t id = row_ids[i];
            if (filter != nullptr && !filter->contains(id)) continue;
            const std::span<const float> row(base + i * d, d);
            if (heap.full()) {
                const float threshold = heap.worst_rank();
                if (threshold < 0.0f) continue;
                if (distance::fvec_l2sqr_scaled_exceeds(query.values, row, 1.0f, threshold)) continue;
            }
            heap.push(id, distance::fvec_l2sqr(query.values, row));
        }
        return;
    }
    // Inner product and cosine take every distance in full: several rows at a
    // time, and under cosine the row norm in the pass of the dot product.
    const FlatScanner::Query* q = &query;
    ReaderTopKHeap* h = &heap;
    scan_block_prepared(std::span<const FlatScanner::Query* const>(&q, 1), row_ids, rows, d, metric, filter,
                        std::span<ReaderTopKHeap* const>(&h, 1));
}

}  // namespace

FlatScanner::Query FlatScanner::prepare(std::span<const float> query) const {
    return Query{query, metric == kMetricCosine ? std::sqrt(distance::fvec_norm_l2sqr(query)) : 0.0f};
}

void FlatScanner::scan(const Query& query, std::span<const int64_t> row_ids, std::span<const uint8_t> codes,
                       const RowIdFilter* filter, ReaderTopKHeap& heap) const {
    // The store puts f32 codes on a 4-byte boundary.
    const std::span<const float> rows(reinterpret_cast<const float*>(codes.data()), codes.size() / 4);
    scan_prepared(query, row_ids, rows, d, metric, filter, heap);
}

void FlatScanner::scan_block(std::span<const Query* const> queries, std::span<const int64_t> row_ids,
                             std::span<const uint8_t> codes, const RowIdFilter* filter,
                             std::span<ReaderTopKHeap* const> heaps) const {
    // The store puts f32 codes on a 4-byte boundary.
    const std::span<const float> rows(reinterpret_cast<const float*>(codes.data()), codes.size() / 4);
    scan_block_prepared(queries, row_ids, rows, d, metric, filter, heaps);
}

void scan_flat_rows(std::span<const float> query, std::span<const int64_t> row_ids, std::span<const float> rows,
                    size_t d, uint32_t metric, const RowIdFilter* filter, ReaderTopKHeap& heap) {
    scan_prepared(FlatScanner{d, metric}.prepare(query), row_ids, rows, d, metric, filter, heap);
}

void scan_flat_list(std::span<const float> query, const FlatListData& list, size_t d, uint32_t metric,
                    const RowIdFilter* filter, ReaderTopKHeap& heap) {
    scan_flat_rows(query, list.ids, list.rows.vectors(), d, metric, filter, heap);
}

void merge_flat_results(ReaderTopKHeap& heap, PartialResult partial) {
    ivf_search::merge_partial(heap, partial);
}

void merge_flat_results(ReaderTopKHeap& heap, std::span<const ScoredRow> partial) {
    ivf_search::merge_partial(heap, partial);
}

void seed_flat_heaps(std::span<ReaderTopKHeap> heaps, std::span<const int64_t> seed_ids,
                     std::span<const float> seed_distances, size_t k) {
    ivf_search::seed_heaps(heaps, seed_ids, seed_distances, k);
}

SearchResult padded_flat_results(ReaderTopKHeap heap, size_t k) { return ivf_search::padded_results(std::move(heap), k); }

// ---- Reader ------------------------------------------------------------------------

IVFFlatIndexReader::IVFFlatIndexReader() = default;
IVFFlatIndexReader::IVFFlatIndexReader(IVFFlatIndexReader&&) noexcept = default;
IVFFlatIndexReader& IVFFlatIndexReader::operator=(IVFFlatIndexReader&&) noexcept = default;
IVFFlatIndexReader::~IVFFlatIndexReader() = default;

IVFFlatIndexReader IVFFlatIndexReader::open_with_header(std::unique_ptr<io::SeekRead> input,
                                                        std::span<const uint8_t, 64> header) {
    TD_ASSERT(input != nullptr, "IVF-FLAT reader needs an input");
    const fmtv::Header h = fmtv::Header::decode_from(header);
    if (h.magic != fmtv::kMagic) invalid_data("Invalid IVFFLAT magic: 0x{:08X}", h.magic);
    if (h.version != fmtv::kVersion) invalid_data("Unsupported IVFFLAT version: {}", h.version);
    util::validate_positive_i32(h.dimension, "d");
    util::validate_positive_i32(h.nlist, "nlist");
    if (h.metric > 2) invalid_data("Unknown metric type: {}", h.metric);
    util::validate_reserved_zero(header.subspan(fmtv::kReservedAt, fmtv::kReservedBytes), "IVFFLAT");
    if ((h.flags & ~fmtv::kFlagDeltaIds) != 0) {
        invalid_data("Unsupported IVFFLAT flags: 0x{:08X}", h.flags & ~fmtv::kFlagDeltaIds);
    }
    if (h.flags == 0) invalid_data("IVFFLAT v1 requires delta IDs");

    IVFFlatIndexReader reader;
    reader.input_ = std::move(input);
    reader.d_ = static_cast<size_t>(h.dimension);
    reader.nlist_ = static_cast<size_t>(h.nlist);
    reader.total_ = h.total;
    reader.metric_ = h.metric;
    reader.lists_ = ivf_lists::ListStore(flat_list_format(reader.d_), reader.nlist_);
    return reader;
}

void IVFFlatIndexReader::ensure_loaded() {
    if (loaded_) return;
    load_metadata();
}

void IVFFlatIndexReader::load_metadata() {
    ivf_lists::Metadata m =
        ivf_lists::load_metadata(*input_, fmtv::kHeaderBytes, nlist_, d_, total_, lists_.budgets(), "IVF-FLAT");
    centroids_ = std::move(m.centroids);
    lists_.set_table(std::move(m.table));
    loaded_ = true;
}

void IVFFlatIndexReader::set_read_budgets_for_testing(const ReadBudgets& budgets) { lists_.set_budgets(budgets); }

int32_t IVFFlatIndexReader::list_count(size_t list) const { return lists_.count(list); }

uint64_t IVFFlatIndexReader::list_payload_len(size_t list) const { return lists_.payload_len(list); }

size_t IVFFlatIndexReader::batch_read_end(std::span<const size_t> lists) const {
    return lists_.batch_read_end(*input_, lists);
}

std::vector<FlatListData> IVFFlatIndexReader::read_inverted_lists(std::span<const size_t> lists) {
    ensure_loaded();
    std::vector<ivf_lists::ListData> read = lists_.read_lists(*input_, lists);
    std::vector<FlatListData> out(read.size());
    for (size_t i = 0; i < read.size(); ++i) {
        out[i].ids = std::move(read[i].ids);
        out[i].rows = AlignedFlatPayload(std::move(read[i].codes));
        out[i].list = read[i].list;
    }
    return out;
}

std::span<const FlatListView> IVFFlatIndexReader::read_inverted_list_views(std::span<const size_t> lists) {
    ensure_loaded();
    const std::span<const ivf_lists::ListView> views = lists_.read_views(*input_, lists);
    flat_views_.resize(views.size());
    for (size_t i = 0; i < views.size(); ++i) {
        const std::span<const uint8_t> codes = views[i].codes;
        flat_views_[i] = FlatListView{views[i].ids,
                                      std::span<const float>(reinterpret_cast<const float*>(codes.data()), codes.size() / 4),
                                      views[i].list};
    }
    return flat_views_;
}

void IVFFlatIndexReader::read_list_streamed(size_t list, const ChunkConsumer& consumer) {
    ensure_loaded();
    lists_.read_streamed(*input_, list, [&](std::span<const int64_t> ids, std::span<const uint8_t> codes) {
        consumer(ids, std::span<const float>(reinterpret_cast<const float*>(codes.data()), codes.size() / 4));
    });
}

size_t IVFFlatIndexReader::scratch_bytes() const noexcept {
    size_t n = lists_.scratch_bytes() + flat_views_.capacity() * sizeof(FlatListView);
    if (search_scratch_) n += search_scratch_->bytes();
    return n;
}

ivf_search::ReaderView IVFFlatIndexReader::view() {
    if (!search_scratch_) search_scratch_ = std::make_unique<ivf_search::SearchScratch>();
    return ivf_search::ReaderView{lists_, *input_, *search_scratch_, centroids_, d_, nlist_, metric_};
}

// ---- Searches ------------------------------------------------------------------------

SearchResult IVFFlatIndexReader::search_with_filter(std::span<const float> query, size_t k, size_t nprobe,
                                                    const row_id_filter::RowIdFilter* filter) {
    ensure_loaded();
    return ivf_search::search_one(view(), scanner(), query, k, nprobe, filter);
}

SearchResult IVFFlatIndexReader::search_batch_range(std::span<const float> queries, size_t nq, size_t k,
                                                   size_t probe_start, size_t probe_end,
                                                   std::span<const int64_t> seed_ids,
                                                   std::span<const float> seed_distances,
                                                   const row_id_filter::RowIdFilter* filter) {
    ensure_loaded();
    return ivf_search::search_batch(view(), scanner(), queries, nq, k, probe_start, probe_end, seed_ids,
                                    seed_distances, filter);
}

SearchResult search_batch_ivfflat_reader_filter_range(IVFFlatIndexReader& reader, std::span<const float> queries,
                                                      size_t nq, size_t k, size_t probe_start, size_t probe_end,
                                                      std::span<const int64_t> seed_ids,
                                                      std::span<const float> seed_distances,
                                                      const row_id_filter::RowIdFilter* filter) {
    return reader.search_batch_range(queries, nq, k, probe_start, probe_end, seed_ids, seed_distances, filter);
}

}  // namespace tavren::ivfflat_io
