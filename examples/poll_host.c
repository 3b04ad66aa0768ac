/*
 * A host with its own poll() loop: two ToviIPC servers and a client in one thread, with no
 * threads of its own and no globals (see echo_round.h for what they say to each other).
 *
 *   example_poll_host NAME
 */
#define _POSIX_C_SOURCE 200112L
#include <poll.h>
#include <stdio.h>

#include "echo_round.h"

int main(int argc, char** argv) {
    echo_round round;
    struct pollfd watched[ECHO_ROUND_SERVERS + 1];
    toviipc_endpoint* endpoints[ECHO_ROUND_SERVERS + 1];
    int i;
    int waits = 0;

    if (!echo_round_open(&round, argc > 1 ? argv[1] : "toviipc-example")) {
        echo_round_close(&round);
        return 1;
    }
    echo_round_endpoints(&round, endpoints);
    for (i = 0; i <= ECHO_ROUND_SERVERS; ++i) {
        watched[i].fd = toviipc_waitable_of(endpoints[i]); /* readable while events wait */
        watched[i].events = POLLIN;
    }
    while (round.done == 0 && waits < 100) { /* 100 quiet seconds at most */
        if (poll(watched, ECHO_ROUND_SERVERS + 1, 1000) == 0) {
            ++waits;
        }
        for (i = 0; i <= ECHO_ROUND_SERVERS; ++i) {
            if (watched[i].revents & POLLIN) {
                echo_round_drain(endpoints[i]);
            }
        }
    }
    echo_round_close(&round);
    return round.done == 1 ? 0 : 1;
}
