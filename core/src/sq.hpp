// The 8-bit scalar quantizer of IVF-SQ: one [min, max] range per dimension,
// trained over the residuals of vectors to their list centroid, and the
// encoding of a residual into one code byte per dimension.
//
// Everything here is a pure function of its arguments (the quantizer is a
// plain value), so any number of threads may encode with one quantizer at
// once. Preconditions are assertions (AssertionFailure); nothing returns an
// error. The bounds fold and the encoder have AVX2 kernels (sq_kernels_avx2)
// chosen at run time through distance::avx2_enabled(), with scalar twins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tavren::sq {

// 1/255 rounded to f32: the decoding step of one code unit per unit of range.
inline constexpr float kInv255 = 1.0f / 255.0f;

class ScalarQuantizer {
public:
    // `dimension` zero minima and zero maxima.
    explicit ScalarQuantizer(size_t dimension = 0);

    // Takes both arrays; asserts that each holds exactly `dimension` values.
    static ScalarQuantizer with_dimension_bounds(size_t dimension, std::vector<float> mins, std::vector<float> maxs);

    // The bounds of the residuals data[r] - centroid over the rows r of `rows`
    // (positions into the row-major `data`, dimension = centroid.size()): the
    // plain per-dimension minimum and maximum, no margin. An empty `rows`
    // gives +inf minima and -inf maxima. Asserts that every row lies in data.
    static ScalarQuantizer train_residual_rows(std::span<const float> data, std::span<const size_t> rows,
                                               std::span<const float> centroid);

    // Writes dimension() codes per row of `rows` into `out`, row after row in
    // the order of `rows`. Values outside the bounds clamp to 0 or 255; a
    // dimension whose minimum is not below its maximum encodes as 0. Asserts
    // out.size() == dimension() * rows.size(), centroid.size() ==
    // dimension() >= 1 and that every row lies in data.
    void encode_residual_rows(std::span<const float> data, std::span<const size_t> rows,
                              std::span<const float> centroid, std::span<uint8_t> out) const;

    // The reconstruction of one row of codes: (centroid[j] + mins[j]) +
    // code[j] * step[j], step[j] = (maxs[j] - mins[j]) * kInv255. Asserts
    // that codes, centroid and out hold dimension() values.
    void decode_row(std::span<const uint8_t> codes, std::span<const float> centroid, std::span<float> out) const;

    size_t dimension() const noexcept { return dimension_; }
    const std::vector<float>& mins() const noexcept { return mins_; }
    const std::vector<float>& maxs() const noexcept { return maxs_; }

    friend bool operator==(const ScalarQuantizer&, const ScalarQuantizer&) = default;

private:
    std::vector<float> mins_;
    std::vector<float> maxs_;
    size_t dimension_ = 0;
};

// Folds `rows` consecutive rows of `dimension` values into the running
// per-dimension minima and maxima (each of `dimension` values). A value
// replaces a bound only when strictly beyond it, on both paths. Uses the AVX2
// kernel when dimension >= 8 and AVX2 is enabled. Asserts the lengths.
void update_bounds_batch(std::span<const float> values, size_t rows, size_t dimension, std::span<float> mins,
                         std::span<float> maxs);

// The code of one residual value with the scalar formula: 0 when min >= max,
// else round-half-up of clamp(((x - c) - min) * 255 / (max - min), 0, 255).
uint8_t encode_value_scalar(float x, float c, float min, float max) noexcept;

}  // namespace tavren::sq
