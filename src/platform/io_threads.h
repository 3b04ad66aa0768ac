// Which threads may issue a pipe's overlapped operations.
//
// On Windows the result of a pending operation is written back in the context of the thread
// that issued it. A thread of the host may end, or sit in its own code, before that happens:
// under Wine the port then reports a write whose result is not there yet
// (ERROR_IO_INCOMPLETE). So there only the library's long-lived threads, which wait in the
// system, issue them. The POSIX layer finishes every pending operation on the port's own
// waiting thread, whichever thread issued it.
#pragma once

namespace tovi_platform {

#if defined(_WIN32)
constexpr bool any_thread_may_issue_io = false;
#else
constexpr bool any_thread_may_issue_io = true;
#endif

}  // namespace tovi_platform
