#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

#include "autotune.hpp"
#include "error.hpp"
#include "expect.hpp"

using namespace tavren;
using index::DeploymentProfile;
using index::DiskAnnBuildPreset;

namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

using tavren::testing::expect_error;

}  // namespace

TEST(Autotune, Nlist) {
    struct Case {
        uint64_t n, nlist;
    };
    const Case cases[] = {
        {1, 1},          {100, 1},  // below 128 vectors the cap is 1
        {127, 1},        {128, 2},      {1000, 8},  // candidate 32, cap 8
        {9216, 64},                                  // sqrt 96: exactly between 64 and 128, the lower wins
        {9217, 128},     {1000000, 1024}, {100000000, 8192},
        {kU64Max, 4294967296},  // sqrt just below 2^32 rounds to 2^32 in f64
    };
    for (const Case& c : cases) {
        EXPECT_EQ(autotune::infer_ivf_nlist(c.n), c.nlist) << c.n;
    }
    expect_error([] { autotune::infer_ivf_nlist(0); },
                 "expected vector count must be greater than 0 for automatic nlist");
}

TEST(Autotune, Nprobe) {
    struct Case {
        uint64_t nlist, n, top_k;
        std::optional<uint64_t> filter, factor;
        uint64_t nprobe;
    };
    const Case cases[] = {
        {1024, 1000000, 10, std::nullopt, std::nullopt, 64},
        {1024, 1000000, 10, 10000, std::nullopt, 1024},
        {1024, 1000000, 10, 10000, 4, 256},
        {1024, 1000000, 10, 0, std::nullopt, 1},        // empty filter: nothing can match
        {1024, 1000000, 10, 0, 4, 1},
        {1024, 1000000, 10, 5000000, std::nullopt, 64},  // cardinality above n counts as n
        {1024, 1000000, 10, 1000000, 2, 64},
        {1024, 1000000, 10, 500000, std::nullopt, 128},
        {1024, 1000000, 10, 500000, 1, 64},              // factor 1 keeps the base
        {1024, 1000000, 10, 10000, kU64Max, 1024},      // base x factor overflows: no cap
        {100, 1000, 100, std::nullopt, std::nullopt, 40},
        {4, 1000, 10, std::nullopt, std::nullopt, 4},    // never above nlist
        {1, 1, 1, 1, std::nullopt, 1},
        // 128-bit product: base x n does not fit 64 bits.
        {uint64_t{1} << 40, kU64Max, 1, 3, std::nullopt, uint64_t{1} << 40},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(autotune::infer_ivf_nprobe_with_filter_expansion_cap(c.nlist, c.n, c.top_k, c.filter, c.factor),
                  c.nprobe)
            << c.nlist << " " << c.n << " " << c.top_k;
    }
    expect_error([] { autotune::infer_ivf_nprobe_with_filter_expansion_cap(0, 0, 0, std::nullopt, std::nullopt); },
                 "nlist must be greater than 0");
    expect_error([] { autotune::infer_ivf_nprobe_with_filter_expansion_cap(8, 0, 0, std::nullopt, std::nullopt); },
                 "vector count must be greater than 0");
    expect_error([] { autotune::infer_ivf_nprobe_with_filter_expansion_cap(8, 8, 0, std::nullopt, std::nullopt); },
                 "top_k must be greater than 0");
    expect_error(
        [] { autotune::infer_ivf_nprobe_with_filter_expansion_cap(8, 8, uint64_t{1} << 62, std::nullopt, std::nullopt); },
        "automatic nprobe candidate count overflows usize");
    EXPECT_EQ(autotune::infer_ivf_nprobe_with_filter_expansion_cap(8, 8, (uint64_t{1} << 62) - 1, std::nullopt,
                                                                   std::nullopt),
              8u);
    // A zero factor fails with or without a filter.
    expect_error([] { autotune::infer_ivf_nprobe_with_filter_expansion_cap(8, 8, 1, std::nullopt, 0); },
                 "maximum initial filter expansion factor must be greater than 0");
    expect_error([] { autotune::infer_ivf_nprobe_with_filter_expansion_cap(8, 8, 1, 0, 0); },
                 "maximum initial filter expansion factor must be greater than 0");
}

