// What the calling thread is to the library: one value per thread, set where the thread is made.
//
// A thread the library did not make is a host thread. The library's own threads set their role
// first thing (thread_base's worker, the task queue's worker); the role then decides two
// things: a send from a library thread never waits for room, since that thread may be the very
// one that makes it (callbacks run there), and only some threads may issue a pipe's overlapped
// operations (may_issue_io).
#pragma once

#include <cstdint>

namespace tovi {

enum class thread_role : uint8_t {
    host,        // any thread the library did not make
    event_loop,  // pipe_handler_async: every read, accept and close, and writes
    task_queue,  // task_queue: decoding and reports to the host
    worker,      // another thread_base worker
};

// The calling thread's role; host until set_thread_role was called on it.
thread_role this_thread_role();
// On the thread itself, before it runs anything else.
void set_thread_role(thread_role role);

// For its lifetime the calling thread has another role: a host thread that runs an event loop
// as its guest (loop_turn.h) is the loop meanwhile.
class scoped_thread_role {
  public:
    explicit scoped_thread_role(thread_role role) : before_(this_thread_role()) {
        set_thread_role(role);
    }
    ~scoped_thread_role() { set_thread_role(before_); }
    scoped_thread_role(const scoped_thread_role&) = delete;
    scoped_thread_role& operator=(const scoped_thread_role&) = delete;

  private:
    const thread_role before_;
};

inline bool is_library_thread() {
    return this_thread_role() != thread_role::host;
}

// True when the calling thread may issue a pipe's overlapped operations. The event loop and the
// task queue live as long as the pipes they serve, and may, everywhere. On Windows the result of
// a pending operation is written back in the context of the thread that issued it, and a host
// thread may end, or sit in its own code, before that happens (under Wine the port then reports
// a write whose result is not there yet): so there no host thread issues any. The POSIX layer
// finishes every pending operation on the port's own thread, whichever thread issued it.
bool may_issue_io();

}  // namespace tovi
