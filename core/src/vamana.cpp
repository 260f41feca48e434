#include "vamana.hpp"

#include <algorithm>
#include <cmath>
#include <bit>
#include <deque>
#include <limits>
#include <new>

#include "distance.hpp"
#include "error.hpp"

namespace tavren::vamana {
namespace {

// Row `id` of a row-major array (index assertion when it lies outside).

size_t checked_slots(size_t count, size_t max_degree) {
    const auto slots = checked_mul(count, max_degree);
    if (!slots || !checked_mul(*slots, sizeof(uint32_t)) ||
        *slots * sizeof(uint32_t) > static_cast<size_t>(std::numeric_limits<int64_t>::max())) {
        panic("capacity overflow");
    }
    return *slots;
}

constexpr auto kResultLess = [](const ScoredNode& a, const ScoredNode& b) { return scored_node_less(a, b); };
constexpr auto kFrontierLess = [](const ScoredNode& a, const ScoredNode& b) { return scored_node_less(b, a); };

}  // namespace

// ---- storage --------------------------------------------------------------

AdjacencyShard AdjacencyShard::zeroed(size_t first, size_t count, size_t max_degree) {
    AdjacencyShard s;
    s.neighbors.assign(checked_slots(count, max_degree), 0);
    s.degrees.assign(count, 0);
    s.first_node = first;
    s.node_count = count;
    return s;
}

CompactAdjacency CompactAdjacency::empty(size_t node_count, size_t max_degree) {
    std::vector<AdjacencyShard> shards;
    shards.reserve(div_ceil(node_count, kShardNodes));
    for (size_t first = 0; first < node_count; first += kShardNodes) {
        shards.push_back(AdjacencyShard::zeroed(first, std::min(kShardNodes, node_count - first), max_degree));
    }
    return CompactAdjacency(std::move(shards), node_count, max_degree);
}

CompactAdjacency CompactAdjacency::from_nested(std::vector<std::vector<uint32_t>> lists, size_t max_degree) {
    const size_t n = lists.size();
    std::vector<AdjacencyShard> shards;
    shards.reserve(div_ceil(n, kShardNodes));
    for (size_t first = 0; first < n; first += kShardNodes) {
        AdjacencyShard s = AdjacencyShard::zeroed(first, std::min(kShardNodes, n - first), max_degree);
        for (size_t k = 0; k < s.node_count; ++k) {
            std::vector<uint32_t>& list = lists[first + k];
            TD_ASSERT(list.size() <= max_degree, "assertion failed: neighbors.len() <= max_degree");
            TD_ASSERT(list.size() <= 65535, "Vamana degree exceeds compact adjacency metadata");
            std::copy(list.begin(), list.end(), s.neighbors.begin() + static_cast<ptrdiff_t>(k * max_degree));
            s.degrees[k] = static_cast<uint16_t>(list.size());
            std::vector<uint32_t>().swap(list);
        }
        shards.push_back(std::move(s));
    }
    return CompactAdjacency(std::move(shards), n, max_degree);
}

uint32_t* CompactAdjacency::row(size_t node, uint16_t** degree) {
    check_index(node, node_count_);
    AdjacencyShard& s = shards_[node >> kShardShift];
    const size_t local = node - s.first_node;
    *degree = &s.degrees[local];
    return s.neighbors.data() + local * max_degree_;
}

void CompactAdjacency::set_neighbors(size_t node, std::span<const uint32_t> list) {
    uint16_t* degree = nullptr;
    uint32_t* slots = row(node, &degree);
    TD_ASSERT(list.size() <= max_degree_, "assertion failed: neighbors.len() <= max_degree");
    std::copy(list.begin(), list.end(), slots);
    *degree = static_cast<uint16_t>(list.size());
}

void CompactAdjacency::push_neighbor(size_t node, uint32_t id) {
    uint16_t* degree = nullptr;
    uint32_t* slots = row(node, &degree);
    TD_ASSERT(*degree < max_degree_, "compact adjacency node is full");
    slots[*degree] = id;
    ++*degree;
}

void CompactAdjacency::swap_remove(size_t node, size_t position) {
    uint16_t* degree = nullptr;
    uint32_t* slots = row(node, &degree);
    TD_ASSERT(position < *degree, "compact adjacency removal slot is invalid");
    slots[position] = slots[*degree - 1];
    --*degree;
}

void CompactAdjacency::permute_and_map_neighbors(std::span<const uint32_t> mapping) {
    assert_eq(mapping.size(), node_count_, "mapping.len() == self.node_count");
    const size_t n = node_count_;
    std::vector<uint8_t> visited(n, 0);
    std::vector<uint32_t> carried(max_degree_);
    for (size_t start = 0; start < n; ++start) {
        if (visited[start]) continue;
        uint16_t* deg = nullptr;
        uint32_t* slots = row(start, &deg);
        std::copy(slots, slots + max_degree_, carried.begin());
        uint16_t carried_degree = *deg;
        size_t pos = start;
        for (;;) {
            visited[pos] = 1;
            const size_t dest = mapping[pos];
            TD_ASSERT(dest < n, "assertion failed: destination < self.node_count");
            uint32_t* dest_slots = row(dest, &deg);
            std::swap_ranges(dest_slots, dest_slots + max_degree_, carried.begin());
            std::swap(*deg, carried_degree);
            if (dest == start) break;
            if (visited[dest]) panic("DiskANN locality mapping is not a permutation");
            pos = dest;
        }
    }
    for (size_t v = 0; v < n; ++v) {
        uint16_t* deg = nullptr;
        uint32_t* slots = row(v, &deg);
        for (uint32_t* p = slots; p != slots + *deg; ++p) {
            check_index(*p, n);
            *p = mapping[*p];
        }
        std::sort(slots, slots + *deg);
    }
}

// ---- visit states and scratch ---------------------------------------------

BuildVisitStates::Sizing BuildVisitStates::sizing(size_t n, size_t max_degree, size_t list_size) noexcept {
    Sizing s;
    const size_t w = std::min<size_t>(n, saturating_add(saturating_mul(max_degree, list_size), 1));
    s.touched_capacity = w;
    const size_t w4 = saturating_mul(4, w);
    s.dense_bytes = saturating_add(n, w4);
    const auto twice = checked_mul(2, w);
    if (twice && *twice <= (size_t{1} << 63)) {
        const size_t slots = std::max<size_t>(std::bit_ceil(*twice), 8);
        const auto five = checked_mul(5, slots);
        if (five) s.sparse_bytes = checked_add(*five, w4);
    }
    if (s.sparse_bytes) {
        const auto sixteen = checked_mul(16, *s.sparse_bytes);
        s.sparse = sixteen && *sixteen < s.dense_bytes;
    }
    return s;
}

BuildVisitStates::BuildVisitStates(size_t node_count, size_t max_degree, size_t list_size) {
    const Sizing s = sizing(node_count, max_degree, list_size);
    if (s.sparse) {
        sparse_ = sparse_table::SparseTable<uint8_t>::try_with_capacity(s.touched_capacity);
        if (!sparse_) fail(ErrorKind::OutOfMemory, "SparseTable allocation failed");
        return;
    }
    dense_.assign(node_count, kUnseen);
    touched_.reserve(s.touched_capacity);
}

void BuildVisitStates::reset() {
    if (sparse_) {
        sparse_->clear();
        return;
    }
    for (const uint32_t node : touched_) dense_[node] = kUnseen;
    touched_.clear();
}

GreedySearchScratch::GreedySearchScratch(size_t node_count, size_t max_degree, size_t list_size)
    : visit_states_(node_count, max_degree, list_size) {
    const size_t both = saturating_add(list_size, max_degree);
    neighbor_buffer.reserve(max_degree);
    candidate_ids.reserve(list_size);
    prune_ids.reserve(both);
    prune_scored.reserve(both);
    pruned.reserve(max_degree);
    prune_flags.reserve(both);
    pending_ids_.reserve(max_degree);
    pending_distances_.reserve(max_degree);
}

void GreedySearchScratch::begin_search() {
    visit_states_.reset();
    results_.clear();
    frontier_.clear();
    neighbor_buffer.clear();
}

void GreedySearchScratch::insert_candidate(uint32_t node, size_t list_size, float distance) {
    visit_states_.set(node, kSeen);
    if (list_size == 0) return;
    const ScoredNode scored{node, distance};
    if (results_.size() >= list_size) {
        TD_ASSERT(!results_.empty(), "full result heap has a worst node");
        if (!scored_node_less(scored, results_.front())) return;
        std::pop_heap(results_.begin(), results_.end(), kResultLess);
        visit_states_.set(results_.back().id, kSeen);
        results_.pop_back();
    }
    results_.push_back(scored);
    std::push_heap(results_.begin(), results_.end(), kResultLess);
    frontier_.push_back(scored);
    std::push_heap(frontier_.begin(), frontier_.end(), kFrontierLess);
    visit_states_.set(node, kListed);
    if (frontier_.size() > saturating_mul(2, list_size)) {
        std::erase_if(frontier_, [&](const ScoredNode& s) { return visit_states_.get(s.id) != kListed; });
        std::make_heap(frontier_.begin(), frontier_.end(), kFrontierLess);
    }
}

// ---- search and prune on a finished graph ----------------------------------

namespace {

// Asks for the cache lines of one row ahead of its use.
inline void prefetch_row(std::span<const float> vectors, size_t dimension, uint32_t id) noexcept {
    const size_t start = size_t{id} * dimension;
    if (start + dimension > vectors.size()) return;  // the scoring call reports it
    const char* p = reinterpret_cast<const char*>(vectors.data() + start);
    const size_t bytes = dimension * sizeof(float);
    for (size_t off = 0; off < bytes; off += 64) __builtin_prefetch(p + off);
}

// Asks for the first two cache lines of one row.
inline void prefetch_head(std::span<const float> vectors, size_t dimension, uint32_t id) noexcept {
    const size_t start = size_t{id} * dimension;
    if (start + dimension > vectors.size()) return;  // the scoring call reports it
    const char* p = reinterpret_cast<const char*>(vectors.data() + start);
    __builtin_prefetch(p);
    __builtin_prefetch(p + 64);
}

}  // namespace

void score_rows(std::span<const float> vectors, size_t dimension, uint32_t metric, std::span<const float> query,
                std::span<const uint32_t> ids, std::span<float> out) {
    check_len(ids.size(), out.size());
    const size_t n = ids.size();
    size_t i = 0;
    if (metric == kMetricL2) {
        // The first lines of every row start their fetches early; whole rows
        // are asked for one group ahead.
        for (size_t k = 0; k < n; ++k) prefetch_head(vectors, dimension, ids[k]);
        for (size_t k = 0; k < std::min<size_t>(n, 4); ++k) prefetch_row(vectors, dimension, ids[k]);
        for (; i + 4 <= n; i += 4) {
            for (size_t k = i + 4; k < std::min(n, i + 8); ++k) prefetch_row(vectors, dimension, ids[k]);
            const auto d = distance::fvec_l2sqr_four(
                query, node_row(vectors, dimension, ids[i]), node_row(vectors, dimension, ids[i + 1]),
                node_row(vectors, dimension, ids[i + 2]), node_row(vectors, dimension, ids[i + 3]));
            std::copy(d.begin(), d.end(), out.begin() + static_cast<ptrdiff_t>(i));
        }
        if (i < n && dimension >= 8) {
            // One to three rows left: one more four-row call with the last row
            // repeated, cheaper than single-row calls and with the same bits.
            const uint32_t last = ids[n - 1];
            const uint32_t r1 = i + 1 < n ? ids[i + 1] : last;
            const uint32_t r2 = i + 2 < n ? ids[i + 2] : last;
            const auto d = distance::fvec_l2sqr_four(query, node_row(vectors, dimension, ids[i]),
                                                     node_row(vectors, dimension, r1),
                                                     node_row(vectors, dimension, r2), node_row(vectors, dimension, last));
            for (size_t k = 0; i < n; ++i, ++k) out[i] = d[k];
        }
    }
    for (; i < n; ++i) {
        if (i + 1 < n) prefetch_row(vectors, dimension, ids[i + 1]);
        out[i] = distance::fvec_distance(node_row(vectors, dimension, ids[i]), query, metric);
    }
}

void VamanaGraph::greedy_search_with_scratch(std::span<const float> vectors, size_t dimension, uint32_t metric,
                                             std::span<const float> query, size_t list_size,
                                             GreedySearchScratch& scratch) const {
    const CompactAdjacency& adj = adjacency_;
    scratch.run(
        entry_, adj.node_count(), list_size,
        [&](uint32_t node, std::vector<uint32_t>&) { return adj[node]; },
        [&](std::span<const uint32_t> ids, std::span<float> out) {
            score_rows(vectors, dimension, metric, query, ids, out);
        },
        [&](uint32_t node) { adj.prefetch_list(node); });
}

std::vector<ScoredNode> VamanaGraph::greedy_search_with_metric(std::span<const float> vectors, size_t dimension,
                                                               uint32_t metric, std::span<const float> query,
                                                               size_t list_size) const {
    GreedySearchScratch scratch(node_count(), max_degree(), std::min(node_count(), list_size));
    greedy_search_with_scratch(vectors, dimension, metric, query, list_size, scratch);
    std::vector<ScoredNode> out = scratch.results();
    std::sort(out.begin(), out.end(), kResultLess);
    return out;
}

std::vector<uint32_t> VamanaGraph::robust_prune_with_metric(std::span<const float> vectors, size_t dimension,
                                                            uint32_t metric, float alpha, uint32_t node,
                                                            std::span<const uint32_t> candidates,
                                                            size_t max_degree) const {
    return robust_prune_candidates(vectors, dimension, node, candidates, alpha, adjacency_[node], node_count(),
                                   max_degree, metric);
}

namespace {

// The keep decisions of the candidates at positions [begin, end) of `scored`
// against the selected p: keep[k - begin]. A pair of two members of the
// compatible set is known to keep; every other pair is evaluated by the rule.
// Evaluation order does not change a decision: the four-row kernel gives each
// row the bits of the one-row kernel, so groups are formed from the pairs
// that need evaluating.
void decide_window(std::span<const float> vectors, size_t dimension, uint32_t metric, float alpha,
                   std::span<const float> pv, bool p_compatible, const std::vector<ScoredNode>& scored,
                   const std::vector<uint8_t>* compatible, size_t begin, size_t end, bool* keep) {
    size_t todo[64];
    size_t count = 0;
    for (size_t k = begin; k < end; ++k) {
        if (p_compatible && (*compatible)[k]) {
            keep[k - begin] = true;
        } else {
            todo[count++] = k;
        }
    }
    if (metric == kMetricL2 && dimension < 256) {
        size_t t = 0;
        for (; t < count; t += 4) {
            const size_t g[4] = {todo[t], todo[std::min(t + 1, count - 1)], todo[std::min(t + 2, count - 1)],
                                 todo[std::min(t + 3, count - 1)]};
            const auto dp = distance::fvec_l2sqr_four(
                pv, node_row(vectors, dimension, scored[g[0]].id), node_row(vectors, dimension, scored[g[1]].id),
                node_row(vectors, dimension, scored[g[2]].id), node_row(vectors, dimension, scored[g[3]].id));
            for (size_t k = 0; k < 4 && t + k < count; ++k) {
                keep[g[k] - begin] = scored[g[k]].distance < alpha * dp[k];
            }
        }
        return;
    }
    for (size_t t = 0; t < count; ++t) {
        const ScoredNode& c = scored[todo[t]];
        const std::span<const float> cv = node_row(vectors, dimension, c.id);
        bool k = false;
        if (metric == kMetricL2) {
            k = c.distance < 0.0f || distance::fvec_l2sqr_scaled_exceeds(pv, cv, alpha, c.distance);
        } else if (metric == kMetricInnerProduct) {
            k = distance::fvec_distance(pv, cv, kMetricInnerProduct) >= alpha * c.distance;
        } else {
            k = c.distance < alpha * distance::fvec_distance(pv, cv, kMetricCosine);
        }
        keep[todo[t] - begin] = k;
    }
}

}  // namespace

void robust_prune_candidates_into(std::span<const float> vectors, size_t dimension, uint32_t node,
                                  std::span<const uint32_t> candidates, float alpha,
                                  std::span<const uint32_t> neighbors, size_t node_count, size_t max_degree,
                                  uint32_t metric, std::vector<uint32_t>& ids, std::vector<ScoredNode>& scored,
                                  std::vector<uint32_t>& out) {
    robust_prune_compatible_into(vectors, dimension, node, candidates, alpha, neighbors, {}, node_count, max_degree,
                                 metric, ids, scored, nullptr, out);
}

void robust_prune_compatible_into(std::span<const float> vectors, size_t dimension, uint32_t node,
                                  std::span<const uint32_t> candidates, float alpha,
                                  std::span<const uint32_t> neighbors, std::span<const uint32_t> compatible,
                                  size_t node_count, size_t max_degree, uint32_t metric, std::vector<uint32_t>& ids,
                                  std::vector<ScoredNode>& scored, std::vector<uint8_t>* flags,
                                  std::vector<uint32_t>& out) {
    ids.clear();
    for (const auto list : {candidates, neighbors}) {
        for (const uint32_t id : list) {
            if (id != node && id < node_count) ids.push_back(id);
        }
    }
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());

