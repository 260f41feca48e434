// One DiskANN query end to end: a file built and written by the library,
// opened through the index facade (and the DiskANN reader directly) from an
// in-memory host, searched with the automatic and explicit widths, for every
// storage layout, encoding and metric and several read profiles; results
// against brute force, padding, query errors and recovery after them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "diskann.hpp"
#include "diskann_built_index.hpp"
#include "diskann_io.hpp"
#include "diskann_writer.hpp"
#include "distance.hpp"
#include "expect.hpp"
#include "index_reader.hpp"
#include "memory_sink.hpp"
#include "memory_source.hpp"
#include "rng.hpp"
#include "search_params.hpp"

using namespace tavren;
using namespace tavren::index;
using tavren::diskann::DiskAnnBuildConfig;
using tavren::diskann::DiskAnnIndex;
using tavren::diskann::RawVectorEncoding;
using tavren::diskann::StorageLayout;
using tavren::testing::failure_of;
using tavren::testing::MemorySink;
using tavren::testing::MemorySource;

namespace {

constexpr float kMaxDistance = 3.4028235e38f;

using Built = tavren::testing::BuiltDiskAnn;

Built build(size_t n, size_t d, uint32_t metric, StorageLayout layout, RawVectorEncoding encoding, size_t bits,
            uint64_t seed) {
    return tavren::testing::build_diskann_index(n, d, metric, layout, encoding, bits, seed);
}

using tavren::testing::exact_distance;

std::vector<int64_t> brute_force(const Built& b, uint32_t metric, std::span<const float> q, size_t k) {
    return tavren::testing::brute_force_ids(b, metric, q, k);
}

VectorSearchParams params(uint64_t top_k, uint32_t width_type = kWidthAutomatic, uint64_t width = 0) {
    VectorSearchParams p;
    p.top_k = top_k;
    p.width_type = width_type;
    p.width = width;
    return p;
}

VectorIndexReader open(const Built& b, uint64_t latency_ns, uint64_t max_ranges, uint64_t budget) {
    MemorySource::Options so;
    so.read_latency_ns = latency_ns;
    so.max_ranges_per_call = max_ranges;
    read_options::VectorIndexReaderOptions options;
    options.memory_budget_bytes = budget;
    return VectorIndexReader::open_with_options(MemorySource::make(b.bytes, so, nullptr), options);
}

void expect_well_formed(const SearchResult& r, size_t top_k) {
    ASSERT_EQ(r.ids.size(), top_k);
    ASSERT_EQ(r.distances.size(), top_k);
    for (size_t i = 1; i < top_k; ++i) EXPECT_LE(r.distances[i - 1], r.distances[i]) << i;
}

struct RecallCase {
    const char* name;
    uint32_t metric;
    StorageLayout layout;
    RawVectorEncoding encoding;
    size_t bits;
    uint64_t latency_ns;  // selects the read profile
    uint64_t max_ranges;
    uint64_t budget;      // reader memory budget (small: no shared caches)
    bool optimize;
};

// Recall@10 over 40 perturbed rows, automatic width (L = 100) and L = 40.
// Measured: automatic 0.9925 to 1.0 on every row; L = 40 from 0.7875 (inner
// product, 4-bit codes) to 1.0. The floors (0.95, 0.75) leave room for a
// different build order.
TEST(DiskAnnFacadeSearch, RecallAgainstBruteForce) {
    const uint64_t big = uint64_t{1} << 32;
    const RecallCase cases[] = {
        {"l2 compact f32 memory", 0, StorageLayout::Compact, RawVectorEncoding::F32, 8, 0, 0, big, true},
        {"l2 compact f16 local", 0, StorageLayout::Compact, RawVectorEncoding::F16, 8, 100'000, 2, big, false},
        {"l2 interleaved remote", 0, StorageLayout::Interleaved, RawVectorEncoding::F32, 8, 2'000'000, 1, big, true},
        {"ip compact object store", 1, StorageLayout::Compact, RawVectorEncoding::F32, 4, 5'000'000, 0, big, false},
        {"cosine interleaved f16", 2, StorageLayout::Interleaved, RawVectorEncoding::F16, 4, 0, 3, big, false},
        {"l2 compact tight budget", 0, StorageLayout::Compact, RawVectorEncoding::F32, 8, 1'000, 0, 0, false},
    };
    constexpr size_t kN = 1500, kD = 16, kQueries = 40, kTopK = 10;
    for (const RecallCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Built b = build(kN, kD, c.metric, c.layout, c.encoding, c.bits, 5);
        uint64_t budget = c.budget;
        if (budget == 0) {
            // Just the resident sections: no preload and no shared caches.
            budget = diskann_io::resident_peak_bytes(diskann_format::DiskAnnHeader::decode(b.bytes));
        }
        VectorIndexReader reader = open(b, c.latency_ns, c.max_ranges, budget);
        if (c.optimize) reader.optimize_for_search();
        auto rng = rng::StdRng::seed_from_u64(77);
        for (const uint64_t l_search : {uint64_t{0}, uint64_t{40}}) {
            size_t hits = 0;
            for (size_t t = 0; t < kQueries; ++t) {
                const size_t row = (t * 37) % kN;
                std::vector<float> q(b.rows.begin() + row * kD, b.rows.begin() + (row + 1) * kD);
                for (float& x : q) x += (rng.gen_f32() - 0.5f) * 0.2f;
                const SearchResult r = reader.search(
                    q, l_search == 0 ? params(kTopK) : params(kTopK, kWidthDiskAnnLSearch, l_search));
                expect_well_formed(r, kTopK);
                const auto truth = brute_force(b, c.metric, q, kTopK);
                for (int64_t id : r.ids) hits += std::count(truth.begin(), truth.end(), id);
                // The distances are the exact ones of the returned rows.
                const size_t node = static_cast<size_t>((r.ids[0] - 1000) / 3);
                const float want =
                    exact_distance(c.metric, q, std::span<const float>(b.rows).subspan(node * kD, kD));
                EXPECT_NEAR(r.distances[0], want, 1e-4f * std::max(1.0f, std::abs(want)));
            }
            const double recall = static_cast<double>(hits) / (kQueries * kTopK);
            EXPECT_GE(recall, l_search == 0 ? 0.95 : 0.75) << "l_search " << l_search;
        }
    }
}

TEST(DiskAnnFacadeSearch, FewerRowsThanTopKArePadded) {
    for (const auto layout : {StorageLayout::Compact, StorageLayout::Interleaved}) {
        const Built b = build(3, 8, 0, layout, RawVectorEncoding::F32, 4, 3);
        VectorIndexReader reader = open(b, 0, 0, uint64_t{1} << 30);
        const std::vector<float> q(b.rows.begin() + 8, b.rows.begin() + 16);  // row 1 exactly
        const SearchResult r = reader.search(q, params(5));
        expect_well_formed(r, 5);
        EXPECT_EQ(r.ids[0], 1003);
        EXPECT_EQ(r.distances[0], 0.0f);
        std::vector<int64_t> first3(r.ids.begin(), r.ids.begin() + 3);
        std::sort(first3.begin(), first3.end());
        EXPECT_EQ(first3, (std::vector<int64_t>{1000, 1003, 1006}));
        for (size_t i = 3; i < 5; ++i) {
            EXPECT_EQ(r.ids[i], -1);
            EXPECT_EQ(r.distances[i], kMaxDistance);
        }
        // An explicit L below top_k is raised to top_k.
        const SearchResult r2 = reader.search(q, params(5, kWidthDiskAnnLSearch, 1));
        EXPECT_EQ(r2.ids, r.ids);
    }
}

TEST(DiskAnnFacadeSearch, BadQueriesFailAndTheNextQueryWorks) {
    const Built b = build(300, 16, 0, StorageLayout::Compact, RawVectorEncoding::F32, 8, 9);
    VectorIndexReader reader = open(b, 0, 0, uint64_t{1} << 30);
    const std::vector<float> good(b.rows.begin(), b.rows.begin() + 16);
    const SearchResult before = reader.search(good, params(10));
    EXPECT_EQ(before.ids[0], 1000);

    std::vector<float> nan = good;
    nan[2] = std::numeric_limits<float>::quiet_NaN();
    const struct {
        const char* name;
        std::function<void()> call;
        ErrorKind kind;
        std::string message;
    } failures[] = {
        {"short", [&] { (void)reader.search(std::vector<float>(15, 0.0f), params(10)); }, ErrorKind::InvalidInput,
         "query length 15 does not match index dimension 16"},
        {"nan", [&] { (void)reader.search(nan, params(10)); }, ErrorKind::InvalidInput,
         "query contains non-finite value at offset 2: NaN"},
        {"top_k 0", [&] { (void)reader.search(good, params(0)); }, ErrorKind::InvalidInput,
         "top_k must be greater than 0"},
        {"nprobe width", [&] { (void)reader.search(good, params(10, kWidthIvfNprobe, 4)); }, ErrorKind::InvalidInput,
         "IVF nprobe cannot be used with a DiskANN index"},
        {"filtered", [&] { (void)reader.search_with_roaring_filter(good, params(10, kWidthDiskAnnLSearch, 20), {}); },
         ErrorKind::InvalidInput, "invalid RoaringTreemap filter: failed to fill whole buffer"},
        {"filtered batch",
         [&] { (void)reader.search_batch_with_roaring_filter(good, 1, params(10, kWidthDiskAnnLSearch, 20), {}); },
         ErrorKind::InvalidInput, "invalid RoaringTreemap filter: failed to fill whole buffer"},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.name);
        const auto got = failure_of(f.call);
        EXPECT_EQ(got.kind, f.kind);
        EXPECT_EQ(got.message, f.message);
        const SearchResult after = reader.search(good, params(10));
        EXPECT_EQ(after.ids, before.ids);
        EXPECT_EQ(after.distances, before.distances);
    }
}

// The reader's own entry: its checks, its statistics record and a failing
// host read in the middle of a query, after which the reader still works.
TEST(DiskAnnReaderSearch, ChecksStatisticsAndHostFailure) {
    const Built b = build(400, 8, 0, StorageLayout::Compact, RawVectorEncoding::F32, 8, 13);
    MemorySource::Observer observer;
    auto reader =
        diskann_io::DiskAnnIndexReader::open_with_options(MemorySource::make(b.bytes, {}, &observer), {});
    std::vector<int64_t> ids;
    std::vector<float> dist;
    const std::vector<float> q(b.rows.begin() + 8 * 7, b.rows.begin() + 8 * 8);

    const auto short_query = failure_of([&] { reader.search(std::vector<float>(7, 0.0f), 10, 0, ids, dist); });
    EXPECT_EQ(short_query.message, "query dimension mismatch: expected 8, got 7");
    EXPECT_EQ(reader.stats(), diskann_search::DiskAnnSearchStats::for_queries(1));
    std::vector<float> nan = q;
    nan[5] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(failure_of([&] { reader.search(nan, 10, 0, ids, dist); }).message, "query values must be finite");
    EXPECT_FALSE(reader.has_resident());  // nothing read for a rejected query

    reader.search(q, 0, 0, ids, dist);  // top_k 0: empty, nothing loaded
    EXPECT_TRUE(ids.empty());
    EXPECT_FALSE(reader.has_resident());

    reader.search(q, 10, 0, ids, dist);
    ASSERT_EQ(ids.size(), 10u);
    EXPECT_EQ(ids[0], 1021);
    EXPECT_EQ(reader.stats().queries, 1u);
    EXPECT_GT(reader.stats().rerank_candidates, 0u);
    EXPECT_GT(reader.stats().adjacency_windows_read, 0u);
    const std::vector<int64_t> first = ids;
    const uint64_t calls = observer.stats().calls;

    // The same first query against a host whose last read of that query
    // fails: the query fails with the host's error, the next one answers as
    // the healthy reader did.
    MemorySource::Options failing;
    failing.fail_on_call = calls - 1;
    auto broken = diskann_io::DiskAnnIndexReader::open_with_options(MemorySource::make(b.bytes, failing, nullptr), {});
    EXPECT_EQ(failure_of([&] { broken.search(q, 10, 0, ids, dist); }).message, "read_ranges callback failed");
    broken.search(q, 10, 0, ids, dist);
    EXPECT_EQ(ids, first);
}

// Warm-up searches every query, leaves the statistics of the last real
// search alone, and the searches after it answer as a cold reader does.
TEST(DiskAnnReaderSearch, WarmupSearchesAndKeepsTheStatistics) {
    const Built b = build(400, 8, 2, StorageLayout::Interleaved, RawVectorEncoding::F32, 8, 21);
    auto reader = diskann_io::DiskAnnIndexReader::open_with_options(MemorySource::make(b.bytes, {}, nullptr), {});
    auto cold = diskann_io::DiskAnnIndexReader::open_with_options(MemorySource::make(b.bytes, {}, nullptr), {});
    const std::span<const float> q(b.rows.data() + 8 * 30, 8);
    std::vector<int64_t> ids, cold_ids;
    std::vector<float> dist, cold_dist;

    EXPECT_EQ(failure_of([&] { reader.warmup_queries(std::vector<float>(9, 0.0f), 0); }).message,
              "warmup query length 9 is not divisible by dimension 8");
    std::vector<float> bad(b.rows.begin(), b.rows.begin() + 16);
    bad[12] = std::numeric_limits<float>::infinity();
    EXPECT_EQ(failure_of([&] { reader.warmup_queries(bad, 0); }).message, "warmup query values must be finite");
    EXPECT_FALSE(reader.has_resident());

    reader.search(q, 10, 0, ids, dist);
    const diskann_search::DiskAnnSearchStats after_search = reader.stats();
    reader.warmup_queries(std::span<const float>(b.rows.data(), 8 * 50), 20);
    EXPECT_EQ(reader.stats(), after_search);
    reader.warmup_queries({}, 0);  // no queries: only the optimisation
    EXPECT_FALSE(reader.adjacency_preload().empty());

    reader.search(q, 10, 0, ids, dist);
    cold.search(q, 10, 0, cold_ids, cold_dist);
    EXPECT_EQ(ids, cold_ids);
    EXPECT_EQ(dist, cold_dist);
    EXPECT_EQ(ids[0], 1090);

    // Through the facade: nq queries, then a search.
    VectorIndexReader facade = open(b, 0, 0, uint64_t{1} << 30);
    facade.warmup_queries(std::span<const float>(b.rows.data(), 8 * 3), 3, 0);
    EXPECT_EQ(facade.search(q, params(10)).ids, ids);
}

}  // namespace
