// Links that end while traffic flows: drops from callbacks and host threads, ids that come
// back at once, the block written while the link comes and goes, and the log a host finds
// after it ended.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "raw_peer.h"
#include "stress_util.h"
#include "support/test_support.h"

using namespace std::chrono_literals;

namespace {

#if defined(TOVI_SANITIZED_BUILD)
constexpr int drop_rounds = 15;
#else
constexpr int drop_rounds = 30;
#endif

// Events of the kind for the id, or for its fresh forms id#N.
size_t count_for(const std::vector<e2e::event>& events, const std::string& kind,
                 const std::string& id) {
    size_t n = 0;
    for (const auto& e : events) {
        n += e.kind == kind && (e.client_id == id || e.client_id.rfind(id + "#", 0) == 0) ? 1 : 0;
    }
    return n;
}

}  // namespace

// Chatters under its id and, each time the server drops it, reconnects at once: under the same
// id, or under id#round when fresh ids are asked for. Ends once dropped the given number of
// times.
TOVI_CHILD_ROLE(chatter) {
    const std::string name = arguments.at(0);
    const size_t rounds = std::stoul(arguments.at(2));
    const bool fresh_ids = arguments.at(3) == "fresh";
    e2e::client_host client;
    client.record_data = false;
    const auto deadline = std::chrono::steady_clock::now() + 90s;
    for (size_t round = 1; round <= rounds; ++round) {
        const std::string id = arguments.at(1) + (fresh_ids ? "#" + std::to_string(round) : "");
        if (!e2e::connect_within(client, name, id)) {
            return 2;
        }
        for (int n = 0; client.events.count("disconnect") < round; ++n) {
            client.send_string("chat " + std::to_string(n));  // refused once the link has ended
            if (n % 8 == 7) {
                std::this_thread::sleep_for(1ms);
            }
            if (std::chrono::steady_clock::now() > deadline) {
                return 3;
            }
        }
    }
    return stress::child_ok;
}

// Clients whose id starts with "cb" are dropped from the data callback itself, the others from
// a host thread while their echoes flow. "cb1" and "host1" come back under the same id at once;
// the others under a fresh id each time, so that every report of theirs belongs to one link:
// a disconnect report comes only after that link's data callbacks have returned.
TEST(lifetimes, clients_dropped_from_callbacks_and_host_threads_during_traffic_come_back_at_once) {
    const std::string name = tovi_test::unique_name("tovi_stress");
    std::mutex lock;
    std::map<std::string, int> received;
    std::map<std::string, int> in_callback;  // lock
    std::set<std::string> reported_gone;     // lock
    std::atomic<int> order_faults{0};
    e2e::server_host server;
    server.echo = true;
    server.record_data = false;
    server.on_data_hook = [&](const char* id, const char*, int32_t) {
        int n = 0;
        {
            std::lock_guard<std::mutex> hold(lock);
            order_faults += reported_gone.count(id) > 0 ? 1 : 0;
            ++in_callback[id];
            n = ++received[id];
        }
        if (std::strncmp(id, "cb", 2) == 0 && n % 25 == 0) {
            server.f.disconnect_client(server.handle, id);
            std::this_thread::sleep_for(1ms);  // a report made meanwhile would overlap this call
        }
        std::lock_guard<std::mutex> hold(lock);
        --in_callback[id];
    };
    server.on_disconnect_hook = [&](const char* id) {
        std::lock_guard<std::mutex> hold(lock);
        if (std::strchr(id, '#') != nullptr) {
            order_faults += in_callback[id] > 0 ? 1 : 0;
            reported_gone.insert(id);
        }
    };
    ASSERT_TRUE(server.start(name));
    const std::vector<std::string> ids = {"cb1", "cb2", "host1", "host2"};
    const auto is_fresh = [](const std::string& id) { return id.back() == '2'; };
    std::vector<std::unique_ptr<tovi_test::child_process>> children;
    for (const std::string& id : ids) {
        children.push_back(std::make_unique<tovi_test::child_process>(
            "chatter", std::vector<std::string>{name, id, std::to_string(drop_rounds),
                                                is_fresh(id) ? "fresh" : "same"}));
    }
    std::atomic<bool> done{false};
    std::thread dropper([&] {
        while (!done) {
            server.f.disconnect_client(server.handle, "host1");
            for (int round = 1; round <= drop_rounds; ++round) {
                server.f.disconnect_client(server.handle,
                                           ("host2#" + std::to_string(round)).c_str());
            }
            std::this_thread::sleep_for(20ms);
        }
    });
    for (auto& child : children) {
        EXPECT_EQ(stress::child_ok, child->wait(120s));
    }
    done = true;
    dropper.join();
    ASSERT_TRUE(server.events.wait_for("disconnect", ids.size() * drop_rounds, 30s));
    const auto events = server.events.all();
    for (const std::string& id : ids) {
        // Every reconnect was taken: a dropped id is never left bound to a leaving link.
        EXPECT_EQ(static_cast<size_t>(drop_rounds), count_for(events, "connect", id)) << id;
        EXPECT_EQ(static_cast<size_t>(drop_rounds), count_for(events, "disconnect", id)) << id;
    }
    EXPECT_EQ(0, order_faults.load());
}

