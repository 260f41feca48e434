#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "diskann_limits.hpp"
#include "error.hpp"
#include "expect.hpp"

using namespace tavren;
using diskann::BuildDistance;
using diskann::DiskAnnBuildConfig;
using diskann::RawVectorEncoding;
using diskann::StorageLayout;

namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

using tavren::testing::expect_error;

DiskAnnBuildConfig config(uint64_t r, uint64_t l, float alpha = 1.2f, StorageLayout layout = StorageLayout::Compact,
                          RawVectorEncoding encoding = RawVectorEncoding::F32) {
    DiskAnnBuildConfig c;
    c.max_degree = r;
    c.build_search_list_size = l;
    c.seed = 42;
    c.memory_budget_bytes = 1 << 30;
    c.alpha = alpha;
    c.raw_vector_encoding = encoding;
    c.storage_layout = layout;
    return c;
}

}  // namespace

TEST(DiskAnnFormat, ChecksInOrder) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        uint64_t dim, m, nbits;
        DiskAnnBuildConfig cfg;
        std::string message;  // empty: passes
    };
    const Case cases[] = {
        {0, 0, 0, config(0, 0, 0.0f), "DiskANN dimension must be greater than 0"},
        {1025, 8, 8, config(64, 100), "DiskANN v1 dimension must be at most 1024"},
        {1024, 8, 8, config(64, 100), ""},
        {128, 0, 3, config(64, 100), "DiskANN pq.m must be greater than 0"},
        {128, 129, 8, config(64, 100), "DiskANN pq.m 129 must not exceed dimension 128"},
        {128, 128, 8, config(64, 100), ""},
        {128, 16, 6, config(0, 0), "DiskANN pq.bits must be 4 or 8"},
        {128, 16, 4, config(0, 100), "DiskANN maximum degree must be greater than 0"},
        {128, 16, 8, config(1024, 2000), "DiskANN adjacency list size 4096 exceeds the v1 1023-neighbor page limit"},
        {128, 16, 8, config(1023, 1023), ""},
        {128, 16, 8, config(uint64_t{1} << 63, 1),
         "DiskANN adjacency list size 18446744073709551615 exceeds the v1 1023-neighbor page limit"},
        {128, 16, 8, config(64, 63), "DiskANN build search-list size 63 must be at least maximum degree 64"},
        {128, 16, 8, config(64, 64), ""},
        {128, 16, 8, config(64, uint64_t{1} << 32), "DiskANN build search-list size exceeds u32"},
        {128, 16, 8, config(64, (uint64_t{1} << 32) - 1), ""},
        {128, 16, 8, config(64, 100, 1.0f), ""},
        {128, 16, 8, config(64, 100, 0.999f), "DiskANN alpha must be at least 1 and finite"},
        {128, 16, 8, config(64, 100, inf), "DiskANN alpha must be at least 1 and finite"},
        {128, 16, 8, config(64, 100, nan), "DiskANN alpha must be at least 1 and finite"},
        // Interleaved: raw vector + 4 x R must fit one 4096-byte page.
        {1000, 16, 8, config(24, 100, 1.2f, StorageLayout::Interleaved), ""},
        {1000, 16, 8, config(25, 100, 1.2f, StorageLayout::Interleaved),
         "DiskANN interleaved raw vector and maximum adjacency list must fit in one page"},
        {1000, 16, 8, config(25, 100, 1.2f, StorageLayout::Compact), ""},
        {1000, 16, 8, config(524, 600, 1.2f, StorageLayout::Interleaved, RawVectorEncoding::F16), ""},
        {1000, 16, 8, config(525, 600, 1.2f, StorageLayout::Interleaved, RawVectorEncoding::F16),
         "DiskANN interleaved raw vector and maximum adjacency list must fit in one page"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        if (c.message.empty()) {
            EXPECT_NO_THROW(diskann::validate_diskann_format_configuration(c.dim, c.m, c.nbits, c.cfg));
        } else {
            expect_error([&] { diskann::validate_diskann_format_configuration(c.dim, c.m, c.nbits, c.cfg); },
                         c.message);
        }
    }
}

