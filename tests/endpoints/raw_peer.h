// A peer that speaks the wire protocol directly, with Win32 pipe calls and the codec, so that
// tests see and send exactly the records an endpoint exchanges.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "codec/records.h"
#include "platform/win32.h"

namespace raw {

// One received or sent message, both levels decoded.
struct message {
    PipeProtocol outer;
    int32_t state = 0;     // msg_clientstate
    std::string text;      // msg_string
    ByteStreamData bytes;  // msg_bytestream
};

// The payload of a message from a client (sender 1) or from the server (sender 2).
std::vector<char> payload(int32_t sender, int32_t msg_type, const std::string& client_id,
                          const std::vector<char>& body);
std::vector<char> state_payload(int32_t sender, const std::string& client_id, int32_t state);
std::vector<char> text_payload(int32_t sender, const std::string& client_id,
                               const std::string& text);
std::vector<char> bytes_payload(int32_t sender, const std::string& client_id, int32_t length,
                                const std::string& data);

// An open pipe end, client or server side.
class pipe_end {
  public:
    pipe_end() = default;
    explicit pipe_end(HANDLE pipe) : pipe_(pipe) {}
    ~pipe_end() { close(); }
    pipe_end(const pipe_end&) = delete;
    pipe_end& operator=(const pipe_end&) = delete;

    bool is_open() const { return pipe_ != INVALID_HANDLE_VALUE; }
    // Takes an open pipe handle, closing the one held before.
    void adopt(HANDLE pipe) {
        close();
        pipe_ = pipe;
        peer_closed_ = false;
    }
    void close();

    // Writes one frame around the payload (or the bytes as they are, for raw_write); a frame
    // around each payload, all in one write, for send_together.
    bool send(const std::vector<char>& payload);
    bool send_together(const std::vector<std::vector<char>>& payloads);
    bool raw_write(const std::string& bytes);

    // Reads one frame's payload, waiting at most timeout. False on time-out or when the peer
    // closed (closed() then tells which).
    bool receive(std::vector<char>* payload, std::chrono::milliseconds timeout);
    // Reads and decodes one message.
    bool receive(message* out, std::chrono::milliseconds timeout);
    // True once the peer has closed its end.
    bool closed() const { return peer_closed_; }
    // Waits until the peer closes, skipping whatever arrives meanwhile.
    bool wait_closed(std::chrono::milliseconds timeout);

  private:
    bool read_exact(char* out, size_t size, std::chrono::milliseconds timeout);

    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    bool peer_closed_ = false;
};

// Opens the client end of "\\.\pipe\" + name; not open on failure.
void connect(pipe_end& end, const std::string& name);

// A listening instance of a name, and the end of the first client that connects to it.
class listener {
  public:
    explicit listener(const std::string& name);
    ~listener();
    listener(const listener&) = delete;
    listener& operator=(const listener&) = delete;
    bool is_listening() const { return pipe_ != INVALID_HANDLE_VALUE; }
    // Waits for the client and hands the connected end over.
    bool accept(pipe_end& end, std::chrono::milliseconds timeout);

  private:
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    OVERLAPPED connect_{};
    bool connected_at_once_ = false;
};

}  // namespace raw
