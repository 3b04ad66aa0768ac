// The events interface (include/toviipc_events.h) as a host uses it: the context of every
// callback, pulled events with their order and bound, the waitable, the peer's identity, and
// the statistics.
#include "toviipc_events.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/event_log.h"
#include "support/process_info.h"
#include "support/test_support.h"
#include "support/waitable.h"

using namespace std::chrono_literals;

namespace {

using tovi_test::is_ready;

struct endpoint_deleter {
    void operator()(toviipc_endpoint* endpoint) const { toviipc_release(endpoint); }
};
using endpoint_ptr = std::unique_ptr<toviipc_endpoint, endpoint_deleter>;

// An event as a test keeps it, with the endpoint and context it came with.
struct seen {
    toviipc_endpoint* endpoint;
    void* context;
    int kind;
    bool is_text;
    std::string client_id;
    std::string data;
};

// Records what callback-mode endpoints report; the context is this recorder.
struct recorder {
    std::mutex lock;
    std::vector<seen> events;
    tovi_test::event_log arrivals;  // to wait on

    static void TOVIIPC_CALL on_event(toviipc_endpoint* endpoint, void* context,
                                      const toviipc_event* event) {
        auto* self = static_cast<recorder*>(context);
        seen copy{endpoint,
                  context,
                  event->kind,
                  event->is_text != 0,
                  event->client_id,
                  event->data != nullptr
                      ? std::string(event->data, static_cast<size_t>(event->length))
                      : std::string()};
        {
            std::lock_guard<std::mutex> hold(self->lock);
            self->events.push_back(copy);
        }
        self->arrivals.add("event");
    }
    std::vector<seen> all() {
        std::lock_guard<std::mutex> hold(lock);
        return events;
    }
};

// Pulls every event waiting, after checking that the waitable says so; the waitable must
// then be clear.
std::vector<seen> pull_all(toviipc_endpoint* endpoint) {
    std::vector<seen> out;
    toviipc_event event;
    while (toviipc_next_event(endpoint, &event, 0) == 1) {
        out.push_back({endpoint, nullptr, event.kind, event.is_text != 0, event.client_id,
                       event.data != nullptr
                           ? std::string(event.data, static_cast<size_t>(event.length))
                           : std::string()});
    }
    EXPECT_FALSE(is_ready(toviipc_waitable_of(endpoint), 0)) << "ready with no event waiting";
    return out;
}

// Pulls until count events came (waiting on the waitable in between) or a minute passed.
std::vector<seen> pull(toviipc_endpoint* endpoint, size_t count) {
    std::vector<seen> out;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
        if (is_ready(toviipc_waitable_of(endpoint), 1000)) {
            for (seen& e : pull_all(endpoint)) {
                out.push_back(std::move(e));
            }
        }
    }
    return out;
}

toviipc_stats stats_of(toviipc_endpoint* endpoint, const char* client_id) {
    toviipc_stats stats;
    std::memset(&stats, 0, sizeof stats);
    stats.size = sizeof stats;
    EXPECT_TRUE(toviipc_stats_of(endpoint, client_id, &stats));
    return stats;
}

}  // namespace

