#include "io.hpp"

#include <bit>
#include <vector>

namespace tavren::io {

static_assert(std::endian::native == std::endian::little, "the C records and file formats are little-endian");
static_assert(sizeof(void*) == 8, "the C records assume 8-byte pointers");
static_assert(sizeof(::FfiReadRange) == 24 && sizeof(::FfiInputFile) == 40 && sizeof(::FfiOutputCallbacks) == 32);

void FfiInputFile::pread(std::span<ReadRequest> requests) const {
    if (requests.empty()) return;
    if (record_.read_ranges_fn == nullptr) fail(ErrorKind::Other, "read_ranges_fn is null");
    std::vector<::FfiReadRange> ranges;
    ranges.reserve(requests.size());
    for (const ReadRequest& r : requests) ranges.push_back(::FfiReadRange{r.offset, r.buf, r.len});
    if (record_.read_ranges_fn(record_.user_data, ranges.data(), ranges.size()) != 0) {
        fail(ErrorKind::Other, "read_ranges callback failed");
    }
}

ReadCapabilities FfiInputFile::capabilities() const {
    return ReadCapabilities{record_.read_latency_ns, record_.io_block_size, record_.max_ranges_per_call};
}

void FfiOutputFile::write_all(std::span<const uint8_t> bytes) {
    if (callbacks_.write_fn == nullptr) fail(ErrorKind::Other, "write_fn is null");
    if (callbacks_.write_fn(callbacks_.user_data, bytes.data(), bytes.size()) != 0) {
        fail(ErrorKind::Other, "write callback failed");
    }
    std::optional<uint64_t> total = checked_add(bytes_written_, bytes.size());
    if (!total) fail(ErrorKind::Other, "output position overflow");
    bytes_written_ = *total;
}

uint64_t FfiOutputFile::pos() {
    if (callbacks_.position_fn != nullptr) {
        int64_t host = callbacks_.position_fn(callbacks_.user_data);
        if (host >= 0) return static_cast<uint64_t>(host);
    }
    return bytes_written_;
}

void FfiOutputFile::flush() {
    if (callbacks_.flush_fn == nullptr) return;
    if (callbacks_.flush_fn(callbacks_.user_data) != 0) fail(ErrorKind::Other, "flush callback failed");
}

void PreadCursor::read_exact(std::span<uint8_t> dest) {
    const uint64_t size = source_.size();
    const uint64_t remaining = position_ < size ? size - position_ : 0;
    if (remaining < dest.size()) {
        fail(ErrorKind::UnexpectedEof, "failed to fill whole buffer");
    }
    std::optional<uint64_t> next = checked_add(position_, dest.size());
    if (!next) fail(ErrorKind::InvalidData, "read cursor overflow");
    if (!dest.empty()) std::memcpy(dest.data(), source_.data() + position_, dest.size());
    position_ = *next;
}

namespace {
template <class T>
T read_le(PreadCursor& cursor) {
    uint8_t bytes[sizeof(T)];
    cursor.read_exact(bytes);
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    return value;
}
}  // namespace

uint8_t PreadCursor::read_u8() { return read_le<uint8_t>(*this); }
uint16_t PreadCursor::read_u16() { return read_le<uint16_t>(*this); }
uint32_t PreadCursor::read_u32() { return read_le<uint32_t>(*this); }
int32_t PreadCursor::read_i32() { return read_le<int32_t>(*this); }
uint64_t PreadCursor::read_u64() { return read_le<uint64_t>(*this); }
int64_t PreadCursor::read_i64() { return read_le<int64_t>(*this); }
float PreadCursor::read_f32() { return read_le<float>(*this); }

}  // namespace tavren::io
