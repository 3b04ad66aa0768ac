// The work behind the four exported functions: building a handle with its endpoint and
// adapter, filling the host's function table, and tearing it all down again.
#pragma once

#include "toviipc.h"

namespace tovi_api {

// Null when functions is null, memory runs out, or the endpoint's thread cannot start.
ipc_handle* create_client(ipc_client_functions* functions, const ipc_client_callbacks* callbacks);
ipc_handle* create_server(ipc_server_functions* functions, const ipc_server_callbacks* callbacks);

// Runs the endpoint's teardown, then frees the adapter; keeps the handle block. Refused, with
// an error line, on a callback thread of the handle's endpoint.
void release_client(ipc_handle* handle);
void release_server(ipc_handle* handle);

// Keeps a released handle's block for the rest of the process: a host may still pass it, and
// every entry then does nothing. The blocks stay reachable from here.
void keep_released(ipc_handle* handle);

}  // namespace tovi_api
