// Traffic that outruns its peer: what a send accepted is delivered, also when the link closes
// right after; slow and stuck peers cost their sender a bounded amount of memory and no
// threads; a large message's room goes back once it is delivered.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>

#include "endpoints/ipc_client.h"
#include "raw_peer.h"
#include "recording_watch.h"
#include "stress_util.h"
#include "support/test_support.h"

using namespace std::chrono_literals;
using stress::mib;

namespace {

// Each message starts with its number, so that a receiver checks it whole, in place and in
// order.
std::string numbered(size_t size, uint32_t number) {
    std::string message = tovi_test::pattern(size, number);
    std::memcpy(&message[0], &number, sizeof(number));
    return message;
}

bool is_numbered(const char* data, size_t size, uint32_t number) {
    return size >= sizeof(number) && numbered(size, number) == std::string(data, size);
}

// Bounds that hold whatever the peer does: the send queue's mark (64 MiB) with room for the
// kernel's buffers and the process's own. Sanitizers keep freed memory, so only the plain
// builds measure.
constexpr size_t memory_bound = 300 * mib;
#if defined(TOVI_SANITIZED_BUILD)
constexpr bool measures_memory = false;
#else
constexpr bool measures_memory = true;
#endif

}  // namespace

// Sends one 20 MiB and fifty 1 MiB messages, disconnects and exits at once, without releasing
// the handle: what disconnect returned after must be on its way.
TOVI_CHILD_ROLE(burst_sender) {
    e2e::client_host client;
    if (!e2e::connect_within(client, arguments.at(0), "burst")) {
        return 2;
    }
    if (!client.send_bytes(numbered(20 * mib, 0))) {
        return 3;
    }
    for (uint32_t n = 1; n <= 50; ++n) {
        if (!client.send_bytes(numbered(mib, n))) {
            return 4;
        }
    }
    client.disconnect();
    std::_Exit(stress::child_ok);
}

// Waits for the server to go and checks that every byte it sent came first.
TOVI_CHILD_ROLE(burst_receiver) {
    std::atomic<bool> intact{true};
    e2e::client_host client;
    client.record_data = false;
    client.on_data_hook = [&](const char* data, int32_t length) {
        intact = intact && is_numbered(data, static_cast<size_t>(length), 7);
    };
    if (!e2e::connect_within(client, arguments.at(0), "receiver")) {
        return 2;
    }
    if (!client.events.wait_for("disconnect", 1, 60s)) {
        return 3;
    }
    return client.messages == 1 && client.bytes == 20 * mib && intact ? stress::child_ok : 4;
}

TEST(traffic, what_a_send_accepted_arrives_although_the_link_closes_right_after) {
    const std::string name = tovi_test::unique_name("tovi_stress");
    std::atomic<uint32_t> received{0};
    std::atomic<bool> intact{true};
    e2e::server_host server;
    server.echo = true;  // its answers meet a link whose client leaves at once
    server.record_data = false;
    server.on_data_hook = [&](const char*, const char* data, int32_t length) {
        const uint32_t n = received++;
        intact = intact && is_numbered(data, static_cast<size_t>(length), n) &&
                 static_cast<size_t>(length) == (n == 0 ? 20 * mib : mib);
    };
    ASSERT_TRUE(server.start(name));
    tovi_test::child_process sender("burst_sender", {name});
    EXPECT_EQ(stress::child_ok, sender.wait(60s));
    EXPECT_TRUE(server.events.wait_for("disconnect", 1, 30s));
    EXPECT_EQ(51u, received.load());
    EXPECT_TRUE(intact);

    // The other way: the server sends, then stops at once.
    tovi_test::child_process receiver("burst_receiver", {name});
    ASSERT_TRUE(server.events.wait_for("connect", 2, 30s));
    EXPECT_TRUE(server.send_bytes("receiver", numbered(20 * mib, 7)));
    server.stop();
    EXPECT_EQ(stress::child_ok, receiver.wait(60s));
}

// Takes a while over every message; when the server's closing text "end N" comes, checks that
// it got exactly the N messages before it, and reports its peak memory.
TOVI_CHILD_ROLE(slow_reader) {
    std::atomic<long long> announced{-1};
    std::atomic<long long> before_end{0};
    e2e::client_host client;
    client.record_data = false;
    client.on_data_hook = [&](const char* data, int32_t length) {
        if (length > 4 && std::strncmp(data, "end ", 4) == 0) {
            before_end = static_cast<long long>(client.messages) - 1;
            announced = std::stoll(std::string(data + 4, static_cast<size_t>(length) - 4));
            return;
        }
        std::this_thread::sleep_for(2ms);
    };
    if (!e2e::connect_within(client, arguments.at(0), "slow")) {
        return 2;
    }
    if (!tovi_test::wait_until([&] { return announced >= 0; }, 120s)) {
        return 3;
    }
    stress::write_results(arguments.at(1),
                          {{"announced", announced},
                           {"received", before_end},
                           {"peak", static_cast<long long>(tovi_test::peak_resident_bytes())}});
    return stress::child_ok;
}

