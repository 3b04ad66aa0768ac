// tovi::link_counters: what one link, or one endpoint over all its links, has carried.
//
// Counters only grow; every note goes to the link's counters and to its endpoint's (parent),
// so that an endpoint's figures include the links that have left. Any thread, lock-free: the
// figures of a live link are a snapshot, each counter exact on its own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace tovi {

struct link_figures {
    uint64_t messages_sent = 0;  // texts and byte streams the link accepted
    uint64_t bytes_sent = 0;     // their data's bytes
    uint64_t messages_received = 0;
    uint64_t bytes_received = 0;
    uint64_t queued_bytes = 0;  // accepted, not yet written (now)
    uint64_t queued_peak_bytes = 0;
    uint64_t refused_full = 0;       // sends refused: the queue stayed full
    uint64_t refused_too_large = 0;  // sends refused: above the largest frame
    uint64_t heart_beats_sent = 0;
    uint64_t heart_beats_received = 0;
    int64_t ms_since_heard = -1;  // since the peer's last frame; -1: nothing heard yet
    uint64_t links = 0;           // open now: the owner fills it in
};

class link_counters {
  public:
    enum field {
        messages_sent,
        bytes_sent,
        messages_received,
        bytes_received,
        refused_full,
        refused_too_large,
        heart_beats_sent,
        heart_beats_received,
        field_count
    };

    explicit link_counters(link_counters* parent = nullptr) : parent_(parent) {}
    link_counters(const link_counters&) = delete;
    link_counters& operator=(const link_counters&) = delete;

    void add(field which, uint64_t amount = 1) {
        counts_[which].fetch_add(amount, std::memory_order_relaxed);
        if (parent_ != nullptr) {
            parent_->add(which, amount);
        }
    }
    void note_message_sent(uint64_t bytes) {
        add(messages_sent);
        add(bytes_sent, bytes);
    }
    void note_message_received(uint64_t bytes) {
        add(messages_received);
        add(bytes_received, bytes);
    }
    // The peer was heard now.
    void note_heard() {
        const int64_t now = now_ms();
        last_heard_ms_.store(now, std::memory_order_relaxed);
        if (parent_ != nullptr) {
            parent_->last_heard_ms_.store(now, std::memory_order_relaxed);
        }
    }
    // Bytes queued now; keeps the peak (the endpoint's: the highest of any one link).
    void note_queued(uint64_t bytes) {
        raise_peak(bytes);
        if (parent_ != nullptr) {
            parent_->raise_peak(bytes);
        }
    }

    // The counts, the peak and the silence; queued_bytes is the owner's to fill.
    link_figures figures() const;

  private:
    static int64_t now_ms() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    void raise_peak(uint64_t bytes) {
        uint64_t peak = peak_.load(std::memory_order_relaxed);
        while (bytes > peak &&
               !peak_.compare_exchange_weak(peak, bytes, std::memory_order_relaxed)) {
        }
    }

    link_counters* const parent_;
    std::atomic<uint64_t> counts_[field_count] = {};
    std::atomic<uint64_t> peak_{0};
    std::atomic<int64_t> last_heard_ms_{-1};
};

inline link_figures link_counters::figures() const {
    link_figures out;
    out.messages_sent = counts_[messages_sent].load(std::memory_order_relaxed);
    out.bytes_sent = counts_[bytes_sent].load(std::memory_order_relaxed);
    out.messages_received = counts_[messages_received].load(std::memory_order_relaxed);
    out.bytes_received = counts_[bytes_received].load(std::memory_order_relaxed);
    out.refused_full = counts_[refused_full].load(std::memory_order_relaxed);
    out.refused_too_large = counts_[refused_too_large].load(std::memory_order_relaxed);
    out.heart_beats_sent = counts_[heart_beats_sent].load(std::memory_order_relaxed);
    out.heart_beats_received = counts_[heart_beats_received].load(std::memory_order_relaxed);
    out.queued_peak_bytes = peak_.load(std::memory_order_relaxed);
    const int64_t heard = last_heard_ms_.load(std::memory_order_relaxed);
    out.ms_since_heard = heard < 0 ? -1 : now_ms() - heard;
    return out;
}

}  // namespace tovi
