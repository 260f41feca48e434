// Vector data sets for the ANN harness: Fashion-MNIST (gzip idx files), seeded
// Gaussian mixtures, and .fvecs / .bvecs / .ivecs files.
//
// Every loader checks its input against what exists before allocating: a
// header that claims more rows than the file holds is refused, never trusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavren::ann {

// A row-major f32 matrix.
struct Matrix {
    size_t rows = 0;
    size_t cols = 0;
    std::vector<float> data;

    const float* row(size_t r) const { return data.data() + r * cols; }
};

// A row-major i32 matrix (.ivecs ground-truth files).
struct IntMatrix {
    size_t rows = 0;
    size_t cols = 0;
    std::vector<int32_t> data;
};

// Base vectors, query vectors and what identifies them (the cache key of
// their ground truth).
struct Dataset {
    std::string name;  // stable, file-name safe: "fashion-mnist", "gm-s42-c1000-1000000x128", ...
    Matrix base;
    Matrix queries;

    size_t dim() const { return base.cols; }
    // A 64-bit hash of the dimensions and every byte of base and queries.
    uint64_t content_hash() const;
};

// Reads one idx file of unsigned bytes (magic 0x00000803 or 0x00000801,
// big-endian dimension words), gzip-compressed or not. Every item becomes one
// row: an n x 28 x 28 file gives n rows of 784 values, pixels as f32 0..255.
// `max_rows` (0 = all) keeps only the first rows. Throws std::runtime_error
// naming the file on a bad magic, a short file or trailing bytes.
Matrix read_idx_ubyte(const std::string& path, size_t max_rows = 0);

// Fashion-MNIST from `dir`: train-images-idx3-ubyte.gz as base (60,000 rows),
// t10k-images-idx3-ubyte.gz as queries (10,000 rows), dimension 784.
// max_base / max_queries (0 = all) keep only the first rows.
Dataset load_fashion_mnist(const std::string& dir, size_t max_base = 0, size_t max_queries = 0);

// The directory Debian's dataset-fashion-mnist installs into.
inline constexpr const char* kFashionMnistDir = "/usr/share/datasets/fashion-mnist";

// .fvecs (f32) and .bvecs (u8 converted to f32): per row a little-endian i32
// dimension, then the values. All rows must share one positive dimension.
Matrix read_fvecs(const std::string& path, size_t max_rows = 0);
Matrix read_bvecs(const std::string& path, size_t max_rows = 0);
IntMatrix read_ivecs(const std::string& path, size_t max_rows = 0);
// By extension: .fvecs or .bvecs.
Matrix read_vecs(const std::string& path, size_t max_rows = 0);

// Writers for the same formats (tests and exporting synthetic sets).
void write_fvecs(const std::string& path, const Matrix& m);
void write_ivecs(const std::string& path, const IntMatrix& m);

// A Gaussian mixture: `clusters` centres with coordinates ~ N(0, 1), each
// point its centre (chosen uniformly) plus N(0, spread^2) per coordinate;
// queries are drawn from the same mixture with an independent stream.
// The same (seed, sizes) always give the same bits, whatever `threads` is.
struct SyntheticSpec {
    size_t nb = 1'000'000;
    size_t nq = 10'000;
    size_t dim = 128;
    size_t clusters = 1'000;
    float spread = 0.5f;
    uint64_t seed = 42;
};
Dataset make_gaussian_mixture(const SyntheticSpec& spec, unsigned threads = 0);

// Two .fvecs/.bvecs files as a data set named after the base file.
Dataset load_vecs_dataset(const std::string& base_path, const std::string& query_path,
                          size_t max_base = 0, size_t max_queries = 0);

}  // namespace tavren::ann
