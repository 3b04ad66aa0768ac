#include "transport/pipe_handler_async.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/io_threads.h"
#include "support/test_support.h"

namespace {

using tovi_test::wait_until;
using namespace std::chrono_literals;

}  // namespace

TEST(pipe_handler_async, runs_posted_work_and_timers_in_order_on_one_thread_started_on_demand) {
    tovi::pipe_handler_async loop;
    EXPECT_FALSE(loop.is_running());
    std::mutex lock;
    std::vector<int> order;
    std::vector<DWORD> threads;
    const auto note = [&](int n) {
        std::lock_guard<std::mutex> hold(lock);
        order.push_back(n);
        threads.push_back(GetCurrentThreadId());
    };
    ASSERT_TRUE(loop.post_after(100, [&] { note(4); }));
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(loop.post([&, i] { note(i); }));
    }
    EXPECT_TRUE(loop.call([&] { note(0); }));  // returns once it ran
    ASSERT_TRUE(wait_until(
        [&] {
            std::lock_guard<std::mutex> hold(lock);
            return order.size() == 5;
        },
        30s));
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_EQ((std::vector<int>{1, 2, 3, 0, 4}), order);
    for (DWORD thread : threads) {
        EXPECT_EQ(threads[0], thread);
        EXPECT_NE(GetCurrentThreadId(), thread);
    }
}

TEST(pipe_handler_async, a_waiting_host_thread_runs_the_loop_as_its_guest_until_done_or_stopped) {
    tovi::pipe_handler_async loop;
    const DWORD host = GetCurrentThreadId();
    DWORD loop_thread = 0;
    ASSERT_TRUE(loop.call([&] { loop_thread = GetCurrentThreadId(); }));
    const auto forever = tovi::loop_turn::clock::time_point::max();
    // Once the guest holds the turn (its first look at done), a timer it sets and work another
    // thread posts both run on it, and it leaves when they have.
    std::atomic<DWORD> timer_ran_on{0}, post_ran_on{0};
    std::thread poster;
    const bool ran = loop.run_as_guest(
        forever,
        [&] {
            if (!poster.joinable()) {
                loop.post_after(20, [&] { timer_ran_on = GetCurrentThreadId(); });
                poster =
                    std::thread([&] { loop.post([&] { post_ran_on = GetCurrentThreadId(); }); });
            }
            return timer_ran_on != 0 && post_ran_on != 0;
        },
        std::chrono::microseconds(0));
    if (poster.joinable()) {
        poster.join();
    }
    if (!tovi_platform::any_thread_may_issue_io) {
        EXPECT_FALSE(ran);  // host threads issue no I/O here: the loop thread keeps its turn
        return;
    }
    ASSERT_TRUE(ran);
    EXPECT_EQ(host, timer_ran_on.load());
    EXPECT_EQ(host, post_ran_on.load());
    DWORD after = 0;  // the guest has left: the loop thread takes its work again
    ASSERT_TRUE(loop.call([&] { after = GetCurrentThreadId(); }));
    EXPECT_EQ(loop_thread, after);

    // A stop from another thread ends a guest that would wait for ever; then no guest is let in
    // until the loop runs again, on a thread of its own.
    std::thread stopper;
    EXPECT_TRUE(loop.run_as_guest(
        forever,
        [&] {
            if (!stopper.joinable()) {
                stopper = std::thread([&] { loop.stop_thread(); });
            }
            return false;
        },
        std::chrono::microseconds(0)));
    stopper.join();
    EXPECT_FALSE(loop.is_running());
    EXPECT_FALSE(loop.run_as_guest(
        forever, [] { return false; }, std::chrono::microseconds(0)));
    DWORD restarted = 0;
    ASSERT_TRUE(loop.call([&] { restarted = GetCurrentThreadId(); }));
    EXPECT_NE(host, restarted);
}
