// The ready signal as a manual-reset event.
#include "platform/ready_signal.h"

#include "platform/win32.h"

namespace tovi_platform {

ready_signal::ready_signal()
    : waitable_(reinterpret_cast<intptr_t>(CreateEventW(nullptr, TRUE, FALSE, nullptr))) {}

ready_signal::~ready_signal() {
    if (valid()) {
        CloseHandle(reinterpret_cast<HANDLE>(waitable_));
    }
}

bool ready_signal::valid() const {
    return waitable_ != 0;
}

void ready_signal::set() {
    if (valid() && !set_) {
        set_ = SetEvent(reinterpret_cast<HANDLE>(waitable_)) != FALSE;
    }
}

void ready_signal::clear() {
    if (valid() && set_) {
        set_ = ResetEvent(reinterpret_cast<HANDLE>(waitable_)) == FALSE;
    }
}

}  // namespace tovi_platform
