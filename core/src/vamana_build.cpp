// The parallel two-pass Vamana build.
//
// Determinism: within a batch of 128 nodes, every search and prune runs
// against the graph as it stood before the batch (nobody writes until the
// parallel loop ends); the batch's lists are then written in batch order on
// the calling thread; and each target of a reverse edge is updated by exactly
// one task from its own list and its sorted sources. Every scratch is reset
// before use. So the graph depends only on the inputs, the configuration and
// the seed, never on the pool size or on timing.
//
// Locks, in the one order they are ever taken:
//   1. the scratch pool's mutex, held only to take or return a scratch (a
//      taken scratch belongs to its task alone, so it needs no lock of its own);
//   2. at most one shard lock at a time (read locks during a search, one after
//      the other; one write lock for a whole reverse-edge update).
// No lock is held while entering parallel work: the parallel loops are
// started from the calling thread between phases, holding nothing.
#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <type_traits>

#include "distance.hpp"
#include "error.hpp"
#include "pool.hpp"
#include "rng.hpp"
#include "vamana.hpp"

namespace tavren::vamana {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kBatchNodes = 128;
constexpr uint64_t kBuilderSeedSalt = 0x61C8864680B583EBull;
constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull;


// The graph under construction: one read-write lock per block of 256 nodes.
class ParallelAdjacency {
public:
    struct LockedShard {
        std::shared_mutex lock;
        AdjacencyShard shard;
        // Per node: how many leading entries of its list are an output of a
        // prune of this pass (same alpha), so that no two of them separate
        // under the prune rule. 0 at the start of every pass.
        std::array<uint16_t, kShardNodes> compatible{};
    };

    // Every node gets d0 distinct random neighbours (a partial Fisher-Yates
    // shuffle over the other n - 1 nodes, in draw order), one task per shard,
    // each with its own generator derived from the seed and the shard index.
    static std::unique_ptr<ParallelAdjacency> new_random(size_t n, size_t d0, uint64_t seed) {
        auto adj = std::make_unique<ParallelAdjacency>();
        adj->node_count_ = n;
        adj->max_degree_ = d0;
        adj->shard_count_ = div_ceil(n, kShardNodes);
        adj->shards_ = std::make_unique<LockedShard[]>(adj->shard_count_);
        ParallelAdjacency& a = *adj;
        pool::parallel_for_each_index(a.shard_count_, [&](size_t s) {
            const size_t first = s * kShardNodes;
            AdjacencyShard shard = AdjacencyShard::zeroed(first, std::min(kShardNodes, n - first), d0);
            std::fill(shard.degrees.begin(), shard.degrees.end(), static_cast<uint16_t>(d0));
            rng::StdRng gen = rng::StdRng::seed_from_u64(mix64((uint64_t{s} * kGolden) ^ seed));
            auto swaps = sparse_table::SparseTable<uint32_t>::try_with_capacity(d0);
            if (!swaps) fail(ErrorKind::OutOfMemory, "SparseTable allocation failed");
            for (size_t k = 0; k < shard.node_count; ++k) {
                const size_t v = first + k;
                swaps->clear();
                uint32_t* slots = shard.neighbors.data() + k * d0;
                for (size_t j = 0; j < d0; ++j) {
                    const uint32_t p = static_cast<uint32_t>(gen.gen_range(j, n - 1));
                    const uint32_t jj = static_cast<uint32_t>(j);
                    const uint32_t x = swaps->get(p).value_or(p);
                    const uint32_t y = swaps->get(jj).value_or(jj);
                    if (p != jj) swaps->insert(p, y);
                    slots[j] = x >= v ? x + 1 : x;
                }
            }
            a.shards_[s].shard = std::move(shard);
        });
        return adj;
    }

    size_t node_count() const noexcept { return node_count_; }
    size_t max_degree() const noexcept { return max_degree_; }

    LockedShard& shard_of(size_t node) {
        check_index(node, node_count_);
        return shards_[node >> kShardShift];
    }

    // Appends the node's current list to `out` under its shard's read lock;
    // returns the length of its compatible prefix.
    size_t copy_neighbors(size_t node, std::vector<uint32_t>& out) {
        LockedShard& ls = shard_of(node);
        std::shared_lock lock(ls.lock);
        const size_t local = node - ls.shard.first_node;
        const uint32_t* row = ls.shard.neighbors.data() + local * max_degree_;
        out.insert(out.end(), row, row + ls.shard.degrees[local]);
        return ls.compatible[local];
    }

