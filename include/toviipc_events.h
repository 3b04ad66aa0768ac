/*
 * ToviIPC events: the same servers and clients as toviipc.h, for hosts with an event loop of
 * their own.
 *
 * This library (ToviIPCEvents.dll on Windows, libtoviipc_events.so elsewhere) makes the same
 * endpoints, links and messages as ToviIPC, through plain exported functions, and adds what a
 * host with its own loop needs:
 *   - a context: every event names its endpoint and carries the host's pointer given when the
 *     endpoint was made, so one set of functions serves any number of endpoints;
 *   - pulling: an endpoint made without a callback queues its events; the host waits on one
 *     waitable (a file descriptor readable while events wait; on Windows an event handle
 *     signalled while events wait) and takes them on its own thread with toviipc_next_event;
 *   - the peer's identity as the system knows it: process id and user;
 *   - statistics per link and per endpoint.
 * The peers are the same: a client of this library talks to a server of ToviIPC, and back.
 *
 * Conventions
 * -----------
 * Events. A server reports TOVIIPC_EVENT_CONNECT (a client announced itself; with its
 * identity), TOVIIPC_EVENT_MESSAGE (a text or byte stream from a client) and
 * TOVIIPC_EVENT_DISCONNECT (the client's link was removed: after every other event of that
 * link, and none of it follows). A client reports TOVIIPC_EVENT_MESSAGE and
 * TOVIIPC_EVENT_DISCONNECT (its link broke, or the server sent it away). Per link, events come
 * in arrival order.
 *
 * Callback mode (on_event given). Events arrive on the library's threads as in toviipc.h: a
 * server's connects and messages on its pipe thread, its disconnects on its task thread; a
 * client's on its task thread. Everything an event points to is valid during the call only.
 *
 * Pull mode (on_event null). Events wait in the endpoint's queue until the host takes them with
 * toviipc_next_event, one per call; what a call hands over stays valid until the next call on
 * that endpoint. The waitable is ready while events wait, and becomes clear when a call finds
 * none: a loop that waits for it and then takes events until toviipc_next_event returns 0
 * loses no wake-up and never wakes without an event. The queue holds at most
 * TOVIIPC_PULL_QUEUE_BYTES of message data (and always one message): a host that does not take its
 * events makes the links stop reading, as a slow callback does, and the peers' sends are paced by
 * the system. One thread pulls at a time.
 *
 * Threads. Every function may be called from any host thread. The sends, and a server's
 * toviipc_server_disconnect_client, may also be called from an event callback; stop,
 * disconnect and release may not (refused, with a log line: they wait for the very thread the
 * callback runs on). In pull mode none of that applies: events reach the host on its own thread.
 *
 * Results, limits, client ids and release are as in toviipc.h: a send returns 1 when its
 * message was accepted, 0 when nothing of it was sent; a released endpoint must not be used
 * again (unlike a toviipc.h handle).
 *
 * The header is C89, usable from C++ and through foreign-function interfaces (no struct is
 * passed by value).
 */
#ifndef TOVIIPC_EVENTS_H
#define TOVIIPC_EVENTS_H

/* The version, the calling convention and the base integer types. */
#include "toviipc.h"

#if defined(_WIN32)
#if defined(TOVI_BUILDING_EVENTS)
#define TOVIIPC_EVENTS_API __declspec(dllexport)
#else
#define TOVIIPC_EVENTS_API __declspec(dllimport)
#endif
#else
#if defined(TOVI_BUILDING_EVENTS)
#define TOVIIPC_EVENTS_API __attribute__((visibility("default")))
#else
#define TOVIIPC_EVENTS_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Signed and unsigned 64-bit integers. */
#if defined(_MSC_VER)
typedef __int64 tovi_int64;
typedef unsigned __int64 tovi_uint64;
#elif defined(__GNUC__)
__extension__ typedef long long tovi_int64;
__extension__ typedef unsigned long long tovi_uint64;
#else
typedef long long tovi_int64;
typedef unsigned long long tovi_uint64;
#endif

