#include "transport/pipe_connection.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "log/utf8_to_utf16.h"
#include "platform/pipe_test_util.h"
#include "support/log_capture.h"
#include "support/test_support.h"
#include "transport/overlapped_manager.h"
#include "transport/pipe_handler_async.h"

namespace {

using namespace std::chrono_literals;
using tovi_test::wait_until;

class recording_receiver : public win::pipe_recv_handle {
  public:
    bool on_pipe_recv_data(win::pipe_connection*, const char* data, int32_t length) override {
        std::lock_guard<std::mutex> lock(lock_);
        payloads_.emplace_back(data, data + length);
        return accept_;
    }
    void on_pipe_disconnect(win::pipe_connection*) override {
        std::lock_guard<std::mutex> lock(lock_);
        ++disconnects_;
    }
    std::vector<std::string> payloads() {
        std::lock_guard<std::mutex> lock(lock_);
        return payloads_;
    }
    int disconnects() {
        std::lock_guard<std::mutex> lock(lock_);
        return disconnects_;
    }
    void refuse() { accept_ = false; }

  private:
    std::mutex lock_;
    std::vector<std::string> payloads_;
    int disconnects_ = 0;
    std::atomic<bool> accept_{true};
};

std::string frame(const std::string& payload, uint32_t length_field) {
    std::string f = "TQNP";
    for (int i = 0; i < 4; ++i)
        f += static_cast<char>(length_field >> (8 * i));
    return f + payload;
}
std::string frame(const std::string& payload) {
    return frame(payload, static_cast<uint32_t>(payload.size() + 8));
}

// A raw server instance (written to with Win32 calls) and a connection to it.
class pipe_connection_test : public ::testing::Test {
  protected:
    void SetUp() override {
        name_ = tovi_test::unique_name("tovi_conn");
        server_ = conformance::create_instance(conformance::pipe_path(name_),
                                               FILE_FLAG_FIRST_PIPE_INSTANCE);
        ASSERT_NE(INVALID_HANDLE_VALUE, server_);
        ConnectNamedPipe(server_, &connect_);
        connection_ =
            win::pipe_connection::connect_to_server(name_, 3, 1000, &receiver_, &manager_, &loop_);
        ASSERT_NE(nullptr, connection_);
        ASSERT_TRUE(connect_.signalled(5000));
    }
    void TearDown() override {
        win::pipe_connection::release_pipe_connection(connection_);
        if (server_ != INVALID_HANDLE_VALUE)
            CloseHandle(server_);
    }
    void send_raw(const std::string& bytes) {
        ASSERT_TRUE(
            conformance::write_all(server_, bytes.data(), static_cast<DWORD>(bytes.size())));
    }
    std::string address() const {
        char text[9];
        std::snprintf(text, sizeof(text), "%.8X",
                      static_cast<unsigned>(reinterpret_cast<uintptr_t>(connection_)));
        return text;
    }

    std::string name_;
    HANDLE server_ = INVALID_HANDLE_VALUE;
    conformance::overlapped_op connect_;
    recording_receiver receiver_;
    win::overlapped_manager manager_;
    win::pipe_handler_async loop_;
    win::pipe_connection* connection_ = nullptr;
};

}  // namespace

TEST_F(pipe_connection_test, sends_a_one_byte_payload_as_one_nine_byte_frame) {
    ASSERT_TRUE(connection_->send_data("z", 1));
    char bytes[9];
    ASSERT_TRUE(conformance::read_all(server_, bytes, 9));
    EXPECT_EQ(std::string("TQNP\x09\0\0\0z", 9), std::string(bytes, 9));
}

TEST_F(pipe_connection_test, refuses_empty_sends_silently) {
    tovi_test::log_capture log;
    EXPECT_FALSE(connection_->send_data(nullptr, 4));
    EXPECT_FALSE(connection_->send_data("abc", 0));
    win::pipe_connection read_only(1, &manager_, &loop_);
    EXPECT_FALSE(read_only.send_data("abc", 3));
    EXPECT_EQ(std::string::npos, log.finish().find("send_data"));
}

TEST_F(pipe_connection_test, assembles_a_frame_from_pieces_and_delivers_it_once) {
    const std::string bytes = frame("a payload in pieces");
    send_raw(bytes.substr(0, 3));  // part of the header
    Sleep(20);
    send_raw(bytes.substr(3, 5));  // the rest of it
    Sleep(20);
    send_raw(bytes.substr(8, 4));
    Sleep(20);
    send_raw(bytes.substr(12));
    ASSERT_TRUE(wait_until([&] { return receiver_.payloads().size() == 1; }, 5s));
    send_raw(frame("next"));
    ASSERT_TRUE(wait_until([&] { return receiver_.payloads().size() == 2; }, 5s));
    EXPECT_EQ((std::vector<std::string>{"a payload in pieces", "next"}), receiver_.payloads());
}

TEST_F(pipe_connection_test, delivers_an_empty_payload_for_a_length_of_8_and_reads_on) {
    send_raw(frame("", 8) + frame("after"));
    ASSERT_TRUE(wait_until([&] { return receiver_.payloads().size() == 2; }, 5s));
    EXPECT_EQ((std::vector<std::string>{"", "after"}), receiver_.payloads());
    EXPECT_EQ(0, receiver_.disconnects());
}

