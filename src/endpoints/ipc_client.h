// tovi::ipc_client: the client side of the library.
//
// One instance connects to the pipe a server endpoint listens on, announces itself with a
// client id, keeps the link alive with a heart beat every 3000 ms, sends texts and byte
// streams, and writes the shared-memory block named after the pipe. Everything that arrives
// is handed from the event-loop thread to the client's own task queue: the observer is always
// called there, one event at a time, in arrival order, with the connection lock held.
//
// Threads: host threads call the operations; the event-loop thread only copies
// payloads into tasks, and sends the heart beats (a timer of the loop); the task-queue thread
// decodes, handles disconnects and calls the observer.
//
// Locks, in this order: the connection lock (held by connect, disconnect and every task, also
// while the observer runs), the heart-beat lock (the sender pointer), the current lock (a leaf
// guarding the connection pointer; the sends and the heart beat take only this one, so that a
// task may stop the heart beat while it holds the connection lock), and the block's lock (open,
// close and every write of the shared-memory block exclude each other). The event-loop thread
// takes the current lock (for a heart beat), the pause lock and the spare batches' lock, all
// leaves.
//
// Tasks know their connection by address and generation, so a task of a released connection
// is never taken for a newer connection at the same address.
//
// Bounds: the received bytes waiting in tasks are held below receive_high_water_bytes: above
// it the connection stops reading until the tasks have brought them below half of it, so the
// kernel's flow control reaches the server.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "codec/message_codec.h"
#include "codec/received_reader.h"
#include "endpoints/ipc_client_watch.h"
#include "platform/peer_identity.h"
#include "platform/win32.h"
#include "shm/shared_memory.h"
#include "transport/heart_beat_callback.h"
#include "transport/link_counters.h"
#include "transport/pipe_handler_async.h"
#include "transport/pipe_receiver.h"
#include "transport/task_queue.h"
#include "transport/timing.h"

namespace tovi {
class heart_beat_timer;
class pipe_connection;
}  // namespace tovi

namespace tovi {

class ipc_client final : public pipe_receiver, public heart_beat_callback {
  public:
    static constexpr uint64_t shared_memory_size = 31457280;  // 30 MiB of data
    static constexpr size_t receive_high_water_bytes = 64 * 1024 * 1024;

    // Starts the task-queue thread. Takes the timing in force (transport/timing.h).
    ipc_client();
    // Stops the heart beat and the task queue (queued tasks never run), releases the
    // connection without an exit notice, letting what was sent drain (bounded), stops the event
    // loop and closes the block. Not on the task-queue thread (is_callback_thread).
    ~ipc_client();
    ipc_client(const ipc_client&) = delete;
    ipc_client& operator=(const ipc_client&) = delete;

    // False when the task-queue thread could not be started.
    bool started() const { return tasks_.is_running(); }
    // True on the thread that calls the observer.
    bool is_callback_thread() const { return tasks_.is_worker_thread(); }

    // on_loop: the observer takes texts and byte streams on the event-loop thread, without
    // waiting (a pulling host's queue): they skip the task queue, and count as received until
    // the observer's owner calls release_received for them. Everything else, on_disconnect
    // included, still comes from the task queue, after the messages before it. Set before
    // connect.
    bool set_watch(ipc_client_watch* watch, bool on_loop = false);
    // size bytes of received messages are done with: reading goes on once enough are done
    // (any thread).
    void release_received(size_t size);
    bool init_log(const char* directory, const char* file_name);
    // Connects, announces the client id, starts the heart beat and opens the shared-memory
    // block. False when an argument is null, the id is empty (logged), a connection is current
    // already (logged), or no server answered within the connect wait (300 ms; logged).
    bool connect(const char* pipe_name, const char* client_id);
    // Sends the exit notice (the goodbye), closes the block, waits up to the exit-answer wait
    // (3 s) for the server to close its end, and releases the connection. No on_disconnect, unless
    // the server had sent this client away before it read the goodbye (its exit notice came
    // first): then on_disconnect reports that before disconnect returns. Returns once what the
    // sends accepted has been written (or, past the drain's limit, dropped with a log line).
    // Refused, with an error line, on the task-queue thread.
    void disconnect();
    bool send_string(const char* text, int32_t length);
    bool send_bytestream(const char* data, int32_t length);
    bool write_shared_memory(const char* data, uint32_t size, uint32_t v0, uint32_t v1, uint32_t v2,
                             uint32_t v3, uint32_t v4);

