#include "transport/pipe_connection.h"

#include <new>
#include "platform/scoped_critical_section.h"

#include "log/log.h"
#include "log/utf8_to_utf16.h"
#include "transport/overlapped_manager.h"
#include "transport/pipe_handler_async.h"

namespace win {

namespace {
uint32_t address_of(const void* object) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(object));
}
std::atomic<uint64_t> last_generation{0};
}  // namespace

pipe_connection::pipe_connection(uint32_t mode, overlapped_manager* manager,
                                 pipe_handler_async* loop)
    : mode_(mode), generation_(++last_generation), manager_(manager), loop_(loop) {
    InitializeCriticalSection(&pending_lock_);
}

pipe_connection::~pipe_connection() {
    cancel_and_wait();
    if (pipe_ != INVALID_HANDLE_VALUE) {
        CloseHandle(pipe_);
        pipe_ = INVALID_HANDLE_VALUE;
    }
    DeleteCriticalSection(&pending_lock_);
}

void pipe_connection::cancel_and_wait() {
    std::map<HANDLE, pending_operation> pending;
    {
        scoped_critical_section hold(pending_lock_);
        closing_ = true;  // from here on nothing is recorded or registered for this connection
        pending.swap(pending_);
    }

    for (const auto& entry : pending) {
        loop_->remove_handle(entry.first);
    }
    // A dispatch of this connection that began before may still run; after this none does.
    loop_->wait_for_dispatch();

    if (pipe_ == INVALID_HANDLE_VALUE) {
        return;
    }
    CancelIoEx(pipe_, nullptr);
    for (auto& entry : pending) {
        if (entry.second.issued) {
            DWORD transferred = 0;
            GetOverlappedResult(pipe_, entry.second.overlapped.get(), &transferred, TRUE);
        }
    }
    // The records go back to the pool, and the frames and the receive buffer may go, only now.
}

pipe_connection* pipe_connection::connect_to_server(const std::string& name, uint32_t mode,
                                                    uint32_t wait_ms, pipe_recv_handle* receiver,
                                                    overlapped_manager* manager,
                                                    pipe_handler_async* loop) {
    log_info(L"win::pipe_connection::connect_to_server");
    const std::wstring wide = utf8_to_utf16(name.data(), static_cast<int32_t>(name.size()));
    const std::wstring path = L"\\\\.\\pipe\\" + wide;
    if (!WaitNamedPipeW(path.c_str(), wait_ms)) {
        log_error(L"win::pipe_connection::connect_to_server wait pipe failed: name=%s",
                  wide.c_str());
        return nullptr;
    }
    DWORD access = 0;
    if (mode & 1)
        access |= GENERIC_READ;
    if (mode & 2)
        access |= GENERIC_WRITE;
    HANDLE pipe =
        CreateFileW(path.c_str(), access, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        log_error(L"win::pipe_connection::connect_to_server create file failed: name=%s",
                  wide.c_str());
        return nullptr;
    }
    auto* connection = new (std::nothrow) pipe_connection(mode, manager, loop);
    if (connection == nullptr) {
        CloseHandle(pipe);
        return nullptr;
    }
    connection->init_pipe(pipe, receiver);
    return connection;
}

void pipe_connection::release_pipe_connection(pipe_connection* connection) {
    delete connection;
    log_info(L"win::pipe_connection::release_pipe_connection");
}

bool pipe_connection::init_pipe(HANDLE pipe, pipe_recv_handle* receiver) {
    pipe_ = pipe;
    receiver_ = receiver;
    return add_recv_request();
}

