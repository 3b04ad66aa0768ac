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

  protected:
    ~ipc_client_watch() = default;
};

}  // namespace tovi
