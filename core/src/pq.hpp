// The product quantizer: chunk plans, codebook, training, encoders, decoding
// and query distance tables.
//
// A d-dimensional vector is cut into m contiguous chunks; chunk j covers the
// dimensions chunk_offsets[j] .. chunk_offsets[j + 1] and has a codebook of
// ksub = 2^nbits codewords (nbits 4 or 8). A vector's code holds, per chunk,
// the index of the nearest codeword in squared Euclidean distance: one byte
// per chunk for 8-bit codes, two chunks per byte for 4-bit codes (chunk 2i in
// the low nibble of byte i, chunk 2i + 1 in the high nibble, the high nibble
// of the last byte 0 when m is odd).
//
// Codebook layout: the block of chunk j (width w) is
// centroids[lo * ksub .. hi * ksub], ksub codewords of w values each,
// codeword c at lo * ksub + c * w. Blocks follow in chunk order, d * ksub
// values in all; with uniform chunks this is [m][ksub][d / m].
//
// Thread rules: a trained quantizer is read-only and may be shared by any
// number of threads; the one piece of state built behind a shared reference
// is the transposed copy of the codebook, made once under a once-flag by the
// first encoder that needs it. Installing a codebook or training needs
// exclusive access. Preconditions and violated invariants are assertions
// (AssertionFailure); nothing here returns an error except the stored-plan
// constructor, which returns its error text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "kmeans.hpp"

namespace tavren::pq {

// a * b, or the assertion "{what} overflows usize".
size_t checked_size_product(size_t a, size_t b, const char* what);

// The dimension-major copy of a codebook used by the transposed encoder:
// m blocks of `stride` = max_chunk_width * ksub values; block j holds w rows
// of ksub values, entry j * stride + t * ksub + c being dimension t of
// codeword c of chunk j. Rows w .. max_chunk_width of a narrower chunk are zero.
struct TransposedCodebook {
    std::vector<float> values;
    size_t stride = 0;
};

// Which encoder encode_batch_blocked runs.
enum class EncoderPath : uint8_t {
    Canonical,   // encode_batch
    Transposed,  // encode_batch_8bit_transposed
    Sgemm,       // encode_batch_8bit_sgemm
};

class ProductQuantizer {
public:
    // Uniform chunks of d / m dimensions. Asserts "dimension {} must be
    // divisible by m={}" (also for m = 0) and the common checks.
    static ProductQuantizer with_nbits(size_t d, size_t m, size_t nbits);
    // Balanced chunks for 1 <= m <= d: the first d % m chunks are one wider.
    // Asserts "dimension must be greater than zero" and "m must be in 1..=dimension".
    static ProductQuantizer with_nbits_balanced(size_t d, size_t m, size_t nbits);
    // Chunks from stored offsets, checked in this order: "invalid PQ shape"
    // (d = 0, nbits not 4 or 8, fewer than two offsets), "invalid PQ chunk
    // bounds" (first not 0 or last not d), "PQ chunk offsets must be strictly
    // increasing". Returns the quantizer or that text.
    static std::variant<ProductQuantizer, std::string_view> try_with_chunk_offsets(size_t d, size_t nbits,
                                                                                  std::vector<size_t> chunk_offsets);
    // The common body: checks nbits ("nbits must be 4 or 8, got {}") and that
    // there are at least two offsets ("validated non-empty PQ chunk plan"),
    // derives m, max_chunk_width and ksub. The offsets themselves are the
    // caller's responsibility.
    static ProductQuantizer with_validated_chunk_offsets(size_t d, size_t nbits, std::vector<size_t> chunk_offsets);

