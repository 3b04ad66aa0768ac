// Pending reads finish whichever thread waits for them, and also when no thread waits: a
// thread that once waited on a pipe must not keep its later reads from finishing.
#include <atomic>
#include <cstring>
#include <thread>

#include "pipe_test_util.h"

namespace conformance {
namespace {

// Waits on the read's event until it finishes; the read must have been started already.
bool wait_for_read(HANDLE pipe, overlapped_op& read, DWORD expected) {
    DWORD n = 0;
    return read.signalled(30000) && GetOverlappedResult(pipe, &read, &n, FALSE) && n == expected;
}

// Polls the read's status without waiting on its event, as a caller that only looks would:
// through GetOverlappedResult, or at the record alone.
enum class look { result, record };
bool finishes_unwatched(HANDLE pipe, overlapped_op& read, look how) {
    DWORD n = 0;
    for (int i = 0; i < 3000; ++i) {  // 30 s
        if (how == look::result ? GetOverlappedResult(pipe, &read, &n, FALSE) != FALSE
                                : HasOverlappedIoCompleted(&read.record)) {
            return true;
        }
        Sleep(10);
    }
    return false;
}

// One read on the server end that this thread is already waiting for when the data arrives.
void read_once_waiting(HANDLE server, HANDLE client, char* buffer) {
    overlapped_op read;
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(server, buffer, 4, &n, &read));
    std::thread writer([client] {
        Sleep(20);
        EXPECT_TRUE(write_all(client, "ping", 4));
    });
    EXPECT_TRUE(wait_for_read(server, read, 4));
    writer.join();
}

// Round 0 waits on a thread that ends before the next read, the others on this thread. The
// record alone is looked at only once no thread keeps the pipe: once the waiter ended, or after
// a wait that left the pipe out; otherwise a look through GetOverlappedResult finishes the read.
TEST_F(connected_pipe, a_read_finishes_unwatched_after_a_thread_waited_on_the_pipe_before) {
    char buffer[8];
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        if (round == 0) {
            std::thread([&] { read_once_waiting(server_, client_, buffer); }).join();
        } else {
            read_once_waiting(server_, client_, buffer);
        }
        overlapped_op later;
        DWORD n = 0;
        EXPECT_FAILS_WITH(ERROR_IO_PENDING, FALSE, ReadFile(server_, buffer, 4, &n, &later));
        ASSERT_TRUE(write_all(client_, "pong", 4));
        if (round == 1) {
            // A wait on something else, as an event loop between two passes.
            HANDLE other = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(other, 20));
            CloseHandle(other);
        }
        // After a wait that left the pipe out, the pipe is watched in the background again.
        const look how = round < 2 ? look::record : look::result;
        EXPECT_TRUE(finishes_unwatched(server_, later, how));
        EXPECT_EQ(0, std::memcmp(buffer, "pong", 4));
    }
}

TEST_F(connected_pipe, a_second_thread_gets_its_read_while_the_first_waits_on_the_same_pipe) {
    // Thread A waits on a read of the server end; the main thread waits on a read of the client
    // end. Each side answers the other 200 times, so both waits alternate on one connection.
    std::atomic<bool> ok{true};
    std::thread echo([&] {
        char buffer[4];
        for (int i = 0; i < 200 && ok; ++i) {
            overlapped_op read;
            DWORD n = 0;
            if (!ReadFile(server_, buffer, 4, &n, &read) && GetLastError() != ERROR_IO_PENDING) {
                ok = false;
            } else if (!wait_for_read(server_, read, 4) || !write_all(server_, buffer, 4)) {
                ok = false;
            }
        }
    });
    for (int i = 0; i < 200 && ok; ++i) {
        char sent[4] = {'n', static_cast<char>(i), static_cast<char>(i >> 8), 0};
        char back[4] = {};
        overlapped_op read;
        DWORD n = 0;
        ASSERT_FALSE(ReadFile(client_, back, 4, &n, &read));
        ASSERT_TRUE(write_all(client_, sent, 4));
        ASSERT_TRUE(wait_for_read(client_, read, 4)) << i;
        ASSERT_EQ(0, std::memcmp(sent, back, 4)) << i;
    }
    echo.join();
    EXPECT_TRUE(ok);
}

}  // namespace
}  // namespace conformance
