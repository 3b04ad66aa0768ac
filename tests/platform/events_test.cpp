// Win32 calls only: runs natively against our layer and under Wine against the real API.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform_test_util.h"
#include "support/test_support.h"

using conformance::scoped_events;

TEST(events, a_manual_reset_event_stays_signalled_and_an_auto_reset_one_is_taken_by_a_wait) {
    for (const BOOL manual : {TRUE, FALSE}) {
        for (const BOOL initially : {FALSE, TRUE}) {
            SCOPED_TRACE(std::string(manual ? "manual" : "auto") + (initially ? ", set" : ""));
            HANDLE e = CreateEventW(nullptr, manual, initially, nullptr);
            ASSERT_NE(nullptr, e);
            if (!initially) {
                EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
                ASSERT_TRUE(SetEvent(e));
            }
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
            EXPECT_EQ(manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT, WaitForSingleObject(e, 0));
            ASSERT_TRUE(ResetEvent(e));
            EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
            CloseHandle(e);
        }
    }
}

TEST(wait_for_multiple_objects, returns_the_lowest_signalled_index_of_at_most_64_handles) {
    scoped_events events(65, true);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(64, events.data(), FALSE, 100));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
    SetEvent(events[63]);
    EXPECT_EQ(WAIT_OBJECT_0 + 63, WaitForMultipleObjects(64, events.data(), FALSE, 0));
    SetEvent(events[1]);
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(64, events.data(), FALSE, 0));
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(64, events.data(), FALSE, INFINITE));
    EXPECT_FAILS_WITH(ERROR_INVALID_PARAMETER, WAIT_FAILED,
                      WaitForMultipleObjects(65, events.data(), FALSE, 0));
    // Auto-reset events: the wait takes the one it returns.
    scoped_events taken(2, false);
    SetEvent(taken[0]);
    SetEvent(taken[1]);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, taken.data(), FALSE, 0));
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, taken.data(), FALSE, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, taken.data(), FALSE, 0));
}

TEST(wait_for_multiple_objects, another_thread_wakes_a_waiter_and_an_auto_reset_event_only_one) {
    scoped_events events(3, false);
    std::thread setter([&] {
        Sleep(30);
        SetEvent(events[2]);
    });
    EXPECT_EQ(WAIT_OBJECT_0 + 2, WaitForMultipleObjects(3, events.data(), FALSE, 30000));
    setter.join();

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
    const auto other_gets_it = [&] {
        bool got = false;
        std::thread([&] {
            got = TryEnterCriticalSection(&section) != FALSE;
            if (got) {
                LeaveCriticalSection(&section);
            }
        }).join();
        return got;
    };
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    EXPECT_FALSE(other_gets_it());
    LeaveCriticalSection(&section);
    EXPECT_FALSE(other_gets_it());  // still held once
    LeaveCriticalSection(&section);
    EXPECT_TRUE(other_gets_it());
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
