// The trainer and writer facade: sample capacity and k-means settings, the
// reservoir sample and its exact draws, refusals that leave state unchanged,
// the closed set of index types, and reproducible files across pool sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <span>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "error.hpp"
#include "expect.hpp"
#include "index.hpp"
#include "ivfflat.hpp"
#include "ivfrq.hpp"
#include "ivfsq.hpp"
#include "ivfpq_io.hpp"
#include "ivfsq_io.hpp"
#include "memory_sink.hpp"
#include "pool.hpp"
#include "rng.hpp"

using namespace tavren;
using namespace tavren::index;
using tavren::testing::MemorySink;

namespace {

OptionPairs flat_options(const std::string& dimension, const std::string& nlist, const std::string& metric = "l2") {
    return {{"index.type", "ivf_flat"}, {"dimension", dimension}, {"metric", metric}, {"nlist", nlist}};
}

VectorIndexTrainer flat_trainer(const std::string& dimension, const std::string& nlist,
                                const std::string& metric = "l2") {
    return VectorIndexTrainer::create(VectorIndexConfig::from_options(flat_options(dimension, nlist, metric)));
}

std::vector<float> rows_of(size_t n, size_t d, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
    std::vector<float> rows(n * d);
    for (size_t i = 0; i < n; ++i) {
        for (size_t k = 0; k < d; ++k) rows[i * d + k] = static_cast<float>((i * 7 + k) % 5) + uni(gen);
    }
    return rows;
}

using tavren::testing::error_message;

const ivfflat::IVFFlatIndex& flat(const VectorIndexWriter& writer) {
    return std::get<ivfflat::IVFFlatIndex>(writer.index());
}

}  // namespace

TEST(VectorIndexTrainer, CapacityAndKMeansSettings) {
    struct Case {
        const char* nlist;
        uint64_t capacity;
    };
    for (const Case& c : {Case{"1", 65536}, Case{"16", 65536}, Case{"1024", 65536}, Case{"1025", 65600},
                          Case{"4096", 262144}}) {
        SCOPED_TRACE(c.nlist);
        const VectorIndexTrainer t = flat_trainer("3", c.nlist);
        EXPECT_EQ(t.capacity(), c.capacity);
        EXPECT_EQ(t.seen(), 0u);
        EXPECT_EQ(t.sample_rows(), 0u);
        EXPECT_EQ(t.dimension(), 3u);
    }
    OptionPairs options = flat_options("3", "8");
    options.emplace_back("ivf.train.max-points-per-centroid", "100");
    const VectorIndexTrainer t = VectorIndexTrainer::create(VectorIndexConfig::from_options(options));
    for (const kmeans::KMeansConfig* k : {&t.coarse_kmeans(), &t.pq_kmeans()}) {
        EXPECT_EQ(k->max_iter, 25u);
        EXPECT_EQ(k->nredo, 1u);
        EXPECT_EQ(k->seed, 1234u);
        EXPECT_EQ(k->balance, 0.0f);
    }
    EXPECT_EQ(t.coarse_kmeans().max_points_per_centroid, 100u);
    EXPECT_EQ(t.pq_kmeans().max_points_per_centroid, 256u);
    EXPECT_EQ(flat_trainer("3", "8").coarse_kmeans().max_points_per_centroid, 256u);

    const VectorIndexWriter& w = t.index();
    EXPECT_EQ(w.index_type(), IndexType::IvfFlat);
    EXPECT_EQ(w.dimension(), 3u);
    EXPECT_EQ(flat(w).nlist(), 8u);
    EXPECT_TRUE(flat(w).centroids().empty());
}

TEST(VectorIndexTrainer, CoarseAssignmentModeFromTheOptions) {
    for (const auto& [value, approximate] : {std::pair{"auto", true}, std::pair{"exact", false}}) {
        OptionPairs options = flat_options("3", "8");
        options.emplace_back("ivf.coarse-assignment", value);
        const VectorIndexTrainer t = VectorIndexTrainer::create(VectorIndexConfig::from_options(options));
        EXPECT_EQ(flat(t.index()).coarse_assignment().approximate(), approximate) << value;
    }
}

