// What the index-file fuzz targets share: an in-memory host file that fails
// like a host on ranges beyond its bytes and traps when a reader exceeds the
// range cap it advertises, little-endian field access, a finding trap, and a
// small row-ID filter made from a bit mask.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include <roaring/roaring.h>

#include "error.hpp"
#include "index_io_util.hpp"
#include "io.hpp"
#include "numeric.hpp"
#include "search_result.hpp"
#include "row_id_filter.hpp"

namespace tavren::fuzz_support {

inline void check(bool ok) {
    if (!ok) __builtin_trap();
}

struct MemoryFile final : io::SeekRead {
    std::vector<uint8_t> bytes;
    uint64_t cap = 0;
    void pread(std::span<io::ReadRequest> requests) const override {
        check(cap == 0 || requests.size() <= cap);  // the reader keeps within the host's range cap
        for (const io::ReadRequest& r : requests) {
            if (r.offset > bytes.size() || bytes.size() - r.offset < r.len) {
                fail(ErrorKind::Other, "read_ranges callback failed");
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
template <class T>
T load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Row IDs 0..255 whose bit is set in the mask, plus a few large ones.
inline row_id_filter::RoaringTreemap make_filter(uint64_t mask) {
    std::vector<uint32_t> values;
    for (uint32_t i = 0; i < 64; ++i) {
        if ((mask >> i) & 1) {
            values.push_back(i);
            values.push_back(i + 64);
            values.push_back(i * 4 + 128);
        }
    }
    values.push_back(1000000);
    roaring_bitmap_t* r = roaring_bitmap_of_ptr(values.size(), values.data());
    std::vector<uint8_t> bytes(12 + roaring_bitmap_portable_size_in_bytes(r));
    store<uint64_t>(bytes.data(), 1);
    store<uint32_t>(bytes.data() + 8, 0);
    roaring_bitmap_portable_serialize(r, reinterpret_cast<char*>(bytes.data() + 12));
    roaring_bitmap_free(r);
    return index_io_util::decode_roaring_filter(bytes);
}

// nq x d query values in [-10, 10], from a 16-bit seed.
inline std::vector<float> make_queries(size_t nq, size_t d, uint16_t seed) {
    std::vector<float> queries(nq * d);
    uint32_t s = seed * 2654435761u + 1;
    for (float& x : queries) {
        s = s * 1664525u + 1013904223u;
        x = static_cast<float>(static_cast<int32_t>(s >> 8) % 2001 - 1000) * 0.01f;
    }
    return queries;
}

// Seeds for nq x k pairs: small row IDs (some negative), distances among
// f32::MAX, 0.5, -1 and NaN.
inline void make_seeds(size_t nq, size_t k, uint16_t seed, std::vector<int64_t>& ids, std::vector<float>& distances) {
    for (size_t i = 0; i < nq * k; ++i) {
        ids.push_back(static_cast<int64_t>(i % 7) - 1);
        const float choices[4] = {std::numeric_limits<float>::max(), 0.5f, -1.0f, __builtin_nanf("")};
        distances.push_back(choices[(i + seed) % 4]);
    }
}

// nq results of k pairs each: ascending in the IEEE total order, padding
// (-1, f32::MAX) anywhere after the real pairs, only filter rows.
inline void check_result(const SearchResult& r, size_t nq, size_t k, const row_id_filter::RowIdFilter* filter) {
    check(r.ids.size() == nq * k && r.distances.size() == nq * k);
    for (size_t q = 0; q < nq; ++q) {
        for (size_t j = 1; j < k; ++j) {
            const size_t at = q * k + j;
            if (r.ids[at] == -1 && r.distances[at] == kF32Max) continue;
            check(!total_order_less(r.distances[at], r.distances[at - 1]));
        }
    }
    if (filter == nullptr) return;
    for (size_t i = 0; i < r.ids.size(); ++i) {
        check(filter->contains(r.ids[i]) || (r.ids[i] == -1 && r.distances[i] == kF32Max));
    }
}

}  // namespace tavren::fuzz_support
