// The events interface's endpoint: reports become events for a callback or the pull queue.
#include "events_api/event_endpoint.h"

#include <cstring>
#include <new>

static_assert(tovi_events::event_queue::max_bytes == TOVIIPC_PULL_QUEUE_BYTES,
              "the header names the queue's bound");

void copy_peer(const tovi_platform::peer_identity& from, toviipc_peer* to) {
    to->process_id = from.process_id;
    to->user_id = from.user_id;
    static_assert(sizeof to->user == tovi_platform::peer_identity::user_size, "one size");
    std::memcpy(to->user, from.user, sizeof to->user);
}

toviipc_endpoint::toviipc_endpoint(toviipc_event_fn on_event, void* context)
    : on_event_(on_event), context_(context) {}

toviipc_endpoint* toviipc_endpoint::create(bool server, toviipc_event_fn on_event, void* context) {
    try {
        std::unique_ptr<toviipc_endpoint> made(new toviipc_endpoint(on_event, context));
        if (on_event == nullptr) {
            made->queue_ = std::make_unique<tovi_events::event_queue>();
            if (!made->queue_->valid()) {
                return nullptr;
            }
        }
        if (server) {
            made->server_ = std::make_unique<tovi::ipc_server>();
            made->server_->set_watch(made.get());
        } else {
            made->client_ = std::make_unique<tovi::ipc_client>();
            if (!made->client_->started()) {
                return nullptr;
            }
            // A pulling client's messages go from its loop into the queue at once; the client
            // bounds them itself (pausing its reads) until the host takes them.
            made->client_->set_watch(made.get(), on_event == nullptr);
        }
        if (made->queue_ != nullptr) {
            made->pull_on_loop();
        }
        return made.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

toviipc_endpoint::~toviipc_endpoint() {
    begin_waiting_call();  // for good
    server_.reset();
    client_.reset();
}

void toviipc_endpoint::pull_on_loop() {
    // A host thread that waits for events reads them itself: it runs the endpoint's loop.
    queue_->set_loop(
        [this](tovi::clock::time_point deadline, const std::function<bool()>& done,
               std::chrono::microseconds poll_first) {
            return server_ != nullptr ? server_->run_loop_as_guest(deadline, done, poll_first)
                                      : client_->run_loop_as_guest(deadline, done, poll_first);
        },
        [this] {
            if (tovi::ipc_server* server = server_.get()) {
                server->wake_loop_guest();
            } else if (tovi::ipc_client* client = client_.get()) {
                client->wake_loop_guest();
            }
        });
}

void toviipc_endpoint::begin_waiting_call() {
    if (queue_ != nullptr) {
        queue_->begin_unbounded();
    }
}

void toviipc_endpoint::end_waiting_call() {
    if (queue_ != nullptr) {
        queue_->end_unbounded();
    }
}

void toviipc_endpoint::report(int32_t kind, const char* client_id, const char* data, int32_t length,
                              bool is_text, const tovi_platform::peer_identity* peer,
                              bool counted) {
    if (queue_ == nullptr) {
        toviipc_peer public_peer;
        if (peer != nullptr) {
            copy_peer(*peer, &public_peer);
        }
        const toviipc_event event = {kind,
                                     is_text ? 1 : 0,
                                     client_id,
                                     data,
                                     length,
                                     0,
                                     peer != nullptr ? &public_peer : nullptr};
        on_event_(this, context_, &event);
        return;
    }
    try {
        tovi_events::queued_event event;
        event.kind = kind;
        event.is_text = is_text;
        event.client_id = client_id;
        if (data != nullptr) {
            event.data.assign(data, static_cast<size_t>(length));
        }
        if (peer != nullptr) {
            event.peer = std::make_unique<tovi_platform::peer_identity>(*peer);
        }
        event.counted = counted;
        queue_->push(std::move(event), !counted);
    } catch (const std::bad_alloc&) {
        // Out of memory: the event cannot be kept. Nothing is thrown into the library's threads.
        if (counted) {
            client_->release_received(static_cast<size_t>(length));
        }
    }
}

bool toviipc_endpoint::next_event(toviipc_event* event, int32_t timeout_ms) {
    const tovi_events::queued_event* next = queue_->pop(timeout_ms);
    if (next == nullptr) {
        return false;
    }
    const bool message = next->kind == TOVIIPC_EVENT_MESSAGE;
    if (next->counted) {
        client_->release_received(next->data.size());
    }
    if (next->peer != nullptr) {
        copy_peer(*next->peer, &pulled_peer_);
    }
    event->kind = next->kind;
    event->is_text = next->is_text ? 1 : 0;
    event->client_id = next->client_id.c_str();
    event->data = message ? next->data.c_str() : nullptr;
    event->length = message ? static_cast<tovi_int32>(next->data.size()) : 0;
    event->reserved = 0;
    event->peer = next->peer != nullptr ? &pulled_peer_ : nullptr;
    return true;
}

void toviipc_endpoint::on_recv_data(const char* client_id, const char* data, int32_t length,
                                    bool is_text) {
    report(TOVIIPC_EVENT_MESSAGE, client_id, data, length, is_text, nullptr);
}

void toviipc_endpoint::on_client_connect(const char* client_id,
                                         const tovi_platform::peer_identity& peer) {
    report(TOVIIPC_EVENT_CONNECT, client_id, nullptr, 0, false, &peer);
}

void toviipc_endpoint::on_client_disconnect(const char* client_id) {
    report(TOVIIPC_EVENT_DISCONNECT, client_id, nullptr, 0, false, nullptr);
}

void toviipc_endpoint::on_recv_data(const char* data, int32_t length, bool is_text) {
    report(TOVIIPC_EVENT_MESSAGE, "", data, length, is_text, nullptr, queue_ != nullptr);
}

void toviipc_endpoint::on_disconnect() {
    report(TOVIIPC_EVENT_DISCONNECT, "", nullptr, 0, false, nullptr);
}

void toviipc_endpoint::on_delivered() {
    if (queue_ != nullptr) {
        queue_->publish();
    }
}
