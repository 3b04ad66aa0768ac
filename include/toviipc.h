/*
 * ToviIPC: messages between processes on one machine.
 *
 * A host creates a server or a client with one of the four exported functions below, which
 * fills a table of function pointers and returns an opaque handle. Every later call goes
 * through that table with the handle as first argument; every event comes back through the
 * host's own table of callbacks.
 *
 * Conventions
 * -----------
 * Threads. Table entries may be called from any host thread. Callbacks never arrive on a host
 * thread:
 *   - client: on_recv_data and on_disconnect arrive on the client's task thread, one at a
 *     time, in arrival order;
 *   - server: on_recv_data and on_client_connect arrive on the server's pipe thread (while a
 *     callback runs, no pipe I/O of that server makes progress); on_client_disconnect arrives
 *     on the server's task thread, after every other callback for that client's link has
 *     returned, and none for that link follows it.
 *
 * Pointers. Every pointer a callback receives is valid only during the call: copy what you
 * keep. Data always comes with its length; a text message is followed by a NUL, byte-stream
 * data is not. Client ids are NUL-terminated. Texts are UTF-8. The callback table given to a
 * factory is not copied: keep it alive and unchanged until the handle is released. A null
 * table, or a null entry in it, means that event is not wanted.
 *
 * Inside a callback a host may call the sends (and, on a server, disconnect_client) of the
 * same handle. It must not call disconnect (client), stop (server) or release the handle from
 * a callback of that handle: these are refused (they log an error and do nothing), because
 * they wait for the very thread the callback runs on. A callback should not block for long.
 *
 * Results. A 1 (true) from a send means the message was accepted into the link's send queue:
 * it is written in order, also when disconnect, disconnect_client, stop or release follows at
 * once (they let the queue drain first, for as long as the peer keeps taking it: until the
 * peer has taken nothing for 5 s, and at most 30 s in all), unless the link breaks. A 0 means
 * that nothing of it was sent: not connected, an empty or null message, a message above the
 * limit below, or a send queue that stayed full (see Limits). Failures are results and log lines;
 * nothing is thrown across this interface.
 *
 * Limits. A message whose frame would exceed 52,428,800 bytes (50 MiB, the largest frame any
 * receiver takes) is refused by the sender: 0, and the link stays. Each link holds at most
 * 64 MiB of accepted but unwritten messages: a send that finds no room waits for it up to 3 s
 * on a host thread, then returns 0 (the link stays); from inside a callback it returns 0 at
 * once. A host thread's send that finds more than 1 MiB unwritten first waits for the peer to
 * take the write under way (at most 50 ms without progress). A client holds at most 64 MiB of
 * received messages waiting for its callbacks; beyond that it stops reading, and the server's
 * sends are paced instead. A peer that stops reading costs its sender at most these bounds,
 * and a link that delivers any message is never dropped as silent.
 *
 * Client ids. A link speaks for one client id, the first its messages name. A server refuses a
 * client whose id another client holds, or is empty: it tells the newcomer to go away and drops
 * it, and its host hears nothing of it.
 *
 * Release. Releasing a handle stops all of its threads before it returns; no callback arrives
 * after that. A released handle stays safe to pass: every table entry then does nothing and
 * returns 0, and releasing it again does nothing. Do not release a handle while another host
 * thread is still inside one of its table entries.
 *
 * The header is C89, usable from C++ and through foreign-function interfaces.
 */
#ifndef TOVIIPC_H
#define TOVIIPC_H

/* The version of this header and of the libraries it came with (the build checks that these
 * agree with the project's version). */
#define TOVIIPC_VERSION_MAJOR 0
#define TOVIIPC_VERSION_MINOR 1
#define TOVIIPC_VERSION_PATCH 0
#define TOVIIPC_VERSION_STRING "0.1.0"

#if defined(_WIN32)
#define TOVIIPC_CALL __stdcall
#if defined(TOVI_BUILDING_LIBRARY)
#define TOVIIPC_API __declspec(dllexport)
#else
#define TOVIIPC_API __declspec(dllimport)
#endif
#else
#define TOVIIPC_CALL
#if defined(TOVI_BUILDING_LIBRARY)
#define TOVIIPC_API __attribute__((visibility("default")))
#else
#define TOVIIPC_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A one-byte boolean (0 or 1), a signed and an unsigned 32-bit integer. */
typedef unsigned char tovi_bool;
typedef int tovi_int32;
typedef unsigned int tovi_uint32;

/* Opaque; owned by the library. */
typedef struct ipc_handle ipc_handle;

/* Five values copied into the shared-memory block's header with each write; their meaning
 * belongs to the host and to the reader of the block. */
typedef struct shared_memory_info {
    tovi_uint32 info[5];
} shared_memory_info;

