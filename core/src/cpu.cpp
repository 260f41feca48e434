#include "cpu.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>

#include <cpuid.h>

namespace tavren::cpu {
namespace {

// 0 = not yet detected, 1 = no AVX2, 2 = AVX2 usable.
std::atomic<uint8_t> g_avx2_state{0};
std::atomic<bool> g_force_scalar{false};

bool detect_avx2() noexcept {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(1, 0, eax, ebx, ecx, edx);
    constexpr unsigned kXsave = 1u << 26;
    constexpr unsigned kOsxsave = 1u << 27;
    if ((ecx & kXsave) == 0 || (ecx & kOsxsave) == 0) return false;
    // XCR0 bits 1 (SSE state) and 2 (AVX state): the OS saves the 256-bit registers.
    unsigned xcr0_lo = 0, xcr0_hi = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
    if ((xcr0_lo & 0x6u) != 0x6u) return false;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    return (ebx & (1u << 5)) != 0;
}

// 0 = not yet detected, else a CodeLoads value.
std::atomic<uint8_t> g_code_loads{0};
std::atomic<uint8_t> g_code_loads_forced{0};

CodeLoads detect_code_loads() noexcept {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0) return CodeLoads::Words;
    char vendor[12];
    std::memcpy(vendor, &ebx, 4);
    std::memcpy(vendor + 4, &edx, 4);
    std::memcpy(vendor + 8, &ecx, 4);
    const bool amd = std::memcmp(vendor, "AuthenticAMD", 12) == 0 || std::memcmp(vendor, "HygonGenuine", 12) == 0;
    return amd ? CodeLoads::Bytes : CodeLoads::Words;
}

}  // namespace

CodeLoads code_loads() noexcept {
    const uint8_t forced = g_code_loads_forced.load(std::memory_order_relaxed);
    if (forced != 0) return static_cast<CodeLoads>(forced);
    uint8_t state = g_code_loads.load(std::memory_order_relaxed);
    if (state == 0) {
        state = static_cast<uint8_t>(detect_code_loads());
        g_code_loads.store(state, std::memory_order_relaxed);
    }
    return static_cast<CodeLoads>(state);
}

void force_code_loads_for_testing(CodeLoads loads) noexcept {
    g_code_loads_forced.store(static_cast<uint8_t>(loads), std::memory_order_relaxed);
}

bool avx2_available() noexcept {
    uint8_t state = g_avx2_state.load(std::memory_order_relaxed);
    if (state == 0) {
        state = detect_avx2() ? 2 : 1;
        g_avx2_state.store(state, std::memory_order_relaxed);
    }
    return state == 2;
}

bool avx2_enabled() noexcept { return !g_force_scalar.load(std::memory_order_relaxed) && avx2_available(); }

void force_scalar_for_testing(bool force) noexcept { g_force_scalar.store(force, std::memory_order_relaxed); }

bool scalar_forced_for_testing() noexcept { return g_force_scalar.load(std::memory_order_relaxed); }

}  // namespace tavren::cpu
