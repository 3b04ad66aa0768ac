#include "endpoints/ipc_server.h"

#include <new>
#include <string>
#include <utility>

#include "endpoints/endpoint_log.h"
#include "log/log.h"
#include "platform/scoped_critical_section.h"
#include "transport/pipe_server.h"

namespace tovi {

ipc_server::ipc_server() {
    InitializeCriticalSection(&server_lock_);
}

ipc_server::~ipc_server() {
    stop();
    DeleteCriticalSection(&server_lock_);
}

bool ipc_server::is_callback_thread() {
    scoped_critical_section hold(server_lock_);
    return pipe_server_ != nullptr && pipe_server_->is_callback_thread();
}

bool ipc_server::set_watch(ipc_server_watch* watch) {
    if (watch == nullptr) {
        return false;
    }
    watch_ = watch;
    return true;
}

bool ipc_server::init_log(const char* directory, const char* file_name) {
    return open_endpoint_log(directory, file_name);
}

bool ipc_server::start(const char* pipe_name) {
    if (pipe_name == nullptr) {
        return false;
    }
    scoped_critical_section hold(server_lock_);
    if (pipe_server_ != nullptr) {
        return true;  // also after a failed start: stop first to try again
    }
    pipe_server_ = new (std::nothrow) win::pipe_server();
    return pipe_server_ != nullptr && pipe_server_->start_server(pipe_name, this);
}

void ipc_server::stop() {
    if (is_callback_thread()) {
        log_error(L"tovi::ipc_server::stop refused: called from a callback of this server");
        return;
    }
    win::pipe_server* stopping = nullptr;
    {
        scoped_critical_section hold(server_lock_);
        std::swap(stopping, pipe_server_);
    }
    // Outside the lock: a callback that calls a send meanwhile gets false instead of waiting.
    if (stopping != nullptr) {
        stopping->stop_server();
        delete stopping;
    }
}

bool ipc_server::send_string(const char* client_id, const char* text, int32_t length) {
    if (client_id == nullptr) {
        return false;
    }
    scoped_critical_section hold(server_lock_);
    return pipe_server_ != nullptr && pipe_server_->send_string(client_id, text, length);
}

bool ipc_server::send_bytestream(const char* client_id, const char* data, int32_t length) {
    if (client_id == nullptr) {
        return false;
    }
    scoped_critical_section hold(server_lock_);
    return pipe_server_ != nullptr && pipe_server_->send_bytestream(client_id, data, length);
}

bool ipc_server::disconnect_client(const char* client_id) {
    if (client_id == nullptr) {
        return false;
    }
    scoped_critical_section hold(server_lock_);
    return pipe_server_ != nullptr && pipe_server_->disconnect_client(client_id);
}

void ipc_server::on_recv_data(const char* client_id, const char* data, int32_t length) {
    if (watch_ != nullptr) {
        watch_->on_recv_data(client_id, data, length);
    }
}

void ipc_server::on_client_connect(const char* client_id) {
    if (watch_ != nullptr) {
        watch_->on_client_connect(client_id);
    }
}

void ipc_server::on_client_disconnect(const char* client_id) {
    if (watch_ != nullptr) {
        watch_->on_client_disconnect(client_id);
    }
}

}  // namespace tovi
