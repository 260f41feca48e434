// k-means training: seeded Lloyd iterations with k-means++ restarts, the
// hierarchical variant for large k, and row sampling.
#include "kmeans.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>

#include "distance.hpp"
#include "error.hpp"
#include "numeric.hpp"
#include "pool.hpp"

namespace tavren::kmeans {
namespace {

// Rows of work (n * d) above which the k-means++ distance updates are spread
// over the pool. Each row's distance is computed alone and the running sums
// stay on the calling thread, so the result does not depend on the split.
constexpr uint64_t kParallelSeedingWork = uint64_t{1} << 18;
constexpr size_t kSeedingChunkRows = 4096;

// The checked centroid shape k * d.
size_t check_shapes(std::span<const float> data, size_t n, size_t d, size_t k,
                    const std::optional<std::span<const float>>& init) {
    auto nd = checked_mul(n, d);
    if (!nd) panic("{} shape overflows usize", "data");
    assert_eq(data.size(), *nd, "data length does not match n * d");
    auto kd = checked_mul(k, d);
    if (!kd) panic("{} shape overflows usize", "centroid");
    if (init) assert_eq(init->size(), *kd, "initial_centroids length does not match k * d");
    return *kd;
}

// The number of rows a call trains on at most: k * max_points_per_centroid.
// A cap of 0 points per centroid would leave nothing to train on (and a
// division by the empty sample), so it counts as 1; a product that wraps to 0
// means no cap.
uint64_t sample_cap(size_t k, uint64_t max_points_per_centroid) noexcept {
    const uint64_t per = std::max<uint64_t>(max_points_per_centroid, 1);
    const uint64_t cap = static_cast<uint64_t>(k) * per;  // wrapping
    return cap == 0 ? std::numeric_limits<uint64_t>::max() : cap;
}

// The rows a training call reads: rows 0 .. n-1 of `base`, or with `index`
// the rows index[0 .. n-1] of `base` (a cluster's members, read in place).
struct RowView {
    std::span<const float> base;
    const size_t* index = nullptr;
    size_t n = 0;
    size_t d = 0;
    size_t at(size_t i) const noexcept { return index != nullptr ? index[i] : i; }
};

// Copies the view's rows at `positions` (all rows when null) into one matrix.
std::vector<float> gather(const RowView& v, const std::vector<size_t>* positions) {
    const size_t m = positions != nullptr ? positions->size() : v.n;
    std::vector<float> out(m * v.d);
    for (size_t i = 0; i < m; ++i) {
        const size_t r = v.at(positions != nullptr ? (*positions)[i] : i);
        check_len(checked_mul(r + 1, v.d).value_or(SIZE_MAX), v.base.size());
        std::copy_n(v.base.begin() + static_cast<std::ptrdiff_t>(r * v.d), v.d,
                    out.begin() + static_cast<std::ptrdiff_t>(i * v.d));
    }
    return out;
}

// The training rows: the data itself, or a sample of at most `cap` rows.
struct Sample {
    std::vector<float> owned;
    std::span<const float> rows;
    size_t n = 0;
};

Sample draw_sample(const RowView& v, uint64_t cap, rng::StdRng& rng) {
    Sample s;
    if (v.n > cap) {
        const std::vector<size_t> positions = sample_positions(v.n, static_cast<size_t>(cap), rng);
        s.owned = gather(v, &positions);
        s.rows = s.owned;
        s.n = static_cast<size_t>(cap);
    } else if (v.index == nullptr) {
        s.rows = v.base.first(v.n * v.d);
        s.n = v.n;
    } else {
        s.owned = gather(v, nullptr);
        s.rows = s.owned;
        s.n = v.n;
    }
    return s;
}

void copy_row(std::span<const float> from, size_t from_row, std::span<float> to, size_t to_row, size_t d) {
    std::copy_n(from.begin() + static_cast<std::ptrdiff_t>(from_row * d), d,
                to.begin() + static_cast<std::ptrdiff_t>(to_row * d));
}

constexpr float kSplitUp = 1.0009765625f;    // 1 + 1/1024
constexpr float kSplitDown = 0.9990234375f;  // 1 - 1/1024

}  // namespace

std::vector<size_t> sample_positions(size_t n, size_t m, rng::StdRng& rng) {
    TD_ASSERT(m <= n, "subsample size {} exceeds row count {}", m, n);
    std::vector<size_t> idx(n);
    std::iota(idx.begin(), idx.end(), size_t{0});
    for (size_t i = 0; i < m; ++i) {
        const size_t j = static_cast<size_t>(rng.gen_range(i, n));
        std::swap(idx[i], idx[j]);
    }
    idx.resize(m);
    return idx;
}

std::vector<float> subsample(std::span<const float> data, size_t n, size_t d, size_t m, rng::StdRng& rng) {
    TD_ASSERT(m <= n, "subsample size {} exceeds row count {}", m, n);
    auto nd = checked_mul(n, d);
    if (!nd) panic("{} shape overflows usize", "data");
    check_len(*nd, data.size());
    const std::vector<size_t> positions = sample_positions(n, m, rng);
    return gather(RowView{data, nullptr, n, d}, &positions);
}

std::vector<float> kmeans_plusplus_init(std::span<const float> data, size_t n, size_t d, size_t k,
                                        rng::StdRng& rng) {
    auto nd = checked_mul(n, d);
    if (!nd) panic("{} shape overflows usize", "data");
    check_len(*nd, data.size());
    auto kd = checked_mul(k, d);
    if (!kd) panic("{} shape overflows usize", "centroid");
    std::vector<float> centroids(*kd, 0.0f);
    if (k == 0) return centroids;

    const size_t first = static_cast<size_t>(rng.gen_range(0, n));
    copy_row(data, first, centroids, 0, d);

    std::vector<float> nearest(n, kF32Max);
    const bool parallel = saturating_mul(n, d) >= kParallelSeedingWork && n > kSeedingChunkRows;
    auto update_rows = [&](size_t lo, size_t hi, std::span<const float> centre) {
        for (size_t j = lo; j < hi; ++j) {
            const float e = distance::fvec_l2sqr(data.subspan(j * d, d), centre);
            if (nearest[j] > e) nearest[j] = e;
        }
    };
    for (size_t i = 1; i < k; ++i) {
        std::span<const float> centre(centroids.data() + (i - 1) * d, d);
        if (parallel) {
            pool::parallel_for_each_index(div_ceil(n, kSeedingChunkRows), [&](size_t c) {
                const size_t lo = c * kSeedingChunkRows;
                update_rows(lo, std::min(n, lo + kSeedingChunkRows), centre);
            });
        } else {
            update_rows(0, n, centre);
        }
        float total = 0.0f;
        for (size_t j = 0; j < n; ++j) total += nearest[j];

        const float threshold = total * rng.gen_f32();
        size_t chosen = n - 1;
        float running = 0.0f;
        for (size_t j = 0; j < n; ++j) {
            running += nearest[j];
            if (running >= threshold) {
                chosen = j;
                break;
            }
        }
        copy_row(data, chosen, centroids, i, d);
    }
    return centroids;
}

bool objective_converged(float prev, float obj) noexcept {
    return prev < kF32Max && std::fabs(prev - obj) / std::fmax(prev, 1e-10f) < 1e-6f;
}

namespace {

// The Lloyd core over a row view; shapes already checked (kd = k * d).
std::vector<float> train_view(const KMeansConfig& config, const RowView& view, size_t k, size_t kd,
                              std::optional<std::span<const float>> init, KMeansTrace* trace) {
    const size_t n = view.n;
    const size_t d = view.d;
    if (n == 0 || k == 0) return std::vector<float>(kd, 0.0f);

    rng::StdRng rng = rng::StdRng::seed_from_u64(config.seed);
    const Sample sample = draw_sample(view, sample_cap(k, config.max_points_per_centroid), rng);
    const std::span<const float> rows = sample.rows;
    const size_t ns = sample.n;  // at least 1: the cap is at least 1 and n > 0

    if (ns <= k) {
        std::vector<float> out(kd);
        for (size_t j = 0; j < k; ++j) copy_row(rows, j % ns, out, j, d);
        return out;
    }

    std::vector<float> best(kd, 0.0f);
    float best_obj = kF32Max;
    bool kept = false;
    // The first run's centroids, returned when no run reaches an objective
    // below the sentinel: zeros would put every vector in one list.
    std::vector<float> first_run;

    const uint64_t runs = init ? 1 : config.nredo;
    std::vector<size_t> labels(ns);
    std::vector<uint64_t> counts(k);
    std::vector<float> sums(kd);
    for (uint64_t run = 0; run < runs; ++run) {
        std::vector<float> c;
        if (init && run == 0) {
            c.assign(init->begin(), init->end());
        } else {
            c = kmeans_plusplus_init(rows, ns, d, k, rng);
        }
        std::fill(labels.begin(), labels.end(), size_t{0});
        if (trace) trace->runs.emplace_back();

        float prev = kF32Max;
        for (uint64_t t = 1; t <= config.max_iter; ++t) {
            const float obj = assign_clusters_fast(rows, ns, d, config.balance, c, k, labels);
            if (trace) trace->runs.back().objectives.push_back(obj);

            std::fill(counts.begin(), counts.end(), uint64_t{0});
            std::fill(sums.begin(), sums.end(), 0.0f);
            for (size_t i = 0; i < ns; ++i) {
                const size_t l = labels[i];
                check_index(l, k);
                counts[l] += 1;
                float* s = sums.data() + l * d;
                const float* x = rows.data() + i * d;
                for (size_t u = 0; u < d; ++u) s[u] += x[u];
            }
            for (size_t j = 0; j < k; ++j) {
                if (counts[j] == 0) continue;
                const float inv = 1.0f / static_cast<float>(counts[j]);
                for (size_t u = 0; u < d; ++u) c[j * d + u] = sums[j * d + u] * inv;
            }
            // Empty clusters take half of the currently largest cluster (the
            // highest number among equals), nudged apart from it.
            for (size_t j = 0; j < k; ++j) {
                if (counts[j] != 0) continue;
                size_t q = 0;
                for (size_t i = 0; i < k; ++i) {
                    if (counts[i] >= counts[q]) q = i;
                }
                if (counts[q] < 2) {
                    const size_t r = static_cast<size_t>(rng.gen_range(0, ns));
                    copy_row(rows, r, c, j, d);
                    continue;
                }
                for (size_t u = 0; u < d; ++u) {
                    const float v = c[q * d + u];
                    if (u % 2 == 0) {
                        c[j * d + u] = v * kSplitUp;
                        c[q * d + u] = v * kSplitDown;
                    } else {
                        c[j * d + u] = v * kSplitDown;
                        c[q * d + u] = v * kSplitUp;
                    }
                }
                const uint64_t h = counts[q] / 2;
                counts[j] = h;
                counts[q] -= h;
            }

            if (objective_converged(prev, obj)) break;
            prev = obj;
        }
        if (trace) trace->runs.back().objective = prev;

        if (best_obj > prev) {
            best = c;
            best_obj = prev;
            kept = true;
            if (trace) trace->kept_run = static_cast<size_t>(run);
        } else if (run == 0) {
            first_run = std::move(c);
        }
    }
    if (!kept && !first_run.empty()) return first_run;
    return best;
}

}  // namespace

std::vector<float> kmeans_train_with_init(const KMeansConfig& config, std::span<const float> data, size_t n,
                                          size_t d, size_t k, std::optional<std::span<const float>> init,
                                          KMeansTrace* trace) {
    const size_t kd = check_shapes(data, n, d, k, init);
    return train_view(config, RowView{data, nullptr, n, d}, k, kd, init, trace);
}

// ---- cluster heap -------------------------------------------------------------

void ClusterHeap::sift_up(size_t pos) {
    Cluster item = std::move(items_[pos]);
    while (pos > 0) {
        const size_t parent = (pos - 1) / 2;
        if (item.members.size() <= items_[parent].members.size()) break;
        items_[pos] = std::move(items_[parent]);
        pos = parent;
    }
    items_[pos] = std::move(item);
}

void ClusterHeap::push(Cluster cluster) {
    items_.push_back(std::move(cluster));
    sift_up(items_.size() - 1);
}

std::optional<Cluster> ClusterHeap::pop() {
    if (items_.empty()) return std::nullopt;
    Cluster last = std::move(items_.back());
    items_.pop_back();
    if (items_.empty()) return last;
    Cluster result = std::move(items_[0]);
    // Move the hole at the root down to the bottom along the larger child
    // (the right one on equal counts), then put the former last element there
    // and let it rise.
    const size_t e = items_.size();
    size_t pos = 0;
    size_t child = 1;
    while (child + 2 <= e) {  // child <= e - 2
        if (items_[child].members.size() <= items_[child + 1].members.size()) ++child;
        items_[pos] = std::move(items_[child]);
        pos = child;
        child = 2 * pos + 1;
    }
    if (child == e - 1) {
        items_[pos] = std::move(items_[child]);
        pos = child;
    }
    items_[pos] = std::move(last);
    sift_up(pos);
    return result;
}

// ---- hierarchical variant -------------------------------------------------------

std::vector<float> kmeans_train_hierarchical(const KMeansConfig& config, std::span<const float> data, size_t n,
                                             size_t d, size_t k) {
    const size_t kd = check_shapes(data, n, d, k, std::nullopt);
    constexpr size_t kFirstLevel = 16;

    rng::StdRng rng = rng::StdRng::seed_from_u64(config.seed);
    const Sample sample = draw_sample(RowView{data, nullptr, n, d}, sample_cap(k, config.max_points_per_centroid), rng);
    const std::span<const float> rows = sample.rows;
    const size_t ns = sample.n;

    const KMeansConfig first_config{config.max_iter, 1, config.max_points_per_centroid, config.seed, 0.0f};
    const std::vector<float> c16 = kmeans_train_with_init(first_config, rows, ns, d, kFirstLevel, std::nullopt);
    std::vector<size_t> labels(ns, 0);
    (void)assign_clusters_fast(rows, ns, d, 0.0f, c16, kFirstLevel, labels);

    ClusterHeap heap;
    {
        std::vector<std::vector<size_t>> members(kFirstLevel);
        for (size_t i = 0; i < ns; ++i) members[labels[i]].push_back(i);
        for (size_t c = 0; c < kFirstLevel; ++c) {
            heap.push(Cluster{std::vector<float>(c16.begin() + static_cast<std::ptrdiff_t>(c * d),
                                                 c16.begin() + static_cast<std::ptrdiff_t>((c + 1) * d)),
                              std::move(members[c])});
        }
    }

    std::vector<float> finished;  // appended centroids, d values each
    size_t finished_count = 0;
    std::vector<size_t> part_labels;
    while (heap.size() + finished_count < k) {
        std::optional<Cluster> top = heap.pop();
        if (!top) break;
        Cluster parent = std::move(*top);
        const size_t mp = parent.members.size();
        if (mp < 4) {
            finished.insert(finished.end(), parent.centroid.begin(), parent.centroid.end());
            ++finished_count;
            continue;
        }
        // A 2-means over the members' rows (read in place: the nested call
        // copies only its sample), then every member labelled by it.
        const KMeansConfig split_config{10, 1, config.max_points_per_centroid,
                                        config.seed + static_cast<uint64_t>(finished_count), 0.0f};
        const std::vector<float> c2 =
            train_view(split_config, RowView{rows, parent.members.data(), mp, d}, 2, 2 * d, std::nullopt, nullptr);
        part_labels.assign(mp, 0);
        detail::assign_member_rows(rows, parent.members, d, c2, 2, part_labels);

        Cluster children[2];
        for (size_t c = 0; c < 2; ++c) {
            children[c].centroid.assign(c2.begin() + static_cast<std::ptrdiff_t>(c * d),
                                        c2.begin() + static_cast<std::ptrdiff_t>((c + 1) * d));
        }
        for (size_t p = 0; p < mp; ++p) children[part_labels[p]].members.push_back(parent.members[p]);
        if (children[0].members.empty() || children[1].members.empty()) {
            finished.insert(finished.end(), parent.centroid.begin(), parent.centroid.end());
            ++finished_count;
        } else {
            heap.push(std::move(children[0]));
            heap.push(std::move(children[1]));
        }
    }

    std::vector<float> out;
    out.reserve(kd);
    out.insert(out.end(), finished.begin(), finished.end());
    size_t present = finished_count;
    while (present < k) {
        std::optional<Cluster> top = heap.pop();
        if (!top) break;
        out.insert(out.end(), top->centroid.begin(), top->centroid.end());
        ++present;
    }
    if (present == 0) return std::vector<float>(kd, 0.0f);
    const size_t h = present;
    for (size_t i = h; i < k; ++i) {
        const size_t src = (i % h) * d;
        for (size_t u = 0; u < d; ++u) out.push_back(out[src + u]);
    }
    return out;
}

std::vector<float> kmeans_train(const KMeansConfig& config, std::span<const float> data, size_t n, size_t d,
                                size_t k) {
    // Both variants check the shapes first.
    if (k >= 257 && n > k) return kmeans_train_hierarchical(config, data, n, d, k);
    return kmeans_train_with_init(config, data, n, d, k, std::nullopt);
}

}  // namespace tavren::kmeans
