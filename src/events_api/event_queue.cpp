// The pull queue: bounded, with a ready signal that matches its contents.
#include "events_api/event_queue.h"

#include <chrono>

namespace tovi_events {

bool event_queue::has_room(size_t bytes) const {
    return events_.empty() || (events_.size() < max_events && bytes_ + bytes <= max_bytes) ||
           unbounded_ > 0;
}

void event_queue::push(queued_event&& event, bool may_wait) {
    const size_t bytes = event.data.size();
    std::unique_lock<std::mutex> hold(lock_);
    if (may_wait) {
        room_.wait(hold, [&] { return has_room(bytes); });
    }
    bytes_ += bytes;
    events_.push_back(std::move(event));
    if (events_.size() == 1) {
        signal_.set();
    }
}

const queued_event* event_queue::pop(int32_t timeout_ms) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (!events_.empty()) {
                current_ = std::move(events_.front());
                events_.pop_front();
                bytes_ -= current_.data.size();
                room_.notify_all();
                return &current_;
            }
            // Cleared by the call that finds nothing, not by the one that takes the last event:
            // a host that takes events until none is left still never wakes for nothing, and a
            // stream of events that the host keeps up with costs no system call each.
            signal_.clear();
        }
        int32_t wait_ms = -1;
        if (timeout_ms >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
            if (left.count() <= 0 && timeout_ms > 0) {
                return nullptr;
            }
            wait_ms = static_cast<int32_t>(left.count() > 0 ? left.count() : 0);
        }
        if (!signal_.wait(wait_ms) && timeout_ms >= 0) {
            return nullptr;
        }
    }
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
