// tovi::server_session: one started server endpoint, from start to stop.
//
// It owns the server's transport (a pipe_server, with its event loop) and its task queue, and
// gives the frames of the links a meaning: every payload is read as a PipeProtocol record
// (codec/received_reader.h); a link speaks for one client id, the first its records name, and
// an id is bound to one link at most. A record naming another id, or an id that is taken, empty
// or holds a NUL, is not delivered: the link is sent an exit notice and dropped. Texts, byte
// streams and connects are reported to the host's observer on the event-loop thread; a link's
// leaving, on the task-queue thread, after every other report of that link. An id whose last
// link's leaving has not been reported yet is bound to a new link only after that report: until
// then the new link is held (pipe_connection::hold_delivery), so that for one id the host hears
// each link's callbacks as one run, connect ... disconnect, and runs never overlap.
//
// Threads: host threads call start, stop, the sends and disconnect_client; the event loop runs
// the link_watch calls; the task queue reports leavings. Locks: ids_lock_ guards the ids and
// the links they are bound to, together, so that an id is never bound to a link that has left;
// it is a leaf, never held while a link is sent to or the observer is called.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "endpoints/ipc_server_watch.h"
#include "platform/win32.h"
#include "transport/pipe_server.h"
#include "transport/task_queue.h"
#include "transport/timing.h"

namespace tovi {

class server_session final : public link_watch {
  public:
    // watch: the endpoint's observer, which the host may replace while callbacks run.
    // counters: the endpoint's totals, which take in every link's counts (outlive the session).
    server_session(const std::atomic<ipc_server_watch*>& watch, endpoint_counters* counters);
    // Stops the task queue, then the transport. stop first for a graceful end.
    ~server_session();
    server_session(const server_session&) = delete;
    server_session& operator=(const server_session&) = delete;

    // Listens on the name; false, with an error line, when it cannot (pipe_server.h).
    bool start(const std::string& name, const timing& limits);
    // Sends every client an exit notice, lets what was queued for each drain (bounded), and
    // drops every link without telling the observer. Not on a callback thread.
    void stop();

    // Send to the link bound to client_id. False for null data, a length below 1, an id that
    // is not bound, or a frame the link refuses (pipe_connection.h). A text is taken up to its
    // NUL; its length only has to be at least 1.
    bool send_string(const char* client_id, const char* text, int32_t length);
    bool send_bytestream(const char* client_id, const char* data, int32_t length);
    // Sends the client an exit notice and drops its link once that has been written; the
    // observer hears of it through on_client_disconnect. False when the id is not bound.
    bool disconnect_client(const char* client_id);

    // The figures of the link bound to client_id; false when the id is not bound.
    bool link_figures_of(const char* client_id, link_figures* out);
    // Who the system says is at the other end of the link bound to client_id.
    bool peer_of(const char* client_id, tovi_platform::peer_identity* out);
    // Adds the bound links and the bytes queued for them now to *out.
    void add_links_now(link_figures* out);

    // True on the threads that call the observer: the event loop and the task queue.
    bool is_callback_thread() const;
    // The event loop, for a host thread that runs it as its guest (pipe_handler_async.h).
    pipe_handler_async& loop() { return links_.loop(); }

    bool on_link_open(pipe_connection* link) override;
    bool on_link_frame(pipe_connection* link, const char* data, int32_t length) override;
    void on_link_left(pipe_connection* link) override;

  private:
    struct link_state;
    static link_state& state_of(pipe_connection* link);
    // Holds a link to its one client id. False when the record is not to be handled: refused
    // (with its log line), or held until the id's last link has been reported gone.
    bool bind_link_id(pipe_connection* link, std::string_view id, bool* newly_bound);
    static void log_taken_id(std::string_view id);
    bool on_state(pipe_connection* link, int32_t state, bool newly_bound);
    void send_exit_notice(pipe_connection& link);
    // Sends the exit notice and drops the link.
    void refuse(pipe_connection* link);
    std::shared_ptr<pipe_connection> bound_link(const char* client_id);
    // Counts a text or byte stream of size bytes that the link accepted (sent).
    static bool counted(pipe_connection& link, size_t size, bool sent);
    // Task thread: reports the leaving of client_id, then lets a link held for it go on.
    void report_leave(const std::string& client_id);
    // Loop thread: the held links go on; those whose id is still unreported are held again.
    void release_held();

    const std::atomic<ipc_server_watch*>& watch_;
    endpoint_counters* const counters_;
    CRITICAL_SECTION ids_lock_;
    std::map<std::string, std::shared_ptr<pipe_connection>, std::less<>> ids_;  // ids_lock_
    // Ids freed on the loop whose leaving the task thread has not reported yet, and whether a
    // newcomer's link is held for one.
    struct unreported_leave {
        size_t leaves = 0;
        bool link_held = false;
    };
    std::map<std::string, unreported_leave, std::less<>> unreported_;  // ids_lock_
    bool stopping_ = false;                                            // ids_lock_
    task_queue tasks_;
    pipe_server links_;  // destroyed first: its loop makes the link_watch calls
};

}  // namespace tovi
