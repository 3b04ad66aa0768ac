// The exported functions of the events interface: each checks its arguments and forwards to
// the endpoint. Nothing is thrown across them.
#include <cstring>

#include "events_api/event_endpoint.h"
#include "log/log.h"

namespace {

constexpr tovi_uint32 stats_header_bytes = 8;  // size and links: the least a caller may pass

toviipc_endpoint* make(bool server, toviipc_event_fn on_event, void* context) {
    return toviipc_endpoint::create(server, on_event, context);
}

tovi::ipc_server* server_of(toviipc_endpoint* endpoint) {
    return endpoint != nullptr ? endpoint->server() : nullptr;
}

tovi::ipc_client* client_of(toviipc_endpoint* endpoint) {
    return endpoint != nullptr ? endpoint->client() : nullptr;
}

// Copies the figures into the caller's struct as far as its size goes.
void fill_stats(const tovi::link_figures& figures, toviipc_stats* stats) {
    toviipc_stats full;
    std::memset(&full, 0, sizeof full);
    full.size = static_cast<tovi_uint32>(sizeof full);
    full.links = static_cast<tovi_uint32>(figures.links);
    full.messages_sent = figures.messages_sent;
    full.bytes_sent = figures.bytes_sent;
    full.messages_received = figures.messages_received;
    full.bytes_received = figures.bytes_received;
    full.queued_bytes = figures.queued_bytes;
    full.queued_peak_bytes = figures.queued_peak_bytes;
    full.refused_full = figures.refused_full;
    full.refused_too_large = figures.refused_too_large;
    full.heart_beats_sent = figures.heart_beats_sent;
    full.heart_beats_received = figures.heart_beats_received;
    full.ms_since_heard = figures.ms_since_heard;
    const tovi_uint32 size = stats->size < full.size ? stats->size : full.size;
    std::memcpy(stats, &full, size);
    stats->size = size;
}

}  // namespace

