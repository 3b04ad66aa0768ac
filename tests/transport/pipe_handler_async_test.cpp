#include "transport/pipe_handler_async.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <vector>

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
