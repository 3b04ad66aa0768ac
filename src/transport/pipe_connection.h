// win::pipe_connection: one open end of a named pipe, on either side of the link.
//
// A connection frames every outgoing payload (pipe_frame_buffer.h) and writes the frame with
// one overlapped WriteFile; keeps one overlapped ReadFile outstanding, never reaching past the
// frame being received; hands every complete payload to its receiver; and reports a broken
// pipe, a malformed frame, or a receiver's refusal through the receiver's on_pipe_disconnect.
// Every operation has an OVERLAPPED record from the owner's overlapped manager, whose event is
// registered with the owner's event loop; the loop calls on_handle_event, and the operation is
// finished there.
//
// Ownership: the owner (client endpoint or pipe server) creates and destroys the connection;
// the overlapped manager and the event loop are borrowed and must outlive it. The frame of a
// pending write lives in its pending entry until the write has completed. An operation that
// finishes at once is finished by the call that issued it (a read on the event-loop thread
// only); only operations that pend are recorded and registered with the event loop.
//
// A read that fails at once because the peer has gone (the pipe is broken, or no longer
// connected) is reported as a broken pipe like one that fails later: otherwise the receiver
// would never learn that its link ended. The report comes through the event loop, never from
// inside the call that posted the read.
//
// Destruction: no dispatch of the connection runs once the destructor has passed its first
// step, and nothing is registered for it after that; outstanding reads and writes are
// cancelled, and the destructor waits for them to complete before the receive buffer, the
// frames and the records go. The destructor must not run inside the connection's own
// on_handle_event.
//
// Threads and locks: on_handle_event and the reads run on the event-loop thread (the first
// read on the creating thread, before the connection is shared); send_data on any thread.
// The pending lock comes after the loop lock and before the overlapped manager's lock, and is
// never held while another lock is taken.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "transport/pipe_frame_buffer.h"
#include "transport/pipe_handler_listener.h"
#include "transport/pipe_recv_handle.h"

namespace win {

class overlapped_manager;
class pipe_handler_async;

class pipe_connection final : public pipe_handler_listener {
  public:
    // mode: bit 0 allows reading, bit 1 writing.
    pipe_connection(uint32_t mode, overlapped_manager* manager, pipe_handler_async* loop);
    ~pipe_connection();
    pipe_connection(const pipe_connection&) = delete;
    pipe_connection& operator=(const pipe_connection&) = delete;

    // Opens the client end of the pipe "\\.\pipe\" + name (UTF-8): waits up to wait_ms for a
    // free instance, opens it and posts the first read. Null, with an error line, when the
    // pipe cannot be opened; there is no retry.
    static pipe_connection* connect_to_server(const std::string& name, uint32_t mode,
                                              uint32_t wait_ms, pipe_recv_handle* receiver,
                                              overlapped_manager* manager,
                                              pipe_handler_async* loop);

    // Destroys the connection, if any, and logs "win::pipe_connection::release_pipe_connection".
    static void release_pipe_connection(pipe_connection* connection);

    // Takes ownership of an open pipe handle and posts the first read; returns its result.
    bool init_pipe(HANDLE pipe, pipe_recv_handle* receiver);

    // Frames the payload and issues one overlapped write. True when the write was issued
    // (completed or pending), not when the peer has read it. False, with an error line when
    // the write itself failed, otherwise silently (no write access, null data, length 0).
    bool send_data(const char* data, uint32_t length);

    // The same for a frame the caller built: frame_header_size bytes of room, then the
    // payload (at least one byte). The header is filled in here; the bytes are not copied.
    bool send_frame(std::vector<char>&& frame);

    void on_handle_event(HANDLE event) override;

    // A number no other connection of this process has had: with the address, it tells a
    // connection from a newer one that was given the same address.
    uint64_t generation() const { return generation_; }

    // The silence counter of the pipe server's heart beat; never touched by the connection.
    void add_heart_beat_count() { heart_beat_count_.fetch_add(1, std::memory_order_relaxed); }
    bool is_heart_beat_timeout() const {
        return heart_beat_count_.load(std::memory_order_relaxed) > 3;
    }
    void reset_heart_beat_count() { heart_beat_count_.store(0, std::memory_order_relaxed); }

  private:
    struct pending_operation {
        std::shared_ptr<OVERLAPPED> overlapped;
        bool is_recv = false;
        bool broken = false;      // a read that failed at once because the pipe is broken
        std::vector<char> frame;  // a write's bytes, alive until it completes
    };

    enum class read_outcome { pending, completed, failed };

    bool send_data_(std::vector<char>&& frame);
    // Posts reads until one is pending. With finish_at_once (only inside this connection's own
    // dispatch on the event-loop thread) reads that complete at once are finished at once, a
    // bounded number, for fairness among connections; otherwise through their events. False
    // when reading stopped.
    bool add_recv_request(bool finish_at_once);
    // Issues one read of what the frame still needs. A read that completes at once is left to
    // the caller when finish_at_once is true; otherwise it is finished through its event.
    read_outcome post_read(bool finish_at_once, DWORD* transferred);
    // Counts a finished read and delivers the frame it completes. False when reading stops.
    bool finish_read(DWORD transferred);
    void pipe_error();
    // Records an operation that was issued and did not finish at once, keeping the frame of a
    // write alive, and registers its event. False once destruction has begun.
    bool add_pending_operation(const std::shared_ptr<OVERLAPPED>& overlapped, bool is_recv,
                               std::vector<char>&& frame, bool broken = false);
    pending_operation take_pending_operation(HANDLE event);
    // Waits for an operation that could not be recorded because destruction has begun.
    void abandon(const std::shared_ptr<OVERLAPPED>& overlapped);
    void cancel_and_wait();

    const uint32_t mode_;
    const uint64_t generation_;
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    uint32_t received_ = 0;
    std::atomic<uint32_t> heart_beat_count_{0};
    std::map<HANDLE, pending_operation> pending_;  // guarded by pending_lock_
    CRITICAL_SECTION pending_lock_;
    bool closing_ = false;  // guarded by pending_lock_
    pipe_recv_handle* receiver_ = nullptr;
    pipe_frame_buffer frame_buffer_;  // reads land here in place
    overlapped_manager* const manager_;
    pipe_handler_async* const loop_;
};

}  // namespace win
