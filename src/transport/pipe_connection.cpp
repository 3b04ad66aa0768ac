// One end of a pipe link: framing and queued writes, the read of each frame, failure reports
// and the graceful close.
#include "transport/pipe_connection.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "log/log.h"
#include "log/utf8_to_utf16.h"
#include "platform/io_threads.h"
#include "transport/pipe_handler_async.h"
#include "transport/thread_base.h"

namespace tovi {

namespace {
uint32_t address_of(const void* object) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(object));
}
std::atomic<uint64_t> last_generation{0};
// Reads finished at once in one dispatch, before the connection lets others have the loop.
constexpr int inline_reads = 64;
// Pause between two attempts to open a pipe whose server has no instance at that moment.
constexpr DWORD connect_retry_ms = 2;
}  // namespace

pipe_connection::pipe_connection(uint32_t mode, pipe_handler_async* loop)
    : mode_(mode), generation_(++last_generation), loop_(loop) {
    read_.listener = this;
    write_.listener = this;
}

pipe_connection::~pipe_connection() {
    // Only a connection that never reached the loop still has its handle here.
    if (pipe_ != INVALID_HANDLE_VALUE) {
        CloseHandle(pipe_);
    }
}

std::shared_ptr<pipe_connection> pipe_connection::connect_to_server(const std::string& name,
                                                                    uint32_t mode, uint32_t wait_ms,
                                                                    pipe_recv_handle* receiver,
                                                                    pipe_handler_async* loop) {
    using clock = std::chrono::steady_clock;
    log_info(L"win::pipe_connection::connect_to_server");
    const std::wstring wide = utf8_to_utf16(name.data(), static_cast<int32_t>(name.size()));
    const std::wstring path = L"\\\\.\\pipe\\" + wide;
    DWORD access = 0;
    if (mode & 1)
        access |= GENERIC_READ;
    if (mode & 2)
        access |= GENERIC_WRITE;
    const auto deadline = clock::now() + std::chrono::milliseconds(wait_ms);
    HANDLE pipe = INVALID_HANDLE_VALUE;
    bool waited = false;  // the last failure was the wait's, not the open's
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        waited =
            !WaitNamedPipeW(path.c_str(), left.count() > 0 ? static_cast<DWORD>(left.count()) : 1);
        DWORD error = GetLastError();
        if (!waited) {
            // Whoever serves the name may learn who this client is, never act as it.
            pipe = CreateFileW(
                path.c_str(), access, 0, nullptr, OPEN_EXISTING,
                FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
            if (pipe != INVALID_HANDLE_VALUE) {
                break;
            }
            error = GetLastError();
        }
        // Another client took the free instance, or the server is between two instances:
        // try again while time is left. Anything else is final.
        const bool retry =
            error == ERROR_PIPE_BUSY || error == ERROR_FILE_NOT_FOUND || error == ERROR_SEM_TIMEOUT;
        if (!retry || clock::now() >= deadline) {
            if (waited) {
                log_error(L"win::pipe_connection::connect_to_server wait pipe failed: name=%s",
                          wide.c_str());
            } else {
                log_error(L"win::pipe_connection::connect_to_server create file failed: name=%s",
                          wide.c_str());
            }
            return nullptr;
        }
        if (error == ERROR_FILE_NOT_FOUND) {
            Sleep(connect_retry_ms);
        }
    }
    std::shared_ptr<pipe_connection> connection;
    try {
        connection = std::make_shared<pipe_connection>(mode, loop);
    } catch (const std::bad_alloc&) {
        CloseHandle(pipe);
        return nullptr;
    }
    if (!connection->init_pipe(pipe, receiver)) {
        return nullptr;
    }
    return connection;
}

void pipe_connection::release_pipe_connection(std::shared_ptr<pipe_connection>& connection) {
    if (connection != nullptr) {
        connection->close(true);
        connection.reset();
    }
    log_info(L"win::pipe_connection::release_pipe_connection");
}

