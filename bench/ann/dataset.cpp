#include "dataset.hpp"

#include <zlib.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <numbers>
#include <stdexcept>

#include "parallel.hpp"

namespace tavren::ann {
namespace {

[[noreturn]] void fail(const std::string& path, const std::string& what) {
    throw std::runtime_error(path + ": " + what);
}

uint32_t be32(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

struct GzCloser {
    void operator()(gzFile_s* f) const { gzclose(f); }
};
using GzFile = std::unique_ptr<gzFile_s, GzCloser>;

// Reads up to `len` bytes; returns the count read (short only at the end).
size_t gz_read_some(gzFile f, const std::string& path, unsigned char* dst, size_t len) {
    size_t done = 0;
    while (done < len) {
        unsigned chunk = static_cast<unsigned>(std::min<size_t>(len - done, 1u << 30));
        int got = gzread(f, dst + done, chunk);
        if (got < 0) {
            int errnum = 0;
            const char* msg = gzerror(f, &errnum);
            fail(path, std::string("gzip read failed: ") + (msg ? msg : "unknown"));
        }
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return done;
}

// SplitMix64: seeds every block's stream from (seed, stream, block).
uint64_t splitmix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// xoshiro256**, with Box-Muller normals; deterministic across platforms that
// share libm's log/sin/cos.
class Rng {
public:
    explicit Rng(uint64_t seed) {
        for (auto& s : s_) s = seed = splitmix64(seed);
    }
    uint64_t next() {
        uint64_t result = rotl(s_[1] * 5, 7) * 9;
        uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }
    // Uniform in (0, 1].
    double uniform_open0() { return (static_cast<double>(next() >> 11) + 1.0) * 0x1.0p-53; }
    size_t below(size_t n) { return static_cast<size_t>((static_cast<unsigned __int128>(next()) * n) >> 64); }
    double normal() {
        if (has_spare_) {
            has_spare_ = false;
            return spare_;
        }
        double r = std::sqrt(-2.0 * std::log(uniform_open0()));
        double theta = 2.0 * std::numbers::pi * uniform_open0();
        spare_ = r * std::sin(theta);
        has_spare_ = true;
        return r * std::cos(theta);
    }

private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t s_[4];
    double spare_ = 0.0;
    bool has_spare_ = false;
};

uint64_t block_seed(uint64_t seed, uint64_t stream, uint64_t block) {
    return splitmix64(splitmix64(seed ^ splitmix64(stream)) + block);
}

// Mixes 8-byte words; a content fingerprint, not a cryptographic hash.
uint64_t hash_bytes(uint64_t h, const void* data, size_t len) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    size_t words = len / 8;
    for (size_t i = 0; i < words; ++i) {
        uint64_t w;
        std::memcpy(&w, p + i * 8, 8);
        h = (h ^ w) * 0x100000001B3ull;
        h ^= h >> 29;
    }
    for (size_t i = words * 8; i < len; ++i) h = (h ^ p[i]) * 0x100000001B3ull;
    return splitmix64(h);
}

uint64_t file_size(const std::string& path) {
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    if (ec) fail(path, "cannot stat: " + ec.message());
    return size;
}

// Reads a whole *vecs file whose values are `elem` bytes each, after
// checking that its size is a whole number of rows of one dimension;
// convert(src, d, dst) turns one row's d values into the matrix row `dst`.
template <class M, class Convert>
M read_vecs_generic(const std::string& path, size_t elem, size_t max_rows, Convert&& convert) {
    uint64_t size = file_size(path);
    std::ifstream in(path, std::ios::binary);
    if (!in) fail(path, "cannot open");
    if (size == 0) fail(path, "empty file");
    if (size < 4) fail(path, "truncated dimension word");
    int32_t d = 0;
    in.read(reinterpret_cast<char*>(&d), 4);
    if (d <= 0) fail(path, "invalid dimension " + std::to_string(d));
    uint64_t record = 4 + static_cast<uint64_t>(d) * elem;
    if (size % record != 0) {
        fail(path, "size " + std::to_string(size) + " is not a multiple of the record size " +
                       std::to_string(record));
    }
    size_t rows = static_cast<size_t>(size / record);
    if (max_rows != 0 && max_rows < rows) rows = max_rows;
    in.seekg(0);
    std::vector<unsigned char> buf(record);
    M m;
    m.rows = rows;
    m.cols = static_cast<size_t>(d);
    m.data.resize(rows * m.cols);
    for (size_t r = 0; r < rows; ++r) {
        in.read(reinterpret_cast<char*>(buf.data()), static_cast<std::streamsize>(record));
        if (!in) fail(path, "read failed at row " + std::to_string(r));
        int32_t dr;
        std::memcpy(&dr, buf.data(), 4);
        if (dr != d) {
            fail(path, "row " + std::to_string(r) + " has dimension " + std::to_string(dr) + ", expected " +
                           std::to_string(d));
        }
        convert(buf.data() + 4, m.cols, m.data.data() + r * m.cols);
    }
    return m;
}

// .fvecs and .ivecs rows are both 4-byte values copied as they stand.
template <class M>
M read_vecs_4byte(const std::string& path, size_t max_rows) {
    return read_vecs_generic<M>(path, 4, max_rows, [](const unsigned char* src, size_t d, auto* dst) {
        std::memcpy(dst, src, d * 4);
    });
}

}  // namespace

uint64_t Dataset::content_hash() const {
    uint64_t dims[4] = {base.rows, base.cols, queries.rows, queries.cols};
    uint64_t h = hash_bytes(0xCBF29CE484222325ull, dims, sizeof dims);
    h = hash_bytes(h, base.data.data(), base.data.size() * sizeof(float));
    return hash_bytes(h, queries.data.data(), queries.data.size() * sizeof(float));
}

Matrix read_idx_ubyte(const std::string& path, size_t max_rows) {
    GzFile f(gzopen(path.c_str(), "rb"));
    if (!f) fail(path, "cannot open");
    gzbuffer(f.get(), 1u << 20);
    unsigned char head[4];
    if (gz_read_some(f.get(), path, head, 4) != 4) fail(path, "truncated idx header");
    uint32_t magic = be32(head);
    if (head[0] != 0 || head[1] != 0 || head[2] != 0x08 || head[3] == 0 || head[3] > 4) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", magic);
        fail(path, std::string("not an idx file of unsigned bytes (magic ") + text + ")");
    }
    unsigned ndims = head[3];
    std::vector<uint32_t> dims(ndims);
    for (unsigned i = 0; i < ndims; ++i) {
        unsigned char w[4];
        if (gz_read_some(f.get(), path, w, 4) != 4) fail(path, "truncated idx header");
        dims[i] = be32(w);
    }
    size_t items = dims[0];
    size_t per_item = 1;
    for (unsigned i = 1; i < ndims; ++i) {
        if (dims[i] == 0) fail(path, "idx dimension " + std::to_string(i) + " is 0");
        per_item *= dims[i];  // at most three u32 factors below 2^32 each: checked next
        if (per_item > (1u << 24)) fail(path, "idx item size is implausibly large");
    }
    size_t keep = (max_rows != 0 && max_rows < items) ? max_rows : items;
    Matrix m;
    m.rows = 0;
    m.cols = per_item;
    // The header's item count is not trusted for the allocation: deflate
    // expands at most 1032-fold, so the file's size bounds what it can hold.
    const uint64_t on_disk = file_size(path);
    const uint64_t bound_rows = std::min<uint64_t>(keep, on_disk / per_item * 1032 + 1032);
    m.data.resize(static_cast<size_t>(bound_rows) * per_item);
    std::vector<unsigned char> chunk(per_item * 4096);
    size_t filled = 0;  // rows stored in m.data
    while (m.rows < items) {
        size_t want_rows = std::min<size_t>(4096, items - m.rows);
        size_t got = gz_read_some(f.get(), path, chunk.data(), want_rows * per_item);
        if (got != want_rows * per_item) {
            fail(path, "truncated: header promises " + std::to_string(items) + " items, file holds " +
                           std::to_string(m.rows + got / per_item));
        }
        size_t take = std::min(want_rows, keep - std::min(keep, m.rows));
        if (filled + take > bound_rows) fail(path, "holds more data than its compressed size allows");
        float* dst = m.data.data() + filled * per_item;
        const unsigned char* src = chunk.data();
        for (size_t i = 0; i < take * per_item; ++i) dst[i] = static_cast<float>(src[i]);
        filled += take;
        m.rows += want_rows;
        if (m.rows >= keep && keep < items) break;  // the rest is not needed
    }
    m.data.resize(filled * per_item);
    if (keep == items) {
        unsigned char extra;
        if (gz_read_some(f.get(), path, &extra, 1) != 0) fail(path, "trailing bytes after the last item");
    }
    m.rows = keep;
    return m;
}

Dataset load_fashion_mnist(const std::string& dir, size_t max_base, size_t max_queries) {
    Dataset ds;
    ds.base = read_idx_ubyte(dir + "/train-images-idx3-ubyte.gz", max_base);
    ds.queries = read_idx_ubyte(dir + "/t10k-images-idx3-ubyte.gz", max_queries);
    if (ds.base.cols != ds.queries.cols) throw std::runtime_error(dir + ": base and query dimensions differ");
    ds.name = "fashion-mnist";
    if (max_base != 0 || max_queries != 0) {
        // Appended piece by piece: GCC 12 reports a false -Wrestrict on the
        // chained operator+ form.
        ds.name += '-';
        ds.name += std::to_string(ds.base.rows);
        ds.name += 'x';
        ds.name += std::to_string(ds.queries.rows);
    }
    return ds;
}

Matrix read_fvecs(const std::string& path, size_t max_rows) { return read_vecs_4byte<Matrix>(path, max_rows); }

Matrix read_bvecs(const std::string& path, size_t max_rows) {
    return read_vecs_generic<Matrix>(path, 1, max_rows, [](const unsigned char* src, size_t d, float* dst) {
        for (size_t i = 0; i < d; ++i) dst[i] = static_cast<float>(src[i]);
    });
}

IntMatrix read_ivecs(const std::string& path, size_t max_rows) { return read_vecs_4byte<IntMatrix>(path, max_rows); }

Matrix read_vecs(const std::string& path, size_t max_rows) {
    if (path.ends_with(".fvecs")) return read_fvecs(path, max_rows);
    if (path.ends_with(".bvecs")) return read_bvecs(path, max_rows);
    throw std::runtime_error(path + ": expected a .fvecs or .bvecs file");
}

namespace {
template <class T>
void write_vecs(const std::string& path, size_t rows, size_t cols, const T* data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) fail(path, "cannot create");
    int32_t d = static_cast<int32_t>(cols);
    for (size_t r = 0; r < rows; ++r) {
        out.write(reinterpret_cast<const char*>(&d), 4);
        out.write(reinterpret_cast<const char*>(data + r * cols), static_cast<std::streamsize>(cols * sizeof(T)));
    }
    if (!out) fail(path, "write failed");
}
}  // namespace

