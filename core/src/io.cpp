#include "io.hpp"

#include <bit>

namespace tavren::io {

static_assert(std::endian::native == std::endian::little, "the file formats are little-endian");
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
