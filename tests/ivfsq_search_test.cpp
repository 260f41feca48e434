// IVF-SQ scanning and searching: the blocked-code kernels against a reference
// that follows their operation order bit for bit (l2 on both dispatch paths
// with early abandon, inner product and cosine on the portable path), the row
// scan's heap rules, recall against brute force, padding and filters, the
// parallel large-group path, batch search against single search, seeds, pool
// sizes, streamed lists with windowed IDs, and the facade's searches.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <span>
#include <vector>

#include "bytes.hpp"
#include "distance.hpp"
#include "error.hpp"
#include "expect.hpp"
#include "guards.hpp"
#include "index_io_util.hpp"
#include "index_reader.hpp"
#include "ivfsq_fixture.hpp"
#include "ivfsq_io.hpp"
#include "kmeans.hpp"
#include "memory_source.hpp"
#include "numeric.hpp"
#include "read_options.hpp"
#include "row_id_filter.hpp"
#include "sq_kernels.hpp"
#include "topk.hpp"

using tavren::kF32Max;
using tavren::SearchResult;
using tavren::ivfsq_io::IVFSQIndexReader;
using tavren::row_id_filter::RoaringTreemap;
using tavren::row_id_filter::RowIdFilter;
using tavren::sq::ScalarQuantizer;
using tavren::sq::SqScanScratch;
using tavren::testing::make_sq_fixture;
using tavren::testing::open_sq_reader;
using tavren::topk::TopKHeap;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

// ---- Reference kernels ----------------------------------------------------------------

// Code j of row i of a run in blocks of `br` rows.
uint8_t code_at(std::span<const uint8_t> codes, size_t n, size_t d, size_t br, size_t i, size_t j) {
    const size_t first = i / br * br;
    const size_t r = std::min(br, n - first);
    return codes[first * d + j * r + (i - first)];
}

std::vector<float> reference(const ScalarQuantizer& sq, std::span<const float> q, std::span<const float> c,
                             std::span<const uint8_t> codes, size_t n, float threshold, uint32_t metric, size_t br) {
    const size_t d = sq.dimension();
    std::vector<float> a(d), s(d);
    for (size_t j = 0; j < d; ++j) {
        s[j] = (sq.maxs()[j] - sq.mins()[j]) * 0.003921569f;
        a[j] = metric == 0 ? (q[j] - c[j]) - sq.mins()[j] : c[j] + sq.mins()[j];
    }
    std::vector<float> out(n);
    float qnorm = 0.0f;
    if (metric == 2) qnorm = std::sqrt(tavren::distance::fvec_norm_l2sqr(q));
    const size_t m = d > 65 ? d / 2 : std::min<size_t>(d, 32);
    for (size_t first = 0; first < n; first += br) {
        const size_t r = std::min(br, n - first);
        if (metric == 0) {
            bool all = true;
            for (size_t i = first; i < first + r; ++i) {
                float sum = 0.0f;
                for (size_t j = 0; j < m; ++j) {
                    const float t = a[j] - s[j] * static_cast<float>(code_at(codes, n, d, br, i, j));
                    sum = sum + t * t;
                }
                out[i] = sum;
                all = all && sum >= threshold;
            }
            if (m < d && !all) {
                for (size_t i = first; i < first + r; ++i) {
                    for (size_t j = m; j < d; ++j) {
                        const float t = a[j] - s[j] * static_cast<float>(code_at(codes, n, d, br, i, j));
                        out[i] = out[i] + t * t;
                    }
                }
            }
            continue;
        }
        for (size_t i = first; i < first + r; ++i) {
            float dot = 0.0f, norm = 0.0f;
            for (size_t j = 0; j < d; ++j) {
                const float v = static_cast<float>(code_at(codes, n, d, br, i, j)) * s[j] + a[j];
                dot = dot + q[j] * v;
                norm = norm + v * v;
            }
            if (metric == 1) {
                out[i] = -dot;
            } else {
                const float den = std::sqrt(norm) * qnorm;
                out[i] = den > 0.0f ? 1.0f - dot / den : 1.0f;
            }
        }
    }
    return out;
}

