// The build exports driven from C++: handle independence, the output adapter's
// positions, reproducible files across pool sizes, and the split of option
// checks between the C layer and the option parser.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "../tests/c/ivfflat_file_check.h"
#include "pool.hpp"
#include "tavren_dadiza.h"

namespace {

struct Output {
    std::vector<uint8_t> bytes;
    int64_t position_base = 0;
    int flushes = 0;
};

int write_bytes(void* user, const uint8_t* bytes, size_t len) {
    auto* out = static_cast<Output*>(user);
    out->bytes.insert(out->bytes.end(), bytes, bytes + len);
    return 0;
}
int flush_ok(void* user) {
    ++static_cast<Output*>(user)->flushes;
    return 0;
}
int64_t position(void* user) {
    const auto* out = static_cast<Output*>(user);
    return out->position_base < 0 ? out->position_base
                                   : out->position_base + static_cast<int64_t>(out->bytes.size());
}

FfiOutputCallbacks callbacks(Output& out, bool with_position) {
    return FfiOutputCallbacks{&out, write_bytes, flush_ok, with_position ? position : nullptr};
}

std::string last_error() {
    const char* text = tavren_dadiza_last_error();
    return text == nullptr ? "<null>" : text;
}

std::vector<float> rows_of(size_t n, size_t d, uint32_t seed) {
    std::vector<float> rows(n * d);
    uint32_t s = seed;
    for (float& v : rows) {
        s = s * 1664525u + 1013904223u;
        v = static_cast<float>(s >> 8) / 16777216.0f + static_cast<float>((s >> 4) % 3);
    }
    return rows;
}

TavrenDadizaTrainerHandle* open(const std::vector<std::pair<std::string, std::string>>& options) {
    std::vector<const char*> keys, values;
    for (const auto& [k, v] : options) {
        keys.push_back(k.c_str());
        values.push_back(v.c_str());
    }
    return tavren_dadiza_trainer_open(keys.data(), values.data(), keys.size());
}

// Trains, adds and writes one index through the exports.
std::vector<uint8_t> build_file(const std::string& metric, const std::vector<float>& train,
                                const std::vector<float>& data, const std::vector<int64_t>& ids, size_t d,
                                Output& out, bool with_position) {
    TavrenDadizaTrainerHandle* trainer =
        open({{"index.type", "ivf_flat"}, {"dimension", std::to_string(d)}, {"metric", metric}, {"nlist", "32"}});
    EXPECT_NE(trainer, nullptr) << last_error();
    EXPECT_EQ(tavren_dadiza_trainer_add_training_vectors(trainer, train.data(), train.size() / d), 0);
    TavrenDadizaTrainingHandle* training = tavren_dadiza_trainer_finish(trainer);
    tavren_dadiza_trainer_free(trainer);  // emptied: frees only the handle
    TavrenDadizaWriterHandle* writer = tavren_dadiza_writer_open(training);
    tavren_dadiza_training_free(training);  // emptied too; the writer owns the index
    EXPECT_NE(writer, nullptr) << last_error();
    EXPECT_EQ(tavren_dadiza_writer_add_vectors(writer, ids.data(), data.data(), ids.size()), 0) << last_error();
    EXPECT_EQ(tavren_dadiza_writer_write_index(writer, callbacks(out, with_position)), 0) << last_error();
    tavren_dadiza_writer_free(writer);
    return out.bytes;
}

}  // namespace

