// tovi::loop_turn: who runs an event loop's passes, the loop's own thread or a guest, a host
// thread that waits for its pulled events and runs the loop meanwhile instead of sleeping.
//
// A guest saves the hop from the loop thread to the host thread: the thread that reads the
// message is the one that takes it. The turn is one token: whoever holds it waits in the port
// and dispatches; the other does not touch the loop.
//
// The loop thread lends its turn, before it waits in the port, when a guest asked for it, and
// parks. A guest that leaves gives the turn back lazily: the parked thread takes it back only
// once no guest has held it for lend_grace, or when it is reclaimed (work was posted while no
// guest is in, or the loop stops). So a host that pulls again soon finds the turn free and takes
// it without waking anyone, and a host that went away leaves the loop unrun for lend_grace at
// most (the parked thread looks every lend_grace while the guest comes and goes, and sleeps
// until it leaves once it has stayed in for a few looks).
//
// Threads: lend runs on the loop thread; take and leave on a guest; reclaim and close anywhere.
// The turn's lock is a leaf: nothing is called while it is held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace tovi {

class loop_turn {
  public:
    using clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds lend_grace{2};
    // Looks (50 ms) at a guest that stays in before the parked thread waits for it to leave.
    static constexpr int looks_before_sleep = 25;

    // Loop thread, before it waits in the port: when a guest asked, lends the turn and waits
    // until it is back. False, at once, when no guest asked (or the turn is closed).
    bool lend_if_asked();

    // A guest: takes the turn, asking the loop thread for it (ask makes the thread's wait in
    // the port return) unless it is lent and free. False when another guest holds it, the turn
    // is closed, or the deadline passed first.
    bool take(clock::time_point deadline, const std::function<void()>& ask);
    // The guest gives the turn back.
    void leave();
    // True while a guest should leave at once: the turn was closed.
    bool closed() const;

    // Work waits for the loop: a parked thread takes its turn back unless a guest is in (the
    // caller has woken the port, where a guest in it takes the work). Any thread.
    void reclaim();
    // The loop stops: no guest takes the turn until open, a guest in leaves after its pass, and
    // the parked thread takes it back once the guest is out. Any thread.
    void close();
    void open();

  private:
    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool asked_ = false;     // a guest waits for the loop thread to lend the turn
    bool lent_ = false;      // the loop thread is parked
    bool guest_in_ = false;  // a guest holds the turn
    bool reclaimed_ = false;
    bool sleeping_ = false;        // the parked thread waits for the guest's leave
    bool closed_ = true;           // until the loop thread is started
    clock::time_point left_at_{};  // when the last guest left
};

}  // namespace tovi
