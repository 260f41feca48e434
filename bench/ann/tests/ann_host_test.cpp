// The harness's host callbacks: file and memory sources and sinks, counters,
// range limits and injected latency.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <numeric>
#include <thread>
#include <vector>

#include "host_io.hpp"

namespace ta = tavren::ann;
namespace fs = std::filesystem;

namespace {

std::string temp_file(const char* tag) {
    return (fs::temp_directory_path() / ("ann_host_test_" + std::to_string(::getpid()) + "_" + tag)).string();
}

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 31 + 7);
    return v;
}

int call(const FfiInputFile& f, std::vector<FfiReadRange> ranges) {
    return f.read_ranges_fn(f.user_data, ranges.data(), ranges.size());
}

// Writes `bytes` through the sink's callbacks as a library would: several
// appends, position checks, one flush.
void write_through(ta::OutputSink& sink, const std::vector<uint8_t>& bytes, bool position) {
    FfiOutputCallbacks cb = sink.callbacks(true, position);
    ASSERT_EQ(cb.position_fn != nullptr, position);
    if (position) {
        EXPECT_EQ(cb.position_fn(cb.user_data), 0);
    }
    size_t done = 0;
    for (size_t chunk : {size_t{0}, size_t{5}, size_t{1000}, bytes.size()}) {
        chunk = std::min(chunk, bytes.size() - done);
        ASSERT_EQ(cb.write_fn(cb.user_data, bytes.data() + done, chunk), 0);
        done += chunk;
        if (position) {
            EXPECT_EQ(cb.position_fn(cb.user_data), static_cast<int64_t>(done));
        }
    }
    ASSERT_EQ(cb.flush_fn(cb.user_data), 0);
}

}  // namespace

TEST(AnnHost, FileAndMemoryRoundTripWithTheSameReads) {
    const auto bytes = pattern(5000);
    const std::string path = temp_file("roundtrip");
    {
        ta::FileSink sink(path, /*sync=*/true);
        write_through(sink, bytes, true);
        EXPECT_EQ(sink.bytes_written(), 5000u);
        EXPECT_EQ(sink.write_calls(), 4u);
        EXPECT_EQ(sink.flush_calls(), 1u);
        sink.close();
    }
    ta::MemorySink msink;
    write_through(msink, bytes, false);
    EXPECT_EQ(msink.size(), 5000u);
    const std::vector<uint8_t> joined = msink.take();
    EXPECT_EQ(joined, bytes);
    EXPECT_EQ(ta::read_file(path), bytes);

    ta::FileSource fsrc(path);
    ta::MemorySource msrc(joined);
    for (ta::InputSource* src : {static_cast<ta::InputSource*>(&fsrc), static_cast<ta::InputSource*>(&msrc)}) {
        EXPECT_EQ(src->size(), 5000u);
        FfiInputFile f = src->record();
        std::vector<uint8_t> a(10), b(3), c(1);
        // Out of order, one empty range, one ending exactly at the end.
        ASSERT_EQ(call(f, {{4990, a.data(), 10}, {0, b.data(), 3}, {77, nullptr, 0}, {4999, c.data(), 1}}), 0);
        EXPECT_EQ(a, std::vector<uint8_t>(bytes.begin() + 4990, bytes.end()));
        EXPECT_EQ(b, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 3));
        EXPECT_EQ(c[0], bytes[4999]);
        ta::IoSnapshot s = src->counters().snapshot();
        EXPECT_EQ(s.calls, 1u);
        EXPECT_EQ(s.ranges, 4u);
        EXPECT_EQ(s.bytes, 14u);
        EXPECT_EQ(src->failures(), 0u);
    }
    fs::remove(path);
}

TEST(AnnHost, RefusesRangesItCannotFill) {
    const auto bytes = pattern(100);
    ta::MemorySource src(bytes);
    FfiInputFile f = src.record();
    std::vector<uint8_t> buf(16);
    struct Case {
        const char* what;
        std::vector<FfiReadRange> ranges;
    };
    const std::vector<Case> cases = {
        {"past the end", {{90, buf.data(), 11}}},
        {"offset beyond the end", {{101, buf.data(), 0}}},
        {"offset + len wraps", {{~uint64_t{0} - 2, buf.data(), 8}}},
        {"null buffer", {{0, nullptr, 4}}},
        {"second range bad", {{0, buf.data(), 4}, {200, buf.data() + 4, 4}}},
    };
    for (const auto& c : cases) EXPECT_NE(call(f, c.ranges), 0) << c.what;
    EXPECT_EQ(src.failures(), cases.size());
    EXPECT_EQ(src.counters().snapshot().calls, cases.size()) << "failed calls are counted too";
}

