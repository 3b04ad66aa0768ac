// ToviIPC through include/toviipc_events.h, pulling: each side's own host thread takes its
// events with toviipc_next_event (no callback, no library thread between the message and the
// host's answer) and answers from there, as a host with its own event loop does. The measures
// are those of every channel row.
#include <cstring>
#include <memory>

#include "bench.h"
#include "toviipc_events.h"

namespace bench {

namespace {

const char* const client_id = "bench-puller";
constexpr int connect_wait_ms = 10000;

class pull_channel : public message_channel {
  public:
    pull_channel(toviipc_endpoint* endpoint, bool server, std::string peer)
        : endpoint_(endpoint), server_(server), peer_(std::move(peer)) {}
    ~pull_channel() override {
        if (server_)
            toviipc_server_stop(endpoint_);
        else
            toviipc_client_disconnect(endpoint_);
        toviipc_release(endpoint_);
    }

    bool send(const char* data, size_t size) override {
        return toviipc_send_bytes(endpoint_, server_ ? peer_.c_str() : nullptr, data,
                                  static_cast<tovi_int32>(size)) != 0;
    }

    // The next message, copied out as the other rows' receives do; -1 once the link ended.
    long long receive(char* out, size_t capacity) override {
        toviipc_event event;
        while (toviipc_next_event(endpoint_, &event, wait_ms_) == 1) {
            if (event.kind == TOVIIPC_EVENT_DISCONNECT)
                return -1;
            if (event.kind != TOVIIPC_EVENT_MESSAGE)
                continue;
            const auto size = static_cast<size_t>(event.length);
            if (size > capacity)
                return -1;
            std::memcpy(out, event.data, size);
            return static_cast<long long>(size);
        }
        return -1;
    }

    void limit_receive_wait(int milliseconds) override { wait_ms_ = milliseconds; }

  private:
    toviipc_endpoint* const endpoint_;
    const bool server_;
    const std::string peer_;
    int wait_ms_ = -1;
};

// The listening side is the server: it says it is ready and waits for its client's connect.
std::unique_ptr<message_channel> open(const side_args& args, bool listening) {
    if (!listening) {
        toviipc_endpoint* client = toviipc_client_create(nullptr, nullptr);
        if (client == nullptr || !connect_until(connect_wait_ms, [&] {
                return toviipc_client_connect(client, args.address.c_str(), client_id) != 0;
            })) {
            toviipc_release(client);
            return nullptr;
        }
        return std::make_unique<pull_channel>(client, false, "");
    }
    toviipc_endpoint* server = toviipc_server_create(nullptr, nullptr);
    if (server == nullptr || !toviipc_server_start(server, args.address.c_str())) {
        toviipc_release(server);
        return nullptr;
    }
    announce_ready();
    toviipc_event event;
    while (toviipc_next_event(server, &event, -1) == 1) {
        if (event.kind == TOVIIPC_EVENT_CONNECT)
            return std::make_unique<pull_channel>(server, true, event.client_id);
    }
    toviipc_release(server);
    return nullptr;
}

}  // namespace

std::vector<row_def> tovi_pull_rows() {
    return {channel_row<&open>("tovi-pull-c2s",
                               "ToviIPC events library, pulling: client sends, server host "
                               "pulls and answers on its own thread"),
            channel_row<&open, true>("tovi-pull-s2c",
                                     "ToviIPC events library, pulling: server host sends, "
                                     "client host pulls and answers on its own thread")};
}

}  // namespace bench
