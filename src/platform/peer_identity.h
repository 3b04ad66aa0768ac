// Who is at the other end of a pipe, as the system knows it (never as the peer says).
//
// POSIX: the credentials the kernel recorded for the connected socket (SO_PEERCRED): the peer's
// process id and user id; the user is the uid in decimal. Windows: the process id from the pipe
// (GetNamedPipeClientProcessId on a server's end, GetNamedPipeServerProcessId on a client's),
// and the user's SID as a string (S-1-5-...) where this process may open the peer's process and
// its token; otherwise the user stays empty.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

namespace tovi_platform {

struct peer_identity {
    static constexpr size_t user_size = 192;  // bytes, NUL included: a SID string fits
    int64_t process_id = -1;                  // -1: unknown
    int64_t user_id = -1;                     // POSIX uid; -1 on Windows and when unknown
    char user[user_size] = {};                // "" when unknown
};

// Reads the identity of the peer of an open pipe end. peer_is_client: pipe is a server's end.
// False, leaving *out unknown, when the system cannot tell.
bool read_peer_identity(HANDLE pipe, bool peer_is_client, peer_identity* out);

}  // namespace tovi_platform
