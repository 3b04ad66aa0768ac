// The owner of overlapped pipe operations that complete on the pipe event loop, and the record
// of one such operation.
#pragma once

#include <cstddef>

#include "platform/win32.h"

namespace tovi {

class pipe_handler_listener;

// One overlapped operation: the OVERLAPPED that the system fills, first, so that a completion
// packet's OVERLAPPED leads back to the record, and the listener its completion goes to. A
// record belongs to its listener, which keeps it alive, untouched, from the call that issues
// the operation until the loop has dispatched its completion.
struct io_record {
    OVERLAPPED overlapped{};
    pipe_handler_listener* listener = nullptr;

    // Clears the state fields before the record is used for the next operation.
    void reset() { overlapped = OVERLAPPED{}; }
    HANDLE key() { return static_cast<HANDLE>(this); }
    static io_record* of(OVERLAPPED* overlapped) {
        return reinterpret_cast<io_record*>(overlapped);
    }
};
static_assert(offsetof(io_record, overlapped) == 0, "a packet's OVERLAPPED is its record");

class pipe_handler_listener {
  public:
    // An operation of this listener completed; key is its record (io_record::key). Called on
    // the event-loop thread, once per operation that did not finish inside the call that
    // issued it.
    virtual void on_handle_event(HANDLE key) = 0;

    // The loop is being stopped: finish every operation and detach the pipes (graceful where
    // the listener can be). Called on the event-loop thread.
    virtual void on_loop_stopping() {}

  protected:
    ~pipe_handler_listener() = default;
};

}  // namespace tovi
