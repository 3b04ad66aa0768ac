// The four exported functions of the library.
#include "api/endpoint_factory.h"
#include "log/log.h"

extern "C" {

TOVIIPC_API ipc_handle* TOVIIPC_CALL create_tovi_ipc_client(ipc_client_functions* functions,
                                                            const ipc_client_callbacks* callbacks) {
    return tovi_api::create_client(functions, callbacks);
}

TOVIIPC_API ipc_handle* TOVIIPC_CALL create_tovi_ipc_server(ipc_server_functions* functions,
                                                            const ipc_server_callbacks* callbacks) {
    return tovi_api::create_server(functions, callbacks);
}

TOVIIPC_API void TOVIIPC_CALL release_tovi_ipc_client(ipc_handle* handle) {
    tovi_api::release_client(handle);
}

TOVIIPC_API void TOVIIPC_CALL release_tovi_ipc_server(ipc_handle* handle) {
    tovi_api::release_server(handle);
}

}  // extern "C"

// Unloading the library closes the log file, writing what is still pending.
static log_release_at_unload release_log;
