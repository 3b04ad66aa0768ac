/*
 * A minimal reader of the shared-memory block that ToviIPC clients write: prints the newest
 * write, then each new one, until COUNT writes were printed or none came for 10 s.
 *
 *   example_shm_reader NAME [COUNT]
 *
 * NAME is the pipe name the client connected on. Links the reader library only.
 */
#include <stdio.h>
#include <stdlib.h>

#include "toviipc_shm.h"

#define QUIET_LIMIT_MS 10000  /* how long to wait for a new write before giving up */
#define SHOWN_BYTES 64        /* how much of each write is printed */
#define BUSY_PAUSE_LIMIT 1000 /* 1 ms pauses while other readers hold the newest write */

/* Reads the newest write into *buffer, growing it to fit, and prints it. */
static toviipc_shm_result print_newest(toviipc_shm_reader* reader, char** buffer,
                                       tovi_uint32* capacity) {
    toviipc_shm_data data;
    toviipc_shm_result result;
    tovi_uint32 i;
    while ((result = toviipc_shm_read(reader, *buffer, *capacity, &data)) ==
           TOVIIPC_SHM_TOO_SMALL) {
        char* bigger = (char*)realloc(*buffer, data.length);
        if (bigger == NULL) {
            return TOVIIPC_SHM_FAILED;
        }
        *buffer = bigger;
        *capacity = data.length;
    }
    if (result == TOVIIPC_SHM_EMPTY) {
        printf("nothing written yet\n");
    } else if (result == TOVIIPC_SHM_OK) {
        printf("slot %u, values %u,%u,%u,%u,%u, %u bytes:", data.slot, data.info[0], data.info[1],
               data.info[2], data.info[3], data.info[4], data.length);
        for (i = 0; i < data.length && i < SHOWN_BYTES; ++i) {
            printf(" %02x", (unsigned char)(*buffer)[i]);
        }
        printf("\n");
    }
    fflush(stdout);
    return result;
}

int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : "toviipc-example";
    long count = argc > 2 ? atol(argv[2]) : 1;
    toviipc_shm_reader* reader;
    toviipc_shm_header seen;
    toviipc_shm_result result;
    char* buffer = NULL;
    tovi_uint32 capacity = 0;
    long printed = 0;
    int busy_pauses = 0;

    result = toviipc_shm_open(name, &reader);
    if (result != TOVIIPC_SHM_OK) {
        fprintf(stderr, "%s: %s\n", name, toviipc_shm_result_text(result));
        return 1;
    }
    toviipc_shm_peek(reader, &seen);
    for (;;) {
        result = print_newest(reader, &buffer, &capacity);
        if (result == TOVIIPC_SHM_BUSY && busy_pauses++ < BUSY_PAUSE_LIMIT) {
            /* Another reader is copying: a short pause (a wait for a change that times out). */
            toviipc_shm_wait(reader, &seen, 1, &seen);
            continue;
        }
        busy_pauses = 0;
        if (result == TOVIIPC_SHM_OK && ++printed >= count) {
            break;
        }
        if (result != TOVIIPC_SHM_OK && result != TOVIIPC_SHM_EMPTY) {
            fprintf(stderr, "%s: %s\n", name, toviipc_shm_result_text(result));
            break;
        }
        result = toviipc_shm_wait(reader, &seen, QUIET_LIMIT_MS, &seen);
        if (result != TOVIIPC_SHM_OK) {
            fprintf(stderr, "no new write within %d ms\n", QUIET_LIMIT_MS);
            break;
        }
    }
    toviipc_shm_close(reader);
    free(buffer);
    return result == TOVIIPC_SHM_OK ? 0 : 1;
}
