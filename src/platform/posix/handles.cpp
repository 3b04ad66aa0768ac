// Handles as reference-counted kernel objects, CloseHandle, and the per-thread last error.
#include "platform/posix/kernel_object.h"

namespace tovi_posix {

kernel_object* object_of(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto* object = static_cast<kernel_object*>(handle);
    if (!object->is_live()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object;
}

}  // namespace tovi_posix

namespace {
thread_local DWORD last_error = ERROR_SUCCESS;
}

DWORD GetLastError(void) {
    return last_error;
}

void SetLastError(DWORD code) {
    last_error = code;
}

BOOL CloseHandle(HANDLE handle) {
    tovi_posix::kernel_object* object = tovi_posix::object_of(handle);
    if (object == nullptr) {
        return FALSE;
    }
    object->on_handle_closed();
    object->release();
    return TRUE;
}
