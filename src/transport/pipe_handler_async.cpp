// The event loop of an endpoint: one thread on a completion port that finishes every pipe
// operation, runs posted work and timers, and keeps each pipe's owner alive while attached.
#include "transport/pipe_handler_async.h"

#include <future>

#include "log/log.h"
#include "platform/io_threads.h"
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
    if (!start_thread()) {
        return false;
    }
    turn_.open();  // under the loop lock, like stop_thread's close: a stop is never undone
    return true;
}

void pipe_handler_async::wake() {
    if (is_current_thread()) {
        return;
    }
    turn_.reclaim();  // a thread parked while no guest is in takes the work at once
    post_wake_packet();
}

void pipe_handler_async::post_wake_packet() {
    if (!wake_posted_) {
        wake_posted_ = true;
        PostQueuedCompletionStatus(port_, 0, 0, nullptr);
    }
}

void pipe_handler_async::wake_guest() {
    scoped_critical_section hold(loop_lock_);
    if (port_ != nullptr && !is_current_thread()) {
        post_wake_packet();
    }
}

bool pipe_handler_async::run_as_guest(loop_turn::clock::time_point deadline,
                                      const std::function<bool()>& done,
                                      std::chrono::microseconds poll_first) {
    if (!tovi_platform::any_thread_may_issue_io || is_library_thread()) {
        return false;
    }
    {
        scoped_critical_section hold(loop_lock_);
        if (port_ == nullptr || stopping_) {
            return false;
        }
    }
    // The turn is closed while the loop thread does not run: take refuses then.
    if (!turn_.take(deadline, [this] { wake_guest(); })) {
        return false;
    }
    guest_id_.store(GetCurrentThreadId(), std::memory_order_release);
    {
        const scoped_thread_role as_loop(thread_role::event_loop);
        DWORD timeout = run_tasks();
        const auto poll_until = loop_turn::clock::now() + poll_first;
        while (!done() && !turn_.closed()) {
            const auto now = loop_turn::clock::now();
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
            if (left.count() <= 0) {
                break;
            }
            if (deadline != loop_turn::clock::time_point::max() &&
                (timeout == INFINITE || left.count() < static_cast<long long>(timeout))) {
                timeout = static_cast<DWORD>(left.count());
            }
            if (!wait_and_dispatch(now < poll_until ? 0 : timeout)) {
                break;
            }
            timeout = run_tasks();
        }
    }
    guest_id_.store(0, std::memory_order_release);
    turn_.leave();
    return true;
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
            turn_.close();  // a guest leaves after its pass; the loop thread finishes
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

bool pipe_handler_async::wait_and_dispatch(DWORD timeout) {
    OVERLAPPED_ENTRY packets[packets_per_pass];
    ULONG count = 0;
    if (!GetQueuedCompletionStatusEx(port_, packets, packets_per_pass, &count, timeout, FALSE)) {
        const DWORD error = GetLastError();
        if (error != WAIT_TIMEOUT) {
            log_error(
                L"win::pipe_handler_async::on_thread_run GetQueuedCompletionStatusEx error %d",
                static_cast<int>(error));
            return false;
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
    return true;
}

void pipe_handler_async::on_thread_run() {
    DWORD timeout = run_tasks();
    for (;;) {
        // A guest may have run the loop while this thread was parked: its timers and tasks
        // have moved on.
        if (turn_.lend_if_asked()) {
            timeout = run_tasks();
        } else if (!wait_and_dispatch(timeout)) {
            break;
        } else {
            timeout = run_tasks();
        }
        scoped_critical_section hold(loop_lock_);
        if (stopping_ && attached_.empty() && tasks_.empty()) {
            log_info(L"win::pipe_handler_async::on_thread_run get exit signal");
            break;
        }
    }
    turn_.close();
    log_warning(L"win::pipe_handler_async::on_thread_run end thread");
}

}  // namespace tovi
