#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>

#include "platform/posix/waitable.h"

namespace tovi_posix {

struct waiter {
    std::condition_variable wake;
    bool woken = false;
};

std::mutex& wait_lock() {
    static std::mutex* lock = new std::mutex;  // never destroyed: threads may wait during exit
    return *lock;
}

void waitable::wake_waiters() {
    for (waiter* w : waiters_) {
        w->woken = true;
        w->wake.notify_one();
    }
}

namespace {

thread_local waiter this_thread_waiter;

// Returns the lowest signalled index, or count. REQUIRES: wait_lock() held.
DWORD first_signalled(DWORD count, waitable* const* objects) {
    for (DWORD i = 0; i < count; ++i) {
        if (objects[i]->is_signalled()) {
            return i;
        }
    }
    return count;
}

}  // namespace

DWORD wait_for_objects(DWORD count, waitable* const* objects, DWORD milliseconds) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(milliseconds);
    waiter& self = this_thread_waiter;

    std::unique_lock<std::mutex> lock(wait_lock());
    DWORD index = first_signalled(count, objects);
    if (index == count && milliseconds != 0) {
        for (DWORD i = 0; i < count; ++i) {
            objects[i]->waiters_.push_back(&self);
        }
        for (;;) {
            self.woken = false;
            if (milliseconds == INFINITE) {
                self.wake.wait(lock, [&] { return self.woken; });
            } else if (!self.wake.wait_until(lock, deadline, [&] { return self.woken; })) {
                index = first_signalled(count, objects);
                break;
            }
            index = first_signalled(count, objects);
            if (index != count) {
                break;
            }
        }
        for (DWORD i = 0; i < count; ++i) {
            auto& list = objects[i]->waiters_;
            auto found = std::find(list.begin(), list.end(), &self);
            if (found != list.end()) {
                list.erase(found);
            }
        }
    }
    if (index == count) {
        return WAIT_TIMEOUT;
    }
    objects[index]->on_acquired();
    return WAIT_OBJECT_0 + index;
}

}  // namespace tovi_posix

using namespace tovi_posix;

namespace {

// References to the objects of one wait, held for its whole length.
class wait_set {
  public:
    ~wait_set() {
        for (waitable* w : objects_) {
            w->release();
        }
    }
    bool add(HANDLE handle) {
        kernel_object* object = object_of(handle);
        waitable* w = object != nullptr ? object->as_waitable() : nullptr;
        if (w == nullptr) {
            SetLastError(object != nullptr ? ERROR_NOT_SUPPORTED : ERROR_INVALID_HANDLE);
            return false;
        }
        w->add_ref();
        objects_.push_back(w);
        return true;
    }
    DWORD size() const { return static_cast<DWORD>(objects_.size()); }
    waitable* const* data() const { return objects_.data(); }

  private:
    std::vector<waitable*> objects_;
};

}  // namespace

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    kernel_object* object = object_of(handle);
    if (object == nullptr) {
        return WAIT_FAILED;
    }
    if (object->as_waitable() == nullptr) {
        return object->wait_for_ownership(milliseconds);
    }
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                             DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    if (wait_all) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return WAIT_FAILED;
    }
    wait_set set;
    for (DWORD i = 0; i < count; ++i) {
        if (!set.add(handles[i])) {
            return WAIT_FAILED;
        }
    }
    return wait_for_objects(set.size(), set.data(), milliseconds);
}

void Sleep(DWORD milliseconds) {
    timespec pause{static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0) {
    }
}
