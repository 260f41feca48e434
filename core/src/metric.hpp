// The metric of an index: one type, and its codes as kept in every index,
// option set and file header (a u32). Distances: l2 is the squared Euclidean
// distance, inner product the negated dot product, cosine 1 - the cosine
// similarity (rows stored normalised).
#pragma once

#include <cstdint>

namespace tavren {

enum class MetricType : uint32_t { L2 = 0, InnerProduct = 1, Cosine = 2 };

// The codes as u32, for code that holds the header's field as it is.
inline constexpr uint32_t kMetricL2 = static_cast<uint32_t>(MetricType::L2);
inline constexpr uint32_t kMetricInnerProduct = static_cast<uint32_t>(MetricType::InnerProduct);
inline constexpr uint32_t kMetricCosine = static_cast<uint32_t>(MetricType::Cosine);

}  // namespace tavren
