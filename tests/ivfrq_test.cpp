// The IVF-RQ index build: training, the sequential and parallel adds, list
// order, cosine rows, the assignment-mode rule and the stage timing log.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "error.hpp"
#include "guards.hpp"
#include "ivfrq.hpp"
#include "ivfrq_io.hpp"
#include "memory_sink.hpp"
#include "stderr_capture.hpp"

using tavren::ivfrq::IVFRQIndex;
using tavren::testing::MemorySink;
using tavren::testing::PoolGuard;
using tavren::testing::StderrCapture;

namespace {

tavren::kmeans::KMeansConfig coarse_config() {
    tavren::kmeans::KMeansConfig c;
    c.max_iter = 10;
    c.nredo = 1;
    c.max_points_per_centroid = 256;
    c.seed = 1234;
    c.balance = 0.0f;
    return c;
}

std::vector<float> rows(size_t n, size_t d, uint32_t seed) {
    std::mt19937 g(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> v(n * d);
    for (float& x : v) x = normal(g);
    return v;
}

std::vector<int64_t> ids_from(int64_t first, size_t n) {
    std::vector<int64_t> ids(n);
    for (size_t i = 0; i < n; ++i) ids[i] = first + static_cast<int64_t>((i * 7919) % n);
    return ids;
}

IVFRQIndex trained(size_t d, size_t nlist, size_t bits, uint32_t metric, const std::vector<float>& data, size_t n) {
    IVFRQIndex index = IVFRQIndex::with_options(d, nlist, bits, metric, tavren::rabitq::kDefaultSeed, 4);
    index.set_approximate_coarse_assignment(false);
    index.train_with_config(data, n, coarse_config());
    return index;
}

void expect_same_lists(const IVFRQIndex& a, const IVFRQIndex& b) {
    EXPECT_EQ(a.list_ids(), b.list_ids());
    EXPECT_EQ(a.list_codes(), b.list_codes());
    EXPECT_EQ(a.list_factors(), b.list_factors());
}

// Sets the timing variable for one scope.
struct TimingSwitch {
    explicit TimingSwitch(const char* value) { setenv(tavren::ivfrq::kBuildTimingVariable, value, 1); }
    ~TimingSwitch() { unsetenv(tavren::ivfrq::kBuildTimingVariable); }
};

// The stage names of the captured lines; every line must read
// "ivf_rq_build stage=<name> elapsed_ms=<digits>.<three digits>".
std::vector<std::string> stages_of(const std::string& text) {
    static const std::string prefix = "ivf_rq_build stage=", field = " elapsed_ms=";
    std::vector<std::string> stages;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        const size_t at = l.find(field);
        const bool framed = l.rfind(prefix, 0) == 0 && at != std::string::npos;
        EXPECT_TRUE(framed) << l;
        if (!framed) continue;
        const std::string ms = l.substr(at + field.size());
        const size_t dot = ms.find('.');
        const bool digits = dot != std::string::npos && dot > 0 && ms.size() == dot + 4 &&
                            ms.find_first_not_of("0123456789.") == std::string::npos &&
                            ms.find('.', dot + 1) == std::string::npos;
        EXPECT_TRUE(digits) << l;
        stages.push_back(l.substr(prefix.size(), at - prefix.size()));
    }
    return stages;
}

}  // namespace

TEST(IVFRQIndex, CreationAndTraining) {
    EXPECT_THROW(IVFRQIndex::with_options(8, 2, 0, 0, 1, 4), tavren::AssertionFailure);
    EXPECT_THROW(IVFRQIndex::with_options(8, 2, 9, 0, 1, 4), tavren::AssertionFailure);
    const size_t d = 10, nlist = 4, n = 300;
    IVFRQIndex index = IVFRQIndex::with_options(d, nlist, 3, 1, 77, 4);
    EXPECT_EQ(index.padded_dimension(), 64u);
    EXPECT_EQ(index.quantizer().plane_size, 8u);
    EXPECT_EQ(index.list_ids().size(), nlist);
    EXPECT_TRUE(index.coarse_assignment().approximate());
    const std::vector<float> data = rows(n, d, 1);
    index.train_with_config(data, n, coarse_config());
    ASSERT_EQ(index.centroids().size(), nlist * d);
    ASSERT_EQ(index.rotated_centroids().size(), nlist * 64);
    const tavren::rabitq::RQRotation rotation(d, 77, 4);
    std::vector<float> rotated(64), scratch(64);
    for (size_t i = 0; i < nlist; ++i) {
        const std::span<const float> c(index.centroids().data() + i * d, d);
        float norm = 0.0f;
        for (float v : c) norm += v * v;
        EXPECT_NEAR(index.centroid_norms()[i], norm, 1e-4f * (1.0f + norm));
        rotation.rotate(c, rotated, scratch);
        EXPECT_EQ(std::vector<float>(index.rotated_centroids().begin() + i * 64,
                                     index.rotated_centroids().begin() + (i + 1) * 64),
                  rotated);
    }
}

