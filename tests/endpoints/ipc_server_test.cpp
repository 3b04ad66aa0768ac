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

// A started server endpoint, with raw clients that send exactly the records a test wants.
class server_with_raw_clients : public short_waits, public ::testing::Test {
  protected:
    void SetUp() override {
        name_ = tovi_test::unique_name("tovi_server");
        server_.set_watch(&watch_);
        ASSERT_TRUE(server_.start(name_.c_str()));
    }
    void TearDown() override { server_.stop(); }

    // A raw client connected and, when id is not empty, announced under id.
    void open_client(raw::pipe_end& client, const std::string& id) {
        ASSERT_TRUE(raw::connect(client, name_, id));
    }
    // The server's next message to the client is the exit notice; then the link closes.
    static void expect_sent_away(raw::pipe_end& client) {
        raw::message notice;
        ASSERT_TRUE(client.receive(&notice, 30s));
        EXPECT_EQ(sender_server, notice.outer.sender);
        EXPECT_EQ(msg_clientstate, notice.outer.msg_type);
        EXPECT_EQ("", notice.outer.client_id);
        EXPECT_EQ(state_server_exit, notice.state);
        EXPECT_TRUE(client.wait_closed(30s));
    }
    // A text the server sends to id reaches this client whole, although its length says 1.
    void expect_reaches(raw::pipe_end& client, const std::string& id) {
        ASSERT_TRUE(
            tovi_test::wait_until([&] { return server_.send_string(id.c_str(), "ping", 1); }, 30s));
        raw::message text;
        ASSERT_TRUE(client.receive(&text, 30s));
        EXPECT_EQ(sender_server, text.outer.sender);
        EXPECT_EQ("", text.outer.client_id);
        EXPECT_EQ("ping", text.text);
    }

    std::string name_;
    recording_server_watch watch_;
    tovi::ipc_server server_;
};

// "kind id data" of each report from the first'th on, joined by ", ".
std::string reports_from(tovi_test::event_log& log, size_t first) {
    std::string out;
    const auto all = log.all();
    for (size_t i = first; i < all.size(); ++i) {
        out += (i == first ? "" : ", ") + all[i].kind + " " + all[i].client_id +
               (all[i].data.empty() ? "" : " " + all[i].data);
    }
    return out;
}

}  // namespace

// What a link sends, what the host is told of it, and how the link goes on. A link speaks for
// one client id, the first it binds; a byte stream's negative length is dropped and one beyond
// the data cut to it, an empty payload ignored. A link that names an id taken by another link,
// an empty id or one holding a NUL, or a second id, is sent away: nothing it sent reaches the
// host, its own id (if any) is reported gone, and every id it named is free again afterwards.
// A payload that is no record is logged and skipped; the link goes on.
TEST_F(server_with_raw_clients, reports_what_a_link_sends_and_holds_it_to_the_first_id_it_binds) {
    tovi_test::log_capture log;
    const auto a = [](const std::string& id) {
        return raw::state_payload(sender_client, id, state_connect);
    };
    const auto t = [](const std::string& id, const char* text = "impostor") {
        return raw::text_payload(sender_client, id, text);
    };
    const auto b = [](int32_t length, const char* data) {
        return raw::bytes_payload(sender_client, "M", length, data);
    };
    std::vector<char> unknown;  // a message of a kind the server does not know
    encode_record(unknown, PipeProtocol{sender_client, 9, "U", {}});
    const std::string nul_id("X\0y", 3);
    enum ending { stays, leaves, sent_away };
    const struct {
        const char* what;
        std::vector<std::string> sends;
        const char* reports;  // "kind id data" each, joined by ", "
        ending end;
        const char* id;  // the id that stays bound to the link
    } rows[] = {
        {"an announcement", {a("X")}, "connect X", stays, "X"},
        {"a text first", {t("T", "hello")}, "data T hello", stays, "T"},
        {"an unknown kind first", {std::string(unknown.begin(), unknown.end())}, "", stays, "U"},
        {"a malformed record", {"no record", t("G", "after")}, "data G after", stays, "G"},
        {"byte streams",
         {a("M"), b(3, "abc"), b(-1, "neg"), b(99, "cut"), "", t("M", "text")},
         "connect M, data M abc, data M cut, data M text",
         stays,
         "M"},
        {"an exit notice",
         {a("Q"), raw::state_payload(sender_client, "Q", state_client_exit)},
         "connect Q, disconnect Q",
         leaves,
         ""},
        {"a newcomer under a taken id", {a("X"), t("X")}, "", sent_away, ""},
        {"an unannounced text under a taken id", {t("X"), t("X")}, "", sent_away, ""},
        {"an empty id", {a(""), t("")}, "", sent_away, ""},
        {"an id holding a NUL", {a(nul_id), t(nul_id)}, "", sent_away, ""},
        {"a second id", {a("A"), t("X"), t("B"), t("A")}, "connect A, disconnect A", sent_away, ""},
        {"its own id twice", {a("Y"), a("Y"), t("Y")}, "connect Y, disconnect Y", sent_away, ""},
    };
    raw::pipe_end links[std::size(rows)];
    size_t reported = 0, ended = 0;
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].what);
        open_client(links[i], "");
        ASSERT_TRUE(links[i].send_together(rows[i].sends));  // so the server reads them at once
        const size_t count = *rows[i].reports ? tovi_test::count_of(rows[i].reports, ",") + 1 : 0;
        ASSERT_TRUE(watch_.wait_for("", reported + count, 30s));
        EXPECT_EQ(rows[i].reports, reports_from(watch_, reported));
        if (rows[i].end == sent_away) {
            expect_sent_away(links[i]);
        } else if (rows[i].end == leaves) {
            EXPECT_TRUE(links[i].wait_closed(30s));
            // The drop is reported from the worker thread, not the loop's.
            EXPECT_NE(watch_.all()[reported].thread, watch_.all().back().thread);
        } else {
            expect_reaches(links[i], rows[i].id);
        }
        reported += count;
        ended += rows[i].end == stays ? 0 : 1;
    }
    // Every link that ended has been reported, or logged without an id: nothing came after.
    EXPECT_TRUE(log.wait_for("::operator () clientid = ", 30s, ended));
    EXPECT_EQ(reported, watch_.all().size());
    expect_reaches(links[0], "X");  // the holder keeps its id
    raw::pipe_end again[3];
    for (int i = 0; i < 3; ++i) {
        open_client(again[i], std::string(1, "ABY"[i]));
    }
    EXPECT_TRUE(watch_.wait_for("", reported + 3, 30s));
    const std::string text = log.finish();
    EXPECT_EQ(1u, tovi_test::count_of(text,
                                      ":error win::pipe_server::on_pipe_recv_data decode "
                                      "msg_bytestream failed\r\n"));
    EXPECT_EQ(1u, tovi_test::count_of(text,
                                      ":error win::pipe_server::on_pipe_recv_data decode "
                                      "pipe protocol failed\r\n"));
}

