#include <gtest/gtest.h>

#include <limits>

#include "read_options.hpp"

using namespace tavren;
using read_options::CacheBudgets;
using read_options::ReadPlan;
using read_options::VectorIndexReaderOptions;
using index::DeploymentProfile;

namespace {
constexpr uint64_t kMiB = 1048576;
constexpr uint64_t kGiB = 1024 * kMiB;
constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
}  // namespace

TEST(CacheBudgets, DerivedFromTheMemoryBudget) {
    struct Case {
        uint64_t budget;
        DeploymentProfile profile;
        uint64_t resident, adjacency, raw;
        uint64_t preload, adjacency_cache, vector_cache;
    };
    const Case cases[] = {
        {4 * kGiB, DeploymentProfile::LocalStorage, 100 * kMiB, kGiB, 512 * kMiB, 16 * kMiB, 64 * kMiB, 64 * kMiB},
        {4 * kGiB, DeploymentProfile::Memory, 100 * kMiB, kGiB, 512 * kMiB, 16 * kMiB, 64 * kMiB, 64 * kMiB},
        {4 * kGiB, DeploymentProfile::Auto, 100 * kMiB, kGiB, 512 * kMiB, 16 * kMiB, 64 * kMiB, 64 * kMiB},
        // Preload and adjacency cache then cover the whole adjacency section.
        {4 * kGiB, DeploymentProfile::ObjectStore, 100 * kMiB, kGiB, 512 * kMiB, 64 * kMiB, 960 * kMiB, 512 * kMiB},
        // 59 MiB first, then 9 MiB more from the second share.
        {200 * kMiB, DeploymentProfile::RemoteStorage, 50 * kMiB, 100 * kMiB, 10 * kMiB, 32 * kMiB, 68 * kMiB,
         10 * kMiB},
        // Below the resident bytes nothing is left for caches.
        {10 * kMiB, DeploymentProfile::ObjectStore, 11 * kMiB, kGiB, kGiB, 0, 0, 0},
        // Interleaved vectors: no raw-vector section, the adjacency cache takes the rest up to its cap.
        {kGiB, DeploymentProfile::LocalStorage, 0, kGiB, 0, 16 * kMiB, 64 * kMiB, 0},
        // A small adjacency section is all preloaded; the vector cache takes what is left.
        {100 * kMiB, DeploymentProfile::RemoteStorage, 0, 2 * kMiB, kGiB, 2 * kMiB, 0, 98 * kMiB},
        // Halves round down.
        {7, DeploymentProfile::RemoteStorage, 0, 100, 100, 3, 2, 2},
        // The largest budget: nothing wraps.
        {kU64Max, DeploymentProfile::ObjectStore, 0, kU64Max, kU64Max, 64 * kMiB, kU64Max / 2 - 32 * kMiB,
         kU64Max / 2 - 32 * kMiB + 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.budget);
        const VectorIndexReaderOptions options{c.budget, std::nullopt};
        const CacheBudgets b = options.resolve_cache_budgets(c.profile, c.resident, c.adjacency, c.raw);
        EXPECT_EQ(b.adjacency_preload_bytes, c.preload);
        EXPECT_EQ(b.adjacency_cache_bytes, c.adjacency_cache);
        EXPECT_EQ(b.vector_cache_bytes, c.vector_cache);
        EXPECT_EQ(b.memory_budget_bytes, c.budget);
        EXPECT_EQ(b.profile, c.profile);
    }
}

TEST(CacheBudgets, ExplicitBudgetsStandAsGiven) {
    const CacheBudgets given{1, 2, 3, 4, DeploymentProfile::Memory};
    const VectorIndexReaderOptions options{kGiB, given};
    const CacheBudgets b = options.resolve_cache_budgets(DeploymentProfile::ObjectStore, 0, kGiB, kGiB);
    EXPECT_EQ(b, (CacheBudgets{1, 2, 3, 4, DeploymentProfile::ObjectStore}));
    EXPECT_EQ(VectorIndexReaderOptions{}.memory_budget_bytes, 4294967296u);
}

TEST(ReadPlan, DefaultsPerProfile) {
    EXPECT_EQ(ReadPlan::default_for(DeploymentProfile::Auto), (ReadPlan{16384, 4, 4}));
    EXPECT_EQ(ReadPlan::default_for(DeploymentProfile::Memory), (ReadPlan{4096, 1, 4}));
    EXPECT_EQ(ReadPlan::default_for(DeploymentProfile::LocalStorage), (ReadPlan{16384, 4, 4}));
    EXPECT_EQ(ReadPlan::default_for(DeploymentProfile::RemoteStorage), (ReadPlan{32768, 16, 4}));
    EXPECT_EQ(ReadPlan::default_for(DeploymentProfile::ObjectStore), (ReadPlan{65536, 16, 4}));
    EXPECT_EQ(read_options::adjacency_preload_cap(DeploymentProfile::Auto), 16 * kMiB);
    EXPECT_EQ(read_options::adjacency_preload_cap(DeploymentProfile::RemoteStorage), 32 * kMiB);
    EXPECT_EQ(read_options::adjacency_preload_cap(DeploymentProfile::ObjectStore), 64 * kMiB);
    EXPECT_EQ(read_options::cache_cap(DeploymentProfile::LocalStorage), 64 * kMiB);
    EXPECT_EQ(read_options::cache_cap(DeploymentProfile::RemoteStorage), std::nullopt);
}

TEST(ReadPlan, WithCapabilities) {
    struct Case {
        DeploymentProfile profile;
        io::ReadCapabilities caps;
        ReadPlan plan;
    };
    const Case cases[] = {
        {DeploymentProfile::RemoteStorage, {0, 0, 0}, {32768, 16, 4}},
        {DeploymentProfile::RemoteStorage, {0, 1, 0}, {4096, 16, 4}},
        {DeploymentProfile::RemoteStorage, {0, 4096, 0}, {4096, 16, 4}},
        {DeploymentProfile::RemoteStorage, {0, 4097, 0}, {8192, 16, 4}},
        {DeploymentProfile::RemoteStorage, {0, 5000, 0}, {8192, 16, 4}},
        {DeploymentProfile::RemoteStorage, {0, 1048575, 0}, {1048576, 16, 4}},
        {DeploymentProfile::RemoteStorage, {0, 2000000, 0}, {1048576, 16, 4}},
        {DeploymentProfile::Memory, {0, 0, 2}, {4096, 1, 2}},
        {DeploymentProfile::Memory, {0, 0, 1}, {4096, 1, 1}},
        {DeploymentProfile::Memory, {0, 0, 8}, {4096, 1, 4}},
        {DeploymentProfile::RemoteStorage, {0, 0, 2}, {32768, 2, 2}},
        {DeploymentProfile::RemoteStorage, {0, 0, 1}, {32768, 1, 1}},
        {DeploymentProfile::RemoteStorage, {0, 0, 8}, {32768, 8, 4}},
        {DeploymentProfile::LocalStorage, {0, 0, 100}, {16384, 4, 4}},
        // The latency hint plays no part here.
        {DeploymentProfile::ObjectStore, {123456789, 0, 0}, {65536, 16, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.caps.io_block_size);
        EXPECT_EQ(ReadPlan::default_for(c.profile).with_capabilities(c.caps), c.plan);
    }
    // A plan whose own values are 0 still never yields 0 under a cap.
    EXPECT_EQ((ReadPlan{0, 0, 0}).with_capabilities({0, 0, 3}), (ReadPlan{4096, 1, 1}));
}
