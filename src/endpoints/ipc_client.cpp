// The client endpoint: connecting and announcing, the heart beat, sends, the shared-memory
// block, and the reports handed to the host's observer on the client's task thread.
#include "endpoints/ipc_client.h"

#include <cstring>
#include <memory>
#include <new>

#include "codec/message_codec.h"
#include "codec/records.h"
#include "endpoints/endpoint_log.h"
#include "log/log.h"
#include "log/utf8_to_utf16.h"
#include "platform/scoped_critical_section.h"
#include "transport/heart_beat_sender.h"
#include "transport/pipe_connection.h"
#include "transport/pipe_frame_buffer.h"

namespace tovi {

namespace {
constexpr uint32_t read_write = 3;
// Payloads at least this large go to the task in the frame that holds them; smaller ones are
// copied, which costs less than an allocation.
constexpr size_t handoff_bytes = 64 * 1024;

// A received payload on its way to the receive task: at frame_header_size in frame.
struct received_payload {
    byte_buffer frame;
    std::weak_ptr<win::pipe_connection> from;  // set when the frame's room goes back there
};
// Beyond the drain's limit, the time a close may take to cancel and collect its operations.
constexpr uint32_t close_margin_ms = 1000;
}  // namespace

// Every line of the receive task begins with this name.
#define TOVI_RECEIVE_TASK                                                                        \
    L"tovi::ipc_client::on_pipe_recv_data::<lambda_b7e278183fcc6daa0b9a33023878dc16>::operator " \
    L"() "

ipc_client::ipc_client() {
    InitializeCriticalSection(&connection_lock_);
    InitializeCriticalSection(&heart_beat_lock_);
    InitializeCriticalSection(&shm_lock_);
}

ipc_client::~ipc_client() {
    stop_heart_beat();
    tasks_.stop_tasks();  // no callback runs from here on
    std::shared_ptr<win::pipe_connection> released;
    {
        scoped_critical_section hold(connection_lock_);
        std::lock_guard<std::mutex> pointer(current_lock_);
        released = std::move(connection_);
    }
    if (released != nullptr) {
        win::pipe_connection::release_pipe_connection(released);
    }
    loop_.stop_thread();  // returns once what was sent has drained, or its deadline passed
    {
        scoped_critical_section hold(shm_lock_);
        shared_memory_.close();
    }
    DeleteCriticalSection(&shm_lock_);
    DeleteCriticalSection(&heart_beat_lock_);
    DeleteCriticalSection(&connection_lock_);
}

bool ipc_client::set_watch(ipc_client_watch* watch) {
    watch_.store(watch, std::memory_order_release);
    return true;
}

bool ipc_client::init_log(const char* directory, const char* file_name) {
    return open_endpoint_log(directory, file_name);
}

bool ipc_client::connect(const char* pipe_name, const char* client_id) {
    if (pipe_name == nullptr || client_id == nullptr) {
        return false;
    }
    {
        // Held until the new connection is current, so that a disconnect task for it (the
        // server may close at once) finds it current instead of dropping the report.
        scoped_critical_section hold(connection_lock_);
        if (connection_ != nullptr) {
            log_error(L"tovi::ipc_client::connect already connected");
            return false;
        }
        if (*client_id == '\0') {
            // The server would have no id to report the client's connect and disconnect with.
            log_error(L"tovi::ipc_client::connect refused: the client id is empty");
            return false;
        }
        log_info(L"tovi::ipc_client::connect clientid %s connect to the server.",
                 utf8_to_utf16(client_id, -1).c_str());
        std::shared_ptr<win::pipe_connection> opened = win::pipe_connection::connect_to_server(
            pipe_name, read_write, connect_wait_ms, this, &loop_);
        if (opened == nullptr) {
            log_error(L"tovi::ipc_client::connect connect to server failed");
            return false;
        }
        {
            std::lock_guard<std::mutex> pointer(current_lock_);
            client_id_ = client_id;
            connection_ = std::move(opened);
        }
        exit_notice_seen_ = false;
        send_connect_state(state_connect);
        start_heart_beat();
    }
    scoped_critical_section hold(shm_lock_);
    if (!shared_memory_.is_open()) {
        shared_memory_.create(pipe_name, shared_memory_size, read_write);
    }
    return true;
}

void ipc_client::start_heart_beat() {
    scoped_critical_section hold(heart_beat_lock_);
    if (heart_beat_ == nullptr) {
        heart_beat_ =
            new (std::nothrow) win::heart_beat_sender(this, heart_beat_interval_ms, &loop_);
        if (heart_beat_ != nullptr) {
            heart_beat_->start();
        }
    }
}

std::shared_ptr<win::pipe_connection> ipc_client::current(std::string* client_id) {
    std::lock_guard<std::mutex> pointer(current_lock_);
    *client_id = client_id_;
    return leaving_ ? nullptr : connection_;
}

bool ipc_client::send_connect_state(int32_t state) {
    std::string id;
    return send_state(current(&id), id, state);
}

bool ipc_client::send_state(const std::shared_ptr<win::pipe_connection>& connection,
                            const std::string& id, int32_t state) {
    if (connection == nullptr) {
        return false;
    }
    byte_buffer frame = connection->new_frame();
    message_codec::write_state(frame, sender_client, id, state);
    log_info(L"tovi::ipc_client::send_connect_state clientid %s send client state to the server.",
             utf8_to_utf16(id.data(), static_cast<int32_t>(id.size())).c_str());
    return connection->send_frame(std::move(frame));
}

bool ipc_client::send_string(const char* text, int32_t length) {
    if (text == nullptr || length < 1) {
        return false;
    }
    std::string id;
    const std::shared_ptr<win::pipe_connection> connection = current(&id);
    if (connection == nullptr) {
        return false;
    }
    byte_buffer frame = connection->new_frame();
    // Up to the NUL: the length only has to be at least 1.
    message_codec::write_text(frame, sender_client, id, text, std::strlen(text));
    return connection->send_frame(std::move(frame));
}

bool ipc_client::send_bytestream(const char* data, int32_t length) {
    if (data == nullptr || length < 1) {
        return false;
    }
    std::string id;
    const std::shared_ptr<win::pipe_connection> connection = current(&id);
    if (connection == nullptr) {
        return false;
    }
    byte_buffer frame = connection->new_frame();
    message_codec::write_bytes(frame, sender_client, id, length, data, static_cast<size_t>(length));
    return connection->send_frame(std::move(frame));
}

bool ipc_client::write_shared_memory(const char* data, uint32_t size, uint32_t v0, uint32_t v1,
                                     uint32_t v2, uint32_t v3, uint32_t v4) {
    if (data == nullptr || size == 0) {
        return false;
    }
    scoped_critical_section hold(shm_lock_);
    return shared_memory_.write(data, size, v0, v1, v2, v3, v4);
}

bool ipc_client::on_heart_beat() {
    std::string id;
    const std::shared_ptr<win::pipe_connection> connection = current(&id);
    if (connection == nullptr) {
        return false;
    }
    byte_buffer frame = connection->new_frame();
    message_codec::write_heart_beat(frame, sender_client, id);
    return connection->send_frame(std::move(frame));
}

bool ipc_client::on_pipe_recv_data(win::pipe_connection* connection, const char* data,
                                   int32_t length) {
    const uint64_t generation = connection->generation();
    const size_t size = length > 0 ? static_cast<size_t>(length) : 0;
    auto payload = std::make_shared<received_payload>();
    if (size >= handoff_bytes) {
        // A large payload changes hands with the frame that holds it, and its room goes back
        // to the connection once the task is done with it.
        payload->frame = connection->take_delivered_frame();
        payload->from = connection->shared_from_this();
    } else {
        payload->frame.resize(win::frame_header_size + size);
        std::memcpy(payload->frame.data() + win::frame_header_size, data, size);
    }
    if (received_pending_.fetch_add(size) + size > receive_high_water_bytes) {
        std::lock_guard<std::mutex> hold(pause_lock_);
        if (!reading_paused_) {
            connection->pause_reading();
            paused_ = connection->shared_from_this();
            reading_paused_ = true;
        }
    }
    tasks_.post_task(
        std::make_shared<std::function<void()>>([this, connection, generation, payload, size] {
            on_receive_task(connection, generation, payload->frame.data() + win::frame_header_size,
                            size);
            release_received(size);
            if (const std::shared_ptr<win::pipe_connection> from = payload->from.lock()) {
                from->give_back_frame(std::move(payload->frame));
            }
        }));
    return true;
}

void ipc_client::release_received(size_t size) {
    if (received_pending_.fetch_sub(size) - size > receive_high_water_bytes / 2 ||
        !reading_paused_) {
        return;
    }
    std::shared_ptr<win::pipe_connection> paused;
    {
        std::lock_guard<std::mutex> hold(pause_lock_);
        paused = paused_.lock();
        paused_.reset();
        reading_paused_ = false;
    }
    if (paused != nullptr) {
        paused->resume_reading();
    }
}

bool ipc_client::is_current(const win::pipe_connection* connection, uint64_t generation) const {
    return connection_ != nullptr && connection_.get() == connection &&
           connection_->generation() == generation;
}

void ipc_client::on_receive_task(const win::pipe_connection* connection, uint64_t generation,
                                 const char* payload, size_t size) {
    scoped_critical_section hold(connection_lock_);  // for the whole task
    if (!is_current(connection, generation)) {
        return;  // released or replaced meanwhile
    }
    message_codec::decoded_message message;
    if (!message_codec::decode_message(payload, size, &message)) {
        log_error(TOVI_RECEIVE_TASK L"decode pipe protocol failed");
        return;
    }
    const message_codec::message_view& view = message.view;
    if (leaving_ && view.msg_type != msg_clientstate) {
        return;  // the host has said goodbye: only an exit notice still counts
    }
    switch (view.msg_type) {
        case msg_string: {
            std::string text;
            if (!message_codec::decode_text(view.body, view.body_size, &text)) {
                log_error(TOVI_RECEIVE_TASK L"decode msg_string failed");
            } else if (ipc_client_watch* watch = watch_.load(std::memory_order_acquire)) {
                watch->on_recv_data(text.c_str(), static_cast<int32_t>(text.size()));
            }
            break;
        }
        case msg_bytestream: {
            std::vector<char> storage;
            const char* bytes = nullptr;
            int32_t length = 0;
            if (!message_codec::decode_bytes(view.body, view.body_size, &storage, &bytes,
                                             &length)) {
                log_error(TOVI_RECEIVE_TASK L"decode msg_bytestream failed");
            } else if (ipc_client_watch* watch = watch_.load(std::memory_order_acquire)) {
                watch->on_recv_data(bytes, length);
            }
            break;
        }
        case msg_clientstate: {
            int32_t state = 0;
            if (!message_codec::decode_state(view.body, view.body_size, &state)) {
                log_error(TOVI_RECEIVE_TASK L"decode msg_clientstate failed");
            } else if (state == state_server_exit) {
                log_error(TOVI_RECEIVE_TASK L"pipe server send exit notice");
                exit_notice_seen_ = true;
            }
            break;
        }
        default:
            break;
    }
}

void ipc_client::on_pipe_disconnect(win::pipe_connection* connection) {
    const uint64_t generation = connection->generation();
    tasks_.post_task(std::make_shared<std::function<void()>>(
        [this, connection, generation] { on_disconnect_task(connection, generation); }));
}

void ipc_client::on_disconnect_task(const win::pipe_connection* connection, uint64_t generation) {
    log_error(
        L"tovi::ipc_client::on_pipe_disconnect::<lambda_17309cfdda824b6a61169a98ec6216e3>"
        L"::operator () pipe is disconnect");
    scoped_critical_section hold(connection_lock_);
    // A report about a connection released or replaced meanwhile touches nothing: the heart
    // beat now belongs to the connection that is current.
    if (!is_current(connection, generation)) {
        return;
    }
    stop_heart_beat();  // a beat takes only the current lock
    std::shared_ptr<win::pipe_connection> released;
    {
        std::lock_guard<std::mutex> pointer(current_lock_);
        released = std::move(connection_);
    }
    left_.notify_all();
    win::pipe_connection::release_pipe_connection(released);
    // While the client leaves, the server's closing is its answer, unless it had sent this
    // client away before.
    if (leaving_ && !exit_notice_seen_) {
        return;
    }
    if (ipc_client_watch* watch = watch_.load(std::memory_order_acquire)) {
        watch->on_disconnect();  // still under the connection lock
    }
}

void ipc_client::stop_heart_beat() {
    scoped_critical_section hold(heart_beat_lock_);
    delete heart_beat_;  // returns after a beat in progress
    heart_beat_ = nullptr;
}

void ipc_client::disconnect() {
    if (is_callback_thread()) {
        // The observer runs with the connection lock held: this would wait for itself.
        log_error(L"tovi::ipc_client::disconnect refused: called from a callback of this client");
        return;
    }
    log_info(L"tovi::ipc_client::disconnect");
    std::shared_ptr<win::pipe_connection> leaving;
    {
        scoped_critical_section hold(connection_lock_);
        stop_heart_beat();
        std::string id;
        {
            std::lock_guard<std::mutex> pointer(current_lock_);
            if (connection_ != nullptr && !leaving_) {
                leaving_ = true;  // nothing is sent after the goodbye, nor delivered
                leaving = connection_;
                id = client_id_;
            }
        }
        send_state(leaving, id, state_client_exit);
    }
    {
        scoped_critical_section hold(shm_lock_);
        shared_memory_.close();
    }
    if (leaving == nullptr) {
        return;
    }
    {
        // The server answers the goodbye by closing its end. A server that had dropped this
        // client before it read the goodbye (it refused the id, or let the client go) sent its
        // exit notice first: the disconnect task reports that as the link's loss.
        std::unique_lock<std::mutex> pointer(current_lock_);
        left_.wait_for(pointer, std::chrono::milliseconds(exit_answer_wait_ms),
                       [&] { return connection_ != leaving; });
    }
    std::shared_ptr<win::pipe_connection> released;
    {
        scoped_critical_section hold(connection_lock_);
        std::lock_guard<std::mutex> pointer(current_lock_);
        if (connection_ == leaving) {
            released = std::move(connection_);
        }
        leaving_ = false;
    }
    win::pipe_connection::release_pipe_connection(released);
    // Like the close of a blocking pipe: what the sends accepted is in the kernel, or counted
    // as lost in the log, before disconnect returns, so a host may exit at once.
    leaving->wait_closed(win::pipe_connection::drain_limit_ms + close_margin_ms);
}

}  // namespace tovi