TEST(events, every_event_names_its_endpoint_and_context_with_several_endpoints_in_one_process) {
    recorder first, second;
    const std::string name_a = tovi_test::unique_name("tovi_ev_a");
    const std::string name_b = tovi_test::unique_name("tovi_ev_b");
    endpoint_ptr server_a(toviipc_server_create(&recorder::on_event, &first));
    endpoint_ptr server_b(toviipc_server_create(&recorder::on_event, &second));
    endpoint_ptr client_a(toviipc_client_create(&recorder::on_event, &first));
    endpoint_ptr client_b(toviipc_client_create(&recorder::on_event, &second));
    ASSERT_TRUE(server_a && server_b && client_a && client_b);
    EXPECT_EQ(&second, toviipc_context(client_b.get()));
    ASSERT_TRUE(toviipc_server_start(server_a.get(), name_a.c_str()));
    ASSERT_TRUE(toviipc_server_start(server_b.get(), name_b.c_str()));
    ASSERT_TRUE(toviipc_client_connect(client_a.get(), name_a.c_str(), "ca"));
    ASSERT_TRUE(toviipc_client_connect(client_b.get(), name_b.c_str(), "cb"));
    EXPECT_TRUE(toviipc_send_text(client_a.get(), nullptr, "to a", 4));
    EXPECT_TRUE(toviipc_send_bytes(client_b.get(), nullptr, "to\0b", 4));
    ASSERT_TRUE(first.arrivals.wait_for("event", 2, 60s));  // connect, message
    ASSERT_TRUE(second.arrivals.wait_for("event", 2, 60s));
    EXPECT_TRUE(toviipc_send_text(server_a.get(), "ca", "back", 4));
    EXPECT_FALSE(toviipc_send_text(server_a.get(), "cb", "wrong", 5)) << "cb is b's client";
    ASSERT_TRUE(first.arrivals.wait_for("event", 3, 60s));
    toviipc_client_disconnect(client_b.get());
    ASSERT_TRUE(second.arrivals.wait_for("event", 3, 60s));

    const auto a = first.all();
    ASSERT_EQ(3u, a.size());
    EXPECT_EQ(server_a.get(), a[0].endpoint);
    EXPECT_EQ(TOVIIPC_EVENT_CONNECT, a[0].kind);
    EXPECT_EQ("ca", a[0].client_id);
    EXPECT_EQ(server_a.get(), a[1].endpoint);
    EXPECT_TRUE(a[1].is_text);
    EXPECT_EQ("to a", a[1].data);
    EXPECT_EQ(client_a.get(), a[2].endpoint);
    EXPECT_EQ("back", a[2].data);
    EXPECT_EQ("", a[2].client_id);
    const auto b = second.all();
    ASSERT_EQ(3u, b.size());
    EXPECT_EQ(server_b.get(), b[1].endpoint);
    EXPECT_FALSE(b[1].is_text);
    EXPECT_EQ(std::string("to\0b", 4), b[1].data);
    EXPECT_EQ(TOVIIPC_EVENT_DISCONNECT, b[2].kind);
    EXPECT_EQ("cb", b[2].client_id);
    for (const auto* events : {&a, &b}) {
        for (const seen& e : *events) {
            EXPECT_EQ(events == &a ? static_cast<void*>(&first) : &second, e.context);
        }
    }
    // A callback-mode endpoint has nothing to pull.
    toviipc_event event;
    EXPECT_EQ(-1, toviipc_next_event(server_a.get(), &event, 0));
}

