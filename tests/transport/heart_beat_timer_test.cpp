// Worker threads, and the heart beat on an event loop.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "platform/win32.h"
#include "support/test_support.h"
#include "transport/heart_beat_timer.h"
#include "transport/pipe_handler_async.h"
#include "transport/thread_base.h"

using namespace std::chrono_literals;
using tovi_test::wait_until;

namespace {

// Counts its beats and the threads they came from; with held set, a beat waits at the gate.
class beat_counter : public tovi::heart_beat_callback {
  public:
    bool on_heart_beat() override {
        {
            std::lock_guard<std::mutex> hold(lock_);
            threads_.insert(GetCurrentThreadId());
        }
        ++beats;
        if (held) {
            gate.pass();
        }
        returned_at = ++sequence;
        return true;
    }
    std::set<DWORD> threads() {
        std::lock_guard<std::mutex> hold(lock_);
        return threads_;
    }

    std::atomic<int> beats{0};
    bool held = false;  // set before the sender starts
    tovi_test::gate gate;
    std::atomic<int> sequence{0};
    std::atomic<int> returned_at{0};

  private:
    std::mutex lock_;
    std::set<DWORD> threads_;
};

// A body that returns on its own after counting its run.
class one_shot_thread : public tovi::thread_base {
  public:
    one_shot_thread() : thread_base(tovi::thread_role::worker) {}
    ~one_shot_thread() { stop_thread(); }
    std::atomic<int> runs{0};

  protected:
    void on_thread_run() override {
        role_seen = tovi::this_thread_role();
        ++runs;
    }

  public:
    std::atomic<tovi::thread_role> role_seen{tovi::thread_role::host};
};

}  // namespace

TEST(heart_beat_timer, beats_on_the_loop_thread_however_often_it_is_started) {
    tovi::pipe_handler_async loop;
    beat_counter counter;
    {
        // Stopped inside its first interval, a sender never beats.
        tovi::heart_beat_timer early(&counter, 60000, &loop);
        ASSERT_TRUE(early.start());
        EXPECT_TRUE(early.is_running());
        std::this_thread::sleep_for(50ms);
        early.stop();
        EXPECT_FALSE(early.is_running());
        EXPECT_EQ(0, counter.beats.load());
    }
    tovi::heart_beat_timer sender(&counter, 5, &loop);
    ASSERT_TRUE(sender.start());
    ASSERT_TRUE(sender.start());
    ASSERT_TRUE(wait_until([&] { return counter.beats >= 5; }, 30s));
    ASSERT_TRUE(sender.start());
    const int before = counter.beats;
    ASSERT_TRUE(wait_until([&] { return counter.beats >= before + 5; }, 30s));
    DWORD loop_thread = 0;
    ASSERT_TRUE(loop.call([&] { loop_thread = GetCurrentThreadId(); }));
    EXPECT_EQ(std::set<DWORD>{loop_thread}, counter.threads());
    sender.stop();
    sender.stop();
    EXPECT_FALSE(sender.is_running());
    const int after_stop = counter.beats;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(after_stop, counter.beats.load());
}

TEST(heart_beat_timer, stop_during_a_beat_returns_after_it_and_no_beat_follows) {
    tovi::pipe_handler_async loop;
    beat_counter counter;
    counter.held = true;
    tovi::heart_beat_timer sender(&counter, 5, &loop);
    ASSERT_TRUE(sender.start());
    ASSERT_TRUE(counter.gate.wait_arrival(30s));

    std::atomic<int> stop_returned_at{0};
    std::thread stopper([&] {
        sender.stop();
        stop_returned_at = ++counter.sequence;
    });
    EXPECT_FALSE(wait_until([&] { return stop_returned_at != 0; }, 200ms))
        << "stop returned while the beat was running";
    counter.gate.open();
    stopper.join();
    EXPECT_LT(counter.returned_at.load(), stop_returned_at.load());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(1, counter.beats.load());
    EXPECT_FALSE(sender.is_running());
}

TEST(thread_base, a_thread_that_ended_on_its_own_is_not_running_and_can_be_started_again) {
    one_shot_thread thread;
    EXPECT_FALSE(thread.is_running());
    EXPECT_FALSE(thread.wait_exit_signal(0));
    thread.stop_thread();  // before any start: nothing to do

    ASSERT_TRUE(thread.start_thread());
    ASSERT_TRUE(wait_until([&] { return thread.runs == 1 && !thread.is_running(); }, 30s));
    ASSERT_TRUE(thread.start_thread());
    ASSERT_TRUE(wait_until([&] { return thread.runs == 2 && !thread.is_running(); }, 30s));
    thread.stop_thread();
    EXPECT_FALSE(thread.is_running());
    EXPECT_EQ(2, thread.runs.load());
    EXPECT_EQ(tovi::thread_role::worker, thread.role_seen.load());  // set where it was made
    EXPECT_EQ(tovi::thread_role::host, tovi::this_thread_role());
}
