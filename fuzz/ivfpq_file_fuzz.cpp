// IVF-PQ files from arbitrary bytes: open, load, list reads, the
// precomputed table and one single and one batch search through the core
// API.
//
// Input: 8 control bytes, then the file. Control byte 0 chooses how much of
// the header is repaired before opening (none; magic, version and flags; also
// d, nlist, m, ksub, dsub and the metric made small and consistent) so that
// the fuzzer reaches the metadata and the lists; byte 1 sets the host's range
// cap; byte 2 chooses whether the precomputed table is built before the
// searches. Every failure must be a tavren::Error; anything else (an assertion, a
// sanitizer report, a crash) is a finding. Lists that load must come back with
// ascending IDs and count * code_size code bytes.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <numeric>
#include <span>
#include <vector>

#include "error.hpp"
#include "ivfpq_format.hpp"
#include "ivfpq_io.hpp"

namespace {

namespace io = tavren::io;
namespace layout = tavren::ivfpq_format;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

struct MemoryFile final : io::SeekRead {
    std::vector<uint8_t> bytes;
    uint64_t cap = 0;
    void pread(std::span<io::ReadRequest> requests) const override {
        check(cap == 0 || requests.size() <= cap);  // the reader keeps within the host's range cap
        for (const io::ReadRequest& r : requests) {
            if (r.offset > bytes.size() || bytes.size() - r.offset < r.len) {
                tavren::fail(tavren::ErrorKind::Other, "read_ranges callback failed");
            }
        }
        for (const io::ReadRequest& r : requests) {
            if (r.len != 0) std::memcpy(r.buf, bytes.data() + r.offset, r.len);
        }
    }
    io::ReadCapabilities capabilities() const override { return {0, 0, cap}; }
};

template <class T>
void store(uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

void repair(std::vector<uint8_t>& file, uint8_t mode) {
    if (file.size() < layout::kHeaderBytes || mode % 3 == 0) return;
    uint8_t* h = file.data();
    store<uint32_t>(h + layout::kMagicAt, layout::kMagic);
    store<uint32_t>(h + layout::kVersionAt, layout::kVersion);
    store<uint32_t>(h + layout::kFlagsAt, (h[layout::kFlagsAt] & 0x3u) | 0xCu);
    std::memset(h + layout::kReservedAt, 0, layout::kReservedBytes);
    if (mode % 3 == 1) return;
    const int32_t m = 1 + h[layout::kMAt] % 4;
    const int32_t dsub = 1 + h[layout::kDsubAt] % 3;
    const int32_t ksub = (h[layout::kKsubAt] & 1) != 0 ? 16 : 256;
    store<int32_t>(h + layout::kMAt, ksub == 16 ? 2 * m : m);
    store<int32_t>(h + layout::kDsubAt, dsub);
    store<int32_t>(h + layout::kKsubAt, ksub);
    store<int32_t>(h + layout::kDimensionAt, (ksub == 16 ? 2 * m : m) * dsub);
    store<int32_t>(h + layout::kNlistAt, 1 + h[layout::kNlistAt] % 8);
    store<uint32_t>(h + layout::kMetricAt, h[layout::kMetricAt] % 3);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    auto file = std::make_unique<MemoryFile>();
    file->bytes.assign(data + 8, data + size);
    repair(file->bytes, data[0]);
    file->cap = data[1] % 4;
    if (file->bytes.size() < layout::kHeaderBytes) return 0;
    std::array<uint8_t, layout::kHeaderBytes> header{};
    std::memcpy(header.data(), file->bytes.data(), header.size());
    try {
        auto reader = tavren::ivfpq_io::IVFPQIndexReader::open_with_header(std::move(file), header);
        reader.ensure_loaded();
        const size_t nlist = static_cast<size_t>(std::min<uint64_t>(reader.nlist(), 64));
        std::vector<size_t> lists(nlist);
        std::iota(lists.begin(), lists.end(), size_t{0});
        try {
            const auto got = reader.read_lists(lists);
            check(got.size() == lists.size());
            for (const auto& list : got) {
                check(std::is_sorted(list.ids.begin(), list.ids.end()));
                check(list.codes.codes().size() == list.ids.size() * reader.code_size());
            }
        } catch (const tavren::Error&) {
        }
        if ((data[2] & 1) != 0) reader.build_precomputed_table(uint64_t{1} << 20);
        // One query of zeros and ones, small k and every list probed: the
        // results must be exactly k pairs, ascending by distance.
        const size_t d = static_cast<size_t>(std::min<uint64_t>(reader.dimension(), 4096));
        if (d == reader.dimension()) {
            std::vector<float> q(2 * d);
            for (size_t i = 0; i < q.size(); ++i) q[i] = static_cast<float>((data[3] >> (i % 8)) & 1);
            const size_t k = 1 + data[4] % 8;
            try {
                const tavren::SearchResult one =
                    reader.search_with_filter(std::span<const float>(q).first(d), k, nlist + 1, nullptr);
                check(one.ids.size() == k && one.distances.size() == k);
                const tavren::SearchResult two = reader.search_batch_range_with_reuse(
                    q, 2, k, 0, nlist, {}, {}, nullptr,
                    static_cast<tavren::ivfpq_io::BatchTableReuse>(data[5] % 3), 1 + data[6] * uint64_t{4096});
                check(two.ids.size() == 2 * k && two.distances.size() == 2 * k);
            } catch (const tavren::Error&) {
            }
        }
    } catch (const tavren::Error&) {
    }
    return 0;
}