    // Asks for the cache lines of a node's list, its degree and its shard
    // lock ahead of use; reads nothing.
    void prefetch_list(size_t node) noexcept {
        if (node >= node_count_) return;
        LockedShard& ls = shards_[node >> kShardShift];
        const size_t local = node - ls.shard.first_node;
        const char* row = reinterpret_cast<const char*>(ls.shard.neighbors.data() + local * max_degree_);
        for (size_t off = 0; off < max_degree_ * sizeof(uint32_t); off += 64) __builtin_prefetch(row + off);
        __builtin_prefetch(ls.shard.degrees.data() + local);
        __builtin_prefetch(&ls.lock);
    }

    // Forgets every compatible prefix (a new pass prunes with another alpha).
    // Only between parallel phases.
    void reset_compatible() {
        for (size_t s = 0; s < shard_count_; ++s) shards_[s].compatible.fill(0);
    }

    // Takes the shards out, in shard order. Only after all parallel work ended.
    CompactAdjacency finish() {
        std::vector<AdjacencyShard> shards;
        shards.reserve(shard_count_);
        for (size_t s = 0; s < shard_count_; ++s) {
            std::unique_lock lock(shards_[s].lock);
            shards.push_back(std::move(shards_[s].shard));
        }
        shards_.reset();
        return CompactAdjacency(std::move(shards), node_count_, max_degree_);
    }

private:
    std::unique_ptr<LockedShard[]> shards_;
    size_t shard_count_ = 0;
    size_t node_count_ = 0;
    size_t max_degree_ = 0;
};

// Search scratches of one pass. A task takes one for the length of one node's
// work and returns it; a task that finds none free waits (never while holding
// a shard lock, since scratches are taken first).
class ScratchPool {
public:
    ScratchPool(size_t count, size_t n, size_t max_degree, size_t list_size) {
        scratches_.reserve(count);
        free_.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            scratches_.push_back(std::make_unique<GreedySearchScratch>(n, max_degree, list_size));
            free_.push_back(count - 1 - i);
        }
    }

    class Lease {
    public:
        Lease(ScratchPool& pool, size_t index) : pool_(pool), index_(index) {}
        ~Lease() { pool_.give_back(index_); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        GreedySearchScratch& operator*() const noexcept { return *pool_.scratches_[index_]; }

    private:
        ScratchPool& pool_;
        size_t index_;
    };

    Lease take() {
        std::unique_lock lock(mutex_);
        available_.wait(lock, [&] { return !free_.empty(); });
        const size_t index = free_.back();
        free_.pop_back();
        return Lease(*this, index);
    }

private:
    void give_back(size_t index) noexcept {
        {
            std::lock_guard lock(mutex_);
            free_.push_back(index);  // capacity reserved: cannot allocate
        }
        available_.notify_one();
    }

    std::vector<std::unique_ptr<GreedySearchScratch>> scratches_;
    std::vector<size_t> free_;
    std::mutex mutex_;
    std::condition_variable available_;
};

template <class SearchDistance>
class ParallelVamanaBuilder {
public:
    ParallelVamanaBuilder(std::unique_ptr<ParallelAdjacency> adjacency, SearchDistance search_distance,
                          std::span<const float> vectors, size_t dimension, uint32_t metric, uint32_t entry)
        : adjacency_(std::move(adjacency)),
          search_distance_(search_distance),
          vectors_(vectors),
          dimension_(dimension),
          metric_(metric),
          entry_(entry) {}

