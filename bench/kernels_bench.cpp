// Kernel throughput: each benchmark takes (d, path) with path 1 = AVX2 when
// the processor has it, 0 = the scalar twins forced. Bytes/s count the vector
// bytes each call reads (codes and gathered table entries for the PQ kernels).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "blas.hpp"
#include "distance.hpp"
#include "sq.hpp"
#include "sq_kernels.hpp"

namespace {

namespace td = tavren::distance;

std::vector<float> random_floats(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> d(0.0f, 1.0f);
    std::vector<float> v(n);
    for (auto& x : v) x = d(rng);
    return v;
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& x : v) x = static_cast<uint8_t>(rng());
    return v;
}

// Selects the path for one benchmark run; restores detection afterwards.
struct Path {
    explicit Path(benchmark::State& state) {
        const bool avx2 = state.range(1) != 0;
        if (avx2 && !td::avx2_available()) state.SkipWithError("no AVX2 on this processor");
        td::force_scalar_for_testing(!avx2);
        state.SetLabel(avx2 ? "avx2" : "scalar");
    }
    ~Path() { td::force_scalar_for_testing(false); }
};

// Several rows cycled through so the inputs are not one hot pair of lines.
constexpr size_t kRows = 64;

using td::FloatSpan;

// One query against the kRows rows in turn: kernel(query, row) is the call
// measured, and each call reads `Operands` vectors of d values.
template <size_t Operands, class Kernel>
void row_kernel(benchmark::State& state, Kernel kernel) {
    Path path(state);
    const size_t d = static_cast<size_t>(state.range(0));
    auto q = random_floats(d, 1);
    auto rows = random_floats(d * kRows, 2);
    size_t r = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(kernel(q, FloatSpan(rows).subspan(r * d, d)));
        r = (r + 1) % kRows;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Operands * d * sizeof(float)));
}

void BM_l2sqr(benchmark::State& state) {
    row_kernel<2>(state, [](FloatSpan q, FloatSpan row) { return td::fvec_l2sqr(q, row); });
}

void BM_inner_product(benchmark::State& state) {
    row_kernel<2>(state, [](FloatSpan q, FloatSpan row) { return td::fvec_inner_product(q, row); });
}

void BM_norm_l2sqr(benchmark::State& state) {
    row_kernel<1>(state, [](FloatSpan, FloatSpan row) { return td::fvec_norm_l2sqr(row); });
}

void BM_l2sqr_four(benchmark::State& state) {
    Path path(state);
    const size_t d = static_cast<size_t>(state.range(0));
    auto q = random_floats(d, 1);
    auto rows = random_floats(d * kRows, 2);
    FloatSpan all(rows);
    size_t r = 0;
    for (auto _ : state) {
        auto out = td::fvec_l2sqr_four(q, all.subspan(r * d, d), all.subspan((r + 1) * d, d),
                                       all.subspan((r + 2) * d, d), all.subspan((r + 3) * d, d));
        benchmark::DoNotOptimize(out);
        r = (r + 4) % kRows;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 5 * d * sizeof(float)));
}

void BM_scaled_exceeds(benchmark::State& state) {
    // A threshold no row reaches: the whole vector is read every time.
    row_kernel<2>(state, [](FloatSpan q, FloatSpan row) {
        return td::fvec_l2sqr_scaled_exceeds(q, row, 1.0f, std::numeric_limits<float>::max());
    });
}

constexpr size_t kBatchRows = 256;

// One query against kBatchRows rows per call: kernel(query, data, d, n, out).
template <class Kernel>
void batch_kernel(benchmark::State& state, Kernel kernel) {
    Path path(state);
    const size_t d = static_cast<size_t>(state.range(0));
    auto q = random_floats(d, 1);
    auto data = random_floats(d * kBatchRows, 2);
    std::vector<float> out(kBatchRows);
    for (auto _ : state) {
        kernel(q, data, d, kBatchRows, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (kBatchRows + 1) * d * sizeof(float)));
}

void BM_ip_batch(benchmark::State& state) { batch_kernel(state, td::fvec_ip_batch); }

void BM_l2sqr_batch(benchmark::State& state) { batch_kernel(state, td::fvec_l2sqr_batch); }

// PQ with 8-bit codes: d plays the part of m (sub-quantizers, one code byte
// each); kernel(table, code, m) sums one code of kCodes in turn.
constexpr size_t kCodes = 256;

template <class Kernel>
void pq_kernel(benchmark::State& state, Kernel kernel) {
    const size_t m = static_cast<size_t>(state.range(0));
    auto table = random_floats(256 * m, 3);
    auto codes = random_bytes(m * kCodes, 4);
    size_t c = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(kernel(table, std::span<const uint8_t>(codes).subspan(c * m, m), m));
        c = (c + 1) % kCodes;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * m * (1 + sizeof(float))));
}

