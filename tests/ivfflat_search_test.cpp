// IVF-FLAT searches: the result heap, the list scan, single and batch search
// against an exhaustive search with the library's kernels, read counts, the
// batch and stream boundaries, and NaN distances.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <new>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "distance.hpp"
#include "expect.hpp"
#include "guards.hpp"
#include "index_io_util.hpp"
#include "ivfflat.hpp"
#include "ivfflat_file_builder.hpp"
#include "ivfflat_io.hpp"
#include "memory_sink.hpp"
#include "memory_source.hpp"
#include "numeric.hpp"
#include "pool.hpp"
#include "row_id_filter.hpp"

#include "allocation_watch.hpp"  // replaces the global allocation functions in this executable

namespace {

using tavren::AssertionFailure;
using tavren::Error;
using tavren::ErrorKind;
using tavren::kF32Max;
using tavren::SearchResult;
using tavren::ivfflat_io::IVFFlatIndexReader;
using tavren::ivfflat_io::PartialResult;
using tavren::ivfflat_io::ReadBudgets;
using tavren::ivfflat_io::ReaderTopKHeap;
using tavren::row_id_filter::RoaringTreemap;
using tavren::row_id_filter::RowIdFilter;
using tavren::testing::brute_force_flat;
using tavren::testing::brute_force_has_tie_at_cut;
using tavren::testing::FlatFileList;
using tavren::testing::IvfFlatFileBuilder;
using tavren::testing::MemorySource;
using tavren::testing::open_flat_reader;
namespace ivf = tavren::ivfflat_io;
namespace util = tavren::index_io_util;

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

using tavren::testing::AllocationWatch;

using tavren::testing::PoolGuard;

using tavren::testing::expect_error;

std::vector<std::pair<float, int64_t>> pairs(const PartialResult& p) {
    std::vector<std::pair<float, int64_t>> out;
    for (const auto& r : p) out.emplace_back(r.distance, r.row_id);
    return out;
}

// ---- Heap -----------------------------------------------------------------------------

TEST(ReaderTopKHeap, FillsThenReplacesOnlyStrictlyNearer) {
    {
        ReaderTopKHeap h(1);
        h.push(1, 5.0f);
        EXPECT_TRUE(h.full());
        h.push(2, 5.0f);
        h.push(3, 6.0f);
        EXPECT_EQ(pairs(ReaderTopKHeap(h).into_sorted()), (std::vector<std::pair<float, int64_t>>{{5.0f, 1}}));
        h.push(4, 4.0f);
        EXPECT_EQ(pairs(std::move(h).into_sorted()), (std::vector<std::pair<float, int64_t>>{{4.0f, 4}}));
    }
    {
        ReaderTopKHeap h(2);
        h.push(1, 5.0f);
        h.push(2, 3.0f);
        h.push(3, 5.0f);  // equal to the worst: refused
        EXPECT_EQ(pairs(std::move(h).into_sorted()), (std::vector<std::pair<float, int64_t>>{{3.0f, 2}, {5.0f, 1}}));
    }
    {
        // Among equal worst distances the highest slot goes first.
        ReaderTopKHeap h(3);
        h.push(10, 5.0f);
        h.push(11, 5.0f);
        h.push(12, 1.0f);
        h.push(13, 2.0f);  // replaces 11 (slot 1)
        h.push(14, 3.0f);  // replaces 10 (slot 0)
        EXPECT_EQ(pairs(std::move(h).into_sorted()),
                  (std::vector<std::pair<float, int64_t>>{{1.0f, 12}, {2.0f, 13}, {3.0f, 14}}));
    }
    {
        // Fewer than k entries: appended whatever their distance; a stable sort.
        ReaderTopKHeap h(5);
        h.push(1, 2.0f);
        h.push(2, -1.0f);
        h.push(3, 2.0f);
        EXPECT_FALSE(h.full());
        EXPECT_EQ(pairs(std::move(h).into_sorted()),
                  (std::vector<std::pair<float, int64_t>>{{-1.0f, 2}, {2.0f, 1}, {2.0f, 3}}));
    }
    {
        ReaderTopKHeap h(0);
        h.push(1, 1.0f);
        EXPECT_EQ(h.size(), 0u);
        EXPECT_TRUE(ivf::padded_flat_results(std::move(h), 0).ids.empty());
    }
}

TEST(ReaderTopKHeap, PaddedResults) {
    ReaderTopKHeap h(4);
    h.push(8, 0.5f);
    h.push(9, 0.25f);
    const SearchResult r = ivf::padded_flat_results(std::move(h), 4);
    EXPECT_EQ(r.ids, (std::vector<int64_t>{9, 8, -1, -1}));
    EXPECT_EQ(r.distances, (std::vector<float>{0.25f, 0.5f, kF32Max, kF32Max}));
}

TEST(ReaderTopKHeap, NanRanksAsInfinityAndNeverPanics) {
    {
        ReaderTopKHeap h(2);
        h.push(1, kNaN);
        h.push(2, 3.0f);
        EXPECT_EQ(h.worst_rank(), kInf);
        h.push(3, 4.0f);  // displaces the NaN
        EXPECT_EQ(pairs(std::move(h).into_sorted()), (std::vector<std::pair<float, int64_t>>{{3.0f, 2}, {4.0f, 3}}));
    }
    {
        ReaderTopKHeap h(2);
        h.push(1, 1.0f);
        h.push(2, 2.0f);
        h.push(3, kNaN);  // never nearer than a real distance
        h.push(4, -kNaN);
        EXPECT_EQ(pairs(std::move(h).into_sorted()), (std::vector<std::pair<float, int64_t>>{{1.0f, 1}, {2.0f, 2}}));
    }
    {
        ReaderTopKHeap h(4);
        h.push(1, kNaN);
        h.push(2, kInf);
        h.push(3, -kInf);
        h.push(4, -kNaN);
        h.push(5, kInf);  // ties with the worst rank (+inf): refused
        const PartialResult sorted = std::move(h).into_sorted();
        ASSERT_EQ(sorted.size(), 4u);
        EXPECT_EQ(sorted[0].row_id, 3);
        // +inf and the NaNs share the last rank and keep their slot order.
        EXPECT_EQ(sorted[1].row_id, 1);
        EXPECT_EQ(sorted[2].row_id, 2);
        EXPECT_EQ(sorted[3].row_id, 4);
        EXPECT_TRUE(std::isnan(sorted[1].distance));
    }
}

TEST(ReaderTopKHeap, RoomIsBoundedByWhatCanBeOffered) {
    EXPECT_GE(ReaderTopKHeap(5).capacity(), 5u);
    EXPECT_EQ(ReaderTopKHeap(size_t{1} << 40, 10).capacity(), 10u);
    EXPECT_EQ(ReaderTopKHeap(3, 10).capacity(), 3u);
    EXPECT_THROW(ReaderTopKHeap(std::numeric_limits<size_t>::max()), AssertionFailure);
}

TEST(ReaderTopKHeap, SeedsFillHeapsQueryByQuery) {
    std::vector<ReaderTopKHeap> heaps;
    heaps.emplace_back(2);
    heaps.emplace_back(2);
    ivf::seed_flat_heaps(heaps, std::vector<int64_t>{1, 2, 3, 4}, std::vector<float>{1.0f, kF32Max, 0.5f, 0.25f}, 2);
    EXPECT_EQ(pairs(std::move(heaps[0]).into_sorted()), (std::vector<std::pair<float, int64_t>>{{1.0f, 1}}));
    EXPECT_EQ(pairs(std::move(heaps[1]).into_sorted()),
              (std::vector<std::pair<float, int64_t>>{{0.25f, 4}, {0.5f, 3}}));

    std::vector<ReaderTopKHeap> short_seeds;
    short_seeds.emplace_back(2);
    short_seeds.emplace_back(2);
    ivf::seed_flat_heaps(short_seeds, std::vector<int64_t>{1, 2, 3}, std::vector<float>{1, 2, 3}, 2);
    EXPECT_EQ(short_seeds[0].size(), 2u);
    EXPECT_EQ(short_seeds[1].size(), 0u);  // its range lies beyond the arrays
    ivf::seed_flat_heaps(short_seeds, {}, {}, 2);
    EXPECT_EQ(short_seeds[1].size(), 0u);
}

TEST(FlatScan, FilterComesBeforeAnyDistance) {
    const std::vector<uint64_t> allowed{2, 7};
    const RoaringTreemap treemap = util::decode_roaring_filter(tavren::testing::roaring_filter_bytes(allowed));
    const RowIdFilter filter(treemap);
    const std::vector<float> query{0, 0};
    const std::vector<int64_t> ids{-5, 1, 2, 7};
    const std::vector<float> rows{0, 0, 1, 1, 2, 2, 3, 3};
    for (uint32_t metric : {0u, 1u, 2u}) {
        ReaderTopKHeap h(10);
        ivf::scan_flat_rows(query, ids, rows, 2, metric, &filter, h);
        const PartialResult sorted = std::move(h).into_sorted();
        std::set<int64_t> got;
        for (const auto& r : sorted) got.insert(r.row_id);
        EXPECT_EQ(got, (std::set<int64_t>{2, 7})) << metric;
    }
}

TEST(FlatScan, NegativeWorstRefusesEveryL2Row) {
    ReaderTopKHeap h(1);
    h.push(9, -1.0f);
    const std::vector<float> query{0, 0};
    ivf::scan_flat_rows(query, std::vector<int64_t>{1, 2}, std::vector<float>{0, 0, 0, 0}, 2, 0, nullptr, h);
    EXPECT_EQ(pairs(std::move(h).into_sorted()), (std::vector<std::pair<float, int64_t>>{{-1.0f, 9}}));
}

// The block scan gives every heap what the one-query scan gives it: the same
// pairs, distances and arrival order (ties between equal rows, rows after
// the heap fills, NaN rows, filtered rows), for every block size up to the
// engine's, runs longer than one chunk of rows, and both kernel paths.
TEST(FlatScan, BlockScanEqualsOneQueryScans) {
    tavren::testing::RestoreDetection restore;
    std::mt19937 rng(41);
    std::uniform_int_distribution<int> small(-2, 2);
    const std::vector<uint64_t> allowed{0, 3, 4, 5, 9, 33, 34, 35, 36, 60, 69};
    const RoaringTreemap treemap = util::decode_roaring_filter(tavren::testing::roaring_filter_bytes(allowed));
    const RowIdFilter filter(treemap);
    for (size_t d : {3u, 8u, 21u}) {
        const size_t n = 70;  // two full chunks of rows and a part
        std::vector<float> rows(n * d);
        for (float& v : rows) v = static_cast<float>(small(rng));  // many equal distances
        for (size_t i = 0; i < d; ++i) rows[7 * d + i] = rows[2 * d + i];
        rows[11 * d] = std::numeric_limits<float>::quiet_NaN();
        std::vector<int64_t> ids(n);
        std::iota(ids.begin(), ids.end(), 0);
        std::vector<std::vector<float>> qv(tavren::ivf_search::kQueryBlock);
        for (auto& q : qv) {
            q.resize(d);
            for (float& v : q) v = static_cast<float>(small(rng));
        }
        qv[5] = qv[4];
        const std::span<const uint8_t> codes(reinterpret_cast<const uint8_t*>(rows.data()), rows.size() * 4);
        for (bool scalar : {true, false}) {
            tavren::distance::force_scalar_for_testing(scalar);
            for (uint32_t metric : {0u, 1u, 2u}) {
                const ivf::FlatScanner scanner{d, metric};
                std::vector<ivf::FlatScanner::Query> prepared;
                for (auto& q : qv) prepared.push_back(scanner.prepare(q));
                for (const RowIdFilter* f : {static_cast<const RowIdFilter*>(nullptr), &filter}) {
                    for (size_t nq : {1u, 2u, 5u, 16u}) {
                        for (size_t k : {1u, 4u, 100u}) {
                            SCOPED_TRACE(testing::Message() << "d " << d << " metric " << metric << " nq " << nq
                                                            << " k " << k << " filter " << (f != nullptr)
                                                            << " scalar " << scalar);
                            std::vector<ReaderTopKHeap> one, block;
                            std::vector<ReaderTopKHeap*> hp;
                            std::vector<const ivf::FlatScanner::Query*> qp;
                            for (size_t j = 0; j < nq; ++j) {
                                one.emplace_back(k);
                                block.emplace_back(k);
                                one.back().push(-1, 6.0f);  // a seed already held
                                block.back().push(-1, 6.0f);
                            }
                            for (size_t j = 0; j < nq; ++j) {
                                hp.push_back(&block[j]);
                                qp.push_back(&prepared[j]);
                                // The run in two pieces, as a streamed list arrives.
                                scanner.scan(prepared[j], std::span<const int64_t>(ids).first(40),
                                             codes.first(40 * d * 4), f, one[j]);
                                scanner.scan(prepared[j], std::span<const int64_t>(ids).subspan(40),
                                             codes.subspan(40 * d * 4), f, one[j]);
                            }
                            scanner.scan_block(qp, std::span<const int64_t>(ids).first(40), codes.first(40 * d * 4), f,
                                               hp);
                            scanner.scan_block(qp, std::span<const int64_t>(ids).subspan(40),
                                               codes.subspan(40 * d * 4), f, hp);
                            for (size_t j = 0; j < nq; ++j) {
                                const auto a = std::move(one[j]).into_sorted();
                                const auto b = std::move(block[j]).into_sorted();
                                ASSERT_EQ(a.size(), b.size()) << j;
                                for (size_t t = 0; t < a.size(); ++t) {
                                    EXPECT_EQ(a[t].row_id, b[t].row_id) << j << " " << t;
                                    EXPECT_EQ(std::bit_cast<uint32_t>(a[t].distance),
                                              std::bit_cast<uint32_t>(b[t].distance))
                                        << j << " " << t;
                                }
                            }
                        }
                    }
                }
            }
        }
    }
}

// ---- Data sets ---------------------------------------------------------------------------

struct Data {
    IvfFlatFileBuilder file;
    std::vector<float> queries;
    size_t nq;
};

// n rows in nlist lists (each row in its nearest centroid's list), distinct
// shuffled IDs, some negative; cosine rows are stored normalised.
Data random_data(size_t d, size_t nlist, size_t n, uint32_t metric, uint32_t seed, size_t nq = 8) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    Data data{tavren::testing::random_flat_file(d, nlist, n, metric, rng, -20), {}, nq};
    data.queries.resize(nq * d);
    for (float& x : data.queries) x = u(rng);
    return data;
}