/* What a host waits on: a file descriptor (POSIX) or an event HANDLE (Windows). */
#if defined(_WIN32)
typedef void* toviipc_waitable;
#else
typedef int toviipc_waitable;
#endif

/* Opaque; owned by the library from its create until toviipc_release. */
typedef struct toviipc_endpoint toviipc_endpoint;

/* Bytes of message data an endpoint's pull queue holds before the links stop reading. */
#define TOVIIPC_PULL_QUEUE_BYTES 67108864

#define TOVIIPC_EVENT_CONNECT 1
#define TOVIIPC_EVENT_MESSAGE 2
#define TOVIIPC_EVENT_DISCONNECT 3

/* Who is at the other end of a link, from the system (never from what the peer says).
 * POSIX: the kernel's credentials of the socket; user is the uid in decimal. Windows: the
 * process id from the pipe; user is the SID of the process's user (S-1-5-...) where this
 * process may open the peer's process, else empty; user_id is -1. */
typedef struct toviipc_peer {
    tovi_int64 process_id; /* -1: unknown */
    tovi_int64 user_id;    /* -1: unknown, or Windows */
    char user[192];        /* NUL-terminated; "" when unknown */
} toviipc_peer;

typedef struct toviipc_event {
    tovi_int32 kind;          /* TOVIIPC_EVENT_... */
    tovi_int32 is_text;       /* a message: 1 for a text (data is followed by a NUL), 0 for bytes */
    const char* client_id;    /* server: the client's id, NUL-terminated; client: "" */
    const char* data;         /* a message's data, else null */
    tovi_int32 length;        /* of data */
    tovi_int32 reserved;      /* 0 */
    const toviipc_peer* peer; /* a server's connect: the client's identity; else null */
} toviipc_event;

/* Statistics. The caller sets size to sizeof(toviipc_stats) before the call; the library
 * fills the fields that fit in size and sets size to what it filled, so that a host built
 * against an older, shorter struct keeps working as the struct grows. Counters count from the
 * endpoint's creation (a link: from its connect). */
typedef struct toviipc_stats {
    tovi_uint32 size;
    tovi_uint32 links;                /* links open now (a link's own figures: 1) */
    tovi_uint64 messages_sent;        /* texts and byte streams accepted by sends */
    tovi_uint64 bytes_sent;           /* their data */
    tovi_uint64 messages_received;    /* texts and byte streams handed to the host */
    tovi_uint64 bytes_received;       /* their data */
    tovi_uint64 queued_bytes;         /* accepted and not yet written, now */
    tovi_uint64 queued_peak_bytes;    /* the most a link held at once */
    tovi_uint64 refused_full;         /* sends refused: the send queue stayed full */
    tovi_uint64 refused_too_large;    /* sends refused: the message is above the limit */
    tovi_uint64 heart_beats_sent;     /* a client's heart beats */
    tovi_uint64 heart_beats_received; /* a server's, from its clients */
    tovi_int64 ms_since_heard;        /* since the peer's last frame; -1: none yet */
} toviipc_stats;

/* Called for each event in callback mode; endpoint and context are those of the create. */
typedef void(TOVIIPC_CALL* toviipc_event_fn)(toviipc_endpoint* endpoint, void* context,
                                             const toviipc_event* event);

/* Make an endpoint: on_event null makes it pull. Null when memory or a thread runs out. */
TOVIIPC_EVENTS_API toviipc_endpoint* TOVIIPC_CALL toviipc_server_create(toviipc_event_fn on_event,
                                                                        void* context);
TOVIIPC_EVENTS_API toviipc_endpoint* TOVIIPC_CALL toviipc_client_create(toviipc_event_fn on_event,
                                                                        void* context);
/* Stops or disconnects the endpoint (as toviipc_server_stop / toviipc_client_disconnect do),
 * stops its threads and frees it; no event follows. Null does nothing. */
TOVIIPC_EVENTS_API void TOVIIPC_CALL toviipc_release(toviipc_endpoint* endpoint);
/* The context given to the create. */
TOVIIPC_EVENTS_API void* TOVIIPC_CALL toviipc_context(const toviipc_endpoint* endpoint);

