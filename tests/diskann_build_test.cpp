// DiskANN build and writer: the file a trained and filled index produces,
// re-decoded with the format codecs; the budget plan; input checks; the
// writer's position checks and pass-through of host failures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <string>
#include <vector>

#include "diskann.hpp"
#include "diskann_format.hpp"
#include "diskann_writer.hpp"
#include "expect.hpp"
#include "guards.hpp"
#include "memory_sink.hpp"
#include "pool.hpp"
#include "rng.hpp"

using namespace tavren;
using namespace tavren::diskann;
namespace fmtd = tavren::diskann_format;
using tavren::testing::expect_error;
using tavren::testing::MemorySink;
using tavren::testing::PoolGuard;

namespace {

// A pool wide enough that the one-piece build's per-worker scratch makes the
// sharded build the cheaper one on small inputs.
constexpr size_t kWidePool = 64;

DiskAnnBuildConfig small_config() {
    DiskAnnBuildConfig c;
    c.max_degree = 8;
    c.build_search_list_size = 16;
    c.seed = 7;
    c.memory_budget_bytes = uint64_t{1} << 30;
    c.alpha = 1.2f;
    return c;
}

std::vector<float> random_rows(size_t n, size_t d, uint64_t seed, float scale = 1.0f) {
    auto rng = rng::StdRng::seed_from_u64(seed);
    std::vector<float> v(n * d);
    for (float& x : v) x = (rng.gen_f32() - 0.5f) * scale;
    return v;
}

DiskAnnIndex trained_index(size_t n, size_t d, uint32_t metric, size_t m, size_t bits, const DiskAnnBuildConfig& c,
                           const std::vector<float>& data) {
    DiskAnnIndex index(d, metric, m, bits, c);
    kmeans::KMeansConfig km;
    km.max_iter = 5;
    index.train_with_config(data, n, km);
    std::vector<int64_t> ids(n);
    for (size_t i = 0; i < n; ++i) ids[i] = static_cast<int64_t>(1000 + 3 * i);
    index.add(data, ids);
    return index;
}

// The smallest budget under which `index` builds sharded: the fixed part of
// its estimate plus the cheapest sharded graph build (independent of the
// pool size, like the fixed part).
uint64_t cheapest_sharded_budget(const DiskAnnIndex& index) {
    const uint64_t n = index.row_ids().size();
    const auto& c = index.config();
    const uint64_t threads = pool::current_num_threads();
    const uint64_t estimate = index.estimate_build_memory_bytes(threads);
    const auto one = vamana::estimate_vamana_memory_bytes(n, c.max_degree, c.build_search_list_size, threads);
    const uint64_t fixed = estimate - std::max(one->parallel_peak, one->finish_peak);
    uint64_t best = std::numeric_limits<uint64_t>::max();
    for (uint64_t s = 2; s <= std::min<uint64_t>(n / 2, 64); ++s) {
        const auto sharded = index.sharded_graph_estimate(s, threads);
        if (sharded) best = std::min(best, fixed + *sharded);
    }
    return best;
}

std::span<const uint8_t> section(const std::vector<uint8_t>& file, const fmtd::DiskAnnHeader& h, size_t s) {
    return std::span<const uint8_t>(file).subspan(h.sections[s].offset, h.sections[s].length);
}

// Re-decodes the file and checks it against the index.
void check_file(const DiskAnnIndex& index, const std::vector<uint8_t>& file) {
    const auto h = fmtd::DiskAnnHeader::decode(file);
    ASSERT_EQ(h.file_length, file.size());
    const uint64_t n = index.row_ids().size();
    ASSERT_EQ(h.vector_count, n);
    const auto s1 = section(file, h, 1);
    const auto rows = fmtd::decode_row_id_section_owned(std::vector<uint8_t>(s1.begin(), s1.end()), n);
    const auto ai = fmtd::decode_adjacency_index(section(file, h, 4), h);
    // Recover each node's original row from its row ID (IDs are distinct here).
    std::vector<uint32_t> order(n);
    for (uint64_t k = 0; k < n; ++k) {
        const int64_t id = *rows.get(k);
        order[k] = static_cast<uint32_t>((id - 1000) / 3);
        ASSERT_EQ(index.row_ids()[order[k]], id);
    }
    std::vector<uint8_t> codes(n * index.pq().code_size());
    index.pq().encode_batch(index.vectors(), n, codes);
    const size_t cb = index.pq().code_size();
    const auto s2 = section(file, h, 2);
    for (uint64_t k = 0; k < n; ++k) {
        ASSERT_EQ(0, std::memcmp(s2.data() + k * cb, codes.data() + size_t{order[k]} * cb, cb)) << k;
    }
    EXPECT_EQ(h.entry_node, 0u);
    const auto pages = section(file, h, 5);
    std::vector<std::vector<uint32_t>> lists(n);
    for (uint64_t k = 0; k < n; ++k) {
        const auto loc = *ai.locator(k);
        const auto at = pages.subspan(loc.position());
        fmtd::decode_adjacency_list(at, loc.degree(), loc.raw(), lists[k]);
        for (uint32_t c : lists[k]) ASSERT_LT(c, n);
    }
    std::vector<uint8_t> seen(n, 0);
    std::deque<uint32_t> q{0};
    seen[0] = 1;
    uint64_t reached = 0;
    while (!q.empty()) {
        const uint32_t p = q.front();
        q.pop_front();
        ++reached;
        for (uint32_t c : lists[p]) {
            if (!seen[c]) seen[c] = 1, q.push_back(c);
        }
    }
    EXPECT_EQ(reached, n);
}

std::vector<uint8_t> write(const DiskAnnIndex& index) {
    MemorySink sink;
    write_diskann_index_with_stats(index, sink);
    return sink.bytes();
}

// Reports a fixed position whatever was written.
class StuckSink final : public io::SeekWrite {
public:
    explicit StuckSink(uint64_t at) : at_(at) {}
    void write_all(std::span<const uint8_t> bytes) override { calls.push_back(bytes.size()); }
    uint64_t pos() override { return at_; }
    std::vector<size_t> calls;

private:
    uint64_t at_;
};

}  // namespace

