#include "diskann_limits.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "error.hpp"
#include "numeric.hpp"
#include "pool.hpp"

namespace tavren {

namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kPow61 = uint64_t{1} << 61;
constexpr uint64_t kPow62 = uint64_t{1} << 62;
// k-means assignment scratch is capped at this many distances.
constexpr uint64_t kMaxKmeansDistanceBlock = 4194304;

// Sums and products of the estimates: every step checked, absent on overflow.
struct Checked {
    std::optional<uint64_t> v;
    Checked(uint64_t x) : v(x) {}  // NOLINT: implicit on purpose, keeps formulas readable
    Checked(std::optional<uint64_t> x) : v(x) {}  // NOLINT
};
inline Checked operator+(Checked a, Checked b) {
    if (!a.v || !b.v) return Checked(std::nullopt);
    return Checked(checked_add(*a.v, *b.v));
}
inline Checked operator*(Checked a, Checked b) {
    if (!a.v || !b.v) return Checked(std::nullopt);
    return Checked(checked_mul(*a.v, *b.v));
}

}  // namespace

}  // namespace tavren

namespace tavren::diskann {

DiskAnnBuildConfig coarse_assignment_build_config() noexcept {
    DiskAnnBuildConfig c;
    c.max_degree = 12;
    c.build_search_list_size = 15;
    c.seed = 42;
    c.memory_budget_bytes = 1073741824;
    c.alpha = 1.2f;
    c.raw_vector_encoding = RawVectorEncoding::F32;
    c.storage_layout = StorageLayout::Compact;
    c.build_distance = BuildDistance::FullPrecision;
    return c;
}

void validate_diskann_format_configuration(uint64_t dim, uint64_t m, uint64_t nbits,
                                           const DiskAnnBuildConfig& config) {
    if (dim == 0) invalid_input("DiskANN dimension must be greater than 0");
    if (dim > kMaxDimension) invalid_input("DiskANN v1 dimension must be at most 1024");
    if (m == 0) invalid_input("DiskANN pq.m must be greater than 0");
    if (m > dim) invalid_input("DiskANN pq.m {} must not exceed dimension {}", m, dim);
    if (nbits != 4 && nbits != 8) invalid_input("DiskANN pq.bits must be 4 or 8");
    const uint64_t r = config.max_degree;
    if (r == 0) invalid_input("DiskANN maximum degree must be greater than 0");
    if (r > kMaxDegree) {
        invalid_input("DiskANN adjacency list size {} exceeds the v1 1023-neighbor page limit", saturating_mul(4, r));
    }
    const uint64_t l = config.build_search_list_size;
    if (l < r) invalid_input("DiskANN build search-list size {} must be at least maximum degree {}", l, r);
    if (l > std::numeric_limits<uint32_t>::max()) invalid_input("DiskANN build search-list size exceeds u32");
    if (!std::isfinite(config.alpha) || config.alpha < 1.0f) {
        invalid_input("DiskANN alpha must be at least 1 and finite");
    }
    if (config.storage_layout == StorageLayout::Interleaved) {
        // dim <= 1024 and r <= 1023 here, so neither product can overflow.
        if (dim * raw_bytes_per_value(config.raw_vector_encoding) + 4 * r > kPageBytes) {
            invalid_input("DiskANN interleaved raw vector and maximum adjacency list must fit in one page");
        }
    }
}

std::optional<uint64_t> pq_training_peak_bytes(uint64_t dim, uint64_t m, uint64_t ksub, uint64_t rows,
                                               uint64_t sample_buffers, uint64_t workers) {
    const uint64_t h = div_ceil(dim, std::max<uint64_t>(m, 1));
    // Guards of the sample and codebook products and the per-worker k-means state.
    auto r_dim = checked_mul(rows, dim);
    if (!r_dim || *r_dim >= kPow62) return std::nullopt;
    auto dim_ksub = checked_mul(dim, ksub);
    if (!dim_ksub || *dim_ksub >= kPow62) return std::nullopt;
    auto r_h = checked_mul(rows, h);
    if (!r_h || *r_h >= kPow61) return std::nullopt;

    const uint64_t r_ksub = saturating_mul(rows, ksub);
    Checked fixed = Checked(sample_buffers) * 4 * *r_dim + Checked(4) * *dim_ksub;
    Checked per_worker = Checked(12) * rows + Checked(8) * *r_h +
                         Checked(4) * std::min(r_ksub, kMaxKmeansDistanceBlock) + Checked(12) * ksub * h;
    return (fixed + Checked(workers) * per_worker).v;
}

PqTrainingPlan pq_training_plan_with_pool_threads(uint64_t dim, uint64_t m, uint64_t ksub, uint64_t n,
                                                  uint64_t budget, uint64_t sample_buffers, uint64_t pool_threads) {
    const uint64_t cap = std::min(n, kMaxPqTrainingRows);
    const uint64_t ksub_at_least_one = std::max<uint64_t>(ksub, 1);
    const uint64_t r0 = std::min(ksub_at_least_one, n);
    const uint64_t wmax = std::min(std::max<uint64_t>(pool_threads, 1), std::max<uint64_t>(m, 1));

    auto fits = [&](uint64_t rows, uint64_t workers) {
        auto peak = pq_training_peak_bytes(dim, m, ksub, rows, sample_buffers, workers);
        return peak && *peak <= budget;
    };

    if (!fits(r0, 1)) invalid_input("{} bytes is below the estimated one-worker PQ training peak", budget);

    uint64_t rows = r0;
    if (ksub_at_least_one < cap) {
        uint64_t lo = r0, hi = cap;
        while (lo < hi) {
            const uint64_t mid = lo + div_ceil(hi - lo, 2);
            if (fits(mid, 1)) {
                lo = mid;
            } else {
                hi = mid - 1;
            }
        }
        rows = lo;
    }

    // fits(rows, 1) holds, so only the extra workers can fail to fit.
    uint64_t workers = 1;
    for (uint64_t w = wmax; w >= 2; --w) {
        if (fits(rows, w)) {
            workers = w;
            break;
        }
    }
    return PqTrainingPlan{rows, workers};
}

PqTrainingPlan pq_training_plan_with_sample_buffers(uint64_t dim, uint64_t m, uint64_t ksub, uint64_t n,
                                                    uint64_t budget, uint64_t sample_buffers) {
    return pq_training_plan_with_pool_threads(dim, m, ksub, n, budget, sample_buffers,
                                              static_cast<uint64_t>(pool::current_num_threads()));
}

void validate_diskann_training_budget(uint64_t dim, uint32_t metric, uint64_t m, uint64_t nbits, uint64_t budget) {
    const uint64_t ksub = nbits < 64 ? uint64_t{1} << nbits : kU64Max;
    const uint64_t buffers = metric == 2 ? 2 : 1;
    // Whether the plan exists depends only on the one-worker peak, so the pool
    // size does not matter here (and the pool need not be created for it).
    try {
        (void)pq_training_plan_with_pool_threads(dim, m, ksub, ksub, budget, buffers, 1);
    } catch (const Error& e) {
        invalid_input("DiskANN memory budget cannot fit minimum PQ training: {}", e.message());
    }
}

uint64_t checked_bytes(std::string_view name, uint64_t count, uint64_t element_size) {
    auto bytes = checked_mul(count, element_size);
    if (!bytes) invalid_input("DiskANN {} byte size overflows usize", name);
    return *bytes;
}

uint64_t estimate_build_memory_bytes(const BuildMemoryInputs& in) {
    const uint64_t n = in.vector_count;
    const uint64_t codes = checked_bytes("PQ codes", n, in.code_bytes_per_vector);
    if (in.codebook_values >= kPow62) invalid_input("DiskANN {} byte size overflows usize", "PQ codebook");
    const uint64_t codebook = checked_bytes("PQ codebook", in.codebook_values, 4);

    uint64_t tables = 0;
    if (in.config.build_distance == BuildDistance::ProductQuantized) {
        auto entries = (Checked(in.m) * in.ksub * in.ksub).v;
        if (!entries || *entries > kPow62 - 1) invalid_input("DiskANN PQ build-distance table size overflows");
        tables = 4 * *entries;
    }

    auto vamana = vamana::estimate_vamana_memory_bytes(n, in.config.max_degree, in.config.build_search_list_size,
                                                       std::max<uint64_t>(in.workers, 1));
    if (!vamana) invalid_input("DiskANN Vamana memory estimate overflows usize");

    // The last two terms are the file's adjacency index: a 16-bit offset and a
    // 16-bit metadata word per node, one 64-bit position per block of 16 nodes.
    Checked total = Checked(std::max(vamana->parallel_peak, vamana->finish_peak)) + Checked(4) * in.stored_values +
                    Checked(16) * n + codes + codebook + tables + Checked(4) * n + Checked(4) * n +
                    Checked(8) * div_ceil(n, 16);
    if (!total.v) invalid_input("DiskANN memory estimate overflows usize");
    return *total.v;
}

}  // namespace tavren::diskann