/* Opens this library's log file at directory/file_name: one per process, kept apart from
 * the log of ToviIPC when a process loads both. */
TOVIIPC_EVENTS_API tovi_bool TOVIIPC_CALL toviipc_init_log(toviipc_endpoint* endpoint,
                                                           const char* directory,
                                                           const char* file_name);

/* Servers: as start, stop and disconnect_client of toviipc.h. */
TOVIIPC_EVENTS_API tovi_bool TOVIIPC_CALL toviipc_server_start(toviipc_endpoint* endpoint,
                                                               const char* pipe_name);
TOVIIPC_EVENTS_API void TOVIIPC_CALL toviipc_server_stop(toviipc_endpoint* endpoint);
TOVIIPC_EVENTS_API tovi_bool TOVIIPC_CALL
toviipc_server_disconnect_client(toviipc_endpoint* endpoint, const char* client_id);

/* Clients: as connect, disconnect and write_shared_memory of toviipc.h. */
TOVIIPC_EVENTS_API tovi_bool TOVIIPC_CALL toviipc_client_connect(toviipc_endpoint* endpoint,
                                                                 const char* pipe_name,
                                                                 const char* client_id);
TOVIIPC_EVENTS_API void TOVIIPC_CALL toviipc_client_disconnect(toviipc_endpoint* endpoint);
TOVIIPC_EVENTS_API tovi_bool TOVIIPC_CALL toviipc_client_write_shared_memory(
    toviipc_endpoint* endpoint, const char* data, tovi_uint32 size, const shared_memory_info* info);

/* Sends a NUL-terminated text (length at least 1) or length bytes. A server names the client;
 * a client passes null. */
TOVIIPC_EVENTS_API tovi_bool TOVIIPC_CALL toviipc_send_text(toviipc_endpoint* endpoint,
                                                            const char* client_id, const char* text,
                                                            tovi_int32 length);
TOVIIPC_EVENTS_API tovi_bool TOVIIPC_CALL toviipc_send_bytes(toviipc_endpoint* endpoint,
                                                             const char* client_id,
                                                             const char* data, tovi_int32 length);

/* Pull mode: the waitable (a callback-mode endpoint has none: -1, or null on Windows). Do not
 * close it, nor read from it, nor reset it: it belongs to the endpoint. */
TOVIIPC_EVENTS_API toviipc_waitable TOVIIPC_CALL toviipc_waitable_of(toviipc_endpoint* endpoint);
/* Pull mode: takes the next event into *event, waiting up to timeout_ms (0: do not wait; -1:
 * without limit). 1: an event; 0: none came in time; -1: not a pulling endpoint, or a null
 * argument. A call that may wait and finds nothing runs the endpoint's I/O on the calling
 * thread meanwhile (POSIX; on Windows the library's loop thread keeps it), so that the thread
 * that reads a message is the one that takes it; between calls the library's thread takes the
 * I/O back within 2 ms. Where the process may run on other cores too, such a call looks for 20
 * microseconds without sleeping before it sleeps. */
TOVIIPC_EVENTS_API tovi_int32 TOVIIPC_CALL toviipc_next_event(toviipc_endpoint* endpoint,
                                                              toviipc_event* event,
                                                              tovi_int32 timeout_ms);

/* The identity of a peer: a server names the client; a client passes null for its server.
 * 0 when there is no such link or the system cannot tell. */
TOVIIPC_EVENTS_API tovi_bool TOVIIPC_CALL toviipc_peer_of(toviipc_endpoint* endpoint,
                                                          const char* client_id,
                                                          toviipc_peer* peer);

/* Statistics of the endpoint (client_id null) or of one link (a server names the client; a
 * client passes "" for its link). 0 when there is no such link, or stats->size is below 8. */
TOVIIPC_EVENTS_API tovi_bool TOVIIPC_CALL toviipc_stats_of(toviipc_endpoint* endpoint,
                                                           const char* client_id,
                                                           toviipc_stats* stats);

#ifdef __cplusplus
}
#endif

#endif /* TOVIIPC_EVENTS_H */
