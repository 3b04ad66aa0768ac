// The Win32 named-pipe and overlapped I/O calls.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <new>
#include <string>

#include "platform/posix/pipe_end.h"
#include "platform/posix/pipe_listener.h"
#include "platform/posix/pipe_names.h"
#include "platform/posix/text_util.h"

using namespace tovi_posix;

namespace {

constexpr DWORD default_wait_ms = 50;
constexpr int handshake_reply_ms = 5000;

pipe_end* pipe_of(HANDLE handle) {
    return object_of<pipe_end>(handle, object_kind::pipe);
}

// Connects to the server of a key and sends the request byte. Returns the socket, or -1 with
// the last error set; sets *busy when the server's backlog is full.
int open_socket(const std::string& key, char request, bool* busy) {
    *busy = false;
    const pipe_address address = address_of(key);
    const int fd = new_stream_socket();
    if (fd < 0) {
        set_error_from_errno(errno);
        return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address.address), address.length) != 0) {
        const int error = errno;
        close(fd);
        *busy = error == EAGAIN;
        SetLastError(*busy                                        ? ERROR_PIPE_BUSY
                     : (error == ECONNREFUSED || error == ENOENT) ? ERROR_FILE_NOT_FOUND
                                                                  : win32_error_from_errno(error));
        return -1;
    }
    if (!peer_is_trusted(fd) || send(fd, &request, 1, MSG_NOSIGNAL) != 1) {
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return -1;
    }
    return fd;
}

// Waits for the server's one-byte answer; 0 when the server closed, -1 on time-out.
int read_reply(int fd, int timeout_ms) {
    pollfd watch{fd, POLLIN, 0};
    for (;;) {
        const int ready = poll(&watch, 1, timeout_ms);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return -1;
        }
        char reply = 0;
        const ssize_t n = recv(fd, &reply, 1, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n == 1 ? static_cast<unsigned char>(reply) : 0;
    }
}

}  // namespace

HANDLE CreateNamedPipeW(LPCWSTR name, DWORD open_mode, DWORD, DWORD max_instances, DWORD, DWORD,
                        DWORD, LPSECURITY_ATTRIBUTES) {
    std::string key;
    if (!pipe_key_of(name, &key)) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    if ((open_mode & FILE_FLAG_OVERLAPPED) == 0 || (open_mode & PIPE_ACCESS_DUPLEX) == 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    DWORD access = 0;
    if (open_mode & PIPE_ACCESS_INBOUND)
        access |= GENERIC_READ;
    if (open_mode & PIPE_ACCESS_OUTBOUND)
        access |= GENERIC_WRITE;
    pipe_end* instance = pipe_listener::create_instance(
        key, max_instances, (open_mode & FILE_FLAG_FIRST_PIPE_INSTANCE) != 0, access);
    if (instance == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return to_handle(instance);
}

BOOL ConnectNamedPipe(HANDLE pipe, LPOVERLAPPED overlapped) {
    pipe_end* instance = pipe_of(pipe);
    return instance != nullptr ? instance->connect_named_pipe(overlapped) : FALSE;
}

BOOL WaitNamedPipeW(LPCWSTR name, DWORD timeout) {
    std::string key;
    if (!pipe_key_of(name, &key)) {
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    const DWORD wait_ms = timeout == NMPWAIT_USE_DEFAULT_WAIT ? default_wait_ms : timeout;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
        bool busy = false;
        const int fd = open_socket(key, handshake::wait_request, &busy);
        if (fd < 0 && !busy) {
            return FALSE;  // nobody serves the name, or the server refused us
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (fd < 0) {
            if (wait_ms != NMPWAIT_WAIT_FOREVER && left <= 0) {
                SetLastError(ERROR_SEM_TIMEOUT);
                return FALSE;
            }
            Sleep(1);  // the server's backlog is full: try again shortly
            continue;
        }
        const int reply = read_reply(
            fd, wait_ms == NMPWAIT_WAIT_FOREVER ? -1 : static_cast<int>(left > 0 ? left : 0));
        close(fd);
        switch (reply) {
            case handshake::instance_free:
                return TRUE;
            case handshake::denied:
                SetLastError(ERROR_ACCESS_DENIED);
                return FALSE;
            case -1:
                SetLastError(ERROR_SEM_TIMEOUT);
                return FALSE;
            default:
                SetLastError(ERROR_FILE_NOT_FOUND);
                return FALSE;
        }
    }
}

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD creation,
                   DWORD flags, HANDLE) {
    std::string key;
    if (!pipe_key_of(name, &key)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (creation != OPEN_EXISTING || (flags & FILE_FLAG_OVERLAPPED) == 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    bool busy = false;
    const int fd = open_socket(key, handshake::open_request, &busy);
    if (fd < 0) {
        return INVALID_HANDLE_VALUE;
    }
    const int reply = read_reply(fd, handshake_reply_ms);
    if (reply != handshake::accepted) {
        close(fd);
        SetLastError(reply == handshake::denied ? ERROR_ACCESS_DENIED : ERROR_PIPE_BUSY);
        return INVALID_HANDLE_VALUE;
    }
    auto* end = new (std::nothrow) pipe_end(fd, access & (GENERIC_READ | GENERIC_WRITE));
    if (end == nullptr) {
        close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    if (!end->start()) {
        const DWORD error = GetLastError();
        CloseHandle(to_handle(end));
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return to_handle(end);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read, LPOVERLAPPED overlapped) {
    pipe_end* end = pipe_of(file);
    return end != nullptr ? end->read(buffer, to_read, read, overlapped) : FALSE;
}

size_t tovi_platform::write_through(HANDLE pipe, const io_piece* pieces, size_t count,
                                    uint32_t wait_ms, const std::atomic<bool>* stop, DWORD* error) {
    pipe_end* end = object_of<pipe_end>(pipe, object_kind::pipe);
    if (end == nullptr) {
        *error = ERROR_INVALID_HANDLE;
        return 0;
    }
    return end->write_through(pieces, count, wait_ms, stop, error);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written,
               LPOVERLAPPED overlapped) {
    pipe_end* end = pipe_of(file);
    return end != nullptr ? end->write(buffer, to_write, written, overlapped) : FALSE;
}

BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
    pipe_end* end = pipe_of(file);
    return end != nullptr ? end->cancel(overlapped) : FALSE;
}

BOOL GetOverlappedResult(HANDLE, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait) {
    if (overlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ULONG_PTR status = __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE);
    if (status == STATUS_PENDING && !wait) {
        // The data may be waiting in the socket for a thread that has taken over its watch.
        kernel_object* done = object_of(overlapped->hEvent);
        waitable* target = done != nullptr ? done->as_waitable() : nullptr;
        if (target != nullptr) {
            finish_ready_io(1, &target);
            status = __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE);
        }
    }
    if (status == STATUS_PENDING) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (WaitForSingleObject(overlapped->hEvent, INFINITE) != WAIT_OBJECT_0) {
            return FALSE;
        }
        status = __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE);
    }
    if (transferred != nullptr) {
        *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    }
    switch (status) {
        case STATUS_SUCCESS:
            return TRUE;
        case STATUS_PIPE_BROKEN:
            SetLastError(ERROR_BROKEN_PIPE);
            break;
        case STATUS_CANCELLED:
            SetLastError(ERROR_OPERATION_ABORTED);
            break;
        case STATUS_PIPE_DISCONNECTED:
            SetLastError(ERROR_PIPE_NOT_CONNECTED);
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            break;
    }
    return FALSE;
}