    void run_pass(const diskann::DiskAnnBuildConfig& config, rng::StdRng& gen, float alpha) {
        const size_t n = adjacency_->node_count();
        const size_t r = static_cast<size_t>(config.max_degree);
        const size_t l = static_cast<size_t>(config.build_search_list_size);
        std::vector<uint32_t> order(n);
        for (size_t i = 0; i < n; ++i) order[i] = static_cast<uint32_t>(i);
        gen.shuffle(std::span<uint32_t>(order));

        adjacency_->reset_compatible();
        ScratchPool scratches(std::max<size_t>(pool::current_num_threads(), 1), n, r, l);
        std::vector<std::vector<uint32_t>> outputs(std::min(kBatchNodes, n));
        for (auto& out : outputs) out.reserve(r);
        std::vector<uint64_t> pairs;
        pairs.reserve(kBatchNodes * r);
        std::vector<size_t> runs;
        runs.reserve(kBatchNodes * r + 1);

        for (size_t begin = 0; begin < n; begin += kBatchNodes) {
            const size_t count = std::min(kBatchNodes, n - begin);
            const std::span<const uint32_t> batch(order.data() + begin, count);

            pool::parallel_for(0, count, 1, [&](size_t lo, size_t hi) {
                for (size_t i = lo; i < hi; ++i) search_and_prune(batch[i], l, r, alpha, scratches, outputs[i]);
            });

            for (size_t i = 0; i < count; ++i) {
                const uint32_t v = batch[i];
                {
                    ParallelAdjacency::LockedShard& ls = adjacency_->shard_of(v);
                    std::unique_lock lock(ls.lock);
                    write_row(ls.shard, v, outputs[i]);
                    ls.compatible[v - ls.shard.first_node] = static_cast<uint16_t>(outputs[i].size());
                }
                for (const uint32_t u : outputs[i]) pairs.push_back((uint64_t{u} << 32) | v);
            }

            std::sort(pairs.begin(), pairs.end());
            pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
            runs.clear();
            for (size_t i = 0; i < pairs.size(); ++i) {
                if (i == 0 || (pairs[i] >> 32) != (pairs[i - 1] >> 32)) runs.push_back(i);
            }
            runs.push_back(pairs.size());

            pool::parallel_for(0, runs.size() - 1, 1, [&](size_t lo, size_t hi) {
                for (size_t k = lo; k < hi; ++k) {
                    insert_reverse_edges(std::span<const uint64_t>(pairs.data() + runs[k], runs[k + 1] - runs[k]),
                                         r, alpha, scratches);
                }
            });
            pairs.clear();
            for (auto& out : outputs) out.clear();
        }
    }

    std::unique_ptr<ParallelAdjacency> take_adjacency() noexcept { return std::move(adjacency_); }

private:
    void write_row(AdjacencyShard& shard, size_t node, std::span<const uint32_t> list) const {
        const size_t local = node - shard.first_node;
        const size_t cap = adjacency_->max_degree();
        TD_ASSERT(list.size() <= cap, "assertion failed: neighbors.len() <= max_degree");
        std::copy(list.begin(), list.end(), shard.neighbors.begin() + static_cast<ptrdiff_t>(local * cap));
        shard.degrees[local] = static_cast<uint16_t>(list.size());
    }

    void search_and_prune(uint32_t v, size_t l, size_t r, float alpha, ScratchPool& scratches,
                          std::vector<uint32_t>& out) {
        auto lease = scratches.take();
        GreedySearchScratch& scratch = *lease;
        ParallelAdjacency& adj = *adjacency_;
        const size_t n = adj.node_count();
        scratch.run(
            entry_, n, l,
            [&](uint32_t node, std::vector<uint32_t>& buffer) {
                adj.copy_neighbors(node, buffer);
                return std::span<const uint32_t>(buffer);
            },
            [&](std::span<const uint32_t> ids, std::span<float> out) { search_distance_(ids, v, out); },
            [&](uint32_t node) { adj.prefetch_list(node); });
        scratch.candidate_ids.clear();
        for (const ScoredNode& s : scratch.results()) scratch.candidate_ids.push_back(s.id);
        scratch.neighbor_buffer.clear();
        const size_t compatible = adj.copy_neighbors(v, scratch.neighbor_buffer);
        robust_prune_compatible_into(vectors_, dimension_, v, scratch.candidate_ids, alpha, scratch.neighbor_buffer,
                                     std::span<const uint32_t>(scratch.neighbor_buffer).first(compatible), n, r,
                                     metric_, scratch.prune_ids, scratch.prune_scored, &scratch.prune_flags, out);
        scratch.neighbor_buffer.clear();
    }

    void insert_reverse_edges(std::span<const uint64_t> run, size_t r, float alpha, ScratchPool& scratches) {
        auto lease = scratches.take();
        GreedySearchScratch& scratch = *lease;
        const uint32_t t = static_cast<uint32_t>(run.front() >> 32);
        scratch.candidate_ids.clear();
        for (const uint64_t p : run) scratch.candidate_ids.push_back(static_cast<uint32_t>(p));
        ParallelAdjacency::LockedShard& ls = adjacency_->shard_of(t);
        std::unique_lock lock(ls.lock);
        const size_t local = t - ls.shard.first_node;
        const size_t cap = adjacency_->max_degree();
        uint32_t* row = ls.shard.neighbors.data() + local * cap;
        const size_t degree = ls.shard.degrees[local];
        const std::span<const uint32_t> current(row, degree);
        size_t count = 0;
        for (const uint32_t s : scratch.candidate_ids) {
            if (std::find(current.begin(), current.end(), s) == current.end()) ++count;
        }
        if (count == 0) return;
        if (saturating_add(degree, count) > r) {
            robust_prune_compatible_into(vectors_, dimension_, t, scratch.candidate_ids, alpha, current,
                                         current.first(ls.compatible[local]), adjacency_->node_count(), r, metric_,
                                         scratch.prune_ids, scratch.prune_scored, &scratch.prune_flags,
                                         scratch.pruned);
            write_row(ls.shard, t, scratch.pruned);
            ls.compatible[local] = static_cast<uint16_t>(scratch.pruned.size());
            return;
        }
        // Room for all: append the new sources (already ascending).
        size_t d = degree;
        for (const uint32_t s : scratch.candidate_ids) {
            if (std::find(row, row + degree, s) != row + degree) continue;
            TD_ASSERT(d < cap, "compact adjacency node is full");
            row[d++] = s;
        }
        ls.shard.degrees[local] = static_cast<uint16_t>(d);
    }

