// IVF-PQ list scans and searches: the scan kernels against their scalar
// twins, the 4-bit exact prefix and quantisation range, filtered gather and
// full scans, full-width searches against exhaustive rankings under every
// metric (with and without a rotation, 8- and 4-bit codes), batch against
// single searches in every reuse mode and budget, the precomputed table,
// streamed lists, filters, recall on trained clustered data, and the
// batch diagnostics lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <set>
#include <vector>

#include "bytes.hpp"
#include "distance.hpp"
#include "expect.hpp"
#include "guards.hpp"
#include "index_io_util.hpp"
#include "ivfpq.hpp"
#include "ivfpq_batch_log.hpp"
#include "ivfpq_fixture.hpp"
#include "ivfpq_io.hpp"
#include "ivfpq_scan.hpp"
#include "ivfpq_scan_kernels.hpp"
#include "kmeans.hpp"
#include "memory_sink.hpp"
#include "memory_source.hpp"
#include "numeric.hpp"
#include "pool.hpp"
#include "row_id_filter.hpp"
#include "stderr_capture.hpp"

namespace {

using tavren::SearchResult;
using tavren::ivfpq::TopKHeap;
using tavren::ivfpq_io::BatchTableReuse;
using tavren::ivfpq_io::IVFPQIndexReader;
using tavren::row_id_filter::RoaringTreemap;
using tavren::row_id_filter::RowIdFilter;
using tavren::testing::MemorySource;
namespace kern = tavren::ivfpq_scan_kernels;

std::vector<float> random_floats(size_t n, uint32_t seed, float lo = -1.0f, float hi = 1.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(lo, hi);
    std::vector<float> v(n);
    for (float& x : v) x = u(rng);
    return v;
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> b(0, 255);
    std::vector<uint8_t> v(n);
    for (uint8_t& x : v) x = static_cast<uint8_t>(b(rng));
    return v;
}

SearchResult slice(const SearchResult& r, size_t i, size_t k) {
    SearchResult out;
    out.ids.assign(r.ids.begin() + static_cast<std::ptrdiff_t>(i * k), r.ids.begin() + static_cast<std::ptrdiff_t>(i * k + k));
    out.distances.assign(r.distances.begin() + static_cast<std::ptrdiff_t>(i * k),
                         r.distances.begin() + static_cast<std::ptrdiff_t>(i * k + k));
    return out;
}

void expect_close(const SearchResult& got, const SearchResult& want, float tol, const std::string& what) {
    ASSERT_EQ(got.distances.size(), want.distances.size()) << what;
    for (size_t i = 0; i < got.distances.size(); ++i) {
        EXPECT_NEAR(got.distances[i], want.distances[i], tol * std::max(1.0f, std::fabs(want.distances[i])))
            << what << " rank " << i;
    }
}

RoaringTreemap treemap_of(const std::vector<uint64_t>& values) {
    return tavren::index_io_util::decode_roaring_filter(tavren::testing::roaring_filter_bytes(values));
}

// ---- Kernels -------------------------------------------------------------------------

TEST(IvfPqScanKernels, EightBitScanEqualsItsScalarTwinAndTheRowRule) {
    tavren::testing::RestoreDetection restore;
    for (size_t rows : {size_t{1}, size_t{7}, size_t{33}, size_t{300}, size_t{1029}}) {
        const size_t m = 13;
        const std::vector<float> table = random_floats(m * 256, 3);
        const std::vector<uint8_t> codes = random_bytes(rows * m, 4 + static_cast<uint32_t>(rows));
        std::vector<float> simd(rows), scalar(rows);
        kern::scan8_all(table.data(), codes.data(), rows, m, 0.25f, simd.data());
        tavren::distance::force_scalar_for_testing(true);
        kern::scan8_all(table.data(), codes.data(), rows, m, 0.25f, scalar.data());
        tavren::distance::force_scalar_for_testing(false);
        for (size_t r = 0; r < rows; ++r) {
            EXPECT_EQ(simd[r], scalar[r]) << rows << " " << r;
            EXPECT_EQ(simd[r], kern::scan8_row(table.data(), codes.data(), rows, r, m, 0.25f)) << rows << " " << r;
        }
    }
}

TEST(IvfPqScanKernels, DoubleDotRowsEqualTheirScalarTwinAndTheSequentialSum) {
    tavren::testing::RestoreDetection restore;
    for (const auto& [w, ksub] : std::vector<std::pair<size_t, size_t>>{{1, 256}, {3, 256}, {8, 256}, {5, 16}, {7, 13}}) {
        const std::vector<float> x = random_floats(w, 7 + static_cast<uint32_t>(w), -3.0f, 3.0f);
        const std::vector<float> y = random_floats(w * ksub, 8 + static_cast<uint32_t>(ksub), -3.0f, 3.0f);
        std::vector<double> simd(ksub), scalar(ksub);
        kern::dot_rows_f64(x.data(), y.data(), w, ksub, simd.data());
        tavren::distance::force_scalar_for_testing(true);
        kern::dot_rows_f64(x.data(), y.data(), w, ksub, scalar.data());
        tavren::distance::force_scalar_for_testing(false);
        for (size_t c = 0; c < ksub; ++c) {
            double want = 0.0;
            for (size_t t = 0; t < w; ++t) want = want + static_cast<double>(x[t]) * static_cast<double>(y[t * ksub + c]);
            EXPECT_EQ(simd[c], want) << w << " " << c;
            EXPECT_EQ(scalar[c], want) << w << " " << c;
        }
    }
}

TEST(IvfPqScanKernels, CombinedRowsEqualTheirScalarTwinAndClampToZero) {
    tavren::testing::RestoreDetection restore;
    const size_t n = 259;
    std::vector<double> stable(n), eph(n);
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(-2.0, 2.0);
    for (size_t i = 0; i < n; ++i) {
        stable[i] = u(rng);
        eph[i] = u(rng);
    }
    stable[5] = std::numeric_limits<double>::quiet_NaN();
    stable[6] = 2.0 * eph[6] - 0.5;  // exactly -0.5 + r below zero for r < 0.5
    std::vector<float> simd(n), scalar(n);
    kern::combine_rows_f64(stable.data(), eph.data(), 0.25, n, simd.data());
    tavren::distance::force_scalar_for_testing(true);
    kern::combine_rows_f64(stable.data(), eph.data(), 0.25, n, scalar.data());
    tavren::distance::force_scalar_for_testing(false);
    for (size_t c = 0; c < n; ++c) {
        const double v = (stable[c] + 0.25) - (eph[c] + eph[c]);
        const float want = v > 0.0 ? static_cast<float>(v) : 0.0f;
        EXPECT_EQ(simd[c], want) << c;
        EXPECT_EQ(scalar[c], want) << c;
    }
    EXPECT_EQ(simd[5], 0.0f);
    EXPECT_EQ(simd[6], 0.0f);
}

TEST(IvfPqScanKernels, FourBitFastScanEqualsItsScalarTwin) {
    tavren::testing::RestoreDetection restore;
    for (size_t m : {size_t{2}, size_t{16}, size_t{64}, size_t{258}}) {
        const size_t rows = 333;
        const std::vector<float> table = random_floats(m * 16, 5);
        const std::vector<uint8_t> codes = random_bytes(rows * m / 2, 6);
        std::vector<uint8_t> lut(m * 16);
        const kern::QuantizedTable q = kern::quantize_table4(table, m, lut);
        std::vector<float> simd(rows), scalar(rows);
        kern::scan4_fast(lut.data(), codes.data(), rows, 3, rows, m / 2, q, simd.data());
        tavren::distance::force_scalar_for_testing(true);
        kern::scan4_fast(lut.data(), codes.data(), rows, 3, rows, m / 2, q, scalar.data());
        tavren::distance::force_scalar_for_testing(false);
        for (size_t r = 3; r < rows; ++r) EXPECT_EQ(simd[r], scalar[r]) << m << " " << r;
    }
}

// Scores `rows` 4-bit rows with every row offered (k = rows) and returns
// the distance of each row, by row ID = position.
std::vector<float> score4(const std::vector<float>& table, const std::vector<uint8_t>& codes, size_t rows, size_t m,
                          float coarse) {
    std::vector<int64_t> ids(rows);
    std::iota(ids.begin(), ids.end(), int64_t{0});
    TopKHeap heap(rows);
    std::vector<float> dist;
    std::vector<uint8_t> lut;
    tavren::ivfpq::scan_reader_codes(table, codes, ids, coarse, m, 4, nullptr, dist, lut, heap);
    std::vector<float> out(rows, std::nanf(""));
    for (const auto& p : std::move(heap).into_sorted()) out[static_cast<size_t>(p.row_id)] = p.distance;
    return out;
}

float exact4(const std::vector<float>& table, const std::vector<uint8_t>& codes, size_t rows, size_t r, size_t m) {
    float s = 0.0f;
    for (size_t k = 0; k < m / 2; ++k) {
        const uint8_t b = codes[k * rows + r];
        s = s + table[32 * k + (b & 0xF)];
        s = s + table[32 * k + 16 + (b >> 4)];
    }
    return s;
}

TEST(IvfPqScan, FourBitExactPrefixIsTwoHundredRows) {
    const size_t m = 8;
    const std::vector<float> table = random_floats(m * 16, 9);
    for (size_t rows : {size_t{200}, size_t{201}}) {
        const std::vector<uint8_t> codes = random_bytes(rows * m / 2, 10);
        const std::vector<float> got = score4(table, codes, rows, m, 0.5f);
        for (size_t r = 0; r < std::min<size_t>(rows, 200); ++r) {
            EXPECT_EQ(got[r], exact4(table, codes, rows, r, m) + 0.5f) << rows << " " << r;
        }
        if (rows == 201) {
            // The one quantised row: within half a step per sub-quantizer.
            EXPECT_NEAR(got[200], exact4(table, codes, rows, 200, m) + 0.5f, 0.1f);
        }
    }
}

TEST(IvfPqScan, FourBitRangeHoldsForNegativeInnerProductTables) {
    // Mostly negative entries (inner product): a range taken from the row
    // sums and the smallest entry would collapse and give every row from 200
    // on the best score.
    const size_t m = 16, rows = 600;
    std::vector<float> table = random_floats(m * 16, 11, -3.0f, -1.0f);
    const std::vector<uint8_t> codes = random_bytes(rows * m / 2, 12);
    const std::vector<float> got = score4(table, codes, rows, m, 0.0f);
    std::set<float> distinct;
    float step = 0.0f;
    for (size_t j = 0; j < m; ++j) {
        const auto [lo, hi] = std::minmax_element(table.begin() + j * 16, table.begin() + j * 16 + 16);
        step = std::max(step, (*hi - *lo) / 255.0f);
    }
    for (size_t r = 200; r < rows; ++r) {
        distinct.insert(got[r]);
        EXPECT_NEAR(got[r], exact4(table, codes, rows, r, m), step * m + 1e-4f) << r;
    }
    EXPECT_GT(distinct.size(), 100u);
}

TEST(IvfPqScan, FourBitAllZeroTableScoresTheCoarseTerm) {
    const size_t m = 4, rows = 260;
    const std::vector<float> table(m * 16, 0.0f);
    const std::vector<uint8_t> codes = random_bytes(rows * m / 2, 13);
    for (float d : score4(table, codes, rows, m, 1.5f)) EXPECT_EQ(d, 1.5f);
}

TEST(IvfPqScan, GatherAndFullScanGiveEqualDistances) {
    const size_t m = 6, rows = 64;
    const std::vector<float> table = random_floats(m * 256, 14);
    const std::vector<uint8_t> codes = random_bytes(rows * m, 15);
    std::vector<int64_t> ids(rows);
    std::iota(ids.begin(), ids.end(), int64_t{100});
    for (size_t matches : {size_t{8}, size_t{9}}) {
        std::vector<uint64_t> allowed;
        for (size_t i = 0; i < matches; ++i) allowed.push_back(100 + 7 * i);
        const RoaringTreemap tm = treemap_of(allowed);
        const RowIdFilter filter(tm);
        std::vector<uint64_t> words;
        const tavren::ivfpq::MatchingRows matching = tavren::ivfpq::matching_rows(ids, filter, words);
        EXPECT_EQ(matching.count, matches);
        EXPECT_EQ(matching.words.size(), 1u);
        TopKHeap heap(rows);
        std::vector<float> dist;
        std::vector<uint8_t> lut;
        tavren::ivfpq::scan_reader_codes(table, codes, ids, 0.125f, m, 8, &matching, dist, lut, heap);
        const auto sorted = std::move(heap).into_sorted();
        ASSERT_EQ(sorted.size(), matches);
        for (const auto& p : sorted) {
            const size_t r = static_cast<size_t>(p.row_id - 100);
            EXPECT_EQ(r % 7, 0u);
            EXPECT_EQ(p.distance, kern::scan8_row(table.data(), codes.data(), rows, r, m, 0.125f));
        }
    }
}

TEST(IvfPqScan, HeapRefusesNaNAheadOfRealDistancesAndEqualDistancesWhenFull) {
    TopKHeap heap(2);
    heap.push(1, std::nanf(""));
    heap.push(2, 3.0f);
    heap.push(3, 2.0f);  // replaces the NaN, which ranks last
    heap.push(4, 3.0f);  // equal to the worst: refused
    const auto sorted = std::move(heap).into_sorted();
    ASSERT_EQ(sorted.size(), 2u);
    EXPECT_EQ(sorted[0].row_id, 3);
    EXPECT_EQ(sorted[1].row_id, 2);
}

// ---- Searches ------------------------------------------------------------------------

struct Case {
    uint32_t metric;
    size_t nbits;
    bool rotation;
};

TEST(IvfPqSearch, FullWidthEqualsTheExhaustiveRankingUnderEveryMetric) {
    for (const Case c : {Case{0, 8, false}, Case{1, 8, false}, Case{2, 8, false}, Case{0, 8, true}, Case{2, 8, true},
                         Case{0, 4, false}, Case{1, 4, true}, Case{2, 4, false}}) {
        // Lists below 200 rows, so 4-bit rows are all scored exactly.
        const auto f = tavren::testing::make_pq_fixture(c.metric, 16, 8, c.nbits, 9, 700, 21 + c.metric);
        IVFPQIndexReader reader = tavren::testing::open_pq_reader(f.file);
        const size_t k = 700;  // every row
        const std::vector<float> q = random_floats(4 * 16, 22);
        for (size_t i = 0; i < 4; ++i) {
            const std::span<const float> query(q.data() + i * 16, 16);
            const std::string what = "metric " + std::to_string(c.metric) + " bits " + std::to_string(c.nbits) +
                                     " rotation " + std::to_string(c.rotation) + " query " + std::to_string(i);
            const SearchResult got = reader.search_with_filter(query, k, 9, nullptr);
            const SearchResult want = tavren::testing::brute_force_pq(f.index, query, k, nullptr);
            EXPECT_EQ(got.distances, want.distances) << what;
            expect_close(got, tavren::testing::decoded_ranking(f.index, query, k), 1e-4f, what);
        }
    }
}

TEST(IvfPqSearch, BatchEqualsSingleInEveryReuseModeAndBudget) {
    // nq 70: Auto may keep query tables (and, for l2 residual codes without
    // the precomputed table, split them); nq 63: Auto never does.
    for (uint32_t metric : {0u, 1u}) {
        const auto f = tavren::testing::make_pq_fixture(metric, 16, 8, 8, 12, 3000, 31 + metric);
        for (size_t nq : {size_t{70}, size_t{63}}) {
            const size_t k = 9, nprobe = 4;
            const std::vector<float> q = random_floats(nq * 16, 32);
            for (bool optimized : {false, true}) {
                IVFPQIndexReader reader = tavren::testing::open_pq_reader(f.file);
                if (optimized) {
                    EXPECT_EQ(reader.prepare_for_search(), metric == 0);
                }
                std::vector<SearchResult> single;
                for (size_t i = 0; i < nq; ++i) {
                    single.push_back(reader.search_with_filter(std::span<const float>(q.data() + i * 16, 16), k,
                                                               nprobe, nullptr));
                }
                const uint64_t exact = nq * 8 * 256 * 4;
                // The split's bound: nq ephemeral, one stable table per worker
                // and the norms, 8-byte entries.
                const uint64_t split_exact = (nq + tavren::pool::current_num_threads() + 1) * 8 * 256 * 8;
                for (BatchTableReuse mode : {BatchTableReuse::Off, BatchTableReuse::On, BatchTableReuse::Auto}) {
                    for (uint64_t budget : {uint64_t{1}, exact - 1, exact, split_exact - 1, split_exact,
                                            tavren::ivfpq_io::kDefaultReuseBudgetBytes}) {
                        const SearchResult batch = reader.search_batch_range_with_reuse(q, nq, k, 0, nprobe, {}, {},
                                                                                        nullptr, mode, budget);
                        const std::string what = "metric " + std::to_string(metric) + " nq " + std::to_string(nq) +
                                                 " optimized " + std::to_string(optimized) + " mode " +
                                                 std::to_string(static_cast<int>(mode)) + " budget " +
                                                 std::to_string(budget);
                        // Split on exactly when: l2 residual, no precomputed
                        // table, not Off, its bound fits, On or Auto from 64
                        // queries (here Auto's pair rule holds: 4 x nq
                        // probes against at most 12 lists + nq queries).
                        const bool want_split = metric == 0 && !optimized && mode != BatchTableReuse::Off &&
                                                budget >= split_exact &&
                                                (mode == BatchTableReuse::On || nq >= 64);
                        EXPECT_EQ(reader.last_batch_used_split(), want_split) << what;
                        // Precomputed-term and split tables differ from the
                        // single search's per-pair tables in rounding only.
                        const bool precomputed = optimized && metric == 0 && mode != BatchTableReuse::Off &&
                                                 budget >= exact;
                        const bool same_tables = optimized ? precomputed || metric != 0 : !want_split;
                        for (size_t i = 0; i < nq; ++i) {
                            const std::string at = what + " query " + std::to_string(i);
                            if (same_tables) {
                                EXPECT_EQ(slice(batch, i, k).ids, single[i].ids) << at;
                                EXPECT_EQ(slice(batch, i, k).distances, single[i].distances) << at;
                            } else {
                                expect_close(slice(batch, i, k), single[i], 1e-5f, at);
                            }
                        }
                    }
                }
            }
        }
    }
}

TEST(IvfPqScan, SplitTablesAreTheResidualDistancesInDoubleAndNeverNegative) {
    const auto f = tavren::testing::make_pq_fixture(0, 12, 4, 8, 3, 300, 61);
    const auto& pq = f.index.pq();
    const std::vector<double> norms = tavren::ivfpq::compute_stable_ephemeral_pq_norms(pq);
    const std::vector<float> q = random_floats(12, 62);
    const std::vector<float> c = random_floats(12, 63);
    std::vector<double> stable, eph;
    std::vector<float> combined;
    tavren::ivfpq::fill_stable_ephemeral_list_table(c, 12, pq, norms, stable);
    tavren::ivfpq::fill_stable_ephemeral_query_table(q, 12, pq, eph);
    tavren::ivfpq::combine_stable_ephemeral_tables(stable, eph, q, c, pq, combined);
    ASSERT_EQ(combined.size(), 4u * 256);
    const std::span<const float> book = pq.centroids();
    for (size_t j = 0; j < 4; ++j) {
        for (size_t cw = 0; cw < 256; ++cw) {
            double want = 0.0;
            for (size_t t = 0; t < 3; ++t) {
                const double r = static_cast<double>(q[j * 3 + t]) - c[j * 3 + t] - book[j * 3 * 256 + cw * 3 + t];
                want += r * r;
            }
            EXPECT_NEAR(combined[j * 256 + cw], want, 1e-5 * std::max(1.0, want)) << j << " " << cw;
        }
    }
    // A query on the codeword itself: cancellation may go below zero, the
    // table never does.
    std::vector<float> on(12, 0.0f);
    for (size_t j = 0; j < 4; ++j) {
        for (size_t t = 0; t < 3; ++t) on[j * 3 + t] = book[j * 3 * 256 + 7 * 3 + t];
    }
    const std::vector<float> zero(12, 0.0f);
    tavren::ivfpq::fill_stable_ephemeral_list_table(zero, 12, pq, norms, stable);
    tavren::ivfpq::fill_stable_ephemeral_query_table(on, 12, pq, eph);
    tavren::ivfpq::combine_stable_ephemeral_tables(stable, eph, on, zero, pq, combined);
    for (size_t j = 0; j < 4; ++j) {
        EXPECT_GE(combined[j * 256 + 7], 0.0f);
        EXPECT_LT(combined[j * 256 + 7], 1e-6f);
    }
}

TEST(IvfPqSearch, AutoSplitsOnlyWhenPairsOutnumberTwiceTheTablesAndOnStreamsToo) {
    const auto f = tavren::testing::make_pq_fixture(0, 16, 8, 8, 40, 4000, 71);
    IVFPQIndexReader reader = tavren::testing::open_pq_reader(f.file);
    const size_t nq = 64, k = 7;
    const std::vector<float> q = random_floats(nq * 16, 72);
    struct Row {
        size_t nprobe;
        BatchTableReuse mode;
        bool split;
    };
    // nprobe 1: 64 pairs < 2 x (lists + 64 queries); nprobe 8: 512 pairs
    // >= 2 x (at most 40 lists + 64 queries) = 208.
    for (const Row& row : {Row{1, BatchTableReuse::Auto, false}, Row{8, BatchTableReuse::Auto, true},
                           Row{1, BatchTableReuse::On, true}, Row{8, BatchTableReuse::Off, false}}) {
        const std::string what = "nprobe " + std::to_string(row.nprobe) + " mode " +
                                 std::to_string(static_cast<int>(row.mode));
        const SearchResult batch = reader.search_batch_range_with_reuse(
            q, nq, k, 0, row.nprobe, {}, {}, nullptr, row.mode, tavren::ivfpq_io::kDefaultReuseBudgetBytes);
        EXPECT_EQ(reader.last_batch_used_split(), row.split) << what;
        for (size_t i = 0; i < nq; ++i) {
            const SearchResult one =
                reader.search_with_filter(std::span<const float>(q.data() + i * 16, 16), k, row.nprobe, nullptr);
            if (row.split) {
                expect_close(slice(batch, i, k), one, 1e-5f, what);
            } else {
                EXPECT_EQ(slice(batch, i, k).distances, one.distances) << what;
            }
        }
        // Every list streamed in small chunks: the same answers as batched.
        IVFPQIndexReader streamed = tavren::testing::open_pq_reader(f.file);
        tavren::ivf_lists::ReadBudgets budgets;
        budgets.stream_threshold = 1;
        budgets.id_block_budget = 16;
        budgets.id_window_bytes = 16;
        budgets.chunk_budget = 8 * 50 + 20 * 8;
        streamed.set_read_budgets_for_testing(budgets);
        const SearchResult got = streamed.search_batch_range_with_reuse(
            q, nq, k, 0, row.nprobe, {}, {}, nullptr, row.mode, tavren::ivfpq_io::kDefaultReuseBudgetBytes);
        EXPECT_EQ(got.ids, batch.ids) << what;
        EXPECT_EQ(got.distances, batch.distances) << what;
    }
}

TEST(IvfPqSearch, OptimizedSearchAgreesWithinTolerance) {
    const auto f = tavren::testing::make_pq_fixture(0, 32, 16, 8, 16, 4000, 41);
    IVFPQIndexReader plain = tavren::testing::open_pq_reader(f.file);
    IVFPQIndexReader optimized = tavren::testing::open_pq_reader(f.file);
    EXPECT_TRUE(optimized.prepare_for_search());
    EXPECT_FALSE(optimized.precomputed_table().empty());
    const std::vector<float> q = random_floats(10 * 32, 42);
    for (size_t i = 0; i < 10; ++i) {
        const std::span<const float> query(q.data() + i * 32, 32);
        const SearchResult a = plain.search_with_filter(query, 20, 5, nullptr);
        const SearchResult b = optimized.search_with_filter(query, 20, 5, nullptr);
        expect_close(b, a, 1e-4f, "query " + std::to_string(i));
    }
}

TEST(IvfPqSearch, StreamedListsAndRangeCapsGiveTheSameResults) {
    for (size_t nbits : {size_t{8}, size_t{4}}) {
        const auto f = tavren::testing::make_pq_fixture(0, 16, 8, nbits, 6, 900, 51);
        const size_t nq = 5, k = 15;
        const std::vector<float> q = random_floats(nq * 16, 52);
        IVFPQIndexReader batched = tavren::testing::open_pq_reader(f.file);
        const SearchResult want = batched.search_batch_range(q, nq, k, 0, 6, {}, {}, nullptr);
        {
            // Lists delivered one per host call.
            std::array<uint8_t, 64> header{};
            std::memcpy(header.data(), f.file.data(), 64);
            MemorySource::Options one;
            one.max_ranges_per_call = 1;
            MemorySource::Observer observer;
            IVFPQIndexReader capped =
                IVFPQIndexReader::open_with_header(MemorySource::make(f.file, one, &observer), header);
            const SearchResult got = capped.search_batch_range(q, nq, k, 0, 6, {}, {}, nullptr);
            EXPECT_EQ(got.ids, want.ids);
            EXPECT_EQ(got.distances, want.distances);
            EXPECT_EQ(observer.stats().cap_violations, 0u);
        }

        // Every list streamed, in chunks of a few rows, IDs read at once or
        // piece by piece.
        for (uint64_t id_budget : {tavren::index_io_util::kReadBudgetBytes, uint64_t{16}}) {
            std::array<uint8_t, 64> header{};
            std::memcpy(header.data(), f.file.data(), 64);
            MemorySource::Options cap;
            cap.max_ranges_per_call = 3;
            MemorySource::Observer observer;
            auto source = MemorySource::make(f.file, cap, &observer);
            IVFPQIndexReader streamed = IVFPQIndexReader::open_with_header(std::move(source), header);
            tavren::ivf_lists::ReadBudgets budgets;
            budgets.stream_threshold = 1;
            budgets.id_block_budget = id_budget;
            budgets.id_window_bytes = 16;
            // About 120 rows per chunk for lists of about 150 rows (8-bit only:
            // 4-bit rows are scored exactly only in the first 200 of a chunk).
            budgets.chunk_budget = nbits == 8 ? 8 * 250 + 20 * 8 : tavren::index_io_util::kChunkBudgetBytes;
            streamed.set_read_budgets_for_testing(budgets);
            const SearchResult got = streamed.search_batch_range(q, nq, k, 0, 6, {}, {}, nullptr);
            EXPECT_EQ(got.ids, want.ids) << nbits << " " << id_budget;
            EXPECT_EQ(got.distances, want.distances) << nbits << " " << id_budget;
            EXPECT_EQ(observer.stats().cap_violations, 0u);
            for (size_t i = 0; i < nq; ++i) {
                const SearchResult one =
                    streamed.search_with_filter(std::span<const float>(q.data() + i * 16, 16), k, 6, nullptr);
                EXPECT_EQ(one.distances, slice(want, i, k).distances) << nbits << " " << i;
            }
        }
    }
}

TEST(IvfPqSearch, FiltersNeverLeak) {
    const auto f = tavren::testing::make_pq_fixture(0, 8, 4, 8, 5, 400, 61);
    IVFPQIndexReader reader = tavren::testing::open_pq_reader(f.file);
    const std::vector<float> q = random_floats(8, 62);
    const size_t k = 6;

    const RoaringTreemap empty = treemap_of({});
    const RowIdFilter none(empty);
    const SearchResult padded = reader.search_with_filter(q, k, 5, &none);
    EXPECT_EQ(padded.ids, std::vector<int64_t>(k, -1));
    EXPECT_EQ(padded.distances, std::vector<float>(k, tavren::kF32Max));

    std::vector<uint64_t> every(400);
    std::iota(every.begin(), every.end(), uint64_t{0});
    const RoaringTreemap all = treemap_of(every);
    const RowIdFilter all_rows(all);
    const SearchResult unfiltered = reader.search_with_filter(q, k, 3, nullptr);
    const SearchResult filtered = reader.search_with_filter(q, k, 3, &all_rows);
    EXPECT_EQ(filtered.ids, unfiltered.ids);
    EXPECT_EQ(filtered.distances, unfiltered.distances);
    const SearchResult batch = reader.search_batch_range(q, 1, k, 0, 3, {}, {}, &all_rows);
    EXPECT_EQ(batch.ids, unfiltered.ids);

    // Values at and above 2^63 name no row.
    const RoaringTreemap high = treemap_of({uint64_t{1} << 63, ~uint64_t{0}});
    const RowIdFilter high_only(high);
    EXPECT_EQ(reader.search_with_filter(q, k, 5, &high_only).ids, std::vector<int64_t>(k, -1));
}

TEST(IvfPqSearch, NegativeRowIdsNeverMatchAFilter) {
    // Rows -3 and 5 in one list; a filter of {3, 5} finds only 5.
    tavren::pq::ProductQuantizer pq = tavren::pq::ProductQuantizer::with_nbits(4, 2, 8);
    pq.set_centroids(random_floats(4 * 256, 63));
    auto index = tavren::ivfpq::IVFPQIndex::from_parts(4, 1, 1, std::vector<float>(4, 0.0f), std::move(pq),
                                                       std::nullopt, {{-3, 5}}, {{1, 2, 3, 4}});
    tavren::testing::MemorySink sink;
    tavren::ivfpq_io::write_ivfpq_index(index, sink);
    IVFPQIndexReader reader = tavren::testing::open_pq_reader(sink.bytes());
    const RoaringTreemap tm = treemap_of({3, 5});
    const RowIdFilter filter(tm);
    const std::vector<float> q(4, 0.5f);
    const SearchResult got = reader.search_with_filter(q, 3, 1, &filter);
    EXPECT_EQ(got.ids, (std::vector<int64_t>{5, -1, -1}));
    const SearchResult all = reader.search_with_filter(q, 3, 1, nullptr);
    EXPECT_EQ(std::count(all.ids.begin(), all.ids.end(), -3), 1);
}

TEST(IvfPqSearch, SeedsAndProbeRangesFollowTheBatchContract) {
    const auto f = tavren::testing::make_pq_fixture(0, 8, 4, 8, 6, 500, 71);
    IVFPQIndexReader reader = tavren::testing::open_pq_reader(f.file);
    const size_t nq = 3, k = 5;
    const std::vector<float> q = random_floats(nq * 8, 72);
    const SearchResult first = reader.search_batch_range(q, nq, k, 0, 2, {}, {}, nullptr);
    const SearchResult rest = reader.search_batch_range(q, nq, k, 2, 6, first.ids, first.distances, nullptr);
    const SearchResult whole = reader.search_batch_range(q, nq, k, 0, 6, {}, {}, nullptr);
    EXPECT_EQ(rest.distances, whole.distances);
    // Beyond nlist: the seeds come back sorted and padded.
    const SearchResult beyond = reader.search_batch_range(q, nq, k, 6, 9, first.ids, first.distances, nullptr);
    EXPECT_EQ(beyond.ids, first.ids);
}

// Clustered rows: recall@10 of full searches against exact float search
// rises with nprobe.
TEST(IvfPqSearch, RecallRisesWithNprobeOnClusteredData) {
    const size_t d = 32, n = 6000, nlist = 32, centers = 40;
    std::mt19937 rng(81);
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::vector<float> means(centers * d);
    for (float& x : means) x = 4.0f * g(rng);
    std::vector<float> data(n * d);
    for (size_t i = 0; i < n; ++i) {
        const size_t c = i % centers;
        for (size_t t = 0; t < d; ++t) data[i * d + t] = means[c * d + t] + g(rng);
    }
    auto index = tavren::ivfpq::IVFPQIndex::with_nbits(d, nlist, 16, 8, 0, false);
    tavren::kmeans::KMeansConfig config;
    index.train_with_config(data, n, config, config);
    std::vector<int64_t> ids(n);
    std::iota(ids.begin(), ids.end(), int64_t{0});
    index.add(data, ids, n);
    tavren::testing::MemorySink sink;
    tavren::ivfpq_io::write_ivfpq_index(index, sink);
    IVFPQIndexReader reader = tavren::testing::open_pq_reader(sink.bytes());

    const size_t nq = 50, k = 10;
    std::vector<float> q(nq * d);
    for (size_t i = 0; i < nq; ++i) {
        for (size_t t = 0; t < d; ++t) q[i * d + t] = means[(i * 7) % centers * d + t] + g(rng);
    }
    std::vector<double> recall;
    for (size_t nprobe : {size_t{1}, size_t{4}, size_t{32}}) {
        const SearchResult got = reader.search_batch_range(q, nq, k, 0, nprobe, {}, {}, nullptr);
        size_t hits = 0;
        for (size_t i = 0; i < nq; ++i) {
            std::vector<std::pair<float, int64_t>> all(n);
            for (size_t r = 0; r < n; ++r) {
                all[r] = {tavren::distance::fvec_l2sqr(std::span<const float>(q.data() + i * d, d),
                                                       std::span<const float>(data.data() + r * d, d)),
                          static_cast<int64_t>(r)};
            }
            std::partial_sort(all.begin(), all.begin() + k, all.end());
            std::set<int64_t> truth;
            for (size_t j = 0; j < k; ++j) truth.insert(all[j].second);
            for (size_t j = 0; j < k; ++j) hits += truth.count(got.ids[i * k + j]);
        }
        recall.push_back(static_cast<double>(hits) / static_cast<double>(nq * k));
    }
    EXPECT_LE(recall[0], recall[1] + 1e-9);
    EXPECT_LE(recall[1], recall[2] + 1e-9);
    EXPECT_GE(recall[2], 0.80) << recall[0] << " " << recall[1] << " " << recall[2];
}

}  // namespace

