// tovi::ipc_server: the server side of the library as the host sees it.
//
// A thin owner of one tovi::pipe_server: it creates the pipe server on start and destroys it on
// stop (a stopped server holds no threads or pipes), serialises the host's operations on it,
// and passes the pipe server's reports on to the host's observer.
//
// Threads and locks: host threads call the operations. The server lock guards only the session
// pointer: a send or disconnect_client copies the pointer under it and calls the session after
// releasing it, so that no lock of the endpoint is held while the session sends (a callback on
// the loop thread may call a send at the same moment). The lifecycle lock serialises start and
// stop; callbacks never take it. A session that stop takes out is stopped at once and
// destroyed when its last user lets go.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "endpoints/ipc_server_watch.h"
#include "platform/win32.h"
#include "transport/link_counters.h"
#include "transport/timing.h"

namespace tovi {

class server_session;

class ipc_server final {
  public:
    ipc_server();
    // stop. Not on a callback thread of this server (is_callback_thread).
    ~ipc_server();
    ipc_server(const ipc_server&) = delete;
    ipc_server& operator=(const ipc_server&) = delete;

    // True on the threads that call the observer.
    bool is_callback_thread();

    bool set_watch(ipc_server_watch* watch);
    bool init_log(const char* directory, const char* file_name);
    // Creates the pipe server and starts it. True only when the server listens on the name: at
    // once when it listens on it already, false (logged) when it listens on another one. A
    // failed start leaves the server stopped, ready to start again.
    bool start(const char* pipe_name);
    // Tells every client, stops and destroys the pipe server. Refused, with an error line, on
    // a callback thread of this server.
    void stop();
    bool send_string(const char* client_id, const char* text, int32_t length);
    bool send_bytestream(const char* client_id, const char* data, int32_t length);
    bool disconnect_client(const char* client_id);

    // What the endpoint has carried since it was made, with the links open now and the bytes
    // queued for them; one link's figures, and who is at its other end (false when client_id
    // is not bound).
    link_figures figures();
    bool link_figures_of(const char* client_id, link_figures* out);
    bool peer_of(const char* client_id, tovi_platform::peer_identity* out);

    // A host thread that waits for a pulling host's events runs the started server's event
    // loop meanwhile, until done() or the deadline (pipe_handler_async::run_as_guest); false
    // when it cannot (stopped, or another thread runs it). wake_loop_guest makes that thread
    // look at done() again. Any host thread.
    bool run_loop_as_guest(clock::time_point deadline, const std::function<bool()>& done,
                           std::chrono::microseconds poll_first);
    void wake_loop_guest();

  private:
    std::shared_ptr<server_session> current();

    const timing limits_;                            // those in force when it was made
    endpoint_counters counters_;                     // of every session's links, gone or alive
    std::shared_ptr<server_session> session_;        // server_lock_
    std::string listening_name_;                     // lifecycle_lock_
    std::atomic<ipc_server_watch*> watch_{nullptr};  // may be replaced while callbacks run
    CRITICAL_SECTION server_lock_;                   // a leaf
    CRITICAL_SECTION lifecycle_lock_;  // before the server lock and every lock of the pipe server
};

}  // namespace tovi
