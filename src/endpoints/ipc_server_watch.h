// What a server endpoint reports to its observer (the host's callback adapter).
#pragma once

#include <cstdint>

#include "platform/peer_identity.h"

namespace tovi {

class ipc_server_watch {
  public:
    // A text (is_text; data is followed by a NUL) or byte stream from a client; on the
    // server's event-loop thread.
    virtual void on_recv_data(const char* client_id, const char* data, int32_t length,
                              bool is_text) = 0;
    // A client announced itself from the process the system names (peer); on the server's
    // event-loop thread.
    virtual void on_client_connect(const char* client_id,
                                   const tovi_platform::peer_identity& peer) = 0;
    // A client's connection was removed; on the pipe server's task-queue thread.
    virtual void on_client_disconnect(const char* client_id) = 0;

  protected:
    ~ipc_server_watch() = default;
};

}  // namespace tovi
