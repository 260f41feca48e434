// DiskANN filtered search: the two node-set translations against each other
// and against a reference, the order's budget rule, the strategy examples,
// the post-filter, the tile size, and filtered queries over files written by
// the library (results only from the filter, padding, no reads for empty
// filters, malformed filter bytes, the graph path and its fallback).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "diskann.hpp"
#include "diskann_built_index.hpp"
#include "diskann_file_builder.hpp"
#include "diskann_filter.hpp"
#include "diskann_io.hpp"
#include "diskann_writer.hpp"
#include "distance.hpp"
#include "expect.hpp"
#include "index_io_util.hpp"
#include "index_reader.hpp"
#include "memory_sink.hpp"
#include "memory_source.hpp"
#include "pool.hpp"
#include "rng.hpp"
#include "search_params.hpp"

using namespace tavren;
namespace ds = tavren::diskann_search;
using tavren::diskann::DiskAnnBuildConfig;
using tavren::diskann::DiskAnnIndex;
using tavren::diskann::RawVectorEncoding;
using tavren::diskann::StorageLayout;
using tavren::diskann_io::DiskAnnIndexReader;
using tavren::row_id_filter::RoaringTreemap;
using tavren::testing::failure_of;
using tavren::testing::MemorySink;
using tavren::testing::MemorySource;