TEST(events, pulled_events_come_in_link_order_and_a_host_that_does_not_pull_stops_the_link) {
    const std::string name = tovi_test::unique_name("tovi_ev_pull");
    endpoint_ptr server(toviipc_server_create(nullptr, nullptr));
    endpoint_ptr client(toviipc_client_create(nullptr, nullptr));
    ASSERT_TRUE(server && client);
    const toviipc_waitable waitable = toviipc_waitable_of(server.get());
    EXPECT_FALSE(is_ready(waitable, 0));
    EXPECT_EQ(-1, toviipc_next_event(server.get(), nullptr, 0)) << "a null event is refused";
    ASSERT_TRUE(toviipc_server_start(server.get(), name.c_str()));
    ASSERT_TRUE(toviipc_client_connect(client.get(), name.c_str(), "puller"));

    // More than the pull queue and the client's send queue hold together would be refused;
    // this much fits in both, so every send is accepted, and the server's links stop reading
    // while its host does not pull.
    const size_t big = 1024 * 1024;
    const int messages = 96;
    for (int i = 0; i < messages; ++i) {
        const std::string data = tovi_test::pattern(i % 8 != 7 ? big : 100 + static_cast<size_t>(i),
                                                    static_cast<uint32_t>(i));
        ASSERT_TRUE(toviipc_send_bytes(client.get(), nullptr, data.data(),
                                       static_cast<tovi_int32>(data.size())));
    }
    ASSERT_TRUE(is_ready(waitable, 60000));
    EXPECT_TRUE(tovi_test::wait_until(
        [&] {
            const toviipc_stats server_side = stats_of(server.get(), nullptr);
            const toviipc_stats client_side = stats_of(client.get(), "");
            return server_side.messages_received < static_cast<uint64_t>(messages) &&
                   client_side.queued_bytes > 0;
        },
        60s))
        << "the link went on reading for a host that did not pull";
    std::this_thread::sleep_for(200ms);
    EXPECT_LT(stats_of(server.get(), nullptr).messages_received, static_cast<uint64_t>(messages));

    const auto events = pull(server.get(), 1 + messages);
    ASSERT_EQ(static_cast<size_t>(1 + messages), events.size());
    EXPECT_EQ(TOVIIPC_EVENT_CONNECT, events[0].kind);
    for (int i = 0; i < messages; ++i) {
        const seen& e = events[static_cast<size_t>(i) + 1];
        ASSERT_EQ(TOVIIPC_EVENT_MESSAGE, e.kind);
        EXPECT_FALSE(e.is_text);
        EXPECT_EQ(tovi_test::pattern(i % 8 != 7 ? big : 100 + static_cast<size_t>(i),
                                     static_cast<uint32_t>(i)),
                  e.data)
            << i;
    }
    toviipc_client_disconnect(client.get());
    const auto last = pull(server.get(), 1);
    ASSERT_EQ(1u, last.size());
    EXPECT_EQ(TOVIIPC_EVENT_DISCONNECT, last[0].kind);
    EXPECT_EQ("puller", last[0].client_id);
    toviipc_event none;
    EXPECT_EQ(0, toviipc_next_event(server.get(), &none, 0));
}

TEST(events, a_pulling_client_that_does_not_pull_stops_reading_and_may_still_call_connect) {
    const std::string name = tovi_test::unique_name("tovi_ev_full");
    endpoint_ptr server(toviipc_server_create(nullptr, nullptr));
    endpoint_ptr client(toviipc_client_create(nullptr, nullptr));
    ASSERT_TRUE(toviipc_server_start(server.get(), name.c_str()));
    ASSERT_TRUE(toviipc_client_connect(client.get(), name.c_str(), "full"));
    ASSERT_EQ(1u, pull(server.get(), 1).size());  // its connect
    const size_t big = 1024 * 1024;
    const int messages = 96;  // above what the client holds for its host
    for (int i = 0; i < messages; ++i) {
        const std::string data = tovi_test::pattern(big, static_cast<uint32_t>(i));
        ASSERT_TRUE(toviipc_send_bytes(server.get(), "full", data.data(),
                                       static_cast<tovi_int32>(data.size())));
    }
    EXPECT_TRUE(
        tovi_test::wait_until([&] { return stats_of(server.get(), "full").queued_bytes > 0; }, 60s))
        << "the client went on reading for a host that did not pull";
    EXPECT_LT(stats_of(client.get(), nullptr).messages_received, static_cast<uint64_t>(messages));
    // A call that waits for the client's threads, made by the thread that would pull.
    EXPECT_FALSE(toviipc_client_connect(client.get(), name.c_str(), "again"));
    const auto events = pull(client.get(), messages);
    ASSERT_EQ(static_cast<size_t>(messages), events.size());
    for (int i = 0; i < messages; ++i) {
        EXPECT_EQ(tovi_test::pattern(big, static_cast<uint32_t>(i)),
                  events[static_cast<size_t>(i)].data)
            << i;
    }
}

