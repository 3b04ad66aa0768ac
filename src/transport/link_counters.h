// tovi::link_counters: what one link has carried; tovi::endpoint_counters: what all the links
// of one endpoint have carried, those gone included.
//
// A link's counters only grow; any thread adds, lock-free, to the link's own counters alone,
// so that links never share a cache line on their way. The endpoint knows its live links
// (each registers itself for its lifetime) and keeps the totals of those that went: its
// figures are the sum, taken under its lock, and no count is lost or doubled as a link goes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

namespace tovi {

struct link_figures {
    uint64_t messages_sent = 0;  // texts and byte streams the link accepted
    uint64_t bytes_sent = 0;     // their data's bytes
    uint64_t messages_received = 0;
    uint64_t bytes_received = 0;
    uint64_t queued_bytes = 0;  // accepted, not yet written (now): the owner fills it in
    uint64_t queued_peak_bytes = 0;
    uint64_t refused_full = 0;       // sends refused: the queue stayed full
    uint64_t refused_too_large = 0;  // sends refused: above the largest frame
    uint64_t heart_beats_sent = 0;
    uint64_t heart_beats_received = 0;
    int64_t ms_since_heard = -1;  // since the peer's last frame; -1: nothing heard yet
    uint64_t links = 0;           // open now: the owner fills it in
};

class endpoint_counters;

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

    // endpoint: where this link's counts go when it goes (null: nowhere).
    explicit link_counters(endpoint_counters* endpoint = nullptr);
    ~link_counters();
    link_counters(const link_counters&) = delete;
    link_counters& operator=(const link_counters&) = delete;

    void add(field which, uint64_t amount = 1) {
        counts_[which].fetch_add(amount, std::memory_order_relaxed);
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
    void note_heard() { last_heard_ms_.store(now_ms(), std::memory_order_relaxed); }
    // Bytes queued now; keeps the peak.
    void note_queued(uint64_t bytes) {
        uint64_t peak = peak_.load(std::memory_order_relaxed);
        while (bytes > peak &&
               !peak_.compare_exchange_weak(peak, bytes, std::memory_order_relaxed)) {
        }
    }

    // The counts, the peak and the silence.
    link_figures figures() const;

    static int64_t now_ms() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

  private:
    friend class endpoint_counters;
    // Adds the counts into total; the peak and the last hearing as the highest of both.
    void add_to(link_figures& total, int64_t& last_heard_ms) const;

    endpoint_counters* const endpoint_;
    std::atomic<uint64_t> counts_[field_count] = {};
    std::atomic<uint64_t> peak_{0};
    std::atomic<int64_t> last_heard_ms_{-1};
};

class endpoint_counters {
  public:
    // The totals of the links gone and of those alive now (queued_bytes and links are the
    // owner's to fill in).
    link_figures figures() const;

  private:
    friend class link_counters;
    void attach(const link_counters* link);
    void detach(const link_counters* link);

    mutable std::mutex lock_;  // a leaf
    std::vector<const link_counters*> links_;
    link_figures gone_;
    int64_t gone_heard_ms_ = -1;
};

}  // namespace tovi
