// One started server endpoint: the records its links send, the client ids bound to them, and
// the reports to the host's observer.
#include "endpoints/server_session.h"

#include <cstring>
#include <new>
#include <vector>

#include "codec/message_codec.h"
#include "codec/received_reader.h"
#include "codec/records.h"
#include "log/log.h"
#include "log/utf8_to_utf16.h"
#include "platform/scoped_critical_section.h"
#include "transport/pipe_connection.h"

namespace tovi {

namespace {

std::wstring wide(std::string_view text) {
    return utf8_to_utf16(text.data(), static_cast<int32_t>(text.size()));
}

uint32_t low_bits(const void* link) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(link));
}

// The server's messages carry no client id.
const std::string& no_client_id() {
    static const std::string empty;
    return empty;
}

}  // namespace

// What the session knows of a link, kept with it (pipe_connection::owner_state). Loop thread.
struct server_session::link_state {
    bool has_id = false;
    std::string id;  // the one client id the link speaks for, once bound
    message_codec::received_reader reader;
};

server_session::server_session(const std::atomic<ipc_server_watch*>& watch,
                               endpoint_counters* counters)
    : watch_(watch), counters_(counters) {
    InitializeCriticalSection(&ids_lock_);
}

server_session::~server_session() {
    tasks_.stop_tasks();  // no report runs from here on; the transport stops as it goes
    DeleteCriticalSection(&ids_lock_);
}

bool server_session::start(const std::string& name, const timing& limits) {
    return links_.start_server(name, this, limits, counters_);
}

void server_session::stop() {
    {
        scoped_critical_section hold(ids_lock_);
        stopping_ = true;  // no id is bound from here on
        ids_.clear();
        unreported_.clear();
    }
    links_.stop_server([this](pipe_connection& link) { send_exit_notice(link); });
}

bool server_session::is_callback_thread() const {
    return links_.is_loop_thread() || tasks_.is_worker_thread();
}

server_session::link_state& server_session::state_of(pipe_connection* link) {
    return *static_cast<link_state*>(link->owner_state.get());
}

bool server_session::on_link_open(pipe_connection* link) {
    link->owner_state = std::shared_ptr<link_state>(new (std::nothrow) link_state);
    return link->owner_state != nullptr;
}

bool server_session::on_link_frame(pipe_connection* link, const char* data, int32_t length) {
    link_state& state = state_of(link);
    message_codec::received_reader::message message;
    const auto read = state.reader.read(data, static_cast<size_t>(length), &message);
    if (read == message_codec::received_reader::result::bad_message) {
        log_error(L"win::pipe_server::on_pipe_recv_data decode pipe protocol failed");
        return true;
    }
    bool newly_bound = false;
    if (!bind_link_id(link, std::string_view(message.client_id, message.client_id_size),
                      &newly_bound)) {
        return true;
    }
    if (read == message_codec::received_reader::result::bad_body) {
        switch (message.msg_type) {
            case msg_clientstate:
                log_error(L"win::pipe_server::on_pipe_recv_data decode msg_clientstate failed");
                break;
            case msg_string:
                log_error(L"win::pipe_server::on_pipe_recv_data decode msg_string failed");
                break;
            default:
                log_error(L"win::pipe_server::on_pipe_recv_data decode msg_bytestream failed");
                break;
        }
        return true;
    }
    ipc_server_watch* watch = watch_.load(std::memory_order_acquire);
    switch (message.msg_type) {
        case msg_clientstate:
            return on_state(link, message.state, newly_bound);
        case msg_string:
        case msg_bytestream:
            link->counters().note_message_received(static_cast<uint64_t>(message.length));
            if (watch != nullptr) {
                watch->on_recv_data(state.id.c_str(), message.data, message.length,
                                    message.msg_type == msg_string);
            }
            state.reader.give_back_room(pipe_frame_buffer::retained_bytes);
            return true;
        case msg_heartbeat:
            link->counters().add(link_counters::heart_beats_received);
            return true;
        default:
            return true;  // a heart beat, like every frame, has reset the silence counter
    }
}

