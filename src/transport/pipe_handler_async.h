// win::pipe_handler_async: the one thread per endpoint on which all overlapped pipe I/O of that
// endpoint is finished.
//
// Objects that start an overlapped operation register the operation's event with a listener
// and a key (add_handle). The loop thread waits on all registered events and, when one is
// signalled, removes that registration and calls the listener's on_handle_event with the key,
// holding the loop lock. A registration is used once; the listener registers again for its
// next operation.
//
// Any number of registrations is served. The loop waits on up to 61 of them itself; the rest
// are spread over overflow waiter threads of 63 events each, which hand a signalled event to
// the loop through one more event in its wait set. Every completion is still dispatched once,
// on the loop thread, with the loop lock held. Registrations stay where they were placed, so a
// change touches one waiter at most.
//
// Threads: the first add_handle starts the loop thread (and starts it again if it ended); the
// owner stops it with stop_thread and destroys the loop after that. add_handle and
// remove_handle may be called from any thread, the loop thread included (the lock is
// re-entrant).
//
// Lock order: the loop lock first, then a connection's pending lock, then the overlapped
// manager's lock. The overflow waiters' locks are leaves.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "platform/win32.h"
#include "transport/pipe_handler_listener.h"
#include "transport/thread_base.h"

namespace win {

class pipe_handler_async : public thread_base {
  public:
    pipe_handler_async();
    // Stops the loop thread and the overflow waiters; remaining registrations are dropped
    // without calling their listeners.
    ~pipe_handler_async();

    // Stops the loop thread (thread_base::stop_thread), and keeps add_handle from starting it
    // again meanwhile: a dispatch that registers while the loop is being stopped must not
    // restart its own thread. Not on the loop thread.
    void stop_thread();

    // Registers event for listener and key, replacing an earlier registration of the same
    // event, and starts the loop thread if it is not running (unless it is being stopped). False,
    // with nothing registered, for a null event or listener, or when a thread cannot be started.
    bool add_handle(HANDLE event, pipe_handler_listener* listener, HANDLE key);

    // Removes the registration of event, if there is one.
    void remove_handle(HANDLE event);

    // Returns once no dispatch is running on the loop thread; a dispatch that starts later
    // sees whatever the caller changed before. For owners that are about to destroy a
    // listener. May be called on the loop thread (it returns at once there).
    void wait_for_dispatch();

    // The number of registrations (for tests and diagnostics).
    size_t registration_count();

  protected:
    void on_thread_run() override;

  private:
    class overflow_waiter;
    struct listener_entry {
        pipe_handler_listener* listener;
        HANDLE key;
        int waiter;  // -1: waited on by the loop itself; otherwise an overflow waiter's index
    };

    static constexpr size_t loop_capacity = 61;
    static constexpr size_t waiter_capacity = 63;

    // Makes the loop rebuild its wait set. REQUIRES the loop lock.
    void wake_loop();
    // Each REQUIRES the loop lock.
    bool place(HANDLE event, listener_entry* entry);
    void unplace(HANDLE event, const listener_entry& entry);
    void dispatch(HANDLE event);
    void dispatch_overflow();

    std::map<HANDLE, listener_entry> registrations_;
    CRITICAL_SECTION loop_lock_;
    HANDLE wake_event_;
    HANDLE overflow_event_;  // set by an overflow waiter that saw one of its events signalled
    size_t loop_waited_ = 0;
    bool stopping_ = false;  // guarded by the loop lock
    std::vector<std::unique_ptr<overflow_waiter>> waiters_;
};

}  // namespace win
