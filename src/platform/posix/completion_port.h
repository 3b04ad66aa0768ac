// An I/O completion port: a queue of completion packets, and the sockets of the pipes
// associated with it.
//
// The pipe ends associated with a port watch their sockets with the port's own epoll set
// instead of the reactor's, so the thread that waits on the port (an event loop) finishes their
// reads and writes itself as the sockets become ready: the bytes reach that thread without
// another thread in between. Completions from other threads (a cancel, a close, an accepted
// client) are queued and wake the waiting thread through an eventfd in the same set.
//
// Lifetime: associated pipe ends hold a reference to the port. The port holds a reference to
// every source it watches and keeps it after unwatch until the waiting thread's current pass
// has ended, so a source is never destroyed under its own on_ready.
//
// Threads and locks: post, watch, modify and unwatch on any thread; dequeue on one thread at a
// time. lock_ is a leaf, below a pipe end's io_lock_.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/posix/kernel_object.h"
#include "platform/posix/reactor.h"

namespace tovi_posix {

class completion_port final : public kernel_object {
  public:
    completion_port();
    // False when the epoll set or the eventfd could not be made.
    bool is_ready() const { return epoll_fd_ >= 0 && wake_fd_ >= 0; }

    // Queues a packet and wakes the waiting thread, unless the caller is that thread.
    void post(ULONG_PTR key, LPOVERLAPPED overlapped, DWORD transferred, ULONG_PTR status);

    // Watches a socket for the source (EPOLL* bits, as for the reactor). False, with the last
    // error set, when the socket cannot be added.
    bool watch(int fd, reactor_source* source, uint32_t events);
    void modify(int fd, reactor_source* source, uint32_t events);
    void unwatch(int fd, reactor_source* source);

    // Takes up to count packets; waits up to milliseconds for the first, finishing the ready
    // I/O of the watched sockets meanwhile. Returns the number taken, 0 on time-out.
    ULONG dequeue(LPOVERLAPPED_ENTRY entries, ULONG count, DWORD milliseconds);

  private:
    ~completion_port() override;
    ULONG take(LPOVERLAPPED_ENTRY entries, ULONG count);  // REQUIRES lock_
    void release_retired();

    int epoll_fd_ = -1;
    int wake_fd_ = -1;
    std::mutex lock_;
    std::deque<OVERLAPPED_ENTRY> packets_;  // lock_
    bool sleeping_ = false;                 // lock_: the waiter is in epoll_wait
    std::vector<reactor_source*> retired_;  // lock_: unwatched, released after the pass
};

}  // namespace tovi_posix