struct CodeRun {
    ScalarQuantizer sq;
    std::vector<float> query, centroid;
    std::vector<uint8_t> codes;
};

CodeRun random_run(size_t n, size_t d, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> uni(-2.0f, 2.0f);
    std::vector<float> mins(d), maxs(d);
    for (size_t j = 0; j < d; ++j) {
        mins[j] = uni(gen);
        maxs[j] = j % 7 == 3 ? mins[j] : mins[j] + std::abs(uni(gen)) + 0.01f;  // some degenerate dimensions
    }
    CodeRun r{ScalarQuantizer::with_dimension_bounds(d, mins, maxs), std::vector<float>(d), std::vector<float>(d),
          std::vector<uint8_t>(n * d)};
    for (float& v : r.query) v = uni(gen) * 3.0f;
    for (float& v : r.centroid) v = uni(gen);
    for (uint8_t& b : r.codes) b = static_cast<uint8_t>(gen() & 0xFF);
    return r;
}

std::vector<uint32_t> bits(const std::vector<float>& v) {
    std::vector<uint32_t> out;
    for (float f : v) out.push_back(std::bit_cast<uint32_t>(f));
    return out;
}

std::vector<float> kernel(const CodeRun& r, size_t n, float threshold, uint32_t metric, size_t br = 32) {
    SqScanScratch scratch;
    scratch.distances.assign(3, 99.0f);  // previous contents are never read
    tavren::sq::distances_to_blocked_codes_with_offset(r.sq, r.query, r.codes, n, threshold, r.centroid, metric, br,
                                                       scratch);
    EXPECT_EQ(scratch.query_terms.size(), 2 * r.sq.dimension());
    return scratch.distances;
}

}  // namespace

TEST(SqKernels, L2MatchesTheReferenceBitForBitOnBothPaths) {
    tavren::testing::RestoreDetection restore;
    for (bool scalar : {false, true}) {
        tavren::distance::force_scalar_for_testing(scalar);
        for (size_t d : {1, 5, 16, 32, 33, 65, 66, 128}) {
            for (size_t n : {0, 1, 31, 32, 33, 100}) {
                const CodeRun r = random_run(n, d, static_cast<uint32_t>(d * 1000 + n));
                const std::vector<float> full = reference(r.sq, r.query, r.centroid, r.codes, n, kInf, 0, 32);
                std::vector<float> sorted = full;
                std::sort(sorted.begin(), sorted.end());
                const float median = n == 0 ? 0.0f : sorted[n / 2];
                for (float threshold : {kInf, median, 0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN()}) {
                    const std::vector<float> want =
                        reference(r.sq, r.query, r.centroid, r.codes, n, threshold, 0, 32);
                    EXPECT_EQ(bits(kernel(r, n, threshold, 0)), bits(want))
                        << "scalar " << scalar << " d " << d << " n " << n << " threshold " << threshold;
                }
            }
        }
    }
}

TEST(SqKernels, EarlyAbandonKeepsPartialSumsOnlyWhenTheWholeBlockIsBeyond) {
    const size_t d = 128, n = 64;
    const CodeRun r = random_run(n, d, 7);
    const std::vector<float> full = kernel(r, n, kInf, 0);
    const std::vector<float> abandoned = kernel(r, n, 0.0f, 0);  // every partial sum is >= 0
    for (size_t i = 0; i < n; ++i) {
        EXPECT_LE(abandoned[i], full[i]);
        EXPECT_GE(abandoned[i], 0.0f);
    }
    EXPECT_NE(bits(full), bits(abandoned));
    // d <= 32: nothing to abandon.
    const CodeRun small = random_run(40, 32, 8);
    EXPECT_EQ(bits(kernel(small, 40, 0.0f, 0)), bits(kernel(small, 40, kInf, 0)));
}

