#include "transport/pipe_handler_async.h"

#include <algorithm>
#include <mutex>
#include <thread>
#include "platform/scoped_critical_section.h"

#include "log/log.h"

namespace win {

// Waits on up to 63 registered events for the loop. When one is signalled it reports to the
// loop (sets the loop's overflow event) and then waits only for its control event, until the
// loop, having dispatched, arms it again with its current events.
class pipe_handler_async::overflow_waiter {
  public:
    explicit overflow_waiter(HANDLE report_event)
        : control_(CreateEventW(nullptr, FALSE, FALSE, nullptr)), report_(report_event) {
        if (control_ != nullptr) {
            thread_ = std::thread([this] { run(); });
        }
    }

    ~overflow_waiter() {
        {
            std::lock_guard<std::mutex> lock(lock_);
            stop_ = true;
        }
        if (control_ != nullptr) {
            SetEvent(control_);
        }
        if (thread_.joinable()) {
            thread_.join();
        }
        if (control_ != nullptr) {
            CloseHandle(control_);
        }
    }

    bool started() const { return thread_.joinable(); }

    // Hands the waiter the loop's current list of its events and wakes it.
    void arm() {
        {
            std::lock_guard<std::mutex> lock(lock_);
            armed_ = events;
            reported_ = false;
        }
        SetEvent(control_);
    }

    // True after the waiter saw one of its events signalled, until it is armed again.
    bool has_reported() {
        std::lock_guard<std::mutex> lock(lock_);
        return reported_;
    }

    std::vector<HANDLE> events;  // the loop's list; guarded by the loop lock

  private:
    void run() {
        std::vector<HANDLE> set;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(lock_);
                if (stop_) {
                    return;
                }
                set.assign(1, control_);
                if (!reported_ && !failed_) {
                    set.insert(set.end(), armed_.begin(), armed_.end());
                }
                failed_ = false;
            }
            const DWORD r =
                WaitForMultipleObjects(static_cast<DWORD>(set.size()), set.data(), FALSE, INFINITE);
            if (r == WAIT_OBJECT_0) {
                continue;
            }
            std::lock_guard<std::mutex> lock(lock_);
            if (r > WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + set.size()) {
                reported_ = true;
                SetEvent(report_);
            } else {
                failed_ = true;  // a bad handle: wait for the next change of the list
            }
        }
    }

    HANDLE control_;
    HANDLE report_;
    std::mutex lock_;  // a leaf
    std::vector<HANDLE> armed_;
    bool reported_ = false;
    bool failed_ = false;
    bool stop_ = false;
    std::thread thread_;
};

pipe_handler_async::pipe_handler_async()
    : wake_event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      overflow_event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    InitializeCriticalSection(&loop_lock_);
}

pipe_handler_async::~pipe_handler_async() {
    stop_thread();
    waiters_.clear();
    CloseHandle(wake_event_);
    CloseHandle(overflow_event_);
    DeleteCriticalSection(&loop_lock_);
}

bool pipe_handler_async::add_handle(HANDLE event, pipe_handler_listener* listener, HANDLE key) {
    if (event == nullptr || listener == nullptr) {
        return false;
    }
    scoped_critical_section hold(loop_lock_);
    if (!stopping_ && !is_current_thread() && !is_running() && !start_thread()) {
        return false;
    }
    auto found = registrations_.find(event);
    if (found != registrations_.end()) {
        found->second.listener = listener;
        found->second.key = key;
    } else {
        listener_entry entry{listener, key, -1};
        if (!place(event, &entry)) {
            return false;
        }
        registrations_.emplace(event, entry);
    }
    wake_loop();
    return true;
}

void pipe_handler_async::remove_handle(HANDLE event) {
    if (event == nullptr) {
        return;
    }
    scoped_critical_section hold(loop_lock_);
    auto found = registrations_.find(event);
    if (found != registrations_.end()) {
        unplace(event, found->second);
        registrations_.erase(found);
    }
    wake_loop();
}

void pipe_handler_async::stop_thread() {
    {
        scoped_critical_section hold(loop_lock_);
        stopping_ = true;
    }
    thread_base::stop_thread();  // without the lock: a dispatch in progress may need it
    scoped_critical_section hold(loop_lock_);
    stopping_ = false;
}