// ---- Diagnostics ---------------------------------------------------------------------

namespace diag {

struct EnvSwitch {
    const char* name;
    EnvSwitch(const char* n, const char* value) : name(n) { setenv(n, value, 1); }
    ~EnvSwitch() { unsetenv(name); }
};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        const size_t nl = text.find('\n', at);
        out.push_back(text.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
        if (nl == std::string::npos) break;
        at = nl + 1;
    }
    return out;
}

}  // namespace diag

TEST(IvfPqBatchDiagnostics, OneTimingLinePerCallWhenTheVariableExistsEvenEmpty) {
    const auto f = tavren::testing::make_pq_fixture(0, 8, 4, 8, 6, 500, 91);
    IVFPQIndexReader reader = tavren::testing::open_pq_reader(f.file);
    const std::vector<float> q = random_floats(3 * 8, 92);
    SearchResult quiet;
    {
        tavren::testing::StderrCapture capture;
        quiet = reader.search_batch_range(q, 3, 4, 0, 2, {}, {}, nullptr);
        EXPECT_EQ(capture.finish(), "");
    }
    diag::EnvSwitch on(tavren::ivfpq_batch_log::kTimingVariable, "");
    diag::EnvSwitch reuse(tavren::ivfpq_batch_log::kReuseVariable, "1");  // never for l2 residual codes
    tavren::testing::StderrCapture capture;
    const SearchResult got = reader.search_batch_range(q, 3, 4, 0, 2, {}, {}, nullptr);
    const std::vector<std::string> lines = diag::lines_of(capture.finish());
    ASSERT_EQ(lines.size(), 1u);
    // Every field in order: fixed values where the call fixes them, digits
    // elsewhere, times with three decimals.
    const std::vector<std::pair<std::string, std::string>> fields = {
        {"nq", "3"}, {"nprobe", "2"}, {"pq_bits", "8"}, {"topk", "4"}, {"unique_lists", ""},
        {"unique_list_rows", ""}, {"query_list_pairs", "6"}, {"pq_codes_evaluated", ""},
        {"sparse_query_list_pairs", "0"}, {"dense_query_list_pairs", ""}, {"actual_pq_codes_evaluated", ""},
        {"matched_rows", ""}, {"read_calls", ""}, {"requested_bytes", ""}, {"queries_below_k", "0"},
        {"min_hits_per_query", "4"}, {"filtered", "false"}, {"total_ms", "ms"}, {"load_ms", "ms"},
        {"preprocess_ms", "ms"}, {"coarse_ms", "ms"}, {"prepare_ms", "ms"}, {"io_read_ms", "ms"},
        {"decode_ms", "ms"}, {"filter_ms", "ms"}, {"scan_ms", "ms"}, {"finalize_ms", "ms"}};
    const std::string prefix = "[tavren-dadiza] ivfpq_batch_timing ";
    ASSERT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
    std::vector<std::string> tokens;
    for (size_t at = prefix.size(); at <= lines[0].size();) {
        const size_t sp = lines[0].find(' ', at);
        tokens.push_back(lines[0].substr(at, sp == std::string::npos ? std::string::npos : sp - at));
        if (sp == std::string::npos) break;
        at = sp + 1;
    }
    ASSERT_EQ(tokens.size(), fields.size()) << lines[0];
    for (size_t i = 0; i < fields.size(); ++i) {
        const auto& [key, value] = fields[i];
        ASSERT_EQ(tokens[i].rfind(key + "=", 0), 0u) << tokens[i];
        const std::string v = tokens[i].substr(key.size() + 1);
        if (value == "ms") {
            const size_t dot = v.find('.');
            EXPECT_TRUE(dot != std::string::npos && dot > 0 && v.size() - dot == 4) << tokens[i];
        } else if (value.empty()) {
            EXPECT_TRUE(!v.empty() && v.find_first_not_of("0123456789") == std::string::npos) << tokens[i];
        } else {
            EXPECT_EQ(v, value) << key;
        }
    }
    // The same results as without the line.
    EXPECT_EQ(got.ids, quiet.ids);
    EXPECT_EQ(got.distances, quiet.distances);
}

