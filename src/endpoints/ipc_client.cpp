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
#include "platform/named_object_refusal.h"
#include "platform/scoped_critical_section.h"
#include "transport/heart_beat_timer.h"
#include "transport/pipe_connection.h"
#include "transport/pipe_frame_buffer.h"

namespace tovi {

namespace {
constexpr uint32_t read_write = 3;
// Payloads at least this large go to the task in the frame that holds them; smaller ones are
// copied, which costs less than an allocation.
constexpr size_t handoff_bytes = 64 * 1024;
}  // namespace

// Every line of the receive task begins with this name.
#define TOVI_RECEIVE_TASK                                                                        \
    L"tovi::ipc_client::on_pipe_recv_data::<lambda_b7e278183fcc6daa0b9a33023878dc16>::operator " \
    L"() "

ipc_client::ipc_client() : limits_(current_timing()) {
    InitializeCriticalSection(&connection_lock_);
    InitializeCriticalSection(&heart_beat_lock_);
    InitializeCriticalSection(&shm_lock_);
}

ipc_client::~ipc_client() {
    stop_heart_beat();
    tasks_.stop_tasks();  // no callback runs from here on
    std::shared_ptr<pipe_connection> released;
    {
        scoped_critical_section hold(connection_lock_);
        std::lock_guard<std::mutex> pointer(current_lock_);
        released = std::move(connection_);
    }
    if (released != nullptr) {
        pipe_connection::release_pipe_connection(released);
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

bool ipc_client::set_watch(ipc_client_watch* watch, bool on_loop) {
    watch_on_loop_.store(on_loop, std::memory_order_release);
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
        std::shared_ptr<pipe_connection> opened = pipe_connection::connect_to_server(
            pipe_name, read_write, limits_, this, &loop_, &counters_);
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
    if (!shared_memory_.is_open() &&
        !shared_memory_.create(pipe_name, shared_memory_size, read_write)) {
        // The link stays; write_shared_memory returns false until a connect creates the block.
        const std::string refusal = tovi_platform::last_named_object_refusal();
        if (!refusal.empty()) {
            log_error(L"tovi::ipc_client::connect shared memory %s refused: %s",
                      utf8_to_utf16(pipe_name, -1).c_str(),
                      utf8_to_utf16(refusal.c_str(), -1).c_str());
        } else {
            log_error(L"tovi::ipc_client::connect shared memory %s not created, error %d",
                      utf8_to_utf16(pipe_name, -1).c_str(),
                      static_cast<int>(shared_memory_.create_error()));
        }
    }
    return true;
}

void ipc_client::start_heart_beat() {
    scoped_critical_section hold(heart_beat_lock_);
    if (heart_beat_ == nullptr) {
        heart_beat_ =
            new (std::nothrow) heart_beat_timer(this, limits_.heart_beat_interval_ms, &loop_);
        if (heart_beat_ != nullptr) {
            heart_beat_->start();
        }
    }
}

std::shared_ptr<pipe_connection> ipc_client::current(std::string* client_id) {
    std::lock_guard<std::mutex> pointer(current_lock_);
    *client_id = client_id_;
    return leaving_ ? nullptr : connection_;
}

bool ipc_client::send_connect_state(int32_t state) {
    std::string id;
    return send_state(current(&id), id, state);
}

bool ipc_client::send_state(const std::shared_ptr<pipe_connection>& connection,
                            const std::string& id, int32_t state) {
    if (connection == nullptr) {
        return false;
    }
    log_info(L"tovi::ipc_client::send_connect_state clientid %s send client state to the server.",
             utf8_to_utf16(id.data(), static_cast<int32_t>(id.size())).c_str());
    return connection->send_message(0, [&](byte_buffer& out, message_codec::message_writer&) {
        return message_codec::write_state(out, sender_client, id, state);
    });
}

bool ipc_client::send_string(const char* text, int32_t length) {
    if (text == nullptr || length < 1) {
        return false;
    }
    std::string id;
    const std::shared_ptr<pipe_connection> connection = current(&id);
    if (connection == nullptr) {
        return false;
    }
    // Up to the NUL: the length only has to be at least 1.
    const size_t size = std::strlen(text);
    return counted(*connection, size,
                   connection->send_message(
                       size,
                       [&](byte_buffer& out, message_codec::message_writer& writer) {
                           return writer.write_text(out, sender_client, id, text, size);
                       },
                       text,
                       [&](byte_buffer& out, size_t* data_at) {
                           return message_codec::write_text_around(out, sender_client, id, size,
                                                                   data_at);
                       }));
}

bool ipc_client::send_bytestream(const char* data, int32_t length) {
    if (data == nullptr || length < 1) {
        return false;
    }
    std::string id;
    const std::shared_ptr<pipe_connection> connection = current(&id);
    if (connection == nullptr) {
        return false;
    }
    const auto size = static_cast<size_t>(length);
    return counted(*connection, size,
                   connection->send_message(
                       size,
                       [&](byte_buffer& out, message_codec::message_writer& writer) {
                           return writer.write_bytes(out, sender_client, id, length, data, size);
                       },
                       data,
                       [&](byte_buffer& out, size_t* data_at) {
                           return message_codec::write_bytes_around(out, sender_client, id, length,
                                                                    size, data_at);
                       }));
}

bool ipc_client::write_shared_memory(const char* data, uint32_t size, uint32_t v0, uint32_t v1,
                                     uint32_t v2, uint32_t v3, uint32_t v4) {
    if (data == nullptr || size == 0) {
        return false;
    }
    scoped_critical_section hold(shm_lock_);
    return shared_memory_.write(data, size, v0, v1, v2, v3, v4);
}

link_figures ipc_client::figures() {
    link_figures out = counters_.figures();
    std::string id;
    if (const std::shared_ptr<pipe_connection> connection = current(&id)) {
        out.queued_bytes = connection->figures().queued_bytes;
        out.links = 1;
    }
    return out;
}

bool ipc_client::link_figures_now(link_figures* out) {
    std::string id;
    const std::shared_ptr<pipe_connection> connection = current(&id);
    if (connection == nullptr) {
        return false;
    }
    *out = connection->figures();
    out->links = 1;
    return true;
}

bool ipc_client::server_identity(tovi_platform::peer_identity* out) {
    std::string id;
    const std::shared_ptr<pipe_connection> connection = current(&id);
    if (connection == nullptr || connection->peer().process_id < 0) {
        return false;
    }
    *out = connection->peer();
    return true;
}

bool ipc_client::on_heart_beat() {
    std::string id;
    const std::shared_ptr<pipe_connection> connection = current(&id);
    if (connection == nullptr) {
        return false;
    }
    const bool sent =
        connection->send_message(0, [&](byte_buffer& out, message_codec::message_writer&) {
            return message_codec::write_heart_beat(out, sender_client, id);
        });
    if (sent) {
        connection->counters().add(link_counters::heart_beats_sent);
    }
    return sent;
}

bool ipc_client::counted(pipe_connection& connection, size_t size, bool sent) {
    if (sent) {
        connection.counters().note_message_sent(size);
    }
    return sent;
}

// The payloads of one connection that one dispatch of the loop delivered, on their way to one
// receive task: small ones back to back in one buffer, large ones in the frames that held them.
struct ipc_client::received_batch {
    struct payload {
        size_t offset = 0;  // into small, or frame_header_size into frame
        size_t size = 0;
        byte_buffer frame;  // a large payload's own frame
    };
    const pipe_connection* connection = nullptr;
    uint64_t generation = 0;
    std::weak_ptr<pipe_connection> from;  // where the large frames' room goes back
    byte_buffer small;
    std::vector<payload> payloads;
    size_t bytes = 0;
};

bool ipc_client::on_pipe_recv_data(pipe_connection* connection, const char* data, int32_t length) {
    const size_t size = length > 0 ? static_cast<size_t>(length) : 0;
    if (watch_on_loop_.load(std::memory_order_acquire) && deliver_now(connection, data, size)) {
        return true;
    }
    if (pending_ != nullptr && pending_->connection != connection) {
        on_pipe_recv_done(nullptr);  // another connection's payloads go first
    }
    if (pending_ == nullptr) {
        pending_ = take_spare_batch();
        pending_->connection = connection;
        pending_->generation = connection->generation();
    }
    received_batch::payload payload;
    payload.size = size;
    if (size >= handoff_bytes) {
        // A large payload changes hands with the frame that holds it, and its room goes back
        // to the connection once the task is done with it.
        payload.frame = connection->take_delivered_frame();
    }
    if (!payload.frame.empty()) {
        payload.offset = frame_header_size;
        pending_->from = connection->shared_from_this();
    } else {
        payload.offset = pending_->small.size();
        pending_->small.append(data, size);
    }
    pending_->payloads.push_back(std::move(payload));
    pending_->bytes += size;
    if (pending_->small.size() >= batch_bytes) {
        on_pipe_recv_done(connection);  // a batch of its room's size: on its way, kept after
    }
    note_received(connection, size);
    return true;
}

bool ipc_client::deliver_now(pipe_connection* connection, const char* data, size_t size) {
    message_codec::received_reader::message message;
    if (loop_reader_.read(data, size, &message) != message_codec::received_reader::result::ok ||
        (message.msg_type != msg_string && message.msg_type != msg_bytestream)) {
        return false;  // the task reads it again, and logs what is wrong with it
    }
    {
        std::lock_guard<std::mutex> pointer(current_lock_);
        if (connection_.get() != connection) {
            return false;  // not current yet: the task waits for connect to finish
        }
        if (leaving_) {
            return true;  // nothing is delivered after the goodbye
        }
    }
    const auto length = static_cast<size_t>(message.length);
    connection->counters().note_message_received(length);
    note_received(connection, length);  // before the observer may release it
    deliver(message.data, message.length, message.msg_type == msg_string);
    delivered_on_loop_ = true;
    loop_reader_.give_back_room(pipe_frame_buffer::retained_bytes);
    return true;
}

void ipc_client::note_received(pipe_connection* connection, size_t size) {
    if (received_pending_.fetch_add(size) + size > receive_high_water_bytes) {
        std::lock_guard<std::mutex> hold(pause_lock_);
        if (!reading_paused_) {
            connection->pause_reading();
            paused_ = connection->shared_from_this();
            reading_paused_ = true;
        }
    }
}

void ipc_client::on_pipe_recv_done(pipe_connection*) {
    if (delivered_on_loop_) {
        delivered_on_loop_ = false;
        if (ipc_client_watch* watch = watch_.load(std::memory_order_acquire)) {
            watch->on_delivered();
        }
    }
    if (pending_ == nullptr) {
        return;
    }
    std::shared_ptr<received_batch> batch = std::move(pending_);
    tasks_.post_task(std::make_shared<std::function<void()>>([this, batch] {
        on_receive_task(*batch);
        release_received(batch->bytes);
        if (const std::shared_ptr<pipe_connection> from = batch->from.lock()) {
            for (received_batch::payload& payload : batch->payloads) {
                if (payload.frame.capacity() > 0) {
                    from->give_back_frame(std::move(payload.frame));
                }
            }
        }
        keep_spare_batch(batch);
    }));
}

std::shared_ptr<ipc_client::received_batch> ipc_client::take_spare_batch() {
    {
        std::lock_guard<std::mutex> hold(spare_batch_lock_);
        if (!spare_batches_.empty()) {
            std::shared_ptr<received_batch> batch = std::move(spare_batches_.back());
            spare_batches_.pop_back();
            return batch;
        }
    }
    auto batch = std::make_shared<received_batch>();
    batch->small.reserve(batch_bytes + send_queue::small_frame_bytes);  // at once
    return batch;
}

void ipc_client::keep_spare_batch(const std::shared_ptr<received_batch>& batch) {
    if (batch->small.capacity() > pipe_frame_buffer::retained_bytes) {
        return;  // a burst's room goes back
    }
    batch->from.reset();
    batch->small.clear();
    batch->payloads.clear();
    batch->bytes = 0;
    std::lock_guard<std::mutex> hold(spare_batch_lock_);
    if (spare_batches_.size() < spare_batch_count) {
        spare_batches_.push_back(batch);
    }
}

void ipc_client::release_received(size_t size) {
    if (received_pending_.fetch_sub(size) - size > receive_high_water_bytes / 2 ||
        !reading_paused_) {
        return;
    }
    std::shared_ptr<pipe_connection> paused;
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

bool ipc_client::is_current(const pipe_connection* connection, uint64_t generation) const {
    return connection_ != nullptr && connection_.get() == connection &&
           connection_->generation() == generation;
}

void ipc_client::on_receive_task(received_batch& batch) {
    scoped_critical_section hold(connection_lock_);  // for the whole task
    if (!is_current(batch.connection, batch.generation)) {
        return;  // released or replaced meanwhile
    }
    for (const received_batch::payload& payload : batch.payloads) {
        const char* data =
            (payload.frame.empty() ? batch.small.data() : payload.frame.data()) + payload.offset;
        on_message(data, payload.size);
    }
}

void ipc_client::on_message(const char* payload, size_t size) {
    message_codec::received_reader::message message;
    const auto read = reader_.read(payload, size, &message);
    if (read == message_codec::received_reader::result::bad_message) {
        log_error(TOVI_RECEIVE_TASK L"decode pipe protocol failed");
        return;
    }
    if (leaving_ && message.msg_type != msg_clientstate) {
        return;  // the host has said goodbye: only an exit notice still counts
    }
    if (read == message_codec::received_reader::result::bad_body) {
        switch (message.msg_type) {
            case msg_string:
                log_error(TOVI_RECEIVE_TASK L"decode msg_string failed");
                break;
            case msg_bytestream:
                log_error(TOVI_RECEIVE_TASK L"decode msg_bytestream failed");
                break;
            default:
                log_error(TOVI_RECEIVE_TASK L"decode msg_clientstate failed");
                break;
        }
        return;
    }
    switch (message.msg_type) {
        case msg_string:
        case msg_bytestream:
            connection_->counters().note_message_received(static_cast<uint64_t>(message.length));
            deliver(message.data, message.length, message.msg_type == msg_string);
            reader_.give_back_room(pipe_frame_buffer::retained_bytes);
            break;
        case msg_clientstate:
            if (message.state == state_server_exit) {
                log_error(TOVI_RECEIVE_TASK L"pipe server send exit notice");
                exit_notice_seen_ = true;
            }
            break;
        default:
            break;
    }
}

void ipc_client::deliver(const char* data, int32_t length, bool is_text) {
    if (ipc_client_watch* watch = watch_.load(std::memory_order_acquire)) {
        watch->on_recv_data(data, length, is_text);
    }
}

void ipc_client::on_pipe_disconnect(pipe_connection* connection) {
    const uint64_t generation = connection->generation();
    const bool answered = connection->peer_answered_goodbye();
    tasks_.post_task(
        std::make_shared<std::function<void()>>([this, connection, generation, answered] {
            on_disconnect_task(connection, generation, answered);
        }));
}

void ipc_client::on_disconnect_task(const pipe_connection* connection, uint64_t generation,
                                    bool answered) {
    scoped_critical_section hold(connection_lock_);
    // A server that had sent this client away before it read the goodbye dropped the link.
    if (answered && !exit_notice_seen_) {
        log_info(L"tovi::ipc_client::disconnect the server closed the link after the goodbye");
    } else {
        log_error(
            L"tovi::ipc_client::on_pipe_disconnect::<lambda_17309cfdda824b6a61169a98ec6216e3>"
            L"::operator () pipe is disconnect");
    }
    // A report about a connection released or replaced meanwhile touches nothing: the heart
    // beat now belongs to the connection that is current.
    if (!is_current(connection, generation)) {
        return;
    }
    stop_heart_beat();  // a beat takes only the current lock
    std::shared_ptr<pipe_connection> released;
    {
        std::lock_guard<std::mutex> pointer(current_lock_);
        released = std::move(connection_);
    }
    left_.notify_all();
    pipe_connection::release_pipe_connection(released);
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
    std::shared_ptr<pipe_connection> leaving;
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
        if (leaving != nullptr) {
            // Marked first: the server may answer before send_state returns.
            leaving->said_goodbye();
            if (!send_state(leaving, id, state_client_exit)) {
                leaving->said_goodbye(false);
            }
        }
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
        left_.wait_for(pointer, std::chrono::milliseconds(limits_.exit_answer_wait_ms),
                       [&] { return connection_ != leaving; });
    }
    std::shared_ptr<pipe_connection> released;
    {
        scoped_critical_section hold(connection_lock_);
        std::lock_guard<std::mutex> pointer(current_lock_);
        if (connection_ == leaving) {
            released = std::move(connection_);
        }
        leaving_ = false;
    }
    pipe_connection::release_pipe_connection(released);
    // Like the close of a blocking pipe: what the sends accepted is in the kernel, or counted
    // as lost in the log, before disconnect returns, so a host may exit at once.
    leaving->wait_closed(leaving->close_limit_ms());
}

}  // namespace tovi
