// A link's read side, on the loop thread: one read outstanding, every whole frame handed to the
// receiver in order, and the end of the stream.
#include "log/log.h"
#include "transport/pipe_connection.h"
#include "transport/pipe_handler_async.h"

namespace tovi {

namespace {
// Reads finished at once in one dispatch, before the connection lets others have the loop.
constexpr int inline_reads = 64;
}  // namespace

void pipe_connection::add_recv_request() {
    for (int budget = inline_reads;; --budget) {
        if (!deliver_frames() || !can_read()) {
            return;
        }
        if (budget == 0) {
            post(&pipe_connection::add_recv_request);  // the rest after the other connections
            return;
        }
        if (frame_buffer_.reads_large_frame()) {
            // A receiver gave back the room of a frame it kept: use it before allocating.
            std::lock_guard<std::mutex> lock(send_lock_);
            frame_buffer_.adopt_room(received_spare_);
        }
        size_t room = 0;
        char* target = frame_buffer_.read_room(&room);
        read_.reset();
        DWORD transferred = 0;
        if (ReadFile(pipe_, target, static_cast<DWORD>(room), &transferred, &read_.overlapped)) {
            frame_buffer_.commit(transferred);
            continue;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            reading_ = true;
            return;
        }
        if (!is_goodbye_answer(error)) {
            log_error(L"win::pipe_connection::add_recv_request ReadFile error %d",
                      static_cast<int>(error));
        }
        link_failed();
        return;
    }
}

bool pipe_connection::can_read() const {
    return (mode_ & 1) != 0 && !read_stopped_ && !read_paused_ && !delivery_held_ && !reading_ &&
           !cancelled_ && pipe_ != INVALID_HANDLE_VALUE;
}

bool pipe_connection::deliver_frames() {
    for (;;) {
        if (read_stopped_) {
            return false;
        }
        const char* payload = nullptr;
        size_t size = 0;
        int32_t short_by = 0;
        switch (frame_buffer_.next_frame(&payload, &size, &short_by)) {
            case pipe_frame_buffer::next::more:
                return true;
            case pipe_frame_buffer::next::bad_header:
                log_error(L"win::pipe_connection::on_handle_event checkIfError");
                link_failed();
                return false;
            case pipe_frame_buffer::next::short_length:
                log_error(L"win::pipe_connection::add_recv_request error len %d", short_by);
                link_failed();
                return false;
            case pipe_frame_buffer::next::frame:
                break;
        }
        reset_heart_beat_count();  // a link that delivers is alive
        note_activity(true);
        delivered_ = true;
        if (state_ == state::open && receiver_ != nullptr &&
            !receiver_->on_pipe_recv_data(this, payload, static_cast<int32_t>(size))) {
            log_info(L"win::pipe_connection::on_handle_event recv exit notice");
            link_failed();
            return false;
        }
        if (delivery_held_) {
            frame_buffer_.put_back();
            return false;
        }
    }
}

void pipe_connection::on_read_done() {
    reading_ = false;
    DWORD transferred = 0;
    if (GetOverlappedResult(pipe_, &read_.overlapped, &transferred, FALSE) ||
        GetLastError() == ERROR_MORE_DATA) {
        frame_buffer_.commit(transferred);
        add_recv_request();
        return;
    }
    const DWORD error = GetLastError();
    if (!(cancelled_ && error == ERROR_OPERATION_ABORTED) && !is_goodbye_answer(error)) {
        log_warning(L"win::pipe_connection::on_handle_event [recv]GetOverlappedResult error %d",
                    static_cast<int>(error));
    }
    link_failed();
}

bool pipe_connection::is_goodbye_answer(DWORD read_error) {
    if (read_error != ERROR_BROKEN_PIPE || !goodbye_said_.load(std::memory_order_acquire)) {
        return false;
    }
    peer_answered_ = true;
    return true;
}

void pipe_connection::pause_reading() {
    read_paused_ = true;
}

void pipe_connection::resume_reading() {
    loop_->post([self = shared_from_this()] {
        if (self->read_paused_) {
            self->read_paused_ = false;
            self->add_recv_request();
        }
        self->after_io();
    });
}

void pipe_connection::release_delivery() {
    loop_->post([self = shared_from_this()] {
        if (self->delivery_held_) {
            self->delivery_held_ = false;
            self->add_recv_request();
        }
        self->after_io();
    });
}

}  // namespace tovi
