#include "endpoints/ipc_client.h"

#include "log/log.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/pipe_test_util.h"
#include "raw_peer.h"
#include "recording_watch.h"
#include "support/log_capture.h"
#include "support/test_support.h"
#include "transport/pipe_connection.h"

namespace {

using namespace std::chrono_literals;

// A client endpoint connected to a raw server that sees every record it sends.
class client_with_raw_server : public short_waits, public ::testing::Test {
  protected:
    void SetUp() override {
        client_.set_watch(&watch_);
        connect();
    }
    // Serves the name with one raw instance, connects the client to it under A1 and takes the
    // server's end.
    void connect() {
        HANDLE pipe = conformance::create_instance(conformance::pipe_path(name_),
                                                   FILE_FLAG_FIRST_PIPE_INSTANCE);
        ASSERT_NE(INVALID_HANDLE_VALUE, pipe);
        server_.adopt(pipe);
        conformance::overlapped_op accepted;
        ConnectNamedPipe(pipe, &accepted);
        ASSERT_TRUE(client_.connect(name_.c_str(), "A1"));
        ASSERT_TRUE(accepted.signalled(30000));
    }
    raw::message next() {
        raw::message m;
        EXPECT_TRUE(server_.receive(&m, 30s));
        return m;
    }
    // The next message that is not a heart beat.
    raw::message next_but_heart_beats() {
        raw::message m = next();
        while (m.outer.msg_type == msg_heartbeat)
            m = next();
        return m;
    }

    const std::string name_ = tovi_test::unique_name("tovi_client");
    raw::pipe_end server_;
    recording_client_watch watch_;
    tovi::ipc_client client_;
};

}  // namespace

// A text is sent up to its NUL (its length only has to be at least 1), bytes as given. A second
// connect is refused and keeps the link; so does a report about a link that is no longer the
// current one, as when the host reconnected before the old link's report was handled.
TEST_F(client_with_raw_server, announces_itself_sends_what_it_is_given_and_beats_at_its_interval) {
    tovi_test::log_capture log;
    const raw::message first = next();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sender_client, first.outer.sender);
    EXPECT_EQ(msg_clientstate, first.outer.msg_type);
    EXPECT_EQ(state_connect, first.state);
    EXPECT_EQ("A1", first.outer.client_id);
    // The server may learn who the client is, never act as it (where the level can be learnt).
    const int level = tovi_test::client_impersonation_level(server_.handle());
    EXPECT_TRUE(level == -1 || level == 1) << level;
    EXPECT_FALSE(client_.connect(name_.c_str(), "B2"));
    tovi::pipe_handler_async loop;
    const auto stale = std::make_shared<tovi::pipe_connection>(3, &loop);
    client_.on_pipe_disconnect(stale.get());
    EXPECT_TRUE(client_.send_string("abc", 1));
    EXPECT_FALSE(client_.send_string("abc", 0));
    EXPECT_FALSE(client_.send_string(nullptr, 3));
    EXPECT_TRUE(client_.send_bytestream("x\0y", 3));
    EXPECT_FALSE(client_.send_bytestream("x", 0));
    EXPECT_FALSE(client_.send_bytestream("x", -1));
    const raw::message text = next_but_heart_beats();
    EXPECT_EQ(msg_string, text.outer.msg_type);
    EXPECT_EQ("abc", text.text);
    EXPECT_EQ("A1", text.outer.client_id);
    const raw::message bytes = next_but_heart_beats();
    EXPECT_EQ(msg_bytestream, bytes.outer.msg_type);
    EXPECT_EQ(3, bytes.bytes.length);
    EXPECT_EQ(std::vector<char>({'x', '\0', 'y'}), bytes.bytes.data);
    const raw::message beat = next();
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(beat_ms * 2 / 3));  // an interval after the connect
    EXPECT_EQ(msg_heartbeat, beat.outer.msg_type);
    EXPECT_EQ("A1", beat.outer.client_id);
    EXPECT_TRUE(beat.outer.body.empty());
    EXPECT_EQ(msg_heartbeat, next().outer.msg_type);
    EXPECT_EQ(0u, watch_.count("disconnect"));
    EXPECT_NE(std::string::npos,
              log.finish().find(":error tovi::ipc_client::connect already connected\r\n"));
}

// Byte streams are mended as the server endpoint mends them: a negative length is dropped, one
// beyond the data cut to it; a payload that is no record is logged and skipped. The server's
// exit notice is not reported; the link's loss is, once.
TEST_F(client_with_raw_server, reports_server_messages_in_order_on_its_task_thread_then_the_loss) {
    tovi_test::log_capture log;
    ASSERT_TRUE(server_.send_together({raw::text_payload(sender_server, "", "first"), "no record",
                                       raw::bytes_payload(sender_server, "", 3, "2nd"),
                                       raw::bytes_payload(sender_server, "", -5, "neg"),
                                       raw::bytes_payload(sender_server, "", 1000, "short"),
                                       raw::bytes_payload(sender_server, "", 2, "long"),
                                       raw::text_payload(sender_server, "", "last"),
                                       raw::state_payload(sender_server, "", state_server_exit)}));
    ASSERT_TRUE(watch_.wait_for("data", 5, 30s));
    Sleep(100);  // room for a report of the exit notice, which must not come
    const auto reports = watch_.all();
    std::vector<std::string> data;
    for (const auto& r : reports) {
        data.push_back(r.data);
        EXPECT_NE(std::this_thread::get_id(), r.thread);
        EXPECT_EQ(reports[0].thread, r.thread);
    }
    EXPECT_EQ((std::vector<std::string>{"first", "2nd", "short", "lo", "last"}), data);
    server_.close();
    ASSERT_TRUE(watch_.wait_for("disconnect", 1, 30s));
    Sleep(100);  // room for a second report, which must not come
    EXPECT_EQ(6u, watch_.all().size());
    EXPECT_FALSE(client_.send_string("after", 5));
    // A link this client did not end is logged as broken.
    const std::string text = log.finish();
    EXPECT_EQ(1u, tovi_test::count_of(text, "::operator () decode msg_bytestream failed"));
    EXPECT_EQ(1u, tovi_test::count_of(text, "::operator () decode pipe protocol failed"));
    EXPECT_EQ(1u,
              tovi_test::count_of(text, ":info win::pipe_connection::pipe_error pipe is broken"));
    EXPECT_EQ(1u, tovi_test::count_of(text, ":error tovi::ipc_client::on_pipe_disconnect::"));
    EXPECT_EQ(0u, tovi_test::count_of(text, "after the goodbye"));
}

