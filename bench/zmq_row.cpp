// ZeroMQ PAIR over ipc://, with its default settings, through zmq_send and zmq_recv.
#include <zmq.h>

#include <memory>

#include "rows.h"

namespace bench {

namespace {

class zmq_channel : public message_channel {
  public:
    zmq_channel(void* context, void* socket) : context_(context), socket_(socket) {}
    ~zmq_channel() override {
        zmq_close(socket_);
        zmq_ctx_term(context_);
    }

    bool send(const char* data, size_t size) override {
        return zmq_send(socket_, data, size, 0) == static_cast<int>(size);
    }

    // zmq_recv cuts a message to the buffer and returns its full size: larger is a failure.
    long long receive(char* out, size_t capacity) override {
        const int size = zmq_recv(socket_, out, capacity, 0);
        return size < 0 || static_cast<size_t>(size) > capacity ? -1 : size;
    }

    void limit_receive_wait(int milliseconds) override {
        zmq_setsockopt(socket_, ZMQ_RCVTIMEO, &milliseconds, sizeof(milliseconds));
    }

  private:
    void* context_;
    void* socket_;
};

std::unique_ptr<message_channel> open(const side_args& args, bool listening) {
    void* context = zmq_ctx_new();
    void* socket = context != nullptr ? zmq_socket(context, ZMQ_PAIR) : nullptr;
    const std::string endpoint = "ipc://" + socket_file(args.address);
    if (socket == nullptr || (listening ? zmq_bind(socket, endpoint.c_str())
                                        : zmq_connect(socket, endpoint.c_str())) != 0) {
        if (socket != nullptr)
            zmq_close(socket);
        if (context != nullptr)
            zmq_ctx_term(context);
        return nullptr;
    }
    if (listening)
        announce_ready();
    return std::make_unique<zmq_channel>(context, socket);
}

}  // namespace

row_def zmq_pair_row() {
    return channel_row<&open>("zmq-pair",
                              "ZeroMQ PAIR over ipc://, default options, zmq_send / zmq_recv");
}

}  // namespace bench
