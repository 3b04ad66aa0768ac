// Events: manual-reset or auto-reset, unnamed.
#pragma once

#include "platform/posix/waitable.h"

namespace tovi_posix {

class event final : public waitable {
  public:
    event(bool manual_reset, bool initial_state)
        : waitable(object_kind::event), manual_reset_(manual_reset), signalled_(initial_state) {}

    void set();
    void reset();
    // Names the socket whose readiness finishes the operation that will set this event; set()
    // forgets it. The source must stay alive until then.
    void await_source(reactor_source* source, int fd);

    bool is_signalled() const override { return signalled_; }
    reactor_source* progress_source(int* fd) const override {
        *fd = source_fd_;
        return source_;
    }
    void on_acquired() override {
        if (!manual_reset_) {
            signalled_ = false;
        }
    }

  private:
    const bool manual_reset_;
    bool signalled_;  // guarded by wait_lock(), like the two below
    reactor_source* source_ = nullptr;
    int source_fd_ = -1;
};

// Sets an event held by reference, for completions that must not depend on its handle.
void signal_event(event* target);

}  // namespace tovi_posix
