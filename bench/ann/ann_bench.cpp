// ann_bench: builds an index through the library's C interface, writes it to
// a file or to memory, reopens it and measures recall and throughput over a
// sweep of search widths, next to exact brute force.
//
// Thread counts. The library sizes its work pool once per process from
// RAYON_NUM_THREADS (else the processor count). This process loads the data,
// computes the exact baseline (on its own threads), builds the index at the
// pool size of its environment and writes it to a file; then, for every
// requested thread count T, a child process (this program, re-executed with
// RAYON_NUM_THREADS=T) reopens the file from disk or from memory, runs the
// sweeps and hands its rows back through a file. Every thread count thus
// searches in a fresh process under the same conditions. Single-query throughput at T threads uses T host threads,
// each with its own reader handle (calls on one handle never overlap); batch
// throughput uses one handle and the library's pool.
//
// Run with --help for the options.

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dataset.hpp"
#include "ground_truth.hpp"
#include "host_io.hpp"
#include "library.hpp"
#include "measure.hpp"
#include "parallel.hpp"
#include "report.hpp"

extern char** environ;

namespace tavren::ann {
namespace {

#ifndef TD_ANN_DEFAULT_CACHE
#define TD_ANN_DEFAULT_CACHE ".cache/ann"
#endif

const char* const kUsage = R"(usage: ann_bench [options]

data
  --dataset NAME        fashion-mnist (default), synthetic, or vecs
  --data-dir DIR        Fashion-MNIST directory (default /usr/share/datasets/fashion-mnist)
  --base PATH           vecs: base vectors (.fvecs or .bvecs)
  --queries PATH        vecs: query vectors (.fvecs or .bvecs)
  --nb N --nq N         synthetic: sizes (default 1000000, 10000); others: keep the first rows
  --dim D               synthetic: dimension (default 128)
  --clusters C          synthetic: mixture components (default 1000)
  --spread S            synthetic: per-coordinate standard deviation around a centre (default 0.5)
  --seed S              synthetic: seed (default 42)
  --metric M            l2, inner_product or cosine (default: the metric option, else l2)
  --groundtruth PATH    neighbour IDs per query (.ivecs) instead of computing them

index (library options, as the trainer takes them)
  --opt KEY=VALUE       repeatable, e.g. --opt index.type=ivf_flat --opt nlist=1024;
                        dimension and metric are added from the data when missing.
                        Without index.type only the exact baseline runs.
  --label TEXT          name of this configuration in tables, JSON and plots

search
  --widths LIST         comma list of nprobe / l_search values (default 1,2,4,...,128;
                        l_search: 10,20,40,80,160)
  --width-type T        nprobe, l_search or auto (default: l_search for diskann, else nprobe)
  --k N                 top_k of every search (default 100)
  --threads LIST        thread counts, numbers or "all" (default 1,all)
  --time-budget S       seconds per measurement (default 3); checked between queries
  --warmup S            seconds of untimed single queries, then of untimed batches,
                        before each width's timed ones (default 0): the readers' caches
                        and buffers warm as a long-running host's would
  --batch-size N        queries per batch call (default 10000)
  --pq-table-reuse M    IVF-PQ batch table reuse: off, on or auto (default auto)
  --no-baseline         skip the exact baseline

hosts
  --mode LIST           file, memory or both as file,memory (default file)
  --latency-us LIST     injected latency per read call, e.g. 0,200 (default 0)
  --latency-mode M      sleep (default) or spin
  --max-ranges-per-call N   the input record's limit (default 0 = none)
  --memory-budget BYTES reader memory budget (default: the library's)
  --index-file PATH     where file mode writes the index (default: in the cache directory)
  --keep-index          keep the index file afterwards
  --reuse-index         with --index-file: search that file when it exists instead of
                        building (the caller vouches that it was built from the same
                        data and options); build and keep it otherwise
  --fsync               flush callback runs fsync(2)
  --no-position-fn      write without the position callback

output
  --json PATH           write every figure as JSON (scripts/plot_ann.py reads it)
  --summary             print the short table instead of the full one
  --cache-dir DIR       ground-truth cache (default <source>/.cache/ann)
  --no-cache            compute ground truth without the cache
)";

struct Args {
    std::string dataset = "fashion-mnist";
    std::string data_dir = kFashionMnistDir;
    std::string base_path, query_path;
    std::optional<size_t> nb, nq;
    size_t dim = 128, clusters = 1000;
    float spread = 0.5f;
    uint64_t seed = 42;
    std::string metric;
    Options opts;
    std::string label;
    std::string widths;
    std::string width_type;
    size_t k = 100;
    std::string threads = "1,all";
    double time_budget = 3.0;
    size_t batch_size = 10000;
    uint32_t pq_table_reuse = 2;
    bool baseline = true;
    std::string modes = "file";
    std::string latencies = "0";
    LatencyMode latency_mode = LatencyMode::Sleep;
    uint64_t max_ranges = 0;
    uint64_t memory_budget = 0;
    std::string index_file;
    bool keep_index = false;
    bool reuse_index = false;
    double warmup = 0.0;
    bool fsync = false;
    bool position_fn = true;
    std::string gt_ivecs;
    std::string json;
    bool summary = false;
    std::string cache_dir = TD_ANN_DEFAULT_CACHE;
    bool no_cache = false;
    // Set only in child processes.
    std::string child_out, index_from, gt_file;
    double clock_origin = 0;
    bool complete_recall = false;
};

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::string cur;
    std::istringstream is(s);
    while (std::getline(is, cur, sep)) {
        if (!cur.empty()) out.push_back(cur);
    }
    return out;
}

uint64_t parse_u64(const std::string& flag, const std::string& v) {
    try {
        size_t pos = 0;
        unsigned long long x = std::stoull(v, &pos);
        if (pos != v.size() || v.find('-') != std::string::npos) throw std::invalid_argument("");
        return x;
    } catch (const std::exception&) {
        throw std::invalid_argument(flag + ": expected a non-negative integer, got '" + v + "'");
    }
}

double parse_f64(const std::string& flag, const std::string& v) {
    try {
        size_t pos = 0;
        double x = std::stod(v, &pos);
        if (pos != v.size()) throw std::invalid_argument("");
        return x;
    } catch (const std::exception&) {
        throw std::invalid_argument(flag + ": expected a number, got '" + v + "'");
    }
}

Args parse_args(int argc, char** argv) {
    Args a;
    for (int i = 1; i < argc; ++i) {
        std::string f = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument(f + " needs a value");
            return argv[++i];
        };
        if (f == "--help" || f == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (f == "--dataset") a.dataset = next();
        else if (f == "--data-dir") a.data_dir = next();
        else if (f == "--base") a.base_path = next();
        else if (f == "--queries") a.query_path = next();
        else if (f == "--nb") a.nb = parse_u64(f, next());
        else if (f == "--nq") a.nq = parse_u64(f, next());
        else if (f == "--dim") a.dim = parse_u64(f, next());
        else if (f == "--clusters") a.clusters = parse_u64(f, next());
        else if (f == "--spread") a.spread = static_cast<float>(parse_f64(f, next()));
        else if (f == "--seed") a.seed = parse_u64(f, next());
        else if (f == "--metric") a.metric = next();
        else if (f == "--opt") {
            std::string kv = next();
            auto eq = kv.find('=');
            if (eq == std::string::npos) throw std::invalid_argument("--opt expects KEY=VALUE, got '" + kv + "'");
            std::string key = kv.substr(0, eq), value = kv.substr(eq + 1);
            auto it = std::find_if(a.opts.begin(), a.opts.end(), [&](const auto& p) { return p.first == key; });
            if (it != a.opts.end()) it->second = value;  // a later --opt replaces an earlier one
            else a.opts.emplace_back(key, value);
        } else if (f == "--label") a.label = next();
        else if (f == "--widths") a.widths = next();
        else if (f == "--width-type") a.width_type = next();
        else if (f == "--k") a.k = parse_u64(f, next());
        else if (f == "--threads") a.threads = next();
        else if (f == "--time-budget") a.time_budget = parse_f64(f, next());
        else if (f == "--batch-size") a.batch_size = parse_u64(f, next());
        else if (f == "--pq-table-reuse") {
            std::string m = next();
            if (m == "off") a.pq_table_reuse = 0;
            else if (m == "on") a.pq_table_reuse = 1;
            else if (m == "auto") a.pq_table_reuse = 2;
            else throw std::invalid_argument("--pq-table-reuse: expected off, on or auto");
        }
        else if (f == "--no-baseline") a.baseline = false;
        else if (f == "--mode") a.modes = next();
        else if (f == "--latency-us") a.latencies = next();
        else if (f == "--latency-mode") {
            std::string m = next();
            if (m == "sleep") a.latency_mode = LatencyMode::Sleep;
            else if (m == "spin") a.latency_mode = LatencyMode::Spin;
            else throw std::invalid_argument("--latency-mode: expected sleep or spin");
        } else if (f == "--max-ranges-per-call") a.max_ranges = parse_u64(f, next());
        else if (f == "--memory-budget") a.memory_budget = parse_u64(f, next());
        else if (f == "--index-file") a.index_file = next();
        else if (f == "--keep-index") a.keep_index = true;
        else if (f == "--reuse-index") a.reuse_index = true;
        else if (f == "--warmup") a.warmup = parse_f64(f, next());
        else if (f == "--fsync") a.fsync = true;
        else if (f == "--no-position-fn") a.position_fn = false;
        else if (f == "--groundtruth") a.gt_ivecs = next();
        else if (f == "--json") a.json = next();
        else if (f == "--summary") a.summary = true;
        else if (f == "--cache-dir") a.cache_dir = next();
        else if (f == "--no-cache") a.no_cache = true;
        else if (f == "--child-out") a.child_out = next();
        else if (f == "--index-from") a.index_from = next();
        else if (f == "--gt-file") a.gt_file = next();
        else if (f == "--clock-origin") a.clock_origin = parse_f64(f, next());
        else if (f == "--complete-recall") a.complete_recall = true;
        else throw std::invalid_argument("unknown option '" + f + "' (see --help)");
    }
    if (a.k == 0) throw std::invalid_argument("--k must be at least 1");
    if (a.time_budget <= 0) throw std::invalid_argument("--time-budget must be positive");
    if (!(a.warmup >= 0)) throw std::invalid_argument("--warmup must not be negative");
    return a;
}

// The pool size the library will choose in this process: the environment,
// else the processors the affinity mask allows.
unsigned library_pool_threads() {
    for (const char* var : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}) {
        if (const char* v = std::getenv(var)) {
            char* end = nullptr;
            unsigned long n = std::strtoul(v, &end, 10);
            if (end != v && *end == '\0' && n > 0) return static_cast<unsigned>(n);
        }
    }
    return hardware_threads();
}

