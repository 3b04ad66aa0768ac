// The calling thread's role, and who may issue I/O.
#include "transport/thread_role.h"

#include "platform/io_threads.h"

namespace tovi {

namespace {
thread_local thread_role role = thread_role::host;
}  // namespace

thread_role this_thread_role() {
    return role;
}

void set_thread_role(thread_role value) {
    role = value;
}

bool may_issue_io() {
    return role == thread_role::event_loop || role == thread_role::task_queue ||
           tovi_platform::any_thread_may_issue_io;
}

}  // namespace tovi
