/*
 * A Windows host that waits in MsgWaitForMultipleObjects, as a program with a message loop
 * does: two ToviIPC servers and a client in its one thread, with no threads of its own and no
 * globals (see echo_round.h for what they say to each other).
 *
 *   example_windows_host NAME
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "echo_round.h"

int main(int argc, char** argv) {
    echo_round round;
    HANDLE waitables[ECHO_ROUND_SERVERS + 1];
    toviipc_endpoint* endpoints[ECHO_ROUND_SERVERS + 1];
    MSG message;
    DWORD woke;
    int i;
    int waits = 0;

    if (!echo_round_open(&round, argc > 1 ? argv[1] : "toviipc-example")) {
        echo_round_close(&round);
        return 1;
    }
    echo_round_endpoints(&round, endpoints);
    for (i = 0; i <= ECHO_ROUND_SERVERS; ++i) {
        waitables[i] = toviipc_waitable_of(endpoints[i]); /* signalled while events wait */
    }
    while (round.done == 0 && waits < 100) { /* 100 quiet seconds at most */
        woke =
            MsgWaitForMultipleObjects(ECHO_ROUND_SERVERS + 1, waitables, FALSE, 1000, QS_ALLINPUT);
        if (woke == WAIT_TIMEOUT) {
            ++waits;
        } else if (woke == WAIT_OBJECT_0 + ECHO_ROUND_SERVERS + 1) {
            while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageA(&message);
            }
        } else if (woke < WAIT_OBJECT_0 + ECHO_ROUND_SERVERS + 1) {
            /* Only the first ready handle is named: look at every endpoint. */
            for (i = 0; i <= ECHO_ROUND_SERVERS; ++i) {
                echo_round_drain(endpoints[i]);
            }
        }
    }
    echo_round_close(&round);
    return round.done == 1 ? 0 : 1;
}