void BM_pq_distance_avx2(benchmark::State& state) {
    Path path(state);
    pq_kernel(state, td::pq_distance_avx2);
}

void BM_pq_plain_sum(benchmark::State& state) {
    pq_kernel(state, td::pq_table_sum);
    state.SetLabel("plain");
}

// 4-bit scan of a run of vectors: d plays the part of m (d / 2 code bytes per
// vector). Baseline x86-64 code on every processor: no path argument.
constexpr size_t kScanVectors = 4096;

void BM_scan_4bit(benchmark::State& state) {
    const size_t m = static_cast<size_t>(state.range(0));
    auto table = random_floats(16 * m, 5);
    auto codes = random_bytes(kScanVectors * (m / 2), 6);
    std::vector<float> out(kScanVectors);
    for (auto _ : state) {
        td::scan_4bit_simd(table, codes, kScanVectors, m, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kScanVectors * (m / 2)));
}

// The matrix product alone, m x n x k: items/s counts floating-point
// operations (2 m n k per call), bytes/s the values of a and b.
void BM_sgemm(benchmark::State& state) {
    const size_t m = static_cast<size_t>(state.range(0));
    const size_t n = static_cast<size_t>(state.range(1));
    const size_t k = static_cast<size_t>(state.range(2));
    auto a = random_floats(m * k, 7);
    auto b = random_floats(n * k, 8);
    std::vector<float> c(m * n);
    for (auto _ : state) {
        tavren::blas::sgemm_a_bt(m, n, k, 1.0f, a, b, 0.0f, c);
        benchmark::DoNotOptimize(c.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 2 * m * n * k));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (m + n) * k * sizeof(float)));
}

// IVF-SQ squared L2 over one list of 64 rows (two 32-row blocks) of 8-bit
// codes, threshold +inf (no block abandoned); bytes are code bytes.
void BM_sq_blocked_l2(benchmark::State& state) {
    const size_t d = static_cast<size_t>(state.range(0));
    const size_t n = 64;
    Path path(state);
    const std::vector<float> mins(d, -1.0f), maxs(d, 1.0f);
    const tavren::sq::ScalarQuantizer q = tavren::sq::ScalarQuantizer::with_dimension_bounds(d, mins, maxs);
    const std::vector<float> query = random_floats(d, 1), centroid = random_floats(d, 2);
    const std::vector<uint8_t> codes = random_bytes(n * d, 3);
    tavren::sq::SqScanScratch scratch;
    for (auto _ : state) {
        tavren::sq::distances_to_blocked_codes_with_offset(q, query, codes, n, std::numeric_limits<float>::infinity(),
                                                           centroid, tavren::kMetricL2, tavren::sq::kScanBlockRows,
                                                           scratch);
        benchmark::DoNotOptimize(scratch.distances.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n * d));
}

void PathArgs(benchmark::internal::Benchmark* b) {
    for (int64_t d : {8, 96, 128, 384, 784, 1536})
        for (int64_t avx2 : {1, 0}) b->Args({d, avx2});
    b->ArgNames({"d", "avx2"});
}

void DimArgs(benchmark::internal::Benchmark* b) {
    for (int64_t d : {8, 96, 128, 384, 784, 1536}) b->Args({d});
    b->ArgNames({"d"});
}

BENCHMARK(BM_l2sqr)->Apply(PathArgs);
BENCHMARK(BM_inner_product)->Apply(PathArgs);
BENCHMARK(BM_norm_l2sqr)->Apply(PathArgs);
BENCHMARK(BM_l2sqr_four)->Apply(PathArgs);
BENCHMARK(BM_scaled_exceeds)->Apply(PathArgs);
BENCHMARK(BM_ip_batch)->Apply(PathArgs);
BENCHMARK(BM_l2sqr_batch)->Apply(PathArgs);
BENCHMARK(BM_pq_distance_avx2)->Apply(PathArgs);
BENCHMARK(BM_pq_plain_sum)->Apply(DimArgs);
BENCHMARK(BM_scan_4bit)->Apply(DimArgs);
BENCHMARK(BM_sq_blocked_l2)->Apply(PathArgs);
BENCHMARK(BM_sgemm)
    ->Args({1, 256, 128})
    ->Args({64, 1024, 128})
    ->Args({256, 256, 96})
    ->Args({256, 1024, 784})
    ->Args({1024, 1024, 32})
    ->Args({1000, 256, 8})
    ->Args({1000, 980, 784})
    ->Args({1000, 980, 128})
    ->ArgNames({"m", "n", "k"});

}  // namespace

BENCHMARK_MAIN();