TEST(DiskAnnBuild, EveryMetricEncodingLayoutAndCodeWidthBuildsAndDecodes) {
    const size_t n = 64, d = 8;
    const auto data = random_rows(n, d, 3);
    constexpr size_t kShardedRows = 1000;
    const auto sharded_data = random_rows(kShardedRows, d, 4);
    for (uint32_t metric : {0u, 1u, 2u}) {
        for (auto enc : {RawVectorEncoding::F32, RawVectorEncoding::F16}) {
            for (auto layout : {StorageLayout::Compact, StorageLayout::Interleaved}) {
                for (size_t bits : {4u, 8u}) {
                    for (auto dist : {BuildDistance::FullPrecision, BuildDistance::ProductQuantized}) {
                        SCOPED_TRACE(::testing::Message() << metric << " " << int(enc) << " " << int(layout) << " "
                                                          << bits << " " << int(dist));
                        auto c = small_config();
                        c.raw_vector_encoding = enc;
                        c.storage_layout = layout;
                        c.build_distance = dist;
                        const auto index = trained_index(n, d, metric, 4, bits, c, data);
                        check_file(index, write(index));
                    }
                    // Sharded under a budget that only a sharded build fits
                    // (with many workers the one-piece build's per-worker
                    // visit states outweigh the shards).
                    SCOPED_TRACE(::testing::Message() << "sharded " << metric << " " << int(enc) << " "
                                                      << int(layout) << " " << bits);
                    PoolGuard wide(kWidePool);
                    auto c = small_config();
                    c.max_degree = 32;
                    c.build_search_list_size = 64;
                    c.raw_vector_encoding = enc;
                    c.storage_layout = layout;
                    const auto roomy = trained_index(kShardedRows, d, metric, 4, bits, c, sharded_data);
                    c.memory_budget_bytes = cheapest_sharded_budget(roomy);
                    ASSERT_LT(c.memory_budget_bytes, roomy.estimate_build_memory_bytes(kWidePool));
                    const auto tight = trained_index(kShardedRows, d, metric, 4, bits, c, sharded_data);
                    MemorySink sink;
                    const auto stats = write_diskann_index_with_stats(tight, sink);
                    EXPECT_GT(stats.shard_count, 1u);
                    check_file(tight, sink.bytes());
                }
            }
        }
    }
}

