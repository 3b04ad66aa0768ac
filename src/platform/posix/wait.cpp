// The one wait of the POSIX layer: every WaitFor* call, and the sleep of a thread that
// finishes its own sockets' I/O while it waits.
#include <errno.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>

#include "platform/posix/waitable.h"

namespace tovi_posix {

static_assert(POLLIN == EPOLLIN && POLLRDHUP == EPOLLRDHUP && POLLHUP == EPOLLHUP &&
                  POLLERR == EPOLLERR,
              "a waiting thread hands poll's bits on as epoll's");

// A thread that waits. It sleeps on its condition variable, or, while it polls sockets, in
// poll() with its eventfd among them.
//
// The sockets it polled stay taken over from the reactor after the wait returns, until a later
// wait of the thread leaves them out (for more than a moment) or the thread ends: a thread that
// waits in a loop (an event loop) keeps them without telling the reactor twice per pass.
// Meanwhile their data waits in the socket for the next wait, as it would if the reactor were
// busy; a look at a pending operation (GetOverlappedResult, a zero wait) also finishes it.
struct waiter {
    ~waiter() {
        take_over({});
        if (wake_fd >= 0) {
            close(wake_fd);
        }
    }
    // Created on first use; -1 when it could not be, and the thread then never polls.
    int poll_wake_fd() {
        if (wake_fd == -2) {
            wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        }
        return wake_fd;
    }

    // Makes the sources the ones this thread watches instead of the reactor. Called without
    // wait_lock().
    void take_over(const std::vector<reactor_source*>& sources) {
        if (sources == taken) {
            return;  // a loop waiting on the same sockets again
        }
        for (size_t i = 0; i < taken.size();) {
            if (std::find(sources.begin(), sources.end(), taken[i]) == sources.end()) {
                taken[i]->set_polled(false);
                taken[i]->release();
                taken[i] = taken.back();
                taken.pop_back();
            } else {
                ++i;
            }
        }
        for (reactor_source* source : sources) {
            if (std::find(taken.begin(), taken.end(), source) == taken.end()) {
                source->add_ref();
                source->set_polled(true);
                taken.push_back(source);
            }
        }
        taken = sources;  // the same set, in the order the next wait will collect it
    }

    std::condition_variable wake;
    bool woken = false;
    bool polling = false;
    int wake_fd = -2;
    std::vector<reactor_source*> taken;  // referenced
};

std::mutex& wait_lock() {
    static std::mutex* lock = new std::mutex;  // never destroyed: threads may wait during exit
    return *lock;
}

namespace {
thread_local waiter this_thread_waiter;
}  // namespace

void waitable::wake_waiters() {
    for (waiter* w : waiters_) {
        if (w->woken) {
            continue;  // told already, and not yet looked again
        }
        w->woken = true;
        if (!w->polling) {
            w->wake.notify_one();
        } else if (w != &this_thread_waiter) {
            const uint64_t one = 1;
            (void)!write(w->wake_fd, &one, sizeof(one));
        }
    }
}

namespace {

// How long a thread keeps the sockets it has taken over while it waits on other objects.
constexpr std::chrono::milliseconds keep_taken_sockets{1};

// Returns the lowest signalled index, or count. REQUIRES: wait_lock() held.
DWORD first_signalled(DWORD count, waitable* const* objects) {
    for (DWORD i = 0; i < count; ++i) {
        if (objects[i]->is_signalled()) {
            return i;
        }
    }
    return count;
}

// The sockets behind the objects of one wait, and references to their sources for as long as
// the waiter may call them.
class poll_set {
  public:
    ~poll_set() { clear(); }

    // Collects the sockets of the objects. REQUIRES: wait_lock() held.
    void collect(DWORD count, waitable* const* objects) {
        for (DWORD i = 0; i < count; ++i) {
            int fd = -1;
            reactor_source* source = objects[i]->progress_source(&fd);
            if (source == nullptr || fd < 0 ||
                std::find(sources_.begin(), sources_.end(), source) != sources_.end()) {
                continue;
            }
            source->add_ref();
            sources_.push_back(source);
            fds_.push_back(pollfd{fd, POLLIN | POLLRDHUP, 0});
        }
    }
    bool empty() const { return sources_.empty(); }
    const std::vector<reactor_source*>& sources() const { return sources_; }

    // Sleeps until a socket is ready, the waiter is woken through its eventfd, or the time-out
    // passes, then finishes the I/O of the ready sockets. Called without wait_lock().
    void poll_and_progress(int wake_fd, int timeout_ms) {
        fds_[0] = pollfd{wake_fd, POLLIN, 0};
        const int n = poll(fds_.data(), fds_.size(), timeout_ms);
        if (n <= 0) {
            return;
        }
        if (fds_[0].revents != 0) {
            uint64_t count;
            (void)!read(fds_[0].fd, &count, sizeof(count));
        }
        for (size_t i = 1; i < fds_.size(); ++i) {
            if (fds_[i].revents != 0) {
                // poll's bits are epoll's: a hang-up reported here is not reported again.
                sources_[i - 1]->on_ready(EPOLLIN | static_cast<uint16_t>(fds_[i].revents));
            }
        }
    }

    // Finishes whatever I/O of the sources can finish now, without sleeping. Called without
    // wait_lock().
    void progress_now() {
        for (reactor_source* source : sources_) {
            source->on_ready(EPOLLIN);
        }
    }

    // Drops the references. Called without wait_lock(): a source may go with its last one.
    void clear() {
        for (reactor_source* source : sources_) {
            source->release();
        }
        sources_.clear();
        fds_.resize(1);
    }

