// Completion ports: every operation of an associated pipe completes through the port, and a
// pending operation issued by a thread that outlives it survives the thread that opened the
// handle. Win32 calls only.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "pipe_test_util.h"

namespace conformance {
namespace {

constexpr ULONG_PTR pipe_key = 42;

struct scoped_port {
    HANDLE handle = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    ~scoped_port() { CloseHandle(handle); }
    // Takes one packet, waiting up to ms.
    bool take(OVERLAPPED_ENTRY* entry, DWORD ms = 30000) {
        ULONG removed = 0;
        return GetQueuedCompletionStatusEx(handle, entry, 1, &removed, ms, FALSE) && removed == 1;
    }
};

class port_pipe : public connected_pipe {
  protected:
    void SetUp() override {
        connected_pipe::SetUp();
        ASSERT_NE(nullptr, port_.handle);
        ASSERT_EQ(port_.handle, CreateIoCompletionPort(server_, port_.handle, pipe_key, 0));
    }
    scoped_port port_;
};

TEST_F(port_pipe, a_pending_read_completes_through_the_port_and_skipping_spares_reads_at_once) {
    OVERLAPPED read{};
    char buffer[16];
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(server_, buffer, 5, &n, &read));
    ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
    OVERLAPPED_ENTRY entry{};
    EXPECT_FAILS_WITH(WAIT_TIMEOUT, false, port_.take(&entry, 0));
    ASSERT_TRUE(write_all(client_, "hello world", 11));
    ASSERT_TRUE(port_.take(&entry));
    EXPECT_EQ(pipe_key, entry.lpCompletionKey);
    EXPECT_EQ(&read, entry.lpOverlapped);
    EXPECT_EQ(5u, entry.dwNumberOfBytesTransferred);
    EXPECT_TRUE(GetOverlappedResult(server_, &read, &n, FALSE));
    EXPECT_EQ(0, std::memcmp(buffer, "hello", 5));

