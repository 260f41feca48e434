// The DiskANN query scratch, PQ neighbour scoring, the exact record distances,
// the bounded heaps and the rerank set from seed windows.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <vector>

#include "allocation_watch.hpp"
#include "diskann_search.hpp"
#include "diskann_windows.hpp"
#include "distance.hpp"
#include "error.hpp"
#include "expect.hpp"
#include "metric.hpp"

namespace {

using namespace tavren::diskann_search;
using tavren::ErrorKind;
using tavren::kF32Max;
using tavren::kMetricCosine;
using tavren::kMetricInnerProduct;
using tavren::kMetricL2;
using tavren::diskann_windows::OffsetSet;
using tavren::diskann_windows::ReadWindow;
using tavren::testing::expect_error;
namespace distance = tavren::distance;

// Runs `f` with the scalar kernels forced and, when the processor has AVX2, without.
template <class F>
void for_each_kernel_mode(F&& f) {
    distance::force_scalar_for_testing(true);
    f(false);
    distance::force_scalar_for_testing(false);
    if (distance::avx2_available()) f(true);
}

struct ScalarGuard {
    ~ScalarGuard() { distance::force_scalar_for_testing(false); }
};

uint32_t bits_of(float f) { return std::bit_cast<uint32_t>(f); }

// ---- orders ----------------------------------------------------------------------------

TEST(DiskAnnOrders, CandidatesCompareInTotalOrderThenNode) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<SearchCandidate> c = {{5, nan}, {1, 0.0f}, {2, -0.0f}, {3, -nan}, {4, inf}, {0, 0.0f}, {9, 1.0f}};
    sort_candidates(c);
    std::vector<size_t> nodes;
    for (auto& x : c) nodes.push_back(x.node);
    EXPECT_EQ(nodes, (std::vector<size_t>{3, 2, 0, 1, 9, 4, 5}));
    EXPECT_TRUE(exact_result_less({7, -0.0f}, {1, 0.0f}));
    EXPECT_TRUE(exact_result_less({-3, 1.0f}, {2, 1.0f}));
    EXPECT_FALSE(exact_result_less({2, 1.0f}, {2, 1.0f}));
}

// ---- PQ scoring ------------------------------------------------------------------------

// The plain scalar sum, subspace by subspace.
float reference_pq(const std::vector<float>& table, const std::vector<uint8_t>& codes, size_t m, uint32_t bits,
                   size_t node) {
    const size_t ksub = bits == 8 ? 256 : 16;
    const size_t cb = bits == 8 ? m : m - m / 2;
    float s = 0.0f;
    for (size_t j = 0; j < m; ++j) {
        const uint8_t byte = codes[node * cb + (bits == 8 ? j : j / 2)];
        const uint8_t code = bits == 8 ? byte : (j % 2 == 0 ? byte & 15 : byte >> 4);
        s += table[j * ksub + code];
    }
    return s;
}

TEST(ScorePqNeighbors, MatchesTheSubspaceOrderSum) {
    ScalarGuard guard;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-3.0f, 3.0f);
    for (uint32_t bits : {4u, 8u}) {
        for (size_t m : {1u, 3u, 7u, 8u, 16u, 17u, 32u, 64u, 196u}) {
            const size_t ksub = bits == 8 ? 256 : 16;
            const size_t cb = bits == 8 ? m : m - m / 2;
            const size_t n_nodes = 50;
            std::vector<float> table(m * ksub);
            for (auto& x : table) x = u(rng);
            std::vector<uint8_t> codes(n_nodes * cb);
            for (auto& b : codes) b = static_cast<uint8_t>(rng());
            for (size_t count : {0u, 1u, 3u, 4u, 7u, 9u, 33u}) {
                std::vector<uint32_t> nodes(count);
                for (auto& v : nodes) v = rng() % n_nodes;
                for_each_kernel_mode([&](bool avx2) {
                    std::vector<ScoredNeighbor> out = {{99, 9.0f}};
                    score_pq_neighbors(table, codes, m, bits, nodes, out);
                    ASSERT_EQ(out.size(), count);
                    const size_t grouped = count / 4 * 4;
                    for (size_t i = 0; i < count; ++i) {
                        EXPECT_EQ(out[i].node, nodes[i]);
                        const float want = reference_pq(table, codes, m, bits, nodes[i]);
                        if (i < grouped || bits == 4 || m < 8 || !avx2) {
                            EXPECT_EQ(bits_of(out[i].distance), bits_of(want)) << bits << " " << m << " " << i;
                        } else {
                            const float gathered = distance::pq_distance_avx2(
                                table, std::span<const uint8_t>(codes).subspan(nodes[i] * cb, cb), m);
                            EXPECT_EQ(bits_of(out[i].distance), bits_of(gathered));
                            EXPECT_NEAR(out[i].distance, want, 1e-4f);
                        }
                    }
                });
            }
        }
    }
}

