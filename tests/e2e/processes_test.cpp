// Server and clients in separate processes, through the public header only: many clients of
// several processes at once, their texts and byte streams crossing both ways.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>

#include "host.h"
#include "support/test_support.h"

using namespace std::chrono_literals;

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
// one comes back whole, in order and on one thread of the library, and leaves.
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
        bool whole = echoes[0].data == "hello " + prefix + std::to_string(i) &&
                     echoes[0].thread != std::this_thread::get_id();
        for (int k = 0; k < streams_per_client; ++k) {
            const auto& echo = echoes[static_cast<size_t>(k) + 1];
            whole =
                whole && echo.data == stream_of(first + i, k) && echo.thread == echoes[0].thread;
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

TEST(processes, one_server_holds_many_clients_of_several_processes_and_echoes_each_whole) {
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
