#include "ground_truth.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <unistd.h>

#include "dot_kernel.hpp"
#include "parallel.hpp"

namespace tavren::ann {
namespace {

constexpr float kMissingDistance = std::numeric_limits<float>::max();
// A task is one block of queries against every base block; a base block
// (256 rows) and a query block stay in the core's caches while they meet.
constexpr size_t kQueryBlock = 128;
constexpr size_t kBaseBlock = 256;
constexpr char kGtMagic[8] = {'T', 'D', 'A', 'N', 'N', 'G', 'T', '1'};

double dot_double(const float* a, const float* b, size_t d) {
    double s = 0.0;
    for (size_t i = 0; i < d; ++i) s += static_cast<double>(a[i]) * static_cast<double>(b[i]);
    return s;
}

// Unit-length copy of `src` into `dst` (zeros stay zeros).
void normalize_into(const float* src, float* dst, size_t d) {
    double n = std::sqrt(dot_double(src, src, d));
    if (n == 0.0) {
        std::fill(dst, dst + d, 0.0f);
        return;
    }
    for (size_t i = 0; i < d; ++i) dst[i] = static_cast<float>(src[i] / n);
}

}  // namespace

Metric parse_metric(std::string_view name) {
    if (name == "l2") return Metric::L2;
    if (name == "inner_product") return Metric::InnerProduct;
    if (name == "cosine") return Metric::Cosine;
    throw std::invalid_argument("unknown metric '" + std::string(name) + "' (expected l2, inner_product or cosine)");
}

const char* metric_name(Metric m) {
    switch (m) {
        case Metric::L2: return "l2";
        case Metric::InnerProduct: return "inner_product";
        case Metric::Cosine: return "cosine";
    }
    return "?";
}

ExactIndex::ExactIndex(const Matrix& base, Metric metric) : base_(base), metric_(metric) {
    const size_t n = base.rows, d = base.cols;
    norms_.resize(n);
    for (size_t r = 0; r < n; ++r) {
        norms_[r] = std::sqrt(dot_double(base.row(r), base.row(r), d));
        max_norm_ = std::max(max_norm_, norms_[r]);
    }
    if (metric == Metric::Cosine) {
        normalized_.resize(n * d);
        for (size_t r = 0; r < n; ++r) normalize_into(base.row(r), normalized_.data() + r * d, d);
    } else if (metric == Metric::L2) {
        half_sq_norms_.resize(n);
        for (size_t r = 0; r < n; ++r) half_sq_norms_[r] = static_cast<float>(0.5 * norms_[r] * norms_[r]);
    }
}

size_t ExactIndex::keep_for(size_t k) const {
    // Extra candidates absorb the rounding of the single-precision scores;
    // the double-precision re-rank then decides.
    return std::min(size(), k + 16 + k / 4);
}

double ExactIndex::distance(const float* query, size_t row) const { return distance(query, query_norm(query), row); }

double ExactIndex::query_norm(const float* query) const {
    return metric_ == Metric::Cosine ? std::sqrt(dot_double(query, query, dim())) : 0.0;
}

double ExactIndex::distance(const float* query, double qn, size_t row) const {
    const float* x = base_.row(row);
    const size_t d = dim();
    switch (metric_) {
        case Metric::L2: {
            double s = 0.0;
            for (size_t i = 0; i < d; ++i) {
                double diff = static_cast<double>(query[i]) - static_cast<double>(x[i]);
                s += diff * diff;
            }
            return s;
        }
        case Metric::InnerProduct: return -dot_double(query, x, d);
        case Metric::Cosine: {
            if (qn == 0.0 || norms_[row] == 0.0) return 1.0;
            return 1.0 - dot_double(query, x, d) / (qn * norms_[row]);
        }
    }
    return 0.0;
}

double ExactIndex::tolerance(const float* query, double threshold) const {
    constexpr double kRel = 1e-5;
    double qn2 = dot_double(query, query, dim());
    switch (metric_) {
        case Metric::L2: return kRel * (std::abs(threshold) + qn2) + 1e-30;
        case Metric::InnerProduct: return kRel * std::sqrt(qn2) * max_norm_ + 1e-30;
        case Metric::Cosine: return kRel;
    }
    return 0.0;
}

void ExactIndex::candidates(const float* scores, size_t count, size_t first_row, size_t keep,
                            std::vector<std::pair<float, int64_t>>& heap) const {
    // Max-heap of the `keep` smallest (score, row) pairs seen so far.
    for (size_t j = 0; j < count; ++j) {
        float s = scores[j];
        if (metric_ == Metric::L2) s = half_sq_norms_[first_row + j] - s;
        else s = -s;
        std::pair<float, int64_t> cand{s, static_cast<int64_t>(first_row + j)};
        if (heap.size() < keep) {
            heap.push_back(cand);
            std::push_heap(heap.begin(), heap.end());
        } else if (cand < heap.front()) {
            std::pop_heap(heap.begin(), heap.end());
            heap.back() = cand;
            std::push_heap(heap.begin(), heap.end());
        }
    }
}

void ExactIndex::finish(const float* query, size_t k, std::vector<std::pair<float, int64_t>>& heap,
                        std::vector<std::pair<double, int64_t>>& rerank, int64_t* ids, float* distances) const {
    rerank.clear();
    const double qn = query_norm(query);
    for (const auto& c : heap) rerank.emplace_back(distance(query, qn, static_cast<size_t>(c.second)), c.second);
    std::sort(rerank.begin(), rerank.end());
    for (size_t i = 0; i < k; ++i) {
        if (i < rerank.size()) {
            ids[i] = rerank[i].second;
            distances[i] = static_cast<float>(rerank[i].first);
        } else {
            ids[i] = -1;
            distances[i] = kMissingDistance;
        }
    }
    heap.clear();
}

Neighbors ExactIndex::search(const float* queries, size_t nq, size_t k, unsigned threads) const {
    Neighbors out;
    out.nq = nq;
    out.k = k;
    out.ids.assign(nq * k, -1);
    out.distances.assign(nq * k, kMissingDistance);
    if (nq == 0 || k == 0) return out;
    const size_t n = size(), d = dim();
    const size_t keep = keep_for(k);
    const float* base = metric_ == Metric::Cosine ? normalized_.data() : base_.data.data();
    const size_t blocks = (nq + kQueryBlock - 1) / kQueryBlock;
    if (threads == 0) threads = hardware_threads();
    struct Worker {
        std::vector<float> c, qbuf;
        std::vector<std::vector<std::pair<float, int64_t>>> heaps;
        std::vector<std::pair<double, int64_t>> rerank;
    };
    std::vector<Worker> workers(std::min<size_t>(threads, blocks));
    parallel_items(blocks, threads, [&](unsigned w, size_t b) {
        Worker& wk = workers[w];
        const size_t q0 = b * kQueryBlock, qn = std::min(kQueryBlock, nq - q0);
        wk.c.resize(kQueryBlock * kBaseBlock);
        wk.heaps.resize(kQueryBlock);
        const float* qblock = queries + q0 * d;
        if (metric_ == Metric::Cosine) {
            wk.qbuf.resize(kQueryBlock * d);
            for (size_t i = 0; i < qn; ++i) normalize_into(queries + (q0 + i) * d, wk.qbuf.data() + i * d, d);
            qblock = wk.qbuf.data();
        }
        for (size_t x0 = 0; x0 < n; x0 += kBaseBlock) {
            const size_t xn = std::min(kBaseBlock, n - x0);
            dot_block(qblock, qn, base + x0 * d, xn, d, wk.c.data(), xn);
            for (size_t i = 0; i < qn; ++i) candidates(wk.c.data() + i * xn, xn, x0, keep, wk.heaps[i]);
        }
        for (size_t i = 0; i < qn; ++i) {
            const size_t q = q0 + i;
            finish(queries + q * d, k, wk.heaps[i], wk.rerank, out.ids.data() + q * k, out.distances.data() + q * k);
        }
    });
    return out;
}

void ExactIndex::search_one(const float* query, size_t k, int64_t* ids, float* distances, Scratch& s) const {
    const size_t n = size(), d = dim();
    s.scores.resize(n);
    const float* base = base_.data.data();
    const float* q = query;
    if (metric_ == Metric::Cosine) {
        base = normalized_.data();
        s.query.resize(d);
        normalize_into(query, s.query.data(), d);
        q = s.query.data();
    }
    dot_block(q, 1, base, n, d, s.scores.data(), n);
    s.heap.clear();
    candidates(s.scores.data(), n, 0, keep_for(k), s.heap);
    finish(query, k, s.heap, s.rerank, ids, distances);
}

std::vector<double> recall(const ExactIndex& exact, const float* queries, const Neighbors& gt,
                           const int64_t* result_ids, size_t result_k, size_t nq, std::span<const size_t> ats,
                           unsigned threads) {
    const size_t nb = exact.size(), d = exact.dim();
    nq = std::min(nq, gt.nq);
    std::vector<double> out(ats.size(), std::numeric_limits<double>::quiet_NaN());
    if (nq == 0) return out;
    for (size_t a = 0; a < ats.size(); ++a) {
        const size_t at = ats[a];
        if (at == 0 || at > result_k || at > gt.k) continue;
        std::vector<double> per_query(nq, 0.0);
        constexpr size_t kChunk = 64;
        parallel_items((nq + kChunk - 1) / kChunk, threads, [&](unsigned, size_t c) {
            std::vector<int64_t> truth, seen;
            for (size_t q = c * kChunk; q < std::min(nq, (c + 1) * kChunk); ++q) {
                const int64_t* g = gt.ids.data() + q * gt.k;
                truth.assign(g, g + at);
                truth.erase(std::remove(truth.begin(), truth.end(), int64_t{-1}), truth.end());
                if (truth.empty()) {
                    per_query[q] = 1.0;
                    continue;
                }
                std::sort(truth.begin(), truth.end());
                const double threshold = gt.distances[q * gt.k + truth.size() - 1];
                const float* query = queries + q * d;
                const double limit = threshold + exact.tolerance(query, threshold);
                seen.clear();
                size_t hits = 0;
                for (size_t i = 0; i < at; ++i) {
                    const int64_t id = result_ids[q * result_k + i];
                    if (id < 0 || static_cast<uint64_t>(id) >= nb) continue;
                    if (std::find(seen.begin(), seen.end(), id) != seen.end()) continue;
                    seen.push_back(id);
                    if (std::binary_search(truth.begin(), truth.end(), id) ||
                        exact.distance(query, static_cast<size_t>(id)) <= limit) {
                        ++hits;
                    }
                }
                per_query[q] = static_cast<double>(std::min(hits, truth.size())) / static_cast<double>(truth.size());
            }
        });
        double sum = 0.0;
        for (double v : per_query) sum += v;
        out[a] = sum / static_cast<double>(nq);
    }
    return out;
}

std::string ground_truth_file_name(const GroundTruthKey& key) {
    char hash[20];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(key.content_hash));
    return "gt-" + key.dataset + "-" + metric_name(key.metric) + "-nb" + std::to_string(key.nb) + "-nq" +
           std::to_string(key.nq) + "-d" + std::to_string(key.dim) + "-k" + std::to_string(key.k) + "-" + hash +
           ".bin";
}