TEST(events, a_pull_waiting_in_the_call_outlives_a_stop_and_start_from_another_thread) {
    const std::string name = tovi_test::unique_name("tovi_ev_guest");
    endpoint_ptr server(toviipc_server_create(nullptr, nullptr));
    ASSERT_TRUE(toviipc_server_start(server.get(), name.c_str()));
    endpoint_ptr first(toviipc_client_create(nullptr, nullptr));
    endpoint_ptr second(toviipc_client_create(nullptr, nullptr));
    ASSERT_TRUE(toviipc_client_connect(first.get(), name.c_str(), "first"));
    std::vector<std::string> connects;  // the host thread's until it is joined
    std::atomic<bool> first_seen{false};
    std::thread host([&] {
        // After the first connect the call waits (where it can, running the server's loop)
        // while another thread stops the server and starts it again.
        toviipc_event event;
        while (connects.size() < 2 && toviipc_next_event(server.get(), &event, 60000) == 1) {
            if (event.kind == TOVIIPC_EVENT_CONNECT) {
                connects.push_back(event.client_id);
                first_seen = true;
            }
        }
    });
    ASSERT_TRUE(tovi_test::wait_until([&] { return first_seen.load(); }, 60s));
    toviipc_server_stop(server.get());
    ASSERT_TRUE(toviipc_server_start(server.get(), name.c_str()));
    EXPECT_TRUE(toviipc_client_connect(second.get(), name.c_str(), "second"));
    host.join();
    EXPECT_EQ((std::vector<std::string>{"first", "second"}), connects);
}

TEST(events, statistics_count_what_the_traffic_sent_received_and_refused) {
    const std::string name = tovi_test::unique_name("tovi_ev_stats");
    recorder events;
    endpoint_ptr server(toviipc_server_create(&recorder::on_event, &events));
    endpoint_ptr client(toviipc_client_create(&recorder::on_event, &events));
    ASSERT_TRUE(toviipc_server_start(server.get(), name.c_str()));
    ASSERT_TRUE(toviipc_client_connect(client.get(), name.c_str(), "counted"));
    uint64_t bytes = 0;
    for (int i = 1; i <= 20; ++i) {
        const std::string data =
            tovi_test::pattern(static_cast<size_t>(i) * 1000, static_cast<uint32_t>(i));
        ASSERT_TRUE(toviipc_send_bytes(client.get(), nullptr, data.data(),
                                       static_cast<tovi_int32>(data.size())));
        bytes += data.size();
    }
    EXPECT_TRUE(toviipc_send_text(client.get(), nullptr, "tail", 4));
    const std::string too_large(50 * 1024 * 1024, 'x');
    EXPECT_FALSE(toviipc_send_bytes(client.get(), nullptr, too_large.data(),
                                    static_cast<tovi_int32>(too_large.size())));
    ASSERT_TRUE(events.arrivals.wait_for("event", 22, 60s));  // connect and 21 messages
    EXPECT_TRUE(toviipc_send_text(server.get(), "counted", "reply", 5));
    ASSERT_TRUE(events.arrivals.wait_for("event", 23, 60s));

    const toviipc_stats sent = stats_of(client.get(), nullptr);
    EXPECT_EQ(sizeof(toviipc_stats), sent.size);
    EXPECT_EQ(1u, sent.links);
    EXPECT_EQ(21u, sent.messages_sent);
    EXPECT_EQ(bytes + 4, sent.bytes_sent);
    EXPECT_EQ(1u, sent.refused_too_large);
    EXPECT_EQ(0u, sent.refused_full);
    EXPECT_EQ(1u, sent.messages_received);
    EXPECT_EQ(5u, sent.bytes_received);
    EXPECT_GE(sent.ms_since_heard, 0);
    const toviipc_stats link = stats_of(server.get(), "counted");
    const toviipc_stats whole = stats_of(server.get(), nullptr);
    for (const toviipc_stats* received : {&link, &whole}) {
        EXPECT_EQ(1u, received->links);
        EXPECT_EQ(21u, received->messages_received);
        EXPECT_EQ(bytes + 4, received->bytes_received);
        EXPECT_EQ(1u, received->messages_sent);
        EXPECT_EQ(5u, received->bytes_sent);
        EXPECT_GE(received->ms_since_heard, 0);
    }
    toviipc_stats unknown;
    unknown.size = sizeof unknown;
    EXPECT_FALSE(toviipc_stats_of(server.get(), "nobody", &unknown));
    // A host built against a shorter struct gets what fits, and its size back.
    toviipc_stats shorter;
    std::memset(&shorter, 0xee, sizeof shorter);
    shorter.size = 24;
    ASSERT_TRUE(toviipc_stats_of(server.get(), nullptr, &shorter));
    EXPECT_EQ(24u, shorter.size);
    EXPECT_EQ(1u, shorter.messages_sent);
    EXPECT_EQ(5u, shorter.bytes_sent);
    EXPECT_EQ(0xeeeeeeeeeeeeeeeeull, shorter.messages_received) << "written past the size";

    toviipc_client_disconnect(client.get());
    ASSERT_TRUE(events.arrivals.wait_for("event", 24, 60s));
    const toviipc_stats after = stats_of(server.get(), nullptr);
    EXPECT_EQ(0u, after.links);
    EXPECT_EQ(21u, after.messages_received) << "an endpoint keeps the figures of links gone";
}