    size_t d() const noexcept { return d_; }
    size_t m() const noexcept { return m_; }
    size_t nbits() const noexcept { return nbits_; }
    size_t ksub() const noexcept { return ksub_; }
    size_t max_chunk_width() const noexcept { return max_chunk_width_; }
    // Bytes per code: m for 8-bit codes, ceil(m / 2) for 4-bit codes.
    size_t code_size() const noexcept { return nbits_ == 4 ? m_ - m_ / 2 : m_; }
    std::span<const size_t> chunk_offsets() const noexcept { return chunk_offsets_; }
    std::span<const float> centroids() const noexcept { return centroids_; }
    std::span<const float> centroid_norms() const noexcept { return centroid_norms_; }
    // Every codebook value is finite (true while the codebook is empty).
    bool centroids_finite() const noexcept { return centroids_finite_; }

    // ---- codebook ------------------------------------------------------------

    // Installs a codebook of exactly d * ksub values (assertion "PQ centroids
    // must hold d * ksub values" otherwise): computes the codeword norms,
    // refreshes the finite flag and drops the transposed copy. Returns false,
    // leaving the quantizer unchanged, when the norms cannot be allocated.
    bool try_set_centroids(std::vector<float> centroids);
    // try_set_centroids; an allocation failure is the assertion "PQ centroid
    // norms allocation failed".
    void set_centroids(std::vector<float> centroids);
    // The m * ksub squared codeword norms: a copy of centroid_norms(), or
    // computed from the codebook when they are not held.
    std::vector<float> compute_centroid_norms() const;
    // The plan is well formed, agrees with m, max_chunk_width, ksub and
    // nbits, and the codebook holds d * ksub values. False before training.
    bool has_valid_layout() const;

    // ---- training ------------------------------------------------------------

    // Trains every chunk's codebook by k-means (k = ksub, `config` unchanged
    // for every chunk) over the chunk's sub-vectors of n rows of d values
    // (`data` must hold n * d), from the current codebook when hot_start is
    // set and one is installed. The chunks run in parallel, all of it confined
    // to max(max_threads, 1) threads when that is below the caller's pool
    // size. The result does not depend on the number of threads.
    void train_hot_start_with_parallelism(std::span<const float> data, size_t n,
                                          const kmeans::KMeansConfig& config, bool hot_start, size_t max_threads);

    // ---- encoding and decoding -------------------------------------------------

    // Codes of n rows of d values into codes[0 .. n * code_size()], row by
    // row in parallel: per chunk the scores of compute_sub_l2_distances and
    // the nearest-codeword rule. Bytes past n codes are not touched.
    void encode_batch(std::span<const float> data, size_t n, std::span<uint8_t> codes) const;
    // The same contract, in blocks of at most 512 rows per task. Runs the
    // encoder that blocked_encoder_path() names: for 8-bit codes with every
    // chunk at least 4 wide, the transposed encoder when the AVX2 kernels are
    // in use, else the matrix-product encoder while the codebook is finite;
    // otherwise encode_batch. The direct and the expanded score differ in
    // rounding, so a row whose two best codewords lie within rounding of each
    // other may get another code than from encode_batch.
    void encode_batch_blocked(std::span<const float> data, size_t n, std::span<uint8_t> codes) const;
    EncoderPath blocked_encoder_path() const;
    // One row (d values) into `code` (at least code_size() bytes), with the
    // caller's scratch `distances` (at least ksub floats).
    void encode_with_distances(std::span<const float> row, std::span<uint8_t> code,
                               std::span<float> distances) const;
    // 8-bit, ksub 256, every chunk at least 4 wide: direct squared
    // differences against the transposed codebook (AVX2 kernels or their
    // scalar twin), rows_per_task rows per task.
    void encode_batch_8bit_transposed(std::span<const float> data, size_t n, std::span<uint8_t> codes) const;
    // The same shapes: max((|c|^2 + |x|^2) - 2 x.c, 0) with x.c from one
    // matrix product per block of rows and chunk; the scores of encode_batch.
    void encode_batch_8bit_sgemm(std::span<const float> data, size_t n, std::span<uint8_t> codes) const;
    // The reconstruction of one code (at least code_size() bytes) into out[0 .. d].
    void decode(std::span<const uint8_t> code, std::span<float> out) const;
    // The codeword index of chunk j in a code.
    size_t code_value(std::span<const uint8_t> code, size_t j) const;
    // The transposed codebook, built on first use (assertion "transposed
    // codebook stride overflows usize" when it cannot be sized).
    const TransposedCodebook& transposed_codebook() const;