std::optional<Neighbors> load_ground_truth(const std::string& path, size_t nq, size_t k) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    char magic[8];
    uint64_t hdr[2];
    in.read(magic, 8);
    in.read(reinterpret_cast<char*>(hdr), sizeof hdr);
    if (!in || std::memcmp(magic, kGtMagic, 8) != 0 || hdr[0] != nq) return std::nullopt;
    if (k == 0) k = hdr[1];
    if (hdr[1] != k || k > (uint64_t{1} << 20)) return std::nullopt;
    const uint64_t expected = 24 + static_cast<uint64_t>(nq) * k * (sizeof(int64_t) + sizeof(float));
    if (size != expected) return std::nullopt;
    Neighbors gt;
    gt.nq = nq;
    gt.k = k;
    gt.ids.resize(nq * k);
    gt.distances.resize(nq * k);
    in.read(reinterpret_cast<char*>(gt.ids.data()), static_cast<std::streamsize>(gt.ids.size() * sizeof(int64_t)));
    in.read(reinterpret_cast<char*>(gt.distances.data()),
            static_cast<std::streamsize>(gt.distances.size() * sizeof(float)));
    if (!in) return std::nullopt;
    return gt;
}

void save_ground_truth(const std::string& path, const Neighbors& gt) {
    const std::string tmp = path + ".tmp" + std::to_string(::getpid());
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error(tmp + ": cannot create");
        uint64_t hdr[2] = {gt.nq, gt.k};
        out.write(kGtMagic, 8);
        out.write(reinterpret_cast<const char*>(hdr), sizeof hdr);
        out.write(reinterpret_cast<const char*>(gt.ids.data()),
                  static_cast<std::streamsize>(gt.ids.size() * sizeof(int64_t)));
        out.write(reinterpret_cast<const char*>(gt.distances.data()),
                  static_cast<std::streamsize>(gt.distances.size() * sizeof(float)));
        if (!out) throw std::runtime_error(tmp + ": write failed");
    }
    std::filesystem::rename(tmp, path);
}