TEST(ScorePqNeighbors, SevenEightBitNodesSplitFourScalarThreeGathered) {
    if (!distance::avx2_available()) GTEST_SKIP() << "no AVX2";
    const size_t m = 16;
    std::vector<float> table(m * 256);
    for (size_t i = 0; i < table.size(); ++i) table[i] = 1.0f / static_cast<float>(i + 3);
    std::vector<uint8_t> codes(7 * m);
    for (size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<uint8_t>(i * 37 + 11);
    const std::vector<uint32_t> nodes = {0, 1, 2, 3, 4, 5, 6};
    std::vector<ScoredNeighbor> out;
    score_pq_neighbors(table, codes, m, 8, nodes, out);
    for (size_t i = 0; i < 7; ++i) {
        const auto code = std::span<const uint8_t>(codes).subspan(i * m, m);
        const float want = i < 4 ? distance::pq_table_sum(table, code, m) : distance::pq_distance_avx2(table, code, m);
        EXPECT_EQ(bits_of(out[i].distance), bits_of(want)) << i;
    }
    EXPECT_EQ(bits_of(score_pq_node(table, codes, m, 8, 5)),
              bits_of(distance::pq_distance_avx2(table, std::span<const uint8_t>(codes).subspan(5 * m, m), m)));
}

TEST(ScorePqNeighbors, FourBitOddSubspaceCountUsesTheLowNibbleLast) {
    // m = 3: byte 0 holds subspaces 0 (low) and 1 (high), byte 1 subspace 2 (low).
    std::vector<float> table(3 * 16, 0.0f);
    table[0 * 16 + 0x5] = 1.0f;
    table[1 * 16 + 0xA] = 10.0f;
    table[2 * 16 + 0x3] = 100.0f;
    table[2 * 16 + 0xC] = 1000.0f;  // the high nibble of byte 1: never read
    const std::vector<uint8_t> codes = {0xA5, 0xC3};
    std::vector<ScoredNeighbor> out;
    score_pq_neighbors(table, codes, 3, 4, std::vector<uint32_t>{0}, out);
    EXPECT_EQ(out[0].distance, 111.0f);
    EXPECT_EQ(score_pq_node(table, codes, 3, 4, 0), 111.0f);
}

TEST(ScorePqNeighbors, Errors) {
    const std::vector<float> table(8 * 256, 1.0f);
    const std::vector<uint8_t> codes(8 * 4, 0);
    std::vector<ScoredNeighbor> out;
    struct Case {
        size_t m;
        uint32_t bits;
        size_t table_len;
        std::vector<uint32_t> nodes;
        const char* message;
    };
    const std::vector<Case> cases = {
        {0, 8, table.size(), {0}, "DiskANN PQ subspace count must be positive"},
        {8, 5, table.size(), {0}, "DiskANN PQ bits must be 4 or 8"},
        {8, 8, 8 * 256 - 1, {0}, "DiskANN PQ distance table is truncated"},
        {8, 8, table.size(), {0, 1, 2, 3, 4}, "DiskANN PQ codes are truncated"},  // node 4 in the tail
        {8, 8, table.size(), {4, 1, 2, 3}, "DiskANN PQ codes are truncated"},     // node 4 in a group
        {16, 4, table.size(), {4}, "DiskANN PQ codes are truncated"},
        {(std::numeric_limits<size_t>::max() >> 7), 8, table.size(), {0}, "DiskANN PQ distance-table length overflows"},
    };
    for (const Case& c : cases) {
        expect_error([&] { score_pq_neighbors(std::span<const float>(table).first(c.table_len), codes, c.m, c.bits, c.nodes, out); },
                     ErrorKind::InvalidData, c.message);
    }
    expect_error([&] { score_pq_node(table, codes, 4, 8, size_t{1} << 63); }, ErrorKind::InvalidData,
                 "DiskANN PQ code offset overflows");
    expect_error([&] { score_pq_node(table, codes, 4, 8, std::numeric_limits<size_t>::max() / 4); },
                 ErrorKind::InvalidData, "DiskANN PQ code range overflows");
    expect_error([&] { score_pq_node(table, codes, 8, 8, 4); }, ErrorKind::InvalidData,
                 "DiskANN PQ codes are truncated");
}

// ---- visited set and scratch ------------------------------------------------------------

TEST(DiskAnnQueryScratch, VisitedSetChoice) {
    struct Case {
        uint64_t n, l, r;
        bool sparse;
    };
    const std::vector<Case> cases = {
        {1000000, 100, 64, false},  // 2 x (65536 + 25604) = 182280 >= 125000
        {10000000, 100, 64, true},
        {100, 100, 64, false},
        {576, 0, 64, false},                          // w = 1, slots 8: 2 x (32 + 4) = 72, not < 72
        {577, 0, 64, true},                           // 72 < ceil(577 / 8) = 73
        {~uint64_t{0}, uint64_t{1} << 63, 2, false},  // L x R overflows
        {~uint64_t{0}, ~uint64_t{0}, 1, false},        // the increment overflows
    };
    for (const Case& c : cases) EXPECT_EQ(uses_sparse_visited_set(c.n, c.l, c.r), c.sparse) << c.n << " " << c.l;
}

TEST(DiskAnnQueryScratch, NewScratchIsEmpty) {
    auto s = DiskAnnQueryScratch::create();
    EXPECT_FALSE(s->uses_sparse_visited);
    EXPECT_EQ(s->buffer_pool.limit_bytes(), 8388608u);
    EXPECT_EQ(s->visited_sparse.slot_count(), 8u);
    EXPECT_TRUE(s->visited_bytes.empty());
}

TEST(DiskAnnQueryScratch, DenseAndSparseVisitedSetsResetWhatTheyMarked) {
    auto s = DiskAnnQueryScratch::create();
    s->begin_graph_search(1000, 10, 8);
    EXPECT_FALSE(s->uses_sparse_visited);
    EXPECT_EQ(s->visited_bytes.size(), 1000u);
    EXPECT_TRUE(s->mark_visited(7));
    EXPECT_FALSE(s->mark_visited(7));
    EXPECT_TRUE(s->mark_visited(999));
    // Sparse for a large graph: the dense bytes are neither grown nor read.
    s->begin_graph_search(10000000, 100, 64);
    EXPECT_TRUE(s->uses_sparse_visited);
    EXPECT_EQ(s->visited_bytes.size(), 1000u);
    EXPECT_EQ(s->visited_bytes[7], 0);  // the reset cleared the dense marks
    EXPECT_GE(s->visited_sparse.slot_count() * 7 / 10, 6401u);
    EXPECT_TRUE(s->mark_visited(7));
    EXPECT_TRUE(s->mark_visited(9999999));
    EXPECT_FALSE(s->mark_visited(9999999));
    const size_t slots = s->visited_sparse.slot_count();
    s->begin_graph_search(10000000, 100, 64);  // reused while large enough
    EXPECT_EQ(s->visited_sparse.slot_count(), slots);
    EXPECT_TRUE(s->mark_visited(9999999));
    s->begin_graph_search(1000, 10, 8);
    EXPECT_FALSE(s->uses_sparse_visited);
    EXPECT_TRUE(s->visited_sparse.empty());
    EXPECT_TRUE(s->mark_visited(7));
}

std::vector<size_t> nodes_of(const std::vector<SearchCandidate>& c) {
    std::vector<size_t> out;
    for (auto& x : c) out.push_back(x.node);
    return out;
}

TEST(DiskAnnQueryScratch, RetainedListFrontierAndRounds) {
    auto s = DiskAnnQueryScratch::create();
    s->begin_graph_search(100, 3, 4);
    s->insert_graph_candidate(10, 3, 5.0f);
    s->insert_graph_candidate(11, 3, 1.0f);
    s->insert_graph_candidate(12, 3, 3.0f);
    // Full: an equal distance enters only with a smaller node id.
    s->insert_graph_candidate(13, 3, 5.0f);
    EXPECT_EQ(s->retained.size(), 3u);
    s->insert_graph_candidate(9, 3, 5.0f);  // replaces (5.0, 10)
    s->insert_graph_candidate(14, 3, 0.5f);  // replaces (5.0, 9)
    s->select_round(2);
    EXPECT_EQ(s->round_nodes, (std::vector<size_t>{14, 11}));
    // The frontier still holds 12 and the evicted 10 and 9; 12 is retained, then
    // 9 is worse than the worst retained: the frontier is emptied.
    s->select_round(5);
    EXPECT_EQ(s->round_nodes, (std::vector<size_t>{12}));
    EXPECT_TRUE(s->frontier.empty());
    s->select_round(5);
    EXPECT_TRUE(s->round_nodes.empty());
    s->finish_graph_candidates();
    EXPECT_EQ(nodes_of(s->candidates), (std::vector<size_t>{14, 11, 12}));
    EXPECT_TRUE(s->retained.empty());
    // L = 0 inserts nothing.
    s->begin_graph_search(100, 0, 4);
    s->insert_graph_candidate(1, 0, 1.0f);
    EXPECT_TRUE(s->retained.empty());
    EXPECT_TRUE(s->candidates.empty());
}

TEST(DiskAnnQueryScratch, FrontierIsPrunedBeyondTwiceTheList) {
    auto s = DiskAnnQueryScratch::create();
    s->begin_graph_search(1000, 2, 4);
    // Descending distances: every insert enters and evicts the worst retained.
    for (size_t i = 0; i < 5; ++i) s->insert_graph_candidate(i, 2, 100.0f - static_cast<float>(i));
    // Frontier pruning keeps at most the entries not worse than the worst retained.
    EXPECT_LE(s->frontier.size(), 4u);
    for (const auto& f : s->frontier) EXPECT_FALSE(candidate_less(s->retained.front(), f));
    s->finish_graph_candidates();
    EXPECT_EQ(nodes_of(s->candidates), (std::vector<size_t>{4, 3}));
}

TEST(DiskAnnQueryScratch, PrepareDistanceTableAndRecycle) {
    auto s = DiskAnnQueryScratch::create();
    auto t = s->prepare_distance_table(16);
    EXPECT_EQ(t.size(), 16u);
    for (float x : t) EXPECT_EQ(x, 0.0f);
    s->adjacency_cache.insert(0, tavren::diskann_windows::WindowPayload::owned(std::vector<uint8_t>(4096)));
    s->vector_cache.insert(0, tavren::diskann_windows::WindowPayload::owned(std::vector<uint8_t>(4096)));
    s->begin_rerank();  // empties the adjacency cache into the pool, keeps the vector cache
    EXPECT_TRUE(s->adjacency_cache.empty());
    EXPECT_EQ(s->vector_cache.len(), 1u);
    EXPECT_EQ(s->buffer_pool.pooled_bytes(), 4096u);
    s->recycle_window_caches();
    EXPECT_TRUE(s->vector_cache.empty());
    EXPECT_EQ(s->buffer_pool.pooled_bytes(), 8192u);
    s->set_window_buffer_limit(0);
    EXPECT_EQ(s->buffer_pool.pooled_bytes(), 0u);
}

TEST(DiskAnnQueryScratch, BoundedCandidateHeap) {
    std::vector<SearchCandidate> heap;
    push_bounded_candidate(heap, 1, 0, 1.0f);
    EXPECT_TRUE(heap.empty());
    for (size_t v : {5u, 3u, 4u, 1u}) push_bounded_candidate(heap, v, 3, 2.0f);
    sort_candidates(heap);
    EXPECT_EQ(nodes_of(heap), (std::vector<size_t>{1, 3, 4}));
}

// ---- exact distances ------------------------------------------------------------------------

std::vector<uint8_t> f32_record(const std::vector<float>& v) {
    std::vector<uint8_t> out(4 * v.size());
    std::memcpy(out.data(), v.data(), out.size());
    return out;
}
std::vector<uint8_t> f16_record(const std::vector<float>& v) {
    std::vector<uint16_t> h(v.size());
    for (size_t i = 0; i < v.size(); ++i) h[i] = distance::f32_to_f16_bits(v[i]);
    std::vector<uint8_t> out(2 * v.size());
    std::memcpy(out.data(), h.data(), out.size());
    return out;
}

TEST(RawVectorDistance, F32MetricsAndKernels) {
    ScalarGuard guard;
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-2.0f, 2.0f);
    for (size_t d : {1u, 7u, 8u, 13u, 128u, 1024u}) {
        std::vector<float> q(d), v(d);
        for (auto& x : q) x = u(rng);
        for (auto& x : v) x = u(rng);
        const auto rec = f32_record(v);
        for_each_kernel_mode([&](bool avx2) {
            const RawVectorKernel k = selected_raw_vector_distance_kernel(d);
            EXPECT_EQ(k == RawVectorKernel::Avx2, avx2 && d >= 8);
            // l2: the AVX2 kernel has the bits of the distance module's; the scalar a sequential sum.
            float seq = 0.0f;
            for (size_t i = 0; i < d; ++i) seq += (q[i] - v[i]) * (q[i] - v[i]);
            const float l2 = raw_vector_distance(q, rec, kRawVectorF32, kMetricL2, k);
            if (k == RawVectorKernel::Avx2) {
                EXPECT_EQ(bits_of(l2), bits_of(distance::fvec_l2sqr(q, v)));
                EXPECT_EQ(bits_of(l2_distance_from_le_bytes_avx2(q, rec)), bits_of(l2));
            } else {
                EXPECT_EQ(bits_of(l2), bits_of(seq));
            }
            float dot = 0.0f, vv = 0.0f, qq = 0.0f;
            for (size_t i = 0; i < d; ++i) {
                dot += v[i] * q[i];
                vv += v[i] * v[i];
                qq += q[i] * q[i];
            }
            EXPECT_EQ(bits_of(raw_vector_distance(q, rec, kRawVectorF32, kMetricInnerProduct, k)), bits_of(-dot));
            const float cos = raw_vector_distance(q, rec, kRawVectorF32, kMetricCosine, k);
            EXPECT_EQ(bits_of(cos), bits_of(1.0f - dot / (std::sqrt(vv) * std::sqrt(qq))));
        });
    }
}