std::span<const float> query_of(const Data& data, size_t i) {
    return std::span<const float>(data.queries).subspan(i * data.file.d(), data.file.d());
}

// The result equals the exhaustive one: distances bit for bit at every rank,
// and each returned row really has its distance (which of several rows sharing
// a distance comes first, or survives the cut, is the heap's choice).
void expect_exact(const Data& data, size_t i, size_t k, const RowIdFilter* filter, std::span<const int64_t> ids,
                  std::span<const float> distances) {
    size_t rows = 0;
    for (const auto& l : data.file.lists) {
        for (int64_t id : l.ids) rows += (filter == nullptr || filter->contains(id)) ? 1 : 0;
    }
    const SearchResult all = brute_force_flat(data.file, query_of(data, i), rows, filter);
    ASSERT_EQ(ids.size(), k);
    ASSERT_EQ(distances.size(), k);
    std::map<int64_t, float> distance_of;
    for (size_t j = 0; j < all.ids.size(); ++j) distance_of[all.ids[j]] = all.distances[j];
    std::set<int64_t> seen;
    for (size_t j = 0; j < k; ++j) {
        const float want = j < all.distances.size() ? all.distances[j] : kF32Max;
        EXPECT_EQ(std::bit_cast<uint32_t>(distances[j]), std::bit_cast<uint32_t>(want))
            << "query " << i << " rank " << j << ": " << distances[j] << " vs " << want;
        if (j >= all.ids.size()) {
            EXPECT_EQ(ids[j], -1);
            continue;
        }
        ASSERT_TRUE(distance_of.count(ids[j])) << "row " << ids[j] << " is not a candidate of query " << i;
        EXPECT_EQ(std::bit_cast<uint32_t>(distance_of[ids[j]]), std::bit_cast<uint32_t>(distances[j])) << ids[j];
        EXPECT_TRUE(seen.insert(ids[j]).second) << "row " << ids[j] << " returned twice";
    }
    if (!brute_force_has_tie_at_cut(data.file, query_of(data, i), k, filter)) {
        // Without ties the IDs are determined as well.
        std::vector<int64_t> want_ids(all.ids.begin(), all.ids.begin() + static_cast<ptrdiff_t>(std::min(k, all.ids.size())));
        std::vector<int64_t> got_ids(ids.begin(), ids.begin() + static_cast<ptrdiff_t>(want_ids.size()));
        std::sort(want_ids.begin(), want_ids.end());
        std::sort(got_ids.begin(), got_ids.end());
        EXPECT_EQ(got_ids, want_ids) << "query " << i;
    }
    if (filter != nullptr) {
        for (int64_t id : ids) EXPECT_TRUE(id == -1 || filter->contains(id)) << id;
    }
}

