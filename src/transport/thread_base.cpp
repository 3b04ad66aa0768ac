// Starting and stopping a transport object's one worker thread, and its exit signal.
#include "transport/thread_base.h"

#include <system_error>

#include "log/log.h"

namespace tovi {

bool thread_base::start_thread() {
    if (thread_.joinable() || exit_event_ != nullptr) {
        stop_thread();
    }
    exit_event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (exit_event_ == nullptr) {
        const DWORD error = GetLastError();
        log_error(L"win::thread_base::start_thread CreateEventW error %d", error);
        return false;
    }
    body_running_ = true;
    try {
        thread_ = std::thread(&thread_base::thread_main, this);
    } catch (const std::system_error& error) {
        body_running_ = false;
        CloseHandle(exit_event_);
        exit_event_ = nullptr;
        log_error(L"win::thread_base::start_thread _beginthreadex error %d", error.code().value());
        return false;
    }
    return true;
}

void thread_base::stop_thread() {
    if (exit_event_ != nullptr) {
        SetEvent(exit_event_);
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    if (exit_event_ != nullptr) {
        CloseHandle(exit_event_);
        exit_event_ = nullptr;
    }
}

bool thread_base::is_running() const {
    return body_running_.load(std::memory_order_acquire) && exit_event_ != nullptr &&
           WaitForSingleObject(exit_event_, 0) == WAIT_TIMEOUT;
}

bool thread_base::wait_exit_signal(uint32_t timeout_ms) const {
    if (exit_event_ == nullptr) {
        return false;
    }
    return WaitForSingleObject(exit_event_, timeout_ms) == WAIT_OBJECT_0;
}

void thread_base::thread_main() {
    set_thread_role(role_);
    thread_id_.store(GetCurrentThreadId(), std::memory_order_release);
    on_thread_run();
    thread_id_.store(0, std::memory_order_release);
    body_running_.store(false, std::memory_order_release);
}

}  // namespace tovi
