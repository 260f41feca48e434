#include "coarse.hpp"

#include <fmt/format.h>

#include "error.hpp"
#include "kmeans.hpp"
#include "logging.hpp"
#include "pool.hpp"
#include "vamana.hpp"

namespace tavren::coarse {
namespace {

std::unique_ptr<CentroidGraph> vamana_builder(std::span<const float> centroids, size_t nlist, size_t d) {
    vamana::BuiltGraph built = vamana::VamanaGraph::build_with_search_distance(
        centroids, nlist, d, kGraphMetric, diskann::coarse_assignment_build_config(),
        vamana::FullPrecisionSearch{centroids, d, kGraphMetric});
    return std::make_unique<CentroidGraphAdapter<vamana::VamanaGraph>>(std::move(built.graph));
}

}  // namespace

CentroidGraphBuilder default_centroid_graph_builder() noexcept { return &vamana_builder; }

CoarseAssignment::CoarseAssignment() noexcept : builder_(default_centroid_graph_builder()) {}

CoarseAssignment::CoarseAssignment(CentroidGraphBuilder builder) noexcept
    : builder_(builder != nullptr ? builder : default_centroid_graph_builder()) {}

void CoarseAssignment::reset() noexcept {
    graph_.reset();
    prepared_ = false;
}

void CoarseAssignment::set_approximate(bool approximate) noexcept {
    reset();
    approximate_ = approximate;
}

void CoarseAssignment::prepare(std::span<const float> centroids, size_t nlist, size_t d) {
    if (prepared_) return;
    prepared_ = true;
    if (!approximate_) return;
    const auto values = checked_mul(nlist, d);
    if (values && *values < kApproximateMinValues) return;
    if (values) check_len(*values, centroids.size());
    try {
        std::unique_ptr<CentroidGraph> built = builder_(centroids, nlist, d);
        if (!built) fail(ErrorKind::Other, "centroid graph builder returned no graph");
        graph_ = std::move(built);
    } catch (const Error& e) {
        logging::emit_log(2, fmt::format("automatic approximate coarse assignment disabled: {}", e.message()));
    }
}

size_t graph_chunk_rows(size_t n, size_t threads) noexcept {
    const size_t tasks = saturating_mul(4, threads);
    return std::min<size_t>(std::max<size_t>(n / std::max<size_t>(tasks, 1), 16), 1024);
}

std::vector<size_t> CoarseAssignment::assign(std::span<const float> vectors, size_t n,
                                             std::span<const float> centroids, size_t nlist, size_t d) {
    if (n == 0) return {};
    prepare(centroids, nlist, d);
    if (!graph_) return kmeans::find_nearest_batch(vectors, n, centroids, nlist, d);

    const auto nd = checked_mul(n, d);
    if (!nd) panic("{} shape overflows usize", "vector");
    check_len(*nd, vectors.size());
    const auto cd = checked_mul(nlist, d);
    if (!cd) panic("{} shape overflows usize", "centroid");
    check_len(*cd, centroids.size());

    std::vector<size_t> labels(n, 0);
    const size_t chunk = graph_chunk_rows(n, pool::current_num_threads());
    const size_t chunks = div_ceil(n, chunk);
    const CentroidGraph& graph = *graph_;
    std::span<size_t> out(labels);
    pool::parallel_for(0, chunks, 1, [&](size_t lo, size_t hi) {
        graph.assign_rows(centroids, d, vectors, lo * chunk, std::min(hi * chunk, n), out);
    });
    for (size_t l : labels) check_index(l, nlist);
    return labels;
}

ListGroups group_rows_by_list(std::span<const size_t> labels, size_t nlist) {
    ListGroups groups;
    groups.first.assign(nlist + 1, 0);
    for (size_t label : labels) {
        check_index(label, nlist);
        ++groups.first[label + 1];
    }
    for (size_t j = 0; j < nlist; ++j) groups.first[j + 1] += groups.first[j];
    groups.order.resize(labels.size());
    std::vector<size_t> next(groups.first.begin(), groups.first.end() - 1);
    for (size_t i = 0; i < labels.size(); ++i) groups.order[next[labels[i]]++] = i;
    return groups;
}

}  // namespace tavren::coarse
