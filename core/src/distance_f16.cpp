// binary16 conversions: the scalar forms and their F16C twins. The F16C
// kernels carry target("avx,f16c") and run only after f16c_enabled() said yes.
#include <atomic>
#include <bit>
#include <cstring>

#include <cpuid.h>
#include <immintrin.h>

#include "avx2_sum.hpp"
#include "distance.hpp"
#include "error.hpp"

namespace tavren::distance {
namespace {

// 0 = not yet detected, 1 = no F16C, 2 = F16C usable.
std::atomic<uint8_t> g_f16c_state{0};

bool detect_f16c() noexcept {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_max(0, nullptr) < 1) return false;
    __cpuid_count(1, 0, eax, ebx, ecx, edx);
    constexpr unsigned kOsxsave = 1u << 27;
    constexpr unsigned kAvx = 1u << 28;
    constexpr unsigned kF16c = 1u << 29;
    if ((ecx & kOsxsave) == 0 || (ecx & kAvx) == 0 || (ecx & kF16c) == 0) return false;
    // The VEX-encoded conversions need the OS to save the vector state.
    unsigned xcr0_lo = 0, xcr0_hi = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
    return (xcr0_lo & 0x6u) == 0x6u;
}

__attribute__((target("avx,f16c"))) void f32_to_f16_f16c(const float* in, uint16_t* out, size_t n) noexcept {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(in + i), _MM_FROUND_TO_NEAREST_INT);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), h);
    }
    for (; i < n; ++i) {
        const __m128i h = _mm_cvtps_ph(_mm_set_ss(in[i]), _MM_FROUND_TO_NEAREST_INT);
        out[i] = static_cast<uint16_t>(_mm_extract_epi16(h, 0));
    }
}

__attribute__((target("avx,f16c"))) void f16_to_f32_f16c(const uint16_t* in, float* out, size_t n) noexcept {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        _mm256_storeu_ps(out + i, _mm256_cvtph_ps(h));
    }
    for (; i < n; ++i) out[i] = _mm_cvtss_f32(_mm_cvtph_ps(_mm_cvtsi32_si128(in[i])));
}

// fvec_l2sqr_avx2's lanes and order over values converted on the fly: one
// 8-lane accumulator of (a - x)^2, the lanes reduced by block_sum, then the
// tail in index order.
__attribute__((target("avx2,f16c"))) float l2sqr_f16_record_avx2(const float* a, const uint8_t* v, size_t n,
                                                                 bool* all_finite) noexcept {
    // A binary16 value is not finite when its exponent bits are all ones.
    const __m128i exp_mask = _mm_set1_epi16(0x7C00);
    __m128i bad = _mm_setzero_si128();
    __m256 acc = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + 2 * i));
        bad = _mm_or_si128(bad, _mm_cmpeq_epi16(_mm_and_si128(h, exp_mask), exp_mask));
        const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_cvtph_ps(h));
        acc = _mm256_add_ps(acc, _mm256_mul_ps(d, d));
    }
    bool finite = _mm_testz_si128(bad, bad) != 0;
    float s = avx2_sum::block_sum(acc);
    for (; i < n; ++i) {
        uint16_t bits;
        std::memcpy(&bits, v + 2 * i, 2);
        if ((bits & 0x7C00u) == 0x7C00u) finite = false;
        const float d = a[i] - _mm_cvtss_f32(_mm_cvtph_ps(_mm_cvtsi32_si128(bits)));
        s += d * d;
    }
    *all_finite = finite;
    return s;
}

}  // namespace

RecordDistance fvec_l2sqr_f16_record(FloatSpan query, std::span<const uint8_t> record) {
    const size_t n = query.size();
    assert_eq(record.size(), 2 * n, "fvec_l2sqr_f16_record record must hold 2 bytes per query value");
    TD_ASSERT(n >= 8 && avx2_enabled() && f16c_enabled(), "fvec_l2sqr_f16_record needs 8 values, AVX2 and F16C");
    RecordDistance out;
    out.distance = l2sqr_f16_record_avx2(query.data(), record.data(), n, &out.finite);
    return out;
}