namespace tavren::vamana {

namespace {
constexpr uint64_t kPow56 = uint64_t{1} << 56;
constexpr uint64_t kPow57 = uint64_t{1} << 57;
constexpr uint64_t kPow60 = uint64_t{1} << 60;

// Bytes of the visit states of one greedy-search scratch over n nodes when a
// search can touch at most lr1 = L x R + 1 of them: a sparse table when it is
// far smaller than a dense mark per node. Requires n < 2^61.
std::optional<uint64_t> visit_state_bytes(uint64_t n, uint64_t lr1) {
    const uint64_t w = std::min(n, lr1);
    const uint64_t table_min = std::max<uint64_t>(2 * w, 8);  // w < 2^61, no overflow
    const uint64_t tcap = std::bit_ceil(table_min);
    const Checked sparse = Checked(5) * tcap + Checked(4) * w;
    const Checked dense = Checked(n) + Checked(4) * w;
    if (!sparse.v || !dense.v) return std::nullopt;
    auto sparse16 = checked_mul(16, *sparse.v);
    return (sparse16 && *sparse16 < *dense.v) ? *sparse.v : *dense.v;
}
}  // namespace

void validate_build_inputs(uint64_t vector_len, uint64_t n, uint64_t dim, uint64_t max_degree) {
    if (n == 0 || dim == 0 || max_degree == 0) {
        invalid_input("Vamana count, dimension, and maximum degree must be greater than zero");
    }
    if (n >= (uint64_t{1} << 32)) invalid_input("Vamana vector count exceeds u32 node ID limit");
    if (max_degree >= 65536) invalid_input("Vamana maximum degree exceeds u16 adjacency degree limit");
    auto values = checked_mul(n, dim);
    if (!values) invalid_input("Vamana vector shape overflows usize");
    if (vector_len != *values) invalid_input("Vamana vector length {} does not match {}", vector_len, *values);
}

std::optional<VamanaMemoryEstimate> estimate_vamana_memory_bytes(uint64_t n, uint64_t r, uint64_t l,
                                                                 uint64_t workers) {
    if (r >= kPow57 || n >= kPow61) return std::nullopt;
    auto three_l = checked_mul(3, l);
    if (!three_l || *three_l >= kPow61) return std::nullopt;
    const Checked lr1 = Checked(l) * r + 1;
    if (!lr1.v) return std::nullopt;

    const Checked adjacency = Checked(n) * (Checked(4) * r + 2);
    const uint64_t blocks = div_ceil(n, 256);

    const auto visit_bytes = visit_state_bytes(n, *lr1.v);
    if (!visit_bytes) return std::nullopt;
    const uint64_t visit = *visit_bytes;

    const Checked scratch = Checked(visit) + Checked(40) * l + Checked(20) * r;
    const Checked parallel = adjacency + Checked(80) * blocks + Checked(8) * n +
                             Checked(std::max<uint64_t>(workers, 1)) * scratch + Checked(1536) * r;
    const Checked finish = adjacency + Checked(64) * blocks + Checked(9) * n + Checked(4) * r + 2;
    if (!parallel.v || !finish.v) return std::nullopt;
    return VamanaMemoryEstimate{*parallel.v, *finish.v};
}

uint64_t sharded_capacity(uint64_t n, uint64_t s) noexcept {
    if (s < 2) return n;
    return s == 2 ? n : (2 * n + s - 2) / (s - 1);
}

std::optional<uint64_t> estimate_pq_shard_worker_bytes(uint64_t n, uint64_t r, uint64_t l, uint64_t s,
                                                       uint64_t workers) {
    if (n == 0 || s < 2 || n >= kPow60 || s >= kPow56) return std::nullopt;
    const uint64_t cap = sharded_capacity(n, s);
    const uint64_t rk = std::min(cap - 1, r);
    const uint64_t lk = std::max(std::min(cap, l), rk);
    // The part of a parallel build over cap nodes that grows with the pool
    // (or not with the nodes): one search scratch per worker and the
    // 1536 R of the pass's batch buffers. Its per-node part is within the
    // sharded estimate's per-member term.
    const auto full = estimate_vamana_memory_bytes(cap, rk, lk, workers);
    if (!full) return std::nullopt;
    const Checked adjacency = Checked(cap) * (Checked(4) * rk + 2);
    const Checked per_node = adjacency + Checked(80) * div_ceil(cap, 256) + Checked(8) * cap;
    if (!per_node.v || *per_node.v > full->parallel_peak) return std::nullopt;
    return full->parallel_peak - *per_node.v;
}

std::optional<uint64_t> estimate_concurrent_shard_bytes(uint64_t n, uint64_t dim, uint64_t r, uint64_t l,
                                                        uint64_t s) {
    if (n == 0 || s < 2 || n >= kPow60) return std::nullopt;
    const uint64_t cap = sharded_capacity(n, s);
    const uint64_t rk = std::min(cap - 1, r);
    const uint64_t lk = std::max(std::min(cap, l), rk);
    const auto build = estimate_sequential_vamana_memory_bytes(cap, rk, lk);
    if (!build) return std::nullopt;
    const Checked total = Checked(cap) * (Checked(4) * dim) + *build;
    return total.v;
}

std::optional<uint64_t> estimate_sequential_vamana_memory_bytes(uint64_t n, uint64_t r, uint64_t l) {
    if (n >= kPow61) return std::nullopt;
    const uint64_t d0 = n == 0 ? 0 : std::min(n - 1, r);
    const uint64_t lp = std::min(n, l);
    if (d0 >= kPow61 || lp >= kPow61 / 3) return std::nullopt;
    auto d0l = checked_mul(d0, lp);
    if (!d0l || *d0l == UINT64_MAX) return std::nullopt;
    const auto visit = visit_state_bytes(n, *d0l + 1);
    if (!visit) return std::nullopt;
    // The random lists before they become the storage, the storage itself,
    // one search scratch and the repair's working state.
    const Checked lists = Checked(n) * (Checked(4) * d0 + 24);
    const Checked storage = Checked(n) * (Checked(4) * d0 + 2) + Checked(64) * div_ceil(n, 256);
    const Checked scratch = Checked(*visit) + Checked(24) * lp + Checked(12) * (Checked(lp) + d0) +
                            Checked(4) * lp + Checked(8) * d0;
    const Checked a = lists + storage;
    const Checked b = Checked(8) * n + storage + scratch;
    const Checked c = storage + Checked(41) * n;
    if (!a.v || !b.v || !c.v) return std::nullopt;
    return std::max({*a.v, *b.v, *c.v});
}

std::optional<uint64_t> estimate_sharded_vamana_memory_bytes(uint64_t n, uint64_t dim, uint64_t r, uint64_t s,
                                                             uint64_t c) {
    if (n == 0 || s < 2 || r >= kPow61 || n >= kPow60 || s >= kPow56) return std::nullopt;
    // Per-shard capacity: each node lands in two shards.
    const uint64_t cap = s == 2 ? n : (2 * n + s - 2) / (s - 1);
    const uint64_t g = std::min(256 * s, n);  // the k-means sample, 256 points per centroid
    const uint64_t limit = kPow62 - 1;
    auto s_cap = checked_mul(s, cap);
    auto s_dim = checked_mul(s, dim);
    auto g_dim = checked_mul(g, dim);
    auto cap_dim = checked_mul(cap, dim);
    if (!s_cap || *s_cap > limit || !s_dim || *s_dim > limit || !g_dim || *g_dim > limit || cap > limit ||
        !cap_dim || *cap_dim > limit) {
        return std::nullopt;
    }
    const uint64_t gs = saturating_mul(g, s);
    const Checked per_row = Checked(4) * dim + 4 + c + Checked(8) * r + 34;
    const Checked total = Checked(n) * (Checked(4) * r + 2) + Checked(16) * n + Checked(s) * (Checked(4) * cap + 24) +
                          Checked(16) * *s_dim + Checked(4) * *g_dim + Checked(12) * g +
                          Checked(4) * std::min(gs, kMaxKmeansDistanceBlock) + Checked(cap) * per_row;
    if (!total.v) return std::nullopt;
    auto one_piece = estimate_vamana_memory_bytes(n, r, std::max<uint64_t>(r, 1), 1);
    if (!one_piece) return std::nullopt;
    return std::max(*total.v, one_piece->finish_peak);
}

void validate_build_memory_budget(std::optional<uint64_t> estimate, uint64_t budget) {
    if (estimate && budget >= *estimate) return;
    const std::string need = estimate ? std::to_string(*estimate) : std::string("an unrepresentable amount of memory");
    fail(ErrorKind::OutOfMemory, "Vamana build requires {} bytes, exceeding the {} byte memory budget", need, budget);
}

}  // namespace tavren::vamana
