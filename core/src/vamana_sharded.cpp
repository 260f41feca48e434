// Vamana builds that fit a smaller memory budget: the sequential build (one
// thread, one graph, changes visible at once) and the overlapping sharded
// build, which clusters the vectors into shards, puts each vector into its
// two nearest shards, builds one graph per shard and merges the lists.
//
// Only one shard's vector copy, code copy and graph exist at a time, and the
// shards are built and merged in shard order: the merge of a shard prunes
// against the lists the earlier shards left, so the order is part of the
// result.
#include <algorithm>
#include <chrono>
#include <cfloat>
#include <cmath>
#include <limits>
#include <new>
#include <utility>

#include "distance.hpp"
#include "error.hpp"
#include "kmeans.hpp"
#include "pool.hpp"
#include "rng.hpp"
#include "vamana.hpp"

namespace tavren::vamana {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull;

constexpr auto kResultLess = [](const ScoredNode& a, const ScoredNode& b) { return scored_node_less(a, b); };

// random_neighbors into a caller's list (cleared first).
void random_neighbors_into(rng::StdRng& gen, size_t n, size_t node, size_t d, std::vector<uint32_t>& list) {
    list.clear();
    if (n == 0 ? d == 0 : d == n - 1) {
        for (size_t u = 0; u < n; ++u) {
            if (u != node) list.push_back(static_cast<uint32_t>(u));
        }
        gen.shuffle(std::span<uint32_t>(list));
        return;
    }
    while (list.size() < d) {
        const uint64_t u = gen.gen_range(0, n);
        if (u == node || std::find(list.begin(), list.end(), static_cast<uint32_t>(u)) != list.end()) continue;
        list.push_back(static_cast<uint32_t>(u));
    }
}

VamanaGraph build_sequential(std::span<const float> vectors, size_t n, size_t dimension, uint32_t metric,
                             const diskann::DiskAnnBuildConfig& config) {
    validate_build_inputs(vectors.size(), n, dimension, config.max_degree);
    validate_build_memory_budget(
        estimate_sequential_vamana_memory_bytes(n, config.max_degree, config.build_search_list_size),
        config.memory_budget_bytes);
    const uint32_t entry = centroid_entry(vectors, n, dimension, metric);
    const size_t r = static_cast<size_t>(config.max_degree);
    const size_t l = static_cast<size_t>(config.build_search_list_size);
    const size_t d0 = std::min(n - 1, r);

    rng::StdRng gen = rng::StdRng::seed_from_u64(config.seed);
    // The random lists go straight into the storage: the same lists as
    // building them all first, without holding both.
    CompactAdjacency adjacency = CompactAdjacency::empty(n, d0);
    std::vector<uint32_t> list;
    list.reserve(std::max(d0, n <= r + 1 ? n : size_t{0}));
    for (size_t v = 0; v < n; ++v) {
        random_neighbors_into(gen, n, v, d0, list);
        adjacency.set_neighbors(v, list);
    }
    VamanaGraph graph(std::move(adjacency), entry);

    // One scratch for every search of the build: it resets in time
    // proportional to what the last search touched, so a build over n nodes
    // never clears n visit marks per search.
    GreedySearchScratch scratch(n, d0, std::min(n, l));
    graph.run_sequential_pass(vectors, dimension, metric, r, 1.0f, l, gen, scratch);
    graph.run_sequential_pass(vectors, dimension, metric, r, config.alpha, l, gen, scratch);

    graph.repair_connectivity(vectors, dimension, r, metric);
    graph.validate(r);
    if (!graph.is_fully_reachable()) invalid_data("Vamana graph is not fully reachable from its entry node");
    return graph;
}

// The two nearest of `count` centroids to `row` by squared L2, ties to the
// smaller index: (best, second).
std::pair<uint32_t, uint32_t> two_nearest(std::span<const float> row, std::span<const float> centroids,
                                          size_t count) {
    const size_t d = row.size();
    ScoredNode best{0, FLT_MAX};
    ScoredNode second{0, FLT_MAX};
    for (size_t j = 0; j < count; ++j) {
        const ScoredNode c{static_cast<uint32_t>(j), distance::fvec_l2sqr(row, centroids.subspan(j * d, d))};
        if (scored_node_less(c, best)) {
            second = best;
            best = c;
        } else if (scored_node_less(c, second)) {
            second = c;
        }
    }
    return {best.id, second.id};
}

}  // namespace