// ---- Exact results at nprobe = nlist ----------------------------------------------------------

TEST(IvfFlatSearch, SingleAndBatchEqualExhaustiveSearch) {
    for (uint32_t metric : {0u, 1u, 2u}) {
        const Data data = random_data(12, 9, 700, metric, 11 + metric);
        std::vector<uint64_t> allowed;
        for (int64_t id = -20; id < 700; id += 3) {
            if (id >= 0) allowed.push_back(static_cast<uint64_t>(id));
        }
        const RoaringTreemap treemap = util::decode_roaring_filter(tavren::testing::roaring_filter_bytes(allowed));
        const RowIdFilter filter(treemap);
        for (const RowIdFilter* f : {static_cast<const RowIdFilter*>(nullptr), &filter}) {
            for (size_t k : {size_t{1}, size_t{10}, size_t{800}}) {
                SCOPED_TRACE(::testing::Message() << "metric " << metric << " k " << k << " filter " << (f != nullptr));
                IVFFlatIndexReader r = open_flat_reader(data.file.build());
                for (size_t i = 0; i < data.nq; ++i) {
                    const SearchResult got = r.search_with_filter(query_of(data, i), k, 9, f);
                    expect_exact(data, i, k, f, got.ids, got.distances);
                }
                const SearchResult batch =
                    ivf::search_batch_ivfflat_reader_filter_range(r, data.queries, data.nq, k, 0, 9, {}, {}, f);
                ASSERT_EQ(batch.ids.size(), data.nq * k);
                for (size_t i = 0; i < data.nq; ++i) {
                    expect_exact(data, i, k, f, std::span<const int64_t>(batch.ids).subspan(i * k, k),
                                 std::span<const float>(batch.distances).subspan(i * k, k));
                }
            }
        }
    }
}

