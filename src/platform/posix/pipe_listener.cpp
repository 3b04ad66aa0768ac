// A pipe name's listening socket in this process: the clients' handshake, and the hand-over of
// accepted clients to free instances.
#include "platform/posix/pipe_listener.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <new>

#include "platform/posix/named_objects.h"
#include "platform/posix/pipe_end.h"
#include "platform/posix/pipe_names.h"
#include "platform/posix/text_util.h"

namespace tovi_posix {

// A client between accept and the end of its handshake. Its socket and state are guarded by
// the listener's lock.
class handshake_connection final : public reactor_source {
  public:
    handshake_connection(pipe_listener* listener, int fd)
        : reactor_source(object_kind::handshake), fd_(fd), listener_(listener) {}

    void on_ready(uint32_t events) override {
        std::lock_guard<std::mutex> lock(listener_->lock_);
        if (fd_ < 0) {
            return;
        }
        char request = 0;
        const ssize_t n = recv(fd_, &request, 1, MSG_DONTWAIT);
        if (n == 1 && !waiting_) {
            listener_->on_request(this, request);
        } else if (n == 0 || (n < 0 && errno != EAGAIN) || (events & (EPOLLHUP | EPOLLERR))) {
            listener_->on_request(this, -1);  // the client went away
        }
    }

    int fd_;
    bool registered_ = false;
    bool waiting_ = false;  // a 'W' request waiting for a free instance
    // When it was accepted: a client that sends no request byte by the deadline is dropped.
    const std::chrono::steady_clock::time_point accepted_at_ = std::chrono::steady_clock::now();

  private:
    ~handshake_connection() override {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    pipe_listener* listener_;  // outlives its connections: it drops them before it goes
};

// The deadline of the handshakes that wait for their request byte: a timerfd watched by the
// reactor, armed for the oldest of them. Its state is guarded by the listener's lock.
class handshake_timer final : public reactor_source {
  public:
    explicit handshake_timer(pipe_listener* listener)
        : reactor_source(object_kind::handshake), listener_(listener) {
        fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        registered_ = fd_ >= 0 && reactor::add(fd_, this, reactor::edge_triggered | EPOLLIN);
    }