bool pipe_connection::init_pipe(HANDLE pipe, pipe_recv_handle* receiver, bool associated) {
    pipe_ = pipe;
    receiver_ = receiver;
    if (!loop_->attach(pipe, shared_from_this(), associated)) {
        CloseHandle(pipe_);
        pipe_ = INVALID_HANDLE_VALUE;
        state_ = state::closed;
        return false;
    }
    bool waiting = false;
    {
        std::lock_guard<std::mutex> lock(send_lock_);
        pipe_writable_ = true;
        waiting = !queue_.empty() && !write_posted_;  // sent before the pipe could take it
        write_posted_ = write_posted_ || waiting;
    }
    if (waiting) {
        post(&pipe_connection::write_posted);
    }
    // Through the loop: the owner stores the connection before anything is read from it.
    post(&pipe_connection::add_recv_request);
    return true;
}

void pipe_connection::post(void (pipe_connection::*work)()) {
    loop_->post([self = shared_from_this(), work] {
        ((*self).*work)();
        self->after_io();
    });
}

bool pipe_connection::send_data(const char* data, uint32_t length) {
    if ((mode_ & 2) == 0) {
        return false;
    }
    byte_buffer frame;
    if (!pipe_frame_buffer::build_frame(data, length, frame) || frame.empty()) {
        return false;
    }
    return send_frame(std::move(frame));
}