TEST(SqKernels, PortableBlocksOfAnySizeFollowTheirOwnLayout) {
    const CodeRun r = random_run(50, 70, 9);
    for (size_t br : {1, 7, 32, 64}) {
        EXPECT_EQ(bits(kernel(r, 50, kInf, 0, br)), bits(reference(r.sq, r.query, r.centroid, r.codes, 50, kInf, 0, br)))
            << br;
    }
    EXPECT_EQ(tavren::testing::assertion_text([&] { (void)kernel(r, 50, kInf, 0, 0); }),
              "assertion failed: step != 0");
}

TEST(SqKernels, InnerProductAndCosineMatchTheReference) {
    for (uint32_t metric : {1u, 2u}) {
        for (size_t d : {1, 8, 33, 100}) {
            for (size_t n : {0, 5, 32, 70}) {
                const CodeRun r = random_run(n, d, static_cast<uint32_t>(metric * 7777 + d * 31 + n));
                EXPECT_EQ(bits(kernel(r, n, 0.0f, metric)),
                          bits(reference(r.sq, r.query, r.centroid, r.codes, n, 0.0f, metric, 32)))
                    << metric << " " << d << " " << n;
            }
        }
    }
}

TEST(SqKernels, ZeroDotIsNegativeZeroAndZeroVectorsHaveCosineOne) {
    const size_t d = 4;
    const ScalarQuantizer zero = ScalarQuantizer::with_dimension_bounds(d, std::vector<float>(d, 0.0f),
                                                                        std::vector<float>(d, 0.0f));
    const std::vector<float> centroid(d, 0.0f), query = {1.0f, 2.0f, 3.0f, 4.0f};
    const std::vector<uint8_t> codes(3 * d, 200);
    SqScanScratch scratch;
    tavren::sq::distances_to_blocked_codes_with_offset(zero, query, codes, 3, 0.0f, centroid, 1, 32, scratch);
    for (float v : scratch.distances) EXPECT_EQ(std::bit_cast<uint32_t>(v), 0x80000000u);
    tavren::sq::distances_to_blocked_codes_with_offset(zero, query, codes, 3, 0.0f, centroid, 2, 32, scratch);
    for (float v : scratch.distances) EXPECT_EQ(v, 1.0f);
    const ScalarQuantizer unit = ScalarQuantizer::with_dimension_bounds(d, std::vector<float>(d, -1.0f),
                                                                        std::vector<float>(d, 1.0f));
    tavren::sq::distances_to_blocked_codes_with_offset(unit, std::vector<float>(d, 0.0f), codes, 3, 0.0f, centroid, 2,
                                                       32, scratch);
    for (float v : scratch.distances) EXPECT_EQ(v, 1.0f);
}

TEST(SqRowScan, OffersRowsBelowTheLiveThresholdThatTheFilterContains) {
    const size_t d = 4, n = 6;
    const CodeRun r = random_run(n, d, 11);
    const std::vector<float> dist = reference(r.sq, r.query, r.centroid, r.codes, n, kInf, 0, 32);
    const std::vector<int64_t> ids = {10, 11, 12, 13, 14, 15};
    SqScanScratch scratch;
    // Ceiling at row 2's distance: row 2 itself is not admitted.
    TopKHeap heap = TopKHeap::with_max_distance(10, dist[2]);
    tavren::sq::scan_sq_rows(r.query, ids, r.codes, r.centroid, r.sq, 0, nullptr, scratch, heap);
    std::vector<std::pair<float, int64_t>> got = std::move(heap).into_sorted();
    size_t below = 0;
    for (float v : dist) below += v < dist[2] ? 1 : 0;
    EXPECT_EQ(got.size(), below);
    for (const auto& [v, id] : got) EXPECT_NE(id, 12);
    // A filter that rejects every row: nothing is offered.
    const RoaringTreemap none = tavren::index_io_util::decode_roaring_filter(tavren::testing::roaring_filter_bytes({}));
    const RowIdFilter filter(none);
    TopKHeap empty(3);
    tavren::sq::scan_sq_rows(r.query, ids, r.codes, r.centroid, r.sq, 0, &filter, scratch, empty);
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(scratch.distances.size(), n);
}

