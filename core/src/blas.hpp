// The single-precision matrix product of the k-means, probe-selection, PQ and batch kernels.
#pragma once

#include <cstddef>
#include <span>

namespace tavren::blas {

// c := alpha * a * b^T + beta * c, row-major: a is m x k, b is n x k, c is m x n.
// Runs on the calling thread; any number of threads may call it at once.
// Element (i, j) is alpha * dot + beta * c[i][j] (two roundings, no fused
// multiply-add), where dot is the dot product of row i of a and row j of b in
// the 8-lane order of distance::fvec_inner_product's AVX2 kernel, on every
// processor. It depends on k and the two rows only, so splitting a product
// into calls of fewer rows or columns changes no bit. When beta is 0 the
// previous contents of c are not read (NaN or garbage in c does not reach the
// result). Only the first m*k, n*k and m*n values are used. Shape faults are
// assertions; nothing else fails, and no allocation is made.
void sgemm_a_bt(size_t m, size_t n, size_t k, float alpha, std::span<const float> a,
                std::span<const float> b, float beta, std::span<float> c);

// sgemm_a_bt with the rows of a (and c) split over the pool; the same bits as
// the single-threaded call, whatever the pool size. Small products run on the
// calling thread. Must not be called while the caller holds a lock that a
// pool task may need.
void sgemm_a_bt_parallel(size_t m, size_t n, size_t k, float alpha, std::span<const float> a,
                         std::span<const float> b, float beta, std::span<float> c);

}  // namespace tavren::blas
