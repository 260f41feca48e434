// Loading adjacency pages and raw-vector windows: range grouping, warm rounds,
// the preload, shared-cache protocol with other sessions, host failures,
// corrupt pages, and windows kept local for the whole call.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <atomic>
#include <cstring>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "diskann_reader_views.hpp"
#include "diskann_search.hpp"
#include "diskann_search_load.hpp"
#include "diskann_windows.hpp"
#include "error.hpp"
#include "expect.hpp"
#include "guards.hpp"
#include "io.hpp"

namespace {

using namespace tavren::diskann_search;
using namespace tavren::diskann_windows;
using tavren::Error;
using tavren::ErrorKind;
using tavren::io::ReadCapabilities;
using tavren::io::ReadRequest;
using tavren::testing::expect_error;
using tavren::testing::failure_of;

constexpr uint64_t kSectionOffset = 4096;

// An in-memory file that counts host calls and ranges and can fail one call.
class CountingFile final : public tavren::io::SeekRead {
public:
    CountingFile(uint64_t pages, uint64_t max_ranges) : max_ranges_(max_ranges) {
        bytes_.resize(kSectionOffset + pages * 4096);
        for (uint64_t p = 0; p < pages; ++p) {
            std::fill_n(bytes_.begin() + static_cast<std::ptrdiff_t>(kSectionOffset + p * 4096), 4096,
                        static_cast<uint8_t>(p * 7 + 1));
        }
    }
    void pread(std::span<ReadRequest> requests) const override {
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> lock(m_);
            ++call_count_;
            if (max_ranges_ != 0 && requests.size() > max_ranges_) ADD_FAILURE() << "too many ranges";
            std::vector<uint64_t> offsets;
            for (const auto& r : requests) offsets.push_back(r.offset);
            calls_.push_back(offsets);
            if (call_count_ == fail_call_) {
                if (fail_eof_) tavren::fail(ErrorKind::UnexpectedEof, "failed to fill whole buffer");
                tavren::fail(ErrorKind::Other, "read_ranges callback failed");
            }
            for (const auto& r : requests) reads_per_offset_[r.offset]++;
            hook = before_copy_;
        }
        if (hook) hook();
        for (const auto& r : requests) {
            if (r.offset + r.len > bytes_.size()) tavren::fail(ErrorKind::UnexpectedEof, "failed to fill whole buffer");
            std::memcpy(r.buf, bytes_.data() + r.offset, r.len);
        }
    }
    ReadCapabilities capabilities() const override { return {0, 0, max_ranges_}; }