TEST(RawVectorDistance, CosineIsNeverNaN) {
    struct Case {
        float q_scale, v_scale;
        float want;  // the cosine distance of parallel vectors: 0, or 1 for a zero vector
    };
    const std::vector<Case> cases = {
        {1e30f, 1e30f, 0.0f},    // squared sums overflow f32
        {1e-30f, 1e-30f, 0.0f},  // squared sums underflow to 0
        {1e20f, 1e-20f, 0.0f},   // product of squared sums would overflow/underflow
        {1.0f, 0.0f, 1.0f},      // stored zero vector
        {0.0f, 1.0f, 1.0f},      // zero query
    };
    for (const Case& c : cases) {
        const size_t d = 16;
        std::vector<float> q(d), v(d);
        for (size_t i = 0; i < d; ++i) {
            q[i] = c.q_scale * static_cast<float>(i + 1);
            v[i] = c.v_scale * static_cast<float>(i + 1);
        }
        const float got = raw_vector_distance(q, f32_record(v), kRawVectorF32, kMetricCosine, RawVectorKernel::Scalar);
        EXPECT_FALSE(std::isnan(got)) << c.q_scale << " " << c.v_scale;
        EXPECT_NEAR(got, c.want, 1e-6f) << c.q_scale << " " << c.v_scale;
    }
    // Extreme finite values in opposite directions: distance 2, not NaN.
    std::vector<float> q(4, 3e38f), v(4, -3e38f);
    const float got = raw_vector_distance(q, f32_record(v), kRawVectorF32, kMetricCosine, RawVectorKernel::Scalar);
    EXPECT_NEAR(got, 2.0f, 1e-6f);
}