TEST(BuildExports, SameFileAtPoolSizesOneAndEightUnderEachMetric) {
    const size_t d = 24;
    const std::vector<float> train = rows_of(70000, d, 1);
    const std::vector<float> data = rows_of(6000, d, 2);
    std::vector<int64_t> ids(6000);
    for (size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<int64_t>((i * 104729) % 4001) - 2000;
    for (const char* metric : {"l2", "inner_product", "cosine"}) {
        SCOPED_TRACE(metric);
        tavren::pool::set_num_threads_for_testing(1);
        Output one;
        build_file(metric, train, data, ids, d, one, false);
        tavren::pool::set_num_threads_for_testing(8);
        Output eight;
        build_file(metric, train, data, ids, d, eight, false);
        tavren::pool::set_num_threads_for_testing(0);
        EXPECT_TRUE(one.bytes == eight.bytes);
        EXPECT_EQ(one.flushes, 1);

        IvfFlatCheckFile f;
        ASSERT_EQ(ivfc_parse(one.bytes.data(), one.bytes.size(), &f), 0) << f.error;
        EXPECT_EQ(f.total, 6000u);
        ivfc_free(&f);
    }
}

TEST(BuildExports, HostPositionsDoNotChangeTheFile) {
    const size_t d = 4;
    const std::vector<float> train = rows_of(500, d, 3);
    const std::vector<float> data = rows_of(300, d, 4);
    std::vector<int64_t> ids(300);
    for (size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<int64_t>(300 - i);
    Output plain, at0, at1000, negative;
    at1000.position_base = 1000;
    negative.position_base = -1;  // "no position": the adapter counts bytes itself
    build_file("l2", train, data, ids, d, plain, false);
    build_file("l2", train, data, ids, d, at0, true);
    build_file("l2", train, data, ids, d, at1000, true);
    build_file("l2", train, data, ids, d, negative, true);
    EXPECT_FALSE(plain.bytes.empty());
    EXPECT_TRUE(at0.bytes == plain.bytes);
    EXPECT_TRUE(at1000.bytes == plain.bytes);
    EXPECT_TRUE(negative.bytes == plain.bytes);
    int64_t first_offset;
    std::memcpy(&first_offset, at1000.bytes.data() + 64 + 4 * 32 * d, 8);
    EXPECT_EQ(first_offset, static_cast<int64_t>(64 + 4 * 32 * d + 16 * 32));
}

TEST(BuildExports, OptionKeysAreJudgedByTheParserAfterTheCLayer) {
    // Keys that differ only in surrounding spaces pass the C layer's duplicate
    // check; the parser trims them and refuses the pair.
    EXPECT_EQ(open({{"index.type", "ivf_flat"}, {"metric", "l2"}, {" metric ", "l2"}}), nullptr);
    EXPECT_EQ(last_error(), "invalid vector index options: duplicate option key 'metric'");
    // Values are passed on byte for byte.
    EXPECT_EQ(open({{"index.type", "IVF_FLAT"}, {"dimension", "4"}, {"metric", "l2"}, {"nlist", "2"}}), nullptr);
    EXPECT_EQ(last_error().rfind("invalid vector index options: unknown index.type 'IVF_FLAT'", 0), 0u)
        << last_error();
    // Option values that fail validation are reported under the same prefix.
    EXPECT_EQ(open({{"index.type", "ivf_flat"}, {"dimension", "0"}, {"metric", "l2"}, {"nlist", "2"}}), nullptr);
    EXPECT_EQ(last_error().rfind("invalid vector index options: ", 0), 0u) << last_error();
}

TEST(BuildExports, WriterOutlivesItsTrainingHandleAndWritesRepeatedly) {
    const size_t d = 3;
    const std::vector<float> train = rows_of(200, d, 5);
    TavrenDadizaTrainerHandle* trainer =
        open({{"index.type", "ivf_flat"}, {"dimension", "3"}, {"metric", "cosine"}, {"nlist", "4"},
              {"ivf.coarse-assignment", "exact"}});
    ASSERT_NE(trainer, nullptr) << last_error();
    ASSERT_EQ(tavren_dadiza_trainer_add_training_vectors(trainer, train.data(), 200), 0);
    TavrenDadizaTrainingHandle* training = tavren_dadiza_trainer_finish(trainer);
    ASSERT_NE(training, nullptr);
    TavrenDadizaWriterHandle* writer = tavren_dadiza_writer_open(training);
    ASSERT_NE(writer, nullptr);
    tavren_dadiza_training_free(training);
    tavren_dadiza_trainer_free(trainer);

    size_t dim = 0;
    EXPECT_EQ(tavren_dadiza_writer_dimension(writer, &dim), 0);
    EXPECT_EQ(dim, 3u);
    const std::vector<float> rows = {1, 0, 0, 0, 0, 0, 0, 2, 0};
    const std::vector<int64_t> ids = {-5, 7, -5};
    ASSERT_EQ(tavren_dadiza_writer_add_vectors(writer, ids.data(), rows.data(), 3), 0);
    Output first, second;
    ASSERT_EQ(tavren_dadiza_writer_write_index(writer, callbacks(first, false)), 0);
    ASSERT_EQ(tavren_dadiza_writer_write_index(writer, callbacks(second, true)), 0);
    EXPECT_TRUE(first.bytes == second.bytes);

    IvfFlatCheckFile f;
    ASSERT_EQ(ivfc_parse(first.bytes.data(), first.bytes.size(), &f), 0) << f.error;
    EXPECT_EQ(f.metric, 2u);
    EXPECT_EQ(f.total, 3u);
    // The zero row stays zero; the others are unit length.
    for (uint32_t j = 0; j < f.nlist; ++j) {
        for (int32_t r = 0; r < f.lists[j].count; ++r) {
            float norm = 0;
            for (size_t k = 0; k < d; ++k) norm += ivfc_row_value(&f, &f.lists[j], r, k) * ivfc_row_value(&f, &f.lists[j], r, k);
            if (f.lists[j].ids[r] == 7) {
                EXPECT_EQ(norm, 0.0f);
            } else {
                EXPECT_FLOAT_EQ(norm, 1.0f);
            }
        }
    }
    ivfc_free(&f);
    tavren_dadiza_writer_free(writer);
}
