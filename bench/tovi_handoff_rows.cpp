// ToviIPC through include/toviipc.h, answered from the host's own thread: the callbacks only
// hand each message over (a mutex, a queue and a condition variable, as a host that runs its
// own loop must do with callbacks), and the host thread that takes it answers. These are the
// rows the pulling rows replace; the callback rows answer from inside the callback instead.
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "bench.h"
#include "toviipc.h"

namespace bench {

namespace {

const char* const client_id = "bench-handoff";
constexpr int connect_wait_ms = 10000;

// What the callbacks hand to the host thread. The callbacks carry no context: one per process.
struct handoff {
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<std::string> messages;
    std::string peer;  // server: the client's id once connected
    bool link_down = false;
    int wait_ms = -1;
} box;

void hand_over(const char* data, tovi_int32 length) {
    {
        std::lock_guard<std::mutex> hold(box.lock);
        box.messages.emplace_back(data, static_cast<size_t>(length));
    }
    box.arrived.notify_one();
}

void TOVIIPC_CALL client_data(const char* data, tovi_int32 length) {
    hand_over(data, length);
}
void TOVIIPC_CALL server_data(const char*, const char* data, tovi_int32 length) {
    hand_over(data, length);
}
void TOVIIPC_CALL link_lost() {
    {
        std::lock_guard<std::mutex> hold(box.lock);
        box.link_down = true;
    }
    box.arrived.notify_one();
}
void TOVIIPC_CALL server_link_lost(const char*) {
    link_lost();
}
void TOVIIPC_CALL server_connected(const char* id) {
    {
        std::lock_guard<std::mutex> hold(box.lock);
        box.peer = id;
    }
    box.arrived.notify_one();
}

const ipc_client_callbacks client_callbacks{&client_data, &link_lost};
const ipc_server_callbacks server_callbacks{&server_data, &server_connected, &server_link_lost};

class handoff_channel : public message_channel {
  public:
    handoff_channel(ipc_handle* handle, bool server) : handle_(handle), server_(server) {}
    ~handoff_channel() override {
        if (server_) {
            server_functions.stop(handle_);
            release_tovi_ipc_server(handle_);
        } else {
            client_functions.disconnect(handle_);
            release_tovi_ipc_client(handle_);
        }
    }

    bool send(const char* data, size_t size) override {
        const auto length = static_cast<tovi_int32>(size);
        return server_
                   ? server_functions.send_bytestream(handle_, box.peer.c_str(), data, length) != 0
                   : client_functions.send_bytestream(handle_, data, length) != 0;
    }

    long long receive(char* out, size_t capacity) override {
        std::unique_lock<std::mutex> hold(box.lock);
        const auto ready = [] { return !box.messages.empty() || box.link_down; };
        if (box.wait_ms < 0) {
            box.arrived.wait(hold, ready);
        } else if (!box.arrived.wait_for(hold, std::chrono::milliseconds(box.wait_ms), ready)) {
            return -1;
        }
        if (box.messages.empty())
            return -1;
        const std::string message = std::move(box.messages.front());
        box.messages.pop_front();
        hold.unlock();
        if (message.size() > capacity)
            return -1;
        std::memcpy(out, message.data(), message.size());
        return static_cast<long long>(message.size());
    }

    void limit_receive_wait(int milliseconds) override {
        std::lock_guard<std::mutex> hold(box.lock);
        box.wait_ms = milliseconds;
    }

    static ipc_server_functions server_functions;
    static ipc_client_functions client_functions;

  private:
    ipc_handle* const handle_;
    const bool server_;
};

ipc_server_functions handoff_channel::server_functions{};
ipc_client_functions handoff_channel::client_functions{};

// The listening side is the server: it says it is ready and waits for its client's connect.
std::unique_ptr<message_channel> open(const side_args& args, bool listening) {
    if (!listening) {
        ipc_handle* client =
            create_tovi_ipc_client(&handoff_channel::client_functions, &client_callbacks);
        if (client == nullptr || !connect_until(connect_wait_ms, [&] {
                return handoff_channel::client_functions.connect(client, args.address.c_str(),
                                                                 client_id) != 0;
            })) {
            release_tovi_ipc_client(client);
            return nullptr;
        }
        return std::make_unique<handoff_channel>(client, false);
    }
    ipc_handle* server =
        create_tovi_ipc_server(&handoff_channel::server_functions, &server_callbacks);
    if (server == nullptr ||
        !handoff_channel::server_functions.start(server, args.address.c_str())) {
        release_tovi_ipc_server(server);
        return nullptr;
    }
    announce_ready();
    std::unique_lock<std::mutex> hold(box.lock);
    box.arrived.wait(hold, [] { return !box.peer.empty(); });
    return std::make_unique<handoff_channel>(server, true);
}

}  // namespace

std::vector<row_def> tovi_handoff_rows() {
    return {channel_row<&open>("tovi-handoff-c2s",
                               "ToviIPC, client sends, server callbacks hand each message to "
                               "the host thread, which answers"),
            channel_row<&open, true>("tovi-handoff-s2c",
                                     "ToviIPC, server host sends, client callbacks hand each "
                                     "message to the host thread, which answers")};
}

}  // namespace bench
