/*
 * What the two event-loop examples do with their events, whatever loop waits for them.
 *
 * Two servers, "NAME-a" and "NAME-b", echo every message; one client visits each in turn: it
 * connects, sends "hello", and on the echo disconnects and goes on to the next server. The round
 * ends when the last server hears the client leave. Every endpoint pulls its events on the
 * host's one thread; each carries its own state as its context, so nothing here is global.
 */
#ifndef ECHO_ROUND_H
#define ECHO_ROUND_H

#include <stdio.h>
#include <string.h>

#include "toviipc_events.h"

#define ECHO_ROUND_SERVERS 2

typedef struct echo_round {
    toviipc_endpoint* servers[ECHO_ROUND_SERVERS];
    toviipc_endpoint* client;
    char names[ECHO_ROUND_SERVERS][200];
    int visiting; /* the server the client is with */
    int done;     /* 1: the round ended well; -1: it failed */
} echo_round;

/* The client goes to server number `which` and says hello. */
static int echo_round_visit(echo_round* round, int which) {
    round->visiting = which;
    if (!toviipc_client_connect(round->client, round->names[which], "visitor") ||
        !toviipc_send_text(round->client, NULL, "hello", 5)) {
        fprintf(stderr, "cannot reach %s\n", round->names[which]);
        return 0;
    }
    return 1;
}

static void echo_round_server_event(toviipc_endpoint* server, const toviipc_event* event) {
    echo_round* round = (echo_round*)toviipc_context(server);
    char reply[300];
    int shown;
    if (event->kind == TOVIIPC_EVENT_CONNECT) {
        printf("%s: %s connected from process %ld (user %s)\n",
               round->names[server == round->servers[1]], event->client_id,
               (long)event->peer->process_id, event->peer->user);
    } else if (event->kind == TOVIIPC_EVENT_MESSAGE) {
        shown = event->length > 200 ? 200 : (int)event->length;
        sprintf(reply, "echo: %.*s", shown, event->data);
        toviipc_send_text(server, event->client_id, reply, (tovi_int32)strlen(reply));
    } else if (event->kind == TOVIIPC_EVENT_DISCONNECT) {
        printf("%s: %s left\n", round->names[server == round->servers[1]], event->client_id);
        if (server == round->servers[ECHO_ROUND_SERVERS - 1]) {
            round->done = 1;
        }
    }
}

static void echo_round_client_event(toviipc_endpoint* client, const toviipc_event* event) {
    echo_round* round = (echo_round*)toviipc_context(client);
    if (event->kind == TOVIIPC_EVENT_MESSAGE) {
        printf("client got: %.*s\n", (int)event->length, event->data);
        /* Not a callback: the host's own thread may disconnect at once. */
        toviipc_client_disconnect(client);
        if (round->visiting + 1 < ECHO_ROUND_SERVERS &&
            !echo_round_visit(round, round->visiting + 1)) {
            round->done = -1;
        }
    } else if (event->kind == TOVIIPC_EVENT_DISCONNECT) {
        fprintf(stderr, "the server dropped the client\n");
        round->done = -1;
    }
}

/* Takes every event waiting at the endpoint: the waitable is ready again only for new ones. */
static void echo_round_drain(toviipc_endpoint* endpoint) {
    echo_round* round = (echo_round*)toviipc_context(endpoint);
    toviipc_event event;
    while (toviipc_next_event(endpoint, &event, 0) == 1) {
        if (endpoint == round->client) {
            echo_round_client_event(endpoint, &event);
        } else {
            echo_round_server_event(endpoint, &event);
        }
    }
    fflush(stdout);
}

/* Makes the endpoints (pulling: no callback) and starts the servers. */
static int echo_round_open(echo_round* round, const char* name) {
    int i;
    memset(round, 0, sizeof *round);
    for (i = 0; i < ECHO_ROUND_SERVERS; ++i) {
        sprintf(round->names[i], "%.150s-%c", name, 'a' + i);
        round->servers[i] = toviipc_server_create(NULL, round);
        if (round->servers[i] == NULL ||
            !toviipc_server_start(round->servers[i], round->names[i])) {
            fprintf(stderr, "cannot listen on %s\n", round->names[i]);
            return 0;
        }
    }
    round->client = toviipc_client_create(NULL, round);
    return round->client != NULL && echo_round_visit(round, 0);
}

/* The endpoints to wait on: the servers, then the client. */
static void echo_round_endpoints(const echo_round* round,
                                 toviipc_endpoint* endpoints[ECHO_ROUND_SERVERS + 1]) {
    int i;
    for (i = 0; i < ECHO_ROUND_SERVERS; ++i) {
        endpoints[i] = round->servers[i];
    }
    endpoints[ECHO_ROUND_SERVERS] = round->client;
}

/* Prints what the first server carried, then releases everything. */
static void echo_round_close(echo_round* round) {
    int i;
    toviipc_stats stats;
    stats.size = sizeof stats;
    if (round->servers[0] != NULL && toviipc_stats_of(round->servers[0], NULL, &stats)) {
        printf("%s: %lu received, %lu sent, %lu heart beats\n", round->names[0],
               (unsigned long)stats.messages_received, (unsigned long)stats.messages_sent,
               (unsigned long)stats.heart_beats_received);
    }
    toviipc_release(round->client);
    for (i = 0; i < ECHO_ROUND_SERVERS; ++i) {
        toviipc_release(round->servers[i]);
    }
}

#endif /* ECHO_ROUND_H */
