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

// Exact byte-table sums of one block of 32 rows (the IVF-RQ list scan's
// sign plane and refinement planes): plane sizes 16 (D' = 128) and 104
// (D' = 832); second argument 1 for the scalar loop.
void BM_ByteTableBlock(benchmark::State& state) {
    tavren::distance::force_scalar_for_testing(state.range(1) != 0);
    const size_t plane = static_cast<size_t>(state.range(0));
    const std::vector<float> lut = random_vector(256 * plane, 4);
    std::mt19937 g(5);
    std::vector<uint8_t> block(32 * plane);
    for (uint8_t& b : block) b = static_cast<uint8_t>(g());
    float out[32];
    for (auto _ : state) {
        tavren::rabitq::byte_table_block_sums(lut.data(), block.data(), plane, 32, out);
        tavren::rabitq::byte_table_block_add(lut.data(), block.data(), plane, 32, 4.0f, out);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 32);
    tavren::distance::force_scalar_for_testing(false);
}
BENCHMARK(BM_ByteTableBlock)->Args({16, 0})->Args({16, 1})->Args({104, 0})->Args({104, 1});

}  // namespace

BENCHMARK_MAIN();