    // Fires at the given time, or never for a zero time point. REQUIRES the listener's lock.
    void arm(std::chrono::steady_clock::time_point at) {
        if (!registered_) {
            return;
        }
        itimerspec spec{};
        if (at != std::chrono::steady_clock::time_point()) {
            const auto left = std::max(at - std::chrono::steady_clock::now(),
                                       std::chrono::steady_clock::duration(1));
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            spec.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
            spec.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        timerfd_settime(fd_, 0, &spec, nullptr);
    }

    void on_ready(uint32_t) override {
        std::lock_guard<std::mutex> lock(listener_->lock_);
        if (!registered_) {
            return;
        }
        uint64_t expirations = 0;
        (void)!read(fd_, &expirations, sizeof(expirations));
        listener_->expire_handshakes();
    }

    // Stops watching; the reactor lets go of the timer after its pass. REQUIRES the lock.
    void stop() {
        if (registered_) {
            reactor::remove(fd_, this);
            registered_ = false;
        }
    }

  private:
    ~handshake_timer() override {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int fd_ = -1;
    bool registered_ = false;
    pipe_listener* listener_;  // outlives the timer's registration, as its connections do
};

namespace {

std::mutex& registry_lock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

std::map<std::string, pipe_listener*>& registry() {
    static auto* listeners = new std::map<std::string, pipe_listener*>;
    return *listeners;
}

void send_byte(int fd, char byte) {
    (void)!send(fd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
}

int bind_listening_socket(const std::string& key) {
    const pipe_address address = address_of(key);
    int fd = new_stream_socket();
    if (fd < 0) {
        set_error_from_errno(errno);
        return -1;
    }
    int bound = bind(fd, reinterpret_cast<const sockaddr*>(&address.address), address.length);
#if !defined(__linux__)
    if (bound != 0 && errno == EADDRINUSE) {
        // A socket file left by a server that ended without closing: reclaim it if nobody
        // answers there.
        int probe = new_stream_socket();
        const bool alive = connect(probe, reinterpret_cast<const sockaddr*>(&address.address),
                                   address.length) == 0 ||
                           errno == EAGAIN;
        close(probe);
        if (!alive) {
            unlink(address.address.sun_path);
            bound = bind(fd, reinterpret_cast<const sockaddr*>(&address.address), address.length);
        }
    }
#endif
    if (bound != 0 || listen(fd, SOMAXCONN) != 0) {
        const int error = errno;
        close(fd);
        SetLastError(error == EADDRINUSE ? ERROR_ACCESS_DENIED : win32_error_from_errno(error));
        return -1;
    }
    return fd;
}

}  // namespace

pipe_listener::pipe_listener(std::string key)
    : reactor_source(object_kind::listener), key_(std::move(key)) {}

pipe_listener::~pipe_listener() = default;

pipe_end* pipe_listener::create_instance(const std::string& key, DWORD max_instances,
                                         bool first_instance, DWORD access) {
    std::lock_guard<std::mutex> registry_guard(registry_lock());
    auto found = registry().find(key);
    pipe_listener* listener = nullptr;
    if (found == registry().end()) {
        const int fd = bind_listening_socket(key);
        if (fd < 0) {
            return nullptr;
        }
        listener = new (std::nothrow) pipe_listener(key);
        if (listener == nullptr) {
            close(fd);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        listener->fd_ = fd;
        listener->max_instances_ = max_instances == 0 ? 1 : max_instances;
        if (!reactor::add(fd, listener)) {
            listener->fd_ = -1;
            close(fd);
            listener->release();
            return nullptr;
        }
        registry()[key] = listener;
        // A server starting is the moment to reclaim what crashed processes left behind, such
        // as the shared-memory block of a client of this name that was killed.
        remove_stale_named_files();
    } else {
        listener = found->second;
        if (first_instance) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
    }

    // The registry's own reference may go in shut_down below; this one keeps the listener.
    const auto keep = object_ref<pipe_listener>::share(listener);
    std::lock_guard<std::mutex> lock(listener->lock_);
    // PIPE_UNLIMITED_INSTANCES (255) means no limit, as on Windows.
    if (listener->max_instances_ != PIPE_UNLIMITED_INSTANCES &&
        listener->instances_.size() + listener->connected_.size() >= listener->max_instances_) {
        SetLastError(ERROR_PIPE_BUSY);
        return nullptr;
    }
    auto* instance =
        new (std::nothrow) pipe_end(object_ref<pipe_listener>::share(listener), access);
    if (instance == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        if (listener->instances_.empty() && listener->connected_.empty()) {
            listener->shut_down();
        }
        return nullptr;
    }
    listener->instances_.push_back(instance);
    listener->answer_waiters();
    return instance;
}

void pipe_listener::remove_instance(pipe_end* instance) {
    const auto keep = object_ref<pipe_listener>::share(this);
    std::lock_guard<std::mutex> registry_guard(registry_lock());
    std::lock_guard<std::mutex> lock(lock_);
    auto found = std::find(instances_.begin(), instances_.end(), instance);
    if (found != instances_.end()) {
        instances_.erase(found);
    } else if (connected_.erase(instance) == 0) {
        return;
    }
    if (instances_.empty() && connected_.empty()) {
        shut_down();
    }
}

void pipe_listener::shut_down() {
    auto entry = registry().find(key_);
    const bool registered = entry != registry().end() && entry->second == this;
    if (registered) {
        registry().erase(entry);
    }
    // Closing the listening socket at once frees the name for the next server.
    if (fd_ >= 0) {
        reactor::remove(fd_, this);
        close(fd_);
        fd_ = -1;
#if !defined(__linux__)
        unlink(address_of(key_).address.sun_path);
#endif
    }
    while (!connections_.empty()) {
        drop_connection(connections_.back());
    }
    if (timer_ != nullptr) {
        timer_->stop();
        timer_->release();
        timer_ = nullptr;
    }
    if (registered) {
        release();  // the registry's reference; callers hold one of their own
    }
}

void pipe_listener::instance_waiting(pipe_end*) {
    std::lock_guard<std::mutex> lock(lock_);
    answer_waiters();
}

pipe_end* pipe_listener::free_instance() const {
    // A client goes first to an instance that is waiting in ConnectNamedPipe.
    for (pipe_end* instance : instances_) {
        if (instance->has_pending_connect()) {
            return instance;
        }
    }
    for (pipe_end* instance : instances_) {
        if (instance->is_free_instance()) {
            return instance;
        }
    }
    return nullptr;
}

void pipe_listener::answer_waiters() {
    if (free_instance() == nullptr) {
        return;
    }
    for (size_t i = 0; i < connections_.size();) {
        handshake_connection* connection = connections_[i];
        if (connection->waiting_) {
            send_byte(connection->fd_, handshake::instance_free);
            drop_connection(connection);
        } else {
            ++i;
        }
    }
}

void pipe_listener::drop_connection(handshake_connection* connection) {
    auto found = std::find(connections_.begin(), connections_.end(), connection);
    if (found != connections_.end()) {
        connections_.erase(found);
    }
    if (connection->registered_) {
        reactor::remove(connection->fd_, connection);
        connection->registered_ = false;
    }
    if (connection->fd_ >= 0) {
        close(connection->fd_);
        connection->fd_ = -1;
    }
    connection->release();
}

void pipe_listener::on_ready(uint32_t) {
    std::lock_guard<std::mutex> lock(lock_);
    while (fd_ >= 0) {
        const int fd = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return;  // EAGAIN, or out of descriptors: the next arrival tries again
        }
        if (!peer_is_trusted(fd)) {
            send_byte(fd, handshake::denied);
            close(fd);
            continue;
        }
        auto* connection = new (std::nothrow) handshake_connection(this, fd);
        if (connection == nullptr) {
            close(fd);
            continue;
        }
        connections_.push_back(connection);
        // The request byte has usually arrived with the connection; if not, wait for it.
        char request = 0;
        if (recv(fd, &request, 1, MSG_DONTWAIT) == 1) {
            on_request(connection, request);
        } else if (reactor::add(fd, connection)) {
            connection->registered_ = true;
            arm_handshake_timer();
        } else {
            drop_connection(connection);
        }
    }
}

void pipe_listener::arm_handshake_timer() {
    if (timer_ == nullptr) {
        timer_ = new (std::nothrow) handshake_timer(this);
        if (timer_ == nullptr) {
            return;
        }
    }
    std::chrono::steady_clock::time_point oldest{};
    for (const handshake_connection* connection : connections_) {
        if (!connection->waiting_ && (oldest == std::chrono::steady_clock::time_point() ||
                                      connection->accepted_at_ < oldest)) {
            oldest = connection->accepted_at_;
        }
    }
    timer_->arm(oldest == std::chrono::steady_clock::time_point()
                    ? oldest
                    : oldest + std::chrono::milliseconds(handshake_deadline_ms));
}

void pipe_listener::expire_handshakes() {
    const auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < connections_.size();) {
        handshake_connection* connection = connections_[i];
        if (!connection->waiting_ &&
            now - connection->accepted_at_ >= std::chrono::milliseconds(handshake_deadline_ms)) {
            drop_connection(connection);  // a half-open client holds nothing past its deadline
        } else {
            ++i;
        }
    }
    arm_handshake_timer();
}

void pipe_listener::on_request(handshake_connection* connection, int request) {
    if (request == handshake::open_request) {
        pipe_end* instance = free_instance();
        if (instance == nullptr) {
            send_byte(connection->fd_, handshake::busy);
            drop_connection(connection);
            return;
        }
        if (connection->registered_) {
            reactor::remove(connection->fd_, connection);
            connection->registered_ = false;
        }
        if (instance->attach_client(connection->fd_)) {
            connection->fd_ = -1;  // the instance owns the socket now
            instances_.erase(std::find(instances_.begin(), instances_.end(), instance));
            connected_.insert(instance);
        } else {
            send_byte(connection->fd_, handshake::busy);
        }
        drop_connection(connection);
        return;
    }
    if (request == handshake::wait_request) {
        if (free_instance() != nullptr) {
            send_byte(connection->fd_, handshake::instance_free);
            drop_connection(connection);
            return;
        }
        connection->waiting_ = true;
        if (!connection->registered_) {
            // Watch the socket so that a client that gives up is noticed.
            connection->registered_ = reactor::add(connection->fd_, connection);
            if (!connection->registered_) {
                drop_connection(connection);
            }
        }
        return;
    }
    drop_connection(connection);  // gone, or an unknown request
}

}  // namespace tovi_posix
