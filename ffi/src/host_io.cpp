#include "host_io.hpp"

#include <bit>
#include <optional>
#include <vector>

#include "error.hpp"
#include "numeric.hpp"

namespace tavren::ffi {

static_assert(std::endian::native == std::endian::little, "the C records are little-endian");
static_assert(sizeof(void*) == 8, "the C records assume 8-byte pointers");
static_assert(sizeof(::FfiReadRange) == 24 && sizeof(::FfiInputFile) == 40 && sizeof(::FfiOutputCallbacks) == 32);

void HostInputFile::pread(std::span<io::ReadRequest> requests) const {
    if (requests.empty()) return;
    if (record_.read_ranges_fn == nullptr) fail(ErrorKind::Other, "read_ranges_fn is null");
    std::vector<::FfiReadRange> ranges;
    ranges.reserve(requests.size());
    for (const io::ReadRequest& r : requests) ranges.push_back(::FfiReadRange{r.offset, r.buf, r.len});
    if (record_.read_ranges_fn(record_.user_data, ranges.data(), ranges.size()) != 0) {
        fail(ErrorKind::Other, "read_ranges callback failed");
    }
}

io::ReadCapabilities HostInputFile::capabilities() const {
    return io::ReadCapabilities{record_.read_latency_ns, record_.io_block_size, record_.max_ranges_per_call};
}

void HostOutputFile::write_all(std::span<const uint8_t> bytes) {
    if (callbacks_.write_fn == nullptr) fail(ErrorKind::Other, "write_fn is null");
    if (callbacks_.write_fn(callbacks_.user_data, bytes.data(), bytes.size()) != 0) {
        fail(ErrorKind::Other, "write callback failed");
    }
    std::optional<uint64_t> total = checked_add(bytes_written_, bytes.size());
    if (!total) fail(ErrorKind::Other, "output position overflow");
    bytes_written_ = *total;
}

uint64_t HostOutputFile::pos() {
    if (callbacks_.position_fn != nullptr) {
        int64_t host = callbacks_.position_fn(callbacks_.user_data);
        if (host >= 0) return static_cast<uint64_t>(host);
    }
    return bytes_written_;
}

void HostOutputFile::flush() {
    if (callbacks_.flush_fn == nullptr) return;
    if (callbacks_.flush_fn(callbacks_.user_data) != 0) fail(ErrorKind::Other, "flush callback failed");
}

}  // namespace tavren::ffi
