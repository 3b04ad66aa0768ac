// Win32 calls only: runs natively against our layer and under Wine against the real API.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform_test_util.h"
#include "support/test_support.h"

using conformance::scoped_events;

TEST(events, manual_reset_stays_signalled_until_reset) {
    scoped_events events(1, true);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(events[0], 0));
    ASSERT_TRUE(SetEvent(events[0]));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(events[0], 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(events[0], 0));
    ASSERT_TRUE(ResetEvent(events[0]));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(events[0], 0));
}

TEST(events, auto_reset_is_consumed_by_the_wait_that_returns_it) {
    scoped_events events(2, false);
    SetEvent(events[0]);
    SetEvent(events[1]);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, events.data(), FALSE, 0));
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, events.data(), FALSE, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, events.data(), FALSE, 0));
}

TEST(events, an_initially_signalled_event_is_signalled) {
    HANDLE e = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    CloseHandle(e);
}

TEST(wait_for_multiple_objects, returns_the_lowest_signalled_index) {
    scoped_events events(4, true);
    SetEvent(events[3]);
    SetEvent(events[1]);
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(4, events.data(), FALSE, 0));
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(4, events.data(), FALSE, INFINITE));
    ResetEvent(events[1]);
    EXPECT_EQ(WAIT_OBJECT_0 + 3, WaitForMultipleObjects(4, events.data(), FALSE, 0));
}

TEST(wait_for_multiple_objects, accepts_64_handles_and_refuses_65) {
    scoped_events events(65, true);
    SetEvent(events[63]);
    EXPECT_EQ(WAIT_OBJECT_0 + 63, WaitForMultipleObjects(64, events.data(), FALSE, 0));
    SetLastError(0);
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(65, events.data(), FALSE, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(wait_for_multiple_objects, times_out_after_roughly_the_time_asked) {
    scoped_events events(2, true);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, events.data(), FALSE, 100));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(90));
}

TEST(wait_for_multiple_objects, wakes_when_another_thread_sets_an_event) {
    scoped_events events(3, false);
    std::thread setter([&] {
        Sleep(30);
        SetEvent(events[2]);
    });
    EXPECT_EQ(WAIT_OBJECT_0 + 2, WaitForMultipleObjects(3, events.data(), FALSE, 30000));
    setter.join();
}

TEST(wait_for_multiple_objects, an_auto_reset_event_wakes_one_of_two_waiters) {
    scoped_events events(1, false);
    std::atomic<int> woken{0};
    auto wait_once = [&] {
        if (WaitForSingleObject(events[0], 60000) == WAIT_OBJECT_0) {
            ++woken;
        }
    };
    std::thread a(wait_once), b(wait_once);
    SetEvent(events[0]);
    ASSERT_TRUE(tovi_test::wait_until([&] { return woken == 1; }, std::chrono::seconds(30)));
    Sleep(100);  // room for a second wake that must not come
    EXPECT_EQ(1, woken.load());
    SetEvent(events[0]);  // the other waiter's turn
    a.join();
    b.join();
    EXPECT_EQ(2, woken.load());
}

TEST(critical_section, is_reentrant_for_its_owner_and_exclusive_for_others) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    bool other_got_it = true;
    std::thread other([&] { other_got_it = TryEnterCriticalSection(&section) != FALSE; });
    other.join();
    EXPECT_FALSE(other_got_it);
    LeaveCriticalSection(&section);
    std::thread still_held([&] { other_got_it = TryEnterCriticalSection(&section) != FALSE; });
    still_held.join();
    EXPECT_FALSE(other_got_it);
    LeaveCriticalSection(&section);
    std::thread released([&] {
        other_got_it = TryEnterCriticalSection(&section) != FALSE;
        if (other_got_it) {
            LeaveCriticalSection(&section);
        }
    });
    released.join();
    EXPECT_TRUE(other_got_it);
    DeleteCriticalSection(&section);
}

TEST(last_error, is_kept_per_thread) {
    // Events order the two threads: creating and joining a thread may itself touch the last
    // error, so this thread sets its own only once the other exists.
    scoped_events go(2, true);
    DWORD seen_by_other = 0;
    std::thread other([&] {
        WaitForSingleObject(go[0], INFINITE);
        SetLastError(42);
        seen_by_other = GetLastError();
        SetEvent(go[1]);
    });
    SetLastError(1234);
    SetEvent(go[0]);
    WaitForSingleObject(go[1], INFINITE);
    EXPECT_EQ(1234u, GetLastError());
    other.join();
    EXPECT_EQ(42u, seen_by_other);
}
