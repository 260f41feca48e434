// A stand-in for the library's C interface, for testing the harness on its
// own: the exports the harness calls, over a deliberately simple inverted
// file (centroids = evenly spaced training rows, exact scans of the probed
// lists, one read call per search for all probed lists). Its file layout is
// its own. It exists so that the harness's build, host callbacks, child
// processes, tables and JSON can be exercised before and apart from the
// real indexes; it is never part of the library.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tavren_dadiza.h"

namespace {

thread_local std::string g_last_error;
thread_local bool g_has_error = false;

int fail(const std::string& text) {
    g_last_error = text;
    g_has_error = true;
    return -1;
}

template <class T>
T* fail_null(const std::string& text) {
    fail(text);
    return nullptr;
}

constexpr char kMagic[8] = {'F', 'A', 'K', 'E', 'I', 'V', 'F', '1'};

struct Index {
    size_t dim = 0, nlist = 0;
    uint32_t metric = 0;
    std::vector<float> training, centroids;
    std::vector<std::vector<int64_t>> ids;
    std::vector<std::vector<float>> rows;
};

float distance(uint32_t metric, const float* a, const float* b, size_t d) {
    float dot = 0, l2 = 0, na = 0, nb = 0;
    for (size_t i = 0; i < d; ++i) {
        dot += a[i] * b[i];
        l2 += (a[i] - b[i]) * (a[i] - b[i]);
        na += a[i] * a[i];
        nb += b[i] * b[i];
    }
    if (metric == 0) return l2;
    if (metric == 1) return -dot;
    return (na == 0 || nb == 0) ? 1.0f : 1.0f - dot / std::sqrt(na * nb);
}

size_t nearest_centroid(const Index& x, const float* v) {
    size_t best = 0;
    float bd = std::numeric_limits<float>::infinity();
    for (size_t c = 0; c < x.nlist; ++c) {
        float d = distance(0, v, x.centroids.data() + c * x.dim, x.dim);
        if (d < bd) {
            bd = d;
            best = c;
        }
    }
    return best;
}

void put(std::vector<uint8_t>& out, const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    out.insert(out.end(), b, b + n);
}

}  // namespace

struct TavrenDadizaTrainerHandle {
    std::optional<Index> index;
};
struct TavrenDadizaTrainingHandle {
    std::optional<Index> index;
};
struct TavrenDadizaWriterHandle {
    Index index;
};
struct TavrenDadizaReaderHandle {
    FfiInputFile input;
    size_t dim = 0, nlist = 0, n = 0;
    uint32_t metric = 0;
    bool loaded = false;
    std::vector<float> centroids;
    std::vector<uint64_t> offsets, counts;
};

