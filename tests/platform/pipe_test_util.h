// A named pipe with one connected client, for the pipe conformance cases (Win32 calls only).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform_test_util.h"
#include "support/test_support.h"

namespace conformance {

inline std::wstring pipe_path(const std::string& name) {
    return L"\\\\.\\pipe\\" + widen(name);
}

inline HANDLE create_instance(const std::wstring& path, DWORD extra_flags = 0) {
    return CreateNamedPipeW(
        path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | extra_flags,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, 1024, 1024, 0, nullptr);
}

inline HANDLE open_client(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

// An OVERLAPPED record with a manual-reset event of its own.
struct overlapped_op {
    OVERLAPPED record{};
    overlapped_op() { record.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~overlapped_op() { CloseHandle(record.hEvent); }
    overlapped_op(const overlapped_op&) = delete;
    overlapped_op& operator=(const overlapped_op&) = delete;
    OVERLAPPED* operator&() { return &record; }
    bool signalled(DWORD ms = 0) { return WaitForSingleObject(record.hEvent, ms) == WAIT_OBJECT_0; }
};

// Writes everything, waiting for each write to complete.
inline bool write_all(HANDLE pipe, const void* data, DWORD size) {
    overlapped_op op;
    DWORD n = 0;
    if (!WriteFile(pipe, data, size, &n, &op) && GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    return GetOverlappedResult(pipe, &op, &n, TRUE) && n == size;
}

// Reads exactly size bytes, each read waiting up to timeout_ms. False, with the last error
// set (WAIT_TIMEOUT on time-out, ERROR_BROKEN_PIPE once the peer has gone), when they did not
// come.
inline bool read_all(HANDLE pipe, void* data, DWORD size, DWORD timeout_ms = INFINITE) {
    auto* out = static_cast<char*>(data);
    for (DWORD done = 0, n = 0; done < size; done += n) {
        overlapped_op op;
        if (!ReadFile(pipe, out + done, size - done, &n, &op) &&
            GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        if (!op.signalled(timeout_ms)) {
            CancelIoEx(pipe, &op);
            GetOverlappedResult(pipe, &op, &n, TRUE);
            SetLastError(WAIT_TIMEOUT);
            return false;
        }
        if (!GetOverlappedResult(pipe, &op, &n, FALSE)) {
            return false;
        }
    }
    return true;
}

// A server instance and a client connected to it.
class connected_pipe : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = pipe_path(tovi_test::unique_name("tovi_conf"));
        server_ = create_instance(path_, FILE_FLAG_FIRST_PIPE_INSTANCE);
        ASSERT_NE(INVALID_HANDLE_VALUE, server_) << GetLastError();
        overlapped_op connect;
        const BOOL done = ConnectNamedPipe(server_, &connect);
        ASSERT_FALSE(done);
        ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
        client_ = open_client(path_);
        ASSERT_NE(INVALID_HANDLE_VALUE, client_) << GetLastError();
        ASSERT_TRUE(connect.signalled(30000));
        DWORD n = 0;
        ASSERT_TRUE(GetOverlappedResult(server_, &connect, &n, FALSE));
    }
    void TearDown() override {
        for (HANDLE* end : {&client_, &server_}) {
            if (*end != INVALID_HANDLE_VALUE)
                CloseHandle(*end);
            *end = INVALID_HANDLE_VALUE;
        }
    }

    std::wstring path_;
    HANDLE server_ = INVALID_HANDLE_VALUE;
    HANDLE client_ = INVALID_HANDLE_VALUE;
};

}  // namespace conformance