TEST(traffic, a_slow_reader_paces_its_sender_and_neither_side_grows_past_its_bounds) {
    const std::string name = tovi_test::unique_name("tovi_stress");
    const tovi_test::temp_dir directory("tovi_stress");
    const std::string results = directory / "slow_reader";
    e2e::server_host server;
    ASSERT_TRUE(server.start(name));
    tovi_test::child_process reader("slow_reader", {name, results});
    ASSERT_TRUE(server.events.wait_for("connect", 1, 30s));
    const std::string message(256 * 1024, 'm');
    long long accepted = 0;
    long long refused = 0;
    {
        stress::memory_sampler memory;
        const size_t before = tovi_test::resident_bytes();
        stress::repeat_for(1s, [&] {
            (server.send_bytes("slow", message) ? accepted : refused) += 1;
            return true;
        });
        // A host that must get its message through tries again while the queue is full.
        ASSERT_TRUE(tovi_test::wait_until(
            [&] { return server.send_string("slow", "end " + std::to_string(accepted)); }, 60s));
        if (measures_memory) {
            EXPECT_LT(memory.peak() - before, memory_bound);
        }
    }
    EXPECT_EQ(stress::child_ok, reader.wait(120s));
    const auto found = stress::read_results(results, 1s);
    EXPECT_EQ(accepted, found.at("announced"));
    EXPECT_EQ(accepted, found.at("received"));  // nothing that was accepted is lost
    if (measures_memory) {
        EXPECT_LT(static_cast<size_t>(found.at("peak")), memory_bound);
    }
    std::printf("slow reader: %lld sent, %lld refused\n", accepted, refused);
}

// Sends 64 KiB messages until one is refused (the server's callback does not return, so its
// queue fills), reports what it saw, then waits for the server's "done" before it leaves. It is
// the library's client itself, so that its wait for room is 200 ms instead of a host's 3 s.
TOVI_CHILD_ROLE(stuck_sender) {
    tovi::timing limits;
    limits.send_wait_ms = 200;
    tovi::set_timing(limits);
    recording_client_watch watch;
    tovi::ipc_client client;
    client.set_watch(&watch);
    if (!tovi_test::wait_until([&] { return client.connect(arguments.at(0).c_str(), "stuck"); },
                               30s)) {
        return 2;
    }
    const std::string message(64 * 1024, 's');
    long long accepted = 0;
    stress::repeat_for(60s, [&] {
        if (!client.send_bytestream(message.data(), static_cast<int32_t>(message.size()))) {
            return false;
        }
        ++accepted;
        return true;
    });
    stress::write_results(arguments.at(1),
                          {{"accepted", accepted},
                           {"peak", static_cast<long long>(tovi_test::peak_resident_bytes())},
                           {"threads", static_cast<long long>(tovi_test::thread_count())}});
    return watch.wait_for("data", 1, 60s) ? stress::child_ok : 3;
}

TEST(traffic, a_server_callback_that_never_returns_makes_its_client_sends_fail_not_grow) {
    const std::string name = tovi_test::unique_name("tovi_stress");
    const tovi_test::temp_dir directory("tovi_stress");
    const std::string results = directory / "stuck_sender";
    tovi_test::gate stuck;
    std::atomic<long long> received{0};
    e2e::server_host server;
    server.record_data = false;
    server.on_data_hook = [&](const char*, const char*, int32_t) {
        if (received++ == 0) {
            stuck.pass();
        }
    };
    ASSERT_TRUE(server.start(name));
    tovi_test::child_process sender("stuck_sender", {name, results});
    const auto found = stress::read_results(results, 90s);
    stuck.open();
    ASSERT_FALSE(found.empty());
    EXPECT_TRUE(tovi_test::wait_until([&] { return received == found.at("accepted"); }, 30s))
        << received << " of " << found.at("accepted");
    EXPECT_TRUE(server.send_string("stuck", "done"));
    EXPECT_EQ(stress::child_ok, sender.wait(30s));
    EXPECT_LT(found.at("threads"), 20);
    std::printf("stuck server: client accepted %lld sends, peak %lld MiB, %lld threads\n",
                found.at("accepted"), found.at("peak") / static_cast<long long>(mib),
                found.at("threads"));
    if (measures_memory) {
        EXPECT_LT(static_cast<size_t>(found.at("peak")), memory_bound);
    }
}

TEST(traffic, links_give_back_the_room_of_a_large_message_once_it_is_delivered) {
    if (!measures_memory) {
        GTEST_SKIP() << "sanitizers keep freed memory";
    }
    const std::string name = tovi_test::unique_name("tovi_stress");
    std::atomic<int> delivered{0};
    e2e::server_host server;
    server.record_data = false;
    server.on_data_hook = [&](const char*, const char*, int32_t) { ++delivered; };
    ASSERT_TRUE(server.start(name));
    const size_t before = tovi_test::resident_bytes();
    {
        std::vector<std::unique_ptr<e2e::client_host>> clients;
        for (int i = 0; i < 4; ++i) {
            clients.push_back(std::make_unique<e2e::client_host>());
            ASSERT_TRUE(clients.back()->connect(name, "large" + std::to_string(i)));
            // A text is handed on from storage of its own: that goes back too.
            const std::string large(40 * mib, 'l');
            ASSERT_TRUE(i == 0 ? clients.back()->send_string(large)
                               : clients.back()->send_bytes(large));
        }
        ASSERT_TRUE(tovi_test::wait_until([&] { return delivered == 4; }, 30s));
        // The links stay, idle: what each kept for its large message has gone back.
        EXPECT_TRUE(tovi_test::wait_until(
            [&] { return tovi_test::resident_bytes() < before + 40 * mib; }, 60s))
            << (tovi_test::resident_bytes() - before) / mib << " MiB more than before";
    }
}
