// Threads with waitable handles: a detached pthread that holds a reference to its thread
// object and signals it when the start routine has returned.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <functional>
#include <new>

#include "platform/posix/waitable.h"

namespace tovi_posix {
namespace {

class thread_object final : public waitable {
  public:
    explicit thread_object(std::function<void()> body)
        : waitable(object_kind::thread), body_(std::move(body)) {}

    bool is_signalled() const override { return ended_; }

    bool start() {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        add_ref();  // the thread's own reference
        pthread_t id;
        const int error = pthread_create(&id, &attributes, &thread_object::run, this);
        pthread_attr_destroy(&attributes);
        if (error != 0) {
            release();
            return false;
        }
        return true;
    }

  private:
    static void* run(void* self_pointer) {
        auto* self = static_cast<thread_object*>(self_pointer);
        self->body_();
        self->body_ = nullptr;
        {
            std::lock_guard<std::mutex> lock(wait_lock());
            self->ended_ = true;
            self->wake_waiters();
        }
        self->release();
        return nullptr;
    }

    std::function<void()> body_;
    bool ended_ = false;  // guarded by wait_lock()
};

HANDLE start_thread(std::function<void()> body) {
    auto* thread = new (std::nothrow) thread_object(std::move(body));
    if (thread == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!thread->start()) {
        thread->release();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return to_handle(thread);
}

}  // namespace
}  // namespace tovi_posix

using namespace tovi_posix;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID argument,
                    DWORD, LPDWORD thread_id) {
    if (thread_id != nullptr) {
        *thread_id = 0;
    }
    if (start == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return start_thread([start, argument] { start(argument); });
}

DWORD GetCurrentProcessId(void) {
    return static_cast<DWORD>(getpid());
}

DWORD GetCurrentThreadId(void) {
    thread_local const DWORD id = static_cast<DWORD>(syscall(SYS_gettid));
    return id;
}