TEST(IvfPqBatchDiagnostics, ReuseLineForCodesNotOfResidualsOnly) {
    const auto f = tavren::testing::make_pq_fixture(1, 8, 4, 8, 6, 500, 93);
    IVFPQIndexReader reader = tavren::testing::open_pq_reader(f.file);
    const size_t nq = 64;
    const std::vector<float> q = random_floats(nq * 8, 94);
    diag::EnvSwitch reuse(tavren::ivfpq_batch_log::kReuseVariable, "");
    for (const auto& [mode, budget, want] :
         std::vector<std::tuple<BatchTableReuse, uint64_t, std::string>>{
             {BatchTableReuse::Auto, tavren::ivfpq_io::kDefaultReuseBudgetBytes,
              "mode=Auto enabled=true used=true metric=inner_product pq_bits=8 nq=64 nprobe=3 unique_lists="},
             {BatchTableReuse::Off, 1, "mode=Off enabled=false used=false metric=inner_product"},
             {BatchTableReuse::On, nq * 4 * 256 * 4 - 1, "mode=On enabled=false used=false"}}) {
        tavren::testing::StderrCapture capture;
        (void)reader.search_batch_range_with_reuse(q, nq, 5, 0, 3, {}, {}, nullptr, mode, budget);
        const std::vector<std::string> lines = diag::lines_of(capture.finish());
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("[tavren-dadiza] ivfpq_batch_table_reuse strategy=non_residual_query_table ", 0), 0u)
            << lines[0];
        EXPECT_NE(lines[0].find(want), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find("required_bytes=Some(262144) budget_bytes=" + std::to_string(budget)), std::string::npos)
            << lines[0];
    }
    EXPECT_EQ(tavren::ivfpq_batch_log::reuse_line(2, false, false, 2, 4, 1, 2, 0, true, std::nullopt, 5, 0),
              "[tavren-dadiza] ivfpq_batch_table_reuse strategy=non_residual_query_table mode=Auto enabled=false "
              "used=false metric=cosine pq_bits=4 nq=1 nprobe=2 unique_lists=0 filtered=true required_bytes=None "
              "budget_bytes=5 tables_built=0");
}