TEST(AnnHost, EnforcesItsRangeLimitAndAdvertisesHints) {
    const auto bytes = pattern(64);
    ta::MemorySource src(bytes);
    src.set_max_ranges_per_call(2);
    src.set_io_block_size(4096);
    src.set_latency_ns(1500);
    FfiInputFile f = src.record();
    EXPECT_EQ(f.max_ranges_per_call, 2u);
    EXPECT_EQ(f.io_block_size, 4096u);
    EXPECT_EQ(f.read_latency_ns, 1500u);
    EXPECT_EQ(f.user_data, &src);
    uint8_t a, b, c;
    EXPECT_EQ(call(f, {{0, &a, 1}, {1, &b, 1}}), 0);
    EXPECT_NE(call(f, {{0, &a, 1}, {1, &b, 1}, {2, &c, 1}}), 0);
    EXPECT_EQ(src.failures(), 1u);
    // Without injected latency a memory host still says it is fast (1 us),
    // so the library never times a read to pick its profile.
    src.set_latency_ns(0);
    EXPECT_EQ(src.record().read_latency_ns, 1000u);
}

TEST(AnnHost, CountsConcurrentCallsExactly) {
    const auto bytes = pattern(1 << 16);
    const std::string path = temp_file("concurrent");
    {
        ta::FileSink sink(path);
        write_through(sink, bytes, true);
        sink.close();
    }
    ta::FileSource src(path);
    src.set_latency_ns(2000, ta::LatencyMode::Spin);
    FfiInputFile f = src.record();
    constexpr int kThreads = 8, kCalls = 200;
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<uint8_t> a(100), b(28);
            for (int i = 0; i < kCalls; ++i) {
                uint64_t off = static_cast<uint64_t>((t * 977 + i * 131) % (65536 - 100));
                std::vector<FfiReadRange> r = {{off, a.data(), 100}, {off + 3, b.data(), 28}};
                if (f.read_ranges_fn(f.user_data, r.data(), r.size()) != 0 ||
                    !std::equal(a.begin(), a.end(), bytes.begin() + static_cast<ptrdiff_t>(off)) ||
                    !std::equal(b.begin(), b.end(), bytes.begin() + static_cast<ptrdiff_t>(off + 3))) {
                    wrong.fetch_add(1);
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    ta::IoSnapshot s = src.counters().snapshot();
    EXPECT_EQ(s.calls, uint64_t{kThreads} * kCalls);
    EXPECT_EQ(s.ranges, uint64_t{kThreads} * kCalls * 2);
    EXPECT_EQ(s.bytes, uint64_t{kThreads} * kCalls * 128);
    src.counters().reset();
    EXPECT_EQ(src.counters().snapshot().calls, 0u);
    fs::remove(path);
}

TEST(AnnHost, MemorySinkJoinsBlocksAcrossBoundaries) {
    // 8 MiB blocks: writes that end exactly on, straddle and span boundaries.
    const size_t block = size_t{8} << 20;
    const auto bytes = pattern(2 * block + 12345);
    ta::MemorySink sink;
    FfiOutputCallbacks cb = sink.callbacks(false, true);
    size_t done = 0;
    for (size_t chunk : {block, size_t{7}, block + 100, size_t{0}, bytes.size()}) {
        chunk = std::min(chunk, bytes.size() - done);
        ASSERT_EQ(cb.write_fn(cb.user_data, bytes.data() + done, chunk), 0);
        done += chunk;
        EXPECT_EQ(cb.position_fn(cb.user_data), static_cast<int64_t>(done));
    }
    EXPECT_EQ(sink.take(), bytes);
    EXPECT_EQ(sink.size(), 0u) << "take() empties the sink";
}

TEST(AnnHost, SinkFailuresReachTheCaller) {
    ta::FileSink sink(temp_file("closed"));
    sink.close();
    FfiOutputCallbacks cb = sink.callbacks(false, true);
    EXPECT_EQ(cb.flush_fn, nullptr);
    const uint8_t byte = 1;
    EXPECT_NE(cb.write_fn(cb.user_data, &byte, 1), 0) << "a write after close fails";
    EXPECT_LT(cb.position_fn(cb.user_data), 0) << "no position once closed";
    EXPECT_NE(cb.write_fn(cb.user_data, nullptr, 1), 0);
    EXPECT_EQ(sink.bytes_written(), 0u);
    fs::remove(temp_file("closed"));
    EXPECT_THROW(ta::FileSink("/nonexistent-dir/x"), std::runtime_error);
    EXPECT_THROW(ta::FileSource("/nonexistent-dir/x"), std::runtime_error);
}
