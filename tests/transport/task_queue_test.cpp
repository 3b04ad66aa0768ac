// The task queue and its worker thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "transport/task_queue.h"

using namespace std::chrono_literals;
using tovi_test::wait_until;

namespace {

task_queue::task make_task(std::function<void()> body) {
    return std::make_shared<std::function<void()>>(std::move(body));
}

}  // namespace

TEST(task_queue, runs_tasks_one_at_a_time_in_posting_order_on_its_own_thread) {
    constexpr int task_count = 2000;
    task_queue queue;
    std::vector<int> order;  // touched only by the worker until finished is set
    std::atomic<int> running{0};
    std::atomic<int> most_at_once{0};
    std::atomic<bool> off_the_posting_thread{true};
    std::atomic<int> finished{0};
    const auto poster = std::this_thread::get_id();
    for (int i = 0; i < task_count; ++i) {
        if (i == 10) {
            queue.post_task(nullptr);  // skipped
        }
        queue.post_task(make_task([&, i] {
            most_at_once = std::max(most_at_once.load(), ++running);
            off_the_posting_thread = off_the_posting_thread && std::this_thread::get_id() != poster;
            order.push_back(i);
            --running;
            ++finished;
        }));
    }
    ASSERT_TRUE(wait_until([&] { return finished == task_count; }, 30s));
    queue.stop_tasks();
    ASSERT_EQ(static_cast<size_t>(task_count), order.size());
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(1, most_at_once.load());
    EXPECT_TRUE(off_the_posting_thread);
}

TEST(task_queue, tasks_queued_when_it_stops_never_run_and_are_released_with_the_queue) {
    auto queue = std::make_unique<task_queue>();
    tovi_test::gate running;
    queue->post_task(make_task([&] { running.pass(); }));
    ASSERT_TRUE(running.wait_arrival(30s));
    auto witness = std::make_shared<int>(0);
    std::atomic<int> ran{0};
    auto counted = [&ran, witness] { ++ran; };
    queue->post_task(make_task(counted));

    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        queue->stop_tasks();
        stopped = true;
    });
    // A post is dropped, so the queue keeps no copy of it, once stopping has begun.
    ASSERT_TRUE(wait_until(
        [&] {
            task_queue::task probe = make_task(counted);
            queue->post_task(probe);
            return probe.use_count() == 1;
        },
        30s));
    EXPECT_FALSE(stopped) << "stop_tasks returned while a task was running";
    running.open();
    stopper.join();
    queue->post_task(make_task(counted));
    EXPECT_EQ(0, ran.load());
    EXPECT_GT(witness.use_count(), 2) << "the queued tasks are still held";
    queue.reset();
    EXPECT_EQ(0, ran.load());
    EXPECT_EQ(2, witness.use_count()) << "only this test's copies are left";
}

// A task that throws is dropped and the next one runs; a task may stop its own queue, and then
// nothing runs after it.
TEST(task_queue, a_throwing_task_is_dropped_and_a_task_may_stop_its_own_queue) {
    task_queue queue;
    std::atomic<bool> stopped{false};
    std::atomic<int> ran_after{0};
    queue.post_task(make_task([] { throw std::runtime_error("task failure"); }));
    queue.post_task(make_task([] { throw 7; }));
    queue.post_task(make_task([&] {
        queue.stop_tasks();
        queue.post_task(make_task([&] { ++ran_after; }));
        stopped = true;
    }));
    queue.post_task(make_task([&] { ++ran_after; }));
    ASSERT_TRUE(wait_until([&] { return stopped.load(); }, 30s));
    queue.stop_tasks();
    EXPECT_EQ(0, ran_after.load());
}
