// I/O completion ports: the packet queue, and the pipe sockets whose I/O the waiting thread
// finishes itself.
#include "platform/posix/completion_port.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <new>

#include "platform/posix/pipe_end.h"
#include "platform/posix/text_util.h"

namespace tovi_posix {

namespace {
constexpr int events_per_pass = 64;
}  // namespace

completion_port::completion_port() : kernel_object(object_kind::port) {
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epoll_fd_ >= 0 && wake_fd_ >= 0) {
        epoll_event wake{};
        wake.events = EPOLLIN;
        wake.data.ptr = nullptr;
        if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &wake) != 0) {
            close(wake_fd_);
            wake_fd_ = -1;
        }
    }
}

completion_port::~completion_port() {
    release_retired();
    if (wake_fd_ >= 0) {
        close(wake_fd_);
    }
    if (epoll_fd_ >= 0) {
        close(epoll_fd_);
    }
}

void completion_port::post(ULONG_PTR key, LPOVERLAPPED overlapped, DWORD transferred,
                           ULONG_PTR status) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(lock_);
        packets_.push_back(OVERLAPPED_ENTRY{key, overlapped, status, transferred});
        wake = sleeping_;
        sleeping_ = false;  // one wake is enough until the waiter sleeps again
    }
    if (wake) {
        const uint64_t one = 1;
        (void)!write(wake_fd_, &one, sizeof(one));
    }
}

bool completion_port::watch(int fd, reactor_source* source, uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.ptr = source;
    source->add_ref();
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event) != 0) {
        const int error = errno;
        source->release();
        set_error_from_errno(error);
        return false;
    }
    return true;
}

void completion_port::modify(int fd, reactor_source* source, uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.ptr = source;
    epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &event);
}

void completion_port::unwatch(int fd, reactor_source* source) {
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
    std::lock_guard<std::mutex> lock(lock_);
    retired_.push_back(source);
}

void completion_port::release_retired() {
    std::vector<reactor_source*> retired;
    {
        std::lock_guard<std::mutex> lock(lock_);
        retired.swap(retired_);
    }
    for (reactor_source* source : retired) {
        source->release();
    }
}

ULONG completion_port::take(LPOVERLAPPED_ENTRY entries, ULONG count) {
    ULONG taken = 0;
    while (taken < count && !packets_.empty()) {
        entries[taken++] = packets_.front();
        packets_.pop_front();
    }
    return taken;
}

ULONG completion_port::dequeue(LPOVERLAPPED_ENTRY entries, ULONG count, DWORD milliseconds) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(milliseconds);
    epoll_event events[events_per_pass];
    for (;;) {
        int timeout_ms = 0;
        {
            std::lock_guard<std::mutex> lock(lock_);
            if (!packets_.empty()) {
                return take(entries, count);
            }
            if (milliseconds == INFINITE) {
                timeout_ms = -1;
            } else {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
                timeout_ms =
                    static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
            }
            sleeping_ = timeout_ms != 0;
        }
        const int n = epoll_wait(epoll_fd_, events, events_per_pass, timeout_ms);
        {
            std::lock_guard<std::mutex> lock(lock_);
            sleeping_ = false;
        }
        for (int i = 0; i < n; ++i) {
            auto* source = static_cast<reactor_source*>(events[i].data.ptr);
            if (source == nullptr) {
                uint64_t wakes;
                (void)!read(wake_fd_, &wakes, sizeof(wakes));
            } else {
                source->on_ready(events[i].events);
            }
        }
        release_retired();
        if (timeout_ms == 0 || (milliseconds != INFINITE && clock::now() >= deadline)) {
            std::lock_guard<std::mutex> lock(lock_);
            return take(entries, count);
        }
    }
}

}  // namespace tovi_posix

using namespace tovi_posix;

HANDLE CreateIoCompletionPort(HANDLE file, HANDLE existing_port, ULONG_PTR key, DWORD) {
    if (file == INVALID_HANDLE_VALUE) {
        if (existing_port != nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        auto* port = new (std::nothrow) completion_port;
        if (port == nullptr || !port->is_ready()) {
            if (port != nullptr) {
                port->release();
            }
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        SetLastError(ERROR_SUCCESS);
        return to_handle(port);
    }
    auto* pipe = object_of<pipe_end>(file, object_kind::pipe);
    auto* port = object_of<completion_port>(existing_port, object_kind::port);
    if (pipe == nullptr || port == nullptr) {
        SetLastError(pipe == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!pipe->associate(object_ref<completion_port>::share(port), key)) {
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return existing_port;
}

BOOL GetQueuedCompletionStatusEx(HANDLE port_handle, LPOVERLAPPED_ENTRY entries, ULONG count,
                                 PULONG removed, DWORD milliseconds, BOOL) {
    auto* port = object_of<completion_port>(port_handle, object_kind::port);
    if (port == nullptr || entries == nullptr || count == 0 || removed == nullptr) {
        SetLastError(port == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto keep = object_ref<completion_port>::share(port);  // for the length of the wait
    *removed = port->dequeue(entries, count, milliseconds);
    if (*removed == 0) {
        SetLastError(WAIT_TIMEOUT);
        return FALSE;
    }
    return TRUE;
}

BOOL PostQueuedCompletionStatus(HANDLE port_handle, DWORD transferred, ULONG_PTR key,
                                LPOVERLAPPED overlapped) {
    auto* port = object_of<completion_port>(port_handle, object_kind::port);
    if (port == nullptr) {
        return FALSE;
    }
    port->post(key, overlapped, transferred, STATUS_SUCCESS);
    return TRUE;
}

BOOL SetFileCompletionNotificationModes(HANDLE file, UCHAR flags) {
    auto* pipe = object_of<pipe_end>(file, object_kind::pipe);
    if (pipe == nullptr) {
        return FALSE;
    }
    pipe->set_skip_on_success((flags & FILE_SKIP_COMPLETION_PORT_ON_SUCCESS) != 0);
    return TRUE;
}
