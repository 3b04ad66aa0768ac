// A link's write side: queueing frames under the send lock, who issues each write, its
// completion, and the room the link keeps between frames.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "log/log.h"
#include "platform/write_through.h"
#include "transport/pipe_connection.h"
#include "transport/pipe_handler_async.h"
#include "transport/thread_role.h"

namespace tovi {

bool pipe_connection::is_above_limit(size_t frame_size) {
    if (frame_size <= max_frame_size) {
        return false;
    }
    counters_.add(link_counters::refused_too_large);
    log_error(L"win::pipe_connection::send_data a frame of %u bytes is above the limit of %u",
              static_cast<uint32_t>(frame_size > UINT32_MAX ? UINT32_MAX : frame_size),
              max_frame_size);
    return true;
}

bool pipe_connection::send_frame(byte_buffer&& frame) {
    if ((mode_ & 2) == 0 || frame.size() <= frame_header_size) {
        return false;
    }
    const size_t size = frame.size();
    if (is_above_limit(size)) {
        return false;
    }
    pipe_frame_buffer::put_header(frame.data(), static_cast<uint32_t>(size));
    queued outcome = queued::written;
    {
        std::unique_lock<std::mutex> lock(send_lock_);
        if (!has_room(lock, size)) {
            return false;
        }
        queue_.push_frame(std::move(frame));
        outcome = queued_now(lock);
    }
    return after_queued(outcome);
}

bool pipe_connection::send_encoded(size_t payload_hint, encoder write, const void* context,
                                   const through_data* through) {
    if ((mode_ & 2) == 0) {
        return false;
    }
    if (payload_hint >= send_queue::small_frame_bytes) {
        byte_buffer frame = new_frame();
        size_t data_at = 0;
        if (through != nullptr && tovi_platform::can_write_through &&
            through->around(frame, &data_at, through->context)) {
            return send_through(std::move(frame), data_at, through->data, through->size);
        }
        message_codec::message_writer own;  // its data dwarfs what the queue's would save
        return write(frame, own, context) && send_frame(std::move(frame));
    }
    queued outcome = queued::written;
    {
        std::unique_lock<std::mutex> lock(send_lock_);
        if (!has_room(lock, frame_header_size + payload_hint) ||
            queue_.push_small(write, context) == 0) {
            return false;
        }
        outcome = queued_now(lock);
    }
    return after_queued(outcome);
}

bool pipe_connection::can_write_through_now() {
    return !writing_ && !write_posted_ && !queue_.has_unwritten() && pipe_writable_ &&
           !link_broken_ && state_ == state::open && may_issue_io() &&
           !(this_thread_role() == thread_role::host && in_host_burst());
}

bool pipe_connection::send_through(byte_buffer&& frame, size_t data_at, const char* data,
                                   size_t size) {
    const size_t total = frame.size();
    if (is_above_limit(total)) {
        return false;
    }
    pipe_frame_buffer::put_header(frame.data(), static_cast<uint32_t>(total));
    std::unique_lock<std::mutex> lock(send_lock_);
    if (!has_room(lock, total)) {
        return false;
    }
    through_result result;
    if (can_write_through_now()) {
        // The write side is this thread's until it settles: others queue behind meanwhile.
        writing_ = true;
        lock.unlock();
        const tovi_platform::io_piece pieces[] = {
            {frame.data(), data_at},
            {data, size},
            {frame.data() + data_at + size, total - data_at - size}};
        // A library thread takes what the pipe takes at once: it must not keep its other work
        // waiting, nor wait for a peer it may be the one to read.
        const uint32_t wait_ms = is_library_thread() ? 0 : limits_.pace_wait_ms;
        result.tried = true;
        result.written =
            tovi_platform::write_through(pipe_, pieces, 3, wait_ms, &cut_, &result.error);
        lock.lock();
        writing_ = false;
    }
    const queued outcome = settle_through(lock, std::move(frame), data_at, data, size, result);
    room_.notify_all();
    const bool closing = is_closing();
    lock.unlock();
    if (closing) {
        post(&pipe_connection::begin_close);  // the close waited for this write to end
    }
    return after_queued(outcome);
}

pipe_connection::queued pipe_connection::settle_through(std::unique_lock<std::mutex>& lock,
                                                        byte_buffer&& frame, size_t data_at,
                                                        const char* data, size_t size,
                                                        const through_result& result) {
    const size_t total = frame.size();
    if (result.written == total) {
        queue_.note_taken(state_ == state::draining);
        return queue_.has_unwritten() ? queued_now(lock) : queued::written;  // queued meanwhile
    }
    if (result.error == ERROR_NO_DATA || result.error == ERROR_INVALID_HANDLE) {
        link_broken_ = true;
        queue_.note_lost(1, total - result.written);
        return queued::failed;
    }
    // Only what was not written is copied: the rest of the data into its room. What was not
    // written through at all waits behind what was queued before it.
    const size_t written = result.written;
    const size_t data_written = written > data_at ? std::min(written - data_at, size) : 0;
    std::memcpy(frame.data() + data_at + data_written, data + data_written, size - data_written);
    if (result.tried) {
        queue_.push_rest_first(std::move(frame), written);
    } else {
        queue_.push_frame(std::move(frame));
    }
    return queued_now(lock);
}

bool pipe_connection::after_queued(queued outcome) {
    if (outcome == queued::for_the_loop) {
        post(&pipe_connection::write_posted);
    }
    note_activity(false);
    if (outcome == queued::failed) {
        write_failed();
        return false;
    }
    return true;
}

bool pipe_connection::has_room(std::unique_lock<std::mutex>& lock, size_t size) {
    const bool waits = !is_library_thread();  // a library thread may be the one that drains
    if (waits) {
        keep_pace(lock);
    }
    const auto room = [&] { return queue_.has_room(size) || is_closing() || link_broken_; };
    if (!room() && waits) {
        room_.wait_for(lock, std::chrono::milliseconds(limits_.send_wait_ms), room);
    }
    if (!queue_.has_room(size) && !is_closing() && !link_broken_) {
        counters_.add(link_counters::refused_full);
        log_error(L"win::pipe_connection::send_data send queue full: %u bytes wait to be written",
                  static_cast<uint32_t>(queue_.queued_bytes()));
        return false;
    }
    return !is_closing() && !link_broken_;
}

void pipe_connection::keep_pace(std::unique_lock<std::mutex>& lock) {
    if (!queue_.should_pace() || !(writing_ || write_posted_) || is_closing() || link_broken_) {
        return;
    }
    const uint64_t taken = queue_.writes_taken();
    if (!room_.wait_for(lock, std::chrono::milliseconds(limits_.pace_wait_ms), [&] {
            return queue_.writes_taken() != taken ||
                   queue_.queued_bytes() <= send_queue::pace_bytes || is_closing() || link_broken_;
        })) {
        queue_.pace_ran_out(taken);  // no pacing until the peer takes a write again
    }
}

bool pipe_connection::in_host_burst() {
    const auto now = clock::now();
    const bool burst = now - last_host_send_ < std::chrono::microseconds(send_burst_gap_us);
    last_host_send_ = now;
    return burst;
}

pipe_connection::queued pipe_connection::queued_now(std::unique_lock<std::mutex>& lock) {
    counters_.note_queued(queue_.queued_bytes());
    if (writing_ || write_posted_) {
        return queued::written;  // the write outstanding, or the loop, takes it along
    }
    // A host thread that sends in a burst leaves the writing to the loop, which then takes
    // many frames to a write; a message on its own goes out at once, where this thread may
    // issue it.
    if (!may_issue_io() || (this_thread_role() == thread_role::host && in_host_burst())) {
        write_posted_ = true;
        return queued::for_the_loop;
    }
    return write_queued(lock) ? queued::written : queued::failed;
}

void pipe_connection::write_posted() {
    bool failed = false;
    {
        std::unique_lock<std::mutex> lock(send_lock_);
        write_posted_ = false;
        failed = !write_queued(lock);
    }
    if (failed) {
        write_side_failed();
    }
}

bool pipe_connection::write_queued(std::unique_lock<std::mutex>& lock) {
    // The loop, which alone finishes writes and closes the pipe, makes the call without the
    // lock: senders on other threads go on queueing (writing_ tells them the write takes their
    // frames along) instead of waiting for the system call.
    const bool unlocked_call = loop_->is_current_thread();
    while (!writing_ && pipe_writable_ && !link_broken_ && queue_.has_unwritten()) {
        const send_queue::piece piece = queue_.begin_write(state_ == state::draining);
        writing_ = true;
        write_.reset();
        if (unlocked_call) {
            lock.unlock();
        }
        DWORD written = 0;
        const bool done = WriteFile(pipe_, piece.data, static_cast<DWORD>(piece.size), &written,
                                    &write_.overlapped) != FALSE;
        const DWORD error = done ? 0 : GetLastError();
        if (unlocked_call) {
            lock.lock();
        }
        if (done) {
            complete_write(true, false);
            continue;
        }
        if (error == ERROR_IO_PENDING) {
            return true;  // the loop finishes it
        }
        log_error(L"win::pipe_connection::send_data_ WriteFile error %d", static_cast<int>(error));
        log_error(L"win::pipe_connection::send_data send data error %d ", static_cast<int>(error));
        complete_write(false, true);
        return false;
    }
    return true;
}

void pipe_connection::complete_write(bool succeeded, bool count_loss) {
    writing_ = false;
    if (succeeded) {
        queue_.write_done(state_ == state::draining);
    } else {
        link_broken_ = true;
        queue_.write_failed(count_loss);
    }
    if (queue_.holds_large_spares()) {
        holds_spare_room_.store(true, std::memory_order_relaxed);
    }
    room_.notify_all();  // room for senders, and a drain or a close that waits
}

void pipe_connection::on_write_done() {
    bool failed = false;
    {
        std::unique_lock<std::mutex> lock(send_lock_);
        DWORD transferred = 0;
        const bool written =
            GetOverlappedResult(pipe_, &write_.overlapped, &transferred, FALSE) != FALSE;
        const DWORD error = written ? 0 : GetLastError();
        if (!written && !(cancelled_ && error == ERROR_OPERATION_ABORTED)) {
            log_error(L"win::pipe_connection::on_handle_event [send]GetOverlappedResult error %d",
                      static_cast<int>(error));
        }
        complete_write(written, !cancelled_);
        failed = !written || !write_queued(lock);
    }
    note_activity(true);
    if (failed) {
        write_side_failed();
    }
}

void pipe_connection::write_failed() {
    if (loop_->is_current_thread()) {
        write_side_failed();
    } else {
        post(&pipe_connection::write_side_failed);
    }
}

void pipe_connection::write_side_failed() {
    if ((mode_ & 1) == 0 || read_stopped_ || reported_) {
        link_failed();
        return;
    }
    // The peer went while a write was on its way. What it sent before it went is still to be
    // read: the read side ends the link once it has delivered that (it sees the end of the
    // stream), or, should it not end, the grace period does.
    std::weak_ptr<pipe_connection> weak = shared_from_this();
    loop_->post_after(limits_.write_failure_grace_ms, [weak] {
        if (const auto self = weak.lock()) {
            self->link_failed();
            self->after_io();
        }
    });
}

byte_buffer pipe_connection::new_frame() {
    byte_buffer frame;
    {
        std::lock_guard<std::mutex> lock(send_lock_);
        frame = queue_.take_spare();
    }
    frame.resize(frame_header_size);
    return frame;
}

byte_buffer pipe_connection::take_delivered_frame() {
    return frame_buffer_.take_frame();
}

void pipe_connection::give_back_frame(byte_buffer&& frame) {
    std::lock_guard<std::mutex> lock(send_lock_);
    if (frame.capacity() > received_spare_.capacity()) {
        received_spare_.swap(frame);
        if (received_spare_.capacity() > pipe_frame_buffer::retained_bytes) {
            holds_spare_room_.store(true, std::memory_order_relaxed);
        }
    }
}

void pipe_connection::note_activity(bool on_loop) {
    activity_.fetch_add(1, std::memory_order_relaxed);
    if (room_check_armed_.load(std::memory_order_relaxed)) {
        return;
    }
    // Only a link that holds large room needs the check: small frames cost no wake-up.
    const bool large = (on_loop && frame_buffer_.capacity() > pipe_frame_buffer::retained_bytes) ||
                       holds_spare_room_.load(std::memory_order_relaxed);
    if (large && !room_check_armed_.exchange(true)) {
        arm_room_check();
    }
}

void pipe_connection::arm_room_check() {
    std::weak_ptr<pipe_connection> weak = shared_from_this();
    loop_->post_after(buffer_idle_ms, [weak] {
        if (const auto self = weak.lock()) {
            self->check_idle_room();
        }
    });
}

void pipe_connection::check_idle_room() {
    if (activity_.exchange(0) > 0 && state_ == state::open) {
        arm_room_check();  // still busy: look again later
        return;
    }
    frame_buffer_.give_back_room();
    std::vector<byte_buffer> released;  // freed after the lock
    byte_buffer received;
    {
        std::lock_guard<std::mutex> lock(send_lock_);
        released = queue_.release_large_spares();
        if (received_spare_.capacity() > pipe_frame_buffer::retained_bytes) {
            received.swap(received_spare_);
        }
        holds_spare_room_.store(false, std::memory_order_relaxed);
    }
    room_check_armed_ = false;
}

}  // namespace tovi
