// The server side of the transport: instances waiting for clients, the links they become,
// the frames those receive, and the heart-beat check that drops silent links.
#include "transport/pipe_server.h"

#include <algorithm>
#include <new>

#include "log/log.h"
#include "log/utf8_to_utf16.h"
#include "platform/scoped_critical_section.h"
#include "transport/heart_beat_timer.h"
#include "transport/pipe_connection.h"

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
    InitializeCriticalSection(&heart_beat_lock_);
}

pipe_server::~pipe_server() {
    stop_heart_beat();
    // stop_server normally did this already; an owner that did not still gets every pipe
    // finished before the members go.
    loop_.stop_thread();
    links_.take_all();
    DeleteCriticalSection(&heart_beat_lock_);
}

bool pipe_server::start_server(const std::string& name, link_watch* watch, const timing& limits,
                               endpoint_counters* endpoint) {
    log_info(L"win::pipe_server::start_server");
    pipe_name_ = name;
    watch_ = watch;
    limits_ = limits;
    endpoint_counters_ = endpoint;
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
        heart_beat_ =
            new (std::nothrow) heart_beat_timer(this, limits_.heart_beat_interval_ms, &loop_);
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
    const std::shared_ptr<listen_instance> keep = take_instance(instance);  // the loop's goes too
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
    std::shared_ptr<pipe_connection> link;
    try {
        link =
            std::make_shared<pipe_connection>(connection_mode, &loop_, limits_, endpoint_counters_);
    } catch (const std::bad_alloc&) {
        close_instance(instance);  // the client sees its pipe end and may try again
        add_listen_pipe(false);
        return;
    }
    log_info(L"win::pipe_server::on_handle_event recv client connect event: con_addr=%.8X",
             low_bits(reinterpret_cast<uintptr_t>(link.get())));
    // The replacement first, so that the name is never left without a waiting instance.
    add_listen_pipe(false);

    const HANDLE pipe = instance->pipe;
    instance->pipe = INVALID_HANDLE_VALUE;
    instance->closing = true;
    const std::shared_ptr<listen_instance> keep = take_instance(instance);  // still inside it
    if (!watch_->on_link_open(link.get())) {
        CloseHandle(pipe);  // the client sees its pipe end and may try again
        loop_.detach(pipe);
        return;
    }
    links_.add(link);
    if (!link->init_pipe(pipe, this, true)) {
        loop_.detach(pipe);  // the loop is stopping; the handle is closed
        links_.take(link_table::ref_of(link.get()));
    }
}

std::shared_ptr<pipe_server::listen_instance> pipe_server::take_instance(
    listen_instance* instance) {
    std::shared_ptr<listen_instance> taken;
    auto found = std::find_if(instances_.begin(), instances_.end(),
                              [instance](const auto& held) { return held.get() == instance; });
    if (found != instances_.end()) {
        taken = std::move(*found);
        instances_.erase(found);
    }
    return taken;
}

bool pipe_server::on_pipe_recv_data(pipe_connection* connection, const char* data, int32_t length) {
    if (connection->is_leaving() || data == nullptr || length < 1) {
        return true;
    }
    return watch_->on_link_frame(connection, data, length);
}

void pipe_server::on_pipe_disconnect(pipe_connection* connection) {
    post_leave(link_table::ref_of(connection));
}

void pipe_server::drop(pipe_connection* link) {
    link->mark_leaving();  // nothing more of it reaches the watch
    post_leave(link_table::ref_of(link));
}

void pipe_server::post_leave(link_ref link) {
    // Through the loop, where every frame of the link is handed on: the leave runs after the
    // frame in progress, and none of the link follows it.
    loop_.post([this, link] { on_leave(link); });
}

void pipe_server::on_leave(link_ref link) {
    const std::shared_ptr<pipe_connection> left = links_.take(link);
    if (left == nullptr) {
        return;  // left before, or the server stopped
    }
    left->mark_leaving();
    left->close(true);  // an exit notice queued for it still goes out first
    watch_->on_link_left(left.get());
}

void pipe_server::for_each_link(const std::function<void(pipe_connection&)>& visit) {
    for (const auto& link : links_.all()) {
        visit(*link);
    }
}

bool pipe_server::on_heart_beat() {
    std::vector<link_ref> silent;
    links_.for_each([&](pipe_connection& link) {
        if (link.is_delivery_held()) {
            link.reset_heart_beat_count();  // unread, not silent
        } else if (link.is_heart_beat_timeout()) {
            silent.push_back(link_table::ref_of(&link));
        } else {
            link.add_heart_beat_count();
        }
    });
    for (const link_ref& link : silent) {
        post_leave(link);
    }
    return true;
}

void pipe_server::stop_heart_beat() {
    scoped_critical_section hold(heart_beat_lock_);
    delete heart_beat_;  // returns after a beat in progress
    heart_beat_ = nullptr;
}

void pipe_server::stop_server(const std::function<void(pipe_connection&)>& farewell) {
    log_info(L"win::pipe_server::stop_server");
    // No client is taken once the stop has begun: the waiting instances close first, so that
    // nobody is accepted and dropped again while the others are closed.
    loop_.call([this] {
        closing_instances_ = true;
        const std::vector<std::shared_ptr<listen_instance>> waiting = instances_;
        for (const auto& instance : waiting) {
            close_instance(instance.get());
        }
    });
    for (const auto& link : links_.take_all()) {
        link->mark_leaving();  // nothing more of it is handed on
        if (farewell) {
            farewell(*link);
        }
        link->close(true);
    }
    stop_heart_beat();
    loop_.stop_thread();  // returns once every link has drained and every pipe is closed
}

}  // namespace tovi
