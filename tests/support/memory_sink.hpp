// An in-memory SeekWrite for writer tests: keeps the bytes (optionally), the
// length of every write_all call in order, and can start its positions at an
// offset or fail a chosen call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "io.hpp"

namespace tavren::testing {

class MemorySink final : public io::SeekWrite {
public:
    struct Options {
        uint64_t start_position = 0;         // what pos() reports before the first write
        bool keep_bytes = true;              // false: record call lengths only (large outputs)
        std::optional<size_t> fail_on_call;  // 0-based index of the write_all call that fails
    };

    MemorySink() = default;
    explicit MemorySink(Options options) : options_(options) {}

    // Records the call; the failing call throws Error(Other, "memory sink write failed")
    // and is recorded in neither calls() nor bytes().
    void write_all(std::span<const uint8_t> bytes) override;
    // start_position plus the bytes accepted so far.
    uint64_t pos() override;

    const std::vector<uint8_t>& bytes() const noexcept { return bytes_; }
    const std::vector<size_t>& calls() const noexcept { return calls_; }
    uint64_t bytes_accepted() const noexcept { return accepted_; }
    size_t pos_calls() const noexcept { return pos_calls_; }

private:
    Options options_;
    std::vector<uint8_t> bytes_;
    std::vector<size_t> calls_;
    uint64_t accepted_ = 0;
    size_t pos_calls_ = 0;
};

}  // namespace tavren::testing
