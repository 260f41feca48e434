#include "diskann_search.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "distance.hpp"
#include "metric.hpp"

namespace tavren::diskann_search {

namespace {

// ---- PQ code access ---------------------------------------------------------------

// Start of node's code within `codes`; the three range messages.
inline const uint8_t* code_of(std::span<const uint8_t> codes, size_t code_bytes, uint64_t node) {
    const auto start = checked_mul(node, code_bytes);
    if (!start) invalid_data("DiskANN PQ code offset overflows");
    const auto end = checked_add(*start, code_bytes);
    if (!end) invalid_data("DiskANN PQ code range overflows");
    if (*end > codes.size()) invalid_data("DiskANN PQ codes are truncated");
    return codes.data() + *start;
}

void check_table(std::span<const float> table, const PqCodeLayout& layout) {
    if (table.size() < layout.m * layout.ksub) invalid_data("DiskANN PQ distance table is truncated");
}

// The scalar sum of one node, in subspace order.
inline float sum_8bit(const float* table, const uint8_t* c, size_t m) noexcept {
    float s = 0.0f;
    for (size_t j = 0; j < m; ++j) s += table[j * 256 + c[j]];
    return s;
}
inline float sum_4bit(const float* table, const uint8_t* c, size_t m) noexcept {
    float s = 0.0f;
    size_t j = 0;
    for (; j + 2 <= m; j += 2) {
        const uint8_t b = c[j >> 1];
        s += table[j * 16 + (b & 15)];
        s += table[(j + 1) * 16 + (b >> 4)];
    }
    if (j < m) s += table[j * 16 + (c[j >> 1] & 15)];
    return s;
}

// Four independent sums, each in subspace order (the bits of sum_8bit).
inline void sum4_8bit(const float* table, const uint8_t* c0, const uint8_t* c1, const uint8_t* c2,
                      const uint8_t* c3, size_t m, float out[4]) noexcept {
    float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f;
    for (size_t j = 0; j < m; ++j) {
        const float* t = table + j * 256;
        s0 += t[c0[j]];
        s1 += t[c1[j]];
        s2 += t[c2[j]];
        s3 += t[c3[j]];
    }
    out[0] = s0;
    out[1] = s1;
    out[2] = s2;
    out[3] = s3;
}
inline void sum4_4bit(const float* table, const uint8_t* c0, const uint8_t* c1, const uint8_t* c2,
                      const uint8_t* c3, size_t m, float out[4]) noexcept {
    float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f;
    size_t j = 0;
    for (; j + 2 <= m; j += 2) {
        const size_t b = j >> 1;
        const float* lo = table + j * 16;
        const float* hi = lo + 16;
        s0 += lo[c0[b] & 15];
        s1 += lo[c1[b] & 15];
        s2 += lo[c2[b] & 15];
        s3 += lo[c3[b] & 15];
        s0 += hi[c0[b] >> 4];
        s1 += hi[c1[b] >> 4];
        s2 += hi[c2[b] >> 4];
        s3 += hi[c3[b] >> 4];
    }
    if (j < m) {
        const size_t b = j >> 1;
        const float* lo = table + j * 16;
        s0 += lo[c0[b] & 15];
        s1 += lo[c1[b] & 15];
        s2 += lo[c2[b] & 15];
        s3 += lo[c3[b] & 15];
    }
    out[0] = s0;
    out[1] = s1;
    out[2] = s2;
    out[3] = s3;
}

// Prefetch every cache line of one node's code bytes (a code longer than a
// line, m = 196 say, spans four), when its offset is valid.
inline void prefetch_code(std::span<const uint8_t> codes, size_t code_bytes, uint32_t node) noexcept {
    const auto off = checked_mul(node, code_bytes);
    if (!off || *off >= codes.size()) return;
    prefetch_lines(codes.subspan(*off, std::min<size_t>(codes.size() - *off, code_bytes)));
}

template <class T>
void grow_for_one(std::vector<T>& v, const char* message) {
    if (v.size() < v.capacity()) return;
    try {
        v.reserve(std::max<size_t>(8, 2 * v.capacity()));
    } catch (const std::bad_alloc&) {
        invalid_input("{}", message);
    } catch (const std::length_error&) {
        invalid_input("{}", message);
    }
}

inline bool candidate_greater(const SearchCandidate& a, const SearchCandidate& b) noexcept {
    return candidate_less(b, a);
}

inline bool f32_bits_finite(uint32_t bits) noexcept { return (bits & 0x7F800000u) != 0x7F800000u; }

inline float load_le_f32(const uint8_t* p) noexcept {
    uint32_t bits;
    std::memcpy(&bits, p, 4);
    return std::bit_cast<float>(bits);
}

void check_f32_record(std::span<const float> query, std::span<const uint8_t> record) {
    if (record.size() % 4 != 0 || record.size() / 4 != query.size()) {
        invalid_data("DiskANN raw vector record has invalid length");
    }
}

}  // namespace

// ---- PQ scoring ----------------------------------------------------------------------

PqCodeLayout pq_code_layout(size_t m, uint32_t bits) {
    if (m == 0) invalid_data("DiskANN PQ subspace count must be positive");
    PqCodeLayout layout;
    layout.m = m;
    if (bits == 4) {
        layout.ksub = 16;
        layout.code_bytes = m - m / 2;
    } else if (bits == 8) {
        layout.ksub = 256;
        layout.code_bytes = m;
    } else {
        invalid_data("DiskANN PQ bits must be 4 or 8");
    }
    if (!checked_mul(m, layout.ksub)) invalid_data("DiskANN PQ distance-table length overflows");
    return layout;
}

void score_pq_neighbors(std::span<const float> table, std::span<const uint8_t> codes, size_t m, uint32_t bits,
                        std::span<const uint32_t> nodes, std::vector<ScoredNeighbor>& out) {
    const PqCodeLayout layout = pq_code_layout(m, bits);
    check_table(table, layout);
    out.clear();
    out.reserve(nodes.size());
    const size_t cb = layout.code_bytes;
    const bool eight = bits == 8;
    const float* t = table.data();
    const size_t ahead = cb > 256 ? 4 : std::min<size_t>(16, std::max<size_t>(4, 256 / cb));
    const size_t n = nodes.size();
    size_t i = 0;
    // Two groups of four at a time through the eight-lane kernels: each
    // node's sum in subspace order, the same bits as one group at a time.
    for (; i + 8 <= n; i += 8) {
        for (size_t p = i + ahead; p < i + ahead + 8 && p < n; ++p) prefetch_code(codes, cb, nodes[p]);
        const uint8_t* c[8];
        for (size_t k = 0; k < 8; ++k) c[k] = code_of(codes, cb, nodes[i + k]);
        float d[8];
        if (eight) {
            distance::pq_table_sums8(table, c, m, d);
        } else {
            distance::pq4_table_sums8(table, c, m, d);
        }
        for (size_t k = 0; k < 8; ++k) out.push_back({nodes[i + k], d[k]});
    }
    for (; i + 4 <= n; i += 4) {
        for (size_t p = i + ahead; p < i + ahead + 4 && p < n; ++p) prefetch_code(codes, cb, nodes[p]);
        const uint8_t* c0 = code_of(codes, cb, nodes[i]);
        const uint8_t* c1 = code_of(codes, cb, nodes[i + 1]);
        const uint8_t* c2 = code_of(codes, cb, nodes[i + 2]);
        const uint8_t* c3 = code_of(codes, cb, nodes[i + 3]);
        float d[4];
        if (eight) {
            sum4_8bit(t, c0, c1, c2, c3, m, d);
        } else {
            sum4_4bit(t, c0, c1, c2, c3, m, d);
        }
        for (size_t k = 0; k < 4; ++k) out.push_back({nodes[i + k], d[k]});
    }
    const bool gather = eight && m >= 8 && distance::avx2_enabled();
    for (; i < n; ++i) {
        const uint8_t* c = code_of(codes, cb, nodes[i]);
        float d;
        if (gather) {
            d = distance::pq_distance_avx2(table, std::span<const uint8_t>(c, cb), m);
        } else if (eight) {
            d = sum_8bit(t, c, m);
        } else {
            d = sum_4bit(t, c, m);
        }
        out.push_back({nodes[i], d});
    }
}

float score_pq_node(std::span<const float> table, std::span<const uint8_t> codes, size_t m, uint32_t bits,
                    size_t node) {
    const PqCodeLayout layout = pq_code_layout(m, bits);
    check_table(table, layout);
    const uint8_t* c = code_of(codes, layout.code_bytes, node);
    if (bits == 8) {
        if (m > 7 && distance::avx2_enabled()) {
            return distance::pq_distance_avx2(table, std::span<const uint8_t>(c, layout.code_bytes), m);
        }
        return sum_8bit(table.data(), c, m);
    }
    return sum_4bit(table.data(), c, m);
}

// ---- bounded heaps ---------------------------------------------------------------

void push_bounded_candidate(std::vector<SearchCandidate>& heap, size_t node, size_t limit, float distance) {
    if (limit == 0) return;
    const SearchCandidate c{node, distance};
    if (heap.size() < limit) {
        grow_for_one(heap, "DiskANN filtered candidate allocation failed");
        heap.push_back(c);
        std::push_heap(heap.begin(), heap.end(), candidate_less);
        return;
    }
    if (!candidate_less(c, heap.front())) return;
    std::pop_heap(heap.begin(), heap.end(), candidate_less);
    heap.back() = c;
    std::push_heap(heap.begin(), heap.end(), candidate_less);
}

void sort_candidates(std::span<SearchCandidate> candidates) {
    // Candidates that compare equal are equal in every field, so an unstable
    // sort gives the stable order, without the stable sort's buffer allocation.
    std::sort(candidates.begin(), candidates.end(), candidate_less);
}

void push_bounded_exact_result(std::vector<ExactSearchResult>& heap, int64_t row_id, size_t k, float distance) {
    if (k == 0) return;
    const ExactSearchResult r{row_id, distance};
    if (heap.size() < k) {
        grow_for_one(heap, "DiskANN exact result allocation failed");
        heap.push_back(r);
        std::push_heap(heap.begin(), heap.end(), exact_result_less);
        return;
    }
    if (!exact_result_less(r, heap.front())) return;
    std::pop_heap(heap.begin(), heap.end(), exact_result_less);
    heap.back() = r;
    std::push_heap(heap.begin(), heap.end(), exact_result_less);
}

void finish_exact_results(std::vector<ExactSearchResult>& heap, size_t k, std::vector<int64_t>& ids,
                          std::vector<float>& distances) {
    std::sort_heap(heap.begin(), heap.end(), exact_result_less);
    ids.assign(k, -1);
    distances.assign(k, kF32Max);
    const size_t held = std::min(k, heap.size());
    for (size_t i = 0; i < held; ++i) {
        ids[i] = heap[i].row_id;
        distances[i] = heap[i].distance;
    }
    heap.clear();
}

// ---- exact distance ----------------------------------------------------------------

RawVectorKernel selected_raw_vector_distance_kernel(size_t dimension) noexcept {
    return dimension >= 8 && distance::avx2_enabled() ? RawVectorKernel::Avx2 : RawVectorKernel::Scalar;
}

float l2_distance_from_le_bytes_avx2(std::span<const float> query, std::span<const uint8_t> record) {
    check_f32_record(query, record);
    const distance::RecordDistance r = distance::fvec_l2sqr_le_record(query, record, true);
    if (!r.finite) invalid_data("DiskANN raw vectors must be finite");
    return r.distance;
}

float cosine_distance_f32(std::span<const float> query, std::span<const uint8_t> record) {
    check_f32_record(query, record);
    const size_t d = query.size();
    float vv = 0.0f;
    float qq = 0.0f;
    float dot = 0.0f;
    bool finite = true;
    for (size_t i = 0; i < d; ++i) {
        uint32_t bits;
        std::memcpy(&bits, record.data() + 4 * i, 4);
        finite &= f32_bits_finite(bits);
        const float v = std::bit_cast<float>(bits);
        vv += v * v;
        qq += query[i] * query[i];
        dot += v * query[i];
    }
    if (!finite) invalid_data("DiskANN raw vectors must be finite");
    if (vv > 0.0f && qq > 0.0f && std::isfinite(vv) && std::isfinite(qq) && std::isfinite(dot)) {
        // Two roots, not the root of the product: the product of the squared
        // sums can overflow or underflow where the roots' product does not.
        const float norms = std::sqrt(vv) * std::sqrt(qq);
        if (norms > 0.0f && std::isfinite(norms)) return 1.0f - dot / norms;
    }
    // Single precision overflowed, or a squared sum is 0: recompute in double,
    // where finite f32 inputs of at most 2^32 values cannot overflow. A vector
    // that is really zero gives 1.
    double dvv = 0.0, dqq = 0.0, ddot = 0.0;
    for (size_t i = 0; i < d; ++i) {
        const double v = load_le_f32(record.data() + 4 * i);
        const double q = query[i];
        dvv += v * v;
        dqq += q * q;
        ddot += v * q;
    }
    if (!(dvv > 0.0) || !(dqq > 0.0)) return 1.0f;
    return static_cast<float>(1.0 - ddot / (std::sqrt(dvv) * std::sqrt(dqq)));
}

float raw_vector_distance(std::span<const float> query, std::span<const uint8_t> record, uint32_t encoding,
                          uint32_t metric, RawVectorKernel kernel) {
    const size_t d = query.size();
    if (encoding == kRawVectorF32) {
        check_f32_record(query, record);
        if (metric == kMetricL2) {
            const bool avx2 = kernel == RawVectorKernel::Avx2 && distance::avx2_enabled();
            const distance::RecordDistance r = distance::fvec_l2sqr_le_record(query, record, avx2);
            if (!r.finite) invalid_data("DiskANN raw vectors must be finite");
            return r.distance;
        }
        if (metric == kMetricInnerProduct) {
            float dot = 0.0f;
            bool finite = true;
            for (size_t i = 0; i < d; ++i) {
                uint32_t bits;
                std::memcpy(&bits, record.data() + 4 * i, 4);
                finite &= f32_bits_finite(bits);
                dot += std::bit_cast<float>(bits) * query[i];
            }
            if (!finite) invalid_data("DiskANN raw vectors must be finite");
            return -dot;
        }
        return cosine_distance_f32(query, record);
    }
    if (encoding == kRawVectorF16) {
        if (record.size() % 2 != 0 || record.size() / 2 != d) {
            invalid_data("DiskANN f16 raw-vector record has invalid length");
        }
        if (d > kMaxF16Dimension) invalid_data("DiskANN f16 raw-vector dimension exceeds the v1 limit");
        if (metric == kMetricL2 && d >= 8 && distance::avx2_enabled() && distance::f16c_enabled()) {
            // The bits of the conversion below followed by fvec_l2sqr, read
            // in place in one pass.
            const distance::RecordDistance r = distance::fvec_l2sqr_f16_record(query, record);
            if (!r.finite) invalid_data("DiskANN raw vectors must be finite");
            return r.distance;
        }
        uint16_t half[kMaxF16Dimension];
        float values[kMaxF16Dimension];
        std::memcpy(half, record.data(), 2 * d);
        uint16_t bad = 0;
        for (size_t i = 0; i < d; ++i) bad |= static_cast<uint16_t>((half[i] & 0x7C00u) == 0x7C00u);
        if (bad != 0) invalid_data("DiskANN raw vectors must be finite");
        const std::span<float> converted(values, d);
        distance::f16_to_f32(std::span<const uint16_t>(half, d), converted);
        if (metric == kMetricL2) return distance::fvec_l2sqr(query, converted);
        return distance::fvec_distance(query, converted, metric);
    }
    invalid_data("DiskANN raw-vector encoding is invalid");
}

// ---- query scratch ---------------------------------------------------------------------

bool uses_sparse_visited_set(uint64_t n, uint64_t list_size, uint64_t max_degree) noexcept {
    const auto product = checked_mul(list_size, max_degree);
    if (!product) return false;
    const auto reach = checked_add(*product, 1);
    if (!reach) return false;
    const uint64_t w = std::min(n, *reach);
    const auto twice = checked_mul(w, 2);
    if (!twice) return false;
    const uint64_t want = std::max<uint64_t>(*twice, 8);
    if (want > (uint64_t{1} << 63)) return false;
    const uint64_t slots = std::bit_ceil(want);
    const auto slot_bytes = checked_mul(slots, 4);
    const auto key_bytes = checked_mul(w, 4);
    if (!slot_bytes || !key_bytes) return false;
    const auto sum = checked_add(*slot_bytes, *key_bytes);
    if (!sum) return false;
    const auto cost = checked_mul(*sum, 2);
    if (!cost) return false;
    return *cost < div_ceil(n, 8);
}

std::unique_ptr<DiskAnnQueryScratch> DiskAnnQueryScratch::create() {
    auto visited = SparseVisited::try_with_capacity(0);
    if (!visited) panic("SparseTable allocation failed for the DiskANN query scratch");
    return std::unique_ptr<DiskAnnQueryScratch>(new DiskAnnQueryScratch(std::move(*visited)));
}

void DiskAnnQueryScratch::begin_rerank() {
    if (uses_sparse_visited) {
        visited_sparse.clear();
    } else {
        for (size_t v : visited_touched) visited_bytes[v] = 0;
    }
    visited_touched.clear();
    candidates.clear();
    rerank_set.clear();
    seed_windows.clear();
    retained.clear();
    frontier.clear();
    round_nodes.clear();
    validated_pages.clear();
    neighbor_ids.clear();
    scored_neighbors.clear();
    recycle_adjacency_windows();
}

void DiskAnnQueryScratch::begin_graph_search(size_t n, size_t list_size, size_t max_degree) {
    begin_rerank();
    if (uses_sparse_visited_set(n, list_size, max_degree)) {
        // Cannot overflow: the rule above checked it.
        const uint64_t w = std::min<uint64_t>(n, uint64_t{list_size} * max_degree + 1);
        if (w > visited_sparse.slot_count() * 7 / 10) {
            auto table = SparseVisited::try_with_capacity(w);
            if (!table) invalid_input("DiskANN sparse visited allocation failed");
            visited_sparse = std::move(*table);
        }
        uses_sparse_visited = true;
    } else {
        if (visited_bytes.size() < n) visited_bytes.resize(n, 0);
        uses_sparse_visited = false;
    }
}

bool DiskAnnQueryScratch::mark_visited(size_t node) {
    if (uses_sparse_visited) {
        TD_ASSERT(node < sparse_table::SparseSet::kEmptyKey, "DiskANN visited node {} exceeds u32", node);
        return !visited_sparse.insert(static_cast<uint32_t>(node));
    }
    check_index(node, visited_bytes.size());
    uint8_t& mark = visited_bytes[node];
    if (mark != 0) return false;
    mark = 1;
    visited_touched.push_back(node);
    return true;
}

std::span<float> DiskAnnQueryScratch::prepare_distance_table(size_t len) {
    distance_table.resize(len, 0.0f);
    return distance_table;
}

void DiskAnnQueryScratch::select_round(size_t count) {
    round_nodes.clear();
    while (round_nodes.size() < count && !frontier.empty()) {
        std::pop_heap(frontier.begin(), frontier.end(), candidate_greater);
        const SearchCandidate best = frontier.back();
        frontier.pop_back();
        if (!retained.empty() && candidate_less(retained.front(), best)) {
            // Everything left in the frontier is at least as bad.
            frontier.clear();
            break;
        }
        round_nodes.push_back(best.node);
    }
}

void DiskAnnQueryScratch::admit_graph_candidate(size_t node, size_t list_size, float distance) {
    const SearchCandidate c{node, distance};
    if (retained.size() >= list_size) {
        grow_for_one(frontier, "DiskANN graph frontier allocation failed");
        std::pop_heap(retained.begin(), retained.end(), candidate_less);
        retained.pop_back();
    } else {
        grow_for_one(retained, "DiskANN graph candidate allocation failed");
        grow_for_one(frontier, "DiskANN graph frontier allocation failed");
    }
    retained.push_back(c);
    std::push_heap(retained.begin(), retained.end(), candidate_less);
    frontier.push_back(c);
    std::push_heap(frontier.begin(), frontier.end(), candidate_greater);
    if (list_size < (size_t{1} << 63) && frontier.size() > 2 * list_size) {
        if (retained.empty()) panic("non-empty retained DiskANN candidates");
        const SearchCandidate worst = retained.front();
        std::erase_if(frontier, [&](const SearchCandidate& f) { return candidate_less(worst, f); });
        std::make_heap(frontier.begin(), frontier.end(), candidate_greater);
    }
}

void DiskAnnQueryScratch::finish_graph_candidates() {
    candidates.insert(candidates.end(), retained.begin(), retained.end());
    retained.clear();
    std::sort(candidates.begin(), candidates.end(), candidate_less);
}

void DiskAnnQueryScratch::recycle_adjacency_windows() { adjacency_cache.recycle(buffer_pool); }

void DiskAnnQueryScratch::recycle_window_caches() {
    recycle_adjacency_windows();
    vector_cache.recycle(buffer_pool);
}

void DiskAnnQueryScratch::set_window_buffer_limit(uint64_t limit_bytes) noexcept { buffer_pool.set_limit(limit_bytes); }

}  // namespace tavren::diskann_search