TEST(DiskAnnPqPlan, WorkedExamples) {
    // dim 128, m 16 (h = 8), ksub 256, 100000 rows, one buffer, 8 threads.
    EXPECT_EQ(diskann::pq_training_peak_bytes(128, 16, 256, 50000, 1, 0), 25731072u);
    EXPECT_EQ(diskann::pq_training_peak_bytes(128, 16, 256, 50000, 1, 1), 25731072u + 20601792u);
    EXPECT_EQ(diskann::pq_training_peak_bytes(128, 16, 256, 50000, 1, 8), 190545408u);
    EXPECT_EQ(diskann::pq_training_plan_with_pool_threads(128, 16, 256, 100000, 67108864, 1, 8),
              (diskann::PqTrainingPlan{50000, 2}));

    EXPECT_EQ(diskann::pq_training_peak_bytes(128, 16, 256, 5107, 1, 1), 8388132u);
    EXPECT_EQ(diskann::pq_training_peak_bytes(128, 16, 256, 5108, 1, 1), 8389744u);
    EXPECT_EQ(diskann::pq_training_plan_with_pool_threads(128, 16, 256, 100000, 8388608, 1, 8),
              (diskann::PqTrainingPlan{5107, 1}));
    // One byte less than the 5107-row peak drops a row.
    EXPECT_EQ(diskann::pq_training_plan_with_pool_threads(128, 16, 256, 100000, 8388131, 1, 8).sample_rows, 5106u);
}

TEST(DiskAnnPqPlan, Bounds) {
    const uint64_t huge = uint64_t{1} << 50;
    // Never more than 50000 rows, never more workers than subspaces or threads.
    EXPECT_EQ(diskann::pq_training_plan_with_pool_threads(128, 16, 256, 10000000, huge, 1, 64),
              (diskann::PqTrainingPlan{50000, 16}));
    EXPECT_EQ(diskann::pq_training_plan_with_pool_threads(128, 16, 256, 10000000, huge, 1, 3),
              (diskann::PqTrainingPlan{50000, 3}));
    EXPECT_EQ(diskann::pq_training_plan_with_pool_threads(128, 16, 256, 10000000, huge, 1, 1).workers, 1u);
    // Fewer rows than codewords: all of them, no search.
    EXPECT_EQ(diskann::pq_training_plan_with_pool_threads(128, 16, 256, 100, huge, 1, 1).sample_rows, 100u);
    // Exactly ksub rows available: r0 = cap, no search.
    EXPECT_EQ(diskann::pq_training_plan_with_pool_threads(128, 16, 256, 256, huge, 1, 1).sample_rows, 256u);
    // Two buffers (cosine) cost more than one at the same budget.
    const auto one = diskann::pq_training_plan_with_pool_threads(128, 16, 256, 100000, 8388608, 1, 1);
    const auto two = diskann::pq_training_plan_with_pool_threads(128, 16, 256, 100000, 8388608, 2, 1);
    EXPECT_LT(two.sample_rows, one.sample_rows);
    // The smallest sample's peak is the threshold: equal fits, one byte less fails.
    const uint64_t min_peak = *diskann::pq_training_peak_bytes(128, 16, 256, 256, 1, 1);
    EXPECT_EQ(diskann::pq_training_plan_with_pool_threads(128, 16, 256, 100000, min_peak, 1, 8),
              (diskann::PqTrainingPlan{256, 1}));
    expect_error([&] { diskann::pq_training_plan_with_pool_threads(128, 16, 256, 100000, min_peak - 1, 1, 8); },
                 fmt::format("{} bytes is below the estimated one-worker PQ training peak", min_peak - 1));
    // Overflowing terms never fit.
    expect_error([&] { diskann::pq_training_plan_with_pool_threads(uint64_t{1} << 62, 1, 256, 10, kU64Max, 1, 1); },
                 "18446744073709551615 bytes is below the estimated one-worker PQ training peak");
    // The pool-sized entry agrees with an explicit thread count on the row count.
    EXPECT_EQ(diskann::pq_training_plan_with_sample_buffers(128, 16, 256, 100000, 8388608, 1).sample_rows, 5107u);
}

TEST(DiskAnnPqPlan, TrainingBudget) {
    expect_error([] { diskann::validate_diskann_training_budget(128, 0, 16, 8, 0); },
                 "DiskANN memory budget cannot fit minimum PQ training: 0 bytes is below the estimated one-worker PQ "
                 "training peak");
    // 256 rows of 128 values with one buffer; cosine needs a second buffer.
    const uint64_t l2_peak = *diskann::pq_training_peak_bytes(128, 16, 256, 256, 1, 1);
    const uint64_t cos_peak = *diskann::pq_training_peak_bytes(128, 16, 256, 256, 2, 1);
    ASSERT_LT(l2_peak, cos_peak);
    EXPECT_NO_THROW(diskann::validate_diskann_training_budget(128, 0, 16, 8, l2_peak));
    EXPECT_NO_THROW(diskann::validate_diskann_training_budget(128, 1, 16, 8, l2_peak));
    expect_error([&] { diskann::validate_diskann_training_budget(128, 2, 16, 8, l2_peak); },
                 fmt::format("DiskANN memory budget cannot fit minimum PQ training: {} bytes is below the estimated "
                             "one-worker PQ training peak",
                             l2_peak));
    EXPECT_NO_THROW(diskann::validate_diskann_training_budget(128, 2, 16, 8, cos_peak));
    // 4-bit codes train on 16 rows.
    EXPECT_NO_THROW(diskann::validate_diskann_training_budget(
        128, 0, 16, 4, *diskann::pq_training_peak_bytes(128, 16, 16, 16, 1, 1)));
}

