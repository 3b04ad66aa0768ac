/*
 * A minimal ToviIPC client: connects, sends one text, prints the server's answer, and leaves.
 *
 *   example_client NAME ID TEXT
 */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200112L
#endif
#include <stdio.h>
#include <string.h>

#include "example_signal.h"
#include "toviipc.h"

static example_signal answered;
/* Written by the callbacks; main reads them once the handle is released. */
static char answer[256];
static int have_answer;
static int server_gone;

/* On the client's task thread, one call at a time. */
static void TOVIIPC_CALL on_data(const char* data, tovi_int32 length) {
    size_t n = length < (tovi_int32)sizeof(answer) ? (size_t)length : sizeof(answer) - 1;
    memcpy(answer, data, n);
    answer[n] = '\0';
    have_answer = 1;
    example_signal_raise(&answered);
}

static void TOVIIPC_CALL on_disconnect(void) {
    server_gone = 1;
    example_signal_raise(&answered);
}

static const ipc_client_callbacks callbacks = {on_data, on_disconnect};

int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : "toviipc-example";
    const char* id = argc > 2 ? argv[2] : "example-client";
    const char* text = argc > 3 ? argv[3] : "hello";
    ipc_client_functions client;
    ipc_handle* handle;
    int connected;

    handle = create_tovi_ipc_client(&client, &callbacks);
    if (handle == NULL) {
        fprintf(stderr, "cannot create a client\n");
        return 1;
    }
    example_signal_init(&answered);
    connected = client.connect(handle, name, id);
    if (connected && client.send_string(handle, text, (tovi_int32)strlen(text))) {
        example_signal_wait(&answered, 10000);
    }
    client.disconnect(handle);
    /* Release stops the library's threads: no callback runs after it. */
    release_tovi_ipc_client(handle);
    example_signal_destroy(&answered);

    if (have_answer) {
        printf("answer: %s\n", answer);
        return 0;
    }
    if (!connected) {
        fprintf(stderr, "no server answers on %s\n", name);
    } else {
        fprintf(stderr, server_gone ? "the server went away\n" : "no answer within 10 s\n");
    }
    return 1;
}