// Removes a temporary file when the run ends, also on failure.
class TempFile {
public:
    ~TempFile() {
        if (!path_.empty()) {
            std::error_code ec;
            std::filesystem::remove(path_, ec);
        }
    }
    void set(const std::string& path) { path_ = path; }

private:
    std::string path_;
};

const std::string* find_opt(const Options& opts, const std::string& key) {
    for (const auto& [k, v] : opts) {
        if (k == key) return &v;
    }
    return nullptr;
}

// Phase lines with the time since start, so a long run shows where it is.
class Clock {
public:
    // now_seconds() is CLOCK_MONOTONIC, shared by every process of the
    // machine, so a child continues its parent's time line.
    explicit Clock(double start) : start_(start) {}
    void say(bool quiet, const char* fmt, ...) __attribute__((format(printf, 3, 4))) {
        if (quiet) return;
        std::printf("[%7.1fs] ", now_seconds() - start_);
        va_list ap;
        va_start(ap, fmt);
        std::vprintf(fmt, ap);
        va_end(ap);
        std::printf("\n");
        std::fflush(stdout);
    }

    double origin() const { return start_; }

private:
    double start_;
};

Dataset load_dataset(const Args& a) {
    if (a.dataset == "fashion-mnist") return load_fashion_mnist(a.data_dir, a.nb.value_or(0), a.nq.value_or(0));
    if (a.dataset == "synthetic") {
        SyntheticSpec s;
        s.nb = a.nb.value_or(s.nb);
        s.nq = a.nq.value_or(s.nq);
        s.dim = a.dim;
        s.clusters = a.clusters;
        s.spread = a.spread;
        s.seed = a.seed;
        return make_gaussian_mixture(s);
    }
    if (a.dataset == "vecs") {
        if (a.base_path.empty() || a.query_path.empty()) throw std::invalid_argument("--dataset vecs needs --base and --queries");
        return load_vecs_dataset(a.base_path, a.query_path, a.nb.value_or(0), a.nq.value_or(0));
    }
    throw std::invalid_argument("unknown dataset '" + a.dataset + "'");
}

