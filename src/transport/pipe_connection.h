// tovi::pipe_connection: one open end of a named pipe, on either side of the link.
//
// A connection sends frames and hands the frames it receives to its receiver. What it has
// accepted and not yet written waits in its send_queue (send_queue.h: batches, accounting,
// pacing and drain progress); the connection holds the queue's lock, issues and completes the
// I/O, and carries out the close. It keeps one read outstanding, which brings every small
// frame that has arrived (and never reaches past the end of a large one), hands every complete
// payload to its receiver, and reports a broken pipe, a malformed frame, any read or write
// error, or a receiver's refusal through the receiver's on_pipe_disconnect, once.
//
// Who writes (send_lock_ held while the queue changes; the system call itself is made without
// it on the loop thread):
//   - a send that finds no write outstanding writes at once on its own thread when that
//     thread may issue I/O (thread_role.h: the library's threads everywhere, a host thread on
//     POSIX) and is not sending in a burst;
//   - otherwise, and for whatever is queued behind a write outstanding, the loop writes, many
//     small frames to a write.
// send_frame, send_message and close may be called on any thread; on_handle_event, the reads
// and the receiver's calls run on the loop thread.
//
// Bounds: the queue holds below send_queue::high_water_bytes (one frame is always accepted into
// an empty queue). A host thread that runs ahead of a reading peer waits up to pace_wait_ms for
// its next take once send_queue::pace_bytes are queued. A send from a host thread that finds no
// room waits for it up to send_wait_ms; a send from one of the library's threads never waits.
// Both then refuse the frame whole, with a log line, and the link stays up.
//
// Close is a request (close): the loop carries it out. A graceful close first lets the queued
// frames drain, in order, while the peer takes them: until the queue is empty, the link breaks,
// the peer has taken nothing for drain_stall_ms, or drain_limit_ms have passed in all; what is
// left then is dropped with a log line giving the count. Then the outstanding operations are
// cancelled, their completions awaited, and the handle closed. Nothing is reported to the
// receiver for a link that its owner closed.
//
// Lifetime: held by std::shared_ptr. The loop holds a reference from init_pipe until the close
// has finished, so the connection lives while any operation of it is outstanding; it is freed
// when the last reference goes, never under its own dispatch.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "codec/message_codec.h"
#include "platform/peer_identity.h"
#include "platform/win32.h"
#include "transport/link_counters.h"
#include "transport/pipe_frame_buffer.h"
#include "transport/pipe_handler_listener.h"
#include "transport/pipe_receiver.h"
#include "transport/send_queue.h"
#include "transport/timing.h"