TEST(VectorIndexTrainer, CreationRefusals) {
    // Sample planning runs before the configuration checks.
    IvfFlatConfig no_lists;
    no_lists.dimension = 4;
    no_lists.nlist = 0;
    EXPECT_EQ(error_message([&] { VectorIndexTrainer::create(VectorIndexConfig{no_lists}); }),
              "nlist must be greater than 0");
    IvfFlatConfig huge = no_lists;
    huge.nlist = uint64_t{1} << 58;
    EXPECT_EQ(error_message([&] { VectorIndexTrainer::create(VectorIndexConfig{huge}); }),
              "automatic training vector count overflows usize");
    IvfFlatConfig no_dimension;
    no_dimension.nlist = 4;
    no_dimension.max_points_per_centroid = 256;
    EXPECT_NE(error_message([&] { VectorIndexTrainer::create(VectorIndexConfig{no_dimension}); }), "<no error>");
}

// ivf_sq builds through the facade: the trainer holds an empty IVF-SQ index
// with the configured coarse mode, finish trains it, the writer adds and
// writes with the IVF-SQ format writer.
TEST(VectorIndexFacade, IvfSqTrainsAddsAndWrites) {
    for (const auto& [mode, approximate] : {std::pair{"auto", true}, std::pair{"exact", false}}) {
        const OptionPairs options = {{"index.type", "ivf_sq"}, {"dimension", "5"}, {"metric", "cosine"},
                                     {"nlist", "3"}, {"ivf.coarse-assignment", mode}};
        VectorIndexTrainer t = VectorIndexTrainer::create(VectorIndexConfig::from_options(options));
        EXPECT_EQ(t.index().index_type(), IndexType::IvfSq);
        EXPECT_EQ(t.dimension(), 5u);
        const auto& held = std::get<ivfsq::IVFSQIndex>(t.index().index());
        EXPECT_EQ(held.nlist(), 3u);
        EXPECT_EQ(held.metric(), 2u);
        EXPECT_EQ(held.coarse_assignment().approximate(), approximate);

        const std::vector<float> rows = rows_of(300, 5, 9);
        t.add_training_vectors_mut(rows, 300);
        VectorIndexWriter w = std::move(t).finish();
        std::vector<int64_t> ids(300);
        for (size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<int64_t>(i) * 3;
        w.add_vectors(ids, rows, 300);
        MemorySink sink;
        w.write(sink);
        MemorySink direct;
        ivfsq_io::write_ivfsq_index(std::get<ivfsq::IVFSQIndex>(w.index()), direct);
        EXPECT_EQ(sink.bytes(), direct.bytes());
        uint32_t magic;
        std::memcpy(&magic, sink.bytes().data(), 4);
        EXPECT_EQ(magic, 0x49565351u);
    }
    const OptionPairs no_lists = {{"index.type", "ivf_sq"}, {"dimension", "5"}, {"metric", "l2"}, {"nlist", "0"}};
    EXPECT_EQ(error_message([&] { VectorIndexTrainer::create(VectorIndexConfig::from_options(no_lists)); }),
              "nlist must be greater than 0");
}

// ivf_pq builds through the facade, with and without a rotation: the trainer
// holds an IVF-PQ index of the configured shape with 8-bit codes, the writer
// adds and writes with the IVF-PQ format writer.
TEST(VectorIndexFacade, IvfPqTrainsAddsAndWrites) {
    for (const char* use_opq : {"false", "true"}) {
        const OptionPairs options = {{"index.type", "ivf_pq"}, {"dimension", "8"}, {"metric", "l2"},
                                     {"nlist", "3"},         {"use-opq", use_opq}};
        const VectorIndexConfig config = VectorIndexConfig::from_options(options);
        const IvfPqConfig& c = std::get<IvfPqConfig>(config.value);
        VectorIndexTrainer t = VectorIndexTrainer::create(config);
        EXPECT_EQ(t.index().index_type(), IndexType::IvfPq);
        const auto& held = std::get<ivfpq::IVFPQIndex>(t.index().index());
        EXPECT_EQ(held.nlist(), 3u);
        EXPECT_EQ(held.pq().m(), c.m);
        EXPECT_EQ(held.pq().nbits(), 8u);
        EXPECT_EQ(held.opq().has_value(), std::string(use_opq) == "true");

        const std::vector<float> rows = rows_of(400, 8, 4);
        t.add_training_vectors_mut(rows, 400);
        VectorIndexWriter w = std::move(t).finish();
        std::vector<int64_t> ids(400);
        for (size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<int64_t>(i) * 2;
        w.add_vectors(ids, rows, 400);
        MemorySink sink;
        w.write(sink);
        MemorySink direct;
        ivfpq_io::write_ivfpq_index(std::get<ivfpq::IVFPQIndex>(w.index()), direct);
        EXPECT_EQ(sink.bytes(), direct.bytes());
        const ivfpq_format::Header h =
            ivfpq_io::validate_header(std::span<const uint8_t, 64>(sink.bytes().data(), 64));
        EXPECT_EQ(h.total, 400);
        EXPECT_EQ(h.m, static_cast<int32_t>(c.m));
        EXPECT_EQ(h.flags, std::string(use_opq) == "true" ? 0xFu : 0xEu);
    }
}

TEST(VectorIndexTrainer, ReservoirKeepsTheFirstCapacityRowsThenDrawsSlots) {
    const size_t d = 2;
    VectorIndexTrainer t = flat_trainer("2", "16");
    ASSERT_EQ(t.capacity(), 65536u);
    const std::vector<float> first = rows_of(65536, d, 1);
    t.add_training_vectors_mut(first, 65536);
    EXPECT_EQ(t.sample(), first);
    EXPECT_EQ(t.sample_rows(), 65536u);

    // Row p = 65536 replaces slot j only when the draw over [0, 65536] is below 65536.
    const std::vector<float> extra = {100.0f, 200.0f};
    t.add_training_vectors_mut(extra, 1);
    rng::StdRng reference = rng::StdRng::seed_from_u64(1234);
    const uint64_t j = reference.gen_range_inclusive(0, 65536);
    std::vector<float> want = first;
    if (j < 65536) std::copy(extra.begin(), extra.end(), want.begin() + static_cast<ptrdiff_t>(j * d));
    EXPECT_EQ(t.sample(), want);
    EXPECT_EQ(t.seen(), 65537u);
    EXPECT_EQ(t.sample_rows(), 65536u);

    // Further rows continue the same stream: one draw per row past the capacity.
    const std::vector<float> more = rows_of(5000, d, 2);
    t.add_training_vectors_mut(more, 5000);
    for (uint64_t i = 0; i < 5000; ++i) {
        const uint64_t slot = reference.gen_range_inclusive(0, 65537 + i);
        if (slot < 65536) {
            std::copy_n(more.begin() + static_cast<ptrdiff_t>(i * d), d, want.begin() + static_cast<ptrdiff_t>(slot * d));
        }
    }
    EXPECT_EQ(t.sample(), want);
    EXPECT_EQ(t.seen(), 70537u);
}

TEST(VectorIndexTrainer, SampleDoesNotDependOnHowRowsAreSplit) {
    const size_t d = 3, n = 70000;
    const std::vector<float> rows = rows_of(n, d, 3);
    VectorIndexTrainer whole = flat_trainer("3", "16");
    whole.add_training_vectors_mut(rows, n);
    VectorIndexTrainer split = flat_trainer("3", "16");
    const size_t pattern[] = {1, 49, 50};
    size_t offered = 0;
    for (size_t step = 0; offered < n; ++step) {
        const size_t take = std::min(pattern[step % 3], n - offered);
        split.add_training_vectors_mut(std::span<const float>(rows).subspan(offered * d, take * d), take);
        offered += take;
    }
    EXPECT_EQ(split.sample(), whole.sample());
    EXPECT_EQ(split.seen(), whole.seen());
    EXPECT_EQ(split.sample_rows(), whole.sample_rows());
    // A different order of the same rows gives a different sample.
    std::vector<float> reversed(rows.rbegin(), rows.rend());
    VectorIndexTrainer other = flat_trainer("3", "16");
    other.add_training_vectors_mut(reversed, n);
    EXPECT_NE(other.sample(), whole.sample());
}

TEST(VectorIndexTrainer, RefusedTrainingRowsChangeNothing) {
    VectorIndexTrainer t = flat_trainer("4", "2");
    const std::vector<float> good = rows_of(3, 4, 4);
    t.add_training_vectors_mut(good, 3);
    std::vector<float> nan_rows(8, 1.0f);
    nan_rows[3] = std::nanf("");
    std::vector<float> inf_rows(8, 1.0f);
    inf_rows[6] = std::numeric_limits<float>::infinity();
    const std::vector<float> seven(7, 1.0f);
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { t.add_training_vectors_mut({}, 0); }, "vector count must be greater than 0"},
        {[&] { t.add_training_vectors_mut(seven, 2); },
         "training data length 7 does not match vector count * dimension 8"},
        {[&] { t.add_training_vectors_mut(nan_rows, 2); }, "training data contains non-finite value at offset 3: NaN"},
        {[&] { t.add_training_vectors_mut(inf_rows, 2); }, "training data contains non-finite value at offset 6: inf"},
    };
    for (const auto& [call, message] : cases) {
        EXPECT_EQ(error_message(call), message);
        EXPECT_EQ(t.seen(), 3u);
        EXPECT_EQ(t.sample_rows(), 3u);
        EXPECT_EQ(t.sample(), good);
    }
}