TOVI_CHILD_ROLE(identified_client) {
    endpoint_ptr client(toviipc_client_create(nullptr, nullptr));
    if (!client || !toviipc_client_connect(client.get(), arguments.at(0).c_str(), "child")) {
        return 2;
    }
    toviipc_peer server;
    if (!toviipc_peer_of(client.get(), nullptr, &server)) {
        return 3;
    }
    // The child tells what the system says of it and of its server.
    const std::string report = std::to_string(tovi_test::current_process_id()) + " " +
                               std::to_string(server.process_id) + " " + server.user;
    if (!toviipc_send_text(client.get(), nullptr, report.c_str(),
                           static_cast<tovi_int32>(report.size()))) {
        return 4;
    }
    toviipc_event event;
    toviipc_next_event(client.get(), &event, 60000);  // the server's word to go
    return 0;
}

TEST(events, a_connect_names_the_client_process_and_user_the_system_knows) {
    const std::string name = tovi_test::unique_name("tovi_ev_who");
    endpoint_ptr server(toviipc_server_create(nullptr, nullptr));
    ASSERT_TRUE(toviipc_server_start(server.get(), name.c_str()));
    tovi_test::child_process child("identified_client", {name});
    toviipc_event event;
    ASSERT_EQ(1, toviipc_next_event(server.get(), &event, 60000));
    ASSERT_EQ(TOVIIPC_EVENT_CONNECT, event.kind);
    ASSERT_NE(nullptr, event.peer);
    const toviipc_peer client = *event.peer;
    ASSERT_EQ(1, toviipc_next_event(server.get(), &event, 60000));
    ASSERT_EQ(TOVIIPC_EVENT_MESSAGE, event.kind);
    const std::string report(event.data, static_cast<size_t>(event.length));
    EXPECT_EQ(std::to_string(client.process_id) + " " +
                  std::to_string(tovi_test::current_process_id()) + " " + client.user,
              report)
        << "the child's pid, its server's pid, and one user on both sides";
    toviipc_peer again;
    ASSERT_TRUE(toviipc_peer_of(server.get(), "child", &again));
    EXPECT_EQ(client.process_id, again.process_id);
#if defined(_WIN32)
    EXPECT_EQ(-1, client.user_id);
    EXPECT_EQ(0, std::strncmp(client.user, "S-1-", 4)) << client.user;
#else
    EXPECT_EQ(static_cast<tovi_int64>(geteuid()), client.user_id);
    EXPECT_EQ(std::to_string(geteuid()), client.user);
#endif
    EXPECT_TRUE(toviipc_send_text(server.get(), "child", "go", 2));
    EXPECT_EQ(0, child.wait(60s));
}
