#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>
#include <string>
#include <thread>

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

// The task runs on the pool while the other function runs on the calling
// thread; both run, and the task's failure is the one reported when both
// fail (the order of a walk that scans, then reads). With one thread the
// task runs first and its failure ends the call.
TEST(Pool, RunAlongsideRunsBothAndReportsTheTaskFirst) {
    using tavren::pool::run_alongside;
    struct Case {
        size_t threads;
        bool task_fails;
        bool here_fails;
        const char* want;  // the message that reaches the caller, or "" for none
    };
    const Case cases[] = {
        {1, false, false, ""},   {4, false, false, ""},
        {1, true, false, "task"}, {4, true, false, "task"},
        {1, false, true, "here"}, {4, false, true, "here"},
        {1, true, true, "task"},  {4, true, true, "task"},
    };
    for (const Case& c : cases) {
        tavren::pool::set_num_threads_for_testing(c.threads);
        std::atomic<size_t> task_sum{0};
        bool here_ran = false;
        std::thread::id here_thread;
        std::string got;
        try {
            run_alongside(
                [&] {
                    // A loop inside the task runs on the pool as usual.
                    parallel_for(0, 1000, 1, [&](size_t lo, size_t hi) { task_sum += hi - lo; });
                    if (c.task_fails) tavren::invalid_data("task");
                },
                [&] {
                    here_ran = true;
                    here_thread = std::this_thread::get_id();
                    if (c.here_fails) tavren::invalid_input("here");
                });
        } catch (const tavren::Error& e) {
            got = e.what();
        }
        EXPECT_EQ(task_sum.load(), 1000u) << c.threads;
        EXPECT_EQ(here_ran, !c.task_fails) << c.threads;  // run one after the other for now
        if (here_ran) {
            EXPECT_EQ(here_thread, std::this_thread::get_id());
        }
        EXPECT_NE(got.find(c.want), std::string::npos) << c.threads << " " << c.want << ": " << got;
        if (c.want[0] == '\0') {
            EXPECT_EQ(got, "");
        }
    }
    tavren::pool::set_num_threads_for_testing(0);
}

}  // namespace
