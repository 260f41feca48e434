// Processor features the kernels choose their paths by. Detection runs once
// (threads racing on the first test each detect and store the same value) and
// is cached; any thread may ask at any time. Nothing here depends on another
// module, so every kernel module (distance, blas, the quantizer scans) can ask
// without reaching sideways or up.
#pragma once

namespace tavren::cpu {

// True when the processor and the OS support AVX2 (the OS saves the 256-bit
// registers).
bool avx2_available() noexcept;
// Whether the AVX2 kernels are in use: avx2_available() unless forced off.
bool avx2_enabled() noexcept;
// Test-only: force the scalar kernels (true) or restore detection (false).
void force_scalar_for_testing(bool force) noexcept;
// Whether force_scalar_for_testing(true) is in effect: the other feature
// switches (F16C) follow it too.
bool scalar_forced_for_testing() noexcept;

// How eight running PQ sums read their code bytes. Both give the same bits;
// which is faster depends on the processor: AMD's (three loads per cycle)
// run faster loading each byte on its own, Intel's (two) taking eight bytes
// per load apart by shifts.
enum class CodeLoads : unsigned char { Detected, Bytes, Words };
// Bytes or Words: the test override when one is set, else Bytes on AMD and
// Hygon processors and Words on every other.
CodeLoads code_loads() noexcept;
// Test-only: force Bytes or Words, or restore detection (Detected).
void force_code_loads_for_testing(CodeLoads loads) noexcept;

}  // namespace tavren::cpu
