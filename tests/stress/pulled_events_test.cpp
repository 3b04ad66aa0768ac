// A host that pulls its events on one thread while clients send and leave, each client waiting
// for the server's answer to its last message before it leaves. The host either waits on the
// waitable and takes events until none is left (no wake-up without an event, no event without
// a wake-up), or waits inside toviipc_next_event (where it runs the endpoint's loop itself, and
// an event from another thread of the library must still wake it); either way every link's
// events come whole and in order, connect first and disconnect last.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "stress_util.h"
#include "support/test_support.h"
#include "support/waitable.h"
#include "toviipc_events.h"

using namespace std::chrono_literals;

namespace {

const int peers = 4;
const int messages = 200;
// A wait in toviipc_next_event that ends empty while a link that connected has not been heard
// of as gone is taken as a lost wake-up: far longer than any gap between that link's events on
// a loaded machine.
const int stall_ms = 10000;

// What one client id's events looked like to the pulling host.
struct link_story {
    int connects = 0;
    int disconnects = 0;
    int next = 0;  // the number the next message must carry
    bool in_order = true;
};

class pulling_host {
  public:
    explicit pulling_host(toviipc_endpoint* server) : server_(server) {}

    void take(const toviipc_event& event) {
        link_story& story = stories_[event.client_id];
        if (event.kind == TOVIIPC_EVENT_CONNECT) {
            story.in_order = story.in_order && story.connects == 0;
            ++story.connects;
        } else if (event.kind == TOVIIPC_EVENT_MESSAGE) {
            story.in_order = story.in_order && story.connects == 1 && story.disconnects == 0 &&
                             std::string(event.data, static_cast<size_t>(event.length)) ==
                                 std::to_string(story.next);
            if (++story.next == messages) {
                toviipc_send_text(server_, event.client_id, "bye", 3);
            }
        } else {
            ++story.disconnects;
            ++left_;
        }
    }

    int left() const { return left_; }
    const std::map<std::string, link_story>& stories() const { return stories_; }

  private:
    toviipc_endpoint* const server_;
    std::map<std::string, link_story> stories_;
    int left_ = 0;
};

void pull_while_peers_send_and_leave(bool wait_in_call) {
    const std::string name = tovi_test::unique_name("tovi_pull_stress");
    toviipc_endpoint* server = toviipc_server_create(nullptr, nullptr);
    ASSERT_NE(nullptr, server);
    ASSERT_TRUE(toviipc_server_start(server, name.c_str()));
    const auto stop_at = std::chrono::steady_clock::now() + 2s;
    std::atomic<int> rounds{0}, connected{0}, answered{0}, finished{0};
    std::vector<std::thread> senders;
    for (int p = 0; p < peers; ++p) {
        senders.emplace_back([&, p] {
            toviipc_endpoint* client = toviipc_client_create(nullptr, nullptr);
            for (int round = 0; std::chrono::steady_clock::now() < stop_at; ++round) {
                const std::string id = "p" + std::to_string(p) + "r" + std::to_string(round);
                if (!toviipc_client_connect(client, name.c_str(), id.c_str())) {
                    continue;
                }
                ++connected;
                for (int i = 0; i < messages; ++i) {
                    const std::string text = std::to_string(i);
                    toviipc_send_text(client, nullptr, text.c_str(),
                                      static_cast<tovi_int32>(text.size()));
                }
                toviipc_event answer;
                if (toviipc_next_event(client, &answer, stall_ms) == 1 &&
                    answer.kind == TOVIIPC_EVENT_MESSAGE && std::string(answer.data) == "bye") {
                    ++answered;
                }
                toviipc_client_disconnect(client);
                ++rounds;
            }
            toviipc_release(client);
            ++finished;
        });
    }
    pulling_host host(server);
    int spurious = 0, lost = 0, stalls = 0;
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    const toviipc_waitable waitable = toviipc_waitable_of(server);
    toviipc_event event;
    while (std::chrono::steady_clock::now() < deadline &&
           !(finished.load() == peers && host.left() == rounds.load())) {
        if (wait_in_call) {
            const bool owed = host.left() < connected.load();
            if (toviipc_next_event(server, &event, owed ? stall_ms : 100) != 1) {
                stalls += owed ? 1 : 0;
                continue;
            }
        } else if (!tovi_test::is_ready(waitable, 1000)) {
            lost += toviipc_next_event(server, &event, 0) == 1 ? 1 : 0;
            continue;
        } else if (toviipc_next_event(server, &event, 0) != 1) {
            ++spurious;
            continue;
        }
        do {
            host.take(event);
        } while (toviipc_next_event(server, &event, 0) == 1);
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    EXPECT_EQ(0, spurious) << "the waitable was ready with nothing to take";
    EXPECT_EQ(0, lost) << "events waited while the waitable was not ready";
    EXPECT_EQ(0, stalls) << "a waiting call was not woken by the events it waited for";
    EXPECT_GT(rounds.load(), 0);
    EXPECT_EQ(rounds.load(), host.left());
    EXPECT_EQ(rounds.load(), answered.load());
    for (const auto& [id, story] : host.stories()) {
        EXPECT_TRUE(story.in_order) << id;
        EXPECT_EQ(1, story.connects) << id;
        EXPECT_EQ(1, story.disconnects) << id;
        EXPECT_EQ(messages, story.next) << id;
    }
    toviipc_release(server);
}

}  // namespace

TEST(pulled_events, the_waitable_is_ready_exactly_while_events_wait_as_peers_send_and_leave) {
    pull_while_peers_send_and_leave(false);
}

TEST(pulled_events, a_host_waiting_in_the_call_is_woken_by_every_event_as_peers_send_and_leave) {
    pull_while_peers_send_and_leave(true);
}