std::vector<unsigned> resolve_threads(const std::string& list, unsigned all) {
    std::vector<unsigned> out;
    for (const auto& t : split(list, ',')) {
        unsigned v = t == "all" ? all : static_cast<unsigned>(parse_u64("--threads", t));
        if (v == 0) throw std::invalid_argument("--threads: 0 is not a thread count");
        if (std::find(out.begin(), out.end(), v) == out.end()) out.push_back(v);
    }
    if (out.empty()) throw std::invalid_argument("--threads is empty");
    return out;
}

std::string default_label(const Options& opts) {
    const std::string* type = find_opt(opts, "index.type");
    std::string label = type ? *type : "exact";
    for (const auto& [k, v] : opts) {
        if (k == "index.type" || k == "dimension" || k == "metric" || k == "expected-vector-count") continue;
        label += " " + k + "=" + v;
    }
    return label;
}

struct ChildResult {
    std::vector<SearchRow> rows;
    std::vector<std::string> warnings;
};

// Runs this program again with RAYON_NUM_THREADS=threads and extra flags;
// returns the rows and warnings the child wrote.
ChildResult run_child(int argc, char** argv, unsigned threads, const std::string& index_path,
                                 const std::string& gt_path, const std::string& out_path, double clock_origin,
                                 bool complete_recall) {
    std::vector<std::string> args(argv, argv + argc);
    if (complete_recall) args.push_back("--complete-recall");
    char origin[64];
    std::snprintf(origin, sizeof origin, "%.9f", clock_origin);
    args.push_back("--clock-origin");
    args.push_back(origin);
    args.push_back("--threads");
    args.push_back(std::to_string(threads));
    args.push_back("--index-from");
    args.push_back(index_path);
    args.push_back("--gt-file");
    args.push_back(gt_path);
    args.push_back("--child-out");
    args.push_back(out_path);
    std::vector<char*> cargv;
    for (auto& s : args) cargv.push_back(s.data());
    cargv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "RAYON_NUM_THREADS=", 18) != 0) env.emplace_back(*e);
    }
    env.push_back("RAYON_NUM_THREADS=" + std::to_string(threads));
    std::vector<char*> cenv;
    for (auto& s : env) cenv.push_back(s.data());
    cenv.push_back(nullptr);
    std::fflush(stdout);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, cargv.data(), cenv.data());
    if (rc != 0) throw std::runtime_error(std::string("cannot start the child process: ") + std::strerror(rc));
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("the " + std::to_string(threads) + "-thread child process failed");
    }
    std::ifstream in(out_path);
    ChildResult result;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("warning\t", 0) == 0) result.warnings.push_back(line.substr(8));
        else if (!line.empty()) result.rows.push_back(SearchRow::from_tsv(line));
    }
    std::filesystem::remove(out_path);
    return result;
}