namespace tavren::index {
struct VectorIndexTrainerTestAccess {
    static void set_seen(VectorIndexTrainer& t, uint64_t seen) { t.seen_ = seen; }
};
}  // namespace tavren::index

TEST(VectorIndexTrainer, StreamLengthOverflowIsRefused) {
    VectorIndexTrainer t = flat_trainer("2", "2");
    const std::vector<float> rows = rows_of(2, 2, 12);
    t.add_training_vectors_mut(rows, 2);
    const uint64_t near_end = std::numeric_limits<uint64_t>::max() - 1;
    VectorIndexTrainerTestAccess::set_seen(t, near_end);
    EXPECT_EQ(error_message([&] { t.add_training_vectors_mut(rows, 2); }), "training vector count overflows usize");
    EXPECT_EQ(t.seen(), near_end);
    EXPECT_EQ(t.sample(), rows);
}

TEST(VectorIndexTrainer, FinishNeedsRowsAndTrainsOnTheSample) {
    EXPECT_EQ(error_message([] { (void)flat_trainer("4", "2").finish(); }), "no training vectors added");

    for (const char* metric : {"l2", "inner_product", "cosine"}) {
        SCOPED_TRACE(metric);
        VectorIndexTrainer t = flat_trainer("4", "8", metric);
        const std::vector<float> rows = rows_of(3000, 4, 5);
        t.add_training_vectors_mut(rows, 3000);
        ivfflat::IVFFlatIndex reference(4, 8, flat(t.index()).metric());
        reference.train_with_config(t.sample(), 3000, t.coarse_kmeans());
        const VectorIndexWriter w = std::move(t).finish();
        EXPECT_EQ(flat(w).centroids(), reference.centroids());
        EXPECT_EQ(flat(w).centroids().size(), 32u);
    }
}

