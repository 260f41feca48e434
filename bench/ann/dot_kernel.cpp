#include "dot_kernel.hpp"

#include <cstring>

namespace tavren::ann {
namespace {

// Eight floats; the compiler maps it to one AVX2 register in the avx2 clone
// and to two SSE registers in the default one. No fused multiply-add is
// ever formed (the build forbids contraction).
typedef float v8 __attribute__((vector_size(32)));

__attribute__((always_inline)) inline v8 load(const float* p) {
    v8 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

__attribute__((always_inline)) inline float hsum(v8 v) {
    float s = 0.0f;
    for (int i = 0; i < 8; ++i) s += v[i];
    return s;
}

// 2 query rows x 4 base rows per tile: eight accumulators stay in registers.
template <size_t QR, size_t XR>
__attribute__((always_inline)) inline void tile(const float* q, const float* x, size_t d, float* c, size_t ldc) {
    v8 acc[QR][XR] = {};
    const size_t d8 = d & ~size_t{7};
    for (size_t t = 0; t < d8; t += 8) {
        v8 qv[QR];
        for (size_t i = 0; i < QR; ++i) qv[i] = load(q + i * d + t);
        for (size_t j = 0; j < XR; ++j) {
            const v8 xv = load(x + j * d + t);
            for (size_t i = 0; i < QR; ++i) acc[i][j] += qv[i] * xv;
        }
    }
    for (size_t i = 0; i < QR; ++i) {
        for (size_t j = 0; j < XR; ++j) {
            float s = hsum(acc[i][j]);
            for (size_t t = d8; t < d; ++t) s += q[i * d + t] * x[j * d + t];
            c[i * ldc + j] = s;
        }
    }
}

}  // namespace

__attribute__((target_clones("avx2", "default")))
void dot_block(const float* q, size_t qn, const float* x, size_t xn, size_t d, float* c, size_t ldc) {
    size_t i = 0;
    for (; i + 2 <= qn; i += 2) {
        size_t j = 0;
        for (; j + 4 <= xn; j += 4) tile<2, 4>(q + i * d, x + j * d, d, c + i * ldc + j, ldc);
        for (; j < xn; ++j) tile<2, 1>(q + i * d, x + j * d, d, c + i * ldc + j, ldc);
    }
    for (; i < qn; ++i) {
        size_t j = 0;
        for (; j + 8 <= xn; j += 8) tile<1, 8>(q + i * d, x + j * d, d, c + i * ldc + j, ldc);
        for (; j + 4 <= xn; j += 4) tile<1, 4>(q + i * d, x + j * d, d, c + i * ldc + j, ldc);
        for (; j < xn; ++j) tile<1, 1>(q + i * d, x + j * d, d, c + i * ldc + j, ldc);
    }
}

}  // namespace tavren::ann