extern "C" {

TOVIIPC_EVENTS_API toviipc_endpoint* TOVIIPC_CALL toviipc_server_create(toviipc_event_fn on_event,
                                                                        void* context) {
    return make(true, on_event, context);
}

TOVIIPC_EVENTS_API toviipc_endpoint* TOVIIPC_CALL toviipc_client_create(toviipc_event_fn on_event,
                                                                        void* context) {
    return make(false, on_event, context);
}

TOVIIPC_EVENTS_API void TOVIIPC_CALL toviipc_release(toviipc_endpoint* endpoint) {
    if (endpoint == nullptr) {
        return;
    }
    const bool own_thread = endpoint->server() != nullptr
                                ? endpoint->server()->is_callback_thread()
                                : endpoint->client()->is_callback_thread();
    if (own_thread) {
        log_error(L"toviipc_release refused: called from a callback of this endpoint");
        return;
    }
    delete endpoint;
}

TOVIIPC_EVENTS_API void* TOVIIPC_CALL toviipc_context(const toviipc_endpoint* endpoint) {
    return endpoint != nullptr ? endpoint->context() : nullptr;
}

TOVIIPC_EVENTS_API tovi_bool TOVIIPC_CALL toviipc_init_log(toviipc_endpoint* endpoint,
                                                           const char* directory,
                                                           const char* file_name) {
    if (tovi::ipc_server* server = server_of(endpoint)) {
        return server->init_log(directory, file_name);
    }
    tovi::ipc_client* client = client_of(endpoint);
    return client != nullptr && client->init_log(directory, file_name);
}

TOVIIPC_EVENTS_API tovi_bool TOVIIPC_CALL toviipc_server_start(toviipc_endpoint* endpoint,
                                                               const char* pipe_name) {
    tovi::ipc_server* server = server_of(endpoint);
    return server != nullptr && server->start(pipe_name);
}

TOVIIPC_EVENTS_API void TOVIIPC_CALL toviipc_server_stop(toviipc_endpoint* endpoint) {
    if (tovi::ipc_server* server = server_of(endpoint)) {
        const waiting_call waiting(endpoint);
        server->stop();
    }
}

TOVIIPC_EVENTS_API tovi_bool TOVIIPC_CALL
toviipc_server_disconnect_client(toviipc_endpoint* endpoint, const char* client_id) {
    tovi::ipc_server* server = server_of(endpoint);
    return server != nullptr && server->disconnect_client(client_id);
}

TOVIIPC_EVENTS_API tovi_bool TOVIIPC_CALL toviipc_client_connect(toviipc_endpoint* endpoint,
                                                                 const char* pipe_name,
                                                                 const char* client_id) {
    tovi::ipc_client* client = client_of(endpoint);
    if (client == nullptr) {
        return 0;
    }
    const waiting_call waiting(endpoint);  // it takes the lock a report holds while it waits
    return client->connect(pipe_name, client_id);
}

TOVIIPC_EVENTS_API void TOVIIPC_CALL toviipc_client_disconnect(toviipc_endpoint* endpoint) {
    if (tovi::ipc_client* client = client_of(endpoint)) {
        const waiting_call waiting(endpoint);
        client->disconnect();
    }
}

TOVIIPC_EVENTS_API tovi_bool TOVIIPC_CALL
toviipc_client_write_shared_memory(toviipc_endpoint* endpoint, const char* data, tovi_uint32 size,
                                   const shared_memory_info* info) {
    tovi::ipc_client* client = client_of(endpoint);
    if (client == nullptr || info == nullptr) {
        return 0;
    }
    return client->write_shared_memory(data, size, info->info[0], info->info[1], info->info[2],
                                       info->info[3], info->info[4]);
}

TOVIIPC_EVENTS_API tovi_bool TOVIIPC_CALL toviipc_send_text(toviipc_endpoint* endpoint,
                                                            const char* client_id, const char* text,
                                                            tovi_int32 length) {
    if (tovi::ipc_server* server = server_of(endpoint)) {
        return server->send_string(client_id, text, length);
    }
    tovi::ipc_client* client = client_of(endpoint);
    return client != nullptr && client->send_string(text, length);
}

TOVIIPC_EVENTS_API tovi_bool TOVIIPC_CALL toviipc_send_bytes(toviipc_endpoint* endpoint,
                                                             const char* client_id,
                                                             const char* data, tovi_int32 length) {
    if (tovi::ipc_server* server = server_of(endpoint)) {
        return server->send_bytestream(client_id, data, length);
    }
    tovi::ipc_client* client = client_of(endpoint);
    return client != nullptr && client->send_bytestream(data, length);
}

TOVIIPC_EVENTS_API toviipc_waitable TOVIIPC_CALL toviipc_waitable_of(toviipc_endpoint* endpoint) {
    const intptr_t waitable =
        endpoint != nullptr && endpoint->queue() != nullptr ? endpoint->queue()->waitable() : -1;
#if defined(_WIN32)
    return waitable == -1 ? nullptr : reinterpret_cast<toviipc_waitable>(waitable);
#else
    return static_cast<toviipc_waitable>(waitable);
#endif
}

TOVIIPC_EVENTS_API tovi_int32 TOVIIPC_CALL toviipc_next_event(toviipc_endpoint* endpoint,
                                                              toviipc_event* event,
                                                              tovi_int32 timeout_ms) {
    if (endpoint == nullptr || event == nullptr || endpoint->queue() == nullptr) {
        return -1;
    }
    return endpoint->next_event(event, timeout_ms) ? 1 : 0;
}

TOVIIPC_EVENTS_API tovi_bool TOVIIPC_CALL toviipc_peer_of(toviipc_endpoint* endpoint,
                                                          const char* client_id,
                                                          toviipc_peer* peer) {
    if (peer == nullptr) {
        return 0;
    }
    tovi_platform::peer_identity found;
    bool known = false;
    if (tovi::ipc_server* server = server_of(endpoint)) {
        known = server->peer_of(client_id, &found);
    } else if (tovi::ipc_client* client = client_of(endpoint)) {
        known = client->server_identity(&found);
    }
    if (known) {
        copy_peer(found, peer);
    }
    return known;
}

TOVIIPC_EVENTS_API tovi_bool TOVIIPC_CALL toviipc_stats_of(toviipc_endpoint* endpoint,
                                                           const char* client_id,
                                                           toviipc_stats* stats) {
    if (endpoint == nullptr || stats == nullptr || stats->size < stats_header_bytes) {
        return 0;
    }
    tovi::link_figures figures;
    if (tovi::ipc_server* server = server_of(endpoint)) {
        if (client_id == nullptr) {
            figures = server->figures();
        } else if (!server->link_figures_of(client_id, &figures)) {
            return 0;
        }
    } else if (tovi::ipc_client* client = client_of(endpoint)) {
        if (client_id == nullptr) {
            figures = client->figures();
        } else if (!client->link_figures_now(&figures)) {
            return 0;
        }
    }
    fill_stats(figures, stats);
    return 1;
}

}  // extern "C"

// Unloading the library closes the log file, writing what is still pending.
static log_release_at_unload release_log;
