// The seeded standard generator: 12-round ChaCha with a 64-bit block counter
// and a 64-bit stream number, drawn from a buffer of four blocks.
//
// Training samples, k-means seeds and graph initialisation are reproducible
// only when every draw follows the rules below exactly, so each rule is part
// of the contract, not an implementation detail:
//   - seed_from_u64(s): eight 32-bit key words, each from one PCG32 step of s;
//     counter and stream start at 0; the buffer starts empty.
//   - the buffer holds 64 words, the outputs of the blocks with counters
//     c, c+1, c+2, c+3 in that order; it is refilled when used up.
//   - next_u32 takes the next word; next_u64 takes two, the first as the low
//     half (with one word left, it is the low half and the first word of the
//     refilled buffer the high half).
//   - gen_range(lo, hi) is uniform in [lo, hi) by widening multiplication with
//     rejection (one next_u64 per attempt); gen_range_inclusive covers
//     [lo, hi], and the full 64-bit range takes one next_u64 as is.
//   - gen_f32 is (next_u32 >> 8) * 2^-24, uniform in [0, 1).
// A generator is not thread-safe; each caller owns its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace tavren::rng {

// One ChaCha block: `rounds` rounds (an even number) over the 16-word input
// state, plus the input added word by word. Exposed for the known-answer tests.
std::array<uint32_t, 16> chacha_block(const std::array<uint32_t, 16>& input, unsigned rounds) noexcept;

class StdRng {
public:
    static constexpr unsigned kRounds = 12;
    static constexpr size_t kBufferWords = 64;

    // The 256-bit key as 32 little-endian bytes; counter and stream 0.
    static StdRng from_seed(const std::array<uint8_t, 32>& key) noexcept;
    // Key words from PCG32 steps of `seed` (multiplier 0x5851F42D4C957F2D,
    // increment 0xA17654E46FBE17F3, XSH-RR output).
    static StdRng seed_from_u64(uint64_t seed) noexcept;

    uint32_t next_u32() noexcept;
    uint64_t next_u64() noexcept;

    // Uniform integer in [lo, hi). Asserts lo < hi ("cannot sample empty range").
    uint64_t gen_range(uint64_t lo, uint64_t hi);
    // Uniform integer in [lo, hi]. Asserts lo <= hi ("cannot sample empty range").
    uint64_t gen_range_inclusive(uint64_t lo, uint64_t hi);
    // Uniform 32-bit integer in [lo, hi): the same rule over 32-bit words, one
    // next_u32 per attempt (the draw behind slice shuffles of short slices).
    uint32_t gen_range_u32(uint32_t lo, uint32_t hi);
    // Uniform f32 in [0, 1).
    float gen_f32() noexcept;

    // Fisher-Yates from the back: for i = len-1 down to 1, swap i with a
    // uniform j in [0, i] (gen_range_u32 while i + 1 fits 32 bits, else gen_range).
    template <class T>
    void shuffle(std::span<T> items) {
        for (size_t i = items.size(); i > 1; --i) {
            size_t j = uniform_index(i);
            std::swap(items[i - 1], items[j]);
        }
    }

    // The 256-bit key words, block counter and stream (for tests and diagnostics).
    const std::array<uint32_t, 8>& key() const noexcept { return key_; }
    uint64_t block_counter() const noexcept { return counter_; }

private:
    StdRng() = default;
    void refill() noexcept;
    size_t uniform_index(size_t upper_exclusive);

    std::array<uint32_t, 8> key_{};
    uint64_t counter_ = 0;
    uint64_t stream_ = 0;
    std::array<uint32_t, kBufferWords> buffer_{};
    size_t index_ = kBufferWords;  // empty until the first draw
};

}  // namespace tavren::rng