TEST(DiskAnnBuild, WriteSequenceAndPoolSizeIndependence) {
    const size_t n = 600, d = 16;
    const auto data = random_rows(n, d, 5);
    const auto index = trained_index(n, d, 0, 8, 8, small_config(), data);
    MemorySink sink;
    const auto stats = write_diskann_index_with_stats(index, sink);
    EXPECT_EQ(stats.shard_count, 1u);
    check_file(index, sink.bytes());
    const auto h = fmtd::DiskAnnHeader::decode(sink.bytes());
    ASSERT_GE(sink.calls().size(), 4u);
    EXPECT_EQ(sink.calls()[0], 256u);
    EXPECT_EQ(sink.calls()[1], 3840u);
    EXPECT_EQ(sink.calls()[2], h.sections[4].offset + h.sections[4].length - 4096);

    std::vector<uint8_t> capped;
    pool::run_with_thread_cap(1, [&] { capped = write(index); });
    EXPECT_EQ(capped, sink.bytes());
}

TEST(DiskAnnBuild, OneVector) {
    const auto data = random_rows(1, 4, 9);
    const auto index = trained_index(1, 4, 0, 2, 4, small_config(), data);
    const auto file = write(index);
    check_file(index, file);
}

TEST(DiskAnnBuild, InputChecks) {
    const size_t n = 32, d = 4;
    auto c = small_config();
    c.raw_vector_encoding = RawVectorEncoding::F16;
    auto data = random_rows(n, d, 11);
    auto index = trained_index(n, d, 0, 2, 8, c, data);
    index.vectors()[5] = 65519.0f;
    EXPECT_NO_THROW(index.validate_for_write());
    index.vectors()[6] = -65520.0f;
    expect_error([&] { index.validate_for_write(); }, "DiskANN vector data at offset 6 is outside the finite f16 range");
    index.vectors()[3] = std::numeric_limits<float>::quiet_NaN();
    expect_error([&] { index.validate_for_write(); },
                 "DiskANN vector data contains a non-finite value at offset 3");
    DiskAnnIndex empty(d, 0, 2, 8, small_config());
    empty.pq() = index.pq();
    expect_error([&] { empty.validate_for_write(); }, "DiskANN vector count must be between 1 and u32::MAX");
    expect_error([&] { empty.train_with_config({}, 0, {}); }, "DiskANN training vector count must be greater than zero");
    expect_error([&] { empty.train_with_config(data, 3, {}); },
                 "DiskANN training data length 128 does not match n * dimension 12");
}