TEST(IvfFlatSearch, PoolSizeDoesNotChangeResults) {
    // 16 lists of 40,000 rows at d = 32: about 1.3 M row-dimension products per
    // batch, above the parallel threshold.
    for (uint32_t metric : {0u, 1u, 2u}) {
        SCOPED_TRACE(metric);
        const Data data = random_data(32, 16, 40000, metric, 3 + metric, 4);
        std::vector<SearchResult> per_pool;
        for (size_t threads : {size_t{1}, size_t{8}}) {
            PoolGuard pool(threads);
            IVFFlatIndexReader r = open_flat_reader(data.file.build());
            SearchResult all;
            for (size_t i = 0; i < data.nq; ++i) {
                const SearchResult one = r.search_with_filter(query_of(data, i), 25, 16, nullptr);
                expect_exact(data, i, 25, nullptr, one.ids, one.distances);
                all.ids.insert(all.ids.end(), one.ids.begin(), one.ids.end());
                all.distances.insert(all.distances.end(), one.distances.begin(), one.distances.end());
            }
            const SearchResult batch =
                ivf::search_batch_ivfflat_reader_filter_range(r, data.queries, data.nq, 25, 0, 16, {}, {}, nullptr);
            for (size_t i = 0; i < data.nq; ++i) {
                expect_exact(data, i, 25, nullptr, std::span<const int64_t>(batch.ids).subspan(i * 25, 25),
                             std::span<const float>(batch.distances).subspan(i * 25, 25));
            }
            all.ids.insert(all.ids.end(), batch.ids.begin(), batch.ids.end());
            all.distances.insert(all.distances.end(), batch.distances.begin(), batch.distances.end());
            per_pool.push_back(std::move(all));
        }
        EXPECT_EQ(per_pool[0].distances, per_pool[1].distances);
    }
}

TEST(IvfFlatSearch, PaddingWhenFewerRowsMatch) {
    const Data data = random_data(4, 3, 5, 0, 2);
    IVFFlatIndexReader r = open_flat_reader(data.file.build());
    const SearchResult got = r.search_with_filter(query_of(data, 0), 8, 100, nullptr);  // nprobe above nlist
    EXPECT_EQ(std::count(got.ids.begin(), got.ids.end(), -1), 3);
    EXPECT_EQ(got.ids[5], -1);
    EXPECT_EQ(got.distances[7], kF32Max);
    expect_exact(data, 0, 8, nullptr, got.ids, got.distances);

    const std::vector<uint64_t> none{1000000};
    const RoaringTreemap treemap = util::decode_roaring_filter(tavren::testing::roaring_filter_bytes(none));
    const RowIdFilter filter(treemap);
    const SearchResult empty = r.search_with_filter(query_of(data, 0), 3, 3, &filter);
    EXPECT_EQ(empty.ids, (std::vector<int64_t>{-1, -1, -1}));
    EXPECT_EQ(empty.distances, (std::vector<float>{kF32Max, kF32Max, kF32Max}));

    IvfFlatFileBuilder all_empty(2, 4, 1);
    IVFFlatIndexReader e = open_flat_reader(all_empty.build());
    EXPECT_EQ(e.search_with_filter(std::vector<float>{1, 2}, 2, 4, nullptr).ids, (std::vector<int64_t>{-1, -1}));
}

TEST(IvfFlatSearch, CosineNormalisesTheQueryFirst) {
    const Data data = random_data(6, 5, 300, 2, 9);
    IVFFlatIndexReader r = open_flat_reader(data.file.build());
    std::vector<float> scaled(query_of(data, 0).begin(), query_of(data, 0).end());
    const SearchResult a = r.search_with_filter(scaled, 10, 2, nullptr);
    for (float& x : scaled) x *= 1024.0f;  // a power of two: the normalised copy is the same bits
    const SearchResult b = r.search_with_filter(scaled, 10, 2, nullptr);
    EXPECT_EQ(a.ids, b.ids);
    EXPECT_EQ(a.distances, b.distances);
}

// ---- Files of the library's writer --------------------------------------------------------

TEST(IvfFlatSearch, FilesOfTheLibrarysWriter) {
    for (uint32_t metric : {0u, 1u, 2u}) {
        SCOPED_TRACE(metric);
        constexpr size_t d = 8, nlist = 10, n = 2000;
        std::mt19937 rng(40 + metric);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        std::vector<float> rows(n * d);
        for (float& x : rows) x = u(rng);
        std::vector<int64_t> ids(n);
        for (size_t i = 0; i < n; ++i) ids[i] = static_cast<int64_t>((i * 7919) % 100003) - 50;
        tavren::ivfflat::IVFFlatIndex index(d, nlist, metric);
        index.set_approximate_coarse_assignment(false);
        index.train_with_config(rows, n, tavren::kmeans::KMeansConfig{});
        index.add(rows, ids, n);
        tavren::testing::MemorySink sink;
        tavren::ivfflat::write_ivfflat_index(index, sink);

        // The same lists, for the exhaustive search.
        Data data{IvfFlatFileBuilder(d, nlist, metric), {}, 5};
        data.file.centroids = index.centroids();
        for (size_t l = 0; l < nlist; ++l) {
            data.file.lists[l].ids = index.list_ids()[l];
            data.file.lists[l].rows = index.list_rows()[l];
        }
        ASSERT_EQ(data.file.build(), sink.bytes());
        data.queries.resize(5 * d);
        for (float& x : data.queries) x = u(rng);

        IVFFlatIndexReader r = open_flat_reader(sink.bytes());
        const SearchResult batch = ivf::search_batch_ivfflat_reader_filter_range(r, data.queries, 5, 12, 0, nlist, {}, {}, nullptr);
        for (size_t i = 0; i < 5; ++i) {
            const SearchResult one = r.search_with_filter(query_of(data, i), 12, nlist, nullptr);
            expect_exact(data, i, 12, nullptr, one.ids, one.distances);
            expect_exact(data, i, 12, nullptr, std::span<const int64_t>(batch.ids).subspan(i * 12, 12),
                         std::span<const float>(batch.distances).subspan(i * 12, 12));
        }
    }
}

