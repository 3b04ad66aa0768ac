// The timing that endpoints take when they are made.
#include "transport/timing.h"

#include <mutex>

namespace tovi {

namespace {
std::mutex& timing_lock() {
    static auto* lock = new std::mutex;
    return *lock;
}
timing& in_force() {
    static auto* values = new timing;
    return *values;
}
}  // namespace

timing current_timing() {
    std::lock_guard<std::mutex> hold(timing_lock());
    return in_force();
}

void set_timing(const timing& values) {
    std::lock_guard<std::mutex> hold(timing_lock());
    in_force() = values;
}

}  // namespace tovi
