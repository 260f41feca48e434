// Product quantizer and OPQ throughput.
//
//   BM_PqTrain        PQ training, 65,536 rows, d in {128, 784}, m = d/8 and d/4,
//                     8-bit, the trainer's k-means settings {25, 1, 256, 1234, 0}.
//   BM_OpqTrain       OPQ rotation training, 50 passes, 65,536 rows, d in {128, 784},
//                     m = d/8, 8-bit (includes the final PQ training).
//   BM_Encode         rows/s of each encoder path (canonical, transposed, matrix
//                     product; the AVX2 kernels or, with /scalar, their scalar
//                     twins), d = 128, m = 16 (8-bit) and m = 32 (4-bit, canonical).
//   BM_TableBuild     ns per l2 distance table, d = 128, m = 16 8-bit / m = 32 4-bit, and
//                     d = 784, m = 196 8-bit (four-value sub-spaces, the DiskANN default).
//   BM_TableScan      ns per code of table_distance (8-bit, m = 16: the 8-lane AVX2 sum
//                     or the plain sum) and of distance::scan_4bit_simd (m = 32).
//   BM_FashionOpqIvfPq the IVF-PQ training work on Fashion-MNIST (60,000 x 784; the
//                     train images from TD_FASHION_MNIST_DIR, default
//                     /usr/share/datasets/fashion-mnist, else a seeded synthetic set of
//                     that shape): with OPQ (50 passes) then rotation of all rows,
//                     or without; coarse k-means nlist 980, residuals to the nearest
//                     centroid, PQ m = 98 8-bit on them.
//
// Data are seeded Gaussian clusters. Counters: rows/s, ns per item, and the
// mean squared quantization error where training is measured.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <random>
#include <string>
#include <vector>

#include "dataset.hpp"
#include "distance.hpp"
#include "kmeans.hpp"
#include "opq.hpp"
#include "pool.hpp"
#include "pq.hpp"