    // What the endpoint has carried, over all its connections; the bytes queued now and the
    // link's own figures from the current connection. False for link figures while not
    // connected.
    link_figures figures();
    bool link_figures_now(link_figures* out);
    // Who the server is, as the system told at connect. False while not connected.
    bool server_identity(tovi_platform::peer_identity* out);

    // A host thread that waits for a pulling host's events runs the client's event loop
    // meanwhile (pipe_handler_async::run_as_guest); wake_loop_guest makes it look at done()
    // again. Any host thread; the loop runs from the first connect until the teardown.
    bool run_loop_as_guest(clock::time_point deadline, const std::function<bool()>& done,
                           std::chrono::microseconds poll_first) {
        return loop_.run_as_guest(deadline, done, poll_first);
    }
    void wake_loop_guest() { loop_.wake_guest(); }

    bool on_pipe_recv_data(pipe_connection* connection, const char* data, int32_t length) override;
    void on_pipe_recv_done(pipe_connection* connection) override;
    void on_pipe_disconnect(pipe_connection* connection) override;
    bool on_heart_beat() override;

  private:
    void start_heart_beat();
    bool send_connect_state(int32_t state);
    bool send_state(const std::shared_ptr<pipe_connection>& connection, const std::string& id,
                    int32_t state);
    // The current connection, and a copy of the client id it was announced with.
    std::shared_ptr<pipe_connection> current(std::string* client_id);
    void stop_heart_beat();
    // True when connection (with its generation) is the current one. REQUIRES connection_lock_.
    bool is_current(const pipe_connection* connection, uint64_t generation) const;
    struct received_batch;
    // Task thread: the messages of a batch, in order, with the connection lock held (each
    // through on_message), unless the connection has been released or replaced meanwhile.
    void on_receive_task(received_batch& batch);
    void on_message(const char* payload, size_t size);
    void deliver(const char* data, int32_t length, bool is_text);
    // Loop thread, on_loop watches: hands a text or byte stream of the current connection to
    // the observer at once. False for anything else, which takes the task queue's way.
    bool deliver_now(pipe_connection* connection, const char* data, size_t size);
    // Loop thread: size more bytes wait for the observer; above the bound, reading pauses.
    void note_received(pipe_connection* connection, size_t size);
    // Counts a text or byte stream of size bytes that the link accepted (sent).
    static bool counted(pipe_connection& connection, size_t size, bool sent);
    // Batches done with are kept (spare_batch_count of them) with their room, for the next.
    static constexpr size_t spare_batch_count = 4;
    // A batch goes to the task once it holds this many bytes of small payloads, so that its
    // room is reused rather than grown.
    static constexpr size_t batch_bytes = 64 * 1024;
    std::shared_ptr<received_batch> take_spare_batch();
    void keep_spare_batch(const std::shared_ptr<received_batch>& batch);
    // answered: the link ended as the server's answer to this client's goodbye.
    void on_disconnect_task(const pipe_connection* connection, uint64_t generation, bool answered);

    const timing limits_;
    endpoint_counters counters_;  // the endpoint's: of every connection, gone or alive
    std::string client_id_;       // written under both locks
    CRITICAL_SECTION connection_lock_;
    std::mutex current_lock_;
    std::shared_ptr<pipe_connection> connection_;  // written under both locks
    bool leaving_ = false;           // written under both locks: disconnect waits for the answer
    std::condition_variable left_;   // current_lock_: connection_ was let go
    bool exit_notice_seen_ = false;  // connection_lock_: the server sent the link away
    std::atomic<ipc_client_watch*> watch_{nullptr};  // may be replaced while callbacks run
    std::atomic<bool> watch_on_loop_{false};
    message_codec::received_reader loop_reader_;  // loop thread, on_loop watches
    bool delivered_on_loop_ = false;              // loop thread: on_delivered is due
    CRITICAL_SECTION heart_beat_lock_;
    heart_beat_timer* heart_beat_ = nullptr;  // heart_beat_lock_
    CRITICAL_SECTION shm_lock_;
    shared_memory shared_memory_;              // shm_lock_
    std::shared_ptr<received_batch> pending_;  // loop thread: payloads not yet handed on
    std::mutex spare_batch_lock_;              // a leaf
    std::vector<std::shared_ptr<received_batch>> spare_batches_;  // spare_batch_lock_
    message_codec::received_reader reader_;                       // task thread
    std::atomic<size_t> received_pending_{0};
    std::mutex pause_lock_;
    std::weak_ptr<pipe_connection> paused_;    // pause_lock_: stopped reading for us
    std::atomic<bool> reading_paused_{false};  // written under pause_lock_
    pipe_handler_async loop_;
    task_queue tasks_;
};

}  // namespace tovi
