// The server side of the transport: instances waiting for clients, each client's link and id,
// the records it receives, and the heart-beat check that drops silent clients.
#include "transport/pipe_server.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "codec/message_codec.h"
#include "codec/records.h"
#include "log/log.h"
#include "log/utf8_to_utf16.h"
#include "platform/scoped_critical_section.h"
#include "transport/heart_beat_sender.h"
#include "transport/pipe_connection.h"
#include "transport/pipe_frame_buffer.h"

namespace tovi {

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

// The server's messages carry no client id.
const std::string& no_client_id() {
    static const std::string empty;
    return empty;
}

}  // namespace

// One instance waiting for a client: its handle and its ConnectNamedPipe. It lives on the
// loop thread, held by the loop while its handle is attached there.
class pipe_server::listen_instance final : public pipe_handler_listener {
  public:
    listen_instance(pipe_server* server, HANDLE pipe) : server_(server), pipe(pipe) {
        connect.listener = this;
    }
    void on_handle_event(HANDLE) override { server_->on_instance_event(this); }
    void on_loop_stopping() override { server_->close_instance(this); }

    pipe_server* const server_;
    HANDLE pipe;
    io_record connect;
    bool pending = false;  // the connect is outstanding
    bool closing = false;
};

pipe_server::pipe_server() {
    InitializeCriticalSection(&connect_lock_);
    InitializeCriticalSection(&heart_beat_lock_);
}

pipe_server::~pipe_server() {
    stop_heart_beat();
    tasks_.stop_tasks();
    // stop_server normally did this already; an owner that did not still gets every pipe
    // finished before the members go.
    loop_.stop_thread();
    {
        scoped_critical_section hold(connect_lock_);
        clientid_map_.clear();
        connect_map_.clear();
    }
    DeleteCriticalSection(&heart_beat_lock_);
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
    if (pipe_name_.empty()) {
        log_error(L"win::pipe_server::add_listen_pipe pipe name is empty");
        return false;
    }
    // The instances wait for clients through the loop thread, which outlives every caller.
    bool listening = false;
    loop_.call([this, &listening] {
        listening = add_listen_pipe(true);
        for (size_t i = 1; listening && i < listen_instances; ++i) {
            add_listen_pipe(false);
        }
    });
    if (!listening) {
        loop_.stop_thread();
        return false;
    }
    scoped_critical_section hold(heart_beat_lock_);
    if (heart_beat_ == nullptr) {
        heart_beat_ = new (std::nothrow) heart_beat_sender(this, heart_beat_interval_ms, &loop_);
        if (heart_beat_ != nullptr) {
            heart_beat_->start();
        }
    }
    return true;
}

