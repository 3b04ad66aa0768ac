// A host that pulls its events on one thread while clients send and leave, waiting on the
// waitable and taking events until none is left: no wake-up without an event, no event
// without a wake-up,
// and every link's events come whole and in order, connect first and disconnect last.
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

// What one client id's events looked like to the pulling host.
struct link_story {
    int connects = 0;
    int disconnects = 0;
    int next = 0;  // the number the next message must carry
    bool in_order = true;
};

}  // namespace

TEST(pulled_events, the_waitable_is_ready_exactly_while_events_wait_as_peers_send_and_leave) {
    const std::string name = tovi_test::unique_name("tovi_pull_stress");
    toviipc_endpoint* server = toviipc_server_create(nullptr, nullptr);
    ASSERT_NE(nullptr, server);
    ASSERT_TRUE(toviipc_server_start(server, name.c_str()));
    const int peers = 4;
    const int messages = 200;
    const auto stop_at = std::chrono::steady_clock::now() + 2s;
    std::atomic<int> rounds{0};
    std::vector<std::thread> senders;
    for (int p = 0; p < peers; ++p) {
        senders.emplace_back([&, p] {
            toviipc_endpoint* client = toviipc_client_create(nullptr, nullptr);
            for (int round = 0; std::chrono::steady_clock::now() < stop_at; ++round) {
                const std::string id = "p" + std::to_string(p) + "r" + std::to_string(round);
                if (!toviipc_client_connect(client, name.c_str(), id.c_str())) {
                    continue;
                }
                for (int i = 0; i < messages; ++i) {
                    const std::string text = std::to_string(i);
                    toviipc_send_text(client, nullptr, text.c_str(),
                                      static_cast<tovi_int32>(text.size()));
                }
                toviipc_client_disconnect(client);
                ++rounds;
            }
            toviipc_release(client);
        });
    }
    std::map<std::string, link_story> stories;
    int spurious = 0, lost = 0, left = 0;
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    const toviipc_waitable waitable = toviipc_waitable_of(server);
    toviipc_event event;
    while (std::chrono::steady_clock::now() < deadline) {
        const bool done = std::chrono::steady_clock::now() > stop_at && left == rounds.load() &&
                          rounds.load() > 0;
        if (done && !tovi_test::is_ready(waitable, 200)) {
            break;
        }
        if (!tovi_test::is_ready(waitable, 1000)) {
            lost += toviipc_next_event(server, &event, 0) == 1 ? 1 : 0;
            continue;
        }
        spurious += toviipc_next_event(server, &event, 0) == 1 ? 0 : 1;
        do {
            link_story& story = stories[event.client_id];
            if (event.kind == TOVIIPC_EVENT_CONNECT) {
                story.in_order = story.in_order && story.connects == 0;
                ++story.connects;
            } else if (event.kind == TOVIIPC_EVENT_MESSAGE) {
                story.in_order = story.in_order && story.connects == 1 && story.disconnects == 0 &&
                                 std::string(event.data, static_cast<size_t>(event.length)) ==
                                     std::to_string(story.next);
                ++story.next;
            } else {
                ++story.disconnects;
                ++left;
            }
        } while (toviipc_next_event(server, &event, 0) == 1);
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    EXPECT_EQ(0, spurious) << "the waitable was ready with nothing to take";
    EXPECT_EQ(0, lost) << "events waited while the waitable was not ready";
    EXPECT_GT(rounds.load(), 0);
    EXPECT_EQ(rounds.load(), left);
    for (const auto& [id, story] : stories) {
        EXPECT_TRUE(story.in_order) << id;
        EXPECT_EQ(1, story.connects) << id;
        EXPECT_EQ(1, story.disconnects) << id;
        EXPECT_EQ(messages, story.next) << id;
    }
    toviipc_release(server);
}
