// Waiting on an events endpoint's waitable the way a host's loop does: poll() on POSIX,
// WaitForSingleObject on Windows.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <poll.h>
#endif

#include "toviipc_events.h"

namespace tovi_test {

// True when the waitable is ready within timeout_ms.
inline bool is_ready(toviipc_waitable waitable, int timeout_ms) {
#if defined(_WIN32)
    return WaitForSingleObject(waitable, static_cast<DWORD>(timeout_ms)) == WAIT_OBJECT_0;
#else
    pollfd watched{waitable, POLLIN, 0};
    return poll(&watched, 1, timeout_ms) == 1;
#endif
}

}  // namespace tovi_test