bool pipe_server::add_listen_pipe(bool first_instance) {
    if (closing_instances_) {
        return false;
    }
    const std::wstring path = L"\\\\.\\pipe\\" + wide(pipe_name_);
    HANDLE pipe = CreateNamedPipeW(path.c_str(),
                                   open_mode | (first_instance ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                                   pipe_mode, max_instances, buffer_size, buffer_size, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        log_error(L"win::pipe_server::add_listen_pipe CreateNamedPipe failed. %d",
                  static_cast<int>(GetLastError()));
        return false;
    }
    std::shared_ptr<listen_instance> instance;
    try {
        instance = std::make_shared<listen_instance>(this, pipe);
    } catch (const std::bad_alloc&) {
        CloseHandle(pipe);
        return false;
    }
    if (!loop_.attach(pipe, instance)) {
        CloseHandle(pipe);
        return false;
    }
    instances_.push_back(instance);
    if (ConnectNamedPipe(pipe, &instance->connect.overlapped)) {
        log_error(L"win::pipe_server::add_listen_pipe ConnectNamedPipe return true");
        close_instance(instance.get());
        return false;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) {
        // A client came between the two calls: hand it over once this call has returned.
        std::weak_ptr<listen_instance> weak = instance;
        loop_.post([this, weak] {
            if (const auto connected = weak.lock()) {
                if (!connected->closing) {
                    on_instance_connected(connected.get());
                }
            }
        });
        return true;
    }
    if (error == ERROR_IO_PENDING) {
        instance->pending = true;
        return true;
    }
    log_error(L"win::pipe_server::add_listen_pipe ConnectNamedPipe error %d",
              static_cast<int>(error));
    close_instance(instance.get());
    return false;
}

void pipe_server::close_instance(listen_instance* instance) {
    instance->closing = true;
    if (instance->pending) {
        CancelIoEx(instance->pipe, &instance->connect.overlapped);
        return;  // finished when the cancelled connect comes back
    }
    const HANDLE pipe = instance->pipe;
    instance->pipe = INVALID_HANDLE_VALUE;
    auto found = std::find_if(instances_.begin(), instances_.end(),
                              [instance](const auto& held) { return held.get() == instance; });
    std::shared_ptr<listen_instance> keep;  // goes after the loop lets go of it too
    if (found != instances_.end()) {
        keep = std::move(*found);
        instances_.erase(found);
    }
    if (pipe != INVALID_HANDLE_VALUE) {
        CloseHandle(pipe);
        loop_.detach(pipe);
    }
}

void pipe_server::on_instance_event(listen_instance* instance) {
    instance->pending = false;
    DWORD transferred = 0;
    const bool connected =
        GetOverlappedResult(instance->pipe, &instance->connect.overlapped, &transferred, FALSE);
    const DWORD error = GetLastError();
    if (instance->closing) {
        close_instance(instance);
        return;
    }
    if (!connected) {
        log_error(L"win::pipe_server::on_handle_event ConnectNamedPipe error %d",
                  static_cast<int>(error));
        close_instance(instance);
        add_listen_pipe(false);
        return;
    }
    on_instance_connected(instance);
}

void pipe_server::on_instance_connected(listen_instance* instance) {
    if (closing_instances_) {
        close_instance(instance);  // stopping: the client sees its pipe end at once
        return;
    }
    std::shared_ptr<pipe_connection> connection;
    try {
        connection = std::make_shared<pipe_connection>(connection_mode, &loop_);
    } catch (const std::bad_alloc&) {
        close_instance(instance);  // the client sees its pipe end and may try again
        add_listen_pipe(false);
        return;
    }
    const connection_ref ref = ref_of(connection.get());
    log_info(L"win::pipe_server::on_handle_event recv client connect event: con_addr=%.8X",
             low_bits(ref.address));
    // The replacement first, so that the name is never left without a waiting instance.
    add_listen_pipe(false);

    const HANDLE pipe = instance->pipe;
    instance->pipe = INVALID_HANDLE_VALUE;
    instance->closing = true;
    auto found = std::find_if(instances_.begin(), instances_.end(),
                              [instance](const auto& held) { return held.get() == instance; });
    std::shared_ptr<listen_instance> keep;  // this dispatch is still inside it
    if (found != instances_.end()) {
        keep = std::move(*found);
        instances_.erase(found);
    }
    {
        scoped_critical_section hold(connect_lock_);
        connect_map_[ref.address] = connection;
    }
    if (!connection->init_pipe(pipe, this, true)) {
        loop_.detach(pipe);  // the loop is stopping; the handle is closed
        scoped_critical_section hold(connect_lock_);
        connect_map_.erase(ref.address);
    }
}

bool pipe_server::on_pipe_recv_data(pipe_connection* connection, const char* data, int32_t length) {
    if (connection == nullptr || data == nullptr || length < 1 || connection->is_leaving()) {
        return true;
    }
    const auto size = static_cast<size_t>(length);
    message_codec::message_reader::message message;
    // Most messages are of the one layout the writers give: read whole, both records at once.
    const bool read_whole = connection->note.reader.read(data, size, &message);
    message_codec::decoded_message decoded;
    if (!read_whole) {
        if (!message_codec::decode_message(data, size, &decoded)) {
            log_error(L"win::pipe_server::on_pipe_recv_data decode pipe protocol failed");
            return true;
        }
        message.view = decoded.view;
    }
    bool newly_bound = false;
    switch (bind_link_id(connection, message.view, &newly_bound)) {
        case binding::handle:
            break;
        case binding::skip:
            return true;
        case binding::hold:
            connection->hold_delivery();
            return true;
    }
    if (!read_whole && !decode_body(&message)) {
        return true;
    }
    const char* client_id = connection->note.id.c_str();
    switch (message.view.msg_type) {
        case msg_clientstate:
            return on_state(connection, message.number, newly_bound);
        case msg_string:
            on_text(client_id, message.data, message.data_size);
            return true;
        case msg_bytestream:
            on_bytes(client_id, message.data, message.data_size, message.number);
            return true;
        default:
            return true;  // a heart beat, like every frame, has reset the silence counter
    }
}

bool pipe_server::decode_body(message_codec::message_reader::message* message) {
    const message_codec::message_view& view = message->view;
    switch (view.msg_type) {
        case msg_clientstate:
            if (!message_codec::decode_state(view.body, view.body_size, &message->number)) {
                log_error(L"win::pipe_server::on_pipe_recv_data decode msg_clientstate failed");
                return false;
            }
            return true;
        case msg_string:
            if (!message_codec::decode_text(view.body, view.body_size, &received_text_)) {
                log_error(L"win::pipe_server::on_pipe_recv_data decode msg_string failed");
                return false;
            }
            message->data = received_text_.data();
            message->data_size = received_text_.size();
            return true;
        case msg_bytestream: {
            int32_t length = 0;
            if (!message_codec::decode_bytes(view.body, view.body_size, &received_bytes_,
                                             &message->data, &length)) {
                log_error(L"win::pipe_server::on_pipe_recv_data decode msg_bytestream failed");
                return false;
            }
            message->data_size = static_cast<size_t>(length);
            message->number = length;
            return true;
        }
        default:
            return true;
    }
}

pipe_server::binding pipe_server::bind_link_id(pipe_connection* connection,
                                               const message_codec::message_view& view,
                                               bool* newly_bound) {
    pipe_connection::receiver_note& note = connection->note;
    const std::string_view id(view.client_id, view.client_id_size);
    if (note.has_id) {
        if (id == note.id) {
            return binding::handle;
        }
        log_error(
            L"win::pipe_server::on_pipe_recv_data clientid %s is not the client id of its "
            L"connection, %s; the connection is dropped.",
            wide(std::string(id)).c_str(), wide(note.id).c_str());
        refuse(connection);
        return binding::skip;
    }
    if (id.empty() || id.find('\0') != std::string_view::npos) {
        // A host is handed ids as NUL-terminated texts: it could not tell this one apart.
        log_error(
            L"win::pipe_server::on_pipe_recv_data clientid %s connect refused, a client id must "
            L"not be empty or hold a NUL.",
            wide(std::string(id)).c_str());
        refuse(connection);
        return binding::skip;
    }
    const connection_ref ref = ref_of(connection);
    {
        scoped_critical_section hold(connect_lock_);
        if (find_connection(ref) == nullptr) {
            return binding::skip;  // stopping: the link is not ours any more
        }
        const auto unreported = unreported_.find(id);
        if (unreported != unreported_.end()) {
            unreported->second.link_held = true;
            return binding::hold;
        }
        if (clientid_map_.try_emplace(std::string(id), ref).second) {
            note.has_id = true;
            note.id = id;
            log_info(
                L"win::pipe_server::bind_clientid_to_connect client bind success: "
                L"client_id=%s, con_add=%.8X",
                wide(note.id).c_str(), low_bits(ref.address));
            *newly_bound = true;
            return binding::handle;
        }
    }
    log_taken_id(id);
    refuse(connection);
    return binding::skip;
}

void pipe_server::release_held() {
    std::vector<std::shared_ptr<pipe_connection>> held;
    {
        scoped_critical_section hold(connect_lock_);
        for (const auto& entry : connect_map_) {
            // A link is held at its first record, which names the id it waits for.
            if (entry.second->is_delivery_held() && !entry.second->note.has_id) {
                held.push_back(entry.second);
            }
        }
    }
    for (const auto& connection : held) {
        connection->release_delivery();  // one whose id is still unreported is held again
    }
}

void pipe_server::log_taken_id(std::string_view id) {
    log_error(
        L"win::pipe_server::on_pipe_recv_data clientid %s connect faild, the server already has "
        L"the same connection.",
        wide(std::string(id)).c_str());
}

bool pipe_server::on_state(pipe_connection* connection, int32_t state, bool newly_bound) {
    if (state == state_connect) {
        if (!newly_bound) {
            log_taken_id(connection->note.id);  // announced before, by this very link
            refuse(connection);
        } else if (watch_ != nullptr) {
            watch_->on_client_connect(connection->note.id.c_str());
        }
    } else if (state == state_client_exit) {
        log_info(L"win::pipe_server::on_pipe_recv_data client send exit notice");
        return false;
    }
    return true;
}

void pipe_server::on_text(const char* client_id, const char* text, size_t size) {
    if (text != received_text_.data()) {
        received_text_.assign(text, size);  // handed on NUL-terminated
    }
    if (watch_ != nullptr) {
        watch_->on_recv_data(client_id, received_text_.c_str(), static_cast<int32_t>(size));
    }
    if (received_text_.capacity() > pipe_frame_buffer::retained_bytes) {
        std::string().swap(received_text_);  // a large text's room goes back once delivered
    }
}

void pipe_server::on_bytes(const char* client_id, const char* data, size_t size, int32_t declared) {
    // A negative length is no message; a length beyond the data is cut to the data.
    if (declared < 0) {
        log_error(L"win::pipe_server::on_pipe_recv_data decode msg_bytestream failed");
        return;
    }
    if (watch_ != nullptr) {
        const int32_t length =
            static_cast<size_t>(declared) < size ? declared : static_cast<int32_t>(size);
        watch_->on_recv_data(client_id, data, length);
    }
    if (received_bytes_.capacity() > pipe_frame_buffer::retained_bytes) {
        std::vector<char>().swap(received_bytes_);
    }
}

void pipe_server::refuse(pipe_connection* connection) {
    send_exit_notice(connection);
    drop(connection);
}

std::shared_ptr<pipe_connection> pipe_server::find_connection(connection_ref connection) const {
    auto entry = connect_map_.find(connection.address);
    if (entry != connect_map_.end() && entry->second->generation() == connection.generation) {
        return entry->second;
    }
    return nullptr;
}

std::shared_ptr<pipe_connection> pipe_server::connection_of(std::string_view client_id) const {
    auto bound = clientid_map_.find(client_id);
    return bound != clientid_map_.end() ? find_connection(bound->second) : nullptr;
}

void pipe_server::on_pipe_disconnect(pipe_connection* connection) {
    if (connection != nullptr) {
        post_leave(ref_of(connection));
    }
}

void pipe_server::drop(pipe_connection* connection) {
    connection->mark_leaving();  // nothing more of it reaches the watch
    post_leave(ref_of(connection));
}

void pipe_server::post_leave(connection_ref connection) {
    // Through the loop, where every data and connect report of the link is made: the leave
    // runs after the report in progress has returned, and none of the link follows it.
    loop_.post([this, connection] { on_leave(connection); });
}

void pipe_server::on_leave(connection_ref connection) {
    std::string client_id;
    std::shared_ptr<pipe_connection> dropped;
    {
        // The id and the connection leave together: no message can bind the id to it after.
        scoped_critical_section hold(connect_lock_);
        dropped = find_connection(connection);
        if (dropped != nullptr) {
            connect_map_.erase(connection.address);
            const auto bound =
                dropped->note.has_id ? clientid_map_.find(dropped->note.id) : clientid_map_.end();
            if (bound != clientid_map_.end() && bound->second == connection) {
                client_id = bound->first;
                clientid_map_.erase(bound);
                ++unreported_[client_id].leaves;  // binds again once reported
            }
        }
    }
    if (dropped != nullptr) {
        dropped->mark_leaving();
        dropped->close(true);  // an exit notice queued for it still goes out first
    }
    tasks_.post_task(std::make_shared<std::function<void()>>(
        [this, client_id = std::move(client_id)] { report_leave(client_id); }));
}

void pipe_server::report_leave(const std::string& client_id) {
    if (!client_id.empty() && watch_ != nullptr) {
        watch_->on_client_disconnect(client_id.c_str());
    }
    log_info(
        L"win::pipe_server::on_pipe_disconnect::<lambda_fa80b9d7ffee360250b96ba6d9e5631b>"
        L"::operator () clientid = %s",
        wide(client_id).c_str());
    bool link_held = false;
    {
        scoped_critical_section hold(connect_lock_);
        const auto unreported = unreported_.find(client_id);
        if (unreported != unreported_.end()) {
            link_held = unreported->second.link_held;
            if (--unreported->second.leaves == 0) {
                unreported_.erase(unreported);
            }
        }
    }
    if (link_held) {
        loop_.post([this] { release_held(); });
    }
}

bool pipe_server::on_heart_beat() {
    std::vector<connection_ref> silent;
    {
        scoped_critical_section hold(connect_lock_);
        for (auto& entry : connect_map_) {
            if (entry.second->is_delivery_held()) {
                entry.second->reset_heart_beat_count();  // unread, not silent
            } else if (entry.second->is_heart_beat_timeout()) {
                silent.push_back(ref_of(entry.second.get()));
            } else {
                entry.second->add_heart_beat_count();
            }
        }
    }
    for (const connection_ref& connection : silent) {
        post_leave(connection);
    }
    return true;
}

std::shared_ptr<pipe_connection> pipe_server::bound_connection(const char* client_id) {
    scoped_critical_section hold(connect_lock_);
    return connection_of(client_id);
}

bool pipe_server::send_bytestream(const char* client_id, const char* data, int32_t length) {
    if (client_id == nullptr || data == nullptr || length < 1) {
        return false;
    }
    const std::shared_ptr<pipe_connection> connection = bound_connection(client_id);
    if (connection == nullptr) {
        return false;
    }
    const auto size = static_cast<size_t>(length);
    return connection->send_message(
        size, [&](byte_buffer& out, message_codec::message_writer& writer) {
            return writer.write_bytes(out, sender_server, no_client_id(), length, data, size);
        });
}

bool pipe_server::send_string(const char* client_id, const char* text, int32_t length) {
    if (client_id == nullptr || text == nullptr || length < 1) {
        return false;
    }
    const std::shared_ptr<pipe_connection> connection = bound_connection(client_id);
    if (connection == nullptr) {
        return false;
    }
    const size_t size = std::strlen(text);
    return connection->send_message(
        size, [&](byte_buffer& out, message_codec::message_writer& writer) {
            return writer.write_text(out, sender_server, no_client_id(), text, size);
        });
}

void pipe_server::send_exit_notice(pipe_connection* connection) {
    if (connection == nullptr) {
        return;
    }
    connection->send_message(0, [](byte_buffer& out, message_codec::message_writer&) {
        return message_codec::write_state(out, sender_server, no_client_id(), state_server_exit);
    });
}

bool pipe_server::disconnect_client(const char* client_id) {
    if (client_id == nullptr) {
        return false;
    }
    const std::shared_ptr<pipe_connection> connection = bound_connection(client_id);
    if (connection == nullptr) {
        return false;
    }
    send_exit_notice(connection.get());
    drop(connection.get());
    return true;
}

void pipe_server::stop_heart_beat() {
    scoped_critical_section hold(heart_beat_lock_);
    delete heart_beat_;  // returns after a beat in progress
    heart_beat_ = nullptr;
}

void pipe_server::stop_server() {
    log_info(L"win::pipe_server::stop_server");
    // No client is taken once the stop has begun: the waiting instances close first, so that
    // nobody is accepted, announced and dropped again while the others are told.
    loop_.call([this] {
        closing_instances_ = true;
        const std::vector<std::shared_ptr<listen_instance>> waiting = instances_;
        for (const auto& instance : waiting) {
            close_instance(instance.get());
        }
    });
    std::map<uintptr_t, std::shared_ptr<pipe_connection>> connections;
    {
        scoped_critical_section hold(connect_lock_);
        connections.swap(connect_map_);
        clientid_map_.clear();
        unreported_.clear();
        for (const auto& entry : connections) {
            entry.second->mark_leaving();  // nothing more of it is reported
        }
    }
    for (const auto& entry : connections) {
        send_exit_notice(entry.second.get());
        entry.second->close(true);
    }
    connections.clear();
    stop_heart_beat();
    loop_.stop_thread();  // returns once every connection has drained and every pipe is closed
}

}  // namespace tovi
