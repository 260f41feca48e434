// Measurement plumbing of the harness: timed loops, result comparison, the
// rows child processes hand back.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "measure.hpp"

namespace ta = tavren::ann;

TEST(AnnMeasure, SingleQueriesAreAPrefixDoneExactlyOnce) {
    std::vector<std::atomic<int>> seen(1000);
    std::mutex m;
    std::set<unsigned> workers;
    ta::Timed t = ta::time_single(1000, 4, 60.0, [&](unsigned w, size_t q) {
        seen[q].fetch_add(1);
        std::lock_guard<std::mutex> lock(m);
        workers.insert(w);
    });
    EXPECT_EQ(t.queries, 1000u);
    for (auto& s : seen) EXPECT_EQ(s.load(), 1);
    for (unsigned w : workers) EXPECT_LT(w, 4u);
    EXPECT_GT(t.qps(), 0.0);

    // With the budget spent the loop stops; the queries it reports are
    // exactly those that ran, and they are 0 .. done-1.
    std::vector<std::atomic<int>> ran(100000);
    ta::Timed cut = ta::time_single(100000, 3, 0.05, [&](unsigned, size_t q) {
        ran[q].fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    });
    ASSERT_LT(cut.queries, 100000u);
    ASSERT_GE(cut.queries, 1u);
    for (size_t q = 0; q < 100000; ++q) EXPECT_EQ(ran[q].load(), q < cut.queries ? 1 : 0) << q;
}

TEST(AnnMeasure, BatchesCoverConsecutiveRangesAndStopAfterTheBudget) {
    std::vector<std::pair<size_t, size_t>> calls;
    ta::Timed t = ta::time_batch(1000, 300, 60.0, [&](size_t first, size_t n) { calls.emplace_back(first, n); });
    EXPECT_EQ(t.queries, 1000u);
    EXPECT_EQ(calls, (std::vector<std::pair<size_t, size_t>>{{0, 300}, {300, 300}, {600, 300}, {900, 100}}));
    calls.clear();
    ta::Timed one = ta::time_batch(1000, 300, 1e-9, [&](size_t first, size_t n) { calls.emplace_back(first, n); });
    EXPECT_EQ(one.queries, 300u) << "at least one batch, then the budget ends it";
    calls.clear();
    EXPECT_EQ(ta::time_batch(50, 0, 60.0, [&](size_t first, size_t n) { calls.emplace_back(first, n); }).queries, 50u);
    EXPECT_EQ(calls.size(), 1u) << "batch size 0 means all queries in one call";
}

TEST(AnnMeasure, ResultsDifferOnlyInDistances) {
    const float kMax = std::numeric_limits<float>::max();
    struct Case {
        const char* what;
        std::vector<float> a, b;
        bool differ;
    };
    const std::vector<Case> cases = {
        {"same", {1, 2, kMax}, {1, 2, kMax}, false},
        {"rounding", {1000000.0f, 2}, {1000001.0f, 2}, false},
        {"another neighbour", {1, 2, 3}, {1, 2, 4}, true},
        {"a missing place", {1, 2, 3}, {1, 2, kMax}, true},
        {"negative distances", {-5, -4}, {-5, -3.9f}, true},
    };
    for (const auto& c : cases) EXPECT_EQ(ta::results_differ(c.a.data(), c.b.data(), c.a.size()), c.differ) << c.what;
}

TEST(AnnMeasure, RowsSurviveTheTripFromAChildProcess) {
    ta::SearchRow r;
    r.index = "ivf_flat nlist=16";
    r.mode = "memory";
    r.latency_us = 200;
    r.threads = 8;
    r.width_type = "nprobe";
    r.width = 128;
    r.recall1 = 1.0;
    r.recall10 = 0.123456789012345;
    r.recall100 = std::numeric_limits<double>::quiet_NaN();
    r.single_qps = 12345.678;
    r.single_queries = 9999;
    r.batch_qps = 0.5;
    r.batch_queries = 10000;
    r.recall_queries = 10001;
    r.single_calls_per_query = 1.25;
    r.single_ranges_per_query = 3;
    r.single_bytes_per_query = 1e9;
    r.batch_calls_per_query = 0.001;
    r.batch_bytes_per_query = 77;
    r.single_batch_mismatches = 4;
    r.open_ms = 3.5;
    r.reader_rss_bytes = 1ull << 40;
    r.single_p50_us = 123.25;
    r.single_p99_us = 4567.5;
    r.read_profile = "remote_storage";
    r.beam_width = 16;
    r.window_bytes = 32768;
    ta::SearchRow b = ta::SearchRow::from_tsv(r.to_tsv());
    EXPECT_EQ(b.to_tsv(), r.to_tsv());
    EXPECT_EQ(b.index, r.index);
    EXPECT_EQ(b.recall10, r.recall10);
    EXPECT_TRUE(std::isnan(b.recall100));
    EXPECT_EQ(b.reader_rss_bytes, r.reader_rss_bytes);
    EXPECT_EQ(b.recall_queries, 10001u);
    EXPECT_EQ(b.read_profile, "remote_storage");
    EXPECT_EQ(b.single_p99_us, 4567.5);
    EXPECT_THROW(ta::SearchRow::from_tsv("too\tfew"), std::runtime_error);
}

TEST(AnnMeasure, PercentilesByNearestRank) {
    struct Case {
        std::vector<double> values;
        double p, want;
    };
    const std::vector<Case> cases = {
        {{}, 50, 0.0},
        {{7}, 50, 7.0},
        {{7}, 99, 7.0},
        {{4, 1, 3, 2}, 50, 2.0},   // ceil(0.5 * 4) = 2nd smallest
        {{4, 1, 3, 2}, 99, 4.0},
        {{4, 1, 3, 2}, 100, 4.0},
        {{5, 1, 4, 2, 3}, 50, 3.0},
    };
    for (auto c : cases) EXPECT_EQ(ta::percentile(c.values, c.p), c.want) << c.p;
    std::vector<double> hundred;
    for (int i = 100; i >= 1; --i) hundred.push_back(i);
    EXPECT_EQ(ta::percentile(hundred, 99), 99.0);
    EXPECT_EQ(ta::percentile(hundred, 50), 50.0);
}

TEST(AnnMeasure, ReadProfileNamesFromThePlan) {
    EXPECT_EQ(ta::read_profile_name(4096, 1), "memory");
    EXPECT_EQ(ta::read_profile_name(4096, 16), "custom");
    EXPECT_EQ(ta::read_profile_name(16384, 4), "local_storage");
    EXPECT_EQ(ta::read_profile_name(32768, 16), "remote_storage");
    EXPECT_EQ(ta::read_profile_name(65536, 16), "object_store");
    EXPECT_EQ(ta::read_profile_name(8192, 16), "custom");
    EXPECT_EQ(ta::read_profile_name(0, 0), "-");
}

TEST(AnnMeasure, TimedSingleQueriesRecordEachLatency) {
    std::vector<double> lat(5, -1.0);
    const ta::Timed t = ta::time_single(5, 2, 60.0, [](unsigned, size_t) {}, &lat);
    EXPECT_EQ(t.queries, 5u);
    for (double v : lat) EXPECT_GE(v, 0.0);
}
