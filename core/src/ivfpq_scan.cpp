#include "ivfpq_scan.hpp"

#include <algorithm>
#include <bit>

#include "distance.hpp"
#include "error.hpp"
#include "metric.hpp"

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
};

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

PqScanner::PqScanner(const ScanIndex& index, TableMethod method) : index_(index), method_(method) {
    TD_ASSERT(index_.pq != nullptr, "IVF-PQ scanner needs a product quantizer");
    TD_ASSERT(method_ != TableMethod::Precomputed ||
                  index_.precomputed.size() == index_.centroids.size() / std::max<size_t>(index_.d, 1) * index_.m *
                                                   index_.ksub,
              "IVF-PQ precomputed table does not match nlist * m * ksub");
}

uint64_t PqScanner::query_table_bytes() const noexcept {
    if (method_ == TableMethod::PerPair) return 0;
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
        q.table.assign(n, 0.0f);
        index_.pq->compute_distance_table(query, index_.metric, q.table);
    }
    return q;
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
        case TableMethod::QueryTable:
            std::copy(q.table.begin(), q.table.end(), out.begin());
            return 0.0f;
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
        table = q.table;
    } else {
        coarse = fill_table(q, list, s.table);
        table = s.table;
    }
    scan_reader_codes(table, codes, ids, coarse, index_.m, index_.nbits, matching ? &*matching : nullptr, s.dist,
                      s.lut, heap);
}

}  // namespace tavren::ivfpq
