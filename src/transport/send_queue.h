// tovi::send_queue: the frames a link has accepted and not yet written, in order.
//
// A large frame waits where its sender built it; small messages are encoded back to back into a
// batch that stays open for more until write_batch_bytes, so that a burst of them goes out in
// one write. The queue hands out one write at a time (begin_write), of at most max_write_bytes
// (drain_write_bytes while a close drains, so that a slow reader's progress shows), and settles
// it when its result is in (write_done, write_failed). It counts the bytes accepted and not yet
// written (queued_bytes, the write outstanding included) against high_water_bytes, counts the
// writes the peer has taken (for pacing and for a drain's progress), and keeps the allocations
// of written frames (up to spare_bytes) for the frames that follow.
//
// The queue takes no lock and does no I/O: its owner (pipe_connection) holds the link's send
// lock around every call and issues the writes. While a write is outstanding, the bytes that
// begin_write handed out stay where they are until write_done or write_failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "codec/byte_buffer.h"
#include "codec/message_codec.h"
#include "transport/timing.h"

namespace tovi {

class send_queue {
  public:
    // Bytes accepted and not yet written at most; one frame is always accepted into an empty
    // queue.
    static constexpr size_t high_water_bytes = 64 * 1024 * 1024;
    // Small frames queued together are written with one call, up to this many bytes; a frame
    // below small_frame_bytes is encoded into such a batch.
    static constexpr size_t write_batch_bytes = 64 * 1024;
    static constexpr size_t small_frame_bytes = 8 * 1024;
    // A host thread's send that finds more than pace_bytes queued waits for the peer's next
    // take (pipe_connection.h).
    static constexpr size_t pace_bytes = 1024 * 1024;
    // One write takes at most max_write_bytes, and while a close drains drain_write_bytes.
    static constexpr size_t max_write_bytes = 4 * 1024 * 1024;
    static constexpr size_t drain_write_bytes = 64 * 1024;
    // The allocations of written frames kept for the next frames, in all.
    static constexpr size_t spare_bytes = 16 * 1024 * 1024;

    send_queue() = default;
    send_queue(const send_queue&) = delete;
    send_queue& operator=(const send_queue&) = delete;

    size_t queued_bytes() const { return queued_bytes_; }
    // True when a frame of size more bytes may be queued now.
    bool has_room(size_t size) const {
        return queued_bytes_ == 0 || queued_bytes_ + size <= high_water_bytes;
    }
    // True when something is queued that no write has taken yet.
    bool has_unwritten() const { return batch_left_ > write_size_ || !batches_.empty(); }

    // Queues a frame its sender built (the header filled in), as a batch of its own.
    void push_frame(byte_buffer&& frame);
    // Puts the rest of a frame whose first written bytes its sender wrote itself (write_through)
    // in front of everything queued, as the next write. REQUIRES no write outstanding.
    void push_rest_first(byte_buffer&& frame, size_t written);
    // Encodes one small message into the open batch, behind everything queued: write appends
    // a frame's payload to the batch (after frame_header_size bytes of room made here) with
    // the codec or with the queue's own writer, which encodes the bytes around the data once
    // for a run of alike messages. Returns the frame's size, or 0 (nothing queued) when write
    // failed or wrote nothing.
    using encoder = bool (*)(byte_buffer& out, message_codec::message_writer& writer,
                             const void* context);
    size_t push_small(encoder write, const void* context);

    // The next write: at most max_write_bytes of the oldest batch (drain_write_bytes when
    // draining), from where the last write ended. REQUIRES has_unwritten() and no write
    // outstanding.
    struct piece {
        const char* data;
        size_t size;
    };
    piece begin_write(bool draining);
    // The write outstanding was taken whole. When draining, notes the time as progress.
    void write_done(bool draining);
    // The write outstanding, or a write that could not be issued, failed: its batch is lost
    // (counted among the losses when count_loss) and taken off the queue's bytes.
    void write_failed(bool count_loss);
    bool is_writing() const { return write_size_ > 0; }
    // A frame its sender wrote whole itself was taken (as write_done counts a write).
    void note_taken(bool draining);
    // A frame its sender could not write whole, and that the link cannot write any more: its
    // bytes not written are counted among the losses.
    void note_lost(uint32_t frames, size_t bytes) {
        failed_frames_ += frames;
        failed_bytes_ += bytes;
    }

    // Drops whatever no write has taken and says how much was never written: the dropped
    // frames and bytes, those of writes that failed, and the write outstanding (whose bytes
    // stay counted until write_done or write_failed brings it back).
    struct loss {
        uint32_t frames;
        size_t bytes;
    };
    loss drop_unwritten();

    // Writes the peer has taken so far; changes with every write_done.
    uint64_t writes_taken() const { return writes_taken_; }
    // A host thread should wait for the peer's next take before it queues more: more than
    // pace_bytes are queued, and the last such wait did not run out at this same count.
    bool should_pace() const { return queued_bytes_ > pace_bytes && writes_taken_ != stalled_at_; }
    // A pacing wait that began at writes_taken taken ran out: no sender waits again until the
    // peer takes a write.
    void pace_ran_out(uint64_t taken) { stalled_at_ = taken; }

    // When the last write was taken while draining, or the drain began.
    clock::time_point last_progress() const { return last_progress_; }
    void start_drain(clock::time_point now) { last_progress_ = now; }

    // The allocation of a written frame, emptied, or an empty buffer.
    byte_buffer take_spare();
    // The spares hold more than pipe_frame_buffer::retained_bytes.
    bool holds_large_spares() const;
    // Hands over the spares, for the caller to free, when they hold more than that.
    std::vector<byte_buffer> release_large_spares();

  private:
    // Frames waiting: a large frame alone, or small frames back to back in a batch that takes
    // more (open) until write_batch_bytes.
    struct batch {
        byte_buffer bytes;
        uint32_t frames = 0;
        bool open = false;
        size_t written = 0;  // its first bytes went out before it was queued
    };
    // Keeps the allocation of the batch just written and empties it.
    void end_batch();

    std::deque<batch> batches_;
    message_codec::message_writer writer_;
    byte_buffer writing_;         // the batch being written, from the front of batches_
    const char* next_ = nullptr;  // its first byte not yet written
    size_t batch_left_ = 0;       // its bytes not yet written (the write outstanding included)
    uint32_t batch_frames_ = 0;
    size_t write_size_ = 0;  // the bytes of the write outstanding
    size_t queued_bytes_ = 0;
    uint32_t failed_frames_ = 0;  // of writes that failed, dropped when the link closes
    size_t failed_bytes_ = 0;
    uint64_t writes_taken_ = 0;
    uint64_t stalled_at_ = UINT64_MAX;
    clock::time_point last_progress_;
    std::vector<byte_buffer> spares_;
    size_t spares_bytes_ = 0;
};

}  // namespace tovi
