// Blocks of dot products for the harness's exact search.
//
// The harness computes these itself rather than through the serial OpenBLAS:
// that build keeps its work buffers in an unlocked table, so concurrent
// sgemm / sgemv calls from several threads can share a buffer and return
// wrong products. This kernel keeps no state and may run on any number of
// threads at once.
#pragma once

#include <cstddef>

namespace tavren::ann {

// c[i * ldc + j] = dot(q row i, x row j) for i < qn, j < xn; rows of d
// floats, q and x row-major with no padding. Single precision, summed in
// eight interleaved lanes (the exact search re-ranks in double afterwards).
void dot_block(const float* q, size_t qn, const float* x, size_t xn, size_t d, float* c, size_t ldc);

}  // namespace tavren::ann
