// RaBitQ: the seeded random rotation applied before quantization, and the
// multi-bit quantizer that turns a rotated residual into bit-plane codes and
// correction factors.
//
// Codes written by one process are decoded by another that rebuilds the
// rotation from (dimension, seed, rounds) alone, so construction and
// application are fixed to the bit: the SplitMix64 stream, the order of draws,
// the butterfly order and the scaling. SIMD kernels perform the same
// single-precision operations on the same operands as the scalar code.
//
// Everything here is a value type without shared state: any thread may use a
// rotation or a quantizer at once; scratch buffers belong to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tavren::rabitq {

// Size of a Walsh-Hadamard block; the padded dimension is a multiple of it.
inline constexpr size_t kBlock = 64;
// The seed every caller builds its rotation with (equal to the SplitMix64
// increment; the construction treats it like any other seed).
inline constexpr uint64_t kDefaultSeed = 0x9E3779B97F4A7C15ULL;
inline constexpr uint32_t kDefaultRounds = 4;
// Single-precision machine epsilon (bit pattern 0x34000000).
inline constexpr float kEpsilon = 1.1920929e-7f;

// The smallest multiple of 64 that is at least max(d, 1): 0..64 -> 64, 65 -> 128.
size_t padded_dimension(size_t d) noexcept;

// The published SplitMix64 generator.
class SplitMix64 {
public:
    explicit SplitMix64(uint64_t state) noexcept : state_(state) {}
    uint64_t next() noexcept;

private:
    uint64_t state_;
};

// The seeded orthogonal transform of the padded space: `rounds` times
// x -> P_r (H / 8) S_r x, with S_r a sign flip per coordinate, H the
// unnormalised Walsh-Hadamard transform of each 64-value block and P_r a
// permutation. Built once; read-only afterwards.
class RQRotation {
public:
    // Draws sign bytes and permutations from SplitMix64 seeded with
    // seed XOR rotl64(dimension, 17).
    RQRotation(size_t dimension, uint64_t seed, uint32_t rounds);

    // Rotates x (length D') in place. `scratch` has the length of x; its
    // contents on entry do not matter. Allocates nothing. Asserts when x is
    // shorter than a permutation or longer than 8 x the sign bytes, or when
    // scratch and x differ in length.
    void apply_in_place(std::span<float> x, std::span<float> scratch) const;

    // output[0 .. D') = rotation of `input` (length d) zero-extended to D'.
    // Asserts when input is not d values or output is shorter than d.
    void rotate(std::span<const float> input, std::span<float> output, std::span<float> scratch) const;

    size_t dimension() const noexcept { return dimension_; }
    size_t padded_dimension() const noexcept { return padded_; }
    uint64_t seed() const noexcept { return seed_; }
    size_t rounds() const noexcept { return rounds_; }
    // Per round: D'/8 bytes, bit (k mod 8) of byte k/8 set = coordinate k negated.
    const std::vector<std::vector<uint8_t>>& signs() const noexcept { return signs_; }
    // Per round: the value at position l moves to position perm[l].
    const std::vector<std::vector<size_t>>& permutations() const noexcept { return perms_; }

private:
    std::vector<std::vector<uint8_t>> signs_;
    std::vector<std::vector<size_t>> perms_;
    size_t dimension_ = 0;
    size_t padded_ = 0;
    uint64_t seed_ = 0;
    size_t rounds_ = 0;
};

// Six correction factors of one encoded vector: a triple (add, rescale,
// error) for the 1-bit sign reconstruction and one for the B-bit
// reconstruction. With B = 1 both triples are equal.
struct RQVectorFactors {
    float bin_add = 0.0f;
    float bin_rescale = 0.0f;
    float bin_error = 0.0f;
    float ex_add = 0.0f;
    float ex_rescale = 0.0f;
    float ex_error = 0.0f;
    friend bool operator==(const RQVectorFactors&, const RQVectorFactors&) = default;
};

// Per-worker buffers of one encode, D' entries each, reused for every vector.
struct RQEncodeScratch {
    explicit RQEncodeScratch(size_t padded_dimension)
        : codes(padded_dimension, 0), centred(padded_dimension, 0.0f), sign(padded_dimension, 0.0f) {}
    std::vector<uint8_t> codes;  // code of each coordinate, 0 .. 2^B - 1
    std::vector<float> centred;  // code - t
    std::vector<float> sign;     // +0.5 or -0.5
};

// (add, rescale, error) of a residual r against its reconstruction x and the
// rotated centroid c', under metric 0 (l2), 1 (inner product) or 2 (cosine).
struct FactorTriple {
    float add = 0.0f;
    float rescale = 0.0f;
    float error = 0.0f;
};
FactorTriple compute_factors(std::span<const float> r, std::span<const float> c, std::span<const float> x,
                             uint32_t metric);

struct RQQueryContext;

// The B-bit quantizer (B in 1..=8) of one padded dimension. Code bytes of one
// vector: B planes of D'/8 bytes; plane p holds bit (B-1-p) of each
// coordinate's code, coordinate k at bit (k mod 8) of byte k/8.
struct RaBitQuantizer {
    size_t dimension = 0;
    size_t padded_dimension = 0;
    size_t bits = 0;
    size_t plane_size = 0;  // D'/8

