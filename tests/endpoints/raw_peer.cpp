#include "raw_peer.h"

#include "log/utf8_to_utf16.h"

namespace raw {

namespace {

std::wstring pipe_path(const std::string& name) {
    return L"\\\\.\\pipe\\" + utf8_to_utf16(name.c_str(), -1);
}

// Waits for an overlapped operation; cancels it on time-out.
bool finish(HANDLE pipe, OVERLAPPED* op, DWORD* transferred, std::chrono::milliseconds timeout) {
    if (WaitForSingleObject(op->hEvent, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
        CancelIoEx(pipe, op);
        GetOverlappedResult(pipe, op, transferred, TRUE);
        return false;
    }
    return GetOverlappedResult(pipe, op, transferred, FALSE) != FALSE;
}

}  // namespace

std::vector<char> payload(int32_t sender, int32_t msg_type, const std::string& client_id,
                          const std::vector<char>& body) {
    PipeProtocol record;
    record.sender = sender;
    record.msg_type = msg_type;
    record.client_id = client_id;
    record.body = body;
    std::vector<char> out;
    encode_record(out, record);
    return out;
}

std::vector<char> state_payload(int32_t sender, const std::string& client_id, int32_t state) {
    StateNotice notice;
    notice.state = state;
    std::vector<char> body;
    encode_record(body, notice);
    return payload(sender, msg_clientstate, client_id, body);
}

std::vector<char> text_payload(int32_t sender, const std::string& client_id,
                               const std::string& text) {
    StringData string;
    string.data = text;
    std::vector<char> body;
    encode_record(body, string);
    return payload(sender, msg_string, client_id, body);
}

std::vector<char> bytes_payload(int32_t sender, const std::string& client_id, int32_t length,
                                const std::string& data) {
    ByteStreamData bytes;
    bytes.length = length;
    bytes.data.assign(data.begin(), data.end());
    std::vector<char> body;
    encode_record(body, bytes);
    return payload(sender, msg_bytestream, client_id, body);
}

void pipe_end::close() {
    if (pipe_ != INVALID_HANDLE_VALUE) {
        CloseHandle(pipe_);
        pipe_ = INVALID_HANDLE_VALUE;
    }
}

bool pipe_end::raw_write(const std::string& bytes) {
    OVERLAPPED op{};
    op.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    bool ok = WriteFile(pipe_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &op) ||
              GetLastError() == ERROR_IO_PENDING;
    ok = ok && finish(pipe_, &op, &written, std::chrono::seconds(30)) && written == bytes.size();
    CloseHandle(op.hEvent);
    return ok;
}

bool pipe_end::send(const std::vector<char>& payload) {
    return send_together({payload});
}

bool pipe_end::send_together(const std::vector<std::vector<char>>& payloads) {
    std::string frames;
    for (const std::vector<char>& payload : payloads) {
        frames += "TQNP";
        const uint32_t length = static_cast<uint32_t>(payload.size() + 8);
        for (int i = 0; i < 4; ++i)
            frames += static_cast<char>(length >> (8 * i));
        frames.append(payload.begin(), payload.end());
    }
    return raw_write(frames);
}

bool pipe_end::read_exact(char* out, size_t size, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t done = 0;
    while (done < size) {
        OVERLAPPED op{};
        op.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD n = 0;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        bool ok = ReadFile(pipe_, out + done, static_cast<DWORD>(size - done), &n, &op) ||
                  GetLastError() == ERROR_IO_PENDING;
        if (ok) {
            ok = finish(pipe_, &op, &n, left.count() > 0 ? left : std::chrono::milliseconds(0));
            if (!ok && GetLastError() == ERROR_BROKEN_PIPE)
                peer_closed_ = true;
        } else if (GetLastError() == ERROR_BROKEN_PIPE) {
            peer_closed_ = true;
        }
        CloseHandle(op.hEvent);
        if (!ok)
            return false;
        done += n;
    }
    return true;
}

bool pipe_end::receive(std::vector<char>* payload, std::chrono::milliseconds timeout) {
    char header[8];
    if (!read_exact(header, 8, timeout))
        return false;
    uint32_t length = 0;
    for (int i = 0; i < 4; ++i)
        length |= static_cast<uint32_t>(static_cast<unsigned char>(header[4 + i])) << (8 * i);
    payload->resize(length - 8);
    return length == 8 || read_exact(payload->data(), length - 8, timeout);
}

bool pipe_end::receive(message* out, std::chrono::milliseconds timeout) {
    std::vector<char> bytes;
    if (!receive(&bytes, timeout))
        return false;
    *out = message{};
    if (decode_record(out->outer, bytes.data(), static_cast<int32_t>(bytes.size())) != 0) {
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
    std::vector<char> skipped;
    while (!peer_closed_ && std::chrono::steady_clock::now() < deadline) {
        receive(&skipped, std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now()));
    }
    return peer_closed_;
}

void connect(pipe_end& end, const std::string& name) {
    const std::wstring path = pipe_path(name);
    if (!WaitNamedPipeW(path.c_str(), 30000))
        return;
    HANDLE pipe = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
        end.adopt(pipe);
    }
}

listener::listener(const std::string& name) {
    connect_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    pipe_ = CreateNamedPipeW(
        pipe_path(name).c_str(),
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 1024, 1024, 0, nullptr);
    if (pipe_ != INVALID_HANDLE_VALUE && !ConnectNamedPipe(pipe_, &connect_) &&
        GetLastError() == ERROR_PIPE_CONNECTED) {
        connected_at_once_ = true;
    }
}

listener::~listener() {
    if (pipe_ != INVALID_HANDLE_VALUE) {
        CancelIoEx(pipe_, &connect_);
        DWORD n = 0;
        GetOverlappedResult(pipe_, &connect_, &n, TRUE);
        CloseHandle(pipe_);
    }
    CloseHandle(connect_.hEvent);
}

bool listener::accept(pipe_end& end, std::chrono::milliseconds timeout) {
    if (pipe_ == INVALID_HANDLE_VALUE)
        return false;
    if (!connected_at_once_ &&
        WaitForSingleObject(connect_.hEvent, static_cast<DWORD>(timeout.count())) !=
            WAIT_OBJECT_0) {
        return false;
    }
    end.adopt(pipe_);
    pipe_ = INVALID_HANDLE_VALUE;
    return true;
}

}  // namespace raw
