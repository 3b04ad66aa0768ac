// The pull queue: bounded, with a ready signal that matches its contents.
#include "events_api/event_queue.h"

#include <chrono>

namespace tovi_events {

bool event_queue::has_room(size_t bytes) const {
    return events_.empty() || (events_.size() < max_events && bytes_ + bytes <= max_bytes) ||
           unbounded_ > 0;
}

void event_queue::push(queued_event&& event) {
    const size_t bytes = event.data.size();
    std::unique_lock<std::mutex> hold(lock_);
    room_.wait(hold, [&] { return has_room(bytes); });
    bytes_ += bytes;
    events_.push_back(std::move(event));
    if (events_.size() == 1) {
        signal_.set();
        arrived_.notify_one();
    }
}

const queued_event* event_queue::pop(int32_t timeout_ms) {
    std::unique_lock<std::mutex> hold(lock_);
    const auto waiting = [this] { return !events_.empty(); };
    if (timeout_ms < 0) {
        arrived_.wait(hold, waiting);
    } else if (!arrived_.wait_for(hold, std::chrono::milliseconds(timeout_ms), waiting)) {
        return nullptr;
    }
    current_ = std::move(events_.front());
    events_.pop_front();
    bytes_ -= current_.data.size();
    if (events_.empty()) {
        signal_.clear();
    }
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