TEST(VectorIndexWriter, AddChecksLeaveTheIndexUnchanged) {
    VectorIndexTrainer t = flat_trainer("2", "2");
    t.add_training_vectors_mut(rows_of(50, 2, 6), 50);
    VectorIndexWriter w = std::move(t).finish();
    const std::vector<float> ten = rows_of(10, 2, 7);
    const std::vector<int64_t> nine(9, 1);
    EXPECT_EQ(error_message([&] { w.add_vectors(nine, ten, 10); }), "ids length 9 does not match vector count 10");
    std::vector<float> bad = ten;
    bad[13] = -std::numeric_limits<float>::infinity();
    const std::vector<int64_t> ids(10, 1);
    EXPECT_EQ(error_message([&] { w.add_vectors(ids, bad, 10); }),
              "vector data contains non-finite value at offset 13: -inf");
    EXPECT_EQ(error_message([&] { w.add_vectors(ids, ten, 9); }),
              "vector data length 20 does not match vector count * dimension 18");
    EXPECT_EQ(error_message([&] { w.add_vectors({}, {}, 0); }), "vector count must be greater than 0");
    EXPECT_EQ(flat(w).vector_count(), 0u);
    w.add_vectors(ids, ten, 10);
    EXPECT_EQ(flat(w).vector_count(), 10u);
}

TEST(VectorIndexWriter, WriteUsesTheFormatWriterAndKeepsTheIndex) {
    VectorIndexTrainer t = flat_trainer("3", "4", "cosine");
    t.add_training_vectors_mut(rows_of(400, 3, 8), 400);
    VectorIndexWriter w = std::move(t).finish();
    std::vector<int64_t> ids(100);
    for (size_t i = 0; i < 100; ++i) ids[i] = static_cast<int64_t>(i * 3 % 17);
    w.add_vectors(ids, rows_of(100, 3, 9), 100);

    MemorySink direct;
    ivfflat::write_ivfflat_index(flat(w), direct);
    MemorySink first, second;
    w.write(first);
    w.write(second);
    EXPECT_EQ(first.bytes(), direct.bytes());
    EXPECT_EQ(second.bytes(), direct.bytes());

    w.add_vectors(std::vector<int64_t>{1000}, std::vector<float>{1, 2, 3}, 1);
    MemorySink third;
    w.write(third);
    EXPECT_GT(third.bytes().size(), direct.bytes().size() + 12);  // one more row, ID bytes and rows

    // The format writer's error is passed on unchanged.
    MemorySink::Options opts;
    opts.fail_on_call = 2;
    MemorySink failing(opts);
    tavren::testing::expect_error([&] { w.write(failing); }, ErrorKind::Other, "memory sink write failed");
}