TEST(IvfPqBatchDiagnostics, ReuseLineCountsTheQueryTablesActuallyBuilt) {
    // A query table is built by the first scan that offers a row: with a
    // one-row filter only the queries probing that row's list build one.
    const auto f = tavren::testing::make_pq_fixture(1, 8, 4, 8, 6, 500, 97);
    IVFPQIndexReader reader = tavren::testing::open_pq_reader(f.file);
    const size_t nq = 64, k = 5;
    const std::vector<float> q = random_floats(nq * 8, 98);
    diag::EnvSwitch reuse(tavren::ivfpq_batch_log::kReuseVariable, "");
    const RoaringTreemap one = treemap_of({17});
    const RoaringTreemap absent = treemap_of({100000});
    const RowIdFilter only17(one);
    const RowIdFilter none(absent);
    struct Row {
        const RowIdFilter* filter;
        BatchTableReuse mode;
    };
    for (const Row& row : {Row{nullptr, BatchTableReuse::On}, Row{&only17, BatchTableReuse::On},
                           Row{&only17, BatchTableReuse::Auto}, Row{&none, BatchTableReuse::On}}) {
        tavren::testing::StderrCapture capture;
        const SearchResult r = reader.search_batch_range_with_reuse(q, nq, k, 0, 2, {}, {}, row.filter, row.mode,
                                                                    tavren::ivfpq_io::kDefaultReuseBudgetBytes);
        const std::vector<std::string> lines = diag::lines_of(capture.finish());
        ASSERT_EQ(lines.size(), 1u);
        // Each query that reached a matching row holds it first.
        uint64_t reached = 0;
        for (size_t i = 0; i < nq; ++i) reached += r.ids[i * k] != -1 ? 1 : 0;
        if (row.filter == &none) {
            EXPECT_EQ(reached, 0u);
        }
        if (row.filter == &only17) {
            EXPECT_GT(reached, 0u);
            EXPECT_LT(reached, nq);
        }
        const std::string used = reached > 0 ? "true" : "false";
        EXPECT_NE(lines[0].find("enabled=true used=" + used + " "), std::string::npos) << lines[0];
        EXPECT_TRUE(lines[0].ends_with(" tables_built=" + std::to_string(reached))) << lines[0];
    }
}