    std::unique_ptr<ParallelAdjacency> adjacency_;
    SearchDistance search_distance_;
    std::span<const float> vectors_;
    size_t dimension_;
    uint32_t metric_;
    uint32_t entry_;
};

// distance(candidate u, node v) over the full-precision rows, for a batch of
// candidates.
struct FullPrecisionDistance {
    FullPrecisionSearch s;
    void operator()(std::span<const uint32_t> candidates, uint32_t v, std::span<float> out) const {
        score_rows(s.vectors, s.dimension, s.metric, node_row(s.vectors, s.dimension, v), candidates, out);
    }
};

// distance(candidate u, node v) from the PQ tables, for a batch of candidates.
struct PqDistance {
    const PqBuildDistance* d;
    void operator()(std::span<const uint32_t> candidates, uint32_t v, std::span<float> out) const {
        d->score(candidates, v, out);
    }
};

template <class SearchDistance>
BuiltGraph build_parallel(std::span<const float> vectors, size_t n, size_t dimension, uint32_t metric,
                          const diskann::DiskAnnBuildConfig& config, SearchDistance search_distance) {
    validate_build_inputs(vectors.size(), n, dimension, config.max_degree);
    const auto estimate = estimate_vamana_memory_bytes(n, config.max_degree, config.build_search_list_size,
                                                       pool::current_num_threads());
    std::optional<uint64_t> peak;
    if (estimate) peak = std::max(estimate->parallel_peak, estimate->finish_peak);
    validate_build_memory_budget(peak, config.memory_budget_bytes);

    BuiltGraph result;
    const uint32_t entry = centroid_entry(vectors, n, dimension, metric);
    const size_t r = static_cast<size_t>(config.max_degree);
    const size_t d0 = std::min(n - 1, r);

    auto t0 = Clock::now();
    auto adjacency = ParallelAdjacency::new_random(n, d0, config.seed);
    auto t1 = Clock::now();
    result.timings.initialization = t1 - t0;

    rng::StdRng gen = rng::StdRng::seed_from_u64(mix64(config.seed ^ kBuilderSeedSalt));
    ParallelVamanaBuilder<SearchDistance> builder(std::move(adjacency), search_distance, vectors, dimension, metric,
                                                  entry);
    builder.run_pass(config, gen, 1.0f);
    auto t2 = Clock::now();
    result.timings.first_pass = t2 - t1;
    builder.run_pass(config, gen, config.alpha);
    result.graph = VamanaGraph(builder.take_adjacency()->finish(), entry);
    auto t3 = Clock::now();
    result.timings.second_pass = t3 - t2;

    result.graph.repair_connectivity(vectors, dimension, r, metric);
    result.timings.repair = Clock::now() - t3;
    result.graph.validate(r);
    if (!result.graph.is_fully_reachable()) {
        invalid_data("parallel Vamana graph is not fully reachable from its entry node");
    }
    return result;
}

}  // namespace

BuiltGraph VamanaGraph::build_with_search_distance(std::span<const float> vectors, size_t n, size_t dimension,
                                                   uint32_t metric, const diskann::DiskAnnBuildConfig& config,
                                                   const BuildSearchDistance& search_distance) {
    try {
        return std::visit(
            [&](const auto& s) -> BuiltGraph {
                using S = std::decay_t<decltype(s)>;
                if constexpr (std::is_same_v<S, FullPrecisionSearch>) {
                    return build_parallel(vectors, n, dimension, metric, config, FullPrecisionDistance{s});
                } else {
                    TD_ASSERT(s.distance != nullptr, "PQ search distance has tables");
                    return build_parallel(vectors, n, dimension, metric, config, PqDistance{s.distance});
                }
            },
            search_distance);
    } catch (const std::bad_alloc&) {
        fail(ErrorKind::OutOfMemory, "parallel Vamana build could not allocate memory");
    } catch (const std::length_error&) {
        fail(ErrorKind::OutOfMemory, "parallel Vamana build could not allocate memory");
    }
}

