// k-means training, nearest-centroid assignment and probe selection.
//
// Everything here is deterministic: results depend only on the inputs, the
// configuration and the distance kernel path (AVX2 or scalar), never on the
// number of pool threads or on how work is split between them. Matrices are
// row-major f32; sizes, labels and list numbers are size_t. Preconditions are
// assertions (AssertionFailure); nothing here returns an error.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "rng.hpp"

namespace tavren::kmeans {

// ---- training ---------------------------------------------------------------

// The training defaults, here and nowhere else (the option parser and the
// trainers take them from here).
inline constexpr uint64_t kDefaultMaxPointsPerCentroid = 256;
inline constexpr uint64_t kDefaultSeed = 1234;

// Settings of one training call; never modified by it.
struct KMeansConfig {
    uint64_t max_iter = 25;  // Lloyd iterations of one run (fewer on convergence)
    uint64_t nredo = 1;      // runs from fresh k-means++ seeds; the best is kept
    // At most k * this many rows take part (0 acts as 1).
    uint64_t max_points_per_centroid = kDefaultMaxPointsPerCentroid;
    uint64_t seed = kDefaultSeed;  // seed of the call's own generator
    float balance = 0.0f;                    // weight of the cluster-size penalty; 0 turns it off
};

// k centroids (k*d values) of n rows of d values. For k >= 257 with n > k it
// runs the hierarchical variant; otherwise kmeans_train_with_init without
// initial centroids. Asserts "data shape overflows usize", the data length
// ("data length does not match n * d") and "centroid shape overflows usize".
std::vector<float> kmeans_train(const KMeansConfig& config, std::span<const float> data, size_t n, size_t d,
                                size_t k);

// What a kmeans_train_with_init call did (tests and diagnostics).
struct KMeansTrace {
    struct Run {
        std::vector<float> objectives;  // the assignment objective of every iteration that ran
        float objective = 0.0f;         // the run's objective, compared against the best so far
    };
    std::vector<Run> runs;
    std::optional<size_t> kept_run;  // nullopt: no run beat the sentinel
};

// Seeded Lloyd iterations with restarts. With `init` (k*d values) exactly one
// run starts from it. n = 0 or k = 0 gives k*d zeros; when the (sampled) rows
// number at most k, centroid j is sample row j mod rows. When no run reaches a
// finite objective below the largest finite f32 (overflowing inputs, or
// max_iter = 0), the first run's centroids are returned rather than zeros.
std::vector<float> kmeans_train_with_init(const KMeansConfig& config, std::span<const float> data, size_t n,
                                          size_t d, size_t k, std::optional<std::span<const float>> init,
                                          KMeansTrace* trace = nullptr);

// The convergence test of one iteration: prev is below the largest finite f32
// and |prev - obj| / max(prev, 1e-10) < 1e-6, all in f32.
bool objective_converged(float prev, float obj) noexcept;

// A 16-means on a sample, then 2-means splits of the most populated cluster
// until k centroids exist. Callers normally reach it through kmeans_train.
std::vector<float> kmeans_train_hierarchical(const KMeansConfig& config, std::span<const float> data, size_t n,
                                             size_t d, size_t k);

// k-means++ seeding of one run. Requires n >= 1. Draws one uniform integer,
// then one uniform f32 per further centre.
std::vector<float> kmeans_plusplus_init(std::span<const float> data, size_t n, size_t d, size_t k,
                                        rng::StdRng& rng);

// The first m places of a random permutation of 0 .. n-1 by a partial
// Fisher-Yates shuffle: for i < m, place i swaps with gen_range(i, n).
// Exactly m draws. Requires m <= n.
std::vector<size_t> sample_positions(size_t n, size_t m, rng::StdRng& rng);

// m distinct rows (m*d values) by a partial Fisher-Yates shuffle. Requires m <= n.
std::vector<float> subsample(std::span<const float> data, size_t n, size_t d, size_t m, rng::StdRng& rng);

// A cluster of the hierarchical variant: a centroid and its members (row
// numbers into the first-level sample, ascending).
struct Cluster {
    std::vector<float> centroid;
    std::vector<size_t> members;
};

// Array-based binary max-heap of clusters ordered by member count alone. Its
// exact sift discipline decides which of equally populated clusters is split
// first, and with it the centroids of the hierarchical variant.
class ClusterHeap {
public:
    void push(Cluster cluster);
    // The most populated cluster, or nullopt when empty.
    std::optional<Cluster> pop();
    size_t size() const noexcept { return items_.size(); }
    bool empty() const noexcept { return items_.empty(); }

private:
    void sift_up(size_t pos);
    std::vector<Cluster> items_;
};

// ---- cluster assignment -----------------------------------------------------

// Labels every row with its nearest centroid by matrix-product costs
// (|c|^2 + |x|^2) - 2 x.c and returns the f32 objective (the sum of the
// rows' smallest costs, in groups of U = max(4194304 / max(k, 1), 1) rows). A
// positive balance hands over to assign_clusters_balanced_serial. n = 0 leaves
// the labels alone; d = 0 sets them all to 0. May spread row chunks over the pool.
float assign_clusters_fast(std::span<const float> rows, size_t n, size_t d, float balance,
                           std::span<const float> centroids, size_t k, std::span<size_t> labels);

// One block of r rows: labels, and either the sum of the minima (minima
// empty) or the minima themselves (minima of r values; the result is then 0).
float assign_block(std::span<const float> rows, size_t r, size_t d, std::span<const float> centroids, size_t k,
                   std::span<const float> centroid_norms, std::span<size_t> labels, std::span<float> minima);

// Assignment with a penalty ln(count_j) * balance for every cluster j that
// held count_j > 0 rows in the labels passed in; returns the penalised objective.
float assign_clusters_balanced_serial(std::span<const float> rows, size_t n, size_t d,
                                      std::span<const float> centroids, float balance, size_t k,
                                      std::span<size_t> labels);

// The nearest centroid by exact distances; the first of equal ones; 0 when k = 0.
size_t find_nearest(std::span<const float> x, std::span<const float> centroids, size_t k, size_t d);

// Labels of n rows: one row by find_nearest, several by assign_clusters_fast.
std::vector<size_t> find_nearest_batch(std::span<const float> rows, size_t n, std::span<const float> centroids,
                                       size_t k, size_t d);

// How assign_clusters_fast splits n rows for a pool of `threads` threads.
struct AssignmentPlan {
    enum class Mode { Single, SerialBlocks, Parallel };
    Mode mode = Mode::Single;
    size_t block_rows = 0;  // rows per serial block or parallel chunk (all rows for Single)
    size_t group_rows = 0;  // U: rows per objective group
};
AssignmentPlan assignment_plan(size_t n, size_t d, size_t k, size_t threads);

// Rows per matrix-product call inside a block: keeps the product buffer near
// 262144 values (at most 64 rows) so it stays in cache. Results do not depend
// on it.
size_t product_row_group(size_t k) noexcept;

namespace detail {
// Labels of the rows base[members[p]] (the costs and first-minimum rule of
// assign_block, balance 0, objective discarded), gathering a few rows at a
// time instead of copying all members out first; spread over the pool when
// large. Module-internal.
void assign_member_rows(std::span<const float> base, std::span<const size_t> members, size_t d,
                        std::span<const float> centroids, size_t k, std::span<size_t> labels);
}  // namespace detail

// ---- probe selection --------------------------------------------------------

// A candidate list with its distance.
struct Candidate {
    float distance;
    size_t list;
};

// Distances by the IEEE 754 totalOrder (-NaN < -inf < ... < -0.0 < +0.0 < ...
// < +inf < +NaN), then the smaller list number.
std::strong_ordering compare_distance_then_index(const Candidate& a, const Candidate& b) noexcept;
inline bool candidate_less(const Candidate& a, const Candidate& b) noexcept {
    return compare_distance_then_index(a, b) < 0;
}

// Probe order of one query: min(k, nlist) list numbers, nearest first, with
// their exact fvec_l2sqr distances.
struct TopK {
    std::vector<size_t> lists;
    std::vector<float> distances;
};
// Probe orders of many queries, in query order.
struct TopKBatch {
    std::vector<std::vector<size_t>> lists;
    std::vector<std::vector<float>> distances;
};

// How a batch was answered (tests and diagnostics).
struct ProbeBatchStats {
    bool per_query_path = false;      // whole batch answered query by query
    std::vector<size_t> block_sizes;  // queries per matrix-product block, in order
    size_t exact_fallbacks = 0;       // block-path queries answered by find_topk
    size_t refined = 0;               // block-path queries answered by refine_topk_boundary
};

TopK find_topk(std::span<const float> query, std::span<const float> centroids, size_t nlist, size_t d, size_t k);

TopKBatch find_topk_batch(std::span<const float> queries, size_t nq, std::span<const float> centroids,
                          size_t nlist, size_t d, size_t k);

// As find_topk_batch with the centroids' squared norms supplied (nlist values,
// fvec_norm_l2sqr of each centroid). The result equals find_topk per query,
// bit for bit, whenever the matrix-product rounding stays within its band.
TopKBatch find_topk_batch_with_centroid_norms(std::span<const float> queries, size_t nq,
                                              std::span<const float> centroids, std::span<const float> norms,
                                              size_t nlist, size_t d, size_t k,
                                              ProbeBatchStats* stats = nullptr);

// Completes a probe order of m lists from the sure candidates (exact
// distances, fewer than m) and the boundary lists, ranked by exact distance.
TopK refine_topk_boundary(std::span<const float> query, std::span<const float> centroids, size_t d, size_t m,
                          std::vector<Candidate> sure, std::span<const size_t> boundary);

// Queries per matrix-product block of the batch path: 4194304 / nlist.
size_t probe_block_queries(size_t nlist) noexcept;

}  // namespace tavren::kmeans
