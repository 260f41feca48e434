#include "rng.hpp"

#include <bit>
#include <type_traits>

#include "error.hpp"

namespace tavren::rng {
namespace {

constexpr std::array<uint32_t, 4> kSigma = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};

inline void quarter_round(std::array<uint32_t, 16>& s, int a, int b, int c, int d) noexcept {
    s[a] += s[b];
    s[d] = std::rotl(s[d] ^ s[a], 16);
    s[c] += s[d];
    s[b] = std::rotl(s[b] ^ s[c], 12);
    s[a] += s[b];
    s[d] = std::rotl(s[d] ^ s[a], 8);
    s[c] += s[d];
    s[b] = std::rotl(s[b] ^ s[c], 7);
}

}  // namespace

std::array<uint32_t, 16> chacha_block(const std::array<uint32_t, 16>& input, unsigned rounds) noexcept {
    std::array<uint32_t, 16> s = input;
    for (unsigned r = 0; r < rounds; r += 2) {
        quarter_round(s, 0, 4, 8, 12);
        quarter_round(s, 1, 5, 9, 13);
        quarter_round(s, 2, 6, 10, 14);
        quarter_round(s, 3, 7, 11, 15);
        quarter_round(s, 0, 5, 10, 15);
        quarter_round(s, 1, 6, 11, 12);
        quarter_round(s, 2, 7, 8, 13);
        quarter_round(s, 3, 4, 9, 14);
    }
    for (size_t i = 0; i < 16; ++i) s[i] += input[i];
    return s;
}

StdRng StdRng::from_seed(const std::array<uint8_t, 32>& key) noexcept {
    StdRng g;
    for (size_t i = 0; i < 8; ++i) {
        g.key_[i] = static_cast<uint32_t>(key[4 * i]) | (static_cast<uint32_t>(key[4 * i + 1]) << 8) |
                    (static_cast<uint32_t>(key[4 * i + 2]) << 16) | (static_cast<uint32_t>(key[4 * i + 3]) << 24);
    }
    return g;
}

StdRng StdRng::seed_from_u64(uint64_t seed) noexcept {
    constexpr uint64_t kMul = 0x5851F42D4C957F2Dull;
    constexpr uint64_t kInc = 0xA17654E46FBE17F3ull;
    StdRng g;
    uint64_t state = seed;
    for (size_t i = 0; i < 8; ++i) {
        state = state * kMul + kInc;  // unsigned: wraps mod 2^64
        uint32_t xorshifted = static_cast<uint32_t>(((state >> 18) ^ state) >> 27);
        int rot = static_cast<int>(state >> 59);
        // The key bytes are the little-endian bytes of each word, so key word i is the word itself.
        g.key_[i] = std::rotr(xorshifted, rot);
    }
    return g;
}

void StdRng::refill() noexcept {
    std::array<uint32_t, 16> input{};
    for (size_t i = 0; i < 4; ++i) input[i] = kSigma[i];
    for (size_t i = 0; i < 8; ++i) input[4 + i] = key_[i];
    input[14] = static_cast<uint32_t>(stream_);
    input[15] = static_cast<uint32_t>(stream_ >> 32);
    for (uint64_t b = 0; b < 4; ++b) {
        uint64_t c = counter_ + b;
        input[12] = static_cast<uint32_t>(c);
        input[13] = static_cast<uint32_t>(c >> 32);
        std::array<uint32_t, 16> out = chacha_block(input, kRounds);
        for (size_t i = 0; i < 16; ++i) buffer_[16 * b + i] = out[i];
    }
    counter_ += 4;
    index_ = 0;
}

uint32_t StdRng::next_u32() noexcept {
    if (index_ >= kBufferWords) refill();
    return buffer_[index_++];
}

uint64_t StdRng::next_u64() noexcept {
    if (index_ + 1 < kBufferWords) {
        uint64_t lo = buffer_[index_];
        uint64_t hi = buffer_[index_ + 1];
        index_ += 2;
        return lo | (hi << 32);
    }
    if (index_ >= kBufferWords) {
        refill();
        index_ = 2;
        return static_cast<uint64_t>(buffer_[0]) | (static_cast<uint64_t>(buffer_[1]) << 32);
    }
    // Exactly one word left: it is the low half, the refilled buffer's first word the high half.
    uint64_t lo = buffer_[kBufferWords - 1];
    refill();
    index_ = 1;
    return lo | (static_cast<uint64_t>(buffer_[0]) << 32);
}

namespace {

// Uniform in [0, w) for w > 0 by widening multiplication with rejection, one
// draw of a W-bit word per attempt.
template <class W, class Draw>
W sample_below(W w, Draw&& draw) {
    using Wide = std::conditional_t<sizeof(W) == 8, unsigned __int128, uint64_t>;
    const W zone = static_cast<W>(w << std::countl_zero(w)) - 1;
    for (;;) {
        const Wide p = static_cast<Wide>(draw()) * w;
        if (static_cast<W>(p) <= zone) return static_cast<W>(p >> (8 * sizeof(W)));
    }
}

}  // namespace

uint64_t StdRng::gen_range(uint64_t lo, uint64_t hi) {
    TD_ASSERT(lo < hi, "cannot sample empty range");
    return lo + sample_below(hi - lo, [this] { return next_u64(); });
}

uint64_t StdRng::gen_range_inclusive(uint64_t lo, uint64_t hi) {
    TD_ASSERT(lo <= hi, "cannot sample empty range");
    uint64_t w = hi - lo + 1;  // 0 means the full 64-bit range
    if (w == 0) return next_u64();
    return lo + sample_below(w, [this] { return next_u64(); });
}

uint32_t StdRng::gen_range_u32(uint32_t lo, uint32_t hi) {
    TD_ASSERT(lo < hi, "cannot sample empty range");
    return lo + sample_below(static_cast<uint32_t>(hi - lo), [this] { return next_u32(); });
}

float StdRng::gen_f32() noexcept {
    constexpr float kScale = 1.0f / 16777216.0f;  // 2^-24, exact
    return static_cast<float>(next_u32() >> 8) * kScale;
}

size_t StdRng::uniform_index(size_t upper_exclusive) {
    if (upper_exclusive <= 0xFFFFFFFFull) return gen_range_u32(0, static_cast<uint32_t>(upper_exclusive));
    return static_cast<size_t>(gen_range(0, upper_exclusive));
}

}  // namespace tavren::rng