std::vector<uint32_t> random_neighbors(rng::StdRng& gen, size_t n, size_t node, size_t d) {
    std::vector<uint32_t> list;
    list.reserve(d);
    random_neighbors_into(gen, n, node, d, list);
    return list;
}

void VamanaGraph::run_sequential_pass(std::span<const float> vectors, size_t dimension, uint32_t metric,
                                      size_t max_degree, float alpha, size_t list_size, rng::StdRng& gen,
                                      GreedySearchScratch& scratch) {
    const size_t n = node_count();
    std::vector<uint32_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = static_cast<uint32_t>(i);
    gen.shuffle(std::span<uint32_t>(order));

    std::vector<ScoredNode> found;
    found.reserve(std::min(n, list_size));
    std::vector<uint32_t> new_list;
    new_list.reserve(max_degree);
    for (const uint32_t v : order) {
        greedy_search_with_scratch(vectors, dimension, metric, node_row(vectors, dimension, v), list_size, scratch);
        found.assign(scratch.results().begin(), scratch.results().end());
        std::sort(found.begin(), found.end(), kResultLess);
        scratch.candidate_ids.clear();
        for (const ScoredNode& s : found) scratch.candidate_ids.push_back(s.id);
        robust_prune_candidates_into(vectors, dimension, v, scratch.candidate_ids, alpha, adjacency_[v], n,
                                     max_degree, metric, scratch.prune_ids, scratch.prune_scored, new_list);
        adjacency_.set_neighbors(v, new_list);

        for (const uint32_t u : new_list) {
            const std::span<const uint32_t> current = adjacency_[u];
            if (std::find(current.begin(), current.end(), v) != current.end()) continue;
            if (current.size() < max_degree) {
                adjacency_.push_neighbor(u, v);
                continue;
            }
            scratch.candidate_ids.assign(current.begin(), current.end());
            scratch.candidate_ids.push_back(v);
            robust_prune_candidates_into(vectors, dimension, u, scratch.candidate_ids, alpha, current, n, max_degree,
                                         metric, scratch.prune_ids, scratch.prune_scored, scratch.pruned);
            adjacency_.set_neighbors(u, scratch.pruned);
        }
    }
}

VamanaGraph VamanaGraph::build_sequential_with_metric(std::span<const float> vectors, size_t n, size_t dimension,
                                                      uint32_t metric, const diskann::DiskAnnBuildConfig& config) {
    try {
        return build_sequential(vectors, n, dimension, metric, config);
    } catch (const std::bad_alloc&) {
        fail(ErrorKind::OutOfMemory, "sequential Vamana build could not allocate memory");
    } catch (const std::length_error&) {
        fail(ErrorKind::OutOfMemory, "sequential Vamana build could not allocate memory");
    }
}

ShardPartition partition_overlapping_shards(std::span<const float> vectors, size_t n, size_t dimension,
                                           size_t shards, uint64_t seed) {
    const size_t s = shards;
    TD_ASSERT(s >= 2 && s <= n && vectors.size() / dimension >= n, "validated shard count and vectors");
    kmeans::KMeansConfig kc;
    kc.max_iter = 8;
    kc.nredo = 1;
    kc.max_points_per_centroid = 256;
    kc.seed = seed;
    kc.balance = 0.1f;
    const std::vector<float> centroids = kmeans::kmeans_train(kc, vectors, n, dimension, s);
    const std::span<const float> cspan(centroids);

    // Shard indices are below n < 2^32: a pair of u32 per vector.
    std::vector<std::pair<uint32_t, uint32_t>> pairs(n);
    pool::parallel_for(0, n, 256, [&](size_t lo, size_t hi) {
        for (size_t i = lo; i < hi; ++i) pairs[i] = two_nearest(node_row(vectors, dimension, i), cspan, s);
    });

    size_t twice_plus = 0;
    if (__builtin_mul_overflow(n, size_t{2}, &twice_plus) || __builtin_add_overflow(twice_plus, s - 2, &twice_plus)) {
        invalid_input("Vamana overlapping-shard capacity overflows");
    }
    const size_t cap = s == 2 ? n : twice_plus / (s - 1);
    ShardPartition out;
    out.capacity = cap;
    std::vector<std::vector<uint32_t>>& members = out.members;
    members.resize(s);
    for (auto& m : members) m.reserve(cap);
    for (size_t i = 0; i < n; ++i) {
        members[pairs[i].first].push_back(static_cast<uint32_t>(i));
        if (pairs[i].second != pairs[i].first) members[pairs[i].second].push_back(static_cast<uint32_t>(i));
    }

    // Balancing: a shard above capacity gives up its last members, each to
    // the nearest shard with room that does not hold it already.
    for (size_t k = 0; k < s; ++k) {
        while (members[k].size() > cap) {
            const uint32_t u = members[k].back();
            members[k].pop_back();
            auto& pair = pairs[u];
            const bool first = pair.first == k;
            const uint32_t other = first ? pair.second : pair.first;
            const std::span<const float> row = node_row(vectors, dimension, u);
            std::optional<uint32_t> target;
            float target_distance = 0.0f;
            for (size_t t = 0; t < s; ++t) {
                if (t == other || members[t].size() >= cap) continue;
                const float d = distance::fvec_l2sqr(row, cspan.subspan(t * dimension, dimension));
                if (std::isnan(d)) continue;
                if (!target || d < target_distance) {
                    target = static_cast<uint32_t>(t);
                    target_distance = d;
                }
            }
            if (!target) invalid_input("Vamana overlapping shards cannot be capacity-balanced");
            (first ? pair.first : pair.second) = *target;
            members[*target].push_back(u);
        }
    }
    return out;
}

