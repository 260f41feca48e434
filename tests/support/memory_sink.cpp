#include "memory_sink.hpp"

#include "error.hpp"

namespace tavren::testing {

void MemorySink::write_all(std::span<const uint8_t> bytes) {
    if (options_.fail_on_call && *options_.fail_on_call == calls_.size()) {
        fail(ErrorKind::Other, "memory sink write failed");
    }
    calls_.push_back(bytes.size());
    if (options_.keep_bytes) bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    accepted_ += bytes.size();
}

uint64_t MemorySink::pos() {
    ++pos_calls_;
    return options_.start_position + accepted_;
}

}  // namespace tavren::testing