// ---- Searches ---------------------------------------------------------------------------

namespace {

// The k nearest rows by exact distance on the raw rows (ties by row ID).
std::vector<int64_t> brute_force(const tavren::testing::SqFixture& f, std::span<const float> query, size_t k,
                                 uint32_t metric) {
    const size_t d = f.index.dimension();
    const size_t n = f.ids.size();
    std::vector<float> q(query.begin(), query.end());
    std::vector<std::pair<float, int64_t>> all;
    const std::vector<float> rows = tavren::distance::preprocess_vectors(f.rows, n, d, metric);
    const std::vector<float> pq = tavren::distance::preprocess_vectors(q, 1, d, metric);
    for (size_t i = 0; i < n; ++i) {
        all.emplace_back(tavren::distance::fvec_distance(pq, std::span<const float>(rows).subspan(i * d, d), metric),
                         f.ids[i]);
    }
    std::sort(all.begin(), all.end());
    std::vector<int64_t> out;
    for (size_t i = 0; i < k && i < all.size(); ++i) out.push_back(all[i].second);
    return out;
}

double recall(const tavren::testing::SqFixture& f, IVFSQIndexReader& r, size_t nprobe, uint32_t metric,
              size_t nq) {
    const size_t d = f.index.dimension();
    const std::vector<float> queries = tavren::testing::sq_rows(nq, d, 99);
    size_t hits = 0;
    for (size_t i = 0; i < nq; ++i) {
        const std::span<const float> q = std::span<const float>(queries).subspan(i * d, d);
        const std::vector<int64_t> want = brute_force(f, q, 10, metric);
        const SearchResult got = r.search_with_filter(q, 10, nprobe, nullptr);
        const std::set<int64_t> got_set(got.ids.begin(), got.ids.end());
        for (int64_t id : want) hits += got_set.count(id);
    }
    return static_cast<double>(hits) / static_cast<double>(10 * nq);
}

void expect_same(const SearchResult& a, const SearchResult& b, const std::string& what) {
    EXPECT_EQ(a.ids, b.ids) << what;
    EXPECT_EQ(bits(a.distances), bits(b.distances)) << what;
}

SearchResult slice(const SearchResult& r, size_t q, size_t k) {
    return SearchResult{std::vector<int64_t>(r.ids.begin() + q * k, r.ids.begin() + (q + 1) * k),
                        std::vector<float>(r.distances.begin() + q * k, r.distances.begin() + (q + 1) * k)};
}

}  // namespace

TEST(IVFSQSearch, RecallReachesAFloorAtFullWidthAndRisesWithNprobe) {
    for (uint32_t metric : {0u, 1u, 2u}) {
        const auto f = make_sq_fixture(2000, 16, 16, metric, 21 + metric);
        IVFSQIndexReader r = open_sq_reader(f.file);
        const double r1 = recall(f, r, 1, metric, 40);
        const double r4 = recall(f, r, 4, metric, 40);
        const double full = recall(f, r, 16, metric, 40);
        EXPECT_LE(r1, r4) << metric;
        EXPECT_LE(r4, full) << metric;
        EXPECT_GE(full, 0.9) << metric;
    }
}

