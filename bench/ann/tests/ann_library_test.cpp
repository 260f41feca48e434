// The harness end to end through the C interface: build an IVF-FLAT index,
// write it to a file and to memory, reopen it from both and measure it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <numeric>
#include <optional>
#include <string>

#include "dataset.hpp"
#include "ground_truth.hpp"
#include "host_io.hpp"
#include "library.hpp"
#include "measure.hpp"

namespace ta = tavren::ann;
namespace fs = std::filesystem;

namespace {

constexpr size_t kNlist = 8;

struct Built {
    ta::Dataset ds;
    std::vector<uint8_t> memory;
    std::string path;
};

Built build_small_index() {
    Built b{ta::make_gaussian_mixture({.nb = 2000, .nq = 100, .dim = 16, .clusters = 20, .seed = 77}), {}, {}};
    ta::Options opts = {{"index.type", "ivf_flat"}, {"dimension", "16"}, {"metric", "l2"}, {"nlist", std::to_string(kNlist)}};
    ta::Trainer trainer(opts);
    EXPECT_EQ(trainer.dimension(), 16u);
    trainer.add_training_vectors(b.ds.base.data.data(), b.ds.base.rows, 700);
    ta::Training training = trainer.finish();
    ta::Writer writer = training.open_writer();
    std::vector<int64_t> ids(b.ds.base.rows);
    std::iota(ids.begin(), ids.end(), 0);
    writer.add_vectors(ids.data(), b.ds.base.data.data(), b.ds.base.rows, 333);
    b.path = (fs::temp_directory_path() / ("ann_library_test_" + std::to_string(::getpid()) + ".idx")).string();
    ta::FileSink fsink(b.path);
    writer.write_index(fsink.callbacks(true, true));
    fsink.close();
    EXPECT_EQ(fsink.flush_calls(), 1u);
    ta::MemorySink msink;
    writer.write_index(msink.callbacks(false, false));  // no position callback: offsets from the byte count
    b.memory = msink.take();
    return b;
}

// The text of the LibraryError fn() throws; nullopt when it returns.
std::optional<std::string> library_error(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const ta::LibraryError& e) {
        return e.what();
    }
    return std::nullopt;
}

}  // namespace

TEST(AnnLibrary, FileAndMemoryHostsGiveTheSameIndexAndExactResultsAtFullWidth) {
    const Built built = build_small_index();
    EXPECT_EQ(ta::read_file(built.path), built.memory) << "writing to a file and to memory gives the same bytes";
    const ta::Dataset& ds = built.ds;
    ta::ExactIndex exact(ds.base, ta::Metric::L2);
    ta::Neighbors gt = exact.search(ds.queries.data.data(), ds.queries.rows, 100, 2);

    ta::FileSource fsrc(built.path);
    ta::MemorySource msrc(built.memory);
    fsrc.set_latency_ns(20'000);
    ta::MeasureConfig cfg;
    cfg.top_k = 100;
    cfg.time_budget_s = 30;  // every query, whatever the machine
    cfg.batch_size = 40;     // three batch calls, the last one partial
    for (auto [src, mode] : {std::pair<ta::InputSource*, const char*>{&fsrc, "file"}, {&msrc, "memory"}}) {
        ta::SweepSpec spec;
        spec.index_label = "ivf_flat";
        spec.mode = mode;
        spec.threads = 3;
        spec.width_type = TAVREN_DADIZA_WIDTH_NPROBE;
        spec.widths = {1, kNlist};
        auto rows = ta::sweep_reader(*src, ds, exact, gt, spec, cfg);
        ASSERT_EQ(rows.size(), 2u);
        for (const auto& r : rows) {
            EXPECT_EQ(r.single_queries, ds.queries.rows);
            EXPECT_EQ(r.batch_queries, ds.queries.rows);
            EXPECT_GT(r.single_calls_per_query, 0.0) << mode;
            EXPECT_GT(r.single_bytes_per_query, 0.0) << mode;
            EXPECT_EQ(r.single_batch_mismatches, 0u) << mode << " width " << r.width;
        }
        EXPECT_LT(rows[0].recall10, 1.0) << "one list of " << kNlist << " misses neighbours";
        EXPECT_EQ(rows[1].recall1, 1.0) << mode;
        EXPECT_EQ(rows[1].recall10, 1.0) << mode;
        EXPECT_EQ(rows[1].recall100, 1.0) << mode;
        EXPECT_GE(rows[1].single_bytes_per_query, rows[0].single_bytes_per_query);
        EXPECT_EQ(src->failures(), 0u);
    }
    ta::Reader reader(msrc.record());
    FfiIndexMetadata meta = reader.metadata();
    EXPECT_EQ(meta.index_type, 0u);
    EXPECT_EQ(meta.nlist, kNlist);
    EXPECT_EQ(meta.dimension, 16u);
    EXPECT_EQ(meta.vector_count, 2000);
    fs::remove(built.path);
}

TEST(AnnLibrary, ErrorsCarryTheLibraryText) {
    const auto trainer = library_error([] { ta::Trainer t(ta::Options{{"index.type", "ivf_flat"}}); });
    ASSERT_TRUE(trainer) << "options without dimension and metric were accepted";
    EXPECT_NE(trainer->find("tavren_dadiza_trainer_open failed: "), std::string::npos) << *trainer;
    EXPECT_NE(trainer->find("invalid vector index options: "), std::string::npos) << *trainer;

    const std::vector<uint8_t> junk(64, 0xAB);
    ta::MemorySource src(junk);
    const auto reader = library_error([&] { ta::Reader r(src.record()); });
    ASSERT_TRUE(reader) << "a file of junk opened";
    EXPECT_NE(reader->find("tavren_dadiza_reader_open failed: "), std::string::npos) << *reader;
    EXPECT_NE(reader->find("open reader: unknown vector index magic: 0xABABABAB"), std::string::npos) << *reader;
}
