// One end of a pipe link: opening it, the loop's dispatch of its completions, the link's
// failure and the graceful close. The write side is in pipe_connection_write.cpp, the read side
// in pipe_connection_read.cpp.
#include "transport/pipe_connection.h"

#include <algorithm>
#include <chrono>

#include "log/log.h"
#include "log/utf8_to_utf16.h"
#include "transport/pipe_handler_async.h"

namespace tovi {

namespace {
uint32_t address_of(const void* object) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(object));
}
std::atomic<uint64_t> last_generation{0};
// Pause between two attempts to open a pipe whose server has no instance at that moment.
constexpr DWORD connect_retry_ms = 2;
}  // namespace

pipe_connection::pipe_connection(uint32_t mode, pipe_handler_async* loop, const timing& limits,
                                 endpoint_counters* endpoint)
    : mode_(mode),
      generation_(++last_generation),
      counters_(endpoint),
      loop_(loop),
      limits_(limits) {
    read_.listener = this;
    write_.listener = this;
}

pipe_connection::~pipe_connection() {
    // Only a connection that never reached the loop still has its handle here.
    if (pipe_ != INVALID_HANDLE_VALUE) {
        CloseHandle(pipe_);
    }
}

namespace {

// Opens the client end of the pipe at path, trying again while another client takes the free
// instance or the server is between two instances, until deadline. INVALID_HANDLE_VALUE, with
// the error line of the last failure, when no server answered in time.
HANDLE open_client_end(const std::wstring& name, DWORD access, clock::time_point deadline) {
    const std::wstring path = L"\\\\.\\pipe\\" + name;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        const bool waited =  // the failure below is the wait's, not the open's
            !WaitNamedPipeW(path.c_str(), left.count() > 0 ? static_cast<DWORD>(left.count()) : 1);
        DWORD error = GetLastError();
        if (!waited) {
            // Whoever serves the name may learn who this client is, never act as it.
            const HANDLE pipe = CreateFileW(
                path.c_str(), access, 0, nullptr, OPEN_EXISTING,
                FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
            if (pipe != INVALID_HANDLE_VALUE) {
                return pipe;
            }
            error = GetLastError();
        }
        const bool retry =
            error == ERROR_PIPE_BUSY || error == ERROR_FILE_NOT_FOUND || error == ERROR_SEM_TIMEOUT;
        if (!retry || clock::now() >= deadline) {
            if (waited) {
                log_error(L"win::pipe_connection::connect_to_server wait pipe failed: name=%s",
                          name.c_str());
            } else {
                log_error(L"win::pipe_connection::connect_to_server create file failed: name=%s",
                          name.c_str());
            }
            return INVALID_HANDLE_VALUE;
        }
        if (error == ERROR_FILE_NOT_FOUND) {
            Sleep(connect_retry_ms);
        }
    }
}

}  // namespace

std::shared_ptr<pipe_connection> pipe_connection::connect_to_server(
    const std::string& name, uint32_t mode, const timing& limits, pipe_receiver* receiver,
    pipe_handler_async* loop, endpoint_counters* endpoint) {
    log_info(L"win::pipe_connection::connect_to_server");
    DWORD access = 0;
    if (mode & 1)
        access |= GENERIC_READ;
    if (mode & 2)
        access |= GENERIC_WRITE;
    const HANDLE pipe =
        open_client_end(utf8_to_utf16(name.data(), static_cast<int32_t>(name.size())), access,
                        clock::now() + std::chrono::milliseconds(limits.connect_wait_ms));
    if (pipe == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    std::shared_ptr<pipe_connection> connection;
    try {
        connection = std::make_shared<pipe_connection>(mode, loop, limits, endpoint);
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

bool pipe_connection::init_pipe(HANDLE pipe, pipe_receiver* receiver, bool server_end) {
    pipe_ = pipe;
    receiver_ = receiver;
    tovi_platform::read_peer_identity(pipe, server_end, &peer_);
    if (!loop_->attach(pipe, shared_from_this(), server_end)) {
        CloseHandle(pipe_);
        pipe_ = INVALID_HANDLE_VALUE;
        state_ = state::closed;
        return false;
    }
    bool waiting = false;
    {
        std::lock_guard<std::mutex> lock(send_lock_);
        pipe_writable_ = true;
        waiting = queue_.has_unwritten() && !write_posted_;  // sent before the pipe could take it
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

void pipe_connection::on_handle_event(HANDLE key) {
    if (key == read_.key()) {
        on_read_done();
    } else if (key == write_.key()) {
        on_write_done();
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

link_figures pipe_connection::figures() {
    link_figures out = counters_.figures();
    std::lock_guard<std::mutex> lock(send_lock_);
    out.queued_bytes = queue_.queued_bytes();
    return out;
}

void pipe_connection::end_delivery() {
    if (delivered_) {
        delivered_ = false;
        counters_.note_heard();
        if (receiver_ != nullptr) {
            receiver_->on_pipe_recv_done(this);
        }
    }
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
            queue_.start_drain(drain_started_);
        }
        arm_drain_check(std::min(limits_.drain_stall_ms, limits_.drain_limit_ms));
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
        last_progress = queue_.last_progress();
    }
    const auto now = clock::now();
    const auto stall_end = last_progress + std::chrono::milliseconds(limits_.drain_stall_ms);
    const auto limit_end = drain_started_ + std::chrono::milliseconds(limits_.drain_limit_ms);
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
    send_queue::loss lost{0, 0};
    bool cancelling = false;
    {
        std::lock_guard<std::mutex> lock(send_lock_);
        if (state_ == state::draining) {
            if (!link_broken_ && (writing_ || queue_.has_unwritten())) {
                return;  // still draining
            }
            state_ = state::closing;
        }
        if (!cancelled_) {
            cancelled_ = true;
            cancelling = true;
            cut_ = true;                     // a write through stops at its next wait
            pipe_writable_ = false;          // no thread issues another write
            lost = queue_.drop_unwritten();  // the write outstanding is cancelled below
            link_broken_ = true;
            room_.notify_all();
        }
        writing = writing_;
    }
    if (cancelling) {
        if (lost.frames > 0) {
            log_warning(
                L"win::pipe_connection::close %u messages (%u bytes) were not written "
                L"and are dropped",
                lost.frames,
                static_cast<uint32_t>(lost.bytes > UINT32_MAX ? UINT32_MAX : lost.bytes));
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
