// A pool of OVERLAPPED records, each with a manual-reset event of its own.
//
// Every overlapped pipe operation (a read or write of a connection, a ConnectNamedPipe of a
// listening pipe) needs a record whose event the event loop waits on. get_overlapped hands
// out a record from the pool, or a new one when the pool is empty; when the last copy of the
// std::shared_ptr goes, its deleter returns the record to the back of the pool. Records are
// taken from the front, so the pool is first in, first out, and after the first few
// operations no kernel event is created. The pool never shrinks until release_all_overlappeds.
//
// A record handed out has Internal, InternalHigh, Offset and OffsetHigh zero and its event
// reset, so that a signal left from its previous operation is never taken for the completion
// of the next one.
//
// Lifetime: a record may outlive its manager. The pool lives in a shared object that every
// record's deleter holds a reference to; once the manager is destroyed, a record coming back
// is freed (its event closed) instead of pooled. A record must still not be released while the
// system may write to it: its holders drop their last copy only after its operation has
// completed or has been cancelled and finished.
//
// Threads and locks: get_overlapped and the deleter run on any thread. The pool's lock is held
// only for the pool operation itself; it is the last lock in the transport's lock order
// (event-loop lock, then a connection's pending lock, then this one), so a record may be
// released while either of the others is held.
#pragma once

#include <memory>

#include "platform/win32.h"

namespace win {

class overlapped_manager {
  public:
    overlapped_manager();
    // release_all_overlappeds; records still in use are freed when their last holder lets go.
    ~overlapped_manager();
    overlapped_manager(const overlapped_manager&) = delete;
    overlapped_manager& operator=(const overlapped_manager&) = delete;

    // A record with its state fields zero and its event reset. Empty, with an error line, when
    // no record could be made (CreateEventW failed, or memory ran out).
    std::shared_ptr<OVERLAPPED> get_overlapped();

    // Logs "win::overlapped_manager::release_all_overlappeds", then closes the events of the
    // pooled records and frees them. Records in use are not touched.
    void release_all_overlappeds();

  private:
    class pool;
    std::shared_ptr<pool> pool_;
};

}  // namespace win