int run(int argc, char** argv) {
    Args a = parse_args(argc, argv);
    const bool child = !a.child_out.empty();
    const bool quiet = child;
    Clock clock(a.clock_origin > 0 ? a.clock_origin : now_seconds());
    const unsigned pool = library_pool_threads();
    // "all": the processors this process may run on; in a child, its own pool.
    const std::vector<unsigned> thread_list = resolve_threads(a.threads, child ? pool : hardware_threads());

    RunResult res;
    for (int i = 0; i < argc; ++i) {
        if (i > 0) res.command += ' ';
        res.command += i == 0 ? "ann_bench" : argv[i];
    }
    res.cpu = cpu_model();
    res.cores = hardware_threads();
    res.pool_threads = pool;
    res.cfg.top_k = a.k;
    res.cfg.time_budget_s = a.time_budget;
    res.cfg.batch_size = a.batch_size;
    res.cfg.pq_table_reuse = a.pq_table_reuse;
    res.cfg.complete_recall = a.complete_recall;
    res.cfg.warmup_s = a.warmup;

    // ---- data and ground truth
    const double t_data = now_seconds();
    clock.say(quiet, "loading %s", a.dataset.c_str());
    Dataset ds = load_dataset(a);
    res.data_seconds = now_seconds() - t_data;
    if (ds.base.rows == 0 || ds.queries.rows == 0) throw std::runtime_error("the data set has no base or no query vectors");
    const std::string* metric_opt = find_opt(a.opts, "metric");
    const std::string metric_text = !a.metric.empty() ? a.metric : (metric_opt ? *metric_opt : "l2");
    const Metric metric = parse_metric(metric_text);
    if (metric_opt && *metric_opt != metric_text) {
        throw std::invalid_argument("--metric " + metric_text + " contradicts --opt metric=" + *metric_opt);
    }
    res.dataset = ds.name;
    res.nb = ds.base.rows;
    res.nq = ds.queries.rows;
    res.dim = ds.dim();
    res.metric = metric;
    res.content_hash = ds.content_hash();
    clock.say(quiet, "loaded %s: %zu base, %zu queries, dimension %zu (%.1f s)", ds.name.c_str(), res.nb, res.nq, res.dim,
              res.data_seconds);

    ExactIndex exact(ds.base, metric);
    const size_t gt_k = std::max<size_t>(a.k, 100);
    Neighbors gt;
    TempFile temporary_gt;
    // Child processes read the ground truth from a file: one of this run's
    // own when there is no cache file.
    auto save_for_children = [&] {
        res.gt_path = (std::filesystem::temp_directory_path() / ("ann-gt-" + std::to_string(::getpid()) + ".bin")).string();
        save_ground_truth(res.gt_path, gt);
        temporary_gt.set(res.gt_path);
    };
    if (child) {
        auto loaded = load_ground_truth(a.gt_file, ds.queries.rows, 0);
        if (!loaded) throw std::runtime_error(a.gt_file + ": ground truth missing or of the wrong size");
        gt = std::move(*loaded);
    } else if (!a.gt_ivecs.empty()) {
        const double t0 = now_seconds();
        gt = neighbors_from_ids(exact, ds.queries.data.data(), ds.queries.rows, read_ivecs(a.gt_ivecs));
        res.gt_seconds = now_seconds() - t0;
        save_for_children();
        clock.say(quiet, "ground truth: top-%zu from %s", gt.k, a.gt_ivecs.c_str());
    } else {
        const std::string cache = a.no_cache ? "" : a.cache_dir;
        clock.say(quiet, "ground truth (top-%zu, %s): %s", gt_k, metric_name(metric),
                  cache.empty() ? "computing" : "cache or compute");
        GroundTruthResult g = ground_truth(ds, exact, gt_k, cache, 0);
        gt = std::move(g.neighbors);
        res.gt_path = g.path;
        res.gt_from_cache = g.from_cache;
        res.gt_seconds = g.seconds;
        if (res.gt_path.empty()) save_for_children();
        clock.say(quiet, "ground truth %s in %.1f s (%s)", g.from_cache ? "loaded" : "computed", g.seconds,
                  res.gt_path.c_str());
    }
    res.rss_after_data = current_rss_bytes();

    // ---- library options
    Options opts = a.opts;
    const std::string* type = find_opt(opts, "index.type");
    if (type) {
        if (!find_opt(opts, "dimension")) opts.emplace_back("dimension", std::to_string(ds.dim()));
        if (!find_opt(opts, "metric")) opts.emplace_back("metric", metric_name(metric));
        type = find_opt(opts, "index.type");
    }
    res.options = opts;
    res.label = a.label.empty() ? default_label(a.opts) : a.label;

    std::string wt = a.width_type;
    if (wt.empty()) wt = (type && *type == "diskann") ? "l_search" : "nprobe";
    uint32_t width_type = TAVREN_DADIZA_WIDTH_NPROBE;
    if (wt == "l_search") width_type = TAVREN_DADIZA_WIDTH_L_SEARCH;
    else if (wt == "auto") width_type = TAVREN_DADIZA_WIDTH_AUTO;
    else if (wt != "nprobe") throw std::invalid_argument("--width-type: expected nprobe, l_search or auto");
    std::vector<uint64_t> widths;
    if (width_type == TAVREN_DADIZA_WIDTH_AUTO) {
        widths = {0};
    } else {
        std::string list = !a.widths.empty() ? a.widths
                           : width_type == TAVREN_DADIZA_WIDTH_L_SEARCH ? "10,20,40,80,160"
                                                                         : "1,2,4,8,16,32,64,128";
        for (const auto& w : split(list, ',')) widths.push_back(parse_u64("--widths", w));
        if (widths.empty()) throw std::invalid_argument("--widths is empty");
    }
    const std::vector<std::string> modes = split(a.modes, ',');
    for (const auto& m : modes) {
        if (m != "file" && m != "memory") throw std::invalid_argument("--mode: expected file and/or memory, got '" + m + "'");
    }
    std::vector<uint64_t> latencies;
    for (const auto& l : split(a.latencies, ',')) latencies.push_back(parse_u64("--latency-us", l));
    if (latencies.empty()) latencies.push_back(0);

    // ---- exact baseline (the harness's own threads; no child needed)
    if (!child && a.baseline) {
        for (unsigned t : thread_list) {
            clock.say(quiet, "exact search, %u thread%s", t, t == 1 ? "" : "s");
            SearchRow row = measure_exact(exact, ds, gt, t, res.cfg);
            clock.say(quiet, "exact search, %u thread%s: %.1f single QPS, %.1f batch QPS, recall@10 %.4f", t,
                      t == 1 ? "" : "s", row.single_qps, row.batch_qps, row.recall10);
            if (row.single_batch_mismatches) {
                res.warnings.push_back("exact single-query and batch results differ on " +
                                       std::to_string(row.single_batch_mismatches) + " queries");
            }
            res.rows.push_back(row);
        }
    }

    // ---- build, write, sweep
    if (type) {
        std::string index_path;
        std::vector<uint8_t> memory_bytes;
        TempFile temporary_index;
        if (a.reuse_index && a.index_file.empty()) throw std::invalid_argument("--reuse-index needs --index-file");
        const bool reuse = !child && a.reuse_index && std::filesystem::exists(a.index_file);
        if (child) {
            index_path = a.index_from;
        } else if (reuse) {
            index_path = a.index_file;
            res.build.present = false;
            clock.say(quiet, "searching the existing index %s (--reuse-index)", index_path.c_str());
        } else {
            const bool want_memory = std::find(modes.begin(), modes.end(), "memory") != modes.end();
            std::vector<int64_t> ids(ds.base.rows);
            std::iota(ids.begin(), ids.end(), int64_t{0});
            BuildInfo& b = res.build;
            b.present = true;

            clock.say(quiet, "train: %s", res.label.c_str());
            double t0 = now_seconds();
            Trainer trainer(opts);
            trainer.add_training_vectors(ds.base.data.data(), ds.base.rows);
            Training training = trainer.finish();
            b.train_s = now_seconds() - t0;
            clock.say(quiet, "trained in %.2f s", b.train_s);

            t0 = now_seconds();
            Writer writer = training.open_writer();
            writer.add_vectors(ids.data(), ds.base.data.data(), ds.base.rows);
            b.add_s = now_seconds() - t0;
            clock.say(quiet, "added %zu vectors in %.2f s", ds.base.rows, b.add_s);

            {  // always: the searching processes open this file
                index_path = !a.index_file.empty()
                                 ? a.index_file
                                 : (std::filesystem::path(a.no_cache ? std::filesystem::temp_directory_path().string()
                                                                     : a.cache_dir) /
                                    ("index-" + std::to_string(::getpid()) + ".bin"))
                                       .string();
                if (a.index_file.empty()) std::filesystem::create_directories(std::filesystem::path(index_path).parent_path());
                if (!a.keep_index && !a.reuse_index) temporary_index.set(index_path);
                t0 = now_seconds();
                FileSink sink(index_path, a.fsync);
                writer.write_index(sink.callbacks(true, a.position_fn));
                sink.close();
                b.write_file_s = now_seconds() - t0;
                b.file_bytes = sink.bytes_written();
                b.write_calls = sink.write_calls();
                clock.say(quiet, "wrote %s (%s) in %.3f s", index_path.c_str(),
                          human_bytes(static_cast<double>(b.file_bytes)).c_str(), b.write_file_s);
            }
            if (want_memory) {
                t0 = now_seconds();
                MemorySink sink;
                writer.write_index(sink.callbacks(true, a.position_fn));
                b.write_memory_s = now_seconds() - t0;
                memory_bytes = sink.take();  // joined outside the timed write
                b.write_calls = sink.write_calls();
                clock.say(quiet, "wrote %s to memory in %.3f s", human_bytes(static_cast<double>(memory_bytes.size())).c_str(),
                          b.write_memory_s);
                if (b.write_file_s >= 0) {
                    b.file_and_memory_identical = read_file(index_path) == memory_bytes;
                    if (!b.file_and_memory_identical) {
                        res.warnings.push_back("the index written to a file and the one written to memory differ");
                    }
                } else {
                    b.file_bytes = memory_bytes.size();
                }
            }
            res.peak_rss_after_build = peak_rss_bytes();
            memory_bytes = {};  // the searching processes load their own copy
            // The header's view of what was built.
            {
                FileSource src(index_path);
                Reader probe(src.record(), a.memory_budget);
                FfiIndexMetadata m = probe.metadata();
                b.index_type = m.index_type;
                b.nlist = m.nlist;
                b.vector_count = m.vector_count;
                if (m.vector_count != static_cast<int64_t>(ds.base.rows)) {
                    res.warnings.push_back("the index holds " + std::to_string(m.vector_count) + " vectors, expected " +
                                           std::to_string(ds.base.rows));
                }
            }
            if (a.label.empty() && !find_opt(a.opts, "nlist") && b.nlist > 1) {
                res.label += " nlist=auto(" + std::to_string(b.nlist) + ")";
            }
        }

        for (unsigned t : thread_list) {
            if (!child) {
                // Every sweep runs in a fresh process of its own pool size, so
                // that all thread counts search under the same conditions.
                clock.say(false, "sweeps at %u thread%s (child process, RAYON_NUM_THREADS=%u)", t, t == 1 ? "" : "s", t);
                std::string out = index_path + ".rows-" + std::to_string(t);
                // Recall comes from the largest thread count, which searches every
                // query (the others may stop at the time budget).
                const bool complete = t == *std::max_element(thread_list.begin(), thread_list.end());
                auto child_result = run_child(argc, argv, t, index_path, res.gt_path, out, clock.origin(), complete);
                for (auto& r : child_result.rows) r.index = res.label;
                res.rows.insert(res.rows.end(), child_result.rows.begin(), child_result.rows.end());
                res.warnings.insert(res.warnings.end(), child_result.warnings.begin(), child_result.warnings.end());
                continue;
            }
            if (t != pool) continue;
            for (const auto& mode : modes) {
                std::vector<uint8_t> bytes;
                if (mode == "memory") bytes = read_file(index_path);
                for (uint64_t lat : latencies) {
                    std::unique_ptr<InputSource> src;
                    if (mode == "file") src = std::make_unique<FileSource>(index_path);
                    else src = std::make_unique<MemorySource>(bytes);
                    src->set_latency_ns(lat * 1000, a.latency_mode);
                    src->set_max_ranges_per_call(a.max_ranges);
                    SweepSpec spec;
                    spec.index_label = res.label;
                    spec.mode = mode;
                    spec.threads = t;
                    spec.width_type = width_type;
                    spec.widths = widths;
                    spec.memory_budget = a.memory_budget;
                    clock.say(false, "  %s mode, injected latency %llu us, %u thread%s", mode.c_str(),
                              static_cast<unsigned long long>(lat), t, t == 1 ? "" : "s");
                    auto rows = sweep_reader(*src, ds, exact, gt, spec, res.cfg, [&](const SearchRow& r) {
                        clock.say(false, "    %s %llu: recall@10 %.4f, single %.1f QPS, batch %.1f QPS, %.2f reads/query",
                                  r.width_type.c_str(), static_cast<unsigned long long>(r.width), r.recall10, r.single_qps,
                                  r.batch_qps, r.single_calls_per_query);
                    });
                    if (src->failures() != 0) {
                        res.warnings.push_back(std::to_string(src->failures()) + " read calls were refused by the host (" +
                                               mode + " mode)");
                    }
                    res.rows.insert(res.rows.end(), rows.begin(), rows.end());
                }
            }
        }
    }

    if (child) {
        std::ofstream out(a.child_out, std::ios::trunc);
        for (const auto& r : res.rows) out << r.to_tsv() << '\n';
        for (const auto& w : res.warnings) out << "warning\t" << w << '\n';
        if (!out) throw std::runtime_error(a.child_out + ": write failed");
        return 0;
    }

    for (const auto& r : res.rows) {
        if (r.single_batch_mismatches && r.index != "exact") {
            res.warnings.push_back(r.mode + " mode, " + r.width_type + " " + std::to_string(r.width) + ", " +
                                   std::to_string(r.threads) + " threads: single-query and batch results differ on " +
                                   std::to_string(r.single_batch_mismatches) + " queries");
        }
    }
    res.peak_rss = peak_rss_bytes();
    res.children_peak_rss = children_peak_rss_bytes();
    if (a.summary) print_summary(res, stdout);
    else print_full(res, stdout);
    if (!a.json.empty()) {
        write_json(res, a.json);
        clock.say(false, "wrote %s", a.json.c_str());
    }
    return 0;
}

}  // namespace
}  // namespace tavren::ann

int main(int argc, char** argv) {
    try {
        return tavren::ann::run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ann_bench: %s\n", e.what());
        return 1;
    }
}
