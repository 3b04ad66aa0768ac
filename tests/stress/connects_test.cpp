// Clients that come and go together: many starting at once, each with a single attempt, all
// told when the server stops or drops them; host threads that end while their link lives on.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "stress_util.h"
#include "support/test_support.h"

using namespace std::chrono_literals;

namespace {

#if defined(TOVI_SANITIZED_BUILD)
constexpr int told_rounds = 10;
#else
constexpr int told_rounds = 20;
#endif
constexpr int clients_per_round = 16;

// Connects the clients from threads of their own at the same moment, each with the one 300 ms
// attempt of a connect; returns the number that failed.
int connect_together(std::vector<std::unique_ptr<e2e::client_host>>& clients,
                     const std::string& name, const std::string& prefix) {
    tovi_test::gate go;
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (size_t i = 0; i < clients.size(); ++i) {
        threads.emplace_back([&, i] {
            go.pass();
            failed += clients[i]->connect(name, prefix + std::to_string(i)) ? 0 : 1;
        });
    }
    go.open();
    for (auto& thread : threads) {
        thread.join();
    }
    return failed;
}

}  // namespace

// Each round connects its clients at once and waits until every one of them has been told that
// its link ended; the server alternates between stop and disconnect_client.
TOVI_CHILD_ROLE(told_clients) {
    const std::string name = arguments.at(0);
    const int rounds = std::stoi(arguments.at(1));
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::unique_ptr<e2e::client_host>> clients;
        for (int i = 0; i < clients_per_round; ++i) {
            clients.push_back(std::make_unique<e2e::client_host>());
        }
        if (connect_together(clients, name, "r" + std::to_string(round) + "c") != 0) {
            return 2;
        }
        for (auto& client : clients) {
            if (!client->events.wait_for("disconnect", 1, 30s)) {
                return 3;
            }
        }
    }
    return stress::child_ok;
}

TEST(connects, clients_starting_together_all_connect_and_each_is_told_when_stopped_or_dropped) {
    const std::string name = tovi_test::unique_name("tovi_stress");
    e2e::server_host server;
    ASSERT_TRUE(server.start(name));
    tovi_test::child_process clients("told_clients", {name, std::to_string(told_rounds)});
    for (int round = 0; round < told_rounds; ++round) {
        const size_t connected = static_cast<size_t>((round + 1) * clients_per_round);
        ASSERT_TRUE(server.events.wait_for("connect", connected, 30s)) << "round " << round;
        if (round % 2 == 0) {
            server.stop();
            ASSERT_TRUE(server.start(name));
        } else {
            for (int i = 0; i < clients_per_round; ++i) {
                EXPECT_TRUE(server.f.disconnect_client(
                    server.handle,
                    ("r" + std::to_string(round) + "c" + std::to_string(i)).c_str()));
            }
        }
    }
    EXPECT_EQ(stress::child_ok, clients.wait(60s));
}

TEST(connects, a_link_made_or_fed_by_host_threads_that_end_lives_on) {
    const std::string name = tovi_test::unique_name("tovi_stress");
    std::atomic<uint32_t> received{0};
    std::atomic<bool> intact{true};
    e2e::server_host server;
    server.record_data = false;
    server.on_data_hook = [&](const char*, const char* data, int32_t length) {
        const std::string expected = tovi_test::pattern(200000, received++);
        intact = intact && expected == std::string(data, static_cast<size_t>(length));
    };
    ASSERT_TRUE(server.start(name));
    e2e::client_host client;
    std::thread([&] { ASSERT_TRUE(client.connect(name, "threads")); }).join();
    ASSERT_TRUE(server.events.wait_for("connect", 1, 30s));
    for (uint32_t n = 0; n < 20; ++n) {
        std::thread([&client, n] {
            EXPECT_TRUE(client.send_bytes(tovi_test::pattern(200000, n)));
        }).join();
    }
    EXPECT_TRUE(tovi_test::wait_until([&] { return received == 20; }, 60s)) << received;
    EXPECT_TRUE(intact);
    EXPECT_TRUE(server.send_string("threads", "still reading"));
    EXPECT_TRUE(client.events.wait_for("data", 1, 30s));
    EXPECT_EQ(0u, client.events.count("disconnect"));
}
