#include "diskann_built_index.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "diskann_writer.hpp"
#include "distance.hpp"
#include "kmeans.hpp"
#include "memory_sink.hpp"
#include "rng.hpp"

namespace tavren::testing {

BuiltDiskAnn build_diskann_index(size_t n, size_t d, uint32_t metric, diskann::StorageLayout layout,
                                 diskann::RawVectorEncoding encoding, size_t bits, uint64_t seed,
                                 uint32_t max_degree) {
    BuiltDiskAnn b;
    b.d = d;
    auto rng = rng::StdRng::seed_from_u64(seed);
    b.rows.resize(n * d);
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < d; ++j) {
            const float centre = static_cast<float>((i % 8) == j % 8 ? 2.0 : 0.0);
            b.rows[i * d + j] = centre + (rng.gen_f32() - 0.5f);
        }
    }
    if (encoding == diskann::RawVectorEncoding::F16) {
        for (float& x : b.rows) x = distance::f16_bits_to_f32(distance::f32_to_f16_bits(x));
    }
    for (size_t i = 0; i < n; ++i) b.ids.push_back(static_cast<int64_t>(1000 + 3 * i));
    diskann::DiskAnnBuildConfig c;
    c.max_degree = max_degree;
    c.build_search_list_size = 32;
    c.seed = 11;
    c.memory_budget_bytes = uint64_t{1} << 30;
    c.alpha = 1.2f;
    c.storage_layout = layout;
    c.raw_vector_encoding = encoding;
    diskann::DiskAnnIndex index(d, metric, 8, bits, c);
    kmeans::KMeansConfig km;
    km.max_iter = 5;
    index.train_with_config(b.rows, n, km);
    index.add(b.rows, b.ids);
    MemorySink sink;
    diskann::write_diskann_index_with_stats(index, sink);
    b.bytes = sink.bytes();
    return b;
}

float exact_distance(uint32_t metric, std::span<const float> q, std::span<const float> r) {
    if (metric == 0) return distance::fvec_l2sqr(q, r);
    double dot = 0, qq = 0, rr = 0;
    for (size_t j = 0; j < q.size(); ++j) {
        dot += double{q[j]} * r[j];
        qq += double{q[j]} * q[j];
        rr += double{r[j]} * r[j];
    }
    if (metric == 1) return static_cast<float>(-dot);
    return static_cast<float>(1.0 - dot / (std::sqrt(qq) * std::sqrt(rr)));
}

std::vector<int64_t> brute_force_ids(const BuiltDiskAnn& b, uint32_t metric, std::span<const float> q, size_t k,
                                     const std::function<bool(int64_t)>& admit) {
    std::vector<std::pair<float, int64_t>> all;
    for (size_t i = 0; i < b.ids.size(); ++i) {
        if (admit && !admit(b.ids[i])) continue;
        all.push_back({exact_distance(metric, q, std::span<const float>(b.rows).subspan(i * b.d, b.d)), b.ids[i]});
    }
    std::sort(all.begin(), all.end());
    std::vector<int64_t> out;
    for (size_t i = 0; i < k && i < all.size(); ++i) out.push_back(all[i].second);
    return out;
}

}  // namespace tavren::testing
