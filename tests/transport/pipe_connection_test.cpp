#include "transport/pipe_connection.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "codec/message_codec.h"
#include "codec/records.h"
#include "platform/pipe_test_util.h"
#include "support/log_capture.h"
#include "support/test_support.h"
#include "transport/pipe_handler_async.h"

namespace {

using namespace std::chrono_literals;
using tovi_test::wait_until;

class recording_receiver : public tovi::pipe_receiver {
  public:
    bool on_pipe_recv_data(tovi::pipe_connection* link, const char* data, int32_t length) override {
        std::lock_guard<std::mutex> lock(lock_);
        payloads_.emplace_back(data, data + length);
        if (pause_) {
            link->pause_reading();  // as a client whose callbacks fall behind
        }
        return accept_;
    }
    void on_pipe_disconnect(tovi::pipe_connection*) override {
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
    void pause() { pause_ = true; }

  private:
    std::mutex lock_;
    std::vector<std::string> payloads_;
    int disconnects_ = 0;
    std::atomic<bool> accept_{true};
    std::atomic<bool> pause_{false};
};

// Queues the payload as one frame of its own, as a large message is sent.
bool send_payload(tovi::pipe_connection& link, const std::string& payload) {
    byte_buffer frame = link.new_frame();
    frame.append(payload.data(), payload.size());
    return link.send_frame(std::move(frame));
}

// The waits of these links, shortened: a drain that stalls ends after 300 ms, one that goes on
// after 1 s, a full queue refuses after 100 ms, failed writes end the link after 100 ms.
tovi::timing short_waits() {
    tovi::timing limits;
    limits.send_wait_ms = 100;
    limits.drain_stall_ms = 300;
    limits.drain_limit_ms = 1000;
    limits.write_failure_grace_ms = 100;
    return limits;
}

using tovi_test::frame;

// A raw server instance (written to with Win32 calls) and a connection to it.
class pipe_connection_test : public ::testing::Test {
  protected:
    void SetUp() override { open(); }
    void TearDown() override { close(); }
    void open() {
        receiver_ = std::make_unique<recording_receiver>();
        name_ = tovi_test::unique_name("tovi_conn");
        server_ = conformance::create_instance(conformance::pipe_path(name_),
                                               FILE_FLAG_FIRST_PIPE_INSTANCE);
        ASSERT_NE(INVALID_HANDLE_VALUE, server_);
        conformance::overlapped_op connect;
        ConnectNamedPipe(server_, &connect);
        connection_ =
            tovi::pipe_connection::connect_to_server(name_, 3, limits_, receiver_.get(), &loop_);
        ASSERT_NE(nullptr, connection_);
        ASSERT_TRUE(connect.signalled(30000));
    }
    void close() {
        tovi::pipe_connection::release_pipe_connection(connection_);
        if (server_ != INVALID_HANDLE_VALUE)
            CloseHandle(server_);
        server_ = INVALID_HANDLE_VALUE;
        loop_.stop_thread();  // every connection finished before the receiver goes
    }
    void send_raw(const std::string& bytes) {
        ASSERT_TRUE(
            conformance::write_all(server_, bytes.data(), static_cast<DWORD>(bytes.size())));
    }
    // Reads from the server end, chunk bytes every pause_ms, until the connection's end closes;
    // the bytes that came.
    size_t read_until_closed(DWORD chunk, DWORD pause_ms) {
        size_t total = 0;
        std::vector<char> buffer(chunk);
        for (;;) {
            conformance::overlapped_op read;
            DWORD n = 0;
            if (!ReadFile(server_, buffer.data(), chunk, &n, &read) &&
                (GetLastError() != ERROR_IO_PENDING ||
                 !GetOverlappedResult(server_, &read, &n, TRUE))) {
                return total;
            }
            total += n;
            Sleep(pause_ms);
        }
    }

