// Waitable objects and the one routine that every wait of the layer funnels into.
//
// One process-wide lock guards the signal state of every waitable object and its list of
// waiting threads. A waiting thread registers itself with each object it waits on and sleeps
// on a condition variable of its own; signalling an object wakes the threads registered with
// it, which then look at the objects again in index order.
//
// An object whose signal waits on a socket (the event of a pending pipe read) names that
// socket. A thread that waits on such objects sleeps in poll() on the sockets instead, and
// finishes the I/O itself when one becomes ready: the data reaches the waiting thread without
// first waking the reactor thread and then the waiter. The reactor still finishes the same I/O
// for operations that nobody waits on.
#pragma once

#include <mutex>
#include <vector>

#include "platform/posix/kernel_object.h"
#include "platform/posix/reactor.h"

namespace tovi_posix {

// The lock that guards every signal state and waiter list. A leaf: nothing else is taken
// while it is held.
std::mutex& wait_lock();

struct waiter;

class waitable : public kernel_object {
  public:
    using kernel_object::kernel_object;
    waitable* as_waitable() override { return this; }

    // REQUIRES: wait_lock() held.
    virtual bool is_signalled() const = 0;
    // Called, with wait_lock() held, on the object whose signal a wait returns; an auto-reset
    // event clears itself here.
    virtual void on_acquired() {}

    // The socket whose readiness may signal this object, and the source that finishes its
    // I/O; null when there is none. The source stays alive while it is named here.
    // REQUIRES: wait_lock() held.
    virtual reactor_source* progress_source(int* fd) const {
        (void)fd;
        return nullptr;
    }

    // Wakes every thread waiting on this object. REQUIRES: wait_lock() held.
    void wake_waiters();

  private:
    friend DWORD wait_for_objects(DWORD, waitable* const*, DWORD);
    std::vector<waiter*> waiters_;
};

// Finishes the I/O behind the objects that can finish now, as a wait would, without waiting.
// Called without wait_lock().
void finish_ready_io(DWORD count, waitable* const* objects);

// Waits until one of the objects is signalled or the time-out passes. Returns WAIT_OBJECT_0
// plus the lowest signalled index, or WAIT_TIMEOUT. The caller keeps the objects alive.
//
// How: under wait_lock(), a signalled object answers at once (a zero wait first finishes the
// objects' ready I/O). Otherwise the thread registers with every object and sleeps, in poll()
// on the objects' sockets when they name any (finishing their I/O as they become ready), else
// on its condition variable; each wake looks at the objects again in index order, until one is
// signalled or the time is up; then the thread deregisters.
DWORD wait_for_objects(DWORD count, waitable* const* objects, DWORD milliseconds);

}  // namespace tovi_posix
