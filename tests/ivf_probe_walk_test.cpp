// The engine's hooks for families with their own payload layout, heap and
// statistics, driven by a toy family: payloads of
//   [u32 count][count x i64 row IDs][count code bytes][count f32 side values]
// scored as |code - query[0]| + side. Checks the store's planning and reads
// for a layout (groups, range cap, read pieces, budgets, alignment, faults)
// and walk_probes (results equal an exhaustive pass, batch equals single,
// the lone query's parallel switch and pre-scan, counters, pool sizes).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "error.hpp"
#include "expect.hpp"
#include "guards.hpp"
#include "ivf_lists.hpp"
#include "ivf_search.hpp"
#include "kmeans.hpp"
#include "memory_source.hpp"
#include "numeric.hpp"

namespace {

using tavren::ErrorKind;
using tavren::ivf_lists::ListPayloadLayout;
using tavren::ivf_lists::ListStore;
using tavren::ivf_lists::ListView;
using tavren::testing::MemorySource;
using tavren::testing::PoolGuard;
using tavren::topk::TopKHeap;
namespace ivf_search = tavren::ivf_search;

// A file of toy payloads, one per list, laid one after the other from byte 0.
struct ToyFile {
    std::vector<uint8_t> bytes;
    std::vector<uint64_t> offsets;
    std::vector<uint64_t> lens;  // 0 for an empty list
    std::vector<std::vector<int64_t>> ids;
    std::vector<std::vector<uint8_t>> codes;
    std::vector<std::vector<float>> side;
};

ToyFile make_toy(const std::vector<size_t>& rows, uint32_t seed) {
    ToyFile f;
    std::mt19937 gen(seed);
    for (size_t l = 0; l < rows.size(); ++l) {
        const size_t n = rows[l];
        f.ids.emplace_back();
        f.codes.emplace_back();
        f.side.emplace_back();
        f.offsets.push_back(f.bytes.size());
        if (n == 0) {
            f.lens.push_back(0);
            continue;
        }
        const uint32_t count = static_cast<uint32_t>(n);
        const auto put = [&](const void* p, size_t len) {
            f.bytes.insert(f.bytes.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + len);
        };
        put(&count, 4);
        for (size_t j = 0; j < n; ++j) {
            f.ids[l].push_back(static_cast<int64_t>(l * 1000 + j));
            put(&f.ids[l].back(), 8);
        }
        for (size_t j = 0; j < n; ++j) {
            f.codes[l].push_back(static_cast<uint8_t>(gen() % 200));
            put(&f.codes[l].back(), 1);
        }
        for (size_t j = 0; j < n; ++j) {
            f.side[l].push_back(static_cast<float>(gen() % 16) * 0.25f);
            put(&f.side[l].back(), 4);
        }
        f.lens.push_back(4 + 13 * n);
    }
    return f;
}

class ToyLayout final : public ListPayloadLayout {
public:
    ToyLayout(const ToyFile& f, uint64_t budget, uint64_t piece) : f_(f), budget_(budget), piece_(piece) {}
    uint64_t payload_len(size_t list) const override {
        if (list >= f_.lens.size()) tavren::invalid_input("toy list {} out of range", list);
        return f_.lens[list];
    }
    uint64_t payload_offset(size_t list) const override { return f_.offsets[list]; }
    uint64_t code_start(size_t list) const override { return 4 + 8 * f_.ids[list].size(); }
    void admit_group(uint64_t bytes) const override {
        admitted.push_back(bytes);
        if (bytes > budget_) tavren::invalid_input("toy group of {} bytes over budget", bytes);
    }
    uint64_t read_piece() const override { return piece_; }
    uint64_t max_rows(size_t list) const override { return f_.ids[list].size(); }
    void parse(size_t list, std::span<const uint8_t> payload, std::vector<int64_t>& ids,
               ListView& view) const override {
        uint32_t count = 0;
        std::memcpy(&count, payload.data(), 4);
        if (count != f_.ids[list].size()) tavren::invalid_data("toy count mismatch in list {}", list);
        for (size_t j = 0; j < count; ++j) {
            int64_t id = 0;
            std::memcpy(&id, payload.data() + 4 + 8 * j, 8);
            ids.push_back(id);
        }
        view.codes = payload.subspan(4 + 8 * count, count);
        view.side = payload.subspan(4 + 9 * count);
    }
    mutable std::vector<uint64_t> admitted;

private:
    const ToyFile& f_;
    uint64_t budget_;
    uint64_t piece_;
};

void expect_views_match(const ToyFile& f, std::span<const size_t> lists, std::span<const ListView> views) {
    ASSERT_EQ(views.size(), lists.size());
    for (size_t s = 0; s < lists.size(); ++s) {
        const size_t l = lists[s];
        EXPECT_EQ(views[s].list, l);
        ASSERT_EQ(views[s].ids.size(), f.ids[l].size()) << "list " << l;
        EXPECT_TRUE(std::equal(views[s].ids.begin(), views[s].ids.end(), f.ids[l].begin()));
        ASSERT_EQ(views[s].codes.size(), f.codes[l].size());
        EXPECT_TRUE(std::equal(views[s].codes.begin(), views[s].codes.end(), f.codes[l].begin()));
        ASSERT_EQ(views[s].side.size(), 4 * f.side[l].size());
        if (!views[s].side.empty()) {
            EXPECT_EQ(std::memcmp(views[s].side.data(), f.side[l].data(), views[s].side.size()), 0);
        }
    }
}

TEST(IvfLayoutStore, GroupsReadsPiecesBudgetAndAlignment) {
    const ToyFile f = make_toy({3, 0, 70, 1, 5, 200, 0, 9}, 1);
    struct Case {
        const char* name;
        uint64_t max_ranges;
        uint64_t piece;
        size_t want_calls;  // host calls for all eight lists
    };
    const Case cases[] = {
        {"one call", 0, tavren::index_io_util::kReadBudgetBytes, 1},
        {"range cap 2", 2, tavren::index_io_util::kReadBudgetBytes, 3},
        // Lists 2 (914 bytes) and 5 (2604) read alone in pieces of 500
        // bytes (2 + 6 calls), then the rest in one batched call.
        {"pieces of 500", 0, 500, 9},
    };
    const std::vector<size_t> all = {0, 1, 2, 3, 4, 5, 6, 7};
    for (const Case& c : cases) {
        MemorySource::Options options;
        options.max_ranges_per_call = c.max_ranges;
        MemorySource::Observer observer;
        const std::unique_ptr<tavren::io::SeekRead> input = MemorySource::make(f.bytes, options, &observer);
        ToyLayout layout(f, uint64_t{1} << 30, c.piece);
        ListStore store(tavren::ivf_lists::ListFormat{"TOY", 1, 1, false}, 8);
        size_t p = 0;
        while (p < all.size()) {
            const std::span<const size_t> rest = std::span<const size_t>(all).subspan(p);
            const size_t end = store.batch_read_end(*input, rest, layout);
            ASSERT_GE(end, 1u);
            const std::span<const ListView> views = store.read_views(*input, rest.subspan(0, end), layout);
            expect_views_match(f, rest.subspan(0, end), views);
            for (const ListView& v : views) {
                // Codes of batched payloads start on a cache line.
                if (!v.ids.empty() && f.lens[v.list] <= c.piece) {
                    EXPECT_EQ(reinterpret_cast<uintptr_t>(v.codes.data()) % 64, 0u) << c.name;
                }
            }
            p += end;
        }
        const tavren::testing::SourceStats stats = observer.stats();
        EXPECT_EQ(stats.calls, c.want_calls) << c.name;
        EXPECT_EQ(stats.cap_violations, 0u) << c.name;
        uint64_t payload = 0;
        for (uint64_t len : f.lens) payload += len;
        EXPECT_EQ(stats.bytes, payload) << c.name;
    }
}

TEST(IvfLayoutStore, BudgetAndParseFaultsStopTheGroup) {
    const ToyFile f = make_toy({3, 4, 5}, 2);
    const std::vector<size_t> all = {0, 1, 2};
    {
        MemorySource::Observer observer;
        const std::unique_ptr<tavren::io::SeekRead> input = MemorySource::make(f.bytes, {}, &observer);
        ToyLayout layout(f, 100, tavren::index_io_util::kReadBudgetBytes);
        ListStore store(tavren::ivf_lists::ListFormat{"TOY", 1, 1, false}, 3);
        tavren::testing::expect_error([&] { store.read_views(*input, all, layout); }, ErrorKind::InvalidInput,
                                      "toy group of 168 bytes over budget");
        EXPECT_EQ(observer.stats().calls, 0u);  // refused before any read
    }
    {
        std::vector<uint8_t> bad = f.bytes;
        bad[f.offsets[1]] = 9;  // list 1 claims 9 rows
        const std::unique_ptr<tavren::io::SeekRead> input = MemorySource::make(bad, {}, nullptr);
        ToyLayout layout(f, uint64_t{1} << 30, tavren::index_io_util::kReadBudgetBytes);
        ListStore store(tavren::ivf_lists::ListFormat{"TOY", 1, 1, false}, 3);
        tavren::testing::expect_error([&] { store.read_views(*input, all, layout); }, ErrorKind::InvalidData,
                                      "toy count mismatch in list 1");
    }
    {
        const std::unique_ptr<tavren::io::SeekRead> input = MemorySource::make(f.bytes, {}, nullptr);
        ToyLayout layout(f, uint64_t{1} << 30, tavren::index_io_util::kReadBudgetBytes);
        ListStore store(tavren::ivf_lists::ListFormat{"TOY", 1, 1, false}, 3);
        const size_t out_of_range[1] = {7};
        tavren::testing::expect_error([&] { store.batch_read_end(*input, out_of_range, layout); },
                                      ErrorKind::InvalidInput, "toy list 7 out of range");
    }
}

// ---- walk_probes ---------------------------------------------------------------------------

struct ToyStats {
    uint64_t rows = 0;
    uint64_t prescans = 0;
    uint64_t parallel_lists = 0;
    void add(const ToyStats& o) {
        rows += o.rows;
        prescans += o.prescans;
        parallel_lists += o.parallel_lists;
    }
    void count_prescan() { ++prescans; }
    void count_parallel_lists(uint64_t n) { parallel_lists += n; }
};

struct ToyScanner {
    struct Work {
        float x = 0.0f;
    };
    using Stats = ToyStats;
    uint64_t parallel = 8192;
    size_t prescan = 32;
    void prepare(Work& w, std::span<const float> q) const { w.x = q[0]; }
    void scan(const Work& w, const ListView& v, float probe_distance, const tavren::row_id_filter::RowIdFilter* filter,
              TopKHeap& heap, Stats& stats, size_t limit) const {
        (void)filter;
        (void)probe_distance;
        const size_t n = std::min(limit, v.ids.size());
        for (size_t j = 0; j < n; ++j) {
            float side = 0.0f;
            std::memcpy(&side, v.side.data() + 4 * j, 4);
            heap.push(v.ids[j], std::fabs(static_cast<float>(v.codes[j]) - w.x) + side);
        }
        stats.rows += n;
    }
    uint64_t parallel_rows() const { return parallel; }
    size_t prescan_rows() const { return prescan; }
};

static_assert(ivf_search::ProbeScanner<ToyScanner, TopKHeap>);

struct WalkResult {
    std::vector<std::vector<std::pair<float, int64_t>>> results;
    ToyStats stats;
};

// Lists are probed in the order given per query (the toy has no centroids).
WalkResult walk(const ToyFile& f, const ToyScanner& scanner, const std::vector<float>& queries,
                const std::vector<std::vector<size_t>>& probe_lists, size_t k, size_t probe_start = 0) {
    const std::unique_ptr<tavren::io::SeekRead> input = MemorySource::make(f.bytes, {}, nullptr);
    ToyLayout layout(f, uint64_t{1} << 30, tavren::index_io_util::kReadBudgetBytes);
    ListStore store(tavren::ivf_lists::ListFormat{"TOY", 1, 1, false}, f.lens.size());
    tavren::kmeans::TopKBatch probes;
    probes.lists = probe_lists;
    for (const auto& l : probe_lists) probes.distances.emplace_back(l.size(), 0.0f);
    const size_t nq = probe_lists.size();
    std::vector<TopKHeap> heaps;
    for (size_t i = 0; i < nq; ++i) heaps.emplace_back(k);
    ToyScanner::Work single;
    WalkResult out;
    out.stats = ivf_search::walk_probes<ivf_search::DistinctRowHeapPolicy>(
        ivf_search::ProbeSource{store, *input, layout}, scanner, queries, 1, probes, probe_start,
        std::span<TopKHeap>(heaps), single, nullptr);
    for (TopKHeap& h : heaps) out.results.push_back(std::move(h).into_sorted());
    return out;
}

std::vector<std::pair<float, int64_t>> exhaustive(const ToyFile& f, float x, const std::vector<size_t>& lists,
                                                  size_t k) {
    std::vector<std::pair<float, int64_t>> all;
    for (size_t l : lists) {
        for (size_t j = 0; j < f.ids[l].size(); ++j) {
            all.emplace_back(std::fabs(static_cast<float>(f.codes[l][j]) - x) + f.side[l][j], f.ids[l][j]);
        }
    }
    std::sort(all.begin(), all.end());
    if (all.size() > k) all.resize(k);
    return all;
}

// Equal lists up to the order of rows at equal distances (the distinct-row
// heap keeps ties in its array order, which the parallel merge changes).
bool same_up_to_ties(std::vector<std::pair<float, int64_t>> a, std::vector<std::pair<float, int64_t>> b) {
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    return a == b;
}

TEST(IvfProbeWalk, ResultsBatchSingleParallelSwitchAndPoolSizes) {
    const ToyFile f = make_toy({40, 0, 70, 1, 5, 200, 33, 9, 64, 12}, 3);
    const std::vector<float> queries = {10.0f, 150.0f, 77.5f, 3.0f};
    const std::vector<std::vector<size_t>> probes = {{5, 2, 0}, {1, 8, 6, 9}, {0, 2, 4, 5, 7}, {3}};
    const size_t k = 7;
    for (size_t threads : {1, 4}) {
        PoolGuard pool(threads);
        ToyScanner serial;
        const WalkResult batch = walk(f, serial, queries, probes, k);
        uint64_t rows = 0;
        for (size_t i = 0; i < probes.size(); ++i) {
            // Lists with equal distances may order ties differently; the
            // distances and the set of rows at each distance agree.
            const auto want = exhaustive(f, queries[i], probes[i], k);
            auto got = batch.results[i];
            ASSERT_EQ(got.size(), want.size()) << "query " << i;
            for (size_t j = 0; j < want.size(); ++j) EXPECT_EQ(got[j].first, want[j].first) << "query " << i;
            for (size_t l : probes[i]) rows += f.ids[l].size();
            // The lone query, serial and parallel (switch at the group's row
            // count), equals the batch's answer.
            for (uint64_t parallel : {uint64_t{8192}, uint64_t{1}}) {
                ToyScanner s;
                s.parallel = parallel;
                s.prescan = 3;
                const WalkResult one = walk(f, s, {queries[i]}, {probes[i]}, k);
                if (parallel == 1) {
                    EXPECT_TRUE(same_up_to_ties(one.results[0], batch.results[i])) << "query " << i;
                } else {
                    EXPECT_EQ(one.results[0], batch.results[i]) << "query " << i;
                }
                const bool went_parallel = parallel == 1;
                EXPECT_EQ(one.stats.prescans, went_parallel ? 1u : 0u);
                EXPECT_EQ(one.stats.parallel_lists, went_parallel ? probes[i].size() : 0u);
                uint64_t lone_rows = 0;
                uint64_t prescanned = 0;
                for (size_t l : probes[i]) {
                    if (prescanned == 0) prescanned = std::min<uint64_t>(3, f.ids[l].size());
                    lone_rows += f.ids[l].size();
                }
                EXPECT_EQ(one.stats.rows, lone_rows + (went_parallel ? prescanned : 0u));
            }
        }
        EXPECT_EQ(batch.stats.rows, rows);
        EXPECT_EQ(batch.stats.prescans, 0u);
        // Probe ranks from 1: the first-ranked lists are left out.
        const WalkResult later = walk(f, serial, queries, probes, k, 1);
        for (size_t i = 0; i < probes.size(); ++i) {
            const std::vector<size_t> rest(probes[i].begin() + 1, probes[i].end());
            const auto want = exhaustive(f, queries[i], rest, k);
            ASSERT_EQ(later.results[i].size(), want.size());
            for (size_t j = 0; j < want.size(); ++j) EXPECT_EQ(later.results[i][j].first, want[j].first);
        }
    }
}

}  // namespace
