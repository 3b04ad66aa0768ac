// The identity of a pipe's peer from the socket's credentials.
#include "platform/peer_identity.h"

#include <cstdio>

#include "platform/posix/pipe_end.h"

bool tovi_platform::read_peer_identity(HANDLE pipe, bool, peer_identity* out) {
    *out = peer_identity();
    auto* end = tovi_posix::object_of<tovi_posix::pipe_end>(pipe, tovi_posix::object_kind::pipe);
    pid_t pid = 0;
    uid_t uid = 0;
    if (end == nullptr || !end->peer_credentials(&pid, &uid)) {
        return false;
    }
    out->process_id = pid;
    out->user_id = uid;
    std::snprintf(out->user, sizeof out->user, "%lu", static_cast<unsigned long>(uid));
    return true;
}
