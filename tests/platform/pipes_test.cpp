// Win32 calls only: runs natively against our layer and under Wine against the real API.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "pipe_test_util.h"

using namespace conformance;

TEST(named_pipe_names, an_unknown_name_fails_wait_at_once_with_file_not_found) {
    const std::wstring path = pipe_path(tovi_test::unique_name("tovi_none"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FAILS_WITH(ERROR_FILE_NOT_FOUND, FALSE, WaitNamedPipeW(path.c_str(), 30000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));  // not 30 s
    EXPECT_FAILS_WITH(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE, open_client(path));
}

TEST(named_pipe_names, a_served_name_cannot_be_claimed_as_first_instance_again) {
    const std::wstring path = pipe_path(tovi_test::unique_name("tovi_first"));
    HANDLE first = create_instance(path, FILE_FLAG_FIRST_PIPE_INSTANCE);
    ASSERT_NE(INVALID_HANDLE_VALUE, first);
    if (!tovi_test::running_under_wine()) {  // Wine creates a further instance instead
        EXPECT_FAILS_WITH(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE,
                          create_instance(path, FILE_FLAG_FIRST_PIPE_INSTANCE));
    }
    HANDLE second = create_instance(path);  // a further instance of the same server
    EXPECT_NE(INVALID_HANDLE_VALUE, second);
    CloseHandle(second);
    CloseHandle(first);
    // Once every instance is closed the name is free again.
    HANDLE again = create_instance(path, FILE_FLAG_FIRST_PIPE_INSTANCE);
    EXPECT_NE(INVALID_HANDLE_VALUE, again);
    CloseHandle(again);
}

TEST(named_pipe_names, are_case_insensitive) {
    const std::string name = "Tovi_Case_" + tovi_test::unique_name("x");
    HANDLE server = create_instance(pipe_path(name), FILE_FLAG_FIRST_PIPE_INSTANCE);
    ASSERT_NE(INVALID_HANDLE_VALUE, server);
    std::string upper = name;
    for (char& c : upper) {
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    EXPECT_TRUE(WaitNamedPipeW(pipe_path(upper).c_str(), 1000));
    HANDLE client = open_client(pipe_path(upper));
    EXPECT_NE(INVALID_HANDLE_VALUE, client);
    CloseHandle(client);
    CloseHandle(server);
}

TEST(named_pipe_instances, unlimited_instances_are_not_limited_to_255) {
    const std::wstring path = pipe_path(tovi_test::unique_name("tovi_many"));
    std::vector<HANDLE> instances;
    for (int i = 0; i < 300; ++i) {
        HANDLE instance = create_instance(path, i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
        if (instance == INVALID_HANDLE_VALUE)
            break;
        instances.push_back(instance);
    }
    EXPECT_EQ(300u, instances.size());
    for (HANDLE instance : instances)
        CloseHandle(instance);
}

TEST(named_pipe_instances,
     a_wait_for_a_busy_name_fails_after_its_time_or_ends_with_a_new_instance) {
    const std::wstring path = pipe_path(tovi_test::unique_name("tovi_busy"));
    const auto limited = [&](DWORD flags) {
        return CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | flags,
                                PIPE_TYPE_BYTE | PIPE_WAIT, 2, 1024, 1024, 0, nullptr);
    };
    HANDLE server = limited(FILE_FLAG_FIRST_PIPE_INSTANCE);
    ASSERT_NE(INVALID_HANDLE_VALUE, server);
    EXPECT_TRUE(WaitNamedPipeW(path.c_str(), 1000));  // free: returns at once
    HANDLE client = open_client(path);
    ASSERT_NE(INVALID_HANDLE_VALUE, client);
    // A connected instance counts towards the limit, and keeps the name when the others go.
    HANDLE second = limited(0);
    EXPECT_NE(INVALID_HANDLE_VALUE, second);
    EXPECT_FAILS_WITH(ERROR_PIPE_BUSY, INVALID_HANDLE_VALUE, limited(0));
    CloseHandle(second);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FAILS_WITH(ERROR_SEM_TIMEOUT, FALSE, WaitNamedPipeW(path.c_str(), 200));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_FAILS_WITH(ERROR_PIPE_BUSY, INVALID_HANDLE_VALUE, open_client(path));
    // A waiting client is released when a new instance appears.
    std::thread creator([&] {
        Sleep(100);
        second = limited(0);
    });
    EXPECT_TRUE(WaitNamedPipeW(path.c_str(), 30000));
    creator.join();
    CloseHandle(second);
    CloseHandle(client);
    CloseHandle(server);
}

TEST(named_pipe_instances, connect_reports_pipe_connected_when_the_client_came_first) {
    const std::wstring path = pipe_path(tovi_test::unique_name("tovi_early"));
    HANDLE server = create_instance(path, FILE_FLAG_FIRST_PIPE_INSTANCE);
    ASSERT_NE(INVALID_HANDLE_VALUE, server);
    HANDLE client = open_client(path);
    ASSERT_NE(INVALID_HANDLE_VALUE, client);
    overlapped_op connect;
    EXPECT_FAILS_WITH(ERROR_PIPE_CONNECTED, FALSE, ConnectNamedPipe(server, &connect));
    // The connection works at once.
    EXPECT_TRUE(write_all(client, "ping", 4));
    char buffer[4];
    EXPECT_TRUE(read_all(server, buffer, 4));
    EXPECT_EQ(0, std::memcmp(buffer, "ping", 4));
    CloseHandle(client);
    CloseHandle(server);
}

TEST_F(connected_pipe, a_read_completes_at_once_when_data_is_there_and_pends_otherwise) {
    ASSERT_TRUE(write_all(client_, "abc", 3));
    Sleep(50);
    char buffer[16] = {};
    overlapped_op read;
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(server_, buffer, sizeof(buffer), &n, &read));
    EXPECT_TRUE(read.signalled());
    EXPECT_TRUE(GetOverlappedResult(server_, &read, &n, FALSE));
    EXPECT_EQ(3u, n);  // what is there, not the size asked
    EXPECT_EQ(0, std::memcmp(buffer, "abc", 3));

    overlapped_op pending;
    EXPECT_FAILS_WITH(ERROR_IO_PENDING, FALSE,
                      ReadFile(server_, buffer, sizeof(buffer), &n, &pending));
    EXPECT_FALSE(pending.signalled());
    EXPECT_FAILS_WITH(ERROR_IO_INCOMPLETE, FALSE,
                      GetOverlappedResult(server_, &pending, &n, FALSE));
    ASSERT_TRUE(write_all(client_, "defg", 4));
    EXPECT_TRUE(pending.signalled(30000));
    EXPECT_TRUE(GetOverlappedResult(server_, &pending, &n, FALSE));
    EXPECT_EQ(4u, n);
    EXPECT_EQ(0, std::memcmp(buffer, "defg", 4));
}

// On either end: the read that waits fails with ERROR_BROKEN_PIPE once the peer has gone, and so
// does every read after it, at once. Closing the reader's own end completes the read aborted
// (STATUS_CANCELLED; Wine reports the pipe broken, STATUS_PIPE_BROKEN), its buffer untouched.
TEST_F(connected_pipe, a_close_of_either_end_ends_a_waiting_read_and_every_later_one) {
    for (const int closing : {0, 1, 2}) {  // the client end, the server end, the reader's own
        SCOPED_TRACE(closing);
        TearDown();  // a fresh pair each time
        SetUp();
        HANDLE& reader = closing == 0 ? server_ : closing == 1 ? client_ : server_;
        HANDLE& closed = closing == 0 ? client_ : server_;
        char buffer[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
        overlapped_op read;
        DWORD n = 0;
        EXPECT_FALSE(ReadFile(reader, buffer, sizeof(buffer), &n, &read));
        CloseHandle(closed);
        closed = INVALID_HANDLE_VALUE;
        ASSERT_TRUE(read.signalled(30000));
        EXPECT_EQ(std::string(8, 'x'), std::string(buffer, 8));
        if (closing == 2) {
            EXPECT_TRUE(read.record.Internal == 0xC0000120u || read.record.Internal == 0xC000014Bu)
                << std::hex << read.record.Internal;
            continue;
        }
        EXPECT_FAILS_WITH(ERROR_BROKEN_PIPE, FALSE, GetOverlappedResult(reader, &read, &n, FALSE));
        overlapped_op later;
        EXPECT_FAILS_WITH(ERROR_BROKEN_PIPE, FALSE,
                          ReadFile(reader, buffer, sizeof(buffer), &n, &later));
    }
}

// Writes that wait behind one another finish in order, an empty one too, and leave the pipe
// writable.
TEST_F(connected_pipe, writes_queued_behind_a_waiting_one_finish_in_order_an_empty_one_too) {
    std::vector<char> big(8 * 1024 * 1024, 'b');
    overlapped_op first;
    overlapped_op empty;
    DWORD n = 0;
    EXPECT_FAILS_WITH(ERROR_IO_PENDING, FALSE,
                      WriteFile(client_, big.data(), static_cast<DWORD>(big.size()), &n, &first));
    const BOOL at_once = WriteFile(client_, big.data(), 0, &n, &empty);
    EXPECT_TRUE(at_once || GetLastError() == ERROR_IO_PENDING) << GetLastError();
    std::vector<char> received(big.size());
    ASSERT_TRUE(read_all(server_, received.data(), static_cast<DWORD>(received.size())));
    EXPECT_TRUE(GetOverlappedResult(client_, &first, &n, TRUE));
    EXPECT_EQ(big.size(), n);
    EXPECT_TRUE(GetOverlappedResult(client_, &empty, &n, TRUE)) << GetLastError();
    EXPECT_EQ(0u, n);
    ASSERT_TRUE(write_all(client_, "after", 5));
    char after[5];
    ASSERT_TRUE(read_all(server_, after, 5, 30000));
    EXPECT_EQ(0, std::memcmp(after, "after", 5));
}

TEST_F(connected_pipe, concurrent_writers_on_one_handle_never_interleave_their_frames) {
    constexpr int writers = 4;
    constexpr int frames_each = 1000;
    std::vector<std::thread> threads;
    for (int t = 0; t < writers; ++t) {
        threads.emplace_back([this, t] {
            std::mt19937 random(static_cast<unsigned>(t + 1));
            std::vector<char> frame;
            for (int s = 0; s < frames_each; ++s) {
                const uint32_t size = random() % 3000;
                frame.assign(9 + size, static_cast<char>('a' + t));
                frame[0] = static_cast<char>(t);
                std::memcpy(&frame[1], &s, 4);
                std::memcpy(&frame[5], &size, 4);
                ASSERT_TRUE(write_all(client_, frame.data(), static_cast<DWORD>(frame.size())));
            }
        });
    }
    int next[writers] = {};
    for (int received = 0; received < writers * frames_each; ++received) {
        char header[9];
        ASSERT_TRUE(read_all(server_, header, 9));
        const int t = header[0];
        ASSERT_GE(t, 0);
        ASSERT_LT(t, writers);
        int sequence;
        uint32_t size;
        std::memcpy(&sequence, header + 1, 4);
        std::memcpy(&size, header + 5, 4);
        ASSERT_EQ(next[t], sequence) << "thread " << t;
        ASSERT_LT(size, 3000u);
        std::vector<char> body(size);
        if (size != 0) {
            ASSERT_TRUE(read_all(server_, body.data(), size));
        }
        ASSERT_EQ(std::string(size, static_cast<char>('a' + t)),
                  std::string(body.begin(), body.end()));
        ++next[t];
    }
    for (auto& thread : threads) {
        thread.join();
    }
}
