// Named mutexes: a robust, process-shared, recursive pthread mutex in a small shared file.
// A thread owns it as on Windows; the next waiter after an owner that ended without releasing
// it gets WAIT_ABANDONED and the ownership.
#include <errno.h>
#include <pthread.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "platform/posix/kernel_object.h"
#include "platform/posix/named_objects.h"
#include "platform/posix/text_util.h"

namespace tovi_posix {
namespace {

struct mutex_block {
    pthread_mutex_t mutex;
};

bool initialise_block(int fd) {
    void* memory = mmap(nullptr, sizeof(mutex_block), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) {
        return false;
    }
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    const int error = pthread_mutex_init(&static_cast<mutex_block*>(memory)->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    munmap(memory, sizeof(mutex_block));
    return error == 0;
}

class named_mutex final : public kernel_object {
  public:
    named_mutex(std::string path, int fd, mutex_block* block)
        : kernel_object(object_kind::mutex), path_(std::move(path)), fd_(fd), block_(block) {}

    DWORD wait_for_ownership(DWORD milliseconds) override {
        int result;
        if (milliseconds == 0) {
            result = pthread_mutex_trylock(&block_->mutex);
        } else if (milliseconds == INFINITE) {
            result = pthread_mutex_lock(&block_->mutex);
        } else {
            timespec deadline;
            clock_gettime(CLOCK_REALTIME, &deadline);
            deadline.tv_sec += milliseconds / 1000;
            deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
            if (deadline.tv_nsec >= 1000000000L) {
                deadline.tv_sec += 1;
                deadline.tv_nsec -= 1000000000L;
            }
            result = pthread_mutex_timedlock(&block_->mutex, &deadline);
        }
        switch (result) {
            case 0:
                return WAIT_OBJECT_0;
            case EBUSY:
            case ETIMEDOUT:
                return WAIT_TIMEOUT;
            case EOWNERDEAD:
                pthread_mutex_consistent(&block_->mutex);
                return WAIT_ABANDONED;
            default:
                set_error_from_errno(result);
                return WAIT_FAILED;
        }
    }

    BOOL release_ownership() {
        const int result = pthread_mutex_unlock(&block_->mutex);
        if (result != 0) {
            SetLastError(result == EPERM ? ERROR_NOT_OWNER : win32_error_from_errno(result));
            return FALSE;
        }
        return TRUE;
    }

  private:
    ~named_mutex() override {
        munmap(block_, sizeof(mutex_block));
        close_named_file(path_, fd_);
    }

    const std::string path_;
    const int fd_;
    mutex_block* const block_;
};

HANDLE open_mutex(LPCWSTR name, bool create, bool initial_owner) {
    std::string path;
    if (!named_object_path(named_kind::mutex, name, &path)) {
        return nullptr;
    }
    named_file file;
    if (!open_named_file(path, create, sizeof(mutex_block), &initialise_block, &file)) {
        return nullptr;
    }
    void* memory =
        mmap(nullptr, sizeof(mutex_block), PROT_READ | PROT_WRITE, MAP_SHARED, file.fd, 0);
    if (memory == MAP_FAILED) {
        set_error_from_errno(errno);
        close_named_file(path, file.fd);
        return nullptr;
    }
    auto* mutex = new (std::nothrow) named_mutex(path, file.fd, static_cast<mutex_block*>(memory));
    if (mutex == nullptr) {
        munmap(memory, sizeof(mutex_block));
        close_named_file(path, file.fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // Only the creator is given the initial ownership, as on Windows.
    if (file.created && initial_owner) {
        mutex->wait_for_ownership(INFINITE);
    }
    SetLastError(file.created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
    return to_handle(mutex);
}

}  // namespace
}  // namespace tovi_posix

using namespace tovi_posix;

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initial_owner, LPCWSTR name) {
    if (name == nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return open_mutex(name, true, initial_owner != FALSE);
}

HANDLE OpenMutexW(DWORD, BOOL, LPCWSTR name) {
    return open_mutex(name, false, false);
}

BOOL ReleaseMutex(HANDLE handle) {
    auto* mutex = object_of<named_mutex>(handle, object_kind::mutex);
    return mutex != nullptr ? mutex->release_ownership() : FALSE;
}
