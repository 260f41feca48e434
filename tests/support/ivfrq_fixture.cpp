#include "ivfrq_fixture.hpp"

#include <algorithm>
#include <numeric>

#include "distance.hpp"
#include "ivfrq_format.hpp"
#include "ivfsq_fixture.hpp"
#include "kmeans.hpp"
#include "memory_sink.hpp"
#include "numeric.hpp"

namespace tavren::testing {

RqFixture make_rq_fixture(size_t n, size_t d, size_t nlist, uint32_t metric, size_t bits, uint32_t seed) {
    RqFixture f{sq_rows(n, d, seed), std::vector<int64_t>(n), {}};
    for (size_t i = 0; i < n; ++i) f.ids[i] = static_cast<int64_t>((i * 7919) % (3 * n)) - 5;
    auto index = ivfrq::IVFRQIndex::with_options(d, nlist, bits, metric, rabitq::kDefaultSeed, rabitq::kDefaultRounds);
    index.set_approximate_coarse_assignment(false);
    index.train_with_config(f.rows, n, kmeans::KMeansConfig{});
    index.add(f.rows, f.ids, n);
    MemorySink sink;
    ivfrq_io::write_ivfrq_index(index, sink);
    f.file = sink.bytes();
    return f;
}

ivfrq_io::IVFRQIndexReader open_rq_reader(const std::vector<uint8_t>& file, MemorySource::Options options,
                                          MemorySource::Observer* observer, uint64_t memory_budget) {
    std::vector<uint8_t> header(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(64, file.size())));
    header.resize(64, 0);
    std::unique_ptr<io::SeekRead> source = MemorySource::make(file, options, observer);
    read_options::VectorIndexReaderOptions opts;
    opts.memory_budget_bytes = memory_budget;
    return ivfrq_io::IVFRQIndexReader::open_with_header_and_options(
        std::move(source), std::span<const uint8_t, 64>(header.data(), 64), opts);
}

float rq_row_estimate(const ivfrq_io::RQReadList& list, size_t j, const rabitq::RaBitQuantizer& quantizer,
                      const rabitq::RQQueryContext& ctx, float q_term) {
    const size_t bits = quantizer.bits;
    const size_t p = quantizer.plane_size;
    const size_t fields = ivfrq_format::factor_fields(bits);
    const size_t s = j / 32 * 32;
    const size_t n = std::min<size_t>(32, list.ids.size() - s);
    const size_t r = j - s;
    const uint8_t* block = list.codes().data() + s * bits * p;
    const float* fac = list.factors.data() + s * fields;
    float sign = 0.0f;
    for (size_t c = 0; c < p; ++c) sign += ctx.byte_lut[256 * c + block[c * n + r]];
    if (bits == 1) return (sign - 0.5f * ctx.query_sum) * fac[n + r] + (fac[r] + q_term);
    const float w0 = static_cast<float>(1u << (bits - 1));
    float acc = sign * w0;
    for (size_t b = 1; b < bits; ++b) {
        const float w = static_cast<float>(1u << (bits - 1 - b));
        for (size_t c = 0; c < p; ++c) acc += ctx.byte_lut[256 * c + block[b * n * p + c * n + r]] * w;
    }
    const float t = static_cast<float>((1u << bits) - 1) * 0.5f;
    return (acc - t * ctx.query_sum) * fac[4 * n + r] + (fac[3 * n + r] + q_term);
}

SearchResult rq_exhaustive(const std::vector<uint8_t>& file, std::span<const float> query, size_t k,
                           const row_id_filter::RowIdFilter* filter) {
    ivfrq_io::IVFRQIndexReader r = open_rq_reader(file);
    r.ensure_loaded();
    const size_t d = r.dimension();
    const std::vector<float> q = distance::preprocess_vectors(query, 1, d, r.metric());
    std::vector<float> rotated(r.padded_dimension()), scratch(r.padded_dimension());
    r.rotation().rotate(q, rotated, scratch);
    const rabitq::RQQueryContext ctx = r.quantizer().prepare_query(rotated);
    const float qn = distance::fvec_norm_l2sqr(q);
    const kmeans::TopKBatch probes = kmeans::find_topk_batch_with_centroid_norms(
        q, 1, r.centroids(), r.centroid_norms(), r.nlist(), d, r.nlist());
    std::vector<float> probe_distance(r.nlist());
    for (size_t i = 0; i < probes.lists[0].size(); ++i) probe_distance[probes.lists[0][i]] = probes.distances[0][i];
    std::vector<size_t> every(r.nlist());
    std::iota(every.begin(), every.end(), size_t{0});
    std::vector<std::pair<float, int64_t>> all;
    for (const ivfrq_io::RQReadList& list : r.read_lists(every)) {
        const size_t l = list.list_id;
        // The coarse distance exactly as the search's probe selection gives it.
        const float coarse = probe_distance[l];
        const rabitq::RQQueryTerms t = rabitq::query_terms(coarse, r.metric(), qn, r.centroid_norms()[l]);
        for (size_t j = 0; j < list.ids.size(); ++j) {
            if (filter != nullptr && !filter->contains(list.ids[j])) continue;
            all.emplace_back(rq_row_estimate(list, j, r.quantizer(), ctx, t.q_term), list.ids[j]);
        }
    }
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

}  // namespace tavren::testing
