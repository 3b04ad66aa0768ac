// The reactor thread: finishes the pipe I/O that could not finish at once, as sockets become
// ready.
#include "platform/posix/reactor.h"

#include <errno.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "platform/posix/text_util.h"

namespace tovi_posix {
namespace reactor {
namespace {

class reactor_thread {
  public:
    reactor_thread() {
        epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
        wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        epoll_event wake{};
        wake.events = EPOLLIN;
        wake.data.ptr = nullptr;
        epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &wake);
        pthread_t id;
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        running_ = pthread_create(&id, &attributes, &reactor_thread::run, this) == 0;
        pthread_attr_destroy(&attributes);
    }

    bool add(int fd, reactor_source* source, uint32_t events) {
        if (!running_ || epoll_fd_ < 0) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
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

    void modify(int fd, reactor_source* source, uint32_t events) {
        epoll_event event{};
        event.events = events;
        event.data.ptr = source;
        epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &event);
    }

    void remove(int fd, reactor_source* source) {
        epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
        {
            std::lock_guard<std::mutex> lock(retired_lock_);
            retired_.push_back(source);
        }
        if (!on_thread()) {
            const uint64_t one = 1;
            (void)!write(wake_fd_, &one, sizeof(one));
        }
    }

    static bool on_thread() { return is_reactor_thread; }

  private:
    static void* run(void* self) {
        static_cast<reactor_thread*>(self)->loop();
        return nullptr;
    }

    void loop() {
        is_reactor_thread = true;
        std::vector<epoll_event> events(256);
        std::vector<reactor_source*> retired;
        for (;;) {
            const int n = epoll_wait(epoll_fd_, events.data(), static_cast<int>(events.size()), -1);
            for (int i = 0; i < n; ++i) {
                auto* source = static_cast<reactor_source*>(events[i].data.ptr);
                if (source == nullptr) {
                    uint64_t count;
                    (void)!read(wake_fd_, &count, sizeof(count));
                    continue;
                }
                source->on_ready(events[i].events);
            }
            // Sources removed before or during this pass are no longer named by epoll.
            {
                std::lock_guard<std::mutex> lock(retired_lock_);
                retired.swap(retired_);
            }
            for (reactor_source* source : retired) {
                source->release();
            }
            retired.clear();
        }
    }

    int epoll_fd_ = -1;
    int wake_fd_ = -1;
    bool running_ = false;
    static thread_local bool is_reactor_thread;
    std::mutex retired_lock_;  // a leaf
    std::vector<reactor_source*> retired_;
};

thread_local bool reactor_thread::is_reactor_thread = false;

reactor_thread& instance() {
    // Never destroyed: the thread runs until the process ends.
    static reactor_thread* the_reactor = new reactor_thread;
    return *the_reactor;
}

}  // namespace

static_assert(edge_triggered == EPOLLET && writable_side == EPOLLOUT, "epoll bits");
static_assert(readable_side == (EPOLLIN | EPOLLRDHUP), "epoll bits");

bool add(int fd, reactor_source* source, uint32_t events) {
    return instance().add(fd, source, events);
}

void modify(int fd, reactor_source* source, uint32_t events) {
    instance().modify(fd, source, events);
}

void remove(int fd, reactor_source* source) {
    instance().remove(fd, source);
}

bool on_reactor_thread() {
    return reactor_thread::on_thread();
}

}  // namespace reactor
}  // namespace tovi_posix
