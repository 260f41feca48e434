#include "measure.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <type_traits>

#include "library.hpp"
#include "parallel.hpp"

namespace tavren::ann {
namespace {

constexpr std::array<size_t, 3> kRecallAts = {1, 10, 100};

uint64_t status_field_kib(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t n = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') {
            return std::strtoull(line.c_str() + n + 1, nullptr, 10);
        }
    }
    return 0;
}

void set_recall(SearchRow& row, const std::vector<double>& r) {
    row.recall1 = r[0];
    row.recall10 = r[1];
    row.recall100 = r[2];
}

double per_query(uint64_t value, uint64_t queries) {
    return queries == 0 ? 0.0 : static_cast<double>(value) / static_cast<double>(queries);
}

// The fields of a SearchRow in their tab-separated order: fn(field) for each.
template <class Row, class Fn>
void for_each_tsv_field(Row& r, Fn&& fn) {
    fn(r.index);
    fn(r.mode);
    fn(r.latency_us);
    fn(r.threads);
    fn(r.width_type);
    fn(r.width);
    fn(r.recall1);
    fn(r.recall10);
    fn(r.recall100);
    fn(r.single_qps);
    fn(r.single_queries);
    fn(r.batch_qps);
    fn(r.batch_queries);
    fn(r.recall_queries);
    fn(r.single_calls_per_query);
    fn(r.single_ranges_per_query);
    fn(r.single_bytes_per_query);
    fn(r.batch_calls_per_query);
    fn(r.batch_bytes_per_query);
    fn(r.single_batch_mismatches);
    fn(r.open_ms);
    fn(r.reader_rss_bytes);
    fn(r.single_p50_us);
    fn(r.single_p99_us);
    fn(r.read_profile);
    fn(r.beam_width);
    fn(r.window_bytes);
}

void get_tsv(const std::string& s, std::string& v) { v = s; }
void get_tsv(const std::string& s, uint64_t& v) { v = std::stoull(s); }
void get_tsv(const std::string& s, unsigned& v) { v = static_cast<unsigned>(std::stoul(s)); }
void get_tsv(const std::string& s, double& v) {
    v = s == "nan" ? std::numeric_limits<double>::quiet_NaN() : std::stod(s);
}

}  // namespace

bool results_differ(const float* a, const float* b, size_t k) {
    for (size_t i = 0; i < k; ++i) {
        const double x = a[i], y = b[i];
        if (x == y) continue;
        if (std::abs(x - y) > 1e-5 * std::max(std::abs(x), std::abs(y))) return true;
    }
    return false;
}

double now_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

uint64_t peak_rss_bytes() { return status_field_kib("VmHWM") * 1024; }
uint64_t current_rss_bytes() { return status_field_kib("VmRSS") * 1024; }
uint64_t children_peak_rss_bytes() {
    rusage ru{};
    if (getrusage(RUSAGE_CHILDREN, &ru) != 0) return 0;
    return static_cast<uint64_t>(ru.ru_maxrss) * 1024;
}

std::string cpu_model() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            auto start = line.find_first_not_of(' ', line.find(':') + 1);
            return start == std::string::npos ? "" : line.substr(start);
        }
    }
    return "";
}

std::string SearchRow::to_tsv() const {
    std::ostringstream os;
    os.precision(17);  // doubles round-trip exactly
    const char* sep = "";
    for_each_tsv_field(*this, [&]<class T>(const T& v) {
        os << sep;
        sep = "\t";
        if constexpr (std::is_floating_point_v<T>) {
            if (std::isnan(v)) {
                os << "nan";
                return;
            }
        }
        os << v;
    });
    return os.str();
}

SearchRow SearchRow::from_tsv(const std::string& line) {
    std::vector<std::string> f;
    std::string cur;
    std::istringstream is(line);
    while (std::getline(is, cur, '\t')) f.push_back(cur);
    SearchRow r;
    size_t fields = 0;
    for_each_tsv_field(r, [&](const auto&) { ++fields; });
    if (f.size() != fields) throw std::runtime_error("malformed result row: " + line);
    size_t i = 0;
    for_each_tsv_field(r, [&](auto& v) { get_tsv(f[i++], v); });
    return r;
}

double percentile(std::vector<double>& values, double p) {
    if (values.empty()) return 0.0;
    const double n = static_cast<double>(values.size());
    size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * n));
    rank = std::clamp<size_t>(rank, 1, values.size());
    std::nth_element(values.begin(), values.begin() + static_cast<ptrdiff_t>(rank - 1), values.end());
    return values[rank - 1];
}

std::string read_profile_name(uint64_t window_bytes, uint64_t beam_width) {
    if (window_bytes == 0 && beam_width == 0) return "-";
    struct P {
        const char* name;
        uint64_t window, beam;
    };
    constexpr P kProfiles[] = {
        {"memory", 4096, 1}, {"local_storage", 16384, 4}, {"remote_storage", 32768, 16}, {"object_store", 65536, 16}};
    for (const P& p : kProfiles) {
        if (p.window == window_bytes && p.beam == beam_width) return p.name;
    }
    return "custom";
}