void pipe_handler_async::wake_loop() {
    // On the loop thread itself the set is rebuilt after the current dispatch anyway.
    if (!is_current_thread()) {
        SetEvent(wake_event_);
    }
}

void pipe_handler_async::wait_for_dispatch() {
    scoped_critical_section hold(loop_lock_);  // taken once: no dispatch runs meanwhile
}

size_t pipe_handler_async::registration_count() {
    scoped_critical_section hold(loop_lock_);
    return registrations_.size();
}

bool pipe_handler_async::place(HANDLE event, listener_entry* entry) {
    if (loop_waited_ < loop_capacity) {
        entry->waiter = -1;
        ++loop_waited_;
        return true;
    }
    size_t index = 0;
    while (index < waiters_.size() && waiters_[index]->events.size() >= waiter_capacity) {
        ++index;
    }
    if (index == waiters_.size()) {
        auto waiter = std::make_unique<overflow_waiter>(overflow_event_);
        if (!waiter->started()) {
            return false;
        }
        waiters_.push_back(std::move(waiter));
    }
    entry->waiter = static_cast<int>(index);
    waiters_[index]->events.push_back(event);
    waiters_[index]->arm();
    return true;
}

void pipe_handler_async::unplace(HANDLE event, const listener_entry& entry) {
    if (entry.waiter < 0) {
        --loop_waited_;
        return;
    }
    overflow_waiter& waiter = *waiters_[static_cast<size_t>(entry.waiter)];
    waiter.events.erase(std::find(waiter.events.begin(), waiter.events.end(), event));
    waiter.arm();
}

void pipe_handler_async::dispatch(HANDLE event) {
    auto found = registrations_.find(event);
    if (found == registrations_.end()) {
        log_warning(L"win::pipe_handler_async::on_thread_run can not find the handle");
        return;
    }
    const listener_entry entry = found->second;
    unplace(event, entry);
    registrations_.erase(found);
    if (entry.listener != nullptr) {
        entry.listener->on_handle_event(entry.key);
    }
}

void pipe_handler_async::dispatch_overflow() {
    // By index: a dispatch may add waiters, which moves the vector.
    for (size_t index = 0; index < waiters_.size(); ++index) {
        if (!waiters_[index]->has_reported()) {
            continue;
        }
        const std::vector<HANDLE> events = waiters_[index]->events;
        const DWORD r = events.empty() ? WAIT_TIMEOUT
                                       : WaitForMultipleObjects(static_cast<DWORD>(events.size()),
                                                                events.data(), FALSE, 0);
        if (r < WAIT_OBJECT_0 + events.size()) {
            dispatch(events[r - WAIT_OBJECT_0]);
        }
        waiters_[index]->arm();
    }
}

void pipe_handler_async::on_thread_run() {
    std::vector<HANDLE> handles;
    for (;;) {
        handles.clear();
        handles.push_back(exit_event());
        handles.push_back(wake_event_);
        handles.push_back(overflow_event_);
        {
            scoped_critical_section hold(loop_lock_);
            for (const auto& registration : registrations_) {
                if (registration.second.waiter < 0) {
                    handles.push_back(registration.first);
                }
            }
        }

        const DWORD count = static_cast<DWORD>(handles.size());
        const DWORD r = WaitForMultipleObjects(count, handles.data(), FALSE, INFINITE);
        if (r == WAIT_OBJECT_0) {
            log_info(L"win::pipe_handler_async::on_thread_run get exit signal");
            break;
        }
        if (r == WAIT_OBJECT_0 + 1) {
            continue;  // the registrations changed: rebuild
        }
        if (r >= WAIT_OBJECT_0 + count) {
            log_error(
                L"win::pipe_handler_async::on_thread_run handles size is %d, but "
                L"waitObj=%lu, index=%lu",
                static_cast<int>(count), r, r);
            break;
        }
        {
            scoped_critical_section hold(loop_lock_);
            if (r == WAIT_OBJECT_0 + 2) {
                dispatch_overflow();
            } else {
                dispatch(handles[r - WAIT_OBJECT_0]);
            }
        }
    }
    log_warning(L"win::pipe_handler_async::on_thread_run end thread");
}

}  // namespace win