TEST(DiskAnnBuild, BudgetPlan) {
    const size_t d = 4, n = 20000;
    const auto data = random_rows(n, d, 13);
    const auto trained = trained_index(200, d, 0, 2, 8, small_config(), std::vector<float>(data.begin(), data.begin() + 200 * d));
    // An index of `rows` rows with the trained quantizer, degree 64 and list
    // size 128 (the graph dominates the estimate), under `budget`.
    auto rebudget = [&](size_t rows, uint64_t budget) {
        auto c = small_config();
        c.max_degree = 64;
        c.build_search_list_size = 128;
        c.memory_budget_bytes = budget;
        DiskAnnIndex idx(d, 0, 2, 8, c);
        idx.pq() = trained.pq();
        std::vector<int64_t> ids(rows);
        for (size_t i = 0; i < rows; ++i) ids[i] = static_cast<int64_t>(i);
        idx.add(std::span<const float>(data).first(rows * d), ids);
        return idx;
    };
    const uint64_t estimate = rebudget(n, 0).estimate_build_memory_bytes(64);
    EXPECT_EQ(rebudget(n, estimate).plan_graph_build(64).shard_count, 1u);
    // One byte less looks for the smallest shard count that fits.
    const auto one = vamana::estimate_vamana_memory_bytes(n, 64, 128, 64);
    const uint64_t fixed = estimate - std::max(one->parallel_peak, one->finish_peak);
    // The cheapest shard count; a budget of exactly its total picks the first
    // count that fits it.
    uint64_t best = std::numeric_limits<uint64_t>::max(), best_s = 0;
    for (uint64_t s = 2; s <= 64; ++s) {
        const uint64_t total = fixed + *vamana::estimate_sharded_vamana_memory_bytes(n, d, 64, s, 0);
        if (total < best) best = total, best_s = s;
    }
    ASSERT_LT(best, estimate);
    EXPECT_EQ(rebudget(n, best).plan_graph_build(64).shard_count, best_s);
    EXPECT_GT(rebudget(n, estimate - 1).plan_graph_build(64).shard_count, 1u);
    expect_error([&] { (void)rebudget(n, best - 1).plan_graph_build(64); },
                 fmt::format("DiskANN estimated build memory {} exceeds memory budget {}; overlapping sharded build "
                             "also cannot fit",
                             estimate, best - 1));
    const auto three = rebudget(3, 0);
    const uint64_t e3 = three.estimate_build_memory_bytes(1);
    expect_error([&] { (void)rebudget(3, e3 - 1).plan_graph_build(1); },
                 fmt::format("DiskANN estimated build memory {} exceeds memory budget {}; overlapping sharded build "
                             "also cannot fit",
                             e3, e3 - 1));
}

TEST(DiskAnnWriter, PositionChecksAndHostFailure) {
    const size_t n = 300, d = 8;
    const auto data = random_rows(n, d, 17);
    const auto index = trained_index(n, d, 0, 4, 8, small_config(), data);

    MemorySink offset({.start_position = 100, .keep_bytes = true, .fail_on_call = std::nullopt});
    expect_error([&] { write_diskann_index_with_stats(index, offset); }, "DiskANN output must start at offset zero");
    EXPECT_TRUE(offset.calls().empty());

    // A position stuck at 0 is caught at the first zero fill, after the header only.
    StuckSink stuck(0);
    expect_error([&] { write_diskann_index_with_stats(index, stuck); }, "DiskANN writer ended at 0, expected 256");
    EXPECT_EQ(stuck.calls, std::vector<size_t>{256});

    // A position ahead of the writes: the first zero fill refuses to go back.
    StuckSink ahead(5000);
    expect_error([&] { write_diskann_index_with_stats(index, ahead); }, "DiskANN output must start at offset zero");
    EXPECT_TRUE(ahead.calls.empty());

    MemorySink ok;
    write_diskann_index_with_stats(index, ok);
    const auto h = fmtd::DiskAnnHeader::decode(ok.bytes());
    size_t call = 0;
    for (uint64_t at = 0; at < h.sections[5].offset; ++call) at += ok.calls()[call];
    MemorySink failing({.start_position = 0, .keep_bytes = true, .fail_on_call = call});
    expect_error([&] { write_diskann_index_with_stats(index, failing); }, "memory sink write failed", ErrorKind::Other);
    EXPECT_EQ(failing.bytes_accepted(), h.sections[5].offset);
}