Neighbors neighbors_from_ids(const ExactIndex& exact, const float* queries, size_t nq, const IntMatrix& ids) {
    if (ids.rows < nq) {
        throw std::runtime_error("ground truth has " + std::to_string(ids.rows) + " rows for " + std::to_string(nq) +
                                 " queries");
    }
    Neighbors out;
    out.nq = nq;
    out.k = ids.cols;
    out.ids.resize(nq * out.k);
    out.distances.resize(nq * out.k);
    std::vector<std::pair<double, int64_t>> row;
    for (size_t q = 0; q < nq; ++q) {
        row.clear();
        for (size_t i = 0; i < ids.cols; ++i) {
            const int32_t id = ids.data[q * ids.cols + i];
            if (id >= 0 && static_cast<size_t>(id) < exact.size()) {
                row.emplace_back(exact.distance(queries + q * exact.dim(), static_cast<size_t>(id)), id);
            }
        }
        std::sort(row.begin(), row.end());
        for (size_t i = 0; i < out.k; ++i) {
            out.ids[q * out.k + i] = i < row.size() ? row[i].second : -1;
            out.distances[q * out.k + i] = i < row.size() ? static_cast<float>(row[i].first) : kMissingDistance;
        }
    }
    return out;
}

GroundTruthResult ground_truth(const Dataset& ds, const ExactIndex& exact, size_t k, const std::string& cache_dir,
                               unsigned threads) {
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    GroundTruthResult r;
    if (!cache_dir.empty()) {
        GroundTruthKey key{ds.name, ds.base.rows, ds.queries.rows, ds.dim(), exact.metric(), k, ds.content_hash()};
        r.path = (std::filesystem::path(cache_dir) / ground_truth_file_name(key)).string();
        if (auto cached = load_ground_truth(r.path, ds.queries.rows, k)) {
            r.neighbors = std::move(*cached);
            r.from_cache = true;
            r.seconds = elapsed();
            return r;
        }
    }
    r.neighbors = exact.search(ds.queries.data.data(), ds.queries.rows, k, threads);
    if (!r.path.empty()) {
        std::filesystem::create_directories(cache_dir);
        save_ground_truth(r.path, r.neighbors);
    }
    r.seconds = elapsed();
    return r;
}

}  // namespace tavren::ann
