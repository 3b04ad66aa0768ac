#include "endpoints/ipc_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <iterator>
#include <thread>

#include "raw_peer.h"
#include "recording_watch.h"
#include "support/log_capture.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;
using tovi_test::contains_in_order;

// A started server endpoint, with raw clients that send exactly the records a test wants.
class server_with_raw_clients : public ::testing::Test {
  protected:
    void SetUp() override {
        name_ = tovi_test::unique_name("tovi_server");
        server_.set_watch(&watch_);
        ASSERT_TRUE(server_.start(name_.c_str()));
    }
    void TearDown() override { server_.stop(); }

    // A raw client connected and, when id is not empty, announced under id.
    void open_client(raw::pipe_end& client, const std::string& id) {
        raw::connect(client, name_);
        ASSERT_TRUE(client.is_open());
        if (!id.empty()) {
            ASSERT_TRUE(client.send(raw::state_payload(sender_client, id, state_connect)));
        }
    }

    std::string name_;
    recording_server_watch watch_;
    tovi::ipc_server server_;
};

}  // namespace

TEST_F(server_with_raw_clients, binds_an_announced_id_and_reports_the_connect) {
    tovi_test::log_capture log;
    raw::pipe_end client;
    open_client(client, "X");
    ASSERT_TRUE(watch_.wait_for("connect", 1, 30s));
    EXPECT_EQ("X", watch_.all()[0].client_id);
    EXPECT_TRUE(contains_in_order(
        log.finish(),
        {":info win::pipe_server::on_handle_event recv client connect event: con_addr=",
         ":info win::pipe_server::bind_clientid_to_connect client bind success: client_id=X, "
         "con_add="}));
}

// A link speaks for one client id, the first it binds. A link that names an id taken by another
// link, an empty id or one holding a NUL, or a second id, is sent an exit notice and dropped;
// nothing it sent reaches the host, its own id (if any) is reported gone, and every id it named
// is free again afterwards.
TEST_F(server_with_raw_clients, a_link_speaks_only_for_the_one_id_it_bound) {
    tovi_test::log_capture log;
    raw::pipe_end holder;
    open_client(holder, "X");
    ASSERT_TRUE(watch_.wait_for("connect", 1, 30s));
    const auto announce = [](const std::string& id) {
        return raw::state_payload(sender_client, id, state_connect);
    };
    const auto text = [](const std::string& id) {
        return raw::text_payload(sender_client, id, "impostor");
    };
    const std::string nul_id("X\0y", 3);
    struct row {
        const char* what;
        std::vector<std::vector<char>> sends;
        const char* reported;  // the id whose disconnect is reported, or ""
    };
    const row rows[] = {
        {"a newcomer under the taken id", {announce("X"), text("X")}, ""},
        {"an unannounced text under the taken id", {text("X"), text("X")}, ""},
        {"an empty id", {announce(""), text("")}, ""},
        {"an id holding a NUL", {announce(nul_id), text(nul_id)}, ""},
        {"a second id on a bound link", {announce("A"), text("X"), text("B"), text("A")}, "A"},
        {"the link's own id announced twice", {announce("Y"), announce("Y"), text("Y")}, "Y"},
    };
    size_t reported = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        raw::pipe_end link;
        open_client(link, "");
        ASSERT_TRUE(link.send_together(r.sends));  // so the server reads them at once
        raw::message notice;
        ASSERT_TRUE(link.receive(&notice, 30s));
        EXPECT_EQ(sender_server, notice.outer.sender);
        EXPECT_EQ(msg_clientstate, notice.outer.msg_type);
        EXPECT_EQ("", notice.outer.client_id);
        EXPECT_EQ(state_server_exit, notice.state);
        EXPECT_TRUE(link.wait_closed(30s));
        if (*r.reported != '\0') {
            ASSERT_TRUE(watch_.wait_for("disconnect", ++reported, 30s));
            EXPECT_EQ(r.reported, watch_.all().back().client_id);
        }
    }
    // Every drop has been reported, or logged without an id.
    EXPECT_TRUE(log.wait_for("::operator () clientid = ", 30s, std::size(rows)));
    EXPECT_EQ(0u, watch_.count("data"));
    EXPECT_EQ(reported, watch_.count("disconnect"));
    // The holder keeps its id, and the ids the dropped links named are free.
    ASSERT_TRUE(server_.send_string("X", "for the holder", 1));
    raw::message answer;
    ASSERT_TRUE(holder.receive(&answer, 30s));
    EXPECT_EQ("for the holder", answer.text);
    raw::pipe_end a, b, y;
    open_client(a, "A");
    open_client(b, "B");
    open_client(y, "Y");
    EXPECT_TRUE(watch_.wait_for("connect", 5, 30s));
    EXPECT_TRUE(contains_in_order(
        log.finish(),
        {":error win::pipe_server::on_pipe_recv_data clientid X connect faild, the server already "
         "has the same connection.\r\n",
         "::operator () clientid = \r\n"}));
}