    const std::span<const float> self = node_row(vectors, dimension, node);
    scored.clear();
    float chunk[64];
    for (size_t at = 0; at < ids.size(); at += 64) {
        const size_t count = std::min<size_t>(64, ids.size() - at);
        score_rows(vectors, dimension, metric, self, std::span<const uint32_t>(ids).subspan(at, count),
                   std::span<float>(chunk, count));
        for (size_t k = 0; k < count; ++k) scored.push_back({ids[at + k], chunk[k]});
    }
    std::sort(scored.begin(), scored.end(), kResultLess);

    // Membership of each scored entry in the compatible set, kept in step with
    // `scored` while it is filtered. `out` serves as the sorted copy of the set.
    const bool use_compatible = flags != nullptr && !compatible.empty();
    if (use_compatible) {
        out.assign(compatible.begin(), compatible.end());
        std::sort(out.begin(), out.end());
        flags->resize(scored.size());
        for (size_t k = 0; k < scored.size(); ++k) {
            (*flags)[k] = std::binary_search(out.begin(), out.end(), scored[k].id) ? 1 : 0;
        }
    }

    out.clear();
    size_t len = scored.size();
    // Entries not in the compatible set among those still listed: once none
    // is left after a compatible p, p keeps every remaining entry.
    size_t outsiders = len;
    if (use_compatible) outsiders = static_cast<size_t>(std::count(flags->begin(), flags->end(), uint8_t{0}));
    size_t i = 0;
    while (i < len && out.size() < max_degree) {
        const ScoredNode p = scored[i];
        const bool p_compatible = use_compatible && (*flags)[i];
        out.push_back(p.id);
        ++i;
        if (!p_compatible) --outsiders;
        if (p_compatible && outsiders == 0) continue;
        if (i < len && metric == kMetricL2 && dimension >= 256) {
            TD_ASSERT(std::isfinite(alpha) && !(alpha < 0.0f),
                      "fvec_l2sqr_scaled_exceeds scale must be finite and non-negative");
        }
        const std::span<const float> pv = node_row(vectors, dimension, p.id);
        size_t w = i;
        for (size_t r = i; r < len;) {
            const size_t end = std::min(len, r + 64);
            bool keep[64];
            decide_window(vectors, dimension, metric, alpha, pv, p_compatible, scored,
                          use_compatible ? flags : nullptr, r, end, keep);
            for (size_t k = r; k < end; ++k) {
                if (!keep[k - r]) {
                    if (!use_compatible || !(*flags)[k]) --outsiders;
                    continue;
                }
                scored[w] = scored[k];
                if (use_compatible) (*flags)[w] = (*flags)[k];
                ++w;
            }
            r = end;
        }
        len = w;
    }
    scored.resize(len);
}

