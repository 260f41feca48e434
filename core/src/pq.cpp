// Product quantizer: plans, codebook installation, training, encoders,
// decoding and distance tables.
#include "pq.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <optional>

#include "blas.hpp"
#include "distance.hpp"
#include "error.hpp"
#include "numeric.hpp"
#include "pool.hpp"
#include "pq_kernels.hpp"

namespace tavren::pq {
namespace {

// Rows that one task of a blocked encoder holds at most.
constexpr size_t kMaxRowsPerTask = 512;

using distance::expanded_l2;

}  // namespace

size_t checked_size_product(size_t a, size_t b, const char* what) {
    auto r = checked_mul(a, b);
    if (!r) panic("{} overflows usize", what);
    return static_cast<size_t>(*r);
}

// ---- plans ------------------------------------------------------------------

ProductQuantizer ProductQuantizer::with_nbits(size_t d, size_t m, size_t nbits) {
    if (m == 0 || d % m != 0) panic("dimension {} must be divisible by m={}", d, m);
    const size_t dsub = d / m;
    std::vector<size_t> offsets(m + 1);
    for (size_t i = 0; i <= m; ++i) offsets[i] = i * dsub;
    return with_validated_chunk_offsets(d, nbits, std::move(offsets));
}

ProductQuantizer ProductQuantizer::with_nbits_balanced(size_t d, size_t m, size_t nbits) {
    if (d == 0) panic("dimension must be greater than zero");
    if (m == 0 || m > d) panic("m must be in 1..=dimension");
    const size_t base = d / m;
    const size_t rem = d % m;
    std::vector<size_t> offsets(m + 1, 0);
    for (size_t i = 0; i < m; ++i) offsets[i + 1] = offsets[i] + base + (i < rem ? 1 : 0);
    return with_validated_chunk_offsets(d, nbits, std::move(offsets));
}

std::variant<ProductQuantizer, std::string_view> ProductQuantizer::try_with_chunk_offsets(
    size_t d, size_t nbits, std::vector<size_t> chunk_offsets) {
    if (d == 0 || (nbits != 4 && nbits != 8) || chunk_offsets.size() < 2) return std::string_view("invalid PQ shape");
    if (chunk_offsets.front() != 0 || chunk_offsets.back() != d) return std::string_view("invalid PQ chunk bounds");
    for (size_t i = 1; i < chunk_offsets.size(); ++i) {
        if (chunk_offsets[i] <= chunk_offsets[i - 1]) {
            return std::string_view("PQ chunk offsets must be strictly increasing");
        }
    }
    return with_validated_chunk_offsets(d, nbits, std::move(chunk_offsets));
}

ProductQuantizer ProductQuantizer::with_validated_chunk_offsets(size_t d, size_t nbits,
                                                                std::vector<size_t> chunk_offsets) {
    if (nbits != 4 && nbits != 8) panic("nbits must be 4 or 8, got {}", nbits);
    if (chunk_offsets.size() < 2) panic("validated non-empty PQ chunk plan");
    ProductQuantizer pq;
    pq.d_ = d;
    pq.m_ = chunk_offsets.size() - 1;
    pq.nbits_ = nbits;
    pq.ksub_ = size_t{1} << nbits;
    size_t widest = 0;
    for (size_t j = 0; j < pq.m_; ++j) widest = std::max(widest, chunk_offsets[j + 1] - chunk_offsets[j]);
    pq.max_chunk_width_ = widest;
    pq.chunk_offsets_ = std::move(chunk_offsets);
    return pq;
}

// ---- codebook -----------------------------------------------------------------

bool ProductQuantizer::try_set_centroids(std::vector<float> centroids) {
    assert_eq(centroids.size(), checked_size_product(d_, ksub_, "d * ksub"), "PQ centroids must hold d * ksub values");
    std::vector<float> norms;
    try {
        norms.assign(checked_size_product(m_, ksub_, "m * ksub"), 0.0f);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (size_t j = 0; j < m_; ++j) {
        const size_t lo = chunk_offsets_[j];
        const size_t w = chunk_offsets_[j + 1] - lo;
        for (size_t c = 0; c < ksub_; ++c) {
            norms[j * ksub_ + c] = distance::fvec_norm_l2sqr({centroids.data() + lo * ksub_ + c * w, w});
        }
    }
    centroids_finite_ = std::all_of(centroids.begin(), centroids.end(), [](float v) { return std::isfinite(v); });
    centroids_ = std::move(centroids);
    centroid_norms_ = std::move(norms);
    transposed_.reset();
    return true;
}

void ProductQuantizer::set_centroids(std::vector<float> centroids) {
    if (!try_set_centroids(std::move(centroids))) panic("PQ centroid norms allocation failed");
}

std::vector<float> ProductQuantizer::compute_centroid_norms() const {
    if (!centroid_norms_.empty()) return centroid_norms_;
    check_len(checked_size_product(d_, ksub_, "d * ksub"), centroids_.size());
    std::vector<float> norms(checked_size_product(m_, ksub_, "m * ksub"));
    for (size_t j = 0; j < m_; ++j) {
        const size_t lo = chunk_offsets_[j];
        const size_t w = chunk_offsets_[j + 1] - lo;
        for (size_t c = 0; c < ksub_; ++c) {
            norms[j * ksub_ + c] = distance::fvec_norm_l2sqr({centroids_.data() + lo * ksub_ + c * w, w});
        }
    }
    return norms;
}

bool ProductQuantizer::has_valid_layout() const {
    if (d_ == 0 || (nbits_ != 4 && nbits_ != 8)) return false;
    if (chunk_offsets_.size() < 2 || chunk_offsets_.front() != 0 || chunk_offsets_.back() != d_) return false;
    size_t widest = 0;
    for (size_t j = 0; j + 1 < chunk_offsets_.size(); ++j) {
        if (chunk_offsets_[j + 1] <= chunk_offsets_[j]) return false;
        widest = std::max(widest, chunk_offsets_[j + 1] - chunk_offsets_[j]);
    }
    if (m_ != chunk_offsets_.size() - 1 || max_chunk_width_ != widest || ksub_ != (size_t{1} << nbits_)) return false;
    auto cells = checked_mul(ksub_, d_);
    return cells && centroids_.size() == *cells;
}

// ---- training -------------------------------------------------------------------

void ProductQuantizer::train_hot_start_with_parallelism(std::span<const float> data, size_t n,
                                                        const kmeans::KMeansConfig& config, bool hot_start,
                                                        size_t max_threads) {
    check_len(checked_size_product(n, d_, "n * d"), data.size());
    // A hot start on an untrained quantizer is a cold start.
    std::optional<std::vector<float>> initial;
    if (hot_start && !centroids_.empty()) initial = centroids_;

    std::vector<std::vector<float>> results(m_);
    pool::run_with_thread_cap(max_threads, [&] {
        pool::parallel_for_each_index(m_, [&](size_t j) {
            const size_t lo = chunk_offsets_[j];
            const size_t w = chunk_offsets_[j + 1] - lo;
            std::vector<float> sub(checked_size_product(n, w, "n * chunk width"));
            for (size_t i = 0; i < n; ++i) {
                std::copy_n(data.data() + i * d_ + lo, w, sub.data() + i * w);
            }
            std::optional<std::span<const float>> init;
            if (initial) init = std::span<const float>(*initial).subspan(lo * ksub_, w * ksub_);
            results[j] = kmeans::kmeans_train_with_init(config, sub, n, w, ksub_, init);
        });
    });

    std::vector<float> codebook(checked_size_product(d_, ksub_, "d * ksub"), 0.0f);
    for (size_t j = 0; j < m_; ++j) {
        const size_t lo = chunk_offsets_[j];
        const size_t w = chunk_offsets_[j + 1] - lo;
        assert_eq(results[j].size(), w * ksub_, "PQ chunk k-means must return ksub * width values");
        std::copy(results[j].begin(), results[j].end(), codebook.begin() + static_cast<std::ptrdiff_t>(lo * ksub_));
    }
    set_centroids(std::move(codebook));
}

// ---- encoding and decoding -----------------------------------------------------------

void ProductQuantizer::check_encode_shapes(std::span<const float> data, size_t n, std::span<uint8_t> codes) const {
    check_len(checked_size_product(n, d_, "n * d"), data.size());
    check_len(checked_size_product(n, code_size(), "n * code size"), codes.size());
}

size_t ProductQuantizer::code_value(std::span<const uint8_t> code, size_t j) const {
    if (nbits_ == 8) {
        check_index(j, code.size());
        return code[j];
    }
    check_index(j / 2, code.size());
    const uint8_t byte = code[j / 2];
    return j % 2 == 0 ? (byte & 0x0F) : (byte >> 4);
}

void ProductQuantizer::put_code_value(std::span<uint8_t> code, size_t j, size_t value) const {
    if (nbits_ == 8) {
        code[j] = static_cast<uint8_t>(value);
    } else if (j % 2 == 0) {
        code[j / 2] = static_cast<uint8_t>(value & 0x0F);  // the high nibble follows, or stays 0
    } else {
        code[j / 2] = static_cast<uint8_t>(code[j / 2] | ((value & 0x0F) << 4));
    }
}

void ProductQuantizer::encode_with_distances(std::span<const float> row, std::span<uint8_t> code,
                                             std::span<float> distances) const {
    check_len(d_, row.size());
    check_len(code_size(), code.size());
    check_len(ksub_, distances.size());
    for (size_t j = 0; j < m_; ++j) {
        const size_t lo = chunk_offsets_[j];
        const size_t w = chunk_offsets_[j + 1] - lo;
        if (w < 4 || ksub_ < 8) {
            compute_sub_l2_distances(row, j, distances);
            put_code_value(code, j, pq_kernels::nearest_codeword(distances.first(ksub_)));
            continue;
        }
        // The scores of compute_sub_l2_distances (the same dot products, norms
        // and clamp) without materialising them.
        const TransposedCodebook& t = transposed_codebook();
        check_len((j + 1) * ksub_, centroid_norms_.size());
        float best = 0.0f;
        const size_t c = pq_kernels::nearest_expanded_l2(
            row.subspan(lo, w), std::span<const float>(t.values).subspan(j * t.stride, w * ksub_), ksub_, ksub_,
            std::span<const float>(centroid_norms_).subspan(j * ksub_, ksub_), distance::fvec_norm_l2sqr(row.subspan(lo, w)),
            true, best);
        put_code_value(code, j, c);
    }
}

void ProductQuantizer::encode_batch(std::span<const float> data, size_t n, std::span<uint8_t> codes) const {
    check_encode_shapes(data, n, codes);
    const size_t cs = code_size();
    pool::parallel_for(0, n, 16, [&](size_t lo, size_t hi) {
        std::vector<float> distances(ksub_);
        for (size_t i = lo; i < hi; ++i) {
            encode_with_distances(data.subspan(i * d_, d_), codes.subspan(i * cs, cs), distances);
        }
    });
}

EncoderPath ProductQuantizer::blocked_encoder_path() const {
    bool wide = true;
    for (size_t j = 0; j < m_; ++j) wide = wide && chunk_offsets_[j + 1] - chunk_offsets_[j] >= 4;
    if (nbits_ != 8 || ksub_ != 256 || !wide) return EncoderPath::Canonical;
    if (distance::avx2_enabled()) return EncoderPath::Transposed;
    return centroids_finite_ ? EncoderPath::Sgemm : EncoderPath::Canonical;
}

void ProductQuantizer::encode_batch_blocked(std::span<const float> data, size_t n, std::span<uint8_t> codes) const {
    switch (blocked_encoder_path()) {
        case EncoderPath::Transposed:
            encode_batch_8bit_transposed(data, n, codes);
            return;
        case EncoderPath::Sgemm:
            encode_batch_8bit_sgemm(data, n, codes);
            return;
        case EncoderPath::Canonical:
            encode_batch(data, n, codes);
            return;
    }
}

size_t ProductQuantizer::rows_per_task(size_t n) const {
    const size_t threads = std::max<size_t>(pool::current_num_threads(), 1);
    return std::clamp<size_t>(static_cast<size_t>(div_ceil(n, threads)), 1, kMaxRowsPerTask);
}

TransposedCodebook ProductQuantizer::build_transposed_codebook() const {
    auto stride = checked_mul(max_chunk_width_, ksub_);
    if (!stride) panic("transposed codebook stride overflows usize");
    check_len(checked_size_product(d_, ksub_, "d * ksub"), centroids_.size());
    TransposedCodebook t;
    t.stride = static_cast<size_t>(*stride);
    t.values.assign(checked_size_product(m_, t.stride, "transposed codebook size"), 0.0f);
    for (size_t j = 0; j < m_; ++j) {
        const size_t lo = chunk_offsets_[j];
        const size_t w = chunk_offsets_[j + 1] - lo;
        const float* block = centroids_.data() + lo * ksub_;
        float* out = t.values.data() + j * t.stride;
        for (size_t c = 0; c < ksub_; ++c)
            for (size_t s = 0; s < w; ++s) out[s * ksub_ + c] = block[c * w + s];
    }
    return t;
}

const TransposedCodebook& ProductQuantizer::transposed_codebook() const {
    return transposed_.get_or_init([this] { return build_transposed_codebook(); });
}

void ProductQuantizer::encode_batch_8bit_transposed(std::span<const float> data, size_t n,
                                                    std::span<uint8_t> codes) const {
    TD_ASSERT(nbits_ == 8 && ksub_ == 256, "the transposed encoder needs 8-bit codes");
    check_encode_shapes(data, n, codes);
    if (n == 0) return;
    const TransposedCodebook& transposed = transposed_codebook();
    std::vector<pq_kernels::ScoreKernel> kernels(m_);
    for (size_t j = 0; j < m_; ++j) {
        kernels[j] = pq_kernels::choose_score_kernel(chunk_offsets_[j + 1] - chunk_offsets_[j], ksub_);
    }
    const size_t rows = rows_per_task(n);
    const size_t cs = code_size();
    pool::parallel_for_each_index(static_cast<size_t>(div_ceil(n, rows)), [&](size_t piece) {
        std::vector<float> scores(ksub_);
        const size_t end = std::min(n, (piece + 1) * rows);
        for (size_t i = piece * rows; i < end; ++i) {
            const float* x = data.data() + i * d_;
            uint8_t* code = codes.data() + i * cs;
            for (size_t j = 0; j < m_; ++j) {
                const size_t lo = chunk_offsets_[j];
                const size_t w = chunk_offsets_[j + 1] - lo;
                const std::span<const float> block(transposed.values.data() + j * transposed.stride, w * ksub_);
                code[j] = static_cast<uint8_t>(pq_kernels::score_argmin(kernels[j], {x + lo, w}, block, ksub_, scores));
            }
        }
    });
}

void ProductQuantizer::encode_batch_8bit_sgemm(std::span<const float> data, size_t n, std::span<uint8_t> codes) const {
    TD_ASSERT(nbits_ == 8 && ksub_ == 256, "the matrix-product encoder needs 8-bit codes");
    check_encode_shapes(data, n, codes);
    if (n == 0) return;
    check_len(checked_size_product(d_, ksub_, "d * ksub"), centroids_.size());
    const size_t rows = rows_per_task(n);
    const size_t cs = code_size();
    pool::parallel_for_each_index(static_cast<size_t>(div_ceil(n, rows)), [&](size_t piece) {
        const size_t first = piece * rows;
        const size_t count = std::min(n, first + rows) - first;
        std::vector<float> block(count * max_chunk_width_);
        std::vector<float> products(count * ksub_);
        for (size_t j = 0; j < m_; ++j) {
            const size_t lo = chunk_offsets_[j];
            const size_t w = chunk_offsets_[j + 1] - lo;
            for (size_t r = 0; r < count; ++r) {
                std::copy_n(data.data() + (first + r) * d_ + lo, w, block.data() + r * w);
            }
            blas::sgemm_a_bt(count, ksub_, w, 1.0f, std::span<const float>(block).first(count * w),
                             std::span<const float>(centroids_).subspan(lo * ksub_, ksub_ * w), 0.0f, products);
            const float* norms = centroid_norms_.data() + j * ksub_;
            for (size_t r = 0; r < count; ++r) {
                const float xn = distance::fvec_norm_l2sqr({block.data() + r * w, w});
                float* s = products.data() + r * ksub_;
                for (size_t c = 0; c < ksub_; ++c) s[c] = expanded_l2(norms[c], xn, s[c]);
                codes[(first + r) * cs + j] = static_cast<uint8_t>(pq_kernels::nearest_codeword({s, ksub_}));
            }
        }
    });
}

void ProductQuantizer::decode(std::span<const uint8_t> code, std::span<float> out) const {
    check_len(code_size(), code.size());
    check_len(d_, out.size());
    for (size_t j = 0; j < m_; ++j) {
        const size_t lo = chunk_offsets_[j];
        const size_t w = chunk_offsets_[j + 1] - lo;
        const size_t from = lo * ksub_ + code_value(code, j) * w;
        check_len(from + w, centroids_.size());
        std::copy_n(centroids_.data() + from, w, out.data() + lo);
    }
}

// ---- distance tables ----------------------------------------------------------------

void ProductQuantizer::fill_distance_table(std::span<const float> query, uint32_t metric, std::span<float> table,
                                           const TransposedCodebook* transposed) const {
    check_len(d_, query.size());
    check_len(checked_size_product(m_, ksub_, "m * ksub"), table.size());
    for (size_t j = 0; j < m_; ++j) {
        const size_t lo = chunk_offsets_[j];
        const size_t w = chunk_offsets_[j + 1] - lo;
        const std::span<const float> q = query.subspan(lo, w);
        const std::span<float> row = table.subspan(j * ksub_, ksub_);
        // Row-major: chunk j's ksub codewords of w values. Dimension-major
        // (w = 4): its 4 rows of ksub values.
        const std::span<const float> block =
            transposed != nullptr ? std::span<const float>(transposed->values).subspan(j * transposed->stride, 4 * ksub_)
                                  : std::span<const float>(centroids_).subspan(lo * ksub_, ksub_ * w);
        if (metric == kMetricInnerProduct) {
            // Chunks of 4 and more dimensions go through the matrix product.
            if (transposed != nullptr) {
                distance::fvec_ip_batch_dim4_cols(q, block, ksub_, row);
            } else {
                distance::fvec_ip_batch(q, block, w, ksub_, row);
            }
            for (float& v : row) v = -v;
            continue;
        }
        check_len((j + 1) * ksub_, centroid_norms_.size());
        const std::span<const float> norms = std::span<const float>(centroid_norms_).subspan(j * ksub_, ksub_);
        if (transposed != nullptr) {
            distance::fvec_expanded_l2_batch_dim4_cols(q, block, norms, ksub_, row);
        } else {
            distance::fvec_expanded_l2_batch(q, block, norms, w, ksub_, row);
        }
    }
}

void ProductQuantizer::compute_distance_table(std::span<const float> query, uint32_t metric,
                                              std::span<float> table) const {
    fill_distance_table(query, metric, table, nullptr);
}

bool ProductQuantizer::distance_table_by_dimension() const noexcept {
    return max_chunk_width_ == 4 && d_ == 4 * m_ && distance::avx2_enabled();
}

void ProductQuantizer::compute_distance_table_by_dimension(std::span<const float> query, uint32_t metric,
                                                           std::span<float> table) const {
    // Every chunk is four wide when the copy is read.
    fill_distance_table(query, metric, table, distance_table_by_dimension() ? &transposed_codebook() : nullptr);
}

void ProductQuantizer::compute_inner_product_table(std::span<const float> query, std::span<float> table) const {
    check_len(d_, query.size());
    check_len(checked_size_product(m_, ksub_, "m * ksub"), table.size());
    for (size_t j = 0; j < m_; ++j) {
        const size_t lo = chunk_offsets_[j];
        const size_t w = chunk_offsets_[j + 1] - lo;
        distance::fvec_ip_batch(query.subspan(lo, w), std::span<const float>(centroids_).subspan(lo * ksub_, ksub_ * w),
                                w, ksub_, table.subspan(j * ksub_, ksub_));
    }
}

void ProductQuantizer::compute_sub_l2_distances(std::span<const float> row, size_t j, std::span<float> out) const {
    check_index(j, m_);
    const size_t lo = chunk_offsets_[j];
    const size_t w = chunk_offsets_[j + 1] - lo;
    check_len(lo + w, row.size());
    check_len(ksub_, out.size());
    const std::span<const float> x = row.subspan(lo, w);
    check_len(lo * ksub_ + ksub_ * w, centroids_.size());
    const std::span<const float> block = std::span<const float>(centroids_).subspan(lo * ksub_, ksub_ * w);
    const std::span<float> scores = out.first(ksub_);
    if (w < 4 || ksub_ < 8) {
        // Direct squared differences (the batch takes this form for narrow chunks).
        distance::fvec_l2sqr_batch(x, block, w, ksub_, scores);
        return;
    }
    check_len((j + 1) * ksub_, centroid_norms_.size());
    distance::fvec_expanded_l2_batch(x, block, std::span<const float>(centroid_norms_).subspan(j * ksub_, ksub_), w,
                                     ksub_, scores);
}

float ProductQuantizer::table_distance(std::span<const float> table, std::span<const uint8_t> code) const {
    if (nbits_ == 8 && ksub_ == 256 && m_ > 7 && distance::avx2_enabled()) {
        return distance::pq_distance_avx2(table, code, m_);
    }
    check_len(code_size(), code.size());
    float sum = 0.0f;
    for (size_t j = 0; j < m_; ++j) {
        const size_t at = j * ksub_ + code_value(code, j);
        check_index(at, table.size());
        sum += table[at];
    }
    return sum;
}

}  // namespace tavren::pq
