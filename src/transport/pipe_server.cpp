#include "transport/pipe_server.h"

#include <cstring>
#include <new>

#include "codec/message_codec.h"
#include "codec/records.h"
#include "log/log.h"
#include "log/utf8_to_utf16.h"
#include "platform/scoped_critical_section.h"
#include "transport/heart_beat_sender.h"
#include "transport/pipe_connection.h"

namespace win {

namespace {

constexpr DWORD open_mode = FILE_FLAG_OVERLAPPED | PIPE_ACCESS_DUPLEX;  // 0x40000003
constexpr DWORD pipe_mode =
    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
constexpr DWORD max_instances = PIPE_UNLIMITED_INSTANCES;
constexpr DWORD buffer_size = 1024;
constexpr uint32_t connection_mode = 3;

std::wstring wide(const std::string& text) {
    return utf8_to_utf16(text.data(), static_cast<int32_t>(text.size()));
}

uint32_t low_bits(uintptr_t address) {
    return static_cast<uint32_t>(address);
}

}  // namespace

pipe_server::pipe_server() {
    InitializeCriticalSection(&connect_lock_);
    InitializeCriticalSection(&clientid_lock_);
    InitializeCriticalSection(&heart_beat_lock_);
}

pipe_server::~pipe_server() {
    stop_heart_beat();
    tasks_.stop_tasks();
    // stop_server normally did this already; an owner that did not still gets no dispatch
    // into a connection or the listening record after its members are gone.
    loop_.stop_thread();
    close_listen_pipe();
    drop_all_connections();
    DeleteCriticalSection(&heart_beat_lock_);
    DeleteCriticalSection(&clientid_lock_);
    DeleteCriticalSection(&connect_lock_);
}

pipe_server::connection_ref pipe_server::ref_of(const pipe_connection* connection) {
    return connection_ref{reinterpret_cast<uintptr_t>(connection), connection->generation()};
}

bool pipe_server::is_callback_thread() const {
    return loop_.is_current_thread() || tasks_.is_worker_thread();
}

bool pipe_server::start_server(const std::string& name, pipe_server_watch* watch) {
    log_info(L"win::pipe_server::start_server");
    pipe_name_ = name;
    watch_ = watch;
    {
        scoped_critical_section hold(heart_beat_lock_);
        if (heart_beat_ == nullptr) {
            heart_beat_ = new (std::nothrow) heart_beat_sender(this, heart_beat_interval_ms);
            if (heart_beat_ != nullptr) {
                heart_beat_->start();
            }
        }
    }
    return add_listen_pipe(true);
}

bool pipe_server::add_listen_pipe(bool first_instance) {
    if (pipe_name_.empty()) {
        log_error(L"win::pipe_server::add_listen_pipe pipe name is empty");
        return false;
    }
    listen_overlapped_ = manager_.get_overlapped();
    if (!listen_overlapped_) {
        return false;
    }
    HANDLE event = listen_overlapped_->hEvent;
    loop_.add_handle(event, this, event);
    const std::wstring path = L"\\\\.\\pipe\\" + wide(pipe_name_);
    listen_pipe_ = CreateNamedPipeW(
        path.c_str(), open_mode | (first_instance ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0), pipe_mode,
        max_instances, buffer_size, buffer_size, 0, nullptr);
    if (listen_pipe_ == INVALID_HANDLE_VALUE) {
        log_error(L"win::pipe_server::add_listen_pipe CreateNamedPipe failed. %d",
                  static_cast<int>(GetLastError()));
        return false;
    }
    if (ConnectNamedPipe(listen_pipe_, listen_overlapped_.get())) {
        log_error(L"win::pipe_server::add_listen_pipe ConnectNamedPipe return true");
        CloseHandle(listen_pipe_);
        listen_pipe_ = INVALID_HANDLE_VALUE;
        return false;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) {
        SetEvent(event);  // a client came between the two calls: report it through the loop
        return true;
    }
    if (error == ERROR_IO_PENDING) {
        return true;
    }
    log_error(L"win::pipe_server::add_listen_pipe ConnectNamedPipe error %d",
              static_cast<int>(error));
    CloseHandle(listen_pipe_);
    listen_pipe_ = INVALID_HANDLE_VALUE;
    return false;
}

void pipe_server::close_listen_pipe() {
    if (listen_overlapped_) {
        loop_.remove_handle(listen_overlapped_->hEvent);
    }
    if (listen_pipe_ != INVALID_HANDLE_VALUE) {
        // The record may go back to the pool only once the waiting connect has ended.
        if (listen_overlapped_) {
            CancelIoEx(listen_pipe_, listen_overlapped_.get());
            DWORD transferred = 0;
            GetOverlappedResult(listen_pipe_, listen_overlapped_.get(), &transferred, TRUE);
        }
        CloseHandle(listen_pipe_);
        listen_pipe_ = INVALID_HANDLE_VALUE;
    }
    listen_overlapped_.reset();
}

void pipe_server::on_handle_event(HANDLE key) {
    if (!listen_overlapped_ || listen_overlapped_->hEvent != key) {
        return;
    }
    std::shared_ptr<pipe_connection> connection;
    try {
        connection = std::make_shared<pipe_connection>(connection_mode, &manager_, &loop_);
    } catch (const std::bad_alloc&) {
        return;  // the instance stays connected and unread; the client times out
    }
    HANDLE pipe = listen_pipe_;
    listen_pipe_ = INVALID_HANDLE_VALUE;  // the connection owns it now
    connection->init_pipe(pipe, this);
    const connection_ref ref = ref_of(connection.get());
    log_info(L"win::pipe_server::on_handle_event recv client connect event: con_addr=%.8X",
             low_bits(ref.address));
    {
        scoped_critical_section hold(connect_lock_);
        connect_map_[ref.address] = std::move(connection);
    }
    add_listen_pipe(false);
}

bool pipe_server::on_pipe_recv_data(pipe_connection* connection, const char* data, int32_t length) {
    if (connection == nullptr || data == nullptr || length < 1) {
        return true;
    }
    message_codec::decoded_message message;
    if (!message_codec::decode_message(data, static_cast<size_t>(length), &message)) {
        log_error(L"win::pipe_server::on_pipe_recv_data decode pipe protocol failed");
        return true;
    }
    const message_codec::message_view& view = message.view;
    // The loop thread's own copies: the client id and a text are handed on NUL-terminated.
    received_id_.assign(view.client_id, view.client_id_size);
    const bool bound = bind_clientid_to_connect(received_id_, ref_of(connection));
    const char* client_id = received_id_.c_str();
    switch (view.msg_type) {
        case msg_clientstate: {
            int32_t state = 0;
            if (!message_codec::decode_state(view.body, view.body_size, &state)) {
                log_error(L"win::pipe_server::on_pipe_recv_data decode msg_clientstate failed");
                return true;
            }
            if (state == state_connect) {
                if (!bound) {
                    log_error(
                        L"win::pipe_server::on_pipe_recv_data clientid %s connect faild, "
                        L"the server already has the same connection.",
                        wide(received_id_).c_str());
                    send_exit_notice(connection);
                    on_pipe_disconnect(connection);
                    return true;
                }
                if (watch_ != nullptr) {
                    watch_->on_client_connect(client_id);
                }
            } else if (state == state_client_exit) {
                log_info(L"win::pipe_server::on_pipe_recv_data client send exit notice");
                return false;
            }
            return true;
        }
        case msg_string: {
            if (!message_codec::decode_text(view.body, view.body_size, &received_text_)) {
                log_error(L"win::pipe_server::on_pipe_recv_data decode msg_string failed");
                return true;
            }
            if (watch_ != nullptr) {
                watch_->on_recv_data(client_id, received_text_.c_str(),
                                     static_cast<int32_t>(received_text_.size()));
            }
            return true;
        }
        case msg_bytestream: {
            std::vector<char> storage;
            const char* bytes = nullptr;
            int32_t length = 0;
            if (!message_codec::decode_bytes(view.body, view.body_size, &storage, &bytes,
                                             &length)) {
                log_error(L"win::pipe_server::on_pipe_recv_data decode msg_bytestream failed");
                return true;
            }
            if (watch_ != nullptr) {
                watch_->on_recv_data(client_id, bytes, length);
            }
            return true;
        }
        case msg_heartbeat:
            connection->reset_heart_beat_count();
            return true;
        default:
            return true;
    }
}

bool pipe_server::bind_clientid_to_connect(const std::string& client_id,
                                           connection_ref connection) {
    scoped_critical_section hold(clientid_lock_);
    if (!clientid_map_.try_emplace(client_id, connection).second) {
        return false;
    }
    log_info(
        L"win::pipe_server::bind_clientid_to_connect client bind success: "
        L"client_id=%s, con_add=%.8X",
        wide(client_id).c_str(), low_bits(connection.address));
    return true;
}

pipe_server::connection_ref pipe_server::get_connect_by_clientid(const std::string& client_id) {
    scoped_critical_section hold(clientid_lock_);
    auto found = clientid_map_.find(client_id);
    return found != clientid_map_.end() ? found->second : connection_ref{};
}

std::shared_ptr<pipe_connection> pipe_server::find_connection(connection_ref connection) {
    scoped_critical_section hold(connect_lock_);
    auto entry = connect_map_.find(connection.address);
    if (entry != connect_map_.end() && entry->second->generation() == connection.generation) {
        return entry->second;
    }
    return nullptr;
}

void pipe_server::on_pipe_disconnect(pipe_connection* connection) {
    if (connection != nullptr) {
        post_disconnect(ref_of(connection));
    }
}

void pipe_server::post_disconnect(connection_ref connection) {
    tasks_.post_task(std::make_shared<std::function<void()>>(
        [this, connection] { on_disconnect_task(connection); }));
}

void pipe_server::on_disconnect_task(connection_ref connection) {
    std::string client_id;
    {
        scoped_critical_section hold(clientid_lock_);
        for (auto entry = clientid_map_.begin(); entry != clientid_map_.end(); ++entry) {
            if (entry->second == connection) {
                client_id = entry->first;
                clientid_map_.erase(entry);
                break;
            }
        }
    }

    std::shared_ptr<pipe_connection> dropped;
    {
        scoped_critical_section hold(connect_lock_);
        auto entry = connect_map_.find(connection.address);
        if (entry != connect_map_.end() && entry->second->generation() == connection.generation) {
            dropped = std::move(entry->second);
            connect_map_.erase(entry);
        }
    }
    dropped.reset();  // destroyed here, with no lock of the server held, unless a send holds it

    if (!client_id.empty() && watch_ != nullptr) {
        watch_->on_client_disconnect(client_id.c_str());
    }
    log_info(
        L"win::pipe_server::on_pipe_disconnect::<lambda_fa80b9d7ffee360250b96ba6d9e5631b>"
        L"::operator () clientid = %s",
        wide(client_id).c_str());
}

bool pipe_server::on_heart_beat() {
    std::vector<connection_ref> silent;
    {
        scoped_critical_section hold(connect_lock_);
        for (auto& entry : connect_map_) {
            if (entry.second->is_heart_beat_timeout()) {
                silent.push_back(ref_of(entry.second.get()));
            } else {
                entry.second->add_heart_beat_count();
            }
        }
    }
    for (const connection_ref& connection : silent) {
        post_disconnect(connection);
    }
    return true;
}

bool pipe_server::send_to(const char* client_id, std::vector<char>&& frame) {
    const connection_ref ref = get_connect_by_clientid(client_id);
    if (ref.address == 0) {
        return false;
    }
    const std::shared_ptr<pipe_connection> connection = find_connection(ref);
    return connection != nullptr && connection->send_frame(std::move(frame));
}

bool pipe_server::send_bytestream(const char* client_id, const char* data, int32_t length) {
    if (client_id == nullptr || data == nullptr || length < 1) {
        return false;
    }
    std::vector<char> frame(frame_header_size);
    message_codec::write_bytes(frame, sender_server, std::string(), length, data,
                               static_cast<size_t>(length));
    return send_to(client_id, std::move(frame));
}

bool pipe_server::send_string(const char* client_id, const char* text, int32_t length) {
    if (client_id == nullptr || text == nullptr || length < 1) {
        return false;
    }
    std::vector<char> frame(frame_header_size);
    message_codec::write_text(frame, sender_server, std::string(), text, std::strlen(text));
    return send_to(client_id, std::move(frame));
}

void pipe_server::send_exit_notice(pipe_connection* connection) {
    if (connection == nullptr) {
        return;
    }
    std::vector<char> frame(frame_header_size);
    message_codec::write_state(frame, sender_server, std::string(), state_server_exit);
    connection->send_frame(std::move(frame));
}

void pipe_server::send_exit_notice_to_all() {
    std::vector<std::shared_ptr<pipe_connection>> connections;
    {
        scoped_critical_section hold(connect_lock_);
        for (const auto& entry : connect_map_) {
            connections.push_back(entry.second);
        }
    }
    for (const auto& connection : connections) {
        send_exit_notice(connection.get());
    }
}

bool pipe_server::disconnect_client(const char* client_id) {
    if (client_id == nullptr) {
        return false;
    }
    const connection_ref ref = get_connect_by_clientid(client_id);
    if (ref.address == 0) {
        return false;
    }
    const std::shared_ptr<pipe_connection> connection = find_connection(ref);
    if (!connection) {
        return false;
    }
    send_exit_notice(connection.get());
    on_pipe_disconnect(connection.get());
    return true;
}

void pipe_server::stop_heart_beat() {
    scoped_critical_section hold(heart_beat_lock_);
    delete heart_beat_;  // joins the heart-beat thread
    heart_beat_ = nullptr;
}

void pipe_server::drop_all_connections() {
    {
        scoped_critical_section hold(clientid_lock_);
        clientid_map_.clear();
    }
    std::map<uintptr_t, std::shared_ptr<pipe_connection>> dropped;
    {
        scoped_critical_section hold(connect_lock_);
        dropped.swap(connect_map_);
    }
    // dropped goes here, closing every pipe, with no lock of the server held
}

void pipe_server::stop_server() {
    log_info(L"win::pipe_server::stop_server");
    send_exit_notice_to_all();
    stop_heart_beat();
    loop_.stop_thread();
    close_listen_pipe();
    drop_all_connections();
}

}  // namespace win
