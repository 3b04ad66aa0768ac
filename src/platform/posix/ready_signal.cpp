// The ready signal as an eventfd: its counter is 1 while set, 0 while clear.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "platform/ready_signal.h"

namespace tovi_platform {

ready_signal::ready_signal() : waitable_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ready_signal::~ready_signal() {
    if (valid()) {
        close(static_cast<int>(waitable_));
    }
}

bool ready_signal::valid() const {
    return waitable_ >= 0;
}

void ready_signal::set() {
    if (valid() && !set_) {
        const uint64_t one = 1;
        set_ = write(static_cast<int>(waitable_), &one, sizeof one) == sizeof one;
    }
}

void ready_signal::clear() {
    if (valid() && set_) {
        uint64_t count = 0;
        set_ = read(static_cast<int>(waitable_), &count, sizeof count) != sizeof count;
    }
}

}  // namespace tovi_platform
