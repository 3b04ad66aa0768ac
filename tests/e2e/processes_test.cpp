// Server and clients in separate processes, through the public header only: texts and byte
// streams both ways, and many clients of several processes at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>

#include "host.h"
#include "support/test_support.h"

using namespace std::chrono_literals;

// Receives a text, a byte stream and a text, in order on one thread of the library, then
// answers with a text and a byte stream and leaves.
TOVI_CHILD_ROLE(talker) {
    e2e::client_host client;
    if (!client.connect(arguments.at(0), arguments.at(1)))
        return 2;
    if (!client.events.wait_for("data", 3, 30s))
        return 3;
    const auto events = client.events.all();
    if (events[0].data != "s1" || events[1].data != std::string("s\0002", 3) ||
        events[2].data != "s3") {
        return 4;
    }
    if (events[0].thread == std::this_thread::get_id() || events[0].thread != events[1].thread ||
        events[1].thread != events[2].thread) {
        return 5;
    }
    if (!client.send_string("c1") || !client.send_bytes(std::string("c\0002", 3)))
        return 6;
    client.disconnect();  // what was sent goes out before the exit notice
    return 0;
}

namespace {

// The byte streams each client of a swarm sends after its greeting, and the server echoes:
// sizes from 16 bytes to 1 MiB, content that tells the client and the message apart.
constexpr int streams_per_client = 2;
std::string stream_of(int client, int k) {
    const int seed = client * streams_per_client + k;
    return tovi_test::pattern(size_t{16} << ((client * 7 + k * 5) % 17),
                              static_cast<uint32_t>(seed));
}

}  // namespace

// Many clients: each announces itself, sends a text and its byte streams, checks that every
// one comes back whole and in order, and leaves.
TOVI_CHILD_ROLE(swarm) {
    const std::string name = arguments.at(0);
    const std::string prefix = arguments.at(1);
    const int count = std::stoi(arguments.at(2));
    const int first = std::stoi(arguments.at(3));  // the number of this swarm's first client
    std::vector<std::unique_ptr<e2e::client_host>> clients;
    for (int i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<e2e::client_host>());
        if (!e2e::connect_within(*clients.back(), name, prefix + std::to_string(i))) {
            return 2;
        }
    }
    for (int i = 0; i < count; ++i) {
        auto& client = *clients[static_cast<size_t>(i)];
        bool sent = client.send_string("hello " + prefix + std::to_string(i));
        for (int k = 0; k < streams_per_client; ++k) {
            sent = sent && client.send_bytes(stream_of(first + i, k));
        }
        if (!sent) {
            return 3;
        }
    }
    for (int i = 0; i < count; ++i) {
        auto& client = *clients[static_cast<size_t>(i)];
        if (!client.events.wait_for("data", 1 + streams_per_client, 120s)) {
            return 4;
        }
        const auto echoes = client.events.all();
        bool whole = echoes[0].data == "hello " + prefix + std::to_string(i);
        for (int k = 0; k < streams_per_client; ++k) {
            whole = whole && echoes[static_cast<size_t>(k) + 1].data == stream_of(first + i, k);
        }
        if (!whole) {
            return 5;
        }
    }
    for (auto& client : clients) {
        client->disconnect();
    }
    return 0;
}

TEST(processes, texts_and_byte_streams_cross_both_ways_in_order) {
    const std::string name = tovi_test::unique_name("tovi_e2e");
    e2e::server_host server;
    ASSERT_TRUE(server.start(name));
    tovi_test::child_process child("talker", {name, "T1"});
    ASSERT_TRUE(server.events.wait_for("connect", 1, 30s));
    EXPECT_TRUE(server.send_string("T1", "s1"));
    EXPECT_TRUE(server.send_bytes("T1", std::string("s\0002", 3)));
    EXPECT_TRUE(server.send_string("T1", "s3"));
    ASSERT_TRUE(server.events.wait_for("disconnect", 1, 30s));
    EXPECT_EQ(0, child.wait(30s));
    const auto data = server.events.of_kind("data");
    ASSERT_EQ(2u, data.size());
    EXPECT_EQ("c1", data[0].data);
    EXPECT_EQ(std::string("c\0002", 3), data[1].data);
    EXPECT_EQ("T1", data[0].client_id);
}

TEST(processes, one_server_holds_many_clients_from_several_processes) {
    const int processes = 4;
#if defined(TOVI_SANITIZED_BUILD)
    const int per_process = 50;
#else
    const int per_process = tovi_test::running_under_wine() ? 25 : 250;
#endif
    const int total = processes * per_process;
    tovi_test::raise_open_file_limit();
    const std::string name = tovi_test::unique_name("tovi_e2e");
    e2e::server_host server;
    server.echo = true;
    server.record_data = false;  // only each message's first bytes: enough to tell the greeting
    server.on_data_hook = [&](const char* id, const char* data, int32_t length) {
        server.events.add("data", id,
                          std::string(data, std::min(static_cast<size_t>(length), size_t{64})));
    };
    ASSERT_TRUE(server.start(name));
    std::vector<std::unique_ptr<tovi_test::child_process>> swarms;
    for (int p = 0; p < processes; ++p) {
        swarms.push_back(std::make_unique<tovi_test::child_process>(
            "swarm", std::vector<std::string>{name, "p" + std::to_string(p) + "_",
                                              std::to_string(per_process),
                                              std::to_string(p * per_process)}));
    }
    for (auto& swarm : swarms) {
        EXPECT_EQ(0, swarm->wait(600s));
    }
    ASSERT_TRUE(server.events.wait_for("disconnect", static_cast<size_t>(total), 60s));
    const auto events = server.events.all();
    std::set<std::string> connected, talked, left;
    for (const auto& e : events) {
        if (e.kind == "connect")
            connected.insert(e.client_id);
        if (e.kind == "data" && e.data == "hello " + e.client_id)
            talked.insert(e.client_id);
        if (e.kind == "disconnect")
            left.insert(e.client_id);
    }
    EXPECT_EQ(static_cast<size_t>(total), connected.size());
    EXPECT_EQ(static_cast<size_t>(total), talked.size());
    EXPECT_EQ(static_cast<size_t>(total), left.size());
    // Nothing twice, nothing else.
    EXPECT_EQ(static_cast<size_t>((3 + streams_per_client) * total), events.size());
}
