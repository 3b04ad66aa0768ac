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

// Maps the block of a new mutex file and initialises the mutex in it. The creator keeps this
// mapping, so that the mutex is only ever used at the address where it was initialised.
mutex_block* initialise_block(int fd) {
    void* memory = mmap(nullptr, sizeof(mutex_block), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) {
        return nullptr;
    }
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    const int error = pthread_mutex_init(&static_cast<mutex_block*>(memory)->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    if (error != 0) {
        munmap(memory, sizeof(mutex_block));
        return nullptr;
    }
    return static_cast<mutex_block*>(memory);
}

DWORD tick_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<DWORD>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
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
            // A finite wait polls: a timed lock would hide ownership taken over from a dead
            // owner from the thread sanitizer, and the library only ever tries without waiting.
            const DWORD start = tick_ms();
            while ((result = pthread_mutex_trylock(&block_->mutex)) == EBUSY &&
                   tick_ms() - start < milliseconds) {
                Sleep(1);
            }
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
        if (!owned_by_this_thread()) {
            SetLastError(ERROR_NOT_OWNER);
            return FALSE;
        }
        const int result = pthread_mutex_unlock(&block_->mutex);
        if (result != 0) {
            SetLastError(result == EPERM ? ERROR_NOT_OWNER : win32_error_from_errno(result));
            return FALSE;
        }
        return TRUE;
    }

  private:
    bool owned_by_this_thread() const {
#if defined(__GLIBC__)
        // glibc keeps the owner's thread id in the mutex; asking spares a failing unlock.
        return __atomic_load_n(&block_->mutex.__data.__owner, __ATOMIC_RELAXED) ==
               static_cast<int>(GetCurrentThreadId());
#else
        return true;  // pthread_mutex_unlock reports EPERM for a thread that is no owner
#endif
    }

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
    mutex_block* created_block = nullptr;
    const auto initialise = [&created_block](int fd) {
        if (created_block != nullptr) {
            munmap(created_block, sizeof(mutex_block));  // an earlier attempt lost the race
        }
        created_block = initialise_block(fd);
        return created_block != nullptr;
    };
    if (!open_named_file(path, create, sizeof(mutex_block), initialise, &file)) {
        if (created_block != nullptr) {
            munmap(created_block, sizeof(mutex_block));  // made, but another creator won
        }
        return nullptr;
    }
    if (!file.created && created_block != nullptr) {
        munmap(created_block, sizeof(mutex_block));
        created_block = nullptr;
    }
    void* memory = created_block != nullptr ? created_block
                                            : mmap(nullptr, sizeof(mutex_block),
                                                   PROT_READ | PROT_WRITE, MAP_SHARED, file.fd, 0);
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