TEST(VamanaLimits, BuildInputs) {
    struct Case {
        uint64_t len, n, dim, r;
        std::string message;
    };
    const Case cases[] = {
        {0, 0, 0, 0, "Vamana count, dimension, and maximum degree must be greater than zero"},
        // A zero degree fails before the count limits are looked at.
        {0, uint64_t{1} << 32, 4, 0, "Vamana count, dimension, and maximum degree must be greater than zero"},
        {0, uint64_t{1} << 32, 4, 8, "Vamana vector count exceeds u32 node ID limit"},
        {0, 10, 4, 65536, "Vamana maximum degree exceeds u16 adjacency degree limit"},
        {0, 1u << 31, uint64_t{1} << 33, 8, "Vamana vector shape overflows usize"},
        {39, 10, 4, 8, "Vamana vector length 39 does not match 40"},
        {40, 10, 4, 65535, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        if (c.message.empty()) {
            EXPECT_NO_THROW(vamana::validate_build_inputs(c.len, c.n, c.dim, c.r));
        } else {
            expect_error([&] { vamana::validate_build_inputs(c.len, c.n, c.dim, c.r); }, c.message);
        }
    }
}

TEST(VamanaLimits, OnePieceEstimates) {
    // Dense visit states (1025604 bytes per scratch).
    EXPECT_EQ(vamana::estimate_vamana_memory_bytes(1000000, 64, 100, 8),
              (vamana::VamanaMemoryEstimate{274657936, 267250306}));
    // Sparse visit states (107524 bytes); the finish peak is the larger one.
    EXPECT_EQ(vamana::estimate_vamana_memory_bytes(10000000, 64, 100, 8),
              (vamana::VamanaMemoryEstimate{2664125776, 2672500290}));
    // n = 1: dense visit states of 5 bytes, scratch 5 + 4000 + 1280.
    EXPECT_EQ(vamana::estimate_vamana_memory_bytes(1, 64, 100, 1),
              (vamana::VamanaMemoryEstimate{258 + 80 + 8 + 5285 + 98304, 258 + 64 + 9 + 256 + 2}));
    // Zero workers count as one.
    EXPECT_EQ(vamana::estimate_vamana_memory_bytes(1, 64, 100, 0), vamana::estimate_vamana_memory_bytes(1, 64, 100, 1));

    EXPECT_EQ(vamana::estimate_vamana_memory_bytes(10, uint64_t{1} << 57, 1, 1), std::nullopt);
    EXPECT_TRUE(vamana::estimate_vamana_memory_bytes(10, (uint64_t{1} << 57) - 1, 1, 1) == std::nullopt);
    EXPECT_EQ(vamana::estimate_vamana_memory_bytes(uint64_t{1} << 61, 1, 1, 1), std::nullopt);
    EXPECT_EQ(vamana::estimate_vamana_memory_bytes(10, 1, (uint64_t{1} << 61) / 3 + 1, 1), std::nullopt);
    EXPECT_EQ(vamana::estimate_vamana_memory_bytes(10, 64, 100, kU64Max), std::nullopt);
}

TEST(VamanaLimits, ShardedEstimates) {
    EXPECT_EQ(vamana::estimate_sharded_vamana_memory_bytes(1000000, 128, 64, 4, 32), 1014561618u);
    // Two shards keep a capacity of n, not 2n.
    EXPECT_EQ(vamana::estimate_sharded_vamana_memory_bytes(1000, 8, 16, 2, 0), 314928u);
    // The finish peak of a one-piece build is a floor.
    const auto finish = vamana::estimate_vamana_memory_bytes(1000000, 64, 64, 1)->finish_peak;
    EXPECT_GE(*vamana::estimate_sharded_vamana_memory_bytes(1000000, 1, 64, 2, 0), finish);

    EXPECT_EQ(vamana::estimate_sharded_vamana_memory_bytes(0, 8, 16, 2, 0), std::nullopt);
    EXPECT_EQ(vamana::estimate_sharded_vamana_memory_bytes(1000, 8, 16, 1, 0), std::nullopt);
    EXPECT_EQ(vamana::estimate_sharded_vamana_memory_bytes(1000, 8, uint64_t{1} << 61, 2, 0), std::nullopt);
    EXPECT_EQ(vamana::estimate_sharded_vamana_memory_bytes(uint64_t{1} << 60, 8, 16, 2, 0), std::nullopt);
    EXPECT_EQ(vamana::estimate_sharded_vamana_memory_bytes(1000, 8, 16, uint64_t{1} << 56, 0), std::nullopt);
    EXPECT_EQ(vamana::estimate_sharded_vamana_memory_bytes(1000, uint64_t{1} << 62, 16, 2, 0), std::nullopt);
}

TEST(VamanaLimits, BudgetCheck) {
    EXPECT_NO_THROW(vamana::validate_build_memory_budget(1000, 1000));
    expect_error([] { vamana::validate_build_memory_budget(1000, 999); },
                 "Vamana build requires 1000 bytes, exceeding the 999 byte memory budget", ErrorKind::OutOfMemory);
    expect_error([] { vamana::validate_build_memory_budget(std::nullopt, kU64Max); },
                 "Vamana build requires an unrepresentable amount of memory bytes, exceeding the 18446744073709551615 "
                 "byte memory budget",
                 ErrorKind::OutOfMemory);
}

TEST(DiskAnnEstimate, OnePieceBuild) {
    diskann::BuildMemoryInputs in;
    in.vector_count = 1000000;
    in.stored_values = 128000000;
    in.code_bytes_per_vector = 32;
    in.codebook_values = 128 * 256;
    in.m = 32;
    in.ksub = 256;
    in.config = config(64, 100);
    in.workers = 8;
    // max(274657936, 267250306) + 4v + 16n + codes + codebook + 8n + 8 x ceil(n / 16)
    const uint64_t base = 274657936ull + 512000000 + 16000000 + 32000000 + 131072 + 8000000 + 500000;
    EXPECT_EQ(diskann::estimate_build_memory_bytes(in), base);
    in.config.build_distance = BuildDistance::ProductQuantized;
    EXPECT_EQ(diskann::estimate_build_memory_bytes(in), base + 4ull * 32 * 256 * 256);

    auto with = [&](auto change) {
        diskann::BuildMemoryInputs copy = in;
        change(copy);
        return [copy] { diskann::estimate_build_memory_bytes(copy); };
    };
    expect_error(with([](auto& c) { c.code_bytes_per_vector = kU64Max; }),
                 "DiskANN PQ codes byte size overflows usize");
    expect_error(with([](auto& c) { c.codebook_values = uint64_t{1} << 62; }),
                 "DiskANN PQ codebook byte size overflows usize");
    expect_error(with([](auto& c) { c.ksub = uint64_t{1} << 31; }), "DiskANN PQ build-distance table size overflows");
    expect_error(with([](auto& c) { c.config.max_degree = uint64_t{1} << 57; }),
                 "DiskANN Vamana memory estimate overflows usize");
    expect_error(with([](auto& c) { c.stored_values = uint64_t{1} << 62; }),
                 "DiskANN memory estimate overflows usize");
}

TEST(DiskAnnEstimate, Helpers) {
    EXPECT_EQ(diskann::checked_bytes("PQ codes", 10, 32), 320u);
    expect_error([] { diskann::checked_bytes("raw vectors", kU64Max, 2); },
                 "DiskANN raw vectors byte size overflows usize");
    EXPECT_EQ(diskann::pq_code_bytes(32, 8), 32u);
    EXPECT_EQ(diskann::pq_code_bytes(33, 4), 17u);
    const DiskAnnBuildConfig c = diskann::coarse_assignment_build_config();
    EXPECT_EQ(c.max_degree, 12u);
    EXPECT_EQ(c.build_search_list_size, 15u);
    EXPECT_EQ(c.seed, 42u);
    EXPECT_EQ(c.memory_budget_bytes, 1073741824u);
    EXPECT_EQ(c.alpha, 1.2f);
    EXPECT_EQ(c.raw_vector_encoding, RawVectorEncoding::F32);
    EXPECT_EQ(c.storage_layout, StorageLayout::Compact);
    EXPECT_EQ(c.build_distance, BuildDistance::FullPrecision);
}