// disconnect says goodbye and waits for the server to close its end; a server that never does
// is let go after the answer's wait. Only a server that had sent the client away before it read
// the goodbye (a refused id) is reported as the link's loss, before disconnect returns.
TEST_F(client_with_raw_server, disconnect_reports_only_a_server_that_sent_the_client_away_first) {
    const char block[] = "shared";
    EXPECT_TRUE(client_.write_shared_memory(block, sizeof(block), 1, 2, 3, 4, 5));
    next();
    enum server { answers, sent_away_first, never_answers };
    for (const server row : {answers, sent_away_first, never_answers}) {
        SCOPED_TRACE(row == answers           ? "a plain goodbye"
                     : row == sent_away_first ? "sent away first"
                                              : "no answer");
        if (row != answers) {
            connect();
            next();
        }
        if (row == sent_away_first) {
            ASSERT_TRUE(server_.send(raw::state_payload(sender_server, "", state_server_exit)));
        }
        std::thread leaving([&] { client_.disconnect(); });
        EXPECT_EQ(state_client_exit, next_but_heart_beats().state);
        if (row != never_answers) {
            server_.close();  // the server's answer to the goodbye
        }
        leaving.join();
        EXPECT_EQ(row == answers ? 0u : 1u, watch_.count("disconnect"));  // sent away: once
        EXPECT_FALSE(client_.write_shared_memory(block, sizeof(block), 1, 2, 3, 4, 5));
        EXPECT_FALSE(client_.send_string("after", 5));
        if (row == never_answers) {
            EXPECT_TRUE(server_.wait_closed(30s));  // the client let its end go
        }
    }
}

TEST_F(client_with_raw_server, disconnect_from_its_own_callback_is_refused_without_a_hang) {
    tovi_test::log_capture log;
    struct disconnecting_watch : recording_client_watch {
        tovi::ipc_client* client = nullptr;
        void on_recv_data(const char* data, int32_t length, bool is_text) override {
            client->disconnect();
            recording_client_watch::on_recv_data(data, length, is_text);
        }
    } watch;
    watch.client = &client_;
    client_.set_watch(&watch);
    ASSERT_TRUE(server_.send(raw::text_payload(sender_server, "", "please leave")));
    ASSERT_TRUE(watch.wait_for("data", 1, 30s));
    EXPECT_TRUE(client_.send_string("still connected", 15));
    EXPECT_NE(std::string::npos,
              log.finish().find(":error tovi::ipc_client::disconnect refused: called from a "
                                "callback of this client\r\n"));
    client_.set_watch(&watch_);
    // Once a later message has reached the fixture's watch, the callback above has returned.
    ASSERT_TRUE(server_.send(raw::text_payload(sender_server, "", "sync")));
    ASSERT_TRUE(watch_.wait_for("data", 1, 30s));
}

// init_log creates missing directories and starts with a separator line.
TEST(ipc_client, a_client_nobody_serves_stays_idle_and_init_log_starts_its_file_with_a_separator) {
    const tovi_test::temp_dir root;
    tovi::ipc_client client;
    {
        tovi_test::log_capture log;
        const char block[] = "x";
        EXPECT_FALSE(client.write_shared_memory(block, 1, 0, 0, 0, 0, 0));
        EXPECT_FALSE(client.connect(nullptr, "id"));
        EXPECT_FALSE(client.connect("any", ""));  // the server could not report an empty id
        EXPECT_FALSE(client.send_string("before", 6));
        EXPECT_FALSE(client.connect(tovi_test::unique_name("tovi_nobody").c_str(), "id"));
        EXPECT_FALSE(client.send_string("after", 5));
        EXPECT_FALSE(client.write_shared_memory(block, 1, 0, 0, 0, 0, 0));
        // Once: the wait is not logged for each attempt.
        EXPECT_EQ(1u, tovi_test::count_of(log.finish(), "connect_to_server wait pipe failed"));
    }
    EXPECT_FALSE(client.init_log(nullptr, "x.log"));
    // A backslash separates on both builds.
    ASSERT_TRUE(client.init_log((root.path() + "\\a\\b").c_str(), "client.log"));
    log_close();
    const std::string separator = "\r\n" + std::string(89, '-') + "\r\n";
    EXPECT_NE(std::string::npos,
              tovi_test::read_file(root / "a/b/client.log").find(":info " + separator));
}
