/* A host in C89: a server and a client in one process, through the public header only. */
#if defined(_WIN32)
#include <windows.h>
#define pause_ms(ms) Sleep(ms)
#define process_id() ((long)GetCurrentProcessId())
#else
#define _XOPEN_SOURCE 500
#include <unistd.h>
#define pause_ms(ms) usleep((ms)*1000)
#define process_id() ((long)getpid())
#endif

#include <stdio.h>
#include <string.h>

#include "toviipc.h"

static volatile int server_got_text = 0;
static volatile int server_got_connect = 0;
static volatile int client_got_answer = 0;
static char received[64];

static void TOVIIPC_CALL server_recv(const char* client_id, const char* data, tovi_int32 length) {
    if (strcmp(client_id, "c89") == 0 && length == 5 && memcmp(data, "hello", 5) == 0) {
        server_got_text = 1;
    }
}

static void TOVIIPC_CALL server_connect(const char* client_id) {
    if (strcmp(client_id, "c89") == 0) {
        server_got_connect = 1;
    }
}

static void TOVIIPC_CALL client_recv(const char* data, tovi_int32 length) {
    if (length > 0 && length < (tovi_int32)sizeof(received)) {
        memcpy(received, data, (size_t)length);
        received[length] = '\0';
        client_got_answer = 1;
    }
}

static int wait_for(volatile int* flag) {
    int waited;
    for (waited = 0; waited < 10000 && !*flag; waited += 10) {
        pause_ms(10);
    }
    return *flag;
}

int main(void) {
    ipc_server_functions server;
    ipc_client_functions client;
    ipc_server_callbacks server_callbacks;
    ipc_client_callbacks client_callbacks;
    ipc_handle* server_handle;
    ipc_handle* client_handle;
    char name[64];
    int ok = 1;

    sprintf(name, "tovi_c89_%ld", process_id());
    server_callbacks.on_recv_data = server_recv;
    server_callbacks.on_client_connect = server_connect;
    server_callbacks.on_client_disconnect = 0;
    client_callbacks.on_recv_data = client_recv;
    client_callbacks.on_disconnect = 0;

    server_handle = create_tovi_ipc_server(&server, &server_callbacks);
    client_handle = create_tovi_ipc_client(&client, &client_callbacks);
    if (server_handle == 0 || client_handle == 0) {
        return 2;
    }
    ok = ok && server.start(server_handle, name);
    ok = ok && client.connect(client_handle, name, "c89");
    ok = ok && wait_for(&server_got_connect);
    ok = ok && client.send_string(client_handle, "hello", 5);
    ok = ok && wait_for(&server_got_text);
    ok = ok && server.send_string(server_handle, "c89", "welcome", 7);
    ok = ok && wait_for(&client_got_answer) && strcmp(received, "welcome") == 0;

    client.disconnect(client_handle);
    server.stop(server_handle);
    release_tovi_ipc_client(client_handle);
    release_tovi_ipc_server(server_handle);
    /* A released handle is still safe to pass. */
    ok = ok && !client.send_string(client_handle, "late", 4);
    printf("c89 host: %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
