// Win32 calls only: runs natively against our layer and under Wine against the real API.
#include <gtest/gtest.h>

#include <atomic>

#include "platform_test_util.h"
#include "support/test_support.h"

namespace {

struct gate {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> thread_id{0};
    std::atomic<bool> passed{false};  // the thread has gone through, and touches it no more
    ~gate() { CloseHandle(release); }
};

DWORD WINAPI wait_for_gate(LPVOID argument) {
    auto* g = static_cast<gate*>(argument);
    g->thread_id = GetCurrentThreadId();
    WaitForSingleObject(g->release, INFINITE);
    g->passed = true;
    return 7;
}

HANDLE start_thread(gate* g) {
    return CreateThread(nullptr, 0, &wait_for_gate, g, 0, nullptr);
}

}  // namespace

// A thread's handle (the log writer's) waits together with events, is signalled once the thread
// has ended, and may be closed while the thread runs on.
TEST(threads, a_thread_handle_is_signalled_when_the_thread_ends) {
    {
        gate g;
        HANDLE thread = start_thread(&g);
        ASSERT_NE(nullptr, thread);
        conformance::scoped_events events(1, true);
        HANDLE set[2] = {events[0], thread};
        EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, set, FALSE, 20));
        ASSERT_TRUE(
            tovi_test::wait_until([&] { return g.thread_id != 0; }, std::chrono::seconds(30)));
        EXPECT_NE(GetCurrentThreadId(), g.thread_id.load());
        SetEvent(g.release);
        EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, set, FALSE, 30000));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));
        CloseHandle(thread);
    }
    gate g;
    CloseHandle(start_thread(&g));
    SetEvent(g.release);  // the thread still runs and ends on its own
    EXPECT_TRUE(tovi_test::wait_until([&] { return g.passed.load(); }, std::chrono::seconds(30)));
}
