#include "row_id_filter.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "numeric.hpp"

namespace tavren::row_id_filter {
namespace {

// The portable 32-bit Roaring format.
constexpr uint32_t kCookieNoRunContainers = 12346;
constexpr uint32_t kCookieWithRunContainers = 12347;  // low 16 bits; high 16 bits = containers - 1
constexpr uint32_t kMaxContainers = 1u << 16;
constexpr uint32_t kNoOffsetThreshold = 4;  // run-cookie bitmaps below this many containers have no offsets
constexpr uint32_t kArrayMaxCardinality = 4096;
constexpr size_t kBitsetBytes = 8192;

constexpr const char* kTruncated = "failed to fill whole buffer";

uint16_t load_u16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
uint32_t load_u32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
uint64_t load_u64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Walks one portable 32-bit bitmap at the start of `bytes` without
// allocating and returns its exact length, or nullopt with the reason. A
// bitmap that passes is one the roaring library decodes without complaint
// and whose lookups, walks and counts are meaningful: keys strictly
// ascending, array values strictly ascending, at least one run per run
// container, runs ascending and disjoint within 16 bits, and each bitset
// holding as many bits as its header says.
std::optional<size_t> measure_portable_bitmap(std::span<const uint8_t> bytes, std::string* error) {
    const uint8_t* base = bytes.data();
    const size_t size = bytes.size();
    size_t pos = 0;
    auto take = [&](size_t n) -> const uint8_t* {
        if (size - pos < n) return nullptr;
        const uint8_t* p = base + pos;
        pos += n;
        return p;
    };
    auto refuse = [&](const char* text) -> std::optional<size_t> {
        *error = text;
        return std::nullopt;
    };

    const uint8_t* p = take(4);
    if (p == nullptr) return refuse(kTruncated);
    const uint32_t cookie = load_u32(p);
    const bool has_runs = (cookie & 0xFFFFu) == kCookieWithRunContainers;
    uint32_t containers;
    if (has_runs) {
        containers = (cookie >> 16) + 1;
    } else if (cookie == kCookieNoRunContainers) {
        if ((p = take(4)) == nullptr) return refuse(kTruncated);
        containers = load_u32(p);
        if (containers > kMaxContainers) return refuse("size is greater than supported");
    } else {
        return refuse("unknown cookie value");
    }

    const uint8_t* run_flags = nullptr;
    if (has_runs && (run_flags = take((containers + 7) / 8)) == nullptr) return refuse(kTruncated);
    const uint8_t* key_cards = take(static_cast<size_t>(containers) * 4);
    if (key_cards == nullptr) return refuse(kTruncated);
    if ((!has_runs || containers >= kNoOffsetThreshold) && take(static_cast<size_t>(containers) * 4) == nullptr) {
        return refuse(kTruncated);
    }

    for (uint32_t k = 0; k < containers; ++k) {
        const uint16_t key = load_u16(key_cards + 4 * static_cast<size_t>(k));
        if (k > 0 && key <= load_u16(key_cards + 4 * static_cast<size_t>(k - 1))) {
            return refuse("container keys are not strictly ascending");
        }
        const uint32_t cardinality = static_cast<uint32_t>(load_u16(key_cards + 4 * static_cast<size_t>(k) + 2)) + 1;
        const bool is_run = has_runs && (run_flags[k / 8] & (1u << (k % 8))) != 0;
        if (is_run) {
            if ((p = take(2)) == nullptr) return refuse(kTruncated);
            const uint16_t runs = load_u16(p);
            // The library's iterators assume every container holds a value.
            if (runs == 0) return refuse("run container has no runs");
            if ((p = take(static_cast<size_t>(runs) * 4)) == nullptr) return refuse(kTruncated);
            uint32_t previous_end = 0;
            for (uint16_t r = 0; r < runs; ++r) {
                const uint32_t start = load_u16(p + 4 * static_cast<size_t>(r));
                const uint32_t end = start + load_u16(p + 4 * static_cast<size_t>(r) + 2);
                if (end > 0xFFFFu || (r > 0 && start <= previous_end)) {
                    return refuse("run container runs are not ascending and disjoint");
                }
                previous_end = end;
            }
        } else if (cardinality > kArrayMaxCardinality) {
            if ((p = take(kBitsetBytes)) == nullptr) return refuse(kTruncated);
            uint64_t bits = 0;
            for (size_t w = 0; w < kBitsetBytes / 8; ++w) bits += static_cast<uint64_t>(__builtin_popcountll(load_u64(p + 8 * w)));
            if (bits != cardinality) return refuse("bitset container cardinality does not match its bits");
        } else {
            if ((p = take(static_cast<size_t>(cardinality) * 2)) == nullptr) return refuse(kTruncated);
            for (uint32_t i = 1; i < cardinality; ++i) {
                if (load_u16(p + 2 * static_cast<size_t>(i)) <= load_u16(p + 2 * static_cast<size_t>(i - 1))) {
                    return refuse("array container values are not strictly ascending");
                }
            }
        }
    }
    return pos;
}

}  // namespace

RoaringTreemap& RoaringTreemap::operator=(RoaringTreemap&& other) noexcept {
    if (this != &other) {
        clear();
        entries_ = std::move(other.entries_);
        other.entries_.clear();
    }
    return *this;
}

RoaringTreemap::~RoaringTreemap() { clear(); }

void RoaringTreemap::clear() noexcept {
    for (Entry& e : entries_) roaring_bitmap_free(e.bitmap);
    entries_.clear();
}

std::optional<RoaringTreemap> RoaringTreemap::deserialize(std::span<const uint8_t> bytes, std::string* error) {
    if (bytes.size() < 8) {
        *error = kTruncated;
        return std::nullopt;
    }
    const uint64_t count = load_u64(bytes.data());
    size_t pos = 8;
    // Owns every bitmap decoded so far, so that any exit frees them. Grows one
    // entry per bitmap actually present in the bytes, never from `count`.
    RoaringTreemap result;
    for (uint64_t i = 0; i < count; ++i) {
        if (bytes.size() - pos < 4) {
            *error = kTruncated;
            return std::nullopt;
        }
        const uint32_t key = load_u32(bytes.data() + pos);
        pos += 4;
        std::optional<size_t> length = measure_portable_bitmap(bytes.subspan(pos), error);
        if (!length) return std::nullopt;
        result.entries_.push_back(Entry{key, nullptr});
        roaring_bitmap_t* bitmap =
            roaring_bitmap_portable_deserialize_safe(reinterpret_cast<const char*>(bytes.data() + pos), *length);
        // The bytes were checked above, so a null result can only be memory.
        if (bitmap == nullptr) throw std::bad_alloc();
        result.entries_.back().bitmap = bitmap;
        pos += *length;
    }

    std::vector<Entry>& entries = result.entries_;
    const auto by_key = [](const Entry& a, const Entry& b) { return a.key < b.key; };
    if (!std::is_sorted(entries.begin(), entries.end(), by_key)) std::stable_sort(entries.begin(), entries.end(), by_key);
    // Equal keys are adjacent in reading order: the last one read wins.
    size_t kept = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (kept > 0 && entries[kept - 1].key == entries[i].key) {
            roaring_bitmap_free(entries[kept - 1].bitmap);
            entries[kept - 1] = entries[i];
        } else {
            entries[kept++] = entries[i];
        }
    }
    entries.resize(kept);
    return result;
}

uint64_t RoaringTreemap::cardinality() const noexcept {
    uint64_t total = 0;
    for (const Entry& e : entries_) total = saturating_add(total, roaring_bitmap_get_cardinality(e.bitmap));
    return total;
}

bool RoaringTreemap::is_empty() const noexcept {
    for (const Entry& e : entries_) {
        if (!roaring_bitmap_is_empty(e.bitmap)) return false;
    }
    return true;
}

}  // namespace tavren::row_id_filter