TEST(IVFSQSearch, ReturnsExactlyTopKPaddedAndHonoursTheFilter) {
    const auto f = make_sq_fixture(20, 8, 2, 0, 31);
    IVFSQIndexReader r = open_sq_reader(f.file);
    const std::vector<float> q(f.rows.begin(), f.rows.begin() + 8);
    const SearchResult all = r.search_with_filter(q, 50, 2, nullptr);
    ASSERT_EQ(all.ids.size(), 50u);
    ASSERT_EQ(all.distances.size(), 50u);
    for (size_t i = 0; i < 50; ++i) {
        EXPECT_EQ(all.ids[i] == -1, i >= 20) << i;
        if (i >= 20) {
            EXPECT_EQ(all.distances[i], kF32Max);
        } else if (i + 1 < 20) {
            EXPECT_LE(all.distances[i], all.distances[i + 1]);
        }
    }
    EXPECT_EQ(all.ids[0], f.ids[0]);
    // A filter of three rows: exactly those, then padding.
    const std::vector<uint64_t> allowed = {static_cast<uint64_t>(f.ids[3]), static_cast<uint64_t>(f.ids[7]),
                                           static_cast<uint64_t>(f.ids[11]), 999999};
    const RoaringTreemap tm = tavren::index_io_util::decode_roaring_filter(tavren::testing::roaring_filter_bytes(allowed));
    const RowIdFilter filter(tm);
    const SearchResult some = r.search_with_filter(q, 5, 2, &filter);
    std::set<int64_t> got(some.ids.begin(), some.ids.begin() + 3);
    EXPECT_EQ(got, (std::set<int64_t>{f.ids[3], f.ids[7], f.ids[11]}));
    EXPECT_EQ(some.ids[3], -1);
    EXPECT_EQ(some.ids[4], -1);
    tavren::testing::expect_error([&] { (void)r.search_with_filter(std::vector<float>(3), 5, 2, nullptr); },
                                  "queries length 3 does not match nq * dimension 8");
    tavren::testing::expect_error([&] { (void)r.search_with_filter(q, 0, 2, nullptr); }, "k must be greater than 0");
    tavren::testing::expect_error([&] { (void)r.search_with_filter(q, 5, 0, nullptr); },
                                  "nprobe must be greater than 0");
}

TEST(IVFSQSearch, LargeGroupsScannedInParallelGiveTheSequentialResult) {
    // 9000 rows in 3 small lists: one group above 8191 rows.
    const auto f = make_sq_fixture(9000, 8, 3, 0, 41);
    IVFSQIndexReader r = open_sq_reader(f.file);
    const size_t d = 8;
    const std::vector<float> queries = tavren::testing::sq_rows(5, d, 42);
    for (size_t i = 0; i < 5; ++i) {
        const std::span<const float> q = std::span<const float>(queries).subspan(i * d, d);
        for (size_t threads : {1, 8}) {
            tavren::testing::PoolGuard pool(threads);
            const SearchResult got = r.search_with_filter(q, 10, 3, nullptr);
            // Sequential reference: every list, probe order, one heap.
            const auto probes = tavren::kmeans::find_topk(q, r.centroids(), 3, d, 3).lists;
            TopKHeap heap(10);
            SqScanScratch scratch;
            const auto lists = r.read_inverted_lists(probes);
            for (const auto& list : lists) {
                tavren::sq::scan_sq_rows(q, list.ids, list.codes(), r.centroid(list.list), r.list_sqs()[list.list], 0,
                                         nullptr, scratch, heap);
            }
            expect_same(got, tavren::ivfsq_io::padded_results(std::move(heap), 10), "large group");
        }
    }
}

TEST(IVFSQBatchSearch, EqualsSingleSearchPerQueryAtEveryPoolSize) {
    for (uint32_t metric : {0u, 2u}) {
        const auto f = make_sq_fixture(1500, 12, 8, metric, 51);
        IVFSQIndexReader r = open_sq_reader(f.file);
        const size_t nq = 17, k = 7, d = 12;
        const std::vector<float> queries = tavren::testing::sq_rows(nq, d, 52);
        SearchResult first;
        for (size_t threads : {1, 8}) {
            tavren::testing::PoolGuard pool(threads);
            const SearchResult batch =
                tavren::ivfsq_io::search_batch_ivfsq_reader_filter_range(r, queries, nq, k, 0, 3, {}, {}, nullptr);
            ASSERT_EQ(batch.ids.size(), nq * k);
            for (size_t q = 0; q < nq; ++q) {
                expect_same(slice(batch, q, k),
                            r.search_with_filter(std::span<const float>(queries).subspan(q * d, d), k, 3, nullptr),
                            "query " + std::to_string(q));
            }
            if (threads == 1) {
                first = batch;
            } else {
                expect_same(first, batch, "pool sizes");
            }
        }
        // One query, from rank 0, no seeds: the single search itself.
        const std::span<const float> q0 = std::span<const float>(queries).first(d);
        expect_same(tavren::ivfsq_io::search_batch_ivfsq_reader_filter_range(r, q0, 1, k, 0, 5, {}, {}, nullptr),
                    r.search_with_filter(q0, k, 5, nullptr), "nq = 1");
    }
}