std::vector<uint32_t> robust_prune_candidates(std::span<const float> vectors, size_t dimension, uint32_t node,
                                              std::span<const uint32_t> candidates, float alpha,
                                              std::span<const uint32_t> neighbors, size_t node_count,
                                              size_t max_degree, uint32_t metric) {
    std::vector<uint32_t> ids;
    std::vector<ScoredNode> scored;
    std::vector<uint32_t> out;
    robust_prune_candidates_into(vectors, dimension, node, candidates, alpha, neighbors, node_count, max_degree,
                                 metric, ids, scored, out);
    return out;
}

// ---- entry node -------------------------------------------------------------

uint32_t centroid_entry(std::span<const float> vectors, size_t n, size_t dimension, uint32_t metric) {
    TD_ASSERT(n > 0, "validated non-empty Vamana data");
    std::vector<float> mean(dimension, 0.0f);
    for (size_t i = 0; i < n; ++i) {
        const std::span<const float> r = node_row(vectors, dimension, i);
        for (size_t j = 0; j < dimension; ++j) mean[j] += r[j];
    }
    const float count = static_cast<float>(n);
    for (float& m : mean) m /= count;
    if (n == 1) return 0;
    uint32_t best = 0;
    float best_distance = distance::fvec_distance(node_row(vectors, dimension, 0), mean, metric);
    for (size_t i = 1; i < n; ++i) {
        const float d = distance::fvec_distance(node_row(vectors, dimension, i), mean, metric);
        if (total_order_less(d, best_distance)) {
            best = static_cast<uint32_t>(i);
            best_distance = d;
        }
    }
    return best;
}

