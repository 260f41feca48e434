// What one harness run found, and how it is shown: terminal tables (full or
// short) and a JSON file that scripts/plot_ann.py turns into plots and
// markdown tables.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "ground_truth.hpp"
#include "library.hpp"
#include "measure.hpp"

namespace tavren::ann {

struct BuildInfo {
    bool present = false;
    double train_s = 0, add_s = 0;
    double write_file_s = -1, write_memory_s = -1;  // -1 = not written that way
    uint64_t file_bytes = 0;
    uint64_t write_calls = 0;
    bool file_and_memory_identical = true;  // both written: same bytes
    // From the header of the written index.
    uint32_t index_type = 0;
    uint64_t nlist = 0;
    int64_t vector_count = 0;

    double total_s() const {
        double w = write_file_s >= 0 ? write_file_s : (write_memory_s >= 0 ? write_memory_s : 0);
        return train_s + add_s + w;
    }
};

struct RunResult {
    std::string command;  // the command line, for reproducing the figures
    std::string label;
    std::string dataset;
    size_t nb = 0, nq = 0, dim = 0;
    Metric metric = Metric::L2;
    uint64_t content_hash = 0;
    Options options;
    std::string cpu;  // processor model name
    unsigned cores = 0;
    unsigned pool_threads = 0;
    MeasureConfig cfg;
    std::string gt_path;
    bool gt_from_cache = false;
    double gt_seconds = 0;
    double data_seconds = 0;
    BuildInfo build;
    uint64_t rss_after_data = 0;
    uint64_t peak_rss_after_build = 0;
    uint64_t peak_rss = 0;
    uint64_t children_peak_rss = 0;
    std::vector<SearchRow> rows;
    std::vector<std::string> warnings;
};

// Every row, grouped by I/O mode and latency, one column pair per thread count.
void print_full(const RunResult& r, std::FILE* out);
// The short table: recall@10 and QPS at the largest thread count, next to
// the exact baseline, plus file size and build time.
void print_summary(const RunResult& r, std::FILE* out);
void write_json(const RunResult& r, const std::string& path);

// "12.3 MiB" style.
std::string human_bytes(double bytes);

}  // namespace tavren::ann
