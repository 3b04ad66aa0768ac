/*
 * ToviIPC shared-memory reader: reads the block that a ToviIPC client writes.
 *
 * A client owns a named, double-buffered shared-memory block (named after its pipe) from its
 * connect until its disconnect, and writes data with five 32-bit values into it. This library,
 * ToviIPCReader.dll on Windows and libtoviipc_reader.so elsewhere, opens such a block by name
 * in another process and copies the newest write out of it, following the block's locking
 * rules: it takes the newest slot's mutex without waiting and holds it for one copy only, so a
 * writer never waits for a reader.
 *
 * Conventions
 * -----------
 * Results. Every function but toviipc_shm_result_text returns a toviipc_shm_result; only
 * TOVIIPC_SHM_OK means it did what it says. Nothing is logged and nothing is thrown.
 *
 * Threads. A reader may be used from any thread, by one thread at a time. Do not close it
 * while another thread is inside one of these functions with it.
 *
 * Lifetime. While a reader is open the block stays in existence, also after its writer has
 * disconnected; a client that connects again on the same name then writes into it again.
 *
 * Values. The five values a read returns are those the writer gave with the data it returns.
 * A write carries at most 15,663,103 bytes (15,663,104 is the slot capacity).
 *
 * Noticing writes. The block has no notification: toviipc_shm_wait looks at its header every
 * few milliseconds. Writes that follow each other faster than that may show as one change,
 * and a change that restores the header exactly (the same values and lengths) goes unnoticed.
 *
 * The header is C89, usable from C++ and through foreign-function interfaces.
 */
#ifndef TOVIIPC_SHM_H
#define TOVIIPC_SHM_H

/* Also gives the version: TOVIIPC_VERSION_MAJOR, _MINOR, _PATCH and _STRING, which this
 * library shares. */
#include "toviipc.h"

#if defined(_WIN32)
#if defined(TOVI_BUILDING_READER)
#define TOVIIPC_SHM_API __declspec(dllexport)
#else
#define TOVIIPC_SHM_API __declspec(dllimport)
#endif
#else
#if defined(TOVI_BUILDING_READER)
#define TOVIIPC_SHM_API __attribute__((visibility("default")))
#else
#define TOVIIPC_SHM_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque; owned by the library from toviipc_shm_open until toviipc_shm_close. */
typedef struct toviipc_shm_reader toviipc_shm_reader;

typedef enum toviipc_shm_result {
    TOVIIPC_SHM_OK = 0,
    /* The block exists but nothing was written into it yet. */
    TOVIIPC_SHM_EMPTY = 1,
    /* Another reader is copying the newest write, or the writer kept replacing it during the
     * copy: try again. */
    TOVIIPC_SHM_BUSY = 2,
    /* The buffer cannot hold the newest write; nothing was copied, and the length field of
     * the toviipc_shm_data says how many bytes it needs. */
    TOVIIPC_SHM_TOO_SMALL = 3,
    /* No change within the time given. */
    TOVIIPC_SHM_TIMEOUT = 4,
    /* No block of that name exists: no client is connected on that pipe name. */
    TOVIIPC_SHM_NO_BLOCK = 5,
    /* A null pointer, an empty name, or a name longer than 230 UTF-16 units. */
    TOVIIPC_SHM_BAD_ARGUMENT = 6,
    /* The block cannot be opened or its header names data that cannot be mapped, or memory
     * ran out. */
    TOVIIPC_SHM_FAILED = 7,
    /* The block, or one of its mutexes, is not this user's own: another user owns it or may
     * change it (on POSIX also a symbolic link in its place), so its data and its locking are
     * not to be trusted. Root may read the blocks of other users. */
    TOVIIPC_SHM_REFUSED = 8
} toviipc_shm_result;

/* The block's header: the values of the newest write, the slot the writer tries next (the
 * newest data is in the other one), and the bytes last written to each slot (0: never). */
typedef struct toviipc_shm_header {
    tovi_uint32 info[5];
    tovi_uint32 next_slot;
    tovi_uint32 slot_length[2];
} toviipc_shm_header;

/* What a read copied: the five values given with the data, the slot it was in, its length. */
typedef struct toviipc_shm_data {
    tovi_uint32 info[5];
    tovi_uint32 slot;
    tovi_uint32 length;
} toviipc_shm_data;

/* Opens the block of the pipe name (UTF-8) and sets *reader. TOVIIPC_SHM_NO_BLOCK when no
 * client has it open; *reader is null after any result but TOVIIPC_SHM_OK. */
TOVIIPC_SHM_API toviipc_shm_result TOVIIPC_CALL toviipc_shm_open(const char* name,
                                                                 toviipc_shm_reader** reader);

/* Copies the newest write into buffer (capacity bytes) and fills *data. TOVIIPC_SHM_EMPTY
 * when nothing was written yet (data->info holds the header's values, length 0);
 * TOVIIPC_SHM_TOO_SMALL (data->length is the size needed; a null buffer with capacity 0 asks
 * for it); TOVIIPC_SHM_BUSY. */
TOVIIPC_SHM_API toviipc_shm_result TOVIIPC_CALL toviipc_shm_read(toviipc_shm_reader* reader,
                                                                 char* buffer, tovi_uint32 capacity,
                                                                 toviipc_shm_data* data);

/* Copies the header without taking a mutex: compare two headers to notice a new write. */
TOVIIPC_SHM_API toviipc_shm_result TOVIIPC_CALL toviipc_shm_peek(toviipc_shm_reader* reader,
                                                                 toviipc_shm_header* header);

/* Waits until the header differs from *seen, at most timeout_ms milliseconds: TOVIIPC_SHM_OK
 * with *now set to the new header, or TOVIIPC_SHM_TIMEOUT with *now set to the header as it
 * is. seen and now may point to the same header. */
TOVIIPC_SHM_API toviipc_shm_result TOVIIPC_CALL toviipc_shm_wait(toviipc_shm_reader* reader,
                                                                 const toviipc_shm_header* seen,
                                                                 tovi_uint32 timeout_ms,
                                                                 toviipc_shm_header* now);

/* Closes the reader and frees it. A null reader does nothing. */
TOVIIPC_SHM_API void TOVIIPC_CALL toviipc_shm_close(toviipc_shm_reader* reader);

/* A short English description of a result, for messages; never null. */
TOVIIPC_SHM_API const char* TOVIIPC_CALL toviipc_shm_result_text(toviipc_shm_result result);

#ifdef __cplusplus
}
#endif

#endif /* TOVIIPC_SHM_H */
