// Scoring kernels of the IVF-PQ list scans: rows of PQ codes in the
// transposed layout (code byte k of row r at k * rows + r) scored against a
// distance table of m x ksub floats (entry j * ksub + c).
//
// Every kernel has an AVX2 body and a scalar twin that add in the same order
// per row, so both give the same bits; the AVX2 body is used when
// distance::avx2_enabled() (the test switch forces the twin). No kernel
// allocates, and no FMA is used. Preconditions (buffer lengths) are the
// caller's: the scan module checks them once per list, not per row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tavren::ivfpq_scan_kernels {

// 8-bit codes, every row of a run: out[r] = (table[codes[r]] + coarse), then
// + table[j * 256 + codes[j * rows + r]] for j = 1 .. m-1 in order.
void scan8_all(const float* table, const uint8_t* codes, size_t rows, size_t m, float coarse, float* out) noexcept;
// 8-bit codes, one row, the same additions as scan8_all.
float scan8_row(const float* table, const uint8_t* codes, size_t rows, size_t r, size_t m, float coarse) noexcept;

// 4-bit codes (ksub 16, code_bytes = m / 2), rows [first, end) scored
// exactly: s = 0, then for each code byte k, s = s + table[32k + low nibble],
// s = s + table[32k + 16 + high nibble]; out[r] = s.
void scan4_exact(const float* table, const uint8_t* codes, size_t rows, size_t first, size_t end, size_t code_bytes,
                 float* out) noexcept;

// The 8-bit quantised form of a 4-bit table: per sub-quantizer j its
// smallest entry min_j, one width w (the largest max_j - min_j over the
// sub-quantizers) and entry lut[i] = trunc((table[i] - min_j) * 255 / w)
// clamped to [0, 255]. A row's estimate is sum(lut entries) * (w / 255) +
// sum_j min_j. NaN entries are ignored for the range and quantise to 0; a
// width that is not a positive finite number quantises every entry to 0, so
// every row scores sum_j min_j.
struct QuantizedTable {
    float step = 0.0f;  // w / 255, or 0
    float base = 0.0f;  // sum of the minima, sub-quantizers in order
};
// `lut` receives m * 16 bytes.
QuantizedTable quantize_table4(std::span<const float> table, size_t m, std::span<uint8_t> lut) noexcept;

// 4-bit codes, rows [first, end) from the quantised table: out[r] =
// float(S) * step + base, S the sum of the row's lut entries. The sum is held
// in 16 bits while m * 255 fits (m <= 257), else in 32 bits.
void scan4_fast(const uint8_t* lut, const uint8_t* codes, size_t rows, size_t first, size_t end, size_t code_bytes,
                QuantizedTable q, float* out) noexcept;

// Element-wise out[i] = a[i] + (-2) * b[i] (the precomputed-term table of a
// pair), a multiply then an add.
void sub_twice(const float* a, const float* b, size_t n, float* out) noexcept;

// out[c] = sum over t in [0, w) of x[t] * yt[t * ksub + c] for c in [0, ksub)
// (yt: one sub-quantizer's codewords transposed, dimension-major), in f64
// (each product exact), the sum running over t in ascending order (the split
// tables of the batch search).
void dot_rows_f64(const float* x, const float* yt, size_t w, size_t ksub, double* out) noexcept;
// out[c] = f32((stable[c] + r) - (eph[c] + eph[c])) when that is above 0,
// else 0 (NaN too), for c in [0, n).
void combine_rows_f64(const double* stable, const double* eph, double r, size_t n, float* out) noexcept;

}  // namespace tavren::ivfpq_scan_kernels
