#include "memory_source.hpp"

#include <cstring>

#include "error.hpp"
#include "numeric.hpp"

namespace tavren::testing {

MemorySource::MemorySource(std::vector<uint8_t> bytes) : MemorySource(std::move(bytes), Options{}) {}

MemorySource::MemorySource(std::vector<uint8_t> bytes, Options options) : state_(std::make_shared<MemorySourceState>()) {
    state_->bytes = std::move(bytes);
    state_->options = options;
}

void MemorySource::pread(std::span<io::ReadRequest> requests) const {
    if (requests.empty()) return;
    const MemorySourceState& s = *state_;
    bool fail = false;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        const uint64_t index = s.stats.calls;
        s.stats.calls += 1;
        s.stats.ranges += requests.size();
        uint64_t call_bytes = 0;
        std::vector<SeenRange> seen;
        for (const io::ReadRequest& r : requests) {
            call_bytes = saturating_add(call_bytes, r.len);
            if (s.options.keep_log) seen.push_back({r.offset, r.len});
            if (s.options.fail_range) {
                const auto [from, to] = *s.options.fail_range;
                const uint64_t end = saturating_add(r.offset, r.len);
                if (r.offset < to && end > from) fail = true;
            }
        }
        s.stats.bytes = saturating_add(s.stats.bytes, call_bytes);
        if (call_bytes > s.stats.max_call_bytes) s.stats.max_call_bytes = call_bytes;
        if (s.options.keep_log) s.stats.log.push_back(std::move(seen));
        if (s.options.max_ranges_per_call != 0 && requests.size() > s.options.max_ranges_per_call) {
            s.stats.cap_violations += 1;
            fail = true;
        }
        if (s.options.fail_on_call && *s.options.fail_on_call == index) fail = true;
    }
    if (fail) tavren::fail(ErrorKind::Other, "read_ranges callback failed");
    for (const io::ReadRequest& r : requests) {
        if (r.offset > s.bytes.size() || s.bytes.size() - r.offset < r.len) {
            tavren::fail(ErrorKind::Other, "read_ranges callback failed");
        }
    }
    for (const io::ReadRequest& r : requests) {
        if (r.len != 0) std::memcpy(r.buf, s.bytes.data() + r.offset, r.len);
    }
}

io::ReadCapabilities MemorySource::capabilities() const {
    const Options& o = state_->options;
    return {o.read_latency_ns, o.io_block_size, o.max_ranges_per_call};
}

SourceStats MemorySource::Observer::stats() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->stats;
}

void MemorySource::Observer::reset() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->stats = SourceStats{};
}

std::unique_ptr<io::SeekRead> MemorySource::make(std::vector<uint8_t> bytes, Options options, Observer* observer) {
    auto source = std::make_unique<MemorySource>(std::move(bytes), options);
    if (observer != nullptr) *observer = source->observer();
    return source;
}

std::string calls_after(const SourceStats& stats, size_t skip) {
    std::string out;
    for (size_t c = skip; c < stats.log.size(); ++c) {
        if (c != skip) out += " | ";
        for (size_t r = 0; r < stats.log[c].size(); ++r) {
            if (r != 0) out += ',';
            out += std::to_string(stats.log[c][r].offset) + "+" + std::to_string(stats.log[c][r].len);
        }
    }
    return out;
}

}  // namespace tavren::testing
