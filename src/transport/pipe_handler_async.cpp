// The event loop of an endpoint: one thread on a completion port that finishes every pipe
// operation, runs posted work and timers, and keeps each pipe's owner alive while attached.
#include "transport/pipe_handler_async.h"

#include <future>

#include "log/log.h"
#include "platform/scoped_critical_section.h"

namespace tovi {

namespace {
constexpr ULONG packets_per_pass = 64;
}  // namespace

pipe_handler_async::pipe_handler_async()
    : thread_base(thread_role::event_loop),
      port_(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1)) {
    InitializeCriticalSection(&loop_lock_);
    if (port_ == nullptr) {
        log_error(L"win::pipe_handler_async::pipe_handler_async CreateIoCompletionPort error %d",
                  static_cast<int>(GetLastError()));
    }
}

pipe_handler_async::~pipe_handler_async() {
    stop_thread();
    attached_.clear();
    released_.clear();
    if (port_ != nullptr) {
        CloseHandle(port_);
    }
    DeleteCriticalSection(&loop_lock_);
}

bool pipe_handler_async::ensure_running() {
    if (port_ == nullptr) {
        return false;
    }
    if (stopping_ || is_current_thread() || is_running()) {
        return true;
    }
    return start_thread();
}

void pipe_handler_async::wake() {
    if (!wake_posted_ && !is_current_thread()) {
        wake_posted_ = true;
        PostQueuedCompletionStatus(port_, 0, 0, nullptr);
    }
}

bool pipe_handler_async::attach(HANDLE pipe, std::shared_ptr<pipe_handler_listener> owner,
                                bool associated) {
    if (pipe == nullptr || pipe == INVALID_HANDLE_VALUE || owner == nullptr || port_ == nullptr) {
        return false;
    }
    if (!associated) {
        if (CreateIoCompletionPort(pipe, port_, 0, 0) == nullptr) {
            log_error(L"win::pipe_handler_async::attach CreateIoCompletionPort error %d",
                      static_cast<int>(GetLastError()));
            return false;
        }
        SetFileCompletionNotificationModes(pipe, FILE_SKIP_COMPLETION_PORT_ON_SUCCESS);
    }
    scoped_critical_section hold(loop_lock_);
    if (stopping_ || !ensure_running()) {
        return false;
    }
    std::shared_ptr<pipe_handler_listener>& entry = attached_[pipe];
    if (entry != nullptr) {
        released_.push_back(std::move(entry));  // the owner before may be in its dispatch
    }
    entry = std::move(owner);
    return true;
}

void pipe_handler_async::detach(HANDLE pipe) {
    scoped_critical_section hold(loop_lock_);
    auto found = attached_.find(pipe);
    if (found != attached_.end()) {
        released_.push_back(std::move(found->second));
        attached_.erase(found);
    }
    if (attached_.empty() && stopping_) {
        wake();
    }
}

size_t pipe_handler_async::attached_count() {
    scoped_critical_section hold(loop_lock_);
    return attached_.size();
}

bool pipe_handler_async::post(task work) {
    scoped_critical_section hold(loop_lock_);
    if (!ensure_running()) {
        return false;
    }
    tasks_.push_back(std::move(work));
    wake();
    return true;
}

bool pipe_handler_async::post_after(uint32_t delay_ms, task work) {
    scoped_critical_section hold(loop_lock_);
    if (!ensure_running()) {
        return false;
    }
    timers_.emplace(clock::now() + std::chrono::milliseconds(delay_ms), std::move(work));
    wake();  // the loop waits for its next timer: this one may come sooner
    return true;
}

bool pipe_handler_async::call(const task& work) {
    std::promise<void> done;
    if (!post([&work, &done] {
            work();
            done.set_value();
        })) {
        return false;
    }
    done.get_future().wait();
    return true;
}

void pipe_handler_async::stop_thread() {
    if (is_current_thread()) {
        log_error(L"win::pipe_handler_async::stop_thread refused on the loop thread");
        return;
    }
    {
        scoped_critical_section hold(loop_lock_);
        if (port_ != nullptr && is_running()) {
            stopping_ = true;
            tasks_.push_back([this] {
                std::vector<std::shared_ptr<pipe_handler_listener>> owners;
                {
                    scoped_critical_section hold(loop_lock_);
                    for (const auto& entry : attached_) {
                        owners.push_back(entry.second);
                    }
                }
                for (const auto& owner : owners) {
                    owner->on_loop_stopping();
                }
            });
            wake();
        }
    }
    thread_base::stop_thread();  // returns once every pipe has been finished and detached
    scoped_critical_section hold(loop_lock_);
    stopping_ = false;
    tasks_.clear();
    timers_.clear();
    released_.clear();
}

DWORD pipe_handler_async::run_tasks() {
    std::vector<task> ready;
    {
        scoped_critical_section hold(loop_lock_);
        ready.swap(tasks_);
        const auto now = clock::now();
        while (!timers_.empty() && timers_.begin()->first <= now) {
            ready.push_back(std::move(timers_.begin()->second));
            timers_.erase(timers_.begin());
        }
    }
    for (const task& work : ready) {
        work();
    }
    ready.clear();
    std::vector<std::shared_ptr<pipe_handler_listener>> released;
    scoped_critical_section hold(loop_lock_);
    released.swap(released_);  // let go of below, outside every dispatch and without the lock
    if (!tasks_.empty()) {
        return 0;
    }
    if (timers_.empty()) {
        return INFINITE;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(timers_.begin()->first - clock::now());
    return static_cast<DWORD>(left.count() > 0 ? left.count() : 0);
}

void pipe_handler_async::on_thread_run() {
    OVERLAPPED_ENTRY packets[packets_per_pass];
    DWORD timeout = run_tasks();
    for (;;) {
        ULONG count = 0;
        if (!GetQueuedCompletionStatusEx(port_, packets, packets_per_pass, &count, timeout,
                                         FALSE)) {
            const DWORD error = GetLastError();
            if (error != WAIT_TIMEOUT) {
                log_error(
                    L"win::pipe_handler_async::on_thread_run GetQueuedCompletionStatusEx "
                    L"error %d",
                    static_cast<int>(error));
                break;
            }
            count = 0;
        }
        for (ULONG i = 0; i < count; ++i) {
            if (packets[i].lpOverlapped == nullptr) {
                scoped_critical_section hold(loop_lock_);
                wake_posted_ = false;
                continue;
            }
            io_record* record = io_record::of(packets[i].lpOverlapped);
            if (record->listener != nullptr) {
                record->listener->on_handle_event(record->key());
            }
        }
        timeout = run_tasks();
        scoped_critical_section hold(loop_lock_);
        if (stopping_ && attached_.empty() && tasks_.empty()) {
            log_info(L"win::pipe_handler_async::on_thread_run get exit signal");
            break;
        }
    }
    log_warning(L"win::pipe_handler_async::on_thread_run end thread");
}

}  // namespace tovi