TEST_F(server_with_raw_clients, any_first_message_binds_its_id_without_a_connect_report) {
    raw::pipe_end text_first, unknown_kind;
    open_client(text_first, "");
    ASSERT_TRUE(text_first.send(raw::text_payload(sender_client, "T", "hello")));
    ASSERT_TRUE(watch_.wait_for("data", 1, 30s));
    open_client(unknown_kind, "");
    ASSERT_TRUE(unknown_kind.send(raw::payload(sender_client, 9, "U", {})));
    // Both ids are bound: the server can send to them.
    ASSERT_TRUE(tovi_test::wait_until([&] { return server_.send_string("U", "u", 1); }, 30s));
    EXPECT_TRUE(server_.send_string("T", "t", 1));
    EXPECT_EQ(0u, watch_.count("connect"));
    EXPECT_EQ("T", watch_.all()[0].client_id);
    EXPECT_EQ("hello", watch_.all()[0].data);
}

TEST_F(server_with_raw_clients, delivers_texts_and_byte_streams_and_mends_bad_lengths) {
    tovi_test::log_capture log;
    raw::pipe_end client;
    open_client(client, "B");
    ASSERT_TRUE(client.send(raw::bytes_payload(sender_client, "B", 3, "abc")));
    ASSERT_TRUE(client.send(raw::bytes_payload(sender_client, "B", -1, "neg")));
    ASSERT_TRUE(client.send(raw::bytes_payload(sender_client, "B", 99, "cut")));
    ASSERT_TRUE(client.send({}));  // an empty payload is ignored
    ASSERT_TRUE(client.send(raw::text_payload(sender_client, "B", "text")));
    ASSERT_TRUE(watch_.wait_for("data", 3, 30s));
    const auto reports = watch_.all();
    ASSERT_EQ(4u, reports.size());  // the connect, then three messages
    EXPECT_EQ("abc", reports[1].data);
    EXPECT_EQ("cut", reports[2].data);
    EXPECT_EQ("text", reports[3].data);
    EXPECT_EQ(1u, tovi_test::count_of(log.finish(),
                                      ":error win::pipe_server::on_pipe_recv_data decode "
                                      "msg_bytestream failed\r\n"));
}

TEST_F(server_with_raw_clients, sends_a_text_whole_whatever_its_length_above_zero) {
    raw::pipe_end client;
    open_client(client, "S");
    ASSERT_TRUE(watch_.wait_for("connect", 1, 30s));
    EXPECT_FALSE(server_.send_string("S", "hello", 0));
    EXPECT_FALSE(server_.send_string("nobody", "hello", 5));
    EXPECT_FALSE(server_.send_bytestream("S", "bytes", 0));
    EXPECT_TRUE(server_.send_string("S", "hello", 1));
    raw::message text;
    ASSERT_TRUE(client.receive(&text, 30s));
    EXPECT_EQ(sender_server, text.outer.sender);
    EXPECT_EQ("", text.outer.client_id);
    EXPECT_EQ("hello", text.text);
}

TEST_F(server_with_raw_clients, a_client_exit_notice_drops_it_from_the_worker_thread) {
    tovi_test::log_capture log;
    raw::pipe_end client;
    open_client(client, "Q");
    ASSERT_TRUE(watch_.wait_for("connect", 1, 30s));
    ASSERT_TRUE(client.send(raw::state_payload(sender_client, "Q", state_client_exit)));
    ASSERT_TRUE(watch_.wait_for("disconnect", 1, 30s));
    const auto reports = watch_.all();
    EXPECT_EQ("Q", reports.back().client_id);
    EXPECT_NE(reports.front().thread, reports.back().thread);  // loop thread vs worker
    EXPECT_TRUE(client.wait_closed(30s));
    // The task logs its line after the report.
    EXPECT_TRUE(log.wait_for("::operator () clientid = Q\r\n", 30s));
    EXPECT_TRUE(contains_in_order(
        log.finish(), {":info win::pipe_server::on_pipe_recv_data client send exit notice\r\n",
                       ":info win::pipe_connection::on_handle_event recv exit notice\r\n",
                       ":info win::pipe_connection::pipe_error pipe is broken addr=",
                       "::operator () clientid = Q\r\n"}));
}

TEST_F(server_with_raw_clients, disconnect_client_tells_a_bound_client_and_refuses_others) {
    raw::pipe_end client;
    open_client(client, "D");
    ASSERT_TRUE(watch_.wait_for("connect", 1, 30s));
    EXPECT_FALSE(server_.disconnect_client("nobody"));
    EXPECT_FALSE(server_.disconnect_client(nullptr));
    EXPECT_TRUE(server_.disconnect_client("D"));
    raw::message notice;
    ASSERT_TRUE(client.receive(&notice, 30s));
    EXPECT_EQ(state_server_exit, notice.state);
    ASSERT_TRUE(watch_.wait_for("disconnect", 1, 30s));
    EXPECT_EQ("D", watch_.all().back().client_id);
    EXPECT_TRUE(client.wait_closed(30s));
    EXPECT_FALSE(server_.send_string("D", "gone", 4));
}

