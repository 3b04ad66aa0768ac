// The base of every transport object that owns one worker thread.
//
// A thread_base holds the thread and a manual-reset exit event. start_thread runs the derived
// object's on_thread_run on a new thread; stop_thread sets the exit event and waits, without a
// time-out, for the thread to end. The body is expected to watch the exit event, through
// wait_exit_signal or by waiting on it together with other handles, and to return soon after
// it is set.
//
// Ownership and threads: the derived object owns the thread, a std::thread like the task
// queue's (the library makes its threads one way; only the log writer, which must be waited for
// with a time-out, is a system thread of its own). start_thread, stop_thread and is_running
// take no lock; the owner calls them from one thread at a time, never from the worker itself
// (stop_thread there would wait for its own end). Every derived class calls stop_thread at the
// start of its destructor, while its members still exist; the base's destructor does not touch
// the thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "platform/win32.h"
#include "transport/thread_role.h"

namespace tovi {

class thread_base {
  public:
    // role: what the worker is (thread_role.h), set on it before on_thread_run.
    explicit thread_base(thread_role role) : role_(role) {}
    thread_base(const thread_base&) = delete;
    thread_base& operator=(const thread_base&) = delete;

    // Creates the exit event and starts the thread on on_thread_run. A thread left from an
    // earlier start (one that ended on its own) is joined and its event closed first. Returns
    // false, with an error line, when the event or the thread cannot be created; nothing is
    // left behind then.
    bool start_thread();

    // Sets the exit event, joins the thread and closes the event. Idempotent; does nothing
    // before any start. Not on the worker thread.
    void stop_thread();

    // True while the thread runs and the exit event is not set.
    bool is_running() const;

    // True on the worker thread itself.
    bool is_current_thread() const {
        return thread_id_.load(std::memory_order_acquire) == GetCurrentThreadId();
    }

    // On the worker thread: waits up to timeout_ms for the exit event. True only when it is
    // set; false on time-out, on failure, and when no thread was started.
    bool wait_exit_signal(uint32_t timeout_ms) const;

  protected:
    ~thread_base() = default;

    // The thread's body, run once per start_thread on the worker thread.
    virtual void on_thread_run() = 0;

    // The manual-reset exit event, for bodies that wait on it together with other handles;
    // null while no thread has been started.
    HANDLE exit_event() const { return exit_event_; }

  private:
    void thread_main();

    const thread_role role_;
    HANDLE exit_event_ = nullptr;
    std::thread thread_;
    std::atomic<bool> body_running_{false};  // on_thread_run has not returned yet
    std::atomic<DWORD> thread_id_{0};        // the running worker's id, 0 when none runs
};

}  // namespace tovi
