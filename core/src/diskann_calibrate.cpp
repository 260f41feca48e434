// Search-width calibration of a DiskANN reader: the sample batch at three
// list sizes, and the stability measure that picks the smallest size whose
// results hardly change when the list is doubled.
#include <algorithm>
#include <cmath>
#include <span>
#include <unordered_map>
#include <vector>

#include "diskann_batch.hpp"
#include "diskann_io.hpp"
#include "error.hpp"
#include "numeric.hpp"

namespace tavren::diskann_search {

float topk_result_stability(std::span<const int64_t> ids_a, std::span<const float> distances_a,
                            std::span<const int64_t> ids_b, std::span<const float> distances_b, size_t k) {
    const size_t len = ids_a.size();
    if (distances_a.size() != len || ids_b.size() != len || distances_b.size() != len || k == 0) return 0.0f;
    if (len % k != 0) return 0.0f;
    if (len == 0) return 1.0f;
    // Padding is exactly f32::MAX; a NaN distance is a (strange) valid entry.
    const auto valid = [](float distance) { return distance != kF32Max; };
    uint64_t total = 0;
    uint64_t matches = 0;
    std::unordered_map<int64_t, uint64_t> occurrences;
    for (size_t at = 0; at < len; at += k) {
        occurrences.clear();
        bool b_has_valid = false;
        for (size_t i = at; i < at + k; ++i) {
            if (valid(distances_b[i])) {
                ++occurrences[ids_b[i]];
                b_has_valid = true;
            }
        }
        for (size_t i = at; i < at + k; ++i) {
            if (!valid(distances_a[i])) continue;
            ++total;
            if (!b_has_valid) continue;
            const auto it = occurrences.find(ids_a[i]);
            if (it != occurrences.end() && it->second > 0) {
                --it->second;
                ++matches;
            }
        }
    }
    if (total == 0) return 1.0f;
    return static_cast<float>(matches) / static_cast<float>(total);
}

}  // namespace tavren::diskann_search

namespace tavren::diskann_io {

uint64_t DiskAnnIndexReader::calibrate_l_search(std::span<const float> queries, uint64_t top_k) {
    const uint64_t d = header_.dimension;
    if (queries.empty() || d == 0 || queries.size() % d != 0) {
        invalid_input("calibration queries must contain one or more complete vectors");
    }
    if (top_k == 0) invalid_input("calibration top_k must be greater than 0");
    for (const float v : queries) {
        if (!std::isfinite(v)) invalid_input("calibration query values must be finite");
    }
    optimize_for_search();
    // Calibration is not a search of the host's: its record is put back. A
    // failing batch returns at once, with that batch's record and the
    // previous calibrated size.
    const DiskAnnSearchStats saved = stats_;
    const uint64_t sizes[3] = {std::max<uint64_t>(top_k, 100), std::max<uint64_t>(top_k, 200),
                               std::max<uint64_t>(top_k, 400)};
    std::vector<int64_t> ids[3];
    std::vector<float> distances[3];
    for (size_t i = 0; i < 3; ++i) search_batch(queries, top_k, sizes[i], ids[i], distances[i]);
    stats_ = saved;

    const size_t k = static_cast<size_t>(top_k);
    const auto stable = [&](size_t a, size_t b) {
        return diskann_search::topk_result_stability(ids[a], distances[a], ids[b], distances[b], k) >=
               diskann_search::kCalibrationStabilityThreshold;
    };
    const uint64_t chosen = stable(0, 1) ? sizes[0] : stable(1, 2) ? sizes[1] : sizes[2];
    calibrated_l_search_ = chosen;
    for (DiskAnnIndexReader& worker : batch_workers_) worker.calibrated_l_search_ = chosen;
    return chosen;
}

}  // namespace tavren::diskann_io
