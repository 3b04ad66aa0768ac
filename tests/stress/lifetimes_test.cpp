// Links that end every way while ids come back at once, the block written while the link comes
// and goes, and the log a host finds after it ended.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "raw_peer.h"
#include "stress_util.h"
#include "support/test_support.h"

using namespace std::chrono_literals;

// Raw peers announce an id and send texts, and each link ends one way: r0 and r1 say goodbye, r2
// is dropped from inside its data callback, r3 by a host thread while its texts flow. Once its
// link is closed, each peer comes straight back under the same id, while the host may still be
// hearing of the old link (its on_client_disconnect sleeps). For every id the host hears each
// link's callbacks as one run (connect, data, disconnect), no run begins before the one before
// it has ended, and no reconnect is refused.
TEST(lifetimes, links_ended_every_way_come_back_under_their_id_and_are_reported_in_order) {
#if defined(TOVI_SANITIZED_BUILD)
    const int rounds = 40;
#else
    const int rounds = tovi_test::running_under_wine() ? 40 : 150;
#endif
    const std::string name = tovi_test::unique_name("tovi_stress");
    std::mutex lock;
    std::map<std::string, std::string> seen;  // lock: the last callback of each id
    std::atomic<int> order_faults{0};
    // A callback of the id may follow only one of those named in from.
    const auto step = [&](const char* id, std::initializer_list<const char*> from, const char* to) {
        std::lock_guard<std::mutex> hold(lock);
        std::string& last = seen[id];
        bool allowed = false;
        for (const char* f : from) {
            allowed = allowed || last == f;
        }
        order_faults += allowed ? 0 : 1;
        last = to;
    };
    e2e::server_host server;
    server.record_data = false;
    server.on_connect_hook = [&](const char* id) { step(id, {"", "disconnect"}, "connect"); };
    server.on_data_hook = [&](const char* id, const char*, int32_t) {
        step(id, {"connect", "data"}, "data");
        if (std::strcmp(id, "r2") == 0) {
            server.f.disconnect_client(server.handle, id);
        }
    };
    server.on_disconnect_hook = [&](const char* id) {
        step(id, {"connect", "data"}, "leaving");
        std::this_thread::sleep_for(1ms);  // a slow host: the id is free on the loop meanwhile
        step(id, {"leaving"}, "disconnect");
    };
    ASSERT_TRUE(server.start(name));
    std::atomic<bool> done{false};
    std::thread dropper([&] {
        while (!done) {
            server.f.disconnect_client(server.handle, "r3");
            std::this_thread::sleep_for(1ms);
        }
    });
    std::vector<std::thread> peers;
    std::atomic<int> peer_faults{0};
    for (int p = 0; p < 4; ++p) {
        peers.emplace_back([&, p] {
            const std::string id = "r" + std::to_string(p);
            for (int round = 0; round < rounds; ++round) {
                raw::pipe_end end;
                // Another peer may take the free instance between the wait and the open.
                if (!tovi_test::wait_until([&] { return raw::connect(end, name, id); }, 30s)) {
                    ++peer_faults;
                    return;
                }
                // A send fails once the server has dropped the link (r3's may come any time).
                bool open = true;
                for (int n = 0; open && n < (p == 3 ? 50 : 1); ++n) {
                    open = end.send(raw::text_payload(sender_client, id, "hello"));
                }
                if (open && p < 2) {
                    end.send(raw::state_payload(sender_client, id, state_client_exit));
                }
                if (!end.wait_closed(30s)) {
                    ++peer_faults;
                    return;
                }
            }
        });
    }
    for (auto& peer : peers) {
        peer.join();
    }
    done = true;
    dropper.join();
    EXPECT_EQ(0, peer_faults.load());
    EXPECT_TRUE(server.events.wait_for("disconnect", 4 * rounds, 60s));
    EXPECT_EQ(static_cast<size_t>(4 * rounds), server.events.count("connect"));
    EXPECT_EQ(0, order_faults.load());
}

TEST(lifetimes, the_block_is_written_while_another_thread_connects_and_disconnects) {
    const std::string name = tovi_test::unique_name("tovi_stress");
    e2e::server_host server;
    ASSERT_TRUE(server.start(name));
    e2e::client_host client;
    std::atomic<bool> done{false};
    std::atomic<long> written{0};
    std::thread writer([&] {
        const std::string data = tovi_test::pattern(4096, 1);
        shared_memory_info info = {{1, 2, 3, 4, 5}};
        while (!done) {
            if (client.f.write_shared_memory(client.handle, data.data(),
                                             static_cast<tovi_uint32>(data.size()), &info)) {
                ++written;
            }
        }
    });
    // Cycles for 1 s, and on until a few of them have met writes going on beside.
    long cycles = 0;
    const auto start = std::chrono::steady_clock::now();
    while ((std::chrono::steady_clock::now() - start < 1s || cycles < 3 || written < 100) &&
           std::chrono::steady_clock::now() - start < 60s) {
        ASSERT_TRUE(e2e::connect_within(client, name, "block"));
        std::this_thread::sleep_for(1ms);
        client.disconnect();
        ++cycles;
    }
    done = true;
    writer.join();
    EXPECT_GE(cycles, 3);
    EXPECT_GE(written.load(), 100);
}

// Opens the log, connects, leaves and ends normally: the library closes its log as it unloads.
// The server's closing answers the goodbye: no error line, and no line of a broken pipe.
TOVI_CHILD_ROLE(logged_client) {
    e2e::client_host client;
    if (!client.f.init_log(client.handle, arguments.at(1).c_str(), "client.log")) {
        return 2;
    }
    if (!e2e::connect_within(client, arguments.at(0), "logged")) {
        return 3;
    }
    client.disconnect();
    client.release();
    return stress::child_ok;
}

TEST(lifetimes, a_host_that_ends_normally_finds_its_last_log_lines_in_the_file) {
    const std::string name = tovi_test::unique_name("tovi_stress");
    e2e::server_host server;
    ASSERT_TRUE(server.start(name));
    const int rounds = tovi_test::running_under_wine() ? 8 : 3;
    for (int round = 0; round < rounds; ++round) {
        const tovi_test::temp_dir directory("tovi_stress_log");
        tovi_test::child_process client("logged_client", {name, directory.path()});
        ASSERT_EQ(stress::child_ok, client.wait(60s));
        const std::string text = tovi_test::read_file(directory / "client.log");
        const size_t left = text.find(":info tovi::ipc_client::disconnect\r\n");
        ASSERT_NE(std::string::npos, left) << text;
        // Release stops the event loop: its last line comes after everything else.
        EXPECT_NE(std::string::npos,
                  text.find(":warning win::pipe_handler_async::on_thread_run end thread\r\n", left))
            << "round " << round << ":\n"
            << text;
        EXPECT_NE(std::string::npos,
                  text.find(":info tovi::ipc_client::disconnect the server closed the link after "
                            "the goodbye\r\n",
                            left))
            << text;
        EXPECT_EQ(std::string::npos, text.find(":error ")) << text;
        EXPECT_EQ(std::string::npos, text.find("pipe is broken")) << text;
        EXPECT_EQ(std::string::npos, text.find(":warning win::pipe_connection")) << text;
    }
}
