// Nearest-centroid assignment: the k-means assignment step, its balanced
// variant, and exact single-vector lookups.
#include <algorithm>
#include <cmath>
#include <vector>

#include "blas.hpp"
#include "distance.hpp"
#include "error.hpp"
#include "kmeans.hpp"
#include "numeric.hpp"
#include "pool.hpp"
#include "pq_kernels.hpp"

namespace tavren::kmeans {
namespace {

// The largest block of costs serial assignment materialises.
constexpr size_t kCostBudget = 4194304;
// At most this many costs per matrix-product call (see product_row_group).
constexpr size_t kGroupCostBudget = 262144;
constexpr size_t kMaxGroupRows = 64;
// Centroids up to this width are scored a row at a time against a
// dimension-major copy (the same costs as the product, much faster for
// narrow rows such as PQ sub-vectors).
constexpr size_t kNarrowWidth = 16;
// Multiply-adds (rows x k x d) from which member assignment uses the pool.
constexpr uint64_t kParallelMemberWork = uint64_t{1} << 22;

size_t objective_group_rows(size_t k) noexcept { return std::max<size_t>(kCostBudget / std::max<size_t>(k, 1), 1); }

size_t checked_shape(size_t a, size_t b) {
    auto p = checked_mul(a, b);
    if (!p) panic("{} shape overflows usize", "matrix");
    return *p;
}

// The objective from per-row minima: groups of `group` rows summed in row
// order, the group sums added in group order.
float objective_from_minima(std::span<const float> minima, size_t group) noexcept {
    float total = 0.0f;
    for (size_t start = 0; start < minima.size(); start += group) {
        size_t end = std::min(minima.size(), start + group);
        float s = 0.0f;
        for (size_t i = start; i < end; ++i) s += minima[i];
        total += s;
    }
    return total;
}

// The first centroid of smallest cost (|c|^2 + |x|^2) - (x.c + x.c) from one
// row's dot products `p`; a NaN cost never wins. `best` receives the cost
// (the largest finite f32 when nothing beats it).
inline size_t nearest_by_products(const float* p, const float* cn, float xn, size_t k, float& best) noexcept {
    best = kF32Max;
    size_t label = 0;
    for (size_t j = 0; j < k; ++j) {
        const float v = (cn[j] + xn) - (p[j] + p[j]);
        if (best > v) {
            best = v;
            label = j;
        }
    }
    return label;
}

// fvec_norm_l2sqr of each of the k centroids; the caller has checked k * d.
std::vector<float> squared_norms(std::span<const float> centroids, size_t k, size_t d) {
    std::vector<float> cn(k);
    for (size_t j = 0; j < k; ++j) cn[j] = distance::fvec_norm_l2sqr(centroids.subspan(j * d, d));
    return cn;
}

std::span<const float> row_of(std::span<const float> matrix, size_t j, size_t d) {
    check_len(checked_shape(j + 1, d), matrix.size());
    return matrix.subspan(j * d, d);
}

}  // namespace

size_t product_row_group(size_t k) noexcept {
    return std::clamp<size_t>(kGroupCostBudget / std::max<size_t>(k, 1), 1, kMaxGroupRows);
}

AssignmentPlan assignment_plan(size_t n, size_t d, size_t k, size_t threads) {
    const size_t kk = std::max<size_t>(k, 1);
    const size_t u = objective_group_rows(k);
    AssignmentPlan plan;
    plan.group_rows = u;
    // Blocks of b rows in `mode`, or one block of all rows when they fit in one.
    auto blocks = [&](AssignmentPlan::Mode mode, size_t b) {
        if (n <= b) {
            plan.mode = AssignmentPlan::Mode::Single;
            plan.block_rows = n;
        } else {
            plan.mode = mode;
            plan.block_rows = b;
        }
        return plan;
    };
    if (threads < 2) return blocks(AssignmentPlan::Mode::SerialBlocks, u);
    // X: the fewest rows that make a task worth about 4,000,000 flops, at least 32.
    const uint64_t two_kd = saturating_mul(saturating_mul(2, k), d);
    const size_t x = std::min<size_t>(std::max<uint64_t>(div_ceil(4000000, std::max<uint64_t>(two_kd, 1)), 32), u);
    // Y: rows per task so that `threads` tasks together hold about 4194304 costs.
    const size_t y = std::max<size_t>((kCostBudget / threads) / kk, 1);
    const size_t c = std::min(y, u);
    if (y >= x) {
        const size_t z = std::min(std::max<size_t>(div_ceil(n, 64), x), c);
        return blocks(AssignmentPlan::Mode::Parallel, z);
    }
    return blocks(AssignmentPlan::Mode::SerialBlocks, c);
}

float assign_block(std::span<const float> rows, size_t r, size_t d, std::span<const float> centroids, size_t k,
                   std::span<const float> centroid_norms, std::span<size_t> labels, std::span<float> minima) {
    check_len(checked_shape(r, d), rows.size());
    check_len(checked_shape(k, d), centroids.size());
    check_len(k, centroid_norms.size());
    check_len(r, labels.size());
    const bool store = !minima.empty();
    if (store) check_len(r, minima.size());
    if (r == 0) return 0.0f;

    const float* cn = centroid_norms.data();
    float sum = 0.0f;
    if (d <= kNarrowWidth && k >= 8 && distance::avx2_enabled()) {
        std::vector<float> transposed(d * k);
        for (size_t j = 0; j < k; ++j)
            for (size_t t = 0; t < d; ++t) transposed[t * k + j] = centroids[j * d + t];
        for (size_t i = 0; i < r; ++i) {
            const std::span<const float> row = rows.subspan(i * d, d);
            float best = kF32Max;
            labels[i] = pq_kernels::nearest_expanded_l2(row, transposed, k, k, centroid_norms.first(k),
                                                        distance::fvec_norm_l2sqr(row), false, best);
            if (store) {
                minima[i] = best;
            } else {
                sum += best;
            }
        }
        return sum;
    }
    const size_t group = product_row_group(k);
    std::vector<float> products(std::min(group, r) * k);
    for (size_t g0 = 0; g0 < r; g0 += group) {
        const size_t rr = std::min(group, r - g0);
        blas::sgemm_a_bt(rr, k, d, 1.0f, rows.subspan(g0 * d, rr * d), centroids.first(k * d), 0.0f, products);
        for (size_t i = 0; i < rr; ++i) {
            const float xn = distance::fvec_norm_l2sqr(rows.subspan((g0 + i) * d, d));
            float best = kF32Max;
            labels[g0 + i] = nearest_by_products(products.data() + i * k, cn, xn, k, best);
            if (store) {
                minima[g0 + i] = best;
            } else {
                sum += best;
            }
        }
    }
    return sum;
}

float assign_clusters_fast(std::span<const float> rows, size_t n, size_t d, float balance,
                           std::span<const float> centroids, size_t k, std::span<size_t> labels) {
    if (balance > 0.0f) return assign_clusters_balanced_serial(rows, n, d, centroids, balance, k, labels);
    if (n == 0) return 0.0f;
    check_len(n, labels.size());
    if (d == 0) {
        std::fill(labels.begin(), labels.begin() + static_cast<std::ptrdiff_t>(n), size_t{0});
        return 0.0f;
    }
    check_len(checked_shape(n, d), rows.size());
    check_len(checked_shape(k, d), centroids.size());

    const std::vector<float> cn = squared_norms(centroids, k, d);

    const AssignmentPlan plan = assignment_plan(n, d, k, pool::current_num_threads());
    if (plan.mode == AssignmentPlan::Mode::Single) {
        return assign_block(rows, n, d, centroids, k, cn, labels, {});
    }

    // A row's costs depend on the row and the centroids only (the matrix
    // product gives each element one summation order whatever the call
    // shape), so labels and minima are the same in every mode and split.
    const size_t block = plan.block_rows;
    std::vector<float> minima(n);
    const size_t blocks = div_ceil(n, block);
    auto run_block = [&](size_t b) {
        const size_t start = b * block;
        const size_t r = std::min(block, n - start);
        assign_block(rows.subspan(start * d, r * d), r, d, centroids, k, cn, labels.subspan(start, r),
                     std::span<float>(minima).subspan(start, r));
    };
    if (plan.mode == AssignmentPlan::Mode::Parallel) {
        pool::parallel_for_each_index(blocks, run_block);
    } else {
        for (size_t b = 0; b < blocks; ++b) run_block(b);
    }
    return objective_from_minima(minima, plan.group_rows);
}

float assign_clusters_balanced_serial(std::span<const float> rows, size_t n, size_t d,
                                      std::span<const float> centroids, float balance, size_t k,
                                      std::span<size_t> labels) {
    check_len(n, labels.size());
    check_len(checked_shape(n, d), rows.size());
    check_len(checked_shape(k, d), centroids.size());
    if (n == 0) return 0.0f;

    // Ranges of rows, each balanced against its own previous labels. A k above
    // the cost budget still gets ranges of one row.
    const size_t range_rows = saturating_mul(n, k) <= kCostBudget ? n : std::max<size_t>(kCostBudget / k, 1);

    const std::vector<float> cn = squared_norms(centroids, k, d);
    std::vector<float> penalty(k);
    std::vector<uint32_t> counts(k);
    std::vector<float> xn;
    std::vector<float> products;
    float total = 0.0f;
    for (size_t start = 0; start < n; start += range_rows) {
        const size_t r = std::min(range_rows, n - start);
        auto rrows = rows.subspan(start * d, r * d);
        auto rlabels = labels.subspan(start, r);
        xn.resize(r);
        for (size_t i = 0; i < r; ++i) xn[i] = distance::fvec_norm_l2sqr(rrows.subspan(i * d, d));
        products.assign(r * k, 0.0f);
        blas::sgemm_a_bt(r, k, d, 1.0f, rrows, centroids.first(k * d), 0.0f, products);

        std::fill(counts.begin(), counts.end(), 0u);
        for (size_t l : rlabels) {
            if (l < k) counts[l] += 1;
        }
        for (size_t j = 0; j < k; ++j) {
            penalty[j] = counts[j] != 0 ? std::log(static_cast<float>(counts[j])) * balance : 0.0f;
        }
        float range_total = 0.0f;
        for (size_t i = 0; i < r; ++i) {
            const float* p = products.data() + i * k;
            float best = kF32Max;
            size_t label = 0;
            for (size_t j = 0; j < k; ++j) {
                float v = (xn[i] + cn[j]) - (p[j] + p[j]);
                if (counts[j] != 0) v = v + penalty[j];
                if (best > v) {
                    best = v;
                    label = j;
                }
            }
            rlabels[i] = label;
            range_total += best;
        }
        total += range_total;
    }
    return total;
}

size_t find_nearest(std::span<const float> x, std::span<const float> centroids, size_t k, size_t d) {
    float best = kF32Max;
    size_t label = 0;
    size_t j = 0;
    for (; j + 4 <= k; j += 4) {
        const auto costs = distance::fvec_l2sqr_four(x, row_of(centroids, j, d), row_of(centroids, j + 1, d),
                                                     row_of(centroids, j + 2, d), row_of(centroids, j + 3, d));
        for (size_t t = 0; t < 4; ++t) {
            if (costs[t] < best) {
                best = costs[t];
                label = j + t;
            }
        }
    }
    for (; j < k; ++j) {
        const float cost = distance::fvec_l2sqr(x, row_of(centroids, j, d));
        if (cost < best) {
            best = cost;
            label = j;
        }
    }
    return label;
}

void detail::assign_member_rows(std::span<const float> base, std::span<const size_t> members, size_t d,
                                std::span<const float> centroids, size_t k, std::span<size_t> labels) {
    const size_t m = members.size();
    check_len(m, labels.size());
    check_len(checked_shape(k, d), centroids.size());
    if (m == 0) return;
    if (d == 0) {
        std::fill(labels.begin(), labels.begin() + static_cast<std::ptrdiff_t>(m), size_t{0});
        return;
    }
    const std::vector<float> cn = squared_norms(centroids, k, d);

    // Members are gathered a group at a time into a small buffer per task
    // (one product per group is much faster than one per row).
    const size_t group = product_row_group(k);
    const size_t groups = div_ceil(m, group);
    auto run = [&](size_t g0, size_t g1) {
        std::vector<float> buffer(std::min(group, m) * d);
        for (size_t g = g0; g < g1; ++g) {
            const size_t start = g * group;
            const size_t rr = std::min(group, m - start);
            for (size_t p = 0; p < rr; ++p) {
                const std::span<const float> src = row_of(base, members[start + p], d);
                std::copy(src.begin(), src.end(), buffer.begin() + static_cast<std::ptrdiff_t>(p * d));
            }
            (void)assign_block(buffer, rr, d, centroids, k, cn, labels.subspan(start, rr), {});
        }
    };
    const size_t threads = pool::current_num_threads();
    if (threads >= 2 && saturating_mul(saturating_mul(m, k), d) >= kParallelMemberWork) {
        pool::parallel_for(0, groups, std::max<size_t>(groups / (4 * threads), 1), run);
    } else {
        run(0, groups);
    }
}

std::vector<size_t> find_nearest_batch(std::span<const float> rows, size_t n, std::span<const float> centroids,
                                       size_t k, size_t d) {
    if (n == 0) return {};
    if (n == 1) {
        check_len(d, rows.size());
        return {find_nearest(rows.first(d), centroids, k, d)};
    }
    std::vector<size_t> labels(n, 0);
    (void)assign_clusters_fast(rows, n, d, 0.0f, centroids, k, labels);
    return labels;
}

}  // namespace tavren::kmeans