TEST(RawVectorDistance, NonFiniteStoredValuesFailEveryMetric) {
    ScalarGuard guard;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (size_t d : {3u, 16u}) {
        for (float bad : {nan, inf, -inf}) {
            for (size_t pos : {size_t{0}, d - 1}) {
                std::vector<float> q(d, 1.0f), v(d, 0.5f);
                v[pos] = bad;
                const auto rec = f32_record(v);
                const auto rec16 = f16_record(v);
                for_each_kernel_mode([&](bool) {
                    for (uint32_t metric : {kMetricL2, kMetricInnerProduct, kMetricCosine}) {
                        const auto k = selected_raw_vector_distance_kernel(d);
                        expect_error([&] { raw_vector_distance(q, rec, kRawVectorF32, metric, k); },
                                     ErrorKind::InvalidData, "DiskANN raw vectors must be finite");
                        expect_error([&] { raw_vector_distance(q, rec16, kRawVectorF16, metric, k); },
                                     ErrorKind::InvalidData, "DiskANN raw vectors must be finite");
                    }
                });
            }
        }
    }
}

TEST(RawVectorDistance, F16RecordsAndLimits) {
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> u(-2.0f, 2.0f);
    for (size_t d : {5u, 8u, 100u, 1024u}) {
        std::vector<float> q(d), v(d);
        for (auto& x : q) x = u(rng);
        for (auto& x : v) x = distance::f16_bits_to_f32(distance::f32_to_f16_bits(u(rng)));  // exact in f16
        const auto rec = f16_record(v);
        const auto k = selected_raw_vector_distance_kernel(d);
        EXPECT_EQ(bits_of(raw_vector_distance(q, rec, kRawVectorF16, kMetricL2, k)), bits_of(distance::fvec_l2sqr(q, v)));
        for (uint32_t metric : {kMetricInnerProduct, kMetricCosine}) {
            EXPECT_EQ(bits_of(raw_vector_distance(q, rec, kRawVectorF16, metric, k)),
                      bits_of(distance::fvec_distance(q, v, metric)));
        }
    }
    // A zero stored vector under cosine: 1.
    std::vector<float> q(8, 1.0f), zero(8, 0.0f);
    EXPECT_EQ(raw_vector_distance(q, f16_record(zero), kRawVectorF16, kMetricCosine, RawVectorKernel::Scalar), 1.0f);
    // Longer than the v1 limit: only a direct call can ask for it.
    std::vector<float> q1025(1025, 0.0f);
    std::vector<uint8_t> rec1025(2050, 0);
    expect_error([&] { raw_vector_distance(q1025, rec1025, kRawVectorF16, kMetricL2, RawVectorKernel::Scalar); },
                 ErrorKind::InvalidData, "DiskANN f16 raw-vector dimension exceeds the v1 limit");
}