    tovi::timing limits_ = short_waits();
    std::string name_;
    HANDLE server_ = INVALID_HANDLE_VALUE;
    std::unique_ptr<recording_receiver> receiver_;
    tovi::pipe_handler_async loop_;
    std::shared_ptr<tovi::pipe_connection> connection_;
};

}  // namespace

// A small message is encoded straight into the send queue; a large one is written from where
// its data lies as far as the peer takes it, and only the rest is copied and queued. Whichever
// way, every message arrives whole and in order, as the codec writes it. Empty, oversized and
// read-only sends are refused and the link stays.
TEST_F(pipe_connection_test, sends_messages_in_order_whichever_way_and_refuses_bad_ones) {
    tovi_test::log_capture log;
    EXPECT_FALSE(send_payload(*connection_, ""));
    auto read_only = std::make_shared<tovi::pipe_connection>(1, &loop_);
    EXPECT_FALSE(send_payload(*read_only, "abc"));
    byte_buffer too_big(tovi::max_frame_size + 1);
    EXPECT_FALSE(connection_->send_frame(std::move(too_big)));

    std::vector<std::string> messages;
    for (size_t size : {2, 20000, 3, 3 * 1024 * 1024, 4, 9000, 5}) {
        messages.push_back(tovi_test::pattern(size, static_cast<uint32_t>(size)));
    }
    // The peer reads only once all are sent: the largest is written in part and the rest
    // queued, and those behind it are queued too.
    for (const std::string& data : messages) {
        const size_t size = data.size();
        EXPECT_TRUE(connection_->send_message(
            size,
            [&](byte_buffer& out, message_codec::message_writer& writer) {
                return writer.write_bytes(out, sender_client, "A1", 7, data.data(), size);
            },
            data.data(),
            [&](byte_buffer& out, size_t* data_at) {
                return message_codec::write_bytes_around(out, sender_client, "A1", 7, size,
                                                         data_at);
            }));
    }
    for (const std::string& data : messages) {
        byte_buffer expected;
        ASSERT_TRUE(
            message_codec::write_bytes(expected, sender_client, "A1", 7, data.data(), data.size()));
        const std::string framed = frame(std::string(expected.data(), expected.size()));
        std::string got(framed.size(), '\0');
        ASSERT_TRUE(conformance::read_all(server_, &got[0], static_cast<DWORD>(got.size())));
        EXPECT_TRUE(framed == got) << data.size();
    }
    const std::string text = log.finish();
    EXPECT_EQ(1u, tovi_test::count_of(text, "win::pipe_connection::send_data"));
    EXPECT_NE(std::string::npos,
              text.find(":error win::pipe_connection::send_data a frame of 52428801 bytes is "
                        "above the limit of 52428800\r\n"));
}

// Empty frames and one of the largest length included.
TEST_F(pipe_connection_test, assembles_frames_from_pieces_and_delivers_each_once_and_in_order) {
    connection_->add_heart_beat_count();
    connection_->add_heart_beat_count();
    const std::string bytes = frame("a payload in pieces");
    send_raw(bytes.substr(0, 3));  // part of the header
    Sleep(20);
    send_raw(bytes.substr(3, 5));  // the rest of it
    Sleep(20);
    send_raw(bytes.substr(8, 4));
    Sleep(20);
    const std::string largest(52428800 - 8, 'L');
    send_raw(bytes.substr(12) + frame("", 8) + frame("after") + frame(largest));
    ASSERT_TRUE(wait_until([&] { return receiver_->payloads().size() == 4; }, 60s));
    auto payloads = receiver_->payloads();
    EXPECT_TRUE(payloads[3] == largest);  // not printed when it differs: 50 MiB
    payloads.pop_back();
    EXPECT_EQ((std::vector<std::string>{"a payload in pieces", "", "after"}), payloads);
    EXPECT_EQ(0, receiver_->disconnects());
    // Every frame received counts as a sign of life.
    connection_->add_heart_beat_count();
    connection_->add_heart_beat_count();
    connection_->add_heart_beat_count();
    EXPECT_FALSE(connection_->is_heart_beat_timeout());
}

// A malformed header, a receiver's refusal and the peer's close each end the link like a broken
// pipe: one report, and nothing is read after. Both ends of a link are pipe_connections.
TEST_F(pipe_connection_test, a_malformed_header_a_refusal_or_the_peer_leaving_ends_the_link_once) {
    const struct {
        const char* what;
        std::string bytes;  // sent by the peer; none: the peer closes its end
        bool refuse;
        std::vector<std::string> delivered;
    } rows[] = {
        {"a wrong magic", "TQNX" + frame("x").substr(4), false, {}},
        {"a length above the limit", frame("", 52428801), false, {}},
        {"a length shorter than the header", frame("", 4), false, {}},
        {"a receiver that refuses", frame("bye") + frame("more"), true, {"bye"}},
        {"the peer closing", "", false, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        close();
        open();
        if (row.refuse) {
            receiver_->refuse();
        }
        if (row.bytes.empty()) {
            CloseHandle(server_);
            server_ = INVALID_HANDLE_VALUE;
        } else {
            send_raw(row.bytes);
        }
        ASSERT_TRUE(wait_until([&] { return receiver_->disconnects() == 1; }, 30s));
        if (server_ != INVALID_HANDLE_VALUE) {
            send_raw(frame("never read"));
        }
        Sleep(50);
        EXPECT_EQ(row.delivered, receiver_->payloads());
        EXPECT_EQ(1, receiver_->disconnects());
    }
}

// Nobody reads: the queue fills to its mark, a host thread's send waits for room and is then
// refused whole, and no thread is spent on it. A close then gives up once nothing is taken and
// says what it dropped; a peer that leaves instead ends the link at once, with one report.
TEST_F(pipe_connection_test, a_full_queue_refuses_after_a_wait_and_ends_by_a_close_or_the_peer) {
    const std::string big(40 * 1024 * 1024, 'q');
    for (const bool peer_leaves : {false, true}) {
        SCOPED_TRACE(peer_leaves ? "the peer leaves" : "a close");
        close();
        open();
        tovi_test::log_capture log;
        const size_t threads = tovi_test::thread_count();
        ASSERT_TRUE(send_payload(*connection_, big));
        ASSERT_TRUE(send_payload(*connection_, "x"));
        EXPECT_FALSE(send_payload(*connection_, big));
        EXPECT_FALSE(connection_->is_closing());
        EXPECT_LE(tovi_test::thread_count(), threads);
        if (peer_leaves) {
            CloseHandle(server_);
            server_ = INVALID_HANDLE_VALUE;
            EXPECT_TRUE(wait_until([&] { return receiver_->disconnects() == 1; }, 30s));
            continue;
        }
        tovi::pipe_connection::release_pipe_connection(connection_);
        loop_.stop_thread();  // bounded by the stall although nobody reads
        const std::string text = log.finish();
        EXPECT_NE(std::string::npos,
                  text.find(":warning win::pipe_connection::close 2 messages (41943057 "
                            "bytes) were not written and are dropped\r\n"));
        EXPECT_NE(std::string::npos,
                  text.find(":error win::pipe_connection::send_data send queue full: "));
        EXPECT_EQ(0, receiver_->disconnects());
    }
}

// A close drains while the peer keeps taking, however slowly, also longer than a peer that
// takes nothing is given (the stall); but not past the drain's limit, after which the rest is
// dropped, with a count.
TEST_F(pipe_connection_test, a_drain_goes_on_while_the_peer_takes_until_its_limit) {
    const struct {
        const char* what;
        uint32_t stall_ms, limit_ms;
        bool all_arrives;
    } rows[] = {{"past the stall", 100, 60000, true}, {"up to the limit", 60000, 300, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        limits_.drain_stall_ms = row.stall_ms;
        limits_.drain_limit_ms = row.limit_ms;
        close();
        open();
        tovi_test::log_capture log;
        const std::string block(256 * 1024, 'd');
        for (int i = 0; i < 12; ++i) {
            ASSERT_TRUE(send_payload(*connection_, block));
        }
        tovi::pipe_connection::release_pipe_connection(connection_);
        const size_t taken = read_until_closed(64 * 1024, 20);  // 3 MiB take 1 s
        const size_t sent = 12 * (block.size() + 8);
        const bool dropped =
            log.finish().find("were not written and are dropped") != std::string::npos;
        EXPECT_EQ(row.all_arrives, taken == sent) << taken << " of " << sent;
        EXPECT_EQ(!row.all_arrives, dropped);
        EXPECT_GT(taken, 0u);
    }
}

// A link whose peer went while it had stopped reading (its receiver was full) learns of it only
// from the write that fails: after the grace period the link ends, with one report.
TEST_F(pipe_connection_test, a_failed_write_ends_a_link_that_does_not_read_after_a_grace) {
    receiver_->pause();
    send_raw(frame("one"));
    ASSERT_TRUE(wait_until([&] { return receiver_->payloads().size() == 1; }, 30s));
    CloseHandle(server_);
    server_ = INVALID_HANDLE_VALUE;
    Sleep(50);  // the peer's end is gone before the write
    send_payload(*connection_, "into the void");
    EXPECT_TRUE(wait_until([&] { return receiver_->disconnects() == 1; }, 30s));
    Sleep(50);
    EXPECT_EQ(1, receiver_->disconnects());
}
