// The host calls and ranges of IVF-RQ searches, and a digest of their
// results, against what was recorded before the IVF-RQ lists moved onto the
// engine's list store and probe walk: batched reads within the range cap,
// lists above the read piece read alone in pieces before the group's batched
// call, every probed list read once per batch. A change in how lists are
// planned, loaded or walked that moves a byte, or a result that changes by a
// bit, shows up here.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "guards.hpp"
#include "ivfrq_fixture.hpp"
#include "ivfrq_io.hpp"
#include "memory_source.hpp"

namespace {

using tavren::SearchResult;
using tavren::ivfrq_io::IVFRQIndexReader;
using tavren::testing::MemorySource;
using tavren::testing::calls_after;
using tavren::testing::PoolGuard;

// FNV-1a over every ID and the bits of every distance.
std::string digest(const SearchResult& r) {
    uint64_t h = 1469598103934665603ull;
    const auto mix = [&](const void* p, size_t n) {
        const auto* b = static_cast<const unsigned char*>(p);
        for (size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 1099511628211ull;
    };
    mix(r.ids.data(), r.ids.size() * sizeof(int64_t));
    mix(r.distances.data(), r.distances.size() * sizeof(float));
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

std::vector<float> queries_of(size_t nq, size_t d, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> u(-10.0f, 10.0f);
    std::vector<float> q(nq * d);
    for (float& x : q) x = u(gen);
    return q;
}

struct Case {
    const char* name;
    size_t bits;
    uint32_t metric;
    uint64_t read_piece;  // 0: the default
    size_t max_ranges;
    std::string want_batch;   // 6 queries over every list
    std::string want_single;  // one query, nprobe 4
    std::string want_digest;  // batch, then single
};

TEST(IvfRqReadPattern, SearchesReadTheRecordedRangesAndGiveTheRecordedResults) {
    PoolGuard pool(2);
    const size_t n = 700, d = 24, nlist = 9;
    const Case cases[] = {
        {"2 bits l2", 2, 0, 0, 3,
         "10669+2755,18620+2460,1072+1795 | 21080+1203,22283+2238,13424+5196 | 5473+5196,2867+2606,24521+2606",
         "18620+2460,10669+2755,5473+5196 | 13424+5196",  //
         "167c121b50d7ea71 38f298dfa8fd4c47"},
        {"4 bits ip, range cap 2", 4, 1, 0, 2,
         "14797+3939,26172+3516 | 1072+2563,29688+1715 | 31403+3198,18736+7436 | 7361+7436,3635+3726 | 34601+3726",
         "26172+3516,14797+3939 | 7361+7436,18736+7436",  //
         "a59c322ce44caeb6 331ec74baf73da3c"},
        {"1 bit cosine, pieces of 700 bytes", 1, 2, 700, 3,
         "5221+700 | 5921+559 | 8876+700 | 9576+456 | 1072+700 | 1772+85 | 10748+700 | 11448+236 | 10032+700 | "
         "10732+16 | 4253+700 | 4953+268 | 11684+700 | 12384+700 | 13084+46 | 1857+700 | 2557+700 | 3257+700 | "
         "3957+296 | 6480+700 | 7180+700 | 7880+700 | 8580+296",
         "8876+700 | 9576+456 | 5221+700 | 5921+559 | 4253+700 | 4953+268 | 11684+700 | 12384+700 | 13084+46",
         "e267ab15bec5cf20 f92a1687b7840af1"},
        {"8 bits l2, pieces of 3000 bytes, no cap", 8, 0, 3000, 0,
         "23053+3000 | 26053+3000 | 29053+307 | 41276+3000 | 44276+2628 | 1072+3000 | 4072+1099 | 49643+3000 | "
         "52643+2118 | 29360+3000 | 32360+3000 | 35360+3000 | 38360+2916 | 11137+3000 | 14137+3000 | 17137+3000 | "
         "20137+2916 | 5171+3000 | 8171+2966 | 54761+3000 | 57761+2966 | 46904+2739",
         "41276+3000 | 44276+2628 | 23053+3000 | 26053+3000 | 29053+307 | 11137+3000 | 14137+3000 | 17137+3000 | "
         "20137+2916 | 29360+3000 | 32360+3000 | 35360+3000 | 38360+2916",
         "966f42edb1ddb4c7 d66337ff6000d01d"},
    };
    for (const Case& c : cases) {
        const tavren::testing::RqFixture f = tavren::testing::make_rq_fixture(n, d, nlist, c.metric, c.bits, 11);
        MemorySource::Options options;
        options.max_ranges_per_call = c.max_ranges;
        MemorySource::Observer observer;
        IVFRQIndexReader r = tavren::testing::open_rq_reader(f.file, options, &observer);
        if (c.read_piece != 0) r.set_read_piece_for_testing(c.read_piece);
        r.ensure_loaded();
        const size_t metadata_calls = observer.stats().log.size();
        const std::vector<float> q = queries_of(6, d, 5);
        const SearchResult batch_result = r.search_batch_range(q, 6, 5, 0, nlist, {}, {}, nullptr);
        const std::string batch = calls_after(observer.stats(), metadata_calls);
        const size_t after_batch = observer.stats().log.size();
        const SearchResult single_result = r.search_with_filter(std::span<const float>(q).subspan(d, d), 5, 4, nullptr);
        const std::string single = calls_after(observer.stats(), after_batch);
        const std::string got_digest = digest(batch_result) + " " + digest(single_result);
        EXPECT_EQ(batch, c.want_batch) << c.name;
        EXPECT_EQ(single, c.want_single) << c.name;
        EXPECT_EQ(got_digest, c.want_digest) << c.name;
    }
}

}  // namespace
