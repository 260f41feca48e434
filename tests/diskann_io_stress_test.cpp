// Many threads on one shared window cache and one page validation cache, as
// reader clones use them during a parallel batch: reserve, read, publish,
// cancel, wait, readers that throw between reserve and publish, capacity 0,
// stale lengths, capacity changes; claims, waits and dropped claims. Built for
// ThreadSanitizer too (scripts/tsan-check). Every scenario runs under a
// watchdog: a hang aborts the process instead of stalling the suite. Last,
// DiskANN batches whose rerank spans several window chunks, so that the pool
// scores one chunk while the caller loads the next, from several host threads.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <random>
#include <thread>
#include <vector>

#include "diskann_built_index.hpp"
#include "diskann_io.hpp"
#include "guards.hpp"
#include "memory_source.hpp"

namespace {

using namespace tavren;
using namespace tavren::diskann_io;

constexpr auto kWatchdog = std::chrono::seconds(120);

// Runs `threads` copies of body(thread index) and fails the process if they
// do not all finish within the watchdog time.
template <class Body>
void run_threads(size_t threads, Body body) {
    auto all = std::async(std::launch::async, [&] {
        std::vector<std::thread> pool;
        for (size_t t = 0; t < threads; ++t) pool.emplace_back([&, t] { body(t); });
        for (std::thread& th : pool) th.join();
    });
    if (all.wait_for(kWatchdog) != std::future_status::ready) {
        std::fprintf(stderr, "stress scenario did not finish within the watchdog time: a waiter hangs\n");
        std::abort();
    }
    all.get();
}

// The bytes a window of (offset, length) must hold.
uint8_t fill_of(uint64_t offset, uint64_t length) { return static_cast<uint8_t>((offset / 4096) * 31 + length); }

struct ReadFailure {};

struct CacheScenario {
    uint64_t capacity;
    size_t threads;
    size_t iterations;
    bool resize;
};

void window_cache_scenario(const CacheScenario& sc) {
    SharedWindowCache cache(sc.capacity);
    constexpr uint64_t kPages = 24;
    std::atomic<uint64_t> hits{0}, published{0}, failures{0}, waited{0};
    std::atomic<bool> bad_content{false};
    run_threads(sc.threads, [&](size_t t) {
        std::mt19937_64 rng(1234 + t);
        for (size_t it = 0; it < sc.iterations; ++it) {
            if (sc.resize && t == 0 && it % 64 == 0) cache.set_total_capacity((it / 64) % 3 == 0 ? 0 : sc.capacity);
            // A batch of up to four windows, as one beam round reads them.
            const size_t count = 1 + rng() % 4;
            struct Need {
                uint64_t offset;
                uint64_t length;
            };
            std::vector<Need> needs;
            for (size_t i = 0; i < count; ++i) {
                const uint64_t page = rng() % kPages;
                // Mostly one length per page; sometimes another (stale entries).
                const uint64_t length = (rng() % 8 == 0) ? 2048 : 4096;
                needs.push_back({page * 4096, length});
            }
            std::vector<Need> to_wait;
            try {
                std::vector<std::pair<WindowReservation, uint64_t>> reserved;
                for (const Need& n : needs) {
                    SharedWindowLookup l = cache.lookup_or_reserve(n.offset, n.length);
                    switch (l.kind) {
                        case SharedWindowLookup::Kind::Hit:
                            if (l.window->size() != n.length || (*l.window)[0] != fill_of(n.offset, n.length)) {
                                bad_content = true;
                            }
                            ++hits;
                            break;
                        case SharedWindowLookup::Kind::Reserved:
                            reserved.emplace_back(std::move(l.reservation), n.length);
                            break;
                        case SharedWindowLookup::Kind::Wait:
                            to_wait.push_back(n);
                            break;
                    }
                }
                for (auto& [reservation, length] : reserved) {
                    const uint64_t roll = rng() % 10;
                    if (roll == 0) throw ReadFailure{};  // the read throws: every reservation still held cancels
                    if (roll == 1) {
                        (void)reservation.cancel();  // a returned read error
                        continue;
                    }
                    auto w = std::make_shared<std::vector<uint8_t>>(length,
                                                                    fill_of(reservation.offset(), length));
                    if (roll == 2) std::this_thread::yield();
                    (void)reservation.publish(std::move(w));
                    ++published;
                }
            } catch (const ReadFailure&) {
                ++failures;
                continue;  // nothing reserved is waited for; the waits of this batch are dropped
            }
            // Waits last, after every own reservation is settled.
            for (const Need& n : to_wait) {
                for (int attempt = 0; attempt < 1000; ++attempt) {
                    WindowWaitResult r = cache.wait_for(n.offset, n.length);
                    if (r.window) {
                        if ((*r.window)[0] != fill_of(n.offset, n.length)) bad_content = true;
                        ++waited;
                        break;
                    }
                    SharedWindowLookup l = cache.lookup_or_reserve(n.offset, n.length);
                    if (l.kind == SharedWindowLookup::Kind::Hit) break;
                    if (l.kind == SharedWindowLookup::Kind::Reserved) {
                        (void)l.reservation.publish(std::make_shared<std::vector<uint8_t>>(
                            n.length, fill_of(n.offset, n.length)));
                        break;
                    }
                }
            }
        }
    });
    EXPECT_FALSE(bad_content.load());
    EXPECT_GT(published.load(), 0u);
    EXPECT_GT(failures.load(), 0u);
    if (sc.resize) cache.set_total_capacity(sc.capacity);
    for (size_t s = 0; s < cache.shard_count(); ++s) {
        const SharedWindowCache::ShardSnapshot snap = cache.snapshot(s);
        EXPECT_EQ(snap.pending, 0u) << "shard " << s;  // no reservation outlived its owner
        EXPECT_LE(snap.resident_bytes, snap.capacity) << "shard " << s;
        EXPECT_EQ(snap.windows, snap.lru_order.size());
    }
}

TEST(DiskAnnWindowCacheStress, ManyThreadsOneShard) {
    window_cache_scenario({3 * 4096, 8, 3000, false});
}

TEST(DiskAnnWindowCacheStress, CapacityZero) { window_cache_scenario({0, 8, 2000, false}); }

TEST(DiskAnnWindowCacheStress, SixteenShardsWithResizing) {
    window_cache_scenario({1048576, 8, 3000, true});
}

TEST(DiskAnnWindowCacheStress, ThrowingReaderWakesEveryWaiter) {
    // One reader reserves and then throws; waiters already asleep must wake
    // and either find the window (a later reader) or reserve it themselves.
    for (int round = 0; round < 200; ++round) {
        SharedWindowCache cache(1 << 20);
        SharedWindowLookup first = cache.lookup_or_reserve(0, 64);
        ASSERT_EQ(first.kind, SharedWindowLookup::Kind::Reserved);
        std::atomic<int> ready{0}, served{0};
        std::thread owner([&, r = std::move(first.reservation)]() mutable {
            while (ready.load() < 3) std::this_thread::yield();
            try {
                WindowReservation held = std::move(r);
                throw ReadFailure{};
            } catch (const ReadFailure&) {
            }
        });
        run_threads(3, [&](size_t) {
            SharedWindowLookup l = cache.lookup_or_reserve(0, 64);
            ++ready;
            if (l.kind == SharedWindowLookup::Kind::Wait) {
                if (!cache.wait_for(0, 64).window) l = cache.lookup_or_reserve(0, 64);
            }
            if (l.kind == SharedWindowLookup::Kind::Reserved) {
                (void)l.reservation.publish(std::make_shared<std::vector<uint8_t>>(64, 1));
            }
            ++served;
        });
        owner.join();
        EXPECT_EQ(served.load(), 3);
        EXPECT_EQ(cache.snapshot(0).pending, 0u);
    }
}

struct CheckFault {};

TEST(DiskAnnValidationCacheStress, ClaimWaitAndDroppedClaims) {
    constexpr uint64_t kPages = 96;
    for (int round = 0; round < 10; ++round) {
        AdjacencyValidationCache cache(kPages);
        std::vector<std::atomic<int>> checks(kPages);
        std::vector<std::atomic<bool>> faulted(kPages);
        std::atomic<bool> wrong{false};
        run_threads(8, [&](size_t t) {
            std::mt19937_64 rng(99 + t + 1000 * round);
            for (int pass = 0; pass < 3; ++pass) {
                for (uint64_t i = 0; i < kPages; ++i) {
                    const uint64_t p = (i * 37 + rng() % kPages) % kPages;
                    try {
                        cache.validate_once(p, [&] {
                            ++checks[p];
                            // Pages 1 mod 5: the first check unwinds with a
                            // non-Error, dropping its claim unpublished.
                            if (p % 5 == 1 && !faulted[p].exchange(true)) throw CheckFault{};
                            if (p % 7 == 3) invalid_data("page {} is corrupt", p);
                        });
                        if (p % 7 == 3) wrong = true;
                    } catch (const Error& e) {
                        if (p % 7 != 3 || e.message() != fmt::format("page {} is corrupt", p)) wrong = true;
                    } catch (const CheckFault&) {
                    }
                }
            }
        });
        EXPECT_FALSE(wrong.load());
        // A page whose faulting check came last is unchecked again; one more
        // sequential pass settles every page.
        for (uint64_t p = 0; p < kPages; ++p) {
            try {
                cache.validate_once(p, [&] {
                    ++checks[p];
                    if (p % 7 == 3) invalid_data("page {} is corrupt", p);
                });
            } catch (const Error&) {
            }
        }
        for (uint64_t p = 0; p < kPages; ++p) {
            const int expected = (p % 5 == 1) ? 2 : 1;
            EXPECT_EQ(checks[p].load(), expected) << p;
            EXPECT_EQ(cache.state(p),
                      p % 7 == 3 ? AdjacencyValidationCache::kInvalid : AdjacencyValidationCache::kValid);
        }
    }
}

// Three host threads, each with its own reader of one file (the shared
// caches are per reader), batch-search on a pool of eight: each batch needs
// more than 1,024 raw-vector windows, so the rerank works in two chunks and
// loads the second while the pool scores the first. Budgets that hold every
// window and budgets that do not (the rerank then goes one chunk at a time
// part way) alternate. Every batch must equal the single searches made first.
TEST(DiskAnnStreamingRerankStress, WindowChunksFromSeveralHostThreads) {
    constexpr size_t kN = 2600;
    constexpr size_t kD = 512;  // 2048-byte records, two per 4096-byte window
    const tavren::testing::BuiltDiskAnn b = tavren::testing::build_diskann_index(kN, kD, 0, diskann::StorageLayout::Compact,
                                                                 diskann::RawVectorEncoding::F32, 8, 5, 8);
    std::vector<float> q;
    for (size_t i = 0; i < kN; i += 5) q.insert(q.end(), b.rows.begin() + i * kD, b.rows.begin() + (i + 1) * kD);
    tavren::testing::PoolGuard pool_size(8);
    tavren::testing::MemorySource::Options source_options;
    source_options.read_latency_ns = 1000;  // the memory profile
    source_options.keep_log = false;
    const auto open = [&](uint64_t vector_budget) {
        read_options::VectorIndexReaderOptions options;
        if (vector_budget != 0) {
            read_options::CacheBudgets budgets;
            budgets.memory_budget_bytes = uint64_t{1} << 30;
            budgets.vector_cache_bytes = vector_budget;
            options.explicit_cache_budgets = budgets;
        }
        return DiskAnnIndexReader::open_with_options(std::make_shared<tavren::testing::MemorySource>(b.bytes, source_options),
                                                     options);
    };
    std::vector<int64_t> want_ids;
    std::vector<float> want_dist;
    {
        DiskAnnIndexReader reader = open(0);
        std::vector<int64_t> ids;
        std::vector<float> dist;
        for (size_t at = 0; at < q.size(); at += kD) {
            reader.search(std::span<const float>(q).subspan(at, kD), 10, 100, ids, dist);
            want_ids.insert(want_ids.end(), ids.begin(), ids.end());
            want_dist.insert(want_dist.end(), dist.begin(), dist.end());
        }
    }
    std::atomic<int> wrong{0};
    std::atomic<uint64_t> chunks{0};
    run_threads(3, [&](size_t t) {
        // 0: the default budgets; 1100 windows hold the first chunk only.
        DiskAnnIndexReader reader = open(t == 1 ? 1100 * 4096 : 0);
        std::vector<int64_t> ids;
        std::vector<float> dist;
        for (int round = 0; round < 3; ++round) {
            reader.search_batch(q, 10, 100, ids, dist);
            chunks += reader.stats().rerank_window_batches;
            if (ids != want_ids || dist.size() != want_dist.size() ||
                std::memcmp(dist.data(), want_dist.data(), dist.size() * sizeof(float)) != 0) {
                ++wrong;
            }
        }
    });
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(chunks.load(), 9u * 2u);
}

}  // namespace