TEST(RawVectorDistance, RecordLengthsAndEncoding) {
    std::vector<float> q(4, 1.0f);
    const std::vector<uint8_t> rec15(15), rec16(16), rec8(8), rec7(7);
    expect_error([&] { raw_vector_distance(q, rec15, kRawVectorF32, kMetricL2, RawVectorKernel::Scalar); },
                 ErrorKind::InvalidData, "DiskANN raw vector record has invalid length");
    expect_error([&] { raw_vector_distance(q, rec8, kRawVectorF32, kMetricCosine, RawVectorKernel::Scalar); },
                 ErrorKind::InvalidData, "DiskANN raw vector record has invalid length");
    expect_error([&] { raw_vector_distance(q, rec16, kRawVectorF16, kMetricL2, RawVectorKernel::Scalar); },
                 ErrorKind::InvalidData, "DiskANN f16 raw-vector record has invalid length");
    expect_error([&] { raw_vector_distance(q, rec7, kRawVectorF16, kMetricL2, RawVectorKernel::Scalar); },
                 ErrorKind::InvalidData, "DiskANN f16 raw-vector record has invalid length");
    expect_error([&] { raw_vector_distance(q, rec16, 3, kMetricL2, RawVectorKernel::Scalar); },
                 ErrorKind::InvalidData, "DiskANN raw-vector encoding is invalid");
    EXPECT_EQ(raw_vector_distance(q, rec16, kRawVectorF32, kMetricL2, RawVectorKernel::Scalar), 4.0f);
}