TEST(IVFRQIndex, SequentialAndParallelAddsAgree) {
    const size_t d = 20, nlist = 8, n = 2500;
    const std::vector<float> data = rows(n, d, 2);
    const std::vector<int64_t> ids = ids_from(100, n);
    for (size_t bits : {1u, 5u}) {
        SCOPED_TRACE(bits);
        IVFRQIndex whole = trained(d, nlist, bits, 0, data, n);
        IVFRQIndex pieces = trained(d, nlist, bits, 0, data, n);
        whole.add(data, ids, n);  // parallel: more than 1000 rows, 8 lists
        // Sequential: chunks of at most 1000 rows, appended in call order.
        for (size_t start = 0; start < n; start += 1000) {
            const size_t m = std::min<size_t>(1000, n - start);
            pieces.add(std::span<const float>(data).subspan(start * d, m * d),
                       std::span<const int64_t>(ids).subspan(start, m), m);
        }
        expect_same_lists(whole, pieces);
        EXPECT_EQ(whole.vector_count(), n);
        for (size_t j = 0; j < nlist; ++j) {
            EXPECT_EQ(whole.list_codes()[j].size(), whole.list_ids()[j].size() * bits * 8);
            EXPECT_EQ(whole.list_factors()[j].size(), whole.list_ids()[j].size());
        }
    }
    // A single list stays on the caller's thread and holds every row in input order.
    IVFRQIndex one = trained(d, 1, 2, 0, data, n);
    one.add(data, ids, n);
    EXPECT_EQ(one.list_ids()[0], ids);
}

TEST(IVFRQIndex, FilesAreIdenticalAtPoolSizesOneAndEight) {
    const size_t d = 33, nlist = 6, n = 2100;
    const std::vector<float> data = rows(n, d, 3);
    const std::vector<int64_t> ids = ids_from(0, n);
    std::vector<uint8_t> files[2];
    const size_t sizes[2] = {1, 8};
    for (int i = 0; i < 2; ++i) {
        PoolGuard pool(sizes[i]);
        IVFRQIndex index = IVFRQIndex::with_options(d, nlist, 4, 2, tavren::rabitq::kDefaultSeed, 4);
        index.train_with_config(data, n, coarse_config());
        index.add(data, ids, n);
        MemorySink sink;
        tavren::ivfrq_io::write_ivfrq_index(index, sink);
        files[i] = sink.bytes();
    }
    EXPECT_FALSE(files[0].empty());
    EXPECT_EQ(files[0], files[1]);
}

TEST(IVFRQIndex, AddsAppendInCallOrderAndCosineNormalises) {
    const size_t d = 4;
    const std::vector<float> data = rows(50, d, 4);
    IVFRQIndex index = trained(d, 1, 2, 2, data, 50);
    index.add(std::span<const float>(data).first(2 * d), std::vector<int64_t>{9, 3}, 2);
    index.add(std::span<const float>(data).subspan(2 * d, d), std::vector<int64_t>{1}, 1);
    index.add({}, {}, 0);
    EXPECT_EQ(index.list_ids()[0], (std::vector<int64_t>{9, 3, 1}));

    // Cosine: a row and its scaled copy encode alike (up to the rounding of
    // the normalisation); a zero row stays zero
    // (its residual is minus the centroid).
    IVFRQIndex scaled = trained(d, 1, 4, 2, data, 50);
    std::vector<float> two_rows(data.begin(), data.begin() + d);
    for (size_t k = 0; k < d; ++k) two_rows.push_back(data[k] * 10.0f);
    for (size_t k = 0; k < d; ++k) two_rows.push_back(0.0f);
    scaled.add(two_rows, std::vector<int64_t>{1, 2, 3}, 3);
    const auto& codes = scaled.list_codes()[0];
    const size_t row = 4 * 8;
    EXPECT_TRUE(std::equal(codes.begin(), codes.begin() + row, codes.begin() + row));
    EXPECT_NEAR(scaled.list_factors()[0][0].ex_add, scaled.list_factors()[0][1].ex_add, 1e-5f);
    IVFRQIndex zero = trained(d, 1, 4, 2, data, 50);
    zero.add(std::span<const float>(two_rows).subspan(2 * d), std::vector<int64_t>{3}, 1);
    EXPECT_EQ(zero.list_codes()[0], std::vector<uint8_t>(codes.begin() + 2 * row, codes.end()));
}

