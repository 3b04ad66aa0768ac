#include "transport/pipe_handler_async.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/test_support.h"

namespace {

using tovi_test::wait_until;
using namespace std::chrono_literals;

// Records every dispatch: its key and the thread it ran on.
class recording_listener : public win::pipe_handler_listener {
  public:
    void on_handle_event(HANDLE key) override {
        std::lock_guard<std::mutex> lock(lock_);
        keys_.push_back(key);
        threads_.insert(GetCurrentThreadId());
    }
    std::vector<HANDLE> keys() {
        std::lock_guard<std::mutex> lock(lock_);
        return keys_;
    }
    std::set<DWORD> threads() {
        std::lock_guard<std::mutex> lock(lock_);
        return threads_;
    }
    size_t count() { return keys().size(); }

  private:
    std::mutex lock_;
    std::vector<HANDLE> keys_;
    std::set<DWORD> threads_;
};

class events {
  public:
    explicit events(size_t count) {
        for (size_t i = 0; i < count; ++i) {
            handles_.push_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        }
        std::sort(handles_.begin(), handles_.end());
    }
    ~events() {
        for (HANDLE h : handles_)
            CloseHandle(h);
    }
    HANDLE operator[](size_t i) const { return handles_[i]; }
    size_t size() const { return handles_.size(); }

  private:
    std::vector<HANDLE> handles_;
};

HANDLE key(int n) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(n));
}

}  // namespace

TEST(pipe_handler_async, a_loop_without_registrations_starts_no_thread) {
    win::pipe_handler_async loop;
    EXPECT_FALSE(loop.is_running());
}

TEST(pipe_handler_async, refuses_a_null_event_or_listener) {
    win::pipe_handler_async loop;
    recording_listener listener;
    events e(1);
    EXPECT_FALSE(loop.add_handle(nullptr, &listener, key(1)));
    EXPECT_FALSE(loop.add_handle(e[0], nullptr, key(1)));
    EXPECT_EQ(0u, loop.registration_count());
    EXPECT_FALSE(loop.is_running());
}

TEST(pipe_handler_async, dispatches_a_signalled_registration_once_on_its_thread) {
    win::pipe_handler_async loop;
    recording_listener first, second;
    events e(1);
    ASSERT_TRUE(loop.add_handle(e[0], &first, key(1)));
    EXPECT_TRUE(loop.is_running());
    ASSERT_TRUE(loop.add_handle(e[0], &second, key(2)));  // replaces listener and key
    EXPECT_EQ(1u, loop.registration_count());
    SetEvent(e[0]);
    ASSERT_TRUE(wait_until([&] { return second.count() == 1; }, 5s));
    std::this_thread::sleep_for(50ms);  // the event stays signalled: no second dispatch
    EXPECT_EQ(std::vector<HANDLE>{key(2)}, second.keys());
    EXPECT_EQ(0u, first.count());
    EXPECT_EQ(0u, loop.registration_count());
    EXPECT_EQ(0u, second.threads().count(GetCurrentThreadId()));
}

TEST(pipe_handler_async, dispatches_two_signalled_events_lower_handle_first) {
    win::pipe_handler_async loop;
    recording_listener listener;
    events e(2);
    // A dispatch that holds the loop until both events are set, so that the next pass finds
    // them signalled together.
    struct blocking_listener : win::pipe_handler_listener {
        HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ~blocking_listener() { CloseHandle(release); }
        void on_handle_event(HANDLE) override { WaitForSingleObject(release, 5000); }
    } blocker;
    events b(1);
    loop.add_handle(e[1], &listener, e[1]);
    loop.add_handle(e[0], &listener, e[0]);
    loop.add_handle(b[0], &blocker, b[0]);
    SetEvent(b[0]);
    std::this_thread::sleep_for(20ms);
    SetEvent(e[1]);
    SetEvent(e[0]);
    SetEvent(blocker.release);
    ASSERT_TRUE(wait_until([&] { return listener.count() == 2; }, 5s));
    EXPECT_EQ((std::vector<HANDLE>{e[0], e[1]}), listener.keys());
}

TEST(pipe_handler_async, a_removed_registration_is_never_dispatched) {
    win::pipe_handler_async loop;
    recording_listener listener;
    events e(2);
    loop.add_handle(e[0], &listener, key(1));
    loop.remove_handle(e[1]);  // not registered: nothing changes
    EXPECT_EQ(1u, loop.registration_count());
    loop.remove_handle(e[0]);
    SetEvent(e[0]);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(0u, listener.count());
}

TEST(pipe_handler_async, stop_thread_logs_the_exit_and_the_end_of_the_thread) {
    tovi_test::log_capture log;
    {
        win::pipe_handler_async loop;
        recording_listener listener;
        events e(1);
        loop.add_handle(e[0], &listener, key(1));
        loop.stop_thread();
        EXPECT_FALSE(loop.is_running());
        // A later registration starts a new thread, which still serves the old registrations.
        events f(1);
        loop.add_handle(f[0], &listener, key(2));
        SetEvent(e[0]);
        ASSERT_TRUE(wait_until([&] { return listener.count() == 1; }, 5s));
    }
    const std::string text = log.finish();
    EXPECT_TRUE(tovi_test::contains_in_order(
        text, {":info win::pipe_handler_async::on_thread_run get exit signal\r\n",
               ":warning win::pipe_handler_async::on_thread_run end thread\r\n"}));
    EXPECT_EQ(2u, tovi_test::count_of(text, "on_thread_run get exit signal"));
}

TEST(pipe_handler_async, a_listener_may_register_again_from_inside_its_callback) {
    win::pipe_handler_async loop;
    events e(1);
    struct relisten : win::pipe_handler_listener {
        win::pipe_handler_async* loop = nullptr;
        std::atomic<int> calls{0};
        void on_handle_event(HANDLE event) override {
            if (++calls < 5) {
                loop->add_handle(event, this, event);  // the loop lock is held: re-entered
            }
        }
    } listener;
    listener.loop = &loop;
    loop.add_handle(e[0], &listener, e[0]);
    SetEvent(e[0]);  // stays signalled: every new registration is dispatched at once
    ASSERT_TRUE(wait_until([&] { return listener.calls == 5; }, 5s));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(5, listener.calls.load());
    EXPECT_EQ(0u, loop.registration_count());
}

TEST(pipe_handler_async, serves_a_thousand_registrations_each_dispatched_once) {
    constexpr size_t count = 1000;
    win::pipe_handler_async loop;
    recording_listener listener;
    events e(count);
    for (size_t i = 0; i < count; ++i) {
        ASSERT_TRUE(loop.add_handle(e[i], &listener, e[i]));
    }
    std::vector<size_t> order(count);
    for (size_t i = 0; i < count; ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    std::vector<std::thread> setters;
    for (size_t t = 0; t < 4; ++t) {
        setters.emplace_back([&, t] {
            for (size_t i = t; i < count; i += 4)
                SetEvent(e[order[i]]);
        });
    }
    for (auto& setter : setters)
        setter.join();
    ASSERT_TRUE(wait_until([&] { return listener.count() >= count; }, 30s)) << listener.count();
    std::this_thread::sleep_for(50ms);
    std::vector<HANDLE> keys = listener.keys();
    ASSERT_EQ(count, keys.size());
    std::sort(keys.begin(), keys.end());
    for (size_t i = 0; i < count; ++i)
        EXPECT_EQ(e[i], keys[i]);
    EXPECT_EQ(1u, listener.threads().size());  // all on the one loop thread
    EXPECT_EQ(0u, loop.registration_count());
}
