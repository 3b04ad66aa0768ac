// The receiver of a pipe connection: the one that owns it (the client endpoint, the pipe
// server), which gets every frame's payload the connection reads, and the link's end.
#pragma once

#include <cstdint>

namespace tovi {

class pipe_connection;

class pipe_receiver {
  public:
    // One complete payload, on the event-loop thread. data is valid only during the call. Returning
    // false says that the peer is leaving: the connection stops reading and reports itself broken.
    // The receiver must not destroy the connection here.
    virtual bool on_pipe_recv_data(pipe_connection* connection, const char* data,
                                   int32_t length) = 0;

    // The payloads delivered in one dispatch of the loop have all been delivered: a receiver
    // that collects them may hand them on together. On the event-loop thread, before any
    // on_pipe_disconnect of the connection that follows them.
    virtual void on_pipe_recv_done(pipe_connection* connection) { (void)connection; }

    // The connection is broken; the receiver decides whether and when to release it. Called on
    // the event-loop thread; the last call the connection makes in that dispatch.
    virtual void on_pipe_disconnect(pipe_connection* connection) = 0;

  protected:
    ~pipe_receiver() = default;
};

}  // namespace tovi