TEST(IVFRQIndex, AssignmentModeOnlyWhileEmpty) {
    const size_t d = 4;
    const std::vector<float> data = rows(40, d, 5);
    IVFRQIndex index = trained(d, 2, 1, 0, data, 40);
    index.set_approximate_coarse_assignment(true);  // trained, still empty
    index.add(data, ids_from(0, 40), 40);
    try {
        index.set_approximate_coarse_assignment(false);
        ADD_FAILURE() << "no assertion";
    } catch (const tavren::AssertionFailure& e) {
        EXPECT_EQ(e.message(), "cannot change coarse assignment after vectors have been added");
    }
}

TEST(IVFRQIndex, StageTimingLog) {
    const size_t d = 6, n = 60;
    const std::vector<float> data = rows(n, d, 6);
    IVFRQIndex index = IVFRQIndex::with_options(d, 2, 2, 0, tavren::rabitq::kDefaultSeed, 4);
    {
        StderrCapture quiet;
        index.train_with_config(data, n, coarse_config());
        EXPECT_EQ(quiet.finish(), "");
    }
    TimingSwitch on("");  // present with an empty value still switches it on
    StderrCapture capture;
    index.train_with_config(data, n, coarse_config());
    index.add({}, {}, 0);  // n = 0 logs nothing
    index.add(data, ids_from(0, n), n);
    MemorySink sink;
    tavren::ivfrq_io::write_ivfrq_index(index, sink);
    const std::vector<std::string> want = {
        "train.preprocess", "train.kmeans",      "train.centroid_norms", "train.rotate_centroids",
        "train.assign_graph", "train.total",     "add.assign_graph",     "add.preprocess",
        "add.assign",       "add.group",         "add.encode",           "add.total",
        "write.plan_lists", "write.metadata",    "write.block_lists",    "write.output",
        "write.lists",      "write.total",
    };
    EXPECT_EQ(stages_of(capture.finish()), want);
}

TEST(IVFRQIndex, WriterStageLinesForAnEmptyIndexAndAFailedWrite) {
    const size_t d = 3;
    const std::vector<float> data = rows(20, d, 7);
    IVFRQIndex empty = trained(d, 2, 1, 0, data, 20);
    IVFRQIndex filled = trained(d, 2, 1, 0, data, 20);
    filled.add(data, ids_from(0, 20), 20);
    TimingSwitch on("1");

    // No rows: every stage is logged; nothing was blocked or written per list.
    StderrCapture capture;
    MemorySink sink;
    tavren::ivfrq_io::write_ivfrq_index(empty, sink);
    const std::string text = capture.finish();
    EXPECT_EQ(stages_of(text), (std::vector<std::string>{"write.plan_lists", "write.metadata", "write.block_lists",
                                                         "write.output", "write.lists", "write.total"}));
    EXPECT_NE(text.find("stage=write.block_lists elapsed_ms=0.000\n"), std::string::npos);
    EXPECT_NE(text.find("stage=write.output elapsed_ms=0.000\n"), std::string::npos);

    // A failed payload write ends the call: no further stage line.
    MemorySink::Options opts;
    opts.fail_on_call = 14 + 1 + 2 * 3 + 2;  // the first payload's code length
    MemorySink failing(opts);
    StderrCapture failed;
    EXPECT_THROW(tavren::ivfrq_io::write_ivfrq_index(filled, failing), tavren::Error);
    EXPECT_EQ(stages_of(failed.finish()), (std::vector<std::string>{"write.plan_lists", "write.metadata"}));
}
