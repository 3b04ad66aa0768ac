#include "raw_peer.h"

#include "codec/message_codec.h"
#include "platform/pipe_test_util.h"
#include "support/test_support.h"

namespace raw {

namespace {

std::string text_of(const byte_buffer& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

DWORD ms(std::chrono::milliseconds timeout) {
    return static_cast<DWORD>(timeout.count());
}

}  // namespace

std::string state_payload(int32_t sender, const std::string& client_id, int32_t state) {
    byte_buffer out;
    message_codec::write_state(out, sender, client_id, state);
    return text_of(out);
}

std::string text_payload(int32_t sender, const std::string& client_id, const std::string& text) {
    byte_buffer out;
    message_codec::write_text(out, sender, client_id, text.data(), text.size());
    return text_of(out);
}

std::string bytes_payload(int32_t sender, const std::string& client_id, int32_t length,
                          const std::string& data) {
    byte_buffer out;
    message_codec::write_bytes(out, sender, client_id, length, data.data(), data.size());
    return text_of(out);
}

void pipe_end::adopt(HANDLE pipe) {
    close();
    pipe_ = pipe;
    peer_closed_ = false;
}

void pipe_end::close() {
    if (pipe_ != INVALID_HANDLE_VALUE) {
        CloseHandle(pipe_);
        pipe_ = INVALID_HANDLE_VALUE;
    }
}

bool pipe_end::send_together(const std::vector<std::string>& payloads) {
    std::string frames;
    for (const std::string& payload : payloads) {
        frames += tovi_test::frame(payload);
    }
    return conformance::write_all(pipe_, frames.data(), static_cast<DWORD>(frames.size()));
}

bool pipe_end::receive(std::string* payload, std::chrono::milliseconds timeout) {
    unsigned char header[8];
    std::string body;
    bool ok = conformance::read_all(pipe_, header, 8, ms(timeout));
    if (ok) {
        const uint32_t length =
            header[4] | header[5] << 8 | header[6] << 16 | static_cast<uint32_t>(header[7]) << 24;
        body.resize(length >= 8 ? length - 8 : 0);
        ok = length >= 8 &&
             (body.empty() || conformance::read_all(pipe_, &body[0], length - 8, ms(timeout)));
    }
    peer_closed_ = peer_closed_ || (!ok && GetLastError() == ERROR_BROKEN_PIPE);
    *payload = body;
    return ok;
}

bool pipe_end::receive(message* out, std::chrono::milliseconds timeout) {
    std::string bytes;
    *out = message{};
    if (!receive(&bytes, timeout) ||
        decode_record(out->outer, bytes.data(), static_cast<int32_t>(bytes.size())) != 0) {
        return false;
    }
    const char* body = out->outer.body.data();
    const auto size = static_cast<int32_t>(out->outer.body.size());
    if (out->outer.msg_type == msg_clientstate) {
        StateNotice notice;
        decode_record(notice, body, size);
        out->state = notice.state;
    } else if (out->outer.msg_type == msg_string) {
        StringData text;
        decode_record(text, body, size);
        out->text = text.data;
    } else if (out->outer.msg_type == msg_bytestream) {
        decode_record(out->bytes, body, size);
    }
    return true;
}

bool pipe_end::wait_closed(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string skipped;
    while (!peer_closed_ && std::chrono::steady_clock::now() < deadline) {
        receive(&skipped, std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now()));
    }
    return peer_closed_;
}

bool connect(pipe_end& end, const std::string& name, const std::string& id) {
    const std::wstring path = conformance::pipe_path(name);
    if (WaitNamedPipeW(path.c_str(), 30000)) {
        end.adopt(conformance::open_client(path));
    }
    return end.is_open() &&
           (id.empty() || end.send(state_payload(sender_client, id, state_connect)));
}

}  // namespace raw