diskann::DiskAnnBuildConfig shard_build_config(const diskann::DiskAnnBuildConfig& config, size_t shard,
                                               size_t count) {
    diskann::DiskAnnBuildConfig c = config;
    c.max_degree = std::min<uint64_t>(count == 0 ? 0 : count - 1, config.max_degree);
    c.build_search_list_size = std::max<uint64_t>(std::min<uint64_t>(count, config.build_search_list_size),
                                                  c.max_degree);
    c.seed = mix64(config.seed ^ (uint64_t{shard} * kGolden));
    return c;
}

namespace {

// Copies one shard's vectors (and codes) and builds its graph.
VamanaGraph build_shard_graph(std::span<const float> vectors, const pq::ProductQuantizer* quantizer,
                              std::span<const uint8_t> codes, size_t code_bytes, size_t dimension, uint32_t metric,
                              const diskann::DiskAnnBuildConfig& config, size_t k,
                              const std::vector<uint32_t>& shard) {
    const size_t count = shard.size();
    std::vector<float> shard_vectors;
    const auto values = checked_mul(count, dimension);
    try {
        if (!values) throw std::length_error("shard shape");
        shard_vectors.reserve(*values);
    } catch (const std::bad_alloc&) {
        invalid_input("Vamana shard vector allocation failed");
    } catch (const std::length_error&) {
        invalid_input("Vamana shard vector allocation failed");
    }
    for (const uint32_t y : shard) {
        const auto row = node_row(vectors, dimension, y);
        shard_vectors.insert(shard_vectors.end(), row.begin(), row.end());
    }
    const diskann::DiskAnnBuildConfig shard_config = shard_build_config(config, k, count);
    if (quantizer == nullptr) {
        return VamanaGraph::build_sequential_with_metric(shard_vectors, count, dimension, metric, shard_config);
    }
    std::vector<uint8_t> shard_codes;
    shard_codes.reserve(count * code_bytes);
    for (const uint32_t y : shard) {
        const auto code = codes.subspan(size_t{y} * code_bytes, code_bytes);
        shard_codes.insert(shard_codes.end(), code.begin(), code.end());
    }
    return VamanaGraph::build_with_pq_stats(shard_vectors, *quantizer, shard_codes, count, dimension, metric,
                                            shard_config)
        .graph;
}

BuiltGraph build_sharded(std::span<const float> vectors, const pq::ProductQuantizer* quantizer,
                         std::span<const uint8_t> codes, size_t n, size_t dimension, uint32_t metric,
                         const diskann::DiskAnnBuildConfig& config, size_t shards, size_t concurrent_shards) {
    validate_build_inputs(vectors.size(), n, dimension, config.max_degree);
    const size_t s = shards;
    if (s < 2 || s > n) invalid_input("Vamana shard count must be between 2 and the vector count");
    size_t code_bytes = 0;
    if (quantizer != nullptr) {
        code_bytes = quantizer->code_size();
        const auto expected = checked_mul(n, code_bytes);
        if (quantizer->d() != dimension || (quantizer->nbits() != 4 && quantizer->nbits() != 8) ||
            !quantizer->has_valid_layout() || !expected || *expected != codes.size()) {
            invalid_input("sharded Vamana PQ-guided build received an invalid codebook or code buffer");
        }
    }
    const size_t r = static_cast<size_t>(config.max_degree);

    BuiltGraph result;
    auto clock = Clock::now();
    ShardPartition partition = partition_overlapping_shards(vectors, n, dimension, s, config.seed);
    std::vector<std::vector<uint32_t>>& members = partition.members;
    result.timings.initialization = Clock::now() - clock;

    const uint32_t entry = centroid_entry(vectors, n, dimension, metric);
    const size_t merged_degree = std::min(n - 1, r);
    result.graph = VamanaGraph(CompactAdjacency::empty(n, merged_degree), entry);
    CompactAdjacency& merged = result.graph.adjacency();

    std::vector<uint32_t> candidates;
    candidates.reserve(r);
    std::vector<uint32_t> prune_ids;
    std::vector<ScoredNode> prune_scored;
    std::vector<uint32_t> pruned;
    // Shards are built in windows of up to `concurrent` (full precision only:
    // a PQ-guided shard build already runs on the whole pool) and merged in
    // shard order, so the graph is the same for every window size.
    const size_t concurrent = quantizer == nullptr ? std::max<size_t>(concurrent_shards, 1) : 1;
    std::vector<size_t> window;
    std::vector<VamanaGraph> window_graphs;
    size_t next = 0;
    while (next < s) {
        window.clear();
        for (; next < s && window.size() < concurrent; ++next) {
            if (members[next].size() >= 2) window.push_back(next);  // a skipped shard keeps its index for the seed
        }
        if (window.empty()) continue;
        clock = Clock::now();
        window_graphs.assign(window.size(), VamanaGraph());
        auto build_one = [&](size_t w) {
            window_graphs[w] = build_shard_graph(vectors, quantizer, codes, code_bytes, dimension, metric, config,
                                                 window[w], members[window[w]]);
        };
        if (window.size() == 1) {
            build_one(0);
        } else {
            pool::parallel_for_each_index(window.size(), build_one);
        }
        auto now = Clock::now();
        result.timings.first_pass = add_saturating(result.timings.first_pass, now - clock);
        clock = now;

        for (size_t w = 0; w < window.size(); ++w) {
            const std::vector<uint32_t>& shard = members[window[w]];
            const VamanaGraph& shard_graph = window_graphs[w];
            for (size_t p = 0; p < shard.size(); ++p) {
                const uint32_t y = shard[p];
                candidates.clear();
                for (const uint32_t q : shard_graph.adjacency()[p]) candidates.push_back(shard[q]);
                robust_prune_candidates_into(vectors, dimension, y, candidates, config.alpha, merged[y], n,
                                             merged_degree, metric, prune_ids, prune_scored, pruned);
                merged.set_neighbors(y, pruned);
            }
            window_graphs[w] = VamanaGraph();
        }
        result.timings.second_pass = add_saturating(result.timings.second_pass, Clock::now() - clock);
    }
    partition = {};

    clock = Clock::now();
    result.graph.repair_connectivity(vectors, dimension, merged_degree, metric);
    result.timings.repair = Clock::now() - clock;
    result.graph.validate(merged_degree);
    if (!result.graph.is_fully_reachable()) {
        invalid_data("sharded Vamana graph is not fully reachable from its entry node");
    }
    return result;
}

}  // namespace

BuiltGraph VamanaGraph::build_sharded_with_optional_pq(std::span<const float> vectors,
                                                       const pq::ProductQuantizer* quantizer,
                                                       std::span<const uint8_t> codes, size_t n, size_t dimension,
                                                       uint32_t metric, const diskann::DiskAnnBuildConfig& config,
                                                       size_t shards, size_t concurrent_shards) {
    try {
        return build_sharded(vectors, quantizer, codes, n, dimension, metric, config, shards, concurrent_shards);
    } catch (const std::bad_alloc&) {
        fail(ErrorKind::OutOfMemory, "sharded Vamana build could not allocate memory");
    } catch (const std::length_error&) {
        fail(ErrorKind::OutOfMemory, "sharded Vamana build could not allocate memory");
    }
}

}  // namespace tavren::vamana