    // Data that is there already: the read finishes at once and queues a packet all the same,
    // unless the handle skips those.
    ASSERT_TRUE(ReadFile(server_, buffer, 3, &n, &read));
    ASSERT_TRUE(port_.take(&entry, 1000));
    EXPECT_EQ(3u, entry.dwNumberOfBytesTransferred);
    ASSERT_TRUE(SetFileCompletionNotificationModes(server_, FILE_SKIP_COMPLETION_PORT_ON_SUCCESS));
    ASSERT_TRUE(ReadFile(server_, buffer, 3, &n, &read));
    EXPECT_EQ(3u, n);
    EXPECT_EQ(0, std::memcmp(buffer, "rld", 3));
    EXPECT_FALSE(port_.take(&entry, 100));
    // A second port is refused; the first keeps the handle.
    scoped_port other;
    EXPECT_EQ(nullptr, CreateIoCompletionPort(server_, other.handle, 7, 0));
}

// A cancelled read completes aborted and never touches its buffer; the data that comes after it
// is there for the next reads.
TEST_F(port_pipe, cancelling_or_closing_completes_pending_operations_through_the_port) {
    OVERLAPPED read{};
    char cancelled[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
    char buffer[8];
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(server_, cancelled, sizeof(cancelled), &n, &read));
    EXPECT_TRUE(CancelIoEx(server_, &read));
    OVERLAPPED_ENTRY entry{};
    ASSERT_TRUE(port_.take(&entry));
    EXPECT_EQ(&read, entry.lpOverlapped);
    EXPECT_FAILS_WITH(ERROR_OPERATION_ABORTED, FALSE,
                      GetOverlappedResult(server_, &read, &n, FALSE));

    // A peer that writes and leaves at once, while a read waits: the reads get every byte, in
    // pieces, and the end of the stream is not missed for arriving with them.
    ASSERT_FALSE(ReadFile(server_, buffer, 3, &n, &read));
    ASSERT_TRUE(write_all(client_, "last words", 10));
    CloseHandle(client_);
    client_ = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(port_.take(&entry));
    EXPECT_EQ(3u, entry.dwNumberOfBytesTransferred);
    EXPECT_EQ(0, std::memcmp(buffer, "las", 3));
    ASSERT_TRUE(ReadFile(server_, buffer, 7, &n, &read));
    EXPECT_EQ(0, std::memcmp(buffer, "t words", 7));
    ASSERT_TRUE(port_.take(&entry));
    EXPECT_FAILS_WITH(ERROR_BROKEN_PIPE, FALSE,
                      ReadFile(server_, buffer, sizeof(buffer), &n, &read));
    EXPECT_FALSE(port_.take(&entry, 100));
    EXPECT_EQ(std::string(8, 'x'), std::string(cancelled, 8));
}

TEST(completion_port, a_waiting_connect_and_a_posted_packet_come_through_the_port) {
    const std::wstring path = pipe_path(tovi_test::unique_name("tovi_port"));
    HANDLE server = create_instance(path, FILE_FLAG_FIRST_PIPE_INSTANCE);
    ASSERT_NE(INVALID_HANDLE_VALUE, server);
    scoped_port port;
    ASSERT_EQ(port.handle, CreateIoCompletionPort(server, port.handle, pipe_key, 0));
    OVERLAPPED connect{};
    ASSERT_FALSE(ConnectNamedPipe(server, &connect));
    ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
    HANDLE client = open_client(path);
    ASSERT_NE(INVALID_HANDLE_VALUE, client);
    OVERLAPPED_ENTRY entry{};
    ASSERT_TRUE(port.take(&entry));
    EXPECT_EQ(&connect, entry.lpOverlapped);

    // A packet posted by another thread wakes the thread that waits on the port.
    std::thread poster([&port] {
        Sleep(50);
        PostQueuedCompletionStatus(port.handle, 9, 3, nullptr);
    });
    ASSERT_TRUE(port.take(&entry));
    EXPECT_EQ(3u, entry.lpCompletionKey);
    EXPECT_EQ(nullptr, entry.lpOverlapped);
    EXPECT_EQ(9u, entry.dwNumberOfBytesTransferred);
    poster.join();
    CloseHandle(client);
    CloseHandle(server);
}

// The way the library works: a host thread opens the client end, associates it with the port
// of a long-lived thread, and ends; that thread issues the read and the write. Both live on
// after the host thread has gone.
TEST(completion_port, io_issued_by_the_port_thread_survives_the_thread_that_opened_the_pipe) {
    const std::wstring path = pipe_path(tovi_test::unique_name("tovi_port"));
    HANDLE server = create_instance(path, FILE_FLAG_FIRST_PIPE_INSTANCE);
    ASSERT_NE(INVALID_HANDLE_VALUE, server);
    overlapped_op accepted;
    ASSERT_FALSE(ConnectNamedPipe(server, &accepted));
    scoped_port port;
    HANDLE client = INVALID_HANDLE_VALUE;
    std::thread host([&] {
        client = open_client(path);
        CreateIoCompletionPort(client, port.handle, pipe_key, 0);
    });
    host.join();
    ASSERT_NE(INVALID_HANDLE_VALUE, client);
    ASSERT_TRUE(accepted.signalled(30000));

    static char big[200000];
    char buffer[4];
    std::atomic<bool> ok{false};
    std::thread loop([&] {
        OVERLAPPED read{}, write{};
        DWORD n = 0;
        // Without skipping, every operation queues its packet, finished at once or not.
        ReadFile(client, buffer, 4, &n, &read);
        WriteFile(client, big, sizeof(big), &n, &write);
        int done = 0;
        OVERLAPPED_ENTRY entry{};
        while (done < 2 && port.take(&entry)) {
            DWORD transferred = 0;
            if (!GetOverlappedResult(client, entry.lpOverlapped, &transferred, FALSE)) {
                return;
            }
            ++done;
        }
        ok = done == 2 && std::memcmp(buffer, "ping", 4) == 0;
    });
    Sleep(100);  // both operations pend while the host thread is gone
    ASSERT_TRUE(write_all(server, "ping", 4));
    std::vector<char> received(sizeof(big));
    EXPECT_TRUE(read_all(server, received.data(), static_cast<DWORD>(received.size())));
    loop.join();
    EXPECT_TRUE(ok);
    CloseHandle(client);
    CloseHandle(server);
}

// A write that has to wait, issued by a thread that ends at once, on a pipe bound to a port:
// it is not cancelled with its thread, and its completion comes through the port. Where any
// thread may issue I/O (POSIX), a host thread's send relies on this.
TEST_F(port_pipe, a_waiting_write_outlives_the_thread_that_issued_it) {
    static char big[300000];
    OVERLAPPED write{};
    bool pending = false;
    std::thread([&] {
        DWORD n = 0;
        pending =
            !WriteFile(server_, big, sizeof(big), &n, &write) && GetLastError() == ERROR_IO_PENDING;
    }).join();
    ASSERT_TRUE(pending);
    OVERLAPPED_ENTRY entry{};
    EXPECT_FALSE(port_.take(&entry, 100));  // it waits for a reader
    std::vector<char> received(sizeof(big));
    std::atomic<bool> read{false};
    std::thread reader(
        [&] { read = read_all(client_, received.data(), static_cast<DWORD>(received.size())); });
    const bool taken = port_.take(&entry);  // the port's waiter sees the write through
    reader.join();
    ASSERT_TRUE(read);
    ASSERT_TRUE(taken);
    EXPECT_EQ(&write, entry.lpOverlapped);
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(server_, &write, &n, FALSE));
    EXPECT_EQ(sizeof(big), n);
}

}  // namespace
}  // namespace conformance