TEST(DiskAnnBuild, TightBudgetBuildsShardedAndPoolIndependent) {
    // PQ-guided shards are parallel builds with a scratch per worker, so
    // they pay off later than sequential ones: 10,000 rows at degree 64.
    const size_t n = 10000, d = 4;
    const auto data = random_rows(n, d, 17);
    PoolGuard wide(kWidePool);
    for (auto dist : {BuildDistance::FullPrecision, BuildDistance::ProductQuantized}) {
        SCOPED_TRACE(int(dist));
        auto c = small_config();
        c.max_degree = 64;
        c.build_search_list_size = 128;
        c.build_distance = dist;
        const auto roomy = trained_index(n, d, 0, 2, 8, c, data);
        MemorySink one_piece;
        EXPECT_EQ(write_diskann_index_with_stats(roomy, one_piece).shard_count, 1u);
        c.memory_budget_bytes = cheapest_sharded_budget(roomy);
        ASSERT_LT(c.memory_budget_bytes, roomy.estimate_build_memory_bytes(kWidePool));
        const auto tight = trained_index(n, d, 0, 2, 8, c, data);
        MemorySink sink;
        const auto stats = write_diskann_index_with_stats(tight, sink);
        EXPECT_GT(stats.shard_count, 1u);
        EXPECT_EQ(stats.shard_count, tight.plan_graph_build(kWidePool).shard_count);
        check_file(tight, sink.bytes());
        // The sharded graph does not depend on the pool size either, as long
        // as the plan is the same (the PQ-guided plan counts a scratch per
        // worker, so near the threshold its shard count may change).
        std::vector<uint8_t> capped;
        uint64_t capped_shards = 0;
        pool::run_with_thread_cap(kWidePool - 1, [&] {
            capped_shards = tight.plan_graph_build(pool::current_num_threads()).shard_count;
            if (capped_shards == stats.shard_count) capped = write(tight);
        });
        if (dist == BuildDistance::FullPrecision) {
            EXPECT_EQ(capped_shards, stats.shard_count);
        }
        if (capped_shards == stats.shard_count) {
            EXPECT_EQ(capped, sink.bytes());
        }
        if (dist == BuildDistance::FullPrecision) {
            // Room left over for more shards at once: as many as it holds,
            // at most the pool size.
            auto roomier = c;
            const auto each = vamana::estimate_concurrent_shard_bytes(n, d, 64, 128, stats.shard_count);
            // Still below the one-piece estimate.
            roomier.memory_budget_bytes = std::min(roomier.memory_budget_bytes + 3 * *each,
                                                   roomy.estimate_build_memory_bytes(kWidePool) - 1);
            const auto idx = trained_index(n, d, 0, 2, 8, roomier, data);
            const auto plan = idx.plan_graph_build(kWidePool);
            ASSERT_GT(plan.shard_count, 1u);
            const uint64_t fixed = idx.estimate_build_memory_bytes(kWidePool) -
                                   vamana::estimate_vamana_memory_bytes(n, 64, 128, kWidePool)->parallel_peak;
            const uint64_t total = fixed + *idx.sharded_graph_estimate(plan.shard_count, kWidePool);
            const uint64_t each_then =
                *vamana::estimate_concurrent_shard_bytes(n, d, 64, 128, plan.shard_count);
            EXPECT_EQ(plan.concurrent_shards, std::min<uint64_t>(kWidePool, 1 + (roomier.memory_budget_bytes - total) / each_then));
            if (roomier.memory_budget_bytes - total >= each_then) {
                EXPECT_GE(plan.concurrent_shards, 2u);
            }
            MemorySink roomy_sink;
            EXPECT_EQ(write_diskann_index_with_stats(idx, roomy_sink).shard_count, plan.shard_count);
            check_file(idx, roomy_sink.bytes());
        }
        // A budget that fits no shard count.
        c.memory_budget_bytes -= 1;
        const auto over = trained_index(n, d, 0, 2, 8, c, data);
        expect_error([&] { (void)write(over); },
                     fmt::format("DiskANN estimated build memory {} exceeds memory budget {}; overlapping sharded "
                                 "build also cannot fit",
                                 over.estimate_build_memory_bytes(pool::current_num_threads()),
                                 c.memory_budget_bytes));
    }
}
