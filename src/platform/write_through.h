// Writing a pipe straight from the caller's buffers, for large messages.
//
// An overlapped WriteFile needs its buffer until the write completes, so a library that queues
// its sends copies each message first. Where the system can take a message while the sender
// waits, the sender need not: write_through hands the pieces of one frame (the bytes the library
// encoded around a host's data, and the host's data itself) to the system from where they lie,
// in order, as the peer takes them, and returns once they are all written or the wait ran out;
// the caller copies only what is left. The POSIX layer offers it (a gather send on the socket,
// waiting for room in between); on Windows, where a pipe has no such call, can_write_through is
// false and a sender copies as before.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

namespace tovi_platform {

struct io_piece {
    const char* data;
    size_t size;
};

#if defined(_WIN32)
constexpr bool can_write_through = false;
inline size_t write_through(HANDLE, const io_piece*, size_t, uint32_t, const std::atomic<bool>*,
                            DWORD* error) {
    *error = ERROR_NOT_SUPPORTED;
    return 0;
}
#else
constexpr bool can_write_through = true;
// Writes the pieces to the pipe end, in order, as the peer takes them, waiting for room at most
// wait_ms in all, and not after *stop became true. Returns the bytes written; when fewer than
// all, *error says why: WAIT_TIMEOUT (no more room in time), ERROR_OPERATION_ABORTED (*stop),
// ERROR_NO_DATA (the peer went; the end takes no more writes), ERROR_IO_PENDING (the end has
// writes queued or under way: nothing was written), or ERROR_INVALID_HANDLE. Not while an
// overlapped write of the same end is outstanding, and the handle stays open meanwhile: the
// caller owns the end's writing for the call.
size_t write_through(HANDLE pipe, const io_piece* pieces, size_t count, uint32_t wait_ms,
                     const std::atomic<bool>* stop, DWORD* error);
#endif

}  // namespace tovi_platform
