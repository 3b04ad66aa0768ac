// What a client endpoint reports to its observer (the host's callback adapter).
#pragma once

#include <cstdint>

namespace tovi {

class ipc_client_watch {
  public:
    // A text (is_text; data is followed by a NUL) or byte stream from the server; on the client's
    // task-queue thread. data is valid only during the call.
    virtual void on_recv_data(const char* data, int32_t length, bool is_text) = 0;
    // The current connection broke; on the client's task-queue thread.
    virtual void on_disconnect() = 0;
    // A watch that takes messages on the loop thread (ipc_client::set_watch): the loop's
    // dispatch that delivered them has ended, so the host may be woken now without taking the
    // loop's core in the middle of its work.
    virtual void on_delivered() {}

  protected:
    ~ipc_client_watch() = default;
};

}  // namespace tovi
