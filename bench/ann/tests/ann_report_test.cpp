// The short table that `make demo` prints: it must say what top_k the
// searches asked for against the recall it scores, explain every column, and
// say why a batch trails single queries where it does.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "report.hpp"

namespace ta = tavren::ann;

namespace {

ta::SearchRow row(const std::string& index, unsigned threads, uint64_t width, double single, double batch) {
    ta::SearchRow r;
    r.index = index;
    r.mode = index == "exact" ? "-" : "file";
    r.threads = threads;
    r.width_type = index == "exact" ? "-" : "nprobe";
    r.width = width;
    r.recall10 = index == "exact" ? 1.0 : 0.9;
    r.single_qps = single;
    r.batch_qps = batch;
    return r;
}

ta::RunResult run(unsigned threads, double batch_at_width_1) {
    ta::RunResult r;
    r.label = "ivf_flat nlist=auto(256)";
    r.dataset = "fashion-mnist";
    r.nb = 60000;
    r.nq = 10000;
    r.dim = 784;
    r.cfg.top_k = 100;
    r.cfg.batch_size = 10000;
    r.cfg.time_budget_s = 1;
    r.build.present = true;
    r.build.nlist = 256;
    r.rows = {row("exact", threads, 0, 900, 2300), row("ivf", threads, 1, 50000, batch_at_width_1),
              row("ivf", threads, 2, 30000, 10000), row("ivf", threads, 4, 15000, 16000)};
    return r;
}

std::string summary_of(const ta::RunResult& r) {
    char* text = nullptr;
    size_t len = 0;
    std::FILE* out = open_memstream(&text, &len);
    ta::print_summary(r, out);
    std::fclose(out);
    std::string s(text, len);
    std::free(text);
    return s;
}

bool has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

}  // namespace

TEST(AnnReport, SummarySaysTopKAgainstRecallAndExplainsEveryColumn) {
    const std::string s = summary_of(run(8, 20000));
    EXPECT_TRUE(has(s, "every search asks for top_k 100 results; recall@10 scores the first 10 of them")) << s;
    for (const char* column : {"  width             exact:", "nprobe=N: each query scans the N of the index's 256 lists",
                               "  recall@10 ", "  QPS single        queries per second, one query per call, 8 host",
                               "  QPS batch         queries per second, batch calls of 10000 queries",
                               "  x exact (single)  "}) {
        EXPECT_TRUE(has(s, column)) << column << "\n" << s;
    }
}

TEST(AnnReport, BatchNoteNamesTheWidthsWhereBatchTrailsOnSeveralThreads) {
    struct Case {
        unsigned threads;
        double batch_at_width_1;
        const char* note;  // nullptr: no note
    } cases[] = {
        {8, 20000, "Batch below single at nprobe 1, 2:"},
        {8, 60000, "Batch below single at nprobe 2:"},
        {1, 20000, nullptr},  // one thread: nothing runs in parallel to explain
    };
    for (const Case& c : cases) {
        const std::string s = summary_of(run(c.threads, c.batch_at_width_1));
        if (c.note) {
            EXPECT_TRUE(has(s, c.note)) << s;
            EXPECT_TRUE(has(s, "no processor cache holds")) << s;
        } else {
            EXPECT_FALSE(has(s, "Batch below single")) << s;
        }
    }
}
