#include "report.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <tuple>
#include <utility>

namespace tavren::ann {
namespace {

std::string fmt(const char* f, double v) {
    if (std::isnan(v)) return "-";
    char buf[64];
    std::snprintf(buf, sizeof buf, f, v);
    return buf;
}

std::string fmt_qps(double v) {
    if (v <= 0 || std::isnan(v)) return "-";
    char buf[32];
    if (v >= 100) std::snprintf(buf, sizeof buf, "%.0f", v);
    else std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

std::vector<unsigned> thread_counts(const std::vector<SearchRow>& rows, bool exact) {
    std::vector<unsigned> t;
    for (const auto& r : rows) {
        if ((r.index == "exact") == exact && std::find(t.begin(), t.end(), r.threads) == t.end()) t.push_back(r.threads);
    }
    std::sort(t.begin(), t.end());
    return t;
}

const SearchRow* find_row(const std::vector<SearchRow>& rows, const std::string& mode, uint64_t lat, unsigned threads,
                          uint64_t width) {
    for (const auto& r : rows) {
        if (r.index != "exact" && r.mode == mode && r.latency_us == lat && r.threads == threads && r.width == width) {
            return &r;
        }
    }
    return nullptr;
}

const SearchRow* exact_row(const std::vector<SearchRow>& rows, unsigned threads) {
    for (const auto& r : rows) {
        if (r.index == "exact" && r.threads == threads) return &r;
    }
    return nullptr;
}

std::vector<std::pair<std::string, uint64_t>> groups(const std::vector<SearchRow>& rows) {
    std::vector<std::pair<std::string, uint64_t>> g;
    for (const auto& r : rows) {
        if (r.index == "exact") continue;
        auto key = std::make_pair(r.mode, r.latency_us);
        if (std::find(g.begin(), g.end(), key) == g.end()) g.push_back(key);
    }
    return g;
}

std::vector<uint64_t> widths_of(const std::vector<SearchRow>& rows, const std::string& mode, uint64_t lat) {
    std::vector<uint64_t> w;
    for (const auto& r : rows) {
        if (r.index != "exact" && r.mode == mode && r.latency_us == lat &&
            std::find(w.begin(), w.end(), r.width) == w.end()) {
            w.push_back(r.width);
        }
    }
    return w;
}

// Single-query QPS of `x` over that of the exact baseline `bf`, "-" when
// either is missing.
std::string speedup(const SearchRow* x, const SearchRow* bf) {
    return (bf && x && bf->single_qps > 0) ? fmt("%.1f", x->single_qps / bf->single_qps) : "-";
}

double bytes_per_vector(const RunResult& r) {
    return r.nb ? static_cast<double>(r.build.file_bytes) / static_cast<double>(r.nb) : 0.0;
}

std::string width_label(const SearchRow& r) {
    if (r.width_type == "auto") return "auto";
    return std::to_string(r.width);
}

void print_build(const RunResult& r, std::FILE* out) {
    const BuildInfo& b = r.build;
    if (!b.present) return;
    std::fprintf(out, "build: train %.2f s, add %.2f s", b.train_s, b.add_s);
    if (b.write_file_s >= 0) std::fprintf(out, ", write %.3f s (file)", b.write_file_s);
    if (b.write_memory_s >= 0) std::fprintf(out, ", write %.3f s (memory)", b.write_memory_s);
    std::fprintf(out, "; total %.2f s\n", b.total_s());
    std::fprintf(out, "index: type %u, nlist %llu, %lld vectors, %s (%llu bytes), %.1f bytes/vector, %llu write calls\n",
                 b.index_type, static_cast<unsigned long long>(b.nlist), static_cast<long long>(b.vector_count),
                 human_bytes(static_cast<double>(b.file_bytes)).c_str(), static_cast<unsigned long long>(b.file_bytes),
                 bytes_per_vector(r),
                 static_cast<unsigned long long>(b.write_calls));
    std::fprintf(out, "memory: RSS after data and ground truth %s, peak after build %s, peak %s, search processes peak %s\n",
                 human_bytes(static_cast<double>(r.rss_after_data)).c_str(),
                 human_bytes(static_cast<double>(r.peak_rss_after_build)).c_str(),
                 human_bytes(static_cast<double>(r.peak_rss)).c_str(),
                 human_bytes(static_cast<double>(r.children_peak_rss)).c_str());
}

// A tiny JSON emitter: enough for flat objects, arrays and numbers.
class Json {
public:
    explicit Json(std::ostream& os) : os_(os) {}
    void begin_object() { open('{'); }
    void end_object() { close('}'); }
    void begin_array() { open('['); }
    void end_array() { close(']'); }
    void key(const std::string& k) {
        comma();
        string(k);
        os_ << ':';
        after_key_ = true;
    }
    void value(const std::string& s) {
        comma();
        string(s);
    }
    void value(const char* s) { value(std::string(s)); }
    void value(double v) {
        comma();
        if (std::isfinite(v)) {
            std::ostringstream t;
            t.precision(10);
            t << v;
            os_ << t.str();
        } else {
            os_ << "null";
        }
    }
    void value(uint64_t v) {
        comma();
        os_ << v;
    }
    void value(int64_t v) {
        comma();
        os_ << v;
    }
    void value(unsigned v) { value(static_cast<uint64_t>(v)); }
    void null() {
        comma();
        os_ << "null";
    }
    void value(bool v) {
        comma();
        os_ << (v ? "true" : "false");
    }
    template <class T>
    void field(const std::string& k, const T& v) {
        key(k);
        value(v);
    }

private:
    void open(char c) {
        comma();
        os_ << c;
        first_ = true;
    }
    void close(char c) {
        os_ << c;
        first_ = false;
    }
    void comma() {
        if (after_key_) {
            after_key_ = false;
            return;
        }
        if (!first_) os_ << ',';
        first_ = false;
    }
    void string(const std::string& s) {
        os_ << '"';
        for (unsigned char c : s) {
            switch (c) {
                case '"': os_ << "\\\""; break;
                case '\\': os_ << "\\\\"; break;
                case '\n': os_ << "\\n"; break;
                case '\t': os_ << "\\t"; break;
                default:
                    if (c < 0x20) {
                        char buf[8];
                        std::snprintf(buf, sizeof buf, "\\u%04x", c);
                        os_ << buf;
                    } else {
                        os_ << c;
                    }
            }
        }
        os_ << '"';
    }
    std::ostream& os_;
    bool first_ = true;
    bool after_key_ = false;
};

// The footnote under the short table: what each column means, measured how,
// and why a batch trails single queries where it does.
void print_summary_notes(const RunResult& r, const std::vector<const SearchRow*>& shown, const std::string& mode,
                         uint64_t lat, unsigned threads, std::FILE* out) {
    std::fprintf(out, "\nColumns (%u threads", threads);
    if (!mode.empty()) {
        std::fprintf(out, "; the index is read %s", mode == "file" ? "from its file with pread(2)" : "from memory");
        if (lat) std::fprintf(out, ", %llu us injected per read call", static_cast<unsigned long long>(lat));
    }
    std::fprintf(out, "):\n");
    bool nprobe = false, automatic = false, l_search = false;
    for (const SearchRow* x : shown) {
        nprobe |= x->width_type == "nprobe";
        automatic |= x->width_type == "auto";
        l_search |= x->width_type == "l_search";
    }
    // The first line of the width explanation carries the column name.
    const char* width_column = "  width           ";
    auto width_line = [&](const std::string& text) {
        std::fprintf(out, "%s  %s\n", width_column, text.c_str());
        width_column = "                  ";
    };
    if (exact_row(r.rows, threads)) width_line("exact: brute force in this program, the reference for recall and speed");
    if (nprobe) {
        width_line("nprobe=N: each query scans the N of the index's " + std::to_string(r.build.nlist) +
                   " lists nearest to it");
    }
    if (automatic) width_line("auto: the library picks nprobe and widens it until every query has its top_k");
    if (l_search) width_line("l_search=N: the graph search keeps N candidates");
    std::fprintf(out,
                 "  recall@10         share of each query's 10 true nearest neighbours found among its first 10 results\n"
                 "                    (a result as near as the 10th true neighbour counts too), over all %zu queries\n",
                 r.nq);
    std::fprintf(out,
                 "  QPS single        queries per second, one query per call, %u host threads each with its own reader\n",
                 threads);
    std::fprintf(out,
                 "  QPS batch         queries per second, batch calls of %zu queries on one reader, run by the library's\n"
                 "                    pool of %u threads\n",
                 r.cfg.batch_size, threads);
    std::fprintf(out,
                 "  x exact (single)  QPS single over the exact search's QPS single at the same thread count\n"
                 "  Single queries run for at most %g s, batches until the one that crosses %g s ends; other work\n"
                 "  on the machine shows in every QPS figure.\n",
                 r.cfg.time_budget_s, r.cfg.time_budget_s);
    std::string slower;
    for (const SearchRow* x : shown) {
        if (x->width_type == "nprobe" && x->batch_qps > 0 && x->batch_qps < x->single_qps) {
            slower += (slower.empty() ? "" : ", ") + std::to_string(x->width);
        }
    }
    if (!slower.empty() && threads > 1) {
        std::fprintf(out,
                     "Batch below single at nprobe %s: a batch on one reader gets its lists from the host one read call\n"
                     "at a time, in windows of up to 64 MiB that no processor cache holds, while %u single-query readers\n"
                     "read in parallel and scan what they have just read while it is still cached. Batches pay off where\n"
                     "each list read serves many queries: wider nprobe, or fewer threads.\n",
                     slower.c_str(), threads);
    }
}

}  // namespace

std::string human_bytes(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024.0 && u < 4) {
        bytes /= 1024.0;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
    return buf;
}

void print_full(const RunResult& r, std::FILE* out) {
    std::fprintf(out, "\n== %s | %s: %zu base, %zu queries, dim %zu, metric %s | top_k %zu | %u cores, pool %u threads\n",
                 r.label.c_str(), r.dataset.c_str(), r.nb, r.nq, r.dim, metric_name(r.metric), r.cfg.top_k, r.cores,
                 r.pool_threads);
    print_build(r, out);
    const auto exact_threads = thread_counts(r.rows, true);
    if (!exact_threads.empty()) {
        std::fprintf(out, "\nexact search (harness brute force: dot products with every base vector, double-precision re-rank)\n");
        std::fprintf(out, "%8s %12s %12s %9s\n", "threads", "single QPS", "batch QPS", "recall@10");
        for (unsigned t : exact_threads) {
            const SearchRow* e = exact_row(r.rows, t);
            std::fprintf(out, "%8u %12s %12s %9s\n", t, fmt_qps(e->single_qps).c_str(), fmt_qps(e->batch_qps).c_str(),
                         fmt("%.4f", e->recall10).c_str());
        }
    }
    const auto threads = thread_counts(r.rows, false);
    if (threads.empty()) return;
    const unsigned tmax = threads.back();
    const SearchRow* bf = exact_row(r.rows, tmax);
    for (const auto& [mode, lat] : groups(r.rows)) {
        const auto widths = widths_of(r.rows, mode, lat);
        const SearchRow* first = find_row(r.rows, mode, lat, tmax, widths.front());
        std::fprintf(out, "\n%s | %s mode, injected read latency %llu us | open+optimize %.1f ms", r.label.c_str(),
                     mode.c_str(), static_cast<unsigned long long>(lat), first ? first->open_ms : 0.0);
        if (first && first->read_profile != "-") {
            std::fprintf(out, " | read profile %s, beam width %llu, window %llu bytes", first->read_profile.c_str(),
                         static_cast<unsigned long long>(first->beam_width),
                         static_cast<unsigned long long>(first->window_bytes));
        }
        std::fprintf(out, "\n");
        std::string head = "  width    R@1    R@10   R@100 |";
        for (unsigned t : threads) {
            char buf[64];
            std::snprintf(buf, sizeof buf, " %9s %9s |", (std::to_string(t) + "t single").c_str(),
                          (std::to_string(t) + "t batch").c_str());
            head += buf;
        }
        head += "  x exact | calls/q ranges/q   KiB/q | p50 us  p99 us";
        std::fprintf(out, "%s\n", head.c_str());
        for (uint64_t w : widths) {
            const SearchRow* ref = find_row(r.rows, mode, lat, tmax, w);
            if (!ref) ref = find_row(r.rows, mode, lat, threads.front(), w);
            std::fprintf(out, "%7s %6s %7s %7s |", width_label(*ref).c_str(), fmt("%.4f", ref->recall1).c_str(),
                         fmt("%.4f", ref->recall10).c_str(), fmt("%.4f", ref->recall100).c_str());
            for (unsigned t : threads) {
                const SearchRow* x = find_row(r.rows, mode, lat, t, w);
                std::fprintf(out, " %9s %9s |", x ? fmt_qps(x->single_qps).c_str() : "-",
                             x ? fmt_qps(x->batch_qps).c_str() : "-");
            }
            const SearchRow* top = find_row(r.rows, mode, lat, tmax, w);
            std::fprintf(out, " %8s | %7.2f %8.2f %7.1f | %6.0f %7.0f%s\n", speedup(top, bf).c_str(),
                         ref->single_calls_per_query, ref->single_ranges_per_query, ref->single_bytes_per_query / 1024.0,
                         ref->single_p50_us, ref->single_p99_us,
                         ref->single_batch_mismatches ? "  (single != batch on some queries)" : "");
        }
    }
    for (const auto& w : r.warnings) std::fprintf(out, "warning: %s\n", w.c_str());
}

void print_summary(const RunResult& r, std::FILE* out) {
    const auto threads = thread_counts(r.rows, false);
    const auto g = groups(r.rows);
    std::fprintf(out, "\n%s on %s (%zu x %zu, %zu queries, %s)\n", r.label.c_str(), r.dataset.c_str(), r.nb, r.dim, r.nq,
                 metric_name(r.metric));
    std::fprintf(out, "every search asks for top_k %zu results; recall@10 scores the first 10 of them\n", r.cfg.top_k);
    unsigned tmax = threads.empty() ? 0 : threads.back();
    const auto exact_threads = thread_counts(r.rows, true);
    if (tmax == 0 && !exact_threads.empty()) tmax = exact_threads.back();
    const SearchRow* bf = exact_row(r.rows, tmax);
    std::fprintf(out, "%-14s %10s %14s %14s %16s\n", "width", "recall@10", "QPS single", "QPS batch",
                 "x exact (single)");
    if (bf) {
        std::fprintf(out, "%-14s %10s %14s %14s %16s\n", "exact", fmt("%.4f", bf->recall10).c_str(),
                     fmt_qps(bf->single_qps).c_str(), fmt_qps(bf->batch_qps).c_str(), "1.0");
    }
    std::vector<const SearchRow*> shown;
    std::string mode;
    uint64_t lat = 0;
    if (!g.empty()) {
        std::tie(mode, lat) = g.front();
        for (uint64_t w : widths_of(r.rows, mode, lat)) {
            const SearchRow* x = find_row(r.rows, mode, lat, tmax, w);
            if (!x) continue;
            shown.push_back(x);
            std::string label = x->width_type + "=" + width_label(*x);
            std::fprintf(out, "%-14s %10s %14s %14s %16s\n", label.c_str(), fmt("%.4f", x->recall10).c_str(),
                         fmt_qps(x->single_qps).c_str(), fmt_qps(x->batch_qps).c_str(), speedup(x, bf).c_str());
        }
    }
    if (r.build.present) {
        std::fprintf(out, "index file %s (%.1f bytes/vector), nlist %llu; build %.2f s (train %.2f, add %.2f, write %.3f)\n",
                     human_bytes(static_cast<double>(r.build.file_bytes)).c_str(),
                     bytes_per_vector(r),
                     static_cast<unsigned long long>(r.build.nlist), r.build.total_s(), r.build.train_s, r.build.add_s,
                     r.build.write_file_s >= 0 ? r.build.write_file_s : r.build.write_memory_s);
    }
    print_summary_notes(r, shown, mode, lat, tmax, out);
    for (const auto& w : r.warnings) std::fprintf(out, "warning: %s\n", w.c_str());
}

void write_json(const RunResult& r, const std::string& path) {
    std::ofstream os(path, std::ios::trunc);
    if (!os) throw std::runtime_error(path + ": cannot create");
    Json j(os);
    j.begin_object();
    j.field("tool", "ann_bench");
    j.field("command", r.command);
    j.field("label", r.label);
    j.key("dataset");
    j.begin_object();
    j.field("name", r.dataset);
    j.field("nb", static_cast<uint64_t>(r.nb));
    j.field("nq", static_cast<uint64_t>(r.nq));
    j.field("dim", static_cast<uint64_t>(r.dim));
    j.field("metric", metric_name(r.metric));
    char hash[20];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(r.content_hash));
    j.field("content_hash", hash);
    j.end_object();
    j.key("machine");
    j.begin_object();
    j.field("cpu", r.cpu);
    j.field("cores", r.cores);
    j.field("pool_threads", r.pool_threads);
    j.end_object();
    j.key("options");
    j.begin_object();
    for (const auto& [k, v] : r.options) j.field(k, v);
    j.end_object();
    j.field("top_k", static_cast<uint64_t>(r.cfg.top_k));
    j.field("time_budget_s", r.cfg.time_budget_s);
    j.field("warmup_s", r.cfg.warmup_s);
    j.field("batch_size", static_cast<uint64_t>(r.cfg.batch_size));
    j.key("ground_truth");
    j.begin_object();
    j.field("path", r.gt_path);
    j.field("from_cache", r.gt_from_cache);
    j.field("seconds", r.gt_seconds);
    j.end_object();
    j.field("data_seconds", r.data_seconds);
    j.key("build");
    if (r.build.present) {
        const BuildInfo& b = r.build;
        j.begin_object();
        j.field("train_s", b.train_s);
        j.field("add_s", b.add_s);
        j.field("write_file_s", b.write_file_s);
        j.field("write_memory_s", b.write_memory_s);
        j.field("total_s", b.total_s());
        j.field("file_bytes", b.file_bytes);
        j.field("bytes_per_vector", bytes_per_vector(r));
        j.field("write_calls", b.write_calls);
        j.field("file_and_memory_identical", b.file_and_memory_identical);
        j.field("index_type", static_cast<uint64_t>(b.index_type));
        j.field("nlist", b.nlist);
        j.field("vector_count", b.vector_count);
        j.end_object();
    } else {
        j.null();
    }
    j.key("memory");
    j.begin_object();
    j.field("rss_after_data_bytes", r.rss_after_data);
    j.field("peak_rss_after_build_bytes", r.peak_rss_after_build);
    j.field("peak_rss_bytes", r.peak_rss);
    j.field("children_peak_rss_bytes", r.children_peak_rss);
    j.end_object();
    j.key("rows");
    j.begin_array();
    for (const auto& row : r.rows) {
        j.begin_object();
        j.field("index", row.index);
        j.field("mode", row.mode);
        j.field("latency_us", row.latency_us);
        j.field("threads", row.threads);
        j.field("width_type", row.width_type);
        j.field("width", row.width);
        j.field("recall_at_1", row.recall1);
        j.field("recall_at_10", row.recall10);
        j.field("recall_at_100", row.recall100);
        j.field("single_qps", row.single_qps);
        j.field("single_queries", row.single_queries);
        j.field("batch_qps", row.batch_qps);
        j.field("batch_queries", row.batch_queries);
        j.field("recall_queries", row.recall_queries);
        j.field("single_read_calls_per_query", row.single_calls_per_query);
        j.field("single_read_ranges_per_query", row.single_ranges_per_query);
        j.field("single_read_bytes_per_query", row.single_bytes_per_query);
        j.field("batch_read_calls_per_query", row.batch_calls_per_query);
        j.field("batch_read_bytes_per_query", row.batch_bytes_per_query);
        j.field("single_batch_mismatches", row.single_batch_mismatches);
        j.field("open_ms", row.open_ms);
        j.field("reader_rss_bytes", row.reader_rss_bytes);
        j.field("single_p50_us", row.single_p50_us);
        j.field("single_p99_us", row.single_p99_us);
        j.field("read_profile", row.read_profile);
        j.field("beam_width", row.beam_width);
        j.field("window_bytes", row.window_bytes);
        j.end_object();
    }
    j.end_array();
    j.key("warnings");
    j.begin_array();
    for (const auto& w : r.warnings) j.value(w);
    j.end_array();
    j.end_object();
    os << '\n';
    if (!os) throw std::runtime_error(path + ": write failed");
}

}  // namespace tavren::ann
