// What the pipe server reports to its owner, the server endpoint.
#pragma once

#include <cstdint>

namespace tovi {

class pipe_server_watch {
  public:
    // A text or byte stream from the client with this id; on the event-loop thread.
    virtual void on_recv_data(const char* client_id, const char* data, int32_t length) = 0;
    // A client announced itself and its id was bound; on the event-loop thread.
    virtual void on_client_connect(const char* client_id) = 0;
    // The connection bound to this id was dropped; on the pipe server's task-queue thread.
    virtual void on_client_disconnect(const char* client_id) = 0;

  protected:
    ~pipe_server_watch() = default;
};

}  // namespace tovi
