#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>
#include <string>

#include "error.hpp"
#include "pool.hpp"
#include "stderr_capture.hpp"

namespace {

using tavren::pool::parallel_for;

// Must run before anything in this process starts the pool: the pool's
// processor count is read from the affinity mask at its first use.
TEST(Pool, LargerThanTheProcessorsWritesNothingToStderr) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof(one), &one), 0);

    tavren::testing::StderrCapture capture;
    std::atomic<size_t> sum{0};
    for (size_t threads : {8u, 2u, 16u, 1u}) {
        tavren::pool::set_num_threads_for_testing(threads);
        EXPECT_EQ(tavren::pool::current_num_threads(), threads);
        parallel_for(0, 100000, 1, [&](size_t lo, size_t hi) { sum += hi - lo; });
    }
    std::string text = capture.finish();
    EXPECT_EQ(sum.load(), 400000u);
    EXPECT_EQ(text, "");
    tavren::pool::set_num_threads_for_testing(0);
}

TEST(Pool, TaskFailuresReachTheCaller) {
    tavren::pool::set_num_threads_for_testing(4);
    EXPECT_THROW(parallel_for(0, 1000, 1,
                              [](size_t lo, size_t) {
                                  if (lo == 500) tavren::panic("task {} failed", lo);
                              }),
                 tavren::AssertionFailure);
    EXPECT_THROW(tavren::pool::parallel_for_each_index(64,
                                                       [](size_t i) {
                                                           if (i == 63) tavren::invalid_input("bad {}", i);
                                                       }),
                 tavren::Error);
    // The pool keeps working after a failed call.
    std::atomic<size_t> sum{0};
    parallel_for(0, 1000, 1, [&](size_t lo, size_t hi) { sum += hi - lo; });
    EXPECT_EQ(sum.load(), 1000u);
    tavren::pool::set_num_threads_for_testing(0);
}

}  // namespace
