// The pull queue: bounded, with a ready signal that matches its contents.
#include "events_api/event_queue.h"

#include <chrono>

#include "platform/spin_wait.h"

namespace tovi_events {

namespace {
constexpr int spin_steps_per_clock_read = 64;
}

event_queue::event_queue() : may_spin_(tovi_platform::other_cores_may_run()) {}

void event_queue::set_loop(loop_runner run, std::function<void()> wake) {
    run_loop_ = std::move(run);
    wake_loop_ = std::move(wake);
}

bool event_queue::has_room(size_t bytes) const {
    // While the popping thread runs the loop, no push waits: the guest would wait for its own
    // pop, and a server stopped meanwhile may be destroyed at the end of its run, which waits
    // for the task thread that pushes. The guest leaves after the pass that filled the queue,
    // so the bound is passed by at most what one pass brings.
    return events_.empty() || (events_.size() < max_events && bytes_ + bytes <= max_bytes) ||
           unbounded_ > 0 || guest_ != std::thread::id();
}

void event_queue::push(queued_event&& event, bool may_wait) {
    const size_t bytes = event.data.size();
    std::unique_lock<std::mutex> hold(lock_);
    if (may_wait) {
        room_.wait(hold, [&] { return has_room(bytes); });
    }
    bytes_ += bytes;
    events_.push_back(std::move(event));
    waiting_.store(events_.size(), std::memory_order_release);
    if (!may_wait) {
        unpublished_ = true;
        return;
    }
    const bool first = events_.size() == 1;
    const bool wake_guest =
        first && guest_ != std::thread::id() && guest_ != std::this_thread::get_id();
    if (first) {
        signal_.set();  // nothing when it is set already
    }
    hold.unlock();
    if (first) {
        // Outside the lock: a host woken on this core would otherwise only wait for it.
        arrived_.notify_one();
    }
    if (wake_guest) {
        wake_loop_();
    }
}

void event_queue::publish() {
    std::unique_lock<std::mutex> hold(lock_);
    const bool due = unpublished_ && !events_.empty();
    unpublished_ = false;
    if (due) {
        signal_.set();
    }
    hold.unlock();
    if (due) {
        arrived_.notify_one();
    }
}

void event_queue::spin_for_event(int32_t timeout_ms) const {
    // A timeout, when there is one, is a millisecond or more: longer than the spin.
    if (!may_spin_ || timeout_ms == 0 || waiting_.load(std::memory_order_acquire) > 0) {
        return;
    }
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::microseconds(spin_before_wait_us);
    do {
        for (int step = 0; step < spin_steps_per_clock_read; ++step) {
            if (waiting_.load(std::memory_order_acquire) > 0) {
                return;
            }
            tovi_platform::cpu_relax();
        }
    } while (std::chrono::steady_clock::now() < until);
}

bool event_queue::run_loop_for_event(int32_t* timeout_ms) {
    if (*timeout_ms == 0 || !run_loop_ || waiting_.load(std::memory_order_acquire) > 0) {
        return false;
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (guest_ != std::thread::id()) {
            return false;  // another popping thread runs it
        }
        guest_ = std::this_thread::get_id();
    }
    // From here a push by another thread sees guest_ and wakes the loop, and one before it is
    // seen by done().
    const auto deadline = *timeout_ms < 0 ? clock::time_point::max()
                                          : clock::now() + std::chrono::milliseconds(*timeout_ms);
    const bool ran = run_loop_(
        deadline, [this] { return waiting_.load(std::memory_order_acquire) > 0; },
        std::chrono::microseconds(may_spin_ ? spin_before_wait_us : 0));
    {
        std::lock_guard<std::mutex> hold(lock_);
        guest_ = std::thread::id();
    }
    if (*timeout_ms > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        *timeout_ms = static_cast<int32_t>(left.count() > 0 ? left.count() : 0);
    }
    return ran;
}

const queued_event* event_queue::pop(int32_t timeout_ms) {
    if (!run_loop_for_event(&timeout_ms)) {
        spin_for_event(timeout_ms);
    }
    std::unique_lock<std::mutex> hold(lock_);
    const auto waiting = [this] { return !events_.empty(); };
    // The signal is cleared by the call that returns nothing, not by the one that takes the
    // last event, nor while a call waits here: a host that takes events until none is left
    // never wakes for nothing, and a host that keeps up with a stream, or waits in this call,
    // costs no system call for the signal per event.
    if (timeout_ms < 0) {
        arrived_.wait(hold, waiting);
    } else if (!arrived_.wait_for(hold, std::chrono::milliseconds(timeout_ms), waiting)) {
        signal_.clear();
        return nullptr;
    }
    current_ = std::move(events_.front());
    events_.pop_front();
    waiting_.store(events_.size(), std::memory_order_release);
    bytes_ -= current_.data.size();
    hold.unlock();
    room_.notify_all();
    return &current_;
}

void event_queue::begin_unbounded() {
    std::lock_guard<std::mutex> hold(lock_);
    ++unbounded_;
    room_.notify_all();
}

void event_queue::end_unbounded() {
    std::lock_guard<std::mutex> hold(lock_);
    --unbounded_;
}

}  // namespace tovi_events
