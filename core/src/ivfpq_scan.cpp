#include "ivfpq_scan.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <limits>

#include "distance.hpp"
#include "error.hpp"
#include "metric.hpp"
#include "numeric.hpp"

namespace tavren::ivfpq {

namespace kern = ivfpq_scan_kernels;

namespace {

// One worker's buffers, kept from list to list and search to search; they
// only grow, so a scan allocates only when a list is larger than any before.
struct ScanScratch {
    std::vector<float> table;
    std::vector<float> residual;
    std::vector<float> dist;
    std::vector<uint8_t> lut;
    std::vector<uint64_t> words;
    // The split's stable table of the last list this worker scored, and whose.
    std::vector<double> stable;
    uint64_t stable_generation = 0;
    size_t stable_list = std::numeric_limits<size_t>::max();
};

std::atomic<uint64_t> next_generation{1};

ScanScratch& scratch() {
    thread_local ScanScratch s;
    return s;
}

template <class Visit>
void for_each_match(const MatchingRows& m, Visit&& visit) {
    for (size_t w = 0; w < m.words.size(); ++w) {
        uint64_t bits = m.words[w];
        while (bits != 0) {
            visit(w * 64 + static_cast<size_t>(std::countr_zero(bits)));
            bits &= bits - 1;
        }
    }
}

void offer_all(std::span<const float> dist, std::span<const int64_t> ids, float add, const MatchingRows* matching,
               TopKHeap& heap) {
    if (matching == nullptr) {
        for (size_t r = 0; r < ids.size(); ++r) heap.push(ids[r], dist[r] + add);
    } else {
        for_each_match(*matching, [&](size_t r) { heap.push(ids[r], dist[r] + add); });
    }
}

}  // namespace

std::vector<double> compute_stable_ephemeral_pq_norms(const pq::ProductQuantizer& pq) {
    const size_t m = pq.m();
    const size_t ksub = pq.ksub();
    const std::span<const size_t> off = pq.chunk_offsets();
    const std::span<const float> book = pq.centroids();
    std::vector<double> norms(m * ksub, 0.0);
    for (size_t j = 0; j < m; ++j) {
        const size_t w = off[j + 1] - off[j];
        const float* y = book.data() + off[j] * ksub;
        for (size_t c = 0; c < ksub; ++c) {
            double s = 0.0;
            for (size_t t = 0; t < w; ++t) s = s + static_cast<double>(y[c * w + t]) * static_cast<double>(y[c * w + t]);
            norms[j * ksub + c] = s;
        }
    }
    return norms;
}

namespace {

// The codebook with each sub-quantizer's codewords transposed (dimension-
// major: entry offsets[j] * ksub + t * ksub + c), so the f64 dot rows load
// eight codewords' values at once.
std::vector<float> transposed_codebook(const pq::ProductQuantizer& pq) {
    const size_t m = pq.m();
    const size_t ksub = pq.ksub();
    const std::span<const size_t> off = pq.chunk_offsets();
    const std::span<const float> book = pq.centroids();
    std::vector<float> t(book.size());
    for (size_t j = 0; j < m; ++j) {
        const size_t w = off[j + 1] - off[j];
        const float* y = book.data() + off[j] * ksub;
        float* yt = t.data() + off[j] * ksub;
        for (size_t c = 0; c < ksub; ++c) {
            for (size_t d = 0; d < w; ++d) yt[d * ksub + c] = y[c * w + d];
        }
    }
    return t;
}

// out[j * ksub + c] = <v_j, y(j, c)> in f64.
void dot_table(std::span<const float> v, const pq::ProductQuantizer& pq, std::span<const float> book_t,
               std::vector<double>& out) {
    const size_t m = pq.m();
    const size_t ksub = pq.ksub();
    const std::span<const size_t> off = pq.chunk_offsets();
    check_len(pq.centroids().size(), book_t.size());
    out.resize(m * ksub);
    for (size_t j = 0; j < m; ++j) {
        kern::dot_rows_f64(v.data() + off[j], book_t.data() + off[j] * ksub, off[j + 1] - off[j], ksub,
                           out.data() + j * ksub);
    }
}

void list_table(std::span<const float> centroid, const pq::ProductQuantizer& pq, std::span<const float> book_t,
                std::span<const double> norms, std::vector<double>& out) {
    check_len(static_cast<uint64_t>(pq.m()) * pq.ksub(), norms.size());
    dot_table(centroid, pq, book_t, out);
    for (size_t i = 0; i < out.size(); ++i) out[i] = (out[i] + out[i]) + norms[i];
}

}  // namespace

void fill_stable_ephemeral_list_table(std::span<const float> centroid, size_t d, const pq::ProductQuantizer& pq,
                                      std::span<const double> norms, std::vector<double>& out) {
    check_len(d, centroid.size());
    list_table(centroid, pq, transposed_codebook(pq), norms, out);
}

void fill_stable_ephemeral_query_table(std::span<const float> query, size_t d, const pq::ProductQuantizer& pq,
                                       std::vector<double>& out) {
    check_len(d, query.size());
    dot_table(query, pq, transposed_codebook(pq), out);
}

void combine_stable_ephemeral_tables(std::span<const double> stable, std::span<const double> ephemeral,
                                     std::span<const float> query, std::span<const float> centroid,
                                     const pq::ProductQuantizer& pq, std::vector<float>& out) {
    const size_t m = pq.m();
    const size_t ksub = pq.ksub();
    const std::span<const size_t> off = pq.chunk_offsets();
    check_len(static_cast<uint64_t>(m) * ksub, stable.size());
    check_len(static_cast<uint64_t>(m) * ksub, ephemeral.size());
    check_len(off.back(), query.size());
    check_len(off.back(), centroid.size());
    out.resize(m * ksub);
    for (size_t j = 0; j < m; ++j) {
        double r = 0.0;
        for (size_t t = off[j]; t < off[j + 1]; ++t) {
            const double diff = static_cast<double>(query[t]) - static_cast<double>(centroid[t]);
            r += diff * diff;
        }
        kern::combine_rows_f64(stable.data() + j * ksub, ephemeral.data() + j * ksub, r, ksub, out.data() + j * ksub);
    }
}

MatchingRows matching_rows(std::span<const int64_t> ids, const RowIdFilter& filter, std::vector<uint64_t>& words) {
    const size_t n = ids.size();
    words.assign((n + 63) / 64, 0);
    size_t count = 0;
    for (size_t r = 0; r < n; ++r) {
        if (filter.contains(ids[r])) {
            words[r / 64] |= uint64_t{1} << (r % 64);
            ++count;
        }
    }
    return MatchingRows{words, count};
}

void scan_reader_codes(std::span<const float> table, std::span<const uint8_t> codes, std::span<const int64_t> ids,
                       float coarse, size_t m, size_t nbits, const MatchingRows* matching, std::vector<float>& dist,
                       std::vector<uint8_t>& lut, TopKHeap& heap) {
    const size_t rows = ids.size();
    if (rows == 0 || (matching != nullptr && matching->count == 0)) return;
    const size_t ksub = size_t{1} << nbits;
    const size_t code_bytes = nbits == 4 ? m - m / 2 : m;
    check_len(static_cast<uint64_t>(m) * ksub, table.size());
    check_len(static_cast<uint64_t>(rows) * code_bytes, codes.size());
    if (matching != nullptr) check_len((rows + 63) / 64, matching->words.size());

    if (nbits == 8) {
        if (matching != nullptr && 8 * matching->count <= rows) {
            // Few matches: scattered reads of only their codes.
            for_each_match(*matching, [&](size_t r) {
                heap.push(ids[r], kern::scan8_row(table.data(), codes.data(), rows, r, m, coarse));
            });
            return;
        }
        if (dist.size() < rows) dist.resize(rows);
        kern::scan8_all(table.data(), codes.data(), rows, m, coarse, dist.data());
        offer_all(dist, ids, 0.0f, matching, heap);
        return;
    }

    // 4-bit: the first rows exactly, the rest from the 8-bit quantised table;
    // every row is scored whatever the filter, then matching rows offered.
    if (dist.size() < rows) dist.resize(rows);
    const size_t exact = std::min(rows, kExactRows4);
    kern::scan4_exact(table.data(), codes.data(), rows, 0, exact, code_bytes, dist.data());
    if (rows > exact) {
        if (lut.size() < m * 16) lut.resize(m * 16);
        const kern::QuantizedTable q = kern::quantize_table4(table.first(m * 16), m, lut);
        kern::scan4_fast(lut.data(), codes.data(), rows, exact, rows, code_bytes, q, dist.data());
    }
    offer_all(dist, ids, coarse, matching, heap);
}

PqScanner::PqScanner(const ScanIndex& index, TableMethod method, bool auto_split)
    : index_(index), method_(method), auto_split_(auto_split) {
    TD_ASSERT(index_.pq != nullptr, "IVF-PQ scanner needs a product quantizer");
    TD_ASSERT(method_ != TableMethod::Precomputed ||
                  index_.precomputed.size() == index_.centroids.size() / std::max<size_t>(index_.d, 1) * index_.m *
                                                   index_.ksub,
              "IVF-PQ precomputed table does not match nlist * m * ksub");
    TD_ASSERT(method_ != TableMethod::Split || (index_.by_residual && index_.nbits == 8),
              "IVF-PQ split tables need 8-bit residual codes");
    if (method_ == TableMethod::Split) {
        norms_ = compute_stable_ephemeral_pq_norms(*index_.pq);
        book_t_ = transposed_codebook(*index_.pq);
        generation_ = next_generation.fetch_add(1, std::memory_order_relaxed);
    }
}

void PqScanner::plan_batch(size_t lists, uint64_t pairs, size_t active) const {
    if (method_ != TableMethod::Split) return;
    // Auto: the split builds lists + active tables where per-pair tables
    // build `pairs`; it pays from twice as many pairs.
    const uint64_t tables = saturating_add(static_cast<uint64_t>(lists), static_cast<uint64_t>(active));
    split_active_ = lists >= 1 && (!auto_split_ || pairs >= saturating_mul(tables, 2));
}

uint64_t PqScanner::query_table_bytes() const noexcept {
    if (method_ == TableMethod::PerPair || method_ == TableMethod::Split) return 0;
    return static_cast<uint64_t>(index_.m) * index_.ksub * sizeof(float);
}

PqScanner::Query PqScanner::prepare(std::span<const float> query) const {
    Query q;
    q.values = query;
    const size_t n = index_.m * index_.ksub;
    if (method_ == TableMethod::Precomputed) {
        q.table.assign(n, 0.0f);
        index_.pq->compute_inner_product_table(query, q.table);
    } else if (method_ == TableMethod::QueryTable) {
        q.table_once = std::make_unique<std::once_flag>();
    } else if (method_ == TableMethod::Split && split_active_) {
        check_len(index_.d, query.size());
        dot_table(query, *index_.pq, book_t_, q.ephemeral);
    }
    return q;
}

std::span<const float> PqScanner::query_table(const Query& q) const {
    TD_ASSERT(q.table_once != nullptr, "IVF-PQ query table without its guard");
    std::call_once(*q.table_once, [&] {
        q.table.assign(index_.m * index_.ksub, 0.0f);
        index_.pq->compute_distance_table(q.values, index_.metric, q.table);
        tables_built_.fetch_add(1, std::memory_order_relaxed);
    });
    return q.table;
}

float PqScanner::fill_table(const Query& q, size_t list, std::vector<float>& out) const {
    const size_t n = index_.m * index_.ksub;
    const size_t d = index_.d;
    out.resize(n);
    switch (method_) {
        case TableMethod::Precomputed: {
            check_len((static_cast<uint64_t>(list) + 1) * n, index_.precomputed.size());
            kern::sub_twice(index_.precomputed.data() + list * n, q.table.data(), n, out.data());
            return distance::fvec_l2sqr(q.values, index_.centroids.subspan(list * d, d));
        }
        case TableMethod::QueryTable: {
            const std::span<const float> t = query_table(q);
            std::copy(t.begin(), t.end(), out.begin());
            return 0.0f;
        }
        case TableMethod::Split:
            if (split_active_) {
                // One stable table per list and worker: the tasks of a list
                // score all their queries before moving on.
                ScanScratch& s = scratch();
                const std::span<const float> centroid = index_.centroids.subspan(list * d, d);
                if (s.stable_generation != generation_ || s.stable_list != list) {
                    list_table(centroid, *index_.pq, book_t_, norms_, s.stable);
                    s.stable_generation = generation_;
                    s.stable_list = list;
                }
                combine_stable_ephemeral_tables(s.stable, q.ephemeral, q.values, centroid, *index_.pq, out);
                return 0.0f;
            }
            break;
        case TableMethod::PerPair:
            break;
    }
    if (index_.by_residual) {
        ScanScratch& s = scratch();
        s.residual.resize(d);
        distance::fvec_madd(q.values, -1.0f, index_.centroids.subspan(list * d, d), s.residual);
        index_.pq->compute_distance_table(s.residual, index_.metric, out);
    } else {
        index_.pq->compute_distance_table(q.values, index_.metric, out);
    }
    return 0.0f;
}

void PqScanner::scan(const Query& q, std::span<const int64_t> ids, std::span<const uint8_t> codes,
                     const RowIdFilter* filter, TopKHeap& heap) const {
    TD_ASSERT(!index_.by_residual, "IVF-PQ residual codes are scanned with their list");
    scan_list(q, 0, ids, codes, filter, heap);
}

void PqScanner::scan_list(const Query& q, size_t list, std::span<const int64_t> ids, std::span<const uint8_t> codes,
                          const RowIdFilter* filter, TopKHeap& heap) const {
    if (ids.empty()) return;
    ScanScratch& s = scratch();
    std::optional<MatchingRows> matching;
    if (filter != nullptr) {
        matching = matching_rows(ids, *filter, s.words);
        // No match: no table is built and nothing is scored.
        if (matching->count == 0) return;
    }
    std::span<const float> table;
    float coarse = 0.0f;
    if (method_ == TableMethod::QueryTable) {
        table = query_table(q);
    } else {
        coarse = fill_table(q, list, s.table);
        table = s.table;
    }
    scan_reader_codes(table, codes, ids, coarse, index_.m, index_.nbits, matching ? &*matching : nullptr, s.dist,
                      s.lut, heap);
}

}  // namespace tavren::ivfpq
