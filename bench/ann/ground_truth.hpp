// Exact nearest neighbours: the ground truth every recall is measured against,
// and the brute-force baseline that every index is compared with.
//
// Distances follow the library's definitions: squared L2, the negated dot
// product, and 1 - cosine (1 when a norm is 0). Candidates are found with
// blocked single-precision dot products (the harness's own kernel,
// dot_kernel.hpp) and then re-ranked with distances computed in double
// precision, so the reported neighbours do not depend on rounding order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dataset.hpp"

namespace tavren::ann {

// The library's metric codes.
enum class Metric : uint32_t { L2 = 0, InnerProduct = 1, Cosine = 2 };

// "l2", "inner_product" or "cosine"; throws std::invalid_argument otherwise.
Metric parse_metric(std::string_view name);
const char* metric_name(Metric m);

// nq rows of k (id, distance) pairs, ascending by distance, then id.
struct Neighbors {
    size_t nq = 0;
    size_t k = 0;
    std::vector<int64_t> ids;
    std::vector<float> distances;
};

class ExactIndex {
public:
    // Keeps a reference to `base`, which must outlive the index.
    ExactIndex(const Matrix& base, Metric metric);

    size_t size() const { return base_.rows; }
    size_t dim() const { return base_.cols; }
    Metric metric() const { return metric_; }

    // Exact top-k of every query (k is capped at size()), on `threads`
    // harness threads (0 = all processors). The result does not depend on
    // the thread count.
    Neighbors search(const float* queries, size_t nq, size_t k, unsigned threads = 0) const;

    // Reusable buffers of single-query searches; one per thread.
    struct Scratch {
        std::vector<float> scores;
        std::vector<std::pair<float, int64_t>> heap;
        std::vector<std::pair<double, int64_t>> rerank;
        std::vector<float> query;
    };
    // Exact top-k of one query into ids / distances (k entries each; places
    // past size() are -1 and 3.4028235e38, like the library's padding).
    void search_one(const float* query, size_t k, int64_t* ids, float* distances, Scratch& scratch) const;

    // The exact distance of `row` from `query`, in double precision.
    double distance(const float* query, size_t row) const;

    // What a distance computed in single precision may be off by for this
    // query, used to accept equally near neighbours in recall (see recall()).
    double tolerance(const float* query, double threshold) const;

private:
    // |query| under the cosine metric (the only one that needs it), else 0.
    double query_norm(const float* query) const;
    // distance() given query_norm(query), computed once per query.
    double distance(const float* query, double qn, size_t row) const;
    void candidates(const float* scores, size_t count, size_t first_row, size_t keep,
                    std::vector<std::pair<float, int64_t>>& heap) const;
    void finish(const float* query, size_t k, std::vector<std::pair<float, int64_t>>& heap,
                std::vector<std::pair<double, int64_t>>& rerank, int64_t* ids, float* distances) const;
    size_t keep_for(size_t k) const;

    const Matrix& base_;
    Metric metric_;
    std::vector<float> normalized_;     // cosine: unit-length copy of base
    std::vector<float> half_sq_norms_;  // l2: |x|^2 / 2 for the expanded form
    std::vector<double> norms_;         // |x| in double
    double max_norm_ = 0.0;
};

// Recall of a result set against ground truth, for each cut-off in `ats`.
// For query q and cut-off a, a returned row counts as found when it is valid,
// not returned before for q, and either among the first a true neighbours or
// exactly as near as the a-th of them (its double-precision distance within
// the single-precision tolerance of the a-th true distance), so ties and
// equal vectors are not counted as misses. A cut-off above `result_k` or
// gt.k gives NaN. Uses the first `nq` queries.
std::vector<double> recall(const ExactIndex& exact, const float* queries, const Neighbors& gt,
                           const int64_t* result_ids, size_t result_k, size_t nq, std::span<const size_t> ats,
                           unsigned threads = 0);

// Ground truth on disk: cache file name, load and store.
struct GroundTruthKey {
    std::string dataset;
    size_t nb = 0;
    size_t nq = 0;
    size_t dim = 0;
    Metric metric = Metric::L2;
    size_t k = 100;
    uint64_t content_hash = 0;
};
std::string ground_truth_file_name(const GroundTruthKey& key);
// nullopt when the file is missing or does not hold exactly nq x k entries
// (k = 0: whatever k the file has).
std::optional<Neighbors> load_ground_truth(const std::string& path, size_t nq, size_t k);
// Writes atomically (temporary file, then rename).
void save_ground_truth(const std::string& path, const Neighbors& gt);

// Ground truth given as row IDs (an .ivecs file: one row of neighbour IDs per
// query): keeps the first nq rows, computes each distance exactly and orders
// each row by (distance, id). IDs outside the base become padding (-1,
// 3.4028235e38) at the end. Throws std::runtime_error when the file has
// fewer than nq rows.
Neighbors neighbors_from_ids(const ExactIndex& exact, const float* queries, size_t nq, const IntMatrix& ids);

// The ground truth of `ds` under `metric`, from `cache_dir` when cached there,
// else computed and stored (an empty cache_dir disables the cache).
struct GroundTruthResult {
    Neighbors neighbors;
    std::string path;     // the cache file, empty without a cache
    bool from_cache = false;
    double seconds = 0.0;  // compute or load time
};
GroundTruthResult ground_truth(const Dataset& ds, const ExactIndex& exact, size_t k, const std::string& cache_dir,
                               unsigned threads = 0);

}  // namespace tavren::ann
