// Starting and stopping a transport object's one worker thread, and its exit signal.
#include "transport/thread_base.h"

#include "log/log.h"

namespace tovi {

bool thread_base::start_thread() {
    if (thread_ != nullptr || exit_event_ != nullptr) {
        stop_thread();
    }
    exit_event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (exit_event_ == nullptr) {
        const DWORD error = GetLastError();
        log_error(L"win::thread_base::start_thread CreateEventW error %d", error);
        return false;
    }
    thread_ = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, &thread_base::thread_main, this, 0, nullptr));
    if (thread_ == nullptr) {
        const DWORD error = GetLastError();
        CloseHandle(exit_event_);
        exit_event_ = nullptr;
        log_error(L"win::thread_base::start_thread _beginthreadex error %d", error);
        return false;
    }
    return true;
}

void thread_base::stop_thread() {
    if (exit_event_ != nullptr) {
        SetEvent(exit_event_);
    }
    if (thread_ != nullptr) {
        // A thread blocked in synchronous I/O would never see the exit event.
        CancelSynchronousIo(thread_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    if (exit_event_ != nullptr) {
        CloseHandle(exit_event_);
        exit_event_ = nullptr;
    }
}

bool thread_base::is_running() const {
    if (thread_ == nullptr || exit_event_ == nullptr) {
        return false;
    }
    const HANDLE handles[2] = {thread_, exit_event_};
    return WaitForMultipleObjects(2, handles, FALSE, 0) == WAIT_TIMEOUT;
}

bool thread_base::wait_exit_signal(uint32_t timeout_ms) const {
    if (exit_event_ == nullptr) {
        return false;
    }
    return WaitForSingleObject(exit_event_, timeout_ms) == WAIT_OBJECT_0;
}

unsigned __stdcall thread_base::thread_main(void* self) {
    auto* base = static_cast<thread_base*>(self);
    set_thread_role(base->role_);
    base->thread_id_.store(GetCurrentThreadId(), std::memory_order_release);
    base->on_thread_run();
    base->thread_id_.store(0, std::memory_order_release);
    return 0;
}

}  // namespace tovi
