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
    return wait_for_gate(argument);
}

HANDLE start_thread(bool through_crt, gate* g) {
    return through_crt
               ? reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &wait_for_gate, g, 0, nullptr))
               : CreateThread(nullptr, 0, &wait_for_gate_w, g, 0, nullptr);
}

}  // namespace

// Whichever call made it, a thread's handle waits together with events, is signalled once the
// thread has ended, and may be closed while the thread runs on. A thread without synchronous
// I/O has none to cancel.
TEST(threads, a_thread_handle_is_signalled_when_the_thread_ends) {
    for (const bool through_crt : {true, false}) {
        SCOPED_TRACE(through_crt ? "_beginthreadex" : "CreateThread");
        gate g;
        HANDLE thread = start_thread(through_crt, &g);
        ASSERT_NE(nullptr, thread);
        conformance::scoped_events events(1, true);
        HANDLE set[2] = {events[0], thread};
        EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, set, FALSE, 20));
        ASSERT_TRUE(
            tovi_test::wait_until([&] { return g.thread_id != 0; }, std::chrono::seconds(30)));
        EXPECT_NE(GetCurrentThreadId(), g.thread_id.load());
        EXPECT_FAILS_WITH(ERROR_NOT_FOUND, FALSE, CancelSynchronousIo(thread));
        SetEvent(g.release);
        EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, set, FALSE, 30000));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));
        CloseHandle(thread);
    }
    gate g;
    CloseHandle(start_thread(true, &g));
    SetEvent(g.release);  // the thread still runs and ends on its own
    EXPECT_TRUE(tovi_test::wait_until([&] { return g.passed.load(); }, std::chrono::seconds(30)));
}