// ---- PQ-guided build ----------------------------------------------------------

PqBuildDistance::PqBuildDistance(const pq::ProductQuantizer& quantizer, std::span<const uint8_t> codes,
                                 uint32_t metric)
    : codes_(codes),
      code_bytes_(quantizer.code_size()),
      m_(quantizer.m()),
      ksub_(quantizer.ksub()),
      nbits_(quantizer.nbits()) {
    const auto per_subspace = checked_mul(ksub_, ksub_);
    const auto entries = per_subspace ? checked_mul(m_, *per_subspace) : std::nullopt;
    if (!entries || !checked_mul(*entries, sizeof(float))) {
        invalid_input("Vamana PQ build-distance table size overflows usize");
    }
    try {
        tables_.assign(*entries, 0.0f);
    } catch (const std::bad_alloc&) {
        invalid_input("Vamana PQ build-distance table allocation failed");
    } catch (const std::length_error&) {
        invalid_input("Vamana PQ build-distance table allocation failed");
    }
    const auto offsets = quantizer.chunk_offsets();
    const auto centroids = quantizer.centroids();
    for (size_t s = 0; s < m_; ++s) {
        const size_t w = offsets[s + 1] - offsets[s];
        const size_t base = offsets[s] * ksub_;
        float* table = tables_.data() + s * ksub_ * ksub_;
        for (size_t i = 0; i < ksub_; ++i) {
            const auto ci = centroids.subspan(base + i * w, w);
            for (size_t j = i; j < ksub_; ++j) {
                const float d = distance::fvec_distance(ci, centroids.subspan(base + j * w, w), metric);
                table[i * ksub_ + j] = d;
                table[j * ksub_ + i] = d;
            }
        }
    }
}

std::span<const uint8_t> PqBuildDistance::code_of(size_t node) const {
    const size_t start = node * code_bytes_;
    check_len(start + code_bytes_, codes_.size());
    return codes_.subspan(start, code_bytes_);
}

float PqBuildDistance::sum_codes(const uint8_t* cu, const uint8_t* cv) const noexcept {
    // The tables are symmetric, so entry [s][code of u][code of v] is read as
    // row (code of v) of subspace s: the same bits in either order.
    const float* t = tables_.data();
    const size_t kk = ksub_ * ksub_;
    float sum = 0.0f;
    if (nbits_ == 8) {
        for (size_t s = 0; s < m_; ++s) sum += t[s * kk + size_t{cv[s]} * 256 + cu[s]];
        return sum;
    }
    for (size_t s = 0; s < m_; ++s) {
        const unsigned shift = (s & 1) ? 4 : 0;
        const size_t a = (cv[s >> 1] >> shift) & 0xF;
        const size_t b = (cu[s >> 1] >> shift) & 0xF;
        sum += t[s * kk + a * 16 + b];
    }
    return sum;
}

float PqBuildDistance::between(size_t a, size_t b) const {
    return sum_codes(code_of(a).data(), code_of(b).data());
}

void PqBuildDistance::score(std::span<const uint32_t> ids, uint32_t node, std::span<float> out) const {
    check_len(ids.size(), out.size());
    const uint8_t* cv = code_of(node).data();
    for (size_t i = 0; i < ids.size(); ++i) out[i] = sum_codes(code_of(ids[i]).data(), cv);
}

BuiltGraph VamanaGraph::build_with_pq_stats(std::span<const float> vectors, const pq::ProductQuantizer& quantizer,
                                            std::span<const uint8_t> codes, size_t n, size_t dimension,
                                            uint32_t metric, const diskann::DiskAnnBuildConfig& config) {
    validate_build_inputs(vectors.size(), n, dimension, config.max_degree);
    const auto expected = checked_mul(n, quantizer.code_size());
    if (quantizer.d() != dimension || (quantizer.nbits() != 4 && quantizer.nbits() != 8) ||
        !quantizer.has_valid_layout() || !expected || *expected != codes.size()) {
        invalid_input("Vamana PQ-guided build received an invalid codebook or code buffer");
    }
    const auto t0 = Clock::now();
    const PqBuildDistance tables(quantizer, codes, metric);
    const auto table_time = Clock::now() - t0;
    BuiltGraph built =
        build_with_search_distance(vectors, n, dimension, metric, config, ProductQuantizedSearch{&tables});
    built.timings.initialization = add_saturating(built.timings.initialization, table_time);
    return built;
}

}  // namespace tavren::vamana