    void fail_call(uint64_t k, bool eof) {
        std::lock_guard<std::mutex> lock(m_);
        fail_call_ = k;
        fail_eof_ = eof;
    }
    void set_hook(std::function<void()> hook) {
        std::lock_guard<std::mutex> lock(m_);
        before_copy_ = std::move(hook);
    }
    std::vector<std::vector<uint64_t>> calls() const {
        std::lock_guard<std::mutex> lock(m_);
        return calls_;
    }
    std::map<uint64_t, int> reads_per_offset() const {
        std::lock_guard<std::mutex> lock(m_);
        return reads_per_offset_;
    }
    std::vector<uint8_t>& bytes() { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    uint64_t max_ranges_;
    mutable std::mutex m_;
    mutable uint64_t call_count_ = 0;
    mutable std::vector<std::vector<uint64_t>> calls_;
    mutable std::map<uint64_t, int> reads_per_offset_;
    uint64_t fail_call_ = 0;
    bool fail_eof_ = true;
    std::function<void()> before_copy_;
};

// A shared window cache with the reservation protocol and no capacity limit.
class TestSharedCache final : public SharedWindowCacheView {
public:
    SharedLookup lookup_or_reserve(uint64_t offset, uint64_t len) override {
        std::lock_guard<std::mutex> lock(m_);
        ++calls_;
        auto it = windows_.find(offset);
        if (it != windows_.end() && it->second->size() == len) return {SharedLookupKind::Hit, it->second, {1, 0}};
        if (pending_.count(offset)) return {SharedLookupKind::Wait, nullptr, {1, 0}};
        pending_.insert(offset);
        return {SharedLookupKind::Reserved, nullptr, {1, 0}};
    }
    SharedPublish publish(uint64_t offset, SharedWindow window) override {
        std::lock_guard<std::mutex> lock(m_);
        ++calls_;
        if (offset == fail_publish_) tavren::invalid_data("DiskANN shared window cache state is poisoned");
        pending_.erase(offset);
        windows_[offset] = std::move(window);
        cv_.notify_all();
        return {0, {1, 0}};
    }
    LockWait cancel(std::span<const uint64_t> offsets) override {
        std::lock_guard<std::mutex> lock(m_);
        ++calls_;
        for (uint64_t o : offsets) {
            if (o == fail_publish_ && offsets.size() > 1) tavren::invalid_data("DiskANN shared window cache state is poisoned");
            pending_.erase(o);
        }
        cv_.notify_all();
        return {1, 0};
    }
    SharedWaitResult wait_for(uint64_t offset, uint64_t len) override {
        std::unique_lock<std::mutex> lock(m_);
        ++calls_;
        cv_.wait(lock, [&] { return pending_.count(offset) == 0; });
        auto it = windows_.find(offset);
        if (it != windows_.end() && it->second->size() == len) return {it->second, {1, 0}};
        return {nullptr, {1, 0}};
    }
    uint64_t calls() {
        std::lock_guard<std::mutex> lock(m_);
        return calls_;
    }
    size_t pending() {
        std::lock_guard<std::mutex> lock(m_);
        return pending_.size();
    }
    bool holds(uint64_t offset) {
        std::lock_guard<std::mutex> lock(m_);
        return windows_.count(offset) != 0;
    }
    uint64_t fail_publish_ = ~uint64_t{0};

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::map<uint64_t, SharedWindow> windows_;
    std::set<uint64_t> pending_;
    uint64_t calls_ = 0;
};

// Two nodes per page; pages validated once per family (the reader core's
// rule, modelled here), with an instrumented count and a corrupt-page set.
class TestPages final : public AdjacencyPageSource {
public:
    explicit TestPages(TestSharedCache* shared, uint64_t pages) : shared_(shared), pages_(pages) {}
    AdjacencyLocator adjacency_locator(size_t node) const override {
        if (node / 2 >= pages_ + 5) tavren::invalid_data("DiskANN adjacency index is truncated");
        return {static_cast<uint32_t>(node / 2), static_cast<uint16_t>((node % 2) * 2048), 4};
    }
    void validate_page_once(uint64_t page, std::span<const uint8_t> bytes) override {
        std::lock_guard<std::mutex> lock(m_);
        auto it = errors_.find(page);
        if (it != errors_.end()) tavren::invalid_data("{}", it->second);
        if (valid_.count(page)) return;
        ++validations_[page];
        EXPECT_EQ(bytes.size(), 4096u);
        EXPECT_EQ(bytes[0], static_cast<uint8_t>(page * 7 + 1)) << "page " << page;
        EXPECT_EQ(bytes[4095], static_cast<uint8_t>(page * 7 + 1)) << "page " << page;
        if (corrupt_.count(page)) {
            errors_[page] = "DiskANN adjacency record runs past its page";
            tavren::invalid_data("DiskANN adjacency record runs past its page");
        }
        valid_.insert(page);
    }
    SharedWindowCacheView& shared_adjacency_cache() override {
        if (shared_ == nullptr) tavren::invalid_data("DiskANN resident sections are not loaded");
        return *shared_;
    }
    std::map<uint64_t, int> validations() {
        std::lock_guard<std::mutex> lock(m_);
        return validations_;
    }
    std::set<uint64_t> corrupt_;

private:
    TestSharedCache* shared_;
    uint64_t pages_;
    std::mutex m_;
    std::set<uint64_t> valid_;
    std::map<uint64_t, std::string> errors_;
    std::map<uint64_t, int> validations_;
};

// One search session's caches.
struct Session {
    std::unique_ptr<DiskAnnQueryScratch> s = DiskAnnQueryScratch::create();
    AdjacencyLoadStats stats;
    void load(const AdjacencyLoadInput& in, AdjacencyPageSource& src, const std::vector<size_t>& nodes) {
        load_adjacency_pages(in, src, nodes, s->adjacency_cache, s->validated_pages, s->buffer_pool, stats,
                             s->load_work);
    }
};

AdjacencyLoadInput input_for(const CountingFile& file, uint64_t pages, uint64_t window, bool shared,
                             std::span<const uint8_t> preload = {}) {
    return AdjacencyLoadInput{ReadWindowPlanner(kSectionOffset, pages * 4096, window), preload, &file, shared};
}

// Every node's window is local after a load: in the preload or the query cache.
void expect_local(const AdjacencyLoadInput& in, AdjacencyPageSource& src, Session& session,
                  const std::vector<size_t>& nodes) {
    for (size_t node : nodes) {
        const auto w = in.planner.window_for_logical_page(src.adjacency_locator(node).page);
        ASSERT_TRUE(w.has_value());
        EXPECT_TRUE(in.planner.window_in_prefix(*w, in.preload.size()) || session.s->adjacency_cache.contains_key(*w))
            << "node " << node;
    }
}

TEST(LoadAdjacencyPages, RangesPerCallAscendingNeverMergedOrSplit) {
    struct Case {
        uint64_t max_ranges;
        bool shared;
        std::vector<size_t> ranges_per_call;
    };
    for (const Case& c : std::vector<Case>{{3, false, {3, 3, 1}}, {0, false, {7}}, {3, true, {3, 3, 1}},
                                           {7, true, {7}}, {1, false, {1, 1, 1, 1, 1, 1, 1}}}) {
        CountingFile file(10, c.max_ranges);
        TestSharedCache shared;
        TestPages pages(&shared, 10);
        Session session;
        const auto in = input_for(file, 10, 4096, c.shared);
        // Pages 6, 0, 3, 5, 1, 2, 4 (nodes given out of order, two per page).
        session.load(in, pages, {12, 13, 0, 6, 7, 10, 2, 4, 8});
        const auto calls = file.calls();
        std::vector<size_t> sizes;
        std::vector<uint64_t> all;
        for (const auto& call : calls) {
            sizes.push_back(call.size());
            all.insert(all.end(), call.begin(), call.end());
        }
        EXPECT_EQ(sizes, c.ranges_per_call);
        EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
        EXPECT_EQ(all.size(), 7u);
        EXPECT_EQ(session.stats.adjacency_windows_read, 7u);
        EXPECT_EQ(session.stats.adjacency_cache_peak_bytes, 7 * 4096u);
        EXPECT_EQ(pages.validations().size(), 7u);
        EXPECT_EQ(shared.pending(), 0u);
        expect_local(in, pages, session, {12, 13, 0, 6, 7, 10, 2, 4, 8});
    }
}

TEST(LoadAdjacencyPages, WarmRoundTakesNoLockAndReadsNothing) {
    CountingFile file(10, 0);
    TestSharedCache shared;
    TestPages pages(&shared, 10);
    Session session;
    const auto in = input_for(file, 10, 16384, true);
    session.load(in, pages, {0, 1, 2, 9});
    const auto calls = file.calls().size();
    const auto cache_calls = shared.calls();
    const auto stats = session.stats;
    session.load(in, pages, {9, 2, 1, 0});
    EXPECT_EQ(file.calls().size(), calls);
    EXPECT_EQ(shared.calls(), cache_calls);
    EXPECT_EQ(session.stats.shared_cache_lock_acquisitions, stats.shared_cache_lock_acquisitions);
    EXPECT_EQ(session.stats.adjacency_windows_read, stats.adjacency_windows_read);
    // Two pages (0, 1) in one 16 KiB window and page 4 in the next: two windows, three validations.
    EXPECT_EQ(stats.adjacency_windows_read, 2u);
    EXPECT_EQ(pages.validations(), (std::map<uint64_t, int>{{0, 1}, {1, 1}, {4, 1}}));
    // A new query (reset) forgets its validated pages but keeps nothing local either.
    session.s->begin_rerank();
    session.load(in, pages, {0});
    EXPECT_EQ(pages.validations().at(0), 1);  // the family still knows the page is valid
    EXPECT_EQ(shared.calls(), cache_calls + 1);  // one shared-cache hit, no host read
    EXPECT_EQ(file.calls().size(), calls);
}

TEST(LoadAdjacencyPages, PreloadedPagesAreValidatedOnceAndNeverRead) {
    CountingFile file(10, 0);
    TestPages pages(nullptr, 10);  // no shared cache
    Session session;
    const std::span<const uint8_t> preload(file.bytes().data() + kSectionOffset, 16384);
    const auto in = input_for(file, 10, 16384, false, preload);
    session.load(in, pages, {0, 3, 7});  // pages 0, 1, 3: all in the preload's first window
    EXPECT_TRUE(file.calls().empty());
    EXPECT_EQ(pages.validations(), (std::map<uint64_t, int>{{0, 1}, {1, 1}, {3, 1}}));
    EXPECT_TRUE(session.s->adjacency_cache.empty());
    session.load(in, pages, {0, 3, 7});
    EXPECT_TRUE(file.calls().empty());
    // A page outside the preload is read directly (no shared cache).
    session.load(in, pages, {9});
    EXPECT_EQ(file.calls().size(), 1u);
    EXPECT_EQ(session.stats.adjacency_windows_read, 1u);
}

TEST(LoadAdjacencyPages, Errors) {
    CountingFile file(10, 0);
    TestPages pages(nullptr, 10);
    Session session;
    expect_error([&] { session.load(input_for(file, 10, 4096, false), pages, {20}); }, ErrorKind::InvalidData,
                 "DiskANN adjacency page is out of range");
    expect_error([&] { session.load(input_for(file, 10, 4096, false), pages, {40}); }, ErrorKind::InvalidData,
                 "DiskANN adjacency index is truncated");
    expect_error([&] { session.load(input_for(file, 10, 4096, true), pages, {0}); }, ErrorKind::InvalidData,
                 "DiskANN resident sections are not loaded");
    // A section longer than the file: the last window is short.
    CountingFile short_file(9, 0);
    expect_error([&] { session.load(input_for(short_file, 10, 4096, false), pages, {18}); }, ErrorKind::InvalidData,
                 "DiskANN paged section is truncated");
    EXPECT_GT(session.s->buffer_pool.pooled_bytes(), 0u);  // the buffer went back to the pool
}

TEST(LoadAdjacencyPages, HostFailureCancelsReservationsAndWaitersRetry) {
    for (bool eof : {true, false}) {
        CountingFile file(10, 2);
        TestSharedCache shared;
        TestPages pages(&shared, 10);
        Session a, b;
        const auto in = input_for(file, 10, 4096, true);
        file.fail_call(2, eof);  // the second call of the first session fails
        const auto f = failure_of([&] { a.load(in, pages, {0, 2, 4, 6, 8}); });
        if (eof) {
            EXPECT_EQ(f.kind, ErrorKind::InvalidData);
            EXPECT_EQ(f.message, "DiskANN paged section is truncated");
        } else {
            EXPECT_EQ(f.kind, ErrorKind::Other);
            EXPECT_EQ(f.message, "read_ranges callback failed");
        }
        EXPECT_EQ(shared.pending(), 0u);  // nothing left reserved
        EXPECT_EQ(a.s->buffer_pool.buffer_count(), 5u);  // every buffer of the round went back
        // Another session now reads the windows itself.
        b.load(in, pages, {0, 2, 4, 6, 8});
        EXPECT_EQ(b.stats.adjacency_windows_read, 5u);
        expect_local(in, pages, b, {0, 2, 4, 6, 8});
    }
}

TEST(LoadAdjacencyPages, WaiterReservesAndReadsAfterTheLoaderFails) {
    CountingFile file(10, 0);
    TestSharedCache shared;
    TestPages pages(&shared, 10);
    Session a, b;
    const auto in = input_for(file, 10, 4096, true);
    std::promise<void> a_reading, release_a;
    std::shared_future<void> release = release_a.get_future().share();
    bool first = true;
    file.set_hook([&] {
        if (!first) return;
        first = false;
        a_reading.set_value();
        release.wait();
        tavren::fail(ErrorKind::UnexpectedEof, "failed to fill whole buffer");
    });
    auto fa = std::async(std::launch::async, [&] { return failure_of([&] { a.load(in, pages, {0, 2}); }); });
    a_reading.get_future().wait();
    auto fb = std::async(std::launch::async, [&] { b.load(in, pages, {2}); });
    // b waits for a's reservation of page 1's window.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    release_a.set_value();
    ASSERT_EQ(fa.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    ASSERT_EQ(fb.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(fa.get().message, "DiskANN paged section is truncated");
    fb.get();
    EXPECT_EQ(b.stats.adjacency_windows_read, 1u);  // reserved and read it itself
    expect_local(in, pages, b, {2});
}

TEST(LoadAdjacencyPages, EightSessionsReadEachWindowOnceAndValidateEachPageOnce) {
    const uint64_t n_pages = 64;
    CountingFile file(n_pages, 4);
    TestSharedCache shared;
    TestPages pages(&shared, n_pages);
    const auto in = input_for(file, n_pages, 8192, true);
    std::vector<std::thread> threads;
    std::vector<Session> sessions(8);
    std::atomic<int> failures{0};
    for (size_t t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(static_cast<uint32_t>(t));
            try {
                for (int round = 0; round < 40; ++round) {
                    std::vector<size_t> nodes;
                    for (int i = 0; i < 6; ++i) nodes.push_back(rng() % (2 * n_pages));
                    sessions[t].load(in, pages, nodes);
                    expect_local(in, pages, sessions[t], nodes);
                    if (round % 5 == 4) sessions[t].s->begin_rerank();
                }
            } catch (...) {
                ++failures;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    for (const auto& [offset, count] : file.reads_per_offset()) EXPECT_EQ(count, 1) << offset;
    for (const auto& [page, count] : pages.validations()) EXPECT_EQ(count, 1) << page;
    EXPECT_EQ(shared.pending(), 0u);
}

TEST(LoadAdjacencyPages, CorruptPageFailsEverySessionWithTheSameMessage) {
    CountingFile file(10, 0);
    TestSharedCache shared;
    TestPages pages(&shared, 10);
    pages.corrupt_.insert(3);
    Session a, b;
    const auto in = input_for(file, 10, 4096, true);
    expect_error([&] { a.load(in, pages, {6}); }, ErrorKind::InvalidData, "DiskANN adjacency record runs past its page");
    expect_error([&] { b.load(in, pages, {7}); }, ErrorKind::InvalidData, "DiskANN adjacency record runs past its page");
    EXPECT_EQ(pages.validations().at(3), 1);
    EXPECT_FALSE(a.s->validated_pages.contains(3));
}

TEST(LoadAdjacencyPages, WindowsOfTheCallAreNeverEvictedForIt) {
    // Interleaved files under the object-store profile: 64 KiB windows. 200
    // nodes on 200 windows (12.5 MiB): 100 are cached and validated by an
    // earlier load, 100 come in. Every node's window is local afterwards.
    const uint64_t window = 65536, pages_per_window = 16, n_windows = 200;
    const uint64_t n_pages = n_windows * pages_per_window;
    CountingFile file(n_pages, 0);
    TestSharedCache shared;
    TestPages pages(&shared, n_pages);
    Session session;
    const auto in = input_for(file, n_pages, window, true);
    std::vector<size_t> first, all;
    for (uint64_t w = 0; w < n_windows; ++w) {
        const size_t node = static_cast<size_t>(w * pages_per_window * 2);  // first node of the window's first page
        all.push_back(node);
        if (w % 2 == 0) first.push_back(node);
    }
    session.load(in, pages, first);
    ASSERT_EQ(session.s->adjacency_cache.len(), 100u);
    session.load(in, pages, all);
    expect_local(in, pages, session, all);
    EXPECT_EQ(session.stats.adjacency_cache_evictions, 0u);
    EXPECT_EQ(session.s->adjacency_cache.len(), 200u);
}

TEST(LoadAdjacencyPages, FailedPublishCancelsTheOtherReservations) {
    CountingFile file(10, 0);
    TestSharedCache shared;
    TestPages pages(&shared, 10);
    Session a;
    const auto in = input_for(file, 10, 4096, true);
    shared.fail_publish_ = kSectionOffset + 4096;  // page 1's window: the second of three
    expect_error([&] { a.load(in, pages, {0, 2, 4}); }, ErrorKind::InvalidData,
                 "DiskANN shared window cache state is poisoned");
    EXPECT_EQ(shared.pending(), 0u);  // page 2's reservation was cancelled too
    EXPECT_TRUE(shared.holds(kSectionOffset));
}

// ---- raw-vector windows ---------------------------------------------------------------

TEST(LoadVectorWindows, DirectAndSharedCounts) {
    CountingFile file(10, 0);
    std::vector<ReadWindow> windows;
    for (uint64_t i = 0; i < 8; ++i) windows.push_back({kSectionOffset + i * 4096, 4096});
    {
        auto s = DiskAnnQueryScratch::create();
        for (uint64_t i : {0, 3, 7}) s->vector_cache.insert(windows[i].offset, WindowPayload::owned(std::vector<uint8_t>(4096)));
        const auto r = load_vector_windows(windows, nullptr, file, s->vector_cache, s->buffer_pool, s->load_work);
        EXPECT_EQ(r.windows_found, 3u);
        EXPECT_EQ(r.windows_read, 5u);
        EXPECT_EQ(r.shared_evictions, 0u);
        EXPECT_EQ(file.calls().size(), 1u);
        EXPECT_EQ((*s->vector_cache.get(windows[1]))[0], static_cast<uint8_t>(1 * 7 + 1));
        // All cached: no read.
        const auto again = load_vector_windows(windows, nullptr, file, s->vector_cache, s->buffer_pool, s->load_work);
        EXPECT_EQ(again.windows_found, 8u);
        EXPECT_EQ(again.windows_read, 0u);
        EXPECT_EQ(file.calls().size(), 1u);
    }
    TestSharedCache shared;
    auto a = DiskAnnQueryScratch::create();
    auto b = DiskAnnQueryScratch::create();
    const auto ra = load_vector_windows(windows, &shared, file, a->vector_cache, a->buffer_pool, a->load_work);
    EXPECT_EQ(ra.windows_read, 8u);
    const auto rb = load_vector_windows(windows, &shared, file, b->vector_cache, b->buffer_pool, b->load_work);
    EXPECT_EQ(rb.windows_found, 8u);
    EXPECT_EQ(rb.windows_read, 0u);
    EXPECT_EQ(file.calls().size(), 2u);
    // A truncated raw-vector section.
    auto c = DiskAnnQueryScratch::create();
    const std::vector<ReadWindow> beyond = {{kSectionOffset + 10 * 4096, 4096}};
    expect_error([&] { load_vector_windows(beyond, &shared, file, c->vector_cache, c->buffer_pool, c->load_work); },
                 ErrorKind::InvalidData, "DiskANN paged section is truncated");
    EXPECT_EQ(shared.pending(), 0u);
}

// The streaming batch rerank reads a load of many windows from the pool in
// slices: every window still read exactly once with the right bytes, no call
// above the host's range limit, a failing slice fails the load with the
// host's error (mapped as serially) and leaves no reservation or window
// behind, and the next load reads everything.
TEST(LoadVectorWindows, ParallelReadsReadEachWindowOnce) {
    tavren::testing::PoolGuard threads(4);
    constexpr uint64_t kWindows = 600;  // five slices of at most 128
    struct Case {
        bool shared;
        uint64_t max_ranges;
        uint64_t fail_call;  // 0: no failure
        bool eof;
        const char* message;
    };
    const std::vector<Case> cases = {
        {false, 0, 0, false, nullptr},
        {true, 0, 0, false, nullptr},
        {false, 7, 0, false, nullptr},
        {true, 7, 0, false, nullptr},
        {false, 0, 3, false, "read_ranges callback failed"},
        {true, 7, 20, false, "read_ranges callback failed"},
        {true, 0, 2, true, "DiskANN paged section is truncated"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "shared " << c.shared << " max ranges " << c.max_ranges << " fail call "
                                        << c.fail_call);
        CountingFile file(kWindows, c.max_ranges);
        TestSharedCache shared_cache;
        SharedWindowCacheView* shared = c.shared ? &shared_cache : nullptr;
        std::vector<ReadWindow> windows;
        for (uint64_t i = 0; i < kWindows; ++i) windows.push_back({kSectionOffset + i * 4096, 4096});
        auto s = DiskAnnQueryScratch::create();
        if (c.fail_call != 0) {
            file.fail_call(c.fail_call, c.eof);
            expect_error(
                [&] { load_vector_windows(windows, shared, file, s->vector_cache, s->buffer_pool, s->load_work, true); },
                c.eof ? ErrorKind::InvalidData : ErrorKind::Other, c.message);
            EXPECT_EQ(shared_cache.pending(), 0u);
            EXPECT_EQ(s->vector_cache.len(), 0u);
            file.fail_call(0, false);
        }
        const size_t calls_before = file.calls().size();
        const auto r = load_vector_windows(windows, shared, file, s->vector_cache, s->buffer_pool, s->load_work, true);
        EXPECT_EQ(r.windows_found, 0u);
        EXPECT_EQ(r.windows_read, kWindows);
        const size_t calls = file.calls().size() - calls_before;
        EXPECT_GE(calls, (kWindows + kParallelReadWindows - 1) / kParallelReadWindows);
        if (c.max_ranges != 0) {
            EXPECT_GE(calls, (kWindows + c.max_ranges - 1) / c.max_ranges);
        }
        if (c.fail_call == 0) {
            const auto reads = file.reads_per_offset();
            ASSERT_EQ(reads.size(), kWindows);
            for (const auto& [offset, n] : reads) EXPECT_EQ(n, 1) << offset;
        }
        ASSERT_EQ(s->vector_cache.len(), kWindows);
        for (uint64_t i = 0; i < kWindows; ++i) {
            const auto bytes = s->vector_cache.get(windows[i]);
            ASSERT_TRUE(bytes.has_value());
            ASSERT_EQ(bytes->size(), 4096u);
            const uint8_t want = static_cast<uint8_t>(i * 7 + 1);
            ASSERT_TRUE(std::all_of(bytes->begin(), bytes->end(), [&](uint8_t b) { return b == want; })) << i;
        }
    }
}

}  // namespace

// A load with many missing windows looks them up in the shared cache shard by
// shard on the pool. The shards share nothing, so every shard must end as one
// loop over the windows leaves it: the same windows in the same recency
// order, hence the same evictions later, and the same counts. A lookup that
// fails leaves no reservation behind, in any shard, and the next load works.
TEST(LoadVectorWindows, ShardedLookupsOnThePoolLeaveWhatOneLoopLeaves) {
    using tavren::diskann_io::SharedCacheView;
    using tavren::diskann_io::SharedWindowCache;
    constexpr uint64_t kWindows = 400;
    // Room for about 300 windows: later publications evict.
    constexpr uint64_t kCapacity = 300 * 4096;
    std::vector<ReadWindow> all;
    for (uint64_t i = 0; i < kWindows; ++i) all.push_back({kSectionOffset + i * 4096, 4096});
    std::vector<ReadWindow> second(all.begin() + 100, all.end());
    std::vector<ReadWindow> third;
    for (uint64_t i = 0; i < kWindows; i += 3) third.push_back(all[i]);

    struct Outcome {
        std::vector<std::array<uint64_t, 3>> counts;
        std::vector<std::vector<uint64_t>> lru;
        std::map<uint64_t, int> reads;
    };
    const auto run = [&](bool parallel) {
        tavren::testing::PoolGuard threads(parallel ? 4 : 1);
        CountingFile file(kWindows, 0);
        SharedWindowCache cache(kCapacity);
        EXPECT_GT(cache.shard_count(), 1u);
        SharedCacheView view(cache);
        Outcome out;
        for (const auto* windows : {&all, &second, &third, &all}) {
            auto s = DiskAnnQueryScratch::create();
            const auto r = load_vector_windows(*windows, &view, file, s->vector_cache, s->buffer_pool, s->load_work,
                                               parallel);
            out.counts.push_back({r.windows_found, r.windows_read, r.shared_evictions});
            for (const ReadWindow& w : *windows) EXPECT_TRUE(s->vector_cache.get(w).has_value());
        }
        for (size_t shard = 0; shard < cache.shard_count(); ++shard) {
            const auto snap = cache.snapshot(shard);
            EXPECT_EQ(snap.pending, 0u);
            out.lru.push_back(snap.lru_order);
        }
        out.reads = file.reads_per_offset();
        return out;
    };
    const Outcome serial = run(false);
    const Outcome pooled = run(true);
    EXPECT_EQ(pooled.counts, serial.counts);
    EXPECT_EQ(pooled.lru, serial.lru);
    EXPECT_EQ(pooled.reads, serial.reads);
    // The runs evicted and read again, so the recency order mattered.
    uint64_t evictions = 0;
    for (const auto& c : serial.counts) evictions += c[2];
    EXPECT_GT(evictions, 0u);

    // A lookup that fails in one shard while the other shards reserve.
    class FailingView final : public SharedWindowCacheView {
    public:
        FailingView(SharedCacheView& inner, uint64_t bad) : inner_(inner), bad_(bad) {}
        SharedLookup lookup_or_reserve(uint64_t offset, uint64_t len) override {
            if (offset == bad_) tavren::invalid_data("DiskANN shared window cache state is poisoned");
            return inner_.lookup_or_reserve(offset, len);
        }
        SharedPublish publish(uint64_t offset, SharedWindow w) override { return inner_.publish(offset, std::move(w)); }
        LockWait cancel(std::span<const uint64_t> offsets) override { return inner_.cancel(offsets); }
        SharedWaitResult wait_for(uint64_t offset, uint64_t len) override { return inner_.wait_for(offset, len); }
        size_t shard_count() const noexcept override { return inner_.shard_count(); }
        size_t shard_of(uint64_t offset) const noexcept override { return inner_.shard_of(offset); }

    private:
        SharedCacheView& inner_;
        uint64_t bad_;
    };
    tavren::testing::PoolGuard threads(4);
    CountingFile file(kWindows, 0);
    SharedWindowCache cache(kCapacity);
    SharedCacheView view(cache);
    FailingView failing(view, all[250].offset);
    auto s = DiskAnnQueryScratch::create();
    expect_error([&] { load_vector_windows(all, &failing, file, s->vector_cache, s->buffer_pool, s->load_work, true); },
                 ErrorKind::InvalidData, "DiskANN shared window cache state is poisoned");
    uint64_t pending = 0;
    for (size_t shard = 0; shard < cache.shard_count(); ++shard) pending += cache.snapshot(shard).pending;
    // A reservation left behind would make the next load wait for ever.
    ASSERT_EQ(pending, 0u);
    EXPECT_EQ(file.calls().size(), 0u);
    const auto r = load_vector_windows(all, &view, file, s->vector_cache, s->buffer_pool, s->load_work, true);
    EXPECT_EQ(r.windows_read, kWindows);
}
