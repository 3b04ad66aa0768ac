// Raw Unix domain stream sockets with blocking I/O: the baseline of the POSIX build. Each
// message is an 8-byte header (magic, length; little-endian) and the body, sent with one
// sendmsg. The two rows differ only in how they read.
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "rows.h"

namespace bench {

namespace {

// The buffered reader's one buffer, serving as many messages as one recv brings.
constexpr size_t read_buffer_bytes = 64 * 1024;
constexpr int connect_wait_ms = 10000;

sockaddr_un socket_address(const std::string& path) {
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    std::strncpy(where.sun_path, path.c_str(), sizeof(where.sun_path) - 1);
    return where;
}

class socket_channel : public message_channel {
  public:
    socket_channel(int fd, bool buffered) : fd_(fd), buffer_(buffered ? read_buffer_bytes : 0) {}
    ~socket_channel() override { close(fd_); }

    bool send(const char* data, size_t size) override {
        char header[frame_header_bytes];
        put_frame_header(header, static_cast<uint32_t>(size));
        iovec parts[2] = {{header, frame_header_bytes}, {const_cast<char*>(data), size}};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = 2;
        size_t left = frame_header_bytes + size;
        while (left > 0) {
            const ssize_t sent = sendmsg(fd_, &message, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent <= 0)
                return false;
            left -= static_cast<size_t>(sent);
            // Skip what went out, across the two parts.
            size_t done = static_cast<size_t>(sent);
            while (done > 0 && message.msg_iovlen > 0) {
                const size_t step = std::min(done, message.msg_iov->iov_len);
                message.msg_iov->iov_base = static_cast<char*>(message.msg_iov->iov_base) + step;
                message.msg_iov->iov_len -= step;
                done -= step;
                if (message.msg_iov->iov_len == 0) {
                    ++message.msg_iov;
                    --message.msg_iovlen;
                }
            }
        }
        return true;
    }

    long long receive(char* out, size_t capacity) override {
        char header[frame_header_bytes];
        uint32_t length = 0;
        if (!read_buffered(header, frame_header_bytes) || !get_frame_header(header, &length) ||
            length > capacity || !read_buffered(out, length)) {
            return -1;
        }
        return length;
    }

    void limit_receive_wait(int milliseconds) override {
        timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    }

  private:
    // Reads exactly size bytes straight from the socket.
    bool read_exact(char* out, size_t size) {
        while (size > 0) {
            const ssize_t got = recv(fd_, out, size, 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            out += got;
            size -= static_cast<size_t>(got);
        }
        return true;
    }

    // Without a buffer, one read_exact. With one, serves what it holds, refills it for
    // what fits, and reads the rest of a large body straight into out.
    bool read_buffered(char* out, size_t size) {
        if (buffer_.empty())
            return read_exact(out, size);
        while (size > 0) {
            if (begin_ == end_) {
                if (size >= buffer_.size())
                    return read_exact(out, size);
                begin_ = end_ = 0;
                const ssize_t got = recv(fd_, buffer_.data(), buffer_.size(), 0);
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0)
                    return false;
                end_ = static_cast<size_t>(got);
            }
            const size_t take = std::min(size, end_ - begin_);
            std::memcpy(out, buffer_.data() + begin_, take);
            begin_ += take;
            out += take;
            size -= take;
        }
        return true;
    }

    int fd_;
    std::vector<char> buffer_;
    size_t begin_ = 0;
    size_t end_ = 0;
};

std::unique_ptr<message_channel> accept_one(const side_args& args, bool buffered) {
    const std::string path = socket_file(args.address);
    const sockaddr_un where = socket_address(path);
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    unlink(path.c_str());
    if (listener < 0 || bind(listener, reinterpret_cast<const sockaddr*>(&where), sizeof(where)) ||
        listen(listener, 1) != 0) {
        if (listener >= 0)
            close(listener);
        return nullptr;
    }
    announce_ready();
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    unlink(path.c_str());
    if (fd < 0)
        return nullptr;
    return std::make_unique<socket_channel>(fd, buffered);
}

std::unique_ptr<message_channel> connect_one(const side_args& args, bool buffered) {
    const sockaddr_un where = socket_address(socket_file(args.address));
    const auto give_up =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(connect_wait_ms);
    for (;;) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return nullptr;
        if (connect(fd, reinterpret_cast<const sockaddr*>(&where), sizeof(where)) == 0)
            return std::make_unique<socket_channel>(fd, buffered);
        close(fd);
        if (std::chrono::steady_clock::now() > give_up)
            return nullptr;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::unique_ptr<message_channel> open_two_reads(const side_args& args, bool listening) {
    return listening ? accept_one(args, false) : connect_one(args, false);
}

std::unique_ptr<message_channel> open_buffered(const side_args& args, bool listening) {
    return listening ? accept_one(args, true) : connect_one(args, true);
}

}  // namespace

row_def raw_two_reads_row() {
    return channel_row<&open_two_reads>(
        "raw-2read",
        "Unix domain stream socket, blocking; 8-byte header and body sent with one sendmsg, "
        "read with two exact reads (header, then body)");
}

row_def raw_buffered_row() {
    return channel_row<&open_buffered>(
        "raw-buffered",
        "as raw-2read, but read through one 64 KiB buffer that serves several messages per "
        "recv (a large body beyond it is read straight into place)");
}

std::vector<row_def> platform_rows() {
    return {raw_two_reads_row(), raw_buffered_row(), nng_pair_row(), zmq_pair_row()};
}

}  // namespace bench
