// RaBitQ per-vector costs: rotating one vector and encoding one rotated
// residual, at the Fashion-MNIST dimension (784, padded to 832), on the AVX2
// and the scalar paths.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "distance.hpp"
#include "rabitq.hpp"

namespace {

std::vector<float> random_vector(size_t n, uint32_t seed) {
    std::mt19937 g(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = normal(g);
    return v;
}

void BM_Rotate(benchmark::State& state) {
    tavren::distance::force_scalar_for_testing(state.range(1) != 0);
    const size_t d = static_cast<size_t>(state.range(0));
    const tavren::rabitq::RQRotation rotation(d, tavren::rabitq::kDefaultSeed, 4);
    const std::vector<float> x = random_vector(d, 1);
    std::vector<float> out(rotation.padded_dimension()), scratch(rotation.padded_dimension());
    for (auto _ : state) {
        rotation.rotate(x, out, scratch);
        benchmark::DoNotOptimize(out.data());
    }
    tavren::distance::force_scalar_for_testing(false);
}
BENCHMARK(BM_Rotate)->Args({784, 0})->Args({784, 1})->Args({128, 0});

void BM_Encode(benchmark::State& state) {
    const size_t bits = static_cast<size_t>(state.range(0));
    const auto q = tavren::rabitq::RaBitQuantizer::create(784, bits);
    const std::vector<float> r = random_vector(q.padded_dimension, 2), c = random_vector(q.padded_dimension, 3);
    tavren::rabitq::RQEncodeScratch scratch(q.padded_dimension);
    std::vector<uint8_t> out(q.code_bytes());
    for (auto _ : state) {
        benchmark::DoNotOptimize(q.encode_with_scratch(r, c, 0, out, scratch));
    }
}
BENCHMARK(BM_Encode)->Arg(1)->Arg(4)->Arg(8);

}  // namespace

BENCHMARK_MAIN();