// ---- repair and validation --------------------------------------------------

namespace {

// Breadth-first walk from `start` over nodes not yet reached; appends the newly
// reached nodes (start first when it is new) to `walked`.
void walk_from(const CompactAdjacency& adj, size_t start, std::vector<uint8_t>& reached, std::vector<int64_t>& parent,
               std::deque<size_t>& queue, std::vector<size_t>* walked) {
    queue.clear();
    queue.push_back(start);
    if (walked) walked->push_back(start);
    while (!queue.empty()) {
        const size_t p = queue.front();
        queue.pop_front();
        for (const uint32_t c : adj[p]) {
            check_index(c, reached.size());
            if (reached[c]) continue;
            reached[c] = 1;
            parent[c] = static_cast<int64_t>(p);
            queue.push_back(c);
            if (walked) walked->push_back(c);
        }
    }
}

}  // namespace

bool VamanaGraph::is_repair_source(size_t node, size_t max_degree, std::span<const int64_t> parent) const {
    const std::span<const uint32_t> list = adjacency_[node];
    if (list.size() < max_degree) return true;
    const int64_t self = static_cast<int64_t>(node);
    return std::any_of(list.begin(), list.end(), [&](uint32_t c) {
        check_index(c, parent.size());
        return parent[c] != self;
    });
}

