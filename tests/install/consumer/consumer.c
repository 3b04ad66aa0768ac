/*
 * Built against an installed ToviIPC: a server and a client in one process, each through its
 * own handle; the client sends "ping" and the server answers "pong". Then the client writes
 * the shared-memory block and the reader library reads it back.
 *
 *   consumer NAME
 */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200112L
#endif
#include <stdio.h>
#include <string.h>

#include "example_signal.h"
#include "toviipc.h"
#include "toviipc_shm.h"

static ipc_server_functions server;
static ipc_handle* server_handle;
static example_signal answered;
static char answer[16];

static void TOVIIPC_CALL on_server_data(const char* client_id, const char* data,
                                        tovi_int32 length) {
    if (length == 4 && memcmp(data, "ping", 4) == 0) {
        server.send_string(server_handle, client_id, "pong", 4);
    }
}

static void TOVIIPC_CALL on_client_data(const char* data, tovi_int32 length) {
    size_t n = length < (tovi_int32)sizeof(answer) ? (size_t)length : sizeof(answer) - 1;
    memcpy(answer, data, n);
    answer[n] = '\0';
    example_signal_raise(&answered);
}

static const ipc_server_callbacks server_callbacks = {on_server_data, NULL, NULL};
static const ipc_client_callbacks client_callbacks = {on_client_data, NULL};

/* Writes "block" with the values 1 to 5 through the client; 1 when the reader reads them. */
static int block_read_back(ipc_client_functions* client, ipc_handle* handle, const char* name) {
    shared_memory_info info = {{1, 2, 3, 4, 5}};
    toviipc_shm_reader* reader;
    toviipc_shm_data data;
    char buffer[16];
    int ok;
    if (!client->write_shared_memory(handle, "block", 5, &info) ||
        toviipc_shm_open(name, &reader) != TOVIIPC_SHM_OK) {
        return 0;
    }
    ok = toviipc_shm_read(reader, buffer, sizeof(buffer), &data) == TOVIIPC_SHM_OK &&
         data.length == 5 && memcmp(buffer, "block", 5) == 0 && data.info[4] == 5;
    toviipc_shm_close(reader);
    return ok;
}

int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : "toviipc-consumer";
    ipc_client_functions client;
    ipc_handle* client_handle;
    int ok = 0;

    example_signal_init(&answered);
    server_handle = create_tovi_ipc_server(&server, &server_callbacks);
    client_handle = create_tovi_ipc_client(&client, &client_callbacks);
    if (server_handle != NULL && client_handle != NULL && server.start(server_handle, name) &&
        client.connect(client_handle, name, "consumer") &&
        client.send_string(client_handle, "ping", 4)) {
        ok = example_signal_wait(&answered, 10000) && block_read_back(&client, client_handle, name);
    }
    client.disconnect(client_handle);
    release_tovi_ipc_client(client_handle);
    server.stop(server_handle);
    release_tovi_ipc_server(server_handle);
    example_signal_destroy(&answered);

    ok = ok && strcmp(answer, "pong") == 0;
    printf("%s\n", ok ? "ping answered with pong, block read back" : "no answer");
    return ok ? 0 : 1;
}