// ---- exact result heap ---------------------------------------------------------------------

TEST(ExactResults, FewerCandidatesThanTopKArePadded) {
    std::vector<ExactSearchResult> heap;
    push_bounded_exact_result(heap, 30, 5, 3.0f);
    push_bounded_exact_result(heap, 10, 5, 1.0f);
    push_bounded_exact_result(heap, 20, 5, 2.0f);
    std::vector<int64_t> ids;
    std::vector<float> d;
    finish_exact_results(heap, 5, ids, d);
    EXPECT_EQ(ids, (std::vector<int64_t>{10, 20, 30, -1, -1}));
    EXPECT_EQ(d, (std::vector<float>{1.0f, 2.0f, 3.0f, kF32Max, kF32Max}));
    EXPECT_EQ(d[3], 3.4028235e38f);
    EXPECT_TRUE(heap.empty());
}

TEST(ExactResults, EqualDistancesKeepTheSmallerRowId) {
    std::vector<ExactSearchResult> heap;
    push_bounded_exact_result(heap, 1, 0, 1.0f);  // k = 0: nothing
    EXPECT_TRUE(heap.empty());
    push_bounded_exact_result(heap, 8, 2, 1.0f);
    push_bounded_exact_result(heap, 9, 2, 2.0f);
    push_bounded_exact_result(heap, 7, 2, 2.0f);  // equal distance, smaller row ID: wins the last place
    push_bounded_exact_result(heap, 12, 2, 2.0f);  // equal, larger: stays out
    std::vector<int64_t> ids;
    std::vector<float> d;
    finish_exact_results(heap, 2, ids, d);
    EXPECT_EQ(ids, (std::vector<int64_t>{8, 7}));
    // An empty candidate set gives k padded pairs.
    finish_exact_results(heap, 3, ids, d);
    EXPECT_EQ(ids, (std::vector<int64_t>{-1, -1, -1}));
}

