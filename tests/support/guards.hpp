// Scope guards for the process-wide test switches, so that a test that ends
// early (a failed ASSERT) leaves the next test the settings of the environment.
#pragma once

#include <cstddef>

#include "distance.hpp"
#include "pool.hpp"

namespace tavren::testing {

// Optionally sets the pool to `threads` threads; restores the environment's
// pool size when it goes out of scope.
struct PoolGuard {
    PoolGuard() = default;
    explicit PoolGuard(size_t threads) { pool::set_num_threads_for_testing(threads); }
    ~PoolGuard() { pool::set_num_threads_for_testing(0); }
    PoolGuard(const PoolGuard&) = delete;
    PoolGuard& operator=(const PoolGuard&) = delete;
};

// Lets the distance kernels use AVX2 again (when the processor has it) when
// it goes out of scope, whatever path the test forced.
struct RestoreDetection {
    RestoreDetection() = default;
    ~RestoreDetection() {
        distance::force_scalar_for_testing(false);
        cpu::force_code_loads_for_testing(cpu::CodeLoads::Detected);
    }
    RestoreDetection(const RestoreDetection&) = delete;
    RestoreDetection& operator=(const RestoreDetection&) = delete;
};

}  // namespace tavren::testing
