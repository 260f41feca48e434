// The beam search and both reranks over real DiskANN files (compact and
// interleaved, f32 and f16), served through a test view of the reader's
// resident data: the search finds what brute force finds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <vector>

#include "allocation_watch.hpp"
#include "diskann_file_builder.hpp"
#include "diskann_format.hpp"
#include "diskann_search.hpp"
#include "diskann_search_load.hpp"
#include "distance.hpp"
#include "error.hpp"
#include "expect.hpp"
#include "io.hpp"
#include "metric.hpp"

namespace {

using namespace tavren::diskann_search;
using namespace tavren::diskann_windows;
namespace fmt_ = tavren::diskann_format;
using tavren::ErrorKind;
using tavren::diskann::RawVectorEncoding;
using tavren::diskann::StorageLayout;
using tavren::testing::expect_error;

constexpr uint64_t kDim = 8;

// A host file over bytes that counts its calls.
class BytesFile final : public tavren::io::SeekRead {
public:
    explicit BytesFile(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    void pread(std::span<tavren::io::ReadRequest> requests) const override {
        ++calls;
        for (auto& r : requests) {
            if (r.offset + r.len > bytes_.size()) tavren::fail(ErrorKind::UnexpectedEof, "failed to fill whole buffer");
            std::memcpy(r.buf, bytes_.data() + r.offset, r.len);
        }
    }
    tavren::io::ReadCapabilities capabilities() const override { return {}; }
    mutable uint64_t calls = 0;

private:
    const std::vector<uint8_t>& bytes_;
};

// A clustered data set with a kNN graph (plus ring links so every node is
// reachable from the entry), and one-dimensional 8-bit PQ codes per value.
struct DataSet {
    tavren::testing::DiskAnnFileContents contents;
    std::vector<uint8_t> codes;  // n x 8
    float lo = 0.0f, step = 0.0f;
};

DataSet make_data(uint64_t n, uint64_t k, StorageLayout layout, RawVectorEncoding encoding, uint32_t seed) {
    DataSet ds;
    auto& c = ds.contents;
    c.dimension = kDim;
    c.pq_m = kDim;
    c.pq_bits = 8;
    c.metric = 0;
    c.config.max_degree = static_cast<uint32_t>(k + 2);
    c.config.build_search_list_size = c.config.max_degree + 4;
    c.config.seed = 42;
    c.config.alpha = 1.2f;
    c.config.storage_layout = layout;
    c.config.raw_vector_encoding = encoding;
    std::mt19937 rng(seed);
    std::normal_distribution<float> g(0.0f, 1.0f);
    for (uint64_t i = 0; i < n; ++i) {
        const float centre = static_cast<float>(i % 5) * 3.0f;
        for (uint64_t j = 0; j < kDim; ++j) {
            float v = centre + g(rng);
            if (encoding == RawVectorEncoding::F16) v = tavren::distance::f16_bits_to_f32(tavren::distance::f32_to_f16_bits(v));
            c.vectors.push_back(v);
        }
        c.row_ids.push_back(static_cast<int64_t>(1000 + i));
    }
    for (uint64_t i = 0; i < n; ++i) {
        std::vector<std::pair<float, uint32_t>> d;
        for (uint64_t j = 0; j < n; ++j) {
            if (j == i) continue;
            d.push_back({tavren::distance::fvec_l2sqr(std::span<const float>(c.vectors).subspan(i * kDim, kDim),
                                                      std::span<const float>(c.vectors).subspan(j * kDim, kDim)),
                         static_cast<uint32_t>(j)});
        }
        std::sort(d.begin(), d.end());
        std::set<uint32_t> list;
        for (uint64_t t = 0; t < k && t < d.size(); ++t) list.insert(d[t].second);
        if (n > 1) {
            list.insert(static_cast<uint32_t>((i + 1) % n));
            list.insert(static_cast<uint32_t>((i + n - 1) % n));
        }
        list.erase(static_cast<uint32_t>(i));
        c.neighbors.emplace_back(list.begin(), list.end());
    }
    ds.lo = *std::min_element(c.vectors.begin(), c.vectors.end());
    const float hi = *std::max_element(c.vectors.begin(), c.vectors.end());
    ds.step = std::max((hi - ds.lo) / 255.0f, 1e-6f);
    for (float v : c.vectors) {
        ds.codes.push_back(static_cast<uint8_t>(std::clamp(std::lround((v - ds.lo) / ds.step), 0L, 255L)));
    }
    return ds;
}

// The reader's resident data as the search sees it.
class FileSource final : public DiskAnnSearchSource {
public:
    FileSource(const DataSet& ds, const fmt_::DiskAnnHeader& header, fmt_::AdjacencyIndex index)
        : ds_(ds), header_(header), index_(std::move(index)) {}
    AdjacencyLocator adjacency_locator(size_t node) const override {
        if (node == broken_node) return {index_.locator(node)->page, 0, index_.locator(node)->metadata};
        const auto loc = index_.locator(node);
        if (!loc) tavren::invalid_data("DiskANN adjacency index is truncated");
        return *loc;
    }
    void validate_page_once(uint64_t page, std::span<const uint8_t> bytes) override {
        std::lock_guard<std::mutex> lock(m_);
        if (!valid_.insert(page).second) return;
        fmt_::validate_adjacency_page_payload(header_, index_, page, bytes);
    }
    SharedWindowCacheView& shared_adjacency_cache() override {
        tavren::invalid_data("DiskANN resident sections are not loaded");
    }
    void compute_distance_table(std::span<const float> query, std::span<float> table) const override {
        for (size_t j = 0; j < kDim; ++j) {
            for (size_t c = 0; c < 256; ++c) {
                const float e = query[j] - (ds_.lo + static_cast<float>(c) * ds_.step);
                table[j * 256 + c] = e * e;
            }
        }
    }
    int64_t row_id(size_t node) const override { return ds_.contents.row_ids.at(node); }
    size_t broken_node = ~size_t{0};

private:
    const DataSet& ds_;
    const fmt_::DiskAnnHeader& header_;
    fmt_::AdjacencyIndex index_;
    std::mutex m_;
    std::set<uint64_t> valid_;
};

struct Fixture {
    DataSet ds;
    tavren::testing::DiskAnnFile file;
    std::unique_ptr<BytesFile> host;
    std::unique_ptr<FileSource> source;