// ---- rerank set from seed windows -------------------------------------------------------------

TEST(RerankSet, SeedWindowWidening) {
    // A, B, C, D: C shares A's window, D has its own.
    const std::vector<SearchCandidate> cands = {{100, 0.1f}, {200, 0.2f}, {101, 0.3f}, {300, 0.4f}};
    auto window_of = [](size_t node) { return ReadWindow{node / 100 * 4096, 4096}; };
    OffsetSet seeds;
    std::vector<SearchCandidate> out = {{1, 1.0f}};
    struct Case {
        size_t budget;
        std::vector<size_t> want;
    };
    for (const Case& c : std::vector<Case>{{2, {100, 200, 101}}, {4, {100, 200, 101, 300}},
                                           {9, {100, 200, 101, 300}}, {1, {100, 101}}, {0, {}}}) {
        expand_rerank_candidates_within_seed_windows(cands, c.budget, window_of, seeds, out);
        EXPECT_EQ(nodes_of(out), c.want) << c.budget;
    }
    // A budget of 0 or no candidates computes no window.
    size_t calls = 0;
    auto counting = [&](size_t node) {
        ++calls;
        return window_of(node);
    };
    expand_rerank_candidates_within_seed_windows(cands, 0, counting, seeds, out);
    expand_rerank_candidates_within_seed_windows({}, 3, counting, seeds, out);
    EXPECT_EQ(calls, 0u);
    EXPECT_TRUE(out.empty());
    // A window error of a candidate that is not a seed ends the operation.
    auto failing = [&](size_t node) {
        if (node == 300) tavren::invalid_data("DiskANN raw-vector record is out of range");
        return window_of(node);
    };
    expect_error([&] { expand_rerank_candidates_within_seed_windows(cands, 2, failing, seeds, out); },
                 ErrorKind::InvalidData, "DiskANN raw-vector record is out of range");
}

