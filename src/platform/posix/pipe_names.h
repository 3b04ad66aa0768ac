// Where a pipe name lives on POSIX, and the one-byte handshake that opens a pipe.
//
// "\\.\pipe\NAME" (the prefix in any case) is served by a Unix domain stream socket. On Linux
// it is bound in the abstract name space at "toviipc/pipe/" followed by NAME in UTF-8 with
// ASCII letters lower-cased (pipe names are case-insensitive). A name too long for a socket
// address keeps its first 60 bytes followed by "#" and the 16 hexadecimal digits of the
// 64-bit FNV-1a hash of the whole lower-cased name. Elsewhere the same text names a socket
// file in the per-user directory /tmp/toviipc-UID/.
//
// Handshake, so that a client learns what CreateFileW and WaitNamedPipeW must report:
//   client -> server: 'C' (open an instance) or 'W' (wait until an instance is free)
//   server -> client: 'A' (accepted: from the next byte on the socket carries the pipe's
//                     data), 'B' (busy: no free instance), 'Y' (an instance is free, for 'W'),
//                     'D' (denied: another user)
// Each side checks the other's credentials: only the same user, and root, are accepted.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <string>

#include "platform/posix/win32_posix.h"

namespace tovi_posix {

namespace handshake {
constexpr char open_request = 'C';
constexpr char wait_request = 'W';
constexpr char accepted = 'A';
constexpr char busy = 'B';
constexpr char instance_free = 'Y';
constexpr char denied = 'D';
}  // namespace handshake

// The lower-cased name after the "\\.\pipe\" prefix; false when the path is no pipe name.
bool pipe_key_of(LPCWSTR path, std::string* key);

// The socket address that serves a key.
struct pipe_address {
    sockaddr_un address;
    socklen_t length;
};
pipe_address address_of(const std::string& key);

// True when the peer of a connected socket runs as this process's user or as root.
bool peer_is_trusted(int fd);

// A new non-blocking, close-on-exec stream socket, or -1.
int new_stream_socket();

}  // namespace tovi_posix
