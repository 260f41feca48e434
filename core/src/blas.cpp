// The matrix product c := alpha * a * b^T + beta * c.
//
// Our own kernel rather than a library call: the serial BLAS builds keep
// their work buffers in process-wide state without locking, so two threads
// inside one at once corrupt each other's results, and pool tasks and host
// threads call this concurrently. A lock around the library would serialise
// every parallel k-means and probe-selection task. This kernel keeps nothing
// between calls, takes 64-bit sizes, and gives every element the same
// summation order whatever the shape of the call.
#include "blas.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "avx2_sum.hpp"
#include "blas_avx2.hpp"
#include "cpu.hpp"
#include "error.hpp"
#include "numeric.hpp"
#include "pool.hpp"

namespace tavren::blas {
namespace {

// The scalar twin of the tile kernel: the same eight lanes per element, the
// same reduction and tail, hence the same bits.
void gemm_a_bt_scalar(size_t m, size_t n, size_t k, float alpha, const float* a, const float* b, float beta,
                      float* c) noexcept {
    const size_t blocks = k / 8 * 8;
    for (size_t i = 0; i < m; ++i) {
        const float* ar = a + i * k;
        for (size_t j = 0; j < n; ++j) {
            const float* bj = b + j * k;
            float lane[8] = {0, 0, 0, 0, 0, 0, 0, 0};
            for (size_t p = 0; p < blocks; p += 8)
                for (size_t t = 0; t < 8; ++t) lane[t] += ar[p + t] * bj[p + t];
            float s = avx2_sum::block_sum(lane);
            for (size_t p = blocks; p < k; ++p) s += ar[p] * bj[p];
            const float prod = alpha * s;
            float& out = c[i * n + j];
            out = beta == 0.0f ? prod : prod + beta * out;
        }
    }
}

}  // namespace

void sgemm_a_bt(size_t m, size_t n, size_t k, float alpha, std::span<const float> a, std::span<const float> b,
                float beta, std::span<float> c) {
    constexpr size_t kIsizeMax = static_cast<size_t>(std::numeric_limits<int64_t>::max());
    if (n > kIsizeMax || k > kIsizeMax) panic("SGEMM dimensions exceed isize");
    auto mk = checked_mul(m, k);
    if (!mk) panic("a shape overflows usize");
    auto nk = checked_mul(n, k);
    if (!nk) panic("b shape overflows usize");
    auto mn = checked_mul(m, n);
    if (!mn) panic("c shape overflows usize");
    if (a.size() < *mk) panic("a is shorter than m * k");
    if (b.size() < *nk) panic("b is shorter than n * k");
    if (c.size() < *mn) panic("c is shorter than m * n");
    if (m == 0 || n == 0) return;

    if (k == 0) {
        // An empty product: c := beta * c, and zeros for beta 0 (c not read).
        float* cp = c.data();
        if (beta == 0.0f) {
            std::fill(cp, cp + *mn, 0.0f);
        } else if (beta != 1.0f) {
            for (size_t i = 0; i < *mn; ++i) cp[i] = beta * cp[i];
        }
        return;
    }
    if (cpu::avx2_enabled()) {
        detail::gemm_a_bt_avx2(m, n, k, alpha, a.data(), k, b.data(), k, beta, c.data(), n);
    } else {
        gemm_a_bt_scalar(m, n, k, alpha, a.data(), b.data(), beta, c.data());
    }
}

void sgemm_a_bt_parallel(size_t m, size_t n, size_t k, float alpha, std::span<const float> a,
                         std::span<const float> b, float beta, std::span<float> c) {
    // Below this many multiply-adds a product is not worth handing out.
    constexpr uint64_t kParallelWork = uint64_t{1} << 22;
    const size_t threads = pool::current_num_threads();
    const uint64_t work = saturating_mul(saturating_mul(m, n), std::max<size_t>(k, 1));
    if (threads <= 1 || m < 2 || work < kParallelWork) {
        sgemm_a_bt(m, n, k, alpha, a, b, beta, c);
        return;
    }
    // Shapes are checked here once so that the row blocks can be sliced.
    auto mk = checked_mul(m, k);
    auto mn = checked_mul(m, n);
    if (!mk) panic("a shape overflows usize");
    if (!mn) panic("c shape overflows usize");
    if (a.size() < *mk) panic("a is shorter than m * k");
    if (c.size() < *mn) panic("c is shorter than m * n");
    // Every element depends on its two rows and k only, so any split of the
    // rows gives the bits of the single call.
    const size_t grain = std::max<size_t>(2, div_ceil(m, 4 * threads));
    pool::parallel_for(0, m, grain, [&](size_t lo, size_t hi) {
        sgemm_a_bt(hi - lo, n, k, alpha, a.subspan(lo * k, (hi - lo) * k), b, beta,
                   c.subspan(lo * n, (hi - lo) * n));
    });
}

}  // namespace tavren::blas