// Only a client dropped by name is reported gone; a stopped server serves its name again.
TEST_F(server_with_raw_clients, disconnect_client_and_stop_send_their_clients_away) {
    raw::pipe_end d, a, b;
    open_client(d, "D");
    open_client(a, "A");
    open_client(b, "B");
    ASSERT_TRUE(watch_.wait_for("connect", 3, 30s));
    EXPECT_FALSE(server_.send_string("D", "hello", 0));
    EXPECT_FALSE(server_.send_string("nobody", "hello", 5));
    EXPECT_FALSE(server_.send_bytestream("D", "bytes", 0));
    EXPECT_FALSE(server_.disconnect_client("nobody"));
    EXPECT_FALSE(server_.disconnect_client(nullptr));
    EXPECT_TRUE(server_.disconnect_client("D"));
    expect_sent_away(d);
    ASSERT_TRUE(watch_.wait_for("disconnect", 1, 30s));
    EXPECT_EQ("D", watch_.all().back().client_id);
    EXPECT_FALSE(server_.send_string("D", "gone", 4));

    server_.stop();
    expect_sent_away(a);
    expect_sent_away(b);
    EXPECT_EQ(1u, watch_.count("disconnect"));
    server_.stop();  // stopping again does nothing
    EXPECT_FALSE(server_.send_string("A", "x", 1));
    ASSERT_TRUE(server_.start(name_.c_str()));
    raw::pipe_end again;
    open_client(again, "A");
    ASSERT_TRUE(watch_.wait_for("connect", 4, 30s));
}

// A link from which nothing came for more than 3 beats goes (12 to 15 s with the hosts' 3 s
// beat); any message keeps a link alive, not only a heart beat.
TEST_F(server_with_raw_clients, drops_a_silent_client_after_3_to_4_beats_but_not_a_talker) {
    raw::pipe_end silent, talker;
    open_client(silent, "Z");
    open_client(talker, "T");  // sends texts, never a heart beat
    ASSERT_TRUE(watch_.wait_for("connect", 2, 30s));
    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> talking{true};
    std::thread talk([&] {
        while (talking) {
            talker.send(raw::text_payload(sender_client, "T", "busy"));
            Sleep(beat_ms / 10);
        }
    });
    const bool dropped = watch_.wait_for("disconnect", 1, 60s);
    const auto waited = std::chrono::steady_clock::now() - start;
    Sleep(6 * beat_ms);  // past the point where a silent talker would have gone too
    talking = false;
    talk.join();
    ASSERT_TRUE(dropped);
    EXPECT_GE(waited, std::chrono::milliseconds(3 * beat_ms));
    const auto gone = watch_.of_kind("disconnect");
    ASSERT_EQ(1u, gone.size());
    EXPECT_EQ("Z", gone[0].client_id);
    // No exit notice: the pipe just closes.
    std::string payload;
    EXPECT_FALSE(silent.receive(&payload, 30s));
    EXPECT_TRUE(silent.closed());
}

