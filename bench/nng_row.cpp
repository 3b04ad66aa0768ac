// nng pair0 over ipc://, with its default settings, through its copying send and receive.
#include <nng/nng.h>
#include <nng/protocol/pair0/pair.h>

#include <cstring>
#include <memory>

#include "rows.h"

namespace bench {

namespace {

class nng_channel : public message_channel {
  public:
    explicit nng_channel(nng_socket socket) : socket_(socket) {}
    ~nng_channel() override { nng_close(socket_); }

    bool send(const char* data, size_t size) override {
        return nng_send(socket_, const_cast<char*>(data), size, 0) == 0;
    }

    // What nng_recv does into a caller's buffer, except that a message that does not fit is
    // a failure instead of being cut.
    long long receive(char* out, size_t capacity) override {
        nng_msg* message = nullptr;
        if (nng_recvmsg(socket_, &message, 0) != 0)
            return -1;
        const size_t size = nng_msg_len(message);
        if (size <= capacity)
            std::memcpy(out, nng_msg_body(message), size);
        nng_msg_free(message);
        return size <= capacity ? static_cast<long long>(size) : -1;
    }

    void limit_receive_wait(int milliseconds) override {
        nng_socket_set_ms(socket_, NNG_OPT_RECVTIMEO, milliseconds);
    }

  private:
    nng_socket socket_;
};

std::unique_ptr<message_channel> open(const side_args& args, bool listening) {
    nng_socket socket;
    if (nng_pair0_open(&socket) != 0)
        return nullptr;
    const std::string url = "ipc://" + socket_file(args.address);
    const int rv = listening ? nng_listen(socket, url.c_str(), nullptr, 0)
                             : nng_dial(socket, url.c_str(), nullptr, 0);
    if (rv != 0) {
        nng_close(socket);
        return nullptr;
    }
    if (listening)
        announce_ready();
    return std::make_unique<nng_channel>(socket);
}

}  // namespace

row_def nng_pair_row() {
    return channel_row<&open>("nng-pair0",
                              "nng pair0 over ipc://, default options, nng_send, and nng_recvmsg "
                              "copied out (as nng_recv does)");
}

}  // namespace bench
