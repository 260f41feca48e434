// Delta-varint row-ID sections from arbitrary bytes.
//
// Input: 8 bytes of base ID, 1 mode byte, then the section. Decoding either
// fails with tavren::Error or yields `count` non-decreasing IDs that survive a
// re-encode; nothing else may escape (no allocation sized by the claimed count).
// The same bytes also drive read_delta_varint_ids_at over an in-memory file and
// an encode/decode round trip of the section read as sorted IDs.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "index_io_util.hpp"

namespace {

namespace util = tavren::index_io_util;

struct MemoryFile final : tavren::io::SeekRead {
    std::span<const uint8_t> bytes;
    void pread(std::span<tavren::io::ReadRequest> requests) const override {
        for (const tavren::io::ReadRequest& r : requests) {
            if (r.offset > bytes.size() || bytes.size() - r.offset < r.len) {
                tavren::fail(tavren::ErrorKind::Other, "read_ranges callback failed");
            }
            if (r.len != 0) std::memcpy(r.buf, bytes.data() + r.offset, r.len);
        }
    }
    tavren::io::ReadCapabilities capabilities() const override { return {}; }
};

void check(bool ok) {
    if (!ok) __builtin_trap();
}

uint64_t load_u64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void decode_and_check(int64_t base, std::span<const uint8_t> section, uint64_t count) {
    std::vector<int64_t> ids;
    try {
        ids = util::decode_delta_varint_ids(base, section, count);
    } catch (const tavren::Error&) {
        return;
    }
    check(ids.size() == count);
    check(std::is_sorted(ids.begin(), ids.end()));
    if (!ids.empty()) check(ids.front() >= base);
    // The encoder writes minimal numbers and a first gap of 0, so it is never longer.
    util::EncodedIds again = util::encode_delta_varint_ids(ids);
    check(again.bytes.size() <= section.size());
    check(util::decode_delta_varint_ids(again.base, again.bytes, ids.size()) == ids);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) return 0;
    const int64_t base = static_cast<int64_t>(load_u64(data));
    const uint8_t mode = data[8];
    const std::span<const uint8_t> section(data + 9, size - 9);

    uint64_t count = 0;
    switch (mode & 3) {
        case 0: count = section.size(); break;
        case 1: count = section.size() / 2 + (mode >> 2); break;
        case 2: count = (uint64_t{1} << 58) + mode; break;  // a count the section cannot hold
        default: count = section.size() >= 8 ? load_u64(section.data()) : mode; break;
    }
    decode_and_check(base, section, count);

    // The same bytes as an ID block in a file: the header's length field is
    // taken as is, the offset table's length and count from the mode byte.
    MemoryFile file;
    file.bytes = section;
    const uint64_t id_len = section.size() >= 12 ? (mode & 0x80 ? section.size() - 12 : (mode & 0x3F)) : 0;
    try {
        std::vector<int64_t> ids = util::read_delta_varint_ids_at(file, 0, count % 4096, id_len, "IVF-FLAT");
        check(ids.size() == count % 4096);
        check(std::is_sorted(ids.begin(), ids.end()));
    } catch (const tavren::Error&) {
    }

    // The section as IDs: sorted, encoded, decoded back.
    std::vector<int64_t> ids(section.size() / 8);
    for (size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<int64_t>(load_u64(section.data() + 8 * i));
    std::sort(ids.begin(), ids.end());
    util::EncodedIds encoded = util::encode_delta_varint_ids(ids);
    check(util::decode_delta_varint_ids(encoded.base, encoded.bytes, ids.size()) == ids);
    return 0;
}