namespace {

using tavren::pq::EncoderPath;
using tavren::pq::ProductQuantizer;
namespace km = tavren::kmeans;

// n rows around 256 Gaussian centres (spread 4, unit noise).
std::vector<float> clustered(size_t n, size_t d, uint64_t seed) {
    std::mt19937_64 g(seed);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    std::vector<float> centres(256 * d);
    for (float& c : centres) c = nd(g) * 4.0f;
    std::vector<float> out(n * d);
    for (size_t i = 0; i < n; ++i) {
        const float* c = centres.data() + (g() % 256) * d;
        for (size_t t = 0; t < d; ++t) out[i * d + t] = c[t] + nd(g);
    }
    return out;
}

const std::vector<float>& cached(size_t n, size_t d) {
    static size_t cn = 0, cd = 0;
    static std::vector<float> rows;
    if (cn != n || cd != d) {
        rows = clustered(n, d, 42 + d);
        cn = n;
        cd = d;
    }
    return rows;
}

double mean_error(const ProductQuantizer& pq, const std::vector<float>& rows, size_t n) {
    std::vector<uint8_t> codes(n * pq.code_size());
    pq.encode_batch(rows, n, codes);
    std::vector<float> y(pq.d());
    double sum = 0;
    for (size_t i = 0; i < n; ++i) {
        pq.decode({codes.data() + i * pq.code_size(), pq.code_size()}, y);
        for (size_t t = 0; t < pq.d(); ++t) {
            const double e = double(rows[i * pq.d() + t]) - y[t];
            sum += e * e;
        }
    }
    return sum / double(n);
}

constexpr size_t kTrainRows = 65536;

// CPU seconds of the whole process (every thread): wall time on a busy
// machine says little, this says how much work was done.
double process_cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + 1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

void BM_PqTrain(benchmark::State& state) {
    const size_t d = static_cast<size_t>(state.range(0)), m = static_cast<size_t>(state.range(1));
    const std::vector<float>& rows = cached(kTrainRows, d);
    ProductQuantizer pq = ProductQuantizer::with_nbits(d, m, 8);
    const double cpu0 = process_cpu_seconds();
    for (auto _ : state) {
        pq.train_hot_start_with_parallelism(rows, kTrainRows, km::KMeansConfig{}, false,
                                            tavren::pool::current_num_threads());
    }
    state.counters["cpu_s"] = process_cpu_seconds() - cpu0;
    state.counters["mse"] = mean_error(pq, rows, 8192);
}
BENCHMARK(BM_PqTrain)->Args({128, 16})->Args({128, 32})->Args({784, 98})->Args({784, 196})
    ->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

void BM_OpqTrain(benchmark::State& state) {
    const size_t d = static_cast<size_t>(state.range(0)), m = d / 8;
    const std::vector<float>& rows = cached(kTrainRows, d);
    ProductQuantizer pq = ProductQuantizer::with_nbits(d, m, 8);
    const double cpu0 = process_cpu_seconds();
    for (auto _ : state) {
        tavren::opq::OPQMatrix opq(d, m);
        opq.train_with_config(rows, kTrainRows, pq, km::KMeansConfig{});
        benchmark::DoNotOptimize(opq.rotation().data());
    }
    state.counters["cpu_s"] = process_cpu_seconds() - cpu0;
}
BENCHMARK(BM_OpqTrain)->Arg(128)->Arg(784)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// A trained quantizer per (d, m, nbits), kept between runs.
const ProductQuantizer& trained(size_t d, size_t m, size_t nbits) {
    static std::vector<ProductQuantizer> cache;
    for (const auto& pq : cache)
        if (pq.d() == d && pq.m() == m && pq.nbits() == nbits) return pq;
    ProductQuantizer pq = ProductQuantizer::with_nbits(d, m, nbits);
    const std::vector<float> rows = clustered(16384, d, 7);
    km::KMeansConfig config;
    config.max_iter = 10;
    pq.train_hot_start_with_parallelism(rows, 16384, config, false, tavren::pool::current_num_threads());
    cache.push_back(pq);
    return cache.back();
}

// Args: path (0 canonical, 1 transposed, 2 matrix product), scalar kernels, nbits.
void BM_Encode(benchmark::State& state) {
    const auto path = static_cast<EncoderPath>(state.range(0));
    const bool scalar = state.range(1) != 0;
    const size_t nbits = static_cast<size_t>(state.range(2));
    const size_t d = 128, m = nbits == 8 ? 16 : 32, n = 65536;
    const ProductQuantizer& pq = trained(d, m, nbits);
    const std::vector<float>& rows = cached(n, d);
    std::vector<uint8_t> codes(n * pq.code_size());
    tavren::distance::force_scalar_for_testing(scalar);
    for (auto _ : state) {
        switch (path) {
            case EncoderPath::Canonical: pq.encode_batch(rows, n, codes); break;
            case EncoderPath::Transposed: pq.encode_batch_8bit_transposed(rows, n, codes); break;
            case EncoderPath::Sgemm: pq.encode_batch_8bit_sgemm(rows, n, codes); break;
        }
        benchmark::DoNotOptimize(codes.data());
    }
    tavren::distance::force_scalar_for_testing(false);
    state.counters["rows/s"] = benchmark::Counter(double(n) * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Encode)
    ->ArgNames({"path", "scalar", "nbits"})
    ->Args({0, 0, 8})->Args({1, 0, 8})->Args({2, 0, 8})
    ->Args({0, 1, 8})->Args({1, 1, 8})->Args({2, 1, 8})
    ->Args({0, 0, 4})
    ->Unit(benchmark::kMillisecond)->UseRealTime();

// Args: nbits, d (m = d / 8 at 8 bits, d / 4 otherwise at d = 128; d / 4 at
// d = 784), by_dimension (1: compute_distance_table_by_dimension, which reads
// the dimension-major copy of the codebook when the chunks are four wide).
void BM_TableBuild(benchmark::State& state) {
    const size_t nbits = static_cast<size_t>(state.range(0));
    const size_t d = static_cast<size_t>(state.range(1));
    const bool by_dimension = state.range(2) != 0;
    const size_t m = d == 128 && nbits == 8 ? 16 : d / 4;
    const ProductQuantizer& pq = trained(d, m, nbits);
    const std::vector<float>& queries = cached(65536, d);
    std::vector<float> table(m * pq.ksub());
    size_t q = 0;
    for (auto _ : state) {
        const std::span<const float> query(queries.data() + (q++ % 1024) * d, d);
        if (by_dimension) {
            pq.compute_distance_table_by_dimension(query, tavren::kMetricL2, table);
        } else {
            pq.compute_distance_table(query, tavren::kMetricL2, table);
        }
        benchmark::DoNotOptimize(table.data());
    }
}
BENCHMARK(BM_TableBuild)
    ->ArgNames({"nbits", "d", "by_dimension"})
    ->Args({8, 128, 0})
    ->Args({4, 128, 0})
    ->Args({4, 128, 1})
    ->Args({8, 784, 0})
    ->Args({8, 784, 1})
    ->Unit(benchmark::kNanosecond);

// Args: nbits, scalar (8-bit: plain sum instead of the 8-lane AVX2 sum).
void BM_TableScan(benchmark::State& state) {
    const size_t nbits = static_cast<size_t>(state.range(0));
    const bool scalar = state.range(1) != 0;
    const size_t d = 128, m = nbits == 8 ? 16 : 32, n = 65536;
    const ProductQuantizer& pq = trained(d, m, nbits);
    const std::vector<float>& rows = cached(n, d);
    std::vector<uint8_t> codes(n * pq.code_size());
    pq.encode_batch(rows, n, codes);
    std::vector<float> table(m * pq.ksub());
    pq.compute_distance_table({rows.data(), d}, tavren::kMetricL2, table);
    std::vector<float> out(n);
    tavren::distance::force_scalar_for_testing(scalar);
    for (auto _ : state) {
        if (nbits == 8) {
            for (size_t i = 0; i < n; ++i) out[i] = pq.table_distance(table, {codes.data() + i * m, m});
        } else {
            tavren::distance::scan_4bit_simd(table, codes, n, m, out);
        }
        benchmark::DoNotOptimize(out.data());
    }
    tavren::distance::force_scalar_for_testing(false);
    state.counters["ns/code"] =
        benchmark::Counter(double(n) * double(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_TableScan)->ArgNames({"nbits", "scalar"})->Args({8, 0})->Args({8, 1})->Args({4, 0})
    ->Unit(benchmark::kMicrosecond);

// ---- the Fashion-MNIST-shaped training ------------------------------------------------

const std::vector<float>& fashion_rows() {
    static std::vector<float> rows;
    if (rows.empty()) {
        const char* dir = std::getenv("TD_FASHION_MNIST_DIR");
        try {
            tavren::ann::Matrix mtx = tavren::ann::read_idx_ubyte(
                std::string(dir != nullptr ? dir : "/usr/share/datasets/fashion-mnist") +
                    "/train-images-idx3-ubyte.gz",
                0);
            if (mtx.cols == 784) rows = std::move(mtx.data);
        } catch (const std::exception&) {
        }
        if (rows.empty()) rows = clustered(60000, 784, 99);
    }
    return rows;
}

// Arg: use OPQ. Counters: seconds of each step.
void BM_FashionOpqIvfPq(benchmark::State& state) {
    const bool use_opq = state.range(0) != 0;
    const std::vector<float>& data = fashion_rows();
    const size_t d = 784, n = data.size() / d, nlist = 980, m = 98;
    using clock = std::chrono::steady_clock;
    double t_opq = 0, t_coarse = 0, t_pq = 0;
    const double cpu0 = process_cpu_seconds();
    for (auto _ : state) {
        const auto t0 = clock::now();
        ProductQuantizer pq = ProductQuantizer::with_nbits(d, m, 8);
        std::vector<float> rows = data;
        if (use_opq) {
            tavren::opq::OPQMatrix opq(d, m);
            opq.train_with_config(data, n, pq, km::KMeansConfig{});
            opq.apply_batch(data, rows, n);
        }
        const auto t1 = clock::now();
        const std::vector<float> centroids = km::kmeans_train(km::KMeansConfig{}, rows, n, d, nlist);
        const std::vector<size_t> labels = km::find_nearest_batch(rows, n, centroids, nlist, d);
        for (size_t i = 0; i < n; ++i)
            for (size_t t = 0; t < d; ++t) rows[i * d + t] -= centroids[labels[i] * d + t];
        const auto t2 = clock::now();
        pq.train_hot_start_with_parallelism(rows, n, km::KMeansConfig{}, false, tavren::pool::current_num_threads());
        const auto t3 = clock::now();
        t_opq += std::chrono::duration<double>(t1 - t0).count();
        t_coarse += std::chrono::duration<double>(t2 - t1).count();
        t_pq += std::chrono::duration<double>(t3 - t2).count();
    }
    state.counters["opq_s"] = t_opq;
    state.counters["coarse_s"] = t_coarse;
    state.counters["pq_s"] = t_pq;
    state.counters["cpu_s"] = process_cpu_seconds() - cpu0;
}
BENCHMARK(BM_FashionOpqIvfPq)->ArgName("opq")->Arg(0)->Arg(1)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