TEST(Autotune, RqBits) {
    struct Case {
        uint64_t d, budget, bits;
    };
    const Case cases[] = {
        {128, 148, 8}, {128, 147, 7}, {128, 90, 4}, {128, 52, 2}, {128, 51, 1}, {128, 24, 1},
        {100, 34 - 10, 1},  // d = 100 pads to 128
        {1, 28, 1},         // d = 1 pads to 64: 2 bits need 16 + 20 = 36, 1 bit needs 8 + 8
    };
    for (const Case& c : cases) {
        EXPECT_EQ(autotune::infer_rq_bits(c.d, c.budget), c.bits) << c.d << " " << c.budget;
    }
    EXPECT_EQ(autotune::infer_rq_bits(1, 84), 8u);
    EXPECT_EQ(autotune::infer_rq_bits(1, 83), 7u);
    expect_error([] { autotune::infer_rq_bits(128, 23); }, "max bytes per vector 23 cannot fit one-bit RQ codes and factors");
    expect_error([] { autotune::infer_rq_bits(0, 1000); }, "dimension must be greater than 0");
    expect_error([] { autotune::infer_rq_bits(kU64Max, kU64Max); }, "RQ row byte estimate overflows usize");
}

TEST(Autotune, DiskAnnPresets) {
    struct Case {
        DiskAnnBuildPreset preset;
        uint64_t d;
        DeploymentProfile profile;
        uint64_t degree, list_size;
        float alpha;
        diskann::RawVectorEncoding encoding;
        diskann::BuildDistance distance;
        diskann::StorageLayout layout;
    };
    using diskann::BuildDistance;
    using diskann::RawVectorEncoding;
    using diskann::StorageLayout;
    const Case cases[] = {
        {DiskAnnBuildPreset::FastBuild, 128, DeploymentProfile::Memory, 48, 64, 1.15f, RawVectorEncoding::F16,
         BuildDistance::ProductQuantized, StorageLayout::Interleaved},
        // 2048 + 256 = 2304 bytes per node: one page.
        {DiskAnnBuildPreset::Balanced, 1024, DeploymentProfile::Memory, 64, 100, 1.2f, RawVectorEncoding::F16,
         BuildDistance::ProductQuantized, StorageLayout::Interleaved},
        {DiskAnnBuildPreset::Balanced, 1024, DeploymentProfile::LocalStorage, 64, 100, 1.2f, RawVectorEncoding::F16,
         BuildDistance::ProductQuantized, StorageLayout::Interleaved},
        // 4096 + 256 = 4352 bytes: compact.
        {DiskAnnBuildPreset::Balanced, 2048, DeploymentProfile::Memory, 64, 100, 1.2f, RawVectorEncoding::F16,
         BuildDistance::ProductQuantized, StorageLayout::Compact},
        {DiskAnnBuildPreset::Balanced, 16, DeploymentProfile::Auto, 64, 100, 1.2f, RawVectorEncoding::F16,
         BuildDistance::ProductQuantized, StorageLayout::Compact},
        {DiskAnnBuildPreset::Balanced, 16, DeploymentProfile::RemoteStorage, 64, 100, 1.2f, RawVectorEncoding::F16,
         BuildDistance::ProductQuantized, StorageLayout::Compact},
        {DiskAnnBuildPreset::Balanced, 16, DeploymentProfile::ObjectStore, 64, 100, 1.2f, RawVectorEncoding::F16,
         BuildDistance::ProductQuantized, StorageLayout::Compact},
        // 4 x 928 + 384 = 4096 exactly fits; 929 does not.
        {DiskAnnBuildPreset::HighRecall, 928, DeploymentProfile::LocalStorage, 96, 200, 1.2f, RawVectorEncoding::F32,
         BuildDistance::FullPrecision, StorageLayout::Interleaved},
        {DiskAnnBuildPreset::HighRecall, 929, DeploymentProfile::LocalStorage, 96, 200, 1.2f, RawVectorEncoding::F32,
         BuildDistance::FullPrecision, StorageLayout::Compact},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.d);
        const auto cfg = autotune::diskann_build_preset(c.preset, c.d, c.profile, 12345, 77);
        EXPECT_EQ(cfg.max_degree, c.degree);
        EXPECT_EQ(cfg.build_search_list_size, c.list_size);
        EXPECT_EQ(cfg.alpha, c.alpha);
        EXPECT_EQ(cfg.raw_vector_encoding, c.encoding);
        EXPECT_EQ(cfg.build_distance, c.distance);
        EXPECT_EQ(cfg.storage_layout, c.layout);
        EXPECT_EQ(cfg.seed, 77u);
        EXPECT_EQ(cfg.memory_budget_bytes, 12345u);
    }
    expect_error([] { autotune::diskann_build_preset(DiskAnnBuildPreset::Balanced, 0, DeploymentProfile::Auto, 0, 1); },
                 "dimension must be greater than 0");
    expect_error([] { autotune::diskann_build_preset(DiskAnnBuildPreset::Balanced, 8, DeploymentProfile::Auto, 0, 1); },
                 "DiskANN memory budget must be greater than 0");
    expect_error(
        [] { autotune::diskann_build_preset(DiskAnnBuildPreset::HighRecall, kU64Max / 2, DeploymentProfile::Auto, 1, 1); },
        "DiskANN interleaved row size overflows usize");
}

