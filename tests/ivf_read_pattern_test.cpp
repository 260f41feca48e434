// The host calls and ranges of IVF-FLAT searches, against a recorded
// expectation: batched reads within the range cap, a list above the stream
// threshold streamed alone (its IDs read at once, or piece by piece with its
// row chunks), every probed list read once per batch, and the same calls
// whatever the pool size. A change in how lists are planned, loaded or
// walked that moves a single byte shows up here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "guards.hpp"
#include "ivfflat_file_builder.hpp"
#include "ivfflat_io.hpp"
#include "memory_source.hpp"

namespace {

using tavren::ivfflat_io::IVFFlatIndexReader;
using tavren::ivfflat_io::ReadBudgets;
using tavren::testing::IvfFlatFileBuilder;
using tavren::testing::MemorySource;
using tavren::testing::calls_after;
using tavren::testing::open_flat_reader;
using tavren::testing::PoolGuard;
namespace ivf = tavren::ivfflat_io;

// Eight lists of d = 4 with 0, 3, 40, 1, 0, 7, 250 and 5 rows; list l's
// centroid at (l, 0, 0, 0) and its rows near it.
IvfFlatFileBuilder pattern_file() {
    IvfFlatFileBuilder file(4, 8, 0);
    const size_t rows[8] = {0, 3, 40, 1, 0, 7, 250, 5};
    for (size_t l = 0; l < 8; ++l) {
        file.centroids[l * 4] = static_cast<float>(l);
        for (size_t j = 0; j < rows[l]; ++j) {
            const float jitter = static_cast<float>((j * 37) % 11) / 100.0f;
            const float row[4] = {static_cast<float>(l) + jitter, jitter, -jitter, static_cast<float>(j % 3)};
            file.add(l, static_cast<int64_t>(l * 1000 + j * 3), row);
        }
    }
    return file;
}

struct Case {
    const char* name;
    ReadBudgets budgets;
    std::string want_batch;   // the batch of 5 queries over all 8 lists
    std::string want_single;  // one query, nprobe 3
};

TEST(IvfReadPattern, BatchAndSingleSearchesReadTheRecordedRanges) {
    PoolGuard pool(2);
    const std::vector<uint8_t> bytes = pattern_file().build();
    ReadBudgets streamed;  // list 6 (250 rows) is streamed, its IDs at once
    streamed.stream_threshold = 1024;
    streamed.chunk_budget = 2000 + 250 * 8;
    ReadBudgets windowed = streamed;  // ... and its IDs piece by piece
    windowed.id_block_budget = 64;
    windowed.id_window_bytes = 100;
    const Case cases[] = {
        {"default budgets", ReadBudgets{},
         "1235+4262,1104+131,5497+97 | 1075+29,383+692,320+63",  //
         "1235+4262,1104+131,5497+97"},
        {"streamed", streamed,
         "1235+262 | 1497+2000 | 3497+2000 | 1104+131,5497+97,1075+29 | 383+692,320+63",
         "1235+262 | 1497+2000 | 3497+2000 | 1104+131,5497+97"},
        {"windowed", windowed,
         "1235+12 | 1247+100 | 1347+100 | 1497+2592 | 1447+50 | 4089+1408 | 1104+131,5497+97,1075+29 | "
         "383+692,320+63",
         "1235+12 | 1247+100 | 1347+100 | 1497+2592 | 1447+50 | 4089+1408 | 1104+131,5497+97"},
    };
    const float queries[5 * 4] = {6.0f, 0, 0, 0, 2.1f, 0, 0, 1, 0.2f, 0, 0, 0, 5.0f, 0.1f, 0, 2, 3.5f, 0, 0, 0};
    for (const Case& c : cases) {
        MemorySource::Options options;
        options.max_ranges_per_call = 3;
        MemorySource::Observer observer;
        IVFFlatIndexReader r = open_flat_reader(bytes, options, &observer);
        r.set_read_budgets_for_testing(c.budgets);
        r.ensure_loaded();
        const size_t metadata_calls = observer.stats().log.size();
        (void)ivf::search_batch_ivfflat_reader_filter_range(r, queries, 5, 4, 0, 8, {}, {}, nullptr);
        const std::string batch = calls_after(observer.stats(), metadata_calls);
        const size_t after_batch = observer.stats().log.size();
        (void)r.search_with_filter(std::span<const float>(queries, 4), 4, 3, nullptr);
        const std::string single = calls_after(observer.stats(), after_batch);
        EXPECT_EQ(batch, c.want_batch) << c.name;
        EXPECT_EQ(single, c.want_single) << c.name;
    }
}

// A batch whose lists take several batched reads, each scanned on the pool:
// pools of 2 and 8 threads make the host calls of a pool of one thread, in
// the same order, give the same bits, and keep one read arena (the same
// scratch). Cases: plain batched reads; some lists streamed between
// batches; a failing read (the same error after the same calls).
TEST(IvfReadPattern, BatchReadsAreTheSameAtEveryPoolSize) {
    std::mt19937 rng(7);
    const size_t d = 32, nlist = 24, nq = 40;
    const tavren::testing::IvfFlatFileBuilder file = tavren::testing::random_flat_file(d, nlist, 24 * 400, 0, rng, 0);
    const std::vector<uint8_t> bytes = file.build();
    std::vector<float> queries(nq * d);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    for (float& v : queries) v = unit(rng);

    // Streams the third of the lists with the largest payloads.
    std::vector<uint64_t> lens = file.layout().payload_len;
    std::sort(lens.begin(), lens.end());
    ReadBudgets streamed;
    streamed.stream_threshold = lens[nlist * 2 / 3];

    struct Run {
        std::string calls;
        tavren::SearchResult result;
        std::string error;
        size_t scratch = 0;
    };
    auto run = [&](size_t threads, const ReadBudgets& budgets, std::optional<uint64_t> fail_on_call) {
        PoolGuard pool(threads);
        MemorySource::Options options;
        options.max_ranges_per_call = 3;  // eight batched reads for all 24 lists
        options.fail_on_call = fail_on_call;
        MemorySource::Observer observer;
        IVFFlatIndexReader r = open_flat_reader(bytes, options, &observer);
        r.set_read_budgets_for_testing(budgets);
        Run out;
        try {
            out.result =
                ivf::search_batch_ivfflat_reader_filter_range(r, queries, nq, 10, 0, nlist, {}, {}, nullptr);
        } catch (const tavren::Error& e) {
            out.error = e.what();
        }
        out.calls = calls_after(observer.stats(), 0);
        out.scratch = r.scratch_bytes();
        return out;
    };
    struct Case {
        const char* name;
        ReadBudgets budgets;
        std::optional<uint64_t> fail_on_call;
    };
    const Case cases[] = {
        {"batched", ReadBudgets{}, std::nullopt},
        {"streamed between batches", streamed, std::nullopt},
        {"fourth call fails", ReadBudgets{}, uint64_t{4}},
    };
    for (const Case& c : cases) {
        const Run serial = run(1, c.budgets, c.fail_on_call);
        for (size_t threads : {size_t{2}, size_t{8}}) {
            const Run pooled = run(threads, c.budgets, c.fail_on_call);
            EXPECT_EQ(pooled.calls, serial.calls) << c.name << ", " << threads << " threads";
            EXPECT_EQ(pooled.error, serial.error) << c.name;
            EXPECT_EQ(pooled.result.ids, serial.result.ids) << c.name;
            EXPECT_EQ(pooled.result.distances, serial.result.distances) << c.name;
            // One read arena whatever the pool size: nothing is read while
            // another batch is still held for its scan.
            EXPECT_EQ(pooled.scratch, serial.scratch) << c.name << ", " << threads << " threads";
        }
        if (c.fail_on_call) {
            EXPECT_NE(serial.error, "") << c.name;
        } else {
            EXPECT_EQ(serial.error, "") << c.name;
            EXPECT_EQ(serial.result.ids.size(), nq * 10);
        }
    }
}

}  // namespace