Timed time_single(size_t nq, unsigned threads, double budget_s, const std::function<void(unsigned, size_t)>& fn,
                  std::vector<double>* latencies_us) {
    Timed t;
    if (nq == 0) return t;
    if (threads == 0) threads = hardware_threads();
    std::atomic<size_t> next{0};
    std::atomic<bool> out_of_time{false};
    const double start = now_seconds();
    const double deadline = start + budget_s;
    // Each worker pulls query numbers in ascending order, so the queries done
    // are always 0 .. done-1.
    parallel_items(threads, threads, [&](unsigned worker, size_t) {
        for (;;) {
            if (out_of_time.load(std::memory_order_relaxed)) return;
            if (now_seconds() >= deadline) {
                out_of_time.store(true, std::memory_order_relaxed);
                return;
            }
            size_t q = next.fetch_add(1, std::memory_order_relaxed);
            if (q >= nq) return;
            if (latencies_us == nullptr) {
                fn(worker, q);
                continue;
            }
            const double t0 = now_seconds();
            fn(worker, q);
            (*latencies_us)[q] = (now_seconds() - t0) * 1e6;
        }
    });
    t.seconds = now_seconds() - start;
    t.queries = std::min(next.load(), nq);
    return t;
}

Timed time_batch(size_t nq, size_t batch, double budget_s, const std::function<void(size_t, size_t)>& fn) {
    Timed t;
    if (nq == 0) return t;
    if (batch == 0) batch = nq;
    const double start = now_seconds();
    size_t done = 0;
    while (done < nq) {
        const size_t n = std::min(batch, nq - done);
        fn(done, n);
        done += n;
        if (now_seconds() - start >= budget_s) break;
    }
    t.seconds = now_seconds() - start;
    t.queries = done;
    return t;
}

SearchRow measure_exact(const ExactIndex& exact, const Dataset& ds, const Neighbors& gt, unsigned threads,
                        const MeasureConfig& cfg) {
    const size_t nq = ds.queries.rows, k = cfg.top_k;
    SearchRow row{.index = "exact", .mode = "-", .threads = threads, .width_type = "-"};
    std::vector<int64_t> ids(nq * k);
    std::vector<float> dist(nq * k);
    std::vector<ExactIndex::Scratch> scratch(threads);
    Timed single = time_single(nq, threads, cfg.time_budget_s, [&](unsigned w, size_t q) {
        exact.search_one(ds.queries.row(q), k, ids.data() + q * k, dist.data() + q * k, scratch[w]);
    });
    std::vector<int64_t> batch_ids(nq * k);
    // One 128-query block per thread and batch: every thread busy, and the
    // time budget checked often enough.
    const size_t chunk = std::min<size_t>(cfg.batch_size, size_t{128} * std::max(1u, threads));
    Timed batch = time_batch(nq, chunk, cfg.time_budget_s, [&](size_t first, size_t n) {
        Neighbors r = exact.search(ds.queries.row(first), n, k, threads);
        std::copy(r.ids.begin(), r.ids.end(), batch_ids.begin() + static_cast<ptrdiff_t>(first * k));
    });
    row.single_qps = single.qps();
    row.single_queries = single.queries;
    row.batch_qps = batch.qps();
    row.batch_queries = batch.queries;
    row.recall_queries = batch.queries;
    set_recall(row, recall(exact, ds.queries.data.data(), gt, batch_ids.data(), k, batch.queries, kRecallAts));
    for (size_t q = 0; q < std::min(single.queries, batch.queries); ++q) {
        if (!std::equal(ids.begin() + q * k, ids.begin() + (q + 1) * k, batch_ids.begin() + q * k)) {
            ++row.single_batch_mismatches;
        }
    }
    return row;
}

const char* width_type_name(uint32_t width_type) {
    switch (width_type) {
        case TAVREN_DADIZA_WIDTH_AUTO: return "auto";
        case TAVREN_DADIZA_WIDTH_NPROBE: return "nprobe";
        case TAVREN_DADIZA_WIDTH_L_SEARCH: return "l_search";
    }
    return "?";
}

