// Manual- and auto-reset events, waitable with every other handle of the layer.
#include "platform/posix/event.h"

#include <new>

namespace tovi_posix {

void event::set() {
    std::lock_guard<std::mutex> lock(wait_lock());
    signalled_ = true;
    source_ = nullptr;
    source_fd_ = -1;
    wake_waiters();
}

void event::await_source(reactor_source* source, int fd) {
    std::lock_guard<std::mutex> lock(wait_lock());
    if (!signalled_) {
        source_ = source;
        source_fd_ = fd;
    }
}

void event::reset() {
    std::lock_guard<std::mutex> lock(wait_lock());
    signalled_ = false;
}

void signal_event(event* target) {
    if (target != nullptr) {
        target->set();
    }
}

}  // namespace tovi_posix

using namespace tovi_posix;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state, LPCWSTR name) {
    if (name != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto* created = new (std::nothrow) event(manual_reset != FALSE, initial_state != FALSE);
    if (created == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return to_handle(created);
}

BOOL SetEvent(HANDLE handle) {
    auto* target = object_of<event>(handle, object_kind::event);
    if (target == nullptr) {
        return FALSE;
    }
    target->set();
    return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
    auto* target = object_of<event>(handle, object_kind::event);
    if (target == nullptr) {
        return FALSE;
    }
    target->reset();
    return TRUE;
}