bool pipe_connection::send_frame(byte_buffer&& frame) {
    if ((mode_ & 2) == 0 || frame.size() <= frame_header_size) {
        return false;
    }
    const size_t size = frame.size();
    if (size > max_frame_size) {
        log_error(L"win::pipe_connection::send_data a frame of %u bytes is above the limit of %u",
                  static_cast<uint32_t>(size > UINT32_MAX ? UINT32_MAX : size), max_frame_size);
        return false;
    }
    pipe_frame_buffer::put_header(frame.data(), static_cast<uint32_t>(size));
    queued outcome = queued::written;
    {
        std::unique_lock<std::mutex> lock(send_lock_);
        if (!has_room(lock, size)) {
            return false;
        }
        queue_.push_back(queued_batch{std::move(frame), 1, false});
        outcome = queue_frame(lock, size);
    }
    return after_queued(outcome);
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

bool pipe_connection::send_encoded(size_t payload_hint, encoder write, const void* context) {
    if ((mode_ & 2) == 0) {
        return false;
    }
    if (payload_hint >= small_frame_bytes) {
        byte_buffer frame = new_frame();
        message_codec::message_writer own;  // its data dwarfs what the link's would save
        return write(frame, own, context) && send_frame(std::move(frame));
    }
    queued outcome = queued::written;
    {
        std::unique_lock<std::mutex> lock(send_lock_);
        if (!has_room(lock, frame_header_size + payload_hint)) {
            return false;
        }
        if (queue_.empty() || !queue_.back().open ||
            queue_.back().bytes.size() + small_frame_bytes > write_batch_bytes) {
            queue_.push_back(queued_batch{take_spare(), 0, true});
            queue_.back().bytes.reserve(write_batch_bytes);  // filled in place, never moved
        }
        queued_batch& batch = queue_.back();
        const size_t start = batch.bytes.size();
        batch.bytes.resize(start + frame_header_size);
        if (!write(batch.bytes, writer_, context) ||
            batch.bytes.size() == start + frame_header_size) {
            batch.bytes.resize(start);
            if (batch.frames == 0) {
                queue_.pop_back();
            }
            return false;
        }
        const size_t size = batch.bytes.size() - start;
        pipe_frame_buffer::put_header(batch.bytes.data() + start, static_cast<uint32_t>(size));
        ++batch.frames;
        outcome = queue_frame(lock, size);
    }
    return after_queued(outcome);
}

bool pipe_connection::has_room(std::unique_lock<std::mutex>& lock, size_t size) {
    const auto room = [&] {
        return queued_bytes_ == 0 || queued_bytes_ + size <= send_high_water_bytes;
    };
    if (!thread_base::is_library_thread()) {
        keep_pace(lock);
    }
    if (!room() && !is_closing() && !link_broken_) {
        // A library thread never waits: it may be the very thread that drains the queue.
        if (!thread_base::is_library_thread()) {
            room_.wait_for(lock, std::chrono::milliseconds(send_wait_ms),
                           [&] { return room() || is_closing() || link_broken_; });
        }
        if (!room() && !is_closing() && !link_broken_) {
            log_error(
                L"win::pipe_connection::send_data send queue full: %u bytes wait to be written",
                static_cast<uint32_t>(queued_bytes_));
            return false;
        }
    }
    return !is_closing() && !link_broken_;
}

void pipe_connection::keep_pace(std::unique_lock<std::mutex>& lock) {
    if (queued_bytes_ <= pace_bytes || !(writing_ || write_posted_) ||
        writes_taken_ == stalled_at_ || is_closing() || link_broken_) {
        return;
    }
    const uint64_t taken = writes_taken_;
    if (!room_.wait_for(lock, std::chrono::milliseconds(pace_wait_ms), [&] {
            return writes_taken_ != taken || queued_bytes_ <= pace_bytes || is_closing() ||
                   link_broken_;
        })) {
        stalled_at_ = taken;  // no pacing until the peer takes a write again
    }
}

bool pipe_connection::in_host_burst() {
    const auto now = clock::now();
    const bool burst = now - last_host_send_ < std::chrono::microseconds(send_burst_gap_us);
    last_host_send_ = now;
    return burst;
}

pipe_connection::queued pipe_connection::queue_frame(std::unique_lock<std::mutex>& lock,
                                                     size_t size) {
    queued_bytes_ += size;
    if (writing_ || write_posted_) {
        return queued::written;  // the write outstanding, or the loop, takes it along
    }
    // A host thread that sends in a burst leaves the writing to the loop, which then takes
    // many frames to a write; a message on its own goes out at once, where a host thread may
    // issue it.
    if (!thread_base::is_io_thread() &&
        (!tovi_platform::any_thread_may_issue_io || in_host_burst())) {
        write_posted_ = true;
        return queued::for_the_loop;
    }
    // Out at once, on this thread; the loop finishes a write that has to wait.
    return write_queued(lock) ? queued::written : queued::failed;
}

byte_buffer pipe_connection::take_spare() {
    byte_buffer spare;
    if (!spares_.empty()) {
        spare.swap(spares_.back());
        spares_.pop_back();
        spares_bytes_ -= spare.capacity();
        spare.clear();
    }
    return spare;
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
    while (!writing_ && pipe_writable_ && !link_broken_ && (batch_left_ > 0 || !queue_.empty())) {
        if (batch_left_ == 0) {
            take_batch();
        }
        // A drain writes in small pieces, so that a slow reader's progress is seen.
        write_size_ =
            std::min(batch_left_, state_ == state::draining ? drain_write_bytes : max_write_bytes);
        writing_ = true;
        write_.reset();
        const char* const data = batch_data_;
        const auto size = static_cast<DWORD>(write_size_);
        if (unlocked_call) {
            lock.unlock();
        }
        DWORD written = 0;
        const bool done = WriteFile(pipe_, data, size, &written, &write_.overlapped) != FALSE;
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

void pipe_connection::take_batch() {
    queued_batch& next = queue_.front();
    batch_ = std::move(next.bytes);  // written from where it lies
    batch_frames_ = next.frames;
    queue_.pop_front();
    batch_data_ = batch_.data();
    batch_left_ = batch_.size();
}

void pipe_connection::complete_write(bool succeeded, bool count_loss) {
    writing_ = false;
    if (succeeded) {
        queued_bytes_ -= write_size_;
        batch_data_ += write_size_;
        batch_left_ -= write_size_;
        ++writes_taken_;
        if (state_ == state::draining) {
            last_progress_ = clock::now();
        }
    } else {
        link_broken_ = true;
        if (count_loss) {
            failed_frames_ += batch_frames_;  // counted with the rest when the link closes
            failed_bytes_ += batch_left_;
        }
        queued_bytes_ -= batch_left_;
        batch_left_ = 0;
    }
    write_size_ = 0;
    if (batch_left_ == 0) {
        end_batch();
    }
    room_.notify_all();  // room for senders, and a drain or a close that waits
}

void pipe_connection::end_batch() {
    if (batch_.capacity() > 0 && spares_bytes_ + batch_.capacity() <= spare_bytes) {
        spares_bytes_ += batch_.capacity();
        spares_.push_back(std::move(batch_));
        if (spares_bytes_ > pipe_frame_buffer::retained_bytes) {
            holds_spare_room_.store(true, std::memory_order_relaxed);
        }
    }
    batch_ = byte_buffer();
    batch_data_ = nullptr;
    batch_left_ = 0;
    batch_frames_ = 0;
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
    loop_->post_after(write_failure_grace_ms, [weak] {
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
        frame = take_spare();
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
    std::vector<byte_buffer> released;
    byte_buffer received;
    {
        std::lock_guard<std::mutex> lock(send_lock_);
        if (spares_bytes_ > pipe_frame_buffer::retained_bytes) {
            released.swap(spares_);
            spares_bytes_ = 0;
        }
        if (received_spare_.capacity() > pipe_frame_buffer::retained_bytes) {
            received.swap(received_spare_);
        }
        holds_spare_room_.store(false, std::memory_order_relaxed);
    }
    room_check_armed_ = false;
}

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

void pipe_connection::on_handle_event(HANDLE key) {
    DWORD transferred = 0;
    if (key == read_.key()) {
        reading_ = false;
        if (!GetOverlappedResult(pipe_, &read_.overlapped, &transferred, FALSE) &&
            GetLastError() != ERROR_MORE_DATA) {
            const DWORD error = GetLastError();
            if (!(cancelled_ && error == ERROR_OPERATION_ABORTED) && !is_goodbye_answer(error)) {
                log_warning(
                    L"win::pipe_connection::on_handle_event [recv]GetOverlappedResult "
                    L"error %d",
                    static_cast<int>(error));
            }
            link_failed();
        } else {
            frame_buffer_.commit(transferred);
            add_recv_request();
        }
    } else if (key == write_.key()) {
        bool failed = false;
        {
            std::unique_lock<std::mutex> lock(send_lock_);
            const bool written =
                GetOverlappedResult(pipe_, &write_.overlapped, &transferred, FALSE) != FALSE;
            const DWORD error = written ? 0 : GetLastError();
            if (!written && !(cancelled_ && error == ERROR_OPERATION_ABORTED)) {
                log_error(
                    L"win::pipe_connection::on_handle_event [send]GetOverlappedResult "
                    L"error %d",
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
    after_io();
}

void pipe_connection::link_failed() {
    read_stopped_ = true;
    {
        std::lock_guard<std::mutex> lock(send_lock_);
        link_broken_ = true;
        room_.notify_all();
    }
    if (!reported_ && state_ == state::open) {
        reported_ = true;
        pipe_error();
    }
    state expected = state::draining;  // the peer has gone: nothing more will drain
    state_.compare_exchange_strong(expected, state::closing);
}

bool pipe_connection::is_goodbye_answer(DWORD read_error) {
    if (read_error != ERROR_BROKEN_PIPE || !goodbye_said_.load(std::memory_order_acquire)) {
        return false;
    }
    peer_answered_ = true;
    return true;
}

void pipe_connection::pipe_error() {
    if (peer_answered_) {
        log_info(
            L"win::pipe_connection::pipe_error the peer closed the link after the goodbye "
            L"addr=%.8X",
            address_of(this));
    } else {
        log_info(L"win::pipe_connection::pipe_error pipe is broken addr=%.8X", address_of(this));
    }
    end_delivery();  // what came before the break is handed on before the break
    if (receiver_ != nullptr) {
        receiver_->on_pipe_disconnect(this);
    }
}

void pipe_connection::end_delivery() {
    if (delivered_) {
        delivered_ = false;
        if (receiver_ != nullptr) {
            receiver_->on_pipe_recv_done(this);
        }
    }
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

void pipe_connection::close(bool graceful) {
    {
        std::lock_guard<std::mutex> lock(send_lock_);
        state current = state_.load();
        if (current == state::open) {
            state_ = graceful ? state::draining : state::closing;
        } else if (current == state::draining && !graceful) {
            state_ = state::closing;
        } else {
            return;
        }
        room_.notify_all();
    }
    post(&pipe_connection::begin_close);
}

void pipe_connection::on_loop_stopping() {
    close(true);
}

void pipe_connection::begin_close() {
    if (state_ == state::draining && !drain_timer_) {
        drain_timer_ = true;
        drain_started_ = clock::now();
        {
            std::lock_guard<std::mutex> lock(send_lock_);
            last_progress_ = drain_started_;
        }
        arm_drain_check(drain_stall_ms);
    }
}

void pipe_connection::arm_drain_check(uint32_t delay_ms) {
    std::weak_ptr<pipe_connection> weak = shared_from_this();
    loop_->post_after(delay_ms, [weak] {
        if (const auto self = weak.lock()) {
            self->check_drain();
            self->after_io();
        }
    });
}

void pipe_connection::check_drain() {
    if (state_ != state::draining) {
        return;
    }
    clock::time_point last_progress;
    {
        std::lock_guard<std::mutex> lock(send_lock_);
        last_progress = last_progress_;
    }
    const auto now = clock::now();
    const auto stall_end = last_progress + std::chrono::milliseconds(drain_stall_ms);
    const auto limit_end = drain_started_ + std::chrono::milliseconds(drain_limit_ms);
    const auto next = std::min(stall_end, limit_end);
    if (now >= next) {
        state expected = state::draining;  // what is left is dropped, with a count in the log
        state_.compare_exchange_strong(expected, state::closing);
        return;
    }
    arm_drain_check(
        static_cast<uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count()));
}

void pipe_connection::after_io() {
    end_delivery();
    const state current = state_;
    if (current != state::open && current != state::closed) {
        advance_close();
    }
}

void pipe_connection::advance_close() {
    bool writing = false;
    uint32_t frames = 0;
    size_t bytes = 0;
    bool cancelling = false;
    {
        std::lock_guard<std::mutex> lock(send_lock_);
        if (state_ == state::draining) {
            if (!link_broken_ && (writing_ || batch_left_ > 0 || !queue_.empty())) {
                return;  // still draining
            }
            state_ = state::closing;
        }
        if (!cancelled_) {
            cancelled_ = true;
            cancelling = true;
            pipe_writable_ = false;  // no thread issues another write
            // The write outstanding is cancelled below: it counts as not written.
            frames = failed_frames_ + batch_frames_;
            for (const queued_batch& queued : queue_) {
                frames += queued.frames;
            }
            bytes = queued_bytes_ + failed_bytes_;
            queue_.clear();
            if (!writing_) {
                end_batch();  // a batch cut short is not written on
            }
            queued_bytes_ = batch_left_;  // the write outstanding: taken off when it comes back
            link_broken_ = true;
            room_.notify_all();
        }
        writing = writing_;
    }
    if (cancelling) {
        if (frames > 0) {
            log_warning(
                L"win::pipe_connection::close %u messages (%u bytes) were not written "
                L"and are dropped",
                frames, static_cast<uint32_t>(bytes > UINT32_MAX ? UINT32_MAX : bytes));
        }
        if (reading_ || writing) {
            CancelIoEx(pipe_, nullptr);
        }
    }
    if (reading_ || writing) {
        return;  // the cancelled operations come back through the loop
    }
    const HANDLE pipe = pipe_;
    if (pipe != INVALID_HANDLE_VALUE) {
        CloseHandle(pipe);
        pipe_ = INVALID_HANDLE_VALUE;
    }
    {
        std::lock_guard<std::mutex> lock(send_lock_);
        state_ = state::closed;
        room_.notify_all();  // wait_closed
    }
    loop_->detach(pipe);
}

bool pipe_connection::wait_closed(uint32_t timeout_ms) {
    if (loop_->is_current_thread()) {
        return false;
    }
    std::unique_lock<std::mutex> lock(send_lock_);
    return room_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                          [this] { return state_ == state::closed; });
}

}  // namespace tovi