bool pipe_connection::send_data(const char* data, uint32_t length) {
    if ((mode_ & 2) == 0) {
        return false;
    }
    std::vector<char> frame;
    if (!pipe_frame_buffer::build_frame(data, length, frame) || frame.empty()) {
        return false;
    }
    if (!send_data_(std::move(frame))) {
        log_error(L"win::pipe_connection::send_data send data error %d ",
                  static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}

bool pipe_connection::send_data_(std::vector<char>&& frame) {
    if (pipe_ == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    const std::shared_ptr<OVERLAPPED> overlapped = manager_->get_overlapped();
    if (!overlapped) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    const DWORD size = static_cast<DWORD>(frame.size());
    std::vector<char>* bytes = add_pending_operation(overlapped, false, std::move(frame));
    if (bytes == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    DWORD written = 0;
    if (!WriteFile(pipe_, bytes->data(), size, &written, overlapped.get())) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            mark_failed_at_once(overlapped->hEvent);
            log_error(L"win::pipe_connection::send_data_ WriteFile error %d",
                      static_cast<int>(error));
            SetLastError(error);
            return false;
        }
    }
    return true;
}

std::vector<char>* pipe_connection::add_pending_operation(
    const std::shared_ptr<OVERLAPPED>& overlapped, bool is_recv, std::vector<char>&& frame) {
    HANDLE event = overlapped->hEvent;
    std::vector<char>* bytes = nullptr;
    {
        scoped_critical_section hold(pending_lock_);
        if (closing_) {
            return nullptr;
        }
        pending_operation& entry = pending_[event];
        entry.overlapped = overlapped;
        entry.is_recv = is_recv;
        entry.frame = std::move(frame);
        bytes = &entry.frame;  // map nodes stay put until the entry is taken
    }
    loop_->add_handle(event, this, event);  // no lock of the connection held
    return bytes;
}

pipe_connection::pending_operation pipe_connection::take_pending_operation(HANDLE event) {
    pending_operation taken;
    {
        scoped_critical_section hold(pending_lock_);
        auto found = pending_.find(event);
        if (found != pending_.end()) {
            taken = std::move(found->second);
            pending_.erase(found);
        }
    }
    return taken;
}

void pipe_connection::mark_failed_at_once(HANDLE event) {
    {
        scoped_critical_section hold(pending_lock_);
        auto found = pending_.find(event);
        if (found != pending_.end()) {
            found->second.issued = false;
        }
    }
}

bool pipe_connection::add_recv_request() {
    if ((mode_ & 1) == 0 || pipe_ == INVALID_HANDLE_VALUE) {
        return false;
    }
    const int32_t need = frame_buffer_.bytes_needed();
    if (need < 1 || static_cast<uint32_t>(need) > max_frame_size) {
        log_error(L"win::pipe_connection::add_recv_request error len %d", need);
        return false;
    }
    recv_buffer_.resize(static_cast<size_t>(need));
    const std::shared_ptr<OVERLAPPED> overlapped = manager_->get_overlapped();
    if (!overlapped || add_pending_operation(overlapped, true, {}) == nullptr) {
        return false;
    }
    DWORD read = 0;
    if (!ReadFile(pipe_, recv_buffer_.data() + received_, static_cast<DWORD>(need) - received_,
                  &read, overlapped.get())) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            mark_failed_at_once(overlapped->hEvent);
            log_error(L"win::pipe_connection::add_recv_request ReadFile error %d",
                      static_cast<int>(error));
            return false;
        }
    }
    return true;
}

void pipe_connection::on_handle_event(HANDLE event) {
    pending_operation entry = take_pending_operation(event);
    if (!entry.overlapped || pipe_ == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD transferred = 0;
    if (!entry.is_recv) {
        if (!GetOverlappedResult(pipe_, entry.overlapped.get(), &transferred, FALSE)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_INCOMPLETE) {
                log_error(
                    L"win::pipe_connection::on_handle_event [send]GetOverlappedResult "
                    L"error %d",
                    static_cast<int>(error));
                pipe_error();
            }
        }
        return;  // the entry goes, and its record returns to the pool
    }

    const int32_t need = frame_buffer_.bytes_needed();
    if (!GetOverlappedResult(pipe_, entry.overlapped.get(), &transferred, FALSE)) {
        const DWORD error = GetLastError();
        if (error != ERROR_MORE_DATA) {
            log_warning(
                L"win::pipe_connection::on_handle_event [recv]GetOverlappedResult "
                L"error %d",
                static_cast<int>(error));
            pipe_error();
            return;
        }
    }
    received_ += transferred;
    if (received_ >= static_cast<uint32_t>(need)) {
        frame_buffer_.append(recv_buffer_.data(), static_cast<size_t>(need));
        if (frame_buffer_.checkIfError()) {
            log_error(L"win::pipe_connection::on_handle_event checkIfError");
            pipe_error();
            return;
        }
        if (frame_buffer_.get_payload(payload_) && receiver_ != nullptr &&
            !receiver_->on_pipe_recv_data(this, payload_.data(),
                                          static_cast<int32_t>(payload_.size()))) {
            log_info(L"win::pipe_connection::on_handle_event recv exit notice");
            pipe_error();
            return;
        }
        received_ -= static_cast<uint32_t>(need);
    }
    add_recv_request();
}

void pipe_connection::pipe_error() {
    log_info(L"win::pipe_connection::pipe_error pipe is broken addr=%.8X", address_of(this));
    if (receiver_ != nullptr) {
        receiver_->on_pipe_disconnect(this);
    }
}

}  // namespace win