bool server_session::bind_link_id(pipe_connection* link, std::string_view id, bool* newly_bound) {
    link_state& state = state_of(link);
    if (state.has_id) {
        if (id == state.id) {
            return true;
        }
        log_error(
            L"win::pipe_server::on_pipe_recv_data clientid %s is not the client id of its "
            L"connection, %s; the connection is dropped.",
            wide(id).c_str(), wide(state.id).c_str());
        refuse(link);
        return false;
    }
    if (id.empty() || id.find('\0') != std::string_view::npos) {
        // A host is handed ids as NUL-terminated texts: it could not tell this one apart.
        log_error(
            L"win::pipe_server::on_pipe_recv_data clientid %s connect refused, a client id must "
            L"not be empty or hold a NUL.",
            wide(id).c_str());
        refuse(link);
        return false;
    }
    {
        scoped_critical_section hold(ids_lock_);
        if (stopping_) {
            return false;  // the link is not ours any more
        }
        const auto unreported = unreported_.find(id);
        if (unreported != unreported_.end()) {
            unreported->second.link_held = true;
            link->hold_delivery();
            return false;
        }
        if (ids_.try_emplace(std::string(id), link->shared_from_this()).second) {
            state.has_id = true;
            state.id = id;
            log_info(
                L"win::pipe_server::bind_clientid_to_connect client bind success: "
                L"client_id=%s, con_add=%.8X",
                wide(state.id).c_str(), low_bits(link));
            *newly_bound = true;
            return true;
        }
    }
    log_taken_id(id);
    refuse(link);
    return false;
}

void server_session::log_taken_id(std::string_view id) {
    log_error(
        L"win::pipe_server::on_pipe_recv_data clientid %s connect faild, the server already has "
        L"the same connection.",
        wide(id).c_str());
}

bool server_session::on_state(pipe_connection* link, int32_t state, bool newly_bound) {
    if (state == state_connect) {
        if (!newly_bound) {
            log_taken_id(state_of(link).id);  // announced before, by this very link
            refuse(link);
        } else if (ipc_server_watch* watch = watch_.load(std::memory_order_acquire)) {
            watch->on_client_connect(state_of(link).id.c_str(), link->peer());
        }
    } else if (state == state_client_exit) {
        log_info(L"win::pipe_server::on_pipe_recv_data client send exit notice");
        return false;
    }
    return true;
}

void server_session::refuse(pipe_connection* link) {
    send_exit_notice(*link);
    links_.drop(link);
}

void server_session::send_exit_notice(pipe_connection& link) {
    link.send_message(0, [](byte_buffer& out, message_codec::message_writer&) {
        return message_codec::write_state(out, sender_server, no_client_id(), state_server_exit);
    });
}

void server_session::on_link_left(pipe_connection* link) {
    std::string client_id;
    link_state& state = state_of(link);
    if (state.has_id) {
        // The id and the link leave together: no record can bind the id to it after.
        scoped_critical_section hold(ids_lock_);
        const auto bound = ids_.find(state.id);
        if (bound != ids_.end() && bound->second.get() == link) {
            client_id = bound->first;
            ids_.erase(bound);
            ++unreported_[client_id].leaves;  // binds again once reported
        }
    }
    tasks_.post_task(std::make_shared<std::function<void()>>(
        [this, client_id = std::move(client_id)] { report_leave(client_id); }));
}

void server_session::report_leave(const std::string& client_id) {
    if (ipc_server_watch* watch = watch_.load(std::memory_order_acquire)) {
        if (!client_id.empty()) {
            watch->on_client_disconnect(client_id.c_str());
        }
    }
    log_info(
        L"win::pipe_server::on_pipe_disconnect::<lambda_fa80b9d7ffee360250b96ba6d9e5631b>"
        L"::operator () clientid = %s",
        wide(client_id).c_str());
    bool link_held = false;
    {
        scoped_critical_section hold(ids_lock_);
        const auto unreported = unreported_.find(client_id);
        if (unreported != unreported_.end()) {
            link_held = unreported->second.link_held;
            if (--unreported->second.leaves == 0) {
                unreported_.erase(unreported);
            }
        }
    }
    if (link_held) {
        links_.post([this] { release_held(); });
    }
}

