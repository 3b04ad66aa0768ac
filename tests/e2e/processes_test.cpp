// Server and clients in separate processes, through the public header only.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <set>

#include "host.h"
#include "support/test_support.h"

using namespace std::chrono_literals;

namespace {

// Children's exit codes: 0 when everything the role expects happened.
constexpr int child_failed = 1;

std::vector<e2e::event> of_kind(const std::vector<e2e::event>& events, const std::string& kind) {
    std::vector<e2e::event> out;
    for (const auto& e : events) {
        if (e.kind == kind)
            out.push_back(e);
    }
    return out;
}

// Connects a client, trying again for up to 30 s: when several clients wait for the one
// listening instance, only one of them gets it and the others must wait for the next.
bool connect_patiently(e2e::client_host& client, const std::string& name, const std::string& id) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (client.connect(name, id))  // 300 ms per attempt at most
            return true;
    }
    return false;
}

}  // namespace

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

// Connects and waits until the server ends the link.
TOVI_CHILD_ROLE(waiter) {
    e2e::client_host client;
    if (!connect_patiently(client, arguments.at(0), arguments.at(1)))
        return 2;
    return client.events.wait_for("disconnect", 1, 60s) ? 0 : child_failed;
}

// Many clients: each announces itself, sends one text, waits for its echo, and leaves.
TOVI_CHILD_ROLE(swarm) {
    const std::string name = arguments.at(0);
    const std::string prefix = arguments.at(1);
    const int count = std::stoi(arguments.at(2));
    std::vector<std::unique_ptr<e2e::client_host>> clients;
    for (int i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<e2e::client_host>());
        const std::string id = prefix + std::to_string(i);
        if (!connect_patiently(*clients.back(), name, id))
            return 2;
    }
    for (int i = 0; i < count; ++i) {
        if (!clients[static_cast<size_t>(i)]->send_string("hello " + prefix + std::to_string(i))) {
            return 3;
        }
    }
    for (int i = 0; i < count; ++i) {
        auto& client = *clients[static_cast<size_t>(i)];
        if (!client.events.wait_for("data", 1, 120s))
            return 4;
        if (client.events.all()[0].data != "hello " + prefix + std::to_string(i))
            return 5;
    }
    for (auto& client : clients)
        client->disconnect();
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
    const auto data = of_kind(server.events.all(), "data");
    ASSERT_EQ(2u, data.size());
    EXPECT_EQ("c1", data[0].data);
    EXPECT_EQ(std::string("c\0002", 3), data[1].data);
    EXPECT_EQ("T1", data[0].client_id);
}

TEST(processes, stop_ends_every_client_and_a_restart_serves_the_name_again) {
    const std::string name = tovi_test::unique_name("tovi_e2e");
    e2e::server_host server;
    ASSERT_TRUE(server.start(name));
    tovi_test::child_process first("waiter", {name, "W1"});
    tovi_test::child_process second("waiter", {name, "W2"});
    ASSERT_TRUE(server.events.wait_for("connect", 2, 30s));
    server.stop();
    EXPECT_EQ(0, first.wait(30s));
    EXPECT_EQ(0, second.wait(30s));
    EXPECT_EQ(0u, server.events.count("disconnect"));  // stop tells nobody

    ASSERT_TRUE(server.start(name));
    tovi_test::child_process again("waiter", {name, "W1"});
    ASSERT_TRUE(server.events.wait_for("connect", 3, 30s));
    EXPECT_TRUE(server.f.disconnect_client(server.handle, "W1"));
    EXPECT_FALSE(server.f.disconnect_client(server.handle, "nobody"));
    EXPECT_EQ(0, again.wait(30s));
    ASSERT_TRUE(server.events.wait_for("disconnect", 1, 30s));
    EXPECT_EQ("W1", of_kind(server.events.all(), "disconnect")[0].client_id);
}

TEST(processes, a_second_client_under_a_taken_id_is_refused_and_the_first_keeps_it) {
    const std::string name = tovi_test::unique_name("tovi_e2e");
    e2e::server_host server;
    ASSERT_TRUE(server.start(name));
    tovi_test::child_process first("waiter", {name, "dup"});
    ASSERT_TRUE(server.events.wait_for("connect", 1, 30s));
    tovi_test::child_process second("waiter", {name, "dup"});
    EXPECT_EQ(0, second.wait(30s));  // it saw its link end
    EXPECT_EQ(1u, server.events.count("connect"));
    EXPECT_EQ(0u, server.events.count("disconnect"));
    EXPECT_TRUE(server.f.disconnect_client(server.handle, "dup"));
    EXPECT_EQ(0, first.wait(30s));
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
    ASSERT_TRUE(server.start(name));
    std::vector<std::unique_ptr<tovi_test::child_process>> swarms;
    for (int p = 0; p < processes; ++p) {
        swarms.push_back(std::make_unique<tovi_test::child_process>(
            "swarm", std::vector<std::string>{name, "p" + std::to_string(p) + "_",
                                              std::to_string(per_process)}));
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
    EXPECT_EQ(static_cast<size_t>(3 * total), events.size());  // nothing twice, nothing else
}