bool f16c_available() noexcept {
    uint8_t state = g_f16c_state.load(std::memory_order_relaxed);
    if (state == 0) {
        state = detect_f16c() ? 2 : 1;
        g_f16c_state.store(state, std::memory_order_relaxed);
    }
    return state == 2;
}

uint16_t f32_to_f16_bits(float value) noexcept {
    const uint32_t x = std::bit_cast<uint32_t>(value);
    const uint32_t sign = (x >> 16) & 0x8000u;
    const uint32_t exp = (x >> 23) & 0xFFu;
    uint32_t man = x & 0x7FFFFFu;
    if (exp == 0xFF) {
        if (man == 0) return static_cast<uint16_t>(sign | 0x7C00u);
        return static_cast<uint16_t>(sign | 0x7C00u | 0x0200u | (man >> 13));
    }
    const int32_t e = static_cast<int32_t>(exp) - 127 + 15;
    if (e >= 0x1F) return static_cast<uint16_t>(sign | 0x7C00u);
    if (e <= 0) {
        // Subnormal result (or zero): below half the smallest subnormal it is 0.
        if (e < -10) return static_cast<uint16_t>(sign);
        man |= 0x800000u;
        const uint32_t shift = static_cast<uint32_t>(14 - e);
        uint32_t half_man = man >> shift;
        const uint32_t round_bit = 1u << (shift - 1);
        // Round up above the halfway point, and at it when the kept part is odd.
        if ((man & round_bit) != 0 && (man & (3 * round_bit - 1)) != 0) ++half_man;
        return static_cast<uint16_t>(sign | half_man);
    }
    uint32_t half = sign | (static_cast<uint32_t>(e) << 10) | (man >> 13);
    constexpr uint32_t kRoundBit = 0x1000u;
    // A carry out of the mantissa moves into the exponent, up to infinity.
    if ((man & kRoundBit) != 0 && (man & (3 * kRoundBit - 1)) != 0) ++half;
    return static_cast<uint16_t>(half);
}

float f16_bits_to_f32(uint16_t bits) noexcept {
    const uint32_t sign = static_cast<uint32_t>(bits & 0x8000u) << 16;
    const uint32_t exp = bits & 0x7C00u;
    uint32_t man = bits & 0x03FFu;
    if (exp == 0x7C00u) {
        if (man == 0) return std::bit_cast<float>(sign | 0x7F800000u);
        return std::bit_cast<float>(sign | 0x7FC00000u | (man << 13));
    }
    if (exp == 0) {
        if (man == 0) return std::bit_cast<float>(sign);
        int32_t e = -14;
        while ((man & 0x0400u) == 0) {
            man <<= 1;
            --e;
        }
        man &= 0x03FFu;
        return std::bit_cast<float>(sign | (static_cast<uint32_t>(e + 127) << 23) | (man << 13));
    }
    const uint32_t e = (exp >> 10) + (127 - 15);
    return std::bit_cast<float>(sign | (e << 23) | (man << 13));
}

void f32_to_f16(FloatSpan in, std::span<uint16_t> out) {
    assert_eq(in.size(), out.size(), "f32_to_f16 inputs must have the same length");
    if (f16c_enabled()) {
        f32_to_f16_f16c(in.data(), out.data(), in.size());
        return;
    }
    for (size_t i = 0; i < in.size(); ++i) out[i] = f32_to_f16_bits(in[i]);
}

void f16_to_f32(std::span<const uint16_t> in, std::span<float> out) {
    assert_eq(in.size(), out.size(), "f16_to_f32 inputs must have the same length");
    if (f16c_enabled()) {
        f16_to_f32_f16c(in.data(), out.data(), in.size());
        return;
    }
    for (size_t i = 0; i < in.size(); ++i) out[i] = f16_bits_to_f32(in[i]);
}

}  // namespace tavren::distance