namespace {

constexpr float kMaxDistance = std::numeric_limits<float>::max();

std::vector<uint8_t> fbytes(const std::vector<uint64_t>& values) {
    return tavren::testing::roaring_filter_bytes(values);
}

RoaringTreemap treemap_of(const std::vector<uint64_t>& values) {
    const std::vector<uint8_t> bytes = fbytes(values);
    return index_io_util::decode_roaring_filter(bytes);
}

std::vector<uint32_t> to_vector(const ds::NodeSet& s) {
    std::vector<uint32_t> out;
    for (uint32_t v : s) out.push_back(v);
    return out;
}

// The nodes whose row ID, read as unsigned, is a filter value (negative row
// IDs never match).
std::vector<uint32_t> reference_nodes(const std::vector<int64_t>& row_ids, const std::vector<uint64_t>& values) {
    const std::set<uint64_t> want(values.begin(), values.end());
    std::vector<uint32_t> out;
    for (size_t i = 0; i < row_ids.size(); ++i) {
        if (row_ids[i] >= 0 && want.count(static_cast<uint64_t>(row_ids[i]))) out.push_back(static_cast<uint32_t>(i));
    }
    return out;
}

DiskAnnIndexReader open_file(const std::vector<uint8_t>& bytes, uint64_t budget = uint64_t{1} << 32,
                             MemorySource::Observer* observer = nullptr, MemorySource::Options options = {}) {
    read_options::VectorIndexReaderOptions o;
    o.memory_budget_bytes = budget;
    return DiskAnnIndexReader::open_with_options(MemorySource::make(bytes, options, observer), o);
}

// ---- node sets ------------------------------------------------------------------------

struct RowIdShape {
    const char* name;
    std::vector<int64_t> (*make)(uint64_t n);
};

std::vector<int64_t> sequential_ids(uint64_t n) {
    std::vector<int64_t> ids(n);
    for (uint64_t i = 0; i < n; ++i) ids[i] = static_cast<int64_t>(i * 3 + 7);
    return ids;
}
// Pairs of nodes share a row ID, in scrambled node order.
std::vector<int64_t> duplicated_ids(uint64_t n) {
    std::vector<int64_t> ids(n);
    for (uint64_t i = 0; i < n; ++i) ids[i] = static_cast<int64_t>(((i * 7919) % n) / 2);
    return ids;
}
// Negative row IDs (whose unsigned reading is >= 2^63) beside huge positive ones.
std::vector<int64_t> signed_ids(uint64_t n) {
    std::vector<int64_t> ids(n);
    for (uint64_t i = 0; i < n; ++i) {
        ids[i] = i % 3 == 0 ? -static_cast<int64_t>(i + 1) : std::numeric_limits<int64_t>::max() - static_cast<int64_t>(i);
    }
    return ids;
}

// Filters over the row IDs actually present: every value of a chosen subset
// of nodes, plus values no node carries.
std::vector<uint64_t> filter_values(const std::vector<int64_t>& row_ids, uint64_t count, uint64_t salt) {
    std::vector<uint64_t> values;
    const uint64_t n = row_ids.size();
    for (uint64_t i = 0; values.size() < count && i < 4 * n; ++i) {
        values.push_back(static_cast<uint64_t>(row_ids[(i * 2654435761u + salt) % n]));
        std::sort(values.begin(), values.end());
        values.erase(std::unique(values.begin(), values.end()), values.end());
    }
    return values;
}

TEST(DiskAnnNodeSet, BothPathsAndTheMergeWalkGiveTheReferenceSet) {
    const uint64_t n = 1600;  // floor(n / 16) = 100
    const RowIdShape shapes[] = {{"sequential", sequential_ids}, {"duplicates", duplicated_ids}, {"signed", signed_ids}};
    for (const RowIdShape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        auto contents = tavren::testing::ring_contents(n, 4);
        contents.row_ids = shape.make(n);
        const auto file = tavren::testing::build_diskann_file(contents);
        DiskAnnIndexReader reader = open_file(file.bytes);
        reader.ensure_resident();
        auto order_reader = open_file(file.bytes);
        order_reader.ensure_resident();
        const auto order = order_reader.ensure_row_id_order();
        ASSERT_TRUE(order);
        const ds::RowIdLookup lookup = [&](uint32_t node) { return reader.row_id(node); };
        const ds::RowIdEnumeration scan = [&](const ds::RowIdBlockVisitor& visit) {
            reader.try_for_each_row_id_block(visit);
        };

        struct FilterCase {
            const char* name;
            std::vector<uint64_t> values;
        };
        std::vector<FilterCase> cases = {
            {"empty", {}},
            {"one", filter_values(contents.row_ids, 1, 3)},
            {"n/16", filter_values(contents.row_ids, n / 16, 5)},
            {"n/16+1", filter_values(contents.row_ids, n / 16 + 1, 11)},
            {"half", filter_values(contents.row_ids, n / 2, 13)},
            {"all", filter_values(contents.row_ids, n, 0)},
            {"absent values", {1, 2, 4, 5, 8}},
            {"at and above 2^63", {uint64_t{1} << 63, (uint64_t{1} << 63) + 1, ~uint64_t{0}}},
        };
        // Values >= 2^63 mixed into a small filter of present values.
        std::vector<uint64_t> mixed = filter_values(contents.row_ids, 5, 17);
        mixed.push_back(uint64_t{1} << 63);
        mixed.push_back(~uint64_t{0} - 5);
        cases.push_back({"present and >= 2^63", mixed});
        for (const FilterCase& fc : cases) {
            SCOPED_TRACE(fc.name);
            const RoaringTreemap filter = treemap_of(fc.values);
            const std::vector<uint32_t> want = reference_nodes(contents.row_ids, fc.values);
            const auto binary = ds::matching_ranges_from_row_id_order(*order, filter, lookup);
            const auto walk = ds::matching_ranges_by_merge_walk(*order, filter, lookup);
            EXPECT_EQ(binary, walk);
            EXPECT_EQ(to_vector(ds::node_set_from_ranges(*order, binary)), want);
            EXPECT_EQ(to_vector(ds::matching_nodes_from_sequential_row_ids(filter, scan)), want);
            EXPECT_EQ(to_vector(reader.matching_nodes_for_filter(filter)), want);
        }
    }
}

TEST(DiskAnnNodeSet, SmallFiltersLoadTheOrderOnceLargeOnesScan) {
    const uint64_t n = 1600;
    const auto file = tavren::testing::build_diskann_file(tavren::testing::ring_contents(n, 4));
    MemorySource::Observer observer;
    DiskAnnIndexReader reader = open_file(file.bytes, uint64_t{1} << 32, &observer);
    // c = n / 16 + 1 scans: the order stays unread.
    std::vector<uint64_t> big;
    for (uint64_t i = 0; i <= n / 16; ++i) big.push_back(i);
    EXPECT_EQ(reader.matching_nodes_for_filter(treemap_of(big)).cardinality(), n / 16 + 1);
    EXPECT_EQ(reader.loaded_row_id_order_bytes(), 0u);
    big.pop_back();
    const uint64_t calls_before = observer.stats().calls;
    EXPECT_EQ(reader.matching_nodes_for_filter(treemap_of(big)).cardinality(), n / 16);
    EXPECT_EQ(reader.loaded_row_id_order_bytes(), 4 * n);
    EXPECT_GT(observer.stats().calls, calls_before);
    // A clone shares the loaded order: no further reads.
    DiskAnnIndexReader clone = reader.try_clone_with_shared_state();
    const uint64_t calls_loaded = observer.stats().calls;
    EXPECT_EQ(clone.matching_nodes_for_filter(treemap_of({1, 2, 3})).cardinality(), 3u);
    EXPECT_EQ(observer.stats().calls, calls_loaded);
}

TEST(DiskAnnNodeSet, BudgetBelowTheOrderPeakMakesItUnavailableWithTheSameSets) {
    const uint64_t n = 1600;
    auto contents = tavren::testing::ring_contents(n, 4);
    contents.row_ids = duplicated_ids(n);
    const auto file = tavren::testing::build_diskann_file(contents);
    const uint64_t peak = diskann_io::row_id_order_peak_bytes(file.header, 0);
    ASSERT_GE(peak - 1, diskann_io::resident_peak_bytes(file.header));
    DiskAnnIndexReader tight = open_file(file.bytes, peak - 1);
    DiskAnnIndexReader roomy = open_file(file.bytes, peak);
    DiskAnnIndexReader clone = tight.try_clone_with_shared_state();
    const std::vector<uint64_t> values = filter_values(contents.row_ids, 40, 9);
    const std::vector<uint32_t> want = reference_nodes(contents.row_ids, values);
    EXPECT_EQ(to_vector(tight.matching_nodes_for_filter(treemap_of(values))), want);
    EXPECT_EQ(tight.row_id_order_state()->status, diskann_io::RowIdOrderState::Status::Unavailable);
    EXPECT_EQ(to_vector(clone.matching_nodes_for_filter(treemap_of(values))), want);
    EXPECT_EQ(to_vector(roomy.matching_nodes_for_filter(treemap_of(values))), want);
    EXPECT_EQ(roomy.row_id_order_state()->status, diskann_io::RowIdOrderState::Status::Loaded);
    // And the same answers.
    const std::vector<uint8_t> bytes = fbytes(values);
    const std::span<const float> q(contents.vectors.data() + 8 * 77, 8);
    std::vector<int64_t> tight_ids, roomy_ids;
    std::vector<float> tight_dist, roomy_dist;
    tight.search_with_roaring_filter(q, 6, 0, bytes, tight_ids, tight_dist);
    roomy.search_with_roaring_filter(q, 6, 0, bytes, roomy_ids, roomy_dist);
    EXPECT_EQ(tight_ids, roomy_ids);
    EXPECT_EQ(tight_dist, roomy_dist);
}

TEST(DiskAnnNodeSet, FailedOrderReadIsReportedAndRetried) {
    const uint64_t n = 1600;
    const auto file = tavren::testing::build_diskann_file(tavren::testing::ring_contents(n, 4));
    std::vector<uint8_t> bytes = file.bytes;
    DiskAnnIndexReader ok = open_file(bytes);
    ok.ensure_resident();
    // Corrupt the order: two entries swapped break the strict increase.
    const auto& sec = file.header.sections[diskann_format::kSectionRowIdOrder];
    std::swap_ranges(bytes.begin() + static_cast<std::ptrdiff_t>(sec.offset),
                     bytes.begin() + static_cast<std::ptrdiff_t>(sec.offset + 4),
                     bytes.begin() + static_cast<std::ptrdiff_t>(sec.offset + 4));
    DiskAnnIndexReader bad = open_file(bytes);
    const auto err = failure_of([&] { bad.matching_nodes_for_filter(treemap_of({5})); });
    EXPECT_EQ(err.message, "DiskANN row-ID order must be globally strictly increasing");
    EXPECT_EQ(bad.row_id_order_state()->status, diskann_io::RowIdOrderState::Status::NotLoaded);
    // Large filters never need the order.
    std::vector<uint64_t> big;
    for (uint64_t i = 0; i < n; i += 2) big.push_back(i);
    EXPECT_EQ(bad.matching_nodes_for_filter(treemap_of(big)).cardinality(), n / 2);
}

TEST(DiskAnnNodeSet, MergeWalkLooksUpFarFewerRowIdsNearTheThreshold) {
    const uint64_t n = 1 << 16;
    std::vector<uint32_t> order(n);
    for (uint32_t i = 0; i < n; ++i) order[i] = i;
    uint64_t lookups = 0;
    const ds::RowIdLookup lookup = [&](uint32_t node) {
        ++lookups;
        return static_cast<int64_t>(node) * 2;
    };
    std::vector<uint64_t> values;
    for (uint64_t v = 0; v < 2 * n; v += 32) values.push_back(v);  // n / 16 values
    const RoaringTreemap filter = treemap_of(values);
    const auto binary = ds::matching_ranges_from_row_id_order(order, filter, lookup);
    const uint64_t binary_lookups = std::exchange(lookups, 0);
    const auto walk = ds::matching_ranges_by_merge_walk(order, filter, lookup);
    EXPECT_EQ(binary, walk);
    EXPECT_EQ(walk.size(), n / 16);
    // About 12 lookups per value here against 2 log2(n) = 32.
    EXPECT_LT(lookups * 2, binary_lookups);
    EXPECT_LE(lookups, n + values.size());
}

TEST(DiskAnnNodeSet, LookupErrorsEndTheTranslation) {
    const std::vector<uint32_t> order = {0, 1, 2, 3};
    const ds::RowIdLookup failing = [](uint32_t node) -> int64_t {
        if (node == 2) invalid_data("DiskANN row-ID node is out of range");
        return node;
    };
    for (const bool walk : {false, true}) {
        const auto err = failure_of([&] {
            walk ? ds::matching_ranges_by_merge_walk(order, treemap_of({2}), failing)
                 : ds::matching_ranges_from_row_id_order(order, treemap_of({2}), failing);
        });
        EXPECT_EQ(err.message, "DiskANN row-ID node is out of range");
    }
    const ds::RowIdEnumeration huge_node = [](const ds::RowIdBlockVisitor& visit) {
        const std::array<int64_t, 2> ids{2, 1};
        visit(0, ids);                   // node 1 matches, below 2^32
        visit(uint64_t{1} << 32, ids);   // node 2^32 + 1 matches
    };
    EXPECT_EQ(failure_of([&] { ds::matching_nodes_from_sequential_row_ids(treemap_of({1}), huge_node); }).message,
              "DiskANN internal node ID exceeds u32");
}

// ---- strategy, post-filter, tiles --------------------------------------------------------

TEST(DiskAnnFilteredStrategy, Examples) {
    read_options::ReadPlan small{4096, 16, 16};
    read_options::ReadPlan wide{32768, 16, 16};
    using K = ds::FilteredStrategyKind;
    struct Case {
        const char* name;
        uint64_t n, matches, k, l, r;
        read_options::ReadPlan plan;
        bool preloaded;
        ds::FilteredCandidateStrategy want;
    };
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    const Case cases[] = {
        {"all match, n 100000", 100000, 100000, 10, 200, 64, small, true, {K::GraphPostFilter, 64, 200}},
        {"all match, n 20000", 20000, 20000, 10, 200, 64, small, true, {K::ExhaustivePq, 64, 0}},
        {"wide windows, no preload", 100000, 100000, 10, 200, 64, wide, false, {K::ExhaustivePq, 64, 0}},
        {"wide windows, preloaded", 100000, 100000, 10, 200, 64, wide, true, {K::GraphPostFilter, 64, 200}},
        {"1000 of 5000", 5000, 1000, 10, 500, 64, small, true, {K::ExhaustivePq, 64, 0}},
        {"default list 100 < 200", 100000, 100000, 10, 0, 64, small, true, {K::ExhaustivePq, 64, 0}},
        {"default list 2k", 1000000, 1000000, 100, 0, 64, small, true, {K::GraphPostFilter, 400, 800}},
        {"one short of all", 100000, 99999, 10, 200, 64, small, true, {K::ExhaustivePq, 64, 0}},
        {"few matches", 100, 3, 10, 0, 64, small, true, {K::ExhaustivePq, 3, 0}},
        {"empty index", 0, 0, 10, 200, 64, small, true, {K::ExhaustivePq, 0, 0}},
        {"saturating k", max, max, max, 0, max, small, true, {K::ExhaustivePq, max, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ds::select_filtered_candidate_strategy(c.n, c.matches, c.k, c.l, c.r, c.plan, c.preloaded), c.want);
    }
}

TEST(DiskAnnFilteredStrategy, PostFilterKeepsTheFirstBudgetMatches) {
    ds::NodeSet nodes;
    for (uint32_t v : {1u, 3u, 5u, 7u}) nodes.add(v);
    const std::vector<ds::SearchCandidate> cands = {
        {0, 0.1f}, {1, 0.2f}, {2, 0.3f}, {3, 0.4f}, {size_t{1} << 33, 0.45f}, {5, 0.5f}, {7, 0.6f}};
    const auto two = ds::post_filter_graph_candidates(cands, nodes, 2);
    ASSERT_TRUE(two);
    ASSERT_EQ(two->size(), 2u);
    EXPECT_EQ((*two)[0].node, 1u);
    EXPECT_EQ((*two)[1].node, 3u);
    EXPECT_TRUE(ds::post_filter_graph_candidates(cands, nodes, 4));
    EXPECT_FALSE(ds::post_filter_graph_candidates(cands, nodes, 5));
    const auto none = ds::post_filter_graph_candidates(cands, nodes, 0);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
}

TEST(DiskAnnFilteredStrategy, TileSize) {
    struct Case {
        uint64_t m, ksub;
        size_t want;
    };
    const Case cases[] = {{1, 16, 4},    {1024, 16, 4}, {512, 256, 4}, {513, 256, 3}, {682, 256, 3},
                          {683, 256, 2}, {1024, 256, 2}, {2048, 256, 1}, {524289, 1, 1}, {524288, 1, 1},
                          {0, 256, 4},   {~uint64_t{0}, 2, 1}, {uint64_t{1} << 62, 1, 1}};
    for (const Case& c : cases) EXPECT_EQ(ds::filtered_pq_query_tile_size(c.m, c.ksub), c.want) << c.m << " x " << c.ksub;
}

// ---- filtered queries over written files -------------------------------------------------

using Built = tavren::testing::BuiltDiskAnn;

Built build(size_t n, size_t d, uint32_t metric, StorageLayout layout, size_t bits, uint32_t max_degree = 16) {
    return tavren::testing::build_diskann_index(n, d, metric, layout, RawVectorEncoding::F32, bits, n * 31 + d,
                                                max_degree);
}

// The k nearest rows among those whose row ID is in `allowed`.
std::vector<int64_t> filtered_brute_force(const Built& b, uint32_t metric, std::span<const float> q,
                                          const std::set<int64_t>& allowed, size_t k) {
    return tavren::testing::brute_force_ids(b, metric, q, k, [&](int64_t id) { return allowed.count(id) != 0; });
}

std::vector<uint64_t> every_nth_id(const Built& b, size_t step, size_t offset) {
    std::vector<uint64_t> v;
    for (size_t i = offset; i < b.ids.size(); i += step) v.push_back(static_cast<uint64_t>(b.ids[i]));
    return v;
}

TEST(DiskAnnFilteredSearch, ResultsComeOnlyFromTheFilterAndMatchBruteForce) {
    struct Case {
        const char* name;
        uint32_t metric;
        StorageLayout layout;
        size_t bits;
        size_t step;  // every step-th row is admitted
    };
    const Case cases[] = {
        {"l2 compact 1/3", 0, StorageLayout::Compact, 8, 3},
        {"l2 interleaved 1/50", 0, StorageLayout::Interleaved, 8, 50},
        {"ip compact 4-bit 1/2", 1, StorageLayout::Compact, 4, 2},
        {"cosine interleaved 1/7", 2, StorageLayout::Interleaved, 4, 7},
    };
    constexpr size_t kN = 1200, kD = 16, kTopK = 10, kQueries = 20;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Built b = build(kN, kD, c.metric, c.layout, c.bits);
        DiskAnnIndexReader reader = open_file(b.bytes);
        const std::vector<uint64_t> values = every_nth_id(b, c.step, 1);
        const std::set<int64_t> allowed(values.begin(), values.end());
        const std::vector<uint8_t> filter = fbytes(values);
        size_t hits = 0;
        size_t total = 0;
        for (size_t t = 0; t < kQueries; ++t) {
            const size_t row = (t * 53) % kN;
            const std::span<const float> q(b.rows.data() + row * kD, kD);
            std::vector<int64_t> ids;
            std::vector<float> dist;
            reader.search_with_roaring_filter(q, kTopK, 0, filter, ids, dist);
            ASSERT_EQ(ids.size(), kTopK);
            ASSERT_EQ(dist.size(), kTopK);
            for (size_t i = 0; i < kTopK; ++i) {
                EXPECT_TRUE(allowed.count(ids[i])) << ids[i];
                if (i > 0) {
                    EXPECT_LE(dist[i - 1], dist[i]);
                }
            }
            EXPECT_EQ(reader.stats().filtered_exhaustive_queries, 1u);
            EXPECT_EQ(reader.stats().filtered_pq_distances, values.size());
            const auto truth = filtered_brute_force(b, c.metric, q, allowed, kTopK);
            for (int64_t id : ids) hits += std::count(truth.begin(), truth.end(), id);
            total += truth.size();
        }
        EXPECT_GE(static_cast<double>(hits) / static_cast<double>(total), 0.9);
    }
}

TEST(DiskAnnFilteredSearch, FewMatchesArePaddedAndEmptyFiltersReadNothing) {
    const Built b = build(600, 8, 0, StorageLayout::Compact, 8);
    MemorySource::Observer observer;
    DiskAnnIndexReader reader = open_file(b.bytes, uint64_t{1} << 32, &observer);
    const std::span<const float> q(b.rows.data() + 8 * 5, 8);
    std::vector<int64_t> ids;
    std::vector<float> dist;
    // An empty filter before anything is loaded: no host read at all.
    const uint64_t at_open = observer.stats().calls;
    reader.search_with_roaring_filter(q, 5, 0, fbytes({}), ids, dist);
    EXPECT_EQ(ids, std::vector<int64_t>(5, -1));
    EXPECT_EQ(dist, std::vector<float>(5, kMaxDistance));
    EXPECT_EQ(observer.stats().calls, at_open);
    // Three matches, one of them the query's own row.
    const std::vector<uint64_t> three = {1000 + 3 * 5, 1000 + 3 * 100, 1000 + 3 * 400};
    reader.search_with_roaring_filter(q, 5, 0, fbytes(three), ids, dist);
    EXPECT_EQ(ids[0], 1015);
    EXPECT_EQ(dist[0], 0.0f);
    std::vector<int64_t> real(ids.begin(), ids.begin() + 3);
    std::sort(real.begin(), real.end());
    EXPECT_EQ(real, (std::vector<int64_t>{1015, 1300, 2200}));
    EXPECT_EQ(ids[3], -1);
    EXPECT_EQ(ids[4], -1);
    EXPECT_EQ(dist[4], kMaxDistance);
    // Resident data and order loaded: a filter no node carries reads nothing.
    const uint64_t warm = observer.stats().calls;
    for (const std::vector<uint64_t>& none :
         {std::vector<uint64_t>{1, 2, 1001}, std::vector<uint64_t>{uint64_t{1} << 63}, std::vector<uint64_t>{}}) {
        reader.search_with_roaring_filter(q, 5, 0, fbytes(none), ids, dist);
        EXPECT_EQ(ids, std::vector<int64_t>(5, -1));
    }
    EXPECT_EQ(observer.stats().calls, warm);
    // top_k 0: two empty arrays.
    reader.search_with_roaring_filter(q, 0, 0, fbytes(three), ids, dist);
    EXPECT_TRUE(ids.empty());
    EXPECT_TRUE(dist.empty());
}

TEST(DiskAnnFilteredSearch, MalformedFilterBytesFailCleanlyBeforeAnythingChanges) {
    const Built b = build(300, 8, 0, StorageLayout::Compact, 8);
    DiskAnnIndexReader reader = open_file(b.bytes);
    const std::span<const float> q(b.rows.data(), 8);
    std::vector<int64_t> ids;
    std::vector<float> dist;
    const std::vector<uint8_t> good = fbytes({1000, 1003, 5000});
    std::vector<uint8_t> huge_count(8, 0xFF);
    std::vector<uint8_t> truncated(good.begin(), good.end() - 3);
    std::vector<uint8_t> bad_cookie = good;
    bad_cookie[12] ^= 0x55;
    const std::vector<std::vector<uint8_t>> bad = {{}, {1, 2, 3}, huge_count, truncated, bad_cookie,
                                                   {1, 0, 0, 0, 0, 0, 0, 0, 9, 9}};
    reader.search(q, 3, 0, ids, dist);
    const auto before = reader.stats();
    for (const auto& bytes : bad) {
        for (const uint64_t k : {uint64_t{0}, uint64_t{3}}) {
            const auto err = failure_of([&] { reader.search_with_roaring_filter(q, k, 0, bytes, ids, dist); });
            EXPECT_EQ(err.kind, ErrorKind::InvalidInput);
            EXPECT_EQ(err.message.rfind("invalid RoaringTreemap filter: ", 0), 0u) << err.message;
            EXPECT_EQ(reader.stats(), before);
        }
    }
    // Bytes after the last bitmap are ignored.
    std::vector<uint8_t> trailing = good;
    trailing.insert(trailing.end(), {7, 7, 7});
    reader.search_with_roaring_filter(q, 3, 0, trailing, ids, dist);
    EXPECT_EQ(ids[0], 1000);
    // The reader is still usable.
    reader.search_with_roaring_filter(q, 3, 0, good, ids, dist);
    EXPECT_EQ(ids[0], 1000);
}

TEST(DiskAnnFilteredSearch, QueryChecksComeFirst) {
    const Built b = build(100, 8, 0, StorageLayout::Compact, 8);
    DiskAnnIndexReader reader = open_file(b.bytes);
    std::vector<int64_t> ids;
    std::vector<float> dist;
    const std::vector<float> short_q(7, 0.0f);
    EXPECT_EQ(failure_of([&] { reader.search_with_roaring_filter(short_q, 3, 0, {}, ids, dist); }).message,
              "query dimension mismatch: expected 8, got 7");
    std::vector<float> nan_q(8, 0.0f);
    nan_q[2] = std::nanf("");
    EXPECT_EQ(failure_of([&] { reader.search_with_roaring_filter(nan_q, 3, 0, {}, ids, dist); }).message,
              "query values must be finite");
}

// A file whose entry node reaches only a few nodes: the graph keeps fewer
// than the budget, and the all-matching search falls back to the scan.
TEST(DiskAnnFilteredSearch, GraphPathAndItsFallback) {
    const uint64_t n = 1000;
    auto contents = tavren::testing::ring_contents(n, 1);
    for (uint64_t i = 0; i < n; ++i) contents.neighbors[i] = {static_cast<uint32_t>(i < 8 ? (i + 1) % 8 : 8 + (i - 7) % (n - 8))};
    const auto file = tavren::testing::build_diskann_file(contents);
    DiskAnnIndexReader reader = open_file(file.bytes);
    reader.optimize_for_search();
    std::vector<uint64_t> all(n);
    for (uint64_t i = 0; i < n; ++i) all[i] = i;
    const std::vector<uint8_t> filter = fbytes(all);
    std::vector<float> q(contents.vectors.begin() + 500 * 8, contents.vectors.begin() + 501 * 8);
    std::vector<int64_t> ids;
    std::vector<float> dist;
    // R = 1, L = 200: reach 400 <= 500, so the graph runs, keeps 8 < 64 and falls back.
    reader.search_with_roaring_filter(q, 10, 200, filter, ids, dist);
    EXPECT_EQ(reader.stats().filtered_graph_searches, 1u);
    EXPECT_EQ(reader.stats().filtered_graph_fallbacks, 1u);
    EXPECT_EQ(reader.stats().filtered_exhaustive_queries, 1u);
    // The fallback scan is the direct scan's (same budget): same answer.
    const std::vector<int64_t> fallback_ids = ids;
    const std::vector<float> fallback_dist = dist;
    reader.search_with_roaring_filter(q, 10, 100, filter, ids, dist);
    EXPECT_EQ(reader.stats().filtered_graph_searches, 0u);
    EXPECT_EQ(reader.stats().filtered_exhaustive_queries, 1u);
    EXPECT_EQ(ids, fallback_ids);
    EXPECT_EQ(dist, fallback_dist);
}

TEST(DiskAnnFilteredSearch, GraphPathOverALibraryBuiltFile) {
    // R = 8: reach = 200 x 9 = 1800 <= n / 2 for n = 4000.
    constexpr size_t kN = 4000, kD = 8, kTopK = 10;
    const Built b = build(kN, kD, 0, StorageLayout::Compact, 8, 8);
    DiskAnnIndexReader reader = open_file(b.bytes);
    reader.optimize_for_search();
    const std::vector<uint64_t> all = every_nth_id(b, 1, 0);
    const std::set<int64_t> allowed(all.begin(), all.end());
    const std::vector<uint8_t> filter = fbytes(all);
    size_t hits = 0;
    for (size_t t = 0; t < 20; ++t) {
        const std::span<const float> q(b.rows.data() + ((t * 197) % kN) * kD, kD);
        std::vector<int64_t> ids;
        std::vector<float> dist;
        reader.search_with_roaring_filter(q, kTopK, 200, filter, ids, dist);
        EXPECT_EQ(reader.stats().filtered_graph_searches, 1u);
        EXPECT_EQ(reader.stats().filtered_graph_fallbacks, 0u);
        EXPECT_EQ(reader.stats().filtered_exhaustive_queries, 0u);
        const auto truth = filtered_brute_force(b, 0, q, allowed, kTopK);
        for (int64_t id : ids) hits += std::count(truth.begin(), truth.end(), id);
    }
    EXPECT_GE(hits, 20 * kTopK * 9 / 10);
}

TEST(DiskAnnFilteredSearch, FacadeRoutesFilteredQueries) {
    const Built b = build(400, 8, 0, StorageLayout::Compact, 8);
    read_options::VectorIndexReaderOptions o;
    auto reader = index::VectorIndexReader::open_with_options(MemorySource::make(b.bytes, {}, nullptr), o);
    index::VectorSearchParams p;
    p.top_k = 4;
    const std::span<const float> q(b.rows.data() + 8 * 10, 8);
    const auto r = reader.search_with_roaring_filter(q, p, fbytes({1030, 1033}));
    EXPECT_EQ(r.ids, (std::vector<int64_t>{1030, 1033, -1, -1}));
    // Automatic width counts the filter first, with its own message.
    EXPECT_EQ(failure_of([&] { reader.search_with_roaring_filter(q, p, std::vector<uint8_t>{1, 2}); })
                  .message.rfind("invalid serialized RoaringTreemap filter: ", 0),
              0u);
    p.width_type = index::kWidthDiskAnnLSearch;
    p.width = 50;
    EXPECT_EQ(failure_of([&] { reader.search_with_roaring_filter(q, p, std::vector<uint8_t>{1, 2}); })
                  .message.rfind("invalid RoaringTreemap filter: ", 0),
              0u);
}

// ---- filtered batches ------------------------------------------------------------------

struct Answers {
    std::vector<int64_t> ids;
    std::vector<float> distances;
};

// The single filtered search of every query, back to back.
Answers single_answers(DiskAnnIndexReader& reader, const std::vector<float>& queries, size_t d, uint64_t k,
                       uint64_t l, const std::vector<uint8_t>& filter) {
    Answers all;
    std::vector<int64_t> ids;
    std::vector<float> dist;
    for (size_t at = 0; at < queries.size(); at += d) {
        reader.search_with_roaring_filter(std::span<const float>(queries).subspan(at, d), k, l, filter, ids, dist);
        all.ids.insert(all.ids.end(), ids.begin(), ids.end());
        all.distances.insert(all.distances.end(), dist.begin(), dist.end());
    }
    return all;
}

Answers batch_answers(DiskAnnIndexReader& reader, const std::vector<float>& queries, uint64_t k, uint64_t l,
                      const std::vector<uint8_t>& filter) {
    Answers a;
    reader.search_batch_with_roaring_filter(queries, k, l, filter, a.ids, a.distances);
    return a;
}

std::vector<float> perturbed_queries(const Built& b, size_t nq, uint64_t seed) {
    auto rng = rng::StdRng::seed_from_u64(seed);
    const size_t n = b.ids.size();
    std::vector<float> q;
    for (size_t t = 0; t < nq; ++t) {
        const size_t row = (t * 131 + 7) % n;
        for (size_t j = 0; j < b.d; ++j) q.push_back(b.rows[row * b.d + j] + (rng.gen_f32() - 0.5f) * 0.2f);
    }
    return q;
}

void expect_same(const Answers& a, const Answers& b) {
    EXPECT_EQ(a.ids, b.ids);
    ASSERT_EQ(a.distances.size(), b.distances.size());
    for (size_t i = 0; i < a.distances.size(); ++i) {
        EXPECT_EQ(std::bit_cast<uint32_t>(a.distances[i]), std::bit_cast<uint32_t>(b.distances[i])) << i;
    }
}

// Every layout, strategy, thread count and batch size chooses its form by
// the rules and answers exactly as the single filtered search does.
TEST(DiskAnnFilteredBatch, EveryFormEqualsTheSingleSearch) {
    struct FileCase {
        const char* name;
        size_t n;
        uint32_t metric;
        StorageLayout layout;
        size_t bits;
        uint32_t degree;
        size_t step;     // filter: every step-th row
        uint64_t l;      // 200 with step 1 on the R = 8 file: graph path
        bool graph;
    };
    const FileCase files[] = {
        {"l2 compact exhaustive", 1200, 0, StorageLayout::Compact, 8, 16, 3, 0, false},
        {"cosine compact 4-bit exhaustive", 1200, 2, StorageLayout::Compact, 4, 16, 5, 0, false},
        {"l2 interleaved", 1200, 0, StorageLayout::Interleaved, 8, 16, 4, 0, false},
        {"l2 compact graph", 4000, 0, StorageLayout::Compact, 8, 8, 1, 200, true},
        {"l2 interleaved graph", 4000, 0, StorageLayout::Interleaved, 8, 8, 1, 200, true},
    };
    constexpr uint64_t kTopK = 7;
    // A cap only lowers the pool's size: on a machine with fewer processors
    // than the largest cap, the cap of 3 would run on fewer workers than the
    // expectations below count. A pool of exactly 3 makes every cap real.
    pool::set_num_threads_for_testing(3);
    for (const FileCase& f : files) {
        SCOPED_TRACE(f.name);
        const Built b = build(f.n, 8, f.metric, f.layout, f.bits, f.degree);
        const size_t offset = f.graph ? 0 : 2;  // the graph needs every row admitted
        const std::vector<uint8_t> filter = fbytes(every_nth_id(b, f.step, offset));
        DiskAnnIndexReader reader = open_file(b.bytes);
        reader.optimize_for_search();
        for (const size_t threads : {size_t{1}, size_t{2}, size_t{3}}) {
            for (const size_t nq : {size_t{1}, size_t{8}, size_t{9}, size_t{13}}) {
                SCOPED_TRACE("threads " + std::to_string(threads) + " nq " + std::to_string(nq));
                const std::vector<float> queries = perturbed_queries(b, nq, nq * 10 + threads);
                const Answers want = single_answers(reader, queries, 8, kTopK, f.l, filter);
                Answers got;
                pool::run_with_thread_cap(threads, [&] { got = batch_answers(reader, queries, kTopK, f.l, filter); });
                expect_same(got, want);
                const auto& st = reader.stats();
                EXPECT_EQ(st.queries, nq);
                const size_t w = std::min(threads, nq);
                if (f.layout == StorageLayout::Interleaved) {
                    // Sessions (merged per query) or direct serial (merges reset).
                    EXPECT_EQ(st.merged_queries, w >= 2 ? nq : 0u);
                    EXPECT_EQ(st.query_batches, 1u);
                    EXPECT_EQ(reader.batch_workers().size(), w >= 2 ? w : 0u);
                } else if (!f.graph) {
                    EXPECT_EQ(st.filtered_exhaustive_queries, nq);
                    const size_t tile = ds::filtered_pq_query_tile_size(8, f.bits == 8 ? 256 : 16);
                    const uint64_t matches = (f.n - offset + f.step - 1) / f.step;
                    EXPECT_EQ(st.filtered_code_reads, (nq + tile - 1) / tile * matches);
                    EXPECT_EQ(st.filtered_pq_distances, nq * matches);
                } else {
                    EXPECT_EQ(st.filtered_graph_searches, nq);
                    if (w < 2) {
                        EXPECT_EQ(reader.batch_workers().size(), 0u);  // serial
                        EXPECT_EQ(st.merged_queries, 0u);
                    } else if (nq <= 4 * w) {
                        EXPECT_EQ(st.merged_queries, nq);  // sessions
                        EXPECT_EQ(reader.batch_workers().size(), w);
                    } else {
                        EXPECT_EQ(st.merged_queries, 0u);  // chunked
                        EXPECT_EQ(reader.batch_workers().size(), w);
                    }
                }
            }
        }
    }
    pool::set_num_threads_for_testing(0);
}

// The forms called directly over one node set agree with each other.
TEST(DiskAnnFilteredBatch, FormsCalledDirectlyAgree) {
    const Built b = build(1500, 8, 0, StorageLayout::Compact, 8, 16);
    DiskAnnIndexReader reader = open_file(b.bytes);
    const std::vector<uint64_t> values = every_nth_id(b, 2, 0);
    const ds::NodeSet nodes = reader.matching_nodes_for_filter(treemap_of(values));
    const std::vector<float> queries = perturbed_queries(b, 11, 5);
    const Answers want = single_answers(reader, queries, 8, 5, 0, fbytes(values));
    const size_t budget = static_cast<size_t>(reader.filtered_strategy(ds::node_set_size(nodes), 5, 0).budget);
    Answers a;
    reader.search_batch_filtered_exhaustive(queries, 5, nodes, budget, a.ids, a.distances);
    expect_same(a, want);
    reader.search_batch_with_matching_nodes_serial(queries, 5, 0, nodes, a.ids, a.distances);
    expect_same(a, want);
    reader.search_batch_with_matching_nodes_direct_serial(queries, 5, 0, nodes, a.ids, a.distances);
    expect_same(a, want);
    EXPECT_EQ(reader.stats().query_batches, 1u);
    EXPECT_EQ(reader.stats().merged_queries, 0u);
    std::vector<DiskAnnIndexReader> workers = reader.take_batch_workers(3, true);
    reader.search_batch_with_matching_nodes_in_parallel_sessions(queries, 5, 0, nodes, workers, a.ids, a.distances);
    expect_same(a, want);
    reader.search_batch_with_matching_nodes_chunked(queries, 5, 0, nodes, workers, a.ids, a.distances);
    expect_same(a, want);
}

TEST(DiskAnnFilteredBatch, ChunksOf1024Queries) {
    const Built b = build(300, 8, 0, StorageLayout::Compact, 4, 16);
    DiskAnnIndexReader reader = open_file(b.bytes);
    const std::vector<uint8_t> filter = fbytes(every_nth_id(b, 3, 0));
    const std::vector<float> queries = perturbed_queries(b, 2500, 3);
    const Answers want = single_answers(reader, queries, 8, 3, 0, filter);
    const Answers got = batch_answers(reader, queries, 3, 0, filter);
    expect_same(got, want);
    EXPECT_EQ(reader.stats().query_batches, 3u);
    EXPECT_EQ(reader.stats().largest_query_batch, 1024u);
    EXPECT_EQ(reader.stats().filtered_exhaustive_queries, 2500u);
}

TEST(DiskAnnFilteredBatch, EmptyFiltersTopKZeroAndBadBytes) {
    const Built b = build(300, 8, 0, StorageLayout::Compact, 8, 16);
    MemorySource::Observer observer;
    DiskAnnIndexReader reader = open_file(b.bytes, uint64_t{1} << 32, &observer);
    const std::vector<float> queries = perturbed_queries(b, 4, 1);
    const uint64_t at_open = observer.stats().calls;
    Answers a = batch_answers(reader, queries, 3, 0, fbytes({}));
    EXPECT_EQ(a.ids, std::vector<int64_t>(12, -1));
    EXPECT_EQ(a.distances, std::vector<float>(12, kMaxDistance));
    EXPECT_EQ(observer.stats().calls, at_open);
    EXPECT_EQ(reader.stats().queries, 4u);
    a = batch_answers(reader, queries, 0, 0, fbytes({1000}));
    EXPECT_TRUE(a.ids.empty());
    EXPECT_TRUE(a.distances.empty());
    a = batch_answers(reader, queries, 2, 0, fbytes({7, 8}));
    EXPECT_EQ(a.ids, std::vector<int64_t>(8, -1));
    for (const uint64_t k : {uint64_t{0}, uint64_t{2}}) {
        const auto err = failure_of([&] { batch_answers(reader, queries, k, 0, {9, 9, 9}); });
        EXPECT_EQ(err.message.rfind("invalid RoaringTreemap filter: ", 0), 0u) << err.message;
    }
}

TEST(DiskAnnFilteredBatch, FacadeRoutesFilteredBatches) {
    const Built b = build(400, 8, 0, StorageLayout::Compact, 8, 16);
    auto reader = index::VectorIndexReader::open_with_options(MemorySource::make(b.bytes, {}, nullptr), {});
    index::VectorSearchParams p;
    p.top_k = 3;
    const std::vector<float> queries = perturbed_queries(b, 5, 2);
    const auto r = reader.search_batch_with_roaring_filter(queries, 5, p, fbytes({1030, 1033, 1036, 1039}));
    ASSERT_EQ(r.ids.size(), 15u);
    for (const int64_t id : r.ids) EXPECT_TRUE(id == 1030 || id == 1033 || id == 1036 || id == 1039) << id;
}

// A host read failing at any point of a cold filtered search (resident
// sections, row-ID order, raw vectors) fails that search only: the next
// search on the same reader gives the answer of a reader that never failed.
TEST(DiskAnnFilteredSearch, HostFailureAtEveryCallLeavesTheReaderUsable) {
    for (const auto layout : {StorageLayout::Compact, StorageLayout::Interleaved}) {
        const Built b = build(800, 8, 0, layout, 8, 16);
        const std::vector<uint8_t> filter = fbytes(every_nth_id(b, 40, 1));  // 20 values <= n / 16: the order
        const std::vector<float> queries = perturbed_queries(b, 3, 9);
        MemorySource::Observer observer;
        DiskAnnIndexReader good = open_file(b.bytes, uint64_t{1} << 32, &observer);
        const uint64_t at_open = observer.stats().calls;
        const Answers want = batch_answers(good, queries, 5, 0, filter);
        const uint64_t calls = observer.stats().calls - at_open;
        ASSERT_GE(calls, 3u);  // resident sections, order, raw vectors
        for (uint64_t fail = 0; fail < calls; ++fail) {
            SCOPED_TRACE(fail);
            MemorySource::Options options;
            options.fail_on_call = at_open + fail;
            DiskAnnIndexReader reader = open_file(b.bytes, uint64_t{1} << 32, nullptr, options);
            const auto err = failure_of([&] { batch_answers(reader, queries, 5, 0, filter); });
            EXPECT_NE(err.message, "<no error>");
            expect_same(batch_answers(reader, queries, 5, 0, filter), want);
            expect_same(single_answers(reader, queries, 8, 5, 0, filter), want);
        }
    }
}

}  // namespace
