// tovi_platform::ready_signal: a waitable a host's event loop can watch, set while something
// waits for the host.
//
// POSIX: an eventfd, readable exactly while set (poll, epoll, select). Windows: a manual-reset
// event, signalled exactly while set (WaitForMultipleObjects, MsgWaitForMultipleObjects). The
// owner calls set and clear under its own lock, so that the state always matches what it
// guards; the host only waits on the waitable.
#pragma once

#include <cstdint>

namespace tovi_platform {

class ready_signal {
  public:
    ready_signal();
    ~ready_signal();
    ready_signal(const ready_signal&) = delete;
    ready_signal& operator=(const ready_signal&) = delete;

    bool valid() const;
    void set();
    void clear();
    // The descriptor (POSIX) or the event HANDLE (Windows), as an integer.
    intptr_t waitable() const { return waitable_; }

  private:
    intptr_t waitable_;
    bool set_ = false;
};

}  // namespace tovi_platform