TEST(IvfPqBatchDiagnostics, AutoBelowSixtyFourQueriesKeepsNoQueryTables) {
    const auto f = tavren::testing::make_pq_fixture(2, 8, 4, 8, 6, 500, 95);
    IVFPQIndexReader reader = tavren::testing::open_pq_reader(f.file);
    const std::vector<float> q = random_floats(63 * 8, 96);
    diag::EnvSwitch reuse(tavren::ivfpq_batch_log::kReuseVariable, "");
    tavren::testing::StderrCapture capture;
    (void)reader.search_batch_range(q, 63, 5, 0, 3, {}, {}, nullptr);
    const std::vector<std::string> lines = diag::lines_of(capture.finish());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("mode=Auto enabled=false used=false metric=cosine"), std::string::npos) << lines[0];
}

TEST(IvfPqSearch, AListAtTheStreamThresholdIsBatchedOneByteMoreIsStreamed) {
    const auto f = tavren::testing::make_pq_fixture(0, 16, 8, 8, 1, 300, 101);
    const std::vector<float> q = random_floats(16, 102);
    SearchResult reference;
    for (int over : {0, 1}) {
        std::array<uint8_t, 64> header{};
        std::memcpy(header.data(), f.file.data(), 64);
        MemorySource::Observer observer;
        IVFPQIndexReader reader =
            IVFPQIndexReader::open_with_header(MemorySource::make(f.file, MemorySource::Options{}, &observer), header);
        const uint64_t len = reader.list_payload_len(0);
        tavren::ivf_lists::ReadBudgets budgets;
        budgets.stream_threshold = len - static_cast<uint64_t>(over);
        reader.set_read_budgets_for_testing(budgets);
        observer.reset();
        const SearchResult got = reader.search_with_filter(q, 10, 1, nullptr);
        const tavren::testing::SourceStats stats = observer.stats();
        if (over == 0) {
            EXPECT_EQ(stats.calls, 1u);
            EXPECT_EQ(stats.ranges, 1u);
            EXPECT_EQ(stats.bytes, len);
            reference = got;
        } else {
            // The ID block, then one stripe per code byte in one call.
            EXPECT_EQ(stats.calls, 2u);
            EXPECT_EQ(stats.ranges, 1u + 8u);
            EXPECT_EQ(got.ids, reference.ids);
            EXPECT_EQ(got.distances, reference.distances);
        }
    }
}