    // ---- distance tables ---------------------------------------------------------

    // Per-query table of m * ksub values (entry j * ksub + c for codeword c of
    // chunk j) into table[0 .. m * ksub]; later entries are untouched. Metric
    // 1 (inner product): -(q_j . c). Any other metric (l2, and cosine on
    // normalised inputs): max((|c|^2 + |q_j|^2) - 2 q_j . c, 0), NaN as 0.
    void compute_distance_table(std::span<const float> query, uint32_t metric, std::span<float> table) const;
    // compute_distance_table's table, bit for bit. When every chunk is four
    // wide and the AVX2 kernels are in use it reads transposed_codebook()
    // (built on the first call, as many bytes as the codebook) with plain
    // loads of eight codewords at a time instead of transposing every eight
    // codewords of the codebook on each call.
    void compute_distance_table_by_dimension(std::span<const float> query, uint32_t metric,
                                             std::span<float> table) const;
    // Whether compute_distance_table_by_dimension reads the transposed copy.
    bool distance_table_by_dimension() const noexcept;
    // Entry j * ksub + c = q_j . c, no sign change, no norms.
    void compute_inner_product_table(std::span<const float> query, std::span<float> table) const;
    // The ksub squared distances from row's chunk j to the chunk's codewords
    // into out[0 .. ksub]: direct for chunks narrower than 4 (or ksub below 8),
    // else max((|c|^2 + |x|^2) - 2 x.c, 0) with NaN as 0.
    void compute_sub_l2_distances(std::span<const float> row, size_t j, std::span<float> out) const;
    // The distance of a code under a table: the sum of table[j * ksub +
    // value_j] in chunk order from +0.0; 8-bit codes of more than 7 chunks
    // take distance::pq_distance_avx2 when the AVX2 kernels are in use.
    float table_distance(std::span<const float> table, std::span<const uint8_t> code) const;

private:
    // A once-initialised transposed codebook. Copies of a quantizer start
    // with an empty cache of their own.
    class TransposedCache {
    public:
        TransposedCache() : cell_(std::make_unique<Cell>()) {}
        TransposedCache(const TransposedCache&) : TransposedCache() {}
        TransposedCache& operator=(const TransposedCache&) {
            reset();
            return *this;
        }
        void reset() { cell_ = std::make_unique<Cell>(); }
        template <class Build>
        const TransposedCodebook& get_or_init(Build&& build) const {
            std::call_once(cell_->flag, [&] { cell_->value = build(); });
            return cell_->value;
        }

    private:
        struct Cell {
            std::once_flag flag;
            TransposedCodebook value;
        };
        std::unique_ptr<Cell> cell_;
    };

    ProductQuantizer() = default;
    TransposedCodebook build_transposed_codebook() const;
    // The distance table from the row-major codebook, or from `transposed`
    // (every chunk four wide) when it is given: the same bits either way.
    void fill_distance_table(std::span<const float> query, uint32_t metric, std::span<float> table,
                             const TransposedCodebook* transposed) const;
    size_t rows_per_task(size_t n) const;
    void check_encode_shapes(std::span<const float> data, size_t n, std::span<uint8_t> codes) const;
    void put_code_value(std::span<uint8_t> code, size_t j, size_t value) const;

    std::vector<size_t> chunk_offsets_;
    std::vector<float> centroids_;
    std::vector<float> centroid_norms_;
    size_t d_ = 0;
    size_t m_ = 0;
    size_t nbits_ = 0;
    size_t max_chunk_width_ = 0;
    size_t ksub_ = 0;
    TransposedCache transposed_;
    bool centroids_finite_ = true;
};

}  // namespace tavren::pq
