// The server's function table: each entry forwards to the endpoint, or does nothing for a
// null or released handle.
#include "api/endpoint_factory.h"
#include "api/ipc_handle.h"
#include "api/my_server_watch.h"
#include "endpoints/ipc_server.h"
#include "log/log.h"

namespace tovi_api {
namespace {

tovi::ipc_server* server_of(ipc_handle* handle) {
    return handle != nullptr ? static_cast<tovi::ipc_server*>(handle->endpoint) : nullptr;
}

tovi_bool TOVIIPC_CALL init_log(ipc_handle* handle, const char* directory, const char* file) {
    tovi::ipc_server* server = server_of(handle);
    return server != nullptr && server->init_log(directory, file);
}

tovi_bool TOVIIPC_CALL start(ipc_handle* handle, const char* pipe_name) {
    tovi::ipc_server* server = server_of(handle);
    return server != nullptr && server->start(pipe_name);
}

void TOVIIPC_CALL stop(ipc_handle* handle) {
    if (tovi::ipc_server* server = server_of(handle)) {
        server->stop();
    }
}

tovi_bool TOVIIPC_CALL send_string(ipc_handle* handle, const char* id, const char* text,
                                   tovi_int32 length) {
    tovi::ipc_server* server = server_of(handle);
    return server != nullptr && server->send_string(id, text, length);
}

tovi_bool TOVIIPC_CALL send_bytestream(ipc_handle* handle, const char* id, const char* data,
                                       tovi_int32 length) {
    tovi::ipc_server* server = server_of(handle);
    return server != nullptr && server->send_bytestream(id, data, length);
}

tovi_bool TOVIIPC_CALL disconnect_client(ipc_handle* handle, const char* id) {
    tovi::ipc_server* server = server_of(handle);
    return server != nullptr && server->disconnect_client(id);
}

}  // namespace

ipc_handle* create_server(ipc_server_functions* functions, const ipc_server_callbacks* callbacks) {
    if (functions == nullptr) {
        return nullptr;
    }
    try {
        auto* handle = new ipc_handle{nullptr, nullptr};
        auto* server = new tovi::ipc_server();
        handle->endpoint = server;
        auto* watch = new my_server_watch(callbacks);
        handle->watch = watch;
        server->set_watch(watch);
        functions->init_log = &init_log;
        functions->start = &start;
        functions->stop = &stop;
        functions->send_string = &send_string;
        functions->send_bytestream = &send_bytestream;
        functions->disconnect_client = &disconnect_client;
        return handle;
    } catch (...) {
        return nullptr;  // out of memory
    }
}

void release_server(ipc_handle* handle) {
    tovi::ipc_server* server = server_of(handle);
    if (server != nullptr) {
        if (server->is_callback_thread()) {
            log_error(L"release_tovi_ipc_server refused: called from a callback of this server");
            return;
        }
        delete server;  // stops the pipe server and joins its threads
        handle->endpoint = nullptr;
        keep_released(handle);
    }
    if (handle != nullptr && handle->watch != nullptr) {
        delete static_cast<my_server_watch*>(handle->watch);
        handle->watch = nullptr;
    }
}

}  // namespace tovi_api
