// tovi::pipe_server: the server side of the transport.
//
// It serves one pipe name and keeps listen_instances instances waiting for clients; each
// client that connects is wrapped in a pipe_connection, kept, and its instance replaced before
// the connection is handed over, so the name is never unserved. Every payload is decoded as a
// PipeProtocol record. A connection speaks for one client id, the first its records name; an id
// is bound to one connection at most. A record naming another id, or an id that is taken, empty
// or holds a NUL, is not delivered: the connection is sent an exit notice and dropped. Texts,
// byte streams, connects and disconnects are reported to the pipe_server_watch. Clients from which
// no frame came for the heart beat's limit are dropped. The server claims its name: the first
// instance is created as the name's first instance, so start_server fails when anybody else serves
// it, and no instance accepts remote clients.
//
// Threads: caller threads run start_server, stop_server, the sends and disconnect_client; the
// event-loop thread accepts, receives and reports data and connects, counts silent connections
// at each heart beat (a timer of the loop), and takes leaving connections out; the task-queue
// thread then reports each leaving. So a disconnect report comes after every data and connect
// report of that connection has returned, and none of that connection follows it.
//
// Locks: connect_lock_ guards the connections and the client ids together, so that an id is
// never bound to a connection that is leaving; it is never held while a connection is sent to
// or closed, nor while the watch is called. heart_beat_lock_ guards the heart-beat sender. The
// two are never held together.
//
// Connections are known by address and generation, so that a task never takes a new
// connection at a recycled address for the one it was made for.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "codec/message_codec.h"
#include "platform/win32.h"
#include "transport/heart_beat_callback.h"
#include "transport/pipe_handler_async.h"
#include "transport/pipe_recv_handle.h"
#include "transport/pipe_server_watch.h"
#include "transport/task_queue.h"

namespace tovi {

class heart_beat_sender;
class pipe_connection;

class pipe_server final : public pipe_recv_handle, public heart_beat_callback {
  public:
    static constexpr uint32_t heart_beat_interval_ms = 3000;
    // Instances waiting for a client at any time, so that clients starting together each find
    // one.
    static constexpr size_t listen_instances = 4;

    // Starts the task-queue thread.
    pipe_server();
    // Stops every thread; the owner calls stop_server first.
    ~pipe_server();
    pipe_server(const pipe_server&) = delete;
    pipe_server& operator=(const pipe_server&) = delete;

    // Opens the instances of "\\.\pipe\" + name and starts the heart beat. True only when the
    // server listens on the name; false, with an error line, when the name is empty or served
    // already, or no instance can wait for a client. Once per object.
    bool start_server(const std::string& name, pipe_server_watch* watch);

    // Sends every client an exit notice, lets what was queued for each drain (bounded), stops
    // the heart beat and the event loop, and drops every connection without telling the watch.
    // Not from a callback thread of this server.
    void stop_server();

    // Send to the connection bound to client_id. False for null data, a length below 1, an
    // id that is not bound, or a frame the connection refuses (see pipe_connection). A text is
    // taken up to its NUL; its length only has to be at least 1.
    bool send_bytestream(const char* client_id, const char* data, int32_t length);
    bool send_string(const char* client_id, const char* text, int32_t length);

    // Sends the client an exit notice and drops its connection once that has been written; the
    // watch hears of it through on_client_disconnect. False when the id is not bound.
    bool disconnect_client(const char* client_id);

    // True on the threads that call the watch: the event loop and the task queue.
    bool is_callback_thread() const;

    bool on_pipe_recv_data(pipe_connection* connection, const char* data, int32_t length) override;
    void on_pipe_disconnect(pipe_connection* connection) override;
    bool on_heart_beat() override;

  private:
    class listen_instance;
    struct connection_ref {
        uintptr_t address = 0;
        uint64_t generation = 0;
        bool operator==(const connection_ref& other) const {
            return address == other.address && generation == other.generation;
        }
    };
    static connection_ref ref_of(const pipe_connection* connection);

    // Loop thread, each.
    bool add_listen_pipe(bool first_instance);
    void on_instance_event(listen_instance* instance);
    void on_instance_connected(listen_instance* instance);
    void close_instance(listen_instance* instance);

    // REQUIRES connect_lock_.
    std::shared_ptr<pipe_connection> find_connection(connection_ref connection) const;
    std::shared_ptr<pipe_connection> connection_of(std::string_view client_id) const;

    // Receiving, on the loop thread. bind_link_id holds a link to its one client id: the
    // first record binds the id it names; a record naming another id, or an id that is taken,
    // empty or holds a NUL, gets the link refused (skip). An id whose last link's leaving has
    // not been reported yet is bound only after that report: until then the link's delivery is
    // held (hold), so that the host hears one link's run of callbacks for an id after the
    // other's.
    enum class binding { handle, skip, hold };
    binding bind_link_id(pipe_connection* connection, const message_codec::message_view& view,
                         bool* newly_bound);
    // Loop thread: a leaving that a link was held for has been reported; the held links go on.
    void release_held();
    static void log_taken_id(std::string_view id);
    // The body of a message that was not read whole, with the log line of its kind when it
    // does not decode.
    bool decode_body(message_codec::message_reader::message* message);
    bool on_state(pipe_connection* connection, int32_t state, bool newly_bound);
    void on_text(const char* client_id, const char* text, size_t size);
    // declared: the byte stream's length field, which may say less or (negative) nothing.
    void on_bytes(const char* client_id, const char* data, size_t size, int32_t declared);

    // The connection bound to the id, or null.
    std::shared_ptr<pipe_connection> bound_connection(const char* client_id);
    void send_exit_notice(pipe_connection* connection);
    // Sends the exit notice and drops the link.
    void refuse(pipe_connection* connection);
    // Nothing more of the link reaches the watch; it leaves once the loop gets to it. Any
    // thread.
    void drop(pipe_connection* connection);
    // A link leaves on the loop thread (on_leave): its id is freed, its connection closed
    // once what was queued for it has drained, and the task queue reports its leaving
    // (report_leave) after every report of it made on the loop.
    void post_leave(connection_ref connection);
    void on_leave(connection_ref connection);
    void report_leave(const std::string& client_id);
    void stop_heart_beat();

    std::string pipe_name_;
    pipe_server_watch* watch_ = nullptr;
    CRITICAL_SECTION connect_lock_;
    std::map<uintptr_t, std::shared_ptr<pipe_connection>> connect_map_;  // connect_lock_
    std::map<std::string, connection_ref, std::less<>> clientid_map_;    // connect_lock_
    // Ids freed on the loop whose leaving the task thread has not reported yet, and whether a
    // newcomer's link is held for one.
    struct unreported_leave {
        size_t leaves = 0;
        bool link_held = false;
    };
    std::map<std::string, unreported_leave, std::less<>> unreported_;  // connect_lock_
    std::vector<std::shared_ptr<listen_instance>> instances_;          // loop thread
    bool closing_instances_ = false;    // loop thread: stop_server has begun
    std::string received_text_;         // loop thread: a received text, handed on NUL-terminated
    std::vector<char> received_bytes_;  // loop thread: a byte stream decoded the long way
    CRITICAL_SECTION heart_beat_lock_;
    heart_beat_sender* heart_beat_ = nullptr;  // heart_beat_lock_
    pipe_handler_async loop_;
    task_queue tasks_;
};

}  // namespace tovi