// Raw peers announce an id, send one text and say goodbye; once the server has closed the
// link, the same id comes straight back on a new link, while the host is still hearing of the
// old one (its on_client_disconnect sleeps). For every id the host hears each link's callbacks
// as one run, connect, text, disconnect, and no run begins before the previous one has ended;
// no reconnect is refused.
TEST(lifetimes, an_id_that_comes_straight_back_is_reported_after_its_old_link_left) {
#if defined(TOVI_SANITIZED_BUILD)
    const int rounds = 40;
#else
    const int rounds = tovi_test::running_under_wine() ? 40 : 200;
#endif
    const std::string name = tovi_test::unique_name("tovi_stress");
    std::mutex lock;
    std::map<std::string, std::string> seen;  // lock: the last callback of each id
    std::atomic<int> order_faults{0};
    const auto step = [&](const char* id, const char* from, const char* to) {
        std::lock_guard<std::mutex> hold(lock);
        std::string& last = seen[id];
        order_faults += last == from || (last.empty() && std::string(from) == "disconnect") ? 0 : 1;
        last = to;
    };
    e2e::server_host server;
    server.record_data = false;
    server.on_connect_hook = [&](const char* id) { step(id, "disconnect", "connect"); };
    server.on_data_hook = [&](const char* id, const char*, int32_t) {
        step(id, "connect", "data");
    };
    server.on_disconnect_hook = [&](const char* id) {
        step(id, "data", "leaving");
        std::this_thread::sleep_for(1ms);  // a slow host: the id is free on the loop meanwhile
        step(id, "leaving", "disconnect");
    };
    ASSERT_TRUE(server.start(name));
    std::vector<std::thread> peers;
    std::atomic<int> peer_faults{0};
    for (int p = 0; p < 5; ++p) {
        peers.emplace_back([&, p] {
            const std::string id = "r" + std::to_string(p);
            for (int round = 0; round < rounds; ++round) {
                raw::pipe_end end;
                // Another peer may take the free instance between the wait and the open.
                const bool connected =
                    tovi_test::wait_until([&] { return raw::connect(end, name, id); }, 30s);
                if (!connected || !end.send(raw::text_payload(sender_client, id, "hello")) ||
                    !end.send(raw::state_payload(sender_client, id, state_client_exit)) ||
                    !end.wait_closed(30s)) {
                    ++peer_faults;
                    return;
                }
            }
        });
    }
    for (auto& peer : peers) {
        peer.join();
    }
    EXPECT_EQ(0, peer_faults.load());
    EXPECT_TRUE(server.events.wait_for("disconnect", 5 * rounds, 60s));
    EXPECT_EQ(static_cast<size_t>(5 * rounds), server.events.count("connect"));
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
