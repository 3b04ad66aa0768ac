// A peer that speaks the wire protocol directly, with Win32 pipe calls and the codec's writers,
// so that tests see and send exactly the records an endpoint exchanges.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "codec/records.h"
#include "platform/win32.h"

namespace raw {

// One received message, both levels decoded.
struct message {
    PipeProtocol outer;
    int32_t state = 0;     // msg_clientstate
    std::string text;      // msg_string
    ByteStreamData bytes;  // msg_bytestream
};

// The payload of a message from a client (sender_client) or from the server (sender_server).
std::string state_payload(int32_t sender, const std::string& client_id, int32_t state);
std::string text_payload(int32_t sender, const std::string& client_id, const std::string& text);
std::string bytes_payload(int32_t sender, const std::string& client_id, int32_t length,
                          const std::string& data);

// An open pipe end, client or server side.
class pipe_end {
  public:
    pipe_end() = default;
    ~pipe_end() { close(); }
    pipe_end(const pipe_end&) = delete;
    pipe_end& operator=(const pipe_end&) = delete;

    bool is_open() const { return pipe_ != INVALID_HANDLE_VALUE; }
    HANDLE handle() const { return pipe_; }
    // Takes an open pipe handle, closing the one held before.
    void adopt(HANDLE pipe);
    void close();

    // Writes a frame around each payload, all in one write, so that the peer reads them at
    // once.
    bool send(const std::string& payload) { return send_together({payload}); }
    bool send_together(const std::vector<std::string>& payloads);

    // Reads one frame's payload, or one message, waiting at most timeout for each piece. False
    // on time-out or when the peer closed (closed() then tells which).
    bool receive(std::string* payload, std::chrono::milliseconds timeout);
    bool receive(message* out, std::chrono::milliseconds timeout);
    bool closed() const { return peer_closed_; }
    // Waits until the peer closes, skipping whatever arrives meanwhile.
    bool wait_closed(std::chrono::milliseconds timeout);

  private:
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    bool peer_closed_ = false;
};

// Opens the client end of "\\.\pipe\" + name and, unless id is empty, announces a client under
// id. False when either failed.
bool connect(pipe_end& end, const std::string& name, const std::string& id = "");

}  // namespace raw