TEST(IVFSQBatchSearch, SeedsPrefillTheHeapsAndWideningMatchesOnePass) {
    const auto f = make_sq_fixture(1200, 8, 8, 0, 61);
    IVFSQIndexReader r = open_sq_reader(f.file);
    const size_t nq = 4, k = 6, d = 8;
    const std::vector<float> queries = tavren::testing::sq_rows(nq, d, 62);
    const SearchResult narrow =
        tavren::ivfsq_io::search_batch_ivfsq_reader_filter_range(r, queries, nq, k, 0, 2, {}, {}, nullptr);
    const SearchResult widened = tavren::ivfsq_io::search_batch_ivfsq_reader_filter_range(
        r, queries, nq, k, 2, 5, narrow.ids, narrow.distances, nullptr);
    const SearchResult whole =
        tavren::ivfsq_io::search_batch_ivfsq_reader_filter_range(r, queries, nq, k, 0, 5, {}, {}, nullptr);
    expect_same(widened, whole, "widened");
    // Seeds all at f32::MAX: nothing pre-filled.
    const std::vector<int64_t> ids(nq * k, 12345);
    const std::vector<float> max(nq * k, kF32Max);
    const SearchResult ignored =
        tavren::ivfsq_io::search_batch_ivfsq_reader_filter_range(r, queries, nq, k, 2, 5, ids, max, nullptr);
    const SearchResult unseeded = tavren::ivfsq_io::search_batch_ivfsq_reader_filter_range(
        r, queries, nq, k, 2, 5, {}, {}, nullptr);
    expect_same(ignored, unseeded, "max seeds");
    // Nothing left to probe: the seeds, sorted and padded.
    std::vector<int64_t> seed_ids(nq * k, 0);
    std::vector<float> seed_d(nq * k, kF32Max);
    seed_ids[0] = 5;
    seed_d[0] = 2.0f;
    seed_ids[1] = 4;
    seed_d[1] = 1.0f;
    const SearchResult seeds_only =
        tavren::ivfsq_io::search_batch_ivfsq_reader_filter_range(r, queries, nq, k, 8, 9, seed_ids, seed_d, nullptr);
    EXPECT_EQ(seeds_only.ids[0], 4);
    EXPECT_EQ(seeds_only.ids[1], 5);
    EXPECT_EQ(seeds_only.ids[2], -1);
    EXPECT_EQ(seeds_only.ids[k], -1);
    using tavren::testing::expect_error;
    expect_error([&] { tavren::ivfsq_io::search_batch_ivfsq_reader_filter_range(r, queries, nq, k, 2, 2, {}, {}, nullptr); },
                 "probe range must be non-empty");
    expect_error([&] { tavren::ivfsq_io::search_batch_ivfsq_reader_filter_range(r, queries, nq, k, 3, 2, {}, {}, nullptr); },
                 "probe range must be non-empty");
    expect_error(
        [&] {
            tavren::ivfsq_io::search_batch_ivfsq_reader_filter_range(r, queries, nq, k, 0, 2, ids,
                                                                     std::vector<float>(3), nullptr);
        },
        "seed result lengths must both equal nq * k");
    expect_error([&] { tavren::ivfsq_io::search_batch_ivfsq_reader_filter_range(r, queries, 0, k, 0, 2, {}, {}, nullptr); },
                 "nq must be greater than 0");
    expect_error([&] { tavren::ivfsq_io::search_batch_ivfsq_reader_filter_range(r, queries, nq, k, 0, 0, {}, {}, nullptr); },
                 "nprobe must be greater than 0");
}

