// The counters of a link and the totals of an endpoint.
#include "transport/link_counters.h"

#include <algorithm>

namespace tovi {

link_counters::link_counters(endpoint_counters* endpoint) : endpoint_(endpoint) {
    if (endpoint_ != nullptr) {
        endpoint_->attach(this);
    }
}

link_counters::~link_counters() {
    if (endpoint_ != nullptr) {
        endpoint_->detach(this);
    }
}

link_figures link_counters::figures() const {
    link_figures out;
    int64_t heard = -1;
    add_to(out, heard);
    out.ms_since_heard = heard < 0 ? -1 : now_ms() - heard;
    return out;
}

void link_counters::add_to(link_figures& total, int64_t& last_heard_ms) const {
    const auto count = [this](field which) {
        return counts_[which].load(std::memory_order_relaxed);
    };
    total.messages_sent += count(messages_sent);
    total.bytes_sent += count(bytes_sent);
    total.messages_received += count(messages_received);
    total.bytes_received += count(bytes_received);
    total.refused_full += count(refused_full);
    total.refused_too_large += count(refused_too_large);
    total.heart_beats_sent += count(heart_beats_sent);
    total.heart_beats_received += count(heart_beats_received);
    total.queued_peak_bytes =
        std::max(total.queued_peak_bytes, peak_.load(std::memory_order_relaxed));
    last_heard_ms = std::max(last_heard_ms, last_heard_ms_.load(std::memory_order_relaxed));
}

void endpoint_counters::attach(const link_counters* link) {
    std::lock_guard<std::mutex> hold(lock_);
    links_.push_back(link);
}

void endpoint_counters::detach(const link_counters* link) {
    std::lock_guard<std::mutex> hold(lock_);
    link->add_to(gone_, gone_heard_ms_);
    links_.erase(std::find(links_.begin(), links_.end(), link));
}

link_figures endpoint_counters::figures() const {
    std::lock_guard<std::mutex> hold(lock_);
    link_figures out = gone_;
    int64_t heard = gone_heard_ms_;
    for (const link_counters* link : links_) {
        link->add_to(out, heard);
    }
    out.ms_since_heard = heard < 0 ? -1 : link_counters::now_ms() - heard;
    return out;
}

}  // namespace tovi
