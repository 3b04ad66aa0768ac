// Worker threads, and the heart beat on an event loop.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "platform/win32.h"
#include "support/test_support.h"
#include "transport/heart_beat_sender.h"
#include "transport/pipe_handler_async.h"
#include "transport/thread_base.h"

using namespace std::chrono_literals;
using tovi_test::wait_until;

namespace {

// Counts its beats and the threads they came from; a beat can be held until released.
class beat_counter : public win::heart_beat_callback {
  public:
    bool on_heart_beat() override {
        {
            std::lock_guard<std::mutex> hold(lock_);
            threads_.insert(GetCurrentThreadId());
        }
        ++beats;
        inside = true;
        if (hold_beats) {
            wait_until([this] { return !hold_beats; }, 30s);
        }
        inside = false;
        returned_at = ++sequence;
        return true;
    }

    size_t thread_count() {
        std::lock_guard<std::mutex> hold(lock_);
        return threads_.size();
    }
    size_t thread_count_of(DWORD thread) {
        std::lock_guard<std::mutex> hold(lock_);
        return threads_.count(thread);
    }

    std::atomic<int> beats{0};
    std::atomic<bool> inside{false};
    std::atomic<bool> hold_beats{false};
    std::atomic<int> sequence{0};
    std::atomic<int> returned_at{0};

  private:
    std::mutex lock_;
    std::set<DWORD> threads_;
};

// A body that returns on its own after counting its run.
class one_shot_thread : public win::thread_base {
  public:
    ~one_shot_thread() { stop_thread(); }
    std::atomic<int> runs{0};

  protected:
    void on_thread_run() override { ++runs; }
};

}  // namespace

TEST(heart_beat_sender, beats_on_the_loop_thread_however_often_it_is_started) {
    win::pipe_handler_async loop;
    beat_counter counter;
    {
        // Stopped inside its first interval, a sender never beats.
        win::heart_beat_sender early(&counter, 60000, &loop);
        ASSERT_TRUE(early.start());
        EXPECT_TRUE(early.is_running());
        std::this_thread::sleep_for(50ms);
        early.stop();
        EXPECT_FALSE(early.is_running());
        EXPECT_EQ(0, counter.beats.load());
    }
    win::heart_beat_sender sender(&counter, 5, &loop);
    ASSERT_TRUE(sender.start());
    ASSERT_TRUE(sender.start());
    ASSERT_TRUE(wait_until([&] { return counter.beats >= 5; }, 30s));
    ASSERT_TRUE(sender.start());
    const int before = counter.beats;
    ASSERT_TRUE(wait_until([&] { return counter.beats >= before + 5; }, 30s));
    EXPECT_EQ(1u, counter.thread_count());
    DWORD loop_thread = 0;
    ASSERT_TRUE(loop.call([&] { loop_thread = GetCurrentThreadId(); }));
    EXPECT_EQ(1u, counter.thread_count_of(loop_thread));
    sender.stop();
    sender.stop();
    EXPECT_FALSE(sender.is_running());
    const int after_stop = counter.beats;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(after_stop, counter.beats.load());
}

TEST(heart_beat_sender, stop_during_a_beat_returns_after_it_and_no_beat_follows) {
    win::pipe_handler_async loop;
    beat_counter counter;
    counter.hold_beats = true;
    win::heart_beat_sender sender(&counter, 5, &loop);
    ASSERT_TRUE(sender.start());
    ASSERT_TRUE(wait_until([&] { return counter.inside.load(); }, 30s));

    std::atomic<int> stop_returned_at{0};
    std::thread stopper([&] {
        sender.stop();
        stop_returned_at = ++counter.sequence;
    });
    EXPECT_FALSE(wait_until([&] { return stop_returned_at != 0; }, 200ms))
        << "stop returned while the beat was running";
    counter.hold_beats = false;
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
}
