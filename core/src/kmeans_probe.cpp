// Probe selection: the nearest coarse centroids of a query, nearest first,
// with exact distances and ties to the smaller list number.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "blas.hpp"
#include "distance.hpp"
#include "error.hpp"
#include "kmeans.hpp"
#include "numeric.hpp"
#include "pool.hpp"

namespace tavren::kmeans {
namespace {

constexpr size_t kProbeBlockBudget = 4194304;  // matrix-product values per block
constexpr float kF32Epsilon = 1.1920929e-7f;   // 2^-23

std::span<const float> centroid_row(std::span<const float> centroids, size_t j, size_t d) {
    auto end = checked_mul(j + 1, d);
    if (!end) panic("{} shape overflows usize", "centroid");
    check_len(*end, centroids.size());
    return centroids.subspan(j * d, d);
}

float exact_distance(std::span<const float> query, std::span<const float> centroids, size_t j, size_t d) {
    return distance::fvec_l2sqr(query, centroid_row(centroids, j, d));
}

// Fills in the exact distance of each candidate's list, four lists per pass
// over the query (fvec_l2sqr_four has the bits of fvec_l2sqr).
void exact_distances(std::span<const float> query, std::span<const float> centroids, size_t d,
                     std::vector<Candidate>& candidates) {
    size_t i = 0;
    for (; i + 4 <= candidates.size(); i += 4) {
        const auto dist = distance::fvec_l2sqr_four(
            query, centroid_row(centroids, candidates[i].list, d), centroid_row(centroids, candidates[i + 1].list, d),
            centroid_row(centroids, candidates[i + 2].list, d), centroid_row(centroids, candidates[i + 3].list, d));
        for (size_t t = 0; t < 4; ++t) candidates[i + t].distance = dist[t];
    }
    for (; i < candidates.size(); ++i) candidates[i].distance = exact_distance(query, centroids, candidates[i].list, d);
}

// A candidate's place in candidate_less as one integer: the distance's
// total-order key with its sign bit flipped (so unsigned order is signed
// order), then the list number, which must fit in 32 bits.
inline uint64_t candidate_rank(const Candidate& c) noexcept {
    const uint32_t key = static_cast<uint32_t>(total_order_key(c.distance)) ^ 0x80000000u;
    return (uint64_t{key} << 32) | static_cast<uint64_t>(c.list);
}

// The m smallest candidates, sorted, in the first m places.
void select_sorted(std::vector<Candidate>& candidates, size_t m) {
    // Few places among many candidates (probe selection over every list):
    // a max-heap of the m smallest ranks rejects most candidates with one
    // integer comparison. The ranks are distinct, so the selection is the
    // one nth_element and sort give.
    if (m != 0 && m * 16 <= candidates.size() && m <= 1024) {
        bool small_lists = true;
        for (const Candidate& c : candidates) small_lists &= c.list <= 0xFFFFFFFFu;
        if (small_lists) {
            uint64_t best[1024];
            for (size_t i = 0; i < m; ++i) best[i] = candidate_rank(candidates[i]);
            std::make_heap(best, best + m);
            for (size_t i = m; i < candidates.size(); ++i) {
                const uint64_t r = candidate_rank(candidates[i]);
                if (r < best[0]) {
                    std::pop_heap(best, best + m);
                    best[m - 1] = r;
                    std::push_heap(best, best + m);
                }
            }
            std::sort(best, best + m);
            // Each rank names its candidate by list number; the distance is
            // taken back from the candidate itself (same bits).
            for (size_t i = 0; i < m; ++i) {
                const uint32_t key = static_cast<uint32_t>(best[i] >> 32) ^ 0x80000000u;
                const int32_t signed_key = static_cast<int32_t>(key);
                // total_order_key is its own inverse on the bit pattern.
                const int32_t bits = signed_key ^ static_cast<int32_t>(static_cast<uint32_t>(signed_key >> 31) >> 1);
                candidates[i] = Candidate{std::bit_cast<float>(bits), static_cast<size_t>(best[i] & 0xFFFFFFFFu)};
            }
            candidates.resize(m);
            return;
        }
    }
    if (m < candidates.size()) {
        std::nth_element(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(m - 1),
                         candidates.end(), candidate_less);
        candidates.resize(m);
    }
    std::sort(candidates.begin(), candidates.end(), candidate_less);
}

TopK to_topk(const std::vector<Candidate>& candidates) {
    TopK out;
    out.lists.reserve(candidates.size());
    out.distances.reserve(candidates.size());
    for (const Candidate& c : candidates) {
        out.lists.push_back(c.list);
        out.distances.push_back(c.distance);
    }
    return out;
}

// The m-th smallest of `values` (1 <= m <= size; no NaN). For few places a
// max-heap of the m smallest rejects most values with one comparison;
// otherwise a selection over a copy. `work` is reused scratch.
float mth_smallest(const std::vector<float>& values, size_t m, std::vector<float>& work) {
    if (m * 8 <= values.size()) {
        work.assign(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(m));
        std::make_heap(work.begin(), work.end());
        for (size_t j = m; j < values.size(); ++j) {
            const float v = values[j];
            if (v < work.front()) {
                std::pop_heap(work.begin(), work.end());
                work.back() = v;
                std::push_heap(work.begin(), work.end());
            }
        }
        return work.front();
    }
    work.assign(values.begin(), values.end());
    std::nth_element(work.begin(), work.begin() + static_cast<std::ptrdiff_t>(m - 1), work.end());
    return work[m - 1];
}

}  // namespace

std::strong_ordering compare_distance_then_index(const Candidate& a, const Candidate& b) noexcept {
    const int32_t ka = total_order_key(a.distance);
    const int32_t kb = total_order_key(b.distance);
    if (ka != kb) return ka <=> kb;
    return a.list <=> b.list;
}

size_t probe_block_queries(size_t nlist) noexcept { return kProbeBlockBudget / std::max<size_t>(nlist, 1); }

TopK find_topk(std::span<const float> query, std::span<const float> centroids, size_t nlist, size_t d, size_t k) {
    const size_t m = std::min(k, nlist);
    if (m == 0) return {};
    std::vector<Candidate> candidates;
    candidates.reserve(nlist);
    size_t j = 0;
    for (; j + 4 <= nlist; j += 4) {
        const auto dist = distance::fvec_l2sqr_four(query, centroid_row(centroids, j, d),
                                                    centroid_row(centroids, j + 1, d),
                                                    centroid_row(centroids, j + 2, d),
                                                    centroid_row(centroids, j + 3, d));
        for (size_t t = 0; t < 4; ++t) candidates.push_back({dist[t], j + t});
    }
    for (; j < nlist; ++j) candidates.push_back({exact_distance(query, centroids, j, d), j});
    select_sorted(candidates, m);
    return to_topk(candidates);
}

TopKBatch find_topk_batch(std::span<const float> queries, size_t nq, std::span<const float> centroids,
                          size_t nlist, size_t d, size_t k) {
    std::vector<float> norms(nlist);
    for (size_t j = 0; j < nlist; ++j) norms[j] = distance::fvec_norm_l2sqr(centroid_row(centroids, j, d));
    return find_topk_batch_with_centroid_norms(queries, nq, centroids, norms, nlist, d, k);
}

TopK refine_topk_boundary(std::span<const float> query, std::span<const float> centroids, size_t d, size_t m,
                          std::vector<Candidate> sure, std::span<const size_t> boundary) {
    TD_ASSERT(sure.size() <= m, "refine_topk_boundary: {} sure candidates exceed {}", sure.size(), m);
    std::vector<Candidate> edge;
    edge.reserve(boundary.size());
    for (size_t j : boundary) edge.push_back({0.0f, j});
    exact_distances(query, centroids, d, edge);
    const size_t need = m - sure.size();
    TD_ASSERT(edge.size() >= need, "refine_topk_boundary: {} boundary candidates for {} places", edge.size(), need);
    select_sorted(edge, need);
    sure.insert(sure.end(), edge.begin(), edge.end());
    std::sort(sure.begin(), sure.end(), candidate_less);
    return to_topk(sure);
}

TopKBatch find_topk_batch_with_centroid_norms(std::span<const float> queries, size_t nq,
                                              std::span<const float> centroids, std::span<const float> norms,
                                              size_t nlist, size_t d, size_t k, ProbeBatchStats* stats) {
    const size_t m = std::min(k, nlist);
    TopKBatch out;
    out.lists.resize(nq);
    out.distances.resize(nq);
    if (m == 0 || nq == 0) return out;

    auto nqd = checked_mul(nq, d);
    if (!nqd) panic("{} shape overflows usize", "query");
    check_len(*nqd, queries.size());
    auto query = [&](size_t i) { return queries.subspan(i * d, d); };

    bool per_query = nq == 1 || k >= nlist || nlist > kProbeBlockBudget;
    if (!per_query) {
        check_len(nlist, norms.size());
        for (size_t j = 0; j < nlist && !per_query; ++j) {
            if (!std::isfinite(norms[j]) || norms[j] < 0.0f) per_query = true;
        }
    }
    if (per_query) {
        if (stats) stats->per_query_path = true;
        pool::parallel_for(0, nq, 1, [&](size_t lo, size_t hi) {
            for (size_t i = lo; i < hi; ++i) {
                TopK r = find_topk(query(i), centroids, nlist, d, m);
                out.lists[i] = std::move(r.lists);
                out.distances[i] = std::move(r.distances);
            }
        });
        return out;
    }

    float maxc = norms[0];
    for (size_t j = 1; j < nlist; ++j) maxc = std::fmax(maxc, norms[j]);
    check_len(checked_mul(nlist, d).value_or(SIZE_MAX), centroids.size());

    const float u = static_cast<float>(d) * kF32Epsilon;
    const float gamma = u < 1.0f ? (4.0f * u) / (1.0f - u) : std::numeric_limits<float>::infinity();

    const size_t block = probe_block_queries(nlist);
    // How each query of a block was answered, counted into stats after the block.
    enum : uint8_t { kByBand = 0, kExact = 1, kRefined = 2 };
    std::vector<uint8_t> how;
    std::vector<float> products;
    for (size_t b0 = 0; b0 < nq; b0 += block) {
        const size_t r = std::min(block, nq - b0);
        if (stats) stats->block_sizes.push_back(r);
        products.resize(r * nlist);  // beta = 0: the product never reads it
        // Every element depends on its two rows only: the pool's split of the
        // rows gives the bits of one call.
        blas::sgemm_a_bt_parallel(r, nlist, d, 1.0f, queries.subspan(b0 * d, r * d), centroids.first(nlist * d), 0.0f,
                                  products);
        how.assign(r, kByBand);
        // Each query's answer depends on its own row of products only, so the
        // queries of a block are answered on the pool, each range with its
        // own scratch.
        pool::parallel_for(0, r, 8, [&](size_t lo, size_t hi) {
            std::vector<float> approx(nlist);
            std::vector<float> ranked;
            std::vector<Candidate> sure;
            std::vector<size_t> boundary;
            for (size_t i = lo; i < hi; ++i) {
                const size_t qi = b0 + i;
                const std::span<const float> q = query(qi);
                auto answer_exactly = [&] {
                    how[i] = kExact;
                    TopK res = find_topk(q, centroids, nlist, d, m);
                    out.lists[qi] = std::move(res.lists);
                    out.distances[qi] = std::move(res.distances);
                };
                const float qn = distance::fvec_norm_l2sqr(q);
                if (!std::isfinite(qn)) {
                    answer_exactly();
                    continue;
                }
                const float* g = products.data() + i * nlist;
                // Branch-free so that the loop vectorises: `bad` collects NaN and
                // infinite values, a non-positive or NaN value becomes +0.0.
                const float* nm = norms.data();
                float* ap = approx.data();
                unsigned bad = 0;
                for (size_t j = 0; j < nlist; ++j) {
                    const float raw = (nm[j] + qn) - (g[j] + g[j]);
                    bad |= static_cast<unsigned>(!(std::fabs(raw) <= kF32Max));
                    ap[j] = raw > 0.0f ? raw : 0.0f;
                }
                if (bad) {
                    answer_exactly();
                    continue;
                }

                // tau: the m-th smallest approximate distance. All are finite and
                // at least +0.0, so plain comparison is the total order here, and
                // only the value matters, not which list holds it.
                const float tau = mth_smallest(approx, m, ranked);
                const float root = std::sqrt(qn * maxc);
                const float s = (root + root) + (maxc + qn);
                const float band = s == 0.0f ? 0.0f : (gamma * s) + (gamma * s);
                const float lower = tau - band;
                const float upper = tau + band;

                sure.clear();
                boundary.clear();
                for (size_t j = 0; j < nlist; ++j) {
                    const float a = approx[j];
                    if (a < lower) {
                        sure.push_back({0.0f, j});
                    } else if (a <= upper) {
                        boundary.push_back(j);
                    }
                }
                // Every candidate uncertain, or (never expected) too few to fill
                // m places: rank them all exactly.
                if (boundary.size() == nlist || sure.size() >= m || sure.size() + boundary.size() < m) {
                    answer_exactly();
                    continue;
                }
                exact_distances(q, centroids, d, sure);
                how[i] = kRefined;
                TopK res = refine_topk_boundary(q, centroids, d, m, std::move(sure), boundary);
                sure = {};
                out.lists[qi] = std::move(res.lists);
                out.distances[qi] = std::move(res.distances);
            }
        });
        if (stats) {
            for (uint8_t h : how) {
                stats->exact_fallbacks += h == kExact ? 1 : 0;
                stats->refined += h == kRefined ? 1 : 0;
            }
        }
    }
    return out;
}

}  // namespace tavren::kmeans