TEST(IVFSQStreamedSearch, WindowedIdsGiveTheResultsOfWholeReads) {
    const auto f = make_sq_fixture(3000, 8, 3, 0, 71);
    IVFSQIndexReader whole = open_sq_reader(f.file);
    tavren::testing::MemorySource::Observer obs;
    IVFSQIndexReader streamed = open_sq_reader(f.file, {}, &obs);
    tavren::ivfsq_io::SqReadBudgets budgets;
    budgets.stream_threshold = 1000;  // every list streams
    budgets.id_block_budget = 100;    // IDs in windows
    budgets.id_window_bytes = 7;
    streamed.set_read_budgets_for_testing(budgets);
    const size_t d = 8, nq = 6, k = 10;
    const std::vector<float> queries = tavren::testing::sq_rows(nq, d, 72);
    obs.reset();
    const SearchResult a =
        tavren::ivfsq_io::search_batch_ivfsq_reader_filter_range(streamed, queries, nq, k, 0, 3, {}, {}, nullptr);
    const SearchResult b =
        tavren::ivfsq_io::search_batch_ivfsq_reader_filter_range(whole, queries, nq, k, 0, 3, {}, {}, nullptr);
    // Same candidates (chunks arrive in row order as whole lists do).
    expect_same(a, b, "windowed batch");
    EXPECT_GT(obs.stats().calls, 3u * 10);
    EXPECT_EQ(streamed.list_cache()->entries(), 0u);
    const std::span<const float> q0 = std::span<const float>(queries).first(d);
    expect_same(streamed.search_with_filter(q0, k, 3, nullptr), whole.search_with_filter(q0, k, 3, nullptr), "single");
}

TEST(IVFSQFacade, EverySearchFormReturnsExactlyTopK) {
    const auto f = make_sq_fixture(600, 8, 6, 0, 81);
    auto reader = tavren::index::VectorIndexReader::open_with_options(
        tavren::testing::MemorySource::make(f.file, {}, nullptr), tavren::read_options::VectorIndexReaderOptions{});
    const std::vector<float> queries = tavren::testing::sq_rows(3, 8, 82);
    const std::span<const float> q0 = std::span<const float>(queries).first(8);
    std::vector<uint64_t> allowed;
    for (size_t i = 0; i < 600; i += 50) {
        if (f.ids[i] >= 0) allowed.push_back(static_cast<uint64_t>(f.ids[i]));
    }
    std::sort(allowed.begin(), allowed.end());
    const std::vector<uint8_t> filter = tavren::testing::roaring_filter_bytes(allowed);
    for (uint32_t width_type : {0u, 1u}) {
        tavren::index::VectorSearchParams p;
        p.top_k = 15;
        p.width_type = width_type;
        p.width = width_type == 1 ? 2 : 0;
        const SearchResult one = reader.search(q0, p);
        EXPECT_EQ(one.ids.size(), 15u);
        const SearchResult filtered = reader.search_with_roaring_filter(q0, p, filter);
        ASSERT_EQ(filtered.ids.size(), 15u);
        size_t found = 0;
        for (int64_t id : filtered.ids) {
            if (id == -1) continue;
            ++found;
            EXPECT_TRUE(std::binary_search(allowed.begin(), allowed.end(), static_cast<uint64_t>(id)));
        }
        // The automatic width widens until every allowed row is reached; an
        // explicit one runs one pass.
        if (width_type == 0) {
            EXPECT_EQ(found, std::min<size_t>(allowed.size(), 15));
        } else {
            EXPECT_GT(found, 0u);
        }
        const SearchResult batch = reader.search_batch(queries, 3, p);
        EXPECT_EQ(batch.ids.size(), 45u);
        EXPECT_EQ(batch.distances.size(), 45u);
        const SearchResult fbatch = reader.search_batch_with_roaring_filter(queries, 3, p, filter);
        EXPECT_EQ(fbatch.ids.size(), 45u);
        expect_same(slice(fbatch, 0, 15), filtered, "filtered batch vs single");
    }
}