    // Asserts "RQ bits must be in 1..=8".
    static RaBitQuantizer create(size_t dimension, size_t bits);

    size_t code_bytes() const noexcept { return bits * plane_size; }

    // Encodes the rotated residual r (D' values) against the rotated centroid
    // c' (D' values) into out[0 .. B*D'/8) and returns its factors. Codes do
    // not depend on the metric; the factors do. Allocates nothing. Asserts
    // when out or the scratch buffers are too short.
    RQVectorFactors encode_with_scratch(std::span<const float> r, std::span<const float> c, uint32_t metric,
                                        std::span<uint8_t> out, RQEncodeScratch& scratch) const;

    // The tables and scalars of one rotated query (at least D' values; fewer
    // is an assertion failure). Allocates the context; cannot fail otherwise.
    RQQueryContext prepare_query(std::span<const float> rotated_query) const;
    // The same into an existing context, reusing its buffers.
    // With fastscan_tables false, only the exact tables and the query sum:
    // fastscan_lut is left empty and the FastScan scalars zero (for searches
    // that cannot take the FastScan path: D' < 256, one bit, or a filter).
    void prepare_query_into(std::span<const float> rotated_query, RQQueryContext& ctx,
                            bool fastscan_tables = true) const;

    // Sign-plane estimates of one full block of 32 rows: `block` holds, for
    // each code byte position c, the 32 rows' sign-plane bytes c. out[v] =
    // f32(S_v) x lut_delta + lut_offset, S_v the sum of the row's 8-bit table
    // codes. AVX2 when the processor has it, else the portable loop; both
    // give the same bits.
    void fastscan_coarse_block(const RQQueryContext& ctx, std::span<const uint8_t> block, float* out) const;
};

// ---- Query side -----------------------------------------------------------------

// What a search needs of one rotated query, built once and then shared
// read-only by every list it probes (and by pool workers).
//   byte_lut      plane_size x 256: entry 256 c + x = sum of q[8c + b] over
//                 the set bits b of x (exact f32 sums, entry 256 c + 0 = 0)
//   fastscan_lut  plane_size x 32 bytes: for code byte c, the 16-entry table
//                 of its low nibble at 32 c and of its high nibble at 32 c + 16,
//                 each entry the 8-bit code of its 4-coordinate sum
//   lut_offset + lut_delta x (sum of a row's 8-bit codes) approximates the
//   sum of the query coordinates selected by its sign plane, within
//   lut_error_bound.
struct RQQueryContext {
    std::vector<float> byte_lut;
    std::vector<uint8_t> fastscan_lut;
    float query_sum = 0.0f;
    float lut_offset = 0.0f;
    float lut_delta = 0.0f;
    float lut_error_bound = 0.0f;
};

// The per-(query, list) terms of the estimates: q_term is added to every
// estimate of the list, q_norm (the distance of the query to the list's
// centroid) scales the per-row error factors.
struct RQQueryTerms {
    float q_term = 0.0f;
    float q_norm = 0.0f;
};

// From the coarse squared distance of the (preprocessed) query to the list
// centroid, the metric, the query's and the centroid's squared norms. A
// negative or NaN distance counts as 0.
RQQueryTerms query_terms(float coarse_distance, uint32_t metric, float query_norm_sq, float centroid_norm_sq) noexcept;

// Rows scored by one FastScan call.
inline constexpr size_t kFastScanRows = 32;

// Exact byte-table sums of one block of n <= 32 rows of a plane: `plane`
// holds byte position c of the n rows at c * n, `lut` the context's byte
// table (256 floats per position). out[v] = ((0 + t_0) + t_1) + ... with
// t_c = lut[256 c + plane[c n + v]], in that order for every row, so the
// AVX2 kernel (eight rows per gather) and the portable loop agree bit for
// bit. No length checks: the caller guarantees plane_size x n bytes and
// plane_size x 256 table entries.
void byte_table_block_sums(const float* lut, const uint8_t* plane, size_t plane_size, size_t n, float* out) noexcept;
// The next plane's terms: out[v] = (...(out[v] + t_0 w) + t_1 w) + ..., each
// product rounded before it is added.
void byte_table_block_add(const float* lut, const uint8_t* plane, size_t plane_size, size_t n, float w,
                          float* out) noexcept;

namespace detail {
// The portable FastScan loop (bit-identical to the AVX2 kernel): asserts that
// the block and the table hold 32 bytes per byte position it uses.
void fastscan_block_scalar(std::span<const uint8_t> lut, std::span<const uint8_t> block, size_t plane_size,
                           float lut_offset, float lut_delta, float* out);
}  // namespace detail

namespace detail {
// Scalar twins of the SIMD kernels; exposed so tests compare both paths.
void hadamard_blocks_scalar(float* x, size_t blocks) noexcept;
float max_abs_scalar(std::span<const float> v) noexcept;
void quantize_scalar(std::span<const float> r, float step, float t, float max_code, uint8_t* codes,
                     float* centred) noexcept;
}  // namespace detail

}  // namespace tavren::rabitq
