// Data loaders of the harness: idx (gzip), *vecs, and the seeded mixture.
#include <gtest/gtest.h>
#include <zlib.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dataset.hpp"

namespace ta = tavren::ann;
namespace fs = std::filesystem;

namespace {

class TempDir {
public:
    TempDir() {
        path_ = fs::temp_directory_path() / ("ann_data_test_" + std::to_string(::getpid()) + "_" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(path_);
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

std::vector<unsigned char> be32(uint32_t v) {
    return {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 8),
            static_cast<unsigned char>(v)};
}

// An idx3 file of n items of rows x cols bytes; pixel (i, p) = (i * 7 + p) % 256.
std::vector<unsigned char> idx3(uint32_t n, uint32_t rows, uint32_t cols, uint32_t claimed_n) {
    std::vector<unsigned char> b = {0, 0, 0x08, 0x03};
    for (uint32_t v : {claimed_n, rows, cols}) {
        auto w = be32(v);
        b.insert(b.end(), w.begin(), w.end());
    }
    for (uint32_t i = 0; i < n; ++i) {
        for (uint32_t p = 0; p < rows * cols; ++p) b.push_back(static_cast<unsigned char>((i * 7 + p) % 256));
    }
    return b;
}

void write_gz(const std::string& path, const std::vector<unsigned char>& bytes) {
    gzFile f = gzopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(gzwrite(f, bytes.data(), static_cast<unsigned>(bytes.size())), static_cast<int>(bytes.size()));
    ASSERT_EQ(gzclose(f), Z_OK);
}

void write_raw(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string error_of(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(AnnIdx, ReadsGzipAndPlainItemsAsRowsOfPixels) {
    TempDir dir;
    const auto bytes = idx3(5, 3, 4, 5);
    write_gz(dir.file("a.gz"), bytes);
    write_raw(dir.file("a.idx"), bytes);
    for (const auto& name : {"a.gz", "a.idx"}) {
        ta::Matrix m = ta::read_idx_ubyte(dir.file(name));
        ASSERT_EQ(m.rows, 5u);
        ASSERT_EQ(m.cols, 12u);
        for (size_t i = 0; i < 5; ++i) {
            for (size_t p = 0; p < 12; ++p) EXPECT_EQ(m.row(i)[p], static_cast<float>((i * 7 + p) % 256));
        }
    }
    ta::Matrix first2 = ta::read_idx_ubyte(dir.file("a.gz"), 2);
    EXPECT_EQ(first2.rows, 2u);
    EXPECT_EQ(first2.data.size(), 24u);
    EXPECT_EQ(first2.row(1)[0], 7.0f);
}

TEST(AnnIdx, RefusesBadFiles) {
    TempDir dir;
    struct Case {
        const char* name;
        std::vector<unsigned char> bytes;
        const char* error;
    };
    auto trailing = idx3(2, 2, 2, 2);
    trailing.push_back(1);
    auto bad_magic = idx3(2, 2, 2, 2);
    bad_magic[2] = 0x0D;  // floats, not unsigned bytes
    const std::vector<Case> cases = {
        {"short-header", {0, 0, 8}, "truncated idx header"},
        {"bad-magic", bad_magic, "not an idx file of unsigned bytes (magic 0x00000D03)"},
        // The header claims a million items: refused without allocating for them.
        {"truncated", idx3(3, 2, 2, 1'000'000), "truncated: header promises 1000000 items, file holds 3"},
        {"trailing", trailing, "trailing bytes after the last item"},
        {"zero-dim", idx3(0, 0, 2, 2), "idx dimension 1 is 0"},
    };
    for (const auto& c : cases) {
        write_gz(dir.file(c.name), c.bytes);
        std::string err = error_of([&] { ta::read_idx_ubyte(dir.file(c.name)); });
        EXPECT_NE(err.find(c.error), std::string::npos) << c.name << ": " << err;
        EXPECT_NE(err.find(c.name), std::string::npos) << "the message names the file: " << err;
    }
    EXPECT_NE(error_of([&] { ta::read_idx_ubyte(dir.file("missing.gz")); }).find("cannot open"), std::string::npos);
}

TEST(AnnIdx, FashionMnistWhenInstalled) {
    if (!fs::exists(std::string(ta::kFashionMnistDir) + "/t10k-images-idx3-ubyte.gz")) {
        GTEST_SKIP() << "dataset-fashion-mnist is not installed";
    }
    ta::Dataset ds = ta::load_fashion_mnist(ta::kFashionMnistDir, 100, 10);
    EXPECT_EQ(ds.base.rows, 100u);
    EXPECT_EQ(ds.queries.rows, 10u);
    EXPECT_EQ(ds.dim(), 784u);
    EXPECT_EQ(ds.name, "fashion-mnist-100x10");
    float mx = 0;
    for (float v : ds.base.data) mx = std::max(mx, v);
    EXPECT_LE(mx, 255.0f);
    EXPECT_GT(mx, 200.0f);
}

TEST(AnnVecs, RoundTripsAndReadsBvecs) {
    TempDir dir;
    ta::Matrix m;
    m.rows = 3;
    m.cols = 4;
    m.data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12.5f};
    ta::write_fvecs(dir.file("m.fvecs"), m);
    ta::Matrix back = ta::read_vecs(dir.file("m.fvecs"));
    EXPECT_EQ(back.rows, 3u);
    EXPECT_EQ(back.cols, 4u);
    EXPECT_EQ(back.data, m.data);
    EXPECT_EQ(ta::read_fvecs(dir.file("m.fvecs"), 2).data.size(), 8u);

    ta::IntMatrix im;
    im.rows = 2;
    im.cols = 3;
    im.data = {0, -1, 7, 100, 200, 300};
    ta::write_ivecs(dir.file("m.ivecs"), im);
    EXPECT_EQ(ta::read_ivecs(dir.file("m.ivecs")).data, im.data);

    std::vector<unsigned char> b;
    for (int r = 0; r < 2; ++r) {
        const unsigned char dimension[4] = {3, 0, 0, 0};
        b.insert(b.end(), dimension, dimension + 4);
        for (int i = 0; i < 3; ++i) b.push_back(static_cast<unsigned char>(250 + r + i));
    }
    write_raw(dir.file("m.bvecs"), b);
    ta::Matrix bv = ta::read_vecs(dir.file("m.bvecs"));
    EXPECT_EQ(bv.data, (std::vector<float>{250, 251, 252, 251, 252, 253}));
}

TEST(AnnVecs, RefusesInconsistentFiles) {
    TempDir dir;
    auto le32 = [](int32_t v) {
        std::vector<unsigned char> w(4);
        std::memcpy(w.data(), &v, 4);
        return w;
    };
    // Two records of dimension 2; the second one's header then says 3 while
    // the file size still fits the first record's size.
    std::vector<unsigned char> mixed;
    for (int32_t d : {2, 2}) {
        auto w = le32(d);
        mixed.insert(mixed.end(), w.begin(), w.end());
        for (int i = 0; i < 8; ++i) mixed.push_back(0);
    }
    std::memcpy(mixed.data() + 12, le32(3).data(), 4);
    write_raw(dir.file("mixed.fvecs"), mixed);
    EXPECT_NE(error_of([&] { ta::read_fvecs(dir.file("mixed.fvecs")); }).find("row 1 has dimension 3, expected 2"),
              std::string::npos);

    auto huge = le32(1'000'000'000);  // a claimed dimension far beyond the file: never allocated
    huge.resize(16);
    write_raw(dir.file("huge.fvecs"), huge);
    EXPECT_NE(error_of([&] { ta::read_fvecs(dir.file("huge.fvecs")); }).find("is not a multiple of the record size"),
              std::string::npos);

    write_raw(dir.file("neg.fvecs"), le32(-4));
    EXPECT_NE(error_of([&] { ta::read_fvecs(dir.file("neg.fvecs")); }).find("invalid dimension -4"), std::string::npos);
    write_raw(dir.file("empty.fvecs"), {});
    EXPECT_NE(error_of([&] { ta::read_fvecs(dir.file("empty.fvecs")); }).find("empty file"), std::string::npos);
    EXPECT_NE(error_of([&] { ta::read_vecs(dir.file("x.txt")); }).find("expected a .fvecs or .bvecs file"),
              std::string::npos);
}

TEST(AnnSynthetic, SeededAndIndependentOfThreadCount) {
    // nb 3000: three generation blocks, the last one partial.
    const ta::SyntheticSpec s{.nb = 3000, .nq = 50, .dim = 16, .clusters = 7, .seed = 9};
    ta::Dataset a = ta::make_gaussian_mixture(s, 1);
    ta::Dataset b = ta::make_gaussian_mixture(s, 4);
    EXPECT_EQ(a.base.data, b.base.data);
    EXPECT_EQ(a.queries.data, b.queries.data);
    EXPECT_EQ(a.content_hash(), b.content_hash());
    EXPECT_EQ(a.name, "gm-s9-c7-sp0.5-3000x16-q50");
    EXPECT_NE(a.base.data, std::vector<float>(a.base.data.size(), 0.0f));

    ta::SyntheticSpec s2 = s;
    s2.seed = 10;
    ta::Dataset c = ta::make_gaussian_mixture(s2, 2);
    EXPECT_NE(a.base.data, c.base.data);
    EXPECT_NE(a.content_hash(), c.content_hash());
    // Queries come from their own stream, not a copy of the base rows.
    EXPECT_NE(std::vector<float>(a.base.data.begin(), a.base.data.begin() + 16),
              std::vector<float>(a.queries.data.begin(), a.queries.data.begin() + 16));
}

TEST(AnnSynthetic, PointsClusterAroundFewCentres) {
    const ta::SyntheticSpec s{.nb = 2000, .nq = 10, .dim = 32, .clusters = 4, .spread = 0.05f};
    ta::Dataset ds = ta::make_gaussian_mixture(s);
    // With a small spread every point is within a few spreads of one of the
    // four centres, so there are at most four groups of mutually close rows.
    std::vector<size_t> reps;
    for (size_t r = 0; r < ds.base.rows; ++r) {
        bool found = false;
        for (size_t rep : reps) {
            double d2 = 0;
            for (size_t i = 0; i < s.dim; ++i) {
                double diff = ds.base.row(r)[i] - ds.base.row(rep)[i];
                d2 += diff * diff;
            }
            if (d2 < 1.0) found = true;
        }
        if (!found) reps.push_back(r);
    }
    EXPECT_EQ(reps.size(), 4u);
}

TEST(AnnDataset, ContentHashSeesEveryByteAndTheShape) {
    ta::Dataset a;
    a.base.rows = 2;
    a.base.cols = 2;
    a.base.data = {1, 2, 3, 4};
    a.queries.rows = 1;
    a.queries.cols = 2;
    a.queries.data = {5, 6};
    ta::Dataset b = a;
    EXPECT_EQ(a.content_hash(), b.content_hash());
    b.queries.data[1] = 6.0000005f;
    EXPECT_NE(a.content_hash(), b.content_hash());
    ta::Dataset c = a;
    c.base.rows = 1;
    c.base.cols = 4;
    EXPECT_NE(a.content_hash(), c.content_hash());
}