// ---- steady state ----------------------------------------------------------------------------

// One query's worth of scratch work: graph search bookkeeping, PQ scoring,
// window caching through the pool, the exact heap and the rerank set.
void steady_query(DiskAnnQueryScratch& s, const std::vector<float>& table, const std::vector<uint8_t>& codes,
                  std::vector<ExactSearchResult>& heap, size_t seed) {
    using tavren::diskann_windows::WindowPayload;
    const size_t n = codes.size() / 16;
    s.begin_graph_search(n, 50, 16);
    s.insert_graph_candidate(0, 50, 0.0f);
    s.mark_visited(0);
    for (size_t round = 0; round < 20; ++round) {
        s.select_round(4);
        if (s.round_nodes.empty()) break;
        for (size_t u : s.round_nodes) {
            const uint64_t w = (u / 8) * 4096;
            if (!s.adjacency_cache.contains_offset(w)) s.adjacency_cache.insert(w, WindowPayload::owned(s.buffer_pool.take(4096)));
            s.neighbor_ids.clear();
            for (size_t k = 1; k <= 16; ++k) {
                const uint32_t v = static_cast<uint32_t>((u * 31 + k * 7 + seed) % n);
                if (s.mark_visited(v)) s.neighbor_ids.push_back(v);
            }
            score_pq_neighbors(table, codes, 16, 8, s.neighbor_ids, s.scored_neighbors);
            for (const auto& sn : s.scored_neighbors) s.insert_graph_candidate(sn.node, 50, sn.distance);
        }
        s.adjacency_cache.trim(s.buffer_pool, 8388608);
    }
    s.finish_graph_candidates();
    expand_rerank_candidates_within_seed_windows(
        s.candidates, 10, [](size_t node) { return ReadWindow{node / 4 * 4096, 4096}; }, s.seed_windows, s.rerank_set);
    for (const auto& c : s.rerank_set) push_bounded_exact_result(heap, static_cast<int64_t>(c.node), 10, c.distance);
    heap.clear();
    s.recycle_adjacency_windows();
}

TEST(DiskAnnQueryScratch, SteadyStateQueriesDoNotAllocate) {
    const size_t n = 2000;
    std::vector<float> table(16 * 256);
    for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<float>((i * 2654435761u) % 1000) / 1000.0f;
    std::vector<uint8_t> codes(n * 16);
    for (size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<uint8_t>(i * 131 + 7);
    auto s = DiskAnnQueryScratch::create();
    std::vector<ExactSearchResult> heap;
    heap.reserve(10);
    // Warm-up: the scratch grows to its working size.
    for (size_t q = 0; q < 5; ++q) steady_query(*s, table, codes, heap, 0);
    tavren::testing::AllocationWatch watch;
    for (size_t q = 0; q < 20; ++q) steady_query(*s, table, codes, heap, 0);
    EXPECT_EQ(watch.count(), 0u);
}

}  // namespace
