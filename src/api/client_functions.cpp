// The client's function table: each entry forwards to the endpoint, or does nothing for a
// null or released handle.
#include "api/endpoint_factory.h"
#include "api/ipc_handle.h"
#include "api/my_client_watch.h"
#include "endpoints/ipc_client.h"
#include "log/log.h"

namespace tovi_api {
namespace {

tovi::ipc_client* client_of(ipc_handle* handle) {
    return handle != nullptr ? static_cast<tovi::ipc_client*>(handle->endpoint) : nullptr;
}

tovi_bool TOVIIPC_CALL init_log(ipc_handle* handle, const char* directory, const char* file) {
    tovi::ipc_client* client = client_of(handle);
    return client != nullptr && client->init_log(directory, file);
}

tovi_bool TOVIIPC_CALL connect(ipc_handle* handle, const char* pipe_name, const char* id) {
    tovi::ipc_client* client = client_of(handle);
    return client != nullptr && client->connect(pipe_name, id);
}

void TOVIIPC_CALL disconnect(ipc_handle* handle) {
    if (tovi::ipc_client* client = client_of(handle)) {
        client->disconnect();
    }
}

tovi_bool TOVIIPC_CALL send_string(ipc_handle* handle, const char* text, tovi_int32 length) {
    tovi::ipc_client* client = client_of(handle);
    return client != nullptr && client->send_string(text, length);
}

tovi_bool TOVIIPC_CALL send_bytestream(ipc_handle* handle, const char* data, tovi_int32 length) {
    tovi::ipc_client* client = client_of(handle);
    return client != nullptr && client->send_bytestream(data, length);
}

tovi_bool TOVIIPC_CALL write_shared_memory(ipc_handle* handle, const char* data, tovi_uint32 size,
                                           const shared_memory_info* info) {
    tovi::ipc_client* client = client_of(handle);
    if (client == nullptr || info == nullptr) {
        return 0;
    }
    return client->write_shared_memory(data, size, info->info[0], info->info[1], info->info[2],
                                       info->info[3], info->info[4]);
}

}  // namespace

ipc_handle* create_client(ipc_client_functions* functions, const ipc_client_callbacks* callbacks) {
    if (functions == nullptr) {
        return nullptr;
    }
    try {
        auto* handle = new ipc_handle{nullptr, nullptr};
        auto* client = new tovi::ipc_client();
        if (!client->started()) {
            delete client;
            delete handle;
            return nullptr;
        }
        handle->endpoint = client;
        auto* watch = new my_client_watch(callbacks);
        handle->watch = watch;
        client->set_watch(watch);
        functions->init_log = &init_log;
        functions->connect = &connect;
        functions->disconnect = &disconnect;
        functions->send_string = &send_string;
        functions->send_bytestream = &send_bytestream;
        functions->write_shared_memory = &write_shared_memory;
        return handle;
    } catch (...) {
        return nullptr;  // out of memory, or a thread could not start
    }
}

void release_client(ipc_handle* handle) {
    tovi::ipc_client* client = client_of(handle);
    if (client != nullptr) {
        if (client->is_callback_thread()) {
            log_error(L"release_tovi_ipc_client refused: called from a callback of this client");
            return;
        }
        delete client;  // joins every thread of the client
        handle->endpoint = nullptr;
        keep_released(handle);
    }
    if (handle != nullptr && handle->watch != nullptr) {
        delete static_cast<my_client_watch*>(handle->watch);
        handle->watch = nullptr;
    }
}

}  // namespace tovi_api