/* Callbacks of a client, filled by the host. */
typedef struct ipc_client_callbacks {
    /* A text or byte stream from the server. */
    void(TOVIIPC_CALL* on_recv_data)(const char* data, tovi_int32 length);
    /* The connection to the server broke, or the server sent this client away (as when its
     * id is taken). Not called after disconnect; called before disconnect returns when the
     * server had sent the client away before it read the goodbye. */
    void(TOVIIPC_CALL* on_disconnect)(void);
} ipc_client_callbacks;

/* Callbacks of a server, filled by the host. */
typedef struct ipc_server_callbacks {
    /* A text or byte stream from the client with this id. */
    void(TOVIIPC_CALL* on_recv_data)(const char* client_id, const char* data, tovi_int32 length);
    /* A client announced itself. */
    void(TOVIIPC_CALL* on_client_connect)(const char* client_id);
    /* A client's connection was removed. */
    void(TOVIIPC_CALL* on_client_disconnect)(const char* client_id);
} ipc_server_callbacks;

/* Functions of a client, filled by create_tovi_ipc_client. */
typedef struct ipc_client_functions {
    /* Opens the process's log file at directory\file_name (one log per process). */
    tovi_bool(TOVIIPC_CALL* init_log)(ipc_handle* handle, const char* directory,
                                      const char* file_name);
    /* Connects to the server listening on pipe_name and announces client_id. Waits at most
     * about 300 ms for the server, also while other clients take its free pipe instances.
     * 0 when no server answers, when already connected, or for an empty client_id. */
    tovi_bool(TOVIIPC_CALL* connect)(ipc_handle* handle, const char* pipe_name,
                                     const char* client_id);
    /* Tells the server goodbye, closes the shared-memory block, waits up to 3 s for the server
     * to close its end, and closes the pipe. Returns once what the sends accepted has been
     * written (the drain of Results: at most about 30 s; what is left then is dropped and
     * counted in the log). */
    void(TOVIIPC_CALL* disconnect)(ipc_handle* handle);
    /* Sends the NUL-terminated text (length must be at least 1; the whole text is sent). */
    tovi_bool(TOVIIPC_CALL* send_string)(ipc_handle* handle, const char* text, tovi_int32 length);
    /* Sends length bytes (at least 1). */
    tovi_bool(TOVIIPC_CALL* send_bytestream)(ipc_handle* handle, const char* data,
                                             tovi_int32 length);
    /* Writes size bytes and the five values into the shared-memory block named after the
     * pipe; open from a successful connect until disconnect. */
    tovi_bool(TOVIIPC_CALL* write_shared_memory)(ipc_handle* handle, const char* data,
                                                 tovi_uint32 size, const shared_memory_info* info);
} ipc_client_functions;

/* Functions of a server, filled by create_tovi_ipc_server. */
typedef struct ipc_server_functions {
    tovi_bool(TOVIIPC_CALL* init_log)(ipc_handle* handle, const char* directory,
                                      const char* file_name);
    /* Starts listening on pipe_name. 1 only when the server listens on that name (also when it
     * did already); 0 when another server holds the name, or this one listens on another name
     * (stop first). A failed start leaves the server stopped, ready to start again. */
    tovi_bool(TOVIIPC_CALL* start)(ipc_handle* handle, const char* pipe_name);
    /* Tells every client, lets what was sent to each drain (see Results: at most about 30 s),
     * closes every pipe and stops all threads of the server. */
    void(TOVIIPC_CALL* stop)(ipc_handle* handle);
    tovi_bool(TOVIIPC_CALL* send_string)(ipc_handle* handle, const char* client_id,
                                         const char* text, tovi_int32 length);
    tovi_bool(TOVIIPC_CALL* send_bytestream)(ipc_handle* handle, const char* client_id,
                                             const char* data, tovi_int32 length);
    /* Tells the client and drops it once what was sent to it has drained; on_client_disconnect
     * follows. Does not wait, so it may be called from a callback. */
    tovi_bool(TOVIIPC_CALL* disconnect_client)(ipc_handle* handle, const char* client_id);
} ipc_server_functions;

/* Create an endpoint: fills *functions and returns a new handle, or a null pointer when
 * functions is null or the endpoint cannot be made. callbacks may be null. */
TOVIIPC_API ipc_handle* TOVIIPC_CALL create_tovi_ipc_client(ipc_client_functions* functions,
                                                            const ipc_client_callbacks* callbacks);
TOVIIPC_API ipc_handle* TOVIIPC_CALL create_tovi_ipc_server(ipc_server_functions* functions,
                                                            const ipc_server_callbacks* callbacks);

/* Release an endpoint: runs its full teardown. The handle stays safe to pass (see above). */
TOVIIPC_API void TOVIIPC_CALL release_tovi_ipc_client(ipc_handle* handle);
TOVIIPC_API void TOVIIPC_CALL release_tovi_ipc_server(ipc_handle* handle);

#ifdef __cplusplus
}
#endif

#endif /* TOVIIPC_H */
