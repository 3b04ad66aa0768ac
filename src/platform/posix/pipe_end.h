// One end of a named pipe: the connected socket behind a pipe handle, and its overlapped
// reads and writes.
//
// An operation is tried at once and, if it can finish, finishes at once (status, byte count
// and event set before the call returns). Otherwise it is queued and finished in order as the
// socket becomes ready: by a thread that waits on a pending read's event and polls the socket
// itself, or else by the reactor thread. Reads and writes each have their own queue, so writes
// never interleave, whatever threads issue them. The first write of an empty queue is sent
// without the end's lock held, so that a reader never waits behind a send. As with every call
// here, a handle is not closed while a call on it runs.
//
// A pipe end associated with a completion port also queues a packet on the port for every
// operation that completes (unless it finished at once and the handle skips those), and its
// socket is watched by the port instead of the reactor.
//
// Reads smaller than 64 KiB take whatever has arrived with one recv, into the calling thread's
// scratch buffer: the read gets its part, and what is left over waits in an inbox of exactly
// its size, which serves the reads that follow without a system call. The inbox exists only
// while it holds bytes, so an idle pipe costs no more memory than an inbox-less one.
//
// Lock order: io_lock_ (one per pipe end), then the port's lock or wait_lock() inside
// completion. The listener's lock, when needed, is taken before io_lock_.
#pragma once

#include <sys/types.h>

#include <deque>
#include <memory>
#include <mutex>

#include "platform/posix/completion_port.h"
#include "platform/posix/event.h"
#include "platform/posix/reactor.h"
#include "platform/write_through.h"

namespace tovi_posix {

class pipe_listener;

class pipe_end : public reactor_source {
  public:
    // A client end, connected already; or a server instance of a listener, not yet connected.
    pipe_end(int connected_fd, DWORD access);
    pipe_end(object_ref<pipe_listener> listener, DWORD access);

    // Client ends: registers the connected socket with the reactor. False when it cannot.
    bool start();

    // Completions go to the port from now on, with the key; the socket moves to the port's
    // watch. False, with ERROR_INVALID_PARAMETER, when the end has a port already.
    bool associate(object_ref<completion_port> port, ULONG_PTR key);
    void set_skip_on_success(bool skip);

    BOOL read(LPVOID buffer, DWORD size, LPDWORD transferred, LPOVERLAPPED overlapped);
    BOOL write(LPCVOID buffer, DWORD size, LPDWORD transferred, LPOVERLAPPED overlapped);
    // tovi_platform::write_through (platform/write_through.h).
    size_t write_through(const tovi_platform::io_piece* pieces, size_t count, uint32_t wait_ms,
                         const std::atomic<bool>* stop, DWORD* error);
    // The process and user of the connected peer, as the kernel recorded them at connect.
    bool peer_credentials(pid_t* pid, uid_t* uid) const;
    // Completes the operations of the record (all of them for null) with STATUS_CANCELLED.
    BOOL cancel(LPOVERLAPPED overlapped);
    BOOL connect_named_pipe(LPOVERLAPPED overlapped);

    // Server instances: called by the listener, with its lock held, to hand over a client.
    // Sends the client its 'accepted' answer. Returns false, having sent nothing, when the
    // instance can no longer take one (closed, or connected meanwhile).
    bool attach_client(int fd);
    // True for an instance that a client may still take (connected to nobody, not closed).
    bool is_free_instance() const;
    bool has_pending_connect() const;

    void on_ready(uint32_t events) override;
    void set_polled(bool polled) override;
    void on_handle_closed() override;

  private:
    ~pipe_end() override;

    enum class op_kind { read, write, connect };
    struct operation {
        op_kind kind;
        LPOVERLAPPED overlapped;
        object_ref<event> done;
        char* buffer;
        DWORD size;
        DWORD transferred;
    };

    // Each REQUIRES io_lock_.
    bool begin(LPOVERLAPPED overlapped, op_kind kind, void* buffer, DWORD size, operation* op);
    // Fills the record, sets its event and queues the port's packet. at_once: the call that
    // issued the operation returns TRUE, which queues no packet when the handle skips those.
    void complete(operation& op, DWORD status, bool at_once = false);
    // Fills a read from the inbox or the socket: the byte count, 0 at the end of the stream,
    // or -1 with errno set.
    ssize_t receive(char* buffer, DWORD size);
    ssize_t receive_from_socket(char* buffer, size_t size);
    bool has_inbox_bytes() const { return inbox_begin_ < inbox_end_; }
    void drain_reads();
    // Writes the queued writes, in order, while the socket takes them; not while a thread
    // sends without the lock.
    void drain_writes();
    // The first write of an empty queue: sends what the socket takes without io_lock_ held
    // (lock is given up and taken again), so that a reader of this end never waits for the
    // system call, nor for a thread that the send woke and that took this one's core. Writes
    // issued meanwhile queue behind it. Returns 0 when all was sent, else the errno.
    int send_unlocked(std::unique_lock<std::mutex>& lock, operation& op);
    // Lets a send without MSG_DONTWAIT wait for room at most wait_ms. REQUIRES io_lock_.
    bool prepare_blocking_sends(uint32_t wait_ms);
    // Settles that write once the lock is held again.
    BOOL finish_first_write(operation& op, int error, LPDWORD transferred);
    void fail_all(std::deque<operation>& queue, DWORD status);
    bool connected() const { return fd_ >= 0; }
    // What the reactor must watch: the readable side while no waiting thread polls it, the
    // writable side while writes wait for room. Watching the writable side at other times
    // would wake the reactor each time the peer reads.
    uint32_t interest() const {
        return reactor::edge_triggered | (pollers_ == 0 ? reactor::readable_side : 0) |
               (writes_.empty() ? 0 : reactor::writable_side);
    }
    void register_socket();
    void update_interest();
    void unregister_socket();

    const DWORD access_;
    object_ref<pipe_listener> listener_;  // server instances only

    object_ref<completion_port> port_;  // io_lock_; dropped when the handle closes
    ULONG_PTR port_key_ = 0;
    bool skip_on_success_ = false;

    mutable std::mutex io_lock_;
    int fd_ = -1;
    bool registered_ = false;
    int pollers_ = 0;       // waiting threads that watch the readable side themselves
    uint32_t watched_ = 0;  // the interest the reactor has
    bool closed_ = false;
    bool peer_gone_ = false;        // read side saw end of stream
    bool quiet_ = false;            // the socket was empty when last asked, and nothing came since
    bool hangup_seen_ = false;      // the reactor reported the peer's end: always ask the socket
    bool write_broken_ = false;     // the peer can take no more data
    bool sending_ = false;          // a thread sends without the lock (send_unlocked)
    bool blocking_sends_ = false;   // the socket blocks a send that says no MSG_DONTWAIT
    uint32_t send_timeout_ms_ = 0;  // its SO_SNDTIMEO
    // The socket reported room while a thread sent without the lock, so the queued writes
    // were left to that thread: with an edge-triggered watch no second report comes.
    bool ready_while_sending_ = false;
    std::deque<operation> reads_;
    std::unique_ptr<char[]> inbox_;  // bytes received ahead of the reads
    size_t inbox_begin_ = 0;
    size_t inbox_end_ = 0;
    std::deque<operation> writes_;
    std::deque<operation> connects_;
};

}  // namespace tovi_posix