std::vector<SearchRow> sweep_reader(InputSource& source, const Dataset& ds, const ExactIndex& exact,
                                    const Neighbors& gt, const SweepSpec& spec, const MeasureConfig& cfg,
                                    const std::function<void(const SearchRow&)>& on_row) {
    const size_t nq = ds.queries.rows, d = ds.dim(), k = cfg.top_k;
    const unsigned threads = std::max(1u, spec.threads);
    const uint64_t rss_before = current_rss_bytes();
    std::vector<std::unique_ptr<Reader>> readers;
    const double t_open = now_seconds();
    readers.push_back(std::make_unique<Reader>(source.record(), spec.memory_budget));
    readers[0]->optimize_for_search();
    const double open_ms = (now_seconds() - t_open) * 1e3;
    const FfiIndexMetadata meta = readers[0]->metadata();
    if (meta.dimension != d) {
        throw std::runtime_error("index dimension " + std::to_string(meta.dimension) + " does not match data dimension " +
                                 std::to_string(d));
    }
    std::string read_profile = "-";
    uint64_t beam_width = 0, window_bytes = 0;
    if (meta.index_type == 5) {
        const FfiReadPlan plan = readers[0]->read_plan();
        beam_width = plan.beam_width;
        window_bytes = plan.window_bytes;
        read_profile = read_profile_name(window_bytes, beam_width);
    }
    std::vector<double> latencies(nq);
    for (unsigned t = 1; t < threads; ++t) {
        readers.push_back(std::make_unique<Reader>(source.record(), spec.memory_budget));
        readers.back()->optimize_for_search();
    }
    std::vector<int64_t> single_ids(nq * k), batch_ids(nq * k);
    std::vector<float> single_dist(nq * k), batch_dist(nq * k);
    std::vector<SearchRow> rows;
    for (uint64_t width : spec.widths) {
        const FfiSearchParams params =
            search_params(k, spec.width_type, spec.width_type == TAVREN_DADIZA_WIDTH_AUTO ? 0 : width);
        SearchRow row;
        row.index = spec.index_label;
        row.mode = spec.mode;
        row.latency_us = source.latency_ns() / 1000;
        row.threads = threads;
        row.width_type = width_type_name(spec.width_type);
        row.width = params.width;
        row.open_ms = open_ms;
        row.read_profile = read_profile;
        row.beam_width = beam_width;
        row.window_bytes = window_bytes;

        auto one_single = [&](unsigned w, size_t q) {
            readers[w]->search(ds.queries.row(q), params, single_ids.data() + q * k, single_dist.data() + q * k);
        };
        if (cfg.warmup_s > 0) time_single(nq, threads, cfg.warmup_s, one_single);
        source.counters().reset();
        Timed single = time_single(nq, threads, cfg.time_budget_s, one_single, &latencies);
        const IoSnapshot s_io = source.counters().snapshot();
        {
            std::vector<double> done(latencies.begin(), latencies.begin() + static_cast<ptrdiff_t>(single.queries));
            row.single_p50_us = percentile(done, 50.0);
            row.single_p99_us = percentile(done, 99.0);
        }

        auto search_batch = [&](size_t first, size_t n) {
            readers[0]->search_batch(ds.queries.row(first), n, params, cfg.pq_table_reuse, batch_ids.data() + first * k,
                                     batch_dist.data() + first * k);
        };
        // The batch reader warms as the single readers did: its first batches
        // allocate and first touch its read buffers, which a long-running host
        // pays once, not per second of searching.
        if (cfg.warmup_s > 0) time_batch(nq, cfg.batch_size, cfg.warmup_s, search_batch);
        source.counters().reset();
        Timed batch = time_batch(nq, cfg.batch_size, cfg.time_budget_s, search_batch);
        const IoSnapshot b_io = source.counters().snapshot();
        size_t recall_queries = batch.queries;
        if (cfg.complete_recall) {
            // The queries the budget left out, untimed, in batches of the same size.
            const size_t from = batch.queries;
            time_batch(nq - from, cfg.batch_size, std::numeric_limits<double>::infinity(),
                       [&](size_t first, size_t n) { search_batch(from + first, n); });
            recall_queries = nq;
        }

        row.single_qps = single.qps();
        row.single_queries = single.queries;
        row.batch_qps = batch.qps();
        row.batch_queries = batch.queries;
        row.recall_queries = recall_queries;
        row.single_calls_per_query = per_query(s_io.calls, single.queries);
        row.single_ranges_per_query = per_query(s_io.ranges, single.queries);
        row.single_bytes_per_query = per_query(s_io.bytes, single.queries);
        row.batch_calls_per_query = per_query(b_io.calls, batch.queries);
        row.batch_bytes_per_query = per_query(b_io.bytes, batch.queries);
        set_recall(row, recall(exact, ds.queries.data.data(), gt, batch_ids.data(), k, recall_queries, kRecallAts));
        for (size_t q = 0; q < std::min<size_t>(single.queries, recall_queries); ++q) {
            if (results_differ(single_dist.data() + q * k, batch_dist.data() + q * k, k)) ++row.single_batch_mismatches;
        }
        rows.push_back(row);
        if (on_row) on_row(row);
    }
    const uint64_t rss_after = current_rss_bytes();
    for (auto& r : rows) r.reader_rss_bytes = rss_after > rss_before ? rss_after - rss_before : 0;
    return rows;
}

}  // namespace tavren::ann
