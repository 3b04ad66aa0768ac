// tovi_events::event_queue: the events of a pulling endpoint, waiting for the host's thread.
//
// The endpoint's threads push (a server's loop and task threads, a client's task thread); the
// host pops, one event per call, on a thread of its own. The ready signal is set while events
// wait: push sets it when the queue stops being empty, and a pop that returns nothing clears
// it, both under the queue's lock; so after the host has taken events until none was left the
// signal is clear, and it is set again only by a new event. A pop that waits for an event
// waits on a condition variable and leaves the signal as it is.
//
// Bounds: at most max_events events and max_bytes of message data wait (one message always
// fits into an empty queue). A push that finds no room waits for the host's next pop, so the
// thread that delivers (and with it the link's reading) stops, as it does behind a slow
// callback, until the host takes its events; while the endpoint stops (hold_back_waits), and
// while a pop runs the loop, pushes do not wait, because the thread that would pop may be the
// one they wait for.
//
// A pop that finds nothing and may wait runs the endpoint's event loop meanwhile, where it can
// (set_loop): the thread that reads a message is then the one that takes it, with no hand-over
// between threads. A push from another thread wakes such a pop (the loop's waker). Either way,
// where another core can run the peer (or the threads that push), the pop looks without
// sleeping for spin_before_wait_us first: in a round trip the answer often comes within that
// time, and then nobody pays for a sleep and a wake-up.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/peer_identity.h"
#include "platform/ready_signal.h"

namespace tovi_events {

struct queued_event {
    int32_t kind = 0;  // TOVIIPC_EVENT_...
    bool is_text = false;
    bool counted = false;  // its owner bounds its bytes itself: released when it is popped
    std::string client_id;
    std::string data;  // a text's data is followed by its NUL (std::string's own)
    // A connect's only: kept apart, so that the queue's events stay small.
    std::unique_ptr<tovi_platform::peer_identity> peer;
};

class event_queue {
  public:
    static constexpr size_t max_bytes = 64 * 1024 * 1024;  // of message data
    static constexpr size_t max_events = 65536;
    static constexpr int spin_before_wait_us = 20;

    using clock = std::chrono::steady_clock;
    // Runs the endpoint's event loop on the calling thread until done() or the deadline, looking
    // without sleeping for the given time first; false when it cannot
    // (pipe_handler_async::run_as_guest).
    using loop_runner = std::function<bool(clock::time_point, const std::function<bool()>&,
                                           std::chrono::microseconds)>;

    event_queue();

    // Before the endpoint's threads start: how a waiting pop runs the loop, and how a push
    // from another thread makes that pop look at the queue again.
    void set_loop(loop_runner run, std::function<void()> wake);

    bool valid() const { return signal_.valid(); }
    intptr_t waitable() const { return signal_.waitable(); }

    // may_wait false: the pushing thread must not wait (its owner bounds what it pushes), and
    // the event is published (the signal set, a waiting pop woken) by the next publish call,
    // which that owner makes once its batch of events is in.
    void push(queued_event&& event, bool may_wait = true);
    void publish();
    // The next event, waiting up to timeout_ms (negative: without limit); null when none came.
    // The event returned stays valid until the next pop.
    const queued_event* pop(int32_t timeout_ms);
    // Between begin and end (counted, any thread), pushes do not wait for room.
    void begin_unbounded();
    void end_unbounded();

  private:
    bool has_room(size_t bytes) const;  // REQUIRES lock_
    // Watches for an event without the lock, for at most spin_before_wait_us.
    void spin_for_event(int32_t timeout_ms) const;
    // Runs the loop until an event waits, within *timeout_ms, which it lowers by the time it
    // took. False when the loop could not be run here.
    bool run_loop_for_event(int32_t* timeout_ms);

    std::mutex lock_;
    std::condition_variable arrived_;
    std::condition_variable room_;
    const bool may_spin_;
    std::atomic<size_t> waiting_{0};   // events_.size(), written under lock_, read without it
    std::deque<queued_event> events_;  // lock_, like all below
    size_t bytes_ = 0;
    bool unpublished_ = false;  // events pushed since the last publish
    int unbounded_ = 0;
    queued_event current_;   // handed to the host; the popping thread's
    std::thread::id guest_;  // the popping thread while it runs the loop
    loop_runner run_loop_;   // set before the threads start, then only read
    std::function<void()> wake_loop_;
    tovi_platform::ready_signal signal_;
};

}  // namespace tovi_events
