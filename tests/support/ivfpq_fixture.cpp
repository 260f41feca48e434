#include "ivfpq_fixture.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <utility>

#include "distance.hpp"
#include "memory_sink.hpp"
#include "memory_source.hpp"
#include "metric.hpp"
#include "numeric.hpp"
#include "opq.hpp"
#include "pq.hpp"

namespace tavren::testing {

PqFixture make_pq_fixture(uint32_t metric, size_t d, size_t m, size_t nbits, size_t nlist, size_t n, uint32_t seed,
                          bool rotation) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    pq::ProductQuantizer quantizer = pq::ProductQuantizer::with_nbits(d, m, nbits);
    std::vector<float> codebook(d * quantizer.ksub());
    for (float& x : codebook) x = u(rng);
    quantizer.set_centroids(std::move(codebook));
    std::vector<float> centroids(nlist * d);
    for (float& x : centroids) x = 2.0f * u(rng);
    std::optional<opq::OPQMatrix> opq;
    if (rotation) {
        std::vector<size_t> perm(d);
        for (size_t i = 0; i < d; ++i) perm[i] = i;
        std::shuffle(perm.begin(), perm.end(), rng);
        std::vector<float> r(d * d, 0.0f);
        for (size_t i = 0; i < d; ++i) r[i * d + perm[i]] = (i % 2 == 0) ? 1.0f : -1.0f;
        opq = opq::OPQMatrix::from_rotation(d, m, std::move(r));
    }
    std::vector<std::vector<int64_t>> ids(nlist);
    std::vector<std::vector<uint8_t>> codes(nlist);
    const size_t code_size = quantizer.code_size();
    std::uniform_int_distribution<size_t> pick(0, nlist - 1);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<int64_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = static_cast<int64_t>(i);
    std::shuffle(order.begin(), order.end(), rng);
    for (int64_t id : order) {
        const size_t l = pick(rng);
        ids[l].push_back(id);
        for (size_t k = 0; k < code_size; ++k) codes[l].push_back(static_cast<uint8_t>(byte(rng)));
    }
    PqFixture f{ivfpq::IVFPQIndex::from_parts(d, nlist, metric, std::move(centroids), std::move(quantizer),
                                              std::move(opq), std::move(ids), std::move(codes)),
                {}};
    MemorySink sink;
    ivfpq_io::write_ivfpq_index(f.index, sink);
    f.file = sink.bytes();
    return f;
}

ivfpq_io::IVFPQIndexReader open_pq_reader(std::vector<uint8_t> bytes) {
    std::array<uint8_t, 64> header{};
    std::memcpy(header.data(), bytes.data(), 64);
    return ivfpq_io::IVFPQIndexReader::open_with_header(std::make_unique<MemorySource>(std::move(bytes)), header);
}

namespace {

std::vector<float> prepared(const ivfpq::IVFPQIndex& index, std::span<const float> query) {
    std::vector<float> q(query.begin(), query.end());
    if (index.metric() == kMetricCosine) distance::fvec_normalize(q);
    if (index.opq()) {
        std::vector<float> r(q.size());
        index.opq()->apply(q, r);
        return r;
    }
    return q;
}

SearchResult ranked(std::vector<std::pair<float, int64_t>> all, size_t k) {
    std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
        if (a.first != b.first) return total_order_less(a.first, b.first);
        return a.second < b.second;
    });
    SearchResult out;
    out.ids.assign(k, -1);
    out.distances.assign(k, kF32Max);
    for (size_t i = 0; i < k && i < all.size(); ++i) {
        out.distances[i] = all[i].first;
        out.ids[i] = all[i].second;
    }
    return out;
}

}  // namespace

SearchResult brute_force_pq(const ivfpq::IVFPQIndex& index, std::span<const float> query, size_t k,
                            const row_id_filter::RowIdFilter* filter) {
    const pq::ProductQuantizer& quantizer = index.pq();
    const size_t d = index.dimension();
    const size_t m = quantizer.m();
    const size_t ksub = quantizer.ksub();
    const size_t code_size = quantizer.code_size();
    const std::vector<float> q = prepared(index, query);
    std::vector<float> table(m * ksub);
    std::vector<float> residual(d);
    std::vector<std::pair<float, int64_t>> all;
    for (size_t l = 0; l < index.nlist(); ++l) {
        if (index.by_residual()) {
            distance::fvec_madd(q, -1.0f, std::span<const float>(index.centroids()).subspan(l * d, d), residual);
            quantizer.compute_distance_table(residual, index.metric(), table);
        } else {
            quantizer.compute_distance_table(q, index.metric(), table);
        }
        const auto& ids = index.list_ids()[l];
        const auto& codes = index.list_codes()[l];
        for (size_t r = 0; r < ids.size(); ++r) {
            if (filter != nullptr && !filter->contains(ids[r])) continue;
            const uint8_t* c = codes.data() + r * code_size;
            float s;
            if (ksub == 256) {
                s = table[c[0]] + 0.0f;
                for (size_t j = 1; j < m; ++j) s = s + table[j * 256 + c[j]];
            } else {
                s = 0.0f;
                for (size_t b = 0; b < code_size; ++b) {
                    s = s + table[32 * b + (c[b] & 0xF)];
                    s = s + table[32 * b + 16 + (c[b] >> 4)];
                }
                s = s + 0.0f;
            }
            all.emplace_back(s, ids[r]);
        }
    }
    return ranked(std::move(all), k);
}

SearchResult decoded_ranking(const ivfpq::IVFPQIndex& index, std::span<const float> query, size_t k) {
    const pq::ProductQuantizer& quantizer = index.pq();
    const size_t d = index.dimension();
    const size_t code_size = quantizer.code_size();
    const std::vector<float> q = prepared(index, query);
    std::vector<float> x(d);
    std::vector<std::pair<float, int64_t>> all;
    for (size_t l = 0; l < index.nlist(); ++l) {
        const auto& ids = index.list_ids()[l];
        for (size_t r = 0; r < ids.size(); ++r) {
            quantizer.decode(std::span<const uint8_t>(index.list_codes()[l]).subspan(r * code_size, code_size), x);
            if (index.by_residual()) {
                for (size_t t = 0; t < d; ++t) x[t] += index.centroids()[l * d + t];
            }
            float dist = 0.0f;
            if (index.metric() == kMetricInnerProduct) {
                for (size_t t = 0; t < d; ++t) dist -= q[t] * x[t];
            } else {
                for (size_t t = 0; t < d; ++t) dist += (q[t] - x[t]) * (q[t] - x[t]);
            }
            all.emplace_back(dist, ids[r]);
        }
    }
    return ranked(std::move(all), k);
}

}  // namespace tavren::testing