extern "C" {

const char* tavren_dadiza_last_error(void) { return g_has_error ? g_last_error.c_str() : nullptr; }

TavrenDadizaTrainerHandle* tavren_dadiza_trainer_open(const char* const* keys, const char* const* values, size_t count) {
    Index x;
    std::string type;
    for (size_t i = 0; i < count; ++i) {
        std::string k = keys[i], v = values[i];
        if (k == "index.type") type = v;
        else if (k == "dimension") x.dim = std::stoul(v);
        else if (k == "nlist") x.nlist = std::stoul(v);
        else if (k == "metric") x.metric = v == "l2" ? 0 : v == "inner_product" ? 1 : 2;
    }
    if (type.empty()) return fail_null<TavrenDadizaTrainerHandle>("invalid vector index options: missing required option 'index.type'");
    if (x.dim == 0) return fail_null<TavrenDadizaTrainerHandle>("invalid vector index options: missing required option 'dimension'");
    if (x.nlist == 0) x.nlist = 16;
    auto* h = new TavrenDadizaTrainerHandle;
    h->index = std::move(x);
    return h;
}

int tavren_dadiza_trainer_dimension(const TavrenDadizaTrainerHandle* t, size_t* out) {
    if (!t || !t->index) return fail("trainer has already finished");
    *out = t->index->dim;
    return 0;
}

int tavren_dadiza_trainer_add_training_vectors(TavrenDadizaTrainerHandle* t, const float* data, size_t count) {
    if (!t || !t->index) return fail("trainer has already finished");
    t->index->training.insert(t->index->training.end(), data, data + count * t->index->dim);
    return 0;
}

TavrenDadizaTrainingHandle* tavren_dadiza_trainer_finish(TavrenDadizaTrainerHandle* t) {
    if (!t || !t->index) return fail_null<TavrenDadizaTrainingHandle>("trainer has already finished");
    Index x = std::move(*t->index);
    t->index.reset();
    const size_t n = x.training.size() / x.dim;
    if (n < x.nlist) return fail_null<TavrenDadizaTrainingHandle>("finish training: too few training vectors");
    for (size_t c = 0; c < x.nlist; ++c) {
        const float* row = x.training.data() + (c * n / x.nlist) * x.dim;
        x.centroids.insert(x.centroids.end(), row, row + x.dim);
    }
    x.training.clear();
    x.ids.resize(x.nlist);
    x.rows.resize(x.nlist);
    auto* h = new TavrenDadizaTrainingHandle;
    h->index = std::move(x);
    return h;
}

void tavren_dadiza_trainer_free(TavrenDadizaTrainerHandle* t) { delete t; }
void tavren_dadiza_training_free(TavrenDadizaTrainingHandle* t) { delete t; }

TavrenDadizaWriterHandle* tavren_dadiza_writer_open(TavrenDadizaTrainingHandle* t) {
    if (!t || !t->index) return fail_null<TavrenDadizaWriterHandle>("training has already been consumed");
    auto* w = new TavrenDadizaWriterHandle{std::move(*t->index)};
    t->index.reset();
    return w;
}

int tavren_dadiza_writer_dimension(const TavrenDadizaWriterHandle* w, size_t* out) {
    *out = w->index.dim;
    return 0;
}

int tavren_dadiza_writer_add_vectors(TavrenDadizaWriterHandle* w, const int64_t* ids, const float* data, size_t count) {
    Index& x = w->index;
    for (size_t i = 0; i < count; ++i) {
        size_t c = nearest_centroid(x, data + i * x.dim);
        x.ids[c].push_back(ids[i]);
        x.rows[c].insert(x.rows[c].end(), data + i * x.dim, data + (i + 1) * x.dim);
    }
    return 0;
}

int tavren_dadiza_writer_write_index(TavrenDadizaWriterHandle* w, FfiOutputCallbacks out) {
    const Index& x = w->index;
    std::vector<uint8_t> head;
    put(head, kMagic, 8);
    uint64_t n = 0;
    for (const auto& l : x.ids) n += l.size();
    uint64_t fields[4] = {x.dim, x.nlist, n, x.metric};
    put(head, fields, sizeof fields);
    put(head, x.centroids.data(), x.centroids.size() * 4);
    // Offsets relative to the start of the file as the writer sees it.
    uint64_t pos = head.size() + x.nlist * 16;
    for (size_t c = 0; c < x.nlist; ++c) {
        uint64_t e[2] = {pos, x.ids[c].size()};
        put(head, e, sizeof e);
        pos += x.ids[c].size() * (8 + 4 * x.dim);
    }
    if (out.write_fn(out.user_data, head.data(), head.size()) != 0) return fail("write index: write callback failed");
    for (size_t c = 0; c < x.nlist; ++c) {
        std::vector<uint8_t> list;
        put(list, x.ids[c].data(), x.ids[c].size() * 8);
        put(list, x.rows[c].data(), x.rows[c].size() * 4);
        if (out.write_fn(out.user_data, list.data(), list.size()) != 0) return fail("write index: write callback failed");
    }
    if (out.flush_fn && out.flush_fn(out.user_data) != 0) return fail("flush index: flush callback failed");
    return 0;
}

void tavren_dadiza_writer_free(TavrenDadizaWriterHandle* w) { delete w; }

static bool read_ranges(const FfiInputFile& in, std::vector<FfiReadRange>& r) {
    return !r.empty() && in.read_ranges_fn && in.read_ranges_fn(in.user_data, r.data(), r.size()) == 0;
}

TavrenDadizaReaderHandle* tavren_dadiza_reader_open_with_options(FfiInputFile input, uint64_t) {
    auto h = std::make_unique<TavrenDadizaReaderHandle>();
    h->input = input;
    uint8_t head[40];
    std::vector<FfiReadRange> r = {{0, head, sizeof head}};
    if (!read_ranges(input, r)) return fail_null<TavrenDadizaReaderHandle>("open reader: read_ranges callback failed");
    if (std::memcmp(head, kMagic, 8) != 0) {
        uint32_t magic;
        std::memcpy(&magic, head, 4);
        char text[80];
        std::snprintf(text, sizeof text, "open reader: unknown vector index magic: 0x%08X", magic);
        return fail_null<TavrenDadizaReaderHandle>(text);
    }
    uint64_t f[4];
    std::memcpy(f, head + 8, sizeof f);
    h->dim = f[0];
    h->nlist = f[1];
    h->n = f[2];
    h->metric = static_cast<uint32_t>(f[3]);
    return h.release();
}

TavrenDadizaReaderHandle* tavren_dadiza_reader_open(FfiInputFile input) {
    return tavren_dadiza_reader_open_with_options(input, 4294967296ull);
}

void tavren_dadiza_reader_free(TavrenDadizaReaderHandle* r) { delete r; }

int tavren_dadiza_reader_metadata(const TavrenDadizaReaderHandle* r, FfiIndexMetadata* out) {
    *out = FfiIndexMetadata{};
    out->index_type = 0;
    out->dimension = r->dim;
    out->nlist = r->nlist;
    out->metric = r->metric;
    out->vector_count = static_cast<int64_t>(r->n);
    return 0;
}

int tavren_dadiza_reader_read_plan(const TavrenDadizaReaderHandle*, FfiReadPlan* out) {
    *out = FfiReadPlan{};
    return 0;
}

static int load(TavrenDadizaReaderHandle* r) {
    if (r->loaded) return 0;
    r->centroids.resize(r->nlist * r->dim);
    std::vector<uint64_t> table(r->nlist * 2);
    std::vector<FfiReadRange> rr = {{40, reinterpret_cast<uint8_t*>(r->centroids.data()), r->centroids.size() * 4},
                                    {40 + r->centroids.size() * 4, reinterpret_cast<uint8_t*>(table.data()), table.size() * 8}};
    if (!read_ranges(r->input, rr)) return fail("read_ranges callback failed");
    for (size_t c = 0; c < r->nlist; ++c) {
        r->offsets.push_back(table[2 * c]);
        r->counts.push_back(table[2 * c + 1]);
    }
    r->loaded = true;
    return 0;
}

int tavren_dadiza_reader_optimize_for_search(TavrenDadizaReaderHandle* r) {
    return load(r) == 0 ? 0 : fail("optimize_for_search: " + g_last_error);
}

static int search_one(TavrenDadizaReaderHandle* r, const float* q, const FfiSearchParams& p, int64_t* ids, float* dist) {
    if (load(r) != 0) return -1;
    if (p.top_k == 0) return fail("top_k must be greater than 0");
    if (p.width_type != TAVREN_DADIZA_WIDTH_NPROBE && p.width_type != TAVREN_DADIZA_WIDTH_AUTO) {
        return fail("DiskANN l_search cannot be used with an IVF index");
    }
    size_t nprobe = p.width_type == TAVREN_DADIZA_WIDTH_AUTO ? r->nlist : std::min<size_t>(p.width, r->nlist);
    if (nprobe == 0) return fail("nprobe must be greater than 0");
    std::vector<std::pair<float, size_t>> order;
    for (size_t c = 0; c < r->nlist; ++c) order.emplace_back(distance(0, q, r->centroids.data() + c * r->dim, r->dim), c);
    std::sort(order.begin(), order.end());
    std::vector<std::vector<uint8_t>> bufs(nprobe);
    std::vector<FfiReadRange> rr;
    for (size_t i = 0; i < nprobe; ++i) {
        size_t c = order[i].second;
        bufs[i].resize(r->counts[c] * (8 + 4 * r->dim));
        rr.push_back({r->offsets[c], bufs[i].data(), bufs[i].size()});
    }
    if (!read_ranges(r->input, rr)) return fail("read_ranges callback failed");
    std::vector<std::pair<float, int64_t>> hits;
    for (size_t i = 0; i < nprobe; ++i) {
        size_t c = order[i].second, cnt = r->counts[c];
        const uint8_t* b = bufs[i].data();
        for (size_t j = 0; j < cnt; ++j) {
            int64_t id;
            std::memcpy(&id, b + j * 8, 8);
            const float* v = reinterpret_cast<const float*>(b + cnt * 8) + j * r->dim;
            hits.emplace_back(distance(r->metric, q, v, r->dim), id);
        }
    }
    std::sort(hits.begin(), hits.end());
    for (size_t i = 0; i < p.top_k; ++i) {
        ids[i] = i < hits.size() ? hits[i].second : -1;
        dist[i] = i < hits.size() ? hits[i].first : std::numeric_limits<float>::max();
    }
    return 0;
}

int tavren_dadiza_reader_search(TavrenDadizaReaderHandle* r, const float* q, FfiSearchParams p, int64_t* ids,
                                float* dist, size_t cap) {
    if (cap < p.top_k) return fail("result buffers length is too small");
    if (search_one(r, q, p, ids, dist) != 0) return fail("search: " + g_last_error);
    return 0;
}

int tavren_dadiza_reader_search_batch(TavrenDadizaReaderHandle* r, const float* qs, size_t nq, FfiSearchParams p,
                                      int64_t* ids, float* dist, size_t cap) {
    if (cap < nq * p.top_k) return fail("result buffers length is too small");
    for (size_t q = 0; q < nq; ++q) {
        if (search_one(r, qs + q * r->dim, p, ids + q * p.top_k, dist + q * p.top_k) != 0) {
            return fail("search_batch: " + g_last_error);
        }
    }
    return 0;
}

int tavren_dadiza_reader_search_batch_v2(TavrenDadizaReaderHandle* r, const float* qs, size_t nq, FfiSearchParamsV2 p,
                                         int64_t* ids, float* dist, size_t cap) {
    // The fake has no table reuse: the modes answer alike.
    if (p.ivfpq_table_reuse_mode > 2 || p.ivfpq_table_reuse_max_bytes == 0) return fail("invalid table reuse");
    return tavren_dadiza_reader_search_batch(r, qs, nq, FfiSearchParams{p.top_k, p.width_type, p.width}, ids, dist,
                                             cap);
}

}  // extern "C"
