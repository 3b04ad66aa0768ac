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

constexpr DWORD still_active = 259;

class thread_object final : public waitable {
  public:
    explicit thread_object(std::function<DWORD()> body)
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

    DWORD exit_code() {
        std::lock_guard<std::mutex> lock(wait_lock());
        return ended_ ? exit_code_ : still_active;
    }

  private:
    static void* run(void* self_pointer) {
        auto* self = static_cast<thread_object*>(self_pointer);
        const DWORD code = self->body_();
        self->body_ = nullptr;
        {
            std::lock_guard<std::mutex> lock(wait_lock());
            self->exit_code_ = code;
            self->ended_ = true;
            self->wake_waiters();
        }
        self->release();
        return nullptr;
    }

    std::function<DWORD()> body_;
    bool ended_ = false;  // guarded by wait_lock()
    DWORD exit_code_ = still_active;
};

HANDLE start_thread(std::function<DWORD()> body) {
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

uintptr_t _beginthreadex(void*, unsigned, unsigned(__stdcall* start)(void*), void* argument,
                         unsigned, unsigned* thread_id) {
    if (thread_id != nullptr) {
        *thread_id = 0;
    }
    if (start == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return reinterpret_cast<uintptr_t>(
        start_thread([start, argument] { return static_cast<DWORD>(start(argument)); }));
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID argument,
                    DWORD, LPDWORD thread_id) {
    if (thread_id != nullptr) {
        *thread_id = 0;
    }
    if (start == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return start_thread([start, argument] { return start(argument); });
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exit_code) {
    auto* thread = object_of<thread_object>(handle, object_kind::thread);
    if (thread == nullptr || exit_code == nullptr) {
        return FALSE;
    }
    *exit_code = thread->exit_code();
    return TRUE;
}

BOOL CancelSynchronousIo(HANDLE handle) {
    if (object_of<thread_object>(handle, object_kind::thread) == nullptr) {
        return FALSE;
    }
    SetLastError(ERROR_NOT_FOUND);
    return FALSE;
}

DWORD GetCurrentProcessId(void) {
    return static_cast<DWORD>(getpid());
}

DWORD GetCurrentThreadId(void) {
    thread_local const DWORD id = static_cast<DWORD>(syscall(SYS_gettid));
    return id;
}
