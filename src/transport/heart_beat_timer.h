// Calls a heart_beat_callback at a fixed interval until it is stopped, on the owner's event
// loop: a timer of the loop instead of a thread of its own, so an idle endpoint costs one
// wake-up per beat and no thread.
//
// The first beat comes one interval after start, each later one an interval after the
// previous callback returned; no beat starts once stop has begun. The client endpoint and the
// pipe server each own one, with an interval of 3000 ms. Beats run on the loop thread, so a
// server whose loop is held up by a callback does not count its clients silent meanwhile.
//
// Ownership: the sender does not own the callback or the loop, which must outlive it. start
// and stop are called by the owner from one thread at a time; stop returns after a beat in
// progress has returned, except on the loop thread itself (inside a beat), where it only
// keeps further beats from starting.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "transport/heart_beat_callback.h"

namespace tovi {

class pipe_handler_async;

class heart_beat_timer final {
  public:
    // Does not start beating.
    heart_beat_timer(heart_beat_callback* callback, uint32_t interval_ms, pipe_handler_async* loop);
    // stop.
    ~heart_beat_timer();
    heart_beat_timer(const heart_beat_timer&) = delete;
    heart_beat_timer& operator=(const heart_beat_timer&) = delete;

    // Arms the first beat unless beating already. False, with nothing armed, when the loop
    // cannot run a timer (its thread cannot be started).
    bool start();
    // No beat starts after stop has begun. Idempotent.
    void stop();
    bool is_running() const;

  private:
    // Shared with the loop's timers, which may outlive the sender.
    struct shared_state {
        heart_beat_callback* callback = nullptr;
        uint32_t interval_ms = 0;
        pipe_handler_async* loop = nullptr;
        std::mutex lock;  // a leaf
        std::condition_variable beat_done;
        bool armed = false;    // lock: a beat is due or running
        bool beating = false;  // lock: a callback runs
        uint64_t round = 0;    // lock: which start the armed timer belongs to
    };
    static void arm(const std::shared_ptr<shared_state>& state, uint64_t round);
    static void beat(const std::shared_ptr<shared_state>& state, uint64_t round);

    std::shared_ptr<shared_state> state_;
};

}  // namespace tovi