void server_session::release_held() {
    links_.for_each_link([](pipe_connection& link) {
        if (link.is_delivery_held()) {
            link.release_delivery();  // one whose id is still unreported is held again
        }
    });
}

std::shared_ptr<pipe_connection> server_session::bound_link(const char* client_id) {
    scoped_critical_section hold(ids_lock_);
    const auto bound = ids_.find(std::string_view(client_id));
    return bound != ids_.end() ? bound->second : nullptr;
}

bool server_session::send_bytestream(const char* client_id, const char* data, int32_t length) {
    if (client_id == nullptr || data == nullptr || length < 1) {
        return false;
    }
    const std::shared_ptr<pipe_connection> link = bound_link(client_id);
    if (link == nullptr) {
        return false;
    }
    const auto size = static_cast<size_t>(length);
    return counted(*link, size,
                   link->send_message(
                       size,
                       [&](byte_buffer& out, message_codec::message_writer& writer) {
                           return writer.write_bytes(out, sender_server, no_client_id(), length,
                                                     data, size);
                       },
                       data,
                       [&](byte_buffer& out, size_t* data_at) {
                           return message_codec::write_bytes_around(
                               out, sender_server, no_client_id(), length, size, data_at);
                       }));
}

bool server_session::send_string(const char* client_id, const char* text, int32_t length) {
    if (client_id == nullptr || text == nullptr || length < 1) {
        return false;
    }
    const std::shared_ptr<pipe_connection> link = bound_link(client_id);
    if (link == nullptr) {
        return false;
    }
    const size_t size = std::strlen(text);
    return counted(*link, size,
                   link->send_message(
                       size,
                       [&](byte_buffer& out, message_codec::message_writer& writer) {
                           return writer.write_text(out, sender_server, no_client_id(), text, size);
                       },
                       text,
                       [&](byte_buffer& out, size_t* data_at) {
                           return message_codec::write_text_around(out, sender_server,
                                                                   no_client_id(), size, data_at);
                       }));
}

bool server_session::counted(pipe_connection& link, size_t size, bool sent) {
    if (sent) {
        link.counters().note_message_sent(size);
    }
    return sent;
}

bool server_session::link_figures_of(const char* client_id, link_figures* out) {
    const std::shared_ptr<pipe_connection> link =
        client_id != nullptr ? bound_link(client_id) : nullptr;
    if (link == nullptr) {
        return false;
    }
    *out = link->figures();
    out->links = 1;
    return true;
}

bool server_session::peer_of(const char* client_id, tovi_platform::peer_identity* out) {
    const std::shared_ptr<pipe_connection> link =
        client_id != nullptr ? bound_link(client_id) : nullptr;
    if (link == nullptr || link->peer().process_id < 0) {
        return false;
    }
    *out = link->peer();
    return true;
}

void server_session::add_links_now(link_figures* out) {
    std::vector<std::shared_ptr<pipe_connection>> links;
    {
        scoped_critical_section hold(ids_lock_);
        links.reserve(ids_.size());
        for (const auto& bound : ids_) {
            links.push_back(bound.second);
        }
    }
    out->links += links.size();
    for (const auto& link : links) {
        out->queued_bytes += link->figures().queued_bytes;  // the link's lock, not the ids'
    }
}

bool server_session::disconnect_client(const char* client_id) {
    if (client_id == nullptr) {
        return false;
    }
    const std::shared_ptr<pipe_connection> link = bound_link(client_id);
    if (link == nullptr) {
        return false;
    }
    send_exit_notice(*link);
    links_.drop(link.get());
    return true;
}

}  // namespace tovi
