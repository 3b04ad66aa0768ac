/*
 * A minimal ToviIPC server: answers every message with "echo: " and the message, and stops
 * once its first client has left.
 *
 *   example_server NAME
 */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200112L
#endif
#include <stdio.h>
#include <string.h>

#include "example_signal.h"
#include "toviipc.h"

static ipc_server_functions server;
static ipc_handle* handle;
static example_signal client_left;

/* On the server's pipe thread; data is valid only during the call. */
static void TOVIIPC_CALL on_data(const char* client_id, const char* data, tovi_int32 length) {
    char reply[300];
    int shown = length > 200 ? 200 : (int)length;
    printf("%s says: %.*s\n", client_id, shown, data);
    fflush(stdout);
    sprintf(reply, "echo: %.*s", shown, data);
    /* Sending from inside a callback of the same handle is allowed. */
    server.send_string(handle, client_id, reply, (tovi_int32)strlen(reply));
}

static void TOVIIPC_CALL on_connect(const char* client_id) {
    printf("%s connected\n", client_id);
    fflush(stdout);
}

/* On the server's task thread. */
static void TOVIIPC_CALL on_disconnect(const char* client_id) {
    printf("%s left\n", client_id);
    fflush(stdout);
    example_signal_raise(&client_left);
}

/* The library keeps a pointer to this table: it must outlive the handle. */
static const ipc_server_callbacks callbacks = {on_data, on_connect, on_disconnect};

int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : "toviipc-example";
    int status = 0;

    handle = create_tovi_ipc_server(&server, &callbacks);
    if (handle == NULL) {
        fprintf(stderr, "cannot create a server\n");
        return 1;
    }
    example_signal_init(&client_left);
    if (!server.start(handle, name)) {
        fprintf(stderr, "cannot listen on %s: another server holds it\n", name);
        status = 1;
    } else {
        printf("listening on %s\n", name);
        fflush(stdout);
        if (!example_signal_wait(&client_left, 60000)) {
            fprintf(stderr, "no client came and left within 60 s\n");
            status = 1;
        }
        /* Never from a callback: stop and release wait for the library's threads. */
        server.stop(handle);
    }
    release_tovi_ipc_server(handle);
    example_signal_destroy(&client_left);
    return status;
}