TEST(VectorIndexFacade, SameFileAtPoolSizesOneAndEight) {
    const size_t d = 32, ntrain = 70000, nadd = 20000;
    const std::vector<float> train = rows_of(ntrain, d, 10);
    const std::vector<float> data = rows_of(nadd, d, 11);
    std::vector<int64_t> ids(nadd);
    for (size_t i = 0; i < nadd; ++i) ids[i] = static_cast<int64_t>((i * 7919) % 5003);

    auto build = [&](size_t threads) {
        pool::set_num_threads_for_testing(threads);
        EXPECT_EQ(pool::current_num_threads(), threads);
        VectorIndexTrainer t = flat_trainer("32", "64", "cosine");
        t.add_training_vectors_mut(train, ntrain);
        VectorIndexWriter w = std::move(t).finish();
        w.add_vectors(std::span<const int64_t>(ids).first(5000), std::span<const float>(data).first(5000 * d), 5000);
        w.add_vectors(std::span<const int64_t>(ids).subspan(5000), std::span<const float>(data).subspan(5000 * d),
                      nadd - 5000);
        MemorySink sink;
        w.write(sink);
        return sink.bytes();
    };
    const std::vector<uint8_t> one = build(1);
    const std::vector<uint8_t> eight = build(8);
    pool::set_num_threads_for_testing(0);
    EXPECT_GT(one.size(), 20000u * 4 * 32);
    EXPECT_TRUE(one == eight);
}

TEST(VectorIndexFacade, TypeNames) {
    EXPECT_EQ(index_type_name(IndexType::IvfFlat), "ivf_flat");
    EXPECT_EQ(index_type_name(IndexType::IvfSq), "ivf_sq");
    EXPECT_EQ(index_type_name(IndexType::IvfPq), "ivf_pq");
    EXPECT_EQ(index_type_name(IndexType::IvfRq), "ivf_rq");
    EXPECT_EQ(index_type_name(IndexType::DiskAnn), "diskann");
}

TEST(VectorIndexTrainer, IvfRqJoinsTheClosedSet) {
    struct Case {
        OptionPairs options;
        size_t bits;
    };
    const Case cases[] = {
        {{{"index.type", "ivf_rq"}, {"dimension", "70"}, {"metric", "cosine"}, {"nlist", "3"}, {"rq.bits", "2"}}, 2},
        {{{"index.type", "ivf_rq"}, {"dimension", "70"}, {"metric", "l2"}, {"nlist", "3"}}, 4},
        // A byte budget chooses the widest code that fits beside the row-ID
        // bytes: 128 x 3 / 8 + 20 = 68 of 78 - 10.
        {{{"index.type", "ivf_rq"}, {"dimension", "70"}, {"metric", "l2"}, {"nlist", "3"},
          {"max-bytes-per-vector", "78"}},
         3},
    };
    for (const Case& c : cases) {
        VectorIndexTrainer t = VectorIndexTrainer::create(VectorIndexConfig::from_options(c.options));
        const auto& rq = std::get<ivfrq::IVFRQIndex>(t.index().index());
        EXPECT_EQ(rq.bits(), c.bits);
        EXPECT_EQ(rq.seed(), 0x9E3779B97F4A7C15ULL);
        EXPECT_EQ(rq.rotation_rounds(), 4u);
        EXPECT_EQ(t.index().index_type(), IndexType::IvfRq);
        const std::vector<float> rows = rows_of(200, 70, 9);
        t.add_training_vectors_mut(rows, 200);
        VectorIndexWriter w = std::move(t).finish();
        std::vector<int64_t> ids(200);
        for (size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<int64_t>(i);
        w.add_vectors(ids, rows, 200);
        MemorySink sink;
        w.write(sink);
        ASSERT_GE(sink.bytes().size(), 64u);
        uint32_t magic, bits;
        std::memcpy(&magic, sink.bytes().data(), 4);
        std::memcpy(&bits, sink.bytes().data() + 28, 4);
        EXPECT_EQ(magic, 0x49565251u);
        EXPECT_EQ(bits, c.bits);
    }
}