TEST(Autotune, TrainingVectorCount) {
    EXPECT_EQ(autotune::default_training_vector_count(1), 65536u);
    EXPECT_EQ(autotune::default_training_vector_count(1024), 65536u);
    EXPECT_EQ(autotune::default_training_vector_count(1025), 65600u);
    EXPECT_EQ(autotune::default_training_vector_count((uint64_t{1} << 58) - 1), ((uint64_t{1} << 58) - 1) * 64);
    expect_error([] { autotune::default_training_vector_count(0); }, "nlist must be greater than 0");
    expect_error([] { autotune::default_training_vector_count(uint64_t{1} << 58); },
                 "automatic training vector count overflows usize");
}

TEST(Autotune, PqMChoice) {
    struct Case {
        uint64_t d, bits;
        double ratio;
        uint64_t nearest, rounded;
    };
    const Case cases[] = {
        {128, 8, 0.0625, 32, 32},
        {100, 8, 0.0625, 25, 25},
        {8, 8, 0.09375, 4, 3},          // t = 3 lies between the divisors 2 and 4: the larger wins
        {128, 4, 0.125, 128, 128},
        {128, 4, 0.0625, 64, 64},
        {97, 8, 0.0625, 1, 24},         // t = 24.25; a prime: 1 (error 23.25) beats 97 (72.75)
        {12, 8, 0.25, 12, 12},
        {1, 8, 0.0001, 1, 1},           // never below 1
        {10, 8, 0.0875, 5, 4},          // t = 3.5: 2 and 5 tie, the larger wins; 3.5 rounds away from zero
        {96, 8, 40.0 / 384.0, 48, 40},  // t = 40: 32 and 48 tie, the larger wins
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.d);
        EXPECT_EQ(autotune::infer_uniform_pq_m(c.d, c.bits, c.ratio), c.nearest);
        EXPECT_EQ(autotune::infer_rounded_pq_m(c.d, c.bits, c.ratio), c.rounded);
    }
    for (auto fn : {autotune::infer_uniform_pq_m, autotune::infer_rounded_pq_m}) {
        expect_error([&] { fn(0, 8, 0.0625); }, "dimension must be greater than 0");
        expect_error([&] { fn(8, 6, 0.0625); }, "pq.bits must be 4 or 8, got 6");
        expect_error([&] { fn(8, 4, 0.25); }, "pq.code-ratio must be finite and in (0, 0.125] for 4-bit PQ");
    }
}

TEST(Autotune, PqMWithinBudget) {
    // d = 96 with 40 code bytes: 32 and 48 are equally near 40, but only 32 fits.
    EXPECT_EQ(autotune::infer_uniform_pq_m_within_budget(96, 8, 40), 32u);
    EXPECT_EQ(autotune::infer_uniform_pq_m_within_budget(96, 8, 48), 48u);
    EXPECT_EQ(autotune::infer_uniform_pq_m_within_budget(96, 8, 47), 32u);
    EXPECT_EQ(autotune::infer_uniform_pq_m_within_budget(96, 8, 1000), 96u);  // at most one per dimension
    EXPECT_EQ(autotune::infer_uniform_pq_m_within_budget(97, 8, 96), 1u);
    EXPECT_EQ(autotune::infer_uniform_pq_m_within_budget(128, 4, 40), 64u);  // 80 four-bit codes fit; 64 divides
    EXPECT_EQ(autotune::infer_uniform_pq_m_within_budget(7, 8, kU64Max), 7u);
    expect_error([] { autotune::infer_uniform_pq_m_within_budget(0, 8, 10); }, "dimension must be greater than 0");

    EXPECT_EQ(autotune::largest_divisor_at_most(96, 40), 32u);
    EXPECT_EQ(autotune::largest_divisor_at_most(96, 0), 1u);
    EXPECT_EQ(autotune::largest_divisor_at_most(36, 6), 6u);
    EXPECT_EQ(autotune::largest_divisor_at_most(36, 35), 18u);
}