// ---- Checks ---------------------------------------------------------------------------------

TEST(IvfFlatSearch, SingleSearchChecksInOrder) {
    const Data data = random_data(4, 3, 20, 0, 1);
    IVFFlatIndexReader r = open_flat_reader(data.file.build());
    const std::vector<float> q3{1, 2, 3};
    const std::vector<float> q4{1, 2, 3, 4};
    expect_error([&] { r.search_with_filter(q3, 0, 1, nullptr); }, ErrorKind::InvalidInput,
                 "query length 3 does not match index dimension 4");
    expect_error([&] { r.search_with_filter(q4, 0, 0, nullptr); }, ErrorKind::InvalidInput, "k must be greater than 0");
    expect_error([&] { r.search_with_filter(q4, 1, 0, nullptr); }, ErrorKind::InvalidInput,
                 "nprobe must be greater than 0");

    // A reader that cannot load reports that first.
    IvfFlatFileBuilder bad = data.file;
    bad.lists[0].entry_count = -1;
    IVFFlatIndexReader b = open_flat_reader(bad.build());
    expect_error([&] { b.search_with_filter(q3, 0, 0, nullptr); }, ErrorKind::InvalidData,
                 "negative list count -1 at list 0");
    expect_error([&] { ivf::search_batch_ivfflat_reader_filter_range(b, {}, 0, 0, 0, 0, {}, {}, nullptr); },
                 ErrorKind::InvalidData, "negative list count -1 at list 0");
}