void VamanaGraph::repair_connectivity(std::span<const float> vectors, size_t dimension, size_t max_degree,
                                      uint32_t metric) {
    const size_t n = node_count();
    if (n == 0) return;
    check_index(entry_, n);
    std::vector<uint8_t> reached(n, 0);
    std::vector<int64_t> parent(n, -1);
    std::deque<size_t> queue;
    reached[entry_] = 1;
    walk_from(adjacency_, entry_, reached, parent, queue, nullptr);

    size_t scan = 0;
    while (scan < n && reached[scan]) ++scan;
    if (scan == n) return;  // fully reachable: no change, no distance

    std::vector<size_t> sources;
    for (size_t v = 0; v < n; ++v) {
        if (reached[v] && is_repair_source(v, max_degree, parent)) sources.push_back(v);
    }
    std::vector<size_t> walked;
    uint64_t repairs = 0;
    for (; scan < n; ++scan) {
        if (reached[scan]) continue;
        const size_t u = scan;
        if (sources.empty()) invalid_data("Vamana connectivity repair found no replaceable edge");
        const size_t size = sources.size();
        const size_t sample = std::min<size_t>(size, 64);
        const size_t start = static_cast<size_t>(mix64(uint64_t{u} ^ (repairs * 0x9E3779B97F4A7C15ull)) % size);
        const std::span<const float> target = node_row(vectors, dimension, u);
        std::optional<size_t> chosen_index;
        float chosen_distance = 0.0f;
        for (size_t i = 0; i < sample; ++i) {
            const size_t idx = (start + i) % size;
            const size_t k = sources[idx];
            if (!is_repair_source(k, max_degree, parent)) continue;
            const float d = distance::fvec_distance(node_row(vectors, dimension, k), target, metric);
            const int32_t key = total_order_key(d), best = total_order_key(chosen_distance);
            if (!chosen_index || key < best || (key == best && k < sources[*chosen_index])) {
                chosen_index = idx;
                chosen_distance = d;
            }
        }
        if (!chosen_index) {
            for (size_t idx = 0; idx < size; ++idx) {
                if (is_repair_source(sources[idx], max_degree, parent)) {
                    chosen_index = idx;
                    break;
                }
            }
            if (!chosen_index) invalid_data("Vamana connectivity repair found no replaceable edge");
        }
        const size_t k = sources[*chosen_index];
        sources[*chosen_index] = sources.back();
        sources.pop_back();

        if (adjacency_.degree(k) == max_degree) {
            const std::span<const uint32_t> list = adjacency_[k];
            const std::span<const float> kv = node_row(vectors, dimension, k);
            std::optional<size_t> drop;
            int32_t drop_key = 0;
            for (size_t pos = 0; pos < list.size(); ++pos) {
                const uint32_t c = list[pos];
                if (parent[c] == static_cast<int64_t>(k)) continue;
                const int32_t key = total_order_key(distance::fvec_distance(node_row(vectors, dimension, c), kv, metric));
                if (!drop || key >= drop_key) {
                    drop = pos;
                    drop_key = key;
                }
            }
            TD_ASSERT(drop.has_value(), "eligible full source has a non-tree edge");
            adjacency_.swap_remove(k, *drop);
        }
        adjacency_.push_neighbor(k, static_cast<uint32_t>(u));
        reached[u] = 1;
        parent[u] = static_cast<int64_t>(k);
        walked.clear();
        walk_from(adjacency_, u, reached, parent, queue, &walked);
        if (is_repair_source(k, max_degree, parent)) sources.push_back(k);
        for (const size_t v : walked) {
            if (is_repair_source(v, max_degree, parent)) sources.push_back(v);
        }
        ++repairs;
    }
}

