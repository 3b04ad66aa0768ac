// The handle a host holds: the endpoint and the adapter that turns its events into the host's
// callbacks. Release clears both fields but keeps the block, so that a released handle stays
// safe to pass: every table entry then does nothing.
#pragma once

#include "toviipc.h"

struct ipc_handle {
    void* endpoint;  // tovi::ipc_client or tovi::ipc_server, by the factory that made it
    void* watch;     // my_client_watch or my_server_watch
};
