// The AVX2 tile kernel of the matrix product (private to the blas module).
//
// Runs only after cpu::avx2_enabled() said yes. Every element of the
// product is the dot product of one row of a and one row of b in the 8-lane
// order of the distance kernels: lane j adds a[p] * b[p] for p = j mod 8 over
// the full blocks of eight, the lanes are reduced as
// ((A0 + A4) + (A2 + A6)) + ((A1 + A5) + (A3 + A7)), and the k mod 8 tail
// products are added in order. The order depends on k only, never on the
// shape of the call or on how rows are split between calls.
#pragma once

#include <cstddef>

namespace tavren::blas::detail {

// c[i * ldc + j] := alpha * dot(a row i, b row j) (+ beta * c[i * ldc + j]
// when beta is not 0; c is not read otherwise) for i < m, j < n. Rows of a
// and b hold k values at strides lda and ldb. No allocation.
void gemm_a_bt_avx2(size_t m, size_t n, size_t k, float alpha, const float* a, size_t lda, const float* b,
                    size_t ldb, float beta, float* c, size_t ldc) noexcept;

}  // namespace tavren::blas::detail
