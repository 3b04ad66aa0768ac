// The listener of an event registered with the pipe event loop.
#pragma once

#include "platform/win32.h"

namespace win {

class pipe_handler_listener {
  public:
    // Called on the event-loop thread, with the loop lock held, once for each registration
    // whose event was signalled; key is the value given to add_handle.
    virtual void on_handle_event(HANDLE key) = 0;

  protected:
    ~pipe_handler_listener() = default;
};

}  // namespace win
