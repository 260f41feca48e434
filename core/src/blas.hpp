// The single-precision matrix product, over the serial OpenBLAS build.
#pragma once

#include <cstddef>
#include <span>

namespace tavren::blas {

// c := alpha * a * b^T + beta * c, row-major: a is m x k, b is n x k, c is m x n.
// Runs on the calling thread. When beta is 0 the previous contents of c are
// not read (NaN or garbage in c does not reach the result). Only the first
// m*k, n*k and m*n values are used. Shape faults are assertions.
void sgemm_a_bt(size_t m, size_t n, size_t k, float alpha, std::span<const float> a,
                std::span<const float> b, float beta, std::span<float> c);

}  // namespace tavren::blas