TEST_F(pipe_connection_test, accepts_a_frame_of_the_largest_length) {
    const std::string payload(52428800 - 8, 'L');
    send_raw(frame(payload));
    ASSERT_TRUE(wait_until([&] { return receiver_.payloads().size() == 1; }, 60s));
    EXPECT_EQ(payload.size(), receiver_.payloads()[0].size());
    EXPECT_EQ(0, receiver_.disconnects());
}

TEST_F(pipe_connection_test, reports_a_length_beyond_the_largest_as_a_broken_frame) {
    tovi_test::log_capture log;
    send_raw(frame("", 52428801));
    ASSERT_TRUE(wait_until([&] { return receiver_.disconnects() == 1; }, 5s));
    EXPECT_TRUE(tovi_test::contains_in_order(
        log.finish(), {":error win::pipe_connection::on_handle_event checkIfError\r\n",
                       ":info win::pipe_connection::pipe_error pipe is broken addr=" + address()}));
}

TEST_F(pipe_connection_test, a_wrong_magic_breaks_the_connection_and_stops_reading) {
    tovi_test::log_capture log;
    send_raw("TQNX" + frame("x").substr(4));
    ASSERT_TRUE(wait_until([&] { return receiver_.disconnects() == 1; }, 5s));
    send_raw(frame("never read"));
    Sleep(50);
    EXPECT_TRUE(receiver_.payloads().empty());
    EXPECT_EQ(1, receiver_.disconnects());
    const std::string text = log.finish();
    EXPECT_TRUE(tovi_test::contains_in_order(
        text,
        {":error win::pipe_connection::on_handle_event checkIfError\r\n",
         ":info win::pipe_connection::pipe_error pipe is broken addr=" + address() + "\r\n"}));
}

TEST_F(pipe_connection_test, a_length_below_8_stops_reading_without_a_report) {
    tovi_test::log_capture log;
    send_raw(frame("", 4));
    Sleep(100);
    EXPECT_EQ(0, receiver_.disconnects());
    EXPECT_TRUE(receiver_.payloads().empty());
    EXPECT_NE(std::string::npos,
              log.finish().find(":error win::pipe_connection::add_recv_request error len -4\r\n"));
}

TEST_F(pipe_connection_test, a_receiver_that_refuses_is_not_called_again) {
    tovi_test::log_capture log;
    receiver_.refuse();
    send_raw(frame("bye") + frame("more"));
    ASSERT_TRUE(wait_until([&] { return receiver_.disconnects() == 1; }, 5s));
    Sleep(50);
    EXPECT_EQ(std::vector<std::string>{"bye"}, receiver_.payloads());
    EXPECT_TRUE(tovi_test::contains_in_order(
        log.finish(), {":info win::pipe_connection::on_handle_event recv exit notice\r\n",
                       ":info win::pipe_connection::pipe_error pipe is broken"}));
}

TEST_F(pipe_connection_test, the_server_closing_is_reported_once_as_a_broken_pipe) {
    tovi_test::log_capture log;
    CloseHandle(server_);
    server_ = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(wait_until([&] { return receiver_.disconnects() == 1; }, 5s));
    EXPECT_TRUE(tovi_test::contains_in_order(
        log.finish(),
        {":warning win::pipe_connection::on_handle_event [recv]GetOverlappedResult error 109\r\n",
         ":info win::pipe_connection::pipe_error pipe is broken"}));
}

TEST_F(pipe_connection_test, releasing_with_a_read_and_writes_pending_leaves_nothing_behind) {
    // Writes that pend (nobody reads the server end) and the outstanding read are cancelled
    // and waited for before the buffers go; the sanitizers would see a late write.
    const std::string big(2 * 1024 * 1024, 'w');
    EXPECT_TRUE(connection_->send_data(big.data(), static_cast<uint32_t>(big.size())));
    EXPECT_TRUE(connection_->send_data(big.data(), static_cast<uint32_t>(big.size())));
    win::pipe_connection::release_pipe_connection(connection_);
    connection_ = nullptr;
    EXPECT_EQ(0u, loop_.registration_count());
    EXPECT_EQ(0, receiver_.disconnects());
}

TEST(pipe_connection, connect_to_server_logs_a_name_nobody_serves_and_returns_null) {
    tovi_test::log_capture log;
    win::overlapped_manager manager;
    win::pipe_handler_async loop;
    recording_receiver receiver;
    const std::string name = tovi_test::unique_name("tovi_nobody");
    EXPECT_EQ(nullptr,
              win::pipe_connection::connect_to_server(name, 3, 300, &receiver, &manager, &loop));
    win::pipe_connection::release_pipe_connection(nullptr);
    const std::string text = log.finish();
    EXPECT_TRUE(tovi_test::contains_in_order(
        text,
        {":info win::pipe_connection::connect_to_server\r\n",
         ":error win::pipe_connection::connect_to_server wait pipe failed: name=" + name + "\r\n",
         ":info win::pipe_connection::release_pipe_connection\r\n"}));
}
