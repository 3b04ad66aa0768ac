// One connected end of a named pipe: overlapped reads and writes on its socket, finished at
// once when they can be and in order when the socket becomes ready.
#include "platform/posix/pipe_end.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <new>

#include "platform/posix/pipe_listener.h"
#include "platform/posix/pipe_names.h"

namespace tovi_posix {

namespace {
constexpr size_t inbox_size = 64 * 1024;
}  // namespace

pipe_end::pipe_end(int connected_fd, DWORD access)
    : reactor_source(object_kind::pipe), access_(access), fd_(connected_fd) {}

pipe_end::pipe_end(object_ref<pipe_listener> listener, DWORD access)
    : reactor_source(object_kind::pipe), access_(access), listener_(std::move(listener)) {}

pipe_end::~pipe_end() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool pipe_end::start() {
    std::lock_guard<std::mutex> lock(io_lock_);
    register_socket();
    return registered_;
}

bool pipe_end::associate(object_ref<completion_port> port, ULONG_PTR key) {
    std::lock_guard<std::mutex> lock(io_lock_);
    if (port_ || closed_) {
        SetLastError(closed_ ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return false;
    }
    const bool was_registered = registered_;
    unregister_socket();
    port_ = std::move(port);
    port_key_ = key;
    if (was_registered) {
        register_socket();  // a socket that is ready already is reported by the port at once
    }
    return true;
}

void pipe_end::set_skip_on_success(bool skip) {
    std::lock_guard<std::mutex> lock(io_lock_);
    skip_on_success_ = skip;
}

void pipe_end::register_socket() {
    watched_ = interest();
    registered_ = port_ ? port_->watch(fd_, this, watched_) : reactor::add(fd_, this, watched_);
}

void pipe_end::unregister_socket() {
    if (registered_) {
        if (port_) {
            port_->unwatch(fd_, this);
        } else {
            reactor::remove(fd_, this);
        }
        registered_ = false;
    }
}

void pipe_end::update_interest() {
    // A side that becomes watched and is ready already is reported at once: data that arrived
    // while a waiting thread had the watch, room that opened after the last send.
    if (registered_ && fd_ >= 0 && interest() != watched_) {
        watched_ = interest();
        if (port_) {
            port_->modify(fd_, this, watched_);
        } else {
            reactor::modify(fd_, this, watched_);
        }
    }
}

void pipe_end::set_polled(bool polled) {
    std::lock_guard<std::mutex> lock(io_lock_);
    pollers_ += polled ? 1 : -1;
    update_interest();
}

bool pipe_end::begin(LPOVERLAPPED overlapped, op_kind kind, void* buffer, DWORD size,
                     operation* op) {
    if (overlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);  // overlapped calls only
        return false;
    }
    // A record needs an event unless its completion goes to a port.
    event* done = overlapped->hEvent != nullptr || !port_
                      ? object_of<event>(overlapped->hEvent, object_kind::event)
                      : nullptr;
    if (done == nullptr && !(port_ && overlapped->hEvent == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (done != nullptr) {
        done->reset();
    }
    overlapped->InternalHigh = 0;
    __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(STATUS_PENDING),
                     __ATOMIC_RELEASE);
    *op = operation{kind, overlapped, object_ref<event>::share(done), static_cast<char*>(buffer),
                    size, 0};
    return true;
}

void pipe_end::complete(operation& op, DWORD status, bool at_once) {
    // The record may be reused as soon as Internal leaves STATUS_PENDING: nothing of it is
    // touched after that store (the packet carries its address only).
    LPOVERLAPPED record = op.overlapped;
    record->InternalHigh = op.transferred;
    __atomic_store_n(&record->Internal, static_cast<ULONG_PTR>(status), __ATOMIC_RELEASE);
    if (op.done) {
        op.done->set();
    }
    if (port_ && !(at_once && skip_on_success_)) {
        port_->post(port_key_, record, op.transferred, status);
    }
}

void pipe_end::fail_all(std::deque<operation>& queue, DWORD status) {
    for (operation& op : queue) {
        complete(op, status);
    }
    queue.clear();
}

BOOL pipe_end::read(LPVOID buffer, DWORD size, LPDWORD transferred, LPOVERLAPPED overlapped) {
    if ((access_ & GENERIC_READ) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(io_lock_);
    if (closed_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!connected()) {
        SetLastError(ERROR_PIPE_LISTENING);
        return FALSE;
    }
    operation op;
    if (!begin(overlapped, op_kind::read, buffer, size, &op)) {
        return FALSE;
    }
    // The end of the stream is seen only with an empty inbox. A socket found empty is not asked
    // again until it reports that data came: the read waits for that at once.
    if (reads_.empty() && !peer_gone_ && (has_inbox_bytes() || !quiet_)) {
        for (;;) {
            const ssize_t n = size == 0 ? 0 : receive(static_cast<char*>(buffer), size);
            if (n > 0 || size == 0) {
                op.transferred = static_cast<DWORD>(n);
                complete(op, STATUS_SUCCESS, true);
                if (transferred != nullptr) {
                    *transferred = op.transferred;
                }
                return TRUE;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n == 0 || errno != EAGAIN) {
                peer_gone_ = true;
            }
            break;
        }
    }
    if (peer_gone_) {
        // As on Windows: the call fails at once, and no completion follows.
        __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(STATUS_PIPE_BROKEN),
                         __ATOMIC_RELEASE);
        SetLastError(ERROR_BROKEN_PIPE);
        return FALSE;
    }
    if (op.done && !port_) {
        // A thread that waits on the event may finish the read itself (see waitable.h).
        op.done->await_source(this, fd_);
    }
    reads_.push_back(op);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL pipe_end::write(LPCVOID buffer, DWORD size, LPDWORD transferred, LPOVERLAPPED overlapped) {
    if ((access_ & GENERIC_WRITE) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::unique_lock<std::mutex> lock(io_lock_);
    if (closed_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!connected()) {
        SetLastError(ERROR_PIPE_LISTENING);
        return FALSE;
    }
    if (write_broken_) {
        SetLastError(ERROR_NO_DATA);
        return FALSE;
    }
    operation op;
    if (!begin(overlapped, op_kind::write, const_cast<void*>(buffer), size, &op)) {
        return FALSE;
    }
    if (writes_.empty() && !sending_) {
        const int error = send_unlocked(lock, op);
        return finish_first_write(op, error, transferred);
    }
    writes_.push_back(op);
    update_interest();
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

namespace {
// Sends what is left of a write while the socket takes it: 0 once it is all sent (at once for
// an empty write), else the errno that stopped it.
int send_rest(int fd, const char* buffer, DWORD size, DWORD* transferred) {
    while (*transferred < size) {
        const ssize_t n =
            send(fd, buffer + *transferred, size - *transferred, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            *transferred += static_cast<DWORD>(n);
        } else if (n < 0 && errno != EINTR) {
            return errno;
        }
    }
    return 0;
}
}  // namespace

int pipe_end::send_unlocked(std::unique_lock<std::mutex>& lock, operation& op) {
    sending_ = true;
    const int fd = fd_;
    lock.unlock();
    const int error = send_rest(fd, op.buffer, op.size, &op.transferred);
    lock.lock();
    sending_ = false;
    return error;
}

BOOL pipe_end::finish_first_write(operation& op, int error, LPDWORD transferred) {
    if (error == 0) {
        complete(op, STATUS_SUCCESS, true);
        if (transferred != nullptr) {
            *transferred = op.size;
        }
        drain_writes();  // those queued behind it meanwhile
        update_interest();
        return TRUE;
    }
    if (error == EAGAIN) {
        writes_.push_front(op);  // ahead of any queued meanwhile
        if (ready_while_sending_) {
            drain_writes();  // the room reported meanwhile is not reported again
        }
        update_interest();
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    write_broken_ = true;
    if (op.transferred == 0) {
        // Nothing was written: the call fails at once and the event stays reset.
        __atomic_store_n(&op.overlapped->Internal, static_cast<ULONG_PTR>(STATUS_PIPE_BROKEN),
                         __ATOMIC_RELEASE);
    } else {
        complete(op, STATUS_PIPE_BROKEN);
    }
    fail_all(writes_, STATUS_PIPE_BROKEN);
    update_interest();
    SetLastError(op.transferred == 0 ? ERROR_NO_DATA : ERROR_IO_PENDING);
    return FALSE;
}

namespace {

// Sends the pieces from offset on: the bytes sent, or -1 with errno set (EAGAIN: the socket is
// full, or its send time-out passed). flags: MSG_DONTWAIT for what the socket takes at once.
ssize_t send_pieces(int fd, const tovi_platform::io_piece* pieces, size_t count, size_t offset,
                    int flags) {
    constexpr size_t most_pieces = 8;
    iovec vectors[most_pieces];
    size_t used = 0;
    for (size_t i = 0; i < count && used < most_pieces; ++i) {
        if (offset >= pieces[i].size) {
            offset -= pieces[i].size;
            continue;
        }
        vectors[used].iov_base = const_cast<char*>(pieces[i].data + offset);
        vectors[used].iov_len = pieces[i].size - offset;
        offset = 0;
        ++used;
    }
    msghdr message{};
    message.msg_iov = vectors;
    message.msg_iovlen = used;
    return sendmsg(fd, &message, flags | MSG_NOSIGNAL);
}

}  // namespace

bool pipe_end::prepare_blocking_sends(uint32_t wait_ms) {
    // Every other call on the socket says MSG_DONTWAIT itself, so the socket may block: a send
    // that waits for room then waits in the kernel, as the peer takes, without a return here
    // for every bufferful.
    if (!blocking_sends_) {
        const int flags = fcntl(fd_, F_GETFL);
        if (flags < 0 || fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            return false;
        }
        blocking_sends_ = true;
    }
    if (send_timeout_ms_ != wait_ms) {
        timeval timeout{static_cast<time_t>(wait_ms / 1000),
                        static_cast<suseconds_t>(wait_ms % 1000) * 1000};
        if (setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout)) != 0) {
            return false;
        }
        send_timeout_ms_ = wait_ms;
    }
    return true;
}

size_t pipe_end::write_through(const tovi_platform::io_piece* pieces, size_t count,
                               uint32_t wait_ms, const std::atomic<bool>* stop, DWORD* error) {
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        total += pieces[i].size;
    }
    std::unique_lock<std::mutex> lock(io_lock_);
    if (closed_ || !connected() || (access_ & GENERIC_WRITE) == 0) {
        *error = ERROR_INVALID_HANDLE;
        return 0;
    }
    if (write_broken_) {
        *error = ERROR_NO_DATA;
        return 0;
    }
    if (!writes_.empty() || sending_) {
        *error = ERROR_IO_PENDING;  // the writes queued go first
        return 0;
    }
    const int flags = wait_ms > 0 && prepare_blocking_sends(wait_ms) ? 0 : MSG_DONTWAIT;
    sending_ = true;
    const int fd = fd_;
    lock.unlock();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    size_t written = 0;
    *error = ERROR_SUCCESS;
    while (written < total) {
        // A blocking send returns early only at its time-out or for a signal.
        const ssize_t n = send_pieces(fd, pieces, count, written, flags);
        const int send_error = n < 0 ? errno : 0;
        if (n > 0) {
            written += static_cast<size_t>(n);
        } else if (send_error != EINTR && send_error != EAGAIN) {
            *error = ERROR_NO_DATA;
            break;
        }
        if (written == total) {
            break;
        }
        if (send_error == EAGAIN || (flags == 0 && std::chrono::steady_clock::now() >= deadline)) {
            *error = WAIT_TIMEOUT;  // no room within the wait
            break;
        }
        if (stop != nullptr && stop->load(std::memory_order_acquire)) {
            *error = ERROR_OPERATION_ABORTED;
            break;
        }
    }
    lock.lock();
    sending_ = false;
    if (*error == ERROR_NO_DATA) {
        write_broken_ = true;
        fail_all(writes_, STATUS_PIPE_BROKEN);
    } else {
        drain_writes();  // any queued meanwhile, and room reported meanwhile
    }
    update_interest();
    return written;
}

ssize_t pipe_end::receive_from_socket(char* buffer, size_t size) {
    const ssize_t n = recv(fd_, buffer, size, MSG_DONTWAIT);
    // Fewer bytes than asked for, or none: the socket is empty for now. Not so once the peer's
    // end was reported: that report may have come with the data just taken, and no other
    // follows, so the end of the stream is only seen by asking again.
    quiet_ = !hangup_seen_ && (n < 0 ? errno == EAGAIN : static_cast<size_t>(n) < size);
    return n;
}

ssize_t pipe_end::receive(char* buffer, DWORD size) {
    if (!has_inbox_bytes()) {
        if (size >= inbox_size) {
            return receive_from_socket(buffer, size);
        }
        // One receive takes whatever has arrived, into this thread's scratch buffer; the read
        // gets its part, and only what is left over is kept, in an inbox of its own size.
        thread_local std::unique_ptr<char[]> scratch(new (std::nothrow) char[inbox_size]);
        if (scratch == nullptr) {
            return receive_from_socket(buffer, size);
        }
        const ssize_t n = receive_from_socket(scratch.get(), inbox_size);
        if (n <= 0) {
            return n;
        }
        const size_t taken = std::min(static_cast<size_t>(size), static_cast<size_t>(n));
        memcpy(buffer, scratch.get(), taken);
        const size_t left = static_cast<size_t>(n) - taken;
        if (left > 0) {
            inbox_.reset(new (std::nothrow) char[left]);
            if (inbox_ == nullptr) {
                peer_gone_ = true;  // out of memory: the bytes cannot be kept, the stream ends
                return static_cast<ssize_t>(taken);
            }
            memcpy(inbox_.get(), scratch.get() + taken, left);
            inbox_begin_ = 0;
            inbox_end_ = left;
        }
        return static_cast<ssize_t>(taken);
    }
    const size_t n = std::min(static_cast<size_t>(size), inbox_end_ - inbox_begin_);
    memcpy(buffer, inbox_.get() + inbox_begin_, n);
    inbox_begin_ += n;
    if (!has_inbox_bytes()) {
        inbox_.reset();
        inbox_begin_ = inbox_end_ = 0;
    }
    return static_cast<ssize_t>(n);
}

void pipe_end::drain_reads() {
    while (!reads_.empty()) {
        operation& op = reads_.front();
        const ssize_t n = op.size == 0 ? 0 : receive(op.buffer, op.size);
        if (n > 0 || op.size == 0) {
            op.transferred = static_cast<DWORD>(n);
            complete(op, STATUS_SUCCESS);
            reads_.pop_front();
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            return;
        }
        peer_gone_ = true;
        fail_all(reads_, STATUS_PIPE_BROKEN);
    }
}

void pipe_end::drain_writes() {
    if (sending_) {
        ready_while_sending_ = true;  // that thread drains once it has the lock again
        return;
    }
    ready_while_sending_ = false;
    while (!writes_.empty()) {
        operation& op = writes_.front();
        const int error = send_rest(fd_, op.buffer, op.size, &op.transferred);
        if (error == EAGAIN) {
            return;
        }
        if (error == 0) {
            complete(op, STATUS_SUCCESS);
            writes_.pop_front();
            continue;
        }
        write_broken_ = true;
        fail_all(writes_, STATUS_PIPE_BROKEN);
    }
}

void pipe_end::on_ready(uint32_t events) {
    std::lock_guard<std::mutex> lock(io_lock_);
    if (fd_ < 0 || closed_) {
        return;
    }
    quiet_ = false;  // something changed: the socket is worth asking again
    if ((events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
        hangup_seen_ = true;
    }
    drain_reads();
    drain_writes();
    update_interest();
}

bool pipe_end::peer_credentials(pid_t* pid, uid_t* uid) const {
    std::lock_guard<std::mutex> hold(io_lock_);
    struct ucred credentials {};
    socklen_t size = sizeof credentials;
    if (fd_ < 0 || getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
        return false;
    }
    *pid = credentials.pid;
    *uid = credentials.uid;
    return true;
}

BOOL pipe_end::cancel(LPOVERLAPPED overlapped) {
    std::lock_guard<std::mutex> lock(io_lock_);
    bool found = false;
    for (auto* queue : {&reads_, &writes_, &connects_}) {
        for (auto op = queue->begin(); op != queue->end();) {
            if (overlapped == nullptr || op->overlapped == overlapped) {
                complete(*op, STATUS_CANCELLED);
                op = queue->erase(op);
                found = true;
            } else {
                ++op;
            }
        }
    }
    update_interest();
    if (!found) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

BOOL pipe_end::connect_named_pipe(LPOVERLAPPED overlapped) {
    if (!listener_) {
        SetLastError(ERROR_INVALID_PARAMETER);  // a client end
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> lock(io_lock_);
        if (closed_) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (connected()) {
            SetLastError(ERROR_PIPE_CONNECTED);  // the client came first; the event stays as is
            return FALSE;
        }
        operation op;
        if (!begin(overlapped, op_kind::connect, nullptr, 0, &op)) {
            return FALSE;
        }
        connects_.push_back(op);
    }
    listener_->instance_waiting(this);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

bool pipe_end::attach_client(int fd) {
    std::lock_guard<std::mutex> lock(io_lock_);
    if (closed_ || connected()) {
        return false;
    }
    // The answer goes out under io_lock_: no write of ours can precede it, and a client that
    // returns from CreateFileW at once finds this instance connected.
    const char accepted = handshake::accepted;
    if (send(fd, &accepted, 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) {
        return false;
    }
    fd_ = fd;
    register_socket();
    fail_all(connects_, STATUS_SUCCESS);
    return true;
}

bool pipe_end::is_free_instance() const {
    std::lock_guard<std::mutex> lock(io_lock_);
    return !closed_ && !connected();
}

bool pipe_end::has_pending_connect() const {
    std::lock_guard<std::mutex> lock(io_lock_);
    return !closed_ && !connected() && !connects_.empty();
}

void pipe_end::on_handle_closed() {
    if (listener_) {
        listener_->remove_instance(this);
    }
    std::lock_guard<std::mutex> lock(io_lock_);
    closed_ = true;
    fail_all(reads_, STATUS_CANCELLED);
    fail_all(writes_, STATUS_CANCELLED);
    fail_all(connects_, STATUS_CANCELLED);
    if (fd_ >= 0) {
        unregister_socket();
        close(fd_);  // the peer sees the end of the stream at once
        fd_ = -1;
    }
    port_ = object_ref<completion_port>();  // no completion follows; the port may go
}

}  // namespace tovi_posix
