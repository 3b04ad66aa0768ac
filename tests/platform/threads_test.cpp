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

unsigned __stdcall wait_for_gate(void* argument) {
    auto* g = static_cast<gate*>(argument);
    g->thread_id = GetCurrentThreadId();
    WaitForSingleObject(g->release, INFINITE);
    g->passed = true;
    return 7;
}

DWORD WINAPI wait_for_gate_w(LPVOID argument) {
    return wait_for_gate(argument) + 1;
}

}  // namespace

TEST(threads, a_thread_handle_is_signalled_when_the_thread_ends) {
    gate g;
    HANDLE thread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &wait_for_gate, &g, 0, nullptr));
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 50));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(259u, code);  // STILL_ACTIVE
    SetEvent(g.release);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(7u, code);
    EXPECT_NE(0u, g.thread_id.load());
    EXPECT_NE(GetCurrentThreadId(), g.thread_id.load());
    CloseHandle(thread);
}

TEST(threads, create_thread_handles_wait_together_with_events) {
    gate g;
    HANDLE thread = CreateThread(nullptr, 0, &wait_for_gate_w, &g, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    conformance::scoped_events events(1, true);
    HANDLE set[2] = {events[0], thread};
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, set, FALSE, 20));
    SetEvent(g.release);
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, set, FALSE, 30000));
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(8u, code);
    CloseHandle(thread);
}

TEST(threads, closing_a_running_thread_handle_leaves_the_thread_running) {
    gate g;
    HANDLE thread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &wait_for_gate, &g, 0, nullptr));
    ASSERT_NE(nullptr, thread);
    CloseHandle(thread);
    SetEvent(g.release);  // the thread still runs and ends on its own
    EXPECT_TRUE(tovi_test::wait_until([&] { return g.passed.load(); }, std::chrono::seconds(30)));
}

TEST(threads, cancel_synchronous_io_without_pending_io_reports_not_found) {
    gate g;
    HANDLE thread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &wait_for_gate, &g, 0, nullptr));
    Sleep(10);
    SetLastError(0);
    EXPECT_FALSE(CancelSynchronousIo(thread));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), GetLastError());
    SetEvent(g.release);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

TEST(threads, process_and_thread_ids_are_stable_and_non_zero) {
    EXPECT_NE(0u, GetCurrentProcessId());
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
}