namespace tovi {

class pipe_handler_async;

class pipe_connection final : public pipe_handler_listener,
                              public std::enable_shared_from_this<pipe_connection> {
  public:
    // A host thread's send that follows its previous one within this gap is part of a burst:
    // the loop writes it, with whatever follows, instead of this thread writing it alone.
    static constexpr uint32_t send_burst_gap_us = 5;
    // A link gives back the room above pipe_frame_buffer::retained_bytes once no frame has
    // gone either way for buffer_idle_ms.
    static constexpr uint32_t buffer_idle_ms = 200;

    // mode: bit 0 allows reading, bit 1 writing. limits: the waits of this link. endpoint: the
    // totals of its endpoint, which take in this link's counts (link_counters.h).
    pipe_connection(uint32_t mode, pipe_handler_async* loop, const timing& limits = timing(),
                    endpoint_counters* endpoint = nullptr);
    ~pipe_connection();
    pipe_connection(const pipe_connection&) = delete;
    pipe_connection& operator=(const pipe_connection&) = delete;

    // Opens the client end of the pipe "\\.\pipe\" + name (UTF-8) and starts reading. An
    // instance that is busy, or a name between two instances of its server, is tried again
    // until limits.connect_wait_ms have passed. Null, with an error line, when no server
    // answered in time.
    static std::shared_ptr<pipe_connection> connect_to_server(
        const std::string& name, uint32_t mode, const timing& limits, pipe_receiver* receiver,
        pipe_handler_async* loop, endpoint_counters* endpoint = nullptr);

    // Closes the connection gracefully, drops the caller's reference and logs
    // "win::pipe_connection::release_pipe_connection".
    static void release_pipe_connection(std::shared_ptr<pipe_connection>& connection);

    // Takes ownership of an open pipe handle, reads who its peer is, attaches it to the loop
    // and starts reading there. server_end: a server's instance, which is on the loop's port
    // already. False when the loop refused the handle, which is closed then.
    bool init_pipe(HANDLE pipe, pipe_receiver* receiver, bool server_end = false);

    // Who the peer is, as the system told at init_pipe; unknown where it could not tell. Any
    // thread once the link is shared.
    const tovi_platform::peer_identity& peer() const { return peer_; }
    // What the link has carried (link_counters.h); figures() adds the bytes queued now.
    link_counters& counters() { return counters_; }
    link_figures figures();

    // Queues a frame the caller built: frame_header_size bytes of room, then the payload (at
    // least one byte); the header is filled in here and the bytes are not copied. True when the
    // frame was accepted (it will be written unless the link ends first), not when the peer has
    // read it. False, silently, without write access, for an empty payload, and once closing;
    // with an error line for a frame above max_frame_size or a queue that stays full.
    bool send_frame(byte_buffer&& frame);

    // Encodes a message and queues its frame, with the same results. write(out, writer)
    // appends the payload to out, with the codec's functions or with writer, and returns false
    // when it cannot; payload_hint is about the payload's size. A message below
    // send_queue::small_frame_bytes is encoded straight into the send queue, behind the frames
    // queued before it, with no allocation of its own, and writer is the queue's own; a larger
    // one is encoded into a frame of its own (new_frame).
    template <class Writer>
    bool send_message(size_t payload_hint, const Writer& write) {
        return send_encoded(
            payload_hint,
            [](byte_buffer& out, message_codec::message_writer& writer, const void* context) {
                return (*static_cast<const Writer*>(context))(out, writer);
            },
            &write, nullptr);
    }
    // The same for a text or a byte stream whose data (size bytes at data) the link may write
    // from where it lies: around(out, &data_at) appends the payload with the data's room left
    // unwritten (message_codec's *_around). A large one that finds nothing queued, on a thread
    // that may write a pipe through (platform/write_through.h), goes out without a copy of its
    // data as far as the peer takes it within pace_wait_ms; only the rest is copied and queued.
    // The data is used only until the call returns.
    template <class Writer, class Around>
    bool send_message(size_t payload_hint, const Writer& write, const char* data,
                      const Around& around) {
        const through_data through{data, payload_hint,
                                   [](byte_buffer& out, size_t* data_at, const void* context) {
                                       return (*static_cast<const Around*>(context))(out, data_at);
                                   },
                                   &around};
        return send_encoded(
            payload_hint,
            [](byte_buffer& out, message_codec::message_writer& writer, const void* context) {
                return (*static_cast<const Writer*>(context))(out, writer);
            },
            &write, &through);
    }
    // A frame for the caller to fill: frame_header_size bytes of room for the header, in the
    // allocation of a frame written before when there is one. Any thread.
    byte_buffer new_frame();

    // Asks the loop to close the connection: graceful lets the queued frames drain first.
    // Idempotent; a later close that is not graceful cuts a drain short. Any thread.
    void close(bool graceful);
    bool is_closing() const { return state_.load(std::memory_order_acquire) != state::open; }
    // Waits until a close requested before has finished: what it drained is in the kernel and
    // the handle is closed. False on time-out, and at once on the loop thread, which finishes
    // the close itself.
    bool wait_closed(uint32_t timeout_ms);
    // The longest a graceful close may take: the drain's limit and a margin to cancel and
    // collect the outstanding operations.
    uint32_t close_limit_ms() const { return limits_.drain_limit_ms + 1000; }

    // The receiver has more than it can take: no read is issued until resume_reading. Pausing
    // is for the loop thread (inside on_pipe_recv_data); resuming, for any thread.
    void pause_reading();
    void resume_reading();
    // Inside the receiver's on_pipe_recv_data only: the payload being delivered is not taken
    // yet. Nothing more is read or delivered until release_delivery (any thread); then that
    // payload is delivered again, and the ones behind it follow in order.
    void hold_delivery() { delivery_held_ = true; }
    void release_delivery();
    bool is_delivery_held() const { return delivery_held_; }  // loop thread

    // Inside the receiver's on_pipe_recv_data only: hands over the frame just delivered
    // (frame_header_size bytes of header, then the payload) when it was read into storage of
    // its own (a frame above pipe_frame_buffer::read_ahead_bytes), so that a receiver that
    // keeps the payload beyond the call needs no copy of it; otherwise an empty buffer.
    // give_back_frame returns the allocation for the frames that follow (any thread).
    byte_buffer take_delivered_frame();
    void give_back_frame(byte_buffer&& frame);

    void on_handle_event(HANDLE key) override;
    void on_loop_stopping() override;

    // A number no other connection of this process has had: with the address, it tells a
    // connection from a newer one that was given the same address.
    uint64_t generation() const { return generation_; }

    // The state its owner keeps of this link, set before the link is shared and not replaced
    // after: the server endpoint keeps the client id bound to the link there, so that it need
    // not search its maps for every frame.
    std::shared_ptr<void> owner_state;
    // The owner has let go of the link (any thread): nothing more it receives is handed on.
    void mark_leaving() { leaving_.store(true, std::memory_order_release); }
    bool is_leaving() const { return leaving_.load(std::memory_order_acquire); }

    // The owner has sent its goodbye and waits for the peer to close the link: the end of the
    // stream that follows is logged as the answer to it, not as a broken pipe (any other end
    // keeps its lines). The receiver still hears of it through on_pipe_disconnect. Any thread;
    // said_goodbye(false) takes it back, for a goodbye that could not be sent.
    void said_goodbye(bool said = true) { goodbye_said_.store(said, std::memory_order_release); }
    // Loop thread: the link ended as the answer to said_goodbye.
    bool peer_answered_goodbye() const { return peer_answered_; }

    // The silence counter of the server's heart beat. Every complete frame received resets it;
    // a link silent for more than limits.silent_beats counts is to be dropped.
    void add_heart_beat_count() { heart_beat_count_.fetch_add(1, std::memory_order_relaxed); }
    bool is_heart_beat_timeout() const {
        return heart_beat_count_.load(std::memory_order_relaxed) > limits_.silent_beats;
    }
    void reset_heart_beat_count() { heart_beat_count_.store(0, std::memory_order_relaxed); }

  private:
    // The close, which only moves forward: open -> draining -> closing -> closed.
    //   open      frames are accepted; a link failure is reported to the receiver only here.
    //   draining  close(true) asked for it (the owner on any thread, or the loop as it stops):
    //             no frame is accepted, the queued ones are written while the peer takes them.
    //             On the loop thread the drain ends when the queue is empty or the link breaks
    //             (advance_close, link_failed), or when check_drain finds no progress for
    //             drain_stall_ms or drain_limit_ms passed in all.
    //   closing   close(false) from open or draining, or the drain's end: what is still queued
    //             is dropped with a count in the log and the outstanding operations cancelled.
    //   closed    their completions are back and the handle is closed (advance_close, on the
    //             loop thread); wait_closed returns. A refused init_pipe goes here at once.
    // Apart from that, only close() moves a connection out of open; the loop makes every later
    // move. close and advance_close change it under send_lock_, so that a sender holding the
    // lock sees it steady; link_failed and check_drain end a drain with a compare-and-swap.
    enum class state { open, draining, closing, closed };

    // Reading, on the loop thread (pipe_connection_read.cpp).
    // Delivers the frames held and issues reads until one is pending; a bounded number of
    // those that finish at once are finished here, then the rest is posted, so that other
    // connections get the loop too.
    void add_recv_request();
    bool can_read() const;
    // Hands every whole frame held to the receiver, in order. False when delivery stops (a
    // broken frame, the receiver's refusal or hold, the link's end).
    bool deliver_frames();
    void on_read_done();
    // True, noting it, when a read that failed with read_error is the peer's close after
    // said_goodbye: no error line is due.
    bool is_goodbye_answer(DWORD read_error);

    // Writing (pipe_connection_write.cpp).
    using encoder = send_queue::encoder;
    struct through_data {
        const char* data;
        size_t size;
        bool (*around)(byte_buffer& out, size_t* data_at, const void* context);
        const void* context;
    };
    bool send_encoded(size_t payload_hint, encoder write, const void* context,
                      const through_data* through);
    // True, counted and logged, for a frame above max_frame_size: it is refused whole.
    bool is_above_limit(size_t frame_size);
    // A frame whose data's room (size bytes at data_at) is still to be filled from data: written
    // through from where the data lies when can_write_through_now, else the data is copied in
    // and the frame queued.
    bool send_through(byte_buffer&& frame, size_t data_at, const char* data, size_t size);
    // REQUIRES send_lock_: nothing is queued or under way, and this thread may write the pipe
    // through now.
    bool can_write_through_now();
    struct through_result {
        bool tried = false;  // a write through was made
        size_t written = 0;
        DWORD error = ERROR_IO_PENDING;
    };

    // Each REQUIRES send_lock_, on any thread. has_room waits, on a host thread, for room for
    // size more bytes, and says whether the frame may be queued (with an error line when the
    // queue stays full). queued_now writes what was just queued at once unless a write is
    // outstanding or the loop is to write it; write_queued writes the queue until one write is
    // outstanding, the queue is empty or a write fails (false: the link must end, through
    // link_failed on the loop thread); on the loop thread it lets the lock go during each
    // WriteFile.
    enum class queued { written, failed, for_the_loop };
    // REQUIRES send_lock_: the frame after its write through (if any): taken, lost with the
    // link, or its rest copied and queued.
    queued settle_through(std::unique_lock<std::mutex>& lock, byte_buffer&& frame, size_t data_at,
                          const char* data, size_t size, const through_result& result);
    bool has_room(std::unique_lock<std::mutex>& lock, size_t size);
    // A host thread's wait for the peer's next take while it runs ahead.
    void keep_pace(std::unique_lock<std::mutex>& lock);
    // True when this host thread's send follows its last within send_burst_gap_us.
    bool in_host_burst();
    queued queued_now(std::unique_lock<std::mutex>& lock);
    // Without the lock: posts the loop's write, or reports a write that failed.
    bool after_queued(queued outcome);
    bool write_queued(std::unique_lock<std::mutex>& lock);
    // REQUIRES send_lock_: the write outstanding came back (count_loss: a failed write's frames
    // count as dropped).
    void complete_write(bool succeeded, bool count_loss);
    void on_write_done();
    // A write failed on the calling thread: write_side_failed on the loop thread.
    void write_failed();
    // Nothing more can be written. The link ends once the read side has delivered what came
    // before the peer went, or after write_failure_grace_ms. Loop thread.
    void write_side_failed();
    // Loop thread: writes what a host thread's burst, or a send before the pipe was
    // attached, queued.
    void write_posted();

    // Room and activity (pipe_connection_write.cpp). Notes a frame gone either way, on any
    // thread (on_loop: on the loop thread, which may look at the frame buffer); when the link
    // holds large room, arms the check that gives it back once the link has been idle.
    void note_activity(bool on_loop);
    void arm_room_check();
    void check_idle_room();  // loop thread

    // Life and close (pipe_connection.cpp).
    // Posts work on this connection to the loop, keeping the connection alive until it ran;
    // the close moves on after it.
    void post(void (pipe_connection::*work)());
    void after_io();
    // The link failed (the peer went, a malformed frame, an error): reading stops, and the
    // receiver hears of it once, unless the owner closed the link already.
    void link_failed();
    void pipe_error();
    // The frames delivered in this dispatch are all there: tells the receiver
    // (on_pipe_recv_done). Loop thread, at the end of every dispatch.
    void end_delivery();
    void begin_close();
    // Loop thread: a drain that made no progress for drain_stall_ms, or ran drain_limit_ms,
    // ends.
    void arm_drain_check(uint32_t delay_ms);
    void check_drain();
    // Moves the close on as far as the outstanding operations allow.
    void advance_close();

    const uint32_t mode_;
    const uint64_t generation_;
    link_counters counters_;
    tovi_platform::peer_identity peer_;  // written by init_pipe
    pipe_handler_async* const loop_;
    const timing limits_;
    std::atomic<uint32_t> heart_beat_count_{0};
    std::atomic<state> state_{state::open};
    std::atomic<bool> goodbye_said_{false};
    std::atomic<bool> leaving_{false};
    std::atomic<bool> cut_{false};  // the close has cancelled the writes: a write through stops

    // Written before the pipe is attached and when the close ends; read on the loop thread,
    // and by writers while pipe_writable_ holds.
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    // Loop thread only.
    pipe_receiver* receiver_ = nullptr;
    io_record read_;
    bool reading_ = false;  // the read is outstanding
    bool read_stopped_ = false;
    bool read_paused_ = false;
    bool delivery_held_ = false;
    bool reported_ = false;
    bool peer_answered_ = false;  // the link ended as the answer to said_goodbye
    bool delivered_ = false;      // frames went to the receiver since end_delivery
    bool cancelled_ = false;
    pipe_frame_buffer frame_buffer_;  // reads land here in place
    bool drain_timer_ = false;
    clock::time_point drain_started_;
    std::atomic<bool> room_check_armed_{false};
    std::atomic<uint32_t> activity_{0};  // frames gone either way since the room check ran
    // The kept allocations (the queue's spares, received_spare_) hold more than
    // retained_bytes; written under send_lock_, read without it, so that a send need not take
    // the lock again.
    std::atomic<bool> holds_spare_room_{false};

    // The write side. send_lock_ comes before the platform's locks, which a write takes;
    // nothing else is taken while it is held. While writing_ holds, the write outstanding and
    // write_ belong to the thread that issues it, which on the loop thread does so without
    // send_lock_.
    std::mutex send_lock_;
    std::condition_variable room_;
    send_queue queue_;  // send_lock_, like all below
    io_record write_;
    bool pipe_writable_ = false;        // writes may be issued on pipe_
    bool writing_ = false;              // a write is outstanding or being issued
    bool write_posted_ = false;         // write_posted will run
    bool link_broken_ = false;          // nothing more can be written
    clock::time_point last_host_send_;  // a host thread's last send
    byte_buffer received_spare_;        // a delivered frame's room, given back
};

}  // namespace tovi
