// Small numeric helpers that keep float and integer conversions defined.
//
// C++ leaves float-to-integer casts of NaN or out-of-range values undefined and
// signed overflow undefined; the index formats and tuning rules need the
// saturating, checked and wrapping forms instead. Use these everywhere.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>

namespace tavren {

// Float to integer with saturation: NaN -> 0, below the range -> min, above -> max,
// otherwise truncation towards zero.
template <class I, class F>
constexpr I saturating_cast(F value) noexcept {
    static_assert(std::is_integral_v<I> && std::is_floating_point_v<F>);
    if (value != value) return 0;
    // Compare in long double so that the bounds are represented exactly enough:
    // 2^63 and 2^64 are exact in every floating type here.
    constexpr long double lo = static_cast<long double>(std::numeric_limits<I>::min());
    constexpr long double hi_excl = static_cast<long double>(std::numeric_limits<I>::max()) + 1.0L;
    long double v = static_cast<long double>(value);
    if (v <= lo) return std::numeric_limits<I>::min();
    if (v >= hi_excl) return std::numeric_limits<I>::max();
    return static_cast<I>(v);
}

// The IEEE 754 totalOrder key of an f32: compare keys as signed integers.
// -NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN.
constexpr int32_t total_order_key(float f) noexcept {
    int32_t bits = std::bit_cast<int32_t>(f);
    return bits ^ static_cast<int32_t>(static_cast<uint32_t>(bits >> 31) >> 1);
}
constexpr bool total_order_less(float a, float b) noexcept { return total_order_key(a) < total_order_key(b); }

// Checked u64 arithmetic: nullopt on overflow.
constexpr std::optional<uint64_t> checked_mul(uint64_t a, uint64_t b) noexcept {
    uint64_t r;
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}
constexpr std::optional<uint64_t> checked_add(uint64_t a, uint64_t b) noexcept {
    uint64_t r;
    if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
    return r;
}
constexpr std::optional<int64_t> checked_add_i64(int64_t a, int64_t b) noexcept {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
    return r;
}
constexpr uint64_t saturating_add(uint64_t a, uint64_t b) noexcept {
    uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? std::numeric_limits<uint64_t>::max() : r;
}
constexpr uint64_t saturating_sub(uint64_t a, uint64_t b) noexcept { return a > b ? a - b : 0; }
constexpr uint64_t saturating_mul(uint64_t a, uint64_t b) noexcept {
    uint64_t r;
    return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<uint64_t>::max() : r;
}
// Ceiling division; `b` must not be 0.
constexpr uint64_t div_ceil(uint64_t a, uint64_t b) noexcept { return a / b + (a % b != 0 ? 1 : 0); }

// The largest finite f32 (3.4028235e38): padding distance of missing results.
inline constexpr float kF32Max = std::numeric_limits<float>::max();

}  // namespace tavren