  private:
    std::vector<reactor_source*> sources_;
    std::vector<pollfd> fds_{1};  // the waiter's eventfd first, then one per source
};

// Reused by every wait of the thread, so that a wait allocates nothing once warm. Empty
// between waits.
thread_local poll_set this_thread_sockets;

// True when some object names a socket. REQUIRES: wait_lock() held.
bool has_sockets(DWORD count, waitable* const* objects) {
    int fd = -1;
    for (DWORD i = 0; i < count; ++i) {
        if (objects[i]->progress_source(&fd) != nullptr) {
            return true;
        }
    }
    return false;
}

int poll_timeout(DWORD milliseconds, std::chrono::steady_clock::time_point deadline) {
    if (milliseconds == INFINITE) {
        return -1;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now() + std::chrono::microseconds(999));
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

using clock = std::chrono::steady_clock;

// One sleep of a thread whose objects name sockets: in poll() on them and its eventfd, finishing
// the I/O of the sockets that become ready. True once the time-out has passed. REQUIRES: lock
// held; released meanwhile.
bool sleep_in_poll(waiter& self, poll_set& sockets, std::unique_lock<std::mutex>& lock,
                   DWORD milliseconds, clock::time_point deadline) {
    self.polling = true;
    lock.unlock();
    self.take_over(sockets.sources());
    sockets.poll_and_progress(self.wake_fd, poll_timeout(milliseconds, deadline));
    sockets.clear();
    const bool timed_out = milliseconds != INFINITE && clock::now() >= deadline;
    lock.lock();
    self.polling = false;
    return timed_out;
}

// One sleep on the thread's condition variable, until it is woken or the time-out passes. A
// thread that parks only for a moment between two waits on its sockets (an overflow waiter
// while the loop dispatches) keeps them; a longer wait hands them back to the reactor. True
// once the time-out has passed. REQUIRES: lock held.
bool sleep_on_condition(waiter& self, std::unique_lock<std::mutex>& lock, DWORD milliseconds,
                        clock::time_point deadline) {
    if (!self.taken.empty()) {
        const auto keep_until = std::min(deadline, clock::now() + keep_taken_sockets);
        if (self.wake.wait_until(lock, keep_until, [&] { return self.woken; })) {
            return false;
        }
        lock.unlock();  // a wake meanwhile sets woken, which the wait below sees
        self.take_over({});
        lock.lock();
    }
    if (milliseconds == INFINITE) {
        self.wake.wait(lock, [&] { return self.woken; });
        return false;
    }
    return !self.wake.wait_until(lock, deadline, [&] { return self.woken; });
}

}  // namespace

DWORD wait_for_objects(DWORD count, waitable* const* objects, DWORD milliseconds) {
    const auto deadline = clock::now() + std::chrono::milliseconds(milliseconds);
    waiter& self = this_thread_waiter;

    std::unique_lock<std::mutex> lock(wait_lock());
    DWORD index = first_signalled(count, objects);
    if (index == count && milliseconds == 0 && has_sockets(count, objects)) {
        // A look without a wait still finishes I/O that a waiting thread has taken over.
        lock.unlock();
        finish_ready_io(count, objects);
        lock.lock();
        index = first_signalled(count, objects);
    }
    if (index == count && milliseconds != 0) {
        for (DWORD i = 0; i < count; ++i) {
            objects[i]->waiters_.push_back(&self);
        }
        poll_set& sockets = this_thread_sockets;
        for (;;) {
            self.woken = false;
            if (self.poll_wake_fd() >= 0) {
                sockets.collect(count, objects);
            }
            const bool timed_out = sockets.empty()
                                       ? sleep_on_condition(self, lock, milliseconds, deadline)
                                       : sleep_in_poll(self, sockets, lock, milliseconds, deadline);
            index = first_signalled(count, objects);
            if (index != count || timed_out) {
                break;
            }
        }
        for (DWORD i = 0; i < count; ++i) {
            auto& list = objects[i]->waiters_;
            auto found = std::find(list.begin(), list.end(), &self);
            if (found != list.end()) {
                list.erase(found);
            }
        }
    }
    if (index == count) {
        return WAIT_TIMEOUT;
    }
    objects[index]->on_acquired();
    return WAIT_OBJECT_0 + index;
}

void finish_ready_io(DWORD count, waitable* const* objects) {
    poll_set sockets;
    {
        std::lock_guard<std::mutex> lock(wait_lock());
        sockets.collect(count, objects);
    }
    sockets.progress_now();
}

}  // namespace tovi_posix

using namespace tovi_posix;

namespace {

// References to the objects of one wait, held for its whole length.
class wait_set {
  public:
    ~wait_set() {
        for (waitable* w : objects_) {
            w->release();
        }
    }
    bool add(HANDLE handle) {
        kernel_object* object = object_of(handle);
        waitable* w = object != nullptr ? object->as_waitable() : nullptr;
        if (w == nullptr) {
            SetLastError(object != nullptr ? ERROR_NOT_SUPPORTED : ERROR_INVALID_HANDLE);
            return false;
        }
        w->add_ref();
        objects_.push_back(w);
        return true;
    }
    DWORD size() const { return static_cast<DWORD>(objects_.size()); }
    waitable* const* data() const { return objects_.data(); }

  private:
    std::vector<waitable*> objects_;
};

}  // namespace

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    kernel_object* object = object_of(handle);
    if (object == nullptr) {
        return WAIT_FAILED;
    }
    if (object->as_waitable() == nullptr) {
        return object->wait_for_ownership(milliseconds);
    }
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                             DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    if (wait_all) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return WAIT_FAILED;
    }
    wait_set set;
    for (DWORD i = 0; i < count; ++i) {
        if (!set.add(handles[i])) {
            return WAIT_FAILED;
        }
    }
    return wait_for_objects(set.size(), set.data(), milliseconds);
}

void Sleep(DWORD milliseconds) {
    timespec pause{static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0) {
    }
}
