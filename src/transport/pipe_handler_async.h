// tovi::pipe_handler_async: the one thread per endpoint that issues and finishes all overlapped
// pipe I/O of that endpoint.
//
// Every pipe of the endpoint is attached to the loop: its handle is associated with the loop's
// I/O completion port, and the listener that owns it is kept alive by the loop until it
// detaches. The loop thread waits on the port and hands each completion to the listener of
// its record (io_record). Reads, accepts and closes are issued on the loop thread, writes also
// by the threads pipe_connection.h names; other work comes to the loop with post. An operation
// that finishes at once queues no packet: the call that issued it finishes it.
//
// Threads: the first attach or post starts the loop thread. Completions, posted tasks and
// timers run on it, one at a time, or on a guest that holds the loop's turn (loop_turn.h): a
// host thread waiting for its pulled events that runs the loop meanwhile, where host threads
// may issue I/O; for that time the guest is the loop thread (is_current_thread). stop_thread asks
// every attached listener to finish (on_loop_stopping), waits until all have detached, and ends the
// thread; a later attach or post starts it again. attach, post and post_after may be called from
// any thread.
//
// Lifetime: a listener detached on the loop thread is released only after the dispatch that
// detached it has returned, so nothing is destroyed under its own completion.
//
// Lock order: the loop lock is a leaf; nothing runs while it is held.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/win32.h"
#include "transport/loop_turn.h"
#include "transport/pipe_handler_listener.h"
#include "transport/thread_base.h"

namespace tovi {

class pipe_handler_async : public thread_base {
  public:
    using task = std::function<void()>;

    pipe_handler_async();
    // stop_thread.
    ~pipe_handler_async();

    // Makes owner the listener of the open overlapped pipe: associates the handle with the
    // port (unless it is associated already, as a server instance that became a connection),
    // so that operations finishing at once queue no packet, and keeps owner alive until
    // detach. Replaces the owner of a pipe attached before. False, with an error line, when
    // the handle cannot be associated or the loop thread cannot be started.
    bool attach(HANDLE pipe, std::shared_ptr<pipe_handler_listener> owner, bool associated = false);

    // The pipe's owner has finished with it (every operation completed, the handle closed or
    // handed on): the loop lets go of the owner after the current dispatch.
    void detach(HANDLE pipe);

    // Runs work on the loop thread after the dispatch in progress, in posting order. False,
    // with nothing queued, when the loop thread cannot be started.
    bool post(task work);

    // Runs work on the loop thread once delay_ms have passed. Timers still waiting when the
    // thread ends are dropped.
    bool post_after(uint32_t delay_ms, task work);

    // Runs work on the loop thread and waits for it to return. Not on the loop thread.
    bool call(const task& work);

    // Finishes every attached pipe, then stops the thread. Bounded by the listeners' own
    // deadlines. Not on the loop thread.
    void stop_thread();

    // Attached pipes (for tests and diagnostics).
    size_t attached_count();

    // On the loop's thread, or on the guest that holds its turn.
    bool is_current_thread() const {
        return thread_base::is_current_thread() ||
               guest_id_.load(std::memory_order_acquire) == GetCurrentThreadId();
    }

    // A host thread runs the loop as its guest until done() holds, the deadline passes, or the
    // loop stops. False, at once or by the deadline, when it cannot have the loop's turn: the
    // loop does not run, another guest holds it, or host threads issue no I/O here. done() is
    // called on the guest, between passes; the guest's wakers wake it with wake_guest. For its
    // first poll_first the guest looks at the port without sleeping in it (where another core
    // runs the peer, an answer often comes within that time, and no wake-up is paid for it).
    bool run_as_guest(loop_turn::clock::time_point deadline, const std::function<bool()>& done,
                      std::chrono::microseconds poll_first);
    // Makes the port's wait return, so that a guest looks at done() again. Any thread.
    void wake_guest();

  protected:
    void on_thread_run() override;

  private:
    using clock = std::chrono::steady_clock;

    // REQUIRES the loop lock.
    bool ensure_running();
    void wake();
    void post_wake_packet();  // unless one is queued and not taken yet
    // Runs the tasks and the timers that are due; returns the time until the next timer, in
    // ms, or INFINITE.
    DWORD run_tasks();
    // Waits in the port up to timeout ms and dispatches what came; false when the wait failed.
    bool wait_and_dispatch(DWORD timeout);

    HANDLE port_ = nullptr;
    CRITICAL_SECTION loop_lock_;
    std::vector<task> tasks_;                                            // loop lock
    std::multimap<clock::time_point, task> timers_;                      // loop lock
    std::map<HANDLE, std::shared_ptr<pipe_handler_listener>> attached_;  // loop lock
    std::vector<std::shared_ptr<pipe_handler_listener>> released_;       // loop lock
    bool wake_posted_ = false;  // loop lock: a wake packet is queued and not yet taken
    bool stopping_ = false;     // loop lock
    loop_turn turn_;
    std::atomic<DWORD> guest_id_{0};  // the guest that holds the turn, 0 when none does
};

}  // namespace tovi
