#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>
#include <chrono>
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
        EXPECT_EQ(here_ran, c.threads > 1 || !c.task_fails) << c.threads;
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

// Waits up to a minute for `ready`; false if it never came.
bool wait_for(const std::atomic<bool>& ready) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!ready.load()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::yield();
    }
    return true;
}

// With an idle pool the task really runs alongside: a pool thread starts it
// while the calling thread is still inside `here`.
TEST(Pool, RunAlongsideRunsTheTaskOnThePoolWhileHereRuns) {
    tavren::pool::set_num_threads_for_testing(4);
    std::atomic<bool> task_started{false};
    std::thread::id task_thread;
    bool seen_from_here = false;
    tavren::pool::run_alongside(
        [&] {
            task_thread = std::this_thread::get_id();
            task_started = true;
        },
        [&] { seen_from_here = wait_for(task_started); });
    EXPECT_TRUE(seen_from_here);
    EXPECT_NE(task_thread, std::this_thread::get_id());
    tavren::pool::set_num_threads_for_testing(0);
}

// When every pool thread is busy with another caller's loop that waits for
// this call to end, the call still ends: the calling thread runs the task
// itself once `here` is done instead of waiting for the pool to take it.
TEST(Pool, RunAlongsideEndsWhileEveryPoolThreadIsBusy) {
    const size_t threads = 2;
    tavren::pool::set_num_threads_for_testing(threads);
    std::atomic<bool> release{false};
    std::atomic<size_t> entered{0};
    std::atomic<bool> all_entered{false};
    std::thread busy([&] {
        tavren::pool::parallel_for_each_index(threads, [&](size_t) {
            if (++entered == threads) all_entered = true;
            while (!release.load()) std::this_thread::yield();
        });
    });
    ASSERT_TRUE(wait_for(all_entered)) << "the pool never ran both tasks";

    std::atomic<bool> returned{false};
    std::thread::id task_thread;
    std::thread::id here_thread;
    std::thread caller([&] {
        tavren::pool::run_alongside([&] { task_thread = std::this_thread::get_id(); },
                                    [&] { here_thread = std::this_thread::get_id(); });
        returned = true;
    });
    const bool ended = wait_for(returned);
    release = true;
    caller.join();
    busy.join();
    EXPECT_TRUE(ended) << "run_alongside waited for a pool that could not take its task";
    EXPECT_EQ(task_thread, here_thread);
    tavren::pool::set_num_threads_for_testing(0);
}

}  // namespace