TEST_F(server_with_raw_clients, stop_tells_every_client_and_reports_nothing) {
    raw::pipe_end a, b;
    open_client(a, "A");
    open_client(b, "B");
    ASSERT_TRUE(watch_.wait_for("connect", 2, 30s));
    server_.stop();
    for (raw::pipe_end* client : {&a, &b}) {
        raw::message notice;
        ASSERT_TRUE(client->receive(&notice, 30s));
        EXPECT_EQ(state_server_exit, notice.state);
        EXPECT_TRUE(client->wait_closed(30s));
    }
    EXPECT_EQ(0u, watch_.count("disconnect"));
    server_.stop();  // stopping again does nothing
    EXPECT_FALSE(server_.send_string("A", "x", 1));
    // The name can be served again.
    ASSERT_TRUE(server_.start(name_.c_str()));
    raw::pipe_end again;
    open_client(again, "A");
    ASSERT_TRUE(watch_.wait_for("connect", 3, 30s));
}

TEST_F(server_with_raw_clients, drops_a_silent_client_after_12_to_15_seconds_but_not_a_talker) {
    raw::pipe_end silent, talker;
    open_client(silent, "Z");
    open_client(talker, "T");  // sends texts, never a heart beat
    ASSERT_TRUE(watch_.wait_for("connect", 2, 30s));
    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> talking{true};
    std::thread talk([&] {
        while (talking) {
            talker.send(raw::text_payload(sender_client, "T", "busy"));
            Sleep(500);
        }
    });
    const bool dropped = watch_.wait_for("disconnect", 1, 60s);
    const auto waited = std::chrono::steady_clock::now() - start;
    Sleep(2000);  // past the point where a silent talker would have gone too
    talking = false;
    talk.join();
    ASSERT_TRUE(dropped);
    EXPECT_GE(waited, 11s);
    EXPECT_LE(waited, 30s);  // 15 s, and what a loaded machine may add to the beats
    EXPECT_EQ(1u, watch_.count("disconnect"));
    for (const auto& r : watch_.all()) {
        if (r.kind == "disconnect") {
            EXPECT_EQ("Z", r.client_id);
        }
    }
    // No exit notice: the pipe just closes.
    std::vector<char> payload;
    EXPECT_FALSE(silent.receive(&payload, 30s));
    EXPECT_TRUE(silent.closed());
}

TEST_F(server_with_raw_clients, stop_from_its_own_callback_is_refused_without_a_hang) {
    tovi_test::log_capture log;
    struct stopping_watch : recording_server_watch {
        tovi::ipc_server* server = nullptr;
        void on_client_connect(const char* id) override {
            server->stop();
            recording_server_watch::on_client_connect(id);
        }
    } watch;
    watch.server = &server_;
    server_.set_watch(&watch);
    raw::pipe_end client;
    open_client(client, "C");
    ASSERT_TRUE(watch.wait_for("connect", 1, 30s));
    EXPECT_TRUE(server_.send_string("C", "still serving", 1));
    EXPECT_NE(std::string::npos,
              log.finish().find(":error tovi::ipc_server::stop refused: called from a callback "
                                "of this server\r\n"));
    server_.set_watch(&watch_);
    // Once a later client has reached the fixture's watch, the callback above has returned.
    raw::pipe_end later;
    open_client(later, "later");
    ASSERT_TRUE(watch_.wait_for("connect", 1, 30s));
}

TEST(ipc_server, start_twice_keeps_the_first_and_a_served_name_cannot_be_taken) {
    tovi_test::log_capture log;
    const std::string name = tovi_test::unique_name("tovi_server");
    tovi::ipc_server first, second;
    recording_server_watch watch;
    EXPECT_FALSE(first.set_watch(nullptr));
    EXPECT_FALSE(first.start(nullptr));
    ASSERT_TRUE(first.start(name.c_str()));
    EXPECT_TRUE(first.start(name.c_str()));     // listening on it already
    EXPECT_FALSE(first.start("another name"));  // true would claim a name nobody serves
    if (tovi_test::running_under_wine()) {
        GTEST_SKIP() << "Wine lets a second server claim a served name";
    }
    EXPECT_FALSE(second.start(name.c_str()));
    const std::string text = log.finish();
    EXPECT_NE(std::string::npos,
              text.find(":error tovi::ipc_server::start refused: the server listens on "));
    EXPECT_NE(std::string::npos,
              text.find(":error win::pipe_server::add_listen_pipe CreateNamedPipe failed. 5\r\n"));
    second.stop();
    first.stop();
}