void write_fvecs(const std::string& path, const Matrix& m) { write_vecs(path, m.rows, m.cols, m.data.data()); }
void write_ivecs(const std::string& path, const IntMatrix& m) { write_vecs(path, m.rows, m.cols, m.data.data()); }

Dataset make_gaussian_mixture(const SyntheticSpec& spec, unsigned threads) {
    if (spec.dim == 0 || spec.clusters == 0) throw std::invalid_argument("synthetic set needs dim > 0 and clusters > 0");
    constexpr size_t kBlockRows = 1024;
    std::vector<float> centres(spec.clusters * spec.dim);
    {
        Rng rng(block_seed(spec.seed, 0, 0));
        for (auto& c : centres) c = static_cast<float>(rng.normal());
    }
    auto fill = [&](Matrix& m, size_t rows, uint64_t stream) {
        m.rows = rows;
        m.cols = spec.dim;
        m.data.assign(rows * spec.dim, 0.0f);
        size_t blocks = (rows + kBlockRows - 1) / kBlockRows;
        parallel_items(blocks, threads, [&](unsigned, size_t b) {
            Rng rng(block_seed(spec.seed, stream, b));
            size_t end = std::min(rows, (b + 1) * kBlockRows);
            for (size_t r = b * kBlockRows; r < end; ++r) {
                const float* c = centres.data() + rng.below(spec.clusters) * spec.dim;
                float* out = m.data.data() + r * spec.dim;
                for (size_t i = 0; i < spec.dim; ++i) {
                    out[i] = c[i] + static_cast<float>(rng.normal() * spec.spread);
                }
            }
        });
    };
    Dataset ds;
    fill(ds.base, spec.nb, 1);
    fill(ds.queries, spec.nq, 2);
    char spread[32];
    std::snprintf(spread, sizeof spread, "%g", static_cast<double>(spec.spread));
    ds.name = "gm-s" + std::to_string(spec.seed) + "-c" + std::to_string(spec.clusters) + "-sp" + spread + "-" +
              std::to_string(spec.nb) + "x" + std::to_string(spec.dim) + "-q" + std::to_string(spec.nq);
    return ds;
}

Dataset load_vecs_dataset(const std::string& base_path, const std::string& query_path, size_t max_base,
                          size_t max_queries) {
    Dataset ds;
    ds.base = read_vecs(base_path, max_base);
    ds.queries = read_vecs(query_path, max_queries);
    if (ds.base.cols != ds.queries.cols) {
        throw std::runtime_error(base_path + " and " + query_path + " have different dimensions");
    }
    std::string stem = std::filesystem::path(base_path).stem().string();
    for (char& c : stem) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '_';
    }
    ds.name = "vecs-" + stem + "-" + std::to_string(ds.base.rows) + "x" + std::to_string(ds.queries.rows);
    return ds;
}

}  // namespace tavren::ann