void VamanaGraph::validate(size_t max_degree) const {
    const size_t n = node_count();
    std::vector<uint32_t> sorted;
    for (size_t v = 0; v < n; ++v) {
        const std::span<const uint32_t> list = adjacency_[v];
        if (list.size() > max_degree) {
            invalid_input("Vamana node {} degree {} exceeds maximum {}", v, list.size(), max_degree);
        }
        sorted.assign(list.begin(), list.end());
        std::sort(sorted.begin(), sorted.end());
        if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
            invalid_input("Vamana node {} contains duplicate neighbors", v);
        }
        for (const uint32_t u : sorted) {
            if (u >= n || u == v) invalid_input("Vamana node {} contains invalid neighbor", v);
        }
    }
}

bool VamanaGraph::is_fully_reachable() const {
    const size_t n = node_count();
    if (n == 0 || entry_ >= n) return false;
    std::vector<uint8_t> seen(n, 0);
    std::vector<uint32_t> queue;
    queue.reserve(n);
    queue.push_back(entry_);
    seen[entry_] = 1;
    for (size_t head = 0; head < queue.size(); ++head) {
        for (const uint32_t c : adjacency_[queue[head]]) {
            if (c >= n || seen[c]) continue;
            seen[c] = 1;
            queue.push_back(c);
        }
    }
    return queue.size() == n;
}

}  // namespace tavren::vamana
