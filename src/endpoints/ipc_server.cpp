// The server endpoint: start and stop of its pipe server, the host's sends and drops, and the
// reports passed on to the host's observer.
#include "endpoints/ipc_server.h"

#include <cstring>
#include <new>
#include <string>

#include "endpoints/endpoint_log.h"
#include "endpoints/server_session.h"
#include "log/log.h"
#include "log/utf8_to_utf16.h"
#include "platform/scoped_critical_section.h"
#include "transport/timing.h"

namespace tovi {

namespace {
bool same_pipe_name(const std::string& a, const char* b) {
    const size_t n = std::strlen(b);
    if (a.size() != n) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}
}  // namespace

ipc_server::ipc_server() : limits_(current_timing()) {
    InitializeCriticalSection(&server_lock_);
    InitializeCriticalSection(&lifecycle_lock_);
}

ipc_server::~ipc_server() {
    stop();
    DeleteCriticalSection(&lifecycle_lock_);
    DeleteCriticalSection(&server_lock_);
}

std::shared_ptr<server_session> ipc_server::current() {
    scoped_critical_section hold(server_lock_);
    return session_;
}

bool ipc_server::is_callback_thread() {
    const std::shared_ptr<server_session> server = current();
    return server != nullptr && server->is_callback_thread();
}

bool ipc_server::set_watch(ipc_server_watch* watch) {
    if (watch == nullptr) {
        return false;
    }
    watch_.store(watch, std::memory_order_release);
    return true;
}

bool ipc_server::init_log(const char* directory, const char* file_name) {
    return open_endpoint_log(directory, file_name);
}

bool ipc_server::start(const char* pipe_name) {
    if (pipe_name == nullptr) {
        return false;
    }
    scoped_critical_section lifecycle(lifecycle_lock_);
    if (current() != nullptr) {
        // Listening already: true for the name it listens on (names are case-insensitive).
        if (same_pipe_name(listening_name_, pipe_name)) {
            return true;
        }
        log_error(
            L"tovi::ipc_server::start refused: the server listens on %s already",
            utf8_to_utf16(listening_name_.data(), static_cast<int32_t>(listening_name_.size()))
                .c_str());
        return false;
    }
    std::shared_ptr<server_session> created;
    try {
        created = std::make_shared<server_session>(watch_, &counters_);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!created->start(pipe_name, limits_)) {
        return false;  // stopped as before: a later start tries again
    }
    listening_name_ = pipe_name;
    scoped_critical_section hold(server_lock_);
    session_ = created;
    return true;
}

void ipc_server::stop() {
    if (is_callback_thread()) {
        log_error(L"tovi::ipc_server::stop refused: called from a callback of this server");
        return;
    }
    scoped_critical_section lifecycle(lifecycle_lock_);
    std::shared_ptr<server_session> stopping;
    {
        scoped_critical_section hold(server_lock_);
        stopping.swap(session_);
    }
    if (stopping != nullptr) {
        stopping->stop();
    }
}

bool ipc_server::send_string(const char* client_id, const char* text, int32_t length) {
    if (client_id == nullptr) {
        return false;
    }
    const std::shared_ptr<server_session> server = current();
    return server != nullptr && server->send_string(client_id, text, length);
}

bool ipc_server::send_bytestream(const char* client_id, const char* data, int32_t length) {
    if (client_id == nullptr) {
        return false;
    }
    const std::shared_ptr<server_session> server = current();
    return server != nullptr && server->send_bytestream(client_id, data, length);
}

bool ipc_server::disconnect_client(const char* client_id) {
    if (client_id == nullptr) {
        return false;
    }
    const std::shared_ptr<server_session> server = current();
    return server != nullptr && server->disconnect_client(client_id);
}

link_figures ipc_server::figures() {
    link_figures out = counters_.figures();
    if (const std::shared_ptr<server_session> server = current()) {
        server->add_links_now(&out);
    }
    return out;
}

bool ipc_server::link_figures_of(const char* client_id, link_figures* out) {
    const std::shared_ptr<server_session> server = current();
    return server != nullptr && server->link_figures_of(client_id, out);
}

bool ipc_server::run_loop_as_guest(clock::time_point deadline, const std::function<bool()>& done,
                                   std::chrono::microseconds poll_first) {
    // The session stays alive while its loop runs here; a stop meanwhile ends the run.
    const std::shared_ptr<server_session> server = current();
    return server != nullptr && server->loop().run_as_guest(deadline, done, poll_first);
}

void ipc_server::wake_loop_guest() {
    if (const std::shared_ptr<server_session> server = current()) {
        server->loop().wake_guest();
    }
}

bool ipc_server::peer_of(const char* client_id, tovi_platform::peer_identity* out) {
    const std::shared_ptr<server_session> server = current();
    return server != nullptr && server->peer_of(client_id, out);
}

}  // namespace tovi