    Fixture(uint64_t n, StorageLayout layout, RawVectorEncoding encoding, uint32_t seed = 1)
        : ds(make_data(n, 8, layout, encoding, seed)), file(tavren::testing::build_diskann_file(ds.contents)) {
        host = std::make_unique<BytesFile>(file.bytes);
        const auto& s4 = file.header.sections[fmt_::kSectionAdjacencyIndex];
        auto index = fmt_::decode_adjacency_index(
            std::span<const uint8_t>(file.bytes).subspan(s4.offset, s4.length), file.header);
        source = std::make_unique<FileSource>(ds, file.header, std::move(index));
    }
    AdjacencyLoadInput load(uint64_t window) const {
        const auto& s5 = file.header.sections[fmt_::kSectionAdjacencyPages];
        return AdjacencyLoadInput{ReadWindowPlanner(s5.offset, s5.length, window), {}, host.get(), false};
    }
    GraphSearchInput graph(uint64_t window) const {
        return GraphSearchInput{load(window), ds.contents.row_ids.size(), 0, file.header.max_degree, ds.codes, kDim, 8};
    }
    RawVectorRerankInput raw(uint64_t window, uint64_t budget) const {
        const auto& s6 = file.header.sections[fmt_::kSectionRawVectors];
        tavren::read_options::ReadPlan plan;
        plan.window_bytes = window;
        return RawVectorRerankInput{VectorWindowPlanner::create(plan, s6.offset, s6.length, file.header.record_bytes),
                                    file.header.raw_vector_encoding, 0, budget, nullptr, host.get()};
    }
    InterleavedRerankInput interleaved(uint64_t window) const {
        return InterleavedRerankInput{load(window), file.header.record_bytes, file.header.raw_vector_encoding, 0};
    }
    std::span<const float> vec(size_t i) const { return std::span<const float>(ds.contents.vectors).subspan(i * kDim, kDim); }
};

// Brute force: the k nearest row IDs by exact l2, ties to the smaller row ID.
std::vector<int64_t> brute_force(const Fixture& f, std::span<const float> q, size_t k) {
    std::vector<ExactSearchResult> all;
    for (size_t i = 0; i < f.ds.contents.row_ids.size(); ++i) {
        all.push_back({f.ds.contents.row_ids[i], tavren::distance::fvec_l2sqr(q, f.vec(i))});
    }
    std::sort(all.begin(), all.end(), exact_result_less);
    std::vector<int64_t> out;
    for (size_t i = 0; i < k && i < all.size(); ++i) out.push_back(all[i].row_id);
    return out;
}

std::vector<float> query_near(const Fixture& f, size_t node, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g(0.0f, 0.3f);
    std::vector<float> q(kDim);
    for (size_t j = 0; j < kDim; ++j) q[j] = f.vec(node)[j] + g(rng);
    return q;
}

TEST(GraphSearch, ListAsLongAsTheGraphReachesEveryNodeInPqOrder) {
    Fixture f(300, StorageLayout::Compact, RawVectorEncoding::F32);
    auto s = DiskAnnQueryScratch::create();
    AdjacencyLoadStats stats;
    const auto q = query_near(f, 77, 1);
    generate_graph_candidates(f.graph(16384), *f.source, q, 1000, 4, *s, stats);
    ASSERT_EQ(s->candidates.size(), 300u);
    // Exactly the PQ order of all nodes.
    std::vector<float> table(kDim * 256);
    f.source->compute_distance_table(q, table);
    std::vector<SearchCandidate> want;
    for (size_t i = 0; i < 300; ++i) want.push_back({i, score_pq_node(table, f.ds.codes, kDim, 8, i)});
    sort_candidates(want);
    ASSERT_EQ(s->candidates.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        // Single nodes may take the gathered sum, whose order differs.
        EXPECT_EQ(s->candidates[i].node, want[i].node) << i;
        EXPECT_NEAR(s->candidates[i].distance, want[i].distance, 1e-4f * std::max(1.0f, want[i].distance));
    }
    EXPECT_GT(stats.adjacency_windows_read, 0u);
}

TEST(GraphSearch, RecallAgainstBruteForceAndRerankRules) {
    for (auto layout : {StorageLayout::Compact, StorageLayout::Interleaved}) {
        for (auto encoding : {RawVectorEncoding::F32, RawVectorEncoding::F16}) {
            Fixture f(600, layout, encoding, 7);
            auto s = DiskAnnQueryScratch::create();
            AdjacencyLoadStats stats;
            RerankStats rstats;
            size_t hits = 0, total = 0;
            for (uint32_t t = 0; t < 20; ++t) {
                const auto q = query_near(f, (t * 37) % 600, t);
                generate_graph_candidates(f.graph(8192), *f.source, q, 60, 4, *s, stats);
                EXPECT_EQ(s->candidates.size(), 60u);
                std::vector<int64_t> ids;
                std::vector<float> d;
                if (layout == StorageLayout::Compact) {
                    rerank(f.raw(4096, 1 << 20), *f.source, q, s->candidates, 10, *s, rstats, ids, d);
                } else {
                    rerank_interleaved(f.interleaved(8192), *f.source, q, s->candidates, 10, *s, stats, rstats, ids, d);
                }
                ASSERT_EQ(ids.size(), 10u);
                for (size_t i = 1; i < 10; ++i) EXPECT_FALSE(exact_result_less({ids[i], d[i]}, {ids[i - 1], d[i - 1]}));
                const auto truth = brute_force(f, q, 10);
                for (int64_t id : ids) hits += std::count(truth.begin(), truth.end(), id);
                total += 10;
                s->recycle_adjacency_windows();
            }
            EXPECT_GE(static_cast<double>(hits) / static_cast<double>(total), 0.95)
                << static_cast<int>(layout) << " " << static_cast<int>(encoding);
            EXPECT_EQ(rstats.rerank_candidates, 20u * 60u);
            EXPECT_GT(rstats.rerank_windows, 0u);
            EXPECT_EQ(rstats.rerank_window_batches, 20u);
        }
    }
}

TEST(Rerank, AllCandidatesGiveTheBruteForceAnswerAndPadding) {
    for (auto layout : {StorageLayout::Compact, StorageLayout::Interleaved}) {
        Fixture f(200, layout, RawVectorEncoding::F32, 3);
        auto s = DiskAnnQueryScratch::create();
        std::vector<SearchCandidate> all;
        for (size_t i = 0; i < 200; ++i) all.push_back({i, 0.0f});
        const auto q = query_near(f, 10, 2);
        AdjacencyLoadStats astats;
        RerankStats rstats;
        std::vector<int64_t> ids;
        std::vector<float> d;
        if (layout == StorageLayout::Compact) {
            rerank(f.raw(16384, 0), *f.source, q, all, 10, *s, rstats, ids, d);
            EXPECT_TRUE(s->vector_cache.empty());  // budget 0: the cache is emptied
        } else {
            rerank_interleaved(f.interleaved(16384), *f.source, q, all, 10, *s, astats, rstats, ids, d);
        }
        EXPECT_EQ(ids, brute_force(f, q, 10));
        // Three candidates, top_k 5: three hits and two padded pairs.
        const std::vector<SearchCandidate> three = {{5, 0.0f}, {6, 0.0f}, {7, 0.0f}};
        if (layout == StorageLayout::Compact) {
            rerank(f.raw(16384, 1 << 20), *f.source, q, three, 5, *s, rstats, ids, d);
            EXPECT_EQ(s->vector_cache.len(), 1u);  // kept within the budget for the next query
        } else {
            rerank_interleaved(f.interleaved(16384), *f.source, q, three, 5, *s, astats, rstats, ids, d);
        }
        EXPECT_EQ(ids[3], -1);
        EXPECT_EQ(ids[4], -1);
        EXPECT_EQ(d[4], 3.4028235e38f);
        EXPECT_NE(ids[2], -1);
        // An empty candidate set: all padding, nothing counted.
        const RerankStats before = rstats;
        if (layout == StorageLayout::Compact) {
            rerank(f.raw(16384, 1 << 20), *f.source, q, {}, 2, *s, rstats, ids, d);
        } else {
            rerank_interleaved(f.interleaved(16384), *f.source, q, {}, 2, *s, astats, rstats, ids, d);
        }
        EXPECT_EQ(ids, (std::vector<int64_t>{-1, -1}));
        EXPECT_EQ(rstats.rerank_candidates, before.rerank_candidates);
        EXPECT_EQ(rstats.rerank_window_batches, before.rerank_window_batches);
    }
}

TEST(Rerank, ErrorsLeaveTheReaderUsable) {
    Fixture f(50, StorageLayout::Interleaved, RawVectorEncoding::F32, 4);
    auto s = DiskAnnQueryScratch::create();
    AdjacencyLoadStats astats;
    RerankStats rstats;
    std::vector<int64_t> ids;
    std::vector<float> d;
    const auto q = query_near(f, 3, 3);
    // A corrupt locator: the list starts at the page start, before any record fits.
    f.source->broken_node = 0;
    const std::vector<SearchCandidate> c0 = {{0, 0.0f}};
    expect_error([&] { rerank_interleaved(f.interleaved(4096), *f.source, q, c0, 1, *s, astats, rstats, ids, d); },
                 ErrorKind::InvalidData, "DiskANN interleaved vector offset underflows");
    f.source->broken_node = ~size_t{0};
    s->recycle_adjacency_windows();
    rerank_interleaved(f.interleaved(4096), *f.source, q, c0, 1, *s, astats, rstats, ids, d);
    EXPECT_EQ(ids[0], 1000);
    // A raw-vector section that the host cannot serve in full.
    Fixture g(300, StorageLayout::Compact, RawVectorEncoding::F32, 4);
    const auto& s6 = g.file.header.sections[fmt_::kSectionRawVectors];
    g.file.bytes.resize(s6.offset + 2 * 4096);  // 128 records per window: the third window is cut
    const std::vector<SearchCandidate> last = {{299, 0.0f}};
    expect_error([&] { rerank(g.raw(4096, 1 << 20), *g.source, q, last, 1, *s, rstats, ids, d); },
                 ErrorKind::InvalidData, "DiskANN paged section is truncated");
    const std::vector<SearchCandidate> first = {{0, 0.0f}};
    rerank(g.raw(4096, 1 << 20), *g.source, q, first, 1, *s, rstats, ids, d);
    EXPECT_EQ(ids[0], 1000);
}

TEST(GraphSearch, SteadyStateQueryAllocatesOnlyTheRerankHeap) {
    // Memory profile: the whole adjacency section preloaded, raw-vector
    // windows kept in the query cache from query to query.
    Fixture f(400, StorageLayout::Compact, RawVectorEncoding::F32, 5);
    const auto& s5 = f.file.header.sections[fmt_::kSectionAdjacencyPages];
    GraphSearchInput graph = f.graph(16384);
    graph.load.preload = std::span<const uint8_t>(f.file.bytes).subspan(s5.offset, s5.length);
    const auto raw = f.raw(16384, 1 << 22);
    auto s = DiskAnnQueryScratch::create();
    AdjacencyLoadStats stats;
    RerankStats rstats;
    std::vector<int64_t> ids;
    std::vector<float> d;
    const auto q = query_near(f, 123, 9);
    auto one_query = [&] {
        generate_graph_candidates(graph, *f.source, q, 100, 4, *s, stats);
        expand_rerank_candidates_within_seed_windows(
            s->candidates, 64, [&](size_t node) { return *raw.planner.window_for_node(node); }, s->seed_windows,
            s->rerank_set);
        rerank(raw, *f.source, q, s->rerank_set, 10, *s, rstats, ids, d);
        s->recycle_adjacency_windows();
    };
    for (int i = 0; i < 3; ++i) one_query();
    const uint64_t calls = f.host->calls;
    tavren::testing::AllocationWatch watch;
    for (int i = 0; i < 10; ++i) one_query();
    EXPECT_EQ(watch.count(), 10u);  // one result heap per query
    EXPECT_EQ(f.host->calls, calls);  // warm: nothing read
    EXPECT_EQ(ids, brute_force(f, q, 10));
}

// A search ends only when every retained node has been expanded, however
// wide the beam: the result is closed under the graph (no neighbour of a
// retained node is nearer than the worst retained one without being retained
// itself), and recall holds at small lists. A search that stopped after L
// expansions took a wide beam only L / beam rounds away from the entry.
TEST(GraphSearch, SmallListsWithAWideBeamSearchUntilNoRetainedNodeIsLeft) {
    Fixture f(3000, StorageLayout::Compact, RawVectorEncoding::F32, 13);
    const auto& s5 = f.file.header.sections[fmt_::kSectionAdjacencyPages];
    GraphSearchInput graph = f.graph(4096);
    graph.load.preload = std::span<const uint8_t>(f.file.bytes).subspan(s5.offset, s5.length);
    auto s = DiskAnnQueryScratch::create();
    AdjacencyLoadStats stats;
    std::vector<float> table(kDim * 256);
    struct Case {
        size_t list;
        size_t beam;
        double min_recall;  // recall@10 of the PQ candidates' exact top 10
    };
    for (const Case c : {Case{20, 16, 0.9}, Case{20, 4, 0.9}, Case{12, 16, 0.8}, Case{50, 16, 0.95}}) {
        size_t hits = 0, total = 0;
        for (uint32_t t = 0; t < 30; ++t) {
            // Queries in every cluster, the entry (node 0) in cluster 0.
            const auto q = query_near(f, (t * 101 + 1) % 3000, 500 + t);
            generate_graph_candidates(graph, *f.source, q, c.list, c.beam, *s, stats);
            ASSERT_EQ(s->candidates.size(), c.list);
            f.source->compute_distance_table(q, table);
            const SearchCandidate worst = s->candidates.back();
            std::set<size_t> kept;
            for (const auto& r : s->candidates) kept.insert(r.node);
            for (const auto& r : s->candidates) {
                for (uint32_t v : f.ds.contents.neighbors[r.node]) {
                    const SearchCandidate nv{v, score_pq_node(table, f.ds.codes, kDim, 8, v)};
                    // Neighbour distances may come from the gathered sum, whose
                    // last bits differ: allow for that at the boundary.
                    if (kept.count(v) == 0) {
                        EXPECT_GE(nv.distance, worst.distance * (1.0f - 1e-5f))
                            << "list " << c.list << " beam " << c.beam << " query " << t << ": node " << r.node
                            << " was not expanded";
                    }
                }
            }
            // Exact top 10 among the candidates against brute force.
            std::vector<ExactSearchResult> exact;
            for (const auto& r : s->candidates) {
                exact.push_back({f.ds.contents.row_ids[r.node], tavren::distance::fvec_l2sqr(q, f.vec(r.node))});
            }
            std::sort(exact.begin(), exact.end(), exact_result_less);
            const auto truth = brute_force(f, q, 10);
            for (size_t i = 0; i < 10 && i < exact.size(); ++i) {
                hits += std::count(truth.begin(), truth.end(), exact[i].row_id);
            }
            total += 10;
        }
        EXPECT_GE(static_cast<double>(hits) / static_cast<double>(total), c.min_recall)
            << "list " << c.list << " beam " << c.beam;
    }
}

TEST(GraphSearch, OneNodeGraph) {
    Fixture f(1, StorageLayout::Compact, RawVectorEncoding::F32);
    auto s = DiskAnnQueryScratch::create();
    AdjacencyLoadStats stats;
    generate_graph_candidates(f.graph(4096), *f.source, f.vec(0), 100, 4, *s, stats);
    ASSERT_EQ(s->candidates.size(), 1u);
    EXPECT_EQ(s->candidates[0].node, 0u);
}

// ---- single search --------------------------------------------------------------------------

TEST(SingleSearch, ListSizeAndBudget) {
    const size_t max = std::numeric_limits<size_t>::max();
    struct L {
        size_t k, l, want;
    };
    for (const L& c : std::vector<L>{{10, 0, 100}, {60, 0, 120}, {10, 5, 10}, {10, 200, 200}, {max, 0, max}, {1, 0, 100}}) {
        EXPECT_EQ(resolve_diskann_l_search(c.k, c.l), c.want) << c.k << " " << c.l;
    }
    for (const L& c : std::vector<L>{{10, 100, 64}, {30, 100, 100}, {10, 50, 50}, {20, 1000, 80}, {max, 7, 7}}) {
        EXPECT_EQ(diskann_rerank_budget(c.k, c.l), c.want) << c.k << " " << c.l;
    }
}

TEST(SingleSearch, StatisticsMerges) {
    DiskAnnSearchStats target = DiskAnnSearchStats::for_queries(5);
    target.query_batches = 2;
    target.adjacency_cache_peak_bytes = 100;
    target.rerank_candidates = std::numeric_limits<uint64_t>::max() - 1;
    DiskAnnSearchStats other;  // queries 0
    other.queries = 0;
    other.adjacency_cache_peak_bytes = 50;
    other.rerank_candidates = 10;
    other.adjacency_windows_read = 3;
    other.parallel_rerank_references = 4;
    target.merge_complete_query(other);
    EXPECT_EQ(target.queries, 5u);
    EXPECT_EQ(target.query_batches, 2u);
    EXPECT_EQ(target.merged_queries, 1u);  // max(0, 1)
    EXPECT_EQ(target.adjacency_cache_peak_bytes, 100u);
    EXPECT_EQ(target.rerank_candidates, std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(target.adjacency_windows_read, 3u);
    EXPECT_EQ(target.parallel_rerank_references, 4u);
    other.queries = 3;
    other.adjacency_cache_peak_bytes = 500;
    target.merge_complete_query(other);
    EXPECT_EQ(target.merged_queries, 4u);
    EXPECT_EQ(target.adjacency_cache_peak_bytes, 500u);
    DiskAnnSearchStats gen;
    gen.merge_candidate_generation(other);
    EXPECT_EQ(gen.adjacency_windows_read, 3u);
    EXPECT_EQ(gen.adjacency_cache_peak_bytes, 500u);
    EXPECT_EQ(gen.rerank_candidates, 0u);  // not a candidate-generation counter
    EXPECT_EQ(gen.merged_queries, 0u);
}

TEST(SingleSearch, QueryChecksAndCosineNormalisation) {
    auto s = DiskAnnQueryScratch::create();
    const std::vector<float> q7(7, 1.0f);
    expect_error([&] { prepare_diskann_query(q7, 8, 0, *s); }, ErrorKind::InvalidInput,
                 "query dimension mismatch: expected 8, got 7");
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        std::vector<float> q(8, 1.0f);
        q[5] = bad;
        expect_error([&] { prepare_diskann_query(q, 8, 2, *s); }, ErrorKind::InvalidInput, "query values must be finite");
    }
    const std::vector<float> q = {3.0f, 4.0f};
    EXPECT_EQ(prepare_diskann_query(q, 2, 0, *s).data(), q.data());  // l2: as given
    const auto n = prepare_diskann_query(q, 2, 2, *s);
    const auto want = tavren::distance::preprocess_vectors(q, 1, 2, 2);
    ASSERT_EQ(n.size(), 2u);
    EXPECT_EQ(n[0], want[0]);
    EXPECT_EQ(n[1], want[1]);
    const std::vector<float> zero(2, 0.0f);
    const auto z = prepare_diskann_query(zero, 2, 2, *s);
    EXPECT_EQ(z[0], 0.0f);
}

SingleSearchInput single_input(const Fixture& f, uint64_t window, uint64_t beam) {
    SingleSearchInput in{f.graph(window), beam, f.file.header.interleaved(), std::nullopt, std::nullopt};
    if (in.interleaved) {
        in.interleaved_rerank = f.interleaved(window);
    } else {
        in.raw = f.raw(window, 1 << 20);
    }
    return in;
}

TEST(SingleSearch, ThreeVectorsTopKFive) {
    for (auto layout : {StorageLayout::Compact, StorageLayout::Interleaved}) {
        Fixture f(3, layout, RawVectorEncoding::F32, 2);
        auto s = DiskAnnQueryScratch::create();
        DiskAnnSearchStats stats = DiskAnnSearchStats::for_queries(1);
        std::vector<int64_t> ids;
        std::vector<float> d;
        search_preprocessed(single_input(f, 16384, 4), *f.source, f.vec(1), 5, 0, *s, stats, ids, d);
        ASSERT_EQ(ids.size(), 5u);
        EXPECT_EQ(ids[0], 1001);
        EXPECT_EQ(d[0], 0.0f);
        EXPECT_NE(ids[2], -1);
        EXPECT_EQ(ids[3], -1);
        EXPECT_EQ(ids[4], -1);
        EXPECT_EQ(d[3], 3.4028235e38f);
        EXPECT_EQ(stats.rerank_candidates, 3u);
        EXPECT_TRUE(s->adjacency_cache.empty());
        // top_k 0: nothing at all.
        const uint64_t calls = f.host->calls;
        search_preprocessed(single_input(f, 16384, 4), *f.source, f.vec(1), 0, 0, *s, stats, ids, d);
        EXPECT_TRUE(ids.empty());
        EXPECT_TRUE(d.empty());
        EXPECT_EQ(f.host->calls, calls);
    }
}

TEST(SingleSearch, BudgetSeedWideningAndRecall) {
    Fixture f(2000, StorageLayout::Compact, RawVectorEncoding::F32, 11);
    auto s = DiskAnnQueryScratch::create();
    size_t hits = 0;
    for (uint32_t t = 0; t < 20; ++t) {
        const auto q = query_near(f, (t * 97) % 2000, 100 + t);
        DiskAnnSearchStats stats = DiskAnnSearchStats::for_queries(1);
        std::vector<int64_t> ids;
        std::vector<float> d;
        search_preprocessed(single_input(f, 4096, 4), *f.source, q, 10, 0, *s, stats, ids, d);
        // L = 100 candidates, budget 64: the seeds and the others of their windows.
        EXPECT_GE(stats.rerank_candidates, 64u);
        EXPECT_LE(stats.rerank_candidates, 100u);
        EXPECT_LE(stats.rerank_windows, 64u);
        EXPECT_EQ(s->rerank_set.size(), stats.rerank_candidates);
        const auto truth = brute_force(f, q, 10);
        for (int64_t id : ids) hits += std::count(truth.begin(), truth.end(), id);
    }
    EXPECT_GE(hits, 190u);  // recall@10 >= 0.95 at L = 100
}

}  // namespace
