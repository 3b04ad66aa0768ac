// Kernel objects of the POSIX layer: what a HANDLE points to.
//
// Every handle is a pointer to a kernel_object. Objects are reference counted: the handle holds
// one reference, and so does every operation or wait of this layer that still uses the object,
// so an object outlives CloseHandle for as long as it is in use (as on Windows).
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "platform/posix/win32_posix.h"

namespace tovi_posix {

// The kinds a handle can name; listener and handshake objects are internal to the pipe code.
enum class object_kind : uint32_t {
    event,
    thread,
    pipe,
    mapping,
    mutex,
    port,
    listener,
    handshake
};

class kernel_object {
  public:
    explicit kernel_object(object_kind kind) : kind_(kind) {}
    kernel_object(const kernel_object&) = delete;
    kernel_object& operator=(const kernel_object&) = delete;

    object_kind kind() const { return kind_; }
    bool is_live() const { return magic_ == live_magic; }

    void add_ref() { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete this;
        }
    }

    // Called once, when the handle is closed, before the handle's reference goes.
    virtual void on_handle_closed() {}

    // Objects that WaitForMultipleObjects can wait on return themselves as waitable.
    virtual class waitable* as_waitable() { return nullptr; }

    // Objects that are waited on by taking ownership (mutexes) implement this instead.
    virtual DWORD wait_for_ownership(DWORD milliseconds) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }

  protected:
    virtual ~kernel_object() { magic_ = 0; }

  private:
    static constexpr uint32_t live_magic = 0x49564F54;  // "TOVI"
    uint32_t magic_ = live_magic;
    object_kind kind_;
    std::atomic<int> refs_{1};
};

// An owning reference to a kernel object.
template <class T>
class object_ref {
  public:
    object_ref() = default;
    explicit object_ref(T* adopted) : object_(adopted) {}
    object_ref(const object_ref& other) : object_(other.object_) {
        if (object_ != nullptr) {
            object_->add_ref();
        }
    }
    object_ref(object_ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    object_ref& operator=(object_ref other) {
        std::swap(object_, other.object_);
        return *this;
    }
    ~object_ref() {
        if (object_ != nullptr) {
            object_->release();
        }
    }

    // A new reference to an object that someone else keeps alive.
    static object_ref share(T* object) {
        if (object != nullptr) {
            object->add_ref();
        }
        return object_ref(object);
    }

    T* get() const { return object_; }
    T* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    T* object_ = nullptr;
};

inline HANDLE to_handle(kernel_object* object) {
    return static_cast<HANDLE>(object);
}

// The object behind a handle if it is live and of the kind asked for, else null with
// ERROR_INVALID_HANDLE.
kernel_object* object_of(HANDLE handle);
template <class T>
T* object_of(HANDLE handle, object_kind kind) {
    kernel_object* object = object_of(handle);
    if (object == nullptr || object->kind() != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return static_cast<T*>(object);
}

}  // namespace tovi_posix