TEST(IvfFlatSearch, BatchChecksInOrder) {
    const Data data = random_data(4, 3, 20, 0, 1);
    IVFFlatIndexReader r = open_flat_reader(data.file.build());
    const std::vector<float> q8(8, 0.5f);
    const std::vector<int64_t> ids4(4, 1);
    const std::vector<float> d4(4, 1.0f);
    struct Case {
        const char* name;
        std::function<void()> call;
        const char* message;
    };
    auto batch = [&](std::span<const float> q, size_t nq, size_t k, size_t s, size_t e, std::span<const int64_t> si,
                     std::span<const float> sd) {
        return [&r, q, nq, k, s, e, si, sd] {
            ivf::search_batch_ivfflat_reader_filter_range(r, q, nq, k, s, e, si, sd, nullptr);
        };
    };
    const size_t huge = std::numeric_limits<size_t>::max() / 2;
    const Case cases[] = {
        {"nq before k", batch({}, 0, 0, 0, 1, {}, {}), "nq must be greater than 0"},
        {"nq * d", batch(q8, huge, 1, 0, 1, {}, {}), "nq * dimension overflows usize"},
        {"length before range", batch(q8, 1, 1, 3, 3, {}, {}), "queries length 8 does not match nq * dimension 4"},
        {"k", batch(q8, 2, 0, 3, 3, {}, {}), "k must be greater than 0"},
        {"range", batch(q8, 2, 1, 3, 3, {}, {}), "probe range must be non-empty"},
        {"reversed range", batch(q8, 2, 1, 4, 3, {}, {}), "probe range must be non-empty"},
        {"nq * k", batch(q8, 2, huge + 1, 0, 1, {}, {}), "nq * k overflows usize"},
        {"one seed array empty", batch(q8, 2, 2, 0, 1, ids4, {}), "seed result lengths must both equal nq * k"},
        {"other seed array empty", batch(q8, 2, 2, 0, 1, {}, d4), "seed result lengths must both equal nq * k"},
        {"wrong seed length", batch(q8, 2, 1, 0, 1, ids4, d4), "seed result lengths must both equal nq * k"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expect_error(c.call, ErrorKind::InvalidInput, c.message);
    }
    EXPECT_NO_THROW(ivf::validate_batch_seed(ids4, d4, 2, 2));
    EXPECT_NO_THROW(ivf::validate_batch_seed({}, {}, 2, 2));
}

// ---- Batch semantics --------------------------------------------------------------------------

// d = 1, eight lists whose centroids put query 0.1 on lists (7, 3) and query
// 1.5 on lists (3, 5); every list holds two rows.
IvfFlatFileBuilder eight_lists() {
    IvfFlatFileBuilder b(1, 8, 0);
    for (size_t l = 0; l < 8; ++l) b.centroids[l] = 100.0f + static_cast<float>(l);
    b.centroids[7] = 0.0f;
    b.centroids[3] = 1.0f;
    b.centroids[5] = 2.2f;
    for (size_t l = 0; l < 8; ++l) {
        b.add(l, static_cast<int64_t>(10 * l), std::vector<float>{b.centroids[l] + 0.05f});
        b.add(l, static_cast<int64_t>(10 * l + 1), std::vector<float>{b.centroids[l] - 0.07f});
    }
    return b;
}

TEST(IvfFlatBatch, ListsInOrderOfFirstAppearanceReadOnce) {
    const IvfFlatFileBuilder b = eight_lists();
    const auto layout = b.layout();
    MemorySource::Observer obs;
    IVFFlatIndexReader r = open_flat_reader(b.build(), {}, &obs);
    r.ensure_loaded();
    obs.reset();
    const std::vector<float> queries{0.1f, 1.5f};
    const SearchResult got = ivf::search_batch_ivfflat_reader_filter_range(r, queries, 2, 4, 0, 2, {}, {}, nullptr);
    const auto s = obs.stats();
    ASSERT_EQ(s.calls, 1u);
    ASSERT_EQ(s.log[0].size(), 3u);
    EXPECT_EQ(s.log[0][0].offset, layout.payload_offset[7]);
    EXPECT_EQ(s.log[0][1].offset, layout.payload_offset[3]);
    EXPECT_EQ(s.log[0][2].offset, layout.payload_offset[5]);
    EXPECT_EQ((std::vector<int64_t>(got.ids.begin(), got.ids.begin() + 4)), (std::vector<int64_t>{70, 71, 31, 30}));
    EXPECT_EQ((std::vector<int64_t>(got.ids.begin() + 4, got.ids.end())), (std::vector<int64_t>{30, 31, 51, 50}));
}

TEST(IvfFlatBatch, RangesAndSeeds) {
    const IvfFlatFileBuilder b = eight_lists();
    MemorySource::Observer obs;
    IVFFlatIndexReader r = open_flat_reader(b.build(), {}, &obs);
    const std::vector<float> queries{0.1f, 1.5f};
    // A range beyond every probe list: seeds only, sorted and padded, and no list read.
    r.ensure_loaded();
    obs.reset();
    const std::vector<int64_t> seed_ids{5, 6, 7, 8, 9, 10};
    const std::vector<float> seed_d{0.9f, kF32Max, 0.1f, kF32Max, kF32Max, kF32Max};
    const SearchResult seeded =
        ivf::search_batch_ivfflat_reader_filter_range(r, queries, 2, 3, 8, 12, seed_ids, seed_d, nullptr);
    EXPECT_EQ(obs.stats().calls, 0u);
    EXPECT_EQ(seeded.ids, (std::vector<int64_t>{7, 5, -1, -1, -1, -1}));
    EXPECT_EQ(seeded.distances, (std::vector<float>{0.1f, 0.9f, kF32Max, kF32Max, kF32Max, kF32Max}));

    // Ranges run one after the other, the first result as seeds, give the
    // distances of the whole range.
    const SearchResult whole = ivf::search_batch_ivfflat_reader_filter_range(r, queries, 2, 5, 0, 8, {}, {}, nullptr);
    const SearchResult first = ivf::search_batch_ivfflat_reader_filter_range(r, queries, 2, 5, 0, 3, {}, {}, nullptr);
    const SearchResult rest =
        ivf::search_batch_ivfflat_reader_filter_range(r, queries, 2, 5, 3, 8, first.ids, first.distances, nullptr);
    EXPECT_EQ(rest.distances, whole.distances);

    // Single search agrees with the batch on distances.
    for (size_t i = 0; i < 2; ++i) {
        const SearchResult one = r.search_with_filter(std::span<const float>(queries).subspan(i, 1), 5, 8, nullptr);
        EXPECT_EQ(one.distances, (std::vector<float>(whole.distances.begin() + 5 * i, whole.distances.begin() + 5 * i + 5)));
    }
}

TEST(IvfFlatBatch, ResultsOfQueriesNeverMix) {
    const Data data = random_data(8, 12, 3000, 0, 21, 30);
    IVFFlatIndexReader r = open_flat_reader(data.file.build());
    const SearchResult batch = ivf::search_batch_ivfflat_reader_filter_range(r, data.queries, 30, 7, 0, 3, {}, {}, nullptr);
    for (size_t i = 0; i < 30; ++i) {
        const SearchResult one = r.search_with_filter(query_of(data, i), 7, 3, nullptr);
        EXPECT_EQ(one.distances, (std::vector<float>(batch.distances.begin() + 7 * i, batch.distances.begin() + 7 * i + 7)));
    }
}

// ---- Reads ------------------------------------------------------------------------------------

TEST(IvfFlatSearch, OneCallPerBatchEachListOnceEmptyListsNoRange) {
    Data data = random_data(6, 20, 400, 0, 5, 10);
    data.file.lists[4] = FlatFileList{};
    data.file.lists[11] = FlatFileList{};
    size_t non_empty = 0;
    for (const auto& l : data.file.lists) non_empty += l.ids.empty() ? 0 : 1;
    for (uint64_t cap : {uint64_t{0}, uint64_t{3}}) {
        SCOPED_TRACE(cap);
        MemorySource::Options o;
        o.max_ranges_per_call = cap;
        MemorySource::Observer obs;
        IVFFlatIndexReader r = open_flat_reader(data.file.build(), o, &obs);
        r.ensure_loaded();
        obs.reset();
        r.search_with_filter(query_of(data, 0), 5, 20, nullptr);
        auto s = obs.stats();
        EXPECT_EQ(s.ranges, non_empty);
        EXPECT_EQ(s.calls, cap == 0 ? 1u : tavren::div_ceil(non_empty, cap));
        EXPECT_EQ(s.cap_violations, 0u);
        for (const auto& call : s.log) {
            for (const auto& range : call) EXPECT_GT(range.len, 0u);
        }
        obs.reset();
        ivf::search_batch_ivfflat_reader_filter_range(r, data.queries, data.nq, 5, 0, 20, {}, {}, nullptr);
        s = obs.stats();
        std::set<uint64_t> offsets;
        for (const auto& call : s.log) {
            for (const auto& range : call) EXPECT_TRUE(offsets.insert(range.offset).second) << "read twice";
        }
        EXPECT_EQ(offsets.size(), non_empty);
        EXPECT_EQ(s.cap_violations, 0u);
    }
}

// One list whose payload is exactly `payload` bytes at d = 16 (gaps of 1 or
// 128 to reach the byte count), plus a small list. The big list's centroid is
// nearest to the zero query.
IvfFlatFileBuilder payload_of_exactly(uint64_t payload) {
    constexpr size_t d = 16;
    const uint64_t per_row = 4 * d + 1;
    const uint64_t rows = (payload - 12) / per_row;
    const uint64_t extra = payload - 12 - rows * per_row;  // gaps of 128 take two bytes
    IvfFlatFileBuilder b(d, 2, 0);
    for (size_t j = 0; j < d; ++j) b.centroids[d + j] = 5.0f;
    FlatFileList& big = b.lists[0];
    big.ids.resize(rows);
    big.rows.resize(rows * d);
    int64_t id = 0;
    for (uint64_t i = 0; i < rows; ++i) {
        if (i > 0) id += (i <= extra) ? 128 : 1;
        big.ids[i] = id;
        for (size_t j = 0; j < d; ++j) big.rows[i * d + j] = static_cast<float>((i * 7919 + j * 104729) % 1000003) * 1e-6f;
    }
    b.add(1, -1, std::vector<float>(d, 5.0f));
    b.add(1, -2, std::vector<float>(d, 4.0f));
    return b;
}

TEST(IvfFlatSearch, ExactlySixtyFourMebibytesIsBatchedOneMoreByteIsStreamed) {
    const std::vector<float> query(16, 0.0f);
    for (uint64_t payload : {util::kReadBudgetBytes, util::kReadBudgetBytes + 1}) {
        SCOPED_TRACE(payload);
        const IvfFlatFileBuilder b = payload_of_exactly(payload);
        const auto layout = b.layout();
        ASSERT_EQ(layout.payload_len[0], payload);
        MemorySource::Observer obs;
        IVFFlatIndexReader r = open_flat_reader(b.build(), {}, &obs);
        r.ensure_loaded();
        obs.reset();
        const SearchResult got = r.search_with_filter(query, 5, 2, nullptr);
        const SearchResult want = brute_force_flat(b, query, 5, nullptr);
        EXPECT_EQ(got.ids, want.ids);
        EXPECT_EQ(got.distances, want.distances);
        const auto s = obs.stats();
        if (payload == util::kReadBudgetBytes) {
            ASSERT_EQ(s.calls, 2u);  // the big list alone, then the small one
            ASSERT_EQ(s.log[0].size(), 1u);
            EXPECT_EQ(s.log[0][0].len, payload);
            EXPECT_EQ(s.log[0][0].offset, layout.payload_offset[0]);
        } else {
            // Its ID block, then row chunks, then the small list; no read covers it whole.
            EXPECT_GE(s.calls, 4u);
            EXPECT_EQ(s.log[0][0].len, 12 + layout.id_len[0]);
            EXPECT_LE(s.max_call_bytes, util::kChunkBudgetBytes);
        }
    }
}

TEST(IvfFlatSearch, StreamedListsServeEveryQueryFromOneRead) {
    const Data data = random_data(5, 4, 2000, 0, 17, 6);
    const std::vector<uint64_t> allowed{1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, 377, 610, 987, 1597};
    const RoaringTreemap treemap = util::decode_roaring_filter(tavren::testing::roaring_filter_bytes(allowed));
    const RowIdFilter filter(treemap);
    for (bool piecewise_ids : {false, true}) {
        SCOPED_TRACE(piecewise_ids);
        MemorySource::Observer obs;
        IVFFlatIndexReader r = open_flat_reader(data.file.build(), {}, &obs);
        ReadBudgets budgets;
        budgets.stream_threshold = 1024;  // every list is streamed
        size_t largest_list = 0;
        for (const auto& l : data.file.lists) largest_list = std::max(largest_list, l.ids.size());
        // One-shot IDs: the largest list's IDs and 37 rows of 20 bytes per chunk.
        budgets.chunk_budget = piecewise_ids ? 4096 : 8 * largest_list + 20 * 37;
        if (piecewise_ids) {
            budgets.id_block_budget = 512;
            budgets.id_window_bytes = 100;
        }
        r.set_read_budgets_for_testing(budgets);
        for (const RowIdFilter* f : {static_cast<const RowIdFilter*>(nullptr), &filter}) {
            r.ensure_loaded();
            obs.reset();
            const SearchResult batch =
                ivf::search_batch_ivfflat_reader_filter_range(r, data.queries, data.nq, 9, 0, 4, {}, {}, f);
            for (size_t i = 0; i < data.nq; ++i) {
                expect_exact(data, i, 9, f, std::span<const int64_t>(batch.ids).subspan(i * 9, 9),
                             std::span<const float>(batch.distances).subspan(i * 9, 9));
                const SearchResult one = r.search_with_filter(query_of(data, i), 9, 4, f);
                expect_exact(data, i, 9, f, one.ids, one.distances);
            }
            const auto s = obs.stats();
            EXPECT_LE(s.max_call_bytes, budgets.chunk_budget);
        }
        // The batch read each byte of the lists once.
        r.ensure_loaded();
        obs.reset();
        ivf::search_batch_ivfflat_reader_filter_range(r, data.queries, data.nq, 9, 0, 4, {}, {}, nullptr);
        const auto s = obs.stats();
        const auto layout = data.file.layout();
        uint64_t payload_bytes = 0;
        for (uint64_t len : layout.payload_len) payload_bytes += len;
        EXPECT_EQ(s.bytes, payload_bytes);
    }
}

// A list of 7,500,000 rows at d = 2 with one-byte gaps: its ID section and
// decoded IDs (67,500,012 bytes) exceed one bounded read, yet it is searchable.
TEST(IvfFlatSearch, ListsWhoseIdsExceedOneReadAreSearchable) {
    constexpr size_t n = 7500000;
    IvfFlatFileBuilder b(2, 2, 0);
    b.centroids = {0, 0, 50, 50};
    FlatFileList& big = b.lists[0];
    big.ids.resize(n);
    big.rows.resize(2 * n);
    for (size_t i = 0; i < n; ++i) {
        big.ids[i] = static_cast<int64_t>(i);
        big.rows[2 * i] = static_cast<float>((i * 2654435761u) % 100000) * 1e-3f;
        big.rows[2 * i + 1] = static_cast<float>((i * 40503u) % 7919) * 1e-2f;
    }
    b.add(1, -5, std::vector<float>{50, 50});
    const auto layout = b.layout();
    ASSERT_GT(12 + layout.id_len[0] + 8 * n, util::kReadBudgetBytes);
    ASSERT_GT(layout.payload_len[0], util::kReadBudgetBytes);
    const std::vector<uint64_t> allowed{3, 77, 4096, 1234567, 7499999};
    const RoaringTreemap treemap = util::decode_roaring_filter(tavren::testing::roaring_filter_bytes(allowed));
    const RowIdFilter filter(treemap);
    MemorySource::Observer obs;
    IVFFlatIndexReader r = open_flat_reader(b.build(), {}, &obs);
    const std::vector<float> query{12.5f, 3.25f};
    for (const RowIdFilter* f : {static_cast<const RowIdFilter*>(nullptr), &filter}) {
        const SearchResult got = r.search_with_filter(query, 10, 2, f);
        const SearchResult want = brute_force_flat(b, query, 10, f);
        EXPECT_EQ(got.distances, want.distances);
        EXPECT_EQ(got.ids, want.ids);
    }
    EXPECT_LE(obs.stats().max_call_bytes, util::kChunkBudgetBytes);
}

// ---- NaN distances -----------------------------------------------------------------------------

TEST(IvfFlatSearch, OverflowingInnerProductsRankLast) {
    // Row 1's products overflow to +inf and -inf: its distance is NaN.
    IvfFlatFileBuilder b(2, 1, 1);
    b.add(0, 1, std::vector<float>{3e38f, 3e38f});
    b.add(0, 2, std::vector<float>{1.0f, 0.5f});
    b.add(0, 3, std::vector<float>{0.5f, 1.0f});
    b.add(0, 4, std::vector<float>{0.5f, 0.5f});
    const std::vector<float> query{3e38f, -3e38f};
    for (size_t threads : {size_t{1}, size_t{8}}) {
        PoolGuard pool(threads);
        IVFFlatIndexReader r = open_flat_reader(b.build());
        const SearchResult all = r.search_with_filter(query, 5, 1, nullptr);
        EXPECT_EQ(all.ids, (std::vector<int64_t>{2, 4, 3, 1, -1}));
        EXPECT_TRUE(std::isnan(all.distances[3]));
        EXPECT_EQ(all.distances[4], kF32Max);
        const SearchResult top2 = r.search_with_filter(query, 2, 1, nullptr);
        EXPECT_EQ(top2.ids, (std::vector<int64_t>{2, 4}));
        const SearchResult batch =
            ivf::search_batch_ivfflat_reader_filter_range(r, query, 1, 3, 0, 1, {}, {}, nullptr);
        EXPECT_EQ(batch.ids, (std::vector<int64_t>{2, 4, 3}));
        // A NaN seed ranks last too.
        const SearchResult seeded = ivf::search_batch_ivfflat_reader_filter_range(
            r, query, 1, 3, 0, 1, std::vector<int64_t>{99, 98, 97}, std::vector<float>{kNaN, -kInf, kF32Max}, nullptr);
        EXPECT_EQ(seeded.ids, (std::vector<int64_t>{98, 2, 4}));
    }
}

// ---- Heaps sized by what can be offered --------------------------------------------------------

TEST(IvfFlatSearch, AHugeKReservesOnlyWhatTheListsHold) {
    // Four lists of 600 rows at d = 512 (about 1.2 M products): scanned in
    // parallel, one task per list.
    const Data data = random_data(512, 4, 2400, 0, 8, 1);
    IVFFlatIndexReader r = open_flat_reader(data.file.build());
    r.ensure_loaded();
    const size_t k = size_t{1} << 22;
    size_t largest = 0;
    {
        AllocationWatch watch;
        const SearchResult one = r.search_with_filter(query_of(data, 0), k, 4, nullptr);
        const SearchResult batch = ivf::search_batch_ivfflat_reader_filter_range(r, data.queries, 1, k, 0, 4, {}, {}, nullptr);
        largest = watch.largest();
        EXPECT_EQ(one.ids[2399 + 1], -1);
        EXPECT_EQ(batch.ids[2400], -1);
        EXPECT_EQ(one.distances, batch.distances);
    }
    // The padded output (8 bytes per place) is the largest block; a heap of k
    // pairs would take twice that.
    EXPECT_LE(largest, 8 * k);
}

// ---- Scratch kept between searches -----------------------------------------------------------

TEST(IvfFlatSearch, SteadySearchesMakeNoLargeAllocation) {
    // 16 lists of 2,500 rows at d = 32: 320 KB of rows per list. nprobe 4
    // scans serially, nprobe 16 in parallel (1.28 M products).
    PoolGuard pool(4);
    const Data data = random_data(32, 16, 40000, 0, 21, 4);
    IVFFlatIndexReader r = open_flat_reader(data.file.build());
    const size_t k = 25;
    std::vector<SearchResult> warm;
    auto run_all = [&] {
        std::vector<SearchResult> out;
        for (size_t nprobe : {size_t{4}, size_t{16}}) {
            for (size_t i = 0; i < data.nq; ++i) out.push_back(r.search_with_filter(query_of(data, i), k, nprobe, nullptr));
            out.push_back(ivf::search_batch_ivfflat_reader_filter_range(r, data.queries, data.nq, k, 0, nprobe, {}, {}, nullptr));
        }
        return out;
    };
    warm = run_all();
    const size_t held = r.scratch_bytes();
    // The largest batch (all 16 lists, 5.1 MB of rows) and what comes with it.
    EXPECT_GE(held, 16 * 2500 * 32 * 4u);
    EXPECT_LE(held, 16 * 2500 * 32 * 4u * 3 / 2);
    size_t largest = 0;
    std::vector<SearchResult> again;
    {
        AllocationWatch watch;
        again = run_all();
        largest = watch.largest();
    }
    EXPECT_LT(largest, size_t{64} << 10);  // a list alone is 320 KB
    EXPECT_EQ(r.scratch_bytes(), held);
    ASSERT_EQ(again.size(), warm.size());
    for (size_t i = 0; i < warm.size(); ++i) {
        EXPECT_EQ(again[i].ids, warm[i].ids) << i;
        EXPECT_EQ(again[i].distances, warm[i].distances) << i;
    }
    for (size_t i = 0; i < data.nq; ++i) expect_exact(data, i, k, nullptr, warm[5 + i].ids, warm[5 + i].distances);
}

TEST(IvfFlatSearch, LargePartialResultsAreNotKept) {
    // 110 queries probing all 16 lists (40,000 rows) with k = 40,000: the
    // parallel scan holds 110 x 40,000 partial pairs (70 MB) for the batch,
    // more than the reader keeps once it is done.
    PoolGuard pool(4);
    const Data data = random_data(32, 16, 40000, 0, 22, 110);
    IVFFlatIndexReader r = open_flat_reader(data.file.build());
    const size_t k = 40000;
    const SearchResult got = ivf::search_batch_ivfflat_reader_filter_range(r, data.queries, data.nq, k, 0, 16, {}, {}, nullptr);
    EXPECT_LT(r.scratch_bytes(), size_t{16} << 20);
    for (size_t i : {size_t{0}, size_t{109}}) {
        expect_exact(data, i, k, nullptr, std::span<const int64_t>(got.ids).subspan(i * k, k),
                     std::span<const float>(got.distances).subspan(i * k, k));
    }
}

}  // namespace