// A callback runs on a library thread, which stop would wait for, and which may be the very one
// that drains a link's queue: stop from a callback is refused with an error line and the server
// goes on, and a send into a full queue returns 0 at once, where a host thread's would wait (ten
// minutes here).
TEST(ipc_server, calls_from_its_own_callbacks_neither_hang_nor_wait_for_room) {
    tovi_test::log_capture log;
    tovi::timing limits;
    limits.send_wait_ms = 600000;
    limits.drain_stall_ms = 100;  // the stop gives the full queue up at once
    tovi::set_timing(limits);
    struct calling_watch : recording_server_watch {
        tovi::ipc_server* server = nullptr;
        std::atomic<int> accepted{0};
        std::atomic<bool> refused{false};
        void on_client_connect(const char* id, const tovi_platform::peer_identity& peer) override {
            server->stop();
            recording_server_watch::on_client_connect(id, peer);
        }
        void on_recv_data(const char* id, const char*, int32_t, bool) override {
            const std::string block(1024 * 1024, 'f');
            while (server->send_bytestream(id, block.data(), static_cast<int32_t>(block.size()))) {
                ++accepted;
            }
            refused = true;
        }
    } watch;
    const std::string name = tovi_test::unique_name("tovi_server");
    tovi::ipc_server server;
    watch.server = &server;
    server.set_watch(&watch);
    ASSERT_TRUE(server.start(name.c_str()));
    raw::pipe_end never_reads, later;
    ASSERT_TRUE(raw::connect(never_reads, name, "F"));
    ASSERT_TRUE(watch.wait_for("connect", 1, 30s));
    ASSERT_TRUE(never_reads.send(raw::text_payload(sender_client, "F", "go")));
    EXPECT_TRUE(tovi_test::wait_until([&] { return watch.refused.load(); }, 60s));
    EXPECT_GE(watch.accepted, 63);  // the queue's 64 MiB, less what the first frame's room takes
    ASSERT_TRUE(raw::connect(later, name, "later"));  // still serving
    ASSERT_TRUE(watch.wait_for("connect", 2, 30s));
    server.stop();
    tovi::set_timing(tovi::timing());
    EXPECT_NE(std::string::npos,
              log.finish().find(":error tovi::ipc_server::stop refused: called from a callback "
                                "of this server\r\n"));
}

// A start that fails, or one on a name the server serves already, leaves the server as it was:
// ready to start, or serving its name.
TEST(ipc_server, a_failed_or_repeated_start_leaves_the_server_as_it_was) {
    tovi_test::log_capture log;
    const std::string name = tovi_test::unique_name("tovi_server");
    const std::string other = tovi_test::unique_name("tovi_server");
    tovi::ipc_server first, second;
    recording_server_watch watch;
    EXPECT_FALSE(first.set_watch(nullptr));
    ASSERT_TRUE(first.set_watch(&watch));
    ASSERT_TRUE(second.set_watch(&watch));
    EXPECT_FALSE(first.start(nullptr));
    EXPECT_FALSE(first.start(""));
    ASSERT_TRUE(first.start(name.c_str()));
    EXPECT_TRUE(first.start(name.c_str()));     // listening on it already
    EXPECT_FALSE(first.start("another name"));  // true would claim a name nobody serves
    if (!tovi_test::running_under_wine()) {     // Wine lets a second server claim a served name
        EXPECT_FALSE(second.start(name.c_str()));
        const std::string text = log.finish();
        EXPECT_NE(std::string::npos,
                  text.find(":error tovi::ipc_server::start refused: the server listens on "));
        EXPECT_NE(std::string::npos, text.find(":error win::pipe_server::add_listen_pipe "
                                               "CreateNamedPipe failed. 5\r\n"));
    }
    ASSERT_TRUE(second.start(other.c_str()));
    raw::pipe_end a, b;
    ASSERT_TRUE(raw::connect(a, name, "a"));
    ASSERT_TRUE(raw::connect(b, other, "b"));
    EXPECT_TRUE(watch.wait_for("connect", 2, 30s));
    second.stop();
    first.stop();
}
