// Raw Win32 named pipes, overlapped: the baseline of the Windows build. Byte-mode pipe, one
// instance; each message is an 8-byte header (magic, length; little-endian) and the body,
// each written with its own WriteFile and read with its own exact ReadFile loop (two reads
// per message). Every operation is overlapped with an event and waited for with
// GetOverlappedResult, as an overlapped host without an event loop does.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <memory>

#include "rows.h"

namespace bench {

namespace {

constexpr DWORD pipe_buffer_bytes = 64 * 1024;
constexpr DWORD connect_wait_ms = 10000;

std::wstring pipe_name(const std::string& address) {
    return L"\\\\.\\pipe\\" + std::wstring(address.begin(), address.end());
}

class pipe_channel : public message_channel {
  public:
    explicit pipe_channel(HANDLE pipe)
        : pipe_(pipe), event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~pipe_channel() override {
        CloseHandle(pipe_);
        CloseHandle(event_);
    }

    bool send(const char* data, size_t size) override {
        char header[frame_header_bytes];
        put_frame_header(header, static_cast<uint32_t>(size));
        return transfer(true, header, frame_header_bytes) &&
               transfer(true, const_cast<char*>(data), static_cast<DWORD>(size));
    }

    long long receive(char* out, size_t capacity) override {
        char header[frame_header_bytes];
        uint32_t length = 0;
        if (!transfer(false, header, frame_header_bytes) || !get_frame_header(header, &length) ||
            length > capacity || !transfer(false, out, length))
            return -1;
        return length;
    }

    void limit_receive_wait(int milliseconds) override { wait_ms_ = milliseconds; }

  private:
    // Writes or reads exactly size bytes, one overlapped operation after another.
    bool transfer(bool writing, char* data, DWORD size) {
        while (size > 0) {
            OVERLAPPED operation{};
            operation.hEvent = event_;
            const BOOL finished = writing ? WriteFile(pipe_, data, size, nullptr, &operation)
                                          : ReadFile(pipe_, data, size, nullptr, &operation);
            if (!finished && GetLastError() != ERROR_IO_PENDING)
                return false;
            if (!finished && wait_ms_ != INFINITE &&
                WaitForSingleObject(event_, wait_ms_) != WAIT_OBJECT_0) {
                CancelIo(pipe_);
            }
            DWORD done = 0;
            if (!GetOverlappedResult(pipe_, &operation, &done, TRUE) || done == 0)
                return false;
            data += done;
            size -= done;
        }
        return true;
    }

    HANDLE pipe_;
    HANDLE event_;
    DWORD wait_ms_ = INFINITE;
};

std::unique_ptr<message_channel> open(const side_args& args, bool listening) {
    const std::wstring name = pipe_name(args.address);
    if (!listening) {
        const ULONGLONG give_up = GetTickCount64() + connect_wait_ms;
        for (;;) {
            HANDLE pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
            if (pipe != INVALID_HANDLE_VALUE)
                return std::make_unique<pipe_channel>(pipe);
            if (GetTickCount64() > give_up)
                return nullptr;
            WaitNamedPipeW(name.c_str(), 100);
        }
    }
    HANDLE pipe = CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
        pipe_buffer_bytes, pipe_buffer_bytes, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE)
        return nullptr;
    HANDLE connected = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED operation{};
    operation.hEvent = connected;
    announce_ready();
    BOOL ok = ConnectNamedPipe(pipe, &operation);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        DWORD ignored = 0;
        ok = GetOverlappedResult(pipe, &operation, &ignored, TRUE);
    } else if (!ok && GetLastError() == ERROR_PIPE_CONNECTED) {
        ok = TRUE;
    }
    CloseHandle(connected);
    if (!ok) {
        CloseHandle(pipe);
        return nullptr;
    }
    return std::make_unique<pipe_channel>(pipe);
}

}  // namespace

row_def win32_pipe_row() {
    return channel_row<&open>(
        "win32-pipe",
        "Win32 named pipe, byte mode, overlapped with an event per operation, 64 KiB buffers; "
        "8-byte header and body written with two WriteFile calls, read with two exact reads");
}

std::vector<row_def> platform_rows() {
    return {win32_pipe_row()};
}

}  // namespace bench
