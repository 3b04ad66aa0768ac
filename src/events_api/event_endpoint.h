// toviipc_endpoint: one server or client of the events interface, with the host's context and
// the way its events reach the host: the host's callback, or the pull queue.
//
// The endpoint owns its ipc_server or ipc_client (the same endpoints as the four exports') and
// is their observer: each report becomes one toviipc_event, handed to the callback on the
// reporting thread, or copied into the queue for the host's thread.
//
// Calls that wait for the endpoint's threads (stop, connect, disconnect, release) let the queue
// take events without waiting for room while they run (event_queue.h): those threads may be
// waiting for room that only the very host thread in the call would make by pulling.
#pragma once

#include <memory>

#include "endpoints/ipc_client.h"
#include "endpoints/ipc_client_watch.h"
#include "endpoints/ipc_server.h"
#include "endpoints/ipc_server_watch.h"
#include "events_api/event_queue.h"
#include "toviipc_events.h"

struct toviipc_endpoint final : public tovi::ipc_server_watch, public tovi::ipc_client_watch {
  public:
    // Null when memory, a thread or the waitable cannot be had.
    static toviipc_endpoint* create(bool server, toviipc_event_fn on_event, void* context);
    // Stops the endpoint's threads; no event follows.
    ~toviipc_endpoint();
    toviipc_endpoint(const toviipc_endpoint&) = delete;
    toviipc_endpoint& operator=(const toviipc_endpoint&) = delete;

    tovi::ipc_server* server() { return server_.get(); }
    tovi::ipc_client* client() { return client_.get(); }
    void* context() const { return context_; }
    tovi_events::event_queue* queue() { return queue_.get(); }

    // A call that waits for the endpoint's threads is under way (counted; any host thread).
    void begin_waiting_call();
    void end_waiting_call();

    // Pull mode: the next event into *event; what it points to lives until the next call.
    bool next_event(toviipc_event* event, int32_t timeout_ms);

    void on_recv_data(const char* client_id, const char* data, int32_t length,
                      bool is_text) override;
    void on_client_connect(const char* client_id,
                           const tovi_platform::peer_identity& peer) override;
    void on_client_disconnect(const char* client_id) override;
    void on_recv_data(const char* data, int32_t length, bool is_text) override;
    void on_disconnect() override;
    void on_delivered() override;

  private:
    toviipc_endpoint(toviipc_event_fn on_event, void* context);
    // Lets a waiting pull run the endpoint's event loop on the host's thread.
    void pull_on_loop();
    // Hands an event to the callback, or copies it into the queue.
    // counted: a pulling client's message, which the client bounds (ipc_client::set_watch)
    // until the host takes it.
    void report(int32_t kind, const char* client_id, const char* data, int32_t length, bool is_text,
                const tovi_platform::peer_identity* peer, bool counted = false);

    const toviipc_event_fn on_event_;
    void* const context_;
    std::unique_ptr<tovi_events::event_queue> queue_;  // pull mode only
    toviipc_peer pulled_peer_{};                       // the pulling thread's
    // The endpoint is destroyed before the queue: its threads push into it until they stop.
    std::unique_ptr<tovi::ipc_server> server_;
    std::unique_ptr<tovi::ipc_client> client_;
};

// For its lifetime, a call that waits for the endpoint's threads is under way.
class waiting_call {
  public:
    explicit waiting_call(toviipc_endpoint* endpoint) : endpoint_(endpoint) {
        endpoint_->begin_waiting_call();
    }
    ~waiting_call() { endpoint_->end_waiting_call(); }
    waiting_call(const waiting_call&) = delete;
    waiting_call& operator=(const waiting_call&) = delete;

  private:
    toviipc_endpoint* const endpoint_;
};

// Copies the platform's view of a peer into the public struct.
void copy_peer(const tovi_platform::peer_identity& from, toviipc_peer* to);
