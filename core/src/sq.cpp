#include "sq.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "distance.hpp"
#include "error.hpp"
#include "numeric.hpp"
#include "sq_kernels_avx2.hpp"

namespace tavren::sq {

ScalarQuantizer::ScalarQuantizer(size_t dimension)
    : mins_(dimension, 0.0f), maxs_(dimension, 0.0f), dimension_(dimension) {}

ScalarQuantizer ScalarQuantizer::with_dimension_bounds(size_t dimension, std::vector<float> mins,
                                                       std::vector<float> maxs) {
    assert_eq(mins.size(), dimension, "scalar quantizer mins length must equal the dimension");
    assert_eq(maxs.size(), dimension, "scalar quantizer maxs length must equal the dimension");
    ScalarQuantizer q;
    q.mins_ = std::move(mins);
    q.maxs_ = std::move(maxs);
    q.dimension_ = dimension;
    return q;
}

namespace {

// The row of `data` at position r, bounds-checked.
std::span<const float> row_at(std::span<const float> data, size_t r, size_t d) {
    const std::optional<uint64_t> begin = checked_mul(r, d);
    const std::optional<uint64_t> end = begin ? checked_add(*begin, d) : std::nullopt;
    if (!end) panic("row position {} overflows usize", r);
    check_len(*end, data.size());
    return data.subspan(static_cast<size_t>(*begin), d);
}

}  // namespace

ScalarQuantizer ScalarQuantizer::train_residual_rows(std::span<const float> data, std::span<const size_t> rows,
                                                     std::span<const float> centroid) {
    const size_t d = centroid.size();
    std::vector<float> mins(d, std::numeric_limits<float>::infinity());
    std::vector<float> maxs(d, -std::numeric_limits<float>::infinity());
    for (size_t r : rows) update_bounds_batch(row_at(data, r, d), 1, d, mins, maxs);
    // Subtracting one value is monotonic, so these are the residual bounds exactly.
    for (size_t j = 0; j < d; ++j) {
        mins[j] -= centroid[j];
        maxs[j] -= centroid[j];
    }
    return with_dimension_bounds(d, std::move(mins), std::move(maxs));
}

uint8_t encode_value_scalar(float x, float c, float min, float max) noexcept {
    if (!(min < max)) return 0;
    float v = (((x - c) - min) * 255.0f) / (max - min);
    // NaN passes both tests and becomes 0 in the saturating cast.
    if (v < 0.0f) v = 0.0f;
    if (v > 255.0f) v = 255.0f;
    return saturating_cast<uint8_t>(std::round(v));  // halves away from zero
}

void ScalarQuantizer::encode_residual_rows(std::span<const float> data, std::span<const size_t> rows,
                                           std::span<const float> centroid, std::span<uint8_t> out) const {
    const size_t d = dimension_;
    TD_ASSERT(d >= 1, "scalar quantizer dimension must be at least 1");
    assert_eq(centroid.size(), d, "centroid length must equal the quantizer dimension");
    assert_eq(mins_.size(), d, "scalar quantizer mins length must equal the dimension");
    assert_eq(maxs_.size(), d, "scalar quantizer maxs length must equal the dimension");
    const std::optional<uint64_t> code_bytes = checked_mul(d, rows.size());
    TD_ASSERT(code_bytes && *code_bytes == out.size(), "code buffer length {} does not match {} rows of {} bytes",
              out.size(), rows.size(), d);

    std::vector<float> scales(d);
    for (size_t j = 0; j < d; ++j) scales[j] = mins_[j] < maxs_[j] ? 255.0f / (maxs_[j] - mins_[j]) : 0.0f;
    const bool vector_path = distance::avx2_enabled();
    uint8_t* dst = out.data();
    for (size_t r : rows) {
        const float* x = row_at(data, r, d).data();
        size_t j = 0;
        if (vector_path) j = detail::encode_residual_avx2(x, centroid.data(), mins_.data(), scales.data(), dst, d);
        for (; j < d; ++j) dst[j] = encode_value_scalar(x[j], centroid[j], mins_[j], maxs_[j]);
        dst += d;
    }
}

void ScalarQuantizer::decode_row(std::span<const uint8_t> codes, std::span<const float> centroid,
                                 std::span<float> out) const {
    const size_t d = dimension_;
    assert_eq(codes.size(), d, "code row length must equal the quantizer dimension");
    assert_eq(centroid.size(), d, "centroid length must equal the quantizer dimension");
    assert_eq(out.size(), d, "output length must equal the quantizer dimension");
    for (size_t j = 0; j < d; ++j) {
        const float step = (maxs_[j] - mins_[j]) * kInv255;
        out[j] = (centroid[j] + mins_[j]) + static_cast<float>(codes[j]) * step;
    }
}

void update_bounds_batch(std::span<const float> values, size_t rows, size_t dimension, std::span<float> mins,
                         std::span<float> maxs) {
    const std::optional<uint64_t> needed = checked_mul(rows, dimension);
    if (!needed) panic("bounds batch shape overflows usize");
    check_len(*needed, values.size());
    assert_eq(mins.size(), dimension, "bounds length must equal the dimension");
    assert_eq(maxs.size(), dimension, "bounds length must equal the dimension");
    if (dimension >= 8 && distance::avx2_enabled()) {
        detail::update_bounds_batch_avx2(values.data(), rows, dimension, mins.data(), maxs.data());
        return;
    }
    for (size_t r = 0; r < rows; ++r) {
        const float* x = values.data() + r * dimension;
        for (size_t j = 0; j < dimension; ++j) {
            mins[j] = mins[j] < x[j] ? mins[j] : x[j];
            maxs[j] = maxs[j] > x[j] ? maxs[j] : x[j];
        }
    }
}

}  // namespace tavren::sq
